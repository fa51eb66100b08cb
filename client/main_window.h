// What the client shows of itself while it runs: its main window (class
// "rctrl_renwnd32", visible, on the main thread) and its application object,
// registered as running under the class of "Outlook.Application".
#pragma once

#include <functional>

#include "platform/mapi/mapi_interfaces.h"
#include "platform/win/win_types.h"

namespace corvid::client {

inline constexpr const char kMainWindowClass[] = "rctrl_renwnd32";
inline constexpr const char kApplicationProgId[] = "Outlook.Application";
inline constexpr const char kApplicationClsid[] = "{0006F03A-0000-0000-C000-000000000046}";

class TClientWindow {
 public:
  // Writes HKCU\Software\Classes\Outlook.Application\CLSID when it is
  // missing, registers the window class, creates the window and registers
  // the application object. Raises std::runtime_error when the window
  // cannot be made; a registry or run-folder failure is only left out.
  TClientWindow();
  ~TClientWindow();
  TClientWindow(const TClientWindow&) = delete;
  TClientWindow& operator=(const TClientWindow&) = delete;

  win::HWND Handle() const { return window_; }
  // A menu command chosen, or posted to the window as WM_COMMAND.
  std::function<void(win::UINT command)> OnCommand;
  // Handles what has been posted or sent to the main thread meanwhile
  // (the extensions' windows and timers), without waiting.
  static void PumpMessages();

 private:
  win::HWND window_ = nullptr;
  bool class_registered_ = false;
  mapi::IUnknown* application_ = nullptr;
  win::DWORD registration_ = 0;
  bool registered_ = false;
};

}  // namespace corvid::client
