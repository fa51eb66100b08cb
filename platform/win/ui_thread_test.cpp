#include "platform/win/ui_thread.h"

#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace corvid::win {
namespace {

constexpr UINT kAsk = WM_USER + 1;      // answer wparam + 1
constexpr UINT kAskBack = WM_USER + 2;  // send kAsk to the window in lparam, add 100
constexpr UINT kRecord = WM_USER + 3;   // remember wparam
constexpr UINT kPing = WM_USER + 4;

// What the test window procedure saw, per window (in its user data).
struct Log {
  std::mutex mutex;
  std::vector<UINT> messages;
  std::vector<WPARAM> records;
  std::vector<DWORD> threads;
  void* create_param = nullptr;
};

LRESULT TestProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_NCCREATE) {
    auto* create = reinterpret_cast<CREATESTRUCT*>(lparam);
    auto* log = static_cast<Log*>(create->lpCreateParams);
    SetWindowLongPtr(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(log));
    if (log) log->create_param = log;
  }
  auto* log = reinterpret_cast<Log*>(GetWindowLongPtr(hwnd, GWLP_USERDATA));
  if (log) {
    std::lock_guard lock(log->mutex);
    log->messages.push_back(message);
    log->threads.push_back(GetCurrentThreadId());
    if (message == kRecord) log->records.push_back(wparam);
  }
  switch (message) {
    case kAsk:
      return static_cast<LRESULT>(wparam) + 1;
    case kAskBack:
      return SendMessage(reinterpret_cast<HWND>(lparam), kAsk, wparam, 0) + 100;
    default:
      return DefWindowProc(hwnd, message, wparam, lparam);
  }
}

LRESULT RefuseCreate(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  return message == WM_CREATE ? -1 : DefWindowProc(hwnd, message, wparam, lparam);
}

class UiThreadTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    WNDCLASS wc{};
    wc.lpfnWndProc = TestProc;
    wc.lpszClassName = "UiThreadTest.Window";
    ASSERT_NE(RegisterClass(&wc), 0);
  }
  static void TearDownTestSuite() { UnregisterClass("UiThreadTest.Window", nullptr); }

  // Drops whatever earlier tests left in this thread's queue.
  void SetUp() override {
    MSG m;
    while (PeekMessage(&m, nullptr, 0, 0, PM_REMOVE)) {
    }
  }

  static HWND Make(Log* log, const char* title = "", DWORD style = 0, HWND parent = nullptr) {
    return CreateWindow("UiThreadTest.Window", title, style, 0, 0, 0, 0, parent, nullptr, nullptr, log);
  }
};

// Runs a message loop on its own thread with one window of the test class.
class LoopThread {
 public:
  explicit LoopThread(Log* log) {
    std::promise<HWND> made;
    auto window = made.get_future();
    thread_ = std::thread([this, log, &made] {
      id_ = GetCurrentThreadId();
      made.set_value(CreateWindow("UiThreadTest.Window", "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, log));
      MSG m;
      while (GetMessage(&m, nullptr, 0, 0) > 0) DispatchMessage(&m);
    });
    window_ = window.get();
  }
  ~LoopThread() {
    PostMessage(window_, WM_CLOSE, 0, 0);
    PostThreadMessage(id_, WM_QUIT, 0, 0);
    thread_.join();
  }
  HWND window() const { return window_; }
  DWORD id() const { return id_; }

 private:
  std::thread thread_;
  HWND window_ = nullptr;
  std::atomic<DWORD> id_{0};
};

TEST_F(UiThreadTest, WindowsKeepClassUserDataAndCreateParameter) {
  Log log;
  HWND window = Make(&log, "Title");
  ASSERT_NE(window, nullptr);
  EXPECT_TRUE(IsWindow(window));
  EXPECT_EQ(log.create_param, &log);
  EXPECT_EQ(GetWindowLongPtr(window, GWLP_USERDATA), reinterpret_cast<LONG_PTR>(&log));
  EXPECT_EQ(SetWindowLongPtr(window, GWLP_USERDATA, 7), reinterpret_cast<LONG_PTR>(&log));
  EXPECT_EQ(GetWindowLongPtr(window, GWLP_USERDATA), 7);
  SetWindowLongPtr(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&log));

  char name[64];
  EXPECT_EQ(GetClassName(window, name, sizeof name), 19);
  EXPECT_STREQ(name, "UiThreadTest.Window");
  EXPECT_EQ(GetClassName(window, name, 4), 3);  // cut, still terminated
  EXPECT_STREQ(name, "UiT");
  EXPECT_TRUE(SetWindowText(window, "Other"));
  EXPECT_EQ(GetWindowText(window, name, sizeof name), 5);
  EXPECT_STREQ(name, "Other");

  WNDCLASS info{};
  ASSERT_TRUE(GetClassInfo(nullptr, "uithreadtest.WINDOW", &info));
  EXPECT_EQ(info.lpfnWndProc, TestProc);
  WNDCLASS again{};
  again.lpfnWndProc = TestProc;
  again.lpszClassName = "UITHREADTEST.window";
  EXPECT_EQ(RegisterClass(&again), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLASS_ALREADY_EXISTS));
  EXPECT_FALSE(UnregisterClass("UiThreadTest.Window", nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLASS_HAS_WINDOWS));

  EXPECT_TRUE(DestroyWindow(window));
  EXPECT_FALSE(IsWindow(window));
  EXPECT_EQ(log.messages.front(), WM_NCCREATE);
  EXPECT_EQ(log.messages.back(), WM_NCDESTROY);
  EXPECT_EQ(SendMessage(window, kAsk, 1, 0), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
  EXPECT_FALSE(PostMessage(window, kPing, 0, 0));
}

TEST_F(UiThreadTest, CreationFailuresLeaveNoWindow) {
  WNDCLASS wc{};
  wc.lpfnWndProc = RefuseCreate;
  wc.lpszClassName = "UiThreadTest.Refuses";
  ASSERT_NE(RegisterClass(&wc), 0);
  EXPECT_EQ(CreateWindow("UiThreadTest.Refuses", "r", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr), nullptr);
  EXPECT_EQ(FindWindow("UiThreadTest.Refuses", nullptr), nullptr);
  EXPECT_TRUE(UnregisterClass("UiThreadTest.Refuses", nullptr));

  EXPECT_EQ(CreateWindow("No.Such.Class", "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CANNOT_FIND_WND_CLASS));
  EXPECT_EQ(Make(nullptr, "", WS_CHILD), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TLW_WITH_WSCHILD));
}

TEST_F(UiThreadTest, DestroyingAWindowDestroysItsChildrenAndOwnedWindows) {
  Log parent_log, child_log, owned_log;
  HWND parent = Make(&parent_log);
  HWND child = Make(&child_log, "", WS_CHILD, parent);
  HWND owned = Make(&owned_log, "", WS_POPUP, parent);
  EXPECT_EQ(GetParent(child), parent);
  EXPECT_EQ(GetParent(owned), parent);  // the owner of a pop-up
  ASSERT_TRUE(DestroyWindow(parent));
  EXPECT_FALSE(IsWindow(child));
  EXPECT_FALSE(IsWindow(owned));
  EXPECT_EQ(child_log.messages.back(), WM_NCDESTROY);
  EXPECT_EQ(owned_log.messages.back(), WM_NCDESTROY);
}

TEST_F(UiThreadTest, PostedMessagesArriveInOrderAndQuitComesLast) {
  Log log;
  HWND window = Make(&log);
  PostMessage(window, kRecord, 1, 0);
  PostQuitMessage(3);
  PostMessage(window, kRecord, 2, 0);
  // From another thread, after ours: queued behind them.
  std::thread([window] {
    for (WPARAM i = 3; i <= 50; ++i) PostMessage(window, kRecord, i, 0);
  }).join();
  MSG m;
  BOOL got;
  while ((got = GetMessage(&m, nullptr, 0, 0)) > 0) DispatchMessage(&m);
  EXPECT_EQ(got, 0);
  EXPECT_EQ(m.message, WM_QUIT);
  EXPECT_EQ(m.wParam, 3u);
  std::vector<WPARAM> expected;
  for (WPARAM i = 1; i <= 50; ++i) expected.push_back(i);
  EXPECT_EQ(log.records, expected);
  EXPECT_FALSE(PeekMessage(&m, nullptr, 0, 0, PM_REMOVE));  // the quit was taken
  DestroyWindow(window);
}

TEST_F(UiThreadTest, FiltersLeaveOtherMessagesQueued) {
  Log log;
  HWND a = Make(&log), b = Make(&log);
  PostMessage(a, kPing, 1, 0);
  PostMessage(b, kRecord, 2, 0);
  MSG m;
  ASSERT_TRUE(PeekMessage(&m, b, 0, 0, PM_NOREMOVE));
  EXPECT_EQ(m.hwnd, b);
  ASSERT_TRUE(PeekMessage(&m, nullptr, kRecord, kRecord, PM_REMOVE));
  EXPECT_EQ(m.wParam, 2u);
  ASSERT_TRUE(PeekMessage(&m, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(m.hwnd, a);
  EXPECT_FALSE(PeekMessage(&m, nullptr, 0, 0, PM_REMOVE));
  DestroyWindow(a);
  DestroyWindow(b);
}

TEST_F(UiThreadTest, SendMessageRunsOnTheOwningThread) {
  Log log;
  LoopThread owner(&log);
  EXPECT_EQ(SendMessage(owner.window(), kAsk, 41, 0), 42);
  {
    std::lock_guard lock(log.mutex);
    EXPECT_EQ(log.threads.back(), owner.id());
  }
  DWORD pid = 0;
  EXPECT_EQ(GetWindowThreadProcessId(owner.window(), &pid), owner.id());
  EXPECT_EQ(pid, GetCurrentProcessId());
  // Another thread's window may not be destroyed from here.
  EXPECT_FALSE(DestroyWindow(owner.window()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

// The owner answers by sending back to the sender, who is itself waiting in
// SendMessage: the waiting thread must handle that, or both hang.
TEST_F(UiThreadTest, NestedSendsBetweenTwoThreadsDoNotDeadlock) {
  Log mine_log, their_log;
  HWND mine = Make(&mine_log);
  LoopThread owner(&their_log);
  EXPECT_EQ(SendMessage(owner.window(), kAskBack, 5, reinterpret_cast<LPARAM>(mine)), 106);
  {
    std::lock_guard lock(mine_log.mutex);
    ASSERT_FALSE(mine_log.threads.empty());
    EXPECT_EQ(mine_log.messages.back(), kAsk);
    EXPECT_EQ(mine_log.threads.back(), GetCurrentThreadId());
  }
  DestroyWindow(mine);
}

// Many threads sending at once to one owner, each also owning a window that
// the owner sends back to: every answer comes back to its own sender.
TEST_F(UiThreadTest, ConcurrentNestedSendsAllComplete) {
  Log their_log;
  LoopThread owner(&their_log);
  std::vector<std::thread> senders;
  std::atomic<int> right{0};
  for (int t = 0; t < 4; ++t) {
    senders.emplace_back([&, t] {
      Log log;
      HWND mine = Make(&log);
      for (int i = 0; i < 50; ++i) {
        const WPARAM value = static_cast<WPARAM>(t * 1000 + i);
        if (SendMessage(owner.window(), kAskBack, value, reinterpret_cast<LPARAM>(mine)) ==
            static_cast<LRESULT>(value) + 101) {
          ++right;
        }
      }
      DestroyWindow(mine);
    });
  }
  for (auto& s : senders) s.join();
  EXPECT_EQ(right.load(), 200);
}

TEST_F(UiThreadTest, SendToAThreadThatEndsReturnsZero) {
  std::promise<HWND> made;
  std::thread quitter([&] {
    made.set_value(Make(nullptr));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  });  // never looks at its queue
  HWND window = made.get_future().get();
  EXPECT_EQ(SendMessage(window, kAsk, 1, 0), 0);
  quitter.join();
  EXPECT_FALSE(IsWindow(window));
}

TEST_F(UiThreadTest, SynchronizeRunsOnTheMainThreadWhileItPumps) {
  ASSERT_EQ(GetCurrentThreadId(), MainThreadId()) << "gtest runs tests on the main thread";
  std::atomic<DWORD> ran_on{0};
  std::atomic<bool> done{false};
  bool thrown = false;
  std::thread worker([&] {
    Synchronize([&] { ran_on = GetCurrentThreadId(); });
    try {
      Synchronize([] { throw std::runtime_error("from main"); });
    } catch (const std::runtime_error& e) {
      thrown = std::string(e.what()) == "from main";
    }
    done = true;
    PostThreadMessage(MainThreadId(), kPing, 0, 0);
  });
  MSG m;
  while (!done) GetMessage(&m, nullptr, 0, 0);
  worker.join();
  EXPECT_EQ(ran_on.load(), MainThreadId());
  EXPECT_TRUE(thrown);
  int direct = 0;
  Synchronize([&] { direct = 1; });  // on the main thread: at once
  EXPECT_EQ(direct, 1);
}

TEST_F(UiThreadTest, RegisteredMessagesAreStablePerName) {
  const UINT a = RegisterWindowMessage("Corvid.Test.Message");
  EXPECT_GE(a, kFirstRegisteredMessage);
  EXPECT_EQ(RegisterWindowMessage("CORVID.test.message"), a);
  EXPECT_NE(RegisterWindowMessage("Corvid.Test.Other"), a);
  EXPECT_EQ(RegisterWindowMessage(""), 0u);
  // Racing threads get the one number.
  std::vector<std::future<UINT>> racers;
  for (int i = 0; i < 4; ++i) {
    racers.push_back(std::async(std::launch::async, [] { return RegisterWindowMessage("Corvid.Test.Race"); }));
  }
  const UINT first = racers[0].get();
  EXPECT_GE(first, kFirstRegisteredMessage);
  for (size_t i = 1; i < racers.size(); ++i) EXPECT_EQ(racers[i].get(), first);
}

struct Seen {
  std::vector<HWND> windows;
  size_t stop_after = 0;
};
BOOL Collect(HWND window, LPARAM lparam) {
  auto* seen = reinterpret_cast<Seen*>(lparam);
  seen->windows.push_back(window);
  return seen->windows.size() != seen->stop_after;
}

TEST_F(UiThreadTest, FindWindowAndEnumWindowsSeeTopLevelWindowsOfAllThreads) {
  WNDCLASS wc{};
  wc.lpfnWndProc = DefWindowProc;
  wc.lpszClassName = "rctrl_renwnd32";
  ASSERT_NE(RegisterClass(&wc), 0);
  Log log;
  HWND other = Make(&log, "Other");
  HWND frame = CreateWindow("rctrl_renwnd32", "Inbox", WS_VISIBLE, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
  HWND child = CreateWindow("rctrl_renwnd32", "Child", WS_CHILD, 0, 0, 0, 0, frame, nullptr, nullptr, nullptr);
  HWND hidden = CreateWindow("rctrl_renwnd32", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
  LoopThread thread(&log);

  EXPECT_EQ(FindWindow("rctrl_renwnd32", nullptr), frame);
  EXPECT_EQ(FindWindow("RCTRL_RENWND32", "inbox"), frame);
  EXPECT_EQ(FindWindow(nullptr, "Child"), nullptr);  // not top-level
  EXPECT_EQ(FindWindow(nullptr, "Other"), other);
  EXPECT_EQ(FindWindow("rctrl_renwnd32", "Other"), nullptr);
  EXPECT_TRUE(IsWindowVisible(frame));
  EXPECT_FALSE(IsWindowVisible(other));

  Seen seen;
  EXPECT_TRUE(EnumWindows(Collect, reinterpret_cast<LPARAM>(&seen)));
  auto has = [&](HWND w) { return std::find(seen.windows.begin(), seen.windows.end(), w) != seen.windows.end(); };
  EXPECT_TRUE(has(other));
  EXPECT_TRUE(has(frame));
  EXPECT_TRUE(has(thread.window()));
  EXPECT_FALSE(has(child));
  EXPECT_FALSE(has(hidden));
  EXPECT_FALSE(has(GetDesktopWindow()));

  Seen first_only;
  first_only.stop_after = 1;
  EXPECT_FALSE(EnumWindows(Collect, reinterpret_cast<LPARAM>(&first_only)));
  EXPECT_EQ(first_only.windows.size(), 1u);

  DestroyWindow(frame);
  DestroyWindow(hidden);
  DestroyWindow(other);
  EXPECT_EQ(FindWindow("rctrl_renwnd32", nullptr), nullptr);
  EXPECT_TRUE(UnregisterClass("rctrl_renwnd32", nullptr));
  EXPECT_TRUE(IsWindow(GetDesktopWindow()));
}

TEST_F(UiThreadTest, TimersPostOneTickAtATimeUntilKilled) {
  Log log;
  HWND window = Make(&log);
  ASSERT_NE(SetTimer(window, 9, 200, nullptr), 0u);
  PostMessage(window, kPing, 0, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(450));  // two periods
  MSG m;
  ASSERT_TRUE(PeekMessage(&m, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(m.message, kPing);  // posted messages come before ticks
  ASSERT_TRUE(PeekMessage(&m, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(m.message, WM_TIMER);
  EXPECT_EQ(m.hwnd, window);
  EXPECT_EQ(m.wParam, 9u);
  EXPECT_FALSE(PeekMessage(&m, nullptr, 0, 0, PM_REMOVE));  // ticks do not pile up
  ASSERT_EQ(GetMessage(&m, nullptr, 0, 0), 1);             // waits for the next one
  EXPECT_EQ(m.message, WM_TIMER);
  EXPECT_TRUE(KillTimer(window, 9));
  EXPECT_FALSE(KillTimer(window, 9));
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
  EXPECT_FALSE(PeekMessage(&m, nullptr, 0, 0, PM_REMOVE));
  DestroyWindow(window);
}

TEST(MessageBeepTest, RingsOnlyOnATerminal) {
  int master = -1, slave = -1;
  ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  const int saved = dup(STDERR_FILENO);

  dup2(slave, STDERR_FILENO);
  EXPECT_TRUE(MessageBeep(MB_OK));
  dup2(pipe_fds[1], STDERR_FILENO);
  EXPECT_TRUE(MessageBeep(MB_ICONEXCLAMATION));
  dup2(saved, STDERR_FILENO);

  fcntl(master, F_SETFL, O_NONBLOCK);
  char buffer[8];
  EXPECT_EQ(read(master, buffer, sizeof buffer), 1);
  EXPECT_EQ(buffer[0], '\a');
  fcntl(pipe_fds[0], F_SETFL, O_NONBLOCK);
  EXPECT_EQ(read(pipe_fds[0], buffer, sizeof buffer), -1);  // nothing written to a pipe
  for (int fd : {master, slave, pipe_fds[0], pipe_fds[1], saved}) close(fd);
}

}  // namespace
}  // namespace corvid::win
