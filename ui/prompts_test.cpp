#include "ui/prompts.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ui/presenter.h"

namespace corvid::ui {
namespace {

using A = TScriptedAnswer;
using enum TMsgDlgBtn;

// Installs a scripted presenter for one test and puts the previous one back.
class PromptsTest : public testing::Test {
 protected:
  void SetUp() override {
    script_ = std::make_shared<TScriptedPresenter>();
    script_->OnUnexpected = [this](const std::string& what) { unexpected_.push_back(what); };
    previous_ = SetPresenter(script_);
  }
  void TearDown() override { SetPresenter(previous_); }

  std::shared_ptr<TScriptedPresenter> script_;
  std::shared_ptr<TPresenter> previous_;
  std::vector<std::string> unexpected_;
};

TEST_F(PromptsTest, AskZipNameOkReplacesCancelKeeps) {
  script_->Add(A::Ok("mine.zip"));
  script_->Add(A::Cancel());
  script_->Add(A::Ok(""));
  std::string name = "attachments.zip";
  EXPECT_TRUE(AskZipName("Compressing attachments...", "Please enter ZIP file name:", name));
  EXPECT_EQ(name, "mine.zip");
  EXPECT_FALSE(AskZipName("c", "p", name));
  EXPECT_EQ(name, "mine.zip");
  // OK on an empty field is an answer, not a cancel.
  EXPECT_TRUE(AskZipName("c", "p", name));
  EXPECT_EQ(name, "");

  auto shown = script_->Shown();
  ASSERT_EQ(shown.size(), 3u);
  EXPECT_TRUE(shown[0].input);
  EXPECT_FALSE(shown[0].password);
  EXPECT_EQ(shown[0].caption, "Compressing attachments...");
  EXPECT_EQ(shown[0].text, "Please enter ZIP file name:");
  EXPECT_EQ(shown[0].value, "attachments.zip");
  EXPECT_EQ(shown[1].value, "mine.zip");
  EXPECT_TRUE(unexpected_.empty());
}

TEST_F(PromptsTest, AskPasswordIsMasked) {
  script_->Add(A::Ok("s3cret"));
  script_->Add(A::Cancel());
  std::string password = "old";
  EXPECT_TRUE(AskPassword("Archive", "Password:", password));
  EXPECT_EQ(password, "s3cret");
  EXPECT_FALSE(AskPassword("Archive", "Password:", password));
  EXPECT_EQ(password, "s3cret");
  auto shown = script_->Shown();
  ASSERT_EQ(shown.size(), 2u);
  EXPECT_TRUE(shown[0].password);
  EXPECT_EQ(InputDialogTemplate(true).name, "PASSWD");
  EXPECT_EQ(InputDialogTemplate(false).name, "NOPASSWD");
  // The templates differ only in the masking of the field.
  for (bool pw : {false, true}) {
    int masked = 0;
    for (const TDialogItem& item : InputDialogTemplate(pw).items) masked += item.password;
    EXPECT_EQ(masked, pw ? 1 : 0);
  }
}

TEST_F(PromptsTest, InputIsCutAt1023CodePoints) {
  // Two-byte characters show a cut by bytes; a 4-byte one at the edge shows
  // that a character is never split.
  const std::string e_acute = "\xC3\xA9";
  const std::string emoji = "\xF0\x9F\x98\x80";
  std::string long_text;
  for (int i = 0; i < 1022; ++i) long_text += e_acute;
  std::string exact = long_text + emoji;
  std::string over = exact + "abc";
  script_->Add(A::Ok(over));
  script_->Add(A::Ok(exact));
  script_->Add(A::Ok(std::string(1500, 'x')));
  std::string value;
  ASSERT_TRUE(AskZipName("c", "p", value));
  EXPECT_EQ(value, exact);
  ASSERT_TRUE(AskZipName("c", "p", value));
  EXPECT_EQ(value, exact);
  ASSERT_TRUE(AskPassword("c", "p", value));
  EXPECT_EQ(value, std::string(1023, 'x'));
}

TEST_F(PromptsTest, TimedMessageDlgAsPipelineAsksIt) {
  script_->Add(A::Press(mbNo));
  script_->Add(A::Timeout());
  EXPECT_EQ(TimedMessageDlg("Replace?", TMsgDlgType::mtConfirmation, {mbYes, mbNo}, 0, 30000), mrNo);
  EXPECT_EQ(TimedMessageDlg("Replace?", TMsgDlgType::mtConfirmation, {mbYes, mbNo}, 0, 30000), mrYes);
  auto shown = script_->Shown();
  ASSERT_EQ(shown.size(), 2u);
  EXPECT_EQ(shown[0].caption, "Confirm");
  EXPECT_EQ(shown[0].text, "Replace?");
  EXPECT_EQ(shown[0].buttons, (std::vector<std::string>{"Yes", "No"}));
  EXPECT_EQ(shown[0].default_button, "Yes");
  EXPECT_EQ(shown[0].cancel_button, "No");
  EXPECT_EQ(shown[0].timeout_ms, 30000);
  EXPECT_TRUE(unexpected_.empty());
}

TEST_F(PromptsTest, UnexpectedDialogsAreReported) {
  std::string name = "keep";
  EXPECT_FALSE(AskZipName("c", "p", name));  // no answer queued
  EXPECT_EQ(name, "keep");
  script_->Add(A::Press(mbRetry));          // not on the form
  EXPECT_EQ(TimedMessageDlg("t", TMsgDlgType::mtError, {mbOK}, 0, 0), mrOk);
  script_->Add(A::Timeout());                // the form has no time-out
  TimedMessageDlg("t", TMsgDlgType::mtError, {mbOK}, 0, 0);
  script_->Add(A::Press(mbOK));              // a button answer to an input prompt
  EXPECT_FALSE(AskPassword("c", "p", name));
  EXPECT_EQ(unexpected_.size(), 4u);
}

TEST_F(PromptsTest, HelpLeavesTheDialogOpen) {
  script_->Add(A::Press(mbHelp));
  script_->Add(A::Press(mbOK));
  EXPECT_EQ(TimedMessageDlg("t", TMsgDlgType::mtInformation, {mbOK, mbHelp}, 7, 0), mrOk);
  EXPECT_EQ(script_->Remaining(), 0u);
}

// Notes how many prompts are on screen at once while each is answered.
class TOverlapPresenter : public TScriptedPresenter {
 public:
  int ShowInput(TInputDialog& dialog) override {
    const int now = ++open_;
    int seen = most_open_.load();
    while (now > seen && !most_open_.compare_exchange_weak(seen, now)) {
    }
    // Stay open a moment, so that a prompt of another worker that does
    // not wait its turn would be open at the same time.
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const int result = TScriptedPresenter::ShowInput(dialog);
    --open_;
    return result;
  }
  int MostOpen() const { return most_open_.load(); }

 private:
  std::atomic<int> open_{0};
  std::atomic<int> most_open_{0};
};

TEST_F(PromptsTest, WorkerThreadsTakeTurns) {
  // Prompts opened from several workers at once come one after another,
  // each worker gets the answer to its own prompt, and every answer is used
  // once.
  auto overlap = std::make_shared<TOverlapPresenter>();
  SetPresenter(overlap);
  constexpr int kThreads = 4;
  for (int i = 0; i < kThreads; ++i) overlap->Add(A::Ok("answer" + std::to_string(i)));
  std::vector<std::string> values(kThreads);
  std::vector<bool> ok(kThreads);
  std::vector<std::thread> workers;
  for (int i = 0; i < kThreads; ++i) {
    values[i] = "start" + std::to_string(i);
    workers.emplace_back([&, i] { ok[i] = AskPassword("c", "p", values[i]); });
  }
  for (auto& w : workers) w.join();
  EXPECT_EQ(overlap->MostOpen(), 1);

  const std::vector<TShownDialog> shown = overlap->Shown();
  ASSERT_EQ(shown.size(), static_cast<size_t>(kThreads));
  std::set<std::string> answers;
  for (int turn = 0; turn < kThreads; ++turn) {
    // The worker whose prompt had this turn got this turn's answer.
    const int worker = std::stoi(shown[turn].value.substr(std::string("start").size()));
    ASSERT_TRUE(worker >= 0 && worker < kThreads) << shown[turn].value;
    EXPECT_TRUE(ok[worker]);
    EXPECT_EQ(values[worker], "answer" + std::to_string(turn));
    answers.insert(values[worker]);
  }
  EXPECT_EQ(answers.size(), static_cast<size_t>(kThreads));  // no worker got another's
  EXPECT_EQ(overlap->Remaining(), 0u);
}

TEST_F(PromptsTest, MessageBoxResults) {
  script_->Add(A::Press(mbNo));
  script_->Add(A::Cancel());
  script_->Add(A::Cancel());
  script_->Add(A::Timeout());  // no time-out: reported, answers the default
  EXPECT_EQ(MessageBox(nullptr, "Sure?", "Setup", MB_YESNO | MB_ICONQUESTION), IDNO);
  EXPECT_EQ(MessageBox(nullptr, "Sure?", "Setup", MB_OKCANCEL), IDCANCEL);
  EXPECT_EQ(MessageBox(nullptr, "Done", nullptr, MB_OK), IDOK);  // Escape on MB_OK answers OK
  EXPECT_EQ(MessageBox(nullptr, "Again?", "Setup", MB_RETRYCANCEL | MB_DEFBUTTON2), IDCANCEL);
  auto shown = script_->Shown();
  ASSERT_EQ(shown.size(), 4u);
  EXPECT_EQ(shown[0].caption, "Setup");
  EXPECT_EQ(shown[0].default_button, "Yes");
  EXPECT_EQ(shown[0].cancel_button, "");
  EXPECT_EQ(shown[2].caption, "Error");
  EXPECT_EQ(shown[3].buttons, (std::vector<std::string>{"Retry", "Cancel"}));
  EXPECT_EQ(shown[3].default_button, "Cancel");
  EXPECT_EQ(unexpected_.size(), 1u);
}

TEST(NoTerminalPresenter, AnswersAtOnce) {
  auto previous = SetPresenter(std::make_shared<TNoTerminalPresenter>());
  std::string name = "keep";
  EXPECT_FALSE(AskZipName("c", "p", name));
  EXPECT_EQ(name, "keep");
  EXPECT_FALSE(AskPassword("c", "p", name));
  // Even with no time-out the answer comes at once: nobody is there to wait for.
  EXPECT_EQ(TimedMessageDlg("t", TMsgDlgType::mtConfirmation, {mbYes, mbNo}, 0, 30000), mrYes);
  EXPECT_EQ(TimedMessageDlg("t", TMsgDlgType::mtConfirmation, {mbYes, mbNo}, 0, 0), mrYes);
  EXPECT_EQ(TimedMessageDlg("t", TMsgDlgType::mtWarning, {mbNo, mbCancel}, 0, 0), mrCancel);
  EXPECT_EQ(MessageBox(nullptr, "t", "c", MB_YESNO | MB_DEFBUTTON2), IDNO);
  EXPECT_EQ(MessageBox(nullptr, "t", "c", MB_ABORTRETRYIGNORE), IDABORT);
  SetPresenter(previous);
}

TEST(Presenter, SetPresenterReturnsPrevious) {
  auto a = std::make_shared<TNoTerminalPresenter>();
  auto b = std::make_shared<TNoTerminalPresenter>();
  auto original = SetPresenter(a);
  EXPECT_EQ(SetPresenter(b), a);
  EXPECT_EQ(InstalledPresenter(), b);
  EXPECT_EQ(SetPresenter(original), b);
}

}  // namespace
}  // namespace corvid::ui
