// TZipWriter: creates archives and adds entries to existing ones; derives
// from TZipReader for the archive name, directory, password, events and the
// reading machinery an update needs.
//
// An archive is written to a temporary file beside it (a memory stream for a
// caller's stream) and renamed into place only when it has succeeded, so a
// failed or killed run leaves the old archive untouched and a new one never
// exists torn. An update through a symbolic link replaces the link's target
// and keeps its permissions. Writers of file archives in one folder take
// turns (a lock on the folder), across processes.
// One writer is used by one thread at a time; Zip is not re-entrant.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "zip/zip_reader.h"

namespace corvid::zip {

class TDeflater;

enum class TZipAction { zaUpdate, zaReplace, zaFreshen };

struct TMultiZipInfo {
  uint32_t BlockSize = 1457600;
  uint32_t FirstBlockSize = 1457600;
  TMultiMode MultiMode = TMultiMode::mmNone;
  bool CheckDiskLabels = true;
  bool WriteDiskLabels = true;
};

class TZipWriter : public TZipReader {
 public:
  TZipWriter();
  ~TZipWriter() override;

  // --- Published properties -------------------------------------------
  int PackLevel() const { return pack_level_; }
  void SetPackLevel(int level) { pack_level_ = level < 0 ? 0 : level > 9 ? 9 : level; }
  bool Recurse = false;
  bool Dispose = false;
  bool StorePaths() const { return store_paths_; }
  void SetStorePaths(bool on);      // off also clears StoreVolumes and RelativePaths
  bool RelativePaths() const { return relative_paths_; }
  void SetRelativePaths(bool on);   // on also sets StorePaths and Recurse
  bool StoreVolumes() const { return store_volumes_; }
  void SetStoreVolumes(bool on);    // on also sets StorePaths
  TZipAction ZipAction = TZipAction::zaUpdate;
  TMultiZipInfo MultiZipInfo;
  bool Store83Names = false;
  std::string TempPath;
  bool SkipIfArchiveBitNotSet = false;
  bool ResetArchiveBitOnZip = false;
  std::vector<std::string> ExcludeList;
  std::vector<std::string> NoCompressList;

  // A name ending in "?" asks the host through OnChooseZipFile; cancelling
  // raises EUserCanceled "User canceled setting zip file name.".
  void SetZipName(const std::string& name) override;

  // --- Operations -------------------------------------------------------
  // Adds the whole content of `stream` (from position 0) as entry `name`,
  // replacing an entry of that name; returns the entries added (0 or 1).
  int ZipFromStream(TStream& stream, const std::string& name);
  // Adds or updates the files FilesList names; returns the entries added or
  // replaced.
  int Zip();
  // Removes the entries whose full names match a line of FilesList (a
  // pattern, or the name itself; '/' or '\\' between folders); returns the
  // number removed. OnDeleteEntry may keep one. Raises EZipError when there
  // is no archive.
  int Delete();
  // Writes ZipName with the extension ".exe": the stub file's bytes followed
  // by every entry, offsets counted from the start of the new file. The
  // archive itself is left as it was.
  void MakeSFX(const std::string& stub_file);
  // The self-extracting name MakeSFX writes for `zip_name`.
  static std::string SfxName(const std::string& zip_name);

  // --- Events -------------------------------------------------------------
  std::function<void(TZipWriter*, int num_files, int64_t total_bytes, TEndCentral& end, bool& stop_now)>
      OnStartZipInfo;
  std::function<void(TZipWriter*, const std::string& fname, TZipHeaderInfo& header, bool& skip)> OnStartZip;
  std::function<void(TZipWriter*, const std::string& fname, uint32_t uncompressed, uint32_t compressed,
                     int64_t current_zip_size)>
      OnEndZip;
  std::function<void(TZipWriter*, const std::string& fname)> OnNoSuchFile;
  // A source file changed while it was read (it grew, shrank or was written
  // to): its entry holds what was read, which may be torn.
  std::function<void(TZipWriter*, const std::string& fname)> OnFileChanged;
  std::function<void(TZipWriter*, const std::string& fname, bool& skip)> OnDisposeFile;
  std::function<void(TZipWriter*, const std::string& fname, bool& skip)> OnDeleteEntry;
  std::function<void(TZipWriter*, int file_count)> OnZipComplete;
  // Host hook for the "?" archive name: a file chooser starting at `name`.
  std::function<bool(std::string& name)> OnChooseZipFile;

 private:
  struct Run;
  friend class WriterInput;
  friend class WriterOutput;

  int DoZip();
  void ExpandFilesList(Run& run);
  // Raises EZipError, before anything is written, when the entries would
  // not fit in one directory.
  void RefuseTooManyEntries();
  void CarryOver(Run& run);
  bool AddEntry(Run& run, const std::string& line);
  void KeepEntry(Run& run, const TZipHeaderInfo& old_entry);
  void WriteCentralDirectory(Run& run);
  void Finish(Run& run);
  std::string StoredDirectory(const std::string& source) const;
  bool MatchesList(const std::vector<std::string>& patterns, const std::string& name) const;
  void WriteLocalRecord(Run& run, const TZipHeaderInfo& entry);
  // Spanning: whether `bytes` fit on the current volume, else moves on.
  void EnsureRoom(Run& run, int64_t bytes);
  void NextVolume(Run& run);
  void WriteOut(Run& run, const uint8_t* data, size_t n);  // volume-aware raw write

  int pack_level_ = 6;
  bool store_paths_ = false;
  bool relative_paths_ = false;
  bool store_volumes_ = false;
  bool stream_input_ = false;
  TStream* input_stream_ = nullptr;
  bool sfx_mode_ = false;
  bool delete_mode_ = false;
  std::string sfx_stub_;
  Run* run_ = nullptr;
};

}  // namespace corvid::zip
