// Archive names between code page 437, UTF-8 and bytes that are neither.
#include "zip/cp437.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "zip/text.h"
#include "zip/zip_format.h"
#include "zip/zip_header.h"

namespace corvid::zip {
namespace {

// Every byte is one character of code page 437, and no two bytes read as
// the same one: a name read from an old archive keeps every distinction.
TEST(Cp437Test, EveryByteIsItsOwnCharacter) {
  std::set<std::string> seen;
  for (int b = 0; b < 256; ++b) {
    const std::string text = Cp437ToUtf8(std::string(1, static_cast<char>(b)));
    EXPECT_EQ(Utf8ToCodePoints(text).size(), 1u) << b;
    EXPECT_EQ(CodePointsToUtf8(Utf8ToCodePoints(text)), text) << b;  // valid UTF-8
    seen.insert(text);
  }
  EXPECT_EQ(seen.size(), 256u);
  // A whole name of high bytes.
  EXPECT_EQ(Cp437ToUtf8("\x81" "ber \x9B\xE1\xFB.txt"), "über ¢ß√.txt");
}

// Names as the writer stores them read back as they were given, in code
// page 437's range and beyond it.
TEST(Cp437Test, StoredNamesReadBackAsGiven) {
  for (const std::string name : {"plain\\a.txt", "dir\\über.txt", "¢ß√ ░▒▓.txt", "日本\\名前.txt", "emoji 😀.txt",
                                 "Ω≈ç\\a b.c"}) {
    bool utf8 = false;
    const std::string stored = EncodeStoredName(name, &utf8);
    EXPECT_EQ(stored.find('\\'), std::string::npos) << name;
    EXPECT_EQ(DecodeStoredName(stored, utf8 ? kFlagUtf8Name : 0, ""), name) << name;
  }
}

// Bytes that are not UTF-8, flagged as UTF-8 or not, read as code page 437:
// every byte one character, and never a separator that was not stored as
// one (an overlong '/' stays two harmless characters).
TEST(Cp437Test, InvalidUtf8ReadsAsCodePage437) {
  const struct {
    const char* what;
    std::string raw;
    std::string expected;
  } cases[] = {
      {"a lone continuation byte", "a\x80" "b", "aÇb"},
      {"a cut sequence at the end", "a\xC3", "a├"},
      {"an overlong slash", "..\xC0\xAF" "etc", "..└»etc"},
      {"an overlong dot dot slash", "\xC0\xAE\xC0\xAE/x", "└«└«\\x"},
      {"a surrogate", "\xED\xA0\x80.txt", "φáÇ.txt"},
      {"a five-byte form", "\xF8\x88\x80\x80\x80", "°êÇÇÇ"},
      {"Latin-1", "caf\xE9.txt", "cafΘ.txt"},
  };
  for (const auto& c : cases) {
    for (uint16_t flags : {uint16_t{0}, kFlagUtf8Name}) {
      EXPECT_EQ(DecodeStoredName(c.raw, flags, ""), c.expected) << c.what << " flags " << flags;
    }
  }
}

}  // namespace
}  // namespace corvid::zip
