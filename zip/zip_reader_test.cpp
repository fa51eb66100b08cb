// TZipReader on archives made by the test builder: listing, the three kinds
// of target, overwrite decisions, passwords, self-extractors, block sets and
// damaged or hostile input.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <functional>
#include <tuple>

#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "testutil/zip_builder.h"
#include "zip/errors.h"
#include "zip/stream.h"
#include "zip/zip_reader.h"

namespace corvid::zip {
namespace {

using testutil::Bytes;
using testutil::TempDir;
using testutil::ToBytes;
using testutil::ZipBuilder;
using testutil::ZipEntry;
using Tree = std::map<std::string, Bytes>;

template <typename E, typename F>
void ExpectThrowWithMessage(F&& f, const std::string& message) {
  try {
    f();
    ADD_FAILURE() << "nothing raised; expected \"" << message << "\"";
  } catch (const E& e) {
    EXPECT_EQ(e.what(), message);
  }
}

// What the events reported during a run.
struct Events {
  std::vector<int> bad_crc;
  std::vector<std::pair<TSkipReason, std::string>> skipped;
  std::vector<std::string> ended;

  void Attach(TZipReader& zip) {
    zip.OnBadCRC = [this](TZipReader*, uint32_t, uint32_t, int index) { bad_crc.push_back(index); };
    zip.OnSkippingFile = [this](TZipReader*, TSkipReason reason, const std::string& name, int) {
      skipped.emplace_back(reason, name);
    };
    zip.OnEndUnZip = [this](TZipReader* z, int index, const std::string&) {
      ended.push_back(z->FullName(index));
    };
  }
};

const Bytes kText = ToBytes(
    "The quick brown fox jumps over the lazy dog.\n"
    "Pack my box with five dozen liquor jugs.\n");
const Bytes kRandom = testutil::RandomBytes(40000, 7);
const Bytes kZeros(70000, 0);

class ReaderTest : public ::testing::Test {
 protected:
  std::string Save(const Bytes& bytes, const std::string& name = "test.zip") {
    std::string path = tmp / name;
    testutil::WriteFileBytes(path, bytes);
    return path;
  }
  // Loads `bytes` saved under `name` into zip_.
  void Open(const Bytes& bytes, const std::string& name = "test.zip") {
    zip_.SetZipName(Save(bytes, name));
    zip_.ReadZip();
  }
  std::string Dest(const std::string& rel = "out") {
    zip_.SetDestDir(tmp / rel);
    return tmp / rel;
  }

  TempDir tmp;
  TZipReader zip_;
  Events events_;
};

// A small archive of every common kind of entry.
ZipBuilder MixedArchive() {
  ZipBuilder b;
  b.Stored("readme.txt", kText);
  b.Deflated("data/random.bin", kRandom, 9);
  b.Deflated("data/zeros.bin", kZeros, 1);
  b.Stored("data/empty.txt", {});
  b.Stored("data/folder/", {});
  b.Add({.name = "secret/plan.txt", .data = kText, .method = 8, .password = "pw"});
  b.Add({.name = "secret/streamed.bin", .data = kRandom, .method = 8, .password = "pw",
         .descriptor = true});
  b.Add({.name = "data/piped.txt", .data = kText, .method = 8, .descriptor = true});
  return b;
}

// What MixedArchive extracts to, with or without its folders.
Tree MixedTree(bool with_dirs) {
  Tree files = {{"readme.txt", kText},         {"data/random.bin", kRandom},
                {"data/zeros.bin", kZeros},     {"data/empty.txt", {}},
                {"secret/plan.txt", kText},     {"secret/streamed.bin", kRandom},
                {"data/piped.txt", kText}};
  if (with_dirs) {
    files.insert({{"data/", {}}, {"data/folder/", {}}, {"secret/", {}}});
    return files;
  }
  Tree flat;
  for (auto& [path, data] : files) flat[path.substr(path.rfind('/') + 1)] = data;
  return flat;
}

// Marks entry `i`, stored as is by the builder, as deflated: its bytes are a
// hand-made Deflate stream.
Bytes RawDeflate(testutil::BuiltZip built, size_t i) {
  built.bytes()[built.entries[i].local + 8] = 8;
  built.bytes()[built.entries[i].central + 10] = 8;
  return built.bytes();
}

// --- Listing -----------------------------------------------------------------

TEST_F(ReaderTest, ListsEntriesInPhysicalOrderWithCommentsLoadedOnRequest) {
  ZipBuilder b;
  b.Stored("dir/sub/a.txt", kText);
  b.Add({.name = "b.bin", .data = kRandom, .method = 8, .password = "pw", .comment = "about b"});
  b.Stored("c/", {});
  b.comment = "archive note";
  b.central_order = {2, 1, 0};
  testutil::BuiltZip built = b.BuildVolumes();
  Open(built.bytes());

  ASSERT_EQ(zip_.Count(), 3);
  const struct {
    const char* full;
    const char* name;
    bool encrypted;
    uint32_t size;
  } expected[] = {{"dir\\sub\\a.txt", "a.txt", false, static_cast<uint32_t>(kText.size())},
                  {"b.bin", "b.bin", true, static_cast<uint32_t>(kRandom.size())},
                  {"c\\", "", false, 0}};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(zip_.FullName(i), expected[i].full);
    EXPECT_EQ(zip_.FileName(i), expected[i].name);
    EXPECT_EQ(zip_.IsEncrypted(i), expected[i].encrypted);
    EXPECT_EQ(zip_.UncompressedSize(i), expected[i].size);
  }
  EXPECT_EQ(zip_.CompressedSize(1), built.entries[1].data_size);
  EXPECT_EQ(zip_.DateTime(0), DosDateTimeToUnix(testutil::kDosStamp));
  EXPECT_EQ(zip_.FileCommentOf(1), "about b");
  EXPECT_EQ(zip_.FileCommentOf(0), "");
  EXPECT_EQ(zip_.ZipComment(), "archive note");
  EXPECT_FALSE(zip_.EndCentral().Modified);
  EXPECT_FALSE(zip_.DirectoryRebuilt());

  for (int bad : {3, 5, -1}) {
    ExpectThrowWithMessage<EListError>([&] { zip_.FullName(bad); },
                                       "Index " + std::to_string(bad) + " is out of range");
  }
}

// --- Targets -------------------------------------------------------------------

TEST_F(ReaderTest, EveryTargetGetsTheEntriesByteForByte) {
  Open(MixedArchive().Build());
  zip_.Password = "pw";
  const Tree expected = MixedTree(true);

  std::string out = Dest();
  zip_.RecreateDirs = true;
  zip_.DoAll = true;
  EXPECT_EQ(zip_.UnZip(), 7);
  EXPECT_EQ(testutil::TreeOf(out), expected);
  EXPECT_EQ(zip_.TestZip(), zip_.Count());

  for (const auto& [path, data] : expected) {
    if (path.back() == '/') continue;
    std::string name = path;
    std::replace(name.begin(), name.end(), '/', '\\');
    TMemoryStream stream;
    EXPECT_EQ(zip_.UnZipToStream(stream, name), 1) << name;
    EXPECT_EQ(stream.Bytes(), data) << name;
    Bytes buffer{1, 2, 3};
    EXPECT_EQ(zip_.UnZipToBuffer(buffer, name), 1) << name;
    EXPECT_EQ(buffer, data) << name;
    Bytes block(data.size() + 1, 0xEE);
    EXPECT_EQ(zip_.UnZipToBuffer(block.data(), static_cast<uint32_t>(block.size()), name), 1) << name;
    EXPECT_TRUE(std::equal(data.begin(), data.end(), block.begin())) << name;
    EXPECT_EQ(block.back(), 0xEE) << name;
  }
}

TEST_F(ReaderTest, AnEmptyDestDirMeansTheCurrentDirectory) {
  Open(MixedArchive().Build());
  std::string cwd = tmp / "cwd";
  ASSERT_EQ(::mkdir(cwd.c_str(), 0777), 0);
  char saved[4096];
  ASSERT_NE(::getcwd(saved, sizeof saved), nullptr);
  ASSERT_EQ(::chdir(cwd.c_str()), 0);
  zip_.SetDestDir("");
  zip_.FilesList = {"readme.txt"};
  int written = zip_.UnZip();
  ASSERT_EQ(::chdir(saved), 0);
  EXPECT_EQ(written, 1);
  EXPECT_EQ(testutil::TreeOf(cwd), (Tree{{"readme.txt", kText}}));
}

// --- Overwriting ------------------------------------------------------------------

TEST_F(ReaderTest, OverwriteModesDecideAboutExistingFiles) {
  ZipBuilder b;
  b.Stored("a.txt", kText);
  Open(b.Build());
  const std::time_t entry_time = DosDateTimeToUnix(testutil::kDosStamp);
  enum Hook { kNone, kPromptYes, kPromptNo, kBoxYes };
  struct Case {
    TUZOverwriteMode mode;
    Hook hook;
    int file_age_days;  // >0: the file is older than the entry
    bool overwritten;
  } cases[] = {
      {TUZOverwriteMode::Always, kNone, -1, true},
      {TUZOverwriteMode::Never, kNone, 1, false},
      {TUZOverwriteMode::ifNewer, kNone, 1, true},
      {TUZOverwriteMode::ifNewer, kNone, -1, false},
      {TUZOverwriteMode::ifNewer, kNone, 0, false},
      {TUZOverwriteMode::ifOlder, kNone, 1, false},
      {TUZOverwriteMode::ifOlder, kNone, -1, true},
      {TUZOverwriteMode::Prompt, kPromptYes, 0, true},
      {TUZOverwriteMode::Prompt, kPromptNo, 0, false},
      {TUZOverwriteMode::Prompt, kNone, 0, false},  // the box answers No without a host
      {TUZOverwriteMode::Prompt, kBoxYes, 0, true},
  };
  std::string out = Dest();
  ::mkdir(out.c_str(), 0777);
  int row = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE("row " + std::to_string(row++));
    std::string target = out + "/a.txt";
    testutil::WriteFileBytes(target, ToBytes("old"));
    std::time_t when = entry_time - c.file_age_days * 86400;
    struct timespec times[2] = {{when, 0}, {when, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, target.c_str(), times, 0), 0);

    zip_.OverwriteMode = c.mode;
    zip_.OnPromptForOverwrite = nullptr;
    zip_.OnMessageBox = nullptr;
    bool started_false = true;
    if (c.hook == kPromptYes || c.hook == kPromptNo) {
      zip_.OnPromptForOverwrite = [&](TZipReader*, bool& overwrite, int, std::string&) {
        started_false = !overwrite;
        overwrite = c.hook == kPromptYes;
      };
    } else if (c.hook == kBoxYes) {
      zip_.OnMessageBox = [](const std::string& text, const std::string& caption, TBoxButtons) {
        EXPECT_EQ(text, "Replace existing file a.txt?");
        EXPECT_EQ(caption, "File Exists Alert");
        return TBoxAnswer::Yes;
      };
    }
    Events events;
    events.Attach(zip_);
    zip_.FilesList = {"a.txt"};
    EXPECT_EQ(zip_.UnZip(), c.overwritten ? 1 : 0);
    EXPECT_EQ(testutil::ReadFileBytes(target), c.overwritten ? kText : ToBytes("old"));
    EXPECT_TRUE(started_false);
    if (c.overwritten) {
      EXPECT_TRUE(events.skipped.empty());
    } else {
      ASSERT_EQ(events.skipped.size(), 1u);
      EXPECT_EQ(events.skipped[0].first, TSkipReason::skipNoOverwrite);
    }
  }
}

TEST_F(ReaderTest, StartEventCanSkipOrRedirectAnEntry) {
  Open(MixedArchive().Build());
  std::string out = Dest();
  zip_.RecreateDirs = true;
  zip_.FilesList = {"readme.txt", "data\\zeros.bin"};
  zip_.OnStartUnZip = [&](TZipReader* z, int index, std::string& target, bool& skip) {
    if (z->FileName(index) == "readme.txt") skip = true;
    else target = out + "/moved/z.bin";
  };
  EXPECT_EQ(zip_.UnZip(), 1);
  EXPECT_EQ(testutil::TreeOf(out), (Tree{{"moved/", {}}, {"moved/z.bin", kZeros}}));
}

// --- Passwords ----------------------------------------------------------------------

TEST_F(ReaderTest, BadPasswordEventCanSupplyTheRightOne) {
  Open(MixedArchive().Build());
  std::string out = Dest();
  zip_.Password = "wrong";
  int asked = 0;
  zip_.OnBadPassword = [&](TZipReader*, int, std::string& password) {
    ++asked;
    password = "pw";
  };
  zip_.FilesList = {"secret\\*"};
  EXPECT_EQ(zip_.UnZip(), 2);
  EXPECT_EQ(asked, 1);  // taken for the next entry as well
  EXPECT_EQ(zip_.Password, "pw");
  EXPECT_EQ(testutil::TreeOf(out), (Tree{{"plan.txt", kText}, {"streamed.bin", kRandom}}));
}

TEST_F(ReaderTest, WrongPasswordSkipsTheEntryAndLeavesNoFile) {
  Open(MixedArchive().Build());
  std::string out = Dest();
  events_.Attach(zip_);
  zip_.Password = "wrong";
  zip_.FilesList = {"secret\\*", "readme.txt"};
  EXPECT_EQ(zip_.UnZip(), 1);
  EXPECT_EQ(testutil::TreeOf(out), (Tree{{"readme.txt", kText}}));
  ASSERT_EQ(events_.skipped.size(), 2u);
  EXPECT_EQ(events_.skipped[0].first, TSkipReason::skipBadPassword);
  EXPECT_EQ(events_.skipped[1].first, TSkipReason::skipBadPassword);
}

TEST_F(ReaderTest, CheckPasswordNeedsTheCrcNotJustTheCheckByte) {
  ZipBuilder b;
  b.Add({.name = "a.bin", .data = kRandom, .method = 8, .password = "right"});
  Bytes archive = b.Build();
  // Find a wrong password whose header check byte matches (about 1 in 256).
  uint8_t expected = PasswordCheckByte(0, testutil::CrcOf(kRandom), testutil::kDosStamp);
  std::string lucky;
  for (int i = 0; lucky.empty() && i < 100000; ++i) {
    std::string candidate = "guess" + std::to_string(i);
    TZipCipher cipher;
    cipher.Init(candidate);
    uint8_t header[12];
    std::memcpy(header, archive.data() + 30 + 5, 12);
    cipher.DecryptBuffer(header, 12);
    if (header[11] == expected) lucky = candidate;
  }
  ASSERT_FALSE(lucky.empty());

  Open(archive);
  zip_.Password = lucky;
  EXPECT_FALSE(zip_.CheckPassword(0));
  zip_.Password = "right";
  EXPECT_FALSE(zip_.CheckPassword(0));  // the answer is kept
  zip_.ResetPasswordCheck(0);
  EXPECT_TRUE(zip_.CheckPassword(0));
}

// Whether this process holds `path` open.
bool HeldOpen(const std::string& path) {
  const std::string wanted = std::filesystem::canonical(path);
  for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    if (std::filesystem::read_symlink(fd.path(), error) == wanted) return true;
  }
  return false;
}

// The single-entry targets and the password check set up a run of their
// own: however it ends, the caller's selection and folder settings come back
// as they were and the archive is closed (KeepZipOpen is off).
TEST_F(ReaderTest, SingleEntryRunsPutTheCallersSettingsBack) {
  Open(MixedArchive().Build());
  const std::string archive = tmp / "test.zip";
  const std::string dest = Dest();
  zip_.Password = "pw";
  TMemoryStream stream;
  Bytes buffer;
  uint8_t block[8];
  const std::vector<std::pair<const char*, std::function<void()>>> runs = {
      {"password check", [&] {
         zip_.ResetPasswordCheck(5);
         EXPECT_TRUE(zip_.CheckPassword(5));
       }},
      {"stream", [&] { EXPECT_EQ(zip_.UnZipToStream(stream, "readme.txt"), 1); }},
      {"vector", [&] { EXPECT_EQ(zip_.UnZipToBuffer(buffer, "secret\\plan.txt"), 1); }},
      {"block too small", [&] { EXPECT_EQ(zip_.UnZipToBuffer(block, sizeof block, "readme.txt"), 0); }},
      {"cancelled", [&] {
         zip_.OnStartUnZip = [&](TZipReader*, int, std::string&, bool&) { zip_.Cancel(); };
         EXPECT_THROW(zip_.UnZipToStream(stream, "readme.txt"), EUserCanceled);
         zip_.OnStartUnZip = nullptr;
       }},
  };
  for (const auto& [label, run] : runs) {
    SCOPED_TRACE(label);
    zip_.DoAll = true;
    zip_.RecreateDirs = false;
    zip_.FilesList = {"data\\*"};
    run();
    EXPECT_TRUE(zip_.DoAll);
    EXPECT_FALSE(zip_.RecreateDirs);
    EXPECT_EQ(zip_.DestDir(), dest);
    if (std::string(label) == "password check") {
      EXPECT_EQ(zip_.FilesList, std::vector<std::string>{"data\\*"});
    }
    EXPECT_FALSE(HeldOpen(archive));
  }
}

TEST_F(ReaderTest, CheckByteOfAStreamedEntryComesFromTheStoredTime) {
  // 25:61 is out of range: the clamped stamp has another high time byte.
  const uint32_t stamp = (61u << 5) | (25u << 11) | (15u << 16) | (6u << 21) | (41u << 25);
  ZipBuilder b;
  b.Add({.name = "a.txt", .data = kText, .method = 8, .password = "pw", .descriptor = true,
         .dos_time = stamp});
  Open(b.Build());
  zip_.Password = "pw";
  EXPECT_TRUE(zip_.CheckPassword(0));
  Bytes buffer;
  EXPECT_EQ(zip_.UnZipToBuffer(buffer, "a.txt"), 1);
  EXPECT_EQ(buffer, kText);
}

// --- Self-extractors -------------------------------------------------------------------

// A stub of junk without any local signature, except a decoy below the point
// where the scan of an .exe starts.
Bytes StubOf(size_t size, bool decoy) {
  Bytes stub = testutil::RandomBytes(size, 99);
  for (auto& byte : stub)
    if (byte == 'P') byte = 'Q';
  if (decoy) {
    const uint8_t sig[] = {'P', 'K', 3, 4};
    std::memcpy(stub.data() + 200, sig, 4);
  }
  return stub;
}

TEST_F(ReaderTest, SelfExtractorWithUnadjustedOffsetsIsReadByScanning) {
  for (bool as_stream : {false, true}) {
    SCOPED_TRACE(as_stream ? "caller stream" : "file named .exe");
    ZipBuilder b = MixedArchive();
    b.prefix = StubOf(15500, !as_stream);
    b.comment = "sfx";
    Bytes bytes = b.Build();
    TZipReader zip;
    if (as_stream) {
      zip.SetArchiveStream(new TMemoryStream(bytes));
    } else {
      zip.SetZipName(Save(bytes, "setup.EXE"));
    }
    zip.ReadZip();
    EXPECT_TRUE(zip.DirectoryRebuilt());
    ASSERT_EQ(zip.Count(), 8);
    EXPECT_EQ(zip.FullName(1), "data\\random.bin");
    EXPECT_EQ(zip.ZipComment(), "sfx");
    zip.Password = "pw";
    std::string out = tmp / (as_stream ? "stream" : "file");
    zip.SetDestDir(out);
    zip.DoAll = true;
    EXPECT_EQ(zip.UnZip(), 7);
    EXPECT_EQ(testutil::TreeOf(out), MixedTree(false));
  }
}

// --- Block sets ------------------------------------------------------------------------

TEST_F(ReaderTest, BlockSetExtractsThroughTheDefaultNextVolumeHandler) {
  ZipBuilder b;
  b.Stored("one.txt", kText);
  b.Add({.name = "two.bin", .data = kRandom, .method = 8, .disk = 0});
  b.Add({.name = "three.bin", .data = kZeros, .method = 8, .disk = 1});
  b.Add({.name = "four.txt", .data = kText, .method = 0, .comment = "last", .disk = 1});
  testutil::BuiltZip set = b.BuildVolumes();
  ASSERT_EQ(set.volumes.size(), 2u);
  // Every volume is numbered, the last one too: the archive is opened by it.
  Save(set.volumes[0], "set.001");
  Open(set.volumes[1], "set.002");
  EXPECT_EQ(zip_.MultiMode(), TMultiMode::mmBlocks);
  EXPECT_EQ(zip_.NumberOfVolumes(), 2);
  ASSERT_EQ(zip_.Count(), 4);
  EXPECT_EQ(zip_.FileCommentOf(3), "last");

  std::string out = Dest();
  zip_.DoAll = true;
  EXPECT_EQ(zip_.UnZip(), 4);
  EXPECT_EQ(testutil::TreeOf(out), (Tree{{"one.txt", kText},
                                         {"two.bin", kRandom},
                                         {"three.bin", kZeros},
                                         {"four.txt", kText}}));
  // The set stays usable for the next operation, whichever volume is open.
  zip_.SetSortMode(TZipSortMode::ByName);
  Bytes buffer;
  EXPECT_EQ(zip_.UnZipToBuffer(buffer, "one.txt"), 1);
  EXPECT_EQ(buffer, kText);
  EXPECT_EQ(zip_.UnZipToBuffer(buffer, "four.txt"), 1);
  EXPECT_EQ(buffer, kText);
}

// --- Damaged input -------------------------------------------------------------------------

TEST_F(ReaderTest, MissingEndRecordIsIncompleteUnlessAssumedBad) {
  Bytes whole = MixedArchive().Build();
  Bytes cut(whole.begin(), whole.end() - 10);
  ExpectThrowWithMessage<EIncompleteZip>([&] { Open(cut); }, "Incomplete Zip File");
  EXPECT_EQ(zip_.Count(), 0);

  zip_.OnInCompleteZip = [](TZipReader*, TIncompleteZipMode& mode) {
    EXPECT_EQ(mode, TIncompleteZipMode::izAssumeMulti);
    mode = TIncompleteZipMode::izAssumeBad;
  };
  Open(cut, "cut2.zip");
  EXPECT_TRUE(zip_.DirectoryRebuilt());
  EXPECT_EQ(zip_.Count(), 8);

  TZipReader plain;
  plain.IncompleteZipMode = TIncompleteZipMode::izAssumeBad;
  plain.SetZipName(Save(cut, "cut3.zip"));
  plain.ReadZip();
  EXPECT_EQ(plain.Count(), 8);
  plain.Password = "pw";
  plain.DoAll = true;
  EXPECT_EQ(plain.TestZip(), 8);
}

TEST_F(ReaderTest, WrongCentralOffsetIsRecoveredByScanning) {
  ZipBuilder b = MixedArchive();
  b.central_offset = 12345;
  Open(b.Build());
  EXPECT_TRUE(zip_.DirectoryRebuilt());
  ASSERT_EQ(zip_.Count(), 8);
  EXPECT_EQ(zip_.FullName(6), "secret\\streamed.bin");
  zip_.Password = "pw";
  zip_.DoAll = true;
  EXPECT_EQ(zip_.TestZip(), 8);
}

TEST_F(ReaderTest, RepairsNameWhatLoadingHadToMendAndTheEntriesAreRecovered) {
  testutil::BuiltZip whole = MixedArchive().BuildVolumes();
  const size_t second_record = whole.entries[1].central;
  struct Case {
    std::string label;
    std::function<Bytes()> make;
    std::string repair;  // empty: read as whole
  } cases[] = {
      {"intact", [&] { return whole.bytes(); }, ""},
      {"end record cut by 10 bytes",
       [&] { return Bytes(whole.bytes().begin(), whole.bytes().end() - 10); },
       "the end record is missing; entries were recovered by scanning"},
      {"cut inside the central directory",
       [&] { return Bytes(whole.bytes().begin(), whole.bytes().begin() + second_record + 7); },
       "the end record is missing; entries were recovered by scanning"},
      {"count too high",
       [&] {
         ZipBuilder b = MixedArchive();
         b.total_entries = 9;
         return b.Build();
       },
       "the end record counts 9 entries but the central directory holds 8; entries were recovered by "
       "scanning"},
      {"last central record missing",
       [&] {
         Bytes bytes = whole.bytes();
         bytes.erase(bytes.begin() + static_cast<long>(whole.entries[7].central),
                     bytes.begin() + static_cast<long>(whole.end_record));
         return bytes;
       },
       "the end record counts 8 entries but the central directory holds 7; entries were recovered by "
       "scanning"},
      {"offset into the directory itself, count to match",
       [&] {
         ZipBuilder b = MixedArchive();
         b.central_offset = static_cast<uint32_t>(second_record);
         b.total_entries = 7;
         return b.Build();
       },
       "the central directory is not where the end record says; entries were recovered by scanning"},
      {"offset elsewhere",
       [&] {
         ZipBuilder b = MixedArchive();
         b.central_offset = 12345;
         return b.Build();
       },
       "the central directory is not where the end record says; entries were recovered by scanning"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    TZipReader zip;
    zip.IncompleteZipMode = TIncompleteZipMode::izAssumeBad;
    zip.SetZipName(Save(c.make(), "repair.zip"));
    zip.ReadZip();
    if (c.repair.empty()) EXPECT_TRUE(zip.Repairs().empty());
    else EXPECT_EQ(zip.Repairs(), std::vector<std::string>{c.repair});
    EXPECT_EQ(zip.Count(), 8);
    zip.Password = "pw";
    zip.DoAll = true;
    EXPECT_EQ(zip.TestZip(), 8);
  }
}

TEST_F(ReaderTest, EntriesWhoseDataOverlapAreRefused) {
  // Local records of their own sharing one kernel of data, the way archives
  // that expand a thousandfold are made, and data that runs into the directory.
  ZipBuilder shared;
  shared.Stored("a.bin", kRandom);
  shared.Add({.name = "b.bin", .data = kRandom, .offset = 50});
  ZipBuilder runs_on;
  runs_on.Stored("a.txt", kText);
  runs_on.Add({.name = "b.txt", .data = kText, .compressed_size = static_cast<uint32_t>(kText.size() + 20)});
  ExpectThrowWithMessage<EBadZipFile>(
      [&] { Open(shared.Build(), "shared.zip"); },
      "The data of \"a.bin\" overlaps the entry \"b.bin\": the archive is damaged or hostile");
  EXPECT_EQ(zip_.Count(), 0);
  ExpectThrowWithMessage<EBadZipFile>(
      [&] { Open(runs_on.Build(), "runs_on.zip"); },
      "The data of \"b.txt\" runs into the central directory: the archive is damaged or hostile");
}

TEST_F(ReaderTest, UnreadableArchivesRaiseNamedErrors) {
  // End record present, central directory missing, no local record anywhere.
  ZipBuilder no_locals;
  no_locals.Add({.name = "a.txt", .data = kText, .local_signature = 0x04034B51});
  no_locals.central_offset = 7;
  ExpectThrowWithMessage<EBadZipFile>([&] { Open(no_locals.Build()); }, "Not a valid zip file!");
  EXPECT_EQ(zip_.Count(), 0);

  ZipBuilder twice;
  twice.Stored("a.txt", kText);
  twice.Add({.name = "b.txt", .data = kText, .offset = 0});
  ExpectThrowWithMessage<EBadZipFile>([&] { Open(twice.Build(), "twice.zip"); },
                                      "Two entries of the directory claim the same data at offset 0: the "
                                      "archive is damaged");
  EXPECT_EQ(zip_.Count(), 0);
}

TEST_F(ReaderTest, BadCrcLeavesNoTargetAndTheRunGoesOn) {
  // One flip in data zlib kept as stored blocks, one in Huffman-coded data.
  testutil::BuiltZip built = MixedArchive().BuildVolumes();
  for (int i : {1, 2}) {
    const testutil::EntryLayout& damaged = built.entries[i];
    built.bytes()[damaged.data + damaged.data_size / 2] ^= 0x20;
  }
  Open(built.bytes());
  events_.Attach(zip_);
  std::string out = Dest();
  zip_.DoAll = true;
  zip_.Password = "pw";
  EXPECT_EQ(zip_.UnZip(), 5);
  EXPECT_EQ(events_.bad_crc, (std::vector<int>{1, 2}));
  Tree tree = testutil::TreeOf(out);
  EXPECT_EQ(tree.count("random.bin"), 0u);
  EXPECT_EQ(tree.count("zeros.bin"), 0u);
  EXPECT_EQ(tree["readme.txt"], kText);
  EXPECT_EQ(tree["streamed.bin"], kRandom);

  // A stream keeps what was written; a buffer is emptied.
  TMemoryStream stream;
  EXPECT_EQ(zip_.UnZipToStream(stream, "data\\random.bin"), 0);
  Bytes buffer{1};
  EXPECT_EQ(zip_.UnZipToBuffer(buffer, "data\\random.bin"), 0);
  EXPECT_TRUE(buffer.empty());
}

TEST_F(ReaderTest, AFailingEntryNeverCostsTheCopyOnDisk) {
  // Bad CRC in a stored entry, in a deflated one, and a Deflate stream that
  // never ends although its CRC matches (nothing but empty stored blocks).
  Bytes endless;
  for (int i = 0; i < 1000; ++i) endless.insert(endless.end(), {0x00, 0x00, 0x00, 0xFF, 0xFF});
  ZipBuilder b;
  b.Add({.name = "stored.txt", .data = kText, .crc = 1});
  b.Add({.name = "deflated.bin", .data = kRandom, .method = 8, .crc = 1});
  b.Add({.name = "endless.bin", .data = endless, .crc = 0, .uncompressed_size = 0});
  Open(RawDeflate(b.BuildVolumes(), 2));
  events_.Attach(zip_);
  std::string out = Dest();
  ::mkdir(out.c_str(), 0777);
  Tree mine = {{"stored.txt", ToBytes("mine 1")}, {"deflated.bin", ToBytes("mine 2")},
               {"endless.bin", ToBytes("mine 3")}};
  for (const auto& [name, data] : mine) testutil::WriteFileBytes(out + "/" + name, data);
  zip_.OverwriteMode = TUZOverwriteMode::Always;
  zip_.DoAll = true;
  EXPECT_EQ(zip_.UnZip(), 0);
  EXPECT_EQ(events_.bad_crc, (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(testutil::TreeOf(out), mine);  // nothing left behind either
  EXPECT_EQ(zip_.TestZip(), 0);
}

// --- Cancel and failing targets ----------------------------------------------------------

// A stream that takes `room` bytes and then refuses every write.
class FullStream : public TMemoryStream {
 public:
  explicit FullStream(size_t room) : room_(room) {}
  int64_t Write(const void* buffer, int64_t count) override {
    int64_t take = std::min<int64_t>(count, static_cast<int64_t>(room_ - std::min(room_, Bytes().size())));
    return take <= 0 ? 0 : TMemoryStream::Write(buffer, take);
  }

 private:
  size_t room_;
};

// One large entry of every method this engine decodes, followed by others.
struct MethodCase {
  std::string label;
  std::string archive;
  std::string entry;
};

class InterruptionTest : public ReaderTest {
 protected:
  // The user's copy of `entry` in `out` is untouched and no partial file is left.
  static void ExpectOnlyMine(const std::string& out, const std::string& entry) {
    Tree tree = testutil::TreeOf(out);
    EXPECT_EQ(tree[entry], ToBytes("mine"));
    for (const auto& [name, data] : tree) EXPECT_EQ(name.find(".corvid"), std::string::npos) << name;
  }

  std::vector<MethodCase> EveryMethod() {
    const Bytes big = testutil::RandomBytes(150000, 11);  // several input chunks and window flushes
    std::vector<MethodCase> cases;
    for (auto [label, method, password] : {std::tuple{"stored", 0, ""}, std::tuple{"deflate", 8, ""},
                                           std::tuple{"deflate, encrypted", 8, "pw"}}) {
      ZipBuilder b;
      b.Add({.name = "big.bin", .data = big, .method = static_cast<uint16_t>(method), .password = password});
      b.Stored("after.txt", kText);
      cases.push_back({label, Save(b.Build(), std::string(label) + ".zip"), "big.bin"});
    }
    for (const char* legacy : {"shrink", "reduce1", "reduce2", "reduce3", "reduce4", "implode-8k-3t"})
      cases.push_back({legacy, std::string(CORVID_TESTDATA) + "/legacy/" + legacy + ".zip", "long.txt"});
    return cases;
  }

  // Loads the case, cancels on the second chunk read of its entry, and
  // expects that to end the run as a cancel and nothing else.
  void ExpectCancelEndsTheRun(TZipReader& zip, const MethodCase& c, const std::function<void()>& run) {
    zip.SetZipName(c.archive);
    zip.Password = "pw";
    zip.ReadZip();
    Events events;
    events.Attach(zip);
    int asked = 0;
    zip.OnBadPassword = [&](TZipReader*, int, std::string&) { ++asked; };
    int reads = -1;
    int started_after = 0;  // entries begun once the cancel was asked for
    zip.OnStartUnZip = [&](TZipReader* z, int index, std::string&, bool&) {
      if (reads >= 2) ++started_after;
      reads = z->FileName(index) == c.entry ? 0 : -1;
    };
    zip.OnProcessMessages = [&] {
      if (reads >= 0 && ++reads == 2) zip.Cancel();
    };
    ExpectThrowWithMessage<EUserCanceled>(run, kMsgUserAborted);
    EXPECT_EQ(reads, 2);
    EXPECT_EQ(started_after, 0);
    EXPECT_TRUE(events.bad_crc.empty());
    EXPECT_TRUE(events.skipped.empty());
    EXPECT_EQ(std::count(events.ended.begin(), events.ended.end(), c.entry), 0);
    EXPECT_EQ(asked, 0);
  }
};

TEST_F(InterruptionTest, CancelEndsTheRunForEveryMethodAndTarget) {
  for (const MethodCase& c : EveryMethod()) {
    SCOPED_TRACE(c.label);
    {
      TZipReader zip;
      std::string out = tmp / ("cancel-" + c.label);
      ::mkdir(out.c_str(), 0777);
      testutil::WriteFileBytes(out + "/" + c.entry, ToBytes("mine"));
      zip.SetDestDir(out);
      zip.OverwriteMode = TUZOverwriteMode::Always;
      ExpectCancelEndsTheRun(zip, c, [&] {
        zip.DoAll = true;
        zip.UnZip();
      });
      ExpectOnlyMine(out, c.entry);
    }
    {
      TZipReader zip;
      TMemoryStream stream;
      ExpectCancelEndsTheRun(zip, c, [&] { zip.UnZipToStream(stream, c.entry); });
    }
    {
      TZipReader zip;
      Bytes buffer{1};
      ExpectCancelEndsTheRun(zip, c, [&] { zip.UnZipToBuffer(buffer, c.entry); });
      EXPECT_TRUE(buffer.empty());
    }
  }
}

TEST_F(InterruptionTest, ATargetThatStopsTakingBytesEndsTheRunAsAWriteFailure) {
  for (const MethodCase& c : EveryMethod()) {
    SCOPED_TRACE(c.label);
    TZipReader zip;
    zip.SetZipName(c.archive);
    zip.Password = "pw";
    zip.ReadZip();
    Events events;
    events.Attach(zip);
    int asked = 0;
    zip.OnBadPassword = [&](TZipReader*, int, std::string&) { ++asked; };

    FullStream stream(1000);
    EXPECT_THROW(zip.UnZipToStream(stream, c.entry), EFileError);

    // A file target on a full disk: the file size limit stands in for it.
    std::string out = tmp / ("full-" + c.label);
    ::mkdir(out.c_str(), 0777);
    testutil::WriteFileBytes(out + "/" + c.entry, ToBytes("mine"));
    zip.SetDestDir(out);
    zip.OverwriteMode = TUZOverwriteMode::Always;
    zip.DoAll = true;
    struct rlimit saved;
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    void (*saved_handler)(int) = ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limited = saved;
    limited.rlim_cur = 20000;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    EXPECT_THROW(zip.UnZip(), EFileError);
    ::setrlimit(RLIMIT_FSIZE, &saved);
    ::signal(SIGXFSZ, saved_handler);
    ExpectOnlyMine(out, c.entry);
    EXPECT_TRUE(events.bad_crc.empty());
    EXPECT_TRUE(events.skipped.empty());
    EXPECT_EQ(asked, 0);
  }
}

TEST_F(ReaderTest, ArchiveCutInsideAnEntry) {
  // The cut entry comes first by name but last in the file.
  struct Case {
    uint16_t method;
    bool run_ends;
  } cases[] = {{0, true}, {8, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE("method " + std::to_string(c.method));
    ZipBuilder b;
    b.Stored("b.txt", kText);
    b.Deflated("c.bin", kZeros);
    b.Add({.name = "a.bin", .data = kRandom, .method = c.method});
    testutil::BuiltZip built = b.BuildVolumes();
    Bytes cut(built.bytes().begin(), built.bytes().begin() + built.entries[2].data + 1000);
    TZipReader zip;
    Events events;
    events.Attach(zip);
    zip.IncompleteZipMode = TIncompleteZipMode::izAssumeBad;
    zip.SetZipName(Save(cut, "cut" + std::to_string(c.method) + ".zip"));
    zip.SetSortMode(TZipSortMode::ByName);
    zip.ReadZip();
    ASSERT_EQ(zip.FullName(0), "a.bin");
    std::string out = tmp / ("out" + std::to_string(c.method));
    zip.SetDestDir(out);
    zip.DoAll = true;
    if (c.run_ends) {
      ExpectThrowWithMessage<EFatalUnzipError>([&] { zip.UnZip(); }, "Premature end of file reached");
      EXPECT_EQ(testutil::TreeOf(out), Tree{});
    } else {
      EXPECT_EQ(zip.UnZip(), 2);
      EXPECT_EQ(events.bad_crc, std::vector<int>{0});
      EXPECT_EQ(testutil::TreeOf(out), (Tree{{"b.txt", kText}, {"c.bin", kZeros}}));
    }
  }
}

TEST_F(ReaderTest, DataBeyondTheDeclaredSizeIsNeverWritten) {
  // 40000 bytes of data behind a declared size of 20000.
  const uint32_t declared = 20000;
  for (uint16_t method : {0, 8}) {
    SCOPED_TRACE("method " + std::to_string(method));
    ZipBuilder b;
    b.Add({.name = "big.bin", .data = kRandom, .method = method, .uncompressed_size = declared});
    Open(b.Build(), "bound" + std::to_string(method) + ".zip");

    TMemoryStream stream;
    zip_.UnZipToStream(stream, "big.bin");
    EXPECT_LE(stream.Bytes().size(), declared);
    EXPECT_TRUE(std::equal(stream.Bytes().begin(), stream.Bytes().end(), kRandom.begin()));

    Bytes buffer;
    zip_.UnZipToBuffer(buffer, "big.bin");
    EXPECT_LE(buffer.size(), declared);

    Bytes block(kRandom.size() + 100, 0xEE);
    zip_.UnZipToBuffer(block.data(), static_cast<uint32_t>(block.size()), "big.bin");
    EXPECT_TRUE(std::all_of(block.begin() + declared, block.end(), [](uint8_t v) { return v == 0xEE; }));

    std::string out = Dest("bound" + std::to_string(method));
    zip_.FilesList = {"big.bin"};
    // The data cut at the declared size fails the entry's CRC: nothing of
    // it reaches the disk, not even a short file.
    EXPECT_EQ(zip_.UnZip(), 0);
    struct stat st;
    EXPECT_NE(::stat((out + "/big.bin").c_str(), &st), 0);
    EXPECT_EQ(errno, ENOENT);
  }
}

// --- Hostile names and links --------------------------------------------------------------

TEST_F(ReaderTest, StoredPathsNeverLeaveTheTargetFolder) {
  struct Case {
    std::string stored;
    std::string with_dirs;  // where RecreateDirs puts it
    std::string flat;
  } cases[] = {
      {"../evil1.txt", "evil1.txt", "evil1.txt"},
      {"/etc/evil2.txt", "etc/evil2.txt", "evil2.txt"},
      {"C:\\x\\evil3.txt", "x/evil3.txt", "evil3.txt"},
      {"d:/abs/evil4.txt", "abs/evil4.txt", "evil4.txt"},
      {"a/../../evil5.txt", "a/evil5.txt", "evil5.txt"},
      {"..\\..\\evil6.txt", "evil6.txt", "evil6.txt"},
      {std::string("n\0l/evil\0" "7.txt", sizeof "n\0l/evil\0" "7.txt" - 1), "n_l/evil_7.txt", "evil_7.txt"},
      {"./b/./evil8.txt", "b/evil8.txt", "evil8.txt"},
      {"../..", "_", "_"},
  };
  ZipBuilder b;
  for (const Case& c : cases) b.Stored(c.stored, ToBytes(c.with_dirs));
  Open(b.Build());
  for (bool recreate : {true, false}) {
    SCOPED_TRACE(recreate ? "RecreateDirs" : "flat");
    std::string outer = tmp / (recreate ? "outer1" : "outer2");
    ASSERT_EQ(::mkdir(outer.c_str(), 0777), 0);
    zip_.SetDestDir(outer + "/dest");
    zip_.RecreateDirs = recreate;
    zip_.DoAll = true;
    EXPECT_EQ(zip_.UnZip(), static_cast<int>(std::size(cases)));
    Tree files;
    for (auto& [path, data] : testutil::TreeOf(outer)) {
      EXPECT_EQ(path.rfind("dest/", 0), 0u) << path << " is outside the target folder";
      if (path.back() != '/') files[path] = data;
    }
    Tree expected;
    for (const Case& c : cases) expected["dest/" + (recreate ? c.with_dirs : c.flat)] = ToBytes(c.with_dirs);
    EXPECT_EQ(files, expected);
  }
  EXPECT_FALSE(testutil::PathExists(tmp / "evil1.txt"));
}

TEST_F(ReaderTest, LinksInTheTargetTreeAreNeverFollowed) {
  ZipBuilder b;
  b.Stored("link/evil.txt", kText);
  b.Stored("filelink", kText);
  Open(b.Build());
  std::string out = Dest("dest");
  std::string outside = tmp / "outside";
  ASSERT_EQ(::mkdir(out.c_str(), 0777), 0);
  ASSERT_EQ(::mkdir(outside.c_str(), 0777), 0);
  testutil::WriteFileBytes(outside + "/target.txt", ToBytes("keep"));
  ASSERT_EQ(::symlink(outside.c_str(), (out + "/link").c_str()), 0);
  ASSERT_EQ(::symlink((outside + "/target.txt").c_str(), (out + "/filelink").c_str()), 0);

  events_.Attach(zip_);
  zip_.RecreateDirs = true;
  zip_.DoAll = true;
  for (TUZOverwriteMode mode : {TUZOverwriteMode::Never, TUZOverwriteMode::Always}) {
    zip_.OverwriteMode = mode;
    zip_.UnZip();
    EXPECT_EQ(testutil::TreeOf(outside), (Tree{{"target.txt", ToBytes("keep")}}));
  }
  // Always replaced the link itself with the entry.
  EXPECT_EQ(testutil::ReadFileBytes(out + "/filelink"), kText);
  ASSERT_FALSE(events_.skipped.empty());
  EXPECT_EQ(events_.skipped[0].first, TSkipReason::skipCreateFailed);
}

}  // namespace
}  // namespace corvid::zip
