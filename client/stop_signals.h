#pragma once

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <thread>

#include "base/log.h"
#include "base/posix_io.h"
#include "platform/win/ui_thread.h"

namespace corvid::client {

// Turns SIGTERM and SIGINT into a message posted to the main thread
// (WM_QUIT to stop the client, WM_CANCELMODE to cancel a batch), so a stop
// always comes between two messages, never in the middle of one. Made
// before any other thread, so every thread inherits the blocked signals
// and only this one takes them.
class TStopSignals {
 public:
  explicit TStopSignals(win::UINT message) {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &signals, &previous_);
    signals_ = ::signalfd(-1, &signals, SFD_CLOEXEC);
    done_ = ::eventfd(0, EFD_CLOEXEC);
    const win::DWORD main_thread = win::MainThreadId();
    waiter_ = std::thread([this, main_thread, message] {
      for (;;) {
        pollfd fds[2] = {{signals_, POLLIN, 0}, {done_, POLLIN, 0}};
        if (io::PollUntilReady(fds, 2) < 0) return;
        if (fds[1].revents != 0) return;
        signalfd_siginfo info{};
        if (::read(signals_, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) continue;
        log::Line(std::string(message == win::WM_QUIT ? "stopping" : "cancelling") + " on " +
                  (info.ssi_signo == SIGTERM ? "SIGTERM" : "SIGINT"));
        win::PostThreadMessage(main_thread, message, 0, 0);
      }
    });
  }
  ~TStopSignals() {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(done_, &one, sizeof one);
    waiter_.join();
    ::close(signals_);
    ::close(done_);
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
  }
  TStopSignals(const TStopSignals&) = delete;
  TStopSignals& operator=(const TStopSignals&) = delete;

 private:
  sigset_t previous_;
  int signals_ = -1;
  int done_ = -1;
  std::thread waiter_;
};

}  // namespace corvid::client
