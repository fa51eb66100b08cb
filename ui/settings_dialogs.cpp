#include "ui/settings_dialogs.h"

#include "settings/catalogue.h"
#include "ui/date_text.h"
#include "ui/prompts.h"

namespace corvid::ui {

namespace {

using settings::Read;
using settings::Write;
namespace cat = settings;

TControl Label(std::string name, std::string caption, bool heading = false) {
  TControl c(std::move(name), TControlKind::kText, std::move(caption));
  c.heading = heading;
  return c;
}
// A caption shown beside the control that follows it.
TControl BesideCaption(std::string name, std::string caption) {
  return TControl(std::move(name), TControlKind::kText, std::move(caption), kBesideNext);
}
TControl Check(std::string name, std::string caption) {
  return TControl(std::move(name), TControlKind::kCheck, std::move(caption));
}
TControl Radio(std::string name, std::string caption, std::string group) {
  return TControl(std::move(name), TControlKind::kRadio, std::move(caption), std::move(group));
}
TControl Masked(std::string name, std::string caption) {
  return TControl(std::move(name), TControlKind::kPassword, std::move(caption));
}

// Asks before a pipeline is switched off; true when the user says Yes.
bool ConfirmDisable(const std::string& what) {
  return MessageBox(nullptr, what.c_str(), "Confirm", MB_YESNO | MB_ICONQUESTION) == IDYES;
}

}  // namespace

bool PasswordsMatch(TDialogModel& dialog, int password_page) {
  if (dialog.Text("PasswordEdt") == dialog.Text("ConfirmPasswordEdt")) return true;
  dialog.ChangePage(password_page);
  MessageBox(nullptr, kPasswordMismatchText, kPasswordMismatchCaption, MB_OK | MB_ICONERROR);
  if (dialog.Enabled("PasswordEdt") && dialog.Visible()) dialog.FocusRequest = "PasswordEdt";
  return false;
}

// --- Decompression ----------------------------------------------------------

TDecompressOptionsDlg::TDecompressOptionsDlg()
    : TDialogModel("Decompression Options", {"OK", "Cancel"}),
      settings_(std::make_unique<settings::TOptionsContainer>()) {
  AddPage("General");
  Add(Label("GeneralLabel", "When decompression is enabled, the attachments you receive will be decompressed."));
  Add(Check("EnableDecompressCB", "Enable decompression"));
  AddPage("Advanced");
  Add(Label("PathHeading", "When receiving ZIP files with path information:", true));
  Add(Radio("PathNoDecompressRB", "Do not decompress", "Path"));
  Add(Label("PathLabel1", "ZIP files will not be decompressed"));
  Add(Radio("PathDecompressPathRB", "Decompress with path information", "Path"));
  Add(Label("PathLabel2", "\"\\\" in file names will be replaced with \"_\""));
  Add(Radio("PathDecompressNoPathRB", "Decompress without path information", "Path"));
  Add(Label("PathLabel3", "All path information will be lost"));
  AddPage("Password");
  Add(Label("PasswordHeading", "When receiving password protected ZIP files", true));
  Add(Radio("PasswordNoDecompressRB", "Do not decompress", "Password"));
  Add(Radio("PasswordPromptRB", "Prompt", "Password"));
  Add(Radio("PasswordTryPasswordRB", "Try this password:", "Password"));
  Add(Masked("PasswordEdt", ""));
  Add(Masked("ConfirmPasswordEdt", "Confirm the password:"));
}

void TDecompressOptionsDlg::LoadOptions(settings::TOptionsContainer& options) {
  settings_->Assign(options);
  SetChecked("EnableDecompressCB", Read(options, cat::kDecompressionEnabled));
  SetChecked("PathNoDecompressRB", Read(options, cat::kSkipWithPath));
  if (!Checked("PathNoDecompressRB")) {
    SetChecked("PathDecompressPathRB", Read(options, cat::kRestorePath));
    if (!Checked("PathDecompressPathRB")) SetChecked("PathDecompressNoPathRB", true);
  }
  SetChecked("PasswordNoDecompressRB", Read(options, cat::kSkipWithPassword));
  if (!Checked("PasswordNoDecompressRB")) {
    SetChecked("PasswordPromptRB", Read(options, cat::kPromptForPassword));
    if (!Checked("PasswordPromptRB")) SetChecked("PasswordTryPasswordRB", true);
  }
  const std::string password = Read(options, cat::kDecompressionPassword);
  SetText("PasswordEdt", password);
  SetText("ConfirmPasswordEdt", password);
  CheckUI();
}

void TDecompressOptionsDlg::SaveOptions(settings::TOptionsContainer& options) {
  Write(options, cat::kDecompressionEnabled, Checked("EnableDecompressCB"));
  Write(options, cat::kSkipWithPath, Checked("PathNoDecompressRB"));
  if (!Checked("PathNoDecompressRB")) Write(options, cat::kRestorePath, Checked("PathDecompressPathRB"));
  Write(options, cat::kSkipWithPassword, Checked("PasswordNoDecompressRB"));
  if (!Checked("PasswordNoDecompressRB")) Write(options, cat::kPromptForPassword, Checked("PasswordPromptRB"));
  Write(options, cat::kDecompressionPassword, Text("PasswordEdt"));
}

void TDecompressOptionsDlg::CheckUI() {
  SetEnabled("PathLabel1", Checked("PathNoDecompressRB"));
  SetEnabled("PathLabel2", Checked("PathDecompressPathRB"));
  SetEnabled("PathLabel3", Checked("PathDecompressNoPathRB"));
  const bool try_password = Checked("PasswordTryPasswordRB");
  SetEnabled("PasswordEdt", try_password);
  SetEnabled("ConfirmPasswordEdt", try_password);
  ok_enabled_ = !settings_->ReadBool(cat::kReadOnly.path, false, false, false);
}

void TDecompressOptionsDlg::OnClick(const std::string& name) {
  if (name == "EnableDecompressCB" && Visible() && !Checked(name) &&
      !ConfirmDisable("Are you sure you want to disable ZIP decompression of\r\nthe incoming message attachments?"))
    SetChecked(name, true);
}

// The confirmation box is filled and enabled with the password; a
// mistyped password would otherwise be stored and tried on every archive.
bool TDecompressOptionsDlg::OnOk() { return PasswordsMatch(*this, 2); }

// --- Statistics -------------------------------------------------------------

TStatisticsDlg::TStatisticsDlg() : TDialogModel("Corvid Statistics", {"OK"}) {
  Add(BesideCaption("DateInstalledCaption", "Corvid installed on:"));
  Add(Label("DateInstalledLabel", ""));
  Add(BesideCaption("NumMessagesCaption", "Number  of messages processed:"));
  Add(Label("NumMessagesProcessedLabel", ""));
  Add(BesideCaption("NumZipFilesCreatedCaption", "Number of ZIP files created:"));
  Add(Label("NumZipFilesCreatedLabel", ""));
  Add(BesideCaption("NumZipFilesUnzippedCaption", "Number of ZIP files unzipped:"));
  Add(Label("NumZipFilesUnzippedLabel", ""));
  Add(BesideCaption("CompressedSizeCaption", "Total compressed size:"));
  Add(Label("CompressedSizeLabel", ""));
  Add(BesideCaption("UncompressedSizeCaption", "Total uncompressed size:"));
  Add(Label("UncompressedSizeLabel", ""));
  TControl chart("SizeChart", TControlKind::kChart, "Bytes handled");
  chart.items = {"Uncompressed", "Compressed"};
  chart.values = {0, 0};
  Add(std::move(chart));
}

void TStatisticsDlg::LoadStatistics(settings::TOptionsContainer& options) {
  SetText("DateInstalledLabel", LongDateOrText(Read(options, cat::kInstallDate)));
  SetText("NumMessagesProcessedLabel", FormatCount(Read(options, cat::kNumMessages)));
  SetText("NumZipFilesCreatedLabel", FormatCount(Read(options, cat::kZipFilesCreated)));
  SetText("NumZipFilesUnzippedLabel", FormatCount(Read(options, cat::kNumZipFilesUnzipped)));
  const int32_t compressed = Read(options, cat::kZipFilesSize);
  const int32_t uncompressed = Read(options, cat::kUnZippedFilesSize);
  SetText("CompressedSizeLabel", FormatCount(compressed / 1024) + " kB");
  SetText("UncompressedSizeLabel", FormatCount(uncompressed / 1024) + " kB");
  // The counters wrap as signed 32-bit numbers; the chart shows their bytes.
  Control("SizeChart").values = {static_cast<long long>(static_cast<uint32_t>(uncompressed)),
                                 static_cast<long long>(static_cast<uint32_t>(compressed))};
}

// --- About ------------------------------------------------------------------

TAboutDlgBox::TAboutDlgBox() : TDialogModel("About Corvid", {"OK"}) {
  Add(Label("DescriptionLabel", ""));
  Add(Label("VersionLabel", "Version 2.0"));
  Add(Label("InstallDateLabel", ""));
  Add(Label("SupportHeading", "Technical support:", true));
  Add(Label("EMailEdt", "E-mail:"));
  Add(Label("WebEdt", "Web:"));
  // FormCreate: the description and the contacts.
  SetText("DescriptionLabel", "Corvid compresses the attachments you send and decompresses the ones you receive.");
  SetText("EMailEdt", kSupportEmail);
  SetText("WebEdt", kProductWeb);
}

void TAboutDlgBox::LoadOptions(settings::TOptionsContainer& options) {
  const std::string stored = Read(options, cat::kInstallDate);
  const std::optional<std::string> date = LongDate(stored);
  SetText("InstallDateLabel", date ? "Installed on " + *date : stored);
}

}  // namespace corvid::ui
