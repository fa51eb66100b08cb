#include "settings/blowfish_tools.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace corvid::settings {
namespace {

TEST(BlowfishToolsTest, RoundTripsAndEncodedLength) {
  struct Case {
    std::string text;
    size_t digits;
  };
  const Case cases[] = {{"", 16}, {"secret7", 16}, {"secret78", 32}, {"secret789", 32}, {"p\xC3\xA4sswort", 32}};
  for (const Case& c : cases) {
    const std::string encoded = EncryptString(c.text);
    EXPECT_EQ(encoded.size(), c.digits) << c.text;
    EXPECT_EQ(encoded.find_first_not_of("0123456789ABCDEF"), std::string::npos) << encoded;
    EXPECT_EQ(DecryptString(encoded), c.text);
  }
}

TEST(BlowfishToolsTest, FixedVectorMakesSharedPrefixesVisible) {
  const std::string a = EncryptString("ABCDEFGH-one"), b = EncryptString("ABCDEFGH-two");
  EXPECT_EQ(a.substr(0, 16), b.substr(0, 16));
  EXPECT_NE(a.substr(16), b.substr(16));
}

TEST(BlowfishToolsTest, DecryptStringOfDamagedInput) {
  const std::string encoded = EncryptString("hunter2");
  std::string lower = encoded;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  EXPECT_EQ(DecryptString(lower), "hunter2");
  EXPECT_EQ(DecryptString(encoded + "7"), "hunter2") << "an odd last digit is ignored";
  EXPECT_EQ(DecryptString(encoded.substr(0, 14) + "G1"), "");
  EXPECT_EQ(DecryptString("password"), "") << "a clear-text word typed into the registry";
  EXPECT_EQ(DecryptString(""), "");
  // Bytes after the last whole block stay as read and end the text at a zero.
  EXPECT_EQ(DecryptString(encoded + "41"), "hunter2");
  EXPECT_EQ(DecryptString(EncryptString(std::string("ab\0cd", 5))), "ab") << "a zero byte ends the text";
}

// OpenSSL's Blowfish-CBC as an independent peer. Its bf-cbc takes a 16-byte
// key; the key schedule repeats the key bytes, so the 8-byte key twice over
// is the same cipher.
TEST(BlowfishToolsTest, MatchesOpenSslBlowfishCbc) {
  const std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                    ("corvid-bf-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  for (const std::string text : {"", "a", "attachments", "0123456789abcdef0123"}) {
    std::string padded = text;
    padded.resize((text.size() / 8 + 1) * 8, '\0');
    const auto input = dir / "in", output = dir / "out";
    std::ofstream(input, std::ios::binary) << padded;
    const std::string command = "openssl enc -bf-cbc -nopad -K A53C960FE1487BD2A53C960FE1487BD2 -iv A53C960FE1487BD2 "
                                "-provider legacy -provider default -in " +
                                input.string() + " -out " + output.string() + " 2>/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0) << "openssl with the legacy provider is needed: " << command;
    std::ifstream result(output, std::ios::binary);
    std::string cipher((std::istreambuf_iterator<char>(result)), std::istreambuf_iterator<char>());
    std::string hex;
    char pair[3];
    for (char c : cipher) {
      std::snprintf(pair, sizeof pair, "%02X", static_cast<unsigned char>(c));
      hex += pair;
    }
    EXPECT_EQ(EncryptString(text), hex) << "text \"" << text << "\"";
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace corvid::settings
