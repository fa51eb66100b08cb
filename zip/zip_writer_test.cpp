// TZipWriter: the archives it writes, checked three ways: walked byte by byte
// as their records say, read back with the engine's reader, and tested by
// independent programs run at test time (Info-ZIP unzip, Python's zipfile,
// 7-Zip). Self-extracting copies are run in a temporary folder; failed runs
// must leave nothing behind and the old archive untouched.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <functional>
#include <map>
#include <ostream>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/win/resources.h"
#include "testutil/files.h"
#include "testutil/peers.h"
#include "testutil/zip_builder.h"
#include "zip/errors.h"
#include "zip/stream.h"
#include "zip/text.h"
#include "zip/zip_cipher.h"
#include "zip/zip_format.h"
#include "zip/zip_header.h"
#include "zip/zip_writer.h"

namespace corvid::zip {
namespace {

using testutil::Bytes;
using testutil::PathExists;
using testutil::RandomBytes;
using testutil::ReadFileBytes;
using testutil::TempDir;
using testutil::ToBytes;
using testutil::TreeOf;
using testutil::WriteFileBytes;
using testutil::ZipBuilder;
using Tree = std::map<std::string, Bytes>;  // member name, '/'-separated -> bytes

using corvid::test::Quote;

// Compressible text with some variety; reproducible.
Bytes TextBytes(size_t n, uint32_t seed) {
  static const char* const kWords[] = {"mail ", "attachment ", "archive ", "corvid ", "entry ",
                                       "level ", "\n",         "data, ",   "folder ", "0123 "};
  std::mt19937 gen(seed);
  std::string text;
  while (text.size() < n) text += kWords[gen() % 10];
  text.resize(n);
  return ToBytes(text);
}

Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

void MakeFile(const std::string& path, const Bytes& data) {
  for (size_t i = 1; i < path.size(); ++i)
    if (path[i] == '/') ::mkdir(path.substr(0, i).c_str(), 0777);
  WriteFileBytes(path, data);
}

void WriteTree(const std::string& root, const Tree& files) {
  for (const auto& [name, data] : files) MakeFile(root + "/" + name, data);
}

void SetMtime(const std::string& path, std::time_t t) {
  struct timeval times[2] = {{t, 0}, {t, 0}};
  ASSERT_EQ(::utimes(path.c_str(), times), 0) << path;
}

std::time_t LocalTime(int year, int month, int day) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = 12;
  tm.tm_isdst = -1;
  return std::mktime(&tm);
}

int AddStream(TZipWriter& writer, const Bytes& data, const std::string& name) {
  TMemoryStream stream(data);
  return writer.ZipFromStream(stream, name);
}

std::string SlashName(std::string name) {
  std::replace(name.begin(), name.end(), '\\', '/');
  return name;
}

// Every entry as the engine's reader extracts it. An archive the writer made
// must open from its directory, never through the recovery scan.
Tree ReadBack(const std::string& archive, const std::string& password = "") {
  TZipReader reader;
  reader.SetZipName(archive);
  reader.Password = password;
  reader.ReadZip();
  EXPECT_FALSE(reader.DirectoryRebuilt()) << archive;
  Tree out;
  for (int i = 0; i < reader.Count(); ++i) {
    Bytes data;
    EXPECT_EQ(reader.UnZipToBuffer(data, reader.FullName(i)), 1) << reader.FullName(i);
    EXPECT_TRUE(out.emplace(SlashName(reader.FullName(i)), data).second) << "twice: " << reader.FullName(i);
  }
  return out;
}

std::string Names(const Tree& tree) {
  std::string s;
  for (const auto& [name, data] : tree) s += name + " (" + std::to_string(data.size()) + ") ";
  return s;
}

// --- The records as they lie in the file --------------------------------------------

struct RawEntry {
  // The central record.
  uint16_t made_by = 0, needed = 0, flags = 0, method = 0;
  uint32_t time = 0, crc = 0, csize = 0, usize = 0;
  uint16_t extra = 0, comment = 0, disk = 0, internal = 0;
  uint32_t external = 0, offset = 0;
  std::string name;
  // The local record it points at.
  uint16_t l_needed = 0, l_flags = 0, l_method = 0, l_extra = 0;
  uint32_t l_time = 0, l_crc = 0, l_csize = 0, l_usize = 0;
  std::string l_name;
  size_t data = 0;  // first byte after the local record
};

struct RawArchive {
  uint16_t this_disk = 0, start_disk = 0, entries_here = 0, total = 0, comment = 0;
  uint32_t central_size = 0, central_offset = 0;
  size_t end = 0;  // position of the end record
  std::vector<RawEntry> entries;  // in central order
};

// Walks an archive as its records say, without the engine's reader: the end
// record closes the file, the central records fill exactly the space it
// names, and each central record points at a local record.
RawArchive ParseRaw(const Bytes& b) {
  auto fail = [](const std::string& what) { throw std::runtime_error(what); };
  if (b.size() < end_record::kSize) fail("shorter than an end record");
  RawArchive a;
  a.end = b.size() - end_record::kSize;
  const uint8_t* e = &b[a.end];
  if (GetU32(e) != end_record::kSignature) fail("no end record in the last 22 bytes");
  a.this_disk = GetU16(e + 4);
  a.start_disk = GetU16(e + 6);
  a.entries_here = GetU16(e + 8);
  a.total = GetU16(e + 10);
  a.central_size = GetU32(e + 12);
  a.central_offset = GetU32(e + 16);
  a.comment = GetU16(e + 20);
  if (uint64_t{a.central_offset} + a.central_size != a.end) fail("the central directory does not end at the end record");
  size_t p = a.central_offset;
  while (p < a.end) {
    if (p + central_header::kSize > a.end || GetU32(&b[p]) != central_header::kSignature)
      fail("no central record at " + std::to_string(p));
    const uint8_t* c = &b[p];
    RawEntry r;
    r.made_by = GetU16(c + 4);
    r.needed = GetU16(c + 6);
    r.flags = GetU16(c + 8);
    r.method = GetU16(c + 10);
    r.time = GetU32(c + 12);
    r.crc = GetU32(c + 16);
    r.csize = GetU32(c + 20);
    r.usize = GetU32(c + 24);
    uint16_t name_length = GetU16(c + 28);
    r.extra = GetU16(c + 30);
    r.comment = GetU16(c + 32);
    r.disk = GetU16(c + 34);
    r.internal = GetU16(c + 36);
    r.external = GetU32(c + 38);
    r.offset = GetU32(c + 42);
    if (p + central_header::kSize + name_length > a.end) fail("central name runs out");
    r.name.assign(c + 46, c + 46 + name_length);
    p += central_header::kSize + name_length + r.extra + r.comment;

    if (uint64_t{r.offset} + local_header::kSize > a.central_offset || GetU32(&b[r.offset]) != local_header::kSignature)
      fail("no local record at " + std::to_string(r.offset) + " for " + r.name);
    const uint8_t* l = &b[r.offset];
    r.l_needed = GetU16(l + 4);
    r.l_flags = GetU16(l + 6);
    r.l_method = GetU16(l + 8);
    r.l_time = GetU32(l + 10);
    r.l_crc = GetU32(l + 14);
    r.l_csize = GetU32(l + 18);
    r.l_usize = GetU32(l + 22);
    uint16_t l_name_length = GetU16(l + 26);
    r.l_extra = GetU16(l + 28);
    r.data = r.offset + local_header::kSize + l_name_length + r.l_extra;
    if (r.data + r.l_csize > a.central_offset) fail("the data of " + r.name + " runs into the central directory");
    r.l_name.assign(l + 30, l + 30 + l_name_length);
    a.entries.push_back(r);
  }
  if (p != a.end) fail("the central records overrun the end record");
  if (a.entries.size() != a.total) fail("TotalEntries differs from the central records");
  return a;
}

RawArchive ParseRawFile(const std::string& path) { return ParseRaw(ReadFileBytes(path)); }

// --- Independent peers ----------------------------------------------------------------

struct Captured {
  int status = -1;
  std::string output;
};

Captured RunShell(const std::string& command) {
  Captured c;
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return c;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) c.output.append(buffer, n);
  int rc = ::pclose(pipe);
  c.status = rc != -1 && WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  return c;
}

struct PeerArchive {
  std::string label;
  std::string path;
  Tree members;
  std::string password{};
};

const char kPythonCheck[] = R"(
import json, sys, zipfile
failures = []
for a in json.load(open(sys.argv[1], encoding='utf-8')):
    label = a['label']
    try:
        with zipfile.ZipFile(a['path']) as z:
            if a['password']:
                z.setpassword(a['password'].encode())
            bad = z.testzip()
            if bad is not None:
                failures.append(label + ': testzip fails at ' + bad)
            names = z.namelist()
            if sorted(names) != sorted(a['members']):
                failures.append(label + ': members ' + repr(sorted(names)) + ' expected ' + repr(sorted(a['members'])))
            for name, path in a['members'].items():
                if name in names and z.read(name) != open(path, 'rb').read():
                    failures.append(label + ': ' + name + ' reads differently')
    except Exception as e:
        failures.append(label + ': ' + type(e).__name__ + ': ' + str(e))
print('\n'.join(failures))
sys.exit(1 if failures else 0)
)";

std::string JsonString(const std::string& s) {
  std::string out = "\"";
  for (char ch : s) {
    if (ch == '"' || ch == '\\') {
      out += '\\';
      out += ch;
    } else if (static_cast<unsigned char>(ch) < 0x20) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", ch);
      out += esc;
    } else {
      out += ch;
    }
  }
  return out + "\"";
}

std::string Python() {
  if (::access("/usr/bin/python3", X_OK) == 0) return "/usr/bin/python3";  // starts faster than a shim
  return testutil::HaveProgram("python3") ? "python3" : "";
}

// Every peer present tests every archive: `unzip -t`, `7zz t`, and Python's
// testzip() with a byte-for-byte read of each member and the exact member
// list. A missing peer skips the test after the others have run.
void ExpectPeersAccept(const std::vector<PeerArchive>& archives) {
  std::vector<std::string> missing;
  if (testutil::HaveProgram("unzip")) {
    for (const PeerArchive& a : archives) {
      std::string password = a.password.empty() ? "" : "-P " + Quote(a.password) + " ";
      Captured r = RunShell("unzip -tqq " + password + Quote(a.path) + " </dev/null");
      EXPECT_EQ(r.status, 0) << "unzip -t, " << a.label << ":\n" << r.output;
    }
  } else {
    missing.push_back("unzip");
  }
  if (testutil::HaveProgram("7zz")) {
    for (const PeerArchive& a : archives) {
      std::string password = a.password.empty() ? "" : "-p" + Quote(a.password) + " ";
      Captured r = RunShell("7zz t -bd -bso0 -bsp0 " + password + Quote(a.path) + " </dev/null");
      EXPECT_EQ(r.status, 0) << "7zz t, " << a.label << ":\n" << r.output;
    }
  } else {
    missing.push_back("7zz");
  }
  std::string python = Python();
  if (!python.empty()) {
    TempDir work;
    WriteFileBytes(work / "check.py", ToBytes(kPythonCheck));
    std::string manifest = "[";
    int file = 0;
    for (const PeerArchive& a : archives) {
      manifest += (manifest.size() > 1 ? ",{" : "{") + JsonString("label") + ":" + JsonString(a.label) + "," +
                  JsonString("path") + ":" + JsonString(a.path) + "," + JsonString("password") + ":" +
                  JsonString(a.password) + "," + JsonString("members") + ":{";
      bool first = true;
      for (const auto& [name, data] : a.members) {
        std::string expected = work / ("m" + std::to_string(++file));
        WriteFileBytes(expected, data);
        manifest += (first ? "" : ",") + JsonString(name) + ":" + JsonString(expected);
        first = false;
      }
      manifest += "}}";
    }
    WriteFileBytes(work / "manifest.json", ToBytes(manifest + "]"));
    Captured r = RunShell(python + " " + Quote(work / "check.py") + " " + Quote(work / "manifest.json"));
    EXPECT_EQ(r.status, 0) << "Python zipfile:\n" << r.output;
  } else {
    missing.push_back("python3");
  }
  if (!missing.empty()) {
    std::string list;
    for (const std::string& m : missing) list += m + " ";
    CORVID_PEER_MISSING() << "peer programs missing: " << list;
  }
}

// --- Shared content ----------------------------------------------------------------

// One mixed set: compressible text, incompressible data, an empty file,
// folders, and data that changes character halfway.
Tree MixedTree() {
  return {
      {"readme.txt", TextBytes(30000, 1)},
      {"random.bin", RandomBytes(70000, 2)},
      {"empty.txt", {}},
      {"docs/notes.txt", TextBytes(200, 3)},
      {"docs/deep/zeros.bin", Bytes(40000, 0)},
      {"docs/deep/mixed.bin", Concat(TextBytes(20000, 4), RandomBytes(10000, 5))},
  };
}

// A writer that stores paths relative to `root` and takes every file below it.
void AddTreeRelative(TZipWriter& writer, const std::string& root) {
  writer.SetRelativePaths(true);
  writer.SetRootDir(root);
  writer.FilesList = {root + "/*"};
}

std::string SaveStub(const TempDir& tmp) {
  std::string stub = tmp / "stub.bin";
  EXPECT_TRUE(win::SaveResourceToFile("SFXBIN", win::RT_RCDATA, stub)) << "SFXBIN is not linked in";
  return stub;
}

// =====================================================================================
// Interop: what the writer makes, every peer opens.
// =====================================================================================

TEST(WriterInterop, EveryLevelWithAndWithoutPasswordIncludingAnUpdate) {
  TempDir tmp;
  const Tree tree = MixedTree();
  WriteTree(tmp / "src", tree);
  const Bytes streamed = TextBytes(5000, 6);
  std::vector<PeerArchive> archives;
  for (const std::string password : {"", "Secret-1"}) {
    for (int level = 0; level <= 9; ++level) {
      std::string label = "level " + std::to_string(level) + (password.empty() ? "" : " encrypted");
      std::string path = tmp / ("l" + std::to_string(level) + (password.empty() ? "" : "p") + ".zip");
      TZipWriter writer;
      writer.SetZipName(path);
      writer.SetPackLevel(level);
      writer.Password = password;
      AddTreeRelative(writer, tmp / "src");
      EXPECT_EQ(writer.Zip(), static_cast<int>(tree.size())) << label;
      // The second run goes through the update pass and carries every entry over.
      EXPECT_EQ(AddStream(writer, streamed, "stream.txt"), 1) << label;
      Tree expected = tree;
      expected["stream.txt"] = streamed;
      EXPECT_EQ(writer.Count(), static_cast<int>(expected.size())) << label;
      EXPECT_EQ(ReadBack(path, password), expected) << label;
      archives.push_back({label, path, expected, password});
    }
  }
  ExpectPeersAccept(archives);
}

// Folders: named files in subfolders with their paths, a recursive pattern
// relative to RootDir, and a pattern marked not to recurse.
TEST(WriterInterop, FoldersFromFilesListsAndPatterns) {
  TempDir tmp;
  const std::string src = tmp / "src";
  const Tree tree = MixedTree();
  WriteTree(src, tree);
  std::string absolute = src.substr(1) + "/";  // stored paths never begin with a separator

  struct Case {
    const char* label;
    std::function<void(TZipWriter&)> setup;
    Tree expected;
  };
  std::vector<Case> cases = {
      {"StorePaths with files named in subfolders",
       [&](TZipWriter& w) {
         w.SetStorePaths(true);
         w.FilesList = {src + "/docs/notes.txt", src + "/docs/deep/zeros.bin", src + "/readme.txt"};
       },
       {{absolute + "docs/notes.txt", tree.at("docs/notes.txt")},
        {absolute + "docs/deep/zeros.bin", tree.at("docs/deep/zeros.bin")},
        {absolute + "readme.txt", tree.at("readme.txt")}}},
      {"a recursive pattern relative to RootDir", [&](TZipWriter& w) { AddTreeRelative(w, src); }, tree},
      {"a pattern with Recurse off by its | mark",
       [&](TZipWriter& w) {
         AddTreeRelative(w, src);
         w.FilesList = {"|" + src + "/*.*"};
       },
       {{"readme.txt", tree.at("readme.txt")}, {"random.bin", tree.at("random.bin")}, {"empty.txt", {}}}},
      {"a pattern with Recurse on and paths from RootDir",
       [&](TZipWriter& w) {
         w.Recurse = true;
         w.SetStorePaths(true);
         w.SetRelativePaths(true);
         w.SetRootDir(src);
         w.FilesList = {src + "/docs/*.bin"};
       },
       {{"docs/deep/zeros.bin", tree.at("docs/deep/zeros.bin")},
        {"docs/deep/mixed.bin", tree.at("docs/deep/mixed.bin")}}},
  };
  std::vector<PeerArchive> archives;
  int n = 0;
  for (const Case& c : cases) {
    std::string path = tmp / ("f" + std::to_string(++n) + ".zip");
    TZipWriter writer;
    writer.SetZipName(path);
    c.setup(writer);
    EXPECT_EQ(writer.Zip(), static_cast<int>(c.expected.size())) << c.label;
    EXPECT_EQ(ReadBack(path), c.expected) << c.label << ": " << Names(ReadBack(path));
    archives.push_back({c.label, path, c.expected});
  }
  ExpectPeersAccept(archives);
}

// A second ZipFromStream of a name already held (in another case) replaces
// that entry where it stood: the count stays, the data is the new one.
TEST(WriterInterop, ReplacingAnEntryKeepsTheCountAndTakesTheNewData) {
  TempDir tmp;
  std::vector<PeerArchive> archives;
  for (const std::string password : {"", "pw"}) {
    std::string path = tmp / (password.empty() ? "plain.zip" : "encrypted.zip");
    TZipWriter writer;
    writer.SetZipName(path);
    writer.Password = password;
    writer.SetPackLevel(9);
    ASSERT_EQ(AddStream(writer, TextBytes(3000, 7), "Report.txt"), 1);
    ASSERT_EQ(AddStream(writer, RandomBytes(5000, 8), "data.bin"), 1);
    ASSERT_EQ(AddStream(writer, {}, "empty.txt"), 1);
    const Bytes fresh = TextBytes(9000, 9);
    writer.SetPackLevel(1);  // an update may use another level than the entries it keeps
    EXPECT_EQ(AddStream(writer, fresh, "REPORT.TXT"), 1);
    EXPECT_EQ(writer.Count(), 3);
    EXPECT_TRUE(SameTextNoCase(writer.FullName(0), "report.txt")) << "not replaced in place: " << writer.FullName(0);
    Tree expected = {{SlashName(writer.FullName(0)), fresh}, {"data.bin", RandomBytes(5000, 8)}, {"empty.txt", {}}};
    EXPECT_EQ(ReadBack(path, password), expected) << Names(ReadBack(path, password));
    // Replacing the empty entry by data, and the data by nothing.
    EXPECT_EQ(AddStream(writer, fresh, "Empty.txt"), 1);
    EXPECT_EQ(AddStream(writer, {}, "data.BIN"), 1);
    expected.erase("empty.txt");
    expected.erase("data.bin");
    expected["Empty.txt"] = fresh;
    expected["data.BIN"] = {};
    EXPECT_EQ(ReadBack(path, password), expected) << Names(ReadBack(path, password));
    archives.push_back({password.empty() ? "replaced" : "replaced, encrypted", path, expected, password});
  }
  ExpectPeersAccept(archives);
}

// zaUpdate and zaFreshen take a file only when it is newer than its entry;
// zaFreshen adds no new names; zaReplace takes every file.
TEST(WriterInterop, UpdateFreshenAndReplaceFollowFileDates) {
  const std::time_t archived = LocalTime(2020, 3, 10), newer = LocalTime(2021, 5, 1),
                    older = LocalTime(2019, 1, 2);
  const Bytes a_old = ToBytes("a, as archived"), a_new = ToBytes("a, edited later");
  const Bytes b_old = ToBytes("b, as archived"), b_new = ToBytes("b, restored from an older copy");
  const Bytes c_new = ToBytes("c, new");
  struct Case {
    TZipAction action;
    const char* label;
    int count;
    Tree expected;
  };
  const std::vector<Case> cases = {
      {TZipAction::zaUpdate, "zaUpdate", 2, {{"a.txt", a_new}, {"b.txt", b_old}, {"c.txt", c_new}}},
      {TZipAction::zaFreshen, "zaFreshen", 1, {{"a.txt", a_new}, {"b.txt", b_old}}},
      {TZipAction::zaReplace, "zaReplace", 3, {{"a.txt", a_new}, {"b.txt", b_new}, {"c.txt", c_new}}},
  };
  TempDir tmp;
  std::vector<PeerArchive> archives;
  for (const Case& c : cases) {
    std::string dir = tmp / c.label;
    std::string path = dir + "/files.zip";
    MakeFile(dir + "/a.txt", a_old);
    MakeFile(dir + "/b.txt", b_old);
    SetMtime(dir + "/a.txt", archived);
    SetMtime(dir + "/b.txt", archived);
    {
      TZipWriter first;
      first.SetZipName(path);
      first.FilesList = {dir + "/a.txt", dir + "/b.txt"};
      ASSERT_EQ(first.Zip(), 2);
    }
    MakeFile(dir + "/a.txt", a_new);
    MakeFile(dir + "/b.txt", b_new);
    MakeFile(dir + "/c.txt", c_new);
    SetMtime(dir + "/a.txt", newer);
    SetMtime(dir + "/b.txt", older);

    TZipWriter writer;
    writer.SetZipName(path);
    writer.ZipAction = c.action;
    writer.FilesList = {dir + "/a.txt", dir + "/b.txt", dir + "/c.txt"};
    EXPECT_EQ(writer.Zip(), c.count) << c.label;
    EXPECT_EQ(ReadBack(path), c.expected) << c.label << ": " << Names(ReadBack(path));
    for (const RawEntry& e : ParseRawFile(path).entries) {
      if (e.name == "a.txt") {
        EXPECT_EQ(e.time, UnixToDosDateTime(newer)) << c.label;
      }
    }
    archives.push_back({c.label, path, c.expected});
  }
  ExpectPeersAccept(archives);
}

// Names outside code page 437 are stored as UTF-8 with bit 11; the others
// in code page 437 without it. Peers and the reader see the names given.
// Names beyond ASCII are stored as flagged UTF-8, said to come from Unix
// (readers convert MS-DOS names from the OEM code page even when flagged),
// with a Unicode path field as well; every peer reads them back as given.
TEST(WriterInterop, NamesBeyondAsciiAreReadRightByEveryPeer) {
  const std::vector<std::string> names = {"привет.txt", "日本.txt", "café.txt", "Grüße €.txt", "plain.txt"};
  TempDir tmp;
  std::string path = tmp / "names.zip";
  TZipWriter writer;
  writer.SetZipName(path);
  Tree expected;
  for (const std::string& name : names) {
    ASSERT_EQ(AddStream(writer, ToBytes("named " + name), name), 1);
    expected[name] = ToBytes("named " + name);
  }
  RawArchive raw = ParseRawFile(path);
  ASSERT_EQ(raw.entries.size(), names.size());
  for (size_t i = 0; i < names.size(); ++i) {
    SCOPED_TRACE(names[i]);
    const RawEntry& e = raw.entries[i];
    const bool ascii = names[i] == "plain.txt";
    EXPECT_EQ(e.name, names[i]);
    EXPECT_EQ(e.l_name, names[i]);
    EXPECT_EQ((e.flags & kFlagUtf8Name) != 0, !ascii);
    EXPECT_EQ((e.l_flags & kFlagUtf8Name) != 0, !ascii);
    EXPECT_EQ(e.made_by >> 8, ascii ? 0 : 3);
    EXPECT_EQ(e.external >> 16, ascii ? 0u : 0100644u);
    EXPECT_EQ(e.extra, ascii ? 0u : 9u + names[i].size());
  }
  EXPECT_EQ(ReadBack(path), expected);
  ExpectPeersAccept({{"names", path, expected}});

  // The names each peer lists, one a line.
  std::string wanted;
  for (const std::string& name : std::set<std::string>(names.begin(), names.end())) wanted += name + "\n";
  struct Peer {
    const char* program;
    std::string command;
  } peers[] = {
      {"unzip", "LC_ALL=C.UTF-8 unzip -Z1 " + Quote(path)},
      {"7zz", "7zz l -slt -ba " + Quote(path) + " | sed -n 's/^Path = //p'"},
      {"python3", Python() + " -c 'import sys, zipfile; z = zipfile.ZipFile(sys.argv[1]); "
                                 "print(\"\\n\".join(z.namelist()))' " + Quote(path)},
  };
  for (const Peer& peer : peers) {
    if (!testutil::HaveProgram(peer.program)) continue;
    Captured r = RunShell(peer.command + " | LC_ALL=C sort");
    EXPECT_EQ(r.output, wanted) << peer.program;
  }
}

// =====================================================================================
// The records the writer lays down.
// =====================================================================================

TEST(WriterLayout, RecordsCarryTheWritersFieldsAtEveryLevel) {
  TempDir tmp;
  const Bytes text = TextBytes(50000, 10), noise = RandomBytes(3000, 11);
  for (int level = 0; level <= 9; ++level) {
    SCOPED_TRACE("level " + std::to_string(level));
    std::string path = tmp / ("l" + std::to_string(level) + ".zip");
    TZipWriter writer;
    writer.SetZipName(path);
    writer.SetPackLevel(level);
    ASSERT_EQ(AddStream(writer, text, "text.txt"), 1);
    ASSERT_EQ(AddStream(writer, noise, "noise.bin"), 1);
    ASSERT_EQ(AddStream(writer, {}, "empty.txt"), 1);
    RawArchive raw = ParseRawFile(path);
    ASSERT_EQ(raw.entries.size(), 3u);
    EXPECT_EQ(raw.this_disk, 0);
    EXPECT_EQ(raw.start_disk, 0);
    EXPECT_EQ(raw.entries_here, 3);
    EXPECT_EQ(raw.comment, 0);

    uint16_t level_bits = level >= 8 ? kFlagDeflateMax : (level == 1 || level == 2) ? kFlagDeflateFast : 0;
    const std::map<std::string, const Bytes*> data = {{"text.txt", &text}, {"noise.bin", &noise}, {"empty.txt", nullptr}};
    uint32_t expected_offset = 0;  // entries follow each other with nothing between
    for (const RawEntry& e : raw.entries) {
      SCOPED_TRACE(e.name);
      const Bytes empty;
      const Bytes& original = data.at(e.name) ? *data.at(e.name) : empty;
      EXPECT_EQ(e.offset, expected_offset);
      expected_offset = static_cast<uint32_t>(e.data + e.csize);
      EXPECT_EQ(e.made_by, 20);
      EXPECT_EQ(e.needed, 20);
      EXPECT_EQ(e.l_needed, 20);
      EXPECT_EQ(e.extra, 0);
      EXPECT_EQ(e.l_extra, 0);
      EXPECT_EQ(e.comment, 0);
      EXPECT_EQ(e.disk, 0);
      EXPECT_EQ(e.flags & kFlagDataDescriptor, 0);
      EXPECT_EQ(e.flags & (kFlagDeflateMax | kFlagDeflateFast), level_bits);
      // The local record was rewritten with the final values.
      EXPECT_EQ(e.l_flags, e.flags);
      EXPECT_EQ(e.l_method, e.method);
      EXPECT_EQ(e.l_time, e.time);
      EXPECT_EQ(e.l_crc, e.crc);
      EXPECT_EQ(e.l_csize, e.csize);
      EXPECT_EQ(e.l_usize, e.usize);
      EXPECT_EQ(e.l_name, e.name);
      EXPECT_EQ(e.crc, testutil::CrcOf(original));
      EXPECT_EQ(e.usize, original.size());
      if (level == 0) {
        EXPECT_EQ(e.method, 0);
        EXPECT_EQ(e.internal, 0);
        EXPECT_EQ(e.csize, e.usize);
      }
    }
    EXPECT_EQ(expected_offset, raw.central_offset);
    // Deflate found the text compressible at every level but 0.
    if (level > 0) {
      EXPECT_EQ(raw.entries[0].method, 8);
    }
  }
}

TEST(WriterLayout, TwoStreamsGiveTwoEntriesInCallOrder) {
  TempDir tmp;
  ::mkdir((tmp / "temp").c_str(), 0777);
  TZipWriter writer;
  writer.SetZipName(tmp / "two.zip");
  writer.TempPath = tmp / "temp";
  ASSERT_EQ(AddStream(writer, ToBytes("the first attachment"), "zeta.txt"), 1);
  ASSERT_EQ(AddStream(writer, ToBytes("the second attachment"), "alpha.txt"), 1);
  RawArchive raw = ParseRawFile(tmp / "two.zip");
  ASSERT_EQ(raw.entries.size(), 2u);
  EXPECT_EQ(raw.entries[0].name, "zeta.txt");
  EXPECT_EQ(raw.entries[1].name, "alpha.txt");
  EXPECT_LT(raw.entries[0].offset, raw.entries[1].offset);
  EXPECT_EQ(ReadBack(tmp / "two.zip"),
            (Tree{{"zeta.txt", ToBytes("the first attachment")}, {"alpha.txt", ToBytes("the second attachment")}}));
  EXPECT_EQ(TreeOf(tmp / "temp"), Tree{}) << "the update's temporary file stayed";
}

TEST(WriterLayout, AnEmptyStreamIsStoredWithSizesZeroAndCrcZero) {
  TempDir tmp;
  for (const std::string password : {"", "pw"}) {
    SCOPED_TRACE(password.empty() ? "plain" : "encrypted");
    std::string path = tmp / (password.empty() ? "plain.zip" : "encrypted.zip");
    TZipWriter writer;
    writer.SetZipName(path);
    writer.Password = password;
    ASSERT_EQ(AddStream(writer, {}, "empty.txt"), 1);
    RawArchive raw = ParseRawFile(path);
    ASSERT_EQ(raw.entries.size(), 1u);
    const RawEntry& e = raw.entries[0];
    EXPECT_EQ(e.method, 0);
    EXPECT_EQ(e.csize, password.empty() ? 0u : 12u);
    EXPECT_EQ(e.usize, 0u);
    EXPECT_EQ(e.crc, 0u);
    EXPECT_EQ((e.flags & kFlagEncrypted) != 0, !password.empty());
    EXPECT_EQ(ReadBack(path, password), (Tree{{"empty.txt", {}}}));
  }
}

TEST(WriterLayout, AStreamEntryIsAnArchiveFileStampedNow) {
  TempDir tmp;
  TZipWriter writer;
  writer.SetZipName(tmp / "now.zip");
  std::time_t before = std::time(nullptr);
  ASSERT_EQ(AddStream(writer, ToBytes("now"), "now.txt"), 1);
  std::time_t after = std::time(nullptr);
  RawArchive raw = ParseRawFile(tmp / "now.zip");
  ASSERT_EQ(raw.entries.size(), 1u);
  EXPECT_EQ(raw.entries[0].external, 32u);
  std::time_t stamped = DosDateTimeToUnix(raw.entries[0].time);
  EXPECT_GE(stamped, before - 2);  // DOS times count in steps of two seconds
  EXPECT_LE(stamped, after + 2);
}

// Each encryption header starts with ten bytes from a freshly seeded
// generator: the same password and data never give the same header.
TEST(WriterLayout, EncryptionHeadersDifferForTheSamePasswordAndData) {
  TempDir tmp;
  const Bytes data = TextBytes(1000, 12);
  std::vector<Bytes> headers;
  for (const char* name : {"one.zip", "two.zip"}) {
    TZipWriter writer;
    writer.SetZipName(tmp / name);
    writer.Password = "same";
    ASSERT_EQ(AddStream(writer, data, "same.txt"), 1);
    Bytes bytes = ReadFileBytes(tmp / name);
    RawArchive raw = ParseRaw(bytes);
    ASSERT_EQ(raw.entries.size(), 1u);
    Bytes header(bytes.begin() + static_cast<long>(raw.entries[0].data),
                 bytes.begin() + static_cast<long>(raw.entries[0].data) + kEncryptionHeaderBytes);
    TZipCipher cipher;
    cipher.Init("same");
    cipher.DecryptBuffer(header.data(), header.size());
    EXPECT_EQ(header[11], static_cast<uint8_t>(raw.entries[0].crc >> 24)) << "check byte";
    headers.push_back(header);
  }
  EXPECT_NE(Bytes(headers[0].begin(), headers[0].begin() + 10), Bytes(headers[1].begin(), headers[1].begin() + 10));
}

// =====================================================================================
// Self-extracting archives.
// =====================================================================================

TEST(WriterSfx, TheExeIsTheStubThenTheArchiveWithOffsetsFromItsStart) {
  for (const std::string password : {"", "Open-Sesame"}) {
    SCOPED_TRACE(password.empty() ? "plain" : "encrypted");
    TempDir tmp;
    const std::string stub = SaveStub(tmp);
    const Bytes stub_bytes = ReadFileBytes(stub);
    const Tree tree = MixedTree();
    WriteTree(tmp / "src", tree);
    const std::string zip = tmp / "mail.zip";
    TZipWriter writer;
    writer.SetZipName(zip);
    writer.Password = password;
    AddTreeRelative(writer, tmp / "src");
    ASSERT_EQ(writer.Zip(), static_cast<int>(tree.size()));
    const Bytes zip_bytes = ReadFileBytes(zip);
    const int count = writer.Count();

    writer.MakeSFX(stub);
    const std::string exe = TZipWriter::SfxName(zip);
    EXPECT_EQ(exe, tmp / "mail.exe");
    EXPECT_EQ(ReadFileBytes(zip), zip_bytes) << "the archive changed";
    EXPECT_EQ(writer.ZipName(), zip);
    EXPECT_EQ(writer.Count(), count);
    const Bytes exe_bytes = ReadFileBytes(exe);
    ASSERT_GT(exe_bytes.size(), stub_bytes.size());
    EXPECT_TRUE(std::equal(stub_bytes.begin(), stub_bytes.end(), exe_bytes.begin())) << "the stub is not first";

    // Every offset counts from the start of the .exe: the same layout as the
    // archive's, moved by the stub's length.
    RawArchive in_zip = ParseRaw(zip_bytes), in_exe = ParseRaw(exe_bytes);
    EXPECT_EQ(in_exe.central_offset, in_zip.central_offset + stub_bytes.size());
    ASSERT_EQ(in_exe.entries.size(), in_zip.entries.size());
    for (size_t i = 0; i < in_zip.entries.size(); ++i) {
      EXPECT_EQ(in_exe.entries[i].name, in_zip.entries[i].name);
      EXPECT_EQ(in_exe.entries[i].offset, in_zip.entries[i].offset + stub_bytes.size()) << in_exe.entries[i].name;
      EXPECT_EQ(in_exe.entries[i].crc, in_zip.entries[i].crc);
    }
    EXPECT_EQ(ReadBack(exe, password), tree);  // no recovery scan needed

    // Run it where it cannot reach a terminal: a password comes from stdin.
    ::mkdir((tmp / "run").c_str(), 0777);
    ::mkdir((tmp / "run/out").c_str(), 0777);
    WriteFileBytes(tmp / "run/password", ToBytes(password + "\n"));
    Captured r = RunShell("cd " + Quote(tmp / "run") + " && setsid -w " + Quote(exe) + " -d out < password");
    EXPECT_EQ(r.status, 0) << r.output;
    Tree extracted = TreeOf(tmp / "run/out");
    Tree expected = tree;
    expected["docs/"] = {};
    expected["docs/deep/"] = {};
    EXPECT_EQ(extracted, expected) << Names(extracted);

    ExpectPeersAccept({{"sfx", exe, tree, password}});
  }
}

// ZipFromStream names its entry in FilesList; a later MakeSFX must not take
// that name for a file to add (RootDir or the current folder may hold one).
TEST(WriterSfx, MakeSfxAfterZipFromStreamKeepsTheStreamsData) {
  TempDir tmp;
  const std::string stub = SaveStub(tmp);
  MakeFile(tmp / "root/attachment.txt", ToBytes("an unrelated file of the same name"));
  SetMtime(tmp / "root/attachment.txt", std::time(nullptr) + 86400);
  const Bytes data = ToBytes("the attachment's own data");
  TZipWriter writer;
  writer.SetZipName(tmp / "mail.zip");
  writer.SetRootDir(tmp / "root");
  std::vector<std::string> no_such;
  writer.OnNoSuchFile = [&](TZipWriter*, const std::string& name) { no_such.push_back(name); };
  ASSERT_EQ(AddStream(writer, data, "other.txt"), 1);
  ASSERT_EQ(AddStream(writer, data, "attachment.txt"), 1);
  writer.MakeSFX(stub);
  EXPECT_EQ(ReadBack(tmp / "mail.exe"), (Tree{{"other.txt", data}, {"attachment.txt", data}}));
  EXPECT_TRUE(no_such.empty()) << no_such.front();
}

// =====================================================================================
// Failures leave nothing behind.
// =====================================================================================

// Runs `body` in a child process whose files cannot grow past `limit` bytes.
// Returns 0 when it raised one of the system's exceptions, 1 when it
// returned, 2 on anything else.
int InChildWithFileLimit(rlim_t limit, const std::function<void()>& body) {
  std::fflush(nullptr);
  pid_t pid = ::fork();
  if (pid == 0) {
    ::signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails instead of killing
    rlimit rl{limit, limit};
    ::setrlimit(RLIMIT_FSIZE, &rl);
    int code = 1;
    try {
      body();
    } catch (const Exception&) {
      code = 0;
    } catch (...) {
      code = 2;
    }
    ::_exit(code);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

enum class Trigger { kStopNowInStartZipInfo, kCancelInStartZip, kCancelInProgress, kWriteFails };

struct FailureCase {
  const char* label;
  Trigger trigger;
  bool update;
  const char* message;  // of the EUserCanceled raised
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.label; }

class WriterFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(WriterFailure, LeavesNoArchiveOrTheOldOneUntouched) {
  const FailureCase& c = GetParam();
  TempDir tmp;
  const std::string zip = tmp / "mail.zip", temp = tmp / "temp";
  ::mkdir(temp.c_str(), 0777);
  const Bytes old_data = TextBytes(2000, 13), big = RandomBytes(200000, 14);
  if (c.update) {
    TZipWriter first;
    first.SetZipName(zip);
    ASSERT_EQ(AddStream(first, old_data, "old.txt"), 1);
  }
  const Bytes before = c.update ? ReadFileBytes(zip) : Bytes{};

  TZipWriter writer;
  writer.SetZipName(zip);
  writer.TempPath = temp;
  if (c.trigger == Trigger::kStopNowInStartZipInfo)
    writer.OnStartZipInfo = [](TZipWriter*, int, int64_t, TEndCentral&, bool& stop) { stop = true; };
  if (c.trigger == Trigger::kCancelInStartZip)
    writer.OnStartZip = [](TZipWriter* w, const std::string&, TZipHeaderInfo&, bool&) { w->Cancel(); };
  if (c.trigger == Trigger::kCancelInProgress)
    writer.OnFilePercentDone = [&](TZipReader*, int) { writer.Cancel(); };

  if (c.trigger == Trigger::kWriteFails) {
    EXPECT_EQ(InChildWithFileLimit(before.size() + 20000, [&] { AddStream(writer, big, "big.bin"); }), 0);
  } else {
    try {
      AddStream(writer, big, "big.bin");
      ADD_FAILURE() << "no exception";
    } catch (const EUserCanceled& e) {
      EXPECT_STREQ(e.what(), c.message);
    }
  }
  if (c.update) {
    EXPECT_EQ(ReadFileBytes(zip), before) << "the old archive changed";
  } else {
    EXPECT_FALSE(PathExists(zip)) << "a partial archive stayed";
  }
  Tree left = TreeOf(tmp.path());
  std::set<std::string> names;
  for (const auto& [name, data] : left) names.insert(name);
  std::set<std::string> expected_names = {"temp/"};
  if (c.update) expected_names.insert("mail.zip");
  EXPECT_EQ(names, expected_names) << "stray files: " << Names(left);

  if (c.trigger == Trigger::kWriteFails) return;  // that writer lived in the child
  // The writer is still usable, and still knows the old entries.
  writer.OnStartZipInfo = nullptr;
  writer.OnStartZip = nullptr;
  writer.OnFilePercentDone = nullptr;
  ASSERT_EQ(AddStream(writer, ToBytes("after"), "after.txt"), 1);
  Tree expected = {{"after.txt", ToBytes("after")}};
  if (c.update) expected["old.txt"] = old_data;
  EXPECT_EQ(ReadBack(zip), expected);
}

INSTANTIATE_TEST_SUITE_P(
    , WriterFailure,
    ::testing::Values(
        FailureCase{"StopNowInOnStartZipInfo_New", Trigger::kStopNowInStartZipInfo, false, "User canceled Zip operation"},
        FailureCase{"StopNowInOnStartZipInfo_Update", Trigger::kStopNowInStartZipInfo, true, "User canceled Zip operation"},
        FailureCase{"CancelInOnStartZip_New", Trigger::kCancelInStartZip, false, kMsgUserAborted},
        FailureCase{"CancelInOnStartZip_Update", Trigger::kCancelInStartZip, true, kMsgUserAborted},
        FailureCase{"CancelInOnFilePercentDone_New", Trigger::kCancelInProgress, false, kMsgUserAborted},
        FailureCase{"CancelInOnFilePercentDone_Update", Trigger::kCancelInProgress, true, kMsgUserAborted},
        FailureCase{"OutputCannotBeWritten_New", Trigger::kWriteFails, false, ""},
        FailureCase{"OutputCannotBeWritten_Update", Trigger::kWriteFails, true, ""}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(WriterFiles, AMissingSourceIsReportedAndTheRestIsAdded) {
  TempDir tmp;
  MakeFile(tmp / "a.txt", ToBytes("a"));
  MakeFile(tmp / "c.txt", ToBytes("c"));
  TZipWriter writer;
  writer.SetZipName(tmp / "files.zip");
  std::vector<std::string> missing;
  writer.OnNoSuchFile = [&](TZipWriter*, const std::string& name) { missing.push_back(name); };
  writer.FilesList = {tmp / "a.txt", tmp / "b.txt", tmp / "c.txt"};
  EXPECT_EQ(writer.Zip(), 2);
  EXPECT_EQ(missing, std::vector<std::string>{tmp / "b.txt"});
  EXPECT_EQ(ReadBack(tmp / "files.zip"), (Tree{{"a.txt", ToBytes("a")}, {"c.txt", ToBytes("c")}}));
}

TEST(WriterFiles, MoreEntriesThanADirectoryCountsAreRefusedBeforeAnythingIsWritten) {
  TempDir tmp;
  ::mkdir((tmp / "many").c_str(), 0777);
  for (int i = 0; i <= kMaxListCapacity; ++i) WriteFileBytes(tmp / ("many/" + std::to_string(i)), {});
  ZipBuilder existing;
  existing.Stored("old.txt", ToBytes("old"));
  const Bytes old_bytes = existing.Build();
  for (bool update : {false, true}) {
    SCOPED_TRACE(update ? "update" : "new");
    const std::string archive = tmp / "many.zip";
    if (update) WriteFileBytes(archive, old_bytes);
    TZipWriter writer;
    writer.SetZipName(archive);
    bool started = false;
    writer.OnStartZipInfo = [&](TZipWriter*, int, int64_t, TEndCentral&, bool&) { started = true; };
    writer.FilesList = {tmp / "many/*"};
    const std::string before = update ? "1" : "0";
    const std::string after = update ? "65537" : "65536";
    const std::string added = "65536";
    try {
      writer.Zip();
      ADD_FAILURE() << "wrote " << writer.Count() << " entries";
    } catch (const EZipError& e) {
      EXPECT_EQ(std::string(e.what()), "An archive holds at most 65535 entries; adding " + added +
                                           " new ones to the " + before + " it has would make " + after +
                                           ". Nothing was written.");
    }
    EXPECT_FALSE(started);
    if (update) EXPECT_EQ(ReadFileBytes(archive), old_bytes);
    else EXPECT_FALSE(PathExists(archive));
  }
}

// A pattern with a backslash is matched against the whole name (the source
// path for ExcludeList, the entry's FileName alone for NoCompressList); any
// other pattern against the last component. Case never matters.
TEST(WriterFiles, ExcludeAndNoCompressPatterns) {
  const Bytes text = TextBytes(4000, 15);
  const Tree files = {{"a.txt", text}, {"b.log", text}, {"sub/c.txt", text}, {"sub/d.log", text}};
  struct Case {
    const char* label;
    std::vector<std::string> exclude, no_compress;
    std::map<std::string, int> methods;  // entry -> method; absent: excluded
  };
  const std::vector<Case> cases = {
      {"exclude by extension in every folder", {"*.log"}, {}, {{"a.txt", 8}, {"sub/c.txt", 8}}},
      {"exclude ignores case", {"A.TXT"}, {}, {{"b.log", 8}, {"sub/c.txt", 8}, {"sub/d.log", 8}}},
      {"exclude with a backslash matches the whole path", {"*\\sub\\*.txt"}, {},
       {{"a.txt", 8}, {"b.log", 8}, {"sub/d.log", 8}}},
      {"exclude with a backslash that is not the whole path", {"sub\\*.txt"}, {},
       {{"a.txt", 8}, {"b.log", 8}, {"sub/c.txt", 8}, {"sub/d.log", 8}}},
      {"no compression by extension", {}, {"*.TXT"}, {{"a.txt", 0}, {"b.log", 8}, {"sub/c.txt", 0}, {"sub/d.log", 8}}},
      {"no compression with a backslash sees no folder", {}, {"*\\sub\\*.txt"},
       {{"a.txt", 8}, {"b.log", 8}, {"sub/c.txt", 8}, {"sub/d.log", 8}}},
  };
  TempDir tmp;
  WriteTree(tmp / "src", files);
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    std::string path = tmp / ("p" + std::to_string(++n) + ".zip");
    TZipWriter writer;
    writer.SetZipName(path);
    writer.SetPackLevel(9);
    AddTreeRelative(writer, tmp / "src");
    writer.ExcludeList = c.exclude;
    writer.NoCompressList = c.no_compress;
    writer.Zip();
    std::map<std::string, int> methods;
    for (const RawEntry& e : ParseRawFile(path).entries) methods[e.name] = e.method;
    EXPECT_EQ(methods, c.methods);
    Tree expected;
    for (const auto& [name, method] : c.methods) expected[name] = files.at(name);
    EXPECT_EQ(ReadBack(path), expected);
  }
}

// =====================================================================================
// Block spanning and caller streams.
// =====================================================================================

TEST(WriterSpanning, BlocksAreNumberedAndReadBackWhole) {
  TempDir tmp;
  const Tree files = {{"one.bin", RandomBytes(150000, 16)},
                      {"two.txt", TextBytes(100000, 17)},
                      {"three.bin", RandomBytes(60000, 18)}};
  WriteTree(tmp / "src", files);
  TZipWriter writer;
  writer.SetZipName(tmp / "out/set.zip");
  ::mkdir((tmp / "out").c_str(), 0777);
  writer.MultiZipInfo.MultiMode = TMultiMode::mmBlocks;
  writer.MultiZipInfo.BlockSize = 65536;
  writer.MultiZipInfo.FirstBlockSize = 65536;
  writer.FilesList = {tmp / "src/one.bin", tmp / "src/two.txt", tmp / "src/three.bin"};
  ASSERT_EQ(writer.Zip(), 3);

  Tree volumes = TreeOf(tmp / "out");
  ASSERT_GE(volumes.size(), 4u) << Names(volumes);
  int number = 0;
  for (const auto& [name, bytes] : volumes) {
    char expected[16];
    std::snprintf(expected, sizeof expected, "set.%03d", ++number);
    EXPECT_EQ(name, expected);
    EXPECT_LE(bytes.size(), 65536u) << name;
  }
  EXPECT_EQ(writer.ZipName(), tmp / ("out/" + volumes.rbegin()->first));
  EXPECT_EQ(ReadBack(writer.ZipName()), files);
}

// A block set is updated into one file named as the set's last block; the
// volumes are never written over the set they are read from, so an update
// into volumes is refused before anything is touched.
TEST(WriterSpanning, ABlockSetIsUpdatedIntoOneFileAndNeverWrittenOver) {
  TempDir tmp;
  const Bytes one = RandomBytes(150000, 22), two = TextBytes(3000, 23);
  TZipWriter writer;
  writer.SetZipName(tmp / "set.zip");
  writer.MultiZipInfo.MultiMode = TMultiMode::mmBlocks;
  writer.MultiZipInfo.BlockSize = 65536;
  writer.MultiZipInfo.FirstBlockSize = 65536;
  ASSERT_EQ(AddStream(writer, one, "one.bin"), 1);  // spans set.001 to set.003
  const std::string last = writer.ZipName();
  ASSERT_EQ(last, tmp / "set.003");
  const Tree volumes = TreeOf(tmp.path());

  EXPECT_THROW(AddStream(writer, two, "two.bin"), EZipError);
  EXPECT_EQ(TreeOf(tmp.path()), volumes) << "the set changed";
  EXPECT_EQ(writer.ZipName(), last);

  writer.MultiZipInfo.MultiMode = TMultiMode::mmNone;
  ASSERT_EQ(AddStream(writer, two, "two.bin"), 1);
  EXPECT_EQ(writer.ZipName(), last);
  EXPECT_EQ(ReadBack(last), (Tree{{"one.bin", one}, {"two.bin", two}}));
}

TEST(WriterSpanning, ASingleBlockTakesTheArchiveName) {
  TempDir tmp;
  TZipWriter writer;
  writer.SetZipName(tmp / "small.zip");
  writer.MultiZipInfo.MultiMode = TMultiMode::mmBlocks;
  writer.MultiZipInfo.BlockSize = 65536;
  writer.MultiZipInfo.FirstBlockSize = 65536;
  ASSERT_EQ(AddStream(writer, TextBytes(1000, 19), "small.txt"), 1);
  EXPECT_EQ(writer.ZipName(), tmp / "small.zip");
  Tree left = TreeOf(tmp.path());
  ASSERT_EQ(left.size(), 1u) << Names(left);
  EXPECT_EQ(left.begin()->first, "small.zip");
  EXPECT_EQ(ReadBack(tmp / "small.zip"), (Tree{{"small.txt", TextBytes(1000, 19)}}));
}

// =====================================================================================
// Robustness of updates: permissions, links, concurrent and killed writers,
// sources that change or cannot be read.
// =====================================================================================

// The names in `dir`, space-separated.
std::string NamesIn(const std::string& dir) {
  std::string names;
  for (const auto& [name, data] : TreeOf(dir)) names += (names.empty() ? "" : " ") + name;
  return names;
}

// Runs `body` in a child process; returns its exit status (-1 when killed).
int InChild(const std::function<int()>& body) {
  std::fflush(nullptr);
  pid_t pid = ::fork();
  if (pid == 0) {
    int code = 3;
    try {
      code = body();
    } catch (...) {
    }
    ::_exit(code);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(WriterLayout, DataDeflateWouldGrowIsStored) {
  TempDir tmp;
  const Bytes noise = RandomBytes(150000, 31), tiny = ToBytes("tiny"), text = TextBytes(50000, 32);
  for (const std::string password : {"", "pw"}) {
    SCOPED_TRACE(password);
    const std::string path = tmp / ("grow" + password + ".zip");
    TZipWriter writer;
    writer.SetZipName(path);
    writer.Password = password;
    for (auto [name, data] : {std::pair{"noise.bin", &noise}, {"tiny.txt", &tiny}, {"text.txt", &text}})
      ASSERT_EQ(AddStream(writer, *data, name), 1);
    RawArchive raw = ParseRawFile(path);
    ASSERT_EQ(raw.entries.size(), 3u);
    const uint32_t overhead = password.empty() ? 0 : 12;
    for (const RawEntry& e : raw.entries) {
      SCOPED_TRACE(e.name);
      EXPECT_EQ(e.method, e.name == "text.txt" ? 8 : 0);
      EXPECT_EQ(e.l_method, e.method);
      EXPECT_LE(e.csize, e.usize + overhead);
    }
    // Nothing of the Deflate attempt is left between the entries.
    EXPECT_EQ(raw.entries[1].offset, raw.entries[0].data + noise.size() + overhead);
    Tree expected = {{"noise.bin", noise}, {"tiny.txt", tiny}, {"text.txt", text}};
    EXPECT_EQ(ReadBack(path, password), expected);
    ExpectPeersAccept({{"grow", path, expected, password}});
  }
}

TEST(WriterUpdate, DeleteRemovesTheEntriesNamedOrMatched) {
  TempDir tmp;
  const std::string zip = tmp / "del.zip";
  TZipWriter writer;
  writer.SetZipName(zip);
  writer.SetStorePaths(true);
  for (const char* name : {"a.txt", "dir\\b.txt", "dir\\c.log", "dir\\d.txt"})
    ASSERT_EQ(AddStream(writer, ToBytes(name), name), 1);

  TZipWriter deleter;
  deleter.SetZipName(zip);
  std::vector<std::string> asked;
  deleter.OnDeleteEntry = [&](TZipWriter*, const std::string& name, bool& keep) {
    asked.push_back(name);
    keep = name == "dir\\d.txt";
  };
  deleter.FilesList = {"dir/*.txt", "A.TXT", "missing"};
  EXPECT_EQ(deleter.Delete(), 2);
  EXPECT_EQ(asked, (std::vector<std::string>{"a.txt", "dir\\b.txt", "dir\\d.txt"}));
  const Tree expected = {{"dir/c.log", ToBytes("dir\\c.log")}, {"dir/d.txt", ToBytes("dir\\d.txt")}};
  EXPECT_EQ(ReadBack(zip), expected);
  ExpectPeersAccept({{"deleted", zip, expected}});

  TZipWriter nothing;
  nothing.SetZipName(tmp / "none.zip");
  nothing.FilesList = {"*"};
  EXPECT_THROW(nothing.Delete(), EZipError);
  EXPECT_FALSE(PathExists(tmp / "none.zip"));
}

TEST(WriterUpdate, KeepsThePermissionsAndUpdatesThroughALink) {
  TempDir tmp;
  ::mkdir((tmp / "real").c_str(), 0777);
  const std::string real = tmp / "real/mail.zip", link = tmp / "link.zip";
  for (mode_t mode : {0644, 0640, 0604}) {
    SCOPED_TRACE(mode);
    ::unlink(real.c_str());
    ::unlink(link.c_str());
    TZipWriter first;
    first.SetZipName(real);
    ASSERT_EQ(AddStream(first, ToBytes("one"), "one.txt"), 1);
    ASSERT_EQ(::chmod(real.c_str(), mode), 0);
    ASSERT_EQ(::symlink("real/mail.zip", link.c_str()), 0);

    TZipWriter update;
    update.SetZipName(link);
    ASSERT_EQ(AddStream(update, ToBytes("two"), "two.txt"), 1);
    struct stat st;
    ASSERT_EQ(::lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link was replaced";
    ASSERT_EQ(::stat(real.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, mode);
    EXPECT_EQ(ReadBack(real), (Tree{{"one.txt", ToBytes("one")}, {"two.txt", ToBytes("two")}}));
    EXPECT_EQ(NamesIn(tmp / "real"), "mail.zip");  // nothing else left beside it
  }
}

TEST(WriterUpdate, ConcurrentWritersOfOneArchiveLoseNothing) {
  TempDir tmp;
  const std::string zip = tmp / "shared.zip";
  constexpr int kWriters = 8;
  std::vector<pid_t> children;
  std::fflush(nullptr);
  for (int i = 0; i < kWriters; ++i) {
    pid_t pid = ::fork();
    if (pid == 0) {
      int code = 1;
      try {
        TZipWriter writer;
        writer.SetZipName(zip);
        code = AddStream(writer, RandomBytes(100000, static_cast<uint32_t>(i)), "w" + std::to_string(i)) == 1 ? 0 : 1;
      } catch (...) {
      }
      ::_exit(code);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  Tree expected;
  for (int i = 0; i < kWriters; ++i) expected["w" + std::to_string(i)] = RandomBytes(100000, static_cast<uint32_t>(i));
  EXPECT_EQ(ReadBack(zip), expected);
}

TEST(WriterUpdate, AKilledWriterLeavesNoArchiveAndItsLeftoverIsSweptLater) {
  TempDir tmp;
  const std::string zip = tmp / "new.zip";
  const Bytes big = RandomBytes(300000, 21);
  int status = InChild([&] {
    TZipWriter writer;
    writer.SetZipName(zip);
    writer.OnFilePercentDone = [](TZipReader*, int percent) {
      if (percent >= 50) ::kill(::getpid(), SIGKILL);
    };
    AddStream(writer, big, "big.bin");
    return 0;
  });
  EXPECT_EQ(status, -1);
  EXPECT_FALSE(PathExists(zip)) << "a torn archive under the final name";
  std::string left = NamesIn(tmp.path());
  EXPECT_EQ(left.rfind(".corvid-tmp-", 0), 0u) << left;

  TZipWriter next;
  next.SetZipName(tmp / "other.zip");
  ASSERT_EQ(AddStream(next, ToBytes("x"), "x.txt"), 1);
  EXPECT_EQ(NamesIn(tmp.path()), "other.zip");
}

TEST(WriterFiles, ASourceThatChangesWhileReadIsReported) {
  TempDir tmp;
  const std::string source = tmp / "growing.log";
  WriteFileBytes(source, RandomBytes(400000, 22));
  for (bool shrink : {true, false}) {
    SCOPED_TRACE(shrink ? "shrinks" : "written to");
    TZipWriter writer;
    writer.SetZipName(tmp / (shrink ? "a.zip" : "b.zip"));
    writer.SetPackLevel(0);
    bool touched = false;
    writer.OnFilePercentDone = [&](TZipReader*, int) {
      if (touched) return;
      touched = true;
      if (shrink) {
        ASSERT_EQ(::truncate(source.c_str(), 1000), 0);
      } else {
        std::FILE* f = std::fopen(source.c_str(), "r+");
        std::fputs("changed", f);
        std::fclose(f);
      }
    };
    std::vector<std::string> changed;
    writer.OnFileChanged = [&](TZipWriter*, const std::string& name) { changed.push_back(name); };
    writer.FilesList = {source};
    EXPECT_EQ(writer.Zip(), 1);
    EXPECT_EQ(changed, std::vector<std::string>{source});
    WriteFileBytes(source, RandomBytes(400000, 22));
  }
  // Left alone, a source is not reported.
  TZipWriter quiet;
  quiet.SetZipName(tmp / "c.zip");
  bool reported = false;
  quiet.OnFileChanged = [&](TZipWriter*, const std::string&) { reported = true; };
  quiet.FilesList = {source};
  EXPECT_EQ(quiet.Zip(), 1);
  EXPECT_FALSE(reported);
}

TEST(WriterFiles, AFolderTheWalkCannotOpenIsReported) {
  TempDir tmp;
  const std::string src = tmp / "src";
  MakeFile(src + "/a.txt", ToBytes("a"));
  MakeFile(src + "/locked/b.txt", ToBytes("b"));
  ASSERT_EQ(::chmod((src + "/locked").c_str(), 0), 0);
  ASSERT_EQ(::chmod(tmp.path().c_str(), 0777), 0);
  // Permissions bind only those who are not root.
  int status = InChild([&] {
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) return 4;
    TZipWriter writer;
    writer.SetZipName(tmp / "out.zip");
    writer.Recurse = true;
    std::vector<std::string> skipped;
    writer.OnSkippingFile = [&](TZipReader*, TSkipReason reason, const std::string& name, int) {
      if (reason == TSkipReason::skipOpenFailed) skipped.push_back(name);
    };
    writer.FilesList = {">" + src + "/*"};
    if (writer.Zip() != 1) return 5;
    return skipped == std::vector<std::string>{src + "/locked/"} ? 0 : 6;
  });
  ::chmod((src + "/locked").c_str(), 0755);
  EXPECT_EQ(status, 0);
}

TEST(WriterStreams, AnArchiveInACallersStreamIsUpdated) {
  TempDir tmp;
  const Bytes first = TextBytes(3000, 20), second = RandomBytes(3000, 21);
  {
    TZipWriter maker;
    maker.SetZipName(tmp / "base.zip");
    ASSERT_EQ(AddStream(maker, first, "first.txt"), 1);
  }
  TZipWriter writer;
  writer.SetArchiveStream(new TMemoryStream(ReadFileBytes(tmp / "base.zip")));
  ASSERT_EQ(AddStream(writer, second, "second.bin"), 1);
  EXPECT_EQ(writer.Count(), 2);
  auto* held = dynamic_cast<TMemoryStream*>(writer.ArchiveStream());
  ASSERT_NE(held, nullptr);
  WriteFileBytes(tmp / "updated.zip", held->Bytes());
  const Tree expected = {{"first.txt", first}, {"second.bin", second}};
  EXPECT_EQ(ReadBack(tmp / "updated.zip"), expected);
  ExpectPeersAccept({{"caller stream", tmp / "updated.zip", expected}});
}

}  // namespace
}  // namespace corvid::zip
