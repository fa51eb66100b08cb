// Menus: a menu is a list of items (commands with an identifier, text and
// enabled/greyed state, separators, and pop-ups holding another menu),
// addressed by position or by command identifier, as Win32 does. The
// client builds its menu bar; an extension loaded into it adds items and
// greys them. The table lives in the shared corvid-user library, so both
// see the same menus. Any thread may call these; texts are UTF-8.
#pragma once

#include <string>

#include "platform/win/win_types.h"

namespace corvid::win {

// Flags of EnableMenuItem, GetMenuState and AppendMenu.
inline constexpr UINT MF_BYCOMMAND = 0x0000;
inline constexpr UINT MF_ENABLED = 0x0000;
inline constexpr UINT MF_STRING = 0x0000;
inline constexpr UINT MF_GRAYED = 0x0001;
inline constexpr UINT MF_DISABLED = 0x0002;
inline constexpr UINT MF_POPUP = 0x0010;
inline constexpr UINT MF_BYPOSITION = 0x0400;
inline constexpr UINT MF_SEPARATOR = 0x0800;

// MENUITEMINFO masks, types and states.
inline constexpr UINT MIIM_STATE = 0x0001;
inline constexpr UINT MIIM_ID = 0x0002;
inline constexpr UINT MIIM_SUBMENU = 0x0004;
inline constexpr UINT MIIM_TYPE = 0x0010;
inline constexpr UINT MIIM_STRING = 0x0040;
inline constexpr UINT MIIM_FTYPE = 0x0100;
inline constexpr UINT MFT_STRING = 0x0000;
inline constexpr UINT MFT_SEPARATOR = 0x0800;
inline constexpr UINT MFS_ENABLED = 0x0000;
inline constexpr UINT MFS_GRAYED = 0x0003;

struct MENUITEMINFO {
  UINT cbSize;
  UINT fMask;
  UINT fType;
  UINT fState;
  UINT wID;
  HMENU hSubMenu;
  void* hbmpChecked;
  void* hbmpUnchecked;
  UINT_PTR dwItemData;
  char* dwTypeData;
  UINT cch;
  void* hbmpItem;
};

HMENU CreateMenu();
HMENU CreatePopupMenu();
// Destroys the menu and the pop-ups it holds.
BOOL DestroyMenu(HMENU menu);
BOOL IsMenu(HMENU menu);

// Inserts before the item at `item` (a position with `by_position`, else
// the item with that command identifier); a position past the end appends.
BOOL InsertMenuItem(HMENU menu, UINT item, BOOL by_position, const MENUITEMINFO* info);
// Appends a command (MF_STRING), a separator (MF_SEPARATOR) or a pop-up
// (MF_POPUP: `id_or_menu` is the pop-up's menu).
BOOL AppendMenu(HMENU menu, UINT flags, UINT_PTR id_or_menu, const char* text);

// Sets MF_ENABLED or MF_GRAYED; by command the pop-ups are searched too.
// The previous state (MF_ENABLED or MF_GRAYED), or -1 when there is no
// such item.
int EnableMenuItem(HMENU menu, UINT item, UINT flags);
// The item's state bits (MF_GRAYED, MF_SEPARATOR, MF_POPUP); -1 when there
// is no such item.
int GetMenuState(HMENU menu, UINT item, UINT flags);
int GetMenuItemCount(HMENU menu);
// The command identifier at `position`; -1 for a pop-up, a separator or
// no item (0 for a separator, as Win32 answers).
int GetMenuItemID(HMENU menu, int position);
HMENU GetSubMenu(HMENU menu, int position);
// The item's text ("" for a separator); empty when there is no such item.
std::string GetMenuString(HMENU menu, UINT item, UINT flags);

}  // namespace corvid::win
