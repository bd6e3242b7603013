#include "engine/table/comparison.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "engine/platform/code_page.h"
#include "engine/platform/locale.h"
#include "engine/base/engine_error.h"
#include "engine/table/date_time.h"
#include "engine/table/variant.h"

namespace dadoveri {
namespace {

TABSVariant ansi(const char* s) {
  TABSVariant v;
  v.SetAsString(s);
  return v;
}
TABSVariant wide(const std::u16string& s) {
  TABSVariant v;
  v.SetAsWideString(s);
  return v;
}
TABSVariant integer(int32_t i) {
  TABSVariant v;
  v.SetAsInteger(i);
  return v;
}

int32_t error_code(auto action) {
  try {
    action();
  } catch (const VODIDivodavir& e) {
    return e.NativeError;
  }
  return 0;
}

TEST(CommonType, TableIncludingItsAsymmetry) {
  struct Case {
    TABSBaseType a, b, want;
  };
  const Case cases[] = {
      {btShortint, btWord, btWord},       {btWord, btShortint, btInteger}, {btSmallint, btWord, btWord},
      {btWord, btSmallint, btInteger},    {btShortint, btCardinal, btCardinal},
      {btCardinal, btShortint, btLargeint}, {btInteger, btCurrency, btCurrency},
      {btCurrency, btInteger, btInteger}, {btFloat, btCurrency, btCurrency}, {btCurrency, btFloat, btFloat},
      {btInteger, btString, btString},    {btString, btDate, btDate},       {btDate, btTime, btDateTime},
      {btTime, btDate, btDateTime},       {btMemo, btMemo, btChar},         {btWideMemo, btString, btWideString},
      {btString, btWideMemo, btWideString}, {btChar, btWideMemo, btWideChar}, {btLogical, btInteger, btInteger},
      {btLogical, btDate, btNone},        {btBlob, btBlob, btNone},          {btBytes, btBytes, btNone},
      {btNone, btInteger, btNone},
  };
  for (const Case& c : cases)
    EXPECT_EQ(CommonBaseType(c.a, c.b), c.want) << BaseTypeName(c.a) << " with " << BaseTypeName(c.b);
  // Arithmetic use: text with a date or time stays text.
  EXPECT_EQ(CommonBaseType(btString, btDate, true), btString);
  EXPECT_EQ(CommonBaseType(btDateTime, btWideChar, true), btWideChar);
  EXPECT_EQ(CommonBaseType(btInteger, btDate, true), btDate);
  // Column types: a's own when its base is the common one, else b's, else the first.
  EXPECT_EQ(CommonColumnType(ctAutoinc, ctSmallint), ctAutoinc);
  EXPECT_EQ(CommonColumnType(ctSmallint, ctTimeStamp), ctTimeStamp);
  EXPECT_EQ(CommonColumnType(ctDate, ctTime), ctDateTime);
  EXPECT_EQ(CommonColumnType(ctGuid, ctMemo), ctGuid);
  EXPECT_EQ(CommonColumnType(ctBlob, ctBlob), ctNone);
}

TEST(Comparison, ResultCodesAndNulls) {
  const TABSVariant null_int(btInteger), null_text(btString);
  EXPECT_EQ(null_int.CompareRaw(integer(1)), cmpFirstNull);
  EXPECT_EQ(integer(1).CompareRaw(null_int), cmpSecondNull);
  EXPECT_EQ(null_int.CompareRaw(null_text), cmpBothNull);
  EXPECT_EQ(integer(1).CompareRaw(integer(2)), cmpLess);
  EXPECT_EQ(integer(2).CompareRaw(integer(1)), cmpGreater);
  EXPECT_EQ(integer(2).CompareRaw(integer(2)), cmpEqual);
  EXPECT_EQ(null_int.Compare(integer(INT32_MIN)), -1);
  EXPECT_EQ(null_int.Compare(null_text), 0);
  // NULLs are not compared by type: a NULL BLOB against a number is still just NULL.
  EXPECT_EQ(TABSVariant(btBlob).CompareRaw(integer(1)), cmpFirstNull);
}

TEST(Comparison, ValuesOfDifferentTypes) {
  EXPECT_EQ(integer(5).CompareRaw(ansi("5")), cmpEqual);
  EXPECT_EQ(integer(10).CompareRaw(ansi("9")), cmpLess);  // compared as text
  TABSVariant d;
  d.SetAsDate(*EncodeDayNumber(2024, 1, 31));
  EXPECT_EQ(d.CompareRaw(ansi("2024-01-31")), cmpEqual);
  EXPECT_EQ(ansi("2024-02-01").CompareRaw(d), cmpGreater);
  TABSVariant cardinal;
  cardinal.SetAsCardinal(4000000000u);
  EXPECT_EQ(cardinal.CompareRaw(integer(-1)), cmpGreater);  // as 64-bit integers
  TABSVariant f;
  f.SetAsFloat(2.5);
  EXPECT_EQ(integer(2).CompareRaw(f), cmpLess);
  TABSVariant nan;
  nan.SetAsFloat(std::nan(""));
  EXPECT_EQ(nan.CompareRaw(f), cmpEqual);  // neither lower nor greater
  TABSVariant yes, no;
  yes.SetAsLogical(true);
  no.SetAsLogical(false);
  EXPECT_EQ(no.CompareRaw(yes), cmpLess);
  TABSVariant other_true;
  other_true.SetFromBuffer("\x01\x00", 2, true, btLogical);
  EXPECT_EQ(other_true.CompareRaw(yes), cmpEqual);
  TABSVariant dt1, dt2;
  dt1.SetAsDateTime({5, 100});
  dt2.SetAsDateTime({5, 99});
  EXPECT_EQ(dt1.CompareRaw(dt2), cmpGreater);

  TABSVariant blob, bytes;
  blob.SetFromBuffer("ab", 2, true, btBlob);
  bytes.SetFromBuffer("ab", 2, true, btBytes);
  EXPECT_EQ(error_code([&] { blob.CompareRaw(blob); }), 30044);
  EXPECT_EQ(error_code([&] { blob.CompareRaw(integer(1)); }), 30044);
  EXPECT_EQ(error_code([&] { bytes.CompareRaw(bytes); }), 30047);
  EXPECT_EQ(error_code([&] { d.CompareRaw(ansi("soon")); }), 30051);
}

TEST(Comparison, TextRules) {
  for (bool is_wide : {false, true}) {
    SCOPED_TRACE(is_wide ? "wide" : "ansi");
    auto t = [&](const char* s) { return is_wide ? wide(AnsiCodePage().ToWide(s)) : ansi(s); };
    EXPECT_NE(t("abc").CompareRaw(t("ABC")), cmpEqual);
    EXPECT_EQ(t("abc").CompareRaw(t("ABC"), false, true), cmpEqual);
    EXPECT_EQ(t("abc ").CompareRaw(t("abc")), cmpGreater);  // trailing blanks count
    EXPECT_EQ(t("abc").CompareRaw(t("abcdef")), cmpLess);
    EXPECT_EQ(t("abc").CompareRaw(t("abcdef"), true), cmpEqual);
    EXPECT_EQ(t("abcdef").CompareRaw(t("ABC"), true, true), cmpEqual);
    EXPECT_EQ(t("abd").CompareRaw(t("abcdef"), true), cmpGreater);
    EXPECT_EQ(t("a").CompareRaw(t("B")), cmpLess);  // the locale's order, not code units
  }
  // A prefix against a non-text value turns the option off.
  EXPECT_EQ(ansi("12").CompareRaw(integer(1), true), cmpGreater);
  // A record field's value is as long as the field: the constant's length decides.
  char field[21] = "abcdef";
  TABSVariant f;
  f.SetFromBuffer(field, 21, false, btString);
  EXPECT_EQ(ansi("abc").CompareRaw(f, true), cmpEqual);
  EXPECT_EQ(ansi("abd").CompareRaw(f, true), cmpGreater);
  // Raw values at odd addresses (wide text inside a packed record).
  alignas(2) char packed[16] = {};
  const char16_t text[] = u"xyz";
  std::memcpy(packed + 1, text, 8);
  EXPECT_EQ(CompareValues(packed + 1, btWideString, false, text, btWideChar, false), cmpEqual);
  // Values without a terminator are read no further than their size.
  TABSVariant unterminated, wide_unterminated;
  unterminated.SetFromBuffer("abc", 3, true, btString);
  EXPECT_EQ(unterminated.CompareRaw(ansi("abc")), cmpEqual);
  wide_unterminated.SetFromBuffer(u"ab", 4, true, btWideString);
  EXPECT_EQ(wide_unterminated.CompareRaw(wide(u"ab")), cmpEqual);
}

// Random texts over Latin letters of both cases, accented letters, digits, blanks and
// Persian and Arabic letters (both yehs and both kafs among them).
std::vector<std::u16string> random_texts(size_t count, uint32_t seed) {
  const std::u16string alphabet =
      u"abcxyzABCXYZ\u00e9\u00c9\u00e0\u00f6\u00d6\u00f1\u00e7\u00c7019  "
      u"\u0627\u0628\u067e\u062a\u0633\u0634\u06a9\u0643\u06cc\u064a\u06af\u0698\u0686\u0641\u0642\u0644\u0645\u0646"
      u"\u0648\u0647";
  std::mt19937 random(seed);
  std::vector<std::u16string> out;
  for (size_t i = 0; i < count; ++i) {
    std::u16string s;
    const size_t n = random() % 9;
    for (size_t k = 0; k < n; ++k) s += alphabet[random() % alphabet.size()];
    out.push_back(s);
    // Near neighbours make ties and case-only differences common.
    if (i % 4 == 0 && !s.empty()) {
      char16_t& c = s[random() % s.size()];
      if ((c | 0x20) >= u'a' && (c | 0x20) <= u'z') c ^= 0x20;
      out.push_back(s);
    }
  }
  return out;
}

// Checks that `cmp` is a total order on `texts`: sorting with it, each adjacent pair is in
// order both ways, antisymmetry holds on random pairs, and random triples taken in sorted
// order are ordered pairwise (transitivity, and pairwise answers agree with the sort).
template <typename Text, typename Cmp>
void expect_total_order(std::vector<Text> texts, Cmp cmp, uint32_t seed) {
  std::sort(texts.begin(), texts.end(), [&](const Text& a, const Text& b) { return cmp(a, b) < 0; });
  for (size_t i = 0; i + 1 < texts.size(); ++i) {
    ASSERT_LE(cmp(texts[i], texts[i + 1]), 0) << i;
    ASSERT_GE(cmp(texts[i + 1], texts[i]), 0) << i;
  }
  std::mt19937 random(seed);
  const size_t n = texts.size();
  for (int k = 0; k < 20000; ++k) {
    size_t i = random() % n, j = random() % n, l = random() % n;
    const int ab = cmp(texts[i], texts[j]);
    ASSERT_EQ(ab, -cmp(texts[j], texts[i]));
    if (i > j) std::swap(i, j);
    if (j > l) std::swap(j, l);
    if (i > j) std::swap(i, j);
    ASSERT_LE(cmp(texts[i], texts[j]), 0);
    ASSERT_LE(cmp(texts[j], texts[l]), 0);
    ASSERT_LE(cmp(texts[i], texts[l]), 0);
  }
}

int sign(int v) { return (v > 0) - (v < 0); }

TEST(Comparison, WideTextIsATotalOrder) {
  const std::vector<std::u16string> texts = random_texts(3000, 1);
  for (bool ci : {false, true}) {
    for (int32_t prefix : {-1, 3}) {
      SCOPED_TRACE(std::string(ci ? "case-insensitive" : "case-sensitive") + ", prefix " + std::to_string(prefix));
      expect_total_order(texts,
                         [&](const std::u16string& a, const std::u16string& b) {
                           return sign(CompareWideText(a.c_str(), b.c_str(), ci, prefix));
                         },
                         7);
    }
  }
}

TEST(Comparison, EqualityIsIdentityOrCaseFoldingAndKeysAgree) {
  const std::vector<std::u16string> texts = random_texts(1500, 2);
  std::mt19937 random(3);
  for (int k = 0; k < 20000; ++k) {
    const std::u16string& a = texts[random() % texts.size()];
    const std::u16string& b = texts[random() % texts.size()];
    const int cs = CompareWideText(a.c_str(), b.c_str(), false);
    const int ci = CompareWideText(a.c_str(), b.c_str(), true);
    ASSERT_EQ(cs == 0, a == b);
    ASSERT_EQ(ci == 0, TUserLocale::FoldCase(a) == TUserLocale::FoldCase(b));
    // Precomputed keys order exactly as the comparison does.
    ASSERT_EQ(sign(UserLocale().SortKey(a, false).compare(UserLocale().SortKey(b, false))), sign(cs));
    ASSERT_EQ(sign(UserLocale().SortKey(a, true).compare(UserLocale().SortKey(b, true))), sign(ci));
  }
  // The two yehs and the two kafs are different letters: never equal, in either mode.
  for (auto [x, y] : {std::pair{u"\u064a", u"\u06cc"}, std::pair{u"\u0643", u"\u06a9"}}) {
    EXPECT_NE(CompareWideText(x, y, false), 0);
    EXPECT_NE(CompareWideText(x, y, true), 0);
  }
}

TEST(Comparison, SingleByteTextIsATotalOrderAndAgreesWithWide) {
  // The same texts as single-byte text of the process code page (characters it lacks dropped).
  std::vector<std::string> texts;
  for (const std::u16string& w : random_texts(3000, 4)) {
    std::u16string kept;
    for (char16_t c : w)
      if (AnsiCodePage().Contains(c)) kept += c;
    texts.push_back(AnsiCodePage().ToAnsi(kept));
  }
  for (bool ci : {false, true}) {
    for (int32_t prefix : {-1, 2}) {
      SCOPED_TRACE(std::string(ci ? "case-insensitive" : "case-sensitive") + ", prefix " + std::to_string(prefix));
      expect_total_order(texts,
                         [&](const std::string& a, const std::string& b) {
                           const int r = sign(CompareAnsiText(a.c_str(), b.c_str(), ci, prefix));
                           // Single-byte text orders exactly as the collator orders its wide form.
                           std::u16string wa = AnsiCodePage().ToWide(a), wb = AnsiCodePage().ToWide(b);
                           if (prefix >= 0) {
                             wa = wa.substr(0, static_cast<size_t>(prefix));
                             wb = wb.substr(0, static_cast<size_t>(prefix));
                           }
                           EXPECT_EQ(r, UserLocale().CompareWithCollator(wa.data(), static_cast<int32_t>(wa.size()),
                                                                         wb.data(), static_cast<int32_t>(wb.size()), ci));
                           return r;
                         },
                         9);
    }
  }
}

// Values of a sized field are scanned eight bytes at a time; text of unknown length byte by
// byte. Both must agree on every byte value (controls, DEL, high bytes, both letter cases),
// on texts that fill their field without a terminator, and across word boundaries.
TEST(Comparison, SizedSingleByteValuesAgreeWithTerminatedText) {
  std::mt19937 rng(20261210);
  const std::string alphabet = std::string("aAbBzZ09 ~") + "\x01\x1f\x7f\x80\x9f\xa0\xc0\xe9\xff";
  auto random_text = [&](size_t max_length) {
    std::string t(std::uniform_int_distribution<size_t>(0, max_length)(rng), ' ');
    for (char& c : t) c = alphabet[std::uniform_int_distribution<size_t>(0, alphabet.size() - 1)(rng)];
    return t;
  };
  constexpr int32_t kFieldSize = 21;  // the text and its terminator, when it fits
  for (int i = 0; i < 20000; ++i) {
    std::string a = random_text(kFieldSize), b = random_text(kFieldSize);
    if (i % 3 == 0) b = a.substr(0, a.size() / 2) + b.substr(0, b.size() / 2);  // shared prefixes
    char fa[kFieldSize] = {}, fb[kFieldSize] = {};
    std::memcpy(fa, a.data(), std::min<size_t>(a.size(), kFieldSize));
    std::memcpy(fb, b.data(), std::min<size_t>(b.size(), kFieldSize));
    const std::string ta(fa, strnlen(fa, kFieldSize)), tb(fb, strnlen(fb, kFieldSize));
    for (bool ci : {false, true}) {
      for (int32_t prefix : {-1, 9}) {
        ASSERT_EQ(sign(CompareAnsiValues(fa, kFieldSize, fb, kFieldSize, ci, prefix)),
                  sign(CompareAnsiText(ta.c_str(), tb.c_str(), ci, prefix)))
            << "case-insensitive " << ci << ", prefix " << prefix;
      }
    }
  }
}

}  // namespace
}  // namespace dadoveri
