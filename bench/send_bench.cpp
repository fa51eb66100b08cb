// Sending a message with a 100 MB attachment through the mail client with
// the extension registered, against Info-ZIP's `zip -9` of the same file in
// the same run: the time ratio and the peak memory of the sending process.
//
// Both run as child processes and each peak is that child's own (wait4's
// ru_maxrss). A child's peak also counts what it had before exec, which is
// this harness's resident set: the attachment is therefore made in a child
// of its own, so that the harness stays small.

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "bench/bench_processes.h"

namespace fs = std::filesystem;
using namespace corvid::bench;

int main() {
  const fs::path dist = CORVID_DIST;
  const fs::path work = fs::temp_directory_path() / ("corvid-send-bench-" + std::to_string(getpid()));
  fs::create_directories(work);
  const fs::path home = work / "machine";
  const fs::path attachment = work / "figures.dat";
  constexpr size_t kBytes = 100'000'000;
  if (!MakeAttachment(attachment, kBytes)) return 1;

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
