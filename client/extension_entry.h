// The registry entries that make the client load extensions: one REG_SZ
// value per extension under HKLM\Software\Microsoft\Exchange\Client\Extensions,
// "VERSION;LIBRARY;ENTRY;CONTEXT MAP;INTERFACE MAP[;MORE]".
#pragma once

#include <bitset>
#include <optional>
#include <string>
#include <string_view>

namespace corvid::client {

inline constexpr const char kExtensionsKey[] = "Software\\Microsoft\\Exchange\\Client\\Extensions";
inline constexpr int kContextCount = 14;  // EECONTEXT_SESSION .. EECONTEXT_TASK

struct TExtensionEntry {
  std::string version;
  std::string library;      // as written: the path the client loads
  std::string entry_name;   // the entry point by name, or
  unsigned entry_ordinal = 0;  // by ordinal (non-zero)
  // Bit N-1 for context N; a missing map asks for every context.
  std::bitset<kContextCount> contexts;
  std::string interface_map;  // kept as written; the client does not use it
};

// Nullopt and `problem` set for text that is no entry: fewer than three
// fields, an empty version or library, an entry point that is neither a
// positive ordinal nor a name, or a map with characters other than 0 and 1.
// Context digits past the fourteenth are ignored.
std::optional<TExtensionEntry> ParseExtensionEntry(std::string_view text, std::string* problem = nullptr);

}  // namespace corvid::client
