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

// Outcomes of WildcardMatchCode. Callers only test for Match; the failure
// codes say where the closest attempt failed.
enum class WildcardOutcome {
  Match = 1,
  TextLeftOver = 2,    // pattern used up before the text
  TextEnded = 3,       // text used up before the pattern
  SetNotMatched = 4,   // a character outside a <set>
  CharNotMatched = 5,  // a character differing from the pattern's
  MalformedSet = 6,    // a < without its >, anywhere in the pattern
};

WildcardOutcome WildcardMatchCode(std::string_view pattern, std::string_view text);

}  // namespace corvid::zip
