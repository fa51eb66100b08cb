// Registry file import on hostile files (either format, UTF-8 or UTF-16 with
// a byte-order mark). A file that is refused must change nothing; a file
// that goes in must export to text that, imported into a fresh registry,
// gives back the same tree.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/win/memory_registry.h"
#include "platform/win/reg_file.h"

using namespace corvid::win;

namespace {

// Each hive as a registry file of its own; empty when one cannot be exported.
std::vector<std::string> ExportAll(TRegistry& registry) {
  std::vector<std::string> files;
  for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
    std::string text;
    std::string message;
    if (ExportRegistryKey(registry, root, "", &text, &message) != ERROR_SUCCESS) return {};
    files.push_back(std::move(text));
  }
  return files;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view content(reinterpret_cast<const char*>(data), size);
  TMemoryRegistry registry;
  std::string message;
  const LONG result = ImportRegistryFile(registry, content, &message);
  const int changes = registry.ChangeCount(HKEY_LOCAL_MACHINE) + registry.ChangeCount(HKEY_CURRENT_USER);
  // The file is tried on a scratch registry with the same rules first, so
  // whatever this one would refuse (a malformed line, a name no key may
  // have) is found before anything changes.
  if (result != ERROR_SUCCESS) {
    if (changes != 0 || message.empty()) __builtin_trap();
    return 0;
  }

  const std::vector<std::string> exported = ExportAll(registry);
  if (exported.empty()) __builtin_trap();
  TMemoryRegistry again;
  for (const std::string& file : exported) {
    if (ImportRegistryFile(again, file, &message) != ERROR_SUCCESS) __builtin_trap();
  }
  if (ExportAll(again) != exported) __builtin_trap();
  return 0;
}
