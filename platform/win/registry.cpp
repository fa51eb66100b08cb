#include "platform/win/registry.h"

#include <cstring>
#include <mutex>

#include "platform/win/machine.h"
#include "platform/win/sqlite_registry.h"

namespace corvid::win {
namespace {

std::mutex current_mutex;
std::shared_ptr<TRegistry> override_registry;
std::shared_ptr<TRegistry> machine_registry;
std::filesystem::path machine_registry_root;

std::shared_ptr<TRegistry> MachineRegistry() {
  const std::filesystem::path root = MachineRoot();
  if (machine_registry && machine_registry_root == root) return machine_registry;
  std::vector<TSqliteRegistry::TSeedValue> seeds;
  std::string program_files = ProgramFilesDirectory().string();
  program_files.push_back('\0');
  seeds.push_back({HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion", "ProgramFilesDir", REG_SZ,
                   program_files});
  machine_registry = std::make_shared<TSqliteRegistry>(RegistryDirectory(), std::move(seeds));
  machine_registry_root = root;
  return machine_registry;
}

// Copies `text` and its closing zero into a caller's buffer of `*size` bytes.
LONG CopyName(const std::string& text, char* buffer, DWORD* size) {
  if (buffer == nullptr || size == nullptr) return ERROR_INVALID_PARAMETER;
  if (text.size() + 1 > *size) return ERROR_MORE_DATA;
  std::memcpy(buffer, text.c_str(), text.size() + 1);
  *size = static_cast<DWORD>(text.size());
  return ERROR_SUCCESS;
}

LONG CopyData(const std::string& bytes, BYTE* buffer, DWORD* size) {
  if (size == nullptr) return buffer == nullptr ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER;
  const DWORD needed = static_cast<DWORD>(bytes.size());
  if (buffer != nullptr) {
    if (needed > *size) {
      *size = needed;
      return ERROR_MORE_DATA;
    }
    std::memcpy(buffer, bytes.data(), bytes.size());
  }
  *size = needed;
  return ERROR_SUCCESS;
}

std::string_view OrEmpty(const char* text) { return text != nullptr ? std::string_view(text) : std::string_view(); }

}  // namespace

LONG TForwardingRegistry::OpenKey(HKEY parent, std::string_view sub_key, REGSAM access, HKEY* result) {
  return target_.OpenKey(parent, sub_key, access, result);
}
LONG TForwardingRegistry::CreateKey(HKEY parent, std::string_view sub_key, REGSAM access, HKEY* result,
                                    DWORD* disposition) {
  return target_.CreateKey(parent, sub_key, access, result, disposition);
}
LONG TForwardingRegistry::CloseKey(HKEY key) { return target_.CloseKey(key); }
LONG TForwardingRegistry::EnumKey(HKEY key, DWORD index, std::string* name) {
  return target_.EnumKey(key, index, name);
}
LONG TForwardingRegistry::EnumValue(HKEY key, DWORD index, std::string* name, DWORD* type, std::string* data) {
  return target_.EnumValue(key, index, name, type, data);
}
LONG TForwardingRegistry::QueryValue(HKEY key, std::string_view name, DWORD* type, std::string* data) {
  return target_.QueryValue(key, name, type, data);
}
LONG TForwardingRegistry::SetValue(HKEY key, std::string_view name, DWORD type, std::string_view data) {
  return target_.SetValue(key, name, type, data);
}
LONG TForwardingRegistry::AddToDword(HKEY key, std::string_view name, int32_t delta, int32_t base, int32_t* result) {
  return target_.AddToDword(key, name, delta, base, result);
}
LONG TForwardingRegistry::DeleteValue(HKEY key, std::string_view name) { return target_.DeleteValue(key, name); }

LONG TRegistry::AddToDword(HKEY key, std::string_view name, int32_t delta, int32_t base, int32_t* result) {
  DWORD type = REG_NONE;
  std::string data;
  const LONG found = QueryValue(key, name, &type, &data);
  if (found != ERROR_SUCCESS && found != ERROR_FILE_NOT_FOUND) return found;
  const int32_t sum = AddedDword(found == ERROR_SUCCESS && type == REG_DWORD ? std::optional(data) : std::nullopt,
                                 delta, base);
  const LONG set = SetValue(key, name, REG_DWORD, std::string_view(reinterpret_cast<const char*>(&sum), sizeof sum));
  if (set == ERROR_SUCCESS && result != nullptr) *result = sum;
  return set;
}

int32_t AddedDword(const std::optional<std::string>& stored, int32_t delta, int32_t base) {
  uint32_t value = static_cast<uint32_t>(base);
  if (stored && stored->size() == sizeof value) std::memcpy(&value, stored->data(), sizeof value);
  return static_cast<int32_t>(value + static_cast<uint32_t>(delta));
}
LONG TForwardingRegistry::DeleteKey(HKEY parent, std::string_view sub_key) {
  return target_.DeleteKey(parent, sub_key);
}
LONG TForwardingRegistry::DeleteTree(HKEY parent, std::string_view sub_key) {
  return target_.DeleteTree(parent, sub_key);
}

std::shared_ptr<TRegistry> CurrentRegistry() {
  std::lock_guard<std::mutex> lock(current_mutex);
  if (override_registry) return override_registry;
  return MachineRegistry();
}

TRegistryOverride::TRegistryOverride(std::shared_ptr<TRegistry> registry) {
  std::lock_guard<std::mutex> lock(current_mutex);
  previous_ = std::move(override_registry);
  override_registry = std::move(registry);
}

TRegistryOverride::~TRegistryOverride() {
  std::lock_guard<std::mutex> lock(current_mutex);
  override_registry = std::move(previous_);
}

std::string_view RootKeyName(HKEY root) {
  if (root == HKEY_LOCAL_MACHINE) return "HKEY_LOCAL_MACHINE";
  if (root == HKEY_CURRENT_USER) return "HKEY_CURRENT_USER";
  return {};
}

LONG SplitKeyPath(std::string_view path, std::vector<std::string_view>* names) {
  names->clear();
  if (!path.empty() && path.back() == '\\') path.remove_suffix(1);
  if (path.empty()) return ERROR_SUCCESS;
  if (path.find('\0') != std::string_view::npos) return ERROR_INVALID_PARAMETER;
  size_t start = 0;
  while (true) {
    const size_t end = path.find('\\', start);
    const std::string_view name = path.substr(start, end == std::string_view::npos ? path.size() - start : end - start);
    if (name.empty()) return ERROR_BAD_PATHNAME;
    if (name.size() > kMaxKeyNameBytes || names->size() >= kMaxKeyDepth) return ERROR_INVALID_PARAMETER;
    names->push_back(name);
    if (end == std::string_view::npos) return ERROR_SUCCESS;
    start = end + 1;
  }
}

LONG CheckValueName(std::string_view name) {
  if (name.size() > kMaxValueNameBytes || name.find('\0') != std::string_view::npos) return ERROR_INVALID_PARAMETER;
  return ERROR_SUCCESS;
}

LONG RegOpenKeyEx(HKEY key, const char* sub_key, DWORD, REGSAM access, HKEY* result) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  return CurrentRegistry()->OpenKey(key, OrEmpty(sub_key), access, result);
}

LONG RegCreateKeyEx(HKEY key, const char* sub_key, DWORD, char*, DWORD, REGSAM access, const void*, HKEY* result,
                    DWORD* disposition) {
  if (sub_key == nullptr || result == nullptr) return ERROR_INVALID_PARAMETER;
  return CurrentRegistry()->CreateKey(key, sub_key, access, result, disposition);
}

LONG RegCloseKey(HKEY key) { return CurrentRegistry()->CloseKey(key); }

LONG RegEnumKeyEx(HKEY key, DWORD index, char* name, DWORD* name_size, DWORD*, char* class_name, DWORD* class_size,
                  FILETIME* last_write) {
  if (name == nullptr || name_size == nullptr) return ERROR_INVALID_PARAMETER;
  std::string found;
  LONG result = CurrentRegistry()->EnumKey(key, index, &found);
  if (result != ERROR_SUCCESS) return result;
  result = CopyName(found, name, name_size);
  if (result != ERROR_SUCCESS) return result;
  if (class_size != nullptr) {
    if (class_name != nullptr && *class_size > 0) class_name[0] = '\0';
    *class_size = 0;
  }
  if (last_write != nullptr) *last_write = FILETIME{0, 0};
  return ERROR_SUCCESS;
}

LONG RegEnumValue(HKEY key, DWORD index, char* name, DWORD* name_size, DWORD*, DWORD* type, BYTE* data,
                  DWORD* data_size) {
  if (name == nullptr || name_size == nullptr) return ERROR_INVALID_PARAMETER;
  if (data != nullptr && data_size == nullptr) return ERROR_INVALID_PARAMETER;
  std::string found_name, found_data;
  DWORD found_type = REG_NONE;
  LONG result = CurrentRegistry()->EnumValue(key, index, &found_name, &found_type, &found_data);
  if (result != ERROR_SUCCESS) return result;
  result = CopyName(found_name, name, name_size);
  if (result != ERROR_SUCCESS) return result;
  if (type != nullptr) *type = found_type;
  return CopyData(found_data, data, data_size);
}

LONG RegQueryValueEx(HKEY key, const char* value_name, DWORD*, DWORD* type, BYTE* data, DWORD* data_size) {
  if (data != nullptr && data_size == nullptr) return ERROR_INVALID_PARAMETER;
  std::string found_data;
  DWORD found_type = REG_NONE;
  const LONG result = CurrentRegistry()->QueryValue(key, OrEmpty(value_name), &found_type, &found_data);
  if (result != ERROR_SUCCESS) return result;
  if (type != nullptr) *type = found_type;
  return CopyData(found_data, data, data_size);
}

LONG RegSetValueEx(HKEY key, const char* value_name, DWORD, DWORD type, const BYTE* data, DWORD data_size) {
  if (data == nullptr && data_size != 0) return ERROR_INVALID_PARAMETER;
  const std::string_view bytes(reinterpret_cast<const char*>(data), data == nullptr ? 0 : data_size);
  return CurrentRegistry()->SetValue(key, OrEmpty(value_name), type, bytes);
}

LONG RegAddToDword(HKEY key, const char* value_name, int32_t delta, int32_t base, int32_t* result) {
  return CurrentRegistry()->AddToDword(key, OrEmpty(value_name), delta, base, result);
}

LONG RegDeleteValue(HKEY key, const char* value_name) {
  return CurrentRegistry()->DeleteValue(key, OrEmpty(value_name));
}

LONG RegDeleteKey(HKEY key, const char* sub_key) {
  if (sub_key == nullptr) return ERROR_INVALID_PARAMETER;
  return CurrentRegistry()->DeleteKey(key, sub_key);
}

LONG RegDeleteTree(HKEY key, const char* sub_key) { return CurrentRegistry()->DeleteTree(key, OrEmpty(sub_key)); }

}  // namespace corvid::win
