#include "platform/mapi/mapi_procedures.h"

#include <atomic>

namespace corvid::mapi {

namespace {

// Looked up once at compile time; a name missing from the list fails here.
constexpr int Index(std::string_view name) {
  const int index = MapiProcedureIndex(name);
  return index >= 0 ? index : throw "not a MAPI32.DLL procedure";
}
constexpr int kMAPIInitialize = Index("MAPIInitialize");
constexpr int kMAPIUninitialize = Index("MAPIUninitialize");
constexpr int kMAPIAllocateBuffer = Index("MAPIAllocateBuffer");
constexpr int kMAPIFreeBuffer = Index("MAPIFreeBuffer");
constexpr int kHrQueryAllRows = Index("HrQueryAllRows");
constexpr int kFreeProws = Index("FreeProws");
constexpr int kFreePadrlist = Index("FreePadrlist");
constexpr int kHrGetOneProp = Index("HrGetOneProp");
constexpr int kHrSetOneProp = Index("HrSetOneProp");

const TMapiProcedures kNothingBound;
std::atomic<const TMapiProcedures*> g_installed{nullptr};

}  // namespace

void TMapiProcedures::Set(int index, TMapiProc address) {
  if (index >= 0 && index < kMapi32ProcedureCount) procs_[index] = address;
}

void TMapiProcedures::Clear() { procs_.fill(nullptr); }

TMapiProc TMapiProcedures::Address(int index) const {
  return index >= 0 && index < kMapi32ProcedureCount ? procs_[index] : nullptr;
}

bool TMapiProcedures::Bound(std::string_view name) const {
  return Address(MapiProcedureIndex(name)) != nullptr;
}

bool TMapiProcedures::Bound(std::initializer_list<std::string_view> names) const {
  for (std::string_view name : names) {
    if (!Bound(name)) return false;
  }
  return true;
}

int TMapiProcedures::BoundCount() const {
  int count = 0;
  for (TMapiProc proc : procs_) count += proc != nullptr ? 1 : 0;
  return count;
}

HRESULT TMapiProcedures::MAPIInitialize(LPVOID lpMapiInit) const {
  auto proc = Typed<LPMAPIINITIALIZE>(kMAPIInitialize);
  return proc != nullptr ? proc(lpMapiInit) : kMapiNotBound;
}

void TMapiProcedures::MAPIUninitialize() const {
  if (auto proc = Typed<LPMAPIUNINITIALIZE>(kMAPIUninitialize)) proc();
}

SCODE TMapiProcedures::MAPIAllocateBuffer(ULONG cbSize, LPVOID* lppBuffer) const {
  auto proc = Typed<LPALLOCATEBUFFER>(kMAPIAllocateBuffer);
  if (proc != nullptr) return proc(cbSize, lppBuffer);
  if (lppBuffer != nullptr) *lppBuffer = nullptr;
  return kMapiNotBound;
}

ULONG TMapiProcedures::MAPIFreeBuffer(LPVOID lpBuffer) const {
  auto proc = Typed<LPFREEBUFFER>(kMAPIFreeBuffer);
  return proc != nullptr ? proc(lpBuffer) : 0;
}

HRESULT TMapiProcedures::HrQueryAllRows(LPMAPITABLE lpTable, LPSPropTagArray lpPropTags,
                                        LPSRestriction lpRestriction, LPSSortOrderSet lpSortOrderSet, LONG crowsMax,
                                        LPSRowSet* lppRows) const {
  auto proc = Typed<LPHRQUERYALLROWS>(kHrQueryAllRows);
  if (proc != nullptr) return proc(lpTable, lpPropTags, lpRestriction, lpSortOrderSet, crowsMax, lppRows);
  if (lppRows != nullptr) *lppRows = nullptr;
  return kMapiNotBound;
}

void TMapiProcedures::FreeProws(LPSRowSet lpRows) const {
  if (auto proc = Typed<LPFREEPROWS>(kFreeProws)) proc(lpRows);
}

void TMapiProcedures::FreePadrlist(LPADRLIST lpAdrlist) const {
  if (auto proc = Typed<LPFREEPADRLIST>(kFreePadrlist)) proc(lpAdrlist);
}

HRESULT TMapiProcedures::HrGetOneProp(LPMAPIPROP lpMapiProp, ULONG ulPropTag, LPSPropValue* lppProp) const {
  auto proc = Typed<LPHRGETONEPROP>(kHrGetOneProp);
  if (proc != nullptr) return proc(lpMapiProp, ulPropTag, lppProp);
  if (lppProp != nullptr) *lppProp = nullptr;
  return kMapiNotBound;
}

HRESULT TMapiProcedures::HrSetOneProp(LPMAPIPROP lpMapiProp, LPSPropValue lpProp) const {
  auto proc = Typed<LPHRSETONEPROP>(kHrSetOneProp);
  return proc != nullptr ? proc(lpMapiProp, lpProp) : kMapiNotBound;
}

const TMapiProcedures& Mapi() {
  const TMapiProcedures* installed = g_installed.load(std::memory_order_acquire);
  return installed != nullptr ? *installed : kNothingBound;
}

const TMapiProcedures* InstallMapi(const TMapiProcedures* procedures) {
  return g_installed.exchange(procedures, std::memory_order_acq_rel);
}

}  // namespace corvid::mapi
