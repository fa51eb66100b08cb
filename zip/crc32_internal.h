// Test hooks of the CRC-32 engine: lets tests run every implementation on the
// same inputs, whatever the processor would pick by itself.
#pragma once

namespace corvid::zip {

enum class CrcVariant {
  Auto,      // the fastest one this processor supports
  ByteWise,  // one table lookup per byte: the reference
  Slicing8,  // eight bytes per step through eight tables
  Pclmul,    // carry-less multiply folding (x86 with PCLMULQDQ and SSE4.1)
};

// Whether `variant` can run on this processor (Pclmul may not).
bool CrcVariantAvailable(CrcVariant variant);

// Makes every later Crc32Update use `variant` (Auto restores the runtime
// choice). Test-only; an unavailable variant is ignored.
void TEST_ForceCrcVariant(CrcVariant variant);

}  // namespace corvid::zip
