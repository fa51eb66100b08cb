#include "ui/compression_dlg.h"

#include <algorithm>

#include "settings/catalogue.h"
#include "settings/file_mask.h"
#include "ui/addr_book.h"
#include "ui/prompts.h"
#include "ui/settings_dialogs.h"

namespace corvid::ui {

namespace {

using settings::NormalizeFileMask;
using settings::Read;
using settings::Write;
namespace cat = settings;

constexpr char kFileList[] = "SkipExtensionsLV";
constexpr char kSkipList[] = "SkipRecipientsLV";
constexpr char kOnlyList[] = "SendOnlyToLV";
constexpr char kTypeList[] = "SkipAddrTypesLV";

TControl Make(std::string name, TControlKind kind, std::string caption, std::string group = {}) {
  return TControl(std::move(name), kind, std::move(caption), std::move(group));
}
TControl Range(std::string name, TControlKind kind, std::string caption, int min, int max) {
  TControl c = Make(std::move(name), kind, std::move(caption));
  c.min = min;
  c.max = max;
  return c;
}
TControl List(std::string name, std::string caption = {}) {
  TControl c = Make(std::move(name), TControlKind::kList, std::move(caption));
  c.renamable = true;
  return c;
}

std::string AsciiUpper(std::string text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return text;
}

}  // namespace

TCompressionDlg::TCompressionDlg()
    : TDialogModel("Compression Options", {"OK", "Cancel"}),
      settings_(std::make_unique<settings::TOptionsContainer>()) {
  using K = TControlKind;
  AddPage("General");
  Add(Make("EnableLabel", K::kText,
           "When compression is enabled, the attachments you send will be compressed according to the rules you "
           "can specify in this dialog box."));
  Add(Make("EnableCompressCB", K::kCheck, "Enable compression"));
  Add(Make("PromptLabel", K::kText,
           "If you enable this option, Corvid will always ask whether you want the attachments to be compressed "
           "(if there are any and all the rules are satisfied)"));
  Add(Make("AlwaysPromptToCompressCB", K::kCheck, "Always prompt to compress"));
  Add(Make("SFXLabel", K::kText,
           "If this option is enabled, Corvid will create self extracting archive files. This option is useful if "
           "you send an attachment to somebody who does not have Corvid, WinZip, or other program able to handle "
           "compressed files."));
  Add(Make("CreateSelfExtracting", K::kCheck, "Create self-extracting ZIP files (EXE)"));
  Add(List(kFileList, "Do not compress the following files (wildcards * and ? are Ok):"));
  Add(Make("AddFileTypeBtn", K::kButton, "Add..."));
  Add(Make("DeleteFileExtBtn", K::kButton, "Delete"));

  AddPage("Addresses");
  Add(Make("UseSkipRecipientsCB", K::kCheck,
           "Do not ZIP attachments when sent to the following recipients (wildcards Ok):"));
  Add(List(kSkipList));
  Add(Make("Add1Btn", K::kButton, "Add..."));
  Add(Make("AddFromAB1Btn", K::kButton, "Add from AB..."));
  Add(Make("Delete1Btn", K::kButton, "Delete"));
  Add(Make("UseOnlySendToRecipientsCB", K::kCheck,
           "ZIP attachments only when sent to the following recipients (wildcards Ok):"));
  Add(List(kOnlyList));
  Add(Make("Add2Btn", K::kButton, "Add..."));
  Add(Make("AddFromAB2Btn", K::kButton, "Add from AB..."));
  Add(Make("Delete2Btn", K::kButton, "Delete"));
  Add(Make("UseSkipAddTypesCB", K::kCheck, "Do not send ZIP files to the following address types:"));
  Add(List(kTypeList));
  Add(Make("Add3Btn", K::kButton, "Add..."));
  Add(Make("Delete3Btn", K::kButton, "Delete"));

  AddPage("Advanced");
  Add(Range("CompressionLevelTB", K::kTrack, "Compression level:", 0, 9));
  Add(Range("MinimumCompressionEdt", K::kNumber, "Minimum compression ratio (%):", 0, 100));
  Add(Range("MinimumFileSizeEdt", K::kNumber, "Minimum file size to be compressed (kB):", 0, 32767));
  TControl heading = Make("MultipleHeading", K::kText, "Multiple attachments");
  heading.heading = true;
  Add(heading);
  Add(Make("CompressSingleZIP_RB", K::kRadio, "Compress to a single ZIP file", "Multiple"));
  Add(Make("ZIPFileNameRB", K::kRadio, "Use this file name:", "Name"));
  Add(Make("ZIPFileNameEdt", K::kEdit, ""));
  Add(Make("ZIPFileNamePromptRB", K::kRadio, "Always Prompt", "Name"));
  Add(Make("CompressEachZIPSeparatelyRB", K::kRadio, "Compress each file separately", "Multiple"));
  Add(Make("ExtensionLabel", K::kText, "File extension will be changed to ZIP (or EXE)"));

  AddPage("Password");
  Add(Make("DoNotEncryptCB", K::kRadio, "Do not encrypt ZIP files", "Encrypt"));
  Add(Make("EncryptUsingPasswordCB", K::kRadio, "Encrypt ZIP files using this password:", "Encrypt"));
  Add(Make("PasswordEdt", K::kPassword, ""));
  Add(Make("ConfirmPasswordEdt", K::kPassword, "Confirm the password:"));
  Add(Make("NoteLabel1", K::kText,
           "Note: the password is never sent with an attachment. The recipient(s) of your message must know the "
           "password in order to decompress the attachments."));
  Add(Make("NoteLabel2", K::kText,
           "To minimize a chance of an unauthorized access to the attachments you encrypt, please use a password "
           "containing both letters and numbers and try not to use obvious passwords, such as your name etc."));
  Add(Make("NoteLabel3", K::kText,
           "Please note that ZIP file encryption does not prvide the same level of security as more robust "
           "encryption schemes such as PGP, Blowfish, etc. An average amount of time needed to break an encrypted "
           "ZIP file is on the order of several hours."));
  Add(Make("NoteLabel4", K::kText, "ZIP encryption scheme is not governed by the US encryption software export laws."));
  CheckUI();
}

TCompressionDlg::~TCompressionDlg() { SetSession(nullptr); }

void TCompressionDlg::SetSession(mapi::IMAPISession* session) {
  if (session) session->AddRef();
  if (session_) session_->Release();
  session_ = session;
}

void TCompressionDlg::LoadOptions(settings::TOptionsContainer& options) {
  settings_->Assign(options);
  settings::TOptionsContainer& s = *settings_;
  SetChecked("EnableCompressCB", Read(s, cat::kCompressionEnabled));
  SetChecked("AlwaysPromptToCompressCB", Read(s, cat::kPromptCompress));
  SetChecked("CreateSelfExtracting", Read(s, cat::kCreateSFX));
  for (const char* list : {kFileList, kSkipList, kOnlyList, kTypeList}) {
    Control(list).items.clear();
    Control(list).selected = -1;
  }
  for (const std::string& line : SplitLines(Read(s, cat::kSkipFiles))) Append(kFileList, NormalizeFileMask(line));
  for (const std::string& line : SplitLines(Read(s, cat::kSkipRecipients))) Append(kSkipList, line);
  for (const std::string& line : SplitLines(Read(s, cat::kOnlySendTo))) Append(kOnlyList, line);
  for (const std::string& line : SplitLines(Read(s, cat::kSkipAddressTypes))) Append(kTypeList, AsciiUpper(line));
  SetChecked("UseSkipRecipientsCB", Read(s, cat::kUseSkipRecipients));
  SetChecked("UseOnlySendToRecipientsCB", Read(s, cat::kUseOnlySendTo));
  SetChecked("UseSkipAddTypesCB", Read(s, cat::kUseSkipAddressTypes));
  SetNumber("CompressionLevelTB", Read(s, cat::kCompressionLevel));
  SetNumber("MinimumCompressionEdt", Read(s, cat::kMinCompression));
  SetNumber("MinimumFileSizeEdt", Read(s, cat::kMinFileSize));
  SetChecked(Read(s, cat::kMakeSingleZIP) ? "CompressSingleZIP_RB" : "CompressEachZIPSeparatelyRB", true);
  SetText("ZIPFileNameEdt", Read(s, cat::kDefaultZIPName));
  SetChecked(Read(s, cat::kPromptZipName) ? "ZIPFileNamePromptRB" : "ZIPFileNameRB", true);
  const bool encrypt = Read(s, cat::kUsePassword);
  SetChecked(encrypt ? "EncryptUsingPasswordCB" : "DoNotEncryptCB", true);
  const std::string password = Read(s, cat::kCompressionPassword);
  SetText("PasswordEdt", password);
  SetText("ConfirmPasswordEdt", password);
  CheckUI();
}

void TCompressionDlg::SaveOptions(settings::TOptionsContainer& options) {
  Write(options, cat::kCompressionEnabled, Checked("EnableCompressCB"));
  Write(options, cat::kPromptCompress, Checked("AlwaysPromptToCompressCB"));
  Write(options, cat::kCreateSFX, Checked("CreateSelfExtracting"));
  std::vector<std::string> masks;
  for (const std::string& item : Items(kFileList)) masks.push_back(NormalizeFileMask(item));
  Write(options, cat::kSkipFiles, JoinLines(masks));
  Write(options, cat::kSkipRecipients, JoinLines(Items(kSkipList)));
  Write(options, cat::kOnlySendTo, JoinLines(Items(kOnlyList)));
  Write(options, cat::kSkipAddressTypes, JoinLines(Items(kTypeList)));
  Write(options, cat::kUseSkipRecipients, Checked("UseSkipRecipientsCB"));
  Write(options, cat::kUseOnlySendTo, Checked("UseOnlySendToRecipientsCB"));
  Write(options, cat::kUseSkipAddressTypes, Checked("UseSkipAddTypesCB"));
  Write(options, cat::kCompressionLevel, Number("CompressionLevelTB"));
  Write(options, cat::kMinCompression, Number("MinimumCompressionEdt"));
  Write(options, cat::kMinFileSize, Number("MinimumFileSizeEdt"));
  Write(options, cat::kMakeSingleZIP, Checked("CompressSingleZIP_RB"));
  Write(options, cat::kDefaultZIPName, Text("ZIPFileNameEdt"));
  Write(options, cat::kPromptZipName, Checked("ZIPFileNamePromptRB"));
  Write(options, cat::kUsePassword, Checked("EncryptUsingPasswordCB"));
  Write(options, cat::kCompressionPassword, Text("PasswordEdt"));
}

void TCompressionDlg::CheckUI() {
  auto has_selection = [&](const char* list) { return Selected(list) >= 0; };
  SetEnabled("DeleteFileExtBtn", has_selection(kFileList));
  const bool only = Checked("UseOnlySendToRecipientsCB");
  const bool skip = Checked("UseSkipRecipientsCB") && !only;
  SetEnabled("UseSkipRecipientsCB", !only);
  for (const char* name : {kSkipList, "Add1Btn", "AddFromAB1Btn"}) SetEnabled(name, skip);
  SetEnabled("Delete1Btn", skip && has_selection(kSkipList));
  for (const char* name : {kOnlyList, "Add2Btn", "AddFromAB2Btn"}) SetEnabled(name, only);
  SetEnabled("Delete2Btn", only && has_selection(kOnlyList));
  const bool types = Checked("UseSkipAddTypesCB");
  for (const char* name : {kTypeList, "Add3Btn"}) SetEnabled(name, types);
  SetEnabled("Delete3Btn", types && has_selection(kTypeList));
  const bool single = Checked("CompressSingleZIP_RB");
  SetEnabled("ExtensionLabel", Checked("CompressEachZIPSeparatelyRB"));
  SetEnabled("ZIPFileNameRB", single);
  SetEnabled("ZIPFileNamePromptRB", single);
  SetEnabled("ZIPFileNameEdt", single && Checked("ZIPFileNameRB"));
  const bool encrypt = Checked("EncryptUsingPasswordCB");
  SetEnabled("PasswordEdt", encrypt);
  SetEnabled("ConfirmPasswordEdt", encrypt);
  ok_enabled_ = !settings_->ReadBool(cat::kReadOnly.path, false, false, false);
}

void TCompressionDlg::Append(const std::string& list, const std::string& text) {
  Control(list).items.push_back(text);
}

void TCompressionDlg::DeleteSelected(const std::string& list) {
  TControl& c = Control(list);
  if (c.selected < 0 || c.selected >= static_cast<int>(c.items.size())) return;
  c.items.erase(c.items.begin() + c.selected);
  c.selected = -1;
}

void TCompressionDlg::Pick(const std::string& list, const std::string& well_title) {
  TAddrBook book(session_);
  std::vector<std::string> picked;
  book.PickRecipients(nullptr, well_title, picked);
  for (const std::string& entry : picked) Append(list, entry);
}

void TCompressionDlg::OnClick(const std::string& name) {
  std::string value;
  if (name == "AddFileTypeBtn") {
    if (InputPrompt("Add new file type", "File Extension:", value)) Append(kFileList, NormalizeFileMask(value));
  } else if (name == "Add1Btn") {
    if (InputPrompt("Add excluded recipient", "Display name and/or e-mail (wildcards Ok):", value) && !value.empty())
      Append(kSkipList, value);
  } else if (name == "Add2Btn") {
    if (InputPrompt("Add recipient", "Display name or e-mail (wildcards Ok):", value) && !value.empty())
      Append(kOnlyList, value);
  } else if (name == "Add3Btn") {
    if (InputPrompt("Add new address type", "Address Type:", value) && !value.empty())
      Append(kTypeList, AsciiUpper(value));
  } else if (name == "AddFromAB1Btn") {
    Pick(kSkipList, "Excluded recipients");
  } else if (name == "AddFromAB2Btn") {
    Pick(kOnlyList, "ZIP recipients");
  } else if (name == "DeleteFileExtBtn") {
    DeleteSelected(kFileList);
  } else if (name == "Delete1Btn") {
    DeleteSelected(kSkipList);
  } else if (name == "Delete2Btn") {
    DeleteSelected(kOnlyList);
  } else if (name == "Delete3Btn") {
    DeleteSelected(kTypeList);
  } else if (name == "EnableCompressCB") {
    if (Visible() && !Checked(name) &&
        MessageBox(nullptr,
                   "Are you sure you want to disable ZIP compression of\r\nthe outgoing message attachments?",
                   "Confirm", MB_YESNO | MB_ICONQUESTION) != IDYES)
      SetChecked(name, true);
  } else if (name == "EncryptUsingPasswordCB") {
    CheckUI();
    if (Visible()) FocusRequest = "PasswordEdt";
  }
}

void TCompressionDlg::OnKeyUp(const std::string& name, TKey key) {
  TControl& c = Control(name);
  if (c.selected < 0) return;
  if (key == TKey::kEnter) {
    // Enter on a list whose rename just ended opens the editor again.
    if (rename_in_progress_) renaming_ = name;
    rename_in_progress_ = false;
  } else if (key == TKey::kDelete && !rename_in_progress_) {
    const int removed = c.selected;
    c.items.erase(c.items.begin() + removed);
    c.selected = c.items.empty() ? -1 : std::min(removed, static_cast<int>(c.items.size()) - 1);
  }
}

bool TCompressionDlg::OnBeginRename(const std::string& name) {
  if (name != kFileList) rename_in_progress_ = true;
  return true;
}

void TCompressionDlg::OnRenamed(const std::string& name, const std::string* text) {
  TDialogModel::OnRenamed(name, text);
  if (name != kFileList) rename_in_progress_ = false;
}

void TCompressionDlg::OnLeave(const std::string& name) {
  if (name == "ConfirmPasswordEdt") PasswordsMatch(*this, kPasswordPage);
}

bool TCompressionDlg::OnPageChanging(int from, int to) {
  return from != kPasswordPage || PasswordsMatch(*this, kPasswordPage);
}

bool TCompressionDlg::OnOk() {
  // Enter that reached the default button while a list item is being
  // renamed finishes the rename instead.
  if (!renaming_.empty()) return false;
  return PasswordsMatch(*this, kPasswordPage);
}

}  // namespace corvid::ui
