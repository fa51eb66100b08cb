#include "ui/message_form.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace corvid::ui {
namespace {

using enum TMsgDlgBtn;

TEST(MessageForm, DefaultAndCancelButtons) {
  struct Case {
    TMsgDlgButtons buttons;
    const char* default_name;  // "" for none
    const char* cancel_name;
    int timer_result;
  };
  const Case cases[] = {
      {{mbYes, mbNo}, "Yes", "No", mrYes},
      {{mbOK}, "OK", "OK", mrOk},
      {{mbOK, mbCancel}, "OK", "Cancel", mrOk},
      {{mbYes, mbNo, mbCancel}, "Yes", "Cancel", mrYes},
      {{mbYes, mbOK}, "OK", "OK", mrOk},  // OK wins over Yes
      {{mbAbort, mbRetry, mbIgnore}, "Retry", "", mrRetry},
      {{mbNo, mbCancel}, "", "Cancel", mrCancel},  // no default: the timer closes the form
      {{mbAll, mbNoToAll, mbYesToAll}, "", "", mrCancel},
      {{}, "", "", mrCancel},
  };
  for (const Case& c : cases) {
    TMessageForm form = MakeMessageForm("t", TMsgDlgType::mtWarning, c.buttons, 0, 1000);
    SCOPED_TRACE(std::string(c.default_name) + "/" + c.cancel_name);
    EXPECT_EQ(form.DefaultButton() ? form.DefaultButton()->name : "", c.default_name);
    EXPECT_EQ(form.CancelButton() ? form.CancelButton()->name : "", c.cancel_name);
    EXPECT_EQ(form.TimerResult(), c.timer_result);
  }
}

TEST(MessageForm, ButtonsInTableOrderWithTheirData) {
  // Asked for in reverse; laid out in the fixed order.
  TMessageForm form = MakeMessageForm("t", TMsgDlgType::mtCustom,
                                      {mbHelp, mbYesToAll, mbNoToAll, mbAll, mbIgnore, mbRetry, mbAbort,
                                       mbCancel, mbOK, mbNo, mbYes},
                                      5, 0);
  std::vector<std::string> names, captions;
  std::vector<int> results;
  for (const TMessageButton& b : form.buttons) {
    names.push_back(b.name);
    captions.push_back(b.caption);
    results.push_back(b.result);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"Yes", "No", "OK", "Cancel", "Abort", "Retry", "Ignore", "All",
                                             "NoToAll", "YesToAll", "Help"}));
  EXPECT_EQ(captions, (std::vector<std::string>{"&Yes", "&No", "OK", "Cancel", "&Abort", "&Retry", "&Ignore",
                                                "&All", "N&o to All", "Yes to &All", "&Help"}));
  EXPECT_EQ(results, (std::vector<int>{6, 7, 1, 2, 3, 4, 5, 8, 9, 10, 0}));
}

TEST(MessageForm, Captions) {
  EXPECT_EQ(DialogCaption(TMsgDlgType::mtWarning), "Warning");
  EXPECT_EQ(DialogCaption(TMsgDlgType::mtError), "Error");
  EXPECT_EQ(DialogCaption(TMsgDlgType::mtInformation), "Information");
  EXPECT_EQ(DialogCaption(TMsgDlgType::mtConfirmation), "Confirm");
  std::string old = ApplicationTitle();
  SetApplicationTitle("Mail");
  EXPECT_EQ(DialogCaption(TMsgDlgType::mtCustom), "Mail");
  SetApplicationTitle(old);
}

TEST(MessageForm, AccessKeys) {
  EXPECT_EQ(AccessKey("N&o to All"), 'o');
  EXPECT_EQ(AccessKey("Yes to &All"), 'a');
  EXPECT_EQ(AccessKey("OK"), 0);
  EXPECT_EQ(AccessKey("Fish && &Chips"), 'c');
  EXPECT_EQ(AccessKey("trailing&"), 0);
  EXPECT_EQ(StripAccessMark("N&o to All"), "No to All");
  EXPECT_EQ(StripAccessMark("Fish && &Chips"), "Fish & Chips");
}

// What a person would see go wrong: parts that overlap or leave the form,
// buttons too narrow for their captions, a form off the screen's centre.
TEST(MessageForm, LayoutKeepsEveryPartInsideAndApart) {
  const TFontMetrics font{8, 16, 1024, 768};  // an 8x16 font on a 1024x768 screen
  const struct {
    const char* what;
    TMessageForm form;
    int text_width, text_height;
    std::vector<int> caption_widths;
    bool has_icon;
  } cases[] = {
      {"confirmation, short captions", MakeMessageForm("t", TMsgDlgType::mtConfirmation, {mbYes, mbNo}, 0, 30000), 300,
       20, {30, 28}, true},
      {"custom, a caption wider than the text", MakeMessageForm("t", TMsgDlgType::mtCustom, {mbYesToAll, mbNoToAll, mbAll}, 0, 0),
       50, 16, {120, 110, 20}, false},
      {"information, tall text", MakeMessageForm("t", TMsgDlgType::mtInformation, {mbOK}, 0, 0), 400, 200, {20}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const TMessageLayout l = LayoutMessageForm(c.form, font, c.text_width, c.text_height, c.caption_widths);
    EXPECT_EQ(l.has_icon, c.has_icon);
    // Centred on the screen.
    EXPECT_LE(std::abs(2 * l.left + l.client_width - font.screen_width), 1);
    EXPECT_LE(std::abs(2 * l.top + l.client_height - font.screen_height), 1);
    // The text inside, right of the icon, above the buttons.
    EXPECT_GT(l.text_x, 0);
    EXPECT_LE(l.text_x + c.text_width, l.client_width);
    if (c.has_icon) {
      EXPECT_GE(l.text_x, l.icon_x + 32);
    }
    EXPECT_GE(l.button_y, l.text_y + c.text_height);
    EXPECT_LE(l.button_y + l.button_height, l.client_height);
    EXPECT_GE(l.button_height, font.char_height);
    // Every caption fits its button; the buttons stand apart, in order,
    // inside the form, as a group centred in it.
    for (int width : c.caption_widths) EXPECT_GT(l.button_width, width);
    ASSERT_EQ(l.button_x.size(), c.caption_widths.size());
    EXPECT_GT(l.button_x.front(), 0);
    for (size_t i = 1; i < l.button_x.size(); ++i) EXPECT_GT(l.button_x[i], l.button_x[i - 1] + l.button_width);
    const int right_gap = l.client_width - (l.button_x.back() + l.button_width);
    EXPECT_LE(std::abs(right_gap - l.button_x.front()), 1);
  }
}

}  // namespace
}  // namespace corvid::ui
