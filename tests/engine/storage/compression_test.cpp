#include "engine/storage/compression.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "engine/storage/ppmd.h"

namespace dadoveri {
namespace {

using Bytes = std::vector<uint8_t>;

// English-like text: a fixed passage repeated with small changes, so every order of the
// model finds contexts to use.
Bytes english_text(size_t n) {
  static const std::string passage =
      "It was the best of times, it was the worst of times, it was the age of wisdom, it was "
      "the age of foolishness, it was the epoch of belief, it was the epoch of incredulity, it "
      "was the season of Light, it was the season of Darkness, it was the spring of hope, it "
      "was the winter of despair, we had everything before us, we had nothing before us.\n";
  Bytes out;
  out.reserve(n);
  for (size_t round = 0; out.size() < n; ++round)
    for (size_t i = 0; i < passage.size() && out.size() < n; ++i)
      out.push_back(static_cast<uint8_t>(i % 97 == round % 97 ? '0' + round % 10 : passage[i]));
  return out;
}

Bytes random_bytes(size_t n, uint32_t seed) {
  std::mt19937 gen(seed);
  Bytes out(n);
  for (auto& b : out) b = static_cast<uint8_t>(gen());
  return out;
}

TEST(Ppm, RoundTripsAtEveryMode) {
  struct Case {
    const char* name;
    Bytes data;
  };
  const std::vector<Case> cases = {
      {"text", english_text(60000)},
      {"random", random_bytes(20000, 7)},
      {"one byte", Bytes{0x41}},
      {"constant run", Bytes(50000, 0xAA)},
      {"all byte values", [] {
         Bytes b(4096);
         for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<uint8_t>(i * 7);
         return b;
       }()},
  };
  for (int mode = 1; mode <= 9; ++mode) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + " mode " + std::to_string(mode));
      Bytes packed, unpacked;
      ASSERT_TRUE(CompressBuffer(acPPM, static_cast<uint8_t>(mode), c.data.data(), c.data.size(), packed));
      ASSERT_TRUE(DecompressBuffer(acPPM, packed.data(), packed.size(), c.data.size(), unpacked));
      EXPECT_EQ(unpacked, c.data);
    }
  }
}

}  // namespace
}  // namespace dadoveri
