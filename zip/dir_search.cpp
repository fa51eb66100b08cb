#include "zip/dir_search.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "zip/file_utils.h"
#include "zip/wildcard.h"

namespace corvid::zip {

struct TDirSearch::TSearchData {
  TSearchData(std::string directory, size_t component, DIR* handle)
      : directory(std::move(directory)), component(component), handle(handle) {}
  ~TSearchData() { ::closedir(handle); }
  TSearchData(const TSearchData&) = delete;
  TSearchData& operator=(const TSearchData&) = delete;

  std::string directory;  // with a trailing '/', or "" for the current directory
  size_t component;       // index into components_; components_.size() at file levels
  DIR* handle;            // owned
};

namespace {

// A name without an extension also counts as ending in a dot, so that "*.*"
// and "*." find it; it still matches a mask that spells it as it is.
bool MatchesMask(const std::string& mask, const std::string& name) {
  if (mask.empty() || WildcardMatch(mask, name)) return true;
  return name.find('.') == std::string::npos && WildcardMatch(mask, name + ".");
}

}  // namespace

TDirSearch::TDirSearch(const std::string& start_directory, bool recurse, const std::string& file_mask)
    : recurse_(recurse), file_mask_(file_mask) {
  size_t wild_at = std::string::npos;
  for (size_t begin = 0; begin <= start_directory.size();) {
    size_t slash = std::min(start_directory.find('/', begin), start_directory.size());
    std::string component = start_directory.substr(begin, slash - begin);
    if (!component.empty() && IsWild(component)) {
      if (wild_at == std::string::npos) wild_at = begin;
      components_.push_back(component);
    } else if (!component.empty() && wild_at != std::string::npos) {
      components_.push_back(component);
    }
    begin = slash + 1;
  }
  base_ = start_directory.substr(0, wild_at == std::string::npos ? start_directory.size() : wild_at);
  if (!base_.empty() && base_.back() != '/') base_ += '/';
}

TDirSearch::~TDirSearch() = default;

void TDirSearch::Enter(std::string directory, int parent_fd, const std::string& name, size_t component) {
  // Opening relative to the parent without following links means a directory
  // swapped for a link after it was listed is refused, not walked.
  int fd = parent_fd < 0 ? ::open(directory.empty() ? "." : directory.c_str(),
                                  O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                         : ::openat(parent_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  DIR* handle = fd < 0 ? nullptr : ::fdopendir(fd);
  if (handle == nullptr) {
    if (fd >= 0) ::close(fd);
    unreadable_.push_back(directory);
    return;
  }
  levels_.push_back(std::make_unique<TSearchData>(std::move(directory), component, handle));
}

std::string TDirSearch::Next() {
  int64_t size;
  return Next(size);
}

std::string TDirSearch::Next(int64_t& size) {
  size = 0;
  if (!started_) {
    started_ = true;
    Enter(base_, -1, {}, 0);
  }
  while (!levels_.empty()) {
    TSearchData& level = *levels_.back();
    const dirent* entry = ::readdir(level.handle);
    if (entry == nullptr) {
      levels_.pop_back();
      continue;
    }
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;

    int dir_fd = ::dirfd(level.handle);
    struct stat st;
    if (::fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    bool file_level = level.component == components_.size();

    if (S_ISDIR(st.st_mode)) {
      if (levels_.size() >= kMaxLevels) continue;
      if (file_level) {
        if (recurse_ && name[0] != '.') Enter(level.directory + name + '/', dir_fd, name, level.component);
      } else {
        const std::string& mask = components_[level.component];
        if ((name[0] != '.' || mask[0] == '.') && MatchesMask(mask, name))
          Enter(level.directory + name + '/', dir_fd, name, level.component + 1);
      }
      continue;
    }
    // Links count by what they point to; links to directories were never
    // candidates above, so they are not followed.
    if (S_ISLNK(st.st_mode) && ::fstatat(dir_fd, name.c_str(), &st, 0) != 0) continue;
    if (!S_ISREG(st.st_mode) || !file_level || !MatchesMask(file_mask_, name)) continue;
    size = static_cast<int64_t>(st.st_size);
    return level.directory + name;
  }
  return {};
}

}  // namespace corvid::zip
