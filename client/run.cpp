#include "client/run.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include <ostream>
#include <thread>

#include "base/log.h"
#include "client/callback.h"
#include "client/extension_host.h"
#include "client/main_window.h"
#include "client/mapi_session.h"
#include "client/send.h"
#include "platform/win/machine.h"
#include "platform/win/thread.h"
#include "platform/win/ui_thread.h"

namespace corvid::client {
namespace {

// How often the loop of --once looks whether the background work ended.
constexpr win::UINT kIdleCheckMs = 20;

// Turns SIGTERM and SIGINT into WM_QUIT for the main thread, so a stop
// always comes between two messages, never in the middle of one. Made
// before any other thread, so every thread inherits the blocked signals
// and only this one takes them.
class TStopSignals {
 public:
  TStopSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &signals, &previous_);
    signals_ = ::signalfd(-1, &signals, SFD_CLOEXEC);
    done_ = ::eventfd(0, EFD_CLOEXEC);
    const win::DWORD main_thread = win::MainThreadId();
    waiter_ = std::thread([this, main_thread] {
      for (;;) {
        pollfd fds[2] = {{signals_, POLLIN, 0}, {done_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
          if (errno == EINTR) continue;
          return;
        }
        if (fds[1].revents != 0) return;
        signalfd_siginfo info{};
        if (::read(signals_, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) continue;
        log::Line(std::string("stopping on ") + (info.ssi_signo == SIGTERM ? "SIGTERM" : "SIGINT"));
        win::PostThreadMessage(main_thread, win::WM_QUIT, 0, 0);
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

// The client from logon to logoff; members end in reverse order, so the
// extensions go before the window and the session they use.
class TRunningClient {
 public:
  TRunningClient()
      : host_([this](mapi::ULONG context) { return new TClientCallback(context, session_.Session(), window_.Handle()); }) {}

  void Start(std::ostream& err) { host_.LoadFromRegistry(err); }
  size_t Extensions() const { return host_.InstalledCount(); }

 private:
  TMapiSession session_;
  TClientWindow window_;
  TExtensionHost host_;
};

void Dispatch(const win::MSG& message) {
  win::TranslateMessage(&message);
  win::DispatchMessage(&message);
}

// Until WM_QUIT.
void RunLoop() {
  win::MSG message{};
  while (win::GetMessage(&message, nullptr, 0, 0) > 0) Dispatch(message);
}

// Until the background threads have ended and nothing is left to handle,
// or WM_QUIT.
void RunUntilIdle() {
  const win::UINT_PTR timer = win::SetTimer(nullptr, 0, kIdleCheckMs, nullptr);
  win::MSG message{};
  for (;;) {
    while (win::PeekMessage(&message, nullptr, 0, 0, win::PM_REMOVE)) {
      if (message.message == win::WM_QUIT) {
        win::KillTimer(nullptr, timer);
        return;
      }
      if (message.message != win::WM_TIMER || message.hwnd != nullptr) Dispatch(message);
    }
    if (win::RunningThreadCount() == 0) break;
    if (win::GetMessage(&message, nullptr, 0, 0) <= 0) break;
    if (message.message != win::WM_TIMER || message.hwnd != nullptr) Dispatch(message);
  }
  win::KillTimer(nullptr, timer);
}

int Usage(std::ostream& err) {
  err << "usage: corvid run [--once]\n";  // as main.cpp's --help shows it
  return kExitUsage;
}

}  // namespace

int RunClient(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  bool once = false;
  for (const std::string& arg : args) {
    if (arg == "--once") {
      once = true;
    } else if (arg == "--help" || arg == "-h") {
      out << "usage: corvid run [--once]\n"
             "Runs the mail client: unpacks archives in unread inbox mail at start and in new mail as it\n"
             "arrives, until SIGTERM or SIGINT. With --once it stops after the start-up inbox check.\n"
             "One line per message goes to standard error and to the log file under CORVID_HOME.\n";
      return kExitOk;
    } else {
      err << "corvid run: unknown option " << arg << "\n";
      return Usage(err);
    }
  }
  log::SetStandardError(true);
  try {
    log::SetFile((win::MachineRoot() / "log" / "corvid.log").string());
  } catch (const std::exception&) {
    // Standard error still carries every line.
  }
  TStopSignals stop;
  try {
    TRunningClient client;
    log::Line(std::string(once ? "checking the inbox once" : "running") + "; mail in " +
              win::MachineRoot().string());
    client.Start(err);
    if (client.Extensions() == 0) {
      log::Line("no extension is registered, so nothing will be unpacked (register one with: rundll32 "
                "corvina.dll,Install_RunDLL 1)");
    }
    if (once) {
      RunUntilIdle();
    } else {
      RunLoop();
    }
  } catch (const std::exception& error) {
    err << "corvid run: " << error.what() << "\n";
    log::SetStandardError(false);
    log::Line(std::string("could not run: ") + error.what());
    return kExitFailed;
  }
  log::Line("stopped");
  return kExitOk;
}

}  // namespace corvid::client
