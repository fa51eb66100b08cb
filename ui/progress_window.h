// A modal progress window as a model: a caption, a label, a bar (range and
// position) and a Cancel button. The owner changes it on the main thread;
// RunProgress shows it through the process's presenter and runs the main
// thread's message loop until the owner closes it, so the worker that
// feeds it (through Synchronize) and every window of the client keep
// running meanwhile.
//
// Cancel comes from the presenter (a terminal's Ctrl-C reaches the loop as
// WM_CANCELMODE posted to the main thread, which anyone may post) and calls
// OnCancel on the main thread.
#pragma once

#include <functional>
#include <string>

#include "platform/win/ui_thread.h"

namespace corvid::ui {

using win::WM_CANCELMODE;

class TProgressWindow {
 public:
  std::string Caption;
  std::string Label;
  int Min = 0;
  int Max = 100;
  int Position = 0;
  std::function<void()> OnCancel;

  // Tells the presenter that a field changed (main thread).
  void Changed();
  // Ends RunProgress (main thread; also from inside OnCancel).
  void Close();
  bool Closed() const { return closed_; }
  // What the Cancel button does: OnCancel, once.
  void Cancel();

 private:
  bool closed_ = false;
  bool cancelled_ = false;
};

// What the presenter is told about a progress window.
enum class TProgressEvent { Opened, Changed, Closed };

// Shows `window` and handles the main thread's messages until it is closed.
// Call on the main thread. Returns 0 after Close, mrCancel (2) when it was
// cancelled first.
int RunProgress(TProgressWindow& window);

}  // namespace corvid::ui
