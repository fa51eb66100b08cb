// bzip2, LZMA, XZ and Zstandard entries: streams made by the libraries'
// own encoders decode byte for byte in any chunking; damaged, truncated and
// greedy streams end as damage, never as a crash or a memory grab.
#include <bzlib.h>
#include <gtest/gtest.h>
#include <lzma.h>
#include <zstd.h>

#include <algorithm>
#include <cstdlib>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "testutil/decode_io.h"
#include "zip/decoder.h"
#include "zip/errors.h"

namespace corvid::zip {
namespace {

using Bytes = std::vector<uint8_t>;

// Text that packs and noise that does not, past several output windows.
Bytes Sample() {
  Bytes out;
  for (int i = 0; out.size() < 300000; ++i) {
    const std::string line = "line " + std::to_string(i) + " of a sample that packs well\n";
    out.insert(out.end(), line.begin(), line.end());
  }
  std::mt19937 noise(5);
  for (int i = 0; i < 100000; ++i) out.push_back(static_cast<uint8_t>(noise()));
  return out;
}

Bytes Bzip2(const Bytes& in) {
  Bytes out(in.size() + in.size() / 100 + 600);
  unsigned size = static_cast<unsigned>(out.size());
  char none = 0;  // the library wants a source even for nothing
  EXPECT_EQ(BZ2_bzBuffToBuffCompress(reinterpret_cast<char*>(out.data()), &size,
                                     in.empty() ? &none : const_cast<char*>(reinterpret_cast<const char*>(in.data())),
                                     static_cast<unsigned>(in.size()), 9, 0, 0),
            BZ_OK);
  out.resize(size);
  return out;
}

// The ZIP form of LZMA: version, properties size, properties, raw stream,
// with or without the end marker.
Bytes ZipLzma(const Bytes& in, bool end_marker) {
  lzma_options_lzma options;
  lzma_lzma_preset(&options, 6);
  options.ext_flags = end_marker ? LZMA_LZMA1EXT_ALLOW_EOPM : 0;
  options.ext_size_low = static_cast<uint32_t>(in.size());
  options.ext_size_high = 0;
  lzma_filter filters[] = {{LZMA_FILTER_LZMA1EXT, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
  Bytes out = {9, 20, 5, 0, 0, 0, 0, 0, 0};
  lzma_filter plain[] = {{LZMA_FILTER_LZMA1, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
  EXPECT_EQ(lzma_properties_encode(plain, out.data() + 4), LZMA_OK);
  lzma_stream stream = LZMA_STREAM_INIT;
  EXPECT_EQ(lzma_raw_encoder(&stream, filters), LZMA_OK);
  Bytes raw(in.size() + in.size() / 2 + 1024);
  stream.next_in = in.data();
  stream.avail_in = in.size();
  stream.next_out = raw.data();
  stream.avail_out = raw.size();
  EXPECT_EQ(lzma_code(&stream, LZMA_FINISH), LZMA_STREAM_END);
  raw.resize(raw.size() - stream.avail_out);
  lzma_end(&stream);
  out.insert(out.end(), raw.begin(), raw.end());
  return out;
}
Bytes ZipLzmaWithMarker(const Bytes& in) { return ZipLzma(in, true); }
Bytes ZipLzmaBySize(const Bytes& in) { return ZipLzma(in, false); }

Bytes Xz(const Bytes& in) {
  Bytes out(lzma_stream_buffer_bound(in.size()));
  size_t size = 0;
  EXPECT_EQ(lzma_easy_buffer_encode(6, LZMA_CHECK_CRC64, nullptr, in.data(), in.size(), out.data(), &size,
                                    out.size()),
            LZMA_OK);
  out.resize(size);
  return out;
}

Bytes Zstd(const Bytes& in) {
  Bytes out(ZSTD_compressBound(in.size()));
  const size_t size = ZSTD_compress(out.data(), out.size(), in.data(), in.size(), 9);
  EXPECT_FALSE(ZSTD_isError(size));
  out.resize(size);
  return out;
}

struct Method {
  const char* name;
  uint16_t method;
  uint16_t bit_flag;
  Bytes (*encode)(const Bytes&);
};

const Method kMethods[] = {
    {"bzip2", 12, 0, Bzip2},
    {"LZMA with end marker", 14, 2, ZipLzmaWithMarker},
    {"LZMA by size", 14, 0, ZipLzmaBySize},
    {"XZ", 95, 0, Xz},
    {"Zstandard", 93, 0, Zstd},
};

DecodeOutcome Decode(const Method& m, const Bytes& data, uint64_t size, size_t chunk, Bytes* out) {
  EntryCoding coding;
  coding.method = m.method;
  coding.bit_flag = m.bit_flag;
  coding.compressed_size = static_cast<uint32_t>(data.size());
  coding.uncompressed_size = static_cast<uint32_t>(size);
  testutil::MemoryInput in(data, chunk);
  testutil::MemoryOutput output(size);
  DecodeWorkspace ws;
  const DecodeOutcome outcome = DecodeEntry(coding, in, output, ws);
  if (out != nullptr) *out = std::move(output.bytes);
  return outcome;
}

TEST(LibraryDecodersTest, EachMethodGivesBackTheOriginalInAnyChunking) {
  const Bytes original = Sample();
  for (const Method& m : kMethods) {
    SCOPED_TRACE(m.name);
    EXPECT_TRUE(IsKnownMethod(m.method));
    const Bytes packed = m.encode(original);
    for (size_t chunk : {DecodeWorkspace::kInputChunk, size_t{1}, size_t{7}}) {
      Bytes decoded;
      EXPECT_EQ(Decode(m, packed, original.size(), chunk, &decoded), DecodeOutcome::Done) << chunk;
      EXPECT_TRUE(decoded == original) << "chunk " << chunk << ": " << decoded.size() << " bytes";
    }
    // An empty file packs to a stream of its own.
    Bytes decoded{1};
    EXPECT_EQ(Decode(m, m.encode({}), 0, 4096, &decoded), DecodeOutcome::Done);
    EXPECT_TRUE(decoded.empty());
  }
}

// How a decode ended: "done" (with the bytes), "damaged", or "bigger" (the
// output bound stopped it, as the reader's does).
std::string Verdict(const Method& m, const Bytes& data, uint64_t size, Bytes* out = nullptr) {
  try {
    return Decode(m, data, size, 4096, out) == DecodeOutcome::Done ? "done" : "damaged";
  } catch (const EBiggerThanUncompressed&) {
    return "bigger";
  }
}

TEST(LibraryDecodersTest, DamagedTruncatedAndOversizedStreamsEndCleanly) {
  const Bytes original = Sample();
  for (const Method& m : kMethods) {
    SCOPED_TRACE(m.name);
    const Bytes packed = m.encode(original);
    const Bytes truncated(packed.begin(), packed.begin() + static_cast<ptrdiff_t>(packed.size() / 2));
    EXPECT_EQ(Verdict(m, truncated, original.size()), "damaged");
    EXPECT_EQ(Verdict(m, {}, original.size()), "damaged");
    // One flipped byte in the packed text: damage, or at worst different
    // bytes that the CRC check turns away; never a crash or a runaway.
    Bytes flipped = packed;
    flipped[packed.size() / 3] ^= 0x55;
    Bytes decoded;
    const std::string flipped_verdict = Verdict(m, flipped, original.size(), &decoded);
    EXPECT_TRUE(flipped_verdict != "done" || decoded != original);
    // Declared one byte short: stopped at the bound, or (LZMA, which knows
    // the size itself) a short file that the CRC check turns away.
    const std::string short_verdict = Verdict(m, packed, original.size() - 1, &decoded);
    EXPECT_TRUE(short_verdict != "done" || decoded.size() == original.size() - 1) << short_verdict;
  }
}

// Headers that ask for gigabytes of dictionary or window get no more
// memory than the entry can use, or are refused.
TEST(LibraryDecodersTest, GreedyHeadersGetNoMemory) {
  const Bytes original = Sample();
  // LZMA: a 4 GiB dictionary on a small entry decodes in a small one.
  Bytes lzma = ZipLzmaWithMarker(original);
  for (int i = 5; i < 9; ++i) lzma[i] = 0xFF;
  Bytes decoded;
  EXPECT_EQ(Decode(kMethods[1], lzma, original.size(), 4096, &decoded), DecodeOutcome::Done);
  EXPECT_TRUE(decoded == original);
  // A properties size other than LZMA's five bytes.
  lzma[2] = 6;
  EXPECT_EQ(Decode(kMethods[1], lzma, original.size(), 4096, nullptr), DecodeOutcome::Damaged);

  // Zstandard: a frame that declares a 1 GiB window is refused. Without a
  // content size the frame header carries a window descriptor (no checksum
  // guards it): exponent 20 means 2^30.
  ZSTD_CCtx* context = ZSTD_createCCtx();
  ZSTD_CCtx_setParameter(context, ZSTD_c_contentSizeFlag, 0);
  Bytes zstd(ZSTD_compressBound(original.size()));
  const size_t size = ZSTD_compress2(context, zstd.data(), zstd.size(), original.data(), original.size());
  ZSTD_freeCCtx(context);
  ASSERT_FALSE(ZSTD_isError(size));
  zstd.resize(size);
  ASSERT_EQ(zstd[4] & 0x20, 0) << "a single-segment frame has no window descriptor";
  EXPECT_EQ(Decode(kMethods[4], zstd, original.size(), 4096, nullptr), DecodeOutcome::Done);
  zstd[5] = 20 << 3;
  EXPECT_EQ(Decode(kMethods[4], zstd, original.size(), 4096, nullptr), DecodeOutcome::Damaged);

  // XZ: the block header rewritten to a 1.5 GiB dictionary is refused.
  Bytes xz = Xz(original);
  lzma_filter filters[LZMA_FILTERS_MAX + 1];
  lzma_block block{};
  block.version = 1;
  block.check = LZMA_CHECK_CRC64;
  block.filters = filters;
  block.header_size = lzma_block_header_size_decode(xz[12]);
  ASSERT_EQ(lzma_block_header_decode(&block, nullptr, xz.data() + 12), LZMA_OK);
  static_cast<lzma_options_lzma*>(filters[0].options)->dict_size = 1536u << 20;
  ASSERT_EQ(lzma_block_header_encode(&block, xz.data() + 12), LZMA_OK);
  for (int i = 0; filters[i].id != LZMA_VLI_UNKNOWN; ++i) free(filters[i].options);
  EXPECT_EQ(Decode(kMethods[3], xz, original.size(), 4096, nullptr), DecodeOutcome::Damaged);
}

}  // namespace
}  // namespace corvid::zip
