// The reader on hostile archives: load the directory (recovery scan included),
// then extract every entry to a stream and check a password on the encrypted
// ones. Nothing may crash, hang or write past an entry's declared size.
#include <cstdint>
#include <vector>

#include "base/exception.h"
#include "zip/stream.h"
#include "zip/zip_reader.h"

using namespace corvid::zip;

namespace {

// Counts what it is given and keeps nothing.
class NullStream : public TStream {
 public:
  int64_t Read(void*, int64_t) override { return 0; }
  int64_t Write(const void*, int64_t count) override {
    written += count;
    return count;
  }
  int64_t Seek(int64_t offset, int origin) override {
    return origin == soFromBeginning ? offset : written;
  }
  int64_t written = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TZipReader zip;
  zip.IncompleteZipMode =
      (size & 1) ? TIncompleteZipMode::izAssumeBad : TIncompleteZipMode::izAssumeMulti;
  zip.SetArchiveStream(new TMemoryStream(std::vector<uint8_t>(data, data + size)));
  try {
    zip.ReadZip();
  } catch (const corvid::Exception&) {
    return 0;
  }
  zip.Password = "password";
  for (int i = 0; i < zip.Count(); ++i) {
    // Declared sizes bound the work; skip the ones too large to finish fast.
    if (zip.UncompressedSize(i) > (64u << 20)) continue;
    try {
      NullStream sink;
      zip.UnZipToStream(sink, zip.FullName(i));
      if (zip.IsEncrypted(i)) zip.CheckPassword(i);
      (void)zip.FileCommentOf(i);
    } catch (const corvid::Exception&) {
    }
  }
  (void)zip.ZipComment();
  return 0;
}
