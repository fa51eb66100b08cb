// IMAPISession over the profile of the machine root.
#include <cstring>
#include <map>

#include "platform/mapi/mapi_object.h"
#include "platform/mapi/store_core.h"
#include "platform/mapi/table.h"

namespace corvid::mapi {
namespace {

std::string GuidBytes(const GUID& guid) { return std::string(reinterpret_cast<const char*>(&guid), sizeof guid); }

class TSession : public TComObject<IMAPISession> {
 public:
  TSession(TProfile profile, std::shared_ptr<TMailFiles> files) : profile_(std::move(profile)), files_(std::move(files)) {}
  ~TSession() override {
    for (auto& [connection, advise] : advises_) {
      if (advise.store) {
        advise.store->Unadvise(advise.store_connection);
      } else if (advise.sink) {
        advise.sink->Release();
      }
    }
  }

  HRESULT QueryInterface(REFIID riid, void** ppvObject) override {
    return QueryAs(riid, ppvObject, {IID_IMAPISession});
  }
  HRESULT GetLastError(HRESULT hResult, ULONG ulFlags, LPMAPIERROR* lppMAPIError) override {
    return LastErrorOf(error_, hResult, lppMAPIError);
  }

  HRESULT GetMsgStoresTable(ULONG ulFlags, LPMAPITABLE* lppTable) override {
    return Guarded(error_, [&] {
      Require(lppTable != nullptr, MAPI_E_INVALID_PARAMETER, "Missing out-parameter");
      std::vector<std::shared_ptr<TRowSource>> rows;
      LONG index = 0;
      for (const TStoreConfig& store : profile_.stores) {
        const std::string entry = EncodeEntryId(EntryIdOf(store.uid, TEntryKind::Store));
        rows.push_back(std::make_shared<TFixedRow>(std::vector<TProp>{
            TProp::Bytes(PR_ENTRYID, entry),
            TProp::Bytes(PR_DISPLAY_NAME, store.display_name),
            TProp::Bool(PR_DEFAULT_STORE, store.is_default),
            TProp::Bytes(PR_RECORD_KEY, GuidBytes(store.uid)),
            TProp::Bytes(PR_INSTANCE_KEY, std::string(reinterpret_cast<const char*>(&index), sizeof index)),
            TProp::Long(PR_OBJECT_TYPE, MAPI_STORE),
        }));
        ++index;
      }
      *lppTable = NewTable(std::move(rows), {PR_ENTRYID, PR_DISPLAY_NAME, PR_DEFAULT_STORE});
      return S_OK;
    });
  }

  HRESULT OpenMsgStore(ULONG_PTR ulUIParam, ULONG cbEntryID, LPENTRYID lpEntryID, LPCIID lpInterface, ULONG ulFlags,
                       LPMDB* lppMDB) override {
    return Guarded(error_, [&] {
      Require(lppMDB != nullptr, MAPI_E_INVALID_PARAMETER, "Missing out-parameter");
      *lppMDB = nullptr;
      const std::optional<TEntryId> id = DecodeEntryId(EntryIdBytes(cbEntryID, lpEntryID));
      Require(id.has_value() && id->kind == TEntryKind::Store, MAPI_E_INVALID_ENTRYID,
              "Not the entry identifier of a message store");
      Require(lpInterface == nullptr || IsEqualGUID(*lpInterface, IID_IMsgStore) ||
                  IsEqualGUID(*lpInterface, IID_IMAPIProp),
              MAPI_E_INTERFACE_NOT_SUPPORTED, "Message stores offer IMsgStore");
      *lppMDB = NewMsgStore(Core(id->store), (ulFlags & MDB_WRITE) != 0);
      return S_OK;
    });
  }

  HRESULT OpenAddressBook(ULONG_PTR ulUIParam, LPCIID lpInterface, ULONG ulFlags, LPADRBOOK* lppAdrBook) override {
    return Guarded(error_, [&] {
      Require(lppAdrBook != nullptr, MAPI_E_INVALID_PARAMETER, "Missing out-parameter");
      Require(lpInterface == nullptr || IsEqualGUID(*lpInterface, IID_IAddrBook), MAPI_E_INTERFACE_NOT_SUPPORTED,
              "The address book offers IAddrBook");
      *lppAdrBook = NewAddressBook(profile_.address_book);
      return S_OK;
    });
  }

  HRESULT OpenProfileSection(const MAPIUID*, LPCIID, ULONG, IUnknown**) override { return MAPI_E_NO_SUPPORT; }
  HRESULT GetStatusTable(ULONG, LPMAPITABLE*) override { return MAPI_E_NO_SUPPORT; }

  HRESULT OpenEntry(ULONG cbEntryID, LPENTRYID lpEntryID, LPCIID lpInterface, ULONG ulFlags, ULONG* lpulObjType,
                    LPUNKNOWN* lppUnk) override {
    return Guarded(error_, [&] {
      Require(lpulObjType != nullptr && lppUnk != nullptr, MAPI_E_INVALID_PARAMETER, "Missing out-parameters");
      *lppUnk = nullptr;
      const std::optional<TEntryId> id = DecodeEntryId(EntryIdBytes(cbEntryID, lpEntryID));
      Require(id.has_value() && id->kind != TEntryKind::OneOff, MAPI_E_UNKNOWN_ENTRYID,
              "Not an entry identifier of this profile");
      // The session reaches every store with full access.
      return OpenStoreEntry(Core(id->store), true, *id, lpInterface, ulFlags, lpulObjType, lppUnk);
    });
  }

  HRESULT CompareEntryIDs(ULONG cbEntryID1, LPENTRYID lpEntryID1, ULONG cbEntryID2, LPENTRYID lpEntryID2,
                          ULONG ulFlags, ULONG* lpulResult) override {
    return Guarded(error_, [&] {
      return CompareEntryIds(cbEntryID1, lpEntryID1, cbEntryID2, lpEntryID2, lpulResult,
                             "Not entry identifiers of this profile");
    });
  }

  HRESULT Advise(ULONG cbEntryID, LPENTRYID lpEntryID, ULONG ulEventMask, LPMAPIADVISESINK lpAdviseSink,
                 ULONG* lpulConnection) override {
    return Guarded(error_, [&] {
      Require(lpAdviseSink != nullptr && lpulConnection != nullptr, MAPI_E_INVALID_PARAMETER, "No sink");
      TAdvise advise;
      if (cbEntryID == 0) {
        // Session-wide events (critical errors): none ever happen here.
        lpAdviseSink->AddRef();
        advise.sink = lpAdviseSink;
      } else {
        const std::optional<TEntryId> id = DecodeEntryId(EntryIdBytes(cbEntryID, lpEntryID));
        Require(id.has_value() && id->kind != TEntryKind::OneOff, MAPI_E_UNKNOWN_ENTRYID,
                "Not an entry identifier of this profile");
        TComRef<IMsgStore> store(NewMsgStore(Core(id->store), true));
        const HRESULT result =
            store->Advise(cbEntryID, lpEntryID, ulEventMask, lpAdviseSink, &advise.store_connection);
        if (FAILED(result)) return result;
        advise.store = std::move(store);
      }
      std::lock_guard lock(mutex_);
      const ULONG connection = next_connection_++;
      advises_[connection] = std::move(advise);
      *lpulConnection = connection;
      return S_OK;
    });
  }

  HRESULT Unadvise(ULONG ulConnection) override {
    TAdvise advise;
    {
      std::lock_guard lock(mutex_);
      auto it = advises_.find(ulConnection);
      if (it == advises_.end()) return MAPI_E_NOT_FOUND;
      advise = std::move(it->second);
      advises_.erase(it);
    }
    if (advise.store) {
      advise.store->Unadvise(advise.store_connection);
    } else if (advise.sink) {
      advise.sink->Release();
    }
    return S_OK;
  }

  HRESULT MessageOptions(ULONG_PTR, ULONG, LPTSTR, LPMESSAGE) override { return MAPI_E_NO_SUPPORT; }
  HRESULT QueryDefaultMessageOpt(LPTSTR, ULONG, ULONG*, LPSPropValue*) override { return MAPI_E_NO_SUPPORT; }
  HRESULT EnumAdrTypes(ULONG, ULONG*, LPTSTR**) override { return MAPI_E_NO_SUPPORT; }
  HRESULT QueryIdentity(ULONG*, LPENTRYID*) override { return MAPI_E_NO_SUPPORT; }
  HRESULT Logoff(ULONG_PTR, ULONG, ULONG) override { return S_OK; }
  HRESULT SetDefaultStore(ULONG, ULONG, LPENTRYID) override { return MAPI_E_NO_SUPPORT; }
  HRESULT AdminServices(ULONG, IUnknown**) override { return MAPI_E_NO_SUPPORT; }
  HRESULT ShowForm(ULONG_PTR, LPMDB, LPMAPIFOLDER, LPCIID, ULONG, LPMESSAGE, ULONG, ULONG, ULONG, ULONG,
                   LPSTR) override {
    return MAPI_E_NO_SUPPORT;
  }
  HRESULT PrepareForm(LPCIID, LPMESSAGE, ULONG*) override { return MAPI_E_NO_SUPPORT; }

 private:
  struct TAdvise {
    TComRef<IMsgStore> store;  // with the store's own connection
    ULONG store_connection = 0;
    IMAPIAdviseSink* sink = nullptr;  // session-wide: one reference
  };

  std::shared_ptr<TStoreCore> Core(const GUID& uid) {
    std::lock_guard lock(mutex_);
    const std::string key = GuidBytes(uid);
    auto it = cores_.find(key);
    if (it != cores_.end()) return it->second;
    for (const TStoreConfig& store : profile_.stores) {
      if (IsEqualGUID(store.uid, uid)) {
        auto core = std::make_shared<TStoreCore>(store, files_);
        cores_[key] = core;
        return core;
      }
    }
    throw EMapiError(MAPI_E_UNKNOWN_ENTRYID, "No store of this profile has that identifier");
  }

  TProfile profile_;
  std::shared_ptr<TMailFiles> files_;
  std::mutex mutex_;
  std::map<std::string, std::shared_ptr<TStoreCore>> cores_;
  std::map<ULONG, TAdvise> advises_;
  ULONG next_connection_ = 1;
};

}  // namespace

IMAPISession* NewSession(TProfile profile, std::shared_ptr<TMailFiles> files) {
  return new TSession(std::move(profile), std::move(files));
}

}  // namespace corvid::mapi
