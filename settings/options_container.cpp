#include "settings/options_container.h"

#include <charconv>

#include "platform/win/ascii_case.h"
#include "platform/win/ini_text.h"
#include "platform/win/profile_files.h"
#include "platform/win/registry.h"
#include "settings/blowfish_tools.h"

namespace corvid::settings {
namespace {

constexpr char kIniSection[] = "Options";
// GetPrivateProfileString's buffer for one value, in bytes.
constexpr win::DWORD kIniValueBufferSize = 65535;

bool ParseInteger(std::string_view text, int32_t* value) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty() || text.front() == '+') return false;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, *value);
  return error == std::errc() && stop == end;
}

std::string DwordBytes(int32_t value) {
  const auto bits = static_cast<uint32_t>(value);
  return {static_cast<char>(bits & 0xFF), static_cast<char>((bits >> 8) & 0xFF),
          static_cast<char>((bits >> 16) & 0xFF), static_cast<char>(bits >> 24)};
}

int32_t DwordValue(const std::string& bytes) {
  uint32_t bits = 0;
  for (int i = 3; i >= 0; --i) bits = bits << 8 | static_cast<unsigned char>(bytes[static_cast<size_t>(i)]);
  return static_cast<int32_t>(bits);
}

std::string ReplaceAll(std::string text, std::string_view from, std::string_view to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

// The base key without its trailing backslash, then `key_path` ("\S1\S2" or
// "") below it.
std::string JoinKey(std::string_view base, std::string_view key_path) {
  if (!base.empty() && base.back() == '\\') base.remove_suffix(1);
  if (base.empty() && !key_path.empty() && key_path.front() == '\\') key_path.remove_prefix(1);
  return std::string(base) + std::string(key_path);
}

}  // namespace

// Holds the container's lock for one operation; when the outermost operation
// of the thread ends, releases the lock and then runs the events it queued.
class TOptionsContainer::Guard {
 public:
  explicit Guard(TOptionsContainer& container) : container_(container), lock_(container.mutex_) {
    ++container_.depth_;
  }
  ~Guard() {
    if (--container_.depth_ > 0 || container_.FPendingEvents.empty()) return;
    std::vector<std::function<void()>> events;
    events.swap(container_.FPendingEvents);
    lock_.unlock();
    for (auto& event : events) event();
  }
  Guard(const Guard&) = delete;
  Guard& operator=(const Guard&) = delete;

 private:
  TOptionsContainer& container_;
  std::unique_lock<std::recursive_mutex> lock_;
};

void TEntry::SetValue(TValue value) {
  if (value.index() == value_.index() && value == value_) return;
  value_ = std::move(value);
  ++FVersion;
  if (OnChange) OnChange(*this, true);
}

std::string TEntry::ValueName() const {
  const size_t separator = path_.find_last_of("\\:");
  return separator == std::string::npos ? path_ : path_.substr(separator + 1);
}

std::string TEntry::KeyPath() const {
  const size_t separator = path_.find_last_of("\\:");
  if (separator == std::string::npos || separator == 0) return std::string();
  return "\\" + path_.substr(0, separator);
}

std::string TEntry::AsText() const {
  if (const auto* number = std::get_if<int32_t>(&value_)) return std::to_string(*number);
  if (const auto* text = std::get_if<std::string>(&value_)) return *text;
  return std::string();
}

TOptionsContainer::~TOptionsContainer() = default;

TEntry* TOptionsContainer::FindLocked(std::string_view path) const {
  for (const auto& entry : FEntries) {
    if (win::EqualsIgnoreAsciiCase(entry->path_, path)) return entry.get();
  }
  return nullptr;
}

TEntry& TOptionsContainer::Append(std::string_view path) {
  auto entry = std::make_unique<TEntry>();
  entry->path_ = std::string(path);
  entry->OnChange = [this](TEntry&, bool changed) {
    if (changed) SetModified(true);
  };
  FEntries.push_back(std::move(entry));
  return *FEntries.back();
}

TEntry* TOptionsContainer::FindEntry(std::string_view path) {
  Guard guard(*this);
  return FindLocked(path);
}

void TOptionsContainer::Clear() {
  Guard guard(*this);
  FEntries.clear();
}

bool TOptionsContainer::Modified() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return FModified;
}

void TOptionsContainer::SetModified(bool modified) {
  Guard guard(*this);
  SetModifiedLocked(modified);
}

void TOptionsContainer::SetModifiedLocked(bool modified) {
  if (modified == FModified) return;
  FModified = modified;
  FPendingEvents.push_back([this, modified] {
    if (OnModifiedChange) OnModifiedChange(*this, modified);
  });
}

int TOptionsContainer::Count() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return static_cast<int>(FEntries.size());
}

void TOptionsContainer::Delete(std::string_view path) {
  Guard guard(*this);
  for (auto it = FEntries.begin(); it != FEntries.end(); ++it) {
    if (win::EqualsIgnoreAsciiCase((*it)->path_, path)) {
      FEntries.erase(it);
      return;
    }
  }
}

std::vector<std::string> TOptionsContainer::Paths() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  std::vector<std::string> paths;
  for (const auto& entry : FEntries) paths.push_back(entry->path_);
  return paths;
}

int32_t TOptionsContainer::ReadInteger(std::string_view path, int32_t default_value, bool decrypt, bool create) {
  Guard guard(*this);
  const TEntry* entry = FindLocked(path);
  if (entry == nullptr) {
    if (create) WriteInteger(path, default_value, decrypt);
    return default_value;
  }
  if (const auto* number = std::get_if<int32_t>(&entry->value_)) return *number;
  if (const auto* text = std::get_if<std::string>(&entry->value_)) {
    int32_t parsed;
    return ParseInteger(decrypt ? DecryptString(*text) : *text, &parsed) ? parsed : default_value;
  }
  return default_value;
}

bool TOptionsContainer::ReadBool(std::string_view path, bool default_value, bool decrypt, bool create) {
  Guard guard(*this);
  const TEntry* entry = FindLocked(path);
  if (entry == nullptr) {
    if (create) WriteBool(path, default_value, decrypt);
    return default_value;
  }
  if (const auto* number = std::get_if<int32_t>(&entry->value_)) return *number == 1;
  if (const auto* text = std::get_if<std::string>(&entry->value_)) {
    int32_t parsed;
    return ParseInteger(decrypt ? DecryptString(*text) : *text, &parsed) ? parsed == 1 : default_value;
  }
  return default_value;
}

std::string TOptionsContainer::ReadString(std::string_view path, std::string_view default_value, bool decrypt,
                                          bool create) {
  Guard guard(*this);
  const TEntry* entry = FindLocked(path);
  if (entry == nullptr) {
    if (create) WriteString(path, default_value, decrypt);
    return std::string(default_value);
  }
  if (const auto* number = std::get_if<int32_t>(&entry->value_)) return std::to_string(*number);
  if (const auto* text = std::get_if<std::string>(&entry->value_)) return decrypt ? DecryptString(*text) : *text;
  return std::string(default_value);
}

void TOptionsContainer::WriteValueLocked(std::string_view path, TValue value, bool encrypt) {
  TEntry* entry = FindLocked(path);
  if (entry == nullptr) entry = &Append(path);
  entry->path_ = std::string(path);
  entry->encrypted_ = encrypt;
  if (encrypt) {
    const std::string clear = std::holds_alternative<int32_t>(value) ? std::to_string(std::get<int32_t>(value))
                                                                     : std::get<std::string>(value);
    value = EncryptString(clear);
  }
  entry->SetValue(std::move(value));
}

void TOptionsContainer::WriteInteger(std::string_view path, int32_t value, bool encrypt) {
  Guard guard(*this);
  WriteValueLocked(path, value, encrypt);
}

void TOptionsContainer::WriteBool(std::string_view path, bool value, bool encrypt) {
  Guard guard(*this);
  WriteValueLocked(path, int32_t{value ? 1 : 0}, encrypt);
}

void TOptionsContainer::WriteString(std::string_view path, std::string_view value, bool encrypt) {
  Guard guard(*this);
  WriteValueLocked(path, std::string(value), encrypt);
}

int32_t TOptionsContainer::Increment(std::string_view path, int32_t default_value, bool encrypt, int32_t delta) {
  Guard guard(*this);
  const bool created = FindLocked(path) == nullptr;
  const int32_t sum = static_cast<int32_t>(
      static_cast<uint32_t>(ReadInteger(path, default_value, encrypt, true)) + static_cast<uint32_t>(delta));
  TEntry* entry = FindLocked(path);
  const uint64_t version = created ? 0 : entry->FVersion;
  WriteInteger(path, sum, encrypt);
  if (!encrypt) {
    // A count, not a value: saved as an increment of what is stored then.
    entry->FVersion = version;
    entry->FDelta = static_cast<int32_t>(static_cast<uint32_t>(entry->FDelta) + static_cast<uint32_t>(delta));
  }
  return sum;
}

void TOptionsContainer::Assign(const TOptionsContainer& source) {
  if (&source == this) return;
  struct Copy {
    TValue value;
    std::string path;
    bool encrypted;
  };
  std::vector<Copy> copies;
  bool source_modified;
  {
    std::lock_guard<std::recursive_mutex> lock(source.mutex_);
    for (const auto& entry : source.FEntries) copies.push_back({entry->value_, entry->path_, entry->encrypted_});
    source_modified = source.FModified;
  }
  Guard guard(*this);
  std::vector<std::unique_ptr<TEntry>> old;
  old.swap(FEntries);
  for (Copy& copy : copies) {
    TEntry& entry = Append(copy.path);
    // What this container already held stays as it stood; anything else is
    // a change to be saved.
    entry.FVersion = 1;
    for (const auto& before : old) {
      if (before != nullptr && win::EqualsIgnoreAsciiCase(before->path_, copy.path) &&
          before->value_.index() == copy.value.index() && before->value_ == copy.value) {
        entry.FVersion = before->FVersion;
        entry.FDelta = before->FDelta;
        entry.FSavedVersion = before->FSavedVersion;
        entry.FSavedDelta = before->FSavedDelta;
        break;
      }
    }
    entry.value_ = std::move(copy.value);
    entry.encrypted_ = copy.encrypted;
  }
  SetModifiedLocked(source_modified);
}

void TOptionsContainer::LoadFromRegistry(win::HKEY root, std::string_view key) {
  Guard guard(*this);
  FEntries.clear();
  const std::string base = JoinKey(key, "");
  std::shared_ptr<win::TRegistry> registry;
  try {
    registry = win::CurrentRegistry();
  } catch (const std::exception&) {
    FModified = false;
    return;
  }

  // Walks one key; false ends the whole walk. Keys are opened for reading:
  // machine-wide settings must load for users who may not change them.
  std::function<bool(const std::string&)> walk = [&](const std::string& relative) {
    win::HKEY handle = nullptr;
    const std::string full = relative.empty() ? base : JoinKey(base, "\\" + relative);
    if (registry->OpenKey(root, full, win::KEY_READ, &handle) != win::ERROR_SUCCESS) return false;
    bool ok = true;
    for (win::DWORD index = 0;; ++index) {
      std::string name, data;
      win::DWORD type = win::REG_NONE;
      const win::LONG result = registry->EnumValue(handle, index, &name, &type, &data);
      if (result == win::ERROR_NO_MORE_ITEMS) break;
      if (result != win::ERROR_SUCCESS) {
        ok = false;
        break;
      }
      TValue value;
      if (type == win::REG_SZ) {
        value = data.substr(0, data.find('\0'));
      } else if (type == win::REG_DWORD && data.size() == 4) {
        value = DwordValue(data);
      } else {
        continue;  // other types belong to someone else; a short DWORD is not ours to guess
      }
      Append(relative.empty() ? name : relative + "\\" + name).SetValue(std::move(value));
    }
    std::vector<std::string> subkeys;
    for (win::DWORD index = 0; ok; ++index) {
      std::string name;
      const win::LONG result = registry->EnumKey(handle, index, &name);
      if (result == win::ERROR_NO_MORE_ITEMS) break;
      if (result != win::ERROR_SUCCESS) ok = false;
      if (ok) subkeys.push_back(name);
    }
    registry->CloseKey(handle);
    for (const std::string& subkey : subkeys) {
      if (!ok) break;
      ok = walk(relative.empty() ? subkey : relative + "\\" + subkey);
    }
    return ok;
  };
  walk(std::string());
  for (const auto& entry : FEntries) entry->FVersion = 0;  // as loaded: nothing to write back
  FModified = false;
}

void TOptionsContainer::SaveToRegistry(win::HKEY root, std::string_view key) {
  Guard guard(*this);
  FModified = false;
  std::shared_ptr<win::TRegistry> registry;
  try {
    registry = win::CurrentRegistry();
  } catch (const std::exception&) {
    return;
  }
  const std::string place = std::string(win::RootKeyName(root)) + "\\" + JoinKey(key, "");
  for (const auto& entry : FEntries) {
    const bool changed = entry->FVersion > entry->FSavedVersion[place];
    const int32_t pending =
        static_cast<int32_t>(static_cast<uint32_t>(entry->FDelta) - static_cast<uint32_t>(entry->FSavedDelta[place]));
    if (!changed && pending == 0) continue;
    win::HKEY handle = nullptr;
    if (registry->CreateKey(root, JoinKey(key, entry->KeyPath()), win::KEY_ALL_ACCESS, &handle, nullptr) !=
        win::ERROR_SUCCESS) {
      return;
    }
    win::LONG result = win::ERROR_SUCCESS;
    if (const auto* number = std::get_if<int32_t>(&entry->value_)) {
      if (changed) {
        result = registry->SetValue(handle, entry->ValueName(), win::REG_DWORD, DwordBytes(*number));
      } else {
        // Only counted: add the count to what is stored now, which another
        // process may have counted up meanwhile.
        const int32_t base =
            static_cast<int32_t>(static_cast<uint32_t>(*number) - static_cast<uint32_t>(pending));
        result = registry->AddToDword(handle, entry->ValueName(), pending, base, nullptr);
      }
    } else if (const auto* text = std::get_if<std::string>(&entry->value_)) {
      result = registry->SetValue(handle, entry->ValueName(), win::REG_SZ, *text + '\0');
    }
    registry->CloseKey(handle);
    if (result != win::ERROR_SUCCESS) return;
    entry->FSavedVersion[place] = entry->FVersion;
    entry->FSavedDelta[place] = entry->FDelta;
  }
}

void TOptionsContainer::LoadFromIniFile(const std::string& file_name) {
  Guard guard(*this);
  FEntries.clear();
  try {
    const auto names = win::CurrentProfileFiles()->ReadKeyNames(win::ProfilePath(file_name), kIniSection);
    if (names) {
      std::vector<char> buffer(kIniValueBufferSize);
      for (const std::string& name : *names) {
        const win::DWORD length = win::GetPrivateProfileString(kIniSection, name.c_str(), "", buffer.data(),
                                                               kIniValueBufferSize, file_name.c_str());
        TEntry& entry = Append(name);
        entry.value_ = ReplaceAll(std::string(buffer.data(), length), "\t", "\r\n");
        entry.FVersion = 1;  // not in the registry as far as this file knows
      }
    }
  } catch (const std::exception&) {
    // What was read stays.
  }
  FModified = false;
}

void TOptionsContainer::SaveToIniFile(const std::string& file_name) {
  Guard guard(*this);
  FModified = false;
  if (!win::WritePrivateProfileString(kIniSection, nullptr, nullptr, file_name.c_str())) return;
  for (const auto& entry : FEntries) {
    // A path the INI layout cannot hold would come back as another setting.
    if (!win::ini::IsValidKeyName(entry->path_)) continue;
    // Every line break becomes a tab, a lone CR or LF too: left raw it would
    // end the line and the rest of the value would read as a setting.
    std::string value = ReplaceAll(entry->AsText(), "\r\n", "\t");
    for (char& c : value) {
      if (c == '\r' || c == '\n') c = '\t';
    }
    if (!win::WritePrivateProfileString(kIniSection, entry->path_.c_str(), value.c_str(), file_name.c_str())) return;
  }
}

}  // namespace corvid::settings
