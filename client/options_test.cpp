// `corvid options` as a process, with the real extension registered and a
// scripted user typing into the terminal forms.
#include "client/process_test_fixture.h"
#include "platform/win/registry.h"
#include "settings/options_container.h"

namespace corvid::client::test {
namespace {

class OptionsCommandTest : public TClientProcessTest {
 protected:
  // Runs `corvid options` with `typed` as what the user types; returns its
  // exit status and keeps what it showed.
  int Options(const std::string& typed) {
    const fs::path input = work_ / "typed";
    const fs::path shown = work_ / "shown";
    WriteFile(input, typed);
    const int status = Shell("CORVID_UI=terminal " + Dist("corvid") + " options < " + Quote(input.string()) + " > " +
                             Quote(shown.string()) + " 2>&1");
    shown_ = ReadFile(shown);
    return status;
  }
  int StoredLevel() {
    settings::TOptionsContainer stored;
    stored.LoadFromRegistry(win::HKEY_CURRENT_USER, "Software\\Corvid");
    return stored.ReadInteger("Compression\\CompressionLevel", -1, false, false);
  }
  std::string shown_;
};

// The sheet lists "General" then "Compress"; the page's second button opens
// the compression dialog, whose field 21 is the level.
TEST_F(OptionsCommandTest, ApplyStoresTheChangedLevelAndCancelDoesNot) {
  ASSERT_EQ(Options("2\n2\n21\n3\nok\nok\napply\nok\n"), 0) << shown_;
  EXPECT_NE(shown_.find("  2  [Compress]"), std::string::npos) << shown_;
  EXPECT_NE(shown_.find("21  Compression level: [3]"), std::string::npos) << shown_;
  EXPECT_EQ(StoredLevel(), 3);

  EXPECT_EQ(Options("2\n2\n21\n6\nok\nok\ncancel\n"), 1) << shown_;
  EXPECT_EQ(StoredLevel(), 3);
  // OK applies without Apply.
  ASSERT_EQ(Options("2\n2\n21\n6\nok\nok\nok\n"), 0) << shown_;
  EXPECT_EQ(StoredLevel(), 6);
}

TEST_F(OptionsCommandTest, WithoutATerminalTheSheetClosesUnchanged) {
  const int before = StoredLevel();
  EXPECT_EQ(Shell("CORVID_UI=none " + Dist("corvid") + " options </dev/null >/dev/null 2>&1"), 1);
  EXPECT_EQ(StoredLevel(), before);
}

}  // namespace
}  // namespace corvid::client::test
