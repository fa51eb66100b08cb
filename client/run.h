// `corvid run`: the mail client running. It logs on to the default
// profile, loads the registered extensions in every context they ask for
// (the session context starts their inbox scan and new-mail watch), shows
// its main window and runs the main thread's message loop until SIGTERM or
// SIGINT. Then it lets the extensions go (they finish the message at hand
// and save their settings) and logs off.
//
// `corvid run --once` stops instead as soon as the background work the
// extensions started at logon has ended and everything it handed to the
// main thread has run: the start-up inbox scan, for a cron job or a test.
//
// What happens is logged (base/log.h) to standard error, one line per
// message, as a journal reads it, and to the machine's log file.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace corvid::client {

// `corvid run ARGS`: the arguments after "run". 0 after a clean stop, 1
// when the client could not start, 2 on wrong use.
int RunClient(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace corvid::client
