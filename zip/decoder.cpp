#include "zip/decoder.h"

namespace corvid::zip {

DecodeOutcome DecodeEntry(const EntryCoding& coding, DecodeInput& in, DecodeOutput& out,
                          DecodeWorkspace& workspace) {
  switch (coding.method) {
    case 0:
      CopyStored(in, out, workspace);
      return DecodeOutcome::Done;
    case 1:
      Unshrink(in, out, workspace, coding.uncompressed_size);
      return DecodeOutcome::Done;
    case 2:
    case 3:
    case 4:
    case 5:
      Unreduce(in, out, workspace, coding.method - 1, coding.uncompressed_size);
      return DecodeOutcome::Done;
    case 6:
      Explode(in, out, workspace, coding.bit_flag, coding.uncompressed_size);
      return DecodeOutcome::Done;
    case 8:
      return Inflate(in, out, workspace) ? DecodeOutcome::Done : DecodeOutcome::Damaged;
    case 12:
      return Bunzip2(in, out, workspace) ? DecodeOutcome::Done : DecodeOutcome::Damaged;
    case 14:
      // Bit 1: an end marker closes the stream.
      return UnLzma(in, out, workspace, coding.uncompressed_size, (coding.bit_flag & 2) != 0)
                 ? DecodeOutcome::Done
                 : DecodeOutcome::Damaged;
    case 93:
      return Unzstd(in, out, workspace) ? DecodeOutcome::Done : DecodeOutcome::Damaged;
    case 95:
      return UnXz(in, out, workspace) ? DecodeOutcome::Done : DecodeOutcome::Damaged;
    default:
      return DecodeOutcome::UnknownMethod;
  }
}

bool IsKnownMethod(uint16_t method) {
  return method <= 6 || method == 8 || method == 12 || method == 14 || method == 93 || method == 95;
}

void CopyStored(DecodeInput& in, DecodeOutput& out, DecodeWorkspace& ws) {
  for (;;) {
    size_t n = in.Read(ws.input.get(), DecodeWorkspace::kInputChunk);
    if (n == 0) return;
    out.Write(ws.input.get(), n);
  }
}

}  // namespace corvid::zip
