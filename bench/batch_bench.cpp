// The compress batch over a folder of mail: `corvid compress --all` on 200
// messages, each with three attachments cut from the corpus (text, source,
// executable or random bytes), against `zip -9` of the same attachment
// files in the same run; then the batch's peak memory on 200 and on 2000
// messages, which must stay flat as the batch grows.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "bench/bench_processes.h"

namespace fs = std::filesystem;
using namespace corvid::bench;

namespace {

constexpr size_t kPieceBytes = 40000;

// `count` messages, read already (so the client's start-up inbox check
// leaves them to the batch), written straight into the inbox by Python's
// email; their attachment files go to `files`.
bool MakeFolder(const fs::path& home, const fs::path& files, int count, const fs::path& log) {
  const auto workloads = BuildWorkloads((fs::path(__FILE__).parent_path().parent_path() / "zip").string());
  fs::create_directories(files);
  for (int m = 0; m < count; ++m) {
    for (int a = 0; a < 3; ++a) {
      const Bytes& data = workloads[static_cast<size_t>(m + a) % workloads.size()].data;
      const size_t at = (static_cast<size_t>(m) * 7919 + static_cast<size_t>(a) * 104729) % (data.size() - kPieceBytes);
      std::ofstream out(files / ("m" + std::to_string(m) + "-" + std::to_string(a) + ".dat"), std::ios::binary);
      out.write(reinterpret_cast<const char*>(data.data() + at), kPieceBytes);
    }
  }
  const std::string script =
      "import os,sys\nfrom email.message import EmailMessage\n"
      "files,inbox,count=sys.argv[1],sys.argv[2],int(sys.argv[3])\n"
      "for m in range(count):\n"
      "  e=EmailMessage(); e['From']='a@example.com'; e['To']='b@example.com'; e['Subject']='m%d'%m\n"
      "  e.set_content('Message %d.'%m)\n"
      "  for a in range(3):\n"
      "    n='m%d-%d.dat'%(m,a)\n"
      "    e.add_attachment(open(os.path.join(files,n),'rb').read(),maintype='application',"
      "subtype='octet-stream',filename=n)\n"
      "  open(os.path.join(inbox,'cur','bench.%d.host:2,S'%m),'wb').write(bytes(e))\n";
  return Check(Run({"python3", "-c", script, files.string(), (home / "mail" / "maildir").string(),
                    std::to_string(count)},
                   home, log),
               "making the messages", log);
}

struct TBatch {
  RunResult compress;
  RunResult zip;
};

bool RunBatch(const fs::path& dist, const fs::path& work, int count, TBatch& batch) {
  const fs::path home = work / ("machine" + std::to_string(count));
  const fs::path files = work / ("files" + std::to_string(count));
  if (!Check(Run({(dist / "corvid-mapi").string(), "stores"}, home, work / "stores.log"), "making the profile",
             work / "stores.log") ||
      !Check(Run({(dist / "rundll32").string(), (dist / "corvina.dll").string() + ",Install_RunDLL", "1"}, home,
                 work / "register.log"),
             "registering the extension", work / "register.log") ||
      !MakeFolder(home, files, count, work / "make.log")) {
    return false;
  }
  batch.compress = Run({(dist / "corvid").string(), "compress", "--all"}, home, work / "compress.log");
  std::vector<std::string> zip = {"zip", "-9", "-q", "-j", (work / ("peer" + std::to_string(count) + ".zip")).string()};
  for (const auto& entry : fs::directory_iterator(files)) zip.push_back(entry.path().string());
  batch.zip = Run(zip, home, work / "zip.log");
  return Check(batch.compress, "corvid compress --all", work / "compress.log") &&
         Check(batch.zip, "zip -9", work / "zip.log");
}

}  // namespace

int main() {
  const fs::path dist = CORVID_DIST;
  const fs::path work = fs::temp_directory_path() / ("corvid-batch-bench-" + std::to_string(getpid()));
  fs::create_directories(work);
  TBatch small, large;
  if (!RunBatch(dist, work, 200, small) || !RunBatch(dist, work, 2000, large)) return 1;
  std::printf("200 messages, 3 attachments of %zu bytes each (corpus pieces), compress level 9:\n", kPieceBytes);
  std::printf("corvid compress --all:        %7.2f s  %7.1f messages/s  peak %6.1f MiB\n", small.compress.seconds,
              200 / small.compress.seconds, small.compress.peak_kib / 1024.0);
  std::printf("zip -9 of the same files:     %7.2f s\n", small.zip.seconds);
  std::printf("time ratio batch / zip -9:    %7.2f\n", small.compress.seconds / small.zip.seconds);
  std::printf("2000 messages:                %7.2f s  %7.1f messages/s  peak %6.1f MiB (zip -9 %.2f s)\n",
              large.compress.seconds, 2000 / large.compress.seconds, large.compress.peak_kib / 1024.0,
              large.zip.seconds);
  std::printf("peak memory 2000 / 200:       %7.2f   (flat: about 1)\n",
              static_cast<double>(large.compress.peak_kib) / small.compress.peak_kib);
  fs::remove_all(work);
  return 0;
}
