// The text form of stored passwords: Blowfish-CBC under one fixed key and
// vector, written as uppercase hexadecimal. Both deliverables use these two
// routines, so settings written by either (or exported to install.ini) read
// back in the other. This hides passwords from a casual look at the registry;
// it is not protection against anyone who has this program.
#pragma once

#include <string>
#include <string_view>

namespace corvid::settings {

// The 8-byte key, also used as the initialisation vector. Changing it makes
// every stored password unreadable.
inline constexpr unsigned char kPasswordKey[8] = {0xA5, 0x3C, 0x96, 0x0F, 0xE1, 0x48, 0x7B, 0xD2};

// Pads `text` with zero bytes to the next multiple of 8 above its length (so
// at least one zero follows it), encrypts it and returns 2 hexadecimal digits
// per byte: 16 digits for texts of 0 to 7 bytes, 32 for 8 to 15, and so on.
std::string EncryptString(std::string_view text);

// The inverse of EncryptString: reads digit pairs (either letter case; an odd
// last digit is ignored), decrypts the whole 8-byte blocks and returns the
// bytes before the first zero. A pair that is not hexadecimal gives an empty
// text, never an error.
std::string DecryptString(std::string_view encoded);

}  // namespace corvid::settings
