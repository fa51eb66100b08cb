#include "ui/message_form.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace corvid::ui {

namespace {

// In the order the buttons are laid out, left to right.
const std::array<TMessageButton, 11> kButtons = {{
    {TMsgDlgBtn::mbYes, "Yes", "&Yes", mrYes},
    {TMsgDlgBtn::mbNo, "No", "&No", mrNo},
    {TMsgDlgBtn::mbOK, "OK", "OK", mrOk},
    {TMsgDlgBtn::mbCancel, "Cancel", "Cancel", mrCancel},
    {TMsgDlgBtn::mbAbort, "Abort", "&Abort", mrAbort},
    {TMsgDlgBtn::mbRetry, "Retry", "&Retry", mrRetry},
    {TMsgDlgBtn::mbIgnore, "Ignore", "&Ignore", mrIgnore},
    {TMsgDlgBtn::mbAll, "All", "&All", mrAll},
    {TMsgDlgBtn::mbNoToAll, "NoToAll", "N&o to All", mrNoToAll},
    {TMsgDlgBtn::mbYesToAll, "YesToAll", "Yes to &All", mrYesToAll},
    {TMsgDlgBtn::mbHelp, "Help", "&Help", mrNone},
}};

int IndexOf(const TMessageForm& form, TMsgDlgBtn kind) {
  for (size_t i = 0; i < form.buttons.size(); ++i)
    if (form.buttons[i].kind == kind) return static_cast<int>(i);
  return -1;
}

int FirstOf(const TMessageForm& form, std::initializer_list<TMsgDlgBtn> kinds) {
  for (TMsgDlgBtn kind : kinds) {
    int i = IndexOf(form, kind);
    if (i >= 0) return i;
  }
  return -1;
}

// a * b / c rounded to the nearest, as the toolkit's MulDiv.
int MulDiv(int a, int b, int c) {
  long long p = static_cast<long long>(a) * b;
  long long half = c / 2;
  return static_cast<int>(p >= 0 ? (p + half) / c : (p - half) / c);
}

}  // namespace

const TMessageButton& ButtonInfo(TMsgDlgBtn kind) {
  for (const TMessageButton& b : kButtons)
    if (b.kind == kind) return b;
  return kButtons[2];  // unreachable for valid kinds
}

std::string DialogCaption(TMsgDlgType type) {
  switch (type) {
    case TMsgDlgType::mtWarning: return "Warning";
    case TMsgDlgType::mtError: return "Error";
    case TMsgDlgType::mtInformation: return "Information";
    case TMsgDlgType::mtConfirmation: return "Confirm";
    case TMsgDlgType::mtCustom: break;
  }
  return ApplicationTitle();
}

char AccessKey(const std::string& caption) {
  for (size_t i = 0; i + 1 < caption.size(); ++i) {
    if (caption[i] != '&') continue;
    if (caption[i + 1] == '&') {
      ++i;
      continue;
    }
    return static_cast<char>(std::tolower(static_cast<unsigned char>(caption[i + 1])));
  }
  return 0;
}

std::string StripAccessMark(const std::string& caption) {
  std::string out;
  for (size_t i = 0; i < caption.size(); ++i) {
    if (caption[i] == '&') {
      if (i + 1 < caption.size() && caption[i + 1] == '&') {
        out += '&';
        ++i;
      }
      continue;
    }
    out += caption[i];
  }
  return out;
}

const TMessageButton* TMessageForm::DefaultButton() const {
  return default_index >= 0 ? &buttons[default_index] : nullptr;
}

const TMessageButton* TMessageForm::CancelButton() const {
  return cancel_index >= 0 ? &buttons[cancel_index] : nullptr;
}

int TMessageForm::TimerResult() const {
  const TMessageButton* b = DefaultButton();
  return b ? b->result : close_result;
}

int TMessageForm::EscapeResult() const {
  const TMessageButton* b = CancelButton();
  return b ? b->result : close_result;
}

TMessageForm MakeMessageForm(const std::string& text, TMsgDlgType type, const TMsgDlgButtons& buttons,
                             int help_context, int timeout_ms) {
  TMessageForm form;
  form.caption = DialogCaption(type);
  form.text = text;
  form.type = type;
  for (const TMessageButton& b : kButtons)
    if (buttons.count(b.kind)) form.buttons.push_back(b);
  using enum TMsgDlgBtn;
  form.default_index = FirstOf(form, {mbOK, mbYes, mbRetry});
  form.cancel_index = FirstOf(form, {mbCancel, mbNo, mbOK});
  form.help_context = help_context;
  form.timeout_ms = timeout_ms;
  return form;
}

TMessageLayout LayoutMessageForm(const TMessageForm& form, const TFontMetrics& font, int text_width,
                                 int text_height, const std::vector<int>& caption_widths) {
  TMessageLayout l{};
  const int w = font.avg_char_width, h = font.char_height;
  const int h_margin = MulDiv(8, w, 4), v_margin = MulDiv(8, h, 8);
  const int h_spacing = MulDiv(10, w, 4), v_spacing = MulDiv(10, h, 8);
  l.button_width = MulDiv(50, w, 4);
  for (size_t i = 0; i < form.buttons.size() && i < caption_widths.size(); ++i)
    l.button_width = std::max(l.button_width, caption_widths[i] + 8);
  l.button_height = MulDiv(14, h, 8);
  l.button_spacing = MulDiv(4, w, 4);

  l.has_icon = form.type != TMsgDlgType::mtCustom;
  int block_width = text_width, block_height = text_height;
  if (l.has_icon) {
    block_width += 32 + h_spacing;
    block_height = std::max(block_height, 32);
    l.icon_x = h_margin;
    l.icon_y = v_margin;
  }
  const int count = static_cast<int>(form.buttons.size());
  const int group_width = count > 0 ? count * l.button_width + (count - 1) * l.button_spacing : 0;
  l.client_width = std::max(block_width, group_width) + 2 * h_margin;
  l.client_height = block_height + l.button_height + v_spacing + 2 * v_margin;
  l.left = (font.screen_width - l.client_width) / 2;
  l.top = (font.screen_height - l.client_height) / 2;

  l.text_x = h_margin + (l.has_icon ? 32 + h_spacing : 0);
  l.text_y = v_margin;
  l.text_width = text_width;
  l.text_height = text_height;
  l.button_y = block_height + v_spacing + v_margin;
  int x = (l.client_width - group_width) / 2;
  for (int i = 0; i < count; ++i) {
    l.button_x.push_back(x);
    x += l.button_width + l.button_spacing;
  }
  return l;
}

}  // namespace corvid::ui
