// Reading, writing and waiting that a signal does not cut short. A signal
// handler (Ctrl-C noted for a clean stop, SIGCHLD) makes a slow call fail
// with EINTR; each call here repeats it then, and only then. Header only:
// every folder uses it, the platform stand-ins and the tools included,
// without linking anything.
#pragma once

#include <poll.h>
#include <sys/file.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

namespace corvid::io {

// One read(2): the bytes read, 0 at the end, -1 with errno on failure.
inline ssize_t ReadSome(int fd, void* buffer, size_t size) {
  for (;;) {
    const ssize_t got = ::read(fd, buffer, size);
    if (got >= 0 || errno != EINTR) return got;
  }
}

// One write(2): the bytes written, -1 with errno on failure.
inline ssize_t WriteSome(int fd, const void* data, size_t size) {
  for (;;) {
    const ssize_t put = ::write(fd, data, size);
    if (put >= 0 || errno != EINTR) return put;
  }
}

// Reads until `size` bytes or the end: the bytes read (fewer only at the
// end), -1 with errno on failure. `offset` < 0 reads at the file position,
// else at that offset (pread) without moving it.
inline ssize_t ReadFull(int fd, void* buffer, size_t size, off_t offset = -1) {
  size_t done = 0;
  while (done < size) {
    char* at = static_cast<char*>(buffer) + done;
    const ssize_t got = offset < 0 ? ::read(fd, at, size - done)
                                   : ::pread(fd, at, size - done, offset + static_cast<off_t>(done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return -1;
    if (got == 0) break;
    done += static_cast<size_t>(got);
  }
  return static_cast<ssize_t>(done);
}

// Writes all of `size` bytes: true when they were written, false with
// errno set when a write failed (ENOSPC when one wrote nothing). `offset`
// as for ReadFull.
inline bool WriteFull(int fd, const void* data, size_t size, off_t offset = -1) {
  size_t done = 0;
  while (done < size) {
    const char* at = static_cast<const char*>(data) + done;
    const ssize_t put = offset < 0 ? ::write(fd, at, size - done)
                                   : ::pwrite(fd, at, size - done, offset + static_cast<off_t>(done));
    if (put < 0 && errno == EINTR) continue;
    if (put < 0) return false;
    if (put == 0) {
      errno = ENOSPC;
      return false;
    }
    done += static_cast<size_t>(put);
  }
  return true;
}

// waitpid(2) until the child's status is there (or none is, with WNOHANG):
// its result, -1 with errno on failure other than a signal.
inline pid_t WaitChild(pid_t pid, int* status, int options = 0) {
  for (;;) {
    const pid_t got = ::waitpid(pid, status, options);
    if (got >= 0 || errno != EINTR) return got;
  }
}

// flock(2), waiting through signals: 0, or -1 with errno.
inline int LockFile(int fd, int operation) {
  for (;;) {
    const int locked = ::flock(fd, operation);
    if (locked == 0 || errno != EINTR) return locked;
  }
}

// poll(2) without a time limit (a wait with one must count down what is
// left itself): the number of ready descriptors, -1 with errno.
inline int PollUntilReady(pollfd* fds, nfds_t count) {
  for (;;) {
    const int ready = ::poll(fds, count, -1);
    if (ready >= 0 || errno != EINTR) return ready;
  }
}

}  // namespace corvid::io
