// SELECT of one table, run as a cursor over it: the WHERE as its filter, the select list
// as its projection, ORDER BY through an index; live when asked for.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/query/sql_statement.h"
#include "tests/engine/query/sql_test_database.h"

namespace dadoveri {
namespace {

using testing::SQLTestDatabase;
using testing::ResultRows;
using testing::Wide;
using Rows = std::vector<std::string>;


Rows FieldNames(TABSCursor* c) {
  Rows names;
  for (int32_t i = 0; i < c->VisibleFields.Count(); ++i) names.push_back(c->VisibleFields.Item(i)->Name);
  return names;
}

class SQLSelect : public ::testing::TestWithParam<bool> {
 protected:
  SQLSelect() : db(GetParam()) {
    db.Run("CREATE TABLE t (id INTEGER, s VARCHAR(10), n INTEGER); "
           "INSERT INTO t VALUES (1, 'b', 30), (2, 'a', 10), (3, NULL, 20), (4, 'c', 10)");
  }
  TABSCursor* Select(const std::string& sql) {
    db.Processor().SetSQL(Wide(sql));
    return db.Processor().Execute();
  }
  SQLTestDatabase db;
};

INSTANTIATE_TEST_SUITE_P(Databases, SQLSelect, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "File" : "Memory"; });

TEST_P(SQLSelect, OneTableWithWhereSelectListAndOrder) {
  struct Case {
    const char* sql;
    Rows names;
    Rows rows;
  };
  const Case cases[] = {
      {"SELECT * FROM t", {"id", "s", "n"}, {"1|b|30", "2|a|10", "3|NULL|20", "4|c|10"}},
      {"SELECT * FROM t WHERE n = 10", {"id", "s", "n"}, {"2|a|10", "4|c|10"}},
      {"SELECT s AS name, id FROM t x WHERE x.id > 1 ORDER BY 2 DESC", {"name", "id"}, {"c|4", "NULL|3", "a|2"}},
      {"SELECT t.* FROM t ORDER BY n, id DESC", {"id", "s", "n"}, {"4|c|10", "2|a|10", "3|NULL|20", "1|b|30"}},
      // A select-list alias names its field in WHERE and ORDER BY.
      {"SELECT id AS k, s FROM t WHERE k <= 2 ORDER BY k DESC", {"k", "s"}, {"2|a", "1|b"}},
      {"SELECT id FROM t WHERE s IN (SELECT s FROM t WHERE n = 10) ORDER BY id", {"id"}, {"2", "4"}},
      {"SELECT id FROM t WHERE id > 9", {"id"}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sql);
    TABSCursor* result = Select(c.sql);
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(FieldNames(result), c.names);
    EXPECT_EQ(ResultRows(result), c.rows);
  }
}

TEST_P(SQLSelect, TheLastStatementGivesTheResult) {
  std::vector<Rows> seen;
  db.Processor().SetSQL(u"SELECT id FROM t WHERE id = 1; SELECT s FROM t WHERE id = 2");
  TABSCursor* result = db.Processor().Execute([&](TABSSQLCommand&, TABSCursor* r, int64_t) {
    r->GoToBegin();
    r->GetRecord(grmNext);
    seen.push_back(ResultRows(r));
  });
  EXPECT_EQ(seen, (std::vector<Rows>{{"1"}, {"a"}}));
  EXPECT_EQ(ResultRows(result), (Rows{"a"}));
}

TEST_P(SQLSelect, MessagesOfExecution) {
  for (const auto& [sql, code] : std::vector<std::pair<std::string, int32_t>>{
           {"SELECT * FROM nothere", 10303},
           {"SELECT zz FROM t", 10305},
           {"SELECT u.id FROM t", 10341},
           {"SELECT id FROM t ORDER BY zz", 30195},
           {"SELECT DISTINCT id FROM t ORDER BY s", 30195},
           {"SELECT id FROM t ORDER BY 2", 20243},
       }) {
    SCOPED_TRACE(sql);
    EXPECT_EQ(testing::CodeOf([&] { Select(sql); }), code);
  }
}

// The dictionary's search: live, an index range, and edits through the result change the
// table.
TEST_P(SQLSelect, ThePrefixSearchIsALiveIndexRange) {
  db.Run("CREATE TABLE per2en (per WIDESTRING(30), en VARCHAR(30)); CREATE INDEX iper ON per2en (per)");
  db.Run(u"INSERT INTO per2en VALUES ('\u0633\u0644\u0627\u0645', 'hello'), ('\u0633\u0644\u0637\u0627\u0646', 'sultan'), "
         u"('\u0628\u0627\u0628\u0627', 'father')");
  TABSSQLParam& name = db.Processor().Params().Add();
  name.Name = u"Name";
  name.SetAsWideString(u"\u0633\u0644%");
  db.Query().SetRequestLive(true);
  TABSCursor* result = Select("SELECT *   FROM per2en WHERE per LIKE :Name");
  ASSERT_NE(result, nullptr);
  EXPECT_FALSE(db.Processor().ResultReadOnly());
  EXPECT_EQ(result->TableName, "per2en");
  // The first row came from a range of the index on per.
  EXPECT_EQ(int(result->LastSearchPlan.Plan), int(TABSSearchPlanInfo::spIndexRange));
  EXPECT_EQ(ResultRows(result).size(), 2u);
  // An edit through the result.
  result->GoToBegin();
  ASSERT_EQ(result->GetRecord(grmNext), grrFound);
  ASSERT_EQ(result->BeginEdit(), roOK);
  TABSVariant v;
  v.SetAsString("changed");
  result->SetFieldValue(1, false, v);
  ASSERT_EQ(result->PostEdit(), roOK);
  const Rows table = db.Rows("per2en");
  EXPECT_EQ(std::count_if(table.begin(), table.end(),
                          [](const std::string& r) { return r.ends_with("|changed"); }),
            1);
  // Without RequestLive the result is read-only.
  db.Query().SetRequestLive(false);
  Select("SELECT *   FROM per2en WHERE per LIKE :Name");
  EXPECT_TRUE(db.Processor().ResultReadOnly());
}

}  // namespace
}  // namespace dadoveri
