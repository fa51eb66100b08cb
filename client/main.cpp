// corvid: the stand-in mail client. It loads the extensions the registry
// names, as the mail client does, and sends mail through them.
//
//   corvid send --to ADDR [--cc ADDR] [--bcc ADDR] [--subject TEXT]
//               [--body TEXT | --body-file FILE] [--attach FILE]...
//   corvid sendmail [-t] [-i|-oi] [-f ADDR] [-v] [ADDR...]  < MESSAGE
//   corvid run [--once]
//   corvid flush
//   corvid config list | get NAME | set NAME [VALUE]
//
// Exit status of send: 0 sent, 1 failed (the message says what and where
// the message was left), 2 wrong use. sendmail answers as sendmail does.
#include <iostream>
#include <string>
#include <vector>

#include "client/config.h"
#include "client/run.h"
#include "client/send.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  const std::string program = std::string(argv[0]);
  // Installed under the name "sendmail", it is the sendmail command.
  const bool as_sendmail = program.size() >= 8 && program.compare(program.size() - 8, 8, "sendmail") == 0;
  if (as_sendmail) return corvid::client::RunSendmail(args, std::cin, std::cout, std::cerr);
  if (args.empty()) {
    std::cerr << "usage: corvid send ... | corvid sendmail ... | corvid run [--once] | corvid flush | corvid config ...\n";
    return corvid::client::kExitUsage;
  }
  const std::string command = args.front();
  args.erase(args.begin());
  if (command == "run") return corvid::client::RunClient(args, std::cout, std::cerr);
  if (command == "send") return corvid::client::RunSend(args, std::cin, std::cout, std::cerr);
  if (command == "sendmail") return corvid::client::RunSendmail(args, std::cin, std::cout, std::cerr);
  if (command == "flush") return corvid::client::RunFlush(args, std::cout, std::cerr);
  if (command == "config") return corvid::client::RunConfig(args, std::cin, std::cout, std::cerr);
  std::cerr << "corvid: unknown command " << command << "\n";
  return corvid::client::kExitUsage;
}
