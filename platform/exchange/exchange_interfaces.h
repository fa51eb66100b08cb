// The mail client's extension interfaces, written from their public
// documentation: the interfaces an extension implements (IExchExt and the
// optional event, command and property-sheet interfaces), the callback the
// client hands to every call (IExchExtCallback), their identifiers, context
// numbers and flags, all with their published values and in their published
// method order.
//
// Header only. COM basics (IUnknown, HRESULT, GUID) and the MAPI interfaces
// come from platform/mapi; window types from platform/win.
//
// Rules of the interfaces, as published:
// - The client calls every method on its main (user-interface) thread.
// - An extension's methods answer S_OK for "done / take part" and S_FALSE
//   for "not handled / decline"; they never let an exception out.
// - Interface pointers the callback hands out carry a reference for the
//   caller (Release them); entry identifiers from GetSelectionItem are freed
//   with MAPIFreeBuffer; texts are the client's 8-bit texts (UTF-8 here)
//   unless EXCHEXT_UNICODE says otherwise.
// - Pointers are 64 bits wide here, so records holding them are larger than
//   on 32-bit Windows: size them with sizeof.
#pragma once

#include "platform/mapi/mapi_interfaces.h"
#include "platform/mapi/mapi_types.h"
#include "platform/win/win_types.h"

namespace corvid::exchange {

using mapi::BOOL;
using mapi::GUID;
using mapi::HRESULT;
using mapi::IID;
using mapi::IUnknown;
using mapi::LPADRBOOK;
using mapi::LPADRLIST;
using mapi::LPATTACH;
using mapi::LPENTRYID;
using mapi::LPMAPIFOLDER;
using mapi::LPMAPINAMEID;
using mapi::LPMAPIPROP;
using mapi::LPMAPISESSION;
using mapi::LPMDB;
using mapi::LPMESSAGE;
using mapi::LPSPropTagArray;
using mapi::LPSRestriction;
using mapi::LPTSTR;
using mapi::LPVOID;
using mapi::REFIID;
using mapi::SBinaryArray;
using mapi::UINT;
using mapi::ULONG;
using win::HMENU;
using win::HWND;
using win::LPPROPSHEETPAGE;
using win::MSG;
using win::TBBUTTON;

using ENTRYLIST = SBinaryArray;
using LPENTRYLIST = ENTRYLIST*;

// ---------------------------------------------------------------------------
// Identifiers.

#define CORVID_EXCHANGE_IID(d1) \
  GUID { d1, 0x0000, 0x0000, { 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46 } }

inline constexpr IID IID_IExchExtCallback = CORVID_EXCHANGE_IID(0x00020D10);
inline constexpr IID IID_IExchExt = CORVID_EXCHANGE_IID(0x00020D11);
inline constexpr IID IID_IExchExtCommands = CORVID_EXCHANGE_IID(0x00020D12);
inline constexpr IID IID_IExchExtUserEvents = CORVID_EXCHANGE_IID(0x00020D13);
inline constexpr IID IID_IExchExtSessionEvents = CORVID_EXCHANGE_IID(0x00020D14);
inline constexpr IID IID_IExchExtMessageEvents = CORVID_EXCHANGE_IID(0x00020D15);
inline constexpr IID IID_IExchExtAttachedFileEvents = CORVID_EXCHANGE_IID(0x00020D16);
inline constexpr IID IID_IExchExtPropertySheets = CORVID_EXCHANGE_IID(0x00020D17);
inline constexpr IID IID_IExchExtAdvancedCriteria = CORVID_EXCHANGE_IID(0x00020D18);

#undef CORVID_EXCHANGE_IID

// ---------------------------------------------------------------------------
// Contexts: the `context` of IExchExt::Install, and the digit positions of a
// registry entry's context map.

inline constexpr ULONG EECONTEXT_SESSION = 0x00000001;
inline constexpr ULONG EECONTEXT_VIEWER = 0x00000002;
inline constexpr ULONG EECONTEXT_REMOTEVIEWER = 0x00000003;
inline constexpr ULONG EECONTEXT_SEARCHVIEWER = 0x00000004;
inline constexpr ULONG EECONTEXT_ADDRBOOK = 0x00000005;
inline constexpr ULONG EECONTEXT_SENDNOTEMESSAGE = 0x00000006;
inline constexpr ULONG EECONTEXT_READNOTEMESSAGE = 0x00000007;
inline constexpr ULONG EECONTEXT_SENDPOSTMESSAGE = 0x00000008;
inline constexpr ULONG EECONTEXT_READPOSTMESSAGE = 0x00000009;
inline constexpr ULONG EECONTEXT_READREPORTMESSAGE = 0x0000000A;
inline constexpr ULONG EECONTEXT_SENDRESENDMESSAGE = 0x0000000B;
inline constexpr ULONG EECONTEXT_PROPERTYSHEETS = 0x0000000C;
inline constexpr ULONG EECONTEXT_ADVANCEDCRITERIA = 0x0000000D;
inline constexpr ULONG EECONTEXT_TASK = 0x0000000E;

// ---------------------------------------------------------------------------
// Flags.

// IExchExt::Install: the context is modal (a dialog of the client).
inline constexpr ULONG EE_MODAL = 0x00000001;
// Texts are UTF-16 instead of the client's 8-bit texts.
inline constexpr ULONG EXCHEXT_UNICODE = 0x80000000;

// IExchExtCallback::GetVersion.
inline constexpr ULONG EECBGV_GETBUILDVERSION = 0x00000001;
inline constexpr ULONG EECBGV_GETACTUALVERSION = 0x00000002;
inline constexpr ULONG EECBGV_GETVIRTUALVERSION = 0x00000004;
inline constexpr ULONG EECBGV_BUILDVERSION_MAJOR_MASK = 0xFFFF0000;
inline constexpr ULONG EECBGV_BUILDVERSION_MINOR_MASK = 0x0000FFFF;

// Toolbar identifiers (TBENTRY::tbid, GetToolbar).
inline constexpr ULONG EETBID_STANDARD = 0x00000001;

// IExchExtCommands::QueryHelpText.
inline constexpr ULONG EECQHT_STATUS = 0x00000001;
inline constexpr ULONG EECQHT_TOOLTIP = 0x00000002;

// The `flags` of the *Complete message events.
inline constexpr ULONG EEME_FAILED = 0x00000001;
inline constexpr ULONG EEME_COMPLETE_FAILED = 0x00000002;

// IExchExtPropertySheets: which sheet asks for pages.
inline constexpr ULONG EEPS_MESSAGE = 0x00000001;
inline constexpr ULONG EEPS_FOLDER = 0x00000002;
inline constexpr ULONG EEPS_STORE = 0x00000003;
inline constexpr ULONG EEPS_TOOLSOPTIONS = 0x00000004;

// One toolbar of the client's window, as InstallCommands receives it.
struct TBENTRY {
  HWND hwnd;
  ULONG tbid;
  ULONG ulFlags;
  UINT itbbBase;
};
using LPTBENTRY = TBENTRY*;

// ---------------------------------------------------------------------------
// Interfaces.

// Forms interfaces that GetNewMessageSite hands out; the system never uses
// them, so they stay incomplete.
class IPersistMessage;
class IMAPIMessageSite;
class IMAPIViewContext;

class IExchExtModeless;
class IExchExtModelessCallback;

// The client's side, handed to every call. Every method returns S_OK or an
// error; E_FAIL / E_NOTIMPL where the current context has no such thing
// (no menu in a send note, no selection outside a viewer).
class IExchExtCallback : public IUnknown {
 public:
  virtual HRESULT GetVersion(ULONG* lpulVersion, ULONG ulFlags) = 0;
  virtual HRESULT GetWindow(HWND* lphwnd) = 0;
  virtual HRESULT GetMenu(HMENU* lphmenu) = 0;
  virtual HRESULT GetToolbar(ULONG tbid, HWND* lphwndTb) = 0;
  // Either output may be null.
  virtual HRESULT GetSession(LPMAPISESSION* lppses, LPADRBOOK* lppab) = 0;
  // The store and the object (folder or message) of the context.
  virtual HRESULT GetObject(LPMDB* lppmdb, LPMAPIPROP* lppmp) = 0;
  virtual HRESULT GetSelectionCount(ULONG* lpceid) = 0;
  // Item `ieid` of the selection: its entry identifier (free with
  // MAPIFreeBuffer), object type, message class (into the caller's buffer)
  // and message flags. Outputs other than the identifier may be null.
  virtual HRESULT GetSelectionItem(ULONG ieid, ULONG* lpcbEid, LPENTRYID* lppeid, ULONG* lpulType,
                                   LPTSTR lpszMsgClass, ULONG cbMsgClass, ULONG* lpulMsgFlags, ULONG ulFlags) = 0;
  // The menu holding command `cmdid` and its position there.
  virtual HRESULT GetMenuPos(ULONG cmdid, HMENU* lphmenu, ULONG* lpmposMin, ULONG* lpmposMax, ULONG ulFlags) = 0;
  virtual HRESULT GetSharedExtsDir(LPTSTR lpszDir, ULONG cchDir, ULONG ulFlags) = 0;
  virtual HRESULT GetRecipients(LPADRLIST* lppal) = 0;
  virtual HRESULT SetRecipients(LPADRLIST lpal) = 0;
  virtual HRESULT GetNewMessageSite(ULONG fComposeInFolder, LPMAPIFOLDER pfldFocus, IPersistMessage* ppermsg,
                                    LPMESSAGE* ppmsg, IMAPIMessageSite** ppmms, IMAPIViewContext** ppmvc,
                                    ULONG ulFlags) = 0;
  virtual HRESULT RegisterModeless(IExchExtModeless* peem, IExchExtModelessCallback** ppeemcb) = 0;
  // Lets the user pick a folder; the store and folder come back referenced.
  virtual HRESULT ChooseFolder(HWND hwnd, LPTSTR lpszCaption, LPMDB* ppmdb, LPMAPIFOLDER* ppfld) = 0;

 protected:
  ~IExchExtCallback() = default;
};
using LPEXCHEXTCALLBACK = IExchExtCallback*;

// What the client asks of an extension in every context.
class IExchExt : public IUnknown {
 public:
  // S_OK to take part in the context, S_FALSE to decline it.
  virtual HRESULT Install(LPEXCHEXTCALLBACK lpeecb, ULONG mecontext, ULONG ulFlags) = 0;

 protected:
  ~IExchExt() = default;
};
using LPEXCHEXT = IExchExt*;

// The entry point a registry entry names: returns an IExchExt carrying one
// reference for the client.
using LPFNEXCHEXTENTRY = IExchExt* (*)();

class IExchExtCommands : public IUnknown {
 public:
  // `lpcmdidBase` is the first free command identifier; the extension
  // advances it past the identifiers it takes.
  virtual HRESULT InstallCommands(LPEXCHEXTCALLBACK lpeecb, HWND hwnd, HMENU hmenu, UINT* lpcmdidBase,
                                  LPTBENTRY lptbeArray, UINT ctbe, ULONG ulFlags) = 0;
  virtual void InitMenu(LPEXCHEXTCALLBACK lpeecb) = 0;
  virtual HRESULT DoCommand(LPEXCHEXTCALLBACK lpeecb, UINT cmdid) = 0;
  virtual HRESULT Help(LPEXCHEXTCALLBACK lpeecb, UINT cmdid) = 0;
  virtual HRESULT QueryHelpText(UINT cmdid, ULONG ulFlags, LPTSTR lpsz, UINT cch) = 0;
  virtual HRESULT QueryButtonInfo(ULONG tbid, UINT itbb, TBBUTTON* ptbb, LPTSTR lpsz, UINT cch, ULONG ulFlags) = 0;
  virtual HRESULT ResetToolbar(ULONG tbid, ULONG ulFlags) = 0;

 protected:
  ~IExchExtCommands() = default;
};

class IExchExtUserEvents : public IUnknown {
 public:
  virtual void OnSelectionChange(LPEXCHEXTCALLBACK lpeecb) = 0;
  virtual void OnObjectChange(LPEXCHEXTCALLBACK lpeecb) = 0;

 protected:
  ~IExchExtUserEvents() = default;
};

class IExchExtSessionEvents : public IUnknown {
 public:
  virtual HRESULT OnDelivery(LPEXCHEXTCALLBACK lpeecb) = 0;

 protected:
  ~IExchExtSessionEvents() = default;
};

class IExchExtMessageEvents : public IUnknown {
 public:
  virtual HRESULT OnRead(LPEXCHEXTCALLBACK lpeecb) = 0;
  virtual HRESULT OnReadComplete(LPEXCHEXTCALLBACK lpeecb, ULONG ulFlags) = 0;
  virtual HRESULT OnWrite(LPEXCHEXTCALLBACK lpeecb) = 0;
  virtual HRESULT OnWriteComplete(LPEXCHEXTCALLBACK lpeecb, ULONG ulFlags) = 0;
  virtual HRESULT OnCheckNames(LPEXCHEXTCALLBACK lpeecb) = 0;
  virtual HRESULT OnCheckNamesComplete(LPEXCHEXTCALLBACK lpeecb, ULONG ulFlags) = 0;
  virtual HRESULT OnSubmit(LPEXCHEXTCALLBACK lpeecb) = 0;
  virtual void OnSubmitComplete(LPEXCHEXTCALLBACK lpeecb, ULONG ulFlags) = 0;

 protected:
  ~IExchExtMessageEvents() = default;
};

class IExchExtAttachedFileEvents : public IUnknown {
 public:
  virtual HRESULT OnReadPattFromSzFile(LPATTACH lpatt, LPTSTR lpszFile, ULONG ulFlags) = 0;
  virtual HRESULT OnWritePattToSzFile(LPATTACH lpatt, LPTSTR lpszFile, ULONG ulFlags) = 0;
  virtual HRESULT QueryDisallowOpenPatt(LPATTACH lpatt) = 0;
  virtual HRESULT OnOpenPatt(LPATTACH lpatt) = 0;
  virtual HRESULT OnOpenSzFile(LPTSTR lpszFile, ULONG ulFlags) = 0;

 protected:
  ~IExchExtAttachedFileEvents() = default;
};

class IExchExtPropertySheets : public IUnknown {
 public:
  virtual ULONG GetMaxPageCount(ULONG ulFlags) = 0;
  // Fills up to the count GetMaxPageCount gave into `lppsp`, and the number
  // filled into `lpcpsp`.
  virtual HRESULT GetPages(LPEXCHEXTCALLBACK lpeecb, ULONG ulFlags, LPPROPSHEETPAGE lppsp, ULONG* lpcpsp) = 0;
  virtual void FreePages(LPPROPSHEETPAGE lppsp, ULONG ulFlags, ULONG cpsp) = 0;

 protected:
  ~IExchExtPropertySheets() = default;
};

class IExchExtAdvancedCriteria : public IUnknown {
 public:
  virtual HRESULT InstallAdvancedCriteria(HWND hwnd, LPSRestriction lpres, BOOL fNot, LPENTRYLIST lpeidl,
                                          ULONG ulFlags) = 0;
  virtual HRESULT DoDialog() = 0;
  virtual void Clear() = 0;
  virtual void SetFolders(LPENTRYLIST lpeidl, ULONG ulFlags) = 0;
  virtual HRESULT QueryRestriction(LPVOID lpvAllocBase, LPSRestriction* lppres, LPSPropTagArray* lppPropTags,
                                   LPMAPINAMEID** lpppPropNames, BOOL* lpfNot, LPTSTR lpszDesc, ULONG cchDesc,
                                   ULONG ulFlags) = 0;
  virtual void UninstallAdvancedCriteria() = 0;

 protected:
  ~IExchExtAdvancedCriteria() = default;
};

// A modeless window of an extension, and the client's side of it.
class IExchExtModeless : public IUnknown {
 public:
  virtual HRESULT TranslateAccelerator(MSG* pmsg) = 0;
  virtual HRESULT EnableModeless(HWND hwnd, BOOL fEnable) = 0;

 protected:
  ~IExchExtModeless() = default;
};

class IExchExtModelessCallback : public IUnknown {
 public:
  virtual HRESULT EnableModeless(HWND hwnd, BOOL fEnable) = 0;
  virtual HRESULT AddWindow() = 0;
  virtual HRESULT ReleaseWindow() = 0;

 protected:
  ~IExchExtModelessCallback() = default;
};

}  // namespace corvid::exchange
