// What every object of the store shares: COM reference counting, the text
// of the last failure for GetLastError, the one place where exceptions
// become result codes (Guarded), and a property object base that answers
// GetProps, SetProps, DeleteProps, GetPropList and GetIDsFromNames from a
// few hooks. Internal to platform/mapi.
#pragma once

#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/mapi/mapi_error.h"
#include "platform/mapi/mapi_interfaces.h"
#include "platform/mapi/prop_value.h"

namespace corvid::mapi {

// The last failure of one object, for GetLastError.
class TErrorSlot {
 public:
  void Set(const std::string& text) {
    std::lock_guard lock(mutex_);
    text_ = text;
  }
  std::string Get() const {
    std::lock_guard lock(mutex_);
    return text_;
  }

 private:
  mutable std::mutex mutex_;
  std::string text_;
};

// Runs `body`, answering its result; an exception becomes its result code
// and its text is kept for GetLastError.
template <typename Body>
HRESULT Guarded(TErrorSlot& slot, Body&& body) {
  try {
    return body();
  } catch (...) {
    std::string text;
    const HRESULT code = ResultFromException(&text);
    slot.Set(text);
    return code;
  }
}

// A MAPIERROR with the slot's text, for the GetLastError methods.
HRESULT LastErrorOf(const TErrorSlot& slot, HRESULT result, LPMAPIERROR* error);

// Reference counting for one object; the object deletes itself when the
// last reference goes. Starts with one reference, the creator's.
template <typename Interface>
class TComObject : public Interface {
 public:
  ULONG AddRef() override { return ++references_; }
  ULONG Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }

 protected:
  TComObject() = default;
  virtual ~TComObject() = default;
  TComObject(const TComObject&) = delete;
  TComObject& operator=(const TComObject&) = delete;

  // Answers QueryInterface for the identifiers listed (IID_IUnknown always).
  HRESULT QueryAs(REFIID riid, void** object, std::initializer_list<IID> offered) {
    if (object == nullptr) return MAPI_E_INVALID_PARAMETER;
    *object = nullptr;
    bool found = IsEqualGUID(riid, IID_IUnknown);
    for (const IID& iid : offered) found = found || IsEqualGUID(riid, iid);
    if (!found) return MAPI_E_INTERFACE_NOT_SUPPORTED;
    this->AddRef();
    *object = static_cast<Interface*>(this);
    return S_OK;
  }

  TErrorSlot error_;

 private:
  std::atomic<ULONG> references_{1};
};

using win::TComRef;

// CompareEntryIDs of the session and of a store: *result is 1 when both
// identifiers name the same object, else 0. Throws MAPI_E_INVALID_PARAMETER
// without `result`, MAPI_E_UNKNOWN_ENTRYID (with `unknown` as its text) for
// bytes that are not an identifier of ours. For use inside Guarded.
HRESULT CompareEntryIds(ULONG size1, const ENTRYID* id1, ULONG size2, const ENTRYID* id2, ULONG* result,
                        const char* unknown);

// The value for a caller who asked with `asked` (type PT_UNSPECIFIED takes
// the value's own type; PT_STRING8 and PT_UNICODE convert into each other;
// any other mismatch is a PT_ERROR of MAPI_E_INVALID_TYPE).
TProp ValueAsAsked(ULONG asked, const std::optional<TProp>& value, bool unicode);

// IMAPIProp's property methods over three hooks. Interface is IMAPIProp
// or one of its descendants.
template <typename Interface>
class TPropObject : public TComObject<Interface> {
 public:
  HRESULT GetLastError(HRESULT hResult, ULONG ulFlags, LPMAPIERROR* lppMAPIError) override {
    return LastErrorOf(this->error_, hResult, lppMAPIError);
  }
  HRESULT SaveChanges(ULONG ulFlags) override { return S_OK; }
  HRESULT GetProps(LPSPropTagArray lpPropTagArray, ULONG ulFlags, ULONG* lpcValues,
                   LPSPropValue* lppPropArray) override {
    return Guarded(this->error_, [&] {
      Require(lpcValues != nullptr && lppPropArray != nullptr, MAPI_E_INVALID_PARAMETER, "Missing out-parameters");
      std::vector<ULONG> tags = lpPropTagArray ? TagsOf(lpPropTagArray) : PropTags();
      std::vector<TProp> values;
      bool errors = false;
      for (ULONG tag : tags) {
        TProp value = ValueAsAsked(tag, GetProp(tag), (ulFlags & MAPI_UNICODE) != 0);
        errors = errors || value.Type() == PT_ERROR;
        values.push_back(std::move(value));
      }
      *lppPropArray = NewPropArray(values, lpcValues);
      return errors ? MAPI_W_ERRORS_RETURNED : S_OK;
    });
  }
  HRESULT GetPropList(ULONG ulFlags, LPSPropTagArray* lppPropTagArray) override {
    return Guarded(this->error_, [&] {
      Require(lppPropTagArray != nullptr, MAPI_E_INVALID_PARAMETER, "Missing out-parameter");
      *lppPropTagArray = NewTagArray(PropTags());
      return S_OK;
    });
  }
  HRESULT OpenProperty(ULONG ulPropTag, LPCIID lpiid, ULONG ulInterfaceOptions, ULONG ulFlags,
                       LPUNKNOWN* lppUnk) override {
    return MAPI_E_NO_SUPPORT;
  }
  HRESULT SetProps(ULONG cValues, LPSPropValue lpPropArray, LPSPropProblemArray* lppProblems) override {
    return Guarded(this->error_, [&] {
      if (lppProblems) *lppProblems = nullptr;
      Require(cValues == 0 || lpPropArray != nullptr, MAPI_E_INVALID_PARAMETER, "Values missing");
      RequireWritable();
      std::vector<TPropProblem> problems;
      for (ULONG i = 0; i < cValues; ++i) {
        SCODE code = S_OK;
        try {
          code = SetProp(FromSPropValue(lpPropArray[i]));
        } catch (const EMapiError& error) {
          code = error.Code();
        }
        if (code != S_OK) problems.push_back({i, lpPropArray[i].ulPropTag, code});
      }
      if (lppProblems) *lppProblems = NewProblemArray(problems);
      return S_OK;
    });
  }
  HRESULT DeleteProps(LPSPropTagArray lpPropTagArray, LPSPropProblemArray* lppProblems) override {
    return Guarded(this->error_, [&] {
      if (lppProblems) *lppProblems = nullptr;
      Require(lpPropTagArray != nullptr, MAPI_E_INVALID_PARAMETER, "Tags missing");
      RequireWritable();
      std::vector<TPropProblem> problems;
      for (ULONG i = 0; i < lpPropTagArray->cValues; ++i) {
        const ULONG tag = lpPropTagArray->aulPropTag[i];
        SCODE code = S_OK;
        try {
          code = DeleteProp(tag);
        } catch (const EMapiError& error) {
          code = error.Code();
        }
        if (code != S_OK) problems.push_back({i, tag, code});
      }
      if (lppProblems) *lppProblems = NewProblemArray(problems);
      return S_OK;
    });
  }
  HRESULT CopyTo(ULONG ciidExclude, LPCIID rgiidExclude, LPSPropTagArray lpExcludeProps, ULONG_PTR ulUIParam,
                 LPMAPIPROGRESS lpProgress, LPCIID lpInterface, LPVOID lpDestObj, ULONG ulFlags,
                 LPSPropProblemArray* lppProblems) override {
    return MAPI_E_NO_SUPPORT;
  }
  HRESULT CopyProps(LPSPropTagArray lpIncludeProps, ULONG_PTR ulUIParam, LPMAPIPROGRESS lpProgress,
                    LPCIID lpInterface, LPVOID lpDestObj, ULONG ulFlags,
                    LPSPropProblemArray* lppProblems) override {
    return MAPI_E_NO_SUPPORT;
  }
  HRESULT GetNamesFromIDs(LPSPropTagArray* lppPropTags, LPGUID lpPropSetGuid, ULONG ulFlags, ULONG* lpcPropNames,
                          LPMAPINAMEID** lpppPropNames) override {
    return MAPI_E_NO_SUPPORT;
  }
  HRESULT GetIDsFromNames(ULONG cPropNames, LPMAPINAMEID* lppPropNames, ULONG ulFlags,
                          LPSPropTagArray* lppPropTags) override;

 protected:
  // Every tag the object has a value for (with its type).
  virtual std::vector<ULONG> PropTags() = 0;
  // The value for this property id (the type in `tag` is a wish only).
  virtual std::optional<TProp> GetProp(ULONG tag) = 0;
  // S_OK, or the problem code for this value (MAPI_E_COMPUTED, ...).
  virtual SCODE SetProp(const TProp& value) { return MAPI_E_NO_ACCESS; }
  virtual SCODE DeleteProp(ULONG tag) { return MAPI_E_NO_ACCESS; }
  // Raises MAPI_E_NO_ACCESS when the object was opened for reading only.
  virtual void RequireWritable() {}
};

// Named-property identifiers from the process-wide map (named_props.h).
HRESULT IdsFromNames(ULONG cPropNames, LPMAPINAMEID* lppPropNames, ULONG ulFlags, LPSPropTagArray* lppPropTags);

template <typename Interface>
HRESULT TPropObject<Interface>::GetIDsFromNames(ULONG cPropNames, LPMAPINAMEID* lppPropNames, ULONG ulFlags,
                                                LPSPropTagArray* lppPropTags) {
  return Guarded(this->error_, [&] { return IdsFromNames(cPropNames, lppPropNames, ulFlags, lppPropTags); });
}

}  // namespace corvid::mapi
