#include "platform/mapi/mapi_object.h"

#include <cstring>

#include "platform/mapi/entry_id.h"
#include "platform/mapi/named_props.h"

namespace corvid::mapi {

HRESULT LastErrorOf(const TErrorSlot& slot, HRESULT result, LPMAPIERROR* error) {
  if (error == nullptr) return MAPI_E_INVALID_PARAMETER;
  *error = nullptr;
  const std::string text = slot.Get();
  if (text.empty()) return S_OK;
  try {
    auto* record = static_cast<LPMAPIERROR>(AllocateBuffer(sizeof(MAPIERROR)));
    record->ulVersion = 0;
    record->lpszError = static_cast<char*>(AllocateMore(text.size() + 1, record));
    std::memcpy(record->lpszError, text.c_str(), text.size() + 1);
    static const char kComponent[] = "Corvid message store";
    record->lpszComponent = static_cast<char*>(AllocateMore(sizeof kComponent, record));
    std::memcpy(record->lpszComponent, kComponent, sizeof kComponent);
    *error = record;
    return S_OK;
  } catch (...) {
    return ResultFromException(nullptr);
  }
}

HRESULT CompareEntryIds(ULONG size1, const ENTRYID* id1, ULONG size2, const ENTRYID* id2, ULONG* result,
                        const char* unknown) {
  Require(result != nullptr, MAPI_E_INVALID_PARAMETER, "Missing out-parameter");
  const auto a = DecodeEntryId(EntryIdBytes(size1, id1));
  const auto b = DecodeEntryId(EntryIdBytes(size2, id2));
  Require(a.has_value() && b.has_value(), MAPI_E_UNKNOWN_ENTRYID, unknown);
  // Encoding again drops whatever differs without naming another object.
  *result = EncodeEntryId(*a) == EncodeEntryId(*b) ? 1 : 0;
  return S_OK;
}

TProp ValueAsAsked(ULONG asked, const std::optional<TProp>& value, bool unicode) {
  if (!value) return TProp::Error(asked, MAPI_E_NOT_FOUND);
  if (value->Type() == PT_ERROR) return TProp::Error(asked, static_cast<HRESULT>(value->number));
  const ULONG asked_type = PROP_TYPE(asked);
  TProp out = *value;
  const ULONG id = PROP_ID(asked);
  if (asked_type == PT_UNSPECIFIED) {
    if (unicode && value->Type() == PT_STRING8) {
      std::u16string wide = Utf16FromUtf8(value->bytes);
      out.bytes.assign(reinterpret_cast<const char*>(wide.data()), wide.size() * 2);
      out.tag = PROP_TAG(PT_UNICODE, id);
    } else {
      out.tag = PROP_TAG(value->Type(), id);
    }
    return out;
  }
  if (asked_type == value->Type()) {
    out.tag = PROP_TAG(asked_type, id);
    return out;
  }
  if (asked_type == PT_UNICODE && value->Type() == PT_STRING8) {
    std::u16string wide = Utf16FromUtf8(value->bytes);
    out.bytes.assign(reinterpret_cast<const char*>(wide.data()), wide.size() * 2);
    out.tag = PROP_TAG(PT_UNICODE, id);
    return out;
  }
  if (asked_type == PT_STRING8 && value->Type() == PT_UNICODE) {
    std::u16string wide(value->bytes.size() / 2, u'\0');
    std::memcpy(wide.data(), value->bytes.data(), wide.size() * 2);
    out.bytes = Utf8FromUtf16(wide.c_str());
    out.tag = PROP_TAG(PT_STRING8, id);
    return out;
  }
  return TProp::Error(asked, MAPI_E_INVALID_TYPE);
}

HRESULT IdsFromNames(ULONG cPropNames, LPMAPINAMEID* lppPropNames, ULONG ulFlags, LPSPropTagArray* lppPropTags) {
  Require(lppPropTags != nullptr, MAPI_E_INVALID_PARAMETER, "Missing out-parameter");
  *lppPropTags = nullptr;
  // Listing every named property of the object is not offered.
  Require(cPropNames > 0 && lppPropNames != nullptr, MAPI_E_NO_SUPPORT, "Give the names to look up");
  std::vector<ULONG> tags;
  bool errors = false;
  for (ULONG i = 0; i < cPropNames; ++i) {
    const MAPINAMEID* name = lppPropNames[i];
    ULONG id = 0;
    if (name != nullptr && name->lpguid != nullptr && (name->ulKind == MNID_ID || name->ulKind == MNID_STRING) &&
        (name->ulKind == MNID_ID || name->Kind.lpwstrName != nullptr)) {
      TNamedKey key;
      key.guid = *name->lpguid;
      key.kind = name->ulKind;
      if (name->ulKind == MNID_ID) {
        key.id = name->Kind.lID;
      } else {
        key.name = Utf8FromUtf16(name->Kind.lpwstrName);
      }
      id = NamedPropId(key, (ulFlags & MAPI_CREATE) != 0);
    }
    if (id == 0) {
      errors = true;
      tags.push_back(PROP_TAG(PT_ERROR, PROP_ID_NULL));
    } else {
      tags.push_back(PROP_TAG(PT_UNSPECIFIED, id));
    }
  }
  *lppPropTags = NewTagArray(tags);
  return errors ? MAPI_W_ERRORS_RETURNED : S_OK;
}

}  // namespace corvid::mapi
