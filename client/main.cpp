// corvid: the stand-in mail client. It loads the extensions the registry
// names, as the mail client does, and sends mail through them.
//
//   corvid send --to ADDR [--cc ADDR] [--bcc ADDR] [--from ADDR] [--subject TEXT]
//               [--body TEXT | --body-file FILE] [--attach FILE]... [-v]
//   corvid sendmail [-t] [-i|-oi] [-f ADDR] [-v] [-q] [ADDR...]  < MESSAGE
//   corvid run [--once]
//   corvid flush
//   corvid config list | get NAME | set NAME [VALUE]
//   corvid menu | compress | decompress [--folder NAME] (ENTRYID... | --all)
//
// Exit status of send: 0 sent, 1 failed (the message says what and where
// the message was left), 2 wrong use. sendmail answers as sendmail does.
// Every command, and corvid itself, answers --help and --version on
// standard output.
#include <iostream>
#include <string>
#include <vector>

#include "base/version.h"
#include "client/config.h"
#include "client/explorer.h"
#include "client/options.h"
#include "client/run.h"
#include "client/send.h"

namespace {

using namespace corvid::client;

constexpr char kRunUsage[] = "usage: corvid run [--once]\n";
constexpr char kMenuUsage[] = "usage: corvid menu [--folder NAME] [ENTRYID... | --all]\n";
constexpr char kCompressUsage[] = "usage: corvid compress [--folder NAME] (ENTRYID... | --all)\n";
constexpr char kDecompressUsage[] = "usage: corvid decompress [--folder NAME] (ENTRYID... | --all)\n";
constexpr char kOptionsUsage[] = "usage: corvid options\n";

struct TCommand {
  const char* name;
  const char* usage;
};
const TCommand kCommands[] = {
    {"send", kSendUsage}, {"sendmail", kSendmailUsage}, {"run", kRunUsage}, {"flush", kFlushUsage},
    {"config", kConfigUsage}, {"menu", kMenuUsage}, {"compress", kCompressUsage}, {"decompress", kDecompressUsage},
    {"options", kOptionsUsage},
};

int Usage(std::ostream& out, int status) {
  out << "usage: corvid COMMAND [ARGUMENTS]   (corvid COMMAND --help for one)\n";
  for (const TCommand& command : kCommands) out << "  " << (command.usage + 7);  // without "usage: "
  return status;
}

int Version(const char* program) {
  std::cout << program << " " << corvid::kVersion << "\n";
  return kExitOk;
}

// --help and --version as the only argument of a command.
bool Answered(const std::string& command, const std::vector<std::string>& args, int* status) {
  if (args.size() != 1 || (args[0] != "--help" && args[0] != "--version")) return false;
  for (const TCommand& known : kCommands) {
    if (command != known.name) continue;
    if (args[0] == "--version") {
      *status = Version(("corvid " + command).c_str());
    } else if (command == "run") {
      *status = RunClient(args, std::cout, std::cerr);  // it explains itself at length
    } else {
      std::cout << known.usage;
      *status = kExitOk;
    }
    return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  const std::string program = std::string(argv[0]);
  int status = 0;
  // Installed under the name "sendmail", it is the sendmail command.
  const bool as_sendmail = program.size() >= 8 && program.compare(program.size() - 8, 8, "sendmail") == 0;
  if (as_sendmail) {
    if (Answered("sendmail", args, &status)) return status;
    return RunSendmail(args, std::cin, std::cout, std::cerr);
  }
  if (args.empty()) return Usage(std::cerr, kExitUsage);
  if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) return Usage(std::cout, kExitOk);
  if (args.size() == 1 && args[0] == "--version") return Version("corvid");
  const std::string command = args.front();
  args.erase(args.begin());
  if (Answered(command, args, &status)) return status;
  if (command == "run") return RunClient(args, std::cout, std::cerr);
  if (command == "send") return RunSend(args, std::cin, std::cout, std::cerr);
  if (command == "sendmail") return RunSendmail(args, std::cin, std::cout, std::cerr);
  if (command == "flush") return RunFlush(args, std::cout, std::cerr);
  if (command == "config") return RunConfig(args, std::cin, std::cout, std::cerr);
  if (command == "options") return RunOptions(args, std::cout, std::cerr);
  if (command == "menu" || command == "compress" || command == "decompress") {
    return RunExplorer(command, args, std::cout, std::cerr);
  }
  std::cerr << "corvid: unknown command " << command << "\n";
  return Usage(std::cerr, kExitUsage);
}
