// CRC-32 of ZIP: reflected polynomial 0xEDB88320.
//
// The running value starts at 0xFFFFFFFF before each entry, goes through
// Crc32Update for every byte, and the stored CRC is its complement. Crc32()
// is the one-call form (initial 0xFFFFFFFF, complemented result).
#pragma once

#include <cstddef>
#include <cstdint>

namespace corvid::zip {

inline constexpr uint32_t kCrcInit = 0xFFFFFFFFu;

// The 256-entry table of the byte-wise step (also used by the cipher).
extern const uint32_t kCrcTable[256];

// One byte-wise step: table[(value ^ b) & 0xFF] ^ (value >> 8).
inline uint32_t Crc32Byte(uint32_t value, uint8_t b) {
  return kCrcTable[(value ^ b) & 0xFF] ^ (value >> 8);
}

// Advances a running (not complemented) value over `n` bytes.
uint32_t Crc32Update(uint32_t value, const uint8_t* data, size_t n);

// CRC-32 of a whole buffer.
inline uint32_t Crc32(const uint8_t* data, size_t n) { return ~Crc32Update(kCrcInit, data, n); }

}  // namespace corvid::zip
