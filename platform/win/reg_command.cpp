#include "platform/win/reg_command.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <sstream>

#include "platform/win/ascii_case.h"
#include "platform/win/reg_file.h"

namespace corvid::win {
namespace {

constexpr char kDone[] = "The operation completed successfully.";
constexpr char kNotFound[] = "The system was unable to find the specified registry key or value.";

struct Options {
  std::string verb;
  std::vector<std::string> positional;
  std::optional<std::string> value_name;  // /v NAME, or "" for /ve
  bool all_values = false;                // /va
  bool recursive = false;                 // /s in query
  std::optional<std::string> type;
  std::optional<std::string> separator;  // /s in add
  std::optional<std::string> data;
  bool force = false;  // /f or /y
};

bool IsSwitch(const std::string& arg, const char* name) {
  return (arg.size() > 1 && (arg[0] == '/' || arg[0] == '-')) && EqualsIgnoreAsciiCase(arg.substr(1), name);
}

// False with a message for a switch that lacks its argument or is unknown.
bool ParseOptions(const std::vector<std::string>& args, Options* options, std::string* message) {
  options->verb = AsciiLowerCopy(args.front());
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const auto next = [&](std::optional<std::string>* target) {
      if (i + 1 >= args.size()) {
        *message = "Invalid syntax: " + arg + " needs a value.";
        return false;
      }
      *target = args[++i];
      return true;
    };
    if (IsSwitch(arg, "v")) {
      if (!next(&options->value_name)) return false;
    } else if (IsSwitch(arg, "ve")) {
      options->value_name = std::string();
    } else if (IsSwitch(arg, "va")) {
      options->all_values = true;
    } else if (IsSwitch(arg, "s")) {
      if (options->verb == "add") {
        if (!next(&options->separator)) return false;
      } else {
        options->recursive = true;
      }
    } else if (IsSwitch(arg, "t")) {
      if (!next(&options->type)) return false;
    } else if (IsSwitch(arg, "d")) {
      if (!next(&options->data)) return false;
    } else if (IsSwitch(arg, "f") || IsSwitch(arg, "y")) {
      options->force = true;
    } else {
      // Anything else, an absolute file path included, is an operand.
      options->positional.push_back(arg);
    }
  }
  return true;
}

std::string ErrorText(LONG error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
      return kNotFound;
    case ERROR_ACCESS_DENIED:
      return "Access is denied.";
    default:
      return "Error accessing the registry (code " + std::to_string(error) + ").";
  }
}

bool Confirm(std::istream& in, std::ostream& out, const std::string& question) {
  out << question << " (Yes/No)? " << std::flush;
  std::string answer;
  if (!std::getline(in, answer)) {
    out << "\n";
    return false;
  }
  return !answer.empty() && (answer[0] == 'y' || answer[0] == 'Y');
}

const char* TypeName(DWORD type) {
  switch (type) {
    case REG_NONE:
      return "REG_NONE";
    case REG_SZ:
      return "REG_SZ";
    case REG_EXPAND_SZ:
      return "REG_EXPAND_SZ";
    case REG_BINARY:
      return "REG_BINARY";
    case REG_DWORD:
      return "REG_DWORD";
    case REG_MULTI_SZ:
      return "REG_MULTI_SZ";
    default:
      return nullptr;
  }
}

std::string ShowData(DWORD type, const std::string& data) {
  if (type == REG_SZ || type == REG_EXPAND_SZ) return data.substr(0, data.find('\0'));
  if (type == REG_DWORD && data.size() == 4) {
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(data[static_cast<size_t>(i)]);
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", value);
    return text;
  }
  if (type == REG_MULTI_SZ) {
    std::string shown;
    std::string_view rest(data);
    while (!rest.empty() && rest.back() == '\0') rest.remove_suffix(1);
    for (char c : rest) shown += c == '\0' ? std::string("\\0") : std::string(1, c);
    return shown;
  }
  std::string hex;
  char pair[4];
  for (char c : data) {
    std::snprintf(pair, sizeof pair, "%02X", static_cast<unsigned char>(c));
    hex += pair;
  }
  return hex;
}

void ShowValue(std::ostream& out, const std::string& name, DWORD type, const std::string& data) {
  const char* type_name = TypeName(type);
  out << "    " << (name.empty() ? "(Default)" : name) << "    ";
  if (type_name != nullptr) {
    out << type_name;
  } else {
    out << "0x" << std::hex << type << std::dec;
  }
  out << "    " << ShowData(type, data) << "\n";
}

// Prints one key's values, then its subkeys: listed, or walked with /s.
LONG QueryKey(TRegistry& registry, HKEY key, const std::string& full_name, bool recursive, std::ostream& out) {
  out << "\n" << full_name << "\n";
  for (DWORD index = 0;; ++index) {
    std::string name, data;
    DWORD type = REG_NONE;
    const LONG result = registry.EnumValue(key, index, &name, &type, &data);
    if (result == ERROR_NO_MORE_ITEMS) break;
    if (result != ERROR_SUCCESS) return result;
    ShowValue(out, name, type, data);
  }
  if (!recursive) out << "\n";
  for (DWORD index = 0;; ++index) {
    std::string name;
    LONG result = registry.EnumKey(key, index, &name);
    if (result == ERROR_NO_MORE_ITEMS) break;
    if (result != ERROR_SUCCESS) return result;
    if (!recursive) {
      out << full_name << "\\" << name << "\n";
      continue;
    }
    HKEY child = nullptr;
    result = registry.OpenKey(key, name, KEY_READ, &child);
    if (result != ERROR_SUCCESS) return result;
    result = QueryKey(registry, child, full_name + "\\" + name, true, out);
    registry.CloseKey(child);
    if (result != ERROR_SUCCESS) return result;
  }
  return ERROR_SUCCESS;
}

std::string FullName(HKEY root, const std::string& sub_key) {
  std::string name(RootKeyName(root));
  std::string_view rest(sub_key);
  if (!rest.empty() && rest.back() == '\\') rest.remove_suffix(1);
  if (!rest.empty()) name += "\\" + std::string(rest);
  return name;
}

// The bytes `add` stores for DATA of TYPE; false when DATA does not fit it.
bool EncodeData(const std::string& type_name, const std::string& text, const std::string& separator, DWORD* type,
                std::string* bytes) {
  const std::string type_upper = [&] {
    std::string upper(type_name);
    for (char& c : upper) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    return upper;
  }();
  if (type_upper == "REG_SZ" || type_upper == "REG_EXPAND_SZ") {
    *type = type_upper == "REG_SZ" ? REG_SZ : REG_EXPAND_SZ;
    *bytes = text + '\0';
    return true;
  }
  if (type_upper == "REG_MULTI_SZ") {
    *type = REG_MULTI_SZ;
    bytes->clear();
    if (!text.empty()) {
      size_t start = 0;
      while (true) {
        const size_t at = separator.empty() ? std::string::npos : text.find(separator, start);
        *bytes += text.substr(start, at == std::string::npos ? std::string::npos : at - start) + '\0';
        if (at == std::string::npos) break;
        start = at + separator.size();
      }
    }
    *bytes += '\0';
    return true;
  }
  if (type_upper == "REG_DWORD") {
    if (text.empty()) return false;
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    if (digits.empty() || digits.size() > (hex ? 8u : 10u)) return false;
    uint64_t value = 0;
    for (char c : digits) {
      int digit;
      if (c >= '0' && c <= '9') {
        digit = c - '0';
      } else if (hex && c >= 'a' && c <= 'f') {
        digit = c - 'a' + 10;
      } else if (hex && c >= 'A' && c <= 'F') {
        digit = c - 'A' + 10;
      } else {
        return false;
      }
      value = value * (hex ? 16 : 10) + static_cast<uint64_t>(digit);
    }
    if (value > 0xFFFFFFFFu) return false;
    *type = REG_DWORD;
    bytes->assign({static_cast<char>(value & 0xFF), static_cast<char>((value >> 8) & 0xFF),
                   static_cast<char>((value >> 16) & 0xFF), static_cast<char>((value >> 24) & 0xFF)});
    return true;
  }
  if (type_upper == "REG_BINARY") {
    if (text.size() % 2 != 0) return false;
    bytes->clear();
    const auto digit = [](char c) {
      if (c >= '0' && c <= '9') return c - '0';
      if (c >= 'a' && c <= 'f') return c - 'a' + 10;
      if (c >= 'A' && c <= 'F') return c - 'A' + 10;
      return -1;
    };
    for (size_t i = 0; i < text.size(); i += 2) {
      const int high = digit(text[i]), low = digit(text[i + 1]);
      if (high < 0 || low < 0) return false;
      *bytes += static_cast<char>(high << 4 | low);
    }
    *type = REG_BINARY;
    return true;
  }
  return false;
}

class Command {
 public:
  Command(TRegistry& registry, std::istream& in, std::ostream& out, std::ostream& err)
      : registry_(registry), in_(in), out_(out), err_(err) {}

  int Run(const std::vector<std::string>& args) {
    if (args.empty()) return Fail("Invalid syntax. Use query, add, delete, export or import.");
    std::string message;
    if (!ParseOptions(args, &options_, &message)) return Fail(message);
    const std::string& verb = options_.verb;
    if (verb == "import") return Import();
    const size_t operands = verb == "export" ? 2 : 1;
    if (options_.positional.size() != operands) {
      return Fail(operands == 2 ? "Invalid syntax: export KEY FILE [/y]." : "Invalid syntax: one key name is needed.");
    }
    if (!ParseRootKey(options_.positional[0], &root_, &sub_key_)) return Fail("Invalid key name.");
    if (verb == "query") return Query();
    if (verb == "add") return Add();
    if (verb == "delete") return Delete();
    if (verb == "export") return Export();
    return Fail("Invalid syntax: unknown operation " + args.front() + ".");
  }

 private:
  int Fail(const std::string& message) {
    err_ << "ERROR: " << message << "\n";
    return 1;
  }
  int Done() {
    out_ << kDone << "\n";
    return 0;
  }

  int Query() {
    HKEY key = nullptr;
    LONG result = registry_.OpenKey(root_, sub_key_, KEY_READ, &key);
    if (result != ERROR_SUCCESS) return Fail(ErrorText(result));
    if (options_.value_name) {
      std::string data;
      DWORD type = REG_NONE;
      result = registry_.QueryValue(key, *options_.value_name, &type, &data);
      registry_.CloseKey(key);
      if (result != ERROR_SUCCESS) return Fail(ErrorText(result));
      out_ << "\n" << FullName(root_, sub_key_) << "\n";
      ShowValue(out_, *options_.value_name, type, data);
      out_ << "\n";
      return 0;
    }
    result = QueryKey(registry_, key, FullName(root_, sub_key_), options_.recursive, out_);
    registry_.CloseKey(key);
    if (result != ERROR_SUCCESS) return Fail(ErrorText(result));
    return 0;
  }

  int Add() {
    DWORD type = REG_SZ;
    std::string bytes;
    if (options_.value_name) {
      if (!EncodeData(options_.type.value_or("REG_SZ"), options_.data.value_or(""), options_.separator.value_or("\\0"),
                      &type, &bytes)) {
        return Fail("Invalid type or data for this type.");
      }
    } else if (options_.type || options_.data) {
      return Fail("Invalid syntax: /t and /d need /v or /ve.");
    }
    HKEY key = nullptr;
    LONG result = registry_.CreateKey(root_, sub_key_, KEY_ALL_ACCESS, &key, nullptr);
    if (result != ERROR_SUCCESS) return Fail(ErrorText(result));
    if (options_.value_name) {
      const std::string& name = *options_.value_name;
      if (!options_.force && registry_.QueryValue(key, name, nullptr, nullptr) == ERROR_SUCCESS &&
          !Confirm(in_, out_, "Value " + (name.empty() ? std::string("(Default)") : name) + " exists, overwrite")) {
        registry_.CloseKey(key);
        out_ << "The operation was canceled by the user.\n";
        return 1;
      }
      result = registry_.SetValue(key, name, type, bytes);
    }
    registry_.CloseKey(key);
    if (result != ERROR_SUCCESS) return Fail(ErrorText(result));
    return Done();
  }

  int Delete() {
    const std::string full_name = FullName(root_, sub_key_);
    if (!options_.value_name && !options_.all_values) {
      std::vector<std::string_view> names;
      if (SplitKeyPath(sub_key_, &names) != ERROR_SUCCESS || names.empty()) return Fail("Invalid key name.");
      HKEY probe = nullptr;
      LONG result = registry_.OpenKey(root_, sub_key_, KEY_READ, &probe);
      if (result != ERROR_SUCCESS) return Fail(ErrorText(result));
      registry_.CloseKey(probe);
      if (!options_.force && !Confirm(in_, out_, "Permanently delete the registry key " + full_name)) {
        out_ << "The operation was canceled by the user.\n";
        return 1;
      }
      result = registry_.DeleteTree(root_, sub_key_);
      return result == ERROR_SUCCESS ? Done() : Fail(ErrorText(result));
    }
    HKEY key = nullptr;
    LONG result = registry_.OpenKey(root_, sub_key_, KEY_ALL_ACCESS, &key);
    if (result != ERROR_SUCCESS) return Fail(ErrorText(result));
    const std::string what = options_.all_values
                                 ? "Delete all values under the registry key " + full_name
                                 : "Delete the registry value " +
                                       (options_.value_name->empty() ? std::string("(Default)") : *options_.value_name);
    if (!options_.force && !Confirm(in_, out_, what)) {
      registry_.CloseKey(key);
      out_ << "The operation was canceled by the user.\n";
      return 1;
    }
    if (options_.all_values) {
      std::vector<std::string> names;
      std::string name;
      for (DWORD index = 0; registry_.EnumValue(key, index, &name, nullptr, nullptr) == ERROR_SUCCESS; ++index) {
        names.push_back(name);
      }
      for (const std::string& each : names) {
        result = registry_.DeleteValue(key, each);
        if (result != ERROR_SUCCESS) break;
      }
    } else {
      result = registry_.DeleteValue(key, *options_.value_name);
    }
    registry_.CloseKey(key);
    return result == ERROR_SUCCESS ? Done() : Fail(ErrorText(result));
  }

  int Export() {
    const std::string& file = options_.positional[1];
    std::string text, message;
    const LONG result = ExportRegistryKey(registry_, root_, sub_key_, &text, &message);
    if (result != ERROR_SUCCESS) return Fail(message);
    if (!options_.force && std::ifstream(file).good() &&
        !Confirm(in_, out_, "File " + file + " already exists. Overwrite")) {
      out_ << "The operation was canceled by the user.\n";
      return 1;
    }
    std::ofstream stream(file, std::ios::binary | std::ios::trunc);
    stream << text;
    stream.close();
    if (!stream) return Fail("Cannot write the file " + file + ".");
    return Done();
  }

  int Import() {
    if (options_.positional.size() != 1) return Fail("Invalid syntax: import FILE.");
    std::ifstream stream(options_.positional[0], std::ios::binary);
    if (!stream) return Fail("Cannot open the file " + options_.positional[0] + ".");
    const std::string content((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
    std::string message;
    const LONG result = ImportRegistryFile(registry_, content, &message);
    if (result != ERROR_SUCCESS) return Fail("Error accessing the registry: " + message + ".");
    return Done();
  }

  TRegistry& registry_;
  std::istream& in_;
  std::ostream& out_;
  std::ostream& err_;
  Options options_;
  HKEY root_ = nullptr;
  std::string sub_key_;
};

}  // namespace

int RunRegCommand(TRegistry& registry, const std::vector<std::string>& args, std::istream& in, std::ostream& out,
                  std::ostream& err) {
  return Command(registry, in, out, err).Run(args);
}

}  // namespace corvid::win
