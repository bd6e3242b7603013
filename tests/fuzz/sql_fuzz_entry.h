// One entry for damaged SQL texts, shared by the libFuzzer target and the replay test: the
// bytes (UTF-8) are run as SQL by a processor over an in-memory database holding a few
// small tables (ta, tb, tc, per2en) and two parameters (:Name, :N); every row of the result
// is read. Each input must run or fail with the engine's own exception, and a message that
// names a line and column must point into the text. Tables of other database files are
// refused, so no input touches the disk. The database is built afresh after any input that
// may have changed it. The answer is empty when all is well, else what went wrong.
#pragma once

#include <cctype>
#include <cstdint>
#include <memory>
#include <string>

#include "engine/base/engine_error.h"
#include "engine/database/memory_database_data.h"
#include "engine/query/sql_processor.h"
#include "engine/query/sql_query.h"
#include "engine/table/session.h"
#include "tests/engine/query/expression_fuzz_entry.h"

namespace dadoveri::testing {

// The query of the fuzzed processor: other database files are never opened.
class FuzzSQLQuery : public TABSSQLConnectionQuery {
 public:
  using TABSSQLConnectionQuery::TABSSQLConnectionQuery;
  TABSDatabaseData& OtherDatabase(const std::string& file_name, const std::string&, TABSBaseSession*&) override {
    RaiseError(10105, file_name, 0);
  }
};

struct FuzzSQLWorld {
  FuzzSQLWorld() : session(0), query(database, session), processor(query) {
    processor.SetSQL(
        u"CREATE TABLE ta (id INTEGER NOT NULL, k INTEGER, f FLOAT, s VARCHAR(6) NOT NULL, u VARCHAR(6));"
        u"CREATE INDEX ta_k ON ta (k); CREATE INDEX ta_s ON ta (s);"
        u"INSERT INTO ta VALUES (1, 5, 1.5, 'ab', NULL), (2, NULL, -2.0, 'b1', 'cd'), (3, 5, NULL, 'ab', 'e'),"
        u"  (4, 9, 0.5, 'c', 'ab');"
        u"CREATE TABLE tb (id INTEGER NOT NULL, k INTEGER, f FLOAT NOT NULL, s VARCHAR(6));"
        u"CREATE INDEX tb_k ON tb (k);"
        u"INSERT INTO tb VALUES (1, 5, 2.5, NULL), (2, 7, 0.0, 'ab'), (3, NULL, -1.5, 'd');"
        u"CREATE TABLE tc (id INTEGER NOT NULL, k INTEGER NOT NULL, s VARCHAR(6) NOT NULL, PRIMARY KEY (id));"
        u"INSERT INTO tc VALUES (1, 9, 'x'), (2, 5, 'ab'), (3, 0, 'c');"
        u"CREATE TABLE per2en (per WIDESTRING(20), en VARCHAR(20)); CREATE INDEX per2en_per ON per2en (per);"
        u"INSERT INTO per2en VALUES ('\u0622\u0628', 'water'), ('ab', 'ab'), (NULL, 'none')");
    processor.Execute();
    TABSSQLParam& name = processor.Params().Add();
    name.Name = u"Name";
    name.SetAsString("ab%");
    TABSSQLParam& number = processor.Params().Add();
    number.Name = u"N";
    number.SetAsInteger(5);
  }
  TABSMemoryDatabaseData database;
  TABSBaseSession session;
  FuzzSQLQuery query;
  TABSSQLProcessor processor;
};

// Whether a text may change the database (then the next input gets a fresh one).
inline bool FuzzMayChange(const std::u16string& text) {
  static const char* const words[] = {"INSERT", "UPDATE", "DELETE", "CREATE", "DROP",  "ALTER",
                                      "RENAME", "TRUNCATE", "INTO", "START", "COMMIT", "ROLLBACK"};
  std::string upper;
  for (char16_t c : text) upper += c < 128 ? static_cast<char>(std::toupper(static_cast<int>(c))) : '?';
  for (const char* w : words)
    if (upper.find(w) != std::string::npos) return true;
  return false;
}

// Joins multiply rows: texts with very many list separators or joins are skipped, so that
// every run stays short (the tables hold three or four rows each).
inline bool FuzzTooCostly(const std::u16string& text) {
  int separators = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == u',') ++separators;
    if (i + 4 <= text.size() && (text[i] == u'J' || text[i] == u'j') && (text[i + 1] | 0x20) == u'o' &&
        (text[i + 2] | 0x20) == u'i' && (text[i + 3] | 0x20) == u'n')
      ++separators;
  }
  return separators > 12;
}

inline std::string FuzzSQLInput(const uint8_t* data, size_t size) {
  static std::unique_ptr<FuzzSQLWorld> world;
  const std::u16string text = FuzzWide(data, size);
  if (FuzzTooCostly(text)) return {};
  try {
    if (!world) world = std::make_unique<FuzzSQLWorld>();
  } catch (const VODIDivodavir& e) {
    return std::string("the fixture failed: ") + e.Message();
  }
  const auto places = FuzzPlaces(text);
  std::string problem;
  try {
    try {
      world->processor.SetSQL(text);
      TABSCursor* result = world->processor.Execute();
      (void)world->processor.RowsAffected();
      if (result) {
        TABSVariant v;
        int rows = 0;
        for (bool more = !result->AtEnd && result->ReadCurrent() == grrFound; more && rows < 5000;
             more = result->GetRecord(grmNext) == grrFound, ++rows)
          for (int32_t i = 0; i < result->VisibleFields.Count(); ++i) {
            result->GetFieldValue(i, false, v);
            if (!v.IsNull()) (void)v.GetAsWideString();
          }
      }
    } catch (const VODIDivodavir& e) {
      problem = FuzzCheckPosition(e, places);
    }
    if (world->session.InTransaction) world->query.Rollback();
  } catch (const std::exception& e) {
    problem = std::string("not the engine's exception: ") + e.what();
  }
  if (FuzzMayChange(text)) world.reset();
  return problem;
}

}  // namespace dadoveri::testing
