#include "settings/file_mask.h"

namespace corvid::settings {

namespace {

size_t CodePointCount(const std::string& text) {
  size_t count = 0;
  for (unsigned char c : text)
    if ((c & 0xC0) != 0x80) ++count;
  return count;
}

}  // namespace

std::string NormalizeFileMask(const std::string& text) {
  if (text.empty() || text.find_first_of("*?") != std::string::npos) return text;
  std::string mask = text;
  if (CodePointCount(mask) <= 4 && mask.find('.') == std::string::npos) mask.insert(0, ".");
  if (mask[0] == '.') mask.insert(0, "*");
  return mask;
}

}  // namespace corvid::settings
