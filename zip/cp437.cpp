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

}  // namespace corvid::zip
