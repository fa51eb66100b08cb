// The registry: HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER, each a tree of keys
// holding typed values, reached through the Win32 functions below with the
// result codes Windows documents.
//
// TRegistry is the one abstract interface behind those functions. It has a
// real implementation (TSqliteRegistry: one SQLite database per hive under
// the machine root, sqlite_registry.h), a test one (TMemoryRegistry,
// memory_registry.h), and TForwardingRegistry, from which fault-injecting
// doubles override single calls. The Reg* functions use CurrentRegistry().
//
// Rules every implementation keeps:
// - Key and value names compare without regard to ASCII case and keep the
//   spelling of their last write (RegCreateKeyEx with write rights respells
//   an existing key; setting a value respells its name).
// - A key path is names joined by backslashes; a trailing backslash is
//   ignored, a leading one or an empty name gives ERROR_BAD_PATHNAME, a name
//   over 255 bytes ERROR_INVALID_PARAMETER. The empty path names the key of
//   the handle itself. The empty value name is the key's default value.
// - Subkeys enumerate in name order (ignoring ASCII case), values in the
//   order they were first set. Value bytes and types are kept exactly.
// - Rights are checked per handle: reading values needs KEY_QUERY_VALUE,
//   listing subkeys KEY_ENUMERATE_SUB_KEYS, changing values KEY_SET_VALUE,
//   creating a subkey KEY_CREATE_SUB_KEY. Asking for any right that changes
//   a hive (kKeyWriteRights) where the hive cannot be written gives
//   ERROR_ACCESS_DENIED; read rights still work there.
// - RegDeleteKey refuses a key that has subkeys (ERROR_ACCESS_DENIED), as NT
//   does; RegDeleteTree removes a whole subtree. Handles to a deleted key
//   answer ERROR_KEY_DELETED until closed.
// - Each call that changes a hive is atomic. Calls are safe from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win/win_types.h"

namespace corvid::win {

// Every method returns ERROR_SUCCESS or a Win32 error code. `parent` and
// `key` are open keys of this registry or a predefined root; anything else
// gives ERROR_INVALID_HANDLE. Out-parameters are written on success only.
class TRegistry {
 public:
  TRegistry() = default;
  TRegistry(const TRegistry&) = delete;
  TRegistry& operator=(const TRegistry&) = delete;
  virtual ~TRegistry() = default;

  // Opens an existing key; the caller closes the new handle with CloseKey.
  // ERROR_FILE_NOT_FOUND when the key does not exist.
  virtual LONG OpenKey(HKEY parent, std::string_view sub_key, REGSAM access, HKEY* result) = 0;
  // Opens the key, creating it and any missing keys above it in one atomic
  // step. `disposition` (may be null) tells whether the last key was new.
  virtual LONG CreateKey(HKEY parent, std::string_view sub_key, REGSAM access, HKEY* result,
                         DWORD* disposition) = 0;
  // Closing a predefined root succeeds and does nothing.
  virtual LONG CloseKey(HKEY key) = 0;
  // The name of subkey `index`; ERROR_NO_MORE_ITEMS past the last one.
  virtual LONG EnumKey(HKEY key, DWORD index, std::string* name) = 0;
  // Name, type and (when `data` is not null) bytes of value `index`;
  // ERROR_NO_MORE_ITEMS past the last one. `type` may be null.
  virtual LONG EnumValue(HKEY key, DWORD index, std::string* name, DWORD* type, std::string* data) = 0;
  // Type and bytes of one value; ERROR_FILE_NOT_FOUND when it is missing.
  // `type` and `data` may be null.
  virtual LONG QueryValue(HKEY key, std::string_view name, DWORD* type, std::string* data) = 0;
  // Creates or replaces one value with `data` as its exact bytes.
  virtual LONG SetValue(HKEY key, std::string_view name, DWORD type, std::string_view data) = 0;
  // Adds `delta` (32-bit, wrapping) to a REG_DWORD value in one atomic
  // step, so that two processes counting at once lose nothing; a missing
  // value (or one of another type) counts as `base`. The new value goes to
  // `result` (may be null). This default reads and writes in two steps;
  // the SQLite registry does both in one transaction.
  virtual LONG AddToDword(HKEY key, std::string_view name, int32_t delta, int32_t base, int32_t* result);
  // ERROR_FILE_NOT_FOUND when the value is missing.
  virtual LONG DeleteValue(HKEY key, std::string_view name) = 0;
  // Deletes one key that has no subkeys, with its values.
  virtual LONG DeleteKey(HKEY parent, std::string_view sub_key) = 0;
  // Deletes `sub_key` with everything below it; with an empty `sub_key`, the
  // values and subkeys of `parent` (a whole hive cannot be emptied this way:
  // ERROR_ACCESS_DENIED).
  virtual LONG DeleteTree(HKEY parent, std::string_view sub_key) = 0;
};

// Passes every call to `target`, which it does not own. Derive from it and
// override one method to make a double that fails a chosen call.
class TForwardingRegistry : public TRegistry {
 public:
  explicit TForwardingRegistry(TRegistry& target) : target_(target) {}

  LONG OpenKey(HKEY parent, std::string_view sub_key, REGSAM access, HKEY* result) override;
  LONG CreateKey(HKEY parent, std::string_view sub_key, REGSAM access, HKEY* result, DWORD* disposition) override;
  LONG CloseKey(HKEY key) override;
  LONG EnumKey(HKEY key, DWORD index, std::string* name) override;
  LONG EnumValue(HKEY key, DWORD index, std::string* name, DWORD* type, std::string* data) override;
  LONG QueryValue(HKEY key, std::string_view name, DWORD* type, std::string* data) override;
  LONG SetValue(HKEY key, std::string_view name, DWORD type, std::string_view data) override;
  LONG AddToDword(HKEY key, std::string_view name, int32_t delta, int32_t base, int32_t* result) override;
  LONG DeleteValue(HKEY key, std::string_view name) override;
  LONG DeleteKey(HKEY parent, std::string_view sub_key) override;
  LONG DeleteTree(HKEY parent, std::string_view sub_key) override;

 protected:
  TRegistry& target_;
};

// The registry the Reg* functions use: the override when one is set, else
// the SQLite registry of the current MachineRoot() (made on first use, and
// made again when CORVID_HOME moves). A fresh HKEY_LOCAL_MACHINE hive starts
// with "Software\Microsoft\Windows\CurrentVersion" value "ProgramFilesDir"
// naming ProgramFilesDirectory(), as a Windows machine has. Raises
// EMachineError when the machine root cannot be made.
std::shared_ptr<TRegistry> CurrentRegistry();

// Routes the Reg* functions of the whole process to `registry` while it
// lives (tests and fault injection). Overrides nest; destroy them in reverse
// order of creation.
class TRegistryOverride {
 public:
  explicit TRegistryOverride(std::shared_ptr<TRegistry> registry);
  ~TRegistryOverride();
  TRegistryOverride(const TRegistryOverride&) = delete;
  TRegistryOverride& operator=(const TRegistryOverride&) = delete;

 private:
  std::shared_ptr<TRegistry> previous_;
};

// "HKEY_LOCAL_MACHINE" or "HKEY_CURRENT_USER" for the two roots, "" for
// anything else.
std::string_view RootKeyName(HKEY root);

// Rules shared by the implementations (see the top of this file).
// Splits a key path into its names; ERROR_SUCCESS or the error above.
LONG SplitKeyPath(std::string_view path, std::vector<std::string_view>* names);
// ERROR_SUCCESS for a usable value name, else ERROR_INVALID_PARAMETER.
LONG CheckValueName(std::string_view name);
// A REG_DWORD's bytes (none, or not four: `base`) plus `delta`, wrapping.
int32_t AddedDword(const std::optional<std::string>& stored, int32_t delta, int32_t base);
inline constexpr size_t kMaxKeyNameBytes = 255;
inline constexpr size_t kMaxValueNameBytes = 16383;
inline constexpr size_t kMaxKeyDepth = 512;

// The Win32 functions, with Windows' signatures, buffer rules and result
// codes ("A" flavour: texts are UTF-8, sizes count bytes). Reserved, class
// and security arguments are accepted and ignored.
LONG RegOpenKeyEx(HKEY key, const char* sub_key, DWORD options, REGSAM access, HKEY* result);
LONG RegCreateKeyEx(HKEY key, const char* sub_key, DWORD reserved, char* class_name, DWORD options,
                    REGSAM access, const void* security, HKEY* result, DWORD* disposition);
LONG RegCloseKey(HKEY key);
// `*name_size` holds the buffer size in bytes with room for the closing zero
// and receives the name's length without it; ERROR_MORE_DATA when it does not
// fit. `last_write` (may be null) receives zero.
LONG RegEnumKeyEx(HKEY key, DWORD index, char* name, DWORD* name_size, DWORD* reserved, char* class_name,
                  DWORD* class_size, FILETIME* last_write);
// Name as for RegEnumKeyEx; `data`/`data_size` as for RegQueryValueEx.
LONG RegEnumValue(HKEY key, DWORD index, char* name, DWORD* name_size, DWORD* reserved, DWORD* type,
                  BYTE* data, DWORD* data_size);
// With `data` null and `data_size` set, only the size is returned. When the
// buffer is too small: ERROR_MORE_DATA and the size needed in `*data_size`.
LONG RegQueryValueEx(HKEY key, const char* value_name, DWORD* reserved, DWORD* type, BYTE* data,
                     DWORD* data_size);
LONG RegSetValueEx(HKEY key, const char* value_name, DWORD reserved, DWORD type, const BYTE* data,
                   DWORD data_size);
LONG RegDeleteValue(HKEY key, const char* value_name);
// Not a Win32 function: TRegistry::AddToDword for a counter that several
// processes add to.
LONG RegAddToDword(HKEY key, const char* value_name, int32_t delta, int32_t base, int32_t* result);
LONG RegDeleteKey(HKEY key, const char* sub_key);
LONG RegDeleteTree(HKEY key, const char* sub_key);

}  // namespace corvid::win
