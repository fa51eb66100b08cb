#include "compress/compress_message.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <system_error>

#include "base/log.h"
#include "compress/attachment_stream.h"
#include "compress/attachments.h"
#include "compress/recipient_rules.h"
#include "platform/mapi/error_text.h"
#include "platform/mapi/mapi_procedures.h"
#include "platform/win/locale.h"
#include "platform/win/resources.h"
#include "settings/catalogue.h"
#include "ui/prompts.h"
#include "zip/errors.h"
#include "zip/temp_files.h"
#include "zip/text.h"
#include "zip/zip_writer.h"

namespace corvid::compress {

using namespace mapi;

namespace {

constexpr char kFallbackZipName[] = "attachments.zip";
constexpr char kStubResource[] = "SFXBIN";
constexpr int kConfirmTimeoutMs = 30000;
constexpr char kWorkspaceMarker[] = ".corvid-workspace";

// ---------------------------------------------------------------------------
// Small text helpers.

size_t CodePointCount(std::string_view text) {
  size_t count = 0;
  for (unsigned char c : text) count += (c & 0xC0) != 0x80 ? 1 : 0;
  return count;
}

std::string AsciiUpper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

// The name without any folder part: what the archive stores as its entry
// name, and what may safely name a file inside a temporary folder.
std::string LastComponent(const std::string& name) {
  const size_t separator = name.find_last_of("/\\");
  return separator == std::string::npos ? name : name.substr(separator + 1);
}

// "report.doc" -> "report.zip", "notes" -> "notes.zip"; only the last
// component's dot counts.
std::string ReplaceExtension(const std::string& name, const std::string& extension) {
  const size_t separator = name.find_last_of("/\\");
  const size_t dot = name.rfind('.');
  if (dot == std::string::npos || (separator != std::string::npos && dot < separator)) return name + extension;
  return name.substr(0, dot) + extension;
}

bool HasExtension(const std::string& name) {
  return ReplaceExtension(name, "") != name;
}

// A file name for inside our own temporary folder: an attachment or a typed
// name may carry folders ("../x"), which must not lead out of it.
std::string SafeFileName(const std::string& name) {
  std::string base = LastComponent(name);
  if (base.empty() || base == "." || base == "..") base = "attachments";
  return base;
}

// "%10.0n": the number with the locale's thousands separator, right-aligned
// in 10 characters.
std::string FormatKilobytes(int64_t value) {
  const bool negative = value < 0;
  std::string digits = std::to_string(negative ? -value : value);
  const std::string separator = win::ThousandSeparator();
  std::string grouped;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) grouped += separator;
    grouped += digits[i];
  }
  if (negative) grouped.insert(0, "-");
  const size_t width = CodePointCount(grouped);
  if (width < 10) grouped.insert(0, 10 - width, ' ');
  return grouped;
}

std::string ConfirmationText(int64_t before_kb, int64_t after_kb, int64_t ratio) {
  char ratio_text[32];
  std::snprintf(ratio_text, sizeof ratio_text, "%3lld", static_cast<long long>(ratio));
  return "This message contains attachments that can be compressed by Corvid.\r\n\r\n"
         "Attachments size before compression:\r\n   " +
         FormatKilobytes(before_kb) +
         " kB\r\n"
         "Attachments size after compression:\r\n   " +
         FormatKilobytes(after_kb) +
         " kB\r\n"
         "Compression ratio: " +
         ratio_text +
         " %.\r\n\r\n"
         "Would you like Corvid to replace the original\r\n"
         "attachments(s) with ZIP file(s)?";
}

// 32-bit wrap-around sums, as the counters they feed keep them.
int32_t Add32(int32_t a, int64_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

// ---------------------------------------------------------------------------
// Ownership of what one call makes.

struct TArchive {
  std::unique_ptr<zip::TZipWriter> writer;
  // The names the archive stores, to keep one attachment from replacing
  // another's entry.
  std::vector<std::string> entry_names;
};

// Every archive, stub and folder of the call; the destructor removes them,
// so they go on every road, an exception's included.
class TWorkspace {
 public:
  TWorkspace() = default;
  TWorkspace(const TWorkspace&) = delete;
  TWorkspace& operator=(const TWorkspace&) = delete;
  ~TWorkspace() {
    // Writers first: they may hold their archives open.
    archives.clear();
    std::error_code ignored;
    for (const std::string& file : delete_files) std::filesystem::remove(file, ignored);
    // The folders are ours alone (made fresh, owner only): whatever a failed
    // writer left in them goes too.
    for (const std::string& folder : remove_directories) std::filesystem::remove_all(folder, ignored);
    for (const int fd : locks_) ::close(fd);
  }

  // A fresh folder, removed at the end. It holds a locked marker file while
  // this process lives, so that a later start can tell a folder left by a
  // killed process (SweepAbandonedWorkspaces) from one in use.
  std::string NewFolder() {
    std::string folder = zip::CreateTempDirectory();
    remove_directories.insert(folder);
    const int fd = ::open((folder + "/" + kWorkspaceMarker).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0) {
      ::flock(fd, LOCK_EX);
      locks_.push_back(fd);
    }
    return folder;
  }

  std::vector<TArchive> archives;
  std::set<std::string> delete_files;
  std::set<std::string> remove_directories;

 private:
  std::vector<int> locks_;
};

struct TSettings {
  std::vector<std::string> skip_list;
  int32_t min_file_size_kb = 1;
  bool single_zip = true;
  std::string default_zip_name;
  bool prompt_zip_name = false;
  std::string password;
  bool use_password = false;
  int32_t level = 9;
  bool create_sfx = false;
  int32_t min_compression = 5;
  bool prompt_compress = false;
};

// Read in the order the settings are listed, each created when missing.
TSettings ReadSettings(settings::TOptionsContainer& options) {
  TSettings s;
  s.skip_list = SplitSkipList(settings::Read(options, settings::kSkipFiles));
  s.min_file_size_kb = settings::Read(options, settings::kMinFileSize);
  s.single_zip = settings::Read(options, settings::kMakeSingleZIP);
  s.default_zip_name = settings::Read(options, settings::kDefaultZIPName);
  s.prompt_zip_name = settings::Read(options, settings::kPromptZipName);
  s.password = settings::Read(options, settings::kCompressionPassword);
  s.use_password = settings::Read(options, settings::kUsePassword);
  s.level = settings::Read(options, settings::kCompressionLevel);
  s.create_sfx = settings::Read(options, settings::kCreateSFX);
  s.min_compression = settings::Read(options, settings::kMinCompression);
  s.prompt_compress = settings::Read(options, settings::kPromptCompress);
  if (s.default_zip_name.empty()) s.default_zip_name = kFallbackZipName;
  if (!HasExtension(s.default_zip_name)) s.default_zip_name += ".zip";
  return s;
}

bool PassesSkipItems(const std::string& file_name, const std::vector<std::string>& items) {
  for (const std::string& item : items) {
    if (item.empty()) continue;
    if (MatchMask(file_name, NormalizeFileMask(item), true)) return false;
  }
  return true;
}

// What one call tells the log and its caller. `protect` is set once the
// settings ask for a password: from then on, a road that leaves the
// attachments unprotected must stop the send.
struct TCallReport {
  std::string subject;
  bool protect = false;
  std::vector<std::string> kept;  // why each attachment stayed as it was

  void Line(const std::string& text) const { log::Line("sending \"" + subject + "\": " + text); }
  void Notice(const std::string& text) const { log::Notice("sending \"" + subject + "\": " + text); }
  std::string Kept() const {
    std::string out;
    for (const std::string& why : kept) out += (out.empty() ? "" : "; ") + why;
    return out;
  }
};

std::string SubjectOf(IMessage* message) {
  LPSPropValue raw = nullptr;
  if (FAILED(Mapi().HrGetOneProp(message, PR_SUBJECT, &raw)) || raw == nullptr) return "";
  std::unique_ptr<void, TBufferFree> owned(raw);
  if (PROP_TYPE(raw->ulPropTag) != PT_STRING8 || raw->Value.lpszA == nullptr) return "";
  return raw->Value.lpszA;
}

// A failure of the pipeline that has its own words for the user.
class TPipelineError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Whether the message's class lets its attachments be packed: meeting
// requests and replies are the calendar's business, and a class that cannot
// be read leaves the message alone.
bool MessageClassAllowsPacking(IMessage* message, TCallReport& report) {
  LPSPropValue raw_class = nullptr;
  if (FAILED(Mapi().HrGetOneProp(message, PR_MESSAGE_CLASS, &raw_class)) || raw_class == nullptr) {
    report.Notice("attachments left as they were: the message class cannot be read");
    return false;
  }
  std::unique_ptr<void, TBufferFree> message_class(raw_class);
  if (PROP_TYPE(raw_class->ulPropTag) != PT_STRING8 || raw_class->Value.lpszA == nullptr) {
    report.Notice("attachments left as they were: the message class cannot be read");
    return false;
  }
  if (AsciiUpper(raw_class->Value.lpszA).find("SCHEDULE") != std::string::npos) {
    report.Line("a meeting message (" + std::string(raw_class->Value.lpszA) + "): its attachments are not packed");
    return false;
  }
  return true;
}

// An attachment admitted for packing.
struct TCandidate {
  std::string name;        // as the message names it
  std::string entry_name;  // as the archive stores it
  ULONG number = 0;
  TRef<IStream> stream;
  int32_t counted = 0;  // its size as the counters and thresholds see it
};

// The size a stream reports, in the counters' 32-bit wrap-around. A size
// the store cannot tell (its temporary disk full, say) is a failure, not a
// guess: a guessed size could let a protected send pass the attachment by
// as too small to pack.
int32_t CountedSize(IStream* stream, const std::string& name) {
  STATSTG stat{};
  if (const HRESULT result = stream->Stat(&stat, STATFLAG_NONAME); FAILED(result)) {
    throw TPipelineError(name + " cannot be read: " + ErrorText(result));
  }
  return static_cast<int32_t>(static_cast<uint32_t>(stat.cbSize.QuadPart));
}

// One call's packing, in the steps Run takes them: admit and pack each
// attachment row, make the archives self-extracting, judge the saving, put
// the archives in place of the originals, count.
class TPackRun {
 public:
  // Reads the settings (each created when missing).
  TPackRun(IMessage* message, settings::TOptionsContainer& options, bool interactive, TCallReport& report,
           ULONG row_count)
      : message_(message),
        options_(options),
        interactive_(interactive),
        report_(report),
        row_count_(row_count),
        settings_(ReadSettings(options)) {
    report_.protect = settings_.use_password;
    if (settings_.create_sfx) stub_size_ = static_cast<int32_t>(win::ResourceSize(kStubResource, win::RT_RCDATA));
  }

  void PackRow(const SRow& row) {
    std::optional<TCandidate> candidate = Admit(row);
    if (!candidate) return;
    RequirePassword();
    Add(ArchiveFor(candidate->name), *candidate);
  }

  void MakeSelfExtracting() {
    if (!settings_.create_sfx || work_.archives.empty()) return;
    const std::string stub = work_.NewFolder() + "/sfxstub";
    if (!win::SaveResourceToFile(kStubResource, win::RT_RCDATA, stub)) {
      report_.Line("the self-extractor stub could not be written: the archives stay plain ZIP files");
      return;
    }
    work_.delete_files.insert(stub);
    for (TArchive& archive : work_.archives) {
      const std::string zip_name = archive.writer->ZipName();
      archive.writer->MakeSFX(stub);
      archive.writer->SetZipName(zip::TZipWriter::SfxName(zip_name));
      work_.delete_files.insert(archive.writer->ZipName());
    }
  }

  // Whether the archives save enough and, when the user is asked, the user
  // wants them; says why not.
  bool WorthReplacing() {
    archive_size_ = 0;
    for (const TArchive& archive : work_.archives) {
      archive_size_ = Add32(archive_size_, zip::FileSizeOf(archive.writer->ZipName()));
    }
    if (total_size_ <= 0 || archive_size_ <= 0) {
      if (!report_.kept.empty()) report_.Notice("attachments left as they were: " + report_.Kept());
      return false;
    }
    const int64_t ratio = (100 * (static_cast<int64_t>(total_size_) - archive_size_)) / total_size_;
    if (ratio <= settings_.min_compression) {
      report_.Notice("attachments left as they were: packing saves " + std::to_string(ratio) +
                     " %, not more than Compression\\MinCompression (" + std::to_string(settings_.min_compression) +
                     " %)");
      return false;
    }
    if (interactive_ && settings_.prompt_compress) {
      const int answer = ui::TimedMessageDlg(ConfirmationText(total_size_ / 1024, archive_size_ / 1024, ratio),
                                             ui::TMsgDlgType::mtConfirmation,
                                             {ui::TMsgDlgBtn::mbYes, ui::TMsgDlgBtn::mbNo}, 0, kConfirmTimeoutMs);
      if (answer != ui::mrYes) {
        report_.Notice("attachments left as they were: the replacement was declined");
        return false;
      }
    }
    return !work_.archives.empty();
  }

  // Every archive goes in completely before any original goes out; when
  // one fails, the ones made are taken out again and nothing is saved.
  void ReplaceAttachments() {
    std::vector<ULONG> created;
    for (const TArchive& archive : work_.archives) {
      zip::TFileStream file(archive.writer->ZipName(), zip::fmOpenRead | zip::fmShareDenyWrite);
      if (!AttachStream(message_, LastComponent(archive.writer->ZipName()), file, created)) {
        for (ULONG number : created) message_->DeleteAttach(number, 0, nullptr, 0);
        throw TPipelineError("the archive " + LastComponent(archive.writer->ZipName()) + " could not be attached");
      }
    }
    // A failed delete leaves that original beside its archive: nothing lost.
    for (ULONG number : replaced_) message_->DeleteAttach(number, 0, nullptr, 0);
    if (const HRESULT saved = message_->SaveChanges(KEEP_OPEN_READWRITE); FAILED(saved)) {
      throw TPipelineError("the message with its archives could not be saved: " + ErrorText(saved));
    }
  }

  // The counters and the log line of a message that was packed.
  void Record() {
    settings::Increment(options_, settings::kZipFilesSize, archive_size_);
    settings::Increment(options_, settings::kUnZippedFilesSize, total_size_);
    settings::Increment(options_, settings::kZipFilesCreated, static_cast<int32_t>(work_.archives.size()));
    std::string names;
    for (const TArchive& archive : work_.archives) {
      names += (names.empty() ? "" : ", ") + LastComponent(archive.writer->ZipName());
    }
    report_.Line("packed " + std::to_string(replaced_.size()) + " attachment(s) into " + names + " (" +
                 std::to_string(total_size_ / 1024) + " kB to " + std::to_string(archive_size_ / 1024) + " kB" +
                 (settings_.use_password ? ", encrypted" : "") + ")");
  }

 private:
  // The attachment of `row` when it is to be packed; otherwise nothing, and
  // the reason it stays (if it has a name to give) goes to the report.
  std::optional<TCandidate> Admit(const SRow& row) {
    const SPropValue* method = Column(row, PR_ATTACH_METHOD);
    const SPropValue* number = Column(row, PR_ATTACH_NUM);
    if (method == nullptr || number == nullptr || method->Value.l != ATTACH_BY_VALUE) return std::nullopt;
    const std::optional<std::string> name = AttachmentName(row);
    if (!name) return std::nullopt;
    if (!PassesSkipItems(*name, settings_.skip_list)) {
      report_.kept.push_back(*name + " matches Compression\\SkipFiles");
      return std::nullopt;
    }

    TCandidate candidate;
    candidate.name = *name;
    candidate.number = static_cast<ULONG>(number->Value.l);
    // One archive for all: a name already in it would replace that entry,
    // and the earlier attachment's data with it. This one stays unpacked.
    candidate.entry_name = LastComponent(*name);
    if (settings_.single_zip && !work_.archives.empty()) {
      const std::vector<std::string>& held = work_.archives.front().entry_names;
      if (std::any_of(held.begin(), held.end(),
                      [&](const std::string& other) { return zip::SameTextNoCase(other, candidate.entry_name); })) {
        report_.kept.push_back(*name + " has the name of another attachment");
        return std::nullopt;
      }
    }

    candidate.stream = OpenAttachmentData(message_, candidate.number);
    if (!candidate.stream) {
      report_.kept.push_back(*name + " cannot be read");
      return std::nullopt;
    }
    candidate.counted = CountedSize(candidate.stream.get(), candidate.name);
    if (!settings_.single_zip) candidate.counted = Add32(candidate.counted, stub_size_);
    if (static_cast<int64_t>(candidate.counted) < static_cast<int64_t>(settings_.min_file_size_kb) * 1024) {
      report_.kept.push_back(*name + " is smaller than Compression\\MinFileSize (" +
                             std::to_string(settings_.min_file_size_kb) + " kB)");
      return std::nullopt;
    }
    return candidate;
  }

  // A password was asked for: without one no archive is made at all, so
  // nothing can look protected that is not. Checked (and asked for) once.
  void RequirePassword() {
    if (!settings_.use_password || password_checked_) return;
    password_checked_ = true;
    if (settings_.password.empty() && interactive_) {
      std::string answer;
      if (ui::AskPassword("Compressing attachments...", "Please enter the password for the archive:", answer)) {
        settings_.password = answer;
      }
    }
    if (settings_.password.empty()) {
      throw TPipelineError(
          "Compression\\UsePassword is on but no usable password is stored (set one with: corvid config set "
          "Compression\\Password)");
    }
  }

  // The archive the attachment `name` goes into: the one for all, or a new
  // one of its own in a fresh folder.
  TArchive& ArchiveFor(const std::string& name) {
    if (settings_.single_zip && !work_.archives.empty()) return work_.archives.back();
    TArchive archive;
    archive.writer = std::make_unique<zip::TZipWriter>();
    const std::string folder = work_.NewFolder();
    zip::TZipWriter& writer = *archive.writer;
    writer.SetZipName(folder + "/" + ArchiveFileName(name));
    work_.delete_files.insert(writer.ZipName());
    if (settings_.use_password) writer.Password = settings_.password;
    writer.SetPackLevel(settings_.level);
    writer.MultiZipInfo.MultiMode = zip::TMultiMode::mmNone;
    // An update of the archive is written beside it, not in the shared
    // temporary folder.
    writer.TempPath = folder;
    work_.archives.push_back(std::move(archive));
    return work_.archives.back();
  }

  // An archive of one attachment is named after it; the one for several
  // takes the default name, or the user's when asked for.
  std::string ArchiveFileName(const std::string& name) const {
    if (row_count_ == 1 || !settings_.single_zip) return ReplaceExtension(SafeFileName(name), ".zip");
    std::string file_name = settings_.default_zip_name;
    if (settings_.prompt_zip_name && interactive_) {
      std::string answer = file_name;
      if (ui::AskZipName("Compressing attachments...", "Please enter ZIP file name:", answer)) file_name = answer;
      if (file_name.empty()) file_name = kFallbackZipName;
      file_name = ReplaceExtension(file_name, ".zip");
    }
    return SafeFileName(file_name);
  }

  void Add(TArchive& archive, const TCandidate& candidate) {
    TAttachmentStream data(candidate.stream.get());
    const int before = archive.writer->Count();
    const int added = archive.writer->ZipFromStream(data, candidate.name);
    // Anything but one new entry means the archive does not hold exactly
    // what the lists say: give up rather than remove an attachment.
    if (added != 1 || archive.writer->Count() != before + 1) {
      throw zip::EZipError("The archive did not take the attachment \"" + candidate.name + "\"");
    }
    archive.entry_names.push_back(candidate.entry_name);
    replaced_.push_back(candidate.number);
    total_size_ = Add32(total_size_, candidate.counted);
  }

  IMessage* const message_;
  settings::TOptionsContainer& options_;
  const bool interactive_;
  TCallReport& report_;
  const ULONG row_count_;
  TSettings settings_;
  int32_t stub_size_ = 0;
  bool password_checked_ = false;

  TWorkspace work_;
  std::vector<ULONG> replaced_;  // the attachments an archive holds
  int32_t total_size_ = 0;       // their counted sizes
  int32_t archive_size_ = 0;     // the archives' sizes, once judged
};

TCompressOutcome Run(IMessage* message, settings::TOptionsContainer& options, bool interactive, TCallReport& report) {
  if (message == nullptr) return TCompressOutcome::Unchanged;
  settings::Increment(options, settings::kNumMessages);

  if (!Mapi().Bound({"HrGetOneProp", "HrQueryAllRows", "FreeProws", "MAPIAllocateBuffer", "MAPIFreeBuffer"})) {
    log::Notice("attachments left as they were: the message store's procedures are not bound");
    return TCompressOutcome::Unchanged;
  }
  report.subject = SubjectOf(message);
  if (!MessageClassAllowsPacking(message, report)) return TCompressOutcome::Unchanged;

  const TRows rows = ReadAttachmentTable(message);
  if (!rows) {
    report.Notice("attachments left as they were: the attachment table cannot be read");
    return TCompressOutcome::Unchanged;
  }
  if (rows->cRows == 0) {
    report.Line("no attachments");
    return TCompressOutcome::Unchanged;
  }

  TPackRun run(message, options, interactive, report, rows->cRows);
  for (ULONG r = 0; r < rows->cRows; ++r) run.PackRow(rows->aRow[r]);
  for (const std::string& why : report.kept) report.Line("not packed: " + why);
  run.MakeSelfExtracting();
  if (!run.WorthReplacing()) return TCompressOutcome::Unchanged;
  run.ReplaceAttachments();
  run.Record();
  return TCompressOutcome::Packed;
}

}  // namespace

std::vector<std::string> SplitSkipList(std::string_view text) {
  const size_t end = std::min(text.find('\0'), text.size());
  text = text.substr(0, end);
  auto blank = [](char c) { return c >= 1 && c <= ' '; };
  std::vector<std::string> items;
  size_t i = 0;
  while (i < text.size() && blank(text[i])) ++i;
  while (i < text.size()) {
    std::string item;
    if (text[i] == '"') {
      ++i;
      while (i < text.size()) {
        if (text[i] == '"') {
          if (i + 1 < text.size() && text[i + 1] == '"') {
            item += '"';
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        item += text[i++];
      }
    } else {
      const size_t start = i;
      while (i < text.size() && !blank(text[i]) && text[i] != ',') ++i;
      item.assign(text.substr(start, i - start));
    }
    items.push_back(std::move(item));
    while (i < text.size() && blank(text[i])) ++i;
    if (i < text.size() && text[i] == ',') {
      do {
        ++i;
      } while (i < text.size() && blank(text[i]));
    }
  }
  return items;
}

bool PassesSkipList(const std::string& file_name, const std::string& skip_list) {
  return PassesSkipItems(file_name, SplitSkipList(skip_list));
}

void SweepAbandonedWorkspaces() {
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(zip::SystemTempDirectory(), error)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("CorvidD", 0) != 0) continue;
    const int fd = ::open((entry.path() / kWorkspaceMarker).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) continue;  // not a workspace of ours, or one still being made
    // The lock is free only when the process that made the folder is gone.
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
      std::error_code ignored;
      std::filesystem::remove_all(entry.path(), ignored);
    }
    ::close(fd);
  }
}

TCompressOutcome CompressMessage(IMessage* message, settings::TOptionsContainer& settings, bool interactive) {
  // A failure ends the call with the message as it was and the temporary
  // files gone; it stops the send only when a password was asked for, so
  // that nothing goes out in the clear that should not.
  TCallReport report;
  std::string error;
  try {
    return Run(message, settings, interactive, report);
  } catch (const std::exception& failure) {
    error = failure.what();
  } catch (...) {
    error = "an unexpected error";
  }
  try {
    if (report.protect) {
      report.Notice("attachments not packed: " + error + "; a password was asked for, so the message is not sent");
      return TCompressOutcome::Refused;
    }
    report.Notice("attachments left as they were: " + error);
  } catch (...) {
    // The log must never break the work it describes.
  }
  return report.protect ? TCompressOutcome::Refused : TCompressOutcome::Unchanged;
}

}  // namespace corvid::compress
