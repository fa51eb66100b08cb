#include "settings/blowfish.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace corvid::settings {
namespace {

std::vector<uint8_t> Hex(const std::string& digits) {
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i + 1 < digits.size(); i += 2) bytes.push_back(static_cast<uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
  return bytes;
}

std::string ToHex(const uint8_t* bytes, size_t size) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (size_t i = 0; i < size; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 0xF];
  }
  return text;
}

// Published ECB vectors of the cipher (8-byte keys).
TEST(BlowfishTest, EcbMatchesPublishedVectors) {
  struct Case {
    const char* key;
    const char* plain;
    const char* cipher;
  };
  const Case cases[] = {
      {"0000000000000000", "0000000000000000", "4EF997456198DD78"},
      {"FFFFFFFFFFFFFFFF", "FFFFFFFFFFFFFFFF", "51866FD5B85ECB8A"},
      {"3000000000000000", "1000000000000001", "7D856F9A613063F2"},
      {"1111111111111111", "1111111111111111", "2466DD878B963C9D"},
      {"0123456789ABCDEF", "1111111111111111", "61F9C3802281B096"},
      {"FEDCBA9876543210", "0123456789ABCDEF", "0ACEAB0FC6A0A28D"},
      {"7CA110454A1A6E57", "01A1D6D039776742", "59C68245EB05282B"},
  };
  for (const Case& c : cases) {
    const auto key = Hex(c.key), plain = Hex(c.plain);
    TBlowfishState state;
    BlowfishInit(state, key.data(), key.size(), nullptr);
    uint8_t block[8];
    BlowfishEncryptBlock(state, plain.data(), block);
    EXPECT_EQ(ToHex(block, 8), c.cipher) << "key " << c.key;
    BlowfishDecryptBlock(state, block, block);  // in place
    EXPECT_EQ(ToHex(block, 8), c.plain) << "key " << c.key;
  }
}

// The published CBC vector: a 16-byte key, "7654321 Now is the time for "
// with its closing zero, padded with zeros to 32 bytes.
TEST(BlowfishTest, CbcMatchesPublishedVectorAndResetRestartsTheChain) {
  const auto key = Hex("0123456789ABCDEFF0E1D2C3B4A59687");
  const auto iv = Hex("FEDCBA9876543210");
  std::vector<uint8_t> data(32, 0);
  const std::string text = "7654321 Now is the time for ";
  std::copy(text.begin(), text.end(), data.begin());
  const std::vector<uint8_t> plain = data;

  TBlowfishState state;
  BlowfishInit(state, key.data(), key.size(), iv.data());
  for (size_t i = 0; i < data.size(); i += 8) BlowfishEncryptCBC(state, &data[i], &data[i]);
  EXPECT_EQ(ToHex(data.data(), data.size()), "6B77B4D63006DEE605B156E27403979358DEB9E7154616D959F1652BD5FF92CC");

  BlowfishReset(state);
  for (size_t i = 0; i < data.size(); i += 8) BlowfishDecryptCBC(state, &data[i], &data[i]);
  EXPECT_EQ(data, plain);
}

TEST(BlowfishTest, KeyLengthOutside1To56IsRefused) {
  const std::vector<uint8_t> key(57, 0x42);
  TBlowfishState state;
  for (size_t length : {size_t{0}, size_t{57}}) {
    try {
      BlowfishInit(state, key.data(), length, nullptr);
      ADD_FAILURE() << "length " << length << " accepted";
    } catch (const EBlowfishError& error) {
      EXPECT_STREQ(error.what(), kMsgBlowfishKeyLength);
    }
  }
  EXPECT_NO_THROW(BlowfishInit(state, key.data(), 1, nullptr));
  EXPECT_NO_THROW(BlowfishInit(state, key.data(), 56, nullptr));
}

}  // namespace
}  // namespace corvid::settings
