// The diagnostic log: one line for every decision that leaves a user's mail
// as it was and for every failure that is caught, so that nothing fails
// silently. Lines go to a file with size-bounded rotation and, when a
// program asks for it (a daemon under a journal, a -v flag), to standard
// error. A line never holds a password: callers name what failed, not the
// secrets involved.
//
// The destinations are process-wide: this library is shared, so the mail
// client and the extension it loads write to the same places. Any thread
// may write; each line is written whole.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace corvid::log {

// Appends lines to `path` (its folder is made when missing); when the file
// grows past `max_bytes` it becomes "path.1" (the older one goes) and a new
// file starts. An empty path stops writing to a file.
void SetFile(const std::string& path, uint64_t max_bytes = 1024 * 1024);
// Sets the file only when none is set, so a program's own choice wins over
// a loaded library's default.
void SetDefaultFile(const std::string& path);
std::string File();

void SetStandardError(bool enabled);
bool StandardError();

// "2026-12-11 13:45:02 corvid[1234]: text"; control characters in `text`
// are shown escaped (\n, \x1B), so a hostile subject or file name can
// neither forge a line nor reach the terminal raw. Failures to write are
// ignored: the log must never break the work it describes.
void Line(std::string_view text);

// A line that the person running the command should see as well: written
// as Line writes it, and handed (escaped, without the stamp) to the notice
// handler when the program set one. The decisions that leave a user's mail
// other than asked (attachments sent as they were, a send stopped) are
// notices; the steps that lead to them are lines.
void Notice(std::string_view text);
// The handler is called on the thread that gives the notice; an empty one
// ends the notices. The previous handler is returned.
using TNoticeHandler = std::function<void(const std::string& text)>;
TNoticeHandler SetNoticeHandler(TNoticeHandler handler);

// `text` with control characters escaped, for any place that shows a name
// or subject taken from mail.
std::string Printable(std::string_view text);

}  // namespace corvid::log
