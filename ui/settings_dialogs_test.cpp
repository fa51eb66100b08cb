#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <unistd.h>

#include "platform/mapi/address_book.h"
#include "platform/mapi/mapi32.h"
#include "platform/mapi/profile.h"
#include "platform/win/test_support.h"
#include "platform/win/ui_thread.h"
#include "settings/catalogue.h"
#include "ui/addr_book.h"
#include "ui/compression_dlg.h"
#include "ui/date_text.h"
#include "ui/options_page.h"
#include "ui/presenter.h"
#include "ui/settings_dialogs.h"

namespace corvid::ui {
namespace {

using A = TScriptedAnswer;
using settings::TOptionsContainer;
using TSettings = std::map<std::string, std::string>;  // path -> value as text

// The values of `options` as text ("" for a missing entry is not listed).
TSettings Dump(TOptionsContainer& options) {
  TSettings out;
  for (const std::string& path : options.Paths()) out[path] = options.FindEntry(path)->AsText();
  return out;
}

void Fill(TOptionsContainer& options, const TSettings& values) {
  for (const auto& [path, value] : values) options.WriteString(path, value, false);
  options.SetModified(false);
}

// A scripted presenter for every test; message boxes and prompts come from
// its queue, and one that nobody expected fails the test.
class DialogTest : public testing::Test {
 protected:
  void SetUp() override {
    ::setenv("LC_ALL", "C", 1);
    script_ = std::make_shared<TScriptedPresenter>();
    script_->OnUnexpected = [](const std::string& what) { ADD_FAILURE() << "unexpected " << what; };
    previous_ = SetPresenter(script_);
  }
  void TearDown() override {
    EXPECT_EQ(script_->Remaining(), 0u) << "answers left unused";
    SetPresenter(previous_);
  }
  std::vector<std::string> ShownCaptions() const {
    std::vector<std::string> out;
    for (const TShownDialog& d : script_->Shown()) out.push_back(d.caption);
    return out;
  }

  std::shared_ptr<TScriptedPresenter> script_;
  std::shared_ptr<TPresenter> previous_;
};

// --- Decompression ----------------------------------------------------------

struct TDecompressCase {
  const char* what;
  TSettings in;
  std::function<void(TDecompressOptionsDlg&)> act;
  TSettings out;  // entries of the saved container to check
};

TEST_F(DialogTest, DecompressionLoadsActsAndSaves) {
  const TDecompressCase cases[] = {
      {"every key missing: defaults", {}, [](TDecompressOptionsDlg& d) {
         EXPECT_TRUE(d.Checked("EnableDecompressCB"));
         EXPECT_TRUE(d.Checked("PathNoDecompressRB"));
         EXPECT_TRUE(d.Checked("PasswordNoDecompressRB"));
         EXPECT_FALSE(d.Enabled("PasswordEdt"));
       },
       {{"Decompression\\SkipWithPath", "1"}, {"Decompression\\SkipWithPassword", "1"}}},
      {"third choice of both groups",
       {{"Decompression\\SkipWithPath", "0"}, {"Decompression\\RestorePath", "0"},
        {"Decompression\\SkipWithPassword", "0"}, {"Decompression\\PromptForPassword", "0"}},
       [](TDecompressOptionsDlg& d) {
         EXPECT_TRUE(d.Checked("PathDecompressNoPathRB"));
         EXPECT_TRUE(d.Enabled("PathLabel3"));
         EXPECT_FALSE(d.Enabled("PathLabel1"));
         EXPECT_TRUE(d.Checked("PasswordTryPasswordRB"));
         EXPECT_TRUE(d.Enabled("PasswordEdt"));
         EXPECT_TRUE(d.Enabled("ConfirmPasswordEdt"));
       },
       {{"Decompression\\RestorePath", "0"}, {"Decompression\\PromptForPassword", "0"}}},
      {"do not decompress keeps the path choice stored",
       {{"Decompression\\SkipWithPath", "0"}, {"Decompression\\RestorePath", "0"}},
       [](TDecompressOptionsDlg& d) { d.Click("PathNoDecompressRB"); },
       {{"Decompression\\SkipWithPath", "1"}, {"Decompression\\RestorePath", "0"}}},
      {"choosing with path stores true",
       {{"Decompression\\SkipWithPath", "1"}, {"Decompression\\RestorePath", "0"}},
       [](TDecompressOptionsDlg& d) { d.Click("PathDecompressPathRB"); },
       {{"Decompression\\SkipWithPath", "0"}, {"Decompression\\RestorePath", "1"}}},
      {"prompt mode", {}, [](TDecompressOptionsDlg& d) { d.Click("PasswordPromptRB"); },
       {{"Decompression\\SkipWithPassword", "0"}, {"Decompression\\PromptForPassword", "1"}}},
  };
  for (const TDecompressCase& c : cases) {
    SCOPED_TRACE(c.what);
    TOptionsContainer page;
    Fill(page, c.in);
    TDecompressOptionsDlg dialog;
    dialog.LoadOptions(page);
    c.act(dialog);
    EXPECT_TRUE(dialog.Close("OK"));
    // Saved into the page's copy, as the page does: what the dialog does
    // not write keeps its value there.
    dialog.SaveOptions(page);
    TSettings result = Dump(page);
    EXPECT_EQ(page.ReadString("Decompression\\Password", "?", true, false), "");
    EXPECT_TRUE(page.FindEntry("Decompression\\Password")->Encrypted());
    for (const auto& [path, value] : c.out) EXPECT_EQ(result[path], value) << path;
  }
}

TEST_F(DialogTest, DecompressionReadsMissingEntriesIntoTheGivenContainer) {
  TOptionsContainer page;
  TDecompressOptionsDlg dialog;
  dialog.LoadOptions(page);
  EXPECT_TRUE(page.Modified());
  EXPECT_NE(page.FindEntry("Decompression\\Enabled"), nullptr);
  // With "Do not decompress" loaded, the path mode is not read.
  EXPECT_EQ(page.FindEntry("Decompression\\RestorePath"), nullptr);
}

TEST_F(DialogTest, MismatchedPasswordsAreNeverSaved) {
  TOptionsContainer page;
  Fill(page, {{"Decompression\\SkipWithPassword", "0"}, {"Decompression\\PromptForPassword", "0"}});
  page.WriteString("Decompression\\Password", "old", true);
  TDecompressOptionsDlg dialog;
  dialog.LoadOptions(page);
  EXPECT_EQ(dialog.Text("ConfirmPasswordEdt"), "old");
  dialog.Type("PasswordEdt", "new1");
  dialog.Type("ConfirmPasswordEdt", "new2");
  script_->Add(A::Press(TMsgDlgBtn::mbOK));
  EXPECT_FALSE(dialog.Close("OK"));
  ASSERT_EQ(ShownCaptions(), std::vector<std::string>{kPasswordMismatchCaption});
  EXPECT_EQ(script_->Shown()[0].text, kPasswordMismatchText);
  EXPECT_EQ(dialog.CurrentPage(), 2);
  dialog.Type("ConfirmPasswordEdt", "new1");
  EXPECT_TRUE(dialog.Close("OK"));
}

TEST_F(DialogTest, ReadOnlyInstallDisablesOkInBothSettingsDialogs) {
  TOptionsContainer page;
  Fill(page, {{"Install\\ReadOnly", "1"}});
  TDecompressOptionsDlg decompress;
  decompress.LoadOptions(page);
  TCompressionDlg compress;
  compress.LoadOptions(page);
  for (TDialogModel* d : std::initializer_list<TDialogModel*>{&decompress, &compress}) {
    EXPECT_FALSE(d->OkEnabled()) << d->Caption();
    EXPECT_FALSE(d->Close("OK"));
    EXPECT_TRUE(d->Close("Cancel"));
  }
}

TEST_F(DialogTest, ClearingAnEnableBoxAsksOnlyWhileVisible) {
  struct TCase {
    bool compression;
    bool visible;
    TMsgDlgBtn answer;
    bool checked_after;
  };
  for (const TCase& c : {TCase{true, true, TMsgDlgBtn::mbNo, true}, TCase{true, true, TMsgDlgBtn::mbYes, false},
                         TCase{false, true, TMsgDlgBtn::mbNo, true}, TCase{false, false, TMsgDlgBtn::mbNo, false}}) {
    TOptionsContainer page;
    TCompressionDlg compress;
    TDecompressOptionsDlg decompress;
    TDialogModel& d = c.compression ? static_cast<TDialogModel&>(compress) : decompress;
    const std::string box = c.compression ? "EnableCompressCB" : "EnableDecompressCB";
    if (c.compression) compress.LoadOptions(page); else decompress.LoadOptions(page);
    d.SetVisible(c.visible);
    if (c.visible) script_->Add(A::Press(c.answer));
    d.Click(box);
    EXPECT_EQ(d.Checked(box), c.checked_after) << box << " visible " << c.visible;
  }
  ASSERT_EQ(script_->Shown().size(), 3u);
  EXPECT_EQ(script_->Shown()[0].caption, "Confirm");
  EXPECT_EQ(script_->Shown()[0].text,
            "Are you sure you want to disable ZIP compression of\r\nthe outgoing message attachments?");
}

// --- Compression ------------------------------------------------------------

TEST_F(DialogTest, CompressionDefaultsRoundTripUnchanged) {
  TOptionsContainer page;
  TCompressionDlg dialog;
  dialog.LoadOptions(page);
  EXPECT_EQ(dialog.Items("SkipExtensionsLV"),
            (std::vector<std::string>{"*.ZIP", "*.ARJ", "*.Z", "*.TAR", "*.TGZ", "*.Z", "*.ZOO", "*.ARC", "*.LZH",
                                      "*.CAB"}));
  EXPECT_EQ(dialog.Number("CompressionLevelTB"), 9);
  EXPECT_TRUE(dialog.Checked("CompressSingleZIP_RB"));
  EXPECT_TRUE(dialog.Checked("ZIPFileNameRB"));
  EXPECT_TRUE(dialog.Checked("DoNotEncryptCB"));
  // Every setting the dialog shows was created in its copy, none in the page's.
  EXPECT_EQ(page.Count(), 0);
  TOptionsContainer saved;
  dialog.SaveOptions(saved);
  for (const std::string& path : saved.Paths()) {
    if (path == "Compression\\Password") continue;  // ciphertext differs each time
    EXPECT_EQ(saved.FindEntry(path)->AsText(), dialog.Settings().FindEntry(path)->AsText()) << path;
  }
  EXPECT_EQ(saved.ReadString("Compression\\Password", "?", true, false), "");
  EXPECT_TRUE(saved.FindEntry("Compression\\Password")->Encrypted());
}

TEST_F(DialogTest, CompressionListsAddRenameDeleteAndSave) {
  TOptionsContainer page;
  Fill(page, {{"Compression\\SkipFiles", "*.ZIP\r\n"}, {"Compression\\SkipAddressTypes", ""},
              {"Compression\\UseOnlySendTo", "0"}});
  TCompressionDlg dialog;
  dialog.LoadOptions(page);
  EXPECT_TRUE(dialog.Items("SkipAddrTypesLV").empty());
  for (const char* typed : {"zip", ".DOC", "readme.txt", ""}) {
    script_->Add(A::Ok(typed));
    dialog.Click("AddFileTypeBtn");
  }
  script_->Add(A::Cancel());
  dialog.Click("AddFileTypeBtn");
  EXPECT_EQ(dialog.Items("SkipExtensionsLV"),
            (std::vector<std::string>{"*.ZIP", "*.zip", "*.DOC", "readme.txt", ""}));
  // Renamed in place: shown as typed, stored as a mask.
  dialog.Select("SkipExtensionsLV", 1);
  ASSERT_TRUE(dialog.BeginRename("SkipExtensionsLV"));
  const std::string doc = "doc";
  dialog.EndRename("SkipExtensionsLV", &doc);
  EXPECT_EQ(dialog.Items("SkipExtensionsLV")[1], "doc");

  script_->Add(A::Ok("x400"));
  dialog.Click("Add3Btn");
  script_->Add(A::Ok(""));  // an empty address type is not added
  dialog.Click("Add3Btn");
  EXPECT_EQ(dialog.Items("SkipAddrTypesLV"), std::vector<std::string>{"X400"});
  dialog.Select("SkipAddrTypesLV", 0);
  ASSERT_TRUE(dialog.BeginRename("SkipAddrTypesLV"));
  EXPECT_TRUE(dialog.RenameInProgress());
  const std::string lower = "x400";
  dialog.EndRename("SkipAddrTypesLV", &lower);
  EXPECT_FALSE(dialog.RenameInProgress());

  script_->Add(A::Ok("bob@example.com"));
  dialog.Click("Add1Btn");
  TOptionsContainer saved;
  dialog.SaveOptions(saved);
  EXPECT_EQ(saved.ReadString("Compression\\SkipFiles", "", false, false), "*.ZIP\r\n*.doc\r\n*.DOC\r\nreadme.txt\r\n");
  EXPECT_EQ(saved.ReadString("Compression\\SkipAddressTypes", "", false, false), "x400\r\n");
  EXPECT_EQ(saved.ReadString("Compression\\SkipRecipients", "", false, false), "bob@example.com\r\n");
  EXPECT_EQ(saved.ReadString("Compression\\OnlySendTo", "?", false, false), "");

  // An emptied list is stored empty and loads empty, not as the default.
  TCompressionDlg again;
  Fill(saved, {{"Compression\\SkipFiles", ""}});
  again.LoadOptions(saved);
  EXPECT_TRUE(again.Items("SkipExtensionsLV").empty());
}

TEST_F(DialogTest, CompressionDeleteKeySelectsTheNeighbour) {
  struct TCase {
    std::string list;
    int select;
    std::vector<std::string> left;
    int selected_after;
  };
  const TCase cases[] = {
      {"A\r\nB\r\nC\r\n", 2, {"A", "B"}, 1},
      {"A\r\nB\r\nC\r\n", 0, {"B", "C"}, 0},
      {"A\r\n", 0, {}, -1},
  };
  for (const TCase& c : cases) {
    TOptionsContainer page;
    Fill(page, {{"Compression\\SkipRecipients", c.list}});
    TCompressionDlg dialog;
    dialog.LoadOptions(page);
    dialog.Select("SkipRecipientsLV", c.select);
    EXPECT_TRUE(dialog.Enabled("Delete1Btn"));
    dialog.KeyUp("SkipRecipientsLV", TDialogModel::TKey::kDelete);
    EXPECT_EQ(dialog.Items("SkipRecipientsLV"), c.left);
    EXPECT_EQ(dialog.Selected("SkipRecipientsLV"), c.selected_after);
    EXPECT_EQ(dialog.Enabled("Delete1Btn"), c.selected_after >= 0);
  }
}

TEST_F(DialogTest, CompressionEnableRules) {
  struct TCase {
    TSettings in;
    std::vector<std::string> enabled, disabled;
  };
  const TCase cases[] = {
      {{{"Compression\\UseOnlySendTo", "1"}, {"Compression\\UseSkipRecipients", "1"}},
       {"SendOnlyToLV", "Add2Btn", "AddFromAB2Btn"},
       {"UseSkipRecipientsCB", "SkipRecipientsLV", "Add1Btn", "AddFromAB1Btn", "Delete1Btn", "Delete2Btn"}},
      {{{"Compression\\UseOnlySendTo", "0"}, {"Compression\\UseSkipRecipients", "1"}},
       {"UseSkipRecipientsCB", "SkipRecipientsLV", "Add1Btn", "AddFromAB1Btn"},
       {"SendOnlyToLV", "Add2Btn", "AddFromAB2Btn", "Delete1Btn", "DeleteFileExtBtn"}},
      {{{"Compression\\UseSkipAddressTypes", "0"}}, {}, {"SkipAddrTypesLV", "Add3Btn", "Delete3Btn"}},
      {{{"Compression\\MakeSingleZIP", "0"}},
       {"ExtensionLabel"},
       {"ZIPFileNameRB", "ZIPFileNamePromptRB", "ZIPFileNameEdt"}},
      {{{"Compression\\MakeSingleZIP", "1"}, {"Compression\\PromptZipName", "1"}},
       {"ZIPFileNameRB", "ZIPFileNamePromptRB"},
       {"ZIPFileNameEdt", "ExtensionLabel"}},
      {{{"Compression\\UsePassword", "1"}}, {"PasswordEdt", "ConfirmPasswordEdt"}, {}},
      {{{"Compression\\UsePassword", "0"}}, {}, {"PasswordEdt", "ConfirmPasswordEdt"}},
  };
  for (const TCase& c : cases) {
    TOptionsContainer page;
    Fill(page, c.in);
    TCompressionDlg dialog;
    dialog.LoadOptions(page);
    for (const std::string& name : c.enabled) EXPECT_TRUE(dialog.Enabled(name)) << name;
    for (const std::string& name : c.disabled) EXPECT_FALSE(dialog.Enabled(name)) << name;
  }
  // The excluded-recipient switch keeps its own value under "only".
  TOptionsContainer page;
  Fill(page, {{"Compression\\UseOnlySendTo", "1"}, {"Compression\\UseSkipRecipients", "0"}});
  TCompressionDlg dialog;
  dialog.LoadOptions(page);
  TOptionsContainer saved;
  dialog.SaveOptions(saved);
  EXPECT_EQ(saved.ReadString("Compression\\UseSkipRecipients", "", false, false), "0");
}

TEST_F(DialogTest, CompressionPasswordCheckBlocksOkLeavingAndSwitchingAway) {
  TOptionsContainer page;
  Fill(page, {{"Compression\\UsePassword", "1"}});
  TCompressionDlg dialog;
  dialog.LoadOptions(page);
  dialog.SetVisible(true);
  // Switching between other pages is never blocked.
  EXPECT_TRUE(dialog.ChangePage(TCompressionDlg::kAddressesPage));
  EXPECT_TRUE(dialog.ChangePage(TCompressionDlg::kPasswordPage));
  dialog.Type("PasswordEdt", "Secret1");
  dialog.Type("ConfirmPasswordEdt", "secret1");
  for (int i = 0; i < 3; ++i) script_->Add(A::Press(TMsgDlgBtn::mbOK));
  dialog.Leave("ConfirmPasswordEdt");
  EXPECT_FALSE(dialog.ChangePage(TCompressionDlg::kGeneralPage));
  EXPECT_EQ(dialog.CurrentPage(), TCompressionDlg::kPasswordPage);
  EXPECT_FALSE(dialog.Close("OK"));
  EXPECT_EQ(dialog.FocusRequest, "PasswordEdt");
  EXPECT_EQ(ShownCaptions(), std::vector<std::string>(3, kPasswordMismatchCaption));
  dialog.Type("ConfirmPasswordEdt", "Secret1");
  EXPECT_TRUE(dialog.Close("OK"));
  TOptionsContainer saved;
  dialog.SaveOptions(saved);
  EXPECT_EQ(saved.ReadString("Compression\\Password", "", true, false), "Secret1");
  EXPECT_NE(saved.FindEntry("Compression\\Password")->AsText(), "Secret1");
}

TEST_F(DialogTest, EnterWhileRenamingDoesNotClose) {
  TOptionsContainer page;
  TCompressionDlg dialog;
  dialog.LoadOptions(page);
  dialog.Select("SkipExtensionsLV", 0);
  ASSERT_TRUE(dialog.BeginRename("SkipExtensionsLV"));
  EXPECT_FALSE(dialog.Close("OK"));
  dialog.EndRename("SkipExtensionsLV", nullptr);  // Escape: the text stays
  EXPECT_EQ(dialog.Items("SkipExtensionsLV")[0], "*.ZIP");
  EXPECT_TRUE(dialog.Close("OK"));
}

TEST_F(DialogTest, NumbersOutsideTheirRangeAreShownAtTheEnd) {
  TOptionsContainer page;
  Fill(page, {{"Compression\\CompressionLevel", "12"}, {"Compression\\MinCompression", "-3"},
              {"Compression\\MinFileSize", "40000"}});
  TCompressionDlg dialog;
  dialog.LoadOptions(page);
  EXPECT_EQ(dialog.Number("CompressionLevelTB"), 9);
  EXPECT_EQ(dialog.Number("MinimumCompressionEdt"), 0);
  EXPECT_EQ(dialog.Number("MinimumFileSizeEdt"), 32767);
  dialog.Type("MinimumCompressionEdt", "abc");  // not a number: the value stays
  EXPECT_EQ(dialog.Number("MinimumCompressionEdt"), 0);
  dialog.Type("MinimumCompressionEdt", "250");
  EXPECT_EQ(dialog.Number("MinimumCompressionEdt"), 100);
}

// --- Address book -----------------------------------------------------------

TEST_F(DialogTest, AddressBookButtonsAppendPickedEntries) {
  win::TTestMachine machine;
  ASSERT_EQ(mapi::MAPIInitialize(nullptr), mapi::S_OK);
  mapi::LPMAPISESSION session = nullptr;
  ASSERT_EQ(mapi::MAPILogonEx(0, nullptr, nullptr, 0, &session), mapi::S_OK);
  {
    std::ofstream(mapi::LoadProfile().address_book)
        << "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Ann Smith\r\nEMAIL:ann@example.com\r\nEND:VCARD\r\n"
           "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Fax Desk\r\nTEL;TYPE=FAX:+1 555 0100\r\nEND:VCARD\r\n"
           "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Odd Case\r\nEMAIL;X-ADDRTYPE=smtp:odd@example.com\r\nEND:VCARD\r\n";
  }
  auto picker = std::make_shared<mapi::TScriptedAddressPicker>();
  picker->AddAnswer(std::vector<size_t>{1, 0, 2});
  picker->AddAnswer(std::nullopt);
  mapi::SetAddressPicker(picker);
  TAddrBook::FreeAdrList = [](mapi::LPADRLIST list) { mapi::FreePadrlist(list); };

  TOptionsContainer page;
  Fill(page, {{"Compression\\SkipRecipients", "kept\r\n"}, {"Compression\\UseOnlySendTo", "1"}});
  TCompressionDlg dialog;
  dialog.SetSession(session);
  dialog.LoadOptions(page);
  dialog.Click("AddFromAB2Btn");
  dialog.Click("AddFromAB2Btn");  // cancelled: nothing more
  EXPECT_EQ(dialog.Items("SendOnlyToLV"),
            (std::vector<std::string>{"Fax Desk", "Ann Smith <ann@example.com>", "Odd Case"}));
  ASSERT_EQ(picker->Dialogs().size(), 2u);
  EXPECT_EQ(picker->Dialogs()[0].caption, "Address Book");
  EXPECT_EQ(picker->Dialogs()[0].wells_title, "ZIP recipients");

  // Without a session the buttons do nothing.
  TCompressionDlg lonely;
  lonely.LoadOptions(page);
  lonely.Click("AddFromAB2Btn");
  EXPECT_TRUE(lonely.Items("SendOnlyToLV").empty());

  mapi::SetAddressPicker(nullptr);
  dialog.SetSession(nullptr);
  session->Release();
  mapi::MAPIUninitialize();
}

TEST_F(DialogTest, InputPromptKeeps255Characters) {
  std::string value = "start";
  script_->Add(A::Ok(std::string(300, 'x')));
  EXPECT_TRUE(InputPrompt("t", "p", value));
  EXPECT_EQ(value, std::string(255, 'x'));
  script_->Add(A::Cancel());
  EXPECT_FALSE(InputPrompt("t", "p", value));
  EXPECT_EQ(value.size(), 255u);
}

// --- Statistics and about ---------------------------------------------------

TEST_F(DialogTest, StatisticsAndAboutFormatTheirValues) {
  struct TCase {
    TSettings in;
    std::map<std::string, std::string> statistics;
    std::string about_date;
  };
  const TCase cases[] = {
      {{{"Statistics\\ZipFilesSize", "1023"}, {"Statistics\\UnZippedFilesSize", "1048576"},
        {"Statistics\\NumMessages", "1234567"}, {"Install\\InstallDate", "3/4/2024"}},
       {{"CompressedSizeLabel", "       0 kB"}, {"UncompressedSizeLabel", "   1,024 kB"},
        {"NumMessagesProcessedLabel", "1,234,567"}, {"NumZipFilesCreatedLabel", "       0"},
        {"DateInstalledLabel", "Monday, March 4, 2024"}},
       "Installed on Monday, March 4, 2024"},
      {{{"Install\\InstallDate", "yesterday"}}, {{"DateInstalledLabel", "yesterday"}}, "yesterday"},
      {{{"Install\\InstallDate", "2/30/2024"}}, {{"DateInstalledLabel", "2/30/2024"}}, "2/30/2024"},
  };
  for (const TCase& c : cases) {
    TOptionsContainer page;
    Fill(page, c.in);
    TStatisticsDlg statistics;
    statistics.LoadStatistics(page);
    for (const auto& [label, text] : c.statistics) EXPECT_EQ(statistics.Text(label), text) << label;
    TAboutDlgBox about;
    about.LoadOptions(page);
    EXPECT_EQ(about.Text("InstallDateLabel"), c.about_date);
  }
  // Reading creates the missing counters in the given copy.
  TOptionsContainer empty;
  TStatisticsDlg statistics;
  statistics.LoadStatistics(empty);
  EXPECT_TRUE(empty.Modified());
  EXPECT_NE(empty.FindEntry("Statistics\\NumMessages"), nullptr);
}

TEST(DateText, ParsesInTheOrderOfThePicture) {
  EXPECT_EQ(ParseShortDate("04.03.24", "dd.MM.yy", 2026), (TDate{2024, 3, 4}));
  EXPECT_EQ(ParseShortDate("2024-03-04", "yyyy-MM-dd", 2026), (TDate{2024, 3, 4}));
  EXPECT_EQ(ParseShortDate("1/2/99", "M/d/yy", 2026), (TDate{1999, 1, 2}));
  EXPECT_FALSE(ParseShortDate("13/1/2024", "M/d/yyyy", 2026));
  EXPECT_FALSE(ParseShortDate("1/2", "M/d/yyyy", 2026));
  EXPECT_EQ(FormatDate("dddd, d MMMM yyyy 'at' ddd MMM", {2024, 3, 4}), "Monday, 4 March 2024 at Mon Mar");
}

// --- Options page -----------------------------------------------------------

class OptionsPageTest : public DialogTest {
 protected:
  void SetUp() override {
    DialogTest::SetUp();
    page_.OnChanged = [this](bool modified) { changes_.push_back(modified); };
    dir_ = std::filesystem::temp_directory_path() / ("corvid-page-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override {
    std::filesystem::remove_all(dir_);
    DialogTest::TearDown();
  }
  // Opens the compression dialog from the page; `act` changes it, then OK.
  void CompressionOk(std::function<void(TDialogModel&)> act) {
    script_->Add(A::Drive([act](TDialogModel& d) {
      act(d);
      return d.Close("OK") ? mrOk : mrCancel;
    }));
    page_.CompressionBtnClick();
  }

  TOptionsPage page_;
  std::vector<bool> changes_;
  std::filesystem::path dir_;
};

TEST_F(OptionsPageTest, OneChangedEventPerModifiedStateChange) {
  TOptionsContainer extension;
  extension.WriteBool("Install\\ReadOnly", false, false);
  extension.WriteInteger("Compression\\CompressionLevel", 9, false);
  extension.SetModified(false);
  page_.LoadOptions(extension);
  EXPECT_TRUE(changes_.empty());
  CompressionOk([](TDialogModel& d) {
    d.Move("CompressionLevelTB", 3);
    d.Click("AlwaysPromptToCompressCB");
  });
  CompressionOk([](TDialogModel& d) { d.Move("CompressionLevelTB", 4); });
  EXPECT_EQ(changes_, std::vector<bool>{true});
  // A second opening shows the unapplied value.
  CompressionOk([](TDialogModel& d) { EXPECT_EQ(d.Number("CompressionLevelTB"), 4); });
  // Cancel changes nothing.
  script_->Add(A::Drive([](TDialogModel& d) {
    d.Move("CompressionLevelTB", 0);
    return mrCancel;
  }));
  page_.CompressionBtnClick();
  EXPECT_EQ(page_.Settings().ReadInteger("Compression\\CompressionLevel", -1, false, false), 4);
  // The host's apply: copy back, then reset.
  page_.SaveOptions(extension);
  EXPECT_EQ(extension.ReadInteger("Compression\\CompressionLevel", -1, false, false), 4);
  page_.Settings().SetModified(false);
  EXPECT_EQ(changes_, (std::vector<bool>{true, false}));
}

TEST_F(OptionsPageTest, ChangesReachThePropertySheetWindow) {
  static std::vector<win::WPARAM> received;
  received.clear();
  win::WNDCLASS sheet_class{};
  sheet_class.lpfnWndProc = [](win::HWND w, win::UINT m, win::WPARAM wp, win::LPARAM lp) -> win::LRESULT {
    if (m == PSM_CHANGED) received.push_back(wp);
    return win::DefWindowProc(w, m, wp, lp);
  };
  sheet_class.lpszClassName = "TestPropertySheet";
  win::RegisterClass(&sheet_class);
  win::HWND sheet = win::CreateWindow("TestPropertySheet", "Options", 0, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
  win::HWND page_window =
      win::CreateWindow("TestPropertySheet", "Compress", win::WS_CHILD, 0, 0, 10, 10, sheet, nullptr, nullptr, nullptr);
  // Before the host sets the window, a change sends nothing and does not fail.
  page_.Settings().WriteBool("Compression\\Enabled", false, false);
  page_.Settings().SetModified(false);
  page_.SetPageWindow(page_window);
  page_.Settings().WriteBool("Compression\\Enabled", true, false);
  EXPECT_EQ(received, std::vector<win::WPARAM>{reinterpret_cast<win::WPARAM>(page_window)});
  page_.SetPageWindow(nullptr);
  win::DestroyWindow(sheet);
  win::UnregisterClass("TestPropertySheet", nullptr);
}

TEST_F(OptionsPageTest, ReadOnlyLeavesTheCopyAndReadingItCreatesTheEntry) {
  TOptionsContainer extension;
  extension.WriteInteger("Compression\\CompressionLevel", 9, false);
  extension.SetModified(false);
  page_.LoadOptions(extension);
  script_->Add(A::Drive([](TDialogModel& d) {
    d.Move("CompressionLevelTB", 1);
    return mrOk;  // a presenter that ignored the disabled OK still cannot save
  }));
  page_.CompressionBtnClick();
  // Reading the missing read-only flag added it, which marked the copy.
  EXPECT_EQ(page_.Settings().ReadString("Install\\ReadOnly", "?", false, false), "0");
  EXPECT_EQ(changes_, std::vector<bool>{true});
  EXPECT_EQ(page_.Settings().ReadInteger("Compression\\CompressionLevel", -1, false, false), 1);

  page_.Settings().WriteBool("Install\\ReadOnly", true, false);
  script_->Add(A::Drive([](TDialogModel& d) {
    d.Click("PathDecompressPathRB");
    EXPECT_FALSE(d.Close("OK"));
    return mrOk;
  }));
  page_.DecompressionBtnClick();
  EXPECT_EQ(page_.Settings().FindEntry("Decompression\\SkipWithPath")->AsText(), "1");
}

TEST_F(OptionsPageTest, SaveStampsOnlyTheFile) {
  page_.Settings().WriteInteger("Compression\\CompressionLevel", 5, false);
  page_.Settings().WriteString("Compression\\SkipFiles", "*.A\r\n*.B\r\n", false);
  const std::string file = (dir_ / "install.ini").string();
  ASSERT_TRUE(page_.SaveTo(file));
  TOptionsContainer back;
  back.LoadFromIniFile(file);
  EXPECT_EQ(back.ReadString("Compression\\CompressionLevel", "", false, false), "5");
  EXPECT_EQ(back.ReadString("Compression\\SkipFiles", "", false, false), "*.A\r\n*.B\r\n");
  EXPECT_EQ(back.ReadString("Install\\InstallDate", "", false, false), TodayShortDate());
  EXPECT_FALSE(back.ReadString("Install\\InstallTime", "", false, false).empty());
  EXPECT_EQ(page_.Settings().FindEntry("Install\\InstallDate"), nullptr);
  EXPECT_EQ(page_.Settings().FindEntry("Install\\InstallTime"), nullptr);

  // Through the action: the file name comes from the presenter.
  const std::string chosen = (dir_ / "chosen").string();
  script_->Add(A::Ok(chosen));
  page_.Save1Click();
  EXPECT_TRUE(std::filesystem::exists(chosen + ".ini"));

  // A file that cannot be written is reported, not taken for saved.
  script_->Add(A::Press(TMsgDlgBtn::mbOK));
  EXPECT_FALSE(page_.SaveTo((dir_ / "missing" / "install.ini").string()));
  EXPECT_EQ(ShownCaptions().back(), "Corvid");
}

TEST_F(OptionsPageTest, OpenTakesTheWholeFileOrNothing) {
  page_.Settings().WriteInteger("Compression\\CompressionLevel", 5, false);
  page_.Settings().SetModified(false);
  changes_.clear();

  // Unreadable: the copy stays as it was.
  const std::filesystem::path unreadable = dir_ / "locked.ini";
  std::ofstream(unreadable) << "[Options]\nCompression\\CompressionLevel=1\n";
  const bool can_lock = ::chmod(unreadable.c_str(), 0) == 0 && !std::ifstream(unreadable);
  if (can_lock) {
    script_->Add(A::Press(TMsgDlgBtn::mbOK));
    EXPECT_FALSE(page_.OpenFrom(unreadable.string()));
    EXPECT_EQ(page_.Settings().ReadInteger("Compression\\CompressionLevel", -1, false, false), 5);
  }
  script_->Add(A::Press(TMsgDlgBtn::mbOK));
  EXPECT_FALSE(page_.OpenFrom((dir_ / "absent.ini").string()));
  EXPECT_EQ(page_.Settings().ReadInteger("Compression\\CompressionLevel", -1, false, false), 5);
  EXPECT_TRUE(changes_.empty());

  // A file without an "Options" section empties the copy; the dialogs then show defaults.
  const std::filesystem::path other = dir_ / "other.ini";
  std::ofstream(other) << "[Install]\nSilent=1\n";
  EXPECT_TRUE(page_.OpenFrom(other.string()));
  EXPECT_EQ(page_.Settings().Count(), 0);
  EXPECT_EQ(changes_, std::vector<bool>{true});
  CompressionOk([](TDialogModel& d) { EXPECT_EQ(d.Number("CompressionLevelTB"), 9); });

  const std::filesystem::path good = dir_ / "good.ini";
  std::ofstream(good) << "[Options]\nCompression\\CompressionLevel=2\nCompression\\SkipFiles=*.X\t*.Y\n";
  EXPECT_TRUE(page_.OpenFrom(good.string()));
  EXPECT_EQ(page_.Settings().ReadInteger("Compression\\CompressionLevel", -1, false, false), 2);
  EXPECT_EQ(page_.Settings().ReadString("Compression\\SkipFiles", "", false, false), "*.X\r\n*.Y");
}

TEST_F(OptionsPageTest, StatisticsAndAboutOpenFromThePage) {
  page_.Settings().WriteInteger("Statistics\\NumMessages", 3, false);
  std::string shown;
  script_->Add(A::Drive([&](TDialogModel& d) {
    shown = d.Text("NumMessagesProcessedLabel");
    return mrOk;
  }));
  page_.StatisticsBtnClick();
  script_->Add(A::Drive([](TDialogModel& d) { return mrOk; }));
  page_.AboutBtnClick();
  EXPECT_EQ(shown, "       3");
  EXPECT_EQ(ShownCaptions(), (std::vector<std::string>{"Corvid Statistics", "About Corvid"}));
}

}  // namespace
}  // namespace corvid::ui

namespace corvid::ui {
namespace {

// Sets or clears environment variables for one scope.
class TEnvironment {
 public:
  void Set(const char* name, const char* value) {
    if (!saved_.count(name)) {
      const char* old = ::getenv(name);
      saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
    }
    if (value) ::setenv(name, value, 1); else ::unsetenv(name);
  }
  ~TEnvironment() {
    for (const auto& [name, value] : saved_) {
      if (value) ::setenv(name.c_str(), value->c_str(), 1); else ::unsetenv(name.c_str());
    }
  }

 private:
  std::map<std::string, std::optional<std::string>> saved_;
};

TEST(PresenterChoice, FollowsTheEnvironment) {
  const std::string terminal = ::isatty(0) && ::isatty(1) ? "terminal" : "none";
  struct TCase {
    const char* ui;
    const char* display;
    bool qt_registered;
    std::string chosen;
  };
  const TCase cases[] = {
      {nullptr, ":0", true, "qt"},
      {nullptr, ":0", false, terminal},
      {nullptr, nullptr, true, terminal},
      {"terminal", ":0", true, "terminal"},
      {"none", ":0", true, "none"},
      {"qt", nullptr, true, terminal},  // Qt cannot run without a display
      {"qt", ":0", false, terminal},
      {"bogus", ":0", true, "qt"},
  };
  for (const TCase& c : cases) {
    TEnvironment env;
    env.Set("CORVID_UI", c.ui);
    env.Set("DISPLAY", c.display);
    env.Set("WAYLAND_DISPLAY", nullptr);
    env.Set("QT_QPA_PLATFORM", nullptr);
    RegisterQtPresenter(c.qt_registered ? [] { return std::shared_ptr<TPresenter>(); }
                                        : std::function<std::shared_ptr<TPresenter>()>());
    EXPECT_EQ(ChosenPresenterKind(), c.chosen) << (c.ui ? c.ui : "-") << " " << (c.display ? c.display : "-");
  }
  RegisterQtPresenter(nullptr);
}

}  // namespace
}  // namespace corvid::ui
