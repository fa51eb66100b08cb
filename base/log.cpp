#include "base/log.h"

#include "base/posix_io.h"
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <mutex>

namespace corvid::log {
namespace {

struct TState {
  std::mutex mutex;
  std::string file;
  uint64_t max_bytes = 1024 * 1024;
  bool standard_error = false;
  TNoticeHandler notice_handler;
};

TState& State() {
  static TState state;
  return state;
}

// A line that cannot be written is lost: there is nowhere left to say so.
void WriteAll(int fd, const std::string& text) { (void)io::WriteFull(fd, text.data(), text.size()); }

// Called with the state's lock held; a second process may rotate at the
// same moment, and the worst outcome then is one extra rotation.
void AppendToFile(TState& state, const std::string& line) {
  std::error_code ignored;
  const std::filesystem::path path(state.file);
  if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path(), ignored);
  struct stat st {};
  if (::stat(state.file.c_str(), &st) == 0 && static_cast<uint64_t>(st.st_size) + line.size() > state.max_bytes) {
    std::filesystem::rename(path, state.file + ".1", ignored);
  }
  const int fd = ::open(state.file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) return;
  WriteAll(fd, line);
  ::close(fd);
}

}  // namespace

void SetFile(const std::string& path, uint64_t max_bytes) {
  TState& state = State();
  std::lock_guard lock(state.mutex);
  state.file = path;
  state.max_bytes = max_bytes;
}

void SetDefaultFile(const std::string& path) {
  TState& state = State();
  std::lock_guard lock(state.mutex);
  if (state.file.empty()) state.file = path;
}

std::string File() {
  TState& state = State();
  std::lock_guard lock(state.mutex);
  return state.file;
}

void SetStandardError(bool enabled) {
  TState& state = State();
  std::lock_guard lock(state.mutex);
  state.standard_error = enabled;
}

bool StandardError() {
  TState& state = State();
  std::lock_guard lock(state.mutex);
  return state.standard_error;
}

std::string Printable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (byte < 0x20 || byte == 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", byte);
      out += hex;
    } else {
      out += c;
    }
  }
  return out;
}

void Line(std::string_view text) {
  const std::time_t now = std::time(nullptr);
  std::tm parts{};
  ::localtime_r(&now, &parts);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &parts);
  const std::string line =
      std::string(stamp) + " corvid[" + std::to_string(::getpid()) + "]: " + Printable(text) + "\n";
  TState& state = State();
  std::lock_guard lock(state.mutex);
  if (state.standard_error) WriteAll(STDERR_FILENO, line);
  if (!state.file.empty()) AppendToFile(state, line);
}

}  // namespace corvid::log

namespace corvid::log {

void Notice(std::string_view text) {
  Line(text);
  TNoticeHandler handler;
  {
    TState& state = State();
    std::lock_guard lock(state.mutex);
    handler = state.notice_handler;
  }
  // Outside the lock: a handler may write lines itself.
  if (handler) handler(Printable(text));
}

TNoticeHandler SetNoticeHandler(TNoticeHandler handler) {
  TState& state = State();
  std::lock_guard lock(state.mutex);
  std::swap(state.notice_handler, handler);
  return handler;
}

}  // namespace corvid::log
