#include "base/posix_io.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

namespace corvid::io {
namespace {

std::atomic<int> g_signals{0};
void CountSignal(int) { ++g_signals; }

// Signals the calling thread (without SA_RESTART, so a blocked call fails
// with EINTR) until `done`, then runs `finish`.
class TInterrupter {
 public:
  template <typename F>
  explicit TInterrupter(F finish) {
    struct sigaction action {};
    action.sa_handler = CountSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGUSR1, &action, &old_);
    g_signals = 0;
    const pthread_t target = pthread_self();
    thread_ = std::thread([target, finish] {
      // Several signals while the caller is blocked; then what unblocks it.
      for (int i = 0; i < 5; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        pthread_kill(target, SIGUSR1);
      }
      finish();
    });
  }
  ~TInterrupter() {
    if (thread_.joinable()) thread_.join();
    sigaction(SIGUSR1, &old_, nullptr);
  }
  void Join() { thread_.join(); }

 private:
  struct sigaction old_ {};
  std::thread thread_;
};

TEST(PosixIoTest, ReadsAndWaitsThroughSignals) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  {
    TInterrupter interrupter([fds] {
      const char text[] = "hello";
      ASSERT_EQ(::write(fds[1], text, 5), 5);
      ::close(fds[1]);
    });
    char buffer[16] = {};
    EXPECT_EQ(ReadFull(fds[0], buffer, sizeof buffer), 5);  // the whole text, then the end
    EXPECT_EQ(std::string(buffer), "hello");
    interrupter.Join();
    EXPECT_GT(g_signals.load(), 0);
  }
  ::close(fds[0]);

  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::usleep(200 * 1000);
    ::_exit(7);
  }
  {
    TInterrupter interrupter([] {});
    int status = 0;
    EXPECT_EQ(WaitChild(child, &status), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 7);
  }
}

TEST(PosixIoTest, LocksAndPollsThroughSignals) {
  const std::string path = (std::filesystem::temp_directory_path() / "corvid-posix-io-lock").string();
  const int holder = ::open(path.c_str(), O_RDWR | O_CREAT, 0600);
  const int waiter = ::open(path.c_str(), O_RDWR);
  ASSERT_GE(holder, 0);
  ASSERT_GE(waiter, 0);
  ::unlink(path.c_str());
  ASSERT_EQ(LockFile(holder, LOCK_EX), 0);
  {
    TInterrupter interrupter([holder] { ::flock(holder, LOCK_UN); });
    EXPECT_EQ(LockFile(waiter, LOCK_EX), 0);  // only once the holder let go
    interrupter.Join();
    EXPECT_GT(g_signals.load(), 0);
  }
  EXPECT_NE(LockFile(holder, LOCK_EX | LOCK_NB), 0);
  EXPECT_EQ(errno, EWOULDBLOCK);
  ::close(holder);
  ::close(waiter);

  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  {
    TInterrupter interrupter([fds] { ASSERT_EQ(::write(fds[1], "x", 1), 1); });
    pollfd wanted[1] = {{fds[0], POLLIN, 0}};
    EXPECT_EQ(PollUntilReady(wanted, 1), 1);
    EXPECT_NE(wanted[0].revents & POLLIN, 0);
  }
  ::close(fds[0]);
  ::close(fds[1]);
}

TEST(PosixIoTest, ReadsAndWritesWholeAtAnOffsetOrThePosition) {
  std::string path = (std::filesystem::temp_directory_path() / "corvid-posix-io-XXXXXX").string();
  const int fd = ::mkstemp(path.data());
  ASSERT_GE(fd, 0);
  ::unlink(path.c_str());
  ASSERT_TRUE(WriteFull(fd, "0123456789", 10));
  ASSERT_TRUE(WriteFull(fd, "AB", 2, 3));  // pwrite: the position stays at 10
  ASSERT_TRUE(WriteFull(fd, "xy", 2));
  char buffer[32] = {};
  EXPECT_EQ(ReadFull(fd, buffer, 4, 2), 4);
  EXPECT_EQ(std::string(buffer, 4), "2AB5");
  EXPECT_EQ(ReadFull(fd, buffer, sizeof buffer, 0), 12);  // short only at the end
  EXPECT_EQ(std::string(buffer, 12), "012AB56789xy");
  ::close(fd);

  // Failures say so, with errno.
  EXPECT_EQ(ReadFull(fd, buffer, 4), -1);
  EXPECT_EQ(errno, EBADF);
  EXPECT_FALSE(WriteFull(fd, "x", 1));
  EXPECT_EQ(errno, EBADF);
  const int full = ::open("/dev/full", O_WRONLY);
  ASSERT_GE(full, 0);
  EXPECT_FALSE(WriteFull(full, "x", 1));
  EXPECT_EQ(errno, ENOSPC);
  ::close(full);
}

}  // namespace
}  // namespace corvid::io
