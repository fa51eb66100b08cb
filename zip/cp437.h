// The OEM code page of archive names (code page 437) against the UTF-8 text
// the engine holds in memory.
#pragma once

#include <string>
#include <string_view>

namespace corvid::zip {

// Every byte maps to one character, so decoding never fails.
std::string Cp437ToUtf8(std::string_view bytes);

// Encodes UTF-8 text in code page 437. Returns false when a character has no
// equivalent there; `out` then holds '?' in its place.
bool Utf8ToCp437(std::string_view text, std::string* out);

}  // namespace corvid::zip
