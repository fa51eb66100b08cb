#include "platform/win/module.h"

#include <dlfcn.h>
#include <link.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "platform/win/ascii_case.h"

namespace corvid::win {

namespace fs = std::filesystem;

namespace {

thread_local std::string t_loader_error;

// The dlopen handles behind LoadLibrary's references, by module.
std::mutex g_mutex;
std::map<HMODULE, std::vector<void*>> g_loaded;

struct LoadedModule {
  HMODULE base;
  std::string path;  // empty for the program
};

struct Segment {
  std::string name;
  const void* address;
};

int CollectSegment(struct dl_phdr_info* info, size_t, void* data) {
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    if (info->dlpi_phdr[i].p_type != PT_LOAD) continue;
    auto* out = static_cast<std::vector<Segment>*>(data);
    out->push_back({info->dlpi_name ? info->dlpi_name : "",
                    reinterpret_cast<const void*>(info->dlpi_addr + info->dlpi_phdr[i].p_vaddr)});
    break;
  }
  return 0;
}

std::string ProgramPath() {
  std::error_code error;
  fs::path path = fs::read_symlink("/proc/self/exe", error);
  return error ? std::string() : path.string();
}

// Every loaded module, the program first. The loader's own lock is held
// during dl_iterate_phdr, so the addresses are resolved after it returns.
std::vector<LoadedModule> LoadedModules() {
  std::vector<Segment> segments;
  dl_iterate_phdr(CollectSegment, &segments);
  std::vector<LoadedModule> modules;
  bool first = true;
  for (const Segment& segment : segments) {
    const bool program = first;
    first = false;
    if (!program && segment.name.find('/') == std::string::npos) continue;  // the vDSO
    Dl_info info{};
    if (dladdr(segment.address, &info) == 0 || info.dli_fbase == nullptr) continue;
    std::string path;
    if (!program) {
      std::error_code error;
      path = fs::absolute(segment.name, error).string();
      if (error) path = segment.name;
    }
    modules.push_back({static_cast<HMODULE>(info.dli_fbase), std::move(path)});
  }
  return modules;
}

std::string PathOf(const LoadedModule& module) { return module.path.empty() ? ProgramPath() : module.path; }

HMODULE BaseOfHandle(void* handle) {
  struct link_map* map = nullptr;
  if (dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr) return nullptr;
  Dl_info info{};
  if (dladdr(map->l_ld, &info) == 0) return nullptr;
  return static_cast<HMODULE>(info.dli_fbase);
}

std::string FileNameOf(const std::string& path) { return fs::path(path).filename().string(); }

// `name` in `directory`: the exact name, else one that differs in case only.
std::optional<fs::path> FindInDirectory(const fs::path& directory, const std::string& name) {
  std::error_code error;
  fs::path exact = directory / name;
  if (fs::is_regular_file(exact, error)) return exact;
  for (fs::directory_iterator it(directory, error), end; !error && it != end; it.increment(error)) {
    if (EqualsIgnoreAsciiCase(it->path().filename().string(), name) && it->is_regular_file(error)) {
      return it->path();
    }
  }
  return std::nullopt;
}

HMODULE Open(const fs::path& path) {
  std::error_code error;
  const fs::path absolute = fs::absolute(path, error);
  void* handle = dlopen((error ? path : absolute).c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* message = dlerror();
    t_loader_error = message ? message : "the module does not load";
    SetLastError(ERROR_BAD_EXE_FORMAT);
    return nullptr;
  }
  HMODULE base = BaseOfHandle(handle);
  if (base == nullptr) {
    dlclose(handle);
    t_loader_error = "the module's address is unknown";
    SetLastError(ERROR_BAD_EXE_FORMAT);
    return nullptr;
  }
  std::lock_guard lock(g_mutex);
  g_loaded[base].push_back(handle);
  return base;
}

HMODULE NotFound(std::string_view name) {
  t_loader_error = "no module file " + std::string(name);
  SetLastError(ERROR_MOD_NOT_FOUND);
  return nullptr;
}

std::string WithSlashes(std::string_view name) {
  std::string out(name);
  std::replace(out.begin(), out.end(), '\\', '/');
  return out;
}

}  // namespace

HMODULE LoadLibraryNear(const void* address_in_caller, std::string_view file_name) {
  const std::string name = WithSlashes(file_name);
  if (name.empty() || name.back() == '/') return NotFound(file_name);
  if (name.find('/') != std::string::npos) {
    const fs::path path(name);
    auto found = FindInDirectory(path.parent_path().empty() ? fs::path(".") : path.parent_path(),
                                 path.filename().string());
    return found ? Open(*found) : NotFound(file_name);
  }
  for (const LoadedModule& module : LoadedModules()) {
    if (!module.path.empty() && EqualsIgnoreAsciiCase(FileNameOf(module.path), name)) return Open(module.path);
  }
  std::vector<fs::path> folders;
  const std::string caller_path = ModuleFileName(ModuleOfAddress(address_in_caller));
  if (!caller_path.empty()) folders.push_back(fs::path(caller_path).parent_path());
  const std::string program = ProgramPath();
  if (!program.empty()) folders.push_back(fs::path(program).parent_path());
  folders.push_back(".");
  for (const fs::path& folder : folders) {
    if (auto found = FindInDirectory(folder, name)) return Open(*found);
  }
  return NotFound(file_name);
}

HMODULE LoadLibraryFrom(const fs::path& directory, std::string_view file_name) {
  const std::string name = WithSlashes(file_name);
  if (name.empty() || name.find('/') != std::string::npos) return NotFound(file_name);
  auto found = FindInDirectory(directory, name);
  return found ? Open(*found) : NotFound(file_name);
}

BOOL FreeLibrary(HMODULE module) {
  void* handle = nullptr;
  {
    std::lock_guard lock(g_mutex);
    auto it = g_loaded.find(module);
    if (it == g_loaded.end()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return 0;
    }
    handle = it->second.back();
    it->second.pop_back();
    if (it->second.empty()) g_loaded.erase(it);
  }
  dlclose(handle);
  return 1;
}

FARPROC GetProcAddress(HMODULE module, const char* proc_name) {
  if (proc_name == nullptr) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  std::string symbol = IS_INTRESOURCE(proc_name)
                           ? "ordinal_" + std::to_string(reinterpret_cast<uintptr_t>(proc_name))
                           : std::string(proc_name);
  // A handle of our own when LoadLibrary made one; else a passing one, which
  // keeps the module loaded while we look.
  void* handle = nullptr;
  bool borrowed = false;
  {
    std::lock_guard lock(g_mutex);
    auto it = g_loaded.find(module);
    if (it != g_loaded.end()) handle = it->second.back();
  }
  if (handle == nullptr) {
    const std::vector<LoadedModule> modules = LoadedModules();
    auto it = std::find_if(modules.begin(), modules.end(), [&](const LoadedModule& m) { return m.base == module; });
    if (it == modules.end()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return nullptr;
    }
    handle = it->path.empty() ? dlopen(nullptr, RTLD_NOW) : dlopen(it->path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr) {
      SetLastError(ERROR_INVALID_HANDLE);
      return nullptr;
    }
    borrowed = true;
  }
  void* address = dlsym(handle, symbol.c_str());
  // dlsym also searches the module's dependencies; Windows does not.
  if (address != nullptr && ModuleOfAddress(address) != module) address = nullptr;
  if (borrowed) dlclose(handle);
  if (address == nullptr) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  return reinterpret_cast<FARPROC>(address);
}

HMODULE GetModuleHandle(const char* module_name) {
  const std::vector<LoadedModule> modules = LoadedModules();
  if (module_name == nullptr) return modules.empty() ? nullptr : modules.front().base;
  const std::string name = WithSlashes(module_name);
  for (const LoadedModule& module : modules) {
    const std::string path = PathOf(module);
    const bool match = name.find('/') != std::string::npos ? path == name : EqualsIgnoreAsciiCase(FileNameOf(path), name);
    if (match) return module.base;
  }
  SetLastError(ERROR_MOD_NOT_FOUND);
  return nullptr;
}

HMODULE ModuleOfAddress(const void* address) {
  Dl_info info{};
  if (address == nullptr || dladdr(address, &info) == 0) return nullptr;
  return static_cast<HMODULE>(info.dli_fbase);
}

std::string ModuleFileName(HMODULE module_or_null) {
  if (module_or_null == nullptr) return ProgramPath();
  for (const LoadedModule& module : LoadedModules()) {
    if (module.base == module_or_null) return PathOf(module);
  }
  SetLastError(ERROR_INVALID_HANDLE);
  return {};
}

DWORD GetModuleFileName(HMODULE module_or_null, char* buffer, DWORD size) {
  const std::string path = ModuleFileName(module_or_null);
  if (path.empty() || buffer == nullptr || size == 0) {
    if (!path.empty()) SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  if (path.size() >= size) {
    std::memcpy(buffer, path.data(), size - 1);
    buffer[size - 1] = '\0';
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
  }
  std::memcpy(buffer, path.data(), path.size() + 1);
  return static_cast<DWORD>(path.size());
}

std::string LoaderError() { return t_loader_error; }

}  // namespace corvid::win
