// The procedures of MAPI32.DLL that the system binds by name, with their
// documented signatures, and the list of those names.
//
// The stand-in library (dist/MAPI32.DLL, an ELF shared object that keeps the
// Windows file name) exports exactly these 31 procedures with C linkage,
// undecorated: x86-64 has no stdcall size decoration, as on 64-bit Windows.
// Eleven work: MAPILogonEx (the session of the machine root's profile),
// MAPIInitialize, MAPIUninitialize, MAPIAllocateBuffer, MAPIAllocateMore,
// MAPIFreeBuffer, HrQueryAllRows, FreeProws, FreePadrlist, HrGetOneProp and
// HrSetOneProp. The other twenty answer MAPI_E_NO_SUPPORT.
//
// Code that links platform/mapi directly (tests, tools) calls the same
// functions; code that loads the library at run time takes the pointer types
// below for dlsym's results.
#pragma once

#include "platform/mapi/mapi_interfaces.h"

namespace corvid::mapi {

inline constexpr const char kMapi32LibraryName[] = "MAPI32.DLL";

inline constexpr int kMapi32ProcedureCount = 31;
// Every name the binding looks up, the working ones first.
inline constexpr const char* kMapi32ProcedureNames[kMapi32ProcedureCount] = {
    "MAPILogonEx",          "MAPIInitialize",        "MAPIUninitialize",       "MAPIAllocateBuffer",
    "MAPIAllocateMore",     "MAPIFreeBuffer",        "HrQueryAllRows",         "FreeProws",
    "FreePadrlist",         "HrGetOneProp",          "HrSetOneProp",           "MAPIAdminProfiles",
    "MAPIOpenFormMgr",      "MAPIOpenLocalFormContainer", "OpenTnefStreamEx",  "WrapCompressedRTFStream",
    "RTFSync",              "HrThisThreadAdviseSink", "HrAllocAdviseSink",     "HrDispatchNotifications",
    "OpenStreamOnFile",     "HrIStorageFromStream",  "PropCopyMore",           "ScDupPropset",
    "ScCountProps",         "ScCopyProps",           "ScRelocProps",           "ScInitMapiUtil",
    "HrComposeEID",         "HrDecomposeEID",        "HrAddColumns",
};
inline constexpr int kMapi32WorkingProcedureCount = 11;

using LPALLOCATEBUFFER = SCODE (*)(ULONG cbSize, LPVOID* lppBuffer);
using LPALLOCATEMORE = SCODE (*)(ULONG cbSize, LPVOID lpObject, LPVOID* lppBuffer);
using LPFREEBUFFER = ULONG (*)(LPVOID lpBuffer);
using LPNOTIFCALLBACK = LONG (*)(LPVOID lpvContext, ULONG cNotification, LPNOTIFICATION lpNotifications);

extern "C" {

// Opens the profile of the machine root (CORVID_HOME; made with its default
// store on first use). lpszProfileName null, empty or the profile's name;
// another name gives MAPI_E_LOGON_FAILED. Needs MAPIInitialize first
// (MAPI_E_NOT_INITIALIZED). No password, no dialog.
HRESULT MAPILogonEx(ULONG_PTR ulUIParam, LPTSTR lpszProfileName, LPTSTR lpszPassword, ULONG flFlags,
                    LPMAPISESSION* lppSession);
// Counted per process; lpMapiInit may be null or point to a MAPIINIT_0.
HRESULT MAPIInitialize(LPVOID lpMapiInit);
void MAPIUninitialize();

// A block that MAPIFreeBuffer frees together with every block that
// MAPIAllocateMore hung on it. Blocks are zero-filled and aligned for any
// record. Thread-safe.
SCODE MAPIAllocateBuffer(ULONG cbSize, LPVOID* lppBuffer);
// lpObject: a block from MAPIAllocateBuffer (or one hung on it).
SCODE MAPIAllocateMore(ULONG cbSize, LPVOID lpObject, LPVOID* lppBuffer);
// Null is allowed. A block of MAPIAllocateMore, or one already freed, is
// refused (MAPI_E_INVALID_PARAMETER) by the mark in its header; as in MAPI, a
// pointer from anywhere else must not be passed. The mark, not a table of
// this copy's blocks, decides, because a process may hold two copies of
// these procedures (the library and a program linking the store) that free
// each other's blocks.
ULONG MAPIFreeBuffer(LPVOID lpBuffer);

// SetColumns, Restrict, SortTable, then every row from the beginning.
// crowsMax > 0 answers MAPI_E_TABLE_TOO_BIG when there are more rows.
HRESULT HrQueryAllRows(LPMAPITABLE lpTable, LPSPropTagArray lpPropTags, LPSRestriction lpRestriction,
                       LPSSortOrderSet lpSortOrderSet, LONG crowsMax, LPSRowSet* lppRows);
// Frees each row's property array, then the row set. Null is allowed.
void FreeProws(LPSRowSet lpRows);
// Frees each entry's property array, then the list. Null is allowed.
void FreePadrlist(LPADRLIST lpAdrlist);
// The property as one MAPIAllocateBuffer block; a missing one answers its
// error (MAPI_E_NOT_FOUND) and *lppProp null.
HRESULT HrGetOneProp(LPMAPIPROP lpMapiProp, ULONG ulPropTag, LPSPropValue* lppProp);
// SetProps with one value; a problem reported for it becomes the result.
HRESULT HrSetOneProp(LPMAPIPROP lpMapiProp, LPSPropValue lpProp);

// Bound by the system, never called: MAPI_E_NO_SUPPORT.
HRESULT MAPIAdminProfiles(ULONG ulFlags, LPUNKNOWN* lppProfAdmin);
HRESULT MAPIOpenFormMgr(LPMAPISESSION pSession, LPUNKNOWN* ppmgr);
HRESULT MAPIOpenLocalFormContainer(LPUNKNOWN* ppfcnt);
HRESULT OpenTnefStreamEx(LPVOID lpvSupport, LPSTREAM lpStream, LPTSTR lpszStreamName, ULONG ulFlags,
                         LPMESSAGE lpMessage, USHORT wKeyVal, LPADRBOOK lpAdressBook, LPUNKNOWN* lppTNEF);
HRESULT WrapCompressedRTFStream(LPSTREAM lpCompressedRTFStream, ULONG ulFlags, LPSTREAM* lpUncompressedRTFStream);
HRESULT RTFSync(LPMESSAGE lpMessage, ULONG ulFlags, BOOL* lpfMessageUpdated);
HRESULT HrThisThreadAdviseSink(LPMAPIADVISESINK lpAdviseSink, LPMAPIADVISESINK* lppAdviseSink);
HRESULT HrAllocAdviseSink(LPNOTIFCALLBACK lpfnCallback, LPVOID lpvContext, LPMAPIADVISESINK* lppAdviseSink);
HRESULT HrDispatchNotifications(ULONG ulFlags);
HRESULT OpenStreamOnFile(LPALLOCATEBUFFER lpAllocateBuffer, LPFREEBUFFER lpFreeBuffer, ULONG ulFlags,
                         LPCSTR lpszFileName, LPCSTR lpszPrefix, LPSTREAM* lppStream);
HRESULT HrIStorageFromStream(LPUNKNOWN lpUnkIn, LPCIID lpInterface, ULONG ulFlags, LPUNKNOWN* lppStorageOut);
SCODE PropCopyMore(LPSPropValue lpSPropValueDest, LPSPropValue lpSPropValueSrc, LPALLOCATEMORE lpfAllocMore,
                   LPVOID lpvObject);
SCODE ScDupPropset(int cValues, LPSPropValue lpPropArray, LPALLOCATEBUFFER lpAllocateBuffer,
                   LPSPropValue* lppPropArray);
SCODE ScCountProps(int cValues, LPSPropValue lpPropArray, ULONG* lpcb);
SCODE ScCopyProps(int cValues, LPSPropValue lpPropArray, LPVOID lpvDst, ULONG* lpcb);
SCODE ScRelocProps(int cValues, LPSPropValue lpPropArray, LPVOID pvBaseOld, LPVOID pvBaseNew, ULONG* lpcb);
SCODE ScInitMapiUtil(ULONG ulFlags);
HRESULT HrComposeEID(LPMAPISESSION lpSession, ULONG cbStoreRecordKey, LPBYTE lpStoreRecordKey, ULONG cbMsgEID,
                     LPENTRYID lpMsgEID, ULONG* lpcbEID, LPENTRYID* lppEID);
HRESULT HrDecomposeEID(LPMAPISESSION lpSession, ULONG cbEntryID, LPENTRYID lpEntryID, ULONG* lpcbStoreEntryID,
                       LPENTRYID* lppStoreEntryID, ULONG* lpcbMsgEntryID, LPENTRYID* lppMsgEntryID);
HRESULT HrAddColumns(LPMAPITABLE lptbl, LPSPropTagArray lpproptagColumnsNew, LPALLOCATEBUFFER lpAllocateBuffer,
                     LPFREEBUFFER lpFreeBuffer);

}  // extern "C"

// Pointer types of the working procedures, for a run-time binding.
using LPMAPILOGONEX = decltype(&MAPILogonEx);
using LPMAPIINITIALIZE = decltype(&MAPIInitialize);
using LPMAPIUNINITIALIZE = decltype(&MAPIUninitialize);
using LPHRQUERYALLROWS = decltype(&HrQueryAllRows);
using LPFREEPROWS = decltype(&FreeProws);
using LPFREEPADRLIST = decltype(&FreePadrlist);
using LPHRGETONEPROP = decltype(&HrGetOneProp);
using LPHRSETONEPROP = decltype(&HrSetOneProp);

}  // namespace corvid::mapi
