// Fuzzes the pre-Deflate decoders: Unshrink (method 1), Unreduce (methods 2
// to 5) and Explode (method 6). One harness, built once per decoder with
// CORVID_LEGACY_DECODER naming it, so each keeps its own corpus and target.
//
// Input: a mode byte (Unreduce: its low two bits pick the factor; Explode:
// bits 1 and 2 are the dictionary and literal tree flags; Unshrink ignores
// it, so all three corpora read alike), a chunk size byte (0 = whole chunks),
// 3 bytes little endian whose low 17 bits are the declared uncompressed size,
// then the compressed data. The decoder must end, and must never write past
// the declared size.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "zip/decoder.h"

#define CORVID_UNSHRINK 1
#define CORVID_UNREDUCE 2
#define CORVID_EXPLODE 3
#if !defined(CORVID_LEGACY_DECODER) || \
    (CORVID_LEGACY_DECODER != CORVID_UNSHRINK && CORVID_LEGACY_DECODER != CORVID_UNREDUCE && \
     CORVID_LEGACY_DECODER != CORVID_EXPLODE)
#error "CORVID_LEGACY_DECODER must name the decoder this target fuzzes"
#endif

namespace {

class FuzzInput : public corvid::zip::DecodeInput {
 public:
  FuzzInput(const uint8_t* data, size_t size, size_t chunk)
      : data_(data), left_(size), chunk_(chunk) {}
  size_t Read(uint8_t* buf, size_t capacity) override {
    size_t n = left_ < capacity ? left_ : capacity;
    if (n > chunk_) n = chunk_;
    std::memcpy(buf, data_, n);
    data_ += n;
    left_ -= n;
    return n;
  }

 private:
  const uint8_t* data_;
  size_t left_;
  size_t chunk_;
};

class FuzzOutput : public corvid::zip::DecodeOutput {
 public:
  explicit FuzzOutput(uint32_t limit) : limit_(limit) {}
  void Write(const uint8_t* data, size_t n) override {
    if (n > limit_ - written_) std::abort();  // the decoder ran past the declared size
    written_ += n;
  }

 private:
  uint32_t limit_;
  uint32_t written_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size_in) {
  if (size_in < 5) return 0;
  static corvid::zip::DecodeWorkspace ws;
  [[maybe_unused]] const uint8_t mode = data[0];
  const size_t chunk = data[1] != 0 ? data[1] : corvid::zip::DecodeWorkspace::kInputChunk;
  const uint32_t uncompressed_size = (data[2] | data[3] << 8 | data[4] << 16) & 0x1FFFF;
  FuzzInput in(data + 5, size_in - 5, chunk);
  FuzzOutput out(uncompressed_size);
#if CORVID_LEGACY_DECODER == CORVID_UNSHRINK
  corvid::zip::Unshrink(in, out, ws, uncompressed_size);
#elif CORVID_LEGACY_DECODER == CORVID_UNREDUCE
  corvid::zip::Unreduce(in, out, ws, (mode & 3) + 1, uncompressed_size);
#else
  corvid::zip::Explode(in, out, ws, mode & 6, uncompressed_size);
#endif
  return 0;
}
