// The session context's work: the inbox scan, the new-mail subscriptions,
// and the two handlers that unpack what they find.
#include <memory>

#include "base/log.h"
#include "compress/attachments.h"
#include "core/extension.h"
#include "decompress/decompress_message.h"
#include "settings/catalogue.h"

namespace corvid::core {

using namespace mapi;
using compress::TBufferFree;
using compress::TRef;
using compress::TRows;

namespace {

// The display name of the folder that holds `message`, for the log.
std::string FolderNameOf(IMAPISession* session, IMessage* message) {
  LPSPropValue raw = nullptr;
  if (FAILED(Mapi().HrGetOneProp(message, PR_PARENT_ENTRYID, &raw)) || raw == nullptr) return "?";
  std::unique_ptr<void, TBufferFree> parent(raw);
  if (PROP_TYPE(raw->ulPropTag) != PT_BINARY) return "?";
  ULONG type = 0;
  LPUNKNOWN folder = nullptr;
  if (FAILED(session->OpenEntry(raw->Value.bin.cb, reinterpret_cast<LPENTRYID>(raw->Value.bin.lpb), nullptr, 0,
                                &type, &folder)) ||
      folder == nullptr) {
    return "?";
  }
  TRef<IMAPIFolder> held(static_cast<IMAPIFolder*>(folder));
  return compress::TextProperty(held.get(), PR_DISPLAY_NAME).value_or("?");
}

}  // namespace

void TZIPExtension::SetupSession(LPEXCHEXTCALLBACK lpeecb) {
  if (lpeecb == nullptr) return;
  LPMAPISESSION session = nullptr;
  if (lpeecb->GetSession(&session, nullptr) != S_OK || session == nullptr) return;
  // A new logon replaces what an earlier one set up.
  TeardownSession();
  if (FSession != nullptr) FSession->Release();
  FSession = session;

  if (settings::Read(FOptions, settings::kDecompressionEnabled)) {
    FInboxThread = std::make_unique<decompress::TCheckInboxThread>(FSession);
    FInboxThread->OnCheckDone = [this](decompress::TCheckInboxThread* sender, const decompress::TEntryList& list) {
      OnInboxMessages(sender, list);
    };
    FInboxThread->Resume();
  }

  const mapi::TMapiProcedures& mapi = Mapi();
  if (!mapi.Bound({"HrQueryAllRows", "FreeProws"})) return;
  LPMAPITABLE raw_table = nullptr;
  if (FAILED(FSession->GetMsgStoresTable(0, &raw_table)) || raw_table == nullptr) {
    log::Line("new mail will not be unpacked: the list of message stores could not be read");
    return;
  }
  TRef<IMAPITable> table(raw_table);
  SizedSPropTagArray<1> columns = {1, {PR_ENTRYID}};
  LPSRowSet raw_rows = nullptr;
  if (FAILED(mapi.HrQueryAllRows(table.get(), columns.get(), nullptr, nullptr, 0, &raw_rows))) {
    log::Line("new mail will not be unpacked: the list of message stores could not be read");
    return;
  }
  TRows rows(raw_rows);
  for (ULONG r = 0; r < rows->cRows; ++r) {
    const SPropValue& id = rows->aRow[r].lpProps[0];
    if (id.ulPropTag != PR_ENTRYID) continue;
    LPMDB raw_store = nullptr;
    if (FAILED(FSession->OpenMsgStore(0, id.Value.bin.cb, reinterpret_cast<LPENTRYID>(id.Value.bin.lpb),
                                      &IID_IMsgStore, MDB_WRITE, &raw_store)) ||
        raw_store == nullptr) {
      log::Line("a message store did not open; its new mail will not be unpacked");
      continue;
    }
    TRef<IMsgStore> store(raw_store);
    auto notify = std::make_unique<decompress::TMsgStoreNotify>(store.get(),
                                                                decompress::TMsgStoreEvents{
                                                                    decompress::TMsgStoreEvent::NewMail});
    if (!notify->Advised()) log::Line("a message store refused new-mail notifications");
    notify->OnNewMail = [this](decompress::TMsgStoreNotify* sender, void* data) { OnNewMail(sender, data); };
    FStoreNotifies.push_back(std::move(notify));
  }
  log::Line("watching " + std::to_string(FStoreNotifies.size()) + " message store(s) for new mail");
}

void TZIPExtension::TeardownSession() {
  if (FInboxThread) {
    FInboxThread->OnCheckDone = nullptr;
    FInboxThread.reset();
  }
  FStoreNotifies.clear();
}

void TZIPExtension::DecompressEntry(const std::string& entry_id) {
  ULONG type = 0;
  LPUNKNOWN raw = nullptr;
  const HRESULT opened = FSession->OpenEntry(static_cast<ULONG>(entry_id.size()),
                                             reinterpret_cast<LPENTRYID>(const_cast<char*>(entry_id.data())),
                                             &IID_IMessage, MAPI_MODIFY, &type, &raw);
  if (FAILED(opened) || raw == nullptr) {
    // Gone already (read and moved by the user, or deleted): nothing to do.
    log::Line("a new message could not be opened (" + std::to_string(static_cast<uint32_t>(opened)) +
              "); it was left as it is");
    return;
  }
  TRef<IMessage> message(static_cast<IMessage*>(raw));
  const decompress::TDecompressOutcome outcome = decompress::DecompressMessage(message.get(), FOptions);
  decompress::LogOutcome(FolderNameOf(FSession, message.get()), outcome);
}

void TZIPExtension::OnInboxMessages(decompress::TCheckInboxThread*, const decompress::TEntryList& entries) {
  try {
    if (FSession == nullptr || !settings::Read(FOptions, settings::kDecompressionEnabled)) return;
    for (const std::string& entry_id : entries) DecompressEntry(entry_id);
  } catch (const std::exception& error) {
    log::Line(std::string("unpacking the inbox stopped: ") + error.what());
  } catch (...) {
    log::Line("unpacking the inbox stopped on an unexpected error");
  }
}

void TZIPExtension::OnNewMail(decompress::TMsgStoreNotify*, void* notification) {
  try {
    if (FSession == nullptr || notification == nullptr || !settings::Read(FOptions, settings::kDecompressionEnabled)) {
      return;
    }
    const auto* mail = static_cast<const NEWMAIL_NOTIFICATION*>(notification);
    if (mail->lpEntryID == nullptr || mail->cbEntryID == 0) return;
    DecompressEntry(std::string(reinterpret_cast<const char*>(mail->lpEntryID), mail->cbEntryID));
  } catch (const std::exception& error) {
    log::Line(std::string("unpacking new mail stopped: ") + error.what());
  } catch (...) {
    log::Line("unpacking new mail stopped on an unexpected error");
  }
}

}  // namespace corvid::core
