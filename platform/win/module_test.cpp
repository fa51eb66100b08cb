#include "platform/win/module.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace corvid::win {
namespace {

namespace fs = std::filesystem;

using IntProc = int (*)();
using AddressProc = const void* (*)();
using LoadProc = HMODULE (*)(const char*);

// The test module lies beside this program as "ModTest.DLL".
fs::path TestModulePath() { return fs::path(ModuleFileName(nullptr)).parent_path() / "ModTest.DLL"; }

class ModuleTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "corvid-module-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

TEST_F(ModuleTest, LoadsBesideTheProgramIgnoringCaseAndFindsExports) {
  ASSERT_TRUE(fs::exists(TestModulePath()));
  HMODULE module = LoadLibrary("modtest.dll");
  ASSERT_NE(module, nullptr) << LoaderError();
  EXPECT_EQ(ModuleFileName(module), TestModulePath().string());
  EXPECT_EQ(GetModuleHandle("MODTEST.DLL"), module);

  auto value = reinterpret_cast<IntProc>(GetProcAddress(module, "ModuleValue"));
  ASSERT_NE(value, nullptr);
  EXPECT_EQ(value(), 42);
  // By ordinal: the same function.
  EXPECT_EQ(reinterpret_cast<IntProc>(GetProcAddress(module, MAKEINTRESOURCEA(7))), value);
  EXPECT_EQ(GetProcAddress(module, MAKEINTRESOURCEA(8)), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
  // Found through the module's own dependencies only on Linux, never here.
  EXPECT_EQ(GetProcAddress(module, "malloc"), nullptr);
  EXPECT_EQ(GetProcAddress(module, "NoSuchProc"), nullptr);

  // A library finds itself from any address of its own, data included.
  auto data = reinterpret_cast<AddressProc>(GetProcAddress(module, "ModuleDataAddress"));
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(ModuleOfAddress(data()), module);
  EXPECT_EQ(ModuleOfAddress(reinterpret_cast<const void*>(value)), module);

  // A second load shares the module; it stays until the last reference goes.
  // (Whether the last one unloads it is the C++ runtime's call: objects
  // with process-wide unique symbols stay.)
  EXPECT_EQ(LoadLibrary("ModTest.DLL"), module);
  EXPECT_TRUE(FreeLibrary(module));
  EXPECT_EQ(GetModuleHandle("ModTest.DLL"), module);
  EXPECT_TRUE(FreeLibrary(module));
  EXPECT_FALSE(FreeLibrary(module));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

// A library loading a companion by bare name finds it beside itself, not
// beside the program: how the extension finds the MAPI library.
TEST_F(ModuleTest, ALibrarySearchesItsOwnFolderFirst) {
  // Fresh names on every run: a module that stays pinned in the process
  // would be found by its name first.
  static int run = 0;
  const std::string n = std::to_string(++run);
  fs::copy_file(TestModulePath(), dir_ / ("Loader" + n + ".DLL"));
  fs::copy_file(TestModulePath(), dir_ / ("Companion" + n + ".DLL"));
  fs::copy_file(TestModulePath(), dir_ / ("Third" + n + ".DLL"));
  // Backslashes are folder separators in a module path.
  std::string loader_path = (dir_ / ("LOADER" + n + ".dll")).string();
  for (char& c : loader_path) c = c == '/' ? '\\' : c;
  HMODULE loader = LoadLibrary(loader_path);
  ASSERT_NE(loader, nullptr) << LoaderError();
  EXPECT_EQ(ModuleFileName(loader), (dir_ / ("Loader" + n + ".DLL")).string());

  auto load = reinterpret_cast<LoadProc>(GetProcAddress(loader, "LoadFromModule"));
  ASSERT_NE(load, nullptr);
  HMODULE companion = load(("COMPANION" + n + ".DLL").c_str());
  ASSERT_NE(companion, nullptr);
  EXPECT_NE(companion, loader);
  EXPECT_EQ(ModuleFileName(companion), (dir_ / ("Companion" + n + ".DLL")).string());
  // The program itself does not see the library's folder.
  EXPECT_EQ(LoadLibrary("Third" + n + ".DLL"), nullptr);
  EXPECT_EQ(LoadLibraryFrom(dir_, "companion" + n + ".dll"), companion);

  EXPECT_TRUE(FreeLibrary(companion));  // through the program's loader
  EXPECT_TRUE(FreeLibrary(loader));
}

TEST_F(ModuleTest, FailuresSayWhy) {
  EXPECT_EQ(LoadLibrary("NoSuchModule.DLL"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  EXPECT_EQ(LoadLibrary(""), nullptr);
  EXPECT_EQ(LoadLibrary((dir_ / "Missing.DLL").string()), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));

  std::ofstream(dir_ / "Broken.DLL") << "MZ not an image";
  EXPECT_EQ(LoadLibraryFrom(dir_, "Broken.DLL"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_EXE_FORMAT));
  EXPECT_NE(LoaderError(), "");

  int on_the_stack = 0;
  EXPECT_EQ(ModuleOfAddress(&on_the_stack), nullptr);
  EXPECT_EQ(GetProcAddress(reinterpret_cast<HMODULE>(uintptr_t{0x1000}), "x"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(ModuleTest, ProgramNameInWin32Shape) {
  const std::string program = fs::read_symlink("/proc/self/exe").string();
  EXPECT_EQ(ModuleFileName(nullptr), program);
  EXPECT_EQ(ModuleFileName(GetModuleHandle(nullptr)), program);
  EXPECT_EQ(GetModuleHandle(nullptr), ModuleOfAddress(reinterpret_cast<const void*>(&TestModulePath)));

  char buffer[MAX_PATH];
  EXPECT_EQ(GetModuleFileName(nullptr, buffer, sizeof buffer), program.size());
  EXPECT_EQ(std::string(buffer), program);
  char small[5];
  EXPECT_EQ(GetModuleFileName(nullptr, small, sizeof small), sizeof small);  // cut to fit
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(std::string(small), program.substr(0, 4));
}

}  // namespace
}  // namespace corvid::win
