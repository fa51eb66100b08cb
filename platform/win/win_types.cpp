#include "platform/win/win_types.h"

namespace corvid::win {
namespace {
thread_local DWORD last_error = 0;
}  // namespace

DWORD GetLastError() { return last_error; }
void SetLastError(DWORD error) { last_error = error; }

}  // namespace corvid::win
