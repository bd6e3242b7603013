// Damaged expression texts: valid filters and conditions cut, with characters and tokens
// inserted or dropped, quotes and brackets unbalanced, nesting thousands deep and numbers
// beyond every type. Each must give an expression or the engine's own failure positioned
// inside the text; never a crash, a hang, a leak or another exception.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "tests/engine/query/expression_fuzz_entry.h"
#include "tests/engine/query/filter_generator.h"

namespace dadoveri {
namespace {

std::string Fuzz(const std::string& text) {
  return testing::FuzzExpressionInput(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

TEST(ExpressionMutationTest, DamagedTextsGiveExpressionsOrPositionedFailures) {
  using namespace std::string_literals;
  std::vector<std::string> seeds = {
      "Eng = 'ab*' AND Num * 3 - 7 > 1 OR Far IS NOT NULL",
      "UPPER(Eng) LIKE 'A_C%' ESCAPE '\\' AND NOT (Num BETWEEN -5 AND 5)",
      "Num IN (1, 2, NULL) OR Amount / 2 >= 0.5e1 OR Day > DATE '2001-01-01'",
      "CASE WHEN Num > 0 THEN 'p' ELSE 'n' END = 'p' AND COALESCE(Eng, Far) <> 'x'",
      "CAST(Num AS VARCHAR(3)) || Eng = '1abc' OR SUBSTRING(Eng FROM 2 FOR 1) = 'b'",
      "TOSTRING(Day, 'YYYY-MM-DD') > '2000' AND EXTRACT(YEAR FROM Day) > 1990 AND Note LIKE '%e%'",
      "POSITION('b' IN Eng) = 2 AND LENGTH(Far) < 3 AND ROUND(Amount, 1, HALFEVEN) > -1",
      "Eng = :Name OR Num = :N OR Num = ? OR (Eng IS TRUE) IS NOT FALSE",
      "TODATE('2001-02-03', 'YYYY-MM-DD') = Day AND TIMESTAMP '2001-01-01 10:00:00' < NOW",
      "2001-01-01\x01YYYY-MM-DD",
      "Monday, 03 February 2001 12:30 PM\x01" "DAY, DD MONTH YYYY HH12:MI AMPM",
  };
  testing::FilterGenerator gen(4242, true, true);
  for (int i = 0; i < 40; ++i) seeds.push_back(gen.Next().filter);

  const std::vector<std::string> pieces = {
      "(", ")", "'", "\"", "[", "]", "`", ":", "?", ";", "--", "/*", "*/", "\r\n", "\t", " ", ".", ",",
      "+", "-", "*", "/", "||", "=", "<>", "<=", "NOT", "AND", "OR", "IS", "NULL", "LIKE", "IN", "BETWEEN",
      "CASE", "WHEN", "THEN", "END", "ESCAPE", "CAST(", "AS", "SELECT", "EXISTS", "ALL", "ANY", "UPPER(",
      "99999999999999999999", "1e999", "2147483647", "-9223372036854775808", "1.2.3", "Eng", "\xD9\xBE", "\x01",
      "\xFF"};
  std::mt19937 random(20261210);
  auto pick = [&](size_t n) { return static_cast<size_t>(random() % n); };
  for (int round = 0; round < 3000; ++round) {
    std::string text = seeds[pick(seeds.size())];
    const int edits = 1 + static_cast<int>(pick(4));
    for (int e = 0; e < edits; ++e) {
      const size_t at = text.empty() ? 0 : pick(text.size() + 1);
      switch (pick(4)) {
        case 0: text.resize(at); break;
        case 1: text.insert(at, pieces[pick(pieces.size())]); break;
        case 2: if (at < text.size()) text.erase(at, 1 + pick(3)); break;
        case 3: text.insert(at, text.substr(pick(text.size() + 1))); break;
      }
      if (text.size() > 3000) text.resize(3000);
    }
    const std::string problem = Fuzz(text);
    ASSERT_EQ(problem, "") << "input: " << text;
  }

  const std::string open(5000, '('), close(5000, ')');
  const std::vector<std::string> extremes = {
      open + "Num = 1" + close,
      open + "Num = 1" + close.substr(1),
      "Num = " + open + "1" + close,
      std::string(5000, '-') + "Num = 1",
      "Num = 1" + std::string(2000, ' ') + "AND Num = 1",
      [] {
        std::string s = "Num = 1";
        for (int i = 0; i < 3000; ++i) s += " AND NOT Num = 1";
        return s;
      }(),
      [] {
        std::string s = "Num";
        for (int i = 0; i < 3000; ++i) s += " + Num";
        return s + " > 0";
      }(),
      [] {
        std::string s;
        for (int i = 0; i < 3000; ++i) s += "UPPER(";
        return s + "Eng" + std::string(3000, ')') + " = 'A'";
      }(),
      "Num = " + std::string(5000, '9'),
      "Eng LIKE '" + std::string(3000, '%') + "a'",
      std::string(5000, '\''),
      // Literals whose text ends at an embedded NUL read as empty text.
      "Eng = '\0'"s,
      "'\0*' <> Far OR Eng = '\0\0*'"s,
      "Eng LIKE '\0%' OR Far IN ('\0')"s,
  };
  for (const std::string& text : extremes) ASSERT_EQ(Fuzz(text), "") << text.substr(0, 80);
}

}  // namespace
}  // namespace dadoveri
