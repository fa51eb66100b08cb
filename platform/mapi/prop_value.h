// Property values as the store keeps them (TProp, plain C++ values) and
// their conversion to and from MAPI's SPropValue records in MAPI memory.
// Internal to platform/mapi.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/mapi/entry_id.h"
#include "platform/mapi/mapi_types.h"

namespace corvid::mapi {

// One property. Numbers (PT_I2, PT_LONG, PT_BOOLEAN, PT_ERROR, PT_I8,
// PT_SYSTIME, PT_CURRENCY) live in `number`; PT_DOUBLE, PT_R4 and PT_APPTIME
// in `real`; PT_STRING8 (UTF-8), PT_BINARY, PT_CLSID (16 bytes) and
// PT_UNICODE (UTF-16 code units, native order) in `bytes`. Multi-valued and
// object properties are not kept.
struct TProp {
  ULONG tag = PR_NULL;
  int64_t number = 0;
  double real = 0;
  std::string bytes;

  ULONG Type() const { return PROP_TYPE(tag); }
  static TProp Long(ULONG tag, int64_t value) { return TProp{tag, value, 0, {}}; }
  static TProp Bool(ULONG tag, bool value) { return TProp{tag, value ? 1 : 0, 0, {}}; }
  static TProp Bytes(ULONG tag, std::string value) { return TProp{tag, 0, 0, std::move(value)}; }
  static TProp Error(ULONG id_tag, HRESULT error) {
    return TProp{PROP_TAG(PT_ERROR, PROP_ID(id_tag)), error, 0, {}};
  }
  bool operator==(const TProp&) const = default;
};

using TPropMap = std::map<ULONG, TProp>;  // keyed by property id (tag >> 16)

// Whether values of this type can be kept in a TProp.
bool IsKeptType(ULONG type);

// The value of a caller's record. Raises EMapiError(MAPI_E_INVALID_TYPE)
// for a type that is not kept, MAPI_E_INVALID_PARAMETER for a null pointer
// where a text or bytes are due.
TProp FromSPropValue(const SPropValue& value);

// Writes `prop` into `out`, allocating texts and bytes with
// MAPIAllocateMore on `root`. Raises EMapiError on allocation failure.
void ToSPropValue(const TProp& prop, SPropValue* out, void* root);

// Time conversions: FILETIME counts 100 ns since 1601-01-01 UTC.
int64_t FileTimeFromUnixNanoseconds(int64_t unix_ns);
int64_t FileTimeFromUnixSeconds(int64_t unix_seconds);

// Frees with MAPIFreeBuffer.
struct TMapiFree {
  void operator()(void* block) const;
};
template <typename T>
using TMapiPtr = std::unique_ptr<T, TMapiFree>;

// A zero-filled MAPIAllocateBuffer block; raises on failure.
void* AllocateBuffer(size_t size);
void* AllocateMore(size_t size, void* root);

// The values of `props` (in that order) as one property array in one
// MAPI block; *count receives the number.
LPSPropValue NewPropArray(const std::vector<TProp>& props, ULONG* count);

// A problem array for (index, tag, code) triples, or null when empty.
struct TPropProblem {
  ULONG index;
  ULONG tag;
  SCODE code;
};
LPSPropProblemArray NewProblemArray(const std::vector<TPropProblem>& problems);

// A tag array in one MAPI block.
LPSPropTagArray NewTagArray(const std::vector<ULONG>& tags);

// Copies a caller's tag array; null gives an empty vector.
std::vector<ULONG> TagsOf(const SPropTagArray* tags);

// An entry identifier in one MAPI block; *size receives its size.
LPENTRYID NewEntryId(const std::string& bytes, ULONG* size);
// The bytes of a caller's entry identifier (null with size 0 gives "").
std::string EntryIdBytes(ULONG size, const ENTRYID* id);

// A UTF-8 text from UTF-16 code units, and back. Unpaired surrogates
// become U+FFFD.
std::string Utf8FromUtf16(const char16_t* text);
std::u16string Utf16FromUtf8(const std::string& text);

}  // namespace corvid::mapi
