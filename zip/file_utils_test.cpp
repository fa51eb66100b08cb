#include "zip/file_utils.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "zip/errors.h"
#include "zip/temp_files.h"

namespace corvid::zip {
namespace {

namespace fs = std::filesystem;

class ForceDirectoriesTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::path(SystemTempDirectory()) / "corvid-dirs-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
  }
  void TearDown() override {
    fs::current_path(old_cwd_);
    fs::remove_all(root_);
  }
  fs::path old_cwd_ = fs::current_path();
  fs::path root_;
};

TEST_F(ForceDirectoriesTest, CreatesEveryMissingParent) {
  std::string deep = (root_ / "a/b/c/d").string();
  EXPECT_TRUE(ForceDirectories(deep));
  EXPECT_TRUE(fs::is_directory(deep));
  EXPECT_TRUE(ForceDirectories(deep));  // existing is fine
  EXPECT_TRUE(ForceDirectories((root_ / "a/x/").string()));
  EXPECT_TRUE(fs::is_directory(root_ / "a/x"));
  EXPECT_TRUE(ForceDirectories((root_ / "a/y//").string()));
  EXPECT_TRUE(fs::is_directory(root_ / "a/y"));
}

TEST_F(ForceDirectoriesTest, ShortRelativeNamesAreCreatedToo) {
  fs::current_path(root_);
  EXPECT_TRUE(ForceDirectories("ab/c"));
  EXPECT_TRUE(fs::is_directory(root_ / "ab/c"));
  EXPECT_TRUE(ForceDirectories("z"));
  EXPECT_TRUE(fs::is_directory(root_ / "z"));
  EXPECT_TRUE(ForceDirectories("/"));
}

TEST_F(ForceDirectoriesTest, FailuresAreReported) {
  EXPECT_THROW(
      {
        try {
          ForceDirectories("");
        } catch (const EFileError& e) {
          EXPECT_STREQ(e.what(), "Unable to create directory");
          throw;
        }
      },
      EFileError);
  std::ofstream(root_ / "file") << "x";
  EXPECT_FALSE(ForceDirectories((root_ / "file").string()));
  EXPECT_FALSE(ForceDirectories((root_ / "file/below").string()));
}

TEST(FileUtilsTest, IsWild) {
  for (const char* wild : {"*", "a?", "<ab>", "x>y", "a|b", "dir/*.txt"}) EXPECT_TRUE(IsWild(wild)) << wild;
  for (const char* plain : {"", "a.txt", "[ab]", "/usr/lib", "ä"}) EXPECT_FALSE(IsWild(plain)) << plain;
}

TEST(FileUtilsTest, LeftAndRightCountCharactersAndClip) {
  struct Case {
    const char* text;
    int64_t count;
    const char* left;
    const char* right;
  } cases[] = {
      {"abcdef", 2, "ab", "ef"},
      {"abc", 10, "abc", "abc"},
      {"abc", 0, "", ""},
      {"abc", -3, "", ""},
      {"", 2, "", ""},
      {"äöü€x", 2, "äö", "€x"},
      {"a\xFF" "b\xC3", 2, "a\xFF", "b\xC3"},  // invalid bytes count one each and survive
      {"😀b", 1, "😀", "b"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.text) + " / " + std::to_string(c.count));
    EXPECT_EQ(LeftStr(c.text, c.count), c.left);
    EXPECT_EQ(RightStr(c.text, c.count), c.right);
  }
}

TEST(FileUtilsTest, DiskFreeSpace) {
  EXPECT_GE(DiskFreeSpace(SystemTempDirectory()), 0);
  EXPECT_EQ(DiskFreeSpace("/nonexistent/corvid"), -1);
}

}  // namespace
}  // namespace corvid::zip
