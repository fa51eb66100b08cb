// The self-extractor stub run as users run it: archives from Info-ZIP and
// Python's zipfile (independent writers) appended to the built stub, the
// program started in its own session (no terminal, so a password comes from
// standard input), its results compared byte for byte. Also the stub as the
// SFXBIN resource.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "platform/win/resources.h"
#include "testutil/peers.h"
#include "testutil/zip_builder.h"
#include "zip/zip_format.h"

namespace corvid::sfx {
namespace {

using testutil::Bytes;
using testutil::ReadFileBytes;
using testutil::ToBytes;
using testutil::TreeOf;
using testutil::WriteFileBytes;

const char kStub[] = CORVID_SFX_STUB;

// 2021-06-15 12:34:56 local time, the stamp given to every source file.
time_t FixedTime() {
  struct tm t = {};
  t.tm_year = 121;
  t.tm_mon = 5;
  t.tm_mday = 15;
  t.tm_hour = 12;
  t.tm_min = 34;
  t.tm_sec = 56;
  t.tm_isdst = -1;
  return mktime(&t);
}

struct Outcome {
  int status = -1;
  std::string out, err;
};

class SfxTest : public testing::Test {
 protected:
  void SetUp() override {
    if (!testutil::HaveProgram("zip")) CORVID_PEER_MISSING() << "Info-ZIP zip is not installed";
  }

  std::string Path(const std::string& rel) const { return tmp_ / rel; }

  // The stub followed by the archive; `adjust` shifts the archive's offsets
  // by the stub's size as the writer does (zip -A).
  std::string MakeExe(const Bytes& archive, bool adjust) {
    std::string exe = Path("bin/x" + std::to_string(++exes_) + ".exe");
    ::mkdir(Path("bin").c_str(), 0777);
    Bytes bytes = ReadFileBytes(kStub);
    bytes.insert(bytes.end(), archive.begin(), archive.end());
    WriteFileBytes(exe, bytes);
    ::chmod(exe.c_str(), 0755);
    if (adjust) {
      EXPECT_EQ(testutil::Shell("zip -qA '" + exe + "'"), 0);
    }
    return exe;
  }

  // Runs `exe` in a session of its own (so it has no terminal) in `cwd`,
  // with `input` on standard input.
  Outcome Start(const std::string& exe, const std::vector<std::string>& args, const std::string& input = "",
            const std::string& cwd = "") {
    const std::string in = Path("bin/stdin"), out = Path("bin/stdout"), err = Path("bin/stderr");
    WriteFileBytes(in, ToBytes(input));
    std::vector<std::string> argv_text = {exe};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    pid_t pid = ::fork();
    if (pid == 0) {
      ::setsid();
      if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) ::_exit(126);
      int fds[3] = {::open(in.c_str(), O_RDONLY), ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644),
                    ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644)};
      for (int i = 0; i < 3; ++i) ::dup2(fds[i], i);
      std::vector<char*> argv;
      for (std::string& a : argv_text) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(exe.c_str(), argv.data());
      ::_exit(127);
    }
    Outcome run;
    int status = 0;
    ::waitpid(pid, &status, 0);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    Bytes o = ReadFileBytes(out), e = ReadFileBytes(err);
    run.out.assign(o.begin(), o.end());
    run.err.assign(e.begin(), e.end());
    return run;
  }

  // A small tree with folders, an empty file and folder, compressible and
  // incompressible data and a non-ASCII name, every file dated FixedTime().
  std::string MakeSource() {
    const std::string src = Path("src");
    std::map<std::string, Bytes> files = {
        {"readme.txt", ToBytes("Read me first.\n")},
        {"empty.txt", {}},
        {"docs/report.bin", testutil::RandomBytes(150000, 3)},
        {"docs/deep/er/notes.txt", Bytes(120000, 'n')},
        {"Gr\xC3\xBC\xC3\x9F" "e.txt", ToBytes("Hallo")},
    };
    for (const auto& [rel, data] : files) {
      std::string path = src + "/" + rel;
      testutil::Shell("mkdir -p \"$(dirname '" + path + "')\"");
      WriteFileBytes(path, data);
      struct timespec times[2] = {{FixedTime(), 0}, {FixedTime(), 0}};
      ::utimensat(AT_FDCWD, path.c_str(), times, 0);
    }
    ::mkdir((src + "/emptydir").c_str(), 0777);
    return src;
  }

  // zip -r of `src` with `options`, and an archive comment when one is given.
  Bytes ZipTree(const std::string& src, const std::string& options, const std::string& comment = "") {
    const std::string zip = Path("bin/tree.zip");
    ::mkdir(Path("bin").c_str(), 0777);
    ::unlink(zip.c_str());
    std::string command = "cd '" + src + "' && ";
    if (!comment.empty()) command += "echo '" + comment + "' | ";
    command += "zip -qr " + options + (comment.empty() ? "" : " -z") + " '" + zip + "' .";
    EXPECT_EQ(testutil::Shell(command), 0);
    return ReadFileBytes(zip);
  }

  testutil::TempDir tmp_;
  int exes_ = 0;
};

TEST_F(SfxTest, ExtractsInfoZipArchivesByteForByte) {
  struct Case {
    const char* what;
    const char* options;
    const char* comment;
    bool adjust;
    bool into_current_folder;  // no -d: the current folder is the target
  };
  const Case cases[] = {
      {"stored", "-0", "", true, false},
      {"deflated", "-9", "", true, true},
      {"appended without adjusting offsets, with a comment", "-6", "a comment", false, false},
  };
  const std::string src = MakeSource();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string exe = MakeExe(ZipTree(src, c.options, c.comment), c.adjust);
    const std::string out = Path(std::string("out-") + c.options[1]);
    ::mkdir(out.c_str(), 0777);
    Outcome run = c.into_current_folder ? Start(exe, {}, "", out) : Start(exe, {"-d", out});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(TreeOf(out), TreeOf(src));
    struct stat st;
    ASSERT_EQ(::stat((out + "/docs/report.bin").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, FixedTime());

    Outcome list = Start(exe, {"-l"});
    EXPECT_EQ(list.status, 0) << list.err;
    for (const char* name : {"readme.txt", "empty.txt", "docs/report.bin", "docs/deep/er/notes.txt", "emptydir/",
                             "Gr\xC3\xBC\xC3\x9F" "e.txt"})
      EXPECT_NE(list.out.find(name), std::string::npos) << name << " missing from\n" << list.out;
  }
}

TEST_F(SfxTest, AsksForThePasswordAndNamesTheEntriesItCouldNotOpen) {
  const std::string src = MakeSource();
  const std::string exe = MakeExe(ZipTree(src, "-P secret"), true);
  struct Case {
    const char* what;
    const char* input;
    bool opens;
  };
  const Case cases[] = {
      {"right password, used for every entry", "secret\n", true},
      {"asked again after a wrong one", "wrong\nsecret\n", true},
      {"wrong password", "wrong\n", false},
      {"no input", "", false},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string out = Path("pw" + std::to_string(++n));
    Outcome run = Start(exe, {"-d", out}, c.input);
    if (c.opens) {
      EXPECT_EQ(run.status, 0) << run.err;
      EXPECT_EQ(TreeOf(out), TreeOf(src));
      continue;
    }
    EXPECT_NE(run.status, 0);
    for (const char* name : {"readme.txt", "docs/report.bin", "docs/deep/er/notes.txt"})
      EXPECT_NE(run.err.find(std::string("  ") + name + "\n"), std::string::npos) << name << " not named in\n"
                                                                                  << run.err;
    for (const auto& [rel, data] : TreeOf(out)) EXPECT_EQ(rel.back(), '/') << rel << " was written";
  }
}

TEST_F(SfxTest, AsksAgainWhenAnEntryNeedsAnotherPassword) {
  testutil::ZipBuilder b;
  b.Add({.name = "one.txt", .data = ToBytes("first"), .method = 8, .password = "one"});
  b.Add({.name = "two.txt", .data = ToBytes("second"), .method = 8, .password = "two"});
  b.Add({.name = "again.txt", .data = ToBytes("third"), .method = 0, .password = "two"});
  const std::string exe = MakeExe(b.Build(), true);
  const std::string out = Path("out");
  Outcome run = Start(exe, {"-d", out}, "one\ntwo\n");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(TreeOf(out), (std::map<std::string, Bytes>{
                             {"one.txt", ToBytes("first")}, {"two.txt", ToBytes("second")}, {"again.txt", ToBytes("third")}}));
}

TEST_F(SfxTest, HostileNamesNeverLeaveTheTarget) {
  if (!testutil::HaveProgram("python3")) CORVID_PEER_MISSING() << "python3 is not installed";
  const std::string work = Path("work");
  const std::string target = work + "/target";
  ASSERT_EQ(testutil::Shell("mkdir -p '" + target + "'"), 0);
  WriteFileBytes(work + "/outside.txt", ToBytes("keep"));
  // Links planted in the target: a folder pointing out of it, and a file.
  ASSERT_EQ(::symlink(work.c_str(), (target + "/link").c_str()), 0);
  ASSERT_EQ(::symlink((work + "/outside.txt").c_str(), (target + "/leaf.txt").c_str()), 0);

  // Python's zipfile stores these names as given; each file holds its name.
  const std::vector<std::string> names = {"../evil", "a/../../b", work + "/abs.txt", "C:\\drive\\c.txt",
                                          "..\\..\\back.txt", "link/through.txt", "leaf.txt"};
  std::string script =
      "import sys, zipfile\n"
      "with zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_DEFLATED) as z:\n"
      "    for n in sys.argv[2:]: z.writestr(zipfile.ZipInfo(n), n.encode())\n";
  WriteFileBytes(Path("hostile.py"), ToBytes(script));
  std::string command = "python3 '" + Path("hostile.py") + "' '" + Path("hostile.zip") + "'";
  for (const std::string& n : names) command += " '" + n + "'";
  ASSERT_EQ(testutil::Shell(command), 0);

  Outcome run = Start(MakeExe(ReadFileBytes(Path("hostile.zip")), true), {"-d", target});
  EXPECT_NE(run.status, 0) << "the entry through the link must fail";
  EXPECT_NE(run.err.find("link/through.txt"), std::string::npos) << run.err;

  std::map<std::string, Bytes> expected = {
      {"outside.txt", ToBytes("keep")},
      {"target/", {}},
      {"target/evil", ToBytes("../evil")},
      {"target/a/", {}},
      {"target/a/b", ToBytes("a/../../b")},
      {"target/drive/", {}},
      {"target/drive/c.txt", ToBytes("C:\\drive\\c.txt")},
      {"target/back.txt", ToBytes("..\\..\\back.txt")},
      {"target/link", ToBytes("->")},
      {"target/leaf.txt", ToBytes("leaf.txt")},  // the link itself replaced
  };
  std::string folder = "target";
  for (size_t start = 1, slash; (slash = work.find('/', start)) != std::string::npos || start < work.size();
       start = slash + 1) {
    if (slash == std::string::npos) slash = work.size();
    folder += "/" + work.substr(start, slash - start);
    expected[folder + "/"] = {};
  }
  expected[folder + "/abs.txt"] = ToBytes(work + "/abs.txt");
  EXPECT_EQ(TreeOf(work), expected);
}

TEST_F(SfxTest, ControlCharactersInNamesAreShownEscapedAndReplacedOnDisk) {
  testutil::ZipBuilder b;
  b.Stored("bell\a\x1b[2Jclear\nforged.txt", ToBytes("x"));
  const std::string exe = MakeExe(b.Build(), true);
  const std::string shown = "bell\\x07\\x1B[2Jclear\\x0Aforged.txt";
  const std::string out = Path("ctl");
  for (const std::vector<std::string>& args : {std::vector<std::string>{"-l"}, {"-d", out}}) {
    Outcome run = Start(exe, args);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find(shown), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find('\x1b'), std::string::npos);
    EXPECT_EQ(run.out.find('\a'), std::string::npos);
  }
  EXPECT_EQ(TreeOf(out), (std::map<std::string, Bytes>{{"bell__[2Jclear_forged.txt", ToBytes("x")}}));
}

TEST_F(SfxTest, DamagedEntryIsReportedAndKeepsNothing) {
  const std::string src = Path("dsrc");
  ASSERT_EQ(testutil::Shell("mkdir -p '" + src + "'"), 0);
  WriteFileBytes(src + "/good.txt", ToBytes("fine"));
  WriteFileBytes(src + "/bad.txt", Bytes(100000, 'b'));
  for (const char* options : {"-0", "-9"}) {
    SCOPED_TRACE(options);
    Bytes archive = ZipTree(src, options);
    // Flip a byte in the middle of bad.txt's data, found through its local header.
    const std::string text(archive.begin(), archive.end());
    const size_t local = text.find("bad.txt") - 30;
    ASSERT_EQ(zip::GetU32(&archive[local]), zip::local_header::kSignature);
    const size_t data = local + 30 + zip::GetU16(&archive[local + 26]) + zip::GetU16(&archive[local + 28]);
    archive[data + zip::GetU32(&archive[local + 18]) / 2] ^= 0x5A;

    // An earlier file of that name survives the failed entry.
    const std::string out = Path(std::string("damaged") + options);
    ASSERT_EQ(::mkdir(out.c_str(), 0777), 0);
    WriteFileBytes(out + "/bad.txt", ToBytes("precious"));
    Outcome run = Start(MakeExe(archive, true), {"-d", out});
    EXPECT_NE(run.status, 0);
    EXPECT_NE(run.err.find("bad.txt"), std::string::npos) << run.err;
    EXPECT_EQ(TreeOf(out), (std::map<std::string, Bytes>{{"good.txt", ToBytes("fine")},
                                                         {"bad.txt", ToBytes("precious")}}));
  }
}

TEST_F(SfxTest, NamesWhatItCannotDo) {
  testutil::ZipBuilder unsupported;
  unsupported.Stored("ok.txt", ToBytes("ok"));
  unsupported.Add({.name = "packed.bin", .data = ToBytes("BZh9 pretend"), .method = 12});
  const std::string out = Path("out");
  Outcome run = Start(MakeExe(unsupported.Build(), true), {"-d", out});
  EXPECT_NE(run.status, 0);
  EXPECT_NE(run.err.find("packed.bin"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("method 12"), std::string::npos) << run.err;
  EXPECT_EQ(TreeOf(out), (std::map<std::string, Bytes>{{"ok.txt", ToBytes("ok")}}));

  Outcome bare = Start(kStub, {"-d", out});
  EXPECT_NE(bare.status, 0);
  EXPECT_NE(bare.err.find("no archive"), std::string::npos) << bare.err;
}

// --- The stub as the resource SFXBIN ------------------------------------------

TEST(SfxBinTest, SavesTheBuiltStub) {
  const Bytes stub = ReadFileBytes(kStub);
  EXPECT_LE(stub.size(), 64u * 1024) << "the stub is over its size bar";
  EXPECT_EQ(win::ResourceSize("SFXBIN", win::RT_RCDATA), stub.size());
  EXPECT_EQ(win::ResourceSize("sfxbin", win::RT_RCDATA), stub.size());

  testutil::TempDir tmp;
  WriteFileBytes(tmp / "stub.exe", ToBytes("an older, longer file that gets replaced"));
  ASSERT_TRUE(win::SaveResourceToFile("SFXBIN", win::RT_RCDATA, tmp / "stub.exe"));
  EXPECT_EQ(ReadFileBytes(tmp / "stub.exe"), stub);

  EXPECT_FALSE(win::SaveResourceToFile("SFXBIN", 3, tmp / "other.exe"));
  EXPECT_FALSE(win::SaveResourceToFile("SFXBINX", win::RT_RCDATA, tmp / "other.exe"));
  EXPECT_EQ(win::ResourceSize("SFXBINX", win::RT_RCDATA), 0u);
  EXPECT_EQ(TreeOf(tmp.path()), (std::map<std::string, Bytes>{{"stub.exe", stub}}));
}

}  // namespace
}  // namespace corvid::sfx
