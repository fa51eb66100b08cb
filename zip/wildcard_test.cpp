#include "zip/wildcard.h"

#include <gtest/gtest.h>

#include <string>

namespace corvid::zip {
namespace {

struct Case {
  const char* pattern;
  const char* text;
  int code;
};

const Case kCases[] = {
    // Case folding, ASCII and beyond.
    {"*.zip", "REPORT.ZIP", wmMatch},
    {"*.ÄÖ", "x.äö", wmMatch},
    {"ǅ?", "ǆx", wmMatch},
    // ? is one character, not one byte.
    {"?.txt", "é.txt", wmMatch},
    {"??.txt", "é.txt", wmCharNotMatched},
    // *
    {"*", "", wmMatch},
    {"a*", "a", wmMatch},
    {"a*b*c", "aXXbYYc", wmMatch},
    {"*.*", "noext", wmTextEnded},
    {"*.*", "noext.", wmMatch},
    // Sets, ranges, negation.
    {"*.<ez>xe", "setup.exe", wmMatch},
    {"*.<ez>xe", "setup.axe", wmTextEnded},
    {"<!a-c>*", "beta", wmSetNotMatched},
    {"<^a-c>*", "delta", wmMatch},
    {"<a-cx>", "x", wmMatch},
    {"<a-c>", "d", wmSetNotMatched},
    {"<a->", "-", wmMatch},  // a dash before '>' is itself
    {"<!>", "q", wmMatch},   // negated empty set: anything
    {"<>", "q", wmSetNotMatched},
    {"<A-Z>1", "q1", wmMatch},  // the pattern folds too
    // * before a set: a run inside (or outside) the set.
    {"v*<0-9>", "v2024", wmMatch},
    {"v*<0-9>", "v", wmMatch},
    {"v*<0-9>", "v20x4", wmTextLeftOver},
    {"v*<!.>.txt", "version.txt", wmMatch},
    {"v*<!.>.txt", "v.1.txt", wmCharNotMatched},
    // Square brackets are ordinary characters.
    {"[ab].txt", "[ab].txt", wmMatch},
    {"[ab].txt", "a.txt", wmCharNotMatched},
    // The failure codes.
    {"abc", "abcd", wmTextLeftOver},
    {"", "x", wmTextLeftOver},
    {"abcd", "abc", wmTextEnded},
    {"abc", "abd", wmCharNotMatched},
    {"a<bc", "ab", wmMalformedSet},
    {"x*<a-", "xa", wmMalformedSet},
    {"q<b", "ab", wmMalformedSet},  // even where the text fails earlier
};

TEST(WildcardTest, Table) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(std::string("pattern \"") + c.pattern + "\" text \"" + c.text + "\"");
    EXPECT_EQ(WildcardMatchCode(c.pattern, c.text), c.code);
    EXPECT_EQ(WildcardMatch(c.pattern, c.text), c.code == wmMatch);
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
