#include "platform/mapi/memory_mail_files.h"

#include <algorithm>
#include <cstring>

#include "platform/mapi/mapi_error.h"

namespace corvid::mapi {

struct TMemoryMailFiles::TNode {
  std::string data;
  TFileIdentity identity;
};

struct TMemoryMailFiles::TWatchState {
  std::mutex mutex;
  std::condition_variable changed;
  std::set<std::string> folders;
  std::vector<std::string> arrived;
  bool cancelled = false;
};

namespace {

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}
std::string NameOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}
std::string Trimmed(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

class TMemoryReadFile : public TReadFile {
 public:
  explicit TMemoryReadFile(std::shared_ptr<TMemoryMailFiles::TNode> node, std::string data, TFileIdentity identity)
      : node_(std::move(node)), data_(std::move(data)), identity_(identity) {}
  TFileIdentity Identity() const override { return identity_; }
  uint64_t Size() const override { return data_.size(); }
  size_t ReadAt(uint64_t offset, void* buffer, size_t length) override {
    if (offset >= data_.size()) return 0;
    const size_t count = std::min<uint64_t>(length, data_.size() - offset);
    std::memcpy(buffer, data_.data() + offset, count);
    return count;
  }

 private:
  std::shared_ptr<TMemoryMailFiles::TNode> node_;
  std::string data_;
  TFileIdentity identity_;
};

class TMemoryWatch : public TFolderWatch {
 public:
  explicit TMemoryWatch(std::shared_ptr<TMemoryMailFiles::TWatchState> state) : state_(std::move(state)) {}
  ~TMemoryWatch() override { Cancel(); }
  bool Wait(std::vector<std::string>* arrived, bool* overflow) override {
    std::unique_lock lock(state_->mutex);
    state_->changed.wait(lock, [&] { return state_->cancelled || !state_->arrived.empty(); });
    *overflow = false;
    arrived->swap(state_->arrived);
    state_->arrived.clear();
    return !state_->cancelled;
  }
  void Cancel() override {
    std::lock_guard lock(state_->mutex);
    state_->cancelled = true;
    state_->changed.notify_all();
  }

 private:
  std::shared_ptr<TMemoryMailFiles::TWatchState> state_;
};

}  // namespace

class TMemoryWriteFile : public TWriteFile {
 public:
  TMemoryWriteFile(TMemoryMailFiles& files, std::string path, std::shared_ptr<TMemoryMailFiles::TNode> node)
      : files_(files), path_(std::move(path)), node_(std::move(node)) {}
  ~TMemoryWriteFile() override {
    if (!closed_) files_.Finished(path_, node_);
  }
  void Append(const void* data, size_t length) override {
    std::lock_guard lock(files_.mutex_);
    node_->data.append(static_cast<const char*>(data), length);
    node_->identity.size = node_->data.size();
    node_->identity.mtime_ns = ++files_.clock_;
  }
  void Sync() override {}
  TFileIdentity Close() override {
    closed_ = true;
    files_.Finished(path_, node_);
    std::lock_guard lock(files_.mutex_);
    return node_->identity;
  }

 private:
  TMemoryMailFiles& files_;
  std::string path_;
  std::shared_ptr<TMemoryMailFiles::TNode> node_;
  bool closed_ = false;
};

TMemoryMailFiles::TMemoryMailFiles() { folders_.insert("/"); }
TMemoryMailFiles::~TMemoryMailFiles() = default;

std::optional<std::string> TMemoryMailFiles::Content(const std::string& path) {
  std::lock_guard lock(mutex_);
  auto it = files_.find(path);
  if (it == files_.end()) return std::nullopt;
  return it->second->data;
}

void TMemoryMailFiles::Put(const std::string& path, const std::string& content) {
  auto node = std::make_shared<TNode>();
  {
    std::lock_guard lock(mutex_);
    node->data = content;
    node->identity = {1, next_inode_++, content.size(), ++clock_};
    folders_.insert(FolderOf(path));
    files_[path] = node;
  }
  Arrived(path);
}

std::vector<std::string> TMemoryMailFiles::Log() {
  std::lock_guard lock(mutex_);
  return log_;
}

void TMemoryMailFiles::ClearLog() {
  std::lock_guard lock(mutex_);
  log_.clear();
}

void TMemoryMailFiles::RequireFolderOf(const std::string& path) {
  if (folders_.count(FolderOf(path)) == 0) {
    throw EMapiError(MAPI_E_NOT_FOUND, "No folder for " + path);
  }
}

std::optional<std::vector<std::string>> TMemoryMailFiles::List(const std::string& folder_path) {
  const std::string folder = Trimmed(folder_path);
  std::lock_guard lock(mutex_);
  if (folders_.count(folder) == 0) return std::nullopt;
  std::vector<std::string> names;
  const std::string prefix = folder == "/" ? "/" : folder + "/";
  for (const auto& [path, node] : files_) {
    if (path.compare(0, prefix.size(), prefix) == 0 && path.find('/', prefix.size()) == std::string::npos) {
      names.push_back(path.substr(prefix.size()));
    }
  }
  for (const std::string& sub : folders_) {
    if (sub.size() > prefix.size() && sub.compare(0, prefix.size(), prefix) == 0 &&
        sub.find('/', prefix.size()) == std::string::npos) {
      names.push_back(sub.substr(prefix.size()));
    }
  }
  return names;
}

std::optional<TFileIdentity> TMemoryMailFiles::Stat(const std::string& path) {
  std::lock_guard lock(mutex_);
  auto it = files_.find(path);
  if (it != files_.end()) return it->second->identity;
  if (folders_.count(Trimmed(path)) != 0) return TFileIdentity{};
  return std::nullopt;
}

std::shared_ptr<TReadFile> TMemoryMailFiles::OpenRead(const std::string& path) {
  std::lock_guard lock(mutex_);
  auto it = files_.find(path);
  if (it == files_.end()) throw EMapiError(MAPI_E_NOT_FOUND, "No file " + path);
  return std::make_shared<TMemoryReadFile>(it->second, it->second->data, it->second->identity);
}

std::unique_ptr<TWriteFile> TMemoryMailFiles::Create(const std::string& path) {
  std::lock_guard lock(mutex_);
  RequireFolderOf(path);
  if (files_.count(path) != 0) throw EMapiError(MAPI_E_COLLISION, path + " exists");
  auto node = std::make_shared<TNode>();
  node->identity = {1, next_inode_++, 0, ++clock_};
  files_[path] = node;
  log_.push_back("create " + path);
  return std::make_unique<TMemoryWriteFile>(*this, path, node);
}

void TMemoryMailFiles::Rename(const std::string& from, const std::string& to) {
  {
    std::lock_guard lock(mutex_);
    auto it = files_.find(from);
    if (it == files_.end()) throw EMapiError(MAPI_E_NOT_FOUND, "No file " + from);
    RequireFolderOf(to);
    auto node = it->second;
    files_.erase(it);
    files_[to] = node;
    log_.push_back("rename " + from + " " + to);
  }
  Arrived(to);
}

bool TMemoryMailFiles::Exchange(const std::string& a, const std::string& b) {
  {
    std::lock_guard lock(mutex_);
    auto first = files_.find(a);
    auto second = files_.find(b);
    if (first == files_.end() || second == files_.end()) {
      throw EMapiError(MAPI_E_NOT_FOUND, "No file to exchange");
    }
    std::swap(first->second, second->second);
    log_.push_back("exchange " + a + " " + b);
  }
  Arrived(a);
  Arrived(b);
  return true;
}

void TMemoryMailFiles::Remove(const std::string& path) {
  std::lock_guard lock(mutex_);
  if (files_.erase(path) != 0) log_.push_back("remove " + path);
}

void TMemoryMailFiles::MakeFolder(const std::string& path) {
  std::lock_guard lock(mutex_);
  std::string folder = Trimmed(path);
  while (!folder.empty() && folder != "/") {
    folders_.insert(folder);
    folder = FolderOf(folder);
    if (folder.empty()) break;
  }
}

void TMemoryMailFiles::SyncFolder(const std::string& folder) {}

std::unique_ptr<TFolderWatch> TMemoryMailFiles::Watch(const std::vector<std::string>& folders) {
  auto state = std::make_shared<TWatchState>();
  for (const std::string& folder : folders) state->folders.insert(Trimmed(folder));
  std::lock_guard lock(mutex_);
  watches_.push_back(state);
  return std::make_unique<TMemoryWatch>(state);
}

void TMemoryMailFiles::Arrived(const std::string& path) {
  std::vector<std::shared_ptr<TWatchState>> watches;
  {
    std::lock_guard lock(mutex_);
    for (auto it = watches_.begin(); it != watches_.end();) {
      if (auto watch = it->lock()) {
        watches.push_back(std::move(watch));
        ++it;
      } else {
        it = watches_.erase(it);
      }
    }
  }
  const std::string folder = FolderOf(path);
  for (const auto& watch : watches) {
    std::lock_guard lock(watch->mutex);
    if (watch->folders.count(folder) != 0) {
      watch->arrived.push_back(NameOf(path));
      watch->changed.notify_all();
    }
  }
}

void TMemoryMailFiles::Finished(const std::string& path, const std::shared_ptr<TNode>& node) {
  bool still_there = false;
  {
    std::lock_guard lock(mutex_);
    auto it = files_.find(path);
    still_there = it != files_.end() && it->second == node;
  }
  if (still_there) Arrived(path);
}

}  // namespace corvid::mapi
