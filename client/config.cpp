#include "client/config.h"

#include <strings.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <type_traits>
#include <variant>

#include "client/send.h"
#include "platform/win/registry.h"
#include "settings/catalogue.h"

namespace corvid::client {
namespace {

struct TRange {
  const settings::TIntegerSetting* setting;
  int32_t min, max;
};
// The integers whose meaning has bounds; the others (the counters) take
// any value from 0 up.
const TRange kRanges[] = {
    {&settings::kCompressionLevel, 0, 9},
    {&settings::kMinCompression, 0, 100},
    {&settings::kMinFileSize, 0, INT32_MAX / 1024},
};

// Lists keep one item per line, each ended by CR LF.
bool IsList(const settings::TStringSetting* setting) {
  return setting == &settings::kSkipFiles || setting == &settings::kSkipRecipients ||
         setting == &settings::kOnlySendTo || setting == &settings::kSkipAddressTypes ||
         setting == &settings::kSkipExtensions;
}

// A single archive's name: a file name, short enough for every file system
// once a folder and ".exe" are added.
constexpr size_t kLongestZipName = 200;

bool IsInstallSetting(std::string_view path) { return strncasecmp(path.data(), "Install\\", 8) == 0; }

std::string ValueName(std::string_view path) {
  const size_t separator = path.rfind('\\');
  return std::string(separator == std::string_view::npos ? path : path.substr(separator + 1));
}

// The catalogue row NAME stands for; the reason when there is none.
const settings::TSettingInfo* Lookup(const std::string& name, std::string& why) {
  const settings::TSettingInfo* found = nullptr;
  int matches = 0;
  for (const settings::TSettingInfo& row : settings::Catalogue()) {
    if (strcasecmp(std::string(row.path).c_str(), name.c_str()) == 0) return &row;
    if (strcasecmp(ValueName(row.path).c_str(), name.c_str()) == 0) {
      found = &row;
      ++matches;
    }
  }
  if (matches == 1) return found;
  why = matches == 0 ? "no setting is named " + name + " (corvid config list shows them)"
                     : name + " names more than one setting; give its whole path (corvid config list shows them)";
  return nullptr;
}

// As the extension loads them: the user's root when it has the settings.
void Load(settings::TOptionsContainer& options) {
  win::HKEY key = nullptr;
  if (win::RegOpenKeyEx(win::HKEY_CURRENT_USER, settings::kSettingsKey, 0, win::KEY_READ, &key) ==
      win::ERROR_SUCCESS) {
    win::RegCloseKey(key);
    options.LoadFromRegistry(win::HKEY_CURRENT_USER, settings::kSettingsKey);
  } else {
    options.LoadFromRegistry(win::HKEY_LOCAL_MACHINE, settings::kSettingsKey);
  }
}

std::string ShowList(const std::string& text) {
  std::string out;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find_first_of("\r\n", start);
    if (end == std::string::npos) end = text.size();
    if (end > start) out += (out.empty() ? "" : ", ") + text.substr(start, end - start);
    start = end + 1;
  }
  return out;
}

// How a setting is shown: a password only as whether it is usable.
std::string Shown(settings::TOptionsContainer& options, const settings::TSettingInfo& row) {
  return std::visit(
      [&](const auto* setting) -> std::string {
        using T = std::decay_t<decltype(*setting)>;
        if constexpr (std::is_same_v<T, settings::TBoolSetting>) {
          return options.ReadBool(setting->path, setting->default_value, false, false) ? "1" : "0";
        } else if constexpr (std::is_same_v<T, settings::TIntegerSetting>) {
          return std::to_string(options.ReadInteger(setting->path, setting->default_value, false, false));
        } else {
          if (setting->encrypted) {
            const std::string stored = options.ReadString(setting->path, "", false, false);
            if (stored.empty()) return "(not set)";
            return options.ReadString(setting->path, "", true, false).empty()
                       ? "(stored, but not readable as a password: set it again)"
                       : "(set)";
          }
          const std::string value = options.ReadString(setting->path, setting->default_value, false, false);
          return IsList(setting) ? ShowList(value) : value;
        }
      },
      row.setting);
}

std::string Described(const settings::TSettingInfo& row) {
  return std::visit(
      [&](const auto* setting) -> std::string {
        using T = std::decay_t<decltype(*setting)>;
        if constexpr (std::is_same_v<T, settings::TBoolSetting>) {
          return std::string("Boolean 0|1, default ") + (setting->default_value ? "1" : "0");
        } else if constexpr (std::is_same_v<T, settings::TIntegerSetting>) {
          std::string range = "0..2147483647";
          for (const TRange& r : kRanges) {
            if (r.setting == setting) range = std::to_string(r.min) + ".." + std::to_string(r.max);
          }
          return "integer " + range + ", default " + std::to_string(setting->default_value);
        } else {
          if (setting->encrypted) return "password, stored encoded";
          if (IsList(setting)) return "list, items separated by commas";
          return std::string("text, default \"") + setting->default_value + "\"";
        }
      },
      row.setting);
}

std::optional<bool> ParseBool(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (text == "1" || text == "true" || text == "yes" || text == "on") return true;
  if (text == "0" || text == "false" || text == "no" || text == "off") return false;
  return std::nullopt;
}

std::string AsList(const std::string& text) {
  std::string out;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find_first_of(",\r\n", start);
    if (end == std::string::npos) end = text.size();
    std::string item = text.substr(start, end - start);
    while (!item.empty() && (item.front() == ' ' || item.front() == '\t')) item.erase(item.begin());
    while (!item.empty() && (item.back() == ' ' || item.back() == '\t')) item.pop_back();
    if (!item.empty()) out += item + "\r\n";
    start = end + 1;
  }
  return out;
}

// A password from standard input, not echoed on a terminal.
std::optional<std::string> ReadPassword(std::istream& in, std::ostream& err) {
  const bool terminal = &in == &std::cin && isatty(STDIN_FILENO);
  termios saved{};
  if (terminal) {
    err << "Password: " << std::flush;
    tcgetattr(STDIN_FILENO, &saved);
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  std::string line;
  const bool got = static_cast<bool>(std::getline(in, line));
  if (terminal) {
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    err << "\n";
  }
  if (!got) return std::nullopt;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

int Usage(std::ostream& err) {
  err << kConfigUsage;
  return kExitUsage;
}

int Set(const settings::TSettingInfo& row, std::optional<std::string> value, std::istream& in, std::ostream& out,
        std::ostream& err) {
  const std::string path(row.path);
  if (IsInstallSetting(path)) {
    err << "corvid config: " << path << " belongs to the installation and is not changed here\n";
    return kExitUsage;
  }
  settings::TOptionsContainer current;
  Load(current);
  if (current.ReadBool(settings::kReadOnly.path, false, false, false)) {
    err << "corvid config: the settings are read-only (Install\\ReadOnly is set by the administrator)\n";
    return kExitFailed;
  }
  const auto* text_setting = std::get_if<const settings::TStringSetting*>(&row.setting);
  const bool password = text_setting != nullptr && (*text_setting)->encrypted;
  if (!value) {
    if (!password) return Usage(err);
    value = ReadPassword(in, err);
    if (!value) {
      err << "corvid config: no password was given\n";
      return kExitUsage;
    }
  }

  // The one entry goes to the user's root; when that root has no settings
  // yet, the machine's are copied first, since the extension reads one root.
  win::HKEY key = nullptr;
  if (win::RegOpenKeyEx(win::HKEY_CURRENT_USER, settings::kSettingsKey, 0, win::KEY_READ, &key) ==
      win::ERROR_SUCCESS) {
    win::RegCloseKey(key);
  } else {
    settings::TOptionsContainer seed;
    seed.Assign(current);  // every entry new to the user's root, so every one is written
    seed.SaveToRegistry(win::HKEY_CURRENT_USER, settings::kSettingsKey);
  }
  settings::TOptionsContainer change;
  std::string refused;
  std::visit(
      [&](const auto* setting) {
        using T = std::decay_t<decltype(*setting)>;
        if constexpr (std::is_same_v<T, settings::TBoolSetting>) {
          const std::optional<bool> parsed = ParseBool(*value);
          if (!parsed) {
            refused = path + " is 0 or 1 (also: true/false, yes/no, on/off), not \"" + *value + "\"";
            return;
          }
          settings::Write(change, *setting, *parsed);
        } else if constexpr (std::is_same_v<T, settings::TIntegerSetting>) {
          int64_t min = 0, max = INT32_MAX;
          for (const TRange& r : kRanges) {
            if (r.setting == setting) min = r.min, max = r.max;
          }
          errno = 0;
          char* end = nullptr;
          const long long parsed = std::strtoll(value->c_str(), &end, 10);
          if (value->empty() || *end != '\0' || errno != 0 || parsed < min || parsed > max) {
            refused = path + " is a whole number from " + std::to_string(min) + " to " + std::to_string(max) +
                      ", not \"" + *value + "\"";
            return;
          }
          settings::Write(change, *setting, static_cast<int32_t>(parsed));
        } else {
          if (setting == &settings::kDefaultZIPName &&
              (value->empty() || value->size() > kLongestZipName || value->find_first_of("/\\") != std::string::npos)) {
            refused = path + " is a file name of 1 to " + std::to_string(kLongestZipName) +
                      " bytes without folders";
            return;
          }
          if (setting->encrypted && value->empty()) {
            refused = "an empty password protects nothing; turn Compression\\UsePassword off instead";
            return;
          }
          settings::Write(change, *setting, IsList(setting) ? AsList(*value) : *value);
        }
      },
      row.setting);
  if (!refused.empty()) {
    err << "corvid config: " << refused << "\n";
    return kExitUsage;
  }
  change.SaveToRegistry(win::HKEY_CURRENT_USER, settings::kSettingsKey);
  settings::TOptionsContainer check;
  Load(check);
  if (check.ReadString(path, "", false, false) != change.ReadString(path, "", false, false)) {
    err << "corvid config: " << path << " could not be stored in the registry\n";
    return kExitFailed;
  }
  out << path << " = " << Shown(check, row) << "\n";
  return kExitOk;
}

}  // namespace

int RunConfig(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err) {
  try {
    if (args.empty()) return Usage(err);
    const std::string& command = args[0];
    if (command == "list" && args.size() == 1) {
      settings::TOptionsContainer options;
      Load(options);
      for (const settings::TSettingInfo& row : settings::Catalogue()) {
        out << row.path << " = " << Shown(options, row) << "  (" << Described(row) << ")\n";
      }
      return kExitOk;
    }
    if ((command == "get" && args.size() == 2) || (command == "set" && (args.size() == 2 || args.size() == 3))) {
      std::string why;
      const settings::TSettingInfo* row = Lookup(args[1], why);
      if (row == nullptr) {
        err << "corvid config: " << why << "\n";
        return kExitUsage;
      }
      if (command == "set") return Set(*row, args.size() == 3 ? std::optional(args[2]) : std::nullopt, in, out, err);
      settings::TOptionsContainer options;
      Load(options);
      out << Shown(options, *row) << "\n";
      return kExitOk;
    }
    return Usage(err);
  } catch (const std::exception& error) {
    err << "corvid config: " << error.what() << "\n";
    return kExitFailed;
  }
}

}  // namespace corvid::client
