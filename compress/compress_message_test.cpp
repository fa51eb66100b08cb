#include "compress/compress_message.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/log.h"
#include "platform/mapi/linked_store.h"
#include "platform/mapi/mapi_procedures.h"
#include "platform/mapi/mapi_test_support.h"
#include "testutil/mime_text.h"
#include "testutil/pipeline_test.h"
#include "platform/win/resources.h"
#include "settings/catalogue.h"
#include "ui/presenter.h"
#include "zip/stream.h"
#include "zip/zip_writer.h"

namespace corvid::compress {
namespace {

using namespace mapi;
using namespace mapi::test;
using settings::TOptionsContainer;
using corvid::test::TShown;

// ---------------------------------------------------------------------------
// Masks.

TEST(NormalizeFileMaskTest, Table) {
  const std::pair<const char*, const char*> cases[] = {
      {"ZIP", "*.ZIP"},   {".zip", "*.zip"},       {"doc", "*.doc"},   {"Z", "*.Z"},
      {"ARCHIVE", "ARCHIVE"}, {"a.b", "a.b"},      {"*", "*"},         {"", ""},
      {"?.zip", "?.zip"}, {"ÄÖÜß", "*.ÄÖÜß"},      {"ÄÖÜßx", "ÄÖÜßx"},  // characters, not bytes
      {".tar.gz", "*.tar.gz"},
  };
  for (const auto& [text, mask] : cases) EXPECT_EQ(NormalizeFileMask(text), mask) << "\"" << text << "\"";
}

TEST(SkipListTest, SplitsLikeACommaList) {
  using TList = std::vector<std::string>;
  EXPECT_EQ(SplitSkipList("*.ZIP\r\n*.ARJ\r\n"), (TList{"*.ZIP", "*.ARJ"}));
  EXPECT_EQ(SplitSkipList("my file.txt"), (TList{"my", "file.txt"}));
  EXPECT_EQ(SplitSkipList("\"my file.txt\"\r\nx"), (TList{"my file.txt", "x"}));
  EXPECT_EQ(SplitSkipList("\"say \"\"hi\"\"\""), (TList{"say \"hi\""}));
  EXPECT_EQ(SplitSkipList(" a , b,,c\t"), (TList{"a", "b", "", "c"}));
  EXPECT_EQ(SplitSkipList(""), TList{});
  EXPECT_EQ(SplitSkipList(std::string("a\0b", 3)), TList{"a"});
}

TEST(SkipListTest, PassesSkipList) {
  const std::string defaults = settings::kSkipFiles.default_value;
  struct TCase {
    const char* name;
    const char* list;
    bool passes;
  };
  const TCase cases[] = {
      {"DATA.ZIP", defaults.c_str(), false}, {"x.tgz", defaults.c_str(), false}, {"old.Z", defaults.c_str(), false},
      {"report.doc", defaults.c_str(), true}, {"old.zap", defaults.c_str(), true},
      {"Report.DOC", "doc", false},            {"doc", "doc", true},  // the item means *.doc
      {"my file.txt", "my file.txt", true},     // two items MY and FILE.TXT
      {"FILE.TXT", "my file.txt", false},       {"my file.txt", "\"my file.txt\"", false},
      {"archive", "ARCHIVE", false},            {"archive.bin", "ARCHIVE", true},
      {"anything", "", true},                   {"x.bin", ",,\r\n", true},  // empty items match nothing
  };
  for (const TCase& c : cases) {
    EXPECT_EQ(PassesSkipList(c.name, c.list), c.passes) << c.name << " / " << c.list;
  }
}

// ---------------------------------------------------------------------------
// The pipeline on real messages of the stand-in store.

struct TPart {
  std::string name;
  std::string data;
};

std::string Base64(const std::string& data) { return ::corvid::test::Base64Lines(data, "\r\n"); }

// Text that compresses well, different for each seed.
std::string Prose(size_t size, int seed) {
  std::string out;
  while (out.size() < size) out += "Line " + std::to_string(seed) + ": the quick brown fox jumps over the lazy dog.\n";
  out.resize(size);
  return out;
}

class CompressMessageTest : public corvid::test::TPipelineTest {
 protected:
  // A message with a text body, then the parts, then `extra` (raw MIME
  // parts, each starting with its headers).
  std::string DeliverParts(const std::vector<TPart>& parts, const std::vector<std::string>& extra = {}) {
    std::string text =
        "From: Me <me@example.net>\r\nTo: you@example.com\r\nSubject: files\r\nMIME-Version: 1.0\r\n"
        "Content-Type: multipart/mixed; boundary=\"SEP\"\r\n\r\n"
        "--SEP\r\nContent-Type: text/plain\r\n\r\nThe files.\r\n";
    for (const TPart& part : parts) {
      text += "--SEP\r\nContent-Type: application/octet-stream\r\nContent-Transfer-Encoding: base64\r\n"
              "Content-Disposition: attachment; filename=\"" + part.name + "\"\r\n\r\n" + Base64(part.data);
    }
    for (const std::string& raw : extra) text += "--SEP\r\n" + raw;
    text += "--SEP--\r\n";
    return Deliver(text);
  }

  void Compress(const std::string& unique, bool interactive = false) {
    TRef<IMessage> message = Open(unique);
    ASSERT_TRUE(message);
    CompressMessage(message.get(), options_, interactive);
  }

  // The entries of an archive as both peers read them: `unzip -t` must
  // pass, and Python's zipfile must read every entry (with the password)
  // and agree on names and contents. Returns name -> content.
  std::map<std::string, std::string> Peers(const std::string& archive, const std::string& password = "") {
    const std::string path = WriteWork("peer-check.bin", archive);
    const std::string pw = password.empty() ? "" : " -P " + Quote(password);
    const TCommandResult tested = RunCommand("unzip -t" + pw + " " + Quote(path) + " 2>&1");
    EXPECT_EQ(tested.status, 0) << tested.out;
    const std::string script =
        "import json,sys,zipfile\n"
        "z=zipfile.ZipFile(sys.argv[1])\n"
        "pw=sys.argv[2].encode() if len(sys.argv)>2 else None\n"
        "assert z.testzip() is None if pw is None else True\n"
        "print(json.dumps({i.filename:[z.read(i,pwd=pw).hex(),i.flag_bits&1] for i in z.infolist()}))\n";
    const TCommandResult read = RunCommand("python3 -c " + Quote(script) + " " + Quote(path) +
                                           (password.empty() ? "" : " " + Quote(password)));
    EXPECT_EQ(read.status, 0) << read.out;
    std::map<std::string, std::string> entries;
    const TJson json = ParseJson(read.out);
    for (const auto& [name, value] : json.fields) {
      std::string bytes;
      const std::string& hex = value[0].text;
      for (size_t i = 0; i + 1 < hex.size(); i += 2) bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
      entries[name] = bytes;
      EXPECT_EQ(value[1].number, password.empty() ? 0 : 1) << name << ": encryption flag";
    }
    return entries;
  }

};

TEST_F(CompressMessageTest, SingleArchiveTakesThePackableFilesAndKeepsTheRest) {
  const std::string a = Prose(6000, 1), b = Prose(9000, 2), kept = PseudoRandomBytes(3000, 3);
  const std::string embedded =
      "Content-Type: message/rfc822\r\n\r\nFrom: x@example.com\r\nSubject: inner\r\n\r\nInner body\r\n";
  const std::string unique =
      DeliverParts({{"a.txt", a}, {"photo.ZIP", kept}, {"b.log", b}}, {embedded});
  const std::string original_file = ReadBytes(*PathOf(unique));
  Compress(unique);

  const std::vector<TShown> after = Attachments(unique);
  EXPECT_EQ(Names(after), (std::vector<std::string>{"photo.ZIP", "inner", "attachments.zip"}));
  ASSERT_NE(Find(after, "attachments.zip"), nullptr);
  const auto entries = Peers(Find(after, "attachments.zip")->data);
  EXPECT_EQ(entries, (std::map<std::string, std::string>{{"a.txt", a}, {"b.log", b}}));
  EXPECT_EQ(Find(after, "photo.ZIP")->data, kept);

  // Python's email reads the sent message; every part not packed is intact.
  const auto files = MimeFiles(unique);
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(files[0], (std::pair<std::string, std::string>{"photo.ZIP", kept}));
  EXPECT_EQ(files[1].first, "attachments.zip");
  EXPECT_NE(ReadBytes(*PathOf(unique)).find("Inner body"), std::string::npos);

  EXPECT_EQ(Counter(settings::kNumMessages), 1);
  EXPECT_EQ(Counter(settings::kZipFilesCreated), 1);
  EXPECT_EQ(Counter(settings::kUnZippedFilesSize), 15000);
  EXPECT_EQ(Counter(settings::kZipFilesSize), static_cast<int32_t>(files[1].second.size()));
  EXPECT_NE(ReadBytes(*PathOf(unique)), original_file);
  // Every setting read was created with its default, to be saved later.
  for (const char* path :
       {"Compression\\SkipFiles", "Compression\\MinFileSize", "Compression\\MakeSingleZIP",
        "Compression\\DefaultZIPName", "Compression\\PromptZipName", "Compression\\Password",
        "Compression\\UsePassword", "Compression\\CompressionLevel", "Compression\\CreateSFX",
        "Compression\\MinCompression", "Compression\\PromptCompress"}) {
    EXPECT_NE(options_.FindEntry(path), nullptr) << path;
  }
}

TEST_F(CompressMessageTest, ArchiveNames) {
  struct TCase {
    std::vector<std::string> files;
    const char* default_name;  // null: the setting is left alone
    bool single;
    std::vector<std::string> expected;
  };
  const TCase cases[] = {
      {{"Report.DOC"}, nullptr, true, {"Report.zip"}},  // one row: named after the file
      {{"notes"}, nullptr, true, {"notes.zip"}},
      {{"a.txt", "b.txt"}, nullptr, true, {"attachments.zip"}},
      {{"a.txt", "b.txt"}, "", true, {"attachments.zip"}},
      {{"a.txt", "b.txt"}, "pack", true, {"pack.zip"}},
      {{"a.txt", "b.txt"}, "../../evil.zip", true, {"evil.zip"}},  // never outside its folder
      {{"a.doc", "a.txt"}, nullptr, false, {"a.zip", "a.zip"}},  // each in a folder of its own
  };
  int seed = 0;
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.files[0] + (c.default_name ? std::string(" / ") + c.default_name : ""));
    TOptionsContainer fresh;
    options_.Assign(fresh);
    if (c.default_name != nullptr) settings::Write(options_, settings::kDefaultZIPName, c.default_name);
    settings::Write(options_, settings::kMakeSingleZIP, c.single);
    std::vector<TPart> parts;
    std::map<std::string, std::string> contents;
    for (const std::string& name : c.files) {
      parts.push_back({name, Prose(4000, ++seed)});
      contents[name] = parts.back().data;
    }
    const std::string unique = DeliverParts(parts);
    Compress(unique);
    const std::vector<TShown> after = Attachments(unique);
    EXPECT_EQ(Names(after), c.expected);
    std::map<std::string, std::string> packed;
    for (const TShown& shown : after) {
      for (const auto& entry : Peers(shown.data)) packed.insert(entry);
    }
    EXPECT_EQ(packed, contents);
    EXPECT_EQ(Counter(settings::kZipFilesCreated), static_cast<int32_t>(c.expected.size()));
  }
}

TEST_F(CompressMessageTest, PasswordEncryptsEveryEntry) {
  settings::Write(options_, settings::kUsePassword, true);
  settings::Write(options_, settings::kCompressionPassword, "s3cret pass");
  const std::string a = Prose(5000, 1), b = Prose(7000, 2);
  const std::string unique = DeliverParts({{"a.txt", a}, {"b.txt", b}});
  Compress(unique);
  const std::vector<TShown> after = Attachments(unique);
  ASSERT_EQ(Names(after), std::vector<std::string>{"attachments.zip"});
  EXPECT_EQ(Peers(after[0].data, "s3cret pass"), (std::map<std::string, std::string>{{"a.txt", a}, {"b.txt", b}}));
  const std::string path = WriteWork("wrong.zip", after[0].data);
  EXPECT_NE(RunCommand("unzip -t -P wrong " + Quote(path) + " 2>&1").status, 0);
}

// With a password asked for, the attachments leave protected or the caller
// is told not to send: no usable password (none stored, or text that is not
// an encoded one), a refused prompt, or a failure while packing. The same
// failure without a password leaves them as they were. Each road leaves
// one notice saying why, and the log never holds a password.
TEST_F(CompressMessageTest, APasswordAskedForIsNeverDroppedSilently) {
  std::vector<std::string> notices;
  log::SetNoticeHandler([&notices](const std::string& text) { notices.push_back(text); });
  const std::string log_file = (work_ / "corvid.log").string();
  log::SetFile(log_file);
  struct TCase {
    const char* what;
    bool use_password;
    std::optional<std::string> encoded, raw;  // the stored password
    bool interactive;
    std::optional<ui::TScriptedAnswer> answer;
    std::string zip_name;
    TCompressOutcome outcome;
    const char* why;  // in the notice
  };
  const std::string too_long(300, 'n');
  const TCase cases[] = {
      {"none stored", true, std::nullopt, std::nullopt, false, std::nullopt, "", TCompressOutcome::Refused,
       "no usable password"},
      {"plain text typed into the registry", true, std::nullopt, "hunter2 plain", false, std::nullopt, "",
       TCompressOutcome::Refused, "no usable password"},
      {"none stored, the prompt cancelled", true, std::nullopt, std::nullopt, true, ui::TScriptedAnswer::Cancel(), "",
       TCompressOutcome::Refused, "not sent"},
      {"none stored, the prompt answered", true, std::nullopt, std::nullopt, true, ui::TScriptedAnswer::Ok("typed pw"),
       "", TCompressOutcome::Packed, nullptr},
      {"stored, the archive cannot be written", true, "s3cret pass", std::nullopt, false, std::nullopt, too_long,
       TCompressOutcome::Refused, "the message is not sent"},
      {"no password, the archive cannot be written", false, std::nullopt, std::nullopt, false, std::nullopt, too_long,
       TCompressOutcome::Unchanged, "left as they were"},
  };
  const std::vector<TPart> parts = {{"a.txt", Prose(6000, 1)}, {"b.txt", Prose(6000, 2)}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.what);
    notices.clear();
    options_.Clear();
    settings::Write(options_, settings::kUsePassword, c.use_password);
    if (c.encoded) settings::Write(options_, settings::kCompressionPassword, *c.encoded);
    if (c.raw) options_.WriteString(settings::kCompressionPassword.path, *c.raw, false);
    if (!c.zip_name.empty()) settings::Write(options_, settings::kDefaultZIPName, c.zip_name);
    if (c.answer) script_->Add(*c.answer);
    const std::string unique = DeliverParts(parts);
    const std::string before = ReadBytes(*PathOf(unique));
    TRef<IMessage> message = Open(unique);
    ASSERT_TRUE(message);
    EXPECT_EQ(CompressMessage(message.get(), options_, c.interactive), c.outcome);
    if (c.outcome == TCompressOutcome::Packed) {
      const std::vector<TShown> after = Attachments(unique);
      ASSERT_EQ(Names(after), std::vector<std::string>{"attachments.zip"});
      EXPECT_EQ(Peers(after[0].data, "typed pw").size(), 2u);
      ASSERT_FALSE(script_->Shown().empty());
      EXPECT_TRUE(script_->Shown().back().password);
      EXPECT_TRUE(notices.empty());
      continue;
    }
    EXPECT_EQ(ReadBytes(*PathOf(unique)), before);
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_NE(notices[0].find(c.why), std::string::npos) << notices[0];
    EXPECT_NE(notices[0].find("\"files\""), std::string::npos) << notices[0];  // which message
  }
  log::SetNoticeHandler(nullptr);
  log::SetFile("");
  const std::string logged = ReadBytes(log_file);
  for (const char* secret : {"s3cret", "typed pw", "hunter2"}) EXPECT_EQ(logged.find(secret), std::string::npos) << secret;
  EXPECT_NE(logged.find("packed 2 attachment(s) into attachments.zip"), std::string::npos) << logged;
}

TEST_F(CompressMessageTest, SelfExtractingArchiveRunsAndExtracts) {
  settings::Write(options_, settings::kCreateSFX, true);
  const std::string a = Prose(30000, 1), b = Prose(20000, 2);
  const std::string unique = DeliverParts({{"a.txt", a}, {"b.txt", b}});
  Compress(unique);
  const std::vector<TShown> after = Attachments(unique);
  ASSERT_EQ(Names(after), std::vector<std::string>{"attachments.exe"});
  const uint32_t stub_size = win::ResourceSize("SFXBIN", win::RT_RCDATA);
  ASSERT_GT(stub_size, 0u);
  ASSERT_GT(after[0].data.size(), stub_size);
  EXPECT_EQ(Peers(after[0].data), (std::map<std::string, std::string>{{"a.txt", a}, {"b.txt", b}}));

  const std::string program = WriteWork("attachments.exe", after[0].data);
  ::chmod(program.c_str(), 0700);
  const std::filesystem::path target = work_ / "out";
  std::filesystem::create_directories(target);
  const TCommandResult ran = RunCommand(Quote(program) + " -d " + Quote(target.string()) + " </dev/null 2>&1");
  ASSERT_EQ(ran.status, 0) << ran.out;
  EXPECT_EQ(ReadBytes((target / "a.txt").string()), a);
  EXPECT_EQ(ReadBytes((target / "b.txt").string()), b);
  EXPECT_EQ(Counter(settings::kZipFilesSize), static_cast<int32_t>(after[0].data.size()));
}

TEST_F(CompressMessageTest, MinimumFileSize) {
  struct TCase {
    int32_t min_kb;
    bool single;
    bool sfx;
    int32_t min_compression;
    size_t size;
    bool packed;
  };
  const TCase cases[] = {
      {1, true, false, 5, 1023, false},
      {1, true, false, 5, 1024, true},
      {2, true, false, 5, 2047, false},
      {2, true, false, 5, 2048, true},
      // Separate self-extracting archives count the stub with the file.
      {1, false, true, 0, 500, true},
      {1, true, true, 0, 500, false},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(std::to_string(c.size) + " bytes, min " + std::to_string(c.min_kb) + " kB");
    TOptionsContainer fresh;
    options_.Assign(fresh);
    settings::Write(options_, settings::kMinFileSize, c.min_kb);
    settings::Write(options_, settings::kMakeSingleZIP, c.single);
    settings::Write(options_, settings::kCreateSFX, c.sfx);
    settings::Write(options_, settings::kMinCompression, c.min_compression);
    const std::string data(c.size, 'x');
    const std::string unique = DeliverParts({{"data.bin", data}});
    Compress(unique);
    const std::vector<TShown> after = Attachments(unique);
    ASSERT_EQ(after.size(), 1u);
    if (c.packed) {
      EXPECT_EQ(after[0].name, c.sfx ? "data.exe" : "data.zip");
      EXPECT_EQ(Peers(after[0].data), (std::map<std::string, std::string>{{"data.bin", data}}));
    } else {
      EXPECT_EQ(after[0].name, "data.bin");
      EXPECT_EQ(after[0].data, data);
    }
  }
}

TEST_F(CompressMessageTest, EmptyFilesAreNeverWorthAnArchive) {
  settings::Write(options_, settings::kMinFileSize, 0);
  const std::string unique = DeliverParts({{"empty.txt", ""}, {"also.txt", ""}});
  const std::string before = ReadBytes(*PathOf(unique));
  Compress(unique);
  EXPECT_EQ(ReadBytes(*PathOf(unique)), before);
  EXPECT_EQ(Counter(settings::kZipFilesCreated), 0);
}

// The size of the archive the pipeline makes of one file, made the same way.
uint32_t ArchiveSizeOf(const std::filesystem::path& folder, const std::string& name, const std::string& data) {
  const std::string path = (folder / "probe.zip").string();
  std::filesystem::remove(path);
  zip::TZipWriter writer;
  writer.SetZipName(path);
  writer.SetPackLevel(9);
  zip::TMemoryStream stream(std::vector<uint8_t>(data.begin(), data.end()));
  writer.ZipFromStream(stream, name);
  return static_cast<uint32_t>(std::filesystem::file_size(path));
}

TEST_F(CompressMessageTest, SavingMustExceedMinCompression) {
  // Incompressible bytes with a tail of zeros: find tails that save exactly
  // 5 % and 6 %.
  const std::string noise = PseudoRandomBytes(20000, 7);
  std::map<int64_t, std::string> by_ratio;
  for (size_t zeros = 0; zeros < 3000 && by_ratio.size() < 3; zeros += 16) {
    const std::string data = noise + std::string(zeros, '\0');
    const int64_t total = static_cast<int64_t>(data.size());
    const int64_t ratio = 100 * (total - ArchiveSizeOf(work_, "data.bin", data)) / total;
    if (ratio >= 5 && ratio <= 6 && !by_ratio.count(ratio)) by_ratio[ratio] = data;
  }
  ASSERT_EQ(by_ratio.size(), 2u);
  for (const auto& [ratio, data] : by_ratio) {
    SCOPED_TRACE("saving " + std::to_string(ratio) + " %");
    const std::string unique = DeliverParts({{"data.bin", data}});
    Compress(unique);
    EXPECT_EQ(Names(Attachments(unique)), std::vector<std::string>{ratio == 6 ? "data.zip" : "data.bin"});
  }
  // An archive larger than what it holds never replaces.
  settings::Write(options_, settings::kMinCompression, 0);
  const std::string unique = DeliverParts({{"noise.bin", noise}});
  Compress(unique);
  EXPECT_EQ(Names(Attachments(unique)), std::vector<std::string>{"noise.bin"});
}

TEST_F(CompressMessageTest, MeetingRequestIsLeftAlone) {
  const std::string calendar =
      "Content-Type: text/calendar; method=REQUEST\r\n\r\nBEGIN:VCALENDAR\r\nMETHOD:REQUEST\r\n"
      "BEGIN:VEVENT\r\nSUMMARY:Meet\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n";
  const std::string unique = DeliverParts({{"agenda.txt", Prose(8000, 1)}}, {calendar});
  ASSERT_EQ(TextOf(Open(unique, 0).get(), PR_MESSAGE_CLASS), "IPM.Schedule.Meeting.Request");
  const std::string before = ReadBytes(*PathOf(unique));
  Compress(unique);
  EXPECT_EQ(ReadBytes(*PathOf(unique)), before);
  EXPECT_EQ(Counter(settings::kNumMessages), 1);
  EXPECT_EQ(Counter(settings::kZipFilesCreated), 0);
}

TEST_F(CompressMessageTest, SameNameTwiceInOneArchiveKeepsTheSecondFileUnpacked) {
  const std::string first = Prose(5000, 1), second = Prose(5000, 2), other = Prose(5000, 3);
  const std::string unique = DeliverParts({{"Notes.txt", first}, {"NOTES.TXT", second}, {"other.txt", other}});
  Compress(unique);
  const std::vector<TShown> after = Attachments(unique);
  EXPECT_EQ(Names(after), (std::vector<std::string>{"NOTES.TXT", "attachments.zip"}));
  ASSERT_EQ(after.size(), 2u);
  EXPECT_EQ(after[0].data, second);
  EXPECT_EQ(Peers(after[1].data), (std::map<std::string, std::string>{{"Notes.txt", first}, {"other.txt", other}}));
  EXPECT_EQ(Counter(settings::kUnZippedFilesSize), 10000);
}

TEST_F(CompressMessageTest, PromptsOnlyWhenInteractive) {
  settings::Write(options_, settings::kPromptZipName, true);
  settings::Write(options_, settings::kPromptCompress, true);
  const std::string a = Prose(30000, 1), b = Prose(40000, 2);

  // The batch road never asks (an unexpected dialog fails the test).
  std::string unique = DeliverParts({{"a.txt", a}, {"b.txt", b}});
  Compress(unique, false);
  EXPECT_EQ(Names(Attachments(unique)), std::vector<std::string>{"attachments.zip"});
  EXPECT_TRUE(script_->Shown().empty());

  // The typed name keeps its stem and gets ".zip"; Yes replaces.
  script_->Add(ui::TScriptedAnswer::Ok("mail.rar"));
  script_->Add(ui::TScriptedAnswer::Press(ui::TMsgDlgBtn::mbYes));
  unique = DeliverParts({{"a.txt", a}, {"b.txt", b}});
  Compress(unique, true);
  EXPECT_EQ(Names(Attachments(unique)), std::vector<std::string>{"mail.zip"});
  const std::vector<ui::TShownDialog> shown = script_->Shown();
  ASSERT_EQ(shown.size(), 2u);
  EXPECT_TRUE(shown[0].input);
  EXPECT_FALSE(shown[0].password);
  EXPECT_EQ(shown[0].caption, "Compressing attachments...");
  EXPECT_EQ(shown[0].text, "Please enter ZIP file name:");
  EXPECT_EQ(shown[0].value, "attachments.zip");
  EXPECT_FALSE(shown[1].input);
  EXPECT_EQ(shown[1].caption, "Confirm");
  EXPECT_EQ(shown[1].buttons, (std::vector<std::string>{"Yes", "No"}));
  EXPECT_EQ(shown[1].default_button, "Yes");
  EXPECT_EQ(shown[1].cancel_button, "No");
  EXPECT_EQ(shown[1].timeout_ms, 30000);
  const int64_t zip_size = static_cast<int64_t>(Attachments(unique)[0].data.size());
  auto padded = [](int64_t value, size_t width) {
    std::string text = std::to_string(value);
    return std::string(width > text.size() ? width - text.size() : 0, ' ') + text;
  };
  EXPECT_EQ(shown[1].text,
            "This message contains attachments that can be compressed by Corvid.\r\n\r\n"
            "Attachments size before compression:\r\n   " + padded(70000 / 1024, 10) +
                " kB\r\nAttachments size after compression:\r\n   " + padded(zip_size / 1024, 10) +
                " kB\r\nCompression ratio: " + padded(100 * (70000 - zip_size) / 70000, 3) +
                " %.\r\n\r\nWould you like Corvid to replace the original\r\nattachments(s) with ZIP file(s)?");

  // Cancel keeps the configured name, an empty answer falls back, a time-out
  // answers Yes, No leaves the message as it was.
  const struct {
    ui::TScriptedAnswer name;
    ui::TScriptedAnswer confirm;
    std::vector<std::string> expected;
  } cases[] = {
      {ui::TScriptedAnswer::Cancel(), ui::TScriptedAnswer::Timeout(), {"attachments.zip"}},
      {ui::TScriptedAnswer::Ok(""), ui::TScriptedAnswer::Press(ui::TMsgDlgBtn::mbYes), {"attachments.zip"}},
      {ui::TScriptedAnswer::Ok("x"), ui::TScriptedAnswer::Press(ui::TMsgDlgBtn::mbNo), {"a.txt", "b.txt"}},
  };
  for (const auto& c : cases) {
    script_->Add(c.name);
    script_->Add(c.confirm);
    unique = DeliverParts({{"a.txt", a}, {"b.txt", b}});
    Compress(unique, true);
    EXPECT_EQ(Names(Attachments(unique)), c.expected);
  }
}

// Faults the store never makes, put between the pipeline and a real
// message: a CreateAttach that fails, attachment data that cannot be read
// to its end.
class TFailingStream final : public IStream {
 public:
  TFailingStream(IStream* inner, ULONG good_bytes) : inner_(inner), left_(good_bytes) {}
  HRESULT QueryInterface(REFIID riid, void** out) override { return inner_->QueryInterface(riid, out); }
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override {
    const ULONG refs = --refs_;
    if (refs == 0) delete this;
    return refs;
  }
  HRESULT Read(void* pv, ULONG cb, ULONG* read) override {
    if (left_ == 0) return MAPI_E_CALL_FAILED;
    const HRESULT result = inner_->Read(pv, std::min(cb, left_), read);
    left_ -= *read;
    return result;
  }
  HRESULT Write(const void* pv, ULONG cb, ULONG* written) override { return inner_->Write(pv, cb, written); }
  HRESULT Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* position) override {
    return inner_->Seek(move, origin, position);
  }
  HRESULT SetSize(ULARGE_INTEGER size) override { return inner_->SetSize(size); }
  HRESULT CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override { return E_NOTIMPL; }
  HRESULT Commit(DWORD flags) override { return inner_->Commit(flags); }
  HRESULT Revert() override { return inner_->Revert(); }
  HRESULT LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
  HRESULT UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
  HRESULT Stat(STATSTG* stat, DWORD flags) override { return inner_->Stat(stat, flags); }
  HRESULT Clone(IStream**) override { return E_NOTIMPL; }

 private:
  ~TFailingStream() = default;
  TRef<IStream> inner_;
  ULONG left_;
  ULONG refs_ = 1;
};

template <typename I>
class TForwardProp : public I {
 public:
  explicit TForwardProp(I* inner) : inner_(inner) {}
  HRESULT QueryInterface(REFIID riid, void** out) override { return inner_->QueryInterface(riid, out); }
  HRESULT GetLastError(HRESULT hr, ULONG flags, LPMAPIERROR* error) override {
    return inner_->GetLastError(hr, flags, error);
  }
  HRESULT SaveChanges(ULONG flags) override { return inner_->SaveChanges(flags); }
  HRESULT GetProps(LPSPropTagArray tags, ULONG flags, ULONG* count, LPSPropValue* values) override {
    return inner_->GetProps(tags, flags, count, values);
  }
  HRESULT GetPropList(ULONG flags, LPSPropTagArray* tags) override { return inner_->GetPropList(flags, tags); }
  HRESULT OpenProperty(ULONG tag, LPCIID iid, ULONG options, ULONG flags, LPUNKNOWN* out) override {
    return inner_->OpenProperty(tag, iid, options, flags, out);
  }
  HRESULT SetProps(ULONG count, LPSPropValue values, LPSPropProblemArray* problems) override {
    return inner_->SetProps(count, values, problems);
  }
  HRESULT DeleteProps(LPSPropTagArray tags, LPSPropProblemArray* problems) override {
    return inner_->DeleteProps(tags, problems);
  }
  HRESULT CopyTo(ULONG, LPCIID, LPSPropTagArray, ULONG_PTR, LPMAPIPROGRESS, LPCIID, LPVOID, ULONG,
                 LPSPropProblemArray*) override {
    return MAPI_E_NO_SUPPORT;
  }
  HRESULT CopyProps(LPSPropTagArray, ULONG_PTR, LPMAPIPROGRESS, LPCIID, LPVOID, ULONG,
                    LPSPropProblemArray*) override {
    return MAPI_E_NO_SUPPORT;
  }
  HRESULT GetNamesFromIDs(LPSPropTagArray*, LPGUID, ULONG, ULONG*, LPMAPINAMEID**) override {
    return MAPI_E_NO_SUPPORT;
  }
  HRESULT GetIDsFromNames(ULONG, LPMAPINAMEID*, ULONG, LPSPropTagArray*) override { return MAPI_E_NO_SUPPORT; }

 protected:
  TRef<I> inner_;
};

class TFailingAttach final : public TForwardProp<IAttach> {
 public:
  TFailingAttach(IAttach* inner, ULONG good_bytes) : TForwardProp(inner), good_bytes_(good_bytes) {}
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override {
    const ULONG refs = --refs_;
    if (refs == 0) delete this;
    return refs;
  }
  HRESULT OpenProperty(ULONG tag, LPCIID iid, ULONG options, ULONG flags, LPUNKNOWN* out) override {
    const HRESULT result = inner_->OpenProperty(tag, iid, options, flags, out);
    if (SUCCEEDED(result)) *out = new TFailingStream(static_cast<IStream*>(*out), good_bytes_);
    return result;
  }

 private:
  ~TFailingAttach() = default;
  ULONG good_bytes_;
  ULONG refs_ = 1;
};

// Lives on the test's stack; the pipeline takes no reference of its own.
class TFaultyMessage : public TForwardProp<IMessage> {
 public:
  explicit TFaultyMessage(TRef<IMessage> inner) : TForwardProp(inner.Detach()) {}
  int create_attach_fails_at = -1;  // which CreateAttach call fails, from 0
  ULONG unreadable_attach = ~0u;    // this attachment's data fails after 1000 bytes

  ULONG AddRef() override { return 2; }
  ULONG Release() override { return 1; }
  HRESULT GetAttachmentTable(ULONG flags, LPMAPITABLE* table) override {
    return inner_->GetAttachmentTable(flags, table);
  }
  HRESULT OpenAttach(ULONG number, LPCIID iid, ULONG flags, LPATTACH* attach) override {
    const HRESULT result = inner_->OpenAttach(number, iid, flags, attach);
    if (SUCCEEDED(result) && number == unreadable_attach) *attach = new TFailingAttach(*attach, 1000);
    return result;
  }
  HRESULT CreateAttach(LPCIID iid, ULONG flags, ULONG* number, LPATTACH* attach) override {
    if (create_attach_fails_at-- == 0) return MAPI_E_NOT_ENOUGH_DISK;
    return inner_->CreateAttach(iid, flags, number, attach);
  }
  HRESULT DeleteAttach(ULONG number, ULONG_PTR ui, LPMAPIPROGRESS progress, ULONG flags) override {
    return inner_->DeleteAttach(number, ui, progress, flags);
  }
  HRESULT GetRecipientTable(ULONG flags, LPMAPITABLE* table) override {
    return inner_->GetRecipientTable(flags, table);
  }
  HRESULT ModifyRecipients(ULONG flags, LPADRLIST mods) override { return inner_->ModifyRecipients(flags, mods); }
  HRESULT SubmitMessage(ULONG flags) override { return inner_->SubmitMessage(flags); }
  HRESULT SetReadFlag(ULONG flags) override { return inner_->SetReadFlag(flags); }
};

TEST_F(CompressMessageTest, FailureInTheMiddleLeavesTheMessageAsItWas) {
  settings::Write(options_, settings::kMakeSingleZIP, false);
  const std::vector<TPart> parts = {{"a.txt", Prose(6000, 1)}, {"b.txt", Prose(6000, 2)}, {"c.txt", Prose(6000, 3)}};
  enum class TFault { Unreadable, NoAttachment };
  const TFault faults[] = {TFault::Unreadable, TFault::NoAttachment};
  for (auto fault : faults) {
    SCOPED_TRACE(fault == TFault::Unreadable ? "second file unreadable" : "second archive not attachable");
    const std::string unique = DeliverParts(parts);
    const std::string before = ReadBytes(*PathOf(unique));
    {
      TFaultyMessage message(Open(unique));
      if (fault == TFault::Unreadable) message.unreadable_attach = 1;
      if (fault == TFault::NoAttachment) message.create_attach_fails_at = 1;
      CompressMessage(&message, options_, false);
      EXPECT_EQ(ReadBytes(*PathOf(unique)), before);  // not saved
      // Nor changed in memory: whoever saves the message later saves the
      // original attachments.
      EXPECT_EQ(message.SaveChanges(0), S_OK);
    }
    const std::vector<TShown> after = Attachments(unique);
    ASSERT_EQ(after.size(), parts.size());
    for (size_t i = 0; i < parts.size(); ++i) {
      EXPECT_EQ(after[i].name, parts[i].name);
      EXPECT_EQ(after[i].data, parts[i].data);
    }
    EXPECT_EQ(Counter(settings::kZipFilesCreated), 0);
    EXPECT_EQ(Leftovers(), std::vector<std::string>{});
  }
}

TEST_F(CompressMessageTest, NothingBoundDoesNothing) {
  const std::string unique = DeliverParts({{"a.txt", Prose(8000, 1)}});
  const std::string before = ReadBytes(*PathOf(unique));
  InstallMapi(nullptr);
  Compress(unique);
  EXPECT_EQ(ReadBytes(*PathOf(unique)), before);
  CompressMessage(nullptr, options_, true);
  EXPECT_EQ(Counter(settings::kNumMessages), 1);  // null is not a message
}

}  // namespace
}  // namespace corvid::compress
