#include "zip/decoder.h"

namespace corvid::zip {

bool DecodeEntry(const EntryCoding& coding, DecodeInput& in, DecodeOutput& out,
                 DecodeWorkspace& workspace) {
  switch (coding.method) {
    case 0:
      CopyStored(in, out, workspace);
      return true;
    case 1:
      Unshrink(in, out, workspace, coding.uncompressed_size);
      return true;
    case 2:
    case 3:
    case 4:
    case 5:
      Unreduce(in, out, workspace, coding.method - 1, coding.uncompressed_size);
      return true;
    case 6:
      Explode(in, out, workspace, coding.bit_flag, coding.compressed_size,
              coding.uncompressed_size);
      return true;
    case 8:
      Inflate(in, out, workspace);
      return true;
    default:
      return false;
  }
}

void CopyStored(DecodeInput& in, DecodeOutput& out, DecodeWorkspace& ws) {
  for (;;) {
    size_t n = in.Read(ws.input.get(), DecodeWorkspace::kInputChunk);
    if (n == 0) return;
    out.Write(ws.input.get(), n);
  }
}

}  // namespace corvid::zip
