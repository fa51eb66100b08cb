// The real registry: each hive is one SQLite database in a folder
// ("HKEY_LOCAL_MACHINE.db", "HKEY_CURRENT_USER.db"), opened on first use and
// kept open. Every change runs in its own transaction; other processes may
// use the same files at the same time (a writer waits up to 10 seconds for
// another's transaction to end). Changes are atomic and survive a crash of
// the process; after a power loss the last ones may be missing, never half
// applied (write-ahead log, synchronised at checkpoints).
//
// A hive counts as not writable when its file (or, before it exists, its
// folder) cannot be written by this process, or when the file carries no
// write permission bit at all. The latter rule lets an administrator lock a
// hive with chmod even against root, which is how a user without
// administrative rights is met here. A hive that does not exist and cannot
// be made reads as empty.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/win/registry.h"

namespace corvid::win {

class TSqliteRegistry : public TRegistry {
 public:
  // A value that a hive holds from the moment its file is created.
  struct TSeedValue {
    HKEY root;
    std::string key;
    std::string name;
    DWORD type;
    std::string data;
  };

  // Creates `directory` when missing (a failure shows later as unwritable
  // hives). Opens nothing yet.
  explicit TSqliteRegistry(std::filesystem::path directory, std::vector<TSeedValue> seeds = {});
  ~TSqliteRegistry() override;

  // The database file of a predefined root.
  std::filesystem::path HiveFile(HKEY root) const;

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

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace corvid::win
