// Unshrink, unreduce and explode against archives made by independent
// encoders (testdata/legacy/README.md says what their streams exercise), and
// their behaviour on damaged input and failing inputs and outputs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "zip/decoder.h"
#include "testutil/decode_io.h"
#include "zip/errors.h"

namespace corvid::zip {
namespace {

using Bytes = std::vector<uint8_t>;
using testutil::MemoryInput;
using testutil::MemoryOutput;

const std::string kLegacyDir = std::string(CORVID_TESTDATA) + "/legacy/";

Bytes ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  EXPECT_TRUE(file.good()) << path;
  return Bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

uint32_t Le16(const Bytes& b, size_t at) { return b[at] | b[at + 1] << 8; }
uint32_t Le32(const Bytes& b, size_t at) {
  return Le16(b, at) | static_cast<uint32_t>(Le16(b, at + 2)) << 16;
}

struct Entry {
  std::string name;
  EntryCoding coding;
  Bytes data;
};

// Walks the local headers; enough for archives without data descriptors.
std::vector<Entry> ReadEntries(const std::string& archive) {
  Bytes zip = ReadFile(kLegacyDir + archive);
  std::vector<Entry> entries;
  size_t at = 0;
  while (at + 30 <= zip.size() && Le32(zip, at) == 0x04034B50) {
    Entry e;
    e.coding.bit_flag = static_cast<uint16_t>(Le16(zip, at + 6));
    e.coding.method = static_cast<uint16_t>(Le16(zip, at + 8));
    e.coding.compressed_size = Le32(zip, at + 18);
    e.coding.uncompressed_size = Le32(zip, at + 22);
    size_t name_length = Le16(zip, at + 26);
    size_t data_at = at + 30 + name_length + Le16(zip, at + 28);
    if (data_at + e.coding.compressed_size > zip.size()) break;
    e.name.assign(zip.begin() + at + 30, zip.begin() + at + 30 + name_length);
    e.data.assign(zip.begin() + data_at, zip.begin() + data_at + e.coding.compressed_size);
    at = data_at + e.coding.compressed_size;
    entries.push_back(std::move(e));
  }
  return entries;
}

Entry FindEntry(const std::string& archive, const std::string& name) {
  for (Entry& e : ReadEntries(archive)) {
    if (e.name == name) return e;
  }
  ADD_FAILURE() << name << " not in " << archive;
  return {};
}

Bytes Decode(const EntryCoding& coding, const Bytes& data, size_t chunk, DecodeWorkspace& ws) {
  MemoryInput in(data, chunk);
  MemoryOutput out(coding.uncompressed_size);
  EXPECT_EQ(DecodeEntry(coding, in, out, ws), DecodeOutcome::Done);
  return out.bytes;
}

// --- Every entry of every archive, byte for byte -------------------------

class LegacyArchiveTest : public testing::TestWithParam<const char*> {};

TEST_P(LegacyArchiveTest, EveryEntryDecodesToItsOriginal) {
  std::vector<Entry> entries = ReadEntries(GetParam());
  ASSERT_EQ(entries.size(), 5u);
  // One workspace for the whole archive, as the reader does: nothing of one
  // entry may leak into the next (the zeros before an entry's start).
  DecodeWorkspace ws;
  for (const Entry& e : entries) {
    SCOPED_TRACE(e.name);
    ASSERT_EQ(e.coding.bit_flag & 1, 0) << "encrypted entries belong to the reader tests";
    Bytes original = ReadFile(kLegacyDir + "originals/" + e.name);
    // Whole chunks, and single bytes so that every code straddles a refill.
    for (size_t chunk : {DecodeWorkspace::kInputChunk, size_t{1}}) {
      Bytes decoded = Decode(e.coding, e.data, chunk, ws);
      ASSERT_EQ(decoded.size(), original.size()) << "chunk " << chunk;
      EXPECT_TRUE(decoded == original) << "chunk " << chunk;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Legacy, LegacyArchiveTest,
                         testing::Values("shrink.zip", "reduce1.zip", "reduce2.zip", "reduce3.zip",
                                         "reduce4.zip", "implode-4k-2t.zip", "implode-4k-3t.zip",
                                         "implode-8k-2t.zip", "implode-8k-3t.zip"),
                         [](const testing::TestParamInfo<const char*>& info) {
                           std::string name = info.param;
                           name = name.substr(0, name.find('.'));
                           for (char& c : name) {
                             if (c == '-') c = '_';
                           }
                           return name;
                         });

// --- Damaged data and failing ends ---------------------------------------

// One archive per decoder variant; long.txt is coded in each of them.
const char* const kOneArchivePerVariant[] = {
    "shrink.zip",        "reduce1.zip",       "reduce4.zip",       "implode-4k-2t.zip",
    "implode-4k-3t.zip", "implode-8k-2t.zip", "implode-8k-3t.zip",
};

TEST(LegacyDecodersTest, StreamCutShortEndsEarlyWithoutRunningOn) {
  DecodeWorkspace ws;
  for (const char* archive : kOneArchivePerVariant) {
    SCOPED_TRACE(archive);
    Entry e = FindEntry(archive, "long.txt");
    Bytes original = ReadFile(kLegacyDir + "originals/long.txt");
    Bytes half(e.data.begin(), e.data.begin() + e.data.size() / 2);
    // The declared size stays: only the zeros the decoder sees past the end
    // could make up the rest, and they must not.
    Bytes decoded = Decode(e.coding, half, DecodeWorkspace::kInputChunk, ws);
    EXPECT_LT(decoded.size(), original.size() * 3 / 4);
    EXPECT_TRUE(
        std::equal(decoded.begin(), decoded.begin() + decoded.size() / 2, original.begin()));
  }
}

TEST(LegacyDecodersTest, ExceptionsOfInputAndOutputPassThrough) {
  DecodeWorkspace ws;
  for (const char* archive : kOneArchivePerVariant) {
    SCOPED_TRACE(archive);
    Entry e = FindEntry(archive, "long.txt");
    {
      MemoryInput in(e.data, 1000, /*cancel_at=*/3);
      MemoryOutput out(e.coding.uncompressed_size);
      EXPECT_THROW(DecodeEntry(e.coding, in, out, ws), EUserCanceled);
    }
    {
      // A declared size the data exceeds: the output refuses the first
      // piece, and the decoder must not swallow that.
      MemoryInput in(e.data, DecodeWorkspace::kInputChunk);
      MemoryOutput out(1000);
      EXPECT_THROW(DecodeEntry(e.coding, in, out, ws), EBiggerThanUncompressed);
    }
  }
}

// Damage of every kind ends, and never passes the declared size (which here
// is the largest there is, so only the decoder's own limits stop it): a real
// stream with a stretch of noise in it, so that decoding runs on with wrong
// state, and inputs that are all noise, all zeros, all ones or nothing.
TEST(LegacyDecodersTest, DamagedInputEndsWithinTheDeclaredSize) {
  std::mt19937 rng(20240611);
  auto noise = [&rng](Bytes bytes, size_t from, size_t count) {
    for (size_t i = from; i < from + count && i < bytes.size(); ++i) {
      bytes[i] = static_cast<uint8_t>(rng());
    }
    return bytes;
  };
  DecodeWorkspace ws;
  for (const char* archive : kOneArchivePerVariant) {
    Entry e = FindEntry(archive, "long.txt");
    EntryCoding coding = e.coding;
    coding.uncompressed_size = 0xFFFFFFFF;
    const Bytes inputs[] = {noise(e.data, 2000, 64), noise(Bytes(4096), 0, 4096), Bytes(4096, 0x00),
                            Bytes(4096, 0xFF), Bytes{}};
    for (const Bytes& input : inputs) {
      SCOPED_TRACE(testing::Message() << archive << ", input of " << input.size()
                                      << " bytes starting " << int{input.empty() ? 0 : input[0]});
      EXPECT_NO_THROW(Decode(coding, input, 100, ws));
    }
  }
}

// After the follower sets, zero bits are zero bytes; past the end of the
// input the decoder may only take a few of them for real.
TEST(LegacyDecodersTest, UnreduceStopsSoonAfterItsInputEnds) {
  Bytes empty_sets(192, 0x00);  // 256 six-bit counts of zero
  Bytes with_data = empty_sets;
  with_data.resize(192 + 100, 0x00);
  DecodeWorkspace ws;
  for (const Bytes* input : {&empty_sets, &with_data}) {
    Bytes decoded = Decode({2, 0, 0, 1u << 20}, *input, 100, ws);
    size_t data_bytes = input->size() - 192;
    EXPECT_GE(decoded.size(), data_bytes);
    EXPECT_LE(decoded.size(), data_bytes + 8);
    EXPECT_EQ(std::count(decoded.begin(), decoded.end(), 0), static_cast<long>(decoded.size()));
  }
}

}  // namespace
}  // namespace corvid::zip
