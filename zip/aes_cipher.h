// The AES encryption of ZIP entries (method 99, extra field 0x9901): keys
// from the password by PBKDF2-HMAC-SHA1 (1000 rounds) over a random salt,
// a two-byte password verifier, AES in counter mode with a little-endian
// counter that starts at 1, and an HMAC-SHA1 of the encrypted bytes whose
// first ten bytes follow the data as its authentication code.
//
// An entry's data: salt (8, 12 or 16 bytes for 128, 192 or 256 bits), the
// verifier (2), the encrypted data, the authentication code (10).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

namespace corvid::zip {

class TAesCipher {
 public:
  static constexpr size_t kVerifierBytes = 2;
  static constexpr size_t kCodeBytes = 10;
  // The extra field's strength byte: 1, 2, 3 for 128, 192, 256 bits.
  static bool IsStrength(int strength) { return strength >= 1 && strength <= 3; }
  static size_t SaltBytes(int strength) { return 4 + 4 * static_cast<size_t>(strength); }

  TAesCipher();
  ~TAesCipher();
  TAesCipher(const TAesCipher&) = delete;
  TAesCipher& operator=(const TAesCipher&) = delete;

  // Derives the keys for one entry; `salt` holds SaltBytes(strength) bytes.
  // `verifier` receives the two bytes that the entry stores after the salt.
  void Init(std::string_view password, const uint8_t* salt, int strength, uint8_t verifier[kVerifierBytes]);

  // In place; the authentication code covers the encrypted bytes.
  void Encrypt(uint8_t* data, size_t n);
  void Decrypt(uint8_t* data, size_t n);

  // The code of everything encrypted or decrypted since Init.
  void Code(uint8_t code[kCodeBytes]);

  // Fills `salt` with SaltBytes(strength) random bytes.
  static void RandomSalt(uint8_t* salt, int strength);

 private:
  void Crypt(uint8_t* data, size_t n);

  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace corvid::zip
