// The benchmarks' shared corpus: four named workloads of up to 4 MiB each,
// found on the machine at run time, with a generated stand-in where nothing
// fits: English text, C/C++ source, an executable, and incompressible random
// bytes. Every benchmark that races a peer over "the corpus" takes it from
// here, so their figures stay comparable.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <system_error>
#include <vector>

namespace corvid::bench {

using Bytes = std::vector<uint8_t>;

inline constexpr size_t kWorkloadBytes = 4u << 20;

struct Workload {
  std::string name;    // short, for the table
  std::string source;  // where the bytes came from
  Bytes data;
};

namespace corpus_detail {

namespace fs = std::filesystem;

inline void AppendFile(const fs::path& path, Bytes& out, size_t limit) {
  std::ifstream file(path, std::ios::binary);
  char buf[65536];
  while (out.size() < limit && file.read(buf, sizeof(buf)).gcount() > 0)
    out.insert(out.end(), buf, buf + std::min<size_t>(file.gcount(), limit - out.size()));
}

// Regular files below `roots` whose names end in one of `suffixes`, in a fixed order.
inline std::vector<fs::path> FindFiles(const std::vector<std::string>& roots,
                                       const std::vector<std::string>& suffixes) {
  std::vector<fs::path> found;
  for (const auto& root : roots) {
    std::error_code ec;
    if (!fs::exists(root, ec)) continue;
    for (auto it = fs::recursive_directory_iterator(root, fs::directory_options::skip_permission_denied, ec);
         it != fs::recursive_directory_iterator(); it.increment(ec)) {
      if (ec || !it->is_regular_file(ec)) continue;
      std::string name = it->path().filename().string();
      for (const auto& suffix : suffixes)
        if (name.size() >= suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
          found.push_back(it->path());
          break;
        }
    }
  }
  std::sort(found.begin(), found.end());
  return found;
}

inline Bytes Gather(const std::vector<fs::path>& files) {
  Bytes out;
  for (const auto& f : files) {
    if (out.size() >= kWorkloadBytes) break;
    AppendFile(f, out, kWorkloadBytes);
  }
  return out;
}

inline Bytes GeneratedText(uint32_t seed) {
  static const char* const kWords[] = {"the ", "of ", "and ", "a ", "to ", "in ", "is ", "you ", "that ", "it ",
                                       "he ", "was ", "for ", "on ", "are ", "as ", "with ", "his ", "they ",
                                       "archive ", "message ", "folder ", "attachment ", "between ", "however, ",
                                       "received ", "important ", "question. ", "answer.\n", "Perhaps "};
  std::mt19937 rng(seed);
  std::geometric_distribution<int> pick(0.12);
  Bytes out;
  while (out.size() < kWorkloadBytes) {
    const char* w = kWords[pick(rng) % 30];
    out.insert(out.end(), w, w + std::strlen(w));
  }
  out.resize(kWorkloadBytes);
  return out;
}

}  // namespace corpus_detail

// `engine_dir` is the engine's source folder (zip/), whose sources lead the
// source workload.
inline std::vector<Workload> BuildWorkloads(const std::string& engine_dir) {
  using namespace corpus_detail;
  std::vector<Workload> w;

  Bytes text = Gather(FindFiles({"/usr/share/common-licenses", "/usr/share/vim"},
                                {".txt", "GPL-3", "GPL-2", "LGPL-2.1", "Apache-2.0"}));
  if (text.size() >= kWorkloadBytes / 2)
    w.push_back({"text", "licenses + editor manuals", std::move(text)});
  else
    w.push_back({"text", "generated words", GeneratedText(1)});

  auto sources = FindFiles({engine_dir}, {".h", ".cpp"});
  auto headers = FindFiles({"/usr/include/c++", "/usr/include"}, {".h", ".hpp", ".tcc"});
  sources.insert(sources.end(), headers.begin(), headers.end());
  Bytes code = Gather(sources);
  if (code.size() >= kWorkloadBytes / 2) w.push_back({"source", "engine sources + system headers", std::move(code)});

  for (const char* exe : {"/usr/bin/cmake", "/usr/bin/gdb", "/usr/lib/x86_64-linux-gnu/libLLVM-14.so.1",
                          "/usr/bin/python3"}) {
    std::error_code ec;
    if (fs::file_size(exe, ec) < kWorkloadBytes || ec) continue;
    Bytes bin;
    AppendFile(exe, bin, kWorkloadBytes);
    w.push_back({"executable", exe, std::move(bin)});
    break;
  }

  Bytes random(kWorkloadBytes);
  std::mt19937_64 rng(42);
  for (size_t i = 0; i < random.size(); i += 8) {
    uint64_t v = rng();
    std::memcpy(&random[i], &v, 8);
  }
  w.push_back({"random", "mt19937_64", std::move(random)});
  return w;
}

}  // namespace corvid::bench
