// Each table dataset operation in each wrong state gives its message and code; a failed
// open leaves the dataset closed and detached.
#include <gtest/gtest.h>

#include <functional>

#include "engine/dataset/blob_stream.h"
#include "tests/engine/dataset/table_dataset_fixture.h"

namespace dadoveri::testing {
namespace {

class TableStatesTest : public TableDataSetTest {};

TEST_P(TableStatesTest, EachOperationInEachWrongState) {
  auto t = OpenWords();
  AppendWords(*t, {"one", "two"});
  t->Close();
  TABSTable& table = *t;
  table.SetName("Words");
  const TFieldValue one[] = {std::string("one")};
  struct Case {
    const char* what;
    std::function<void()> setup;  // brings the dataset into the wrong state
    std::function<void()> action;
    int32_t code;
    std::string message;
  };
  auto closed = [&] { table.Close(); };
  auto browsing = [&] {
    table.Open();
    table.SetReadOnly(false);
  };
  auto read_only = [&] {
    table.Open();
    table.SetReadOnly(true);
  };
  const Case cases[] = {
      {"post closed", closed, [&] { table.Post(); }, 10029, "Dataset is not opened - Native error: 10029"},
      {"delete closed", closed, [&] { table.Delete(); }, 10068, "Dataset is not opened - Native error: 10068"},
      {"locate closed", closed, [&] { table.Locate("Word", one, {}); }, 10271,
       "Cannot perform LOCATE on a closed dataset - Native error: 10271"},
      {"lookup closed", closed, [&] { table.Lookup("Word", one, "Id"); }, 10271,
       "Cannot perform LOCATE on a closed dataset - Native error: 10271"},
      {"record number closed", closed, [&] { table.SetRecNo(1); }, 10029,
       "Dataset is not opened - Native error: 10029"},
      {"find closed", closed, [&] { table.FindFirst(); }, 10029, "Dataset is not opened - Native error: 10029"},
      {"post browsing", browsing, [&] { table.Post(); }, 10030,
       "Dataset is not in insert or edit mode - Native error: 10030"},
      {"database name open", browsing, [&] { table.SetDatabaseName("other"); }, kMsgDatabaseOpen,
       "Words: Cannot perform this operation on an open database"},
      {"delete read-only", read_only, [&] { table.Delete(); }, 10069,
       "Dataset is in read only mode - Native error: 10069"},
      {"edit read-only", read_only, [&] { table.Edit(); }, kMsgDataSetReadOnly,
       "Words: Cannot modify a read-only dataset"},
      {"writing stream read-only", read_only,
       [&] { table.CreateBlobStream(*table.FieldByName("Note"), TBlobStreamMode::bmWrite); }, 10107,
       "Dataset is in read only mode - Native error: 10107"},
  };
  for (const Case& c : cases) {
    c.setup();
    const auto [code, message] = RaisedBy(c.action);
    EXPECT_EQ(code, c.code) << c.what;
    EXPECT_EQ(message, c.message) << c.what;
  }
  // Reading a closed dataset's counts answers without an error.
  table.Close();
  EXPECT_EQ(table.RecordCount(), 0);
  EXPECT_EQ(table.RecNo(), -1);
}

TEST_P(TableStatesTest, PostIntoReadOnlyDatasetKeepsTheInsert) {
  auto t = OpenWords();
  t->Append();
  t->FieldByName("Word")->SetAsString("kept");
  t->SetReadOnly(true);
  EXPECT_EQ(RaisedBy([&] { t->Post(); }).second, "Dataset is in read only mode - Native error: 10032");
  EXPECT_EQ(t->State(), TDataSetState::dsInsert);
  EXPECT_EQ(t->FieldByName("Word")->AsString(), "kept");
  t->Cancel();
  EXPECT_EQ(t->RecordCount(), 0);
}

TEST_P(TableStatesTest, FailedOpenLeavesTheDatasetClosedAndDetached) {
  struct Case {
    std::string database, table;
    int32_t code;
    std::string message;
  };
  std::vector<Case> cases = {
      {"", "words", kMsgDataSetDatabaseNameBlank, "T: DatabaseName property is blank"},
      {database_name_, "  ", kMsgMissingTableName, "T: Missing TableName property"},
  };
  if (OnDisk()) cases.push_back({database_name_, "nope", 10028, "Table not found, table name = nope - Native error: 10028"});
  for (const Case& c : cases) {
    TABSTable t;
    t.SetName("T");
    t.SetDatabaseName(c.database);
    t.SetTableName(c.table);
    const auto [code, message] = RaisedBy([&] { t.Open(); });
    EXPECT_EQ(code, c.code) << c.table;
    EXPECT_EQ(message, c.message);
    EXPECT_FALSE(t.Active());
    EXPECT_EQ(t.Database(), nullptr);
    EXPECT_EQ(t.Cursor(), nullptr);
  }
  if (OnDisk()) {
    EXPECT_EQ(db_->DataSetCount(), 0);
  }
}

TEST_P(TableStatesTest, ReadOnlyDatabaseMakesTheTableReadOnly) {
  if (!OnDisk()) GTEST_SKIP() << "a file property";
  db_->Disconnect();
  db_->ReadOnly = true;
  TABSDatabase ro;
  ro.SetDatabaseName("ro_words");
  ro.SetDatabaseFileName(folder_.File("words.abs"));
  ro.SilentMode = true;
  ro.Connect();
  ro.ReadOnly = true;
  TABSTable t;
  t.SetDatabaseName("ro_words");
  t.SetTableName("words");
  t.Open();
  EXPECT_TRUE(t.ReadOnly());
  EXPECT_FALSE(t.CanModify());
  t.Close();
  ro.Disconnect();
  db_->ReadOnly = false;
  db_->Connect();
}

INSTANTIATE_TEST_SUITE_P(DiskAndMemory, TableStatesTest, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Disk" : "Memory"; });

}  // namespace
}  // namespace dadoveri::testing
