// Extended MAPI's interfaces, written from MAPI's public documentation, in
// their documented method order and with their documented parameters.
//
// Header only, like mapi_types.h. Objects are reference counted as COM
// objects are: every method that hands out an interface pointer has added a
// reference for the caller, who gives it back with Release(). Nobody deletes
// an interface pointer (the destructors are protected for that reason).
//
// Memory that a method returns through a pointer argument (property arrays,
// tag arrays, entry identifiers, texts) comes from MAPIAllocateBuffer and is
// freed by the caller with MAPIFreeBuffer; row sets are freed with FreeProws
// and address lists with FreePadrlist (mapi32.h). Memory the caller passes in
// stays the caller's.
//
// Threads: an object may be used from any thread, one call at a time per
// object; stores and sessions also take calls from several threads at once.
// Advise sinks are called on a thread of the store's own (see IMsgStore).
#pragma once

#include "platform/mapi/mapi_types.h"

namespace corvid::mapi {

using win::IUnknown;
using win::LPUNKNOWN;

class IMAPIAdviseSink : public IUnknown {
 public:
  // The notifications are valid during the call only.
  virtual ULONG OnNotify(ULONG cNotif, LPNOTIFICATION lpNotifications) = 0;

 protected:
  ~IMAPIAdviseSink() = default;
};
using LPMAPIADVISESINK = IMAPIAdviseSink*;

class IMAPIProgress : public IUnknown {
 public:
  virtual HRESULT Progress(ULONG ulValue, ULONG ulCount, ULONG ulTotal) = 0;
  virtual HRESULT GetFlags(ULONG* lpulFlags) = 0;
  virtual HRESULT GetMax(ULONG* lpulMax) = 0;
  virtual HRESULT GetMin(ULONG* lpulMin) = 0;
  virtual HRESULT SetLimits(ULONG* lpulMin, ULONG* lpulMax, ULONG* lpulFlags) = 0;

 protected:
  ~IMAPIProgress() = default;
};
using LPMAPIPROGRESS = IMAPIProgress*;

class ISequentialStream : public IUnknown {
 public:
  // Reads up to cb bytes; fewer (down to 0) only at the end of the stream.
  virtual HRESULT Read(void* pv, ULONG cb, ULONG* pcbRead) = 0;
  virtual HRESULT Write(const void* pv, ULONG cb, ULONG* pcbWritten) = 0;

 protected:
  ~ISequentialStream() = default;
};

class IStream : public ISequentialStream {
 public:
  virtual HRESULT Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin, ULARGE_INTEGER* plibNewPosition) = 0;
  virtual HRESULT SetSize(ULARGE_INTEGER libNewSize) = 0;
  virtual HRESULT CopyTo(IStream* pstm, ULARGE_INTEGER cb, ULARGE_INTEGER* pcbRead, ULARGE_INTEGER* pcbWritten) = 0;
  virtual HRESULT Commit(DWORD grfCommitFlags) = 0;
  virtual HRESULT Revert() = 0;
  virtual HRESULT LockRegion(ULARGE_INTEGER libOffset, ULARGE_INTEGER cb, DWORD dwLockType) = 0;
  virtual HRESULT UnlockRegion(ULARGE_INTEGER libOffset, ULARGE_INTEGER cb, DWORD dwLockType) = 0;
  // pwcsName is not filled in; ask with STATFLAG_NONAME.
  virtual HRESULT Stat(STATSTG* pstatstg, DWORD grfStatFlag) = 0;
  virtual HRESULT Clone(IStream** ppstm) = 0;

 protected:
  ~IStream() = default;
};
using LPSTREAM = IStream*;

class IMAPITable : public IUnknown {
 public:
  virtual HRESULT GetLastError(HRESULT hResult, ULONG ulFlags, LPMAPIERROR* lppMAPIError) = 0;
  virtual HRESULT Advise(ULONG ulEventMask, LPMAPIADVISESINK lpAdviseSink, ULONG* lpulConnection) = 0;
  virtual HRESULT Unadvise(ULONG ulConnection) = 0;
  virtual HRESULT GetStatus(ULONG* lpulTableStatus, ULONG* lpulTableType) = 0;
  virtual HRESULT SetColumns(LPSPropTagArray lpPropTagArray, ULONG ulFlags) = 0;
  virtual HRESULT QueryColumns(ULONG ulFlags, LPSPropTagArray* lpPropTagArray) = 0;
  virtual HRESULT GetRowCount(ULONG ulFlags, ULONG* lpulCount) = 0;
  virtual HRESULT SeekRow(BOOKMARK bkOrigin, LONG lRowCount, LONG* lplRowsSought) = 0;
  virtual HRESULT SeekRowApprox(ULONG ulNumerator, ULONG ulDenominator) = 0;
  virtual HRESULT QueryPosition(ULONG* lpulRow, ULONG* lpulNumerator, ULONG* lpulDenominator) = 0;
  virtual HRESULT FindRow(LPSRestriction lpRestriction, BOOKMARK bkOrigin, ULONG ulFlags) = 0;
  virtual HRESULT Restrict(LPSRestriction lpRestriction, ULONG ulFlags) = 0;
  virtual HRESULT CreateBookmark(BOOKMARK* lpbkPosition) = 0;
  virtual HRESULT FreeBookmark(BOOKMARK bkPosition) = 0;
  virtual HRESULT SortTable(LPSSortOrderSet lpSortCriteria, ULONG ulFlags) = 0;
  virtual HRESULT QuerySortOrder(LPSSortOrderSet* lppSortCriteria) = 0;
  // Rows from the cursor on; lRowCount < 0 reads backwards. An empty row
  // set at the end. Free with FreeProws.
  virtual HRESULT QueryRows(LONG lRowCount, ULONG ulFlags, LPSRowSet* lppRows) = 0;
  virtual HRESULT Abort() = 0;
  virtual HRESULT ExpandRow(ULONG cbInstanceKey, LPBYTE pbInstanceKey, ULONG ulRowCount, ULONG ulFlags,
                            LPSRowSet* lppRows, ULONG* lpulMoreRows) = 0;
  virtual HRESULT CollapseRow(ULONG cbInstanceKey, LPBYTE pbInstanceKey, ULONG ulFlags, ULONG* lpulRowCount) = 0;
  virtual HRESULT WaitForCompletion(ULONG ulFlags, ULONG ulTimeout, ULONG* lpulTableStatus) = 0;
  virtual HRESULT GetCollapseState(ULONG ulFlags, ULONG cbInstanceKey, LPBYTE lpbInstanceKey,
                                   ULONG* lpcbCollapseState, LPBYTE* lppbCollapseState) = 0;
  virtual HRESULT SetCollapseState(ULONG ulFlags, ULONG cbCollapseState, LPBYTE pbCollapseState,
                                   BOOKMARK* lpbkLocation) = 0;

 protected:
  ~IMAPITable() = default;
};
using LPMAPITABLE = IMAPITable*;

class IMAPIProp : public IUnknown {
 public:
  virtual HRESULT GetLastError(HRESULT hResult, ULONG ulFlags, LPMAPIERROR* lppMAPIError) = 0;
  virtual HRESULT SaveChanges(ULONG ulFlags) = 0;
  // Missing properties come back as PT_ERROR values and the call answers
  // MAPI_W_ERRORS_RETURNED. lpPropTagArray null asks for every property.
  virtual HRESULT GetProps(LPSPropTagArray lpPropTagArray, ULONG ulFlags, ULONG* lpcValues,
                           LPSPropValue* lppPropArray) = 0;
  virtual HRESULT GetPropList(ULONG ulFlags, LPSPropTagArray* lppPropTagArray) = 0;
  virtual HRESULT OpenProperty(ULONG ulPropTag, LPCIID lpiid, ULONG ulInterfaceOptions, ULONG ulFlags,
                               LPUNKNOWN* lppUnk) = 0;
  // Properties that cannot be set are reported in *lppProblems (may be null
  // to ignore them), which the caller frees with MAPIFreeBuffer.
  virtual HRESULT SetProps(ULONG cValues, LPSPropValue lpPropArray, LPSPropProblemArray* lppProblems) = 0;
  virtual HRESULT DeleteProps(LPSPropTagArray lpPropTagArray, LPSPropProblemArray* lppProblems) = 0;
  virtual HRESULT CopyTo(ULONG ciidExclude, LPCIID rgiidExclude, LPSPropTagArray lpExcludeProps,
                         ULONG_PTR ulUIParam, LPMAPIPROGRESS lpProgress, LPCIID lpInterface, LPVOID lpDestObj,
                         ULONG ulFlags, LPSPropProblemArray* lppProblems) = 0;
  virtual HRESULT CopyProps(LPSPropTagArray lpIncludeProps, ULONG_PTR ulUIParam, LPMAPIPROGRESS lpProgress,
                            LPCIID lpInterface, LPVOID lpDestObj, ULONG ulFlags,
                            LPSPropProblemArray* lppProblems) = 0;
  virtual HRESULT GetNamesFromIDs(LPSPropTagArray* lppPropTags, LPGUID lpPropSetGuid, ULONG ulFlags,
                                  ULONG* lpcPropNames, LPMAPINAMEID** lpppPropNames) = 0;
  // Tags of type PT_UNSPECIFIED; PROP_TAG(PT_ERROR, 0) with
  // MAPI_W_ERRORS_RETURNED for a name that has no identifier yet when
  // MAPI_CREATE is not given.
  virtual HRESULT GetIDsFromNames(ULONG cPropNames, LPMAPINAMEID* lppPropNames, ULONG ulFlags,
                                  LPSPropTagArray* lppPropTags) = 0;

 protected:
  ~IMAPIProp() = default;
};
using LPMAPIPROP = IMAPIProp*;

class IMAPIContainer : public IMAPIProp {
 public:
  virtual HRESULT GetContentsTable(ULONG ulFlags, LPMAPITABLE* lppTable) = 0;
  virtual HRESULT GetHierarchyTable(ULONG ulFlags, LPMAPITABLE* lppTable) = 0;
  virtual HRESULT OpenEntry(ULONG cbEntryID, LPENTRYID lpEntryID, LPCIID lpInterface, ULONG ulFlags,
                            ULONG* lpulObjType, LPUNKNOWN* lppUnk) = 0;
  virtual HRESULT SetSearchCriteria(LPSRestriction lpRestriction, SBinaryArray* lpContainerList,
                                    ULONG ulSearchFlags) = 0;
  virtual HRESULT GetSearchCriteria(ULONG ulFlags, LPSRestriction* lppRestriction,
                                    SBinaryArray** lppContainerList, ULONG* lpulSearchState) = 0;

 protected:
  ~IMAPIContainer() = default;
};

class IMessage;

class IMAPIFolder : public IMAPIContainer {
 public:
  virtual HRESULT CreateMessage(LPCIID lpInterface, ULONG ulFlags, IMessage** lppMessage) = 0;
  virtual HRESULT CopyMessages(SBinaryArray* lpMsgList, LPCIID lpInterface, LPVOID lpDestFolder,
                               ULONG_PTR ulUIParam, LPMAPIPROGRESS lpProgress, ULONG ulFlags) = 0;
  virtual HRESULT DeleteMessages(SBinaryArray* lpMsgList, ULONG_PTR ulUIParam, LPMAPIPROGRESS lpProgress,
                                 ULONG ulFlags) = 0;
  virtual HRESULT CreateFolder(ULONG ulFolderType, LPTSTR lpszFolderName, LPTSTR lpszFolderComment,
                               LPCIID lpInterface, ULONG ulFlags, IMAPIFolder** lppFolder) = 0;
  virtual HRESULT CopyFolder(ULONG cbEntryID, LPENTRYID lpEntryID, LPCIID lpInterface, LPVOID lpDestFolder,
                             LPTSTR lpszNewFolderName, ULONG_PTR ulUIParam, LPMAPIPROGRESS lpProgress,
                             ULONG ulFlags) = 0;
  virtual HRESULT DeleteFolder(ULONG cbEntryID, LPENTRYID lpEntryID, ULONG_PTR ulUIParam,
                               LPMAPIPROGRESS lpProgress, ULONG ulFlags) = 0;
  virtual HRESULT SetReadFlags(SBinaryArray* lpMsgList, ULONG_PTR ulUIParam, LPMAPIPROGRESS lpProgress,
                               ULONG ulFlags) = 0;
  virtual HRESULT GetMessageStatus(ULONG cbEntryID, LPENTRYID lpEntryID, ULONG ulFlags,
                                   ULONG* lpulMessageStatus) = 0;
  virtual HRESULT SetMessageStatus(ULONG cbEntryID, LPENTRYID lpEntryID, ULONG ulNewStatus,
                                   ULONG ulNewStatusMask, ULONG* lpulOldStatus) = 0;
  virtual HRESULT SaveContentsSort(LPSSortOrderSet lpSortCriteria, ULONG ulFlags) = 0;
  virtual HRESULT EmptyFolder(ULONG_PTR ulUIParam, LPMAPIPROGRESS lpProgress, ULONG ulFlags) = 0;

 protected:
  ~IMAPIFolder() = default;
};
using LPMAPIFOLDER = IMAPIFolder*;

class IAttach : public IMAPIProp {
 protected:
  ~IAttach() = default;
};
using LPATTACH = IAttach*;

class IMessage : public IMAPIProp {
 public:
  virtual HRESULT GetAttachmentTable(ULONG ulFlags, LPMAPITABLE* lppTable) = 0;
  virtual HRESULT OpenAttach(ULONG ulAttachmentNum, LPCIID lpInterface, ULONG ulFlags, LPATTACH* lppAttach) = 0;
  virtual HRESULT CreateAttach(LPCIID lpInterface, ULONG ulFlags, ULONG* lpulAttachmentNum,
                               LPATTACH* lppAttach) = 0;
  virtual HRESULT DeleteAttach(ULONG ulAttachmentNum, ULONG_PTR ulUIParam, LPMAPIPROGRESS lpProgress,
                               ULONG ulFlags) = 0;
  virtual HRESULT GetRecipientTable(ULONG ulFlags, LPMAPITABLE* lppTable) = 0;
  virtual HRESULT ModifyRecipients(ULONG ulFlags, LPADRLIST lpMods) = 0;
  virtual HRESULT SubmitMessage(ULONG ulFlags) = 0;
  virtual HRESULT SetReadFlag(ULONG ulFlags) = 0;

 protected:
  ~IMessage() = default;
};
using LPMESSAGE = IMessage*;

class IMsgStore : public IMAPIProp {
 public:
  // With fnevNewMail and no entry identifier: one notification for every
  // message delivered into the inbox (by any process), on the store's own
  // thread, until Unadvise. The store holds a reference on the sink until
  // then.
  virtual HRESULT Advise(ULONG cbEntryID, LPENTRYID lpEntryID, ULONG ulEventMask, LPMAPIADVISESINK lpAdviseSink,
                         ULONG* lpulConnection) = 0;
  // After it returns no new call reaches that sink; one that was already
  // under way finishes.
  virtual HRESULT Unadvise(ULONG ulConnection) = 0;
  virtual HRESULT CompareEntryIDs(ULONG cbEntryID1, LPENTRYID lpEntryID1, ULONG cbEntryID2,
                                  LPENTRYID lpEntryID2, ULONG ulFlags, ULONG* lpulResult) = 0;
  virtual HRESULT OpenEntry(ULONG cbEntryID, LPENTRYID lpEntryID, LPCIID lpInterface, ULONG ulFlags,
                            ULONG* lpulObjType, LPUNKNOWN* lppUnk) = 0;
  virtual HRESULT SetReceiveFolder(LPTSTR lpszMessageClass, ULONG ulFlags, ULONG cbEntryID,
                                   LPENTRYID lpEntryID) = 0;
  virtual HRESULT GetReceiveFolder(LPTSTR lpszMessageClass, ULONG ulFlags, ULONG* lpcbEntryID,
                                   LPENTRYID* lppEntryID, LPTSTR* lppszExplicitClass) = 0;
  virtual HRESULT GetReceiveFolderTable(ULONG ulFlags, LPMAPITABLE* lppTable) = 0;
  virtual HRESULT StoreLogoff(ULONG* lpulFlags) = 0;
  virtual HRESULT AbortSubmit(ULONG cbEntryID, LPENTRYID lpEntryID, ULONG ulFlags) = 0;
  virtual HRESULT GetOutgoingQueue(ULONG ulFlags, LPMAPITABLE* lppTable) = 0;
  virtual HRESULT SetLockState(LPMESSAGE lpMessage, ULONG ulLockState) = 0;
  virtual HRESULT FinishedMsg(ULONG ulFlags, ULONG cbEntryID, LPENTRYID lpEntryID) = 0;
  virtual HRESULT NotifyNewMail(LPNOTIFICATION lpNotification) = 0;

 protected:
  ~IMsgStore() = default;
};
using LPMDB = IMsgStore*;

class IAddrBook : public IMAPIProp {
 public:
  virtual HRESULT OpenEntry(ULONG cbEntryID, LPENTRYID lpEntryID, LPCIID lpInterface, ULONG ulFlags,
                            ULONG* lpulObjType, LPUNKNOWN* lppUnk) = 0;
  virtual HRESULT CompareEntryIDs(ULONG cbEntryID1, LPENTRYID lpEntryID1, ULONG cbEntryID2,
                                  LPENTRYID lpEntryID2, ULONG ulFlags, ULONG* lpulResult) = 0;
  virtual HRESULT Advise(ULONG cbEntryID, LPENTRYID lpEntryID, ULONG ulEventMask, LPMAPIADVISESINK lpAdviseSink,
                         ULONG* lpulConnection) = 0;
  virtual HRESULT Unadvise(ULONG ulConnection) = 0;
  virtual HRESULT CreateOneOff(LPTSTR lpszName, LPTSTR lpszAdrType, LPTSTR lpszAddress, ULONG ulFlags,
                               ULONG* lpcbEntryID, LPENTRYID* lppEntryID) = 0;
  virtual HRESULT NewEntry(ULONG_PTR ulUIParam, ULONG ulFlags, ULONG cbEIDContainer, LPENTRYID lpEIDContainer,
                           ULONG cbEIDNewEntryTpl, LPENTRYID lpEIDNewEntryTpl, ULONG* lpcbEIDNewEntry,
                           LPENTRYID* lppEIDNewEntry) = 0;
  virtual HRESULT ResolveName(ULONG_PTR ulUIParam, ULONG ulFlags, LPTSTR lpszNewEntryTitle,
                              LPADRLIST lpAdrList) = 0;
  // Shows the address dialog modally. On S_OK *lppAdrList holds the picked
  // recipients (an address list that was there before is freed and
  // replaced); the user's cancel answers MAPI_E_USER_CANCEL.
  virtual HRESULT Address(ULONG_PTR* lpulUIParam, LPADRPARM lpAdrParms, LPADRLIST* lppAdrList) = 0;
  virtual HRESULT Details(ULONG_PTR* lpulUIParam, LPFNDISMISS lpfnDismiss, LPVOID lpvDismissContext,
                          ULONG cbEntryID, LPENTRYID lpEntryID, LPFNABSDI lpfButtonCallback,
                          LPVOID lpvButtonContext, LPTSTR lpszButtonText, ULONG ulFlags) = 0;
  virtual HRESULT RecipOptions(ULONG_PTR ulUIParam, ULONG ulFlags, LPADRENTRY lpRecip) = 0;
  virtual HRESULT QueryDefaultRecipOpt(LPTSTR lpszAdrType, ULONG ulFlags, ULONG* lpcValues,
                                       LPSPropValue* lppOptions) = 0;
  virtual HRESULT GetPAB(ULONG* lpcbEntryID, LPENTRYID* lppEntryID) = 0;
  virtual HRESULT SetPAB(ULONG cbEntryID, LPENTRYID lpEntryID) = 0;
  virtual HRESULT GetDefaultDir(ULONG* lpcbEntryID, LPENTRYID* lppEntryID) = 0;
  virtual HRESULT SetDefaultDir(ULONG cbEntryID, LPENTRYID lpEntryID) = 0;
  virtual HRESULT GetSearchPath(ULONG ulFlags, LPSRowSet* lppSearchPath) = 0;
  virtual HRESULT SetSearchPath(ULONG ulFlags, LPSRowSet lpSearchPath) = 0;
  virtual HRESULT PrepareRecips(ULONG ulFlags, LPSPropTagArray lpPropTagArray, LPADRLIST lpRecipList) = 0;

 protected:
  ~IAddrBook() = default;
};
using LPADRBOOK = IAddrBook*;

class IMAPISession : public IUnknown {
 public:
  virtual HRESULT GetLastError(HRESULT hResult, ULONG ulFlags, LPMAPIERROR* lppMAPIError) = 0;
  // Columns PR_ENTRYID, PR_DISPLAY_NAME, PR_DEFAULT_STORE (and a few more).
  virtual HRESULT GetMsgStoresTable(ULONG ulFlags, LPMAPITABLE* lppTable) = 0;
  virtual HRESULT OpenMsgStore(ULONG_PTR ulUIParam, ULONG cbEntryID, LPENTRYID lpEntryID, LPCIID lpInterface,
                               ULONG ulFlags, LPMDB* lppMDB) = 0;
  virtual HRESULT OpenAddressBook(ULONG_PTR ulUIParam, LPCIID lpInterface, ULONG ulFlags,
                                  LPADRBOOK* lppAdrBook) = 0;
  virtual HRESULT OpenProfileSection(const MAPIUID* lpUID, LPCIID lpInterface, ULONG ulFlags,
                                     IUnknown** lppProfSect) = 0;
  virtual HRESULT GetStatusTable(ULONG ulFlags, LPMAPITABLE* lppTable) = 0;
  // Stores, folders and messages of any store of the profile.
  virtual HRESULT OpenEntry(ULONG cbEntryID, LPENTRYID lpEntryID, LPCIID lpInterface, ULONG ulFlags,
                            ULONG* lpulObjType, LPUNKNOWN* lppUnk) = 0;
  virtual HRESULT CompareEntryIDs(ULONG cbEntryID1, LPENTRYID lpEntryID1, ULONG cbEntryID2,
                                  LPENTRYID lpEntryID2, ULONG ulFlags, ULONG* lpulResult) = 0;
  // With a store's entry identifier: as that store's Advise.
  virtual HRESULT Advise(ULONG cbEntryID, LPENTRYID lpEntryID, ULONG ulEventMask, LPMAPIADVISESINK lpAdviseSink,
                         ULONG* lpulConnection) = 0;
  virtual HRESULT Unadvise(ULONG ulConnection) = 0;
  virtual HRESULT MessageOptions(ULONG_PTR ulUIParam, ULONG ulFlags, LPTSTR lpszAdrType, LPMESSAGE lpMessage) = 0;
  virtual HRESULT QueryDefaultMessageOpt(LPTSTR lpszAdrType, ULONG ulFlags, ULONG* lpcValues,
                                         LPSPropValue* lppOptions) = 0;
  virtual HRESULT EnumAdrTypes(ULONG ulFlags, ULONG* lpcAdrTypes, LPTSTR** lpppszAdrTypes) = 0;
  virtual HRESULT QueryIdentity(ULONG* lpcbEntryID, LPENTRYID* lppEntryID) = 0;
  virtual HRESULT Logoff(ULONG_PTR ulUIParam, ULONG ulFlags, ULONG ulReserved) = 0;
  virtual HRESULT SetDefaultStore(ULONG ulFlags, ULONG cbEntryID, LPENTRYID lpEntryID) = 0;
  virtual HRESULT AdminServices(ULONG ulFlags, IUnknown** lppServiceAdmin) = 0;
  virtual HRESULT ShowForm(ULONG_PTR ulUIParam, LPMDB lpMsgStore, LPMAPIFOLDER lpParentFolder, LPCIID lpInterface,
                           ULONG ulMessageToken, LPMESSAGE lpMessageSent, ULONG ulFlags, ULONG ulMessageStatus,
                           ULONG ulMessageFlags, ULONG ulAccess, LPSTR lpszMessageClass) = 0;
  virtual HRESULT PrepareForm(LPCIID lpInterface, LPMESSAGE lpMessage, ULONG* lpulMessageToken) = 0;

 protected:
  ~IMAPISession() = default;
};
using LPMAPISESSION = IMAPISession*;

}  // namespace corvid::mapi
