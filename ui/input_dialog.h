// The one-line input prompt as a model: what any presenter needs to show it,
// and the dialog templates it is described by.
#pragma once

#include <string>
#include <vector>

namespace corvid::ui {

// One control of a dialog template. Positions and sizes are dialog units.
struct TDialogItem {
  int id;                   // 0 for the dialog itself
  std::string class_name;   // "edit", "button", "static"; empty for the dialog
  std::string text;
  int x, y, cx, cy;
  bool password;            // input masked (edit controls only)
};

struct TDialogTemplate {
  std::string name;               // "PASSWD" or "NOPASSWD"
  std::vector<TDialogItem> items; // the dialog first, then its controls
};

// Control ids of the input templates.
inline constexpr int kInputFieldId = 101;
inline constexpr int kPromptLabelId = 201;
inline constexpr int kIdOk = 1;
inline constexpr int kIdCancel = 2;

// The template of the input prompt: masked ("PASSWD") or plain ("NOPASSWD").
// The returned object lives for the whole process.
const TDialogTemplate& InputDialogTemplate(bool password);

class TInputDialog {
 public:
  TInputDialog(bool password, std::string caption, std::string prompt, std::string value)
      : password_(password), caption_(std::move(caption)), prompt_(std::move(prompt)),
        value_(std::move(value)) {}

  bool Password() const { return password_; }
  const std::string& Caption() const { return caption_; }
  const std::string& Prompt() const { return prompt_; }
  // The initial text of the field; after Ok, the answer.
  const std::string& Value() const { return value_; }
  const TDialogTemplate& Template() const { return InputDialogTemplate(password_); }

  // OK with `typed` in the field: keeps the first kMaxInputChars characters
  // (code points; a broken UTF-8 sequence is cut whole) and returns kIdOk.
  int Ok(const std::string& typed);
  // Cancel, Escape or the close box: the value stays. Returns kIdCancel.
  int Cancel() const { return kIdCancel; }

 private:
  bool password_;
  std::string caption_;
  std::string prompt_;
  std::string value_;
};

// The first `max_chars` code points of `text` (its bytes up to there).
std::string CutToChars(const std::string& text, size_t max_chars);

}  // namespace corvid::ui
