#include "engine/table/scan_search_condition.h"

#include <gtest/gtest.h>

#include "tests/engine/test_support.h"

namespace dadoveri {
namespace {

TEST(ScanSearchConditionArray, CopiesIndexConditionsAndRefusesBadOnes) {
  TABSScanSearchConditionArray list;
  TABSScanSearchCondition c;
  c.Kind = sckEqual;
  c.IndexID = 7;
  c.KeyFieldCount = 1;
  c.KeyBuffer = {1, 2, 3};
  EXPECT_EQ(list.AddIndexCondition(c), 0);
  c.KeyBuffer[0] = 9;  // the list holds its own copy
  EXPECT_EQ(list.Item(0).KeyBuffer[0], 1);
  EXPECT_EQ(list.Item(0).KeyBufferSize(), 3);

  TABSScanSearchCondition no_index = c;
  no_index.IndexID = -1;
  EXPECT_EQ(testing::CodeOf([&] { list.AddIndexCondition(no_index); }), 10388);
  TABSScanSearchCondition no_columns = c;
  no_columns.KeyFieldCount = 0;
  EXPECT_EQ(testing::CodeOf([&] { list.AddIndexCondition(no_columns); }), 10388);

  EXPECT_EQ(list.AddExpressionCondition(nullptr), 1);
  EXPECT_FALSE(list.Item(1).IsIndexCondition());
  EXPECT_EQ(testing::CodeOf([&] { list.Delete(2); }), 10413);
  EXPECT_EQ(testing::CodeOf([&] { list.Delete(-1); }), 10413);
  list.Delete(0);
  EXPECT_EQ(list.Count(), 1);
}

}  // namespace
}  // namespace dadoveri
