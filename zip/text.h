// Text as the engine sees it: UTF-8 in memory; characters count as code
// points; case-insensitive comparison uses simple Unicode case mapping.
#pragma once

#include <string>
#include <string_view>

namespace corvid::zip {

// Decodes UTF-8 into code points. A byte that does not start a valid sequence
// stands for itself (as U+0080..U+00FF would), so no input is ever rejected.
std::u32string Utf8ToCodePoints(std::string_view text);
std::string CodePointsToUtf8(std::u32string_view points);

char32_t LowerChar(char32_t c);
char32_t UpperChar(char32_t c);
std::string LowerText(std::string_view text);
std::u32string LowerCodePoints(std::u32string_view points);

// <0, 0, >0 like strcmp, after lower-casing both; compares code points.
int CompareTextNoCase(std::string_view a, std::string_view b);
bool SameTextNoCase(std::string_view a, std::string_view b);

// Whether `text` begins with `prefix`, ignoring case.
bool StartsWithNoCase(std::string_view text, std::string_view prefix);

}  // namespace corvid::zip
