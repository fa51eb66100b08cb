// The data of a MAPI attachment seen as an ordinary seekable stream, so the
// ZIP engine reads and writes attachments as it reads and writes files.
//
// The adapter holds one reference to the IStream for its life. A failing
// MAPI call raises zip::EStreamError: a read error must never look like the
// end of the data, or an archive would silently hold a cut-off file. One
// thread at a time, like every stream.
#pragma once

#include <cstdint>

#include "platform/mapi/mapi_interfaces.h"
#include "zip/stream.h"

namespace corvid::compress {

class TAttachmentStream : public zip::TStream {
 public:
  // Adds a reference to `stream` (not null); releases it on destruction.
  explicit TAttachmentStream(mapi::IStream* stream);
  ~TAttachmentStream() override;

  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, int origin) override;
  // From IStream::Stat; raises EStreamError when Stat fails.
  int64_t Size() override;
  void SetSize(int64_t size) override;

 private:
  mapi::IStream* stream_;
};

}  // namespace corvid::compress
