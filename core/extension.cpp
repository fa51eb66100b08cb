#include "core/extension.h"

#include <filesystem>
#include <memory>
#include <new>
#include <time.h>

#include "core/application.h"
#include "core/settings_stamp.h"
#include "base/log.h"
#include "compress/compress_message.h"
#include "platform/win/machine.h"
#include "platform/win/locale.h"
#include "platform/win/module.h"
#include "platform/win/registry.h"
#include "settings/catalogue.h"

namespace corvid::core {

using namespace exchange;

namespace {

TZIPExtension* g_instance = nullptr;

int CurrentYear() {
  const time_t now = ::time(nullptr);
  struct tm parts {};
  ::localtime_r(&now, &parts);
  return parts.tm_year + 1900;
}

// A stored stamp: a missing, empty or unreadable part counts as zero, the
// earliest possible.
int64_t StoredStamp(settings::TOptionsContainer& options) {
  const auto days = ParseDate(settings::Read(options, settings::kInstallDate), win::ShortDateFormat(), CurrentYear());
  const auto seconds = ParseTime(settings::Read(options, settings::kInstallTime));
  return Stamp(days.value_or(0), seconds.value_or(0));
}

}  // namespace

TZIPExtension::TZIPExtension(std::string library_file) : library_file_(std::move(library_file)) {
  // The client may have chosen where the log goes; otherwise it lives with
  // the machine's other files.
  log::SetDefaultFile((win::MachineRoot() / "log" / "corvid.log").string());
  try {
    compress::SweepAbandonedWorkspaces();
  } catch (...) {
    // Leftovers only cost space; the next start tries again.
  }
  LoadSettings();
}

TZIPExtension::~TZIPExtension() {
  SetApplicationMainWindow(nullptr);
  TeardownSession();
  SaveSettings();
  if (FSession != nullptr) FSession->Release();
  if (g_instance == this) g_instance = nullptr;
}

HRESULT TZIPExtension::QueryInterface(mapi::REFIID riid, void** ppvObject) {
  if (ppvObject == nullptr) return mapi::E_INVALIDARG;
  void* answer = nullptr;
  if (riid == mapi::IID_IUnknown || riid == IID_IExchExt) {
    answer = static_cast<IExchExt*>(this);
  } else if (riid == IID_IExchExtSessionEvents) {
    answer = static_cast<IExchExtSessionEvents*>(this);
  } else if (riid == IID_IExchExtMessageEvents) {
    answer = static_cast<IExchExtMessageEvents*>(this);
  } else if (riid == IID_IExchExtAttachedFileEvents) {
    answer = static_cast<IExchExtAttachedFileEvents*>(this);
  } else if (riid == IID_IExchExtCommands) {
    answer = static_cast<IExchExtCommands*>(this);
  } else if (riid == IID_IExchExtUserEvents) {
    answer = static_cast<IExchExtUserEvents*>(this);
  } else if (riid == IID_IExchExtPropertySheets) {
    answer = static_cast<IExchExtPropertySheets*>(this);
  }
  *ppvObject = answer;
  if (answer == nullptr) return mapi::E_NOINTERFACE;
  AddRef();
  return S_OK;
}

ULONG TZIPExtension::AddRef() { return ++ref_count_; }

ULONG TZIPExtension::Release() {
  const ULONG count = --ref_count_;
  if (count == 0) delete this;
  return count;
}

HRESULT TZIPExtension::Install(LPEXCHEXTCALLBACK lpeecb, ULONG mecontext, ULONG ulFlags) {
  try {
    switch (mecontext) {
      case EECONTEXT_VIEWER: {
        win::HWND window = nullptr;
        if (lpeecb != nullptr && lpeecb->GetWindow(&window) == S_OK) FMainWindow = window;
        if (ApplicationMainWindow() == nullptr) SetApplicationMainWindow(FindClientMainWindow());
        FContext = mecontext;
        return S_OK;
      }
      case EECONTEXT_SENDNOTEMESSAGE:
      case EECONTEXT_READNOTEMESSAGE:
      case EECONTEXT_SENDPOSTMESSAGE:
      case EECONTEXT_READPOSTMESSAGE:
      case EECONTEXT_READREPORTMESSAGE:
      case EECONTEXT_SENDRESENDMESSAGE:
      case EECONTEXT_PROPERTYSHEETS:
      case EECONTEXT_TASK:
        FContext = mecontext;
        return S_OK;
      case EECONTEXT_SESSION:
        // Declined, so the client lets go of that reference at once; what
        // was set up lives on with the object.
        SetupSession(lpeecb);
        return S_FALSE;
      default:
        return S_FALSE;
    }
  } catch (...) {
    return S_FALSE;
  }
}

HRESULT TZIPExtension::OnDelivery(LPEXCHEXTCALLBACK) { return S_FALSE; }

HRESULT TZIPExtension::OnReadPattFromSzFile(mapi::LPATTACH, mapi::LPTSTR, ULONG) { return S_FALSE; }
HRESULT TZIPExtension::OnWritePattToSzFile(mapi::LPATTACH, mapi::LPTSTR, ULONG) { return S_FALSE; }
HRESULT TZIPExtension::QueryDisallowOpenPatt(mapi::LPATTACH) { return S_FALSE; }
HRESULT TZIPExtension::OnOpenPatt(mapi::LPATTACH) { return S_FALSE; }
HRESULT TZIPExtension::OnOpenSzFile(mapi::LPTSTR, ULONG) { return S_FALSE; }

void TZIPExtension::LoadSettings() {
  try {
    win::HKEY key = nullptr;
    if (win::RegOpenKeyEx(win::HKEY_CURRENT_USER, settings::kSettingsKey, 0, win::KEY_READ, &key) ==
        win::ERROR_SUCCESS) {
      win::RegCloseKey(key);
      FOptions.LoadFromRegistry(win::HKEY_CURRENT_USER, settings::kSettingsKey);
    } else {
      FOptions.LoadFromRegistry(win::HKEY_LOCAL_MACHINE, settings::kSettingsKey);
    }
  } catch (...) {
    // A machine root that cannot be made leaves the defaults.
  }
  try {
    const std::string ini = InstallIniPath(library_file_);
    std::error_code error;
    if (!std::filesystem::is_regular_file(ini, error)) return;
    settings::TOptionsContainer from_file;
    from_file.LoadFromIniFile(ini);
    const auto days =
        ParseDate(settings::Read(from_file, settings::kInstallDate), win::ShortDateFormat(), CurrentYear());
    const auto seconds = ParseTime(settings::Read(from_file, settings::kInstallTime));
    // A file whose stamp does not read cannot be newer.
    if (!days || !seconds) return;
    if (StoredStamp(FOptions) < Stamp(*days, *seconds)) FOptions.Assign(from_file);
  } catch (...) {
    // The registry's settings stay in force.
  }
}

void TZIPExtension::SaveSettings() {
  for (win::HKEY root : {win::HKEY_LOCAL_MACHINE, win::HKEY_CURRENT_USER}) {
    try {
      FOptions.SaveToRegistry(root, settings::kSettingsKey);
    } catch (...) {
      // Saving never fails loudly; the other root is still tried.
    }
  }
}

TZIPExtension* ExtensionInstance() { return g_instance; }

IExchExt* InitExtension(const std::string& library_file) {
  try {
    if (g_instance == nullptr) g_instance = new TZIPExtension(library_file);
    void* answer = nullptr;
    if (g_instance->QueryInterface(IID_IExchExt, &answer) != S_OK) return nullptr;
    return static_cast<IExchExt*>(answer);
  } catch (...) {
    return nullptr;
  }
}

std::string OwnLibraryFile() {
  return win::ModuleFileName(win::ModuleOfAddress(reinterpret_cast<const void*>(&OwnLibraryFile)));
}

std::string InstallIniPath(const std::string& library_file) {
  return (std::filesystem::path(library_file).parent_path() / "install.ini").string();
}

}  // namespace corvid::core
