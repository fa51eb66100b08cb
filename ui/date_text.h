// Dates and numbers as the dialogs show them, in the user's locale
// (platform/win/locale.h): a date typed in the short date format shown in
// the long one, today's date and time as the settings stamp writes them, and
// numbers with the locale's thousands separator.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace corvid::ui {

struct TDate {
  int year, month, day;
  bool operator==(const TDate&) const = default;
};

// The date of `text` whose day, month and year stand in the order of the
// Windows picture `short_format` ("M/d/yyyy"), separated by anything that is
// not a digit; a two-digit year lies within 50 years of `current_year`.
// Nullopt when it is not a real date.
std::optional<TDate> ParseShortDate(std::string_view text, std::string_view short_format, int current_year);
// `date` written with a Windows date picture (d dd ddd dddd M MM MMM MMMM yy
// yyyy, quoted literals).
std::string FormatDate(std::string_view picture, const TDate& date);
// The stored install date in the long date format; nullopt when it does
// not parse as a short date.
std::optional<std::string> LongDate(const std::string& stored);
// The same, or the stored text when it does not parse.
std::string LongDateOrText(const std::string& stored);
// Today's date in the short date format and the time "hh<sep>nn".
std::string TodayShortDate();
std::string NowHoursMinutes();

// The format "%8.0n": thousands separators, no decimals, right-aligned in
// at least 8 characters.
std::string FormatCount(long long value);

}  // namespace corvid::ui
