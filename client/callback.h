// The client's side of one context (IExchExtCallback): what an extension
// asks the client about the session, the window, and the store and object
// (folder or message) the context works on.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "platform/exchange/exchange_interfaces.h"
#include "platform/mapi/mapi32.h"

namespace corvid::client {

class TClientCallback final : public exchange::IExchExtCallback {
 public:
  // `session` may be null (no store then); it is referenced while the
  // callback lives. Starts with one reference for the creator.
  TClientCallback(mapi::ULONG context, mapi::IMAPISession* session, win::HWND window);

  mapi::ULONG Context() const { return context_; }
  // What GetObject answers from now on; either may be null. References are
  // taken; the previous ones are given back.
  void SetObject(mapi::IMsgStore* store, mapi::IMAPIProp* object);

  // The explorer's menu bar, for GetMenu and GetMenuPos (not owned).
  void SetMenu(win::HMENU menu) { menu_ = menu; }
  // What the explorer shows selected: entry identifiers and object types
  // (MAPI_MESSAGE, MAPI_FOLDER); identifiers are handed out in memory from
  // `allocate`, which the extension frees with MAPIFreeBuffer.
  struct TSelectionItem {
    std::string entry_id;
    mapi::ULONG type;
  };
  void SetSelection(std::vector<TSelectionItem> items, mapi::LPALLOCATEBUFFER allocate) {
    selection_ = std::move(items);
    allocate_ = allocate;
  }

  // Callbacks alive in the process (tests check that every one is freed).
  static int LiveCount() { return live_.load(); }

  mapi::HRESULT QueryInterface(mapi::REFIID riid, void** ppvObject) override;
  mapi::ULONG AddRef() override;
  mapi::ULONG Release() override;

  mapi::HRESULT GetVersion(mapi::ULONG* lpulVersion, mapi::ULONG ulFlags) override;
  mapi::HRESULT GetWindow(win::HWND* lphwnd) override;
  mapi::HRESULT GetMenu(win::HMENU* lphmenu) override;
  mapi::HRESULT GetToolbar(mapi::ULONG tbid, win::HWND* lphwndTb) override;
  mapi::HRESULT GetSession(mapi::LPMAPISESSION* lppses, mapi::LPADRBOOK* lppab) override;
  mapi::HRESULT GetObject(mapi::LPMDB* lppmdb, mapi::LPMAPIPROP* lppmp) override;
  mapi::HRESULT GetSelectionCount(mapi::ULONG* lpceid) override;
  mapi::HRESULT GetSelectionItem(mapi::ULONG ieid, mapi::ULONG* lpcbEid, mapi::LPENTRYID* lppeid,
                                 mapi::ULONG* lpulType, mapi::LPTSTR lpszMsgClass, mapi::ULONG cbMsgClass,
                                 mapi::ULONG* lpulMsgFlags, mapi::ULONG ulFlags) override;
  mapi::HRESULT GetMenuPos(mapi::ULONG cmdid, win::HMENU* lphmenu, mapi::ULONG* lpmposMin, mapi::ULONG* lpmposMax,
                           mapi::ULONG ulFlags) override;
  mapi::HRESULT GetSharedExtsDir(mapi::LPTSTR lpszDir, mapi::ULONG cchDir, mapi::ULONG ulFlags) override;
  mapi::HRESULT GetRecipients(mapi::LPADRLIST* lppal) override;
  mapi::HRESULT SetRecipients(mapi::LPADRLIST lpal) override;
  mapi::HRESULT GetNewMessageSite(mapi::ULONG fComposeInFolder, mapi::LPMAPIFOLDER pfldFocus,
                                  exchange::IPersistMessage* ppermsg, mapi::LPMESSAGE* ppmsg,
                                  exchange::IMAPIMessageSite** ppmms, exchange::IMAPIViewContext** ppmvc,
                                  mapi::ULONG ulFlags) override;
  mapi::HRESULT RegisterModeless(exchange::IExchExtModeless* peem,
                                 exchange::IExchExtModelessCallback** ppeemcb) override;
  mapi::HRESULT ChooseFolder(win::HWND hwnd, mapi::LPTSTR lpszCaption, mapi::LPMDB* ppmdb,
                             mapi::LPMAPIFOLDER* ppfld) override;

 private:
  ~TClientCallback();

  static std::atomic<int> live_;
  std::atomic<mapi::ULONG> references_{1};
  mapi::ULONG context_;
  mapi::IMAPISession* session_;
  win::HWND window_;
  mapi::IMsgStore* store_ = nullptr;
  mapi::IMAPIProp* object_ = nullptr;
  win::HMENU menu_ = nullptr;
  std::vector<TSelectionItem> selection_;
  mapi::LPALLOCATEBUFFER allocate_ = nullptr;
};

// The version GetVersion reports for EECBGV_GETBUILDVERSION: major build
// in the high word.
inline constexpr mapi::ULONG kClientBuildVersion = 0x00010000;

}  // namespace corvid::client
