// A worker thread as the system's thread classes expect one: made suspended,
// started once with Resume, asked to stop with Terminate (the work checks
// Terminated() at its own pace), waited for with WaitFor, and optionally
// freeing itself when its work ends.
//
// WaitFor on the main thread keeps answering Synchronize calls while it
// waits, so a worker that is handing a result to the main thread at that
// moment finishes instead of deadlocking.
//
// The process counts the threads that were started and have not finished
// (RunningThreadCount): a host that must not exit before its loaded modules'
// background work is done (a client run once from cron) waits for zero.
// The count lives in this shared library, so every module adds to one count.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace corvid::win {

class TThread {
 public:
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;

  // Starts the work the first time; later calls do nothing.
  void Resume();
  // Asks the work to stop; it sees Terminated() and returns.
  void Terminate() { terminated_ = true; }
  bool Terminated() const { return terminated_; }
  // Returns when the work has ended (at once when it never started).
  void WaitFor();
  bool Finished() const;

  // Set before Resume: the thread deletes its object when the work ends,
  // and nobody may touch the object after Resume.
  bool FreeOnTerminate = false;

 protected:
  TThread() = default;
  // A class whose Execute uses its own members must call Terminate and
  // WaitFor in its destructor: by the time this one runs they are gone.
  virtual ~TThread();

  virtual void Execute() = 0;
  // Runs `function` on the main thread and returns when it has run.
  static void Synchronize(const std::function<void()>& function);

 private:
  void Run();

  std::thread thread_;
  std::atomic<bool> started_{false};
  std::atomic<bool> terminated_{false};
  mutable std::mutex mutex_;
  std::condition_variable done_;
  bool finished_ = false;
};

// Threads of this class in the process that were started and have not yet
// finished their work.
int RunningThreadCount();

}  // namespace corvid::win
