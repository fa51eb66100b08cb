#include "ui/input_dialog.h"

#include "ui/prompts.h"

namespace corvid::ui {

namespace {

TDialogTemplate MakeTemplate(bool password) {
  TDialogTemplate t;
  t.name = password ? "PASSWD" : "NOPASSWD";
  t.items = {
      {0, "", "Enter password...", 6, 15, 200, 57, false},
      {kInputFieldId, "edit", "", 7, 21, 188, 12, password},
      {kIdOk, "button", "&Ok", 86, 37, 54, 16, false},
      {kIdCancel, "button", "Cancel", 142, 37, 54, 16, false},
      {kPromptLabelId, "static", "Static", 7, 6, 186, 9, false},
  };
  return t;
}

}  // namespace

const TDialogTemplate& InputDialogTemplate(bool password) {
  static const TDialogTemplate masked = MakeTemplate(true);
  static const TDialogTemplate plain = MakeTemplate(false);
  return password ? masked : plain;
}

std::string CutToChars(const std::string& text, size_t max_chars) {
  size_t chars = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    // A code point starts at every byte that is not a continuation byte.
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
      if (chars == max_chars) return text.substr(0, i);
      ++chars;
    }
  }
  return text;
}

int TInputDialog::Ok(const std::string& typed) {
  value_ = CutToChars(typed, kMaxInputChars);
  return kIdOk;
}

}  // namespace corvid::ui
