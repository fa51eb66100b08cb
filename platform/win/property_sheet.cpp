#include "platform/win/property_sheet.h"

#include <atomic>

#include "platform/win/ui_thread.h"

namespace corvid::win {

namespace {
constexpr DWORD kErrorNotSupported = 50;  // ERROR_NOT_SUPPORTED
std::atomic<TPropertySheetRunner> g_runner{nullptr};
}  // namespace

INT_PTR PropertySheet(const PROPSHEETHEADER* header) {
  const TPropertySheetRunner runner = g_runner.load();
  if (!runner || !header) {
    SetLastError(kErrorNotSupported);
    return -1;
  }
  return runner(header);
}

void SetPropertySheetRunner(TPropertySheetRunner runner) { g_runner.store(runner); }

}  // namespace corvid::win
