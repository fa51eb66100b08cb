#include "zip/zip_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "zip/buffer_stream.h"
#include "zip/crc32.h"
#include "zip/decoder.h"
#include "zip/errors.h"
#include "zip/file_utils.h"
#include "zip/stream.h"
#include "zip/text.h"
#include "zip/wildcard.h"
#include "zip/zip_format.h"

namespace corvid::zip {

namespace {

std::time_t FileDate(const std::string& name) {
  struct stat st;
  return ::stat(name.c_str(), &st) == 0 ? st.st_mtime : 0;
}

bool HasExeExtension(const std::string& name) {
  return name.size() >= 4 && SameTextNoCase(std::string_view(name).substr(name.size() - 4), ".exe");
}

// Name of block volume `number`: the archive name with its extension
// replaced by the number in three digits.
std::string BlockVolumeName(const std::string& name, int number) {
  size_t slash = name.find_last_of("/\\");
  size_t dot = name.rfind('.');
  std::string base = (dot != std::string::npos && (slash == std::string::npos || dot > slash))
                         ? name.substr(0, dot)
                         : name;
  char ext[16];
  std::snprintf(ext, sizeof ext, ".%03d", number);
  return base + ext;
}

// Control characters never reach a name on disk, where a listing would show
// them to a terminal raw.
void ReplaceControlCharacters(std::string& part) {
  for (char& c : part)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '_';
}

// Splits a stored path into the components that may be created below the
// target folder: no drive prefix, no leading separator, no "." or "..", no
// empty parts, no NUL or other control characters.
std::vector<std::string> SafeComponents(std::string_view path) {
  if (path.size() >= 2 && path[1] == ':') path.remove_prefix(2);
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('\\', start);
    if (end == std::string_view::npos) end = path.size();
    std::string part(path.substr(start, end - start));
    ReplaceControlCharacters(part);
    std::replace(part.begin(), part.end(), '/', '_');
    if (!part.empty() && part != "." && part != "..") parts.push_back(std::move(part));
    start = end + 1;
  }
  return parts;
}

// Creates `base`/`parts...` one level at a time without following any
// symbolic link on the way. False when a part exists as something else.
bool MakeDirsNoFollow(const std::string& base, const std::vector<std::string>& parts, size_t count) {
  std::string path = base;
  for (size_t i = 0; i < count; ++i) {
    path += "/" + parts[i];
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0) {
      if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;  // for the caller's message: a file or link holds the folder's name
        return false;
      }
      continue;
    }
    if (::mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) return false;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      errno = ENOTDIR;
      return false;
    }
  }
  return true;
}

// Finds the descriptor behind the data that starts at the current position:
// its signature, then a compressed size equal to its distance from the data
// start. Takes CRC and sizes from it and moves past it; `poll` runs per block.
bool ReadTrailingDescriptor(TStream& archive, TZipHeaderInfo& entry, const std::function<void()>& poll) {
  namespace f = data_descriptor;
  constexpr size_t kBlock = 65536;
  const int64_t data_start = archive.Position();
  std::vector<uint8_t> buffer(kBlock + f::kSize);
  int64_t position = data_start;  // of buffer[0]
  size_t held = 0;
  for (;;) {
    poll();
    int64_t got = archive.Read(buffer.data() + held, kBlock);
    if (got <= 0) return false;
    held += static_cast<size_t>(got);
    size_t i = 0;
    for (; i + f::kSize <= held; ++i) {
      const uint8_t* d = buffer.data() + i;
      if (d[0] != 'P' || GetU32(d) != f::kSignature) continue;
      const uint32_t compressed = GetU32(d + f::kCompressedSize);
      if (static_cast<int64_t>(compressed) != position + static_cast<int64_t>(i) - data_start) continue;
      entry.CRC32 = GetU32(d + f::kCrc32);
      entry.CompressedSize = compressed;
      entry.UncompressedSize = GetU32(d + f::kUncompressedSize);
      archive.Seek(position + static_cast<int64_t>(i) + f::kSize, soFromBeginning);
      return true;
    }
    std::memmove(buffer.data(), buffer.data() + i, held - i);
    position += static_cast<int64_t>(i);
    held -= i;
  }
}

// The permissions of an extracted file: those the entry brings (Unix
// modes, or DOS read-only) when they are retained, else those of the file it
// replaces, else the default; under the umask except a replaced file's.
mode_t FileModeOf(const TZipHeaderInfo& h, bool retain_attributes, mode_t kept_mode) {
  mode_t mode = 0;
  if (retain_attributes) {
    bool unix_host = (h.VersionMadeBy >> 8) == 3 && (h.ExternalAttributes >> 16) != 0;
    if (unix_host) {
      mode = static_cast<mode_t>((h.ExternalAttributes >> 16) & 0777);
    } else if (h.ExternalAttributes & 1) {  // DOS read-only
      mode = 0444;
    }
  }
  mode_t mask = ::umask(0);
  ::umask(mask);
  if (mode != 0) return mode & ~mask;
  return kept_mode != 0 ? kept_mode : (0666 & ~mask);
}

const char* MethodDescription(uint16_t method) {
  switch (method) {
    case 7: return "Tokenize";
    case 9: return "Deflate64";
    case 12: return "BZip2";
    case 14: return "LZMA";
    case 93: return "Zstandard";
    case 94: return "MP3";
    case 95: return "XZ";
    case 96: return "JPEG";
    case 97: return "WavPack";
    case 98: return "PPMd";
    case 99: return "AES encryption";
    default: return "unknown";
  }
}

// What lies between a central header's fixed part and its comment.
int64_t NameAndExtraLength(const uint8_t* central) {
  return GetU16(central + central_header::kFileNameLength) + GetU16(central + central_header::kExtraFieldLength);
}

std::string ListIndexMessage(int i) {
  char text[64];
  std::snprintf(text, sizeof text, "Index %d is out of range", i);
  return text;
}

}  // namespace

// --- The input and output routines of one entry ---------------------------

class EntryInput : public DecodeInput {
 public:
  enum class Cipher { None, Traditional, Aes };
  EntryInput(TZipReader& reader, uint32_t compressed, Cipher cipher)
      : reader_(reader), remaining_(compressed), cipher_(cipher) {}

  // Reads what the decoder left of the entry, so that all of it is
  // authenticated.
  void Drain(uint8_t* buf, size_t capacity) {
    while (Read(buf, capacity) != 0) {
    }
  }

  size_t Read(uint8_t* buf, size_t capacity) override {
    if (remaining_ == 0) return 0;
    reader_.ProcessMessagesAndCheckCancel(kMsgUserAborted);
    size_t want = std::min<size_t>({remaining_, DecodeWorkspace::kInputChunk, capacity});
    size_t got = static_cast<size_t>(reader_.archive_->Read(buf, static_cast<int64_t>(want)));
    while (got < want) {
      if (!reader_.IsMultiVolume() || !reader_.OnGetNextDisk) throw EFatalUnzipError(kMsgPrematureEnd);
      try {
        reader_.ChangeVolume(reader_.current_volume_ + 2);
      } catch (const EUserCanceled&) {
        throw EUserCanceled(kMsgUserAborted);
      }
      got += static_cast<size_t>(reader_.archive_->Read(buf + got, static_cast<int64_t>(want - got)));
    }
    if (cipher_ == Cipher::Traditional) reader_.cipher_.DecryptBuffer(buf, got);
    if (cipher_ == Cipher::Aes) reader_.aes_->Decrypt(buf, got);
    remaining_ -= static_cast<uint32_t>(got);
    return got;
  }

 private:
  TZipReader& reader_;
  uint32_t remaining_;
  Cipher cipher_;
};

class EntryOutput : public DecodeOutput {
 public:
  EntryOutput(TZipReader& reader, uint32_t uncompressed, TStream* target)
      : reader_(reader), bound_(uncompressed), target_(target) {}

  void Write(const uint8_t* data, size_t n) override {
    // Progress is reported per 16000 bytes whatever size the decoder hands over.
    while (n > 0) {
      size_t piece = std::min<size_t>(n, 16000);
      WritePiece(data, piece);
      data += piece;
      n -= piece;
    }
  }

  uint32_t Crc() const { return ~crc_; }
  uint64_t Written() const { return written_; }

 private:
  void WritePiece(const uint8_t* data, size_t n) {
    using Mode = TZipReader::RunMode;
    TZipReader& r = reader_;
    // The declared size bounds every target; a caller's block also by its room.
    if (written_ + n > bound_ ||
        (r.run_mode_ == Mode::Buffer && r.target_block_ != nullptr &&
         r.target_block_size_ - r.target_block_used_ < n))
      throw EBiggerThanUncompressed(kMsgBiggerThanUncompressed);
    if (r.run_mode_ == Mode::Buffer) {
      if (r.target_block_ != nullptr) {
        std::memcpy(r.target_block_ + r.target_block_used_, data, n);
        r.target_block_used_ += static_cast<uint32_t>(n);
      } else {
        r.target_vector_->insert(r.target_vector_->end(), data, data + n);
      }
    } else if (target_ != nullptr) {
      if (target_->Write(data, static_cast<int64_t>(n)) != static_cast<int64_t>(n))
        throw EFileError("Cannot write the extracted data: " + std::string(std::strerror(errno ? errno : EIO)));
    }
    crc_ = Crc32Update(crc_, data, n);
    written_ += n;
    r.run_done_bytes_ += static_cast<int64_t>(n);
    if (r.OnFilePercentDone) {
      int percent = bound_ == 0 ? 100
                                : static_cast<int>(std::min<double>(100.0, std::round(written_ * 100.0 / bound_)));
      r.OnFilePercentDone(&r, percent);
    }
    if (r.OnTotalPercentDone && r.run_total_bytes_ > 0) {
      int percent = static_cast<int>(
          std::min<double>(100.0, std::round(r.run_done_bytes_ * 100.0 / r.run_total_bytes_)));
      r.OnTotalPercentDone(&r, percent);
    }
  }

  TZipReader& reader_;
  uint64_t bound_;
  TStream* target_;
  uint32_t crc_ = kCrcInit;
  uint64_t written_ = 0;
};

// --- Construction and properties ---------------------------------------

TZipReader::TZipReader() {
  OnGetNextDisk = [](TZipReader* reader, int next_disk, std::string& fname) {
    // Removable-disk sets are not detected here, so every set is a set of
    // block files named .001, .002, ...
    (void)reader;
    fname = BlockVolumeName(fname, next_disk);
  };
}

TZipReader::~TZipReader() {
  CloseArchive();
  delete caller_stream_;
}

void TZipReader::SetZipName(const std::string& name) {
  if (name == zip_name_) return;
  CloseArchive();
  ClearDirectory();
  zip_name_ = name;
}

void TZipReader::SetDestDir(const std::string& dir) {
  std::string value = dir;
  if (value == "?") {
    std::string start = dest_dir_.empty() ? "." : dest_dir_;
    if (!OnChooseDirectory || !OnChooseDirectory(start))
      throw EUserCanceled("User canceled Set Desination Directory");
    value = start;
  }
  while (value.size() > 1 && (value.back() == '/' || value.back() == '\\')) value.pop_back();
  dest_dir_ = value;
}

void TZipReader::SetRootDir(const std::string& dir) {
  root_dir_ = dir;
  std::replace(root_dir_.begin(), root_dir_.end(), '/', '\\');
  if (!root_dir_.empty() && root_dir_.back() != '\\') root_dir_.push_back('\\');
}

void TZipReader::SetSortMode(TZipSortMode mode) {
  sort_mode_ = mode;
  BuildSortedView();
}

void TZipReader::SetArchiveStream(TStream* stream) {
  CloseArchive();
  ClearDirectory();
  if (stream == nullptr) {
    caller_stream_ = nullptr;
    return;
  }
  if (caller_stream_ != nullptr && caller_stream_ != stream) delete caller_stream_;
  caller_stream_ = stream;
  KeepZipOpen = true;
}

// --- Directory access ----------------------------------------------------

int TZipReader::Count() const { return master_ ? master_->Count() : 0; }

TSortedZip& TZipReader::View() const { return view_ ? *view_ : *master_; }

TZipHeaderInfo& TZipReader::At(int i) const {
  if (i < 0 || i >= Count()) throw EListError(ListIndexMessage(i));
  return *View().Get(i);
}

const TZipHeaderInfo& TZipReader::Entry(int i) const { return At(i); }
std::string TZipReader::FullName(int i) const { return At(i).FullName(); }
std::string TZipReader::FileName(int i) const { return At(i).FileName(); }
bool TZipReader::IsEncrypted(int i) const { return At(i).IsEncrypted(); }
uint32_t TZipReader::CompressedSize(int i) const { return At(i).CompressedSize; }
uint32_t TZipReader::UncompressedSize(int i) const { return At(i).UncompressedSize; }
std::time_t TZipReader::DateTime(int i) const { return DosDateTimeToUnix(At(i).LastModFileTimeDate); }

std::string TZipReader::FileCommentOf(int i) {
  TZipHeaderInfo& entry = At(i);
  if (!entry.FileComment() && entry.FileCommentLength > 0 && entry.CentralOffset > 0) {
    bool was_open = archive_ != nullptr;
    OpenArchive();
    uint8_t record[central_header::kSize];
    archive_->Seek(entry.CentralOffset, soFromBeginning);
    if (archive_->Read(record, central_header::kSize) == central_header::kSize &&
        GetU32(record) == central_header::kSignature) {
      archive_->Seek(NameAndExtraLength(record), soFromCurrent);
      std::string comment(entry.FileCommentLength, '\0');
      comment.resize(static_cast<size_t>(archive_->Read(comment.data(), entry.FileCommentLength)));
      entry.LoadedFileComment(DecodeStoredComment(comment));
    }
    if (!was_open && !KeepZipOpen) CloseArchive();
  }
  return entry.FileComment().value_or("");
}

void TZipReader::SetFileCommentOf(int i, const std::string& comment) {
  At(i).SetFileComment(comment);
  end_.Modified = true;
}

std::string TZipReader::ZipComment() {
  if (!end_.ZipComment && end_.ZipCommentLength > 0) {
    bool was_open = archive_ != nullptr;
    OpenArchive();
    archive_->Seek(end_.ZipCommentPos, soFromBeginning);
    std::string comment(end_.ZipCommentLength, '\0');
    comment.resize(static_cast<size_t>(archive_->Read(comment.data(), end_.ZipCommentLength)));
    end_.ZipComment = DecodeStoredComment(comment);
    if (!was_open && !KeepZipOpen) CloseArchive();
  }
  return end_.ZipComment.value_or("");
}

void TZipReader::SetZipComment(const std::string& comment) {
  end_.ZipComment = comment;
  end_.ZipCommentLength = static_cast<uint16_t>(std::min<size_t>(comment.size(), 0xFFFF));
  end_.Modified = true;
}

// --- Opening and loading -------------------------------------------------

void TZipReader::ReadZip() {
  cancel_ = false;
  try {
    OpenArchive();
  } catch (...) {
    CloseArchive();
    throw;
  }
  if (!KeepZipOpen) CloseArchive();
}

void TZipReader::OpenArchive() {
  if (!archive_) {
    if (caller_stream_ != nullptr) {
      archive_ = std::make_unique<TS_BufferStream>(*caller_stream_);
    } else {
      archive_file_ = std::make_unique<TFileStream>(zip_name_, fmOpenRead | fmShareDenyWrite);
      archive_ = std::make_unique<TS_BufferStream>(*archive_file_);
    }
  }
  bool current = master_ && (caller_stream_ != nullptr || FileDate(zip_name_) == archive_date_);
  if (current) return;
  try {
    LoadDirectory();
  } catch (...) {
    ClearDirectory();
    throw;
  }
}

void TZipReader::CloseArchive() {
  archive_.reset();
  archive_file_.reset();
}

void TZipReader::ClearDirectory() {
  view_.reset();
  master_.reset();
  end_.Clear();
  rebuilt_ = false;
  repairs_.clear();
  current_volume_ = 0;
  volumes_ = 0;
  multi_mode_ = TMultiMode::mmNone;
}

void TZipReader::LoadDirectory() {
  archive_date_ = caller_stream_ != nullptr ? std::time(nullptr) : FileDate(zip_name_);
  ClearDirectory();

  if (FindEndCentral(*archive_, end_)) {
    current_volume_ = end_.NumberOfThisDisk;
    // A caller's stream is one attachment: it can never be part of a set,
    // whatever a damaged end record says.
    multi_mode_ = (current_volume_ != 0 && caller_stream_ == nullptr) ? TMultiMode::mmBlocks
                                                                      : TMultiMode::mmNone;
    if (end_.TotalEntries > 0) {
      if (IsMultiVolume() && end_.NumberOfStartDisk != current_volume_)
        ChangeVolume(end_.NumberOfStartDisk + 1);
      uint8_t signature[4];
      archive_->Seek(end_.CentralOffset, soFromBeginning);
      if (archive_->Read(signature, 4) != 4 || GetU32(signature) != central_header::kSignature) {
        repairs_.push_back(
            "the central directory is not where the end record says; entries were recovered by scanning");
        RecoveryScan();
      }
    }
  } else {
    TIncompleteZipMode mode = IncompleteZipMode;
    if (OnInCompleteZip) OnInCompleteZip(this, mode);
    if (mode == TIncompleteZipMode::izAssumeMulti) {
      ClearDirectory();
      throw EIncompleteZip(kMsgIncompleteZip);
    }
    repairs_.push_back("the end record is missing; entries were recovered by scanning");
    RecoveryScan();
  }

  std::unique_ptr<TSortedZip> scanned;
  if (rebuilt_) scanned = std::move(master_);

  // Read the central records. After a scan they only complete the entries
  // found there; their offsets may be off by a stub the writer did not count,
  // so a consistent shift is tried when none matches as stored.
  archive_->Seek(end_.CentralOffset, soFromBeginning);
  std::vector<std::unique_ptr<TZipHeaderInfo>> records;
  for (int k = 0; k < end_.TotalEntries; ++k) {
    auto entry = std::make_unique<TZipHeaderInfo>();
    if (!ReadCentralRecord(*entry)) break;
    records.push_back(std::move(entry));
  }
  if (!rebuilt_ && !IsMultiVolume()) {
    // A directory that holds fewer records than the end record counts, or
    // does not end where the end record starts, has lost records (it is cut,
    // or the end record points into it): the scan finds the entries again.
    const int64_t end_record = end_.ZipCommentPos - end_record::kSize;
    std::string problem;
    if (records.size() < end_.TotalEntries) {
      problem = "the end record counts " + std::to_string(end_.TotalEntries) +
                " entries but the central directory holds " + std::to_string(records.size());
    } else if (end_.TotalEntries > 0 &&
               (archive_->Position() != end_record ||
                static_cast<int64_t>(end_.CentralOffset) + end_.CentralSize != end_record) &&
               !AtZip64EndRecord()) {
      problem = "the central directory is not where the end record says";
    }
    if (!problem.empty()) {
      const TEndCentral declared = end_;
      try {
        RecoveryScan();
        scanned = std::move(master_);
        problem += "; entries were recovered by scanning";
      } catch (const EBadZipFile&) {
        rebuilt_ = false;  // nothing to scan: the records read are all there is
        end_ = declared;
      }
      repairs_.push_back(problem);
    }
  }

  master_ = std::make_unique<TSortedZip>(TZipSortMode::ByNone, TDuplicates::Error, true);
  auto add = [this](TZipHeaderInfo* entry) {
    try {
      master_->Add(entry);
    } catch (const EListError&) {
      throw EBadZipFile("Two entries of the directory claim the same data at offset " +
                        std::to_string(entry->RelativeOffset) + ": the archive is damaged");
    }
  };
  if (!rebuilt_) {
    for (auto& record : records) {
      add(record.get());
      record.release();
    }
  } else {
    auto match = [&](int64_t shift, bool apply) {
      int matched = 0;
      for (auto& record : records) {
        for (TZipHeaderInfo* found : *scanned) {
          if (found->DiskNumberStart != record->DiskNumberStart ||
              static_cast<int64_t>(found->RelativeOffset) != record->RelativeOffset + shift)
            continue;
          ++matched;
          if (apply) {
            uint32_t offset = found->RelativeOffset;
            *found = *record;
            found->RelativeOffset = offset;
          }
          break;
        }
      }
      return matched;
    };
    int64_t shift = 0;
    if (match(0, false) == 0 && !records.empty() && scanned->Count() > 0) {
      uint32_t lowest = records.front()->RelativeOffset;
      for (auto& record : records) lowest = std::min(lowest, record->RelativeOffset);
      shift = static_cast<int64_t>(scanned->Get(0)->RelativeOffset) - lowest;
    }
    match(shift, true);
    // The scanned list is already in physical order.
    scanned->SetOwnsItems(false);
    for (int k = 0; k < scanned->Count(); ++k) {
      std::unique_ptr<TZipHeaderInfo> entry(scanned->Get(k));
      add(entry.get());
      entry.release();
    }
  }
  RefuseOverlaps();

  if (IsMultiVolume()) {
    for (TZipHeaderInfo* entry : *master_) {
      if (entry->FileCommentLength == 0 || entry->CentralOffset == 0) continue;
      // Comments of a set are read now: later the right volume may be gone.
      uint8_t record[central_header::kSize];
      archive_->Seek(entry->CentralOffset, soFromBeginning);
      if (archive_->Read(record, central_header::kSize) != central_header::kSize) continue;
      archive_->Seek(NameAndExtraLength(record), soFromCurrent);
      std::string comment(entry->FileCommentLength, '\0');
      comment.resize(static_cast<size_t>(archive_->Read(comment.data(), entry->FileCommentLength)));
      entry->LoadedFileComment(DecodeStoredComment(comment));
    }
    if (end_.ZipCommentLength > 0) {
      if (current_volume_ != end_.NumberOfThisDisk) ChangeVolume(end_.NumberOfThisDisk + 1);
      archive_->Seek(end_.ZipCommentPos, soFromBeginning);
      std::string comment(end_.ZipCommentLength, '\0');
      comment.resize(static_cast<size_t>(archive_->Read(comment.data(), end_.ZipCommentLength)));
      end_.ZipComment = DecodeStoredComment(comment);
    }
  }

  volumes_ = end_.NumberOfThisDisk + 1;
  current_volume_ = end_.NumberOfThisDisk;
  BuildSortedView();
}

bool TZipReader::AtZip64EndRecord() {
  // Writers that stream put a Zip64 end record (and its locator) between the
  // directory and the end record.
  uint8_t signature[4];
  return archive_->Read(signature, 4) == 4 && GetU32(signature) == zip64_end_record::kSignature;
}

void TZipReader::RefuseOverlaps() {
  // Each entry needs at least its local record, its name and its data before
  // the next one starts (or the central directory does). Entries that share
  // data make a small archive stand for any amount of output, so an archive
  // with them is refused as a whole, as other readers do.
  const TZipHeaderInfo* previous = nullptr;
  uint64_t previous_end = 0;
  for (const TZipHeaderInfo* entry : *master_) {  // by volume, then offset
    if (previous != nullptr && previous->DiskNumberStart == entry->DiskNumberStart &&
        entry->RelativeOffset < previous_end)
      throw EBadZipFile("The data of \"" + previous->FullName() + "\" overlaps the entry \"" +
                        entry->FullName() + "\": the archive is damaged or hostile");
    previous = entry;
    previous_end = static_cast<uint64_t>(entry->RelativeOffset) + local_header::kSize + entry->FilenameLength +
                   entry->CompressedSize;
  }
  if (previous != nullptr && !rebuilt_ && !IsMultiVolume() && end_.TotalEntries > 0 &&
      previous_end > end_.CentralOffset)
    throw EBadZipFile("The data of \"" + previous->FullName() +
                      "\" runs into the central directory: the archive is damaged or hostile");
}

bool TZipReader::ReadCentralRecord(TZipHeaderInfo& entry) {
  int64_t start = archive_->Position();
  uint8_t record[central_header::kSize];
  int64_t got = archive_->Read(record, central_header::kSize);
  if (got < central_header::kSize && got >= 0 && IsMultiVolume() && OnGetNextDisk) {
    ChangeVolume(current_volume_ + 2);
    got += archive_->Read(record + got, central_header::kSize - got);
  }
  if (got != central_header::kSize || GetU32(record) != central_header::kSignature) {
    archive_->Seek(start, soFromBeginning);
    return false;
  }
  entry.ReadCentralFields(record);
  if (!ReadNameAndExtra(entry)) {
    archive_->Seek(start, soFromBeginning);
    return false;
  }
  archive_->Seek(entry.FileCommentLength, soFromCurrent);
  entry.CentralOffset = static_cast<uint32_t>(start);
  return true;
}

// The name and extra field behind a record's fixed part: the name decoded
// (keeping its stored length), the AES field taken. False when the name is
// cut short.
bool TZipReader::ReadNameAndExtra(TZipHeaderInfo& entry) {
  std::string raw(entry.FilenameLength, '\0');
  if (archive_->Read(raw.data(), entry.FilenameLength) != entry.FilenameLength) return false;
  std::string extra(entry.ExtraFieldLength, '\0');
  extra.resize(static_cast<size_t>(std::max<int64_t>(0, archive_->Read(extra.data(), entry.ExtraFieldLength))));
  const uint16_t stored_length = entry.FilenameLength;
  entry.SetFullName(DecodeStoredName(raw, entry.BitFlag, extra));
  entry.FilenameLength = stored_length;
  entry.ReadAesExtra(extra);
  return true;
}

bool TZipReader::ReadLocalRecord(TZipHeaderInfo& entry) {
  int64_t start = archive_->Position();
  uint8_t record[local_header::kSize];
  if (archive_->Read(record, local_header::kSize) != local_header::kSize ||
      GetU32(record) != local_header::kSignature) {
    archive_->Seek(start, soFromBeginning);
    return false;
  }
  entry.ReadLocalFields(record);
  if (!ReadNameAndExtra(entry)) {
    archive_->Seek(start, soFromBeginning);
    return false;
  }
  entry.RelativeOffset = static_cast<uint32_t>(start);
  entry.CentralOffset = 0;
  return true;
}

void TZipReader::RecoveryScan() {
  rebuilt_ = true;
  int64_t position = (caller_stream_ == nullptr && HasExeExtension(zip_name_)) ? kSfxScanStart : 0;
  archive_->Seek(position, soFromBeginning);

  // Look for "PK\3\4" block by block; the last three bytes of a block are
  // kept so that a signature across two blocks is seen.
  constexpr int64_t kBlock = 10240;
  uint8_t block[kBlock + 3];
  int64_t kept = 0;
  int64_t found = -1;
  while (found < 0) {
    ProcessMessagesAndCheckCancel(kMsgUserAborted);
    int64_t got = archive_->Read(block + kept, kBlock);
    if (got <= 0) break;
    int64_t avail = kept + got;
    for (int64_t i = 0; i + 4 <= avail; ++i) {
      if (block[i] == 'P' && GetU32(block + i) == local_header::kSignature) {
        found = position - kept + i;
        break;
      }
    }
    position += got;
    kept = std::min<int64_t>(3, avail);
    std::memmove(block, block + avail - kept, static_cast<size_t>(kept));
  }
  if (found < 0) {
    ClearDirectory();
    throw EBadZipFile(kMsgNotValidZip);
  }

  master_ = std::make_unique<TSortedZip>(TZipSortMode::ByNone, TDuplicates::Error, true);
  archive_->Seek(found, soFromBeginning);
  for (;;) {
    auto entry = std::make_unique<TZipHeaderInfo>();
    if (!ReadLocalRecord(*entry)) break;
    if (entry->HasDataDescriptor() && entry->CompressedSize == 0) {
      // Written to a pipe: the sizes are known only from the descriptor. An
      // entry whose descriptor is missing is cut off and cannot be checked.
      if (!ReadTrailingDescriptor(*archive_, *entry, [this] { ProcessMessagesAndCheckCancel(kMsgUserAborted); }))
        break;
    } else {
      int64_t skip = static_cast<int64_t>(entry->CompressedSize) +
                     (entry->HasDataDescriptor() ? data_descriptor::kSize : 0);
      // ReadLocalRecord has consumed the extra field already.
      archive_->Seek(skip, soFromCurrent);
    }
    if (master_->Count() == kMaxListCapacity) {
      repairs_.push_back("more entries were found than one directory can hold; only the first " +
                         std::to_string(kMaxListCapacity) + " were recovered");
      break;
    }
    master_->Add(entry.get());
    entry.release();
  }
  end_.NumberOfThisDisk = 0;
  current_volume_ = 0;
  multi_mode_ = TMultiMode::mmNone;
  end_.CentralOffset = static_cast<uint32_t>(archive_->Position());
  end_.TotalEntries = static_cast<uint16_t>(master_->Count());
}

void TZipReader::ChangeVolume(int number) {
  if (caller_stream_ != nullptr) throw EUserCanceled(kMsgUserCanceledDisk);
  std::string name = zip_name_;
  std::string previous;
  for (;;) {
    if (!OnGetNextDisk) throw EUserCanceled(kMsgUserCanceledDisk);
    OnGetNextDisk(this, number, name);
    if (name.empty()) throw EUserCanceled(kMsgUserCanceledDisk);
    struct stat st;
    if (::stat(name.c_str(), &st) == 0 && S_ISREG(st.st_mode)) break;
    // The same missing name twice means nobody can supply the volume.
    if (name == previous) throw EUserCanceled(kMsgUserCanceledDisk);
    previous = name;
  }
  CloseArchive();
  archive_file_ = std::make_unique<TFileStream>(name, fmOpenRead | fmShareDenyWrite);
  archive_ = std::make_unique<TS_BufferStream>(*archive_file_);
  current_volume_ = number - 1;
  archive_date_ = FileDate(name);
  zip_name_ = name;
}

void TZipReader::BuildSortedView() {
  view_.reset();
  if (!master_ || sort_mode_ == TZipSortMode::ByNone) return;
  view_ = std::make_unique<TSortedZip>(sort_mode_, TDuplicates::Accept, false);
  for (TZipHeaderInfo* entry : *master_) view_->Add(entry);
}

TBoxAnswer TZipReader::MessageBox(const std::string& text, const std::string& caption, TBoxButtons buttons) {
  if (OnMessageBox) return OnMessageBox(text, caption, buttons);
  return buttons == TBoxButtons::YesNo ? TBoxAnswer::No
         : buttons == TBoxButtons::OkCancel ? TBoxAnswer::Cancel
                                            : TBoxAnswer::Ok;
}

void TZipReader::ProcessMessagesAndCheckCancel(const char* cancel_message) {
  if (DoProcessMessages && OnProcessMessages) OnProcessMessages();
  if (cancel_) {
    cancel_ = false;
    throw EUserCanceled(cancel_message);
  }
}

// --- Extraction ------------------------------------------------------------

// Puts back, however an extraction call ends, what the call changed on the
// reader for its own run (the run's target, DoAll, and for a password check
// the settings it overrides), then closes the archive unless KeepZipOpen.
class TZipReader::RunGuard {
 public:
  explicit RunGuard(TZipReader& reader)
      : reader_(reader),
        target_stream_(reader.target_stream_),
        target_vector_(reader.target_vector_),
        target_block_(reader.target_block_) {}
  RunGuard(const RunGuard&) = delete;
  RunGuard& operator=(const RunGuard&) = delete;

  ~RunGuard() {
    reader_.target_stream_ = target_stream_;
    reader_.target_vector_ = target_vector_;
    reader_.target_block_ = target_block_;
    if (do_all_) reader_.DoAll = *do_all_;
    if (settings_) {
      reader_.RecreateDirs = settings_->recreate_dirs;
      reader_.dest_dir_ = std::move(settings_->dest_dir);
      reader_.FilesList = std::move(settings_->files_list);
      reader_.run_mode_ = settings_->run_mode;
    }
    if (!reader_.KeepZipOpen) reader_.CloseArchive();
  }

  // The call takes only the entries it names: DoAll is for UnZip and TestZip.
  void NamedEntriesOnly() {
    if (!do_all_) do_all_ = reader_.DoAll;
    reader_.DoAll = false;
  }

  // The call is a password check: it overrides the folder settings and the
  // selection, and runs in its own mode.
  void PasswordTest() {
    NamedEntriesOnly();
    settings_ = Settings{reader_.RecreateDirs, reader_.dest_dir_, reader_.FilesList, reader_.run_mode_};
    reader_.RecreateDirs = true;
    reader_.dest_dir_.clear();
    reader_.run_mode_ = RunMode::PasswordTest;
  }

 private:
  struct Settings {
    bool recreate_dirs;
    std::string dest_dir;
    std::vector<std::string> files_list;
    RunMode run_mode;
  };

  TZipReader& reader_;
  TStream* target_stream_;
  std::vector<uint8_t>* target_vector_;
  uint8_t* target_block_;
  std::optional<bool> do_all_;
  std::optional<Settings> settings_;
};

// The file an entry is decoded into: created beside its target (O_EXCL,
// never through a link) and renamed over it only once the entry passed its
// CRC, so a damaged entry never costs the user the copy already on disk.
// Removed unless committed.
class PartFile {
 public:
  PartFile() = default;
  PartFile(const PartFile&) = delete;
  PartFile& operator=(const PartFile&) = delete;
  ~PartFile() { Discard(); }

  // False with errno set when the file cannot be made.
  bool Create(const std::string& target) {
    size_t slash = target.rfind('/');
    std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
    path_ = dir + "/.corvid-part-XXXXXX";
    int fd = ::mkostemp(path_.data(), O_CLOEXEC);
    if (fd < 0) {
      path_.clear();
      return false;
    }
    file_ = std::make_unique<TFileStream>(fd, path_);
    buffer_ = std::make_unique<TS_BufferStream>(*file_);
    return true;
  }

  bool IsOpen() const { return buffer_ != nullptr; }
  TStream* Sink() const { return buffer_.get(); }

  // Writes out what is buffered and closes the file; a failure removes it
  // and raises EFileError naming `target`.
  void Close(const std::string& target) {
    try {
      buffer_->Flush();
    } catch (const Exception&) {
      int error = errno ? errno : EIO;
      Discard();
      throw EFileError("Cannot write \"" + target + "\": " + std::strerror(error));
    }
    buffer_.reset();
    file_.reset();
  }

  // Gives the closed file its permissions and time and renames it over
  // `target`. False with errno set when the rename failed (the file is gone).
  bool Commit(const std::string& target, mode_t mode, std::time_t when) {
    ::chmod(path_.c_str(), mode);
    struct timespec times[2] = {{when, 0}, {when, 0}};
    ::utimensat(AT_FDCWD, path_.c_str(), times, AT_SYMLINK_NOFOLLOW);
    if (::rename(path_.c_str(), target.c_str()) != 0) {
      int error = errno;
      Discard();
      errno = error;
      return false;
    }
    path_.clear();
    return true;
  }

  void Discard() {
    buffer_.reset();
    file_.reset();
    if (!path_.empty()) ::unlink(path_.c_str());
    path_.clear();
  }

 private:
  std::unique_ptr<TFileStream> file_;
  std::unique_ptr<TS_BufferStream> buffer_;
  std::string path_;
};

int TZipReader::UnZip() {
  cancel_ = false;
  RunGuard guard(*this);
  OpenArchive();
  return RunExtraction(RunMode::File);
}

int TZipReader::UnZipToStream(TStream& stream, const std::string& name) {
  cancel_ = false;
  RunGuard guard(*this);
  target_stream_ = &stream;
  guard.NamedEntriesOnly();
  OpenArchive();
  FilesList = {name};
  return RunExtraction(RunMode::Stream);
}

int TZipReader::UnZipToBuffer(std::vector<uint8_t>& buffer, const std::string& name) {
  cancel_ = false;
  buffer.clear();
  RunGuard guard(*this);
  target_vector_ = &buffer;
  guard.NamedEntriesOnly();
  OpenArchive();
  FilesList = {name};
  return RunExtraction(run_mode_ == RunMode::PasswordTest ? RunMode::PasswordTest : RunMode::Buffer);
}

int TZipReader::UnZipToBuffer(uint8_t* buffer, uint32_t size, const std::string& name) {
  cancel_ = false;
  RunGuard guard(*this);
  target_block_ = buffer;
  target_block_size_ = size;
  target_block_used_ = 0;
  guard.NamedEntriesOnly();
  OpenArchive();
  FilesList = {name};
  return RunExtraction(RunMode::Buffer);
}

int TZipReader::TestZip() {
  cancel_ = false;
  RunGuard guard(*this);
  OpenArchive();
  return RunExtraction(RunMode::Test);
}

bool TZipReader::CheckPassword(int i) {
  TZipHeaderInfo& entry = At(i);
  if (entry.PasswordState != TPasswordState::Unchecked) return entry.PasswordState == TPasswordState::Verified;
  entry.PasswordState = TPasswordState::Failed;
  int written = 0;
  {
    RunGuard guard(*this);
    guard.PasswordTest();
    std::vector<uint8_t> discard;
    try {
      written = UnZipToBuffer(discard, entry.FullName());
    } catch (...) {
      written = 0;
    }
  }
  if (written > 0) entry.PasswordState = TPasswordState::Verified;
  return entry.PasswordState == TPasswordState::Verified;
}

void TZipReader::ResetPasswordCheck(int i) { At(i).PasswordState = TPasswordState::Unchecked; }

int TZipReader::RunExtraction(RunMode mode) {
  run_mode_ = mode;
  workspace_ = std::make_unique<DecodeWorkspace>();
  TZipSortMode saved_sort = sort_mode_;
  bool physical = IsMultiVolume() && sort_mode_ != TZipSortMode::ByNone;
  int written = 0;
  auto finish = [&] {
    workspace_.reset();
    if (physical) SetSortMode(saved_sort);
  };
  try {
    if (mode == RunMode::File && !dest_dir_.empty()) ForceDirectories(dest_dir_);
    if (physical) SetSortMode(TZipSortMode::ByNone);

    int selected = 0;
    run_total_bytes_ = 0;
    run_done_bytes_ = 0;
    for (int i = 0; i < Count(); ++i) {
      TZipHeaderInfo& entry = At(i);
      entry.Selected = DoAll;
      if (!entry.Selected && (!entry.FileName().empty() || RecreateDirs)) {
        std::string full = entry.FullName();
        for (const std::string& line : FilesList) {
          std::string pattern = line;
          std::replace(pattern.begin(), pattern.end(), '/', '\\');
          // A line equal to the name selects it even when the name holds
          // characters that a pattern reads as wildcards.
          if (SameTextNoCase(pattern, full) || WildcardMatch(pattern, full)) {
            entry.Selected = true;
            break;
          }
        }
      }
      if (entry.Selected) {
        ++selected;
        run_total_bytes_ += entry.UncompressedSize;
      }
    }
    bool stop = false;
    if (OnStartUnZipInfo) OnStartUnZipInfo(this, selected, run_total_bytes_, stop);
    if (selected > 0 && !stop) {
      for (int i = 0; i < Count(); ++i) {
        TZipHeaderInfo& entry = At(i);
        if (!entry.Selected) continue;
        bool retry = false;
        do {
          retry = false;
          if (ExtractEntry(i, entry, retry)) ++written;
        } while (retry);
      }
    }
  } catch (...) {
    finish();
    throw;
  }
  finish();
  if (OnUnZipComplete) OnUnZipComplete(this, written);
  return written;
}

std::vector<std::string> TZipReader::TargetParts(const TZipHeaderInfo& entry) const {
  std::vector<std::string> parts;
  if (RecreateDirs && !entry.Directory().empty()) {
    std::string stored = entry.Directory();
    if (!root_dir_.empty() && StartsWithNoCase(stored, root_dir_)) stored.erase(0, root_dir_.size());
    parts = SafeComponents(stored);
  }
  if (!entry.FileName().empty()) {
    std::string name = entry.FileName();
    ReplaceControlCharacters(name);
    if (name == "." || name == "..") name = "_";
    parts.push_back(name);
  }
  return parts;
}

std::string TZipReader::TargetBase() const { return dest_dir_.empty() ? "." : dest_dir_; }

std::string TZipReader::TargetPath(const TZipHeaderInfo& entry) const {
  std::string path = TargetBase();
  for (const std::string& part : TargetParts(entry)) path += "/" + part;
  return path;
}

bool TZipReader::ExtractEntry(int index, const TZipHeaderInfo& stored_entry, bool& retry) {
  const TZipHeaderInfo h = stored_entry;  // the scratch header of this entry
  const bool to_file = run_mode_ == RunMode::File;

  // Entries without a name stand for folders.
  if (to_file && h.FileName().empty()) {
    MakeFolderEntry(index, h);
    return false;
  }

  int64_t data_position = 0;
  uint32_t stored_time = 0;
  if (!LocateData(h, data_position, stored_time)) {
    if (OnSkippingFile) OnSkippingFile(this, TSkipReason::skipOpenFailed, h.FullName(), index);
    return false;
  }

  const std::string base = TargetBase();  // as planned, whatever the handler does
  std::string target = to_file ? TargetPath(h) : h.FullName();
  const std::string planned_target = target;
  bool skip = false;
  if (OnStartUnZip) OnStartUnZip(this, index, target, skip);
  if (skip) return false;
  if (to_file && !MakeTargetFolders(h, base, target, target == planned_target)) {
    if (OnSkippingFile) OnSkippingFile(this, TSkipReason::skipCreateFailed, target, index);
    return false;
  }

  // A method this engine cannot decode is said before any password is
  // tried: an AES entry is not a wrong password.
  if (!IsKnownMethod(h.DataMethod())) {
    ReportUnknownMethod(h);
    return false;
  }

  archive_->Seek(data_position, soFromBeginning);
  if (h.IsEncrypted() && !UnlockEntry(index, h, stored_time)) return false;

  PartFile file;
  mode_t kept_mode = 0;  // an overwritten file's permissions, when the entry has none
  TStream* sink = nullptr;
  if (run_mode_ == RunMode::Stream) {
    sink = target_stream_;
  } else if (run_mode_ == RunMode::Buffer && target_vector_ != nullptr) {
    target_vector_->clear();
  } else if (to_file) {
    if (!OpenFileTarget(index, h, target, file, kept_mode)) return false;
    sink = file.Sink();
  }

  uint32_t crc = 0;
  const DecodeOutcome outcome = DecodeData(h, data_position, sink, crc);
  if (outcome == DecodeOutcome::UnknownMethod) {
    // Nothing was decoded, so there is no CRC to compare and no password to blame.
    file.Discard();
    if (target_vector_ != nullptr) target_vector_->clear();
    ReportUnknownMethod(h);
    return false;
  }

  // AE-2 leaves the CRC zero: the authentication code alone vouches.
  const bool crc_checked = !(h.IsAes() && h.AesVersion == 2);
  const bool passed = outcome == DecodeOutcome::Done && (!crc_checked || crc == h.CRC32);
  if (file.IsOpen()) {
    file.Close(target);
    if (!passed) {
      file.Discard();
    } else if (!file.Commit(target, FileModeOf(h, RetainAttributes, kept_mode),
                            DosDateTimeToUnix(h.LastModFileTimeDate))) {
      return SkipCreate(index, target, errno);
    }
  }

  if (passed) {
    if (OnEndUnZip) OnEndUnZip(this, index, target);
    return true;
  }
  if (outcome == DecodeOutcome::Damaged && h.IsAes() && !authentic_) {
    if (OnSkippingFile) OnSkippingFile(this, TSkipReason::skipBadAuthentication, h.FullName(), index);
  } else {
    ReportFailedEntry(index, h, crc, retry);
  }
  if (target_vector_ != nullptr) target_vector_->clear();
  return false;
}

void TZipReader::MakeFolderEntry(int index, const TZipHeaderInfo& h) {
  if (!RecreateDirs) return;
  const std::string base = TargetBase();
  std::string dir = TargetPath(h);
  const std::string planned = dir;
  bool skip = false;
  if (OnStartUnZip) OnStartUnZip(this, index, dir, skip);
  if (skip) return;
  std::vector<std::string> parts = TargetParts(h);
  if (dir == planned) MakeDirsNoFollow(base, parts, parts.size());
  else ForceDirectories(dir);
}

bool TZipReader::LocateData(const TZipHeaderInfo& h, int64_t& data_position, uint32_t& stored_time) {
  namespace f = local_header;
  if (IsMultiVolume() && current_volume_ != h.DiskNumberStart) ChangeVolume(h.DiskNumberStart + 1);
  uint8_t local[f::kSize];
  archive_->Seek(h.RelativeOffset, soFromBeginning);
  if (archive_->Read(local, f::kSize) != f::kSize || GetU32(local) != f::kSignature) return false;
  // The local record's own lengths: peers give it other extras than the
  // central record.
  data_position = static_cast<int64_t>(h.RelativeOffset) + f::kSize + GetU16(local + f::kFileNameLength) +
                  GetU16(local + f::kExtraFieldLength);
  stored_time = GetU32(local + f::kLastModTime);
  return true;
}

bool TZipReader::MakeTargetFolders(const TZipHeaderInfo& h, const std::string& base, const std::string& target,
                                   bool as_planned) const {
  if (as_planned) {
    // Made part by part below the target folder, never through a link.
    std::vector<std::string> parts = TargetParts(h);
    return !parts.empty() && MakeDirsNoFollow(base, parts, parts.size() - 1);
  }
  // The host chose another target: its folders are made as named.
  size_t slash = target.rfind('/');
  return slash == std::string::npos || slash == 0 || ForceDirectories(target.substr(0, slash));
}

void TZipReader::ReportUnknownMethod(const TZipHeaderInfo& h) {
  if (run_mode_ == RunMode::PasswordTest) return;
  char text[160];
  std::snprintf(text, sizeof text, "Compression method %u (%s) is not supported: the entry cannot be extracted",
                static_cast<unsigned>(h.CompressionMethod), MethodDescription(h.CompressionMethod));
  MessageBox(text, "Zip Error", TBoxButtons::Ok);
}

bool TZipReader::UnlockEntry(int index, const TZipHeaderInfo& h, uint32_t stored_time) {
  if (h.IsAes()) return UnlockAesEntry(index, h);
  uint8_t header[kEncryptionHeaderBytes];
  if (archive_->Read(header, kEncryptionHeaderBytes) != kEncryptionHeaderBytes)
    throw EFatalUnzipError(kMsgPrematureEnd);
  // A streamed entry's check byte is the local record's time as stored:
  // the clamped copy differs when the stored time is out of range.
  const uint8_t expected = PasswordCheckByte(h.BitFlag, h.CRC32, stored_time);
  for (;;) {
    uint8_t plain[kEncryptionHeaderBytes];
    std::memcpy(plain, header, sizeof plain);
    cipher_.Init(Password);
    cipher_.DecryptBuffer(plain, sizeof plain);
    if (plain[kEncryptionHeaderBytes - 1] == expected && h.CompressedSize >= kEncryptionHeaderBytes) return true;
    std::string candidate = Password;
    if (OnBadPassword) OnBadPassword(this, index, candidate);
    if (!OnBadPassword || candidate == Password) {
      if (OnSkippingFile) OnSkippingFile(this, TSkipReason::skipBadPassword, h.FullName(), index);
      return false;
    }
    Password = candidate;
  }
}

bool TZipReader::UnlockAesEntry(int index, const TZipHeaderInfo& h) {
  // Salt and password verifier lead the data; the authentication code ends it.
  const size_t salt_bytes = TAesCipher::SaltBytes(h.AesStrength);
  uint8_t lead[16 + TAesCipher::kVerifierBytes];
  const size_t lead_bytes = salt_bytes + TAesCipher::kVerifierBytes;
  if (h.CompressedSize < lead_bytes + TAesCipher::kCodeBytes ||
      archive_->Read(lead, static_cast<int64_t>(lead_bytes)) != static_cast<int64_t>(lead_bytes)) {
    throw EFatalUnzipError(kMsgPrematureEnd);
  }
  if (!aes_) aes_ = std::make_unique<TAesCipher>();
  for (;;) {
    uint8_t verifier[TAesCipher::kVerifierBytes];
    aes_->Init(Password, lead, h.AesStrength, verifier);
    if (std::memcmp(verifier, lead + salt_bytes, sizeof verifier) == 0) return true;
    std::string candidate = Password;
    if (OnBadPassword) OnBadPassword(this, index, candidate);
    if (!OnBadPassword || candidate == Password) {
      if (OnSkippingFile) OnSkippingFile(this, TSkipReason::skipBadPassword, h.FullName(), index);
      return false;
    }
    Password = candidate;
  }
}

bool TZipReader::MayOverwrite(int index, const TZipHeaderInfo& h, std::string& target, std::time_t file_time) {
  const uint32_t entry_date = ClampDosDateTime(h.LastModFileTimeDate);
  const uint32_t file_date = ClampDosDateTime(UnixToDosDateTime(file_time));
  bool overwrite = false;
  switch (OverwriteMode) {
    case TUZOverwriteMode::Always: overwrite = true; break;
    case TUZOverwriteMode::Never: overwrite = false; break;
    case TUZOverwriteMode::ifNewer: overwrite = entry_date > file_date; break;
    case TUZOverwriteMode::ifOlder: overwrite = entry_date < file_date; break;
    case TUZOverwriteMode::Prompt:
      if (OnPromptForOverwrite) {
        OnPromptForOverwrite(this, overwrite, index, target);
      } else {
        overwrite = MessageBox("Replace existing file " + h.FileName() + "?", "File Exists Alert",
                               TBoxButtons::YesNo) == TBoxAnswer::Yes;
      }
      break;
  }
  return overwrite;
}

bool TZipReader::OpenFileTarget(int index, const TZipHeaderInfo& h, std::string& target, PartFile& file,
                                mode_t& kept_mode) {
  struct stat st;
  if (::lstat(target.c_str(), &st) == 0) {
    if (!MayOverwrite(index, h, target, st.st_mtime)) {
      if (OnSkippingFile) OnSkippingFile(this, TSkipReason::skipNoOverwrite, target, index);
      return false;
    }
    if (S_ISDIR(st.st_mode)) return SkipCreate(index, target, EISDIR);
    // A read-only file is replaced only when the caller allows it. A link
    // in the target's place is replaced by the rename, never written through.
    if (S_ISREG(st.st_mode)) {
      if (!ReplaceReadOnly && ::access(target.c_str(), W_OK) != 0 && errno == EACCES)
        return SkipCreate(index, target, EACCES);
      kept_mode = st.st_mode & 07777;
    }
  }
  if (!file.Create(target)) return SkipCreate(index, target, errno);
  return true;
}

bool TZipReader::SkipCreate(int index, const std::string& target, int error) {
  errno = error;  // for the handler's message
  if (OnSkippingFile) OnSkippingFile(this, TSkipReason::skipCreateFailed, target, index);
  return false;
}

DecodeOutcome TZipReader::DecodeData(const TZipHeaderInfo& h, int64_t data_position, TStream* sink, uint32_t& crc) {
  // What leads the data and what follows it, by the kind of encryption.
  EntryInput::Cipher cipher = EntryInput::Cipher::None;
  uint32_t lead = 0, trail = 0;
  if (h.IsAes()) {
    cipher = EntryInput::Cipher::Aes;
    lead = static_cast<uint32_t>(TAesCipher::SaltBytes(h.AesStrength) + TAesCipher::kVerifierBytes);
    trail = TAesCipher::kCodeBytes;
  } else if (h.IsEncrypted()) {
    cipher = EntryInput::Cipher::Traditional;
    lead = kEncryptionHeaderBytes;
  }
  const uint32_t compressed = h.CompressedSize >= lead + trail ? h.CompressedSize - lead - trail : 0;
  archive_->Seek(data_position + lead, soFromBeginning);
  EntryInput input(*this, compressed, cipher);
  EntryOutput output(*this, h.UncompressedSize, sink);
  EntryCoding coding{h.DataMethod(), h.BitFlag, compressed, h.UncompressedSize};
  DecodeOutcome outcome = DecodeOutcome::Done;
  authentic_ = true;
  try {
    try {
      outcome = DecodeEntry(coding, input, output, *workspace_);
    } catch (const EBiggerThanUncompressed&) {
      // The declared size is reached: the entry ends here and its CRC decides.
    }
    if (cipher == EntryInput::Cipher::Aes && outcome != DecodeOutcome::UnknownMethod) {
      // Every encrypted byte counts for the code, also those the decoder
      // did not need.
      input.Drain(workspace_->input.get(), DecodeWorkspace::kInputChunk);
      uint8_t stored[TAesCipher::kCodeBytes], computed[TAesCipher::kCodeBytes];
      EntryInput code(*this, TAesCipher::kCodeBytes, EntryInput::Cipher::None);
      size_t got = 0;
      while (got < sizeof stored) {
        const size_t n = code.Read(stored + got, sizeof stored - got);
        if (n == 0) break;
        got += n;
      }
      aes_->Code(computed);
      authentic_ = got == sizeof stored && std::memcmp(stored, computed, sizeof stored) == 0;
      if (!authentic_) outcome = DecodeOutcome::Damaged;
    }
  } catch (...) {
    if (target_vector_ != nullptr) target_vector_->clear();
    throw;
  }
  crc = output.Crc();
  return outcome;
}

void TZipReader::ReportFailedEntry(int index, const TZipHeaderInfo& h, uint32_t crc, bool& retry) {
  if (h.IsEncrypted()) {
    // A wrong password that slipped past the check byte (one in 256 does).
    std::string candidate = Password;
    if (OnBadPassword) OnBadPassword(this, index, candidate);
    if (OnBadPassword && candidate != Password) {
      Password = candidate;
      retry = true;
    } else if (OnSkippingFile) {
      OnSkippingFile(this, TSkipReason::skipBadPassword, h.FullName(), index);
    }
  } else if (OnBadCRC) {
    OnBadCRC(this, crc, h.CRC32, index);
  }
}

}  // namespace corvid::zip
