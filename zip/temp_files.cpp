#include "zip/temp_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "zip/errors.h"

namespace corvid::zip {

namespace {

std::string TempPath(const char* prefix, uint64_t n) {
  return (std::filesystem::path(SystemTempDirectory()) / (prefix + std::to_string(n) + ".tmp")).string();
}

[[noreturn]] void ThrowCreateError(const char* what, const std::string& name, int err) {
  throw EFileError(std::string(what) + " \"" + name + "\": " + std::strerror(err));
}

}  // namespace

std::string SystemTempDirectory() {
  const char* env = std::getenv("TMPDIR");
  if (env != nullptr && *env != '\0') {
    struct stat st;
    if (::stat(env, &st) == 0 && S_ISDIR(st.st_mode)) return env;
  }
  return "/tmp";
}

// Files left behind by a crash are not scheduled for deletion at reboot: the
// platform offers no such thing, and /tmp is usually cleared at boot anyway.
std::string CreateTempFileName() {
  for (uint64_t n = 0;; ++n) {
    std::string name = TempPath("CorvidF", n);
    // O_EXCL claims the name atomically and refuses a planted symbolic link.
    int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
      ::close(fd);
      return name;
    }
    if (errno != EEXIST) ThrowCreateError("Cannot create file", name, errno);
  }
}

std::string CreateTempDirectory() {
  for (uint64_t n = 0;; ++n) {
    std::string name = TempPath("CorvidD", n);
    if (::mkdir(name.c_str(), 0700) == 0) return name;
    if (errno != EEXIST) ThrowCreateError("Cannot create directory", name, errno);
  }
}

uint32_t FileSizeOf(const std::string& file_name) {
  struct stat st;
  if (::stat(file_name.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return 0;
  return static_cast<uint32_t>(static_cast<uint64_t>(st.st_size) & 0xFFFFFFFFu);
}

// --- TTempFileStream ---------------------------------------------------------

TTempFileStream::TTempFileStream() : TTempFileStream(CreateTempFileName()) {}

// The file is unlinked as soon as it is open: it lives while the stream
// does, and a process that is killed leaves nothing behind.
TTempFileStream::TTempFileStream(const std::string& file_name) try : TFileStream(file_name, fmCreate) {
  ::unlink(file_name.c_str());
} catch (...) {
  // The name was claimed but the stream never opened: do not leave it behind.
  ::unlink(file_name.c_str());
}

TTempFileStream::~TTempFileStream() = default;

}  // namespace corvid::zip
