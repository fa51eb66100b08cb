// A mail message as a MIME tree, with what the store offers of it: the
// envelope, the recipients, the attachments and their data, and properties
// that MIME has no header for. GMime does the parsing and writing inside
// mime_message.cpp; nothing here exposes it.
//
// Rules (DESIGN.md, the store):
// - The attachments are the leaf parts that have a file name or are marked
//   Content-Disposition: attachment (attachments by value) and the
//   message/rfc822 parts (embedded messages), in document order; a leaf
//   part whose transfer encoding is unknown is an attachment too, whose
//   data cannot be read. The walk does not enter embedded messages. Body
//   parts without that mark (a text/plain body, the pieces of a
//   multipart/alternative, inline parts) are not attachments.
// - An attachment by value without a file name is offered under a made-up
//   one, "attachment" and the usual extension of its media type:
//   "attachment.pdf" for application/pdf, "attachment.txt" for text/plain
//   and any other text type, "attachment.bin" for a type the table in
//   mime_message.cpp does not know. The part itself stays without a name
//   until a caller gives it one.
// - File names are read as mail readers read them: RFC 2231, and RFC 2047
//   encoded words also inside a quoted parameter, folded over several
//   lines, each word decoded on its own and the bytes of adjacent words of
//   one charset joined before they are converted.
// - The attachments are found by one walk of the tree per message, kept up
//   to date by the changes: listing, looking up, reading and removing them
//   takes time in proportion to their number, however many there are.
// - Attachment data is read and written as streams through the file the
//   message came from or a scratch file; no attachment is held in memory.
// - A message written back keeps every byte of every part and header that
//   was not changed, line ends included (LF or CR LF, as the file had).
// - New file names are written as real clients write them: RFC 2231 in
//   Content-Disposition, RFC 2047 in Content-Type's name, in UTF-8.
// - Recipients come from To, Cc and Bcc, or, for a message that carries an
//   envelope of its own (X-MAPI-Envelope-To, written by a sendmail-style
//   submission without -t), from that envelope alone. An address written TYPE:address
//   (for instance "FAX:+1 555 0100", bare or in angle brackets) is of that
//   address type; every other one is SMTP.
// - The message class is IPM.Note, or IPM.Schedule.Meeting.Request (and the
//   other meeting classes) when a text/calendar part says METHOD:REQUEST
//   (CANCEL, REPLY) in its method parameter or, for a body part, in its
//   text.
// - Properties without a MIME header are kept in X-MAPI-Property headers
//   (of the message or of the attachment's part), named properties in
//   X-MAPI-Named-Property headers of the message, by name.
//
// A TMimeMessage is used by one thread at a time. Parsing never fails for
// malformed content: what can be read is offered. Reading the file itself
// can fail (EMapiError).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/mapi/mail_files.h"
#include "platform/mapi/named_props.h"
#include "platform/mapi/prop_value.h"

namespace corvid::mapi {

// Decoded bytes, read from the start on.
class TByteSource {
 public:
  TByteSource() = default;
  TByteSource(const TByteSource&) = delete;
  TByteSource& operator=(const TByteSource&) = delete;
  virtual ~TByteSource() = default;
  // Up to `length` bytes, 0 only at the end. Raises EMapiError
  // (MAPI_E_CORRUPT_DATA for data that cannot be decoded).
  virtual size_t Read(void* buffer, size_t length) = 0;
};

struct TMimeRecipient {
  LONG type = MAPI_TO;  // MAPI_TO, MAPI_CC or MAPI_BCC
  std::string display_name;
  std::string addr_type;
  std::string email;
};

struct TMimeAttachment {
  int handle = 0;  // stable for the life of the TMimeMessage
  bool embedded = false;
  bool decodable = true;
  std::string file_name;     // made up for a part by value without one
  bool name_made_up = false;  // the part itself names no file
  std::string subject;       // of an embedded message
  std::string mime_type;     // "application/zip"
  std::string content_id;
  uint64_t raw_size = 0;     // bytes of the part's encoded content
  std::vector<TProp> stored;  // its X-MAPI-Property values
};

// Changes to one attachment, applied together.
struct TAttachmentChange {
  std::optional<std::string> file_name;
  std::optional<std::string> mime_type;
  std::shared_ptr<TReadFile> data;  // the new decoded content; null keeps the old
  // Stored properties to set (a value) or remove (nullopt), by property id.
  std::map<ULONG, std::optional<TProp>> stored;
};

class TMimeMessage {
 public:
  static std::unique_ptr<TMimeMessage> Parse(std::shared_ptr<TReadFile> file);
  // An empty message for a new one; Date and Message-ID are added when it
  // is first written.
  static std::unique_ptr<TMimeMessage> CreateNew();
  ~TMimeMessage();
  TMimeMessage(const TMimeMessage&) = delete;
  TMimeMessage& operator=(const TMimeMessage&) = delete;

  std::string Subject() const;
  void SetSubject(const std::string& subject);
  std::string MessageClass() const;
  std::string MessageId() const;
  std::optional<int64_t> DateUnixSeconds() const;
  std::optional<TMimeRecipient> Sender() const;
  std::vector<TMimeRecipient> Recipients() const;

  std::vector<TMimeAttachment> Attachments() const;
  std::optional<TMimeAttachment> Attachment(int handle) const;
  // The decoded content of an attachment by value; MAPI_E_NOT_FOUND for an
  // embedded message or a removed attachment.
  std::unique_ptr<TByteSource> OpenData(int handle) const;
  void RemoveAttachment(int handle);
  // A new part at the end of the message (inside a multipart/mixed, made
  // around the old body when there is none); its handle.
  int AddAttachment(const TAttachmentChange& change);
  void ChangeAttachment(int handle, const TAttachmentChange& change);

  std::vector<TProp> StoredProps() const;
  void SetStoredProp(const TProp& prop);
  void RemoveStoredProp(ULONG prop_id);
  std::vector<std::pair<TNamedKey, TProp>> NamedProps() const;
  void SetNamedProp(const TNamedKey& key, const TProp& value);
  void RemoveNamedProp(const TNamedKey& key);

  // Sets Date and Message-ID when they are missing.
  void CompleteEnvelope();
  // Writes the whole message; raises when `out` fails.
  void WriteTo(TWriteFile& out) const;

  // Parts of the MIME tree visited so far to find the attachments, for the
  // store's tests: one walk after the parse, another only after a change
  // that replaces the whole body.
  uint64_t PartVisits() const;

  struct TImpl;

 private:
  explicit TMimeMessage(std::unique_ptr<TImpl> impl);
  std::unique_ptr<TImpl> impl_;
};

// The file name of a stored-property header value and back: exposed for
// the store's tests. "03700003 -1", "3704001E name%20with%20blanks.txt".
std::string FormatStoredProp(const TProp& prop);
std::optional<TProp> ParseStoredProp(const std::string& text);

}  // namespace corvid::mapi
