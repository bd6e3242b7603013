#include "engine/storage/compressed_blob_stream.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "engine/base/little_endian.h"
#include "engine/storage/checksum.h"
#include "tests/engine/storage/compression_samples.h"
#include "tests/engine/test_support.h"

namespace dadoveri {
namespace {

using Bytes = std::vector<uint8_t>;
using testing::CodeOf;
using testing::EnglishText;
using testing::MessageOf;
using testing::RandomBytes;

constexpr int32_t kBlock = 4096;

TABSCompressedStreamParams params(uint8_t algorithm, uint8_t mode, int32_t block_size = kBlock,
                                  int64_t start = 0) {
  TABSCompressedStreamParams p;
  p.BlockSize = block_size;
  p.StartPosition = start;
  p.CompressionAlgorithm = algorithm;
  p.CompressionMode = mode;
  return p;
}

Bytes read_all(TABSStream& s) {
  Bytes out(static_cast<size_t>(s.GetSize()));
  s.SetPosition(0);
  EXPECT_EQ(s.Read(out.data(), static_cast<int64_t>(out.size())), static_cast<int64_t>(out.size()));
  return out;
}

// The value written through a new stream, then read back through a stream opened over the
// same stored bytes with the parameters the writer ended with.
struct Stored {
  TABSMemoryStream bytes;
  TABSCompressedStreamParams params;
};

void store(Stored& st, const TABSCompressedStreamParams& p, const Bytes& value) {
  TABSCompressedBLOBStream writer(st.bytes, p, true);
  EXPECT_EQ(writer.Write(value.data(), static_cast<int64_t>(value.size())), static_cast<int64_t>(value.size()));
  st.params = writer.Params();
}

struct Algorithm {
  const char* name;
  uint8_t code;
  uint8_t mode;
};
const Algorithm kAlgorithms[] = {{"zlib", acZLIB, 6}, {"bzip2", acBZIP, 9}, {"ppm", acPPM, 4}};

TEST(CompressedBlobStream, ThreeFullBlocksThenOneByteMakeAFourthBlock) {
  for (const Algorithm& a : kAlgorithms) {
    SCOPED_TRACE(a.name);
    const Bytes value = EnglishText(3 * kBlock + 1);
    TABSMemoryStream underlying;
    TABSCompressedBLOBStream s(underlying, params(a.code, a.mode), true);
    s.Write(value.data(), 3 * kBlock);
    EXPECT_EQ(s.BlockCount(), 3);
    EXPECT_EQ(s.GetSize(), 3 * kBlock);
    s.Write(value.data() + 3 * kBlock, 1);
    EXPECT_EQ(s.BlockCount(), 4);
    EXPECT_GT(s.CompressionRate(), 50.0);

    // The stored layout: headers (C, U, checksum from 0, C + 20) and data without gaps.
    const Bytes& b = underlying.Bytes();
    size_t at = 0;
    for (int i = 0; i < 4; ++i) {
      ASSERT_LE(at + kBlockHeaderSize, b.size());
      const int32_t c = LoadLE<int32_t>(&b[at]);
      const int32_t u = LoadLE<int32_t>(&b[at + 4]);
      EXPECT_EQ(u, i < 3 ? kBlock : 1);
      EXPECT_EQ(LoadLE<uint32_t>(&b[at + 8]), BufferChecksum(0, value.data() + i * kBlock, static_cast<size_t>(u)));
      EXPECT_EQ(LoadLE<int64_t>(&b[at + 12]), c + 20);
      at += static_cast<size_t>(c) + kBlockHeaderSize;
    }
    EXPECT_EQ(at, b.size());
    EXPECT_EQ(s.StoredSize(), static_cast<int64_t>(b.size()));

    TABSCompressedBLOBStream reopened(underlying, s.Params(), false);
    EXPECT_EQ(reopened.BlockCount(), 4);
    EXPECT_EQ(read_all(reopened), value);
  }
}

TEST(CompressedBlobStream, ReadsAcrossBlockBordersAndAfterSeeks) {
  const Bytes value = RandomBytes(5 * kBlock + 123, 5);
  Stored st;
  store(st, params(acZLIB, 1), value);
  TABSCompressedBLOBStream s(st.bytes, st.params, false);
  struct Piece {
    int64_t at;
    int64_t count;
  };
  for (const Piece& p : {Piece{kBlock - 10, 20}, Piece{0, 3 * kBlock}, Piece{2 * kBlock - 1, 2 * kBlock + 2},
                         Piece{5 * kBlock + 100, 1000}, Piece{5 * kBlock + 123, 10}}) {
    SCOPED_TRACE(p.at);
    Bytes out(static_cast<size_t>(p.count));
    s.SetPosition(p.at);
    const int64_t expected = std::max<int64_t>(0, std::min<int64_t>(p.count, static_cast<int64_t>(value.size()) - p.at));
    ASSERT_EQ(s.Read(out.data(), p.count), expected);
    EXPECT_TRUE(std::equal(out.begin(), out.begin() + expected, value.begin() + p.at));
    EXPECT_EQ(s.GetPosition(), p.at + expected);
  }
}

TEST(CompressedBlobStream, SetSizeCutsAndGrowsWithZeros) {
  for (const Algorithm& a : kAlgorithms) {
    SCOPED_TRACE(a.name);
    const Bytes value = EnglishText(4 * kBlock + 500);
    struct Step {
      int64_t size;
      int64_t blocks;
    };
    Stored st;
    store(st, params(a.code, a.mode), value);
    Bytes expected = value;
    for (const Step& step : {Step{2 * kBlock + 7, 3}, Step{2 * kBlock, 2}, Step{3 * kBlock + 10, 4},
                             Step{kBlock - 1, 1}, Step{0, 0}, Step{10, 1}}) {
      SCOPED_TRACE(step.size);
      TABSCompressedBLOBStream s(st.bytes, st.params, false);
      ASSERT_TRUE(s.SetSize(step.size));
      expected.resize(static_cast<size_t>(step.size), 0);
      EXPECT_EQ(s.BlockCount(), step.blocks);
      st.params = s.Params();
      // The stored bytes end where the last block ends, and reopen to the same value.
      EXPECT_EQ(s.StoredSize(), st.bytes.GetSize());
      TABSCompressedBLOBStream again(st.bytes, st.params, false);
      EXPECT_EQ(read_all(again), expected);
    }
  }
}

TEST(CompressedBlobStream, WritesBeforeAndBeyondTheEnd) {
  const Bytes value = EnglishText(3 * kBlock);
  Stored st;
  store(st, params(acPPM, 2), value);
  TABSCompressedBLOBStream s(st.bytes, st.params, false);
  Bytes expected = value;
  const Bytes patch(kBlock, 'X');
  s.SetPosition(kBlock / 2);  // across the first border, inside the value
  s.Write(patch.data(), kBlock);
  std::memcpy(expected.data() + kBlock / 2, patch.data(), kBlock);
  s.SetPosition(3 * kBlock - 5);  // over the end
  s.Write(patch.data(), 10);
  expected.resize(3 * kBlock + 5);
  std::memcpy(expected.data() + 3 * kBlock - 5, patch.data(), 10);
  s.SetPosition(4 * kBlock + 1);  // past the end: zeros in between
  s.Write(patch.data(), 1);
  expected.resize(4 * kBlock + 2, 0);
  expected.back() = 'X';
  EXPECT_EQ(read_all(s), expected);
  TABSCompressedBLOBStream again(st.bytes, s.Params(), false);
  EXPECT_EQ(read_all(again), expected);
}

TEST(CompressedBlobStream, RawValueLivesAtTheStartPosition) {
  TABSMemoryStream underlying;
  const Bytes prefix(100, 0xEE);
  underlying.Write(prefix.data(), 100);
  const Bytes value = RandomBytes(3000, 9);
  TABSCompressedBLOBStream s(underlying, params(acNone, 0, 0, 100), true);
  s.Write(value.data(), 3000);
  EXPECT_EQ(s.GetSize(), 3000);
  EXPECT_EQ(s.BlockCount(), 0);
  EXPECT_EQ(Bytes(underlying.Bytes().begin() + 100, underlying.Bytes().end()), value);

  TABSCompressedStreamParams p = s.Params();
  TABSCompressedBLOBStream reopened(underlying, p, false);
  EXPECT_EQ(read_all(reopened), value);
  reopened.SetSize(1000);
  EXPECT_EQ(underlying.GetSize(), 1100);

  // A raw value must fit in the bytes after the start position.
  p.UncompressedSize = 1001;
  EXPECT_EQ(MessageOf([&] { TABSCompressedBLOBStream(underlying, p, false); }),
            "Stream size = 1100 too small. Should be at least = 1101 - Native error: 10081");
}

TEST(CompressedBlobStream, OverATemporaryStreamAValueBeyondOneMegabyteMovesToAFile) {
  for (const bool disabled : {false, true}) {
    SCOPED_TRACE(disabled ? "temporary files disabled" : "temporary files allowed");
    const Bytes value = RandomBytes(TABSTemporaryStream::kMemoryLimit + 1, 8);
    TABSTemporaryStream underlying(disabled);
    TABSCompressedBLOBStream raw(underlying, params(acNone, 0), true);
    raw.Write(value.data(), static_cast<int64_t>(value.size()));
    EXPECT_EQ(underlying.InFile(), !disabled);
    EXPECT_EQ(read_all(raw), value);
  }
  // Compressed, the stored bytes stay small and in memory.
  TABSTemporaryStream underlying;
  TABSCompressedBLOBStream packed(underlying, params(acPPM, 3, 0), true);
  const Bytes text = EnglishText(TABSTemporaryStream::kMemoryLimit + 1);
  packed.Write(text.data(), static_cast<int64_t>(text.size()));
  EXPECT_FALSE(underlying.InFile());
  EXPECT_EQ(packed.BlockCount(), 3);  // mode 3 blocks: 524288 bytes
  EXPECT_EQ(read_all(packed), text);
}

TEST(CompressedBlobStream, ParameterRecordIs32LittleEndianBytes) {
  TABSCompressedStreamParams p;
  p.BlockSize = 0x01020304;
  p.BlockCount = 0x0506070809;
  p.UncompressedSize = -2;
  p.StartPosition = 0x1122334455;
  p.CompressionAlgorithm = acPPM;
  p.CompressionMode = 7;
  uint8_t record[TABSCompressedStreamParams::kRecordSize];
  p.Store(record);
  EXPECT_EQ(LoadLE<int32_t>(record), 0x01020304);
  EXPECT_EQ(LoadLE<int64_t>(record + 4), 0x0506070809);
  EXPECT_EQ(LoadLE<int64_t>(record + 12), -2);
  EXPECT_EQ(LoadLE<int64_t>(record + 20), 0x1122334455);
  EXPECT_EQ(record[28], acPPM);
  EXPECT_EQ(record[29], 7);
  const TABSCompressedStreamParams back = TABSCompressedStreamParams::Load(record);
  EXPECT_EQ(back.BlockCount, p.BlockCount);
  EXPECT_EQ(back.StartPosition, p.StartPosition);
  EXPECT_EQ(back.CompressionMode, 7);
}

TEST(CompressedBlobStream, NewStreamTakesTheModesDefaultBlockSize) {
  struct Case {
    uint8_t mode;
    int32_t block;
  };
  for (const Case& c : {Case{0, 102400}, Case{1, 524288}, Case{3, 524288}, Case{4, 1048576}, Case{6, 1048576},
                        Case{7, 1572864}, Case{9, 1572864}}) {
    TABSMemoryStream underlying;
    TABSCompressedBLOBStream s(underlying, params(acZLIB, c.mode, 0), true);
    EXPECT_EQ(s.BlockSize(), c.block) << int(c.mode);
  }
  TABSMemoryStream underlying;
  EXPECT_EQ(CodeOf([&] { TABSCompressedBLOBStream(underlying, params(acZLIB, 1, 0), false); }), 20149);
}

// Damage to the stored bytes is reported with the stream's codes, before anything is
// allocated for sizes the bytes cannot hold.
TEST(CompressedBlobStream, DamagedBlocksFailCleanly) {
  struct Case {
    const char* name;
    uint8_t algorithm;
    std::function<void(Bytes&, TABSCompressedStreamParams&)> damage;
    std::vector<int32_t> codes;  // any of these
    bool at_open;
  };
  const auto first_data_byte = [](Bytes& b, size_t k) -> uint8_t& { return b[kBlockHeaderSize + k]; };
  // Where the last block's header starts, found by walking the distances.
  const auto last_header = [](const Bytes& b) {
    size_t at = 0;
    for (int i = 0; i < 3; ++i) at += static_cast<size_t>(LoadLE<int64_t>(&b[at + 12]));
    return at;
  };
  const std::vector<Case> cases = {
      {"flipped zlib byte", acZLIB, [&](Bytes& b, auto&) { first_data_byte(b, 40) ^= 0x04; }, {10087, 10089}, false},
      {"flipped bzip2 bytes", acBZIP, [&](Bytes& b, auto&) { for (size_t k = 60; k < 64; ++k) first_data_byte(b, k) ^= 0xFF; }, {10087, 10089}, false},
      {"flipped ppm byte", acPPM, [&](Bytes& b, auto&) { first_data_byte(b, 60) ^= 0x04; }, {10087, 10088, 10089}, false},
      {"stored checksum wrong", acZLIB, [](Bytes& b, auto&) { b[8] ^= 1; }, {10089}, false},
      {"ppm of another variant", acPPM, [&](Bytes& b, auto&) { first_data_byte(b, 1) = 0x50; }, {10087}, false},
      {"truncated block header", acZLIB, [&](Bytes& b, auto&) { b.erase(b.begin() + static_cast<long>(last_header(b)) + 12, b.end()); }, {10082}, true},
      {"block count past the bytes", acZLIB, [](Bytes&, auto& p) { p.BlockCount += 1; }, {10082, 10088}, true},
      {"U larger than the block size", acZLIB, [](Bytes& b, auto&) { StoreLE<int32_t>(&b[4], 0x7FFFFFF0); }, {10088}, true},
      {"C past the stored bytes", acZLIB, [](Bytes& b, auto&) { StoreLE<int32_t>(&b[0], 0x7FFFFFF0); }, {10086}, true},
      {"distance out of range", acZLIB, [](Bytes& b, auto&) { StoreLE<int64_t>(&b[12], -5); }, {10083}, true},
  };
  const Bytes value = EnglishText(3 * kBlock + 100);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Stored st;
    store(st, params(c.algorithm, c.algorithm == acBZIP ? 9 : 4), value);
    TABSCompressedStreamParams p = st.params;
    c.damage(st.bytes.MutableBytes(), p);
    int32_t code = 0;
    bool opened = false;
    try {
      TABSCompressedBLOBStream s(st.bytes, p, false);
      opened = true;
      read_all(s);
    } catch (const VODIDivodavir& e) {
      code = e.NativeError;
    }
    EXPECT_NE(std::find(c.codes.begin(), c.codes.end(), code), c.codes.end()) << "code " << code;
    EXPECT_EQ(opened, !c.at_open);
  }
}

TEST(CompressedBlobStream, MessagesNameTheFigures) {
  Stored st;
  store(st, params(acZLIB, 4), EnglishText(5000));
  Bytes& b = st.bytes.MutableBytes();
  b[8] ^= 1;
  TABSCompressedBLOBStream s(st.bytes, st.params, false);
  const std::string message = MessageOf([&] { read_all(s); });
  EXPECT_EQ(message.rfind("Decompress buffer failed. CheckSum = ", 0), 0u) << message;
  EXPECT_NE(message.find(" - Native error: 10089"), std::string::npos);
}

}  // namespace
}  // namespace dadoveri
