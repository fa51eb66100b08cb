#include "ui/date_text.h"

#include <chrono>
#include <ctime>
#include <vector>

#include "platform/win/locale.h"

namespace corvid::ui {

namespace {

const char* const kMonths[] = {"January", "February", "March",     "April",   "May",      "June",
                               "July",    "August",   "September", "October", "November", "December"};
const char* const kDays[] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};

bool RealDate(const TDate& d) {
  using namespace std::chrono;
  return year_month_day{year{d.year}, month{static_cast<unsigned>(d.month)}, day{static_cast<unsigned>(d.day)}}.ok();
}

std::tm LocalNow() {
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  return tm;
}

std::string Two(int v) { return (v < 10 ? "0" : "") + std::to_string(v); }

}  // namespace

std::optional<TDate> ParseShortDate(std::string_view text, std::string_view short_format, int current_year) {
  // The order of the fields in the picture.
  std::string order;
  for (char c : short_format) {
    const char f = c == 'd' ? 'd' : c == 'M' ? 'm' : c == 'y' ? 'y' : 0;
    if (f && order.find(f) == std::string::npos) order += f;
  }
  if (order.size() != 3) order = "mdy";
  std::vector<std::pair<long, size_t>> numbers;  // value, digits
  for (size_t i = 0; i < text.size();) {
    if (text[i] < '0' || text[i] > '9') {
      ++i;
      continue;
    }
    long value = 0;
    size_t digits = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9' && digits < 9) value = value * 10 + (text[i++] - '0'), ++digits;
    numbers.push_back({value, digits});
  }
  if (numbers.size() != 3) return std::nullopt;
  TDate date{};
  for (size_t k = 0; k < 3; ++k) {
    const long v = numbers[k].first;
    if (order[k] == 'd') date.day = static_cast<int>(v);
    if (order[k] == 'm') date.month = static_cast<int>(v);
    if (order[k] == 'y') {
      long y = v;
      if (numbers[k].second <= 2) {
        y += current_year / 100 * 100;
        if (y > current_year + 50) y -= 100;
        if (y <= current_year - 50) y += 100;
      }
      if (y < 1 || y > 9999) return std::nullopt;
      date.year = static_cast<int>(y);
    }
  }
  if (!RealDate(date)) return std::nullopt;
  return date;
}

std::string FormatDate(std::string_view picture, const TDate& date) {
  using namespace std::chrono;
  const weekday wd{sys_days{year{date.year} / month{static_cast<unsigned>(date.month)} / day{static_cast<unsigned>(date.day)}}};
  std::string out;
  for (size_t i = 0; i < picture.size();) {
    const char c = picture[i];
    if (c == '\'' || c == '"') {
      const size_t end = picture.find(c, i + 1);
      out += picture.substr(i + 1, (end == std::string_view::npos ? picture.size() : end) - i - 1);
      i = end == std::string_view::npos ? picture.size() : end + 1;
      continue;
    }
    size_t run = 1;
    while (i + run < picture.size() && picture[i + run] == c) ++run;
    if (c == 'd') {
      out += run == 1 ? std::to_string(date.day) : run == 2 ? Two(date.day)
             : run == 3 ? std::string(kDays[wd.c_encoding()]).substr(0, 3) : kDays[wd.c_encoding()];
    } else if (c == 'M') {
      out += run == 1 ? std::to_string(date.month) : run == 2 ? Two(date.month)
             : run == 3 ? std::string(kMonths[date.month - 1]).substr(0, 3) : kMonths[date.month - 1];
    } else if (c == 'y') {
      out += run <= 2 ? Two(date.year % 100) : std::to_string(date.year);
    } else {
      out.append(run, c);
    }
    i += run;
  }
  return out;
}

std::optional<std::string> LongDate(const std::string& stored) {
  const std::optional<TDate> date = ParseShortDate(stored, win::ShortDateFormat(), LocalNow().tm_year + 1900);
  if (!date) return std::nullopt;
  return FormatDate(win::LongDateFormat(), *date);
}

std::string LongDateOrText(const std::string& stored) { return LongDate(stored).value_or(stored); }

std::string TodayShortDate() {
  const std::tm tm = LocalNow();
  return FormatDate(win::ShortDateFormat(), {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday});
}

std::string NowHoursMinutes() {
  const std::tm tm = LocalNow();
  return Two(tm.tm_hour) + win::TimeSeparator() + Two(tm.tm_min);
}

std::string FormatCount(long long value) {
  const std::string digits = std::to_string(value < 0 ? -value : value);
  const std::string sep = win::ThousandSeparator();
  std::string grouped;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) grouped += sep;
    grouped += digits[i];
  }
  if (value < 0) grouped.insert(0, "-");
  // Width counts characters; a separator may be several bytes.
  size_t chars = 0;
  for (unsigned char c : grouped) chars += (c & 0xC0) != 0x80 ? 1 : 0;
  return chars < 8 ? std::string(8 - chars, ' ') + grouped : grouped;
}

}  // namespace corvid::ui
