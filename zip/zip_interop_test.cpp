// TZipReader on archives made by independent programs at test time (Info-ZIP
// zip, Python's zipfile, 7-Zip), on the legacy archives of testdata/, and the
// corvid-zip tool on good and damaged archives.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "testutil/files.h"
#include "testutil/peers.h"
#include "testutil/zip_builder.h"
#include "zip/errors.h"
#include "zip/stream.h"
#include "zip/zip_reader.h"

namespace corvid::zip {
namespace {

using testutil::Bytes;
using testutil::TempDir;
using testutil::ToBytes;
using Tree = std::map<std::string, Bytes>;

using corvid::test::Quote;

// Names in the engine's form: backslashes.
std::string EngineName(std::string path) {
  std::replace(path.begin(), path.end(), '/', '\\');
  return path;
}

// --- The inputs every peer archives ----------------------------------------------

const char kInputs[] = "readme.txt random.bin zeros.bin empty.txt docs emptydir";

// Extra members that the Python peer adds under names outside code page 437.
const char* const kUtf8Names[] = {"привет.txt", "日本.txt"};
Bytes Utf8Content(const std::string& name) {
  std::string text;
  for (int i = 0; i < 50; ++i) text += name;
  return ToBytes(text);
}

const char kPythonWriter[] = R"(
import os, sys, zipfile
out, method, level = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
kw = {'compresslevel': level} if method == zipfile.ZIP_DEFLATED else {}
with zipfile.ZipFile(out, 'w', compression=method, **kw) as z:
    for top in sys.argv[4:]:
        z.write(top)
        for root, dirs, files in os.walk(top):
            dirs.sort()
            for d in dirs: z.write(os.path.join(root, d))
            for f in sorted(files): z.write(os.path.join(root, f))
    for name in ['привет.txt', '日本.txt']:
        z.writestr(name, (name * 50).encode('utf-8'))
)";

struct PeerCase {
  const char* label;
  const char* program;
  std::string command;  // run in the input folder; {out} is the archive
  std::string password{};
  bool descriptors = false;  // entries carry data descriptors
  std::string comment{};
  bool utf8_names = false;
};

void PrintTo(const PeerCase& c, std::ostream* os) { *os << c.label; }

std::vector<PeerCase> PeerCases() {
  const std::string files = kInputs;
  // The system interpreter starts faster than a version manager's shim.
  static const char* python = ::access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
  const std::string py = std::string(python) + " ../writer.py {out} ";
  const std::string sz = "7zz a -tzip -bd -bso0 -bsp0 ";
  return {
      {"zip_level0", "zip", "zip -q -r -0 {out} " + files},
      {"zip_level1", "zip", "zip -q -r -1 {out} " + files},
      {"zip_level6", "zip", "zip -q -r -6 {out} " + files},
      {"zip_level9", "zip", "zip -q -r -9 {out} " + files},
      {"zip_comment", "zip", "printf 'made by a peer' | zip -q -r -z {out} " + files, "", false,
       "made by a peer"},
      // zip encrypts in one pass, so its encrypted entries always carry descriptors.
      {"zip_encrypted", "zip", "zip -q -r -P secret {out} " + files, "secret", true},
      {"zip_pipe", "zip", "zip -q -r - " + files + " | cat > {out}", "", true},
      {"zip_pipe_encrypted", "zip", "zip -q -r -P secret - " + files + " | cat > {out}", "secret", true},
      {"python_stored", python, py + "0 0 " + files, "", false, "", true},
      {"python_deflate1", python, py + "8 1 " + files, "", false, "", true},
      {"python_deflate9", python, py + "8 9 " + files, "", false, "", true},
      {"sevenzip_mx0", "7zz", sz + "-mx=0 {out} " + files},
      {"sevenzip_mx1", "7zz", sz + "-mx=1 {out} " + files},
      {"sevenzip_mx9", "7zz", sz + "-mx=9 {out} " + files},
      {"sevenzip_deflate", "7zz", sz + "-mm=Deflate {out} " + files},
      {"sevenzip_zipcrypto", "7zz", sz + "-pSECRET -mem=ZipCrypto {out} " + files, "SECRET"},
      // The methods of later tools.
      {"python_bzip2", python, py + "12 0 " + files, "", false, "", true},
      {"python_lzma", python, py + "14 0 " + files, "", false, "", true},
      {"sevenzip_bzip2", "7zz", sz + "-mm=BZip2 {out} " + files},
      {"sevenzip_lzma", "7zz", sz + "-mm=LZMA {out} " + files},
      {"sevenzip_xz", "7zz", sz + "-mm=XZ {out} " + files},
      {"sevenzip_aes128", "7zz", sz + "-pSECRET -mem=AES128 {out} " + files, "SECRET"},
      {"sevenzip_aes192_stored", "7zz", sz + "-mx=0 -pSECRET -mem=AES192 {out} " + files, "SECRET"},
      {"sevenzip_aes256_bzip2", "7zz", sz + "-mm=BZip2 -pSECRET -mem=AES256 {out} " + files, "SECRET"},
  };
}

class PeerInterop : public ::testing::TestWithParam<PeerCase> {
 public:
  static void SetUpTestSuite() {
    shared_ = new TempDir;
    std::string src = Src();
    ::mkdir(src.c_str(), 0777);
    ::mkdir((src + "/docs").c_str(), 0777);
    ::mkdir((src + "/docs/deep").c_str(), 0777);
    ::mkdir((src + "/emptydir").c_str(), 0777);
    std::string text;
    for (int i = 0; i < 200; ++i) text += "Line " + std::to_string(i) + ": the archive must keep every byte.\n";
    testutil::WriteFileBytes(src + "/readme.txt", ToBytes(text));
    testutil::WriteFileBytes(src + "/random.bin", testutil::RandomBytes(300 * 1024, 11));
    testutil::WriteFileBytes(src + "/zeros.bin", Bytes(100000, 0));
    testutil::WriteFileBytes(src + "/empty.txt", {});
    testutil::WriteFileBytes(src + "/docs/notes.txt", ToBytes(text.substr(0, 1500)));
    testutil::WriteFileBytes(src + "/docs/deep/more.bin", testutil::RandomBytes(3000, 12));
    testutil::WriteFileBytes(*shared_ / "writer.py", ToBytes(kPythonWriter));
  }
  static void TearDownTestSuite() {
    delete shared_;
    shared_ = nullptr;
  }

 protected:
  static std::string Src() { return *shared_ / "src"; }

  // The archive the case's peer makes; empty when the peer is missing.
  std::string MakeArchive() {
    const PeerCase& c = GetParam();
    if (!testutil::HaveProgram(c.program)) return "";
    std::string out = tmp / "peer.zip";
    std::string command = c.command;
    command.replace(command.find("{out}"), 5, Quote(out));
    EXPECT_EQ(testutil::Shell("cd " + Quote(Src()) + " && " + command), 0) << command;
    return out;
  }

  Tree Expected() const {
    Tree tree = testutil::TreeOf(Src());
    if (GetParam().utf8_names)
      for (const char* name : kUtf8Names) tree[name] = Utf8Content(name);
    return tree;
  }

  static TempDir* shared_;
  TempDir tmp;
};

TempDir* PeerInterop::shared_ = nullptr;

TEST_P(PeerInterop, ListsTestsAndExtractsByteIdentical) {
  const PeerCase& c = GetParam();
  std::string archive = MakeArchive();
  if (archive.empty()) CORVID_PEER_MISSING() << c.program << " is not installed (scripts/install-deps.sh)";
  const Tree expected = Expected();

  TZipReader zip;
  zip.SetZipName(archive);
  zip.ReadZip();
  EXPECT_FALSE(zip.DirectoryRebuilt());
  EXPECT_EQ(zip.ZipComment(), c.comment);

  // Listing: backslashes in full names, no path in file names; every input
  // file is there.
  std::vector<std::string> files;
  bool any_descriptor = false;
  for (int i = 0; i < zip.Count(); ++i) {
    std::string full = zip.FullName(i);
    EXPECT_EQ(full.find('/'), std::string::npos) << full;
    std::string name = full.substr(full.rfind('\\') == std::string::npos ? 0 : full.rfind('\\') + 1);
    EXPECT_EQ(zip.FileName(i), name);
    any_descriptor |= zip.Entry(i).HasDataDescriptor();
    if (name.empty()) continue;
    if (c.utf8_names && static_cast<unsigned char>(name[0]) >= 0x80) {
      EXPECT_TRUE(zip.Entry(i).BitFlag & 0x800) << name;  // the peer flags them
    }
    files.push_back(full);
    if (!c.password.empty() && zip.UncompressedSize(i) > 0) {
      EXPECT_TRUE(zip.IsEncrypted(i)) << full;
    }
  }
  std::vector<std::string> expected_files;
  for (const auto& [path, data] : expected)
    if (path.back() != '/') expected_files.push_back(EngineName(path));
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, expected_files);
  EXPECT_EQ(any_descriptor, c.descriptors);

  zip.Password = c.password;
  zip.DoAll = true;
  EXPECT_EQ(zip.TestZip(), zip.Count());

  std::string out = tmp / "out";
  zip.SetDestDir(out);
  zip.RecreateDirs = true;
  EXPECT_EQ(zip.UnZip(), static_cast<int>(expected_files.size()));
  EXPECT_EQ(testutil::TreeOf(out), expected);

  for (const auto& [path, data] : expected) {
    if (path.back() == '/') continue;
    TMemoryStream stream;
    EXPECT_EQ(zip.UnZipToStream(stream, EngineName(path)), 1) << path;
    EXPECT_EQ(stream.Bytes(), data) << path;
    Bytes buffer;
    EXPECT_EQ(zip.UnZipToBuffer(buffer, EngineName(path)), 1) << path;
    EXPECT_EQ(buffer, data) << path;
  }

  if (!c.password.empty()) {
    zip.Password = "not" + c.password;
    Bytes buffer;
    EXPECT_EQ(zip.UnZipToBuffer(buffer, "random.bin"), 0);
    EXPECT_TRUE(buffer.empty());
  }
}

INSTANTIATE_TEST_SUITE_P(Peers, PeerInterop, ::testing::ValuesIn(PeerCases()),
                         [](const auto& info) { return std::string(info.param.label); });

// A self-extractor whose offsets the peer adjusted is read as it is.
TEST(PeerSelfExtractor, AdjustedOffsetsNeedNoScan) {
  if (!testutil::HaveProgram("zip")) CORVID_PEER_MISSING() << "zip is not installed";
  TempDir tmp;
  Bytes data = testutil::RandomBytes(20000, 3);
  testutil::WriteFileBytes(tmp / "data.bin", data);
  ASSERT_EQ(testutil::Shell("cd " + Quote(tmp.path()) + " && zip -q plain.zip data.bin"), 0);
  Bytes sfx = testutil::RandomBytes(16000, 4);
  for (auto& byte : sfx)
    if (byte == 'P') byte = 'Q';
  Bytes plain = testutil::ReadFileBytes(tmp / "plain.zip");
  sfx.insert(sfx.end(), plain.begin(), plain.end());
  testutil::WriteFileBytes(tmp / "setup.exe", sfx);
  ASSERT_EQ(testutil::Shell("cd " + Quote(tmp.path()) + " && zip -q -A setup.exe 2>/dev/null"), 0);

  TZipReader zip;
  zip.SetZipName(tmp / "setup.exe");
  zip.ReadZip();
  EXPECT_FALSE(zip.DirectoryRebuilt());
  ASSERT_EQ(zip.Count(), 1);
  Bytes buffer;
  EXPECT_EQ(zip.UnZipToBuffer(buffer, "data.bin"), 1);
  EXPECT_EQ(buffer, data);
}

// --- Legacy methods ------------------------------------------------------------------

const std::string kLegacy = std::string(CORVID_TESTDATA) + "/legacy/";

TEST(LegacyThroughReader, ExtractByteIdenticalToTheOriginals) {
  const char* archives[] = {"shrink.zip",        "reduce1.zip",       "reduce2.zip",
                            "reduce3.zip",       "reduce4.zip",       "implode-4k-2t.zip",
                            "implode-4k-3t.zip", "implode-8k-2t.zip", "implode-8k-3t.zip",
                            "implode-encrypted.zip"};
  for (const char* name : archives) {
    SCOPED_TRACE(name);
    TempDir tmp;
    TZipReader zip;
    zip.SetZipName(kLegacy + name);
    zip.ReadZip();
    zip.Password = "allotment";
    zip.SetDestDir(tmp / "out");
    zip.DoAll = true;
    ASSERT_GT(zip.Count(), 0);
    EXPECT_EQ(zip.UnZip(), zip.Count());
    Tree tree = testutil::TreeOf(tmp / "out");
    EXPECT_EQ(tree.size(), static_cast<size_t>(zip.Count()));
    for (const auto& [file, data] : tree) {
      EXPECT_EQ(data, testutil::ReadFileBytes(kLegacy + "originals/" + file)) << file;
    }
  }
}

TEST(LegacyThroughReader, CheckPasswordIsCachedUntilReset) {
  TZipReader zip;  // no event handlers at all
  zip.SetZipName(kLegacy + "implode-encrypted.zip");
  zip.ReadZip();
  ASSERT_TRUE(zip.IsEncrypted(0));
  zip.Password = "allotments";
  EXPECT_FALSE(zip.CheckPassword(0));
  zip.Password = "allotment";
  EXPECT_FALSE(zip.CheckPassword(0));
  zip.ResetPasswordCheck(0);
  EXPECT_TRUE(zip.CheckPassword(0));
  zip.Password = "wrong";
  EXPECT_TRUE(zip.CheckPassword(0));
  zip.ResetPasswordCheck(0);
  EXPECT_FALSE(zip.CheckPassword(0));
}

// --- The command-line tool --------------------------------------------------------------

class CorvidZipTool : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testutil::PathExists(kTool)) CORVID_PEER_MISSING() << kTool << " is not built";
  }
  // Runs the tool; returns the exit status, keeping stdout and stderr.
  int Run(const std::string& args) {
    int rc = testutil::Shell(Quote(kTool) + " " + args + " >" + Quote(tmp / "stdout") + " 2>" +
                             Quote(tmp / "stderr") + " </dev/null");
    out = std::string(ToString(testutil::ReadFileBytes(tmp / "stdout")));
    err = std::string(ToString(testutil::ReadFileBytes(tmp / "stderr")));
    return rc;
  }
  static std::string ToString(const Bytes& b) { return std::string(b.begin(), b.end()); }

  const std::string kTool = std::string(CORVID_DIST) + "/corvid-zip";
  TempDir tmp;
  std::string out, err;
};

testutil::BuiltZip ToolArchive() {
  testutil::ZipBuilder b;
  b.Stored("dir/sub/a.txt", ToBytes("alpha\n"));
  b.Deflated("dir/random.bin", testutil::RandomBytes(30000, 5));
  b.Stored("dir/empty/", {});
  return b.BuildVolumes();
}

TEST_F(CorvidZipTool, ListsTestsAndExtractsAGoodArchive) {
  std::string archive = tmp / "good.zip";
  testutil::WriteFileBytes(archive, ToolArchive().bytes());

  EXPECT_EQ(Run("l " + Quote(archive)), 0) << err;
  EXPECT_NE(out.find("dir/sub/a.txt"), std::string::npos) << out;
  EXPECT_NE(out.find("dir/random.bin"), std::string::npos) << out;

  EXPECT_EQ(Run("t " + Quote(archive)), 0) << err;

  EXPECT_EQ(Run("x " + Quote(archive) + " -d " + Quote(tmp / "out") + " --paths"), 0) << err;
  EXPECT_EQ(testutil::TreeOf(tmp / "out"), (Tree{{"dir/", {}},
                                                 {"dir/sub/", {}},
                                                 {"dir/sub/a.txt", ToBytes("alpha\n")},
                                                 {"dir/random.bin", testutil::RandomBytes(30000, 5)},
                                                 {"dir/empty/", {}}}));
}

TEST_F(CorvidZipTool, TestOfADamagedArchiveFailsNamingArchiveAndEntry) {
  testutil::BuiltZip built = ToolArchive();
  const testutil::EntryLayout& random = built.entries[1];
  built.bytes()[random.data + random.data_size / 2] ^= 0x01;
  std::string archive = tmp / "damaged.zip";
  testutil::WriteFileBytes(archive, built.bytes());

  EXPECT_NE(Run("t " + Quote(archive)), 0);
  EXPECT_NE(err.find(archive), std::string::npos) << err;
  EXPECT_NE(err.find("dir/random.bin"), std::string::npos) << err;
}

// An AES archive of a peer: the right password passes, a wrong one is said
// to be wrong, and a changed byte fails the authentication code whatever
// the CRC would say.
TEST_F(CorvidZipTool, AesEntriesAreAuthenticated) {
  if (!testutil::HaveProgram("7zz")) CORVID_PEER_MISSING() << "7zz is not installed";
  std::string text;
  for (int i = 0; i < 500; ++i) text += "line " + std::to_string(i) + " of the protected file\n";
  testutil::WriteFileBytes(tmp / "secret.txt", ToBytes(text));
  const std::string archive = tmp / "aes.zip";
  ASSERT_EQ(testutil::Shell("cd " + Quote(tmp.path()) + " && 7zz a -tzip -bso0 -bsp0 -mx=0 -pright -mem=AES256 " +
                            Quote(archive) + " secret.txt"),
            0);
  EXPECT_EQ(Run("t " + Quote(archive) + " -p right"), 0) << err;
  EXPECT_EQ(Run("t " + Quote(archive) + " -p wrong"), 82) << err;
  EXPECT_NE(err.find("password missing or wrong"), std::string::npos) << err;

  Bytes bytes = testutil::ReadFileBytes(archive);
  const size_t middle = bytes.size() / 2;  // inside the stored text
  bytes[middle] ^= 0x20;
  testutil::WriteFileBytes(archive, bytes);
  EXPECT_EQ(Run("t " + Quote(archive) + " -p right"), 2) << err;
  EXPECT_NE(err.find("authentication failed"), std::string::npos) << err;
  EXPECT_EQ(Run("x " + Quote(archive) + " -p right -d " + Quote(tmp / "out")), 2);
  EXPECT_FALSE(testutil::PathExists(tmp / "out/secret.txt")) << "a changed file is not kept";
}

// What l, t and x report on each kind of archive, and their exit statuses.
TEST_F(CorvidZipTool, ExitStatusesFollowUnzipConventions) {
  using testutil::ZipBuilder;
  using testutil::ZipEntry;
  testutil::BuiltZip good = ToolArchive();
  auto with = [](std::vector<ZipEntry> entries, auto&& tweak) {
    ZipBuilder b;
    for (ZipEntry& e : entries) b.Add(std::move(e));
    tweak(b);
    return b.Build();
  };
  auto plain = [](ZipBuilder&) {};
  const Bytes text = ToBytes("some text\n");
  Bytes endless;  // empty non-final stored blocks, and no final one
  for (int i = 0; i < 1000; ++i) endless.insert(endless.end(), {0x00, 0x00, 0x00, 0xFF, 0xFF});
  testutil::BuiltZip endless_zip = [&] {
    ZipBuilder b;
    b.Add({.name = "endless.bin", .data = endless, .crc = 0, .uncompressed_size = 0});
    testutil::BuiltZip built = b.BuildVolumes();
    built.bytes()[built.entries[0].local + 8] = 8;  // a hand-made Deflate stream
    built.bytes()[built.entries[0].central + 10] = 8;
    return built;
  }();

  struct Case {
    std::string label;
    Bytes archive;
    std::string args;  // ARCHIVE stands for the archive's path
    int status;
    std::string message;  // expected in stderr; empty: stderr stays empty
  } cases[] = {
      {"intact", good.bytes(), "t ARCHIVE", 0, ""},
      {"options first", with({{.name = "s.txt", .data = text, .password = "pw"}}, plain), "t -p pw ARCHIVE", 0, ""},
      {"end record cut", Bytes(good.bytes().begin(), good.bytes().end() - 10), "t ARCHIVE", 1,
       "warning: damaged archive: the end record is missing; entries were recovered by scanning"},
      {"end record cut, listed", Bytes(good.bytes().begin(), good.bytes().end() - 10), "l ARCHIVE", 1,
       "the end record is missing"},
      {"directory cut", Bytes(good.bytes().begin(), good.bytes().begin() + good.entries[1].central + 5),
       "x ARCHIVE -d OUT", 1, "the end record is missing"},
      {"count too high", with({{.name = "a.txt", .data = text}}, [](ZipBuilder& b) { b.total_entries = 3; }),
       "t ARCHIVE", 1, "the end record counts 3 entries but the central directory holds 1"},
      {"directory offset into itself",
       with({{.name = "a.txt", .data = text}, {.name = "b.txt", .data = text}},
            [](ZipBuilder& b) { b.central_offset = 2 * (30 + 5 + 10) + 46 + 5; b.total_entries = 1; }),
       "t ARCHIVE", 1, "the central directory is not where the end record says"},
      {"bad CRC", with({{.name = "a.txt", .data = text, .crc = 7}}, plain), "x ARCHIVE -d OUT", 2,
       "a.txt: CRC error"},
      {"endless Deflate stream", endless_zip.bytes(), "t ARCHIVE", 2,
       "endless.bin: the compressed data is damaged"},
      {"overlapping entries",
       with({{.name = "a.txt", .data = text}, {.name = "b.txt", .data = text, .offset = 20}}, plain),
       "t ARCHIVE", 3, "overlaps the entry"},
      {"not an archive", text, "t ARCHIVE", 9, "Not a valid zip file!"},
      {"no matching entry", good.bytes(), "t ARCHIVE nothing.txt", 11, "no entry matches nothing.txt"},
      {"wrong password", with({{.name = "s.txt", .data = text, .password = "pw"}}, plain), "t -p no ARCHIVE",
       82, "s.txt: cannot decrypt"},
      {"unsupported method", with({{.name = "l.bin", .data = text, .method = 98}}, plain), "t ARCHIVE", 81,
       "l.bin: Compression method 98 (PPMd) is not supported"},
      // An AES entry (method 99, encrypted) is not taken for a wrong password.
      {"AES entry", with({{.name = "s.bin", .data = text, .method = 99, .password = "pw"}}, plain), "t -p pw ARCHIVE",
       81, "s.bin: Compression method 99 (AES encryption) is not supported"},
      {"wrong use", good.bytes(), "q ARCHIVE", 10, "usage:"},
      {"full disk", good.bytes(), "x ARCHIVE -d OUT", 50, "dir/random.bin: Cannot write"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    std::string archive = tmp / "case.zip";
    std::string out_dir = tmp / "out";
    testutil::Shell("rm -rf " + Quote(out_dir));
    testutil::WriteFileBytes(archive, c.archive);
    std::string args = c.args;
    args.replace(args.find("ARCHIVE"), 7, Quote(archive));
    if (size_t at = args.find("OUT"); at != std::string::npos) args.replace(at, 3, Quote(out_dir));
    int status = c.label == "full disk"
                     // A file size limit stands in for the full disk.
                     ? testutil::Shell("bash -c \"trap '' XFSZ; ulimit -f 16; exec " + Quote(kTool) + " " + args +
                                       "\" >/dev/null 2>" + Quote(tmp / "stderr"))
                     : Run(args);
    if (c.label == "full disk") err = ToString(testutil::ReadFileBytes(tmp / "stderr"));
    EXPECT_EQ(status, c.status) << err;
    if (c.message.empty()) EXPECT_EQ(err, "");
    else EXPECT_NE(err.find(c.message), std::string::npos) << err;
  }
  EXPECT_EQ(Run("--help"), 0);
  EXPECT_NE(out.find("82  no password"), std::string::npos) << out;
}

// What zip and unzip users type, each in a fresh folder holding f.txt (text)
// and noise.bin (incompressible): the command's exit status, then a check
// that must succeed. $Z is the tool.
TEST_F(CorvidZipTool, HabitsOfZipAndUnzipUsers) {
  struct Case {
    std::string label;
    std::string command;
    int status;
    std::string check;
  } cases[] = {
      {"options before the archive", "$Z a -p secret out.zip f.txt", 0,
       "test ! -e ./-p && $Z l out.zip | grep -q ' yes ' && $Z t -p secret out.zip"},
      {"-p replaces an entry encrypted", "$Z a out.zip f.txt && $Z a -p pw out.zip f.txt", 0,
       "$Z l out.zip | grep -q ' yes .*f.txt' && $Z t out.zip -p pw"},
      {"only missing files: no archive", "$Z a out.zip missing.txt", 1, "test ! -e out.zip"},
      {"-q keeps stdout quiet", "$Z a -q out.zip f.txt > said && $Z t -q out.zip >> said", 0, "test ! -s said"},
      {"-@ reads names from stdin", "printf 'f.txt\\nnoise.bin\\n' | $Z a -@ out.zip", 0,
       "$Z l out.zip | grep -q '^2 entries'"},
      {"-@ names entries to test", "$Z a out.zip f.txt noise.bin && echo f.txt | $Z t out.zip -@ > said", 0,
       "grep -q '^1 of 1 entries passed' said"},
      {"incompressible data is stored", "$Z a out.zip noise.bin", 0, "$Z l out.zip | grep -q '^Stored .* noise.bin'"},
      {"no password and no terminal", "$Z a -p pw out.zip f.txt && $Z t out.zip", 82, "true"},
      {"-- ends the options", "cp f.txt ./-odd && $Z a out.zip -- -odd", 0, "$Z l out.zip | grep -q ' -odd$'"},
      {"an unknown option", "$Z t -z out.zip", 10, "true"},
      {"d deletes entries", "$Z a out.zip f.txt noise.bin && $Z d out.zip noise.bin", 0,
       "$Z l out.zip | grep -q '^1 entries' && $Z l out.zip | grep -q ' f.txt$'"},
      {"d without a match", "$Z a out.zip f.txt && $Z d out.zip nothing.txt", 11, "$Z t out.zip"},
      {"d without an archive", "$Z d out.zip f.txt", 9, "test ! -e out.zip"},
      {"- writes the archive to stdout", "$Z a - f.txt noise.bin > out.zip", 0,
       "$Z t out.zip | grep -q '^2 of 2 entries passed'"},
      {"-v shows the host system", "$Z a out.zip f.txt && $Z l -v out.zip > said", 0, "grep -q 'made by MS-DOS' said"},
      // 3 GB of zeros (a sparse file) take seconds to compress: Ctrl-C comes first.
      {"Ctrl-C while creating leaves nothing", "truncate -s 3G big && timeout --preserve-status -s INT 1 $Z a out.zip big", 80,
       "test ! -e out.zip && test -z \"$(ls -a | grep corvid)\""},
      {"- reads the archive from stdin", "$Z a out.zip f.txt && $Z t - < out.zip > said", 0,
       "grep -q '^1 of 1 entries passed' said"},
  };
  const Bytes text = ToBytes("text that compresses, text that compresses, text that compresses\n");
  int row = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    std::string dir = tmp / ("habit" + std::to_string(row++));
    ::mkdir(dir.c_str(), 0777);
    testutil::WriteFileBytes(dir + "/f.txt", text);
    testutil::WriteFileBytes(dir + "/noise.bin", testutil::RandomBytes(50000, 3));
    std::string prefix = "cd " + Quote(dir) + " && Z=" + Quote(kTool) + "; ";
    EXPECT_EQ(testutil::Shell(prefix + "{ " + c.command + "; } </dev/null >/dev/null 2>&1"), c.status);
    EXPECT_EQ(testutil::Shell(prefix + "{ " + c.check + "; } </dev/null >/dev/null 2>&1"), 0) << c.check;
  }
}

TEST_F(CorvidZipTool, ControlCharactersInNamesAreShownEscapedAndReplacedOnDisk) {
  testutil::ZipBuilder b;
  b.Stored("bell\a\x1b[2Jclear\nforged.txt", ToBytes("x"));
  std::string archive = tmp / "names.zip";
  testutil::WriteFileBytes(archive, b.Build());
  for (const char* verb : {"l", "t"}) {
    EXPECT_EQ(Run(std::string(verb) + " " + Quote(archive)), 0) << err;
    EXPECT_NE(out.find("bell\\x07\\x1B[2Jclear\\x0Aforged.txt"), std::string::npos) << out;
    EXPECT_EQ(out.find('\x1b'), std::string::npos);
    EXPECT_EQ(out.find('\a'), std::string::npos);
  }
  EXPECT_EQ(Run("x " + Quote(archive) + " -d " + Quote(tmp / "out")), 0) << err;
  EXPECT_EQ(out.find('\x1b'), std::string::npos) << out;
  EXPECT_EQ(testutil::TreeOf(tmp / "out"), (Tree{{"bell__[2Jclear_forged.txt", ToBytes("x")}}));
}

}  // namespace
}  // namespace corvid::zip
