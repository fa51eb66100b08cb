#include "client/options.h"

#include <ostream>

#include "client/running_client.h"
#include "platform/win/property_sheet.h"

namespace corvid::client {

namespace {

using exchange::IExchExtPropertySheets;

constexpr int kExitOk = 0, kExitFailed = 1, kExitUsage = 2;

// The client's own page: nothing of the extensions' on it.
win::INT_PTR GeneralPageProc(win::HWND, win::UINT message, win::WPARAM, win::LPARAM) {
  return message == win::WM_INITDIALOG ? 1 : 0;
}

}  // namespace

int RunOptions(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  for (const std::string& arg : args) {
    if (arg == "options") continue;
    err << "corvid options: unknown argument " << arg << "\nusage: corvid options\n";
    return kExitUsage;
  }
  try {
    TRunningClient client;
    std::vector<IExchExtPropertySheets*> sheets;
    client.Host().OnInstalled = [&](mapi::ULONG context, exchange::IExchExt* extension, TClientCallback*) {
      void* found = nullptr;
      if (context == exchange::EECONTEXT_PROPERTYSHEETS &&
          extension->QueryInterface(exchange::IID_IExchExtPropertySheets, &found) == mapi::S_OK && found)
        sheets.push_back(static_cast<IExchExtPropertySheets*>(found));
    };
    client.Start(err);
    client.Host().OnInstalled = nullptr;

    std::vector<win::PROPSHEETPAGE> pages(1);
    pages[0] = {};
    pages[0].dwSize = sizeof(win::PROPSHEETPAGE);
    pages[0].pszTitle = "General";
    pages[0].pfnDlgProc = &GeneralPageProc;
    struct THanded {
      IExchExtPropertySheets* sheets;
      size_t first;
      mapi::ULONG count;
    };
    std::vector<THanded> handed;
    TClientCallback* callback = client.Host().CallbackFor(exchange::EECONTEXT_PROPERTYSHEETS);
    for (IExchExtPropertySheets* s : sheets) {
      const mapi::ULONG most = s->GetMaxPageCount(exchange::EEPS_TOOLSOPTIONS);
      if (most == 0) continue;
      const size_t first = pages.size();
      pages.resize(first + most);
      mapi::ULONG count = 0;
      if (s->GetPages(callback, exchange::EEPS_TOOLSOPTIONS, &pages[first], &count) != mapi::S_OK) count = 0;
      pages.resize(first + count);
      if (count > 0) handed.push_back({s, first, count});
    }
    int status = kExitFailed;
    if (handed.empty()) {
      err << "corvid options: no extension offers an options page (register one with: rundll32 "
          << "corvina.dll,Install_RunDLL 1)\n";
    } else {
      win::PROPSHEETHEADER header{};
      header.dwSize = sizeof header;
      header.hwndParent = client.Window().Handle();
      header.pszCaption = "Options";
      header.nPages = static_cast<win::UINT>(pages.size());
      header.ppsp = pages.data();
      const win::INT_PTR result = win::PropertySheet(&header);
      if (result < 0) {
        err << "corvid options: the options cannot be shown here\n";
      } else {
        out << (result == 1 ? "Options applied.\n" : "Options closed.\n");
        status = result == 1 ? kExitOk : kExitFailed;
      }
    }
    for (const THanded& h : handed) h.sheets->FreePages(&pages[h.first], exchange::EEPS_TOOLSOPTIONS, h.count);
    for (IExchExtPropertySheets* s : sheets) s->Release();
    return status;
  } catch (const std::exception& error) {
    err << "corvid options: " << error.what() << "\n";
    return kExitFailed;
  }
}

}  // namespace corvid::client
