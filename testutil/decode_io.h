// Decoder input and output over memory, for the decoders' tests.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "zip/decoder.h"
#include "zip/errors.h"

namespace corvid::testutil {

// Hands out the bytes in chunks of `chunk`; throws EUserCanceled on read
// number `cancel_at` (1-based) when that is set.
class MemoryInput : public zip::DecodeInput {
 public:
  MemoryInput(const std::vector<uint8_t>& data, size_t chunk, int cancel_at = 0)
      : data_(data), chunk_(chunk), cancel_at_(cancel_at) {}
  size_t Read(uint8_t* buf, size_t capacity) override {
    if (++reads_ == cancel_at_) throw zip::EUserCanceled(zip::kMsgUserAborted);
    size_t n = std::min({capacity, chunk_, data_.size() - at_});
    std::copy_n(data_.begin() + static_cast<ptrdiff_t>(at_), n, buf);
    at_ += n;
    return n;
  }

 private:
  const std::vector<uint8_t>& data_;
  size_t chunk_;
  int cancel_at_;
  int reads_ = 0;
  size_t at_ = 0;
};

// No test entry comes near this; a decoder that gets here runs away.
constexpr size_t kRunawayBytes = size_t{64} << 20;

// Collects the output and, like the reader, refuses to pass `limit`.
class MemoryOutput : public zip::DecodeOutput {
 public:
  explicit MemoryOutput(uint64_t limit) : limit_(limit) {}
  void Write(const uint8_t* data, size_t n) override {
    if (bytes.size() + n > limit_) throw zip::EBiggerThanUncompressed(zip::kMsgBiggerThanUncompressed);
    if (bytes.size() + n > kRunawayBytes) throw std::length_error("decoder ran away");
    bytes.insert(bytes.end(), data, data + n);
  }
  std::vector<uint8_t> bytes;

 private:
  uint64_t limit_;
};

}  // namespace corvid::testutil
