#include "ui/options_page.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>

#include "platform/win/ini_text.h"
#include "platform/win/profile_files.h"
#include "platform/win/ui_thread.h"
#include "settings/catalogue.h"
#include "ui/compression_dlg.h"
#include "ui/date_text.h"
#include "ui/presenter.h"
#include "ui/prompts.h"
#include "ui/settings_dialogs.h"

namespace corvid::ui {

namespace {

namespace cat = settings;

constexpr char kIniFilter[] = "INI files (*.ini)|*.INI|All files (*.*)|*.*";

TControl Heading(std::string name, std::string caption) {
  TControl c(std::move(name), TControlKind::kText, std::move(caption));
  c.heading = true;
  return c;
}
TControl Label(std::string name, std::string caption) {
  return TControl(std::move(name), TControlKind::kText, std::move(caption));
}
TControl Button(std::string name, std::string caption) {
  return TControl(std::move(name), TControlKind::kButton, std::move(caption));
}

void Complain(const std::string& text) { MessageBox(nullptr, text.c_str(), "Corvid", MB_OK | MB_ICONERROR); }

}  // namespace

TOptionsPage::TOptionsPage()
    : TDialogModel("Compress", {}), settings_(std::make_unique<settings::TOptionsContainer>()) {
  Add(Heading("AboutHeading", "About"));
  Add(Label("AboutLabel", "Information about Corvid"));
  Add(Button("AboutBtn", "About Corvid..."));
  Add(Heading("SendingHeading", "Sending attachments"));
  Add(Label("CompressionLabel", "Compression options: excluded addresses, etc."));
  Add(Button("CompressionBtn", "Compression..."));
  Add(Heading("ReceivingHeading", "Receiving attachments"));
  Add(Label("DecompressionLabel", "Decompression options."));
  Add(Button("DecompressionBtn", "Decompression..."));
  Add(Heading("StatisticsHeading", "Statistics"));
  Add(Label("StatisticsLabel", "Compression and decompression statistics."));
  Add(Button("StatisticsBtn", "View statistics"));
  // The context menu's two file actions, offered as buttons where no menu exists.
  Add(Heading("SettingsFileHeading", "Settings file"));
  Add(Button("Save1", "Save..."));
  Add(Button("Open1", "Open..."));
  settings_->OnModifiedChange = [this](settings::TOptionsContainer&, bool modified) { NotifyChanged(modified); };
}

TOptionsPage::~TOptionsPage() {
  settings_->OnModifiedChange = nullptr;
  SetSession(nullptr);
}

void TOptionsPage::SetSession(mapi::IMAPISession* session) {
  if (session) session->AddRef();
  if (session_) session_->Release();
  session_ = session;
}

void TOptionsPage::NotifyChanged(bool modified) {
  if (page_window_)
    win::SendMessage(win::GetParent(page_window_), PSM_CHANGED, reinterpret_cast<win::WPARAM>(page_window_), 0);
  if (OnChanged) OnChanged(modified);
}

void TOptionsPage::LoadOptions(settings::TOptionsContainer& options) { settings_->Assign(options); }

void TOptionsPage::SaveOptions(settings::TOptionsContainer& options) { options.Assign(*settings_); }

void TOptionsPage::OnClick(const std::string& name) {
  if (name == "AboutBtn") AboutBtnClick();
  if (name == "CompressionBtn") CompressionBtnClick();
  if (name == "DecompressionBtn") DecompressionBtnClick();
  if (name == "StatisticsBtn") StatisticsBtnClick();
  if (name == "Save1") Save1Click();
  if (name == "Open1") Open1Click();
}

void TOptionsPage::AboutBtnClick() {
  TAboutDlgBox dialog;
  dialog.LoadOptions(*settings_);
  PresentDialog(dialog);
}

void TOptionsPage::CompressionBtnClick() {
  TCompressionDlg dialog;
  dialog.SetSession(session_);
  dialog.LoadOptions(*settings_);
  if (PresentDialog(dialog) == mrOk && !settings_->ReadBool(cat::kReadOnly.path, false, false, true))
    dialog.SaveOptions(*settings_);
}

void TOptionsPage::DecompressionBtnClick() {
  TDecompressOptionsDlg dialog;
  dialog.LoadOptions(*settings_);
  if (PresentDialog(dialog) == mrOk && !settings_->ReadBool(cat::kReadOnly.path, false, false, true))
    dialog.SaveOptions(*settings_);
}

void TOptionsPage::StatisticsBtnClick() {
  TStatisticsDlg dialog;
  dialog.LoadStatistics(*settings_);
  PresentDialog(dialog);
}

void TOptionsPage::Save1Click() {
  TFileRequest request{true, "Save settings", kIniFilter, "ini", "install.ini"};
  if (PresentFileName(request)) SaveTo(request.file_name);
}

void TOptionsPage::Open1Click() {
  TFileRequest request{false, "Open settings", kIniFilter, "ini", "*.ini"};
  if (PresentFileName(request)) OpenFrom(request.file_name);
}

bool TOptionsPage::SaveTo(const std::string& file_name) {
  settings::TOptionsContainer stamped;
  stamped.Assign(*settings_);
  stamped.WriteString(cat::kInstallDate.path, TodayShortDate(), false);
  stamped.WriteString(cat::kInstallTime.path, NowHoursMinutes(), false);
  stamped.SaveToIniFile(file_name);
  // The container stops quietly at the first refusal: read the file back
  // so that a partial export is not taken for a whole one.
  settings::TOptionsContainer check;
  check.LoadFromIniFile(file_name);
  bool whole = true;
  for (const std::string& path : stamped.Paths()) {
    if (!win::ini::IsValidKeyName(path)) continue;
    const settings::TEntry* entry = check.FindEntry(path);
    if (!entry) whole = false;
  }
  if (!whole) Complain("The settings could not be saved to " + file_name + ".");
  return whole;
}

bool TOptionsPage::OpenFrom(const std::string& file_name) {
  // Read the file whole first; the container then loads from a private copy,
  // so a file that cannot be read leaves the page's copy as it was.
  std::ifstream in(win::ProfilePath(file_name), std::ios::binary);
  std::stringstream bytes;
  if (in) bytes << in.rdbuf();
  if (!in || in.bad()) {
    Complain("The settings could not be read from " + file_name + "; nothing was changed.");
    return false;
  }
  const char* tmpdir = std::getenv("TMPDIR");
  std::string pattern = std::string(tmpdir && *tmpdir ? tmpdir : "/tmp") + "/corvid-open-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  const int fd = ::mkstemp(name.data());
  if (fd < 0) {
    Complain("The settings could not be read from " + file_name + "; nothing was changed.");
    return false;
  }
  const std::string copy_name(name.data());
  const std::string data = bytes.str();
  bool written = true;
  for (size_t done = 0; done < data.size();) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      written = false;
      break;
    }
    done += static_cast<size_t>(n);
  }
  ::close(fd);
  settings::TOptionsContainer loaded;
  if (written) loaded.LoadFromIniFile(copy_name);
  ::unlink(copy_name.c_str());
  if (!written) {
    Complain("The settings could not be read from " + file_name + "; nothing was changed.");
    return false;
  }
  // Imported values differ from what is stored: Apply becomes possible.
  loaded.SetModified(true);
  settings_->Assign(loaded);
  return true;
}

}  // namespace corvid::ui
