#include "ui/property_sheet.h"

#include <map>
#include <memory>
#include <mutex>

#include "platform/win/ui_thread.h"
#include "ui/presenter.h"

namespace corvid::ui {

namespace {

constexpr char kSheetClass[] = "CorvidPropertySheet";
constexpr char kPageClass[] = "CorvidPropertyPage";

std::mutex g_pages_mutex;
std::map<win::HWND, TDialogModel*>& Pages() {
  static std::map<win::HWND, TDialogModel*> pages;
  return pages;
}

// A page whose procedure gave it no model: its title and nothing to change.
class TPlainPage : public TDialogModel {
 public:
  explicit TPlainPage(const std::string& title) : TDialogModel(title, {}) {
    Add(TControl("PageText", TControlKind::kText, "Nothing to set on this page."));
  }
};

win::LRESULT SheetProc(win::HWND window, win::UINT message, win::WPARAM wparam, win::LPARAM lparam) {
  if (message == win::PSM_CHANGED) {
    if (auto* sheet = reinterpret_cast<TPropertySheet*>(win::GetWindowLongPtr(window, win::GWLP_USERDATA))) sheet->Changed();
    return 0;
  }
  return win::DefWindowProc(window, message, wparam, lparam);
}

void RegisterClasses() {
  static std::once_flag once;
  std::call_once(once, [] {
    for (const char* name : {kSheetClass, kPageClass}) {
      win::WNDCLASS c{};
      c.lpfnWndProc = name == kSheetClass ? SheetProc : win::DefWindowProc;
      c.lpszClassName = name;
      win::RegisterClass(&c);
    }
  });
}

std::string TitleOf(const win::PROPSHEETPAGE& page, win::HWND window) {
  if (page.pszTitle && *page.pszTitle) return page.pszTitle;
  char text[256] = {};
  win::GetWindowText(window, text, sizeof text);
  return text;
}

}  // namespace

void AttachPageModel(win::HWND page_window, TDialogModel* model) {
  std::lock_guard lock(g_pages_mutex);
  Pages()[page_window] = model;
}

void DetachPageModel(win::HWND page_window) {
  std::lock_guard lock(g_pages_mutex);
  Pages().erase(page_window);
}

TDialogModel* PageModel(win::HWND page_window) {
  std::lock_guard lock(g_pages_mutex);
  auto it = Pages().find(page_window);
  return it == Pages().end() ? nullptr : it->second;
}

void InstallPropertySheetRunner() { win::SetPropertySheetRunner(&RunPropertySheet); }

win::INT_PTR RunPropertySheet(const win::PROPSHEETHEADER* header) {
  RegisterClasses();
  TPropertySheet sheet;
  sheet.Caption = header->pszCaption ? header->pszCaption : "Options";
  win::HWND sheet_window = win::CreateWindow(kSheetClass, sheet.Caption.c_str(), win::WS_POPUP, 0, 0, 0, 0,
                                             header->hwndParent, nullptr, header->hInstance, nullptr);
  if (!sheet_window) return -1;
  win::SetWindowLongPtr(sheet_window, win::GWLP_USERDATA, reinterpret_cast<win::LONG_PTR>(&sheet));
  struct TLive {
    win::PROPSHEETPAGE page;
    win::HWND window;
    std::unique_ptr<TPlainPage> plain;
  };
  std::vector<TLive> live;
  live.reserve(header->nPages);
  for (win::UINT i = 0; i < header->nPages; ++i) {
    const win::PROPSHEETPAGE& page = header->ppsp[i];
    win::HWND window = win::CreateWindow(kPageClass, page.pszTitle ? page.pszTitle : "", win::WS_CHILD, 0, 0, 0, 0,
                                         sheet_window, nullptr, page.hInstance, nullptr);
    if (!window) continue;
    live.push_back({page, window, nullptr});
    if (page.pfnDlgProc)
      page.pfnDlgProc(window, win::WM_INITDIALOG, 0, reinterpret_cast<win::LPARAM>(&live.back().page));
  }
  for (TLive& page : live) {
    TDialogModel* model = PageModel(page.window);
    const std::string title = model ? model->Caption() : TitleOf(page.page, page.window);
    if (!model) {
      page.plain = std::make_unique<TPlainPage>(title);
      model = page.plain.get();
    }
    sheet.Pages.push_back({title, model});
  }
  sheet.CurrentPage = static_cast<int>(std::min<win::UINT>(header->nStartPage, live.empty() ? 0 : live.size() - 1));
  sheet.OnApply = [&] {
    for (TLive& page : live) {
      if (!page.page.pfnDlgProc) continue;
      win::NMHDR notify{sheet_window, 0, win::PSN_APPLY};
      page.page.pfnDlgProc(page.window, win::WM_NOTIFY, 0, reinterpret_cast<win::LPARAM>(&notify));
    }
  };
  const int result = PresentSheet(sheet);
  if (result == mrOk) sheet.Apply();
  for (TLive& page : live) {
    if (page.page.pfnDlgProc) page.page.pfnDlgProc(page.window, win::WM_DESTROY, 0, 0);
    DetachPageModel(page.window);
  }
  win::SetWindowLongPtr(sheet_window, win::GWLP_USERDATA, 0);
  win::DestroyWindow(sheet_window);
  return result == mrOk ? 1 : 0;
}

}  // namespace corvid::ui
