#include "platform/mapi/mapi_error.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

namespace corvid::mapi {

HRESULT ErrorFromErrno(int error) {
  switch (error) {
    case 0:
      return S_OK;
    case ENOENT:
    case ENOTDIR:
      return MAPI_E_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
      return MAPI_E_NO_ACCESS;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return MAPI_E_NOT_ENOUGH_DISK;
    case ENOMEM:
      return MAPI_E_NOT_ENOUGH_MEMORY;
    case EMFILE:
    case ENFILE:
      return MAPI_E_NOT_ENOUGH_RESOURCES;
    case EEXIST:
      return MAPI_E_COLLISION;
    case EINVAL:
    case ENAMETOOLONG:
      return MAPI_E_INVALID_PARAMETER;
    case EBUSY:
    case ETXTBSY:
      return MAPI_E_BUSY;
    default:
      return MAPI_E_DISK_ERROR;
  }
}

void ThrowErrno(int error, const std::string& what) {
  throw EMapiError(ErrorFromErrno(error), what + ": " + std::strerror(error));
}

HRESULT ResultFromException(std::string* message) {
  try {
    throw;
  } catch (const EMapiError& error) {
    if (message) *message = error.what();
    return error.Code();
  } catch (const std::bad_alloc&) {
    if (message) *message = "Out of memory";
    return MAPI_E_NOT_ENOUGH_MEMORY;
  } catch (const std::exception& error) {
    if (message) *message = error.what();
    return MAPI_E_CALL_FAILED;
  } catch (...) {
    if (message) *message = "Unknown failure";
    return MAPI_E_CALL_FAILED;
  }
}

std::string ResultName(HRESULT code) {
  struct Name {
    HRESULT code;
    const char* name;
  };
  static const Name kNames[] = {
      {S_OK, "S_OK"},
      {S_FALSE, "S_FALSE"},
      {MAPI_E_CALL_FAILED, "MAPI_E_CALL_FAILED"},
      {MAPI_E_NOT_ENOUGH_MEMORY, "MAPI_E_NOT_ENOUGH_MEMORY"},
      {MAPI_E_INVALID_PARAMETER, "MAPI_E_INVALID_PARAMETER"},
      {MAPI_E_INTERFACE_NOT_SUPPORTED, "MAPI_E_INTERFACE_NOT_SUPPORTED"},
      {MAPI_E_NO_ACCESS, "MAPI_E_NO_ACCESS"},
      {MAPI_E_NO_SUPPORT, "MAPI_E_NO_SUPPORT"},
      {MAPI_E_UNKNOWN_FLAGS, "MAPI_E_UNKNOWN_FLAGS"},
      {MAPI_E_INVALID_ENTRYID, "MAPI_E_INVALID_ENTRYID"},
      {MAPI_E_INVALID_OBJECT, "MAPI_E_INVALID_OBJECT"},
      {MAPI_E_OBJECT_CHANGED, "MAPI_E_OBJECT_CHANGED"},
      {MAPI_E_OBJECT_DELETED, "MAPI_E_OBJECT_DELETED"},
      {MAPI_E_BUSY, "MAPI_E_BUSY"},
      {MAPI_E_NOT_ENOUGH_DISK, "MAPI_E_NOT_ENOUGH_DISK"},
      {MAPI_E_NOT_ENOUGH_RESOURCES, "MAPI_E_NOT_ENOUGH_RESOURCES"},
      {MAPI_E_NOT_FOUND, "MAPI_E_NOT_FOUND"},
      {MAPI_E_LOGON_FAILED, "MAPI_E_LOGON_FAILED"},
      {MAPI_E_USER_CANCEL, "MAPI_E_USER_CANCEL"},
      {MAPI_E_DISK_ERROR, "MAPI_E_DISK_ERROR"},
      {MAPI_E_TOO_COMPLEX, "MAPI_E_TOO_COMPLEX"},
      {MAPI_E_BAD_COLUMN, "MAPI_E_BAD_COLUMN"},
      {MAPI_E_COMPUTED, "MAPI_E_COMPUTED"},
      {MAPI_E_CORRUPT_DATA, "MAPI_E_CORRUPT_DATA"},
      {MAPI_E_UNKNOWN_ENTRYID, "MAPI_E_UNKNOWN_ENTRYID"},
      {MAPI_E_INVALID_TYPE, "MAPI_E_INVALID_TYPE"},
      {MAPI_E_TOO_BIG, "MAPI_E_TOO_BIG"},
      {MAPI_E_TABLE_TOO_BIG, "MAPI_E_TABLE_TOO_BIG"},
      {MAPI_E_COLLISION, "MAPI_E_COLLISION"},
      {MAPI_E_NOT_INITIALIZED, "MAPI_E_NOT_INITIALIZED"},
      {MAPI_W_ERRORS_RETURNED, "MAPI_W_ERRORS_RETURNED"},
      {STG_E_INVALIDFUNCTION, "STG_E_INVALIDFUNCTION"},
      {STG_E_ACCESSDENIED, "STG_E_ACCESSDENIED"},
      {STG_E_READFAULT, "STG_E_READFAULT"},
      {STG_E_WRITEFAULT, "STG_E_WRITEFAULT"},
      {STG_E_MEDIUMFULL, "STG_E_MEDIUMFULL"},
      {STG_E_INVALIDPARAMETER, "STG_E_INVALIDPARAMETER"},
  };
  for (const Name& entry : kNames) {
    if (entry.code == code) return entry.name;
  }
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(code));
  return text;
}

}  // namespace corvid::mapi
