#include "core/self_registration.h"

#include <cstring>

#include "platform/win/registry.h"
#include "platform/win/running_objects.h"
#include "ui/prompts.h"

namespace corvid::core {

namespace {

win::LONG SetText(win::HKEY key, const char* name, const std::string& text) {
  // REG_SZ with its terminating zero, as the client reads it.
  return win::RegSetValueEx(key, name, 0, win::REG_SZ, reinterpret_cast<const win::BYTE*>(text.c_str()),
                            static_cast<win::DWORD>(text.size() + 1));
}

bool ClientIsRunning() {
  win::CLSID clsid{};
  if (win::CLSIDFromProgID("Outlook.Application", &clsid) != win::S_OK) return false;
  win::IUnknown* running = nullptr;
  if (win::GetActiveObject(clsid, nullptr, &running) != win::S_OK || running == nullptr) return false;
  running->Release();
  return true;
}

}  // namespace

std::string ExtensionEntryText(std::string_view library_file) {
  return "4.0;" + std::string(library_file) + ";1;11100111111101;0011110";
}

bool RegisterExtension(win::HWND owner, bool install, const std::string& library_file) {
  if (library_file.empty()) return false;
  win::HKEY key = nullptr;
  if (win::RegCreateKeyEx(win::HKEY_LOCAL_MACHINE, kExtensionsKey, 0, nullptr, 0, win::KEY_ALL_ACCESS, nullptr,
                          &key, nullptr) != win::ERROR_SUCCESS) {
    return false;
  }
  bool done = SetText(key, kOutlookSetupExtensionName, kOutlookSetupExtensionText) == win::ERROR_SUCCESS;
  if (done) {
    done = install ? SetText(key, kExtensionValueName, ExtensionEntryText(library_file)) == win::ERROR_SUCCESS
                   : win::RegDeleteValue(key, kExtensionValueName) == win::ERROR_SUCCESS;
  }
  win::RegCloseKey(key);
  if (done && ClientIsRunning()) {
    const std::string text = std::string("Corvid Outlook Extension was successfully ") +
                             (install ? "installed" : "uninstalled") +
                             ".\r\n\r\nA running copy of Outlook was detected,\r\nyou need to restart Outlook "
                             "for the changes to take effect.";
    ui::MessageBox(owner, text.c_str(), "Outlook is running", ui::MB_ICONINFORMATION);
  }
  return done;
}

bool RunDllAsksInstall(const char* command_line) {
  if (command_line == nullptr) return false;
  if (command_line[0] == '1') return true;
  std::string upper(command_line);
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return upper.find("TRUE") != std::string::npos;
}

}  // namespace corvid::core
