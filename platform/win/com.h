// The COM basics that interfaces of every kind are built on: result codes,
// GUIDs and interface identifiers, IUnknown with its reference counting, and
// a holder of one reference. MAPI's interfaces and the running-object table
// both build on these, so they live below both.
//
// Header only: a module that loads another at run time includes this
// without linking anything.
#pragma once

#include <cstdint>
#include <cstring>
#include <utility>

#include "platform/win/win_types.h"

namespace corvid::win {

using HRESULT = int32_t;

struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};
using IID = GUID;
using CLSID = GUID;
using LPGUID = GUID*;
using LPCIID = const IID*;
using REFIID = const IID&;

inline bool IsEqualGUID(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }
inline bool operator==(const GUID& a, const GUID& b) { return IsEqualGUID(a, b); }

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
inline constexpr bool FAILED(HRESULT hr) { return hr < 0; }

// Result codes are written as the unsigned hex Windows documents.
inline constexpr HRESULT HResult(uint32_t value) { return static_cast<HRESULT>(value); }

inline constexpr HRESULT E_FAIL = HResult(0x80004005);
inline constexpr HRESULT E_NOINTERFACE = HResult(0x80004002);
inline constexpr HRESULT E_OUTOFMEMORY = HResult(0x8007000E);
inline constexpr HRESULT E_INVALIDARG = HResult(0x80070057);
inline constexpr HRESULT E_ACCESSDENIED = HResult(0x80070005);
inline constexpr HRESULT E_NOTIMPL = HResult(0x80004001);

// "{00000000-0000-0000-C000-000000000046}"
inline constexpr IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

// Objects are reference counted: every method that hands out an interface
// pointer has added a reference for the caller, who gives it back with
// Release(). Nobody deletes an interface pointer (the destructors are
// protected for that reason).
class IUnknown {
 public:
  // S_OK and an added reference when the object offers `riid`, else
  // E_NOINTERFACE and *ppvObject null.
  virtual HRESULT QueryInterface(REFIID riid, void** ppvObject) = 0;
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;

 protected:
  ~IUnknown() = default;
};
using LPUNKNOWN = IUnknown*;

// Holds one reference of a COM object and gives it back when it goes.
template <typename T>
class TComRef {
 public:
  TComRef() = default;
  explicit TComRef(T* adopted) : p_(adopted) {}
  TComRef(const TComRef& other) : p_(other.p_) {
    if (p_) p_->AddRef();
  }
  TComRef& operator=(TComRef other) {
    std::swap(p_, other.p_);
    return *this;
  }
  ~TComRef() {
    if (p_) p_->Release();
  }
  // Takes a reference of its own on an object the caller keeps.
  static TComRef Share(T* object) {
    if (object) object->AddRef();
    return TComRef(object);
  }
  T* get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  // Hands the reference to the caller.
  T* Detach() {
    T* p = p_;
    p_ = nullptr;
    return p;
  }

 private:
  T* p_ = nullptr;
};

}  // namespace corvid::win
