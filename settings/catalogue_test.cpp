#include "settings/catalogue.h"

#include <gtest/gtest.h>

#include <set>

#include "platform/win/test_support.h"
#include "settings/blowfish_tools.h"

namespace corvid::settings {
namespace {

using namespace corvid::win;

TEST(CatalogueTest, PathsAreUniqueIgnoringCase) {
  std::set<std::string> seen;
  for (const TSettingInfo& row : Catalogue()) {
    std::string lower(row.path);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_TRUE(seen.insert(lower).second) << row.path;
  }
  EXPECT_EQ(seen.size(), 34u);
}

// A machine where Corvid never ran: every reader gets its default, and the
// first save puts each setting that was read into both registry roots.
TEST(CatalogueTest, FreshMachineStartsWithEveryDefaultAndSavesIt) {
  TTestMachine machine;
  TOptionsContainer options;
  options.LoadFromRegistry(HKEY_CURRENT_USER, kSettingsKey);
  EXPECT_EQ(options.Count(), 0);

  ReadAll(options, "/opt/corvid");
  EXPECT_EQ(options.Count(), 33) << "all but the legacy list, which is only ever read without creating";
  EXPECT_EQ(options.FindEntry(kSkipExtensions.path), nullptr);
  EXPECT_TRUE(Read(options, kCompressionEnabled));
  EXPECT_FALSE(Read(options, kUseOnlySendTo));
  EXPECT_EQ(Read(options, kCompressionLevel), 9);
  EXPECT_EQ(Read(options, kSkipFiles), "*.ZIP\r\n*.ARJ\r\n*.Z\r\n*.TAR\r\n*.TGZ\r\n*.Z\r\n*.ZOO\r\n*.ARC\r\n*.LZH\r\n*.CAB\r\n");
  EXPECT_EQ(Read(options, kInstallFolder), "/opt/corvid");
  EXPECT_EQ(Read(options, kDecompressionPassword), "");
  EXPECT_EQ(options.FindEntry(kDecompressionPassword.path)->AsText().size(), 16u) << "an unset password is stored encoded";

  options.SaveToRegistry(HKEY_LOCAL_MACHINE, kSettingsKey);
  options.SaveToRegistry(HKEY_CURRENT_USER, kSettingsKey);
  for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
    TOptionsContainer stored;
    stored.LoadFromRegistry(root, kSettingsKey);
    EXPECT_EQ(stored.Count(), 33);
    // Booleans and integers come back as integers (REG_DWORD), texts as text.
    EXPECT_EQ(std::get<int32_t>(stored.FindEntry(kMakeSingleZIP.path)->Value()), 1);
    EXPECT_EQ(std::get<int32_t>(stored.FindEntry(kMinFileSize.path)->Value()), 1);
    EXPECT_EQ(std::get<std::string>(stored.FindEntry(kDefaultZIPName.path)->Value()), "attachments.zip");
    EXPECT_EQ(std::get<std::string>(stored.FindEntry(kCompressionPassword.path)->Value()), EncryptString(""));
  }
}

TEST(CatalogueTest, PasswordsAreWrittenEncodedAndCountersWrap) {
  TOptionsContainer options;
  Write(options, kCompressionPassword, "s3cret");
  EXPECT_EQ(options.ReadString(kCompressionPassword.path, "", false, false), EncryptString("s3cret"));
  EXPECT_EQ(Read(options, kCompressionPassword), "s3cret");

  Write(options, kZipFilesSize, 2147483000);
  EXPECT_EQ(Increment(options, kZipFilesSize, 1000), -2147483296);
  EXPECT_EQ(Increment(options, kNumMessages), 1);
  EXPECT_EQ(Increment(options, kNumMessages), 2);
}

}  // namespace
}  // namespace corvid::settings
