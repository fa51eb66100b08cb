// Races the Deflate compressor against zlib on the shared corpus in one
// process, at levels 1, 6 and 9, and prints MB/s and the ratios.
//
// The peer is zlib's raw Deflate (windowBits -15) with memLevel 8, its
// default: that is the setting whose hash (15 bits, three bytes) and match
// search are the same as ours, so the size ratio measures the coding and
// block decisions rather than a different match finder. memLevel 9 has our
// block buffer size (32 K symbols) but a 16-bit hash; its size ratio is
// printed too, for reference, and is not timed.
//
// The engine is driven the way the writer drives it: input pulled in window
// halves, output pushed in 1024-byte pieces, one deflater for the whole run.
// zlib gets its best case: one deflate call over whole buffers, on a stream
// reset rather than re-made. Every engine output is decoded with zlib and
// compared with the original before anything is timed.
//
// Usage: deflate_bench [runs]   (best of `runs`, default 5)
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include "bench/bench_corpus.h"
#include "zip/encoder.h"
#include "zip/zip_header.h"

namespace {

using corvid::bench::Bytes;
using corvid::bench::Workload;

class WholeInput : public corvid::zip::EncodeInput {
 public:
  explicit WholeInput(const Bytes& data) : data_(data) {}
  size_t Read(uint8_t* buf, size_t capacity) override {
    const size_t n = std::min(capacity, data_.size() - at_);
    std::memcpy(buf, data_.data() + at_, n);
    at_ += n;
    return n;
  }

 private:
  const Bytes& data_;
  size_t at_ = 0;
};

// Appends to a buffer sized once, so that no allocation is timed.
class BufferOutput : public corvid::zip::EncodeOutput {
 public:
  explicit BufferOutput(Bytes& target) : target_(target) {}
  void Write(const uint8_t* data, size_t n) override {
    if (n > target_.size() - at_) std::abort();
    std::memcpy(target_.data() + at_, data, n);
    at_ += n;
  }
  size_t written() const { return at_; }

 private:
  Bytes& target_;
  size_t at_ = 0;
};

class ZlibDeflater {
 public:
  ZlibDeflater(int level, int mem_level) {
    if (deflateInit2(&zs_, level, Z_DEFLATED, -15, mem_level, Z_DEFAULT_STRATEGY) != Z_OK) std::abort();
  }
  ~ZlibDeflater() { deflateEnd(&zs_); }
  size_t Run(const Bytes& in, Bytes& out) {
    deflateReset(&zs_);
    zs_.next_in = const_cast<uint8_t*>(in.data());
    zs_.avail_in = static_cast<uInt>(in.size());
    zs_.next_out = out.data();
    zs_.avail_out = static_cast<uInt>(out.size());
    if (deflate(&zs_, Z_FINISH) != Z_STREAM_END) std::abort();
    return zs_.total_out;
  }

 private:
  z_stream zs_{};
};

bool ZlibInflatesTo(const Bytes& stream, size_t stream_size, const Bytes& expected) {
  Bytes out(expected.size() + 1);
  z_stream zs{};
  inflateInit2(&zs, -15);
  zs.next_in = const_cast<uint8_t*>(stream.data());
  zs.avail_in = static_cast<uInt>(stream_size);
  zs.next_out = out.data();
  zs.avail_out = static_cast<uInt>(out.size());
  const int rc = inflate(&zs, Z_FINISH);
  const bool ok = rc == Z_STREAM_END && zs.avail_in == 0 && zs.total_out == expected.size() &&
                  std::equal(expected.begin(), expected.end(), out.begin());
  inflateEnd(&zs);
  return ok;
}

template <typename Fn>
double Seconds(Fn&& fn) {
  const auto start = std::chrono::steady_clock::now();
  fn();
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  return took.count();
}

double MBps(size_t nbytes, double seconds) { return static_cast<double>(nbytes) / 1e6 / seconds; }

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  const std::string engine_dir = (std::filesystem::path(__FILE__).parent_path().parent_path() / "zip").string();
  const std::vector<Workload> workloads = corvid::bench::BuildWorkloads(engine_dir);
  corvid::zip::TDeflater deflater;

  std::printf("Deflate, MB/s of input, best of %d (zlib %s raw Deflate, memLevel 8; size ratio to memLevel 9 for reference)\n",
              runs, zlibVersion());
  std::printf("%-11s %5s %9s %9s %9s %9s %8s %8s %8s %9s %9s\n", "workload", "level", "bytes", "corvid", "zlib",
              "size c/z", "c/z ml9", "corvid", "zlib", "speed c/z", "method");
  bool all_ok = true;
  for (const Workload& w : workloads) {
    const size_t n = w.data.size();
    Bytes out(n + n / 8 + 4096);
    for (int level : {1, 6, 9}) {
      ZlibDeflater zlib(level, 8);
      ZlibDeflater zlib9(level, 9);
      size_t corvid_bytes = 0, zlib_bytes = 0;
      uint16_t method = 8;
      auto run_corvid = [&] {
        WholeInput in(w.data);
        BufferOutput sink(out);
        corvid::zip::TZipHeaderInfo entry;
        entry.InternalAttributes = 2;
        corvid_bytes = deflater.Deflate(level, in, sink, entry);
        method = entry.CompressionMethod;
        if (corvid_bytes != sink.written()) std::abort();
      };
      auto run_zlib = [&] { zlib_bytes = zlib.Run(w.data, out); };

      run_corvid();
      const bool ok = method == 0 ? std::equal(w.data.begin(), w.data.end(), out.begin()) && corvid_bytes == n
                                  : ZlibInflatesTo(out, corvid_bytes, w.data);
      if (!ok) {
        std::printf("%-11s %5d corvid output does not decode to the input!\n", w.name.c_str(), level);
        all_ok = false;
        continue;
      }
      const size_t zlib9_bytes = zlib9.Run(w.data, out);

      double t_corvid = 1e30, t_zlib = 1e30;
      for (int round = 0; round < runs; ++round) {  // interleaved, so drift hits both alike
        t_corvid = std::min(t_corvid, Seconds(run_corvid));
        t_zlib = std::min(t_zlib, Seconds(run_zlib));
      }
      std::printf("%-11s %5d %9zu %9zu %9zu %9.4f %8.4f %8.1f %8.1f %9.2f %9u   (%s)\n", w.name.c_str(), level, n,
                  corvid_bytes, zlib_bytes, static_cast<double>(corvid_bytes) / static_cast<double>(zlib_bytes),
                  static_cast<double>(corvid_bytes) / static_cast<double>(zlib9_bytes), MBps(n, t_corvid),
                  MBps(n, t_zlib), t_zlib / t_corvid, method, w.source.c_str());
      std::fflush(stdout);
    }
  }
  return all_ok ? 0 : 1;
}
