// The terminal presenter. Input is read with read()/poll() on a raw file
// descriptor, not through stdio, so a time-out can interrupt the wait and
// nothing is left in a stdio buffer between dialogs.
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <chrono>
#include <algorithm>
#include <cerrno>

#include "base/posix_io.h"
#include "ui/presenter.h"

namespace corvid::ui {

namespace {

// Longest line kept; the rest of a longer line is read and dropped, so a
// runaway input cannot grow memory. Far above the prompt's own limit.
constexpr size_t kMaxLineBytes = 64 * 1024;

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return {};
  size_t e = s.find_last_not_of(" \t\r");
  return s.substr(b, e - b + 1);
}

// Switches terminal echo off for its lifetime (when `fd` is a terminal).
class TEchoOff {
 public:
  explicit TEchoOff(int fd) : fd_(fd) {
    if (tcgetattr(fd_, &saved_) != 0) return;
    termios quiet = saved_;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    active_ = tcsetattr(fd_, TCSAFLUSH, &quiet) == 0;
  }
  ~TEchoOff() {
    if (active_) tcsetattr(fd_, TCSAFLUSH, &saved_);
  }
  TEchoOff(const TEchoOff&) = delete;
  TEchoOff& operator=(const TEchoOff&) = delete;

 private:
  int fd_;
  termios saved_{};
  bool active_ = false;
};

}  // namespace

void TTerminalPresenter::Write(const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = io::WriteSome(out_fd_, text.data() + done, text.size() - done);
    if (n <= 0) return;  // nowhere to show it; the answer is still read
    done += static_cast<size_t>(n);
  }
}

TTerminalPresenter::TRead TTerminalPresenter::ReadLine(
    std::string& line, std::optional<std::chrono::steady_clock::time_point> deadline) {
  line.clear();
  bool dropping = false;
  for (;;) {
    size_t eol = pending_.find('\n');
    if (eol != std::string::npos) {
      if (!dropping) line.append(pending_, 0, std::min(eol, kMaxLineBytes - line.size()));
      pending_.erase(0, eol + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      return TRead::kLine;
    }
    if (!dropping) {
      line.append(pending_, 0, std::min(pending_.size(), kMaxLineBytes - line.size()));
      if (line.size() >= kMaxLineBytes) dropping = true;
    }
    pending_.clear();

    int wait_ms = -1;
    if (deadline) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*deadline -
                                                                        std::chrono::steady_clock::now());
      if (left.count() <= 0) return TRead::kTimeout;
      wait_ms = static_cast<int>(std::min<long long>(left.count() + 1, 1 << 30));
    }
    pollfd p{in_fd_, POLLIN, 0};
    int r = ::poll(&p, 1, wait_ms);
    if (r < 0) {
      if (errno == EINTR) continue;
      return TRead::kEnd;
    }
    if (r == 0) continue;  // the deadline check above decides
    char buf[4096];
    ssize_t n = ::read(in_fd_, buf, sizeof buf);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) {
      // End of input: a last line without its newline still counts.
      if (!line.empty() && !dropping) return TRead::kLine;
      return TRead::kEnd;
    }
    pending_.append(buf, static_cast<size_t>(n));
  }
}

int TTerminalPresenter::ShowInput(TInputDialog& dialog) {
  std::string text = "\n" + dialog.Caption() + "\n" + dialog.Prompt();
  // A password field cannot show its value.
  if (!dialog.Password() && !dialog.Value().empty()) text += " [" + dialog.Value() + "]";
  text += "\n> ";
  Write(text);
  std::string line;
  TRead r;
  {
    std::optional<TEchoOff> quiet;
    if (dialog.Password()) quiet.emplace(in_fd_);
    r = ReadLine(line, std::nullopt);
  }
  if (r != TRead::kLine) {
    Write("\n");
    return dialog.Cancel();
  }
  // The field starts with the value, all selected: Enter alone keeps it. A
  // password field cannot show its value, so what is typed is the answer.
  if (line.empty() && !dialog.Password()) return dialog.Ok(dialog.Value());
  return dialog.Ok(line);
}

int TTerminalPresenter::ShowMessage(const TMessageForm& form) {
  std::string text = "\n" + form.caption + "\n" + form.text + "\n";
  for (size_t i = 0; i < form.buttons.size(); ++i) {
    const TMessageButton& b = form.buttons[i];
    text += "  " + std::to_string(i + 1) + ") " + StripAccessMark(b.caption);
    if (char key = AccessKey(b.caption)) text += std::string(" [") + key + "]";
    if (static_cast<int>(i) == form.default_index) text += "  (default: Enter)";
    text += "\n";
  }
  if (form.timeout_ms > 0) {
    const TMessageButton* d = form.DefaultButton();
    text += "(answers " + (d ? StripAccessMark(d->caption) : std::string("by closing")) + " after " +
            std::to_string((form.timeout_ms + 999) / 1000) + " s)\n";
  }
  Write(text);

  std::optional<std::chrono::steady_clock::time_point> deadline;
  if (form.timeout_ms > 0) deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(form.timeout_ms);
  for (;;) {
    Write("> ");
    std::string line;
    TRead r = ReadLine(line, deadline);
    if (r == TRead::kTimeout) {
      Write("\n");
      return form.TimerResult();
    }
    if (r == TRead::kEnd) {
      Write("\n");
      return form.EscapeResult();
    }
    std::string answer = Lower(Trim(line));
    if (answer.empty()) return form.TimerResult();  // Enter presses the default button
    const TMessageButton* chosen = nullptr;
    for (size_t i = 0; i < form.buttons.size() && !chosen; ++i) {
      const TMessageButton& b = form.buttons[i];
      char key = AccessKey(b.caption);
      if (answer == std::to_string(i + 1) || answer == Lower(b.name) ||
          answer == Lower(StripAccessMark(b.caption)) || (key && answer.size() == 1 && answer[0] == key))
        chosen = &b;
    }
    if (!chosen) {
      Write("Please answer with one of the buttons listed.\n");
      continue;
    }
    if (chosen->result == mrNone) {
      Write("No help is available (help context " + std::to_string(form.help_context) + ").\n");
      continue;
    }
    return chosen->result;
  }
}

void TTerminalPresenter::ShowProgress(const TProgressWindow& window, TProgressEvent event) {
  using Clock = std::chrono::steady_clock;
  if (event == TProgressEvent::Closed) {
    Write("\n");
    return;
  }
  if (event == TProgressEvent::Opened) {
    progress_start_ = Clock::now();
    progress_first_ = window.Position;
    if (!window.Caption.empty()) Write(window.Caption + "\n");
  }
  constexpr int kBarWidth = 24;
  const int span = window.Max > window.Min ? window.Max - window.Min : 1;
  const int filled = std::clamp((window.Position - window.Min) * kBarWidth / span, 0, kBarWidth);
  std::string line = "\r" + window.Label + " [" + std::string(static_cast<size_t>(filled), '#') +
                     std::string(static_cast<size_t>(kBarWidth - filled), ' ') + "]";
  const double seconds = std::chrono::duration<double>(Clock::now() - progress_start_).count();
  const int done = window.Position - progress_first_;
  if (seconds > 0.5 && done > 0) {
    const double rate = done / seconds;
    // The bar ends one short of full: the last step is the end itself.
    const int left = std::max(0, window.Max - 1 - window.Position);
    char text[64];
    std::snprintf(text, sizeof text, " %.1f/s, %ds left", rate, static_cast<int>(left / rate + 0.5));
    line += text;
  }
  Write(line + "\x1B[K");
}

}  // namespace corvid::ui
