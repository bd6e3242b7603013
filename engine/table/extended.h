// The 80-bit extended floating-point type: x87 extended precision (64-bit significand with
// an explicit integer bit, 15-bit exponent biased by 16383, sign), stored little-endian in
// 10 bytes on every platform. The conversions are done on the bits, so they do not depend
// on the host's long double.
#pragma once

#include <cstdint>
#include <cstring>

namespace dadoveri {

struct Extended80 {
  uint8_t bytes[10] = {};

  uint64_t significand() const {
    uint64_t m;
    std::memcpy(&m, bytes, 8);
    return m;
  }
  uint16_t sign_exponent() const { return static_cast<uint16_t>(bytes[8] | (bytes[9] << 8)); }
  static Extended80 from_parts(bool negative, uint16_t exponent, uint64_t significand);
  bool operator==(const Extended80& other) const { return std::memcmp(bytes, other.bytes, 10) == 0; }
};

// Exact: every double (zeros, subnormals, infinities, NaNs with their payload) has an
// extended value of the same value.
Extended80 DoubleToExtended(double value);
// Rounds to the nearest double, ties to even; too large gives an infinity, too small a
// subnormal or zero. Exact whenever the extended value is a double value.
double ExtendedToDouble(const Extended80& value);
// True when ExtendedToDouble loses nothing.
bool ExtendedFitsDouble(const Extended80& value);

// Through the host's long double: exact where long double is the x87 type, rounded where
// it is narrower.
Extended80 LongDoubleToExtended(long double value);
long double ExtendedToLongDouble(const Extended80& value);

}  // namespace dadoveri
