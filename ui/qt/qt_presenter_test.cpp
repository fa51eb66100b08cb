// The Qt presenter driven as a user would, with Qt Test: click, type,
// select, OK; then the settings container is checked. Each dialog's window
// is grabbed into the build folder's screenshots/.
#include "ui/qt/qt_presenter.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QSlider>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <filesystem>
#include <thread>

#include "platform/win/ui_thread.h"
#include "settings/catalogue.h"
#include "ui/compression_dlg.h"
#include "ui/options_page.h"
#include "ui/prompts.h"
#include "ui/settings_dialogs.h"

namespace corvid::ui::qt {
namespace {

// Runs `drive` once a modal window named `name` is on top.
void WhenShown(const QString& name, std::function<void(QWidget*)> drive) {
  auto* timer = new QTimer();
  QObject::connect(timer, &QTimer::timeout, [timer, name, drive] {
    QWidget* top = QApplication::activeModalWidget();
    if (!top || top->objectName() != name || !top->isVisible()) return;
    timer->stop();
    timer->deleteLater();
    drive(top);
  });
  timer->start(10);
}

template <typename T>
T* Find(QWidget* window, const char* name) {
  T* found = window->findChild<T*>(name);
  EXPECT_NE(found, nullptr) << name;
  return found;
}

// On the left end: a check box or radio button takes clicks on its box and
// label only, not on the rest of its row.
void Click(QWidget* window, const char* name) {
  if (auto* button = Find<QAbstractButton>(window, name))
    QTest::mouseClick(button, Qt::LeftButton, {}, QPoint(6, button->height() / 2));
}

void Grab(QWidget* window, const std::string& file) {
  std::filesystem::create_directories(CORVID_SCREENSHOTS);
  window->adjustSize();
  QApplication::processEvents();
  const std::string path = std::string(CORVID_SCREENSHOTS) + "/" + file;
  EXPECT_TRUE(window->grab().save(QString::fromStdString(path))) << path;
}

class QtPresenterTest : public testing::Test {
 protected:
  void SetUp() override {
    EnsureApplication();
    presenter_ = std::make_shared<TQtPresenter>();
    previous_ = SetPresenter(presenter_);
  }
  void TearDown() override { SetPresenter(previous_); }

  std::shared_ptr<TQtPresenter> presenter_;
  std::shared_ptr<TPresenter> previous_;
};

TEST_F(QtPresenterTest, CompressionDialogFromThePageChangesTheCopy) {
  TOptionsPage page;
  settings::TOptionsContainer extension;
  settings::ReadAll(extension);
  extension.SetModified(false);
  page.LoadOptions(extension);
  bool changed = false;
  page.OnChanged = [&](bool modified) { changed = modified; };

  WhenShown("Compress", [](QWidget* sheet) {
    Grab(sheet, "options_page.png");
    WhenShown("Compression Options", [sheet](QWidget* dialog) {
      auto* tabs = Find<QTabWidget>(dialog, "PageControl1");
      const char* shots[] = {"compression_general.png", "compression_addresses.png", "compression_advanced.png",
                             "compression_password.png"};
      for (int i = 0; i < 4; ++i) {
        tabs->setCurrentIndex(i);
        Grab(dialog, shots[i]);
      }
      tabs->setCurrentIndex(2);
      auto* level = Find<QSlider>(dialog, "CompressionLevelTB");
      level->setFocus();
      QTest::keyClick(level, Qt::Key_Left);
      QTest::keyClick(level, Qt::Key_Left);
      Click(dialog, "CompressEachZIPSeparatelyRB");
      EXPECT_FALSE(Find<QLineEdit>(dialog, "ZIPFileNameEdt")->isEnabled());
      tabs->setCurrentIndex(1);
      WhenShown("InputDialog", [](QWidget* prompt) {
        QTest::keyClicks(Find<QLineEdit>(prompt, "InputField"), "boss@example.com");
        QTest::keyClick(Find<QLineEdit>(prompt, "InputField"), Qt::Key_Return);
      });
      Click(dialog, "Add1Btn");
      auto* list = Find<QListWidget>(dialog, "SkipRecipientsLV");
      EXPECT_EQ(list->count(), 1);
      list->setCurrentRow(0);
      EXPECT_TRUE(Find<QWidget>(dialog, "Delete1Btn")->isEnabled());
      Click(dialog, "OKBtn");
      QTimer::singleShot(0, sheet, [sheet] { static_cast<QDialog*>(sheet)->reject(); });
    });
    Click(sheet, "CompressionBtn");
  });
  PresentDialog(page);

  settings::TOptionsContainer& s = page.Settings();
  EXPECT_EQ(s.ReadInteger("Compression\\CompressionLevel", -1, false, false), 7);
  EXPECT_EQ(s.ReadInteger("Compression\\MakeSingleZIP", -1, false, false), 0);
  EXPECT_EQ(s.ReadString("Compression\\SkipRecipients", "?", false, false), "boss@example.com\r\n");
  EXPECT_TRUE(changed);
}

TEST_F(QtPresenterTest, DecompressionDialogStoresTheTypedPassword) {
  settings::TOptionsContainer page;
  settings::ReadAll(page);
  TDecompressOptionsDlg dialog;
  dialog.LoadOptions(page);
  WhenShown("Decompression Options", [](QWidget* window) {
    Find<QTabWidget>(window, "PageControl1")->setCurrentIndex(2);
    auto* password = Find<QLineEdit>(window, "PasswordEdt");
    EXPECT_FALSE(password->isEnabled());
    Click(window, "PasswordTryPasswordRB");
    EXPECT_TRUE(password->isEnabled());
    QTest::keyClicks(password, "Open5esame");
    QTest::keyClicks(Find<QLineEdit>(window, "ConfirmPasswordEdt"), "Open5esame");
    Grab(window, "decompression.png");
    Click(window, "OKBtn");
  });
  ASSERT_EQ(PresentDialog(dialog), mrOk);
  dialog.SaveOptions(page);
  EXPECT_EQ(page.ReadInteger("Decompression\\SkipWithPassword", -1, false, false), 0);
  EXPECT_EQ(page.ReadInteger("Decompression\\PromptForPassword", -1, false, false), 0);
  EXPECT_EQ(page.ReadString("Decompression\\Password", "", true, false), "Open5esame");
}

TEST_F(QtPresenterTest, MismatchedPasswordKeepsTheDialogOpen) {
  settings::TOptionsContainer page;
  page.WriteBool("Compression\\UsePassword", true, false);
  TCompressionDlg dialog;
  dialog.LoadOptions(page);
  std::vector<std::string> messages;
  // Every mismatch message is answered with OK (leaving the confirmation
  // box may show one besides OK's own).
  QTimer answer;
  QObject::connect(&answer, &QTimer::timeout, [&] {
    QWidget* top = QApplication::activeModalWidget();
    if (!top || top->objectName() != "MessageForm" || !top->isVisible()) return;
    messages.push_back(top->windowTitle().toStdString());
    Click(top, "OK");
  });
  answer.start(10);
  WhenShown("Compression Options", [&](QWidget* window) {
    Find<QTabWidget>(window, "PageControl1")->setCurrentIndex(3);
    QTest::keyClicks(Find<QLineEdit>(window, "PasswordEdt"), "one");
    QTest::keyClicks(Find<QLineEdit>(window, "ConfirmPasswordEdt"), "two");
    Click(window, "OKBtn");
    // Still open on the password page: make the texts agree, then OK again.
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(Find<QTabWidget>(window, "PageControl1")->currentIndex(), 3);
    auto* confirm = Find<QLineEdit>(window, "ConfirmPasswordEdt");
    confirm->selectAll();
    QTest::keyClicks(confirm, "one");
    Click(window, "OKBtn");
  });
  ASSERT_EQ(PresentDialog(dialog), mrOk);
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages[0], kPasswordMismatchCaption);
  dialog.SaveOptions(page);
  EXPECT_EQ(page.ReadString("Compression\\Password", "", true, false), "one");
}

TEST_F(QtPresenterTest, StatisticsAndAboutShowTheirValues) {
  settings::TOptionsContainer page;
  page.WriteInteger("Statistics\\NumMessages", 1234, false);
  page.WriteInteger("Statistics\\ZipFilesSize", 3 * 1048576, false);
  page.WriteInteger("Statistics\\UnZippedFilesSize", 10 * 1048576, false);
  page.WriteString("Install\\InstallDate", "3/4/2024", false);
  TStatisticsDlg statistics;
  statistics.LoadStatistics(page);
  QString shown;
  WhenShown("Corvid Statistics", [&](QWidget* window) {
    shown = Find<QLabel>(window, "NumMessagesProcessedLabel")->text();
    Grab(window, "statistics.png");
    Click(window, "OKBtn");
  });
  EXPECT_EQ(PresentDialog(statistics), mrOk);
  EXPECT_EQ(shown.trimmed().toStdString(), "1,234");
  TAboutDlgBox about;
  about.LoadOptions(page);
  WhenShown("About Corvid", [&](QWidget* window) {
    shown = Find<QLabel>(window, "InstallDateLabel")->text();
    Grab(window, "about.png");
    QTest::keyClick(window, Qt::Key_Escape);
  });
  PresentDialog(about);
  EXPECT_EQ(shown.toStdString(), "Installed on Monday, March 4, 2024");
}

TEST_F(QtPresenterTest, TimedMessageAnswersWithItsDefaultButton) {
  EXPECT_EQ(TimedMessageDlg("Compress the attachments?", TMsgDlgType::mtConfirmation,
                            {TMsgDlgBtn::mbYes, TMsgDlgBtn::mbNo}, 0, 50),
            mrYes);
  WhenShown("MessageForm", [](QWidget* box) { Click(box, "No"); });
  EXPECT_EQ(TimedMessageDlg("Compress?", TMsgDlgType::mtConfirmation, {TMsgDlgBtn::mbYes, TMsgDlgBtn::mbNo}, 0, 0),
            mrNo);
}

// While a Qt dialog is open, another thread's SendMessage to a window of
// the main thread is still answered.
TEST_F(QtPresenterTest, WindowMessagesAreHandledWhileADialogIsOpen) {
  static std::atomic<int> handled{0};
  win::WNDCLASS window_class{};
  window_class.lpfnWndProc = [](win::HWND w, win::UINT m, win::WPARAM wp, win::LPARAM lp) -> win::LRESULT {
    if (m == win::WM_USER + 7) {
      ++handled;
      return 42;
    }
    return win::DefWindowProc(w, m, wp, lp);
  };
  window_class.lpszClassName = "QtPumpTest";
  win::RegisterClass(&window_class);
  win::HWND window = win::CreateWindow("QtPumpTest", "", 0, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
  win::LRESULT answer = 0;
  std::thread sender;
  TAboutDlgBox about;
  WhenShown("About Corvid", [&](QWidget* dialog) {
    sender = std::thread([&] { answer = win::SendMessage(window, win::WM_USER + 7, 0, 0); });
    auto* wait = new QTimer(dialog);
    QObject::connect(wait, &QTimer::timeout, dialog, [dialog] {
      if (handled.load() > 0) static_cast<QDialog*>(dialog)->accept();
    });
    wait->start(10);
  });
  PresentDialog(about);
  sender.join();
  EXPECT_EQ(answer, 42);
  win::DestroyWindow(window);
  win::UnregisterClass("QtPumpTest", nullptr);
}

}  // namespace
}  // namespace corvid::ui::qt

// The font library keeps a small cache for the life of the process; Qt's
// offscreen platform asks it for fonts once. The leak checker reads this
// before main, whatever the environment says.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

int main(int argc, char** argv) {
  // No display needed; a caller may still choose another platform. Messages
  // in the C locale, as the screenshots show them.
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  ::setenv("LC_ALL", "C", 0);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
