#include "platform/mapi/entry_id.h"

#include <cstring>

namespace corvid::mapi {
namespace {

constexpr size_t kHeaderSize = 22;
constexpr char kVersion = 1;

bool HasZero(const std::string& text) { return text.find('\0') != std::string::npos; }

// A folder is a Maildir++ folder beside INBOX ("." + name): a name with a
// slash, or "." or "..", would lead out of the store.
bool IsFolderName(const std::string& name) {
  return !HasZero(name) && name.find('/') == std::string::npos && name != "." && name != "..";
}

}  // namespace

std::string EncodeEntryId(const TEntryId& id) {
  std::string bytes(kHeaderSize, '\0');
  std::memcpy(&bytes[4], &id.store, sizeof(GUID));
  bytes[20] = kVersion;
  bytes[21] = static_cast<char>(id.kind);
  switch (id.kind) {
    case TEntryKind::Folder:
      bytes += id.folder;
      break;
    case TEntryKind::Message:
      bytes += id.folder;
      bytes += '\0';
      bytes += id.unique;
      break;
    case TEntryKind::OneOff:
      bytes += id.display_name;
      bytes += '\0';
      bytes += id.addr_type;
      bytes += '\0';
      bytes += id.email;
      bytes += '\0';
      break;
    default:
      break;
  }
  return bytes;
}

std::optional<TEntryId> DecodeEntryId(const std::string& bytes) {
  if (bytes.size() < kHeaderSize || bytes.compare(0, 4, std::string(4, '\0')) != 0 || bytes[20] != kVersion) {
    return std::nullopt;
  }
  TEntryId id;
  std::memcpy(&id.store, &bytes[4], sizeof(GUID));
  const std::string rest = bytes.substr(kHeaderSize);
  switch (bytes[21]) {
    case 'S':
    case 'R':
      if (!rest.empty()) return std::nullopt;
      id.kind = static_cast<TEntryKind>(bytes[21]);
      return id;
    case 'F':
      if (!IsFolderName(rest)) return std::nullopt;
      id.kind = TEntryKind::Folder;
      id.folder = rest;
      return id;
    case 'M': {
      const size_t zero = rest.find('\0');
      if (zero == std::string::npos) return std::nullopt;
      id.kind = TEntryKind::Message;
      id.folder = rest.substr(0, zero);
      id.unique = rest.substr(zero + 1);
      if (id.unique.empty() || HasZero(id.unique) || id.unique.find('/') != std::string::npos ||
          id.unique == "." || id.unique == ".." || !IsFolderName(id.folder)) {
        return std::nullopt;
      }
      return id;
    }
    case 'O': {
      const size_t first = rest.find('\0');
      const size_t second = first == std::string::npos ? first : rest.find('\0', first + 1);
      const size_t third = second == std::string::npos ? second : rest.find('\0', second + 1);
      if (third == std::string::npos || third + 1 != rest.size()) return std::nullopt;
      id.kind = TEntryKind::OneOff;
      id.display_name = rest.substr(0, first);
      id.addr_type = rest.substr(first + 1, second - first - 1);
      id.email = rest.substr(second + 1, third - second - 1);
      return id;
    }
    default:
      return std::nullopt;
  }
}

std::string HexOf(const std::string& bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

std::optional<std::string> BytesFromHex(const std::string& text) {
  if (text.size() % 2 != 0) return std::nullopt;
  auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::string out;
  for (size_t i = 0; i < text.size(); i += 2) {
    const int high = digit(text[i]);
    const int low = digit(text[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    out += static_cast<char>(high * 16 + low);
  }
  return out;
}

}  // namespace corvid::mapi
