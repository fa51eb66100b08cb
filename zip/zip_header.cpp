#include "zip/zip_header.h"

#include <algorithm>
#include <vector>

#include "zip/cp437.h"
#include "zip/crc32.h"
#include "zip/stream.h"
#include "zip/text.h"
#include "zip/zip_format.h"

namespace corvid::zip {

// --- TZipHeaderInfo --------------------------------------------------------

void TZipHeaderInfo::UpdateNameLength() {
  bool utf8 = false;
  FilenameLength = static_cast<uint16_t>(EncodeStoredName(FullName(), &utf8).size());
}

void TZipHeaderInfo::SetFileName(std::string name) {
  file_name_ = std::move(name);
  UpdateNameLength();
}

void TZipHeaderInfo::SetDirectory(std::string directory) {
  if (!directory.empty() && directory.back() != '\\') directory.push_back('\\');
  directory_ = std::move(directory);
  UpdateNameLength();
}

void TZipHeaderInfo::SetFullName(std::string_view full_name) {
  size_t slash = full_name.rfind('\\');
  if (slash == std::string_view::npos) {
    directory_.clear();
    file_name_ = std::string(full_name);
  } else {
    directory_ = std::string(full_name.substr(0, slash + 1));
    file_name_ = std::string(full_name.substr(slash + 1));
  }
  UpdateNameLength();
}

void TZipHeaderInfo::SetFileComment(std::string_view comment) {
  if (comment.empty()) {
    file_comment_.reset();
    FileCommentLength = 0;
  } else {
    file_comment_ = std::string(comment);
    FileCommentLength = static_cast<uint16_t>(std::min<size_t>(comment.size(), 0xFFFF));
  }
}

void TZipHeaderInfo::ReadCentralFields(const uint8_t* r) {
  namespace f = central_header;
  VersionMadeBy = GetU16(r + f::kVersionMadeBy);
  VersionNeeded = GetU16(r + f::kVersionNeeded);
  BitFlag = GetU16(r + f::kBitFlag);
  CompressionMethod = GetU16(r + f::kCompressionMethod);
  LastModFileTimeDate = ClampDosDateTime(GetU32(r + f::kLastModTime));
  CRC32 = GetU32(r + f::kCrc32);
  CompressedSize = GetU32(r + f::kCompressedSize);
  UncompressedSize = GetU32(r + f::kUncompressedSize);
  FilenameLength = GetU16(r + f::kFileNameLength);
  ExtraFieldLength = GetU16(r + f::kExtraFieldLength);
  FileCommentLength = GetU16(r + f::kFileCommentLength);
  DiskNumberStart = GetU16(r + f::kDiskNumberStart);
  InternalAttributes = GetU16(r + f::kInternalAttributes);
  ExternalAttributes = GetU32(r + f::kExternalAttributes);
  RelativeOffset = GetU32(r + f::kRelativeOffset);
}

void TZipHeaderInfo::ReadLocalFields(const uint8_t* r) {
  namespace f = local_header;
  VersionMadeBy = 0;
  VersionNeeded = GetU16(r + f::kVersionNeeded);
  BitFlag = GetU16(r + f::kBitFlag);
  CompressionMethod = GetU16(r + f::kCompressionMethod);
  LastModFileTimeDate = ClampDosDateTime(GetU32(r + f::kLastModTime));
  CRC32 = GetU32(r + f::kCrc32);
  CompressedSize = GetU32(r + f::kCompressedSize);
  UncompressedSize = GetU32(r + f::kUncompressedSize);
  FilenameLength = GetU16(r + f::kFileNameLength);
  ExtraFieldLength = GetU16(r + f::kExtraFieldLength);
  FileCommentLength = 0;
  DiskNumberStart = 0;
  InternalAttributes = 0;
  ExternalAttributes = 0;
}

// --- TEndCentral -----------------------------------------------------------

void TEndCentral::ReadFields(const uint8_t* r) {
  namespace f = end_record;
  NumberOfThisDisk = GetU16(r + f::kNumberOfThisDisk);
  NumberOfStartDisk = GetU16(r + f::kNumberOfStartDisk);
  EntriesOnThisDisk = GetU16(r + f::kEntriesOnThisDisk);
  TotalEntries = GetU16(r + f::kTotalEntries);
  CentralSize = GetU32(r + f::kCentralSize);
  CentralOffset = GetU32(r + f::kCentralOffset);
  ZipCommentLength = GetU16(r + f::kZipCommentLength);
}

bool FindEndCentral(TStream& archive, TEndCentral& end) {
  int64_t size = archive.Size();
  if (size < end_record::kSize) return false;
  int64_t tail = std::min<int64_t>(size, kEndSearchBytes);
  std::vector<uint8_t> buffer(static_cast<size_t>(tail));
  archive.Seek(size - tail, soFromBeginning);
  int64_t got = archive.Read(buffer.data(), tail);
  if (got != tail) return false;
  for (int64_t i = tail - end_record::kSize; i >= 0; --i) {
    if (buffer[i] != 'P' || GetU32(&buffer[i]) != end_record::kSignature) continue;
    end.Clear();
    end.ReadFields(&buffer[i]);
    end.ZipCommentPos = size - end.ZipCommentLength;
    return true;
  }
  return false;
}

// --- DOS date and time ------------------------------------------------------

uint32_t ClampDosDateTime(uint32_t dos) {
  uint32_t seconds2 = dos & 0x1F;
  uint32_t minutes = (dos >> 5) & 0x3F;
  uint32_t hours = (dos >> 11) & 0x1F;
  uint32_t day = (dos >> 16) & 0x1F;
  uint32_t month = (dos >> 21) & 0x0F;
  uint32_t year = (dos >> 25) & 0x7F;  // since 1980; 2099 is 119
  bool changed = false;
  auto clamp = [&changed](uint32_t& v, uint32_t lo, uint32_t hi) {
    if (v < lo) v = lo, changed = true;
    if (v > hi) v = hi, changed = true;
  };
  clamp(hours, 0, 24);
  clamp(minutes, 0, 59);
  clamp(seconds2, 0, 29);
  clamp(year, 0, 119);
  clamp(month, 1, 12);
  clamp(day, 1, 31);
  if (!changed) return dos;
  return seconds2 | (minutes << 5) | (hours << 11) | (day << 16) | (month << 21) | (year << 25);
}

std::time_t DosDateTimeToUnix(uint32_t dos) {
  dos = ClampDosDateTime(dos);
  std::tm tm{};
  tm.tm_sec = static_cast<int>((dos & 0x1F) * 2);
  tm.tm_min = static_cast<int>((dos >> 5) & 0x3F);
  tm.tm_hour = static_cast<int>((dos >> 11) & 0x1F);
  tm.tm_mday = static_cast<int>((dos >> 16) & 0x1F);
  tm.tm_mon = static_cast<int>((dos >> 21) & 0x0F) - 1;
  tm.tm_year = static_cast<int>((dos >> 25) & 0x7F) + 80;
  tm.tm_isdst = -1;
  return std::mktime(&tm);
}

uint32_t UnixToDosDateTime(std::time_t t) {
  std::tm tm{};
  localtime_r(&t, &tm);
  if (tm.tm_year < 80) return (1u << 21) | (1u << 16);  // 1980-01-01 00:00:00
  if (tm.tm_year > 80 + 119) {  // 2099-12-31 23:59:58, the last DOS stamp kept
    tm.tm_year = 80 + 119;
    tm.tm_mon = 11;
    tm.tm_mday = 31;
    tm.tm_hour = 23;
    tm.tm_min = 59;
    tm.tm_sec = 58;
  }
  return static_cast<uint32_t>(tm.tm_sec / 2) | (static_cast<uint32_t>(tm.tm_min) << 5) |
         (static_cast<uint32_t>(tm.tm_hour) << 11) | (static_cast<uint32_t>(tm.tm_mday) << 16) |
         (static_cast<uint32_t>(tm.tm_mon + 1) << 21) |
         (static_cast<uint32_t>(tm.tm_year - 80) << 25);
}

// --- Names ------------------------------------------------------------------

namespace {

bool IsMultiByteUtf8(std::string_view raw) {
  bool multi = false;
  for (size_t i = 0; i < raw.size();) {
    auto b = static_cast<unsigned char>(raw[i]);
    int len = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
    if (len == 0 || i + len > raw.size()) return false;
    for (int k = 1; k < len; ++k)
      if ((static_cast<unsigned char>(raw[i + k]) & 0xC0) != 0x80) return false;
    if (len > 1) {
      multi = true;
      // Overlong forms and surrogates are not UTF-8 a tool would write.
      std::u32string cp = Utf8ToCodePoints(raw.substr(i, len));
      if (cp.size() != 1) return false;
    }
    i += len;
  }
  return multi;
}

bool IsUtf8(std::string_view raw) { return IsMultiByteUtf8(raw) || CodePointsToUtf8(Utf8ToCodePoints(raw)) == raw; }

}  // namespace

std::optional<std::string_view> FindExtraBlock(std::string_view extra, uint16_t id) {
  const auto* p = reinterpret_cast<const uint8_t*>(extra.data());
  for (size_t pos = 0; pos + extra_field::kHeaderSize <= extra.size();) {
    const uint16_t block_id = GetU16(p + pos + extra_field::kId);
    const uint16_t length = GetU16(p + pos + extra_field::kDataSize);
    if (pos + extra_field::kHeaderSize + length > extra.size()) break;
    if (block_id == id) return extra.substr(pos + extra_field::kHeaderSize, length);
    pos += extra_field::kHeaderSize + length;
  }
  return std::nullopt;
}

void TZipHeaderInfo::ReadAesExtra(std::string_view extra) {
  namespace a = aes_extra;
  AesStrength = 0;
  if (CompressionMethod != a::kMethod) return;
  const std::optional<std::string_view> block = FindExtraBlock(extra, a::kId);
  if (!block || block->size() < a::kDataSize || (*block)[a::kVendorId] != 'A' || (*block)[a::kVendorId + 1] != 'E') return;
  const auto* data = reinterpret_cast<const uint8_t*>(block->data());
  const uint8_t strength = data[a::kStrength];
  if (strength < 1 || strength > 3) return;
  AesStrength = strength;
  AesVersion = GetU16(data + a::kVendorVersion);
  AesMethod = GetU16(data + a::kRealMethod);
}

namespace {

// The UTF-8 name of a Unicode path extra field, when it belongs to `raw`.
std::optional<std::string> UnicodePathFromExtra(std::string_view raw, std::string_view extra) {
  namespace u = unicode_path_extra;
  const auto* p = reinterpret_cast<const uint8_t*>(extra.data());
  size_t n = extra.size();
  for (size_t pos = 0; pos + extra_field::kHeaderSize <= n;) {
    const uint8_t* block = p + pos;
    uint16_t id = GetU16(block + extra_field::kId);
    uint16_t len = GetU16(block + extra_field::kDataSize);
    if (pos + extra_field::kHeaderSize + len > n) break;
    if (id == u::kId && len >= u::kMinDataSize && block[u::kVersion] == u::kCurrentVersion &&
        GetU32(block + u::kNameCrc32) == Crc32(reinterpret_cast<const uint8_t*>(raw.data()), raw.size())) {
      std::string name(reinterpret_cast<const char*>(block + u::kName), len - u::kMinDataSize);
      if (IsUtf8(name)) return name;
    }
    pos += extra_field::kHeaderSize + len;
  }
  return std::nullopt;
}

}  // namespace

std::string DecodeStoredName(std::string_view raw, uint16_t bit_flag, std::string_view extra) {
  std::string name;
  if ((bit_flag & kFlagUtf8Name) && IsUtf8(raw)) {
    name = std::string(raw);
  } else if (auto unicode = UnicodePathFromExtra(raw, extra)) {
    name = *unicode;
  } else if (IsMultiByteUtf8(raw)) {
    name = std::string(raw);
  } else {
    name = Cp437ToUtf8(raw);
  }
  std::replace(name.begin(), name.end(), '/', '\\');
  return name;
}

std::string DecodeStoredComment(std::string_view raw) {
  return IsMultiByteUtf8(raw) ? std::string(raw) : Cp437ToUtf8(raw);
}

std::string EncodeStoredName(std::string_view full_name, bool* utf8) {
  // Code page 437 is read right only where it is the system's OEM code page;
  // flagged UTF-8 is read right by every current reader on every system.
  *utf8 = std::any_of(full_name.begin(), full_name.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
  std::string stored(full_name);
  std::replace(stored.begin(), stored.end(), '\\', '/');
  return stored;
}

}  // namespace corvid::zip
