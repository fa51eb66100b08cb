// The wildcard matcher behind file lists, exclusion lists and directory
// searches.
//
// Pattern and text are compared after lower-casing both (simple Unicode case
// mapping), character by character (code points):
//   ?        any one character
//   *        any run of characters, including none
//   *<set>   a run (possibly empty) of characters all in the set, or all
//            outside it for a negated set
//   <set>    one character of the set: single characters and ranges a-z;
//            negated when it begins with ! or ^; must be closed by >
//   other    itself (square brackets included)
// Both pattern and text must be used up for a match.
//
// Matching takes time proportional to pattern length times text length
// whatever the pattern, so hostile patterns cannot stall a caller. Callable
// from any thread.
#pragma once

#include <string_view>

namespace corvid::zip {

// Whether `text` matches `pattern` as described above.
bool WildcardMatch(std::string_view pattern, std::string_view text);

// Outcome codes of WildcardMatchCode. Callers only test for wmMatch; the
// failure codes say where the closest attempt failed.
inline constexpr int wmMatch = 1;
inline constexpr int wmTextLeftOver = 2;    // pattern used up before the text
inline constexpr int wmTextEnded = 3;       // text used up before the pattern
inline constexpr int wmSetNotMatched = 4;   // a character outside a <set>
inline constexpr int wmCharNotMatched = 5;  // a character differing from the pattern's
inline constexpr int wmMalformedSet = 6;    // a < without its >, anywhere in the pattern

int WildcardMatchCode(std::string_view pattern, std::string_view text);

}  // namespace corvid::zip
