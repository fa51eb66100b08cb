// The library's application object: the default owner of every dialog and
// message box the library shows while no other owner is given. It starts
// empty, is set from the viewer context only while empty, and is cleared
// when the extension object dies.
#pragma once

#include "platform/win/win_types.h"

namespace corvid::core {

win::HWND ApplicationMainWindow();
void SetApplicationMainWindow(win::HWND window);

// The client's main window in this process: the first top-level window of
// class "rctrl_renwnd32" (exact spelling), walked up to its topmost parent;
// the desktop window when that one is not visible; null when there is none.
win::HWND FindClientMainWindow();

}  // namespace corvid::core
