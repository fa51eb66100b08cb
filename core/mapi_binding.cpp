#include "core/mapi_binding.h"

#include <memory>

namespace corvid::core {

TMapiBinding::TMapiBinding(std::string_view file_name) : module_(win::LoadLibrary(file_name)) {
  if (module_ == nullptr) return;
  for (int i = 0; i < mapi::kMapi32ProcedureCount; ++i) {
    procedures_.Set(i, reinterpret_cast<mapi::TMapiProc>(
                           win::GetProcAddress(module_, mapi::kMapi32ProcedureNames[i])));
  }
}

TMapiBinding::~TMapiBinding() {
  // Nobody may reach the addresses once the library is gone.
  if (&Mapi() == &procedures_) mapi::InstallMapi(nullptr);
  procedures_.Clear();
  if (module_ != nullptr) win::FreeLibrary(module_);
}

namespace {

std::unique_ptr<TMapiBinding>& ProcessBinding() {
  static std::unique_ptr<TMapiBinding> binding;
  return binding;
}

}  // namespace

void BindMapi() {
  std::unique_ptr<TMapiBinding>& binding = ProcessBinding();
  if (binding != nullptr) return;
  binding = std::make_unique<TMapiBinding>();
  mapi::InstallMapi(&binding->Procedures());
}

void UnbindMapi() { ProcessBinding().reset(); }

}  // namespace corvid::core
