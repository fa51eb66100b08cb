// The option container: the ordered list of settings, each addressed by a
// path such as "Compression\Enabled" (sections and name joined by
// backslashes, compared without regard to ASCII case), holding nothing, a
// signed 32-bit integer or a text. It is filled from and written to a
// registry subtree or the section "Options" of an INI file; the rest of the
// system reads and writes it through typed accessors that supply a default
// and can create the missing entry. Which settings exist is catalogue.h.
//
// Threads: every operation of TOptionsContainer holds the container's lock,
// so a batch worker and the main thread may share one container. Events run
// after the operation that caused them has released the lock, on the thread
// that called it. A TEntry* from FindEntry stays valid until the entry is
// removed (Clear, Delete, Assign, a load); changing an entry through it is
// for single-threaded use.
//
// Failures: no operation reports one. Registry and INI problems end the bulk
// operation silently, keeping what was done; unparsable texts read as the
// default.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/win/win_types.h"

namespace corvid::settings {

// Empty, integer or text.
using TValue = std::variant<std::monostate, int32_t, std::string>;

class TEntry {
 public:
  TEntry() = default;
  TEntry(const TEntry&) = delete;
  TEntry& operator=(const TEntry&) = delete;

  const TValue& Value() const { return value_; }
  // Replaces the value and calls OnChange with true, unless the new value
  // has the same kind and is equal, in which case nothing happens.
  void SetValue(TValue value);

  const std::string& Path() const { return path_; }
  void SetPath(std::string path) { path_ = std::move(path); }
  // The last write asked for encryption (the text is then ciphertext).
  bool Encrypted() const { return encrypted_; }
  void SetEncrypted(bool encrypted) { encrypted_ = encrypted; }

  // The text after the last separator ('\' or ':').
  std::string ValueName() const;
  // The text before it without that separator and, when not empty, with one
  // backslash in front: "Compression\Enabled" gives "\Compression".
  std::string KeyPath() const;
  // An integer in decimal, a text as it is, "" when empty.
  std::string AsText() const;

  std::function<void(TEntry& sender, bool changed)> OnChange;

 private:
  friend class TOptionsContainer;
  TValue value_;
  std::string path_;
  bool encrypted_ = false;
  // What this process did to the entry since it was loaded, so that a save
  // writes only that and another process's changes survive: FVersion counts
  // the writes (0: as loaded), FDelta sums the increments; per place saved
  // to ("ROOT\key"), the version and the sum already written there.
  uint64_t FVersion = 0;
  int32_t FDelta = 0;
  std::map<std::string, uint64_t> FSavedVersion;
  std::map<std::string, int32_t> FSavedDelta;
};

class TOptionsContainer {
 public:
  TOptionsContainer() = default;
  ~TOptionsContainer();
  TOptionsContainer(const TOptionsContainer&) = delete;
  TOptionsContainer& operator=(const TOptionsContainer&) = delete;

  // Called with the new flag whenever SetModified changes it.
  std::function<void(TOptionsContainer& sender, bool modified)> OnModifiedChange;

  // The first entry whose path matches ignoring ASCII case, or null.
  TEntry* FindEntry(std::string_view path);
  // Frees all entries; Modified stays.
  void Clear();
  bool Modified() const;
  void SetModified(bool modified);
  int Count() const;
  // Removes the first entry matching `path`; Modified stays.
  void Delete(std::string_view path);
  // The paths in list order.
  std::vector<std::string> Paths() const;

  // Typed reads. A text is decrypted first when `decrypt` is set. When no
  // entry matches and `create` is set, the default is written (encrypted when
  // `decrypt` is set) so that it is saved later. Integers: a text is parsed
  // as a decimal number. Booleans: true exactly when the integer (or the
  // parsed text) is 1. Strings: an integer gives its decimal text.
  int32_t ReadInteger(std::string_view path, int32_t default_value, bool decrypt, bool create);
  bool ReadBool(std::string_view path, bool default_value, bool decrypt, bool create);
  std::string ReadString(std::string_view path, std::string_view default_value, bool decrypt, bool create);

  // Typed writes: find or append the entry, give it `path` as spelled here
  // and the encrypt flag, and set the value (an integer, a Boolean as 0 or 1,
  // a text; with `encrypt`, the decimal or text form encrypted).
  void WriteInteger(std::string_view path, int32_t value, bool encrypt);
  void WriteBool(std::string_view path, bool value, bool encrypt);
  void WriteString(std::string_view path, std::string_view value, bool encrypt);

  // Reads (creating with the default), adds `delta` with 32-bit wrap-around,
  // writes and returns the sum, as one step under the lock.
  int32_t Increment(std::string_view path, int32_t default_value, bool encrypt, int32_t delta);

  // Replaces the entries by copies of `source`'s and takes its Modified.
  void Assign(const TOptionsContainer& source);

  // `root` is HKEY_CURRENT_USER or HKEY_LOCAL_MACHINE, `key` a path such as
  // "Software\Corvid" (a trailing backslash is ignored). Entry S1\S2\N is
  // value N of key KEY\S1\S2; integers are REG_DWORD, texts REG_SZ, values
  // of other types are not loaded and never touched. Loading clears first;
  // saving deletes nothing and stops silently at the first refusal.
  // Saving writes only what this container changed since it was loaded
  // (and not yet wrote to that place): a value set or created, or, for a
  // counter changed only by Increment, the increments, added to the stored
  // value in one registry step. So several processes that load, change and
  // save the settings at once lose none of each other's changes or counts.
  // Entries loaded from an INI file or taken over by Assign with another
  // value count as changed.
  void LoadFromRegistry(win::HKEY root, std::string_view key);
  void SaveToRegistry(win::HKEY root, std::string_view key);

  // Section "Options" of the file: one line PATH=VALUE per entry, line
  // breaks inside a value stored as tabs. Loading clears first and reads
  // every value as text; saving erases the section first.
  void LoadFromIniFile(const std::string& file_name);
  void SaveToIniFile(const std::string& file_name);

 private:
  class Guard;
  TEntry* FindLocked(std::string_view path) const;
  TEntry& Append(std::string_view path);
  void SetModifiedLocked(bool modified);
  void WriteValueLocked(std::string_view path, TValue value, bool encrypt);

  mutable std::recursive_mutex mutex_;
  int depth_ = 0;  // nesting of operations on the locking thread
  std::vector<std::function<void()>> FPendingEvents;
  std::vector<std::unique_ptr<TEntry>> FEntries;
  bool FModified = false;
};

}  // namespace corvid::settings
