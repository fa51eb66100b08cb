// Races Inflate and CRC-32 against zlib and libdeflate on the same workloads in
// one process and prints MB/s and the ratios.
//
// The workloads are the shared corpus of bench_corpus.h: text, source code, an
// executable and incompressible random bytes, 4 MiB each. Each is compressed
// once with zlib level 6 raw Deflate. Inflate is driven the way the reader
// drives it: input handed out in chunks of at most 16000 bytes, output copied
// into a buffer of the declared size, one workspace for the whole run. zlib is
// timed twice: in its best case, one inflate call over the whole buffers, and
// driven as the reader would drive it, with the same copies in and out (input
// copied in chunks of 16000 bytes, output through a 64 KiB buffer). The second
// is the like-for-like race. For stored data the first cannot be matched: zlib
// copies each byte once, while any decoder behind the reader's interface gets
// its input through one copy and hands its output on through another.
//
// Before anything is timed, every workload is decoded in several stream kinds
// and with every decoding loop (see SameAsZlibEverywhere), and each output is
// compared with zlib's.
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
#include <functional>
#include <string>
#include <vector>

#include "bench/bench_corpus.h"
#include "zip/crc32.h"
#include "zip/decoder.h"
#include "zip/errors.h"
#include "zip/inflate_internal.h"

namespace {

using corvid::bench::Bytes;
using corvid::bench::Workload;
using corvid::zip::DecodeInput;
using corvid::zip::DecodeOutput;
using corvid::zip::DecodeWorkspace;
using corvid::zip::InflatePath;
using corvid::zip::InflateResult;

Bytes ZlibDeflateRaw(const Bytes& data, int level, int strategy = Z_DEFAULT_STRATEGY) {
  z_stream zs{};
  deflateInit2(&zs, level, Z_DEFLATED, -15, 8, strategy);
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
  explicit ChunkedInput(const Bytes& data, size_t chunk = DecodeWorkspace::kInputChunk)
      : data_(data), chunk_(chunk) {}
  size_t Read(uint8_t* buf, size_t capacity) override {
    size_t n = std::min({capacity, chunk_, data_.size() - at_});
    std::memcpy(buf, data_.data() + at_, n);
    at_ += n;
    return n;
  }

 private:
  const Bytes& data_;
  const size_t chunk_;
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

bool ZlibInflateRaw(const Bytes& stream, Bytes& out) {
  z_stream zs{};
  inflateInit2(&zs, -15);
  zs.next_in = const_cast<uint8_t*>(stream.data());
  zs.avail_in = static_cast<uInt>(stream.size());
  zs.next_out = out.data();
  zs.avail_out = static_cast<uInt>(out.size());
  const bool ok = inflate(&zs, Z_FINISH) == Z_STREAM_END && zs.total_out == out.size();
  inflateEnd(&zs);
  return ok;
}

// The differential check behind the timings: streams of every kind zlib makes
// (greedy and lazy levels, fixed codes only, literals only, runs only), decoded
// by each of the engine's decoding loops with the input handed out in reader
// chunks and one byte at a time (so every refill meets the input's end
// somewhere). Each output must be zlib's, byte for byte.
bool SameAsZlibEverywhere(const Workload& w, DecodeWorkspace& ws) {
  struct Kind {
    const char* name;
    int level;
    int strategy;
  };
  static const Kind kKinds[] = {{"level 1", 1, Z_DEFAULT_STRATEGY},  {"level 6", 6, Z_DEFAULT_STRATEGY},
                                {"level 9", 9, Z_DEFAULT_STRATEGY},  {"fixed codes", 6, Z_FIXED},
                                {"literals only", 6, Z_HUFFMAN_ONLY}, {"runs", 6, Z_RLE}};
  static const std::pair<InflatePath, const char*> kPaths[] = {
      {InflatePath::Portable, "portable"}, {InflatePath::Bmi2, "bmi2"}, {InflatePath::CarefulOnly, "careful"}};
  bool ok = true;
  int checked = 0;
  Bytes expected(w.data.size()), got(w.data.size());
  for (const Kind& kind : kKinds) {
    const Bytes stream = ZlibDeflateRaw(w.data, kind.level, kind.strategy);
    if (!ZlibInflateRaw(stream, expected) || expected != w.data) std::abort();
    for (const auto& [path, path_name] : kPaths) {
      if (!corvid::zip::InflatePathAvailable(path)) continue;
      corvid::zip::TEST_ForceInflatePath(path);
      for (size_t chunk : {DecodeWorkspace::kInputChunk, size_t{1}}) {
        std::fill(got.begin(), got.end(), 0);
        ChunkedInput in(stream, chunk);
        SizedOutput sink(got);
        const InflateResult result = corvid::zip::InflateWithResult(in, sink, ws);
        ++checked;
        if (result != InflateResult::Done || sink.written() != got.size() || got != expected) {
          const size_t at = static_cast<size_t>(std::mismatch(got.begin(), got.end(), expected.begin()).first -
                                                got.begin());
          std::printf("%-11s %s, %s loop, %zu-byte reads: output differs from zlib's at byte %zu of %zu "
                      "(result %d, %zu written)\n",
                      w.name.c_str(), kind.name, path_name, chunk, at, got.size(), static_cast<int>(result),
                      sink.written());
          ok = false;
        }
      }
    }
  }
  corvid::zip::TEST_ForceInflatePath(InflatePath::Auto);
  if (ok) std::printf("%-11s output identical to zlib's in all %d decodes\n", w.name.c_str(), checked);
  return ok;
}

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
  const std::string engine_dir = (std::filesystem::path(__FILE__).parent_path().parent_path() / "zip").string();
  const std::vector<Workload> workloads = corvid::bench::BuildWorkloads(engine_dir);
  DecodeWorkspace ws;
  libdeflate_decompressor* ld = libdeflate_alloc_decompressor();

  bool all_ok = true;
  std::printf("Differential check against zlib\n");
  for (const Workload& w : workloads) all_ok = SameAsZlibEverywhere(w, ws) && all_ok;
  std::printf("\n");

  std::printf("Inflate, MB/s of output, best of %d (zlib %s, zlib level 6 raw Deflate input)\n", runs, zlibVersion());
  std::printf("%-11s %9s %7s %9s %9s %9s %11s %10s %10s %10s\n", "workload", "bytes", "comp%", "corvid", "zlib",
              "zlib-chnk", "libdeflate", "vs zlib", "vs chunked", "vs libdefl");
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

    // For stored data the interface's own copies bound any decoder behind it:
    // the same Read in and Write out, with no decoding at all.
    const bool stored = compressed.size() >= w.data.size();
    auto run_copies = [&] {
      ChunkedInput in(w.data);
      SizedOutput sink(out);
      uint8_t* const buf = ws.window.get();
      for (size_t got; (got = in.Read(buf, DecodeWorkspace::kInputChunk)) != 0;) sink.Write(buf, got);
    };

    double t_corvid = 1e30, t_zlib = 1e30, t_zlib_chunked = 1e30, t_ld = 1e30, t_copies = 1e30;
    for (int round = 0; round < runs; ++round) {  // interleaved, so drift hits all alike
      t_corvid = std::min(t_corvid, BestSeconds(1, run_corvid));
      t_zlib = std::min(t_zlib, BestSeconds(1, run_zlib));
      t_zlib_chunked = std::min(t_zlib_chunked, BestSeconds(1, run_zlib_chunked));
      t_ld = std::min(t_ld, BestSeconds(1, run_libdeflate));
      if (stored) t_copies = std::min(t_copies, BestSeconds(1, run_copies));
    }
    const size_t n = w.data.size();
    std::printf("%-11s %9zu %6.1f%% %9.0f %9.0f %9.0f %11.0f %10.2f %10.2f %10.2f   (%s)\n", w.name.c_str(), n,
                100.0 * static_cast<double>(compressed.size()) / static_cast<double>(n), MBps(n, t_corvid),
                MBps(n, t_zlib), MBps(n, t_zlib_chunked), MBps(n, t_ld), t_zlib / t_corvid,
                t_zlib_chunked / t_corvid, t_ld / t_corvid, w.source.c_str());
    if (stored)
      std::printf("%-11s stored: the interface's copies alone run at %.0f MB/s (%.2f of zlib's one call); "
                  "corvid reaches %.2f of them\n",
                  "", MBps(n, t_copies), t_zlib / t_copies, t_copies / t_corvid);
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
