// The procedures of MAPI32.DLL as the extension bound them: one table of the
// 31 names of platform/mapi/mapi32.h, each either an address in the loaded
// library or unbound, and the process's current table, Mapi().
//
// The table lives with the MAPI declarations, below the binding that fills
// it (core/mapi_binding.h), so that the pipelines of compress/ and
// decompress/ reach the bound procedures without depending on the extension
// core. It is not part of MAPI32.DLL and nothing here loads a library: the
// table is plain data that its owner fills.
//
// Calling an unbound procedure must not happen, and the operation that needs
// it does nothing. Two guards make that hard to get wrong:
// - A caller whose operation needs some procedures checks them up front with
//   Bound(...) and, when one is missing, does nothing (a predicate gives its
//   "no objection" answer). That keeps "not bound" apart from a MAPI failure,
//   which a calling operation may report.
// - The wrappers below never call through a null pointer: an unbound
//   procedure answers kMapiNotBound (a failure code), sets out-parameters to
//   null, or does nothing, so a caller that forgot the check takes its
//   ordinary failure path instead of crashing.
//
// Threads: the table is filled while the extension library loads, before
// any thread of the system runs, and cleared when it unloads after they
// ended; reading it is safe from any thread.
#pragma once

#include <array>
#include <initializer_list>
#include <string_view>

#include "platform/mapi/mapi32.h"

namespace corvid::mapi {

// What Windows reports for a procedure that a library does not export
// (HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND)); no MAPI call answers it.
inline constexpr HRESULT kMapiNotBound = HResult(0x8007007F);

// Any procedure address; the typed wrappers cast it back.
using TMapiProc = void (*)();

// The position of `name` in kMapi32ProcedureNames, -1 when it is not
// one of them.
constexpr int MapiProcedureIndex(std::string_view name) {
  for (int i = 0; i < kMapi32ProcedureCount; ++i) {
    if (name == kMapi32ProcedureNames[i]) return i;
  }
  return -1;
}

class TMapiProcedures {
 public:
  // Every procedure unbound.
  TMapiProcedures() = default;

  // Binds the procedure at `index` (of kMapi32ProcedureNames) to
  // `address`; null unbinds it. An index out of range is ignored.
  void Set(int index, TMapiProc address);
  // Unbinds all.
  void Clear();

  TMapiProc Address(int index) const;
  bool Bound(std::string_view name) const;
  // Whether every named procedure is bound.
  bool Bound(std::initializer_list<std::string_view> names) const;
  int BoundCount() const;

  // The nine procedures the system calls. Unbound: no call is made; HRESULT
  // and SCODE results are kMapiNotBound, pointer out-parameters are set to
  // null, the others do nothing and MAPIFreeBuffer answers 0.
  HRESULT MAPIInitialize(LPVOID lpMapiInit) const;
  void MAPIUninitialize() const;
  SCODE MAPIAllocateBuffer(ULONG cbSize, LPVOID* lppBuffer) const;
  ULONG MAPIFreeBuffer(LPVOID lpBuffer) const;
  HRESULT HrQueryAllRows(LPMAPITABLE lpTable, LPSPropTagArray lpPropTags,
                               LPSRestriction lpRestriction, LPSSortOrderSet lpSortOrderSet,
                               LONG crowsMax, LPSRowSet* lppRows) const;
  void FreeProws(LPSRowSet lpRows) const;
  void FreePadrlist(LPADRLIST lpAdrlist) const;
  HRESULT HrGetOneProp(LPMAPIPROP lpMapiProp, ULONG ulPropTag,
                             LPSPropValue* lppProp) const;
  HRESULT HrSetOneProp(LPMAPIPROP lpMapiProp, LPSPropValue lpProp) const;

 private:
  template <typename F>
  F Typed(int index) const {
    return reinterpret_cast<F>(Address(index));
  }

  std::array<TMapiProc, kMapi32ProcedureCount> procs_{};
};

// The process's table: the one installed by the binding, or an empty one
// (everything unbound) when none is installed.
const TMapiProcedures& Mapi();

// Makes `procedures` the process's table; null goes back to the empty one.
// The caller keeps it alive until it installs another. Returns the table
// installed before, so a test can put it back.
const TMapiProcedures* InstallMapi(const TMapiProcedures* procedures);

}  // namespace corvid::mapi
