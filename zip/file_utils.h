// File-system helpers the engine calls around archives: making target
// directories, spotting wildcards, clipped substrings, and the drive queries
// of the system (free space, volume label, short names).
//
// Paths are file-system paths with '/'. All functions may be called from any
// thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace corvid::zip {

// Creates directory `path` with all missing parents; a trailing '/' is
// ignored. Returns true when the directory exists afterwards, false when it
// could not be made (a file in the way, no permission). Raises EFileError
// "Unable to create directory" for an empty name.
bool ForceDirectories(const std::string& path);

// Whether `text` holds any of the wildcard characters * ? < > |.
bool IsWild(std::string_view text);

// The first / last `count` characters (code points) of `text`, or all of it
// when it is shorter; empty for a count below 1. Bytes that are not valid
// UTF-8 count as one character each and are kept as they are.
std::string LeftStr(std::string_view text, int64_t count);
std::string RightStr(std::string_view text, int64_t count);

// Bytes available to this user on the file system holding `path`, or -1
// when `path` cannot be queried.
int64_t DiskFreeSpace(const std::string& path);

}  // namespace corvid::zip
