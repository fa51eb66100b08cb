#include "decompress/decompress_message.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "settings/blowfish_tools.h"
#include "settings/catalogue.h"
#include "testutil/pipeline_test.h"

namespace corvid::decompress {
namespace {

using corvid::test::TShown;
using mapi::test::PseudoRandomBytes;
using mapi::test::Quote;
using mapi::test::ReadBytes;
using mapi::test::RunCommand;
using TFiles = std::vector<std::pair<std::string, std::string>>;  // name, bytes

TFiles Sorted(TFiles files) {
  std::sort(files.begin(), files.end());
  return files;
}

TEST(AttachmentNameOfTest, Table) {
  struct TCase {
    const char* full_name;
    bool restore_path;
    const char* name;
  };
  const TCase cases[] = {
      {"plan.txt", true, "plan.txt"},
      {"docs\\2001\\plan.txt", true, "docs_2001_plan.txt"},
      {"docs/plan.txt", true, "docs_plan.txt"},
      {"docs\\2001\\plan.txt", false, "plan.txt"},
      {"c:plan.txt", false, "plan.txt"},
      {"evil\x1B[2J\n.txt", true, "evil_[2J_.txt"},  // never raw to a terminal or a header
  };
  for (const TCase& c : cases) EXPECT_EQ(AttachmentNameOf(c.full_name, c.restore_path), c.name) << c.full_name;
}

class DecompressMessageTest : public corvid::test::TPipelineTest {
 protected:
  // Makes `files` in a fresh folder and runs `command` there (the peer that
  // makes the archive); the bytes of `archive` afterwards.
  std::string MakeArchive(const TFiles& files, const std::string& command, const std::string& archive) {
    const std::filesystem::path folder = work_ / ("src" + std::to_string(++folders_));
    std::filesystem::create_directories(folder);
    for (const auto& [name, bytes] : files) {
      std::filesystem::create_directories((folder / name).parent_path());
      mapi::test::WriteBytes((folder / name).string(), bytes);
    }
    const mapi::test::TCommandResult made = RunCommand("cd " + Quote(folder.string()) + " && " + command + " 2>&1");
    EXPECT_EQ(made.status, 0) << command << ": " << made.out;
    return ReadBytes((folder / archive).string());
  }

  // A message made by Python's email: a text body and the attachments.
  std::string DeliverFiles(const TFiles& attachments) {
    std::string args;
    for (const auto& [name, bytes] : attachments) {
      const std::string path = WriteWork("part" + std::to_string(++parts_), bytes);
      args += " " + Quote(name) + " " + Quote(path);
    }
    const std::string out = (work_ / "message.eml").string();
    const std::string script =
        "import sys\n"
        "from email.message import EmailMessage\n"
        "m=EmailMessage(); m['From']='a@example.com'; m['To']='b@example.com'; m['Subject']='files'\n"
        "m.set_content('The files.')\n"
        "a=sys.argv[2:]\n"
        "for i in range(0,len(a),2):\n"
        "  m.add_attachment(open(a[i+1],'rb').read(),maintype='application',subtype='octet-stream',filename=a[i])\n"
        "open(sys.argv[1],'wb').write(bytes(m))\n";
    const mapi::test::TCommandResult made = RunCommand("python3 -c " + Quote(script) + " " + Quote(out) + args);
    EXPECT_EQ(made.status, 0) << made.out;
    return Deliver(ReadBytes(out));
  }

  TDecompressOutcome Decompress(const std::string& unique) {
    mapi::test::TRef<mapi::IMessage> message = Open(unique);
    EXPECT_TRUE(message);
    return DecompressMessage(message.get(), options_);
  }

  TFiles Files(const std::string& unique) {
    TFiles out;
    for (const TShown& shown : Attachments(unique)) out.emplace_back(shown.name, shown.data);
    return out;
  }

  void Set(const settings::TBoolSetting& setting, bool value) { settings::Write(options_, setting, value); }

  int folders_ = 0;
  int parts_ = 0;
};

const TFiles kTwoFiles = {{"report.txt", std::string(5000, 'r') + "end"}, {"data.bin", PseudoRandomBytes(3000, 7)}};

TEST_F(DecompressMessageTest, ArchivesOfEveryPeerBecomeTheirFiles) {
  struct TCase {
    const char* peer;
    const char* attachment;
    const char* command;
    const char* archive;
  };
  const TCase cases[] = {
      {"zip deflated", "a.zip", "zip -q a.zip report.txt data.bin", "a.zip"},
      {"zip stored", "A.ZIP", "zip -q -0 a.zip report.txt data.bin", "a.zip"},
      {"zip from a pipe", "piped.zip", "cat report.txt | zip -q piped.zip - && printf '@ -\\n@=report.txt\\n' | "
                                       "zipnote -w piped.zip && zip -q piped.zip data.bin", "piped.zip"},
      {"python zipfile", "py.zip",
       "python3 -c \"import zipfile;z=zipfile.ZipFile('py.zip','w',zipfile.ZIP_DEFLATED);"
       "z.write('report.txt');z.write('data.bin');z.close()\"", "py.zip"},
      {"7-Zip", "seven.zip", "7zz a -tzip -bd seven.zip report.txt data.bin >/dev/null", "seven.zip"},
      {"jar", "lib.jar", "zip -q lib.zip report.txt data.bin && mv lib.zip lib.jar", "lib.jar"},
      {"self-extracting", "setup.EXE", "zip -q s.zip report.txt data.bin && cat /usr/bin/unzipsfx s.zip > s.exe && "
                                      "zip -q -A s.exe", "s.exe"},
  };
  const std::string other = PseudoRandomBytes(700, 3);
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.peer);
    const std::string archive = MakeArchive(kTwoFiles, c.command, c.archive);
    const std::string unique = DeliverFiles({{"notes.pdf", other}, {c.attachment, archive}});
    const TDecompressOutcome outcome = Decompress(unique);
    EXPECT_EQ(Describe(outcome), std::string("unpacked ") + c.attachment + " (2 files)");
    // The files come in the archive's order (7-Zip sorts its own).
    const TFiles want = {{"notes.pdf", other}, kTwoFiles[0], kTwoFiles[1]};
    EXPECT_EQ(Sorted(Files(unique)), Sorted(want));
    // Python's email reads the rewritten message the same way.
    EXPECT_EQ(Sorted(MimeFiles(unique)), Sorted(want));
    EXPECT_NE(ReadBytes(*PathOf(unique)).find("The files."), std::string::npos);
  }
  EXPECT_EQ(Counter(settings::kNumMessages), 7);
  EXPECT_EQ(Counter(settings::kNumZipFilesUnzipped), 7);
  EXPECT_EQ(Counter(settings::kUnZippedFilesSize), 7 * 8003);
}

TEST_F(DecompressMessageTest, UnicodeNamesArriveWhole) {
  const TFiles files = {{"Grüße €.txt", "hallo"}, {"日本語.txt", "nihongo"}};
  const std::string archive = MakeArchive(files, "7zz a -tzip -bd u.zip '*.txt' >/dev/null", "u.zip");
  const std::string unique = DeliverFiles({{"u.zip", archive}});
  Decompress(unique);
  EXPECT_EQ(Sorted(MimeFiles(unique)), Sorted(files));
}

// Whatever cannot be unpacked whole stays as it came; nothing of it is lost.
TEST_F(DecompressMessageTest, WhatCannotBeUnpackedWholeStays) {
  struct TCase {
    const char* what;
    TFiles files;
    const char* command;
    const char* kept_why;  // part of the reason given
    TFiles added;          // files taken from it all the same
  };
  const TFiles with_folder = {{"top.txt", "top"}, {"docs/plan.txt", "plan"}};
  const TCase cases[] = {
      {"encrypted", kTwoFiles, "zip -q -P secret a.zip report.txt data.bin", "encrypted", {}},
      {"half encrypted", kTwoFiles, "zip -q a.zip report.txt && zip -q -P secret a.zip data.bin", "encrypted",
       {kTwoFiles[0]}},
      {"first entry in a folder", {{"docs/plan.txt", "plan"}, {"top.txt", "top"}},
       "zip -q -r a.zip docs/plan.txt top.txt", "folders", {}},
      {"second entry in a folder", with_folder, "zip -q a.zip top.txt docs/plan.txt", "folders",
       {{"top.txt", "top"}}},
      {"empty archive", {}, "python3 -c \"import zipfile;zipfile.ZipFile('a.zip','w').close()\"", "no files", {}},
      {"PPMd entry", kTwoFiles, "7zz a -tzip -bso0 -bsp0 -mm=PPMd a.zip report.txt", "did not extract", {}},
  };
  const std::string other = PseudoRandomBytes(700, 4);
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string archive = MakeArchive(c.files, c.command, "a.zip");
    const std::string unique = DeliverFiles({{"a.zip", archive}, {"other.bin", other}});
    const TDecompressOutcome outcome = Decompress(unique);
    ASSERT_EQ(outcome.archives.size(), 1u);
    EXPECT_FALSE(outcome.archives[0].unpacked);
    EXPECT_NE(outcome.archives[0].kept_why.find(c.kept_why), std::string::npos) << outcome.archives[0].kept_why;
    TFiles want = {{"a.zip", archive}, {"other.bin", other}};
    want.insert(want.end(), c.added.begin(), c.added.end());
    EXPECT_EQ(Files(unique), want);
  }
  EXPECT_EQ(Counter(settings::kNumZipFilesUnzipped), 0);
}

TEST_F(DecompressMessageTest, DamagedArchivesStayAndNoDamagedFileIsAttached) {
  const std::string good = MakeArchive(kTwoFiles, "zip -q a.zip report.txt data.bin", "a.zip");
  // A flipped byte inside the second entry's data: a CRC error there.
  std::string crc = good;
  crc[good.size() / 2] = static_cast<char>(crc[good.size() / 2] ^ 0x55);
  const std::string cut = good.substr(0, good.size() - 30);  // the end record cut
  const std::string not_zip = "MZ" + PseudoRandomBytes(4000, 9);
  for (const auto& [what, bytes] : std::vector<std::pair<std::string, std::string>>{
           {"crc", crc}, {"cut", cut}, {"program", not_zip}}) {
    SCOPED_TRACE(what);
    const std::string unique = DeliverFiles({{"setup.exe", bytes}});
    const TDecompressOutcome outcome = Decompress(unique);
    ASSERT_EQ(outcome.archives.size(), 1u);
    EXPECT_FALSE(outcome.archives[0].unpacked) << Describe(outcome);
    const TFiles after = Files(unique);
    ASSERT_FALSE(after.empty());
    EXPECT_EQ(after[0], (std::pair<std::string, std::string>{"setup.exe", bytes}));
    // Only an entry that passed its check may come out beside the archive.
    for (size_t i = 1; i < after.size(); ++i) {
      EXPECT_TRUE(after[i] == kTwoFiles[0] || after[i] == kTwoFiles[1]) << after[i].first;
    }
  }
}

TEST_F(DecompressMessageTest, AProgramThatIsNoArchiveStaysAndTheOtherArchivesAreStillUnpacked) {
  const std::string program = "\x7F" "ELF" + PseudoRandomBytes(5000, 5);
  const std::string archive = MakeArchive(kTwoFiles, "zip -q a.zip report.txt data.bin", "a.zip");
  const std::string unique = DeliverFiles({{"setup.exe", program}, {"a.zip", archive}});
  const TDecompressOutcome outcome = Decompress(unique);
  EXPECT_NE(Describe(outcome).find("kept setup.exe (not a readable ZIP archive"), std::string::npos)
      << Describe(outcome);
  EXPECT_EQ(Files(unique), (TFiles{{"setup.exe", program}, kTwoFiles[0], kTwoFiles[1]}));
}

TEST_F(DecompressMessageTest, PathSettings) {
  const TFiles files = {{"docs/plan.txt", "plan 1"}, {"old/plan.txt", "plan 2"}};
  const std::string archive = MakeArchive(files, "zip -q -r a.zip docs old", "a.zip");
  Set(settings::kSkipWithPath, false);
  std::string unique = DeliverFiles({{"a.zip", archive}});
  Decompress(unique);
  EXPECT_EQ(Files(unique), (TFiles{{"docs_plan.txt", "plan 1"}, {"old_plan.txt", "plan 2"}}));

  Set(settings::kRestorePath, false);
  unique = DeliverFiles({{"a.zip", archive}});
  Decompress(unique);
  EXPECT_EQ(Files(unique), (TFiles{{"plan.txt", "plan 1"}, {"plan.txt", "plan 2"}}));
}

TEST_F(DecompressMessageTest, PromptedPasswordIsAskedOnceForArchivesThatShareIt) {
  Set(settings::kSkipWithPassword, false);
  const std::string first = MakeArchive({kTwoFiles[0]}, "zip -q -P secret a.zip report.txt", "a.zip");
  const std::string second = MakeArchive({kTwoFiles[1]}, "zip -q -P secret b.zip data.bin", "b.zip");
  const std::string unique = DeliverFiles({{"a.zip", first}, {"b.zip", second}});
  script_->Add(ui::TScriptedAnswer::Ok("secret"));
  EXPECT_EQ(Describe(Decompress(unique)), "unpacked a.zip (1 file); unpacked b.zip (1 file)");
  ASSERT_EQ(script_->Shown().size(), 1u);
  EXPECT_EQ(script_->Shown()[0].caption, "a.zip - report.txt");
  EXPECT_EQ(Files(unique), kTwoFiles);
}

TEST_F(DecompressMessageTest, AWrongOrCancelledPasswordKeepsTheArchiveAndAsksAgainForTheNext) {
  Set(settings::kSkipWithPassword, false);
  const std::string first = MakeArchive({kTwoFiles[0]}, "zip -q -P secret a.zip report.txt", "a.zip");
  const std::string second = MakeArchive({kTwoFiles[1]}, "zip -q -P other b.zip data.bin", "b.zip");
  const std::string unique = DeliverFiles({{"a.zip", first}, {"b.zip", second}});
  script_->Add(ui::TScriptedAnswer::Ok("wrong"));
  script_->Add(ui::TScriptedAnswer::Cancel());
  const TDecompressOutcome outcome = Decompress(unique);
  EXPECT_EQ(Describe(outcome),
            "kept a.zip (the password given does not open report.txt); kept b.zip (no password was given for "
            "data.bin)");
  EXPECT_EQ(Files(unique), (TFiles{{"a.zip", first}, {"b.zip", second}}));
}

TEST_F(DecompressMessageTest, StoredPassword) {
  Set(settings::kSkipWithPassword, false);
  Set(settings::kPromptForPassword, false);
  settings::Write(options_, settings::kDecompressionPassword, settings::EncryptString("secret"));
  const std::string right = MakeArchive({kTwoFiles[0]}, "zip -q -P secret a.zip report.txt", "a.zip");
  const std::string wrong = MakeArchive({kTwoFiles[1]}, "zip -q -P other b.zip data.bin", "b.zip");
  const std::string unique = DeliverFiles({{"a.zip", right}, {"b.zip", wrong}});
  EXPECT_EQ(Describe(Decompress(unique)),
            "unpacked a.zip (1 file); kept b.zip (the stored password does not open data.bin)");
  EXPECT_EQ(Files(unique), (TFiles{{"b.zip", wrong}, kTwoFiles[0]}));
}

TEST_F(DecompressMessageTest, AMessageWithNothingToUnpackIsNotWrittenAgain) {
  const std::string archive = MakeArchive(kTwoFiles, "zip -q -P secret a.zip report.txt data.bin", "a.zip");
  for (const TFiles& parts : {TFiles{{"a.txt", "text"}}, TFiles{{"a.zip", archive}}}) {
    const std::string unique = DeliverFiles(parts);
    const std::string before = ReadBytes(*PathOf(unique));
    const TDecompressOutcome outcome = Decompress(unique);
    EXPECT_FALSE(outcome.saved);
    EXPECT_EQ(ReadBytes(*PathOf(unique)), before);
  }
  EXPECT_EQ(Counter(settings::kNumMessages), 2);
}

// An archive whose directory promises more than the disk holds is refused
// before anything is written.
TEST_F(DecompressMessageTest, AnArchiveThatWouldFillTheDiskStays) {
  const std::string script =
      "import struct,zipfile\n"
      "z=zipfile.ZipFile('bomb.zip','w',zipfile.ZIP_DEFLATED)\n"
      "for i in range(64): z.writestr('f%d.txt'%i, 'x'*1000)\n"
      "z.close()\n"
      "b=bytearray(open('bomb.zip','rb').read())\n"
      "at=b.find(b'PK\\x01\\x02')\n"
      "while at>=0:\n"
      "  struct.pack_into('<I',b,at+24,0xFFFFFFF0)\n"
      "  at=b.find(b'PK\\x01\\x02',at+4)\n"
      "open('bomb.zip','wb').write(b)\n";
  const std::string bomb = MakeArchive({}, "python3 -c " + Quote(script), "bomb.zip");
  const std::string unique = DeliverFiles({{"bomb.zip", bomb}});
  const TDecompressOutcome outcome = Decompress(unique);
  ASSERT_EQ(outcome.archives.size(), 1u);
  EXPECT_NE(outcome.archives[0].kept_why.find("is free"), std::string::npos) << outcome.archives[0].kept_why;
  EXPECT_EQ(Files(unique), (TFiles{{"bomb.zip", bomb}}));
}

}  // namespace
}  // namespace corvid::decompress
