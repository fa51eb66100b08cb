#include "client/mail_text.h"

#include <gmime/gmime.h>
#include <pwd.h>
#include <strings.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <random>

#if defined(__SANITIZE_ADDRESS__)
#define CORVID_CLIENT_LSAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define CORVID_CLIENT_LSAN 1
#endif
#endif
#ifndef CORVID_CLIENT_LSAN
#define CORVID_CLIENT_LSAN 0
#endif
#if CORVID_CLIENT_LSAN
#include <sanitizer/lsan_interface.h>
#endif

namespace corvid::client {
namespace {

// GMime writes and reads the headers: the message store is built on it, so
// the client and the store agree on what a header says.
void InitMime() {
  static std::once_flag once;
  std::call_once(once, [] {
#if CORVID_CLIENT_LSAN
    // GMime's type table lives as long as the process; the entries that the
    // store's own registrations replace later are dropped without being
    // freed: not a leak of ours to report.
    __lsan_disable();
#endif
    g_mime_init();
#if CORVID_CLIENT_LSAN
    __lsan_enable();
#endif
  });
}

struct TGFree {
  void operator()(void* memory) const { g_free(memory); }
};
struct TUnref {
  void operator()(void* object) const { g_object_unref(object); }
};
template <typename T>
using TGObject = std::unique_ptr<T, TUnref>;

// Takes a string GMime allocated.
std::string Taken(char* text) {
  const std::unique_ptr<char, TGFree> owned(text);
  return owned ? std::string(owned.get()) : std::string();
}

std::string WithoutTrailingNewline(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

bool IsPlainAscii(std::string_view text) {
  for (unsigned char c : text) {
    if (c >= 0x80 || (c < 0x20 && c != '\t')) return false;
  }
  return true;
}

std::string JoinAddresses(const std::vector<std::string>& addresses) {
  std::string out;
  for (const std::string& address : addresses) out += (out.empty() ? "" : ", ") + address;
  return out;
}

std::string Trim(std::string_view text) {
  size_t start = 0, end = text.size();
  while (start < end && (text[start] == ' ' || text[start] == '\t' || text[start] == '\r' || text[start] == '\n')) {
    ++start;
  }
  while (end > start && (text[end - 1] == ' ' || text[end - 1] == '\t' || text[end - 1] == '\r' || text[end - 1] == '\n')) {
    --end;
  }
  return std::string(text.substr(start, end - start));
}

// "Name: value" folded as mail wants it (lines of at most 78 characters
// where the words allow), without the final line end.
std::string FoldedField(const std::string& field, bool structured) {
  InitMime();
  GMimeFormatOptions* options = g_mime_format_options_get_default();
  return WithoutTrailingNewline(
      Taken(structured ? g_mime_utils_structured_header_fold(nullptr, options, field.c_str())
                       : g_mime_utils_unstructured_header_fold(nullptr, options, field.c_str())));
}

// Base64 in lines of 76 characters, each with its line end.
std::string Base64Lines(std::string_view data) {
  InitMime();
  std::string out(GMIME_BASE64_ENCODE_LEN(data.size()), '\0');
  int state = 0;
  guint32 save = 0;
  const size_t written =
      g_mime_encoding_base64_encode_close(reinterpret_cast<const unsigned char*>(data.data()), data.size(),
                                          reinterpret_cast<unsigned char*>(out.data()), &state, &save);
  out.resize(written);
  return out;
}

// The mailboxes of an address list, a group's members included.
void CollectMailboxes(InternetAddressList* list, std::vector<InternetAddressMailbox*>* into) {
  const int count = list != nullptr ? internet_address_list_length(list) : 0;
  for (int i = 0; i < count; ++i) {
    InternetAddress* address = internet_address_list_get_address(list, i);
    if (INTERNET_ADDRESS_IS_GROUP(address)) {
      CollectMailboxes(internet_address_group_get_members(INTERNET_ADDRESS_GROUP(address)), into);
    } else if (INTERNET_ADDRESS_IS_MAILBOX(address)) {
      into->push_back(INTERNET_ADDRESS_MAILBOX(address));
    }
  }
}

TGObject<InternetAddressList> ParseAddressList(const std::string& text) {
  InitMime();
  return TGObject<InternetAddressList>(internet_address_list_parse(nullptr, text.c_str()));
}

}  // namespace

std::string EncodeHeaderText(std::string_view text) {
  if (IsPlainAscii(text)) return std::string(text);
  InitMime();
  const std::string plain(text);
  return Taken(g_mime_utils_header_encode_text(g_mime_format_options_get_default(), plain.c_str(), "utf-8"));
}

std::string DefaultSender(const std::string& configured) {
  if (!Trim(configured).empty()) return Trim(configured);
  if (const char* email = std::getenv("EMAIL"); email != nullptr && *email != '\0') return email;
  std::string login;
  if (const passwd* entry = ::getpwuid(::getuid()); entry != nullptr && entry->pw_name != nullptr) {
    login = entry->pw_name;
  } else if (const char* user = std::getenv("USER"); user != nullptr) {
    login = user;
  }
  if (login.empty()) login = "corvid";
  char host[256] = "localhost";
  if (::gethostname(host, sizeof host - 1) != 0) std::snprintf(host, sizeof host, "localhost");
  return login + "@" + host;
}

namespace {

// TYPE:address, as the store reads it for other address types ("FAX:+1 555
// 0100"): not a mailbox of RFC 5322, so GMime would take it for a group.
bool IsTypedAddress(std::string_view address) {
  const size_t colon = address.find(':');
  const size_t at = address.rfind('@');
  if (colon == std::string_view::npos || (at != std::string_view::npos && at < colon)) return false;
  if (colon == 0 || colon + 1 >= address.size()) return false;
  for (unsigned char c : address.substr(0, colon)) {
    if (!std::isalnum(c)) return false;
  }
  for (unsigned char c : address.substr(colon + 1)) {
    if (c < ' ' || c == 0x7F || c == '<' || c == '>' || c == ',' || c == ';') return false;
  }
  return true;
}

// GMime reads what it is given generously ("a@b@c" as "a@b"); an address
// that mail is sent to is checked whole: one @, something on both sides,
// no blanks, controls or specials that would change what a peer reads.
bool IsMailboxAddress(std::string_view address) {
  const size_t at = address.rfind('@');
  if (at == std::string_view::npos || at == 0 || at + 1 >= address.size()) return false;
  for (unsigned char c : address) {
    if (c <= ' ' || c == 0x7F || c == '<' || c == '>' || c == ',' || c == ';' || c == '(' || c == ')' ||
        c == '"' || c == '\\') {
      return false;
    }
  }
  const std::string_view domain = address.substr(at + 1);
  return domain.find('@') == std::string_view::npos && domain.front() != '.' && domain.back() != '.';
}

}  // namespace

std::optional<std::string> HeaderAddress(std::string_view given, std::string* why) {
  const std::string text = Trim(given);
  const std::string refused = "\"" + text + "\" is not an address (write name@domain, or Name <name@domain>)";
  if (IsTypedAddress(text)) return text;
  for (unsigned char c : text) {
    if (c < ' ' && c != '\t') {
      *why = "\"" + text + "\": an address may not hold control characters";
      return std::nullopt;
    }
  }
  const TGObject<InternetAddressList> list = ParseAddressList(text);
  if (!list || internet_address_list_length(list.get()) != 1 ||
      !INTERNET_ADDRESS_IS_MAILBOX(internet_address_list_get_address(list.get(), 0))) {
    *why = refused;
    return std::nullopt;
  }
  InternetAddress* address = internet_address_list_get_address(list.get(), 0);
  const char* address_text = internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(address));
  // GMime reads generously ("a@b@c" as "a@b"): the address written, bare
  // or in the last <>, must be the very one it read, so that mail goes
  // nowhere but where it was asked to.
  const size_t open = text.rfind('<');
  const std::string written =
      open == std::string::npos ? text : text.back() == '>' ? Trim(text.substr(open + 1, text.size() - open - 2)) : "";
  if (address_text == nullptr || written != address_text || !IsMailboxAddress(written)) {
    *why = refused;
    return std::nullopt;
  }
  internet_address_set_charset(address, "utf-8");
  return Taken(internet_address_to_string(address, g_mime_format_options_get_default(), TRUE));
}

std::string ComposeMessage(const TDraft& draft, int64_t unix_time) {
  std::string out;
  // Addresses are written for a header already (HeaderAddress).
  out += FoldedField("From: " + draft.from, true) + "\n";
  if (!draft.to.empty()) out += FoldedField("To: " + JoinAddresses(draft.to), true) + "\n";
  if (!draft.cc.empty()) out += FoldedField("Cc: " + JoinAddresses(draft.cc), true) + "\n";
  if (!draft.bcc.empty()) out += FoldedField("Bcc: " + JoinAddresses(draft.bcc), true) + "\n";
  out += FoldedField("Subject: " + EncodeHeaderText(draft.subject), false) + "\n";
  char date[64];
  const time_t when = static_cast<time_t>(unix_time);
  struct tm local {};
  ::localtime_r(&when, &local);
  std::strftime(date, sizeof date, "%a, %d %b %Y %H:%M:%S %z", &local);
  out += std::string("Date: ") + date + "\n";
  std::random_device random;
  char id[96];
  std::snprintf(id, sizeof id, "<%lld.%d.%08x@corvid.invalid>", static_cast<long long>(unix_time),
                static_cast<int>(::getpid()), static_cast<unsigned>(random()));
  out += std::string("Message-ID: ") + id + "\n";
  out += "MIME-Version: 1.0\n";
  out += "Content-Type: text/plain; charset=utf-8\n";

  bool ascii = true, short_lines = true, has_nul = false;
  size_t line = 0;
  for (unsigned char c : draft.body) {
    if (c >= 0x80) ascii = false;
    if (c == 0) has_nul = true;
    line = c == '\n' ? 0 : line + 1;
    if (line > 998) short_lines = false;
  }
  std::string body = draft.body;
  if (!body.empty() && body.back() != '\n') body += '\n';
  if (short_lines && !has_nul) {
    out += std::string("Content-Transfer-Encoding: ") + (ascii ? "7bit" : "8bit") + "\n\n" + body;
  } else {
    out += "Content-Transfer-Encoding: base64\n\n" + Base64Lines(draft.body);
  }
  return out;
}

bool SplitHeaderFields(std::string_view block, std::vector<THeaderField>* fields, std::string* stray) {
  fields->clear();
  stray->clear();
  if (block.empty()) return true;
  InitMime();
  // GMime's parser reads a header block as a part's; the fields it finds
  // are taken from the block byte for byte (by their offsets), so a field
  // passes on exactly as it was written.
  const TGObject<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(block.data(), block.size()));
  const TGObject<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
  g_mime_parser_set_format(parser.get(), GMIME_FORMAT_MESSAGE);
  const TGObject<GMimeObject> part(g_mime_parser_construct_part(parser.get(), nullptr));
  GMimeHeaderList* list = part ? g_mime_object_get_header_list(part.get()) : nullptr;
  const int count = list != nullptr ? g_mime_header_list_get_count(list) : 0;
  size_t covered = 0;
  auto stray_up_to = [&](size_t end) {
    if (end <= covered) return false;
    const std::string_view rest = block.substr(covered, end - covered);
    *stray = std::string(rest.substr(0, rest.find('\n') == std::string_view::npos ? rest.size() : rest.find('\n') + 1));
    return true;
  };
  for (int i = 0; i < count; ++i) {
    GMimeHeader* header = g_mime_header_list_get_header_at(list, i);
    const gint64 offset = g_mime_header_get_offset(header);
    const char* raw_value = g_mime_header_get_raw_value(header);
    if (offset < 0 || static_cast<size_t>(offset) >= block.size() || raw_value == nullptr) continue;
    const size_t start = static_cast<size_t>(offset);
    const size_t colon = block.find(':', start);
    if (colon == std::string_view::npos) continue;
    const size_t end = std::min(block.size(), colon + 1 + std::strlen(raw_value));
    // A line GMime passed over is no field: the caller refuses it.
    if (stray_up_to(start)) return false;
    THeaderField field;
    field.name = g_mime_header_get_name(header);
    field.raw = std::string(block.substr(start, end - start));
    fields->push_back(std::move(field));
    covered = end;
  }
  return !stray_up_to(block.size());
}

std::string FieldValue(const THeaderField& field) {
  const size_t colon = field.raw.find(':');
  if (colon == std::string::npos) return {};
  InitMime();
  return Trim(Taken(g_mime_utils_header_unfold(field.raw.substr(colon + 1).c_str())));
}

std::vector<std::string> AddressesOf(std::string_view value) {
  const TGObject<InternetAddressList> list = ParseAddressList(std::string(value));
  std::vector<InternetAddressMailbox*> mailboxes;
  CollectMailboxes(list.get(), &mailboxes);
  std::vector<std::string> addresses;
  for (InternetAddressMailbox* mailbox : mailboxes) {
    const char* address_text = internet_address_mailbox_get_addr(mailbox);
    // A bare local name is no address to send to in a header.
    if (address_text == nullptr || std::strchr(address_text, '@') == nullptr) continue;
    bool blank = false;
    for (const char* c = address_text; *c != '\0'; ++c) blank = blank || static_cast<unsigned char>(*c) <= ' ';
    if (!blank) addresses.emplace_back(address_text);
  }
  return addresses;
}

}  // namespace corvid::client

// --- the store's own header fields -------------------------------------------

namespace corvid::client {
namespace {

// A boundary line is far shorter: a longer line is judged by its start and
// passed on without being held whole (a binary part may have no line ends).
constexpr size_t kLongestHeldLine = 8192;
constexpr size_t kLongestContentType = 16384;

std::string_view WithoutLineEnd(std::string_view line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  return line;
}

std::string_view TrimView(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && strncasecmp(text.data(), prefix.data(), prefix.size()) == 0;
}

bool SameNoCase(std::string_view a, std::string_view b) { return a.size() == b.size() && StartsWithNoCase(a, b); }

// The boundary of a multipart Content-Type value; empty for any other type.
std::string BoundaryOf(std::string_view value) {
  value = TrimView(value);
  if (!StartsWithNoCase(value, "multipart/")) return {};
  size_t i = value.find(';');
  while (i != std::string_view::npos) {
    const size_t eq = value.find('=', i + 1);
    if (eq == std::string_view::npos) return {};
    const std::string_view name = TrimView(value.substr(i + 1, eq - i - 1));
    size_t j = eq + 1;
    while (j < value.size() && (value[j] == ' ' || value[j] == '\t')) ++j;
    std::string param;
    if (j < value.size() && value[j] == '"') {
      for (++j; j < value.size() && value[j] != '"'; ++j) {
        if (value[j] == '\\' && j + 1 < value.size()) ++j;
        param += value[j];
      }
      if (j < value.size()) ++j;
    } else {
      while (j < value.size() && value[j] != ';' && value[j] != ' ' && value[j] != '\t') param += value[j++];
    }
    if (SameNoCase(name, "boundary")) return param;
    i = value.find(';', j);
  }
  return {};
}

}  // namespace

bool TPrivateHeaderFilter::IsPrivateField(std::string_view name) { return StartsWithNoCase(name, "X-MAPI-"); }

void TPrivateHeaderFilter::Write(const char* data, size_t size) {
  while (size > 0) {
    const char* newline = static_cast<const char*>(std::memchr(data, '\n', size));
    const size_t take = newline != nullptr ? static_cast<size_t>(newline - data) + 1 : size;
    if (decided_) {
      if (keep_line_) sink_(data, take);
    } else {
      line_.append(data, take);
      if (newline != nullptr) {
        Decide(true);
        Emit();
      } else if (line_.size() > kLongestHeldLine) {
        Decide(false);
        Emit();
        decided_ = true;
      }
    }
    if (newline != nullptr) decided_ = false;
    data += take;
    size -= take;
  }
}

void TPrivateHeaderFilter::Finish() {
  if (!line_.empty()) {
    Decide(true);
    Emit();
  }
  decided_ = false;
}

void TPrivateHeaderFilter::Emit() {
  if (keep_line_ && !line_.empty()) sink_(line_.data(), line_.size());
  line_.clear();
}

void TPrivateHeaderFilter::Decide(bool whole) {
  std::string_view text = whole ? WithoutLineEnd(line_) : std::string_view(line_);
  keep_line_ = true;
  if (in_header_) {
    if (text.empty()) {
      // The header ends; a multipart's parts begin at its boundary.
      in_header_ = false;
      const std::string boundary = BoundaryOf(content_type_);
      if (!boundary.empty()) boundaries_.push_back(boundary);
      content_type_.clear();
      in_content_type_ = dropping_field_ = false;
      return;
    }
    if (text[0] != ' ' && text[0] != '\t') {
      const size_t colon = text.find(':');
      const std::string_view name = TrimView(text.substr(0, colon));
      dropping_field_ = IsPrivateField(name);
      in_content_type_ = colon != std::string_view::npos && SameNoCase(name, "Content-Type");
      if (in_content_type_) {
        content_type_.clear();
        text = text.substr(colon + 1);
      }
    }
    keep_line_ = !dropping_field_;
    if (in_content_type_ && content_type_.size() < kLongestContentType) {
      content_type_.append(text);
      content_type_ += ' ';
    }
    return;
  }
  if (!whole || boundaries_.empty() || text.size() < 2 || text[0] != '-' || text[1] != '-') return;
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  // The innermost open multipart first; a boundary of an outer one closes
  // the inner ones left open.
  for (size_t i = boundaries_.size(); i-- > 0;) {
    const std::string& boundary = boundaries_[i];
    if (text.size() < 2 + boundary.size() || text.compare(2, boundary.size(), boundary) != 0) continue;
    const std::string_view rest = text.substr(2 + boundary.size());
    if (rest.empty()) {
      boundaries_.resize(i + 1);
      in_header_ = true;
      return;
    }
    if (rest == "--") {
      boundaries_.resize(i);
      return;
    }
  }
}

std::string WithoutPrivateHeaders(std::string_view message) {
  std::string out;
  TPrivateHeaderFilter filter([&out](const char* data, size_t size) { out.append(data, size); });
  filter.Write(message.data(), message.size());
  filter.Finish();
  return out;
}

}  // namespace corvid::client
