// Watching for incoming archives, two ways:
// - TCheckInboxThread looks once, on a thread of its own, through the
//   unread messages of the inbox for ".zip" attachments and hands the list
//   of their entry identifiers to the main thread (OnCheckDone).
// - TMsgStoreNotify listens to one message store for the events asked for;
//   the store calls its TAdviseSink on a thread of its own, and the sink
//   hands each batch of notifications to the main thread through a hidden
//   window, waiting until the handlers have run there.
//
// Everything that touches a message happens on the main thread: the
// threads here only read tables and forward.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "platform/mapi/mapi_interfaces.h"
#include "platform/win/thread.h"
#include "platform/win/win_types.h"

namespace corvid::decompress {

// Message entry identifiers, each the raw bytes of one identifier.
using TEntryList = std::vector<std::string>;

class TCheckInboxThread : public win::TThread {
 public:
  // Made suspended, holding a reference to `session` until the scan ends;
  // the owner sets OnCheckDone and calls Resume.
  explicit TCheckInboxThread(mapi::IMAPISession* session);
  // Asks the scan to stop and waits for it; clear OnCheckDone first (on the
  // main thread) so that a scan ending now cannot call back.
  ~TCheckInboxThread() override;

  // Run on the main thread with the list when it is not empty; read there
  // too, so clearing it on the main thread takes effect at once.
  std::function<void(TCheckInboxThread* sender, const TEntryList& entries)> OnCheckDone;

 protected:
  void Execute() override;

 private:
  TEntryList Scan();

  mapi::IMAPISession* session_;
};

enum class TMsgStoreEvent {
  CriticalError, Extended, NewMail, ObjectCreated, ObjectCopied, ObjectDeleted, ObjectModified, ObjectMoved,
  SearchComplete
};
using TMsgStoreEvents = std::set<TMsgStoreEvent>;

// The event mask bit of `event` for IMsgStore::Advise.
mapi::ULONG EventMask(TMsgStoreEvent event);

// The store's sink. It knows its notifier by the notifier's hidden window,
// never by address: a batch that arrives while the notifier goes sends to a
// window that is gone or no longer names a notifier, and nothing happens.
class TAdviseSink final : public mapi::IMAPIAdviseSink {
 public:
  explicit TAdviseSink(win::HWND window) : window_(window) {}

  mapi::HRESULT QueryInterface(mapi::REFIID riid, void** ppvObject) override;
  mapi::ULONG AddRef() override;
  mapi::ULONG Release() override;
  // Sends the batch to the hidden window and waits until the main thread
  // has handled it. Answers 0.
  mapi::ULONG OnNotify(mapi::ULONG cNotif, mapi::LPNOTIFICATION lpNotifications) override;

  // The notifier lets go: later batches are dropped here.
  void Detach() { window_ = nullptr; }

 private:
  ~TAdviseSink() = default;

  std::atomic<mapi::ULONG> references_{1};
  std::atomic<win::HWND> window_;
};

class TMsgStoreNotify {
 public:
  using TEvent = std::function<void(TMsgStoreNotify* sender, void* event_data)>;

  // Makes the hidden window (on the calling thread, which must be the main
  // thread), the sink, and advises `store` (a reference is kept) of the
  // events. A failed Advise leaves the notifier silent.
  TMsgStoreNotify(mapi::IMsgStore* store, const TMsgStoreEvents& events);
  // Unadvises, detaches the sink (a batch in flight then does nothing more),
  // releases the store and destroys the window.
  ~TMsgStoreNotify();
  TMsgStoreNotify(const TMsgStoreNotify&) = delete;
  TMsgStoreNotify& operator=(const TMsgStoreNotify&) = delete;

  // Each gets the record's event data (for new mail a NEWMAIL_NOTIFICATION).
  TEvent OnNewMail, OnObjectCreated, OnExtended, OnCriticalError, OnObjectDeleted, OnObjectMoved,
      OnSearchComplete, OnObjectCopied, OnObjectModified;

  bool Advised() const { return advised_; }
  win::HWND Window() const { return window_; }

  // The registered message the sink sends to the hidden window.
  static win::UINT NotificationMessage();

 private:
  static win::LRESULT HelperWindowProc(win::HWND window, win::UINT message, win::WPARAM wparam,
                                       win::LPARAM lparam);
  // The handler of a notification's event type (a copy: the call may end
  // this notifier); empty for an unset event or an unknown type.
  TEvent EventFor(mapi::ULONG event_type) const;

  TMsgStoreEvents events_;
  win::HWND window_ = nullptr;
  mapi::ULONG connection_ = 0;
  bool advised_ = false;
  mapi::IMsgStore* store_;
  TAdviseSink* sink_ = nullptr;
};

}  // namespace corvid::decompress
