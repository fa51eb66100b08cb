// The common controls' property sheet: a program hands it pages (its own
// and those extensions give it) and it shows them as one modal window with
// OK, Cancel and Apply. Nothing here draws: whoever can show dialogs in the
// process registers the runner (the extension's user interface does), so
// the program and the modules it loads share one.
#pragma once

#include "platform/win/win_types.h"

namespace corvid::win {

struct PROPSHEETHEADER {
  DWORD dwSize;
  DWORD dwFlags;
  HWND hwndParent;
  HINSTANCE hInstance;
  const char* pszCaption;
  UINT nPages;
  UINT nStartPage;
  PROPSHEETPAGE* ppsp;  // nPages records
};

// The sheet's messages to and from its pages.
inline constexpr UINT PSM_CHANGED = 0x0468;  // page -> sheet: wParam the page window

// Runs the sheet modally: 1 when closed with OK, 0 with Cancel, -1 when no
// runner is registered or the sheet cannot be shown (ERROR_NOT_SUPPORTED).
INT_PTR PropertySheet(const PROPSHEETHEADER* header);

using TPropertySheetRunner = INT_PTR (*)(const PROPSHEETHEADER* header);
// Null removes it.
void SetPropertySheetRunner(TPropertySheetRunner runner);

}  // namespace corvid::win
