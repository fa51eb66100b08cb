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
// Every failure names the archive, the entry and what failed; the exit status
// is 0 only when everything asked for succeeded.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <iostream>
#include <string>
#include <vector>

#include "platform/win/resources.h"
#include "zip/errors.h"
#include "zip/temp_files.h"
#include "zip/zip_reader.h"
#include "zip/zip_writer.h"

using namespace corvid::zip;

namespace {

constexpr char kUsage[] =
    "usage: corvid-zip l ARCHIVE\n"
    "       corvid-zip t ARCHIVE [-p PASSWORD]\n"
    "       corvid-zip x ARCHIVE [-d DIR] [-p PASSWORD] [--paths] [-o always|never|newer|older] [NAME...]\n"
    "       corvid-zip a ARCHIVE FILES... [-0..-9] [-p PASSWORD] [-r] [--paths] [-x PATTERN]... [-n PATTERN]...\n"
    "       corvid-zip sfx ARCHIVE\n";

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

std::string Slashes(std::string name) {
  for (char& c : name)
    if (c == '\\') c = '/';
  return name;
}

std::string FormatDate(uint32_t dos) {
  dos = ClampDosDateTime(dos);
  char text[32];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", ((dos >> 25) & 0x7F) + 1980,
                (dos >> 21) & 0x0F, (dos >> 16) & 0x1F, (dos >> 11) & 0x1F, (dos >> 5) & 0x3F,
                (dos & 0x1F) * 2);
  return text;
}

struct Options {
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
};

bool ParseArgs(int argc, char** argv, Options& opt) {
  if (argc < 3) return false;
  opt.verb = argv[1];
  opt.archive = argv[2];
  for (int i = 3; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= argc) return false;
      out = argv[++i];
      return true;
    };
    if (arg == "-d") {
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
    } else if (arg == "-x" || arg == "-n") {
      std::string pattern;
      if (!value(pattern)) return false;
      (arg == "-x" ? opt.exclude : opt.no_compress).push_back(pattern);
    } else if (!arg.empty() && arg[0] == '-') {
      return false;
    } else {
      opt.names.push_back(arg);
    }
  }
  if (opt.verb == "a") return !opt.names.empty();
  return opt.verb == "l" || opt.verb == "t" || opt.verb == "x" || opt.verb == "sfx";
}

// Wires the reader's events to messages on stderr and counts the failures.
class Reporter {
 public:
  Reporter(TZipReader& zip, const std::string& archive) : zip_(zip), archive_(archive) {
    zip.OnStartUnZip = [this](TZipReader* z, int index, std::string&, bool&) {
      current_ = Slashes(z->FullName(index));
    };
    zip.OnBadCRC = [this](TZipReader*, uint32_t calc, uint32_t stored, int) {
      char text[96];
      std::snprintf(text, sizeof text, "CRC error (stored %08X, computed %08X)", stored, calc);
      Fail(current_, text);
    };
    zip.OnSkippingFile = [this](TZipReader* z, TSkipReason reason, const std::string& fname, int index) {
      std::string entry = index >= 0 ? Slashes(z->FullName(index)) : fname;
      switch (reason) {
        case skipBadPassword:
          Fail(entry, "cannot decrypt: password missing or wrong");
          break;
        case skipNoOverwrite:
          std::fprintf(stderr, "corvid-zip: %s: %s: not overwritten: %s exists\n", archive_.c_str(),
                       entry.c_str(), fname.c_str());
          break;
        case skipOpenFailed:
          Fail(entry, "local header not found (damaged archive)");
          break;
        case skipCreateFailed:
          Fail(entry, "cannot create " + fname + ": " + std::strerror(errno));
          break;
      }
    };
    zip.OnMessageBox = [this](const std::string& text, const std::string&, TBoxButtons buttons) {
      if (buttons == TBoxButtons::Ok) {
        Fail(current_, text);
        return TBoxAnswer::Ok;
      }
      return buttons == TBoxButtons::YesNo ? TBoxAnswer::No : TBoxAnswer::Cancel;
    };
  }

  void Fail(const std::string& entry, const std::string& what) {
    ++failures_;
    std::fprintf(stderr, "corvid-zip: %s: %s: %s\n", archive_.c_str(), entry.c_str(), what.c_str());
  }
  int Failures() const { return failures_; }
  const std::string& Current() const { return current_; }

 private:
  TZipReader& zip_;
  std::string archive_;
  std::string current_;
  int failures_ = 0;
};

int List(TZipReader& zip) {
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
    total += e.UncompressedSize;
    packed += e.CompressedSize;
  }
  std::printf("%d entries, %llu bytes, %llu packed\n", zip.Count(), static_cast<unsigned long long>(total),
              static_cast<unsigned long long>(packed));
  std::string comment = zip.ZipComment();
  if (!comment.empty()) std::printf("comment: %s\n", comment.c_str());
  return 0;
}

// a: adds files (folders with -r) to a new or existing archive.
int Add(const Options& opt) {
  TZipWriter zip;
  zip.SetZipName(opt.archive);
  zip.SetPackLevel(opt.level);
  zip.Password = opt.password;
  zip.Recurse = opt.recurse;
  zip.SetStorePaths(opt.paths);
  zip.ExcludeList = opt.exclude;
  zip.NoCompressList = opt.no_compress;
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
    std::fprintf(stderr, "corvid-zip: %s: %s: no such file\n", opt.archive.c_str(), fname.c_str());
  };
  zip.OnSkippingFile = [&](TZipReader*, TSkipReason reason, const std::string& fname, int) {
    ++failures;
    std::fprintf(stderr, "corvid-zip: %s: %s: %s\n", opt.archive.c_str(), fname.c_str(),
                 reason == skipNoOverwrite ? "named twice, added once" : "cannot open");
  };
  zip.OnEndZip = [](TZipWriter*, const std::string& fname, uint32_t size, uint32_t packed, int64_t) {
    std::printf("added %s (%u -> %u bytes)\n", fname.c_str(), size, packed);
  };
  int added = zip.Zip();
  std::printf("%d entries added or replaced; %d in the archive\n", added, zip.Count());
  return failures == 0 ? 0 : 1;
}

// sfx: writes the archive with the extension .exe, the extractor stub first.
int MakeSelfExtracting(const Options& opt) {
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
  Options opt;
  if (!ParseArgs(argc, argv, opt)) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  if (opt.verb == "a" || opt.verb == "sfx") {
    try {
      if (opt.verb == "a") return Add(opt);
      return MakeSelfExtracting(opt);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "corvid-zip: %s: %s\n", opt.archive.c_str(), e.what());
      return 1;
    }
  }
  TZipReader zip;
  Reporter report(zip, opt.archive);
  try {
    zip.SetZipName(opt.archive);
    zip.IncompleteZipMode = TIncompleteZipMode::izAssumeBad;  // salvage what a scan finds
    zip.ReadZip();
    if (opt.have_password) zip.Password = opt.password;

    if (opt.verb == "l") return List(zip);

    zip.DoAll = opt.names.empty();
    zip.FilesList = opt.names;
    if (opt.verb == "t") {
      zip.OnEndUnZip = [](TZipReader* z, int index, const std::string&) {
        std::printf("OK      %s\n", Slashes(z->FullName(index)).c_str());
      };
      int passed = zip.TestZip();
      std::printf("%d of %d entries passed\n", passed, zip.Count());
      return report.Failures() == 0 && passed == zip.Count() ? 0 : 1;
    }

    // x
    zip.SetDestDir(opt.dest_dir.empty() ? "." : opt.dest_dir);
    zip.RecreateDirs = opt.paths;
    zip.OverwriteMode = opt.overwrite;
    if (opt.overwrite == TUZOverwriteMode::Prompt) {
      zip.OnPromptForOverwrite = [](TZipReader*, bool& overwrite, int, std::string& fname) {
        overwrite = false;
        if (!isatty(STDIN_FILENO)) return;
        std::fprintf(stderr, "replace %s? [y/N] ", fname.c_str());
        std::string answer;
        std::getline(std::cin, answer);
        overwrite = !answer.empty() && (answer[0] == 'y' || answer[0] == 'Y');
      };
    }
    zip.OnEndUnZip = [](TZipReader*, int, const std::string& fname) {
      std::printf("extracted %s\n", fname.c_str());
    };
    int written = zip.UnZip();
    std::printf("%d entries extracted\n", written);
    return report.Failures() == 0 ? 0 : 1;
  } catch (const corvid::Exception& e) {
    std::string where = report.Current().empty() ? "" : report.Current() + ": ";
    std::fprintf(stderr, "corvid-zip: %s: %s%s\n", opt.archive.c_str(), where.c_str(), e.what());
    return 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "corvid-zip: %s: %s\n", opt.archive.c_str(), e.what());
    return 1;
  }
}
