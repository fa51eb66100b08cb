// The Qt 6 Widgets presenter: every dialog model, the prompts, the timed
// message dialog and the progress window as real windows, laid out by Qt's
// layouts so they follow the font and the screen. The only code of the
// project that includes Qt.
//
// Threads: widgets live on the main thread. A call from another thread (a
// batch worker's password prompt) runs there through win::Synchronize.
// While a Qt dialog is open the main thread's window messages, messages
// sent from other threads and timers keep being handled: the dialog's loop
// also empties the thread's queue, and a WM_QUIT ends the dialog (as
// Cancel) and is posted again for the outer loop.
#pragma once

#include <memory>

#include "ui/presenter.h"

namespace corvid::ui::qt {

// Makes the process's QApplication when there is none (main thread).
void EnsureApplication();

class TQtPresenter : public TPresenter {
 public:
  TQtPresenter();
  ~TQtPresenter() override;

  int ShowInput(TInputDialog& dialog) override;
  int ShowMessage(const TMessageForm& form) override;
  void ShowProgress(const TProgressWindow& window, TProgressEvent event) override;
  int ShowDialog(TDialogModel& dialog) override;
  int ShowSheet(TPropertySheet& sheet) override;
  bool ShowFileName(TFileRequest& request) override;

 private:
  struct TProgressView;
  std::unique_ptr<TProgressView> progress_;
};

// Registers the Qt presenter with the automatic choice (ui/presenter.h).
void RegisterQtPresenter();

}  // namespace corvid::ui::qt
