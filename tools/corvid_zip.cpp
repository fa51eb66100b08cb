// corvid-zip: the ZIP engine on the command line, for people and for tests.
//
//   corvid-zip l ARCHIVE                 list the entries
//   corvid-zip t ARCHIVE [-p PASSWORD]   decode every entry and check its CRC
//   corvid-zip x ARCHIVE [-d DIR] [-p PASSWORD] [--paths]
//                [-o always|never|newer|older] [NAME...]
//                                        extract (all entries, or those named)
//   corvid-zip a ARCHIVE FILES... [-0..-9] [-p PASSWORD] [-r] [--paths]
//                [-x PATTERN]... [-n PATTERN]...
//                                        add or update files
//   corvid-zip sfx ARCHIVE               write ARCHIVE as a self-extracting .exe
//
// Every failure names the archive, the entry and what failed. l, t and x exit
// as unzip users expect (see kExitStatus below); 0 only when the archive was
// read as whole and everything asked for succeeded.
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "base/posix_io.h"
#include "base/version.h"
#include "platform/win/resources.h"
#include "zip/errors.h"
#include "zip/temp_files.h"
#include "zip/zip_reader.h"
#include "zip/zip_writer.h"

using namespace corvid::zip;

namespace {

constexpr char kUsage[] =
    "usage: corvid-zip l ARCHIVE\n"
    "       corvid-zip t ARCHIVE [-p PASSWORD] [NAME...]\n"
    "       corvid-zip x ARCHIVE [-d DIR] [-p PASSWORD] [--paths] [-o always|never|newer|older] [NAME...]\n"
    "       corvid-zip a ARCHIVE FILES... [-0..-9] [-p PASSWORD] [-r] [--paths] [-x PATTERN]... [-n PATTERN]...\n"
    "       corvid-zip d ARCHIVE NAME...             delete the entries named (patterns allowed)\n"
    "       corvid-zip sfx ARCHIVE\n"
    "Options may come before or after the archive; -- ends them.\n"
    "  -q  quiet: only warnings and errors\n"
    "  -v  verbose: l also shows each entry's host system, version, attributes and comment\n"
    "  -   as the archive: standard input for l, t and x, standard output for a\n"
    "  -@  read further names (files for a, entries for t and x) from standard input, one a line\n"
    "  -p  with a: files named replace their entries, encrypted, whatever their dates\n";

constexpr char kExitStatus[] =
    "exit status of l, t and x:\n"
    "   0  the archive was read as whole and every entry asked for succeeded\n"
    "   1  warnings: the directory was repaired (the entries that could be read were\n"
    "      processed), or an entry could not be created on disk\n"
    "   2  damaged entries: CRC errors, damaged data, missing local records\n"
    "   3  severe damage: the archive was refused or the run could not go on\n"
    "   9  not an archive, or it cannot be opened\n"
    "  10  wrong use of the command line\n"
    "  11  no entry matches the names given\n"
    "  50  writing failed (the disk is full or refuses writes)\n"
    "  80  cancelled (Ctrl-C)\n"
    "  81  an entry uses a compression method this program does not support\n"
    "  82  no password, or the wrong one, for encrypted entries\n"
    "a and sfx exit 0 on success, 1 when a file could not be added or changed while\n"
    "it was read (or, for a new archive, nothing could be added: no archive is written),\n"
    "10 on wrong use, 80 when cancelled (a new archive is then not written).\n"
    "d exits 0 when entries were deleted, 11 when none matched, 9 when there is no archive.\n";

// Exit statuses, as unzip uses them.
constexpr int kOk = 0;
constexpr int kWarning = 1;
constexpr int kDamagedEntries = 2;
constexpr int kSevere = 3;
constexpr int kNotAnArchive = 9;
constexpr int kWrongUse = 10;
constexpr int kNoMatch = 11;
constexpr int kWriteFailed = 50;
constexpr int kCancelled = 80;
constexpr int kUnsupported = 81;
constexpr int kBadPassword = 82;

// Which outcome wins when several happened: the one that says most.
int Rank(int status) {
  switch (status) {
    case kOk: return 0;
    case kWarning: return 1;
    case kUnsupported: return 2;
    case kBadPassword: return 3;
    case kDamagedEntries: return 4;
    case kNoMatch: return 5;
    case kSevere: return 6;
    case kWriteFailed: return 7;
    case kCancelled: return 8;
    default: return 9;
  }
}

// A name or text as it may reach a terminal: control characters (C0, DEL
// and C1) are shown escaped, so a stored name cannot move the cursor, ring
// the bell or forge lines of output.
std::string Printable(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    unsigned code = c;
    size_t width = 1;
    if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
        static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
      code = static_cast<unsigned char>(text[i + 1]);
      width = 2;
    }
    if (code < 0x20 || code == 0x7F || (width == 2)) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, width == 2 ? "\\u%04X" : "\\x%02X", code);
      out += escaped;
      i += width - 1;
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}

TZipReader* g_running = nullptr;  // the reader or writer Ctrl-C cancels

// Progress on a terminal, once the work has taken a second: a percentage
// rewritten in place on stderr, cleared when done.
class TProgress {
 public:
  TProgress() : start_(std::time(nullptr)), on_(isatty(STDERR_FILENO) != 0) {}
  ~TProgress() {
    if (shown_) std::fputs("\r      \r", stderr);
  }
  void Show(int percent) {
    if (!on_ || percent == last_ || std::time(nullptr) - start_ < 1) return;
    last_ = percent;
    shown_ = true;
    std::fprintf(stderr, "\r%3d%% ", percent);
  }

 private:
  std::time_t start_;
  bool on_;
  bool shown_ = false;
  int last_ = -1;
};

// Reads a password from the terminal without echo; empty when there is none.
std::string AskPassword(const std::string& prompt) {
  if (!isatty(STDIN_FILENO)) return "";
  std::fprintf(stderr, "%s", prompt.c_str());
  termios saved{};
  bool quiet = ::tcgetattr(STDIN_FILENO, &saved) == 0;
  if (quiet) {
    termios silent = saved;
    silent.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &silent);
  }
  std::string answer;
  std::getline(std::cin, answer);
  if (quiet) ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
  std::fputs("\n", stderr);
  return answer;
}

void CancelOnInterrupt(int) {
  if (g_running != nullptr) g_running->Cancel();
}

const char* MethodName(uint16_t method) {
  switch (method) {
    case 0: return "Stored";
    case 1: return "Shrunk";
    case 2: return "Reduce1";
    case 3: return "Reduce2";
    case 4: return "Reduce3";
    case 5: return "Reduce4";
    case 6: return "Implode";
    case 8: return "Deflate";
    default: return "Unknown";
  }
}

// A stored name as shown: slashes, and control characters escaped.
std::string Slashes(std::string name) {
  for (char& c : name)
    if (c == '\\') c = '/';
  return Printable(name);
}

std::string FormatDate(uint32_t dos) {
  dos = ClampDosDateTime(dos);
  char text[32];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", ((dos >> 25) & 0x7F) + 1980,
                (dos >> 21) & 0x0F, (dos >> 16) & 0x1F, (dos >> 11) & 0x1F, (dos >> 5) & 0x3F,
                (dos & 0x1F) * 2);
  return text;
}

struct TOptions {
  std::string verb;
  std::string archive;
  std::string dest_dir;
  std::string password;
  bool have_password = false;
  bool paths = false;
  TUZOverwriteMode overwrite = TUZOverwriteMode::Prompt;
  std::vector<std::string> names;
  int level = 6;
  bool recurse = false;
  std::vector<std::string> exclude;
  std::vector<std::string> no_compress;
  bool quiet = false;
  bool verbose = false;
  bool names_from_stdin = false;
};

bool ParseArgs(int argc, char** argv, TOptions& opt) {
  if (argc < 2) return false;
  opt.verb = argv[1];
  bool options_end = false;
  std::vector<std::string> positional;
  for (int i = 2; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= argc) return false;
      out = argv[++i];
      return true;
    };
    if (options_end || arg.empty() || arg[0] != '-' || arg == "-") {
      positional.push_back(arg);
    } else if (arg == "--") {
      options_end = true;
    } else if (arg == "-d") {
      if (!value(opt.dest_dir)) return false;
    } else if (arg == "-p") {
      if (!value(opt.password)) return false;
      opt.have_password = true;
    } else if (arg == "--paths") {
      opt.paths = true;
    } else if (arg == "-o") {
      std::string mode;
      if (!value(mode)) return false;
      if (mode == "always") opt.overwrite = TUZOverwriteMode::Always;
      else if (mode == "never") opt.overwrite = TUZOverwriteMode::Never;
      else if (mode == "newer") opt.overwrite = TUZOverwriteMode::ifNewer;
      else if (mode == "older") opt.overwrite = TUZOverwriteMode::ifOlder;
      else return false;
    } else if (arg.size() == 2 && arg[0] == '-' && arg[1] >= '0' && arg[1] <= '9') {
      opt.level = arg[1] - '0';
    } else if (arg == "-r") {
      opt.recurse = true;
    } else if (arg == "-q") {
      opt.quiet = true;
    } else if (arg == "-v") {
      opt.verbose = true;
    } else if (arg == "-@") {
      opt.names_from_stdin = true;
    } else if (arg == "-x" || arg == "-n") {
      std::string pattern;
      if (!value(pattern)) return false;
      (arg == "-x" ? opt.exclude : opt.no_compress).push_back(pattern);
    } else {
      return false;
    }
  }
  if (positional.empty()) return false;
  opt.archive = positional.front();
  opt.names.assign(positional.begin() + 1, positional.end());
  if (opt.names_from_stdin) {
    for (std::string line; std::getline(std::cin, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (!line.empty()) opt.names.push_back(line);
    }
  }
  if (opt.verb == "a" || opt.verb == "d") return !opt.names.empty();
  return opt.verb == "l" || opt.verb == "t" || opt.verb == "x" || opt.verb == "sfx";
}

// Wires the reader's events to messages on stderr and keeps the exit status.
class TReporter {
 public:
  TReporter(TZipReader& zip, const std::string& archive) : zip_(zip), archive_(Printable(archive)) {
    zip.OnStartUnZipInfo = [this](TZipReader*, int selected, int64_t, bool&) { selected_ = selected; };
    zip.OnStartUnZip = [this](TZipReader* z, int index, std::string&, bool&) {
      current_ = Slashes(z->FullName(index));
    };
    zip.OnBadCRC = [this](TZipReader*, uint32_t calc, uint32_t stored, int) {
      char text[96];
      if (calc == stored)
        std::snprintf(text, sizeof text, "the compressed data is damaged");
      else
        std::snprintf(text, sizeof text, "CRC error (stored %08X, computed %08X)", stored, calc);
      Fail(current_, text, kDamagedEntries);
    };
    zip.OnSkippingFile = [this](TZipReader* z, TSkipReason reason, const std::string& fname, int index) {
      const int error = errno;  // before anything here can change it
      std::string entry = index >= 0 ? Slashes(z->FullName(index)) : Printable(fname);
      switch (reason) {
        case TSkipReason::skipBadPassword:
          Fail(entry, "cannot decrypt: password missing or wrong", kBadPassword);
          break;
        case TSkipReason::skipNoOverwrite:
          std::fprintf(stderr, "corvid-zip: %s: %s: not overwritten: %s exists\n", archive_.c_str(),
                       entry.c_str(), Printable(fname).c_str());
          break;
        case TSkipReason::skipOpenFailed:
          Fail(entry, "local header not found (damaged archive)", kDamagedEntries);
          break;
        case TSkipReason::skipCreateFailed:
          Fail(entry, "cannot create " + Printable(fname) + ": " + std::strerror(error ? error : EIO), kWarning);
          break;
        case TSkipReason::skipBadAuthentication:
          Fail(entry, "authentication failed: the password is wrong or the data was changed", kDamagedEntries);
          break;
      }
    };
    zip.OnMessageBox = [this](const std::string& text, const std::string&, TBoxButtons buttons) {
      if (buttons == TBoxButtons::Ok) {
        Fail(current_, text, kUnsupported);
        return TBoxAnswer::Ok;
      }
      return buttons == TBoxButtons::YesNo ? TBoxAnswer::No : TBoxAnswer::Cancel;
    };
  }

  void Fail(const std::string& entry, const std::string& what, int status) {
    Note(status);
    std::fprintf(stderr, "corvid-zip: %s: %s: %s\n", archive_.c_str(), entry.c_str(), what.c_str());
  }
  // The whole archive: no entry named.
  void FailArchive(const std::string& what, int status) {
    Note(status);
    std::fprintf(stderr, "corvid-zip: %s: %s\n", archive_.c_str(), what.c_str());
  }
  void Note(int status) {
    if (Rank(status) > Rank(status_)) status_ = status;
  }
  // Warns of each repair the directory needed.
  void ReportRepairs() {
    for (const std::string& repair : zip_.Repairs())
      FailArchive("warning: damaged archive: " + repair, kWarning);
  }
  int Status() const { return status_; }
  int Selected() const { return selected_; }
  const std::string& Current() const { return current_; }

 private:
  TZipReader& zip_;
  std::string archive_;
  std::string current_;
  int status_ = kOk;
  int selected_ = 0;
};

int List(TZipReader& zip, bool verbose) {
  std::printf("%-8s %12s %12s %5s  %-8s %-3s %-19s  %s\n", "Method", "Size", "Packed", "Ratio", "CRC-32",
              "Enc", "Modified", "Name");
  uint64_t total = 0, packed = 0;
  for (int i = 0; i < zip.Count(); ++i) {
    const TZipHeaderInfo& e = zip.Entry(i);
    int ratio = e.UncompressedSize == 0
                    ? 0
                    : static_cast<int>(100 - (100.0 * e.CompressedSize) / e.UncompressedSize);
    std::printf("%-8s %12u %12u %4d%%  %08X %-3s %-19s  %s\n", MethodName(e.CompressionMethod),
                e.UncompressedSize, e.CompressedSize, ratio, e.CRC32, e.IsEncrypted() ? "yes" : "no",
                FormatDate(e.LastModFileTimeDate).c_str(), Slashes(e.FullName()).c_str());
    if (verbose) {
      std::string entry_comment = zip.FileCommentOf(i);
      std::printf("         made by %s, version needed %u.%u, attributes %08X%s%s\n",
                  (e.VersionMadeBy >> 8) == 3 ? "Unix" : (e.VersionMadeBy >> 8) == 0 ? "MS-DOS" : "another system",
                  e.VersionNeeded / 10u, e.VersionNeeded % 10u, e.ExternalAttributes,
                  entry_comment.empty() ? "" : ", comment: ", Printable(entry_comment).c_str());
    }
    total += e.UncompressedSize;
    packed += e.CompressedSize;
  }
  std::printf("%d entries, %llu bytes, %llu packed\n", zip.Count(), static_cast<unsigned long long>(total),
              static_cast<unsigned long long>(packed));
  std::string comment = zip.ZipComment();
  if (!comment.empty()) std::printf("comment: %s\n", Printable(comment).c_str());
  return kOk;
}

// a: adds files (folders with -r) to a new or existing archive.
int Add(const TOptions& opt) {
  TZipWriter zip;
  // "-": the archive goes to standard output, and what is said to stderr.
  const bool to_stdout = opt.archive == "-";
  int archive_fd = -1;
  if (to_stdout) {
    if (isatty(STDOUT_FILENO)) {
      std::fprintf(stderr, "corvid-zip: an archive is not written to a terminal\n");
      return kWrongUse;
    }
    std::fflush(stdout);
    archive_fd = ::dup(STDOUT_FILENO);
    ::dup2(STDERR_FILENO, STDOUT_FILENO);
    zip.SetArchiveStream(new TMemoryStream());
  } else {
    zip.SetZipName(opt.archive);
  }
  zip.SetPackLevel(opt.level);
  zip.Password = opt.password;
  // A password asks for the named files encrypted, even where an entry of
  // the same date is there already.
  if (opt.have_password) zip.ZipAction = TZipAction::zaReplace;
  zip.Recurse = opt.recurse;
  zip.SetStorePaths(opt.paths);
  zip.ExcludeList = opt.exclude;
  zip.NoCompressList = opt.no_compress;
  const std::string archive = Printable(opt.archive);
  struct stat archive_st;
  const bool existed = !to_stdout && ::stat(opt.archive.c_str(), &archive_st) == 0;
  int failures = 0;
  for (const std::string& name : opt.names) {
    struct stat st;
    if (::stat(name.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      // A folder stands for its files; -r takes its subfolders too.
      std::string dir = name;
      while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
      zip.FilesList.push_back((opt.recurse ? ">" : "|") + dir + "/*");
    } else {
      zip.FilesList.push_back(name);
    }
  }
  zip.OnNoSuchFile = [&](TZipWriter*, const std::string& fname) {
    ++failures;
    std::fprintf(stderr, "corvid-zip: %s: %s: no such file\n", archive.c_str(), Printable(fname).c_str());
  };
  zip.OnSkippingFile = [&](TZipReader*, TSkipReason reason, const std::string& fname, int) {
    const int error = errno;
    ++failures;
    std::string why = reason == TSkipReason::skipNoOverwrite ? "named twice, added once"
                                                : "cannot open: " + std::string(std::strerror(error ? error : EIO));
    std::fprintf(stderr, "corvid-zip: %s: %s: %s\n", archive.c_str(), Printable(fname).c_str(), why.c_str());
  };
  zip.OnFileChanged = [&](TZipWriter*, const std::string& fname) {
    ++failures;
    std::fprintf(stderr, "corvid-zip: %s: %s: warning: the file changed while it was read; its entry may be torn\n",
                 archive.c_str(), Printable(fname).c_str());
  };
  zip.OnEndZip = [](TZipWriter*, const std::string& fname, uint32_t size, uint32_t packed, int64_t) {
    std::printf("added %s (%u -> %u bytes)\n", Printable(fname).c_str(), size, packed);
  };
  g_running = &zip;
  TProgress progress;
  zip.OnTotalPercentDone = [&](TZipReader*, int percent) { progress.Show(percent); };
  int added = zip.Zip();
  g_running = nullptr;
  if (!existed && added == 0 && zip.Count() == 0) {
    // Nothing to put in a new archive: none is left behind.
    if (!to_stdout) ::unlink(opt.archive.c_str());
    std::fprintf(stderr, "corvid-zip: %s: nothing to add; no archive written\n", archive.c_str());
    return 1;
  }
  std::printf("%d entries added or replaced; %d in the archive\n", added, zip.Count());
  if (to_stdout) {
    const auto& bytes = static_cast<TMemoryStream*>(zip.ArchiveStream())->Bytes();
    if (!corvid::io::WriteFull(archive_fd, bytes.data(), bytes.size())) {
      std::fprintf(stderr, "corvid-zip: cannot write the archive to standard output: %s\n", std::strerror(errno));
      return kWriteFailed;
    }
  }
  return failures == 0 ? 0 : 1;
}

// d: deletes entries.
int Delete(const TOptions& opt) {
  TZipWriter zip;
  zip.SetZipName(opt.archive);
  const std::string archive = Printable(opt.archive);
  try {
    zip.ReadZip();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "corvid-zip: %s: %s\n", archive.c_str(), e.what());
    return kNotAnArchive;
  }
  zip.FilesList = opt.names;
  zip.OnDeleteEntry = [](TZipWriter*, const std::string& name, bool&) {
    std::printf("deleted %s\n", Slashes(name).c_str());
  };
  g_running = &zip;
  int deleted = zip.Delete();
  g_running = nullptr;
  std::printf("%d entries deleted; %d in the archive\n", deleted, zip.Count());
  if (deleted > 0) return kOk;
  std::fprintf(stderr, "corvid-zip: %s: no entry matches the names given; nothing deleted\n", archive.c_str());
  return kNoMatch;
}

// sfx: writes the archive with the extension .exe, the extractor stub first.
int MakeSelfExtracting(const TOptions& opt) {
  std::string stub = CreateTempFileName();
  if (!corvid::win::SaveResourceToFile("SFXBIN", corvid::win::RT_RCDATA, stub)) {
    std::remove(stub.c_str());
    std::fprintf(stderr, "corvid-zip: the self-extractor stub is missing from this program\n");
    return 1;
  }
  TZipWriter zip;
  zip.SetZipName(opt.archive);
  try {
    zip.ReadZip();
    zip.MakeSFX(stub);
  } catch (...) {
    std::remove(stub.c_str());
    throw;
  }
  std::remove(stub.c_str());
  std::printf("wrote %s\n", TZipWriter::SfxName(opt.archive).c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  TOptions opt;
  if (argc == 2 && std::string(argv[1]) == "--version") {
    std::printf("corvid-zip %s\n", corvid::kVersion);
    return kOk;
  }
  if (argc == 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
    std::fputs(kUsage, stdout);
    std::fputs(kExitStatus, stdout);
    return kOk;
  }
  if (!ParseArgs(argc, argv, opt)) {
    std::fputs(kUsage, stderr);
    std::fputs("corvid-zip --help tells the exit statuses\n", stderr);
    return kWrongUse;
  }
  if (opt.quiet && std::freopen("/dev/null", "w", stdout) == nullptr) return kWrongUse;
  struct sigaction on_interrupt {};
  on_interrupt.sa_handler = CancelOnInterrupt;
  ::sigaction(SIGINT, &on_interrupt, nullptr);
  ::sigaction(SIGTERM, &on_interrupt, nullptr);
  if (opt.verb == "a" || opt.verb == "d" || opt.verb == "sfx") {
    try {
      if (opt.verb == "a") return Add(opt);
      if (opt.verb == "d") return Delete(opt);
      return MakeSelfExtracting(opt);
    } catch (const EUserCanceled&) {
      std::fprintf(stderr, "corvid-zip: %s: cancelled; the archive is as it was\n", Printable(opt.archive).c_str());
      return kCancelled;
    } catch (const std::exception& e) {
      std::fprintf(stderr, "corvid-zip: %s: %s\n", Printable(opt.archive).c_str(), e.what());
      return 1;
    }
  }
  TZipReader zip;
  TReporter report(zip, opt.archive);
  try {
    if (opt.archive == "-") {
      // The archive from standard input.
      std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
      zip.SetArchiveStream(new TMemoryStream(std::move(bytes)));
    } else {
      zip.SetZipName(opt.archive);
    }
    zip.IncompleteZipMode = TIncompleteZipMode::izAssumeBad;  // salvage what a scan finds
    zip.ReadZip();
  } catch (const EBadZipFile& e) {
    // Refused as damaged or hostile, unless nothing of an archive was found.
    report.FailArchive(e.what(), std::string(e.what()) == kMsgNotValidZip ? kNotAnArchive : kSevere);
    return report.Status();
  } catch (const std::exception& e) {
    report.FailArchive(e.what(), kNotAnArchive);
    return report.Status();
  }
  report.ReportRepairs();
  if (opt.have_password) zip.Password = opt.password;
  if (opt.verb == "l") {
    List(zip, opt.verbose);
    return report.Status();
  }

  g_running = &zip;
  TProgress progress;
  zip.OnTotalPercentDone = [&](TZipReader*, int percent) { progress.Show(percent); };
  // An encrypted entry without the right password: asked on the terminal,
  // a few times at most.
  int asked = 0;
  zip.OnBadPassword = [&](TZipReader* z, int index, std::string& password) {
    if (asked >= 3) return;
    ++asked;
    const char* why = z->Password.empty() ? " is encrypted. Password: " : ": wrong password. Password: ";
    std::string answer = AskPassword(Slashes(z->FullName(index)) + why);
    if (!answer.empty()) password = answer;
  };
  try {
    zip.DoAll = opt.names.empty();
    zip.FilesList = opt.names;
    if (opt.verb == "t") {
      zip.OnEndUnZip = [](TZipReader* z, int index, const std::string&) {
        std::printf("OK      %s\n", Slashes(z->FullName(index)).c_str());
      };
      int passed = zip.TestZip();
      std::printf("%d of %d entries passed\n", passed, report.Selected());
    } else {
      // x
      zip.SetDestDir(opt.dest_dir.empty() ? "." : opt.dest_dir);
      zip.RecreateDirs = opt.paths;
      zip.OverwriteMode = opt.overwrite;
      if (opt.overwrite == TUZOverwriteMode::Prompt) {
        zip.OnPromptForOverwrite = [](TZipReader*, bool& overwrite, int, std::string& fname) {
          overwrite = false;
          if (!isatty(STDIN_FILENO)) return;
          std::fprintf(stderr, "replace %s? [y/N] ", Printable(fname).c_str());
          std::string answer;
          std::getline(std::cin, answer);
          overwrite = !answer.empty() && (answer[0] == 'y' || answer[0] == 'Y');
        };
      }
      zip.OnEndUnZip = [](TZipReader*, int, const std::string& fname) {
        std::printf("extracted %s\n", Printable(fname).c_str());
      };
      int written = zip.UnZip();
      std::printf("%d entries extracted\n", written);
    }
    if (!opt.names.empty() && report.Selected() == 0) {
      std::string names;
      for (const std::string& name : opt.names) names += (names.empty() ? "" : ", ") + Printable(name);
      report.FailArchive("no entry matches " + names, kNoMatch);
    }
  } catch (const EUserCanceled& e) {
    report.FailArchive(report.Current().empty() ? "cancelled" : report.Current() + ": cancelled", kCancelled);
  } catch (const EFileError& e) {
    std::string where = report.Current().empty() ? "" : report.Current() + ": ";
    report.FailArchive(where + e.what(), kWriteFailed);
  } catch (const std::exception& e) {
    std::string where = report.Current().empty() ? "" : report.Current() + ": ";
    report.FailArchive(where + e.what(), kSevere);
  }
  g_running = nullptr;
  return report.Status();
}
