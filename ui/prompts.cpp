#include "ui/prompts.h"

#include <mutex>
#include <vector>

#include "ui/input_dialog.h"
#include "ui/message_form.h"
#include "ui/presenter.h"

namespace corvid::ui {

namespace {

std::mutex title_mutex;
std::string& Title() {
  static std::string title = "Corvid";
  return title;
}

bool Ask(bool password, const std::string& caption, const std::string& prompt, std::string& value) {
  TInputDialog dialog(password, caption, prompt, value);
  if (PresentInput(dialog) != kIdOk) return false;
  value = dialog.Value();
  return true;
}

}  // namespace

std::string ApplicationTitle() {
  std::lock_guard lock(title_mutex);
  return Title();
}

void SetApplicationTitle(const std::string& title) {
  std::lock_guard lock(title_mutex);
  Title() = title;
}

bool AskZipName(const std::string& caption, const std::string& prompt, std::string& name) {
  return Ask(false, caption, prompt, name);
}

bool AskPassword(const std::string& caption, const std::string& prompt, std::string& password) {
  return Ask(true, caption, prompt, password);
}

int TimedMessageDlg(const std::string& text, TMsgDlgType type, const TMsgDlgButtons& buttons,
                    int help_context, int timeout_ms) {
  return PresentMessage(MakeMessageForm(text, type, buttons, help_context, timeout_ms < 0 ? 0 : timeout_ms));
}

int MessageBox(win::HWND owner, const char* text, const char* caption, win::UINT type) {
  using enum TMsgDlgBtn;
  // In the order Windows lays them out (Retry before Cancel, unlike the
  // message dialog's fixed order), which MB_DEFBUTTONn counts in.
  std::vector<TMsgDlgBtn> set;
  switch (type & MB_TYPEMASK) {
    case MB_OKCANCEL: set = {mbOK, mbCancel}; break;
    case MB_ABORTRETRYIGNORE: set = {mbAbort, mbRetry, mbIgnore}; break;
    case MB_YESNOCANCEL: set = {mbYes, mbNo, mbCancel}; break;
    case MB_YESNO: set = {mbYes, mbNo}; break;
    case MB_RETRYCANCEL: set = {mbRetry, mbCancel}; break;
    default: set = {mbOK}; break;
  }
  TMsgDlgType dlg_type = TMsgDlgType::mtCustom;
  switch (type & MB_ICONMASK) {
    case MB_ICONHAND: dlg_type = TMsgDlgType::mtError; break;
    case MB_ICONQUESTION: dlg_type = TMsgDlgType::mtConfirmation; break;
    case MB_ICONEXCLAMATION: dlg_type = TMsgDlgType::mtWarning; break;
    case MB_ICONASTERISK: dlg_type = TMsgDlgType::mtInformation; break;
  }
  TMessageForm form = MakeMessageForm(text ? text : "", dlg_type, {}, 0, 0);
  form.caption = caption ? caption : "Error";
  for (TMsgDlgBtn kind : set) form.buttons.push_back(ButtonInfo(kind));
  // The first button is the default unless MB_DEFBUTTONn picks another.
  int def = static_cast<int>((type & MB_DEFMASK) >> 8);
  form.default_index = def < static_cast<int>(form.buttons.size()) ? def : 0;
  // Escape and the close box work only when the set has a Cancel button.
  form.cancel_index = -1;
  for (size_t i = 0; i < form.buttons.size(); ++i)
    if (form.buttons[i].kind == mbCancel) form.cancel_index = static_cast<int>(i);
  if (set.size() == 1) form.cancel_index = 0;  // MB_OK: Escape answers OK
  // Without Cancel the box cannot be closed other than by a button; a
  // presenter that must close it anyway answers the default button.
  if (form.cancel_index < 0) form.close_result = form.buttons[form.default_index].result;
  return PresentMessage(form);
}

}  // namespace corvid::ui
