#include "platform/win/locale.h"

#include <langinfo.h>
#include <locale.h>

#include <cstdlib>
#include <cstring>

namespace corvid::win {

namespace {

constexpr const char* kShortDate = "M/d/yyyy";
constexpr const char* kLongDate = "dddd, MMMM d, yyyy";

// The locale the environment names for a category, as setlocale(cat, "")
// would pick it.
std::string LocaleName(const char* category_variable) {
  for (const char* variable : {"LC_ALL", category_variable, "LANG"}) {
    const char* value = std::getenv(variable);
    if (value != nullptr && *value != '\0') return value;
  }
  return "C";
}

bool IsPlainC(const std::string& name) { return name == "C" || name == "POSIX" || name.rfind("C.", 0) == 0; }

// One item of the locale's data, or nothing in the C locale or when the
// locale is not installed.
class LocaleData {
 public:
  LocaleData(int mask, const char* category_variable) {
    const std::string name = LocaleName(category_variable);
    if (!IsPlainC(name)) locale_ = newlocale(mask, name.c_str(), static_cast<locale_t>(nullptr));
  }
  ~LocaleData() {
    if (locale_) freelocale(locale_);
  }
  LocaleData(const LocaleData&) = delete;
  LocaleData& operator=(const LocaleData&) = delete;

  bool Valid() const { return locale_ != static_cast<locale_t>(nullptr); }
  std::string Item(nl_item item) const { return nl_langinfo_l(item, locale_); }

 private:
  locale_t locale_ = static_cast<locale_t>(nullptr);
};

bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// Order of day, month and year in a picture: "DMY", "MDY", "YMD", ...
std::string FieldOrder(const std::string& picture) {
  std::string order;
  bool quoted = false;
  for (char c : picture) {
    if (c == '\'') quoted = !quoted;
    if (quoted) continue;
    const char field = c == 'd' ? 'D' : c == 'M' ? 'M' : c == 'y' ? 'Y' : 0;
    if (field && order.find(field) == std::string::npos) order += field;
  }
  return order;
}

}  // namespace

std::string PictureFromStrftime(std::string_view format) {
  std::string out;
  std::string literal;
  auto flush_literal = [&] {
    bool letters = false;
    for (char c : literal) letters |= IsLetter(c) || c == '\'';
    if (letters) {
      out += '\'';
      for (char c : literal) out += c == '\'' ? std::string("''") : std::string(1, c);
      out += '\'';
    } else {
      out += literal;
    }
    literal.clear();
  };
  for (size_t i = 0; i < format.size(); ++i) {
    if (format[i] != '%') {
      literal += format[i];
      continue;
    }
    if (++i >= format.size()) return {};
    bool unpadded = false;
    while (i < format.size() && (format[i] == '-' || format[i] == '_' || format[i] == '0' || format[i] == '^' ||
                                 format[i] == '#' || format[i] == 'E' || format[i] == 'O')) {
      unpadded |= format[i] == '-';
      ++i;
    }
    if (i >= format.size()) return {};
    const char* picture = nullptr;
    switch (format[i]) {
      case 'd': picture = unpadded ? "d" : "dd"; break;
      case 'e': picture = "d"; break;
      case 'm': picture = unpadded ? "M" : "MM"; break;
      case 'y': picture = "yy"; break;
      case 'Y': picture = "yyyy"; break;
      case 'b':
      case 'h': picture = "MMM"; break;
      case 'B': picture = "MMMM"; break;
      case 'a': picture = "ddd"; break;
      case 'A': picture = "dddd"; break;
      case 'D': picture = "MM/dd/yy"; break;
      case 'F': picture = "yyyy-MM-dd"; break;
      case '%': literal += '%'; continue;
      default: return {};
    }
    flush_literal();
    out += picture;
  }
  flush_literal();
  return out;
}

std::string ShortDateFormat() {
  LocaleData data(LC_TIME_MASK, "LC_TIME");
  if (!data.Valid()) return kShortDate;
  const std::string picture = PictureFromStrftime(data.Item(D_FMT));
  return FieldOrder(picture).size() == 3 ? picture : kShortDate;
}

std::string LongDateFormat() {
  const std::string order = FieldOrder(ShortDateFormat());
  if (order == "DMY") return "dddd, d MMMM yyyy";
  if (order == "YMD") return "dddd, yyyy MMMM d";
  return kLongDate;
}

std::string DateSeparator() {
  const std::string picture = ShortDateFormat();
  bool quoted = false;
  for (char c : picture) {
    if (c == '\'') quoted = !quoted;
    if (!quoted && c != '\'' && !IsLetter(c)) return std::string(1, c);
  }
  return "/";
}

std::string TimeSeparator() {
  LocaleData data(LC_TIME_MASK, "LC_TIME");
  if (!data.Valid()) return ":";
  // The text between the hour and the minutes of the time format; "%T",
  // "%R" and "%r" all use a colon.
  const std::string format = data.Item(T_FMT);
  for (size_t i = 0; i + 1 < format.size(); ++i) {
    if (format[i] != '%') continue;
    const char c = format[i + 1];
    if (c == 'T' || c == 'R' || c == 'r') return ":";
    if (c == 'H' || c == 'I' || c == 'k' || c == 'l') {
      const size_t next = format.find('%', i + 2);
      if (next == std::string::npos || next == i + 2) return ":";
      return format.substr(i + 2, next - (i + 2));
    }
  }
  return ":";
}

std::string ThousandSeparator() {
  LocaleData data(LC_NUMERIC_MASK, "LC_NUMERIC");
  return data.Valid() ? data.Item(THOUSEP) : ",";
}

std::string DecimalSeparator() {
  LocaleData data(LC_NUMERIC_MASK, "LC_NUMERIC");
  if (!data.Valid()) return ".";
  const std::string radix = data.Item(RADIXCHAR);
  return radix.empty() ? "." : radix;
}

int GetLocaleInfo(LCID locale, LCTYPE type, char* data, int size) {
  std::string value;
  switch (type) {
    case LOCALE_SSHORTDATE: value = ShortDateFormat(); break;
    case LOCALE_SLONGDATE: value = LongDateFormat(); break;
    case LOCALE_SDATE: value = DateSeparator(); break;
    case LOCALE_STIME: value = TimeSeparator(); break;
    case LOCALE_STHOUSAND: value = ThousandSeparator(); break;
    case LOCALE_SDECIMAL: value = DecimalSeparator(); break;
    default:
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
  }
  const int needed = static_cast<int>(value.size()) + 1;
  if (size == 0) return needed;
  if (data == nullptr || size < needed) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(data, value.c_str(), value.size() + 1);
  return needed;
}

}  // namespace corvid::win
