#include "client/mail_text.h"

#include <pwd.h>
#include <strings.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>

namespace corvid::client {
namespace {

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string Base64(std::string_view data) {
  std::string out;
  for (size_t i = 0; i < data.size(); i += 3) {
    uint32_t chunk = static_cast<unsigned char>(data[i]) << 16;
    if (i + 1 < data.size()) chunk |= static_cast<unsigned char>(data[i + 1]) << 8;
    if (i + 2 < data.size()) chunk |= static_cast<unsigned char>(data[i + 2]);
    out += kBase64[(chunk >> 18) & 63];
    out += kBase64[(chunk >> 12) & 63];
    out += i + 1 < data.size() ? kBase64[(chunk >> 6) & 63] : '=';
    out += i + 2 < data.size() ? kBase64[chunk & 63] : '=';
  }
  return out;
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

}  // namespace

std::string EncodeHeaderText(std::string_view text) {
  if (IsPlainAscii(text)) return std::string(text);
  // Words of at most 45 bytes (60 in base64), cut between UTF-8 characters.
  std::string out;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = std::min(text.size(), start + 45);
    while (end < text.size() && end > start + 1 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    if (!out.empty()) out += "\n ";
    out += "=?UTF-8?B?" + Base64(text.substr(start, end - start)) + "?=";
    start = end;
  }
  return out;
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

// RFC 5322's specials, and the blanks and controls no address may hold.
bool IsAtomText(std::string_view text) {
  for (unsigned char c : text) {
    if (c <= ' ' || c >= 0x7F || std::strchr("()<>[]:;@\\,.\"", c) != nullptr) return false;
  }
  return true;
}

bool IsBareAddress(std::string_view address) {
  // TYPE:address, as the store reads it for other address types.
  const size_t colon = address.find(':');
  const size_t at = address.rfind('@');
  if (colon != std::string_view::npos && (at == std::string_view::npos || colon < at)) {
    if (colon == 0 || colon + 1 >= address.size()) return false;
    for (unsigned char c : address.substr(0, colon)) {
      if (!std::isalnum(c)) return false;
    }
    for (unsigned char c : address.substr(colon + 1)) {
      if (c < ' ' || c == 0x7F || c == '<' || c == '>' || c == ',' || c == ';') return false;
    }
    return true;
  }
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
  std::string display, address;
  const size_t open = text.rfind('<');
  if (open != std::string::npos) {
    if (text.back() != '>') {
      *why = "\"" + text + "\" is not an address: nothing may follow the address in <>";
      return std::nullopt;
    }
    address = Trim(text.substr(open + 1, text.size() - open - 2));
    display = Trim(text.substr(0, open));
    if (display.size() >= 2 && display.front() == '"' && display.back() == '"') {
      display = display.substr(1, display.size() - 2);
    }
  } else {
    address = text;
  }
  if (!IsBareAddress(address)) {
    *why = "\"" + text + "\" is not an address (write name@domain, or Name <name@domain>)";
    return std::nullopt;
  }
  for (unsigned char c : display) {
    if (c < ' ' && c != '\t') {
      *why = "\"" + text + "\": a display name may not hold control characters";
      return std::nullopt;
    }
  }
  if (display.empty()) return address;
  if (!IsPlainAscii(display)) return EncodeHeaderText(display) + " <" + address + ">";
  bool atoms = true;
  size_t start = 0;
  while (start <= display.size()) {
    size_t end = display.find(' ', start);
    if (end == std::string::npos) end = display.size();
    if (end > start && !IsAtomText(display.substr(start, end - start))) atoms = false;
    start = end + 1;
  }
  if (atoms) return display + " <" + address + ">";
  std::string quoted = "\"";
  for (char c : display) {
    if (c == '"' || c == '\\') quoted += '\\';
    quoted += c;
  }
  return quoted + "\" <" + address + ">";
}

std::string ComposeMessage(const TDraft& draft, int64_t unix_time) {
  std::string out;
  out += "From: " + draft.from + "\n";  // written for a header already (HeaderAddress)
  if (!draft.to.empty()) out += "To: " + JoinAddresses(draft.to) + "\n";
  if (!draft.cc.empty()) out += "Cc: " + JoinAddresses(draft.cc) + "\n";
  if (!draft.bcc.empty()) out += "Bcc: " + JoinAddresses(draft.bcc) + "\n";
  out += "Subject: " + EncodeHeaderText(draft.subject) + "\n";
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
    out += "Content-Transfer-Encoding: base64\n\n";
    const std::string encoded = Base64(draft.body);
    for (size_t i = 0; i < encoded.size(); i += 76) out += encoded.substr(i, 76) + "\n";
  }
  return out;
}

std::vector<THeaderField> SplitHeaderFields(std::string_view block) {
  std::vector<THeaderField> fields;
  size_t start = 0;
  while (start < block.size()) {
    size_t end = block.find('\n', start);
    end = end == std::string_view::npos ? block.size() : end + 1;
    const std::string_view line = block.substr(start, end - start);
    if ((line[0] == ' ' || line[0] == '\t') && !fields.empty()) {
      fields.back().raw += line;
    } else {
      const size_t colon = line.find(':');
      THeaderField field;
      field.name = Trim(line.substr(0, colon == std::string_view::npos ? 0 : colon));
      field.raw = line;
      fields.push_back(std::move(field));
    }
    start = end;
  }
  return fields;
}

std::string FieldValue(const THeaderField& field) {
  const size_t colon = field.raw.find(':');
  if (colon == std::string::npos) return {};
  std::string value;
  for (char c : field.raw.substr(colon + 1)) {
    if (c != '\r' && c != '\n') value += c;
  }
  return Trim(value);
}

std::vector<std::string> AddressesOf(std::string_view value) {
  // Split at commas outside quotes, angle brackets and comments.
  std::vector<std::string> items;
  std::string current;
  bool quoted = false;
  int angle = 0, comment = 0;
  for (size_t i = 0; i < value.size(); ++i) {
    const char c = value[i];
    if (quoted) {
      if (c == '\\' && i + 1 < value.size()) {
        current += c;
        current += value[++i];
        continue;
      }
      if (c == '"') quoted = false;
    } else if (c == '"' && comment == 0) {
      quoted = true;
    } else if (c == '(') {
      ++comment;
    } else if (c == ')' && comment > 0) {
      --comment;
      continue;
    } else if (comment == 0 && c == '<') {
      ++angle;
    } else if (comment == 0 && c == '>' && angle > 0) {
      --angle;
    } else if (comment == 0 && angle == 0 && (c == ',' || c == ';')) {
      items.push_back(current);
      current.clear();
      continue;
    }
    if (comment == 0) current += c;
  }
  items.push_back(current);

  std::vector<std::string> addresses;
  for (std::string item : items) {
    // A group's name ends at its colon; its members follow.
    const size_t colon = item.find(':');
    const size_t open = item.find('<');
    if (colon != std::string::npos && (open == std::string::npos || colon < open) && item.find('"') > colon) {
      item = item.substr(colon + 1);
    }
    std::string address;
    const size_t lt = item.rfind('<');
    if (lt != std::string::npos) {
      const size_t gt = item.find('>', lt);
      address = Trim(item.substr(lt + 1, gt == std::string::npos ? std::string::npos : gt - lt - 1));
    } else {
      address = Trim(item);
    }
    if (!address.empty() && address.find('@') != std::string::npos && address.find(' ') == std::string::npos) {
      addresses.push_back(address);
    }
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
