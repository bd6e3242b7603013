// Subqueries that name columns of the enclosing query (run again for each of its rows),
// UPDATE … SET (a, b) = (SELECT …), and GROUP BY naming a select-list expression's alias.
// The fixture is small enough to work every expected result out by hand.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/base/engine_error.h"
#include "tests/engine/query/sql_test_database.h"

namespace dadoveri {
namespace {

using testing::SQLTestDatabase;
using testing::AllResultRows;
using testing::Wide;
using Rows = std::vector<std::string>;


class SQLSubquery : public ::testing::TestWithParam<bool> {
 protected:
  // t: four rows, one with a NULL group. u: rows pointing at t by `tid` (two at t 1, one
  // at t 3, one at no row of t).
  SQLSubquery() : db(GetParam()) {
    db.Run("CREATE TABLE t (id INTEGER, g INTEGER, s VARCHAR(10)); "
           "INSERT INTO t VALUES (1, 10, 'a'), (2, 10, 'b'), (3, 20, 'c'), (4, NULL, 'd'); "
           "CREATE TABLE u (k INTEGER, tid INTEGER, v INTEGER); "
           "INSERT INTO u VALUES (1, 1, 5), (2, 1, 7), (3, 3, 1), (4, 9, 2)");
  }
  Rows Select(const std::string& sql) {
    db.Processor().SetSQL(Wide(sql));
    return AllResultRows(db.Processor().Execute());
  }
  int32_t Code(const std::string& sql) {
    try {
      db.Run(sql);
    } catch (const VODIDivodavir& e) {
      return e.NativeError;
    }
    return 0;
  }
  SQLTestDatabase db;
};

INSTANTIATE_TEST_SUITE_P(Databases, SQLSubquery, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "File" : "Memory"; });

TEST_P(SQLSubquery, CorrelatedSubqueriesSeeEachOuterRow) {
  struct Case {
    const char* sql;
    Rows rows;
  };
  const Case cases[] = {
      {"SELECT id FROM t WHERE EXISTS (SELECT * FROM u WHERE u.tid = t.id) ORDER BY id", {"1", "3"}},
      {"SELECT id FROM t WHERE NOT EXISTS (SELECT k FROM u WHERE u.tid = t.id) ORDER BY id", {"2", "4"}},
      // An unqualified name the subquery's tables lack is the outer query's.
      {"SELECT id FROM t WHERE EXISTS (SELECT * FROM u WHERE tid = id) ORDER BY id", {"1", "3"}},
      // Through the outer table's alias, beside a condition of the subquery's own.
      {"SELECT x.id FROM t x WHERE EXISTS (SELECT * FROM u WHERE u.tid = x.id AND u.v > 6)", {"1"}},
      // Scalar, in the select list: an aggregate over no rows is one row (0 for COUNT).
      {"SELECT id, (SELECT COUNT(*) FROM u WHERE u.tid = t.id) AS n FROM t ORDER BY id",
       {"1|2", "2|0", "3|1", "4|0"}},
      // Scalar, in WHERE: NULL (no rows of u) compares as no match.
      {"SELECT id FROM t WHERE (SELECT MAX(v) FROM u WHERE u.tid = t.id) > 5", {"1"}},
      {"SELECT id FROM t WHERE 7 IN (SELECT v FROM u WHERE u.tid = t.id)", {"1"}},
      {"SELECT id FROM t WHERE 1 NOT IN (SELECT v FROM u WHERE u.tid = t.id) ORDER BY id", {"1", "2", "4"}},
      // Over a join of the outer query, the subquery naming one side; the inner `u w`
      // hides the outer `u` for unqualified names.
      {"SELECT t.id, u.k FROM t, u WHERE t.id = u.tid AND u.v = (SELECT MAX(v) FROM u w WHERE w.tid = t.id) "
       "ORDER BY t.id",
       {"1|2", "3|3"}},
      // With grouping inside the subquery.
      {"SELECT id FROM t WHERE EXISTS (SELECT tid FROM u WHERE u.tid = t.id GROUP BY tid HAVING COUNT(*) = 2)",
       {"1"}},
      // Uncorrelated: the inner `g` is the inner table's, not the outer one's.
      {"SELECT id FROM t WHERE g IN (SELECT g FROM t WHERE s = 'c')", {"3"}},
      {"SELECT id FROM t WHERE g = (SELECT MIN(g) FROM t) ORDER BY id", {"1", "2"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sql);
    EXPECT_EQ(Select(c.sql), c.rows);
  }
  // A name found neither inside nor outside.
  EXPECT_NE(Code("SELECT id FROM t WHERE EXISTS (SELECT * FROM u WHERE u.tid = nosuch)"), 0);
}

TEST_P(SQLSubquery, CorrelatedSubqueriesInUpdateAndDelete) {
  EXPECT_EQ(db.Run("UPDATE t SET g = (SELECT SUM(v) FROM u WHERE u.tid = t.id)"), 4);
  EXPECT_EQ(db.Rows("t"), (Rows{"1|12|a", "2|NULL|b", "3|1|c", "4|NULL|d"}));
  EXPECT_EQ(db.Run("DELETE FROM t WHERE NOT EXISTS (SELECT * FROM u WHERE u.tid = t.id)"), 2);
  EXPECT_EQ(db.Rows("t"), (Rows{"1|12|a", "3|1|c"}));
}

TEST_P(SQLSubquery, UpdateSetListFromAQuery) {
  // Uncorrelated: one row for every changed row.
  EXPECT_EQ(db.Run("UPDATE t SET (g, s) = (SELECT v, 'x' FROM u WHERE k = 3) WHERE id < 3"), 2);
  EXPECT_EQ(db.Rows("t"), (Rows{"1|1|x", "2|1|x", "3|20|c", "4|NULL|d"}));
  // Correlated: each row its own; the SET values come from the row as it was.
  EXPECT_EQ(db.Run("UPDATE t SET (g, s) = (SELECT MAX(v) + t.g, 'm' FROM u WHERE u.tid = t.id) WHERE id IN (1, 3)"),
            2);
  EXPECT_EQ(db.Rows("t"), (Rows{"1|8|m", "2|1|x", "3|21|m", "4|NULL|d"}));
  // Together with plain assignments.
  EXPECT_EQ(db.Run("UPDATE t SET (s) = (SELECT 'q' FROM u WHERE k = 1) WHERE id = 4"), 1);
  EXPECT_EQ(db.Rows("t").back(), "4|NULL|q");
  // No qualifying row: the query need not give a row.
  EXPECT_EQ(db.Run("UPDATE t SET (g) = (SELECT v FROM u WHERE k = 99) WHERE id = 99"), 0);

  // Refusals leave the table as it was.
  const Rows before = db.Rows("t");
  struct Case {
    const char* sql;
    int32_t code;
  };
  const Case cases[] = {
      {"UPDATE t SET (g) = (SELECT v FROM u WHERE k = 99)", 20249},                   // no row
      {"UPDATE t SET (g) = (SELECT v FROM u)", 20247},                                // more than one
      {"UPDATE t SET (g) = (SELECT v FROM u WHERE u.tid = t.id AND u.k <> 1)", 20249},  // none for t 2
      {"UPDATE t SET (g, s) = (SELECT v FROM u WHERE k = 1)", 20259},                 // too few columns
      {"UPDATE t SET (g) = (SELECT v, k FROM u WHERE k = 1)", 20259},                 // too many
      {"UPDATE t SET (nosuch) = (SELECT v FROM u WHERE k = 1)", 30197},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sql);
    EXPECT_EQ(Code(c.sql), c.code);
    EXPECT_EQ(db.Rows("t"), before);
  }
}

TEST_P(SQLSubquery, GroupByASelectListAlias) {
  struct Case {
    const char* sql;
    Rows rows;
  };
  const Case cases[] = {
      {"SELECT g * 2 AS dbl, COUNT(*) AS n FROM t GROUP BY dbl ORDER BY dbl", {"NULL|1", "20|2", "40|1"}},
      {"SELECT CASE WHEN id < 3 THEN 'low' ELSE 'high' END AS band, SUM(id) AS total FROM t GROUP BY band "
       "ORDER BY band",
       {"high|7", "low|3"}},
      // With a plain column beside it.
      {"SELECT g, id / 2 AS half, COUNT(*) FROM t WHERE g IS NOT NULL GROUP BY g, half ORDER BY g, half",
       {"10|0|1", "10|1|1", "20|1|1"}},
      // A name that is a column of the input stays that column.
      {"SELECT g, COUNT(*) AS c FROM t GROUP BY g ORDER BY g", {"NULL|1", "10|2", "20|1"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sql);
    EXPECT_EQ(Select(c.sql), c.rows);
  }
}

}  // namespace
}  // namespace dadoveri
