#include "platform/mapi/mail_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <mutex>

#include "base/posix_io.h"
#include "platform/mapi/mapi_error.h"

namespace corvid::mapi {
namespace {

TFileIdentity IdentityOf(const struct stat& info) {
  return TFileIdentity{static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino),
                       static_cast<uint64_t>(info.st_size),
                       static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec};
}

class TPosixReadFile : public TReadFile {
 public:
  TPosixReadFile(int fd, const TFileIdentity& identity) : fd_(fd), identity_(identity) {}
  ~TPosixReadFile() override { ::close(fd_); }

  TFileIdentity Identity() const override { return identity_; }
  uint64_t Size() const override { return identity_.size; }
  size_t ReadAt(uint64_t offset, void* buffer, size_t length) override {
    const ssize_t got = io::ReadFull(fd_, buffer, length, static_cast<off_t>(offset));
    if (got < 0) ThrowErrno(errno, "Cannot read a message file");
    return static_cast<size_t>(got);
  }

 private:
  int fd_;
  TFileIdentity identity_;
};

// Writes through a buffer: the message writer hands over small pieces.
class TPosixWriteFile : public TWriteFile {
 public:
  TPosixWriteFile(int fd, std::string path) : fd_(fd), path_(std::move(path)) { buffer_.reserve(kBufferSize); }
  ~TPosixWriteFile() override {
    if (fd_ >= 0) {
      try {
        Flush();
      } catch (...) {
        // Destroyed on a failure road: the caller removes the file anyway.
      }
      ::close(fd_);
    }
  }

  void Append(const void* data, size_t length) override {
    Require(fd_ >= 0, MAPI_E_INVALID_OBJECT, "The file is closed");
    if (buffer_.size() + length > kBufferSize) Flush();
    if (length >= kBufferSize) {
      WriteAll(data, length);
    } else {
      buffer_.append(static_cast<const char*>(data), length);
    }
  }
  void Sync() override {
    Flush();
    if (::fsync(fd_) != 0) ThrowErrno(errno, "Cannot write " + path_ + " to the disk");
  }
  TFileIdentity Close() override {
    Flush();
    struct stat info {};
    if (::fstat(fd_, &info) != 0) ThrowErrno(errno, "Cannot look at " + path_);
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) ThrowErrno(errno, "Cannot close " + path_);
    return IdentityOf(info);
  }

 private:
  static constexpr size_t kBufferSize = 256 * 1024;

  void Flush() {
    if (buffer_.empty()) return;
    WriteAll(buffer_.data(), buffer_.size());
    buffer_.clear();
  }
  void WriteAll(const void* data, size_t length) {
    if (!io::WriteFull(fd_, data, length)) ThrowErrno(errno, "Cannot write " + path_);
  }

  int fd_;
  std::string path_;
  std::string buffer_;
};

class TInotifyWatch : public TFolderWatch {
 public:
  explicit TInotifyWatch(const std::vector<std::string>& folders) {
    inotify_ = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (inotify_ < 0) ThrowErrno(errno, "Cannot watch the store");
    cancel_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (cancel_ < 0) {
      const int error = errno;
      ::close(inotify_);
      ThrowErrno(error, "Cannot watch the store");
    }
    for (const std::string& folder : folders) {
      if (::inotify_add_watch(inotify_, folder.c_str(), IN_MOVED_TO | IN_CLOSE_WRITE | IN_ONLYDIR) < 0) {
        const int error = errno;
        ::close(inotify_);
        ::close(cancel_);
        ThrowErrno(error, "Cannot watch " + folder);
      }
    }
  }
  ~TInotifyWatch() override {
    ::close(inotify_);
    ::close(cancel_);
  }

  bool Wait(std::vector<std::string>* arrived, bool* overflow) override {
    arrived->clear();
    *overflow = false;
    for (;;) {
      pollfd fds[2] = {{inotify_, POLLIN, 0}, {cancel_, POLLIN, 0}};
      if (io::PollUntilReady(fds, 2) < 0) ThrowErrno(errno, "Cannot wait for new mail");
      if (fds[1].revents != 0) return false;
      alignas(inotify_event) char buffer[64 * 1024];
      const ssize_t got = ::read(inotify_, buffer, sizeof buffer);
      if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (got < 0) ThrowErrno(errno, "Cannot read the store's events");
      for (ssize_t at = 0; at < got;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        if ((event->mask & IN_Q_OVERFLOW) != 0) *overflow = true;
        if (event->len > 0 && (event->mask & (IN_MOVED_TO | IN_CLOSE_WRITE)) != 0) {
          arrived->emplace_back(event->name);
        }
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
      if (!arrived->empty() || *overflow) return true;
    }
  }
  void Cancel() override {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(cancel_, &one, sizeof one);
  }

 private:
  int inotify_ = -1;
  int cancel_ = -1;
};

std::mutex& OverrideMutex() {
  static std::mutex mutex;
  return mutex;
}
std::shared_ptr<TMailFiles>& OverrideSlot() {
  static std::shared_ptr<TMailFiles> files;
  return files;
}

}  // namespace

std::optional<std::vector<std::string>> TPosixMailFiles::List(const std::string& folder) {
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) {
    if (errno == ENOENT || errno == ENOTDIR) return std::nullopt;
    ThrowErrno(errno, "Cannot list " + folder);
  }
  std::vector<std::string> names;
  errno = 0;
  while (const dirent* entry = ::readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
      names.emplace_back(entry->d_name);
    }
  }
  const int error = errno;
  ::closedir(dir);
  if (error != 0) ThrowErrno(error, "Cannot list " + folder);
  return names;
}

std::optional<TFileIdentity> TPosixMailFiles::Stat(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return std::nullopt;
    ThrowErrno(errno, "Cannot look at " + path);
  }
  return IdentityOf(info);
}

std::shared_ptr<TReadFile> TPosixMailFiles::OpenRead(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) ThrowErrno(errno, "Cannot open " + path);
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    const int error = errno;
    ::close(fd);
    ThrowErrno(error, "Cannot look at " + path);
  }
  return std::make_shared<TPosixReadFile>(fd, IdentityOf(info));
}

std::unique_ptr<TWriteFile> TPosixMailFiles::Create(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) ThrowErrno(errno, "Cannot create " + path);
  return std::make_unique<TPosixWriteFile>(fd, path);
}

void TPosixMailFiles::Rename(const std::string& from, const std::string& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) ThrowErrno(errno, "Cannot rename " + from + " to " + to);
}

bool TPosixMailFiles::Exchange(const std::string& a, const std::string& b) {
  if (::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) == 0) return true;
  if (errno == EINVAL || errno == ENOSYS || errno == ENOTSUP) return false;
  ThrowErrno(errno, "Cannot exchange " + a + " and " + b);
}

void TPosixMailFiles::Remove(const std::string& path) {
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) ThrowErrno(errno, "Cannot remove " + path);
}

void TPosixMailFiles::MakeFolder(const std::string& path) {
  std::error_code error;
  std::filesystem::create_directories(path, error);
  if (error) throw EMapiError(ErrorFromErrno(error.value()), "Cannot make the folder " + path + ": " + error.message());
}

void TPosixMailFiles::SyncFolder(const std::string& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) ThrowErrno(errno, "Cannot open " + folder);
  const int result = ::fsync(fd);
  const int error = errno;
  ::close(fd);
  if (result != 0 && error != EINVAL) ThrowErrno(error, "Cannot write " + folder + " to the disk");
}

std::unique_ptr<TFolderWatch> TPosixMailFiles::Watch(const std::vector<std::string>& folders) {
  return std::make_unique<TInotifyWatch>(folders);
}

std::optional<std::vector<std::string>> TForwardingMailFiles::List(const std::string& folder) {
  return target_.List(folder);
}
std::optional<TFileIdentity> TForwardingMailFiles::Stat(const std::string& path) { return target_.Stat(path); }
std::shared_ptr<TReadFile> TForwardingMailFiles::OpenRead(const std::string& path) { return target_.OpenRead(path); }
std::unique_ptr<TWriteFile> TForwardingMailFiles::Create(const std::string& path) { return target_.Create(path); }
void TForwardingMailFiles::Rename(const std::string& from, const std::string& to) { target_.Rename(from, to); }
bool TForwardingMailFiles::Exchange(const std::string& a, const std::string& b) { return target_.Exchange(a, b); }
void TForwardingMailFiles::Remove(const std::string& path) { target_.Remove(path); }
void TForwardingMailFiles::MakeFolder(const std::string& path) { target_.MakeFolder(path); }
void TForwardingMailFiles::SyncFolder(const std::string& folder) { target_.SyncFolder(folder); }
std::unique_ptr<TFolderWatch> TForwardingMailFiles::Watch(const std::vector<std::string>& folders) {
  return target_.Watch(folders);
}

std::shared_ptr<TMailFiles> CurrentMailFiles() {
  std::lock_guard lock(OverrideMutex());
  if (OverrideSlot()) return OverrideSlot();
  static const std::shared_ptr<TMailFiles> posix = std::make_shared<TPosixMailFiles>();
  return posix;
}

TMailFilesOverride::TMailFilesOverride(std::shared_ptr<TMailFiles> files) {
  std::lock_guard lock(OverrideMutex());
  previous_ = std::move(OverrideSlot());
  OverrideSlot() = std::move(files);
}

TMailFilesOverride::~TMailFilesOverride() {
  std::lock_guard lock(OverrideMutex());
  OverrideSlot() = std::move(previous_);
}

TScratchFile::TScratchFile() {
  std::error_code ignored;
  std::filesystem::path folder = std::filesystem::temp_directory_path(ignored);
  if (folder.empty()) folder = "/tmp";
  fd_ = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd_ < 0) {
    // File systems without O_TMPFILE: a named file, unlinked at once.
    std::string pattern = (folder / "corvid-mapi-XXXXXX").string();
    fd_ = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd_ < 0) ThrowErrno(errno, "Cannot make a temporary file in " + folder.string());
    ::unlink(pattern.c_str());
  }
}

TScratchFile::~TScratchFile() { ::close(fd_); }

TFileIdentity TScratchFile::Identity() const {
  struct stat info {};
  if (::fstat(fd_, &info) != 0) ThrowErrno(errno, "Cannot look at a temporary file");
  return IdentityOf(info);
}

uint64_t TScratchFile::Size() const { return Identity().size; }

size_t TScratchFile::ReadAt(uint64_t offset, void* buffer, size_t length) {
  const ssize_t got = io::ReadFull(fd_, buffer, length, static_cast<off_t>(offset));
  if (got < 0) ThrowErrno(errno, "Cannot read a temporary file");
  return static_cast<size_t>(got);
}

void TScratchFile::WriteAt(uint64_t offset, const void* data, size_t length) {
  if (!io::WriteFull(fd_, data, length, static_cast<off_t>(offset))) ThrowErrno(errno, "Cannot write a temporary file");
}

void TScratchFile::Truncate(uint64_t size) {
  if (::ftruncate(fd_, static_cast<off_t>(size)) != 0) ThrowErrno(errno, "Cannot resize a temporary file");
}

}  // namespace corvid::mapi
