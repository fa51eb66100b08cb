// The options page in the client's Tools | Options sheet: one page record
// handed out at a time, and its dialog procedure, which keeps the page's
// model and applies it into the extension's settings.
#include "base/log.h"
#include "core/extension.h"
#include "platform/mapi/mapi_procedures.h"
#include "platform/win/module.h"
#include "platform/win/ui_thread.h"
#include "ui/addr_book.h"
#include "ui/property_sheet.h"
#include "ui/qt/qt_presenter.h"

namespace corvid::core {

namespace {

using exchange::EECONTEXT_PROPERTYSHEETS;
using exchange::EEPS_TOOLSOPTIONS;

// Whoever loads the extension gets its dialogs: the Qt presenter when a
// display is there, and the property sheet the client's Options command
// shows. Both are process-wide hooks that only say how to show things.
const bool g_user_interface_ready = [] {
  ui::qt::RegisterQtPresenter();
  ui::InstallPropertySheetRunner();
  return true;
}();

}  // namespace

ULONG TZIPExtension::GetMaxPageCount(ULONG ulFlags) {
  return FContext == EECONTEXT_PROPERTYSHEETS && ulFlags == EEPS_TOOLSOPTIONS && !page_added_ ? 1 : 0;
}

HRESULT TZIPExtension::GetPages(LPEXCHEXTCALLBACK, ULONG ulFlags, win::LPPROPSHEETPAGE lppsp, ULONG* lpcpsp) {
  if (GetMaxPageCount(ulFlags) != 1 || lppsp == nullptr) {
    if (lpcpsp != nullptr) *lpcpsp = 0;
    return S_FALSE;
  }
  win::PROPSHEETPAGE& page = lppsp[0];
  page = {};
  page.dwSize = 40;  // the record's first, smallest form
  page.dwFlags = win::PSP_DEFAULT;
  page.hInstance = reinterpret_cast<win::HINSTANCE>(win::ModuleOfAddress(reinterpret_cast<const void*>(&OwnLibraryFile)));
  page.pszTemplate = "CORVIDOPTIONS";
  page.pfnDlgProc = &OptionsPageDlgProc;
  page.lParam = reinterpret_cast<win::LPARAM>(this);
  if (lpcpsp != nullptr) *lpcpsp = 1;
  page_added_ = true;
  return S_OK;
}

void TZIPExtension::FreePages(win::LPPROPSHEETPAGE, ULONG, ULONG) { page_added_ = false; }

win::INT_PTR OptionsPageDlgProc(win::HWND window, win::UINT message, win::WPARAM, win::LPARAM lparam) {
  TZIPExtension* object = ExtensionInstance();
  if (object == nullptr) return 0;
  try {
    if (message == win::WM_INITDIALOG && lparam != 0) {
      if (object->options_page_) ui::DetachPageModel(window);
      object->options_page_ = std::make_unique<ui::TOptionsPage>();
      object->options_page_->SetSession(object->FSession);
      object->options_page_->SetPageWindow(window);
      object->options_page_->LoadOptions(object->FOptions);
      // The address-book buttons free what MAPI hands back through MAPI.
      ui::TAddrBook::FreeAdrList = [](mapi::LPADRLIST list) { mapi::Mapi().FreePadrlist(list); };
      ui::AttachPageModel(window, object->options_page_.get());
      return 1;
    }
    if (message == win::WM_NOTIFY && lparam != 0 &&
        reinterpret_cast<const win::NMHDR*>(lparam)->code == win::PSN_APPLY && object->options_page_) {
      object->options_page_->SaveOptions(object->FOptions);
      object->SaveSettings();
      object->options_page_->Settings().SetModified(object->FOptions.Modified());
      return 0;
    }
    if (message == win::WM_DESTROY && object->options_page_) {
      ui::DetachPageModel(window);
      object->options_page_.reset();
    }
  } catch (const std::exception& error) {
    // A page that cannot be made or applied leaves the settings as they were.
    log::Line(std::string("options page: ") + error.what() + "; the settings stay as they were");
  }
  return 0;
}

}  // namespace corvid::core
