// Three cursors of one table walk it while a fourth inserts, updates and deletes records,
// their current records included: a range on an active index, storage order with a built
// filter bitmap, and distinct navigation. A record that stays unchanged and qualifying for
// the whole walk is met exactly once, no record twice, and counts follow every change.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <vector>

#include "engine/database/local_cursor.h"
#include "engine/database/memory_database_data.h"
#include "engine/query/cursor_filter_expression.h"
#include "engine/table/session.h"
#include "tests/engine/database/table_fixture.h"

namespace dadoveri {
namespace {

TEST(CursorsUnderChange, NothingSkippedOrTwiceAndCountsFollow) {
  TABSMemoryDatabaseData db;
  TABSBaseSession session{0};
  TABSLocalCursor w(&session, "Q");
  w.Open(db);
  TABSFieldDefs fields;
  TABSIndexDefs indexes;
  TABSConstraintDefs constraints;
  testing::AddField(fields, "K", ctInteger);
  testing::AddField(fields, "X", ctInteger);
  testing::AddIndex(indexes, "IX", {{"X"}});
  w.CreateTable(fields, indexes, constraints);
  testing::Fields f(w);
  std::mt19937 rng(11);
  std::map<int64_t, int64_t> model;  // K -> X
  int32_t next_k = 0;
  auto insert = [&] {
    w.NewRecord();
    f.SetInt("K", next_k);
    const int32_t x = static_cast<int32_t>(rng() % 20);
    f.SetInt("X", x);
    ASSERT_EQ(w.PostInsert(), roOK);
    model[next_k++] = x;
  };
  for (int i = 0; i < 80; ++i) insert();

  TABSLocalCursor range(&session, "Q"), filtered(&session, "Q"), distinct(&session, "Q");
  for (TABSLocalCursor* c : {&range, &filtered, &distinct}) {
    c->SetFilterFactory(&CursorExpressionFilterFactory());
    c->Open(db);
  }
  range.SetIndexName("IX");
  std::vector<uint8_t> low(static_cast<size_t>(range.RecordSize)), high(low.size());
  range.InitRecordBuffer(low.data(), false);
  range.InitRecordBuffer(high.data(), false);
  f.SetInt("X", 5, low.data());
  f.SetInt("X", 14, high.data());
  range.SetRange(low.data(), high.data(), 1, 1, false, false);
  filtered.SetFilter(u"X >= 10", false, false);
  distinct.SetIndexName("IX");
  distinct.SetDistinctKeyFieldCount(1);

  auto qualifies = [&range, &filtered](TABSLocalCursor* c, int64_t x) {
    return c == &range ? x >= 5 && x <= 14 : c == &filtered ? x >= 10 : true;
  };
  auto count_of = [&](TABSLocalCursor* c) {
    std::set<int64_t> xs;
    int64_t n = 0;
    for (const auto& [k, x] : model) {
      if (!qualifies(c, x)) continue;
      ++n;
      xs.insert(x);
    }
    return c == &distinct ? static_cast<int64_t>(xs.size()) : n;
  };

  for (int round = 0; round < 6; ++round) {
    for (TABSLocalCursor* c : {&range, &filtered, &distinct}) {
      SCOPED_TRACE("round " + std::to_string(round) + " cursor " + std::to_string(c == &range ? 0 : c == &filtered ? 1 : 2));
      ASSERT_EQ(c->GetRecordCount(), count_of(c));  // builds the bitmap
      const std::map<int64_t, int64_t> before = model;
      std::set<int64_t> changed, seen_k;
      int64_t prev_x = -1;
      c->GoToBegin();
      testing::Fields cf(*c);
      while (c->GetRecord(grmNext) == grrFound) {
        const int64_t k = *cf.Int("K"), x = *cf.Int("X");
        // A record the writer changed may move ahead and be met again; others never.
        if (!seen_k.insert(k).second) {
          EXPECT_TRUE(changed.count(k)) << "twice: " << k;
        }
        // In index order the walk never goes back, and distinct steps leave each run.
        if (c != &filtered && prev_x >= 0) {
          if (c == &distinct) {
            EXPECT_GT(x, prev_x);
          } else {
            EXPECT_GE(x, prev_x);
          }
        }
        prev_x = x;
        EXPECT_TRUE(qualifies(c, x));
        // The writer changes something, often the record the cursor is on.
        const uint32_t what = rng() % 4;
        if (what == 0) {
          insert();
          changed.insert(next_k - 1);
        } else if (what <= 2) {
          const bool own = rng() % 2 == 0;
          int64_t target = own ? k : std::next(model.begin(), static_cast<long>(rng() % model.size()))->first;
          if (!model.count(target)) continue;
          w.Position = c->Position;
          if (!own) {
            w.GoToBegin();
            while (w.GetRecord(grmNext) == grrFound && *f.Int("K") != target) {
            }
          } else {
            w.AtBegin = w.AtEnd = false;
            ASSERT_EQ(w.GetRecord(grmCurrent), grrFound);
          }
          changed.insert(target);
          if (what == 1) {
            ASSERT_EQ(w.DeleteCurrent(), roOK);
            model.erase(target);
          } else {
            ASSERT_EQ(w.BeginEdit(), roOK);
            const int32_t nx = static_cast<int32_t>(rng() % 20);
            f.SetInt("X", nx);
            ASSERT_EQ(w.PostEdit(), roOK);
            model[target] = nx;
          }
        }
        EXPECT_EQ(c->GetRecordCount(), count_of(c));
      }
      if (c == &distinct) continue;  // a run's first record may change under the walk
      for (const auto& [k, x] : before) {
        if (!changed.count(k) && qualifies(c, x)) {
          EXPECT_TRUE(seen_k.count(k)) << "skipped: " << k;
        }
      }
    }
  }
}

}  // namespace
}  // namespace dadoveri
