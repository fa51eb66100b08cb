// For tests: binds a procedure table to the message store linked into the
// test binary, which stands in there for the loaded MAPI32.DLL. Every
// procedure the system calls is bound; the rest stay unbound, as a library
// without them would leave them.
#pragma once

#include "compress/mapi_procedures.h"
#include "platform/mapi/mapi32.h"

namespace corvid::compress {

inline void BindLinkedStore(TMapiProcedures& procedures) {
  auto bind = [&](const char* name, auto address) {
    procedures.Set(MapiProcedureIndex(name), reinterpret_cast<TMapiProc>(address));
  };
  bind("MAPIInitialize", &mapi::MAPIInitialize);
  bind("MAPIUninitialize", &mapi::MAPIUninitialize);
  bind("MAPIAllocateBuffer", &mapi::MAPIAllocateBuffer);
  bind("MAPIAllocateMore", &mapi::MAPIAllocateMore);
  bind("MAPIFreeBuffer", &mapi::MAPIFreeBuffer);
  bind("HrQueryAllRows", &mapi::HrQueryAllRows);
  bind("FreeProws", &mapi::FreeProws);
  bind("FreePadrlist", &mapi::FreePadrlist);
  bind("HrGetOneProp", &mapi::HrGetOneProp);
  bind("HrSetOneProp", &mapi::HrSetOneProp);
}

}  // namespace corvid::compress
