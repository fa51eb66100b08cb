#include "client/extension_host.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <sstream>

#include "client/main_window.h"
#include "platform/win/module.h"
#include "platform/win/registry.h"
#include "platform/win/running_objects.h"
#include "platform/win/test_support.h"
#include "platform/win/ui_thread.h"

namespace corvid::client {
namespace {

void SetEntry(const std::string& name, const std::string& text) {
  win::HKEY key = nullptr;
  ASSERT_EQ(win::RegCreateKeyEx(win::HKEY_LOCAL_MACHINE, kExtensionsKey, 0, nullptr, 0, win::KEY_ALL_ACCESS, nullptr,
                                &key, nullptr),
            win::ERROR_SUCCESS);
  ASSERT_EQ(win::RegSetValueEx(key, name.c_str(), 0, win::REG_SZ, reinterpret_cast<const win::BYTE*>(text.c_str()),
                               static_cast<win::DWORD>(text.size() + 1)),
            win::ERROR_SUCCESS);
  win::RegCloseKey(key);
}

std::vector<std::string> Lines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class ExtensionHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    log_ = (machine_.Root() / "extension.log").string();
    ::setenv("CORVID_TEST_EXTENSION_LOG", log_.c_str(), 1);
    // Held by the test too, so its counters can be read after the host let go.
    module_ = win::LoadLibrary(CORVID_TEST_EXTENSION);
    ASSERT_NE(module_, nullptr) << win::LoaderError();
    live_ = reinterpret_cast<int (*)()>(win::GetProcAddress(module_, "TestExtensionLiveObjects"));
    ASSERT_NE(live_, nullptr);
  }
  void TearDown() override {
    ::unsetenv("CORVID_TEST_EXTENSION_LOG");
    if (module_ != nullptr) win::FreeLibrary(module_);
  }

  win::TTestMachine machine_;
  std::string log_;
  win::HMODULE module_ = nullptr;
  int (*live_)() = nullptr;
};

TEST_F(ExtensionHostTest, LoadsTheTaskContextFirstThenEachContextInOrderAndReleasesEverything) {
  const std::string library = CORVID_TEST_EXTENSION;
  SetEntry("Outlook Setup Extension", "4.0;Outxxx.dll;7;000000000000000;0000000000;OutXXX");
  SetEntry("Test", "4.0;" + library + ";1;11100111111101;0011110");
  SetEntry("Missing", "4.0;/nonexistent/corvina.dll;1;11100111111101;0011110");
  SetEntry("Windows path", "4.0;C:\\Program Files\\Corvid\\corvina.dll;1;11100111111101;1111110");
  SetEntry("No entry", "4.0;" + library + ";NoSuchEntry;1");
  SetEntry("Broken", "4.0;" + library);
  SetEntry("By name", "4.0;" + library + ";TestExtensionEntry;00000100000001");

  const int callbacks_before = TClientCallback::LiveCount();
  {
    TClientWindow window;
    std::ostringstream warnings;
    TExtensionHost host([&](mapi::ULONG context) { return new TClientCallback(context, nullptr, window.Handle()); });
    host.LoadFromRegistry(warnings);

    // One warning line for each entry that cannot be loaded; the companion,
    // which asks for no context, is never loaded.
    const std::string text = warnings.str();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 4) << text;
    for (const char* name : {"\"Missing\"", "\"Windows path\"", "\"No entry\"", "\"Broken\""}) {
      EXPECT_NE(text.find(name), std::string::npos) << name << " in " << text;
    }
    EXPECT_EQ(text.find("Outlook Setup"), std::string::npos);

    // Contexts 1 and 3 are declined, and the host lets those objects go at once.
    const std::vector<std::string> expected = {
        "Install 14", "Install 1", "Destroy", "Install 2 window=rctrl_renwnd32", "Install 3", "Destroy", "Install 6",
        "Install 7", "Install 8", "Install 9", "Install 10", "Install 11", "Install 12", "Install 14", "Install 6"};
    EXPECT_EQ(Lines(log_), expected);
    EXPECT_EQ(host.InstalledCount(), 11u);
    EXPECT_EQ(live_(), 11);
    EXPECT_EQ(host.Installed(exchange::EECONTEXT_SESSION).size(), 0u);
    EXPECT_EQ(host.Installed(exchange::EECONTEXT_SENDNOTEMESSAGE).size(), 2u);
    EXPECT_EQ(host.Installed(exchange::EECONTEXT_TASK).size(), 2u);
  }
  EXPECT_EQ(live_(), 0);
  EXPECT_EQ(TClientCallback::LiveCount(), callbacks_before);
  const std::vector<std::string> lines = Lines(log_);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "Destroy"), 13);  // 11 kept + 2 declined
}

TEST_F(ExtensionHostTest, RegistersTheMainWindowAndTheApplicationWhileItRuns) {
  mapi::CLSID clsid{};
  {
    TClientWindow window;
    EXPECT_EQ(win::FindWindow(kMainWindowClass, nullptr), window.Handle());
    EXPECT_TRUE(win::IsWindowVisible(window.Handle()));
    ASSERT_EQ(win::CLSIDFromProgID(kApplicationProgId, &clsid), mapi::S_OK);
    EXPECT_EQ(win::StringFromCLSID(clsid), kApplicationClsid);
    mapi::IUnknown* running = nullptr;
    ASSERT_EQ(win::GetActiveObject(clsid, nullptr, &running), mapi::S_OK);
    running->Release();
  }
  EXPECT_EQ(win::FindWindow(kMainWindowClass, nullptr), nullptr);
  mapi::IUnknown* running = nullptr;
  EXPECT_EQ(win::GetActiveObject(clsid, nullptr, &running), win::MK_E_UNAVAILABLE);
}

}  // namespace
}  // namespace corvid::client
