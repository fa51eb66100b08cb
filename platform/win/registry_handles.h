// The open-key handles of one registry: what each handle number stands for,
// and the two predefined roots that are never opened or closed. Both
// registries (the SQLite hives and the in-memory one) keep their handles in
// one of these. Not thread-safe: the registry that owns it holds its lock.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <utility>

#include "platform/win/win_types.h"

namespace corvid::win {

// Info is what the registry knows of an open key (its hive, its node or
// row, the rights the handle was opened with).
template <typename Info>
class TKeyHandles {
 public:
  // Index of a predefined root: 0 for HKEY_LOCAL_MACHINE, 1 for
  // HKEY_CURRENT_USER, -1 for any other handle.
  static int HiveIndex(HKEY key) {
    if (key == HKEY_LOCAL_MACHINE) return 0;
    if (key == HKEY_CURRENT_USER) return 1;
    return -1;
  }

  // What an open handle stands for; null for a handle not open here
  // (a root included).
  const Info* Find(HKEY key) const {
    auto found = handles_.find(reinterpret_cast<uintptr_t>(key));
    return found != handles_.end() ? &found->second : nullptr;
  }

  // A new handle for `info`; numbers are never reused while the registry
  // lives, so a closed handle stays invalid.
  HKEY Add(Info info) {
    const uintptr_t number = next_++;
    handles_.emplace(number, std::move(info));
    return reinterpret_cast<HKEY>(number);
  }

  // Closing a root does nothing; ERROR_INVALID_HANDLE for a handle not
  // open here.
  LONG Close(HKEY key) {
    if (HiveIndex(key) >= 0) return ERROR_SUCCESS;
    return handles_.erase(reinterpret_cast<uintptr_t>(key)) == 1 ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
  }

 private:
  std::unordered_map<uintptr_t, Info> handles_;
  // Above the roots' values and any small integer a caller might pass.
  uintptr_t next_ = 0x1000;
};

}  // namespace corvid::win
