// The simulated machine: one folder, CORVID_HOME, holds everything that on
// Windows is spread over the system: the two registry hives, the Windows
// folder, the user's application-data folder and the program-files folder.
// Tests point CORVID_HOME at a fresh temporary folder, so nothing they do
// reaches the real home.
//
// Every function reads the environment on each call (a test may move the
// root between cases) and is safe to call from any thread as long as nobody
// changes the environment at the same time. Paths are file-system paths with
// '/'; the folder functions create their folder when it is missing and raise
// EMachineError when that fails.
#pragma once

#include <filesystem>
#include <string>

#include "base/exception.h"

namespace corvid::win {

CORVID_DECLARE_EXCEPTION(EMachineError, Exception);

// $CORVID_HOME when set and not empty; else $XDG_DATA_HOME/corvid; else
// $HOME/.local/share/corvid. Not created by this call.
std::filesystem::path MachineRoot();

// The folder of the two registry hives (ROOT/registry).
std::filesystem::path RegistryDirectory();
// The Windows folder (ROOT/windows): profile files named without a folder
// live here, and the mail client keeps its extension cache here.
std::filesystem::path WindowsDirectory();
// The user's application-data folder (ROOT/appdata).
std::filesystem::path AppDataDirectory();
// The program-files folder (ROOT/programs), the usual home of installations.
std::filesystem::path ProgramFilesDirectory();

}  // namespace corvid::win
