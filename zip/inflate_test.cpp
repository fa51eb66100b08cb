#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "zip/decoder.h"
#include "zip/errors.h"
#include "zip/inflate_internal.h"

namespace corvid::zip {
namespace {

using Bytes = std::vector<uint8_t>;

// Hands out the compressed bytes at most `chunk` at a time, as the reader does
// (it never gives more than kInputChunk). Optionally raises once `fail_after`
// bytes have gone out.
class MemoryInput : public DecodeInput {
 public:
  explicit MemoryInput(const Bytes& data, size_t chunk = DecodeWorkspace::kInputChunk)
      : data_(data), chunk_(chunk) {}
  size_t Read(uint8_t* buf, size_t capacity) override {
    EXPECT_LE(capacity, DecodeWorkspace::kInputChunk);
    EXPECT_FALSE(saw_end_) << "Read again after it returned 0";
    if (fail_ && at_ >= fail_after_) fail_();
    size_t n = std::min({capacity, chunk_, data_.size() - at_});
    if (n == 0) saw_end_ = true;
    if (n) std::memcpy(buf, data_.data() + at_, n);
    at_ += n;
    return n;
  }
  void FailAfter(size_t nbytes, void (*raise)()) {
    fail_after_ = nbytes;
    fail_ = raise;
  }

 private:
  const Bytes& data_;
  size_t chunk_;
  size_t at_ = 0;
  bool saw_end_ = false;
  size_t fail_after_ = 0;
  void (*fail_)() = nullptr;
};

// Collects the output; like the reader, raises EBiggerThanUncompressed (and
// takes nothing of the piece) when `limit` would be passed.
class MemoryOutput : public DecodeOutput {
 public:
  explicit MemoryOutput(size_t limit = SIZE_MAX) : limit_(limit) {}
  void Write(const uint8_t* data, size_t n) override {
    EXPECT_FALSE(raised_) << "Write after a raise";
    ++writes_;
    if (n > limit_ - bytes.size()) {
      raised_ = true;
      throw EBiggerThanUncompressed(kMsgBiggerThanUncompressed);
    }
    bytes.insert(bytes.end(), data, data + n);
  }
  Bytes bytes;
  int writes_ = 0;

 private:
  size_t limit_;
  bool raised_ = false;
};

Bytes ZlibDeflateRaw(const Bytes& data, int level, int strategy = Z_DEFAULT_STRATEGY,
                     size_t flush_every = 0) {
  z_stream zs{};
  EXPECT_EQ(deflateInit2(&zs, level, Z_DEFLATED, -15, 8, strategy), Z_OK);
  Bytes out(deflateBound(&zs, data.size()) + 1024 + (flush_every ? data.size() / flush_every * 16 : 0));
  zs.next_out = out.data();
  zs.avail_out = static_cast<uInt>(out.size());
  size_t at = 0;
  int rc;
  do {
    size_t piece = flush_every ? std::min(flush_every, data.size() - at) : data.size() - at;
    zs.next_in = const_cast<uint8_t*>(data.data() + at);
    zs.avail_in = static_cast<uInt>(piece);
    at += piece;
    rc = deflate(&zs, at == data.size() ? Z_FINISH : Z_FULL_FLUSH);
  } while (at < data.size());
  EXPECT_EQ(rc, Z_STREAM_END);
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}

bool ZlibAccepts(const Bytes& stream, Bytes* output = nullptr) {
  z_stream zs{};
  inflateInit2(&zs, -15);
  Bytes out(1 << 20);
  zs.next_in = const_cast<uint8_t*>(stream.data());
  zs.avail_in = static_cast<uInt>(stream.size());
  zs.next_out = out.data();
  zs.avail_out = static_cast<uInt>(out.size());
  int rc = inflate(&zs, Z_FINISH);
  out.resize(zs.total_out);
  inflateEnd(&zs);
  if (output) *output = out;
  return rc == Z_STREAM_END;
}

struct Decoded {
  InflateResult result;
  Bytes bytes;
};

Decoded Decode(const Bytes& stream, size_t chunk = DecodeWorkspace::kInputChunk, size_t limit = SIZE_MAX) {
  DecodeWorkspace ws;
  MemoryInput in(stream, chunk);
  MemoryOutput out(limit);
  InflateResult result = InflateWithResult(in, out, ws);
  return {result, out.bytes};
}

// Data with the character of the benchmark's workloads.
Bytes MakeData(const std::string& kind, size_t size, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes data;
  data.reserve(size + 64);
  if (kind == "random") {
    while (data.size() < size) data.push_back(static_cast<uint8_t>(rng()));
  } else if (kind == "text") {
    static const char* const kWords[] = {"the ",  "of ",     "archive ", "entry ", "and ",
                                         "mail ", "header ", "a ",       "to ",    "is ",
                                         "data\n", "in ",    "folder ",  "message. ", "with "};
    while (data.size() < size) {
      const char* w = kWords[rng() % 15];
      data.insert(data.end(), w, w + std::strlen(w));
    }
  } else if (kind == "patchwork") {  // stored and Huffman blocks in turn
    while (data.size() < size) {
      Bytes piece = MakeData(data.size() / 60000 % 2 ? "text" : "random", 60000, seed++);
      data.insert(data.end(), piece.begin(), piece.end());
    }
  } else {  // "mixed": runs, short periods, random stretches and far repeats
    while (data.size() < size) {
      switch (rng() % 4) {
        case 0:
          data.insert(data.end(), rng() % 300, static_cast<uint8_t>(rng()));
          break;
        case 1: {
          size_t period = 2 + rng() % 7, n = rng() % 500;
          for (size_t i = 0; i < n; ++i) data.push_back(static_cast<uint8_t>('a' + (i % period)));
          break;
        }
        case 2:
          for (int i = rng() % 200; i > 0; --i) data.push_back(static_cast<uint8_t>(rng()));
          break;
        default:
          if (data.size() > 40000) {
            size_t from = data.size() - 1 - rng() % 32768, n = rng() % 1000;
            for (size_t i = 0; i < n; ++i) data.push_back(data[from + i]);
          }
      }
    }
  }
  data.resize(size);
  return data;
}

struct DeflateConfig {
  const char* name;
  int level;
  int strategy;
  size_t flush_every;  // full flushes: empty stored blocks and fresh blocks mid-stream
};

class InflateRoundTripTest : public testing::TestWithParam<DeflateConfig> {};

// Every size around the input chunk, the window history and the flush point,
// each with whole chunks, with one byte per Read, and through every decoding
// loop forced in turn (odd chunks then).
TEST_P(InflateRoundTripTest, MatchesZlibOutput) {
  const DeflateConfig& config = GetParam();
  for (const char* kind : {"text", "random", "mixed", "patchwork"}) {
    for (size_t size : {0, 1, 15999, 16000, 16001, 32768, 100000, 1 << 20}) {
      SCOPED_TRACE(std::string(kind) + " size " + std::to_string(size));
      Bytes data = MakeData(kind, size, static_cast<uint32_t>(size) + 17);
      Bytes stream = ZlibDeflateRaw(data, config.level, config.strategy, config.flush_every);

      Decoded whole = Decode(stream);
      ASSERT_EQ(whole.result, InflateResult::Done);
      ASSERT_TRUE(whole.bytes == data);

      if (size <= 100000) {
        Decoded bytewise = Decode(stream, 1);
        ASSERT_EQ(bytewise.result, InflateResult::Done);
        ASSERT_TRUE(bytewise.bytes == data);
      }
      for (InflatePath path : {InflatePath::Portable, InflatePath::Bmi2, InflatePath::CarefulOnly}) {
        if (!InflatePathAvailable(path)) continue;
        TEST_ForceInflatePath(path);
        Decoded forced = Decode(stream, 777);
        TEST_ForceInflatePath(InflatePath::Auto);
        ASSERT_EQ(forced.result, InflateResult::Done) << static_cast<int>(path);
        ASSERT_TRUE(forced.bytes == data) << static_cast<int>(path);
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Configs, InflateRoundTripTest,
                         testing::Values(DeflateConfig{"Stored", 0, Z_DEFAULT_STRATEGY, 0},
                                         DeflateConfig{"Level1", 1, Z_DEFAULT_STRATEGY, 0},
                                         DeflateConfig{"Level6", 6, Z_DEFAULT_STRATEGY, 0},
                                         DeflateConfig{"Level9", 9, Z_DEFAULT_STRATEGY, 0},
                                         DeflateConfig{"HuffmanOnly", 6, Z_HUFFMAN_ONLY, 0},
                                         DeflateConfig{"Rle", 6, Z_RLE, 0},
                                         DeflateConfig{"Fixed", 6, Z_FIXED, 0},
                                         DeflateConfig{"FullFlushes", 6, Z_DEFAULT_STRATEGY, 5000}),
                         [](const testing::TestParamInfo<DeflateConfig>& info) {
                           return std::string(info.param.name);
                         });

// Writes a Deflate bit stream: fields least significant bit first, Huffman
// codewords first bit first.
class BitWriter {
 public:
  BitWriter& Field(uint64_t value, int nbits) {
    for (int i = 0; i < nbits; ++i) Put((value >> i) & 1);
    return *this;
  }
  BitWriter& Code(uint32_t codeword, int nbits) {
    for (int i = nbits - 1; i >= 0; --i) Put((codeword >> i) & 1);
    return *this;
  }
  BitWriter& AlignToByte() {
    while (nbits_ % 8) Put(0);
    return *this;
  }
  BitWriter& Raw(const Bytes& bytes) {
    AlignToByte();
    out_.insert(out_.end(), bytes.begin(), bytes.end());
    nbits_ += 8 * bytes.size();
    return *this;
  }
  Bytes bytes() const { return out_; }

 private:
  void Put(uint32_t bit) {
    if (nbits_ % 8 == 0) out_.push_back(0);
    out_.back() |= static_cast<uint8_t>(bit << (nbits_ % 8));
    ++nbits_;
  }
  Bytes out_;
  size_t nbits_ = 0;
};

// Fixed-code codewords (RFC 1951, 3.2.6).
constexpr uint32_t FixedLiteral(uint8_t byte) { return byte < 144 ? 0x30 + byte : 0x190 + (byte - 144); }
constexpr int FixedLiteralBits(uint8_t byte) { return byte < 144 ? 8 : 9; }
constexpr uint32_t kFixedEndOfBlock = 0;  // 7 bits
constexpr uint32_t kFixedLength3 = 1;     // symbol 257, 7 bits
constexpr uint32_t kFixedLength258 = 0xC5;  // symbol 285, 8 bits

struct MalformedCase {
  const char* name;
  Bytes stream;
};

// A few bytes each, one field wrong. zlib is the control: it must refuse them too.
std::vector<MalformedCase> MalformedStreams() {
  std::vector<MalformedCase> cases;
  cases.push_back({"ReservedBlockType", {0x07}});  // BFINAL=1, BTYPE=11
  cases.push_back({"StoredLengthComplementWrong",
                   {0x01,                   // BFINAL=1, BTYPE=00, pad
                    0x03, 0x00, 0xFC, 0xFE,  // LEN=3, NLEN=0xFEFC (should be 0xFFFC)
                    'a', 'b', 'c'}});
  cases.push_back({"StoredDataCutShort",
                   {0x01, 0x05, 0x00, 0xFA, 0xFF,  // LEN=5, NLEN=~5
                    'a', 'b'}});                    // only 2 of the 5 bytes
  cases.push_back({"NonFinalBlockThenNothing", {0x00, 0x00, 0x00, 0xFF, 0xFF}});  // BFINAL=0, empty stored
  cases.push_back({"Empty", {}});
  cases.push_back({"OversubscribedCodelenCode",
                   BitWriter()
                       .Field(1, 1)   // BFINAL
                       .Field(2, 2)   // BTYPE=dynamic
                       .Field(0, 5)   // HLIT: 257 codes
                       .Field(0, 5)   // HDIST: 1 code
                       .Field(0, 4)   // HCLEN: 4 code-length codes (16, 17, 18, 0)
                       .Field(1, 3)   // each of length 1: four 1-bit codewords
                       .Field(1, 3)
                       .Field(1, 3)
                       .Field(1, 3)
                       .bytes()});
  cases.push_back({"IncompleteCodelenCode",
                   BitWriter()
                       .Field(1, 1)
                       .Field(2, 2)
                       .Field(0, 5)
                       .Field(0, 5)
                       .Field(0, 4)
                       .Field(1, 3)  // symbol 16 alone, one 1-bit codeword: half the space unused
                       .Field(0, 3)
                       .Field(0, 3)
                       .Field(0, 3)
                       .bytes()});
  cases.push_back({"TooManyLitlenCodes",
                   BitWriter()
                       .Field(1, 1)
                       .Field(2, 2)
                       .Field(30, 5)  // HLIT: 287 codes, one more than the alphabet
                       .Field(0, 5)
                       .Field(15, 4)
                       .Field(0, 57)
                       .bytes()});
  cases.push_back({"DistanceBeyondOutput",
                   BitWriter()
                       .Field(1, 1)                                         // BFINAL
                       .Field(1, 2)                                         // BTYPE=fixed
                       .Code(FixedLiteral('a'), FixedLiteralBits('a'))      // 'a'
                       .Code(kFixedLength3, 7)                              // length 3
                       .Code(1, 5)                                          // distance 2: one byte back too far
                       .Code(kFixedEndOfBlock, 7)
                       .bytes()});
  {
    // The same far distance with enough input behind it for the fast loop.
    BitWriter w;
    w.Field(1, 1).Field(1, 2);  // BFINAL, BTYPE=fixed
    for (int i = 0; i < 3; ++i) w.Code(FixedLiteral('a'), 8);
    w.Code(kFixedLength3, 7).Code(3, 5);                         // distance 4: one past the start
    for (int i = 0; i < 64; ++i) w.Code(FixedLiteral('b'), 8);  // keeps 64 bytes of input ahead
    w.Code(kFixedEndOfBlock, 7);
    cases.push_back({"DistanceBeyondOutputInFastLoop", w.bytes()});
  }
  cases.push_back({"ReservedLitlenSymbol",
                   BitWriter().Field(1, 1).Field(1, 2).Code(0xC6, 8).bytes()});  // symbol 286
  cases.push_back({"ReservedDistanceSymbol",
                   BitWriter()
                       .Field(1, 1)
                       .Field(1, 2)
                       .Code(FixedLiteral('a'), 8)
                       .Code(kFixedLength3, 7)
                       .Code(30, 5)  // distance symbol 30
                       .Code(kFixedEndOfBlock, 7)
                       .bytes()});
  return cases;
}

TEST(InflateMalformedTest, EndsSilentlyAsDamagedLikeZlib) {
  for (const MalformedCase& c : MalformedStreams()) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(ZlibAccepts(c.stream));
    for (size_t chunk : {size_t{1}, DecodeWorkspace::kInputChunk}) {
      DecodeWorkspace ws;
      MemoryInput in(c.stream, chunk);
      MemoryOutput out;
      InflateResult result = InflateResult::Done;
      EXPECT_NO_THROW(result = InflateWithResult(in, out, ws));
      EXPECT_EQ(result, InflateResult::Damaged);
      EXPECT_EQ(out.writes_, 0);  // nothing is written after damage, and these end before any flush
    }
  }
}

TEST(InflateMalformedTest, DamageAfterFlushesKeepsOnlyWhatWasWrittenBefore) {
  // 200 KB of valid output in non-final blocks, ended by a full flush (an
  // empty stored block, so the stream ends byte-aligned), then BFINAL=1, BTYPE=11.
  Bytes data = MakeData("text", 200000, 5);
  z_stream zs{};
  deflateInit2(&zs, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  Bytes flushed(deflateBound(&zs, data.size()) + 64);
  zs.next_in = data.data();
  zs.avail_in = static_cast<uInt>(data.size());
  zs.next_out = flushed.data();
  zs.avail_out = static_cast<uInt>(flushed.size());
  ASSERT_EQ(deflate(&zs, Z_FULL_FLUSH), Z_OK);
  flushed.resize(zs.total_out);
  deflateEnd(&zs);
  flushed.push_back(0x07);
  ASSERT_FALSE(ZlibAccepts(flushed));

  Decoded d = Decode(flushed);
  EXPECT_EQ(d.result, InflateResult::Damaged);
  ASSERT_GT(d.bytes.size(), 0u);
  ASSERT_LT(d.bytes.size(), data.size());
  EXPECT_TRUE(std::equal(d.bytes.begin(), d.bytes.end(), data.begin()));
}

TEST(InflateMalformedTest, EveryTruncationIsDamageNeverCompletion) {
  Bytes data = MakeData("mixed", 70000, 9);
  for (int level : {0, 6}) {
    Bytes stream = ZlibDeflateRaw(data, level);
    for (size_t cut = 1; cut <= stream.size(); cut += (cut < 64 || stream.size() - cut < 64) ? 1 : 997) {
      Bytes head(stream.begin(), stream.end() - static_cast<ptrdiff_t>(cut));
      Decoded d = Decode(head);
      ASSERT_EQ(d.result, InflateResult::Damaged) << "level " << level << " cut " << cut;
      ASSERT_TRUE(std::equal(d.bytes.begin(), d.bytes.end(), data.begin()));
    }
  }
}

// A dynamic block whose codes zlib accepts though they are incomplete: one
// distance codeword of one bit. Litlen: 'a' = 0, end of block = 10, length 3 = 11.
BitWriter SingleDistanceCodeHeader() {
  BitWriter w;
  w.Field(1, 1)    // BFINAL
      .Field(2, 2)   // BTYPE=dynamic
      .Field(1, 5)   // HLIT: 258, through the first length symbol
      .Field(0, 5)   // HDIST: 1
      .Field(14, 4);  // HCLEN: 18 code-length code lengths, up to symbol 1
  // Lengths in the order 16 17 18 0 8 7 9 6 10 5 11 4 12 3 13 2 14 1:
  // symbol 18 and 2 get 2 bits, symbol 1 gets 1 bit (codewords 1=0, 2=10, 18=11).
  const int order_lens[18] = {0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 1};
  for (int len : order_lens) w.Field(static_cast<uint32_t>(len), 3);
  w.Code(3, 2).Field(97 - 11, 7)   // 18: 97 zeros (symbols 0..96)
      .Code(0, 1)                   // 'a' (97): length 1
      .Code(3, 2).Field(138 - 11, 7)  // 18: 138 zeros (98..235)
      .Code(3, 2).Field(20 - 11, 7)   // 18: 20 zeros (236..255)
      .Code(2, 2)                   // 256: length 2
      .Code(2, 2)                   // 257: length 2
      .Code(0, 1);                  // distance 0: length 1, the lone codeword
  return w;
}

TEST(InflateAcceptanceTest, CodesZlibAcceptsDecodeAlike) {
  struct Case {
    const char* name;
    Bytes stream;
    bool accepted;
  };
  std::vector<Case> cases = {
      {"EmptyStoredBlock", {0x01, 0x00, 0x00, 0xFF, 0xFF}, true},
      {"EmptyFixedBlock", BitWriter().Field(1, 1).Field(1, 2).Code(kFixedEndOfBlock, 7).bytes(), true},
      {"SingleDistanceCode",
       SingleDistanceCodeHeader()
           .Code(0, 1)   // 'a'
           .Code(0, 1)   // 'a'
           .Code(3, 2)   // length 3
           .Code(0, 1)   // distance 1
           .Code(2, 2)   // end of block
           .bytes(),
       true},
      {"UnusedHalfOfSingleDistanceCode",
       SingleDistanceCodeHeader().Code(0, 1).Code(3, 2).Code(1, 1).Code(2, 2).bytes(), false},
      {"TrailingBytesAfterFinalBlock", {0x03, 0x00, 0xDE, 0xAD}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes zlib_out;
    ASSERT_EQ(ZlibAccepts(c.stream, &zlib_out), c.accepted);
    Decoded d = Decode(c.stream);
    EXPECT_EQ(d.result, c.accepted ? InflateResult::Done : InflateResult::Damaged);
    if (c.accepted) {
      EXPECT_TRUE(d.bytes == zlib_out);
    }
  }
}

TEST(InflateAcceptanceTest, ZeroBitsPastTheEndNeverDecodeForever) {
  // 'a' is the all-zero codeword, so zero bits past the end would decode as
  // endless 'a's. The stream stops after two symbols, without an end of block.
  Bytes stream = SingleDistanceCodeHeader().Code(0, 1).Code(0, 1).bytes();
  for (size_t chunk : {size_t{1}, DecodeWorkspace::kInputChunk}) {
    Decoded d = Decode(stream, chunk, 1 << 20);  // the bound turns a runaway into kInterrupted
    EXPECT_EQ(d.result, InflateResult::Damaged);
    EXPECT_TRUE(d.bytes.empty());
  }
}

TEST(InflateWindowTest, MatchesReachExactlyOneWindowBackAcrossBlockKinds) {
  // A stored block of 32768 random bytes, then a fixed block copying 258 bytes
  // from 32768 back again and again: history must survive the block change
  // and every slide of the window.
  Bytes history = MakeData("random", 32768, 21);
  BitWriter w;
  w.Field(0, 1).Field(0, 2).Raw({0x00, 0x80, 0xFF, 0x7F}).Raw(history);  // stored, LEN=32768
  w.Field(1, 1).Field(1, 2);                                             // final fixed block
  const int kMatches = 1000;                                             // 258 KB: several slides
  for (int i = 0; i < kMatches; ++i) {
    w.Code(kFixedLength258, 8)
        .Code(29, 5)         // distance symbol 29: base 24577
        .Field(8191, 13);    // + 8191 = 32768
  }
  w.Code(kFixedEndOfBlock, 7);
  Bytes stream = w.bytes();

  Bytes expected = history;
  for (int i = 0; i < kMatches * 258; ++i) expected.push_back(expected[expected.size() - 32768]);
  Bytes zlib_out;
  ASSERT_TRUE(ZlibAccepts(stream, &zlib_out));
  ASSERT_TRUE(zlib_out == expected);
  Decoded d = Decode(stream);
  EXPECT_EQ(d.result, InflateResult::Done);
  EXPECT_TRUE(d.bytes == expected);

  // One byte less of history and the same distance reaches before the entry.
  Bytes short_history(history.begin() + 1, history.end());
  BitWriter bad;
  bad.Field(0, 1).Field(0, 2).Raw({0xFF, 0x7F, 0x00, 0x80}).Raw(short_history);  // LEN=32767
  bad.Field(1, 1).Field(1, 2).Code(kFixedLength258, 8).Code(29, 5).Field(8191, 13).Code(kFixedEndOfBlock, 7);
  EXPECT_FALSE(ZlibAccepts(bad.bytes()));
  EXPECT_EQ(Decode(bad.bytes()).result, InflateResult::Damaged);
}

TEST(InflateWindowTest, HistoryJoinsUpAfterStoredDataWrapsTheWindow) {
  // Stored data does not slide the window but starts over at its bottom once
  // the window is full; a later Huffman block must still see the last 32 KiB
  // in order. Vary how much stored data follows the wrap.
  for (size_t after_wrap : {size_t{1}, size_t{1000}, size_t{20000}, size_t{40000}}) {
    SCOPED_TRACE(after_wrap);
    Bytes stored = MakeData("random", DecodeWorkspace::kWindowBytes + after_wrap, 31);
    BitWriter w;
    for (size_t at = 0; at < stored.size(); at += 65535) {
      const size_t n = std::min<size_t>(65535, stored.size() - at);
      w.Field(0, 1).Field(0, 2);  // BFINAL=0, BTYPE=stored
      w.Raw({static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(~n),
             static_cast<uint8_t>(~n >> 8)});  // LEN, NLEN
      w.Raw(Bytes(stored.begin() + static_cast<ptrdiff_t>(at), stored.begin() + static_cast<ptrdiff_t>(at + n)));
    }
    w.Field(1, 1).Field(1, 2);  // final fixed block
    for (int i = 0; i < 40; ++i) {
      w.Code(kFixedLength258, 8);
      switch (i % 4) {
        case 0: w.Code(29, 5).Field(8191, 13); break;  // distance 32768
        case 1: w.Code(29, 5).Field(7000, 13); break;  // distance 31577
        case 2: w.Code(19, 5).Field(100, 8); break;    // distance 869
        default: w.Code(2, 5); break;                  // distance 3
      }
    }
    w.Code(kFixedEndOfBlock, 7);
    Bytes expected;
    ASSERT_TRUE(ZlibAccepts(w.bytes(), &expected));
    for (size_t chunk : {size_t{1}, size_t{777}, DecodeWorkspace::kInputChunk}) {
      Decoded d = Decode(w.bytes(), chunk);
      EXPECT_EQ(d.result, InflateResult::Done) << chunk;
      EXPECT_TRUE(d.bytes == expected) << chunk;
    }
  }
}

// ---- Who may raise ----

TEST(InflateExceptionTest, SizeBoundHitMidStreamEndsSilently) {
  Bytes data = MakeData("text", 300000, 3);
  Bytes stream = ZlibDeflateRaw(data, 6);
  DecodeWorkspace ws;
  MemoryInput in(stream);
  MemoryOutput out(150000);  // passed by the second 64 KiB piece
  EXPECT_NO_THROW(Inflate(in, out, ws));
  EXPECT_GT(out.bytes.size(), 0u);
  EXPECT_TRUE(std::equal(out.bytes.begin(), out.bytes.end(), data.begin()));

  MemoryInput again(stream);
  MemoryOutput bounded(150000);
  EXPECT_EQ(InflateWithResult(again, bounded, ws), InflateResult::Interrupted);
}

TEST(InflateExceptionTest, SizeBoundHitByFinalFlushPropagates) {
  for (size_t size : {size_t{1000}, size_t{300000}}) {  // only the final flush / after mid-stream flushes
    SCOPED_TRACE(size);
    Bytes data = MakeData("text", size, 4);
    Bytes stream = ZlibDeflateRaw(data, 6);
    DecodeWorkspace ws;
    MemoryInput in(stream);
    MemoryOutput out(size - 1);
    EXPECT_THROW(Inflate(in, out, ws), EBiggerThanUncompressed);
  }
}

TEST(InflateExceptionTest, EarlyEndIsDamageAndEveryOtherRaiseTravelsOn) {
  Bytes data = MakeData("mixed", 200000, 6);
  Bytes stream = ZlibDeflateRaw(data, 6);
  for (size_t after : {size_t{0}, stream.size() / 2}) {
    SCOPED_TRACE(after);
    auto run = [&](void (*raise)()) {
      DecodeWorkspace ws;
      MemoryInput in(stream);
      in.FailAfter(after, raise);
      MemoryOutput out;
      InflateResult result = InflateWithResult(in, out, ws);
      EXPECT_TRUE(std::equal(out.bytes.begin(), out.bytes.end(), data.begin()));
      return result;
    };
    // The archive ending inside the entry is damage of the entry...
    EXPECT_EQ(run([] { throw EFatalUnzipError(kMsgPrematureEnd); }), InflateResult::Damaged);
    // ...but a cancel or a failing target is not, and must stop the caller.
    EXPECT_THROW(run([] { throw EUserCanceled(kMsgUserAborted); }), EUserCanceled);
    EXPECT_THROW(run([] { throw EFileError("disk full"); }), EFileError);
    EXPECT_THROW(run([] { throw std::bad_alloc(); }), std::bad_alloc);
  }
}

TEST(InflateWorkspaceTest, ReusedWorkspaceStartsEachEntryWithEmptyHistory) {
  // The first entry fills the window; the second refers one byte back before
  // producing anything, which must not see the first entry's bytes.
  DecodeWorkspace ws;
  Bytes first = ZlibDeflateRaw(MakeData("text", 50000, 8), 6);
  MemoryInput in1(first);
  MemoryOutput out1;
  ASSERT_EQ(InflateWithResult(in1, out1, ws), InflateResult::Done);

  Bytes second = BitWriter().Field(1, 1).Field(1, 2).Code(kFixedLength3, 7).Code(0, 5).Code(kFixedEndOfBlock, 7).bytes();
  MemoryInput in2(second);
  MemoryOutput out2;
  EXPECT_EQ(InflateWithResult(in2, out2, ws), InflateResult::Damaged);
  EXPECT_TRUE(out2.bytes.empty());
}

}  // namespace
}  // namespace corvid::zip
