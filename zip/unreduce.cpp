// Reduce (methods 2 to 5): a byte stream shaped by follower sets, in which
// the byte 0x90 introduces a back reference.
//
// The stream starts with one follower set per byte value, from 255 down to 0:
// a 6-bit count N, then N bytes, the likeliest successors of that value. Each
// further byte is coded in the context of the byte before it (0 at the start):
//
//   set of that byte empty:  8 bits, the byte
//   otherwise:               1 bit; 1 = 8 bits, the byte
//                                   0 = B(N) bits, an index into the set
//
// B(N) is the number of bits that can index N entries, at least 1. The bytes
// so decoded run through a small machine where 0x90 (DLE) escapes:
//
//   0x90 0x00                       a literal 0x90
//   0x90 V [E] D                    a copy; L = V & mask, E present when L == mask
//                                   length = L (+ E) + 3
//                                   distance = (V >> (8 - factor)) * 256 + D + 1
//
// The stream has no end marker: it ends at the uncompressed size.
#include <cstdint>
#include <new>

#include "zip/decoder.h"
#include "zip/legacy_bits.h"

namespace corvid::zip {
namespace {

constexpr uint8_t kDle = 0x90;
constexpr unsigned kMinMatch = 3;

// A 6-bit count allows 63, more than the 32 the format uses; with room for
// 64 no count can overrun a set.
constexpr unsigned kMaxFollowers = 64;

struct FollowerSets {
  uint8_t count[256];
  uint8_t bytes[256][kMaxFollowers];
};
static_assert(sizeof(FollowerSets) <= legacy::kScratchBytes);

// Bits of an index into a set of n (1..64) followers.
unsigned IndexBits(unsigned n) {
  unsigned bits = 1;
  while ((1u << bits) < n) ++bits;
  return bits;
}

}  // namespace

void Unreduce(DecodeInput& in, DecodeOutput& out, DecodeWorkspace& ws, int factor,
              uint32_t uncompressed_size) {
  if (factor < 1 || factor > 4 || uncompressed_size == 0) return;
  const unsigned length_mask = 0xFFu >> factor;
  const unsigned distance_shift = 8 - factor;

  legacy::BitReader bits(in, ws.input.get());
  legacy::Window window(out, ws.window.get(), uncompressed_size);
  auto* sets = new (legacy::Scratch(ws)) FollowerSets;

  for (int value = 255; value >= 0; --value) {
    unsigned n = bits.Read(6);
    sets->count[value] = static_cast<uint8_t>(n);
    for (unsigned i = 0; i < n; ++i) sets->bytes[value][i] = static_cast<uint8_t>(bits.Read(8));
  }

  enum class State { Plain, AfterDle, ExtraLength, Distance } state = State::Plain;
  uint8_t last = 0;
  unsigned after_dle = 0;  // a copy's length and high distance bits
  unsigned length = 0;
  while (!window.Full() && bits.invented_bits() < legacy::kMaxInventedBits) {
    unsigned n = sets->count[last];
    if (n == 0 || bits.Read(1) == 1) {
      last = static_cast<uint8_t>(bits.Read(8));
    } else {
      unsigned index = bits.Read(IndexBits(n));
      if (index >= n) break;  // damaged: names a follower the set does not have
      last = sets->bytes[last][index];
    }

    switch (state) {
      case State::Plain:
        if (last == kDle) {
          state = State::AfterDle;
        } else {
          window.Put(last);
        }
        break;
      case State::AfterDle:
        if (last == 0) {
          window.Put(kDle);
          state = State::Plain;
        } else {
          after_dle = last;
          length = after_dle & length_mask;
          state = length == length_mask ? State::ExtraLength : State::Distance;
        }
        break;
      case State::ExtraLength:
        length += last;
        state = State::Distance;
        break;
      case State::Distance:
        window.Copy(((after_dle >> distance_shift) << 8) + last + 1, length + kMinMatch);
        state = State::Plain;
        break;
    }
  }
  window.Flush();
}

}  // namespace corvid::zip
