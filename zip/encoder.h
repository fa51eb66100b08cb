// The contract between the archive writer and the Deflate compressor.
//
// The compressor pulls an entry's input through an EncodeInput (the writer
// reads the source, updates the CRC and reports progress) and pushes the
// compressed bytes through an EncodeOutput (the writer encrypts, writes to
// the archive or to a volume staging file, and honours cancel). Exceptions of
// either routine travel out of the compressor unchanged: the writer unwinds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace corvid::zip {

class TZipHeaderInfo;

class EncodeInput {
 public:
  virtual ~EncodeInput() = default;
  // Copies up to `capacity` further input bytes into `buf`; 0 at the end of
  // the input (or on a read error: the entry is completed with what was read).
  virtual size_t Read(uint8_t* buf, size_t capacity) = 0;
};

class EncodeOutput {
 public:
  virtual ~EncodeOutput() = default;
  // Takes `n` output bytes. May raise EUserCanceled or a write error.
  virtual void Write(const uint8_t* data, size_t n) = 0;
};

// The compressor with its working storage, allocated once per writer run and
// reused for every entry of it.
class TDeflater {
 public:
  TDeflater();
  ~TDeflater();
  TDeflater(const TDeflater&) = delete;
  TDeflater& operator=(const TDeflater&) = delete;

  // Compresses the whole input at `level` (1..9) and returns the number of
  // bytes written. Sets in `entry`: BitFlag bit 2 for levels 1-2, bit 1 for
  // 8-9; InternalAttributes 1 (text) or 0 (binary) when it was 2 (unknown);
  // CompressionMethod 0 when the whole entry went out raw (stored) because
  // that was no longer than any Deflate form. Raises EInvalidMatch when a
  // match fails its self-check.
  uint32_t Deflate(int level, EncodeInput& in, EncodeOutput& out, TZipHeaderInfo& entry);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace corvid::zip
