#include "ui/message_form.h"

#include <gtest/gtest.h>

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

TEST(MessageForm, Layout) {
  // An 8x16 font on a 1024x768 screen: margins 16/16, spacing 20/20, buttons
  // at least 100 wide, 28 high, 8 apart.
  TFontMetrics font{8, 16, 1024, 768};
  TMessageForm confirm = MakeMessageForm("t", TMsgDlgType::mtConfirmation, {mbYes, mbNo}, 0, 30000);
  TMessageLayout l = LayoutMessageForm(confirm, font, 300, 20, {30, 28});
  EXPECT_TRUE(l.has_icon);
  EXPECT_EQ(l.button_width, 100);
  EXPECT_EQ(l.button_height, 28);
  // Text block: 300 + 32 + 20 wide, at least 32 high.
  EXPECT_EQ(l.client_width, 352 + 32);
  EXPECT_EQ(l.client_height, 32 + 28 + 20 + 32);
  EXPECT_EQ(l.text_x, 16 + 32 + 20);
  EXPECT_EQ(l.left, (1024 - 384) / 2);
  EXPECT_EQ(l.top, (768 - 112) / 2);
  // Two buttons, 208 wide together, centred.
  EXPECT_EQ(l.button_x, (std::vector<int>{(384 - 208) / 2, (384 - 208) / 2 + 108}));
  EXPECT_EQ(l.button_y, 32 + 20 + 16);

  // A wide caption widens every button; without an icon the text starts at the margin.
  TMessageForm custom = MakeMessageForm("t", TMsgDlgType::mtCustom, {mbYesToAll, mbNoToAll, mbAll}, 0, 0);
  l = LayoutMessageForm(custom, font, 50, 16, {120, 110, 20});
  EXPECT_FALSE(l.has_icon);
  EXPECT_EQ(l.button_width, 128);
  EXPECT_EQ(l.client_width, 3 * 128 + 2 * 8 + 32);  // the button group is wider than the text
  EXPECT_EQ(l.client_height, 16 + 28 + 20 + 32);
  EXPECT_EQ(l.text_x, 16);
}

}  // namespace
}  // namespace corvid::ui
