// The MIME layer of the store on its own: which parts are attachments and
// under which names, names folded as several encoded words, and that the
// attachment table is found by one walk of the tree however much it is used.
#include "platform/mapi/mime_message.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/mapi/memory_mail_files.h"

namespace corvid::mapi::test {
namespace {

class TMimeMessageTest : public ::testing::Test {
 protected:
  std::unique_ptr<TMimeMessage> Parse(const std::string& content) {
    const std::string path = "/in-" + std::to_string(++files_made_);
    files_->Put(path, content);
    return TMimeMessage::Parse(files_->OpenRead(path));
  }
  std::string Write(const TMimeMessage& message) {
    const std::string path = "/out-" + std::to_string(++files_made_);
    auto out = files_->Create(path);
    message.WriteTo(*out);
    out->Close();
    return files_->Content(path).value_or("");
  }
  std::shared_ptr<TReadFile> Data(const std::string& bytes) {
    const std::string path = "/data-" + std::to_string(++files_made_);
    files_->Put(path, bytes);
    return files_->OpenRead(path);
  }
  static std::string Read(const TMimeMessage& message, int handle) {
    auto source = message.OpenData(handle);
    std::string data;
    char buffer[4096];
    while (const size_t got = source->Read(buffer, sizeof buffer)) data.append(buffer, got);
    return data;
  }

  std::shared_ptr<TMemoryMailFiles> files_ = std::make_shared<TMemoryMailFiles>();
  int files_made_ = 0;
};

// A text body and one more part with these headers and "part data".
std::string WithPart(const std::string& headers) {
  return "From: a@example.org\nSubject: parts\nMIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=\"b\"\n\n"
         "--b\nContent-Type: text/plain; charset=utf-8\n\nThe body.\n"
         "--b\n" + headers + "\npart data\n--b--\n";
}

TEST_F(TMimeMessageTest, OnlyPartsMarkedAsAttachmentsAreListedWithoutAName) {
  struct TCase {
    const char* label;
    std::string headers;
    const char* name;  // nullptr: not an attachment
    bool made_up;
  };
  const std::vector<TCase> cases = {
      {"text without disposition", "Content-Type: text/plain\n", nullptr, false},
      {"inline without a name", "Content-Type: text/plain\nContent-Disposition: inline\n", nullptr, false},
      {"octet-stream", "Content-Type: application/octet-stream\nContent-Disposition: attachment\n", "attachment.bin",
       true},
      {"a pipe attached by a command-line mailer",
       "Content-Type: text/plain; charset=UTF-8\nContent-Disposition: attachment\nContent-Transfer-Encoding: 8bit\n"
       "Content-ID: <20240101120000.1@host>\n",
       "attachment.txt", true},
      {"case of type and disposition", "Content-Type: Application/PDF\nContent-Disposition: ATTACHMENT; size=9\n",
       "attachment.pdf", true},
      {"an alias of a known type", "Content-Type: application/x-zip-compressed\nContent-Disposition: attachment\n",
       "attachment.zip", true},
      {"another text type", "Content-Type: text/x-log\nContent-Disposition: attachment\n", "attachment.txt", true},
      {"an unknown type", "Content-Type: image/x-nobody-knows\nContent-Disposition: attachment\n", "attachment.bin",
       true},
      {"no Content-Type", "Content-Disposition: attachment\n", "attachment.txt", true},
      {"named in Content-Type", "Content-Type: application/zip; name=\"a.zip\"\nContent-Disposition: attachment\n",
       "a.zip", false},
      {"named and inline", "Content-Type: image/png\nContent-Disposition: inline; filename=\"p.png\"\n", "p.png", false},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.label);
    auto message = Parse(WithPart(c.headers));
    const std::vector<TMimeAttachment> list = message->Attachments();
    if (c.name == nullptr) {
      EXPECT_TRUE(list.empty());
      continue;
    }
    ASSERT_EQ(1u, list.size());
    EXPECT_EQ(c.name, list[0].file_name);
    EXPECT_EQ(c.made_up, list[0].name_made_up);
    EXPECT_EQ("part data", Read(*message, list[0].handle));
  }

  // The pieces of a multipart/alternative body are the body, not attachments.
  auto alternative = Parse(
      "Subject: alt\nMIME-Version: 1.0\nContent-Type: multipart/alternative; boundary=a\n\n"
      "--a\nContent-Type: text/plain\n\nplain\n--a\nContent-Type: text/html\n\n<p>html</p>\n--a--\n");
  EXPECT_TRUE(alternative->Attachments().empty());
  // A whole message marked as an attachment is one.
  auto whole = Parse("Subject: whole\nContent-Type: application/pdf\nContent-Disposition: attachment\n\n%PDF-\n");
  ASSERT_EQ(1u, whole->Attachments().size());
  EXPECT_EQ("attachment.pdf", whole->Attachments()[0].file_name);
}

TEST_F(TMimeMessageTest, NamelessAttachmentsKeepTheirBytesAndStayListedAcrossRewrites) {
  const std::string piped =
      "Content-Type: text/plain; charset=UTF-8\r\nContent-Disposition: attachment\r\n"
      "Content-Transfer-Encoding: 8bit\r\nContent-ID: <1.2@host>\r\n\r\nline one\r\nline \xC3\xBC two\r\n";
  const std::string content =
      "Subject: piped\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b\"\r\n\r\n"
      "--b\r\nContent-Type: text/plain\r\n\r\nbody\r\n"
      "--b\r\nContent-Type: application/zip\r\nContent-Disposition: attachment; filename=\"old.zip\"\r\n"
      "Content-Transfer-Encoding: base64\r\n\r\nUEsFBg==\r\n"
      "--b\r\n" + piped +
      "--b\r\nContent-Type: application/octet-stream\r\nContent-Transfer-Encoding: x-nobody\r\n\r\n\x01\x02\r\n"
      "--b--\r\n";
  auto message = Parse(content);
  std::vector<TMimeAttachment> list = message->Attachments();
  ASSERT_EQ(3u, list.size());
  EXPECT_EQ("attachment.txt", list[1].file_name);
  EXPECT_EQ("attachment.bin", list[2].file_name);
  EXPECT_FALSE(list[2].decodable);

  // Another attachment changes: the nameless part is written as it was read.
  TAttachmentChange change;
  change.data = Data("new zip");
  message->ChangeAttachment(list[0].handle, change);
  const std::string written = Write(*message);
  EXPECT_NE(std::string::npos, written.find("--b\r\n" + piped + "--b")) << written;
  auto again = Parse(written);
  ASSERT_EQ(3u, again->Attachments().size());
  EXPECT_EQ("attachment.txt", again->Attachments()[1].file_name);
  EXPECT_EQ("line one\r\nline \xC3\xBC two", Read(*again, again->Attachments()[1].handle));

  // New data for nameless parts: they stay nameless attachments, the one
  // whose encoding was unknown included.
  change.data = Data("piped again");
  again->ChangeAttachment(again->Attachments()[1].handle, change);
  change.data = Data("decodable now");
  again->ChangeAttachment(again->Attachments()[2].handle, change);
  auto third = Parse(Write(*again));
  list = third->Attachments();
  ASSERT_EQ(3u, list.size());
  EXPECT_EQ("attachment.txt", list[1].file_name);
  EXPECT_TRUE(list[1].name_made_up);
  EXPECT_EQ("piped again", Read(*third, list[1].handle));
  EXPECT_EQ("attachment.bin", list[2].file_name);
  EXPECT_EQ("decodable now", Read(*third, list[2].handle));
}

TEST_F(TMimeMessageTest, NamesFoldedAsSeveralEncodedWordsDecodeWhole) {
  struct TCase {
    const char* label;
    std::string headers;
    const char* name;
  };
  const std::vector<TCase> cases = {
      {"padding in the first of three base64 words",
       "Content-Type: application/pdf\nContent-Disposition: attachment;\n"
       " filename=\"=?utf-8?b?w5xuw69jw7Zkw6kg4oCTIGEgcmE=?=\n =?utf-8?b?dGhlciBsb25n?=\n =?utf-8?b?IG5hbWUucGRm?=\"\n",
       "Ünïcödé – a rather long name.pdf"},
      {"a character split across two words",
       "Content-Type: text/plain\nContent-Disposition: attachment;\n"
       " filename=\"=?utf-8?b?ww==?=\n\t=?UTF-8?B?nGJlcnNpY2h0IOKCrC50eHQ=?=\"\n",
       "Übersicht €.txt"},
      {"words in two charsets and two encodings",
       "Content-Disposition: attachment;\n filename=\"=?iso-8859-1?q?=DCber?=\n =?utf-8?b?IHN0cmHDn2UudHh0?=\"\n",
       "Über straße.txt"},
      {"what only looks like a word stays as written",
       "Content-Disposition: attachment; filename=\"=?=?a ?b?c=?x?y?z?= =?utf-8?q?=C3=A9?=.txt\"\n",
       "=?=?a ?b?c=?x?y?z?= é.txt"},
      {"a blank between a word and plain text stays",
       "Content-Disposition: attachment; filename=\"=?utf-8?q?caf=C3=A9?= menu.txt\"\n", "café menu.txt"},
      {"only Content-Type's name",
       "Content-Type: application/pdf;\n name=\"=?utf-8?b?w5xuw69jw7Zkw6kg4oCTIGEgcmE=?=\n"
       " =?utf-8?b?dGhlciBsb25nIG5hbWUucGRm?=\"\n",
       "Ünïcödé – a rather long name.pdf"},
      {"continued parameter",
       "Content-Disposition: attachment;\n filename*0=\"=?utf-8?b?w5xuw69jw7Zkw6kg4oCTIGEgcmE=?=\";\n"
       " filename*1=\" =?utf-8?b?dGhlciBsb25nIG5hbWUucGRm?=\"\n",
       "Ünïcödé – a rather long name.pdf"},
      {"the last of a repeated header counts, as in GMime",
       "Content-Disposition: attachment; filename=\"first.txt\"\nContent-Disposition: attachment;\n"
       " filename=\"=?utf-8?b?w5xuw69jw7Zkw6kg4oCTIGEgcmE=?=\n =?utf-8?b?dGhlciBsb25nIG5hbWUucGRm?=\"\n",
       "Ünïcödé – a rather long name.pdf"},
      {"plain quoted name", "Content-Disposition: attachment; filename=\"a \\\"quoted\\\" name.txt\"\n",
       "a \"quoted\" name.txt"},
      {"RFC 2231", "Content-Disposition: attachment; filename*=utf-8''%C3%9Cber%20=%3F.txt\n", "Über =?.txt"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.label);
    auto message = Parse(WithPart(c.headers));
    ASSERT_EQ(1u, message->Attachments().size());
    EXPECT_EQ(c.name, message->Attachments()[0].file_name);
    EXPECT_FALSE(message->Attachments()[0].name_made_up);
  }
  // Also CR LF line ends, and the name of an embedded message.
  auto embedded = Parse(
      "Subject: fwd\r\nContent-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\nContent-Type: message/rfc822\r\n"
      "Content-Disposition: attachment;\r\n filename=\"=?utf-8?b?w5xuw69jw7Zkw6kg4oCTIGEgcmE=?=\r\n"
      " =?utf-8?b?dGhlciBsb25nIG5hbWUuZW1s?=\"\r\n\r\nSubject: inner\r\n\r\ninner\r\n--b--\r\n");
  ASSERT_EQ(1u, embedded->Attachments().size());
  EXPECT_TRUE(embedded->Attachments()[0].embedded);
  EXPECT_EQ("Ünïcödé – a rather long name.eml", embedded->Attachments()[0].file_name);
}

TEST_F(TMimeMessageTest, AttachmentTableIsFoundByOneWalkHoweverMuchItIsUsed) {
  // mixed[alternative[text, html], half of the attachments,
  //       mixed[the other half], message/rfc822]: the attachments and six
  // other parts (the walk does not enter the embedded message).
  constexpr int kAttachments = 400;
  std::string content =
      "Subject: many\nMIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=top\n\n"
      "--top\nContent-Type: multipart/alternative; boundary=alt\n\n"
      "--alt\nContent-Type: text/plain\n\nplain\n--alt\nContent-Type: text/html\n\n<p>html</p>\n--alt--\n";
  auto part = [](int i) {
    return "Content-Type: application/octet-stream\nContent-Disposition: attachment; filename=\"f" + std::to_string(i) +
           ".bin\"\n\ndata " + std::to_string(i) + "\n";
  };
  for (int i = 0; i < kAttachments / 2; ++i) content += "--top\n" + part(i);
  content += "--top\nContent-Type: multipart/mixed; boundary=inner\n\n";
  for (int i = kAttachments / 2; i < kAttachments; ++i) content += "--inner\n" + part(i);
  content += "--inner--\n--top\nContent-Type: message/rfc822\n\nSubject: inner\n\nbody\n--top--\n";
  const uint64_t kParts = kAttachments + 6;

  auto message = Parse(content);
  std::vector<TMimeAttachment> list = message->Attachments();
  ASSERT_EQ(static_cast<size_t>(kAttachments + 1), list.size());
  for (int i = 0; i < kAttachments; ++i) {
    ASSERT_TRUE(message->Attachment(list[i].handle).has_value());
    ASSERT_EQ("data " + std::to_string(i), Read(*message, list[i].handle));
  }
  TAttachmentChange rename;
  rename.file_name = "renamed.bin";
  message->ChangeAttachment(list[0].handle, rename);
  // Every other attachment goes, the whole inner multipart among them.
  for (int i = 1; i < kAttachments; i += 2) message->RemoveAttachment(list[i].handle);
  for (int i = kAttachments / 2; i < kAttachments; i += 2) message->RemoveAttachment(list[i].handle);
  TAttachmentChange added;
  added.file_name = "added.bin";
  added.data = Data("added");
  const int handle = message->AddAttachment(added);
  EXPECT_EQ("added", Read(*message, handle));
  list = message->Attachments();
  ASSERT_EQ(static_cast<size_t>(kAttachments / 4 + 2), list.size());
  EXPECT_EQ("renamed.bin", list.front().file_name);
  EXPECT_EQ("added.bin", list.back().file_name);
  EXPECT_EQ(kParts, message->PartVisits());

  // The message written reads back as the table said.
  auto again = Parse(Write(*message));
  ASSERT_EQ(list.size(), again->Attachments().size());
  for (size_t i = 0; i < list.size(); ++i) EXPECT_EQ(list[i].file_name, again->Attachments()[i].file_name);
}

}  // namespace
}  // namespace corvid::mapi::test
