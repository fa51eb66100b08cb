#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <thread>

#include "ui/presenter.h"

namespace corvid::ui {
namespace {

using enum TMsgDlgBtn;

// A terminal presenter over two pipes: the test types into one and reads
// what was shown from the other.
class TerminalTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(pipe(in_), 0);
    ASSERT_EQ(pipe(out_), 0);
    // What the presenter prints is small; a non-blocking read end lets the
    // test collect it without hanging.
    fcntl(out_[0], F_SETFL, O_NONBLOCK);
    presenter_ = std::make_unique<TTerminalPresenter>(in_[0], out_[1]);
  }
  void TearDown() override {
    for (int fd : {in_[0], in_[1], out_[0], out_[1]})
      if (fd >= 0) close(fd);
  }
  void Type(const std::string& text) { ASSERT_EQ(write(in_[1], text.data(), text.size()), (ssize_t)text.size()); }
  void EndInput() {
    close(in_[1]);
    in_[1] = -1;
  }
  std::string Shown() {
    std::string s;
    char buf[4096];
    ssize_t n;
    while ((n = read(out_[0], buf, sizeof buf)) > 0) s.append(buf, n);
    return s;
  }

  int in_[2] = {-1, -1}, out_[2] = {-1, -1};
  std::unique_ptr<TTerminalPresenter> presenter_;
};

TEST_F(TerminalTest, MessageChoices) {
  TMessageForm form = MakeMessageForm("Replace the attachments?", TMsgDlgType::mtConfirmation,
                                      {mbYes, mbNo, mbNoToAll, mbHelp}, 3, 0);
  // Unknown answers and Help ask again; then by access key, number, name, caption, Enter.
  Type("maybe\nh\nn\n2\nnotoall\nNo to All\no\n\n");
  EXPECT_EQ(presenter_->ShowMessage(form), mrNo);
  std::string shown = Shown();
  EXPECT_NE(shown.find("Confirm\nReplace the attachments?\n"), std::string::npos);
  EXPECT_NE(shown.find("3) No to All [o]"), std::string::npos);
  EXPECT_NE(shown.find("1) Yes [y]  (default: Enter)"), std::string::npos);
  EXPECT_NE(shown.find("help context 3"), std::string::npos);
  EXPECT_EQ(presenter_->ShowMessage(form), mrNo);
  EXPECT_EQ(presenter_->ShowMessage(form), mrNoToAll);
  EXPECT_EQ(presenter_->ShowMessage(form), mrNoToAll);
  EXPECT_EQ(presenter_->ShowMessage(form), mrNoToAll);
  EXPECT_EQ(presenter_->ShowMessage(form), mrYes);
  EndInput();
  EXPECT_EQ(presenter_->ShowMessage(form), mrNo);  // end of input: the cancel button
}

TEST_F(TerminalTest, TimeoutAnswersTheDefault) {
  TMessageForm yes_no = MakeMessageForm("t", TMsgDlgType::mtConfirmation, {mbYes, mbNo}, 0, 50);
  EXPECT_EQ(presenter_->ShowMessage(yes_no), mrYes);
  TMessageForm no_default = MakeMessageForm("t", TMsgDlgType::mtWarning, {mbNo, mbCancel}, 0, 50);
  EXPECT_EQ(presenter_->ShowMessage(no_default), mrCancel);
  // A line typed in time wins over the timer.
  Type("n\n");
  yes_no.timeout_ms = 60000;
  EXPECT_EQ(presenter_->ShowMessage(yes_no), mrNo);
}

TEST_F(TerminalTest, ZeroTimeoutWaits) {
  TMessageForm form = MakeMessageForm("t", TMsgDlgType::mtConfirmation, {mbYes, mbNo}, 0, 0);
  std::thread late([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    Type("no\n");
  });
  EXPECT_EQ(presenter_->ShowMessage(form), mrNo);
  late.join();
}

TEST_F(TerminalTest, InputPrompt) {
  // A line split over two writes, an empty line keeping the value, CR LF.
  Type("new");
  Type("name.zip\n\r\nfinal\r\n");
  TInputDialog a(false, "Compressing", "Name:", "attachments.zip");
  EXPECT_EQ(presenter_->ShowInput(a), kIdOk);
  EXPECT_EQ(a.Value(), "newname.zip");
  EXPECT_NE(Shown().find("Compressing\nName: [attachments.zip]\n> "), std::string::npos);
  TInputDialog b(false, "c", "p", "kept");
  EXPECT_EQ(presenter_->ShowInput(b), kIdOk);
  EXPECT_EQ(b.Value(), "kept");
  TInputDialog secret(true, "c", "Password:", "hidden");
  EXPECT_EQ(presenter_->ShowInput(secret), kIdOk);
  EXPECT_EQ(secret.Value(), "final");
  EXPECT_EQ(Shown().find("hidden"), std::string::npos);  // never shown
  EndInput();
  TInputDialog c(false, "c", "p", "left");
  EXPECT_EQ(presenter_->ShowInput(c), kIdCancel);
  EXPECT_EQ(c.Value(), "left");
}

TEST_F(TerminalTest, LastLineWithoutNewlineAndLongLine) {
  Type(std::string(2000, 'y') + "\nlast");
  EndInput();
  TInputDialog a(false, "c", "p", "");
  EXPECT_EQ(presenter_->ShowInput(a), kIdOk);
  EXPECT_EQ(a.Value(), std::string(1023, 'y'));
  TInputDialog b(false, "c", "p", "");
  EXPECT_EQ(presenter_->ShowInput(b), kIdOk);
  EXPECT_EQ(b.Value(), "last");
}

}  // namespace
}  // namespace corvid::ui
