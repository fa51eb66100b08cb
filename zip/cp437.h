// The OEM code page of archive names (code page 437), decoded into the UTF-8
// text the engine holds in memory. Names are always stored as UTF-8, so
// nothing encodes into it.
#pragma once

#include <string>
#include <string_view>

namespace corvid::zip {

// Every byte maps to one character, so decoding never fails.
std::string Cp437ToUtf8(std::string_view bytes);

}  // namespace corvid::zip
