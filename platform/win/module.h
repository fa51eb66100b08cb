// Modules: loading shared objects by their Windows file names, finding their
// exported procedures, and naming the module that holds a given address.
//
// A module handle (HMODULE) is the address the module is mapped at, as on
// Windows, so the handle of a module is the same however it was found.
// Modules keep Windows file names ("MAPI32.DLL", "corvina.dll"); matching a
// file name ignores ASCII case, as the Windows file system does.
//
// Export ordinals: ELF has none, so a module offers ordinal N by exporting
// an alias named "ordinal_N" of the function (CORVID_EXPORT_ORDINAL), and
// GetProcAddress(module, MAKEINTRESOURCEA(N)) resolves that alias.
//
// All functions are thread-safe. Failures set GetLastError.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "platform/win/win_types.h"

// Exports `function` (an extern "C" function defined in the same source
// file) under ordinal `n`. The module's export list must include
// "ordinal_<n>".
#define CORVID_EXPORT_ORDINAL(n, function) \
  extern "C" __attribute__((alias(#function), visibility("default"))) decltype(function) ordinal_##n

namespace corvid::win {

// Loads the module and returns its handle, adding one reference (FreeLibrary
// gives it back). A name without '/' or '\' is looked for, in order: among
// the modules already loaded (by file name), in the folder of the module
// that holds `address_in_caller`, in the folder of the program, in the
// current folder. A name with a folder is that path ('\' counts as '/'); its
// file name may differ in letter case. Null and ERROR_MOD_NOT_FOUND when no
// file is found, ERROR_BAD_EXE_FORMAT when a found file does not load
// (LoaderError() says why).
HMODULE LoadLibraryNear(const void* address_in_caller, std::string_view file_name);

namespace module_internal {
// One per module that includes this header (internal linkage), so its
// address says which module called.
[[maybe_unused]] static const char kCallerAnchor = 0;
}  // namespace module_internal

// LoadLibraryNear from the calling module: a library finds its companions
// beside itself.
static inline HMODULE LoadLibrary(std::string_view file_name) {
  return LoadLibraryNear(&module_internal::kCallerAnchor, file_name);
}
// Loads `file_name` from `directory` only (file name matched ignoring case).
HMODULE LoadLibraryFrom(const std::filesystem::path& directory, std::string_view file_name);

// Gives back one reference; the module is unloaded with its last one (unless
// the C++ runtime pinned it, as it does modules with process-wide unique
// symbols). 0 and
// ERROR_INVALID_HANDLE for a module this process did not LoadLibrary.
BOOL FreeLibrary(HMODULE module);

// The address of an exported procedure of this very module (not of the
// modules it depends on): by name, or by ordinal (MAKEINTRESOURCEA). Null
// and ERROR_PROC_NOT_FOUND when it does not export one, ERROR_INVALID_HANDLE
// for a module that is not loaded.
FARPROC GetProcAddress(HMODULE module, const char* proc_name);

// The handle of a loaded module by its file name (ignoring case; null: the
// program). No reference is added. Null and ERROR_MOD_NOT_FOUND.
HMODULE GetModuleHandle(const char* module_name);
// The module that contains `address` (code or data), null when none does.
// No reference is added. A library finds its own handle from the address of
// one of its functions.
HMODULE ModuleOfAddress(const void* address);

// The full path of a loaded module, of the program for null; empty and
// ERROR_INVALID_HANDLE for a module that is not loaded.
std::string ModuleFileName(HMODULE module_or_null);
// The same in Win32's shape: copies at most size - 1 bytes and a zero and
// returns the bytes copied; a path that does not fit is cut, `size` is
// returned and the error is ERROR_INSUFFICIENT_BUFFER; 0 on failure.
DWORD GetModuleFileName(HMODULE module_or_null, char* buffer, DWORD size);

// The dynamic loader's message for the calling thread's last failed load.
std::string LoaderError();

}  // namespace corvid::win
