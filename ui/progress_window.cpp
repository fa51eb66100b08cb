#include "ui/progress_window.h"

#include "platform/win/ui_thread.h"
#include "ui/presenter.h"

namespace corvid::ui {
namespace {

TProgressWindow* g_shown = nullptr;  // main thread only

}  // namespace

void TProgressWindow::Changed() {
  if (g_shown == this && !closed_) PresentProgress(*this, TProgressEvent::Changed);
}

void TProgressWindow::Close() {
  if (closed_) return;
  closed_ = true;
  // Wakes the loop, which may be waiting for a posted message.
  win::PostThreadMessage(win::MainThreadId(), win::WM_NULL, 0, 0);
}

void TProgressWindow::Cancel() {
  if (cancelled_ || closed_) return;
  cancelled_ = true;
  if (OnCancel) OnCancel();
}

int RunProgress(TProgressWindow& window) {
  TProgressWindow* const outer = g_shown;
  g_shown = &window;
  PresentProgress(window, TProgressEvent::Opened);
  bool cancelled = false;
  win::MSG message{};
  while (!window.Closed()) {
    const win::BOOL got = win::GetMessage(&message, nullptr, 0, 0);
    if (got == 0) {
      // WM_QUIT: the client is going; end the window and pass the quit on.
      win::PostQuitMessage(static_cast<int>(message.wParam));
      window.Cancel();
      window.Close();
      break;
    }
    if (got < 0) break;
    if (message.message == WM_CANCELMODE && message.hwnd == nullptr) {
      cancelled = !window.Closed();
      window.Cancel();
      continue;
    }
    win::TranslateMessage(&message);
    win::DispatchMessage(&message);
  }
  PresentProgress(window, TProgressEvent::Closed);
  g_shown = outer;
  return cancelled ? 2 : 0;
}

}  // namespace corvid::ui
