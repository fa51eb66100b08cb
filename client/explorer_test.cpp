// The explorer commands as a process: the menu's state from the selection,
// the two batches, Cancel, and a round trip over a folder of mail.
#include "client/process_test_fixture.h"
#include "platform/mapi/entry_id.h"
#include "platform/mapi/profile.h"

namespace corvid::client {
namespace {

using namespace corvid::client::test;

class ExplorerTest : public TClientProcessTest {
 protected:
  struct TResult {
    int status;
    std::string out, err;
  };
  TResult Corvid(const std::string& args) {
    const fs::path out = work_ / "out.txt", err = work_ / "err.txt";
    const int status = Shell(Dist("corvid") + " " + args + " </dev/null >" + Quote(out.string()) + " 2>" +
                             Quote(err.string()));
    return {status, ReadFile(out), ReadFile(err)};
  }
  // The entry identifier of an inbox message, as `corvid-mapi ls` shows it.
  std::string EntryOf(const std::string& name) {
    mapi::TEntryId id = mapi::EntryIdOf(DefaultStore().uid, mapi::TEntryKind::Message);
    id.unique = name;
    return mapi::HexOf(mapi::EncodeEntryId(id));
  }
  std::string FolderEntry(const std::string& folder) {
    mapi::TEntryId id = mapi::EntryIdOf(DefaultStore().uid, mapi::TEntryKind::Folder);
    id.folder = folder;
    return mapi::HexOf(mapi::EncodeEntryId(id));
  }
  static mapi::TStoreConfig DefaultStore() {
    for (const mapi::TStoreConfig& store : mapi::LoadProfile().stores) {
      if (store.is_default) return store;
    }
    return {};
  }
  // "enabled" or "greyed" for each of the two commands.
  std::pair<std::string, std::string> States(const std::string& selection) {
    const TResult menu = Corvid("menu " + selection);
    EXPECT_EQ(menu.status, 0) << menu.err;
    auto state = [&](const std::string& text) {
      const size_t at = menu.out.find(text);
      if (at == std::string::npos) return std::string("missing");
      const std::string line = menu.out.substr(at, menu.out.find('\n', at) - at);
      return line.substr(line.find_last_of(' ') + 1);
    };
    return {state("Compress attachments"), state("Decompress attachments")};
  }
  void Set(const std::string& key, const std::string& name, int value) {
    ASSERT_EQ(Shell(Dist("corvid-reg") + " add " + Quote("HKCU\\Software\\Corvid\\" + key) + " /v " + name +
                    " /t REG_DWORD /d " + std::to_string(value) + " /f >/dev/null"),
              0);
  }
  // Files read from a message so that the inbox check of a client start
  // leaves them to the commands.
  std::string DeliverRead(const fs::path& message) {
    const std::string name = Deliver(message);
    fs::rename(inbox_ / "new" / name, inbox_ / "cur" / (name + ":2,S"));
    return name;
  }
};

TEST_F(ExplorerTest, TheSelectionEnablesTheCommands) {
  File("report.ZiP", "not even an archive");
  File("readme", "no extension");
  File("notes.txt", "text");
  const std::string zip = DeliverRead(Python("zip", {"report.ZiP"}));
  const std::string readme = DeliverRead(Python("readme", {"readme"}));
  const std::string text = DeliverRead(Python("text", {"notes.txt"}));
  using TStates = std::pair<std::string, std::string>;
  EXPECT_EQ(States(""), TStates("greyed", "greyed"));
  EXPECT_EQ(States(EntryOf(zip)), TStates("enabled", "enabled"));
  EXPECT_EQ(States(EntryOf(readme)), TStates("greyed", "greyed"));
  EXPECT_EQ(States(EntryOf(text) + " " + EntryOf(readme)), TStates("enabled", "greyed"));
  // Past twenty selected items nothing is looked at: both are enabled.
  std::string many;
  for (int i = 0; i < 21; ++i) many += " " + EntryOf(readme);
  EXPECT_EQ(States(many), TStates("enabled", "enabled"));

  const TResult greyed = Corvid("decompress " + EntryOf(readme));
  EXPECT_EQ(greyed.status, 1);
  EXPECT_NE(greyed.err.find("greyed"), std::string::npos) << greyed.err;
}

TEST_F(ExplorerTest, BatchesIgnoreTheirSwitchesAndTheRulesAndNeverAsk) {
  Set("Compression", "Enabled", 0);
  Set("Decompression", "Enabled", 0);
  Set("Compression", "PromptCompress", 1);  // a send would ask; a batch never does
  // A send to this recipient would not be packed; a batch has no recipient rules.
  ASSERT_EQ(Shell(Dist("corvid-reg") + " add " + Quote("HKCU\\Software\\Corvid\\Compression") +
                  " /v SkipRecipients /t REG_SZ /d b@example.com /f >/dev/null"),
            0);
  const std::string data = std::string(30000, 'x') + Bytes(2000, 9);
  File("data.txt", data);
  std::vector<std::string> names;
  for (int i = 0; i < 3; ++i) names.push_back(DeliverRead(Python("m" + std::to_string(i), {"data.txt"})));
  // Three messages and a folder: the folder is left out.
  const std::string selection = EntryOf(names[0]) + " " + FolderEntry("Sent Items") + " " + EntryOf(names[1]) + " " +
                                EntryOf(names[2]);
  const TResult packed = Corvid("compress " + selection);
  EXPECT_EQ(packed.status, 0) << packed.err;
  EXPECT_NE(packed.out.find("Compressing messages..."), std::string::npos) << packed.out;
  EXPECT_NE(packed.out.find("Processing message 3 of 3..."), std::string::npos) << packed.out;
  EXPECT_EQ(packed.out.find("of 4"), std::string::npos) << packed.out;
  for (const std::string& name : names) {
    const TFiles files = MimeFiles(InboxFiles(name).at(0));
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].first, "data.zip");
  }
  const TResult unpacked = Corvid("decompress --all");
  EXPECT_EQ(unpacked.status, 0) << unpacked.err;
  for (const std::string& name : names) {
    EXPECT_EQ(MimeFiles(InboxFiles(name).at(0)), (TFiles{{"data.txt", data}}));
  }
}

TEST_F(ExplorerTest, CancelFinishesTheMessageAtHandAndLeavesTheRest) {
  const std::string big = Bytes(3 << 20, 11) + std::string(3 << 20, 'y');
  File("big.dat", big);
  std::vector<std::string> names;
  std::vector<std::string> before;
  for (int i = 0; i < 5; ++i) {
    names.push_back(DeliverRead(Python("b" + std::to_string(i), {"big.dat"})));
    before.push_back(ReadFile(InboxFiles(names.back()).at(0)));
  }
  std::string selection;
  for (const std::string& name : names) selection += " " + EntryOf(name);
  const fs::path out = work_ / "batch.out";
  const std::string exec = "exec " + Dist("corvid") + " compress" + selection + " </dev/null >" +
                           Quote(out.string()) + " 2>/dev/null";
  const char* argv[] = {"/bin/sh", "-c", exec.c_str(), nullptr};
  pid_t pid = 0;
  ASSERT_EQ(::posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char* const*>(argv), environ), 0);
  ASSERT_TRUE(WaitFor([&] { return ReadFile(out).find("Processing message 2 of 5...") != std::string::npos; }));
  EXPECT_EQ(Stop(pid, SIGINT), 0);
  EXPECT_NE(ReadFile(out).find("Canceling the operation..."), std::string::npos) << ReadFile(out);
  // Messages 1 and 2 were compressed; 3 to 5 are untouched.
  for (int i = 0; i < 5; ++i) {
    const std::string now = ReadFile(InboxFiles(names[i]).at(0));
    if (i < 2) {
      EXPECT_EQ(MimeFiles(InboxFiles(names[i]).at(0)).at(0).first, "big.zip") << i;
    } else {
      EXPECT_EQ(now, before[i]) << i;
    }
  }
}

// A folder of mail made by mutt and Python's email, with text, PDFs,
// pictures and archives of two peers: compressed, then decompressed, every
// attachment comes back byte for byte under its name.
TEST_F(ExplorerTest, CompressThenDecompressGivesEveryAttachmentBack) {
  File("notes.txt", std::string(20000, 'n'));
  File("paper.pdf", "%PDF-1.4\n" + Bytes(30000, 12));
  File("photo.jpg", "\xFF\xD8\xFF\xE0" + Bytes(25000, 13));
  File("Grüße.txt", "hallo\n" + std::string(5000, 'g'));
  InFiles("zip -q info.zip notes.txt");
  InFiles("7zz a -tzip -bd seven.zip photo.jpg");
  const std::vector<std::vector<std::string>> sets = {
      {"notes.txt", "paper.pdf"}, {"photo.jpg"}, {"Grüße.txt", "info.zip"}, {"seven.zip", "paper.pdf"}};
  std::vector<std::pair<std::string, TFiles>> messages;
  for (int i = 0; i < 12; ++i) {
    const std::vector<std::string>& files = sets[static_cast<size_t>(i) % sets.size()];
    const fs::path made = i % 2 == 0 ? Mutt("mutt" + std::to_string(i), files) : Python("py" + std::to_string(i), files);
    messages.emplace_back(DeliverRead(made), TFiles{});
  }
  auto files_now = [&] {
    std::vector<fs::path> paths;
    for (const auto& [name, files] : messages) paths.push_back(InboxFiles(name).at(0));
    return MimeFilesOf(paths);
  };
  const std::vector<TFiles> before = files_now();
  for (size_t i = 0; i < messages.size(); ++i) messages[i].second = before.at(i);
  // Archives that arrived as archives are unpacked by the second batch
  // too: what comes back is what they held.
  EXPECT_EQ(Corvid("compress --all").status, 0);
  EXPECT_EQ(Corvid("decompress --all").status, 0);
  auto unpacked = [&](TFiles files) {
    TFiles out;
    for (auto& [name, bytes] : files) {
      if (name == "info.zip") {
        out.emplace_back("notes.txt", ReadFile(work_ / "files" / "notes.txt"));
      } else if (name == "seven.zip") {
        out.emplace_back("photo.jpg", ReadFile(work_ / "files" / "photo.jpg"));
      } else {
        out.emplace_back(name, bytes);
      }
    }
    std::sort(out.begin(), out.end());
    return out;
  };
  const std::vector<TFiles> after = files_now();
  for (size_t i = 0; i < messages.size(); ++i) {
    TFiles now = after.at(i);
    std::sort(now.begin(), now.end());
    EXPECT_EQ(now, unpacked(messages[i].second)) << messages[i].first;
  }
  EXPECT_TRUE(fs::is_empty(root_ / "tmp"));
}

// Killed at any moment of a batch, many times: every message stays whole
// (old or new), none is lost or doubled, and no temporary file is left.
TEST_F(ExplorerTest, ABatchKilledAtAnyMomentLosesNothing) {
  const std::string data = std::string(300000, 'd') + Bytes(50000, 14);
  File("data.txt", data);
  const fs::path message = Python("m", {"data.txt"});
  constexpr int kMessages = 16;
  for (int i = 0; i < kMessages; ++i) DeliverRead(message);
  const TFiles original = {{"data.txt", data}};

  std::mt19937 random(15);
  for (int round = 0; round < 6; ++round) {
    const std::string exec = "exec " + Dist("corvid") + " compress --all </dev/null >/dev/null 2>&1";
    const char* argv[] = {"/bin/sh", "-c", exec.c_str(), nullptr};
    pid_t pid = 0;
    ASSERT_EQ(::posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char* const*>(argv), environ), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(100 + random() % 900));
    Stop(pid, SIGKILL);
    ASSERT_EQ(InboxFiles().size(), static_cast<size_t>(kMessages)) << "round " << round;
    for (const TFiles& now : MimeFilesOf(InboxFiles())) {
      ASSERT_EQ(now.size(), 1u);
      EXPECT_TRUE(now == original || now[0].first == "data.zip") << now[0].first;
    }
  }
  // The next clients sweep what the kills left; a whole batch there and
  // back gives every message its file again.
  EXPECT_EQ(Corvid("compress --all").status, 0);
  EXPECT_EQ(Corvid("decompress --all").status, 0);
  for (const TFiles& now : MimeFilesOf(InboxFiles())) EXPECT_EQ(now, original);
  EXPECT_EQ(InboxFiles().size(), static_cast<size_t>(kMessages));
  EXPECT_TRUE(fs::is_empty(root_ / "tmp"));
  EXPECT_TRUE(fs::is_empty(inbox_ / "tmp"));
}

}  // namespace
}  // namespace corvid::client
