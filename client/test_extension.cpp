// A small extension for the client's tests. Each call of its entry point
// makes a new object; every call the client makes is appended to the file
// $CORVID_TEST_EXTENSION_LOG, one line each. It takes part in every context
// but 1 and 3, holds its callback while it lives, marks the message on
// OnSubmit and renames the first attachment on OnWriteComplete, so a test
// sees that both events reached the message in the right order.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/exchange/exchange_interfaces.h"
#include "platform/win/module.h"
#include "platform/win/ui_thread.h"

namespace {
using namespace corvid;
using namespace corvid::mapi;
using namespace corvid::exchange;

int live_objects = 0;

void Log(const std::string& line) {
  const char* path = std::getenv("CORVID_TEST_EXTENSION_LOG");
  if (path == nullptr || *path == '\0') return;
  if (FILE* file = std::fopen(path, "a")) {
    std::fprintf(file, "%s\n", line.c_str());
    std::fclose(file);
  }
}

// A property the client has no reason to touch: set on OnSubmit.
constexpr ULONG kMarkTag = 0x6701001E;

class TTestExtension final : public IExchExt, public IExchExtMessageEvents {
 public:
  TTestExtension() { ++live_objects; }

  HRESULT QueryInterface(REFIID riid, void** out) override {
    if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IExchExt)) {
      *out = static_cast<IExchExt*>(this);
    } else if (IsEqualGUID(riid, IID_IExchExtMessageEvents)) {
      *out = static_cast<IExchExtMessageEvents*>(this);
    } else {
      *out = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG AddRef() override { return ++references_; }
  ULONG Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }

  HRESULT Install(LPEXCHEXTCALLBACK callback, ULONG context, ULONG flags) override {
    std::string line = "Install " + std::to_string(context);
    if (context == EECONTEXT_VIEWER) {
      HWND window = nullptr;
      char name[64] = "";
      if (callback->GetWindow(&window) == S_OK) win::GetClassName(window, name, sizeof name);
      line += std::string(" window=") + name;
    }
    Log(line);
    if (context == EECONTEXT_SESSION || context == EECONTEXT_REMOTEVIEWER) return S_FALSE;
    callback->AddRef();
    callback_ = callback;
    return S_OK;
  }

  HRESULT OnRead(LPEXCHEXTCALLBACK) override { return S_FALSE; }
  HRESULT OnReadComplete(LPEXCHEXTCALLBACK, ULONG) override { return S_FALSE; }
  HRESULT OnWrite(LPEXCHEXTCALLBACK) override { return S_FALSE; }
  HRESULT OnWriteComplete(LPEXCHEXTCALLBACK callback, ULONG) override {
    LPMDB store = nullptr;
    LPMAPIPROP object = nullptr;
    std::string line = "OnWriteComplete";
    if (callback->GetObject(&store, &object) == S_OK && object != nullptr) {
      IMessage* message = nullptr;
      if (object->QueryInterface(IID_IMessage, reinterpret_cast<void**>(&message)) == S_OK) {
        IAttach* attach = nullptr;
        if (message->OpenAttach(0, nullptr, MAPI_MODIFY, &attach) == S_OK) {
          SPropValue name{};
          name.ulPropTag = PR_ATTACH_LONG_FILENAME;
          name.Value.lpszA = const_cast<char*>("checked.txt");
          if (attach->SetProps(1, &name, nullptr) == S_OK && attach->SaveChanges(0) == S_OK &&
              message->SaveChanges(KEEP_OPEN_READWRITE) == S_OK) {
            line += " renamed";
          }
          attach->Release();
        }
        message->Release();
      }
    }
    if (object != nullptr) object->Release();
    if (store != nullptr) store->Release();
    Log(line);
    return S_FALSE;
  }
  HRESULT OnCheckNames(LPEXCHEXTCALLBACK) override { return S_FALSE; }
  HRESULT OnCheckNamesComplete(LPEXCHEXTCALLBACK, ULONG) override { return S_FALSE; }
  HRESULT OnSubmit(LPEXCHEXTCALLBACK callback) override {
    LPMDB store = nullptr;
    LPMAPIPROP object = nullptr;
    std::string line = "OnSubmit";
    if (callback->GetObject(&store, &object) == S_OK && object != nullptr && store != nullptr) {
      SPropValue mark{};
      mark.ulPropTag = kMarkTag;
      mark.Value.lpszA = const_cast<char*>("submitted");
      if (object->SetProps(1, &mark, nullptr) == S_OK) line += " marked";
    }
    if (object != nullptr) object->Release();
    if (store != nullptr) store->Release();
    Log(line);
    // Lets a test see the client stop when an extension fails the submit.
    if (const char* refuse = std::getenv("CORVID_TEST_EXTENSION_REFUSE"); refuse != nullptr && *refuse == '1') {
      return E_FAIL;
    }
    return S_FALSE;
  }
  void OnSubmitComplete(LPEXCHEXTCALLBACK, ULONG) override { Log("OnSubmitComplete"); }

 private:
  ~TTestExtension() {
    if (callback_ != nullptr) callback_->Release();
    --live_objects;
    Log("Destroy");
  }

  ULONG references_ = 1;
  LPEXCHEXTCALLBACK callback_ = nullptr;
};

}  // namespace

extern "C" __attribute__((visibility("default"))) IExchExt* TestExtensionEntry() { return new TTestExtension; }
CORVID_EXPORT_ORDINAL(1, TestExtensionEntry);

extern "C" __attribute__((visibility("default"))) int TestExtensionLiveObjects() { return live_objects; }
