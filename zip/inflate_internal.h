// Test hooks of the Inflate decoder: the outcome that Inflate itself keeps
// silent, and a switch that keeps the fast loop out of the way so the careful
// path decodes whole streams.
#pragma once

#include "zip/decoder.h"

namespace corvid::zip {

enum class InflateResult {
  kDone,         // the final block was decoded and every byte written
  kDamaged,      // the stream is malformed or ended early; decoding stopped there
  kInterrupted,  // Read or Write raised while a block was decoded; swallowed
};

// Inflate, telling how it ended. Raises only what the final flush raises.
InflateResult InflateWithResult(DecodeInput& in, DecodeOutput& out, DecodeWorkspace& ws);

// Makes every later Inflate decode through the careful path only. Test-only.
void TEST_ForceInflateSlowPath(bool force);

}  // namespace corvid::zip
