// The store's one failure type and its translations. Inside platform/mapi a
// failure is an EMapiError carrying the MAPI result code that the interface
// method will answer; errno values become result codes in ErrorFromErrno
// only, and exceptions become result codes in ResultFromException only, at
// the interface boundary. Checks of caller input go through Require, so they
// read alike and can be audited.
#pragma once

#include <string>

#include "base/exception.h"
#include "platform/mapi/mapi_types.h"

namespace corvid::mapi {

class EMapiError : public Exception {
 public:
  EMapiError(HRESULT code, const std::string& message) : Exception(message), code_(code) {}
  HRESULT Code() const { return code_; }

 private:
  HRESULT code_;
};

// MAPI's result for a POSIX error number (ENOENT gives MAPI_E_NOT_FOUND,
// ENOSPC MAPI_E_NOT_ENOUGH_DISK, EACCES MAPI_E_NO_ACCESS, ...).
HRESULT ErrorFromErrno(int error);

// Raises EMapiError for `error` with "what: strerror".
[[noreturn]] void ThrowErrno(int error, const std::string& what);

// Raises EMapiError(code, message) unless `condition` holds.
inline void Require(bool condition, HRESULT code, const char* message) {
  if (!condition) throw EMapiError(code, message);
}

// The result code for the exception being handled (call inside a catch
// block): an EMapiError's own code, MAPI_E_NOT_ENOUGH_MEMORY for bad_alloc,
// MAPI_E_CALL_FAILED for anything else. `message` (may be null) receives
// the text for GetLastError.
HRESULT ResultFromException(std::string* message);

// A short English name of a result code ("MAPI_E_NOT_FOUND"), or its hex
// value for codes without one; for tools and test messages.
std::string ResultName(HRESULT code);

}  // namespace corvid::mapi
