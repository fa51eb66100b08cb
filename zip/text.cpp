#include "zip/text.h"

#include <locale.h>
#include <wctype.h>

namespace corvid::zip {

namespace {

// towlower_l/towupper_l over the built-in C.UTF-8 locale give the C
// library's simple Unicode case mapping without touching the process locale.
// Freed when the module that holds this code is unloaded, as a library
// loaded by a mail client is.
class TUtf8Locale {
 public:
  TUtf8Locale() : locale_(newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0))) {}
  ~TUtf8Locale() {
    if (locale_ != static_cast<locale_t>(0)) freelocale(locale_);
  }
  locale_t Get() const { return locale_; }

 private:
  locale_t locale_;
};

locale_t Utf8Locale() {
  static const TUtf8Locale locale;
  return locale.Get();
}

}  // namespace

std::u32string Utf8ToCodePoints(std::string_view text) {
  std::u32string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    auto b0 = static_cast<unsigned char>(text[i]);
    int len = b0 < 0x80 ? 1 : (b0 >> 5) == 6 ? 2 : (b0 >> 4) == 14 ? 3 : (b0 >> 3) == 30 ? 4 : 0;
    char32_t cp = len == 1 ? b0 : len == 2 ? (b0 & 0x1F) : len == 3 ? (b0 & 0x0F) : (b0 & 0x07);
    bool ok = len > 0 && i + len <= text.size();
    for (int k = 1; ok && k < len; ++k) {
      auto b = static_cast<unsigned char>(text[i + k]);
      if ((b & 0xC0) != 0x80) ok = false;
      cp = (cp << 6) | (b & 0x3F);
    }
    if (ok && len > 1) {
      static constexpr char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
      if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) ok = false;
    }
    if (!ok) {
      out.push_back(b0);
      ++i;
    } else {
      out.push_back(cp);
      i += len;
    }
  }
  return out;
}

std::string CodePointsToUtf8(std::u32string_view points) {
  std::string out;
  out.reserve(points.size());
  for (char32_t c : points) {
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

char32_t LowerChar(char32_t c) {
  if (c < 0x80) return (c >= 'A' && c <= 'Z') ? c + 32 : c;
  locale_t l = Utf8Locale();
  if (l == static_cast<locale_t>(0)) return c;
  return static_cast<char32_t>(towlower_l(static_cast<wint_t>(c), l));
}

char32_t UpperChar(char32_t c) {
  if (c < 0x80) return (c >= 'a' && c <= 'z') ? c - 32 : c;
  locale_t l = Utf8Locale();
  if (l == static_cast<locale_t>(0)) return c;
  return static_cast<char32_t>(towupper_l(static_cast<wint_t>(c), l));
}

std::u32string LowerCodePoints(std::u32string_view points) {
  std::u32string out(points);
  for (char32_t& c : out) c = LowerChar(c);
  return out;
}

std::string LowerText(std::string_view text) {
  bool ascii = true;
  for (char c : text) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
  if (ascii) {
    std::string out(text);
    for (char& c : out)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    return out;
  }
  return CodePointsToUtf8(LowerCodePoints(Utf8ToCodePoints(text)));
}

int CompareTextNoCase(std::string_view a, std::string_view b) {
  std::u32string la = LowerCodePoints(Utf8ToCodePoints(a));
  std::u32string lb = LowerCodePoints(Utf8ToCodePoints(b));
  return la.compare(lb) < 0 ? -1 : la == lb ? 0 : 1;
}

bool SameTextNoCase(std::string_view a, std::string_view b) { return CompareTextNoCase(a, b) == 0; }

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  std::u32string lt = LowerCodePoints(Utf8ToCodePoints(text));
  std::u32string lp = LowerCodePoints(Utf8ToCodePoints(prefix));
  return lt.compare(0, lp.size(), lp) == 0 && lt.size() >= lp.size();
}

}  // namespace corvid::zip
