// The in-memory directory model: one TZipHeaderInfo per entry and one
// TEndCentral per archive, with the DOS date rules and the name coding that
// the reader and the writer share.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

#include "zip/zip_format.h"

namespace corvid::zip {

class TStream;

// Whether the reader's Password opens an entry, as far as CheckPassword
// found out (stored as a byte: 0, 1, 2).
enum class TPasswordState : uint8_t { Unchecked = 0, Verified = 1, Failed = 2 };

// One directory entry. The numeric fields are plain data, named as they are
// stored; the names and the comment go through setters because they keep
// FilenameLength and FileCommentLength in step.
class TZipHeaderInfo {
 public:
  uint16_t VersionMadeBy = 20;  // upper byte 0: MS-DOS host; lower: format 2.0
  uint16_t VersionNeeded = 20;
  uint16_t BitFlag = 0;
  uint16_t CompressionMethod = 8;
  uint32_t LastModFileTimeDate = 0;  // DOS time low word, DOS date high word
  uint32_t CRC32 = 0xFFFFFFFFu;
  uint32_t CompressedSize = 0;  // includes a 12-byte encryption header
  uint32_t UncompressedSize = 0;
  uint16_t FilenameLength = 0;  // bytes of the stored (encoded) name
  uint16_t ExtraFieldLength = 0;
  uint16_t FileCommentLength = 0;
  uint16_t DiskNumberStart = 0;  // 0-based volume of the local header
  uint16_t InternalAttributes = 1;  // bit 0: text
  uint32_t ExternalAttributes = 32;  // DOS attribute bits; 32 = archive
  uint32_t RelativeOffset = 0;  // of the local header within its volume
  uint32_t CentralOffset = 0;   // where the central record was read, else 0
  bool Selected = false;
  TPasswordState PasswordState = TPasswordState::Unchecked;
  // From an AES extra field: 1-3 for 128-256 bits (0: no AES), its vendor
  // version (2: the CRC field is zero and the code alone checks the data)
  // and the method of the data inside.
  uint8_t AesStrength = 0;
  uint16_t AesVersion = 0;
  uint16_t AesMethod = 0;

  const std::string& FileName() const { return file_name_; }
  const std::string& Directory() const { return directory_; }
  std::string FullName() const { return directory_ + file_name_; }
  // Setting a name recomputes FilenameLength from its stored form. A non-empty
  // directory always ends in a backslash.
  void SetFileName(std::string name);
  void SetDirectory(std::string directory);
  // Splits a full name at its last backslash.
  void SetFullName(std::string_view full_name);

  // The comment, when loaded or set; FileCommentLength says how long the
  // stored one is even before it is loaded.
  const std::optional<std::string>& FileComment() const { return file_comment_; }
  void SetFileComment(std::string_view comment);
  // Takes a comment read from the archive without touching the length.
  void LoadedFileComment(std::string comment) { file_comment_ = std::move(comment); }

  bool IsEncrypted() const { return (BitFlag & kFlagEncrypted) != 0; }
  bool IsAes() const { return AesStrength != 0; }
  // The method the entry's data is decoded with: the one inside AES.
  uint16_t DataMethod() const { return IsAes() ? AesMethod : CompressionMethod; }
  // Takes the AES extra field from `extra` when the method says AES.
  void ReadAesExtra(std::string_view extra);
  bool HasDataDescriptor() const { return (BitFlag & kFlagDataDescriptor) != 0; }
  uint32_t LocalRecordSize() const { return local_header::kSize + FilenameLength + ExtraFieldLength; }

  void Assign(const TZipHeaderInfo& source) { *this = source; }
  void AssignTo(TZipHeaderInfo& target) const { target = *this; }

  // Fills the numeric fields from a 46-byte central record / 30-byte local
  // record (signature already checked). Dates are clamped.
  void ReadCentralFields(const uint8_t* record);
  void ReadLocalFields(const uint8_t* record);

 private:
  void UpdateNameLength();

  std::string file_name_;
  std::string directory_;
  std::optional<std::string> file_comment_;
};

// The end of central directory record.
class TEndCentral {
 public:
  uint32_t Signature = end_record::kSignature;
  uint16_t NumberOfThisDisk = 0;
  uint16_t NumberOfStartDisk = 0;
  uint16_t EntriesOnThisDisk = 0;
  uint16_t TotalEntries = 0;
  uint32_t CentralSize = 0;
  uint32_t CentralOffset = 0;
  uint16_t ZipCommentLength = 0;
  std::optional<std::string> ZipComment;  // loaded lazily
  int64_t ZipCommentPos = 0;  // archive size minus ZipCommentLength
  bool Modified = false;

  void Clear() { *this = TEndCentral(); }
  void Assign(const TEndCentral& source) { *this = source; }
  // Fills the fields from a 22-byte end record (signature already checked).
  void ReadFields(const uint8_t* record);
};

// Finds the end record in the last 65528 bytes of `archive` (the one nearest
// the end wins), fills `end` and sets ZipCommentPos. Returns false when there
// is none. The comment is not read.
bool FindEndCentral(TStream& archive, TEndCentral& end);

// --- DOS date and time ---------------------------------------------------

// Brings every component into range (hours to 24, minutes to 59, seconds to
// 58, years 1980..2099, months 1..12, days 1..31); a valid value comes back
// bit for bit.
uint32_t ClampDosDateTime(uint32_t dos);
// Local time of a (clamped) DOS stamp, and back. Times before 1980 give the
// earliest DOS stamp.
std::time_t DosDateTimeToUnix(uint32_t dos);
uint32_t UnixToDosDateTime(std::time_t t);

// --- Names ----------------------------------------------------------------

// Decodes a stored name into the engine's form: UTF-8, backslash-separated.
// Names flagged UTF-8 (bit 11) or carrying a matching Unicode path extra
// field are taken as UTF-8; others are code page 437, except that a name
// which is well-formed multi-byte UTF-8 is taken as such (tools that write
// UTF-8 without the flag are common; code page 437 text that happens to be
// well-formed UTF-8 is not).
std::string DecodeStoredName(std::string_view raw, uint16_t bit_flag, std::string_view extra);

// The data of the first block with `id` in an extra field, if any.
std::optional<std::string_view> FindExtraBlock(std::string_view extra, uint16_t id);

// Decodes a stored comment: UTF-8 when it is well-formed multi-byte UTF-8,
// else code page 437.
std::string DecodeStoredComment(std::string_view raw);

// Encodes a name for storing: backslashes become slashes; a name beyond ASCII
// is stored as UTF-8 with `*utf8` set (bit 11 to be set).
std::string EncodeStoredName(std::string_view full_name, bool* utf8);

}  // namespace corvid::zip
