#include "ui/progress_window.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/win/ui_thread.h"
#include "ui/presenter.h"

namespace corvid::ui {
namespace {

// A worker feeds the window through Synchronize, as a batch does; the loop
// runs those calls and ends when the owner closes the window.
TEST(ProgressWindowTest, RunsTheMainThreadUntilClosedOrCancelled) {
  auto script = std::make_shared<TScriptedPresenter>();
  const auto previous = SetPresenter(script);
  for (const bool cancel : {false, true}) {
    TProgressWindow window;
    bool cancelled = false;
    window.OnCancel = [&] {
      cancelled = true;
      window.Close();
    };
    script->CancelProgressAt = cancel ? "step 2" : "";
    std::atomic<bool> worker_done{false};
    std::thread worker([&] {
      for (int step = 1; step <= 3 && !window.Closed(); ++step) {
        win::Synchronize([&] {
          if (window.Closed()) return;
          window.Label = "step " + std::to_string(step);
          window.Position = step;
          window.Changed();
        });
      }
      win::Synchronize([&] { window.Close(); });
      worker_done = true;
    });
    std::atomic<bool> finished{false};
    const int result = RunProgress(window);
    // The worker may still hand calls to the main thread: serve them until
    // it ends, as the client's loop does after a batch window closed.
    while (!finished) {
      win::MSG message{};
      win::PeekMessage(&message, nullptr, 0, 0, win::PM_REMOVE);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      finished = worker_done.load();
    }
    worker.join();
    EXPECT_EQ(cancelled, cancel);
    EXPECT_EQ(result, cancel ? 2 : 0);
  }
  const std::vector<std::string> labels = script->ProgressLabels();
  EXPECT_EQ(labels.front(), "step 1");
  EXPECT_EQ(std::count(labels.begin(), labels.end(), "step 3"), 1);  // the cancelled run never got there
  SetPresenter(previous);
}

TEST(ProgressWindowTest, TheTerminalRedrawsOneLine) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  TTerminalPresenter terminal(-1, fds[1]);
  TProgressWindow window;
  window.Caption = "Compressing messages...";
  window.Label = "Processing message 1 of 4...";
  window.Max = 5;
  window.Position = 1;
  terminal.ShowProgress(window, TProgressEvent::Opened);
  window.Label = "Processing message 3 of 4...";
  window.Position = 3;
  terminal.ShowProgress(window, TProgressEvent::Changed);
  terminal.ShowProgress(window, TProgressEvent::Closed);
  ::close(fds[1]);
  std::string text;
  char buffer[512];
  for (ssize_t got; (got = ::read(fds[0], buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<size_t>(got));
  ::close(fds[0]);
  EXPECT_EQ(text.find("Compressing messages...\n"), 0u) << text;
  // Each state overwrites the line before it; a bar of 24 cells, 3 of 5 filled.
  EXPECT_NE(text.find("\rProcessing message 3 of 4... [##############          ]"), std::string::npos) << text;
  EXPECT_EQ(text.back(), '\n');
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2);
}

}  // namespace
}  // namespace corvid::ui
