#include "zip/temp_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "zip/errors.h"

namespace corvid::zip {
namespace {

namespace fs = std::filesystem;

// Points TMPDIR at a fresh folder for the test and restores it afterwards,
// so that numbered names never meet another test's files.
class TempFilesTest : public testing::Test {
 protected:
  void SetUp() override {
    const char* old = std::getenv("TMPDIR");
    had_tmpdir_ = old != nullptr;
    if (had_tmpdir_) old_tmpdir_ = old;
    std::string pattern = (fs::path(SystemTempDirectory()) / "corvid-temp-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    ::setenv("TMPDIR", dir_.c_str(), 1);
  }
  void TearDown() override {
    if (had_tmpdir_) {
      ::setenv("TMPDIR", old_tmpdir_.c_str(), 1);
    } else {
      ::unsetenv("TMPDIR");
    }
    ::chmod(dir_.c_str(), 0700);
    fs::remove_all(dir_);
  }

  std::string In(const std::string& name) const { return (dir_ / name).string(); }

  fs::path dir_;
  bool had_tmpdir_ = false;
  std::string old_tmpdir_;
};

TEST_F(TempFilesTest, TempDirectoryIsTmpdirOnlyWhenItIsADirectory) {
  EXPECT_EQ(SystemTempDirectory(), dir_.string());
  std::ofstream(In("plain")) << "x";
  for (const std::string& tmpdir : {std::string(), std::string("/nonexistent/corvid"), In("plain")}) {
    ::setenv("TMPDIR", tmpdir.c_str(), 1);
    EXPECT_EQ(SystemTempDirectory(), "/tmp") << "TMPDIR=" << tmpdir;
  }
  ::unsetenv("TMPDIR");
  EXPECT_EQ(SystemTempDirectory(), "/tmp");
}

TEST_F(TempFilesTest, FileNamesTakeTheSmallestFreeNumber) {
  std::string first = CreateTempFileName();
  EXPECT_EQ(first, In("CorvidF0.tmp"));
  EXPECT_TRUE(fs::is_regular_file(first));
  EXPECT_EQ(fs::file_size(first), 0u);
  // An existing name is never handed out again, whatever occupies it.
  EXPECT_EQ(CreateTempFileName(), In("CorvidF1.tmp"));
  fs::create_directory(In("CorvidF2.tmp"));
  fs::create_symlink(In("nowhere"), In("CorvidF3.tmp"));
  EXPECT_EQ(CreateTempFileName(), In("CorvidF4.tmp"));
  EXPECT_FALSE(fs::exists(In("nowhere")));
  // A freed name is the smallest again.
  fs::remove(first);
  EXPECT_EQ(CreateTempFileName(), first);
}

TEST_F(TempFilesTest, DirectoryNamesTakeTheSmallestFreeNumber) {
  std::ofstream(In("CorvidD0.tmp")) << "a file in the way";
  std::string made = CreateTempDirectory();
  EXPECT_EQ(made, In("CorvidD1.tmp"));
  EXPECT_TRUE(fs::is_directory(made));
  EXPECT_EQ(CreateTempDirectory(), In("CorvidD2.tmp"));
}

TEST_F(TempFilesTest, ConcurrentCallersNeverShareAName) {
  constexpr int kThreads = 8, kEach = 25;
  std::vector<std::vector<std::string>> names(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&names, t] {
      for (int i = 0; i < kEach; ++i) names[t].push_back(i % 2 ? CreateTempDirectory() : CreateTempFileName());
    });
  }
  for (auto& thread : threads) thread.join();
  std::set<std::string> distinct;
  for (const auto& list : names) distinct.insert(list.begin(), list.end());
  EXPECT_EQ(distinct.size(), size_t{kThreads * kEach});
}

TEST_F(TempFilesTest, UncreatableDirectoryRaisesTheSystemReason) {
  if (::geteuid() == 0) GTEST_SKIP() << "permissions do not stop root";
  ::chmod(dir_.c_str(), 0500);
  try {
    CreateTempDirectory();
    FAIL() << "nothing raised";
  } catch (const EFileError& e) {
    EXPECT_NE(std::string(e.what()).find("Permission denied"), std::string::npos) << e.what();
  }
  EXPECT_THROW(CreateTempFileName(), EFileError);
}

TEST_F(TempFilesTest, FileSizeOfKeepsTheLow32Bits) {
  std::ofstream(In("five")) << "12345";
  fs::create_directory(In("dir"));
  {
    std::ofstream(In("big"));  // sparse: costs no disk space
    fs::resize_file(In("big"), (uint64_t{1} << 32) + 7);
  }
  EXPECT_EQ(FileSizeOf(In("five")), 5u);
  EXPECT_EQ(FileSizeOf(In("big")), 7u);
  EXPECT_EQ(FileSizeOf(In("missing")), 0u);
  EXPECT_EQ(FileSizeOf(In("dir")), 0u);
}

TEST_F(TempFilesTest, TempFileStreamLeavesNoFileEvenWhileOpen) {
  TTempFileStream stream;
  EXPECT_EQ(stream.FileName(), In("CorvidF0.tmp"));
  // Already gone from the folder: a process killed now leaves nothing.
  EXPECT_FALSE(fs::exists(stream.FileName()));
  stream.WriteBuffer("data", 4);
  stream.SetPosition(0);
  char back[4];
  stream.ReadBuffer(back, 4);
  EXPECT_EQ(std::string(back, 4), "data");
  EXPECT_EQ(stream.Size(), 4);
}

}  // namespace
}  // namespace corvid::zip
