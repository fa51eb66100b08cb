// corvid-mapi driven as a user drives it: deliver a message, list the
// inbox, show the message and save its attachments, all on a fresh
// machine root.
#include <filesystem>

#include "platform/mapi/mapi_test_support.h"

namespace corvid::mapi::test {
namespace {

namespace fs = std::filesystem;

TEST(TCorvidMapiTool, DeliverListShowAndSave) {
  win::TTestMachine machine;
  const std::string tool = std::string(CORVID_DIST) + "/corvid-mapi";
  const std::string data = PseudoRandomBytes(3000, 9);
  std::string encoded;
  {
    // The attachment in quoted-printable, so the tool's decoding shows.
    static const char kHex[] = "0123456789ABCDEF";
    size_t line = 0;
    for (unsigned char c : data) {
      if (line > 70) {
        encoded += "=\n";
        line = 0;
      }
      encoded += '=';
      encoded += kHex[c >> 4];
      encoded += kHex[c & 15];
      line += 3;
    }
  }
  const std::string message = "From: Sender <sender@example.org>\nTo: Zoë <zoe@example.com>, FAX:+1 555 0100\n"
                              "Subject: Tool test\nMIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=b\n\n"
                              "--b\nContent-Type: text/plain\n\nbody\n--b\nContent-Type: application/octet-stream\n"
                              "Content-Disposition: attachment; filename*=utf-8''%C3%84rger%2Ebin\n"
                              "Content-Transfer-Encoding: quoted-printable\n\n" +
                              encoded + "\n--b--\n";
  const std::string input = (machine.Root() / "message.eml").string();
  WriteBytes(input, message);

  const TCommandResult delivered = RunCommand(Quote(tool) + " deliver < " + Quote(input));
  ASSERT_EQ(0, delivered.status) << delivered.out;
  const std::string entry = delivered.out.substr(0, delivered.out.find('\n'));

  const TCommandResult listed = RunCommand(Quote(tool) + " ls --json");
  ASSERT_EQ(0, listed.status);
  const TJson list = ParseJson(listed.out);
  ASSERT_EQ(1u, list.size());
  EXPECT_EQ(entry, list[0]["entryid"].text);
  EXPECT_EQ("Tool test", list[0]["subject"].text);
  EXPECT_EQ("IPM.Note", list[0]["class"].text);
  EXPECT_FALSE(list[0]["read"].boolean);
  EXPECT_EQ(1, list[0]["attachments"].number);

  const TCommandResult shown = RunCommand(Quote(tool) + " show --json " + entry);
  ASSERT_EQ(0, shown.status);
  const TJson show = ParseJson(shown.out);
  const TJson& recipients = show["recipients"];
  ASSERT_EQ(2u, recipients.size());
  EXPECT_EQ("Zoë", recipients[0]["display_name"].text);
  EXPECT_EQ("zoe@example.com", recipients[0]["email"].text);
  EXPECT_EQ("FAX", recipients[1]["addrtype"].text);
  EXPECT_EQ("+1 555 0100", recipients[1]["email"].text);
  ASSERT_EQ(1u, show["attachments"].size());
  EXPECT_EQ("Ärger.bin", show["attachments"][0]["long_filename"].text);

  const std::string target = (machine.Root() / "saved").string();
  const TCommandResult saved = RunCommand(Quote(tool) + " save " + entry + " " + Quote(target));
  ASSERT_EQ(0, saved.status);
  EXPECT_TRUE(ReadBytes(target + "/Ärger.bin") == data) << "the saved attachment differs";
  // Saving again does not overwrite: a second name.
  ASSERT_EQ(0, RunCommand(Quote(tool) + " save " + entry + " " + Quote(target)).status);
  EXPECT_TRUE(fs::exists(target + "/Ärger (2).bin"));

  // A wrong entry identifier fails with a message, not a crash.
  EXPECT_EQ(1, RunCommand(Quote(tool) + " show 0011 2>/dev/null").status);
}

}  // namespace
}  // namespace corvid::mapi::test
