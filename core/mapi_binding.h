// The binding of MAPI32.DLL: the library is loaded by name once per process,
// when the extension library loads, and each procedure of
// platform/mapi/mapi32.h is looked up by its exported name. A procedure the
// library does not export stays unbound; a library that does not load leaves
// them all unbound. The library is freed when the extension library unloads.
//
// The bound addresses go into a mapi::TMapiProcedures, which every
// caller reaches through mapi::Mapi() (re-exported here): see
// platform/mapi/mapi_procedures.h for how a caller tests "bound" and why an
// unbound procedure is never called.
#pragma once

#include <string_view>

#include "platform/mapi/mapi_procedures.h"
#include "platform/win/module.h"

namespace corvid::core {

using mapi::Mapi;
using mapi::TMapiProcedures;

// One loaded library and its procedures. Not copyable: it owns the module.
class TMapiBinding {
 public:
  // Loads `file_name` (a bare name is searched as the platform's loader
  // searches) and looks up every procedure.
  explicit TMapiBinding(std::string_view file_name = mapi::kMapi32LibraryName);
  // Frees the library; if its table is the process's, that is cleared first.
  ~TMapiBinding();
  TMapiBinding(const TMapiBinding&) = delete;
  TMapiBinding& operator=(const TMapiBinding&) = delete;

  bool Loaded() const { return module_ != nullptr; }
  const TMapiProcedures& Procedures() const { return procedures_; }

 private:
  win::HMODULE module_ = nullptr;
  TMapiProcedures procedures_;
};

// The process's binding, for the extension library's load and unload.
// BindMapi loads MAPI32.DLL and makes its table the one Mapi() gives; a
// second call while bound does nothing. UnbindMapi puts the empty table back
// and frees the library; called when nothing of the system runs any more.
// Neither is safe to race with the other.
void BindMapi();
void UnbindMapi();

}  // namespace corvid::core
