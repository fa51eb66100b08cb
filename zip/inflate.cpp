// Inflate: the Deflate decoder (RFC 1951) of method 8.
//
// Why it is fast:
//  - The bit buffer is 64 bits wide and refilled a word at a time without a
//    branch: one unaligned load shifted in above the bits still held, and the
//    input pointer moves on by the whole bytes that fitted. After a refill the
//    buffer holds at least 56 bits, enough for a length and a distance with all
//    their extra bits, so a match needs no refill in between.
//  - The fast loop runs only while the input buffer holds enough bytes for its
//    refills and the window has room for a longest match, so it checks neither
//    end per bit or per byte. Everything near an end goes through the careful
//    path, which is the same decoding with checked refills.
//  - One table lookup decodes most symbols: an entry holds the literal, or the
//    length or distance base together with the codeword length and the number
//    of extra bits, so the extra bits come out of the same saved bit buffer.
//    Codewords longer than the main table index go through a small subtable.
//  - Up to three literals are decoded per refill, and the entry of the symbol
//    after a match is looked up before the match is copied, so the table load
//    overlaps the copy. Where the processor has BMI2 the same loop is compiled
//    a second time with its shifts and bit-field extract.
//  - Matches are copied 16 or 8 bytes at a time and may overshoot their end;
//    the window keeps slack for that. Short periods (distance < 8) are first
//    laid out once, then copied a word at a time from a whole number of
//    periods back.
//  - Output is decoded straight into the window and handed out in pieces of
//    64 KiB; only the last 32 KiB are moved down to serve as history.
//  - Stored data is read from the input straight into the window, and a run of
//    stored blocks never moves the history: the window is filled from its
//    start again and the history joined up only if a Huffman block follows.
//    Incompressible entries then cost one copy in and one copy out.
//
// Error outcome: damage ends the entry and is reported as such, and so is an
// input that ends early. Reaching the output's size bound ends the entry as
// well; the CRC check then decides. Anything else the input or output raises
// (the reader's cancel, a target that stops taking bytes) travels on: it is
// not damage of the data, and the caller must stop, not try the next entry.
#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>

#include "zip/decoder.h"
#include "zip/deflate_format.h"
#include "zip/errors.h"
#include "zip/inflate_internal.h"

namespace corvid::zip {
namespace {

using namespace deflate_format;

// ---- The format ----

constexpr unsigned kBlockTypeStored = 0;
constexpr unsigned kBlockTypeFixed = 1;
constexpr unsigned kBlockTypeDynamic = 2;

constexpr unsigned kNumLitlenSyms = 288;  // 286 usable; the fixed code also assigns 286 and 287
constexpr unsigned kNumDistSyms = 32;     // 30 usable; the fixed code also assigns 30 and 31
constexpr unsigned kMaxDynamicLitlenSyms = 286;
constexpr unsigned kMaxDynamicDistSyms = 30;
constexpr unsigned kEndOfBlockSym = 256;
constexpr unsigned kFirstLengthSym = 257;
constexpr unsigned kMaxCodewordBits = 15;
constexpr size_t kMaxMatchBytes = 258;
constexpr size_t kMaxMatchDistance = 32768;


// ---- Decode table entries ----
//
//   31          16 15 14 13 12 11    8 7         0
//  +--------------+--+--+--+--+-------+-----------+
//  |    value     |L |X |S |E | cw    | drop      |
//  +--------------+--+--+--+--+-------+-----------+
//   value  literal byte, length or distance base, or the subtable's start
//   L      literal
//   X      exceptional: subtable pointer (S), end of block (E), or neither:
//          a codeword no symbol owns
//   cw     codeword bits at this table level; for a subtable pointer, the
//          subtable's index bits
//   drop   bits to consume: codeword plus extra bits; for a subtable
//          pointer, the main table's index bits
//
// The extra bits are (saved_bitbuf & mask(drop)) >> cw, taken from the bit
// buffer as it was before the entry's bits were consumed.
using Entry = uint32_t;

constexpr Entry kLiteralFlag = 1u << 15;
constexpr Entry kExceptionalFlag = 1u << 14;
constexpr Entry kSubtableFlag = 1u << 13;
constexpr Entry kEndOfBlockFlag = 1u << 12;
constexpr Entry kInvalidEntry = kExceptionalFlag;

constexpr unsigned EntryDropBits(Entry e) { return e & 0xFF; }
constexpr unsigned EntryCodewordBits(Entry e) { return (e >> 8) & 0xF; }
constexpr unsigned EntryValue(Entry e) { return e >> 16; }

// Main table index widths. 11 bits covers nearly every literal/length
// codeword of real data in one lookup while the table (8 KiB) stays in L1;
// distance and code-length codes are smaller.
constexpr unsigned kLitlenTableBits = 11;
constexpr unsigned kDistTableBits = 8;
constexpr unsigned kCodelenTableBits = 7;  // the code-length code's longest codeword

// Table sizes. A subtable of 2^k entries exists only in a complete code and
// holds a complete subtree of depth k, so at least k+1 codewords; 2^k/(k+1)
// peaks at 3.2 for k = 4 (litlen: 15 - 11) and at 16 for k = 7 (distance:
// 15 - 8). Hence at most 3.2 * 286 and 16 * 30 subtable entries.
constexpr size_t kLitlenTableEntries = (size_t{1} << kLitlenTableBits) + (16 * kMaxDynamicLitlenSyms + 4) / 5;
constexpr size_t kDistTableEntries = (size_t{1} << kDistTableBits) + 16 * kMaxDynamicDistSyms;
constexpr size_t kCodelenTableEntries = size_t{1} << kCodelenTableBits;

// Per symbol, what its entry says besides the codeword length: the builder
// adds the codeword length to both the cw and the drop field.
struct SymbolTemplates {
  Entry litlen[kNumLitlenSyms];
  Entry dist[kNumDistSyms];
  Entry codelen[kCodeLengthCodes];
};

constexpr SymbolTemplates BuildSymbolTemplates() {
  SymbolTemplates t{};
  for (unsigned sym = 0; sym < 256; ++sym) t.litlen[sym] = kLiteralFlag | (Entry{sym} << 16);
  t.litlen[kEndOfBlockSym] = kExceptionalFlag | kEndOfBlockFlag;
  for (unsigned i = 0; i < kLengthCodes; ++i)
    t.litlen[kFirstLengthSym + i] = (Entry{kLengthBase[i]} << 16) | kLengthExtraBits[i];
  t.litlen[286] = t.litlen[287] = kInvalidEntry;
  for (unsigned i = 0; i < kDistanceCodes; ++i) t.dist[i] = (Entry{kDistanceBase[i]} << 16) | kDistanceExtraBits[i];
  t.dist[30] = t.dist[31] = kInvalidEntry;
  for (unsigned sym = 0; sym < kCodeLengthCodes; ++sym) t.codelen[sym] = Entry{sym} << 16;
  return t;
}

constexpr SymbolTemplates kTemplates = BuildSymbolTemplates();

constexpr uint32_t ReverseBits(uint32_t code, unsigned nbits) {
  uint32_t r = 0;
  for (unsigned i = 0; i < nbits; ++i) r |= ((code >> i) & 1) << (nbits - 1 - i);
  return r;
}

// What a code may lack. zlib, the reference decoder most streams were checked
// with, accepts an incomplete literal/length or distance code only when it is
// a single one-bit codeword, and an empty distance code (a block of literals
// only); an incomplete code-length code never. We accept exactly the same.
enum class Completeness { Required, SingleCodewordOrEmptyAllowed };

// Fills `table` (main part of 2^table_bits entries, then subtables) from the
// codeword lengths of `num_syms` symbols. Returns false for lengths that do not
// form an acceptable prefix code.
bool BuildDecodeTable(const uint8_t* lens, unsigned num_syms, const Entry* templates,
                      unsigned table_bits, size_t table_entries, Completeness completeness,
                      Entry* table) {
  unsigned count[kMaxCodewordBits + 1] = {};
  for (unsigned sym = 0; sym < num_syms; ++sym) ++count[lens[sym]];
  count[0] = 0;
  unsigned max_len = 0;
  for (unsigned len = 1; len <= kMaxCodewordBits; ++len)
    if (count[len]) max_len = len;

  // Kraft sum: `unused` is the code space left at the current depth.
  int32_t unused = 1;
  for (unsigned len = 1; len <= kMaxCodewordBits; ++len) {
    unused = 2 * unused - static_cast<int32_t>(count[len]);
    if (unused < 0) return false;  // over-subscribed
  }
  const size_t main_entries = size_t{1} << table_bits;
  if (unused != 0) {
    bool single_or_empty = max_len <= 1;
    if (completeness == Completeness::Required || !single_or_empty) return false;
    std::fill(table, table + main_entries, kInvalidEntry);
    if (max_len == 0) return true;
  }

  // Symbols sorted by codeword length, then by value: the canonical order.
  uint16_t first_of_len[kMaxCodewordBits + 2] = {};
  for (unsigned len = 1; len <= kMaxCodewordBits; ++len)
    first_of_len[len + 1] = static_cast<uint16_t>(first_of_len[len] + count[len]);
  uint16_t sorted[kNumLitlenSyms];
  for (unsigned sym = 0; sym < num_syms; ++sym)
    if (lens[sym]) sorted[first_of_len[lens[sym]]++] = static_cast<uint16_t>(sym);

  unsigned remaining_of_len[kMaxCodewordBits + 1];
  std::copy(count, count + kMaxCodewordBits + 1, remaining_of_len);
  uint32_t code = 0;  // canonical codeword, first bit highest
  unsigned next_sorted = 0;
  size_t next_free = main_entries;
  uint32_t open_prefix = ~0u;  // main-table prefix of the subtable being filled
  size_t sub_start = 0;
  unsigned sub_bits = 0;

  for (unsigned len = 1; len <= max_len; ++len, code <<= 1) {
    for (unsigned i = 0; i < count[len]; ++i, ++code, --remaining_of_len[len]) {
      const Entry tmpl = templates[sorted[next_sorted++]];
      // The stream sends a codeword's first bit first, and bits are taken from
      // the low end of the buffer, so tables are indexed by reversed codewords.
      if (len <= table_bits) {
        const Entry e = tmpl + (len << 8) + len;
        for (size_t at = ReverseBits(code, len); at < main_entries; at += size_t{1} << len) table[at] = e;
        continue;
      }
      const unsigned sub_len = len - table_bits;
      const uint32_t prefix = code >> sub_len;
      if (prefix != open_prefix) {
        // A new prefix starts on its subtree's first codeword. The subtable is
        // as deep as the codewords needed to fill that subtree.
        open_prefix = prefix;
        sub_bits = sub_len;
        int32_t room = int32_t{1} << sub_bits;
        while (sub_bits + table_bits < max_len) {
          room -= static_cast<int32_t>(remaining_of_len[sub_bits + table_bits]);
          if (room <= 0) break;
          ++sub_bits;
          room <<= 1;
        }
        sub_start = next_free;
        next_free += size_t{1} << sub_bits;
        if (next_free > table_entries) return false;  // cannot happen, see the table sizes
        table[ReverseBits(prefix, table_bits)] = kExceptionalFlag | kSubtableFlag |
                                                 (static_cast<Entry>(sub_start) << 16) | (sub_bits << 8) |
                                                 table_bits;
      }
      const Entry e = tmpl + (sub_len << 8) + sub_len;
      const uint32_t low = code & ((uint32_t{1} << sub_len) - 1);
      for (size_t at = ReverseBits(low, sub_len); at < (size_t{1} << sub_bits); at += size_t{1} << sub_len)
        table[sub_start + at] = e;
    }
  }
  return true;
}

struct DecodeTables {
  Entry litlen[kLitlenTableEntries];
  Entry dist[kDistTableEntries];
};

const DecodeTables& FixedTables() {
  static const DecodeTables tables = [] {
    DecodeTables t;
    uint8_t lens[kNumLitlenSyms];
    std::fill(lens, lens + 144, 8);
    std::fill(lens + 144, lens + 256, 9);
    std::fill(lens + 256, lens + 280, 7);
    std::fill(lens + 280, lens + 288, 8);
    BuildDecodeTable(lens, kNumLitlenSyms, kTemplates.litlen, kLitlenTableBits, kLitlenTableEntries,
                     Completeness::Required, t.litlen);
    std::fill(lens, lens + kNumDistSyms, 5);
    BuildDecodeTable(lens, kNumDistSyms, kTemplates.dist, kDistTableBits, kDistTableEntries,
                     Completeness::Required, t.dist);
    return t;
  }();
  return tables;
}

// ---- Bits and bytes ----

constexpr uint64_t BitMask(unsigned nbits) { return (uint64_t{1} << nbits) - 1; }

inline uint64_t LoadLE64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof(v));
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  return v;
}

// A refill leaves at least this many bits in the buffer.
constexpr unsigned kRefilledBits = 56;
// The most one symbol needs: a subtable literal/length codeword (15 bits) with
// 5 extra bits, then a distance codeword (15) with 13 extra bits.
constexpr unsigned kMaxSymbolBits = 15 + 5 + 15 + 13;
static_assert(kMaxSymbolBits <= kRefilledBits, "a match must decode from one refill");
// Three main-table literals (at most kLitlenTableBits each) also fit one refill.
static_assert(3 * kLitlenTableBits <= kRefilledBits);

// Loads the next 8 input bytes above the bits held and moves on by the bytes
// that fitted. Bits above `bitsleft` are either zero or the true next bits, so
// OR-ing the same bytes in again is harmless. Needs 8 readable bytes.
[[gnu::always_inline]] inline void RefillWord(uint64_t& bitbuf, uint32_t& bitsleft, const uint8_t*& in_next) {
  bitbuf |= LoadLE64(in_next) << bitsleft;
  in_next += (63 - bitsleft) >> 3;
  bitsleft |= kRefilledBits;
}

// ---- Matches ----

// Copies a match of `length` bytes from `distance` back. May write up to 15
// bytes past the match end.
[[gnu::always_inline]] inline void CopyMatch(uint8_t* dst, size_t distance, size_t length) {
  const uint8_t* src = dst - distance;
  uint8_t* const end = dst + length;
  if (distance >= 16) {
    do {
      std::memcpy(dst, src, 16);
      dst += 16;
      src += 16;
    } while (dst < end);
  } else if (distance >= 8) {
    do {
      std::memcpy(dst, src, 8);
      dst += 8;
      src += 8;
    } while (dst < end);
  } else if (distance == 1) {
    const uint64_t run = 0x0101010101010101ull * *src;
    do {
      std::memcpy(dst, &run, 8);
      dst += 8;
    } while (dst < end);
  } else {
    // A word read from `distance` back would include bytes not yet written.
    // Lay out a stride of whole periods that is at least a word long byte by
    // byte; from then on a word from one stride back is always finished.
    const size_t stride = distance * ((8 + distance - 1) / distance);
    uint8_t* const stride_end = dst + stride;
    do {
      *dst++ = *src++;
    } while (dst < stride_end);
    while (dst < end) {
      std::memcpy(dst, dst - stride, 8);
      dst += 8;
    }
  }
}
constexpr size_t kMatchOvershootBytes = 15;

// ---- The window ----

// Decoding runs ahead of the history until this much room is left, then the
// new bytes are written out and the last 32 KiB moved down. The slack covers
// the most one step of the decoder writes: two literals, a longest match and
// its overshoot.
constexpr size_t kWindowSlackBytes = DecodeWorkspace::kWindowBytes - DecodeWorkspace::kHistory - 65536;
static_assert(kWindowSlackBytes >= 2 + kMaxMatchBytes + kMatchOvershootBytes);
static_assert(DecodeWorkspace::kHistory >= kMaxMatchDistance);

// ---- Input ----

// Between two checks of the input end the fast loop refills at most three
// times (on entry, then twice in one step: at its top and after a length),
// each refill reading 8 bytes and moving on by at most 7: 22 bytes. Rounded up.
constexpr ptrdiff_t kFastInputMarginBytes = 32;
// Whole bytes the bit buffer may have to give back at a stored block; the
// input buffer keeps them when it is compacted.
constexpr size_t kKeepBehindBytes = sizeof(uint64_t);
// A stored block's header when it starts on a byte boundary: the block type
// byte, LEN and NLEN.
constexpr size_t kStoredHeaderBytes = 5;
// A top-up stops reading once this much input is ready, so short reads do not
// each cost a trip round the decoder.
constexpr size_t kTopUpTargetBytes = DecodeWorkspace::kInputChunk / 2;
static_assert(kKeepBehindBytes + kFastInputMarginBytes + DecodeWorkspace::kInputChunk <=
                  DecodeWorkspace::kInputChunk + DecodeWorkspace::kInputSlack,
              "a full chunk must fit after the kept bytes");
// Past the end the decoder sees zero bits. A valid stream never consumes
// them, so the zero bytes taken in never exceed what the bit buffer holds;
// more means the stream is truncated, and stopping there also stops a code
// that turns zeros into endless output.
constexpr uint32_t kMaxOverreadBytes = sizeof(uint64_t);

enum class Step { More, EndOfBlock, Damage };

// Decodes what a non-literal main-table entry starts: a symbol through a
// subtable, the end of the block, or a match. Needs kMaxSymbolBits in the
// buffer and room for a longest match in the window.
[[gnu::always_inline]] inline Step DecodeNonLiteral(Entry e, uint64_t& bitbuf, uint32_t& bitsleft,
                                                    uint8_t*& out_next, const uint8_t* window,
                                                    const DecodeTables& t) {
  if (e & kExceptionalFlag) {
    if (e & kSubtableFlag) {
      bitbuf >>= EntryDropBits(e);
      bitsleft -= EntryDropBits(e);
      e = t.litlen[EntryValue(e) + (bitbuf & BitMask(EntryCodewordBits(e)))];
      if (e & kLiteralFlag) {
        bitbuf >>= EntryDropBits(e);
        bitsleft -= EntryDropBits(e);
        *out_next++ = static_cast<uint8_t>(EntryValue(e));
        return Step::More;
      }
    }
    if (e & kExceptionalFlag) {
      if (!(e & kEndOfBlockFlag)) return Step::Damage;
      bitbuf >>= EntryDropBits(e);
      bitsleft -= EntryDropBits(e);
      return Step::EndOfBlock;
    }
  }
  uint64_t saved = bitbuf;
  bitbuf >>= EntryDropBits(e);
  bitsleft -= EntryDropBits(e);
  const size_t length = EntryValue(e) + ((saved & BitMask(EntryDropBits(e))) >> EntryCodewordBits(e));

  e = t.dist[bitbuf & BitMask(kDistTableBits)];
  if (e & kExceptionalFlag) {
    if (!(e & kSubtableFlag)) return Step::Damage;
    bitbuf >>= EntryDropBits(e);
    bitsleft -= EntryDropBits(e);
    e = t.dist[EntryValue(e) + (bitbuf & BitMask(EntryCodewordBits(e)))];
    if (e & kExceptionalFlag) return Step::Damage;
  }
  saved = bitbuf;
  bitbuf >>= EntryDropBits(e);
  bitsleft -= EntryDropBits(e);
  const size_t distance = EntryValue(e) + ((saved & BitMask(EntryDropBits(e))) >> EntryCodewordBits(e));
  // The entry starts with empty history: nothing before the window's start.
  if (distance > static_cast<size_t>(out_next - window)) return Step::Damage;
  CopyMatch(out_next, distance, length);
  out_next += length;
  return Step::More;
}

// What the fast loop works on, handed in and out in one piece.
struct FastLoopState {
  uint64_t bitbuf;
  uint32_t bitsleft;
  const uint8_t* in_next;
  const uint8_t* in_end;
  uint8_t* out_next;
  uint8_t* out_fast_end;  // the window's slide point
  const uint8_t* window;
};

// The hot loop: runs while the input holds kFastInputMarginBytes and the
// window has its slack left. State lives in locals so that it stays in
// registers (byte stores through out_next could alias anything in memory).
// The next literal/length entry is looked up before a match is copied, so the
// table load overlaps the copy.
[[gnu::always_inline]] inline Step FastLoop(FastLoopState& s, const DecodeTables& t) {
  const Entry* const litlen = t.litlen;
  uint64_t bitbuf = s.bitbuf;
  uint32_t bitsleft = s.bitsleft;
  const uint8_t* in_next = s.in_next;
  const uint8_t* const in_end = s.in_end;
  uint8_t* out_next = s.out_next;
  uint8_t* const out_fast_end = s.out_fast_end;
  const uint8_t* const window = s.window;
  Step step = Step::More;
  if (in_end - in_next < kFastInputMarginBytes || out_next >= out_fast_end) return step;

  RefillWord(bitbuf, bitsleft, in_next);
  Entry e = litlen[bitbuf & BitMask(kLitlenTableBits)];
  for (;;) {
    // `e` is the entry of the next bits, looked up with at least its index
    // bits in the buffer; bits refilled above them leave it valid.
    RefillWord(bitbuf, bitsleft, in_next);
    if (e & kLiteralFlag) {
      bitbuf >>= EntryDropBits(e);
      bitsleft -= EntryDropBits(e);
      *out_next++ = static_cast<uint8_t>(EntryValue(e));
      e = litlen[bitbuf & BitMask(kLitlenTableBits)];
      if (e & kLiteralFlag) {
        bitbuf >>= EntryDropBits(e);
        bitsleft -= EntryDropBits(e);
        *out_next++ = static_cast<uint8_t>(EntryValue(e));
        e = litlen[bitbuf & BitMask(kLitlenTableBits)];
        if (e & kLiteralFlag) {
          bitbuf >>= EntryDropBits(e);
          bitsleft -= EntryDropBits(e);
          *out_next++ = static_cast<uint8_t>(EntryValue(e));
          e = litlen[bitbuf & BitMask(kLitlenTableBits)];
          goto next;
        }
      }
      // At least 56 - 2 * 11 bits left: enough for a literal/length codeword
      // through a subtable with its extra bits.
    }
    if (e & kExceptionalFlag) {
      if (e & kSubtableFlag) {
        bitbuf >>= EntryDropBits(e);
        bitsleft -= EntryDropBits(e);
        e = litlen[EntryValue(e) + (bitbuf & BitMask(EntryCodewordBits(e)))];
        if (e & kLiteralFlag) {
          bitbuf >>= EntryDropBits(e);
          bitsleft -= EntryDropBits(e);
          *out_next++ = static_cast<uint8_t>(EntryValue(e));
          e = litlen[bitbuf & BitMask(kLitlenTableBits)];
          goto next;
        }
      }
      if (e & kExceptionalFlag) {
        if (e & kEndOfBlockFlag) {
          bitbuf >>= EntryDropBits(e);
          bitsleft -= EntryDropBits(e);
          step = Step::EndOfBlock;
        } else {
          step = Step::Damage;
        }
        break;
      }
    }
    {
      uint64_t saved = bitbuf;
      bitbuf >>= EntryDropBits(e);
      bitsleft -= EntryDropBits(e);
      const size_t length = EntryValue(e) + ((saved & BitMask(EntryDropBits(e))) >> EntryCodewordBits(e));

      // Refilling here rather than after the distance keeps the refill off
      // the path from the distance's bits to the next symbol's lookup.
      RefillWord(bitbuf, bitsleft, in_next);
      Entry d = t.dist[bitbuf & BitMask(kDistTableBits)];
      if (d & kExceptionalFlag) {
        if (!(d & kSubtableFlag)) {
          step = Step::Damage;
          break;
        }
        bitbuf >>= EntryDropBits(d);
        bitsleft -= EntryDropBits(d);
        d = t.dist[EntryValue(d) + (bitbuf & BitMask(EntryCodewordBits(d)))];
        if (d & kExceptionalFlag) {
          step = Step::Damage;
          break;
        }
      }
      saved = bitbuf;
      bitbuf >>= EntryDropBits(d);
      bitsleft -= EntryDropBits(d);
      const size_t distance = EntryValue(d) + ((saved & BitMask(EntryDropBits(d))) >> EntryCodewordBits(d));

      // At least 56 - 28 bits left for the next lookup, which then overlaps the copy.
      e = litlen[bitbuf & BitMask(kLitlenTableBits)];
      if (distance > static_cast<size_t>(out_next - window)) {  // before the entry's start
        step = Step::Damage;
        break;
      }
      CopyMatch(out_next, distance, length);
      out_next += length;
    }
  next:
    if (in_end - in_next < kFastInputMarginBytes || out_next >= out_fast_end) break;
  }

  s.bitbuf = bitbuf;
  s.bitsleft = bitsleft;
  s.in_next = in_next;
  s.out_next = out_next;
  return step;
}

Step FastLoopPortable(FastLoopState& s, const DecodeTables& t) { return FastLoop(s, t); }

#if defined(__x86_64__)
// The same loop with BMI2's shifts and bit-field extract, which free the
// shift count from CL and drop the masking instructions.
__attribute__((target("bmi2"))) Step FastLoopBmi2(FastLoopState& s, const DecodeTables& t) {
  return FastLoop(s, t);
}
bool CpuHasBmi2() {
  static const bool has = __builtin_cpu_supports("bmi2");
  return has;
}
#else
Step FastLoopBmi2(FastLoopState& s, const DecodeTables& t) { return FastLoop(s, t); }
bool CpuHasBmi2() { return false; }
#endif

using FastLoopFn = Step (*)(FastLoopState&, const DecodeTables&);

std::atomic<InflatePath> forced_path{InflatePath::Auto};

FastLoopFn ChooseFastLoop() {
  switch (forced_path.load(std::memory_order_relaxed)) {
    case InflatePath::Auto:
      break;
    case InflatePath::Portable:
      return FastLoopPortable;
    case InflatePath::Bmi2:
      return FastLoopBmi2;
    case InflatePath::CarefulOnly:
      return nullptr;
  }
  return CpuHasBmi2() ? FastLoopBmi2 : FastLoopPortable;
}

class Inflater {
 public:
  Inflater(DecodeInput& in, DecodeOutput& out, DecodeWorkspace& ws)
      : in_(in),
        out_(out),
        in_buf_(ws.input.get()),
        in_buf_end_(ws.input.get() + DecodeWorkspace::kInputChunk + DecodeWorkspace::kInputSlack),
        in_next_(in_buf_),
        in_end_(in_buf_),
        window_(ws.window.get()),
        out_slide_at_(ws.window.get() + DecodeWorkspace::kWindowBytes - kWindowSlackBytes),
        out_next_(window_),
        out_flushed_(window_),
        fast_loop_(ChooseFastLoop()) {}

  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;

  // Decodes every block. False on damage; raises what Read and Write raise.
  bool DecodeStream();
  // Writes what the last block left in the window.
  void FlushFinal() {
    if (out_next_ != out_flushed_) out_.Write(out_flushed_, static_cast<size_t>(out_next_ - out_flushed_));
    out_flushed_ = out_next_;
  }

 private:
  bool DecodeStoredBlock();
  bool ReadDynamicTables();
  bool DecodeHuffmanBlock(const DecodeTables& t);
  Step DecodeHuffmanFast(const DecodeTables& t);
  Step DecodeSymbolCareful(const DecodeTables& t);
  void TopUpInput();
  bool RefillCareful(unsigned nbits_wanted);
  void ReadNextBlockHeader();
  void FlushAndSlide();
  void FlushAndWrap();
  void UnwrapHistory();

  bool NeedBits(unsigned nbits) { return bitsleft_ >= nbits || RefillCareful(nbits); }
  uint32_t PeekBits(unsigned nbits) const { return static_cast<uint32_t>(bitbuf_ & BitMask(nbits)); }
  void DropBits(unsigned nbits) {
    bitbuf_ >>= nbits;
    bitsleft_ -= nbits;
  }
  ptrdiff_t InputAvailable() const { return in_end_ - in_next_; }

  DecodeInput& in_;
  DecodeOutput& out_;

  uint8_t* const in_buf_;
  uint8_t* const in_buf_end_;
  const uint8_t* in_next_;
  const uint8_t* in_end_;
  bool in_exhausted_ = false;       // Read has returned 0; it is not asked again
  uint32_t overread_nbytes_ = 0;    // zero bytes taken in past the end

  uint64_t bitbuf_ = 0;
  uint32_t bitsleft_ = 0;

  uint8_t* const window_;
  uint8_t* const out_slide_at_;
  uint8_t* out_next_;
  uint8_t* out_flushed_;  // window bytes before this have been written
  // Stored data does not slide the window: once the window is full it is
  // written out and filled again from the start, and the history is split
  // between the top of the window (ending here) and its start. A Huffman
  // block joins the two first. Null when the history is in one piece.
  uint8_t* wrapped_history_end_ = nullptr;

  const FastLoopFn fast_loop_;  // null: careful path only
  DecodeTables dynamic_;
};

void Inflater::TopUpInput() {
  const size_t tail = static_cast<size_t>(in_end_ - in_next_);
  const size_t keep = std::min(static_cast<size_t>(in_next_ - in_buf_), kKeepBehindBytes);
  std::memmove(in_buf_, in_next_ - keep, keep + tail);
  in_next_ = in_buf_ + keep;
  uint8_t* fill = in_buf_ + keep + tail;
  while (!in_exhausted_ && static_cast<size_t>(fill - in_next_) < kTopUpTargetBytes) {
    const size_t capacity = std::min(DecodeWorkspace::kInputChunk, static_cast<size_t>(in_buf_end_ - fill));
    const size_t nbytes = in_.Read(fill, capacity);
    if (nbytes == 0 || nbytes > capacity) {
      in_exhausted_ = true;
      break;
    }
    fill += nbytes;
  }
  in_end_ = fill;
}

bool Inflater::RefillCareful(unsigned nbits_wanted) {
  for (;;) {
    if (InputAvailable() >= static_cast<ptrdiff_t>(sizeof(uint64_t))) {
      RefillWord(bitbuf_, bitsleft_, in_next_);
      return true;
    }
    while (bitsleft_ < kRefilledBits && in_next_ != in_end_) {
      bitbuf_ |= uint64_t{*in_next_++} << bitsleft_;
      bitsleft_ += 8;
    }
    // Enough already: do not read ahead (see ReadNextBlockHeader).
    if (bitsleft_ >= nbits_wanted) return true;
    if (in_exhausted_) break;
    TopUpInput();
  }
  // Past the end the stream reads as zero bits. The bits above bitsleft_ are
  // zero already: they could only come from bytes beyond in_end_.
  while (bitsleft_ < kRefilledBits) {
    ++overread_nbytes_;
    bitsleft_ += 8;
  }
  return overread_nbytes_ <= kMaxOverreadBytes;
}

void Inflater::ReadNextBlockHeader() {
  // Called with the bit buffer and the input buffer empty.
  in_next_ = in_buf_;
  uint8_t* fill = in_buf_;
  while (!in_exhausted_ && fill < in_buf_ + kStoredHeaderBytes) {
    const size_t capacity = static_cast<size_t>(in_buf_ + kStoredHeaderBytes - fill);
    const size_t nbytes = in_.Read(fill, capacity);
    if (nbytes == 0 || nbytes > capacity) {
      in_exhausted_ = true;
      break;
    }
    fill += nbytes;
  }
  in_end_ = fill;
}

void Inflater::FlushAndSlide() {
  out_.Write(out_flushed_, static_cast<size_t>(out_next_ - out_flushed_));
  std::memmove(window_, out_next_ - DecodeWorkspace::kHistory, DecodeWorkspace::kHistory);
  out_next_ = window_ + DecodeWorkspace::kHistory;
  out_flushed_ = out_next_;
}

void Inflater::FlushAndWrap() {
  out_.Write(out_flushed_, static_cast<size_t>(out_next_ - out_flushed_));
  wrapped_history_end_ = out_next_;
  out_next_ = window_;
  out_flushed_ = window_;
}

void Inflater::UnwrapHistory() {
  const size_t new_nbytes = static_cast<size_t>(out_next_ - window_);
  if (new_nbytes < DecodeWorkspace::kHistory) {
    // The older part sits at the top of the window, which the newer part has
    // not reached: it starts at least kWindowBytes - kWindowSlackBytes - kHistory up.
    const size_t old_nbytes = DecodeWorkspace::kHistory - new_nbytes;
    std::memmove(window_ + old_nbytes, window_, new_nbytes);
    std::memcpy(window_, wrapped_history_end_ - old_nbytes, old_nbytes);
    out_next_ += old_nbytes;
    out_flushed_ += old_nbytes;
  }
  wrapped_history_end_ = nullptr;
}

bool Inflater::DecodeStream() {
  bool final_block = false;
  while (!final_block) {
    if (!NeedBits(3)) return false;
    final_block = PeekBits(1) != 0;
    const unsigned block_type = PeekBits(3) >> 1;
    DropBits(3);
    bool ok = false;
    switch (block_type) {
      case kBlockTypeStored:
        ok = DecodeStoredBlock();
        // Stored blocks tend to follow one another. Fetch no more than the
        // next block's header, so that its data, if stored too, can be read
        // straight into the window.
        if (ok && !final_block && InputAvailable() == 0) ReadNextBlockHeader();
        break;
      case kBlockTypeFixed:
        ok = DecodeHuffmanBlock(FixedTables());
        break;
      case kBlockTypeDynamic:
        ok = ReadDynamicTables() && DecodeHuffmanBlock(dynamic_);
        break;
      default:  // type 3 is reserved
        break;
    }
    if (!ok) return false;
  }
  // Zero bits consumed past the end: the input stopped short of the final block's end.
  return bitsleft_ >= overread_nbytes_ * 8;
}

bool Inflater::DecodeStoredBlock() {
  // The length fields start on a byte boundary. Drop the rest of this byte and
  // hand the whole bytes still in the bit buffer back to the input.
  DropBits(bitsleft_ & 7);
  const uint32_t held_nbytes = bitsleft_ / 8;
  if (held_nbytes < overread_nbytes_) return false;  // the header itself ran past the end
  in_next_ -= held_nbytes - overread_nbytes_;
  overread_nbytes_ = 0;
  bitbuf_ = 0;
  bitsleft_ = 0;

  if (InputAvailable() < 4 && !in_exhausted_) TopUpInput();
  if (InputAvailable() < 4) return false;
  const uint16_t len = static_cast<uint16_t>(in_next_[0] | (in_next_[1] << 8));
  const uint16_t nlen = static_cast<uint16_t>(in_next_[2] | (in_next_[3] << 8));
  in_next_ += 4;
  if (len != static_cast<uint16_t>(~nlen)) return false;

  size_t remaining = len;
  uint8_t* const window_end = window_ + DecodeWorkspace::kWindowBytes;
  while (remaining > 0) {
    if (out_next_ >= out_slide_at_) FlushAndWrap();
    const size_t room = static_cast<size_t>(window_end - out_next_);
    const size_t available = static_cast<size_t>(InputAvailable());
    if (available == 0) {
      if (in_exhausted_) return false;
      // Read straight into the window: stored data then costs no extra copy.
      const size_t capacity = std::min({remaining, room, DecodeWorkspace::kInputChunk});
      const size_t nbytes = in_.Read(out_next_, capacity);
      if (nbytes == 0 || nbytes > capacity) {
        in_exhausted_ = true;
        return false;
      }
      out_next_ += nbytes;
      remaining -= nbytes;
      continue;
    }
    const size_t nbytes = std::min({remaining, available, room});
    std::memcpy(out_next_, in_next_, nbytes);
    out_next_ += nbytes;
    in_next_ += nbytes;
    remaining -= nbytes;
  }
  return true;
}

bool Inflater::ReadDynamicTables() {
  if (!NeedBits(5 + 5 + 4)) return false;
  const unsigned num_litlen_syms = PeekBits(5) + 257;
  DropBits(5);
  const unsigned num_dist_syms = PeekBits(5) + 1;
  DropBits(5);
  const unsigned num_codelen_syms = PeekBits(4) + 4;
  DropBits(4);
  if (num_litlen_syms > kMaxDynamicLitlenSyms || num_dist_syms > kMaxDynamicDistSyms) return false;

  uint8_t codelen_lens[kCodeLengthCodes] = {};
  for (unsigned i = 0; i < num_codelen_syms; ++i) {
    if (!NeedBits(3)) return false;
    codelen_lens[kCodeLengthOrder[i]] = static_cast<uint8_t>(PeekBits(3));
    DropBits(3);
  }
  Entry codelen_table[kCodelenTableEntries];
  if (!BuildDecodeTable(codelen_lens, kCodeLengthCodes, kTemplates.codelen, kCodelenTableBits,
                        kCodelenTableEntries, Completeness::Required, codelen_table))
    return false;

  // Literal/length and distance lengths form one sequence; a repeat may run
  // from one into the other.
  uint8_t lens[kMaxDynamicLitlenSyms + kMaxDynamicDistSyms];
  const unsigned num_lens = num_litlen_syms + num_dist_syms;
  for (unsigned i = 0; i < num_lens;) {
    if (!NeedBits(kCodelenTableBits + 7)) return false;
    const Entry e = codelen_table[PeekBits(kCodelenTableBits)];
    DropBits(EntryDropBits(e));
    const unsigned sym = EntryValue(e);
    if (sym < 16) {
      lens[i++] = static_cast<uint8_t>(sym);
      continue;
    }
    uint8_t value = 0;
    unsigned repeat;
    if (sym == 16) {
      if (i == 0) return false;  // nothing to repeat
      value = lens[i - 1];
      repeat = 3 + PeekBits(2);
      DropBits(2);
    } else if (sym == 17) {
      repeat = 3 + PeekBits(3);
      DropBits(3);
    } else {
      repeat = 11 + PeekBits(7);
      DropBits(7);
    }
    if (repeat > num_lens - i) return false;
    std::memset(lens + i, value, repeat);
    i += repeat;
  }
  if (lens[kEndOfBlockSym] == 0) return false;  // a block that cannot end

  return BuildDecodeTable(lens, num_litlen_syms, kTemplates.litlen, kLitlenTableBits, kLitlenTableEntries,
                          Completeness::SingleCodewordOrEmptyAllowed, dynamic_.litlen) &&
         BuildDecodeTable(lens + num_litlen_syms, num_dist_syms, kTemplates.dist, kDistTableBits,
                          kDistTableEntries, Completeness::SingleCodewordOrEmptyAllowed, dynamic_.dist);
}

bool Inflater::DecodeHuffmanBlock(const DecodeTables& t) {
  if (wrapped_history_end_) UnwrapHistory();
  for (;;) {
    if (out_next_ >= out_slide_at_) FlushAndSlide();
    Step step;
    if (fast_loop_ && InputAvailable() >= kFastInputMarginBytes) {
      step = DecodeHuffmanFast(t);
    } else {
      if (InputAvailable() < kFastInputMarginBytes && !in_exhausted_) {
        TopUpInput();
        if (fast_loop_ && InputAvailable() >= kFastInputMarginBytes) continue;
      }
      step = DecodeSymbolCareful(t);
    }
    if (step == Step::EndOfBlock) return true;
    if (step == Step::Damage) return false;
  }
}

Step Inflater::DecodeHuffmanFast(const DecodeTables& t) {
  FastLoopState s{bitbuf_, bitsleft_, in_next_, in_end_, out_next_, out_slide_at_, window_};
  const Step step = fast_loop_(s, t);
  bitbuf_ = s.bitbuf;
  bitsleft_ = s.bitsleft;
  in_next_ = s.in_next;
  out_next_ = s.out_next;
  return step;
}

// One symbol, with a refill that copes with the end of the input.
Step Inflater::DecodeSymbolCareful(const DecodeTables& t) {
  if (!RefillCareful(kMaxSymbolBits)) return Step::Damage;
  const Entry e = t.litlen[bitbuf_ & BitMask(kLitlenTableBits)];
  if (e & kLiteralFlag) {
    DropBits(EntryDropBits(e));
    *out_next_++ = static_cast<uint8_t>(EntryValue(e));
    return Step::More;
  }
  return DecodeNonLiteral(e, bitbuf_, bitsleft_, out_next_, window_, t);
}

}  // namespace

InflateResult InflateWithResult(DecodeInput& in, DecodeOutput& out, DecodeWorkspace& ws) {
  Inflater inflater(in, out, ws);
  try {
    if (!inflater.DecodeStream()) return InflateResult::Damaged;
  } catch (const EBiggerThanUncompressed&) {
    return InflateResult::Interrupted;
  } catch (const EFatalUnzipError&) {
    return InflateResult::Damaged;  // the archive ended inside the entry
  }
  inflater.FlushFinal();
  return InflateResult::Done;
}

bool Inflate(DecodeInput& in, DecodeOutput& out, DecodeWorkspace& ws) {
  return InflateWithResult(in, out, ws) != InflateResult::Damaged;
}

bool InflatePathAvailable(InflatePath path) { return path != InflatePath::Bmi2 || CpuHasBmi2(); }

void TEST_ForceInflatePath(InflatePath path) {
  if (InflatePathAvailable(path)) forced_path.store(path, std::memory_order_relaxed);
}

}  // namespace corvid::zip
