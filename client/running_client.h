// The client from logon to logoff, and its main thread's message loops.
#pragma once

#include <functional>
#include <ostream>

#include "client/callback.h"
#include "client/extension_host.h"
#include "client/main_window.h"
#include "client/mapi_session.h"
#include "platform/win/ui_thread.h"

namespace corvid::client {

// The session, the main window and the loaded extensions; members end in
// reverse order, so the extensions go before the window and the session
// they use.
class TRunningClient {
 public:
  TRunningClient()
      : host_([this](mapi::ULONG context) {
          return new TClientCallback(context, session_.Session(), window_.Handle());
        }) {}

  // Loads the registered extensions into every context they ask for.
  void Start(std::ostream& err) { host_.LoadFromRegistry(err); }
  size_t Extensions() const { return host_.InstalledCount(); }

  TMapiSession& Session() { return session_; }
  TClientWindow& Window() { return window_; }
  TExtensionHost& Host() { return host_; }

 private:
  TMapiSession session_;
  TClientWindow window_;
  TExtensionHost host_;
};

inline void Dispatch(const win::MSG& message) {
  win::TranslateMessage(&message);
  win::DispatchMessage(&message);
}

// Until WM_QUIT.
inline void RunLoop() {
  win::MSG message{};
  while (win::GetMessage(&message, nullptr, 0, 0) > 0) Dispatch(message);
}

// Until `busy` answers 0 (the extensions' background threads have ended)
// with nothing left to handle, or WM_QUIT.
inline void RunUntilIdle(const std::function<int()>& busy) {
  constexpr win::UINT kIdleCheckMs = 20;
  const win::UINT_PTR timer = win::SetTimer(nullptr, 0, kIdleCheckMs, nullptr);
  win::MSG message{};
  for (;;) {
    bool quit = false;
    while (win::PeekMessage(&message, nullptr, 0, 0, win::PM_REMOVE)) {
      if (message.message == win::WM_QUIT) {
        quit = true;
        break;
      }
      if (message.message != win::WM_TIMER || message.hwnd != nullptr) Dispatch(message);
    }
    if (quit || busy() == 0) break;
    if (win::GetMessage(&message, nullptr, 0, 0) <= 0) break;
    if (message.message != win::WM_TIMER || message.hwnd != nullptr) Dispatch(message);
  }
  win::KillTimer(nullptr, timer);
}

}  // namespace corvid::client
