#include "zip/dir_search.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "zip/temp_files.h"

namespace corvid::zip {
namespace {

namespace fs = std::filesystem;

class DirSearchTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::path(SystemTempDirectory()) / "corvid-walk-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = pattern + "/";
  }
  void TearDown() override { fs::remove_all(root_); }

  void File(const std::string& name, size_t size = 1) {
    fs::create_directories(fs::path(root_ + name).parent_path());
    std::ofstream(root_ + name) << std::string(size, 'x');
  }

  // Every file the walk reports, relative to the root, in walk order.
  std::vector<std::string> Walk(const std::string& start, bool recurse, const std::string& mask) {
    TDirSearch search(root_ + start, recurse, mask);
    std::vector<std::string> found;
    for (std::string path = search.Next(); !path.empty(); path = search.Next()) {
      EXPECT_EQ(path.rfind(root_, 0), 0u) << path;
      found.push_back(path.substr(root_.size()));
    }
    return found;
  }

  static std::vector<std::string> Sorted(std::vector<std::string> names) {
    std::sort(names.begin(), names.end());
    return names;
  }

  std::string root_;
};

TEST_F(DirSearchTest, MasksAndWhatIsNeverReportedOrEntered) {
  File("a.txt", 3);
  File("noext");
  File(".profile.txt");
  File("sub/b.txt");
  File("sub/deeper/c.TXT");
  File(".git/d.txt");  // hidden directory: not entered
  fs::create_directory_symlink(root_ + "sub", root_ + "link");    // not followed
  fs::create_directory_symlink("..", root_ + "sub/up");           // would loop
  fs::create_symlink(root_ + "a.txt", root_ + "alias.txt");       // a file: reported
  fs::create_symlink(root_ + "gone", root_ + "dangling.txt");     // nothing to read
  ASSERT_EQ(::mkfifo((root_ + "pipe.txt").c_str(), 0600), 0);     // reading would block

  struct Case {
    const char* mask;
    bool recurse;
    std::vector<std::string> expected;
  } cases[] = {
      {"*.*", false, {".profile.txt", "a.txt", "alias.txt", "noext"}},
      {"*.", false, {"noext"}},
      {"NOEXT", false, {"noext"}},
      {"", false, {".profile.txt", "a.txt", "alias.txt", "noext"}},
      {"*.txt", true, {".profile.txt", "a.txt", "alias.txt", "sub/b.txt", "sub/deeper/c.TXT"}},
      {"<bc>.*", true, {"sub/b.txt", "sub/deeper/c.TXT"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("mask \"") + c.mask + "\" recurse " + (c.recurse ? "on" : "off"));
    EXPECT_EQ(Sorted(Walk("", c.recurse, c.mask)), c.expected);
  }
}

TEST_F(DirSearchTest, ReportsSizesAndAcceptsAStartWithoutTrailingSlash) {
  File("data/one.bin", 1234);
  std::string start = root_ + "data";
  TDirSearch search(start, false, "*.*");
  int64_t size = -1;
  EXPECT_EQ(search.Next(size), start + "/one.bin");
  EXPECT_EQ(size, 1234);
  EXPECT_EQ(search.Next(size), "");
  EXPECT_EQ(search.Next(size), "");  // stays at the end
}

TEST_F(DirSearchTest, WalkIsDepthFirst) {
  for (const char* name : {"f1", "f2", "f3", "d1/f1", "d1/f2", "d1/e/f1", "d2/f1", "d2/e/f1", "d2/e/f2"})
    File(name);
  std::vector<std::string> found = Walk("", true, "*.*");
  ASSERT_EQ(found.size(), 9u);
  // Whatever the listing order, each subtree comes out in one piece.
  for (const std::string prefix : {"d1/", "d1/e/", "d2/", "d2/e/"}) {
    std::vector<size_t> at;
    for (size_t i = 0; i < found.size(); ++i)
      if (found[i].rfind(prefix, 0) == 0) at.push_back(i);
    ASSERT_FALSE(at.empty()) << prefix;
    EXPECT_EQ(at.back() - at.front() + 1, at.size()) << prefix << " is split";
  }
}

TEST_F(DirSearchTest, DescendsNoDeeperThan21OpenLevels) {
  std::string path;
  for (int depth = 0; depth < 25; ++depth) {
    File(path + "f.txt");
    path += "d" + std::to_string(depth) + "/";
  }
  std::vector<std::string> found = Walk("", true, "*.txt");
  EXPECT_EQ(found.size(), TDirSearch::kMaxLevels);
  size_t deepest = 0;
  for (const std::string& name : found) deepest = std::max<size_t>(deepest, std::count(name.begin(), name.end(), '/'));
  EXPECT_EQ(deepest, 20u);
}

TEST_F(DirSearchTest, WildcardsInTheStartDirectoryMatchSubdirectoriesLevelByLevel) {
  File("p1/logs/x.log");
  File("p1/logs/old/w.log");
  File("p2/LOGS/y.log");
  File("p2/other/z.log");
  File("p3.log");            // a file where a directory is expected
  File("q1/logs/q.log");     // fails the first component
  File(".p4/logs/h.log");    // hidden
  File("p5/logs.d/v.log");   // fails the second component

  EXPECT_EQ(Sorted(Walk("p*/logs", false, "*.log")), (std::vector<std::string>{"p1/logs/x.log", "p2/LOGS/y.log"}));
  EXPECT_EQ(Sorted(Walk("p*/logs/", true, "*.log")),
            (std::vector<std::string>{"p1/logs/old/w.log", "p1/logs/x.log", "p2/LOGS/y.log"}));
  // A hidden directory is entered only when the component asks for one.
  EXPECT_EQ(Walk(".p*/logs", false, "*"), std::vector<std::string>{".p4/logs/h.log"});
}

TEST_F(DirSearchTest, MissingStartDirectoryEndsAtOnceAndIsReported) {
  TDirSearch search(root_ + "absent", true, "*.*");
  EXPECT_EQ(search.Next(), "");
  EXPECT_EQ(search.UnreadableDirectories(), std::vector<std::string>{root_ + "absent/"});
}

}  // namespace
}  // namespace corvid::zip
