#include "sfx/unpack.h"

#include <cstring>

#include "zip/crc32.h"
#include "zip/deflate_format.h"

namespace corvid::sfx {

namespace {

using namespace zip::deflate_format;

constexpr uint32_t kWindowMask = 32767;

}  // namespace

int Unpacker::Byte() {
  if (in_next_ == in_end_) {
    in_overrun_ = true;
    return 0;
  }
  uint8_t b = *in_next_++;
  return cipher_ ? cipher_->Decrypt(b) : b;
}

// Never loads a byte beyond the bits asked for, so at most 7 bits are left
// over and a stored block's alignment only has to drop them.
uint32_t Unpacker::Bits(int n) {
  while (bit_count_ < n) {
    bit_buffer_ |= static_cast<uint32_t>(Byte()) << bit_count_;
    bit_count_ += 8;
  }
  uint32_t v = bit_buffer_ & ((1u << n) - 1);
  bit_buffer_ >>= n;
  bit_count_ -= n;
  return v;
}

bool Unpacker::Flush() {
  for (uint32_t i = 0; i < window_pos_; ++i) crc_ = zip::Crc32Byte(crc_, window_[i]);
  if (window_pos_ != 0 && !sink_(context_, window_, window_pos_)) {
    failure_ = UnpackResult::WriteFailed;
    return false;
  }
  window_pos_ = 0;
  return true;
}

// The window is a ring: it is written out whenever it fills and keeps the
// last 32 KiB for back references.
bool Unpacker::Put(uint8_t b) {
  if (total_ >= limit_) {
    failure_ = UnpackResult::TooLong;
    return false;
  }
  window_[window_pos_++] = b;
  ++total_;
  return window_pos_ < sizeof window_ || Flush();
}

// Canonical code from code lengths: count[len] codes of each length, and the
// symbols sorted by length then value. Incomplete codes are accepted (an
// unused code is caught by Decode); over-subscribed ones are not.
bool Unpacker::Build(Huffman& h, const uint8_t* lengths, int n) {
  std::memset(h.count, 0, sizeof h.count);
  for (int i = 0; i < n; ++i) ++h.count[lengths[i]];
  int left = 1;
  for (int len = 1; len < 16; ++len) {
    left = (left << 1) - h.count[len];
    if (left < 0) return false;
  }
  uint16_t offsets[16];
  offsets[1] = 0;
  for (int len = 1; len < 15; ++len) offsets[len + 1] = offsets[len] + h.count[len];
  for (int i = 0; i < n; ++i)
    if (lengths[i] != 0) h.symbol[offsets[lengths[i]]++] = static_cast<uint16_t>(i);
  return true;
}

// Walks the code one bit at a time: the codes of each length are consecutive
// numbers starting at `first`, so a code of this length is recognised when it
// falls below first + count. -1 for a code the table does not hold.
int Unpacker::Decode(const Huffman& h) {
  int code = 0, first = 0, index = 0;
  for (int len = 1; len < 16; ++len) {
    code |= static_cast<int>(Bits(1));
    int count = h.count[len];
    if (code - first < count) return h.symbol[index + code - first];
    index += count;
    first = (first + count) << 1;
    code <<= 1;
  }
  return -1;
}

bool Unpacker::Stored() {
  bit_buffer_ = 0;
  bit_count_ = 0;
  uint32_t len = static_cast<uint32_t>(Byte());
  len |= static_cast<uint32_t>(Byte()) << 8;
  uint32_t nlen = static_cast<uint32_t>(Byte());
  nlen |= static_cast<uint32_t>(Byte()) << 8;
  if (in_overrun_ || len != (~nlen & 0xFFFF)) return false;
  while (len-- != 0) {
    uint8_t b = static_cast<uint8_t>(Byte());
    if (in_overrun_ || !Put(b)) return false;
  }
  return true;
}

bool Unpacker::Codes(const Huffman& lit, const Huffman& dist) {
  for (;;) {
    int sym = Decode(lit);
    if (sym < 0 || in_overrun_) return false;
    if (sym < 256) {
      if (!Put(static_cast<uint8_t>(sym))) return false;
      continue;
    }
    if (sym == 256) return true;
    sym -= 257;
    if (sym >= static_cast<int>(kLengthCodes)) return false;
    uint32_t len = kLengthBase[sym] + Bits(kLengthExtraBits[sym]);
    int d = Decode(dist);
    if (d < 0 || d >= static_cast<int>(kDistanceCodes)) return false;
    uint32_t distance = kDistanceBase[d] + Bits(kDistanceExtraBits[d]);
    if (in_overrun_ || distance > total_) return false;
    while (len-- != 0)
      if (!Put(window_[(window_pos_ - distance) & kWindowMask])) return false;
  }
}

bool Unpacker::Fixed() {
  uint8_t lengths[288];
  int i = 0;
  for (; i < 144; ++i) lengths[i] = 8;
  for (; i < 256; ++i) lengths[i] = 9;
  for (; i < 280; ++i) lengths[i] = 7;
  for (; i < 288; ++i) lengths[i] = 8;
  Build(lit_, lengths, 288);
  std::memset(lengths, 5, 30);
  Build(dist_, lengths, 30);
  return Codes(lit_, dist_);
}

bool Unpacker::Dynamic() {
  uint8_t lengths[286 + 30];
  int nlen = static_cast<int>(Bits(5)) + 257;
  int ndist = static_cast<int>(Bits(5)) + 1;
  int ncode = static_cast<int>(Bits(4)) + 4;
  if (nlen > 286 || ndist > 30) return false;
  for (int i = 0; i < static_cast<int>(kCodeLengthCodes); ++i)
    lengths[kCodeLengthOrder[i]] = i < ncode ? static_cast<uint8_t>(Bits(3)) : 0;
  if (!Build(lit_, lengths, kCodeLengthCodes)) return false;

  const int n = nlen + ndist;
  for (int i = 0; i < n;) {
    int sym = Decode(lit_);
    if (sym < 0 || in_overrun_) return false;
    if (sym < 16) {
      lengths[i++] = static_cast<uint8_t>(sym);
      continue;
    }
    uint8_t value = 0;
    int repeat;
    if (sym == 16) {
      if (i == 0) return false;
      value = lengths[i - 1];
      repeat = 3 + static_cast<int>(Bits(2));
    } else if (sym == 17) {
      repeat = 3 + static_cast<int>(Bits(3));
    } else {
      repeat = 11 + static_cast<int>(Bits(7));
    }
    if (i + repeat > n) return false;
    while (repeat-- != 0) lengths[i++] = value;
  }
  if (lengths[256] == 0) return false;  // a block must be able to end
  return Build(lit_, lengths, nlen) && Build(dist_, lengths + nlen, ndist) && Codes(lit_, dist_);
}

UnpackResult Unpacker::Unpack(int method, const uint8_t* in, size_t in_size, zip::TZipCipher* cipher,
                              uint64_t declared_size, uint32_t expected_crc, UnpackSink sink,
                              void* context) {
  in_next_ = in;
  in_end_ = in + in_size;
  cipher_ = cipher;
  bit_buffer_ = 0;
  bit_count_ = 0;
  in_overrun_ = false;
  sink_ = sink;
  context_ = context;
  total_ = 0;
  limit_ = declared_size;
  crc_ = zip::kCrcInit;
  window_pos_ = 0;
  failure_ = UnpackResult::Ok;

  bool ok = true;
  if (method == 0) {
    while (ok && in_next_ != in_end_) ok = Put(static_cast<uint8_t>(Byte()));
  } else {
    bool last;
    do {
      last = Bits(1) != 0;
      switch (Bits(2)) {
        case 0: ok = Stored(); break;
        case 1: ok = Fixed(); break;
        case 2: ok = Dynamic(); break;
        default: ok = false; break;
      }
    } while (ok && !last && !in_overrun_);
    if (in_overrun_) ok = false;
  }
  if (ok) ok = Flush();
  if (!ok) return failure_ != UnpackResult::Ok ? failure_ : UnpackResult::Damaged;
  if (total_ != limit_) return UnpackResult::SizeMismatch;
  if (~crc_ != expected_crc) return UnpackResult::BadCrc;
  return UnpackResult::Ok;
}

}  // namespace corvid::sfx
