// The scalar functions of the expression language, on values: each takes its argument
// values and gives a value of the function's result type. Parsing and arity belong to the
// expression tree; these only compute.
//
// Common rules:
// - A NULL argument gives a NULL of the result type (LENGTH of NULL is 0).
// - The empty text is NULL, so a string result that comes out empty is NULL.
// - Numeric functions take numeric arguments only ("Not numeric argument in numeric
//   operator '%s'" naming the function otherwise).
// - Floating results that are not finite numbers (a domain error such as SQRT(-1) or
//   ACOS(2), a pole such as LOG(0), an overflow such as EXP(1000)) are NULL: the engine
//   stores neither NaN nor infinities.
// - Integer results that do not fit their type raise "Integer overflow in '%s' operation"
//   naming the function; they never wrap.
#pragma once

#include <cstdint>

#include "engine/table/variant.h"

namespace dadoveri {

// UPPER, LOWER, TRIM, LTRIM, RTRIM: the result has the type of s, a memo giving a string
// and a wide memo a wide string; a value of another type is first converted to a string.
// Case follows the user locale. The trims remove the characters up to and including the
// space (control characters and blanks).
TABSVariant ScalarUpper(const TABSVariant& s);
TABSVariant ScalarLower(const TABSVariant& s);
TABSVariant ScalarTrim(const TABSVariant& s);
TABSVariant ScalarLTrim(const TABSVariant& s);
TABSVariant ScalarRTrim(const TABSVariant& s);

// SUBSTRING(s, start [, length]): the characters start … start+length-1 counting from 1;
// without a length to the end. A start below 1 counts as 1, a length beyond the end stops
// at the end; a negative length, or a start past the end, gives the empty text, which is
// NULL. Result type as for ScalarUpper.
TABSVariant ScalarSubstring(const TABSVariant& s, const TABSVariant& start);
TABSVariant ScalarSubstring(const TABSVariant& s, const TABSVariant& start, const TABSVariant& length);

// LENGTH(s): characters of s as btInteger; NULL gives 0.
TABSVariant ScalarLength(const TABSVariant& s);

// POS(sub, s): position (from 1) of the first occurrence of sub in s, 0 when absent;
// btInteger. Characters are compared exactly (case counts).
TABSVariant ScalarPosition(const TABSVariant& sub, const TABSVariant& s);

// DOD (absolute value) and SQR (square) in the type of x.
TABSVariant ScalarAbs(const TABSVariant& x);
TABSVariant ScalarSqr(const TABSVariant& x);

// The mathematical functions, btFloat; LOG is the natural logarithm.
enum class TMathFunction : uint8_t { Acos, Asin, Atan, Cos, Sin, Exp, Log, Sqrt };
TABSVariant ScalarMath(TMathFunction f, const TABSVariant& x);

// CEIL, FLOOR, SIGN: btInteger.
TABSVariant ScalarCeil(const TABSVariant& x);
TABSVariant ScalarFloor(const TABSVariant& x);
TABSVariant ScalarSign(const TABSVariant& x);

// RAND(n): a random btInteger from 0 to n-1; NULL when n is below 1 (there is no such
// integer). n above 2^31 overflows the result type.
TABSVariant ScalarRand(const TABSVariant& n);

// POWER(x, y): x raised to y, btFloat.
TABSVariant ScalarPower(const TABSVariant& x, const TABSVariant& y);

// The ROUND modes, in keyword order: ties to even, toward +infinity, toward -infinity,
// toward zero, away from zero; then the directed modes toward -infinity, +infinity, zero
// and away from zero.
enum class TRoundMode : uint8_t { HalfEven, HalfPos, HalfNeg, HalfDown, HalfUp, RndNeg, RndPos, RndDown, RndUp };
// The mode of a ROUND without one.
inline constexpr TRoundMode kDefaultRoundMode = TRoundMode::HalfUp;
// ROUND(x): x rounded to a whole number, btInteger.
TABSVariant ScalarRound(const TABSVariant& x);
// ROUND(x, digits [, mode]): x rounded to `digits` decimals (negative: to tens, hundreds
// …), btFloat. Rounding works on the shortest decimal form of x, so ROUND(2.675, 2) is
// 2.68 although the binary value of 2.675 lies a little below it.
TABSVariant ScalarRound(const TABSVariant& x, const TABSVariant& digits, TRoundMode mode = kDefaultRoundMode);

// EXTRACT(part FROM x): the part of the date/time x, btWord. A date has the time 00:00:00;
// a time lies on the calendar's day 0 (1899-12-30). SECOND gives whole seconds.
enum class TExtractPart : uint8_t { Year, Month, Day, Hour, Minute, Second };
TABSVariant ScalarExtract(TExtractPart part, const TABSVariant& x);

// MIMETOBIN(text): the bytes of standard Base64 text, btBlob. Line breaks and blanks are
// skipped; any other character outside the alphabet, misplaced padding or a length that
// does not make whole bytes raises "Invalid Base64 text". No bytes give NULL.
TABSVariant ScalarMimeToBin(const TABSVariant& text);

}  // namespace dadoveri
