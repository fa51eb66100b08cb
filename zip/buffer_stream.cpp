#include "zip/buffer_stream.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>

#include "zip/errors.h"

namespace corvid::zip {

namespace {

std::atomic<int> g_buffer_size{8192};

// These three messages are stored with a leading length character, and
// callers have always received them that way.
constexpr char kMsgSeekError[] = "\x0A" "Seek error";
constexpr char kMsgInvalidOrigin[] = "\x18" "Invalid seek origin (";
constexpr char kMsgPutbackOverflow[] = "\x10" "Putback overflow";

}  // namespace

int BufferStreamSize() { return g_buffer_size.load(std::memory_order_relaxed); }

void SetBufferStreamSize(int size) { g_buffer_size.store(std::max(size, 1), std::memory_order_relaxed); }

TS_BufferStream::TS_BufferStream(TStream& stream)
    : wrapped_(&stream),
      wrapped_position_(stream.Position()),
      buffer_(static_cast<size_t>(BufferStreamSize())) {}

TS_BufferStream::~TS_BufferStream() {
  try {
    WriteOut();
  } catch (...) {
    // A destructor cannot report; callers that care call Flush.
  }
}

int64_t TS_BufferStream::LogicalPosition() const {
  switch (state_) {
    case TBufferState::Reading:
      return wrapped_position_ - static_cast<int64_t>(end_ - pointer_);
    case TBufferState::Writing:
      return wrapped_position_ + static_cast<int64_t>(pointer_);
    default:
      return wrapped_position_;
  }
}

bool TS_BufferStream::WriteOut() {
  if (state_ != TBufferState::Writing || pointer_ == 0) return true;
  int64_t taken = std::max<int64_t>(0, wrapped_->Write(buffer_.data(), static_cast<int64_t>(pointer_)));
  wrapped_position_ += taken;
  bool whole = taken == static_cast<int64_t>(pointer_);
  if (whole) {
    pointer_ = 0;
    state_ = TBufferState::Unknown;
  } else {
    // Keep what the wrapped stream refused, so that nothing is dropped
    // silently: a later flush retries it or reports the failure.
    std::memmove(buffer_.data(), buffer_.data() + taken, pointer_ - static_cast<size_t>(taken));
    pointer_ -= static_cast<size_t>(taken);
  }
  if (OnBufferFlushed) OnBufferFlushed(taken);
  return whole;
}

void TS_BufferStream::DropReadAhead() {
  if (state_ != TBufferState::Reading) return;
  int64_t logical = LogicalPosition();
  if (logical != wrapped_position_) wrapped_position_ = wrapped_->Seek(logical, soFromBeginning);
  pointer_ = end_ = 0;
  state_ = TBufferState::Unknown;
}

void TS_BufferStream::Flush() {
  if (!WriteOut()) throw EStreamError("Stream write error");
}

int64_t TS_BufferStream::Read(void* buffer, int64_t count) {
  if (state_ == TBufferState::Writing) Flush();
  auto* out = static_cast<uint8_t*>(buffer);
  int64_t copied = 0;
  while (copied < count) {
    if (state_ != TBufferState::Reading || pointer_ == end_) {
      int64_t got = wrapped_->Read(buffer_.data(), static_cast<int64_t>(buffer_.size()));
      if (got <= 0) break;
      wrapped_position_ += got;
      pointer_ = 0;
      end_ = static_cast<size_t>(got);
      state_ = TBufferState::Reading;
      if (OnBufferFilled) OnBufferFilled(got);
    }
    size_t n = static_cast<size_t>(std::min<int64_t>(count - copied, static_cast<int64_t>(end_ - pointer_)));
    std::memcpy(out + copied, buffer_.data() + pointer_, n);
    pointer_ += n;
    copied += static_cast<int64_t>(n);
  }
  return copied;
}

int64_t TS_BufferStream::Write(const void* buffer, int64_t count) {
  DropReadAhead();
  auto* in = static_cast<const uint8_t*>(buffer);
  int64_t copied = 0;
  while (copied < count) {
    size_t n = static_cast<size_t>(
        std::min<int64_t>(count - copied, static_cast<int64_t>(buffer_.size() - pointer_)));
    std::memcpy(buffer_.data() + pointer_, in + copied, n);
    pointer_ += n;
    copied += static_cast<int64_t>(n);
    if (pointer_ > 0) state_ = TBufferState::Writing;
    if (pointer_ == buffer_.size() && !WriteOut()) break;
  }
  return copied;
}

int64_t TS_BufferStream::Seek(int64_t offset, int origin) {
  int64_t logical = LogicalPosition();
  int64_t target;
  switch (origin) {
    case soFromBeginning: target = offset; break;
    case soFromCurrent: target = logical + offset; break;
    case soFromEnd:
      target = std::max(wrapped_->Size(), logical) - (offset < 0 ? -offset : offset);
      break;
    default: throw EStreamError(kMsgInvalidOrigin + std::to_string(origin) + ")");
  }
  if (target == logical) return logical;
  if (!WriteOut()) throw EStreamError(kMsgSeekError);
  int64_t reached = wrapped_->Seek(target, soFromBeginning);
  // A failed seek leaves the wrapped stream where it was, wherever that is.
  wrapped_position_ = reached >= 0 ? reached : wrapped_->Position();
  pointer_ = end_ = 0;
  state_ = TBufferState::Unknown;
  return reached;
}

int64_t TS_BufferStream::Size() {
  int64_t wrapped_size = wrapped_->Size();
  return state_ == TBufferState::Writing ? std::max(wrapped_size, LogicalPosition()) : wrapped_size;
}

void TS_BufferStream::SetSize(int64_t size) {
  Flush();
  DropReadAhead();
  wrapped_->SetSize(size);
  wrapped_position_ = wrapped_->Position();
}

void TS_BufferStream::PutBack(uint8_t byte) {
  // While writing, stepping back would discard a pending byte; while empty
  // there is nothing to step back into.
  if (state_ != TBufferState::Reading || pointer_ == 0) throw EStreamError(kMsgPutbackOverflow);
  buffer_[--pointer_] = byte;
}

// --- TLFNFileStream ---------------------------------------------------------

TLFNFileStream::TLFNFileStream(const std::string& file_name, int mode)
    : internal::OwnedFile{std::make_unique<TFileStream>(file_name, mode)}, TS_BufferStream(*file) {}

TLFNFileStream::~TLFNFileStream() = default;

const std::string& TLFNFileStream::FileName() const { return file->FileName(); }

}  // namespace corvid::zip
