// Entry identifiers of the store: opaque to callers, and built so that they
// survive what Maildir does to a message (flag renames, new/ to cur/).
//
//   bytes 0-3    flags (zero)
//   bytes 4-19   the store's uid (profile.ini's Uid), MAPI's provider part
//   byte  20     version (1)
//   byte  21     kind: 'S' store, 'R' root folder, 'F' folder, 'M' message,
//                'O' one-off address
//   then         'F': the folder name; 'M': the folder name, a zero byte and
//                the message's unique name; 'O': name, type and address,
//                each ended by a zero byte
#pragma once

#include <optional>
#include <string>

#include "platform/mapi/mapi_types.h"

namespace corvid::mapi {

enum class TEntryKind : char {
  Store = 'S',
  Root = 'R',
  Folder = 'F',
  Message = 'M',
  OneOff = 'O',
};

struct TEntryId {
  GUID store{};
  TEntryKind kind = TEntryKind::Store;
  std::string folder;  // "" is INBOX
  std::string unique;
  // One-off addresses.
  std::string display_name;
  std::string addr_type;
  std::string email;
};

inline TEntryId EntryIdOf(const GUID& store, TEntryKind kind) {
  TEntryId id;
  id.store = store;
  id.kind = kind;
  return id;
}

std::string EncodeEntryId(const TEntryId& id);
// nullopt for bytes that are not one of ours.
std::optional<TEntryId> DecodeEntryId(const std::string& bytes);

// Entry identifiers are shown and typed as hex digits.
std::string HexOf(const std::string& bytes);
// nullopt when `text` is not an even number of hex digits.
std::optional<std::string> BytesFromHex(const std::string& text);

}  // namespace corvid::mapi
