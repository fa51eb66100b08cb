// CRC-32 (reflected polynomial 0xEDB88320) in three speeds.
//
// Byte-wise: one lookup per byte, the reference every other form is tested
// against. Slicing-by-8: eight lookups per 8-byte word into eight tables, so
// the lookups of one word are independent and run in parallel; the portable
// choice. PCLMULQDQ folding: the message is a polynomial over GF(2), and
// multiplying a 128-bit block by x^D mod P moves it D bits further along
// without changing the remainder. Four blocks are folded in parallel 64 bytes
// at a time, so large buffers go at several bytes per cycle; the last block is
// reduced by running the table form over it, which keeps the constants down to
// the two fold distances.
#include <atomic>
#include <bit>
#include <cstring>

#include "zip/crc32.h"
#include "zip/crc32_internal.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define CORVID_CRC_HAVE_PCLMUL 1
#else
#define CORVID_CRC_HAVE_PCLMUL 0
#endif

namespace corvid::zip {
namespace {

constexpr uint32_t kCrcPolyReflected = 0xEDB88320u;
// The same polynomial without x^32, in normal bit order (bit d = coefficient of x^d).
constexpr uint32_t kCrcPolyNormal = 0x04C11DB7u;

// slice[0] is the byte-wise table; slice[k][b] advances byte b through k
// further zero bytes, which is what slicing-by-8 needs for byte 7-k of a word.
struct CrcSlices {
  uint32_t slice[8][256];
};

constexpr CrcSlices BuildCrcSlices() {
  CrcSlices t{};
  for (uint32_t b = 0; b < 256; ++b) {
    uint32_t v = b;
    for (int bit = 0; bit < 8; ++bit) v = (v >> 1) ^ ((v & 1) ? kCrcPolyReflected : 0);
    t.slice[0][b] = v;
  }
  for (int k = 1; k < 8; ++k)
    for (uint32_t b = 0; b < 256; ++b)
      t.slice[k][b] = (t.slice[k - 1][b] >> 8) ^ t.slice[0][t.slice[k - 1][b] & 0xFF];
  return t;
}

// Generated at compile time by BuildCrcSlices; nothing here is a pasted table.
alignas(64) constexpr CrcSlices kSlices = BuildCrcSlices();
static_assert(kSlices.slice[0][1] == 0x77073096u && kSlices.slice[0][255] == 0x2D02EF8Du,
              "CRC table generator is broken");

// Spells out slice 0 as an initializer list, so kCrcTable is constant-initialized
// from the generator above (a C array cannot be returned from a constexpr function).
#define CORVID_CRC_E4(i) \
  kSlices.slice[0][i], kSlices.slice[0][i + 1], kSlices.slice[0][i + 2], kSlices.slice[0][i + 3]
#define CORVID_CRC_E16(i) CORVID_CRC_E4(i), CORVID_CRC_E4(i + 4), CORVID_CRC_E4(i + 8), CORVID_CRC_E4(i + 12)
#define CORVID_CRC_E64(i) \
  CORVID_CRC_E16(i), CORVID_CRC_E16(i + 16), CORVID_CRC_E16(i + 32), CORVID_CRC_E16(i + 48)

uint32_t Crc32ByteWise(uint32_t crc, const uint8_t* p, size_t n) {
  for (const uint8_t* end = p + n; p != end; ++p) crc = kSlices.slice[0][(crc ^ *p) & 0xFF] ^ (crc >> 8);
  return crc;
}

uint32_t Crc32Slicing8(uint32_t crc, const uint8_t* p, size_t n) {
  if constexpr (std::endian::native != std::endian::little) return Crc32ByteWise(crc, p, n);
  const auto& s = kSlices.slice;
  for (; n >= 8; p += 8, n -= 8) {
    uint64_t word;
    std::memcpy(&word, p, sizeof(word));
    word ^= crc;
    crc = s[7][word & 0xFF] ^ s[6][(word >> 8) & 0xFF] ^ s[5][(word >> 16) & 0xFF] ^
          s[4][(word >> 24) & 0xFF] ^ s[3][(word >> 32) & 0xFF] ^ s[2][(word >> 40) & 0xFF] ^
          s[1][(word >> 48) & 0xFF] ^ s[0][word >> 56];
  }
  return Crc32ByteWise(crc, p, n);
}

#if CORVID_CRC_HAVE_PCLMUL

// x^e mod P in normal bit order (degree < 32).
constexpr uint32_t XPowModP(unsigned e) {
  uint32_t r = 1;
  for (unsigned i = 0; i < e; ++i) r = (r << 1) ^ ((r & 0x80000000u) ? kCrcPolyNormal : 0);
  return r;
}

constexpr uint64_t Reflect64(uint64_t v) {
  uint64_t r = 0;
  for (int i = 0; i < 64; ++i) r |= ((v >> i) & 1) << (63 - i);
  return r;
}

// A 16-byte block loaded little-endian holds the message polynomial with its
// first bit as the highest degree: the low qword is the upper half H (times
// x^64), the high qword the lower half L. Moving the block D bits on means
// H*x^(64+D) + L*x^D mod P. A carry-less product of two reflected 64-bit
// values comes out multiplied by x once more, so each constant is
// x^(64+D-1) (for H) or x^(D-1) (for L) mod P, reflected into a qword.
struct FoldConstants {
  uint64_t for_high_half;  // multiplies the low qword
  uint64_t for_low_half;   // multiplies the high qword
};

constexpr FoldConstants FoldBy(unsigned distance_bits) {
  return {Reflect64(XPowModP(64 + distance_bits - 1)), Reflect64(XPowModP(distance_bits - 1))};
}

constexpr FoldConstants kFoldBy512 = FoldBy(4 * 128);  // across the four parallel lanes
constexpr FoldConstants kFoldBy128 = FoldBy(128);      // from one block onto the next

constexpr size_t kPclmulMinBytes = 64;

__attribute__((target("pclmul,sse4.1"))) inline __m128i Fold(__m128i block, __m128i constants,
                                                              __m128i next) {
  __m128i high = _mm_clmulepi64_si128(block, constants, 0x00);
  __m128i low = _mm_clmulepi64_si128(block, constants, 0x11);
  return _mm_xor_si128(_mm_xor_si128(high, low), next);
}

__attribute__((target("pclmul,sse4.1"))) uint32_t Crc32Pclmul(uint32_t crc, const uint8_t* p,
                                                               size_t n) {
  if (n < kPclmulMinBytes) return Crc32Slicing8(crc, p, n);
  const __m128i by512 = _mm_set_epi64x(static_cast<long long>(kFoldBy512.for_low_half),
                                       static_cast<long long>(kFoldBy512.for_high_half));
  const __m128i by128 = _mm_set_epi64x(static_cast<long long>(kFoldBy128.for_low_half),
                                       static_cast<long long>(kFoldBy128.for_high_half));
  auto load = [](const uint8_t* at) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at)); };

  // The running value enters as the first 32 message bits, as in the byte-wise form.
  __m128i x0 = _mm_xor_si128(load(p), _mm_cvtsi32_si128(static_cast<int>(crc)));
  __m128i x1 = load(p + 16);
  __m128i x2 = load(p + 32);
  __m128i x3 = load(p + 48);
  p += 64;
  n -= 64;
  for (; n >= 64; p += 64, n -= 64) {
    x0 = Fold(x0, by512, load(p));
    x1 = Fold(x1, by512, load(p + 16));
    x2 = Fold(x2, by512, load(p + 32));
    x3 = Fold(x3, by512, load(p + 48));
  }
  __m128i x = Fold(x0, by128, x1);
  x = Fold(x, by128, x2);
  x = Fold(x, by128, x3);
  for (; n >= 16; p += 16, n -= 16) x = Fold(x, by128, load(p));

  // x is congruent to everything so far; its CRC from zero is the running value.
  alignas(16) uint8_t folded[16];
  _mm_store_si128(reinterpret_cast<__m128i*>(folded), x);
  crc = Crc32Slicing8(0, folded, sizeof(folded));
  return Crc32Slicing8(crc, p, n);
}

bool CpuHasPclmul() {
  static const bool has = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
  return has;
}

#else
bool CpuHasPclmul() { return false; }
uint32_t Crc32Pclmul(uint32_t crc, const uint8_t* p, size_t n) { return Crc32Slicing8(crc, p, n); }
#endif

std::atomic<CrcVariant> forced_variant{CrcVariant::Auto};

}  // namespace

alignas(64) extern const uint32_t kCrcTable[256] = {CORVID_CRC_E64(0), CORVID_CRC_E64(64),
                                                     CORVID_CRC_E64(128), CORVID_CRC_E64(192)};

#undef CORVID_CRC_E4
#undef CORVID_CRC_E16
#undef CORVID_CRC_E64

bool CrcVariantAvailable(CrcVariant variant) {
  return variant != CrcVariant::Pclmul || CpuHasPclmul();
}

void TEST_ForceCrcVariant(CrcVariant variant) {
  if (CrcVariantAvailable(variant)) forced_variant.store(variant, std::memory_order_relaxed);
}

uint32_t Crc32Update(uint32_t value, const uint8_t* data, size_t n) {
  switch (forced_variant.load(std::memory_order_relaxed)) {
    case CrcVariant::Auto:
      break;
    case CrcVariant::ByteWise:
      return Crc32ByteWise(value, data, n);
    case CrcVariant::Slicing8:
      return Crc32Slicing8(value, data, n);
    case CrcVariant::Pclmul:
      return Crc32Pclmul(value, data, n);
  }
  return CpuHasPclmul() ? Crc32Pclmul(value, data, n) : Crc32Slicing8(value, data, n);
}

}  // namespace corvid::zip
