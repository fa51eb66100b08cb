// TMemoryMailFiles: the store's files in memory, for tests. Files behave as
// inodes do (an open file keeps its content after a rename over its path),
// renames and exchanges are single steps, and watches see what is moved or
// written into their folders. Every change is recorded, so a test can
// assert what the store did ("create", "rename", "exchange", "remove").
#pragma once

#include <condition_variable>
#include <map>
#include <mutex>
#include <set>

#include "platform/mapi/mail_files.h"

namespace corvid::mapi {

class TMemoryMailFiles : public TMailFiles {
 public:
  TMemoryMailFiles();
  ~TMemoryMailFiles() override;

  // Test access: the content of a file (nullopt when missing), putting a
  // file in place as another program would (a rename into place, so
  // watches see it), and the log of changes ("create PATH", "rename A B",
  // "exchange A B", "remove PATH"), oldest first.
  std::optional<std::string> Content(const std::string& path);
  void Put(const std::string& path, const std::string& content);
  std::vector<std::string> Log();
  void ClearLog();

  std::optional<std::vector<std::string>> List(const std::string& folder) override;
  std::optional<TFileIdentity> Stat(const std::string& path) override;
  std::shared_ptr<TReadFile> OpenRead(const std::string& path) override;
  std::unique_ptr<TWriteFile> Create(const std::string& path) override;
  void Rename(const std::string& from, const std::string& to) override;
  bool Exchange(const std::string& a, const std::string& b) override;
  void Remove(const std::string& path) override;
  void MakeFolder(const std::string& path) override;
  void SyncFolder(const std::string& folder) override;
  std::unique_ptr<TFolderWatch> Watch(const std::vector<std::string>& folders) override;

  struct TNode;
  struct TWatchState;

 private:
  friend class TMemoryWriteFile;
  void Arrived(const std::string& path);
  void Finished(const std::string& path, const std::shared_ptr<TNode>& node);
  void RequireFolderOf(const std::string& path);

  std::mutex mutex_;
  std::map<std::string, std::shared_ptr<TNode>> files_;
  std::set<std::string> folders_;
  std::vector<std::string> log_;
  std::vector<std::weak_ptr<TWatchState>> watches_;
  uint64_t next_inode_ = 1;
  int64_t clock_ = 1;
};

}  // namespace corvid::mapi
