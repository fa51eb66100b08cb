// Races Inflate and CRC-32 against zlib and libdeflate on the same workloads in
// one process and prints MB/s and the ratios.
//
// Workloads (each up to 4 MiB) are found on the machine at run time, with a
// generated stand-in where nothing fits: English text, C/C++ source, an
// executable, and incompressible random bytes. Each is compressed once with
// zlib level 6 raw Deflate. Inflate is driven the way the reader drives it:
// input handed out in chunks of at most 16000 bytes, output copied into a
// buffer of the declared size, one workspace for the whole run. zlib is timed
// twice: in its best case, one inflate call over the whole buffers, and driven
// as the reader would drive it, with the same copies in and out (input copied
// in chunks of 16000 bytes, output through a 64 KiB buffer). Every decoder's
// output is compared with the original before anything is timed.
//
// Usage: inflate_bench [runs]   (best of `runs`, default 9)
#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "zip/crc32.h"
#include "zip/decoder.h"
#include "zip/errors.h"

namespace {

using corvid::zip::DecodeInput;
using corvid::zip::DecodeOutput;
using corvid::zip::DecodeWorkspace;
using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

constexpr size_t kWorkloadBytes = 4u << 20;

void AppendFile(const fs::path& path, Bytes& out, size_t limit) {
  std::ifstream file(path, std::ios::binary);
  char buf[65536];
  while (out.size() < limit && file.read(buf, sizeof(buf)).gcount() > 0)
    out.insert(out.end(), buf, buf + std::min<size_t>(file.gcount(), limit - out.size()));
}

// Regular files below `roots` whose names end in one of `suffixes`, in a fixed order.
std::vector<fs::path> FindFiles(const std::vector<std::string>& roots, const std::vector<std::string>& suffixes) {
  std::vector<fs::path> found;
  for (const auto& root : roots) {
    std::error_code ec;
    if (!fs::exists(root, ec)) continue;
    for (auto it = fs::recursive_directory_iterator(root, fs::directory_options::skip_permission_denied, ec);
         it != fs::recursive_directory_iterator(); it.increment(ec)) {
      if (ec || !it->is_regular_file(ec)) continue;
      std::string name = it->path().filename().string();
      for (const auto& suffix : suffixes)
        if (name.size() >= suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
          found.push_back(it->path());
          break;
        }
    }
  }
  std::sort(found.begin(), found.end());
  return found;
}

Bytes Gather(const std::vector<fs::path>& files) {
  Bytes out;
  for (const auto& f : files) {
    if (out.size() >= kWorkloadBytes) break;
    AppendFile(f, out, kWorkloadBytes);
  }
  return out;
}

Bytes GeneratedText(uint32_t seed) {
  static const char* const kWords[] = {"the ", "of ", "and ", "a ", "to ", "in ", "is ", "you ", "that ", "it ",
                                       "he ", "was ", "for ", "on ", "are ", "as ", "with ", "his ", "they ",
                                       "archive ", "message ", "folder ", "attachment ", "between ", "however, ",
                                       "received ", "important ", "question. ", "answer.\n", "Perhaps "};
  std::mt19937 rng(seed);
  std::geometric_distribution<int> pick(0.12);
  Bytes out;
  while (out.size() < kWorkloadBytes) {
    const char* w = kWords[pick(rng) % 30];
    out.insert(out.end(), w, w + std::strlen(w));
  }
  out.resize(kWorkloadBytes);
  return out;
}

struct Workload {
  std::string name;
  std::string source;
  Bytes data;
};

std::vector<Workload> BuildWorkloads() {
  std::vector<Workload> w;

  Bytes text = Gather(FindFiles({"/usr/share/common-licenses", "/usr/share/vim"}, {".txt", "GPL-3", "GPL-2",
                                                                                    "LGPL-2.1", "Apache-2.0"}));
  if (text.size() >= kWorkloadBytes / 2)
    w.push_back({"text", "licenses + editor manuals", std::move(text)});
  else
    w.push_back({"text", "generated words", GeneratedText(1)});

  const std::string engine_dir = (fs::path(__FILE__).parent_path().parent_path() / "zip").string();
  auto sources = FindFiles({engine_dir}, {".h", ".cpp"});
  auto headers = FindFiles({"/usr/include/c++", "/usr/include"}, {".h", ".hpp", ".tcc"});
  sources.insert(sources.end(), headers.begin(), headers.end());
  Bytes code = Gather(sources);
  if (code.size() >= kWorkloadBytes / 2) w.push_back({"source", "engine sources + system headers", std::move(code)});

  for (const char* exe : {"/usr/bin/cmake", "/usr/bin/gdb", "/usr/lib/x86_64-linux-gnu/libLLVM-14.so.1",
                          "/usr/bin/python3"}) {
    std::error_code ec;
    if (fs::file_size(exe, ec) < kWorkloadBytes || ec) continue;
    Bytes bin;
    AppendFile(exe, bin, kWorkloadBytes);
    w.push_back({"executable", exe, std::move(bin)});
    break;
  }

  Bytes random(kWorkloadBytes);
  std::mt19937_64 rng(42);
  for (size_t i = 0; i < random.size(); i += 8) {
    uint64_t v = rng();
    std::memcpy(&random[i], &v, 8);
  }
  w.push_back({"random", "mt19937_64", std::move(random)});
  return w;
}

Bytes ZlibDeflateRaw(const Bytes& data, int level) {
  z_stream zs{};
  deflateInit2(&zs, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  Bytes out(deflateBound(&zs, data.size()));
  zs.next_in = const_cast<uint8_t*>(data.data());
  zs.avail_in = static_cast<uInt>(data.size());
  zs.next_out = out.data();
  zs.avail_out = static_cast<uInt>(out.size());
  if (deflate(&zs, Z_FINISH) != Z_STREAM_END) std::abort();
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}

class ChunkedInput : public DecodeInput {
 public:
  explicit ChunkedInput(const Bytes& data) : data_(data) {}
  size_t Read(uint8_t* buf, size_t capacity) override {
    size_t n = std::min({capacity, DecodeWorkspace::kInputChunk, data_.size() - at_});
    std::memcpy(buf, data_.data() + at_, n);
    at_ += n;
    return n;
  }

 private:
  const Bytes& data_;
  size_t at_ = 0;
};

class SizedOutput : public DecodeOutput {
 public:
  explicit SizedOutput(Bytes& target) : target_(target) {}
  void Write(const uint8_t* data, size_t n) override {
    if (n > target_.size() - at_)
      throw corvid::zip::EBiggerThanUncompressed(corvid::zip::kMsgBiggerThanUncompressed);
    std::memcpy(target_.data() + at_, data, n);
    at_ += n;
  }
  size_t written() const { return at_; }

 private:
  Bytes& target_;
  size_t at_ = 0;
};

double BestSeconds(int runs, const std::function<void()>& fn) {
  double best = 1e30;
  for (int i = 0; i < runs; ++i) {
    auto start = std::chrono::steady_clock::now();
    fn();
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    best = std::min(best, took.count());
  }
  return best;
}

double MBps(size_t nbytes, double seconds) { return static_cast<double>(nbytes) / 1e6 / seconds; }

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 9;
  std::vector<Workload> workloads = BuildWorkloads();
  DecodeWorkspace ws;
  libdeflate_decompressor* ld = libdeflate_alloc_decompressor();

  std::printf("Inflate, MB/s of output, best of %d (zlib %s, zlib level 6 raw Deflate input)\n", runs, zlibVersion());
  std::printf("%-11s %9s %7s %9s %9s %9s %11s %10s %10s %10s\n", "workload", "bytes", "comp%", "corvid", "zlib",
              "zlib-chnk", "libdeflate", "vs zlib", "vs chunked", "vs libdefl");
  bool all_ok = true;
  for (const Workload& w : workloads) {
    const Bytes compressed = ZlibDeflateRaw(w.data, 6);
    Bytes out(w.data.size());

    auto run_corvid = [&] {
      ChunkedInput in(compressed);
      SizedOutput sink(out);
      corvid::zip::Inflate(in, sink, ws);
    };
    auto run_zlib = [&] {
      z_stream zs{};
      inflateInit2(&zs, -15);
      zs.next_in = const_cast<uint8_t*>(compressed.data());
      zs.avail_in = static_cast<uInt>(compressed.size());
      zs.next_out = out.data();
      zs.avail_out = static_cast<uInt>(out.size());
      if (inflate(&zs, Z_FINISH) != Z_STREAM_END) std::abort();
      inflateEnd(&zs);
    };
    auto run_zlib_chunked = [&] {
      static uint8_t in_chunk[DecodeWorkspace::kInputChunk];
      static uint8_t out_piece[65536];
      z_stream zs{};
      inflateInit2(&zs, -15);
      size_t in_at = 0, out_at = 0;
      int rc = Z_OK;
      while (rc != Z_STREAM_END) {
        if (zs.avail_in == 0) {
          size_t n = std::min(DecodeWorkspace::kInputChunk, compressed.size() - in_at);
          std::memcpy(in_chunk, compressed.data() + in_at, n);
          in_at += n;
          zs.next_in = in_chunk;
          zs.avail_in = static_cast<uInt>(n);
        }
        zs.next_out = out_piece;
        zs.avail_out = sizeof(out_piece);
        rc = inflate(&zs, Z_NO_FLUSH);
        if (rc != Z_OK && rc != Z_STREAM_END) std::abort();
        size_t produced = sizeof(out_piece) - zs.avail_out;
        std::memcpy(out.data() + out_at, out_piece, produced);
        out_at += produced;
      }
      inflateEnd(&zs);
    };
    auto run_libdeflate = [&] {
      size_t actual = 0;
      if (libdeflate_deflate_decompress(ld, compressed.data(), compressed.size(), out.data(), out.size(), &actual) !=
          LIBDEFLATE_SUCCESS)
        std::abort();
    };

    // Same output from all three before any timing.
    std::fill(out.begin(), out.end(), 0);
    run_corvid();
    if (out != w.data) {
      std::printf("%-11s corvid output differs!\n", w.name.c_str());
      all_ok = false;
    }
    std::fill(out.begin(), out.end(), 0);
    run_zlib();
    if (out != w.data) std::abort();
    std::fill(out.begin(), out.end(), 0);
    run_zlib_chunked();
    if (out != w.data) std::abort();
    std::fill(out.begin(), out.end(), 0);
    run_libdeflate();
    if (out != w.data) std::abort();

    double t_corvid = 1e30, t_zlib = 1e30, t_zlib_chunked = 1e30, t_ld = 1e30;
    for (int round = 0; round < runs; ++round) {  // interleaved, so drift hits all alike
      t_corvid = std::min(t_corvid, BestSeconds(1, run_corvid));
      t_zlib = std::min(t_zlib, BestSeconds(1, run_zlib));
      t_zlib_chunked = std::min(t_zlib_chunked, BestSeconds(1, run_zlib_chunked));
      t_ld = std::min(t_ld, BestSeconds(1, run_libdeflate));
    }
    const size_t n = w.data.size();
    std::printf("%-11s %9zu %6.1f%% %9.0f %9.0f %9.0f %11.0f %10.2f %10.2f %10.2f   (%s)\n", w.name.c_str(), n,
                100.0 * static_cast<double>(compressed.size()) / static_cast<double>(n), MBps(n, t_corvid),
                MBps(n, t_zlib), MBps(n, t_zlib_chunked), MBps(n, t_ld), t_zlib / t_corvid,
                t_zlib_chunked / t_corvid, t_ld / t_corvid, w.source.c_str());
  }
  libdeflate_free_decompressor(ld);

  // CRC-32 over all workloads back to back, in one call and in the 64 KiB
  // pieces the reader checks as it writes.
  Bytes all;
  for (const Workload& w : workloads) all.insert(all.end(), w.data.begin(), w.data.end());
  std::printf("\nCRC-32, MB/s, best of %d\n", runs);
  std::printf("%-22s %9s %10s %10s %11s %12s\n", "case", "bytes", "corvid", "zlib", "libdeflate", "corvid/zlib");
  for (size_t piece : {all.size(), size_t{65536}, size_t{4096}}) {
    uint32_t c_corvid = 0, c_zlib = 0, c_ld = 0;
    auto run_corvid = [&] {
      uint32_t v = corvid::zip::kCrcInit;
      for (size_t at = 0; at < all.size(); at += piece)
        v = corvid::zip::Crc32Update(v, all.data() + at, std::min(piece, all.size() - at));
      c_corvid = ~v;
    };
    auto run_zlib = [&] {
      uLong v = crc32(0, nullptr, 0);
      for (size_t at = 0; at < all.size(); at += piece)
        v = crc32(v, all.data() + at, static_cast<uInt>(std::min(piece, all.size() - at)));
      c_zlib = static_cast<uint32_t>(v);
    };
    auto run_ld = [&] {
      uint32_t v = 0;
      for (size_t at = 0; at < all.size(); at += piece)
        v = libdeflate_crc32(v, all.data() + at, std::min(piece, all.size() - at));
      c_ld = v;
    };
    double t_corvid = 1e30, t_zlib = 1e30, t_ld = 1e30;
    for (int round = 0; round < runs; ++round) {
      t_corvid = std::min(t_corvid, BestSeconds(1, run_corvid));
      t_zlib = std::min(t_zlib, BestSeconds(1, run_zlib));
      t_ld = std::min(t_ld, BestSeconds(1, run_ld));
    }
    if (c_corvid != c_zlib || c_ld != c_zlib) {
      std::printf("CRC mismatch: corvid %08x zlib %08x libdeflate %08x\n", c_corvid, c_zlib, c_ld);
      all_ok = false;
    }
    std::string name = piece == all.size() ? "one call" : "pieces of " + std::to_string(piece);
    std::printf("%-22s %9zu %10.0f %10.0f %11.0f %12.2f\n", name.c_str(), all.size(), MBps(all.size(), t_corvid),
                MBps(all.size(), t_zlib), MBps(all.size(), t_ld), t_zlib / t_corvid);
  }
  return all_ok ? 0 : 1;
}
