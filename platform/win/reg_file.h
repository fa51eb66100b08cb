// Registry files in the REGEDIT 5 text format ("Windows Registry Editor
// Version 5.00"), as the Windows reg and regedit tools export and import
// them, so an administrator can move settings between machines.
//
// Written as UTF-8 with CR LF line ends. Strings that are UTF-8 text ending in
// one zero and holding no line break are written quoted; other REG_SZ data,
// and all REG_EXPAND_SZ and REG_MULTI_SZ data, as hex(1), hex(2) and hex(7)
// of their UTF-16LE form, as the format wants. Bytes that are not UTF-8 are
// carried through UTF-16 as the lone surrogates U+DC80..U+DCFF, so every
// value comes back with exactly its bytes. REG_DWORD of four bytes is
// "dword:", REG_BINARY "hex:", any other type "hex(N):" of its raw bytes.
//
// Reading understands that output, files written by Windows (UTF-16LE with a
// byte-order mark), the older "REGEDIT4" format (hex(N) data taken as it
// stands), "[-KEY]" to delete a key tree and "NAME"=- to delete a value.
#pragma once

#include <string>
#include <string_view>

#include "platform/win/registry.h"

namespace corvid::win {

// Splits "HKLM\Software\Corvid" (or HKEY_LOCAL_MACHINE, HKCU,
// HKEY_CURRENT_USER, in any letter case) into the root and the path below it
// (without leading backslash). False for any other root.
bool ParseRootKey(std::string_view full_path, HKEY* root, std::string* sub_key);

// Writes the key `sub_key` of `root` and everything below it. On failure
// returns the Win32 error and a message for the user.
LONG ExportRegistryKey(TRegistry& registry, HKEY root, std::string_view sub_key, std::string* text,
                       std::string* message);

// Applies a registry file, in order. The whole file is checked first: a
// malformed line anywhere changes nothing (ERROR_INVALID_PARAMETER and a
// message naming the line). A change the registry refuses stops the import
// with its Win32 error and a message naming the line and the lines applied
// before it, which stay.
LONG ImportRegistryFile(TRegistry& registry, std::string_view content, std::string* message);

}  // namespace corvid::win
