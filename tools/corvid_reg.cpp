// corvid-reg: query and change the registry of this machine (CORVID_HOME) in
// the syntax of the Windows reg command; see platform/win/reg_command.h.
#include <iostream>
#include <string>
#include <vector>

#include "base/exception.h"
#include "base/version.h"
#include "platform/win/reg_command.h"
#include "platform/win/registry.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 1 && args[0] == "--version") {
    std::cout << "corvid-reg " << corvid::kVersion << "\n";
    return 0;
  }
  if (args.empty() || args[0] == "/?" || args[0] == "--help") {
    (args.empty() ? std::cerr : std::cout) << "usage: corvid-reg query  KEY [/v NAME | /ve] [/s]\n"
                 "       corvid-reg add    KEY [/v NAME | /ve] [/t TYPE] [/s SEPARATOR] [/d DATA] [/f]\n"
                 "       corvid-reg delete KEY [/v NAME | /ve | /va] [/f]\n"
                 "       corvid-reg export KEY FILE [/y]\n"
                 "       corvid-reg import FILE\n"
                 "KEY begins with HKLM or HKCU; TYPE is REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD or "
                 "REG_BINARY.\n";
    return args.empty() ? 2 : 0;
  }
  try {
    return corvid::win::RunRegCommand(*corvid::win::CurrentRegistry(), args, std::cin, std::cout, std::cerr);
  } catch (const corvid::Exception& error) {
    std::cerr << "ERROR: " << error.what() << "\n";
    return 1;
  }
}
