#include "core/self_registration.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <memory>
#include <string>

#include "platform/win/machine.h"
#include "platform/win/registry.h"
#include "platform/win/running_objects.h"
#include "platform/win/test_support.h"
#include "ui/presenter.h"

namespace corvid::core {
namespace {

const std::string kDist = CORVID_DIST;
const std::string kLibrary = kDist + "/corvina.dll";

struct TValue {
  win::LONG result = win::ERROR_FILE_NOT_FOUND;
  win::DWORD type = 0;
  std::string bytes;
};

TValue ReadValue(const char* name) {
  TValue value;
  win::HKEY key = nullptr;
  value.result = win::RegOpenKeyEx(win::HKEY_LOCAL_MACHINE, kExtensionsKey, 0, win::KEY_READ, &key);
  if (value.result != win::ERROR_SUCCESS) return value;
  value.result = win::CurrentRegistry()->QueryValue(key, name, &value.type, &value.bytes);
  win::RegCloseKey(key);
  return value;
}

// Runs a command with its output dropped; its exit status.
int RunQuietly(const std::string& command) {
  const int status = std::system((command + " >/dev/null 2>&1").c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(SelfRegistrationTest, RundllWritesTheEntryAndTheCompanionValue) {
  win::TTestMachine machine;
  ASSERT_EQ(RunQuietly(kDist + "/rundll32 " + kLibrary + ",Install_RunDLL 1"), 0);

  const TValue entry = ReadValue("Corvid Outlook Extension");
  ASSERT_EQ(entry.result, win::ERROR_SUCCESS);
  EXPECT_EQ(entry.type, win::REG_SZ);
  // The module file name as loaded, and a terminating zero.
  const std::string text = "4.0;" + kLibrary + ";1;11100111111101;0011110";
  EXPECT_EQ(entry.bytes, text + std::string(1, '\0'));
  EXPECT_EQ(entry.bytes.size(), text.size() + 1);

  const TValue companion = ReadValue("Outlook Setup Extension");
  ASSERT_EQ(companion.result, win::ERROR_SUCCESS);
  EXPECT_EQ(companion.type, win::REG_SZ);
  EXPECT_EQ(companion.bytes, std::string("4.0;Outxxx.dll;7;000000000000000;0000000000;OutXXX") + '\0');
  EXPECT_EQ(companion.bytes.size(), 51u);

  // By ordinal, and uninstalling: the companion stays.
  ASSERT_EQ(RunQuietly(kDist + "/rundll32 " + kLibrary + ",#2 0"), 0);
  EXPECT_EQ(ReadValue("Corvid Outlook Extension").result, win::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(ReadValue("Outlook Setup Extension").bytes.size(), 51u);
}

TEST(SelfRegistrationTest, RundllReportsWhatFailed) {
  win::TTestMachine machine;
  EXPECT_NE(RunQuietly(kDist + "/rundll32 " + kDist + "/no-such.dll,Install_RunDLL 1"), 0);
  EXPECT_NE(RunQuietly(kDist + "/rundll32 " + kLibrary + ",NoSuchEntry 1"), 0);
  EXPECT_NE(RunQuietly(kDist + "/rundll32 " + kLibrary), 0);
  EXPECT_EQ(ReadValue("Corvid Outlook Extension").result, win::ERROR_FILE_NOT_FOUND);
}

TEST(SelfRegistrationTest, CommandLineChoosesInstallOrUninstall) {
  struct TCase {
    const char* command_line;
    bool install;
  };
  const TCase cases[] = {
      {"1", true},     {"1 and more", true}, {"10", true},   {"true", true}, {"x TrUe y", true},
      {"untrueness", true}, {"0", false},    {"", false},    {"yes", false}, {" 1", false},
      {"tru e", false}, {nullptr, false},
  };
  for (const TCase& c : cases) {
    EXPECT_EQ(RunDllAsksInstall(c.command_line), c.install) << (c.command_line ? c.command_line : "(null)");
  }
}

TEST(SelfRegistrationTest, InstallRewritesUninstallFailsTheSecondTime) {
  win::TTestMachine machine;
  EXPECT_FALSE(RegisterExtension(nullptr, true, ""));
  EXPECT_EQ(ReadValue("Outlook Setup Extension").result, win::ERROR_FILE_NOT_FOUND);

  EXPECT_TRUE(RegisterExtension(nullptr, true, "/opt/a/corvina.dll"));
  EXPECT_TRUE(RegisterExtension(nullptr, true, "/opt/b/corvina.dll"));
  EXPECT_EQ(ReadValue("Corvid Outlook Extension").bytes, ExtensionEntryText("/opt/b/corvina.dll") + '\0');

  // The setup program's entry has a name of its own and stays.
  win::HKEY key = nullptr;
  ASSERT_EQ(win::RegOpenKeyEx(win::HKEY_LOCAL_MACHINE, kExtensionsKey, 0, win::KEY_ALL_ACCESS, &key),
            win::ERROR_SUCCESS);
  win::CurrentRegistry()->SetValue(key, "Corvid Outlook Extension v.17", win::REG_SZ, std::string("x") + '\0');
  win::RegCloseKey(key);
  EXPECT_TRUE(RegisterExtension(nullptr, false, "/opt/b/corvina.dll"));
  EXPECT_FALSE(RegisterExtension(nullptr, false, "/opt/b/corvina.dll"));
  EXPECT_EQ(ReadValue("Corvid Outlook Extension v.17").result, win::ERROR_SUCCESS);
}

TEST(SelfRegistrationTest, NoWriteAccessToTheMachineFails) {
  win::TTestMachine machine;
  ReadValue("x");  // makes the hives
  for (const auto& file : std::filesystem::directory_iterator(win::RegistryDirectory())) {
    ::chmod(file.path().c_str(), 0444);
  }
  ::chmod(win::RegistryDirectory().c_str(), 0555);
  EXPECT_FALSE(RegisterExtension(nullptr, true, "/opt/a/corvina.dll"));
  EXPECT_EQ(ReadValue("Corvid Outlook Extension").result, win::ERROR_FILE_NOT_FOUND);
}

// The mail client registers its application object while it runs; the
// registration then asks for a restart, and only after a success.
TEST(SelfRegistrationTest, RunningClientIsToldToRestart) {
  win::TTestMachine machine;
  auto presenter = std::make_shared<ui::TScriptedPresenter>();
  auto previous = ui::SetPresenter(presenter);

  win::HKEY key = nullptr;
  ASSERT_EQ(win::RegCreateKeyEx(win::HKEY_LOCAL_MACHINE, "Software\\Classes\\Outlook.Application\\CLSID", 0,
                                nullptr, 0, win::KEY_ALL_ACCESS, nullptr, &key, nullptr),
            win::ERROR_SUCCESS);
  const std::string clsid = "{0006F03A-0000-0000-C000-000000000046}";
  win::CurrentRegistry()->SetValue(key, "", win::REG_SZ, clsid + '\0');
  win::RegCloseKey(key);
  // Not running yet: nothing is shown.
  EXPECT_TRUE(RegisterExtension(nullptr, true, "/opt/a/corvina.dll"));
  EXPECT_TRUE(presenter->Shown().empty());

  class TApp final : public win::IUnknown {
   public:
    win::HRESULT QueryInterface(win::REFIID, void** out) override {
      *out = this;
      return win::S_OK;
    }
    win::ULONG AddRef() override { return 2; }
    win::ULONG Release() override { return 1; }
  } app;
  win::CLSID id{};
  ASSERT_EQ(win::CLSIDFromString(clsid.c_str(), &id), win::S_OK);
  win::DWORD registration = 0;
  ASSERT_EQ(win::RegisterActiveObject(&app, id, win::ACTIVEOBJECT_WEAK, &registration), win::S_OK);

  presenter->Add(ui::TScriptedAnswer::Press(ui::TMsgDlgBtn::mbOK));
  EXPECT_TRUE(RegisterExtension(nullptr, false, "/opt/a/corvina.dll"));
  EXPECT_FALSE(RegisterExtension(nullptr, false, "/opt/a/corvina.dll"));  // fails: nothing more shown
  const auto shown = presenter->Shown();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].caption, "Outlook is running");
  EXPECT_EQ(shown[0].text,
            "Corvid Outlook Extension was successfully uninstalled.\r\n\r\nA running copy of Outlook was "
            "detected,\r\nyou need to restart Outlook for the changes to take effect.");

  win::RevokeActiveObject(registration, nullptr);
  ui::SetPresenter(previous);
}

}  // namespace
}  // namespace corvid::core
