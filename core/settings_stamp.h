// The stamp of a set of settings: "Install\InstallDate" (in the locale's
// short date format) and "Install\InstallTime" (hours, the time separator,
// minutes), as the setup program and the settings export write them, turned
// into one number so that two sets can be compared.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace corvid::core {

// Days since 1899-12-30 for a date text whose day, month and year stand in
// the order of `short_date_format` (a Windows picture such as "M/d/yyyy"),
// separated by anything that is not a digit. A two-digit year lies within
// 50 years of `current_year`. Nullopt for a text that is not a real date.
std::optional<int64_t> ParseDate(std::string_view text, std::string_view short_date_format, int current_year);

// Seconds since midnight for "h<sep>m" or "h<sep>m<sep>s" (any non-digit
// separator). Nullopt for a text that is not a time of day.
std::optional<int64_t> ParseTime(std::string_view text);

// Date and time as seconds, comparable as one number.
inline int64_t Stamp(int64_t days, int64_t seconds) { return days * 86400 + seconds; }

}  // namespace corvid::core
