#include "compress/attachment_stream.h"

#include <algorithm>
#include <string>

#include "platform/mapi/error_text.h"
#include "zip/errors.h"

namespace corvid::compress {

using namespace mapi;

namespace {

// IStream moves at most a ULONG at a time; stay well inside it.
constexpr int64_t kMaxChunk = 1 << 30;

[[noreturn]] void Fail(const char* what, HRESULT result) {
  throw zip::EStreamError(std::string(what) + " of the attachment data failed: " + ErrorText(result));
}

}  // namespace

TAttachmentStream::TAttachmentStream(IStream* stream) : stream_(stream) { stream_->AddRef(); }

TAttachmentStream::~TAttachmentStream() { stream_->Release(); }

int64_t TAttachmentStream::Read(void* buffer, int64_t count) {
  auto* out = static_cast<uint8_t*>(buffer);
  int64_t total = 0;
  while (total < count) {
    const ULONG want = static_cast<ULONG>(std::min(count - total, kMaxChunk));
    ULONG got = 0;
    const HRESULT result = stream_->Read(out + total, want, &got);
    if (FAILED(result)) Fail("Reading", result);
    if (got == 0) break;
    total += got;
  }
  return total;
}

int64_t TAttachmentStream::Write(const void* buffer, int64_t count) {
  const auto* in = static_cast<const uint8_t*>(buffer);
  int64_t total = 0;
  while (total < count) {
    const ULONG want = static_cast<ULONG>(std::min(count - total, kMaxChunk));
    ULONG put = 0;
    const HRESULT result = stream_->Write(in + total, want, &put);
    if (FAILED(result)) Fail("Writing", result);
    if (put == 0) break;
    total += put;
  }
  return total;
}

int64_t TAttachmentStream::Seek(int64_t offset, int origin) {
  DWORD mapi_origin = STREAM_SEEK_SET;
  if (origin == zip::soFromCurrent) mapi_origin = STREAM_SEEK_CUR;
  if (origin == zip::soFromEnd) mapi_origin = STREAM_SEEK_END;
  LARGE_INTEGER move;
  move.QuadPart = offset;
  ULARGE_INTEGER position;
  position.QuadPart = 0;
  const HRESULT result = stream_->Seek(move, mapi_origin, &position);
  if (FAILED(result)) Fail("Seeking", result);
  return static_cast<int64_t>(position.QuadPart);
}

int64_t TAttachmentStream::Size() {
  STATSTG stat{};
  const HRESULT result = stream_->Stat(&stat, STATFLAG_NONAME);
  if (FAILED(result)) Fail("Asking the size", result);
  return static_cast<int64_t>(stat.cbSize.QuadPart);
}

void TAttachmentStream::SetSize(int64_t size) {
  ULARGE_INTEGER new_size;
  new_size.QuadPart = static_cast<uint64_t>(size);
  const HRESULT result = stream_->SetSize(new_size);
  if (FAILED(result)) Fail("Resizing", result);
}

}  // namespace corvid::compress
