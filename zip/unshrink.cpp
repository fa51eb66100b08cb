// Shrink (method 1): LZW with codes of 9 to 13 bits and partial clearing.
//
// Codes 0 to 255 stand for themselves, 256 announces a control code, 257 and
// up are strings added as decoding goes: each code after the first adds the
// previous code's string extended by the first byte of its own, at the lowest
// free code. The controls:
//
//   256 1    codes grow by one bit (the only way they grow)
//   256 2    partial clear: every code of 257 and up that is no other code's
//            prefix becomes free; freed codes are handed out lowest first
//
// A code may name the very entry its arrival creates (KwKwK): the previous
// string plus its own first byte. And the code sent just before a partial
// clear may itself be freed by it, so the entry made next can have a free code
// as prefix. Freeing therefore only marks a code; its prefix and byte stay
// until the code is handed out again, and a prefix chain that ever loops is
// damage, not a hang.
//
// The stream has no end marker: it ends with its input.
#include <cstdint>
#include <new>

#include "zip/decoder.h"
#include "zip/legacy_bits.h"

namespace corvid::zip {
namespace {

constexpr unsigned kMinCodeBits = 9;
constexpr unsigned kMaxCodeBits = 13;
constexpr unsigned kCodeCount = 1u << kMaxCodeBits;
constexpr unsigned kControlCode = 256;
constexpr unsigned kFirstFreeCode = 257;
constexpr unsigned kControlGrow = 1;
constexpr unsigned kControlPartialClear = 2;

// No chain of prefixes can be longer than the table without looping.
constexpr unsigned kMaxStringBytes = kCodeCount;

// Bits of a code's flags.
constexpr uint8_t kInUse = 1;     // stands for a string now
constexpr uint8_t kQueued = 2;    // free and waiting to be handed out
constexpr uint8_t kIsPrefix = 4;  // scratch of the partial clear

struct CodeTable {
  uint16_t prefix[kCodeCount];
  uint8_t byte[kCodeCount];
  uint8_t flags[kCodeCount];
  uint8_t string[kMaxStringBytes];  // a string being spelled, last byte first
};
static_assert(sizeof(CodeTable) <= legacy::kScratchBytes);

class Decoder {
 public:
  explicit Decoder(CodeTable& table) : t_(table) {
    for (unsigned code = 0; code < kCodeCount; ++code) {
      t_.prefix[code] = 0;
      t_.byte[code] = static_cast<uint8_t>(code);
      t_.flags[code] = code < kControlCode ? kInUse : code >= kFirstFreeCode ? kQueued : 0;
    }
  }

  // The code that the next new entry gets, or kCodeCount when none is free.
  unsigned NextFree() {
    while (next_free_ < kCodeCount && !(t_.flags[next_free_] & kQueued)) ++next_free_;
    return next_free_;
  }

  void AddEntry(unsigned prefix_code, uint8_t first_byte) {
    unsigned code = NextFree();
    if (code == kCodeCount) return;  // table full: nothing is added until a clear
    t_.prefix[code] = static_cast<uint16_t>(prefix_code);
    t_.byte[code] = first_byte;
    t_.flags[code] = kInUse;
  }

  bool InUse(unsigned code) const { return (t_.flags[code] & kInUse) != 0; }

  // Spells `code` into the string buffer, last byte first, and returns its
  // length; 0 when its prefix chain loops.
  unsigned Spell(unsigned code) {
    unsigned length = 0;
    while (code >= kFirstFreeCode) {
      if (length == kMaxStringBytes - 1) return 0;
      t_.string[length++] = t_.byte[code];
      code = t_.prefix[code];
    }
    t_.string[length++] = static_cast<uint8_t>(code);
    return length;
  }

  void PartialClear() {
    for (unsigned code = kFirstFreeCode; code < kCodeCount; ++code) {
      t_.flags[code] &= static_cast<uint8_t>(~kIsPrefix);
    }
    for (unsigned code = kFirstFreeCode; code < kCodeCount; ++code) {
      if (InUse(code) && t_.prefix[code] >= kFirstFreeCode) t_.flags[t_.prefix[code]] |= kIsPrefix;
    }
    // A free code that a new entry took as prefix counts as a prefix too and
    // stays out of the queue: the entry's string still runs through it.
    for (unsigned code = kFirstFreeCode; code < kCodeCount; ++code) {
      t_.flags[code] = t_.flags[code] & kIsPrefix ? t_.flags[code] & kInUse : kQueued;
    }
    next_free_ = kFirstFreeCode;
  }

 private:
  CodeTable& t_;
  unsigned next_free_ = kFirstFreeCode;
};

}  // namespace

void Unshrink(DecodeInput& in, DecodeOutput& out, DecodeWorkspace& ws, uint32_t uncompressed_size) {
  if (uncompressed_size == 0) return;
  legacy::BitReader bits(in, ws.input.get());
  legacy::Window window(out, ws.window.get(), uncompressed_size);
  auto* table = new (legacy::Scratch(ws)) CodeTable;
  Decoder decoder(*table);

  unsigned code_bits = kMinCodeBits;
  unsigned previous = kCodeCount;  // none yet
  unsigned previous_length = 0;
  // Each code is taken only when all of its bits are there: the zero bits
  // that pad the last byte never form one.
  while (!window.Full() && bits.Fill(code_bits)) {
    unsigned code = bits.Read(code_bits);
    if (code == kControlCode) {
      if (!bits.Fill(code_bits)) break;
      unsigned control = bits.Read(code_bits);
      if (control == kControlGrow && code_bits < kMaxCodeBits) {
        ++code_bits;
      } else if (control == kControlPartialClear) {
        decoder.PartialClear();
      } else {
        break;  // damaged: no such control, or codes wider than 13 bits
      }
      continue;
    }

    unsigned length;
    if (previous == kCodeCount) {
      if (code > 0xFF) break;  // damaged: the first code must be a byte
      length = 1;
      window.Put(static_cast<uint8_t>(code));
    } else {
      if (decoder.InUse(code)) {
        length = decoder.Spell(code);
        if (length == 0) break;
        for (unsigned i = length; i > 0 && !window.Full(); --i) window.Put(table->string[i - 1]);
        decoder.AddEntry(previous, table->string[length - 1]);
      } else if (code == decoder.NextFree() && previous_length < kMaxStringBytes) {
        // KwKwK: the previous string, still the last bytes in the window,
        // followed by its own first byte.
        uint32_t start = window.position() - previous_length;
        uint8_t first = window.At(start);
        for (uint32_t i = 0; i < previous_length && !window.Full(); ++i) {
          window.Put(window.At(start + i));
        }
        if (!window.Full()) window.Put(first);
        length = previous_length + 1;
        decoder.AddEntry(previous, first);
      } else {
        break;  // damaged: a free code that is not the next one
      }
    }
    previous = code;
    previous_length = length;
  }
  window.Flush();
}

}  // namespace corvid::zip
