// The client's MAPI session: MAPI32.DLL loaded by its Windows name (the one
// copy of the store in the process, which the extension binds too), the
// logon to the machine root's profile, and the few store lookups the
// commands need.
#pragma once

#include <string>

#include "platform/mapi/mapi32.h"
#include "platform/win/win_types.h"

namespace corvid::client {

// Releases a COM reference when it goes.
template <typename T>
class TRef {
 public:
  TRef() = default;
  explicit TRef(T* p) : p_(p) {}
  ~TRef() { Reset(); }
  TRef(const TRef&) = delete;
  TRef& operator=(const TRef&) = delete;
  void Reset(T* p = nullptr) {
    if (p_ != nullptr) p_->Release();
    p_ = p;
  }
  T* get() const { return p_; }
  T* operator->() const { return p_; }
  T** out() {
    Reset();
    return &p_;
  }
  template <typename U>
  U** out_as() {
    Reset();
    return reinterpret_cast<U**>(&p_);
  }

 private:
  T* p_ = nullptr;
};

class TMapiSession {
 public:
  // Raises std::runtime_error when the library, its procedures or the
  // logon fail.
  TMapiSession();
  ~TMapiSession();
  TMapiSession(const TMapiSession&) = delete;
  TMapiSession& operator=(const TMapiSession&) = delete;

  mapi::IMAPISession* Session() const { return session_; }
  // The default store, opened for writing; the caller releases it.
  mapi::IMsgStore* OpenDefaultStore();
  // A folder of `store` by display name (ignoring case); the caller
  // releases it.
  mapi::IMAPIFolder* OpenFolder(mapi::IMsgStore* store, const std::string& name);
  // A message by entry identifier; the caller releases it.
  mapi::IMessage* OpenMessage(const std::string& entry_id, bool modify);

  void FreeBuffer(void* buffer) const { free_buffer_(buffer); }
  // MAPI32.DLL's allocator: what the client hands to an extension, the
  // extension frees with MAPIFreeBuffer.
  mapi::LPALLOCATEBUFFER Allocator() const { return allocate_buffer_; }
  mapi::HRESULT QueryAllRows(mapi::IMAPITable* table, mapi::LPSPropTagArray columns, mapi::LPSRowSet* rows) const {
    return query_all_rows_(table, columns, nullptr, nullptr, 0, rows);
  }
  void FreeRows(mapi::LPSRowSet rows) const { free_rows_(rows); }

 private:
  win::HMODULE library_ = nullptr;
  mapi::LPMAPIINITIALIZE initialize_ = nullptr;
  mapi::LPMAPIUNINITIALIZE uninitialize_ = nullptr;
  mapi::LPMAPILOGONEX logon_ = nullptr;
  mapi::LPFREEBUFFER free_buffer_ = nullptr;
  mapi::LPALLOCATEBUFFER allocate_buffer_ = nullptr;
  mapi::LPHRQUERYALLROWS query_all_rows_ = nullptr;
  mapi::LPFREEPROWS free_rows_ = nullptr;
  bool initialized_ = false;
  mapi::IMAPISession* session_ = nullptr;
};

}  // namespace corvid::client
