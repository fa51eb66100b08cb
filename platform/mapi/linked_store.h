// For tests: binds a procedure table to the message store linked into the
// test binary, which stands in there for the loaded MAPI32.DLL. Every
// procedure the system calls is bound; the rest stay unbound, as a library
// without them would leave them.
#pragma once

#include "platform/mapi/mapi_procedures.h"
#include "platform/mapi/mapi32.h"

namespace corvid::mapi {

inline void BindLinkedStore(TMapiProcedures& procedures) {
  auto bind = [&](const char* name, auto address) {
    procedures.Set(MapiProcedureIndex(name), reinterpret_cast<TMapiProc>(address));
  };
  bind("MAPIInitialize", &MAPIInitialize);
  bind("MAPIUninitialize", &MAPIUninitialize);
  bind("MAPIAllocateBuffer", &MAPIAllocateBuffer);
  bind("MAPIAllocateMore", &MAPIAllocateMore);
  bind("MAPIFreeBuffer", &MAPIFreeBuffer);
  bind("HrQueryAllRows", &HrQueryAllRows);
  bind("FreeProws", &FreeProws);
  bind("FreePadrlist", &FreePadrlist);
  bind("HrGetOneProp", &HrGetOneProp);
  bind("HrSetOneProp", &HrSetOneProp);
}

}  // namespace corvid::mapi
