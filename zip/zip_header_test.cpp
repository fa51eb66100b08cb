// The directory model: DOS stamps, locating the end record, stored names and
// the sorted lists that hold the entries.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testutil/zip_builder.h"
#include "zip/errors.h"
#include "zip/object_list.h"
#include "zip/stream.h"
#include "zip/zip_format.h"
#include "zip/zip_header.h"
#include "zip/zip_reader.h"

namespace corvid::zip {
namespace {

using testutil::Bytes;
using testutil::ZipBuilder;

constexpr uint32_t Dos(int year, int month, int day, int hour, int minute, int seconds2) {
  return static_cast<uint32_t>(seconds2) | static_cast<uint32_t>(minute) << 5 |
         static_cast<uint32_t>(hour) << 11 | static_cast<uint32_t>(day) << 16 |
         static_cast<uint32_t>(month) << 21 | static_cast<uint32_t>(year - 1980) << 25;
}

template <typename E, typename F>
void ExpectThrowWithMessage(F&& f, const std::string& message) {
  try {
    f();
    ADD_FAILURE() << "nothing raised; expected \"" << message << "\"";
  } catch (const E& e) {
    EXPECT_EQ(e.what(), message);
  }
}

// --- DOS stamps -------------------------------------------------------------

TEST(DosDateTime, ClampBringsEveryComponentIntoRange) {
  struct Case {
    uint32_t stored;
    uint32_t expected;
  } cases[] = {
      {Dos(2000, 13, 0, 25, 61, 31), Dos(2000, 12, 1, 24, 59, 29)},  // 25:61:62 on 2000-13-00
      {Dos(2021, 6, 15, 12, 34, 28), Dos(2021, 6, 15, 12, 34, 28)},  // valid: bit for bit
      {Dos(2000, 0, 31, 31, 0, 0), Dos(2000, 1, 31, 24, 0, 0)},
      {Dos(2107, 5, 5, 5, 5, 5), Dos(2099, 5, 5, 5, 5, 5)},          // past 2099
      {0u, Dos(1980, 1, 1, 0, 0, 0)},                                // all zero: month and day 0
      {Dos(2099, 12, 31, 23, 59, 29), Dos(2099, 12, 31, 23, 59, 29)},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ClampDosDateTime(c.stored), c.expected) << std::hex << c.stored;
  }
}

TEST(DosDateTime, HeadersAreClampedOnReadAndTimesConvertBothWays) {
  uint8_t record[central_header::kSize] = {};
  PutU32(record, central_header::kSignature);
  PutU32(record + 12, Dos(2000, 13, 0, 25, 61, 31));
  TZipHeaderInfo entry;
  entry.ReadCentralFields(record);
  EXPECT_EQ(entry.LastModFileTimeDate, Dos(2000, 12, 1, 24, 59, 29));

  uint32_t stamp = Dos(2021, 6, 15, 12, 34, 28);
  EXPECT_EQ(UnixToDosDateTime(DosDateTimeToUnix(stamp)), stamp);
  // Before 1980 there is no DOS stamp: the earliest one stands in.
  EXPECT_EQ(UnixToDosDateTime(0), Dos(1980, 1, 1, 0, 0, 0));
}

// --- The end record -----------------------------------------------------------

Bytes ArchiveWithComment(size_t comment_length) {
  ZipBuilder b;
  b.Stored("a.txt", testutil::ToBytes("alpha"));
  b.comment.assign(comment_length, 'c');
  return b.Build();
}

TEST(FindEndCentral, SearchesOnlyTheLast65528Bytes) {
  struct Case {
    size_t comment;
    bool found;
  } cases[] = {{0, true}, {65506, true}, {65507, false}};
  for (const Case& c : cases) {
    TMemoryStream archive(ArchiveWithComment(c.comment));
    TEndCentral end;
    EXPECT_EQ(FindEndCentral(archive, end), c.found) << c.comment;
    if (c.found) {
      EXPECT_EQ(end.TotalEntries, 1);
      EXPECT_EQ(end.ZipCommentLength, c.comment);
      EXPECT_EQ(end.ZipCommentPos, archive.Size() - static_cast<int64_t>(c.comment));
      EXPECT_FALSE(end.ZipComment.has_value());  // not read here
    }
  }
  for (size_t size : {0, 21}) {
    TMemoryStream tiny(Bytes(size, 'P'));
    TEndCentral end;
    EXPECT_FALSE(FindEndCentral(tiny, end)) << size;
  }
}

TEST(FindEndCentral, TheRecordNearestTheEndWins) {
  // A second end record hidden in the comment: it is the later one.
  Bytes fake;
  ZipBuilder::Put32(fake, end_record::kSignature);
  for (uint16_t v : {0, 0, 7, 7}) ZipBuilder::Put16(fake, v);
  ZipBuilder::Put32(fake, 1234);
  ZipBuilder::Put32(fake, 5678);
  ZipBuilder::Put16(fake, 0);
  ZipBuilder b;
  b.Stored("a.txt", testutil::ToBytes("alpha"));
  b.comment = "note " + std::string(fake.begin(), fake.end());
  TMemoryStream archive(b.Build());
  TEndCentral end;
  ASSERT_TRUE(FindEndCentral(archive, end));
  EXPECT_EQ(end.TotalEntries, 7);
  EXPECT_EQ(end.CentralOffset, 5678u);
}

// --- Names --------------------------------------------------------------------

std::string UnicodePathExtra(const std::string& legacy, const std::string& utf8, uint32_t crc_delta = 0) {
  Bytes extra;
  ZipBuilder::Put16(extra, unicode_path_extra::kId);
  ZipBuilder::Put16(extra, static_cast<uint16_t>(5 + utf8.size()));
  extra.push_back(1);
  ZipBuilder::Put32(extra, testutil::CrcOf(testutil::ToBytes(legacy)) + crc_delta);
  extra.insert(extra.end(), utf8.begin(), utf8.end());
  return std::string(extra.begin(), extra.end());
}

TEST(StoredNames, DecodeByFlagExtraFieldOrCodePage437) {
  struct Case {
    const char* what;
    std::string raw;
    uint16_t flags;
    std::string extra;
    std::string expected;
  } cases[] = {
      {"slashes become backslashes", "dir/sub/a.txt", 0, "", "dir\\sub\\a.txt"},
      {"code page 437", "dir/\x81" "ber.txt", 0, "", "dir\\über.txt"},
      {"flagged UTF-8", "привет.txt", kFlagUtf8Name, "", "привет.txt"},
      {"unflagged UTF-8", "日本/名前.txt", 0, "", "日本\\名前.txt"},
      {"flag on bytes that are not UTF-8", "\x81x.txt", kFlagUtf8Name, "", "üx.txt"},
      {"Unicode path field", "a?.txt", 0, UnicodePathExtra("a?.txt", "añ.txt"), "añ.txt"},
      {"Unicode path field of another name", "a\xA4.txt", 0, UnicodePathExtra("a?.txt", "aX.txt"),
       "añ.txt"},
      {"Unicode path field with a wrong CRC", "a\xA4.txt", 0,
       UnicodePathExtra("a\xA4.txt", "aX.txt", 1), "añ.txt"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DecodeStoredName(c.raw, c.flags, c.extra), c.expected) << c.what;
  }
}

TEST(StoredNames, EncodingAndNameLengthFollowTheStoredForm) {
  bool utf8 = true;
  EXPECT_EQ(EncodeStoredName("dir\\plain.txt", &utf8), "dir/plain.txt");
  EXPECT_FALSE(utf8);
  // Beyond ASCII, UTF-8 even where code page 437 could hold the name.
  EXPECT_EQ(EncodeStoredName("dir\\über.txt", &utf8), "dir/über.txt");
  EXPECT_TRUE(utf8);
  EXPECT_EQ(EncodeStoredName("dir\\日本.txt", &utf8), "dir/日本.txt");
  EXPECT_TRUE(utf8);

  TZipHeaderInfo entry;
  entry.SetFullName("dir\\sub\\über.txt");
  EXPECT_EQ(entry.Directory(), "dir\\sub\\");
  EXPECT_EQ(entry.FileName(), "über.txt");
  EXPECT_EQ(entry.FilenameLength, 17);  // ü is two UTF-8 bytes
  entry.SetDirectory("other");
  EXPECT_EQ(entry.FullName(), "other\\über.txt");
  entry.SetFileName("日本.txt");
  EXPECT_EQ(entry.FilenameLength, 6 + 10);  // UTF-8 bytes
}

// --- Sorted lists ---------------------------------------------------------------

struct Item {
  const char* name;
  uint32_t date;
  uint32_t packed;
  uint32_t size;
  uint32_t offset;
};

TEST(SortedZip, EveryModeOrdersAsDocumented) {
  const Item items[] = {
      {"b\\Zeta.txt", Dos(2020, 1, 1, 0, 0, 0), 50, 100, 300},
      {"a\\alpha.txt", Dos(2022, 1, 1, 0, 0, 0), 10, 100, 100},
      {"C\\beta.txt", Dos(2020, 1, 1, 0, 0, 0), 90, 90, 0},
      {"gamma.txt", Dos(2021, 1, 1, 0, 0, 0), 0, 0, 200},
  };
  struct Case {
    TZipSortMode mode;
    std::vector<std::string> order;
  } cases[] = {
      {TZipSortMode::ByName, {"a\\alpha.txt", "b\\Zeta.txt", "C\\beta.txt", "gamma.txt"}},
      {TZipSortMode::ByFileName, {"a\\alpha.txt", "C\\beta.txt", "gamma.txt", "b\\Zeta.txt"}},
      {TZipSortMode::ByDirectoryName, {"gamma.txt", "a\\alpha.txt", "b\\Zeta.txt", "C\\beta.txt"}},
      // Newest first; equal dates keep their arrival order.
      {TZipSortMode::ByDate, {"a\\alpha.txt", "gamma.txt", "b\\Zeta.txt", "C\\beta.txt"}},
      {TZipSortMode::ByCompressedSize, {"C\\beta.txt", "b\\Zeta.txt", "a\\alpha.txt", "gamma.txt"}},
      {TZipSortMode::ByUnCompressedSize, {"b\\Zeta.txt", "a\\alpha.txt", "C\\beta.txt", "gamma.txt"}},
      // Rates 50, 10, 100 and 0 for the empty entry.
      {TZipSortMode::ByRate, {"C\\beta.txt", "b\\Zeta.txt", "a\\alpha.txt", "gamma.txt"}},
      {TZipSortMode::ByNone, {"C\\beta.txt", "a\\alpha.txt", "gamma.txt", "b\\Zeta.txt"}},
  };
  std::vector<TZipHeaderInfo> entries(std::size(items));
  for (size_t i = 0; i < std::size(items); ++i) {
    entries[i].SetFullName(items[i].name);
    entries[i].LastModFileTimeDate = items[i].date;
    entries[i].CompressedSize = items[i].packed;
    entries[i].UncompressedSize = items[i].size;
    entries[i].RelativeOffset = items[i].offset;
  }
  for (const Case& c : cases) {
    TSortedZip list(c.mode, TDuplicates::Accept, false);
    for (TZipHeaderInfo& e : entries) list.Add(&e);
    std::vector<std::string> order;
    for (TZipHeaderInfo* e : list) order.push_back(e->FullName());
    EXPECT_EQ(order, c.order) << "mode " << static_cast<int>(c.mode);
  }
}

TEST(SortedZip, DuplicatesPolicyAndPut) {
  TZipHeaderInfo first, same;
  first.RelativeOffset = same.RelativeOffset = 40;
  first.SetFullName("a.txt");
  same.SetFullName("b.txt");

  TSortedZip ignore(TZipSortMode::ByNone, TDuplicates::Ignore, false);
  EXPECT_EQ(ignore.Add(&first), 0);
  EXPECT_EQ(ignore.Add(&same), -1);
  EXPECT_EQ(ignore.Count(), 1);

  TSortedZip error(TZipSortMode::ByNone, TDuplicates::Error, false);
  error.Add(&first);
  ExpectThrowWithMessage<EListError>([&] { error.Add(&same); }, "Duplicate Object index");
  EXPECT_EQ(error.Count(), 1);
  ExpectThrowWithMessage<EListError>([&] { error.Put(0, &same); },
                                     "Cannot <Put> an Object in a sorted list!");

  TSortedZip accept(TZipSortMode::ByNone, TDuplicates::Accept, false);
  accept.Add(&first);
  accept.Add(&same);
  EXPECT_EQ(accept.Count(), 2);
}

TEST(ObjectList, IndexAndCapacityLimits) {
  static int item = 0;
  TObjectList<int> list(false);
  list.Add(&item);
  list.Add(&item);
  ExpectThrowWithMessage<EListError>([&] { list.Get(5); }, "List index out of bounds (5)");
  ExpectThrowWithMessage<EListError>([&] { list.Delete(-1); }, "List index out of bounds (-1)");

  while (list.Count() < kMaxListCapacity) list.Add(&item);
  EXPECT_EQ(list.Capacity(), kMaxListCapacity);
  try {
    list.Add(&item);
    ADD_FAILURE() << "a list took item " << list.Count();
  } catch (const EListError& e) {
    EXPECT_EQ(std::string(e.what()).rfind("List index out of bounds (", 0), 0u) << e.what();
  }
  EXPECT_EQ(list.Count(), kMaxListCapacity);
}

TEST(ObjectList, AFullSixteenBitDirectoryLoads) {
  ZipBuilder b;
  for (int i = 0; i < 65535; ++i) b.Stored(std::to_string(i), {});
  testutil::TempDir tmp;
  std::string path = tmp / "big.zip";
  testutil::WriteFileBytes(path, b.Build());
  TZipReader zip;
  zip.SetZipName(path);
  zip.ReadZip();
  EXPECT_EQ(zip.Count(), 65535);
  EXPECT_EQ(zip.FullName(65534), "65534");
  EXPECT_TRUE(zip.Repairs().empty());

  // Without an end record, a scan may find more than a directory holds.
  b.Stored("65535", {});
  b.omit_end_record = true;
  testutil::WriteFileBytes(path, b.Build());
  TZipReader scanned;
  scanned.IncompleteZipMode = TIncompleteZipMode::izAssumeBad;
  scanned.SetZipName(path);
  scanned.ReadZip();
  EXPECT_EQ(scanned.Count(), 65535);
  EXPECT_EQ(scanned.Repairs(),
            (std::vector<std::string>{"the end record is missing; entries were recovered by scanning",
                                      "more entries were found than one directory can hold; only the first 65535 "
                                      "were recovered"}));
}

}  // namespace
}  // namespace corvid::zip
