// Receiving a message with a 100 MB ZIP attachment (the mixed corpus file
// zipped by `zip -9`) through `corvid run --once` with the extension
// registered, against what a user would do by hand in the same run: `unzip`
// of the same archive into a folder plus Python's email putting the files on
// a message as attachments. Prints the time ratio and the peak memory of
// the client.
//
// Each peak is that child's own (wait4's ru_maxrss); the big files are made
// in children of their own so that the harness stays small.

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "bench/bench_processes.h"

namespace fs = std::filesystem;
using namespace corvid::bench;

namespace {


// A message with the given files as attachments, made by Python's email.
std::vector<std::string> PythonMessage(const fs::path& out, const std::vector<fs::path>& files) {
  std::vector<std::string> args = {
      "python3", "-c",
      "import sys\nfrom email.message import EmailMessage\n"
      "m=EmailMessage(); m['From']='a@example.com'; m['To']='b@example.com'; m['Subject']='receive benchmark'\n"
      "m.set_content('The figures.')\n"
      "for f in sys.argv[2:]: m.add_attachment(open(f,'rb').read(),maintype='application',subtype='octet-stream',"
      "filename=f.rsplit('/',1)[-1])\n"
      "open(sys.argv[1],'wb').write(bytes(m))\n",
      out.string()};
  for (const fs::path& file : files) args.push_back(file.string());
  return args;
}

}  // namespace

int main() {
  const fs::path dist = CORVID_DIST;
  const fs::path work = fs::temp_directory_path() / ("corvid-receive-bench-" + std::to_string(getpid()));
  fs::create_directories(work / "files");
  const fs::path home = work / "machine";
  const fs::path attachment = work / "files" / "figures.dat";
  constexpr size_t kBytes = 100'000'000;
  if (!MakeAttachment(attachment, kBytes)) return 1;
  const fs::path archive = work / "figures.zip";
  const fs::path incoming = work / "incoming.eml";
  int exit_code = 1;
  if (Check(Run({"zip", "-9", "-q", "-j", archive.string(), attachment.string()}, home, work / "zip.log"), "zip -9",
            work / "zip.log") &&
      Check(Run(PythonMessage(incoming, {archive}), home, work / "mail.log"), "making the message",
            work / "mail.log") &&
      Check(Run({(dist / "corvid-mapi").string(), "deliver"}, home, work / "deliver.log", incoming),
            "delivering the message", work / "deliver.log") &&
      Check(Run({(dist / "rundll32").string(), (dist / "corvina.dll").string() + ",Install_RunDLL", "1"}, home,
                work / "register.log"),
            "registering the extension", work / "register.log")) {
    const RunResult receive = Run({(dist / "corvid").string(), "run", "--once"}, home, work / "run.log");
    const RunResult unzip = Run({"unzip", "-q", "-o", archive.string(), "-d", (work / "out").string()}, home,
                                work / "unzip.log");
    const RunResult encode =
        Run(PythonMessage(work / "by-hand.eml", {work / "out" / "figures.dat"}), home, work / "encode.log");
    if (Check(receive, "corvid run --once", work / "run.log") && Check(unzip, "unzip", work / "unzip.log") &&
        Check(encode, "Python's email", work / "encode.log")) {
      const double baseline = unzip.seconds + encode.seconds;
      std::printf("attachment: %zu bytes (text, source, executable, random in turn), zipped by zip -9: %ju bytes\n",
                  kBytes, static_cast<uintmax_t>(fs::file_size(archive)));
      std::ifstream report(work / "run.log");
      for (std::string line; std::getline(report, line);) std::printf("  | %s\n", line.c_str());
      std::printf("corvid run --once:                  %7.2f s  peak %6.1f MiB\n", receive.seconds,
                  receive.peak_kib / 1024.0);
      std::printf("unzip + Python's email by hand:     %7.2f s  (unzip %.2f s, peak %.1f MiB; email %.2f s, peak %.1f MiB)\n",
                  baseline, unzip.seconds, unzip.peak_kib / 1024.0, encode.seconds, encode.peak_kib / 1024.0);
      std::printf("time ratio corvid / by hand:        %7.2f   (goal at most 1.5)\n", receive.seconds / baseline);
      std::printf("peak memory of corvid run --once:   %7.1f MiB (goal under 64 MiB)\n", receive.peak_kib / 1024.0);
      exit_code = 0;
    }
  }
  if (exit_code == 0) fs::remove_all(work);
  return exit_code;
}
