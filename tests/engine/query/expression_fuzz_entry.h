// One entry for damaged expression texts, shared by the libFuzzer target and the seeded
// mutation test: the bytes (UTF-8) are lexed with two parameters, parsed as a filter over
// a small fixture and as an SQL condition, and whatever parses is evaluated on every
// fixture record. Bytes holding a 0x01 are taken as a date format and a text to read
// with it, and the value read is written back. Every input must end in an expression or in
// the engine's own exception; a message that names a line and column must point into the
// text. The answer is empty when all is well, else what went wrong.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <utility>

#include "engine/base/engine_error.h"
#include "engine/query/date_formater.h"
#include "engine/query/expression.h"
#include "engine/query/lexer.h"
#include "engine/query/sql_params.h"
#include "tests/engine/query/expr_test_rows.h"

namespace dadoveri::testing {

// UTF-8 to UTF-16; a byte that does not start a well-formed sequence stands for itself.
inline std::u16string FuzzWide(const uint8_t* data, size_t size) {
  std::u16string out;
  for (size_t i = 0; i < size;) {
    const uint8_t c = data[i];
    auto follow = [&](size_t k) { return i + k < size && (data[i + k] & 0xC0) == 0x80; };
    if (c >= 0xC2 && c < 0xE0 && follow(1)) {
      out += static_cast<char16_t>(((c & 0x1F) << 6) | (data[i + 1] & 0x3F));
      i += 2;
    } else if (c >= 0xE0 && c < 0xF0 && follow(1) && follow(2)) {
      out += static_cast<char16_t>(((c & 0x0F) << 12) | ((data[i + 1] & 0x3F) << 6) | (data[i + 2] & 0x3F));
      i += 3;
    } else {
      out += static_cast<char16_t>(c);
      i += 1;
    }
  }
  return out;
}

// Every place a message may point at: each character's line and column as the lexer
// counts them (a carriage return takes no column), and the place just after each line.
inline std::set<std::pair<int32_t, int32_t>> FuzzPlaces(const std::u16string& text) {
  std::set<std::pair<int32_t, int32_t>> at;
  int32_t line = 1, column = 1;
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    const bool second_half = c >= 0xDC00 && c <= 0xDFFF && i > 0 && text[i - 1] >= 0xD800 && text[i - 1] <= 0xDBFF;
    if (!second_half) at.insert({line, column});
    if (c == u'\n') {
      ++line;
      column = 1;
    } else if (c != u'\r' && !second_half) {
      ++column;
    }
  }
  at.insert({line, column});
  return at;
}

inline std::string FuzzCheckPosition(const VODIDivodavir& e, const std::set<std::pair<int32_t, int32_t>>& places) {
  const std::string message = e.Message();
  const size_t at = message.rfind(" at line ");
  if (at == std::string::npos) return {};
  int32_t line = 0, column = 0;
  if (std::sscanf(message.c_str() + at, " at line %d, column %d", &line, &column) != 2) return {};
  if (places.count({line, column}) == 0) return "position outside the text: " + message;
  return {};
}

// The fixture: five records of text, wide text, numbers, a date and a memo.
inline TestRows& FuzzFixture() {
  static TestRows* rows = [] {
    auto* t = new TestRows("t", {{"Eng", ctString, 12},
                                 {"Far", ctWideString, 12},
                                 {"Num", ctInteger, 0},
                                 {"Amount", ctFloat, 0},
                                 {"Day", ctDate, 0},
                                 {"Note", ctMemo, 0}});
    const char* const eng[] = {"abc", "Abd", nullptr, "xyz", "ab"};
    const char16_t* const far[] = {u"\u067E\u0627", nullptr, u"ab", u"z", u"\u0627"};
    for (int i = 0; i < 5; ++i) {
      std::vector<TABSVariant> v(6);
      if (eng[i]) v[0].SetAsString(eng[i]);
      if (far[i]) v[1].SetAsWideString(far[i]);
      if (i != 2) v[2].SetAsInteger(i * 7 - 10);
      if (i != 3) v[3].SetAsFloat(i * 1.5 - 2);
      if (i != 1) v[4].SetAsDate(730000 + i * 40);
      if (i != 4) v[5].SetAsString(std::string("note ") + static_cast<char>('a' + i));
      t->AddRow(v);
    }
    return t;
  }();
  return *rows;
}

inline std::string FuzzDateFormat(const std::u16string& format, const std::u16string& text) {
  try {
    TDateFormater f(format);
    (void)f.GetDataSize();
    (void)f.GetDataType();
    const double value = f.ParseText(text);
    (void)f.FormatValue(value);
  } catch (const VODIDivodavir&) {
  }
  return {};
}

inline std::string FuzzEvaluate(TABSExpression& e, TestRows& rows) {
  for (int32_t r = 0; r < rows.RowCount(); ++r) {
    rows.SetCurrent(r);
    try {
      (void)e.GetBooleanValue();
    } catch (const VODIDivodavir&) {
      // Evaluation failures (types that do not combine, overflow) are the engine's own.
    }
  }
  rows.SetCurrent(-1);
  return {};
}

inline std::string FuzzExpressionInput(const uint8_t* data, size_t size) {
  const std::u16string text = FuzzWide(data, size);
  const size_t separator = text.find(u'\x01');
  if (separator != std::u16string::npos)
    return FuzzDateFormat(text.substr(0, separator), text.substr(separator + 1));

  const auto places = FuzzPlaces(text);
  TestRows& rows = FuzzFixture();
  try {
    // A filter over the fixture.
    try {
      TABSExpression e;
      e.ParseFilter(&rows, text, size % 2 == 0, size % 3 != 0);
      if (std::string r = FuzzEvaluate(e, rows); !r.empty()) return r;
    } catch (const VODIDivodavir& e) {
      if (std::string r = FuzzCheckPosition(e, places); !r.empty()) return r;
    }
    // An SQL condition with two parameters, bound to the fixture as a query's only input.
    try {
      TABSSQLParams params;
      TABSSQLParam& name = params.Add();
      name.Name = u"Name";
      name.SetAsString("ab");
      TABSSQLParam& number = params.Add();
      number.Name = u"N";
      number.SetAsInteger(5);
      TABSLexer lexer(text, &params);
      if (lexer.NextCommand()) {
        TABSExpression e;
        e.ParseCondition(nullptr, lexer);
        TABSExprRecordSource* sources[] = {&rows};
        e.BindToOperators(sources);
        e.Prepare();
        if (std::string r = FuzzEvaluate(e, rows); !r.empty()) return r;
      }
    } catch (const VODIDivodavir& e) {
      if (std::string r = FuzzCheckPosition(e, places); !r.empty()) return r;
    }
  } catch (const std::exception& e) {
    return std::string("not the engine's exception: ") + e.what();
  }
  return {};
}

}  // namespace dadoveri::testing
