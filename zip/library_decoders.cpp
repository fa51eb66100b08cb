// The methods that later tools write (bzip2, LZMA, XZ, Zstandard), decoded
// by the libraries made for them. Each runs the same loop: compressed bytes
// in through the workspace's input chunk, decoded bytes out through the
// window, so the engine's memory stays what the method itself needs:
//   bzip2      at most about 3.7 MiB (900 kB blocks)
//   LZMA       its dictionary: no more than the entry's size, refused beyond kMaxDictionary
//   XZ         what its stream declares, refused beyond kMaxDictionary
//   Zstandard  its window, refused beyond 2^kMaxWindowLog
// The output side enforces the declared size, as for every method.
#include <bzlib.h>
#include <lzma.h>
#include <zstd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "zip/decoder.h"

namespace corvid::zip {

namespace {

// A dictionary or window this large is far beyond what any tool writes for
// mail-sized archives; a hostile header asking for more gets "damaged"
// instead of the machine's memory.
constexpr uint64_t kMaxDictionary = uint64_t{256} << 20;
constexpr int kMaxWindowLog = 28;  // 256 MiB

// Output goes through the window, which no other decoder uses meanwhile.
constexpr size_t kOutputBytes = DecodeWorkspace::kWindowBytes;

// Feeds the input chunk: returns false once the entry's bytes are used up.
struct InputFeed {
  DecodeInput& in;
  DecodeWorkspace& ws;
  bool ended = false;

  size_t Next(const uint8_t** data) {
    if (ended) return 0;
    const size_t n = in.Read(ws.input.get(), DecodeWorkspace::kInputChunk);
    ended = n == 0;
    *data = ws.input.get();
    return n;
  }
};

}  // namespace

bool Bunzip2(DecodeInput& in, DecodeOutput& out, DecodeWorkspace& ws) {
  bz_stream stream{};
  if (BZ2_bzDecompressInit(&stream, 0, 0) != BZ_OK) throw std::bad_alloc();
  const std::unique_ptr<bz_stream, int (*)(bz_stream*)> end(&stream, BZ2_bzDecompressEnd);
  InputFeed feed{in, ws};
  for (;;) {
    if (stream.avail_in == 0 && !feed.ended) {
      const uint8_t* data = nullptr;
      stream.avail_in = static_cast<unsigned>(feed.Next(&data));
      stream.next_in = const_cast<char*>(reinterpret_cast<const char*>(data));
    }
    stream.next_out = reinterpret_cast<char*>(ws.window.get());
    stream.avail_out = kOutputBytes;
    const int result = BZ2_bzDecompress(&stream);
    const size_t produced = kOutputBytes - stream.avail_out;
    if (produced != 0) out.Write(ws.window.get(), produced);
    if (result == BZ_STREAM_END) return true;
    if (result != BZ_OK) return false;
    if (feed.ended && stream.avail_in == 0 && produced == 0) return false;  // ends early
  }
}

namespace {

// Runs an initialised liblzma stream over the entry's remaining bytes.
bool RunLzma(lzma_stream& stream, InputFeed& feed, DecodeOutput& out, DecodeWorkspace& ws, uint64_t* total) {
  const std::unique_ptr<lzma_stream, void (*)(lzma_stream*)> end(&stream, lzma_end);
  for (;;) {
    if (stream.avail_in == 0 && !feed.ended) stream.avail_in = feed.Next(&stream.next_in);
    stream.next_out = ws.window.get();
    stream.avail_out = kOutputBytes;
    const lzma_ret result = lzma_code(&stream, feed.ended ? LZMA_FINISH : LZMA_RUN);
    const size_t produced = kOutputBytes - stream.avail_out;
    if (produced != 0) out.Write(ws.window.get(), produced);
    *total += produced;
    if (result == LZMA_STREAM_END) return true;
    if (result == LZMA_MEM_ERROR) throw std::bad_alloc();
    if (result != LZMA_OK) return false;  // damaged, truncated, or over the memory limit
    if (feed.ended && stream.avail_in == 0 && produced == 0) return false;
  }
}

// Reads exactly `n` bytes of the entry's start, across input chunks.
bool ReadPrefix(InputFeed& feed, uint8_t* to, size_t n, const uint8_t** rest, size_t* rest_size) {
  size_t have = 0;
  while (have < n) {
    const uint8_t* data = nullptr;
    const size_t got = feed.Next(&data);
    if (got == 0) return false;
    const size_t take = std::min(got, n - have);
    std::memcpy(to + have, data, take);
    have += take;
    *rest = data + take;
    *rest_size = got - take;
  }
  return true;
}

}  // namespace

bool UnLzma(DecodeInput& in, DecodeOutput& out, DecodeWorkspace& ws, uint64_t uncompressed_size,
            bool has_end_marker) {
  // The entry starts with the encoder's version (2 bytes), the size of the
  // properties (2 bytes, 5 for LZMA) and the properties: lc/lp/pb and the
  // dictionary size. The raw stream follows, closed by an end marker when
  // general purpose bit 1 says so, else by the entry's size.
  InputFeed feed{in, ws};
  uint8_t header[9];
  const uint8_t* rest = nullptr;
  size_t rest_size = 0;
  if (!ReadPrefix(feed, header, sizeof header, &rest, &rest_size)) return false;
  if (header[2] != 5 || header[3] != 0) return false;

  lzma_filter filters[2] = {{LZMA_FILTER_LZMA1, nullptr}, {LZMA_VLI_UNKNOWN, nullptr}};
  if (lzma_properties_decode(&filters[0], nullptr, header + 4, 5) != LZMA_OK) return false;
  const std::unique_ptr<void, void (*)(void*)> options(filters[0].options, free);
  auto& lzma = *static_cast<lzma_options_lzma*>(filters[0].options);
  // A valid stream never reaches back further than what it has produced.
  lzma.dict_size = static_cast<uint32_t>(
      std::max<uint64_t>(LZMA_DICT_SIZE_MIN, std::min<uint64_t>(lzma.dict_size, uncompressed_size)));
  if (lzma.dict_size > kMaxDictionary) return false;
  if (!has_end_marker) {
    // Without the marker the stream ends at the known size.
    filters[0].id = LZMA_FILTER_LZMA1EXT;
    lzma.ext_flags = 0;
    lzma.ext_size_low = static_cast<uint32_t>(uncompressed_size);
    lzma.ext_size_high = static_cast<uint32_t>(uncompressed_size >> 32);
  }

  lzma_stream stream = LZMA_STREAM_INIT;
  if (const lzma_ret result = lzma_raw_decoder(&stream, filters); result != LZMA_OK) {
    if (result == LZMA_MEM_ERROR) throw std::bad_alloc();
    return false;
  }
  stream.next_in = rest;
  stream.avail_in = rest_size;
  uint64_t total = 0;
  // Writers are not all careful with the flag: a stream that gave exactly
  // the entry's size and then met a marker it was told not to expect, or
  // lacked the one it was told to expect, is whole; the CRC check decides.
  return RunLzma(stream, feed, out, ws, &total) || total == uncompressed_size;
}

bool UnXz(DecodeInput& in, DecodeOutput& out, DecodeWorkspace& ws) {
  lzma_stream stream = LZMA_STREAM_INIT;
  if (lzma_stream_decoder(&stream, kMaxDictionary + (uint64_t{1} << 20), 0) != LZMA_OK) throw std::bad_alloc();
  InputFeed feed{in, ws};
  uint64_t total = 0;
  return RunLzma(stream, feed, out, ws, &total);
}

bool Unzstd(DecodeInput& in, DecodeOutput& out, DecodeWorkspace& ws) {
  const std::unique_ptr<ZSTD_DStream, size_t (*)(ZSTD_DStream*)> stream(ZSTD_createDStream(), ZSTD_freeDStream);
  if (stream == nullptr) throw std::bad_alloc();
  ZSTD_DCtx_setParameter(stream.get(), ZSTD_d_windowLogMax, kMaxWindowLog);
  InputFeed feed{in, ws};
  ZSTD_inBuffer input{nullptr, 0, 0};
  size_t pending = 1;    // nonzero until a frame is complete and flushed
  bool flushed = true;   // the last call left no output behind
  for (;;) {
    if (input.pos == input.size && !feed.ended) {
      const uint8_t* data = nullptr;
      input.size = feed.Next(&data);
      input.src = data;
      input.pos = 0;
    }
    if (feed.ended && input.pos == input.size && flushed) return pending == 0;
    ZSTD_outBuffer output{ws.window.get(), kOutputBytes, 0};
    pending = ZSTD_decompressStream(stream.get(), &output, &input);
    if (ZSTD_isError(pending)) return false;
    if (output.pos != 0) out.Write(ws.window.get(), output.pos);
    flushed = output.pos < output.size;
    // A complete frame with more input behind it is followed by another
    // frame (tools may write several), decoded by the same loop.
  }
}

}  // namespace corvid::zip
