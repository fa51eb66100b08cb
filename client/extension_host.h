// Loads the extensions the registry names and keeps the ones that take part
// in a context, as the mail client does at start; gives everything back at
// the end.
#pragma once

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "client/callback.h"
#include "client/extension_entry.h"
#include "platform/exchange/exchange_interfaces.h"

namespace corvid::client {

class TExtensionHost {
 public:
  // Makes the callback of a context (one reference for the host).
  using TCallbackFactory = std::function<TClientCallback*(mapi::ULONG context)>;

  explicit TExtensionHost(TCallbackFactory factory) : factory_(std::move(factory)) {}
  ~TExtensionHost() { Unload(); }
  TExtensionHost(const TExtensionHost&) = delete;
  TExtensionHost& operator=(const TExtensionHost&) = delete;

  // Reads every value under kExtensionsKey of HKEY_LOCAL_MACHINE and loads
  // it: for each context its map asks for, task context first, then in context order, calls
  // the
  // entry point and Install; keeps the objects that answer S_OK and
  // releases the others at once. An entry that does not parse, a library
  // that is missing or fails to load, a missing entry point: one line on
  // `warnings`, and the next value.
  void LoadFromRegistry(std::ostream& warnings);
  // The same for one entry (value name for the warnings).
  void Load(const std::string& name, const TExtensionEntry& entry, std::ostream& warnings);

  // Run right after an extension took part in a context, as the client
  // then goes on with that context (an explorer adds the commands).
  std::function<void(mapi::ULONG context, exchange::IExchExt* extension, TClientCallback* callback)> OnInstalled;

  // The callback of a context, made on first use (the host keeps it).
  TClientCallback* CallbackFor(mapi::ULONG context);
  // The extension objects that took part in `context`, in load order.
  std::vector<exchange::IExchExt*> Installed(mapi::ULONG context) const;
  size_t InstalledCount() const { return installed_.size(); }

  // Releases every kept object, then the callbacks, then the libraries.
  void Unload();

 private:
  struct TInstalled {
    mapi::ULONG context;
    exchange::IExchExt* extension;
  };
  TCallbackFactory factory_;
  std::vector<TInstalled> installed_;
  std::vector<TClientCallback*> callbacks_;
  std::vector<win::HMODULE> libraries_;
};

}  // namespace corvid::client
