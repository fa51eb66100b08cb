#include "platform/mapi/named_props.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <tuple>
#include <vector>

namespace corvid::mapi {
namespace {

struct TNamedMap {
  std::mutex mutex;
  std::map<TNamedKey, ULONG> ids;
  std::vector<TNamedKey> keys;  // index = id - kFirstNamedPropId
};

TNamedMap& Map() {
  static TNamedMap map;
  return map;
}

}  // namespace

bool TNamedKey::operator==(const TNamedKey& other) const {
  return IsEqualGUID(guid, other.guid) && kind == other.kind &&
         (kind == MNID_ID ? id == other.id : name == other.name);
}

bool TNamedKey::operator<(const TNamedKey& other) const {
  const int guid_order = std::memcmp(&guid, &other.guid, sizeof(GUID));
  if (guid_order != 0) return guid_order < 0;
  if (kind != other.kind) return kind < other.kind;
  return kind == MNID_ID ? id < other.id : name < other.name;
}

ULONG NamedPropId(const TNamedKey& key, bool create) {
  TNamedMap& map = Map();
  std::lock_guard lock(map.mutex);
  auto it = map.ids.find(key);
  if (it != map.ids.end()) return it->second;
  if (!create || map.keys.size() > kLastNamedPropId - kFirstNamedPropId) return 0;
  const ULONG id = kFirstNamedPropId + static_cast<ULONG>(map.keys.size());
  map.keys.push_back(key);
  map.ids.emplace(key, id);
  return id;
}

std::optional<TNamedKey> NamedPropKey(ULONG id) {
  TNamedMap& map = Map();
  std::lock_guard lock(map.mutex);
  if (id < kFirstNamedPropId || id - kFirstNamedPropId >= map.keys.size()) return std::nullopt;
  return map.keys[id - kFirstNamedPropId];
}

std::string FormatGuid(const GUID& guid) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", guid.Data1, guid.Data2,
                guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4],
                guid.Data4[5], guid.Data4[6], guid.Data4[7]);
  return text;
}

std::optional<GUID> ParseGuid(const std::string& text) {
  if (text.size() != 38 || text.front() != '{' || text.back() != '}') return std::nullopt;
  unsigned values[11];
  char tail = 0;
  const int got = std::sscanf(text.c_str(), "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}%c", &values[0], &values[1],
                              &values[2], &values[3], &values[4], &values[5], &values[6], &values[7], &values[8],
                              &values[9], &values[10], &tail);
  if (got != 11) return std::nullopt;
  GUID guid{};
  guid.Data1 = values[0];
  guid.Data2 = static_cast<uint16_t>(values[1]);
  guid.Data3 = static_cast<uint16_t>(values[2]);
  for (int i = 0; i < 8; ++i) guid.Data4[i] = static_cast<uint8_t>(values[3 + i]);
  return guid;
}

}  // namespace corvid::mapi
