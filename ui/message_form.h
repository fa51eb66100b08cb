// The timed message dialog as a model: caption, text, buttons in their fixed
// order, the default and cancel buttons, and what the time-out does. Any
// presenter shows it and asks the model for results.
#pragma once

#include <string>
#include <vector>

#include "ui/prompts.h"

namespace corvid::ui {

struct TMessageButton {
  TMsgDlgBtn kind;
  std::string name;     // control name, e.g. "NoToAll"
  std::string caption;  // "&" marks the access key, e.g. "N&o to All"
  int result;           // modal result; 0 for Help (does not end the dialog)
};

// The fixed data of a button kind.
const TMessageButton& ButtonInfo(TMsgDlgBtn kind);
// The caption of a dialog type; mtCustom gives ApplicationTitle().
std::string DialogCaption(TMsgDlgType type);
// The access key of a caption (the character after a single "&", lower-cased
// ASCII), or 0 when it has none.
char AccessKey(const std::string& caption);
// The caption without its "&" marks ("&&" stays one "&").
std::string StripAccessMark(const std::string& caption);

class TMessageForm {
 public:
  std::string caption;
  std::string text;
  TMsgDlgType type = TMsgDlgType::mtCustom;
  std::vector<TMessageButton> buttons;  // in the order they are laid out
  int default_index = -1;               // into buttons; -1: none
  int cancel_index = -1;                // into buttons; -1: none
  int help_context = 0;
  int timeout_ms = 0;                   // above 0: the timer runs
  // Closing the form without a button (close box, Escape without a cancel
  // button, a time-out without a default button) gives this result.
  int close_result = mrCancel;

  const TMessageButton* DefaultButton() const;
  const TMessageButton* CancelButton() const;
  // The result when the timer fires (or Enter comes from no button): the
  // default button's, else close_result.
  int TimerResult() const;
  // The result of Escape: the cancel button's, else close_result.
  int EscapeResult() const;
};

// The form TimedMessageDlg shows: buttons in table order, default OK else Yes
// else Retry, cancel Cancel else No else OK.
TMessageForm MakeMessageForm(const std::string& text, TMsgDlgType type, const TMsgDlgButtons& buttons,
                             int help_context, int timeout_ms);

// Font and screen measures the layout needs, in pixels.
struct TFontMetrics {
  int avg_char_width;   // width of "A".."Z" "a".."z" divided by 52
  int char_height;
  int screen_width;
  int screen_height;
};

// Layout of a message form in pixels, computed without any toolkit.
struct TMessageLayout {
  int client_width, client_height;
  int left, top;              // of the form, centred on the screen
  int icon_x, icon_y;         // valid when has_icon
  bool has_icon;
  int text_x, text_y, text_width, text_height;
  int button_width, button_height, button_spacing;
  std::vector<int> button_x;  // per button, in order
  int button_y;
};

// `text_width`/`text_height`: the text measured word-wrapped within half the
// screen width; `caption_widths`: the widths of the buttons' captions, in the
// order of form.buttons. Window frame sizes are left out: the form's outer
// size is taken as its client size when centring.
TMessageLayout LayoutMessageForm(const TMessageForm& form, const TFontMetrics& font, int text_width,
                                 int text_height, const std::vector<int>& caption_widths);

}  // namespace corvid::ui
