// Helpers for tests of code that uses the registry and profile files.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <stdexcept>
#include <string>

#include "platform/win/registry.h"

namespace corvid::win {

// Points CORVID_HOME at a fresh temporary folder for the life of the object,
// then restores the old value and removes the folder. Every registry and
// profile file the code under test touches lands in there.

class TTestMachine {
 public:
  TTestMachine() {
    const char* old = ::getenv("CORVID_HOME");
    had_old_ = old != nullptr;
    if (had_old_) old_ = old;
    std::string pattern = (std::filesystem::temp_directory_path() / "corvid-machine-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    root_ = pattern;
    ::setenv("CORVID_HOME", root_.c_str(), 1);
  }
  ~TTestMachine() {
    if (had_old_) {
      ::setenv("CORVID_HOME", old_.c_str(), 1);
    } else {
      ::unsetenv("CORVID_HOME");
    }
    std::error_code ignored;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root_, ignored)) {
      ::chmod(entry.path().c_str(), 0700);
    }
    std::filesystem::remove_all(root_, ignored);
  }
  TTestMachine(const TTestMachine&) = delete;
  TTestMachine& operator=(const TTestMachine&) = delete;

  const std::filesystem::path& Root() const { return root_; }

 private:
  std::filesystem::path root_;
  bool had_old_ = false;
  std::string old_;
};

// Every key below `sub_key` of `root`, one line per key ("[path]") and per
// value ("name" type=N hex bytes), in enumeration order; "<error N>" where
// the walk fails. What tests compare when they check a tree.
inline std::string DumpTree(TRegistry& registry, HKEY root, const std::string& sub_key) {
  HKEY key = nullptr;
  const LONG opened = registry.OpenKey(root, sub_key, KEY_READ, &key);
  if (opened != ERROR_SUCCESS) return "<error " + std::to_string(opened) + ">";
  std::string out = "[" + sub_key + "]\n";
  std::string name, data;
  DWORD type = 0;
  for (DWORD i = 0; registry.EnumValue(key, i, &name, &type, &data) == ERROR_SUCCESS; ++i) {
    out += "  \"" + name + "\" type=" + std::to_string(type) + " ";
    static const char kDigits[] = "0123456789abcdef";
    for (unsigned char c : data) out += std::string{kDigits[c >> 4], kDigits[c & 15]};
    out += "\n";
  }
  for (DWORD i = 0; registry.EnumKey(key, i, &name) == ERROR_SUCCESS; ++i) {
    out += DumpTree(registry, root, sub_key.empty() ? name : sub_key + "\\" + name);
  }
  registry.CloseKey(key);
  return out;
}

}  // namespace corvid::win
