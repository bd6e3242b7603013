#include "engine/query/scalar_functions.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "engine/table/date_time.h"
#include "tests/engine/test_support.h"

namespace dadoveri {
namespace {

using testing::CodeOf;

TABSVariant Str(std::string_view s, TABSBaseType t = btString) {
  TABSVariant v(t);
  v.SetAsString(s);
  return v;
}
TABSVariant Wide(std::u16string_view s, TABSBaseType t = btWideString) {
  TABSVariant v(t);
  v.SetAsWideString(s);
  return v;
}
TABSVariant Of(TABSBaseType t, long double x) {
  TABSVariant v(t);
  if (IsIntegerBaseType(t))
    v.SetAsLargeint(static_cast<int64_t>(x));
  else if (t == btSingle)
    v.SetAsSingle(static_cast<float>(x));
  else if (t == btExtended)
    v.SetAsExtended(x);
  else if (t == btCurrency)
    v.SetAsCurrency(static_cast<double>(x));
  else
    v.SetAsFloat(static_cast<double>(x));
  return v;
}
TABSVariant Int(int32_t x) { return Of(btInteger, x); }
TABSVariant Flt(double x) { return Of(btFloat, x); }
TABSVariant Null(TABSBaseType t) { return TABSVariant(t); }
// The expected value of a case that raises.
TABSVariant Err() { return TABSVariant(); }
TABSVariant Moment(int y, int mo, int d, int h, int mi, int s, int ms) {
  TABSVariant v(btDateTime);
  v.SetAsDateTime({*EncodeDayNumber(y, mo, d), ((h * 60 + mi) * 60 + s) * 1000 + ms});
  return v;
}

constexpr int32_t kOverflow = 40501, kNotNumeric = 40502, kBadBase64 = 40503;

struct Case {
  const char* label;
  std::function<TABSVariant()> call;
  TABSVariant expected;  // type and value (or NULL) of the result
  int32_t error = 0;     // when not 0, the code the call raises instead
};

TEST(ScalarFunctions, Table) {
  const auto R = [](TRoundMode m, double x, int digits) { return ScalarRound(Flt(x), Int(digits), m); };
  using M = TRoundMode;
  const Case cases[] = {
      // Case mapping and trimming keep the string type; memos become strings; other types
      // are converted to a string first; an empty result is NULL.
      {"upper", [] { return ScalarUpper(Str("abc \xE4")); }, Str("ABC \xC4")},
      {"lower wide", [] { return ScalarLower(Wide(u"ÉCOLE Ω")); }, Wide(u"école ω")},
      {"upper char", [] { return ScalarUpper(Str("x", btChar)); }, Str("X", btChar)},
      {"upper memo", [] { return ScalarUpper(Str("m", btMemo)); }, Str("M")},
      {"lower wide memo", [] { return ScalarLower(Wide(u"W", btWideMemo)); }, Wide(u"w")},
      {"upper number", [] { return ScalarUpper(Int(42)); }, Str("42")},
      {"upper null", [] { return ScalarUpper(Null(btWideString)); }, Null(btWideString)},
      {"trim", [] { return ScalarTrim(Str(" \t a b \r\n")); }, Str("a b")},
      {"ltrim", [] { return ScalarLTrim(Str("  a ")); }, Str("a ")},
      {"rtrim wide", [] { return ScalarRTrim(Wide(u" a\u00A0 ")); }, Wide(u" a\u00A0")},
      {"trim to empty", [] { return ScalarTrim(Str("   ")); }, Null(btString)},
      // SUBSTRING counts from 1 and clamps to the text.
      {"substring", [] { return ScalarSubstring(Str("abcdef"), Int(2), Int(3)); }, Str("bcd")},
      {"substring to end", [] { return ScalarSubstring(Str("abcdef"), Int(4)); }, Str("def")},
      {"substring start 0", [] { return ScalarSubstring(Str("abcdef"), Int(0), Int(2)); }, Str("ab")},
      {"substring start -5", [] { return ScalarSubstring(Str("abc"), Int(-5)); }, Str("abc")},
      {"substring long", [] { return ScalarSubstring(Str("abc"), Int(2), Int(1000)); }, Str("bc")},
      {"substring huge length",
       [] { return ScalarSubstring(Str("abc"), Int(3), Of(btLargeint, 9.0e18L)); }, Str("c")},
      {"substring past end", [] { return ScalarSubstring(Str("abc"), Int(4)); }, Null(btString)},
      {"substring negative length", [] { return ScalarSubstring(Str("abc"), Int(1), Int(-1)); }, Null(btString)},
      {"substring zero length", [] { return ScalarSubstring(Str("abc"), Int(1), Int(0)); }, Null(btString)},
      {"substring wide", [] { return ScalarSubstring(Wide(u"αβγ"), Int(2), Int(1)); }, Wide(u"β")},
      {"substring null start", [] { return ScalarSubstring(Str("abc"), Null(btInteger)); }, Null(btString)},
      {"substring null length", [] { return ScalarSubstring(Str("abc"), Int(1), Null(btInteger)); }, Null(btString)},
      {"substring untyped null length", [] { return ScalarSubstring(Str("abc"), Int(1), Null(btNone)); }, Null(btString)},
      // LENGTH and POS.
      {"length", [] { return ScalarLength(Str("abc")); }, Int(3)},
      {"length wide", [] { return ScalarLength(Wide(u"αβ")); }, Int(2)},
      {"length null", [] { return ScalarLength(Null(btString)); }, Int(0)},
      {"length number", [] { return ScalarLength(Int(-12)); }, Int(3)},
      {"pos", [] { return ScalarPosition(Str("cd"), Str("abcdcd")); }, Int(3)},
      {"pos absent", [] { return ScalarPosition(Str("x"), Str("abc")); }, Int(0)},
      {"pos case counts", [] { return ScalarPosition(Str("B"), Str("abc")); }, Int(0)},
      {"pos wide", [] { return ScalarPosition(Str("b"), Wide(u"αb")); }, Int(2)},
      {"pos null", [] { return ScalarPosition(Null(btString), Str("abc")); }, Null(btInteger)},
      // DOD and SQR keep the type; integers never wrap.
      {"dod", [] { return ScalarAbs(Int(-7)); }, Int(7)},
      {"dod shortint", [] { return ScalarAbs(Of(btShortint, -5)); }, Of(btShortint, 5)},
      {"dod shortint min", [] { return ScalarAbs(Of(btShortint, -128)); }, Err(), kOverflow},
      {"dod integer min", [] { return ScalarAbs(Int(INT32_MIN)); }, Err(), kOverflow},
      {"dod largeint min", [] { return ScalarAbs(Of(btLargeint, -9223372036854775807.0L - 1)); }, Err(), kOverflow},
      {"dod float", [] { return ScalarAbs(Flt(-2.5)); }, Flt(2.5)},
      {"dod currency", [] { return ScalarAbs(Of(btCurrency, -3.25)); }, Of(btCurrency, 3.25)},
      {"dod null", [] { return ScalarAbs(Null(btSmallint)); }, Null(btSmallint)},
      {"dod text", [] { return ScalarAbs(Str("-1")); }, Err(), kNotNumeric},
      {"sqr", [] { return ScalarSqr(Int(-12)); }, Int(144)},
      {"sqr word", [] { return ScalarSqr(Of(btWord, 255)); }, Of(btWord, 65025)},
      {"sqr word overflow", [] { return ScalarSqr(Of(btWord, 256)); }, Err(), kOverflow},
      {"sqr integer overflow", [] { return ScalarSqr(Int(46341)); }, Err(), kOverflow},
      {"sqr largeint overflow", [] { return ScalarSqr(Of(btLargeint, 3037000500.0L)); }, Err(), kOverflow},
      {"sqr single", [] { return ScalarSqr(Of(btSingle, 1.5)); }, Of(btSingle, 2.25)},
      {"sqr single to infinity", [] { return ScalarSqr(Of(btSingle, 1e30)); }, Null(btSingle)},
      // Mathematical functions give a float; no finite result gives NULL.
      {"acos", [] { return ScalarMath(TMathFunction::Acos, Int(1)); }, Flt(0)},
      {"acos domain", [] { return ScalarMath(TMathFunction::Acos, Int(2)); }, Null(btFloat)},
      {"asin domain", [] { return ScalarMath(TMathFunction::Asin, Flt(-1.5)); }, Null(btFloat)},
      {"atan", [] { return ScalarMath(TMathFunction::Atan, Int(0)); }, Flt(0)},
      {"cos", [] { return ScalarMath(TMathFunction::Cos, Int(0)); }, Flt(1)},
      {"sin", [] { return ScalarMath(TMathFunction::Sin, Flt(0)); }, Flt(0)},
      {"exp", [] { return ScalarMath(TMathFunction::Exp, Int(0)); }, Flt(1)},
      {"exp overflow", [] { return ScalarMath(TMathFunction::Exp, Int(100000)); }, Null(btFloat)},
      {"log", [] { return ScalarMath(TMathFunction::Log, Int(1)); }, Flt(0)},
      {"log zero", [] { return ScalarMath(TMathFunction::Log, Int(0)); }, Null(btFloat)},
      {"log negative", [] { return ScalarMath(TMathFunction::Log, Int(-1)); }, Null(btFloat)},
      {"sqrt", [] { return ScalarMath(TMathFunction::Sqrt, Of(btSmallint, 9)); }, Flt(3)},
      {"sqrt negative", [] { return ScalarMath(TMathFunction::Sqrt, Flt(-4)); }, Null(btFloat)},
      {"sqrt null", [] { return ScalarMath(TMathFunction::Sqrt, Null(btInteger)); }, Null(btFloat)},
      {"sqrt text", [] { return ScalarMath(TMathFunction::Sqrt, Str("4")); }, Err(), kNotNumeric},
      {"power", [] { return ScalarPower(Int(2), Int(10)); }, Flt(1024)},
      {"power fraction", [] { return ScalarPower(Flt(2.25), Flt(0.5)); }, Flt(1.5)},
      {"power pole", [] { return ScalarPower(Int(0), Int(-1)); }, Null(btFloat)},
      {"power domain", [] { return ScalarPower(Int(-8), Flt(1.0 / 3)); }, Null(btFloat)},
      {"power null", [] { return ScalarPower(Int(2), Null(btInteger)); }, Null(btFloat)},
      // CEIL, FLOOR, SIGN give an integer.
      {"ceil", [] { return ScalarCeil(Flt(-1.5)); }, Int(-1)},
      {"ceil up", [] { return ScalarCeil(Flt(1.0001)); }, Int(2)},
      {"floor", [] { return ScalarFloor(Flt(-1.5)); }, Int(-2)},
      {"floor integer", [] { return ScalarFloor(Of(btSmallint, 7)); }, Int(7)},
      {"floor overflow", [] { return ScalarFloor(Flt(3e9)); }, Err(), kOverflow},
      {"ceil largeint overflow", [] { return ScalarCeil(Of(btLargeint, 1e12L)); }, Err(), kOverflow},
      {"sign", [] { return ScalarSign(Flt(-0.1)); }, Int(-1)},
      {"sign zero", [] { return ScalarSign(Of(btCurrency, 0)); }, Int(0)},
      {"sign positive", [] { return ScalarSign(Of(btCardinal, 4000000000.0L)); }, Int(1)},
      // ROUND: an integer with one argument, else a float, each mode on ties and non-ties.
      {"round", [] { return ScalarRound(Flt(2.5)); }, Int(3)},
      {"round negative", [] { return ScalarRound(Flt(-2.5)); }, Int(-3)},
      {"round below half", [] { return ScalarRound(Flt(2.4999)); }, Int(2)},
      {"round integer", [] { return ScalarRound(Int(-17)); }, Int(-17)},
      {"round overflow", [] { return ScalarRound(Flt(2147483647.5)); }, Err(), kOverflow},
      {"round huge", [] { return ScalarRound(Flt(1e300)); }, Err(), kOverflow},
      {"round decimal", [=] { return R(M::HalfUp, 2.675, 2); }, Flt(2.68)},
      {"round decimal below", [=] { return R(M::HalfUp, 1.005, 2); }, Flt(1.01)},
      {"round tens", [=] { return R(M::HalfUp, 1250, -2); }, Flt(1300)},
      {"round to zero", [=] { return R(M::HalfUp, 0.0004, 3); }, Flt(0)},
      {"round far digits", [=] { return R(M::HalfUp, 123.456, 1000); }, Flt(123.456)},
      {"round carry", [=] { return R(M::HalfUp, 9.996, 2); }, Flt(10)},
      {"halfeven down", [=] { return R(M::HalfEven, 0.125, 2); }, Flt(0.12)},
      {"halfeven up", [=] { return R(M::HalfEven, 0.135, 2); }, Flt(0.14)},
      {"halfeven whole", [=] { return R(M::HalfEven, 2.5, 0); }, Flt(2)},
      {"halfpos", [=] { return R(M::HalfPos, -2.5, 0); }, Flt(-2)},
      {"halfneg", [=] { return R(M::HalfNeg, 2.5, 0); }, Flt(2)},
      {"halfneg negative", [=] { return R(M::HalfNeg, -2.5, 0); }, Flt(-3)},
      {"halfdown", [=] { return R(M::HalfDown, -2.5, 0); }, Flt(-2)},
      {"halfdown above half", [=] { return R(M::HalfDown, 2.51, 0); }, Flt(3)},
      {"halfup", [=] { return R(M::HalfUp, -0.05, 1); }, Flt(-0.1)},
      {"rndneg", [=] { return R(M::RndNeg, -1.01, 1); }, Flt(-1.1)},
      {"rndneg positive", [=] { return R(M::RndNeg, 1.09, 1); }, Flt(1)},
      {"rndpos", [=] { return R(M::RndPos, 1.01, 1); }, Flt(1.1)},
      {"rndpos tiny", [=] { return R(M::RndPos, 1e-300, 2); }, Flt(0.01)},
      {"rnddown", [=] { return R(M::RndDown, -1.99, 0); }, Flt(-1)},
      {"rndup", [=] { return R(M::RndUp, -1.01, 0); }, Flt(-2)},
      {"round out of range", [=] { return R(M::RndUp, 1.7e308, -308); }, Null(btFloat)},
      {"round single", [] { return ScalarRound(Of(btSingle, 0.1f), Int(1)); }, Flt(0.1)},
      {"round null digits", [] { return ScalarRound(Flt(1), Null(btInteger)); }, Null(btFloat)},
      {"round text", [] { return ScalarRound(Str("1.5")); }, Err(), kNotNumeric},
      // EXTRACT gives a word.
      {"year", [] { return ScalarExtract(TExtractPart::Year, Moment(2024, 2, 29, 13, 5, 7, 999)); }, Of(btWord, 2024)},
      {"month", [] { return ScalarExtract(TExtractPart::Month, Moment(2024, 2, 29, 13, 5, 7, 999)); }, Of(btWord, 2)},
      {"day", [] { return ScalarExtract(TExtractPart::Day, Moment(2024, 2, 29, 13, 5, 7, 999)); }, Of(btWord, 29)},
      {"hour", [] { return ScalarExtract(TExtractPart::Hour, Moment(2024, 2, 29, 13, 5, 7, 999)); }, Of(btWord, 13)},
      {"minute", [] { return ScalarExtract(TExtractPart::Minute, Moment(2024, 2, 29, 13, 5, 7, 999)); }, Of(btWord, 5)},
      {"second", [] { return ScalarExtract(TExtractPart::Second, Moment(2024, 2, 29, 23, 59, 59, 999)); }, Of(btWord, 59)},
      {"year of date",
       [] {
         TABSVariant d(btDate);
         d.SetAsDate(*EncodeDayNumber(1999, 12, 31));
         return ScalarExtract(TExtractPart::Year, d);
       },
       Of(btWord, 1999)},
      {"hour of date",
       [] {
         TABSVariant d(btDate);
         d.SetAsDate(*EncodeDayNumber(1999, 12, 31));
         return ScalarExtract(TExtractPart::Hour, d);
       },
       Of(btWord, 0)},
      {"minute of time",
       [] {
         TABSVariant t(btTime);
         t.SetAsTime((10 * 60 + 42) * 60000);
         return ScalarExtract(TExtractPart::Minute, t);
       },
       Of(btWord, 42)},
      {"extract null", [] { return ScalarExtract(TExtractPart::Day, Null(btDate)); }, Null(btWord)},
      {"extract logical", [] { TABSVariant b(btLogical); b.SetAsLogical(true); return ScalarExtract(TExtractPart::Day, b); },
       Err(), 30052},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    if (c.error != 0) {
      EXPECT_EQ(CodeOf(c.call), c.error);
      continue;
    }
    const TABSVariant r = c.call();
    EXPECT_EQ(r.ValueType(), c.expected.ValueType());
    EXPECT_EQ(r.IsNull(), c.expected.IsNull());
    if (!r.IsNull() && !c.expected.IsNull()) {
      EXPECT_EQ(r.CompareRaw(c.expected), 0) << r.GetAsString() << " vs " << c.expected.GetAsString();
    }
  }
}

TEST(ScalarFunctions, RandStaysInRange) {
  for (int i = 0; i < 200; ++i) {
    const int32_t v = ScalarRand(Int(7)).GetAsInteger();
    EXPECT_GE(v, 0);
    EXPECT_LT(v, 7);
  }
  EXPECT_EQ(ScalarRand(Int(1)).GetAsInteger(), 0);
  EXPECT_EQ(ScalarRand(Flt(1.9)).GetAsInteger(), 0);
  EXPECT_EQ(ScalarRand(Int(INT32_MAX)).ValueType(), btInteger);
  EXPECT_GE(ScalarRand(Of(btLargeint, 2147483648.0L)).GetAsInteger(), 0);
  for (const TABSVariant& none : {Int(0), Int(-3), Flt(0.5), Null(btInteger)}) {
    const TABSVariant r = ScalarRand(none);
    EXPECT_EQ(r.ValueType(), btInteger);
    EXPECT_TRUE(r.IsNull());
  }
  EXPECT_EQ(CodeOf([] { ScalarRand(Of(btLargeint, 2147483649.0L)); }), kOverflow);
  EXPECT_EQ(CodeOf([] { ScalarRand(Str("5")); }), kNotNumeric);
}

TEST(ScalarFunctions, MimeToBin) {
  struct Good {
    const char* text;
    std::string bytes;
  };
  const Good good[] = {
      {"TWFu", "Man"},
      {"TWE=", "Ma"},
      {"TQ==", "M"},
      {"TWE", "Ma"},
      {"TQ", "M"},
      {"AP8A\r\n/w==", std::string("\0\xFF\0\xFF", 4)},
      {" S G V s b G 8 = ", "Hello"},
  };
  for (const Good& g : good) {
    SCOPED_TRACE(g.text);
    const TABSVariant r = ScalarMimeToBin(Str(g.text));
    ASSERT_EQ(r.ValueType(), btBlob);
    ASSERT_FALSE(r.IsNull());
    EXPECT_EQ(std::string(static_cast<const char*>(r.Data()), static_cast<size_t>(r.DataSize())), g.bytes);
  }
  for (const TABSVariant& none : {Null(btString), Str("  \r\n ")}) {
    const TABSVariant r = ScalarMimeToBin(none);
    EXPECT_EQ(r.ValueType(), btBlob);
    EXPECT_TRUE(r.IsNull());
  }
  for (const char* bad : {"T", "TWFuT", "TW=u", "TQ===", "T===", "TQ=", "TW!u", "TWFu\x80"}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(CodeOf([&] { ScalarMimeToBin(Str(bad)); }), kBadBase64);
  }
}

}  // namespace
}  // namespace dadoveri
