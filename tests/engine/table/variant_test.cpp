#include "engine/table/variant.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <optional>
#include <vector>

#include "engine/platform/locale.h"
#include "engine/base/engine_error.h"
#include "engine/table/comparison.h"
#include "engine/table/date_time.h"

namespace dadoveri {
namespace {

TABSVariant integer(TABSBaseType t, int64_t v) {
  TABSVariant r;
  r.SetFromBuffer(&v, MemoryDataSize(t, 0), true, t);  // low bytes, little-endian
  return r;
}
TABSVariant real(TABSBaseType t, long double v) {
  TABSVariant r(t);
  switch (t) {
    case btSingle: r.SetAsSingle(static_cast<float>(v)); break;
    case btExtended: r.SetAsExtended(v); break;
    case btCurrency: r.SetAsCurrency(static_cast<double>(v)); break;
    default: r.SetAsFloat(static_cast<double>(v)); break;
  }
  return r;
}
TABSVariant ansi(const char* s, TABSBaseType t = btString) {
  TABSVariant r(t);
  r.SetAsString(s);
  return r;
}
TABSVariant wide(const char16_t* s, TABSBaseType t = btWideString) {
  TABSVariant r(t);
  r.SetAsWideString(s);
  return r;
}
TABSVariant raw(TABSBaseType t, const void* p, int32_t n) {
  TABSVariant r;
  r.SetFromBuffer(p, n, true, t);
  return r;
}
TABSVariant date(int y, int m, int d) {
  TABSVariant r;
  r.SetAsDate(*EncodeDayNumber(y, m, d));
  return r;
}
TABSVariant time_of(int h, int n, int s, int ms = 0) {
  TABSVariant r;
  r.SetAsTime(((h * 60 + n) * 60 + s) * 1000 + ms);
  return r;
}
TABSVariant date_time(int y, int m, int d, int32_t ms) {
  TABSVariant r;
  r.SetAsDateTime({*EncodeDayNumber(y, m, d), ms});
  return r;
}
TABSVariant logical(bool b) {
  TABSVariant r;
  r.SetAsLogical(b);
  return r;
}

bool same_bytes(const TABSVariant& a, const TABSVariant& b) {
  return a.ValueType() == b.ValueType() && a.IsNull() == b.IsNull() && a.DataSize() == b.DataSize() &&
         (a.IsNull() || std::memcmp(a.Data(), b.Data(), static_cast<size_t>(a.DataSize())) == 0);
}

int32_t error_code(const std::function<void()>& f) {
  try {
    f();
  } catch (const VODIDivodavir& e) {
    return e.NativeError;
  }
  return 0;
}

std::string sep(const char* text) {
  std::string s = text;
  for (char& c : s)
    if (c == '.') c = UserLocale().DecimalSeparator();
  return s;
}

TEST(VariantCast, ConversionMatrix) {
  const char memo_bytes[] = {'a', 'b', 'c'};
  const char memo_number[] = {'4', '2', 0, 'x'};
  const char16_t wide_memo[] = {u'1', u'2', 0, u'9'};
  const uint8_t blob[] = {1, 2, 3, 4};
  const int32_t day_2024_01_31 = *EncodeDayNumber(2024, 1, 31);
  struct Case {
    const char* name;
    TABSVariant from;
    TABSBaseType to;
    std::optional<TABSVariant> want;  // nullopt: the cast is refused
    int32_t code = 0;                 // the refusal's code
  };
  const Case cases[] = {
      // text to integers: 32-bit parse, then the low bytes of the target width
      {"text to shortint", ansi("123"), btShortint, integer(btShortint, 123)},
      {"text to byte keeps the low byte", ansi("300"), btByte, integer(btByte, 44)},
      {"text to word from a negative", ansi("-1"), btWord, integer(btWord, 65535)},
      {"text to integer with blanks", ansi(" -42 "), btInteger, integer(btInteger, -42)},
      {"text to integer beyond 32 bits", ansi("2147483648"), btInteger, std::nullopt, 30051},
      {"text to integer not a number", ansi("12a"), btInteger, std::nullopt, 30051},
      {"text to cardinal above 2^31", ansi("4000000000"), btCardinal, integer(btCardinal, 4000000000)},
      {"text to largeint", ansi("-9223372036854775808"), btLargeint, integer(btLargeint, INT64_MIN)},
      {"text to largeint overflow", ansi("9223372036854775808"), btLargeint, std::nullopt, 30051},
      {"wide text to integer", wide(u"77"), btInteger, integer(btInteger, 77)},
      // text to floating point: '.' whatever the locale
      {"text to float", ansi("3.5"), btFloat, real(btFloat, 3.5)},
      {"text to float with comma", ansi("3,5"), btFloat, std::nullopt, 30051},
      {"text to single with exponent", ansi(" 2.5E3 "), btSingle, real(btSingle, 2500)},
      {"text to extended", ansi("0.1"), btExtended, real(btExtended, 0.1L)},
      {"text to extended not a number", ansi("abc"), btExtended, std::nullopt, 30051},
      {"text to currency", ansi(sep("12.25").c_str()), btCurrency, real(btCurrency, 12.25)},
      // text to dates and times
      {"text to date", ansi("2024-01-31"), btDate, date(2024, 1, 31)},
      {"text to date, no such day", ansi("2024-02-30"), btDate, std::nullopt, 30051},
      {"text to date from a date-time", ansi("2024-01-31 10:20:30"), btDate, date(2024, 1, 31)},
      {"text to date in the locale's form", ansi(FormatLocaleDate(day_2024_01_31).c_str()), btDate, date(2024, 1, 31)},
      {"text to time", ansi("10:20:30"), btTime, time_of(10, 20, 30)},
      {"text to time, bad hour", ansi("25:00:00"), btTime, std::nullopt, 30051},
      {"text to date-time", ansi("2024-01-31 10:20:30"), btDateTime, date_time(2024, 1, 31, 37230000)},
      {"text to date-time, date only", ansi("2024-01-31"), btDateTime, date_time(2024, 1, 31, 0)},
      // text to logical, BLOB, other text
      {"text TRUE", ansi("true"), btLogical, logical(true)},
      {"text 1", ansi("1"), btLogical, logical(true)},
      {"text yes", ansi("yes"), btLogical, logical(false)},
      {"text to blob", ansi("abc"), btBlob, raw(btBlob, "abc", 4)},
      {"ansi to wide", ansi("caf\xE9"), btWideString, wide(u"caf\u00e9")},
      {"wide to ansi", wide(u"caf\u00e9"), btChar, ansi("caf\xE9", btChar)},
      {"char to string", ansi("x", btChar), btString, ansi("x")},
      {"text to bytes", ansi("abc"), btBytes, std::nullopt, 30052},
      // memo values
      {"memo to text", raw(btMemo, memo_bytes, 3), btString, ansi("abc")},
      {"memo to integer", raw(btMemo, memo_number, 4), btInteger, integer(btInteger, 42)},
      {"wide memo to integer", raw(btWideMemo, wide_memo, 8), btInteger, integer(btInteger, 12)},
      {"wide memo to text", raw(btWideMemo, wide_memo, 8), btString, ansi("12")},
      // integers
      {"integer to text", integer(btInteger, -5), btString, ansi("-5")},
      {"cardinal to text", integer(btCardinal, 4000000000), btString, ansi("4000000000")},
      {"byte to wide text", integer(btByte, 255), btWideString, wide(u"255")},
      {"largeint to text", integer(btLargeint, INT64_MIN), btString, ansi("-9223372036854775808")},
      {"integer to smallint keeps low bytes", integer(btInteger, 70000), btSmallint, integer(btSmallint, 4464)},
      {"integer to cardinal", integer(btInteger, -1), btCardinal, integer(btCardinal, 4294967295)},
      {"integer to float", integer(btLargeint, 1LL << 53), btFloat, real(btFloat, 9007199254740992.0)},
      {"integer to logical", integer(btInteger, 0), btLogical, logical(false)},
      {"integer to date", integer(btInteger, 738916), btDate, integer(btDate, 738916)},
      {"integer to blob", integer(btInteger, 1), btBlob, std::nullopt, 30052},
      // floating point and currency
      {"float to integer truncates", real(btFloat, 3.9), btInteger, integer(btInteger, 3)},
      {"negative float to integer truncates", real(btFloat, -3.9), btInteger, integer(btInteger, -3)},
      {"float to byte keeps low byte", real(btFloat, 300.7), btByte, integer(btByte, 44)},
      {"float beyond 64 bits", real(btFloat, 1e20), btLargeint, std::nullopt, 30051},
      {"float to logical", real(btFloat, 0.5), btLogical, logical(true)},
      {"float to text", real(btFloat, 2.5), btString, ansi(sep("2.5").c_str())},
      {"float to text, exponent", real(btFloat, 1e20), btString, ansi("1E20")},
      {"single to text is shortest", real(btSingle, 0.1f), btString, ansi(sep("0.1").c_str())},
      {"currency to integer", real(btCurrency, -7.75), btInteger, integer(btInteger, -7)},
      {"extended to float", real(btExtended, 0.5L), btFloat, real(btFloat, 0.5)},
      {"float to date", real(btFloat, 45000.75), btDate, integer(btDate, 45000)},
      {"float to time", real(btFloat, 86400005.5), btTime, integer(btTime, 5)},
      {"float to date-time", real(btFloat, 45000.75), btDateTime, [] {
         TABSVariant v;
         v.SetAsDateTime({45000, 64800000});
         return v;
       }()},
      // logical
      {"logical to integer", logical(true), btInteger, integer(btInteger, -1)},
      {"logical to byte", logical(true), btByte, integer(btByte, 255)},
      {"logical to float", logical(false), btFloat, real(btFloat, 0)},
      {"logical to text", logical(true), btString, ansi("TRUE")},
      // dates and times
      {"date to date-time", date(2024, 1, 31), btDateTime, date_time(2024, 1, 31, 0)},
      {"time to date-time", time_of(1, 0, 0), btDateTime, [] {
         TABSVariant v;
         v.SetAsDateTime({kDateDelta, 3600000});
         return v;
       }()},
      {"date-time to date", date_time(2024, 1, 31, 5), btDate, date(2024, 1, 31)},
      {"date-time to time", date_time(2024, 1, 31, 5), btTime, integer(btTime, 5)},
      {"date to text", date(2024, 1, 31), btString, ansi(FormatLocaleDate(day_2024_01_31).c_str())},
      {"date to integer", date(2024, 1, 31), btInteger, std::nullopt, 30052},
      // byte types
      {"blob to text", raw(btBlob, blob, 4), btString, std::nullopt, 30052},
      {"bytes to integer", raw(btBytes, blob, 4), btInteger, std::nullopt, 30052},
      {"bytes to bytes", raw(btBytes, blob, 4), btBytes, raw(btBytes, blob, 4)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TABSVariant v(c.from);
    if (c.want) {
      ASSERT_NO_THROW(v.ConvertTo(c.to));
      EXPECT_TRUE(same_bytes(v, *c.want)) << "got " << v.GetAsString() << ", want " << c.want->GetAsString();
    } else {
      EXPECT_EQ(error_code([&] { v.ConvertTo(c.to); }), c.code);
      // A failed cast leaves the value as it was.
      EXPECT_TRUE(same_bytes(v, c.from));
    }
  }
}

// One representative value of every base type.
std::vector<TABSVariant> one_of_each() {
  std::vector<TABSVariant> v;
  v.push_back(ansi("12", btChar));
  v.push_back(wide(u"12", btWideChar));
  v.push_back(ansi("2024-01-31"));
  v.push_back(wide(u"10:20:30"));
  for (TABSBaseType t : {btShortint, btSmallint, btInteger, btLargeint, btByte, btWord, btCardinal})
    v.push_back(integer(t, 12));
  for (TABSBaseType t : {btSingle, btFloat, btExtended}) v.push_back(real(t, 12.5L));
  v.push_back(date(2024, 1, 31));
  v.push_back(time_of(10, 20, 30));
  v.push_back(date_time(2024, 1, 31, 1000));
  v.push_back(raw(btBlob, "\1\2\3\4\5\6\0\0\0\0", 10));
  v.push_back(raw(btMemo, "12", 2));
  v.push_back(raw(btWideMemo, u"12", 4));
  v.push_back(logical(true));
  v.push_back(real(btCurrency, 12.5));
  v.push_back(raw(btBytes, "\1\2", 2));
  v.push_back(raw(btVarBytes, "\1\2", 2));
  return v;
}

TEST(VariantCast, EveryPairCastsOrIsRefusedCleanly) {
  const std::vector<TABSVariant> values = one_of_each();
  ASSERT_EQ(values.size(), static_cast<size_t>(kBaseTypeCount));
  for (const TABSVariant& from : values) {
    ASSERT_EQ(from.ValueType(), static_cast<TABSBaseType>(&from - values.data() + 1));
    for (int t = 1; t <= kBaseTypeCount; ++t) {
      const auto to = static_cast<TABSBaseType>(t);
      SCOPED_TRACE(std::string(BaseTypeName(from.ValueType())) + " to " + BaseTypeName(to));
      TABSVariant v(from);
      const int32_t code = error_code([&] { v.ConvertTo(to); });
      if (code != 0) {
        EXPECT_TRUE(code == 30051 || code == 30052) << code;
        EXPECT_TRUE(same_bytes(v, from));
        continue;
      }
      EXPECT_EQ(v.ValueType(), to);
      if (!IsStringBaseType(to) && !IsBlobBaseType(to) && to != btBytes && to != btVarBytes) {
        EXPECT_EQ(v.DataSize(), MemoryDataSize(to, 0));
      }
    }
  }
}

TEST(VariantCast, EveryCommonTypeHasCastRules) {
  // Wherever two types have a common type, both sides have a rule into it (a value may
  // still fail its rule, as "abc" fails as a number, but never for want of a rule).
  const std::vector<TABSVariant> values = one_of_each();
  for (const TABSVariant& a : values)
    for (const TABSVariant& b : values)
      for (bool arithmetic : {false, true}) {
        const TABSBaseType common = CommonBaseType(a.ValueType(), b.ValueType(), arithmetic);
        if (common == btNone) continue;
        TABSVariant v(a);
        EXPECT_NE(error_code([&] { v.ConvertTo(common); }), 30052)
            << BaseTypeName(a.ValueType()) << " into " << BaseTypeName(common);
      }
}

TEST(VariantCast, CastMessagesNameBothTypes) {
  TABSVariant v = ansi("x");
  try {
    v.ConvertTo(btInteger);
    FAIL();
  } catch (const VODIDivodavir& e) {
    EXPECT_STREQ(e.what(), "Cannot cast from 'STRING' to 'INTEGER' - Native error: 30051");
  }
}

TEST(VariantCast, MinimumDateIsTheEmptyText) {
  TABSVariant v = integer(btDate, INT32_MIN);
  EXPECT_EQ(v.GetAsString(), "");
}

TEST(VariantCast, EveryTypeReadsBackFromItsText) {
  const TABSVariant values[] = {
      integer(btShortint, -128), integer(btSmallint, -32768), integer(btInteger, INT32_MIN),
      integer(btLargeint, INT64_MAX), integer(btByte, 255), integer(btWord, 65535),
      integer(btCardinal, 4294967295), real(btSingle, 1.1f), real(btFloat, 0.1 + 0.2),
      real(btExtended, 1.0L / 3), real(btFloat, -1.5e-300), date(1, 1, 1), date(9999, 12, 31),
      time_of(23, 59, 59, 999), date_time(2024, 2, 29, 12345678), logical(true), logical(false),
      wide(u"\u06a9\u062a\u0627\u0628"),
  };
  for (const TABSVariant& v : values) {
    SCOPED_TRACE(BaseTypeName(v.ValueType()));
    // Floating-point text is written with the locale's decimal separator but read with
    // '.' only; the two meet only where the locale's separator is '.'.
    if (IsFloatBaseType(v.ValueType()) && UserLocale().DecimalSeparator() != '.') continue;
    TABSVariant text = ansi(v.GetAsString().c_str());
    text.ConvertTo(v.ValueType() == btWideString ? btWideString : v.ValueType());
    if (v.ValueType() == btWideString) {
      // Persian letters are outside Windows-1252: they come back as '?'.
      continue;
    }
    EXPECT_TRUE(same_bytes(text, v)) << v.GetAsString();
  }
}

TEST(Variant, StickyTypeAndEmptyText) {
  TABSVariant v(btString);
  v.SetAsInteger(42);
  EXPECT_EQ(v.ValueType(), btString);
  EXPECT_EQ(v.GetAsString(), "42");
  EXPECT_EQ(v.StringLength(), 2);

  TABSVariant n(btInteger);
  n.SetAsString("17");
  EXPECT_EQ(n.ValueType(), btInteger);
  EXPECT_EQ(n.GetAsInteger(), 17);
  // A failed conversion of the new value leaves the old one.
  EXPECT_EQ(error_code([&] { n.SetAsString("x"); }), 30051);
  EXPECT_EQ(n.GetAsInteger(), 17);
  n.SetAsString("");
  EXPECT_TRUE(n.IsNull());
  EXPECT_EQ(n.ValueType(), btInteger);

  TABSVariant u;
  u.SetAsFloat(1.5);
  EXPECT_EQ(u.ValueType(), btFloat);
  TABSVariant e;
  e.SetAsWideString(u"");
  EXPECT_TRUE(e.IsNull());
  EXPECT_EQ(e.ValueType(), btWideString);
}

TEST(Variant, NullValues) {
  TABSVariant v(btInteger);
  EXPECT_TRUE(v.IsNull());
  EXPECT_EQ(error_code([&] { v.GetAsInteger(); }), 30016);
  EXPECT_EQ(error_code([&] { v.GetAsDateTime(); }), 30016);
  EXPECT_EQ(v.GetAsString(), "");
  EXPECT_EQ(v.GetAsWideString(), u"");
  EXPECT_EQ(v.StringLength(), -1);
  v.ConvertTo(btString);  // a null only changes type
  EXPECT_EQ(v.ValueType(), btString);
  EXPECT_TRUE(v.IsNull());

  TABSVariant s = ansi("abc");
  s.SetNull();
  EXPECT_TRUE(s.IsNull());
  EXPECT_EQ(s.ValueType(), btString);
  char buffer[8] = {};
  EXPECT_FALSE(s.WriteToBuffer(buffer, 8));
}

TEST(Variant, AssignBorrowAndBuffers) {
  char record[8] = "hello";
  TABSVariant borrowed;
  borrowed.SetFromBuffer(record, 6, false, btString);
  EXPECT_TRUE(borrowed.IsBorrowed());
  record[0] = 'j';
  EXPECT_EQ(borrowed.GetAsString(), "jello");
  TABSVariant copy;
  copy.Assign(borrowed, true);
  record[0] = 'c';
  EXPECT_EQ(copy.GetAsString(), "jello");
  EXPECT_FALSE(copy.IsBorrowed());

  char out[6] = {};
  EXPECT_EQ(error_code([&] { copy.WriteToBuffer(out, 5); }), 20056);
  EXPECT_TRUE(copy.WriteToBuffer(out, 6));
  EXPECT_STREQ(out, "jello");
  TABSVariant empty;
  empty.SetFromBuffer("", 1, true, btString);
  EXPECT_FALSE(empty.WriteToBuffer(out, -1));
  EXPECT_EQ(copy.StringLength(), 5);
  TABSVariant w = wide(u"ab");
  EXPECT_EQ(w.StringLength(), 2);
}

TEST(Variant, StoredForm) {
  std::string bytes;
  const TABSVariant values[] = {ansi("abc"), TABSVariant(btInteger), integer(btLargeint, -2), wide(u"\u06a9"),
                                date_time(2024, 1, 31, 5)};
  for (const TABSVariant& v : values) v.AppendStoredForm(bytes);
  EXPECT_EQ(bytes.substr(0, 10), std::string("\x03\x00\x04\x00\x00\x00" "abc\0", 10));
  EXPECT_EQ(bytes.substr(10, 2), std::string("\x07\x01", 2));
  size_t pos = 0;
  for (const TABSVariant& v : values) {
    TABSVariant back;
    ASSERT_TRUE(back.ReadStoredForm(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), pos));
    EXPECT_TRUE(same_bytes(back, v));
  }
  EXPECT_EQ(pos, bytes.size());
  TABSVariant keep = integer(btInteger, 9);
  pos = 0;
  EXPECT_FALSE(keep.ReadStoredForm(reinterpret_cast<const uint8_t*>(bytes.data()), 8, pos));
  EXPECT_EQ(keep.GetAsInteger(), 9);
  EXPECT_EQ(pos, 0u);
}

TEST(Variant, CalendarValues) {
  TABSVariant v;
  v.SetAsTDateTime(45322.5);  // 2024-01-31 12:00
  EXPECT_EQ(v.GetAsDateTime().Date, 45322 + kDateDelta);
  EXPECT_EQ(v.GetAsDateTime().Time, 43200000);
  EXPECT_DOUBLE_EQ(v.GetAsTDateTime(), 45322.5);
  TABSVariant d;
  d.SetAsTDate(0);
  EXPECT_EQ(d.GetAsDate(), kDateDelta);
  int y, m, dd;
  DecodeDayNumber(d.GetAsDate(), y, m, dd);
  EXPECT_EQ(y * 10000 + m * 100 + dd, 18991230);
  EXPECT_EQ(*EncodeDayNumber(1, 1, 1), 1);
  TABSVariant t;
  t.SetAsTTime(0.75);
  EXPECT_EQ(t.GetAsTime(), 64800000);
  // Before 1899-12-30 whole days count down and the time of day up.
  TABSVariant early;
  early.SetAsTDateTime(-1.25);
  EXPECT_EQ(early.GetAsDateTime(), (TABSDateTime{kDateDelta - 1, 21600000}));
  EXPECT_DOUBLE_EQ(early.GetAsTDateTime(), -1.25);
  // Milliseconds round; a time that rounds up to midnight moves to the next day.
  TABSVariant late;
  late.SetAsTDateTime(1.9999999999);
  EXPECT_EQ(late.GetAsDateTime(), (TABSDateTime{kDateDelta + 2, 0}));
}

TEST(Variant, HostVariants) {
  const THostVariant in[] = {int16_t{-3}, int32_t{5}, 1.5f, 2.5, THostCurrency{9.75}, THostDate{45322.5},
                             std::u16string(u"\u0641"), true, int8_t{-8}, uint8_t{200}, uint16_t{60000},
                             uint32_t{4000000000u}, int64_t{-1}, std::string("abc")};
  const TABSBaseType types[] = {btSmallint, btInteger, btSingle,  btFloat,     btCurrency, btDateTime, btWideString,
                                btLogical,  btShortint, btByte,   btWord,      btCardinal, btLargeint, btString};
  for (size_t i = 0; i < std::size(in); ++i) {
    TABSVariant v;
    v.SetFromHostVariant(in[i]);
    EXPECT_EQ(v.ValueType(), types[i]) << i;
    EXPECT_EQ(v.ToHostVariant(), in[i]) << i;
  }
  TABSVariant v(btInteger);
  v.SetAsInteger(1);
  v.SetFromHostVariant(THostNull{});
  EXPECT_TRUE(v.IsNull());
  EXPECT_EQ(v.ValueType(), btInteger);
  EXPECT_EQ(v.ToHostVariant(), THostVariant(THostNull{}));
  EXPECT_EQ(error_code([&] { v.SetFromHostVariant(THostUnsupported{"varDispatch"}); }), 30113);
  TABSVariant bytes = raw(btBytes, "ab", 2);
  EXPECT_EQ(error_code([&] { bytes.ToHostVariant(); }), 30114);
}

TEST(VariantArithmetic, AddNullRules) {
  TABSVariant text = ansi("abc");
  text.Add(TABSVariant(btString));
  EXPECT_EQ(text.GetAsString(), "abc");

  TABSVariant number = integer(btInteger, 5);
  number.Add(TABSVariant(btInteger));
  EXPECT_TRUE(number.IsNull());

  TABSVariant null_text(btString);
  null_text.Add(ansi("xyz"));
  EXPECT_EQ(null_text.GetAsString(), "xyz");

  TABSVariant null_number(btInteger);
  null_number.Add(integer(btInteger, 3));
  EXPECT_TRUE(null_number.IsNull());

  for (bool left_null : {false, true}) {
    TABSVariant a = left_null ? TABSVariant(btFloat) : real(btFloat, 2);
    TABSVariant b = left_null ? real(btFloat, 2) : TABSVariant(btFloat);
    TABSVariant c = a;
    a.Multiply(b);
    c.Divide(b);
    EXPECT_TRUE(a.IsNull());
    EXPECT_TRUE(c.IsNull());
    EXPECT_EQ(a.ValueType(), btFloat);
  }
}

TEST(VariantArithmetic, ByCommonType) {
  TABSVariant a = ansi("ab");
  a.Add(integer(btInteger, 12));
  EXPECT_EQ(a.ValueType(), btString);
  EXPECT_EQ(a.GetAsString(), "ab12");

  TABSVariant w = ansi("x");
  w.Add(wide(u"\u0641"));
  EXPECT_EQ(w.ValueType(), btWideString);
  EXPECT_EQ(w.GetAsWideString(), u"x\u0641");

  TABSVariant i = integer(btSmallint, 30000);
  i.Add(integer(btWord, 40000));  // smallint with word: word
  EXPECT_EQ(i.ValueType(), btWord);
  EXPECT_EQ(i.GetAsWord(), 4464);  // low bytes of 70000

  TABSVariant f = integer(btInteger, 7);
  f.Divide(integer(btInteger, 2));
  EXPECT_EQ(f.GetAsInteger(), 3);
  TABSVariant g = integer(btInteger, -7);
  g.Divide(integer(btInteger, 2));
  EXPECT_EQ(g.GetAsInteger(), -3);
  TABSVariant h = integer(btInteger, 7);
  h.Divide(real(btFloat, 2));
  EXPECT_EQ(h.ValueType(), btFloat);
  EXPECT_DOUBLE_EQ(h.GetAsFloat(), 3.5);

  TABSVariant m = real(btCurrency, 1.5);
  m.Multiply(integer(btInteger, 3));  // currency with integer: integer (1.5 truncates to 1)
  EXPECT_EQ(m.ValueType(), btInteger);
  EXPECT_EQ(m.GetAsInteger(), 3);
  TABSVariant m2 = integer(btInteger, 3);
  m2.Multiply(real(btCurrency, 1.5));  // integer with currency: currency
  EXPECT_EQ(m2.ValueType(), btCurrency);
  EXPECT_DOUBLE_EQ(m2.GetAsCurrency(), 4.5);

  TABSVariant dt = date_time(2000, 1, 1, 0);
  dt.SetAsDateTime({10, 23 * 3600000});
  TABSVariant add;
  add.SetAsDateTime({0, 2 * 3600000});
  dt.Add(add);
  EXPECT_EQ(dt.GetAsDateTime(), (TABSDateTime{11, 3600000}));

  TABSVariant d = date(2024, 1, 31);
  d.Add(integer(btInteger, 1));
  EXPECT_EQ(d.ValueType(), btDate);
  EXPECT_EQ(d.GetAsDate(), *EncodeDayNumber(2024, 2, 1));

  TABSVariant text_date = ansi("Due ");
  text_date.Add(date(2024, 1, 31));  // text plus date concatenates as text
  EXPECT_EQ(text_date.GetAsString(), "Due " + FormatLocaleDate(*EncodeDayNumber(2024, 1, 31)));

  TABSVariant l = logical(false);
  l.Add(logical(true));
  EXPECT_TRUE(l.GetAsLogical());
  l = logical(false);
  l.Multiply(logical(false));
  EXPECT_FALSE(l.GetAsLogical());
}

TEST(VariantArithmetic, Refusals) {
  struct Case {
    const char* name;
    std::function<void()> action;
    int32_t code;
  };
  const Case cases[] = {
      {"text times number", [] { TABSVariant a = ansi("a"); a.Multiply(integer(btInteger, 2)); }, 30126},
      {"text divided", [] { TABSVariant a = ansi("a"); a.Divide(ansi("b")); }, 30127},
      {"blob plus", [] { TABSVariant a = raw(btBlob, "x", 1); a.Add(raw(btBlob, "y", 1)); }, 30124},
      {"integer by zero", [] { TABSVariant a = integer(btInteger, 1); a.Divide(integer(btInteger, 0)); }, 30128},
      {"float by zero", [] { TABSVariant a = real(btFloat, 1); a.Divide(real(btFloat, 0)); }, 30128},
      {"largeint overflow", [] { TABSVariant a = integer(btLargeint, INT64_MIN); a.Divide(integer(btLargeint, -1)); }, 30128},
      {"negate text", [] { TABSVariant a = ansi("a"); a.Negate(); }, 30123},
  };
  for (const Case& c : cases) EXPECT_EQ(error_code(c.action), c.code) << c.name;
  try {
    TABSVariant a = integer(btInteger, 1);
    a.Divide(integer(btInteger, 0));
  } catch (const VODIDivodavir& e) {
    EXPECT_STREQ(e.what(), "Division error: Division by zero - Native error: 30128");
  }
}

TEST(VariantArithmetic, Negate) {
  TABSVariant a = integer(btInteger, 5);
  a.Negate();
  EXPECT_EQ(a.GetAsInteger(), -5);
  TABSVariant b = integer(btByte, 5);
  b.Negate();
  EXPECT_EQ(b.GetAsByte(), 251);
  TABSVariant c = integer(btSmallint, -32768);
  c.Negate();
  EXPECT_EQ(c.GetAsSmallint(), -32768);
  TABSVariant f = real(btExtended, 2.5L);
  f.Negate();
  EXPECT_EQ(ExtendedToLongDouble(f.GetAsExtended()), -2.5L);
  TABSVariant l = logical(true);
  l.Negate();
  EXPECT_FALSE(l.GetAsLogical());
  TABSVariant n(btInteger);
  n.Negate();
  EXPECT_TRUE(n.IsNull());
  TABSVariant zero = integer(btCardinal, 0);
  zero.Negate();
  EXPECT_EQ(zero.GetAsCardinal(), 0u);
  for (TABSVariant v : {integer(btCardinal, 1), integer(btInteger, INT32_MIN), integer(btLargeint, INT64_MIN),
                        integer(btDate, INT32_MIN)}) {
    try {
      v.Negate();
      ADD_FAILURE() << "no overflow for " << BaseTypeName(v.ValueType());
    } catch (const VODIDivodavir& e) {
      EXPECT_EQ(e.NativeError, 30122);
      EXPECT_EQ(std::string(e.what()), std::string("Integer overflow in '") + BaseTypeName(v.ValueType()) +
                                           "' operation - Native error: 30122");
    }
  }
}

}  // namespace
}  // namespace dadoveri
