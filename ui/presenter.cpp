#include "ui/presenter.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "platform/win/ui_thread.h"
#include "ui/property_sheet.h"

namespace corvid::ui {

namespace {

std::mutex presenter_mutex;           // guards `installed`
std::shared_ptr<TPresenter>& Installed() {
  static std::shared_ptr<TPresenter> installed;
  return installed;
}
// One dialog at a time in the process, whichever thread opens it.
std::mutex& DialogMutex() {
  static std::mutex m;
  return m;
}

std::function<std::shared_ptr<TPresenter>()>& QtMaker() {
  static std::function<std::shared_ptr<TPresenter>()> make;
  return make;
}

bool Set(const char* name) {
  const char* value = std::getenv(name);
  return value && *value;
}

std::shared_ptr<TPresenter> Current() {
  if (auto p = InstalledPresenter()) return p;
  // Decided per dialog: a process may lose its terminal while it runs.
  static auto terminal = std::make_shared<TTerminalPresenter>(0, 1);
  static auto none = std::make_shared<TNoTerminalPresenter>();
  const std::string kind = ChosenPresenterKind();
  if (kind == "qt") {
    std::lock_guard lock(presenter_mutex);
    static std::shared_ptr<TPresenter> qt;
    if (!qt && QtMaker()) qt = QtMaker()();
    if (qt) return qt;
  }
  if (kind == "terminal") return terminal;
  return none;
}

std::string ButtonName(const TMessageButton* b) { return b ? b->name : std::string(); }

}  // namespace

std::shared_ptr<TPresenter> SetPresenter(std::shared_ptr<TPresenter> presenter) {
  std::lock_guard lock(presenter_mutex);
  std::swap(Installed(), presenter);
  return presenter;
}

std::shared_ptr<TPresenter> InstalledPresenter() {
  std::lock_guard lock(presenter_mutex);
  return Installed();
}

int PresentInput(TInputDialog& dialog) {
  std::lock_guard lock(DialogMutex());
  return Current()->ShowInput(dialog);
}

int PresentMessage(const TMessageForm& form) {
  std::lock_guard lock(DialogMutex());
  return Current()->ShowMessage(form);
}

void PresentProgress(const TProgressWindow& window, TProgressEvent event) { Current()->ShowProgress(window, event); }

int PresentDialog(TDialogModel& dialog) {
  dialog.CheckUI();
  return Current()->ShowDialog(dialog);
}

int PresentSheet(TPropertySheet& sheet) { return Current()->ShowSheet(sheet); }

bool PresentFileName(TFileRequest& request) { return Current()->ShowFileName(request); }

std::string ChosenPresenterKind() {
  const char* forced = std::getenv("CORVID_UI");
  if (forced && *forced) {
    const std::string kind = forced;
    // Qt without a display (and no platform named for it) would end the
    // process; the terminal or the defined answers serve instead.
    const bool qt_can_run = QtMaker() && (Set("DISPLAY") || Set("WAYLAND_DISPLAY") || Set("QT_QPA_PLATFORM"));
    if (kind == "qt" && !qt_can_run) return isatty(0) && isatty(1) ? "terminal" : "none";
    if (kind == "qt" || kind == "terminal" || kind == "none") return kind;
  }
  if ((Set("DISPLAY") || Set("WAYLAND_DISPLAY")) && QtMaker()) return "qt";
  if (isatty(0) && isatty(1)) return "terminal";
  return "none";
}

void RegisterQtPresenter(std::function<std::shared_ptr<TPresenter>()> make) {
  std::lock_guard lock(presenter_mutex);
  QtMaker() = std::move(make);
}

bool TPresenter::ShowFileName(TFileRequest& request) {
  TInputDialog dialog(false, request.caption, "File name:", request.file_name);
  if (ShowInput(dialog) != kIdOk || dialog.Value().empty()) return false;
  std::filesystem::path path = dialog.Value();
  if (!request.default_ext.empty() && !path.has_extension()) path += "." + request.default_ext;
  std::error_code error;
  const std::filesystem::path absolute = std::filesystem::absolute(path, error);
  request.file_name = (error ? path : absolute).string();
  if (!request.save && !std::filesystem::is_regular_file(request.file_name, error)) return false;
  return true;
}

void TNoTerminalPresenter::ShowProgress(const TProgressWindow& window, TProgressEvent event) {
  if (event == TProgressEvent::Closed) return;
  // The caption when the window opens; then each label once.
  const std::string& text = event == TProgressEvent::Opened ? window.Caption : window.Label;
  if (text.empty() || text == last_label_) return;
  last_label_ = text;
  const std::string line = text + "\n";
  [[maybe_unused]] const ssize_t ignored = ::write(1, line.data(), line.size());
}

int TNoTerminalPresenter::ShowInput(TInputDialog& dialog) { return dialog.Cancel(); }

int TNoTerminalPresenter::ShowMessage(const TMessageForm& form) { return form.TimerResult(); }

TScriptedPresenter::TScriptedPresenter(std::vector<TScriptedAnswer> answers)
    : answers_(answers.begin(), answers.end()) {}

void TScriptedPresenter::Add(TScriptedAnswer answer) {
  std::lock_guard lock(mutex_);
  answers_.push_back(std::move(answer));
}

std::vector<TShownDialog> TScriptedPresenter::Shown() const {
  std::lock_guard lock(mutex_);
  return shown_;
}

size_t TScriptedPresenter::Remaining() const {
  std::lock_guard lock(mutex_);
  return answers_.size();
}

std::optional<TScriptedAnswer> TScriptedPresenter::Next() {
  std::lock_guard lock(mutex_);
  if (answers_.empty()) return std::nullopt;
  TScriptedAnswer a = std::move(answers_.front());
  answers_.pop_front();
  return a;
}

void TScriptedPresenter::Unexpected(const std::string& what) {
  if (OnUnexpected) {
    OnUnexpected(what);
    return;
  }
  std::fprintf(stderr, "TScriptedPresenter: unexpected dialog: %s\n", what.c_str());
  std::abort();
}

int TScriptedPresenter::ShowInput(TInputDialog& dialog) {
  {
    std::lock_guard lock(mutex_);
    shown_.push_back({true, dialog.Password(), dialog.Caption(), dialog.Prompt(), dialog.Value(), {}, {}, {}, 0});
  }
  std::string what = "input prompt \"" + dialog.Caption() + "\": \"" + dialog.Prompt() + "\"";
  std::optional<TScriptedAnswer> a = Next();
  if (!a) {
    Unexpected(what + " with no answer left");
    return dialog.Cancel();
  }
  switch (a->kind) {
    case TScriptedAnswer::TKind::kOk: return dialog.Ok(a->text);
    case TScriptedAnswer::TKind::kCancel: return dialog.Cancel();
    default: Unexpected(what + " answered with a message-form answer"); return dialog.Cancel();
  }
}

int TScriptedPresenter::ShowMessage(const TMessageForm& form) {
  TShownDialog shown{false, false, form.caption, form.text, {}, {}, ButtonName(form.DefaultButton()),
                     ButtonName(form.CancelButton()), form.timeout_ms};
  for (const TMessageButton& b : form.buttons) shown.buttons.push_back(b.name);
  {
    std::lock_guard lock(mutex_);
    shown_.push_back(shown);
  }
  std::string what = "message \"" + form.caption + "\": \"" + form.text + "\"";
  for (;;) {
    std::optional<TScriptedAnswer> a = Next();
    if (!a) {
      Unexpected(what + " with no answer left");
      return form.TimerResult();
    }
    switch (a->kind) {
      case TScriptedAnswer::TKind::kCancel: return form.EscapeResult();
      case TScriptedAnswer::TKind::kClose: return form.close_result;
      case TScriptedAnswer::TKind::kTimeout:
        if (form.timeout_ms <= 0) Unexpected(what + " has no time-out to wait for");
        return form.TimerResult();
      case TScriptedAnswer::TKind::kPress: {
        const TMessageButton* pressed = nullptr;
        for (const TMessageButton& b : form.buttons)
          if (b.kind == a->button) pressed = &b;
        if (!pressed) {
          Unexpected(what + " lacks the button " + ButtonInfo(a->button).name);
          return form.TimerResult();
        }
        // Help shows its topic and leaves the dialog open for the next answer.
        if (pressed->result != mrNone) return pressed->result;
        continue;
      }
      case TScriptedAnswer::TKind::kOk: break;
      case TScriptedAnswer::TKind::kDialog: break;
      case TScriptedAnswer::TKind::kSheet: break;
    }
    Unexpected(what + " answered with input text or a dialog's answer");
    return form.TimerResult();
  }
}

int TScriptedPresenter::ShowDialog(TDialogModel& dialog) {
  {
    std::lock_guard lock(mutex_);
    shown_.push_back({false, false, dialog.Caption(), {}, {}, dialog.Buttons(), {}, {}, 0});
  }
  std::optional<TScriptedAnswer> a = Next();
  if (!a || a->kind != TScriptedAnswer::TKind::kDialog) {
    Unexpected("dialog \"" + dialog.Caption() + "\"" + (a ? " answered with a prompt's answer" : " with no answer left"));
    return mrCancel;
  }
  dialog.SetVisible(true);
  const int result = a->drive(dialog);
  dialog.SetVisible(false);
  return result;
}

int TScriptedPresenter::ShowSheet(TPropertySheet& sheet) {
  {
    std::lock_guard lock(mutex_);
    shown_.push_back({false, false, sheet.Caption, {}, {}, {"OK", "Cancel", "Apply"}, {}, {}, 0});
  }
  std::optional<TScriptedAnswer> a = Next();
  if (!a || a->kind != TScriptedAnswer::TKind::kSheet) {
    Unexpected("property sheet \"" + sheet.Caption + "\"" + (a ? " answered with another answer" : " with no answer left"));
    return mrCancel;
  }
  for (TPropertySheet::TPage& page : sheet.Pages) page.model->SetVisible(true);
  const int result = a->drive_sheet(sheet);
  for (TPropertySheet::TPage& page : sheet.Pages) page.model->SetVisible(false);
  return result;
}

void TScriptedPresenter::ShowProgress(const TProgressWindow& window, TProgressEvent event) {
  if (event == TProgressEvent::Closed || window.Label.empty()) return;
  {
    std::lock_guard lock(mutex_);
    if (!progress_labels_.empty() && progress_labels_.back() == window.Label) return;
    progress_labels_.push_back(window.Label);
  }
  if (!CancelProgressAt.empty() && window.Label == CancelProgressAt) {
    win::PostThreadMessage(win::MainThreadId(), WM_CANCELMODE, 0, 0);
  }
}

std::vector<std::string> TScriptedPresenter::ProgressLabels() const {
  std::lock_guard lock(mutex_);
  return progress_labels_;
}

}  // namespace corvid::ui
