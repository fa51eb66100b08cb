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
#include <cstdlib>

#include "base/posix_io.h"
#include "ui/presenter.h"
#include "ui/property_sheet.h"

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

// --- Settings dialogs as numbered forms -----------------------------------

namespace corvid::ui {

namespace {

// A bar of `width` cells for `value` out of `top`.
std::string TextBar(long long value, long long top, int width) {
  const int cells = top > 0 ? static_cast<int>(value * width / top) : 0;
  return std::string(static_cast<size_t>(cells), '#') + std::string(static_cast<size_t>(width - cells), '.');
}

}  // namespace

void TTerminalPresenter::WriteForm(TDialogModel& dialog, std::vector<std::string>& numbered) {
  numbered.clear();
  std::string out = "\n== " + dialog.Caption() + " ==\n";
  for (const TDialogPage& page : dialog.Pages()) {
    if (!page.title.empty()) out += "-- " + page.title + " --\n";
    for (const std::string& name : page.controls) {
      const TControl& c = dialog.Control(name);
      const std::string off = c.enabled ? "" : "  (disabled)";
      if (c.kind == TControlKind::kText) {
        const std::string shown = c.caption.empty() ? c.text : c.text.empty() ? c.caption : c.caption + " " + c.text;
        if (!shown.empty()) out += (c.heading ? "    " : "      ") + shown + "\n";
        continue;
      }
      if (c.kind == TControlKind::kChart) {
        long long top = 0;
        for (long long v : c.values) top = std::max(top, v);
        out += "      " + c.caption + "\n";
        for (size_t i = 0; i < c.items.size() && i < c.values.size(); ++i) {
          std::string label = c.items[i];
          label.resize(std::max<size_t>(label.size(), 14), ' ');
          out += "      " + label + TextBar(c.values[i], top, 30) + " " + std::to_string(c.values[i]) + " bytes\n";
        }
        continue;
      }
      numbered.push_back(name);
      std::string line = std::to_string(numbered.size());
      line.insert(0, 4 - std::min<size_t>(line.size(), 3), ' ');
      line += "  ";
      switch (c.kind) {
        case TControlKind::kCheck: line += (c.checked ? "[x] " : "[ ] ") + c.caption; break;
        case TControlKind::kRadio: line += (c.checked ? "(*) " : "( ) ") + c.caption; break;
        case TControlKind::kButton: line += "<" + c.caption + ">"; break;
        case TControlKind::kEdit: line += (c.caption.empty() ? "Text" : c.caption) + " [" + c.text + "]"; break;
        case TControlKind::kPassword:
          line += (c.caption.empty() ? "Password" : c.caption) + " [" + std::string(c.text.size(), '*') + "]";
          break;
        case TControlKind::kNumber:
        case TControlKind::kTrack:
          line += c.caption + " [" + std::to_string(c.number) + "] (" + std::to_string(c.min) + " to " +
                  std::to_string(c.max) + ")";
          break;
        case TControlKind::kList: line += (c.caption.empty() ? "List" : c.caption) + " (list)"; break;
        default: break;
      }
      out += line + off + "\n";
      if (c.kind == TControlKind::kList) {
        for (size_t i = 0; i < c.items.size(); ++i)
          out += std::string(static_cast<int>(i) == c.selected ? "       > " : "         ") + std::to_string(i + 1) +
                 ". " + c.items[i] + "\n";
        if (c.items.empty()) out += "         (empty)\n";
      }
    }
  }
  out += dialog.Buttons().size() > 1 ? "Type a number to change it, \"ok\" or \"cancel\".\n" : "Type \"ok\" to close.\n";
  out += dialog.OkEnabled() ? "" : "(OK is disabled: the settings are read-only.)\n";
  Write(out);
}

bool TTerminalPresenter::Ask(const std::string& prompt, std::string& line) {
  Write(prompt);
  return ReadLine(line, std::nullopt) == TRead::kLine;
}

int TTerminalPresenter::ShowDialog(TDialogModel& dialog) {
  dialog.SetVisible(true);
  struct THide {
    TDialogModel& d;
    ~THide() { d.SetVisible(false); }
  } hide{dialog};
  std::vector<std::string> numbered;
  for (;;) {
    WriteForm(dialog, numbered);
    std::string line;
    if (!Ask("> ", line)) return mrCancel;
    const std::string answer = Lower(Trim(line));
    if (answer == "ok" || (answer.empty() && dialog.Buttons().size() == 1)) {
      if (dialog.Close("OK")) return mrOk;
      continue;
    }
    if (answer == "cancel" || answer == "c") {
      if (dialog.Buttons().size() > 1 && dialog.Close("Cancel")) return mrCancel;
      continue;
    }
    char* end = nullptr;
    const long number = std::strtol(answer.c_str(), &end, 10);
    if (answer.empty() || *end != '\0' || number < 1 || number > static_cast<long>(numbered.size())) {
      Write("No such field.\n");
      continue;
    }
    const std::string name = numbered[static_cast<size_t>(number - 1)];
    const TControl& c = dialog.Control(name);
    if (!c.enabled) {
      Write("That field is disabled.\n");
      continue;
    }
    switch (c.kind) {
      case TControlKind::kCheck:
      case TControlKind::kRadio:
      case TControlKind::kButton: dialog.Click(name); break;
      case TControlKind::kEdit:
      case TControlKind::kNumber:
      case TControlKind::kTrack:
        if (!Ask("New value: ", line)) return mrCancel;
        if (c.kind == TControlKind::kTrack) {
          dialog.Move(name, std::atoi(line.c_str()));
        } else {
          dialog.Type(name, line);
        }
        dialog.Leave(name);
        break;
      case TControlKind::kPassword: {
        bool got;
        {
          TEchoOff quiet(in_fd_);
          got = Ask("New password: ", line);
        }
        if (!got) return mrCancel;
        dialog.Type(name, line);
        dialog.Leave(name);
        break;
      }
      case TControlKind::kList: {
        if (!Ask("Item: N selects, \"r N\" renames, \"d N\" deletes, empty goes back: ", line)) return mrCancel;
        const std::string command = Trim(line);
        if (command.empty()) break;
        const bool rename = command[0] == 'r' || command[0] == 'R';
        const bool remove = command[0] == 'd' || command[0] == 'D';
        const int item = std::atoi(command.c_str() + (rename || remove ? 1 : 0)) - 1;
        if (item < 0 || item >= static_cast<int>(c.items.size())) {
          Write("No such item.\n");
          break;
        }
        dialog.Select(name, item);
        if (remove) dialog.KeyUp(name, TDialogModel::TKey::kDelete);
        if (rename && dialog.BeginRename(name)) {
          if (!Ask("New text: ", line)) {
            dialog.EndRename(name, nullptr);
            return mrCancel;
          }
          dialog.EndRename(name, &line);
        }
        break;
      }
      default: break;
    }
    dialog.FocusRequest.clear();
  }
}

int TTerminalPresenter::ShowSheet(TPropertySheet& sheet) {
  for (;;) {
    std::string out = "\n== " + sheet.Caption + " ==\n";
    for (size_t i = 0; i < sheet.Pages.size(); ++i)
      out += "  " + std::to_string(i + 1) + "  [" + sheet.Pages[i].title + "]\n";
    out += "Type a page number to open it, ";
    out += sheet.ApplyEnabled() ? "\"apply\", " : "";
    out += "\"ok\" or \"cancel\".\n";
    Write(out);
    std::string line;
    if (!Ask("> ", line)) return mrCancel;
    const std::string answer = Lower(Trim(line));
    if (answer == "ok") return mrOk;
    if (answer == "cancel" || answer == "c") return mrCancel;
    if (answer == "apply") {
      if (sheet.ApplyEnabled()) {
        sheet.Apply();
      } else {
        Write("Nothing to apply.\n");
      }
      continue;
    }
    const int number = std::atoi(answer.c_str());
    if (number < 1 || number > static_cast<int>(sheet.Pages.size())) {
      Write("No such page.\n");
      continue;
    }
    sheet.CurrentPage = number - 1;
    ShowDialog(*sheet.Pages[static_cast<size_t>(number - 1)].model);
  }
}

}  // namespace corvid::ui
