#include "platform/win/menus.h"

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace corvid::win {
namespace {

struct TItem {
  bool separator = false;
  bool grayed = false;
  UINT id = 0;
  HMENU popup = nullptr;
  std::string text;
};

struct TMenus {
  std::mutex mutex;
  std::map<HMENU, std::vector<TItem>> menus;
  uintptr_t next = 1;
};

TMenus& M() {
  static TMenus menus;
  return menus;
}

std::vector<TItem>* FindLocked(HMENU menu) {
  auto it = M().menus.find(menu);
  return it == M().menus.end() ? nullptr : &it->second;
}

// The item by position, or by command identifier searching pop-ups.
TItem* ItemLocked(HMENU menu, UINT item, bool by_position) {
  std::vector<TItem>* items = FindLocked(menu);
  if (items == nullptr) return nullptr;
  if (by_position) return item < items->size() ? &(*items)[item] : nullptr;
  for (TItem& entry : *items) {
    if (entry.popup != nullptr) {
      if (TItem* inner = ItemLocked(entry.popup, item, false)) return inner;
    } else if (!entry.separator && entry.id == item) {
      return &entry;
    }
  }
  return nullptr;
}

HMENU NewMenu() {
  std::lock_guard lock(M().mutex);
  const HMENU menu = reinterpret_cast<HMENU>(M().next++ * 16);
  M().menus[menu];
  return menu;
}

void DestroyLocked(HMENU menu) {
  auto it = M().menus.find(menu);
  if (it == M().menus.end()) return;
  std::vector<TItem> items = std::move(it->second);
  M().menus.erase(it);
  for (const TItem& item : items) {
    if (item.popup != nullptr) DestroyLocked(item.popup);
  }
}

}  // namespace

HMENU CreateMenu() { return NewMenu(); }
HMENU CreatePopupMenu() { return NewMenu(); }

BOOL DestroyMenu(HMENU menu) {
  std::lock_guard lock(M().mutex);
  if (FindLocked(menu) == nullptr) return 0;
  DestroyLocked(menu);
  return 1;
}

BOOL IsMenu(HMENU menu) {
  std::lock_guard lock(M().mutex);
  return FindLocked(menu) != nullptr ? 1 : 0;
}

BOOL InsertMenuItem(HMENU menu, UINT item, BOOL by_position, const MENUITEMINFO* info) {
  if (info == nullptr) return 0;
  std::lock_guard lock(M().mutex);
  std::vector<TItem>* items = FindLocked(menu);
  if (items == nullptr) return 0;
  TItem entry;
  const bool type = (info->fMask & (MIIM_TYPE | MIIM_FTYPE)) != 0;
  entry.separator = type && (info->fType & MFT_SEPARATOR) != 0;
  if ((info->fMask & MIIM_ID) != 0) entry.id = info->wID;
  if ((info->fMask & MIIM_STATE) != 0) entry.grayed = (info->fState & MFS_GRAYED) != 0;
  if ((info->fMask & MIIM_SUBMENU) != 0) entry.popup = info->hSubMenu;
  if (((info->fMask & MIIM_STRING) != 0 || (type && !entry.separator)) && info->dwTypeData != nullptr) {
    entry.text = info->dwTypeData;
  }
  size_t at = items->size();
  if (by_position) {
    at = std::min<size_t>(item, items->size());
  } else {
    for (size_t i = 0; i < items->size(); ++i) {
      if (!(*items)[i].separator && (*items)[i].id == item) {
        at = i;
        break;
      }
    }
  }
  items->insert(items->begin() + static_cast<std::ptrdiff_t>(at), std::move(entry));
  return 1;
}

BOOL AppendMenu(HMENU menu, UINT flags, UINT_PTR id_or_menu, const char* text) {
  MENUITEMINFO info{};
  info.cbSize = sizeof info;
  info.fMask = MIIM_FTYPE | MIIM_STATE | MIIM_STRING;
  info.fType = (flags & MF_SEPARATOR) != 0 ? MFT_SEPARATOR : MFT_STRING;
  info.fState = (flags & MF_GRAYED) != 0 ? MFS_GRAYED : MFS_ENABLED;
  info.dwTypeData = const_cast<char*>(text);
  if ((flags & MF_POPUP) != 0) {
    info.fMask |= MIIM_SUBMENU;
    info.hSubMenu = reinterpret_cast<HMENU>(id_or_menu);
  } else {
    info.fMask |= MIIM_ID;
    info.wID = static_cast<UINT>(id_or_menu);
  }
  return InsertMenuItem(menu, static_cast<UINT>(-1), 1, &info);
}

int EnableMenuItem(HMENU menu, UINT item, UINT flags) {
  std::lock_guard lock(M().mutex);
  TItem* entry = ItemLocked(menu, item, (flags & MF_BYPOSITION) != 0);
  if (entry == nullptr) return -1;
  const int previous = entry->grayed ? static_cast<int>(MF_GRAYED) : static_cast<int>(MF_ENABLED);
  entry->grayed = (flags & (MF_GRAYED | MF_DISABLED)) != 0;
  return previous;
}

int GetMenuState(HMENU menu, UINT item, UINT flags) {
  std::lock_guard lock(M().mutex);
  const TItem* entry = ItemLocked(menu, item, (flags & MF_BYPOSITION) != 0);
  if (entry == nullptr) return -1;
  return static_cast<int>((entry->grayed ? MF_GRAYED : 0) | (entry->separator ? MF_SEPARATOR : 0) |
                          (entry->popup != nullptr ? MF_POPUP : 0));
}

int GetMenuItemCount(HMENU menu) {
  std::lock_guard lock(M().mutex);
  const std::vector<TItem>* items = FindLocked(menu);
  return items == nullptr ? -1 : static_cast<int>(items->size());
}

int GetMenuItemID(HMENU menu, int position) {
  std::lock_guard lock(M().mutex);
  const TItem* entry = position < 0 ? nullptr : ItemLocked(menu, static_cast<UINT>(position), true);
  if (entry == nullptr || entry->popup != nullptr) return -1;
  return entry->separator ? 0 : static_cast<int>(entry->id);
}

HMENU GetSubMenu(HMENU menu, int position) {
  std::lock_guard lock(M().mutex);
  const TItem* entry = position < 0 ? nullptr : ItemLocked(menu, static_cast<UINT>(position), true);
  return entry == nullptr ? nullptr : entry->popup;
}

std::string GetMenuString(HMENU menu, UINT item, UINT flags) {
  std::lock_guard lock(M().mutex);
  const TItem* entry = ItemLocked(menu, item, (flags & MF_BYPOSITION) != 0);
  return entry == nullptr ? std::string() : entry->text;
}

}  // namespace corvid::win
