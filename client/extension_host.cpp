#include "client/extension_host.h"

#include "platform/win/module.h"
#include "platform/win/registry.h"

namespace corvid::client {
using namespace mapi;

void TExtensionHost::LoadFromRegistry(std::ostream& warnings) {
  win::HKEY key = nullptr;
  if (win::RegOpenKeyEx(win::HKEY_LOCAL_MACHINE, kExtensionsKey, 0, win::KEY_READ, &key) != win::ERROR_SUCCESS) {
    return;  // no extensions registered
  }
  // Read all values first: an extension may write the key while it loads.
  std::vector<std::pair<std::string, std::string>> values;
  for (win::DWORD index = 0;; ++index) {
    char name[16384];
    win::DWORD name_size = sizeof name;
    win::DWORD type = 0;
    win::DWORD data_size = 0;
    const win::LONG sized = win::RegEnumValue(key, index, name, &name_size, nullptr, &type, nullptr, &data_size);
    if (sized != win::ERROR_SUCCESS) break;
    std::string data(data_size, '\0');
    name_size = sizeof name;
    if (win::RegEnumValue(key, index, name, &name_size, nullptr, &type, reinterpret_cast<win::BYTE*>(data.data()),
                          &data_size) != win::ERROR_SUCCESS) {
      break;
    }
    data.resize(data_size);
    if (type != win::REG_SZ && type != win::REG_EXPAND_SZ) continue;
    values.emplace_back(std::string(name, name_size), data);
  }
  win::RegCloseKey(key);

  for (const auto& [name, data] : values) {
    std::string problem;
    const std::optional<TExtensionEntry> entry = ParseExtensionEntry(data, &problem);
    if (!entry) {
      warnings << "corvid: skipping extension \"" << name << "\": " << problem << "\n";
      continue;
    }
    Load(name, *entry, warnings);
  }
}

void TExtensionHost::Load(const std::string& name, const TExtensionEntry& entry, std::ostream& warnings) {
  if (entry.contexts.none()) return;  // asks for nothing: never loaded
  win::HMODULE library = win::LoadLibrary(entry.library);
  if (library == nullptr) {
    warnings << "corvid: skipping extension \"" << name << "\": cannot load " << entry.library << "\n";
    return;
  }
  const char* point = entry.entry_ordinal != 0 ? win::MAKEINTRESOURCEA(static_cast<win::WORD>(entry.entry_ordinal))
                                               : entry.entry_name.c_str();
  auto function = reinterpret_cast<exchange::LPFNEXCHEXTENTRY>(win::GetProcAddress(library, point));
  if (function == nullptr) {
    warnings << "corvid: skipping extension \"" << name << "\": " << entry.library << " has no entry point "
             << (entry.entry_ordinal != 0 ? "#" + std::to_string(entry.entry_ordinal) : entry.entry_name) << "\n";
    win::FreeLibrary(library);
    return;
  }
  libraries_.push_back(library);
  // The task context first: it spans the client's life, as it does in the
  // client, so an extension that shares one object between contexts keeps
  // it alive through the contexts it declines (the session context).
  std::vector<ULONG> order = {static_cast<ULONG>(kContextCount)};
  for (ULONG context = 1; context < static_cast<ULONG>(kContextCount); ++context) order.push_back(context);
  for (const ULONG context : order) {
    if (!entry.contexts[context - 1]) continue;
    exchange::IExchExt* extension = nullptr;
    try {
      extension = function();
    } catch (...) {
      extension = nullptr;
    }
    if (extension == nullptr) continue;
    HRESULT result = E_FAIL;
    try {
      result = extension->Install(CallbackFor(context), context, 0);
    } catch (...) {
      result = E_FAIL;
    }
    if (result == S_OK) {
      installed_.push_back({context, extension});
      if (OnInstalled) OnInstalled(context, extension, CallbackFor(context));
    } else {
      extension->Release();
    }
  }
}

TClientCallback* TExtensionHost::CallbackFor(ULONG context) {
  for (TClientCallback* callback : callbacks_) {
    if (callback->Context() == context) return callback;
  }
  callbacks_.push_back(factory_(context));
  return callbacks_.back();
}

std::vector<exchange::IExchExt*> TExtensionHost::Installed(ULONG context) const {
  std::vector<exchange::IExchExt*> out;
  for (const TInstalled& item : installed_) {
    if (item.context == context) out.push_back(item.extension);
  }
  return out;
}

void TExtensionHost::Unload() {
  // Last context first, as windows close before the session ends.
  for (auto it = installed_.rbegin(); it != installed_.rend(); ++it) it->extension->Release();
  installed_.clear();
  for (TClientCallback* callback : callbacks_) callback->Release();
  callbacks_.clear();
  for (win::HMODULE library : libraries_) win::FreeLibrary(library);
  libraries_.clear();
}

}  // namespace corvid::client
