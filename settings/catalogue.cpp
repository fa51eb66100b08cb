#include "settings/catalogue.h"

#include <type_traits>

namespace corvid::settings {

bool Read(TOptionsContainer& options, const TBoolSetting& setting) {
  return options.ReadBool(setting.path, setting.default_value, false, true);
}

int32_t Read(TOptionsContainer& options, const TIntegerSetting& setting) {
  return options.ReadInteger(setting.path, setting.default_value, false, true);
}

std::string Read(TOptionsContainer& options, const TStringSetting& setting) {
  return Read(options, setting, setting.default_value);
}

std::string Read(TOptionsContainer& options, const TStringSetting& setting, std::string_view default_value) {
  return options.ReadString(setting.path, default_value, setting.encrypted, setting.create_on_read);
}

void Write(TOptionsContainer& options, const TBoolSetting& setting, bool value) {
  options.WriteBool(setting.path, value, false);
}

void Write(TOptionsContainer& options, const TIntegerSetting& setting, int32_t value) {
  options.WriteInteger(setting.path, value, false);
}

void Write(TOptionsContainer& options, const TStringSetting& setting, std::string_view value) {
  options.WriteString(setting.path, value, setting.encrypted);
}

int32_t Increment(TOptionsContainer& options, const TIntegerSetting& counter, int32_t delta) {
  return options.Increment(counter.path, counter.default_value, false, delta);
}

namespace {

template <typename Setting>
TSettingInfo Row(const Setting& setting) {
  return {setting.path, &setting};
}

}  // namespace

const std::vector<TSettingInfo>& Catalogue() {
  static const std::vector<TSettingInfo> catalogue = {
      Row(kCompressionEnabled),  Row(kPromptCompress),      Row(kCreateSFX),
      Row(kSkipFiles),           Row(kSkipRecipients),      Row(kUseSkipRecipients),
      Row(kOnlySendTo),          Row(kUseOnlySendTo),       Row(kSkipAddressTypes),
      Row(kUseSkipAddressTypes), Row(kCompressionLevel),    Row(kMinCompression),
      Row(kMinFileSize),         Row(kMakeSingleZIP),       Row(kDefaultZIPName),
      Row(kPromptZipName),       Row(kUsePassword),         Row(kCompressionPassword),
      Row(kSkipExtensions),      Row(kDecompressionEnabled), Row(kSkipWithPath),
      Row(kRestorePath),         Row(kSkipWithPassword),    Row(kPromptForPassword),
      Row(kDecompressionPassword), Row(kNumMessages),       Row(kZipFilesCreated),
      Row(kNumZipFilesUnzipped), Row(kZipFilesSize),        Row(kUnZippedFilesSize),
      Row(kReadOnly),            Row(kInstallDate),         Row(kInstallTime),
      Row(kInstallFolder),
  };
  return catalogue;
}

void ReadAll(TOptionsContainer& options, std::string_view install_folder) {
  for (const TSettingInfo& row : Catalogue()) {
    std::visit(
        [&](const auto* setting) {
          if constexpr (std::is_same_v<decltype(setting), const TStringSetting*>) {
            if (setting == &kInstallFolder) {
              Read(options, *setting, install_folder);
              return;
            }
          }
          Read(options, *setting);
        },
        row.setting);
  }
}

}  // namespace corvid::settings
