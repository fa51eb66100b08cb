// Traditional decryption alone: the 12-byte header check and the decryption
// of the data, through the reader, on a one-entry archive built around the
// input.
//
// Input: a mode byte, a password length byte (low 5 bits), the password,
// then the rest.
//   bit 0  the entry has a data descriptor (the check byte is then the high
//          byte of the time instead of the CRC's)
//   bit 1  sealed: the rest is the entry's content, stored, encrypted here
//          with the password and a correct header; it must come back exactly
//   bit 2  the reader starts with a wrong password and is given the right
//          one when it asks
//   bits 3-4 (unsealed) the method: stored, Deflate, Implode, Shrink
//   bits 5-6 (unsealed) Implode's dictionary and literal tree flags
// Unsealed, the rest is the CRC-32 (4 bytes), the uncompressed size (3 bytes,
// the low 17 bits count) and the encrypted header and data as they stand:
// the reader may refuse them, but must not crash or write past the size.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "base/exception.h"
#include "zip/crc32.h"
#include "zip/stream.h"
#include "zip/zip_cipher.h"
#include "zip/zip_format.h"
#include "zip/zip_reader.h"

using namespace corvid::zip;

namespace {

constexpr uint16_t kDosTime = 0x6000;  // 12:00:00
constexpr uint16_t kDosDate = 0x1C6F;  // 1994-03-15
const char kName[] = "data.bin";

void Put16(std::vector<uint8_t>& out, uint32_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(std::vector<uint8_t>& out, uint32_t v) {
  Put16(out, v & 0xFFFF);
  Put16(out, v >> 16);
}

std::vector<uint8_t> OneEntryArchive(uint16_t flags, uint16_t method, uint32_t crc, uint32_t size,
                                     const std::vector<uint8_t>& data) {
  const uint16_t name_length = sizeof kName - 1;
  std::vector<uint8_t> zip;
  auto common = [&] {
    Put16(zip, 20);  // version needed
    Put16(zip, flags);
    Put16(zip, method);
    Put16(zip, kDosTime);
    Put16(zip, kDosDate);
    Put32(zip, crc);
    Put32(zip, static_cast<uint32_t>(data.size()));
    Put32(zip, size);
    Put16(zip, name_length);
    Put16(zip, 0);  // extra field
  };
  Put32(zip, local_header::kSignature);
  common();
  zip.insert(zip.end(), kName, kName + name_length);
  zip.insert(zip.end(), data.begin(), data.end());
  if (flags & 8) {
    Put32(zip, data_descriptor::kSignature);
    Put32(zip, crc);
    Put32(zip, static_cast<uint32_t>(data.size()));
    Put32(zip, size);
  }
  const uint32_t central_at = static_cast<uint32_t>(zip.size());
  Put32(zip, central_header::kSignature);
  Put16(zip, 20);  // version made by
  common();
  Put16(zip, 0);  // comment
  Put16(zip, 0);  // disk
  Put16(zip, 0);  // internal attributes
  Put32(zip, 0);  // external attributes
  Put32(zip, 0);  // local header offset
  zip.insert(zip.end(), kName, kName + name_length);
  const uint32_t central_size = static_cast<uint32_t>(zip.size()) - central_at;
  Put32(zip, end_record::kSignature);
  Put16(zip, 0);
  Put16(zip, 0);
  Put16(zip, 1);
  Put16(zip, 1);
  Put32(zip, central_size);
  Put32(zip, central_at);
  Put16(zip, 0);
  return zip;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint8_t mode = data[0];
  const size_t password_length = data[1] & 31;
  if (size < 2 + password_length) return 0;
  const std::string password(reinterpret_cast<const char*>(data + 2), password_length);
  const std::vector<uint8_t> payload(data + 2 + password_length, data + size);
  const bool sealed = mode & 2;
  const uint16_t flags = 1 | ((mode & 1) ? 8 : 0) | (sealed ? 0 : (mode >> 4) & 6);
  // A password the right one is not: never empty, never equal.
  const std::string wrong = password + "?";

  std::vector<uint8_t> archive;
  uint32_t declared = 0;
  if (sealed) {
    const uint32_t crc = Crc32(payload.data(), payload.size());
    std::vector<uint8_t> sealed_data(kEncryptionHeaderBytes);
    for (int i = 0; i < kEncryptionHeaderBytes - 1; ++i) sealed_data[i] = static_cast<uint8_t>(i * 37 + size);
    sealed_data[kEncryptionHeaderBytes - 1] =
        PasswordCheckByte(flags, crc, kDosTime | static_cast<uint32_t>(kDosDate) << 16);
    sealed_data.insert(sealed_data.end(), payload.begin(), payload.end());
    TZipCipher cipher;
    cipher.Init(password);
    cipher.EncryptBuffer(sealed_data.data(), sealed_data.size());
    declared = static_cast<uint32_t>(payload.size());
    archive = OneEntryArchive(flags, 0, crc, declared, sealed_data);
  } else {
    if (payload.size() < 7) return 0;
    static const uint16_t kMethods[] = {0, 8, 6, 1};
    const uint32_t crc = payload[0] | payload[1] << 8 | payload[2] << 16 | static_cast<uint32_t>(payload[3]) << 24;
    declared = (payload[4] | payload[5] << 8 | payload[6] << 16) & 0x1FFFF;
    archive = OneEntryArchive(flags, kMethods[(mode >> 3) & 3], crc, declared,
                              std::vector<uint8_t>(payload.begin() + 7, payload.end()));
  }

  TZipReader zip;
  zip.SetArchiveStream(new TMemoryStream(archive));
  try {
    zip.ReadZip();
  } catch (const corvid::Exception&) {
    if (sealed) __builtin_trap();  // a well-formed archive
    return 0;
  }
  if (zip.Count() != 1) {
    if (sealed) __builtin_trap();
    return 0;
  }

  // A wrong password may pass the one-byte check by chance (1 in 256); the
  // detour through it is only taken when it does not.
  bool detour = false;
  if (mode & 4) {
    // The entry's data follows its local header; the archive goes on past it.
    const size_t at = 30 + sizeof kName - 1;
    auto check_byte = [&](const std::string& guess) {
      uint8_t head[kEncryptionHeaderBytes];
      std::memcpy(head, archive.data() + at, sizeof head);
      TZipCipher cipher;
      cipher.Init(guess);
      cipher.DecryptBuffer(head, sizeof head);
      return head[kEncryptionHeaderBytes - 1];
    };
    detour = check_byte(wrong) != check_byte(password);
  }
  int asked = 0;
  zip.Password = detour ? wrong : password;
  zip.OnBadPassword = [&](TZipReader*, int, std::string& offered) {
    if (++asked == 1 && detour) offered = password;
  };

  std::vector<uint8_t> out;
  int written = 0;
  try {
    written = zip.UnZipToBuffer(out, kName);
  } catch (const corvid::Exception&) {
    if (sealed) __builtin_trap();
    return 0;
  }
  if (sealed && (written != 1 || out != payload || asked != (detour ? 1 : 0))) __builtin_trap();
  if (out.size() > declared) __builtin_trap();
  return 0;
}
