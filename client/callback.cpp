#include "client/callback.h"

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
  if (lphmenu != nullptr) *lphmenu = nullptr;
  return E_NOTIMPL;
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

// The command line has no selection: a viewer shows none, other contexts
// have no such thing.
HRESULT TClientCallback::GetSelectionCount(ULONG* lpceid) {
  if (lpceid == nullptr) return E_INVALIDARG;
  *lpceid = 0;
  return context_ == exchange::EECONTEXT_VIEWER ? S_OK : E_FAIL;
}

HRESULT TClientCallback::GetSelectionItem(ULONG, ULONG* lpcbEid, LPENTRYID* lppeid, ULONG*, LPTSTR, ULONG, ULONG*,
                                          ULONG) {
  if (lpcbEid != nullptr) *lpcbEid = 0;
  if (lppeid != nullptr) *lppeid = nullptr;
  return MAPI_E_NOT_FOUND;
}

HRESULT TClientCallback::GetMenuPos(ULONG, win::HMENU* lphmenu, ULONG*, ULONG*, ULONG) {
  if (lphmenu != nullptr) *lphmenu = nullptr;
  return E_NOTIMPL;
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
