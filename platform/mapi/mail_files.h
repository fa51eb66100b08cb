// The files under the message store: TMailFiles is the one interface through
// which the store reads, writes, renames and watches Maildir files.
//
// Implementations: TPosixMailFiles (the real file system, inotify for
// watching), TMemoryMailFiles (memory_mail_files.h: tests; it records every
// change it makes), and TForwardingMailFiles, from which fault-injecting
// doubles override single calls (a write that fails, a crash before a
// rename). The store uses CurrentMailFiles().
//
// Paths are file-system paths with '/'. Every method is safe to call from
// any thread. Failures raise EMapiError with the MAPI result code for the
// cause (mapi_error.h); "not found" is a result where the method says so.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace corvid::mapi {

// What tells two versions of a file apart: another program that rewrites a
// message gives it a new inode or a new size or modification time; a
// rename (a Maildir flag change) keeps all four.
struct TFileIdentity {
  uint64_t device = 0;
  uint64_t inode = 0;
  uint64_t size = 0;
  int64_t mtime_ns = 0;
  bool operator==(const TFileIdentity&) const = default;
};

// An open file for reading. The content stays the one of the moment it was
// opened even when the path is later renamed over or removed (an inode).
class TReadFile {
 public:
  TReadFile() = default;
  TReadFile(const TReadFile&) = delete;
  TReadFile& operator=(const TReadFile&) = delete;
  virtual ~TReadFile() = default;

  virtual TFileIdentity Identity() const = 0;
  virtual uint64_t Size() const = 0;
  // Up to `length` bytes from `offset`; fewer only at the end (0 there).
  // Positional, so several readers may share one file. Raises on failure.
  virtual size_t ReadAt(uint64_t offset, void* buffer, size_t length) = 0;
};

// A new file being written from its start. Destroying it without Close
// closes it too (and keeps what was written).
class TWriteFile {
 public:
  TWriteFile() = default;
  TWriteFile(const TWriteFile&) = delete;
  TWriteFile& operator=(const TWriteFile&) = delete;
  virtual ~TWriteFile() = default;

  virtual void Append(const void* data, size_t length) = 0;
  // Everything appended so far is on the disk when it returns.
  virtual void Sync() = 0;
  // Flushes and closes; the identity of the finished file.
  virtual TFileIdentity Close() = 0;
};

// Tells which names arrived in watched folders (moved in, or written and
// closed there).
class TFolderWatch {
 public:
  TFolderWatch() = default;
  TFolderWatch(const TFolderWatch&) = delete;
  TFolderWatch& operator=(const TFolderWatch&) = delete;
  virtual ~TFolderWatch() = default;

  // Blocks until names arrived or Cancel was called; false after Cancel.
  // `arrived` receives the names (without folder); `overflow` is set when
  // arrivals were lost and the caller must list the folder again.
  virtual bool Wait(std::vector<std::string>* arrived, bool* overflow) = 0;
  // Ends the current and every later Wait; any thread may call it.
  virtual void Cancel() = 0;
};

class TMailFiles {
 public:
  TMailFiles() = default;
  TMailFiles(const TMailFiles&) = delete;
  TMailFiles& operator=(const TMailFiles&) = delete;
  virtual ~TMailFiles() = default;

  // The names in a folder, without "." and ".."; nullopt when the folder
  // does not exist.
  virtual std::optional<std::vector<std::string>> List(const std::string& folder) = 0;
  // nullopt when nothing is at `path`.
  virtual std::optional<TFileIdentity> Stat(const std::string& path) = 0;
  // MAPI_E_NOT_FOUND when the file does not exist.
  virtual std::shared_ptr<TReadFile> OpenRead(const std::string& path) = 0;
  // Creates a new file; MAPI_E_COLLISION when `path` exists.
  virtual std::unique_ptr<TWriteFile> Create(const std::string& path) = 0;
  // Moves `from` to `to` in one step, replacing what was at `to`.
  virtual void Rename(const std::string& from, const std::string& to) = 0;
  // Swaps two existing files in one step. False (and nothing done) where
  // the file system cannot; MAPI_E_NOT_FOUND when either is missing.
  virtual bool Exchange(const std::string& a, const std::string& b) = 0;
  // Removing what is not there succeeds.
  virtual void Remove(const std::string& path) = 0;
  // Makes the folder and the folders above it; existing ones are fine.
  virtual void MakeFolder(const std::string& path) = 0;
  // Makes the folder's entries (renames, new files) durable.
  virtual void SyncFolder(const std::string& folder) = 0;
  // Watches the folders for arriving names until the watch is destroyed.
  virtual std::unique_ptr<TFolderWatch> Watch(const std::vector<std::string>& folders) = 0;
};

class TPosixMailFiles : public TMailFiles {
 public:
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
};

// Passes every call to `target`, which it does not own.
class TForwardingMailFiles : public TMailFiles {
 public:
  explicit TForwardingMailFiles(TMailFiles& target) : target_(target) {}

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

 protected:
  TMailFiles& target_;
};

// The files the store uses: the override when one is set, else one
// TPosixMailFiles for the process.
std::shared_ptr<TMailFiles> CurrentMailFiles();

// Routes the store of the whole process to `files` while it lives (tests
// and fault injection). Overrides nest; destroy them in reverse order.
class TMailFilesOverride {
 public:
  explicit TMailFilesOverride(std::shared_ptr<TMailFiles> files);
  ~TMailFilesOverride();
  TMailFilesOverride(const TMailFilesOverride&) = delete;
  TMailFilesOverride& operator=(const TMailFilesOverride&) = delete;

 private:
  std::shared_ptr<TMailFiles> previous_;
};

// A scratch file outside the store (in the temporary folder), gone from the
// file system as soon as it is made; it lives while someone holds it.
// Attachment data on its way in or out of a message waits here, so that no
// attachment is ever held whole in memory.
class TScratchFile : public TReadFile {
 public:
  TScratchFile();
  ~TScratchFile() override;

  TFileIdentity Identity() const override;
  uint64_t Size() const override;
  size_t ReadAt(uint64_t offset, void* buffer, size_t length) override;
  void WriteAt(uint64_t offset, const void* data, size_t length);
  void Truncate(uint64_t size);

 private:
  int fd_ = -1;
};

}  // namespace corvid::mapi
