#include "client/run.h"



#include <ostream>

#include "base/log.h"
#include "client/running_client.h"
#include "client/send.h"
#include "client/stop_signals.h"
#include "platform/win/machine.h"
#include "platform/win/thread.h"
#include "platform/win/ui_thread.h"

namespace corvid::client {
namespace {

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
  TStopSignals stop(win::WM_QUIT);
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
      RunUntilIdle(win::RunningThreadCount);
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
