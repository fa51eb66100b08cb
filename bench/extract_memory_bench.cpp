// Extracting a large entry uses a fixed amount of memory: this program packs
// a 1 GiB entry (zlib raw deflate at level 1, a peer used only here), then
// extracts it with the engine to a stream and to a file, and prints the
// growth of the peak resident set against the baseline measured first.
#include <sys/resource.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "zip/crc32.h"
#include "zip/stream.h"
#include "zip/zip_format.h"
#include "zip/zip_reader.h"

using namespace corvid::zip;

namespace {

long PeakRssKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

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
  PutU32(central, kCentralSignature);
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
  PutU32(end, kEndSignature);
  PutU16(end + 8, 1);
  PutU16(end + 10, 1);
  PutU32(end + 12, 46 + sizeof name - 1);
  PutU32(end + 16, static_cast<uint32_t>(central_offset));
  std::fwrite(end, 1, sizeof end, out);

  PutU32(local, kLocalSignature);
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

}  // namespace

int main(int argc, char** argv) {
  uint64_t total = argc > 1 ? std::stoull(argv[1]) << 20 : (1ull << 30);
  std::string dir = "/tmp/corvid-bench-XXXXXX";
  if (!mkdtemp(dir.data())) return 1;
  std::string archive = dir + "/big.zip";
  std::printf("packing %llu MiB ...\n", static_cast<unsigned long long>(total >> 20));
  MakeArchive(archive, total);

  long baseline = PeakRssKiB();
  TZipReader zip;
  zip.SetZipName(archive);
  zip.ReadZip();

  auto t0 = std::chrono::steady_clock::now();
  NullStream sink;
  int streamed = zip.UnZipToStream(sink, "big.txt");
  double stream_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  long after_stream = PeakRssKiB();

  zip.SetDestDir(dir);
  zip.OverwriteMode = TUZOverwriteMode::Always;
  zip.DoAll = true;
  t0 = std::chrono::steady_clock::now();
  int filed = zip.UnZip();
  double file_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  long after_file = PeakRssKiB();

  std::printf("entry: %llu MiB\n", static_cast<unsigned long long>(total >> 20));
  std::printf("to stream: %s, %.0f MB/s, peak RSS growth %ld KiB over baseline %ld KiB\n",
              streamed == 1 && sink.written == static_cast<int64_t>(total) ? "ok" : "FAILED",
              total / 1e6 / stream_s, after_stream - baseline, baseline);
  std::printf("to file:   %s, %.0f MB/s, peak RSS growth %ld KiB\n", filed == 1 ? "ok" : "FAILED",
              total / 1e6 / file_s, after_file - baseline);
  unlink((dir + "/big.txt").c_str());
  unlink(archive.c_str());
  rmdir(dir.c_str());
  return streamed == 1 && filed == 1 ? 0 : 1;
}
