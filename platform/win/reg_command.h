// corvid-reg: the administrator's tool over the registry, in the syntax of
// the Windows reg command:
//
//   query  KEY [/v NAME | /ve] [/s]
//   add    KEY [/v NAME | /ve] [/t TYPE] [/s SEPARATOR] [/d DATA] [/f]
//   delete KEY [/v NAME | /ve | /va] [/f]
//   export KEY FILE [/y]
//   import FILE
//
// KEY starts with HKLM, HKCU, HKEY_LOCAL_MACHINE or HKEY_CURRENT_USER. TYPE
// is REG_SZ (the default), REG_EXPAND_SZ, REG_MULTI_SZ (items split at
// SEPARATOR, by default the two characters \0), REG_DWORD (decimal or 0x
// hexadecimal) or REG_BINARY (hexadecimal digits). Files are REGEDIT 5 text
// (reg_file.h). Without /f (or /y) a command that would overwrite or delete
// asks on `in` and does nothing unless the answer starts with y. Switches
// may also start with '-'; any other word is an operand, so absolute file
// paths work.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "platform/win/registry.h"

namespace corvid::win {

// Runs one command (`args` without the program name) on `registry`. Results
// go to `out`, errors ("ERROR: ...") to `err`. Returns the exit status: 0 on
// success, 1 on failure or when the user declines.
int RunRegCommand(TRegistry& registry, const std::vector<std::string>& args, std::istream& in, std::ostream& out,
                  std::ostream& err);

}  // namespace corvid::win
