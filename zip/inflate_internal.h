// Test hooks of the Inflate decoder: the outcome that Inflate itself keeps
// silent, and a switch that picks the decoding loop, so tests run every fast
// loop and the careful path over whole streams.
#pragma once

#include "zip/decoder.h"

namespace corvid::zip {

enum class InflateResult {
  Done,         // the final block was decoded and every byte written
  Damaged,      // the stream is malformed or its input ended early; decoding stopped there
  Interrupted,  // the output's size bound was reached while a block was decoded
};

// Inflate, telling how it ended. Raises what the input or output raise,
// except the size bound (before the final flush) and an early end of input.
InflateResult InflateWithResult(DecodeInput& in, DecodeOutput& out, DecodeWorkspace& ws);

enum class InflatePath {
  Auto,         // the fastest loop this processor supports
  Portable,     // the fast loop in plain x86-64 (or any other target)
  Bmi2,         // the fast loop compiled for BMI2 (x86-64 only)
  CarefulOnly,  // no fast loop: every symbol through the checked refill
};

// Whether `path` can run on this processor (Bmi2 may not).
bool InflatePathAvailable(InflatePath path);

// Makes every later Inflate take `path` (Auto restores the runtime choice).
// Test-only; an unavailable path is ignored.
void TEST_ForceInflatePath(InflatePath path);

}  // namespace corvid::zip
