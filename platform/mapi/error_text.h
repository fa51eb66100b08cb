// Result codes in words a user reads. Header-only, so code that reaches the
// store only through the bound procedures (the extension) has it too.
#pragma once

#include <cstdio>
#include <string>

#include "platform/mapi/mapi_types.h"

namespace corvid::mapi {

// "the disk is full (0x8004010D)"; the bare code for codes without words.
inline std::string ErrorText(HRESULT code) {
  struct Words {
    HRESULT code;
    const char* words;
  };
  static const Words kWords[] = {
      {MAPI_E_NOT_ENOUGH_DISK, "the disk is full"},
      {STG_E_MEDIUMFULL, "the disk is full"},
      {MAPI_E_DISK_ERROR, "the disk refused the write"},
      {MAPI_E_NO_ACCESS, "access denied"},
      {STG_E_ACCESSDENIED, "access denied"},
      {MAPI_E_NOT_FOUND, "not found"},
      {MAPI_E_OBJECT_DELETED, "the message was deleted meanwhile"},
      {MAPI_E_OBJECT_CHANGED, "another program changed the message meanwhile"},
      {MAPI_E_NOT_ENOUGH_MEMORY, "out of memory"},
      {MAPI_E_CORRUPT_DATA, "damaged data"},
      {MAPI_E_TOO_BIG, "too large"},
      {MAPI_E_USER_CANCEL, "cancelled"},
      {MAPI_E_BUSY, "busy"},
      {MAPI_E_CALL_FAILED, "the call failed"},
      {STG_E_READFAULT, "a read failed"},
      {STG_E_WRITEFAULT, "a write failed"},
  };
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(code));
  for (const Words& known : kWords) {
    if (known.code == code) return std::string(known.words) + " (" + text + ")";
  }
  return text;
}

}  // namespace corvid::mapi
