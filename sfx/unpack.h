// Decoding of one entry for the self-extractor: stored and deflated data,
// optionally through the traditional cipher, checked against the declared
// size and CRC.
//
// The stub carries its own Inflate instead of the engine's: every byte of the
// stub is added to every self-extracting attachment, so this one decodes
// canonical Huffman codes one bit at a time from two small arrays per code
// (no lookup tables to build, no fast paths). A few megabytes a second is
// plenty for an attachment. No allocation, no exceptions, no libstdc++: the
// stub links against libc only.
#pragma once

#include <cstddef>
#include <cstdint>

#include "zip/zip_cipher.h"

namespace corvid::sfx {

enum class UnpackResult {
  Ok,
  Damaged,       // the compressed data breaks the Deflate rules or ends early
  TooLong,       // more data than the declared uncompressed size
  SizeMismatch,  // less data than the declared uncompressed size
  BadCrc,
  WriteFailed,   // the sink refused a block
};

// Receives the decoded bytes in blocks of at most 32 KiB, in order. Returns
// false to stop (the result is then WriteFailed).
using UnpackSink = bool (*)(void* context, const uint8_t* data, size_t size);

// One instance decodes one entry at a time; it holds the 32 KiB history, so
// the stub keeps a single static one instead of putting it on the stack.
class Unpacker {
 public:
  // Decodes `in_size` bytes at `in` with `method` (0 stored, 8 deflated; the
  // caller rejects others). When `cipher` is set, each input byte is
  // decrypted through it first (the caller has consumed the 12-byte header).
  // Never produces more than `declared_size` bytes, whatever the data says.
  UnpackResult Unpack(int method, const uint8_t* in, size_t in_size, zip::TZipCipher* cipher,
                      uint64_t declared_size, uint32_t expected_crc, UnpackSink sink, void* context);

 private:
  struct Huffman {
    uint16_t count[16];   // number of codes of each length
    uint16_t symbol[288]; // symbols ordered by code
  };

  int Byte();
  uint32_t Bits(int n);
  bool Put(uint8_t b);
  bool Flush();
  static bool Build(Huffman& h, const uint8_t* lengths, int n);
  int Decode(const Huffman& h);
  bool Stored();
  bool Codes(const Huffman& lit, const Huffman& dist);
  bool Dynamic();
  bool Fixed();

  const uint8_t* in_next_ = nullptr;
  const uint8_t* in_end_ = nullptr;
  zip::TZipCipher* cipher_ = nullptr;
  uint32_t bit_buffer_ = 0;
  int bit_count_ = 0;
  bool in_overrun_ = false;

  UnpackSink sink_ = nullptr;
  void* context_ = nullptr;
  uint64_t total_ = 0;
  uint64_t limit_ = 0;
  uint32_t crc_ = 0;
  uint32_t window_pos_ = 0;
  UnpackResult failure_ = UnpackResult::Ok;
  uint8_t window_[32768];
  Huffman lit_, dist_;
};

}  // namespace corvid::sfx
