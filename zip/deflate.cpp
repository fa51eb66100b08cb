// Deflate: the compressor of method 8 (RFC 1951).
//
// The classic hash-chain design: a 64 KiB window holds the last 32 KiB of
// history plus the lookahead; every 3-byte string is entered into a hash
// chain, and the chain is walked for the longest earlier match, with the
// per-level limits of the level table bounding the walk. Levels 1-3 take
// each match as found (greedy); levels 4-9 defer a match by one byte to see
// whether the next position has a longer one (lazy). Symbols collect in a
// block buffer; each block goes out stored, with the fixed code or with its
// own code, whichever is shortest, and a small entry that does not compress
// at all goes out raw as a stored entry.
//
// Where this departs from a byte-for-byte rendering of that design, it is for
// speed without changing a single output bit: the hash of three bytes is
// computed directly instead of rolled (same value), match lengths are measured
// eight bytes at a time, and bits are collected in a 64-bit buffer that is
// emptied a whole byte at a time into the 1024-byte output buffer.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "zip/deflate_internal.h"
#include "zip/deflate_format.h"
#include "zip/encoder.h"
#include "zip/errors.h"
#include "zip/zip_header.h"

namespace corvid::zip {
namespace {

using namespace deflate_format;

// --- Sizes --------------------------------------------------------------

constexpr uint32_t kWindowSize = 32768;  // history a distance may reach
constexpr uint32_t kWindowMask = kWindowSize - 1;
constexpr uint32_t kWindowBytes = 2 * kWindowSize;  // history + lookahead
constexpr uint32_t kMinMatch = 3;
constexpr uint32_t kMaxMatch = 258;
// Enough lookahead for a maximal match plus the next hash string, so the
// search never has to ask whether bytes are still coming.
constexpr uint32_t kMinLookahead = kMaxMatch + kMinMatch + 1;  // 262
// Matches stay this close so that a window move never loses a byte a pending
// match still needs (the move happens when lookahead runs short).
constexpr uint32_t kMaxDistance = kWindowSize - kMinLookahead;  // 32506
constexpr uint32_t kSlideAt = kWindowSize + kMaxDistance;       // 65274
// A 3-byte match far away costs more bits than three literals usually do.
constexpr uint32_t kTooFar = 4096;

// Bytes kept below window position 0 after a move: a lazy match found just
// before the move may start one byte below the new window start. Its bytes
// are still in the decoder's history (the distance is within 32 KiB); only the
// self-check needs them here.
constexpr uint32_t kWindowGuard = 16;
// Bytes past the window end that the 8-byte match compare may read.
constexpr uint32_t kWindowSlack = kMaxMatch + 16;

constexpr uint32_t kHashBits = 15;
constexpr uint32_t kHashSize = 1u << kHashBits;
constexpr uint32_t kHashMask = kHashSize - 1;
constexpr uint32_t kHashShift = 5;  // 3 x 5 >= 15: a hash covers exactly three bytes

// Pending symbols per block. The distance buffer has a slot per symbol (0 for
// a literal), so it doubles as the literal/match flag and the symbol limit
// bounds the match count as well.
constexpr uint32_t kSymbolBufSize = 32768;
constexpr uint32_t kMaxBlockSymbols = kSymbolBufSize - 1;
// Every this many symbols (levels above 2) the block is ended early when its
// statistics already promise to halve it: a fresh code then suits what follows.
constexpr uint32_t kBlockCheckEvery = 4096;

constexpr uint32_t kOutBufBytes = 1024;  // output is pushed in pieces of this size
constexpr uint32_t kOutBufSlack = 8;     // an 8-byte store of the bit buffer

// --- RFC 1951 codes -----------------------------------------------------

constexpr uint32_t kLiterals = 256;
constexpr uint32_t kEndOfBlock = 256;
constexpr uint32_t kLitLenCodes = kLiterals + 1 + kLengthCodes;  // 286
constexpr uint32_t kMaxCodeBits = 15;
constexpr uint32_t kMaxBitLenBits = 7;
// The fixed code defines two literal/length codes more (286, 287, never
// sent); they take part in its canonical assignment, so the code tables have
// room for them.
constexpr uint32_t kFixedLitLenCodes = 288;
constexpr uint32_t kMaxSymbols = kFixedLitLenCodes;

constexpr uint32_t kRepeatPrevious = 16;  // 3-6 copies of the previous length, 2 extra bits
constexpr uint32_t kRepeatZero = 17;      // 3-10 zeros, 3 extra bits
constexpr uint32_t kRepeatZeroLong = 18;  // 11-138 zeros, 7 extra bits

constexpr uint8_t kBlockStored = 0;
constexpr uint8_t kBlockFixed = 1;
constexpr uint8_t kBlockDynamic = 2;

// Length code index (0..28) of each match length - 3. Length 258 has a code
// of its own (285) although 284 with all extra bits set would reach 258 too.
constexpr std::array<uint8_t, 256> kLengthCodeOf = [] {
  std::array<uint8_t, 256> table{};
  for (uint32_t code = 0; code + 1 < kLengthCodes; ++code)
    for (uint32_t i = 0; i < (1u << kLengthExtraBits[code]); ++i) table[kLengthBase[code] - kMinMatch + i] = code;
  table[kMaxMatch - kMinMatch] = kLengthCodes - 1;
  return table;
}();

// Distance code of distance - 1: two codes per power of two from 4 on.
inline uint32_t DistCode(uint32_t dist_minus_1) {
  if (dist_minus_1 < 4) return dist_minus_1;
  const uint32_t log2 = 31 - __builtin_clz(dist_minus_1);
  return 2 * log2 + ((dist_minus_1 >> (log2 - 1)) & 1);
}

// --- Level table --------------------------------------------------------

struct LevelConfig {
  uint16_t good_length;  // a previous match this long quarters the chain walk
  uint16_t max_lazy;     // lazy: no search after a match this long; greedy: longest match whose strings are all hashed
  uint16_t nice_length;  // stop the walk at a match this long
  uint16_t max_chain;    // chain links walked at most
  bool lazy;
};

constexpr LevelConfig kLevels[10] = {
    {0, 0, 0, 0, false},         // 0: stored by the writer, never reaches here
    {4, 4, 8, 4, false},         // 1
    {4, 5, 16, 8, false},        // 2
    {4, 6, 32, 32, false},       // 3
    {4, 4, 16, 16, true},        // 4
    {8, 16, 32, 32, true},       // 5
    {8, 16, 128, 128, true},     // 6
    {8, 32, 128, 256, true},     // 7
    {32, 128, 258, 1024, true},  // 8
    {32, 258, 258, 4096, true},  // 9
};

constexpr uint16_t kBitFlagMaximum = 2;   // levels 8-9
constexpr uint16_t kBitFlagFast = 4;      // levels 1-2
constexpr uint16_t kAttributesUnknown = 2;
constexpr uint16_t kAttributesText = 1;
constexpr uint16_t kAttributesBinary = 0;
constexpr uint16_t kMethodStored = 0;
constexpr uint16_t kMethodDeflated = 8;

int32_t g_test_match_skew = 0;

// --- Helpers ------------------------------------------------------------

inline uint16_t Load16(const uint8_t* p) {
  uint16_t v;
  std::memcpy(&v, p, 2);
  return v;
}

inline uint64_t Load64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

inline void Store64LE(uint8_t* p, uint64_t v) {
  static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the bit buffer is stored as it lies in memory");
  std::memcpy(p, &v, 8);
}

// Bytes in which `a` and `b` agree, up to kMaxMatch; both may be read up to
// 7 bytes past that.
inline uint32_t MatchLength(const uint8_t* a, const uint8_t* b) {
  uint32_t len = 0;
  while (len < kMaxMatch) {
    const uint64_t diff = Load64(a + len) ^ Load64(b + len);
    if (diff != 0) return std::min<uint32_t>(len + (__builtin_ctzll(diff) >> 3), kMaxMatch);
    len += 8;
  }
  return kMaxMatch;
}

// Whether the `len` bytes (3..258) at `a` and `b` agree, eight at a time;
// both may be read up to 7 bytes past `len`.
inline bool SameBytes(const uint8_t* a, const uint8_t* b, uint32_t len) {
  if (len < 8) return ((Load64(a) ^ Load64(b)) & ((uint64_t{1} << (8 * len)) - 1)) == 0;
  for (uint32_t i = 0; i + 8 < len; i += 8)
    if (Load64(a + i) != Load64(b + i)) return false;
  return Load64(a + len - 8) == Load64(b + len - 8);
}

inline uint32_t Hash3(const uint8_t* p) {
  return ((uint32_t{p[0]} << (2 * kHashShift)) ^ (uint32_t{p[1]} << kHashShift) ^ p[2]) & kHashMask;
}

inline uint16_t ReverseBits(uint32_t code, uint32_t nbits) {
  uint32_t out = 0;
  for (uint32_t i = 0; i < nbits; ++i, code >>= 1) out = (out << 1) | (code & 1);
  return static_cast<uint16_t>(out);
}

// A prefix code: per symbol its length in bits and its bits in the order they
// are sent (reversed, since Deflate packs codes from their top bit down).
struct Code {
  uint8_t lens[kMaxSymbols];
  uint16_t bits[kMaxSymbols];
};

// Canonical codes from lengths, as RFC 1951 3.2.2 assigns them.
void AssignCodes(Code& code, uint32_t nsyms) {
  uint32_t count[kMaxCodeBits + 1] = {};
  for (uint32_t s = 0; s < nsyms; ++s) count[code.lens[s]]++;
  count[0] = 0;
  uint32_t next[kMaxCodeBits + 1] = {};
  uint32_t value = 0;
  for (uint32_t len = 1; len <= kMaxCodeBits; ++len) {
    value = (value + count[len - 1]) << 1;
    next[len] = value;
  }
  for (uint32_t s = 0; s < nsyms; ++s)
    code.bits[s] = code.lens[s] != 0 ? ReverseBits(next[code.lens[s]]++, code.lens[s]) : 0;
}

// Lengths of a prefix code for `freq[0..nsyms)` of at most `max_bits` bits,
// optimal when the limit does not bind. Unused symbols get length 0, except
// that at least two symbols get a code: a complete code of one bit or more is
// what every inflater accepts (some reject a lone code or an incomplete set).
void BuildCodeLengths(const uint32_t* freq, uint32_t nsyms, uint32_t max_bits, uint8_t* lens) {
  uint16_t syms[kMaxSymbols];
  uint32_t nused = 0;
  for (uint32_t s = 0; s < nsyms; ++s) {
    lens[s] = 0;
    if (freq[s] != 0) syms[nused++] = static_cast<uint16_t>(s);
  }
  for (uint32_t s = 0; nused < 2; ++s)
    if (freq[s] == 0) syms[nused++] = static_cast<uint16_t>(s);
  std::sort(syms, syms + nused, [freq](uint16_t a, uint16_t b) { return freq[a] != freq[b] ? freq[a] < freq[b] : a < b; });

  // Huffman's merging with two queues: the sorted leaves, and the internal
  // nodes, which are made in order of weight. On a tie the leaf goes first,
  // which keeps the tree as shallow as any optimal one can be.
  uint32_t weight[2 * kMaxSymbols];
  uint16_t parent[2 * kMaxSymbols];
  for (uint32_t i = 0; i < nused; ++i) weight[i] = freq[syms[i]];
  uint32_t next_leaf = 0, next_node = nused;
  for (uint32_t made = nused; made < 2 * nused - 1; ++made) {
    uint32_t pick[2];
    for (uint32_t& p : pick) {
      if (next_leaf < nused && (next_node >= made || weight[next_leaf] <= weight[next_node]))
        p = next_leaf++;
      else
        p = next_node++;
    }
    weight[made] = weight[pick[0]] + weight[pick[1]];
    parent[pick[0]] = parent[pick[1]] = static_cast<uint16_t>(made);
  }
  // Depths from the root down: every parent is made after its children.
  uint16_t depth[2 * kMaxSymbols];
  const uint32_t root = 2 * nused - 2;
  depth[root] = 0;
  uint32_t count[kMaxSymbols + 1] = {};
  uint32_t max_depth = 0;
  for (int32_t node = static_cast<int32_t>(root) - 1; node >= 0; --node) {
    depth[node] = depth[parent[node]] + 1;
    if (static_cast<uint32_t>(node) < nused) {
      count[depth[node]]++;
      max_depth = std::max<uint32_t>(max_depth, depth[node]);
    }
  }
  // Too deep: move leaves up in pairs. Two sibling leaves at depth d become
  // one leaf at d - 1, and the deepest leaf above d - 1 turns into a node with
  // two leaf children; the Kraft sum stays exactly 1, so the code stays
  // complete. (The deepest level of a complete code always holds an even
  // number of leaves, and with fewer symbols than 2^max_bits there is always
  // a leaf above to split.)
  for (uint32_t d = max_depth; d > max_bits; --d) {
    while (count[d] > 0) {
      uint32_t j = d - 2;
      while (count[j] == 0) --j;
      count[d] -= 2;
      count[d - 1] += 1;
      count[j + 1] += 2;
      count[j] -= 1;
    }
  }
  // The rarest symbols take the longest codes.
  uint32_t i = 0;
  for (uint32_t len = std::min(max_depth, max_bits); len >= 1; --len)
    for (uint32_t n = count[len]; n > 0; --n) lens[syms[i++]] = static_cast<uint8_t>(len);
}

struct FixedCodes {
  Code lit;
  Code dist;
  FixedCodes() {
    for (uint32_t s = 0; s < kMaxSymbols; ++s) lit.lens[s] = s < 144 ? 8 : s < 256 ? 9 : s < 280 ? 7 : 8;
    for (uint32_t s = 0; s < kDistanceCodes; ++s) dist.lens[s] = 5;
    AssignCodes(lit, kFixedLitLenCodes);
    AssignCodes(dist, kDistanceCodes);
  }
};

const FixedCodes& Fixed() {
  static const FixedCodes codes;
  return codes;
}

}  // namespace

void TEST_SkewMatches(int32_t skew_bytes) { g_test_match_skew = skew_bytes; }

struct TDeflater::State {
  // --- Working storage: allocated with the deflater, reused by every entry.
  uint8_t window_storage[kWindowGuard + kWindowBytes + kWindowSlack];
  uint8_t* const window = window_storage + kWindowGuard;
  uint16_t prev[kWindowSize];  // chain link of each position (position AND kWindowMask)
  uint16_t head[kHashSize];    // latest position of each hash; 0 = none
  uint8_t lit_buf[kSymbolBufSize];    // literal, or match length - 3
  uint16_t dist_buf[kSymbolBufSize];  // match distance, 0 for a literal
  uint8_t out_buf[kOutBufBytes + kOutBufSlack];

  // --- Per entry.
  EncodeInput* in = nullptr;
  EncodeOutput* out = nullptr;
  TZipHeaderInfo* entry = nullptr;
  int level = 6;
  LevelConfig config{};
  int32_t match_skew = 0;
  bool input_ended = false;
  uint32_t strstart = 0;     // current window position
  uint32_t lookahead = 0;    // bytes from strstart on that are valid
  int32_t match_start = 0;   // of the last match found; may reach -1 after a move
  int64_t block_start = 0;   // window position of the block's first byte; negative once moved out

  uint32_t sym_count = 0;
  uint32_t match_count = 0;
  uint32_t lit_freq[kLitLenCodes];
  uint32_t dist_freq[kDistanceCodes];

  uint64_t bit_buf = 0;
  uint32_t bit_count = 0;  // bits in bit_buf; below 8 between symbols
  uint32_t out_pos = 0;    // bytes in out_buf
  uint64_t out_total = 0;  // bytes handed to `out`

  Code lit_code;
  Code dist_code;
  Code bl_code;

  uint32_t Run(int level_in, EncodeInput& in_ref, EncodeOutput& out_ref, TZipHeaderInfo& entry_ref);

  // Input side.
  void FillWindow();
  void Slide();
  uint32_t InsertString(uint32_t pos) {
    const uint32_t h = Hash3(window + pos);
    const uint32_t chain_head = head[h];
    prev[pos & kWindowMask] = static_cast<uint16_t>(chain_head);
    head[h] = static_cast<uint16_t>(pos);
    return chain_head;
  }
  uint32_t LongestMatch(uint32_t cur_match, uint32_t best_len);
  int32_t CheckedMatch(uint32_t start, int32_t match, uint32_t length);
  void CompressGreedy();
  void CompressLazy();

  // Block side.
  void ResetBlock();
  bool TallyLiteral(uint8_t byte) {
    lit_buf[sym_count] = byte;
    dist_buf[sym_count] = 0;
    sym_count++;
    lit_freq[byte]++;
    return BlockShouldEnd();
  }
  bool TallyMatch(uint32_t distance, uint32_t length) {
    lit_buf[sym_count] = static_cast<uint8_t>(length - kMinMatch);
    dist_buf[sym_count] = static_cast<uint16_t>(distance);
    sym_count++;
    match_count++;
    lit_freq[kLiterals + 1 + kLengthCodeOf[length - kMinMatch]]++;
    dist_freq[DistCode(distance - 1)]++;
    return BlockShouldEnd();
  }
  bool BlockShouldEnd();
  void FlushBlock(bool last);
  uint64_t PlanDynamic(uint32_t& nlit, uint32_t& ndist, uint32_t& nbl, uint8_t* rle, uint8_t* rle_extra,
                       uint32_t& nrle);
  void WriteDynamicHeader(bool last, uint32_t nlit, uint32_t ndist, uint32_t nbl, const uint8_t* rle,
                          const uint8_t* rle_extra, uint32_t nrle);
  void WriteSymbols(const Code& lit, const Code& dist);
  void WriteStoredBlocks(const uint8_t* data, uint64_t nbytes, bool last);

  // Output side.
  void PutBits(uint32_t value, uint32_t nbits) {
    bit_buf |= uint64_t{value} << bit_count;
    bit_count += nbits;
  }
  // Moves the whole bytes of the bit buffer to the output buffer.
  void FlushBits() {
    Store64LE(out_buf + out_pos, bit_buf);
    const uint32_t nbytes = bit_count >> 3;
    out_pos += nbytes;
    bit_buf >>= nbytes * 8;
    bit_count &= 7;
    if (out_pos >= kOutBufBytes) PushOut();
  }
  void AlignToByte() {
    bit_count = (bit_count + 7) & ~7u;
    FlushBits();
  }
  void PushOut() {
    out->Write(out_buf, kOutBufBytes);
    out_total += kOutBufBytes;
    out_pos -= kOutBufBytes;
    std::memmove(out_buf, out_buf + kOutBufBytes, out_pos);
  }
  void WriteBytes(const uint8_t* data, uint64_t nbytes);
};

TDeflater::TDeflater() : state_(std::make_unique<State>()) {}
TDeflater::~TDeflater() = default;

uint32_t TDeflater::Deflate(int level, EncodeInput& in, EncodeOutput& out, TZipHeaderInfo& entry) {
  return state_->Run(level, in, out, entry);
}

uint32_t TDeflater::State::Run(int level_in, EncodeInput& in_ref, EncodeOutput& out_ref, TZipHeaderInfo& entry_ref) {
  // Level 0 means "store" to the writer and never reaches here; anything out
  // of range is taken as the nearest level rather than indexing past the table.
  level = std::clamp(level_in, 1, 9);
  config = kLevels[level];
  match_skew = g_test_match_skew;
  in = &in_ref;
  out = &out_ref;
  entry = &entry_ref;

  // Bits 1-2 describe the level for method 8; clear what an earlier
  // compression of the same entry left.
  entry->BitFlag &= static_cast<uint16_t>(~(kBitFlagMaximum | kBitFlagFast));
  if (level <= 2) entry->BitFlag |= kBitFlagFast;
  if (level > 7) entry->BitFlag |= kBitFlagMaximum;
  entry->CompressionMethod = kMethodDeflated;

  std::memset(head, 0, sizeof(head));
  input_ended = false;
  strstart = 0;
  lookahead = 0;
  match_start = 0;
  block_start = 0;
  bit_buf = 0;
  bit_count = 0;
  out_pos = 0;
  out_total = 0;
  ResetBlock();

  FillWindow();
  if (lookahead == 0) {
    // Nothing to compress: no Deflate bytes at all, a stored empty entry.
    // The classification rule, applied to no bytes, says text.
    entry->CompressionMethod = kMethodStored;
    if (entry->InternalAttributes == kAttributesUnknown) entry->InternalAttributes = kAttributesText;
    return 0;
  }
  if (config.lazy)
    CompressLazy();
  else
    CompressGreedy();
  return static_cast<uint32_t>(out_total);
}

// --- Window -----------------------------------------------------------------

void TDeflater::State::FillWindow() {
  while (lookahead < kMinLookahead && !input_ended) {
    if (strstart >= kSlideAt) Slide();
    const uint32_t free_bytes = kWindowBytes - strstart - lookahead;  // > 0: strstart < kSlideAt here
    const uint32_t want = std::min(free_bytes, kWindowSize);
    const size_t got = in->Read(window + strstart + lookahead, want);
    if (got == 0) {
      input_ended = true;
      break;
    }
    lookahead += static_cast<uint32_t>(std::min<size_t>(got, want));
  }
}

void TDeflater::State::Slide() {
  // The guard bytes below position 0 come along (see kWindowGuard).
  std::memmove(window - kWindowGuard, window + kWindowSize - kWindowGuard, kWindowSize + kWindowGuard);
  match_start -= static_cast<int32_t>(kWindowSize);
  strstart -= kWindowSize;
  block_start -= kWindowSize;
  // Positions that fall out of the window become "none"; written so that the
  // compiler turns it into saturating vector subtractions.
  for (uint16_t& h : head) h = h >= kWindowSize ? static_cast<uint16_t>(h - kWindowSize) : 0;
  for (uint16_t& p : prev) p = p >= kWindowSize ? static_cast<uint16_t>(p - kWindowSize) : 0;
}

// --- Match search -----------------------------------------------------------

// Walks the chain from `cur_match` for a match longer than `best_len` (at
// least 2). Returns the best length found, at most the lookahead; sets
// match_start when it found a longer one.
uint32_t TDeflater::State::LongestMatch(uint32_t cur_match, uint32_t best_len) {
  uint32_t chain_left = config.max_chain;
  if (best_len >= config.good_length) chain_left >>= 2;
  const uint32_t nice_length = std::min<uint32_t>(config.nice_length, lookahead);
  const uint32_t limit = strstart > kMaxDistance ? strstart - kMaxDistance : 0;
  // Locals, so that the walk runs in registers.
  const uint8_t* const win = window;
  const uint16_t* const links = prev;
  const uint8_t* const scan = win + strstart;
  const uint16_t scan_start = Load16(scan);
  uint16_t scan_end = Load16(scan + best_len - 1);
  int32_t best_match = match_start;
  do {
    const uint8_t* const match = win + cur_match;
    // Most candidates fail on the two bytes that would make them longer than
    // the best so far, or on the first two; test those before measuring.
    if (Load16(match + best_len - 1) != scan_end || Load16(match) != scan_start) continue;
    const uint32_t len = MatchLength(scan, match);
    if (len > best_len) {
      best_match = static_cast<int32_t>(cur_match);
      best_len = len;
      if (len >= nice_length) break;
      scan_end = Load16(scan + best_len - 1);
    }
  } while ((cur_match = links[cur_match & kWindowMask]) > limit && --chain_left != 0);
  match_start = best_match;
  return std::min(best_len, lookahead);
}

// The self-check of a match about to be recorded: its source must lie inside
// the history and hold the same bytes. The bytes were just touched by the
// search and are compared eight at a time, so it costs little.
int32_t TDeflater::State::CheckedMatch(uint32_t start, int32_t match, uint32_t length) {
  match += match_skew;
  const int64_t distance = int64_t{start} - match;
  if (distance < 1 || distance > kWindowSize || match < -static_cast<int32_t>(kWindowGuard) ||
      !SameBytes(window + match, window + start, length)) {
    char message[96];
    std::snprintf(message, sizeof(message), "Start: %d, Match: %d, Length: %d", static_cast<int>(start),
                  static_cast<int>(match), static_cast<int>(length));
    throw EInvalidMatch(message);
  }
  return match;
}

void TDeflater::State::CompressGreedy() {
  for (;;) {
    if (lookahead < kMinLookahead) {
      FillWindow();
      if (lookahead == 0) break;
    }
    const uint32_t chain_head = lookahead >= kMinMatch ? InsertString(strstart) : 0;
    uint32_t match_length = 0;
    if (chain_head != 0 && strstart - chain_head <= kMaxDistance)
      match_length = LongestMatch(chain_head, kMinMatch - 1);
    bool end_block;
    if (match_length >= kMinMatch) {
      const int32_t match = CheckedMatch(strstart, match_start, match_length);
      end_block = TallyMatch(strstart - match, match_length);
      lookahead -= match_length;
      // Hashing every string of a short match finds more later matches;
      // a long one is skipped over, which is where the speed of these levels
      // comes from.
      if (match_length <= config.max_lazy && lookahead >= kMinMatch) {
        for (uint32_t n = match_length - 1; n != 0; --n) InsertString(++strstart);
        strstart++;
      } else {
        strstart += match_length;
      }
    } else {
      end_block = TallyLiteral(window[strstart]);
      lookahead--;
      strstart++;
    }
    if (end_block) FlushBlock(false);
  }
  FlushBlock(true);
}

void TDeflater::State::CompressLazy() {
  uint32_t match_length = kMinMatch - 1;
  bool match_available = false;  // the byte before strstart is not yet recorded
  for (;;) {
    if (lookahead < kMinLookahead) {
      FillWindow();
      if (lookahead == 0) break;
    }
    const uint32_t chain_head = lookahead >= kMinMatch ? InsertString(strstart) : 0;
    const uint32_t prev_length = match_length;
    const int32_t prev_match = match_start;
    match_length = kMinMatch - 1;
    if (chain_head != 0 && prev_length < config.max_lazy && strstart - chain_head <= kMaxDistance) {
      match_length = LongestMatch(chain_head, prev_length);
      if (match_length == kMinMatch && static_cast<int64_t>(strstart) - match_start > kTooFar)
        match_length = kMinMatch - 1;
    }
    if (prev_length >= kMinMatch && match_length <= prev_length) {
      // The match at the previous byte wins: record it and hash the strings
      // it covers (those with three bytes of input left).
      const uint32_t start = strstart - 1;
      const uint32_t max_insert = strstart + lookahead - kMinMatch;
      const int32_t match = CheckedMatch(start, prev_match, prev_length);
      const bool end_block = TallyMatch(start - match, prev_length);
      lookahead -= prev_length - 1;
      for (uint32_t n = prev_length - 2; n != 0; --n)
        if (++strstart <= max_insert) InsertString(strstart);
      strstart++;
      match_available = false;
      match_length = kMinMatch - 1;
      if (end_block) FlushBlock(false);
    } else if (match_available) {
      // No better than a literal at the previous byte; this one stays open.
      if (TallyLiteral(window[strstart - 1])) FlushBlock(false);
      strstart++;
      lookahead--;
    } else {
      match_available = true;
      strstart++;
      lookahead--;
    }
  }
  if (match_available) TallyLiteral(window[strstart - 1]);  // room is left: a full buffer flushes at once
  FlushBlock(true);
}

// --- Blocks -----------------------------------------------------------------

void TDeflater::State::ResetBlock() {
  std::memset(lit_freq, 0, sizeof(lit_freq));
  std::memset(dist_freq, 0, sizeof(dist_freq));
  lit_freq[kEndOfBlock] = 1;
  sym_count = 0;
  match_count = 0;
}

bool TDeflater::State::BlockShouldEnd() {
  if (level > 2 && (sym_count & (kBlockCheckEvery - 1)) == 0) {
    // A rough price: a byte per symbol, and per match five bits and the extra
    // bits of its distance. End the block when fewer than half the symbols
    // are matches and the block already promises to halve its input.
    uint64_t out_bits = uint64_t{sym_count} * 8;
    for (uint32_t d = 0; d < kDistanceCodes; ++d) out_bits += uint64_t{dist_freq[d]} * (5 + kDistanceExtraBits[d]);
    const int64_t in_bytes = static_cast<int64_t>(strstart) - block_start;
    if (match_count < sym_count / 2 && static_cast<int64_t>(out_bits >> 3) < in_bytes / 2) return true;
  }
  return sym_count == kMaxBlockSymbols;
}

namespace {

// Run-length codes one sequence of code lengths with the bit-length code's
// repeat symbols.
void RunLengthCode(const uint8_t* lens, uint32_t n, uint8_t* syms, uint8_t* extra, uint32_t& nsyms) {
  for (uint32_t i = 0; i < n;) {
    const uint8_t len = lens[i];
    uint32_t run = 1;
    while (i + run < n && lens[i + run] == len) ++run;
    i += run;
    if (len == 0) {
      while (run >= 11) {
        const uint32_t take = std::min<uint32_t>(run, 138);
        syms[nsyms] = kRepeatZeroLong;
        extra[nsyms++] = static_cast<uint8_t>(take - 11);
        run -= take;
      }
      if (run >= 3) {
        syms[nsyms] = kRepeatZero;
        extra[nsyms++] = static_cast<uint8_t>(run - 3);
        run = 0;
      }
    } else {
      syms[nsyms] = len;
      extra[nsyms++] = 0;
      --run;
      while (run >= 3) {
        const uint32_t take = std::min<uint32_t>(run, 6);
        syms[nsyms] = kRepeatPrevious;
        extra[nsyms++] = static_cast<uint8_t>(take - 3);
        run -= take;
      }
    }
    for (; run > 0; --run) {
      syms[nsyms] = len;
      extra[nsyms++] = 0;
    }
  }
}

}  // namespace

// Builds this block's codes and returns the bits of its dynamic form after
// the 3-bit block header: the code description and the coded symbols.
uint64_t TDeflater::State::PlanDynamic(uint32_t& nlit, uint32_t& ndist, uint32_t& nbl, uint8_t* rle,
                                       uint8_t* rle_extra, uint32_t& nrle) {
  BuildCodeLengths(lit_freq, kLitLenCodes, kMaxCodeBits, lit_code.lens);
  BuildCodeLengths(dist_freq, kDistanceCodes, kMaxCodeBits, dist_code.lens);
  AssignCodes(lit_code, kLitLenCodes);
  AssignCodes(dist_code, kDistanceCodes);

  nlit = kLitLenCodes;
  while (nlit > kLiterals + 1 && lit_code.lens[nlit - 1] == 0) --nlit;
  ndist = kDistanceCodes;
  while (ndist > 1 && dist_code.lens[ndist - 1] == 0) --ndist;

  // The two length sequences are coded apart: a repeat that runs from one
  // into the other is legal, yet some inflaters have rejected it.
  nrle = 0;
  RunLengthCode(lit_code.lens, nlit, rle, rle_extra, nrle);
  RunLengthCode(dist_code.lens, ndist, rle, rle_extra, nrle);
  uint32_t bl_freq[kCodeLengthCodes] = {};
  for (uint32_t i = 0; i < nrle; ++i) bl_freq[rle[i]]++;
  BuildCodeLengths(bl_freq, kCodeLengthCodes, kMaxBitLenBits, bl_code.lens);
  AssignCodes(bl_code, kCodeLengthCodes);
  nbl = kCodeLengthCodes;
  while (nbl > 4 && bl_code.lens[kCodeLengthOrder[nbl - 1]] == 0) --nbl;

  uint64_t bits = 5 + 5 + 4 + 3 * nbl;
  for (uint32_t s = 0; s < kCodeLengthCodes; ++s) bits += uint64_t{bl_freq[s]} * bl_code.lens[s];
  bits += 2 * uint64_t{bl_freq[kRepeatPrevious]} + 3 * uint64_t{bl_freq[kRepeatZero]} +
          7 * uint64_t{bl_freq[kRepeatZeroLong]};
  for (uint32_t s = 0; s < kLitLenCodes; ++s) bits += uint64_t{lit_freq[s]} * lit_code.lens[s];
  for (uint32_t d = 0; d < kDistanceCodes; ++d) bits += uint64_t{dist_freq[d]} * dist_code.lens[d];
  return bits;
}

void TDeflater::State::FlushBlock(bool last) {
  // The entry's text/binary flag, from the literals of its first block.
  if (entry->InternalAttributes == kAttributesUnknown) {
    uint64_t text = 0, binary = 0;
    for (uint32_t c = 0; c < kLiterals; ++c) (c >= 7 && c < 128 ? text : binary) += lit_freq[c];
    entry->InternalAttributes = binary > text / 4 ? kAttributesBinary : kAttributesText;
  }

  uint8_t rle[kLitLenCodes + kDistanceCodes];
  uint8_t rle_extra[kLitLenCodes + kDistanceCodes];
  uint32_t nlit, ndist, nbl, nrle;
  // Extra bits cost the same in either coded form.
  uint64_t extra_bits = 0;
  for (uint32_t c = 0; c < kLengthCodes; ++c) extra_bits += uint64_t{lit_freq[kLiterals + 1 + c]} * kLengthExtraBits[c];
  for (uint32_t d = 0; d < kDistanceCodes; ++d) extra_bits += uint64_t{dist_freq[d]} * kDistanceExtraBits[d];
  const uint64_t dynamic_bits = PlanDynamic(nlit, ndist, nbl, rle, rle_extra, nrle) + extra_bits;
  uint64_t fixed_bits = extra_bits;
  const FixedCodes& fixed = Fixed();
  for (uint32_t s = 0; s < kLitLenCodes; ++s) fixed_bits += uint64_t{lit_freq[s]} * fixed.lit.lens[s];
  for (uint32_t d = 0; d < kDistanceCodes; ++d) fixed_bits += uint64_t{dist_freq[d]} * fixed.dist.lens[d];

  // Whole bytes of each form with its 3-bit block header.
  const uint64_t dynamic_bytes = (dynamic_bits + 3 + 7) / 8;
  const uint64_t fixed_bytes = (fixed_bits + 3 + 7) / 8;
  const uint64_t best_bytes = std::min(dynamic_bytes, fixed_bytes);
  const uint64_t stored_bytes = static_cast<uint64_t>(static_cast<int64_t>(strstart) - block_start);
  // A block that began before the last window move has lost its first bytes.
  const bool in_window = block_start >= 0;
  const bool nothing_out_yet = out_total == 0 && out_pos == 0 && bit_count == 0;

  if (last && nothing_out_yet && in_window && stored_bytes <= best_bytes) {
    // The whole entry in one block that does not compress: write its bytes
    // as they are and make it a stored entry.
    WriteBytes(window + block_start, stored_bytes);
    entry->CompressionMethod = kMethodStored;
  } else if (in_window && stored_bytes + 4 <= best_bytes) {
    WriteStoredBlocks(window + block_start, stored_bytes, last);
  } else if (fixed_bytes == best_bytes) {
    PutBits((last ? 1 : 0) | kBlockFixed << 1, 3);
    WriteSymbols(fixed.lit, fixed.dist);
  } else {
    WriteDynamicHeader(last, nlit, ndist, nbl, rle, rle_extra, nrle);
    WriteSymbols(lit_code, dist_code);
  }
  ResetBlock();
  block_start = strstart;

  if (last) {
    AlignToByte();
    if (out_pos > 0) {
      out->Write(out_buf, out_pos);
      out_total += out_pos;
      out_pos = 0;
    }
  }
}

void TDeflater::State::WriteDynamicHeader(bool last, uint32_t nlit, uint32_t ndist, uint32_t nbl,
                                          const uint8_t* rle, const uint8_t* rle_extra, uint32_t nrle) {
  PutBits((last ? 1 : 0) | kBlockDynamic << 1, 3);
  PutBits(nlit - 257, 5);
  PutBits(ndist - 1, 5);
  PutBits(nbl - 4, 4);
  FlushBits();
  for (uint32_t i = 0; i < nbl; ++i) {
    PutBits(bl_code.lens[kCodeLengthOrder[i]], 3);
    FlushBits();
  }
  static constexpr uint8_t kRepeatExtraBits[3] = {2, 3, 7};
  for (uint32_t i = 0; i < nrle; ++i) {
    const uint8_t sym = rle[i];
    PutBits(bl_code.bits[sym], bl_code.lens[sym]);
    if (sym >= kRepeatPrevious) PutBits(rle_extra[i], kRepeatExtraBits[sym - kRepeatPrevious]);
    FlushBits();
  }
}

void TDeflater::State::WriteSymbols(const Code& lit, const Code& dist) {
  for (uint32_t i = 0; i < sym_count; ++i) {
    const uint32_t distance = dist_buf[i];
    const uint32_t value = lit_buf[i];
    if (distance == 0) {
      PutBits(lit.bits[value], lit.lens[value]);
    } else {
      const uint32_t lcode = kLengthCodeOf[value];
      const uint32_t lsym = kLiterals + 1 + lcode;
      PutBits(lit.bits[lsym], lit.lens[lsym]);
      PutBits(value + kMinMatch - kLengthBase[lcode], kLengthExtraBits[lcode]);
      const uint32_t dcode = DistCode(distance - 1);
      PutBits(dist.bits[dcode], dist.lens[dcode]);
      PutBits(distance - kDistanceBase[dcode], kDistanceExtraBits[dcode]);
    }
    FlushBits();  // at most 7 + 15 + 5 + 15 + 13 bits were pending: fits in 64
  }
  PutBits(lit.bits[kEndOfBlock], lit.lens[kEndOfBlock]);
  FlushBits();
}

void TDeflater::State::WriteStoredBlocks(const uint8_t* data, uint64_t nbytes, bool last) {
  // LEN is 16 bits; a block with both window halves (65536 bytes) needs two.
  constexpr uint64_t kMaxStoredBytes = 65535;
  do {
    const uint32_t chunk = static_cast<uint32_t>(std::min(nbytes, kMaxStoredBytes));
    const bool final_piece = last && chunk == nbytes;
    PutBits((final_piece ? 1 : 0) | kBlockStored << 1, 3);
    AlignToByte();
    PutBits(chunk | (~chunk & 0xFFFFu) << 16, 32);  // LEN, NLEN
    FlushBits();
    WriteBytes(data, chunk);
    data += chunk;
    nbytes -= chunk;
  } while (nbytes > 0);
}

void TDeflater::State::WriteBytes(const uint8_t* data, uint64_t nbytes) {
  while (nbytes > 0) {
    const uint32_t room = kOutBufBytes - out_pos;
    const uint32_t take = static_cast<uint32_t>(std::min<uint64_t>(room, nbytes));
    std::memcpy(out_buf + out_pos, data, take);
    out_pos += take;
    data += take;
    nbytes -= take;
    if (out_pos == kOutBufBytes) PushOut();
  }
}

}  // namespace corvid::zip
