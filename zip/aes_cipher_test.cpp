// The AES entry cipher: entries written by 7-Zip decrypt to their files with
// a matching verifier and authentication code; our own encryption round-
// trips and any change to the bytes or the password shows.
#include "zip/aes_cipher.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "testutil/files.h"
#include "testutil/peers.h"
#include "testutil/zip_builder.h"

namespace corvid::zip {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

Bytes Text(size_t size) {
  Bytes out;
  for (int i = 0; out.size() < size; ++i) {
    const std::string line = "entry line " + std::to_string(i) + "\n";
    out.insert(out.end(), line.begin(), line.end());
  }
  out.resize(size);
  return out;
}

uint32_t Le16(const Bytes& b, size_t at) { return b[at] | b[at + 1] << 8; }
uint32_t Le32(const Bytes& b, size_t at) { return Le16(b, at) | Le16(b, at + 2) << 16; }

TEST(AesCipherTest, EntriesOfAnIndependentToolDecryptAndAuthenticate) {
  if (!testutil::HaveProgram("7zz")) CORVID_PEER_MISSING() << "7zz is not installed";
  const fs::path folder = fs::path(::testing::TempDir()) / "aes-peer";
  fs::remove_all(folder);
  fs::create_directories(folder);
  const Bytes original = Text(70000);  // past several keystream batches
  test::WriteFile(folder / "f.txt", std::string(original.begin(), original.end()));
  for (int strength : {1, 2, 3}) {
    SCOPED_TRACE(strength);
    const fs::path archive = folder / ("s" + std::to_string(strength) + ".zip");
    const std::string command = "cd " + test::Quote(folder.string()) + " && 7zz a -tzip -mm=Copy -pTopSecret -mem=AES" +
                                std::to_string(64 + 64 * strength) + " " + test::Quote(archive.string()) +
                                " f.txt >/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
    const std::string bytes = test::ReadFile(archive);
    const Bytes zip(bytes.begin(), bytes.end());
    ASSERT_EQ(Le32(zip, 0), 0x04034B50u);
    ASSERT_EQ(Le16(zip, 8), 99u);  // the AES method
    const size_t name = Le16(zip, 26), extra = Le16(zip, 28);
    // The extra field 0x9901 names the strength and the real method (stored).
    const size_t field = 30 + name;
    ASSERT_EQ(Le16(zip, field), 0x9901u);
    EXPECT_EQ(zip[field + 8], strength);
    EXPECT_EQ(Le16(zip, field + 9), 0u);
    const size_t data = 30 + name + extra;
    const size_t salt = TAesCipher::SaltBytes(strength);
    const size_t size = Le32(zip, 18);
    ASSERT_EQ(size, salt + 2 + original.size() + 10);

    for (const char* password : {"TopSecret", "TopSecreT"}) {
      TAesCipher cipher;
      uint8_t verifier[2];
      cipher.Init(password, zip.data() + data, strength, verifier);
      const bool right = std::string(password) == "TopSecret";
      const bool verified = verifier[0] == zip[data + salt] && verifier[1] == zip[data + salt + 1];
      if (right) {
        EXPECT_TRUE(verified);
      }
      Bytes plain(zip.begin() + static_cast<ptrdiff_t>(data + salt + 2),
                  zip.begin() + static_cast<ptrdiff_t>(data + size - 10));
      // In uneven pieces, as the reader's chunks come.
      for (size_t at = 0; at < plain.size(); at += 977) cipher.Decrypt(plain.data() + at, std::min<size_t>(977, plain.size() - at));
      uint8_t code[10];
      cipher.Code(code);
      const bool authentic = std::equal(code, code + 10, zip.begin() + static_cast<ptrdiff_t>(data + size - 10));
      EXPECT_EQ(authentic, right);
      EXPECT_EQ(plain == original, right);
    }
  }
}

TEST(AesCipherTest, OwnEncryptionRoundTripsAndShowsTampering) {
  const Bytes original = Text(10000);
  uint8_t salt[16];
  TAesCipher::RandomSalt(salt, 3);
  TAesCipher writer;
  uint8_t verifier[2];
  writer.Init("pass", salt, 3, verifier);
  Bytes data = original;
  writer.Encrypt(data.data(), data.size());
  EXPECT_NE(data, original);
  uint8_t code[10];
  writer.Code(code);

  const auto read = [&](const Bytes& encrypted, const char* password, Bytes* plain) {
    TAesCipher reader;
    uint8_t again[2];
    reader.Init(password, salt, 3, again);
    *plain = encrypted;
    reader.Decrypt(plain->data(), plain->size());
    uint8_t check[10];
    reader.Code(check);
    return std::equal(check, check + 10, code);
  };
  Bytes plain;
  EXPECT_TRUE(read(data, "pass", &plain));
  EXPECT_EQ(plain, original);
  Bytes tampered = data;
  tampered[5000] ^= 1;
  EXPECT_FALSE(read(tampered, "pass", &plain));
  EXPECT_FALSE(read(data, "Pass", &plain));
  EXPECT_NE(plain, original);
}

}  // namespace
}  // namespace corvid::zip
