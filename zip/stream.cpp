#include "zip/stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/posix_io.h"
#include "zip/errors.h"

namespace corvid::zip {

int64_t TStream::Size() {
  int64_t here = Seek(0, soFromCurrent);
  int64_t size = Seek(0, soFromEnd);
  Seek(here, soFromBeginning);
  return size;
}

void TStream::SetSize(int64_t) { throw EStreamError("Stream size cannot be changed"); }

void TStream::ReadBuffer(void* buffer, int64_t count) {
  if (count != 0 && Read(buffer, count) != count) throw EStreamError("Stream read error");
}

void TStream::WriteBuffer(const void* buffer, int64_t count) {
  if (count != 0 && Write(buffer, count) != count) throw EStreamError("Stream write error");
}

int64_t TStream::CopyFrom(TStream& source, int64_t count) {
  if (count == 0) {
    source.SetPosition(0);
    count = source.Size();
  }
  std::vector<uint8_t> buffer(static_cast<size_t>(std::min<int64_t>(count, 65536)) + 1);
  int64_t copied = 0;
  while (copied < count) {
    int64_t want = std::min<int64_t>(count - copied, static_cast<int64_t>(buffer.size()));
    source.ReadBuffer(buffer.data(), want);
    WriteBuffer(buffer.data(), want);
    copied += want;
  }
  return copied;
}

// --- TFileStream ----------------------------------------------------------

namespace {

[[noreturn]] void ThrowFileError(const std::string& what, const std::string& file_name, int err) {
  throw EFileError(what + " \"" + file_name + "\": " + std::strerror(err));
}

}  // namespace

TFileStream::TFileStream(const std::string& file_name, int mode) : file_name_(file_name) {
  int flags = O_CLOEXEC;
  if (mode == fmCreate) {
    flags |= O_RDWR | O_CREAT | O_TRUNC;
  } else {
    switch (mode & 3) {
      case fmOpenWrite: flags |= O_WRONLY; break;
      case fmOpenReadWrite: flags |= O_RDWR; break;
      default: flags |= O_RDONLY; break;
    }
  }
  fd_ = ::open(file_name.c_str(), flags, 0666);
  if (fd_ < 0) ThrowFileError(mode == fmCreate ? "Cannot create file" : "Cannot open file",
                              file_name, errno);
  struct stat st;
  if (::fstat(fd_, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd_);
    fd_ = -1;
    ThrowFileError("Cannot open file", file_name, EISDIR);
  }
}

TFileStream::~TFileStream() {
  if (fd_ >= 0) ::close(fd_);
}

int64_t TFileStream::Read(void* buffer, int64_t count) {
  int64_t total = 0;
  auto* out = static_cast<uint8_t*>(buffer);
  while (total < count) {
    const ssize_t n = io::ReadSome(fd_, out + total, static_cast<size_t>(count - total));
    if (n <= 0) break;
    total += n;
  }
  return total;
}

int64_t TFileStream::Write(const void* buffer, int64_t count) {
  int64_t total = 0;
  auto* in = static_cast<const uint8_t*>(buffer);
  while (total < count) {
    const ssize_t n = io::WriteSome(fd_, in + total, static_cast<size_t>(count - total));
    if (n <= 0) break;
    total += n;
  }
  return total;
}

int64_t TFileStream::Seek(int64_t offset, int origin) {
  int whence = origin == soFromCurrent ? SEEK_CUR : origin == soFromEnd ? SEEK_END : SEEK_SET;
  off_t pos = ::lseek(fd_, static_cast<off_t>(offset), whence);
  return pos < 0 ? -1 : static_cast<int64_t>(pos);
}

int64_t TFileStream::Size() {
  struct stat st;
  if (::fstat(fd_, &st) != 0) return 0;
  return static_cast<int64_t>(st.st_size);
}

void TFileStream::SetSize(int64_t size) {
  if (::ftruncate(fd_, static_cast<off_t>(size)) != 0) ThrowFileError("Cannot resize file", file_name_, errno);
}

// --- TMemoryStream --------------------------------------------------------

int64_t TMemoryStream::Read(void* buffer, int64_t count) {
  int64_t size = Size();
  if (count <= 0 || position_ >= size) return 0;
  int64_t n = std::min(count, size - position_);
  std::memcpy(buffer, bytes_.data() + position_, static_cast<size_t>(n));
  position_ += n;
  return n;
}

int64_t TMemoryStream::Write(const void* buffer, int64_t count) {
  if (count <= 0) return 0;
  if (position_ + count > Size()) bytes_.resize(static_cast<size_t>(position_ + count));
  std::memcpy(bytes_.data() + position_, buffer, static_cast<size_t>(count));
  position_ += count;
  return count;
}

int64_t TMemoryStream::Seek(int64_t offset, int origin) {
  int64_t base = origin == soFromCurrent ? position_ : origin == soFromEnd ? Size() : 0;
  position_ = std::max<int64_t>(0, base + offset);
  return position_;
}

void TMemoryStream::SetSize(int64_t size) {
  bytes_.resize(static_cast<size_t>(std::max<int64_t>(0, size)));
  position_ = std::min(position_, size);
}

}  // namespace corvid::zip
