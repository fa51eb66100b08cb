// TZipReader: opens an archive held in a file or a caller's stream, loads its
// directory, answers questions about the entries, checks passwords and
// extracts entries to files, to a caller's stream or to memory.
//
// One reader is used by one thread at a time, except Cancel(), which any
// thread may call. Fatal problems raise the engine's named exceptions
// (zip/errors.h); per-entry problems go through the events and the returned
// counts.
//
// Extraction to files never writes outside the target folder: stored paths
// lose drive prefixes, leading separators and "." / ".." components, and no
// symbolic link met on the way is followed. An entry is written to a file beside its
// target and renamed over it only once its CRC matched, so a failing entry
// never costs the file already there. Control characters in stored names
// become '_' on disk. Cancel and a target that refuses writes end the run
// (EUserCanceled, EFileError) whatever the entry's method.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "zip/aes_cipher.h"
#include "zip/object_list.h"
#include "zip/zip_cipher.h"
#include "zip/zip_header.h"

namespace corvid::zip {

class TStream;
class TS_BufferStream;
class PartFile;
struct DecodeWorkspace;
enum class DecodeOutcome;

enum class TUZOverwriteMode { Prompt, Always, Never, ifNewer, ifOlder };
enum class TIncompleteZipMode { izAssumeMulti, izAssumeBad };
enum class TMultiMode { mmNone, mmSpan, mmBlocks };
// skipBadAuthentication: an AES entry's data does not match its
// authentication code (changed after it was encrypted).
enum class TSkipReason {
  skipBadPassword = 0,
  skipNoOverwrite = 1,
  skipOpenFailed = 2,
  skipCreateFailed = 3,
  skipBadAuthentication = 4
};

// Answers of the message boxes the engine may show (Yes/No, OK/Cancel).
enum class TBoxAnswer { Yes, No, Ok, Cancel };
enum class TBoxButtons { Ok, YesNo, OkCancel };

class TZipReader {
 public:
  TZipReader();
  virtual ~TZipReader();
  TZipReader(const TZipReader&) = delete;
  TZipReader& operator=(const TZipReader&) = delete;

  // --- Published properties -------------------------------------------
  int ThisVersion() const { return 218; }
  void SetThisVersion(int) {}  // any value gives 218

  const std::string& ZipName() const { return zip_name_; }
  // A different name closes the archive and discards its directory.
  virtual void SetZipName(const std::string& name);

  // Target folder of UnZip (a file-system path; empty means the current
  // directory). "?" asks the host through OnChooseDirectory.
  const std::string& DestDir() const { return dest_dir_; }
  void SetDestDir(const std::string& dir);
  // Prefix removed from stored paths on extraction; kept with a trailing
  // backslash, as the engine's names are.
  const std::string& RootDir() const { return root_dir_; }
  void SetRootDir(const std::string& dir);

  TZipSortMode SortMode() const { return sort_mode_; }
  void SetSortMode(TZipSortMode mode);

  bool RecreateDirs = false;
  TUZOverwriteMode OverwriteMode = TUZOverwriteMode::Prompt;
  std::vector<std::string> FilesList;  // patterns of entries to extract
  bool DoAll = false;
  TIncompleteZipMode IncompleteZipMode = TIncompleteZipMode::izAssumeMulti;
  bool KeepZipOpen = false;
  bool DoProcessMessages = true;
  bool RetainAttributes = true;
  bool ReplaceReadOnly = false;

  std::string Password;

  // The archive as a caller's stream. The reader takes the stream over: it
  // is released when another is set or the reader is destroyed. Setting
  // nullptr detaches the held stream without releasing it (the caller owns
  // it again). Setting a stream also sets KeepZipOpen.
  TStream* ArchiveStream() const { return caller_stream_; }
  void SetArchiveStream(TStream* stream);

  // --- Directory --------------------------------------------------------
  int Count() const;
  // Indexed properties, in SortMode order. An index outside 0..Count()-1
  // raises EListError "Index %d is out of range".
  std::string FullName(int i) const;
  std::string FileName(int i) const;
  bool IsEncrypted(int i) const;
  uint32_t CompressedSize(int i) const;
  uint32_t UncompressedSize(int i) const;
  std::time_t DateTime(int i) const;
  const TZipHeaderInfo& Entry(int i) const;
  std::string FileCommentOf(int i);
  void SetFileCommentOf(int i, const std::string& comment);
  std::string ZipComment();
  void SetZipComment(const std::string& comment);

  // --- Operations -------------------------------------------------------
  // Opens the archive and loads its directory. Raises EIncompleteZip,
  // EBadZipFile, EUserCanceled, EFileError.
  void ReadZip();
  // Extracts the selected entries (FilesList, or every one with DoAll) to
  // files below DestDir; returns the number written.
  int UnZip();
  // Extracts every entry whose full name matches `name` (a pattern, or the
  // name itself) into `stream`; returns the number written.
  int UnZipToStream(TStream& stream, const std::string& name);
  // Extracts into `buffer` (resized to the entry's data; emptied when the
  // entry fails), or into a caller's fixed block of `size` bytes.
  int UnZipToBuffer(std::vector<uint8_t>& buffer, const std::string& name);
  int UnZipToBuffer(uint8_t* buffer, uint32_t size, const std::string& name);
  // Decodes every entry (all with DoAll, else those FilesList selects) and
  // checks its CRC without storing the bytes; returns the number that pass.
  int TestZip();

  // True when entry i decrypts with Password and passes its CRC. The answer
  // is kept until ResetPasswordCheck(i).
  bool CheckPassword(int i);
  void ResetPasswordCheck(int i);

  // Asks a running operation to stop at its next check; any thread.
  void Cancel() { cancel_ = true; }

  // --- Events -------------------------------------------------------------
  std::function<void(TZipReader*, int num_files, int64_t total_bytes, bool& stop_now)> OnStartUnZipInfo;
  std::function<void(TZipReader*, int percent)> OnFilePercentDone;
  std::function<void(TZipReader*, int percent)> OnTotalPercentDone;
  std::function<void(TZipReader*, int file_index, std::string& fname, bool& skip)> OnStartUnZip;
  std::function<void(TZipReader*, int file_index, const std::string& fname)> OnEndUnZip;
  std::function<void(TZipReader*, bool& overwrite_it, int file_index, std::string& fname)> OnPromptForOverwrite;
  std::function<void(TZipReader*, TSkipReason reason, const std::string& fname, int file_index)> OnSkippingFile;
  std::function<void(TZipReader*, int file_index, std::string& new_password)> OnBadPassword;
  std::function<void(TZipReader*, uint32_t calc_crc, uint32_t stored_crc, int file_index)> OnBadCRC;
  std::function<void(TZipReader*, TIncompleteZipMode& mode)> OnInCompleteZip;
  // Set to the default handler on construction (names the next block file).
  std::function<void(TZipReader*, int next_disk, std::string& fname)> OnGetNextDisk;
  std::function<void(TZipReader*, int file_count)> OnUnZipComplete;

  // --- Host hooks (what a desktop build does with windows) -----------------
  // Lets the host handle pending window messages during long work.
  std::function<void()> OnProcessMessages;
  // Shows a message box; without a hook, Yes/No boxes answer No and
  // OK/Cancel boxes answer Cancel.
  std::function<TBoxAnswer(const std::string& text, const std::string& caption, TBoxButtons)> OnMessageBox;
  // Lets the user choose a folder, starting at `dir`; false when cancelled.
  std::function<bool(std::string& dir)> OnChooseDirectory;

  // Multi-volume state of the loaded archive.
  TMultiMode MultiMode() const { return multi_mode_; }
  int NumberOfVolumes() const { return volumes_; }
  bool DirectoryRebuilt() const { return rebuilt_; }
  // What loading the directory had to repair, one line a problem in words a
  // user understands; empty when the archive was read as whole. A repaired
  // archive is damaged even when every entry recovered passes its CRC.
  const std::vector<std::string>& Repairs() const { return repairs_; }
  const TEndCentral& EndCentral() const { return end_; }

 protected:
  enum class RunMode { File, Stream, Buffer, PasswordTest, Test };

  // Opens the archive (held stream or ZipName) and loads the directory when
  // needed.
  void OpenArchive();
  void CloseArchive();
  void ClearDirectory();
  void LoadDirectory();
  void RecoveryScan();
  // Raises EBadZipFile when the data of two entries overlap.
  void RefuseOverlaps();
  bool AtZip64EndRecord();
  bool ReadCentralRecord(TZipHeaderInfo& entry);
  bool ReadLocalRecord(TZipHeaderInfo& entry);
  bool ReadNameAndExtra(TZipHeaderInfo& entry);
  // Switches to volume `number` (1-based) through OnGetNextDisk.
  void ChangeVolume(int number);
  void BuildSortedView();
  TSortedZip& View() const;
  TZipHeaderInfo& At(int i) const;
  TBoxAnswer MessageBox(const std::string& text, const std::string& caption, TBoxButtons buttons);
  void ProcessMessagesAndCheckCancel(const char* cancel_message);

  int RunExtraction(RunMode mode);
  // Extracts one entry; sets `retry` when a new password asks for another try.
  bool ExtractEntry(int index, const TZipHeaderInfo& entry, bool& retry);
  // The target of a file extraction, as safe components below DestDir.
  std::vector<std::string> TargetParts(const TZipHeaderInfo& entry) const;
  std::string TargetPath(const TZipHeaderInfo& entry) const;
  std::string TargetBase() const;  // DestDir, or the current directory

  // The steps of ExtractEntry, in order. An entry without a name stands for
  // a folder: made with RecreateDirs, never counted as written.
  void MakeFolderEntry(int index, const TZipHeaderInfo& entry);
  // Where the entry's data starts, by its local record's own lengths, and the
  // time stamp as stored there. False when no local record is at its offset.
  bool LocateData(const TZipHeaderInfo& entry, int64_t& data_position, uint32_t& stored_time);
  // The folders of a file target: below `base` (the target folder) part by
  // part and never through a link when `as_planned`, else (the host renamed
  // the target) as named.
  bool MakeTargetFolders(const TZipHeaderInfo& entry, const std::string& base, const std::string& target,
                         bool as_planned) const;
  void ReportUnknownMethod(const TZipHeaderInfo& entry);
  // Reads the encryption header at the archive's position and finds a
  // password that opens it: Password, else what OnBadPassword offers, leaving
  // the cipher ready for the data. False when none did (the entry is skipped).
  bool UnlockEntry(int index, const TZipHeaderInfo& entry, uint32_t stored_time);
  bool UnlockAesEntry(int index, const TZipHeaderInfo& entry);
  // Applies OverwriteMode (asking the host or the user under Prompt) to an
  // existing target last written at `file_time`.
  bool MayOverwrite(int index, const TZipHeaderInfo& entry, std::string& target, std::time_t file_time);
  // Creates the part file of a file target, after the overwrite policy; on
  // replacing a regular file, `kept_mode` receives its permissions. False
  // when the entry is skipped (reported).
  bool OpenFileTarget(int index, const TZipHeaderInfo& entry, std::string& target, PartFile& file,
                      mode_t& kept_mode);
  // Reports a target that cannot be created, with errno set to `error`.
  bool SkipCreate(int index, const std::string& target, int error);
  // Decodes the entry's data into `sink` (or the run's memory target) and
  // gives the CRC of what came out.
  DecodeOutcome DecodeData(const TZipHeaderInfo& entry, int64_t data_position, TStream* sink, uint32_t& crc);
  // The verdict on an entry that failed its CRC: a new password to retry
  // with, or the skip / bad CRC event.
  void ReportFailedEntry(int index, const TZipHeaderInfo& entry, uint32_t crc, bool& retry);
  bool IsMultiVolume() const { return multi_mode_ != TMultiMode::mmNone; }


  std::string zip_name_;
  std::string dest_dir_;
  std::string root_dir_;
  TZipSortMode sort_mode_ = TZipSortMode::ByNone;

  TStream* caller_stream_ = nullptr;            // owned while held
  std::unique_ptr<TStream> archive_file_;       // the open archive file
  std::unique_ptr<TS_BufferStream> archive_;    // buffered view of either
  std::unique_ptr<TSortedZip> master_;          // physical order, owning
  std::unique_ptr<TSortedZip> view_;            // SortMode order, or none
  TEndCentral end_;
  std::time_t archive_date_ = 0;
  bool rebuilt_ = false;
  std::vector<std::string> repairs_;
  int current_volume_ = 0;
  int volumes_ = 0;
  TMultiMode multi_mode_ = TMultiMode::mmNone;
  std::atomic<bool> cancel_{false};
  TZipCipher cipher_;
  std::unique_ptr<TAesCipher> aes_;             // made for the first AES entry
  bool authentic_ = true;                       // the last AES entry's code matched

  // The run in progress.
  RunMode run_mode_ = RunMode::File;
  TStream* target_stream_ = nullptr;
  std::vector<uint8_t>* target_vector_ = nullptr;
  uint8_t* target_block_ = nullptr;
  uint32_t target_block_size_ = 0;
  uint32_t target_block_used_ = 0;
  int64_t run_total_bytes_ = 0;
  int64_t run_done_bytes_ = 0;
  std::unique_ptr<DecodeWorkspace> workspace_;

  class RunGuard;
  friend class EntryInput;
  friend class EntryOutput;
};

}  // namespace corvid::zip
