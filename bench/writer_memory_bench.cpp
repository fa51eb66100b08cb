// Writing a large entry uses a fixed amount of memory: this program streams
// generated data (never held in memory) through ZipFromStream into an
// archive in /tmp, first a small stream and then a large one (1 GiB by
// default), and prints the growth of the peak resident set over the baseline
// taken just before each (the peak is reset there, so the first run and the
// check of its archive hide nothing of the second). The small run's growth is
// the fixed cost; if the writer kept the entry in memory the large one's would
// be about the entry's size. The archive is checked with the engine's reader
// and deleted.
//
//   writer_memory_bench [MiB] [level] [password]
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "bench/peak_rss.h"
#include "zip/stream.h"
#include "zip/zip_writer.h"

using namespace corvid::zip;
using corvid::bench::PeakRssKiB;
using corvid::bench::StartPeakRun;

namespace {

// `size` bytes of varied, compressible text, each byte a function of its
// position, so that the stream can be read again from any point (the writer
// reads it twice when it encrypts).
class GeneratedStream : public TStream {
 public:
  explicit GeneratedStream(int64_t size) : size_(size) {}

  int64_t Read(void* buffer, int64_t count) override {
    static const char kWords[][16] = {"etaoin shrdlu  ", "mail attachment", "the archive of ",
                                      "corvid writes  ", "1234567890abcde", "\nnew paragraph "};
    int64_t n = std::min(count, size_ - position_);
    if (n <= 0) return 0;
    auto* out = static_cast<uint8_t*>(buffer);
    for (int64_t i = 0; i < n; ++i) {
      uint64_t p = static_cast<uint64_t>(position_ + i);
      uint64_t word = (p / 15) * 0x9E3779B97F4A7C15ull;
      out[i] = static_cast<uint8_t>(kWords[(word >> 59) % 6][p % 15]);
    }
    position_ += n;
    return n;
  }
  int64_t Write(const void*, int64_t) override { return 0; }
  int64_t Seek(int64_t offset, int origin) override {
    int64_t base = origin == soFromBeginning ? 0 : origin == soFromCurrent ? position_ : size_;
    position_ = std::clamp<int64_t>(base + offset, 0, size_);
    return position_;
  }
  int64_t Size() override { return size_; }

 private:
  int64_t size_;
  int64_t position_ = 0;
};

struct Outcome {
  bool ok = false;
  double seconds = 0;
  int64_t archive_bytes = 0;
  long baseline_kib = 0;
  long peak_growth_kib = 0;
  long peak_kib = 0;
};

Outcome ZipOne(const std::string& dir, int64_t size, int level, const std::string& password) {
  Outcome out;
  out.baseline_kib = StartPeakRun();
  std::string archive = dir + "/big.zip";
  {
    TZipWriter writer;
    writer.SetZipName(archive);
    writer.SetPackLevel(level);
    writer.Password = password;
    writer.TempPath = dir;
    GeneratedStream stream(size);
    auto t0 = std::chrono::steady_clock::now();
    out.ok = writer.ZipFromStream(stream, "big.txt") == 1;
    out.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    out.peak_kib = PeakRssKiB();
    out.peak_growth_kib = out.peak_kib - out.baseline_kib;
  }
  TFileStream file(archive, fmOpenRead);
  out.archive_bytes = file.Size();
  // The archive must hold the whole entry, intact.
  TZipReader reader;
  reader.SetZipName(archive);
  reader.Password = password;
  reader.ReadZip();
  reader.DoAll = true;
  out.ok = out.ok && reader.Count() == 1 && reader.UncompressedSize(0) == static_cast<uint64_t>(size) &&
           reader.TestZip() == 1;
  unlink(archive.c_str());
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  int64_t total = (argc > 1 ? std::stoll(argv[1]) : 1024) << 20;
  int level = argc > 2 ? std::stoi(argv[2]) : 6;
  std::string password = argc > 3 ? argv[3] : "";
  std::string dir = "/tmp/corvid-writer-bench-XXXXXX";
  if (!mkdtemp(dir.data())) return 1;

  std::printf("level %d%s\n", level, password.empty() ? "" : ", encrypted");
  bool ok = true;
  for (int64_t size : {std::min(total, int64_t{16} << 20), total}) {
    Outcome o = ZipOne(dir, size, level, password);
    ok = ok && o.ok;
    std::printf("%6lld MiB: %s, %.1f s, %.0f MB/s, archive %lld bytes, baseline %ld KiB, peak RSS growth %ld KiB, "
                "peak RSS %ld KiB\n",
                static_cast<long long>(size >> 20), o.ok ? "ok" : "FAILED", o.seconds, size / 1e6 / o.seconds,
                static_cast<long long>(o.archive_bytes), o.baseline_kib, o.peak_growth_kib, o.peak_kib);
    std::fflush(stdout);
  }
  rmdir(dir.c_str());
  return ok ? 0 : 1;
}
