// Byte layout of the ZIP records: for each record its signature, the size of
// its fixed part and the offset of every field in it, named after the fields
// of the published ZIP format description, in the order they are stored.
// All integers in an archive are little-endian; each field's width is given
// beside its offset. Offsets count from the record's first byte (its
// signature, where it has one).
#pragma once

#include <cstdint>

namespace corvid::zip {

// --- Local file header: in front of each entry's data ------------------------
namespace local_header {
inline constexpr uint32_t kSignature = 0x04034B50;  // "PK\3\4"
inline constexpr int kSize = 30;                     // fixed part; the name and extra field follow
inline constexpr int kVersionNeeded = 4;             // 2
inline constexpr int kBitFlag = 6;                   // 2, general purpose bits
inline constexpr int kCompressionMethod = 8;         // 2
inline constexpr int kLastModTime = 10;              // 2, DOS time; with the date: one 4-byte stamp
inline constexpr int kLastModDate = 12;              // 2, DOS date
inline constexpr int kCrc32 = 14;                    // 4
inline constexpr int kCompressedSize = 18;           // 4
inline constexpr int kUncompressedSize = 22;         // 4
inline constexpr int kFileNameLength = 26;           // 2
inline constexpr int kExtraFieldLength = 28;         // 2
static_assert(kExtraFieldLength + 2 == kSize);
}  // namespace local_header

// --- Central directory file header: one per entry, in the directory ---------
namespace central_header {
inline constexpr uint32_t kSignature = 0x02014B50;  // "PK\1\2"
inline constexpr int kSize = 46;                     // fixed part; name, extra field and comment follow
inline constexpr int kVersionMadeBy = 4;             // 2, high byte: host system
inline constexpr int kVersionNeeded = 6;             // 2
inline constexpr int kBitFlag = 8;                   // 2
inline constexpr int kCompressionMethod = 10;        // 2
inline constexpr int kLastModTime = 12;              // 2
inline constexpr int kLastModDate = 14;              // 2
inline constexpr int kCrc32 = 16;                    // 4
inline constexpr int kCompressedSize = 20;           // 4
inline constexpr int kUncompressedSize = 24;         // 4
inline constexpr int kFileNameLength = 28;           // 2
inline constexpr int kExtraFieldLength = 30;         // 2
inline constexpr int kFileCommentLength = 32;        // 2
inline constexpr int kDiskNumberStart = 34;          // 2
inline constexpr int kInternalAttributes = 36;       // 2
inline constexpr int kExternalAttributes = 38;       // 4
inline constexpr int kRelativeOffset = 42;           // 4, of the local header
static_assert(kRelativeOffset + 4 == kSize);
}  // namespace central_header

// --- Data descriptor: behind the data of an entry with bit 3 set -------------
// The signature is optional; without it the record is 12 bytes and every
// offset below is 4 less.
namespace data_descriptor {
inline constexpr uint32_t kSignature = 0x08074B50;  // "PK\7\10"
inline constexpr int kSize = 16;                     // with the signature
inline constexpr int kSizeWithoutSignature = 12;
inline constexpr int kCrc32 = 4;                     // 4
inline constexpr int kCompressedSize = 8;            // 4 (8 in an entry with Zip64 sizes)
inline constexpr int kUncompressedSize = 12;         // 4 (8 in an entry with Zip64 sizes)
static_assert(kUncompressedSize + 4 == kSize && kSize - 4 == kSizeWithoutSignature);
}  // namespace data_descriptor

// --- End of central directory record: the last record of an archive --------
namespace end_record {
inline constexpr uint32_t kSignature = 0x06054B50;  // "PK\5\6"
inline constexpr int kSize = 22;                     // fixed part; the archive comment follows
inline constexpr int kNumberOfThisDisk = 4;          // 2
inline constexpr int kNumberOfStartDisk = 6;         // 2, where the directory starts
inline constexpr int kEntriesOnThisDisk = 8;         // 2
inline constexpr int kTotalEntries = 10;             // 2
inline constexpr int kCentralSize = 12;              // 4
inline constexpr int kCentralOffset = 16;            // 4, on its starting disk
inline constexpr int kZipCommentLength = 20;         // 2
static_assert(kZipCommentLength + 2 == kSize);
}  // namespace end_record

// --- Zip64 end of central directory record: before the locator ---------------
namespace zip64_end_record {
inline constexpr uint32_t kSignature = 0x06064B50;  // "PK\6\6"
inline constexpr int kSize = 56;                     // fixed part; extensible data may follow
inline constexpr int kRecordSize = 4;                // 8, counts the bytes after this field
inline constexpr int kUncountedBytes = 12;           // signature and the record size field
inline constexpr int kVersionMadeBy = 12;            // 2
inline constexpr int kVersionNeeded = 14;            // 2
inline constexpr int kNumberOfThisDisk = 16;         // 4
inline constexpr int kNumberOfStartDisk = 20;        // 4
inline constexpr int kEntriesOnThisDisk = 24;        // 8
inline constexpr int kTotalEntries = 32;             // 8
inline constexpr int kCentralSize = 40;              // 8
inline constexpr int kCentralOffset = 48;            // 8
static_assert(kCentralOffset + 8 == kSize && kRecordSize + 8 == kUncountedBytes);
}  // namespace zip64_end_record

// --- Zip64 end of central directory locator: right before the end record ----
namespace zip64_locator {
inline constexpr uint32_t kSignature = 0x07064B50;  // "PK\6\7"
inline constexpr int kSize = 20;
inline constexpr int kEndRecordDisk = 4;             // 4, the disk holding the Zip64 end record
inline constexpr int kEndRecordOffset = 8;           // 8, of the Zip64 end record
inline constexpr int kTotalDisks = 16;               // 4
static_assert(kTotalDisks + 4 == kSize);
}  // namespace zip64_locator

// --- Extra fields: a sequence of blocks in a header's extra field ------------
namespace extra_field {
inline constexpr int kHeaderSize = 4;                // id and data size; the data follows
inline constexpr int kId = 0;                        // 2
inline constexpr int kDataSize = 2;                  // 2
}  // namespace extra_field

// Zip64 extended information (id 0x0001). Its data holds, in this order,
// only those of the values whose header field is set to the marker (all
// ones): uncompressed size, compressed size, local header offset, disk start.
// Offsets here count from the start of the data.
namespace zip64_extra {
inline constexpr uint16_t kId = 0x0001;
inline constexpr uint32_t kMarker32 = 0xFFFFFFFFu;   // in a 4-byte size or offset field
inline constexpr uint16_t kMarker16 = 0xFFFF;        // in a 2-byte count or disk field
inline constexpr int kUncompressedSizeBytes = 8;
inline constexpr int kCompressedSizeBytes = 8;
inline constexpr int kRelativeOffsetBytes = 8;
inline constexpr int kDiskNumberStartBytes = 4;
}  // namespace zip64_extra

// Unicode path (id 0x7075): a name in UTF-8 beside a legacy-encoded one.
// Offsets count from the start of the block, its header included.
namespace unicode_path_extra {
inline constexpr uint16_t kId = 0x7075;
inline constexpr uint8_t kCurrentVersion = 1;
inline constexpr int kVersion = 4;                   // 1
inline constexpr int kNameCrc32 = 5;                 // 4, CRC-32 of the header's own name
inline constexpr int kName = 9;                      // the rest of the block
inline constexpr int kMinDataSize = kName - extra_field::kHeaderSize;
}  // namespace unicode_path_extra

// AES encryption (id 0x9901) of an entry whose method field says 99. Offsets
// count from the start of the data.
namespace aes_extra {
inline constexpr uint16_t kId = 0x9901;
inline constexpr uint16_t kMethod = 99;              // in the header's method field
inline constexpr int kDataSize = 7;
inline constexpr int kVendorVersion = 0;             // 2: 1 (AE-1: CRC kept) or 2 (AE-2: CRC zero)
inline constexpr int kVendorId = 2;                  // 2: "AE"
inline constexpr int kStrength = 4;                  // 1: 1, 2, 3 for 128, 192, 256 bits
inline constexpr int kRealMethod = 5;                // 2: the method of the data inside
}  // namespace aes_extra

// --- Traditional encryption --------------------------------------------------
// In front of an encrypted entry's data; counted in its compressed size.
inline constexpr int kEncryptionHeaderBytes = 12;

// The end record lies within this many bytes of the end of the archive
// (its fixed part plus a comment of at most 65506 bytes).
inline constexpr int kEndSearchBytes = 65528;

// General purpose bits.
inline constexpr uint16_t kFlagEncrypted = 1 << 0;
inline constexpr uint16_t kFlagDeflateMax = 1 << 1;   // levels 8, 9; 8 KiB dictionary for implode
inline constexpr uint16_t kFlagDeflateFast = 1 << 2;  // levels 1, 2; three trees for implode
inline constexpr uint16_t kFlagDataDescriptor = 1 << 3;
inline constexpr uint16_t kFlagStrongEncryption = 1 << 6;
inline constexpr uint16_t kFlagUtf8Name = 1 << 11;

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
