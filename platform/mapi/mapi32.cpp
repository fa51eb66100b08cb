// The procedures of the stand-in MAPI32.DLL.
#include "platform/mapi/mapi32.h"

#include <strings.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "platform/mapi/mapi_error.h"
#include "platform/mapi/prop_value.h"
#include "platform/mapi/store_core.h"

namespace corvid::mapi {
namespace {

// Every block starts with this header; blocks of MAPIAllocateMore hang on
// their root's chain and go with it. 32 bytes keep the caller's part
// aligned for any record.
struct alignas(16) TBlockHeader {
  uint64_t magic;
  TBlockHeader* next;  // the root's chain of "more" blocks
  TBlockHeader* root;  // for a "more" block: its root
  uint64_t size;
};
static_assert(sizeof(TBlockHeader) == 32);

constexpr uint64_t kRootMagic = 0x4D41504952304F54ull;  // "MAPIR0OT"
constexpr uint64_t kMoreMagic = 0x4D4150494D4F5245ull;  // "MAPIMORE"
constexpr uint64_t kFreedMagic = 0x4652454544424C4Bull;

std::mutex& ChainMutex() {
  static std::mutex mutex;
  return mutex;
}

TBlockHeader* HeaderOf(void* block) { return static_cast<TBlockHeader*>(block) - 1; }

void* NewBlock(ULONG size, uint64_t magic) {
  void* memory = std::calloc(1, sizeof(TBlockHeader) + size);
  if (memory == nullptr) return nullptr;
  auto* header = static_cast<TBlockHeader*>(memory);
  header->magic = magic;
  header->size = size;
  return header + 1;
}

std::mutex& InitMutex() {
  static std::mutex mutex;
  return mutex;
}
int g_initialized = 0;

}  // namespace

extern "C" {

HRESULT MAPIInitialize(LPVOID lpMapiInit) {
  if (lpMapiInit != nullptr) {
    const auto* init = static_cast<const MAPIINIT_0*>(lpMapiInit);
    if (init->ulVersion != MAPI_INIT_VERSION) return MAPI_E_VERSION;
  }
  std::lock_guard lock(InitMutex());
  ++g_initialized;
  return S_OK;
}

void MAPIUninitialize() {
  std::lock_guard lock(InitMutex());
  if (g_initialized > 0) --g_initialized;
}

HRESULT MAPILogonEx(ULONG_PTR ulUIParam, LPTSTR lpszProfileName, LPTSTR lpszPassword, ULONG flFlags,
                    LPMAPISESSION* lppSession) {
  if (lppSession == nullptr) return MAPI_E_INVALID_PARAMETER;
  *lppSession = nullptr;
  {
    std::lock_guard lock(InitMutex());
    if (g_initialized == 0) return MAPI_E_NOT_INITIALIZED;
  }
  if ((flFlags & MAPI_UNICODE) != 0) return MAPI_E_BAD_CHARWIDTH;
  try {
    TProfile profile = LoadProfile();
    if (lpszProfileName != nullptr && *lpszProfileName != '\0' &&
        strcasecmp(lpszProfileName, profile.name.c_str()) != 0) {
      return MAPI_E_LOGON_FAILED;
    }
    *lppSession = NewSession(std::move(profile), CurrentMailFiles());
    return S_OK;
  } catch (...) {
    const HRESULT result = ResultFromException(nullptr);
    // A profile that cannot be had is a failed logon to the caller.
    return result == MAPI_E_NOT_ENOUGH_MEMORY ? result : MAPI_E_LOGON_FAILED;
  }
}

SCODE MAPIAllocateBuffer(ULONG cbSize, LPVOID* lppBuffer) {
  if (lppBuffer == nullptr) return MAPI_E_INVALID_PARAMETER;
  *lppBuffer = NewBlock(cbSize, kRootMagic);
  return *lppBuffer != nullptr ? S_OK : MAPI_E_NOT_ENOUGH_MEMORY;
}

SCODE MAPIAllocateMore(ULONG cbSize, LPVOID lpObject, LPVOID* lppBuffer) {
  if (lppBuffer == nullptr) return MAPI_E_INVALID_PARAMETER;
  *lppBuffer = nullptr;
  if (lpObject == nullptr) return MAPI_E_INVALID_PARAMETER;
  TBlockHeader* parent = HeaderOf(lpObject);
  TBlockHeader* root = nullptr;
  if (parent->magic == kRootMagic) {
    root = parent;
  } else if (parent->magic == kMoreMagic) {
    root = parent->root;
  } else {
    return MAPI_E_INVALID_PARAMETER;
  }
  void* block = NewBlock(cbSize, kMoreMagic);
  if (block == nullptr) return MAPI_E_NOT_ENOUGH_MEMORY;
  TBlockHeader* header = HeaderOf(block);
  header->root = root;
  {
    std::lock_guard lock(ChainMutex());
    header->next = root->next;
    root->next = header;
  }
  *lppBuffer = block;
  return S_OK;
}

ULONG MAPIFreeBuffer(LPVOID lpBuffer) {
  if (lpBuffer == nullptr) return S_OK;
  TBlockHeader* root = HeaderOf(lpBuffer);
  if (root->magic != kRootMagic) return static_cast<ULONG>(MAPI_E_INVALID_PARAMETER);
  TBlockHeader* chain = nullptr;
  {
    std::lock_guard lock(ChainMutex());
    chain = root->next;
    root->next = nullptr;
  }
  while (chain != nullptr) {
    TBlockHeader* next = chain->next;
    chain->magic = kFreedMagic;
    std::free(chain);
    chain = next;
  }
  root->magic = kFreedMagic;
  std::free(root);
  return S_OK;
}

HRESULT HrQueryAllRows(LPMAPITABLE lpTable, LPSPropTagArray lpPropTags, LPSRestriction lpRestriction,
                       LPSSortOrderSet lpSortOrderSet, LONG crowsMax, LPSRowSet* lppRows) {
  if (lpTable == nullptr || lppRows == nullptr) return MAPI_E_INVALID_PARAMETER;
  *lppRows = nullptr;
  HRESULT result = S_OK;
  if (lpPropTags != nullptr && FAILED(result = lpTable->SetColumns(lpPropTags, TBL_BATCH))) return result;
  if (lpRestriction != nullptr && FAILED(result = lpTable->Restrict(lpRestriction, TBL_BATCH))) return result;
  if (lpSortOrderSet != nullptr && FAILED(result = lpTable->SortTable(lpSortOrderSet, TBL_BATCH))) return result;
  if (FAILED(result = lpTable->SeekRow(BOOKMARK_BEGINNING, 0, nullptr))) return result;
  ULONG count = 0;
  if (FAILED(result = lpTable->GetRowCount(0, &count))) return result;
  if (crowsMax > 0 && count > static_cast<ULONG>(crowsMax)) return MAPI_E_TABLE_TOO_BIG;
  // One read of every row (the table is a snapshot).
  return lpTable->QueryRows(static_cast<LONG>(std::min<ULONG>(count, 0x7FFFFFFF)), 0, lppRows);
}

void FreeProws(LPSRowSet lpRows) {
  if (lpRows == nullptr) return;
  for (ULONG i = 0; i < lpRows->cRows; ++i) MAPIFreeBuffer(lpRows->aRow[i].lpProps);
  MAPIFreeBuffer(lpRows);
}

void FreePadrlist(LPADRLIST lpAdrlist) {
  if (lpAdrlist == nullptr) return;
  for (ULONG i = 0; i < lpAdrlist->cEntries; ++i) MAPIFreeBuffer(lpAdrlist->aEntries[i].rgPropVals);
  MAPIFreeBuffer(lpAdrlist);
}

HRESULT HrGetOneProp(LPMAPIPROP lpMapiProp, ULONG ulPropTag, LPSPropValue* lppProp) {
  if (lpMapiProp == nullptr || lppProp == nullptr) return MAPI_E_INVALID_PARAMETER;
  *lppProp = nullptr;
  SizedSPropTagArray<1> tags = {1, {ulPropTag}};
  ULONG count = 0;
  LPSPropValue values = nullptr;
  const HRESULT result = lpMapiProp->GetProps(tags.get(), 0, &count, &values);
  if (FAILED(result)) return result;
  if (values == nullptr || count != 1) {
    MAPIFreeBuffer(values);
    return MAPI_E_NOT_FOUND;
  }
  if (PROP_TYPE(values->ulPropTag) == PT_ERROR) {
    const HRESULT error = values->Value.err;
    MAPIFreeBuffer(values);
    return error;
  }
  *lppProp = values;
  return S_OK;
}

HRESULT HrSetOneProp(LPMAPIPROP lpMapiProp, LPSPropValue lpProp) {
  if (lpMapiProp == nullptr || lpProp == nullptr) return MAPI_E_INVALID_PARAMETER;
  LPSPropProblemArray problems = nullptr;
  HRESULT result = lpMapiProp->SetProps(1, lpProp, &problems);
  if (SUCCEEDED(result) && problems != nullptr && problems->cProblem > 0) result = problems->aProblem[0].scode;
  MAPIFreeBuffer(problems);
  return result;
}

HRESULT MAPIAdminProfiles(ULONG, LPUNKNOWN*) { return MAPI_E_NO_SUPPORT; }
HRESULT MAPIOpenFormMgr(LPMAPISESSION, LPUNKNOWN*) { return MAPI_E_NO_SUPPORT; }
HRESULT MAPIOpenLocalFormContainer(LPUNKNOWN*) { return MAPI_E_NO_SUPPORT; }
HRESULT OpenTnefStreamEx(LPVOID, LPSTREAM, LPTSTR, ULONG, LPMESSAGE, USHORT, LPADRBOOK, LPUNKNOWN*) {
  return MAPI_E_NO_SUPPORT;
}
HRESULT WrapCompressedRTFStream(LPSTREAM, ULONG, LPSTREAM*) { return MAPI_E_NO_SUPPORT; }
HRESULT RTFSync(LPMESSAGE, ULONG, BOOL*) { return MAPI_E_NO_SUPPORT; }
HRESULT HrThisThreadAdviseSink(LPMAPIADVISESINK, LPMAPIADVISESINK*) { return MAPI_E_NO_SUPPORT; }
HRESULT HrAllocAdviseSink(LPNOTIFCALLBACK, LPVOID, LPMAPIADVISESINK*) { return MAPI_E_NO_SUPPORT; }
HRESULT HrDispatchNotifications(ULONG) { return MAPI_E_NO_SUPPORT; }
HRESULT OpenStreamOnFile(LPALLOCATEBUFFER, LPFREEBUFFER, ULONG, LPCSTR, LPCSTR, LPSTREAM*) {
  return MAPI_E_NO_SUPPORT;
}
HRESULT HrIStorageFromStream(LPUNKNOWN, LPCIID, ULONG, LPUNKNOWN*) { return MAPI_E_NO_SUPPORT; }
SCODE PropCopyMore(LPSPropValue, LPSPropValue, LPALLOCATEMORE, LPVOID) { return MAPI_E_NO_SUPPORT; }
SCODE ScDupPropset(int, LPSPropValue, LPALLOCATEBUFFER, LPSPropValue*) { return MAPI_E_NO_SUPPORT; }
SCODE ScCountProps(int, LPSPropValue, ULONG*) { return MAPI_E_NO_SUPPORT; }
SCODE ScCopyProps(int, LPSPropValue, LPVOID, ULONG*) { return MAPI_E_NO_SUPPORT; }
SCODE ScRelocProps(int, LPSPropValue, LPVOID, LPVOID, ULONG*) { return MAPI_E_NO_SUPPORT; }
SCODE ScInitMapiUtil(ULONG) { return MAPI_E_NO_SUPPORT; }
HRESULT HrComposeEID(LPMAPISESSION, ULONG, LPBYTE, ULONG, LPENTRYID, ULONG*, LPENTRYID*) { return MAPI_E_NO_SUPPORT; }
HRESULT HrDecomposeEID(LPMAPISESSION, ULONG, LPENTRYID, ULONG*, LPENTRYID*, ULONG*, LPENTRYID*) {
  return MAPI_E_NO_SUPPORT;
}
HRESULT HrAddColumns(LPMAPITABLE, LPSPropTagArray, LPALLOCATEBUFFER, LPFREEBUFFER) { return MAPI_E_NO_SUPPORT; }

}  // extern "C"

}  // namespace corvid::mapi
