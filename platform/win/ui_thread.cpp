#include "platform/win/ui_thread.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvid::win {

namespace {

using Clock = std::chrono::steady_clock;

// Copied here rather than taken from ascii_case.h: this file is built into
// the shared library, which carries nothing of the static one.
bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

int CopyText(const std::string& text, char* buffer, int size) {
  if (buffer == nullptr || size <= 0) return 0;
  const size_t n = std::min(text.size(), static_cast<size_t>(size - 1));
  std::memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
  return static_cast<int>(n);
}

struct ThreadQueue;

// A message sent to another thread, or a function to run there. The sender
// waits until `done`; the receiver fills `result` or `error`.
struct SentItem {
  HWND window = nullptr;
  UINT message = 0;
  WPARAM wparam = 0;
  LPARAM lparam = 0;
  const std::function<void()>* function = nullptr;  // Synchronize
  LRESULT result = 0;
  std::exception_ptr error;
  bool done = false;
  std::shared_ptr<ThreadQueue> sender;
};

struct Timer {
  HWND window;
  UINT_PTR id;
  UINT elapse_ms;
  TIMERPROC procedure;
  Clock::time_point due;
};

struct ThreadQueue {
  DWORD thread_id = 0;
  std::deque<MSG> posted;
  std::deque<std::shared_ptr<SentItem>> sent;
  std::vector<Timer> timers;
  bool quit = false;
  int quit_code = 0;
  bool dead = false;
  std::condition_variable wake;
};

struct Window {
  std::string class_name;
  std::string text;
  WNDPROC procedure;
  HINSTANCE instance;
  LONG_PTR user_data = 0;
  LONG_PTR id = 0;
  DWORD style;
  DWORD ex_style;
  HWND parent;  // children only
  HWND owner;   // top-level windows only
  bool message_only;
  bool destroying = false;
  std::shared_ptr<ThreadQueue> queue;
};

struct WindowClass {
  WNDCLASS info;
  std::string name;
  ATOM atom;
};

// Everything shared, behind one mutex. Procedures are never called while it
// is held. Heap-allocated and never freed, so threads that outlive static
// destruction (detached ones at exit) still find it.
struct State {
  std::mutex mutex;
  std::map<uintptr_t, std::shared_ptr<Window>> windows;  // in creation order
  uintptr_t next_window = 0x20000;
  std::map<std::string, WindowClass> classes;  // by lower-case name
  std::map<std::string, ATOM> atoms;           // by lower-case name
  ATOM next_atom = static_cast<ATOM>(kFirstRegisteredMessage);
  std::map<DWORD, std::shared_ptr<ThreadQueue>> queues;
  UINT_PTR next_thread_timer = 0x7FF0;
};

State& S() {
  static State* state = new State;
  return *state;
}

HWND const kDesktop = reinterpret_cast<HWND>(uintptr_t{0x10010});

DWORD ThreadId() { return static_cast<DWORD>(::syscall(SYS_gettid)); }

const DWORD g_main_thread = ThreadId();

std::shared_ptr<Window> FindLocked(HWND window) {
  auto it = S().windows.find(reinterpret_cast<uintptr_t>(window));
  return it == S().windows.end() ? nullptr : it->second;
}

std::shared_ptr<Window> Find(HWND window) {
  std::lock_guard lock(S().mutex);
  return FindLocked(window);
}

std::shared_ptr<Window> FindOrFail(HWND window) {
  auto found = Find(window);
  if (!found) SetLastError(ERROR_INVALID_WINDOW_HANDLE);
  return found;
}

bool IsTopLevel(const Window& w) { return (w.style & WS_CHILD) == 0 && !w.message_only; }

// The thread's queue lives while the thread does; at its end the queue is
// marked dead, its windows go, and whoever waits on it is released.
class QueueHolder {
 public:
  ~QueueHolder() {
    if (!queue_) return;
    std::vector<std::shared_ptr<SentItem>> orphans;
    {
      std::lock_guard lock(S().mutex);
      queue_->dead = true;
      orphans.assign(queue_->sent.begin(), queue_->sent.end());
      queue_->sent.clear();
      queue_->posted.clear();
      queue_->timers.clear();
      for (auto it = S().windows.begin(); it != S().windows.end();) {
        if (it->second->queue == queue_) {
          it = S().windows.erase(it);
        } else {
          ++it;
        }
      }
      auto found = S().queues.find(queue_->thread_id);
      if (found != S().queues.end() && found->second == queue_) S().queues.erase(found);
      for (auto& item : orphans) {
        item->done = true;
        item->sender->wake.notify_all();
      }
    }
  }
  std::shared_ptr<ThreadQueue>& Get() {
    if (!queue_) {
      // Synchronize may have made the main thread's queue already.
      const DWORD id = ThreadId();
      std::lock_guard lock(S().mutex);
      auto& slot = S().queues[id];
      if (!slot || slot->dead) {
        slot = std::make_shared<ThreadQueue>();
        slot->thread_id = id;
      }
      queue_ = slot;
    }
    return queue_;
  }

 private:
  std::shared_ptr<ThreadQueue> queue_;
};

thread_local QueueHolder t_queue;

std::shared_ptr<ThreadQueue>& MyQueue() { return t_queue.Get(); }

WNDPROC ProcedureOf(HWND window) {
  std::lock_guard lock(S().mutex);
  auto w = FindLocked(window);
  return w ? w->procedure : nullptr;
}

LRESULT CallDirect(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  WNDPROC procedure = ProcedureOf(window);
  return procedure ? procedure(window, message, wparam, lparam) : 0;
}

// Runs one sent item on the receiving thread and hands the result back.
// Called without the lock; takes it to publish the result.
void Deliver(const std::shared_ptr<SentItem>& item) {
  LRESULT result = 0;
  std::exception_ptr error;
  try {
    if (item->function) {
      (*item->function)();
    } else {
      result = CallDirect(item->window, item->message, item->wparam, item->lparam);
    }
  } catch (...) {
    error = std::current_exception();
  }
  std::lock_guard lock(S().mutex);
  item->result = result;
  item->error = error;
  item->done = true;
  item->sender->wake.notify_all();
}

// Takes one pending sent item of `queue`, if any, and runs it. `lock` holds
// the state's mutex on entry and on return.
bool DeliverOneSent(ThreadQueue& queue, std::unique_lock<std::mutex>& lock) {
  if (queue.sent.empty()) return false;
  std::shared_ptr<SentItem> item = std::move(queue.sent.front());
  queue.sent.pop_front();
  lock.unlock();
  Deliver(item);
  lock.lock();
  return true;
}

// Queues `item` for `target` and waits for it, handling what others send to
// this thread meanwhile. Rethrows the receiver's exception.
LRESULT SendAndWait(const std::shared_ptr<ThreadQueue>& target, std::shared_ptr<SentItem> item) {
  auto& mine = MyQueue();
  item->sender = mine;
  std::unique_lock lock(S().mutex);
  if (target->dead) return 0;
  target->sent.push_back(item);
  target->wake.notify_all();
  while (!item->done) {
    if (DeliverOneSent(*mine, lock)) continue;
    mine->wake.wait(lock);
  }
  lock.unlock();
  if (item->error) std::rethrow_exception(item->error);
  return item->result;
}

bool Matches(const MSG& m, HWND window, UINT filter_min, UINT filter_max) {
  if (window == reinterpret_cast<HWND>(intptr_t{-1})) {
    if (m.hwnd != nullptr) return false;
  } else if (window != nullptr && m.hwnd != window) {
    return false;
  }
  if (filter_min == 0 && filter_max == 0) return true;
  return m.message >= filter_min && m.message <= filter_max;
}

MSG MakeMessage(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  MSG m{};
  m.hwnd = window;
  m.message = message;
  m.wParam = wparam;
  m.lParam = lparam;
  m.time = GetTickCount();
  return m;
}

enum class TFetch { Message, Quit, Nothing };

// One look at the queue, with the lock held: sent messages first (they are
// delivered, not returned), then posted ones, then WM_QUIT, then due timers.
// `next_due` receives the earliest timer for a caller that wants to wait.
TFetch FetchLocked(ThreadQueue& queue, std::unique_lock<std::mutex>& lock, MSG* out, HWND window, UINT filter_min,
                  UINT filter_max, bool remove, std::optional<Clock::time_point>* next_due) {
  while (DeliverOneSent(queue, lock)) {
  }
  for (auto it = queue.posted.begin(); it != queue.posted.end(); ++it) {
    if (!Matches(*it, window, filter_min, filter_max)) continue;
    *out = *it;
    if (remove) queue.posted.erase(it);
    return TFetch::Message;
  }
  if (queue.quit) {
    *out = MakeMessage(nullptr, WM_QUIT, static_cast<WPARAM>(queue.quit_code), 0);
    if (remove) queue.quit = false;
    return TFetch::Quit;
  }
  const auto now = Clock::now();
  for (Timer& timer : queue.timers) {
    MSG m = MakeMessage(timer.window, WM_TIMER, timer.id, reinterpret_cast<LPARAM>(timer.procedure));
    if (!Matches(m, window, filter_min, filter_max)) continue;
    if (timer.due <= now) {
      *out = m;
      if (remove) timer.due = now + std::chrono::milliseconds(timer.elapse_ms);
      return TFetch::Message;
    }
    if (next_due && (!*next_due || timer.due < **next_due)) *next_due = timer.due;
  }
  return TFetch::Nothing;
}

void DestroyTree(HWND window);

}  // namespace

// --- Threads -------------------------------------------------------------------

DWORD GetCurrentThreadId() { return ThreadId(); }
DWORD GetCurrentProcessId() { return static_cast<DWORD>(::getpid()); }
DWORD GetTickCount() {
  using namespace std::chrono;
  return static_cast<DWORD>(duration_cast<milliseconds>(Clock::now().time_since_epoch()).count());
}
DWORD MainThreadId() { return g_main_thread; }

void Synchronize(const std::function<void()>& function) {
  if (ThreadId() == g_main_thread) {
    function();
    return;
  }
  std::shared_ptr<ThreadQueue> main;
  {
    std::lock_guard lock(S().mutex);
    auto it = S().queues.find(g_main_thread);
    if (it != S().queues.end()) main = it->second;
  }
  if (!main) {
    // The main thread has not looked at its queue yet; make the queue now so
    // the call waits for its first look. Only the main thread ever takes
    // from it, and its holder adopts it then.
    std::lock_guard lock(S().mutex);
    auto& slot = S().queues[g_main_thread];
    if (!slot) {
      slot = std::make_shared<ThreadQueue>();
      slot->thread_id = g_main_thread;
    }
    main = slot;
  }
  auto item = std::make_shared<SentItem>();
  item->function = &function;
  SendAndWait(main, std::move(item));
}

// --- Classes -------------------------------------------------------------------

ATOM RegisterClass(const WNDCLASS* window_class) {
  if (window_class == nullptr || window_class->lpszClassName == nullptr || *window_class->lpszClassName == '\0' ||
      window_class->lpfnWndProc == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const std::string key = Lower(window_class->lpszClassName);
  std::lock_guard lock(S().mutex);
  if (S().classes.count(key) != 0) {
    SetLastError(ERROR_CLASS_ALREADY_EXISTS);
    return 0;
  }
  ATOM& atom = S().atoms[key];
  if (atom == 0) {
    if (S().next_atom == 0) {  // wrapped past 0xFFFF: the table is full
      S().atoms.erase(key);
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return 0;
    }
    atom = S().next_atom++;
  }
  WindowClass entry{*window_class, window_class->lpszClassName, atom};
  entry.info.lpszClassName = nullptr;  // the caller's pointer may not live on
  S().classes.emplace(key, std::move(entry));
  return atom;
}

BOOL UnregisterClass(const char* class_name, HINSTANCE instance) {
  if (class_name == nullptr) {
    SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
    return 0;
  }
  std::lock_guard lock(S().mutex);
  auto it = S().classes.find(Lower(class_name));
  if (it == S().classes.end()) {
    SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
    return 0;
  }
  for (const auto& [handle, w] : S().windows) {
    if (SameText(w->class_name, it->second.name)) {
      SetLastError(ERROR_CLASS_HAS_WINDOWS);
      return 0;
    }
  }
  S().classes.erase(it);
  return 1;
}

BOOL GetClassInfo(HINSTANCE instance, const char* class_name, WNDCLASS* window_class) {
  if (class_name == nullptr || window_class == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::lock_guard lock(S().mutex);
  auto it = S().classes.find(Lower(class_name));
  if (it == S().classes.end()) {
    SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
    return 0;
  }
  *window_class = it->second.info;
  window_class->lpszClassName = class_name;
  return 1;
}

// --- Windows -------------------------------------------------------------------

HWND CreateWindowEx(DWORD ex_style, const char* class_name, const char* window_name, DWORD style, int x, int y,
                    int width, int height, HWND parent, HMENU menu, HINSTANCE instance, void* param) {
  auto& queue = MyQueue();
  const bool message_only = parent == HWND_MESSAGE;
  if (message_only) parent = nullptr;
  if ((style & WS_CHILD) != 0 && parent == nullptr) {
    SetLastError(ERROR_TLW_WITH_WSCHILD);
    return nullptr;
  }
  HWND handle;
  {
    std::lock_guard lock(S().mutex);
    auto cls = class_name ? S().classes.find(Lower(class_name)) : S().classes.end();
    if (cls == S().classes.end()) {
      SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
      return nullptr;
    }
    if (parent != nullptr && !FindLocked(parent)) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return nullptr;
    }
    auto w = std::make_shared<Window>();
    w->class_name = cls->second.name;
    w->text = window_name ? window_name : "";
    w->procedure = cls->second.info.lpfnWndProc;
    w->instance = instance;
    w->style = style;
    w->ex_style = ex_style;
    w->parent = (style & WS_CHILD) ? parent : nullptr;
    w->owner = (style & WS_CHILD) ? nullptr : parent;
    w->id = (style & WS_CHILD) ? reinterpret_cast<LONG_PTR>(menu) : 0;
    w->message_only = message_only;
    w->queue = queue;
    handle = reinterpret_cast<HWND>(S().next_window++);
    S().windows.emplace(reinterpret_cast<uintptr_t>(handle), std::move(w));
  }
  CREATESTRUCT create{param,
                      instance,
                      menu,
                      parent,
                      height,
                      width,
                      y,
                      x,
                      static_cast<LONG>(style),
                      window_name,
                      class_name,
                      ex_style};
  const LPARAM lparam = reinterpret_cast<LPARAM>(&create);
  if (CallDirect(handle, WM_NCCREATE, 0, lparam) == 0 || CallDirect(handle, WM_CREATE, 0, lparam) == -1) {
    if (IsWindow(handle)) DestroyWindow(handle);
    return nullptr;
  }
  return handle;
}

HWND CreateWindow(const char* class_name, const char* window_name, DWORD style, int x, int y, int width,
                  int height, HWND parent, HMENU menu, HINSTANCE instance, void* param) {
  return CreateWindowEx(0, class_name, window_name, style, x, y, width, height, parent, menu, instance, param);
}

namespace {

// Owned windows first, then WM_DESTROY, then the children, then
// WM_NCDESTROY; the window stays valid until its WM_NCDESTROY returns.
void DestroyTree(HWND window) {
  std::vector<HWND> owned, children;
  {
    std::lock_guard lock(S().mutex);
    auto w = FindLocked(window);
    if (!w || w->destroying) return;
    w->destroying = true;
    for (const auto& [handle, other] : S().windows) {
      if (other->owner == window && !other->destroying) owned.push_back(reinterpret_cast<HWND>(handle));
      if (other->parent == window && !other->destroying) children.push_back(reinterpret_cast<HWND>(handle));
    }
  }
  for (HWND h : owned) DestroyTree(h);
  CallDirect(window, WM_DESTROY, 0, 0);
  for (HWND h : children) DestroyTree(h);
  CallDirect(window, WM_NCDESTROY, 0, 0);
  std::lock_guard lock(S().mutex);
  auto it = S().windows.find(reinterpret_cast<uintptr_t>(window));
  if (it == S().windows.end()) return;
  auto& timers = it->second->queue->timers;
  std::erase_if(timers, [&](const Timer& t) { return t.window == window; });
  S().windows.erase(it);
}

}  // namespace

BOOL DestroyWindow(HWND window) {
  auto w = FindOrFail(window);
  if (!w) return 0;
  if (w->queue->thread_id != ThreadId()) {
    SetLastError(ERROR_ACCESS_DENIED);
    return 0;
  }
  DestroyTree(window);
  return 1;
}

BOOL IsWindow(HWND window) { return window == kDesktop || Find(window) != nullptr; }

LRESULT DefWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_NCCREATE:
      return 1;
    case WM_CLOSE:
      DestroyWindow(window);
      return 0;
    case WM_SETTEXT: {
      std::lock_guard lock(S().mutex);
      auto w = FindLocked(window);
      if (!w) return 0;
      const char* text = reinterpret_cast<const char*>(lparam);
      w->text = text ? text : "";
      return 1;
    }
    case WM_GETTEXT: {
      std::lock_guard lock(S().mutex);
      auto w = FindLocked(window);
      return w ? CopyText(w->text, reinterpret_cast<char*>(lparam), static_cast<int>(wparam)) : 0;
    }
    case WM_GETTEXTLENGTH: {
      std::lock_guard lock(S().mutex);
      auto w = FindLocked(window);
      return w ? static_cast<LRESULT>(w->text.size()) : 0;
    }
    default:
      return 0;
  }
}

LRESULT CallWindowProc(WNDPROC procedure, HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  return procedure ? procedure(window, message, wparam, lparam) : 0;
}

LONG_PTR GetWindowLongPtr(HWND window, int index) {
  std::lock_guard lock(S().mutex);
  auto w = FindLocked(window);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  switch (index) {
    case GWLP_USERDATA:
      return w->user_data;
    case GWLP_WNDPROC:
      return reinterpret_cast<LONG_PTR>(w->procedure);
    case GWLP_ID:
      return w->id;
    case GWLP_HINSTANCE:
      return reinterpret_cast<LONG_PTR>(w->instance);
    case GWL_STYLE:
      return static_cast<LONG_PTR>(w->style);
    case GWL_EXSTYLE:
      return static_cast<LONG_PTR>(w->ex_style);
    default:
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
  }
}

LONG_PTR SetWindowLongPtr(HWND window, int index, LONG_PTR value) {
  std::lock_guard lock(S().mutex);
  auto w = FindLocked(window);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  LONG_PTR old = 0;
  switch (index) {
    case GWLP_USERDATA:
      old = w->user_data;
      w->user_data = value;
      break;
    case GWLP_WNDPROC:
      if (value == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
      }
      old = reinterpret_cast<LONG_PTR>(w->procedure);
      w->procedure = reinterpret_cast<WNDPROC>(value);
      break;
    case GWLP_ID:
      old = w->id;
      w->id = value;
      break;
    case GWLP_HINSTANCE:
      old = reinterpret_cast<LONG_PTR>(w->instance);
      w->instance = reinterpret_cast<HINSTANCE>(value);
      break;
    case GWL_STYLE:
      old = static_cast<LONG_PTR>(w->style);
      w->style = static_cast<DWORD>(value);
      break;
    case GWL_EXSTYLE:
      old = static_cast<LONG_PTR>(w->ex_style);
      w->ex_style = static_cast<DWORD>(value);
      break;
    default:
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
  }
  return old;
}

int GetClassName(HWND window, char* buffer, int size) {
  if (window == kDesktop) return CopyText("#32769", buffer, size);
  std::lock_guard lock(S().mutex);
  auto w = FindLocked(window);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  return CopyText(w->class_name, buffer, size);
}

int GetWindowText(HWND window, char* buffer, int size) {
  std::lock_guard lock(S().mutex);
  auto w = FindLocked(window);
  if (!w) {
    if (size > 0 && buffer) *buffer = '\0';
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  return CopyText(w->text, buffer, size);
}

int GetWindowTextLength(HWND window) {
  std::lock_guard lock(S().mutex);
  auto w = FindLocked(window);
  return w ? static_cast<int>(w->text.size()) : 0;
}

BOOL SetWindowText(HWND window, const char* text) {
  if (!FindOrFail(window)) return 0;
  return SendMessage(window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text)) != 0;
}

HWND GetParent(HWND window) {
  std::lock_guard lock(S().mutex);
  auto w = FindLocked(window);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  if (w->style & WS_CHILD) return w->parent;
  return (w->style & WS_POPUP) ? w->owner : nullptr;
}

BOOL ShowWindow(HWND window, int command) {
  std::lock_guard lock(S().mutex);
  auto w = FindLocked(window);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  const bool was_visible = (w->style & WS_VISIBLE) != 0;
  if (command == SW_HIDE) {
    w->style &= ~WS_VISIBLE;
  } else {
    w->style |= WS_VISIBLE;
  }
  return was_visible ? 1 : 0;
}

BOOL IsWindowVisible(HWND window) {
  if (window == kDesktop) return 1;
  std::lock_guard lock(S().mutex);
  auto w = FindLocked(window);
  return (w && (w->style & WS_VISIBLE)) ? 1 : 0;
}

HWND GetDesktopWindow() { return kDesktop; }

DWORD GetWindowThreadProcessId(HWND window, DWORD* process_id) {
  std::lock_guard lock(S().mutex);
  auto w = FindLocked(window);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  if (process_id) *process_id = GetCurrentProcessId();
  return w->queue->thread_id;
}

BOOL EnumWindows(WNDENUMPROC callback, LPARAM lparam) {
  std::vector<HWND> top;
  {
    std::lock_guard lock(S().mutex);
    for (const auto& [handle, w] : S().windows) {
      if (IsTopLevel(*w)) top.push_back(reinterpret_cast<HWND>(handle));
    }
  }
  for (HWND h : top) {
    if (!IsWindow(h)) continue;
    if (callback(h, lparam) == 0) return 0;
  }
  return 1;
}

HWND FindWindow(const char* class_name, const char* window_name) {
  std::lock_guard lock(S().mutex);
  for (const auto& [handle, w] : S().windows) {
    if (!IsTopLevel(*w)) continue;
    if (class_name && !SameText(w->class_name, class_name)) continue;
    if (window_name && !SameText(w->text, window_name)) continue;
    return reinterpret_cast<HWND>(handle);
  }
  return nullptr;
}

// --- Messages ------------------------------------------------------------------

UINT RegisterWindowMessage(const char* name) {
  if (name == nullptr || *name == '\0') {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const std::string key = Lower(name);
  std::lock_guard lock(S().mutex);
  auto it = S().atoms.find(key);
  if (it != S().atoms.end()) return it->second;
  if (S().next_atom == 0) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
  const ATOM atom = S().next_atom++;
  S().atoms.emplace(key, atom);
  return atom;
}

BOOL PostMessage(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (window == nullptr) return PostThreadMessage(ThreadId(), message, wparam, lparam);
  std::lock_guard lock(S().mutex);
  auto w = FindLocked(window);
  if (!w || w->queue->dead) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  w->queue->posted.push_back(MakeMessage(window, message, wparam, lparam));
  w->queue->wake.notify_all();
  return 1;
}

BOOL PostThreadMessage(DWORD thread_id, UINT message, WPARAM wparam, LPARAM lparam) {
  if (thread_id == ThreadId()) MyQueue();
  std::lock_guard lock(S().mutex);
  auto it = S().queues.find(thread_id);
  if (it == S().queues.end() || it->second->dead) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  it->second->posted.push_back(MakeMessage(nullptr, message, wparam, lparam));
  it->second->wake.notify_all();
  return 1;
}

void PostQuitMessage(int exit_code) {
  auto& queue = MyQueue();
  std::lock_guard lock(S().mutex);
  queue->quit = true;
  queue->quit_code = exit_code;
  queue->wake.notify_all();
}

LRESULT SendMessage(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (window == kDesktop) return 0;
  auto w = FindOrFail(window);
  if (!w) return 0;
  if (w->queue->thread_id == ThreadId()) return CallDirect(window, message, wparam, lparam);
  auto item = std::make_shared<SentItem>();
  item->window = window;
  item->message = message;
  item->wparam = wparam;
  item->lparam = lparam;
  return SendAndWait(w->queue, std::move(item));
}

BOOL GetMessage(MSG* message, HWND window, UINT filter_min, UINT filter_max) {
  if (window != nullptr && window != reinterpret_cast<HWND>(intptr_t{-1}) && !FindOrFail(window)) return -1;
  auto& queue = MyQueue();
  std::unique_lock lock(S().mutex);
  for (;;) {
    std::optional<Clock::time_point> next_due;
    switch (FetchLocked(*queue, lock, message, window, filter_min, filter_max, true, &next_due)) {
      case TFetch::Message:
        return message->message == WM_QUIT ? 0 : 1;
      case TFetch::Quit:
        return 0;
      case TFetch::Nothing:
        break;
    }
    if (!queue->sent.empty()) continue;
    if (next_due) {
      queue->wake.wait_until(lock, *next_due);
    } else {
      queue->wake.wait(lock);
    }
  }
}

BOOL PeekMessage(MSG* message, HWND window, UINT filter_min, UINT filter_max, UINT remove) {
  auto& queue = MyQueue();
  std::unique_lock lock(S().mutex);
  return FetchLocked(*queue, lock, message, window, filter_min, filter_max, (remove & PM_REMOVE) != 0, nullptr) !=
         TFetch::Nothing;
}

BOOL TranslateMessage(const MSG* message) { return 0; }

LRESULT DispatchMessage(const MSG* message) {
  if (message == nullptr) return 0;
  if (message->message == WM_TIMER && message->lParam != 0) {
    reinterpret_cast<TIMERPROC>(message->lParam)(message->hwnd, WM_TIMER, message->wParam, GetTickCount());
    return 0;
  }
  if (message->hwnd == nullptr) return 0;
  auto w = FindOrFail(message->hwnd);
  if (!w) return 0;
  if (w->queue->thread_id != ThreadId()) {
    SetLastError(ERROR_WINDOW_OF_OTHER_THREAD);
    return 0;
  }
  return CallDirect(message->hwnd, message->message, message->wParam, message->lParam);
}

UINT_PTR SetTimer(HWND window, UINT_PTR id, UINT elapse_ms, TIMERPROC procedure) {
  std::shared_ptr<ThreadQueue> queue;
  if (window == nullptr) {
    queue = MyQueue();
  } else {
    auto w = FindOrFail(window);
    if (!w) return 0;
    queue = w->queue;
  }
  elapse_ms = std::clamp<UINT>(elapse_ms, USER_TIMER_MINIMUM, 0x7FFFFFFF);
  std::lock_guard lock(S().mutex);
  if (window != nullptr && !FindLocked(window)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  auto& timers = queue->timers;
  auto existing = std::find_if(timers.begin(), timers.end(), [&](const Timer& t) {
    return t.window == window && t.id == id && (window != nullptr || id != 0);
  });
  if (window == nullptr && existing == timers.end()) id = ++S().next_thread_timer;
  const auto due = Clock::now() + std::chrono::milliseconds(elapse_ms);
  if (existing != timers.end()) {
    *existing = Timer{window, id, elapse_ms, procedure, due};
  } else {
    timers.push_back(Timer{window, id, elapse_ms, procedure, due});
  }
  queue->wake.notify_all();
  return window == nullptr ? id : (id == 0 ? 1 : id);
}

BOOL KillTimer(HWND window, UINT_PTR id) {
  std::shared_ptr<ThreadQueue> queue;
  if (window == nullptr) {
    queue = MyQueue();
  } else {
    auto w = FindOrFail(window);
    if (!w) return 0;
    queue = w->queue;
  }
  std::lock_guard lock(S().mutex);
  const size_t removed =
      std::erase_if(queue->timers, [&](const Timer& t) { return t.window == window && t.id == id; });
  return removed != 0 ? 1 : 0;
}

BOOL MessageBeep(UINT type) {
  if (::isatty(STDERR_FILENO) == 1) {
    ssize_t ignored = ::write(STDERR_FILENO, "\a", 1);
    (void)ignored;
  }
  return 1;
}

}  // namespace corvid::win
