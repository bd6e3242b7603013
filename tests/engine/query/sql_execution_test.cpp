// SQL statements run against a database file and an in-memory database: data definition,
// INSERT / UPDATE / DELETE, transactions, and that a failing statement leaves nothing
// behind.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "engine/query/sql_statement.h"
#include "tests/engine/query/sql_test_database.h"

namespace dadoveri {
namespace {

using testing::CodeOf;
using testing::MessageOf;
using testing::SQLTestDatabase;
using Rows = std::vector<std::string>;

class SQLExecution : public ::testing::TestWithParam<bool> {
 protected:
  SQLExecution() : db(GetParam()) {}
  int64_t Run(const std::string& sql) { return db.Run(sql); }
  int32_t Code(const std::string& sql) {
    return CodeOf([&] { db.Run(sql); });
  }
  bool HasTable(const std::string& name) { return db.Database().TableExists(name); }

  SQLTestDatabase db;
};

INSTANTIATE_TEST_SUITE_P(Databases, SQLExecution, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "File" : "Memory"; });

TEST_P(SQLExecution, CreateTableAndInsertSeveralRows) {
  Run("CREATE TABLE t (id INTEGER NOT NULL, name VARCHAR(20), far WIDESTRING(20), n INTEGER DEFAULT 7, "
      "PRIMARY KEY (id))");
  EXPECT_EQ(db.FieldNames("t"), (Rows{"id", "name", "far", "n"}));
  // Persian typed into the text stays Persian: the literal is a wide-string constant.
  EXPECT_EQ(Run("INSERT INTO t (id, name, far) VALUES (1, 'a', 'سلام'), (2, 'b', NULL);\n"
                "INSERT INTO t VALUES (3, 'c', 'x', 9)"),
            3);
  EXPECT_EQ(db.Rows("t"), (Rows{"1|a|سلام|7", "2|b|NULL|7", "3|c|x|9"}));
  // The primary key refuses a duplicate and a NULL.
  EXPECT_NE(Code("INSERT INTO t (id) VALUES (1)"), 0);
  EXPECT_NE(Code("INSERT INTO t (name) VALUES ('z')"), 0);
  EXPECT_EQ(db.Rows("t").size(), 3u);
}

TEST_P(SQLExecution, ParametersGiveValues) {
  Run("CREATE TABLE t (id INTEGER, s VARCHAR(10))");
  TABSSQLParam& id = db.Processor().Params().Add();
  id.Name = u"id";
  id.SetAsInteger(5);
  TABSSQLParam& s = db.Processor().Params().Add();
  s.Name = u"s";
  s.SetAsString("five");
  Run("INSERT INTO t VALUES (:id, :s); INSERT INTO t VALUES (:id + 1, :s || 'x')");
  EXPECT_EQ(db.Rows("t"), (Rows{"5|five", "6|fivex"}));
}

TEST_P(SQLExecution, DataDefinition) {
  Run("CREATE TABLE t (a INTEGER, b VARCHAR(10))");
  Run("INSERT INTO t VALUES (1, 'x'), (2, 'y')");
  // IF [NOT] EXISTS, existing and missing tables.
  Run("CREATE TABLE IF NOT EXISTS t (z INTEGER)");
  EXPECT_EQ(db.FieldNames("t"), (Rows{"a", "b"}));
  EXPECT_EQ(Code("CREATE TABLE t (z INTEGER)"), 30247);
  EXPECT_EQ(Code("DROP TABLE nothere"), 30250);
  Run("DROP TABLE IF EXISTS nothere");
  // Indexes: a unique one refuses duplicates; dropped, it no longer does.
  Run("CREATE UNIQUE INDEX ua ON t (a DESC, b NOCASE)");
  EXPECT_NE(Code("INSERT INTO t VALUES (1, 'X')"), 0);
  Run("DROP INDEX t.ua");
  Run("INSERT INTO t VALUES (1, 'X')");
  EXPECT_EQ(Code("DROP INDEX t.ua"), 20021);
  EXPECT_EQ(Code("CREATE INDEX i ON t (nofield)"), 30259);
  // Rename, truncate, drop.
  Run("RENAME TABLE t TO u");
  EXPECT_FALSE(HasTable("t"));
  EXPECT_EQ(db.Rows("u").size(), 3u);
  Run("TRUNCATE TABLE u");
  EXPECT_TRUE(db.Rows("u").empty());
  Run("DROP TABLE u");
  EXPECT_FALSE(HasTable("u"));
  EXPECT_EQ(Code("INSERT INTO u VALUES (1, 'x')"), 40804);
}

TEST_P(SQLExecution, DataDefinitionIsRefusedInsideATransaction) {
  Run("CREATE TABLE t (a INTEGER)");
  Run("START TRANSACTION");
  for (const auto& [sql, code] : std::vector<std::pair<std::string, int32_t>>{
           {"CREATE TABLE u (a INTEGER)", 20175},
           {"DROP TABLE t", 20177},
           {"RENAME TABLE t TO u", 20179},
           {"CREATE INDEX i ON t (a)", 20181},
           {"ALTER TABLE t ADD b INTEGER", 20183},
       }) {
    SCOPED_TRACE(sql);
    EXPECT_EQ(Code(sql), code);
  }
  EXPECT_TRUE(db.Session().InTransaction);
  Run("ROLLBACK");
  EXPECT_FALSE(HasTable("u"));
}

TEST_P(SQLExecution, AlterTableForms) {
  Run("CREATE TABLE t (a INTEGER NOT NULL, b VARCHAR(10), c INTEGER)");
  Run("CREATE INDEX ib ON t (b)");
  Run("INSERT INTO t VALUES (1, 'x', 10), (2, NULL, 20)");
  Run("ALTER TABLE t ADD d INTEGER DEFAULT 5");
  EXPECT_EQ(db.Rows("t"), (Rows{"1|x|10|5", "2|NULL|20|5"}));
  Run("ALTER TABLE t DROP COLUMN c");
  EXPECT_EQ(db.Rows("t"), (Rows{"1|x|5", "2|NULL|5"}));
  Run("ALTER TABLE t MODIFY d VARCHAR(4)");
  EXPECT_EQ(db.Rows("t"), (Rows{"1|x|5", "2|NULL|5"}));
  Run("ALTER TABLE t RENAME COLUMN b TO bb");
  EXPECT_EQ(db.FieldNames("t"), (Rows{"a", "bb", "d"}));
  // The kept NOT NULL and the index went along.
  EXPECT_NE(Code("INSERT INTO t (bb) VALUES ('q')"), 0);
  {
    TABSLocalCursor c(&db.Session(), "t");
    c.Open(db.Database());
    ASSERT_NE(c.GetIndexDefs().Find("ib"), nullptr);
    EXPECT_EQ(c.GetIndexDefs().Find("ib")->Columns[0].FieldName, "bb");
    c.Close();
  }
  EXPECT_EQ(Code("ALTER TABLE t ADD a INTEGER"), 30351);
  EXPECT_EQ(Code("ALTER TABLE t DROP zz"), 30259);
}

TEST_P(SQLExecution, AFailingAlterTableLeavesTheOldTableWhole) {
  Run("CREATE TABLE t (a INTEGER, b VARCHAR(10))");
  Run("INSERT INTO t VALUES (1, 'x'), (2, NULL), (3, 'z')");
  // The second row cannot take the new NOT NULL.
  EXPECT_EQ(Code("ALTER TABLE t MODIFY b VARCHAR(10) NOT NULL"), 30265);
  EXPECT_EQ(db.FieldNames("t"), (Rows{"a", "b"}));
  EXPECT_EQ(db.Rows("t"), (Rows{"1|x", "2|NULL", "3|z"}));
  std::vector<std::string> names;
  db.Database().GetTableNames(names);
  EXPECT_EQ(names, (Rows{"t"}));
}

TEST_P(SQLExecution, UpdateAndDelete) {
  Run("CREATE TABLE t (id INTEGER, n INTEGER, s VARCHAR(10))");
  Run("INSERT INTO t VALUES (1, 10, 'a'), (2, 20, 'b'), (3, 30, 'c'), (4, 40, NULL)");
  EXPECT_EQ(Run("UPDATE t SET n = n + 1, s = 'u' WHERE id >= 3"), 2);
  EXPECT_EQ(db.Rows("t"), (Rows{"1|10|a", "2|20|b", "3|31|u", "4|41|u"}));
  // Through an alias.
  EXPECT_EQ(Run("UPDATE t x SET n = x.n * 2 WHERE x.id = 1"), 1);
  EXPECT_EQ(db.Rows("t")[0], "1|20|a");
  EXPECT_EQ(Run("DELETE FROM t WHERE s = 'u' OR id = 2"), 3);
  EXPECT_EQ(db.Rows("t"), (Rows{"1|20|a"}));
  EXPECT_EQ(Run("DELETE FROM t"), 1);
  EXPECT_TRUE(db.Rows("t").empty());
  EXPECT_EQ(Code("UPDATE t SET nofield = 1"), 30197);
}

TEST_P(SQLExecution, InsertTheRowsOfAQuery) {
  Run("CREATE TABLE t (a INTEGER, b VARCHAR(10)); INSERT INTO t VALUES (1, 'x'), (2, 'y')");
  // The query's rows are read before any is added: the table doubles once.
  EXPECT_EQ(Run("INSERT INTO t SELECT * FROM t"), 2);
  EXPECT_EQ(db.Rows("t"), (Rows{"1|x", "2|y", "1|x", "2|y"}));
  Run("CREATE TABLE u (b VARCHAR(10), a INTEGER, c INTEGER)");
  EXPECT_EQ(Run("INSERT INTO u (a, b) SELECT a, b FROM t WHERE a = 2"), 2);
  EXPECT_EQ(db.Rows("u"), (Rows{"y|2|NULL", "y|2|NULL"}));
  EXPECT_EQ(Code("INSERT INTO u (a) SELECT a, b FROM t"), 20259);
}

TEST_P(SQLExecution, SetValuesReadTheRowAsItWas) {
  Run("CREATE TABLE t (a INTEGER, b INTEGER)");
  Run("INSERT INTO t VALUES (1, 2), (3, 4)");
  Run("UPDATE t SET a = b, b = a");
  EXPECT_EQ(db.Rows("t"), (Rows{"2|1", "4|3"}));
}

TEST_P(SQLExecution, AnUpdateOfAnIndexedKeyChangesEachRowOnce) {
  Run("CREATE TABLE t (k INTEGER, tag INTEGER)");
  Run("CREATE INDEX ik ON t (k)");
  Run("INSERT INTO t VALUES (1, 1), (2, 2), (3, 3), (4, 4)");
  // The WHERE reads the index range k >= 1; each changed key moves further up it.
  EXPECT_EQ(Run("UPDATE t SET k = k + 10 WHERE k >= 1"), 4);
  EXPECT_EQ(db.Rows("t"), (Rows{"11|1", "12|2", "13|3", "14|4"}));
  EXPECT_EQ(Run("DELETE FROM t WHERE k > 12"), 2);
  EXPECT_EQ(db.Rows("t"), (Rows{"11|1", "12|2"}));
}

// A failing statement leaves the table as it was, outside a transaction and inside one;
// inside, the transaction stays open and what it did before survives COMMIT.
TEST_P(SQLExecution, AFailingStatementLeavesNothingBehind) {
  struct Case {
    const char* name;
    const char* statement;
  };
  const Case cases[] = {
      {"an INSERT hits the unique key at its third row", "INSERT INTO t (id, a, b) VALUES (10, 1, 1), (11, 1, 1), (1, 1, 1)"},
      {"an UPDATE breaks NOT NULL at its third row", "UPDATE t SET a = b"},
      // 1 → 11, 2 → 12, then 3 → 11 again.
      {"an UPDATE breaks the unique key halfway", "UPDATE t SET id = id + 10 - (id / 3) * 2"},
      {"an INSERT breaks NOT NULL at its second row", "INSERT INTO t (id, a) VALUES (20, 1), (21, NULL)"},
      {"an INSERT … SELECT hits the unique key at its third row", "INSERT INTO t (id, a) SELECT id, a FROM src"},
  };
  for (bool in_transaction : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (in_transaction ? " (in a transaction)" : ""));
      Run("DROP TABLE IF EXISTS t");
      Run("CREATE TABLE t (id INTEGER, a INTEGER NOT NULL, b INTEGER, PRIMARY KEY (id))");
      Run("INSERT INTO t VALUES (1, 1, 1), (2, 2, 2), (3, 3, NULL)");
      Run("DROP TABLE IF EXISTS src; CREATE TABLE src (id INTEGER, a INTEGER); "
          "INSERT INTO src VALUES (20, 1), (21, 1), (1, 1)");
      Rows before = db.Rows("t");
      if (in_transaction) {
        Run("START TRANSACTION; INSERT INTO t VALUES (7, 7, 7)");
        before.push_back("7|7|7");
      }
      EXPECT_NE(Code(c.statement), 0);
      EXPECT_EQ(db.Rows("t"), before);
      EXPECT_EQ(db.Session().InTransaction, in_transaction);
      if (in_transaction) {
        Run("COMMIT");
        EXPECT_EQ(db.Rows("t"), before);
      }
      // The table still takes changes.
      Run("INSERT INTO t VALUES (30, 30, 30)");
      EXPECT_EQ(db.Rows("t").size(), before.size() + 1);
    }
  }
}

TEST_P(SQLExecution, Transactions) {
  Run("CREATE TABLE t (a INTEGER)");
  Run("START TRANSACTION; INSERT INTO t VALUES (1); UPDATE t SET a = 2; COMMIT");
  EXPECT_EQ(db.Rows("t"), (Rows{"2"}));
  EXPECT_FALSE(db.Session().InTransaction);
  if (db.OnDisk()) {
    // Changes of a transaction rolled back are gone (in-memory tables keep each change).
    Run("START TRANSACTION; INSERT INTO t VALUES (3); DELETE FROM t WHERE a = 2");
    EXPECT_EQ(db.Rows("t"), (Rows{"3"}));
    Run("ROLLBACK");
    EXPECT_EQ(db.Rows("t"), (Rows{"2"}));
  }
  Run("START TRANSACTION");
  EXPECT_EQ(Code("START TRANSACTION"), 40805);
  Run("COMMIT FLUSH");
  EXPECT_EQ(Code("COMMIT"), 20229);
  EXPECT_EQ(Code("ROLLBACK"), 20229);
}

TEST_P(SQLExecution, EachStatementIsSeenBeforeTheNextRuns) {
  std::vector<std::pair<std::string, int64_t>> seen;
  db.Run(u"CREATE TABLE t (a INTEGER); INSERT INTO t VALUES (1), (2); INSERT INTO t VALUES (3)",
         [&](TABSSQLCommand& statement, TABSCursor* result, int64_t rows) {
           EXPECT_EQ(result, nullptr);
           seen.emplace_back(typeid(statement).name(), rows);
           // The statement's changes are there when the callback runs.
           EXPECT_EQ(static_cast<int64_t>(db.Rows("t").size()), seen.size() == 1 ? 0 : seen.size() == 2 ? 2 : 3);
         });
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].first, typeid(TABSDDLCreateTable).name());
  EXPECT_EQ(seen[1], std::make_pair(std::string(typeid(TABSSQLInsert).name()), int64_t{2}));
  EXPECT_EQ(db.Processor().RowsAffected(), 3);
}

TEST_P(SQLExecution, MemoryTablesBesideTheDatabase) {
  Run("CREATE TABLE MEMORY m (a INTEGER)");
  EXPECT_FALSE(HasTable("m"));
  EXPECT_TRUE(db.Query().MemoryDatabase().TableExists("m"));
  Run("INSERT INTO MEMORY m VALUES (1), (2); UPDATE MEMORY m SET a = a * 10 WHERE a = 2");
  EXPECT_EQ(db.Rows("m", true), (Rows{"1", "20"}));
  Run("DELETE FROM MEMORY m WHERE a = 1; DROP TABLE MEMORY m");
  EXPECT_FALSE(db.Query().MemoryDatabase().TableExists("m"));
}

TEST_P(SQLExecution, TablesOfAnotherDatabaseFile) {
  testing::TempFolder folder;
  const std::string file = folder.File("other.dat");
  {
    TABSDiskDatabaseData maker(file);
    maker.CreateDatabase();
  }
  const std::string other = "'" + file + "'.x";
  Run("CREATE TABLE " + other + " (a INTEGER, b VARCHAR(5))");
  EXPECT_FALSE(HasTable("x"));
  EXPECT_EQ(Run("INSERT INTO " + other + " PASSWORD 'pw' VALUES (1, 'p'), (2, 'q')"), 2);
  EXPECT_EQ(Run("UPDATE " + other + " SET b = 'r' WHERE a = 2"), 1);
  TABSCursor* result = nullptr;
  db.Processor().SetSQL(testing::Wide("SELECT a, b FROM " + other + " ORDER BY a DESC"));
  result = db.Processor().Execute();
  ASSERT_NE(result, nullptr);
  TABSVariant v;
  result->GetFieldValue(1, false, v);
  EXPECT_EQ(v.GetAsString(), "r");
}

TEST_P(SQLExecution, StatementsOverTheRelationalOperators) {
  Run("CREATE TABLE t (a INTEGER)");
  for (const char* sql : {"SELECT * FROM t, t u", "SELECT DISTINCT a FROM t", "SELECT a + 1 FROM t",
                          "SELECT COUNT(*) FROM t", "SELECT TOP 1 * FROM t", "SELECT * FROM t UNION SELECT * FROM t",
                          "SELECT * INTO u FROM t", "SELECT * FROM (SELECT * FROM t) d"}) {
    SCOPED_TRACE(sql);
    EXPECT_EQ(Code(sql), 0);
  }
  Run("INSERT INTO t VALUES (1), (1), (2)");
  EXPECT_EQ(Code("INSERT INTO t SELECT DISTINCT * FROM t"), 0);
  EXPECT_EQ(db.Rows("t"), (Rows{"1", "1", "2", "1", "2"}));
  // A SET list from a query needs exactly one row of it; the table stays as it was.
  EXPECT_EQ(Code("UPDATE t SET (a) = (SELECT a FROM t)"), 20247);
  EXPECT_EQ(db.Rows("t"), (Rows{"1", "1", "2", "1", "2"}));
  EXPECT_EQ(Code("DELETE FROM t WHERE a IN (SELECT DISTINCT a FROM t WHERE a > 1)"), 0);
  EXPECT_EQ(db.Rows("t"), (Rows{"1", "1", "1"}));
  // INTO never replaces a table.
  EXPECT_EQ(Code("SELECT * INTO u FROM t"), 30247);
}

}  // namespace
}  // namespace dadoveri
