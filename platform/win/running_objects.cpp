#include "platform/win/running_objects.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <system_error>

#include "platform/win/machine.h"
#include "platform/win/registry.h"

namespace corvid::win {

namespace fs = std::filesystem;

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The start time of a live process (clock ticks after boot, field 22 of
// /proc/PID/stat), or nothing when no such process runs. A zombie counts as
// gone: it has ended and only waits for its parent.
std::optional<unsigned long long> ProcessStartTime(long pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!file || !std::getline(file, line)) return std::nullopt;
  const size_t close = line.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::istringstream fields(line.substr(close + 1));
  std::string field;
  unsigned long long start = 0;
  for (int index = 3; fields >> field; ++index) {
    if (index == 3 && (field == "Z" || field == "X")) return std::nullopt;
    if (index == 22) {
      start = std::stoull(field);
      return start;
    }
  }
  return std::nullopt;
}

fs::path RunDirectory() { return MachineRoot() / "run"; }

struct Registration {
  CLSID clsid;
  IUnknown* object;
  bool strong;
  fs::path file;
  pid_t pid;
};

// This copy's registrations. Its files are named after the process and this
// table's address, so two copies of this code in one process (a program and
// a library it loaded) never share a file name.
class Table {
 public:
  ~Table() {
    // Normal exit: the process no longer runs its objects. A child made by
    // fork inherits the table but not the registrations.
    std::error_code ignored;
    for (auto& [id, entry] : entries_) {
      if (entry.pid == ::getpid()) fs::remove(entry.file, ignored);
    }
  }
  std::mutex mutex;
  std::map<DWORD, Registration>& entries() { return entries_; }
  DWORD next_id = 1;

 private:
  std::map<DWORD, Registration> entries_;
};

Table& T() {
  static Table table;
  return table;
}

std::string Prefix() { return "rot-" + std::to_string(::getpid()) + "-"; }

bool WriteFileAtomically(const fs::path& file, const std::string& text) {
  std::error_code error;
  fs::create_directories(file.parent_path(), error);
  if (error) return false;
  const fs::path temporary = file.string() + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    if (!(out << text) || !out.flush()) {
      fs::remove(temporary, error);
      return false;
    }
  }
  fs::rename(temporary, file, error);
  if (error) fs::remove(temporary, error);
  return !error;
}

// A running object of another process (or of another copy of this code):
// there is nothing to call, only the fact that it runs.
class TRemoteObject final : public IUnknown {
 public:
  HRESULT QueryInterface(REFIID riid, void** out) override {
    if (out == nullptr) return E_INVALIDARG;
    if (riid == IID_IUnknown) {
      *out = static_cast<IUnknown*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++count_; }
  ULONG Release() override {
    const ULONG left = --count_;
    if (left == 0) delete this;
    return left;
  }

 private:
  ~TRemoteObject() = default;
  std::atomic<ULONG> count_{1};
};

// Whether a live process has registered `clsid`; removes the files of
// processes that are gone.
bool RegisteredByLiveProcess(const CLSID& clsid) {
  std::error_code error;
  bool found = false;
  for (fs::directory_iterator it(RunDirectory(), error), end; !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (name.rfind("rot-", 0) != 0 || name.size() < 4 || name.ends_with(".tmp")) continue;
    std::ifstream in(it->path());
    std::string clsid_text, key;
    long pid = 0;
    unsigned long long start = 0;
    std::string line;
    while (std::getline(in, line)) {
      const size_t equals = line.find('=');
      if (equals == std::string::npos) continue;
      key = line.substr(0, equals);
      const std::string value = line.substr(equals + 1);
      try {
        if (key == "clsid") clsid_text = value;
        if (key == "pid") pid = std::stol(value);
        if (key == "start") start = std::stoull(value);
      } catch (const std::exception&) {
        pid = 0;
      }
    }
    if (pid <= 0) continue;  // unreadable or being written: not evidence of anything
    const auto running_since = ProcessStartTime(pid);
    if (!running_since || *running_since != start) {
      std::error_code ignored;
      fs::remove(it->path(), ignored);
      continue;
    }
    CLSID registered{};
    if (CLSIDFromString(clsid_text.c_str(), &registered) == S_OK && registered == clsid) found = true;
  }
  return found;
}

}  // namespace

std::string StringFromCLSID(const CLSID& clsid) {
  char text[39];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", clsid.Data1, clsid.Data2,
                clsid.Data3, clsid.Data4[0], clsid.Data4[1], clsid.Data4[2], clsid.Data4[3], clsid.Data4[4],
                clsid.Data4[5], clsid.Data4[6], clsid.Data4[7]);
  return text;
}

HRESULT CLSIDFromString(const char* text, CLSID* clsid) {
  if (text == nullptr || clsid == nullptr) return E_INVALIDARG;
  // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}: 38 characters, dashes fixed.
  const std::string_view s(text);
  if (s.size() != 38 || s[0] != '{' || s[37] != '}' || s[9] != '-' || s[14] != '-' || s[19] != '-' ||
      s[24] != '-') {
    return CO_E_CLASSSTRING;
  }
  uint8_t bytes[16];
  static constexpr int kOffsets[16] = {1, 3, 5, 7, 10, 12, 15, 17, 20, 22, 25, 27, 29, 31, 33, 35};
  for (int i = 0; i < 16; ++i) {
    const int high = HexDigit(s[kOffsets[i]]), low = HexDigit(s[kOffsets[i] + 1]);
    if (high < 0 || low < 0) return CO_E_CLASSSTRING;
    bytes[i] = static_cast<uint8_t>(high << 4 | low);
  }
  CLSID out{};
  out.Data1 = uint32_t{bytes[0]} << 24 | uint32_t{bytes[1]} << 16 | uint32_t{bytes[2]} << 8 | bytes[3];
  out.Data2 = static_cast<uint16_t>(bytes[4] << 8 | bytes[5]);
  out.Data3 = static_cast<uint16_t>(bytes[6] << 8 | bytes[7]);
  for (int i = 0; i < 8; ++i) out.Data4[i] = bytes[8 + i];
  *clsid = out;
  return S_OK;
}

HRESULT CLSIDFromProgID(const char* prog_id, CLSID* clsid) {
  if (prog_id == nullptr || *prog_id == '\0' || clsid == nullptr) return E_INVALIDARG;
  auto registry = CurrentRegistry();
  const std::string path = std::string("Software\\Classes\\") + prog_id + "\\CLSID";
  for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
    HKEY key = nullptr;
    if (registry->OpenKey(root, path, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) continue;
    DWORD type = 0;
    std::string data;
    const LONG read = registry->QueryValue(key, "", &type, &data);
    registry->CloseKey(key);
    if (read != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) continue;
    // The stored text ends with its terminating zero.
    while (!data.empty() && data.back() == '\0') data.pop_back();
    return CLSIDFromString(data.c_str(), clsid);
  }
  return REGDB_E_CLASSNOTREG;
}

HRESULT RegisterActiveObject(IUnknown* object, const CLSID& clsid, DWORD flags, DWORD* registration) {
  if (object == nullptr || registration == nullptr) return E_INVALIDARG;
  // Registrations of processes killed since are swept as this one starts,
  // so the folder does not grow by one file per crash. The look-up removes
  // them; its answer does not matter here.
  RegisteredByLiveProcess(CLSID{});
  const auto start = ProcessStartTime(::getpid());
  if (!start) return E_FAIL;
  Table& table = T();
  std::lock_guard lock(table.mutex);
  const DWORD id = table.next_id++;
  char self[32];
  std::snprintf(self, sizeof self, "%zx-", reinterpret_cast<size_t>(&table));
  const fs::path file = RunDirectory() / (Prefix() + self + std::to_string(id));
  const std::string text = "clsid=" + StringFromCLSID(clsid) + "\npid=" + std::to_string(::getpid()) +
                           "\nstart=" + std::to_string(*start) + "\n";
  if (!WriteFileAtomically(file, text)) return E_FAIL;
  const bool strong = (flags & ACTIVEOBJECT_WEAK) == 0;
  if (strong) object->AddRef();
  table.entries().emplace(id, Registration{clsid, object, strong, file, ::getpid()});
  *registration = id;
  return S_OK;
}

HRESULT RevokeActiveObject(DWORD registration, void* reserved) {
  Registration entry;
  {
    Table& table = T();
    std::lock_guard lock(table.mutex);
    auto it = table.entries().find(registration);
    if (it == table.entries().end()) return E_INVALIDARG;
    entry = it->second;
    table.entries().erase(it);
  }
  std::error_code ignored;
  fs::remove(entry.file, ignored);
  if (entry.strong) entry.object->Release();
  return S_OK;
}

HRESULT GetActiveObject(const CLSID& clsid, void* reserved, IUnknown** object) {
  if (object == nullptr) return E_INVALIDARG;
  *object = nullptr;
  {
    Table& table = T();
    std::lock_guard lock(table.mutex);
    for (auto& [id, entry] : table.entries()) {
      if (entry.clsid == clsid) {
        entry.object->AddRef();
        *object = entry.object;
        return S_OK;
      }
    }
  }
  if (RegisteredByLiveProcess(clsid)) {
    *object = new TRemoteObject;
    return S_OK;
  }
  return MK_E_UNAVAILABLE;
}

}  // namespace corvid::win
