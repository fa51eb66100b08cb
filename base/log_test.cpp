#include "base/log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

namespace corvid::log {
namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class LogTest : public testing::Test {
 protected:
  void SetUp() override {
    const char* tmp = std::getenv("TMPDIR");
    std::string name = std::string(tmp != nullptr ? tmp : "/tmp") + "/corvid-log-XXXXXX";
    ASSERT_NE(::mkdtemp(name.data()), nullptr);
    folder_ = name;
  }
  void TearDown() override {
    SetFile("");
    std::filesystem::remove_all(folder_);
  }
  std::string folder_;
};

TEST_F(LogTest, LinesAreWholeStampedAndEscaped) {
  const std::string file = folder_ + "/log/corvid.log";
  SetFile(file);
  Line("first");
  Line("evil\nforged line \x1B[2J bell\a");
  const std::string text = ReadFile(file);
  // Exactly two lines: the newline inside the text cannot start a third.
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2);
  EXPECT_NE(text.find(" corvid[" + std::to_string(::getpid()) + "]: first\n"), std::string::npos);
  EXPECT_NE(text.find("evil\\nforged line \\x1B[2J bell\\x07\n"), std::string::npos);
  EXPECT_EQ(text.find('\x1B'), std::string::npos);
}

TEST_F(LogTest, RotatesAtTheBoundAndKeepsOneOlderFile) {
  const std::string file = folder_ + "/corvid.log";
  SetFile(file, 200);
  for (int i = 0; i < 20; ++i) Line("line number " + std::to_string(i));
  EXPECT_LE(std::filesystem::file_size(file), 200u);
  EXPECT_TRUE(std::filesystem::exists(file + ".1"));
  EXPECT_FALSE(std::filesystem::exists(file + ".2"));
  // The newest line is in the current file, the one before it not lost to
  // the rotation that made room for it.
  EXPECT_NE(ReadFile(file).find("line number 19"), std::string::npos);
  EXPECT_NE((ReadFile(file) + ReadFile(file + ".1")).find("line number 18"), std::string::npos);
}

TEST_F(LogTest, AProgramsChoiceWinsOverALibrarysDefault) {
  SetFile(folder_ + "/chosen.log");
  SetDefaultFile(folder_ + "/default.log");
  EXPECT_EQ(File(), folder_ + "/chosen.log");
  SetFile("");
  SetDefaultFile(folder_ + "/default.log");
  EXPECT_EQ(File(), folder_ + "/default.log");
}

}  // namespace
}  // namespace corvid::log

namespace corvid::log {
namespace {

TEST_F(LogTest, ANoticeIsALineAndReachesTheHandlerEscaped) {
  const std::string file = folder_ + "/corvid.log";
  SetFile(file);
  std::vector<std::string> seen;
  SetNoticeHandler([&seen](const std::string& text) { seen.push_back(text); });
  Line("a step");
  Notice("kept as they were:\nreason");
  SetNoticeHandler(nullptr);
  Notice("after");
  EXPECT_EQ(seen, std::vector<std::string>{"kept as they were:\\nreason"});
  const std::string text = ReadFile(file);
  EXPECT_NE(text.find("a step\n"), std::string::npos);
  EXPECT_NE(text.find("kept as they were:\\nreason\n"), std::string::npos);
  EXPECT_NE(text.find("after\n"), std::string::npos);
}

}  // namespace
}  // namespace corvid::log
