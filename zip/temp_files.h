// Temporary files and directories in the system temp directory, and the size
// of a file by name.
//
// Names are "CorvidF<n>.tmp" and "CorvidD<n>.tmp" with the smallest n from 0
// that is free. Each name is claimed by the call that creates it (exclusive
// create), so two threads or processes never receive the same one.
#pragma once

#include <cstdint>
#include <string>

#include "zip/stream.h"

namespace corvid::zip {

// $TMPDIR when it names a directory, else /tmp.
std::string SystemTempDirectory();

// Creates a new empty file (readable and writable by the owner only) and
// returns its full path. The caller deletes it. Raises EFileError with the
// system's reason when no file can be created there.
std::string CreateTempFileName();

// Creates a new directory (owner only) and returns its full path. The caller
// removes it. Raises EFileError with the system's reason when it cannot be
// made.
std::string CreateTempDirectory();

// Size of the file `file_name` in bytes, low 32 bits only, as the archive
// format counts; 0 when it does not exist or is not a regular file.
uint32_t FileSizeOf(const std::string& file_name);

// A file stream on a fresh file from CreateTempFileName, opened for reading
// and writing. The name is gone from the folder once the stream is open (a
// crash leaves no file); destroying the stream frees the data. Raises
// EFileError when no file can be created.
class TTempFileStream : public TFileStream {
 public:
  TTempFileStream();
  ~TTempFileStream() override;

 private:
  explicit TTempFileStream(const std::string& file_name);
};

}  // namespace corvid::zip
