#include "decompress/inbox_watcher.h"

#include <memory>

#include "base/log.h"
#include "compress/attachments.h"
#include "platform/win/module.h"
#include "platform/win/ui_thread.h"

namespace corvid::decompress {

using namespace mapi;
using compress::TRef;
using compress::TRows;

namespace {

constexpr char kHelperWindowClass[] = "TMsgStoreNotify.HelperWindow";
constexpr char kNotificationMessageName[] = "Corvid.Outlook.Extension.MAPI.Notification";

// Registered once, when the module loads.
const win::UINT g_notification_message = win::RegisterWindowMessage(kNotificationMessageName);

std::string BinaryOf(const SPropValue& value) {
  return std::string(reinterpret_cast<const char*>(value.Value.bin.lpb), value.Value.bin.cb);
}

// The MAPI session of one scan thread, uninitialised on every road out.
class TMapiThreadContext {
 public:
  TMapiThreadContext() : ok_(SUCCEEDED(Mapi().MAPIInitialize(nullptr))) {}
  ~TMapiThreadContext() {
    if (ok_) Mapi().MAPIUninitialize();
  }
  bool Ok() const { return ok_; }

 private:
  bool ok_;
};

// The first ".zip" attachment by value decides.
bool HasZipAttachment(IMessage* message) {
  const TRows rows = compress::ReadAttachmentTable(message);
  if (!rows) return false;
  for (ULONG r = 0; r < rows->cRows; ++r) {
    const SRow& row = rows->aRow[r];
    const SPropValue* method = compress::Column(row, PR_ATTACH_METHOD);
    if (method == nullptr || method->Value.l != ATTACH_BY_VALUE) continue;
    const std::optional<std::string> name = compress::AttachmentName(row);
    if (name && compress::UpperExtension(*name) == ".ZIP") return true;
  }
  return false;
}

}  // namespace

// --- TCheckInboxThread -------------------------------------------------------

TCheckInboxThread::TCheckInboxThread(IMAPISession* session) : session_(session) {
  if (session_ != nullptr) session_->AddRef();
}

TCheckInboxThread::~TCheckInboxThread() {
  Terminate();
  WaitFor();
  // A thread that never ran still holds its reference.
  if (session_ != nullptr) session_->Release();
}

void TCheckInboxThread::Execute() {
  TMapiThreadContext context;
  TEntryList entries;
  try {
    if (context.Ok()) {
      entries = Scan();
      log::Line("inbox check: " + std::to_string(entries.size()) + " unread message(s) with a ZIP attachment");
    } else {
      log::Line("inbox check skipped: MAPI did not start on its thread");
    }
  } catch (const std::exception& error) {
    // A failed scan finds nothing; the new-mail road still works.
    log::Line(std::string("inbox check failed: ") + error.what());
    entries.clear();
  }
  if (session_ != nullptr) {
    session_->Release();
    session_ = nullptr;
  }
  if (entries.empty() || Terminated()) return;
  // The handler is read on the main thread, where the owner clears it.
  Synchronize([this, &entries] {
    if (OnCheckDone) OnCheckDone(this, entries);
  });
}

TEntryList TCheckInboxThread::Scan() {
  TEntryList entries;
  const mapi::TMapiProcedures& mapi = Mapi();
  if (session_ == nullptr || !mapi.Bound({"HrQueryAllRows", "FreeProws", "MAPIFreeBuffer"})) return entries;

  // The default store.
  TRef<IMsgStore> store;
  {
    LPMAPITABLE raw_table = nullptr;
    if (FAILED(session_->GetMsgStoresTable(0, &raw_table)) || raw_table == nullptr) return entries;
    TRef<IMAPITable> table(raw_table);
    SizedSPropTagArray<2> columns = {2, {PR_ENTRYID, PR_DEFAULT_STORE}};
    SPropValue is_default{};
    is_default.ulPropTag = PR_DEFAULT_STORE;
    is_default.Value.b = 1;
    SRestriction restriction{};
    restriction.rt = RES_PROPERTY;
    restriction.res.resProperty = {RELOP_EQ, PR_DEFAULT_STORE, &is_default};
    LPSRowSet raw_rows = nullptr;
    if (FAILED(mapi.HrQueryAllRows(table.get(), columns.get(), &restriction, nullptr, 0, &raw_rows))) return entries;
    TRows rows(raw_rows);
    if (!rows || rows->cRows == 0 || rows->aRow[0].lpProps[0].ulPropTag != PR_ENTRYID) return entries;
    const SBinary& id = rows->aRow[0].lpProps[0].Value.bin;
    LPMDB raw_store = nullptr;
    if (FAILED(session_->OpenMsgStore(0, id.cb, reinterpret_cast<LPENTRYID>(id.lpb), nullptr, MDB_WRITE,
                                      &raw_store)) ||
        raw_store == nullptr) {
      return entries;
    }
    store.reset(raw_store);
  }

  // Its inbox: the receive folder of ordinary mail.
  TRef<IMAPIFolder> inbox;
  {
    ULONG size = 0;
    LPENTRYID raw_id = nullptr;
    if (FAILED(store->GetReceiveFolder(const_cast<char*>("IPM.Note"), 0, &size, &raw_id, nullptr)) ||
        raw_id == nullptr) {
      return entries;
    }
    std::unique_ptr<void, compress::TBufferFree> id(raw_id);
    ULONG type = 0;
    LPUNKNOWN raw_folder = nullptr;
    if (FAILED(session_->OpenEntry(size, raw_id, nullptr, MAPI_MODIFY, &type, &raw_folder)) ||
        raw_folder == nullptr) {
      return entries;
    }
    inbox.reset(static_cast<IMAPIFolder*>(raw_folder));
  }

  // Its unread messages.
  TRows rows;
  {
    LPMAPITABLE raw_table = nullptr;
    if (FAILED(inbox->GetContentsTable(0, &raw_table)) || raw_table == nullptr) return entries;
    TRef<IMAPITable> table(raw_table);
    SizedSPropTagArray<1> columns = {1, {PR_ENTRYID}};
    SRestriction unread{};
    unread.rt = RES_BITMASK;
    unread.res.resBitMask = {BMR_EQZ, PR_MESSAGE_FLAGS, MSGFLAG_READ};
    LPSRowSet raw_rows = nullptr;
    if (FAILED(mapi.HrQueryAllRows(table.get(), columns.get(), &unread, nullptr, 0, &raw_rows))) return entries;
    rows.reset(raw_rows);
  }
  for (ULONG r = 0; r < rows->cRows && !Terminated(); ++r) {
    const SPropValue& id = rows->aRow[r].lpProps[0];
    if (id.ulPropTag != PR_ENTRYID) continue;
    ULONG type = 0;
    LPUNKNOWN raw_message = nullptr;
    if (FAILED(inbox->OpenEntry(id.Value.bin.cb, reinterpret_cast<LPENTRYID>(id.Value.bin.lpb), &IID_IMessage,
                                MAPI_BEST_ACCESS, &type, &raw_message)) ||
        raw_message == nullptr) {
      continue;
    }
    TRef<IMessage> message(static_cast<IMessage*>(raw_message));
    if (HasZipAttachment(message.get())) entries.push_back(BinaryOf(id));
  }
  return entries;
}

// --- Store notifications ------------------------------------------------------

ULONG EventMask(TMsgStoreEvent event) {
  switch (event) {
    case TMsgStoreEvent::CriticalError: return fnevCriticalError;
    case TMsgStoreEvent::Extended: return fnevExtended;
    case TMsgStoreEvent::NewMail: return fnevNewMail;
    case TMsgStoreEvent::ObjectCreated: return fnevObjectCreated;
    case TMsgStoreEvent::ObjectCopied: return fnevObjectCopied;
    case TMsgStoreEvent::ObjectDeleted: return fnevObjectDeleted;
    case TMsgStoreEvent::ObjectModified: return fnevObjectModified;
    case TMsgStoreEvent::ObjectMoved: return fnevObjectMoved;
    case TMsgStoreEvent::SearchComplete: return fnevSearchComplete;
  }
  return 0;
}

HRESULT TAdviseSink::QueryInterface(REFIID riid, void** ppvObject) {
  if (ppvObject == nullptr) return E_INVALIDARG;
  if (riid == IID_IUnknown || riid == IID_IMAPIAdviseSink) {
    *ppvObject = static_cast<IMAPIAdviseSink*>(this);
    AddRef();
    return S_OK;
  }
  *ppvObject = nullptr;
  return E_NOINTERFACE;
}

ULONG TAdviseSink::AddRef() { return ++references_; }

ULONG TAdviseSink::Release() {
  const ULONG left = --references_;
  if (left == 0) delete this;
  return left;
}

ULONG TAdviseSink::OnNotify(ULONG cNotif, LPNOTIFICATION lpNotifications) {
  const win::HWND window = window_.load();
  if (window != nullptr) {
    win::SendMessage(window, g_notification_message, static_cast<win::WPARAM>(cNotif),
                     reinterpret_cast<win::LPARAM>(lpNotifications));
  }
  return 0;
}

win::UINT TMsgStoreNotify::NotificationMessage() { return g_notification_message; }

TMsgStoreNotify::TMsgStoreNotify(IMsgStore* store, const TMsgStoreEvents& events) : events_(events), store_(store) {
  if (store_ != nullptr) store_->AddRef();

  const win::HINSTANCE instance = win::ModuleOfAddress(reinterpret_cast<const void*>(&HelperWindowProc));
  win::WNDCLASS found{};
  const bool registered = win::GetClassInfo(instance, kHelperWindowClass, &found) != 0;
  if (!registered || found.lpfnWndProc != &HelperWindowProc) {
    // Another copy of this code (an older library still loaded) registered
    // the class with its own procedure.
    if (registered) win::UnregisterClass(kHelperWindowClass, instance);
    win::WNDCLASS window_class{};
    window_class.lpfnWndProc = &HelperWindowProc;
    window_class.hInstance = instance;
    window_class.lpszClassName = kHelperWindowClass;
    win::RegisterClass(&window_class);
  }
  window_ = win::CreateWindow(kHelperWindowClass, "", 0, 0, 0, 0, 0, nullptr, nullptr, instance, nullptr);
  if (window_ != nullptr) win::SetWindowLongPtr(window_, win::GWLP_USERDATA, reinterpret_cast<win::LONG_PTR>(this));

  sink_ = new TAdviseSink(window_);
  ULONG mask = 0;
  for (TMsgStoreEvent event : events_) mask |= EventMask(event);
  if (store_ != nullptr && window_ != nullptr) {
    advised_ = SUCCEEDED(store_->Advise(0, nullptr, mask, sink_, &connection_));
  }
}

TMsgStoreNotify::~TMsgStoreNotify() {
  if (advised_) store_->Unadvise(connection_);
  sink_->Detach();
  sink_->Release();
  if (store_ != nullptr) store_->Release();
  if (window_ != nullptr) {
    win::SetWindowLongPtr(window_, win::GWLP_USERDATA, 0);
    win::DestroyWindow(window_);
  }
}

win::LRESULT TMsgStoreNotify::HelperWindowProc(win::HWND window, win::UINT message, win::WPARAM wparam,
                                               win::LPARAM lparam) {
  if (message != g_notification_message) return win::DefWindowProc(window, message, wparam, lparam);
  const auto* notifications = reinterpret_cast<const NOTIFICATION*>(lparam);
  for (ULONG i = 0; i < static_cast<ULONG>(wparam); ++i) {
    // Looked up again for every record: a handler may have ended the
    // notifier (the extension going away while a prompt was open).
    auto* notifier = reinterpret_cast<TMsgStoreNotify*>(win::GetWindowLongPtr(window, win::GWLP_USERDATA));
    if (notifier == nullptr) break;
    const TEvent handler = notifier->EventFor(notifications[i].ulEventType);
    if (handler) handler(notifier, const_cast<void*>(static_cast<const void*>(&notifications[i].info)));
  }
  return 0;
}

TMsgStoreNotify::TEvent TMsgStoreNotify::EventFor(ULONG event_type) const {
  switch (event_type) {
    case fnevNewMail: return OnNewMail;
    case fnevObjectCreated: return OnObjectCreated;
    case fnevExtended: return OnExtended;
    case fnevCriticalError: return OnCriticalError;
    case fnevObjectDeleted: return OnObjectDeleted;
    case fnevObjectMoved: return OnObjectMoved;
    case fnevSearchComplete: return OnSearchComplete;
    case fnevObjectCopied: return OnObjectCopied;
    case fnevObjectModified: return OnObjectModified;
    default: return nullptr;
  }
}

}  // namespace corvid::decompress
