#include "client/explorer.h"

#include <ostream>

#include "base/log.h"
#include "client/running_client.h"
#include "client/send.h"
#include "client/stop_signals.h"
#include "platform/mapi/entry_id.h"
#include "platform/mapi/error_text.h"
#include "platform/win/menus.h"
#include "platform/win/thread.h"

namespace corvid::client {
namespace {

using namespace mapi;

// The client's own commands, and where the extensions' commands start.
constexpr UINT kToolsAddressBook = 12;
constexpr UINT kToolsCustomize = 13;
constexpr UINT kToolsOptions = 14;
constexpr UINT kFirstExtensionCommand = 1000;

constexpr char kCompressText[] = "Compress attachments";
constexpr char kDecompressText[] = "Decompress attachments";

struct TOptions {
  std::string folder;  // empty: the inbox
  std::vector<std::string> entries;
  bool all = false;
};

// The explorer's menu bar; destroyed with it.
class TMenuBar {
 public:
  TMenuBar() : bar_(win::CreateMenu()) {
    const win::HMENU file = win::CreatePopupMenu();
    win::AppendMenu(file, win::MF_STRING, 1, "Close");
    win::AppendMenu(bar_, win::MF_POPUP, reinterpret_cast<win::UINT_PTR>(file), "File");
    const win::HMENU tools = win::CreatePopupMenu();
    win::AppendMenu(tools, win::MF_STRING, kToolsAddressBook, "Address Book...");
    win::AppendMenu(tools, win::MF_STRING, kToolsCustomize, "Customize Toolbar...");
    win::AppendMenu(tools, win::MF_STRING, kToolsOptions, "Options...");
    win::AppendMenu(bar_, win::MF_POPUP, reinterpret_cast<win::UINT_PTR>(tools), "Tools");
  }
  ~TMenuBar() { win::DestroyMenu(bar_); }
  TMenuBar(const TMenuBar&) = delete;
  TMenuBar& operator=(const TMenuBar&) = delete;
  win::HMENU Handle() const { return bar_; }

  // The command identifier of the item with `text`; 0 when none.
  UINT Find(const std::string& text) const {
    for (int top = 0; top < win::GetMenuItemCount(bar_); ++top) {
      const win::HMENU popup = win::GetSubMenu(bar_, top);
      for (int i = 0; popup != nullptr && i < win::GetMenuItemCount(popup); ++i) {
        if (win::GetMenuString(popup, static_cast<UINT>(i), win::MF_BYPOSITION) == text) {
          return static_cast<UINT>(win::GetMenuItemID(popup, i));
        }
      }
    }
    return 0;
  }
  bool Enabled(UINT command) const {
    const int state = win::GetMenuState(bar_, command, win::MF_BYCOMMAND);
    return state >= 0 && (state & win::MF_GRAYED) == 0;
  }
  void Print(std::ostream& out) const {
    for (int top = 0; top < win::GetMenuItemCount(bar_); ++top) {
      out << win::GetMenuString(bar_, static_cast<UINT>(top), win::MF_BYPOSITION) << "\n";
      const win::HMENU popup = win::GetSubMenu(bar_, top);
      for (int i = 0; popup != nullptr && i < win::GetMenuItemCount(popup); ++i) {
        const int state = win::GetMenuState(popup, static_cast<UINT>(i), win::MF_BYPOSITION);
        if ((state & win::MF_SEPARATOR) != 0) {
          out << "  ----\n";
          continue;
        }
        std::string text = win::GetMenuString(popup, static_cast<UINT>(i), win::MF_BYPOSITION);
        text.resize(std::max<size_t>(text.size(), 28), ' ');
        out << "  " << text << ((state & win::MF_GRAYED) != 0 ? "greyed" : "enabled") << "\n";
      }
    }
  }

 private:
  win::HMENU bar_;
};

// The folder the explorer shows: by display name, or the inbox.
IMAPIFolder* OpenShownFolder(TMapiSession& session, IMsgStore* store, const std::string& name) {
  if (!name.empty()) return session.OpenFolder(store, name);
  ULONG size = 0;
  LPENTRYID id = nullptr;
  if (FAILED(store->GetReceiveFolder(const_cast<char*>("IPM.Note"), 0, &size, &id, nullptr)) || id == nullptr) {
    throw std::runtime_error("The default store has no inbox");
  }
  ULONG type = 0;
  IUnknown* folder = nullptr;
  const HRESULT opened = store->OpenEntry(size, id, &IID_IMAPIFolder, MAPI_MODIFY, &type, &folder);
  session.FreeBuffer(id);
  if (FAILED(opened) || folder == nullptr) throw std::runtime_error("Cannot open the inbox: " + mapi::ErrorText(opened));
  return static_cast<IMAPIFolder*>(folder);
}

std::vector<TClientCallback::TSelectionItem> Selection(TMapiSession& session, IMsgStore* store, IMAPIFolder* folder,
                                                       const TOptions& options) {
  std::vector<TClientCallback::TSelectionItem> items;
  if (options.all) {
    TRef<IMAPITable> table;
    if (FAILED(folder->GetContentsTable(0, table.out()))) throw std::runtime_error("Cannot list the folder");
    SizedSPropTagArray<1> columns = {1, {PR_ENTRYID}};
    LPSRowSet rows = nullptr;
    if (FAILED(session.QueryAllRows(table.get(), columns.get(), &rows))) {
      throw std::runtime_error("Cannot list the folder");
    }
    for (ULONG i = 0; i < rows->cRows; ++i) {
      const SBinary& id = rows->aRow[i].lpProps[0].Value.bin;
      items.push_back({std::string(reinterpret_cast<const char*>(id.lpb), id.cb), MAPI_MESSAGE});
    }
    session.FreeRows(rows);
  }
  for (const std::string& hex : options.entries) {
    const std::optional<std::string> id = BytesFromHex(hex);
    if (!id || id->empty()) throw std::invalid_argument("not an entry identifier: " + hex);
    // Whatever it is (a message, a folder), the selection shows it so.
    ULONG type = 0;
    TRef<IUnknown> object;
    std::string bytes = *id;
    const HRESULT opened = store->OpenEntry(static_cast<ULONG>(bytes.size()),
                                            reinterpret_cast<LPENTRYID>(bytes.data()), nullptr, 0, &type,
                                            object.out());
    if (FAILED(opened)) throw std::runtime_error("Cannot open " + hex + ": " + mapi::ErrorText(opened));
    items.push_back({*id, type});
  }
  return items;
}

int Usage(const std::string& command, std::ostream& err) {
  err << "usage: corvid " << command << " [--folder NAME] "
      << (command == "menu" ? "[ENTRYID... | --all]" : "(ENTRYID... | --all)") << "\n";
  return kExitUsage;
}

}  // namespace

int RunExplorer(const std::string& command, const std::vector<std::string>& args, std::ostream& out,
                std::ostream& err) {
  TOptions options;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--folder" && i + 1 < args.size()) {
      options.folder = args[++i];
    } else if (args[i] == "--all") {
      options.all = true;
    } else if (args[i] == "--help" || args[i] == "-h") {
      Usage(command, out);
      return kExitOk;
    } else if (!args[i].empty() && args[i][0] == '-') {
      err << "corvid " << command << ": unknown option " << args[i] << "\n";
      return Usage(command, err);
    } else {
      options.entries.push_back(args[i]);
    }
  }
  if (command != "menu" && !options.all && options.entries.empty()) return Usage(command, err);

  // Ctrl-C during a batch is its Cancel: the message at hand is finished.
  TStopSignals stop(win::WM_CANCELMODE);
  try {
    TRunningClient client;
    TMenuBar menu;
    TRef<IMsgStore> store(client.Session().OpenDefaultStore());
    TRef<IMAPIFolder> folder(OpenShownFolder(client.Session(), store.get(), options.folder));
    TClientCallback* viewer = client.Host().CallbackFor(exchange::EECONTEXT_VIEWER);
    viewer->SetMenu(menu.Handle());
    viewer->SetObject(store.get(), folder.get());
    std::vector<exchange::IExchExtCommands*> commands;
    struct TRelease {
      std::vector<exchange::IExchExtCommands*>& list;
      TClientCallback* viewer;
      ~TRelease() {
        for (auto* c : list) c->Release();
        viewer->SetObject(nullptr, nullptr);
      }
    } release{commands, viewer};
    // As the explorer window opens, each extension of its context adds its
    // commands to the menu.
    win::UINT base = kFirstExtensionCommand;
    client.Host().OnInstalled = [&](ULONG context, exchange::IExchExt* extension, TClientCallback* callback) {
      void* found = nullptr;
      if (context != exchange::EECONTEXT_VIEWER ||
          extension->QueryInterface(exchange::IID_IExchExtCommands, &found) != S_OK || found == nullptr) {
        return;
      }
      auto* c = static_cast<exchange::IExchExtCommands*>(found);
      commands.push_back(c);
      c->InstallCommands(callback, client.Window().Handle(), menu.Handle(), &base, nullptr, 0, 0);
    };
    client.Start(err);
    client.Host().OnInstalled = nullptr;

    // A command the extension posts to the window goes to every extension
    // until one handles it.
    client.Window().OnCommand = [&](win::UINT id) {
      for (auto* c : commands) {
        if (c->DoCommand(viewer, id) == S_OK) break;
      }
    };
    viewer->SetSelection(Selection(client.Session(), store.get(), folder.get(), options),
                         client.Session().Allocator());
    for (auto* c : commands) {
      void* events = nullptr;
      if (c->QueryInterface(exchange::IID_IExchExtUserEvents, &events) == S_OK && events != nullptr) {
        static_cast<exchange::IExchExtUserEvents*>(events)->OnSelectionChange(viewer);
        static_cast<exchange::IExchExtUserEvents*>(events)->Release();
      }
    }
    TClientWindow::PumpMessages();
    // The user opens the menu.
    for (auto* c : commands) c->InitMenu(viewer);

    if (command == "menu") {
      menu.Print(out);
      return kExitOk;
    }
    const char* text = command == "compress" ? kCompressText : kDecompressText;
    const UINT id = menu.Find(text);
    if (id == 0) {
      err << "corvid " << command << ": no extension offers \"" << text << "\" (register one with: rundll32 "
          << "corvina.dll,Install_RunDLL 1)\n";
      return kExitFailed;
    }
    if (!menu.Enabled(id)) {
      err << "corvid " << command << ": \"" << text << "\" is greyed: the selection holds no message it applies to\n";
      return kExitFailed;
    }
    client.Window().OnCommand(id);
    // The batch window closed (done or cancelled): let the worker finish
    // the message at hand before the client goes.
    RunUntilIdle(win::RunningThreadCount);
    return kExitOk;
  } catch (const std::invalid_argument& error) {
    err << "corvid " << command << ": " << error.what() << "\n";
    return Usage(command, err);
  } catch (const std::exception& error) {
    err << "corvid " << command << ": " << error.what() << "\n";
    return kExitFailed;
  }
}

}  // namespace corvid::client
