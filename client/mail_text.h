// The text of a new message: the envelope and body that the client writes as
// MIME, and the header work `corvid sendmail` does on a message it is given.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvid::client {

// Addresses as HeaderAddress writes them.
struct TDraft {
  std::string from;
  std::vector<std::string> to, cc, bcc;
  std::string subject;
  std::string body;
};

// A whole MIME message (LF line ends) with Date and Message-ID, a
// text/plain body in UTF-8, 7bit or 8bit when the lines allow, else base64.
std::string ComposeMessage(const TDraft& draft, int64_t unix_time);

// RFC 2047 for a header text that is not plain ASCII (UTF-8 words).
std::string EncodeHeaderText(std::string_view text);

// The sender when none is given, as mail programs find it: the profile's
// identity (`configured`, when not empty), else $EMAIL, else the login name
// at this host.
std::string DefaultSender(const std::string& configured = "");

// One address as given on a command line ("Bob Müller <bob@example.com>",
// "bob@example.com", "FAX:+1 555 0100"), written for a header: a display
// name beyond ASCII as RFC 2047 words, one with special characters quoted.
// None, with `why` set, when it is not an address.
std::optional<std::string> HeaderAddress(std::string_view given, std::string* why);

// The header block of a message, as read up to (not including) the empty
// line, split into fields; continuation lines stay with their field.
struct THeaderField {
  std::string name;
  std::string raw;  // the whole field as written, line ends included
};
// False, with `stray` set to the first such line, when the block holds a
// line that is no header field; `fields` then has the fields before it.
bool SplitHeaderFields(std::string_view header_block, std::vector<THeaderField>* fields, std::string* stray);
// The value of a field, unfolded, without the name and colon.
std::string FieldValue(const THeaderField& field);
// The addresses (local@domain, as written in <> or bare) of an address
// list such as a To field's value: a group's members count, its name and
// comments do not, nor a bare local name.
std::vector<std::string> AddressesOf(std::string_view value);

// Copies a message without the header fields that only the message store
// keeps for itself ("X-MAPI-..."): they leave neither the message's header
// nor the header of any part of its multipart tree. Bodies pass unchanged,
// an embedded message's included, so a text that quotes such a line is not
// touched. Fed in pieces of any size; it holds at most the start of one
// line (and the Content-Type field of the header it is in).
class TPrivateHeaderFilter {
 public:
  using TSink = std::function<void(const char* data, size_t size)>;
  explicit TPrivateHeaderFilter(TSink sink) : sink_(std::move(sink)) {}
  void Write(const char* data, size_t size);
  // Passes a last line that has no line end.
  void Finish();

  // Whether a header field of this name is the store's own.
  static bool IsPrivateField(std::string_view name);

 private:
  void Decide(bool whole);
  void Emit();

  TSink sink_;
  std::string line_;       // the current line, or its undecided start
  bool decided_ = false;   // line_ is the rest of a line already judged
  bool keep_line_ = true;
  bool in_header_ = true;
  bool dropping_field_ = false;   // the header field being read is private
  bool in_content_type_ = false;  // ... is Content-Type
  std::string content_type_;
  std::vector<std::string> boundaries_;  // of the open multiparts, outermost first
};

// The whole of `message` through TPrivateHeaderFilter.
std::string WithoutPrivateHeaders(std::string_view message);

}  // namespace corvid::client
