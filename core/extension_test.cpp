#include "core/extension.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <string>

#include "core/application.h"
#include "core/settings_stamp.h"
#include "core/test_callback.h"
#include "platform/win/registry.h"
#include "platform/win/test_support.h"
#include "platform/win/ui_thread.h"
#include "settings/catalogue.h"

namespace corvid::core {
namespace {

using namespace exchange;
using settings::TOptionsContainer;

// A temporary machine and a library path in a folder of its own; dates in
// the C locale's short format (M/d/yyyy).
class ExtensionTest : public testing::Test {
 protected:
  void SetUp() override {
    const char* old = ::getenv("LC_ALL");
    if (old != nullptr) old_lc_all_ = old;
    ::setenv("LC_ALL", "C", 1);
    std::filesystem::create_directories(machine_.Root() / "lib");
    library_ = (machine_.Root() / "lib" / "corvina.dll").string();
  }
  void TearDown() override {
    if (old_lc_all_) {
      ::setenv("LC_ALL", old_lc_all_->c_str(), 1);
    } else {
      ::unsetenv("LC_ALL");
    }
  }

  IExchExt* Init() { return InitExtension(library_); }

  void WriteIni(const std::string& lines) {
    std::ofstream(InstallIniPath(library_)) << "[Options]\n" << lines;
  }
  // Settings as a save put them in one root.
  void Store(win::HKEY root, const std::string& date, const std::string& time, int level) {
    TOptionsContainer options;
    settings::Write(options, settings::kInstallDate, date);
    settings::Write(options, settings::kInstallTime, time);
    settings::Write(options, settings::kCompressionLevel, level);
    options.SaveToRegistry(root, settings::kSettingsKey);
  }
  // The compression level the extension loaded.
  int LoadedLevel() {
    IExchExt* ext = Init();
    const int level = settings::Read(ExtensionInstance()->Options(), settings::kCompressionLevel);
    ext->Release();
    return level;
  }

  win::TTestMachine machine_;
  std::string library_;
  std::optional<std::string> old_lc_all_;
};

TEST_F(ExtensionTest, OneObjectAnswersEveryInterfaceWithOneCount) {
  IExchExt* first = Init();
  ASSERT_NE(first, nullptr);
  TZIPExtension* object = ExtensionInstance();
  ASSERT_NE(object, nullptr);
  EXPECT_EQ(object->RefCount(), 1u);
  IExchExt* second = Init();
  EXPECT_EQ(second, first);
  EXPECT_EQ(object->RefCount(), 2u);

  struct TCase {
    const IID* iid;
    void* expected;
  };
  const TCase cases[] = {
      {&mapi::IID_IUnknown, static_cast<IExchExt*>(object)},
      {&IID_IExchExt, static_cast<IExchExt*>(object)},
      {&IID_IExchExtSessionEvents, static_cast<IExchExtSessionEvents*>(object)},
      {&IID_IExchExtMessageEvents, static_cast<IExchExtMessageEvents*>(object)},
      {&IID_IExchExtAttachedFileEvents, static_cast<IExchExtAttachedFileEvents*>(object)},
      {&IID_IExchExtCommands, static_cast<IExchExtCommands*>(object)},
      {&IID_IExchExtUserEvents, static_cast<IExchExtUserEvents*>(object)},
      {&IID_IExchExtPropertySheets, static_cast<IExchExtPropertySheets*>(object)},
      {&IID_IExchExtAdvancedCriteria, nullptr},
      {&IID_IExchExtCallback, nullptr},
      {&mapi::IID_IMessage, nullptr},
  };
  ULONG count = 2;
  for (const TCase& c : cases) {
    void* out = &count;
    const HRESULT result = first->QueryInterface(*c.iid, &out);
    EXPECT_EQ(out, c.expected);
    if (c.expected == nullptr) {
      EXPECT_EQ(result, mapi::E_NOINTERFACE);
      EXPECT_EQ(object->RefCount(), count);
      continue;
    }
    EXPECT_EQ(result, S_OK);
    EXPECT_EQ(object->RefCount(), ++count);
    // Every interface shares the one count.
    EXPECT_EQ(static_cast<mapi::IUnknown*>(out)->AddRef(), count + 1);
    EXPECT_EQ(static_cast<mapi::IUnknown*>(out)->Release(), count);
  }
  while (count > 1) {
    EXPECT_EQ(first->Release(), --count);
  }
  EXPECT_EQ(ExtensionInstance(), object);
  EXPECT_EQ(first->Release(), 0u);
  EXPECT_EQ(ExtensionInstance(), nullptr);

  // A later entry call makes a fresh object.
  IExchExt* fresh = Init();
  ASSERT_NE(fresh, nullptr);
  EXPECT_EQ(ExtensionInstance()->RefCount(), 1u);
  fresh->Release();
}

TEST_F(ExtensionTest, InstallTakesPartInItsContextsOnly) {
  IExchExt* ext = Init();
  TZIPExtension* object = ExtensionInstance();
  test::TTestCallback callback;
  // Context, answer, FContext afterwards (starting from 7).
  struct TCase {
    ULONG context;
    HRESULT result;
    ULONG stored;
  };
  const TCase cases[] = {
      {EECONTEXT_SESSION, S_FALSE, 7},        {EECONTEXT_VIEWER, S_OK, 2},
      {EECONTEXT_REMOTEVIEWER, S_FALSE, 7},   {EECONTEXT_SEARCHVIEWER, S_FALSE, 7},
      {EECONTEXT_ADDRBOOK, S_FALSE, 7},       {EECONTEXT_SENDNOTEMESSAGE, S_OK, 6},
      {EECONTEXT_READNOTEMESSAGE, S_OK, 7},   {EECONTEXT_SENDPOSTMESSAGE, S_OK, 8},
      {EECONTEXT_READPOSTMESSAGE, S_OK, 9},   {EECONTEXT_READREPORTMESSAGE, S_OK, 10},
      {EECONTEXT_SENDRESENDMESSAGE, S_OK, 11}, {EECONTEXT_PROPERTYSHEETS, S_OK, 12},
      {EECONTEXT_ADVANCEDCRITERIA, S_FALSE, 7}, {EECONTEXT_TASK, S_OK, 14},
      {0, S_FALSE, 7},                        {15, S_FALSE, 7},
  };
  for (const TCase& c : cases) {
    ASSERT_EQ(ext->Install(&callback, EECONTEXT_READNOTEMESSAGE, 0), S_OK);
    EXPECT_EQ(ext->Install(&callback, c.context, 0), c.result) << "context " << c.context;
    EXPECT_EQ(object->Context(), c.stored) << "context " << c.context;
  }
  EXPECT_EQ(object->RefCount(), 1u);
  ext->Release();
}

win::LRESULT PlainWindowProc(win::HWND window, win::UINT message, win::WPARAM wparam, win::LPARAM lparam) {
  return win::DefWindowProc(window, message, wparam, lparam);
}

TEST_F(ExtensionTest, ViewerContextFindsTheClientsMainWindow) {
  SetApplicationMainWindow(nullptr);
  test::TTestCallback callback;
  callback.window = reinterpret_cast<win::HWND>(0x1234);
  IExchExt* ext = Init();
  // No client window in the process: the owner stays empty.
  ASSERT_EQ(ext->Install(&callback, EECONTEXT_VIEWER, 0), S_OK);
  EXPECT_EQ(ExtensionInstance()->MainWindow(), callback.window);
  EXPECT_EQ(ApplicationMainWindow(), nullptr);

  win::WNDCLASS window_class{};
  window_class.lpfnWndProc = &PlainWindowProc;
  window_class.lpszClassName = "rctrl_renwnd32";
  win::RegisterClass(&window_class);
  win::WNDCLASS other_class = window_class;
  other_class.lpszClassName = "RCTRL_RENWND32_other";
  win::RegisterClass(&other_class);
  win::HWND decoy = win::CreateWindow("RCTRL_RENWND32_other", "", win::WS_VISIBLE, 0, 0, 1, 1, nullptr, nullptr,
                                      nullptr, nullptr);
  win::HWND hidden = win::CreateWindow("rctrl_renwnd32", "", 0, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
  ASSERT_NE(hidden, nullptr);
  // Not visible: the desktop stands in.
  EXPECT_EQ(FindClientMainWindow(), win::GetDesktopWindow());
  win::ShowWindow(hidden, win::SW_SHOW);
  EXPECT_EQ(FindClientMainWindow(), hidden);

  // A failing GetWindow keeps the window; the owner is set once only.
  callback.window_result = mapi::E_FAIL;
  ASSERT_EQ(ext->Install(&callback, EECONTEXT_VIEWER, 0), S_OK);
  EXPECT_EQ(ExtensionInstance()->MainWindow(), reinterpret_cast<win::HWND>(0x1234));
  EXPECT_EQ(ApplicationMainWindow(), hidden);
  SetApplicationMainWindow(decoy);
  ASSERT_EQ(ext->Install(&callback, EECONTEXT_VIEWER, 0), S_OK);
  EXPECT_EQ(ApplicationMainWindow(), decoy);

  // The object's death clears it.
  ext->Release();
  EXPECT_EQ(ApplicationMainWindow(), nullptr);
  win::DestroyWindow(hidden);
  win::DestroyWindow(decoy);
}

TEST_F(ExtensionTest, LoadsPerUserSettingsWhenTheirKeyExists) {
  Store(win::HKEY_LOCAL_MACHINE, "", "", 3);
  EXPECT_EQ(LoadedLevel(), 3);
  // The save at the end wrote both roots; an empty per-user key hides the
  // machine's settings completely.
  win::CurrentRegistry()->DeleteTree(win::HKEY_CURRENT_USER, settings::kSettingsKey);
  win::HKEY key = nullptr;
  ASSERT_EQ(win::RegCreateKeyEx(win::HKEY_CURRENT_USER, settings::kSettingsKey, 0, nullptr, 0, win::KEY_ALL_ACCESS,
                                nullptr, &key, nullptr),
            win::ERROR_SUCCESS);
  win::RegCloseKey(key);
  EXPECT_EQ(LoadedLevel(), 9);
  Store(win::HKEY_CURRENT_USER, "", "", 4);
  EXPECT_EQ(LoadedLevel(), 4);
}

TEST_F(ExtensionTest, SavesToBothRootsWhenItDies) {
  IExchExt* ext = Init();
  settings::Increment(ExtensionInstance()->Options(), settings::kNumMessages, 5);
  ext->Release();
  for (win::HKEY root : {win::HKEY_LOCAL_MACHINE, win::HKEY_CURRENT_USER}) {
    TOptionsContainer saved;
    saved.LoadFromRegistry(root, settings::kSettingsKey);
    EXPECT_EQ(settings::Read(saved, settings::kNumMessages), 5) << win::RootKeyName(root);
  }
}

TEST_F(ExtensionTest, NewerInstallIniReplacesEverySetting) {
  struct TCase {
    const char* stored_date;
    const char* stored_time;
    const char* file_date;
    const char* file_time;
    bool replaced;
  };
  const TCase cases[] = {
      {"12/10/2026", "14:05", "12/10/2026", "14:06", true},
      {"12/10/2026", "14:05", "12/10/2026", "14:05", false},  // equal keeps the registry
      {"12/10/2026", "14:05", "12/9/2026", "23:59", false},
      {"12/9/2026", "23:59", "12/10/2026", "00:00", true},
      {"", "", "1/1/2000", "0:00", true},                  // nothing stored counts as the earliest
      {"garbage", "14:05", "1/1/1900", "14:06", true},     // an unreadable stored date counts as zero
      {"", "", "13/1/2026", "10:00", false},                // a file stamp that does not read
      {"", "", "1/1/2026", "", false},
      {"12/10/2026", "14:05", "12/10/26", "14:06", true},  // two-digit years
  };
  for (const TCase& c : cases) {
    win::CurrentRegistry()->DeleteTree(win::HKEY_CURRENT_USER, settings::kSettingsKey);
    Store(win::HKEY_CURRENT_USER, c.stored_date, c.stored_time, 3);
    WriteIni(std::string("Install\\InstallDate=") + c.file_date + "\nInstall\\InstallTime=" + c.file_time +
             "\nCompression\\CompressionLevel=7\nStatistics\\NumMessages=12\n");
    IExchExt* ext = Init();
    TOptionsContainer& options = ExtensionInstance()->Options();
    EXPECT_EQ(settings::Read(options, settings::kCompressionLevel), c.replaced ? 7 : 3)
        << c.stored_date << " " << c.stored_time << " / " << c.file_date << " " << c.file_time;
    EXPECT_EQ(settings::Read(options, settings::kNumMessages), c.replaced ? 12 : 0);
    ext->Release();
  }
}

TEST(SettingsStampTest, DatesFollowThePicturesOrder) {
  const int64_t day = *ParseDate("12/10/2026", "M/d/yyyy", 2026);
  EXPECT_EQ(ParseDate("10.12.2026", "dd.MM.yyyy", 2026), day);
  EXPECT_EQ(ParseDate("2026-12-10", "yyyy-MM-dd", 2026), day);
  EXPECT_EQ(ParseDate("12/10/26", "M/d/yy", 2026), day);
  EXPECT_EQ(*ParseDate("12/30/1899", "M/d/yyyy", 2026), 0);
  EXPECT_EQ(*ParseDate("1/1/1900", "M/d/yyyy", 2026), 2);
  EXPECT_EQ(*ParseDate("12/31/75", "M/d/yy", 2026) - *ParseDate("12/31/2075", "M/d/yyyy", 2026), 0);
  EXPECT_EQ(*ParseDate("1/1/77", "M/d/yy", 2026) - *ParseDate("1/1/1977", "M/d/yyyy", 2026), 0);
  EXPECT_EQ(ParseDate("2/29/2025", "M/d/yyyy", 2026), std::nullopt);
  EXPECT_NE(ParseDate("2/29/2024", "M/d/yyyy", 2026), std::nullopt);
  for (const char* bad : {"", "12/10", "12/10/2026/1", "0/10/2026", "12/32/2026", "12/10/12345", "x"}) {
    EXPECT_EQ(ParseDate(bad, "M/d/yyyy", 2026), std::nullopt) << bad;
  }
  EXPECT_EQ(ParseTime("14:05"), 14 * 3600 + 5 * 60);
  EXPECT_EQ(ParseTime("0.00.59"), 59);
  for (const char* bad : {"", "14", "24:00", "12:60", "1:2:3:4"}) EXPECT_EQ(ParseTime(bad), std::nullopt) << bad;
}

}  // namespace
}  // namespace corvid::core
