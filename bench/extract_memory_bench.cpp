// Extracting a large entry uses a fixed amount of memory: this program packs
// a 16 MiB entry and then a 1 GiB one (zlib raw deflate at level 1, a peer
// used only here, in a child process), extracts each with the engine to a
// stream and to a file, and prints the growth of the peak resident set over
// the baseline taken just before each extraction (the peak is reset there).
// The small entry's growth is the fixed cost; if the reader held the entry in
// memory the large one's would be about its size.
//
//   extract_memory_bench [MiB]   (the large entry, default 1024)
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/peak_rss.h"
#include "zip/crc32.h"
#include "zip/stream.h"
#include "zip/zip_format.h"
#include "zip/zip_reader.h"

using namespace corvid::zip;
using corvid::bench::PeakRssKiB;
using corvid::bench::StartPeakRun;

namespace {

class NullStream : public TStream {
 public:
  int64_t Read(void*, int64_t) override { return 0; }
  int64_t Write(const void*, int64_t count) override {
    written += count;
    return count;
  }
  int64_t Seek(int64_t offset, int origin) override { return origin == soFromBeginning ? offset : written; }
  int64_t written = 0;
};

// Writes a one-entry archive whose entry is `total` bytes of varied text.
void MakeArchive(const std::string& path, uint64_t total) {
  FILE* out = std::fopen(path.c_str(), "wb");
  const char name[] = "big.txt";
  uint8_t local[30] = {};
  std::fwrite(local, 1, sizeof local, out);
  std::fwrite(name, 1, sizeof name - 1, out);

  z_stream z{};
  deflateInit2(&z, 1, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  std::vector<uint8_t> in(1 << 20), packed(1 << 21);
  uint32_t crc = kCrcInit;
  uint64_t compressed = 0;
  uint32_t seed = 12345;
  for (uint64_t done = 0; done < total;) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(in.size(), total - done));
    for (size_t i = 0; i < n; ++i) {
      seed = seed * 1103515245u + 12345u;
      in[i] = static_cast<uint8_t>("etaoin shrdlu\n"[(seed >> 16) % 14]);
    }
    crc = Crc32Update(crc, in.data(), n);
    done += n;
    z.next_in = in.data();
    z.avail_in = static_cast<uInt>(n);
    int flush = done == total ? Z_FINISH : Z_NO_FLUSH;
    do {
      z.next_out = packed.data();
      z.avail_out = static_cast<uInt>(packed.size());
      deflate(&z, flush);
      size_t have = packed.size() - z.avail_out;
      std::fwrite(packed.data(), 1, have, out);
      compressed += have;
    } while (z.avail_out == 0);
  }
  deflateEnd(&z);

  uint8_t central[46] = {};
  PutU32(central, central_header::kSignature);
  PutU16(central + 4, 20);
  PutU16(central + 6, 20);
  PutU16(central + 10, 8);
  PutU32(central + 12, 0x58210000);
  PutU32(central + 16, ~crc);
  PutU32(central + 20, static_cast<uint32_t>(compressed));
  PutU32(central + 24, static_cast<uint32_t>(total));
  PutU16(central + 28, sizeof name - 1);
  long central_offset = std::ftell(out);
  std::fwrite(central, 1, sizeof central, out);
  std::fwrite(name, 1, sizeof name - 1, out);
  uint8_t end[22] = {};
  PutU32(end, end_record::kSignature);
  PutU16(end + 8, 1);
  PutU16(end + 10, 1);
  PutU32(end + 12, 46 + sizeof name - 1);
  PutU32(end + 16, static_cast<uint32_t>(central_offset));
  std::fwrite(end, 1, sizeof end, out);

  PutU32(local, local_header::kSignature);
  PutU16(local + 4, 20);
  PutU16(local + 8, 8);
  PutU32(local + 10, 0x58210000);
  PutU32(local + 14, ~crc);
  PutU32(local + 18, static_cast<uint32_t>(compressed));
  PutU32(local + 22, static_cast<uint32_t>(total));
  PutU16(local + 26, sizeof name - 1);
  std::fseek(out, 0, SEEK_SET);
  std::fwrite(local, 1, sizeof local, out);
  std::fclose(out);
}

struct Outcome {
  bool stream_ok = false, file_ok = false;
  double stream_s = 0, file_s = 0;
  long baseline_kib = 0, stream_growth_kib = 0, file_growth_kib = 0, peak_kib = 0;
};

Outcome ExtractOne(const std::string& dir, uint64_t total) {
  Outcome o;
  const std::string archive = dir + "/big.zip";
  // Packed in a child process, so that none of the packer's memory stays
  // with the heap the reader then allocates from.
  const pid_t packer = fork();
  if (packer == 0) {
    MakeArchive(archive, total);
    _exit(0);
  }
  int status = 0;
  if (packer < 0 || waitpid(packer, &status, 0) != packer || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
    return o;

  o.baseline_kib = StartPeakRun();
  {
    TZipReader zip;
    zip.SetZipName(archive);
    zip.ReadZip();

    auto t0 = std::chrono::steady_clock::now();
    NullStream sink;
    o.stream_ok = zip.UnZipToStream(sink, "big.txt") == 1 && sink.written == static_cast<int64_t>(total);
    o.stream_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    o.stream_growth_kib = PeakRssKiB() - o.baseline_kib;

    zip.SetDestDir(dir);
    zip.OverwriteMode = TUZOverwriteMode::Always;
    zip.DoAll = true;
    t0 = std::chrono::steady_clock::now();
    o.file_ok = zip.UnZip() == 1;
    o.file_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    o.peak_kib = PeakRssKiB();
    o.file_growth_kib = o.peak_kib - o.baseline_kib;
  }
  const std::string extracted = dir + "/big.txt";
  std::error_code ec;
  o.file_ok = o.file_ok && std::filesystem::file_size(extracted, ec) == total && !ec;
  unlink(extracted.c_str());
  unlink(archive.c_str());
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  const uint64_t total = argc > 1 ? std::stoull(argv[1]) << 20 : (1ull << 30);
  std::string dir = "/tmp/corvid-bench-XXXXXX";
  if (!mkdtemp(dir.data())) return 1;

  std::printf("peak RSS growth over the baseline taken before each extraction (KiB)\n");
  std::printf("%9s %10s %22s %22s %12s\n", "entry MiB", "baseline", "to stream", "to file", "peak RSS");
  bool ok = true;
  for (uint64_t size : {std::min<uint64_t>(total, uint64_t{16} << 20), total}) {
    const Outcome o = ExtractOne(dir, size);
    ok = ok && o.stream_ok && o.file_ok;
    char to_stream[64], to_file[64];
    std::snprintf(to_stream, sizeof to_stream, "%s %5.0f MB/s %6ld", o.stream_ok ? "ok" : "FAILED",
                  size / 1e6 / o.stream_s, o.stream_growth_kib);
    std::snprintf(to_file, sizeof to_file, "%s %5.0f MB/s %6ld", o.file_ok ? "ok" : "FAILED", size / 1e6 / o.file_s,
                  o.file_growth_kib);
    std::printf("%9llu %10ld %22s %22s %12ld\n", static_cast<unsigned long long>(size >> 20), o.baseline_kib,
                to_stream, to_file, o.peak_kib);
    std::fflush(stdout);
  }
  rmdir(dir.c_str());
  return ok ? 0 : 1;
}
