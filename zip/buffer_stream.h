// The buffered stream every archive and target file is reached through, and
// its file-backed form.
//
// The engine reads headers field by field and scans damaged archives one byte
// at a time; going through one buffer turns those into one system call per
// buffer. Reading and writing share the buffer: switching direction writes
// out or drops it first, so the wrapped stream always sees the bytes in the
// order the caller meant them.
//
// A stream is used by one thread at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "zip/stream.h"

namespace corvid::zip {

// Size in bytes of the buffer of every TS_BufferStream created from now on
// (8192 at start). Values below 1 are taken as 1. Safe to call from any thread;
// streams that exist keep the size they were made with.
int BufferStreamSize();
void SetBufferStreamSize(int size);

// What the buffer currently holds.
enum class TBufferState : int {
  Unknown = 0,  // nothing
  Reading = 1,  // bytes read ahead from the wrapped stream
  Writing = 2,  // bytes not yet written to the wrapped stream
};

class TS_BufferStream : public TStream {
 public:
  // Wraps `stream`, which must outlive this object and must not be moved or
  // written by anyone else meanwhile: the logical position is derived from
  // the wrapped stream's position as of the last call that moved it here.
  explicit TS_BufferStream(TStream& stream);
  // Writes out pending bytes. A failure cannot be reported from here: call
  // Flush first where a short write must be noticed.
  ~TS_BufferStream() override;

  // Reads up to `count` bytes; fewer only at the end of the wrapped data.
  int64_t Read(void* buffer, int64_t count) override;
  // Takes up to `count` bytes. Fewer only when writing out a full buffer was
  // short; the bytes the wrapped stream refused stay pending.
  int64_t Write(const void* buffer, int64_t count) override;
  // Origin soFromEnd counts back from the end whatever the sign of `offset`,
  // so Seek(-22, soFromEnd) and Seek(22, soFromEnd) agree. Raises EStreamError
  // for an unknown origin and when pending bytes cannot be written out.
  // Returns the new position, or what the wrapped stream's Seek reported when
  // it failed (TFileStream: -1, for a target before the start).
  int64_t Seek(int64_t offset, int origin) override;
  // The wrapped stream's size, or more while written bytes are pending.
  int64_t Size() override;
  // Writes out pending bytes, then resizes the wrapped stream.
  void SetSize(int64_t size) override;

  // Returns `byte` to the stream: the next Read delivers it first. Only
  // possible while reading and not at the start of the buffer; otherwise
  // raises EStreamError "Putback overflow".
  void PutBack(uint8_t byte);
  // Writes out pending bytes. Raises EStreamError "Stream write error" when
  // the wrapped stream takes fewer; those bytes stay pending.
  void Flush();

  TBufferState State() const { return state_; }
  int BufferSize() const { return static_cast<int>(buffer_.size()); }

  // Raised after each refill with the number of bytes read into the buffer.
  std::function<void(int64_t bytes)> OnBufferFilled;
  // Raised after each write-out with the number of bytes the wrapped stream
  // took.
  std::function<void(int64_t bytes)> OnBufferFlushed;

 private:
  int64_t LogicalPosition() const;
  // Writes out the pending bytes; false when the wrapped stream took fewer.
  bool WriteOut();
  // Forgets read-ahead bytes, moving the wrapped stream back to where the
  // caller is.
  void DropReadAhead();

  TStream* wrapped_;
  int64_t wrapped_position_;  // wrapped stream's position, tracked to save syscalls
  std::vector<uint8_t> buffer_;
  size_t pointer_ = 0;  // next byte to read, or end of pending bytes when writing
  size_t end_ = 0;      // end of valid read-ahead bytes
  TBufferState state_ = TBufferState::Unknown;
};

namespace internal {
// Holds the file of a TLFNFileStream, so that it is made before and freed
// after the buffered stream that wraps it.
struct OwnedFile {
  std::unique_ptr<TFileStream> file;
};
}  // namespace internal

// A buffered stream over a file it opens by name and owns. `mode` is one of
// fmOpenRead, fmOpenRead | fmShareDenyWrite, fmOpenRead | fmShareDenyNone,
// fmOpenReadWrite or fmCreate (replaces the file). Raises EFileError naming
// the file and the system's reason when it cannot be opened. Pending bytes
// are written out before the file is closed.
class TLFNFileStream : private internal::OwnedFile, public TS_BufferStream {
 public:
  TLFNFileStream(const std::string& file_name, int mode);
  ~TLFNFileStream() override;

  const std::string& FileName() const;
};

}  // namespace corvid::zip
