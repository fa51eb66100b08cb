// The message store behind the MAPI objects: one TStoreCore per store of
// the profile (its Maildir, its entry identifiers, a cache of message
// summaries for tables), and the functions that make the objects. Internal
// to platform/mapi; the objects themselves live in session.cpp, store.cpp,
// message.cpp and address_book.cpp.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/mapi/entry_id.h"
#include "platform/mapi/maildir.h"
#include "platform/mapi/mapi_interfaces.h"
#include "platform/mapi/profile.h"

namespace corvid::mapi {

// What tables show of a message, read once per version of its file.
struct TMessageSummary {
  TFileIdentity identity;
  std::string subject;
  std::string message_class = "IPM.Note";
  int attachments = 0;
  std::string sender_name;
  std::string sender_email;
  std::string display_to;
  std::optional<int64_t> date;
};

class TStoreCore {
 public:
  TStoreCore(TStoreConfig config, std::shared_ptr<TMailFiles> files);

  const TStoreConfig& Config() const { return config_; }
  TMaildir& Maildir() { return maildir_; }

  std::string StoreEntryId() const;
  std::string RootEntryId() const;
  std::string FolderEntryId(const std::string& folder) const;
  std::string MessageEntryId(const std::string& folder, const std::string& unique) const;

  // The summary of a message file; a file that cannot be read gives the
  // defaults (a malformed message still lists).
  TMessageSummary Summary(const std::string& folder, const TMessageFile& file);

  // "INBOX" (any case) is ""; another name matches a folder as written,
  // else without regard to case. nullopt when there is no such folder.
  std::optional<std::string> ResolveFolder(const std::string& name);
  static std::string DisplayNameOfFolder(const std::string& folder);

 private:
  TStoreConfig config_;
  TMaildir maildir_;
  std::mutex mutex_;
  std::map<std::string, TMessageSummary> summaries_;  // by folder '/' unique
};

// PR_MESSAGE_FLAGS of a message from its Maildir flags.
ULONG MessageFlagsOf(const std::string& maildir_flags, bool has_attachments);

// Objects, each with one reference for the caller.
IMsgStore* NewMsgStore(std::shared_ptr<TStoreCore> core, bool writable);
IMAPIFolder* NewFolder(std::shared_ptr<TStoreCore> core, std::optional<std::string> folder, bool writable);
// MAPI_E_NOT_FOUND when the message is not there.
IMessage* OpenMessageObject(std::shared_ptr<TStoreCore> core, const std::string& folder, const std::string& unique,
                            bool modify);
IMessage* NewMessageObject(std::shared_ptr<TStoreCore> core, const std::string& folder);
IAddrBook* NewAddressBook(const std::string& vcard_file);
IMAPISession* NewSession(TProfile profile, std::shared_ptr<TMailFiles> files);

// Opens a store's entry (root, folder, message) for OpenEntry of the store,
// its folders and the session. `writable` is the store's access.
HRESULT OpenStoreEntry(const std::shared_ptr<TStoreCore>& core, bool writable, const TEntryId& id,
                       LPCIID interface_id, ULONG flags, ULONG* object_type, LPUNKNOWN* object);

}  // namespace corvid::mapi
