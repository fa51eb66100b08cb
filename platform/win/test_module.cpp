// A small module for the loader's tests: exports by name and by ordinal, and
// a function that loads a module from inside a library, so the search
// beside the calling module can be seen.
#include <string>

#include "platform/win/module.h"

extern "C" {

__attribute__((visibility("default"))) int ModuleValue() { return 42; }

__attribute__((visibility("default"))) const void* ModuleDataAddress() {
  static int data;
  return &data;
}

__attribute__((visibility("default"))) corvid::win::HMODULE LoadFromModule(const char* name) {
  return corvid::win::LoadLibrary(name);
}

}  // extern "C"

CORVID_EXPORT_ORDINAL(7, ModuleValue);
