#include "engine/storage/compression.h"

#include <bzlib.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <thread>
#include <string>

#include "engine/storage/checksum.h"
#include "engine/storage/ppmd.h"
#include "tests/engine/storage/compression_samples.h"

namespace dadoveri {
namespace {

using Bytes = std::vector<uint8_t>;
using testing::EnglishText;
using testing::RandomBytes;

std::string hex(const Bytes& b) {
  static const char* digits = "0123456789abcdef";
  std::string s;
  for (uint8_t v : b) {
    s += digits[v >> 4];
    s += digits[v & 15];
  }
  return s;
}

struct Sample {
  const char* name;
  Bytes data;
};

std::vector<Sample> samples() {
  Bytes all_values(4096);
  for (size_t i = 0; i < all_values.size(); ++i) all_values[i] = static_cast<uint8_t>(i * 7);
  return {
      {"text", EnglishText(60000)},
      {"random", RandomBytes(20000, 7)},
      {"one byte", Bytes{0x41}},
      {"constant run", Bytes(50000, 0xAA)},
      {"all byte values", all_values},
  };
}

TEST(Ppm, RoundTripsAtEveryMode) {
  const std::vector<Sample> cases = samples();
  for (int mode = 1; mode <= 9; ++mode) {
    for (const Sample& c : cases) {
      SCOPED_TRACE(std::string(c.name) + " mode " + std::to_string(mode));
      Bytes packed, unpacked;
      ASSERT_TRUE(CompressBuffer(acPPM, static_cast<uint8_t>(mode), c.data.data(), c.data.size(), packed));
      // The header names the mode's order and memory, whatever the model was sized to.
      const uint32_t header = packed[0] | packed[1] << 8 | packed[2] << 16 | uint32_t{packed[3]} << 24;
      EXPECT_EQ(header, uint32_t((PpmModeMemoryMB(mode) - 1) * 16 + (PpmModeOrder(mode) - 1) + 0x6000));
      ASSERT_TRUE(DecompressBuffer(acPPM, packed.data(), packed.size(), c.data.size(), unpacked));
      EXPECT_EQ(unpacked, c.data);
    }
  }
}

TEST(Ppm, ModelThatFillsItsMemoryRestartsAndStillDecodes) {
  // Order-2 statistics of random bytes need several MB: mode 1's 2 MB fill up.
  const Bytes data = RandomBytes(256 * 1024, 3);
  Bytes packed, unpacked;
  uint32_t restarts = 0;
  ASSERT_TRUE(PpmdCompress(PpmModeOrder(1), PpmModeMemoryMB(1), data.data(), data.size(), packed, &restarts));
  EXPECT_GT(restarts, 0u);
  // Pinned like the golden vectors: the restart points are part of the stored format.
  EXPECT_EQ(packed.size(), 268842u);
  EXPECT_EQ(BufferChecksum(0, packed.data(), packed.size()), 729505692u);
  ASSERT_TRUE(PpmdDecompress(packed.data(), packed.size(), data.size(), unpacked));
  EXPECT_EQ(unpacked, data);
}

TEST(Ppm, ModelMemoryFollowsTheBlockNotTheMode) {
  // A small block gets a small model; a large one the mode's memory.
  EXPECT_LT(PpmdModelBytes(16, 100, 1000), size_t{1} << 20);
  EXPECT_EQ(PpmdModelBytes(5, 16, 10'000'000), size_t{16} << 20);
  // Sized by the block, the model still never runs out where the mode's memory would
  // have sufficed: varied text at the highest order codes without a restart.
  const Bytes text = EnglishText(256 * 1024);
  ASSERT_LT(PpmdModelBytes(16, 100, text.size()), size_t{100} << 20);
  Bytes packed;
  uint32_t restarts = 1;
  ASSERT_TRUE(PpmdCompress(16, 100, text.data(), text.size(), packed, &restarts));
  EXPECT_EQ(restarts, 0u);
}

// Fixed inputs and the exact bytes they code to: the stored format must not drift.
TEST(Ppm, GoldenVectors) {
  const std::string word = "abracadabra abracadabra abracadabra";
  Bytes packed;
  ASSERT_TRUE(CompressBuffer(acPPM, 1, reinterpret_cast<const uint8_t*>(word.data()), word.size(), packed));
  EXPECT_EQ(hex(packed), "116000000061037c3b105fee0e17133234a2c76f00");

  struct Golden {
    const char* name;
    Bytes data;
    uint8_t mode;
    size_t size;
    uint32_t checksum;
  };
  const Golden cases[] = {
      {"text", EnglishText(60000), 2, 3652, 49262581u},
      {"text", EnglishText(60000), 4, 2885, 357544410u},
      {"text", EnglishText(60000), 6, 3000, 2944116002u},
      {"text", EnglishText(60000), 9, 2786, 2587743764u},
      {"random", RandomBytes(5000, 1), 3, 5197, 1188793850u},
      {"run", Bytes(100000, 'z'), 5, 49, 3538794870u},
  };
  for (const Golden& g : cases) {
    SCOPED_TRACE(std::string(g.name) + " mode " + std::to_string(g.mode));
    ASSERT_TRUE(CompressBuffer(acPPM, g.mode, g.data.data(), g.data.size(), packed));
    EXPECT_EQ(packed.size(), g.size);
    EXPECT_EQ(BufferChecksum(0, packed.data(), packed.size()), g.checksum);
  }
}

TEST(Ppm, DecodingRejectsWhatIsNotOneOfItsStreams) {
  const Bytes text = EnglishText(5000);
  Bytes packed, out;
  ASSERT_TRUE(CompressBuffer(acPPM, 4, text.data(), text.size(), packed));

  Bytes other_variant = packed;
  other_variant[1] = static_cast<uint8_t>((other_variant[1] & 0x0F) | 0x50);  // variant F
  EXPECT_FALSE(DecompressBuffer(acPPM, other_variant.data(), other_variant.size(), text.size(), out));

  // Decoding stops at the expected size rather than writing past it.
  EXPECT_FALSE(DecompressBuffer(acPPM, packed.data(), packed.size(), text.size() - 1, out));

  // A stream cut short does not decode to the text.
  const Bytes cut(packed.begin(), packed.begin() + static_cast<long>(packed.size() / 2));
  EXPECT_FALSE(DecompressBuffer(acPPM, cut.data(), cut.size(), text.size(), out) && out == text);

  EXPECT_FALSE(DecompressBuffer(acPPM, packed.data(), 3, text.size(), out));  // no whole header
}

TEST(Ppm, CallsOnSeveralThreadsDoNotShareAModel) {
  const Bytes text = EnglishText(40000);
  Bytes expected;
  ASSERT_TRUE(CompressBuffer(acPPM, 4, text.data(), text.size(), expected));
  std::vector<std::thread> threads;
  std::vector<Bytes> results(4);
  for (size_t t = 0; t < results.size(); ++t)
    threads.emplace_back([&, t] { CompressBuffer(acPPM, 4, text.data(), text.size(), results[t]); });
  for (auto& th : threads) th.join();
  for (const Bytes& r : results) EXPECT_EQ(r, expected);
}

// Damaged streams of every algorithm are decoded safely (the sanitizers watch): random
// bytes changed, cut or appended, each either fails or yields at most the room given.
TEST(LibraryCompression, MutatedStreamsNeverOverrunTheirBuffers) {
  const Bytes text = EnglishText(3000);
  std::mt19937 gen(12345);
  for (uint8_t algorithm : {acZLIB, acBZIP, acPPM}) {
    Bytes packed;
    ASSERT_TRUE(CompressBuffer(algorithm, algorithm == acPPM ? 6 : 9, text.data(), text.size(), packed));
    for (int round = 0; round < 150; ++round) {
      Bytes damaged = packed;
      const int changes = 1 + static_cast<int>(gen() % 4);
      for (int k = 0; k < changes; ++k) damaged[gen() % damaged.size()] = static_cast<uint8_t>(gen());
      if (round % 5 == 0) damaged.resize(gen() % damaged.size() + 1);
      if (round % 7 == 0) damaged.push_back(static_cast<uint8_t>(gen()));
      Bytes room(text.size() + 16, 0xCD);
      const int64_t produced = DecompressBufferInto(algorithm, damaged.data(), damaged.size(), room.data(), text.size());
      EXPECT_LE(produced, static_cast<int64_t>(text.size()));
      for (size_t i = text.size(); i < room.size(); ++i) ASSERT_EQ(room[i], 0xCD);
    }
  }
}

TEST(LibraryCompression, RoundTripsAndMatchesTheLibrariesOwnBufferCalls) {
  const std::vector<Sample> cases = samples();
  for (const Sample& c : cases) {
    for (uint8_t mode : {1, 6, 9}) {
      SCOPED_TRACE(std::string(c.name) + " mode " + std::to_string(mode));
      Bytes packed, unpacked;
      ASSERT_TRUE(CompressBuffer(acZLIB, mode, c.data.data(), c.data.size(), packed));
      Bytes reference(compressBound(static_cast<uLong>(c.data.size())));
      uLongf reference_size = reference.size();
      ASSERT_EQ(compress2(reference.data(), &reference_size, c.data.data(), c.data.size(), mode), Z_OK);
      reference.resize(reference_size);
      EXPECT_EQ(packed, reference);
      ASSERT_TRUE(DecompressBuffer(acZLIB, packed.data(), packed.size(), c.data.size(), unpacked));
      EXPECT_EQ(unpacked, c.data);

      ASSERT_TRUE(CompressBuffer(acBZIP, mode, c.data.data(), c.data.size(), packed));
      reference.resize(c.data.size() + c.data.size() / 100 + 600);
      unsigned bz_size = static_cast<unsigned>(reference.size());
      ASSERT_EQ(BZ2_bzBuffToBuffCompress(reinterpret_cast<char*>(reference.data()), &bz_size,
                                         const_cast<char*>(reinterpret_cast<const char*>(c.data.data())),
                                         static_cast<unsigned>(c.data.size()), mode, 0, 0),
                BZ_OK);
      reference.resize(bz_size);
      EXPECT_EQ(packed, reference);
      ASSERT_TRUE(DecompressBuffer(acBZIP, packed.data(), packed.size(), c.data.size(), unpacked));
      EXPECT_EQ(unpacked, c.data);
    }
  }
}

TEST(LibraryCompression, FailuresAreReportedNotPassedOn) {
  const Bytes text = EnglishText(20000);
  Bytes out;
  struct Case {
    const char* name;
    uint8_t algorithm;
    uint8_t mode;
  };
  for (const Case& c : {Case{"zlib", acZLIB, 6}, Case{"bzip2", acBZIP, 9}, Case{"ppm", acPPM, 4}}) {
    SCOPED_TRACE(c.name);
    Bytes packed;
    ASSERT_TRUE(CompressBuffer(c.algorithm, c.mode, text.data(), text.size(), packed));
    // Empty input or output counts as failed.
    EXPECT_FALSE(CompressBuffer(c.algorithm, c.mode, text.data(), 0, out));
    EXPECT_FALSE(DecompressBuffer(c.algorithm, packed.data(), 0, text.size(), out));
    EXPECT_FALSE(DecompressBuffer(c.algorithm, packed.data(), packed.size(), 0, out));
    // More output than the block can hold fails, whatever the stream claims.
    EXPECT_FALSE(DecompressBuffer(c.algorithm, packed.data(), packed.size(), text.size() / 2, out));
    // The same straight into a buffer: exactly the room it needs, and one byte less.
    Bytes room(text.size());
    EXPECT_EQ(DecompressBufferInto(c.algorithm, packed.data(), packed.size(), room.data(), room.size()),
              static_cast<int64_t>(text.size()));
    EXPECT_EQ(room, text);
    EXPECT_EQ(DecompressBufferInto(c.algorithm, packed.data(), packed.size(), room.data(), room.size() - 1), -1);
    // A stream cut short never passes for the whole.
    EXPECT_NE(DecompressBufferInto(c.algorithm, packed.data(), packed.size() / 2, room.data(), room.size()),
              static_cast<int64_t>(text.size()));
  }
  EXPECT_FALSE(CompressBuffer(acZLIB, 10, text.data(), text.size(), out));  // no such level
  EXPECT_FALSE(CompressBuffer(acBZIP, 0, text.data(), text.size(), out));   // no such block size
  EXPECT_FALSE(CompressBuffer(acPPM, 0, text.data(), text.size(), out));    // no such mode
  EXPECT_FALSE(CompressBuffer(7, 1, text.data(), text.size(), out));        // no such algorithm
  // A flipped byte in a zlib or bzip2 stream is caught by the stream's own check.
  for (uint8_t algorithm : {acZLIB, acBZIP}) {
    Bytes packed;
    ASSERT_TRUE(CompressBuffer(algorithm, 9, text.data(), text.size(), packed));
    packed[packed.size() / 2] ^= 0x10;
    EXPECT_FALSE(DecompressBuffer(algorithm, packed.data(), packed.size(), text.size(), out) && out == text);
  }
}

}  // namespace
}  // namespace dadoveri
