// The statement grammar: what each statement kind reads into its tree, the messages of bad
// statements with their codes and positions, and the nesting limit.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/query/sql_statement.h"
#include "tests/engine/query/sql_test_database.h"

namespace dadoveri {
namespace {

using testing::SQLTestDatabase;
using testing::Wide;

// One command of a text, parsed (not run).
struct Parsed {
  Parsed(const std::string& sql, const TABSSQLParams* params = nullptr) : lexer(Wide(sql), params) {
    lexer.NextCommand();
    state.Lexer = &lexer;
    command = CreateSQLCommand(state);
  }
  template <typename T>
  T& As() {
    T* typed = dynamic_cast<T*>(command.get());
    if (!typed) throw std::runtime_error(std::string("not a ") + typeid(T).name());
    return *typed;
  }
  TABSSQLSelect& Select(const TABSQueryExprNode* node = nullptr) {
    if (!node) node = As<TABSSQLUnion>().Root.get();
    if (!node->Select) throw std::runtime_error("not a single SELECT block");
    return *node->Select;
  }

  TABSLexer lexer;
  TABSSQLParseState state;
  std::unique_ptr<TABSSQLCommand> command;
};

TEST(SQLParser, SelectBlock) {
  Parsed p(
      "SELECT DISTINCT TOP 10, 20 a, a, b AS x, t.*, a + 1 e FROM t AS q PASSWORD 'pw' "
      "WHERE x > 1 GROUP BY a, q.b HAVING COUNT(*) > 1 ORDER BY 1, q.a DESC, [b] ASC");
  TABSSQLUnion& u = p.As<TABSSQLUnion>();
  EXPECT_EQ(u.SelectCount(), 1);
  TABSSQLSelect& s = p.Select();
  EXPECT_TRUE(s.Distinct);
  EXPECT_EQ(s.TopCount, 10);
  EXPECT_EQ(s.TopStart, 20);
  EXPECT_FALSE(s.AllColumns);
  ASSERT_EQ(s.SelectList.size(), 5u);
  EXPECT_FALSE(s.SelectList[0].IsExpression);
  EXPECT_EQ(s.SelectList[0].ColumnName(), "a");
  // The repeated field becomes an expression named by the first free name.
  EXPECT_TRUE(s.SelectList[1].IsExpression);
  EXPECT_TRUE(s.SelectList[1].DuplicateName);
  EXPECT_EQ(s.SelectList[1].ColumnName(), "a_1");
  EXPECT_EQ(s.SelectList[2].FieldName, "b");
  EXPECT_EQ(s.SelectList[2].Alias, "x");
  EXPECT_TRUE(s.SelectList[3].AllFields);
  EXPECT_EQ(s.SelectList[3].TableName, "t");
  EXPECT_TRUE(s.SelectList[4].IsExpression);
  ASSERT_NE(s.SelectList[4].Expression, nullptr);
  EXPECT_EQ(s.SelectList[4].Alias, "e");
  ASSERT_EQ(s.From.size(), 1u);
  EXPECT_EQ(s.From[0]->TableName, "t");
  EXPECT_EQ(s.From[0]->Alias, "q");
  EXPECT_EQ(s.From[0]->Password, "pw");
  ASSERT_NE(s.Where, nullptr);
  // The alias of a plain field resolves to that field in WHERE.
  EXPECT_TRUE(s.Where->UsesOnlyFields("b"));
  EXPECT_EQ(s.GroupBy, (std::vector<std::pair<std::string, std::string>>{{"", "a"}, {"q", "b"}}));
  ASSERT_NE(s.Having, nullptr);
  EXPECT_TRUE(s.Having->HasAggregate());
  ASSERT_EQ(u.OrderBy.size(), 3u);
  EXPECT_EQ(u.OrderBy[0].ColumnNumber, 1);
  EXPECT_EQ(u.OrderBy[1].TableName, "q");
  EXPECT_EQ(u.OrderBy[1].FieldName, "a");
  EXPECT_TRUE(u.OrderBy[1].Descending);
  EXPECT_EQ(u.OrderBy[2].FieldName, "b");
  EXPECT_FALSE(u.OrderBy[2].Descending);
}

TEST(SQLParser, SelectListNames) {
  Parsed p("SELECT a, a, a_1, a AS z, a FROM t");
  const auto& items = p.Select().SelectList;
  std::vector<std::string> names;
  for (const auto& item : items) names.push_back(item.ColumnName());
  EXPECT_EQ(names, (std::vector<std::string>{"a", "a_2", "a_1", "z", "a_3"}));
}

TEST(SQLParser, TableReferencesAndJoins) {
  Parsed p(
      "SELECT * INTO MEMORY IMMEDIATE 'other.dat'.x FROM a NATURAL LEFT OUTER JOIN b USING (k, l) CROSS JOIN c, "
      "(SELECT * FROM d) dd, (e JOIN f ON e.x = f.x) ef, MEMORY 'file.dat'.g PASSWORD 'secret', "
      "h RIGHT JOIN i ON h.a = i.a FULL JOIN j ON i.b = j.b INNER JOIN k USING (z)");
  TABSSQLSelect& s = p.Select();
  EXPECT_TRUE(s.AllColumns);
  EXPECT_TRUE(s.HasInto);
  EXPECT_TRUE(s.IntoInMemory);
  EXPECT_EQ(s.IntoDatabase, "other.dat");
  EXPECT_EQ(s.IntoTable, "x");
  ASSERT_EQ(s.From.size(), 5u);
  const TABSTableReference& a = *s.From[0];
  ASSERT_EQ(a.Joins.size(), 2u);
  EXPECT_EQ(a.Joins[0].Kind, jkLeft);
  EXPECT_TRUE(a.Joins[0].Natural);
  EXPECT_EQ(a.Joins[0].Using, (std::vector<std::string>{"k", "l"}));
  EXPECT_EQ(a.Joins[0].Reference->TableName, "b");
  EXPECT_EQ(a.Joins[1].Kind, jkCross);
  EXPECT_EQ(a.Joins[1].Reference->TableName, "c");
  ASSERT_NE(s.From[1]->Subquery, nullptr);
  EXPECT_EQ(s.From[1]->Alias, "dd");
  EXPECT_EQ(s.From[1]->Subquery->SelectCount(), 1);
  ASSERT_NE(s.From[2]->Nested, nullptr);
  EXPECT_EQ(s.From[2]->Alias, "ef");
  ASSERT_EQ(s.From[2]->Nested->Joins.size(), 1u);
  EXPECT_NE(s.From[2]->Nested->Joins[0].On, nullptr);
  EXPECT_TRUE(s.From[3]->InMemory);
  EXPECT_EQ(s.From[3]->DatabaseName, "file.dat");
  EXPECT_EQ(s.From[3]->TableName, "g");
  EXPECT_EQ(s.From[3]->Password, "secret");
  const TABSTableReference& h = *s.From[4];
  ASSERT_EQ(h.Joins.size(), 3u);
  EXPECT_EQ(h.Joins[0].Kind, jkRight);
  EXPECT_EQ(h.Joins[1].Kind, jkFull);
  EXPECT_EQ(h.Joins[2].Kind, jkInner);
  EXPECT_EQ(h.Joins[2].Using, (std::vector<std::string>{"z"}));
}

TEST(SQLParser, QueryExpressions) {
  // INTERSECT binds tighter than UNION and EXCEPT, which go left to right.
  Parsed p(
      "SELECT a FROM t UNION ALL SELECT a FROM u INTERSECT SELECT a FROM v "
      "EXCEPT CORRESPONDING BY (a, b) (SELECT a FROM w) ORDER BY a");
  TABSSQLUnion& u = p.As<TABSSQLUnion>();
  EXPECT_EQ(u.SelectCount(), 4);
  const TABSQueryExprNode& root = *u.Root;
  EXPECT_EQ(root.Kind, qeExcept);
  EXPECT_TRUE(root.Corresponding);
  EXPECT_EQ(root.CorrespondingBy, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(p.Select(root.Right.get()).From[0]->TableName, "w");
  const TABSQueryExprNode& left = *root.Left;
  EXPECT_EQ(left.Kind, qeUnion);
  EXPECT_TRUE(left.All);
  EXPECT_EQ(p.Select(left.Left.get()).From[0]->TableName, "t");
  EXPECT_EQ(left.Right->Kind, qeIntersect);
  EXPECT_EQ(p.Select(left.Right->Right.get()).From[0]->TableName, "v");
  EXPECT_EQ(u.OrderBy.size(), 1u);

  Parsed m("((SELECT a FROM t)) MINUS SELECT a FROM u");
  EXPECT_EQ(m.As<TABSSQLUnion>().Root->Kind, qeExcept);
  EXPECT_FALSE(m.As<TABSSQLUnion>().Root->All);
}

TEST(SQLParser, ParametersInNamePositions) {
  TABSSQLParams params;
  auto add = [&](const char16_t* name, auto set) {
    TABSSQLParam& p = params.Add();
    p.Name = name;
    set(p);
  };
  add(u"n", [](TABSSQLParam& p) { p.SetAsInteger(3); });
  add(u"m", [](TABSSQLParam& p) { p.SetAsInteger(2); });
  add(u"tab", [](TABSSQLParam& p) { p.SetAsString("words"); });
  add(u"pw", [](TABSSQLParam& p) { p.SetAsString("secret"); });
  add(u"col", [](TABSSQLParam& p) { p.SetAsString("eng"); });
  add(u"num", [](TABSSQLParam& p) { p.SetAsInteger(2); });
  add(u"Name", [](TABSSQLParam& p) { p.SetAsWideString(u"\u0633\u0644%"); });
  Parsed p("SELECT TOP :n, :m * FROM :tab PASSWORD :pw ORDER BY :col, :num", &params);
  TABSSQLSelect& s = p.Select();
  EXPECT_EQ(s.TopCount, 3);
  EXPECT_EQ(s.TopStart, 2);
  EXPECT_EQ(s.From[0]->TableName, "words");
  EXPECT_EQ(s.From[0]->Password, "secret");
  const auto& order = p.As<TABSSQLUnion>().OrderBy;
  ASSERT_EQ(order.size(), 2u);
  EXPECT_EQ(order[0].FieldName, "eng");
  EXPECT_EQ(order[1].ColumnNumber, 2);

  // The dictionary's search: all columns of one table and a WHERE.
  Parsed search("SELECT *   FROM per2en WHERE per LIKE :Name", &params);
  EXPECT_EQ(search.As<TABSSQLUnion>().SelectCount(), 1);
  TABSSQLSelect& w = search.Select();
  EXPECT_TRUE(w.AllColumns);
  ASSERT_EQ(w.From.size(), 1u);
  EXPECT_EQ(w.From[0]->TableName, "per2en");
  EXPECT_TRUE(w.From[0]->Joins.empty());
  ASSERT_NE(w.Where, nullptr);
  EXPECT_TRUE(w.Where->UsesOnlyFields("per"));
}

TEST(SQLParser, DataChangingStatements) {
  {
    Parsed p("INSERT INTO MEMORY db.t PASSWORD 'p' (a, [b c], \"d\", date) VALUES (1, 'x', NULL, 2), (2, 'y', 3, 4)");
    TABSSQLInsert& s = p.As<TABSSQLInsert>();
    EXPECT_TRUE(s.Target.InMemory);
    EXPECT_EQ(s.Target.DatabaseName, "db");
    EXPECT_EQ(s.Target.TableName, "t");
    EXPECT_EQ(s.Target.Password, "p");
    EXPECT_EQ(s.Fields, (std::vector<std::string>{"a", "b c", "d", "date"}));
    ASSERT_EQ(s.Rows.size(), 2u);
    EXPECT_EQ(s.Rows[1].size(), 4u);
    EXPECT_EQ(s.Query, nullptr);
  }
  for (const char* sql : {"INSERT INTO t (SELECT * FROM u)", "INSERT INTO t (a) SELECT b FROM u UNION SELECT c FROM v"}) {
    Parsed p(sql);
    EXPECT_NE(p.As<TABSSQLInsert>().Query, nullptr) << sql;
    EXPECT_TRUE(p.As<TABSSQLInsert>().Rows.empty());
  }
  {
    Parsed p("UPDATE t x SET a = 1, x.b = x.a || 'z' WHERE x.c = 2");
    TABSSQLUpdate& s = p.As<TABSSQLUpdate>();
    EXPECT_EQ(s.Target.Alias, "x");
    ASSERT_EQ(s.Assignments.size(), 2u);
    EXPECT_EQ(s.Assignments[1].FieldName, "b");
    EXPECT_NE(s.Where, nullptr);
  }
  {
    Parsed p("UPDATE t SET (a, b) = (SELECT c, d FROM u WHERE u.k = 1)");
    TABSSQLUpdate& s = p.As<TABSSQLUpdate>();
    EXPECT_EQ(s.QueryFields, (std::vector<std::string>{"a", "b"}));
    ASSERT_NE(s.Query, nullptr);
    EXPECT_EQ(s.Assignments.size(), 0u);
  }
  {
    Parsed p("DELETE FROM MEMORY t d WHERE d.a = 1");
    TABSSQLDelete& s = p.As<TABSSQLDelete>();
    EXPECT_TRUE(s.Target.InMemory);
    EXPECT_EQ(s.Target.Alias, "d");
    EXPECT_NE(s.Where, nullptr);
  }
}

TEST(SQLParser, DataDefinitionStatements) {
  {
    Parsed p(
        "CREATE TABLE IF NOT EXISTS t (id AUTOINC(LARGEINT) INCREMENT 2 INITIALVALUE 100, "
        "s VARCHAR(30) NOT NULL DEFAULT 'x', f DOUBLE PRECISION MINVALUE -1 MAXVALUE 1, "
        "m MEMO BLOBBLOCKSIZE 512 BLOBCOMPRESSIONMODE 5, d DATE DEFAULT NOW, c CURRENCY(10, 2) NULL, "
        "PRIMARY KEY (id), CONSTRAINT us UNIQUE (s, d))");
    TABSDDLCreateTable& s = p.As<TABSDDLCreateTable>();
    EXPECT_TRUE(s.IfNotExists);
    ASSERT_EQ(s.FieldDefs.size(), 6u);
    EXPECT_EQ(s.FieldDefs[0].ColumnType, ctAutoincLargeint);
    EXPECT_EQ(s.FieldDefs[0].Increment, 2);
    EXPECT_EQ(s.FieldDefs[0].InitialValue, 100);
    EXPECT_EQ(s.FieldDefs[1].ColumnType, ctString);
    EXPECT_EQ(s.FieldDefs[1].Size, 30);
    EXPECT_TRUE(s.FieldDefs[1].NotNull);
    EXPECT_EQ(s.FieldDefs[1].DefaultValue.GetAsString(), "x");
    EXPECT_EQ(s.FieldDefs[2].ColumnType, ctFloat);
    EXPECT_EQ(s.FieldDefs[2].MinValue.GetAsInteger(), -1);
    EXPECT_EQ(s.FieldDefs[2].MaxValue.GetAsInteger(), 1);
    EXPECT_EQ(s.FieldDefs[3].BlobBlockSize, 512);
    EXPECT_EQ(s.FieldDefs[3].BlobCompressionMode, 5);
    // An expression default keeps its text.
    EXPECT_EQ(s.FieldDefs[4].DefaultValue.GetAsString(), "NOW");
    EXPECT_EQ(s.FieldDefs[5].Size, 10);
    EXPECT_EQ(s.FieldDefs[5].Scale, 2);
    ASSERT_EQ(s.Constraints.size(), 2u);
    EXPECT_TRUE(s.Constraints[0].Primary);
    EXPECT_EQ(s.Constraints[1].Name, "us");
    EXPECT_EQ(s.Constraints[1].Fields, (std::vector<std::string>{"s", "d"}));
  }
  {
    Parsed p("DROP TABLE IF EXISTS MEMORY t");
    EXPECT_TRUE(p.As<TABSDDLDropTable>().IfExists);
    EXPECT_TRUE(p.As<TABSDDLDropTable>().InMemory);
  }
  EXPECT_EQ(Parsed("TRUNCATE t").As<TABSDDLTruncateTable>().TableName, "t");
  EXPECT_EQ(Parsed("TRUNCATE TABLE t").As<TABSDDLTruncateTable>().TableName, "t");
  EXPECT_EQ(Parsed("RENAME a TO b").As<TABSDDLRenameTable>().NewName, "b");
  EXPECT_EQ(Parsed("RENAME TABLE a TO b").As<TABSDDLRenameTable>().TableName, "a");
  {
    Parsed p("ALTER TABLE t ADD COLUMN x INTEGER, DROP y, MODIFY z VARCHAR(5), RENAME COLUMN p TO q");
    const auto& actions = p.As<TABSDDLAlterTable>().Actions;
    ASSERT_EQ(actions.size(), 4u);
    EXPECT_EQ(actions[0].Kind, akAdd);
    EXPECT_EQ(actions[0].Field.ColumnType, ctInteger);
    EXPECT_EQ(actions[1].Kind, akDrop);
    EXPECT_EQ(actions[1].FieldName, "y");
    EXPECT_EQ(actions[2].Kind, akModify);
    EXPECT_EQ(actions[2].Field.Size, 5);
    EXPECT_EQ(actions[3].Kind, akRenameColumn);
    EXPECT_EQ(actions[3].NewName, "q");
  }
  {
    Parsed p("CREATE UNIQUE INDEX i ON t (a DESC NOCASE, b ASC) PASSWORD 'p'");
    TABSDDLCreateIndex& s = p.As<TABSDDLCreateIndex>();
    EXPECT_TRUE(s.Unique);
    EXPECT_EQ(s.IndexName, "i");
    EXPECT_EQ(s.TableName, "t");
    ASSERT_EQ(s.Columns.size(), 2u);
    EXPECT_TRUE(s.Columns[0].Descending);
    EXPECT_TRUE(s.Columns[0].CaseInsensitive);
    EXPECT_FALSE(s.Columns[1].Descending);
    EXPECT_EQ(s.Password, "p");
  }
  {
    Parsed p("DROP INDEX t.i");
    EXPECT_EQ(p.As<TABSDDLDropIndex>().TableName, "t");
    EXPECT_EQ(p.As<TABSDDLDropIndex>().IndexName, "i");
  }
  Parsed("START TRANSACTION").As<TABSSQLStartTransaction>();
  EXPECT_TRUE(Parsed("COMMIT FLUSH").As<TABSSQLCommit>().Flush);
  EXPECT_FALSE(Parsed("COMMIT").As<TABSSQLCommit>().Flush);
  Parsed("ROLLBACK").As<TABSSQLRollback>();
}

// Bad statements: the message with its code, naming the token and its line and column.
TEST(SQLParser, MessagesOfBadStatements) {
  struct Case {
    const char* sql;
    int32_t code;
    const char* message;
  };
  const Case cases[] = {
      {"", 30145, "Blank SQL command"},
      {"FOO bar", 30153, "SQL token expected, but 'FOO' found at line 1, column 1"},
      {"CREATE VIEW v", 30147, "Object type keyword expected, but 'VIEW' found at line 1, column 8"},
      {"DROP", 30150, "Unexpected end of SQL command found at line 1, column 5"},
      {"SELECT * t", 30167, "Token 'FROM' expected, but 't' found at line 1, column 10"},
      {"SELECT a FROM t x y", 20260, "End of SQL command expected, but 'y' found at line 1, column 19"},
      {"SELECT TOP x * FROM t", 30158, "Integer expected, but 'x' found at line 1, column 12"},
      {"SELECT TOP 1, 'a' * FROM t", 30159, "Integer expected, but 'a' found at line 1, column 15"},
      {"SELECT FROM t", 30164, "Field list expected, but 'FROM' found at line 1, column 8"},
      {"SELECT a, FROM t", 30163, "Field name expected, but 'FROM' found at line 1, column 11"},
      {"SELECT a AS FROM t", 30162, "Field pseudonym expected, but 'FROM' found at line 1, column 13"},
      {"SELECT * FROM", 30118, "Unexpected end of SQL command found at line 1, column 14"},
      {"SELECT * FROM t LEFT t2", 30175, "Token 'JOIN' expected, but 't2' found at line 1, column 22"},
      {"SELECT * FROM t JOIN WHERE", 30166, "Table name expected, but 'WHERE' found at line 1, column 22"},
      {"SELECT * FROM t PASSWORD x", 30178,
       "Quoted password expected (for PASSWORD \"passwordData\"), but 'x' found at line 1, column 26"},
      {"SELECT * FROM t GROUP BY a + 1", 10407,
       "Field name expected, but expression 'a...' found at line 1, column 28"},
      {"SELECT * INTO x FROM t UNION SELECT * FROM u", 20272,
       "UNION subselect cannot contain INTO caluse. Use SELECT * INTO table FROM (select ... union select ...) instead"},
      {"SELECT * FROM t UNION t", 20263, "Token 'SELECT' expected, but 't' found at line 1, column 23"},
      {"INSERT INTO t (a, b)\n  VALUES (1)", 20259,
       "Number of field names doesn't equal to the number of field values: 2 <> 1. Found at line 2, column 10"},
      {"INSERT INTO t VALUES 1", 30214, "'(' symbol expected, but '1' found at line 1, column 22"},
      {"INSERT INTO t VALUES (1, )", 30357, "Error parsing parameter ')' at line 1, column 26"},
      {"INSERT INTO t (a b) VALUES (1)", 30212, "')' or ',' symbol expected, but 'b' found at line 1, column 18"},
      {"INSERT INTO t VALUES (1 2)", 30229, "')' or ',' symbol expected, but '2' found at line 1, column 25"},
      {"INSERT INTO t (,) VALUES (1)", 2156, "Field name expected, but ',' found at line 1, column 16"},
      {"UPDATE t x a = 1", 30220, "Token 'SET' expected, but 'a' found at line 1, column 12"},
      {"UPDATE t SET a 1", 30221, "Token '=' expected, but '1' found at line 1, column 16"},
      {"DELETE t", 30193, "Token 'FROM' expected, but 't' found at line 1, column 8"},
      {"CREATE TABLE t (a NOSUCHTYPE)", 30232, "Unknown field type 'NOSUCHTYPE' at line 1, column 19"},
      {"CREATE TABLE t (a AUTOINC(FLOAT))", 30295, "Unsupported Autoinc DataType (FLOAT) found at line 1, column 27"},
      {"CREATE TABLE t (a INTEGER DEFAULT 1 DEFAULT 2)", 30299, "default value for column 'a' declared twice"},
      {"CREATE TABLE t a INTEGER", 30233, "'(' symbol expected, but 'a' found at line 1, column 16"},
      {"ALTER TABLE t CHANGE a", 30252, "ADD, DROP or MODIFY keyword expected, but 'CHANGE' found at line 1, column 15"},
      {"CREATE INDEX ON t (a)", 30269, "index name expected, but 'ON' found at line 1, column 14"},
      {"CREATE INDEX i t (a)", 30270, "'ON' keyword expected, but 't' found at line 1, column 16"},
      {"CREATE UNIQUE x", 30267, "'INDEX' keyword expected, but 'x' found at line 1, column 15"},
      {"START WORK", 30458, "Token 'TRANSACTION' expected, but 'WORK' found at line 1, column 7"},
      {"COMMIT now", 20260, "End of SQL command expected, but 'now' found at line 1, column 8"},
      {"SELECT a,\n       b\n  FROM t\n WHERE", 30118, "Unexpected end of SQL command found at line 4, column 7"},
      {"SELECT a\n  FROM t\n ORDER BY\n   *", 30190, "Sort specification expected, but '*' found at line 4, column 4"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sql);
    SQLTestDatabase db(false);
    try {
      db.Run(std::string(c.sql));
      ADD_FAILURE() << "nothing raised";
    } catch (const VODIDivodavir& e) {
      EXPECT_EQ(e.NativeError, c.code);
      const std::string what = e.what();
      EXPECT_EQ(what.substr(0, what.find(" - Native error:")), c.message);
    }
  }
}

TEST(SQLParser, NothingOfTheFailingCommandRuns) {
  SQLTestDatabase db(false);
  // The earlier commands ran and stay done; the third is refused before it changes anything.
  EXPECT_EQ(testing::CodeOf([&] {
              db.Run("CREATE TABLE t (a INTEGER); INSERT INTO t VALUES (1); INSERT INTO t VALUES (2), (3, )");
            }),
            30357);
  EXPECT_EQ(db.Rows("t"), (std::vector<std::string>{"1"}));
  EXPECT_EQ(testing::CodeOf([&] { db.Run("INSERT INTO t VALUES (4); DELETE FROM t WHERE; DELETE FROM t"); }), 30118);
  EXPECT_EQ(db.Rows("t"), (std::vector<std::string>{"1", "4"}));
}

TEST(SQLParser, DeepNestingIsRefused) {
  auto repeat = [](const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
  };
  for (int depth : {40, 5000}) {
    SCOPED_TRACE(depth);
    const std::string cases[] = {
        "SELECT * FROM " + repeat("(SELECT * FROM ", depth) + "t" + repeat(")", depth),
        repeat("(", depth) + "SELECT * FROM t" + repeat(")", depth),
        "SELECT * FROM " + repeat("(", depth) + "t" + repeat(")", depth),
        "DELETE FROM t WHERE a IN " + repeat("(SELECT a FROM t WHERE a IN ", depth) + "(1)" + repeat(")", depth),
    };
    for (const std::string& sql : cases) {
      SQLTestDatabase db(false);
      const int32_t code = testing::CodeOf([&] { db.Run(sql); });
      EXPECT_EQ(code, 40801) << sql.substr(0, 60);
    }
  }
  // Nesting within the limit parses.
  Parsed p("SELECT * FROM " + repeat("(SELECT * FROM ", 10) + "t" + repeat(")", 10));
  EXPECT_NE(p.Select().From[0]->Subquery, nullptr);
}

}  // namespace
}  // namespace dadoveri
