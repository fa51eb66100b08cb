#include "zip/buffer_stream.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <numeric>
#include <string>
#include <vector>

#include "zip/errors.h"
#include "zip/temp_files.h"

namespace corvid::zip {
namespace {

std::vector<uint8_t> Counting(size_t n) {
  std::vector<uint8_t> bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + i / 251);
  return bytes;
}

// A memory stream that counts the calls reaching it and can refuse bytes
// past a limit, as a full disk would.
class ProbeStream : public TMemoryStream {
 public:
  using TMemoryStream::TMemoryStream;
  int64_t Read(void* buffer, int64_t count) override {
    ++reads;
    return TMemoryStream::Read(buffer, count);
  }
  int64_t Write(const void* buffer, int64_t count) override {
    int64_t room = std::max<int64_t>(0, write_limit - Position());
    return TMemoryStream::Write(buffer, std::min(count, room));
  }
  int reads = 0;
  int64_t write_limit = INT64_MAX;
};

std::string MessageOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const EStreamError& e) {
    return e.what();
  }
  return "(nothing raised)";
}

TEST(BufferStreamTest, SeekFromEndIgnoresTheSignOfTheOffset) {
  ProbeStream wrapped(Counting(100));
  TS_BufferStream stream(wrapped);
  EXPECT_EQ(stream.Seek(-22, soFromEnd), 78);
  EXPECT_EQ(stream.Seek(22, soFromEnd), 78);
  uint8_t byte;
  ASSERT_EQ(stream.Read(&byte, 1), 1);
  EXPECT_EQ(byte, Counting(100)[78]);
}

TEST(BufferStreamTest, SeekFromEndCountsPendingBytesAsPartOfTheSize) {
  ProbeStream wrapped;
  TS_BufferStream stream(wrapped);
  std::vector<uint8_t> data = Counting(100);
  stream.WriteBuffer(data.data(), 100);
  EXPECT_EQ(wrapped.Size(), 0);  // still buffered
  EXPECT_EQ(stream.Size(), 100);
  EXPECT_EQ(stream.Seek(10, soFromEnd), 90);
  uint8_t byte;
  ASSERT_EQ(stream.Read(&byte, 1), 1);
  EXPECT_EQ(byte, data[90]);
}

TEST(BufferStreamTest, PendingWritesReachTheWrappedStreamBeforeItMoves) {
  ProbeStream wrapped;
  TS_BufferStream stream(wrapped);
  std::vector<uint8_t> data = Counting(10000);
  stream.WriteBuffer(data.data(), 10000);
  EXPECT_EQ(stream.Seek(0, soFromBeginning), 0);
  std::vector<uint8_t> back(10000);
  EXPECT_EQ(stream.Read(back.data(), 10000), 10000);
  EXPECT_EQ(back, data);
  EXPECT_EQ(wrapped.Bytes(), data);
}

TEST(BufferStreamTest, WriteAfterReadLandsAtTheLogicalPosition) {
  ProbeStream wrapped(Counting(20000));
  {
    TS_BufferStream stream(wrapped);
    uint8_t head[10];
    stream.ReadBuffer(head, 10);  // the buffer read ahead 8192 bytes
    const uint8_t patch[] = {0xAA, 0xBB, 0xCC};
    stream.WriteBuffer(patch, 3);
    EXPECT_EQ(stream.Position(), 13);
    uint8_t next;
    stream.ReadBuffer(&next, 1);  // the write is flushed before reading on
    EXPECT_EQ(next, Counting(20000)[13]);
  }
  std::vector<uint8_t> expected = Counting(20000);
  expected[10] = 0xAA;
  expected[11] = 0xBB;
  expected[12] = 0xCC;
  EXPECT_EQ(wrapped.Bytes(), expected);
}

TEST(BufferStreamTest, SmallReadsCostOneWrappedReadPerBuffer) {
  ProbeStream wrapped(Counting(3 * 8192));
  TS_BufferStream stream(wrapped);
  std::vector<int64_t> fills;
  stream.OnBufferFilled = [&](int64_t bytes) { fills.push_back(bytes); };
  uint8_t byte;
  for (int i = 0; i < 8192 + 1; ++i) stream.ReadBuffer(&byte, 1);
  EXPECT_EQ(wrapped.reads, 2);
  EXPECT_EQ(fills, (std::vector<int64_t>{8192, 8192}));
  EXPECT_EQ(stream.Position(), 8193);
}

TEST(BufferStreamTest, ReadStopsShortAtTheEndOfData) {
  ProbeStream wrapped(Counting(5000));
  TS_BufferStream stream(wrapped);
  std::vector<uint8_t> out(9000);
  EXPECT_EQ(stream.Read(out.data(), 9000), 5000);
  EXPECT_EQ(stream.Read(out.data(), 1), 0);
  EXPECT_EQ(stream.Position(), 5000);
}

TEST(BufferStreamTest, FullBuffersAreWrittenOutWhole) {
  ProbeStream wrapped;
  TS_BufferStream stream(wrapped);
  std::vector<int64_t> flushes;
  stream.OnBufferFlushed = [&](int64_t bytes) { flushes.push_back(bytes); };
  std::vector<uint8_t> data = Counting(20000);
  for (size_t i = 0; i < data.size(); i += 100) stream.WriteBuffer(data.data() + i, 100);
  EXPECT_EQ(flushes, (std::vector<int64_t>{8192, 8192}));
  EXPECT_EQ(wrapped.Size(), 16384);
  stream.Flush();
  EXPECT_EQ(wrapped.Bytes(), data);
}

TEST(BufferStreamTest, DestructionWritesOutPendingBytes) {
  ProbeStream wrapped;
  std::vector<uint8_t> data = Counting(300);
  {
    TS_BufferStream stream(wrapped);
    stream.WriteBuffer(data.data(), 300);
  }
  EXPECT_EQ(wrapped.Bytes(), data);
}

TEST(BufferStreamTest, PutBackIsReadNextAndMovesThePositionBack) {
  ProbeStream wrapped(Counting(100));
  TS_BufferStream stream(wrapped);
  uint8_t three[3];
  stream.ReadBuffer(three, 3);
  stream.PutBack('X');
  EXPECT_EQ(stream.Position(), 2);
  uint8_t next[2];
  stream.ReadBuffer(next, 2);
  EXPECT_EQ(next[0], 'X');
  EXPECT_EQ(next[1], Counting(100)[3]);
}

TEST(BufferStreamTest, FailuresCarryTheirStoredMessages) {
  ProbeStream wrapped(Counting(100));
  TS_BufferStream stream(wrapped);
  EXPECT_EQ(MessageOf([&] { stream.Seek(0, 7); }), "\x18" "Invalid seek origin (7)");
  EXPECT_EQ(MessageOf([&] { stream.PutBack(1); }), "\x10" "Putback overflow");  // nothing read yet

  uint8_t byte;
  stream.ReadBuffer(&byte, 1);
  stream.PutBack(byte);
  EXPECT_EQ(MessageOf([&] { stream.PutBack(byte); }), "\x10" "Putback overflow");  // start of buffer

  // Stepping back while writing would drop a pending byte.
  stream.Seek(0, soFromEnd);
  stream.WriteBuffer(&byte, 1);
  EXPECT_EQ(MessageOf([&] { stream.PutBack(byte); }), "\x10" "Putback overflow");
}

TEST(BufferStreamTest, ShortWritesAreReportedAndNothingIsDropped) {
  ProbeStream wrapped;
  wrapped.write_limit = 100;
  std::vector<uint8_t> data = Counting(9000);

  {
    TS_BufferStream stream(wrapped);
    // The first full buffer meets the limit: the call stops there.
    EXPECT_EQ(stream.Write(data.data(), 9000), 8192);
    EXPECT_EQ(stream.Position(), 8192);
    EXPECT_EQ(MessageOf([&] { stream.Seek(0, soFromBeginning); }), "\x0A" "Seek error");
    EXPECT_EQ(MessageOf([&] { stream.Flush(); }), "Stream write error");

    // Once there is room again the refused bytes follow, in order.
    wrapped.write_limit = INT64_MAX;
    stream.Flush();
    EXPECT_EQ(stream.Position(), 8192);
  }
  EXPECT_EQ(wrapped.Bytes(), std::vector<uint8_t>(data.begin(), data.begin() + 8192));
}

TEST(BufferStreamTest, BufferSizeComesFromTheModuleSetting) {
  ASSERT_EQ(BufferStreamSize(), 8192);
  SetBufferStreamSize(16);
  ProbeStream wrapped(Counting(100));
  TS_BufferStream stream(wrapped);
  SetBufferStreamSize(8192);
  EXPECT_EQ(stream.BufferSize(), 16);
  std::vector<uint8_t> out(100);
  stream.ReadBuffer(out.data(), 100);
  EXPECT_EQ(wrapped.reads, 7);  // 6 full buffers and 4 bytes
  EXPECT_EQ(out, Counting(100));
}

class LFNFileStreamTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::path(SystemTempDirectory()) / "corvid-lfn-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::filesystem::path dir_;
};

TEST_F(LFNFileStreamTest, CreatedFileHoldsEverythingOnceClosed) {
  std::string name = (dir_ / "a long name.bin").string();
  std::vector<uint8_t> data = Counting(10000);
  {
    TLFNFileStream out(name, fmCreate);
    EXPECT_EQ(out.FileName(), name);
    out.WriteBuffer(data.data(), 10000);
    // The last 1808 bytes are only written out when the stream goes.
  }
  TLFNFileStream in(name, fmOpenRead | fmShareDenyWrite);
  EXPECT_EQ(in.Size(), 10000);
  std::vector<uint8_t> back(10000);
  in.ReadBuffer(back.data(), 10000);
  EXPECT_EQ(back, data);
}

TEST_F(LFNFileStreamTest, MissingFileRaisesFileError) {
  EXPECT_THROW(TLFNFileStream((dir_ / "absent").string(), fmOpenRead), EFileError);
}

}  // namespace
}  // namespace corvid::zip
