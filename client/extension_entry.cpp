#include "client/extension_entry.h"

#include <cctype>
#include <vector>

namespace corvid::client {
namespace {

std::vector<std::string_view> SplitFields(std::string_view text) {
  std::vector<std::string_view> fields;
  size_t start = 0;
  for (;;) {
    const size_t end = text.find(';', start);
    fields.push_back(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return fields;
}

bool IsBinaryDigits(std::string_view text) {
  for (char c : text) {
    if (c != '0' && c != '1') return false;
  }
  return true;
}

std::optional<TExtensionEntry> Fail(std::string* problem, const std::string& why) {
  if (problem != nullptr) *problem = why;
  return std::nullopt;
}

}  // namespace

std::optional<TExtensionEntry> ParseExtensionEntry(std::string_view text, std::string* problem) {
  // Registry texts may carry their terminating zero.
  while (!text.empty() && text.back() == '\0') text.remove_suffix(1);
  const std::vector<std::string_view> fields = SplitFields(text);
  if (fields.size() < 3) return Fail(problem, "fewer than three fields");
  TExtensionEntry entry;
  entry.version = fields[0];
  entry.library = fields[1];
  if (entry.version.empty()) return Fail(problem, "no version");
  if (entry.library.empty()) return Fail(problem, "no library");

  const std::string_view point = fields[2];
  if (point.empty()) return Fail(problem, "no entry point");
  if (std::isdigit(static_cast<unsigned char>(point[0]))) {
    unsigned long ordinal = 0;
    for (char c : point) {
      if (!std::isdigit(static_cast<unsigned char>(c))) return Fail(problem, "bad entry ordinal");
      ordinal = ordinal * 10 + static_cast<unsigned>(c - '0');
      if (ordinal > 0xFFFF) return Fail(problem, "entry ordinal out of range");
    }
    if (ordinal == 0) return Fail(problem, "entry ordinal 0");
    entry.entry_ordinal = static_cast<unsigned>(ordinal);
  } else {
    for (char c : point) {
      if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '@' && c != '?') {
        return Fail(problem, "bad entry point name");
      }
    }
    entry.entry_name = point;
  }

  if (fields.size() > 3 && !fields[3].empty()) {
    if (!IsBinaryDigits(fields[3])) return Fail(problem, "bad context map");
    for (size_t i = 0; i < fields[3].size() && i < static_cast<size_t>(kContextCount); ++i) {
      entry.contexts[i] = fields[3][i] == '1';
    }
  } else {
    entry.contexts.set();
  }
  if (fields.size() > 4) {
    if (!IsBinaryDigits(fields[4])) return Fail(problem, "bad interface map");
    entry.interface_map = fields[4];
  }
  return entry;
}

}  // namespace corvid::client
