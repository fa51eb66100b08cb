// The one extension object of the process: the mail client gets it from the
// library's entry point once per context, and every context shares it, its
// settings and its fields. It answers the client's extension interfaces with
// one reference count, takes part in the contexts it serves, loads its
// settings when created (registry, or a newer install.ini beside the
// library) and saves them to both registry roots when the last reference
// goes.
//
// Threads: the client calls every method on its main thread.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "decompress/inbox_watcher.h"
#include "platform/exchange/exchange_interfaces.h"
#include "settings/options_container.h"
#include "ui/options_page.h"

namespace corvid::core {

using exchange::HRESULT;
using exchange::LPEXCHEXTCALLBACK;
using exchange::ULONG;

inline constexpr HRESULT S_OK = mapi::S_OK;
inline constexpr HRESULT S_FALSE = mapi::S_FALSE;

// Posted to the explorer window to have DoCommand mark the menu stale.
inline constexpr mapi::UINT RefreshMenuCommand = 62537;
// The client's built-in command before which the extension's items go.
inline constexpr mapi::ULONG kAnchorCommand = 14;

class TZIPExtension final : public exchange::IExchExt,
                            public exchange::IExchExtSessionEvents,
                            public exchange::IExchExtMessageEvents,
                            public exchange::IExchExtAttachedFileEvents,
                            public exchange::IExchExtCommands,
                            public exchange::IExchExtUserEvents,
                            public exchange::IExchExtPropertySheets {
 public:
  // `library_file` is the path of the library that holds the extension; its
  // folder is where install.ini is looked for. Loads the settings. The
  // object starts with no reference: QueryInterface hands out the first.
  explicit TZIPExtension(std::string library_file);

  // IUnknown, one count for all interfaces. Release frees the object when
  // the count reaches zero.
  HRESULT QueryInterface(mapi::REFIID riid, void** ppvObject) override;
  ULONG AddRef() override;
  ULONG Release() override;

  // IExchExt.
  HRESULT Install(LPEXCHEXTCALLBACK lpeecb, ULONG mecontext, ULONG ulFlags) override;

  // IExchExtSessionEvents.
  HRESULT OnDelivery(LPEXCHEXTCALLBACK lpeecb) override;

  // IExchExtMessageEvents (message_events.cpp).
  HRESULT OnRead(LPEXCHEXTCALLBACK lpeecb) override;
  HRESULT OnReadComplete(LPEXCHEXTCALLBACK lpeecb, ULONG ulFlags) override;
  HRESULT OnWrite(LPEXCHEXTCALLBACK lpeecb) override;
  HRESULT OnWriteComplete(LPEXCHEXTCALLBACK lpeecb, ULONG ulFlags) override;
  HRESULT OnCheckNames(LPEXCHEXTCALLBACK lpeecb) override;
  HRESULT OnCheckNamesComplete(LPEXCHEXTCALLBACK lpeecb, ULONG ulFlags) override;
  HRESULT OnSubmit(LPEXCHEXTCALLBACK lpeecb) override;
  void OnSubmitComplete(LPEXCHEXTCALLBACK lpeecb, ULONG ulFlags) override;

  // IExchExtAttachedFileEvents: all declined.
  HRESULT OnReadPattFromSzFile(mapi::LPATTACH lpatt, mapi::LPTSTR lpszFile, ULONG ulFlags) override;
  HRESULT OnWritePattToSzFile(mapi::LPATTACH lpatt, mapi::LPTSTR lpszFile, ULONG ulFlags) override;
  HRESULT QueryDisallowOpenPatt(mapi::LPATTACH lpatt) override;
  HRESULT OnOpenPatt(mapi::LPATTACH lpatt) override;
  HRESULT OnOpenSzFile(mapi::LPTSTR lpszFile, ULONG ulFlags) override;

  // IExchExtCommands and IExchExtUserEvents (commands.cpp): "Compress
  // attachments" and "Decompress attachments" in the explorer's menu,
  // enabled by what the selection holds, each running a batch over the
  // selected messages.
  HRESULT InstallCommands(LPEXCHEXTCALLBACK lpeecb, win::HWND hwnd, win::HMENU hmenu, mapi::UINT* lpcmdidBase,
                          exchange::LPTBENTRY lptbeArray, mapi::UINT ctbe, ULONG ulFlags) override;
  void InitMenu(LPEXCHEXTCALLBACK lpeecb) override;
  HRESULT DoCommand(LPEXCHEXTCALLBACK lpeecb, mapi::UINT cmdid) override;
  HRESULT Help(LPEXCHEXTCALLBACK lpeecb, mapi::UINT cmdid) override;
  HRESULT QueryHelpText(mapi::UINT cmdid, ULONG ulFlags, mapi::LPTSTR lpsz, mapi::UINT cch) override;
  HRESULT QueryButtonInfo(ULONG tbid, mapi::UINT itbb, win::TBBUTTON* ptbb, mapi::LPTSTR lpsz, mapi::UINT cch,
                          ULONG ulFlags) override;
  HRESULT ResetToolbar(ULONG tbid, ULONG ulFlags) override;
  void OnSelectionChange(LPEXCHEXTCALLBACK lpeecb) override;
  void OnObjectChange(LPEXCHEXTCALLBACK lpeecb) override;

  // IExchExtPropertySheets (property_sheets.cpp): the "Compress" page of
  // the client's Tools | Options sheet, one at a time.
  ULONG GetMaxPageCount(ULONG ulFlags) override;
  HRESULT GetPages(LPEXCHEXTCALLBACK lpeecb, ULONG ulFlags, win::LPPROPSHEETPAGE lppsp, ULONG* lpcpsp) override;
  void FreePages(win::LPPROPSHEETPAGE lppsp, ULONG ulFlags, ULONG cpsp) override;

  // Per-user settings when their key exists, else the machine's; then a
  // newer install.ini beside the library replaces them all.
  void LoadSettings();
  // Machine-wide first, then per user; failures are silent.
  void SaveSettings();

  // Session context (session.cpp): takes the client's MAPI session, starts
  // the one-time inbox scan and subscribes to new mail in every store. A
  // later session-context call (a new logon) replaces all of it; the old
  // scan is stopped and can no longer call back.
  void SetupSession(LPEXCHEXTCALLBACK lpeecb);
  // Stops the scan (after unhooking its callback) and ends the
  // subscriptions; the session reference stays for the destructor.
  void TeardownSession();
  // The scan's result and a store's new mail, on the main thread: each
  // message is opened through the session and unpacked.
  void OnInboxMessages(decompress::TCheckInboxThread* sender, const decompress::TEntryList& entries);
  void OnNewMail(decompress::TMsgStoreNotify* sender, void* notification);

  settings::TOptionsContainer& Options() { return FOptions; }
  ULONG Context() const { return FContext; }
  win::HWND MainWindow() const { return FMainWindow; }
  ULONG RefCount() const { return ref_count_.load(); }
  const std::string& LibraryFile() const { return library_file_; }

 private:
  ~TZIPExtension();
  // Whether a selected message has an attachment by value whose extension
  // matches one of `extensions` (comma-separated masks).
  bool SelectionHasAttachment(LPEXCHEXTCALLBACK lpeecb, const std::string& extensions);
  // Runs the batch of `compress` or not over the selected messages.
  void RunBatch(LPEXCHEXTCALLBACK lpeecb, bool compress);
  // Opens one message by entry identifier and runs the incoming pipeline.
  void DecompressEntry(const std::string& entry_id);

  std::atomic<ULONG> ref_count_{0};
  ULONG FContext = 0;
  settings::TOptionsContainer FOptions;
  mapi::LPMAPISESSION FSession = nullptr;
  std::unique_ptr<decompress::TCheckInboxThread> FInboxThread;
  mapi::UINT FDecompressCmdId = 0;
  mapi::UINT FCompressCmdId = 0;
  bool FMenuDirty = true;
  bool FCanDecompress = false;
  bool FCanCompress = false;
  std::vector<std::unique_ptr<decompress::TMsgStoreNotify>> FStoreNotifies;
  win::HWND FMainWindow = nullptr;
  std::string library_file_;
  // The options page: handed out from GetPages to FreePages; its model lives
  // from the page's WM_INITDIALOG to its WM_DESTROY.
  bool page_added_ = false;
  std::unique_ptr<ui::TOptionsPage> options_page_;
  friend win::INT_PTR OptionsPageDlgProc(win::HWND, win::UINT, win::WPARAM, win::LPARAM);
};

// The dialog procedure of the options page (property_sheets.cpp).
win::INT_PTR OptionsPageDlgProc(win::HWND window, win::UINT message, win::WPARAM wparam, win::LPARAM lparam);

// The process's extension object, null when none lives.
TZIPExtension* ExtensionInstance();

// The entry point's work: the living object, or a new one for
// `library_file`, as an IExchExt carrying one reference for the caller.
// Null only when the object cannot be made.
exchange::IExchExt* InitExtension(const std::string& library_file);

// The path of the module that holds this code (the extension library once
// linked into it).
std::string OwnLibraryFile();

// The folder of `library_file` followed by "install.ini".
std::string InstallIniPath(const std::string& library_file);

}  // namespace corvid::core
