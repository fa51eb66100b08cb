// Replays a fuzz target's corpus without libFuzzer: every file below the
// folders given on the command line goes through LLVMFuzzerTestOneInput once.
// A folder that is missing or holds no input fails the replay: a test that
// ran nothing must not read as passed.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  size_t replayed = 0;
  for (int i = 1; i < argc; ++i) {
    std::filesystem::path root = argv[i];
    if (!std::filesystem::is_directory(root)) {
      std::fprintf(stderr, "no corpus folder %s\n", root.c_str());
      return 1;
    }
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
      if (!entry.is_regular_file()) continue;
      std::ifstream file(entry.path(), std::ios::binary);
      std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)),
                                 std::istreambuf_iterator<char>());
      LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
      ++replayed;
    }
  }
  std::printf("replayed %zu inputs\n", replayed);
  if (replayed == 0) {
    std::fprintf(stderr, "the corpus holds no input\n");
    return 1;
  }
  return 0;
}
