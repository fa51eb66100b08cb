#include "zip/object_list.h"

#include <cmath>
#include <cstdio>

#include "zip/text.h"
#include "zip/zip_header.h"

namespace corvid::zip {

void ThrowListIndexError(int64_t index) {
  char message[64];
  std::snprintf(message, sizeof message, "List index out of bounds (%lld)",
                static_cast<long long>(index));
  throw EListError(message);
}

int CompressionRate(const TZipHeaderInfo& entry) {
  if (entry.UncompressedSize < 1) return 0;
  double rate = std::round(static_cast<double>(entry.CompressedSize) * 100.0 /
                           static_cast<double>(entry.UncompressedSize));
  return rate > 100 ? 100 : static_cast<int>(rate);
}

int TSortedZip::Compare(const TZipHeaderInfo& a, const TZipHeaderInfo& b) const {
  // The "larger first" modes never report equality: an item equal to one in
  // the list (the left side) sorts after it, so equal keys keep their arrival
  // order among themselves.
  switch (mode_) {
    case TZipSortMode::ByName:
      return CompareTextNoCase(a.FullName(), b.FullName());
    case TZipSortMode::ByFileName:
      return CompareTextNoCase(a.FileName(), b.FileName());
    case TZipSortMode::ByDirectoryName:
      return CompareTextNoCase(a.Directory(), b.Directory());
    case TZipSortMode::ByDate:
      // A DOS stamp's bit order is year, month, day, hour, minute, second,
      // so clamped stamps compare like the times they stand for.
      return ClampDosDateTime(a.LastModFileTimeDate) >= ClampDosDateTime(b.LastModFileTimeDate)
                 ? -1 : 1;
    case TZipSortMode::ByCompressedSize:
      return a.CompressedSize >= b.CompressedSize ? -1 : 1;
    case TZipSortMode::ByUnCompressedSize:
      return a.UncompressedSize >= b.UncompressedSize ? -1 : 1;
    case TZipSortMode::ByRate: {
      int ra = CompressionRate(a);
      int rb = CompressionRate(b);
      return ra > rb ? -1 : ra < rb ? 1 : 0;
    }
    case TZipSortMode::ByNone:
      if (a.DiskNumberStart != b.DiskNumberStart) return a.DiskNumberStart < b.DiskNumberStart ? -1 : 1;
      if (a.RelativeOffset != b.RelativeOffset) return a.RelativeOffset < b.RelativeOffset ? -1 : 1;
      return 0;
  }
  return 0;
}

}  // namespace corvid::zip
