#include "platform/mapi/store_core.h"

#include <strings.h>

#include "platform/mapi/mapi_error.h"
#include "platform/mapi/mime_message.h"

namespace corvid::mapi {

TStoreCore::TStoreCore(TStoreConfig config, std::shared_ptr<TMailFiles> files)
    : config_(std::move(config)), maildir_(std::move(files), config_.path) {}

std::string TStoreCore::StoreEntryId() const { return EncodeEntryId(EntryIdOf(config_.uid, TEntryKind::Store)); }

std::string TStoreCore::RootEntryId() const { return EncodeEntryId(EntryIdOf(config_.uid, TEntryKind::Root)); }

std::string TStoreCore::FolderEntryId(const std::string& folder) const {
  TEntryId id = EntryIdOf(config_.uid, TEntryKind::Folder);
  id.folder = folder;
  return EncodeEntryId(id);
}

std::string TStoreCore::MessageEntryId(const std::string& folder, const std::string& unique) const {
  TEntryId id = EntryIdOf(config_.uid, TEntryKind::Message);
  id.folder = folder;
  id.unique = unique;
  return EncodeEntryId(id);
}

TMessageSummary TStoreCore::Summary(const std::string& folder, const TMessageFile& file) {
  const std::string key = folder + "/" + file.unique;
  const std::optional<TFileIdentity> identity = maildir_.Files().Stat(file.path);
  if (identity) {
    std::lock_guard lock(mutex_);
    auto it = summaries_.find(key);
    if (it != summaries_.end() && it->second.identity == *identity) return it->second;
  }
  TMessageSummary summary;
  try {
    std::shared_ptr<TReadFile> read = maildir_.Files().OpenRead(file.path);
    summary.identity = read->Identity();
    std::unique_ptr<TMimeMessage> message = TMimeMessage::Parse(read);
    summary.subject = message->Subject();
    summary.message_class = message->MessageClass();
    summary.attachments = static_cast<int>(message->Attachments().size());
    if (auto sender = message->Sender()) {
      summary.sender_name = sender->display_name;
      summary.sender_email = sender->email;
    }
    for (const TMimeRecipient& recipient : message->Recipients()) {
      if (recipient.type != MAPI_TO) continue;
      if (!summary.display_to.empty()) summary.display_to += "; ";
      summary.display_to += recipient.display_name;
    }
    summary.date = message->DateUnixSeconds();
  } catch (const EMapiError&) {
    return summary;  // gone or unreadable meanwhile: list it plainly
  }
  std::lock_guard lock(mutex_);
  summaries_[key] = summary;
  return summary;
}

std::optional<std::string> TStoreCore::ResolveFolder(const std::string& name) {
  if (strcasecmp(name.c_str(), "INBOX") == 0 || name.empty()) return std::string();
  const std::vector<std::string> folders = maildir_.Folders();
  for (const std::string& folder : folders) {
    if (folder == name) return folder;
  }
  for (const std::string& folder : folders) {
    if (strcasecmp(folder.c_str(), name.c_str()) == 0) return folder;
  }
  return std::nullopt;
}

std::string TStoreCore::DisplayNameOfFolder(const std::string& folder) {
  return folder.empty() ? "Inbox" : folder;
}

ULONG MessageFlagsOf(const std::string& maildir_flags, bool has_attachments) {
  ULONG flags = 0;
  if (maildir_flags.find('S') != std::string::npos) flags |= MSGFLAG_READ;
  if (maildir_flags.find('D') != std::string::npos) flags |= MSGFLAG_UNSENT;
  if (has_attachments) flags |= MSGFLAG_HASATTACH;
  return flags;
}

}  // namespace corvid::mapi
