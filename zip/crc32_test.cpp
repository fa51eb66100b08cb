#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "zip/crc32.h"
#include "zip/crc32_internal.h"

namespace corvid::zip {
namespace {

uint32_t ZlibCrc(const uint8_t* p, size_t n) {
  return static_cast<uint32_t>(crc32(0, p, static_cast<uInt>(n)));
}

TEST(CrcTableTest, MatchesZlibTable) {
  const z_crc_t* zlib_table = get_crc_table();
  for (int i = 0; i < 256; ++i) ASSERT_EQ(kCrcTable[i], zlib_table[i]) << i;
}

// Runs each case under every variant the processor has, so the slicing and
// folding paths are held to the byte-wise reference and to zlib.
class CrcVariantTest : public testing::TestWithParam<CrcVariant> {
 protected:
  void SetUp() override {
    if (!CrcVariantAvailable(GetParam())) GTEST_SKIP() << "variant not supported here";
    TEST_ForceCrcVariant(GetParam());
  }
  void TearDown() override { TEST_ForceCrcVariant(CrcVariant::Auto); }
};

TEST_P(CrcVariantTest, KnownValues) {
  const std::string check = "123456789";
  EXPECT_EQ(Crc32(reinterpret_cast<const uint8_t*>(check.data()), check.size()), 0xCBF43926u);
  EXPECT_EQ(Crc32(nullptr, 0), 0u);
  EXPECT_EQ(Crc32Update(0x12345678u, nullptr, 0), 0x12345678u);
}

TEST_P(CrcVariantTest, RandomLengthsAndMisalignedStartsMatchReferenceAndZlib) {
  std::mt19937 rng(GetParam() == CrcVariant::Pclmul ? 7 : 11);
  std::vector<uint8_t> buf(8192 + 64);
  for (auto& b : buf) b = static_cast<uint8_t>(rng());
  std::uniform_int_distribution<size_t> length(0, 8192);
  for (int round = 0; round < 400; ++round) {
    // Lengths around the 16- and 64-byte steps of the folding loop come up often.
    size_t n = round < 160 ? static_cast<size_t>(round) : length(rng);
    size_t offset = round % 17;
    const uint8_t* p = buf.data() + offset;
    uint32_t seed = static_cast<uint32_t>(rng());

    uint32_t reference = seed;
    for (size_t i = 0; i < n; ++i) reference = Crc32Byte(reference, p[i]);
    ASSERT_EQ(Crc32Update(seed, p, n), reference) << "n=" << n << " offset=" << offset;
    ASSERT_EQ(Crc32(p, n), ZlibCrc(p, n)) << "n=" << n << " offset=" << offset;
  }
}

TEST_P(CrcVariantTest, SplitUpdatesEqualOneCall) {
  std::vector<uint8_t> data(1 << 20);
  std::mt19937 rng(3);
  for (auto& b : data) b = static_cast<uint8_t>(rng());
  uint32_t whole = Crc32(data.data(), data.size());
  EXPECT_EQ(whole, ZlibCrc(data.data(), data.size()));

  uint32_t running = kCrcInit;
  size_t at = 0;
  std::uniform_int_distribution<size_t> piece(0, 70000);
  while (at < data.size()) {
    size_t n = std::min(piece(rng), data.size() - at);
    running = Crc32Update(running, data.data() + at, n);
    at += n;
  }
  EXPECT_EQ(~running, whole);
}

INSTANTIATE_TEST_SUITE_P(AllVariants, CrcVariantTest,
                         testing::Values(CrcVariant::Auto, CrcVariant::ByteWise,
                                         CrcVariant::Slicing8, CrcVariant::Pclmul),
                         [](const testing::TestParamInfo<CrcVariant>& info) {
                           switch (info.param) {
                             case CrcVariant::Auto: return std::string("Auto");
                             case CrcVariant::ByteWise: return std::string("ByteWise");
                             case CrcVariant::Slicing8: return std::string("Slicing8");
                             case CrcVariant::Pclmul: return std::string("Pclmul");
                           }
                           return std::string("Unknown");
                         });

}  // namespace
}  // namespace corvid::zip
