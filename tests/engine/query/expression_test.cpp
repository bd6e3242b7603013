// The expression engine over a dozen in-memory records: filter semantics (NULLs, letter
// case, partial compare, wide text, dates, a memo), Locate, functions, aggregates,
// subqueries through a query context, malformed texts, and the agreement between the
// index conditions handed out and what evaluation accepts.
#include "engine/query/expression.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "engine/base/engine_error.h"
#include "engine/table/comparison.h"
#include "tests/engine/query/expr_test_rows.h"

namespace dadoveri {
namespace {

using testing::Bool;
using testing::Day;
using testing::Int;
using testing::Null;
using testing::Real;
using testing::Str;
using testing::TestQueryContext;
using testing::TestRows;
using testing::Wide;
using ::testing::HasSubstr;

using Ids = std::vector<int>;

// ID, Eng, Far, Num, Price, Born, Flag, Note
std::unique_ptr<TestRows> MakeWords() {
  auto t = std::make_unique<TestRows>(
      "Words", std::vector<testing::TestField>{{"ID", ctInteger},
                                               {"Eng", ctString, 20, "English"},
                                               {"Far", ctWideString, 20},
                                               {"Num", ctInteger},
                                               {"Price", ctFloat},
                                               {"Born", ctDate},
                                               {"Flag", ctLogical},
                                               {"Note", ctMemo}});
  const TABSVariant N = Null();
  t->AddRow({Int(1), Str("abc"), Wide(u"سلام"), Int(5), Real(1.5), Day(2020, 1, 1), Bool(true), Str("memo one")});
  t->AddRow({Int(2), Str("abcdef"), Wide(u"salam"), Int(10), Real(2.5), Day(2020, 6, 15), Bool(false), N});
  t->AddRow({Int(3), Str("Abc"), N, N, N, N, N, Str("x")});
  t->AddRow({Int(4), Str("ab"), Wide(u"Grüße"), Int(-3), Real(0), Day(1999, 12, 31), Bool(true), Str("a long memo text")});
  t->AddRow({Int(5), N, Wide(u"ABC"), Int(5), Real(100.25), Day(2021, 2, 28), Bool(false), N});
  t->AddRow({Int(6), Str("ABCD"), Wide(u"abc"), Int(7), Real(-1.5), Day(2020, 1, 1), Bool(true), N});
  t->AddRow({Int(7), Str("abc*"), Wide(u"x"), Int(0), Real(3), Day(2010, 10, 10), N, N});
  t->AddRow({Int(8), Str("sa_x"), Wide(u"سا"), Int(12), N, N, Bool(false), N});
  t->AddRow({Int(9), Str("sample"), N, Int(12), Real(4), Day(2000, 1, 1), Bool(true), Str("sample memo")});
  t->AddRow({Int(10), Str("a%b"), Wide(u"a%b"), Int(20), Real(5.5), Day(2005, 5, 5), Bool(false), N});
  t->AddRow({Int(11), Str("zeta"), Wide(u"zeta"), Int(1), Real(6), Day(2020, 1, 2), Bool(true), N});
  t->AddRow({Int(12), Str("\xE9" "clair"), Wide(u"Éclair"), Int(2), Real(7), Day(2020, 1, 3), Bool(false), N});
  return t;
}

std::unique_ptr<TestRows> MakeTags() {
  auto t = std::make_unique<TestRows>("Tags", std::vector<testing::TestField>{{"Num", ctInteger}, {"Tag", ctString, 10}});
  t->AddRow({Int(5), Str("five")});
  t->AddRow({Int(7), Str("seven")});
  t->AddRow({Int(12), Str("twelve")});
  t->AddRow({Int(12), Str("dozen")});
  return t;
}

// The IDs of the records `e` accepts.
Ids Accepted(TestRows& t, TABSExpression& e) {
  Ids ids;
  for (int32_t r = 0; r < t.RowCount(); ++r) {
    t.SetCurrent(r);
    if (e.IsEmpty() || e.GetBooleanValue()) ids.push_back(r + 1);
  }
  return ids;
}

Ids Filter(TestRows& t, const std::u16string& text, bool ci, bool partial) {
  TABSExpression e;
  e.ParseFilter(&t, text, ci, partial);
  return Accepted(t, e);
}

Ids AllBut(std::set<int> out) {
  Ids ids;
  for (int i = 1; i <= 12; ++i)
    if (!out.count(i)) ids.push_back(i);
  return ids;
}

struct FilterCase {
  std::u16string text;
  bool ci;
  bool partial;
  Ids expected;
};

TEST(ExpressionFilter, SelectsTheRecordsTheLanguageDefines) {
  auto words = MakeWords();
  const FilterCase cases[] = {
      // Partial compare, letter case and the asterisk.
      {u"Eng = 'abc*'", false, true, {1, 2, 7}},
      {u"Eng = 'abc*'", true, true, {1, 2, 3, 6, 7}},
      {u"Eng = 'abc*'", false, false, {7}},
      {u"Eng = 'abc'", false, true, {1}},
      {u"Eng = 'a*c'", false, true, {}},
      {u"Eng = '*'", false, true, {5}},
      {u"TRIM(Eng) = 'abc*'", false, true, {1, 2, 7}},
      // NULL rules: text constants keep NULLs for <> and <, numbers do not.
      {u"Eng <> 'abc'", false, false, AllBut({1})},
      {u"Num <> 5", false, false, AllBut({1, 3, 5})},
      {u"Num = NULL", false, false, {3}},
      {u"Born < '2000-01-01'", false, false, {3, 4, 8}},
      {u"Born > '2020-01-01'", false, false, {2, 5, 11, 12}},
      {u"NOT (Num = 5)", false, false, AllBut({1, 5})},
      {u"Eng IS NULL", false, false, {5}},
      {u"Eng IS NOT NULL", false, false, AllBut({5})},
      // LIKE: prefixes, wildcards, escape, NOT LIKE and NULL.
      {u"Eng LIKE 'sa%'", false, false, {8, 9}},
      {u"Eng LIKE 's_%'", false, false, {8, 9}},
      {u"Eng LIKE 'sa\\_%' ESCAPE '\\'", false, false, {8}},
      {u"Eng LIKE '%a'", false, false, {11}},
      {u"Eng LIKE 'a%b'", false, false, {4, 10}},
      {u"Eng LIKE 'a\\%b' ESCAPE '\\'", false, false, {10}},
      {u"Eng LIKE 'abc%'", true, false, {1, 2, 3, 6, 7}},
      {u"Eng LIKE 'abc%'", false, false, {1, 2, 7}},
      {u"Eng NOT LIKE 'ab%'", false, false, {3, 6, 8, 9, 10, 11, 12}},
      {u"Eng NOT LIKE '%z%'", false, false, AllBut({5, 11})},
      {u"'ab' LIKE 'abc%'", false, false, {}},
      {u"'abc' LIKE 'abc%%'", false, false, AllBut({})},
      {u"Far LIKE 'س%'", false, false, {1, 8}},
      // Wide text and narrowing.
      {u"Far = 'سلام'", false, false, {1}},
      {u"Eng = 'سلام'", false, false, {}},
      {u"Far = 'abc'", false, false, {6}},
      {u"Far = 'abc'", true, false, {5, 6}},
      {u"Eng = '\u00e9clair'", false, false, {12}},
      // Dates, logical fields and IS TRUE / FALSE / UNKNOWN.
      {u"Born = DATE '2020-01-01'", false, false, {1, 6}},
      {u"Flag", false, false, {1, 4, 6, 9, 11}},
      {u"NOT Flag", false, false, {2, 5, 8, 10, 12}},
      {u"Flag IS TRUE", false, false, {1, 4, 6, 9, 11}},
      {u"Flag IS NOT TRUE", false, false, {2, 3, 5, 7, 8, 10, 12}},
      {u"Flag IS FALSE", false, false, {2, 5, 8, 10, 12}},
      {u"Flag IS NOT FALSE", false, false, {1, 3, 4, 6, 7, 9, 11}},
      {u"Flag IS UNKNOWN", false, false, {3, 7}},
      {u"Flag IS NOT UNKNOWN", false, false, AllBut({3, 7})},
      {u"Num = 5 IS TRUE", false, false, {1, 5}},
      {u"TRUE", false, false, AllBut({})},
      {u"FALSE", false, false, {}},
      {u"TRUE = Flag", false, false, {1, 4, 6, 9, 11}},
      // IN and BETWEEN ignore case; NULL elements never match.
      {u"Num IN (5, 7)", false, false, {1, 5, 6}},
      {u"Num NOT IN (5, NULL)", false, false, AllBut({1, 3, 5})},
      {u"Eng IN ('ABC')", false, false, {1, 3}},
      {u"Num BETWEEN 5 AND 10", false, false, {1, 2, 5, 6}},
      {u"Num NOT BETWEEN 5 AND 10", false, false, {4, 7, 8, 9, 10, 11, 12}},
      // A memo read whole.
      {u"Note = 'x'", false, false, {3}},
      {u"Note LIKE '%memo%'", false, false, {1, 4, 9}},
      {u"Num LIKE '1%'", false, false, {2, 8, 9, 11}},
      // Arithmetic, functions, CASE, CAST, COALESCE.
      {u"Num * 2 > 20", false, false, {8, 9, 10}},
      {u"Num + Price > 100", false, false, {5}},
      {u"Num - Num - Num = -5", false, false, {1, 5}},
      {u"-Num = 3", false, false, {4}},
      {u"Price / 2 = 0.75", false, false, {1}},
      {u"UPPER(Eng) = 'ABC'", false, false, {1, 3}},
      {u"LOWER(Eng) = 'abcd'", false, false, {6}},
      {u"LENGTH(Eng) = 3", false, false, {1, 3, 10}},
      {u"LENGTH(Eng) = 0", false, false, {5}},
      {u"SUBSTRING(Eng FROM 2 FOR 2) = 'bc'", false, false, {1, 2, 3, 7}},
      {u"SUBSTRING(Eng, 5) = 'ef'", false, false, {2}},
      {u"POS('c', Eng) = 3", false, false, {1, 2, 3, 7}},
      {u"POSITION('le' IN Eng) > 0", false, false, {9}},
      {u"CASE WHEN Num > 10 THEN 'big' ELSE 'small' END = 'big'", false, false, {8, 9, 10}},
      {u"CASE Num WHEN 5 THEN 'five' WHEN 7 THEN 'seven' END = 'five'", false, false, {1, 5}},
      {u"COALESCE(Eng, 'none') = 'none'", false, false, {5}},
      {u"CAST(Num AS VARCHAR(10)) = '12'", false, false, {8, 9}},
      {u"CAST(Eng, CHAR(2)) = 'ab'", false, false, {1, 2, 4, 7}},
      {u"EXTRACT(YEAR FROM Born) = 2020", false, false, {1, 2, 6, 11, 12}},
      {u"TODATE('01.01.2020', 'DD.MM.YYYY') = Born", false, false, {1, 6}},
      {u"TOSTRING(Born, 'YYYY') = '2005'", false, false, {10}},
      {u"ROUND(Price) = 2", false, false, {1}},
      {u"ROUND(Price, 0, HALFEVEN) = 2", false, false, {1, 2}},
      {u"DOD(Num) = 3", false, false, {4}},
      {u"POWER(Num, 2) = 144", false, false, {8, 9}},
      {u"MIMETOBIN('YWJj') IS NOT NULL", false, false, AllBut({})},
      {u"Eng || '!' = 'abc!'", false, false, {1}},
      {u"Eng + '!' = 'abc!'", false, false, {1}},
      {u"Born - 1 = DATE '2019-12-31'", false, false, {1, 6}},
      // Names: display names, qualifiers, brackets; AND / OR.
      {u"English = 'abc'", false, false, {1}},
      {u"Words.Eng = 'ab'", false, false, {4}},
      {u"[Num] >= 12", false, false, {8, 9, 10}},
      {u"Num > 5 OR Eng = 'ab'", false, false, {2, 4, 6, 8, 9, 10}},
      {u"(Num > 5 AND Flag) OR Eng IS NULL", false, false, {5, 6, 9}},
      {u"Eng = 'abc' AND Num = 5 AND Flag", false, false, {1}},
      {u"((Num = 7))", false, false, {6}},
      {u"(Num + 1) * 2 = 12", false, false, {1, 5}},
  };
  for (const FilterCase& c : cases) {
    SCOPED_TRACE(ExprUtf8(c.text));
    EXPECT_EQ(Filter(*words, c.text, c.ci, c.partial), c.expected);
  }
}

TEST(ExpressionFilter, NullLogic) {
  // Three-valued NOT, AND, OR, IN and BETWEEN on constants.
  auto words = MakeWords();
  words->SetCurrent(0);
  struct Case {
    std::u16string text;
    int expected;  // 1 true, 0 false, -1 NULL
  } cases[] = {
      {u"NOT (NULL IS NULL)", 0},  {u"FALSE AND NULL IS NULL", 0}, {u"TRUE OR Flag", 1},
      {u"NULL IN (1, NULL)", -1},  {u"2 NOT IN (1, NULL)", 1},     {u"NULL BETWEEN 1 AND 2", -1},
      {u"'ABC' IN ('abc')", 1},    {u"'' LIKE '%'", -1},           {u"'a' LIKE '_'", 1},
      {u"NOT (Eng IN (NULL))", 1}, {u"Price > 1 AND NULL BETWEEN 1 AND 2", -1},
      {u"Price < 1 AND NULL BETWEEN 1 AND 2", 0},
      {u"Price < 1 OR NULL BETWEEN 1 AND 2", -1},
      // An escape character at the end of the pattern matches itself.
      {u"'a\\' LIKE 'a\\' ESCAPE '\\'", 1},
      {u"'ab' LIKE 'a\\' ESCAPE '\\'", 0},
      {u"'a%' LIKE 'a\\%' ESCAPE '\\'", 1},
      {u"'ab' LIKE 'a\\%' ESCAPE '\\'", 0},
      {u"'' LIKE '_'", -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(ExprUtf8(c.text));
    TABSExpression e;
    e.ParseFilter(words.get(), c.text, false, false);
    const TABSVariant* v = e.GetValue();
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->IsNull() ? -1 : v->GetAsLogical() ? 1 : 0, c.expected);
  }
}

TEST(ExpressionFilter, ValuesAndTypes) {
  auto words = MakeWords();
  words->SetCurrent(0);
  struct Case {
    std::u16string text;
    TABSColumnType type;
    std::string value;  // as text; "NULL" for NULL
  } cases[] = {
      {u"2147483646", ctInteger, "2147483646"},
      {u"2147483647", ctLargeint, "2147483647"},
      {u"1.5 * 2", ctFloat, "3"},
      {u"LENGTH(NULL)", ctInteger, "0"},
      {u"Eng || Far", ctWideString, "abcسلام"},
      {u"COALESCE(NULL, Num, 7)", ctInteger, "5"},
      {u"CASE WHEN Num = 5 THEN 1 ELSE 2.5 END", ctFloat, "1"},
      {u"CAST('12345' AS CHAR(3))", ctChar, "123"},
      {u"ROUND(Price)", ctInteger, "2"},
      {u"ROUND(2.675, 2)", ctFloat, "2.68"},
      {u"RAND(0)", ctInteger, "NULL"},
      {u"SQRT(-1)", ctFloat, "NULL"},
      {u"SIGN(-4)", ctInteger, "-1"},
      {u"EXTRACT(MONTH FROM Born)", ctWord, "1"},
      {u"SUBSTRING('abc', 0, 2)", ctString, "ab"},
      {u"'x' || SUBSTRING('a', 5)", ctString, "NULL"},
      {u"EXTRACT(HOUR FROM TIMESTAMP '2020-01-02 03:04:05')", ctWord, "3"},
      {u"EXTRACT(MINUTE FROM TIME '10:30:00')", ctWord, "30"},
      {u"EXTRACT(DAY FROM Born + 1)", ctWord, "2"},
      {u"EXTRACT(DAY FROM Born - 1)", ctWord, "31"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(ExprUtf8(c.text));
    TABSLexer lexer(c.text);
    ASSERT_TRUE(lexer.NextCommand());
    TABSExpression e;
    ASSERT_TRUE(e.ParseValue(nullptr, lexer));
    TABSExprRecordSource* sources[] = {words.get()};
    e.BindToOperators(sources);
    EXPECT_EQ(e.GetDataType(), c.type);
    const TABSVariant* v = e.GetValue();
    ASSERT_NE(v, nullptr);
    if (c.value == "NULL") {
      EXPECT_TRUE(v->IsNull());
    } else {
      ASSERT_FALSE(v->IsNull());
      if (v->IsWideString()) {
        EXPECT_EQ(ExprUtf8(v->GetAsWideString()), c.value);
      } else if (v->IsNumeric() && IsFloatBaseType(v->ValueType())) {
        EXPECT_DOUBLE_EQ(v->GetAsFloat(), std::stod(c.value));
      } else {
        EXPECT_EQ(v->GetAsString(), c.value);
      }
    }
  }
}

TEST(ExpressionFilter, ResultSizesAndUndecidableTypes) {
  auto words = MakeWords();
  struct Case {
    std::u16string text;
    int32_t size;
  } cases[] = {
      {u"Eng || Far", 40}, {u"CAST(Num AS VARCHAR(10))", 10}, {u"CAST(Num AS VARCHAR)", 4096},
      {u"UPPER(Eng)", 20}, {u"CASE WHEN Flag THEN Eng ELSE 'abcdefghijklmnopqrstuvwxyz' END", 26},
      {u"MAX(Eng)", 20},   {u"Num + 1", 0},
  };
  TABSExprRecordSource* sources[] = {words.get()};
  for (const Case& c : cases) {
    SCOPED_TRACE(ExprUtf8(c.text));
    TABSLexer lexer(c.text);
    lexer.NextCommand();
    TABSExpression e;
    ASSERT_TRUE(e.ParseValue(nullptr, lexer));
    e.BindToOperators(sources);
    EXPECT_EQ(e.GetDataSize(), c.size);
  }
  TABSLexer lexer(u"COALESCE(Born, Flag)");
  lexer.NextCommand();
  TABSExpression e;
  ASSERT_TRUE(e.ParseValue(nullptr, lexer));
  e.BindToOperators(sources);
  EXPECT_EQ(::dadoveri::testing::CodeOf([&] { e.GetDataType(); }), 30284);
}

TEST(ExpressionFilter, AnOperatorOutsideANodesSetIsReported) {
  auto words = MakeWords();
  words->SetCurrent(0);
  TABSExprNodeComparison node(opOr, std::make_unique<TABSExprNodeConst>(Int(1)),
                              std::make_unique<TABSExprNodeConst>(Int(2)), true, false, false);
  try {
    node.GetValue();
    ADD_FAILURE() << "no error";
  } catch (const VODIDivodavir& x) {
    EXPECT_THAT(x.what(), HasSubstr("Unknown operator: 'OR'"));
  }
  TABSExprNodeBoolean other(40);
  other.AddChild(std::make_unique<TABSExprNodeConst>(Int(1)));
  try {
    other.GetValue();
    ADD_FAILURE() << "no error";
  } catch (const VODIDivodavir& x) {
    EXPECT_THAT(x.what(), HasSubstr("Unknown operator: 'unknown'"));
  }
}

TEST(ExpressionFilter, LongChainsStayShallow) {
  auto words = MakeWords();
  std::u16string ors = u"Num = 7", ands = u"Num = 7", products = u"Num";
  for (int i = 0; i < 20000; ++i) {
    ors += u" OR Num = 12";
    ands += u" AND Eng IS NOT NULL";
  }
  for (int i = 0; i < 5000; ++i) products += u" * Num";
  EXPECT_EQ(Filter(*words, ors, false, false), (Ids{6, 8, 9}));
  EXPECT_EQ(Filter(*words, ands, false, false), (Ids{6}));
  EXPECT_EQ(::dadoveri::testing::CodeOf([&] { Filter(*words, products + u" = 0", false, false); }), 30006);
}

TEST(ExpressionFilter, NestedAndsAreFlattened) {
  auto words = MakeWords();
  TABSExpression e;
  e.ParseFilter(words.get(), u"(Num = 1 AND (Eng = 'a' AND Far = 'b')) AND Flag", false, false);
  ASSERT_EQ(e.Root()->Operator(), opAnd);
  ASSERT_EQ(e.Root()->ChildCount(), 4);
  EXPECT_EQ(e.Root()->Child(3)->Operator(), opNone);  // the logical field
}

TEST(ExpressionFilter, ASubtractionChainIsOneSumOfNegatedTerms) {
  TABSLexer lexer(u"a - b - c");
  ASSERT_TRUE(lexer.NextCommand());
  TABSExpression e;
  ASSERT_TRUE(e.ParseValue(nullptr, lexer));
  TABSExprNode* root = e.Root();
  ASSERT_EQ(root->Operator(), opSum);
  ASSERT_EQ(root->ChildCount(), 3);
  EXPECT_NE(dynamic_cast<TABSExprNodeField*>(root->Child(0)), nullptr);
  EXPECT_EQ(root->Child(1)->Operator(), opNegate);
  EXPECT_EQ(root->Child(2)->Operator(), opNegate);
}

TEST(ExpressionFilter, NextRecordNeedsNoRebindAndFieldsBorrowTheRecord) {
  auto words = MakeWords();
  TABSExpression e;
  e.ParseFilter(words.get(), u"Num = 12", false, false);
  words->SetCurrent(7);
  EXPECT_TRUE(e.GetBooleanValue());
  words->SetCurrent(0);
  EXPECT_FALSE(e.GetBooleanValue());
  // An explicit buffer wins over the cursor's current record.
  e.BindRecordBuffer(words->Row(8));
  EXPECT_TRUE(e.GetBooleanValue());
  TABSExpression f;
  f.ParseFilter(words.get(), u"Eng", false, false);
  ASSERT_TRUE(f.IsField());
  words->SetCurrent(1);
  const TABSVariant* v = f.GetValue();
  EXPECT_TRUE(v->IsBorrowed());
  std::string table, field;
  f.GetFieldName(table, field);
  EXPECT_EQ(field, "Eng");
}

TEST(ExpressionFilter, LocateAndFieldConditions) {
  auto words = MakeWords();
  TABSExpression e;
  const TABSVariant keys[] = {Str("abc"), Int(5)};
  e.ParseLocateCondition(words.get(), "Eng;Num", keys, false, false);
  EXPECT_EQ(Accepted(*words, e), (Ids{1}));
  const TABSVariant prefix[] = {Str("ABC")};
  e.ParseLocateCondition(words.get(), "Eng", prefix, true, true);
  EXPECT_EQ(Accepted(*words, e), (Ids{1, 2, 3, 6, 7}));
  // A NULL key finds NULL fields (strict-null off).
  const TABSVariant null_key[] = {Str("")};
  e.ParseLocateCondition(words.get(), "Eng", null_key, false, false);
  EXPECT_EQ(Accepted(*words, e), (Ids{5}));
  // A number for a date field is a calendar date.
  TABSVariant calendar(btFloat);
  calendar.SetAsFloat(43831);  // 2020-01-01
  const TABSVariant date_key[] = {calendar};
  e.ParseLocateCondition(words.get(), "Born", date_key, false, false);
  EXPECT_EQ(Accepted(*words, e), (Ids{1, 6}));
  const TABSVariant one[] = {Int(1)};
  try {
    e.ParseLocateCondition(words.get(), "a;b", one, false, false);
    ADD_FAILURE() << "no error";
  } catch (const VODIDivodavir& x) {
    EXPECT_EQ(x.NativeError, 30112);
    EXPECT_THAT(x.what(), HasSubstr("Count of FieldNames (2) not equal counts of KeyValues (1)"));
  }
  e.ParseFieldCondition(words.get(), "Num", Int(7), opGreaterOrEqual);
  EXPECT_EQ(Accepted(*words, e), (Ids{2, 6, 8, 9, 10}));
  TABSExpression empty;
  EXPECT_EQ(::dadoveri::testing::CodeOf([&] { empty.GetBooleanValue(); }), 30110);
  EXPECT_TRUE(empty.IsEmpty());
  EXPECT_EQ(empty.GetValue(), nullptr);
}

TEST(ExpressionFilter, ConstantExpressions) {
  EXPECT_TRUE(TABSExpression::IsConstantExpression(u"1 + 2"));
  EXPECT_TRUE(TABSExpression::IsConstantExpression(u"'abc'"));
  EXPECT_TRUE(TABSExpression::IsConstantExpression(u"NOW"));
  EXPECT_FALSE(TABSExpression::IsConstantExpression(u"Eng"));
  EXPECT_FALSE(TABSExpression::IsConstantExpression(u"1 2"));
  EXPECT_FALSE(TABSExpression::IsConstantExpression(u""));
  EXPECT_FALSE(TABSExpression::IsConstantExpression(u"1; 2"));
  EXPECT_FALSE(TABSExpression::IsConstantExpression(u"'abc"));
}

// ---------------------------------------------------------------------------------------
// Malformed texts

struct BadText {
  std::u16string text;
  int32_t code;
  std::string message;
};

TEST(ExpressionErrors, MalformedTextsRaiseTheirMessageAndPosition) {
  auto words = MakeWords();
  const BadText cases[] = {
      {u"", 30119, "Blank SQL command"},
      {u"  -- only a comment", 30119, "Blank SQL command"},
      {u"Eng = 'a' Far = 'b'", 30064, "Unexpected token 'Far' found at line 1, column 11"},
      {u"Eng = 'a'; Far = 'b'", 30064, "Unexpected token 'Far' found at line 1, column 12"},
      {u"Eng =", 30063, "Unexpected end of SQL command found at line 1, column 5"},
      {u"Eng = 1 AND , Num", 30069, "Boolean expression expected, but ',' found at line 1, column 13"},
      {u"Num = 1 OR ,", 30066, "Boolean expression expected, but ',' found at line 1, column 12"},
      {u", Num", 30070, "Boolean expression expected, but ',' found at line 1, column 1"},
      {u"Nope = 1", 30115, "Field 'Nope' not found"},
      {u"Flag IS MAYBE", 30067, "Token 'TRUE, FALSE or UNKNOWN' expected, but 'MAYBE' found at line 1, column 9"},
      {u"UPPER() = 'A'", 30092, "String argument expected for function 'UPPER', but ')' found at line 1, column 7"},
      {u"LENGTH Eng = 1", 30073, "Token '(' expected, but 'Eng' found at line 1, column 8"},
      {u"LENGTH(Eng, 1) = 1", 30074, "Token ')' expected, but ',' found at line 1, column 11"},
      {u"LENGTH() = 1", 30079, "Argument expected for function 'LENGTH' at line 1, column 8"},
      {u"POWER(Num 2) = 1", 20267, "comma (\",\") expected but not found at line 1, column 11"},
      {u"COALESCE() = 1", 20276, "COALESCE arguments are missed at line 1, column 1"},
      {u"EXTRACT(WEEK FROM Born) = 1", 30080,
       "Token 'YEAR or MONTH or DAY or HOUR or MINUTE or SECOND' expected, but 'WEEK' found at line 1, column 9"},
      {u"TODATE(Eng, Num) = Born", 30096, "Const DateFormat string expected, but 'Num' found at line 1, column 13"},
      {u"Born = DATE 5", 20283, "Date string expected \"YYYY-MM-DD\", but found \"5\" at line 1, column 13"},
      {u"Born = DATE '2020-13-01'", 20284, "Token 'YYYY-MM-DD' expected, but '2020-13-01' found at line 1, column 13"},
      {u"Born = TIME Num", 20285, "Time string expected \"HH:MM:SS\", but found \"Num\" at line 1, column 13"},
      {u"CAST(Num AS BLOB) = 1", 30077, "Cannot convert an expression to specified type: 'BLOB'"},
      {u"CAST(Num AS VARCHAR(99999999999)) = 1", 30158, "Integer expected, but '99999999999' found at line 1, column 21"},
      {u"CAST(Num AS VARCHAR(0)) = 1", 30158, "Integer expected, but '0' found at line 1, column 21"},
      {u"CASE WHEN THEN 1 END = 1", 30474,
       "Search Condition for CASE function expected, but 'THEN' found at line 1, column 11"},
      {u"CASE Num WHEN 1 THEN 2 ELSE END = 1", 30471,
       "'Else Result Expression' for CASE function expected, but 'END' found at line 1, column 29"},
      {u"CASE THEN 1 END = 1", 30467, "Input expression for CASE function expected, but 'THEN' found at line 1, column 6"},
      {u"Eng LIKE 'a' ESCAPE 'ab'", 20294,
       "Invalid escape character length (should be a single character) at line 1, column 21"},
      {u"(SELECT Num FROM Tags) = 1", 30064, "Unexpected token 'SELECT' found at line 1, column 2"},
      {u"ROWNUM = 1", 30064, "Unexpected token 'ROWNUM' found at line 1, column 1"},
      {u"LASTAUTOINC(Words, ID) = 1", 30064, "Unexpected token 'LASTAUTOINC' found at line 1, column 1"},
      {u"EXISTS (SELECT Num FROM Tags)", 30064, "Unexpected token 'SELECT' found at line 1, column 9"},
      // Positions after comments, tabs, CR LF and multi-line strings.
      {u"Eng = 'a'\r\n  AND\tNum = 1\n  Far", 30064, "Unexpected token 'Far' found at line 3, column 3"},
      {u"/* note */ Num = 1 Far", 30064, "Unexpected token 'Far' found at line 1, column 20"},
      {u"-- note\nNum = 1\t\tFar", 30064, "Unexpected token 'Far' found at line 2, column 10"},
      {u"Eng = 'a\nb' Num", 30064, "Unexpected token 'Num' found at line 2, column 4"},
      {u"Eng = 'a' AND\r\n\tFlag IS 5", 30067, "Token 'TRUE, FALSE or UNKNOWN' expected, but '5' found at line 2, column 10"},
      // Faults of the lexer come through as they are.
      {u"Eng = 'abc", 30061, "Unterminated string at line 1, column 7"},
  };
  for (const BadText& c : cases) {
    SCOPED_TRACE(ExprUtf8(c.text));
    TABSExpression e;
    try {
      e.ParseFilter(words.get(), c.text, false, true);
      ADD_FAILURE() << "no error";
    } catch (const VODIDivodavir& x) {
      EXPECT_EQ(x.NativeError, c.code);
      EXPECT_THAT(x.what(), HasSubstr(c.message));
    }
  }
}

TEST(ExpressionErrors, DeepNestingFailsWithAMessageInsteadOfOverflowingTheStack) {
  auto words = MakeWords();
  const auto repeat = [](const std::u16string& s, int n) {
    std::u16string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
  };
  const std::u16string texts[] = {
      repeat(u"(", 5000) + u"Num = 1" + repeat(u")", 5000),
      u"Num = " + repeat(u"(", 5000) + u"1" + repeat(u")", 5000),
      repeat(u"LENGTH(", 3000) + u"Eng" + repeat(u")", 3000) + u" = 1",
      u"Num IN (" + repeat(u"(", 4000) + u"1" + repeat(u")", 4000) + u")",
  };
  for (const std::u16string& text : texts) {
    TABSExpression e;
    try {
      e.ParseFilter(words.get(), text, false, false);
      ADD_FAILURE() << "no error";
    } catch (const VODIDivodavir& x) {
      EXPECT_EQ(x.NativeError, 30003);
      EXPECT_THAT(x.what(), HasSubstr("Expression nested too deeply (more than 200 levels)"));
    }
  }
}

TEST(ExpressionErrors, BacktrackingStaysLinearOnNestedAlternatives) {
  // Each level tries the arithmetic, date and string alternatives on the same operand;
  // without remembering what was parsed this takes 3^150 steps.
  auto words = MakeWords();
  std::u16string upper, invalid, mixed;
  for (int i = 0; i < 150; ++i) {
    upper += u"UPPER(";
    invalid += u"(";
    if (i < 60) mixed += u"((";
  }
  upper += u"Eng";
  invalid += u"Num Num";
  mixed += u"Eng || 'x'";
  for (int i = 0; i < 150; ++i) {
    upper += u")";
    invalid += u")";
    if (i < 60) mixed += u") || 'y')";
  }
  EXPECT_EQ(Filter(*words, upper + u" = 'ABC'", false, false), (Ids{1, 3}));
  EXPECT_NE(::dadoveri::testing::CodeOf([&] { Filter(*words, invalid, false, false); }), 0);
  EXPECT_EQ(Filter(*words, u"LENGTH(" + mixed + u") = 64", false, false), (Ids{1, 3, 10}));
  // Evaluation too: each COALESCE argument is evaluated once.
  std::u16string coalesce;
  for (int i = 0; i < 150; ++i) coalesce += u"COALESCE(";
  coalesce += u"Eng";
  for (int i = 0; i < 150; ++i) coalesce += u", 'none')";
  EXPECT_EQ(Filter(*words, coalesce + u" = 'none'", false, false), (Ids{5}));
}

TEST(ExpressionErrors, EvaluationFaults) {
  auto words = MakeWords();
  words->SetCurrent(0);
  struct Case {
    std::u16string text;
    int32_t code;
  } cases[] = {
      {u"Num LIKE 5", 30120},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(ExprUtf8(c.text));
    TABSExpression e;
    e.ParseFilter(words.get(), c.text, false, false);
    EXPECT_EQ(::dadoveri::testing::CodeOf([&] { e.GetBooleanValue(); }), c.code);
  }
}

// ---------------------------------------------------------------------------------------
// SQL: aggregates, subqueries, LASTAUTOINC and ROWNUM through a query context

struct SqlFixture {
  std::unique_ptr<TestRows> words = MakeWords();
  std::unique_ptr<TestRows> tags = MakeTags();
  TestQueryContext context{words.get()};
  SqlFixture() {
    context.AddTable(words.get());
    context.AddTable(tags.get());
  }
  std::unique_ptr<TABSExpression> Condition(const std::u16string& text) {
    TABSLexer lexer(text);
    EXPECT_TRUE(lexer.NextCommand());
    auto e = std::make_unique<TABSExpression>();
    e->ParseCondition(&context, lexer);
    TABSExprRecordSource* sources[] = {words.get()};
    e->BindToOperators(sources);
    e->Prepare();
    return e;
  }
  Ids Where(const std::u16string& text) {
    auto e = Condition(text);
    Ids ids;
    for (int32_t r = 0; r < words->RowCount(); ++r) {
      words->SetCurrent(r);
      context.row_num = r + 1;
      if (e->GetBooleanValue()) ids.push_back(r + 1);
    }
    return ids;
  }
  const TABSVariant& Aggregate(TABSExpression& e, const std::u16string& text) {
    TABSLexer lexer(text);
    EXPECT_TRUE(lexer.NextCommand());
    EXPECT_TRUE(e.ParseValue(&context, lexer));
    TABSExprRecordSource* sources[] = {words.get()};
    e.BindToOperators(sources);
    EXPECT_TRUE(e.HasAggregate());
    e.StartGroup();
    for (int32_t r = 0; r < words->RowCount(); ++r) {
      words->SetCurrent(r);
      e.Accumulate();
    }
    return *e.GetValue();
  }
};

TEST(ExpressionSql, SubqueriesThroughTheQueryContext) {
  SqlFixture f;
  struct Case {
    std::u16string text;
    Ids expected;
  } cases[] = {
      {u"Num IN (SELECT Num FROM Tags)", {1, 5, 6, 8, 9}},
      {u"Num NOT IN (SELECT Num FROM Tags)", {2, 4, 7, 10, 11, 12}},
      {u"EXISTS (SELECT Num FROM Tags WHERE Tags.Num = Words.Num)", {1, 5, 6, 8, 9}},
      {u"NOT EXISTS (SELECT Num FROM Tags WHERE Tags.Num = Words.Num)", {2, 3, 4, 7, 10, 11, 12}},
      {u"EXISTS ((SELECT Num FROM Tags))", AllBut({})},
      {u"Num > ALL (SELECT Num FROM Tags)", {10}},
      {u"Num >= ALL (SELECT Num FROM Tags)", {8, 9, 10}},
      {u"Num = ANY (SELECT Num FROM Tags)", {1, 5, 6, 8, 9}},
      {u"Num < SOME (SELECT Num FROM Tags)", {1, 2, 4, 5, 6, 7, 11, 12}},
      // A NULL value satisfies no quantified comparison.
      {u"Num <> ALL (SELECT Num FROM Tags)", {2, 4, 7, 10, 11, 12}},
      {u"Num <= ANY (SELECT Num FROM Tags)", {1, 2, 4, 5, 6, 7, 8, 9, 11, 12}},
      {u"Num > ALL (SELECT Num FROM Tags WHERE Num > 100)", {}},
      {u"Num = ANY (SELECT Num FROM Tags WHERE Num > 100)", {}},
      {u"Num = (SELECT Num FROM Tags WHERE Tag = 'seven')", {6}},
      {u"ROWNUM = 3", {3}},
      {u"LASTAUTOINC(Words, ID) = 7", AllBut({})},
      {u"LASTAUTOINC(Words MEMORY, ID) = 9", AllBut({})},
      // SQL compares case-sensitively; IN ignores case even here.
      {u"Eng = 'ABC'", {}},
      {u"Eng IN ('ABC')", {1, 3}},
      {u"Eng = 'abc*'", {7}},
  };
  f.context.autoinc["Words.ID"] = 7;
  f.context.autoinc["Words.ID:memory"] = 9;
  for (const Case& c : cases) {
    SCOPED_TRACE(ExprUtf8(c.text));
    EXPECT_EQ(f.Where(c.text), c.expected);
  }
}

TEST(ExpressionSql, UncorrelatedSubqueriesRunOnceCorrelatedOnesPerRow) {
  SqlFixture f;
  f.Where(u"Num IN (SELECT Num FROM Tags)");
  EXPECT_EQ(f.context.executions, 1);
  f.context.executions = 0;
  f.Where(u"EXISTS (SELECT Num FROM Tags WHERE Tags.Num = Words.Num)");
  EXPECT_EQ(f.context.executions, 12);
}

TEST(ExpressionSql, ScalarSubqueryShapeErrors) {
  SqlFixture f;
  f.words->SetCurrent(0);
  struct Case {
    std::u16string text;
    int32_t code;
  } cases[] = {
      {u"(SELECT Num FROM Tags) = 1", 20247},
      {u"(SELECT Num FROM Tags WHERE Num = 99) = 1", 20249},
      {u"(SELECT Num, Tag FROM Tags) = 1", 20246},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(ExprUtf8(c.text));
    auto e = f.Condition(c.text);
    EXPECT_EQ(::dadoveri::testing::CodeOf([&] { e->GetBooleanValue(); }), c.code);
  }
}

TEST(ExpressionSql, Aggregates) {
  SqlFixture f;
  struct Case {
    std::u16string text;
    TABSColumnType type;
    double value;
  } cases[] = {
      {u"SUM(Num)", ctLargeint, 71},     {u"SUM(DISTINCT Num)", ctLargeint, 54}, {u"COUNT(Num)", ctInteger, 11},
      {u"COUNT(*)", ctInteger, 12},      {u"COUNT(DISTINCT Num)", ctInteger, 9}, {u"AVG(Price)", ctFloat, 12.825},
      {u"MIN(Num)", ctInteger, -3},      {u"MAX(Num)", ctInteger, 20},           {u"SUM(Price)", ctFloat, 128.25},
      {u"SUM(Num) + 1", ctLargeint, 72},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(ExprUtf8(c.text));
    TABSExpression e;
    const TABSVariant& v = f.Aggregate(e, c.text);
    EXPECT_EQ(e.GetDataType(), c.type);
    ASSERT_FALSE(v.IsNull());
    EXPECT_DOUBLE_EQ(v.GetAsFloat(), c.value);
  }
  TABSExpression e;
  EXPECT_EQ(::dadoveri::testing::CodeOf([&] { f.Aggregate(e, u"SUM(Eng)"); }), 30124);
  TABSExpression m;
  EXPECT_EQ(f.Aggregate(m, u"MAX(Eng)").GetAsString(), "zeta");
  // A group without values: SUM is NULL, COUNT 0.
  TABSExpression s;
  TABSLexer lexer(u"SUM(Num)");
  lexer.NextCommand();
  s.ParseValue(&f.context, lexer);
  TABSExprRecordSource* sources[] = {f.words.get()};
  s.BindToOperators(sources);
  s.StartGroup();
  EXPECT_TRUE(s.GetValue()->IsNull());
}

TEST(ExpressionSql, ParametersAndThePositionLeftBehind) {
  SqlFixture f;
  TABSSQLParams params;
  TABSSQLParam& text = params.Add();
  text.Name = u"t";
  text.Clear(btString);  // a NULL of a text type: the comparison becomes IS NULL
  TABSSQLParam& number = params.Add();
  number.Name = u"n";
  number.Clear(btInteger);  // a NULL number stays a comparison, true for NULL fields
  TABSSQLParam& five = params.Add();
  five.Name = u"five";
  five.Clear(btInteger);
  five.SetAsInteger(5);
  TABSSQLParam& day = params.Add();
  day.Name = u"day";
  day.Clear(btDate);
  day.SetAsDate(*EncodeDayNumber(2020, 1, 1));
  TABSSQLParam& yes = params.Add();
  yes.Name = u"yes";
  yes.Clear(btLogical);
  yes.SetAsLogical(true);
  struct Case {
    std::u16string text;
    Ids expected;
  } cases[] = {
      {u"Eng = :t", {5}},          {u"Eng <> :t", AllBut({5})}, {u"Num = :n", {3}},
      {u"Num = :five + 2", {6}},   {u"Born = :day", {1, 6}},    {u"Born - 1 < :day - 1", {4, 7, 9, 10}},
      {u":yes", AllBut({})},       {u":yes AND Num = :five", {1, 5}},
  };
  TABSExprRecordSource* sources[] = {f.words.get()};
  for (const Case& c : cases) {
    SCOPED_TRACE(ExprUtf8(c.text));
    TABSLexer lexer(c.text, &params);
    lexer.NextCommand();
    TABSExpression e;
    e.ParseCondition(&f.context, lexer);
    e.BindToOperators(sources);
    EXPECT_EQ(Accepted(*f.words, e), c.expected);
  }
  TABSLexer lexer(u"Num = 1 ORDER BY Eng");
  lexer.NextCommand();
  TABSExpression e;
  e.ParseCondition(&f.context, lexer);
  TToken t;
  lexer.CurrentToken(t);
  EXPECT_EQ(ExprUtf8(t.text), "ORDER");
}

TEST(ExpressionSql, SubqueryRowsAndKnownCounts) {
  SqlFixture f;
  TABSLexer lexer(u"(SELECT Num, Tag FROM Tags WHERE Tag = 'seven') rest");
  lexer.NextCommand();
  TABSExpression e;
  ASSERT_TRUE(e.ParseSubquery(&f.context, lexer));
  TToken t;
  lexer.CurrentToken(t);
  EXPECT_EQ(ExprUtf8(t.text), "rest");
  e.Root()->FetchRow();
  ASSERT_NE(e.Root()->GetRowValue(1), nullptr);
  EXPECT_EQ(e.Root()->GetRowValue(0)->GetAsInteger(), 7);
  EXPECT_EQ(e.Root()->GetRowValue(1)->GetAsString(), "seven");
  EXPECT_EQ(e.Root()->GetRowValue(2), nullptr);

  TABSLexer count_lexer(u"COUNT(*)");
  count_lexer.NextCommand();
  TABSExpression count;
  ASSERT_TRUE(count.ParseValue(&f.context, count_lexer));
  ASSERT_TRUE(count.Root()->IsCountAll());
  count.StartGroup();
  count.Root()->SetCount(1234);
  EXPECT_EQ(count.GetValue()->GetAsInteger(), 1234);
}

TEST(ExpressionSql, BindingSeams) {
  SqlFixture f;
  TABSExprRecordSource* words[] = {f.words.get()};
  TABSExprRecordSource* tags[] = {f.tags.get()};
  TABSExprRecordSource* both[] = {f.words.get(), f.tags.get()};
  {
    TABSLexer lexer(u"Num = 1");
    lexer.NextCommand();
    TABSExpression e;
    e.ParseCondition(&f.context, lexer);
    EXPECT_EQ(::dadoveri::testing::CodeOf([&] { e.BindToOperators(both); }), 10404);
    EXPECT_TRUE(e.CanEvaluateIn(words));
    EXPECT_TRUE(e.UsesOnlyFields("Eng; num"));
    EXPECT_FALSE(e.UsesOnlyFields("Eng"));
  }
  {
    TABSLexer lexer(u"Words.Num = Tags.Num AND Eng = 'x' AND Tag = 'y'");
    lexer.NextCommand();
    TABSExpression e;
    e.ParseCondition(&f.context, lexer);
    ASSERT_EQ(e.Root()->ChildCount(), 3);
    EXPECT_TRUE(e.Root()->Child(0)->IsJoinEquality(f.words.get(), f.tags.get()));
    EXPECT_FALSE(e.Root()->Child(1)->IsJoinEquality(f.words.get(), f.tags.get()));
    std::unique_ptr<TABSExpression> part = e.SplitForOperator(tags);
    // Words.Num = Tags.Num needs both inputs and Eng = 'x' the other one; Tag = 'y' moves.
    ASSERT_NE(part->Root(), nullptr);
    ASSERT_EQ(part->Root()->Operator(), opEqual);
    EXPECT_EQ(static_cast<TABSExprNodeField*>(part->Root()->Child(0))->FieldName(), "Tag");
    ASSERT_EQ(e.Root()->Operator(), opAnd);
    EXPECT_EQ(e.Root()->ChildCount(), 2);
  }
  {
    TABSLexer lexer(u"word = 'abc'");
    lexer.NextCommand();
    TABSExpression e;
    e.ParseCondition(&f.context, lexer);
    const TABSExprSelectItem items[] = {{"word", true, "Words", "Eng"}, {"total", false, "", ""}};
    e.ResolveAliases(items);
    e.BindToOperators(words);
    f.words->SetCurrent(0);
    EXPECT_TRUE(e.GetBooleanValue());
  }
  {
    TABSLexer lexer(u"Num = 1");
    lexer.NextCommand();
    TABSExpression e;
    e.ParseCondition(&f.context, lexer);
    TABSLexer lexer2(u"Eng = 'abc'");
    lexer2.NextCommand();
    TABSExpression other;
    other.ParseCondition(&f.context, lexer2);
    e.AddExpression(other);
    EXPECT_TRUE(other.IsEmpty());
    e.BindToOperators(words);
    EXPECT_EQ(e.Root()->ChildCount(), 2);
  }
}

// ---------------------------------------------------------------------------------------
// Index conditions agree with evaluation

std::unique_ptr<TestRows> MakeIndexedWords() {
  auto t = MakeWords();
  t->AddIndex("ix_eng", {{"Eng", false, false, 20}});
  t->AddIndex("ix_eng_ci_desc", {{"Eng", true, true, 20}});
  t->AddIndex("ix_num", {{"Num", false, false, 20}});
  t->AddIndex("ix_num_eng", {{"Num", false, false, 20}, {"Eng", false, false, 20}});
  t->AddIndex("ix_born_desc", {{"Born", true, false, 20}});
  t->AddIndex("ix_far", {{"Far", false, false, 20}});
  t->AddIndex("ix_eng_short", {{"Eng", false, false, 2}});
  TABSIndexDef& temp = t->AddIndex("ix_temp", {{"Price", false, false, 20}});
  temp.Temporary = true;
  temp.OwnerSession = 9;
  return t;
}

TEST(ExpressionIndexUse, ConditionsSelectWhatEvaluationAccepts) {
  auto words = MakeIndexedWords();
  const FilterCase filters[] = {
      {u"Eng = 'abc*'", false, true, {}},    {u"Eng = 'abc*'", true, true, {}},
      {u"Eng = 'abc'", false, false, {}},    {u"Eng < 'b'", false, false, {}},
      {u"Eng >= 'abc'", false, false, {}},   {u"'b' > Eng", false, false, {}},
      {u"Eng LIKE 'sa%'", false, false, {}}, {u"Eng LIKE 'sa%'", true, false, {}},
      {u"Eng NOT LIKE 'sa%'", false, false, {}},
      {u"Num < 5", false, false, {}},        {u"5 > Num", false, false, {}},
      {u"Num <= 5", false, false, {}},       {u"Num >= 7", false, false, {}},
      {u"Num > 7 AND Num < 15", false, false, {}},
      {u"Num = 12 AND Eng = 'sample'", false, false, {}},
      {u"Num = NULL", false, false, {}},     {u"Num > NULL", false, false, {}},
      {u"Eng IS NULL", false, false, {}},    {u"Eng IS NOT NULL", false, false, {}},
      {u"Born > DATE '2020-01-01'", false, false, {}},
      {u"Born <= DATE '2020-01-01'", false, false, {}},
      {u"UPPER(Eng) = 'ABC'", false, false, {}},
      {u"LOWER(Eng) = 'abc'", false, false, {}},
      {u"UPPER(Eng) = 'abc'", false, false, {}},
      {u"Far = 'abc'", true, false, {}},     {u"Far = 'سلام'", false, false, {}},
      {u"Eng = 'سلام'", false, false, {}},   {u"Num = 2.5", false, false, {}},
      {u"Num = 5 OR Eng = 'ab'", false, false, {}},
      {u"Eng = 'sample' AND Flag", false, false, {}},
      {u"Eng > 'abcdefghijklmnopqrst'", false, false, {}},
      {u"Price > 1", false, false, {}},
      {u"Eng > 'ab*'", false, true, {}},     {u"Eng <= 'abc*'", true, true, {}},
      {u"Eng = 'ABC'", true, false, {}},     {u"Eng < 'B*'", true, true, {}},
      {u"Num = 12 AND Eng = 'sam*'", false, true, {}},
      {u"Eng = '*'", false, true, {}},
  };
  int conditions_seen = 0;
  for (const FilterCase& f : filters) {
    SCOPED_TRACE(ExprUtf8(f.text));
    TABSExpression full;
    full.ParseFilter(words.get(), f.text, f.ci, f.partial);
    const Ids accepted = Accepted(*words, full);
    TABSScanSearchConditionArray conditions;
    full.AddSearchConditions(words->Indexes(), conditions);
    for (int32_t i = 0; i < conditions.Count(); ++i) {
      ++conditions_seen;
      // A fresh tree whose covered nodes are taken out, as a chosen plan does.
      TABSExpression rest;
      rest.ParseFilter(words.get(), f.text, f.ci, f.partial);
      TABSScanSearchConditionArray own;
      rest.AddSearchConditions(words->Indexes(), own);
      ASSERT_EQ(own.Count(), conditions.Count());
      const TABSScanSearchCondition& c = own.Item(i);
      const TABSIndexDef* index = words->Indexes().FindByObjectID(c.IndexID);
      ASSERT_NE(index, nullptr);
      EXPECT_FALSE(index->Temporary);
      rest.RemoveCoveredNodes(c);
      Ids through_index;
      for (int id : RecordsInRange(*words, *index, c)) {
        words->SetCurrent(id - 1);
        if (rest.IsEmpty() || rest.GetBooleanValue()) through_index.push_back(id);
      }
      EXPECT_EQ(through_index, accepted) << "index " << index->Name << " kind " << int(c.Kind);
    }
  }
  EXPECT_GT(conditions_seen, 0);
}

struct OfferCase {
  std::u16string text;
  bool partial;
  // Index name, kind, key field count, covers the node; empty: no condition at all.
  std::vector<std::tuple<std::string, int, int, bool>> offers;
};

TEST(ExpressionIndexUse, WhichIndexesAreOfferedAndWhatTheyCover) {
  auto words = MakeIndexedWords();
  const OfferCase cases[] = {
      // A prefix's range also holds texts that only sort alike: it covers nothing.
      {u"Eng = 'abc*'", true, {{"ix_eng", 1, 1, false}, {"ix_eng_short", 1, 1, false}}},
      {u"Eng < 'abc*'", true, {{"ix_eng", 2, 1, false}, {"ix_eng_short", 2, 1, false}}},
      {u"Num = 12 AND Eng = 'sam*'", true,
       {{"ix_eng", 1, 1, false}, {"ix_num", 1, 1, true}, {"ix_num_eng", 1, 1, true}, {"ix_eng_short", 1, 1, false}}},
      {u"Eng = 'abc'", false, {{"ix_eng", 1, 1, true}, {"ix_eng_short", 1, 1, false}}},
      // A strict < keeps NULL keys in its range; a text constant's < is not strict.
      {u"Num < 5", false, {{"ix_num", 2, 1, false}, {"ix_num_eng", 2, 1, false}}},
      {u"5 < Num", false, {{"ix_num", 3, 1, true}, {"ix_num_eng", 3, 1, true}}},
      {u"Eng < 'b'", false, {{"ix_eng", 2, 1, true}, {"ix_eng_short", 2, 1, true}}},
      {u"Eng <> 'b'", false, {}},
      {u"Num = 12 AND Eng = 'sample'",
       false,
       {{"ix_eng", 1, 1, true}, {"ix_num", 1, 1, true}, {"ix_num_eng", 1, 2, true}, {"ix_eng_short", 1, 1, false}}},
      {u"Born > DATE '2020-01-01'", false, {{"ix_born_desc", 2, 1, true}}},
      {u"Eng IS NULL", false, {{"ix_eng", 1, 1, true}, {"ix_eng_ci_desc", 1, 1, true}, {"ix_eng_short", 1, 1, true}}},
      {u"Eng IS NOT NULL",
       false,
       {{"ix_eng", 3, 1, true}, {"ix_eng_ci_desc", 2, 1, true}, {"ix_eng_short", 3, 1, true}}},
      {u"UPPER(Eng) = 'ABC'", false, {{"ix_eng_ci_desc", 1, 1, false}}},
      {u"UPPER(Eng) = 'abc'", false, {}},
      {u"Eng = 'سلام'", false, {}},
      {u"Num = 2.5", false, {}},
      {u"Num = 5 OR Eng = 'ab'", false, {}},
      {u"NOT (Num = 5)", false, {}},
      {u"Price > 1", false, {}},
      // A key as long as the index keeps of it is not exact.
      {u"Eng LIKE 'sa%'", false, {{"ix_eng", 1, 1, false}, {"ix_eng_short", 1, 1, false}}},
      {u"Eng = 'abcdefghijklmnopqrstu'", false, {}},
      {u"Eng = 'abcd'", false, {{"ix_eng", 1, 1, true}, {"ix_eng_short", 1, 1, false}}},
  };
  for (const OfferCase& c : cases) {
    SCOPED_TRACE(ExprUtf8(c.text));
    TABSExpression e;
    e.ParseFilter(words.get(), c.text, false, c.partial);
    TABSScanSearchConditionArray conditions;
    e.AddSearchConditions(words->Indexes(), conditions);
    std::vector<std::tuple<std::string, int, int, bool>> got;
    for (int32_t i = 0; i < conditions.Count(); ++i) {
      const TABSScanSearchCondition& s = conditions.Item(i);
      got.emplace_back(words->Indexes().FindByObjectID(s.IndexID)->Name, s.Kind, s.KeyFieldCount,
                       !s.CoveredNodes.empty());
    }
    EXPECT_EQ(got, c.offers);
  }
}

TEST(ExpressionIndexUse, ConditionsNeedABoundFieldAndAnIndexWithColumns) {
  auto words = MakeIndexedWords();
  auto other = MakeIndexedWords();
  TABSExpression e;
  e.ParseFilter(words.get(), u"Num = 5", false, false);
  TABSScanSearchCondition c;
  EXPECT_EQ(::dadoveri::testing::CodeOf(
                [&] { e.Root()->AddSearchCondition(other.get(), *words->Indexes().Find("ix_num"), c); }),
            20044);
  TABSIndexDef empty;
  EXPECT_FALSE(e.Root()->CanUseIndex(words.get(), empty, 0));
  EXPECT_EQ(::dadoveri::testing::CodeOf([&] { e.Root()->AddSearchCondition(words.get(), empty, c); }), 20057);
  // The key is a record of the table's layout: the constant in the field, the rest NULL.
  e.Root()->AddSearchCondition(words.get(), *words->Indexes().Find("ix_num"), c);
  const TABSRecordLayout& layout = words->RecordLayout();
  ASSERT_EQ(c.KeyBufferSize(), layout.MemoryRecordSize());
  TABSVariant key;
  layout.GetFieldValue(3, c.KeyBuffer.data(), key);
  EXPECT_EQ(key.GetAsInteger(), 5);
  EXPECT_TRUE(layout.IsNull(1, c.KeyBuffer.data()));
  EXPECT_EQ(c.IndexID, words->Indexes().Find("ix_num")->ObjectID);
}

TEST(ExpressionIndexUse, TemporaryIndexesServeOnlyTheirSession) {
  auto words = MakeIndexedWords();
  words->SetOwnerSession(9);
  TABSExpression e;
  e.ParseFilter(words.get(), u"Price > 1", false, false);
  TABSScanSearchConditionArray conditions;
  e.AddSearchConditions(words->Indexes(), conditions);
  ASSERT_EQ(conditions.Count(), 1);
  EXPECT_EQ(words->Indexes().FindByObjectID(conditions.Item(0).IndexID)->Name, "ix_temp");
}

}  // namespace
}  // namespace dadoveri
