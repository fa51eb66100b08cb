#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

#include "core/extension.h"
#include "core/test_callback.h"
#include "platform/win/registry.h"
#include "platform/win/test_support.h"
#include "platform/win/ui_thread.h"
#include "settings/catalogue.h"
#include "ui/property_sheet.h"

namespace corvid::core {
namespace {

using namespace exchange;

class PropertySheetsTest : public testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(machine_.Root() / "lib");
    ext_ = InitExtension((machine_.Root() / "lib" / "corvina.dll").string());
    ASSERT_NE(ext_, nullptr);
    void* sheets = nullptr;
    ASSERT_EQ(ext_->QueryInterface(IID_IExchExtPropertySheets, &sheets), S_OK);
    sheets_ = static_cast<IExchExtPropertySheets*>(sheets);
  }
  void TearDown() override {
    sheets_->Release();
    ext_->Release();
  }
  int StoredLevel(win::HKEY root) {
    settings::TOptionsContainer stored;
    stored.LoadFromRegistry(root, settings::kSettingsKey);
    return stored.ReadInteger("Compression\\CompressionLevel", -1, false, false);
  }

  win::TTestMachine machine_;
  test::TTestCallback callback_;
  IExchExt* ext_ = nullptr;
  IExchExtPropertySheets* sheets_ = nullptr;
};

TEST_F(PropertySheetsTest, OnePageForToolsOptionsAtATime) {
  win::PROPSHEETPAGE page{};
  ULONG count = 7;
  // Outside the property-sheets context nothing is offered.
  EXPECT_EQ(sheets_->GetMaxPageCount(EEPS_TOOLSOPTIONS), 0u);
  ASSERT_EQ(ext_->Install(&callback_, EECONTEXT_PROPERTYSHEETS, 0), S_OK);
  for (ULONG flags : {EEPS_MESSAGE, EEPS_FOLDER, EEPS_STORE}) {
    EXPECT_EQ(sheets_->GetMaxPageCount(flags), 0u) << flags;
    EXPECT_EQ(sheets_->GetPages(&callback_, flags, &page, &count), S_FALSE);
    EXPECT_EQ(count, 0u);
  }
  EXPECT_EQ(sheets_->GetMaxPageCount(EEPS_TOOLSOPTIONS), 1u);
  ASSERT_EQ(sheets_->GetPages(&callback_, EEPS_TOOLSOPTIONS, &page, &count), S_OK);
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(page.dwSize, 40u);
  EXPECT_STREQ(page.pszTemplate, "CORVIDOPTIONS");
  EXPECT_NE(page.pfnDlgProc, nullptr);
  EXPECT_EQ(sheets_->GetMaxPageCount(EEPS_TOOLSOPTIONS), 0u);
  sheets_->FreePages(&page, EEPS_TOOLSOPTIONS, 1);
  EXPECT_EQ(sheets_->GetMaxPageCount(EEPS_TOOLSOPTIONS), 1u);
}

TEST_F(PropertySheetsTest, EachApplyStoresAndLeavesThePageUnmodified) {
  ASSERT_EQ(ext_->Install(&callback_, EECONTEXT_PROPERTYSHEETS, 0), S_OK);
  win::PROPSHEETPAGE page{};
  ULONG count = 0;
  ASSERT_EQ(sheets_->GetPages(&callback_, EEPS_TOOLSOPTIONS, &page, &count), S_OK);
  win::WNDCLASS window_class{};
  window_class.lpfnWndProc = win::DefWindowProc;
  window_class.lpszClassName = "SheetHookTestPage";
  win::RegisterClass(&window_class);
  win::HWND window = win::CreateWindow("SheetHookTestPage", "", 0, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);

  // An apply before the page exists does nothing and succeeds.
  win::NMHDR apply{nullptr, 0, win::PSN_APPLY};
  EXPECT_EQ(page.pfnDlgProc(window, win::WM_NOTIFY, 0, reinterpret_cast<win::LPARAM>(&apply)), 0);
  EXPECT_EQ(StoredLevel(win::HKEY_CURRENT_USER), -1);

  EXPECT_NE(page.pfnDlgProc(window, win::WM_INITDIALOG, 0, reinterpret_cast<win::LPARAM>(&page)), 0);
  auto* model = dynamic_cast<ui::TOptionsPage*>(ui::PageModel(window));
  ASSERT_NE(model, nullptr);
  EXPECT_EQ(model->PageWindow(), window);
  for (int level : {4, 2}) {
    model->Settings().WriteInteger("Compression\\CompressionLevel", level, false);
    EXPECT_TRUE(model->Settings().Modified());
    EXPECT_EQ(page.pfnDlgProc(window, win::WM_NOTIFY, 0, reinterpret_cast<win::LPARAM>(&apply)), 0);
    EXPECT_EQ(StoredLevel(win::HKEY_LOCAL_MACHINE), level);
    EXPECT_EQ(StoredLevel(win::HKEY_CURRENT_USER), level);
    EXPECT_FALSE(model->Settings().Modified());
  }
  page.pfnDlgProc(window, win::WM_DESTROY, 0, 0);
  EXPECT_EQ(ui::PageModel(window), nullptr);
  sheets_->FreePages(&page, EEPS_TOOLSOPTIONS, 1);
  win::DestroyWindow(window);
  win::UnregisterClass("SheetHookTestPage", nullptr);
}

}  // namespace
}  // namespace corvid::core
