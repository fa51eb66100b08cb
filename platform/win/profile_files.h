// Profile (INI) files: reading one value or the key names of a section,
// writing a value, deleting a key, erasing a section, with the text rules of
// ini_text.h.
//
// TProfileFiles is the one abstract interface. TDiskProfileFiles works on
// real files: an edit reads the file, changes the text and puts the new file
// in place by rename, under an exclusive lock on the file's folder, so a
// reader sees the old file or the new one and two writers (threads or
// processes) never lose each other's change. TMemoryProfileFiles keeps files
// as texts in memory for tests, and TForwardingProfileFiles is the base of
// fault-injecting doubles. The Win32 functions at the end use
// CurrentProfileFiles().
//
// Paths are file-system paths. Unreadable files read as missing. Edits return
// ERROR_SUCCESS or a Win32 error code; ERROR_INVALID_PARAMETER for a name or
// value that the file could not give back as written (ini::IsValid*).
#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win/win_types.h"

namespace corvid::win {

class TProfileFiles {
 public:
  TProfileFiles() = default;
  TProfileFiles(const TProfileFiles&) = delete;
  TProfileFiles& operator=(const TProfileFiles&) = delete;
  virtual ~TProfileFiles() = default;

  // nullopt when the file, the section or the key is missing.
  virtual std::optional<std::string> ReadValue(const std::filesystem::path& file, std::string_view section,
                                               std::string_view key) = 0;
  // nullopt when the file or the section is missing.
  virtual std::optional<std::vector<std::string>> ReadKeyNames(const std::filesystem::path& file,
                                                               std::string_view section) = 0;
  virtual std::vector<std::string> ReadSectionNames(const std::filesystem::path& file) = 0;
  // Creates the file (not its folder) and the section when missing.
  virtual LONG WriteValue(const std::filesystem::path& file, std::string_view section, std::string_view key,
                          std::string_view value) = 0;
  // Removing what is not there succeeds.
  virtual LONG DeleteKey(const std::filesystem::path& file, std::string_view section, std::string_view key) = 0;
  virtual LONG EraseSection(const std::filesystem::path& file, std::string_view section) = 0;
};

class TDiskProfileFiles : public TProfileFiles {
 public:
  std::optional<std::string> ReadValue(const std::filesystem::path& file, std::string_view section,
                                       std::string_view key) override;
  std::optional<std::vector<std::string>> ReadKeyNames(const std::filesystem::path& file,
                                                       std::string_view section) override;
  std::vector<std::string> ReadSectionNames(const std::filesystem::path& file) override;
  LONG WriteValue(const std::filesystem::path& file, std::string_view section, std::string_view key,
                  std::string_view value) override;
  LONG DeleteKey(const std::filesystem::path& file, std::string_view section, std::string_view key) override;
  LONG EraseSection(const std::filesystem::path& file, std::string_view section) override;
};

class TMemoryProfileFiles : public TProfileFiles {
 public:
  // The text of a file, or nullopt when it does not exist.
  std::optional<std::string> Text(const std::filesystem::path& file) const;
  void SetText(const std::filesystem::path& file, std::string text);
  // How many edits changed a file so far.
  int WriteCount() const;

  std::optional<std::string> ReadValue(const std::filesystem::path& file, std::string_view section,
                                       std::string_view key) override;
  std::optional<std::vector<std::string>> ReadKeyNames(const std::filesystem::path& file,
                                                       std::string_view section) override;
  std::vector<std::string> ReadSectionNames(const std::filesystem::path& file) override;
  LONG WriteValue(const std::filesystem::path& file, std::string_view section, std::string_view key,
                  std::string_view value) override;
  LONG DeleteKey(const std::filesystem::path& file, std::string_view section, std::string_view key) override;
  LONG EraseSection(const std::filesystem::path& file, std::string_view section) override;

 private:
  mutable std::mutex mutex_;
  std::map<std::filesystem::path, std::string> files_;
  int writes_ = 0;
};

class TForwardingProfileFiles : public TProfileFiles {
 public:
  explicit TForwardingProfileFiles(TProfileFiles& target) : target_(target) {}
  std::optional<std::string> ReadValue(const std::filesystem::path& file, std::string_view section,
                                       std::string_view key) override;
  std::optional<std::vector<std::string>> ReadKeyNames(const std::filesystem::path& file,
                                                       std::string_view section) override;
  std::vector<std::string> ReadSectionNames(const std::filesystem::path& file) override;
  LONG WriteValue(const std::filesystem::path& file, std::string_view section, std::string_view key,
                  std::string_view value) override;
  LONG DeleteKey(const std::filesystem::path& file, std::string_view section, std::string_view key) override;
  LONG EraseSection(const std::filesystem::path& file, std::string_view section) override;

 protected:
  TProfileFiles& target_;
};

// The profile files the Win32 functions use: the override when one is set,
// else one TDiskProfileFiles.
std::shared_ptr<TProfileFiles> CurrentProfileFiles();

// Routes the Win32 profile functions to `files` while it lives (tests).
class TProfileFilesOverride {
 public:
  explicit TProfileFilesOverride(std::shared_ptr<TProfileFiles> files);
  ~TProfileFilesOverride();
  TProfileFilesOverride(const TProfileFilesOverride&) = delete;
  TProfileFilesOverride& operator=(const TProfileFilesOverride&) = delete;

 private:
  std::shared_ptr<TProfileFiles> previous_;
};

// Where a profile file name points: a name that is not an absolute path is
// taken in WindowsDirectory(), as Windows does.
std::filesystem::path ProfilePath(std::string_view file_name);

// GetPrivateProfileString with Windows' rules ("A" flavour, sizes in bytes):
// - `section` null: the section names; `key` null: the key names of the
//   section. Each name ends with a zero and the list with a second one; when
//   the buffer is too small the list is cut, ends in two zeros and the result
//   is size - 2.
// - Otherwise the value, or `default_value` (null: "") without its trailing
//   blanks when the key is missing; cut to size - 1 bytes and closed with a
//   zero, the result being the number of bytes copied.
// Cuts never split a UTF-8 sequence. A zero `size` copies nothing.
DWORD GetPrivateProfileString(const char* section, const char* key, const char* default_value, char* buffer,
                              DWORD size, const char* file_name);
// Writes one value; `value` null deletes the key, `key` null erases the
// section. Non-zero on success; on failure zero and GetLastError() says why.
BOOL WritePrivateProfileString(const char* section, const char* key, const char* value, const char* file_name);

}  // namespace corvid::win
