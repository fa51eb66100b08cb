// `corvid send` and `corvid sendmail` as processes, on a temporary machine
// root, with and without a test extension loaded.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <variant>

#include "client/extension_entry.h"
#include "platform/win/registry.h"
#include "platform/win/test_support.h"
#include "settings/blowfish_tools.h"
#include "settings/catalogue.h"
#include "testutil/files.h"
#include "testutil/peers.h"

namespace corvid::client {
namespace {
namespace fs = std::filesystem;

struct TRun {
  int status = -1;
  std::string out, err;
};

using corvid::test::Quote;
using corvid::test::ReadFile;
using corvid::test::WriteFile;

class SendTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = machine_.Root();
    maildir_ = root_ / "mail" / "maildir";
    ASSERT_EQ(Run(Dist("corvid-mapi") + " stores").status, 0);  // makes the profile
  }
  void TearDown() override { ::unsetenv("CORVID_TEST_EXTENSION_LOG"); }

  static std::string Dist(const std::string& program) { return Quote(std::string(CORVID_DIST) + "/" + program); }

  TRun Run(const std::string& command, const std::string& input = "") {
    WriteFile(root_ / "stdin", input);
    const std::string line = command + " <" + Quote((root_ / "stdin").string()) + " >" +
                             Quote((root_ / "stdout").string()) + " 2>" + Quote((root_ / "stderr").string());
    TRun run;
    const int status = std::system(line.c_str());
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.out = ReadFile(root_ / "stdout");
    run.err = ReadFile(root_ / "stderr");
    return run;
  }

  // The files of a Maildir folder's cur/ and new/.
  std::vector<fs::path> Messages(const std::string& folder) {
    std::vector<fs::path> out;
    for (const char* sub : {"cur", "new"}) {
      std::error_code error;
      for (const auto& entry : fs::directory_iterator(maildir_ / ("." + folder) / sub, error)) {
        out.push_back(entry.path());
      }
    }
    return out;
  }

  void SetSendCommand(const std::string& command) { SetProfileValue("SendCommand", command); }
  void SetProfileValue(const std::string& name, const std::string& value) {
    const fs::path profile = root_ / "mail" / "profile.ini";
    std::string text = ReadFile(profile);
    const size_t at = text.find("[Profile]\r\n");
    ASSERT_NE(at, std::string::npos);
    text.insert(at + 11, name + "=" + value + "\r\n");
    WriteFile(profile, text);
  }

  void RegisterTestExtension() {
    const std::string text = std::string("4.0;") + CORVID_TEST_EXTENSION + ";1;11100111111101;0011110";
    win::HKEY key = nullptr;
    ASSERT_EQ(win::RegCreateKeyEx(win::HKEY_LOCAL_MACHINE, kExtensionsKey, 0, nullptr, 0, win::KEY_ALL_ACCESS,
                                  nullptr, &key, nullptr),
              win::ERROR_SUCCESS);
    ASSERT_EQ(win::RegSetValueEx(key, "Test", 0, win::REG_SZ, reinterpret_cast<const win::BYTE*>(text.c_str()),
                                 static_cast<win::DWORD>(text.size() + 1)),
              win::ERROR_SUCCESS);
    win::RegCloseKey(key);
    log_ = root_ / "extension.log";
    ::setenv("CORVID_TEST_EXTENSION_LOG", log_.c_str(), 1);
  }

  // The attachments of the one message in Sent Items, saved into a folder.
  std::vector<std::pair<std::string, std::string>> SavedAttachments() {
    const TRun list = Run(Dist("corvid-mapi") + " ls 'Sent Items'");
    EXPECT_EQ(list.status, 0) << list.err;
    const std::string entry = list.out.substr(0, list.out.find(' '));
    const fs::path folder = root_ / "saved";
    const TRun saved = Run(Dist("corvid-mapi") + " save " + entry + " " + Quote(folder.string()));
    EXPECT_EQ(saved.status, 0) << saved.err;
    std::vector<std::pair<std::string, std::string>> out;
    std::error_code error;
    for (const auto& file : fs::directory_iterator(folder, error)) {
      out.emplace_back(file.path().filename().string(), ReadFile(file.path()));
    }
    std::sort(out.begin(), out.end());
    return out;
  }

  win::TTestMachine machine_;
  fs::path root_, maildir_, log_;
};

TEST_F(SendTest, ComposesSendsThroughTheCommandAndKeepsTheMessageInSentItems) {
  std::string big;
  for (int i = 0; i < 20000; ++i) big += std::to_string(i) + "\n";
  WriteFile(root_ / "big.txt", big);
  WriteFile(root_ / "tiny.bin", std::string("\0\x01\xff", 3));
  WriteFile(root_ / "body.txt", "First line\nZweite Zeile: äöü\n");
  SetSendCommand("cat > " + Quote((root_ / "piped.eml").string()));

  const TRun run = Run(Dist("corvid") + " send --to 'Bob <bob@example.com>' --to ann@example.com --cc carol@example.com"
                       " --bcc dave@example.com --subject 'Grüße' --body-file " + Quote((root_ / "body.txt").string()) +
                       " --attach " + Quote((root_ / "big.txt").string()) + " --attach " +
                       Quote((root_ / "tiny.bin").string()));
  ASSERT_EQ(run.status, 0) << run.err;
  // Nothing is registered to pack the attachments: one line says so.
  EXPECT_EQ(run.err,
            "corvid send: attachments sent as they are: no extension is registered to pack them (register one with: "
            "rundll32 corvina.dll,Install_RunDLL 1)\n");
  const std::string sizes = "  big.txt  " + std::to_string(big.size()) + " bytes\n  tiny.bin  3 bytes\n";
  EXPECT_NE(run.out.find("Attachments before sending:\n" + sizes + "Attachments after:\n" + sizes), std::string::npos)
      << run.out;

  EXPECT_TRUE(Messages("Outbox").empty());
  const std::vector<fs::path> sent = Messages("Sent Items");
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_NE(run.out.find("Sent: " + sent[0].string() + "\n"), std::string::npos) << run.out;
  const std::string message = ReadFile(sent[0]);
  EXPECT_EQ(ReadFile(root_ / "piped.eml"), message);  // the command got the very message
  for (const char* header : {"To: Bob <bob@example.com>, ann@example.com\n", "Cc: carol@example.com\n",
                             "Bcc: dave@example.com\n", "Subject: =?UTF-8?B?R3LDvMOfZQ==?=\n", "Message-ID: <"}) {
    EXPECT_NE(message.find(header), std::string::npos) << header;
  }
  EXPECT_NE(message.find("Zweite Zeile: äöü"), std::string::npos);
  const auto attachments = SavedAttachments();
  ASSERT_EQ(attachments.size(), 2u);
  EXPECT_EQ(attachments[0], std::make_pair(std::string("big.txt"), big));
  EXPECT_EQ(attachments[1], std::make_pair(std::string("tiny.bin"), std::string("\0\x01\xff", 3)));
}

TEST_F(SendTest, TheExtensionSeesSubmitThenWriteCompleteAndIsReleasedAtExit) {
  RegisterTestExtension();
  WriteFile(root_ / "a.txt", "data");
  const TRun run = Run(Dist("corvid") + " send --to bob@example.com --subject s --body b --attach " +
                       Quote((root_ / "a.txt").string()));
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("Attachments before sending:\n  a.txt  4 bytes\nAttachments after:\n  checked.txt  4 bytes\n"),
            std::string::npos)
      << run.out;

  std::vector<std::string> events;
  std::istringstream lines(ReadFile(log_));
  int installs = 0, destroys = 0;
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("Install", 0) == 0) {
      ++installs;
    } else if (line == "Destroy") {
      ++destroys;
    } else {
      events.push_back(line);
    }
  }
  EXPECT_EQ(installs, 11);
  EXPECT_EQ(destroys, 11);  // every object the entry point made is gone at exit
  EXPECT_EQ(events, (std::vector<std::string>{"OnSubmit marked", "OnWriteComplete renamed", "OnSubmitComplete"}));

  const std::vector<fs::path> sent = Messages("Sent Items");
  ASSERT_EQ(sent.size(), 1u);
  const std::string message = ReadFile(sent[0]);
  // The mark set before the client wrote the message is the store's own
  // business: it is not kept with the sent message.
  EXPECT_EQ(message.find("submitted"), std::string::npos);
  EXPECT_NE(message.find("checked.txt"), std::string::npos);
}

TEST_F(SendTest, AnExtensionThatFailsTheSubmitStopsTheSend) {
  RegisterTestExtension();
  ::setenv("CORVID_TEST_EXTENSION_REFUSE", "1", 1);
  WriteFile(root_ / "a.txt", "data");
  const TRun run = Run(Dist("corvid") + " send --to bob@example.com --body b --attach " +
                       Quote((root_ / "a.txt").string()));
  ::unsetenv("CORVID_TEST_EXTENSION_REFUSE");
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("stays in Outbox"), std::string::npos) << run.err;
  EXPECT_TRUE(Messages("Sent Items").empty());
  // Kept whole, attachment included, and not handed on.
  const std::vector<fs::path> outbox = Messages("Outbox");
  ASSERT_EQ(outbox.size(), 1u);
  EXPECT_NE(ReadFile(outbox[0]).find("filename=a.txt"), std::string::npos);
  EXPECT_EQ(ReadFile(log_).find("OnWriteComplete"), std::string::npos);
}

// A failed delivery keeps the message in Outbox; flush sends it once the
// command works, and only once.
TEST_F(SendTest, AFailedDeliveryCommandLeavesTheMessageInOutboxForFlush) {
  SetSendCommand("cat >/dev/null; exit 3");
  TRun run = Run(Dist("corvid") + " send --to bob@example.com --subject again --body b");
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("exit 3"), std::string::npos) << run.err;
  std::vector<fs::path> outbox = Messages("Outbox");
  ASSERT_EQ(outbox.size(), 1u);
  EXPECT_EQ(outbox[0].filename().string().find(":2,D"), std::string::npos);  // submitted, not a draft
  EXPECT_TRUE(Messages("Sent Items").empty());

  run = Run(Dist("corvid") + " flush");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(Messages("Outbox").size(), 1u);

  SetSendCommand("cat >> " + Quote((root_ / "piped.eml").string()));
  run = Run(Dist("corvid") + " sendmail -q");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(Messages("Outbox").empty());
  const std::vector<fs::path> sent = Messages("Sent Items");
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(ReadFile(root_ / "piped.eml"), ReadFile(sent[0]));
  run = Run(Dist("corvid") + " flush");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(Messages("Sent Items").size(), 1u);
}

// A send stopped while it reads an attachment (Ctrl-C, SIGTERM, kill -9)
// never leaves a message that a Maildir reader shows; what a killed one
// left is gone at the next start.
TEST_F(SendTest, AnInterruptedSendLeavesNothingVisibleAndNothingBehind) {
  const fs::path outbox = maildir_ / ".Outbox";
  const std::string script =
      "cd " + Quote(root_.string()) + " && rm -f fifo && mkfifo fifo && { (printf data; sleep 20) > fifo & } ; "
      "writer=$!; " + Dist("corvid") + " send --to bob@example.com --body b --attach fifo & client=$!; "
      "for i in $(seq 200); do ls -a " + Quote((outbox / "new").string()) + " | grep -q '^\\.[0-9]' && break; "
      "sleep 0.05; done; kill -$SIGNAL $client; wait $client; echo $?; kill $writer; wait";
  const auto hidden = [&] {
    int count = 0;
    for (const char* sub : {"new", "cur"}) {
      for (const auto& entry : fs::directory_iterator(outbox / sub)) count += entry.path().filename().string()[0] == '.';
    }
    return count;
  };
  for (const char* signal : {"INT", "TERM", "KILL"}) {
    SCOPED_TRACE(signal);
    const TRun run = Run("SIGNAL=" + std::string(signal) + "; " + script);
    EXPECT_NE(run.out, "0\n");
    EXPECT_EQ(static_cast<int>(Messages("Outbox").size()) - hidden(), 0) << "a visible message";
    if (std::string(signal) != "KILL") {
      EXPECT_EQ(hidden(), 0) << "the interrupted send removes its message";
    }
  }
  EXPECT_EQ(hidden(), 1);  // left by kill -9
  ASSERT_EQ(Run(Dist("corvid") + " send --to bob@example.com --body next").status, 0);
  EXPECT_EQ(hidden(), 0);
  EXPECT_TRUE(Messages("Outbox").empty());
  EXPECT_EQ(Messages("Sent Items").size(), 1u);
}

// Without --body the body is what comes on standard input; without a
// delivery command nothing leaves, and the send says so.
TEST_F(SendTest, TheBodyFromStandardInputAndNoDeliveryCommandSaidPlainly) {
  TRun run = Run(Dist("corvid") + " send --to bob@example.com --subject piped", "piped body\nline 2\n");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.err.find("not sent: no delivery command is set"), std::string::npos) << run.err;
  EXPECT_EQ(run.out.find("Sent:"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("Kept (not sent): "), std::string::npos) << run.out;
  std::vector<fs::path> sent = Messages("Sent Items");
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_NE(ReadFile(sent[0]).find("\n\npiped body\nline 2\n"), std::string::npos);
  fs::remove(sent[0]);
  run = Run(Dist("corvid") + " send --to bob@example.com --body given", "ignored\n");
  ASSERT_EQ(run.status, 0) << run.err;
  sent = Messages("Sent Items");
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(ReadFile(sent[0]).find("ignored"), std::string::npos);
}

// Who the mail is from and to, as Python's email reads the headers back:
// the profile's identity, else $EMAIL; --from over both; names beyond
// ASCII encoded, names with special characters quoted.
TEST_F(SendTest, AddressesAreTheConfiguredIdentityAndReadBackWhole) {
  if (std::system("command -v python3 >/dev/null 2>&1") != 0) CORVID_PEER_MISSING() << "no python3";
  const std::string script =
      "import email, email.policy, sys\n"
      "m = email.message_from_bytes(open(sys.argv[1], 'rb').read(), policy=email.policy.default)\n"
      "for h in ('From', 'To'):\n"
      "    print(h + ': ' + ' | '.join(a.display_name + ' = ' + a.addr_spec for a in m[h].addresses))\n";
  WriteFile(root_ / "read.py", script);
  const struct {
    const char* what;
    std::string profile_from, email, args;
    std::string expected;
  } cases[] = {
      {"the environment", "", "env@example.net", "--to bob@example.com",
       "From:  = env@example.net\nTo:  = bob@example.com\n"},
      {"the profile, names encoded", "Ann Ödegaard <ann@example.org>", "env@example.net",
       "--to 'Bob Müller <bob@example.com>' --to 'Lee, Kim <kim@example.com>'",
       "From: Ann Ödegaard = ann@example.org\nTo: Bob Müller = bob@example.com | Lee, Kim = kim@example.com\n"},
      {"--from wins", "Ann <ann@example.org>", "", "--from 'Ann Work <ann@work.example>' --to bob@example.com",
       "From: Ann Work = ann@work.example\nTo:  = bob@example.com\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove(root_ / "mail" / "profile.ini");
    SetUp();  // a fresh profile
    SetSendCommand("cat > " + Quote((root_ / "piped.eml").string()));
    if (!c.profile_from.empty()) SetProfileValue("From", c.profile_from);
    const TRun run = Run("EMAIL=" + Quote(c.email) + " " + Dist("corvid") + " send --body b " + c.args);
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string piped = ReadFile(root_ / "piped.eml");
    for (char c8 : piped.substr(0, piped.find("\n\n"))) EXPECT_LT(static_cast<unsigned char>(c8), 0x80u) << piped;
    const TRun read = Run("python3 " + Quote((root_ / "read.py").string()) + " " + Quote((root_ / "piped.eml").string()));
    EXPECT_EQ(read.out, c.expected) << read.err;
  }
  for (const char* wrong : {"'not an address'", "'Bob <bob@example.com> x'", "'@example.com'", "'bob@'"}) {
    const TRun run = Run(Dist("corvid") + " send --body b --to " + wrong);
    EXPECT_EQ(run.status, 2) << wrong;
    EXPECT_NE(run.err.find("is not an address"), std::string::npos) << run.err;
  }
}

// Every program and every command of corvid answers --help and --version on
// standard output with 0, and a wrong use on standard error with its usage
// status (corvid-zip's is unzip's 10, sendmail's is sendmail's 64).
TEST_F(SendTest, EveryProgramAnswersHelpAndVersion) {
  const struct {
    std::string program;
    std::string wrong;
    int wrong_status;
  } programs[] = {
      {Dist("corvid"), Dist("corvid") + " frobnicate", 2},
      {Dist("corvid") + " send", Dist("corvid") + " send --colour red", 2},
      {Dist("corvid") + " sendmail", Dist("corvid") + " sendmail", 64},
      {Dist("corvid") + " run", Dist("corvid") + " run --twice", 2},
      {Dist("corvid") + " flush", Dist("corvid") + " flush now", 2},
      {Dist("corvid") + " config", Dist("corvid") + " config", 2},
      {Dist("corvid-zip"), Dist("corvid-zip") + " q", 10},
      {Dist("corvid-mapi"), Dist("corvid-mapi"), 2},
      {Dist("corvid-reg"), Dist("corvid-reg"), 2},
      {Dist("rundll32"), Dist("rundll32"), 2},
  };
  for (const auto& p : programs) {
    SCOPED_TRACE(p.program);
    TRun run = Run(p.program + " --help");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("usage"), std::string::npos) << run.out;
    EXPECT_EQ(run.err, "");
    run = Run(p.program + " --version");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find(" 1."), std::string::npos) << run.out;
    run = Run(p.wrong);
    EXPECT_EQ(run.status, p.wrong_status);
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err, "");
  }
}

TEST_F(SendTest, WrongUseAndUnreadableFilesSendNothing) {
  struct TCase {
    std::string args;
    int status;
  };
  const TCase cases[] = {
      {"", 2},
      {"--subject s", 2},                                  // no recipient
      {"--to a@example.com --body b --body-file x", 2},   // two bodies
      {"--to a@example.com --colour red", 2},
      {"--to", 2},
      {"--to a@example.com --attach /nonexistent/file", 1},
      {"--to a@example.com --body-file /nonexistent/file", 1},
      // Its size at the start (0) is not what was read: as a file that
      // changes while it is read, never sent as a torn piece.
      {"--to a@example.com --body b --attach /proc/self/status", 1},
  };
  for (const TCase& c : cases) {
    const TRun run = Run(Dist("corvid") + " send " + c.args);
    EXPECT_EQ(run.status, c.status) << c.args << ": " << run.err;
    EXPECT_FALSE(run.err.empty()) << c.args;
  }
  EXPECT_TRUE(Messages("Outbox").empty());
  EXPECT_TRUE(Messages("Sent Items").empty());
}

const char kMail[] =
    "From: Ann <ann@example.com>\n"
    "To: Bob <bob@example.com>\n"
    "Cc: carol@example.com\n"
    "Subject: patch\n"
    "MIME-Version: 1.0\n"
    "Content-Type: multipart/mixed; boundary=XX\n"
    "\n"
    "--XX\n"
    "Content-Type: text/plain\n"
    "\n"
    "see attached\n"
    ".\n"
    "--XX\n"
    "Content-Type: text/plain; name=fix.diff\n"
    "Content-Disposition: attachment; filename=fix.diff\n"
    "\n"
    "-old\n+new\n"
    "--XX--\n";

TEST_F(SendTest, SendmailTakesTheMessageFromStandardInput) {
  SetSendCommand("cat > " + Quote((root_ / "piped.eml").string()));
  // -t: the header names the recipients; an address given besides goes as
  // a blind copy. -oi: a lone dot is text.
  const TRun run = Run(Dist("corvid") + " sendmail -t -oi extra@example.com", kMail);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "");
  const std::vector<fs::path> sent = Messages("Sent Items");
  ASSERT_EQ(sent.size(), 1u);
  const std::string message = ReadFile(sent[0]);
  EXPECT_EQ(ReadFile(root_ / "piped.eml"), message);
  EXPECT_NE(message.find("Bcc: extra@example.com\n"), std::string::npos);
  EXPECT_NE(message.find("see attached\n.\n--XX"), std::string::npos);
  EXPECT_NE(message.find("Message-ID: <"), std::string::npos);
  const auto attachments = SavedAttachments();
  ASSERT_EQ(attachments.size(), 1u);
  EXPECT_EQ(attachments[0], std::make_pair(std::string("fix.diff"), std::string("-old\n+new")));
}

TEST_F(SendTest, SendmailRecipientsAndTheEndingDot) {
  // Without -i a lone dot ends the message: the rest never arrives.
  TRun run = Run(Dist("corvid") + " sendmail bob@example.com carol@example.com",
                 "To: bob@example.com\nCc: carol@example.com\nSubject: x\n\nbody\n.\nnot sent\n");
  ASSERT_EQ(run.status, 0) << run.err;
  std::vector<fs::path> sent = Messages("Sent Items");
  ASSERT_EQ(sent.size(), 1u);
  std::string message = ReadFile(sent[0]);
  EXPECT_NE(message.find("body\n"), std::string::npos);
  EXPECT_EQ(message.find("not sent"), std::string::npos);
  EXPECT_NE(message.find("From: "), std::string::npos);  // a sender is added when missing

  // Wrong uses send nothing.
  const struct {
    std::string args, input;
    int status;
  } refused[] = {
      {"", "To: a@example.com\n\nx\n", 64},                            // no recipients, no -t
      {"-t", "Subject: none\n\nx\n", 64},                              // -t, none in the header
      {"-t", "", 65},                                                  // no message
  };
  for (const auto& c : refused) {
    run = Run(Dist("corvid") + " sendmail " + c.args, c.input);
    EXPECT_EQ(run.status, c.status) << c.args << " / " << c.input << ": " << run.err;
  }
  EXPECT_EQ(Messages("Sent Items").size(), 1u);
  EXPECT_TRUE(Messages("Outbox").empty());
}

// Without -t the given addresses are the envelope: a bounce (the header
// names someone else) goes to them with its header untouched, cron's mail
// to "root" goes to root; the recipients the store shows are the envelope.
// A delivery command that cannot take the envelope keeps such a message.
TEST_F(SendTest, SendmailWithoutTGoesToTheGivenAddresses) {
  const std::string capture = "cat > " + Quote((root_ / "piped.eml").string()) + "; printf '%s\\n' \"$@\" > " +
                              Quote((root_ / "args.txt").string());
  SetSendCommand(capture);
  const std::string bounced = "From: ann@example.com\nTo: Bob <bob@example.com>\nSubject: bounce me\n\nbody\n";
  TRun run = Run(Dist("corvid") + " sendmail -oi -- carol@example.com", bounced);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(ReadFile(root_ / "args.txt"), "carol@example.com\n");
  const std::string piped = ReadFile(root_ / "piped.eml");
  EXPECT_EQ(piped.rfind(bounced.substr(0, bounced.find("\n\n") + 1), 0), 0u) << piped;  // the header as it came
  EXPECT_EQ(piped.find("carol"), std::string::npos);
  EXPECT_EQ(piped.find("X-MAPI-"), std::string::npos);

  run = Run(Dist("corvid") + " sendmail -oi root", "Subject: cron job\n\noutput\n");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(ReadFile(root_ / "args.txt"), "root\n");

  // A command that reads the header would send the bounce back to Bob.
  SetSendCommand("/usr/sbin/sendmail -t -oi");
  run = Run(Dist("corvid") + " sendmail -oi carol@example.com", bounced);
  EXPECT_EQ(run.status, 75);
  EXPECT_NE(run.err.find("\"$@\""), std::string::npos) << run.err;
  const std::vector<fs::path> outbox = Messages("Outbox");
  ASSERT_EQ(outbox.size(), 1u);
  const TRun listed = Run(Dist("corvid-mapi") + " ls Outbox");
  const std::string entry = listed.out.substr(0, listed.out.find(' '));
  const TRun shown = Run(Dist("corvid-mapi") + " show " + entry);
  EXPECT_NE(shown.out.find("carol@example.com"), std::string::npos) << shown.out;
  EXPECT_EQ(shown.out.find("bob@example.com"), std::string::npos) << shown.out;
}

// The mail programs users send with, through `corvid sendmail` (as the
// program "sendmail"): git send-email's patch applies with git am from what
// the delivery command got; mutt's message arrives with its attachment.
TEST_F(SendTest, GitSendEmailAndMuttSendThroughCorvid) {
  if (std::system("git send-email --help >/dev/null 2>&1 && command -v mutt >/dev/null 2>&1") != 0) {
    CORVID_PEER_MISSING() << "git send-email or mutt is not installed (scripts/install-deps.sh installs them)";
  }
  fs::create_directories(root_ / "bin");
  fs::create_symlink(fs::path(CORVID_DIST) / "corvid", root_ / "bin" / "sendmail");
  const std::string sendmail = Quote((root_ / "bin" / "sendmail").string());
  SetSendCommand("cat > " + Quote((root_ / "piped.eml").string()) + "; printf '%s\\n' \"$@\" > " +
                 Quote((root_ / "args.txt").string()));
  const std::string git = "cd " + Quote((root_ / "repo").string()) +
                          " && HOME=" + Quote(root_.string()) + " git -c user.name='Ann Example' -c "
                          "user.email=ann@example.com ";
  fs::create_directories(root_ / "repo");
  ASSERT_EQ(Run(git + "init -q && printf 'one\\n' > f.txt && " + git + "add f.txt && " + git +
                "commit -qm first && printf 'one\\ntwo\\n' > f.txt && " + git + "commit -qam 'Add a second line' && " +
                git + "format-patch -q -1 -o ../patches")
                .status,
            0);
  TRun run = Run(git + "send-email --quiet --confirm=never --no-annotate --suppress-cc=all --to=bob@example.com "
                       "--cc='Carol Müller <carol@example.com>' --smtp-server=" + sendmail + " ../patches/*.patch");
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  const std::string args = ReadFile(root_ / "args.txt");
  EXPECT_NE(args.find("bob@example.com"), std::string::npos) << args;
  EXPECT_NE(args.find("carol@example.com"), std::string::npos) << args;
  EXPECT_EQ(ReadFile(root_ / "piped.eml").find("X-MAPI-"), std::string::npos);
  // The patch goes onto the first commit of a fresh clone.
  const std::string clone = "cd " + Quote((root_ / "clone").string()) + " && HOME=" + Quote(root_.string()) +
                            " git -c user.name=Bob -c user.email=bob@example.com ";
  ASSERT_EQ(Run("git clone -q " + Quote((root_ / "repo").string()) + " " + Quote((root_ / "clone").string()) +
                " && " + clone + "reset -q --hard HEAD~1")
                .status,
            0);
  run = Run(clone + "am -q " + Quote((root_ / "piped.eml").string()));
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(ReadFile(root_ / "clone" / "f.txt"), "one\ntwo\n");
  EXPECT_EQ(Run(clone + "log -1 --format=%s").out, "Add a second line\n");

  WriteFile(root_ / "notes.txt", "some notes\n");
  WriteFile(root_ / "muttrc", "set sendmail=" + sendmail + "\nset from=ann@example.com\nset use_from=yes\n"
                              "set record=\"\"\nset charset=utf-8\n");
  run = Run("HOME=" + Quote(root_.string()) + " mutt -n -F " + Quote((root_ / "muttrc").string()) +
                " -s 'from mutt' -a " + Quote((root_ / "notes.txt").string()) + " -- dave@example.com",
            "hello from mutt\n");
  ASSERT_EQ(run.status, 0) << run.err;
  const std::string piped = ReadFile(root_ / "piped.eml");
  EXPECT_NE(piped.find("Subject: from mutt"), std::string::npos) << piped;
  EXPECT_NE(piped.find("notes.txt"), std::string::npos);
  EXPECT_EQ(ReadFile(root_ / "args.txt").find("dave@example.com"), 0u);
}

// With the real extension, when this build has it: registered through its
// own export, it packs the attachment of a sent message into a ZIP archive.
TEST_F(SendTest, TheRealExtensionZipsTheAttachmentOfASentMessage) {
  const fs::path library = fs::path(CORVID_DIST) / "corvina.dll";
  if (!fs::exists(library) || !fs::exists(fs::path(CORVID_DIST) / "rundll32")) {
    CORVID_PEER_MISSING() << "corvina.dll or rundll32 is not built here";
  }
  if (std::system("command -v unzip >/dev/null 2>&1") != 0) CORVID_PEER_MISSING() << "no unzip";
  TRun run = Run(Dist("rundll32") + " " + Quote(library.string()) + ",Install_RunDLL 1");
  ASSERT_EQ(run.status, 0) << run.err;
  SetSendCommand("cat > " + Quote((root_ / "piped.eml").string()));

  std::string big;
  for (int i = 0; i < 20000; ++i) big += "line " + std::to_string(i) + " of a text that packs well\n";
  WriteFile(root_ / "big.txt", big);
  run = Run(Dist("corvid") + " send --to bob@example.com --subject zipped --body b --attach " +
            Quote((root_ / "big.txt").string()));
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("Attachments before sending:\n  big.txt  " + std::to_string(big.size()) + " bytes\n"),
            std::string::npos)
      << run.out;

  const auto attachments = SavedAttachments();
  ASSERT_EQ(attachments.size(), 1u) << run.out;
  const std::string& name = attachments[0].first;
  ASSERT_TRUE(name.size() > 4 && name.compare(name.size() - 4, 4, ".zip") == 0) << name;
  EXPECT_LT(attachments[0].second.size(), big.size() / 2);
  const fs::path zip = root_ / "saved" / name;
  EXPECT_EQ(Run("unzip -t " + Quote(zip.string())).status, 0);
  // What the store keeps for itself (the submit marker, the properties of
  // the new attachment) neither leaves the machine nor stays with the copy.
  const std::vector<fs::path> sent = Messages("Sent Items");
  ASSERT_EQ(sent.size(), 1u);
  for (const fs::path& file : {root_ / "piped.eml", sent[0]}) {
    const std::string text = ReadFile(file);
    EXPECT_NE(text.find(name), std::string::npos) << file;
    EXPECT_EQ(text.find("X-MAPI-"), std::string::npos) << file;
    EXPECT_EQ(text.find("Corvid prop"), std::string::npos) << file;
  }
  EXPECT_EQ(Run("unzip -p " + Quote(zip.string()) + " big.txt").out, big);
}

// Reads a message with Python's email package: one line per leaf part
// ("TYPE<tab>FILENAME"), its decoded data in OUTDIR/part-N. Or lists and
// extracts a ZIP archive with Python's zipfile (an empty PASSWORD: none).
const char kReadScript[] = R"(import email, email.policy, os, sys, zipfile
if sys.argv[1] == "parts":
    with open(sys.argv[2], "rb") as f:
        msg = email.message_from_bytes(f.read(), policy=email.policy.default)
    leaves = [p for p in msg.walk() if not p.is_multipart()]
    for i, part in enumerate(leaves):
        with open(os.path.join(sys.argv[3], "part-%d" % i), "wb") as f:
            f.write(part.get_payload(decode=True) or b"")
        print("%s\t%s" % (part.get_content_type(), part.get_filename() or ""))
else:
    with zipfile.ZipFile(sys.argv[2]) as z:
        for name in z.namelist():
            with open(os.path.join(sys.argv[4], name), "wb") as f:
                f.write(z.read(name, pwd=sys.argv[3].encode() or None))
            print(name)
)";

// Text that packs well, different per name, not ending in a line break (so
// it survives being a MIME text part unchanged).
std::string Prose(size_t size, const std::string& name) {
  std::string out;
  while (out.size() < size) out += name + ": the quick brown fox jumps over the lazy dog.\n";
  out.resize(size);
  if (!out.empty()) out.back() = '.';
  return out;
}

std::string Noise(size_t size) {
  std::mt19937 random(7);
  std::string out(size, '\0');
  for (char& c : out) c = static_cast<char>(random());
  return out;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// The settings by name: wrong names, types and ranges are refused; a
// password is read from standard input, stored encoded and never shown.
TEST_F(SendTest, ConfigChecksWhatItStoresAndNeverShowsAPassword) {
  // The machine's settings, which the user's root takes over at its first change.
  {
    win::HKEY machine = nullptr;
    ASSERT_EQ(win::RegCreateKeyEx(win::HKEY_LOCAL_MACHINE, (std::string(settings::kSettingsKey) + "\\Compression").c_str(),
                                  0, nullptr, 0, win::KEY_ALL_ACCESS, nullptr, &machine, nullptr),
              win::ERROR_SUCCESS);
    const win::DWORD seven = 7;
    win::RegSetValueEx(machine, "MinCompression", 0, win::REG_DWORD, reinterpret_cast<const win::BYTE*>(&seven),
                       sizeof seven);
    win::RegCloseKey(machine);
  }
  const struct {
    std::string args, input;
    int status;
    std::string out;  // expected start of standard output
  } steps[] = {
      {"set CompressionLevel 42", "", 2, ""},
      {"set 'Compression\\CompresionLevel' 5", "", 2, ""},
      {"set Enabled 0", "", 2, ""},  // Compression\Enabled or Decompression\Enabled?
      {"set UsePassword maybe", "", 2, ""},
      {"set DefaultZIPName " + std::string(300, 'n'), "", 2, ""},
      {"set 'Install\\ReadOnly' 1", "", 2, ""},
      {"set compressionlevel 6", "", 0, "Compression\\CompressionLevel = 6\n"},
      {"get CompressionLevel", "", 0, "6\n"},
      {"set 'Compression\\Enabled' off", "", 0, "Compression\\Enabled = 0\n"},
      {"set SkipFiles 'jpg, png'", "", 0, "Compression\\SkipFiles = jpg, png\n"},
      {"get 'Compression\\Password'", "", 0, "(not set)\n"},
      {"set 'Compression\\Password'", "pass phrase 7\n", 0, "Compression\\Password = (set)\n"},
      {"get 'Compression\\Password'", "", 0, "(set)\n"},
      {"list", "", 0, "Compression\\Enabled = 0  (Boolean 0|1, default 1)\n"},
      {"get MinCompression", "", 0, "7\n"},
      {"", "", 2, ""},
  };
  for (const auto& step : steps) {
    const TRun run = Run(Dist("corvid") + " config " + step.args, step.input);
    EXPECT_EQ(run.status, step.status) << step.args << ": " << run.err;
    EXPECT_EQ(run.out.substr(0, step.out.size()), step.out) << step.args;
    if (step.status != 0) {
      EXPECT_FALSE(run.err.empty()) << step.args;
    }
    EXPECT_EQ((run.out + run.err).find("pass phrase"), std::string::npos) << step.args;
  }
  win::HKEY key = nullptr;
  ASSERT_EQ(win::RegOpenKeyEx(win::HKEY_CURRENT_USER, (std::string(settings::kSettingsKey) + "\\Compression").c_str(), 0,
                              win::KEY_READ, &key),
            win::ERROR_SUCCESS);
  char stored[512] = {};
  win::DWORD size = sizeof stored;
  win::DWORD type = 0;
  ASSERT_EQ(win::RegQueryValueEx(key, "Password", nullptr, &type, reinterpret_cast<win::BYTE*>(stored), &size),
            win::ERROR_SUCCESS);
  win::RegCloseKey(key);
  EXPECT_EQ(settings::DecryptString(stored), "pass phrase 7");
}

// A password asked for and none usable: the message does not leave, stays
// whole in Outbox, and the send says why. Once one is stored, the next send
// leaves protected, and the log never holds it.
TEST_F(SendTest, AProtectedSendWithoutAPasswordDoesNotLeave) {
  const fs::path library = fs::path(CORVID_DIST) / "corvina.dll";
  if (!fs::exists(library) || !fs::exists(fs::path(CORVID_DIST) / "rundll32")) {
    CORVID_PEER_MISSING() << "corvina.dll or rundll32 is not built here";
  }
  TRun run = Run(Dist("rundll32") + " " + Quote(library.string()) + ",Install_RunDLL 1");
  ASSERT_EQ(run.status, 0) << run.err;
  SetSendCommand("cat > " + Quote((root_ / "piped.eml").string()));
  ASSERT_EQ(Run(Dist("corvid") + " config set UsePassword 1").status, 0);
  WriteFile(root_ / "a.txt", Prose(20000, "a"));
  const std::string send = Dist("corvid") + " send --to bob@example.com --subject 'for bob' --body b --attach " +
                           Quote((root_ / "a.txt").string());

  run = Run(send);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("no usable password"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("stays in Outbox"), std::string::npos) << run.err;
  EXPECT_FALSE(fs::exists(root_ / "piped.eml"));
  EXPECT_TRUE(Messages("Sent Items").empty());
  const std::vector<fs::path> outbox = Messages("Outbox");
  ASSERT_EQ(outbox.size(), 1u);
  EXPECT_NE(ReadFile(outbox[0]).find("filename=a.txt"), std::string::npos);
  // With -v the whole log goes to standard error, the reason once.
  run = Run(send + " -v");
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("]: sending \"for bob\": attachments not packed"), std::string::npos) << run.err;
  EXPECT_EQ(run.err.find("corvid send: sending \"for bob\""), std::string::npos) << "not shown twice: " << run.err;
  for (const fs::path& again : Messages("Outbox")) {
    if (again != outbox[0]) fs::remove(again);
  }

  // Once a password is stored, flush takes the draft through the extension
  // again and it leaves protected.
  ASSERT_EQ(Run(Dist("corvid") + " config set 'Compression\\Password'", "secret of bob\n").status, 0);
  run = Run(Dist("corvid") + " flush");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(Messages("Outbox").empty());
  EXPECT_EQ(Messages("Sent Items").size(), 1u);
  const std::string piped = ReadFile(root_ / "piped.eml");
  EXPECT_NE(piped.find("a.zip"), std::string::npos);
  EXPECT_EQ(piped.find("filename=a.txt"), std::string::npos);
  const std::string log = ReadFile(root_ / "log" / "corvid.log");
  EXPECT_NE(log.find("\"for bob\": attachments not packed"), std::string::npos) << log;
  EXPECT_EQ(log.find("secret of bob"), std::string::npos);
}

// A tmpfs of `size` over `folder` for one shell command, in a private mount
// namespace so that nothing stays mounted after it; false where this machine
// cannot make one (not root, no namespaces).
bool CanMountPrivately() { return std::system("unshare -m true >/dev/null 2>&1") == 0; }
std::string WithSmallDisk(const std::string& size, const fs::path& folder, const std::string& command) {
  return "unshare -m sh -c " +
         Quote("mount -t tmpfs -o size=" + size + " tmpfs " + Quote(folder.string()) + " && " + command);
}

// A disk that fills up during a send: the send fails in words, no half
// message is left in any folder, and a password asked for is never dropped
// on the way: without one the attachment leaves as it is and the send says
// why; with one nothing leaves and the message waits in Outbox.
TEST_F(SendTest, AFullDiskNeverSendsWhatWasAskedToBeProtected) {
  const fs::path library = fs::path(CORVID_DIST) / "corvina.dll";
  if (!fs::exists(library) || !fs::exists(fs::path(CORVID_DIST) / "rundll32")) {
    CORVID_PEER_MISSING() << "corvina.dll or rundll32 is not built here";
  }
  if (!CanMountPrivately()) CORVID_PEER_MISSING() << "cannot mount a small disk here (unshare -m)";
  ASSERT_EQ(Run(Dist("rundll32") + " " + Quote(library.string()) + ",Install_RunDLL 1").status, 0);
  const fs::path piped = root_ / "piped.eml";
  SetSendCommand("cat > " + Quote(piped.string()));
  WriteFile(root_ / "big.bin", Noise(10 << 20));
  const fs::path temp = root_ / "small-tmp";
  fs::create_directories(temp);
  const std::string send = Dist("corvid") + " send --to bob@example.com --subject S --body b --attach " +
                           Quote((root_ / "big.bin").string());
  const auto hidden_or_temporary = [&] {
    std::vector<std::string> found;
    for (const auto& entry : fs::recursive_directory_iterator(maildir_)) {
      const std::string parent = entry.path().parent_path().filename().string();
      if (!entry.is_regular_file()) continue;
      if (parent == "tmp" || entry.path().filename().string()[0] == '.') found.push_back(entry.path().string());
    }
    return found;
  };

  // The temporary folder (19 MiB) cannot hold the attachment and its
  // archive. No password asked: it leaves unpacked, and the send says why.
  TRun run = Run(WithSmallDisk("19m", temp, "TMPDIR=" + Quote(temp.string()) + " " + send));
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.err.find("attachments left as they were"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("the disk is full"), std::string::npos) << run.err;
  EXPECT_NE(ReadFile(piped).find("filename=big.bin"), std::string::npos);
  fs::remove(piped);

  // A password asked for: nothing leaves, the message stays whole in Outbox.
  ASSERT_EQ(Run(Dist("corvid") + " config set UsePassword 1").status, 0);
  ASSERT_EQ(Run(Dist("corvid") + " config set 'Compression\\Password'", "secret of bob\n").status, 0);
  run = Run(WithSmallDisk("19m", temp, "TMPDIR=" + Quote(temp.string()) + " " + send));
  EXPECT_EQ(run.status, 1) << run.err;
  EXPECT_NE(run.err.find("the disk is full"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("stays in Outbox"), std::string::npos) << run.err;
  EXPECT_FALSE(fs::exists(piped));
  const std::vector<fs::path> outbox = Messages("Outbox");
  ASSERT_EQ(outbox.size(), 1u);
  EXPECT_GT(fs::file_size(outbox[0]), 10485760u * 4 / 3);  // the whole attachment, base64-encoded
  EXPECT_TRUE(hidden_or_temporary().empty());
  fs::remove(outbox[0]);

  // The store's own disk (4 MiB) is full: the send fails in words, and not
  // even a message without its attachment is left in a folder. The folders
  // live on the small disk only inside the namespace: look at them there.
  for (const fs::path& sent : Messages("Sent Items")) fs::remove(sent);
  const fs::path stash = root_ / "stash";
  ASSERT_EQ(Run("cp -a " + Quote(maildir_.string()) + " " + Quote(stash.string())).status, 0);
  const std::string files = "find " + Quote(maildir_.string()) + " -type f | sort";
  const std::string before = Quote((root_ / "before").string());
  run = Run(WithSmallDisk("4m", maildir_,
                          "cp -a " + Quote(stash.string()) + "/. " + Quote(maildir_.string()) + " && " + files +
                              " > " + before + " || exit 99; " + send + " >/dev/null; echo status=$?; " + files + " | diff " + before + " -"));
  EXPECT_EQ(run.out, "status=1\n") << "the store changed: " << run.out;
  EXPECT_NE(run.err.find("the disk is full"), std::string::npos) << run.err;
  EXPECT_EQ(run.err.find(": 0x8004010D"), std::string::npos) << "a bare code: " << run.err;
  EXPECT_FALSE(fs::exists(piped));
}

// A large send stopped at moments spread over its whole course (reading the
// attachment, packing, saving, delivering, filing), by Ctrl-C, SIGTERM and
// kill -9: every message a Maildir reader can see is whole, and whatever a
// killed send left is gone after the next start.
TEST_F(SendTest, ASendStoppedAtAnyMomentLeavesOnlyWholeMessages) {
  const fs::path library = fs::path(CORVID_DIST) / "corvina.dll";
  if (!fs::exists(library) || !fs::exists(fs::path(CORVID_DIST) / "rundll32")) {
    CORVID_PEER_MISSING() << "corvina.dll or rundll32 is not built here";
  }
  if (std::system("command -v python3 >/dev/null 2>&1") != 0) CORVID_PEER_MISSING() << "no python3";
  ASSERT_EQ(Run(Dist("rundll32") + " " + Quote(library.string()) + ",Install_RunDLL 1").status, 0);
  SetSendCommand("cat > /dev/null");
  const fs::path temp = root_ / "tmp";
  fs::create_directories(temp);
  // Half text that packs, half noise that does not: 12 MiB.
  std::string big = Prose(6 << 20, "big");
  big.resize(6 << 20);
  big += Noise(6 << 20);
  WriteFile(root_ / "big.bin", big);
  const std::string send = "TMPDIR=" + Quote(temp.string()) + " " + Dist("corvid") +
                           " send --to bob@example.com --subject S --body b --attach " +
                           Quote((root_ / "big.bin").string());
  // Each visible message holds big.bin whole, as it is or in an archive.
  const std::string check =
      "python3 -c " + Quote(R"(
import email, io, sys, zipfile
size = int(sys.argv[1])
for path in sys.argv[2:]:
    message = email.message_from_binary_file(open(path, 'rb'))
    parts = [p for p in message.walk() if p.get_filename()]
    names = [p.get_filename() for p in parts]
    ok = len(parts) == 1
    if ok:
        data = parts[0].get_payload(decode=True)
        if names[0] == 'big.bin':
            ok = len(data) == size
        else:
            archive = zipfile.ZipFile(io.BytesIO(data))
            ok = archive.testzip() is None and [(i.filename, i.file_size) for i in archive.infolist()] == [('big.bin', size)]
    if not ok:
        print('not whole:', path, names)
)") + " " + std::to_string(big.size());
  const auto visible = [&] {
    std::string list;
    for (const char* folder : {"Outbox", "Sent Items"}) {
      for (const fs::path& path : Messages(folder)) {
        if (path.filename().string()[0] != '.') list += " " + Quote(path.string());
      }
    }
    return list;
  };

  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(Run(send).status, 0);
  const double whole = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::mt19937 random(20261211);
  const char* signals[] = {"INT", "TERM", "KILL"};
  constexpr int kRounds = 6;
  for (int round = 0; round < kRounds; ++round) {
    // Moments spread over the whole course, each one somewhere in its part.
    const double at = whole * (round + std::uniform_real_distribution<double>(0.05, 0.95)(random)) / kRounds;
    const char* signal = signals[round % 3];
    SCOPED_TRACE(std::string(signal) + " after " + std::to_string(at) + " s of " + std::to_string(whole));
    Run("{ " + send + " & client=$!; sleep " + std::to_string(at) + "; kill -" + signal + " $client; wait $client; }");
    const TRun checked = Run(check + visible());
    EXPECT_EQ(checked.status, 0) << checked.err;
    EXPECT_EQ(checked.out, "");
  }
  // The next start sweeps what the killed ones left.
  ASSERT_EQ(Run(send).status, 0);
  std::vector<std::string> left;
  for (const auto& entry : fs::recursive_directory_iterator(root_)) {
    const std::string name = entry.path().filename().string();
    const std::string parent = entry.path().parent_path().filename().string();
    if (!entry.is_regular_file() && !entry.is_directory()) continue;
    if ((parent == "tmp" && entry.path().parent_path().parent_path().parent_path() == maildir_) ||
        (entry.path().parent_path() == temp) || name.rfind("rot-", 0) == 0 ||
        ((parent == "new" || parent == "cur") && name[0] == '.')) {
      left.push_back(entry.path().string());
    }
  }
  EXPECT_TRUE(left.empty()) << ::testing::PrintToString(left);
}

// Clients running at once, and a setting changed while they run: every
// send is counted, and the change survives their saves at exit.
TEST_F(SendTest, ParallelSendsLoseNeitherCountsNorSettings) {
  const fs::path library = fs::path(CORVID_DIST) / "corvina.dll";
  if (!fs::exists(library) || !fs::exists(fs::path(CORVID_DIST) / "rundll32")) {
    CORVID_PEER_MISSING() << "corvina.dll or rundll32 is not built here";
  }
  ASSERT_EQ(Run(Dist("rundll32") + " " + Quote(library.string()) + ",Install_RunDLL 1").status, 0);
  ASSERT_EQ(Run(Dist("corvid") + " send --to bob@example.com --body first").status, 0);
  const auto counted = [this] { return Run(Dist("corvid") + " config get NumMessages").out; };
  ASSERT_EQ(counted(), "1\n");
  // The delivery command changes a setting while each client still runs.
  SetSendCommand(Dist("corvid") + " config set CompressionLevel 2 >/dev/null; cat >/dev/null");
  const TRun run = Run("for i in $(seq 20); do " + Dist("corvid") +
                       " send --to bob@example.com --body b >/dev/null 2>&1 & done; wait");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(Messages("Sent Items").size(), 21u);
  EXPECT_EQ(counted(), "21\n");
  EXPECT_EQ(Run(Dist("corvid") + " config get CompressionLevel").out, "2\n");
}

// One send per row through the client with the real extension: what leaves
// packed for which settings and message, and that every archive opens with
// the standard tools and gives back the very files.
TEST_F(SendTest, TheRealExtensionPacksWhatTheSettingsAndTheMessageAllow) {
  const fs::path library = fs::path(CORVID_DIST) / "corvina.dll";
  if (!fs::exists(library) || !fs::exists(fs::path(CORVID_DIST) / "rundll32")) {
    CORVID_PEER_MISSING() << "corvina.dll or rundll32 is not built here";
  }
  if (std::system("command -v unzip >/dev/null 2>&1 && command -v python3 >/dev/null 2>&1") != 0) {
    CORVID_PEER_MISSING() << "no unzip or python3";
  }
  TRun run = Run(Dist("rundll32") + " " + Quote(library.string()) + ",Install_RunDLL 1");
  ASSERT_EQ(run.status, 0) << run.err;
  const fs::path script = root_ / "read.py";
  WriteFile(script, kReadScript);

  using TValue = std::variant<win::DWORD, std::string>;
  struct TRow {
    const char* what;
    std::vector<std::pair<const char*, TValue>> settings;  // values under Compression
    std::string to;  // empty: a meeting request through sendmail
    std::vector<std::pair<std::string, size_t>> files;
    // Attachments after the send: name, and the files an archive holds
    // (none: the original file, unchanged).
    std::vector<std::pair<std::string, std::vector<std::string>>> expected;
    std::string password;
    bool sfx = false;
  };
  const std::string single_zip = "attachments.zip";  // the default name of the one archive
  const TRow rows[] = {
      {"smtp, defaults", {}, "bob@example.com", {{"a.txt", 5000}, {"b.txt", 7000}},
       {{single_zip, {"a.txt", "b.txt"}}}, "", false},
      {"fax recipient", {}, "FAX:+1 555 0100", {{"a.txt", 5000}, {"b.txt", 7000}},
       {{"a.txt", {}}, {"b.txt", {}}}, "", false},
      {"skip mask", {{"SkipFiles", std::string("jpg")}}, "bob@example.com",
       {{"photo.JPG", 5000}, {"a.txt", 5000}, {"b.txt", 7000}},
       {{"photo.JPG", {}}, {single_zip, {"a.txt", "b.txt"}}}, "", false},
      {"minimum size", {}, "bob@example.com", {{"small.txt", 1023}, {"edge.txt", 1024}},
       {{"small.txt", {}}, {single_zip, {"edge.txt"}}}, "", false},
      {"separate archives", {{"MakeSingleZIP", win::DWORD{0}}}, "bob@example.com",
       {{"a.txt", 5000}, {"b.doc", 7000}}, {{"a.zip", {"a.txt"}}, {"b.zip", {"b.doc"}}}, "", false},
      {"password",
       {{"UsePassword", win::DWORD{1}}, {"Password", settings::EncryptString("s3cret pass")}},
       "bob@example.com", {{"a.txt", 5000}, {"b.txt", 7000}}, {{single_zip, {"a.txt", "b.txt"}}}, "s3cret pass", false},
      {"self-extracting", {{"CreateSFX", win::DWORD{1}}}, "bob@example.com",
       {{"a.txt", 50000}, {"b.txt", 70000}}, {{"attachments.exe", {"a.txt", "b.txt"}}}, "", true},
      {"meeting request", {}, "", {{"a.txt", 5000}}, {{"a.txt", {}}}, "", false},
  };

  int index = 0;
  // A lambda, so that a failed assertion ends only its row.
  const auto send_and_check = [&](const TRow& row) {
    const fs::path dir = root_ / ("row" + std::to_string(index++));
    fs::create_directories(dir / "parts");
    // Each row starts from the defaults: the extension saves what it read at exit.
    win::RegDeleteTree(win::HKEY_CURRENT_USER, settings::kSettingsKey);
    win::RegDeleteTree(win::HKEY_LOCAL_MACHINE, settings::kSettingsKey);
    win::HKEY key = nullptr;
    ASSERT_EQ(win::RegCreateKeyEx(win::HKEY_CURRENT_USER, (std::string(settings::kSettingsKey) + "\\Compression").c_str(),
                                  0, nullptr, 0, win::KEY_ALL_ACCESS, nullptr, &key, nullptr),
              win::ERROR_SUCCESS);
    for (const auto& [name, value] : row.settings) {
      if (const auto* number = std::get_if<win::DWORD>(&value)) {
        win::RegSetValueEx(key, name, 0, win::REG_DWORD, reinterpret_cast<const win::BYTE*>(number), sizeof *number);
      } else {
        const std::string& text = std::get<std::string>(value);
        win::RegSetValueEx(key, name, 0, win::REG_SZ, reinterpret_cast<const win::BYTE*>(text.c_str()),
                           static_cast<win::DWORD>(text.size() + 1));
      }
    }
    win::RegCloseKey(key);
    for (const fs::path& old : Messages("Sent Items")) fs::remove(old);

    std::map<std::string, std::string> originals;
    std::string attach;
    for (const auto& [name, size] : row.files) {
      originals[name] = Prose(size, name);
      WriteFile(dir / name, originals[name]);
      attach += " --attach " + Quote((dir / name).string());
    }
    const std::string body = "Body of the row " + std::string(row.what);
    if (!row.to.empty()) {
      run = Run(Dist("corvid") + " send --to " + Quote(row.to) + " --subject s --body " + Quote(body) + attach);
    } else {
      const auto& [name, data] = *originals.begin();
      run = Run(Dist("corvid") + " sendmail -t -i",
                "From: ann@example.com\nTo: bob@example.com\nSubject: meet\nMIME-Version: 1.0\n"
                "Content-Type: multipart/mixed; boundary=XX\n\n--XX\nContent-Type: text/plain\n\n" + body +
                    "\n--XX\nContent-Type: text/calendar; method=REQUEST\n\nBEGIN:VCALENDAR\nMETHOD:REQUEST\n"
                    "END:VCALENDAR\n--XX\nContent-Type: text/plain; name=" + name +
                    "\nContent-Disposition: attachment; filename=" + name + "\n\n" + data + "\n--XX--\n");
    }
    ASSERT_EQ(run.status, 0) << run.err;
    const std::vector<fs::path> sent = Messages("Sent Items");
    ASSERT_EQ(sent.size(), 1u);

    const TRun parts = Run("python3 " + Quote(script.string()) + " parts " + Quote(sent[0].string()) + " " +
                           Quote((dir / "parts").string()));
    ASSERT_EQ(parts.status, 0) << parts.err;
    std::vector<std::pair<std::string, std::string>> attachments;  // name, data
    bool body_kept = false, calendar_kept = false;
    const std::vector<std::string> lines = Lines(parts.out);
    for (size_t i = 0; i < lines.size(); ++i) {
      const std::string type = lines[i].substr(0, lines[i].find('\t'));
      const std::string file = lines[i].substr(lines[i].find('\t') + 1);
      const std::string data = ReadFile(dir / "parts" / ("part-" + std::to_string(i)));
      if (!file.empty()) {
        attachments.emplace_back(file, data);
      } else if (type == "text/plain") {
        body_kept = body_kept || data.rfind(body, 0) == 0;
      } else if (type == "text/calendar") {
        calendar_kept = data.find("METHOD:REQUEST") != std::string::npos;
      }
    }
    EXPECT_TRUE(body_kept) << parts.out;
    EXPECT_EQ(calendar_kept, row.to.empty()) << parts.out;

    std::sort(attachments.begin(), attachments.end());
    auto expected = row.expected;
    std::sort(expected.begin(), expected.end());
    ASSERT_EQ(attachments.size(), expected.size()) << parts.out;
    for (size_t i = 0; i < expected.size(); ++i) {
      const auto& [name, entries] = expected[i];
      ASSERT_EQ(attachments[i].first, name) << parts.out;
      if (entries.empty()) {
        EXPECT_EQ(attachments[i].second, originals[name]) << name;
        continue;
      }
      const fs::path archive = dir / name;
      WriteFile(archive, attachments[i].second);
      const std::string password = row.password.empty() ? "" : " -P " + Quote(row.password);
      EXPECT_EQ(Run("unzip -t" + password + " " + Quote(archive.string())).status, 0) << name;
      const fs::path out = dir / (name + ".py");
      fs::create_directories(out);
      const TRun listed = Run("python3 " + Quote(script.string()) + " zip " + Quote(archive.string()) + " " +
                              Quote(row.password) + " " + Quote(out.string()));
      ASSERT_EQ(listed.status, 0) << listed.err;
      std::vector<std::string> names = Lines(listed.out);
      std::sort(names.begin(), names.end());
      EXPECT_EQ(names, entries);
      for (const std::string& entry : entries) EXPECT_EQ(ReadFile(out / entry), originals[entry]) << entry;
      if (!row.password.empty()) {
        EXPECT_NE(Run("unzip -t -P wrong " + Quote(archive.string())).status, 0);
        EXPECT_NE(Run("python3 " + Quote(script.string()) + " zip " + Quote(archive.string()) + " '' " +
                      Quote(out.string()))
                      .status,
                  0);
      }
      if (row.sfx) {
        // The attachment is a program that unpacks itself into a fresh folder.
        const fs::path unpacked = dir / "unpacked";
        fs::create_directories(unpacked);
        fs::permissions(archive, fs::perms::owner_all);
        const TRun extracted = Run("cd " + Quote(unpacked.string()) + " && " + Quote(archive.string()));
        EXPECT_EQ(extracted.status, 0) << extracted.err;
        for (const std::string& entry : entries) EXPECT_EQ(ReadFile(unpacked / entry), originals[entry]) << entry;
      }
    }
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.what);
    send_and_check(row);
  }
}

}  // namespace
}  // namespace corvid::client
