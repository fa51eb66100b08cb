// The explorer commands' menu items and help texts; the batches themselves
// run through the client in client/explorer_test.cpp.
#include <gtest/gtest.h>

#include "core/extension.h"
#include "core/test_callback.h"
#include "platform/win/menus.h"
#include "platform/win/test_support.h"

namespace corvid::core {
namespace {

using namespace exchange;

TEST(CommandsTest, ItemsGoBeforeTheAnchorAndHelpTextsAreCut) {
  win::TTestMachine machine;
  const win::HMENU tools = win::CreatePopupMenu();
  win::AppendMenu(tools, win::MF_STRING, 12, "Address Book...");
  win::AppendMenu(tools, win::MF_STRING, 14, "Options...");
  test::TTestCallback callback;
  callback.menu = tools;
  callback.anchor_position = 1;

  IExchExt* extension = InitExtension((machine.Root() / "corvina.dll").string());
  ASSERT_EQ(extension->Install(&callback, EECONTEXT_VIEWER, 0), S_OK);
  void* found = nullptr;
  ASSERT_EQ(extension->QueryInterface(IID_IExchExtCommands, &found), S_OK);
  auto* commands = static_cast<IExchExtCommands*>(found);
  mapi::UINT base = 500;
  EXPECT_EQ(commands->InstallCommands(&callback, nullptr, tools, &base, nullptr, 0, 0), S_OK);
  EXPECT_EQ(base, 502u);

  const std::vector<std::pair<int, std::string>> expected = {
      {12, "Address Book..."}, {0, ""}, {501, "Compress attachments"}, {500, "Decompress attachments"},
      {14, "Options..."}};
  ASSERT_EQ(win::GetMenuItemCount(tools), static_cast<int>(expected.size()));
  for (int i = 0; i < win::GetMenuItemCount(tools); ++i) {
    EXPECT_EQ(win::GetMenuItemID(tools, i), expected[static_cast<size_t>(i)].first) << i;
    EXPECT_EQ(win::GetMenuString(tools, static_cast<mapi::UINT>(i), win::MF_BYPOSITION),
              expected[static_cast<size_t>(i)].second);
  }

  char text[64];
  EXPECT_EQ(commands->QueryHelpText(500, 0, text, sizeof text), S_OK);
  EXPECT_STREQ(text, "Decompress ZIP attachments in selected messages");
  EXPECT_EQ(commands->QueryHelpText(501, 0, text, 10), S_OK);
  EXPECT_STREQ(text, "Compress ");
  EXPECT_EQ(commands->QueryHelpText(14, 0, text, sizeof text), S_FALSE);
  // The refresh command is the extension's own, but not "handled".
  EXPECT_EQ(commands->DoCommand(&callback, RefreshMenuCommand), S_FALSE);
  // No selection: the batch starts nothing and the command is still its own.
  EXPECT_EQ(commands->DoCommand(&callback, 501), S_OK);

  commands->Release();
  extension->Release();
  win::DestroyMenu(tools);
}

}  // namespace
}  // namespace corvid::core
