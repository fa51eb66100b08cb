// Batch work on messages the user selected: a worker thread opens them one
// by one and compresses (TZipThread) or decompresses (TUnZipThread) each,
// while TProcessMsgDlg shows which message of how many is at hand and
// offers Cancel. Cancel lets the message at hand finish and leaves the rest
// untouched.
//
// The worker reports to the main thread through Synchronize; the dialog's
// handlers, and the detaching of the worker from the dialog, run there
// only, so a worker that goes on after Cancel can never call into a closed
// dialog.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "decompress/inbox_watcher.h"
#include "platform/mapi/mapi_interfaces.h"
#include "platform/win/thread.h"
#include "settings/options_container.h"
#include "ui/progress_window.h"

namespace corvid::decompress {

class TMsgThread : public win::TThread {
 public:
  // Made suspended; frees itself when its work ends. Holds a reference to
  // `store` until then; `settings` are not owned.
  TMsgThread(mapi::IMsgStore* store, settings::TOptionsContainer& settings, TEntryList entries);
  ~TMsgThread() override;

  // Run on the main thread; read there, where the dialog clears them.
  std::function<void(TMsgThread* sender, int current, int total)> OnProgress;
  std::function<void(TMsgThread* sender)> OnDone;
  // Run on the main thread when the work ends, whether it finished, was
  // stopped or failed: the owner lets go of the thread here at the latest.
  std::function<void(TMsgThread* sender)> OnEnded;

 protected:
  void Execute() override;
  // What the batch does to one open message.
  virtual void ProcessMessage(mapi::IMessage* message) = 0;

  settings::TOptionsContainer& Settings() { return settings_; }

 private:
  mapi::IMsgStore* store_;
  settings::TOptionsContainer& settings_;
  TEntryList entries_;
};

class TZipThread final : public TMsgThread {
 public:
  using TMsgThread::TMsgThread;

 protected:
  // Not interactive, without the recipient rules.
  void ProcessMessage(mapi::IMessage* message) override;
};

class TUnZipThread final : public TMsgThread {
 public:
  using TMsgThread::TMsgThread;

 protected:
  void ProcessMessage(mapi::IMessage* message) override;
};

enum class TBatchKind { Compress, Decompress };

class TProcessMsgDlg {
 public:
  TProcessMsgDlg();
  ~TProcessMsgDlg();
  TProcessMsgDlg(const TProcessMsgDlg&) = delete;
  TProcessMsgDlg& operator=(const TProcessMsgDlg&) = delete;

  void SetCaption(const std::string& caption) { window_.Caption = caption; }
  // Starts the worker of `kind` over `entries` and shows the window until
  // the work ends or the user cancels. Main thread only.
  int Run(mapi::IMsgStore* store, const TEntryList& entries, TBatchKind kind,
          settings::TOptionsContainer& settings);

  const ui::TProgressWindow& Window() const { return window_; }

 private:
  void Progress(int current, int total);
  void Done();
  void CancelBtnClick();
  void Detach();

  ui::TProgressWindow window_;
  TMsgThread* thread_ = nullptr;
};

}  // namespace corvid::decompress
