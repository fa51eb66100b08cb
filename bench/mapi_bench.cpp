// Reading and rewriting a message with a large attachment uses a fixed
// amount of memory, and costs about what copying the file costs. This
// program writes a message with a 200 MiB attachment (base64, as mail
// carries it) into a fresh machine root's INBOX, then through the store:
// opens it, reads the attachment's stream to the end, adds a small
// attachment from a stream and changes the subject, and saves. Beside it,
// the same file copied (read, write, fsync) as the baseline. It prints the
// times, their ratio and the peak resident set during the store's run
// (reset just before it): attachment data is streamed, never held whole, so
// the peak must stay under 64 MiB.
//
//   mapi_bench [MiB]   (the attachment, default 200)
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "platform/mapi/entry_id.h"
#include "platform/mapi/maildir.h"
#include "platform/mapi/mapi32.h"
#include "platform/mapi/mapi_error.h"
#include "platform/mapi/profile.h"
#include "testutil/mime_text.h"

using namespace corvid::mapi;
namespace fs = std::filesystem;

namespace {

constexpr long kLimitKiB = 64 * 1024;

long StatusKiB(const char* name) {
  std::ifstream status("/proc/self/status");
  std::string line;
  const size_t length = std::strlen(name);
  while (std::getline(status, line)) {
    if (line.compare(0, length, name) == 0 && line.size() > length && line[length] == ':') {
      return std::stol(line.substr(length + 1));
    }
  }
  return -1;
}

// Sets the peak back to the current resident set, so the run measured
// starts from its own baseline.
void ResetPeak() {
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
}

double Seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

void Check(HRESULT result, const char* what) {
  if (FAILED(result)) {
    std::fprintf(stderr, "mapi_bench: %s: %s\n", what, ResultName(result).c_str());
    std::exit(1);
  }
}

// The message, written in pieces: 57 bytes of data per base64 line.
void WriteMessage(const std::string& path, uint64_t size) {
  FILE* out = std::fopen(path.c_str(), "wb");
  std::fputs(
      "From: Sender <sender@example.org>\nTo: Rcpt <rcpt@example.com>\nSubject: large\nMIME-Version: 1.0\n"
      "Content-Type: multipart/mixed; boundary=\"b\"\n\n--b\nContent-Type: text/plain\n\nbody\n--b\n"
      "Content-Type: application/octet-stream\nContent-Disposition: attachment; filename=\"large.bin\"\n"
      "Content-Transfer-Encoding: base64\n\n",
      out);
  uint32_t state = 12345;
  for (uint64_t done = 0; done < size;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(57, size - done));
    unsigned char data[57];
    for (size_t i = 0; i < n; ++i) {
      state = state * 1103515245u + 12345u;
      data[i] = static_cast<unsigned char>(state >> 16);
    }
    const std::string line = corvid::test::Base64Lines(std::string_view(reinterpret_cast<char*>(data), n));
    std::fwrite(line.data(), 1, line.size(), out);
    done += n;
  }
  std::fputs("--b--\n", out);
  std::fclose(out);
}

double CopyFile(const std::string& from, const std::string& to) {
  const auto start = std::chrono::steady_clock::now();
  const int in = ::open(from.c_str(), O_RDONLY);
  const int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  std::vector<char> buffer(1 << 16);
  for (;;) {
    const ssize_t got = ::read(in, buffer.data(), buffer.size());
    if (got <= 0) break;
    if (::write(out, buffer.data(), static_cast<size_t>(got)) != got) break;
  }
  ::fsync(out);
  ::close(in);
  ::close(out);
  return Seconds(std::chrono::steady_clock::now() - start);
}

}  // namespace

int main(int argc, char** argv) {
  const uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 200;
  std::string root = (fs::temp_directory_path() / "mapi-bench-XXXXXX").string();
  if (::mkdtemp(root.data()) == nullptr) return 1;
  ::setenv("CORVID_HOME", root.c_str(), 1);

  Check(MAPIInitialize(nullptr), "MAPIInitialize");
  LPMAPISESSION session = nullptr;
  Check(MAPILogonEx(0, nullptr, nullptr, 0, &session), "MAPILogonEx");
  TStoreConfig config;
  for (const TStoreConfig& store : LoadProfile().stores) {
    if (store.is_default) config = store;
  }

  const std::string unique = TMaildir::NewUnique();
  const std::string path = config.path + "/cur/" + unique + ":2,S";
  WriteMessage(config.path + "/tmp/" + unique, mib << 20);
  fs::rename(config.path + "/tmp/" + unique, path);
  const uint64_t file_size = fs::file_size(path);

  // The baseline, twice; the second (warm) one counts, as the store's run
  // also finds the file in the page cache.
  CopyFile(path, root + "/copy");
  const double copy_seconds = CopyFile(path, root + "/copy");
  fs::remove(root + "/copy");

  const std::string store_entry = EncodeEntryId(EntryIdOf(config.uid, TEntryKind::Store));
  LPMDB store = nullptr;
  Check(session->OpenMsgStore(0, static_cast<ULONG>(store_entry.size()),
                              reinterpret_cast<LPENTRYID>(const_cast<char*>(store_entry.data())), nullptr, MDB_WRITE,
                              &store),
        "OpenMsgStore");
  TEntryId id = EntryIdOf(config.uid, TEntryKind::Message);
  id.unique = unique;
  const std::string entry = EncodeEntryId(id);

  ResetPeak();
  const long base_kib = StatusKiB("VmHWM");
  const auto start = std::chrono::steady_clock::now();
  ULONG type = 0;
  IUnknown* unknown = nullptr;
  Check(store->OpenEntry(static_cast<ULONG>(entry.size()), reinterpret_cast<LPENTRYID>(const_cast<char*>(entry.data())),
                         &IID_IMessage, MAPI_MODIFY, &type, &unknown),
        "OpenEntry");
  auto* message = static_cast<IMessage*>(unknown);
  IAttach* attach = nullptr;
  Check(message->OpenAttach(0, nullptr, 0, &attach), "OpenAttach");
  Check(attach->OpenProperty(PR_ATTACH_DATA_BIN, &IID_IStream, 0, 0, &unknown), "OpenProperty");
  auto* stream = static_cast<IStream*>(unknown);
  std::vector<char> buffer(1 << 16);
  uint64_t read_total = 0;
  for (;;) {
    ULONG got = 0;
    Check(stream->Read(buffer.data(), static_cast<ULONG>(buffer.size()), &got), "Read");
    if (got == 0) break;
    read_total += got;
  }
  stream->Release();
  attach->Release();
  const auto read_done = std::chrono::steady_clock::now();

  ULONG number = 0;
  Check(message->CreateAttach(nullptr, 0, &number, &attach), "CreateAttach");
  SPropValue props[2] = {};
  props[0].ulPropTag = PR_ATTACH_METHOD;
  props[0].Value.l = ATTACH_BY_VALUE;
  props[1].ulPropTag = PR_ATTACH_LONG_FILENAME;
  props[1].Value.lpszA = const_cast<char*>("note.txt");
  Check(attach->SetProps(2, props, nullptr), "SetProps");
  Check(attach->OpenProperty(PR_ATTACH_DATA_BIN, &IID_IStream, 0, MAPI_CREATE | MAPI_MODIFY, &unknown),
        "OpenProperty for writing");
  stream = static_cast<IStream*>(unknown);
  ULONG written = 0;
  Check(stream->Write("added by the benchmark\n", 23, &written), "Write");
  Check(stream->Commit(0), "Commit");
  stream->Release();
  Check(attach->SaveChanges(0), "attachment SaveChanges");
  attach->Release();
  SPropValue subject{};
  subject.ulPropTag = PR_SUBJECT;
  subject.Value.lpszA = const_cast<char*>("large, rewritten");
  Check(HrSetOneProp(message, &subject), "HrSetOneProp");
  Check(message->SaveChanges(0), "SaveChanges");
  message->Release();
  const auto end = std::chrono::steady_clock::now();
  const long peak_kib = StatusKiB("VmHWM");

  const double read_seconds = Seconds(read_done - start);
  const double rewrite_seconds = Seconds(end - read_done);
  const double store_seconds = Seconds(end - start);
  std::printf("message file: %.1f MiB (attachment %llu MiB, read back %.1f MiB)\n", file_size / 1048576.0,
              static_cast<unsigned long long>(mib), read_total / 1048576.0);
  std::printf("copy (baseline):        %.3f s\n", copy_seconds);
  std::printf("store: read attachment  %.3f s\n", read_seconds);
  std::printf("store: rewrite + save   %.3f s\n", rewrite_seconds);
  std::printf("store: total            %.3f s  ratio to copy %.2f\n", store_seconds, store_seconds / copy_seconds);
  std::printf("peak RSS: %.1f MiB (%.1f MiB above the %.1f MiB before the run; limit 64 MiB)\n", peak_kib / 1024.0,
              (peak_kib - base_kib) / 1024.0, base_kib / 1024.0);

  store->Release();
  session->Release();
  MAPIUninitialize();
  std::error_code ignored;
  fs::remove_all(root, ignored);
  const bool ok = peak_kib < kLimitKiB && read_total == (mib << 20);
  std::printf("%s\n", ok ? "OK" : "FAILED");
  return ok ? 0 : 1;
}
