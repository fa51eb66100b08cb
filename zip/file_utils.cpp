#include "zip/file_utils.h"

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <cerrno>
#include <vector>

#include "zip/errors.h"

namespace corvid::zip {

namespace {

bool IsDirectory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Length in bytes of the character at `i`, under the same rule as
// Utf8ToCodePoints: a byte that does not start a valid sequence is one
// character by itself.
size_t CharLength(std::string_view text, size_t i) {
  auto b0 = static_cast<unsigned char>(text[i]);
  size_t len = b0 < 0x80 ? 1 : (b0 >> 5) == 6 ? 2 : (b0 >> 4) == 14 ? 3 : (b0 >> 3) == 30 ? 4 : 0;
  if (len <= 1 || i + len > text.size()) return 1;
  char32_t cp = len == 2 ? (b0 & 0x1F) : len == 3 ? (b0 & 0x0F) : (b0 & 0x07);
  for (size_t k = 1; k < len; ++k) {
    auto b = static_cast<unsigned char>(text[i + k]);
    if ((b & 0xC0) != 0x80) return 1;
    cp = (cp << 6) | (b & 0x3F);
  }
  static constexpr char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 1;
  return len;
}

}  // namespace

bool ForceDirectories(const std::string& path) {
  if (path.empty()) throw EFileError("Unable to create directory");
  std::string dir = path;
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  if (IsDirectory(dir)) return true;
  // Short names are not assumed to exist (on a drive-letter system they
  // would be roots): here "ab" is an ordinary directory and must be made.
  size_t slash = dir.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !ForceDirectories(dir.substr(0, slash))) return false;
  if (::mkdir(dir.c_str(), 0777) == 0) return true;
  // Another process may have made it meanwhile.
  return errno == EEXIST && IsDirectory(dir);
}

bool IsWild(std::string_view text) { return text.find_first_of("*?<>|") != std::string_view::npos; }

std::string LeftStr(std::string_view text, int64_t count) {
  size_t i = 0;
  for (int64_t n = 0; n < count && i < text.size(); ++n) i += CharLength(text, i);
  return std::string(text.substr(0, i));
}

std::string RightStr(std::string_view text, int64_t count) {
  if (count < 1) return {};
  // Walk forwards (continuation bytes alone cannot tell where a character
  // starts when invalid bytes are mixed in), remembering each start.
  std::vector<size_t> starts;
  for (size_t i = 0; i < text.size(); i += CharLength(text, i)) starts.push_back(i);
  if (static_cast<uint64_t>(count) >= starts.size()) return std::string(text);
  return std::string(text.substr(starts[starts.size() - static_cast<size_t>(count)]));
}

int64_t DiskFreeSpace(const std::string& path) {
  struct statvfs vfs;
  if (::statvfs(path.c_str(), &vfs) != 0) return -1;
  return static_cast<int64_t>(vfs.f_bavail) * static_cast<int64_t>(vfs.f_frsize);
}


}  // namespace corvid::zip
