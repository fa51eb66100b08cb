// A tiny archive builder for tests, and the file helpers the archive tests
// share.
//
// ZipBuilder lays out local records, data, central records and the end
// record exactly as told; every field that a reader must distrust can be set
// wrong on purpose, and the layout it reports lets a test damage the bytes
// further (flip a data byte, cut the archive). Deflated data comes from zlib,
// so the reader is checked against an independent encoder.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "zip/crc32.h"
#include "zip/zip_cipher.h"

namespace corvid::testutil {

using Bytes = std::vector<uint8_t>;

inline Bytes ToBytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

// Reproducible incompressible bytes.
inline Bytes RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 gen(seed);
  Bytes out(n);
  for (auto& b : out) b = static_cast<uint8_t>(gen());
  return out;
}

// Raw Deflate (no zlib header) at `level`.
inline Bytes Deflate(const Bytes& data, int level) {
  z_stream z{};
  if (deflateInit2(&z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    throw std::runtime_error("deflateInit2 failed");
  Bytes out(deflateBound(&z, static_cast<uLong>(data.size())) + 16);
  z.next_in = const_cast<Bytef*>(data.data());
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  int rc = deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  if (rc != Z_STREAM_END) throw std::runtime_error("deflate did not finish");
  return out;
}

inline uint32_t CrcOf(const Bytes& data) { return zip::Crc32(data.data(), data.size()); }

// 2021-06-15 12:34:56 as a DOS stamp.
inline constexpr uint32_t kDosStamp =
    (28u / 2) | (34u << 5) | (12u << 11) | (15u << 16) | (6u << 21) | ((2021u - 1980u) << 25);

struct ZipEntry {
  std::string name{};  // stored bytes, '/' as separator
  Bytes data{};
  uint16_t method = 0;  // 0 stored, 8 deflated; anything else stores `data` as is
  int level = 6;
  std::string password{};   // traditional encryption when not empty
  bool descriptor = false;  // bit 3: local CRC and sizes 0, a descriptor after the data
  uint16_t flags = 0;       // further general purpose bits (0x800: UTF-8 name)
  uint32_t dos_time = kDosStamp;
  std::string comment{};
  std::string extra{};  // the same extra field in the local and the central record
  uint16_t disk = 0;    // volume that holds the local record and data
  uint16_t version_made_by = 20;
  uint32_t external_attributes = 32;

  // Wrong on purpose. CRC and sizes go to both records (and the descriptor).
  std::optional<uint32_t> crc{};
  std::optional<uint32_t> compressed_size{};
  std::optional<uint32_t> uncompressed_size{};
  std::optional<uint32_t> local_signature{};
  std::optional<std::string> central_name{};
  std::optional<uint32_t> offset{};        // local record offset in the central record
  std::optional<uint16_t> central_disk{};  // disk number in the central record
};

// Where the builder put each entry's pieces, within the entry's volume.
struct EntryLayout {
  uint16_t disk = 0;
  size_t local = 0;
  size_t data = 0;  // first byte after the local record (the encryption header if any)
  size_t data_size = 0;
  size_t central = 0;  // within the last volume
};

struct BuiltZip {
  std::vector<Bytes> volumes;  // the last one holds the central directory
  std::vector<EntryLayout> entries;
  size_t central_start = 0;
  size_t end_record = 0;
  Bytes& bytes() { return volumes.back(); }
};

class ZipBuilder {
 public:
  ZipBuilder& Add(ZipEntry entry) {
    entries_.push_back(std::move(entry));
    return *this;
  }
  ZipBuilder& Stored(std::string name, Bytes data) {
    return Add({.name = std::move(name), .data = std::move(data), .method = 0});
  }
  ZipBuilder& Deflated(std::string name, Bytes data, int level = 6) {
    return Add({.name = std::move(name), .data = std::move(data), .method = 8, .level = level});
  }

  std::string comment;
  Bytes prefix;  // written before the first local record; offsets do not count it
  // Wrong on purpose: the end record's fields.
  std::optional<uint32_t> central_offset;
  std::optional<uint16_t> total_entries;
  std::optional<uint16_t> this_disk;
  std::optional<uint32_t> end_signature;
  bool omit_end_record = false;
  // Order of the central records by entry index (default: as added).
  std::vector<size_t> central_order;

  Bytes Build() const { return BuildVolumes().volumes.back(); }

  BuiltZip BuildVolumes() const {
    uint16_t last = 0;
    for (const ZipEntry& e : entries_) last = std::max(last, e.disk);
    BuiltZip out;
    out.volumes.resize(last + 1u);
    out.volumes[0] = prefix;
    std::vector<Bytes> centrals;
    for (const ZipEntry& e : entries_) {
      Bytes& vol = out.volumes[e.disk];
      size_t base = e.disk == 0 ? prefix.size() : 0;
      Bytes payload = e.method == 8 ? Deflate(e.data, e.level) : e.data;
      uint32_t crc = e.crc.value_or(CrcOf(e.data));
      if (!e.password.empty()) payload = Encrypt(e, payload, crc);
      uint16_t flags = static_cast<uint16_t>(e.flags | (e.password.empty() ? 0 : 1) |
                                             (e.descriptor ? 8 : 0));
      uint32_t csize = e.compressed_size.value_or(static_cast<uint32_t>(payload.size()));
      uint32_t usize = e.uncompressed_size.value_or(static_cast<uint32_t>(e.data.size()));

      EntryLayout layout;
      layout.disk = e.disk;
      layout.local = vol.size();
      uint32_t offset = static_cast<uint32_t>(vol.size() - base);
      Put32(vol, e.local_signature.value_or(0x04034B50));
      Put16(vol, 20);
      Put16(vol, flags);
      Put16(vol, e.method);
      Put32(vol, e.dos_time);
      Put32(vol, e.descriptor ? 0 : crc);
      Put32(vol, e.descriptor ? 0 : csize);
      Put32(vol, e.descriptor ? 0 : usize);
      Put16(vol, static_cast<uint16_t>(e.name.size()));
      Put16(vol, static_cast<uint16_t>(e.extra.size()));
      Append(vol, e.name);
      Append(vol, e.extra);
      layout.data = vol.size();
      layout.data_size = payload.size();
      vol.insert(vol.end(), payload.begin(), payload.end());
      if (e.descriptor) {
        Put32(vol, 0x08074B50);
        Put32(vol, crc);
        Put32(vol, csize);
        Put32(vol, usize);
      }

      Bytes c;
      std::string cname = e.central_name.value_or(e.name);
      Put32(c, 0x02014B50);
      Put16(c, e.version_made_by);
      Put16(c, 20);
      Put16(c, flags);
      Put16(c, e.method);
      Put32(c, e.dos_time);
      Put32(c, crc);
      Put32(c, csize);
      Put32(c, usize);
      Put16(c, static_cast<uint16_t>(cname.size()));
      Put16(c, static_cast<uint16_t>(e.extra.size()));
      Put16(c, static_cast<uint16_t>(e.comment.size()));
      Put16(c, e.central_disk.value_or(e.disk));
      Put16(c, 0);
      Put32(c, e.external_attributes);
      Put32(c, e.offset.value_or(offset));
      Append(c, cname);
      Append(c, e.extra);
      Append(c, e.comment);
      centrals.push_back(std::move(c));
      out.entries.push_back(layout);
    }
    Bytes& vol = out.volumes.back();
    size_t base = last == 0 ? prefix.size() : 0;
    out.central_start = vol.size();
    std::vector<size_t> order = central_order;
    if (order.empty())
      for (size_t i = 0; i < centrals.size(); ++i) order.push_back(i);
    for (size_t i : order) {
      out.entries[i].central = vol.size();
      vol.insert(vol.end(), centrals[i].begin(), centrals[i].end());
    }
    uint32_t central_size = static_cast<uint32_t>(vol.size() - out.central_start);
    out.end_record = vol.size();
    if (omit_end_record) return out;
    uint16_t count = total_entries.value_or(static_cast<uint16_t>(entries_.size()));
    Put32(vol, end_signature.value_or(0x06054B50));
    Put16(vol, this_disk.value_or(last));
    Put16(vol, last);
    Put16(vol, count);
    Put16(vol, count);
    Put32(vol, central_size);
    Put32(vol, central_offset.value_or(static_cast<uint32_t>(out.central_start - base)));
    Put16(vol, static_cast<uint16_t>(comment.size()));
    Append(vol, comment);
    return out;
  }

  static void Put16(Bytes& b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
  }
  static void Put32(Bytes& b, uint32_t v) {
    Put16(b, static_cast<uint16_t>(v));
    Put16(b, static_cast<uint16_t>(v >> 16));
  }

 private:
  static void Append(Bytes& b, const std::string& s) { b.insert(b.end(), s.begin(), s.end()); }

  // The 12-byte header (check byte from the CRC, or from the DOS time when a
  // descriptor follows), then the data, all under the running key state.
  static Bytes Encrypt(const ZipEntry& e, const Bytes& payload, uint32_t crc) {
    zip::TZipCipher cipher;
    cipher.Init(e.password);
    Bytes out = RandomBytes(12, crc ^ 0x5EED);
    out[10] = static_cast<uint8_t>(e.descriptor ? e.dos_time : crc >> 16);
    out[11] = zip::PasswordCheckByte(e.descriptor ? 8 : 0, crc, e.dos_time);
    out.insert(out.end(), payload.begin(), payload.end());
    cipher.EncryptBuffer(out.data(), out.size());
    return out;
  }

  std::vector<ZipEntry> entries_;
};

// --- Files -------------------------------------------------------------------

inline Bytes ReadFileBytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) throw std::runtime_error("cannot read " + path);
  return Bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

inline void WriteFileBytes(const std::string& path, const Bytes& data) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  if (!f) throw std::runtime_error("cannot write " + path);
}

inline bool PathExists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

// Every regular file and folder below `root`, by relative path ('/'-separated;
// folders end in '/'), with the bytes of the files. Links are listed as "->".
inline std::map<std::string, Bytes> TreeOf(const std::string& root, const std::string& rel = "") {
  std::map<std::string, Bytes> tree;
  DIR* dir = ::opendir((root + "/" + rel).c_str());
  if (dir == nullptr) return tree;
  while (dirent* d = ::readdir(dir)) {
    std::string name = d->d_name;
    if (name == "." || name == "..") continue;
    std::string path = rel.empty() ? name : rel + "/" + name;
    struct stat st;
    ::lstat((root + "/" + path).c_str(), &st);
    if (S_ISDIR(st.st_mode)) {
      tree[path + "/"] = {};
      for (auto& [k, v] : TreeOf(root, path)) tree[k] = std::move(v);
    } else if (S_ISLNK(st.st_mode)) {
      tree[path] = ToBytes("->");
    } else {
      tree[path] = ReadFileBytes(root + "/" + path);
    }
  }
  ::closedir(dir);
  return tree;
}

// A fresh folder below $TMPDIR (or /tmp), removed with everything in it.
class TempDir {
 public:
  TempDir() {
    const char* tmp = std::getenv("TMPDIR");
    std::string base = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
    ::mkdir(base.c_str(), 0777);
    std::string pattern = base + "/corvid-zip-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed in " + base);
    path_ = pattern;
  }
  ~TempDir() {
    ::nftw(
        path_.c_str(),
        [](const char* p, const struct stat*, int flag, struct FTW*) {
          if (flag == FTW_DP) ::rmdir(p);
          else ::unlink(p);
          return 0;
        },
        16, FTW_DEPTH | FTW_PHYS);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }

 private:
  std::string path_;
};

// Runs a shell command; returns its exit status (-1 when it could not run).
inline int Shell(const std::string& command) {
  int rc = std::system(command.c_str());
  return rc == -1 ? -1 : WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

inline bool HaveProgram(const std::string& name) {
  return Shell("command -v " + name + " >/dev/null 2>&1") == 0;
}

}  // namespace corvid::testutil
