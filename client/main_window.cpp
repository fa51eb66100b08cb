#include "client/main_window.h"

#include <atomic>
#include <cstring>
#include <stdexcept>

#include "platform/win/registry.h"
#include "platform/win/running_objects.h"
#include "platform/win/ui_thread.h"

namespace corvid::client {
using namespace mapi;

namespace {

// The application object: only its identity matters to other programs.
class TApplication final : public IUnknown {
 public:
  HRESULT QueryInterface(REFIID riid, void** out) override {
    if (out == nullptr) return E_INVALIDARG;
    if (!IsEqualGUID(riid, IID_IUnknown)) {
      *out = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    *out = this;
    return S_OK;
  }
  ULONG AddRef() override { return ++references_; }
  ULONG Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }

 private:
  std::atomic<ULONG> references_{1};
};

win::LRESULT MainWindowProc(win::HWND window, win::UINT message, win::WPARAM wparam, win::LPARAM lparam) {
  if (message == win::WM_COMMAND) {
    auto* owner = reinterpret_cast<TClientWindow*>(win::GetWindowLongPtr(window, win::GWLP_USERDATA));
    if (owner != nullptr && owner->OnCommand) owner->OnCommand(static_cast<win::UINT>(wparam & 0xFFFF));
    return 0;
  }
  return win::DefWindowProc(window, message, wparam, lparam);
}

void EnsureProgId() {
  const std::string key = std::string("Software\\Classes\\") + kApplicationProgId + "\\CLSID";
  win::HKEY handle = nullptr;
  if (win::RegCreateKeyEx(win::HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, win::KEY_ALL_ACCESS, nullptr, &handle,
                          nullptr) != win::ERROR_SUCCESS) {
    return;
  }
  win::DWORD size = 0;
  if (win::RegQueryValueEx(handle, "", nullptr, nullptr, nullptr, &size) != win::ERROR_SUCCESS) {
    win::RegSetValueEx(handle, "", 0, win::REG_SZ, reinterpret_cast<const win::BYTE*>(kApplicationClsid),
                       static_cast<win::DWORD>(std::strlen(kApplicationClsid) + 1));
  }
  win::RegCloseKey(handle);
}

}  // namespace

TClientWindow::TClientWindow() {
  try {
    EnsureProgId();
  } catch (const std::exception&) {
    // No machine root to write to: the class is only not findable by name.
  }
  win::WNDCLASS window_class{};
  window_class.lpfnWndProc = MainWindowProc;
  window_class.lpszClassName = kMainWindowClass;
  class_registered_ = win::RegisterClass(&window_class) != 0;
  window_ = win::CreateWindow(kMainWindowClass, "Corvid", win::WS_OVERLAPPED | win::WS_CAPTION | win::WS_VISIBLE,
                              win::CW_USEDEFAULT, win::CW_USEDEFAULT, 800, 600, nullptr, nullptr, nullptr, nullptr);
  if (window_ == nullptr) {
    if (class_registered_) win::UnregisterClass(kMainWindowClass, nullptr);
    throw std::runtime_error("Cannot create the main window");
  }
  win::SetWindowLongPtr(window_, win::GWLP_USERDATA, reinterpret_cast<win::LONG_PTR>(this));
  application_ = new TApplication;
  CLSID clsid{};
  if (SUCCEEDED(win::CLSIDFromString(kApplicationClsid, &clsid))) {
    registered_ = SUCCEEDED(win::RegisterActiveObject(application_, clsid, win::ACTIVEOBJECT_STRONG, &registration_));
  }
}

TClientWindow::~TClientWindow() {
  if (registered_) win::RevokeActiveObject(registration_, nullptr);
  application_->Release();
  PumpMessages();
  win::SetWindowLongPtr(window_, win::GWLP_USERDATA, 0);
  win::DestroyWindow(window_);
  if (class_registered_) win::UnregisterClass(kMainWindowClass, nullptr);
}

void TClientWindow::PumpMessages() {
  win::MSG message{};
  while (win::PeekMessage(&message, nullptr, 0, 0, win::PM_REMOVE)) {
    if (message.message == win::WM_QUIT) break;
    win::TranslateMessage(&message);
    win::DispatchMessage(&message);
  }
}

}  // namespace corvid::client
