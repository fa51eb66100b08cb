#include "client/callback.h"

#include <cstring>

#include "platform/win/menus.h"

namespace corvid::client {
using namespace mapi;
using exchange::IID_IExchExtCallback;

std::atomic<int> TClientCallback::live_{0};

TClientCallback::TClientCallback(ULONG context, IMAPISession* session, win::HWND window)
    : context_(context), session_(session), window_(window) {
  if (session_ != nullptr) session_->AddRef();
  ++live_;
}

TClientCallback::~TClientCallback() {
  SetObject(nullptr, nullptr);
  if (session_ != nullptr) session_->Release();
  --live_;
}

void TClientCallback::SetObject(IMsgStore* store, IMAPIProp* object) {
  if (store != nullptr) store->AddRef();
  if (object != nullptr) object->AddRef();
  if (store_ != nullptr) store_->Release();
  if (object_ != nullptr) object_->Release();
  store_ = store;
  object_ = object;
}

HRESULT TClientCallback::QueryInterface(REFIID riid, void** ppvObject) {
  if (ppvObject == nullptr) return E_INVALIDARG;
  if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IExchExtCallback)) {
    *ppvObject = static_cast<exchange::IExchExtCallback*>(this);
    AddRef();
    return S_OK;
  }
  *ppvObject = nullptr;
  return E_NOINTERFACE;
}

ULONG TClientCallback::AddRef() { return ++references_; }

ULONG TClientCallback::Release() {
  const ULONG left = --references_;
  if (left == 0) delete this;
  return left;
}

HRESULT TClientCallback::GetVersion(ULONG* lpulVersion, ULONG ulFlags) {
  if (lpulVersion == nullptr) return E_INVALIDARG;
  *lpulVersion = kClientBuildVersion;
  return S_OK;
}

HRESULT TClientCallback::GetWindow(win::HWND* lphwnd) {
  if (lphwnd == nullptr) return E_INVALIDARG;
  *lphwnd = window_;
  return window_ != nullptr ? S_OK : E_FAIL;
}

HRESULT TClientCallback::GetMenu(win::HMENU* lphmenu) {
  if (lphmenu == nullptr) return E_INVALIDARG;
  *lphmenu = menu_;
  return menu_ != nullptr ? S_OK : E_FAIL;
}

HRESULT TClientCallback::GetToolbar(ULONG, win::HWND* lphwndTb) {
  if (lphwndTb != nullptr) *lphwndTb = nullptr;
  return E_NOTIMPL;
}

HRESULT TClientCallback::GetSession(LPMAPISESSION* lppses, LPADRBOOK* lppab) {
  if (lppses != nullptr) *lppses = nullptr;
  if (lppab != nullptr) *lppab = nullptr;
  if (session_ == nullptr) return E_FAIL;
  if (lppab != nullptr) {
    const HRESULT result = session_->OpenAddressBook(0, nullptr, 0, lppab);
    if (FAILED(result)) return result;
  }
  if (lppses != nullptr) {
    session_->AddRef();
    *lppses = session_;
  }
  return S_OK;
}

HRESULT TClientCallback::GetObject(LPMDB* lppmdb, LPMAPIPROP* lppmp) {
  if (lppmdb != nullptr) *lppmdb = nullptr;
  if (lppmp != nullptr) *lppmp = nullptr;
  if (store_ == nullptr && object_ == nullptr) return E_FAIL;
  if (lppmdb != nullptr && store_ != nullptr) {
    store_->AddRef();
    *lppmdb = store_;
  }
  if (lppmp != nullptr && object_ != nullptr) {
    object_->AddRef();
    *lppmp = object_;
  }
  return S_OK;
}

HRESULT TClientCallback::GetSelectionCount(ULONG* lpceid) {
  if (lpceid == nullptr) return E_INVALIDARG;
  *lpceid = static_cast<ULONG>(selection_.size());
  return context_ == exchange::EECONTEXT_VIEWER ? S_OK : E_FAIL;
}

HRESULT TClientCallback::GetSelectionItem(ULONG ieid, ULONG* lpcbEid, LPENTRYID* lppeid, ULONG* lpulType, LPTSTR,
                                          ULONG, ULONG*, ULONG) {
  if (lpcbEid != nullptr) *lpcbEid = 0;
  if (lppeid != nullptr) *lppeid = nullptr;
  if (ieid >= selection_.size() || allocate_ == nullptr) return MAPI_E_NOT_FOUND;
  const TSelectionItem& item = selection_[ieid];
  if (lppeid != nullptr) {
    void* copy = nullptr;
    if (FAILED(allocate_(static_cast<ULONG>(item.entry_id.size()), &copy)) || copy == nullptr) {
      return MAPI_E_NOT_ENOUGH_MEMORY;
    }
    std::memcpy(copy, item.entry_id.data(), item.entry_id.size());
    *lppeid = static_cast<LPENTRYID>(copy);
  }
  if (lpcbEid != nullptr) *lpcbEid = static_cast<ULONG>(item.entry_id.size());
  if (lpulType != nullptr) *lpulType = item.type;
  return S_OK;
}

// The position of `cmdid` in the menu bar's pop-up that holds it.
HRESULT TClientCallback::GetMenuPos(ULONG cmdid, win::HMENU* lphmenu, ULONG* lpmposMin, ULONG* lpmposMax, ULONG) {
  if (lphmenu != nullptr) *lphmenu = nullptr;
  if (menu_ == nullptr) return E_FAIL;
  for (int top = 0; top < win::GetMenuItemCount(menu_); ++top) {
    const win::HMENU popup = win::GetSubMenu(menu_, top);
    if (popup == nullptr) continue;
    for (int position = 0; position < win::GetMenuItemCount(popup); ++position) {
      if (win::GetMenuItemID(popup, position) != static_cast<int>(cmdid)) continue;
      if (lphmenu != nullptr) *lphmenu = popup;
      if (lpmposMin != nullptr) *lpmposMin = static_cast<ULONG>(position);
      if (lpmposMax != nullptr) *lpmposMax = static_cast<ULONG>(position);
      return S_OK;
    }
  }
  return MAPI_E_NOT_FOUND;
}

HRESULT TClientCallback::GetSharedExtsDir(LPTSTR, ULONG, ULONG) { return E_NOTIMPL; }
HRESULT TClientCallback::GetRecipients(LPADRLIST* lppal) {
  if (lppal != nullptr) *lppal = nullptr;
  return MAPI_E_NO_SUPPORT;
}
HRESULT TClientCallback::SetRecipients(LPADRLIST) { return MAPI_E_NO_SUPPORT; }
HRESULT TClientCallback::GetNewMessageSite(ULONG, LPMAPIFOLDER, exchange::IPersistMessage*, LPMESSAGE* ppmsg,
                                           exchange::IMAPIMessageSite**, exchange::IMAPIViewContext**, ULONG) {
  if (ppmsg != nullptr) *ppmsg = nullptr;
  return MAPI_E_NO_SUPPORT;
}
HRESULT TClientCallback::RegisterModeless(exchange::IExchExtModeless*, exchange::IExchExtModelessCallback** ppeemcb) {
  if (ppeemcb != nullptr) *ppeemcb = nullptr;
  return E_NOTIMPL;
}
HRESULT TClientCallback::ChooseFolder(win::HWND, LPTSTR, LPMDB* ppmdb, LPMAPIFOLDER* ppfld) {
  if (ppmdb != nullptr) *ppmdb = nullptr;
  if (ppfld != nullptr) *ppfld = nullptr;
  return E_NOTIMPL;
}

}  // namespace corvid::client
