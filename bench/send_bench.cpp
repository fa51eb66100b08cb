// Sending a message with a 100 MB attachment through the mail client with
// the extension registered, against Info-ZIP's `zip -9` of the same file in
// the same run: the time ratio and the peak memory of the sending process.
//
// Both run as child processes and each peak is that child's own (wait4's
// ru_maxrss). A child's peak also counts what it had before exec, which is
// this harness's resident set: the attachment is therefore made in a child
// of its own, so that the harness stays small.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/bench_corpus.h"

namespace fs = std::filesystem;
using corvid::bench::Bytes;

namespace {

struct RunResult {
  int status = -1;
  double seconds = 0;
  long peak_kib = 0;
};

// Runs `args` with `home` as the machine root, standard input from
// /dev/null and standard output into `log`.
RunResult Run(const std::vector<std::string>& args, const fs::path& home, const fs::path& log) {
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    setenv("CORVID_HOME", home.c_str(), 1);
    if (!freopen("/dev/null", "r", stdin) || !freopen(log.c_str(), "w", stdout)) _exit(126);
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
void WriteAttachment(const fs::path& path, size_t bytes) {
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

bool Check(const RunResult& run, const char* what, const fs::path& log) {
  if (run.status == 0) return true;
  std::fprintf(stderr, "%s failed (status %d); its output is in %s\n", what, run.status, log.c_str());
  return false;
}

}  // namespace

int main() {
  const fs::path dist = CORVID_DIST;
  const fs::path work = fs::temp_directory_path() / ("corvid-send-bench-" + std::to_string(getpid()));
  fs::create_directories(work);
  const fs::path home = work / "machine";
  const fs::path attachment = work / "figures.dat";
  constexpr size_t kBytes = 100'000'000;
  const pid_t maker = fork();
  if (maker == 0) {
    WriteAttachment(attachment, kBytes);
    _exit(0);
  }
  int made = -1;
  if (maker < 0 || waitpid(maker, &made, 0) != maker || made != 0) {
    std::fprintf(stderr, "could not write the attachment %s\n", attachment.c_str());
    return 1;
  }

  int exit_code = 1;
  const RunResult registered =
      Run({(dist / "rundll32").string(), (dist / "corvina.dll").string() + ",Install_RunDLL", "1"}, home,
          work / "register.log");
  if (Check(registered, "registering the extension", work / "register.log")) {
    const RunResult send = Run({(dist / "corvid").string(), "send", "--to", "bob@example.com", "--subject",
                                "send benchmark", "--attach", attachment.string()},
                               home, work / "send.log");
    const RunResult zip = Run({"zip", "-9", "-q", "-j", (work / "peer.zip").string(), attachment.string()}, home,
                              work / "zip.log");
    if (Check(send, "corvid send", work / "send.log") && Check(zip, "zip -9", work / "zip.log")) {
      std::printf("attachment: %zu bytes (text, source, executable, random in turn)\n", kBytes);
      std::ifstream report(work / "send.log");
      for (std::string line; std::getline(report, line);) std::printf("  | %s\n", line.c_str());
      std::printf("corvid send, default level 9:  %7.2f s  peak %6.1f MiB\n", send.seconds, send.peak_kib / 1024.0);
      std::printf("zip -9 of the same file:       %7.2f s  peak %6.1f MiB\n", zip.seconds, zip.peak_kib / 1024.0);
      std::printf("time ratio send / zip -9:      %7.2f   (goal at most 1.5)\n", send.seconds / zip.seconds);
      std::printf("peak memory of corvid send:    %7.1f MiB (goal under 64 MiB)\n", send.peak_kib / 1024.0);
      exit_code = 0;
    }
  }
  if (exit_code == 0) fs::remove_all(work);
  return exit_code;
}
