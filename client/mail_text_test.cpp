// The header work of the client on message text.
#include "client/mail_text.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace corvid::client {
namespace {

// What leaves the machine keeps every byte but the store's own fields, which
// may stand in the message's header and in any part's header, folded or
// not; the same text in a body (or inside an embedded message) stays.
TEST(PrivateHeaderFilterTest, DropsTheStoresFieldsFromEveryHeaderAndNothingElse) {
  struct TCase {
    const char* what;
    std::string in, out;
  };
  const TCase cases[] = {
      {"top header, folded",
       "From: a@example.com\nX-MAPI-Named-Property: {00020329} name:Corvid%20prop\n 000B 1\nSubject: s\n\nbody\n"
       "X-MAPI-Property: 0E070003 9\n",
       "From: a@example.com\nSubject: s\n\nbody\nX-MAPI-Property: 0E070003 9\n"},
      {"parts of nested multiparts, CR LF",
       "Content-Type: multipart/mixed;\r\n boundary=\"o u\"\r\nx-mapi-property: 1 2\r\n\r\npre\r\n"
       "--o u\r\nContent-Type: multipart/alternative; boundary=in\r\n\r\n"
       "--in\r\nContent-Type: text/plain\r\nX-MAPI-Property: 3 4\r\n\r\nX-MAPI-Property: kept\r\n--in--\r\n"
       "--o u \r\nContent-Type: application/zip; name=a.zip\r\nX-MAPI-Property: 03700003 -1\r\n"
       "Content-Transfer-Encoding: base64\r\n\r\nUEsDBA==\r\n--o u--\r\nX-MAPI-Property: epilogue\r\n",
       "Content-Type: multipart/mixed;\r\n boundary=\"o u\"\r\n\r\npre\r\n"
       "--o u\r\nContent-Type: multipart/alternative; boundary=in\r\n\r\n"
       "--in\r\nContent-Type: text/plain\r\n\r\nX-MAPI-Property: kept\r\n--in--\r\n"
       "--o u \r\nContent-Type: application/zip; name=a.zip\r\n"
       "Content-Transfer-Encoding: base64\r\n\r\nUEsDBA==\r\n--o u--\r\nX-MAPI-Property: epilogue\r\n"},
      {"an embedded message is a body",
       "Content-Type: multipart/mixed; boundary=B\n\n--B\nContent-Type: message/rfc822\n\n"
       "X-MAPI-Property: inner\nSubject: fwd\n\ntext\n--B--\n",
       "Content-Type: multipart/mixed; boundary=B\n\n--B\nContent-Type: message/rfc822\n\n"
       "X-MAPI-Property: inner\nSubject: fwd\n\ntext\n--B--\n"},
      {"no header field of the store, no line end at the end",
       "To: b@example.com\n\n--B\nX-MAPI-Property: x", "To: b@example.com\n\n--B\nX-MAPI-Property: x"},
  };
  for (const TCase& c : cases) {
    EXPECT_EQ(WithoutPrivateHeaders(c.in), c.out) << c.what;
    // Fed a byte at a time, the same.
    std::string out;
    TPrivateHeaderFilter filter([&out](const char* data, size_t size) { out.append(data, size); });
    for (char byte : c.in) filter.Write(&byte, 1);
    filter.Finish();
    EXPECT_EQ(out, c.out) << c.what;
  }
}

// A part without line ends (binary data) passes whole without being held,
// and the boundary after it is still seen.
TEST(PrivateHeaderFilterTest, ALongLineInABodyPassesAndTheNextPartIsStillFiltered) {
  const std::string data(1 << 20, 'x');
  const std::string head = "Content-Type: multipart/mixed; boundary=B\n\n--B\nContent-Type: application/octet-stream\n\n";
  const std::string in = head + data + "\n--B\nX-MAPI-Property: 1 2\nContent-Type: text/plain\n\nt\n--B--\n";
  EXPECT_EQ(WithoutPrivateHeaders(in), head + data + "\n--B\nContent-Type: text/plain\n\nt\n--B--\n");
}

// Who receives mail is read from these lists: every mailbox, a group's
// members included; names, comments and quoted commas never make or break
// an address; a bare local name or a broken item is nobody.
TEST(AddressesOfTest, ReadsEveryMailboxOfAList) {
  const struct {
    const char* value;
    std::vector<std::string> addresses;
  } cases[] = {
      {"bob@example.com", {"bob@example.com"}},
      {"Bob <bob@example.com>, ann@example.org", {"bob@example.com", "ann@example.org"}},
      {"\"Lee, Kim\" <kim@example.com>, \"a <b@c.d>\" <real@example.com>", {"kim@example.com", "real@example.com"}},
      {"bob@example.com (Bob, at work), (x@y.z) ann@example.org", {"bob@example.com", "ann@example.org"}},
      {"Team: a@example.com, b@example.com;, c@example.com", {"a@example.com", "b@example.com", "c@example.com"}},
      {"Undisclosed recipients:;", {}},
      {"=?UTF-8?B?Qm9iIE3DvGxsZXI=?= <bob@example.com>", {"bob@example.com"}},
      {"root, postmaster", {}},
      {"", {}},
      {"<<<@@@>>>, \"unterminated", {}},
  };
  for (const auto& c : cases) EXPECT_EQ(AddressesOf(c.value), c.addresses) << c.value;
}

// An address given on a command line is refused unless it is one whole
// address; what is accepted is written as a header wants it.
TEST(HeaderAddressTest, WritesOneAddressOrSaysWhyNot) {
  const struct {
    const char* given;
    const char* written;  // null: refused
  } cases[] = {
      {"bob@example.com", "bob@example.com"},
      {"  Bob <bob@example.com>  ", "Bob <bob@example.com>"},
      {"Lee, Kim <kim@example.com>", "\"Lee, Kim\" <kim@example.com>"},
      {"\"Lee, Kim\" <kim@example.com>", "\"Lee, Kim\" <kim@example.com>"},
      {"Bob Müller <bob@example.com>", "Bob =?UTF-8?b?TcO8bGxlcg==?= <bob@example.com>"},
      {"FAX:+1 555 0100", "FAX:+1 555 0100"},
      {"not an address", nullptr},
      {"Bob <bob@example.com> x", nullptr},
      {"@example.com", nullptr},
      {"bob@", nullptr},
      {"a@b@example.com", nullptr},
      {"bob@example.com.", nullptr},
      {"a, b@example.com", nullptr},
      {"bob@example.com, ann@example.org", nullptr},
      {"Bob\x01 <bob@example.com>", nullptr},
      {"Bob <bob@example.com>\r\nBcc: eve@example.com", nullptr},
      {"", nullptr},
  };
  for (const auto& c : cases) {
    std::string why;
    const std::optional<std::string> written = HeaderAddress(c.given, &why);
    if (c.written == nullptr) {
      EXPECT_FALSE(written) << c.given << " -> " << written.value_or("");
      EXPECT_NE(why.find("not"), std::string::npos) << why;
    } else {
      EXPECT_EQ(written.value_or("(refused: " + why + ")"), c.written) << c.given;
    }
  }
}

// The fields of a header block, each exactly as written; a line that is
// no field is named, so the message is refused rather than sent without it.
TEST(SplitHeaderFieldsTest, KeepsEachFieldAsWrittenAndNamesAStrayLine) {
  const struct {
    const char* what;
    std::string block;
    std::vector<std::pair<std::string, std::string>> fields;  // name, raw
    const char* stray;                                         // null: none
  } cases[] = {
      {"folded, CR LF, no space after the colon",
       "To: a@example.com,\r\n  b@example.com\r\nX-Tag:v\r\nSubject : s\r\n",
       {{"To", "To: a@example.com,\r\n  b@example.com\r\n"}, {"X-Tag", "X-Tag:v\r\n"}, {"Subject", "Subject : s\r\n"}},
       nullptr},
      {"Content fields stay in place", "From: a@b.c\nContent-Type: text/plain\nTo: d@e.f\n",
       {{"From", "From: a@b.c\n"}, {"Content-Type", "Content-Type: text/plain\n"}, {"To", "To: d@e.f\n"}}, nullptr},
      {"a last line without its line end", "Subject: s", {{"Subject", "Subject: s"}}, nullptr},
      {"a stray line between fields", "From: a@b.c\nnot a header\nTo: d@e.f\n", {{"From", "From: a@b.c\n"}},
       "not a header\n"},
      {"a continuation before any field", "  folded\nSubject: s\n", {}, "  folded\n"},
      {"nothing", "", {}, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<THeaderField> fields;
    std::string stray;
    EXPECT_EQ(SplitHeaderFields(c.block, &fields, &stray), c.stray == nullptr);
    EXPECT_EQ(stray, c.stray == nullptr ? "" : c.stray);
    std::vector<std::pair<std::string, std::string>> got;
    for (const THeaderField& field : fields) got.emplace_back(field.name, field.raw);
    EXPECT_EQ(got, c.fields);
  }
  THeaderField folded{"To", "To: a@example.com,\r\n  b@example.com\r\n"};
  EXPECT_EQ(FieldValue(folded), "a@example.com,  b@example.com");
}

// A composed message reads back as written: the subject's words beyond
// ASCII encoded and folded into lines mail allows, a body with NUL bytes or
// endless lines in base64 lines of 76 characters.
TEST(ComposeMessageTest, EncodesWhatAHeaderOrA7bitBodyCannotCarry) {
  TDraft draft;
  draft.from = "ann@example.org";
  draft.to = {"bob@example.com"};
  draft.subject = std::string("Grüße ") + std::string(120, 'x') + " Köln";
  draft.body = std::string("a\0b", 3) + std::string(2000, 'y');
  const std::string message = ComposeMessage(draft, 0);
  const std::string header = message.substr(0, message.find("\n\n") + 1);
  for (size_t start = 0, end; (end = header.find('\n', start)) != std::string::npos; start = end + 1) {
    EXPECT_LE(end - start, 998u) << header;
    for (char c : header.substr(start, end - start)) EXPECT_LT(static_cast<unsigned char>(c), 0x80u) << header;
  }
  std::vector<THeaderField> fields;
  std::string stray;
  ASSERT_TRUE(SplitHeaderFields(header, &fields, &stray)) << stray;
  std::string subject;
  for (const THeaderField& field : fields) {
    if (field.name == "Subject") subject = FieldValue(field);
  }
  EXPECT_NE(subject.find("=?UTF-8?"), std::string::npos) << subject;
  EXPECT_NE(subject.find(std::string(60, 'x')), std::string::npos) << subject;  // plain words stay plain
  EXPECT_NE(header.find("Content-Transfer-Encoding: base64\n"), std::string::npos);
  const std::string body = message.substr(message.find("\n\n") + 2);
  EXPECT_EQ(body.substr(0, 8), "YQBi" + std::string("eXl5"));
  for (size_t start = 0, end; (end = body.find('\n', start)) != std::string::npos; start = end + 1) {
    EXPECT_LE(end - start, 76u);
  }
  EXPECT_EQ(body.back(), '\n');
}

}  // namespace
}  // namespace corvid::client
