// The traditional ZIP stream cipher: three 32-bit keys driven by the CRC-32
// step and a linear congruence. One state per archive object; one entry is
// processed at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "zip/crc32.h"

namespace corvid::zip {

class TZipCipher {
 public:
  // Sets the initial keys and feeds every byte of the password.
  void Init(std::string_view password) {
    key0_ = 0x12345678u;
    key1_ = 0x23456789u;
    key2_ = 0x34567890u;
    for (char c : password) Update(static_cast<uint8_t>(c));
  }

  uint8_t StreamByte() const {
    uint32_t t = (key2_ & 0xFFFF) | 2;
    return static_cast<uint8_t>((t * (t ^ 1)) >> 8);
  }

  void Update(uint8_t plain) {
    key0_ = Crc32Byte(key0_, plain);
    key1_ = (key1_ + (key0_ & 0xFF)) * 134775813u + 1;
    key2_ = Crc32Byte(key2_, static_cast<uint8_t>(key1_ >> 24));
  }

  uint8_t Encrypt(uint8_t plain) {
    uint8_t c = plain ^ StreamByte();
    Update(plain);
    return c;
  }
  uint8_t Decrypt(uint8_t cipher) {
    uint8_t p = cipher ^ StreamByte();
    Update(p);
    return p;
  }
  void DecryptBuffer(uint8_t* data, size_t n) {
    for (size_t i = 0; i < n; ++i) data[i] = Decrypt(data[i]);
  }
  void EncryptBuffer(uint8_t* data, size_t n) {
    for (size_t i = 0; i < n; ++i) data[i] = Encrypt(data[i]);
  }

 private:
  uint32_t key0_ = 0;
  uint32_t key1_ = 0;
  uint32_t key2_ = 0;
};

// The byte the 12th header byte must decrypt to: the high byte of the DOS
// time when the entry has a data descriptor (its CRC was not known when the
// header was written), else the high byte of the CRC.
inline uint8_t PasswordCheckByte(uint16_t bit_flag, uint32_t crc32, uint32_t dos_time_date) {
  return (bit_flag & 8) ? static_cast<uint8_t>(dos_time_date >> 8)
                        : static_cast<uint8_t>(crc32 >> 24);
}

}  // namespace corvid::zip
