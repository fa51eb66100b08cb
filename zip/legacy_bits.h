// Pieces shared by the three pre-Deflate decoders (unshrink, unreduce,
// explode): an LSB-first bit reader over a DecodeInput and a 32 KiB circular
// output window over a DecodeOutput. Header-only and internal to the decoding
// side; nothing outside zip/unshrink.cpp, zip/unreduce.cpp and zip/explode.cpp
// includes it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "zip/decoder.h"

namespace corvid::zip::legacy {

// Hands out bits LSB first. Once the entry's compressed bytes are used up it
// keeps answering with zero bits and counts how many it invented, so that the
// decoders can tell a stream that ended early from one that is still going.
// Bytes are fetched one at a time and only when a caller needs more bits, so
// nothing is pulled from the input before it is due.
class BitReader {
 public:
  BitReader(DecodeInput& in, uint8_t* chunk) : in_(in), chunk_(chunk) {}
  BitReader(const BitReader&) = delete;
  BitReader& operator=(const BitReader&) = delete;

  // Tries to hold at least `nbits` (<= 32) real bits; returns whether it does.
  bool Fill(unsigned nbits) {
    while (nbits_held_ < nbits) {
      if (next_ == end_) {
        if (input_done_) return false;
        size_t got = in_.Read(chunk_, DecodeWorkspace::kInputChunk);
        if (got == 0) {
          input_done_ = true;
          return false;
        }
        next_ = chunk_;
        end_ = chunk_ + got;
      }
      bits_ |= static_cast<uint64_t>(*next_++) << nbits_held_;
      nbits_held_ += 8;
    }
    return true;
  }

  // The next `nbits` (<= 32) bits without consuming them; past the end of
  // the input they are zeros.
  uint32_t Peek(unsigned nbits) {
    Fill(nbits);
    return static_cast<uint32_t>(bits_ & ((uint64_t{1} << nbits) - 1));
  }

  void Skip(unsigned nbits) {
    if (nbits > nbits_held_) {
      invented_bits_ += nbits - nbits_held_;
      nbits = nbits_held_;
    }
    bits_ >>= nbits;
    nbits_held_ -= nbits;
  }

  uint32_t Read(unsigned nbits) {
    uint32_t value = Peek(nbits);
    Skip(nbits);
    return value;
  }

  // Zero bits consumed beyond the end of the input. An intact stream ends in
  // the byte that holds its last bit, so any of these mean the data ran out.
  uint64_t invented_bits() const { return invented_bits_; }

 private:
  DecodeInput& in_;
  uint8_t* chunk_;
  const uint8_t* next_ = nullptr;
  const uint8_t* end_ = nullptr;
  uint64_t bits_ = 0;
  unsigned nbits_held_ = 0;
  bool input_done_ = false;
  uint64_t invented_bits_ = 0;
};

// How far past the end of its input a decoder that ends by size (unreduce,
// explode) may read zero bits before it gives up on the entry. A little
// leeway costs nothing and keeps streams whose encoder dropped trailing zero
// bytes decodable; without a bound a declared size of 4 GiB would make a few
// bytes of garbage produce output for minutes.
inline constexpr uint64_t kMaxInventedBits = 64;

// The decoded bytes of one entry: a circular 32 KiB history that is flushed to
// the output each time it wraps and at the end. Positions before the start of
// the entry read as zeros, which the Reduce and Implode encoders rely on.
class Window {
 public:
  static constexpr uint32_t kSize = 32768;
  static constexpr uint32_t kMask = kSize - 1;
  static_assert(kSize <= DecodeWorkspace::kHistory);

  Window(DecodeOutput& out, uint8_t* history, uint32_t uncompressed_size)
      : out_(out), history_(history), remaining_(uncompressed_size) {
    std::memset(history_, 0, kSize);
  }
  Window(const Window&) = delete;
  Window& operator=(const Window&) = delete;

  bool Full() const { return remaining_ == 0; }
  uint32_t remaining() const { return remaining_; }
  uint32_t position() const { return pos_; }
  uint8_t At(uint32_t index) const { return history_[index & kMask]; }

  // Callers check Full() first.
  void Put(uint8_t byte) {
    history_[pos_++] = byte;
    --remaining_;
    if (pos_ == kSize) Wrap();
  }

  // Copies `length` bytes from `distance` (1..kSize) back, byte by byte so
  // that a copy may overlap what it writes. Stops at the uncompressed size.
  void Copy(uint32_t distance, uint32_t length) {
    if (length > remaining_) length = remaining_;
    uint32_t from = (pos_ - distance) & kMask;
    while (length-- > 0) {
      Put(history_[from]);
      from = (from + 1) & kMask;
    }
  }

  // Passes on whatever has not been written yet.
  void Flush() {
    if (pos_ > flushed_) out_.Write(history_ + flushed_, pos_ - flushed_);
    flushed_ = pos_;
  }

 private:
  void Wrap() {
    Flush();
    pos_ = 0;
    flushed_ = 0;
  }

  DecodeOutput& out_;
  uint8_t* history_;
  uint32_t remaining_;
  uint32_t pos_ = 0;
  uint32_t flushed_ = 0;
};

// The workspace beyond the history: room for a decoder's tables.
inline uint8_t* Scratch(DecodeWorkspace& ws) { return ws.window.get() + Window::kSize; }
inline constexpr size_t kScratchBytes = DecodeWorkspace::kWindowBytes - Window::kSize;

}  // namespace corvid::zip::legacy
