// Random filters against SQLite: the same rows in both, each generated filter compiled by
// our expression engine and evaluated on every row, its SQLite translation run as a WHERE
// clause; the same rows must qualify. The translator (filter_generator.h) writes down where
// the filter language keeps its own rules; everything else must agree with plain SQL.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "engine/base/engine_error.h"
#include "engine/query/expression.h"
#include "engine/table/comparison.h"
#include "tests/engine/query/expr_test_rows.h"
#include "tests/engine/query/filter_generator.h"

namespace dadoveri {
namespace {

struct Row {
  std::string eng, far;  // UTF-8; empty: NULL
  bool num_null, qty_null;
  int32_t num, qty;
};

std::vector<Row> random_rows(uint32_t seed, int count) {
  testing::FilterGenerator words(seed, false, false);
  std::mt19937 rng(seed);
  std::vector<Row> rows(static_cast<size_t>(count));
  for (Row& r : rows) {
    if (rng() % 6 != 0) r.eng = words.Word(4, false);
    if (rng() % 6 != 0) r.far = words.Word(4, true);
    r.num_null = rng() % 7 == 0;
    r.qty_null = rng() % 7 == 0;
    r.num = static_cast<int32_t>(rng() % 41) - 10;
    r.qty = static_cast<int32_t>(rng() % 41) - 10;
  }
  return rows;
}

// The engine's collation for SQLite (UTF-16 on both sides).
int collate(void* case_insensitive, int a_bytes, const void* a, int b_bytes, const void* b) {
  std::u16string sa(static_cast<const char16_t*>(a), static_cast<size_t>(a_bytes) / 2);
  std::u16string sb(static_cast<const char16_t*>(b), static_cast<size_t>(b_bytes) / 2);
  return CompareWideText(sa.c_str(), sb.c_str(), case_insensitive != nullptr);
}

class SqliteRows {
 public:
  explicit SqliteRows(const std::vector<Row>& rows) {
    sqlite3_open(":memory:", &db_);
    static int ci = 1;
    sqlite3_create_collation(db_, "DOD", SQLITE_UTF16, nullptr, collate);
    sqlite3_create_collation(db_, "DODCI", SQLITE_UTF16, &ci, collate);
    sqlite3_exec(db_, "CREATE TABLE t(id INTEGER, Eng TEXT, Far TEXT, Num INTEGER, Qty INTEGER)", nullptr,
                 nullptr, nullptr);
    sqlite3_stmt* ins = nullptr;
    sqlite3_prepare_v2(db_, "INSERT INTO t VALUES(?, ?, ?, ?, ?)", -1, &ins, nullptr);
    for (size_t i = 0; i < rows.size(); ++i) {
      const Row& r = rows[i];
      sqlite3_bind_int(ins, 1, static_cast<int>(i));
      if (r.eng.empty()) sqlite3_bind_null(ins, 2); else sqlite3_bind_text(ins, 2, r.eng.c_str(), -1, SQLITE_TRANSIENT);
      if (r.far.empty()) sqlite3_bind_null(ins, 3); else sqlite3_bind_text(ins, 3, r.far.c_str(), -1, SQLITE_TRANSIENT);
      if (r.num_null) sqlite3_bind_null(ins, 4); else sqlite3_bind_int(ins, 4, r.num);
      if (r.qty_null) sqlite3_bind_null(ins, 5); else sqlite3_bind_int(ins, 5, r.qty);
      sqlite3_step(ins);
      sqlite3_reset(ins);
    }
    sqlite3_finalize(ins);
  }
  ~SqliteRows() { sqlite3_close(db_); }

  // The ids of the rows the condition keeps; false with the error text when SQLite
  // refuses it.
  bool Select(const std::string& where, bool case_insensitive, std::set<int>& ids, std::string& error) {
    sqlite3_exec(db_, case_insensitive ? "PRAGMA case_sensitive_like = OFF" : "PRAGMA case_sensitive_like = ON",
                 nullptr, nullptr, nullptr);
    sqlite3_stmt* st = nullptr;
    const std::string sql = "SELECT id FROM t WHERE " + where;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
      error = sqlite3_errmsg(db_);
      return false;
    }
    ids.clear();
    while (sqlite3_step(st) == SQLITE_ROW) ids.insert(sqlite3_column_int(st, 0));
    sqlite3_finalize(st);
    return true;
  }

 private:
  sqlite3* db_ = nullptr;
};

// UTF-8 of the fixture's alphabet (all within the Basic Multilingual Plane) to UTF-16.
std::u16string wide(const std::string& utf8) {
  std::u16string out;
  for (size_t i = 0; i < utf8.size();) {
    const unsigned char c = static_cast<unsigned char>(utf8[i]);
    if (c < 0x80) {
      out += static_cast<char16_t>(c);
      i += 1;
    } else if ((c & 0xE0) == 0xC0) {
      out += static_cast<char16_t>(((c & 0x1F) << 6) | (utf8[i + 1] & 0x3F));
      i += 2;
    } else {
      out += static_cast<char16_t>(((c & 0x0F) << 12) | ((utf8[i + 1] & 0x3F) << 6) | (utf8[i + 2] & 0x3F));
      i += 3;
    }
  }
  return out;
}

std::unique_ptr<testing::TestRows> our_rows(const std::vector<Row>& rows) {
  auto t = std::make_unique<testing::TestRows>(
      "t", std::vector<testing::TestField>{
               {"Eng", ctString, 12}, {"Far", ctWideString, 12}, {"Num", ctInteger, 0}, {"Qty", ctInteger, 0}});
  for (const Row& r : rows) {
    std::vector<TABSVariant> values(4);
    if (!r.eng.empty()) values[0].SetAsString(r.eng);
    if (!r.far.empty()) values[1].SetAsWideString(wide(r.far));
    if (!r.num_null) values[2].SetAsInteger(r.num);
    if (!r.qty_null) values[3].SetAsInteger(r.qty);
    t->AddRow(values);
  }
  // Indexes for the index conditions the filters hand out (see the second test).
  t->AddIndex("ix_eng", {{"Eng", false, false, 12}});
  t->AddIndex("ix_eng_ci_desc", {{"Eng", true, true, 12}});
  t->AddIndex("ix_eng_short", {{"Eng", false, false, 2}});
  t->AddIndex("ix_far", {{"Far", false, false, 12}});
  t->AddIndex("ix_num_qty", {{"Num", false, false, 4}, {"Qty", true, false, 4}});
  return t;
}

std::string describe(const std::set<int>& ids, const std::vector<Row>& rows) {
  std::string s;
  for (int id : ids) {
    const Row& r = rows[static_cast<size_t>(id)];
    s += "  #" + std::to_string(id) + " Eng=" + (r.eng.empty() ? "NULL" : "'" + r.eng + "'") +
         " Far=" + (r.far.empty() ? "NULL" : "'" + r.far + "'") +
         " Num=" + (r.num_null ? "NULL" : std::to_string(r.num)) +
         " Qty=" + (r.qty_null ? "NULL" : std::to_string(r.qty)) + "\n";
  }
  return s;
}

TEST(ExpressionDifferential, RandomFiltersKeepTheRowsSqliteKeeps) {
  const std::vector<Row> rows = random_rows(77, 160);
  SqliteRows lite(rows);
  std::unique_ptr<testing::TestRows> ours = our_rows(rows);
  int compared = 0;
  for (int options = 0; options < 4; ++options) {
    const bool ci = options & 1, partial = options & 2;
    testing::FilterGenerator gen(1000 + static_cast<uint32_t>(options), ci, partial);
    for (int i = 0; i < 750; ++i) {
      const testing::GeneratedFilter f = gen.Next();
      SCOPED_TRACE("filter: " + f.filter + "\nsqlite: " + f.sqlite + "\ncase-insensitive=" +
                   std::to_string(ci) + " partial=" + std::to_string(partial));
      std::set<int> expected;
      std::string error;
      ASSERT_TRUE(lite.Select(f.sqlite, ci, expected, error)) << error;
      std::set<int> got;
      TABSExpression e;
      ASSERT_NO_THROW(e.ParseFilter(ours.get(), wide(f.filter), ci, partial));
      for (int32_t r = 0; r < ours->RowCount(); ++r) {
        ours->SetCurrent(r);
        if (e.GetBooleanValue()) got.insert(r);
      }
      if (got != expected) {
        std::set<int> extra, missing;
        for (int id : got)
          if (!expected.count(id)) extra.insert(id);
        for (int id : expected)
          if (!got.count(id)) missing.insert(id);
        FAIL() << "kept but SQLite does not:\n" << describe(extra, rows) << "SQLite keeps, we do not:\n"
               << describe(missing, rows);
      }
      ++compared;
    }
  }
  EXPECT_EQ(compared, 3000);
}

// Every index condition a random filter hands out reads, through its index range and with
// the nodes it covers taken out, exactly the records evaluation accepts.
TEST(ExpressionDifferential, IndexConditionsOfRandomFiltersSelectWhatEvaluationAccepts) {
  const std::vector<Row> rows = random_rows(91, 120);
  std::unique_ptr<testing::TestRows> ours = our_rows(rows);
  int conditions_seen = 0;
  for (int options = 0; options < 4; ++options) {
    const bool ci = options & 1, partial = options & 2;
    testing::FilterGenerator gen(2000 + static_cast<uint32_t>(options), ci, partial);
    for (int i = 0; i < 1200; ++i) {
      const testing::GeneratedFilter f = gen.Next();
      const std::u16string text = wide(f.filter);
      SCOPED_TRACE("filter: " + f.filter + "\ncase-insensitive=" + std::to_string(ci) +
                   " partial=" + std::to_string(partial));
      TABSExpression full;
      full.ParseFilter(ours.get(), text, ci, partial);
      std::set<int> accepted;
      for (int32_t r = 0; r < ours->RowCount(); ++r) {
        ours->SetCurrent(r);
        if (full.GetBooleanValue()) accepted.insert(r + 1);
      }
      TABSScanSearchConditionArray conditions;
      full.AddSearchConditions(ours->Indexes(), conditions);
      for (int32_t k = 0; k < conditions.Count(); ++k) {
        ++conditions_seen;
        TABSExpression rest;  // a fresh tree, as a chosen plan takes its covered nodes out
        rest.ParseFilter(ours.get(), text, ci, partial);
        TABSScanSearchConditionArray own;
        rest.AddSearchConditions(ours->Indexes(), own);
        ASSERT_EQ(own.Count(), conditions.Count());
        const TABSScanSearchCondition& c = own.Item(k);
        const TABSIndexDef* index = ours->Indexes().FindByObjectID(c.IndexID);
        ASSERT_NE(index, nullptr);
        rest.RemoveCoveredNodes(c);
        std::set<int> through_index;
        for (int id : testing::RecordsInRange(*ours, *index, c)) {
          ours->SetCurrent(id - 1);
          if (rest.IsEmpty() || rest.GetBooleanValue()) through_index.insert(id);
        }
        ASSERT_EQ(through_index, accepted) << "index " << index->Name << " kind " << int(c.Kind) << " keys "
                                           << c.KeyFieldCount;
      }
    }
  }
  EXPECT_GT(conditions_seen, 500);
}

}  // namespace
}  // namespace dadoveri
