#include "platform/win/machine.h"

#include <cstdlib>
#include <system_error>

namespace corvid::win {
namespace fs = std::filesystem;
namespace {

const char* NonEmptyEnv(const char* name) {
  const char* value = std::getenv(name);
  return (value != nullptr && *value != '\0') ? value : nullptr;
}

fs::path EnsureFolder(const fs::path& folder) {
  std::error_code error;
  fs::create_directories(folder, error);
  if (error || !fs::is_directory(folder, error)) {
    throw EMachineError("Cannot create the folder " + folder.string() + ": " +
                        (error ? error.message() : std::string("a file of that name is in the way")));
  }
  return folder;
}

}  // namespace

fs::path MachineRoot() {
  if (const char* home = NonEmptyEnv("CORVID_HOME")) return fs::path(home);
  if (const char* data = NonEmptyEnv("XDG_DATA_HOME")) return fs::path(data) / "corvid";
  if (const char* home = NonEmptyEnv("HOME")) return fs::path(home) / ".local" / "share" / "corvid";
  throw EMachineError("Neither CORVID_HOME, XDG_DATA_HOME nor HOME is set: no place for the machine root");
}

fs::path RegistryDirectory() { return EnsureFolder(MachineRoot() / "registry"); }
fs::path WindowsDirectory() { return EnsureFolder(MachineRoot() / "windows"); }
fs::path AppDataDirectory() { return EnsureFolder(MachineRoot() / "appdata"); }
fs::path ProgramFilesDirectory() { return EnsureFolder(MachineRoot() / "programs"); }

}  // namespace corvid::win
