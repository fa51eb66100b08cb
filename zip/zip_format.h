// Byte layout of the ZIP records: signatures, fixed sizes and field offsets.
// All integers in an archive are little-endian.
#pragma once

#include <cstdint>

namespace corvid::zip {

inline constexpr uint32_t kLocalSignature = 0x04034B50;    // "PK\3\4"
inline constexpr uint32_t kCentralSignature = 0x02014B50;  // "PK\1\2"
inline constexpr uint32_t kEndSignature = 0x06054B50;      // "PK\5\6"

inline constexpr int kLocalRecordBytes = 30;
inline constexpr int kCentralRecordBytes = 46;
inline constexpr int kEndRecordBytes = 22;
inline constexpr int kDataDescriptorBytes = 16;  // signature, CRC, two sizes
inline constexpr int kEncryptionHeaderBytes = 12;

// The end record lies within this many bytes of the end of the archive
// (its fixed part plus a comment of at most 65506 bytes).
inline constexpr int kEndSearchBytes = 65528;

// General purpose bits.
inline constexpr uint16_t kFlagEncrypted = 1 << 0;
inline constexpr uint16_t kFlagDeflateMax = 1 << 1;   // levels 8, 9; 8 KiB dictionary for implode
inline constexpr uint16_t kFlagDeflateFast = 1 << 2;  // levels 1, 2; three trees for implode
inline constexpr uint16_t kFlagDataDescriptor = 1 << 3;
inline constexpr uint16_t kFlagUtf8Name = 1 << 11;

// Extra field carrying a name in UTF-8 beside a legacy-encoded one:
// version (1), CRC-32 of the legacy name, the UTF-8 name.
inline constexpr uint16_t kUnicodePathExtraId = 0x7075;

// A self-extractor stub is assumed to be at least this long, so the recovery
// scan of an .exe archive starts here.
inline constexpr int64_t kSfxScanStart = 14000;

inline uint16_t GetU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t GetU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline void PutU16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void PutU32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace corvid::zip
