// The resource table with resources registered by the test itself.
#include "platform/win/resources.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace corvid::win {
namespace {

const uint8_t kDialog[] = {1, 2, 3, 0, 255};
const ResourceRegistration kDialogResource("TestDialog", 5, kDialog, sizeof kDialog);

class ResourcesTest : public testing::Test {
 protected:
  void SetUp() override {
    const char* tmp = std::getenv("TMPDIR");
    std::string base = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
    ::mkdir(base.c_str(), 0777);
    dir_ = base + "/corvid-res-XXXXXX";
    ASSERT_NE(::mkdtemp(dir_.data()), nullptr);
  }
  void TearDown() override {
    std::error_code ignored;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
  }

  // Names in the test folder, sorted.
  std::vector<std::string> Listing() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir_)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }

  static std::string Read(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  }

  std::string dir_;
};

TEST_F(ResourcesTest, FindsByNameWithoutCaseAndByType) {
  struct Case {
    const char* name;
    int type;
    bool found;
  };
  const Case cases[] = {
      {"TestDialog", 5, true}, {"TESTDIALOG", 5, true}, {"testdialog", 5, true},
      {"TestDialog", RT_RCDATA, false}, {"TestDialo", 5, false}, {"TestDialogs", 5, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto data = LookupResource(c.name, c.type);
    ASSERT_EQ(data.has_value(), c.found);
    EXPECT_EQ(ResourceSize(c.name, c.type), c.found ? sizeof kDialog : 0u);
    if (c.found) {
      EXPECT_EQ(std::vector<uint8_t>(data->begin(), data->end()),
                std::vector<uint8_t>(kDialog, kDialog + sizeof kDialog));
    }
  }
}

TEST_F(ResourcesTest, RegistrationEndsWithItsObjectAndTheLatestWins) {
  const uint8_t newer[] = {9};
  {
    ResourceRegistration loaded("testdialog", 5, newer, sizeof newer);
    ASSERT_EQ(ResourceSize("TestDialog", 5), 1u);
    const uint8_t empty = 0;
    ResourceRegistration nothing("Empty", 5, &empty, 0);
    EXPECT_TRUE(LookupResource("EMPTY", 5).has_value());
    ASSERT_TRUE(SaveResourceToFile("Empty", 5, dir_ + "/empty.bin"));
    EXPECT_EQ(Read(dir_ + "/empty.bin"), "");
  }
  EXPECT_EQ(ResourceSize("TestDialog", 5), sizeof kDialog);
  EXPECT_FALSE(LookupResource("Empty", 5).has_value());
}

TEST_F(ResourcesTest, SaveReplacesTheFileWhole) {
  const std::string target = dir_ + "/dialog.res";
  std::ofstream(target) << "a longer file that was here before";
  ASSERT_TRUE(SaveResourceToFile("testDIALOG", 5, target));
  EXPECT_EQ(Read(target), std::string(reinterpret_cast<const char*>(kDialog), sizeof kDialog));
  EXPECT_EQ(Listing(), std::vector<std::string>{"dialog.res"});
}

TEST_F(ResourcesTest, FailureLeavesNoFile) {
  std::ofstream(dir_ + "/kept") << "kept";
  ASSERT_EQ(::mkdir((dir_ + "/folder").c_str(), 0777), 0);
  struct Case {
    const char* what;
    std::string name;
    std::string file;
  };
  const Case cases[] = {
      {"absent resource", "NoSuchThing", dir_ + "/kept"},
      {"absent resource, new file", "NoSuchThing", dir_ + "/new"},
      {"missing folder", "TestDialog", dir_ + "/missing/new"},
      {"a folder in the way", "TestDialog", dir_ + "/folder"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_FALSE(SaveResourceToFile(c.name, 5, c.file));
    EXPECT_EQ(Listing(), (std::vector<std::string>{"folder", "kept"}));
    EXPECT_EQ(Read(dir_ + "/kept"), "kept");
  }
}

}  // namespace
}  // namespace corvid::win
