// The settings dialogs through the terminal presenter on a pseudo-terminal,
// answered the way a person would: read the form, find the field's number,
// type it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <thread>

#include "platform/win/registry.h"
#include "platform/win/test_support.h"
#include "settings/catalogue.h"
#include "ui/options_page.h"
#include "ui/presenter.h"
#include "ui/settings_dialogs.h"

namespace corvid::ui {
namespace {

class TerminalFormTest : public testing::Test {
 protected:
  void SetUp() override {
    ::setenv("LC_ALL", "C", 1);
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master_, 0);
    ASSERT_EQ(::grantpt(master_), 0);
    ASSERT_EQ(::unlockpt(master_), 0);
    slave_ = ::open(::ptsname(master_), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave_, 0);
    ASSERT_TRUE(::isatty(slave_));
    previous_ = SetPresenter(std::make_shared<TTerminalPresenter>(slave_, slave_));
  }
  void TearDown() override {
    SetPresenter(previous_);
    ::close(slave_);
    ::close(master_);
  }

  // Reads the terminal until `marker` shows after what was read before;
  // returns everything since the last call. Fails after a generous wait.
  std::string ReadUntil(const std::string& marker) {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (screen_.find(marker, seen_) == std::string::npos) {
      if (std::chrono::steady_clock::now() > give_up) {
        ADD_FAILURE() << "no \"" << marker << "\" in:\n" << screen_.substr(seen_);
        return {};
      }
      pollfd p{master_, POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      char buf[4096];
      const ssize_t n = ::read(master_, buf, sizeof buf);
      if (n > 0) screen_.append(buf, static_cast<size_t>(n));
    }
    const size_t end = screen_.find(marker, seen_) + marker.size();
    std::string part = screen_.substr(seen_, end - seen_);
    seen_ = end;
    return part;
  }
  void TypeLine(const std::string& line) {
    const std::string text = line + "\n";
    ASSERT_EQ(::write(master_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
  // The number of the first field shown as `field` after the line holding
  // `after` (empty: from the top) in the form `screen`.
  static std::string NumberOf(const std::string& screen, const std::string& field, const std::string& after = {}) {
    size_t from = after.empty() ? 0 : screen.find(after);
    if (from == std::string::npos) return "?";
    const size_t at = screen.find(field, from);
    if (at == std::string::npos) return "?";
    const size_t line = screen.rfind('\n', at);
    std::smatch m;
    const std::string text = screen.substr(line + 1, at - line - 1);
    return std::regex_search(text, m, std::regex("^\\s*(\\d+)\\s")) ? m[1].str() : "?";
  }

  int master_ = -1, slave_ = -1;
  std::string screen_;
  size_t seen_ = 0;
  std::shared_ptr<TPresenter> previous_;
};

TEST_F(TerminalFormTest, APersonChangesThePasswordModeAndARecipientList) {
  win::TTestMachine machine;
  settings::TOptionsContainer extension;
  settings::ReadAll(extension);
  extension.SaveToRegistry(win::HKEY_CURRENT_USER, settings::kSettingsKey);

  TOptionsPage page;
  page.LoadOptions(extension);
  std::thread person([&] {
    std::string form = ReadUntil("\n> ");
    EXPECT_NE(form.find("<Decompression...>"), std::string::npos) << form;
    TypeLine(NumberOf(form, "<Decompression...>"));
    form = ReadUntil("\n> ");
    EXPECT_NE(form.find("== Decompression Options =="), std::string::npos);
    // The password boxes follow the "Try this password" choice.
    EXPECT_NE(form.find("Password []  (disabled)"), std::string::npos) << form;
    TypeLine(NumberOf(form, "Prompt", "When receiving password protected"));
    form = ReadUntil("\n> ");
    EXPECT_NE(form.find("(*) Prompt"), std::string::npos) << form;
    TypeLine("ok");
    form = ReadUntil("\n> ");
    TypeLine(NumberOf(form, "<Compression...>"));
    form = ReadUntil("\n> ");
    TypeLine(NumberOf(form, "<Add...>", "Do not ZIP attachments when sent"));
    ReadUntil("Display name and/or e-mail (wildcards Ok):");
    ReadUntil("\n> ");
    TypeLine("boss@example.com");
    form = ReadUntil("\n> ");
    EXPECT_NE(form.find("1. boss@example.com"), std::string::npos) << form;
    // A field that is off says so and changes nothing.
    TypeLine(NumberOf(form, "<Add...>", "ZIP attachments only when sent"));
    EXPECT_NE(ReadUntil("\n> ").find("That field is disabled."), std::string::npos);
    TypeLine("ok");
    ReadUntil("\n> ");
    TypeLine("ok");
  });
  const int result = PresentDialog(page);
  person.join();
  EXPECT_EQ(result, mrOk);
  // The host's apply.
  page.SaveOptions(extension);
  extension.SaveToRegistry(win::HKEY_CURRENT_USER, settings::kSettingsKey);

  settings::TOptionsContainer stored;
  stored.LoadFromRegistry(win::HKEY_CURRENT_USER, settings::kSettingsKey);
  EXPECT_EQ(stored.ReadInteger("Decompression\\SkipWithPassword", -1, false, false), 0);
  EXPECT_EQ(stored.ReadInteger("Decompression\\PromptForPassword", -1, false, false), 1);
  EXPECT_EQ(stored.ReadString("Compression\\SkipRecipients", "?", false, false), "boss@example.com\r\n");
  EXPECT_EQ(stored.ReadString("Compression\\OnlySendTo", "?", false, false), "");
}

TEST_F(TerminalFormTest, PasswordsAreTypedUnseenAndAMismatchKeepsTheDialogOpen) {
  settings::TOptionsContainer page;
  page.WriteBool("Decompression\\SkipWithPassword", false, false);
  page.WriteBool("Decompression\\PromptForPassword", false, false);
  TDecompressOptionsDlg dialog;
  dialog.LoadOptions(page);
  std::thread person([&] {
    std::string form = ReadUntil("\n> ");
    TypeLine(NumberOf(form, "Password [", "When receiving password protected"));
    ReadUntil("New password: ");
    TypeLine("s3cret");
    form = ReadUntil("\n> ");
    EXPECT_EQ(form.find("s3cret"), std::string::npos) << "a password must not be echoed or shown";
    EXPECT_NE(form.find("Password [******]"), std::string::npos) << form;
    TypeLine("ok");
    EXPECT_NE(ReadUntil("\n> ").find("do not match"), std::string::npos);
    TypeLine("");  // the message's OK
    form = ReadUntil("\n> ");
    TypeLine(NumberOf(form, "Confirm the password:"));
    ReadUntil("New password: ");
    TypeLine("s3cret");
    ReadUntil("\n> ");
    TypeLine("ok");
  });
  const int result = PresentDialog(dialog);
  person.join();
  EXPECT_EQ(result, mrOk);
  dialog.SaveOptions(page);
  EXPECT_EQ(page.ReadString("Decompression\\Password", "", true, false), "s3cret");
}

}  // namespace
}  // namespace corvid::ui
