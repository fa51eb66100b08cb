// Test hook of the Deflate compressor: a way to make its match self-check
// fire, which a correct match finder never lets happen.
#pragma once

#include <cstdint>

namespace corvid::zip {

// Makes every later Deflate emit each match `skew_bytes` away from where the
// search found it, as a broken match finder would; the self-check must then
// raise EInvalidMatch before anything of the match is written. 0 restores
// normal work. Test-only; read once at the start of each entry.
void TEST_SkewMatches(int32_t skew_bytes);

}  // namespace corvid::zip
