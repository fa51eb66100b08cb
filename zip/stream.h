// Byte streams: the abstract stream every archive, target and attachment is
// reached through, and its two plain forms, a file and a block of memory.
//
// A stream is used by one thread at a time. Positions and sizes are 64-bit
// even though the archive format is 32-bit, so that a caller's large stream is
// never truncated silently.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace corvid::zip {

// Seek origins, numbered as callers pass them.
inline constexpr int soFromBeginning = 0;
inline constexpr int soFromCurrent = 1;
inline constexpr int soFromEnd = 2;

class TStream {
 public:
  virtual ~TStream() = default;
  TStream() = default;
  TStream(const TStream&) = delete;
  TStream& operator=(const TStream&) = delete;

  // Reads up to `count` bytes; returns how many arrived (0 at the end).
  virtual int64_t Read(void* buffer, int64_t count) = 0;
  // Writes up to `count` bytes; returns how many were taken.
  virtual int64_t Write(const void* buffer, int64_t count) = 0;
  // Moves to `offset` from `origin` (soFrom...); returns the new position.
  virtual int64_t Seek(int64_t offset, int origin) = 0;
  // Size in bytes. The default seeks to the end and back.
  virtual int64_t Size();
  // Cuts or extends the stream. Raises EStreamError where that is impossible.
  virtual void SetSize(int64_t size);

  int64_t Position() { return Seek(0, soFromCurrent); }
  void SetPosition(int64_t position) { Seek(position, soFromBeginning); }

  // Whole transfers: raise EStreamError "Stream read error" / "Stream write
  // error" when fewer than `count` bytes move.
  void ReadBuffer(void* buffer, int64_t count);
  void WriteBuffer(const void* buffer, int64_t count);
  // Copies `count` bytes from `source` (the whole of it from position 0 when
  // count is 0); returns the bytes copied.
  int64_t CopyFrom(TStream& source, int64_t count);
};

// File open modes, as the engine names them.
inline constexpr int fmOpenRead = 0;
inline constexpr int fmOpenWrite = 1;
inline constexpr int fmOpenReadWrite = 2;
inline constexpr int fmShareDenyWrite = 32;
inline constexpr int fmShareDenyNone = 64;
inline constexpr int fmCreate = 65535;

// A file opened by name. Raises EFileError naming the file and the system's
// reason when it cannot be opened or created. Sharing bits are accepted and
// have no effect: POSIX has no mandatory sharing modes.
class TFileStream : public TStream {
 public:
  TFileStream(const std::string& file_name, int mode);
  // Takes over an open descriptor (closed on destruction).
  TFileStream(int fd, const std::string& file_name) : file_name_(file_name), fd_(fd) {}
  ~TFileStream() override;

  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, int origin) override;
  int64_t Size() override;
  void SetSize(int64_t size) override;

  const std::string& FileName() const { return file_name_; }
  int Handle() const { return fd_; }

 private:
  std::string file_name_;
  int fd_ = -1;
};

// A growable block of memory.
class TMemoryStream : public TStream {
 public:
  TMemoryStream() = default;
  explicit TMemoryStream(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}

  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, int origin) override;
  int64_t Size() override { return static_cast<int64_t>(bytes_.size()); }
  void SetSize(int64_t size) override;

  const std::vector<uint8_t>& Bytes() const { return bytes_; }
  std::vector<uint8_t>& Bytes() { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
  int64_t position_ = 0;
};

}  // namespace corvid::zip
