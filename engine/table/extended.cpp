#include "engine/table/extended.h"

#include <bit>
#include <cmath>
#include <limits>

namespace dadoveri {

namespace {

constexpr int kExtendedBias = 16383;
constexpr int kDoubleBias = 1023;

}  // namespace

Extended80 Extended80::from_parts(bool negative, uint16_t exponent, uint64_t significand) {
  Extended80 e;
  std::memcpy(e.bytes, &significand, 8);
  const uint16_t se = static_cast<uint16_t>((negative ? 0x8000 : 0) | (exponent & 0x7FFF));
  e.bytes[8] = static_cast<uint8_t>(se & 0xFF);
  e.bytes[9] = static_cast<uint8_t>(se >> 8);
  return e;
}

Extended80 DoubleToExtended(double value) {
  const uint64_t bits = std::bit_cast<uint64_t>(value);
  const bool negative = (bits >> 63) != 0;
  const int exponent = static_cast<int>((bits >> 52) & 0x7FF);
  const uint64_t fraction = bits & ((uint64_t{1} << 52) - 1);
  if (exponent == 0x7FF)  // infinity or NaN: the fraction keeps its place under the integer bit
    return Extended80::from_parts(negative, 0x7FFF, (uint64_t{1} << 63) | (fraction << 11));
  if (exponent == 0) {
    if (fraction == 0) return Extended80::from_parts(negative, 0, 0);
    // Subnormal double: normalise, the extended range holds it as a normal number.
    const int shift = std::countl_zero(fraction);  // >= 12
    const uint64_t significand = fraction << shift;
    const int unbiased = -1022 - (shift - 11);
    return Extended80::from_parts(negative, static_cast<uint16_t>(unbiased + kExtendedBias), significand);
  }
  const uint64_t significand = (uint64_t{1} << 63) | (fraction << 11);
  return Extended80::from_parts(negative, static_cast<uint16_t>(exponent - kDoubleBias + kExtendedBias), significand);
}

double ExtendedToDouble(const Extended80& value) {
  const uint16_t se = value.sign_exponent();
  const bool negative = (se & 0x8000) != 0;
  const int exponent = se & 0x7FFF;
  uint64_t significand = value.significand();
  const uint64_t sign_bit = negative ? uint64_t{1} << 63 : 0;
  if (exponent == 0x7FFF) {
    const uint64_t fraction = significand & ~(uint64_t{1} << 63);
    if (fraction == 0) return std::bit_cast<double>(sign_bit | (uint64_t{0x7FF} << 52));
    // NaN: keep the top payload bits and make sure the result stays a NaN.
    uint64_t payload = fraction >> 11;
    if (payload == 0) payload = uint64_t{1} << 51;
    return std::bit_cast<double>(sign_bit | (uint64_t{0x7FF} << 52) | payload);
  }
  if (significand == 0) return std::bit_cast<double>(sign_bit);
  // Value = significand * 2^(e - 16383 - 63), with e = 1 for the (pseudo-)denormal encodings.
  int e = exponent == 0 ? 1 : exponent;
  // Normalise (covers denormals and unnormals whose integer bit is clear).
  const int lead = std::countl_zero(significand);
  significand <<= lead;
  e -= lead;
  int unbiased = e - kExtendedBias;  // value = 1.f * 2^unbiased
  // Keep 53 bits for a normal double, fewer for a subnormal one.
  int drop = 11;
  if (unbiased < -1022) drop += -1022 - unbiased;
  if (drop > 64) return std::bit_cast<double>(sign_bit);  // far below the smallest subnormal
  uint64_t kept = drop == 64 ? 0 : significand >> drop;
  const uint64_t rest = drop == 64 ? significand : significand << (64 - drop);
  const uint64_t half = uint64_t{1} << 63;
  if (rest > half || (rest == half && (kept & 1))) ++kept;
  if (unbiased < -1022) {
    // Subnormal (kept may have rounded up into the smallest normal, which the encoding handles).
    return std::bit_cast<double>(sign_bit | kept);
  }
  if (kept == (uint64_t{1} << 53)) {  // rounding carried into a new bit
    kept >>= 1;
    ++unbiased;
  }
  if (unbiased > 1023) return std::bit_cast<double>(sign_bit | (uint64_t{0x7FF} << 52));
  const uint64_t biased = static_cast<uint64_t>(unbiased + kDoubleBias);
  return std::bit_cast<double>(sign_bit | (biased << 52) | (kept & ((uint64_t{1} << 52) - 1)));
}

bool ExtendedFitsDouble(const Extended80& value) {
  const double d = ExtendedToDouble(value);
  if (std::isnan(d)) return true;
  const Extended80 back = DoubleToExtended(d);
  if (back == value) return true;
  // Equal values may have different encodings (denormal or unnormal inputs): compare values.
  return ExtendedToLongDouble(back) == ExtendedToLongDouble(value) &&
         std::numeric_limits<long double>::digits >= 64;
}

Extended80 LongDoubleToExtended(long double value) {
  if (std::isnan(value)) return DoubleToExtended(static_cast<double>(value));
  if (std::isinf(value)) return Extended80::from_parts(value < 0, 0x7FFF, uint64_t{1} << 63);
  const bool negative = std::signbit(value);
  if (value == 0) return Extended80::from_parts(negative, 0, 0);
  int exp2 = 0;
  long double m = std::frexp(std::fabs(value), &exp2);  // m in [0.5, 1)
  // 64 significant bits, taken in two 32-bit steps so no step exceeds long double precision.
  m = std::ldexp(m, 32);
  const long double high = std::floor(m);
  const long double low = std::ldexp(m - high, 32);
  uint64_t significand = (static_cast<uint64_t>(high) << 32) | static_cast<uint64_t>(std::floor(low));
  int unbiased = exp2 - 1;
  int biased = unbiased + kExtendedBias;
  if (biased <= 0) {  // below the normal range: denormal encoding
    const int shift = 1 - biased;
    significand = shift >= 64 ? 0 : significand >> shift;
    biased = 0;
  }
  return Extended80::from_parts(negative, static_cast<uint16_t>(biased), significand);
}

long double ExtendedToLongDouble(const Extended80& value) {
  const uint16_t se = value.sign_exponent();
  const bool negative = (se & 0x8000) != 0;
  const int exponent = se & 0x7FFF;
  const uint64_t significand = value.significand();
  if (exponent == 0x7FFF) {
    if ((significand << 1) == 0) return negative ? -std::numeric_limits<long double>::infinity()
                                                 : std::numeric_limits<long double>::infinity();
    return static_cast<long double>(ExtendedToDouble(value));
  }
  const int e = exponent == 0 ? 1 : exponent;
  const long double high = static_cast<long double>(significand >> 32);
  const long double low = static_cast<long double>(significand & 0xFFFFFFFFu);
  long double v = std::ldexp(high, e - kExtendedBias - 31) + std::ldexp(low, e - kExtendedBias - 63);
  return negative ? -v : v;
}

}  // namespace dadoveri
