#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "zip/deflate_internal.h"
#include "zip/encoder.h"
#include "zip/errors.h"
#include "zip/zip_header.h"

namespace corvid::zip {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr size_t kWindowHalf = 32768;
constexpr size_t kOutPiece = 1024;

// Hands out the input at most `chunk` bytes per Read, as a slow source would.
// Checks that the compressor asks for at most a window half at a time and
// never reads again after the end was reported.
class MemoryInput : public EncodeInput {
 public:
  explicit MemoryInput(const Bytes& data, size_t chunk = SIZE_MAX) : data_(data), chunk_(chunk) {}
  size_t Read(uint8_t* buf, size_t capacity) override {
    EXPECT_LE(capacity, kWindowHalf);
    EXPECT_FALSE(saw_end_) << "Read again after it returned 0";
    if (fail_at_ != SIZE_MAX && at_ >= fail_at_) throw EFileError("read failed");
    const size_t n = std::min({capacity, chunk_, data_.size() - at_});
    if (n == 0) saw_end_ = true;
    if (n > 0) std::memcpy(buf, data_.data() + at_, n);
    at_ += n;
    return n;
  }
  void FailAt(size_t offset) { fail_at_ = offset; }

 private:
  const Bytes& data_;
  size_t chunk_;
  size_t at_ = 0;
  bool saw_end_ = false;
  size_t fail_at_ = SIZE_MAX;
};

// Collects the output and the size of each piece; can raise as a cancelled
// writer does.
class MemoryOutput : public EncodeOutput {
 public:
  void Write(const uint8_t* data, size_t n) override {
    if (pieces.size() == cancel_at_piece_) throw EUserCanceled(kMsgUserAborted);
    pieces.push_back(n);
    bytes.insert(bytes.end(), data, data + n);
  }
  void CancelAtPiece(size_t index) { cancel_at_piece_ = index; }

  Bytes bytes;
  std::vector<size_t> pieces;

 private:
  size_t cancel_at_piece_ = SIZE_MAX;
};

struct Result {
  Bytes bytes;
  uint32_t returned = 0;
  std::vector<size_t> pieces;
  TZipHeaderInfo entry;
};

Result Compress(TDeflater& deflater, int level, const Bytes& data, size_t chunk = SIZE_MAX,
                uint16_t attributes = 2, uint16_t bit_flag = 0) {
  MemoryInput in(data, chunk);
  MemoryOutput out;
  Result r;
  r.entry.InternalAttributes = attributes;
  r.entry.BitFlag = bit_flag;
  r.returned = deflater.Deflate(level, in, out, r.entry);
  r.bytes = std::move(out.bytes);
  r.pieces = std::move(out.pieces);
  return r;
}

Result Compress(int level, const Bytes& data, size_t chunk = SIZE_MAX, uint16_t attributes = 2,
                uint16_t bit_flag = 0) {
  TDeflater deflater;
  return Compress(deflater, level, data, chunk, attributes, bit_flag);
}

// zlib as the independent inflater; nothing when the stream is damaged, ends
// early or has bytes after its last block.
std::optional<Bytes> ZlibInflateRaw(const Bytes& stream) {
  z_stream zs{};
  if (inflateInit2(&zs, -15) != Z_OK) return std::nullopt;
  zs.next_in = const_cast<uint8_t*>(stream.data());
  zs.avail_in = static_cast<uInt>(stream.size());
  Bytes out;
  std::vector<uint8_t> buf(65536);
  int rc;
  do {
    zs.next_out = buf.data();
    zs.avail_out = static_cast<uInt>(buf.size());
    rc = inflate(&zs, Z_NO_FLUSH);
    out.insert(out.end(), buf.data(), buf.data() + (buf.size() - zs.avail_out));
  } while (rc == Z_OK);
  const bool ok = rc == Z_STREAM_END && zs.avail_in == 0;
  inflateEnd(&zs);
  if (!ok) return std::nullopt;
  return out;
}

Bytes ZlibDeflateRaw(const Bytes& data, int level) {
  z_stream zs{};
  EXPECT_EQ(deflateInit2(&zs, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
  Bytes out(deflateBound(&zs, data.size()));
  zs.next_in = const_cast<uint8_t*>(data.data());
  zs.avail_in = static_cast<uInt>(data.size());
  zs.next_out = out.data();
  zs.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&zs, Z_FINISH), Z_STREAM_END);
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}

// --- Inputs -------------------------------------------------------------------

Bytes Random(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& c : b) c = static_cast<uint8_t>(rng());
  return b;
}

Bytes Text(size_t n, uint32_t seed) {
  static const char* const kWords[] = {
      "the",     "of",       "and",      "a",          "to",       "in",        "is",       "you",
      "that",    "it",       "he",       "was",        "for",      "on",        "are",      "as",
      "with",    "his",      "they",     "archive",    "message",  "folder",    "attachment", "between",
      "however", "received", "important", "question",  "answer",   "perhaps",   "mailbox",  "reply",
      "forward", "signature", "compress", "window",    "dictionary", "sender",  "subject",  "draft",
      "Monday",  "1998",     "42",       "quarterly",  "report",   "meeting",   "schedule", "budget"};
  constexpr size_t kNumWords = sizeof(kWords) / sizeof(kWords[0]);
  std::mt19937 rng(seed);
  std::geometric_distribution<int> pick(0.08);
  Bytes out;
  size_t line = 0;
  while (out.size() < n) {
    const char* w = kWords[pick(rng) % kNumWords];
    out.insert(out.end(), w, w + std::strlen(w));
    line += std::strlen(w) + 1;
    const uint32_t r = rng() % 23;
    if (line > 64) {
      out.push_back('\n');
      line = 0;
    } else {
      out.push_back(r == 0 ? ',' : r == 1 ? '.' : ' ');
    }
  }
  out.resize(n);
  return out;
}

// Looks like a program image: fixed-size records of little-endian numbers,
// zero padding, and a small alphabet of "opcodes" weighted to the high bytes.
Bytes Binary(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes out;
  while (out.size() < n) {
    const uint32_t kind = rng() % 4;
    if (kind == 0) {
      const uint32_t v = static_cast<uint32_t>(out.size()) * 7 + rng() % 16;
      for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    } else if (kind == 1) {
      out.insert(out.end(), rng() % 24, 0);
    } else {
      static const uint8_t kOps[] = {0x48, 0x89, 0x8B, 0xE8, 0xFF, 0xC3, 0x0F, 0x84, 0x85, 0xC0, 0xE9, 0x90};
      for (uint32_t i = rng() % 12; i > 0; --i) out.push_back(kOps[rng() % sizeof(kOps)]);
    }
  }
  out.resize(n);
  return out;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// A random block repeated: every match lies exactly `period` bytes back.
Bytes Periodic(size_t period, size_t n, uint32_t seed) {
  Bytes block = Random(period, seed), out;
  while (out.size() < n) out.insert(out.end(), block.begin(), block.end());
  out.resize(n);
  return out;
}

// A lazy match found at the farthest distance allowed (32506) one byte before
// the window moves, so that the move happens while the match is still
// pending and its first byte lies below the new window start. Fed one byte
// at a time, the move comes exactly at position 65274. The filler uses bytes
// 0-15 only, and the bytes around the copied string are unique, so that the
// string's hash chain holds nothing newer than the far copy and no match runs
// over the copy point.
Bytes FarMatchAcrossWindowMove() {
  constexpr size_t kCopyFrom = 32767, kCopyTo = 32767 + 32506;
  std::mt19937 rng(7);
  Bytes b(kCopyTo + 400);
  for (auto& c : b) c = static_cast<uint8_t>(rng() % 16);
  b[kCopyFrom] = 0x20;
  b[kCopyFrom + 1] = 0x40;
  b[kCopyFrom + 2] = 0x50;  // bit 4 of the third byte keeps its hash unique
  for (size_t i = 0; i < 10; ++i) b[kCopyTo - 10 + i] = static_cast<uint8_t>(0xA0 + i);
  std::copy(b.begin() + kCopyFrom, b.begin() + kCopyFrom + 300, b.begin() + kCopyTo);
  return b;
}

Bytes ProgramImage(size_t limit) {
  std::ifstream file("/proc/self/exe", std::ios::binary);
  Bytes b((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (b.size() > limit) b.resize(limit);
  return b;
}

struct Case {
  std::string name;
  Bytes data;
  size_t chunk = SIZE_MAX;  // input piece size
  int method = -1;          // expected CompressionMethod, when it is certain
};

const std::vector<Case>& Cases() {
  static const std::vector<Case> cases = [] {
    std::vector<Case> c;
    c.push_back({"empty", {}, SIZE_MAX, 0});
    c.push_back({"one_byte", {'x'}});
    c.push_back({"random_100", Random(100, 1), SIZE_MAX, 0});
    c.push_back({"run_100_a", Bytes(100, 'a'), SIZE_MAX, 8});
    // Short inputs go out in a fixed-code block; bytes 144-255 have its 9-bit codes.
    c.push_back({"run_100_high_byte", Bytes(100, 0xE9), SIZE_MAX, 8});
    c.push_back({"short_binary_fixed_block", Binary(2000, 15), SIZE_MAX, 8});
    c.push_back({"text_200k", Text(200000, 2), SIZE_MAX, 8});
    c.push_back({"text_in_7_byte_pieces", Text(100000, 3), 7, 8});
    c.push_back({"binary_200k", Binary(200000, 4), 1000, 8});
    c.push_back({"random_300k_stored_blocks", Random(300000, 5)});
    for (size_t n : {32767, 32768, 32769, 65273, 65274, 65535, 65536, 65537, 98305})
      c.push_back({"mixed_" + std::to_string(n), Concat({Text(n / 2, 6), Binary(n - n / 2, 7)})});
    c.push_back({"run_1m_blocks_span_moves", Bytes(1 << 20, 'z'), SIZE_MAX, 8});
    c.push_back({"period_at_max_distance", Periodic(32506, 150000, 8)});
    c.push_back({"period_beyond_max_distance", Periodic(32507, 150000, 9)});
    c.push_back({"far_match_across_window_move", FarMatchAcrossWindowMove(), 1});
    c.push_back({"mix_2m_odd_pieces",
                 Concat({Text(600000, 10), Random(100000, 11), Binary(700000, 12), Random(5000, 13),
                         Text(700000, 14)}),
                 4099});
    return c;
  }();
  return cases;
}

// --- Round trips --------------------------------------------------------------

class DeflateLevelTest : public testing::TestWithParam<int> {};

// Every input at every level decodes with zlib to itself; the output goes out
// in 1024-byte pieces (the last may be shorter); the return value counts it.
TEST_P(DeflateLevelTest, RoundTripsThroughZlib) {
  const int level = GetParam();
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.name);
    const Result r = Compress(level, c.data, c.chunk);
    EXPECT_EQ(r.returned, r.bytes.size());
    for (size_t i = 0; i < r.pieces.size(); ++i) {
      if (i + 1 < r.pieces.size()) {
        EXPECT_EQ(r.pieces[i], kOutPiece);
      }
      EXPECT_GE(r.pieces[i], 1u);
      EXPECT_LE(r.pieces[i], kOutPiece);
    }
    if (c.method >= 0) {
      EXPECT_EQ(r.entry.CompressionMethod, c.method);
    }
    if (r.entry.CompressionMethod == 0) {
      EXPECT_EQ(r.bytes, c.data);
    } else {
      ASSERT_EQ(r.entry.CompressionMethod, 8);
      const std::optional<Bytes> decoded = ZlibInflateRaw(r.bytes);
      ASSERT_TRUE(decoded.has_value());
      EXPECT_TRUE(*decoded == c.data) << "decoded " << decoded->size() << " of " << c.data.size() << " bytes";
    }
  }
}

// Level bits 1-2 (bit 2 for the fast levels, bit 1 for the maximum ones),
// also when the entry ends up stored; other bits are kept, stale level bits
// are not.
TEST_P(DeflateLevelTest, SetsLevelBitsOfBitFlag) {
  const int level = GetParam();
  const uint16_t level_bits = level <= 2 ? 4 : level >= 8 ? 2 : 0;
  const uint16_t kept = 0x0809;  // encrypted, data descriptor, UTF-8 name
  for (const Bytes& data : {Text(20000, 20), Random(100, 21)}) {
    const Result r = Compress(level, data, SIZE_MAX, 2, kept | 2 | 4);
    EXPECT_EQ(r.entry.BitFlag, kept | level_bits) << "method " << r.entry.CompressionMethod;
  }
}

INSTANTIATE_TEST_SUITE_P(Levels, DeflateLevelTest, testing::Range(1, 10));

TEST(DeflateTest, EmptyInputWritesNothingAndIsStored) {
  TDeflater deflater;
  const Result r = Compress(deflater, 9, {});
  EXPECT_EQ(r.returned, 0u);
  EXPECT_TRUE(r.pieces.empty());
  EXPECT_EQ(r.entry.CompressionMethod, 0);
}

// A level outside 1..9 is taken as the nearest one, not read past the table.
TEST(DeflateTest, OutOfRangeLevelActsAsTheNearest) {
  const Bytes text = Text(50000, 35);
  for (auto [given, nearest] : {std::pair{0, 1}, {-3, 1}, {10, 9}, {99, 9}}) {
    SCOPED_TRACE(given);
    const Result got = Compress(given, text), want = Compress(nearest, text);
    EXPECT_EQ(got.bytes, want.bytes);
    EXPECT_EQ(got.entry.BitFlag, want.entry.BitFlag);
  }
}

// The method is set for every entry, not left from an earlier use of the header.
TEST(DeflateTest, CompressibleEntrySetsMethod8) {
  const Bytes text = Text(5000, 22);
  MemoryInput in(text);
  MemoryOutput out;
  TZipHeaderInfo entry;
  entry.CompressionMethod = 0;
  TDeflater deflater;
  deflater.Deflate(6, in, out, entry);
  EXPECT_EQ(entry.CompressionMethod, 8);
}

// Incompressible input grows only by the 5 bytes per stored block, not by the
// percent or so that coding random bytes would cost.
TEST(DeflateTest, IncompressibleInputGoesOutInStoredBlocks) {
  const Bytes data = Random(1 << 20, 23);
  for (int level : {1, 6, 9}) {
    const Result r = Compress(level, data);
    EXPECT_EQ(r.entry.CompressionMethod, 8);
    EXPECT_LE(r.bytes.size(), data.size() + data.size() / 2000) << "level " << level;
  }
}

// Same classic design, same level table: the sizes stay close to zlib's.
TEST(DeflateTest, SizeStaysNearZlib) {
  const Bytes text = Text(1 << 20, 24);
  for (int level : {1, 6, 9}) {
    const double ours = static_cast<double>(Compress(level, text).bytes.size());
    const double zlib = static_cast<double>(ZlibDeflateRaw(text, level).size());
    EXPECT_LE(ours, zlib * 1.03) << "level " << level;
  }
}

// --- The entry's text flag ------------------------------------------------------

TEST(DeflateTest, ClassifiesTextAndBinaryFromTheFirstBlock) {
  struct Row {
    const char* name;
    Bytes data;
    uint16_t expected;
  };
  const Row rows[] = {
      {"prose", Text(50000, 25), 1},
      {"program image", ProgramImage(256 * 1024), 0},
      {"4 text, 1 control", {'a', 'b', 'c', 'd', 0x06}, 1},
      {"3 text, 1 control", {'a', 'b', 'c', 0x06}, 0},
      {"7 and 127 are text, 128 is not", {0x07, 0x7F, 0x08, 0x7E, 0x80}, 1},
      {"3 text, 1 high", {0x07, 0x7F, 0x08, 0xFF}, 0},
      {"text first, binary after", Concat({Text(512 * 1024, 26), Binary(1 << 20, 27)}), 1},
      {"empty", {}, 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(Compress(6, row.data).entry.InternalAttributes, row.expected);
  }
  // A value the writer already decided stays.
  EXPECT_EQ(Compress(6, Text(5000, 28), SIZE_MAX, 0).entry.InternalAttributes, 0);
  EXPECT_EQ(Compress(6, Binary(5000, 29), SIZE_MAX, 1).entry.InternalAttributes, 1);
}

// --- Failures and reuse ------------------------------------------------------------

TEST(DeflateTest, CancelFromTheOutputTravelsOutAndTheDeflaterStaysUsable) {
  const Bytes big = Concat({Text(300000, 30), Binary(300000, 31)});
  const Bytes next = Text(70000, 32);
  TDeflater deflater;
  {
    MemoryInput in(big);
    MemoryOutput out;
    out.CancelAtPiece(3);
    TZipHeaderInfo entry;
    try {
      deflater.Deflate(6, in, out, entry);
      FAIL() << "no exception";
    } catch (const EUserCanceled& e) {
      EXPECT_STREQ(e.what(), kMsgUserAborted);
    }
    EXPECT_EQ(out.pieces.size(), 3u);
  }
  {
    MemoryInput in(big);
    in.FailAt(100000);
    MemoryOutput out;
    TZipHeaderInfo entry;
    EXPECT_THROW(deflater.Deflate(9, in, out, entry), EFileError);
  }
  // Nothing of the abandoned entries leaks into the next one.
  EXPECT_EQ(Compress(deflater, 6, next).bytes, Compress(6, next).bytes);
}

// The window, hash heads and chains are reused from entry to entry; what an
// earlier entry left must not change a later one's output.
TEST(DeflateTest, ReusedDeflaterGivesTheSameOutputAsAFreshOne) {
  const Bytes first = Concat({Binary(200000, 33), Text(100000, 34)});
  const Bytes second = Concat({Text(100000, 34), Binary(200000, 33)});
  TDeflater reused;
  Compress(reused, 9, first);
  for (int level : {1, 4, 9}) {
    SCOPED_TRACE(level);
    EXPECT_EQ(Compress(reused, level, second).bytes, Compress(level, second).bytes);
  }
}

class DeflateSkewTest : public testing::Test {
 protected:
  void TearDown() override { TEST_SkewMatches(0); }
};

// A match that does not hold what the window holds is caught before it is
// written, at either strategy.
TEST_F(DeflateSkewTest, BrokenMatchRaisesInvalidMatch) {
  Bytes data;
  for (int i = 0; i < 10; ++i) data.insert(data.end(), {'x', 'y', 'z'});
  TEST_SkewMatches(1);
  for (int level : {1, 6}) {
    SCOPED_TRACE(level);
    try {
      Compress(level, data);
      FAIL() << "no exception";
    } catch (const EInvalidMatch& e) {
      EXPECT_STREQ(e.what(), "Start: 4, Match: 2, Length: 26");
    }
  }
}

}  // namespace
}  // namespace corvid::zip
