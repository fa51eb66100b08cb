#include "platform/win/profile_files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <system_error>

#include "base/posix_io.h"
#include "platform/win/ini_text.h"
#include "platform/win/machine.h"

namespace corvid::win {
namespace fs = std::filesystem;
namespace {

// The one place where errno becomes a Win32 error code.
LONG ErrorFromErrno(int error) {
  switch (error) {
    case 0:
      return ERROR_SUCCESS;
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
      return ERROR_ACCESS_DENIED;
    case EMFILE:
    case ENFILE:
      return ERROR_TOO_MANY_OPEN_FILES;
    case ENOSPC:
    case EDQUOT:
      return ERROR_DISK_FULL;
    case ENAMETOOLONG:
      return ERROR_FILENAME_EXCED_RANGE;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case EEXIST:
      return ERROR_FILE_EXISTS;
    case EIO:
      return ERROR_WRITE_FAULT;
    default:
      return ERROR_GEN_FAILURE;
  }
}

LONG CheckValue(std::string_view section, std::string_view key, std::string_view value) {
  if (!ini::IsValidSectionName(section) || !ini::IsValidKeyName(key) || !ini::IsValidValue(value)) {
    return ERROR_INVALID_PARAMETER;
  }
  return ERROR_SUCCESS;
}

// The whole file, or nullopt with errno set.
std::optional<std::string> ReadWholeFile(const fs::path& file) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string text;
  char chunk[16384];
  while (true) {
    const ssize_t got = io::ReadSome(fd, chunk, sizeof chunk);
    if (got < 0) {
      const int error = errno;
      ::close(fd);
      errno = error;
      return std::nullopt;
    }
    if (got == 0) break;
    text.append(chunk, static_cast<size_t>(got));
  }
  ::close(fd);
  return text;
}

bool WriteAll(int fd, std::string_view text) { return io::WriteFull(fd, text.data(), text.size()); }

// Holds an exclusive lock on a folder while a file in it is rewritten.
class FolderLock {
 public:
  explicit FolderLock(const fs::path& folder) {
    fd_ = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_ < 0) {
      error_ = errno;
      return;
    }
    io::LockFile(fd_, LOCK_EX);
  }
  ~FolderLock() {
    if (fd_ >= 0) ::close(fd_);
  }
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;
  int Error() const { return error_; }

 private:
  int fd_ = -1;
  int error_ = 0;
};

// Reads the file, applies `change` to its text and, when the text differs,
// puts the new text in place by rename.
LONG EditFile(const fs::path& given, const std::function<std::string(std::string_view)>& change) {
  std::error_code ignored;
  // Write through a symbolic link rather than replacing it.
  const fs::path file = fs::is_symlink(given, ignored) ? fs::weakly_canonical(given, ignored) : given;
  const fs::path folder = file.has_parent_path() ? file.parent_path() : fs::path(".");
  FolderLock lock(folder);
  if (lock.Error() != 0) return lock.Error() == ENOENT ? ERROR_PATH_NOT_FOUND : ErrorFromErrno(lock.Error());

  const std::optional<std::string> old_text = ReadWholeFile(file);
  if (!old_text && errno != ENOENT) return ErrorFromErrno(errno);
  const std::string new_text = change(old_text.value_or(std::string()));
  if (old_text ? new_text == *old_text : new_text.empty()) return ERROR_SUCCESS;

  static std::atomic<unsigned> counter{0};
  fs::path temp;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    temp = folder / ("." + file.filename().string() + "." + std::to_string(::getpid()) + "." +
                     std::to_string(counter++) + ".tmp");
    fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) return ErrorFromErrno(errno);
  }
  if (fd < 0) return ERROR_FILE_EXISTS;

  struct stat status;
  if (old_text && ::stat(file.c_str(), &status) == 0) {
    ::fchmod(fd, status.st_mode & 07777);
    if (::fchown(fd, status.st_uid, status.st_gid) != 0) {
      // Another owner's file edited by us becomes ours; its mode stays.
    }
  }
  const bool written = WriteAll(fd, new_text) && ::fsync(fd) == 0;
  const int write_error = errno;
  ::close(fd);
  if (!written) {
    ::unlink(temp.c_str());
    return ErrorFromErrno(write_error);
  }
  if (::rename(temp.c_str(), file.c_str()) != 0) {
    const int error = errno;
    ::unlink(temp.c_str());
    return ErrorFromErrno(error);
  }
  return ERROR_SUCCESS;
}

std::mutex current_mutex;
std::shared_ptr<TProfileFiles> override_files;

// Copies `text` into `buffer`, at most `room` bytes, never splitting a UTF-8
// sequence; returns the bytes copied.
size_t CopyCut(std::string_view text, char* buffer, size_t room) {
  size_t count = text.size() < room ? text.size() : room;
  while (count > 0 && count < text.size() && (static_cast<unsigned char>(text[count]) & 0xC0) == 0x80) --count;
  std::memcpy(buffer, text.data(), count);
  return count;
}

DWORD CopyList(const std::vector<std::string>& names, char* buffer, DWORD size) {
  if (size < 2) {
    buffer[0] = '\0';
    return 0;
  }
  size_t position = 0;
  for (const std::string& name : names) {
    if (position + name.size() + 1 > size - 1) {
      const size_t copied = CopyCut(name, buffer + position, size - 2 - position);
      std::memset(buffer + position + copied, 0, size - position - copied);
      return size - 2;
    }
    std::memcpy(buffer + position, name.c_str(), name.size() + 1);
    position += name.size() + 1;
  }
  buffer[position] = '\0';
  if (position == 0) buffer[1] = '\0';
  return static_cast<DWORD>(position);
}

}  // namespace

std::optional<std::string> TDiskProfileFiles::ReadValue(const fs::path& file, std::string_view section,
                                                        std::string_view key) {
  const std::optional<std::string> text = ReadWholeFile(file);
  if (!text) return std::nullopt;
  return ini::FindValue(*text, section, key);
}

std::optional<std::vector<std::string>> TDiskProfileFiles::ReadKeyNames(const fs::path& file,
                                                                        std::string_view section) {
  const std::optional<std::string> text = ReadWholeFile(file);
  if (!text) return std::nullopt;
  return ini::KeyNames(*text, section);
}

std::vector<std::string> TDiskProfileFiles::ReadSectionNames(const fs::path& file) {
  const std::optional<std::string> text = ReadWholeFile(file);
  return text ? ini::SectionNames(*text) : std::vector<std::string>();
}

LONG TDiskProfileFiles::WriteValue(const fs::path& file, std::string_view section, std::string_view key,
                                   std::string_view value) {
  const LONG valid = CheckValue(section, key, value);
  if (valid != ERROR_SUCCESS) return valid;
  return EditFile(file, [&](std::string_view text) { return ini::WithValue(text, section, key, value); });
}

LONG TDiskProfileFiles::DeleteKey(const fs::path& file, std::string_view section, std::string_view key) {
  return EditFile(file, [&](std::string_view text) { return ini::WithoutKey(text, section, key); });
}

LONG TDiskProfileFiles::EraseSection(const fs::path& file, std::string_view section) {
  return EditFile(file, [&](std::string_view text) { return ini::WithoutSection(text, section); });
}

std::optional<std::string> TMemoryProfileFiles::Text(const fs::path& file) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = files_.find(file.lexically_normal());
  if (found == files_.end()) return std::nullopt;
  return found->second;
}

void TMemoryProfileFiles::SetText(const fs::path& file, std::string text) {
  std::lock_guard<std::mutex> lock(mutex_);
  files_[file.lexically_normal()] = std::move(text);
}

int TMemoryProfileFiles::WriteCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return writes_;
}

std::optional<std::string> TMemoryProfileFiles::ReadValue(const fs::path& file, std::string_view section,
                                                          std::string_view key) {
  const std::optional<std::string> text = Text(file);
  if (!text) return std::nullopt;
  return ini::FindValue(*text, section, key);
}

std::optional<std::vector<std::string>> TMemoryProfileFiles::ReadKeyNames(const fs::path& file,
                                                                          std::string_view section) {
  const std::optional<std::string> text = Text(file);
  if (!text) return std::nullopt;
  return ini::KeyNames(*text, section);
}

std::vector<std::string> TMemoryProfileFiles::ReadSectionNames(const fs::path& file) {
  const std::optional<std::string> text = Text(file);
  return text ? ini::SectionNames(*text) : std::vector<std::string>();
}

LONG TMemoryProfileFiles::WriteValue(const fs::path& file, std::string_view section, std::string_view key,
                                     std::string_view value) {
  const LONG valid = CheckValue(section, key, value);
  if (valid != ERROR_SUCCESS) return valid;
  std::lock_guard<std::mutex> lock(mutex_);
  std::string& text = files_[file.lexically_normal()];
  text = ini::WithValue(text, section, key, value);
  ++writes_;
  return ERROR_SUCCESS;
}

LONG TMemoryProfileFiles::DeleteKey(const fs::path& file, std::string_view section, std::string_view key) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = files_.find(file.lexically_normal());
  if (found == files_.end()) return ERROR_SUCCESS;
  std::string changed = ini::WithoutKey(found->second, section, key);
  if (changed != found->second) ++writes_;
  found->second = std::move(changed);
  return ERROR_SUCCESS;
}

LONG TMemoryProfileFiles::EraseSection(const fs::path& file, std::string_view section) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = files_.find(file.lexically_normal());
  if (found == files_.end()) return ERROR_SUCCESS;
  std::string changed = ini::WithoutSection(found->second, section);
  if (changed != found->second) ++writes_;
  found->second = std::move(changed);
  return ERROR_SUCCESS;
}

std::optional<std::string> TForwardingProfileFiles::ReadValue(const fs::path& file, std::string_view section,
                                                              std::string_view key) {
  return target_.ReadValue(file, section, key);
}
std::optional<std::vector<std::string>> TForwardingProfileFiles::ReadKeyNames(const fs::path& file,
                                                                              std::string_view section) {
  return target_.ReadKeyNames(file, section);
}
std::vector<std::string> TForwardingProfileFiles::ReadSectionNames(const fs::path& file) {
  return target_.ReadSectionNames(file);
}
LONG TForwardingProfileFiles::WriteValue(const fs::path& file, std::string_view section, std::string_view key,
                                         std::string_view value) {
  return target_.WriteValue(file, section, key, value);
}
LONG TForwardingProfileFiles::DeleteKey(const fs::path& file, std::string_view section, std::string_view key) {
  return target_.DeleteKey(file, section, key);
}
LONG TForwardingProfileFiles::EraseSection(const fs::path& file, std::string_view section) {
  return target_.EraseSection(file, section);
}

std::shared_ptr<TProfileFiles> CurrentProfileFiles() {
  std::lock_guard<std::mutex> lock(current_mutex);
  if (override_files) return override_files;
  static const std::shared_ptr<TProfileFiles> disk = std::make_shared<TDiskProfileFiles>();
  return disk;
}

TProfileFilesOverride::TProfileFilesOverride(std::shared_ptr<TProfileFiles> files) {
  std::lock_guard<std::mutex> lock(current_mutex);
  previous_ = std::move(override_files);
  override_files = std::move(files);
}

TProfileFilesOverride::~TProfileFilesOverride() {
  std::lock_guard<std::mutex> lock(current_mutex);
  override_files = std::move(previous_);
}

fs::path ProfilePath(std::string_view file_name) {
  const fs::path path{std::string(file_name)};
  return path.is_absolute() ? path : WindowsDirectory() / path;
}

DWORD GetPrivateProfileString(const char* section, const char* key, const char* default_value, char* buffer,
                              DWORD size, const char* file_name) {
  if (buffer == nullptr || size == 0) return 0;
  std::optional<fs::path> file;
  try {
    file = ProfilePath(file_name != nullptr ? file_name : "win.ini");
  } catch (const std::exception&) {
    // No Windows folder can be made: the file reads as missing.
  }
  const std::shared_ptr<TProfileFiles> files = CurrentProfileFiles();
  if (section == nullptr) return CopyList(file ? files->ReadSectionNames(*file) : std::vector<std::string>(), buffer, size);
  if (key == nullptr) {
    return CopyList(file ? files->ReadKeyNames(*file, section).value_or(std::vector<std::string>())
                         : std::vector<std::string>(),
                    buffer, size);
  }

  std::optional<std::string> value = file ? files->ReadValue(*file, section, key) : std::nullopt;
  if (!value) {
    std::string_view fallback = default_value != nullptr ? default_value : "";
    while (!fallback.empty() && fallback.back() == ' ') fallback.remove_suffix(1);
    value = std::string(fallback);
  }
  const size_t copied = CopyCut(*value, buffer, size - 1);
  buffer[copied] = '\0';
  return static_cast<DWORD>(copied);
}

BOOL WritePrivateProfileString(const char* section, const char* key, const char* value, const char* file_name) {
  if (section == nullptr || file_name == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  LONG result;
  try {
    const fs::path file = ProfilePath(file_name);
    const std::shared_ptr<TProfileFiles> files = CurrentProfileFiles();
    if (key == nullptr) {
      result = files->EraseSection(file, section);
    } else if (value == nullptr) {
      result = files->DeleteKey(file, section, key);
    } else {
      result = files->WriteValue(file, section, key, value);
    }
  } catch (const std::exception&) {
    result = ERROR_PATH_NOT_FOUND;  // no Windows folder could be made
  }
  SetLastError(static_cast<DWORD>(result));
  return result == ERROR_SUCCESS ? 1 : 0;
}

}  // namespace corvid::win
