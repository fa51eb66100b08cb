// The property sheet as a model, and the runner behind win::PropertySheet:
// it makes the sheet and page windows, initialises every page through its
// dialog procedure, shows the pages' models through the presenter with OK,
// Cancel and Apply (Apply enabled once a page reports PSM_CHANGED), and
// sends PSN_APPLY to every page on OK and Apply and WM_DESTROY at the end.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/win/property_sheet.h"
#include "ui/dialog_model.h"

namespace corvid::ui {

class TPropertySheet {
 public:
  struct TPage {
    std::string title;
    TDialogModel* model;  // what the page shows
  };
  std::string Caption;
  std::vector<TPage> Pages;
  int CurrentPage = 0;

  bool ApplyEnabled() const { return apply_enabled_; }
  // A page changed: Apply becomes possible.
  void Changed() { apply_enabled_ = true; }
  // OK or Apply: every page applies; Apply is off again.
  void Apply() {
    if (OnApply) OnApply();
    apply_enabled_ = false;
  }
  std::function<void()> OnApply;

 private:
  bool apply_enabled_ = false;
};

// The model a page's dialog procedure put into its page window during
// WM_INITDIALOG (the page is shown from it); Detach at WM_DESTROY.
void AttachPageModel(win::HWND page_window, TDialogModel* model);
void DetachPageModel(win::HWND page_window);
TDialogModel* PageModel(win::HWND page_window);

// Registers RunPropertySheet as the process's win::PropertySheet.
void InstallPropertySheetRunner();
win::INT_PTR RunPropertySheet(const win::PROPSHEETHEADER* header);

}  // namespace corvid::ui
