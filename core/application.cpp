#include "core/application.h"

#include <unistd.h>

#include <atomic>
#include <cstring>

#include "platform/win/ui_thread.h"

namespace corvid::core {

namespace {

std::atomic<win::HWND> g_main_window{nullptr};

struct TSearch {
  win::DWORD process = 0;
  win::HWND found = nullptr;
};

win::BOOL FindClassProc(win::HWND window, win::LPARAM lparam) {
  auto* search = reinterpret_cast<TSearch*>(lparam);
  win::DWORD process = 0;
  win::GetWindowThreadProcessId(window, &process);
  if (process != search->process) return 1;
  char name[1024] = {};
  win::GetClassName(window, name, sizeof name);
  // Case matters here, unlike the platform's own class lookup.
  if (std::strcmp(name, "rctrl_renwnd32") != 0) return 1;
  search->found = window;
  return 0;
}

}  // namespace

win::HWND ApplicationMainWindow() { return g_main_window.load(); }

void SetApplicationMainWindow(win::HWND window) { g_main_window.store(window); }

win::HWND FindClientMainWindow() {
  TSearch search;
  search.process = static_cast<win::DWORD>(::getpid());
  win::EnumWindows(&FindClassProc, reinterpret_cast<win::LPARAM>(&search));
  if (search.found == nullptr) return nullptr;
  win::HWND top = search.found;
  for (win::HWND parent = win::GetParent(top); parent != nullptr; parent = win::GetParent(top)) top = parent;
  return win::IsWindowVisible(top) ? top : win::GetDesktopWindow();
}

}  // namespace corvid::core
