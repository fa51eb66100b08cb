// IMsgStore and IMAPIFolder over a Maildir, and the store's new-mail thread.
#include <strings.h>

#include <cstring>
#include <set>
#include <thread>

#include "platform/mapi/mapi32.h"
#include "platform/mapi/mapi_object.h"
#include "platform/mapi/store_core.h"
#include "platform/mapi/table.h"

namespace corvid::mapi {
namespace {

// The provider part of PR_MDB_PROVIDER: this store's kind.
constexpr GUID kProviderUid = {0x6E3C1F2A, 0x5B7D, 0x4C21, {0x9A, 0x4E, 0x2F, 0x61, 0xC0, 0x8D, 0x17, 0x35}};

std::string GuidBytes(const GUID& guid) { return std::string(reinterpret_cast<const char*>(&guid), sizeof guid); }

// ---------------------------------------------------------------------------
// New mail: one thread per store object that was asked for fnevNewMail. It
// watches INBOX's new/ folder, where delivery agents put new messages, and
// calls every sink once per message whose unique name it has not seen.

struct TAdviseState {
  std::shared_ptr<TStoreCore> core;
  std::mutex mutex;
  struct TConnection {
    ULONG mask;
    IMAPIAdviseSink* sink;  // one reference
  };
  std::map<ULONG, TConnection> connections;
  ULONG next_connection = 1;
  bool stop = false;
  bool dispatching = false;
  std::unique_ptr<TFolderWatch> watch;
  std::set<std::string> known;  // unique names of INBOX messages already seen
};

// One block: the records, their entry identifiers and texts.
LPNOTIFICATION NewMailNotifications(TStoreCore& core, const std::vector<std::string>& uniques) {
  auto* block = static_cast<LPNOTIFICATION>(AllocateBuffer(sizeof(NOTIFICATION) * uniques.size()));
  const std::string parent = core.FolderEntryId("");
  for (size_t i = 0; i < uniques.size(); ++i) {
    NOTIFICATION& record = block[i];
    record.ulEventType = fnevNewMail;
    NEWMAIL_NOTIFICATION& mail = record.info.newmail;
    const std::string entry = core.MessageEntryId("", uniques[i]);
    mail.cbEntryID = static_cast<ULONG>(entry.size());
    mail.lpEntryID = static_cast<LPENTRYID>(AllocateMore(entry.size(), block));
    std::memcpy(mail.lpEntryID, entry.data(), entry.size());
    mail.cbParentID = static_cast<ULONG>(parent.size());
    mail.lpParentID = static_cast<LPENTRYID>(AllocateMore(parent.size(), block));
    std::memcpy(mail.lpParentID, parent.data(), parent.size());
    mail.ulFlags = 0;
    std::string message_class = "IPM.Note";
    ULONG flags = 0;
    if (std::optional<TMessageFile> file = core.Maildir().Find("", uniques[i])) {
      const TMessageSummary summary = core.Summary("", *file);
      message_class = summary.message_class;
      flags = MessageFlagsOf(file->flags, summary.attachments > 0);
    }
    mail.lpszMessageClass = static_cast<char*>(AllocateMore(message_class.size() + 1, block));
    std::memcpy(mail.lpszMessageClass, message_class.c_str(), message_class.size() + 1);
    mail.ulMessageFlags = flags;
  }
  return block;
}

void RunNewMailThread(std::shared_ptr<TAdviseState> state) {
  const std::string inbox_new = state->core->Maildir().FolderPath("") + "/new";
  for (;;) {
    std::vector<std::string> arrived;
    bool overflow = false;
    try {
      if (!state->watch->Wait(&arrived, &overflow)) return;
      if (overflow) {
        for (const std::string& name : state->core->Maildir().Files().List(inbox_new).value_or(
                 std::vector<std::string>{})) {
          arrived.push_back(name);
        }
      }
    } catch (...) {
      return;  // the watch broke: no more notifications from this store
    }
    std::vector<std::string> fresh;
    for (const std::string& name : arrived) {
      if (name.empty() || name[0] == '.') continue;
      const std::string unique = UniqueOfName(name);
      if (state->known.insert(unique).second) fresh.push_back(unique);
    }
    if (fresh.empty()) continue;

    LPNOTIFICATION block = nullptr;
    try {
      block = NewMailNotifications(*state->core, fresh);
    } catch (...) {
      continue;
    }
    std::vector<std::pair<ULONG, IMAPIAdviseSink*>> sinks;
    {
      std::lock_guard lock(state->mutex);
      if (state->stop) {
        MAPIFreeBuffer(block);
        return;
      }
      for (auto& [connection, entry] : state->connections) {
        if ((entry.mask & fnevNewMail) == 0) continue;
        entry.sink->AddRef();
        sinks.emplace_back(connection, entry.sink);
      }
      state->dispatching = true;
    }
    for (const auto& [connection, sink] : sinks) {
      {
        // A sink unadvised while an earlier one was being called must not
        // hear of this mail any more.
        std::lock_guard lock(state->mutex);
        if (state->stop || state->connections.count(connection) == 0) continue;
      }
      try {
        sink->OnNotify(static_cast<ULONG>(fresh.size()), block);
      } catch (...) {
        // A sink's failure is its own; the others still hear of the mail.
      }
    }
    {
      std::lock_guard lock(state->mutex);
      state->dispatching = false;
    }
    for (const auto& [connection, sink] : sinks) sink->Release();
    MAPIFreeBuffer(block);
  }
}

class TAdviseHub {
 public:
  explicit TAdviseHub(std::shared_ptr<TStoreCore> core) : state_(std::make_shared<TAdviseState>()) {
    state_->core = std::move(core);
  }
  ~TAdviseHub() {
    std::vector<IMAPIAdviseSink*> sinks;
    bool busy = false;
    {
      std::lock_guard lock(state_->mutex);
      state_->stop = true;
      busy = state_->dispatching;
      for (auto& [connection, entry] : state_->connections) sinks.push_back(entry.sink);
      state_->connections.clear();
    }
    if (state_->watch) state_->watch->Cancel();
    if (thread_.joinable()) {
      // A sink that is waiting for the thread that destroys the store must
      // not be waited for in turn: the thread ends by itself after it.
      if (busy || thread_.get_id() == std::this_thread::get_id()) {
        thread_.detach();
      } else {
        thread_.join();
      }
    }
    for (IMAPIAdviseSink* sink : sinks) sink->Release();
  }

  ULONG Add(ULONG mask, IMAPIAdviseSink* sink) {
    std::lock_guard lock(start_mutex_);
    if ((mask & fnevNewMail) != 0 && !thread_.joinable()) {
      // Watch first, then list: a message that arrives in between is seen
      // twice and told once; none is missed.
      TMaildir& maildir = state_->core->Maildir();
      const std::string inbox = maildir.FolderPath("");
      state_->watch = maildir.Files().Watch({inbox + "/new"});
      for (const TMessageFile& file : maildir.Messages("")) state_->known.insert(file.unique);
      thread_ = std::thread(RunNewMailThread, state_);
    }
    std::lock_guard lock_state(state_->mutex);
    const ULONG connection = state_->next_connection++;
    sink->AddRef();
    state_->connections[connection] = {mask, sink};
    return connection;
  }

  bool Remove(ULONG connection) {
    IMAPIAdviseSink* sink = nullptr;
    {
      std::lock_guard lock(state_->mutex);
      auto it = state_->connections.find(connection);
      if (it == state_->connections.end()) return false;
      sink = it->second.sink;
      state_->connections.erase(it);
    }
    sink->Release();
    return true;
  }

 private:
  std::mutex start_mutex_;
  std::shared_ptr<TAdviseState> state_;
  std::thread thread_;
};

// ---------------------------------------------------------------------------
// Rows.

class TMessageRow : public TRowSource {
 public:
  TMessageRow(std::shared_ptr<TStoreCore> core, std::string folder, TMessageFile file)
      : core_(std::move(core)), folder_(std::move(folder)), file_(std::move(file)) {}

  std::optional<TProp> Get(ULONG tag) override {
    switch (PROP_ID(tag)) {
      case PROP_ID(PR_ENTRYID):
      case PROP_ID(PR_INSTANCE_KEY):
      case PROP_ID(PR_RECORD_KEY):
        return TProp::Bytes(CHANGE_PROP_TYPE(tag, PT_BINARY), core_->MessageEntryId(folder_, file_.unique));
      case PROP_ID(PR_PARENT_ENTRYID):
        return TProp::Bytes(PR_PARENT_ENTRYID, core_->FolderEntryId(folder_));
      case PROP_ID(PR_STORE_ENTRYID):
        return TProp::Bytes(PR_STORE_ENTRYID, core_->StoreEntryId());
      case PROP_ID(PR_OBJECT_TYPE):
        return TProp::Long(PR_OBJECT_TYPE, MAPI_MESSAGE);
      case PROP_ID(PR_MESSAGE_FLAGS):
        return TProp::Long(PR_MESSAGE_FLAGS, MessageFlagsOf(file_.flags, Summary().attachments > 0));
      case PROP_ID(PR_HASATTACH):
        return TProp::Bool(PR_HASATTACH, Summary().attachments > 0);
      case PROP_ID(PR_MESSAGE_CLASS):
        return TProp::Bytes(PR_MESSAGE_CLASS, Summary().message_class);
      case PROP_ID(PR_SUBJECT):
        return TProp::Bytes(PR_SUBJECT, Summary().subject);
      case PROP_ID(PR_SENDER_NAME):
        if (Summary().sender_name.empty()) return std::nullopt;
        return TProp::Bytes(PR_SENDER_NAME, Summary().sender_name);
      case PROP_ID(PR_SENDER_EMAIL_ADDRESS):
        if (Summary().sender_email.empty()) return std::nullopt;
        return TProp::Bytes(PR_SENDER_EMAIL_ADDRESS, Summary().sender_email);
      case PROP_ID(PR_DISPLAY_TO):
        return TProp::Bytes(PR_DISPLAY_TO, Summary().display_to);
      case PROP_ID(PR_CLIENT_SUBMIT_TIME):
        if (!Summary().date) return std::nullopt;
        return TProp::Long(PR_CLIENT_SUBMIT_TIME, FileTimeFromUnixSeconds(*Summary().date));
      case PROP_ID(PR_MESSAGE_SIZE):
        return TProp::Long(PR_MESSAGE_SIZE, static_cast<LONG>(std::min<uint64_t>(Summary().identity.size, 0x7FFFFFFF)));
      case PROP_ID(PR_MESSAGE_DELIVERY_TIME):
        return TProp::Long(PR_MESSAGE_DELIVERY_TIME, FileTimeFromUnixNanoseconds(Summary().identity.mtime_ns));
      default:
        return std::nullopt;
    }
  }

 private:
  const TMessageSummary& Summary() {
    if (!summary_) summary_ = core_->Summary(folder_, file_);
    return *summary_;
  }

  std::shared_ptr<TStoreCore> core_;
  std::string folder_;
  TMessageFile file_;
  std::optional<TMessageSummary> summary_;
};

struct TFolderCounts {
  LONG count = 0;
  LONG unread = 0;
};

TFolderCounts CountsOf(TStoreCore& core, const std::string& folder) {
  TFolderCounts counts;
  for (const TMessageFile& file : core.Maildir().Messages(folder)) {
    ++counts.count;
    if (file.flags.find('S') == std::string::npos) ++counts.unread;
  }
  return counts;
}

class TFolderRow : public TRowSource {
 public:
  TFolderRow(std::shared_ptr<TStoreCore> core, std::string folder) : core_(std::move(core)), folder_(std::move(folder)) {}
  std::optional<TProp> Get(ULONG tag) override {
    switch (PROP_ID(tag)) {
      case PROP_ID(PR_ENTRYID):
      case PROP_ID(PR_INSTANCE_KEY):
      case PROP_ID(PR_RECORD_KEY):
        return TProp::Bytes(CHANGE_PROP_TYPE(tag, PT_BINARY), core_->FolderEntryId(folder_));
      case PROP_ID(PR_DISPLAY_NAME):
        return TProp::Bytes(PR_DISPLAY_NAME, TStoreCore::DisplayNameOfFolder(folder_));
      case PROP_ID(PR_OBJECT_TYPE):
        return TProp::Long(PR_OBJECT_TYPE, MAPI_FOLDER);
      case PROP_ID(PR_FOLDER_TYPE):
        return TProp::Long(PR_FOLDER_TYPE, FOLDER_GENERIC);
      case PROP_ID(PR_SUBFOLDERS):
        return TProp::Bool(PR_SUBFOLDERS, false);
      case PROP_ID(PR_CONTENT_COUNT):
        return TProp::Long(PR_CONTENT_COUNT, Counts().count);
      case PROP_ID(PR_CONTENT_UNREAD):
        return TProp::Long(PR_CONTENT_UNREAD, Counts().unread);
      default:
        return std::nullopt;
    }
  }

 private:
  const TFolderCounts& Counts() {
    if (!counts_) counts_ = CountsOf(*core_, folder_);
    return *counts_;
  }
  std::shared_ptr<TStoreCore> core_;
  std::string folder_;
  std::optional<TFolderCounts> counts_;
};

HRESULT Hand(IUnknown* object, LPCIID interface_id, LPUNKNOWN* out) {
  if (interface_id == nullptr) {
    *out = object;
    return S_OK;
  }
  void* asked = nullptr;
  const HRESULT result = object->QueryInterface(*interface_id, &asked);
  object->Release();
  if (FAILED(result)) return MAPI_E_INTERFACE_NOT_SUPPORTED;
  *out = static_cast<IUnknown*>(asked);
  return S_OK;
}

// ---------------------------------------------------------------------------

class TMsgStore : public TPropObject<IMsgStore> {
 public:
  TMsgStore(std::shared_ptr<TStoreCore> core, bool writable)
      : core_(std::move(core)), writable_(writable), hub_(core_) {}

  HRESULT QueryInterface(REFIID riid, void** ppvObject) override {
    return QueryAs(riid, ppvObject, {IID_IMsgStore, IID_IMAPIProp});
  }

  HRESULT Advise(ULONG cbEntryID, LPENTRYID lpEntryID, ULONG ulEventMask, LPMAPIADVISESINK lpAdviseSink,
                 ULONG* lpulConnection) override {
    return Guarded(error_, [&] {
      Require(lpAdviseSink != nullptr && lpulConnection != nullptr, MAPI_E_INVALID_PARAMETER, "No sink");
      Require(ulEventMask != 0, MAPI_E_INVALID_PARAMETER, "No events asked for");
      if (cbEntryID != 0) {
        // Events of one object: new mail arrives for the store or its inbox
        // only, so only those take fnevNewMail.
        const std::optional<TEntryId> id = DecodeEntryId(EntryIdBytes(cbEntryID, lpEntryID));
        Require(id.has_value() && IsEqualGUID(id->store, core_->Config().uid), MAPI_E_INVALID_ENTRYID,
                "Not an entry of this store");
        const bool whole = id->kind == TEntryKind::Store || id->kind == TEntryKind::Root ||
                           (id->kind == TEntryKind::Folder && id->folder.empty());
        if (!whole) ulEventMask &= ~fnevNewMail;
      }
      *lpulConnection = hub_.Add(ulEventMask, lpAdviseSink);
      return S_OK;
    });
  }
  HRESULT Unadvise(ULONG ulConnection) override {
    if (!hub_.Remove(ulConnection)) return MAPI_E_NOT_FOUND;
    return S_OK;
  }
  HRESULT CompareEntryIDs(ULONG cbEntryID1, LPENTRYID lpEntryID1, ULONG cbEntryID2, LPENTRYID lpEntryID2,
                          ULONG ulFlags, ULONG* lpulResult) override {
    return Guarded(error_, [&] {
      return CompareEntryIds(cbEntryID1, lpEntryID1, cbEntryID2, lpEntryID2, lpulResult,
                             "Not entry identifiers of this store");
    });
  }
  HRESULT OpenEntry(ULONG cbEntryID, LPENTRYID lpEntryID, LPCIID lpInterface, ULONG ulFlags, ULONG* lpulObjType,
                    LPUNKNOWN* lppUnk) override {
    return Guarded(error_, [&] {
      Require(lpulObjType != nullptr && lppUnk != nullptr, MAPI_E_INVALID_PARAMETER, "Missing out-parameters");
      *lppUnk = nullptr;
      TEntryId id = EntryIdOf(core_->Config().uid, TEntryKind::Root);
      if (cbEntryID != 0) {
        const std::optional<TEntryId> decoded = DecodeEntryId(EntryIdBytes(cbEntryID, lpEntryID));
        Require(decoded.has_value(), MAPI_E_INVALID_ENTRYID, "Not an entry identifier of this store");
        id = *decoded;
      }
      return OpenStoreEntry(core_, writable_, id, lpInterface, ulFlags, lpulObjType, lppUnk);
    });
  }
  HRESULT SetReceiveFolder(LPTSTR, ULONG, ULONG, LPENTRYID) override { return MAPI_E_NO_SUPPORT; }
  HRESULT GetReceiveFolder(LPTSTR lpszMessageClass, ULONG ulFlags, ULONG* lpcbEntryID, LPENTRYID* lppEntryID,
                           LPTSTR* lppszExplicitClass) override {
    return Guarded(error_, [&] {
      Require(lpcbEntryID != nullptr && lppEntryID != nullptr, MAPI_E_INVALID_PARAMETER, "Missing out-parameters");
      Require((ulFlags & MAPI_UNICODE) == 0, MAPI_E_BAD_CHARWIDTH, "Message classes are 8-bit texts here");
      // Every class is received in INBOX; the class that chose it is IPM
      // for the IPM classes and the default ("") for the others.
      const std::string message_class = lpszMessageClass != nullptr ? lpszMessageClass : "";
      const std::string explicit_class =
          strncasecmp(message_class.c_str(), "IPM", 3) == 0 && (message_class.size() == 3 || message_class[3] == '.')
              ? "IPM"
              : "";
      TMapiPtr<ENTRYID> entry(NewEntryId(core_->FolderEntryId(""), lpcbEntryID));
      if (lppszExplicitClass != nullptr) {
        auto* text = static_cast<char*>(AllocateBuffer(explicit_class.size() + 1));
        std::memcpy(text, explicit_class.c_str(), explicit_class.size() + 1);
        *lppszExplicitClass = text;
      }
      *lppEntryID = entry.release();
      return S_OK;
    });
  }
  HRESULT GetReceiveFolderTable(ULONG, LPMAPITABLE*) override { return MAPI_E_NO_SUPPORT; }
  HRESULT StoreLogoff(ULONG* lpulFlags) override { return S_OK; }
  HRESULT AbortSubmit(ULONG, LPENTRYID, ULONG) override { return MAPI_E_NO_SUPPORT; }
  HRESULT GetOutgoingQueue(ULONG, LPMAPITABLE*) override { return MAPI_E_NO_SUPPORT; }
  HRESULT SetLockState(LPMESSAGE, ULONG) override { return MAPI_E_NO_SUPPORT; }
  HRESULT FinishedMsg(ULONG, ULONG, LPENTRYID) override { return MAPI_E_NO_SUPPORT; }
  HRESULT NotifyNewMail(LPNOTIFICATION) override { return MAPI_E_NO_SUPPORT; }

 protected:
  std::vector<ULONG> PropTags() override {
    std::vector<ULONG> tags = {PR_ENTRYID,        PR_RECORD_KEY, PR_DISPLAY_NAME,       PR_DEFAULT_STORE,
                               PR_MDB_PROVIDER,   PR_OBJECT_TYPE, PR_IPM_SUBTREE_ENTRYID};
    for (ULONG tag : {PR_IPM_OUTBOX_ENTRYID, PR_IPM_SENTMAIL_ENTRYID, PR_IPM_DRAFTS_ENTRYID}) {
      if (GetProp(tag)) tags.push_back(tag);
    }
    return tags;
  }
  std::optional<TProp> GetProp(ULONG tag) override {
    auto special = [&](const char* folder) -> std::optional<TProp> {
      const std::optional<std::string> found = core_->ResolveFolder(folder);
      if (!found || found->empty()) return std::nullopt;
      return TProp::Bytes(CHANGE_PROP_TYPE(tag, PT_BINARY), core_->FolderEntryId(*found));
    };
    switch (PROP_ID(tag)) {
      case PROP_ID(PR_ENTRYID):
        return TProp::Bytes(PR_ENTRYID, core_->StoreEntryId());
      case PROP_ID(PR_RECORD_KEY):
        return TProp::Bytes(PR_RECORD_KEY, GuidBytes(core_->Config().uid));
      case PROP_ID(PR_DISPLAY_NAME):
        return TProp::Bytes(PR_DISPLAY_NAME, core_->Config().display_name);
      case PROP_ID(PR_DEFAULT_STORE):
        return TProp::Bool(PR_DEFAULT_STORE, core_->Config().is_default);
      case PROP_ID(PR_MDB_PROVIDER):
        return TProp::Bytes(PR_MDB_PROVIDER, GuidBytes(kProviderUid));
      case PROP_ID(PR_OBJECT_TYPE):
        return TProp::Long(PR_OBJECT_TYPE, MAPI_STORE);
      case PROP_ID(PR_IPM_SUBTREE_ENTRYID):
        return TProp::Bytes(PR_IPM_SUBTREE_ENTRYID, core_->RootEntryId());
      case PROP_ID(PR_IPM_OUTBOX_ENTRYID):
        return special("Outbox");
      case PROP_ID(PR_IPM_SENTMAIL_ENTRYID):
        return special("Sent Items");
      case PROP_ID(PR_IPM_DRAFTS_ENTRYID):
        return special("Drafts");
      default:
        return std::nullopt;
    }
  }

 private:
  std::shared_ptr<TStoreCore> core_;
  bool writable_;
  TAdviseHub hub_;
};

class TFolder : public TPropObject<IMAPIFolder> {
 public:
  // `folder` nullopt is the root, whose hierarchy lists every folder.
  TFolder(std::shared_ptr<TStoreCore> core, std::optional<std::string> folder, bool writable)
      : core_(std::move(core)), folder_(std::move(folder)), writable_(writable) {}

  HRESULT QueryInterface(REFIID riid, void** ppvObject) override {
    return QueryAs(riid, ppvObject, {IID_IMAPIFolder, IID_IMAPIContainer, IID_IMAPIProp});
  }

  HRESULT GetContentsTable(ULONG ulFlags, LPMAPITABLE* lppTable) override {
    return Guarded(error_, [&] {
      Require(lppTable != nullptr, MAPI_E_INVALID_PARAMETER, "Missing out-parameter");
      std::vector<std::shared_ptr<TRowSource>> rows;
      if (folder_) {
        for (TMessageFile& file : core_->Maildir().Messages(*folder_)) {
          rows.push_back(std::make_shared<TMessageRow>(core_, *folder_, std::move(file)));
        }
      }
      *lppTable = NewTable(std::move(rows), {PR_ENTRYID, PR_INSTANCE_KEY, PR_MESSAGE_FLAGS, PR_MESSAGE_CLASS,
                                             PR_SUBJECT, PR_MESSAGE_SIZE, PR_MESSAGE_DELIVERY_TIME});
      return S_OK;
    });
  }
  HRESULT GetHierarchyTable(ULONG ulFlags, LPMAPITABLE* lppTable) override {
    return Guarded(error_, [&] {
      Require(lppTable != nullptr, MAPI_E_INVALID_PARAMETER, "Missing out-parameter");
      std::vector<std::shared_ptr<TRowSource>> rows;
      if (!folder_) {
        for (const std::string& folder : core_->Maildir().Folders()) {
          rows.push_back(std::make_shared<TFolderRow>(core_, folder));
        }
      }
      *lppTable = NewTable(std::move(rows), {PR_ENTRYID, PR_DISPLAY_NAME, PR_CONTENT_COUNT, PR_CONTENT_UNREAD});
      return S_OK;
    });
  }
  HRESULT OpenEntry(ULONG cbEntryID, LPENTRYID lpEntryID, LPCIID lpInterface, ULONG ulFlags, ULONG* lpulObjType,
                    LPUNKNOWN* lppUnk) override {
    return Guarded(error_, [&] {
      Require(lpulObjType != nullptr && lppUnk != nullptr, MAPI_E_INVALID_PARAMETER, "Missing out-parameters");
      *lppUnk = nullptr;
      TEntryId id = EntryIdOf(core_->Config().uid, folder_ ? TEntryKind::Folder : TEntryKind::Root);
      if (folder_) id.folder = *folder_;
      if (cbEntryID != 0) {
        const std::optional<TEntryId> decoded = DecodeEntryId(EntryIdBytes(cbEntryID, lpEntryID));
        Require(decoded.has_value(), MAPI_E_INVALID_ENTRYID, "Not an entry identifier of this store");
        id = *decoded;
      }
      return OpenStoreEntry(core_, writable_, id, lpInterface, ulFlags, lpulObjType, lppUnk);
    });
  }
  HRESULT SetSearchCriteria(LPSRestriction, SBinaryArray*, ULONG) override { return MAPI_E_NO_SUPPORT; }
  HRESULT GetSearchCriteria(ULONG, LPSRestriction*, SBinaryArray**, ULONG*) override { return MAPI_E_NO_SUPPORT; }
  HRESULT CreateMessage(LPCIID lpInterface, ULONG ulFlags, IMessage** lppMessage) override {
    return Guarded(error_, [&] {
      Require(lppMessage != nullptr, MAPI_E_INVALID_PARAMETER, "Missing out-parameter");
      *lppMessage = nullptr;
      Require(writable_, MAPI_E_NO_ACCESS, "The store was opened for reading only");
      Require(folder_.has_value(), MAPI_E_NO_SUPPORT, "Messages live in folders, not in the root");
      Require(lpInterface == nullptr || IsEqualGUID(*lpInterface, IID_IMessage), MAPI_E_INTERFACE_NOT_SUPPORTED,
              "Messages offer IMessage");
      *lppMessage = NewMessageObject(core_, *folder_);
      return S_OK;
    });
  }
  HRESULT CopyMessages(SBinaryArray*, LPCIID, LPVOID, ULONG_PTR, LPMAPIPROGRESS, ULONG) override {
    return MAPI_E_NO_SUPPORT;
  }
  HRESULT DeleteMessages(SBinaryArray*, ULONG_PTR, LPMAPIPROGRESS, ULONG) override { return MAPI_E_NO_SUPPORT; }
  HRESULT CreateFolder(ULONG, LPTSTR, LPTSTR, LPCIID, ULONG, IMAPIFolder**) override { return MAPI_E_NO_SUPPORT; }
  HRESULT CopyFolder(ULONG, LPENTRYID, LPCIID, LPVOID, LPTSTR, ULONG_PTR, LPMAPIPROGRESS, ULONG) override {
    return MAPI_E_NO_SUPPORT;
  }
  HRESULT DeleteFolder(ULONG, LPENTRYID, ULONG_PTR, LPMAPIPROGRESS, ULONG) override { return MAPI_E_NO_SUPPORT; }
  HRESULT SetReadFlags(SBinaryArray*, ULONG_PTR, LPMAPIPROGRESS, ULONG) override { return MAPI_E_NO_SUPPORT; }
  HRESULT GetMessageStatus(ULONG, LPENTRYID, ULONG, ULONG*) override { return MAPI_E_NO_SUPPORT; }
  HRESULT SetMessageStatus(ULONG, LPENTRYID, ULONG, ULONG, ULONG*) override { return MAPI_E_NO_SUPPORT; }
  HRESULT SaveContentsSort(LPSSortOrderSet, ULONG) override { return MAPI_E_NO_SUPPORT; }
  HRESULT EmptyFolder(ULONG_PTR, LPMAPIPROGRESS, ULONG) override { return MAPI_E_NO_SUPPORT; }

 protected:
  std::vector<ULONG> PropTags() override {
    std::vector<ULONG> tags = {PR_ENTRYID, PR_DISPLAY_NAME, PR_OBJECT_TYPE, PR_FOLDER_TYPE, PR_SUBFOLDERS,
                               PR_STORE_ENTRYID, PR_RECORD_KEY};
    if (folder_) {
      tags.insert(tags.end(), {PR_PARENT_ENTRYID, PR_CONTENT_COUNT, PR_CONTENT_UNREAD});
    }
    return tags;
  }
  std::optional<TProp> GetProp(ULONG tag) override {
    const std::string entry = folder_ ? core_->FolderEntryId(*folder_) : core_->RootEntryId();
    switch (PROP_ID(tag)) {
      case PROP_ID(PR_ENTRYID):
      case PROP_ID(PR_RECORD_KEY):
        return TProp::Bytes(CHANGE_PROP_TYPE(tag, PT_BINARY), entry);
      case PROP_ID(PR_DISPLAY_NAME):
        return TProp::Bytes(PR_DISPLAY_NAME, folder_ ? TStoreCore::DisplayNameOfFolder(*folder_)
                                                     : core_->Config().display_name);
      case PROP_ID(PR_OBJECT_TYPE):
        return TProp::Long(PR_OBJECT_TYPE, MAPI_FOLDER);
      case PROP_ID(PR_FOLDER_TYPE):
        return TProp::Long(PR_FOLDER_TYPE, folder_ ? FOLDER_GENERIC : FOLDER_ROOT);
      case PROP_ID(PR_SUBFOLDERS):
        return TProp::Bool(PR_SUBFOLDERS, !folder_);
      case PROP_ID(PR_STORE_ENTRYID):
        return TProp::Bytes(PR_STORE_ENTRYID, core_->StoreEntryId());
      case PROP_ID(PR_PARENT_ENTRYID):
        if (!folder_) return std::nullopt;
        return TProp::Bytes(PR_PARENT_ENTRYID, core_->RootEntryId());
      case PROP_ID(PR_CONTENT_COUNT):
        if (!folder_) return std::nullopt;
        return TProp::Long(PR_CONTENT_COUNT, CountsOf(*core_, *folder_).count);
      case PROP_ID(PR_CONTENT_UNREAD):
        if (!folder_) return std::nullopt;
        return TProp::Long(PR_CONTENT_UNREAD, CountsOf(*core_, *folder_).unread);
      default:
        return std::nullopt;
    }
  }

 private:
  std::shared_ptr<TStoreCore> core_;
  std::optional<std::string> folder_;
  bool writable_;
};

}  // namespace

IMsgStore* NewMsgStore(std::shared_ptr<TStoreCore> core, bool writable) {
  for (const std::string& folder : core->Maildir().Folders()) core->Maildir().CleanTemporaryFiles(folder);
  return new TMsgStore(std::move(core), writable);
}

IMAPIFolder* NewFolder(std::shared_ptr<TStoreCore> core, std::optional<std::string> folder, bool writable) {
  return new TFolder(std::move(core), std::move(folder), writable);
}

HRESULT OpenStoreEntry(const std::shared_ptr<TStoreCore>& core, bool writable, const TEntryId& id,
                       LPCIID interface_id, ULONG flags, ULONG* object_type, LPUNKNOWN* object) {
  Require(IsEqualGUID(id.store, core->Config().uid), MAPI_E_INVALID_ENTRYID, "Not an entry of this store");
  const bool wants_write = (flags & MAPI_MODIFY) != 0;
  Require(!wants_write || writable, MAPI_E_NO_ACCESS, "The store was opened for reading only");
  const bool modify = writable && (flags & (MAPI_MODIFY | MAPI_BEST_ACCESS)) != 0;
  switch (id.kind) {
    case TEntryKind::Store:
      *object_type = MAPI_STORE;
      return Hand(NewMsgStore(core, writable), interface_id, object);
    case TEntryKind::Root:
      *object_type = MAPI_FOLDER;
      return Hand(NewFolder(core, std::nullopt, writable), interface_id, object);
    case TEntryKind::Folder:
      Require(core->Maildir().HasFolder(id.folder), MAPI_E_NOT_FOUND, "No such folder");
      *object_type = MAPI_FOLDER;
      return Hand(NewFolder(core, id.folder, writable), interface_id, object);
    case TEntryKind::Message:
      *object_type = MAPI_MESSAGE;
      return Hand(OpenMessageObject(core, id.folder, id.unique, modify), interface_id, object);
    default:
      throw EMapiError(MAPI_E_INVALID_ENTRYID, "Not an entry of a message store");
  }
}

}  // namespace corvid::mapi
