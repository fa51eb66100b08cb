#include "platform/win/ini_text.h"

#include "platform/win/ascii_case.h"

namespace corvid::win::ini {
namespace {

constexpr std::string_view kBom = "\xEF\xBB\xBF";

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

enum class TLineKind { Blank, Comment, Section, Key };

struct Line {
  size_t begin;  // offset of the line in the text
  size_t end;    // offset after its line end
  TLineKind kind;
  std::string_view name;   // section or key name, trimmed
  std::string_view value;  // raw value, trimmed, quotes kept
};

std::vector<Line> Parse(std::string_view text) {
  std::vector<Line> lines;
  size_t position = text.substr(0, kBom.size()) == kBom ? kBom.size() : 0;
  while (position < text.size()) {
    size_t end = text.find('\n', position);
    end = end == std::string_view::npos ? text.size() : end + 1;
    std::string_view content = text.substr(position, end - position);
    while (!content.empty() && (content.back() == '\n' || content.back() == '\r')) content.remove_suffix(1);
    content = Trim(content);

    Line line{position, end, TLineKind::Blank, {}, {}};
    if (content.empty()) {
      line.kind = TLineKind::Blank;
    } else if (content.front() == ';') {
      line.kind = TLineKind::Comment;
    } else if (content.front() == '[') {
      const size_t close = content.find(']');
      line.kind = TLineKind::Section;
      line.name = Trim(content.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1));
    } else {
      const size_t equals = content.find('=');
      line.kind = TLineKind::Key;
      line.name = Trim(content.substr(0, equals));
      line.value = equals == std::string_view::npos ? std::string_view() : Trim(content.substr(equals + 1));
    }
    lines.push_back(line);
    position = end;
  }
  return lines;
}

// Index range [first, last) of the lines after the header of the first
// section called `section`; first == npos when there is none.
struct Range {
  size_t header = std::string_view::npos;
  size_t first = std::string_view::npos;
  size_t last = 0;
};

Range FindSection(const std::vector<Line>& lines, std::string_view section) {
  Range range;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].kind != TLineKind::Section) continue;
    if (range.first != std::string_view::npos) {
      range.last = i;
      return range;
    }
    if (EqualsIgnoreAsciiCase(lines[i].name, section)) {
      range.header = i;
      range.first = i + 1;
    }
  }
  range.last = lines.size();
  return range;
}

std::string Unquote(std::string_view value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
    value = value.substr(1, value.size() - 2);
  }
  return std::string(value);
}

// The value as it must stand in the file to read back as itself.
std::string Quoted(std::string_view value) {
  const bool outer_blanks = !value.empty() && (IsBlank(value.front()) || IsBlank(value.back()));
  const bool looks_quoted =
      value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front();
  if (!outer_blanks && !looks_quoted) return std::string(value);
  std::string quoted(1, '"');
  quoted.append(value).push_back('"');
  return quoted;
}

std::string_view LineEnd(std::string_view text) {
  const size_t newline = text.find('\n');
  if (newline != std::string_view::npos && newline > 0 && text[newline - 1] == '\r') return "\r\n";
  if (newline != std::string_view::npos) return "\n";
  return "\r\n";
}

bool HasLineBreak(std::string_view text) { return text.find_first_of("\r\n") != std::string_view::npos; }

}  // namespace

std::optional<std::string> FindValue(std::string_view text, std::string_view section, std::string_view key) {
  const std::vector<Line> lines = Parse(text);
  const Range range = FindSection(lines, section);
  if (range.first == std::string_view::npos) return std::nullopt;
  for (size_t i = range.first; i < range.last; ++i) {
    if (lines[i].kind == TLineKind::Key && EqualsIgnoreAsciiCase(lines[i].name, key)) return Unquote(lines[i].value);
  }
  return std::nullopt;
}

std::optional<std::vector<std::string>> KeyNames(std::string_view text, std::string_view section) {
  const std::vector<Line> lines = Parse(text);
  const Range range = FindSection(lines, section);
  if (range.first == std::string_view::npos) return std::nullopt;
  std::vector<std::string> names;
  for (size_t i = range.first; i < range.last; ++i) {
    if (lines[i].kind == TLineKind::Key) names.emplace_back(lines[i].name);
  }
  return names;
}

std::vector<std::string> SectionNames(std::string_view text) {
  std::vector<std::string> names;
  for (const Line& line : Parse(text)) {
    if (line.kind == TLineKind::Section) names.emplace_back(line.name);
  }
  return names;
}

bool IsValidSectionName(std::string_view name) {
  return !name.empty() && Trim(name).size() == name.size() && name.find(']') == std::string_view::npos &&
         !HasLineBreak(name) && name.find('\0') == std::string_view::npos;
}

bool IsValidKeyName(std::string_view name) {
  return !name.empty() && Trim(name).size() == name.size() && name.find('=') == std::string_view::npos &&
         name.front() != '[' && name.front() != ';' && !HasLineBreak(name) &&
         name.find('\0') == std::string_view::npos;
}

bool IsValidValue(std::string_view value) { return !HasLineBreak(value) && value.find('\0') == std::string_view::npos; }

std::string WithValue(std::string_view text, std::string_view section, std::string_view key,
                      std::string_view value) {
  const std::vector<Line> lines = Parse(text);
  const std::string_view eol = LineEnd(text);
  const Range range = FindSection(lines, section);
  std::string result;

  if (range.first == std::string_view::npos) {
    result = std::string(text);
    if (!result.empty() && result.back() != '\n') result += eol;
    if (!lines.empty() && lines.back().kind != TLineKind::Blank) result += eol;
    result.append("[").append(section).append("]").append(eol);
    result.append(key).append("=").append(Quoted(value)).append(eol);
    return result;
  }

  size_t insert_after = range.header;  // the last key line of the section
  for (size_t i = range.first; i < range.last; ++i) {
    if (lines[i].kind != TLineKind::Key) continue;
    if (EqualsIgnoreAsciiCase(lines[i].name, key)) {
      const Line& line = lines[i];
      std::string_view old_end = text.substr(line.begin, line.end - line.begin);
      old_end = old_end.substr(old_end.find_last_not_of("\r\n") + 1);
      result = std::string(text.substr(0, line.begin));
      result += std::string(line.name) + "=" + Quoted(value);
      result += old_end.empty() ? std::string(eol) : std::string(old_end);
      result += std::string(text.substr(line.end));
      return result;
    }
    insert_after = i;
  }
  const Line& anchor = lines[insert_after];
  result = std::string(text.substr(0, anchor.end));
  if (result.empty() || result.back() != '\n') result += eol;
  result += std::string(key) + "=" + Quoted(value) + std::string(eol);
  result += std::string(text.substr(anchor.end));
  return result;
}

std::string WithoutKey(std::string_view text, std::string_view section, std::string_view key) {
  const std::vector<Line> lines = Parse(text);
  const Range range = FindSection(lines, section);
  if (range.first == std::string_view::npos) return std::string(text);
  for (size_t i = range.first; i < range.last; ++i) {
    if (lines[i].kind == TLineKind::Key && EqualsIgnoreAsciiCase(lines[i].name, key)) {
      return std::string(text.substr(0, lines[i].begin)) + std::string(text.substr(lines[i].end));
    }
  }
  return std::string(text);
}

std::string WithoutSection(std::string_view text, std::string_view section) {
  const std::vector<Line> lines = Parse(text);
  std::string result(text.substr(0, lines.empty() ? text.size() : lines.front().begin));
  bool dropping = false;
  for (const Line& line : lines) {
    if (line.kind == TLineKind::Section) dropping = EqualsIgnoreAsciiCase(line.name, section);
    if (!dropping) result += text.substr(line.begin, line.end - line.begin);
  }
  return result;
}

}  // namespace corvid::win::ini
