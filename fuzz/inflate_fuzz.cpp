// Inflate on arbitrary bytes. Without a compressor at hand this is a
// robustness target, made sharper by decoding every input three ways that
// must agree: whole 16000-byte chunks through the fast loop, small chunks
// (their size taken from the first byte) through the fast loop, and the
// careful path alone. Output is capped at 1 MiB by raising from Write, as the
// reader's size bound does.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "zip/decoder.h"
#include "zip/errors.h"
#include "zip/inflate_internal.h"

namespace {

using corvid::zip::DecodeWorkspace;
using corvid::zip::InflatePath;
using corvid::zip::InflateResult;

constexpr size_t kOutputCap = 1 << 20;

class ChunkInput : public corvid::zip::DecodeInput {
 public:
  ChunkInput(const uint8_t* data, size_t size, size_t chunk)
      : data_(data), size_(size), chunk_(chunk) {}
  size_t Read(uint8_t* buf, size_t capacity) override {
    if (capacity > DecodeWorkspace::kInputChunk || ended_) std::abort();  // contract broken
    size_t n = std::min({capacity, chunk_, size_ - at_});
    if (n == 0) ended_ = true;
    if (n) std::memcpy(buf, data_ + at_, n);
    at_ += n;
    return n;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t chunk_;
  size_t at_ = 0;
  bool ended_ = false;
};

class CappedOutput : public corvid::zip::DecodeOutput {
 public:
  void Write(const uint8_t* data, size_t n) override {
    if (raised) std::abort();  // written to after its raise
    if (n > kOutputCap - bytes.size()) {
      raised = true;
      throw corvid::zip::EBiggerThanUncompressed(corvid::zip::kMsgBiggerThanUncompressed);
    }
    bytes.insert(bytes.end(), data, data + n);
  }
  std::vector<uint8_t> bytes;
  bool raised = false;
};

struct Outcome {
  InflateResult result;
  bool capped;  // the output raised: mid-stream or at the final flush
  std::vector<uint8_t> bytes;
};

Outcome Run(const uint8_t* data, size_t size, size_t chunk, InflatePath path) {
  static DecodeWorkspace ws;  // reused like the reader's: entries must not see each other
  corvid::zip::TEST_ForceInflatePath(path);
  ChunkInput in(data, size, chunk);
  CappedOutput out;
  Outcome o{InflateResult::Damaged, false, {}};
  try {
    o.result = corvid::zip::InflateWithResult(in, out, ws);
  } catch (const corvid::zip::EBiggerThanUncompressed&) {
    if (!out.raised) std::abort();  // only the output's own raise may leave
  }
  corvid::zip::TEST_ForceInflatePath(InflatePath::Auto);
  o.capped = out.raised;
  o.bytes = std::move(out.bytes);
  return o;
}

bool IsPrefix(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  return a.size() <= b.size() && std::equal(a.begin(), a.end(), b.begin());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) {
    Run(data, size, DecodeWorkspace::kInputChunk, InflatePath::Auto);
    return 0;
  }
  const size_t small_chunk = 1 + data[0] % 64;
  Outcome whole = Run(data + 1, size - 1, DecodeWorkspace::kInputChunk, InflatePath::Auto);
  Outcome small = Run(data + 1, size - 1, small_chunk, InflatePath::Auto);
  Outcome careful =
      Run(data + 1, size - 1, DecodeWorkspace::kInputChunk, InflatePath::CarefulOnly);

  // The three agree on the outcome and, for a complete stream, on every byte.
  // A stop (damage or the cap) may come after a different amount has been
  // written out, since the loops flush at slightly different points, but
  // never after different bytes. Near the cap, one loop's raise may come from
  // a mid-stream flush and another's from the final flush.
  for (const Outcome* other : {&small, &careful}) {
    if (!IsPrefix(other->bytes, whole.bytes) && !IsPrefix(whole.bytes, other->bytes)) std::abort();
    if (whole.capped || other->capped) continue;
    if (other->result != whole.result) std::abort();
    if (whole.result == InflateResult::Done && other->bytes != whole.bytes) std::abort();
  }
  return 0;
}
