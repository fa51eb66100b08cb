#include "decompress/batch.h"

#include "base/log.h"
#include "compress/attachments.h"
#include "compress/compress_message.h"
#include "decompress/decompress_message.h"

namespace corvid::decompress {

using namespace mapi;
using compress::TRef;

TMsgThread::TMsgThread(IMsgStore* store, settings::TOptionsContainer& settings, TEntryList entries)
    : store_(store), settings_(settings), entries_(std::move(entries)) {
  FreeOnTerminate = true;
  if (store_ != nullptr) store_->AddRef();
}

TMsgThread::~TMsgThread() {
  if (store_ != nullptr) store_->Release();
}

void TMsgThread::Execute() {
  try {
    if (store_ != nullptr && !Terminated() && SUCCEEDED(Mapi().MAPIInitialize(nullptr))) {
      const int total = static_cast<int>(entries_.size());
      for (int i = 0; i < total; ++i) {
        Synchronize([&] {
          if (OnProgress) OnProgress(this, i + 1, total);
        });
        if (Terminated()) break;
        const std::string& id = entries_[static_cast<size_t>(i)];
        ULONG type = 0;
        LPUNKNOWN raw = nullptr;
        const HRESULT opened = store_->OpenEntry(static_cast<ULONG>(id.size()),
                                                 reinterpret_cast<LPENTRYID>(const_cast<char*>(id.data())),
                                                 &IID_IMessage, MAPI_BEST_ACCESS, &type, &raw);
        if (FAILED(opened) || raw == nullptr) {
          log::Line("batch: message " + std::to_string(i + 1) + " of " + std::to_string(total) +
                    " could not be opened; skipped");
          continue;
        }
        TRef<IMessage> message(static_cast<IMessage*>(raw));
        ProcessMessage(message.get());
      }
      Mapi().MAPIUninitialize();
    }
    Synchronize([&] {
      if (OnDone) OnDone(this);
    });
  } catch (const std::exception& error) {
    log::Line(std::string("batch stopped: ") + error.what());
  }
  // Always the last word, so the dialog never holds a thread that is gone.
  try {
    Synchronize([&] {
      if (OnEnded) OnEnded(this);
    });
  } catch (...) {
    // The main thread is gone: nobody holds this thread any more.
  }
}

void TZipThread::ProcessMessage(IMessage* message) { compress::CompressMessage(message, Settings(), false); }

void TUnZipThread::ProcessMessage(IMessage* message) {
  LogOutcome("batch", DecompressMessage(message, Settings()));
}

TProcessMsgDlg::TProcessMsgDlg() {
  window_.Caption = "Processing messages...";
  window_.Label = "Processing message 1 of 1...";
  window_.OnCancel = [this] { CancelBtnClick(); };
}

TProcessMsgDlg::~TProcessMsgDlg() { Detach(); }

int TProcessMsgDlg::Run(IMsgStore* store, const TEntryList& entries, TBatchKind kind,
                        settings::TOptionsContainer& settings) {
  TMsgThread* thread = nullptr;
  if (kind == TBatchKind::Compress) {
    thread = new TZipThread(store, settings, entries);
  } else {
    thread = new TUnZipThread(store, settings, entries);
  }
  thread_ = thread;
  thread->OnProgress = [this](TMsgThread*, int current, int total) { Progress(current, total); };
  thread->OnDone = [this](TMsgThread*) { Done(); };
  thread->OnEnded = [this](TMsgThread*) {
    // Ended without Done (a failure): nothing will move the bar any more.
    Detach();
    window_.Close();
  };
  thread->Resume();
  return ui::RunProgress(window_);
}

void TProcessMsgDlg::Progress(int current, int total) {
  window_.Label = "Processing message " + std::to_string(current) + " of " + std::to_string(total) + "...";
  window_.Min = 0;
  // One more than the total, so the bar never shows full while working.
  window_.Max = total + 1;
  window_.Position = current;
  window_.Changed();
}

void TProcessMsgDlg::Done() {
  Detach();
  window_.Close();
}

void TProcessMsgDlg::CancelBtnClick() {
  window_.Label = "Canceling the operation...";
  window_.Changed();
  if (thread_ != nullptr) thread_->Terminate();
  Detach();
  window_.Close();
}

void TProcessMsgDlg::Detach() {
  if (thread_ == nullptr) return;
  thread_->OnProgress = nullptr;
  thread_->OnDone = nullptr;
  thread_->OnEnded = nullptr;
  thread_ = nullptr;
}

}  // namespace corvid::decompress
