// The text of a new message: the envelope and body that the client writes as
// MIME, and the header work `corvid sendmail` does on a message it is given.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace corvid::client {

struct TDraft {
  std::string from;
  std::vector<std::string> to, cc, bcc;
  std::string subject;
  std::string body;
};

// A whole MIME message (LF line ends) with Date and Message-ID, a
// text/plain body in UTF-8, 7bit or 8bit when the lines allow, else base64.
std::string ComposeMessage(const TDraft& draft, int64_t unix_time);

// RFC 2047 for a header text that is not plain ASCII (UTF-8, base64 words).
std::string EncodeHeaderText(std::string_view text);

// The sender when none is given: $EMAIL, else $USER@host.
std::string DefaultSender();

// The header block of a message, as read up to (not including) the empty
// line, split into fields; continuation lines stay with their field.
struct THeaderField {
  std::string name;
  std::string raw;  // the whole field as written, line ends included
};
std::vector<THeaderField> SplitHeaderFields(std::string_view header_block);
// The value of a field, unfolded, without the name and colon.
std::string FieldValue(const THeaderField& field);
// The addresses (local@domain, as written in <> or bare) of an address
// list such as a To field's value; groups and comments are left out.
std::vector<std::string> AddressesOf(std::string_view value);

}  // namespace corvid::client
