// A client's callback for tests: it reports a window and hands out a store
// and a message, as the client does in a viewer or a send-note context.
#pragma once

#include "platform/exchange/exchange_interfaces.h"

namespace corvid::core::test {

using namespace exchange;

class TTestCallback final : public IExchExtCallback {
 public:
  TTestCallback() = default;
  // Holds one reference to each, and hands out another with every GetObject.
  TTestCallback(mapi::LPMDB store, mapi::LPMAPIPROP object) : store_(store), object_(object) {
    if (store_ != nullptr) store_->AddRef();
    if (object_ != nullptr) object_->AddRef();
  }
  ~TTestCallback() {
    if (store_ != nullptr) store_->Release();
    if (object_ != nullptr) object_->Release();
  }
  TTestCallback(const TTestCallback&) = delete;
  TTestCallback& operator=(const TTestCallback&) = delete;

  HWND window = nullptr;
  HRESULT window_result = mapi::S_OK;

  HRESULT QueryInterface(mapi::REFIID, void** out) override {
    *out = nullptr;
    return mapi::E_NOINTERFACE;
  }
  ULONG AddRef() override { return 1; }
  ULONG Release() override { return 1; }

  HRESULT GetVersion(ULONG*, ULONG) override { return mapi::E_NOTIMPL; }
  HRESULT GetWindow(HWND* lphwnd) override {
    if (window_result == mapi::S_OK) *lphwnd = window;
    return window_result;
  }
  HRESULT GetMenu(HMENU*) override { return mapi::E_NOTIMPL; }
  HRESULT GetToolbar(ULONG, HWND*) override { return mapi::E_NOTIMPL; }
  // Hands out `session` (a reference for the caller) when one is set.
  HRESULT GetSession(LPMAPISESSION* lppses, LPADRBOOK* lppab) override {
    if (lppab != nullptr) *lppab = nullptr;
    if (session == nullptr) return mapi::E_NOTIMPL;
    session->AddRef();
    *lppses = session;
    return mapi::S_OK;
  }
  mapi::LPMAPISESSION session = nullptr;
  HRESULT GetObject(LPMDB* lppmdb, LPMAPIPROP* lppmp) override {
    if (object_ == nullptr) return mapi::E_FAIL;
    if (store_ != nullptr) store_->AddRef();
    object_->AddRef();
    *lppmdb = store_;
    *lppmp = object_;
    return mapi::S_OK;
  }
  HRESULT GetSelectionCount(ULONG*) override { return mapi::E_NOTIMPL; }
  HRESULT GetSelectionItem(ULONG, ULONG*, LPENTRYID*, ULONG*, LPTSTR, ULONG, ULONG*, ULONG) override {
    return mapi::E_NOTIMPL;
  }
  // With `menu` set: command 14 stands at `anchor_position` of it.
  HRESULT GetMenuPos(ULONG cmdid, HMENU* lphmenu, ULONG* lpmposMin, ULONG*, ULONG) override {
    if (menu == nullptr || cmdid != 14) return mapi::E_NOTIMPL;
    *lphmenu = menu;
    if (lpmposMin != nullptr) *lpmposMin = anchor_position;
    return mapi::S_OK;
  }
  HMENU menu = nullptr;
  ULONG anchor_position = 0;
  HRESULT GetSharedExtsDir(LPTSTR, ULONG, ULONG) override { return mapi::E_NOTIMPL; }
  HRESULT GetRecipients(LPADRLIST*) override { return mapi::E_NOTIMPL; }
  HRESULT SetRecipients(LPADRLIST) override { return mapi::E_NOTIMPL; }
  HRESULT GetNewMessageSite(ULONG, LPMAPIFOLDER, IPersistMessage*, LPMESSAGE*, IMAPIMessageSite**,
                            IMAPIViewContext**, ULONG) override {
    return mapi::E_NOTIMPL;
  }
  HRESULT RegisterModeless(IExchExtModeless*, IExchExtModelessCallback**) override { return mapi::E_NOTIMPL; }
  HRESULT ChooseFolder(HWND, LPTSTR, LPMDB*, LPMAPIFOLDER*) override { return mapi::E_NOTIMPL; }

 private:
  mapi::LPMDB store_ = nullptr;
  mapi::LPMAPIPROP object_ = nullptr;
};

}  // namespace corvid::core::test
