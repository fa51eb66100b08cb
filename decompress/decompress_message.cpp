#include "decompress/decompress_message.h"

#include <cstdint>
#include <memory>
#include <optional>

#include "base/log.h"
#include "compress/attachment_stream.h"
#include "compress/attachments.h"
#include "settings/blowfish_tools.h"
#include "settings/catalogue.h"
#include "ui/prompts.h"
#include "zip/file_utils.h"
#include "zip/temp_files.h"
#include "zip/zip_reader.h"

namespace corvid::decompress {

using namespace mapi;
using compress::TBufferFree;
using compress::TRef;

namespace {

// Left free on the temporary folder's file system after unpacking, so that
// unpacking mail never fills a disk other programs need.
constexpr int64_t kFreeSpaceReserve = 16 * 1024 * 1024;

enum class TPasswordMode { Skip, Prompt, Stored };

struct TSettings {
  bool skip_with_path = true;
  bool restore_path = true;
  TPasswordMode mode = TPasswordMode::Skip;
  std::string stored_password;
};

TSettings ReadSettings(settings::TOptionsContainer& options) {
  TSettings s;
  const bool skip_with_password = settings::Read(options, settings::kSkipWithPassword);
  const bool prompt = settings::Read(options, settings::kPromptForPassword);
  const std::string encoded = settings::Read(options, settings::kDecompressionPassword);
  s.skip_with_path = settings::Read(options, settings::kSkipWithPath);
  s.restore_path = settings::Read(options, settings::kRestorePath);
  if (skip_with_password) {
    s.mode = TPasswordMode::Skip;
  } else if (prompt) {
    s.mode = TPasswordMode::Prompt;
  } else {
    s.mode = TPasswordMode::Stored;
    s.stored_password = settings::DecryptString(encoded);
  }
  return s;
}

bool HasArchiveExtension(const std::string& name) {
  const std::string extension = compress::UpperExtension(name);
  return extension == ".ZIP" || extension == ".EXE" || extension == ".JAR";
}

// 32-bit wrap-around sums, as the counters they feed keep them.
int32_t Add32(int32_t a, int64_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

std::string Megabytes(int64_t bytes) { return std::to_string((bytes + (1 << 20) - 1) >> 20) + " MB"; }

// One file taken from an archive, waiting to become an attachment.
struct TNewFile {
  std::string name;
  std::unique_ptr<zip::TTempFileStream> data;
};

// One archive attachment and what was taken from it.
struct TArchiveWork {
  ULONG number = 0;
  TArchiveOutcome outcome;
  bool keep = false;
  std::vector<TNewFile> files;
  int64_t packed = 0;
  int64_t unpacked = 0;

  void Keep(const std::string& why) {
    // The first reason is the one that decided.
    if (!keep) outcome.kept_why = why;
    keep = true;
  }
};

// A reader over an attachment's data; the stream is detached before the
// reader goes, as the reader must not free what it does not own.
class TArchiveReader {
 public:
  explicit TArchiveReader(IStream* stream) : data_(stream) { reader.SetArchiveStream(&data_); }
  ~TArchiveReader() { reader.SetArchiveStream(nullptr); }
  zip::TZipReader reader;

 private:
  compress::TAttachmentStream data_;
};

class TDecompressor {
 public:
  TDecompressor(IMessage* message, const TSettings& settings) : message_(message), s_(settings) {}

  // Unpacks what the archive at `row` holds into new-file lists.
  void ReadArchive(ULONG number, const std::string& name) {
    TArchiveWork work;
    work.number = number;
    work.outcome.name = name;
    TRef<IStream> stream = compress::OpenAttachmentData(message_, number);
    if (!stream) {
      work.Keep("its data could not be read");
      archives_.push_back(std::move(work));
      return;
    }
    try {
      TArchiveReader archive(stream.get());
      zip::TZipReader& reader = archive.reader;
      reader.IncompleteZipMode = zip::TIncompleteZipMode::izAssumeBad;
      try {
        reader.ReadZip();
      } catch (const std::exception& error) {
        work.Keep(std::string("not a readable ZIP archive (") + error.what() + ")");
        archives_.push_back(std::move(work));
        return;
      }
      UnpackEntries(reader, work);
    } catch (const std::exception& error) {
      work.Keep(std::string("unpacking failed (") + error.what() + ")");
    }
    archives_.push_back(std::move(work));
  }

  // Attaches the files, removes the archives whose files all arrived, and
  // saves the message when anything changed.
  void Commit(TDecompressOutcome& outcome, settings::TOptionsContainer& options) {
    std::vector<ULONG> created;
    bool changed = false;
    for (TArchiveWork& work : archives_) {
      for (TNewFile& file : work.files) {
        const size_t before = created.size();
        if (compress::AttachStream(message_, file.name, *file.data, created)) {
          ++work.outcome.files;
          changed = true;
        } else {
          work.Keep("the file " + file.name + " could not be attached");
          // A half-made attachment never joins the message.
          for (size_t i = before; i < created.size(); ++i) message_->DeleteAttach(created[i], 0, nullptr, 0);
          created.resize(before);
        }
        file.data.reset();  // the temporary file goes as soon as it is copied
      }
    }
    int32_t packed = 0, unpacked = 0, archives = 0;
    for (TArchiveWork& work : archives_) {
      if (work.keep) continue;
      if (FAILED(message_->DeleteAttach(work.number, 0, nullptr, 0))) {
        work.Keep("it could not be removed");
        continue;
      }
      work.outcome.unpacked = true;
      changed = true;
      packed = Add32(packed, work.packed);
      unpacked = Add32(unpacked, work.unpacked);
      ++archives;
    }
    for (TArchiveWork& work : archives_) outcome.archives.push_back(work.outcome);
    if (!changed) return;
    const HRESULT saved = message_->SaveChanges(KEEP_OPEN_READWRITE);
    if (FAILED(saved)) {
      // The store writes a message whole or not at all: it is as it was.
      outcome.failure = "the message could not be saved (" + std::to_string(static_cast<uint32_t>(saved)) +
                        "); it is unchanged";
      for (TArchiveOutcome& archive : outcome.archives) {
        archive.unpacked = false;
        archive.files = 0;
      }
      return;
    }
    outcome.saved = true;
    if (archives > 0) {
      settings::Increment(options, settings::kZipFilesSize, packed);
      settings::Increment(options, settings::kUnZippedFilesSize, unpacked);
      settings::Increment(options, settings::kNumZipFilesUnzipped, archives);
    }
  }

 private:
  void UnpackEntries(zip::TZipReader& reader, TArchiveWork& work) {
    // What had to be repaired to be read is damaged: it stays as it came.
    if (!reader.Repairs().empty() || reader.DirectoryRebuilt()) {
      work.Keep("the archive is damaged (" +
                (reader.Repairs().empty() ? std::string("its directory had to be rebuilt") : reader.Repairs().front()) +
                ")");
      return;
    }
    const int count = reader.Count();
    if (count == 0) {
      work.Keep("it holds no files");
      return;
    }
    int64_t needed = 0;
    for (int i = 0; i < count; ++i) needed += reader.UncompressedSize(i);
    const std::string temp = zip::SystemTempDirectory();
    const int64_t free = zip::DiskFreeSpace(temp);
    if (free >= 0 && needed + kFreeSpaceReserve > free) {
      work.Keep("unpacking needs " + Megabytes(needed) + " and only " + Megabytes(free) + " is free in " + temp);
      return;
    }

    // Reasons an entry did not come out whole, told by the reader's events.
    std::string entry_problem;
    int wanted = -1;
    reader.OnStartUnZip = [&](zip::TZipReader*, int index, std::string&, bool& skip) { skip = index != wanted; };
    reader.OnBadCRC = [&](zip::TZipReader*, uint32_t, uint32_t, int) { entry_problem = "CRC error"; };
    reader.OnSkippingFile = [&](zip::TZipReader*, zip::TSkipReason reason, const std::string&, int) {
      entry_problem = reason == zip::TSkipReason::skipBadPassword         ? "wrong password"
                      : reason == zip::TSkipReason::skipBadAuthentication ? "failed its authentication"
                                                                          : "could not be read";
    };
    reader.OnBadPassword = [](zip::TZipReader*, int, std::string& new_password) { new_password.clear(); };
    reader.OnMessageBox = [&](const std::string& text, const std::string&, zip::TBoxButtons buttons) {
      entry_problem = text;
      return buttons == zip::TBoxButtons::YesNo ? zip::TBoxAnswer::No : zip::TBoxAnswer::Cancel;
    };

    for (int i = 0; i < count; ++i) {
      const std::string full_name = reader.FullName(i);
      const std::string file_name = reader.FileName(i);
      // A folder entry holds no data to attach.
      if (file_name.empty()) {
        if (s_.skip_with_path) {
          work.Keep("its entries are in folders");
          break;
        }
        continue;
      }
      if (s_.skip_with_path && full_name != file_name) {
        work.Keep("its entries are in folders");
        break;
      }
      const std::string name = AttachmentNameOf(full_name, s_.restore_path);
      wanted = i;
      if (reader.IsEncrypted(i)) {
        if (!OpenEncrypted(reader, work, i, file_name)) continue;
      }
      entry_problem.clear();
      auto data = std::make_unique<zip::TTempFileStream>();
      int written = 0;
      try {
        written = reader.UnZipToStream(*data, full_name);
      } catch (const std::exception& error) {
        entry_problem = error.what();
        written = 0;
      }
      if (written != 1 || !entry_problem.empty() || data->Size() != static_cast<int64_t>(reader.UncompressedSize(i))) {
        work.Keep(file_name + " did not extract (" + (entry_problem.empty() ? "incomplete" : entry_problem) + ")");
        continue;
      }
      work.files.push_back({name, std::move(data)});
    }
    if (work.files.empty() && !work.keep) work.Keep("it holds no files");
    if (work.keep) return;
    for (int i = 0; i < count; ++i) {
      work.packed += reader.CompressedSize(i);
      work.unpacked += reader.UncompressedSize(i);
    }
  }

  // Sets the reader's password for encrypted entry i by the password mode;
  // false (and the archive kept) when the entry cannot be opened.
  bool OpenEncrypted(zip::TZipReader& reader, TArchiveWork& work, int i, const std::string& file_name) {
    auto opens = [&](const std::string& password) {
      reader.Password = password;
      reader.ResetPasswordCheck(i);
      return reader.CheckPassword(i);
    };
    switch (s_.mode) {
      case TPasswordMode::Skip:
        work.Keep("its entries are encrypted");
        return false;
      case TPasswordMode::Stored:
        if (opens(s_.stored_password)) return true;
        work.Keep("the stored password does not open " + file_name);
        return false;
      case TPasswordMode::Prompt:
        if (!entered_password_.empty() && opens(entered_password_)) return true;
        {
          std::string answer = entered_password_;
          if (!ui::AskPassword(work.outcome.name + " - " + file_name, "Please enter password:", answer)) {
            work.Keep("no password was given for " + file_name);
            return false;
          }
          entered_password_ = answer;
        }
        if (opens(entered_password_)) return true;
        work.Keep("the password given does not open " + file_name);
        return false;
    }
    return false;
  }

  IMessage* message_;
  const TSettings& s_;
  std::string entered_password_;
  std::vector<TArchiveWork> archives_;
};

void Run(IMessage* message, settings::TOptionsContainer& options, TDecompressOutcome& outcome) {
  if (!Mapi().Bound({"HrGetOneProp", "HrQueryAllRows", "FreeProws", "MAPIAllocateBuffer", "MAPIFreeBuffer"})) {
    outcome.failure = "MAPI is not available";
    return;
  }
  settings::Increment(options, settings::kNumMessages);
  outcome.subject = compress::TextProperty(message, PR_SUBJECT).value_or("");
  const TSettings s = ReadSettings(options);
  const compress::TRows rows = compress::ReadAttachmentTable(message);
  if (!rows) {
    outcome.failure = "its attachments could not be read";
    return;
  }
  TDecompressor decompressor(message, s);
  for (ULONG r = 0; r < rows->cRows; ++r) {
    const SRow& row = rows->aRow[r];
    const SPropValue* method = compress::Column(row, PR_ATTACH_METHOD);
    const SPropValue* number = compress::Column(row, PR_ATTACH_NUM);
    if (method == nullptr || number == nullptr || method->Value.l != ATTACH_BY_VALUE) continue;
    const std::optional<std::string> name = compress::AttachmentName(row);
    if (!name || !HasArchiveExtension(*name)) continue;
    decompressor.ReadArchive(static_cast<ULONG>(number->Value.l), *name);
  }
  decompressor.Commit(outcome, options);
}

}  // namespace

std::string AttachmentNameOf(const std::string& full_name, bool restore_path) {
  std::string name;
  if (restore_path) {
    name = full_name;
    for (char& c : name) {
      if (c == '\\' || c == '/') c = '_';
    }
  } else {
    const size_t separator = full_name.find_last_of("\\:");
    name = separator == std::string::npos ? full_name : full_name.substr(separator + 1);
  }
  for (char& c : name) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '_';
  }
  return name;
}

TDecompressOutcome DecompressMessage(IMessage* message, settings::TOptionsContainer& settings) {
  TDecompressOutcome outcome;
  if (message == nullptr) return outcome;
  try {
    Run(message, settings, outcome);
  } catch (const std::exception& error) {
    outcome.failure = error.what();
  } catch (...) {
    outcome.failure = "an unexpected error";
  }
  return outcome;
}

std::string Describe(const TDecompressOutcome& outcome) {
  std::string text;
  for (const TArchiveOutcome& archive : outcome.archives) {
    if (!text.empty()) text += "; ";
    if (archive.unpacked) {
      text += "unpacked " + archive.name + " (" + std::to_string(archive.files) +
              (archive.files == 1 ? " file)" : " files)");
    } else {
      text += "kept " + archive.name + " (" + archive.kept_why + ")";
      if (archive.files > 0) {
        text += ", " + std::to_string(archive.files) + (archive.files == 1 ? " file" : " files") +
                " taken from it";
      }
    }
  }
  if (text.empty()) text = "no archives";
  if (!outcome.failure.empty()) text += "; " + outcome.failure;
  return text;
}

void LogOutcome(const std::string& folder, const TDecompressOutcome& outcome) {
  log::Line(folder + ": \"" + outcome.subject + "\": " + Describe(outcome));
}

}  // namespace corvid::decompress
