// The exports of corvina.dll, the only symbols the library shows
// (corvina.map): the mail client's entry point and the two registration
// entries, each also under its ordinal.
#include "core/extension.h"
#include "core/mapi_binding.h"
#include "core/self_registration.h"
#include "platform/win/module.h"

using corvid::win::BOOL;
using corvid::win::HINSTANCE;
using corvid::win::HWND;

extern "C" {

__attribute__((visibility("default"))) corvid::exchange::IExchExt* InitExtensionLibrary(void) {
  try {
    // MAPI32.DLL is bound at the first entry call, before any object can
    // call it; BindMapi does nothing once bound.
    corvid::core::BindMapi();
    return corvid::core::InitExtension(corvid::core::OwnLibraryFile());
  } catch (...) {
    return nullptr;
  }
}

// -1 (all bits set) for success, 0 for failure.
__attribute__((visibility("default"))) BOOL Corvid_Install(HWND window, BOOL install) {
  try {
    return corvid::core::RegisterExtension(window, install != 0, corvid::core::OwnLibraryFile()) ? -1 : 0;
  } catch (...) {
    return 0;
  }
}

__attribute__((visibility("default"))) void Install_RunDLL(HWND window, HINSTANCE, char* command_line, int) {
  Corvid_Install(window, corvid::core::RunDllAsksInstall(command_line) ? -1 : 0);
}

}  // extern "C"

CORVID_EXPORT_ORDINAL(1, InitExtensionLibrary);
CORVID_EXPORT_ORDINAL(2, Install_RunDLL);
CORVID_EXPORT_ORDINAL(3, Corvid_Install);

namespace {

// The binding's library goes with this one.
__attribute__((destructor)) void UnloadLibrary() { corvid::core::UnbindMapi(); }

}  // namespace
