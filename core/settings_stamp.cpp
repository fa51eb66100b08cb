#include "core/settings_stamp.h"

#include <string>
#include <vector>

namespace corvid::core {

namespace {

// The runs of digits of `text`; nullopt when a run is too long to be a date
// or time field.
std::optional<std::vector<int>> Numbers(std::string_view text) {
  std::vector<int> numbers;
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] < '0' || text[i] > '9') {
      ++i;
      continue;
    }
    size_t end = i;
    while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
    if (end - i > 4) return std::nullopt;
    numbers.push_back(std::stoi(std::string(text.substr(i, end - i))));
    i = end;
  }
  return numbers;
}

// Days from 1970-01-01 of a proleptic Gregorian date.
int64_t DaysFromCivil(int64_t y, int m, int d) {
  y -= m <= 2 ? 1 : 0;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

int DaysInMonth(int year, int month) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

}  // namespace

std::optional<int64_t> ParseDate(std::string_view text, std::string_view short_date_format, int current_year) {
  // The order of the fields is the order of their first letters in the
  // picture; text in quotes is literal.
  std::string order;
  bool quoted = false;
  for (char c : short_date_format) {
    if (c == '\'' || c == '"') quoted = !quoted;
    if (quoted) continue;
    const char field = c == 'd' || c == 'D' ? 'd' : c == 'M' ? 'M' : c == 'y' || c == 'Y' ? 'y' : 0;
    if (field != 0 && order.find(field) == std::string::npos) order += field;
  }
  if (order.size() != 3) order = "Mdy";
  const auto numbers = Numbers(text);
  if (!numbers || numbers->size() != 3) return std::nullopt;
  int day = 0, month = 0, year = 0;
  bool short_year = false;
  for (size_t i = 0; i < 3; ++i) {
    const int value = (*numbers)[i];
    if (order[i] == 'd') day = value;
    if (order[i] == 'M') month = value;
    if (order[i] == 'y') {
      year = value;
      short_year = value < 100;
    }
  }
  if (short_year) {
    // The century that puts the year nearest the present, from 50 years
    // back to 49 ahead.
    int candidate = current_year - current_year % 100 + year;
    if (candidate < current_year - 50) candidate += 100;
    if (candidate >= current_year + 50) candidate -= 100;
    year = candidate;
  }
  if (month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month) || year < 1) return std::nullopt;
  return DaysFromCivil(year, month, day) - DaysFromCivil(1899, 12, 30);
}

std::optional<int64_t> ParseTime(std::string_view text) {
  const auto numbers = Numbers(text);
  if (!numbers || numbers->size() < 2 || numbers->size() > 3) return std::nullopt;
  const int hours = (*numbers)[0];
  const int minutes = (*numbers)[1];
  const int seconds = numbers->size() == 3 ? (*numbers)[2] : 0;
  if (hours > 23 || minutes > 59 || seconds > 59) return std::nullopt;
  return hours * 3600 + minutes * 60 + seconds;
}

}  // namespace corvid::core
