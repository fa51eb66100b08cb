// A Maildir++ tree as the message store keeps it: INBOX at the root (cur/,
// new/, tmp/), every other folder in a subfolder named "." plus its name
// (".Sent Items"). A message is one file, "UNIQUE:2,FLAGS" in cur/ or
// "UNIQUE" in new/; the unique part names the message for good, whatever
// its flags and whether it is new (entry identifiers are built on it).
//
// Writes follow the Maildir rules: a file is written whole in tmp/ and then
// moved into place in one rename, so readers (and a crash) see the old
// message or the new one, never part of one.
//
// Folder names: "" is INBOX; others are given without the leading dot.
// Thread-safe as far as TMailFiles is.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/mapi/mail_files.h"

namespace corvid::mapi {

struct TMessageFile {
  std::string unique;
  std::string path;
  std::string flags;  // Maildir flag letters, sorted ("FS")
  bool is_new = false;  // in new/
};

// "UNIQUE:2,FLAGS" gives UNIQUE and FLAGS; a name without ":2," is all
// unique and has no flags.
std::string UniqueOfName(const std::string& name);
std::string FlagsOfName(const std::string& name);
// Sorted, without repeats.
std::string NormalizedFlags(const std::string& flags);

class TMaildir {
 public:
  TMaildir(std::shared_ptr<TMailFiles> files, std::string root);

  const std::string& Root() const { return root_; }
  TMailFiles& Files() const { return *files_; }

  std::string FolderPath(const std::string& folder) const;
  bool HasFolder(const std::string& folder) const;
  // INBOX first, then the others by name.
  std::vector<std::string> Folders() const;
  // Makes the folder with cur/, new/ and tmp/ (and Maildir++'s
  // "maildirfolder" mark for subfolders); an existing one is kept.
  void CreateFolder(const std::string& folder);

  // The messages of a folder in order of their unique names, which begin
  // with the time of delivery. MAPI_E_NOT_FOUND for a missing folder.
  std::vector<TMessageFile> Messages(const std::string& folder) const;
  std::optional<TMessageFile> Find(const std::string& folder, const std::string& unique) const;

  // A unique name that no other delivery, here or in another process, uses.
  static std::string NewUnique();

  // Delivers a message as a delivery agent does: `write` fills the file in
  // tmp/, which then moves to new/. The new message's unique name.
  std::string Deliver(const std::string& folder, const std::function<void(TWriteFile&)>& write);

  struct TWritten {
    std::string path;
    TFileIdentity identity;
  };
  // Stores a new message in cur/ with `flags`.
  TWritten Store(const std::string& folder, const std::string& unique, const std::string& flags,
                 const std::function<void(TWriteFile&)>& write);
  // Delivers as Deliver does, under a hidden name (".UNIQUE", which Maildir
  // readers and Messages() pass over), a message that is still being made;
  // its hidden unique name. Reveal gives it its visible name (in new/ or
  // cur/, flags kept) once it is whole and returns that unique name.
  std::string DeliverHidden(const std::string& folder, const std::function<void(TWriteFile&)>& write);
  std::string Reveal(const std::string& folder, const std::string& hidden_unique);
  // Removes the hidden messages of the folder whose writers (processes of
  // this host) have ended: a killed send left them half made.
  void RemoveHiddenOfDeadWriters(const std::string& folder);
  // Stores a new message in two steps, for a writer that must do something
  // with the finished file before it may be seen: WriteTemporaryFile fills
  // a file in tmp/ (swept like any other when its writer dies) and gives
  // its path; Publish moves it to cur/ as message `unique` with `flags` and
  // gives the new path.
  std::string WriteTemporaryFile(const std::string& folder, const std::function<void(TWriteFile&)>& write);
  std::string Publish(const std::string& folder, const std::string& temporary, const std::string& unique,
                      const std::string& flags);
  // Replaces message `unique` by what `write` writes. The message must
  // still be the version `expected` (same file, size and time; a rename by
  // a flag change does not matter), else MAPI_E_OBJECT_CHANGED and the
  // other version stays; `force` skips that check. MAPI_E_OBJECT_DELETED
  // when the message is gone. The message keeps its current name and
  // flags.
  TWritten Replace(const std::string& folder, const std::string& unique, const TFileIdentity& expected, bool force,
                   const std::function<void(TWriteFile&)>& write);
  // Gives the message these flags (a rename; a message in new/ moves to
  // cur/). Its path afterwards.
  std::string SetFlags(const std::string& folder, const std::string& unique, const std::string& flags);

  // Removes files left in tmp/ for more than 36 hours (by a crash), as the
  // Maildir rules allow.
  void CleanTemporaryFiles(const std::string& folder);

 private:
  std::string WriteTemporary(const std::string& folder, const std::function<void(TWriteFile&)>& write,
                             TFileIdentity* identity);

  std::shared_ptr<TMailFiles> files_;
  std::string root_;
};

}  // namespace corvid::mapi
