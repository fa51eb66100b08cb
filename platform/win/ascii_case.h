// Comparisons without regard to ASCII letter case, as the registry and the
// profile files match their names. Bytes outside A-Z/a-z compare as they are,
// so UTF-8 names are matched exactly beyond ASCII.
#pragma once

#include <string>
#include <string_view>

namespace corvid::win {

inline char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string AsciiLowerCopy(std::string_view text);
bool EqualsIgnoreAsciiCase(std::string_view a, std::string_view b);
bool StartsWithIgnoreAsciiCase(std::string_view text, std::string_view prefix);
// Negative, zero or positive, comparing the lower-cased bytes as unsigned.
int CompareIgnoreAsciiCase(std::string_view a, std::string_view b);

}  // namespace corvid::win
