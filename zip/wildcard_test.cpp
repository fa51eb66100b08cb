#include "zip/wildcard.h"

#include <gtest/gtest.h>

#include <string>

namespace corvid::zip {
namespace {

struct Case {
  const char* pattern;
  const char* text;
  WildcardOutcome code;
};

const Case kCases[] = {
    // Case folding, ASCII and beyond.
    {"*.zip", "REPORT.ZIP", WildcardOutcome::Match},
    {"*.ÄÖ", "x.äö", WildcardOutcome::Match},
    {"ǅ?", "ǆx", WildcardOutcome::Match},
    // ? is one character, not one byte.
    {"?.txt", "é.txt", WildcardOutcome::Match},
    {"??.txt", "é.txt", WildcardOutcome::CharNotMatched},
    // *
    {"*", "", WildcardOutcome::Match},
    {"a*", "a", WildcardOutcome::Match},
    {"a*b*c", "aXXbYYc", WildcardOutcome::Match},
    {"*.*", "noext", WildcardOutcome::TextEnded},
    {"*.*", "noext.", WildcardOutcome::Match},
    // Sets, ranges, negation.
    {"*.<ez>xe", "setup.exe", WildcardOutcome::Match},
    {"*.<ez>xe", "setup.axe", WildcardOutcome::TextEnded},
    {"<!a-c>*", "beta", WildcardOutcome::SetNotMatched},
    {"<^a-c>*", "delta", WildcardOutcome::Match},
    {"<a-cx>", "x", WildcardOutcome::Match},
    {"<a-c>", "d", WildcardOutcome::SetNotMatched},
    {"<a->", "-", WildcardOutcome::Match},  // a dash before '>' is itself
    {"<!>", "q", WildcardOutcome::Match},   // negated empty set: anything
    {"<>", "q", WildcardOutcome::SetNotMatched},
    {"<A-Z>1", "q1", WildcardOutcome::Match},  // the pattern folds too
    // * before a set: a run inside (or outside) the set.
    {"v*<0-9>", "v2024", WildcardOutcome::Match},
    {"v*<0-9>", "v", WildcardOutcome::Match},
    {"v*<0-9>", "v20x4", WildcardOutcome::TextLeftOver},
    {"v*<!.>.txt", "version.txt", WildcardOutcome::Match},
    {"v*<!.>.txt", "v.1.txt", WildcardOutcome::CharNotMatched},
    // Square brackets are ordinary characters.
    {"[ab].txt", "[ab].txt", WildcardOutcome::Match},
    {"[ab].txt", "a.txt", WildcardOutcome::CharNotMatched},
    // The failure codes.
    {"abc", "abcd", WildcardOutcome::TextLeftOver},
    {"", "x", WildcardOutcome::TextLeftOver},
    {"abcd", "abc", WildcardOutcome::TextEnded},
    {"abc", "abd", WildcardOutcome::CharNotMatched},
    {"a<bc", "ab", WildcardOutcome::MalformedSet},
    {"x*<a-", "xa", WildcardOutcome::MalformedSet},
    {"q<b", "ab", WildcardOutcome::MalformedSet},  // even where the text fails earlier
};

TEST(WildcardTest, Table) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(std::string("pattern \"") + c.pattern + "\" text \"" + c.text + "\"");
    EXPECT_EQ(WildcardMatchCode(c.pattern, c.text), c.code);
    EXPECT_EQ(WildcardMatch(c.pattern, c.text), c.code == WildcardOutcome::Match);
  }
}

TEST(WildcardTest, HostilePatternsStayFast) {
  // Backtracking matchers need about n^6 steps here; this one needs 14 * n.
  std::string text(100000, 'a');
  EXPECT_FALSE(WildcardMatch("*a*a*a*a*a*a*b", text));
  EXPECT_TRUE(WildcardMatch("*a*a*a*a*a*a*", text));
  EXPECT_FALSE(WildcardMatch("*<a>*<a>*<a>*<a>b", text));
}

}  // namespace
}  // namespace corvid::zip
