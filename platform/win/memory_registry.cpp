#include "platform/win/memory_registry.h"

#include <algorithm>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/win/ascii_case.h"
#include "platform/win/registry_handles.h"

namespace corvid::win {
namespace {

struct Value {
  std::string name;
  DWORD type;
  std::string data;
};

struct Node {
  std::string name;
  bool deleted = false;
  std::vector<std::shared_ptr<Node>> children;  // kept in name order
  std::vector<Value> values;                    // kept in order of first set

  std::shared_ptr<Node> Child(std::string_view child_name) const {
    for (const auto& child : children) {
      if (EqualsIgnoreAsciiCase(child->name, child_name)) return child;
    }
    return nullptr;
  }
  Value* FindValue(std::string_view value_name) {
    for (Value& value : values) {
      if (EqualsIgnoreAsciiCase(value.name, value_name)) return &value;
    }
    return nullptr;
  }
  void MarkDeleted() {
    deleted = true;
    for (auto& child : children) child->MarkDeleted();
  }
};

struct OpenKeyInfo {
  int hive;
  std::shared_ptr<Node> node;
  REGSAM access;
};

}  // namespace

struct TMemoryRegistry::Impl {
  mutable std::mutex mutex;
  std::shared_ptr<Node> roots[2] = {std::make_shared<Node>(), std::make_shared<Node>()};
  bool writable[2] = {true, true};
  int changes[2] = {0, 0};
  TKeyHandles<OpenKeyInfo> handles;

  static int HiveIndex(HKEY root) { return TKeyHandles<OpenKeyInfo>::HiveIndex(root); }

  LONG Enter(HKEY key, REGSAM needed, OpenKeyInfo* info) {
    const int root = HiveIndex(key);
    if (root >= 0) {
      *info = {root, roots[root], KEY_ALL_ACCESS};
    } else {
      const OpenKeyInfo* found = handles.Find(key);
      if (found == nullptr) return ERROR_INVALID_HANDLE;
      *info = *found;
    }
    if ((info->access & needed) != needed) return ERROR_ACCESS_DENIED;
    return info->node->deleted ? ERROR_KEY_DELETED : ERROR_SUCCESS;
  }

  HKEY NewHandle(OpenKeyInfo info) { return handles.Add(std::move(info)); }

  // The node at `sub_key` below `parent`, with the node above it.
  LONG Locate(HKEY parent, std::string_view sub_key, OpenKeyInfo* info, std::shared_ptr<Node>* node,
              std::shared_ptr<Node>* above) {
    std::vector<std::string_view> names;
    LONG status = SplitKeyPath(sub_key, &names);
    if (status != ERROR_SUCCESS) return status;
    status = Enter(parent, 0, info);
    if (status != ERROR_SUCCESS) return status;
    *node = info->node;
    *above = nullptr;
    for (std::string_view name : names) {
      *above = *node;
      *node = (*node)->Child(name);
      if (!*node) return ERROR_FILE_NOT_FOUND;
    }
    return ERROR_SUCCESS;
  }

  static void Detach(Node& above, const Node& node) {
    auto& children = above.children;
    children.erase(std::remove_if(children.begin(), children.end(),
                                  [&](const std::shared_ptr<Node>& child) { return child.get() == &node; }),
                   children.end());
  }
};

TMemoryRegistry::TMemoryRegistry() : impl_(new Impl) {}
TMemoryRegistry::~TMemoryRegistry() = default;

void TMemoryRegistry::SetHiveWritable(HKEY root, bool writable) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  const int index = Impl::HiveIndex(root);
  if (index >= 0) impl_->writable[index] = writable;
}

int TMemoryRegistry::ChangeCount(HKEY root) const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  const int index = Impl::HiveIndex(root);
  return index >= 0 ? impl_->changes[index] : 0;
}

LONG TMemoryRegistry::OpenKey(HKEY parent, std::string_view sub_key, REGSAM access, HKEY* result) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  OpenKeyInfo info;
  std::shared_ptr<Node> node, above;
  const LONG status = impl_->Locate(parent, sub_key, &info, &node, &above);
  if (status != ERROR_SUCCESS) return status;
  if ((access & kKeyWriteRights) != 0 && !impl_->writable[info.hive]) return ERROR_ACCESS_DENIED;
  *result = impl_->NewHandle({info.hive, node, access});
  return ERROR_SUCCESS;
}

LONG TMemoryRegistry::CreateKey(HKEY parent, std::string_view sub_key, REGSAM access, HKEY* result,
                                DWORD* disposition) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  std::vector<std::string_view> names;
  LONG status = SplitKeyPath(sub_key, &names);
  if (status != ERROR_SUCCESS) return status;
  OpenKeyInfo info;
  status = impl_->Enter(parent, 0, &info);
  if (status != ERROR_SUCCESS) return status;

  const bool write_access = (access & kKeyWriteRights) != 0;
  const bool writable = impl_->writable[info.hive];
  // Check first, change after, so a refused call leaves nothing behind.
  std::shared_ptr<Node> node = info.node;
  bool missing = false;
  for (std::string_view name : names) {
    node = node->Child(name);
    if (!node) {
      missing = true;
      break;
    }
  }
  if ((missing || write_access) && !writable) return ERROR_ACCESS_DENIED;
  if (missing && (info.access & KEY_CREATE_SUB_KEY) == 0) return ERROR_ACCESS_DENIED;

  node = info.node;
  bool created = false;
  for (std::string_view name : names) {
    std::shared_ptr<Node> child = node->Child(name);
    created = !child;
    if (!child) {
      child = std::make_shared<Node>();
      child->name = std::string(name);
      auto position = std::find_if(node->children.begin(), node->children.end(), [&](const auto& other) {
        return CompareIgnoreAsciiCase(other->name, name) > 0;
      });
      node->children.insert(position, child);
      ++impl_->changes[info.hive];
    } else if (write_access && child->name != name) {
      child->name = std::string(name);
      ++impl_->changes[info.hive];
    }
    node = child;
  }
  *result = impl_->NewHandle({info.hive, node, access});
  if (disposition != nullptr) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  return ERROR_SUCCESS;
}

LONG TMemoryRegistry::CloseKey(HKEY key) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->handles.Close(key);
}

LONG TMemoryRegistry::EnumKey(HKEY key, DWORD index, std::string* name) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  OpenKeyInfo info;
  const LONG status = impl_->Enter(key, KEY_ENUMERATE_SUB_KEYS, &info);
  if (status != ERROR_SUCCESS) return status;
  if (index >= info.node->children.size()) return ERROR_NO_MORE_ITEMS;
  *name = info.node->children[index]->name;
  return ERROR_SUCCESS;
}

LONG TMemoryRegistry::EnumValue(HKEY key, DWORD index, std::string* name, DWORD* type, std::string* data) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  OpenKeyInfo info;
  const LONG status = impl_->Enter(key, KEY_QUERY_VALUE, &info);
  if (status != ERROR_SUCCESS) return status;
  if (index >= info.node->values.size()) return ERROR_NO_MORE_ITEMS;
  const Value& value = info.node->values[index];
  *name = value.name;
  if (type != nullptr) *type = value.type;
  if (data != nullptr) *data = value.data;
  return ERROR_SUCCESS;
}

LONG TMemoryRegistry::QueryValue(HKEY key, std::string_view name, DWORD* type, std::string* data) {
  if (CheckValueName(name) != ERROR_SUCCESS) return ERROR_INVALID_PARAMETER;
  std::lock_guard<std::mutex> lock(impl_->mutex);
  OpenKeyInfo info;
  const LONG status = impl_->Enter(key, KEY_QUERY_VALUE, &info);
  if (status != ERROR_SUCCESS) return status;
  const Value* value = info.node->FindValue(name);
  if (value == nullptr) return ERROR_FILE_NOT_FOUND;
  if (type != nullptr) *type = value->type;
  if (data != nullptr) *data = value->data;
  return ERROR_SUCCESS;
}

LONG TMemoryRegistry::SetValue(HKEY key, std::string_view name, DWORD type, std::string_view data) {
  if (CheckValueName(name) != ERROR_SUCCESS) return ERROR_INVALID_PARAMETER;
  std::lock_guard<std::mutex> lock(impl_->mutex);
  OpenKeyInfo info;
  const LONG status = impl_->Enter(key, KEY_SET_VALUE, &info);
  if (status != ERROR_SUCCESS) return status;
  if (!impl_->writable[info.hive]) return ERROR_ACCESS_DENIED;
  if (Value* value = info.node->FindValue(name)) {
    *value = {std::string(name), type, std::string(data)};
  } else {
    info.node->values.push_back({std::string(name), type, std::string(data)});
  }
  ++impl_->changes[info.hive];
  return ERROR_SUCCESS;
}

LONG TMemoryRegistry::DeleteValue(HKEY key, std::string_view name) {
  if (CheckValueName(name) != ERROR_SUCCESS) return ERROR_INVALID_PARAMETER;
  std::lock_guard<std::mutex> lock(impl_->mutex);
  OpenKeyInfo info;
  const LONG status = impl_->Enter(key, KEY_SET_VALUE, &info);
  if (status != ERROR_SUCCESS) return status;
  if (!impl_->writable[info.hive]) return ERROR_ACCESS_DENIED;
  auto& values = info.node->values;
  auto found = std::find_if(values.begin(), values.end(),
                            [&](const Value& value) { return EqualsIgnoreAsciiCase(value.name, name); });
  if (found == values.end()) return ERROR_FILE_NOT_FOUND;
  values.erase(found);
  ++impl_->changes[info.hive];
  return ERROR_SUCCESS;
}

LONG TMemoryRegistry::DeleteKey(HKEY parent, std::string_view sub_key) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  OpenKeyInfo info;
  std::shared_ptr<Node> node, above;
  LONG status = impl_->Locate(parent, sub_key, &info, &node, &above);
  if (status != ERROR_SUCCESS) return status;
  if (node == impl_->roots[info.hive]) return ERROR_ACCESS_DENIED;
  if (!impl_->writable[info.hive] || !node->children.empty()) return ERROR_ACCESS_DENIED;
  if (!above) {
    // The handle's own key: find what holds it.
    std::vector<std::shared_ptr<Node>> pending{impl_->roots[info.hive]};
    while (!pending.empty() && !above) {
      auto candidate = pending.back();
      pending.pop_back();
      for (const auto& child : candidate->children) {
        if (child == node) above = candidate;
        pending.push_back(child);
      }
    }
    if (!above) return ERROR_KEY_DELETED;
  }
  Impl::Detach(*above, *node);
  node->MarkDeleted();
  ++impl_->changes[info.hive];
  return ERROR_SUCCESS;
}

LONG TMemoryRegistry::DeleteTree(HKEY parent, std::string_view sub_key) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  OpenKeyInfo info;
  std::shared_ptr<Node> node, above;
  LONG status = impl_->Locate(parent, sub_key, &info, &node, &above);
  if (status != ERROR_SUCCESS) return status;
  if (node == impl_->roots[info.hive] || !impl_->writable[info.hive]) return ERROR_ACCESS_DENIED;
  if (!above) {
    for (auto& child : node->children) child->MarkDeleted();
    node->children.clear();
    node->values.clear();
  } else {
    Impl::Detach(*above, *node);
    node->MarkDeleted();
  }
  ++impl_->changes[info.hive];
  return ERROR_SUCCESS;
}

}  // namespace corvid::win
