// `corvid run` as a process: mail of every mailer unpacked at start, new
// mail while running, a clean stop, and kill -9 at any moment.
#include "client/process_test_fixture.h"

namespace corvid::client {
namespace {

using namespace corvid::client::test;
using RunTest = TClientProcessTest;

TEST_F(RunTest, RunOnceUnpacksUnreadInboxMailFromEveryMailerAndLeavesTheRestAlone) {
  const TFiles files = {{"Grüße.txt", "hallo\n"}, {"data.bin", Bytes(40000, 1)}};
  for (const auto& [name, bytes] : files) File(name, bytes);
  const std::string notes = Bytes(900, 2);
  File("notes.pdf", notes);
  InFiles("zip -q info.zip Grüße.txt data.bin");
  InFiles("7zz a -tzip -bd seven.zip Grüße.txt data.bin");
  InFiles("python3 -c \"import zipfile;z=zipfile.ZipFile('py.zip','w',zipfile.ZIP_DEFLATED);"
          "[z.write(f) for f in ('Grüße.txt','data.bin')];z.close()\"");
  InFiles("cp info.zip read.zip && cat /usr/bin/unzipsfx info.zip > setup.exe && zip -q -A setup.exe");

  const std::string mutt = Deliver(Mutt("mutt", {"info.zip", "notes.pdf"}));
  const std::string mpack = Deliver(Mpack("mpack", "seven.zip"));
  const std::string python = Deliver(Python("python", {"notes.pdf", "py.zip"}));
  // Read mail and a self-extracting archive are not the start-up check's.
  const std::string read = Deliver(Python("read", {"read.zip"}));
  fs::rename(inbox_ / "new" / read, inbox_ / "cur" / (read + ":2,S"));
  const std::string sfx = Deliver(Python("sfx", {"setup.exe"}));
  const std::string read_before = ReadFile(InboxFiles(read).at(0));
  const std::string sfx_before = ReadFile(InboxFiles(sfx).at(0));

  const std::string log = RunOnce();
  EXPECT_NE(log.find("\"From mutt\": unpacked info.zip (2 files)"), std::string::npos) << log;

  auto sorted = [](TFiles f) {
    std::sort(f.begin(), f.end());
    return f;
  };
  TFiles with_notes = files;
  with_notes.emplace_back("notes.pdf", notes);
  EXPECT_EQ(sorted(MimeFiles(InboxFiles(mutt).at(0))), sorted(with_notes));
  EXPECT_EQ(sorted(MimeFiles(InboxFiles(mpack).at(0))), sorted(files));
  EXPECT_EQ(sorted(MimeFiles(InboxFiles(python).at(0))), sorted(with_notes));
  EXPECT_NE(ReadFile(InboxFiles(mutt).at(0)).find("Body from mutt."), std::string::npos);
  EXPECT_EQ(ReadFile(InboxFiles(read).at(0)), read_before);
  EXPECT_EQ(ReadFile(InboxFiles(sfx).at(0)), sfx_before);
  EXPECT_TRUE(fs::is_empty(root_ / "tmp"));
}

TEST_F(RunTest, NewMailWhileRunningIsUnpackedAndATermSignalStopsCleanly) {
  File("a.txt", Bytes(20000, 3));
  InFiles("zip -q a.zip a.txt");
  const fs::path err = work_ / "run.err";
  const pid_t pid = Start(err);
  ASSERT_TRUE(WaitFor([&] { return ReadFile(err).find("for new mail") != std::string::npos; })) << ReadFile(err);

  // Two messages arrive at once, written by another process.
  const fs::path message = Python("new", {"a.zip"});
  const std::string first = Deliver(message), second = Deliver(message);
  for (const std::string& name : {first, second}) {
    EXPECT_TRUE(WaitFor([&] {
      const std::vector<fs::path> found = InboxFiles(name);
      return found.size() == 1 && MimeFiles(found[0]) == TFiles{{"a.txt", Bytes(20000, 3)}};
    })) << name << "\n" << ReadFile(err);
  }
  EXPECT_EQ(Stop(pid, SIGTERM), 0);
  const std::string log = ReadFile(err);
  EXPECT_NE(log.find("stopping on SIGTERM"), std::string::npos) << log;
  EXPECT_NE(log.find("stopped"), std::string::npos) << log;
}

// Killed at any moment while it unpacks a large archive, the client leaves
// the message whole, old or new, never twice, and no temporary file.
TEST_F(RunTest, KilledAtAnyMomentNothingIsLostOrDuplicated) {
  const std::string big = Bytes(6 << 20, 4);
  File("big.bin", big);
  File("small.txt", "small\n");
  InFiles("zip -q -1 big.zip big.bin small.txt");
  const std::string archive = ReadFile(work_ / "files" / "big.zip");
  const std::string name = Deliver(Python("big", {"big.zip"}));
  const TFiles packed = {{"big.zip", archive}};
  const TFiles unpacked = {{"big.bin", big}, {"small.txt", "small\n"}};

  std::mt19937 random(5);
  bool done = false;
  for (int round = 0; round < 8 && !done; ++round) {
    const fs::path err = work_ / "run.err";
    const std::string command = Dist("corvid") + " run --once </dev/null 2>" + Quote(err.string());
    const std::string exec = "exec " + command;
    const char* argv[] = {"/bin/sh", "-c", exec.c_str(), nullptr};
    pid_t pid = 0;
    ASSERT_EQ(::posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char* const*>(argv), environ), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(random() % 400));
    Stop(pid, SIGKILL);
    const std::vector<fs::path> found = InboxFiles(name);
    ASSERT_EQ(found.size(), 1u) << "round " << round;
    const TFiles now = MimeFiles(found[0]);
    EXPECT_TRUE(now == packed || now == unpacked) << "round " << round;
    done = now == unpacked;
  }
  // The next start finishes the work and sweeps what the kills left.
  RunOnce();
  EXPECT_EQ(MimeFiles(InboxFiles(name).at(0)), unpacked);
  EXPECT_EQ(InboxFiles().size(), 1u);
  EXPECT_TRUE(fs::is_empty(root_ / "tmp"));
  EXPECT_TRUE(fs::is_empty(inbox_ / "tmp"));
}

}  // namespace
}  // namespace corvid::client
