// The user's locale for dates and numbers, in the shapes Windows gives them:
// date formats are Windows pictures ("M/d/yyyy", "dddd, MMMM d, yyyy": d, dd,
// ddd, dddd; M, MM, MMM, MMMM; yy, yyyy; quoted literal text), separators
// are texts.
//
// The locale is the one the environment names for the category (LC_ALL,
// else LC_TIME for dates and times or LC_NUMERIC for numbers, else LANG),
// read through the C library without changing the process's own locale. In
// the C and POSIX locales, or when the named locale is not installed, the
// answers are Windows' United States defaults:
//   short date "M/d/yyyy", long date "dddd, MMMM d, yyyy", date separator
//   "/", time separator ":", thousands separator ",", decimal separator ".".
// A locale has no long date format of its own in the C library; it is made
// from the order of the short date: month first "dddd, MMMM d, yyyy", day
// first "dddd, d MMMM yyyy", year first "dddd, yyyy MMMM d".
//
// Every call reads the environment again; thread-safe as long as nobody
// changes the environment meanwhile.
#pragma once

#include <string>
#include <string_view>

#include "platform/win/win_types.h"

namespace corvid::win {

using LCID = DWORD;
using LCTYPE = DWORD;

inline constexpr LCID LOCALE_USER_DEFAULT = 0x0400;
inline constexpr LCID LOCALE_SYSTEM_DEFAULT = 0x0800;

inline constexpr LCTYPE LOCALE_SDECIMAL = 0x0000000E;
inline constexpr LCTYPE LOCALE_STHOUSAND = 0x0000000F;
inline constexpr LCTYPE LOCALE_SDATE = 0x0000001D;
inline constexpr LCTYPE LOCALE_STIME = 0x0000001E;
inline constexpr LCTYPE LOCALE_SSHORTDATE = 0x0000001F;
inline constexpr LCTYPE LOCALE_SLONGDATE = 0x00000020;

std::string ShortDateFormat();
std::string LongDateFormat();
std::string DateSeparator();
std::string TimeSeparator();
std::string ThousandSeparator();
std::string DecimalSeparator();

// Win32's shape of the above: copies the text and its terminating zero into
// `data` and returns the characters written including the zero; with
// `size` 0 returns the size needed. 0 and ERROR_INSUFFICIENT_BUFFER when it
// does not fit, ERROR_INVALID_PARAMETER for another LCTYPE.
int GetLocaleInfo(LCID locale, LCTYPE type, char* data, int size);

// The Windows picture for a C library date format ("%d.%m.%Y" gives
// "dd.MM.yyyy"); empty when the format holds a conversion without a
// picture (a time, a week number).
std::string PictureFromStrftime(std::string_view format);

}  // namespace corvid::win
