#include "settings/blowfish_tools.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "settings/blowfish.h"

namespace corvid::settings {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

void InitPasswordCipher(TBlowfishState& state) { BlowfishInit(state, kPasswordKey, sizeof kPasswordKey, kPasswordKey); }

}  // namespace

std::string EncryptString(std::string_view text) {
  const size_t padded_size = (text.size() / 8 + 1) * 8;
  std::vector<uint8_t> buffer(padded_size, 0);
  std::copy(text.begin(), text.end(), buffer.begin());

  TBlowfishState state;
  InitPasswordCipher(state);
  for (size_t i = 0; i < padded_size; i += 8) BlowfishEncryptCBC(state, &buffer[i], &buffer[i]);

  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string encoded;
  encoded.reserve(padded_size * 2);
  for (uint8_t byte : buffer) {
    encoded += kDigits[byte >> 4];
    encoded += kDigits[byte & 0xF];
  }
  return encoded;
}

std::string DecryptString(std::string_view encoded) {
  const size_t byte_count = encoded.size() / 2;
  std::vector<uint8_t> buffer(byte_count);
  for (size_t i = 0; i < byte_count; ++i) {
    const int high = HexValue(encoded[2 * i]), low = HexValue(encoded[2 * i + 1]);
    if (high < 0 || low < 0) return std::string();
    buffer[i] = static_cast<uint8_t>(high << 4 | low);
  }

  TBlowfishState state;
  InitPasswordCipher(state);
  for (size_t i = 0; i + 8 <= byte_count; i += 8) BlowfishDecryptCBC(state, &buffer[i], &buffer[i]);

  size_t length = 0;
  while (length < byte_count && buffer[length] != 0) ++length;
  return std::string(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(length));
}

}  // namespace corvid::settings
