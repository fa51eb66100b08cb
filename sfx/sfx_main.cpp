// corvid-sfx: the program at the front of a self-extracting archive.
//
//   NAME.exe [-d DIR] [-l]
//
// Finds the ZIP archive appended to its own file, then lists it (-l) or
// extracts every entry into DIR (default: the current folder). Only what the
// writer produces is supported: stored and deflated entries, optionally with
// the traditional encryption.
//
// Everything here is sized for the stub's bytes, which travel inside every
// self-extracting attachment: libc only (stdio for messages), no exceptions,
// no allocation beyond one growing list of names, the archive read through a
// single read-only mapping of our own file.
//
// Safety rules of extraction, the same as the engine's reader: a stored name
// never leads outside DIR (drive prefixes, leading separators, "." and ".."
// are dropped), folders are opened one level at a time without following a
// link, and an entry is decoded into a temporary file beside its target that
// only replaces the target once its size and CRC are right, so a damaged
// entry or a wrong password never costs an existing file.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "sfx/unpack.h"
#include "zip/cp437_table.h"
#include "zip/zip_cipher.h"
#include "zip/zip_format.h"

// The stub does not link the engine, so it carries the byte-wise CRC table
// the cipher needs. Generated at compile time from the polynomial.
namespace corvid::zip {
namespace {
constexpr uint32_t CrcEntry(uint32_t b) {
  for (int k = 0; k < 8; ++k) b = (b >> 1) ^ ((b & 1) ? 0xEDB88320u : 0);
  return b;
}
}  // namespace
#define CORVID_CRC4(i) CrcEntry(i), CrcEntry(i + 1), CrcEntry(i + 2), CrcEntry(i + 3)
#define CORVID_CRC16(i) CORVID_CRC4(i), CORVID_CRC4(i + 4), CORVID_CRC4(i + 8), CORVID_CRC4(i + 12)
#define CORVID_CRC64(i) CORVID_CRC16(i), CORVID_CRC16(i + 16), CORVID_CRC16(i + 32), CORVID_CRC16(i + 48)
constinit const uint32_t kCrcTable[256] = {CORVID_CRC64(0), CORVID_CRC64(64), CORVID_CRC64(128),
                                           CORVID_CRC64(192)};
}  // namespace corvid::zip

namespace {

using corvid::sfx::UnpackResult;
using corvid::zip::GetU16;
using corvid::zip::GetU32;
namespace central_header = corvid::zip::central_header;
namespace end_record = corvid::zip::end_record;
namespace extra_field = corvid::zip::extra_field;
namespace local_header = corvid::zip::local_header;
namespace unicode_path_extra = corvid::zip::unicode_path_extra;
namespace zip64_extra = corvid::zip::zip64_extra;

constexpr int kPasswordAttempts = 3;  // per entry, then it is reported and skipped

const char* g_program = "corvid-sfx";
const uint8_t* g_file;  // our whole file, mapped
uint64_t g_size;
uint64_t g_base;  // what to add to the archive's offsets to get file positions

int g_root = -1;  // the target folder
mode_t g_umask;

// The entry being decoded, so an interrupt can remove its temporary file.
volatile int g_tmp_dir = -1;
char g_tmp[48];

// The terminal's mode while echo is off, restored on any exit.
volatile int g_tty = -1;
struct termios g_tty_mode;

char g_password[512];
int g_password_len = -1;  // -1: none yet, or the last one was wrong
bool g_input_ended;
corvid::zip::TZipCipher g_cipher;
corvid::sfx::Unpacker g_unpacker;

// Names of entries that no password opened, one per line.
char* g_locked;
size_t g_locked_len;

// A decoded name can be three times its stored length (CP437 to UTF-8).
char g_name[3 * 65536];
char g_path[3 * 65536];
// A name as shown: each byte of it may become four.
char g_shown[4 * sizeof g_name];

// `s` as it may reach a terminal: control characters (C0, DEL, and C1 in
// UTF-8) escaped, so a stored name cannot move the cursor, ring the bell or
// forge lines of output.
const char* Shown(const char* s) {
  char* out = g_shown;
  for (; *s != 0; ++s) {
    const uint8_t c = static_cast<uint8_t>(*s);
    const uint8_t next = static_cast<uint8_t>(s[1]);
    if (c < 0x20 || c == 0x7F) {
      out += snprintf(out, 5, "\\x%02X", c);
    } else if (c == 0xC2 && next >= 0x80 && next <= 0x9F) {
      out += snprintf(out, 7, "\\u%04X", next);
      ++s;
    } else {
      *out++ = static_cast<char>(c);
    }
  }
  *out = 0;
  return g_shown;
}

struct Entry {
  uint16_t made_by, flags, method, time, date;
  uint32_t crc, csize, usize, ext_attr, local;
  const uint8_t* name;
  const uint8_t* extra;
  uint16_t name_len, extra_len;
};

void Report(const char* name, const char* what, const char* detail = nullptr) {
  fflush(stdout);
  fprintf(stderr, "%s: %s: %s%s%s\n", g_program, name, what, detail ? ": " : "", detail ? detail : "");
}

void OnSignal(int sig) {
  if (g_tty >= 0) tcsetattr(g_tty, TCSAFLUSH, &g_tty_mode);
  if (g_tmp_dir >= 0) unlinkat(g_tmp_dir, g_tmp, 0);
  _exit(128 + sig);
}

// --- Finding the archive ----------------------------------------------------

// Length of the program itself: a linked ELF file ends with its section
// header table. 0 when our file does not look like one.
uint64_t StubSize() {
  // Fields of the 64-bit little-endian ELF file header.
  constexpr int kElfHeaderSize = 64;
  constexpr int kSectionTableOffset = 0x28;  // 8
  constexpr int kSectionEntrySize = 0x3A;    // 2
  constexpr int kSectionCount = 0x3C;        // 2
  if (g_size < kElfHeaderSize || memcmp(g_file, "\177ELF\2\1", 6) != 0) return 0;
  uint64_t shoff = GetU32(g_file + kSectionTableOffset) |
                   static_cast<uint64_t>(GetU32(g_file + kSectionTableOffset + 4)) << 32;
  uint64_t end = shoff + static_cast<uint64_t>(GetU16(g_file + kSectionCount)) * GetU16(g_file + kSectionEntrySize);
  return end <= g_size ? end : 0;
}

// Locates the end record in the last 65557 bytes (its 22 bytes and the
// longest comment) and the central directory it describes. The offsets count
// from the start of our file when the writer adjusted them; an archive that
// was appended as it was counts from the end of the stub instead, which the
// directory's position right before the end record reveals.
bool FindArchive(const uint8_t** cd, const uint8_t** cd_end) {
  const uint64_t stub = StubSize();
  if (g_size < stub + end_record::kSize) return false;
  const uint64_t top = g_size - end_record::kSize;
  const uint64_t lowest = top - stub > 65535 ? top - 65535 : stub;
  for (uint64_t pos = top;; --pos) {
    const uint8_t* e = g_file + pos;
    if (GetU32(e) == end_record::kSignature && GetU16(e + end_record::kNumberOfThisDisk) == 0 &&
        GetU16(e + end_record::kNumberOfStartDisk) == 0) {
      const uint64_t cd_size = GetU32(e + end_record::kCentralSize);
      const uint64_t cd_offset = GetU32(e + end_record::kCentralOffset);
      const uint64_t bases[3] = {pos - cd_size - cd_offset, 0, stub};
      for (uint64_t base : bases) {
        const uint64_t start = base + cd_offset;
        if (base <= pos && start <= pos && start + cd_size == pos &&
            (cd_size == 0 || GetU32(g_file + start) == central_header::kSignature)) {
          g_base = base;
          *cd = g_file + start;
          *cd_end = e;
          return true;
        }
      }
      // Something between the directory and the end record: trust the offset.
      for (uint64_t base : bases) {
        const uint64_t start = base + cd_offset;
        if (base <= pos && start <= pos && start + cd_size <= pos && cd_size >= central_header::kSize &&
            GetU32(g_file + start) == central_header::kSignature) {
          g_base = base;
          *cd = g_file + start;
          *cd_end = g_file + start + cd_size;
          return true;
        }
      }
    }
    if (pos == lowest) return false;
  }
}

// --- Names ------------------------------------------------------------------

// -1: not UTF-8; 0: plain ASCII; 1: UTF-8 with multi-byte sequences.
int Utf8Kind(const uint8_t* s, size_t n) {
  int kind = 0;
  for (size_t i = 0; i < n;) {
    uint8_t c = s[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t more = (c >= 0xC2 && c <= 0xDF) ? 1 : (c >= 0xE0 && c <= 0xEF) ? 2 : (c >= 0xF0 && c <= 0xF4) ? 3 : 0;
    if (more == 0 || n - i <= more) return -1;
    for (size_t k = 1; k <= more; ++k)
      if ((s[i + k] & 0xC0) != 0x80) return -1;
    i += more + 1;
    kind = 1;
  }
  return kind;
}

// The entry's name as UTF-8 in g_name, with '/' between components, decided
// as the engine's reader does: the UTF-8 flag, else a Unicode path extra field
// that belongs to this name, else UTF-8 that is plainly UTF-8, else CP437.
void DecodeName(const Entry& e) {
  const uint8_t* s = e.name;
  size_t n = e.name_len;
  const int kind = Utf8Kind(s, n);
  bool utf8 = kind >= 0 && (e.flags & corvid::zip::kFlagUtf8Name);
  if (!utf8) {
    uint32_t crc = corvid::zip::kCrcInit;
    for (size_t i = 0; i < n; ++i) crc = corvid::zip::Crc32Byte(crc, s[i]);
    namespace u = unicode_path_extra;
    for (size_t pos = 0; pos + extra_field::kHeaderSize <= e.extra_len;) {
      const uint8_t* block = e.extra + pos;
      size_t len = GetU16(block + extra_field::kDataSize);
      if (pos + extra_field::kHeaderSize + len > e.extra_len) break;
      if (GetU16(block + extra_field::kId) == u::kId && len >= u::kMinDataSize &&
          block[u::kVersion] == u::kCurrentVersion && GetU32(block + u::kNameCrc32) == ~crc &&
          Utf8Kind(block + u::kName, len - u::kMinDataSize) >= 0) {
        s = block + u::kName;
        n = len - u::kMinDataSize;
        utf8 = true;
        break;
      }
      pos += extra_field::kHeaderSize + len;
    }
  }
  if (kind == 1) utf8 = true;

  char* out = g_name;
  for (size_t i = 0; i < n; ++i) {
    uint8_t c = s[i];
    if (utf8 || c < 0x80) {
      *out++ = c == 0 ? '_' : c == '\\' ? '/' : static_cast<char>(c);
      continue;
    }
    uint32_t cp = corvid::zip::kCp437HighHalf[c - 0x80];
    if (cp < 0x800) {
      *out++ = static_cast<char>(0xC0 | (cp >> 6));
    } else {
      *out++ = static_cast<char>(0xE0 | (cp >> 12));
      *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    }
    *out++ = static_cast<char>(0x80 | (cp & 0x3F));
  }
  *out = 0;
}

bool IsDotName(const char* s) { return s[0] == '.' && (s[1] == 0 || (s[1] == '.' && s[2] == 0)); }

// Opens, creating as needed, every folder of `path` below the target, one
// level at a time and never through a link. Empty, "." and ".." components
// are dropped. Returns the last folder (the caller closes it unless it is
// g_root) and points `*leaf` at the last component; -1 with errno on failure.
int OpenFolders(char* path, char** leaf) {
  if (path[0] != 0 && path[1] == ':') path += 2;  // a drive prefix
  int dir = g_root;
  for (;;) {
    char* slash = strchr(path, '/');
    if (!slash) break;
    *slash = 0;
    if (*path != 0 && !IsDotName(path)) {
      int next = -1;
      if (mkdirat(dir, path, 0777) == 0 || errno == EEXIST)
        next = openat(dir, path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      int saved = errno;
      if (dir != g_root) close(dir);
      errno = saved;
      if (next < 0) return -1;
      dir = next;
    }
    path = slash + 1;
  }
  *leaf = path;
  return dir;
}

// --- Passwords --------------------------------------------------------------

// Reads one line into g_password: from the terminal with echo off, or from
// standard input when there is no terminal. False for an empty answer (the
// user skips the entry) or the end of input.
bool AskPassword(const char* name) {
  fflush(stdout);
  const int tty = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  const int in = tty >= 0 ? tty : 0;
  const int out = tty >= 0 ? tty : 2;
  dprintf(out, "%s is encrypted.\nPassword: ", name);
  if (tty >= 0 && tcgetattr(tty, &g_tty_mode) == 0) {
    struct termios quiet = g_tty_mode;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL);
    g_tty = tty;
    tcsetattr(tty, TCSAFLUSH, &quiet);
  }
  int len = 0;
  for (;;) {
    char c;
    ssize_t got = read(in, &c, 1);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      g_input_ended = true;
      break;
    }
    if (c == '\n') break;
    if (len < static_cast<int>(sizeof g_password)) g_password[len++] = c;
  }
  if (g_tty >= 0) {
    tcsetattr(tty, TCSAFLUSH, &g_tty_mode);
    g_tty = -1;
  }
  dprintf(out, "\n");  // the answer was not echoed
  if (tty >= 0) close(tty);
  if (len > 0 && g_password[len - 1] == '\r') --len;
  g_password_len = len;
  return len > 0;
}

// Sets up g_cipher for an entry whose 12-byte header is at `header`: the
// password must decrypt its last byte to `check`. Keeps the last good
// password for the next entries and asks again when it does not fit.
bool Unlock(const char* name, const uint8_t* header, uint8_t check, int& attempts) {
  for (;;) {
    if (g_password_len >= 0) {
      g_cipher.Init(std::string_view(g_password, static_cast<size_t>(g_password_len)));
      uint8_t plain[corvid::zip::kEncryptionHeaderBytes];
      memcpy(plain, header, sizeof plain);
      g_cipher.DecryptBuffer(plain, sizeof plain);
      if (plain[11] == check) return true;
      if (attempts > 0) Report(name, "wrong password");
      g_password_len = -1;
    }
    if (g_input_ended || attempts >= kPasswordAttempts) return false;
    ++attempts;
    if (!AskPassword(name)) return false;
  }
}

void NoteLocked(const char* name) {
  size_t n = strlen(name);
  char* grown = static_cast<char*>(realloc(g_locked, g_locked_len + n + 4));
  if (!grown) return;
  g_locked = grown;
  memcpy(g_locked + g_locked_len, "  ", 2);
  memcpy(g_locked + g_locked_len + 2, name, n);
  g_locked_len += n + 3;
  g_locked[g_locked_len - 1] = '\n';
  g_locked[g_locked_len] = 0;
}

// --- Extraction -------------------------------------------------------------

bool WriteAll(void* context, const uint8_t* data, size_t size) {
  const int fd = *static_cast<int*>(context);
  while (size != 0) {
    ssize_t done = write(fd, data, size);
    if (done < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += done;
    size -= static_cast<size_t>(done);
  }
  return true;
}

// Outcomes of writing one entry beyond those of the decoder.
constexpr int kCreateFailed = 100;
constexpr int kReplaceFailed = 101;

// Decodes the entry into a fresh temporary file in `dir` and renames it to
// `leaf` when it is complete and correct; otherwise removes it. errno is kept
// for the I/O outcomes.
int WriteEntry(int dir, const char* leaf, const Entry& e, const uint8_t* in, size_t in_size,
               corvid::zip::TZipCipher* cipher) {
  int fd = -1;
  for (unsigned i = 0; fd < 0; ++i) {
    snprintf(g_tmp, sizeof g_tmp, ".corvid-sfx-%d-%u.tmp", static_cast<int>(getpid()), i);
    g_tmp_dir = dir;
    fd = openat(dir, g_tmp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) {
      g_tmp_dir = -1;
      return kCreateFailed;
    }
  }
  int result = static_cast<int>(g_unpacker.Unpack(e.method, in, in_size, cipher, e.usize, e.crc, WriteAll, &fd));
  int saved = errno;
  if (result == static_cast<int>(UnpackResult::Ok)) {
    const mode_t mode = (e.ext_attr >> 16) & 0777;
    if ((e.made_by >> 8) == 3 && mode != 0) fchmod(fd, mode & ~g_umask);  // made on Unix
    if (e.date != 0) {
      struct tm when = {};
      when.tm_year = ((e.date >> 9) & 0x7F) + 80;
      when.tm_mon = ((e.date >> 5) & 0x0F) - 1;
      when.tm_mday = e.date & 0x1F;
      when.tm_hour = e.time >> 11;
      when.tm_min = (e.time >> 5) & 0x3F;
      when.tm_sec = (e.time & 0x1F) * 2;
      when.tm_isdst = -1;  // a DOS stamp is local time
      struct timespec times[2] = {{mktime(&when), 0}, {0, 0}};
      times[1] = times[0];
      futimens(fd, times);
    }
    if (close(fd) != 0) {
      saved = errno;
      result = static_cast<int>(UnpackResult::WriteFailed);
    } else if (renameat(dir, g_tmp, dir, leaf) != 0) {
      saved = errno;
      result = kReplaceFailed;
    }
    fd = -1;
  }
  if (fd >= 0) close(fd);
  if (result != static_cast<int>(UnpackResult::Ok)) unlinkat(dir, g_tmp, 0);
  g_tmp_dir = -1;
  errno = saved;
  return result;
}

const char* Describe(int result) {
  switch (result) {
    case static_cast<int>(UnpackResult::TooLong): return "more data than its stated size; the file was not kept";
    case static_cast<int>(UnpackResult::SizeMismatch): return "less data than its stated size; the file was not kept";
    case static_cast<int>(UnpackResult::BadCrc): return "CRC error; the file was not kept";
    case static_cast<int>(UnpackResult::WriteFailed): return "cannot write the file";
    case kCreateFailed: return "cannot create the file";
    case kReplaceFailed: return "cannot replace the existing file";
    default: return "damaged compressed data; the file was not kept";
  }
}

// Extracts one entry into the target folder. False when it failed (already
// reported).
bool Extract(const Entry& e) {
  const char* name = Shown(g_name);
  size_t name_len = strlen(g_name);
  memcpy(g_path, g_name, name_len + 1);
  // Control characters never reach a name on disk.
  for (size_t i = 0; i < name_len; ++i) {
    const uint8_t c = static_cast<uint8_t>(g_path[i]);
    if (c < 0x20 || c == 0x7F) g_path[i] = '_';
  }
  const bool folder = name_len == 0 || g_name[name_len - 1] == '/';

  const uint8_t* data = nullptr;
  if (!folder) {
    if (e.method != 0 && e.method != 8) {
      char why[64];
      snprintf(why, sizeof why, "compression method %u is not supported", e.method);
      Report(name, "skipped", why);
      return false;
    }
    if (e.flags & corvid::zip::kFlagStrongEncryption) {
      Report(name, "skipped", "strong encryption is not supported");
      return false;
    }
    if (e.csize == zip64_extra::kMarker32 || e.usize == zip64_extra::kMarker32 || e.local == zip64_extra::kMarker32) {
      Report(name, "skipped", "entries of 4 GiB and more are not supported");
      return false;
    }
    const uint64_t local = g_base + e.local;
    const uint8_t* header = g_file + local;
    if (local + local_header::kSize > g_size || GetU32(header) != local_header::kSignature) {
      Report(name, "damaged archive: its local header is missing");
      return false;
    }
    const uint64_t start = local + local_header::kSize + GetU16(header + local_header::kFileNameLength) +
                           GetU16(header + local_header::kExtraFieldLength);
    if (start + e.csize > g_size) {
      Report(name, "damaged archive: its data runs past the end");
      return false;
    }
    data = g_file + start;
  }

  char* leaf;
  const int dir = OpenFolders(g_path, &leaf);
  if (dir < 0) {
    Report(name, "cannot create its folder", errno == ELOOP ? "a link is in the way" : strerror(errno));
    return false;
  }
  bool ok = true;
  if (!folder && *leaf != 0) {
    char underscore[] = "_";
    if (IsDotName(leaf)) leaf = underscore;
    const bool encrypted = e.flags & corvid::zip::kFlagEncrypted;
    const uint8_t check =
        corvid::zip::PasswordCheckByte(e.flags, e.crc, static_cast<uint32_t>(e.date) << 16 | e.time);
    int attempts = 0;
    for (;;) {
      const uint8_t* in = data;
      size_t in_size = e.csize;
      corvid::zip::TZipCipher* cipher = nullptr;
      if (encrypted) {
        if (in_size < corvid::zip::kEncryptionHeaderBytes) {
          Report(name, "damaged archive: its encryption header is cut short");
          ok = false;
          break;
        }
        if (!Unlock(name, data, check, attempts)) {
          NoteLocked(name);
          ok = false;
          break;
        }
        in += corvid::zip::kEncryptionHeaderBytes;
        in_size -= corvid::zip::kEncryptionHeaderBytes;
        cipher = &g_cipher;
      }
      const int result = WriteEntry(dir, leaf, e, in, in_size, cipher);
      if (result == static_cast<int>(UnpackResult::Ok)) break;
      if (result < static_cast<int>(UnpackResult::WriteFailed) && encrypted) {
        // The check byte lets one wrong password in 256 through.
        Report(name, "wrong password or damaged data");
        g_password_len = -1;
        continue;
      }
      Report(name, Describe(result),
             result >= static_cast<int>(UnpackResult::WriteFailed) ? strerror(errno) : nullptr);
      ok = false;
      break;
    }
  }
  if (dir != g_root) close(dir);
  if (ok) printf("  %s\n", name);
  return ok;
}

void List(const Entry& e) {
  printf("%10u  %04u-%02u-%02u %02u:%02u  %s%s\n", e.usize, ((e.date >> 9) & 0x7F) + 1980u, (e.date >> 5) & 0x0Fu,
         e.date & 0x1Fu, e.time >> 11u, (e.time >> 5) & 0x3Fu, Shown(g_name),
         (e.flags & corvid::zip::kFlagEncrypted) ? "  (encrypted)" : "");
}

int Usage(FILE* to, int status) {
  fprintf(to,
          "Usage: %s [-d DIR] [-l]\n"
          "Extracts the archive in this program into DIR (default: the current folder).\n"
          "  -d DIR  extract into DIR, creating it when needed\n"
          "  -l      list the archive's entries instead\n",
          g_program);
  return status;
}

// Creates `dir` and its missing parents, then opens it as the target.
bool OpenTarget(const char* dir) {
  size_t n = strlen(dir);
  if (n == 0 || n >= sizeof g_path) return false;
  memcpy(g_path, dir, n + 1);
  for (char* p = g_path + 1; *p != 0; ++p) {
    if (*p != '/') continue;
    *p = 0;
    mkdir(g_path, 0777);
    *p = '/';
  }
  mkdir(g_path, 0777);
  g_root = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  return g_root >= 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 0 && argv[0] != nullptr) {
    const char* slash = strrchr(argv[0], '/');
    g_program = slash ? slash + 1 : argv[0];
  }
  const char* target = ".";
  bool list = false;
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    if (strcmp(a, "-l") == 0) {
      list = true;
    } else if (strcmp(a, "-d") == 0 && i + 1 < argc) {
      target = argv[++i];
    } else if (strncmp(a, "-d", 2) == 0 && a[2] != 0) {
      target = a + 2;
    } else if (strcmp(a, "-h") == 0 || strcmp(a, "--help") == 0) {
      return Usage(stdout, 0);
    } else {
      return Usage(stderr, 2);
    }
  }

  int self = open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
  if (self < 0 && argc > 0 && strchr(argv[0], '/')) self = open(argv[0], O_RDONLY | O_CLOEXEC);
  struct stat st;
  void* map = MAP_FAILED;
  if (self >= 0 && fstat(self, &st) == 0 && st.st_size > 0)
    map = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_PRIVATE, self, 0);
  if (map == MAP_FAILED) {
    fprintf(stderr, "%s: cannot read this program's own file: %s\n", g_program, strerror(errno));
    return 1;
  }
  close(self);
  g_file = static_cast<const uint8_t*>(map);
  g_size = static_cast<uint64_t>(st.st_size);

  const uint8_t* cd;
  const uint8_t* cd_end;
  if (!FindArchive(&cd, &cd_end)) {
    fprintf(stderr, "%s: no archive is attached to this program, or it is damaged\n", g_program);
    return 1;
  }

  if (!list) {
    if (!OpenTarget(target)) {
      fprintf(stderr, "%s: cannot open the folder %s: %s\n", g_program, target, strerror(errno));
      return 1;
    }
    g_umask = umask(0);
    umask(g_umask);
    signal(SIGINT, OnSignal);
    signal(SIGTERM, OnSignal);
    signal(SIGHUP, OnSignal);
  }

  unsigned entries = 0, failed = 0;
  uint64_t total = 0;
  for (const uint8_t* p = cd; p < cd_end;) {
    const size_t left = static_cast<size_t>(cd_end - p);
    namespace f = central_header;
    if (left < static_cast<size_t>(f::kSize) || GetU32(p) != f::kSignature ||
        left < f::kSize + static_cast<size_t>(GetU16(p + f::kFileNameLength)) + GetU16(p + f::kExtraFieldLength) +
                   GetU16(p + f::kFileCommentLength)) {
      fprintf(stderr, "%s: the archive's directory is damaged after %u entries\n", g_program, entries);
      ++failed;
      break;
    }
    Entry e;
    e.made_by = GetU16(p + f::kVersionMadeBy);
    e.flags = GetU16(p + f::kBitFlag);
    e.method = GetU16(p + f::kCompressionMethod);
    e.time = GetU16(p + f::kLastModTime);
    e.date = GetU16(p + f::kLastModDate);
    e.crc = GetU32(p + f::kCrc32);
    e.csize = GetU32(p + f::kCompressedSize);
    e.usize = GetU32(p + f::kUncompressedSize);
    e.name_len = GetU16(p + f::kFileNameLength);
    e.extra_len = GetU16(p + f::kExtraFieldLength);
    e.ext_attr = GetU32(p + f::kExternalAttributes);
    e.local = GetU32(p + f::kRelativeOffset);
    e.name = p + f::kSize;
    e.extra = e.name + e.name_len;
    p = e.extra + e.extra_len + GetU16(p + f::kFileCommentLength);
    ++entries;
    total += e.usize;
    DecodeName(e);
    if (list) {
      List(e);
    } else if (!Extract(e)) {
      ++failed;
    }
  }

  if (list) {
    printf("%10llu  %u entries\n", static_cast<unsigned long long>(total), entries);
  } else {
    fflush(stdout);
    if (g_locked) fprintf(stderr, "%s: no password opened these entries:\n%s", g_program, g_locked);
    if (failed) fprintf(stderr, "%s: %u of %u entries could not be extracted\n", g_program, failed, entries);
  }
  return failed ? 1 : 0;
}
