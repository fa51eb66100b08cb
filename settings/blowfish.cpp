#include "settings/blowfish.h"

#include <cstring>

#include "settings/blowfish_tables.h"

namespace corvid::settings {
namespace {

constexpr int kRounds = 16;

uint32_t LoadBigEndian(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]};
}

void StoreBigEndian(uint32_t v, uint8_t* p) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

uint32_t F(const TBlowfishState& s, uint32_t x) {
  return ((s.S[0][x >> 24] + s.S[1][(x >> 16) & 0xFF]) ^ s.S[2][(x >> 8) & 0xFF]) + s.S[3][x & 0xFF];
}

void EncryptHalves(const TBlowfishState& s, uint32_t& left, uint32_t& right) {
  uint32_t l = left, r = right;
  for (int i = 0; i < kRounds; i += 2) {
    l ^= s.P[i];
    r ^= F(s, l);
    r ^= s.P[i + 1];
    l ^= F(s, r);
  }
  left = r ^ s.P[kRounds + 1];
  right = l ^ s.P[kRounds];
}

void DecryptHalves(const TBlowfishState& s, uint32_t& left, uint32_t& right) {
  uint32_t l = left, r = right;
  for (int i = kRounds + 1; i > 1; i -= 2) {
    l ^= s.P[i];
    r ^= F(s, l);
    r ^= s.P[i - 1];
    l ^= F(s, r);
  }
  left = r ^ s.P[0];
  right = l ^ s.P[1];
}

}  // namespace

void BlowfishInit(TBlowfishState& state, const uint8_t* key, size_t key_length, const uint8_t* iv) {
  if (key_length < 1 || key_length > 56) throw EBlowfishError(kMsgBlowfishKeyLength);
  if (iv != nullptr) {
    std::memcpy(state.InitialBlock, iv, 8);
  } else {
    std::memset(state.InitialBlock, 0, 8);
  }
  std::memcpy(state.ChainingBlock, state.InitialBlock, 8);
  std::memcpy(state.P, kBlowfishInitialP, sizeof state.P);
  std::memcpy(state.S, kBlowfishInitialS, sizeof state.S);

  size_t k = 0;
  for (uint32_t& p : state.P) {
    uint32_t word = 0;
    for (int i = 0; i < 4; ++i) {
      word = word << 8 | key[k];
      k = (k + 1) % key_length;
    }
    p ^= word;
  }

  uint32_t left = 0, right = 0;
  for (int i = 0; i < kRounds + 2; i += 2) {
    EncryptHalves(state, left, right);
    state.P[i] = left;
    state.P[i + 1] = right;
  }
  for (auto& box : state.S) {
    for (int i = 0; i < 256; i += 2) {
      EncryptHalves(state, left, right);
      box[i] = left;
      box[i + 1] = right;
    }
  }
}

void BlowfishEncryptBlock(const TBlowfishState& state, const uint8_t* in, uint8_t* out) {
  uint32_t left = LoadBigEndian(in), right = LoadBigEndian(in + 4);
  EncryptHalves(state, left, right);
  StoreBigEndian(left, out);
  StoreBigEndian(right, out + 4);
}

void BlowfishDecryptBlock(const TBlowfishState& state, const uint8_t* in, uint8_t* out) {
  uint32_t left = LoadBigEndian(in), right = LoadBigEndian(in + 4);
  DecryptHalves(state, left, right);
  StoreBigEndian(left, out);
  StoreBigEndian(right, out + 4);
}

void BlowfishEncryptCBC(TBlowfishState& state, const uint8_t* in, uint8_t* out) {
  uint8_t block[8];
  for (int i = 0; i < 8; ++i) block[i] = in[i] ^ state.ChainingBlock[i];
  BlowfishEncryptBlock(state, block, out);
  std::memcpy(state.ChainingBlock, out, 8);
}

void BlowfishDecryptCBC(TBlowfishState& state, const uint8_t* in, uint8_t* out) {
  uint8_t cipher[8];
  std::memcpy(cipher, in, 8);
  BlowfishDecryptBlock(state, cipher, out);
  for (int i = 0; i < 8; ++i) out[i] ^= state.ChainingBlock[i];
  std::memcpy(state.ChainingBlock, cipher, 8);
}

void BlowfishReset(TBlowfishState& state) { std::memcpy(state.ChainingBlock, state.InitialBlock, 8); }

}  // namespace corvid::settings
