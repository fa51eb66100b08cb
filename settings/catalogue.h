// Every setting of the system, with its path, type and default: the one place
// that names them. Readers and writers go through Read/Write/Increment below,
// so each setting is always read with the same default, created when missing
// (written out at the next save), and decrypted when it is a password.
//
// Storage (options_container.h): Booleans as integers 0/1, integers as
// REG_DWORD, texts as REG_SZ, under kSettingsKey in both registry roots and
// in section "Options" of install.ini. A list is one text with one item per
// line, each line ended by CR LF.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "settings/options_container.h"

namespace corvid::settings {

// The settings' key below HKEY_CURRENT_USER and HKEY_LOCAL_MACHINE.
inline constexpr char kSettingsKey[] = "Software\\Corvid";

struct TBoolSetting {
  const char* path;
  bool default_value;
};

struct TIntegerSetting {
  const char* path;
  int32_t default_value;
};

struct TStringSetting {
  const char* path;
  const char* default_value;
  bool encrypted = false;  // stored only as the ciphertext of blowfish_tools.h
  bool create_on_read = true;  // false only for the legacy list that setup migrates
};

// Compression of outgoing attachments.
inline constexpr TBoolSetting kCompressionEnabled{"Compression\\Enabled", true};
inline constexpr TBoolSetting kPromptCompress{"Compression\\PromptCompress", false};
inline constexpr TBoolSetting kCreateSFX{"Compression\\CreateSFX", false};
// "*.Z" stands twice; kept as it always was, since stored lists start from it.
inline constexpr TStringSetting kSkipFiles{
    "Compression\\SkipFiles", "*.ZIP\r\n*.ARJ\r\n*.Z\r\n*.TAR\r\n*.TGZ\r\n*.Z\r\n*.ZOO\r\n*.ARC\r\n*.LZH\r\n*.CAB\r\n"};
inline constexpr TStringSetting kSkipRecipients{"Compression\\SkipRecipients", ""};
inline constexpr TBoolSetting kUseSkipRecipients{"Compression\\UseSkipRecipients", true};
inline constexpr TStringSetting kOnlySendTo{"Compression\\OnlySendTo", ""};
inline constexpr TBoolSetting kUseOnlySendTo{"Compression\\UseOnlySendTo", false};
inline constexpr TStringSetting kSkipAddressTypes{"Compression\\SkipAddressTypes",
                                                  "FAX\r\nMSFAX\r\nMSA\r\nSNADS\r\nTELEX\r\nX500\r\n"};
inline constexpr TBoolSetting kUseSkipAddressTypes{"Compression\\UseSkipAddressTypes", true};
inline constexpr TIntegerSetting kCompressionLevel{"Compression\\CompressionLevel", 9};
inline constexpr TIntegerSetting kMinCompression{"Compression\\MinCompression", 5};  // percent
inline constexpr TIntegerSetting kMinFileSize{"Compression\\MinFileSize", 1};        // units of 1024 bytes
inline constexpr TBoolSetting kMakeSingleZIP{"Compression\\MakeSingleZIP", true};
inline constexpr TStringSetting kDefaultZIPName{"Compression\\DefaultZIPName", "attachments.zip"};
inline constexpr TBoolSetting kPromptZipName{"Compression\\PromptZipName", false};
inline constexpr TBoolSetting kUsePassword{"Compression\\UsePassword", false};
inline constexpr TStringSetting kCompressionPassword{"Compression\\Password", "", true};
// The skipped-files list of earlier installations; setup moves it over.
inline constexpr TStringSetting kSkipExtensions{"Compression\\SkipExtensions", "", false, false};

// Decompression of incoming archives.
inline constexpr TBoolSetting kDecompressionEnabled{"Decompression\\Enabled", true};
inline constexpr TBoolSetting kSkipWithPath{"Decompression\\SkipWithPath", true};
inline constexpr TBoolSetting kRestorePath{"Decompression\\RestorePath", true};
inline constexpr TBoolSetting kSkipWithPassword{"Decompression\\SkipWithPassword", true};
inline constexpr TBoolSetting kPromptForPassword{"Decompression\\PromptForPassword", true};
inline constexpr TStringSetting kDecompressionPassword{"Decompression\\Password", "", true};

// Statistics counters: signed 32-bit, wrapping, updated with Increment.
inline constexpr TIntegerSetting kNumMessages{"Statistics\\NumMessages", 0};
inline constexpr TIntegerSetting kZipFilesCreated{"Statistics\\ZipFilesCreated", 0};
inline constexpr TIntegerSetting kNumZipFilesUnzipped{"Statistics\\NumZipFilesUnzipped", 0};
inline constexpr TIntegerSetting kZipFilesSize{"Statistics\\ZipFilesSize", 0};          // bytes
inline constexpr TIntegerSetting kUnZippedFilesSize{"Statistics\\UnZippedFilesSize", 0};  // bytes

// Installation. ReadOnly is set only by an administrator (corvid-reg or
// install.ini); no part of the system writes it true.
inline constexpr TBoolSetting kReadOnly{"Install\\ReadOnly", false};
inline constexpr TStringSetting kInstallDate{"Install\\InstallDate", ""};
inline constexpr TStringSetting kInstallTime{"Install\\InstallTime", ""};
// Its default is the folder that setup proposes: read it with that default.
inline constexpr TStringSetting kInstallFolder{"Install\\Folder", ""};

bool Read(TOptionsContainer& options, const TBoolSetting& setting);
int32_t Read(TOptionsContainer& options, const TIntegerSetting& setting);
std::string Read(TOptionsContainer& options, const TStringSetting& setting);
// With a default known only at run time (kInstallFolder).
std::string Read(TOptionsContainer& options, const TStringSetting& setting, std::string_view default_value);

void Write(TOptionsContainer& options, const TBoolSetting& setting, bool value);
void Write(TOptionsContainer& options, const TIntegerSetting& setting, int32_t value);
void Write(TOptionsContainer& options, const TStringSetting& setting, std::string_view value);

// Adds `delta` to a counter and returns the new value.
int32_t Increment(TOptionsContainer& options, const TIntegerSetting& counter, int32_t delta = 1);

// One row per setting, for code that walks them all.
using TSettingRef = std::variant<const TBoolSetting*, const TIntegerSetting*, const TStringSetting*>;
struct TSettingInfo {
  std::string_view path;
  TSettingRef setting;
};
const std::vector<TSettingInfo>& Catalogue();

// Reads every setting that readers create, so each missing one gets its
// default; kInstallFolder gets `install_folder`.
void ReadAll(TOptionsContainer& options, std::string_view install_folder = "");

}  // namespace corvid::settings
