// The prompts the pipelines and the setup program show: a one-line input
// prompt (archive name, archive password), a message dialog that answers
// itself after a time-out, and a Win32-shaped MessageBox.
//
// Every prompt goes through the process's presenter (ui/presenter.h): a
// terminal when there is one, scripted answers in tests, and defined answers
// without a terminal (an input prompt answers Cancel, a message dialog its
// default button at once), so a daemon never hangs on a prompt.
//
// Threads: any thread may call these; one dialog is shown at a time and a
// second caller waits until the first is answered. Nothing here throws
// except what an installed presenter throws.
#pragma once

#include <set>
#include <string>

#include "platform/win/ui_thread.h"
#include "platform/win/win_types.h"

namespace corvid::ui {

enum class TMsgDlgType { mtWarning, mtError, mtInformation, mtConfirmation, mtCustom };
enum class TMsgDlgBtn {
  mbYes, mbNo, mbOK, mbCancel, mbAbort, mbRetry, mbIgnore, mbAll, mbNoToAll, mbYesToAll, mbHelp
};
using TMsgDlgButtons = std::set<TMsgDlgBtn>;

// Modal results. mrNone is also the Help button's result: it does not end the dialog.
constexpr int mrNone = 0, mrOk = 1, mrCancel = 2, mrAbort = 3, mrRetry = 4, mrIgnore = 5,
              mrYes = 6, mrNo = 7, mrAll = 8, mrNoToAll = 9, mrYesToAll = 10;

// The longest answer the input prompt returns, in characters (code points).
constexpr size_t kMaxInputChars = 1023;

// Asks for an archive name, showing `name`. OK: `name` becomes the typed text
// (at most kMaxInputChars characters; it may be empty) and the result is true.
// Cancel, or no way to ask: `name` is left and the result is false.
bool AskZipName(const std::string& caption, const std::string& prompt, std::string& name);
// The same with masked input, for an archive password.
bool AskPassword(const std::string& caption, const std::string& prompt, std::string& password);

// Shows `text` with the caption of `type` and the requested buttons; returns
// the result of the pressed button. With `timeout_ms` above 0 the default
// button (OK, else Yes, else Retry) answers after that time; when none of
// those is requested the dialog closes with mrCancel. `timeout_ms` 0 or less:
// no time-out. `help_context` is kept for the Help button; no help system
// exists, so Help never ends the dialog.
int TimedMessageDlg(const std::string& text, TMsgDlgType type, const TMsgDlgButtons& buttons,
                    int help_context, int timeout_ms);

// The title used as the caption of mtCustom dialogs. Default "Corvid".
std::string ApplicationTitle();
void SetApplicationTitle(const std::string& title);

// MessageBox button sets and default-button flags; the icon flags and MB_OK
// come from platform/win/ui_thread.h.
using win::MB_OK;
using win::MB_ICONHAND;
using win::MB_ICONQUESTION;
using win::MB_ICONEXCLAMATION;
using win::MB_ICONASTERISK;
inline constexpr win::UINT MB_OKCANCEL = 0x00000001;
inline constexpr win::UINT MB_ABORTRETRYIGNORE = 0x00000002;
inline constexpr win::UINT MB_YESNOCANCEL = 0x00000003;
inline constexpr win::UINT MB_YESNO = 0x00000004;
inline constexpr win::UINT MB_RETRYCANCEL = 0x00000005;
inline constexpr win::UINT MB_ICONERROR = MB_ICONHAND;
inline constexpr win::UINT MB_ICONWARNING = MB_ICONEXCLAMATION;
inline constexpr win::UINT MB_ICONINFORMATION = MB_ICONASTERISK;
inline constexpr win::UINT MB_DEFBUTTON1 = 0x00000000;
inline constexpr win::UINT MB_DEFBUTTON2 = 0x00000100;
inline constexpr win::UINT MB_DEFBUTTON3 = 0x00000200;
inline constexpr win::UINT MB_TYPEMASK = 0x0000000F;
inline constexpr win::UINT MB_ICONMASK = 0x000000F0;
inline constexpr win::UINT MB_DEFMASK = 0x00000F00;
inline constexpr int IDOK = 1, IDCANCEL = 2, IDABORT = 3, IDRETRY = 4, IDIGNORE = 5, IDYES = 6,
                     IDNO = 7;

// Win32-shaped message box through the presenter. The owner is ignored (no
// windows are drawn). A null caption gives "Error", as on Windows. Returns
// IDOK, IDCANCEL, ...; an unknown button set is treated as MB_OK.
int MessageBox(win::HWND owner, const char* text, const char* caption, win::UINT type);

}  // namespace corvid::ui
