#include "zip/zip_writer.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <set>

#include "base/posix_io.h"
#include "zip/buffer_stream.h"
#include "zip/crc32.h"
#include "zip/dir_search.h"
#include "zip/encoder.h"
#include "zip/errors.h"
#include "zip/file_utils.h"
#include "zip/stream.h"
#include "zip/temp_files.h"
#include "zip/text.h"
#include "zip/wildcard.h"
#include "zip/zip_format.h"

namespace corvid::zip {

namespace {

constexpr char kMsgZipCanceled[] = "User canceled Zip operation";
constexpr size_t kCopyPiece = 16000;

std::string ToFsPath(std::string path) {
  std::replace(path.begin(), path.end(), '\\', '/');
  return path;
}

std::string ToZipPath(std::string path) {
  std::replace(path.begin(), path.end(), '/', '\\');
  return path;
}

std::string LastComponent(const std::string& zip_path) {
  size_t slash = zip_path.rfind('\\');
  return slash == std::string::npos ? zip_path : zip_path.substr(slash + 1);
}

bool StatFile(const std::string& path, struct stat& st) {
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string ReplaceExtension(const std::string& name, const std::string& ext) {
  size_t slash = name.find_last_of("/\\");
  size_t dot = name.rfind('.');
  std::string base =
      (dot != std::string::npos && (slash == std::string::npos || dot > slash)) ? name.substr(0, dot) : name;
  return base + ext;
}

std::string VolumeName(const std::string& zip_name, int number) {
  char ext[16];
  std::snprintf(ext, sizeof ext, ".%03d", number);
  return ReplaceExtension(zip_name, ext);
}

// The file an archive name stands for: what a symbolic link at that name
// leads to (an update replaces the target and keeps the link), else the name.
std::string ResolvedPath(const std::string& name) {
  struct stat st;
  if (::lstat(name.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return name;
  char* real = ::realpath(name.c_str(), nullptr);
  if (real == nullptr) return name;
  std::string path = real;
  std::free(real);
  return path;
}

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// The archive being written goes to a file of ours beside its final name
// first; the name carries our process id, so that one left by a writer that
// was killed can be told from one in use.
constexpr char kTempPrefix[] = ".corvid-tmp-";

int CreateTempIn(const std::string& dir, std::string& name) {
  name = dir + "/" + kTempPrefix + std::to_string(::getpid()) + "-XXXXXX";
  return ::mkostemp(name.data(), O_CLOEXEC);
}

// Removes what writers killed before they finished left in `dir`.
void SweepStaleTemporaries(const std::string& dir) {
  DIR* handle = ::opendir(dir.c_str());
  if (handle == nullptr) return;
  const size_t prefix = std::strlen(kTempPrefix);
  while (dirent* d = ::readdir(handle)) {
    std::string name = d->d_name;
    if (name.compare(0, prefix, kTempPrefix) != 0) continue;
    long pid = std::strtol(name.c_str() + prefix, nullptr, 10);
    if (pid <= 0 || (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH))
      ::unlinkat(::dirfd(handle), name.c_str(), 0);
  }
  ::closedir(handle);
}

// Serialises writers of archives in one folder, across processes: each reads
// the archive, writes it anew and renames it, and two at once would lose the
// other's entries. The folder is locked rather than the archive, whose file
// is replaced (and may not exist yet). Released when the run ends.
class FolderLock {
 public:
  explicit FolderLock(const std::string& dir) : fd_(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    if (fd_ >= 0) io::LockFile(fd_, LOCK_EX);
  }
  ~FolderLock() {
    if (fd_ >= 0) ::close(fd_);
  }
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;

 private:
  int fd_;
};

// Copies `from` to `to` so that `to` is either the old file or the whole new
// one: the bytes go to a sibling first, which is then renamed over `to`.
void ReplaceFile(const std::string& from, const std::string& to) {
  if (::rename(from.c_str(), to.c_str()) == 0) return;
  std::string sibling = to + ".corvid-new";
  try {
    TFileStream source(from, fmOpenRead);
    TFileStream target(sibling, fmCreate);
    if (target.CopyFrom(source, 0) != source.Size()) throw EStreamError("short copy");
    if (::fsync(target.Handle()) != 0) throw EStreamError(std::strerror(errno));
  } catch (const Exception& e) {
    ::unlink(sibling.c_str());
    throw EFileError("Could not copy from " + from + " -> " + to + ": " + e.what());
  }
  if (::rename(sibling.c_str(), to.c_str()) != 0) {
    int err = errno;
    ::unlink(sibling.c_str());
    throw EFileError("Could not copy from " + from + " -> " + to + ": " + std::strerror(err));
  }
  ::unlink(from.c_str());
}

}  // namespace

// --- The state of one Zip run ------------------------------------------------

struct TZipWriter::Run {
  std::unique_ptr<TStream> out_file;        // archive, temporary or volume file
  std::unique_ptr<TMemoryStream> out_memory;  // the update of a caller's stream
  std::unique_ptr<TS_BufferStream> out;     // what everything is written through
  std::string out_name;                     // deleted when the run fails
  std::string final_name;                   // what out_name is renamed to at the end
  mode_t final_mode = 0;                    // the permissions it gets then
  bool update = false;
  bool into_caller = false;                 // a new archive written into the caller's stream
  std::unique_ptr<TSortedZip> by_name;      // refuses a second entry of one name
  std::unique_ptr<TSortedZip> physical;     // owns the new entries
  TEndCentral end;
  int count = 0;

  bool spanning = false;
  int volume = 0;
  int64_t budget = 0;
  std::vector<std::string> volume_names;
  int central_on_this_volume = 0;

  std::vector<std::string> dispose;
  std::unique_ptr<TDeflater> deflater;
  std::vector<std::string> patterns;
  int64_t total_bytes = 0;
  int64_t done_bytes = 0;

  // The entry being added.
  TStream* input = nullptr;
  std::unique_ptr<TFileStream> staging;
  std::string staging_name;
  uint32_t crc = kCrcInit;
  uint64_t entry_done = 0;
  uint64_t entry_size = 0;
  uint64_t entry_written = 0;
  bool encrypt = false;
};

// The read routine: every byte of entry input passes here.
class WriterInput : public EncodeInput {
 public:
  explicit WriterInput(TZipWriter& writer) : w_(writer) {}
  size_t Read(uint8_t* buf, size_t capacity) override {
    TZipWriter::Run& run = *w_.run_;
    int64_t got = run.input->Read(buf, static_cast<int64_t>(capacity));
    if (got <= 0) return 0;
    size_t n = static_cast<size_t>(got);
    run.crc = Crc32Update(run.crc, buf, n);
    run.entry_done += n;
    run.done_bytes += static_cast<int64_t>(n);
    int halve = run.spanning ? 2 : 1;
    if (w_.OnFilePercentDone) {
      double pct = run.entry_size == 0 ? 100.0 : run.entry_done * 100.0 / run.entry_size / halve;
      w_.OnFilePercentDone(&w_, static_cast<int>(std::min(100.0, std::round(pct))));
    }
    if (w_.OnTotalPercentDone && run.total_bytes > 0)
      w_.OnTotalPercentDone(&w_, static_cast<int>(std::min(
                                     100.0, std::round(run.done_bytes * 100.0 / run.total_bytes))));
    return n;
  }

 private:
  TZipWriter& w_;
};

// The write routine: every byte of entry data passes here.
class WriterOutput : public EncodeOutput {
 public:
  explicit WriterOutput(TZipWriter& writer) : w_(writer) {}
  void Write(const uint8_t* data, size_t n) override {
    TZipWriter::Run& run = *w_.run_;
    while (n > 0) {
      size_t piece = std::min(n, sizeof scratch_);
      const uint8_t* bytes = data;
      if (run.encrypt) {
        std::memcpy(scratch_, data, piece);
        w_.cipher_.EncryptBuffer(scratch_, piece);
        bytes = scratch_;
      }
      TStream& sink = run.staging ? static_cast<TStream&>(*run.staging) : static_cast<TStream&>(*run.out);
      if (sink.Write(bytes, static_cast<int64_t>(piece)) != static_cast<int64_t>(piece))
        throw EFileError("Cannot write the archive: " + std::string(std::strerror(errno ? errno : EIO)));
      run.entry_written += piece;
      data += piece;
      n -= piece;
    }
    w_.ProcessMessagesAndCheckCancel(kMsgUserAborted);
  }

 private:
  TZipWriter& w_;
  uint8_t scratch_[16384];
};

// --- Properties ---------------------------------------------------------------

TZipWriter::TZipWriter() = default;
TZipWriter::~TZipWriter() = default;

void TZipWriter::SetStorePaths(bool on) {
  store_paths_ = on;
  if (!on) {
    store_volumes_ = false;
    relative_paths_ = false;
  }
}

void TZipWriter::SetRelativePaths(bool on) {
  relative_paths_ = on;
  if (on) {
    store_paths_ = true;
    Recurse = true;
  }
}

void TZipWriter::SetStoreVolumes(bool on) {
  store_volumes_ = on;
  if (on) store_paths_ = true;
}

void TZipWriter::SetZipName(const std::string& name) {
  if (!name.empty() && name.back() == '?') {
    std::string chosen = name.substr(0, name.size() - 1);
    if (!OnChooseZipFile || !OnChooseZipFile(chosen))
      throw EUserCanceled("User canceled setting zip file name.");
    TZipReader::SetZipName(chosen);
    return;
  }
  TZipReader::SetZipName(name);
}

std::string TZipWriter::SfxName(const std::string& zip_name) { return ReplaceExtension(zip_name, ".exe"); }

// --- Public operations ----------------------------------------------------

int TZipWriter::ZipFromStream(TStream& stream, const std::string& name) {
  cancel_ = false;
  stream_input_ = true;
  input_stream_ = &stream;
  stream.SetPosition(0);
  FilesList = {name};
  int count = 0;
  // The line names the stream's entry, not a file: left in FilesList, a
  // later Zip or MakeSFX would add a same-named file from RootDir or the
  // current folder over the entry.
  auto leave_stream_mode = [&] {
    stream_input_ = false;
    input_stream_ = nullptr;
    FilesList.clear();
    if (!KeepZipOpen) CloseArchive();
  };
  try {
    count = DoZip();
  } catch (...) {
    leave_stream_mode();
    throw;
  }
  leave_stream_mode();
  if (OnZipComplete) OnZipComplete(this, count);
  return count;
}

int TZipWriter::Zip() {
  cancel_ = false;
  int count = DoZip();
  if (!KeepZipOpen) CloseArchive();
  if (OnZipComplete) OnZipComplete(this, count);
  return count;
}

int TZipWriter::Delete() {
  cancel_ = false;
  struct stat st;
  if (caller_stream_ != nullptr ? caller_stream_->Size() == 0 : !StatFile(zip_name_, st))
    throw EZipError("There is no archive to delete entries from: " + zip_name_);
  delete_mode_ = true;
  int count = 0;
  try {
    count = DoZip();
  } catch (...) {
    delete_mode_ = false;
    if (!KeepZipOpen) CloseArchive();
    throw;
  }
  delete_mode_ = false;
  if (!KeepZipOpen) CloseArchive();
  if (OnZipComplete) OnZipComplete(this, count);
  return count;
}

void TZipWriter::MakeSFX(const std::string& stub_file) {
  if (zip_name_.empty()) return;
  struct stat st;
  if (!StatFile(stub_file, st)) throw EFileError("Cannot open the self-extractor stub \"" + stub_file + "\"");
  sfx_mode_ = true;
  sfx_stub_ = stub_file;
  try {
    DoZip();
  } catch (...) {
    sfx_mode_ = false;
    sfx_stub_.clear();
    if (!KeepZipOpen) CloseArchive();
    throw;
  }
  sfx_mode_ = false;
  sfx_stub_.clear();
  if (!KeepZipOpen) CloseArchive();
}

// --- The run -------------------------------------------------------------------

int TZipWriter::DoZip() {
  Run run;
  run_ = &run;
  const std::string own_name = zip_name_;
  TZipSortMode saved_sort = sort_mode_;
  bool saved_keep = KeepZipOpen;
  KeepZipOpen = true;
  if (sort_mode_ != TZipSortMode::ByNone) SetSortMode(TZipSortMode::ByNone);

  // Carrying a volume set over switches volumes, and ZipName with them: the
  // archive goes back to its own name and is read afresh next time.
  auto back_to_own_name = [&] {
    if (zip_name_ == own_name) return;
    CloseArchive();
    ClearDirectory();
    zip_name_ = own_name;
  };

  // File archives: one writer per folder at a time, and the leftovers of
  // killed ones are swept.
  std::unique_ptr<FolderLock> lock;
  if (caller_stream_ == nullptr && !zip_name_.empty()) {
    const std::string dir = DirectoryOf(ResolvedPath(zip_name_));
    lock = std::make_unique<FolderLock>(dir);
    SweepStaleTemporaries(dir);
  }

  auto cleanup_failure = [&] {
    back_to_own_name();
    run.staging.reset();
    if (!run.staging_name.empty()) ::unlink(run.staging_name.c_str());
    run.out.reset();
    run.out_file.reset();
    if (!run.out_name.empty()) ::unlink(run.out_name.c_str());
    for (const std::string& v : run.volume_names) ::unlink(v.c_str());
    run_ = nullptr;
    KeepZipOpen = saved_keep;
    SetSortMode(saved_sort);
  };

  try {
    run.spanning = MultiZipInfo.MultiMode != TMultiMode::mmNone && !sfx_mode_ && caller_stream_ == nullptr;
    if (run.spanning) {
      run.budget = MultiZipInfo.MultiMode == TMultiMode::mmBlocks
                       ? MultiZipInfo.FirstBlockSize
                       : std::min<int64_t>(DiskFreeSpace(ToFsPath(zip_name_).empty() ? "." : ToFsPath(zip_name_)),
                                           0xFFFFFFFFll);
      if (run.budget <= 0) run.budget = MultiZipInfo.BlockSize;
    }
    if (!stream_input_ && !delete_mode_) {
      ExpandFilesList(run);
      RefuseTooManyEntries();
    }

    struct stat st;
    bool archive_exists = caller_stream_ != nullptr ? caller_stream_->Size() > 0 : StatFile(zip_name_, st);
    run.deflater = std::make_unique<TDeflater>();
    run.by_name = std::make_unique<TSortedZip>(TZipSortMode::ByName, TDuplicates::Error, false);
    run.physical = std::make_unique<TSortedZip>(TZipSortMode::ByNone, TDuplicates::Error, true);

    if (!archive_exists && !sfx_mode_) {
      // A new archive, written straight into its place. A comment set
      // beforehand is kept.
      if (end_.Modified && end_.ZipComment) {
        run.end.ZipComment = end_.ZipComment;
        run.end.ZipCommentLength = end_.ZipCommentLength;
      }
      if (caller_stream_ != nullptr) {
        run.into_caller = true;
        run.out = std::make_unique<TS_BufferStream>(*caller_stream_);
        run.out->SetPosition(0);
      } else {
        std::string first = run.spanning && MultiZipInfo.MultiMode == TMultiMode::mmBlocks
                                ? VolumeName(zip_name_, 1)
                                : zip_name_;
        if (run.spanning) {
          run.out_file = std::make_unique<TFileStream>(first, fmCreate);
          run.volume_names.push_back(first);
        } else {
          // Written aside and renamed into place when complete: a run that
          // is killed never leaves a torn archive under the name.
          std::string temp;
          int fd = CreateTempIn(DirectoryOf(first), temp);
          if (fd < 0)
            throw EFileError("Cannot create \"" + first + "\": " + std::string(std::strerror(errno)));
          run.out_name = temp;
          run.final_name = first;
          mode_t mask = ::umask(0);
          ::umask(mask);
          run.final_mode = 0666 & ~mask;
          run.out_file = std::make_unique<TFileStream>(fd, temp);
        }
        run.out = std::make_unique<TS_BufferStream>(*run.out_file);
      }
    } else {
      // An update, written aside and swapped in when complete.
      run.update = true;
      if (caller_stream_ != nullptr && !sfx_mode_) {
        run.out_memory = std::make_unique<TMemoryStream>();
        run.out = std::make_unique<TS_BufferStream>(*run.out_memory);
      } else if (run.spanning) {
        std::string first = MultiZipInfo.MultiMode == TMultiMode::mmBlocks ? VolumeName(zip_name_, 1) : zip_name_;
        // The volumes are written in place: they must not be the files
        // the old entries are read from.
        if (archive_exists) OpenArchive();
        if (archive_exists && (IsMultiVolume() || first == zip_name_))
          throw EZipError("A multi-volume archive cannot be updated into volumes: " + zip_name_);
        run.out_file = std::make_unique<TFileStream>(first, fmCreate);
        run.out = std::make_unique<TS_BufferStream>(*run.out_file);
        run.volume_names.push_back(first);
      } else {
        // Beside the archive (or in TempPath when set), so that the rename
        // at the end replaces it in one step; through a link, the link's
        // target is replaced and keeps its permissions.
        run.final_name = sfx_mode_ ? SfxName(zip_name_) : ResolvedPath(zip_name_);
        struct stat old;
        mode_t mask = ::umask(0);
        ::umask(mask);
        run.final_mode = ::stat(run.final_name.c_str(), &old) == 0 ? (old.st_mode & 07777) : (0666 & ~mask);
        if (sfx_mode_) run.final_mode = 0777 & ~mask;  // a program
        std::string dir = TempPath;
        struct stat dst;
        if (dir.empty() || ::stat(dir.c_str(), &dst) != 0 || !S_ISDIR(dst.st_mode)) dir = DirectoryOf(run.final_name);
        std::string pattern;
        int fd = CreateTempIn(dir, pattern);
        if (fd < 0 && dir != SystemTempDirectory()) fd = CreateTempIn(dir = SystemTempDirectory(), pattern);
        if (fd < 0) throw EFileError("Cannot create a temporary file in \"" + dir + "\": " + std::strerror(errno));
        run.out_name = pattern;
        run.out_file = std::make_unique<TFileStream>(fd, pattern);
        run.out = std::make_unique<TS_BufferStream>(*run.out_file);
      }
      if (sfx_mode_) {
        TFileStream stub(sfx_stub_, fmOpenRead | fmShareDenyNone);
        if (run.out->CopyFrom(stub, 0) != stub.Size()) throw EFileError("Cannot copy the self-extractor stub");
      }
      if (archive_exists) {
        OpenArchive();
        run.end = end_;
        run.end.ZipComment = end_.ZipComment;
        if (end_.ZipCommentLength > 0 && !end_.ZipComment) run.end.ZipComment = ZipComment();
        run.end.TotalEntries = 0;
        run.end.EntriesOnThisDisk = 0;
        run.end.NumberOfThisDisk = 0;
        run.end.NumberOfStartDisk = 0;
        CarryOver(run);
        back_to_own_name();
      }
    }

    if (delete_mode_) FilesList.clear();  // the patterns were used by CarryOver
    if (!FilesList.empty()) {
      bool stop = false;
      if (OnStartZipInfo) OnStartZipInfo(this, static_cast<int>(FilesList.size()), run.total_bytes, run.end, stop);
      if (stop) throw EUserCanceled(kMsgZipCanceled);
    }
    if (run.spanning) run.total_bytes *= 2;

    std::vector<std::string> lines = FilesList;
    for (const std::string& line : lines) {
      if (AddEntry(run, line)) ++run.count;
    }

    WriteCentralDirectory(run);
    Finish(run);
  } catch (...) {
    cleanup_failure();
    throw;
  }
  int count = run.count;
  run_ = nullptr;
  KeepZipOpen = saved_keep;
  SetSortMode(saved_sort);
  return count;
}

// --- File list expansion --------------------------------------------------------

bool TZipWriter::MatchesList(const std::vector<std::string>& patterns, const std::string& name) const {
  std::string zip_name = ToZipPath(name);
  std::string last = LastComponent(zip_name);
  for (const std::string& p : patterns) {
    std::string pattern = ToZipPath(p);
    if (pattern.find('\\') != std::string::npos ? WildcardMatch(pattern, zip_name) : WildcardMatch(pattern, last))
      return true;
  }
  return false;
}

void TZipWriter::ExpandFilesList(Run& run) {
  std::vector<std::string> accepted;
  std::string root = ToFsPath(root_dir_);
  auto in_archive = [&](const std::string& fs_path) {
    std::string zip_path = ToZipPath(fs_path);
    std::string stored = StoredDirectory(fs_path) + LastComponent(zip_path);
    for (int i = 0; i < Count(); ++i)
      if (SameTextNoCase(Entry(i).FullName(), stored)) return true;
    return false;
  };
  struct stat st;
  if (ZipAction == TZipAction::zaFreshen && (caller_stream_ != nullptr || StatFile(zip_name_, st))) OpenArchive();

  for (const std::string& raw_line : FilesList) {
    std::string line = ToFsPath(raw_line);
    if (IsWild(line)) {
      run.patterns.push_back(line);
      continue;
    }
    if (line.find('/') == std::string::npos && !root.empty()) line = root + line;
    if (MatchesList(ExcludeList, line)) continue;
    if (!StatFile(line, st)) {
      if (OnNoSuchFile) OnNoSuchFile(this, raw_line);
      continue;
    }
    if (ZipAction == TZipAction::zaFreshen && !in_archive(line)) continue;
    accepted.push_back(line);
    run.total_bytes += st.st_size;
  }

  for (std::string pattern : run.patterns) {
    bool recurse = Recurse;
    if (!pattern.empty() && (pattern[0] == '|' || pattern[0] == '>')) {
      recurse = pattern[0] == '>';
      pattern.erase(0, 1);
    }
    size_t slash = pattern.rfind('/');
    std::string dir = slash == std::string::npos ? (root.empty() ? "." : root) : pattern.substr(0, slash + 1);
    std::string mask = slash == std::string::npos ? pattern : pattern.substr(slash + 1);
    if (!IsWild(dir)) {
      struct stat dst;
      if (::stat(dir.c_str(), &dst) != 0 || !S_ISDIR(dst.st_mode)) continue;
    }
    TDirSearch search(dir, recurse, mask);
    for (;;) {
      int64_t size = 0;
      std::string found = search.Next(size);
      if (found.empty()) break;
      if (MatchesList(ExcludeList, found)) continue;
      if (caller_stream_ == nullptr && SameTextNoCase(found, zip_name_)) continue;
      if (ZipAction == TZipAction::zaFreshen && !in_archive(found)) continue;
      accepted.push_back(found);
      run.total_bytes += size;
    }
    // Folders the walk could not open would lose their files unnoticed.
    for (const std::string& unreadable : search.UnreadableDirectories())
      if (OnSkippingFile) OnSkippingFile(this, TSkipReason::skipOpenFailed, unreadable, -1);
  }
  FilesList = accepted;
}

void TZipWriter::RefuseTooManyEntries() {
  // The directory counts its entries in 16 bits. Found out at the end, after
  // all the work, the run would fail and leave no archive: say so first.
  const size_t most = static_cast<size_t>(kMaxListCapacity);
  struct stat st;
  const bool exists = caller_stream_ != nullptr ? caller_stream_->Size() > 0 : StatFile(zip_name_, st);
  if (!exists && FilesList.size() <= most) return;
  if (exists) OpenArchive();  // kept loaded for the run
  if (FilesList.size() + static_cast<size_t>(Count()) <= most) return;
  // Files that replace entries of their name take no new place.
  std::set<std::string> names;
  for (int i = 0; i < Count(); ++i) names.insert(LowerText(Entry(i).FullName()));
  const size_t existing = names.size();
  for (const std::string& file : FilesList)
    names.insert(LowerText(StoredDirectory(file) + LastComponent(ToZipPath(file))));
  if (names.size() <= most) return;
  throw EZipError("An archive holds at most " + std::to_string(kMaxListCapacity) + " entries; adding " +
                  std::to_string(names.size() - existing) + " new ones to the " + std::to_string(existing) +
                  " it has would make " + std::to_string(names.size()) + ". Nothing was written.");
}

std::string TZipWriter::StoredDirectory(const std::string& source) const {
  if (!store_paths_) return "";
  std::string path = ToZipPath(source);
  size_t slash = path.rfind('\\');
  if (slash == std::string::npos) return "";
  std::string dir = path.substr(0, slash + 1);
  if (relative_paths_ && !root_dir_.empty() && StartsWithNoCase(dir, root_dir_)) {
    dir.erase(0, root_dir_.size());
    return dir;
  }
  // Names are never stored absolute: the drive (unless kept), a server and
  // share prefix, and leading separators go.
  std::string drive;
  if (dir.size() >= 2 && dir[1] == ':') {
    drive = dir.substr(0, 2);
    dir.erase(0, 2);
  } else if (dir.rfind("\\\\", 0) == 0) {
    size_t share_end = dir.find('\\', dir.find('\\', 2) + 1);
    dir.erase(0, share_end == std::string::npos ? dir.size() : share_end);
  }
  while (!dir.empty() && dir[0] == '\\') dir.erase(0, 1);
  while (dir.rfind(".\\", 0) == 0) dir.erase(0, 2);
  if (store_volumes_ && !drive.empty()) dir = drive + "\\" + dir;
  return dir;
}

// --- Carry-over ----------------------------------------------------------------

void TZipWriter::CarryOver(Run& run) {
  std::vector<TZipHeaderInfo*> old_entries(master_->begin(), master_->end());
  for (TZipHeaderInfo* old_ptr : old_entries) {
    TZipHeaderInfo old_entry = *old_ptr;
    if (delete_mode_) {
      bool drop = false;
      for (std::string pattern : FilesList) {
        pattern = ToZipPath(pattern);
        if (SameTextNoCase(pattern, old_entry.FullName()) || WildcardMatch(pattern, old_entry.FullName())) {
          drop = true;
          break;
        }
      }
      bool keep = false;
      if (drop && OnDeleteEntry) OnDeleteEntry(this, old_entry.FullName(), keep);
      if (drop && !keep) {
        ++run.count;
        continue;
      }
    }
    if (old_entry.FileCommentLength > 0 && !old_entry.FileComment()) {
      for (int i = 0; i < Count(); ++i)
        if (&Entry(i) == old_ptr) old_entry.LoadedFileComment(FileCommentOf(i));
    }
    auto matches = [&](const std::string& line) {
      return SameTextNoCase(StoredDirectory(line) + LastComponent(ToZipPath(line)), old_entry.FullName());
    };
    auto line_it = delete_mode_ ? FilesList.end() : std::find_if(FilesList.begin(), FilesList.end(), matches);
    if (line_it == FilesList.end()) {
      KeepEntry(run, old_entry);
      continue;
    }
    std::string line = *line_it;
    FilesList.erase(line_it);
    bool replace = stream_input_ || ZipAction == TZipAction::zaReplace;
    if (!replace) {
      struct stat st;
      uint32_t file_date = StatFile(line, st) ? ClampDosDateTime(UnixToDosDateTime(st.st_mtime)) : 0;
      replace = ClampDosDateTime(old_entry.LastModFileTimeDate) < file_date;
    }
    if (replace) {
      if (AddEntry(run, line)) ++run.count;
    } else {
      KeepEntry(run, old_entry);
    }
  }
}

void TZipWriter::KeepEntry(Run& run, const TZipHeaderInfo& old_entry) {
  // The old local record says how long its own name and extra field are;
  // peers often give the local and the central record different extras.
  uint8_t local[local_header::kSize];
  if (IsMultiVolume() && current_volume_ != old_entry.DiskNumberStart) ChangeVolume(old_entry.DiskNumberStart + 1);
  archive_->Seek(old_entry.RelativeOffset, soFromBeginning);
  if (archive_->Read(local, local_header::kSize) != local_header::kSize ||
      GetU32(local) != local_header::kSignature)
    throw EBadZipFile("Local header of " + old_entry.FullName() + " not found");
  uint16_t local_name = GetU16(local + local_header::kFileNameLength);
  uint16_t local_extra = GetU16(local + local_header::kExtraFieldLength);
  archive_->Seek(local_name, soFromCurrent);

  auto entry = std::make_unique<TZipHeaderInfo>(old_entry);
  entry->ExtraFieldLength = local_extra;
  entry->PasswordState = TPasswordState::Unchecked;
  EnsureRoom(run, entry->LocalRecordSize());
  entry->RelativeOffset = static_cast<uint32_t>(run.out->Position());
  entry->DiskNumberStart = static_cast<uint16_t>(run.volume);
  WriteLocalRecord(run, *entry);

  int64_t remaining = static_cast<int64_t>(local_extra) + entry->CompressedSize;
  bool descriptor = entry->HasDataDescriptor();
  std::vector<uint8_t> buffer(kCopyPiece);
  auto copy = [&](int64_t bytes) {
    while (bytes > 0) {
      int64_t want = std::min<int64_t>(bytes, static_cast<int64_t>(buffer.size()));
      int64_t got = archive_->Read(buffer.data(), want);
      if (got <= 0) {
        // The entry of a volume set continues on the next volume.
        if (!IsMultiVolume() || !OnGetNextDisk) throw EFatalUnzipError(kMsgPrematureEnd);
        ChangeVolume(current_volume_ + 2);
        continue;
      }
      WriteOut(run, buffer.data(), static_cast<size_t>(got));
      bytes -= got;
    }
  };
  copy(remaining);
  if (descriptor) {
    // Keep the descriptor: an encrypted entry's check byte depends on the flag.
    uint8_t sig[4];
    int64_t at = archive_->Position();
    bool has_sig = archive_->Read(sig, 4) == 4 && GetU32(sig) == data_descriptor::kSignature;
    archive_->Seek(at, soFromBeginning);
    copy(has_sig ? data_descriptor::kSize : data_descriptor::kSizeWithoutSignature);
  }
  run.end.TotalEntries++;
  run.end.EntriesOnThisDisk++;
  run.by_name->Add(entry.get());
  run.physical->Add(entry.release());
}

// --- Adding one entry -------------------------------------------------------------

bool TZipWriter::AddEntry(Run& run, const std::string& line) {
  auto entry = std::make_unique<TZipHeaderInfo>();
  mode_t unix_mode = 0;
  struct stat before {};  // the source file as it was opened
  std::unique_ptr<TFileStream> file;
  std::string zip_line = ToZipPath(line);
  if (stream_input_) {
    run.input = input_stream_;
    input_stream_->SetPosition(0);
    entry->ExternalAttributes = 32;
    unix_mode = S_IFREG | 0644;
    entry->LastModFileTimeDate = UnixToDosDateTime(std::time(nullptr));
  } else {
    struct stat st;
    try {
      if (!StatFile(line, st)) throw EFileError("not a file");
      file = std::make_unique<TFileStream>(line, fmOpenRead | fmShareDenyNone);
    } catch (const Exception&) {
      if (OnSkippingFile) OnSkippingFile(this, TSkipReason::skipOpenFailed, line, -1);
      return false;
    }
    run.input = file.get();
    before = st;
    entry->ExternalAttributes = 32 | ((st.st_mode & S_IWUSR) ? 0 : 1);
    unix_mode = S_IFREG | (st.st_mode & 07777);
    entry->LastModFileTimeDate = UnixToDosDateTime(st.st_mtime);
  }
  int64_t size = run.input->Size();
  if (size > 0xFFFFFFFFll) throw EZipError(line + " is larger than a ZIP archive can hold (4 GiB)");
  entry->UncompressedSize = static_cast<uint32_t>(size);
  entry->SetFileName(LastComponent(zip_line));
  entry->InternalAttributes = 2;
  entry->DiskNumberStart = static_cast<uint16_t>(run.volume);
  entry->SetDirectory(StoredDirectory(line));

  int existing = 0;
  if (run.by_name->Find(*entry, &existing)) {
    if (OnSkippingFile) OnSkippingFile(this, TSkipReason::skipNoOverwrite, line, -1);
    return false;
  }
  bool skip = false;
  if (OnStartZip) OnStartZip(this, line, *entry, skip);
  if (skip) return false;

  EnsureRoom(run, entry->LocalRecordSize());
  entry->RelativeOffset = static_cast<uint32_t>(run.out->Position());
  entry->DiskNumberStart = static_cast<uint16_t>(run.volume);
  entry->CRC32 = 0xFFFFFFFFu;
  entry->CompressedSize = 0;
  entry->CompressionMethod = 8;
  WriteLocalRecord(run, *entry);

  if (run.spanning) {
    std::string pattern = SystemTempDirectory() + "/czsXXXXXX";
    int fd = ::mkstemp(pattern.data());
    if (fd < 0) throw EFileError("Cannot create a staging file: " + std::string(std::strerror(errno)));
    run.staging_name = pattern;
    run.staging = std::make_unique<TFileStream>(fd, pattern);
  }

  run.encrypt = false;
  run.entry_written = 0;
  TStream& sink = run.staging ? static_cast<TStream&>(*run.staging) : static_cast<TStream&>(*run.out);
  const int64_t data_start = sink.Position();
  uint8_t header[kEncryptionHeaderBytes];
  if (!Password.empty()) {
    // The header's check byte is the CRC's top byte, so the CRC comes first.
    uint32_t crc = kCrcInit;
    std::vector<uint8_t> piece(4096);
    for (;;) {
      int64_t got = run.input->Read(piece.data(), static_cast<int64_t>(piece.size()));
      if (got <= 0) break;
      crc = Crc32Update(crc, piece.data(), static_cast<size_t>(got));
    }
    crc = ~crc;
    run.input->SetPosition(0);
    cipher_.Init(Password);
    std::mt19937 random(static_cast<uint32_t>(std::chrono::high_resolution_clock::now().time_since_epoch().count()) ^
                        std::random_device{}());
    std::uniform_int_distribution<int> draw(0, 32766);
    for (int i = 0; i < 10; ++i) header[i] = static_cast<uint8_t>(draw(random) >> 7);
    header[10] = static_cast<uint8_t>(crc >> 16);
    header[11] = static_cast<uint8_t>(crc >> 24);
    run.encrypt = true;
    WriterOutput(*this).Write(header, sizeof header);
    run.entry_written = 0;
  }

  run.crc = kCrcInit;
  run.entry_done = 0;
  run.entry_size = entry->UncompressedSize;
  WriterInput input(*this);
  WriterOutput output(*this);
  uint32_t compressed = 0;
  auto store = [&] {
    std::vector<uint8_t> piece(kCopyPiece);
    for (;;) {
      size_t got = input.Read(piece.data(), piece.size());
      if (got == 0) break;
      output.Write(piece.data(), got);
    }
    entry->CompressionMethod = 0;
    entry->InternalAttributes = 0;
    entry->BitFlag &= static_cast<uint16_t>(~6u);  // Deflate's option bits
    return static_cast<uint32_t>(run.entry_written);
  };
  if (pack_level_ == 0 || MatchesList(NoCompressList, entry->FileName())) {
    compressed = store();
  } else {
    compressed = run.deflater->Deflate(pack_level_, input, output, *entry);
    const uint64_t read = run.entry_done;
    if (compressed > read && !run.into_caller && read == entry->UncompressedSize) {
      // Incompressible data grows under Deflate: it is stored instead, over
      // what Deflate wrote, and the file cut to what the store wrote.
      sink.Seek(data_start, soFromBeginning);
      run.input->SetPosition(0);
      run.done_bytes -= static_cast<int64_t>(read);
      run.crc = kCrcInit;
      run.entry_done = 0;
      run.entry_written = 0;
      if (run.encrypt) {
        cipher_.Init(Password);
        WriterOutput(*this).Write(header, sizeof header);
        run.entry_written = 0;
      }
      compressed = store();
      sink.SetSize(sink.Position());
    }
  }
  if (run.entry_written > 0xFFFFFFFFull - kEncryptionHeaderBytes || run.entry_done > 0xFFFFFFFFull)
    throw EZipError(line + " is larger than a ZIP archive can hold (4 GiB)");
  if (file) {
    // A file written to while it was read is stored as read, which may be
    // neither its old nor its new content: the caller hears of it.
    struct stat after;
    bool changed = ::fstat(file->Handle(), &after) != 0 || after.st_size != before.st_size ||
                   after.st_mtim.tv_sec != before.st_mtim.tv_sec ||
                   after.st_mtim.tv_nsec != before.st_mtim.tv_nsec ||
                   run.entry_done != static_cast<uint64_t>(before.st_size);
    if (changed && OnFileChanged) OnFileChanged(this, line);
  }
  entry->UncompressedSize = static_cast<uint32_t>(run.entry_done);
  entry->CompressedSize = compressed;
  entry->CRC32 = ~run.crc;
  if (run.encrypt) {
    entry->BitFlag |= kFlagEncrypted;
    entry->CompressedSize += kEncryptionHeaderBytes;
  }
  if (entry->FilenameLength > 0) {
    bool utf8 = false;
    EncodeStoredName(entry->FullName(), &utf8);
    if (utf8) {
      entry->BitFlag |= kFlagUtf8Name;
      // Readers that convert names of MS-DOS entries from the OEM code page
      // do so even for flagged UTF-8 names: such an entry says it was made
      // on Unix, with the file's mode, as Unix tools write it.
      entry->VersionMadeBy = static_cast<uint16_t>((3 << 8) | (entry->VersionMadeBy & 0xFF));
      entry->ExternalAttributes = (static_cast<uint32_t>(unix_mode) << 16) | (entry->ExternalAttributes & 0xFFFF);
    }
  }
  run.encrypt = false;

  // Rewrite the local record with the final values.
  int64_t end_position = run.out->Position();
  run.out->Seek(entry->RelativeOffset, soFromBeginning);
  WriteLocalRecord(run, *entry);
  run.out->Seek(end_position, soFromBeginning);
  if (run.spanning) {
    run.staging->SetPosition(0);
    std::vector<uint8_t> piece(kCopyPiece);
    for (;;) {
      int64_t got = run.staging->Read(piece.data(), static_cast<int64_t>(piece.size()));
      if (got <= 0) break;
      WriteOut(run, piece.data(), static_cast<size_t>(got));
      run.done_bytes += got;
    }
    run.staging.reset();
    ::unlink(run.staging_name.c_str());
    run.staging_name.clear();
  }

  if (OnEndZip) OnEndZip(this, line, entry->UncompressedSize, entry->CompressedSize, run.out->Position());
  run.end.TotalEntries++;
  run.end.EntriesOnThisDisk++;
  run.by_name->Add(entry.get());
  run.physical->Add(entry.release());
  if (!stream_input_) run.dispose.push_back(line);
  return true;
}

void TZipWriter::WriteLocalRecord(Run& run, const TZipHeaderInfo& entry) {
  bool utf8 = false;
  std::string name = EncodeStoredName(entry.FullName(), &utf8);
  uint16_t flags = entry.BitFlag | (utf8 ? kFlagUtf8Name : 0);
  namespace f = local_header;
  std::vector<uint8_t> record(f::kSize + name.size());
  uint8_t* r = record.data();
  PutU32(r, f::kSignature);
  PutU16(r + f::kVersionNeeded, entry.VersionNeeded);
  PutU16(r + f::kBitFlag, flags);
  PutU16(r + f::kCompressionMethod, entry.CompressionMethod);
  PutU32(r + f::kLastModTime, entry.LastModFileTimeDate);
  PutU32(r + f::kCrc32, entry.CRC32);
  PutU32(r + f::kCompressedSize, entry.CompressedSize);
  PutU32(r + f::kUncompressedSize, entry.UncompressedSize);
  PutU16(r + f::kFileNameLength, static_cast<uint16_t>(name.size()));
  PutU16(r + f::kExtraFieldLength, entry.ExtraFieldLength);
  std::memcpy(r + f::kSize, name.data(), name.size());
  run.out->WriteBuffer(record.data(), static_cast<int64_t>(record.size()));
}

// --- Central directory and end record ------------------------------------------------

void TZipWriter::WriteCentralDirectory(Run& run) {
  run.end.CentralOffset = static_cast<uint32_t>(run.out->Position());
  run.end.NumberOfStartDisk = static_cast<uint16_t>(run.volume);
  run.central_on_this_volume = 0;
  int64_t central_bytes = 0;
  bool first = true;
  for (TZipHeaderInfo* entry : *run.physical) {
    bool utf8 = false;
    std::string name = EncodeStoredName(entry->FullName(), &utf8);
    std::string comment = entry->FileComment().value_or("");
    uint16_t comment_length = entry->FileCommentLength > 0 ? static_cast<uint16_t>(comment.size()) : 0;
    // A UTF-8 name also goes into a Unicode path field, for readers that
    // know that field but not the flag.
    std::vector<uint8_t> extra;
    if (utf8) {
      namespace u = unicode_path_extra;
      extra.resize(u::kName + name.size());
      PutU16(&extra[extra_field::kId], u::kId);
      PutU16(&extra[extra_field::kDataSize], static_cast<uint16_t>(u::kMinDataSize + name.size()));
      extra[u::kVersion] = u::kCurrentVersion;
      PutU32(&extra[u::kNameCrc32], Crc32(reinterpret_cast<const uint8_t*>(name.data()), name.size()));
      std::memcpy(&extra[u::kName], name.data(), name.size());
    }
    namespace f = central_header;
    std::vector<uint8_t> record(f::kSize + name.size() + extra.size() + comment_length);
    int volume_before = run.volume;
    EnsureRoom(run, static_cast<int64_t>(record.size()));
    if (first && run.volume != volume_before) {
      run.end.CentralOffset = 0;
      run.end.NumberOfStartDisk = static_cast<uint16_t>(run.volume);
    }
    if (run.volume != volume_before) run.central_on_this_volume = 0;
    first = false;
    if (utf8 && (entry->VersionMadeBy >> 8) == 0) {
      // A kept entry of an MS-DOS host whose name is now stored as UTF-8:
      // see AddEntry; its DOS attributes give the mode.
      entry->VersionMadeBy = static_cast<uint16_t>((3 << 8) | (entry->VersionMadeBy & 0xFF));
      if ((entry->ExternalAttributes >> 16) == 0) {
        uint32_t mode = (entry->ExternalAttributes & 0x10) ? (S_IFDIR | 0755)
                        : (entry->ExternalAttributes & 1)  ? (S_IFREG | 0444)
                                                           : (S_IFREG | 0644);
        entry->ExternalAttributes |= mode << 16;
      }
    }
    uint8_t* r = record.data();
    PutU32(r, f::kSignature);
    PutU16(r + f::kVersionMadeBy, entry->VersionMadeBy);
    PutU16(r + f::kVersionNeeded, entry->VersionNeeded);
    PutU16(r + f::kBitFlag, entry->BitFlag | (utf8 ? kFlagUtf8Name : 0));
    PutU16(r + f::kCompressionMethod, entry->CompressionMethod);
    PutU32(r + f::kLastModTime, entry->LastModFileTimeDate);
    PutU32(r + f::kCrc32, entry->CRC32);
    PutU32(r + f::kCompressedSize, entry->CompressedSize);
    PutU32(r + f::kUncompressedSize, entry->UncompressedSize);
    PutU16(r + f::kFileNameLength, static_cast<uint16_t>(name.size()));
    PutU16(r + f::kExtraFieldLength, static_cast<uint16_t>(extra.size()));
    PutU16(r + f::kFileCommentLength, comment_length);
    PutU16(r + f::kDiskNumberStart, entry->DiskNumberStart);
    PutU16(r + f::kInternalAttributes, entry->InternalAttributes);
    PutU32(r + f::kExternalAttributes, entry->ExternalAttributes);
    PutU32(r + f::kRelativeOffset, entry->RelativeOffset);
    uint8_t* variable = r + f::kSize;
    std::memcpy(variable, name.data(), name.size());
    if (!extra.empty()) std::memcpy(variable + name.size(), extra.data(), extra.size());
    if (comment_length > 0) std::memcpy(variable + name.size() + extra.size(), comment.data(), comment_length);
    WriteOut(run, record.data(), record.size());
    central_bytes += static_cast<int64_t>(record.size());
    run.central_on_this_volume++;
  }
  run.end.CentralSize = static_cast<uint32_t>(central_bytes);

  std::string comment = run.end.ZipComment.value_or("");
  if (run.end.ZipCommentLength == 0) comment.clear();
  EnsureRoom(run, end_record::kSize + static_cast<int64_t>(comment.size()));
  run.end.NumberOfThisDisk = static_cast<uint16_t>(run.volume);
  if (run.spanning) run.end.EntriesOnThisDisk = static_cast<uint16_t>(run.central_on_this_volume);
  run.end.ZipCommentLength = static_cast<uint16_t>(comment.size());
  namespace e = end_record;
  uint8_t record[e::kSize];
  PutU32(record, e::kSignature);
  PutU16(record + e::kNumberOfThisDisk, run.end.NumberOfThisDisk);
  PutU16(record + e::kNumberOfStartDisk, run.end.NumberOfStartDisk);
  PutU16(record + e::kEntriesOnThisDisk, run.end.EntriesOnThisDisk);
  PutU16(record + e::kTotalEntries, run.end.TotalEntries);
  PutU32(record + e::kCentralSize, run.end.CentralSize);
  PutU32(record + e::kCentralOffset, run.end.CentralOffset);
  PutU16(record + e::kZipCommentLength, run.end.ZipCommentLength);
  WriteOut(run, record, sizeof record);
  if (!comment.empty()) WriteOut(run, reinterpret_cast<const uint8_t*>(comment.data()), comment.size());
}

// --- Spanning -------------------------------------------------------------------------

void TZipWriter::EnsureRoom(Run& run, int64_t bytes) {
  if (!run.spanning) return;
  if (run.out->Position() + bytes > run.budget && run.out->Position() > 0) NextVolume(run);
}

void TZipWriter::WriteOut(Run& run, const uint8_t* data, size_t n) {
  while (n > 0) {
    size_t piece = n;
    if (run.spanning) {
      int64_t room = run.budget - run.out->Position();
      if (room <= 0) {
        NextVolume(run);
        continue;
      }
      piece = static_cast<size_t>(std::min<int64_t>(room, static_cast<int64_t>(n)));
    }
    run.out->WriteBuffer(data, static_cast<int64_t>(piece));
    data += piece;
    n -= piece;
  }
}

void TZipWriter::NextVolume(Run& run) {
  run.out->Flush();
  run.out.reset();
  run.out_file.reset();
  std::string name;
  if (MultiZipInfo.MultiMode == TMultiMode::mmBlocks) {
    name = VolumeName(zip_name_, run.volume + 2);
    run.budget = MultiZipInfo.BlockSize;
  } else {
    name = zip_name_;
    if (OnGetNextDisk) OnGetNextDisk(this, run.volume + 2, name);
    if (name.empty()) throw EUserCanceled(kMsgZipCanceled);
    run.budget = std::min<int64_t>(DiskFreeSpace(name), 0xFFFFFFFFll);
    if (run.budget <= 0) run.budget = MultiZipInfo.BlockSize;
  }
  run.volume++;
  run.out_file = std::make_unique<TFileStream>(name, fmCreate);
  run.out = std::make_unique<TS_BufferStream>(*run.out_file);
  if (std::find(run.volume_names.begin(), run.volume_names.end(), name) == run.volume_names.end())
    run.volume_names.push_back(name);
}

// --- Finishing ---------------------------------------------------------------------------

void TZipWriter::Finish(Run& run) {
  run.out->Flush();
  if (run.out_file) {
    auto* file = dynamic_cast<TFileStream*>(run.out_file.get());
    if (file != nullptr && ::fsync(file->Handle()) != 0 && errno != EINVAL)
      throw EFileError("Cannot write the archive: " + std::string(std::strerror(errno)));
  }
  run.out.reset();
  run.out_file.reset();

  if (!run.out_name.empty() && !run.final_name.empty()) ::chmod(run.out_name.c_str(), run.final_mode);
  if (sfx_mode_) {
    ReplaceFile(run.out_name, run.final_name);
    run.out_name.clear();
    return;  // the writer's own archive and directory stay as they were
  }

  std::string final_name = zip_name_;
  if (run.update) {
    CloseArchive();
    if (run.out_memory) {
      delete caller_stream_;
      caller_stream_ = run.out_memory.release();
    } else if (!run.spanning) {
      ReplaceFile(run.out_name, run.final_name);
    }
    run.out_name.clear();
  } else if (!run.final_name.empty()) {
    ReplaceFile(run.out_name, run.final_name);
    run.out_name.clear();
  }
  if (run.spanning && MultiZipInfo.MultiMode == TMultiMode::mmBlocks) {
    if (run.volume_names.size() == 1) {
      if (::rename(run.volume_names[0].c_str(), zip_name_.c_str()) != 0)
        throw EFileError("Cannot rename " + run.volume_names[0] + " to " + zip_name_);
    } else {
      final_name = run.volume_names.back();
    }
  }
  run.volume_names.clear();
  run.out_name.clear();

  if (Dispose) {
    for (const std::string& name : run.dispose) {
      bool skip = false;
      if (OnDisposeFile) OnDisposeFile(this, name, skip);
      if (!skip) ::unlink(name.c_str());
    }
  }

  // The new directory becomes the loaded one.
  CloseArchive();
  view_.reset();
  master_ = std::move(run.physical);
  end_ = run.end;
  end_.Modified = false;
  rebuilt_ = false;
  volumes_ = end_.NumberOfThisDisk + 1;
  current_volume_ = end_.NumberOfThisDisk;
  multi_mode_ = end_.NumberOfThisDisk != 0 ? TMultiMode::mmBlocks : TMultiMode::mmNone;
  zip_name_ = final_name;
  struct stat st;
  archive_date_ = caller_stream_ != nullptr ? std::time(nullptr)
                                            : (::stat(zip_name_.c_str(), &st) == 0 ? st.st_mtime : 0);
}

}  // namespace corvid::zip
