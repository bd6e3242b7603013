// Field defaults that are expressions: the builder the query layer installs decides which
// defaults are evaluated for each new record and which stay the constant they read as.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "engine/table/field_manager.h"

namespace dadoveri {
namespace {

TABSFieldLayout field(const std::string& name, TABSColumnType type, int32_t size, const char* default_text) {
  TABSFieldLayout f;
  f.Name = name;
  f.SetType(type, size);
  if (default_text) f.DefaultValue.SetAsString(default_text);
  BuildDefaultExpression(f);
  return f;
}

TEST(DefaultExpression, OnlyTextsThatReadAsSomethingElseBecomeExpressions) {
  struct Case {
    const char* text;
    bool expression;
  } const cases[] = {
      {"NOW", true},         {"CURRENT_DATE", true}, {"'abc'", true},       {"1 + 2", true},
      {"UPPER('x')", true},  {"guest", false},       {"12", false},         {"guest house", false},
      {"12 13", false},      {"'open", false},       {"", false},           {"SELECT 1", false},
      {"Name || 'x'", false}, {"ROWNUM", false},
  };
  for (const Case& c : cases) {
    const TABSFieldLayout f = field("F", ctString, 20, c.text);
    EXPECT_EQ(f.DefaultExpression != nullptr, c.expression) << c.text;
  }
  // A default that is not text is always a constant.
  TABSFieldLayout n;
  n.Name = "N";
  n.SetType(ctInteger);
  n.DefaultValue.SetAsInteger(5);
  BuildDefaultExpression(n);
  EXPECT_EQ(n.DefaultExpression, nullptr);
}

TEST(DefaultExpression, NewRecordsGetFreshValuesAndConstantsStayAsWritten) {
  TABSBaseFieldManager manager;
  std::vector<TABSFieldLayout> fields = {field("Stamp", ctDateTime, 0, "NOW"), field("Who", ctString, 10, "guest"),
                                         field("Qty", ctInteger, 0, "12"), field("Tag", ctString, 10, "'abc'"),
                                         field("Sum", ctInteger, 0, "1 + 2")};
  manager.SetFields(fields);
  const TABSRecordLayout& layout = manager.Layout();
  std::vector<uint8_t> first(static_cast<size_t>(layout.MemoryRecordSize()));
  std::vector<uint8_t> second(first.size());
  manager.NewRecord(nullptr, first.data());
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  manager.NewRecord(nullptr, second.data());

  TABSVariant a, b;
  layout.GetFieldValue(0, first.data(), a, true);
  layout.GetFieldValue(0, second.data(), b, true);
  ASSERT_FALSE(a.IsNull());
  EXPECT_LT(a.GetAsTDateTime(), b.GetAsTDateTime()) << "NOW is evaluated for each new record";

  TABSVariant v;
  layout.GetFieldValue(1, first.data(), v, true);
  EXPECT_EQ(v.GetAsString(), "guest");
  layout.GetFieldValue(2, first.data(), v, true);
  EXPECT_EQ(v.GetAsInteger(), 12);
  layout.GetFieldValue(3, first.data(), v, true);
  EXPECT_EQ(v.GetAsString(), "abc");
  layout.GetFieldValue(4, first.data(), v, true);
  EXPECT_EQ(v.GetAsInteger(), 3);
}

}  // namespace
}  // namespace dadoveri
