// The stub's own Inflate and stored copy, with zlib as the independent
// encoder: every block type, window wrap-around, the size bound, and
// malformed streams that must fail cleanly (the suite also runs under the
// sanitizers, which catch any read or write out of bounds).
#include "sfx/unpack.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "testutil/zip_builder.h"
#include "zip/crc32.h"

namespace corvid::sfx {
namespace {

using testutil::Bytes;

struct Collected {
  Bytes bytes;
  size_t refuse_after = SIZE_MAX;  // the sink fails once this much has arrived
};

bool Collect(void* context, const uint8_t* data, size_t size) {
  auto* c = static_cast<Collected*>(context);
  EXPECT_LE(size, 32768u);
  c->bytes.insert(c->bytes.end(), data, data + size);
  return c->bytes.size() <= c->refuse_after;
}

Bytes DeflateWith(const Bytes& data, int level, int strategy) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, -15, 8, strategy), Z_OK);
  Bytes out(deflateBound(&z, static_cast<uLong>(data.size())) + 64);
  z.next_in = const_cast<Bytef*>(data.data());
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

// Text with long and short repeats at every distance up to the window size.
Bytes Repetitive(size_t n) {
  Bytes out;
  uint32_t x = 1;
  while (out.size() < n) {
    x = x * 1103515245u + 12345u;
    if (out.size() > 40000 && (x >> 28) < 6) {
      size_t dist = 1 + (x >> 8) % 32768;
      size_t len = 3 + (x >> 3) % 300;
      for (size_t i = 0; i < len && out.size() < n; ++i) out.push_back(out[out.size() - dist]);
    } else {
      out.push_back(static_cast<uint8_t>('a' + (x >> 24) % 7));
    }
  }
  return out;
}

UnpackResult UnpackInto(Unpacker& u, int method, const Bytes& in, uint64_t declared, uint32_t crc, Collected& out,
                 zip::TZipCipher* cipher = nullptr) {
  return u.Unpack(method, in.data(), in.size(), cipher, declared, crc, Collect, &out);
}

TEST(UnpackTest, DecodesEveryBlockTypeZlibMakes) {
  struct Input {
    const char* what;
    Bytes data;
  };
  const std::vector<Input> inputs = {
      {"empty", {}},
      {"one byte", {'x'}},
      {"repeats over the whole window", Repetitive(300000)},
      {"incompressible", testutil::RandomBytes(100000, 7)},
      {"one long run", Bytes(200000, 'z')},
  };
  struct Mode {
    int level, strategy;
  };
  const Mode modes[] = {{0, Z_DEFAULT_STRATEGY}, {1, Z_DEFAULT_STRATEGY}, {6, Z_DEFAULT_STRATEGY},
                        {9, Z_DEFAULT_STRATEGY}, {6, Z_FIXED},            {6, Z_HUFFMAN_ONLY},
                        {6, Z_RLE}};
  auto u = std::make_unique<Unpacker>();
  for (const Input& input : inputs) {
    const uint32_t crc = testutil::CrcOf(input.data);
    for (const Mode& m : modes) {
      SCOPED_TRACE(std::string(input.what) + ", level " + std::to_string(m.level) + ", strategy " +
                   std::to_string(m.strategy));
      Collected out;
      ASSERT_EQ(UnpackInto(*u, 8, DeflateWith(input.data, m.level, m.strategy), input.data.size(), crc, out),
                UnpackResult::Ok);
      EXPECT_EQ(out.bytes, input.data);
    }
    Collected stored;
    ASSERT_EQ(UnpackInto(*u, 0, input.data, input.data.size(), crc, stored), UnpackResult::Ok);
    EXPECT_EQ(stored.bytes, input.data);
  }
}

TEST(UnpackTest, DeclaredSizeIsAHardBoundAndCrcDecides) {
  const Bytes data = Repetitive(100000);
  const uint32_t crc = testutil::CrcOf(data);
  const Bytes deflated = DeflateWith(data, 6, Z_DEFAULT_STRATEGY);
  auto u = std::make_unique<Unpacker>();
  for (int method : {0, 8}) {
    const Bytes& in = method == 0 ? data : deflated;
    SCOPED_TRACE(method);
    Collected shorter;
    EXPECT_EQ(UnpackInto(*u, method, in, 50000, crc, shorter), UnpackResult::TooLong);
    EXPECT_LE(shorter.bytes.size(), 50000u);
    Collected longer;
    EXPECT_EQ(UnpackInto(*u, method, in, data.size() + 1, crc, longer), UnpackResult::SizeMismatch);
    Collected wrong_crc;
    EXPECT_EQ(UnpackInto(*u, method, in, data.size(), crc ^ 1, wrong_crc), UnpackResult::BadCrc);
    Collected refused;
    refused.refuse_after = 0;
    EXPECT_EQ(UnpackInto(*u, method, in, data.size(), crc, refused), UnpackResult::WriteFailed);
  }
}

TEST(UnpackTest, DecryptsOnTheWay) {
  const Bytes data = Repetitive(70000);
  Bytes in = DeflateWith(data, 9, Z_DEFAULT_STRATEGY);
  zip::TZipCipher enc;
  enc.Init("secret");
  enc.EncryptBuffer(in.data(), in.size());
  zip::TZipCipher dec;
  dec.Init("secret");
  auto u = std::make_unique<Unpacker>();
  Collected out;
  ASSERT_EQ(UnpackInto(*u, 8, in, data.size(), testutil::CrcOf(data), out, &dec), UnpackResult::Ok);
  EXPECT_EQ(out.bytes, data);
}

// Hand-made streams, bits listed from the first sent. Each breaks one rule.
TEST(UnpackTest, RejectsMalformedStreams) {
  struct Case {
    const char* what;
    Bytes stream;
  };
  const std::vector<Case> cases = {
      // BFINAL=1, BTYPE=11: reserved block type.
      {"reserved block type", {0x07}},
      // BFINAL=1, BTYPE=00, then LEN=0x0001 and NLEN=0x0000 (should be 0xFFFE).
      {"stored length check", {0x01, 0x01, 0x00, 0x00, 0x00, 0x41}},
      // Fixed block: literal 'a' (0x91 as 8 bits), then length 3 (code 257 =
      // 0000001) at distance 2 (code 1 = 00001): one byte back only exists.
      {"distance before the start", {0x4B, 0x04, 0x42, 0x00}},
      // Dynamic block, HLIT=0 HDIST=0 HCLEN=0, then length 1 for each of the
      // four code length symbols 16, 17, 18, 0: four codes of one bit.
      {"over-subscribed code", {0x05, 0x00, 0x92, 0x04}},
      // Fixed block whose end-of-block code never comes.
      {"cut short", {0x4B, 0x04}},
  };
  auto u = std::make_unique<Unpacker>();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Collected out;
    EXPECT_EQ(UnpackInto(*u, 8, c.stream, 100, 0, out), UnpackResult::Damaged);
  }
}

// Every prefix and a spread of single-bit flips of real streams: a clean
// failure or a correct result, never a crash or a write past the bound.
TEST(UnpackTest, SurvivesTruncationAndBitFlips) {
  const Bytes data = Repetitive(45000);
  const uint32_t crc = testutil::CrcOf(data);
  auto u = std::make_unique<Unpacker>();
  for (int strategy : {Z_DEFAULT_STRATEGY, Z_FIXED}) {
    const Bytes deflated = DeflateWith(data, 9, strategy);
    for (size_t cut = 0; cut < deflated.size(); cut += 1 + cut / 8) {
      Collected out;
      Bytes prefix(deflated.begin(), deflated.begin() + static_cast<std::ptrdiff_t>(cut));
      EXPECT_NE(UnpackInto(*u, 8, prefix, data.size(), crc, out), UnpackResult::Ok) << cut;
    }
    for (size_t bit = 0; bit < deflated.size() * 8; bit += 331) {
      Bytes damaged = deflated;
      damaged[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
      Collected out;
      UnpackResult r = UnpackInto(*u, 8, damaged, data.size(), crc, out);
      EXPECT_LE(out.bytes.size(), data.size());
      if (r == UnpackResult::Ok) {
        EXPECT_EQ(out.bytes, data);
      }
    }
  }
}

}  // namespace
}  // namespace corvid::sfx
