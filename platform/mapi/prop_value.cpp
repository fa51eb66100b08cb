#include "platform/mapi/prop_value.h"

#include <cstring>

#include "platform/mapi/mapi32.h"
#include "platform/mapi/mapi_error.h"

namespace corvid::mapi {

bool IsKeptType(ULONG type) {
  switch (type) {
    case PT_I2:
    case PT_LONG:
    case PT_BOOLEAN:
    case PT_ERROR:
    case PT_I8:
    case PT_SYSTIME:
    case PT_CURRENCY:
    case PT_DOUBLE:
    case PT_R4:
    case PT_APPTIME:
    case PT_STRING8:
    case PT_UNICODE:
    case PT_BINARY:
    case PT_CLSID:
      return true;
    default:
      return false;
  }
}

TProp FromSPropValue(const SPropValue& value) {
  TProp prop;
  prop.tag = value.ulPropTag;
  const _PV& v = value.Value;
  switch (PROP_TYPE(value.ulPropTag)) {
    case PT_I2:
      prop.number = v.i;
      break;
    case PT_LONG:
      prop.number = v.l;
      break;
    case PT_BOOLEAN:
      prop.number = v.b != 0 ? 1 : 0;
      break;
    case PT_ERROR:
      prop.number = v.err;
      break;
    case PT_I8:
      prop.number = v.li.QuadPart;
      break;
    case PT_CURRENCY:
      prop.number = v.cur.int64;
      break;
    case PT_SYSTIME:
      prop.number = static_cast<int64_t>((uint64_t{v.ft.dwHighDateTime} << 32) | v.ft.dwLowDateTime);
      break;
    case PT_DOUBLE:
      prop.real = v.dbl;
      break;
    case PT_APPTIME:
      prop.real = v.at;
      break;
    case PT_R4:
      prop.real = v.flt;
      break;
    case PT_STRING8:
      Require(v.lpszA != nullptr, MAPI_E_INVALID_PARAMETER, "A text property without text");
      prop.bytes = v.lpszA;
      break;
    case PT_UNICODE:
      Require(v.lpszW != nullptr, MAPI_E_INVALID_PARAMETER, "A text property without text");
      for (const char16_t* p = v.lpszW; *p != 0; ++p) prop.bytes.append(reinterpret_cast<const char*>(p), 2);
      break;
    case PT_BINARY:
      Require(v.bin.cb == 0 || v.bin.lpb != nullptr, MAPI_E_INVALID_PARAMETER, "A binary property without bytes");
      prop.bytes.assign(reinterpret_cast<const char*>(v.bin.lpb), v.bin.cb);
      break;
    case PT_CLSID:
      Require(v.lpguid != nullptr, MAPI_E_INVALID_PARAMETER, "A GUID property without GUID");
      prop.bytes.assign(reinterpret_cast<const char*>(v.lpguid), sizeof(GUID));
      break;
    default:
      throw EMapiError(MAPI_E_INVALID_TYPE, "This store does not keep properties of that type");
  }
  return prop;
}

void ToSPropValue(const TProp& prop, SPropValue* out, void* root) {
  std::memset(out, 0, sizeof *out);
  out->ulPropTag = prop.tag;
  _PV& v = out->Value;
  switch (prop.Type()) {
    case PT_I2:
      v.i = static_cast<short>(prop.number);
      break;
    case PT_LONG:
      v.l = static_cast<LONG>(prop.number);
      break;
    case PT_BOOLEAN:
      v.b = prop.number != 0 ? 1 : 0;
      break;
    case PT_ERROR:
      v.err = static_cast<SCODE>(prop.number);
      break;
    case PT_I8:
      v.li.QuadPart = prop.number;
      break;
    case PT_CURRENCY:
      v.cur.int64 = prop.number;
      break;
    case PT_SYSTIME:
      v.ft.dwLowDateTime = static_cast<DWORD>(static_cast<uint64_t>(prop.number));
      v.ft.dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(prop.number) >> 32);
      break;
    case PT_DOUBLE:
      v.dbl = prop.real;
      break;
    case PT_APPTIME:
      v.at = prop.real;
      break;
    case PT_R4:
      v.flt = static_cast<float>(prop.real);
      break;
    case PT_STRING8: {
      char* text = static_cast<char*>(AllocateMore(prop.bytes.size() + 1, root));
      std::memcpy(text, prop.bytes.data(), prop.bytes.size());
      v.lpszA = text;
      break;
    }
    case PT_UNICODE: {
      const size_t units = prop.bytes.size() / 2;
      auto* text = static_cast<char16_t*>(AllocateMore((units + 1) * 2, root));
      std::memcpy(text, prop.bytes.data(), units * 2);
      v.lpszW = text;
      break;
    }
    case PT_BINARY: {
      v.bin.cb = static_cast<ULONG>(prop.bytes.size());
      v.bin.lpb = static_cast<LPBYTE>(AllocateMore(prop.bytes.size() + 1, root));
      std::memcpy(v.bin.lpb, prop.bytes.data(), prop.bytes.size());
      break;
    }
    case PT_CLSID: {
      v.lpguid = static_cast<LPGUID>(AllocateMore(sizeof(GUID), root));
      std::memcpy(v.lpguid, prop.bytes.data(), std::min(prop.bytes.size(), sizeof(GUID)));
      break;
    }
    default:
      out->ulPropTag = PROP_TAG(PT_ERROR, PROP_ID(prop.tag));
      v.err = MAPI_E_INVALID_TYPE;
      break;
  }
}

int64_t FileTimeFromUnixNanoseconds(int64_t unix_ns) {
  constexpr int64_t kEpochDifference = 116444736000000000;  // 1601 to 1970 in 100 ns
  return unix_ns / 100 + kEpochDifference;
}

int64_t FileTimeFromUnixSeconds(int64_t unix_seconds) {
  return FileTimeFromUnixNanoseconds(unix_seconds * 1000000000);
}

void TMapiFree::operator()(void* block) const { MAPIFreeBuffer(block); }

void* AllocateBuffer(size_t size) {
  Require(size <= 0xFFFFFFF0u, MAPI_E_NOT_ENOUGH_MEMORY, "A block too large for MAPI");
  void* block = nullptr;
  const SCODE result = MAPIAllocateBuffer(static_cast<ULONG>(size), &block);
  if (result != S_OK) throw EMapiError(result, "Out of memory");
  return block;
}

void* AllocateMore(size_t size, void* root) {
  Require(size <= 0xFFFFFFF0u, MAPI_E_NOT_ENOUGH_MEMORY, "A block too large for MAPI");
  void* block = nullptr;
  const SCODE result = MAPIAllocateMore(static_cast<ULONG>(size), root, &block);
  if (result != S_OK) throw EMapiError(result, "Out of memory");
  return block;
}

LPSPropValue NewPropArray(const std::vector<TProp>& props, ULONG* count) {
  auto* array = static_cast<LPSPropValue>(AllocateBuffer(sizeof(SPropValue) * std::max<size_t>(props.size(), 1)));
  try {
    for (size_t i = 0; i < props.size(); ++i) ToSPropValue(props[i], &array[i], array);
  } catch (...) {
    MAPIFreeBuffer(array);
    throw;
  }
  *count = static_cast<ULONG>(props.size());
  return array;
}

LPSPropProblemArray NewProblemArray(const std::vector<TPropProblem>& problems) {
  if (problems.empty()) return nullptr;
  auto* array = static_cast<LPSPropProblemArray>(AllocateBuffer(CbNewSPropProblemArray(problems.size())));
  array->cProblem = static_cast<ULONG>(problems.size());
  for (size_t i = 0; i < problems.size(); ++i) {
    array->aProblem[i] = {problems[i].index, problems[i].tag, problems[i].code};
  }
  return array;
}

LPSPropTagArray NewTagArray(const std::vector<ULONG>& tags) {
  auto* array = static_cast<LPSPropTagArray>(AllocateBuffer(CbNewSPropTagArray(tags.size())));
  array->cValues = static_cast<ULONG>(tags.size());
  for (size_t i = 0; i < tags.size(); ++i) array->aulPropTag[i] = tags[i];
  return array;
}

std::vector<ULONG> TagsOf(const SPropTagArray* tags) {
  if (tags == nullptr) return {};
  return std::vector<ULONG>(tags->aulPropTag, tags->aulPropTag + tags->cValues);
}

LPENTRYID NewEntryId(const std::string& bytes, ULONG* size) {
  auto* id = static_cast<LPENTRYID>(AllocateBuffer(std::max<size_t>(bytes.size(), sizeof(ENTRYID))));
  std::memcpy(id, bytes.data(), bytes.size());
  *size = static_cast<ULONG>(bytes.size());
  return id;
}

std::string EntryIdBytes(ULONG size, const ENTRYID* id) {
  if (size == 0) return {};
  Require(id != nullptr, MAPI_E_INVALID_PARAMETER, "An entry identifier size without identifier");
  return std::string(reinterpret_cast<const char*>(id), size);
}

std::string Utf8FromUtf16(const char16_t* text) {
  std::string out;
  if (text == nullptr) return out;
  auto put = [&out](uint32_t cp) {
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  };
  for (const char16_t* p = text; *p != 0; ++p) {
    const uint32_t unit = *p;
    if (unit >= 0xD800 && unit < 0xDC00 && p[1] >= 0xDC00 && p[1] < 0xE000) {
      put(0x10000 + ((unit - 0xD800) << 10) + (p[1] - 0xDC00));
      ++p;
    } else if (unit >= 0xD800 && unit < 0xE000) {
      put(0xFFFD);
    } else {
      put(unit);
    }
  }
  return out;
}

std::u16string Utf16FromUtf8(const std::string& text) {
  std::u16string out;
  size_t i = 0;
  while (i < text.size()) {
    const auto byte = static_cast<unsigned char>(text[i]);
    uint32_t cp = 0xFFFD;
    size_t length = 1;
    if (byte < 0x80) {
      cp = byte;
    } else if ((byte & 0xE0) == 0xC0) {
      length = 2;
    } else if ((byte & 0xF0) == 0xE0) {
      length = 3;
    } else if ((byte & 0xF8) == 0xF0) {
      length = 4;
    }
    if (length > 1) {
      if (i + length > text.size()) {
        length = 1;
      } else {
        cp = byte & (0x7F >> length);
        for (size_t k = 1; k < length; ++k) {
          const auto next = static_cast<unsigned char>(text[i + k]);
          if ((next & 0xC0) != 0x80) {
            cp = 0xFFFD;
            length = k;
            break;
          }
          cp = (cp << 6) | (next & 0x3F);
        }
      }
    }
    if (cp >= 0x10000 && cp <= 0x10FFFF) {
      cp -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (cp >> 10));
      out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp > 0x10FFFF ? 0xFFFD : cp);
    }
    i += length;
  }
  return out;
}

}  // namespace corvid::mapi
