// rundll32 PATH,ENTRY [ARGS...]: loads the library and calls ENTRY with the
// signature of a rundll entry (window, instance, command line, show
// command). ENTRY may be "#N" for the export with ordinal N. The arguments
// after the first are joined by blanks into the command line.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/version.h"
#include "platform/win/module.h"
#include "platform/win/win_types.h"

namespace {

using namespace corvid::win;

using TRunDllEntry = void (*)(HWND window, HINSTANCE instance, char* command_line, int show);

// SW_SHOWDEFAULT: what the system's rundll passes.
constexpr int kShowDefault = 10;

constexpr char kUsage[] = "usage: rundll32 LIBRARY,ENTRY [ARGUMENTS...]\n";

int Usage() {
  std::fputs(kUsage, stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  const std::string target = argv[1];
  if (argc == 2 && (target == "--help" || target == "-h")) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc == 2 && target == "--version") {
    std::printf("rundll32 %s\n", corvid::kVersion);
    return 0;
  }
  // The entry's name never holds a comma; the path might.
  const size_t comma = target.rfind(',');
  if (comma == std::string::npos || comma == 0 || comma + 1 == target.size()) return Usage();
  const std::string library = target.substr(0, comma);
  const std::string entry = target.substr(comma + 1);
  std::string command_line;
  for (int i = 2; i < argc; ++i) {
    if (i > 2) command_line += ' ';
    command_line += argv[i];
  }

  HMODULE module = LoadLibrary(library);
  if (module == nullptr) {
    std::fprintf(stderr, "rundll32: cannot load %s: %s\n", library.c_str(),
                 GetLastError() == ERROR_MOD_NOT_FOUND ? "no such library" : LoaderError().c_str());
    return 1;
  }
  const char* proc_name = entry.c_str();
  if (entry[0] == '#') {
    char* end = nullptr;
    const unsigned long ordinal = std::strtoul(entry.c_str() + 1, &end, 10);
    if (end == entry.c_str() + 1 || *end != 0 || ordinal == 0 || ordinal > 0xFFFF) {
      std::fprintf(stderr, "rundll32: %s is not an ordinal\n", entry.c_str());
      FreeLibrary(module);
      return 1;
    }
    proc_name = MAKEINTRESOURCEA(static_cast<WORD>(ordinal));
  }
  auto procedure = reinterpret_cast<TRunDllEntry>(GetProcAddress(module, proc_name));
  if (procedure == nullptr) {
    std::fprintf(stderr, "rundll32: %s does not export %s\n", library.c_str(), entry.c_str());
    FreeLibrary(module);
    return 1;
  }
  procedure(nullptr, GetModuleHandle(nullptr), command_line.data(), kShowDefault);
  FreeLibrary(module);
  // The entry itself may say nothing; say what was done.
  std::printf("rundll32: ran %s of %s%s%s\n", entry.c_str(), library.c_str(), command_line.empty() ? "" : " with ",
              command_line.c_str());
  return 0;
}
