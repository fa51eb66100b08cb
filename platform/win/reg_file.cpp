#include "platform/win/reg_file.h"

#include <cstdio>
#include <vector>

#include "platform/win/ascii_case.h"
#include "platform/win/memory_registry.h"

namespace corvid::win {
namespace {

constexpr std::string_view kHeader5 = "Windows Registry Editor Version 5.00";
constexpr std::string_view kHeader4 = "REGEDIT4";
constexpr size_t kHexLineWidth = 76;

// --- UTF-8 and UTF-16LE, with stray bytes kept as lone surrogates ---------

// Length of the valid UTF-8 sequence at `i`, or 0.
size_t Utf8SequenceLength(std::string_view text, size_t i, uint32_t* code_point) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  if (lead < 0x80) {
    *code_point = lead;
    return 1;
  }
  size_t length;
  uint32_t value, minimum;
  if ((lead & 0xE0) == 0xC0) {
    length = 2, value = lead & 0x1F, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, value = lead & 0x0F, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, value = lead & 0x07, minimum = 0x10000;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  for (size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    value = value << 6 | (byte(i + k) & 0x3F);
  }
  if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  *code_point = value;
  return length;
}

bool IsUtf8(std::string_view text) {
  uint32_t ignored;
  for (size_t i = 0; i < text.size();) {
    const size_t length = Utf8SequenceLength(text, i, &ignored);
    if (length == 0) return false;
    i += length;
  }
  return true;
}

void PutUnit(std::string& out, uint32_t unit) {
  out += static_cast<char>(unit & 0xFF);
  out += static_cast<char>(unit >> 8);
}

std::string Utf8ToUtf16Le(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size();) {
    uint32_t code_point;
    const size_t length = Utf8SequenceLength(text, i, &code_point);
    if (length == 0) {
      PutUnit(out, 0xDC00 + static_cast<unsigned char>(text[i]));
      ++i;
      continue;
    }
    if (code_point >= 0x10000) {
      code_point -= 0x10000;
      PutUnit(out, 0xD800 + (code_point >> 10));
      PutUnit(out, 0xDC00 + (code_point & 0x3FF));
    } else {
      PutUnit(out, code_point);
    }
    i += length;
  }
  return out;
}

void PutUtf8(std::string& out, uint32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | c >> 6);
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | c >> 12);
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | c >> 18);
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// False when the byte count is odd.
bool Utf16LeToUtf8(std::string_view bytes, std::string* out) {
  if (bytes.size() % 2 != 0) return false;
  out->clear();
  const auto unit = [&](size_t k) {
    return static_cast<uint32_t>(static_cast<unsigned char>(bytes[2 * k])) |
           static_cast<uint32_t>(static_cast<unsigned char>(bytes[2 * k + 1])) << 8;
  };
  const size_t units = bytes.size() / 2;
  for (size_t k = 0; k < units; ++k) {
    const uint32_t u = unit(k);
    if (u >= 0xD800 && u <= 0xDBFF && k + 1 < units && unit(k + 1) >= 0xDC00 && unit(k + 1) <= 0xDFFF) {
      PutUtf8(*out, 0x10000 + ((u - 0xD800) << 10) + (unit(k + 1) - 0xDC00));
      ++k;
    } else if (u >= 0xDC80 && u <= 0xDCFF) {
      *out += static_cast<char>(u - 0xDC00);  // a byte that was not UTF-8
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      PutUtf8(*out, 0xFFFD);
    } else {
      PutUtf8(*out, u);
    }
  }
  return true;
}

// --- writing -----------------------------------------------------------------

std::string Quote(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out + "\"";
}

bool HasLineBreak(std::string_view text) { return text.find_first_of("\r\n") != std::string_view::npos; }

std::string HexList(std::string_view prefix, std::string_view bytes) {
  std::string out(prefix);
  size_t line_length = out.size();
  for (size_t i = 0; i < bytes.size(); ++i) {
    char pair[4];
    std::snprintf(pair, sizeof pair, "%02x", static_cast<unsigned char>(bytes[i]));
    out += pair;
    line_length += 2;
    if (i + 1 < bytes.size()) {
      out += ',';
      ++line_length;
      if (line_length >= kHexLineWidth) {
        out += "\\\r\n  ";
        line_length = 2;
      }
    }
  }
  return out;
}

std::string ValueLine(const std::string& name, DWORD type, const std::string& data) {
  std::string line = name.empty() ? std::string("@") : Quote(name);
  line += '=';
  if (type == REG_SZ && !data.empty() && data.back() == '\0' && data.find('\0') == data.size() - 1 &&
      IsUtf8(data) && !HasLineBreak(data)) {
    return line + Quote(std::string_view(data).substr(0, data.size() - 1));
  }
  if (type == REG_DWORD && data.size() == 4) {
    const uint32_t value = static_cast<unsigned char>(data[0]) | static_cast<unsigned char>(data[1]) << 8 |
                           static_cast<unsigned char>(data[2]) << 16 |
                           static_cast<uint32_t>(static_cast<unsigned char>(data[3])) << 24;
    char text[20];
    std::snprintf(text, sizeof text, "dword:%08x", value);
    return line + text;
  }
  if (type == REG_BINARY) return HexList(line + "hex:", data);
  char tag[24];
  std::snprintf(tag, sizeof tag, "hex(%x):", type);
  const bool text_type = type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
  return HexList(line + tag, text_type ? Utf8ToUtf16Le(data) : data);
}

LONG ExportKey(TRegistry& registry, HKEY key, const std::string& full_name, std::string* text, std::string* message) {
  if (HasLineBreak(full_name)) {
    *message = "A key name holds a line break and cannot be exported: " + full_name;
    return ERROR_INVALID_PARAMETER;
  }
  *text += "[" + full_name + "]\r\n";
  for (DWORD index = 0;; ++index) {
    std::string name, data;
    DWORD type = REG_NONE;
    const LONG result = registry.EnumValue(key, index, &name, &type, &data);
    if (result == ERROR_NO_MORE_ITEMS) break;
    if (result != ERROR_SUCCESS) return result;
    if (HasLineBreak(name)) {
      *message = "A value name under " + full_name + " holds a line break and cannot be exported.";
      return ERROR_INVALID_PARAMETER;
    }
    *text += ValueLine(name, type, data) + "\r\n";
  }
  *text += "\r\n";
  for (DWORD index = 0;; ++index) {
    std::string name;
    LONG result = registry.EnumKey(key, index, &name);
    if (result == ERROR_NO_MORE_ITEMS) break;
    if (result != ERROR_SUCCESS) return result;
    HKEY child = nullptr;
    result = registry.OpenKey(key, name, KEY_READ, &child);
    if (result != ERROR_SUCCESS) return result;
    result = ExportKey(registry, child, full_name + "\\" + name, text, message);
    registry.CloseKey(child);
    if (result != ERROR_SUCCESS) return result;
  }
  return ERROR_SUCCESS;
}

// The stored spelling of each name of `sub_key` (the registry ignores case,
// and an export should not respell keys when it is imported again).
LONG StoredSpelling(TRegistry& registry, HKEY root, std::string_view sub_key, std::string* spelled) {
  std::vector<std::string_view> names;
  LONG result = SplitKeyPath(sub_key, &names);
  if (result != ERROR_SUCCESS) return result;
  spelled->clear();
  HKEY key = root;
  for (std::string_view name : names) {
    std::string stored;
    for (DWORD index = 0;; ++index) {
      result = registry.EnumKey(key, index, &stored);
      if (result != ERROR_SUCCESS || EqualsIgnoreAsciiCase(stored, name)) break;
    }
    HKEY child = nullptr;
    if (result == ERROR_SUCCESS) result = registry.OpenKey(key, name, KEY_READ, &child);
    if (key != root) registry.CloseKey(key);
    if (result != ERROR_SUCCESS) return result == ERROR_NO_MORE_ITEMS ? ERROR_FILE_NOT_FOUND : result;
    key = child;
    *spelled += "\\" + stored;
  }
  if (key != root) registry.CloseKey(key);
  return ERROR_SUCCESS;
}

// --- reading -----------------------------------------------------------------

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) text.remove_suffix(1);
  return text;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads `"..."` with backslash escapes from the front of `text`.
bool TakeQuoted(std::string_view& text, std::string* out) {
  if (text.empty() || text.front() != '"') return false;
  out->clear();
  for (size_t i = 1; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size()) {
      *out += text[++i];
    } else if (text[i] == '"') {
      text.remove_prefix(i + 1);
      return true;
    } else {
      *out += text[i];
    }
  }
  return false;
}

bool ParseHexBytes(std::string_view text, std::string* bytes) {
  bytes->clear();
  text = TrimBlanks(text);
  if (text.empty()) return true;
  size_t start = 0;
  while (start <= text.size()) {
    size_t comma = text.find(',', start);
    if (comma == std::string_view::npos) comma = text.size();
    const std::string_view pair = TrimBlanks(text.substr(start, comma - start));
    if (pair.empty() || pair.size() > 2) return false;
    int value = 0;
    for (char c : pair) {
      const int digit = HexDigit(c);
      if (digit < 0) return false;
      value = value * 16 + digit;
    }
    *bytes += static_cast<char>(value);
    start = comma + 1;
    if (comma == text.size()) break;
  }
  return true;
}

// Parses the data after '=' into a type and bytes.
bool ParseData(std::string_view text, bool unicode, DWORD* type, std::string* data) {
  text = TrimBlanks(text);
  if (!text.empty() && text.front() == '"') {
    std::string value;
    if (!TakeQuoted(text, &value) || !TrimBlanks(text).empty()) return false;
    *type = REG_SZ;
    *data = value + '\0';
    return true;
  }
  if (StartsWithIgnoreAsciiCase(text, "dword:")) {
    const std::string_view digits = text.substr(6);
    if (digits.empty() || digits.size() > 8) return false;
    uint32_t value = 0;
    for (char c : digits) {
      const int digit = HexDigit(c);
      if (digit < 0) return false;
      value = value << 4 | static_cast<uint32_t>(digit);
    }
    *type = REG_DWORD;
    data->assign({static_cast<char>(value & 0xFF), static_cast<char>((value >> 8) & 0xFF),
                  static_cast<char>((value >> 16) & 0xFF), static_cast<char>(value >> 24)});
    return true;
  }
  if (StartsWithIgnoreAsciiCase(text, "hex:")) {
    *type = REG_BINARY;
    return ParseHexBytes(text.substr(4), data);
  }
  if (StartsWithIgnoreAsciiCase(text, "hex(")) {
    const size_t close = text.find("):");
    if (close == std::string_view::npos || close == 4 || close > 12) return false;
    uint32_t value = 0;
    for (char c : text.substr(4, close - 4)) {
      const int digit = HexDigit(c);
      if (digit < 0) return false;
      value = value << 4 | static_cast<uint32_t>(digit);
    }
    *type = value;
    std::string bytes;
    if (!ParseHexBytes(text.substr(close + 2), &bytes)) return false;
    if (unicode && (value == REG_SZ || value == REG_EXPAND_SZ || value == REG_MULTI_SZ)) {
      return Utf16LeToUtf8(bytes, data);
    }
    *data = std::move(bytes);
    return true;
  }
  return false;
}

std::string FileAsUtf8(std::string_view content) {
  if (content.size() >= 2 && static_cast<unsigned char>(content[0]) == 0xFF &&
      static_cast<unsigned char>(content[1]) == 0xFE) {
    std::string text;
    Utf16LeToUtf8(content.substr(2, (content.size() - 2) / 2 * 2), &text);
    return text;
  }
  if (content.substr(0, 3) == "\xEF\xBB\xBF") content.remove_prefix(3);
  return std::string(content);
}

}  // namespace

bool ParseRootKey(std::string_view full_path, HKEY* root, std::string* sub_key) {
  const size_t slash = full_path.find('\\');
  const std::string_view root_name = full_path.substr(0, slash);
  if (EqualsIgnoreAsciiCase(root_name, "HKLM") || EqualsIgnoreAsciiCase(root_name, "HKEY_LOCAL_MACHINE")) {
    *root = HKEY_LOCAL_MACHINE;
  } else if (EqualsIgnoreAsciiCase(root_name, "HKCU") || EqualsIgnoreAsciiCase(root_name, "HKEY_CURRENT_USER")) {
    *root = HKEY_CURRENT_USER;
  } else {
    return false;
  }
  *sub_key = slash == std::string_view::npos ? std::string() : std::string(full_path.substr(slash + 1));
  return true;
}

LONG ExportRegistryKey(TRegistry& registry, HKEY root, std::string_view sub_key, std::string* text,
                       std::string* message) {
  std::string spelled;
  LONG result = StoredSpelling(registry, root, sub_key, &spelled);
  if (result != ERROR_SUCCESS) {
    *message = "The system was unable to find the specified registry key.";
    return result;
  }
  HKEY key = nullptr;
  result = registry.OpenKey(root, sub_key, KEY_READ, &key);
  if (result != ERROR_SUCCESS) {
    *message = "The system was unable to find the specified registry key.";
    return result;
  }
  std::string body = std::string(kHeader5) + "\r\n\r\n";
  result = ExportKey(registry, key, std::string(RootKeyName(root)) + spelled, &body, message);
  registry.CloseKey(key);
  if (result != ERROR_SUCCESS) {
    if (message->empty()) *message = "Error accessing the registry.";
    return result;
  }
  *text = std::move(body);
  return ERROR_SUCCESS;
}

namespace {

// Applies the file in order and stops at the first problem. `*applied`
// receives the number of the last line whose change is in the registry.
LONG ApplyRegistryFile(TRegistry& registry, std::string_view content, std::string* message, size_t* applied) {
  *applied = 0;
  const std::string text = FileAsUtf8(content);
  std::vector<std::string_view> lines;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(TrimBlanks(std::string_view(text).substr(start, end - start)));
    start = end + 1;
  }

  size_t i = 0;
  while (i < lines.size() && lines[i].empty()) ++i;
  bool unicode;
  if (i < lines.size() && lines[i] == kHeader5) {
    unicode = true;
  } else if (i < lines.size() && lines[i] == kHeader4) {
    unicode = false;
  } else {
    *message = "The file is not a registry file.";
    return ERROR_INVALID_PARAMETER;
  }

  HKEY current = nullptr;
  const auto close_current = [&] {
    if (current != nullptr) registry.CloseKey(current);
    current = nullptr;
  };
  const auto fail = [&](size_t line, LONG error, const std::string& what) {
    close_current();
    *message = what + " (line " + std::to_string(line + 1) + ")";
    return error;
  };

  for (++i; i < lines.size(); *applied = i + 1, ++i) {
    const size_t first_line = i;
    std::string line(lines[i]);
    while (!line.empty() && line.back() == '\\' && i + 1 < lines.size()) {
      line.pop_back();
      line += lines[++i];
    }
    if (line.empty() || line.front() == ';') continue;

    if (line.front() == '[') {
      close_current();
      const size_t close = line.rfind(']');
      if (close == std::string::npos) return fail(first_line, ERROR_INVALID_PARAMETER, "Malformed key line");
      const bool remove = line.size() > 1 && line[1] == '-';
      HKEY root;
      std::string sub_key;
      if (!ParseRootKey(std::string_view(line).substr(remove ? 2 : 1, close - (remove ? 2 : 1)), &root, &sub_key)) {
        return fail(first_line, ERROR_INVALID_PARAMETER, "Unknown root key");
      }
      // A lone carriage return inside a line; no export could write it back.
      if (HasLineBreak(sub_key)) return fail(first_line, ERROR_INVALID_PARAMETER, "Malformed key line");
      if (remove) {
        const LONG result = sub_key.empty() ? ERROR_ACCESS_DENIED : registry.DeleteTree(root, sub_key);
        if (result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND) {
          return fail(first_line, result, "Cannot delete the key " + sub_key);
        }
        continue;
      }
      const LONG result = registry.CreateKey(root, sub_key, KEY_ALL_ACCESS, &current, nullptr);
      if (result != ERROR_SUCCESS) {
        current = nullptr;
        return fail(first_line, result, "Cannot create the key " + sub_key);
      }
      continue;
    }

    std::string_view rest(line);
    std::string name;
    if (rest.front() == '@') {
      rest.remove_prefix(1);
    } else if (!TakeQuoted(rest, &name) || HasLineBreak(name)) {
      return fail(first_line, ERROR_INVALID_PARAMETER, "Malformed value line");
    }
    rest = TrimBlanks(rest);
    if (rest.empty() || rest.front() != '=') return fail(first_line, ERROR_INVALID_PARAMETER, "Malformed value line");
    rest.remove_prefix(1);
    if (current == nullptr) return fail(first_line, ERROR_INVALID_PARAMETER, "A value comes before any key");
    if (TrimBlanks(rest) == "-") {
      const LONG result = registry.DeleteValue(current, name);
      if (result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND) {
        return fail(first_line, result, "Cannot delete the value " + name);
      }
      continue;
    }
    DWORD type;
    std::string data;
    if (!ParseData(rest, unicode, &type, &data)) return fail(first_line, ERROR_INVALID_PARAMETER, "Malformed data");
    const LONG result = registry.SetValue(current, name, type, data);
    if (result != ERROR_SUCCESS) return fail(first_line, result, "Cannot set the value " + name);
  }
  close_current();
  return ERROR_SUCCESS;
}

}  // namespace

LONG ImportRegistryFile(TRegistry& registry, std::string_view content, std::string* message) {
  // The whole file is read first, against a scratch registry, so a mistake
  // on any line changes nothing at all.
  TMemoryRegistry scratch;
  size_t applied = 0;
  LONG result = ApplyRegistryFile(scratch, content, message, &applied);
  if (result != ERROR_SUCCESS) {
    *message += "; nothing was imported";
    return result;
  }
  // What the registry itself refuses (no write access to a root, a full
  // disk) can only show now: then say exactly what is in.
  result = ApplyRegistryFile(registry, content, message, &applied);
  if (result != ERROR_SUCCESS) {
    *message += applied == 0 ? "; nothing was imported"
                             : "; lines 1 to " + std::to_string(applied) + " were imported, the rest was not";
  }
  return result;
}

}  // namespace corvid::win
