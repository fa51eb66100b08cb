#include "platform/win/resources.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <mutex>
#include <utility>

#include "base/posix_io.h"

namespace corvid::win {

namespace {

// The table is an intrusive list with a constant-initialised head, so
// registrations made during static initialisation of any object file find it
// ready whatever the order of initialisation.
constinit std::mutex g_mutex;
constinit ResourceRegistration* g_head = nullptr;

bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
    if (x != y) return false;
  }
  return true;
}

bool WriteAll(int fd, const uint8_t* data, size_t size) { return io::WriteFull(fd, data, size); }

}  // namespace

ResourceRegistration::ResourceRegistration(std::string name, int type, const void* data, size_t size)
    : name_(std::move(name)), type_(type), data_(static_cast<const uint8_t*>(data)), size_(size) {
  std::lock_guard lock(g_mutex);
  next_ = g_head;
  g_head = this;
}

ResourceRegistration::~ResourceRegistration() {
  std::lock_guard lock(g_mutex);
  for (ResourceRegistration** link = &g_head; *link != nullptr; link = &(*link)->next_) {
    if (*link == this) {
      *link = next_;
      break;
    }
  }
}

std::optional<std::span<const uint8_t>> LookupResource(const std::string& name, int type) {
  std::lock_guard lock(g_mutex);
  for (const ResourceRegistration* r = g_head; r != nullptr; r = r->next_)
    if (r->type_ == type && SameName(r->name_, name)) return std::span<const uint8_t>(r->data_, r->size_);
  return std::nullopt;
}

uint32_t ResourceSize(const std::string& name, int type) {
  auto data = LookupResource(name, type);
  return data ? static_cast<uint32_t>(data->size()) : 0;
}

bool SaveResourceToFile(const std::string& name, int type, const std::string& file_name) {
  auto data = LookupResource(name, type);
  if (!data || file_name.empty() || file_name.back() == '/') return false;

  // A short temporary name in the target's folder: the rename stays within
  // one file system, and a long target name cannot push it over NAME_MAX.
  size_t slash = file_name.rfind('/');
  std::string folder = slash == std::string::npos ? "" : file_name.substr(0, slash + 1);
  std::string temp;
  int fd = -1;
  for (unsigned i = 0; fd < 0; ++i) {
    char leaf[64];
    std::snprintf(leaf, sizeof leaf, ".corvid-res-%d-%u.tmp", static_cast<int>(::getpid()), i);
    temp = folder + leaf;
    fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) return false;
  }
  bool ok = WriteAll(fd, data->data(), data->size());
  ok = ::close(fd) == 0 && ok;
  ok = ok && ::rename(temp.c_str(), file_name.c_str()) == 0;
  if (!ok) ::unlink(temp.c_str());
  return ok;
}

}  // namespace corvid::win
