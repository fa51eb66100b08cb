#include "zip/cp437.h"

#include "zip/cp437_table.h"
#include "zip/text.h"

namespace corvid::zip {

std::string Cp437ToUtf8(std::string_view bytes) {
  std::u32string points;
  points.reserve(bytes.size());
  for (char c : bytes) {
    auto b = static_cast<unsigned char>(c);
    points.push_back(b < 0x80 ? char32_t{b} : char32_t{kCp437HighHalf[b - 0x80]});
  }
  return CodePointsToUtf8(points);
}

bool Utf8ToCp437(std::string_view text, std::string* out) {
  out->clear();
  bool exact = true;
  for (char32_t c : Utf8ToCodePoints(text)) {
    if (c < 0x80) {
      out->push_back(static_cast<char>(c));
      continue;
    }
    int found = -1;
    for (int i = 0; i < 128 && found < 0; ++i)
      if (kCp437HighHalf[i] == c) found = i;
    if (found < 0) {
      exact = false;
      out->push_back('?');
    } else {
      out->push_back(static_cast<char>(0x80 + found));
    }
  }
  return exact;
}

}  // namespace corvid::zip
