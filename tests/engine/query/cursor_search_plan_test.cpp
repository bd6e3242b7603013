// The access paths the search of a restricted cursor chooses, read from the cursor's
// last plan: which index, which bounds, how many records it read.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "engine/database/local_cursor.h"
#include "engine/database/memory_database_data.h"
#include "engine/query/cursor_filter_expression.h"
#include "engine/table/session.h"
#include "engine/table/table_data.h"
#include "tests/engine/database/table_fixture.h"
#include "tests/engine/test_support.h"

namespace dadoveri {
namespace {

using testing::AddField;

constexpr int kRecords = 300;

class SearchPlan : public ::testing::Test {
 protected:
  void SetUp() override {
    TABSFieldDefs fields;
    TABSIndexDefs indexes;
    TABSConstraintDefs constraints;
    AddField(fields, "Eng", ctString, 20);
    AddField(fields, "X", ctInteger);
    AddField(fields, "Y", ctInteger);
    AddField(fields, "Z", ctInteger);
    testing::AddIndex(indexes, "IEng", {{"Eng"}});
    testing::AddIndex(indexes, "IX", {{"X"}});
    testing::AddIndex(indexes, "UY", {{"Y"}}, true);
    c.SetFilterFactory(&CursorExpressionFilterFactory());
    c.Open(db);
    c.CreateTable(fields, indexes, constraints);
    testing::Fields f(c);
    for (int i = 0; i < kRecords; ++i) {
      c.NewRecord();
      // One record in ten begins with "abc"; others with "Abc" or other letters.
      const std::string eng = (i % 10 == 0 ? "abc" : i % 10 == 1 ? "Abc" : "x") + std::to_string(i);
      f.SetText("Eng", eng);
      f.SetInt("X", i % 20);
      f.SetInt("Y", i);
      f.SetInt("Z", i % 7);
      ASSERT_EQ(c.PostInsert(), roOK);
    }
    c.GoToBegin();
  }
  int32_t IndexID(const char* name) { return c.GetIndexDefs().Find(name)->ObjectID; }
  const TABSSearchPlanInfo& plan() const { return c.LastSearchPlan; }

  TABSMemoryDatabaseData db;
  TABSBaseSession session{0};
  TABSLocalCursor c{&session, "P"};
};

TEST_F(SearchPlan, APrefixFilterReadsOnlyItsIndexRangeUnlessLetterCaseIsIgnored) {
  c.SetFilter(u"Eng = 'abc*'", false, true);
  EXPECT_EQ(c.GetRecordCount(), kRecords / 10);
  EXPECT_EQ(plan().Plan, TABSSearchPlanInfo::spIndexRange);
  EXPECT_EQ(plan().IndexID, IndexID("IEng"));
  EXPECT_LE(plan().RecordsRead, kRecords / 10 + 2);

  // Only a case-sensitive index: a filter that ignores case reads every record.
  c.SetFilter(u"Eng = 'abc*'", true, true);
  EXPECT_EQ(c.GetRecordCount(), 2 * kRecords / 10);
  EXPECT_EQ(plan().Plan, TABSSearchPlanInfo::spFullScan);
  EXPECT_EQ(plan().RecordsRead, kRecords);
}

// In storage order a step stops at the first qualifying record, while a range of another
// index is walked whole: a range holding a large share of the table loses to the walk
// (a count, which meets every record anyway, keeps the index), a sparse one keeps the
// index, and so does a range that leaves another condition to test per record.
TEST_F(SearchPlan, AStorageOrderStepWalksTheTableWhenTheRangeHoldsMuchOfIt) {
  struct Case {
    const char16_t* filter;
    const char* prefix;
    int z;  // the record's Z must be this, or -1
    bool step_walks;  // the first step from the beginning walks the table
  };
  const Case cases[] = {
      {u"Eng = 'abc*'", "abc", -1, true},
      {u"Eng = 'abc1*'", "abc1", -1, false},
      {u"Eng = 'abc*' AND Z = 1", "abc", 1, false},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.prefix + std::string(k.z >= 0 ? " and Z" : ""));
    std::vector<int64_t> expected;  // the qualifying Y values in storage order
    for (int i = 0; i < kRecords; ++i) {
      const std::string eng = (i % 10 == 0 ? "abc" : i % 10 == 1 ? "Abc" : "x") + std::to_string(i);
      if (eng.rfind(k.prefix, 0) == 0 && (k.z < 0 || i % 7 == k.z)) expected.push_back(i);
    }
    ASSERT_FALSE(expected.empty());
    c.SetFilter(k.filter, false, true);
    c.GoToBegin();
    ASSERT_EQ(c.GetRecord(grmNext), grrFound);
    EXPECT_EQ(testing::Fields(c).Int("Y"), expected[0]);
    if (k.step_walks) {
      EXPECT_EQ(plan().Plan, TABSSearchPlanInfo::spFullScan);
      EXPECT_EQ(plan().RecordsRead, expected[0] + 1);
    } else {
      EXPECT_EQ(plan().Plan, TABSSearchPlanInfo::spIndexRange);
      EXPECT_EQ(plan().IndexID, IndexID("IEng"));
    }
    // Every qualifying record, once, in storage order.
    std::vector<int64_t> ys{*testing::Fields(c).Int("Y")};
    while (c.GetRecord(grmNext) == grrFound) ys.push_back(*testing::Fields(c).Int("Y"));
    EXPECT_EQ(ys, expected);
    c.SetFilter(k.filter, false, true);
    EXPECT_EQ(c.GetRecordCount(), static_cast<int64_t>(expected.size()));
    EXPECT_EQ(plan().Plan, TABSSearchPlanInfo::spIndexRange);
  }
}

// A table written in key order keeps the records of one prefix together: the walk's
// estimate (matches spread evenly) misjudges a prefix far from the step's start, and the
// walk gives up after about what the range costs, finishing the step from the range.
// Whatever the path, the records, their order, counts and numbers are a full scan's.
TEST(SearchPlanInKeyOrder, AWalkFarFromItsRecordsGivesWayToTheRange) {
  constexpr int kPerPrefix = 300;
  constexpr int kFiller = 1500;
  TABSFieldDefs fields;
  TABSIndexDefs indexes;
  TABSConstraintDefs constraints;
  AddField(fields, "Eng", ctString, 20);
  AddField(fields, "Note", ctString, 200);  // fat records make the range cheap beside the walk
  AddField(fields, "N", ctInteger);
  testing::AddIndex(indexes, "IEng", {{"Eng"}});
  TABSMemoryDatabaseData db;
  TABSBaseSession session{0};
  TABSLocalCursor c{&session, "K"};
  c.SetFilterFactory(&CursorExpressionFilterFactory());
  c.Open(db);
  c.CreateTable(fields, indexes, constraints);
  testing::Fields f(c);
  std::vector<std::string> stored;  // Eng in storage order
  auto word = [](char first, int i) {
    std::string w(1, first);
    for (int k = 0; k < 4; ++k, i /= 26) w += static_cast<char>('a' + i % 26);
    return w;
  };
  for (int i = 0; i < kPerPrefix; ++i) stored.push_back(word('a', i));
  for (int i = 0; i < kFiller; ++i) stored.push_back(word(static_cast<char>('c' + i * 20 / kFiller), i));
  for (int i = 0; i < kPerPrefix; ++i) stored.push_back(word('y', i));
  std::sort(stored.begin(), stored.end());
  for (size_t i = 0; i < stored.size(); ++i) {
    c.NewRecord();
    f.SetText("Eng", stored[i]);
    f.SetText("Note", "n");
    f.SetInt("N", static_cast<int64_t>(i));
    ASSERT_EQ(c.PostInsert(), roOK);
  }
  const int64_t total = static_cast<int64_t>(stored.size());
  auto model = [&](const std::string& prefix) {
    std::vector<int64_t> ns;
    for (size_t i = 0; i < stored.size(); ++i)
      if (stored[i].rfind(prefix, 0) == 0) ns.push_back(static_cast<int64_t>(i));
    return ns;
  };
  struct Case {
    const char16_t* filter;
    const char* prefix;
    bool forward;
    bool far;  // the first qualifying record lies far from the step's start
  };
  const Case cases[] = {
      {u"Eng = 'a*'", "a", true, false},
      {u"Eng = 'y*'", "y", true, true},
      {u"Eng = 'a*'", "a", false, true},
      {u"Eng = 'y*'", "y", false, false},
      {u"Eng LIKE 'y%'", "y", true, true},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(std::string(k.prefix) + (k.forward ? " forward" : " backward"));
    std::vector<int64_t> expected = model(k.prefix);
    ASSERT_EQ(expected.size(), static_cast<size_t>(kPerPrefix));
    if (!k.forward) std::reverse(expected.begin(), expected.end());
    const int32_t mode = k.forward ? grmNext : grmPrior;
    c.SetFilter(k.filter, false, true);
    if (k.forward)
      c.GoToBegin();
    else
      c.GoToEnd();
    ASSERT_EQ(c.GetRecord(mode), grrFound);
    const TABSSearchPlanInfo first = c.LastSearchPlan;
    EXPECT_EQ(f.Int("N"), expected[0]);
    if (k.far) {
      // An unbounded walk reads every record up to the first match.
      const int64_t unbounded = k.forward ? expected[0] + 1 : total - expected[0];
      EXPECT_GT(unbounded, total / 2);
      EXPECT_EQ(first.Plan, TABSSearchPlanInfo::spIndexRange);
      EXPECT_LE(first.RecordsRead, 2 * (kPerPrefix + 1)) << "about twice the range at most";
      EXPECT_LT(first.RecordsRead, unbounded);
    } else {
      EXPECT_EQ(first.Plan, TABSSearchPlanInfo::spFullScan);
      EXPECT_EQ(first.RecordsRead, 1);
    }
    // Every qualifying record once, in storage order, each with its number.
    std::vector<int64_t> ns{*f.Int("N")};
    std::vector<int64_t> numbers{c.GetRecordNo()};
    while (c.GetRecord(mode) == grrFound) {
      ns.push_back(*f.Int("N"));
      numbers.push_back(c.GetRecordNo());
    }
    EXPECT_EQ(ns, expected);
    for (size_t i = 0; i < numbers.size(); ++i)
      EXPECT_EQ(numbers[i], k.forward ? static_cast<int64_t>(i) + 1 : kPerPrefix - static_cast<int64_t>(i))
          << "row " << i;
    c.SetFilter(k.filter, false, true);
    EXPECT_EQ(c.GetRecordCount(), kPerPrefix);
  }

  // A step from a record (the last of 'a') rather than from an end is bounded the same
  // way; so are the steps after a change made the filter's bitmap stale, and nothing is
  // skipped or met twice.
  TABSLocalCursor writer{&session, "K"};
  writer.Open(db);
  c.SetFilter(u"Eng = 'a*'", false, true);
  c.GoToEnd();
  ASSERT_EQ(c.GetRecord(grmPrior), grrFound);
  ASSERT_EQ(f.Int("N"), kPerPrefix - 1);
  c.SetFilter(u"Eng = 'y*'", false, true);
  std::vector<int64_t> ns;
  for (int step = 0; c.GetRecord(grmNext) == grrFound; ++step) {
    if (step == 0) {
      EXPECT_EQ(c.LastSearchPlan.Plan, TABSSearchPlanInfo::spIndexRange);
      EXPECT_LE(c.LastSearchPlan.RecordsRead, 2 * (kPerPrefix + 1));
    }
    ns.push_back(*f.Int("N"));
    if (step % 50 == 0) {
      writer.NewRecord();
      testing::Fields(writer).SetText("Eng", "b" + std::to_string(step));
      testing::Fields(writer).SetInt("N", -1);
      ASSERT_EQ(writer.PostInsert(), roOK);
    }
  }
  EXPECT_EQ(ns, model("y"));
  c.GoToEnd();
  ASSERT_EQ(c.GetRecord(grmPrior), grrFound);
  std::vector<int64_t> back{*f.Int("N")};
  ASSERT_EQ(c.GetRecord(grmPrior), grrFound);
  back.push_back(*f.Int("N"));
  EXPECT_EQ(back, (std::vector<int64_t>{model("y").back(), model("y").rbegin()[1]}));
}

TEST_F(SearchPlan, MergedConditionsOfOneIndex) {
  // Contradictory bounds: nothing is read.
  c.SetFilter(u"X > 5 AND X < 3", false, false);
  EXPECT_EQ(c.GetRecord(grmNext), grrEndReached);
  EXPECT_EQ(plan().Plan, TABSSearchPlanInfo::spContradiction);
  EXPECT_EQ(plan().RecordsRead, 0);
  EXPECT_EQ(c.GetRecordCount(), 0);

  // Two bounds on one key make one equality.
  c.SetFilter(u"X >= 5 AND X <= 5", false, false);
  c.GoToBegin();
  ASSERT_EQ(c.GetRecord(grmNext), grrFound);
  EXPECT_EQ(plan().IndexConditionCount, 1);
  EXPECT_EQ(plan().IndexID, IndexID("IX"));
  EXPECT_EQ(plan().LowerKind, sckEqual);
  EXPECT_EQ(c.GetRecordCount(), kRecords / 20);
  // The equality's value leaves the NULL keys out: its bounds answer both comparisons, and
  // the step that built the bitmap read only the record it answered.
  EXPECT_LE(plan().RecordsRead, 1);

  // An equality's bounds answer the whole filter: counting reads no record.
  c.SetFilter(u"X = 5", false, false);
  EXPECT_EQ(c.GetRecordCount(), kRecords / 20);
  EXPECT_EQ(plan().IndexID, IndexID("IX"));
  EXPECT_EQ(plan().RecordsRead, 0);
}

// NULL keys lie at the start of the index, inside a range that only an upper bound
// limits: each record there is tested. A lower bound by a value leaves them out, and the
// range then answers the upper bound's comparison on the keys alone.
TEST_F(SearchPlan, AnUpperBoundIsAnsweredOnlyWhereALowerBoundLeavesTheNullKeysOut) {
  testing::Fields f(c);
  for (int i = 0; i < 7; ++i) {
    c.NewRecord();
    f.SetText("Eng", "null" + std::to_string(i));
    f.SetInt("X", std::nullopt);
    f.SetInt("Y", kRecords + i);
    ASSERT_EQ(c.PostInsert(), roOK);
  }
  const int64_t below_5 = kRecords / 20 * 5;
  c.SetFilter(u"X < 5", false, false);
  EXPECT_EQ(c.GetRecordCount(), below_5);
  EXPECT_EQ(plan().IndexID, IndexID("IX"));
  EXPECT_EQ(plan().RecordsRead, below_5 + 7);
  c.SetFilter(u"X >= 0 AND X < 5", false, false);
  EXPECT_EQ(c.GetRecordCount(), below_5);
  EXPECT_EQ(plan().IndexID, IndexID("IX"));
  EXPECT_EQ(plan().RecordsRead, 0);
  c.SetFilter(u"X > 0 AND X <= 4", false, false);
  EXPECT_EQ(c.GetRecordCount(), below_5 - kRecords / 20);
  EXPECT_EQ(plan().RecordsRead, 0);
}

TEST_F(SearchPlan, FindKeyOnAUniqueOneColumnIndexTakesTheShortcut) {
  c.SetIndexName("UY");
  c.SetFilter(u"Z >= 0", false, false);
  std::vector<uint8_t> key(static_cast<size_t>(c.RecordSize));
  c.InitRecordBuffer(key.data(), false);
  testing::Fields(c).SetInt("Y", 123, key.data());
  c.SetSearchKey(key.data(), 1);
  ASSERT_TRUE(c.FindKey(sckEqual));
  EXPECT_EQ(testing::Fields(c).Int("Y"), 123);
  EXPECT_EQ(plan().Shortcut, 1);
  EXPECT_EQ(plan().RecordsRead, 1);
}

TEST_F(SearchPlan, ARangeWithAnUnindexedFilterScansOnlyTheRange) {
  c.SetIndexName("IX");
  std::vector<uint8_t> low(static_cast<size_t>(c.RecordSize)), high(low.size());
  c.InitRecordBuffer(low.data(), false);
  c.InitRecordBuffer(high.data(), false);
  testing::Fields(c).SetInt("X", 3, low.data());
  testing::Fields(c).SetInt("X", 4, high.data());
  c.SetRange(low.data(), high.data(), 1, 1, false, false);
  c.SetFilter(u"Z = 1", false, false);
  int64_t expected = 0;
  for (int i = 0; i < kRecords; ++i) expected += (i % 20 == 3 || i % 20 == 4) && i % 7 == 1;
  EXPECT_EQ(c.GetRecordCount(), expected);
  EXPECT_EQ(plan().Plan, TABSSearchPlanInfo::spIndexRange);
  EXPECT_EQ(plan().IndexID, IndexID("IX"));
  EXPECT_EQ(plan().RecordsRead, 2 * kRecords / 20);
}

TEST_F(SearchPlan, BadInputIsRefusedWithItsMessage) {
  struct Case {
    const char* what;
    std::function<void()> call;
    int32_t code;
  };
  const std::vector<Case> cases = {
      {"key search without an active index", [&] { c.FindKey(sckEqual); }, 20258},
      {"locate without a condition", [&] { c.TableData()->Locate(&c, nullptr); }, 10272},
      {"projection lists of two lengths", [&] { c.SetProjection({"X"}, {}); }, 10321},
      {"empty projection", [&] { c.SetProjection({}, {}); }, 10322},
      {"projection of a missing field", [&] { c.SetProjection({"Nope"}, {""}); }, 10323},
      {"visible field outside", [&] { c.ReadField(9, nullptr); }, 10005},
      {"rename of a missing visible field", [&] { c.TABSCursor::RenameField("Nope", "N"); }, 30345},
      {"rename onto a taken name", [&] { c.TABSCursor::RenameField("X", "Y"); }, 30346},
      {"delete of a missing index", [&] { c.DeleteIndex("Nope"); }, 20021},
      {"second index of one name", [&] {
         TABSIndexDef d;
         d.Name = "IX";
         d.Columns = {{"Z"}};
         c.AddIndex(d);
       }, 20022},
  };
  for (const Case& k : cases) EXPECT_EQ(testing::CodeOf(k.call), k.code) << k.what;
}

TEST_F(SearchPlan, ProjectionAliasesAreMadeUnique) {
  c.SetProjection({"X", "Y", "Z"}, {"Name", "Name", ""});
  ASSERT_EQ(c.VisibleFields.Count(), 3);
  EXPECT_EQ(c.VisibleFields.Item(0)->Name, "Name");
  EXPECT_EQ(c.VisibleFields.Item(1)->Name, "Name_1");
  EXPECT_EQ(c.VisibleFields.Item(2)->Name, "Z");
  EXPECT_EQ(c.VisibleFields.Item(1)->TableFieldNo, 2);
}

}  // namespace
}  // namespace dadoveri
