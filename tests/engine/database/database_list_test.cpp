// The process's database list: "MEMORY" and "TEMP" always there, file registries shared
// by canonical path while held.
#include <gtest/gtest.h>

#include "engine/database/local_cursor.h"
#include "engine/database/database_list.h"
#include "engine/table/session.h"
#include "tests/engine/database/memory_table_schema.h"
#include "tests/engine/test_support.h"

namespace dadoveri {
namespace {

TEST(DatabaseList, NamesTheBuiltInDatabasesAndSharesFiles) {
  TABSDatabaseList& list = TABSDatabaseList::Instance();
  EXPECT_EQ(list.Find("memory"), &list.Memory());
  EXPECT_EQ(list.Find("Temp"), &list.Temporary());
  testing::TempFolder folder;
  const std::string file = folder.File("a.db");
  EXPECT_EQ(list.Find(file), nullptr);
  {
    auto first = TABSDiskDatabaseData::Attach(file);
    auto second = list.AttachFile(folder.File("./sub/../a.db"));
    EXPECT_EQ(first, second);
    EXPECT_EQ(list.Find(file), first.get());
  }
  EXPECT_EQ(list.Find(file), nullptr);
}

TEST(DatabaseList, InMemoryTablesLiveInTheSharedDatabaseUntilDropped) {
  TABSMemoryDatabaseData& memory = TABSDatabaseList::Instance().Memory();
  TABSBaseSession session(0);
  {
    testing::StandardTable table(memory, session, "ListedTable");
    ASSERT_EQ(table.Insert({1, "a", 1, "b", 10}), roOK);
  }
  // Closed but not dropped: the table and its record stay.
  std::vector<std::string> names;
  memory.GetTableNames(names);
  EXPECT_NE(std::find(names.begin(), names.end(), "ListedTable"), names.end());
  EXPECT_TRUE(memory.TableExists("LISTEDTABLE"));
  TABSLocalCursor c(&session, "listedtable");
  c.Open(memory);
  EXPECT_EQ(c.TableData()->GetRecordCount(0), 1);
  c.TableData()->DropTable(&c, false);
  c.Close();
  EXPECT_FALSE(memory.TableExists("ListedTable"));
}

}  // namespace
}  // namespace dadoveri
