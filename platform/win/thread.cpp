#include "platform/win/thread.h"

#include <chrono>

#include "platform/win/ui_thread.h"

namespace corvid::win {
namespace {

std::atomic<int> g_running{0};

}  // namespace

int RunningThreadCount() { return g_running.load(); }

TThread::~TThread() {
  if (!thread_.joinable()) return;
  if (thread_.get_id() == std::this_thread::get_id()) {
    thread_.detach();  // the work frees its own object
  } else {
    thread_.join();
  }
}

void TThread::Resume() {
  if (started_.exchange(true)) return;
  ++g_running;
  // Read before the thread starts: a thread that frees itself may be gone
  // by the next line, and is nobody's to join.
  const bool free_self = FreeOnTerminate;
  std::thread worker(&TThread::Run, this);
  if (free_self) {
    worker.detach();
  } else {
    thread_ = std::move(worker);
  }
}

void TThread::Run() {
  try {
    Execute();
  } catch (...) {
    // A worker's failure ends its work; what it means is the worker's to say.
  }
  const bool free_self = FreeOnTerminate;
  {
    std::lock_guard lock(mutex_);
    finished_ = true;
  }
  done_.notify_all();
  --g_running;
  if (free_self) delete this;
}

bool TThread::Finished() const {
  std::lock_guard lock(mutex_);
  return finished_;
}

void TThread::WaitFor() {
  if (!started_) return;
  if (thread_.joinable() && thread_.get_id() == std::this_thread::get_id()) return;
  const bool on_main = GetCurrentThreadId() == MainThreadId();
  std::unique_lock lock(mutex_);
  while (!finished_) {
    if (on_main) {
      lock.unlock();
      MSG message{};
      // Looking at the queue runs pending Synchronize calls and sent
      // messages without taking posted ones.
      PeekMessage(&message, nullptr, WM_NULL, WM_NULL, PM_NOREMOVE);
      lock.lock();
      done_.wait_for(lock, std::chrono::milliseconds(5), [&] { return finished_; });
    } else {
      done_.wait(lock);
    }
  }
  lock.unlock();
  if (thread_.joinable()) thread_.join();
}

void TThread::Synchronize(const std::function<void()>& function) { win::Synchronize(function); }

}  // namespace corvid::win
