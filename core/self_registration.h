// The library registers itself with the mail client: one REG_SZ value under
// HKEY_LOCAL_MACHINE\Software\Microsoft\Exchange\Client\Extensions whose
// text names the interface version, the library's path, the ordinal of its
// entry point, the contexts it wants and the interfaces it offers. The
// client reads every value there at start.
#pragma once

#include <string>
#include <string_view>

#include "platform/win/win_types.h"

namespace corvid::core {

inline constexpr char kExtensionsKey[] = "Software\\Microsoft\\Exchange\\Client\\Extensions";
inline constexpr char kExtensionValueName[] = "Corvid Outlook Extension";
// Written before the extension's own value, on install and uninstall alike.
// It names a library that does not exist; clients expect the value there.
inline constexpr char kOutlookSetupExtensionName[] = "Outlook Setup Extension";
inline constexpr char kOutlookSetupExtensionText[] = "4.0;Outxxx.dll;7;000000000000000;0000000000;OutXXX";

// "4.0;" + path + ";1;11100111111101;0011110": interface version 4.0, entry
// point at ordinal 1, contexts 1-3, 6-12 and 14, and the session, message
// and attached-file event interfaces with the property sheets.
std::string ExtensionEntryText(std::string_view library_file);

// Writes (install) or deletes (uninstall) the extension's value for
// `library_file`. False when the file name is empty, the key cannot be
// opened for writing, the companion value cannot be written, or the write or
// deletion fails (so uninstalling twice fails the second time). After a
// success with the mail client running, tells the user (owned by `owner`)
// that the client needs a restart.
bool RegisterExtension(win::HWND owner, bool install, const std::string& library_file);

// The rundll command line's meaning: install when it begins with "1" or
// contains "TRUE" in any letter case; uninstall otherwise (null too).
bool RunDllAsksInstall(const char* command_line);

}  // namespace corvid::core
