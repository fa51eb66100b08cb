// Implode (method 6): LZ77 over a 4 or 8 KiB dictionary with Shannon-Fano
// coded lengths and distances, and optionally coded literals.
//
// General purpose bit 1 selects the 8 KiB dictionary, bit 2 the literal tree
// (which also raises the minimum match from 2 to 3). The stream starts with
// the trees, literal (if any), length, distance, each as
//
//   1 byte          number of following bytes - 1
//   that many       low nibble: code length - 1, high nibble: how many
//                   consecutive symbols have it - 1
//
// and then, until the uncompressed size is reached:
//
//   1 bit 1         a literal: a literal-tree code, or 8 bits without that tree
//   1 bit 0         a copy: the low 7 (8 KiB) or 6 (4 KiB) distance bits, a
//                   distance-tree code for the high 6 bits, a length-tree code
//                   (63 takes 8 more bits, added on); the copy starts
//                   distance + 1 bytes back and is length + minimum match long
//
// Codes are assigned as the format describes: symbols sorted by code length
// (stable), then numbered from the longest end upwards, each code left-aligned
// in 16 bits. They are sent first bit first, and bits arrive LSB first.
#include <cstdint>

#include "zip/decoder.h"
#include "zip/legacy_bits.h"

namespace corvid::zip {
namespace {

constexpr uint16_t kFlag8KDictionary = 0x02;
constexpr uint16_t kFlagLiteralTree = 0x04;
constexpr unsigned kMaxCodeBits = 16;
constexpr unsigned kLengthEscape = 63;

// A Shannon-Fano code: a lookup table for codes of up to kRootBits bits, and
// per code length the range of code values and the symbols they stand for,
// which resolves the longer codes bit by bit.
class ShannonFanoTree {
 public:
  static constexpr unsigned kRootBits = 9;

  // Reads a tree description for `symbol_count` (<= 256) symbols. Returns
  // false for a description that does not make a prefix code of exactly that
  // many symbols.
  bool Read(legacy::BitReader& bits, unsigned symbol_count) {
    uint8_t lengths[256];
    unsigned defined = 0;
    unsigned description_bytes = bits.Read(8) + 1;
    for (unsigned i = 0; i < description_bytes; ++i) {
      unsigned byte = bits.Read(8);
      unsigned length = (byte & 0x0F) + 1;
      unsigned run = (byte >> 4) + 1;
      if (run > symbol_count - defined) return false;
      for (unsigned k = 0; k < run; ++k) lengths[defined++] = static_cast<uint8_t>(length);
    }
    if (defined != symbol_count) return false;
    return Build(lengths, symbol_count);
  }

  // Decodes one symbol; -1 for a bit pattern that is no code of the tree.
  int Decode(legacy::BitReader& bits) const {
    uint32_t peeked = bits.Peek(kMaxCodeBits);
    uint16_t entry = root_[peeked & ((1u << kRootBits) - 1)];
    if (entry != 0) {
      bits.Skip(entry >> 8);
      return entry & 0xFF;
    }
    // Longer codes: rebuild the code value first bit first.
    uint32_t code = 0;
    for (unsigned length = 1; length <= kMaxCodeBits; ++length) {
      code = (code << 1) | ((peeked >> (length - 1)) & 1);
      if (length > kRootBits && code - first_[length] < count_[length]) {
        bits.Skip(length);
        return symbols_[offset_[length] + (code - first_[length])];
      }
    }
    return -1;
  }

 private:
  bool Build(const uint8_t* lengths, unsigned symbol_count) {
    for (unsigned length = 0; length <= kMaxCodeBits; ++length) {
      count_[length] = 0;
      first_[length] = 0;
    }
    for (unsigned s = 0; s < symbol_count; ++s) ++count_[lengths[s]];

    // Symbols by code length, longest first and within one length the
    // highest symbol first: the order in which the codes are numbered.
    unsigned next = 0;
    for (unsigned length = kMaxCodeBits; length >= 1; --length) {
      offset_[length] = static_cast<uint16_t>(next);
      for (int s = static_cast<int>(symbol_count) - 1; s >= 0; --s) {
        if (lengths[s] == length) symbols_[next++] = static_cast<uint8_t>(s);
      }
    }

    // Number them. A code must start on a multiple of its own size, or it
    // would share a prefix with the one before; and the numbering must not
    // run past 16 bits. Only incomplete or oversubscribed sets of lengths
    // break these, and those describe no usable code.
    for (auto& entry : root_) entry = 0;
    uint32_t code = 0;  // left-aligned in 16 bits
    uint32_t increment = 0;
    for (unsigned length = kMaxCodeBits; length >= 1; --length) {
      if (count_[length] == 0) continue;
      code += increment;
      increment = uint32_t{1} << (kMaxCodeBits - length);
      if (code % increment != 0) return false;
      first_[length] = static_cast<uint16_t>(code >> (kMaxCodeBits - length));
      for (unsigned k = 0; k < count_[length]; ++k) {
        if (k > 0) code += increment;
        if (code > 0xFFFF) return false;
        if (length <= kRootBits) {
          uint16_t symbol = symbols_[offset_[length] + k];
          uint32_t reversed = Reverse(code >> (kMaxCodeBits - length), length);
          for (uint32_t fill = reversed; fill < (1u << kRootBits); fill += 1u << length) {
            root_[fill] = static_cast<uint16_t>((length << 8) | symbol);
          }
        }
      }
    }
    return true;
  }

  static uint32_t Reverse(uint32_t value, unsigned nbits) {
    uint32_t reversed = 0;
    for (unsigned i = 0; i < nbits; ++i) reversed |= ((value >> i) & 1) << (nbits - 1 - i);
    return reversed;
  }

  // Root entries: code length << 8 | symbol; 0 sends the lookup to the slow
  // path (a longer code, or no code at all).
  uint16_t root_[1u << kRootBits];
  uint16_t count_[kMaxCodeBits + 1];
  uint16_t first_[kMaxCodeBits + 1];
  uint16_t offset_[kMaxCodeBits + 1];
  uint8_t symbols_[256];
};

}  // namespace

void Explode(DecodeInput& in, DecodeOutput& out, DecodeWorkspace& ws, uint16_t bit_flag,
             uint32_t uncompressed_size) {
  if (uncompressed_size == 0) return;
  const bool literal_tree_present = (bit_flag & kFlagLiteralTree) != 0;
  const unsigned low_distance_bits = (bit_flag & kFlag8KDictionary) != 0 ? 7 : 6;
  const unsigned min_match = literal_tree_present ? 3 : 2;

  legacy::BitReader bits(in, ws.input.get());
  legacy::Window window(out, ws.window.get(), uncompressed_size);
  ShannonFanoTree literals;
  ShannonFanoTree lengths;
  ShannonFanoTree distances;
  // A tree that describes no prefix code leaves nothing to decode; the CRC
  // check reports the entry.
  if (literal_tree_present && !literals.Read(bits, 256)) return;
  if (!lengths.Read(bits, 64) || !distances.Read(bits, 64)) return;

  while (!window.Full() && bits.invented_bits() < legacy::kMaxInventedBits) {
    if (bits.Read(1) == 1) {
      int literal = literal_tree_present ? literals.Decode(bits) : static_cast<int>(bits.Read(8));
      if (literal < 0) break;
      window.Put(static_cast<uint8_t>(literal));
      continue;
    }
    uint32_t distance = bits.Read(low_distance_bits);
    int high = distances.Decode(bits);
    if (high < 0) break;
    distance |= static_cast<uint32_t>(high) << low_distance_bits;
    int code = lengths.Decode(bits);
    if (code < 0) break;
    uint32_t length = static_cast<uint32_t>(code);
    if (length == kLengthEscape) length += bits.Read(8);
    window.Copy(distance + 1, length + min_match);
  }
  window.Flush();
}

}  // namespace corvid::zip
