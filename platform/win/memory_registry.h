// The registry for tests: both hives held in memory, with the same rules as
// the real one (registry.h), plus switches that the real one gets from the
// file system: a hive can be made unwritable, and the number of changes made
// to each hive can be read.
#pragma once

#include <memory>
#include <string>

#include "platform/win/registry.h"

namespace corvid::win {

class TMemoryRegistry : public TRegistry {
 public:
  TMemoryRegistry();
  ~TMemoryRegistry() override;

  // An unwritable hive refuses write rights and every change, as a hive file
  // without write permission does.
  void SetHiveWritable(HKEY root, bool writable);
  // Successful changes (created keys, set or deleted values, deleted keys)
  // made to the hive of `root` so far.
  int ChangeCount(HKEY root) const;

  LONG OpenKey(HKEY parent, std::string_view sub_key, REGSAM access, HKEY* result) override;
  LONG CreateKey(HKEY parent, std::string_view sub_key, REGSAM access, HKEY* result, DWORD* disposition) override;
  LONG CloseKey(HKEY key) override;
  LONG EnumKey(HKEY key, DWORD index, std::string* name) override;
  LONG EnumValue(HKEY key, DWORD index, std::string* name, DWORD* type, std::string* data) override;
  LONG QueryValue(HKEY key, std::string_view name, DWORD* type, std::string* data) override;
  LONG SetValue(HKEY key, std::string_view name, DWORD type, std::string_view data) override;
  LONG DeleteValue(HKEY key, std::string_view name) override;
  LONG DeleteKey(HKEY parent, std::string_view sub_key) override;
  LONG DeleteTree(HKEY parent, std::string_view sub_key) override;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace corvid::win
