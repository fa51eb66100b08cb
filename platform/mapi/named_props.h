// Named properties: a property set GUID with a number or a name, mapped to
// property identifiers from 0x8000 up. The map is one for the whole process
// and for every store, so a tag resolved once stays right for every message
// of every store (callers cache it that way). Messages keep named values by
// name, not by identifier, so the identifiers need not survive the process.
#pragma once

#include <optional>
#include <string>

#include "platform/mapi/mapi_types.h"

namespace corvid::mapi {

struct TNamedKey {
  GUID guid{};
  ULONG kind = MNID_STRING;  // MNID_ID or MNID_STRING
  LONG id = 0;               // for MNID_ID
  std::string name;          // UTF-8, for MNID_STRING

  bool operator==(const TNamedKey& other) const;
  bool operator<(const TNamedKey& other) const;
};

// The identifier of `key`: an existing one, a new one when `create` is set,
// else 0. 0 as well when the identifiers ran out. Thread-safe.
ULONG NamedPropId(const TNamedKey& key, bool create);
// The key of an identifier handed out in this process.
std::optional<TNamedKey> NamedPropKey(ULONG id);

// "{GUID}" in the registry format, and back (nullopt for anything else).
std::string FormatGuid(const GUID& guid);
std::optional<GUID> ParseGuid(const std::string& text);

}  // namespace corvid::mapi
