#include "platform/win/profile_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <iterator>
#include <thread>

#include "platform/win/machine.h"
#include "platform/win/test_support.h"

namespace corvid::win {
namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class ProfileFilesTest : public testing::Test {
 protected:
  std::string Path(const char* name = "test.ini") const { return (machine_.Root() / name).string(); }
  void Write(const std::string& text, const char* name = "test.ini") const {
    std::ofstream(Path(name), std::ios::binary) << text;
  }
  std::string Get(const char* section, const char* key, const char* fallback = "<default>", DWORD size = 256) {
    std::vector<char> buffer(size + 1, '#');
    const DWORD length = GetPrivateProfileString(section, key, fallback, buffer.data(), size, Path().c_str());
    EXPECT_EQ(buffer[length], '\0');
    return std::string(buffer.data(), length);
  }
  // A list result: names separated by '|' for readability.
  std::string List(const char* section, DWORD size = 256, DWORD* result = nullptr) {
    std::vector<char> buffer(size, '#');
    const DWORD length = GetPrivateProfileString(section, nullptr, "", buffer.data(), size, Path().c_str());
    if (result != nullptr) *result = length;
    std::string text(buffer.data(), length);
    for (char& c : text) c = c == '\0' ? '|' : c;
    return text;
  }

  TTestMachine machine_;
};

TEST_F(ProfileFilesTest, ReadsValuesAsWindowsDoes) {
  Write(
      "\xEF\xBB\xBF"
      "top=ignored\r\n"
      "; a comment\r\n"
      "[Install]\r\n"
      "Silent = 1 \r\n"
      "Dir=\t/opt/corvid\t\r\n"
      "Quoted=\"  kept  \"\r\n"
      "Single='x'\r\n"
      "Half=\"open\r\n"
      "Bare\r\n"
      "Twice=first\r\n"
      "twice=second\r\n"
      "Equals=a=b\r\n"
      "[ Options ]\n"
      "Compression\\Enabled=1\n"
      "[install]\n"
      "Late=never\n");
  struct Case {
    const char* section;
    const char* key;
    const char* expected;
  };
  const Case cases[] = {
      {"Install", "Silent", "1"},
      {"INSTALL", "silent", "1"},
      {"Install", "Dir", "/opt/corvid"},
      {"Install", "Quoted", "  kept  "},
      {"Install", "Single", "x"},
      {"Install", "Half", "\"open"},
      {"Install", "Bare", ""},
      {"Install", "TWICE", "first"},
      {"Install", "Equals", "a=b"},
      {"Install", "top", "<default>"},
      {"Install", "Late", "<default>"},  // only the first section of a name counts
      {"Options", "compression\\enabled", "1"},
      {"Missing", "Silent", "<default>"},
  };
  for (const Case& c : cases) EXPECT_EQ(Get(c.section, c.key), c.expected) << c.section << "/" << c.key;
  EXPECT_EQ(Get("Install", "Nope", "fallback  "), "fallback") << "trailing blanks leave the default";
  EXPECT_EQ(Get("Install", "Nope", nullptr), "");
  EXPECT_EQ(List("Install"), "Silent|Dir|Quoted|Single|Half|Bare|Twice|twice|Equals|");
  EXPECT_EQ(List(nullptr), "Install|Options|install|");
  EXPECT_EQ(List("Missing"), "");

  std::ofstream(Path(), std::ios::trunc).close();
  fs::remove(Path());
  EXPECT_EQ(Get("Install", "Silent"), "<default>") << "a missing file gives the default";
}

TEST_F(ProfileFilesTest, BufferSizesCutAsWindowsDoes) {
  Write("[S]\nKey=abcdef\nLong=\xC3\xA4\xC3\xA4\xC3\xA4\nA=1\nBB=2\n");
  EXPECT_EQ(Get("S", "Key", "", 4), "abc");
  EXPECT_EQ(Get("S", "Key", "", 7), "abcdef");
  EXPECT_EQ(Get("S", "Long", "", 5), "\xC3\xA4\xC3\xA4") << "never half a character";
  EXPECT_EQ(Get("S", "Long", "", 4), "\xC3\xA4");

  DWORD result = 0;
  EXPECT_EQ(List("S", 7, &result), "Key|L");
  EXPECT_EQ(result, 5u) << "a cut list returns size - 2";
  EXPECT_EQ(List("S", 6, &result), "Key|");
  EXPECT_EQ(result, 4u);
  EXPECT_EQ(List("S", 20, &result), "Key|Long|A|BB|");
  EXPECT_EQ(result, 14u);

  char small[1] = {'#'};
  EXPECT_EQ(GetPrivateProfileString("S", "Key", "", small, 0, Path().c_str()), 0u);
  EXPECT_EQ(small[0], '#') << "a zero size writes nothing";
}

TEST_F(ProfileFilesTest, WritesKeepTheRestOfTheFile) {
  Write("; settings\r\n[Install]\r\nSilent=1\r\n\r\n[Options]\r\nA=1\r\n; note\r\n\r\n[Other]\r\nZ=9\r\n");
  ASSERT_TRUE(WritePrivateProfileString("Options", "a", "2", Path().c_str()));
  ASSERT_TRUE(WritePrivateProfileString("Options", "B", "  spaced\t", Path().c_str()));
  ASSERT_TRUE(WritePrivateProfileString("New", "K", "'quoted'", Path().c_str()));
  EXPECT_EQ(ReadFile(Path()),
            "; settings\r\n[Install]\r\nSilent=1\r\n\r\n[Options]\r\nA=2\r\nB=\"  spaced\t\"\r\n; note\r\n\r\n"
            "[Other]\r\nZ=9\r\n\r\n[New]\r\nK=\"'quoted'\"\r\n");
  EXPECT_EQ(Get("Options", "B"), "  spaced\t");
  EXPECT_EQ(Get("New", "K"), "'quoted'");

  ASSERT_TRUE(WritePrivateProfileString("Options", nullptr, nullptr, Path().c_str()));
  ASSERT_TRUE(WritePrivateProfileString("Other", "Z", nullptr, Path().c_str()));
  ASSERT_TRUE(WritePrivateProfileString("Gone", nullptr, nullptr, Path().c_str()));
  EXPECT_EQ(ReadFile(Path()), "; settings\r\n[Install]\r\nSilent=1\r\n\r\n[Other]\r\n\r\n[New]\r\nK=\"'quoted'\"\r\n");

  // A new file takes CR LF; an LF file keeps LF.
  ASSERT_TRUE(WritePrivateProfileString("S", "K", "v", Path("fresh.ini").c_str()));
  EXPECT_EQ(ReadFile(Path("fresh.ini")), "[S]\r\nK=v\r\n");
  Write("[S]\nK=v", "lf.ini");
  ASSERT_TRUE(WritePrivateProfileString("S", "L", "w", Path("lf.ini").c_str()));
  EXPECT_EQ(ReadFile(Path("lf.ini")), "[S]\nK=v\nL=w\n");
}

TEST_F(ProfileFilesTest, RefusesWhatWouldNotReadBack) {
  Write("[S]\r\nK=v\r\n");
  struct Case {
    const char* section;
    const char* key;
    const char* value;
  };
  const Case cases[] = {
      {"S", "K", "line\r\n[Evil]\r\nX=1"}, {"S", "K", "lf\nonly"}, {"S", "A=B", "v"},  {"S", " K", "v"},
      {"S", ";K", "v"},                    {"S]", "K", "v"},       {"", "K", "v"},     {"S", "", "v"},
  };
  for (const Case& c : cases) {
    SetLastError(0);
    EXPECT_FALSE(WritePrivateProfileString(c.section, c.key, c.value, Path().c_str())) << c.key << "=" << c.value;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  }
  EXPECT_EQ(ReadFile(Path()), "[S]\r\nK=v\r\n");
  EXPECT_FALSE(WritePrivateProfileString("S", "K", "v", (machine_.Root() / "no" / "such.ini").c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

TEST_F(ProfileFilesTest, FileIsReplacedWholeKeepingItsMode) {
  Write("[S]\nK=v\n");
  ASSERT_EQ(::chmod(Path().c_str(), 0640), 0);
  ASSERT_TRUE(WritePrivateProfileString("S", "K", "w", Path().c_str()));
  struct stat status;
  ASSERT_EQ(::stat(Path().c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0640u);
  int files = 0;
  for (const auto& entry : fs::directory_iterator(machine_.Root())) files += entry.is_regular_file();
  EXPECT_EQ(files, 1) << "no temporary file is left behind";

  // A name without a folder lives in the Windows folder.
  ASSERT_TRUE(WritePrivateProfileString("S", "K", "v", "corvid.ini"));
  EXPECT_EQ(ReadFile(WindowsDirectory() / "corvid.ini"), "[S]\r\nK=v\r\n");
}

TEST_F(ProfileFilesTest, ConcurrentWritersLoseNothing) {
  constexpr int kKeys = 40;
  auto writer = [&](const char* prefix) {
    for (int i = 0; i < kKeys; ++i) {
      WritePrivateProfileString("S", (prefix + std::to_string(i)).c_str(), "v", Path().c_str());
    }
  };
  std::thread a(writer, "a"), b(writer, "b");
  a.join();
  b.join();
  DWORD length = 0;
  const std::string names = List("S", 4096, &length);
  EXPECT_EQ(std::count(names.begin(), names.end(), '|'), 2 * kKeys);
}

TEST(MemoryProfileFilesTest, BehavesLikeFilesAndCountsWrites) {
  auto memory = std::make_shared<TMemoryProfileFiles>();
  TProfileFilesOverride route(memory);
  memory->SetText("/v/x.ini", "[S]\nK=old\n");
  ASSERT_TRUE(WritePrivateProfileString("S", "K", "new", "/v/x.ini"));
  ASSERT_TRUE(WritePrivateProfileString("T", nullptr, nullptr, "/v/x.ini"));
  EXPECT_EQ(memory->Text("/v/x.ini"), "[S]\nK=new\n");
  EXPECT_EQ(memory->WriteCount(), 1);
  char buffer[16];
  EXPECT_EQ(GetPrivateProfileString("s", "k", "", buffer, sizeof buffer, "/v/x.ini"), 3u);
  EXPECT_STREQ(buffer, "new");
}

}  // namespace
}  // namespace corvid::win
