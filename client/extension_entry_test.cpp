#include "client/extension_entry.h"

#include <gtest/gtest.h>

namespace corvid::client {
namespace {

TEST(ExtensionEntryTest, ParsesTheFieldsOfAnEntry) {
  struct TCase {
    std::string text;
    const char* library;
    const char* name;
    unsigned ordinal;
    const char* contexts;  // context 1 first
    const char* interfaces;
  };
  const TCase cases[] = {
      // What the extension writes for itself, and what the setup writes.
      {"4.0;/opt/corvid/corvina.dll;1;11100111111101;0011110", "/opt/corvid/corvina.dll", "", 1, "11100111111101",
       "0011110"},
      {"4.0;C:\\Program Files\\Corvid\\corvina.dll;1;11100111111101;1111110",
       "C:\\Program Files\\Corvid\\corvina.dll", "", 1, "11100111111101", "1111110"},
      // An entry point by name; the terminating zero of the registry text.
      {std::string("4.0;x.dll;InitExtensionLibrary;01\0", 35), "x.dll", "InitExtensionLibrary", 0,
       "01000000000000", ""},
      // The six-field companion: 15 context digits, the last ignored.
      {"4.0;Outxxx.dll;7;000000000000000;0000000000;OutXXX", "Outxxx.dll", "", 7, "00000000000000", "0000000000"},
      // Without a context map every context is asked for.
      {"4.0;x.dll;2", "x.dll", "", 2, "11111111111111", ""},
      {"4.0;x.dll;2;;", "x.dll", "", 2, "11111111111111", ""},
      // A short map asks for the contexts it names.
      {"4.0;x.dll;1;0000011", "x.dll", "", 1, "00000110000000", ""},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.text);
    std::string problem;
    const auto entry = ParseExtensionEntry(c.text, &problem);
    ASSERT_TRUE(entry.has_value()) << problem;
    EXPECT_EQ(entry->version, "4.0");
    EXPECT_EQ(entry->library, c.library);
    EXPECT_EQ(entry->entry_name, c.name);
    EXPECT_EQ(entry->entry_ordinal, c.ordinal);
    std::string contexts;
    for (int i = 0; i < kContextCount; ++i) contexts += entry->contexts[i] ? '1' : '0';
    EXPECT_EQ(contexts, c.contexts);
    EXPECT_EQ(entry->interface_map, c.interfaces);
  }
}

TEST(ExtensionEntryTest, RefusesMalformedEntries) {
  const char* const cases[] = {
      "",                               // nothing
      "4.0;x.dll",                      // no entry point
      ";x.dll;1;1",                     // no version
      "4.0;;1;1",                       // no library
      "4.0;x.dll;;1",                   // empty entry point
      "4.0;x.dll;0;1",                  // ordinal 0
      "4.0;x.dll;70000;1",              // ordinal past 16 bits
      "4.0;x.dll;1x;1",                 // neither ordinal nor name
      "4.0;x.dll;Init Library;1",       // a name with a blank
      "4.0;x.dll;1;11102",              // a context digit that is not 0 or 1
      "4.0;x.dll;1;111;00a",            // a bad interface map
  };
  for (const char* text : cases) {
    std::string problem;
    EXPECT_FALSE(ParseExtensionEntry(text, &problem).has_value()) << text;
    EXPECT_FALSE(problem.empty()) << text;
  }
}

}  // namespace
}  // namespace corvid::client
