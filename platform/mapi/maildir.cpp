#include "platform/mapi/maildir.h"

#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "platform/mapi/mapi_error.h"

namespace corvid::mapi {
namespace {

constexpr const char kInfoSeparator[] = ":2,";

bool SameVersion(const TFileIdentity& a, const TFileIdentity& b) {
  return a.device == b.device && a.inode == b.inode && a.size == b.size && a.mtime_ns == b.mtime_ns;
}

std::string HostName() {
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') return "localhost";
  // '/' and ':' cannot stand in a Maildir name; the rules spell them octal.
  std::string out;
  for (const char* p = host; *p != '\0'; ++p) {
    if (*p == '/') {
      out += "\\057";
    } else if (*p == ':') {
      out += "\\072";
    } else {
      out += *p;
    }
  }
  return out;
}

}  // namespace

std::string UniqueOfName(const std::string& name) {
  const size_t separator = name.find(kInfoSeparator);
  return separator == std::string::npos ? name : name.substr(0, separator);
}

std::string FlagsOfName(const std::string& name) {
  const size_t separator = name.find(kInfoSeparator);
  return separator == std::string::npos ? std::string() : NormalizedFlags(name.substr(separator + 3));
}

std::string NormalizedFlags(const std::string& flags) {
  std::string sorted = flags;
  std::sort(sorted.begin(), sorted.end());
  sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
  return sorted;
}

TMaildir::TMaildir(std::shared_ptr<TMailFiles> files, std::string root) : files_(std::move(files)), root_(std::move(root)) {
  while (root_.size() > 1 && root_.back() == '/') root_.pop_back();
}

std::string TMaildir::FolderPath(const std::string& folder) const {
  return folder.empty() ? root_ : root_ + "/." + folder;
}

bool TMaildir::HasFolder(const std::string& folder) const {
  return folder.find('/') == std::string::npos && files_->Stat(FolderPath(folder) + "/cur").has_value();
}

std::vector<std::string> TMaildir::Folders() const {
  std::vector<std::string> folders;
  if (HasFolder("")) folders.emplace_back();
  std::vector<std::string> others;
  for (const std::string& name : files_->List(root_).value_or(std::vector<std::string>{})) {
    if (name.size() > 1 && name[0] == '.' && name != ".." && HasFolder(name.substr(1))) {
      others.push_back(name.substr(1));
    }
  }
  std::sort(others.begin(), others.end());
  folders.insert(folders.end(), others.begin(), others.end());
  return folders;
}

void TMaildir::CreateFolder(const std::string& folder) {
  Require(folder.find('/') == std::string::npos && folder != "." && folder != "..", MAPI_E_INVALID_PARAMETER,
          "A folder name may not hold '/'");
  const std::string path = FolderPath(folder);
  for (const char* sub : {"/cur", "/new", "/tmp"}) files_->MakeFolder(path + sub);
  if (!folder.empty() && !files_->Stat(path + "/maildirfolder")) {
    try {
      files_->Create(path + "/maildirfolder")->Close();
    } catch (const EMapiError& error) {
      if (error.Code() != MAPI_E_COLLISION) throw;  // another process made it
    }
  }
}

std::vector<TMessageFile> TMaildir::Messages(const std::string& folder) const {
  const std::string path = FolderPath(folder);
  auto cur = files_->List(path + "/cur");
  Require(cur.has_value(), MAPI_E_NOT_FOUND, "No such folder");
  std::vector<TMessageFile> messages;
  for (const std::string& name : *cur) {
    if (name.empty() || name[0] == '.') continue;
    messages.push_back({UniqueOfName(name), path + "/cur/" + name, FlagsOfName(name), false});
  }
  for (const std::string& name : files_->List(path + "/new").value_or(std::vector<std::string>{})) {
    if (name.empty() || name[0] == '.') continue;
    messages.push_back({UniqueOfName(name), path + "/new/" + name, FlagsOfName(name), true});
  }
  std::sort(messages.begin(), messages.end(),
            [](const TMessageFile& a, const TMessageFile& b) { return a.unique < b.unique; });
  return messages;
}

std::optional<TMessageFile> TMaildir::Find(const std::string& folder, const std::string& unique) const {
  if (unique.empty() || unique.find('/') != std::string::npos) return std::nullopt;
  const std::string path = FolderPath(folder);
  // The usual places first, so that one message does not cost a listing.
  if (files_->Stat(path + "/new/" + unique)) return TMessageFile{unique, path + "/new/" + unique, "", true};
  for (const char* dir : {"/cur/", "/new/"}) {
    for (const std::string& name : files_->List(path + dir).value_or(std::vector<std::string>{})) {
      if (UniqueOfName(name) == unique) {
        return TMessageFile{unique, path + dir + name, FlagsOfName(name), dir[1] == 'n'};
      }
    }
  }
  return std::nullopt;
}

namespace {

// A file in tmp/ named as NewUnique names them ("TIME.M...P<pid>Q<n>.HOST")
// whose writer, a process of this host, has ended: a killed delivery or
// save left it. Nobody else will ever finish it.
bool WriterIsGone(const std::string& name) {
  static const std::string host = HostName();
  if (name.size() <= host.size() + 1 || name.compare(name.size() - host.size(), host.size(), host) != 0 ||
      name[name.size() - host.size() - 1] != '.') {
    return false;
  }
  const size_t dot = name.find('.');
  const size_t p = name.find('P', dot);
  if (p == std::string::npos) return false;
  char* end = nullptr;
  const long pid = std::strtol(name.c_str() + p + 1, &end, 10);
  if (pid <= 0 || end == nullptr || *end != 'Q') return false;
  return ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

}  // namespace

std::string TMaildir::NewUnique() {
  static std::atomic<unsigned long> counter{0};
  static const std::string host = HostName();
  timeval now{};
  gettimeofday(&now, nullptr);
  char text[96];
  std::snprintf(text, sizeof text, "%lld.M%06ldP%ldQ%lu.", static_cast<long long>(now.tv_sec),
                static_cast<long>(now.tv_usec), static_cast<long>(getpid()), ++counter);
  return text + host;
}

std::string TMaildir::WriteTemporary(const std::string& folder, const std::function<void(TWriteFile&)>& write,
                                     TFileIdentity* identity) {
  const std::string temp = FolderPath(folder) + "/tmp/" + NewUnique();
  std::unique_ptr<TWriteFile> file = files_->Create(temp);
  try {
    write(*file);
    file->Sync();
    *identity = file->Close();
  } catch (...) {
    file.reset();
    try {
      files_->Remove(temp);
    } catch (...) {
      // The failure that got us here is the one to report.
    }
    throw;
  }
  return temp;
}

std::string TMaildir::Deliver(const std::string& folder, const std::function<void(TWriteFile&)>& write) {
  Require(HasFolder(folder), MAPI_E_NOT_FOUND, "No such folder");
  TFileIdentity identity;
  const std::string temp = WriteTemporary(folder, write, &identity);
  const std::string unique = UniqueOfName(temp.substr(temp.rfind('/') + 1));
  files_->Rename(temp, FolderPath(folder) + "/new/" + unique);
  files_->SyncFolder(FolderPath(folder) + "/new");
  return unique;
}

std::string TMaildir::DeliverHidden(const std::string& folder, const std::function<void(TWriteFile&)>& write) {
  Require(HasFolder(folder), MAPI_E_NOT_FOUND, "No such folder");
  TFileIdentity identity;
  const std::string temp = WriteTemporary(folder, write, &identity);
  const std::string hidden = "." + UniqueOfName(temp.substr(temp.rfind('/') + 1));
  files_->Rename(temp, FolderPath(folder) + "/new/" + hidden);
  return hidden;
}

std::string TMaildir::Reveal(const std::string& folder, const std::string& hidden_unique) {
  Require(!hidden_unique.empty() && hidden_unique[0] == '.', MAPI_E_INVALID_PARAMETER, "Not a hidden message");
  const std::optional<TMessageFile> current = Find(folder, hidden_unique);
  Require(current.has_value(), MAPI_E_OBJECT_DELETED, "The message was deleted meanwhile");
  const size_t slash = current->path.rfind('/');
  const std::string dir = current->path.substr(0, slash + 1);
  files_->Rename(current->path, dir + current->path.substr(slash + 2));
  files_->SyncFolder(dir.substr(0, dir.size() - 1));
  return hidden_unique.substr(1);
}

void TMaildir::RemoveHiddenOfDeadWriters(const std::string& folder) {
  for (const char* sub : {"/new/", "/cur/"}) {
    const std::string dir = FolderPath(folder) + sub;
    for (const std::string& name : files_->List(dir).value_or(std::vector<std::string>{})) {
      if (name.size() > 1 && name[0] == '.' && name != ".." && WriterIsGone(UniqueOfName(name.substr(1)))) {
        files_->Remove(dir + name);
      }
    }
  }
}

TMaildir::TWritten TMaildir::Store(const std::string& folder, const std::string& unique, const std::string& flags,
                                   const std::function<void(TWriteFile&)>& write) {
  Require(HasFolder(folder), MAPI_E_NOT_FOUND, "No such folder");
  TWritten written;
  const std::string temp = WriteTemporary(folder, write, &written.identity);
  written.path = FolderPath(folder) + "/cur/" + unique + kInfoSeparator + NormalizedFlags(flags);
  try {
    files_->Rename(temp, written.path);
  } catch (...) {
    files_->Remove(temp);
    throw;
  }
  files_->SyncFolder(FolderPath(folder) + "/cur");
  return written;
}

std::string TMaildir::WriteTemporaryFile(const std::string& folder, const std::function<void(TWriteFile&)>& write) {
  Require(HasFolder(folder), MAPI_E_NOT_FOUND, "No such folder");
  TFileIdentity identity;
  return WriteTemporary(folder, write, &identity);
}

std::string TMaildir::Publish(const std::string& folder, const std::string& temporary, const std::string& unique,
                              const std::string& flags) {
  const std::string path = FolderPath(folder) + "/cur/" + unique + kInfoSeparator + NormalizedFlags(flags);
  files_->Rename(temporary, path);
  files_->SyncFolder(FolderPath(folder) + "/cur");
  return path;
}

TMaildir::TWritten TMaildir::Replace(const std::string& folder, const std::string& unique,
                                     const TFileIdentity& expected, bool force,
                                     const std::function<void(TWriteFile&)>& write) {
  TWritten written;
  const std::string temp = WriteTemporary(folder, write, &written.identity);
  auto give_up = [&](HRESULT code, const char* message) {
    files_->Remove(temp);
    throw EMapiError(code, message);
  };
  try {
    // A flag change by another program may rename the message between our
    // look and our move; look again then.
    for (int attempt = 0; attempt < 5; ++attempt) {
      const std::optional<TMessageFile> current = Find(folder, unique);
      if (!current) give_up(MAPI_E_OBJECT_DELETED, "The message was deleted meanwhile");
      const std::optional<TFileIdentity> now = files_->Stat(current->path);
      if (!now) continue;
      if (!force && !SameVersion(*now, expected)) {
        give_up(MAPI_E_OBJECT_CHANGED, "Another program changed the message meanwhile; its change was kept");
      }
      bool exchanged = false;
      try {
        exchanged = files_->Exchange(temp, current->path);
      } catch (const EMapiError& error) {
        if (error.Code() == MAPI_E_NOT_FOUND) continue;
        throw;
      }
      if (!exchanged) {
        files_->Rename(temp, current->path);
      } else {
        // The swap is one step; what came out must be the version we
        // checked, else someone replaced it in between: put theirs back.
        const std::optional<TFileIdentity> old = files_->Stat(temp);
        if (!force && (!old || !SameVersion(*old, expected))) {
          if (files_->Exchange(temp, current->path)) {
            give_up(MAPI_E_OBJECT_CHANGED, "Another program changed the message meanwhile; its change was kept");
          }
        }
        files_->Remove(temp);
      }
      written.path = current->path;
      files_->SyncFolder(current->path.substr(0, current->path.rfind('/')));
      return written;
    }
  } catch (const EMapiError&) {
    files_->Remove(temp);
    throw;
  }
  give_up(MAPI_E_BUSY, "The message keeps being renamed by another program");
  return written;
}

std::string TMaildir::SetFlags(const std::string& folder, const std::string& unique, const std::string& flags) {
  const std::string wanted = NormalizedFlags(flags);
  for (int attempt = 0; attempt < 5; ++attempt) {
    const std::optional<TMessageFile> current = Find(folder, unique);
    Require(current.has_value(), MAPI_E_OBJECT_DELETED, "The message was deleted meanwhile");
    if (!current->is_new && current->flags == wanted) return current->path;
    if (current->is_new && wanted.empty()) return current->path;
    const std::string target = FolderPath(folder) + "/cur/" + unique + kInfoSeparator + wanted;
    try {
      files_->Rename(current->path, target);
    } catch (const EMapiError& error) {
      if (error.Code() == MAPI_E_NOT_FOUND) continue;
      throw;
    }
    return target;
  }
  throw EMapiError(MAPI_E_BUSY, "The message keeps being renamed by another program");
}

void TMaildir::CleanTemporaryFiles(const std::string& folder) {
  constexpr int64_t kMaximumAgeNs = int64_t{36} * 3600 * 1000000000;
  const int64_t now_ns = static_cast<int64_t>(std::time(nullptr)) * 1000000000;
  const std::string temp = FolderPath(folder) + "/tmp/";
  for (const std::string& name : files_->List(temp).value_or(std::vector<std::string>{})) {
    if (WriterIsGone(name)) {
      files_->Remove(temp + name);
      continue;
    }
    const std::optional<TFileIdentity> info = files_->Stat(temp + name);
    if (info && info->mtime_ns > 0 && now_ns - info->mtime_ns > kMaximumAgeNs) files_->Remove(temp + name);
  }
}

}  // namespace corvid::mapi
