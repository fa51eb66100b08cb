#include "client/mapi_session.h"

#include <strings.h>

#include <cstdio>
#include <stdexcept>

#include "platform/mapi/error_text.h"
#include "platform/win/module.h"

namespace corvid::client {
using namespace mapi;

namespace {

void Check(HRESULT result, const std::string& what) {
  if (FAILED(result)) throw std::runtime_error(what + ": " + ErrorText(result));
}

template <typename F>
F Bind(win::HMODULE library, const char* name) {
  auto procedure = reinterpret_cast<F>(win::GetProcAddress(library, name));
  if (procedure == nullptr) throw std::runtime_error(std::string(kMapi32LibraryName) + " has no " + name);
  return procedure;
}

}  // namespace

TMapiSession::TMapiSession() {
  library_ = win::LoadLibrary(kMapi32LibraryName);
  if (library_ == nullptr) {
    throw std::runtime_error(std::string("Cannot load ") + kMapi32LibraryName + ": " + win::LoaderError());
  }
  try {
    initialize_ = Bind<LPMAPIINITIALIZE>(library_, "MAPIInitialize");
    uninitialize_ = Bind<LPMAPIUNINITIALIZE>(library_, "MAPIUninitialize");
    logon_ = Bind<LPMAPILOGONEX>(library_, "MAPILogonEx");
    free_buffer_ = Bind<LPFREEBUFFER>(library_, "MAPIFreeBuffer");
    allocate_buffer_ = Bind<LPALLOCATEBUFFER>(library_, "MAPIAllocateBuffer");
    query_all_rows_ = Bind<LPHRQUERYALLROWS>(library_, "HrQueryAllRows");
    free_rows_ = Bind<LPFREEPROWS>(library_, "FreeProws");
    Check(initialize_(nullptr), "Cannot start MAPI");
    initialized_ = true;
    Check(logon_(0, nullptr, nullptr, MAPI_EXTENDED | MAPI_NO_MAIL, &session_), "Cannot open the mail profile");
  } catch (...) {
    if (initialized_) uninitialize_();
    win::FreeLibrary(library_);
    throw;
  }
}

TMapiSession::~TMapiSession() {
  if (session_ != nullptr) {
    session_->Logoff(0, 0, 0);
    session_->Release();
  }
  if (initialized_) uninitialize_();
  win::FreeLibrary(library_);
}

IMsgStore* TMapiSession::OpenDefaultStore() {
  TRef<IMAPITable> table;
  Check(session_->GetMsgStoresTable(0, table.out()), "Cannot list the message stores");
  SizedSPropTagArray<2> columns = {2, {PR_ENTRYID, PR_DEFAULT_STORE}};
  LPSRowSet rows = nullptr;
  Check(QueryAllRows(table.get(), columns.get(), &rows), "Cannot list the message stores");
  std::string entry;
  for (ULONG i = 0; i < rows->cRows; ++i) {
    const SPropValue* values = rows->aRow[i].lpProps;
    if (PROP_TYPE(values[1].ulPropTag) == PT_BOOLEAN && values[1].Value.b != 0) {
      entry.assign(reinterpret_cast<const char*>(values[0].Value.bin.lpb), values[0].Value.bin.cb);
    }
  }
  FreeRows(rows);
  if (entry.empty()) throw std::runtime_error("The profile has no default message store");
  IMsgStore* store = nullptr;
  Check(session_->OpenMsgStore(0, static_cast<ULONG>(entry.size()), reinterpret_cast<LPENTRYID>(entry.data()),
                               nullptr, MDB_WRITE, &store),
        "Cannot open the default message store");
  return store;
}

IMAPIFolder* TMapiSession::OpenFolder(IMsgStore* store, const std::string& name) {
  TRef<IUnknown> root;
  ULONG type = 0;
  Check(store->OpenEntry(0, nullptr, &IID_IMAPIFolder, MAPI_MODIFY, &type, root.out()),
        "Cannot open the store's folders");
  TRef<IMAPITable> table;
  Check(static_cast<IMAPIFolder*>(root.get())->GetHierarchyTable(0, table.out()), "Cannot list the folders");
  SizedSPropTagArray<2> columns = {2, {PR_ENTRYID, PR_DISPLAY_NAME}};
  LPSRowSet rows = nullptr;
  Check(QueryAllRows(table.get(), columns.get(), &rows), "Cannot list the folders");
  std::string entry;
  for (ULONG i = 0; i < rows->cRows && entry.empty(); ++i) {
    const SPropValue* values = rows->aRow[i].lpProps;
    if (PROP_TYPE(values[1].ulPropTag) == PT_STRING8 && strcasecmp(values[1].Value.lpszA, name.c_str()) == 0) {
      entry.assign(reinterpret_cast<const char*>(values[0].Value.bin.lpb), values[0].Value.bin.cb);
    }
  }
  FreeRows(rows);
  if (entry.empty()) throw std::runtime_error("The default store has no folder named " + name);
  IUnknown* folder = nullptr;
  Check(store->OpenEntry(static_cast<ULONG>(entry.size()), reinterpret_cast<LPENTRYID>(entry.data()),
                         &IID_IMAPIFolder, MAPI_MODIFY, &type, &folder),
        "Cannot open the folder " + name);
  return static_cast<IMAPIFolder*>(folder);
}

IMessage* TMapiSession::OpenMessage(const std::string& entry_id, bool modify) {
  std::string bytes = entry_id;
  IUnknown* object = nullptr;
  ULONG type = 0;
  Check(session_->OpenEntry(static_cast<ULONG>(bytes.size()), reinterpret_cast<LPENTRYID>(bytes.data()),
                            &IID_IMessage, modify ? MAPI_MODIFY : 0, &type, &object),
        "Cannot open the message");
  return static_cast<IMessage*>(object);
}

}  // namespace corvid::client
