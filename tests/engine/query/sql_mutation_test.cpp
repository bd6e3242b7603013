// Damaged statements (words dropped, repeated, swapped or replaced; texts cut short) run
// on an in-memory database: each runs or fails with an engine error, never anything else.
// A fixed seed keeps the batch the same from run to run.
#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "tests/engine/query/sql_test_database.h"

namespace dadoveri {
namespace {

using testing::SQLTestDatabase;

const char* const kSeeds[] = {
    "SELECT DISTINCT TOP 10 , 20 a , a , b AS x , t.* FROM t AS q WHERE x > 1 GROUP BY a , q.b HAVING COUNT(*) > 1 "
    "ORDER BY 1 , q.a DESC",
    "SELECT * FROM t NATURAL LEFT OUTER JOIN u USING ( a ) CROSS JOIN t v , ( SELECT * FROM u ) d",
    "SELECT a FROM t UNION ALL SELECT a FROM u INTERSECT SELECT a FROM t EXCEPT CORRESPONDING BY ( a ) ( SELECT a "
    "FROM u ) ORDER BY a",
    "SELECT a , b FROM t WHERE a IN ( SELECT a FROM u WHERE b LIKE 'x%' ) ORDER BY b DESC",
    "INSERT INTO t ( a , b ) VALUES ( 1 , 'x' ) , ( 2 , 'y' ) ; INSERT INTO t VALUES ( 3 , NULL )",
    "INSERT INTO t ( a ) SELECT a FROM u",
    "UPDATE t x SET a = x.a + 1 , b = 'z' WHERE x.a > 1 ; UPDATE t SET ( a , b ) = ( SELECT a , b FROM u )",
    "DELETE FROM t WHERE a = 1 OR b IS NULL",
    "CREATE TABLE IF NOT EXISTS w ( id AUTOINC ( LARGEINT ) INCREMENT 2 , s VARCHAR ( 30 ) NOT NULL DEFAULT 'x' , "
    "f DOUBLE PRECISION MINVALUE -1 MAXVALUE 1 , PRIMARY KEY ( id ) , UNIQUE ( s ) )",
    "ALTER TABLE t ADD COLUMN c INTEGER DEFAULT 5 , DROP b , MODIFY a VARCHAR ( 5 ) , RENAME COLUMN a TO z",
    "CREATE UNIQUE INDEX i ON t ( a DESC NOCASE , b ) ; DROP INDEX t.i",
    "RENAME TABLE t TO v ; TRUNCATE TABLE v ; DROP TABLE IF EXISTS v",
    "START TRANSACTION ; INSERT INTO t VALUES ( 9 , 'q' ) ; COMMIT FLUSH ; START TRANSACTION ; ROLLBACK",
};

const char* const kWords[] = {"SELECT", "FROM", "WHERE", "(", ")", ",", "*", "=", "JOIN", "ON", "UNION", "VALUES",
                              "SET", "TABLE", "INDEX", "NULL", "'s'", "1", "t", "a", ".", "MEMORY", "PASSWORD", ";"};

std::vector<std::string> split(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> words;
  for (std::string w; in >> w;) words.push_back(w);
  return words;
}

std::string mutate(std::vector<std::string> words, std::mt19937& rng) {
  auto pick = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); };
  const int changes = 1 + static_cast<int>(pick(3));
  for (int k = 0; k < changes && !words.empty(); ++k) {
    const size_t at = pick(words.size());
    switch (pick(5)) {
      case 0: words.erase(words.begin() + static_cast<std::ptrdiff_t>(at)); break;
      case 1: words.insert(words.begin() + static_cast<std::ptrdiff_t>(at), words[at]); break;
      case 2: std::swap(words[at], words[pick(words.size())]); break;
      case 3: words[at] = kWords[pick(std::size(kWords))]; break;
      default: words.resize(at); break;
    }
  }
  std::string text;
  for (const std::string& w : words) text += w + (pick(4) == 0 ? "\n" : " ");
  return text;
}

TEST(SQLMutation, DamagedStatementsRunOrFailWithAnEngineError) {
  std::mt19937 rng(20261210);
  int failed = 0, ran = 0;
  for (const char* seed : kSeeds) {
    SQLTestDatabase db(false);
    const std::vector<std::string> words = split(seed);
    for (int i = 0; i < 200; ++i) {
      // A fresh pair of tables now and then, as statements drop and change them.
      if (i % 20 == 0) {
        db.Run("DROP TABLE IF EXISTS t; DROP TABLE IF EXISTS u; DROP TABLE IF EXISTS v; DROP TABLE IF EXISTS w");
        db.Run("CREATE TABLE t (a INTEGER, b VARCHAR(10)); CREATE TABLE u (a INTEGER, b VARCHAR(10))");
        db.Run("INSERT INTO t VALUES (1, 'x'), (2, NULL); INSERT INTO u VALUES (1, 'x')");
      }
      const std::string text = mutate(words, rng);
      SCOPED_TRACE(text);
      try {
        db.Run(text);
        ++ran;
      } catch (const VODIDivodavir&) {
        ++failed;
      } catch (const EABSEngineError&) {
        ++failed;
      }
      // A transaction a damaged text left open is closed for the next one.
      if (db.Session().InTransaction) db.Run("ROLLBACK");
    }
  }
  // Both outcomes occur: the batch exercises the parser's errors and execution alike.
  EXPECT_GT(ran, 0);
  EXPECT_GT(failed, 0);
}

}  // namespace
}  // namespace dadoveri
