#include "platform/win/machine.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <string>

#include "platform/win/test_support.h"

namespace corvid::win {
namespace {

// Restores the three variables the root is taken from.
class EnvironmentGuard {
 public:
  EnvironmentGuard() {
    for (int i = 0; i < 3; ++i) {
      const char* value = ::getenv(kNames[i]);
      had_[i] = value != nullptr;
      if (had_[i]) saved_[i] = value;
    }
  }
  ~EnvironmentGuard() {
    for (int i = 0; i < 3; ++i) {
      if (had_[i]) {
        ::setenv(kNames[i], saved_[i].c_str(), 1);
      } else {
        ::unsetenv(kNames[i]);
      }
    }
  }
  static constexpr const char* kNames[3] = {"CORVID_HOME", "XDG_DATA_HOME", "HOME"};

 private:
  bool had_[3];
  std::string saved_[3];
};

TEST(MachineTest, RootComesFromTheFirstSetVariable) {
  EnvironmentGuard guard;
  ::setenv("HOME", "/home/u", 1);
  ::setenv("XDG_DATA_HOME", "/data", 1);
  ::setenv("CORVID_HOME", "/machine", 1);
  EXPECT_EQ(MachineRoot(), "/machine");
  ::setenv("CORVID_HOME", "", 1);
  EXPECT_EQ(MachineRoot(), "/data/corvid");
  ::unsetenv("XDG_DATA_HOME");
  EXPECT_EQ(MachineRoot(), "/home/u/.local/share/corvid");
  ::unsetenv("HOME");
  EXPECT_THROW(MachineRoot(), EMachineError);
}

TEST(MachineTest, FoldersAreMadeUnderTheRoot) {
  TTestMachine machine;
  EXPECT_EQ(WindowsDirectory(), machine.Root() / "windows");
  EXPECT_EQ(AppDataDirectory(), machine.Root() / "appdata");
  EXPECT_EQ(ProgramFilesDirectory(), machine.Root() / "programs");
  EXPECT_EQ(RegistryDirectory(), machine.Root() / "registry");
  for (const char* folder : {"windows", "appdata", "programs", "registry"}) {
    EXPECT_TRUE(std::filesystem::is_directory(machine.Root() / folder)) << folder;
  }
  // A file where a folder belongs is reported, not ignored.
  std::filesystem::remove(machine.Root() / "appdata");
  std::ofstream(machine.Root() / "appdata") << "x";
  EXPECT_THROW(AppDataDirectory(), EMachineError);
}

}  // namespace
}  // namespace corvid::win
