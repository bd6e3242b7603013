#include "engine/table/extended.h"

#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <cmath>
#include <limits>
#include <random>

namespace dadoveri {
namespace {

Extended80 parts(bool negative, uint16_t exponent, uint64_t significand) {
  return Extended80::from_parts(negative, exponent, significand);
}

TEST(Extended, KnownEncodings) {
  struct Case {
    double value;
    Extended80 bits;
  };
  const Case cases[] = {
      {1.0, parts(false, 16383, 0x8000000000000000ull)},
      {-2.0, parts(true, 16384, 0x8000000000000000ull)},
      {0.5, parts(false, 16382, 0x8000000000000000ull)},
      {3.0, parts(false, 16384, 0xC000000000000000ull)},
      {0.0, parts(false, 0, 0)},
      {-0.0, parts(true, 0, 0)},
      {std::numeric_limits<double>::infinity(), parts(false, 0x7FFF, 0x8000000000000000ull)},
      {DBL_MAX, parts(false, 16383 + 1023, 0xFFFFFFFFFFFFF800ull)},
      {DBL_MIN, parts(false, 16383 - 1022, 0x8000000000000000ull)},
      // The smallest subnormal double is a normal extended number.
      {std::numeric_limits<double>::denorm_min(), parts(false, 16383 - 1074, 0x8000000000000000ull)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(DoubleToExtended(c.value), c.bits);
    EXPECT_EQ(std::bit_cast<uint64_t>(ExtendedToDouble(c.bits)), std::bit_cast<uint64_t>(c.value));
  }
  EXPECT_TRUE(std::isnan(ExtendedToDouble(DoubleToExtended(std::nan("")))));
}

TEST(Extended, EveryDoubleRoundTripsExactly) {
  std::mt19937_64 random(7);
  for (int i = 0; i < 200000; ++i) {
    const double d = std::bit_cast<double>(random());
    if (std::isnan(d)) continue;
    const Extended80 e = DoubleToExtended(d);
    ASSERT_EQ(std::bit_cast<uint64_t>(ExtendedToDouble(e)), std::bit_cast<uint64_t>(d));
    ASSERT_TRUE(ExtendedFitsDouble(e));
  }
}

TEST(Extended, NarrowingRoundsToNearestEven) {
  const uint64_t one = 0x8000000000000000ull;
  // 1 + 2^-53 is halfway between 1 and the next double: ties to even, i.e. 1.
  EXPECT_EQ(ExtendedToDouble(parts(false, 16383, one | (1ull << 10))), 1.0);
  // 1 + 3 * 2^-53 is halfway between two doubles whose even one is 1 + 2^-51.
  EXPECT_EQ(ExtendedToDouble(parts(false, 16383, one | (3ull << 10))), 1.0 + std::ldexp(1.0, -51));
  // Just above halfway rounds up.
  EXPECT_EQ(ExtendedToDouble(parts(false, 16383, one | (1ull << 10) | 1)), 1.0 + std::ldexp(1.0, -52));
  EXPECT_FALSE(ExtendedFitsDouble(parts(false, 16383, one | 1)));
  // All ones rounds up into the next binade.
  EXPECT_EQ(ExtendedToDouble(parts(false, 16383, ~0ull)), 2.0);
  // Out of range: infinity; far below: zero with the sign kept.
  EXPECT_EQ(ExtendedToDouble(parts(false, 16383 + 1024, one)), std::numeric_limits<double>::infinity());
  EXPECT_EQ(ExtendedToDouble(parts(true, 1, one)), 0.0);
  EXPECT_TRUE(std::signbit(ExtendedToDouble(parts(true, 1, one))));
  // Half the smallest subnormal ties to even (zero); a little more rounds up to it.
  EXPECT_EQ(ExtendedToDouble(parts(false, 16383 - 1075, one)), 0.0);
  EXPECT_EQ(ExtendedToDouble(parts(false, 16383 - 1075, one | 1)), std::numeric_limits<double>::denorm_min());
}

TEST(Extended, AgreesWithTheHostWhereLongDoubleIsX87) {
  if (std::numeric_limits<long double>::digits != 64) GTEST_SKIP() << "long double is not the x87 type here";
  std::mt19937_64 random(11);
  for (int i = 0; i < 100000; ++i) {
    Extended80 e = parts(random() & 1, static_cast<uint16_t>(1 + random() % 0x7FFE), random() | (1ull << 63));
    long double host;
    std::memcpy(&host, e.bytes, 10);
    ASSERT_EQ(std::bit_cast<uint64_t>(ExtendedToDouble(e)), std::bit_cast<uint64_t>(static_cast<double>(host)));
    ASSERT_EQ(ExtendedToLongDouble(e), host);
    ASSERT_EQ(LongDoubleToExtended(host), e);
  }
}

}  // namespace
}  // namespace dadoveri
