// The presenter shows every dialog model and returns the user's answer.
// One presenter serves the process; SetPresenter installs it. When none is
// installed, each dialog goes to the terminal presenter if standard input and
// output are terminals, else to the no-terminal presenter.
//
// Threads: the prompts call a presenter under one process-wide lock, so a
// presenter sees one dialog at a time, from any thread. SetPresenter may be
// called at any time; a dialog being shown keeps the presenter it started with.
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ui/dialog_model.h"
#include "ui/input_dialog.h"
#include "ui/message_form.h"
#include "ui/progress_window.h"

namespace corvid::ui {

class TPropertySheet;

// A file to save to or open.
struct TFileRequest {
  bool save = false;        // save: may be new, overwriting asks; open: must exist
  std::string caption;
  std::string filter;       // "Name (*.ext)|*.EXT|..."
  std::string default_ext;  // without the dot
  std::string file_name;    // proposed; after OK, the chosen path
};

class TPresenter {
 public:
  virtual ~TPresenter() = default;
  // Runs the input prompt; returns kIdOk after dialog.Ok(typed) or kIdCancel.
  virtual int ShowInput(TInputDialog& dialog) = 0;
  // Runs the message form; returns the modal result that ended it.
  virtual int ShowMessage(const TMessageForm& form) = 0;
  // A progress window opened, changed or closed (main thread). It stays
  // on screen between the calls; its Cancel comes back through
  // WM_CANCELMODE. By default nothing is shown.
  virtual void ShowProgress(const TProgressWindow& window, TProgressEvent event) {}
  // Runs a settings dialog modally (main thread): the user acts on the
  // model until a closing button the model lets close it; returns mrOk or
  // mrCancel. By default it is cancelled at once.
  virtual int ShowDialog(TDialogModel& dialog) { return mrCancel; }
  // Runs a property sheet modally: its pages, OK, Cancel and Apply (which
  // calls sheet.Apply while enabled). Returns mrOk or mrCancel; the caller
  // applies after OK. By default it is cancelled at once.
  virtual int ShowSheet(TPropertySheet& sheet) { return mrCancel; }
  // Asks for a file; true with request.file_name set to an absolute path.
  // By default through ShowInput with the proposed name.
  virtual bool ShowFileName(TFileRequest& request);
};

// Installs `presenter` (null: back to the automatic choice); returns the
// previous one (null when the automatic choice was in use).
std::shared_ptr<TPresenter> SetPresenter(std::shared_ptr<TPresenter> presenter);
// The installed presenter, or null.
std::shared_ptr<TPresenter> InstalledPresenter();

// Runs a dialog through the current presenter under the process-wide lock.
int PresentInput(TInputDialog& dialog);
int PresentMessage(const TMessageForm& form);
// Not under the dialog lock: a worker behind the progress window may ask
// for a password meanwhile.
void PresentProgress(const TProgressWindow& window, TProgressEvent event);
// Settings dialogs and file choices: main thread only, and not under the
// dialog lock, since a dialog shows message boxes and prompts itself.
int PresentDialog(TDialogModel& dialog);
int PresentSheet(TPropertySheet& sheet);
bool PresentFileName(TFileRequest& request);

// Which presenter the automatic choice makes: "qt", "terminal" or "none".
// CORVID_UI names one; otherwise Qt when a display is there (DISPLAY or
// WAYLAND_DISPLAY) and a Qt presenter is registered, the terminal when
// standard input and output are terminals, else none.
std::string ChosenPresenterKind();
// Registers the maker of the Qt presenter (the library that holds it does
// this; a program without it never chooses Qt).
void RegisterQtPresenter(std::function<std::shared_ptr<TPresenter>()> make);

// Without a terminal: an input prompt answers Cancel, a message form its
// default button at once (kCloseResult when it has none).
class TNoTerminalPresenter : public TPresenter {
 public:
  int ShowInput(TInputDialog& dialog) override;
  int ShowMessage(const TMessageForm& form) override;
  // One plain line on standard output for each new label.
  void ShowProgress(const TProgressWindow& window, TProgressEvent event) override;

 private:
  std::string last_label_;
};

// The terminal: prints the caption and text, lists the buttons, reads a line.
// Reads `in_fd` and writes `out_fd` (not owned). An input prompt shows its
// value (never a password's); an empty line keeps that value, as OK on the
// untouched field would, except for passwords, where what is typed is the
// answer. Password input is read with echo off when `in_fd` is a terminal. A message
// form with a time-out answers as its timer would when no line came in time.
// End of input answers Cancel (input) or the Escape result (message).
class TTerminalPresenter : public TPresenter {
 public:
  explicit TTerminalPresenter(int in_fd = 0, int out_fd = 1) : in_fd_(in_fd), out_fd_(out_fd) {}
  int ShowInput(TInputDialog& dialog) override;
  int ShowMessage(const TMessageForm& form) override;
  // One line redrawn in place: the label, a bar, the rate and the time left.
  void ShowProgress(const TProgressWindow& window, TProgressEvent event) override;
  // A numbered form: every control with its value and enabled state; a
  // number changes that control, "ok" and "cancel" close.
  int ShowDialog(TDialogModel& dialog) override;
  // The page titles; a number opens that page's form, "apply" applies.
  int ShowSheet(TPropertySheet& sheet) override;

 private:
  void WriteForm(TDialogModel& dialog, std::vector<std::string>& numbered);
  // Asks one more line with `prompt`; false at end of input.
  bool Ask(const std::string& prompt, std::string& line);
  enum class TRead { kLine, kEnd, kTimeout };
  // Reads one line (without its end of line); a deadline of nullopt waits forever.
  TRead ReadLine(std::string& line, std::optional<std::chrono::steady_clock::time_point> deadline);
  void Write(const std::string& text);

  int in_fd_;
  int out_fd_;
  std::string pending_;  // bytes read past the last line
  std::chrono::steady_clock::time_point progress_start_;
  int progress_first_ = 0;
};

// What a test answers to one dialog.
struct TScriptedAnswer {
  enum class TKind {
    kOk,       // input prompt: OK with `text`
    kCancel,   // input prompt: Cancel; message form: Escape
    kPress,    // message form: press the button of kind `button`
    kTimeout,  // message form: let the timer fire (the form must have a time-out)
    kClose,    // message form: the close box
    kDialog,   // settings dialog: `drive` acts on it and returns mrOk or mrCancel
    kSheet,    // property sheet: `drive_sheet` acts on it and returns mrOk or mrCancel
  };
  TKind kind = TKind::kCancel;
  std::string text;
  TMsgDlgBtn button = TMsgDlgBtn::mbOK;
  std::function<int(TDialogModel&)> drive;
  std::function<int(TPropertySheet&)> drive_sheet;

  static TScriptedAnswer Ok(std::string typed) { return Make(TKind::kOk, std::move(typed)); }
  static TScriptedAnswer Cancel() { return Make(TKind::kCancel); }
  static TScriptedAnswer Press(TMsgDlgBtn b) { return Make(TKind::kPress, {}, b); }
  static TScriptedAnswer Timeout() { return Make(TKind::kTimeout); }
  static TScriptedAnswer Close() { return Make(TKind::kClose); }
  static TScriptedAnswer Drive(std::function<int(TDialogModel&)> drive) {
    TScriptedAnswer a = Make(TKind::kDialog);
    a.drive = std::move(drive);
    return a;
  }
  static TScriptedAnswer DriveSheet(std::function<int(TPropertySheet&)> drive) {
    TScriptedAnswer a = Make(TKind::kSheet);
    a.drive_sheet = std::move(drive);
    return a;
  }
  static TScriptedAnswer Make(TKind kind, std::string text = {}, TMsgDlgBtn button = TMsgDlgBtn::mbOK) {
    TScriptedAnswer a;
    a.kind = kind;
    a.text = std::move(text);
    a.button = button;
    return a;
  }
};

// What the scripted presenter saw.
struct TShownDialog {
  bool input;                        // input prompt, else message form
  bool password;                     // input prompts
  std::string caption;
  std::string text;                  // prompt of an input, text of a message
  std::string value;                 // initial value of an input
  std::vector<std::string> buttons;  // message forms: button names in order
  std::string default_button;        // name, or empty
  std::string cancel_button;         // name, or empty
  int timeout_ms = 0;
};

// For tests: answers dialogs from a queue and records each one shown. A
// dialog with no answer left, or an answer that does not fit it (OK text to a
// message form, a button the form lacks, a time-out on a form without one),
// calls OnUnexpected with a description; by default that prints it and aborts
// the process, so no catch-all in the code under test can hide it. When
// OnUnexpected returns, the dialog is answered as without a terminal.
class TScriptedPresenter : public TPresenter {
 public:
  TScriptedPresenter() = default;
  explicit TScriptedPresenter(std::vector<TScriptedAnswer> answers);

  void Add(TScriptedAnswer answer);
  std::vector<TShownDialog> Shown() const;
  size_t Remaining() const;

  std::function<void(const std::string& what)> OnUnexpected;

  int ShowInput(TInputDialog& dialog) override;
  int ShowMessage(const TMessageForm& form) override;
  // Shown as a dialog with the caption; `drive` runs with the dialog visible.
  int ShowDialog(TDialogModel& dialog) override;
  int ShowSheet(TPropertySheet& sheet) override;
  // Records each label a progress window shows; posts Cancel when it shows
  // CancelProgressAt.
  void ShowProgress(const TProgressWindow& window, TProgressEvent event) override;
  std::string CancelProgressAt;
  std::vector<std::string> ProgressLabels() const;

 private:
  std::optional<TScriptedAnswer> Next();
  void Unexpected(const std::string& what);

  mutable std::mutex mutex_;
  std::deque<TScriptedAnswer> answers_;
  std::vector<TShownDialog> shown_;
  std::vector<std::string> progress_labels_;
};

}  // namespace corvid::ui
