// The directory walker that expands a start directory and a file mask into
// the files to add to an archive.
//
// The walk is depth first in the order the file system lists entries: a
// subdirectory is entered as soon as it is listed, and the rest of its parent
// follows once it is done. At most kMaxLevels directories are open at once;
// deeper ones are not entered. Subdirectories whose names begin with a dot are
// not entered, and neither are symbolic links to directories (they could
// make the walk loop). Only regular files are reported, symbolic links to
// them included: reading a pipe or a device would never end.
//
// The start directory may hold wildcards, as in "/data/*/logs": its path is
// split at the first component holding one, each component from there on is
// matched against the subdirectory names of its level, and the file mask is
// applied below the last of them only.
//
// Masks follow WildcardMatch; a name without a dot also matches with one
// appended, so "*.*" matches every file and "*." those without an extension.
// An empty mask matches every file.
//
// One object is used by one thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace corvid::zip {

class TDirSearch {
 public:
  static constexpr size_t kMaxLevels = 21;

  // Nothing is read until the first Next. `start_directory` may end in '/'
  // or not; an empty one means the current directory.
  TDirSearch(const std::string& start_directory, bool recurse, const std::string& file_mask);
  ~TDirSearch();
  TDirSearch(const TDirSearch&) = delete;
  TDirSearch& operator=(const TDirSearch&) = delete;

  // The full path of the next file (the start directory's text, then '/'
  // separated names), with its size in `size`; "" once the walk is over.
  std::string Next(int64_t& size);
  std::string Next();

  // Directories that matched but could not be opened (no permission, gone
  // meanwhile): their files are missing from the walk.
  const std::vector<std::string>& UnreadableDirectories() const { return unreadable_; }

 private:
  struct TSearchData;

  void Enter(std::string directory, int parent_fd, const std::string& name, size_t component);

  bool recurse_;
  std::string file_mask_;
  std::string base_;                    // start directory up to its first wildcard component
  std::vector<std::string> components_;  // its components from that one on
  bool started_ = false;
  std::vector<std::unique_ptr<TSearchData>> levels_;
  std::vector<std::string> unreadable_;
};

}  // namespace corvid::zip
