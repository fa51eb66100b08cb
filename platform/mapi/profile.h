// The mail profile of the machine root: its message stores (each a Maildir++
// tree, one of them the default) and its address book (a vCard file).
//
// The profile lives in MailProfileDirectory() as "profile.ini":
//
//   [Profile]
//   Name=Corvid
//   DefaultStore=Store1
//   AddressBook=contacts.vcf
//   SendCommand=/usr/sbin/sendmail -t -oi
//
//   [Store1]
//   DisplayName=Personal Folders
//   Path=maildir
//   Uid=<32 hex digits: the store's identity in entry identifiers>
//
// SendCommand (optional) is the delivery command of the mail client: a
// shell command that takes each sent message on standard input; without
// it, sent mail only goes to "Sent Items".
//
// Every section whose name starts with "Store" is a store, in file order;
// relative paths count from the profile's folder. A fresh machine root gets
// this profile with one store holding INBOX, "Outbox", "Sent Items" and
// "Drafts" the first time anyone asks for it (safe when two processes ask
// at once).
#pragma once

#include <string>
#include <vector>

#include "platform/mapi/mapi_types.h"

namespace corvid::mapi {

struct TStoreConfig {
  std::string section;
  std::string display_name;
  std::string path;  // the Maildir's root folder, absolute
  GUID uid{};
  bool is_default = false;
};

struct TProfile {
  std::string name;
  std::string file;          // profile.ini, absolute
  std::string address_book;  // the vCard file, absolute (may not exist)
  std::string send_command;  // empty: none
  std::string from;          // the user's identity, "Name <address>"; empty: none
  std::vector<TStoreConfig> stores;
};

// MachineRoot()/mail; made when missing. Raises EMapiError when the
// machine root cannot be had.
std::string MailProfileDirectory();

// Reads the profile, making the default one first when there is none.
// Makes the standard folders of the default store when they are missing.
TProfile LoadProfile();

// The standard folders of a new store.
inline constexpr const char* kStandardFolders[] = {"Outbox", "Sent Items", "Drafts"};

}  // namespace corvid::mapi
