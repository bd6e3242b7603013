// SELECT through the relational operators: joins of every kind, grouping and aggregates,
// DISTINCT, ORDER BY, the TOP window, set operators, derived tables, INTO, subqueries;
// when the result is live and when it is a copy.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "engine/query/ao_join.h"
#include "engine/query/ao_table.h"
#include "engine/query/sql_statement.h"
#include "tests/engine/query/sql_test_database.h"

namespace dadoveri {
namespace {

using testing::SQLTestDatabase;
using testing::AllResultRows;
using testing::Wide;
using Rows = std::vector<std::string>;


Rows Sorted(Rows rows) {
  std::sort(rows.begin(), rows.end());
  return rows;
}

Rows Names(TABSCursor* c) {
  Rows names;
  for (int32_t i = 0; i < c->VisibleFields.Count(); ++i) names.push_back(c->VisibleFields.Item(i)->Name);
  return names;
}

class SQLOperators : public ::testing::TestWithParam<bool> {
 protected:
  SQLOperators() : db(GetParam()) {
    db.Run("CREATE TABLE a (id INTEGER, x INTEGER); "
           "INSERT INTO a VALUES (1, 10), (2, 20), (3, NULL), (4, 20); "
           "CREATE TABLE b (id INTEGER, y INTEGER, s VARCHAR(10)); "
           "INSERT INTO b VALUES (1, 20, 'p'), (2, 30, 'q'), (3, NULL, 'r'), (4, 20, 's')");
  }
  TABSCursor* Select(const std::string& sql) {
    db.Processor().SetSQL(Wide(sql));
    return db.Processor().Execute();
  }
  SQLTestDatabase db;
};

INSTANTIATE_TEST_SUITE_P(Databases, SQLOperators, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "File" : "Memory"; });

struct Case {
  const char* sql;
  Rows rows;
  // Whether ORDER BY fixes the order (else the rows compare as a multiset).
  bool ordered = false;
};

void RunCases(SQLOperators& fixture, const std::vector<Case>& cases,
              const std::function<TABSCursor*(const std::string&)>& select) {
  (void)fixture;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sql);
    Rows got;
    try {
      got = AllResultRows(select(c.sql));
    } catch (const VODIDivodavir& e) {
      ADD_FAILURE() << e.what();
      continue;
    }
    if (c.ordered) {
      EXPECT_EQ(got, c.rows);
    } else {
      EXPECT_EQ(Sorted(got), Sorted(c.rows));
    }
  }
}

TEST_P(SQLOperators, JoinsOfEveryKind) {
  RunCases(*this,
           {
               {"SELECT a.id, b.id FROM a JOIN b ON a.x = b.y", {"2|1", "2|4", "4|1", "4|4"}},
               {"SELECT a.id, b.id FROM a INNER JOIN b ON b.y = a.x", {"2|1", "2|4", "4|1", "4|4"}},
               {"SELECT a.id, b.id FROM a LEFT JOIN b ON a.x = b.y", {"1|NULL", "2|1", "2|4", "3|NULL", "4|1", "4|4"}},
               {"SELECT a.id, b.id FROM a RIGHT OUTER JOIN b ON a.x = b.y",
                {"2|1", "2|4", "4|1", "4|4", "NULL|2", "NULL|3"}},
               {"SELECT a.id, b.id FROM a FULL JOIN b ON a.x = b.y",
                {"1|NULL", "2|1", "2|4", "3|NULL", "4|1", "4|4", "NULL|2", "NULL|3"}},
               {"SELECT a.id, b.id FROM a, b WHERE a.x = b.y", {"2|1", "2|4", "4|1", "4|4"}},
               {"SELECT COUNT(*) FROM a CROSS JOIN b", {"16"}},
               {"SELECT COUNT(*) FROM a, b", {"16"}},
               {"SELECT a.id, b.s FROM a JOIN b USING (id) WHERE a.id > 2", {"3|r", "4|s"}},
               {"SELECT a.x, b.s FROM a NATURAL JOIN b", {"10|p", "20|q", "NULL|r", "20|s"}},
               // ON without an equality: every pair is tried.
               {"SELECT a.id, b.id FROM a JOIN b ON a.x > b.y", {}},
               {"SELECT a.id, b.id FROM a LEFT JOIN b ON a.x < b.y", {"1|1", "1|2", "1|4", "2|2", "3|NULL", "4|2"}},
               // The rest of ON decides which pairs match; unmatched rows still come once.
               {"SELECT a.id, b.id FROM a LEFT JOIN b ON a.x = b.y AND b.s = 's'",
                {"1|NULL", "2|4", "3|NULL", "4|4"}},
               // WHERE filters after an outer join, not the side that supplies NULLs.
               {"SELECT a.id, b.id FROM a LEFT JOIN b ON a.x = b.y WHERE b.s = 's'", {"2|4", "4|4"}},
               {"SELECT a.id FROM a LEFT JOIN b ON a.x = b.y WHERE b.id IS NULL", {"1", "3"}},
               {"SELECT b.id FROM a RIGHT JOIN b ON a.x = b.y WHERE a.id IS NULL", {"2", "3"}},
               // Three tables, the third keyed on a column of the first.
               {"SELECT a.id, b.id, c.id FROM a, b, a c WHERE a.x = b.y AND c.id = b.id AND a.id = 2",
                {"2|1|1", "2|4|4"}},
               {"SELECT a.id, b.id, c.id FROM a JOIN b ON a.x = b.y JOIN a c ON c.id = b.id WHERE a.id = 4",
                {"4|1|1", "4|4|4"}},
               // A join of a table with itself, each side under its alias.
               {"SELECT p.id, q.id FROM a p JOIN a q ON p.x = q.x WHERE p.id < q.id", {"2|4"}},
           },
           [this](const std::string& sql) { return Select(sql); });
}

// The bigger input goes outside and the inputs change places, but the columns keep the
// order of the statement.
TEST_P(SQLOperators, SwappedJoinInputsKeepTheColumnOrder) {
  db.Run("CREATE TABLE big (k INTEGER, v VARCHAR(5)); "
         "INSERT INTO big VALUES (1, 'b1'), (2, 'b2'), (3, 'b3'), (4, 'b4'), (5, 'b5'), (2, 'b6')");
  db.Run("CREATE TABLE small (k2 INTEGER, w VARCHAR(5)); INSERT INTO small VALUES (2, 's2'), (5, 's5')");
  for (const char* sql : {"SELECT * FROM big JOIN small ON big.k = small.k2", "SELECT * FROM big, small WHERE k2 = k",
                          "SELECT * FROM big FULL JOIN small ON big.k = small.k2 WHERE small.w IS NOT NULL"}) {
    SCOPED_TRACE(sql);
    TABSCursor* result = Select(sql);
    EXPECT_EQ(Names(result), (Rows{"k", "v", "k2", "w"}));
    EXPECT_EQ(Sorted(AllResultRows(result)), (Rows{"2|b2|2|s2", "2|b6|2|s2", "5|b5|5|s5"}));
    auto* statement = dynamic_cast<TABSSQLCursorCommand*>(db.Processor().Statement());
    ASSERT_NE(statement, nullptr);
    auto* join = dynamic_cast<TABSAOJoin*>(statement->OperatorTree());
    ASSERT_NE(join, nullptr);
    EXPECT_TRUE(join->Swapped);
  }
}

TEST_P(SQLOperators, GroupingAndAggregates) {
  RunCases(*this,
           {
               {"SELECT x, COUNT(*) FROM a GROUP BY x", {"NULL|1", "10|1", "20|2"}},
               {"SELECT x, COUNT(*) AS n, SUM(id), MIN(id), MAX(id) FROM a GROUP BY x",
                {"NULL|1|3|3|3", "10|1|1|1|1", "20|2|6|2|4"}},
               {"SELECT COUNT(*), COUNT(x), SUM(x), MIN(x), MAX(x) FROM a", {"4|3|50|10|20"}},
               // Without GROUP BY, exactly one row, also over no rows.
               {"SELECT COUNT(*), COUNT(x), SUM(x), MAX(x) FROM a WHERE id > 100", {"0|0|NULL|NULL"}},
               {"SELECT COUNT(*) FROM a WHERE x = 20", {"2"}},
               {"SELECT x, COUNT(*) FROM a WHERE id > 100 GROUP BY x", {}},
               {"SELECT x, COUNT(*) FROM a GROUP BY x HAVING COUNT(*) > 1", {"20|2"}},
               {"SELECT x FROM a GROUP BY x HAVING MAX(id) < 4", {"10", "NULL"}},
               {"SELECT COUNT(DISTINCT x) FROM a", {"2"}},
               {"SELECT b.s, COUNT(*) FROM a JOIN b ON a.x = b.y GROUP BY b.s", {"p|2", "s|2"}},
               {"SELECT id + 1, x * 2 FROM a WHERE id < 3", {"2|20", "3|40"}},
               {"SELECT DISTINCT x FROM a", {"NULL", "10", "20"}},
               {"SELECT DISTINCT x, x FROM a", {"NULL|NULL", "10|10", "20|20"}},
               {"SELECT id FROM a ORDER BY x DESC, id", {"2", "4", "1", "3"}, true},
               {"SELECT x, COUNT(*) AS n FROM a GROUP BY x ORDER BY n DESC, 1", {"20|2", "NULL|1", "10|1"}, true},
           },
           [this](const std::string& sql) { return Select(sql); });
  EXPECT_EQ(testing::CodeOf([&] { Select("SELECT id FROM a HAVING id > 1"); }), 20244);
  EXPECT_EQ(testing::CodeOf([&] { Select("SELECT x, COUNT(*) FROM a GROUP BY zz"); }), 20245);
}

// A merge join moves a side that falls behind the other to the other's key through its
// index instead of stepping over every key in between. Every pair must still be found,
// NULL keys meet nothing, a key the other side's field cannot hold exactly (40.5 for an
// integer) matches nothing, filters on the side that moves still hold, and outer joins
// still give their unmatched rows. The reference is the nested loop an ON condition that
// is no plain field equality (`few.k + 0 = many.k`) runs.
TEST_P(SQLOperators, MergeJoinSeeksTheKeyOfTheOtherSide) {
  std::string many = "CREATE TABLE many (k INTEGER, n INTEGER); INSERT INTO many VALUES ";
  for (int i = 0; i < 300; ++i) {
    if (i > 0) many += ", ";
    many += "(" + (i % 7 == 0 ? std::string("NULL") : std::to_string(i / 3)) + ", " + std::to_string(i) + ")";
  }
  db.Run(many);
  db.Run("CREATE INDEX many_k ON many (k)");
  db.Run("CREATE TABLE few (k INTEGER, f FLOAT); INSERT INTO few VALUES (5, 5), (40, 40.5), (41, 41), (98, 98), "
         "(NULL, NULL), (500, 500), (40, 40)");
  std::string dense = "CREATE TABLE dense (k INTEGER); INSERT INTO dense VALUES (95), (96)";
  for (int k = 1; k <= 20; ++k) dense += ", (" + std::to_string(k) + ")";
  db.Run(dense);
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"SELECT few.k, many.n FROM few JOIN many ON few.k = many.k",
       "SELECT few.k, many.n FROM few JOIN many ON few.k + 0 = many.k"},
      {"SELECT few.k, many.n FROM few, many WHERE few.k = many.k AND few.k = 40",
       "SELECT few.k, many.n FROM few JOIN many ON few.k + 0 = many.k WHERE few.k = 40"},
      {"SELECT few.k, many.n FROM few JOIN many ON few.k = many.k WHERE many.n > 120",
       "SELECT few.k, many.n FROM few JOIN many ON few.k + 0 = many.k WHERE many.n > 120"},
      {"SELECT few.f, many.n FROM few JOIN many ON few.f = many.k",
       "SELECT few.f, many.n FROM few JOIN many ON few.f + 0 = many.k"},
      {"SELECT few.k, many.n FROM few LEFT JOIN many ON few.k = many.k",
       "SELECT few.k, many.n FROM few LEFT JOIN many ON few.k + 0 = many.k"},
      {"SELECT few.k, many.n FROM few RIGHT JOIN many ON few.k = many.k WHERE many.n < 30",
       "SELECT few.k, many.n FROM few RIGHT JOIN many ON few.k + 0 = many.k WHERE many.n < 30"},
      // The smaller side has a run of low keys the other lacks: the smaller side moves.
      {"SELECT dense.k, many.n FROM dense JOIN many ON dense.k = many.k WHERE many.n >= 270",
       "SELECT dense.k, many.n FROM dense JOIN many ON dense.k + 0 = many.k WHERE many.n >= 270"},
      {"SELECT dense.k, few.k, many.n FROM dense JOIN many ON dense.k = many.k JOIN few ON few.k = many.k",
       "SELECT dense.k, few.k, many.n FROM dense JOIN many ON dense.k + 0 = many.k JOIN few ON few.k + 0 = many.k"},
  };
  for (const auto& [merge, reference] : cases) {
    SCOPED_TRACE(merge);
    const Rows expected = Sorted(AllResultRows(Select(reference)));
    EXPECT_EQ(Sorted(AllResultRows(Select(merge))), expected);
  }
  // Spelled out for one key: 40 meets the three rows of key 40 (n 120 to 122), 40.5
  // nothing.
  EXPECT_EQ(Sorted(AllResultRows(Select("SELECT few.f, many.n FROM few JOIN many ON few.f = many.k WHERE few.k = 40"))),
            (Rows{"40|120", "40|121", "40|122"}));
}

// Grouping gathers the groups in memory: keys of text (by case), floats, several fields
// and NULLs each form their own groups, and every aggregate, HAVING included, sees only
// its group's rows however the rows of different groups interleave.
TEST_P(SQLOperators, GroupsOfInterleavedRows) {
  db.Run("CREATE TABLE g (s VARCHAR(5), f FLOAT, i INTEGER, v INTEGER); INSERT INTO g VALUES "
         "('p', 1.5, 1, 1), ('P', 2.5, 2, 2), ('p', 1.5, NULL, 3), (NULL, NULL, 1, 4), ('q', 2.5, 2, 5), "
         "('P', 1.5, 1, 6), ('p', NULL, 1, 7), (NULL, 2.5, NULL, 8), ('q', 2.5, 2, 9), ('p', 1.5, 1, 10)");
  RunCases(*this,
           {
               {"SELECT s, COUNT(*), SUM(v), MIN(v), MAX(v) FROM g GROUP BY s",
                {"NULL|2|12|4|8", "p|4|21|1|10", "P|2|8|2|6", "q|2|14|5|9"}},
               {"SELECT f, COUNT(v), AVG(v) FROM g GROUP BY f", {"NULL|2|5.5", "1.5|4|5", "2.5|4|6"}},
               {"SELECT i, s, COUNT(*) FROM g GROUP BY i, s",
                {"NULL|p|1", "NULL|NULL|1", "1|NULL|1", "1|p|3", "1|P|1", "2|P|1", "2|q|2"}},
               {"SELECT s, COUNT(DISTINCT i) FROM g GROUP BY s", {"NULL|1", "p|1", "P|2", "q|1"}},
               {"SELECT s, SUM(v) FROM g GROUP BY s HAVING COUNT(*) > 2 OR MAX(v) = 6", {"p|21", "P|8"}},
               {"SELECT i, SUM(v) FROM g WHERE v > 2 GROUP BY i HAVING SUM(v) > 10", {"NULL|11", "1|27", "2|14"}},
               {"SELECT s, i, COUNT(*) FROM g WHERE s <> 'P' OR s IS NULL GROUP BY s, i ORDER BY 3 DESC, 1, 2",
                {"p|1|3", "q|2|2", "NULL|NULL|1", "NULL|1|1", "p|NULL|1"},
                true},
           },
           [this](const std::string& sql) { return Select(sql); });
}

TEST_P(SQLOperators, TheTopWindow) {
  RunCases(*this,
           {
               {"SELECT TOP 3, 2 * FROM a ORDER BY id", {"2|20", "3|NULL", "4|20"}, true},
               {"SELECT TOP 2 id FROM a ORDER BY id DESC", {"4", "3"}, true},
               {"SELECT TOP 10, 4 id FROM a ORDER BY id", {"4"}, true},
               {"SELECT TOP 0 id FROM a", {}, true},
               {"SELECT TOP 1 x, COUNT(*) FROM a GROUP BY x ORDER BY 2 DESC", {"20|2"}, true},
           },
           [this](const std::string& sql) { return Select(sql); });
}

TEST_P(SQLOperators, SetOperators) {
  RunCases(*this,
           {
               {"SELECT x FROM a UNION SELECT y FROM b", {"NULL", "10", "20", "30"}},
               {"SELECT x FROM a UNION ALL SELECT y FROM b", {"NULL", "NULL", "10", "20", "20", "20", "20", "30"}},
               {"SELECT x FROM a EXCEPT SELECT y FROM b", {"10"}},
               {"SELECT x FROM a MINUS SELECT y FROM b WHERE y IS NOT NULL", {"NULL", "10"}},
               {"SELECT x FROM a INTERSECT SELECT y FROM b", {"NULL", "20"}},
               {"SELECT x FROM a INTERSECT ALL SELECT y FROM b", {"NULL", "20", "20"}},
               {"SELECT x FROM a EXCEPT ALL SELECT y FROM b WHERE id = 1", {"NULL", "10", "20"}},
               {"SELECT id, x FROM a UNION CORRESPONDING SELECT s, id FROM b", {"1", "2", "3", "4"}},
               {"SELECT id, x FROM a UNION ALL CORRESPONDING BY (x) SELECT id, y AS x FROM b WHERE id = 2",
                {"10", "20", "NULL", "20", "30"}},
               {"SELECT x FROM a UNION SELECT y FROM b ORDER BY 1 DESC", {"30", "20", "10", "NULL"}, true},
               {"SELECT x FROM a UNION SELECT y FROM b INTERSECT SELECT x FROM a WHERE id = 1", {"NULL", "10", "20"}},
               {"(SELECT x FROM a UNION SELECT y FROM b) INTERSECT SELECT x FROM a WHERE id = 1", {"10"}},
           },
           [this](const std::string& sql) { return Select(sql); });
  EXPECT_EQ(testing::CodeOf([&] { Select("SELECT id, x FROM a UNION SELECT id FROM b"); }), 10338);
  EXPECT_EQ(testing::CodeOf([&] { Select("SELECT id FROM a UNION CORRESPONDING SELECT y FROM b"); }), 10337);
}

TEST_P(SQLOperators, DerivedTablesSubqueriesAndRowNum) {
  RunCases(*this,
           {
               {"SELECT d.x FROM (SELECT x FROM a WHERE id > 1) d WHERE d.x = 20", {"20", "20"}},
               {"SELECT d.n FROM (SELECT x, COUNT(*) AS n FROM a GROUP BY x) d WHERE d.x = 20", {"2"}},
               {"SELECT d.id, b.s FROM (SELECT id FROM a WHERE x = 20) d JOIN b ON d.id = b.id", {"2|q", "4|s"}},
               {"SELECT id FROM a WHERE x IN (SELECT y FROM b)", {"2", "4"}},
               {"SELECT id FROM a WHERE EXISTS (SELECT * FROM b WHERE y = 30) AND id < 3", {"1", "2"}},
               {"SELECT id FROM a WHERE x = (SELECT MAX(y) FROM b WHERE y < 30)", {"2", "4"}},
               {"SELECT ROWNUM, id FROM a WHERE id > 1", {"1|2", "2|3", "3|4"}},
           },
           [this](const std::string& sql) { return Select(sql); });
}

TEST_P(SQLOperators, IntoAndInsertSelect) {
  EXPECT_EQ(db.Run("SELECT id, x INTO c FROM a WHERE x = 20"), 2);
  EXPECT_EQ(Sorted(db.Rows("c")), (Rows{"2|20", "4|20"}));
  EXPECT_EQ(db.Run("INSERT INTO c SELECT b.id, b.y FROM b JOIN a ON a.id = b.id WHERE b.y = 30"), 1);
  EXPECT_EQ(Sorted(db.Rows("c")), (Rows{"2|20", "2|30", "4|20"}));
  EXPECT_EQ(db.Run("SELECT x, COUNT(*) AS n INTO MEMORY m FROM a GROUP BY x"), 3);
  EXPECT_EQ(Sorted(db.Rows("m", true)), (Rows{"10|1", "20|2", "NULL|1"}));
}

// The Persian search of the dictionary is live and copies nothing; without
// RequestLive the result is a read-only copy; in a comma join an equality between the
// tables is the join key while a condition on one table filters it below the join.
TEST_P(SQLOperators, LiveAndCopied) {
  db.Run("CREATE TABLE per2en (per WIDESTRING(30), en VARCHAR(30)); CREATE INDEX iper ON per2en (per)");
  db.Run(u"INSERT INTO per2en VALUES ('\u0633\u0644\u0627\u0645', 'hello'), ('\u0633\u0644\u0637\u0627\u0646', "
         u"'sultan'), ('\u0628\u0627\u0628\u0627', 'father')");
  TABSSQLParam& name = db.Processor().Params().Add();
  name.Name = u"Name";
  name.SetAsWideString(u"\u0633\u0644%");
  db.Query().SetRequestLive(true);
  TABSCursor* live = Select("SELECT *   FROM per2en WHERE per LIKE :Name");
  ASSERT_NE(live, nullptr);
  EXPECT_FALSE(db.Processor().ResultReadOnly());
  EXPECT_EQ(live->TableName, "per2en");
  auto* statement = dynamic_cast<TABSSQLCursorCommand*>(db.Processor().Statement());
  ASSERT_NE(statement, nullptr);
  EXPECT_EQ(statement->OperatorTree(), nullptr);
  EXPECT_EQ(int(live->LastSearchPlan.Plan), int(TABSSearchPlanInfo::spIndexRange));
  EXPECT_EQ(AllResultRows(live).size(), 2u);
  live->GoToBegin();
  ASSERT_EQ(live->GetRecord(grmNext), grrFound);
  ASSERT_EQ(live->BeginEdit(), roOK);
  TABSVariant v;
  v.SetAsString("changed");
  live->SetFieldValue(1, false, v);
  ASSERT_EQ(live->PostEdit(), roOK);
  const Rows table = db.Rows("per2en");
  EXPECT_EQ(std::count_if(table.begin(), table.end(), [](const std::string& r) { return r.ends_with("|changed"); }), 1);

  // Live results are asked for, but what needs computing is a copy.
  for (const char* sql : {"SELECT DISTINCT en FROM per2en", "SELECT TOP 1 * FROM per2en",
                          "SELECT per, en || '!' FROM per2en"}) {
    SCOPED_TRACE(sql);
    TABSCursor* copy = Select(sql);
    EXPECT_TRUE(db.Processor().ResultReadOnly());
    EXPECT_TRUE(copy->TableName.starts_with("TEMPORARY_TABLE_")) << copy->TableName;
  }

  db.Query().SetRequestLive(false);
  TABSCursor* copy = Select("SELECT *   FROM per2en WHERE per LIKE :Name");
  EXPECT_TRUE(db.Processor().ResultReadOnly());
  EXPECT_TRUE(copy->TableName.starts_with("TEMPORARY_TABLE_")) << copy->TableName;
  EXPECT_EQ(AllResultRows(copy).size(), 2u);
  EXPECT_EQ(Names(copy), (Rows{"per", "en"}));

  // TOP 3, 2: rows 2, 3 and 4.
  db.Run("CREATE TABLE t (n INTEGER); INSERT INTO t VALUES (1), (2), (3), (4), (5), (6)");
  EXPECT_EQ(AllResultRows(Select("SELECT TOP 3, 2 * FROM t")), (Rows{"2", "3", "4"}));

  // SELECT * FROM a, b WHERE a.x = b.y AND a.z > 1 (here z > 2: row 2 of a has partners).
  db.Run("ALTER TABLE a ADD z INTEGER");
  db.Run("UPDATE a SET z = id");
  TABSCursor* joined = Select("SELECT * FROM a, b WHERE a.x = b.y AND a.z > 2");
  EXPECT_EQ(Sorted(AllResultRows(joined)), (Rows{"4|20|4|1|20|p", "4|20|4|4|20|s"}));
  statement = dynamic_cast<TABSSQLCursorCommand*>(db.Processor().Statement());
  auto* join = dynamic_cast<TABSAOJoin*>(statement->OperatorTree());
  ASSERT_NE(join, nullptr);
  EXPECT_EQ(join->LeftKeys, (TABSFields{{"a", "x"}}));
  EXPECT_EQ(join->RightKeys, (TABSFields{{"b", "y"}}));
  EXPECT_TRUE(!join->Condition || join->Condition->IsEmpty());
  auto* left = dynamic_cast<TABSAOTable*>(join->Left.get());
  ASSERT_NE(left, nullptr);
  EXPECT_EQ(left->Name(), "a");
  // The condition on a became the filter of a's cursor; b is read whole.
  EXPECT_TRUE(left->Cursor()->HasFilter());
  EXPECT_FALSE(join->Right->Cursor()->HasFilter());
}

TEST_P(SQLOperators, MessagesOfExecution) {
  for (const auto& [sql, code] : std::vector<std::pair<std::string, int32_t>>{
           {"SELECT * FROM a, nothere", 10303},
           {"SELECT zz FROM a, b", 10305},
           {"SELECT id FROM a, b", 10404},
           {"SELECT a.id FROM a, b WHERE zz = 1", 30144},
           {"SELECT x FROM a ORDER BY zz", 30195},
           {"SELECT x FROM a UNION SELECT y FROM b ORDER BY 3", 20243},
           {"SELECT a.id FROM a JOIN b USING (zz)", 10331},
           {"SELECT a.id FROM a JOIN b ON a.x = a.id", 0},
       }) {
    SCOPED_TRACE(sql);
    EXPECT_EQ(testing::CodeOf([&] { Select(sql); }), code);
  }
}

}  // namespace
}  // namespace dadoveri
