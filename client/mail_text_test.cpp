// The header work of the client on message text.
#include "client/mail_text.h"

#include <gtest/gtest.h>

#include <string>

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

}  // namespace
}  // namespace corvid::client
