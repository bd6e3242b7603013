// The table most table tests use: an autoincrement ID, an integer primary key Code, a
// case-insensitive unique Name, a descending two-part index on (A, B) and an integer Q
// that must be present and lie in 10 … 1000.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "engine/database/local_cursor.h"
#include "engine/database/memory_database_data.h"
#include "engine/table/session.h"
#include "tests/engine/database/table_fixture.h"

namespace dadoveri::testing {

struct Row {
  std::optional<int32_t> code;
  std::optional<std::string> name;
  std::optional<int32_t> a;
  std::optional<std::string> b;
  std::optional<int32_t> q;
};

inline void StandardSchema(TABSFieldDefs& fields, TABSIndexDefs& indexes, TABSConstraintDefs& constraints) {
  AddField(fields, "ID", ctAutoincInteger);
  AddField(fields, "Code", ctInteger);
  AddField(fields, "Name", ctString, 20);
  AddField(fields, "A", ctInteger);
  AddField(fields, "B", ctString, 10);
  AddField(fields, "Q", ctInteger);
  AddIndex(indexes, "PK", {{"Code"}}, true, true);
  AddIndex(indexes, "UName", {{"Name", false, true}}, true);
  AddIndex(indexes, "AB", {{"A", true}, {"B"}});
  constraints.AddNotNull("NN_Q", "Q");
  constraints.AddCheck("CK_Q", "Q", IntValue(10), IntValue(1000));
}

// A registry of its own with the standard table "T" created through a first cursor.
class StandardTable {
 public:
  explicit StandardTable(TABSDatabaseData& db, TABSBaseSession& session, const std::string& name = "T") {
    cursor = std::make_unique<TABSLocalCursor>(&session, name);
    cursor->Open(db);
    TABSFieldDefs fields;
    TABSIndexDefs indexes;
    TABSConstraintDefs constraints;
    StandardSchema(fields, indexes, constraints);
    cursor->TableData()->CreateTable(cursor.get(), fields, indexes, constraints);
    cursor->RefreshDefinitions();
  }

  static void Fill(TABSCursor& c, const Row& row) {
    Fields f(c);
    c.NewRecord();
    f.SetInt("Code", row.code);
    f.SetText("Name", row.name);
    f.SetInt("A", row.a);
    f.SetText("B", row.b);
    f.SetInt("Q", row.q);
  }
  // PostInsert's outcome.
  static int32_t Insert(TABSCursor& c, const Row& row) {
    Fill(c, row);
    return c.PostInsert();
  }
  int32_t Insert(const Row& row) { return Insert(*cursor, row); }

  std::unique_ptr<TABSCursor> cursor;
};

}  // namespace dadoveri::testing
