// The contract between the archive reader and the decoders of the entry data.
//
// A decoder pulls the compressed bytes of one entry through a DecodeInput
// (the reader reads the archive in chunks of at most 16000 bytes, crosses
// volumes, decrypts and honours cancel) and pushes the decoded bytes through a
// DecodeOutput (the reader writes the target, enforces the uncompressed size as
// a hard bound, updates the CRC and reports progress).
//
// Error outcomes:
//   - Cancel (EUserCanceled), a failing target (EFileError) and anything else
//     the input or output raise travel on to the reader, whatever the method.
//   - EBiggerThanUncompressed (the declared size is reached) travels on from
//     stored, unshrink, unreduce and explode, and the reader ends the entry
//     there; Inflate ends the entry itself, except in its final flush.
//   - Inflate reports a malformed stream, and one whose input ends early, as
//     damage; for stored data an early end raises EFatalUnzipError. The
//     legacy decoders cannot tell damage apart: their CRC check decides.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace corvid::zip {

class DecodeInput {
 public:
  virtual ~DecodeInput() = default;
  // Copies up to `capacity` further compressed bytes of the entry into `buf`
  // and returns how many; 0 means the entry's compressed bytes are used up.
  // Raises EFatalUnzipError when the archive ends before the entry does, and
  // EUserCanceled when the host cancelled.
  virtual size_t Read(uint8_t* buf, size_t capacity) = 0;
};

class DecodeOutput {
 public:
  virtual ~DecodeOutput() = default;
  // Takes `n` decoded bytes. Raises EBiggerThanUncompressed when they would
  // pass the entry's declared uncompressed size (nothing of them is written
  // then), or whatever the target raises.
  virtual void Write(const uint8_t* data, size_t n) = 0;
};

// Buffers of one extraction run: allocated once at its start and reused for
// every entry, so memory stays fixed whatever the entry sizes.
struct DecodeWorkspace {
  // Input chunk: the reader never hands out more than this per Read.
  static constexpr size_t kInputChunk = 16000;
  static constexpr size_t kInputSlack = 64;  // room for word-wise bit refills
  // Window: 32 KiB of history plus room to decode ahead before flushing.
  static constexpr size_t kHistory = 32768;
  static constexpr size_t kWindowBytes = kHistory + 65536 + 1024;

  DecodeWorkspace()
      : input(new uint8_t[kInputChunk + kInputSlack]()), window(new uint8_t[kWindowBytes]()) {}

  std::unique_ptr<uint8_t[]> input;
  std::unique_ptr<uint8_t[]> window;
};

// What a decoder needs to know of the entry besides its bytes.
struct EntryCoding {
  uint16_t method = 0;            // CompressionMethod
  uint16_t bit_flag = 0;          // general purpose bits (explode reads bits 1 and 2)
  uint32_t compressed_size = 0;   // without an encryption header
  uint32_t uncompressed_size = 0;
};

enum class DecodeOutcome {
  Done,           // decoded; the CRC check decides
  Damaged,        // the data is malformed, whatever the CRC says
  UnknownMethod,  // nothing read or written: a method this engine does not understand
};

// Whether DecodeEntry has a decoder for `method`.
bool IsKnownMethod(uint16_t method);

// Decodes one entry with the decoder its method names.
DecodeOutcome DecodeEntry(const EntryCoding& coding, DecodeInput& in, DecodeOutput& out,
                          DecodeWorkspace& workspace);

// The decoders, one file each; DecodeEntry is the only caller outside tests.
void CopyStored(DecodeInput& in, DecodeOutput& out, DecodeWorkspace& ws);
// False when the stream is damaged (see above).
bool Inflate(DecodeInput& in, DecodeOutput& out, DecodeWorkspace& ws);
void Unshrink(DecodeInput& in, DecodeOutput& out, DecodeWorkspace& ws, uint32_t uncompressed_size);
void Unreduce(DecodeInput& in, DecodeOutput& out, DecodeWorkspace& ws, int factor,
              uint32_t uncompressed_size);
void Explode(DecodeInput& in, DecodeOutput& out, DecodeWorkspace& ws, uint16_t bit_flag,
             uint32_t uncompressed_size);
// The methods of later tools, over their libraries; false when the stream is
// damaged or ends early, or asks for more memory than the engine grants.
bool Bunzip2(DecodeInput& in, DecodeOutput& out, DecodeWorkspace& ws);
bool UnLzma(DecodeInput& in, DecodeOutput& out, DecodeWorkspace& ws, uint64_t uncompressed_size,
            bool has_end_marker);
bool UnXz(DecodeInput& in, DecodeOutput& out, DecodeWorkspace& ws);
bool Unzstd(DecodeInput& in, DecodeOutput& out, DecodeWorkspace& ws);

}  // namespace corvid::zip
