// The text of a profile (INI) file, read and edited the way the profile
// functions treat it. Pure functions on whole texts; profile_files.cpp does
// the storage.
//
// Lines: "[name]" opens a section; "key=value" (or a bare "key", an empty
// value) belongs to the last section opened; lines starting with ';' are
// comments, blank lines are ignored, lines before the first section belong to
// none. Names are trimmed of blanks (space, tab) and compared without regard
// to ASCII case; the first section and the first key of a name win. Values
// are trimmed and one pair of matching outer quotes (' or ") is removed. A
// UTF-8 byte-order mark and both LF and CR LF line ends are understood;
// edits keep the file's line end (CR LF for a new file) and every line they
// do not touch.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvid::win::ini {

std::optional<std::string> FindValue(std::string_view text, std::string_view section, std::string_view key);
// Key names of the first section of that name, as spelled, in file order
// (duplicates included); nullopt when the section is missing.
std::optional<std::vector<std::string>> KeyNames(std::string_view text, std::string_view section);
std::vector<std::string> SectionNames(std::string_view text);

// Whether a name or value can be written so that it reads back the same.
// Section names: not empty, no ']' or line break, no outer blanks. Key names:
// not empty, no '=' or line break, no outer blanks, not starting with '[' or
// ';'. Values: no line break or zero byte (outer blanks are kept by quoting).
bool IsValidSectionName(std::string_view name);
bool IsValidKeyName(std::string_view name);
bool IsValidValue(std::string_view value);

// The text with `key` set to `value` (the section and key appended when
// missing; an existing key keeps its spelling and place). Arguments must be
// valid (above).
std::string WithValue(std::string_view text, std::string_view section, std::string_view key,
                      std::string_view value);
// The text without `key` in the first section of that name.
std::string WithoutKey(std::string_view text, std::string_view section, std::string_view key);
// The text without every section of that name and its lines.
std::string WithoutSection(std::string_view text, std::string_view section);

}  // namespace corvid::win::ini
