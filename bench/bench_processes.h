// Running the programs under measure as child processes: each child's own
// time and peak memory (wait4's ru_maxrss), and the large mixed attachment
// the mail benchmarks send and receive.
#pragma once

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/bench_corpus.h"

namespace corvid::bench {

namespace fs = std::filesystem;

struct RunResult {
  int status = -1;
  double seconds = 0;
  long peak_kib = 0;
};

// Runs `args` with `home` as the machine root, standard input from `input`
// (/dev/null when empty) and standard output and error into `log`.
inline RunResult Run(const std::vector<std::string>& args, const fs::path& home, const fs::path& log,
              const fs::path& input = {}) {
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    setenv("CORVID_HOME", home.c_str(), 1);
    if (!freopen(input.empty() ? "/dev/null" : input.c_str(), "r", stdin) || !freopen(log.c_str(), "w", stdout) ||
        dup2(fileno(stdout), 2) < 0) {
      _exit(126);
    }
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  RunResult result;
  int status = 0;
  rusage usage{};
  if (pid > 0 && wait4(pid, &status, 0, &usage) == pid) {
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.peak_kib = usage.ru_maxrss;
  }
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return result;
}

// 100 MB cycling through the corpus' text, source, executable and random
// workloads, so the attachment is neither all text nor all noise.
inline void WriteAttachment(const fs::path& path, size_t bytes) {
  const auto workloads = corvid::bench::BuildWorkloads((fs::path(__FILE__).parent_path().parent_path() / "zip").string());
  std::ofstream out(path, std::ios::binary);
  size_t written = 0;
  for (size_t i = 0; written < bytes; ++i) {
    const Bytes& data = workloads[i % workloads.size()].data;
    const size_t n = std::min(data.size(), bytes - written);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(n));
    written += n;
  }
}

// Writes the attachment in a child of its own, so that this process stays
// small; false (and a message) when it could not be written.
inline bool MakeAttachment(const fs::path& path, size_t bytes) {
  const pid_t maker = fork();
  if (maker == 0) {
    WriteAttachment(path, bytes);
    _exit(0);
  }
  int made = -1;
  if (maker < 0 || waitpid(maker, &made, 0) != maker || made != 0) {
    std::fprintf(stderr, "could not write the attachment %s\n", path.c_str());
    return false;
  }
  return true;
}

inline bool Check(const RunResult& run, const char* what, const fs::path& log) {
  if (run.status == 0) return true;
  std::fprintf(stderr, "%s failed (status %d); its output is in %s\n", what, run.status, log.c_str());
  return false;
}

}  // namespace corvid::bench
