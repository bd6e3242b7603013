// Random damage to SQL texts: every input must give tokens or one of the lexer's own
// failures, positioned on a character of the text that explains it; never a crash, a hang
// or another exception.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "engine/base/engine_error.h"
#include "engine/query/lexer.h"

namespace dadoveri {
namespace {

using LineColumn = std::pair<int32_t, int32_t>;

// The characters at each line and column, counted as the lexer counts them (a carriage
// return takes no column and shares its place with the next character).
std::map<LineColumn, std::u16string> CharactersByPosition(const std::u16string& text) {
  std::map<LineColumn, std::u16string> at;
  int32_t line = 1, column = 1;
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    const bool second_half = c >= 0xDC00 && c <= 0xDFFF && i > 0 && text[i - 1] >= 0xD800 && text[i - 1] <= 0xDBFF;
    if (!second_half) at[{line, column}] += c;
    if (c == u'\n') {
      ++line;
      column = 1;
    } else if (c != u'\r' && !second_half) {
      ++column;
    }
  }
  return at;
}

std::string Printable(const std::u16string& text) {
  std::string out;
  for (char16_t c : text) {
    if (c >= 0x20 && c < 0x7F) out += static_cast<char>(c);
    else {
      char buffer[12];
      std::snprintf(buffer, sizeof buffer, "\\u%04x", static_cast<unsigned>(c));
      out += buffer;
    }
  }
  return out;
}

void CheckOne(const std::u16string& text, const TABSSQLParams& params) {
  const auto positions = CharactersByPosition(text);
  try {
    TABSLexer lexer(text, &params);
    for (const TSQLCommand& command : lexer.Commands()) {
      ASSERT_GT(command.Count(), 0) << Printable(text);
      for (const TToken& token : command.Tokens) {
        ASSERT_TRUE(positions.count({token.line, token.column})) << Printable(text);
        ASSERT_NE(token.kind, tkNone);
        ASSERT_EQ(token.kind == tkParameter, token.value != nullptr);
      }
    }
  } catch (const VODIDivodavir& e) {
    const std::string message = e.Message();
    if (e.NativeError == 30358) return;  // names the parameter, no position
    int32_t line = 0, column = 0;
    const size_t at = message.rfind(" at line ");
    ASSERT_NE(at, std::string::npos) << message;
    ASSERT_EQ(std::sscanf(message.c_str() + at, " at line %d, column %d", &line, &column), 2) << message;
    const auto found = positions.find({line, column});
    ASSERT_NE(found, positions.end()) << message << " in " << Printable(text);
    const std::u16string& here = found->second;
    switch (e.NativeError) {
      case 30059: ASSERT_NE(here.find(u'('), std::u16string::npos) << message; break;
      case 30060: ASSERT_NE(here.find(u')'), std::u16string::npos) << message; break;
      case 30061: ASSERT_NE(here.find_first_of(u"'\"[`"), std::u16string::npos) << message; break;
      case 30062: break;
      default: FAIL() << "unexpected failure " << message << " in " << Printable(text);
    }
  }
}

TEST(LexerMutationTest, DamagedTextsGiveTokensOrPositionedFailures) {
  TABSSQLParams params;
  for (const char16_t* name : {u"Name", u"a b"}) {
    TABSSQLParam& p = params.Add();
    p.Name = name;
    p.SetAsInteger(1);
  }
  const std::u16string seeds[] = {
      u"SELECT *   FROM per2en WHERE per LIKE :Name",
      u"select a.b, f(x, 'it''s', [q r]) from t -- note\r\nwhere c <> 1.5e-3 and d || \"s\"",
      u"/* block\n comment */ insert into `t\\`x` values (?, :'a b', :[Name], .5, 12);\n; delete from t",
      u"update t set a = (1 + (2 * (3 - 4))) / 5 where b >= 'x\ny' or c <= 9223372036854775807",
      u"x\t=\t'\u0646\u0627\u0645' + '\U0001F600'",
  };
  const std::u16string pieces[] = {u"(", u")", u"'", u"\"", u"[", u"]", u"`", u"\\", u":", u"?", u";",
                                   u"--", u"/*", u"*/", u"\r\n", u"\n", u"\t", u" ", u".", u"e", u"E",
                                   u"+", u"-", u"0", u"9", u"a", u"|", u"<", u">", u"=", u",", u"\U0001F600",
                                   u"\xD800", u"\xDC00", u"99999999999999999999", u"1e9999", u"1.2.3"};
  std::mt19937 random(20261210);
  auto pick = [&](size_t n) { return static_cast<size_t>(random() % n); };
  for (int round = 0; round < 6000; ++round) {
    std::u16string text = seeds[pick(std::size(seeds))];
    const int edits = 1 + static_cast<int>(pick(4));
    for (int e = 0; e < edits; ++e) {
      const size_t at = text.empty() ? 0 : pick(text.size() + 1);
      switch (pick(4)) {
        case 0: text.resize(at); break;                                    // truncate
        case 1: text.insert(at, pieces[pick(std::size(pieces))]); break;   // insert
        case 2: if (at < text.size()) text.erase(at, 1 + pick(3)); break;  // drop
        case 3: text.insert(at, text.substr(pick(text.size() + 1))); break; // repeat a tail
      }
      if (text.size() > 4000) text.resize(4000);
    }
    CheckOne(text, params);
    if (::testing::Test::HasFatalFailure()) return;
  }
  // Nesting thousands deep, balanced and not, and very long numbers and words.
  const std::u16string deep_open(20000, u'('), deep_close(20000, u')');
  for (const std::u16string& text :
       {deep_open + u"a" + deep_close, deep_open + u"a" + deep_close.substr(1), deep_open + u"a" + deep_close + u")",
        deep_close, std::u16string(20000, u'9'), std::u16string(20000, u'x'), std::u16string(20000, u'\''),
        u"1." + std::u16string(20000, u'5') + u"e+", std::u16string(20000, u'?'), std::u16string(20000, u'`')}) {
    CheckOne(text, params);
  }
}

}  // namespace
}  // namespace dadoveri
