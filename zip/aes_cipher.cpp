#include "zip/aes_cipher.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cstring>
#include <new>
#include <stdexcept>

namespace corvid::zip {

namespace {

constexpr int kRounds = 1000;
constexpr size_t kBlock = 16;
// Keystream is made this many bytes at a time: one cipher call per batch.
constexpr size_t kBatch = 4096;

[[noreturn]] void CryptoFailed(const char* what) { throw std::runtime_error(std::string("AES: ") + what + " failed"); }

}  // namespace

struct TAesCipher::State {
  EVP_CIPHER_CTX* cipher = EVP_CIPHER_CTX_new();
  EVP_MAC* mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
  EVP_MAC_CTX* hmac = nullptr;
  uint64_t counter = 0;        // the last counter value used
  uint8_t stream[kBatch];      // keystream not yet used: [used, kBatch)
  size_t used = kBatch;

  ~State() {
    EVP_MAC_CTX_free(hmac);
    EVP_MAC_free(mac);
    EVP_CIPHER_CTX_free(cipher);
  }
};

TAesCipher::TAesCipher() : state_(new State) {
  if (state_->cipher == nullptr || state_->mac == nullptr) throw std::bad_alloc();
}

TAesCipher::~TAesCipher() = default;

void TAesCipher::Init(std::string_view password, const uint8_t* salt, int strength,
                      uint8_t verifier[kVerifierBytes]) {
  if (!IsStrength(strength)) throw std::invalid_argument("AES strength");
  const size_t key_bytes = 8 + 8 * static_cast<size_t>(strength);
  uint8_t keys[2 * 32 + kVerifierBytes];
  if (PKCS5_PBKDF2_HMAC_SHA1(password.data(), static_cast<int>(password.size()), salt,
                             static_cast<int>(SaltBytes(strength)), kRounds,
                             static_cast<int>(2 * key_bytes + kVerifierBytes), keys) != 1) {
    CryptoFailed("key derivation");
  }
  const EVP_CIPHER* kind = strength == 1 ? EVP_aes_128_ecb() : strength == 2 ? EVP_aes_192_ecb() : EVP_aes_256_ecb();
  if (EVP_EncryptInit_ex(state_->cipher, kind, nullptr, keys, nullptr) != 1) CryptoFailed("key setup");
  EVP_CIPHER_CTX_set_padding(state_->cipher, 0);

  EVP_MAC_CTX_free(state_->hmac);
  state_->hmac = EVP_MAC_CTX_new(state_->mac);
  char digest[] = "SHA1";
  const OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                               OSSL_PARAM_construct_end()};
  if (state_->hmac == nullptr || EVP_MAC_init(state_->hmac, keys + key_bytes, key_bytes, params) != 1) {
    CryptoFailed("authentication setup");
  }
  std::memcpy(verifier, keys + 2 * key_bytes, kVerifierBytes);
  OPENSSL_cleanse(keys, sizeof keys);
  state_->counter = 0;
  state_->used = kBatch;
}

void TAesCipher::Crypt(uint8_t* data, size_t n) {
  State& s = *state_;
  while (n != 0) {
    if (s.used == kBatch) {
      // Counter blocks: the 64-bit counter little-endian, then zeros.
      uint8_t blocks[kBatch];
      std::memset(blocks, 0, sizeof blocks);
      for (size_t at = 0; at < kBatch; at += kBlock) {
        const uint64_t value = ++s.counter;
        for (int i = 0; i < 8; ++i) blocks[at + i] = static_cast<uint8_t>(value >> (8 * i));
      }
      int made = 0;
      if (EVP_EncryptUpdate(s.cipher, s.stream, &made, blocks, kBatch) != 1 || made != static_cast<int>(kBatch)) {
        CryptoFailed("encryption");
      }
      s.used = 0;
    }
    const size_t take = std::min(n, kBatch - s.used);
    for (size_t i = 0; i < take; ++i) data[i] ^= s.stream[s.used + i];
    s.used += take;
    data += take;
    n -= take;
  }
}

void TAesCipher::Encrypt(uint8_t* data, size_t n) {
  Crypt(data, n);
  if (EVP_MAC_update(state_->hmac, data, n) != 1) CryptoFailed("authentication");
}

void TAesCipher::Decrypt(uint8_t* data, size_t n) {
  if (EVP_MAC_update(state_->hmac, data, n) != 1) CryptoFailed("authentication");
  Crypt(data, n);
}

void TAesCipher::Code(uint8_t code[kCodeBytes]) {
  uint8_t full[EVP_MAX_MD_SIZE];
  size_t length = 0;
  if (EVP_MAC_final(state_->hmac, full, &length, sizeof full) != 1 || length < kCodeBytes) {
    CryptoFailed("authentication");
  }
  std::memcpy(code, full, kCodeBytes);
}

void TAesCipher::RandomSalt(uint8_t* salt, int strength) {
  if (RAND_bytes(salt, static_cast<int>(SaltBytes(strength))) != 1) CryptoFailed("random salt");
}

}  // namespace corvid::zip
