// The store against real mail: messages that mutt, mpack and Python's email
// package (today's and its older compat32 ways) write at test time, read
// through the store and through Python's email package, must agree
// (attachments, their names and bytes, recipients); and a rewrite by the
// store must leave Python reading the new attachment byte for byte and
// every untouched part exactly as it was.
#include <sys/stat.h>

#include <filesystem>

#include "platform/mapi/mapi_test_support.h"

namespace corvid::mapi::test {
namespace {

namespace fs = std::filesystem;

const std::string kTestData = CORVID_MAPI_TESTDATA;

struct TCorpusMessage {
  std::string label;
  std::string path;
};

// What Python read of one message file: the JSON and the folder of the
// decoded attachments (att-N.bin) and raw parts (part-N.raw).
struct TPythonView {
  TJson json;
  std::string folder;
  std::string Attachment(size_t index) const { return ReadBytes(folder + "/att-" + std::to_string(index) + ".bin"); }
  std::string Part(size_t index) const { return ReadBytes(folder + "/part-" + std::to_string(index) + ".raw"); }
};

class TCorpusTest : public TStoreTest {
 protected:
  void SetUp() override {
    TStoreTest::SetUp();
    work_ = (machine_.Root() / "corpus").string();
    fs::create_directories(work_ + "/files");
    AddFile("report.pdf", PseudoRandomBytes(40000, 1));
    AddFile("Über résumé.txt", "line one\r\nline two\r\nÄÖÜ in UTF-8\r\n");
    AddFile("日本語 データ.bin", PseudoRandomBytes(5000, 2));
    AddFile("naïve.txt", "raw 8-bit name\n");
  }

  void AddFile(const std::string& name, const std::string& bytes) { WriteBytes(File(name), bytes); }
  std::string File(const std::string& name) const { return work_ + "/files/" + name; }

  // mutt in batch mode, handing the message to a "sendmail" that keeps it.
  // `charset` is mutt's send_charset ("" keeps mutt's default, which picks
  // ISO-8859-1 where it fits).
  std::string Mutt(const std::string& label, const std::string& charset, const std::vector<std::string>& files) {
    const std::string out = work_ + "/" + label + ".eml";
    const std::string sendmail = work_ + "/sendmail-" + label + ".sh";
    WriteBytes(sendmail, "#!/bin/sh\ncat > " + Quote(out) + "\n");
    ::chmod(sendmail.c_str(), 0755);
    std::string command = "cd " + Quote(work_ + "/files") +
                          " && echo 'Body of the message.' | HOME=" + Quote(work_) + " LC_ALL=C.UTF-8 mutt -F /dev/null -n"
                          " -e 'set record=\"\"' -e 'set charset=utf-8'"
                          " -e 'set from=\"Sender <sender@example.org>\"' -e " +
                          Quote("set sendmail=\"" + sendmail + "\"");
    if (!charset.empty()) command += " -e " + Quote("set send_charset=\"" + charset + "\"");
    command += " -s " + Quote("Grüße from mutt") + " -c cc@example.net -a";
    for (const std::string& file : files) command += " " + Quote(file);
    command += " -- " + Quote("Zoë Ärger <zoe@example.com>") + " b@example.com 2>&1";
    const TCommandResult result = RunCommand(command);
    EXPECT_EQ(0, result.status) << result.out;
    return out;
  }

  std::string Mpack(const std::string& label, const std::string& file) {
    const std::string out = work_ + "/" + label + ".eml";
    const TCommandResult result =
        RunCommand("cd " + Quote(work_ + "/files") + " && mpack -s 'From mpack' -o " + Quote(out) + " " + Quote(file) + " 2>&1");
    EXPECT_EQ(0, result.status) << result.out;
    return out;
  }

  std::string Python(const std::string& label, const std::vector<std::string>& files) {
    const std::string out = work_ + "/" + label + ".eml";
    std::string command = "python3 " + Quote(kTestData + "/make_mail.py") + " " + Quote(out);
    for (const std::string& file : files) command += " " + Quote(File(file));
    const TCommandResult result = RunCommand(command + " 2>&1");
    EXPECT_EQ(0, result.status) << result.out;
    return out;
  }

  // An older program on Python's email package: names folded as several
  // encoded words, and nameless attachments.
  std::string PythonCompat32(const std::string& label) {
    const std::string out = work_ + "/" + label + ".eml";
    const TCommandResult result =
        RunCommand("python3 " + Quote(kTestData + "/make_compat32_mail.py") + " " + Quote(out) + " 2>&1");
    EXPECT_EQ(0, result.status) << result.out;
    return out;
  }

  std::vector<TCorpusMessage> Corpus() {
    return {
        {"mutt-latin1", Mutt("mutt-latin1", "", {"report.pdf", "Über résumé.txt"})},
        {"mutt-utf8", Mutt("mutt-utf8", "utf-8", {"report.pdf", "Über résumé.txt", "日本語 データ.bin"})},
        {"mpack", Mpack("mpack", "report.pdf")},
        {"mpack-8bit-name", Mpack("mpack-8bit-name", "naïve.txt")},
        {"python", Python("python", {"report.pdf", "日本語 データ.bin", "Über résumé.txt"})},
        {"python-compat32", PythonCompat32("python-compat32")},
    };
  }

  TPythonView ReadWithPython(const std::string& message_path, const std::string& label) {
    TPythonView view;
    view.folder = work_ + "/python-" + label;
    fs::remove_all(view.folder);
    fs::create_directories(view.folder);
    const TCommandResult result = RunCommand("python3 " + Quote(kTestData + "/read_mime.py") + " " + Quote(message_path) +
                                      " " + Quote(view.folder));
    EXPECT_EQ(0, result.status) << result.out;
    view.json = ParseJson(result.out);
    return view;
  }

  // The store's view and Python's of the message `unique` must agree.
  void ExpectAgreement(const std::string& unique, const TPythonView& python) {
    TRef<IMessage> message = Open(unique, 0);
    ASSERT_TRUE(message);

    IMAPITable* table = nullptr;
    ASSERT_HR(S_OK, message->GetAttachmentTable(0, &table));
    const auto rows = Rows(table, {PR_ATTACH_NUM, PR_ATTACH_METHOD, PR_ATTACH_LONG_FILENAME});
    table->Release();
    const TJson& attachments = python.json["attachments"];
    ASSERT_EQ(attachments.size(), rows.size());
    for (size_t i = 0; i < rows.size(); ++i) {
      SCOPED_TRACE("attachment " + std::to_string(i));
      const bool embedded = attachments[i]["embedded"].boolean;
      EXPECT_EQ(embedded ? ATTACH_EMBEDDED_MSG : ATTACH_BY_VALUE, rows[i][1].number);
      if (!attachments[i]["name"].text.empty()) {
        ASSERT_EQ(PT_STRING8, rows[i][2].Type());
        EXPECT_EQ(attachments[i]["name"].text, rows[i][2].bytes);
      } else if (!embedded) {
        // Offered under a made-up name.
        ASSERT_EQ(PT_STRING8, rows[i][2].Type());
        EXPECT_EQ(0u, rows[i][2].bytes.rfind("attachment.", 0)) << rows[i][2].bytes;
      }
      if (embedded) continue;
      std::string data;
      EXPECT_HR(S_OK, AttachmentData(message.get(), static_cast<ULONG>(rows[i][0].number), &data));
      EXPECT_TRUE(data == python.Attachment(i)) << "decoded bytes differ (" << data.size() << " bytes against "
                                                << python.Attachment(i).size() << ")";
    }

    ASSERT_HR(S_OK, message->GetRecipientTable(0, &table));
    const auto recipients = Rows(table, {PR_RECIPIENT_TYPE, PR_DISPLAY_NAME, PR_ADDRTYPE, PR_EMAIL_ADDRESS});
    table->Release();
    const TJson& expected = python.json["recipients"];
    ASSERT_EQ(expected.size(), recipients.size());
    for (size_t i = 0; i < recipients.size(); ++i) {
      SCOPED_TRACE("recipient " + std::to_string(i));
      const std::string& type = expected[i]["type"].text;
      EXPECT_EQ(type == "to" ? MAPI_TO : type == "cc" ? MAPI_CC : MAPI_BCC, recipients[i][0].number);
      const std::string& name = expected[i]["name"].text;
      EXPECT_EQ(name.empty() ? expected[i]["email"].text : name, recipients[i][1].bytes);
      EXPECT_EQ("SMTP", recipients[i][2].bytes);
      EXPECT_EQ(expected[i]["email"].text, recipients[i][3].bytes);
    }
  }

  std::string work_;
};

TEST_F(TCorpusTest, StoreAndPythonReadTheSameAttachmentsAndRecipients) {
  for (const TCorpusMessage& corpus : Corpus()) {
    SCOPED_TRACE(corpus.label);
    const std::string unique = Deliver(ReadBytes(corpus.path));
    const TPythonView python = ReadWithPython(*PathOf(unique), corpus.label);
    ASSERT_GT(python.json["attachments"].size(), 0u);
    ExpectAgreement(unique, python);
  }
}

// Deletes two attachments and adds one through a stream, as the extension
// replaces attachments by an archive.
void ReplaceTwoByOne(IMessage* message, ULONG first, ULONG second, const std::string& name, const std::string& data) {
  ASSERT_HR(S_OK, message->DeleteAttach(first, 0, nullptr, 0));
  ASSERT_HR(S_OK, message->DeleteAttach(second, 0, nullptr, 0));
  ULONG number = 0;
  IAttach* attach = nullptr;
  ASSERT_HR(S_OK, message->CreateAttach(nullptr, 0, &number, &attach));
  TRef<IAttach> held(attach);
  SPropValue props[4] = {};
  props[0].ulPropTag = PR_ATTACH_METHOD;
  props[0].Value.l = ATTACH_BY_VALUE;
  props[1].ulPropTag = PR_ATTACH_LONG_FILENAME;
  props[1].Value.lpszA = const_cast<char*>(name.c_str());
  props[2].ulPropTag = PR_ATTACH_FILENAME;
  props[2].Value.lpszA = const_cast<char*>("ARCHIVE.ZIP");
  props[3].ulPropTag = 0x03700003;
  props[3].Value.l = -1;
  LPSPropProblemArray problems = nullptr;
  ASSERT_HR(S_OK, attach->SetProps(4, props, &problems));
  EXPECT_EQ(nullptr, problems);
  MAPIFreeBuffer(problems);
  IUnknown* unknown = nullptr;
  ASSERT_HR(S_OK, attach->OpenProperty(PR_ATTACH_DATA_BIN, &IID_IStream, 0, MAPI_CREATE | MAPI_MODIFY, &unknown));
  TRef<IStream> stream(static_cast<IStream*>(unknown));
  // Odd pieces, so no write lines up with any buffer inside.
  for (size_t at = 0; at < data.size();) {
    const ULONG piece = static_cast<ULONG>(std::min<size_t>(7777, data.size() - at));
    ULONG written = 0;
    ASSERT_HR(S_OK, stream->Write(data.data() + at, piece, &written));
    ASSERT_EQ(piece, written);
    at += piece;
  }
  ASSERT_HR(S_OK, stream->Commit(0));
  stream = {};
  ASSERT_HR(S_OK, attach->SaveChanges(0));
  ASSERT_HR(S_OK, message->SaveChanges(0));
}

TEST_F(TCorpusTest, RewriteKeepsUntouchedPartsAndPythonReadsTheNewAttachment) {
  struct TCase {
    std::string label;
    std::string path;
    // Python's part index of the attachments deleted (numbers 0 and 2).
    std::vector<size_t> kept_parts;  // parts that stay, in order, before the new one
  };
  const std::vector<TCase> cases = {
      // body, report.pdf, Über résumé.txt, 日本語 データ.bin
      {"mutt-utf8", Mutt("mutt-utf8", "utf-8", {"report.pdf", "Über résumé.txt", "日本語 データ.bin"}), {0, 2}},
      // body, report.pdf, 日本語 データ.bin, Über résumé.txt, embedded, Übersicht €.txt
      {"python", Python("python", {"report.pdf", "日本語 データ.bin", "Über résumé.txt"}), {0, 2, 4, 5}},
      // body, two folded names, short.bin, nameless text, nameless bytes
      {"python-compat32", PythonCompat32("python-compat32"), {0, 2, 4, 5}},
  };
  const std::string new_name = "Ärger – Übersicht.zip";
  const std::string new_data = PseudoRandomBytes(300001, 7);
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.label);
    const std::string unique = Deliver(ReadBytes(c.path));
    const std::string before_path = *PathOf(unique);
    const TPythonView before = ReadWithPython(before_path, c.label + "-before");
    {
      TRef<IMessage> message = Open(unique);
      ASSERT_TRUE(message);
      ReplaceTwoByOne(message.get(), 0, 2, new_name, new_data);
    }
    const TPythonView after = ReadWithPython(*PathOf(unique), c.label + "-after");

    const TJson& attachments = after.json["attachments"];
    const size_t count_before = before.json["attachments"].size();
    ASSERT_EQ(count_before - 1, attachments.size());
    const size_t last = attachments.size() - 1;
    EXPECT_EQ(new_name, attachments[last]["name"].text);
    EXPECT_TRUE(after.Attachment(last) == new_data) << "the new attachment's bytes differ";

    // Every part the rewrite did not touch is there byte for byte.
    ASSERT_EQ(c.kept_parts.size() + 1, static_cast<size_t>(after.json["parts"].number));
    for (size_t i = 0; i < c.kept_parts.size(); ++i) {
      SCOPED_TRACE("part " + std::to_string(c.kept_parts[i]));
      EXPECT_EQ(before.Part(c.kept_parts[i]), after.Part(i));
    }

    // And the store reads back what Python reads, new attachment included.
    ExpectAgreement(unique, after);
    TRef<IMessage> reopened = Open(unique, 0);
    IMAPITable* table = nullptr;
    ASSERT_HR(S_OK, reopened->GetAttachmentTable(0, &table));
    const auto rows = Rows(table, {PR_ATTACH_NUM, PR_ATTACH_FILENAME});
    table->Release();
    ASSERT_FALSE(rows.empty());
    IAttach* attach = nullptr;
    ASSERT_HR(S_OK, reopened->OpenAttach(static_cast<ULONG>(rows.back()[0].number), nullptr, 0, &attach));
    TRef<IAttach> held(attach);
    EXPECT_EQ(-1, LongOf(attach, 0x03700003).value_or(0));
    EXPECT_EQ("ARCHIVE.ZIP", TextOf(attach, PR_ATTACH_FILENAME).value_or(""));
  }
}

}  // namespace
}  // namespace corvid::mapi::test
