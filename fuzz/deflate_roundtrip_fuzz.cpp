// Fuzzes the Deflate compressor by a round trip through the engine's own
// Inflate.
//
// Input: a level byte (level = byte % 9 + 1), a piece size byte for the input
// reads (0 = as much as asked), a spread byte, then the data. A spread of k > 0
// lays the data out again and again up to k KiB, each copy with one byte
// changed, so that small inputs still reach window moves, block ends and
// matches at the far end of the window. The output must come in 1024-byte
// pieces, add up to the returned size, and decode to the input; an entry that
// went out raw (method 0) must be the input itself.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "zip/decoder.h"
#include "zip/encoder.h"
#include "zip/inflate_internal.h"
#include "zip/zip_header.h"

namespace {

using Bytes = std::vector<uint8_t>;

class PieceInput : public corvid::zip::EncodeInput {
 public:
  PieceInput(const Bytes& data, size_t piece) : data_(data), piece_(piece) {}
  size_t Read(uint8_t* buf, size_t capacity) override {
    if (ended_) __builtin_trap();  // asked again after the end was reported
    size_t n = std::min(capacity, data_.size() - at_);
    if (piece_ != 0) n = std::min(n, piece_);
    if (n > 0) std::memcpy(buf, data_.data() + at_, n);
    at_ += n;
    ended_ = n == 0;
    return n;
  }

 private:
  const Bytes& data_;
  size_t piece_;
  size_t at_ = 0;
  bool ended_ = false;
};

class PieceOutput : public corvid::zip::EncodeOutput {
 public:
  void Write(const uint8_t* data, size_t n) override {
    if (short_piece_seen_ || n == 0 || n > 1024)
      __builtin_trap();  // only the last piece may be short
    short_piece_seen_ = n < 1024;
    bytes.insert(bytes.end(), data, data + n);
  }
  Bytes bytes;

 private:
  bool short_piece_seen_ = false;
};

class StreamInput : public corvid::zip::DecodeInput {
 public:
  explicit StreamInput(const Bytes& data) : data_(data) {}
  size_t Read(uint8_t* buf, size_t capacity) override {
    const size_t n =
        std::min({capacity, corvid::zip::DecodeWorkspace::kInputChunk, data_.size() - at_});
    if (n > 0) std::memcpy(buf, data_.data() + at_, n);
    at_ += n;
    return n;
  }

 private:
  const Bytes& data_;
  size_t at_ = 0;
};

class CheckingOutput : public corvid::zip::DecodeOutput {
 public:
  explicit CheckingOutput(const Bytes& expected) : expected_(expected) {}
  void Write(const uint8_t* data, size_t n) override {
    if (n > expected_.size() - at_ || std::memcmp(data, expected_.data() + at_, n) != 0)
      __builtin_trap();
    at_ += n;
  }
  size_t written() const { return at_; }

 private:
  const Bytes& expected_;
  size_t at_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const int level = data[0] % 9 + 1;
  const size_t piece = data[1];
  const size_t spread_bytes = size_t{data[2]} * 1024;
  Bytes input(data + 3, data + size);
  if (spread_bytes > 0 && !input.empty()) {
    const size_t copy_bytes = input.size();
    for (uint8_t copy = 1; input.size() < spread_bytes; ++copy) {
      input.insert(input.end(), input.begin(), input.begin() + copy_bytes);
      input[input.size() - 1 - (copy * 7919u) % copy_bytes] ^= copy;
    }
  }

  corvid::zip::TDeflater deflater;
  corvid::zip::TZipHeaderInfo entry;
  entry.InternalAttributes = 2;
  PieceInput in(input, piece);
  PieceOutput out;
  const uint32_t returned = deflater.Deflate(level, in, out, entry);
  if (returned != out.bytes.size()) __builtin_trap();
  if (entry.InternalAttributes > 1) __builtin_trap();

  if (entry.CompressionMethod == 0) {
    if (out.bytes != input) __builtin_trap();
    return 0;
  }
  if (entry.CompressionMethod != 8) __builtin_trap();
  static corvid::zip::DecodeWorkspace ws;
  StreamInput stream(out.bytes);
  CheckingOutput check(input);
  if (corvid::zip::InflateWithResult(stream, check, ws) != corvid::zip::InflateResult::Done)
    __builtin_trap();
  if (check.written() != input.size()) __builtin_trap();
  return 0;
}
