// Windows and window messages: per-thread message queues, window classes with
// a window procedure, posted and sent messages, timers, registered message
// numbers, and a call that runs a function on the main thread.
//
// One process-wide table backs all of it. It lives in the shared library
// corvid-user (with GetLastError), never in a static library, so a program
// and every module it loads see the same windows and queues: the mail client
// runs the message loop, an extension it loaded creates hidden windows and
// posts to the client's windows. Windows are visible within one process only.
//
// Threads, as on Windows:
// - A window belongs to the thread that created it. Its procedure runs on
//   that thread only: for posted messages when that thread's loop dispatches
//   them, for sent messages when that thread calls GetMessage, PeekMessage,
//   SendMessage or Synchronize (which hand over pending sent messages first).
// - SendMessage from another thread waits for the result, and while it waits
//   it handles the messages sent to its own thread, so two threads that send
//   to each other's windows do not deadlock.
// - A thread's queue is made on first use and dies with the thread; its
//   windows are then removed without further messages, and senders still
//   waiting on it get 0.
//
// Differences from Win32, all deliberate: texts are UTF-8; class names,
// window texts and registered message names compare without regard to ASCII
// case; window classes are process-wide (the instance handle is kept but not
// part of the name); EnumWindows lists top-level windows in creation order;
// no painting, input or non-client area exists.
#pragma once

#include <functional>

#include "platform/win/win_types.h"

namespace corvid::win {

// Messages.
inline constexpr UINT WM_NULL = 0x0000;
inline constexpr UINT WM_CREATE = 0x0001;
inline constexpr UINT WM_DESTROY = 0x0002;
inline constexpr UINT WM_CLOSE = 0x0010;
inline constexpr UINT WM_QUIT = 0x0012;
inline constexpr UINT WM_SETTEXT = 0x000C;
inline constexpr UINT WM_GETTEXT = 0x000D;
inline constexpr UINT WM_GETTEXTLENGTH = 0x000E;
inline constexpr UINT WM_SHOWWINDOW = 0x0018;
inline constexpr UINT WM_CANCELMODE = 0x001F;  // posted to a thread: its modal window is cancelled
inline constexpr UINT WM_NOTIFY = 0x004E;
inline constexpr UINT WM_NCCREATE = 0x0081;
inline constexpr UINT WM_NCDESTROY = 0x0082;
inline constexpr UINT WM_KEYDOWN = 0x0100;
inline constexpr UINT WM_KEYUP = 0x0101;
inline constexpr UINT WM_CHAR = 0x0102;
inline constexpr UINT WM_INITDIALOG = 0x0110;
inline constexpr UINT WM_COMMAND = 0x0111;
inline constexpr UINT WM_TIMER = 0x0113;
inline constexpr UINT WM_USER = 0x0400;
inline constexpr UINT WM_APP = 0x8000;
// RegisterWindowMessage hands out numbers from here to 0xFFFF.
inline constexpr UINT kFirstRegisteredMessage = 0xC000;

// Window styles.
inline constexpr DWORD WS_OVERLAPPED = 0x00000000;
inline constexpr DWORD WS_POPUP = 0x80000000;
inline constexpr DWORD WS_CHILD = 0x40000000;
inline constexpr DWORD WS_VISIBLE = 0x10000000;
inline constexpr DWORD WS_DISABLED = 0x08000000;
inline constexpr DWORD WS_CAPTION = 0x00C00000;
inline constexpr DWORD WS_SYSMENU = 0x00080000;
inline constexpr int CW_USEDEFAULT = static_cast<int>(0x80000000);
inline HWND const HWND_MESSAGE = reinterpret_cast<HWND>(intptr_t{-3});

// Get/SetWindowLongPtr indexes.
inline constexpr int GWLP_WNDPROC = -4;
inline constexpr int GWLP_HINSTANCE = -6;
inline constexpr int GWLP_ID = -12;
inline constexpr int GWL_STYLE = -16;
inline constexpr int GWL_EXSTYLE = -20;
inline constexpr int GWLP_USERDATA = -21;

// ShowWindow commands (all but SW_HIDE show the window).
inline constexpr int SW_HIDE = 0;
inline constexpr int SW_SHOWNORMAL = 1;
inline constexpr int SW_SHOW = 5;

// PeekMessage.
inline constexpr UINT PM_NOREMOVE = 0x0000;
inline constexpr UINT PM_REMOVE = 0x0001;
inline constexpr UINT PM_NOYIELD = 0x0002;

// MessageBeep types (all sound the same here).
inline constexpr UINT MB_OK = 0x00000000;
inline constexpr UINT MB_ICONHAND = 0x00000010;
inline constexpr UINT MB_ICONQUESTION = 0x00000020;
inline constexpr UINT MB_ICONEXCLAMATION = 0x00000030;
inline constexpr UINT MB_ICONASTERISK = 0x00000040;

inline constexpr UINT USER_TIMER_MINIMUM = 10;

struct WNDCLASS {
  UINT style;
  WNDPROC lpfnWndProc;
  int cbClsExtra;
  int cbWndExtra;
  HINSTANCE hInstance;
  HICON hIcon;
  HCURSOR hCursor;
  HBRUSH hbrBackground;
  const char* lpszMenuName;
  const char* lpszClassName;
};

// What WM_NCCREATE and WM_CREATE carry in lParam.
struct CREATESTRUCT {
  void* lpCreateParams;
  HINSTANCE hInstance;
  HMENU hMenu;
  HWND hwndParent;
  int cy;
  int cx;
  int y;
  int x;
  LONG style;
  const char* lpszName;
  const char* lpszClass;
  DWORD dwExStyle;
};

using TIMERPROC = void (*)(HWND, UINT, UINT_PTR, DWORD);
using WNDENUMPROC = BOOL (*)(HWND, LPARAM);

// --- Threads and processes ---------------------------------------------------

// The kernel's id of the calling thread / process.
DWORD GetCurrentThreadId();
DWORD GetCurrentProcessId();
// Milliseconds since an arbitrary start, wrapping every 49.7 days.
DWORD GetTickCount();

// The main (user-interface) thread: the thread that loaded this library,
// which for a program is the thread that runs main().
DWORD MainThreadId();

// Runs `function` on the main thread and returns when it has run; on the
// main thread itself it runs at once. The main thread runs it the next time
// it looks at its queue (GetMessage, PeekMessage, or while it waits in
// SendMessage or Synchronize); meanwhile the caller handles messages sent to
// its own thread. An exception from `function` is thrown again here.
void Synchronize(const std::function<void()>& function);

// --- Window classes and windows ----------------------------------------------

// 0 and ERROR_CLASS_ALREADY_EXISTS when the name is taken; 0 and
// ERROR_INVALID_PARAMETER without a name or procedure.
ATOM RegisterClass(const WNDCLASS* window_class);
// Fails with ERROR_CLASS_DOES_NOT_EXIST, or ERROR_CLASS_HAS_WINDOWS while a
// window of the class exists.
BOOL UnregisterClass(const char* class_name, HINSTANCE instance);
// Fills `window_class` (its lpszClassName becomes `class_name`); 0 and
// ERROR_CLASS_DOES_NOT_EXIST when the class is not registered.
BOOL GetClassInfo(HINSTANCE instance, const char* class_name, WNDCLASS* window_class);

// Creates a window owned by the calling thread and sends it WM_NCCREATE and
// WM_CREATE (a CREATESTRUCT in lParam); answering FALSE, respectively -1,
// destroys it again and gives null. With WS_CHILD, `parent` is the parent
// and the window is not top-level; otherwise `parent` (may be null) is the
// owner. Null and ERROR_CANNOT_FIND_WND_CLASS, ERROR_INVALID_WINDOW_HANDLE
// (bad parent) or ERROR_TLW_WITH_WSCHILD (a child without parent).
HWND CreateWindowEx(DWORD ex_style, const char* class_name, const char* window_name, DWORD style, int x, int y,
                    int width, int height, HWND parent, HMENU menu, HINSTANCE instance, void* param);
HWND CreateWindow(const char* class_name, const char* window_name, DWORD style, int x, int y, int width,
                  int height, HWND parent, HMENU menu, HINSTANCE instance, void* param);

// Destroys the window's owned windows, sends it WM_DESTROY, destroys its
// children, sends WM_NCDESTROY and removes it with its timers. Only the
// owning thread may do this (else 0 and ERROR_ACCESS_DENIED). Messages
// still queued for it are dropped when they come up.
BOOL DestroyWindow(HWND window);
BOOL IsWindow(HWND window);

LRESULT DefWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
LRESULT CallWindowProc(WNDPROC procedure, HWND window, UINT message, WPARAM wparam, LPARAM lparam);

// GWLP_USERDATA, GWLP_WNDPROC, GWLP_ID, GWLP_HINSTANCE, GWL_STYLE,
// GWL_EXSTYLE. Set returns the previous value. Any thread may call them.
// 0 and ERROR_INVALID_WINDOW_HANDLE / ERROR_INVALID_PARAMETER on failure.
LONG_PTR GetWindowLongPtr(HWND window, int index);
LONG_PTR SetWindowLongPtr(HWND window, int index, LONG_PTR value);

// Copies at most size - 1 bytes and a terminating zero; returns the bytes
// copied (not counting the zero), 0 on failure.
int GetClassName(HWND window, char* buffer, int size);
int GetWindowText(HWND window, char* buffer, int size);
int GetWindowTextLength(HWND window);
// Sends WM_SETTEXT; DefWindowProc stores the text.
BOOL SetWindowText(HWND window, const char* text);

// The parent of a child window, the owner of a WS_POPUP window, else null.
HWND GetParent(HWND window);
BOOL ShowWindow(HWND window, int command);  // previous visibility
BOOL IsWindowVisible(HWND window);
// A pseudo window that every thread sees: IsWindow says yes, it has the
// class name "#32769", it is not listed by EnumWindows and takes no messages.
HWND GetDesktopWindow();
// The owning thread's id, and the process id into `process_id` (may be null).
DWORD GetWindowThreadProcessId(HWND window, DWORD* process_id);

// Calls `callback` for each top-level window of the process until it
// answers 0; then returns 0, else nonzero. Windows made or destroyed by the
// callback are not or no longer visited.
BOOL EnumWindows(WNDENUMPROC callback, LPARAM lparam);
// The first top-level window whose class name and text match; a null
// argument matches any.
HWND FindWindow(const char* class_name, const char* window_name);

// --- Messages -----------------------------------------------------------------

// Same name (ignoring ASCII case), same number, for the life of the
// process; 0 and ERROR_INVALID_PARAMETER for an empty name.
UINT RegisterWindowMessage(const char* name);

// Queues the message for the window's thread (a null window: for the
// calling thread, with a null hwnd). 0 and ERROR_INVALID_WINDOW_HANDLE for
// a window that does not exist.
BOOL PostMessage(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
BOOL PostThreadMessage(DWORD thread_id, UINT message, WPARAM wparam, LPARAM lparam);
// Posts WM_QUIT to the calling thread once its queue is otherwise empty.
void PostQuitMessage(int exit_code);

// Calls the window procedure on the owning thread and returns its result
// (see the header comment). 0 and ERROR_INVALID_WINDOW_HANDLE for a window
// that does not exist; 0 when the window or its thread ends before handling
// the message.
LRESULT SendMessage(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

// Waits for the next posted message, WM_TIMER or WM_QUIT of the calling
// thread, handling sent messages meanwhile. With `window` set, only
// messages for it; with both bounds 0, any message number. Returns 0 for
// WM_QUIT, -1 for a window that does not exist, else nonzero.
BOOL GetMessage(MSG* message, HWND window, UINT filter_min, UINT filter_max);
// As GetMessage without waiting; 0 when nothing is there. PM_REMOVE takes
// the message out of the queue.
BOOL PeekMessage(MSG* message, HWND window, UINT filter_min, UINT filter_max, UINT remove);
// No keyboard exists, so nothing is ever translated: returns 0.
BOOL TranslateMessage(const MSG* message);
// Calls the procedure of the message's window (or the TIMERPROC of a
// WM_TIMER) and returns its result; 0 for a window that no longer exists.
LRESULT DispatchMessage(const MSG* message);

// Creates or resets a timer that WM_TIMER messages to `window` (or, without
// window, to the calling thread) every `elapse_ms` (at least
// USER_TIMER_MINIMUM); at most one WM_TIMER per timer is pending. Returns
// the timer's id: `id` for a window, a new id otherwise; 0 on failure.
UINT_PTR SetTimer(HWND window, UINT_PTR id, UINT elapse_ms, TIMERPROC procedure);
BOOL KillTimer(HWND window, UINT_PTR id);

// --- Sound --------------------------------------------------------------------

// Rings the terminal bell (BEL on standard error) when standard error is a
// terminal; otherwise does nothing. Always answers nonzero.
BOOL MessageBeep(UINT type);

}  // namespace corvid::win
