// The commands that send mail: `corvid send` composes a message, `corvid
// sendmail` takes one on standard input. Both go the client's one road:
// the message is put into "Outbox" of the default store, the loaded
// extensions see it submitted (OnSubmit), the client writes it
// (SaveChanges), the extensions see the write complete (OnWriteComplete),
// and the client sends it: through the profile's SendCommand when there is
// one, and into "Sent Items".
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace corvid::client {

// Exit statuses of `corvid`.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

// The usage of each command, shown for --help and after a wrong use.
inline constexpr char kSendUsage[] =
    "usage: corvid send --to ADDR [--cc ADDR] [--bcc ADDR] [--from ADDR] [--subject TEXT]\n"
    "                   [--body TEXT | --body-file FILE] [--attach FILE]... [-v]\n";
inline constexpr char kSendmailUsage[] = "usage: corvid sendmail [-t] [-i|-oi] [-f ADDR] [-v] [-q] [ADDR...] < MESSAGE\n";
inline constexpr char kFlushUsage[] = "usage: corvid flush\n";

// `corvid send ARGS`: the arguments after "send". Without --body or
// --body-file the body is read from `in` when standard input is not a
// terminal (as `mail -s` does).
int RunSend(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err);
// `corvid flush`: every message waiting in Outbox is sent again (as
// `sendmail -q` does): one that the extensions saw through goes to the
// delivery command; a draft (stopped on the way) goes through the
// extensions first. 0 when all went, 1 when one failed (it stays).
int RunFlush(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
// `corvid sendmail ARGS`: the message from `in`; sendmail's exit statuses
// (0, 64 wrong use, 65 bad message, 75 failed, try later).
int RunSendmail(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err);

}  // namespace corvid::client
