#include "engine/base/engine_error.h"
#include "tests/engine/test_support.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <variant>
#include <vector>

namespace dadoveri {
namespace {

using testing::MessageOf;

TEST(EngineError, MessagesComposeWithBothSuffixFormats) {
  struct Case {
    const char* name;
    std::string got;
    std::string want;
  };
  const Case cases[] = {
      {"format, missing field", MessageOf([] { RaiseError(30115, "x"); }),
       "Field 'x' not found - Native error: 30115"},
      {"plain text, five digits", MessageOf([] { RaiseError(10001); }),
       "Nil pointer occured - Native error: 10001"},
      {"format below 10000 is space padded",
       MessageOf([] { RaiseError(2011, "FOO", 3, 14); }),
       "'NULL' expected (for NOT NULL), but 'FOO' found at line 3, column 14 - Native error:  2011"},
      {"plain text below 10000 is zero padded", MessageOf([] { RaiseError(2011); }),
       "'NULL' expected (for NOT NULL), but '%s' found at line %d, column %d - Native error: 02011"},
      {"arguments of the wrong kind", MessageOf([] { RaiseError(30115, 42); }),
       "Field '%s' not found Arguments are invalid! - Native error: 30115"},
      {"too few arguments", MessageOf([] { RaiseError(30425); }),
       "Page: %d already used - Native error: 30425"},
      {"too few arguments for a format", MessageOf([] { RaiseError(20143, 5); }),
       "Record not found. PageNo=%d, PageRecordCount=%d Arguments are invalid! - Native error: 20143"},
      {"wrong password", MessageOf([] { RaiseError(30445); }),
       "Cannot open database because incorrect password - Native error: 30445"},
      {"checksum", MessageOf([] { RaiseError(30446, 17); }),
       "Decrypt page error. Check CRC failed. PageNo: 17 - Native error: 30446"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.got, c.want) << c.name;
}

TEST(EngineError, CarriesNativeCode) {
  try {
    RaiseError(20094);
    FAIL();
  } catch (const VODIDivodavir& e) {
    EXPECT_EQ(e.NativeError, 20094);
    EXPECT_EQ(e.Message(), e.what());
  }
}

TEST(EngineError, SharedCodesPickTheMessageByArgumentCount) {
  EXPECT_EQ(MessageOf([] { RaiseError(10115); }),
            "Cannot write to read only stream - Native error: 10115");
  EXPECT_EQ(MessageOf([] { RaiseError(10115, 3, "Memo"); }),
            "BLOB field already opened. FieldNo = 3, FieldName = Memo - Native error: 10115");
  EXPECT_EQ(MessageOf([] { RaiseError(10462, "a.dat"); }),
            "Error - database file a.dat is in use. - Native error: 10462");
}

TEST(EngineError, FormatPlaceholders) {
  struct Case {
    const char* format;
    std::vector<ErrorArg> args;
    const char* want;  // nullptr: the arguments do not fit
  };
  const Case cases[] = {
      {"%.5d|%5d|%-5d|", {42, 42, 42}, "00042|   42|42   |"},
      {"%d%%", {-7}, "-7%"},
      {"%.3d", {-7}, "-007"},
      {"%s and %s", {"a", std::string("b")}, "a and b"},
      {"%.2s", {"abc"}, "ab"},
      {"%x", {255}, "FF"},
      {"%s", {std::u16string(u"\u0633\u0644\u0627\u0645")}, "\xd8\xb3\xd9\x84\xd8\xa7\xd9\x85"},
      {"%d", {"text"}, nullptr},
      {"%s", {1}, nullptr},
      {"%d %d", {1}, nullptr},
      {"% bytes", {1}, nullptr},
      {"trailing %", {}, nullptr},
      {"extra args ignored", {1, 2}, "extra args ignored"},
  };
  for (const Case& c : cases) {
    std::string out;
    const bool ok = FormatMessage(c.format, c.args, out);
    if (c.want) {
      EXPECT_TRUE(ok) << c.format;
      EXPECT_EQ(out, c.want) << c.format;
    } else {
      EXPECT_FALSE(ok) << c.format;
    }
  }
}

TEST(EngineError, OutcomeCodes) {
  const std::map<int, std::string> texts = {
      {-1, "Error adding record"},
      {-2, "Error updating record"},
      {-3, "Error deleting record"},
      {-4, "Error updating record - record was modified by other process"},
      {-5, "Error deleting record - record was modified by other process"},
      {-6, "Error updating record - record was deleted by other process"},
      {-7, "Error deleting record - record was deleted by other process"},
      {-9, "Cannot update record in temporary mode"},
      {-10, "Cannot delete record in temporary mode"},
      {-11, "Cannot cancel operation in temporary mode"},
      {-12, "Record is locked"},
      {-13, "Table is locked"},
  };
  for (const auto& [code, text] : texts) {
    EABSEngineError e(code);
    EXPECT_EQ(e.ErrorCode, code);
    EXPECT_EQ(e.ErrorText, text);
    EXPECT_EQ(std::string(e.what()), "Dadoveri Engine Error # " + std::to_string(code) + " " + text);
  }
  EXPECT_STREQ(EABSEngineError(-12).what(), "Dadoveri Engine Error # -12 Record is locked");
  EXPECT_STREQ(EABSEngineError(-8, "custom").what(), "Dadoveri Engine Error # -8 custom");
  EXPECT_EQ(EABSEngineError(-14).ErrorText, "");
  EXPECT_EQ(EABSEngineError(0).ErrorText, "");
  const EDatabaseError& base = EABSEngineError(-1);
  EXPECT_NE(std::string(base.what()).find("Error adding record"), std::string::npos);
}

// The argument a placeholder of the table's texts takes: text for %s, a whole number for
// %d, %u and %x, a fraction for %f, %e, %g and %n. Answers false for anything else.
bool argument_for(std::string_view text, size_t& i, std::vector<ErrorArg>& args) {
  ++i;  // past '%'
  if (i < text.size() && text[i] == '-') ++i;
  while (i < text.size() && ((text[i] >= '0' && text[i] <= '9') || text[i] == '.')) ++i;
  if (i >= text.size()) return false;
  const int n = static_cast<int>(args.size());
  switch (text[i] | 0x20) {
    case 's': args.emplace_back("arg" + std::to_string(n)); return true;
    case 'd':
    case 'u':
    case 'x': args.emplace_back(100 + n); return true;
    case 'f':
    case 'e':
    case 'g':
    case 'n': args.emplace_back(1.5 + n); return true;
    default: return false;
  }
}

TEST(EngineError, EveryMessageFormatsWithItsOwnPlaceholders) {
  for (const MessageEntry& entry : MessageTable()) {
    const std::string_view text = entry.text;
    std::vector<ErrorArg> args;
    bool well_formed = true;
    for (size_t i = 0; i < text.size() && well_formed; ++i) {
      if (text[i] != '%') continue;
      if (i + 1 < text.size() && text[i + 1] == '%') {
        ++i;
        continue;
      }
      well_formed = argument_for(text, i, args);
    }
    ASSERT_TRUE(well_formed) << "a placeholder that no argument fits: " << text;
    std::string formatted;
    ASSERT_TRUE(FormatMessage(text, args, formatted)) << text;
    for (const ErrorArg& arg : args) {
      if (std::holds_alternative<std::string>(arg.value())) {
        EXPECT_NE(formatted.find(std::get<std::string>(arg.value())), std::string::npos) << text;
      }
    }
    for (int32_t code : entry.codes) {
      // Each code finds this text for its number of arguments and composes it in full.
      EXPECT_EQ(MessageForCode(code, static_cast<int>(args.size())), text) << code;
      const std::string message = MakeError(code, args).what();
      EXPECT_EQ(message.find("Arguments are invalid!"), std::string::npos) << message;
      EXPECT_EQ(message.rfind(formatted, 0), 0u) << message;
    }
  }
}

TEST(EngineError, ChainShortOfItsStoredCountFormats) {
  EXPECT_EQ(MessageOf([] { RaiseError(30388, 500, 500, 120, 500); }),
            "Cannot Read 500 bytes from internal file. FileSize=500. ReadSize=120, Count=500 - Native error: 30388");
}

TEST(EngineError, TableCodesLieInTheirSeries) {
  std::set<int32_t> seen;
  size_t rows = 0;
  for (const MessageEntry& entry : MessageTable()) {
    ++rows;
    EXPECT_NE(std::string(entry.text), "");
    for (int32_t code : entry.codes) {
      const bool in_series = (code >= 10000 && code <= 10514) || (code >= 20001 && code <= 20298) ||
                             (code >= 30001 && code <= 30506) || code == 2011 || code == 2156 ||
                             (code >= 40001 && code <= 40999);  // our own places
      EXPECT_TRUE(in_series) << code;
      seen.insert(code);
    }
  }
  EXPECT_GT(rows, 290u);
  EXPECT_GT(seen.size(), 850u);
}

}  // namespace
}  // namespace dadoveri
