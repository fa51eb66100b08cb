// The explorer commands: two menu items, their enable state from the
// selection, their help texts, and the batch each one starts.
#include <cstring>
#include <memory>

#include "base/log.h"
#include "compress/attachments.h"
#include "compress/recipient_rules.h"
#include "core/extension.h"
#include "decompress/batch.h"
#include "platform/win/menus.h"
#include "platform/win/ui_thread.h"

namespace corvid::core {

using namespace exchange;
using namespace mapi;
using compress::TBufferFree;
using compress::TRef;

namespace {

constexpr char kCompressText[] = "Compress attachments";
constexpr char kDecompressText[] = "Decompress attachments";
constexpr char kCompressHelp[] = "Compress attachments in the selected messages";
constexpr char kDecompressHelp[] = "Decompress ZIP attachments in selected messages";
constexpr char kDecompressExtensions[] = ".ZIP,.EXE,.JAR";
constexpr char kCompressExtensions[] = ".*";
// The most items looked at: a larger selection enables both commands.
constexpr ULONG kMaxInspected = 20;

void InsertItem(win::HMENU menu, UINT position, UINT id, const char* text) {
  win::MENUITEMINFO item{};
  item.cbSize = sizeof item;
  item.fMask = win::MIIM_TYPE | win::MIIM_ID | win::MIIM_STATE;
  item.fType = win::MFT_STRING;
  item.fState = win::MFS_ENABLED;
  item.wID = id;
  item.dwTypeData = const_cast<char*>(text);
  win::InsertMenuItem(menu, position, 1, &item);
}

void PostRefresh(LPEXCHEXTCALLBACK lpeecb) {
  win::HWND window = nullptr;
  if (lpeecb != nullptr && lpeecb->GetWindow(&window) == S_OK) {
    win::PostMessage(window, win::WM_COMMAND, RefreshMenuCommand, 0);
  }
}

std::vector<std::string> SplitUpper(const std::string& list) {
  std::vector<std::string> items;
  std::string item;
  for (const char c : list + ",") {
    if (c == ',') {
      items.push_back(item);
      item.clear();
    } else {
      item += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
    }
  }
  return items;
}

// One selected item: its entry identifier and object type; none on failure.
struct TSelected {
  std::string entry_id;
  ULONG type = 0;
};
std::optional<TSelected> SelectionItem(LPEXCHEXTCALLBACK lpeecb, ULONG index) {
  ULONG size = 0, type = 0, flags = 0;
  LPENTRYID id = nullptr;
  char message_class[260] = {};
  if (FAILED(lpeecb->GetSelectionItem(index, &size, &id, &type, message_class, sizeof message_class, &flags, 0)) ||
      id == nullptr) {
    return std::nullopt;
  }
  std::unique_ptr<void, TBufferFree> held(id);
  return TSelected{std::string(reinterpret_cast<const char*>(id), size), type};
}

}  // namespace

HRESULT TZIPExtension::InstallCommands(LPEXCHEXTCALLBACK lpeecb, win::HWND, win::HMENU, mapi::UINT* lpcmdidBase,
                                       LPTBENTRY, mapi::UINT, ULONG) {
  try {
    if (FContext != EECONTEXT_VIEWER || lpeecb == nullptr || lpcmdidBase == nullptr) return S_OK;
    win::HMENU menu = nullptr;
    ULONG position = 0;
    if (lpeecb->GetMenuPos(kAnchorCommand, &menu, &position, nullptr, 0) == S_OK && menu != nullptr) {
      win::MENUITEMINFO separator{};
      separator.cbSize = sizeof separator;
      separator.fMask = win::MIIM_TYPE;
      separator.fType = win::MFT_SEPARATOR;
      win::InsertMenuItem(menu, position, 1, &separator);
      FDecompressCmdId = *lpcmdidBase;
      InsertItem(menu, position + 1, FDecompressCmdId, kDecompressText);
      ++*lpcmdidBase;
      FCompressCmdId = *lpcmdidBase;
      InsertItem(menu, position + 1, FCompressCmdId, kCompressText);
      ++*lpcmdidBase;
    }
    PostRefresh(lpeecb);
  } catch (...) {
  }
  return S_OK;
}

void TZIPExtension::InitMenu(LPEXCHEXTCALLBACK lpeecb) {
  try {
    win::HMENU menu = nullptr;
    if (lpeecb == nullptr || lpeecb->GetMenu(&menu) != S_OK || menu == nullptr) return;
    if (FMenuDirty) {
      FCanDecompress = SelectionHasAttachment(lpeecb, kDecompressExtensions);
      FCanCompress = SelectionHasAttachment(lpeecb, kCompressExtensions);
      FMenuDirty = false;
    }
    win::EnableMenuItem(menu, FDecompressCmdId, FCanDecompress ? win::MF_ENABLED : win::MF_GRAYED);
    win::EnableMenuItem(menu, FCompressCmdId, FCanCompress ? win::MF_ENABLED : win::MF_GRAYED);
  } catch (...) {
  }
}

bool TZIPExtension::SelectionHasAttachment(LPEXCHEXTCALLBACK lpeecb, const std::string& extensions) {
  const std::vector<std::string> masks = SplitUpper(extensions);
  ULONG count = 0;
  if (FAILED(lpeecb->GetSelectionCount(&count)) || count == 0) return false;
  if (count > kMaxInspected) return true;
  LPMDB raw_store = nullptr;
  if (FAILED(lpeecb->GetObject(&raw_store, nullptr)) || raw_store == nullptr) return false;
  TRef<IMsgStore> store(raw_store);
  for (ULONG i = 0; i < count; ++i) {
    const std::optional<TSelected> item = SelectionItem(lpeecb, i);
    if (!item || item->type != MAPI_MESSAGE) continue;
    ULONG type = 0;
    LPUNKNOWN raw = nullptr;
    if (FAILED(store->OpenEntry(static_cast<ULONG>(item->entry_id.size()),
                                reinterpret_cast<LPENTRYID>(const_cast<char*>(item->entry_id.data())), &IID_IMessage,
                                0, &type, &raw)) ||
        raw == nullptr) {
      continue;
    }
    TRef<IMessage> message(static_cast<IMessage*>(raw));
    const compress::TRows rows = compress::ReadAttachmentTable(message.get());
    if (!rows) continue;
    for (ULONG r = 0; r < rows->cRows; ++r) {
      const SPropValue* method = compress::Column(rows->aRow[r], PR_ATTACH_METHOD);
      if (method == nullptr || method->Value.l != ATTACH_BY_VALUE) continue;
      const std::optional<std::string> name = compress::AttachmentName(rows->aRow[r]);
      if (!name) continue;
      const std::string extension = compress::UpperExtension(*name);
      if (extension.empty()) continue;
      for (const std::string& mask : masks) {
        if (compress::MatchMask(extension, mask, true)) return true;
      }
    }
  }
  return false;
}

HRESULT TZIPExtension::DoCommand(LPEXCHEXTCALLBACK lpeecb, mapi::UINT cmdid) {
  if (cmdid == RefreshMenuCommand) {
    FMenuDirty = true;
    return S_FALSE;
  }
  const bool compress = cmdid == FCompressCmdId && FCompressCmdId != 0;
  const bool decompress = cmdid == FDecompressCmdId && FDecompressCmdId != 0;
  if (!compress && !decompress) return S_FALSE;
  try {
    RunBatch(lpeecb, compress);
  } catch (const std::exception& error) {
    log::Line(std::string("the batch did not start: ") + error.what());
  } catch (...) {
    log::Line("the batch did not start");
  }
  FMenuDirty = true;
  return S_OK;
}

void TZIPExtension::RunBatch(LPEXCHEXTCALLBACK lpeecb, bool compress) {
  ULONG count = 0;
  if (lpeecb == nullptr || FAILED(lpeecb->GetSelectionCount(&count)) || count == 0) return;
  LPMDB raw_store = nullptr;
  if (FAILED(lpeecb->GetObject(&raw_store, nullptr)) || raw_store == nullptr) return;
  TRef<IMsgStore> store(raw_store);
  decompress::TEntryList entries;
  for (ULONG i = 0; i < count; ++i) {
    const std::optional<TSelected> item = SelectionItem(lpeecb, i);
    if (item && item->type == MAPI_MESSAGE) entries.push_back(item->entry_id);
  }
  if (entries.empty()) return;
  decompress::TProcessMsgDlg dialog;
  dialog.SetCaption(compress ? "Compressing messages..." : "Decompressing messages...");
  dialog.Run(store.get(), entries, compress ? decompress::TBatchKind::Compress : decompress::TBatchKind::Decompress,
             FOptions);
}

HRESULT TZIPExtension::Help(LPEXCHEXTCALLBACK, mapi::UINT) { return S_FALSE; }

HRESULT TZIPExtension::QueryHelpText(mapi::UINT cmdid, ULONG, mapi::LPTSTR lpsz, mapi::UINT cch) {
  const char* text = nullptr;
  if (cmdid == FDecompressCmdId && FDecompressCmdId != 0) text = kDecompressHelp;
  if (cmdid == FCompressCmdId && FCompressCmdId != 0) text = kCompressHelp;
  if (text == nullptr) return S_FALSE;
  if (lpsz != nullptr && cch > 0) {
    const size_t n = std::min<size_t>(std::strlen(text), cch - 1);
    std::memcpy(lpsz, text, n);
    lpsz[n] = '\0';
  }
  return S_OK;
}

HRESULT TZIPExtension::QueryButtonInfo(ULONG, mapi::UINT, win::TBBUTTON*, mapi::LPTSTR, mapi::UINT, ULONG) {
  return S_FALSE;
}
HRESULT TZIPExtension::ResetToolbar(ULONG, ULONG) { return S_FALSE; }

void TZIPExtension::OnSelectionChange(LPEXCHEXTCALLBACK lpeecb) {
  try {
    PostRefresh(lpeecb);
  } catch (...) {
  }
}

void TZIPExtension::OnObjectChange(LPEXCHEXTCALLBACK) { FMenuDirty = true; }

}  // namespace corvid::core
