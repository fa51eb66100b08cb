// Blowfish, the 64-bit block cipher published in 1993: 16 rounds, a key of 1
// to 56 bytes, blocks read and written as two big-endian 32-bit halves (left
// half first). Used only to encode stored passwords (blowfish_tools.h).
//
// A state is set up by BlowfishInit and then used by one thread; it owns no
// resources and may live on the stack.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/exception.h"

namespace corvid::settings {

CORVID_DECLARE_EXCEPTION(EBlowfishError, Exception);

inline constexpr char kMsgBlowfishKeyLength[] = "Blowfish: Key must be between 1 and 56 bytes long";

struct TBlowfishState {
  uint8_t InitialBlock[8];   // the vector given at set-up, zeros when none
  uint8_t ChainingBlock[8];  // the last ciphertext block of the current CBC run
  uint32_t S[4][256];        // key-dependent substitution boxes
  uint32_t P[18];            // key-dependent subkeys
};

// Runs the key schedule for `key` (key_length bytes) and stores `iv` (8 bytes,
// or zeros when null) as both the initial and the chaining block. Raises
// EBlowfishError with kMsgBlowfishKeyLength when key_length is not 1 to 56.
void BlowfishInit(TBlowfishState& state, const uint8_t* key, size_t key_length, const uint8_t* iv);

// One block, no chaining. `in` and `out` (8 bytes each) may be the same buffer.
void BlowfishEncryptBlock(const TBlowfishState& state, const uint8_t* in, uint8_t* out);
void BlowfishDecryptBlock(const TBlowfishState& state, const uint8_t* in, uint8_t* out);

// One block in cipher-block-chaining mode, updating the chaining block. `in`
// and `out` may be the same buffer.
void BlowfishEncryptCBC(TBlowfishState& state, const uint8_t* in, uint8_t* out);
void BlowfishDecryptCBC(TBlowfishState& state, const uint8_t* in, uint8_t* out);

// Starts a new CBC run: the chaining block takes the initial block again.
void BlowfishReset(TBlowfishState& state);

}  // namespace corvid::settings
