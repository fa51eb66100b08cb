// Extended MAPI's vocabulary, written from MAPI's public documentation:
// scalar types, result codes, property types and tags, flags, the records
// that cross the interfaces (SPropValue, SRowSet, SRestriction, NOTIFICATION,
// ADRLIST, ...) and the interface identifiers, with their documented values.
//
// Header only: code that loads the stand-in MAPI32.DLL at run time includes
// this without linking anything of platform/mapi.
//
// Differences from the Windows headers, all forced by the platform:
// - Texts of PT_STRING8 ("ANSI") are UTF-8, as everywhere in this system.
// - WCHAR is char16_t (UTF-16, as on Windows), so a MAPINAMEID name or a
//   PT_UNICODE value has the same content as there.
// - Pointers are 64 bits wide, so records that hold pointers are larger than
//   on 32-bit Windows (an SPropValue is 24 bytes, not 16): size allocations
//   with sizeof, never with the Win32 byte counts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/win/com.h"
#include "platform/win/win_types.h"

namespace corvid::mapi {

using win::BOOL;
using win::BYTE;
using win::DWORD;
using win::FILETIME;
using win::LONG;
using win::UINT;
using win::ULONG;
using USHORT = uint16_t;
using win::HRESULT;
using SCODE = int32_t;
using ULONG_PTR = uintptr_t;
using LPVOID = void*;
using LPBYTE = BYTE*;
using LPSTR = char*;
using LPCSTR = const char*;
using LPTSTR = char*;  // MAPI's "TCHAR" texts are the 8-bit ones here
using WCHAR = char16_t;
using LPWSTR = WCHAR*;
using LPOLESTR = WCHAR*;
using LPULONG = ULONG*;

using win::CLSID;
using win::GUID;
using win::IID;
using win::LPCIID;
using win::LPGUID;
using win::REFIID;
using MAPIUID = GUID;  // the same 16 bytes; MAPI spells them as a byte array
using win::IsEqualGUID;

union LARGE_INTEGER {
  struct {
    DWORD LowPart;
    LONG HighPart;
  } u;
  int64_t QuadPart;
};
union ULARGE_INTEGER {
  struct {
    DWORD LowPart;
    DWORD HighPart;
  } u;
  uint64_t QuadPart;
};

union CURRENCY {
  struct {
    ULONG Lo;
    LONG Hi;
  } u;
  int64_t int64;
};

// ---------------------------------------------------------------------------
// Result codes.

using win::E_ACCESSDENIED;
using win::E_FAIL;
using win::E_INVALIDARG;
using win::E_NOINTERFACE;
using win::E_NOTIMPL;
using win::E_OUTOFMEMORY;
using win::FAILED;
using win::HResult;
using win::S_FALSE;
using win::S_OK;
using win::SUCCEEDED;
inline constexpr bool HR_FAILED(HRESULT hr) { return hr < 0; }

inline constexpr HRESULT MAPI_E_CALL_FAILED = E_FAIL;
inline constexpr HRESULT MAPI_E_NOT_ENOUGH_MEMORY = E_OUTOFMEMORY;
inline constexpr HRESULT MAPI_E_INVALID_PARAMETER = E_INVALIDARG;
inline constexpr HRESULT MAPI_E_INTERFACE_NOT_SUPPORTED = E_NOINTERFACE;
inline constexpr HRESULT MAPI_E_NO_ACCESS = E_ACCESSDENIED;

inline constexpr HRESULT MAPI_E_NO_SUPPORT = HResult(0x80040102);
inline constexpr HRESULT MAPI_E_BAD_CHARWIDTH = HResult(0x80040103);
inline constexpr HRESULT MAPI_E_STRING_TOO_LONG = HResult(0x80040105);
inline constexpr HRESULT MAPI_E_UNKNOWN_FLAGS = HResult(0x80040106);
inline constexpr HRESULT MAPI_E_INVALID_ENTRYID = HResult(0x80040107);
inline constexpr HRESULT MAPI_E_INVALID_OBJECT = HResult(0x80040108);
inline constexpr HRESULT MAPI_E_OBJECT_CHANGED = HResult(0x80040109);
inline constexpr HRESULT MAPI_E_OBJECT_DELETED = HResult(0x8004010A);
inline constexpr HRESULT MAPI_E_BUSY = HResult(0x8004010B);
inline constexpr HRESULT MAPI_E_NOT_ENOUGH_DISK = HResult(0x8004010D);
inline constexpr HRESULT MAPI_E_NOT_ENOUGH_RESOURCES = HResult(0x8004010E);
inline constexpr HRESULT MAPI_E_NOT_FOUND = HResult(0x8004010F);
inline constexpr HRESULT MAPI_E_VERSION = HResult(0x80040110);
inline constexpr HRESULT MAPI_E_LOGON_FAILED = HResult(0x80040111);
inline constexpr HRESULT MAPI_E_SESSION_LIMIT = HResult(0x80040112);
inline constexpr HRESULT MAPI_E_USER_CANCEL = HResult(0x80040113);
inline constexpr HRESULT MAPI_E_UNABLE_TO_ABORT = HResult(0x80040114);
inline constexpr HRESULT MAPI_E_NETWORK_ERROR = HResult(0x80040115);
inline constexpr HRESULT MAPI_E_DISK_ERROR = HResult(0x80040116);
inline constexpr HRESULT MAPI_E_TOO_COMPLEX = HResult(0x80040117);
inline constexpr HRESULT MAPI_E_BAD_COLUMN = HResult(0x80040118);
inline constexpr HRESULT MAPI_E_EXTENDED_ERROR = HResult(0x80040119);
inline constexpr HRESULT MAPI_E_COMPUTED = HResult(0x8004011A);
inline constexpr HRESULT MAPI_E_CORRUPT_DATA = HResult(0x8004011B);
inline constexpr HRESULT MAPI_E_UNCONFIGURED = HResult(0x8004011C);
inline constexpr HRESULT MAPI_E_END_OF_SESSION = HResult(0x80040200);
inline constexpr HRESULT MAPI_E_UNKNOWN_ENTRYID = HResult(0x80040201);
inline constexpr HRESULT MAPI_E_MISSING_REQUIRED_COLUMN = HResult(0x80040202);
inline constexpr HRESULT MAPI_E_BAD_VALUE = HResult(0x80040301);
inline constexpr HRESULT MAPI_E_INVALID_TYPE = HResult(0x80040302);
inline constexpr HRESULT MAPI_E_TYPE_NO_SUPPORT = HResult(0x80040303);
inline constexpr HRESULT MAPI_E_UNEXPECTED_TYPE = HResult(0x80040304);
inline constexpr HRESULT MAPI_E_TOO_BIG = HResult(0x80040305);
inline constexpr HRESULT MAPI_E_UNEXPECTED_ID = HResult(0x80040307);
inline constexpr HRESULT MAPI_E_UNABLE_TO_COMPLETE = HResult(0x80040400);
inline constexpr HRESULT MAPI_E_TIMEOUT = HResult(0x80040401);
inline constexpr HRESULT MAPI_E_TABLE_EMPTY = HResult(0x80040402);
inline constexpr HRESULT MAPI_E_TABLE_TOO_BIG = HResult(0x80040403);
inline constexpr HRESULT MAPI_E_INVALID_BOOKMARK = HResult(0x80040405);
inline constexpr HRESULT MAPI_E_CORRUPT_STORE = HResult(0x80040600);
inline constexpr HRESULT MAPI_E_COLLISION = HResult(0x80040604);
inline constexpr HRESULT MAPI_E_NOT_INITIALIZED = HResult(0x80040605);
inline constexpr HRESULT MAPI_E_NO_RECIPIENTS = HResult(0x80040607);
inline constexpr HRESULT MAPI_E_AMBIGUOUS_RECIP = HResult(0x80040700);

inline constexpr HRESULT MAPI_W_ERRORS_RETURNED = HResult(0x00040380);
inline constexpr HRESULT MAPI_W_POSITION_CHANGED = HResult(0x00040481);
inline constexpr HRESULT MAPI_W_APPROX_COUNT = HResult(0x00040482);
inline constexpr HRESULT MAPI_W_PARTIAL_COMPLETION = HResult(0x00040680);

// Structured-storage codes that IStream answers.
inline constexpr HRESULT STG_E_INVALIDFUNCTION = HResult(0x80030001);
inline constexpr HRESULT STG_E_ACCESSDENIED = HResult(0x80030005);
inline constexpr HRESULT STG_E_INVALIDPOINTER = HResult(0x80030009);
inline constexpr HRESULT STG_E_WRITEFAULT = HResult(0x8003001D);
inline constexpr HRESULT STG_E_READFAULT = HResult(0x8003001E);
inline constexpr HRESULT STG_E_INVALIDPARAMETER = HResult(0x80030057);
inline constexpr HRESULT STG_E_MEDIUMFULL = HResult(0x80030070);
inline constexpr HRESULT STG_E_INVALIDFLAG = HResult(0x800300FF);
inline constexpr HRESULT STG_E_REVERTED = HResult(0x80030102);

// ---------------------------------------------------------------------------
// Property types and tags.

inline constexpr ULONG PT_UNSPECIFIED = 0x0000;
inline constexpr ULONG PT_NULL = 0x0001;
inline constexpr ULONG PT_I2 = 0x0002;
inline constexpr ULONG PT_SHORT = PT_I2;
inline constexpr ULONG PT_LONG = 0x0003;
inline constexpr ULONG PT_I4 = PT_LONG;
inline constexpr ULONG PT_R4 = 0x0004;
inline constexpr ULONG PT_FLOAT = PT_R4;
inline constexpr ULONG PT_DOUBLE = 0x0005;
inline constexpr ULONG PT_R8 = PT_DOUBLE;
inline constexpr ULONG PT_CURRENCY = 0x0006;
inline constexpr ULONG PT_APPTIME = 0x0007;
inline constexpr ULONG PT_ERROR = 0x000A;
inline constexpr ULONG PT_BOOLEAN = 0x000B;
inline constexpr ULONG PT_OBJECT = 0x000D;
inline constexpr ULONG PT_I8 = 0x0014;
inline constexpr ULONG PT_LONGLONG = PT_I8;
inline constexpr ULONG PT_STRING8 = 0x001E;
inline constexpr ULONG PT_UNICODE = 0x001F;
inline constexpr ULONG PT_SYSTIME = 0x0040;
inline constexpr ULONG PT_CLSID = 0x0048;
inline constexpr ULONG PT_BINARY = 0x0102;
inline constexpr ULONG MV_FLAG = 0x1000;
inline constexpr ULONG PT_MV_LONG = MV_FLAG | PT_LONG;
inline constexpr ULONG PT_MV_STRING8 = MV_FLAG | PT_STRING8;
inline constexpr ULONG PT_MV_BINARY = MV_FLAG | PT_BINARY;

inline constexpr ULONG PROP_TYPE_MASK = 0x0000FFFF;
inline constexpr ULONG PROP_TYPE(ULONG tag) { return tag & PROP_TYPE_MASK; }
inline constexpr ULONG PROP_ID(ULONG tag) { return tag >> 16; }
inline constexpr ULONG PROP_TAG(ULONG type, ULONG id) { return (id << 16) | type; }
inline constexpr ULONG CHANGE_PROP_TYPE(ULONG tag, ULONG type) { return (tag & 0xFFFF0000) | type; }
inline constexpr ULONG PROP_ID_NULL = 0;
inline constexpr ULONG PROP_ID_INVALID = 0xFFFF;
inline constexpr ULONG PR_NULL = PROP_TAG(PT_NULL, PROP_ID_NULL);
// Named properties get identifiers from here up.
inline constexpr ULONG kFirstNamedPropId = 0x8000;
inline constexpr ULONG kLastNamedPropId = 0xFFFE;

// Messages.
inline constexpr ULONG PR_MESSAGE_CLASS = 0x001A001E;
inline constexpr ULONG PR_SUBJECT = 0x0037001E;
inline constexpr ULONG PR_CLIENT_SUBMIT_TIME = 0x00390040;
inline constexpr ULONG PR_SENT_REPRESENTING_NAME = 0x0042001E;
inline constexpr ULONG PR_SENDER_NAME = 0x0C1A001E;
inline constexpr ULONG PR_SENDER_ADDRTYPE = 0x0C1E001E;
inline constexpr ULONG PR_SENDER_EMAIL_ADDRESS = 0x0C1F001E;
inline constexpr ULONG PR_RECIPIENT_TYPE = 0x0C150003;
inline constexpr ULONG PR_DISPLAY_BCC = 0x0E02001E;
inline constexpr ULONG PR_DISPLAY_CC = 0x0E03001E;
inline constexpr ULONG PR_DISPLAY_TO = 0x0E04001E;
inline constexpr ULONG PR_MESSAGE_DELIVERY_TIME = 0x0E060040;
inline constexpr ULONG PR_MESSAGE_FLAGS = 0x0E070003;
inline constexpr ULONG PR_MESSAGE_SIZE = 0x0E080003;
inline constexpr ULONG PR_PARENT_ENTRYID = 0x0E090102;
inline constexpr ULONG PR_HASATTACH = 0x0E1B000B;
inline constexpr ULONG PR_BODY = 0x1000001E;
inline constexpr ULONG PR_INTERNET_MESSAGE_ID = 0x1035001E;

// Every object.
inline constexpr ULONG PR_INSTANCE_KEY = 0x0FF60102;
inline constexpr ULONG PR_RECORD_KEY = 0x0FF90102;
inline constexpr ULONG PR_STORE_ENTRYID = 0x0FFB0102;
inline constexpr ULONG PR_OBJECT_TYPE = 0x0FFE0003;
inline constexpr ULONG PR_ENTRYID = 0x0FFF0102;
inline constexpr ULONG PR_ROWID = 0x30000003;
inline constexpr ULONG PR_DISPLAY_NAME = 0x3001001E;
inline constexpr ULONG PR_ADDRTYPE = 0x3002001E;
inline constexpr ULONG PR_EMAIL_ADDRESS = 0x3003001E;

// Stores and folders.
inline constexpr ULONG PR_DEFAULT_STORE = 0x3400000B;
inline constexpr ULONG PR_MDB_PROVIDER = 0x34140102;
inline constexpr ULONG PR_IPM_SUBTREE_ENTRYID = 0x35E00102;
inline constexpr ULONG PR_IPM_OUTBOX_ENTRYID = 0x35E20102;
inline constexpr ULONG PR_IPM_SENTMAIL_ENTRYID = 0x35E40102;
inline constexpr ULONG PR_IPM_DRAFTS_ENTRYID = 0x36D70102;
inline constexpr ULONG PR_FOLDER_TYPE = 0x36010003;
inline constexpr ULONG PR_CONTENT_COUNT = 0x36020003;
inline constexpr ULONG PR_CONTENT_UNREAD = 0x36030003;
inline constexpr ULONG PR_SUBFOLDERS = 0x360A000B;

// Attachments.
inline constexpr ULONG PR_ATTACH_SIZE = 0x0E200003;
inline constexpr ULONG PR_ATTACH_NUM = 0x0E210003;
inline constexpr ULONG PR_ATTACH_DATA_BIN = 0x37010102;
inline constexpr ULONG PR_ATTACH_DATA_OBJ = 0x3701000D;
inline constexpr ULONG PR_ATTACH_EXTENSION = 0x3703001E;
inline constexpr ULONG PR_ATTACH_FILENAME = 0x3704001E;
inline constexpr ULONG PR_ATTACH_METHOD = 0x37050003;
inline constexpr ULONG PR_ATTACH_LONG_FILENAME = 0x3707001E;
inline constexpr ULONG PR_RENDERING_POSITION = 0x370B0003;
inline constexpr ULONG PR_ATTACH_MIME_TAG = 0x370E001E;
inline constexpr ULONG PR_ATTACH_CONTENT_ID = 0x3712001E;

// PR_MESSAGE_FLAGS bits.
inline constexpr ULONG MSGFLAG_READ = 0x00000001;
inline constexpr ULONG MSGFLAG_UNMODIFIED = 0x00000002;
inline constexpr ULONG MSGFLAG_SUBMIT = 0x00000004;
inline constexpr ULONG MSGFLAG_UNSENT = 0x00000008;
inline constexpr ULONG MSGFLAG_HASATTACH = 0x00000010;
inline constexpr ULONG MSGFLAG_FROMME = 0x00000020;

// PR_ATTACH_METHOD values.
inline constexpr LONG NO_ATTACHMENT = 0;
inline constexpr LONG ATTACH_BY_VALUE = 1;
inline constexpr LONG ATTACH_BY_REFERENCE = 2;
inline constexpr LONG ATTACH_BY_REF_RESOLVE = 3;
inline constexpr LONG ATTACH_BY_REF_ONLY = 4;
inline constexpr LONG ATTACH_EMBEDDED_MSG = 5;
inline constexpr LONG ATTACH_OLE = 6;

// PR_RECIPIENT_TYPE values.
inline constexpr LONG MAPI_ORIG = 0;
inline constexpr LONG MAPI_TO = 1;
inline constexpr LONG MAPI_CC = 2;
inline constexpr LONG MAPI_BCC = 3;

// PR_OBJECT_TYPE values and the object types OpenEntry reports.
inline constexpr ULONG MAPI_STORE = 0x00000001;
inline constexpr ULONG MAPI_ADDRBOOK = 0x00000002;
inline constexpr ULONG MAPI_FOLDER = 0x00000003;
inline constexpr ULONG MAPI_ABCONT = 0x00000004;
inline constexpr ULONG MAPI_MESSAGE = 0x00000005;
inline constexpr ULONG MAPI_MAILUSER = 0x00000006;
inline constexpr ULONG MAPI_ATTACH = 0x00000007;
inline constexpr ULONG MAPI_DISTLIST = 0x00000008;
inline constexpr ULONG MAPI_SESSION = 0x0000000B;

// PR_FOLDER_TYPE values.
inline constexpr LONG FOLDER_ROOT = 0;
inline constexpr LONG FOLDER_GENERIC = 1;

// ---------------------------------------------------------------------------
// Flags of the calls.

inline constexpr ULONG MAPI_MODIFY = 0x00000001;
inline constexpr ULONG MAPI_CREATE = 0x00000002;
inline constexpr ULONG MAPI_DEFERRED_ERRORS = 0x00000008;
inline constexpr ULONG MAPI_BEST_ACCESS = 0x00000010;
inline constexpr ULONG MAPI_UNICODE = 0x80000000;

// MAPILogonEx.
inline constexpr ULONG MAPI_LOGON_UI = 0x00000001;
inline constexpr ULONG MAPI_NEW_SESSION = 0x00000002;
inline constexpr ULONG MAPI_ALLOW_OTHERS = 0x00000008;
inline constexpr ULONG MAPI_EXPLICIT_PROFILE = 0x00000010;
inline constexpr ULONG MAPI_EXTENDED = 0x00000020;
inline constexpr ULONG MAPI_USE_DEFAULT = 0x00000040;
inline constexpr ULONG MAPI_NO_MAIL = 0x00008000;

// MAPIInitialize.
inline constexpr ULONG MAPI_INIT_VERSION = 0;
inline constexpr ULONG MAPI_MULTITHREAD_NOTIFICATIONS = 0x00000001;
inline constexpr ULONG MAPI_NO_COINIT = 0x00000008;

// OpenMsgStore.
inline constexpr ULONG MDB_NO_DIALOG = 0x00000001;
inline constexpr ULONG MDB_WRITE = 0x00000004;
inline constexpr ULONG MDB_TEMPORARY = 0x00000020;
inline constexpr ULONG MDB_NO_MAIL = 0x00000080;

// SaveChanges.
inline constexpr ULONG KEEP_OPEN_READONLY = 0x00000001;
inline constexpr ULONG KEEP_OPEN_READWRITE = 0x00000002;
inline constexpr ULONG FORCE_SAVE = 0x00000004;

// SetReadFlag.
inline constexpr ULONG MAPI_DEFERRED_ERRORS_READ = MAPI_DEFERRED_ERRORS;
inline constexpr ULONG SUPPRESS_RECEIPT = 0x00000001;
inline constexpr ULONG CLEAR_READ_FLAG = 0x00000004;
inline constexpr ULONG GENERATE_RECEIPT_ONLY = 0x00000010;
inline constexpr ULONG CLEAR_RN_PENDING = 0x00000020;
inline constexpr ULONG CLEAR_NRN_PENDING = 0x00000040;

// GetIDsFromNames and MAPINAMEID.
inline constexpr ULONG MNID_ID = 0;
inline constexpr ULONG MNID_STRING = 1;

// Address dialog (ADRPARM.ulFlags).
inline constexpr ULONG DIALOG_MODAL = 0x00000001;
inline constexpr ULONG DIALOG_SDI = 0x00000002;
inline constexpr ULONG AB_RESOLVE = 0x00000020;

// Tables.
inline constexpr ULONG TBL_ASYNC = 0x00000001;
inline constexpr ULONG TBL_BATCH = 0x00000002;
inline constexpr ULONG TBL_NOADVANCE = 0x00000001;
inline constexpr ULONG TBL_ALL_COLUMNS = 0x00000001;
using BOOKMARK = ULONG;
inline constexpr BOOKMARK BOOKMARK_BEGINNING = 0;
inline constexpr BOOKMARK BOOKMARK_CURRENT = 1;
inline constexpr BOOKMARK BOOKMARK_END = 2;
inline constexpr ULONG TBLSTAT_COMPLETE = 0;
inline constexpr ULONG TBLTYPE_SNAPSHOT = 0;

// Event masks of Advise.
inline constexpr ULONG fnevCriticalError = 0x00000001;
inline constexpr ULONG fnevNewMail = 0x00000002;
inline constexpr ULONG fnevObjectCreated = 0x00000004;
inline constexpr ULONG fnevObjectDeleted = 0x00000008;
inline constexpr ULONG fnevObjectModified = 0x00000010;
inline constexpr ULONG fnevObjectMoved = 0x00000020;
inline constexpr ULONG fnevObjectCopied = 0x00000040;
inline constexpr ULONG fnevSearchComplete = 0x00000080;
inline constexpr ULONG fnevTableModified = 0x00000100;
inline constexpr ULONG fnevStatusObjectModified = 0x00000200;
inline constexpr ULONG fnevExtended = 0x80000000;

// Streams.
inline constexpr DWORD STGM_READ = 0x00000000;
inline constexpr DWORD STGM_WRITE = 0x00000001;
inline constexpr DWORD STGM_READWRITE = 0x00000002;
inline constexpr DWORD STGC_DEFAULT = 0;
inline constexpr DWORD STGC_OVERWRITE = 1;
inline constexpr DWORD STREAM_SEEK_SET = 0;
inline constexpr DWORD STREAM_SEEK_CUR = 1;
inline constexpr DWORD STREAM_SEEK_END = 2;
inline constexpr DWORD STATFLAG_DEFAULT = 0;
inline constexpr DWORD STATFLAG_NONAME = 1;
inline constexpr DWORD STGTY_STREAM = 2;

// ---------------------------------------------------------------------------
// Records.

struct ENTRYID {
  BYTE abFlags[4];
  BYTE ab[1];  // really as many bytes as the size that travels with it
};
using LPENTRYID = ENTRYID*;

struct SBinary {
  ULONG cb;
  LPBYTE lpb;
};
using LPSBinary = SBinary*;

struct SShortArray {
  ULONG cValues;
  short* lpi;
};
struct SLongArray {
  ULONG cValues;
  LONG* lpl;
};
struct SBinaryArray {
  ULONG cValues;
  SBinary* lpbin;
};
struct SLPSTRArray {
  ULONG cValues;
  LPSTR* lppszA;
};
struct SWStringArray {
  ULONG cValues;
  LPWSTR* lppszW;
};

union _PV {
  short i;
  LONG l;
  ULONG ul;
  float flt;
  double dbl;
  unsigned short b;
  CURRENCY cur;
  double at;
  FILETIME ft;
  LPSTR lpszA;
  SBinary bin;
  LPWSTR lpszW;
  LPGUID lpguid;
  LARGE_INTEGER li;
  SShortArray MVi;
  SLongArray MVl;
  SBinaryArray MVbin;
  SLPSTRArray MVszA;
  SWStringArray MVszW;
  SCODE err;
  LONG x;
};

struct SPropValue {
  ULONG ulPropTag;
  ULONG dwAlignPad;
  union _PV Value;
};
using LPSPropValue = SPropValue*;

struct SPropProblem {
  ULONG ulIndex;
  ULONG ulPropTag;
  SCODE scode;
};
struct SPropProblemArray {
  ULONG cProblem;
  SPropProblem aProblem[1];
};
using LPSPropProblemArray = SPropProblemArray*;
inline constexpr size_t CbNewSPropProblemArray(ULONG count) {
  return offsetof(SPropProblemArray, aProblem) + sizeof(SPropProblem) * count;
}

struct SPropTagArray {
  ULONG cValues;
  ULONG aulPropTag[1];
};
using LPSPropTagArray = SPropTagArray*;
inline constexpr size_t CbNewSPropTagArray(ULONG count) {
  return offsetof(SPropTagArray, aulPropTag) + sizeof(ULONG) * count;
}
// A tag array of a fixed size, to write column sets as constants:
//   SizedSPropTagArray<2> columns = {2, {PR_ENTRYID, PR_DISPLAY_NAME}};
//   table->SetColumns(columns.get(), 0);
template <ULONG N>
struct SizedSPropTagArray {
  ULONG cValues;
  ULONG aulPropTag[N];
  LPSPropTagArray get() { return reinterpret_cast<LPSPropTagArray>(this); }
};

struct SRow {
  ULONG ulAdrEntryPad;
  ULONG cValues;
  LPSPropValue lpProps;
};
using LPSRow = SRow*;

struct SRowSet {
  ULONG cRows;
  SRow aRow[1];
};
using LPSRowSet = SRowSet*;
inline constexpr size_t CbNewSRowSet(ULONG count) { return offsetof(SRowSet, aRow) + sizeof(SRow) * count; }

struct SSortOrder {
  ULONG ulPropTag;
  ULONG ulOrder;
};
struct SSortOrderSet {
  ULONG cSorts;
  ULONG cCategories;
  ULONG cExpanded;
  SSortOrder aSort[1];
};
using LPSSortOrderSet = SSortOrderSet*;
inline constexpr ULONG TABLE_SORT_ASCEND = 0x00000000;
inline constexpr ULONG TABLE_SORT_DESCEND = 0x00000001;

// Restrictions.
inline constexpr ULONG RES_AND = 0;
inline constexpr ULONG RES_OR = 1;
inline constexpr ULONG RES_NOT = 2;
inline constexpr ULONG RES_CONTENT = 3;
inline constexpr ULONG RES_PROPERTY = 4;
inline constexpr ULONG RES_COMPAREPROPS = 5;
inline constexpr ULONG RES_BITMASK = 6;
inline constexpr ULONG RES_SIZE = 7;
inline constexpr ULONG RES_EXIST = 8;
inline constexpr ULONG RES_SUBRESTRICTION = 9;
inline constexpr ULONG RES_COMMENT = 10;

inline constexpr ULONG RELOP_LT = 0;
inline constexpr ULONG RELOP_LE = 1;
inline constexpr ULONG RELOP_GT = 2;
inline constexpr ULONG RELOP_GE = 3;
inline constexpr ULONG RELOP_EQ = 4;
inline constexpr ULONG RELOP_NE = 5;
inline constexpr ULONG RELOP_RE = 6;

inline constexpr ULONG BMR_EQZ = 0;
inline constexpr ULONG BMR_NEZ = 1;

inline constexpr ULONG FL_FULLSTRING = 0x00000000;
inline constexpr ULONG FL_SUBSTRING = 0x00000001;
inline constexpr ULONG FL_PREFIX = 0x00000002;
inline constexpr ULONG FL_IGNORECASE = 0x00010000;

struct SRestriction;
using LPSRestriction = SRestriction*;

struct SAndRestriction {
  ULONG cRes;
  LPSRestriction lpRes;
};
struct SOrRestriction {
  ULONG cRes;
  LPSRestriction lpRes;
};
struct SNotRestriction {
  ULONG ulReserved;
  LPSRestriction lpRes;
};
struct SContentRestriction {
  ULONG ulFuzzyLevel;
  ULONG ulPropTag;
  LPSPropValue lpProp;
};
struct SPropertyRestriction {
  ULONG relop;
  ULONG ulPropTag;
  LPSPropValue lpProp;
};
struct SComparePropsRestriction {
  ULONG relop;
  ULONG ulPropTag1;
  ULONG ulPropTag2;
};
struct SBitMaskRestriction {
  ULONG relBMR;
  ULONG ulPropTag;
  ULONG ulMask;
};
struct SSizeRestriction {
  ULONG relop;
  ULONG ulPropTag;
  ULONG cb;
};
struct SExistRestriction {
  ULONG ulReserved1;
  ULONG ulPropTag;
  ULONG ulReserved2;
};
struct SSubRestriction {
  ULONG ulSubObject;
  LPSRestriction lpRes;
};
struct SCommentRestriction {
  ULONG cValues;
  LPSRestriction lpRes;
  LPSPropValue lpProp;
};

struct SRestriction {
  ULONG rt;
  union {
    SComparePropsRestriction resCompareProps;
    SAndRestriction resAnd;
    SOrRestriction resOr;
    SNotRestriction resNot;
    SContentRestriction resContent;
    SPropertyRestriction resProperty;
    SBitMaskRestriction resBitMask;
    SSizeRestriction resSize;
    SExistRestriction resExist;
    SSubRestriction resSub;
    SCommentRestriction resComment;
  } res;
};

// Notifications.
struct ERROR_NOTIFICATION {
  ULONG cbEntryID;
  LPENTRYID lpEntryID;
  SCODE scode;
  ULONG ulFlags;
  struct MAPIERROR* lpMAPIError;
};
struct NEWMAIL_NOTIFICATION {
  ULONG cbEntryID;
  LPENTRYID lpEntryID;
  ULONG cbParentID;
  LPENTRYID lpParentID;
  ULONG ulFlags;
  LPTSTR lpszMessageClass;
  ULONG ulMessageFlags;
};
struct OBJECT_NOTIFICATION {
  ULONG cbEntryID;
  LPENTRYID lpEntryID;
  ULONG ulObjType;
  ULONG cbParentID;
  LPENTRYID lpParentID;
  ULONG cbOldID;
  LPENTRYID lpOldID;
  ULONG cbOldParentID;
  LPENTRYID lpOldParentID;
  LPSPropTagArray lpPropTagArray;
};
struct EXTENDED_NOTIFICATION {
  ULONG ulEvent;
  ULONG cb;
  LPBYTE pbEventParameters;
};
struct NOTIFICATION {
  ULONG ulEventType;
  ULONG ulAlignPad;
  union {
    ERROR_NOTIFICATION err;
    NEWMAIL_NOTIFICATION newmail;
    OBJECT_NOTIFICATION obj;
    EXTENDED_NOTIFICATION ext;
  } info;
};
using LPNOTIFICATION = NOTIFICATION*;

// Address lists.
struct ADRENTRY {
  ULONG ulReserved1;
  ULONG cValues;
  LPSPropValue rgPropVals;
};
using LPADRENTRY = ADRENTRY*;
struct ADRLIST {
  ULONG cEntries;
  ADRENTRY aEntries[1];
};
using LPADRLIST = ADRLIST*;
inline constexpr size_t CbNewADRLIST(ULONG count) { return offsetof(ADRLIST, aEntries) + sizeof(ADRENTRY) * count; }

using LPFNDISMISS = void (*)(ULONG_PTR ulUIParam, LPVOID lpvContext);
using LPFNABSDI = SCODE (*)(ULONG_PTR ulUIParam, LPVOID lpvmsg);

struct ADRPARM {
  ULONG cbABContEntryID;
  LPENTRYID lpABContEntryID;
  ULONG ulFlags;
  LPVOID lpReserved;
  ULONG ulHelpContext;
  LPTSTR lpszHelpFileName;
  LPFNABSDI lpfnABSDI;
  LPFNDISMISS lpfnDismiss;
  LPVOID lpvDismissContext;
  LPTSTR lpszCaption;
  LPTSTR lpszNewEntryTitle;
  LPTSTR lpszDestWellsTitle;
  ULONG cDestFields;
  ULONG nDestFieldFocus;
  LPTSTR* lppszDestTitles;
  ULONG* lpulDestComps;
  LPSRestriction lpContRestriction;
  LPSRestriction lpHierRestriction;
};
using LPADRPARM = ADRPARM*;

// Named properties.
struct MAPINAMEID {
  LPGUID lpguid;
  ULONG ulKind;
  union {
    LONG lID;
    LPWSTR lpwstrName;
  } Kind;
};
using LPMAPINAMEID = MAPINAMEID*;

struct MAPIERROR {
  ULONG ulVersion;
  LPTSTR lpszError;
  LPTSTR lpszComponent;
  ULONG ulLowLevelError;
  ULONG ulContext;
};
using LPMAPIERROR = MAPIERROR*;

struct MAPIINIT_0 {
  ULONG ulVersion;
  ULONG ulFlags;
};

struct STATSTG {
  LPOLESTR pwcsName;
  DWORD type;
  ULARGE_INTEGER cbSize;
  FILETIME mtime;
  FILETIME ctime;
  FILETIME atime;
  DWORD grfMode;
  DWORD grfLocksSupported;
  CLSID clsid;
  DWORD grfStateBits;
  DWORD reserved;
};

// ---------------------------------------------------------------------------
// Interface and property-set identifiers.

#define CORVID_MAPI_GUID(d1, d2, d3) \
  GUID { d1, d2, d3, { 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46 } }

using win::IID_IUnknown;
inline constexpr IID IID_IStream = CORVID_MAPI_GUID(0x0000000C, 0x0000, 0x0000);
inline constexpr IID IID_ISequentialStream = {0x0C733A30, 0x2A1C, 0x11CE, {0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D}};
inline constexpr IID IID_IMAPISession = CORVID_MAPI_GUID(0x00020300, 0x0000, 0x0000);
inline constexpr IID IID_IMAPITable = CORVID_MAPI_GUID(0x00020301, 0x0000, 0x0000);
inline constexpr IID IID_IMAPIAdviseSink = CORVID_MAPI_GUID(0x00020302, 0x0000, 0x0000);
inline constexpr IID IID_IMAPIProp = CORVID_MAPI_GUID(0x00020303, 0x0000, 0x0000);
inline constexpr IID IID_IMsgStore = CORVID_MAPI_GUID(0x00020306, 0x0000, 0x0000);
inline constexpr IID IID_IMessage = CORVID_MAPI_GUID(0x00020307, 0x0000, 0x0000);
inline constexpr IID IID_IAttachment = CORVID_MAPI_GUID(0x00020308, 0x0000, 0x0000);
inline constexpr IID IID_IAddrBook = CORVID_MAPI_GUID(0x00020309, 0x0000, 0x0000);
inline constexpr IID IID_IMAPIContainer = CORVID_MAPI_GUID(0x0002030B, 0x0000, 0x0000);
inline constexpr IID IID_IMAPIFolder = CORVID_MAPI_GUID(0x0002030C, 0x0000, 0x0000);
inline constexpr IID IID_IMAPIProgress = CORVID_MAPI_GUID(0x0002031F, 0x0000, 0x0000);

inline constexpr GUID PS_MAPI = CORVID_MAPI_GUID(0x00020328, 0x0000, 0x0000);
inline constexpr GUID PS_PUBLIC_STRINGS = CORVID_MAPI_GUID(0x00020329, 0x0000, 0x0000);

#undef CORVID_MAPI_GUID

}  // namespace corvid::mapi
