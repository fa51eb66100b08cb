// What settings cost the extension: loading and saving the whole catalogue
// through the registry's SQLite hives (done at start, at every Apply and at
// exit), and the statistics counters' Increment (done per message). The
// in-memory registry runs the same workload as the baseline, so the ratio is
// the price of the real hives.
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "platform/win/memory_registry.h"
#include "platform/win/registry.h"
#include "settings/catalogue.h"

using namespace corvid;
using Clock = std::chrono::steady_clock;

namespace {

double Milliseconds(Clock::duration duration) { return std::chrono::duration<double, std::milli>(duration).count(); }

// Average of `rounds` of one save to HKLM and HKCU plus one load, as the
// extension does, in milliseconds.
double LoadAndSave(int rounds) {
  settings::TOptionsContainer options;
  settings::ReadAll(options, "/opt/corvid");
  options.SaveToRegistry(win::HKEY_LOCAL_MACHINE, settings::kSettingsKey);  // first save creates the keys
  options.SaveToRegistry(win::HKEY_CURRENT_USER, settings::kSettingsKey);
  const auto start = Clock::now();
  for (int round = 0; round < rounds; ++round) {
    options.LoadFromRegistry(win::HKEY_CURRENT_USER, settings::kSettingsKey);
    settings::Increment(options, settings::kNumMessages);
    options.SaveToRegistry(win::HKEY_LOCAL_MACHINE, settings::kSettingsKey);
    options.SaveToRegistry(win::HKEY_CURRENT_USER, settings::kSettingsKey);
  }
  if (options.Count() != 33) std::fprintf(stderr, "unexpected entry count %d\n", options.Count());
  return Milliseconds(Clock::now() - start) / rounds;
}

}  // namespace

int main() {
  char pattern[] = "/tmp/corvid-settings-bench-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) return 1;
  ::setenv("CORVID_HOME", pattern, 1);

  constexpr int kRounds = 50;
  const double sqlite_ms = LoadAndSave(kRounds);
  double memory_ms;
  {
    win::TRegistryOverride route(std::make_shared<win::TMemoryRegistry>());
    memory_ms = LoadAndSave(kRounds);
  }

  constexpr int kIncrements = 10000;
  settings::TOptionsContainer options;
  settings::ReadAll(options);
  const auto start = Clock::now();
  for (int i = 0; i < kIncrements; ++i) settings::Increment(options, settings::kUnZippedFilesSize, 1000);
  const double increment_ms = Milliseconds(Clock::now() - start);

  std::printf("catalogue: %zu settings, %d saved\n", settings::Catalogue().size(), options.Count());
  std::printf("load HKCU + save HKLM and HKCU, SQLite hives:   %8.3f ms  (mean of %d)\n", sqlite_ms, kRounds);
  std::printf("load HKCU + save HKLM and HKCU, memory registry: %8.3f ms  (baseline)\n", memory_ms);
  std::printf("ratio SQLite / memory:                           %8.1f x\n", sqlite_ms / memory_ms);
  std::printf("%d Increment calls:                           %8.3f ms  (%.3f us each)\n", kIncrements, increment_ms,
              increment_ms * 1000 / kIncrements);

  std::error_code ignored;
  std::filesystem::remove_all(pattern, ignored);
  return 0;
}
