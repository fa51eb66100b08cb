// The initial subkeys of Blowfish: pi's hexadecimal digits. The values live in
// blowfish_tables.cpp, written by gen_blowfish_tables.py.
#pragma once

#include <cstdint>

namespace corvid::settings {

extern const uint32_t kBlowfishInitialP[18];
extern const uint32_t kBlowfishInitialS[4][256];

}  // namespace corvid::settings
