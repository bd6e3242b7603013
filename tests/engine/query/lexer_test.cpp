#include "engine/query/lexer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/base/engine_error.h"
#include "tests/engine/test_support.h"

namespace dadoveri {
namespace {

std::string Narrow(const std::u16string& text) {
  std::string out;
  for (char16_t c : text) {
    if (c == u'\n') out += "\\n";
    else out += c < 0x80 ? static_cast<char>(c) : '#';
  }
  return out;
}

// One token as "<kind><text>@line:column": w word, s string, b bracketed name, i integer,
// f float, k<number> keyword, p parameter, and the punctuation itself.
std::string Describe(const TToken& t) {
  std::string s;
  switch (t.kind) {
    case tkWord: s = "w'" + Narrow(t.text) + "'"; break;
    case tkString: s = "s'" + Narrow(t.text) + "'"; break;
    case tkBracketedName: s = "b'" + Narrow(t.text) + "'"; break;
    case tkInteger: s = "i'" + Narrow(t.text) + "'"; break;
    case tkFloat: s = "f'" + Narrow(t.text) + "'"; break;
    case tkKeyword: s = "k" + std::to_string(t.keyword); break;
    case tkParameter: s = "p'" + Narrow(t.text) + "'"; break;
    case tkOpenParen: s = "("; break;
    case tkCloseParen: s = ")"; break;
    case tkComma: s = ","; break;
    case tkDot: s = "."; break;
    default: s = "?" + std::to_string(t.kind); break;
  }
  return s + "@" + std::to_string(t.line) + ":" + std::to_string(t.column);
}

// All commands, walked through the lexer's own interface; commands separated by " ; ".
std::string Describe(TABSLexer& lexer) {
  std::string s;
  while (lexer.NextCommand()) {
    if (!s.empty()) s += " ; ";
    TToken token;
    bool first = true;
    for (bool more = lexer.CurrentToken(token); more; more = lexer.NextToken(token)) {
      if (!first) s += " ";
      s += Describe(token);
      first = false;
    }
  }
  return s;
}

TABSSQLParams SampleParams() {
  TABSSQLParams params;
  const std::pair<const char16_t*, int32_t> values[] = {
      {u"Name", 1}, {u"my name", 2}, {u"x y", 3}, {u"q", 4}, {u"\u0646\u0627\u0645", 5}};
  for (const auto& [name, value] : values) {
    TABSSQLParam& p = params.Add();
    p.Name = name;
    p.SetAsInteger(value);
  }
  return params;
}

TEST(LexerTest, WellFormedTextsGiveTokensWithPositions) {
  const struct {
    std::u16string text;
    std::string tokens;
  } cases[] = {
      {u"SELECT *   FROM per2en WHERE per LIKE :Name",
       "k179@1:1 w'*'@1:8 k90@1:12 w'per2en'@1:17 k224@1:24 w'per'@1:30 k123@1:34 p'Name'@1:39"},
      {u"select SeLeCt [select] `select` ABSOLUTE rndup",
       "k179@1:1 k179@1:8 b'select'@1:15 w'select'@1:24 k0@1:33 k291@1:42"},
      {u"'it''s' \"x\" \"a\"\"b\" '' [a b]", "s'it's'@1:1 s'x'@1:9 s'a\"b'@1:13 s''@1:20 b'a b'@1:23"},
      {u"a<>b a<=b a||b a>=b a<b a>b a|b",
       "w'a'@1:1 w'<>'@1:2 w'b'@1:4 w'a'@1:6 w'<='@1:7 w'b'@1:9 w'a'@1:11 w'||'@1:12 w'b'@1:14 "
       "w'a'@1:16 w'>='@1:17 w'b'@1:19 w'a'@1:21 w'<'@1:22 w'b'@1:23 w'a'@1:25 w'>'@1:26 w'b'@1:27 "
       "w'a'@1:29 w'|'@1:30 w'b'@1:31"},
      {u"a!=b", "w'a!'@1:1 w'='@1:3 w'b'@1:4"},
      {u"1e-5 1-5 .5 1.5E+3 12 5. 9223372036854775807",
       "f'1e-5'@1:1 i'1'@1:6 w'-'@1:7 i'5'@1:8 f'.5'@1:10 f'1.5E+3'@1:13 i'12'@1:20 f'5.'@1:23 "
       "i'9223372036854775807'@1:26"},
      {u"-1+2*3/4=5", "w'-'@1:1 i'1'@1:2 w'+'@1:3 i'2'@1:4 w'*'@1:5 i'3'@1:6 w'/'@1:7 i'4'@1:8 w'='@1:9 i'5'@1:10"},
      {u"t.a, f(x) a.5", "w't'@1:1 .@1:2 w'a'@1:3 ,@1:4 w'f'@1:6 (@1:7 w'x'@1:8 )@1:9 w'a'@1:11 f'.5'@1:12"},
      {u"a-b END-EXEC x.. y", "w'a'@1:1 w'-'@1:2 w'b'@1:3 k73@1:5 w'-'@1:8 k78@1:9 w'x'@1:14 .@1:15 .@1:16 w'y'@1:18"},
      {u"SELECT 1; ; SELECT 2;", "k179@1:1 i'1'@1:8 ; k179@1:13 i'2'@1:20"},
      {u";;  ; -- nothing\n", ""},
      // Comments, tabs and CR LF keep lines and columns right.
      {u"-- c ( '\n/* a\nb ) */ x\r\n\ty--z\n1/*c*/2", "w'x'@3:8 w'y'@4:2 i'1'@5:1 i'2'@5:7"},
      {u"a\r b\r\n\rc", "w'a'@1:1 w'b'@1:3 w'c'@2:1"},
      {u"'a\nb' c /* open to the end", "s'a\\nb'@1:1 w'c'@2:4"},
      {u"`a\\`b` `x\\\\`", "w'a`b'@1:1 w'x\\'@1:8"},
      {u":'my name' :[x y] :\"q\" :name ? ?", "p'my name'@1:1 p'x y'@1:12 p'q'@1:19 p'name'@1:24 p'Param1'@1:30 p'Param2'@1:32"},
      {u"(a(b)c)", "(@1:1 w'a'@1:2 (@1:3 w'b'@1:4 )@1:5 w'c'@1:6 )@1:7"},
      // A character outside the basic plane is one column.
      {u"'\U0001F600' x \u0646\u0627\u0645", "s'##'@1:1 w'x'@1:5 w'###'@1:7"},
      {u"x = :\u0646\u0627\u0645", "w'x'@1:1 w'='@1:3 p'###'@1:5"},
  };
  const TABSSQLParams params = SampleParams();
  for (const auto& c : cases) {
    SCOPED_TRACE(Narrow(c.text));
    TABSLexer lexer(c.text, &params);
    EXPECT_EQ(Describe(lexer), c.tokens);
  }
}

TEST(LexerTest, MalformedTextsFailWithCodeMessageAndPosition) {
  const struct {
    std::u16string text;
    int32_t code;
    std::string message;
  } cases[] = {
      {u"(a", 30059, "Missing symbol ')' at line 1, column 1"},
      {u"a)", 30060, "Unexpected symbol ')' found at line 1, column 2"},
      // A ')' without its '(' fails where it stands, even when a '(' follows.
      {u"a)(b", 30060, "Unexpected symbol ')' found at line 1, column 2"},
      {u"(a))((b)", 30060, "Unexpected symbol ')' found at line 1, column 4"},
      // The innermost '(' still open is named, not the last one (which is closed).
      {u"(a (b) c", 30059, "Missing symbol ')' at line 1, column 1"},
      {u"f(a, g(b)\n", 30059, "Missing symbol ')' at line 1, column 2"},
      {u"(a; b)", 30059, "Missing symbol ')' at line 1, column 1"},
      {u"a; (b", 30059, "Missing symbol ')' at line 1, column 4"},
      {u"-- (\n\t(x", 30059, "Missing symbol ')' at line 2, column 2"},
      {u"/* (\n y */ )", 30060, "Unexpected symbol ')' found at line 2, column 7"},
      {u"'a\n)' \r\n  )", 30060, "Unexpected symbol ')' found at line 3, column 3"},
      {u"'abc", 30061, "Unterminated string at line 1, column 1"},
      {u"x = 'it''s\n more", 30061, "Unterminated string at line 1, column 5"},
      {u"'a\nb' \"c", 30061, "Unterminated string at line 2, column 4"},
      {u"\r\n [name", 30061, "Unterminated string at line 2, column 2"},
      {u"a\t`abc", 30061, "Unterminated string at line 1, column 3"},
      {u"`ab\\`", 30061, "Unterminated string at line 1, column 1"},
      {u"x :'p", 30061, "Unterminated string at line 1, column 4"},
      {u"f('a)", 30061, "Unterminated string at line 1, column 3"},
      {u"12ab", 30062, "Invalid numeric symbol 'a' at line 1, column 3"},
      {u"1.2.3", 30062, "Invalid numeric symbol '.' at line 1, column 4"},
      {u"1e+", 30062, "Invalid numeric symbol '+' at line 1, column 3"},
      {u"1e", 30062, "Invalid numeric symbol 'e' at line 1, column 2"},
      {u"1e5e", 30062, "Invalid numeric symbol 'e' at line 1, column 4"},
      {u"x = 1e+)", 30062, "Invalid numeric symbol '+' at line 1, column 7"},
      {u"1'a'", 30062, "Invalid numeric symbol ''' at line 1, column 2"},
      {u"9223372036854775808", 30062, "Invalid numeric symbol '8' at line 1, column 19"},
      {u"1234567890123456789012", 30062, "Invalid numeric symbol '0' at line 1, column 20"},
      {u"1e999", 30062, "Invalid numeric symbol '9' at line 1, column 5"},
      {u"/* a */ 'x'\r\n\t 3x", 30062, "Invalid numeric symbol 'x' at line 2, column 4"},
      {u"SELECT * FROM t WHERE a = :Missing", 30358, "Value for parameter 'Missing' not found"},
      {u"? ? ? ? ? ?", 30358, "Value for parameter 'Param6' not found"},
      {u"a = :", 30358, "Value for parameter '' not found"},
  };
  const TABSSQLParams params = SampleParams();
  for (const auto& c : cases) {
    SCOPED_TRACE(Narrow(c.text));
    try {
      TABSLexer lexer(c.text, &params);
      ADD_FAILURE() << "nothing raised";
    } catch (const VODIDivodavir& e) {
      EXPECT_EQ(e.NativeError, c.code);
      EXPECT_EQ(e.Message(), c.message + " - Native error: " + std::to_string(c.code));
    }
  }
}

TEST(LexerTest, ParametersNeedAListAndCarryTheirOwnCopies) {
  EXPECT_EQ(testing::CodeOf([] { TABSLexer(u"a = :Name"); }), 30358);
  EXPECT_EQ(testing::CodeOf([] { TABSLexer(u"a = ?"); }), 30358);

  auto params = std::make_unique<TABSSQLParams>();
  TABSSQLParam& first = params->Add();
  first.Name = u"Name";
  first.SetAsWideString(u"book*");
  TABSSQLParam& second = params->Add();
  second.Name = u"NAME";  // the first match wins
  second.SetAsInteger(7);
  TABSSQLParam& unset = params->Add();
  unset.Name = u"empty";

  TABSLexer lexer(u"per LIKE :name; x = ? + ? + :EMPTY", params.get());
  ASSERT_EQ(lexer.CommandCount(), 2);
  first.SetAsWideString(u"changed");
  params.reset();  // the lexer's tokens do not depend on the list

  TToken t;
  ASSERT_TRUE(lexer.NextCommand());
  ASSERT_TRUE(lexer.SetPositionAndRead(2, t));
  EXPECT_EQ(t.kind, tkParameter);
  EXPECT_EQ(t.text, u"name");
  EXPECT_EQ(t.value->GetAsWideString(), u"book*");

  ASSERT_TRUE(lexer.NextCommand());
  ASSERT_TRUE(lexer.SetPositionAndRead(2, t));
  EXPECT_EQ(t.text, u"Param1");
  EXPECT_EQ(t.value->GetAsWideString(), u"book*");
  ASSERT_TRUE(lexer.SetPositionAndRead(4, t));
  EXPECT_EQ(t.text, u"Param2");
  EXPECT_EQ(t.value->GetAsInteger(), 7);
  ASSERT_TRUE(lexer.SetPositionAndRead(6, t));
  EXPECT_TRUE(t.value->IsNull());
}

TEST(LexerTest, NavigatesCommandsAndBuildsTokenListsByProgram) {
  TABSLexer lexer(u"SELECT a FROM t");
  TToken t;
  EXPECT_EQ(lexer.GetPosition(), -1);
  EXPECT_FALSE(lexer.CurrentToken(t));
  ASSERT_TRUE(lexer.NextCommand());
  ASSERT_TRUE(lexer.CurrentToken(t));
  EXPECT_TRUE(TABSLexer::IsKeyword(t, 179));
  EXPECT_TRUE(TABSLexer::IsKeyword(t, kNoKeyword));
  EXPECT_FALSE(TABSLexer::IsKeyword(t, 90));

  ASSERT_TRUE(lexer.NextToken(t));
  EXPECT_EQ(t.text, u"a");
  EXPECT_FALSE(TABSLexer::IsKeyword(t, kNoKeyword));
  const int32_t saved = lexer.GetPosition();
  EXPECT_TRUE(lexer.NextToken(t));
  EXPECT_TRUE(lexer.NextToken(t));
  EXPECT_EQ(t.text, u"t");
  // Past the end: a kind-0 token with empty text, and the position stays past the end.
  EXPECT_FALSE(lexer.NextToken(t));
  EXPECT_EQ(t.kind, tkNone);
  EXPECT_TRUE(t.text.empty());
  EXPECT_FALSE(lexer.NextToken(t));
  EXPECT_FALSE(lexer.CurrentToken(t));
  EXPECT_EQ(lexer.GetPosition(), 4);
  EXPECT_TRUE(lexer.SetPosition(4) == false && lexer.GetPosition() == 4);
  EXPECT_FALSE(lexer.SetPosition(5));
  EXPECT_FALSE(lexer.SetPosition(-1));
  EXPECT_TRUE(lexer.SetPositionAndRead(saved, t));
  EXPECT_EQ(t.text, u"a");
  EXPECT_FALSE(lexer.SetPositionAndRead(9, t));
  EXPECT_EQ(t.kind, tkNone);
  EXPECT_FALSE(lexer.NextCommand());

  lexer.AddCommand();
  TToken made;
  made.kind = tkWord;
  made.text = u"built";
  lexer.AddToken(made);
  EXPECT_EQ(lexer.CommandCount(), 2);
  ASSERT_TRUE(lexer.CurrentToken(t));
  EXPECT_EQ(t.text, u"built");

  TABSLexer empty(u"  -- nothing at all");
  EXPECT_EQ(empty.CommandCount(), 0);
  EXPECT_FALSE(empty.NextCommand());
  EXPECT_FALSE(empty.NextToken(t));
  EXPECT_FALSE(empty.SetPosition(0));
}

TEST(LexerTest, ParameterNamesCompareByLocaleUpperCase) {
  TABSSQLParams params;
  EXPECT_EQ(params.FindParam(u"x"), nullptr);
  TABSSQLParam& a = params.Add();
  a.Name = u"stra\u00dfe";
  TABSSQLParam& b = params.Add();
  b.Name = u"\u00e9t\u00e9";
  EXPECT_EQ(params.FindParam(u"\u00c9T\u00c9"), &b);
  EXPECT_EQ(params.FindParam(u"STRA\u00dfE"), &a);
  EXPECT_EQ(params.FindParam(u"strass"), nullptr);
  EXPECT_EQ(params.Count(), 2);
  params.Clear();
  EXPECT_EQ(params.Count(), 0);
}

}  // namespace
}  // namespace dadoveri
