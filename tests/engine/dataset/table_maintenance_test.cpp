// Table maintenance through TABSTable: create, delete, empty, rename, indexes, restructure
// and copy (with BLOB values, into another file, and the error-collecting mode), their
// messages, the progress caption, and the master-detail link.
#include <gtest/gtest.h>

#include <functional>

#include "engine/dataset/data_source.h"
#include "engine/dataset/user_prompts.h"
#include "tests/engine/dataset/table_dataset_fixture.h"

namespace dadoveri::testing {
namespace {

class TableMaintenanceTest : public TableDataSetTest {
 protected:
  TABSTable& Named(const std::string& table_name) {
    tables_.push_back(std::make_unique<TABSTable>());
    TABSTable& t = *tables_.back();
    t.SetDatabaseName(database_name_);
    t.SetTableName(table_name);
    return t;
  }
  std::vector<std::unique_ptr<TABSTable>> tables_;
};

TEST_P(TableMaintenanceTest, OperationsRefuseWithTheirMessages) {
  {
    auto t = OpenWords();
    AppendWords(*t, {"one"});
  }
  TABSTable& words = Named("words");
  TABSTable& other = Named("other");
  AddField(other.TableFieldDefs, "A", ctInteger);
  other.CreateTable();
  TABSTable& missing = Named("missing");
  TABSTable& unnamed = Named("bad");
  AddField(unnamed.TableFieldDefs, "", ctInteger);
  struct Case {
    const char* what;
    std::function<void()> action;
    int32_t code;
    std::string message;
  };
  const Case cases[] = {
      {"rename onto existing", [&] { words.RenameTable("other"); }, 30451,
       "Table other already exists - Native error: 30451"},
      {"rename into itself", [&] { words.RenameTable("WORDS"); }, 30452,
       "Cannot rename table 'words' into itself - Native error: 30452"},
      {"rename missing", [&] { missing.RenameTable("x"); }, 20134, "Table 'missing' not found - Native error: 20134"},
      {"delete missing", [&] { missing.DeleteTable(); }, 20132, "Table 'missing' not found - Native error: 20132"},
      {"empty missing", [&] { missing.EmptyTable(); }, 20133, "Table 'missing' not found - Native error: 20133"},
      {"field without name", [&] { unnamed.CreateTable(); }, 30499,
       "Missing field name. FieldNo=0, table 'bad' - Native error: 30499"},
      {"index without name", [&] { words.AddIndex(" ", "Word"); }, 20046,
       "Invalid index name ' ' - Native error: 20046"},
      {"index on unknown field", [&] { words.AddIndex("ByX", "X"); }, 20043,
       "Cannot find index field 'X' - Native error: 20043"},
      {"delete unknown index", [&] { words.DeleteIndex("nope"); }, 20021,
       "Cannot delete index 'nope'. Index not found - Native error: 20021"},
      {"copy into itself", [&] { words.CopyTable("Words"); }, 30447,
       "Cannot copy table '" + database_name_ + ".words' into it self - Native error: 30447"},
      {"copy onto existing", [&] { words.CopyTable("other"); }, 30448,
       "Table '" + database_name_ + ".other' already exists - Native error: 30448"},
  };
  for (const Case& c : cases) {
    const auto [code, message] = RaisedBy(c.action);
    EXPECT_EQ(code, c.code) << c.what;
    EXPECT_EQ(message, c.message) << c.what;
  }
  words.AddIndex("ByWord", "Word");
  EXPECT_EQ(RaisedBy([&] { words.AddIndex("ByWord", "Id"); }).first, 20022);
  words.DeleteIndex("ByWord");
}

TEST_P(TableMaintenanceTest, TransactionRefusesStructureChanges) {
  if (!OnDisk()) GTEST_SKIP() << "transactions of a database file";
  TABSTable& words = Named("words");
  db_->StartTransaction();
  EXPECT_EQ(RaisedBy([&] { words.CreateTable(); }).second,
            "Cannot perform 'CreateTable' operation on a database in transaction - Native error: 20175");
  EXPECT_EQ(RaisedBy([&] { words.DeleteTable(); }).first, 20177);
  EXPECT_EQ(RaisedBy([&] { words.AddIndex("I", "Id"); }).first, 20180);
  db_->Rollback();
}

TEST_P(TableMaintenanceTest, RenameEmptyDeleteAndIndexes) {
  {
    auto t = OpenWords();
    AppendWords(*t, {"b", "a", "c"});
  }
  TABSTable& words = Named("words");
  words.AddIndex("ByWord", "Word", {.Descending = true});
  words.SetIndexName("ByWord");
  words.Open();
  EXPECT_EQ(Words(words), (std::vector<std::string>{"c", "b", "a"}));
  words.SetIndexName("");
  words.SetIndexFieldNames("Word");
  EXPECT_EQ(words.FieldByName("Word")->AsString(), "a");
  words.Close();
  words.RenameTable("renamed");
  EXPECT_EQ(words.TableName(), "renamed");
  EXPECT_TRUE(words.Exists());
  EXPECT_FALSE(Named("words").Exists());
  words.Open();
  EXPECT_EQ(words.RecordCount(), 3);
  words.EmptyTable();
  EXPECT_EQ(words.RecordCount(), 0);
  words.Close();
  words.DeleteTable();
  EXPECT_FALSE(words.Exists());
}

TEST_P(TableMaintenanceTest, CopyTableCarriesBlobsIndexesAndReportsProgress) {
  {
    auto t = OpenWords();
    for (int i = 1; i <= 3; ++i) {
      t->Append();
      t->FieldByName("Id")->SetAsInteger(i);
      t->FieldByName("Word")->SetAsString("w" + std::to_string(i));
      t->FieldByName("Note")->SetAsString(std::string(1000 * i, static_cast<char>('a' + i)));
      t->FieldByName("Wide")->SetAsWideString(u"\u0641" + std::u16string(static_cast<size_t>(i), u'x'));
      t->Post();
    }
  }
  TABSTable& words = Named("words");
  words.AddIndex("ByWord", "Word");
  std::vector<double> progress;
  words.OnCopyProgress = [&](TABSTable&, double p, bool&) { progress.push_back(p); };
  std::string report;
  words.CopyTable("copy", {}, {}, true, &report);
  EXPECT_EQ(report, "");
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(progress.back(), 100);
  TABSTable& copy = Named("copy");
  copy.SetIndexName("ByWord");
  copy.Open();
  EXPECT_EQ(copy.RecordCount(), 3);
  for (int i = 1; i <= 3; ++i) {
    EXPECT_EQ(copy.FieldByName("Note")->AsString(), std::string(1000 * i, static_cast<char>('a' + i)));
    EXPECT_EQ(copy.FieldByName("Wide")->AsWideString(), u"\u0641" + std::u16string(static_cast<size_t>(i), u'x'));
    copy.Next();
  }
  copy.Close();
  copy.DeleteTable();
  if (!OnDisk()) return;
  // Into another file, with the progress window's caption when no event is set.
  struct Prompts : TABSUserPrompts {
    std::vector<std::string> Waits;
    bool AskPassword(const std::string&, std::string&) override { return false; }
    bool AskYesNo(const std::string&) override { return false; }
    void ShowInformation(const std::string&) override {}
    void ShowWarning(const std::string&) override {}
    std::unique_ptr<TABSWaitWindow> StartWait(const std::string& message) override {
      Waits.push_back(message);
      return nullptr;
    }
  } prompts;
  InstallUserPrompts(&prompts);
  const std::string other_file = folder_.File("other.abs");
  {
    TABSDatabase other;
    other.SetDatabaseName("other_db");
    other.SetDatabaseFileName(other_file);
    other.Password = "secret";
    other.CreateDatabase();
  }
  words.OnCopyProgress = nullptr;
  words.CopyTable("words", other_file, "secret");
  InstallUserPrompts(nullptr);
  EXPECT_EQ(prompts.Waits, (std::vector<std::string>{"Copy Table..."}));
  TABSDatabase other;
  other.SetDatabaseName("other_db");
  other.SetDatabaseFileName(other_file);
  other.Password = "secret";
  other.Connect();
  TABSTable copied;
  copied.SetDatabaseName("other_db");
  copied.SetTableName("words");
  copied.Open();
  copied.Last();
  EXPECT_EQ(copied.FieldByName("Note")->AsString(), std::string(3000, 'd'));
  copied.Close();
}

TEST_P(TableMaintenanceTest, RestructureCarriesRecordsByFieldName) {
  {
    auto t = OpenWords();
    AppendWords(*t, {"one", "two"});
  }
  TABSTable& words = Named("words");
  words.Open();
  words.TableFieldDefs.Assign(words.Cursor()->TableFields);
  words.Close();
  // Drop Id, add Extra, keep the rest.
  TABSFieldDefs kept;
  for (int32_t i = 0; i < words.TableFieldDefs.Count(); ++i)
    if (words.TableFieldDefs.Item(i)->Name != "Id") kept.AddFieldDef()->Assign(*words.TableFieldDefs.Item(i));
  AddField(kept, "Extra", ctInteger);
  words.TableFieldDefs.Assign(kept);
  std::vector<double> progress;
  words.OnRestructureProgress = [&](TABSTable&, double p, bool&) { progress.push_back(p); };
  words.RestructureTable();
  EXPECT_FALSE(progress.empty());
  words.Open();
  EXPECT_EQ(words.FindField("Id"), nullptr);
  EXPECT_EQ(Words(words), (std::vector<std::string>{"one", "two"}));
  words.First();
  EXPECT_TRUE(words.FieldByName("Extra")->IsNull());
  std::vector<std::string> names;
  db_ ? db_->GetTableNames(names) : void();
  for (const std::string& n : names) EXPECT_EQ(n.find("restructure"), std::string::npos) << n;
}

TEST_P(TableMaintenanceTest, MasterLinkRestrictsAndFillsTheDetail) {
  TABSTable& master = Named("master");
  AddField(master.TableFieldDefs, "Id", ctInteger);
  master.CreateTable();
  master.Open();
  for (int i = 1; i <= 2; ++i) {
    master.Append();
    master.FieldByName("Id")->SetAsInteger(i);
    master.Post();
  }
  {
    auto t = OpenWords();
    for (int i : {1, 2, 1}) {
      t->Append();
      t->FieldByName("Id")->SetAsInteger(i);
      t->FieldByName("Word")->SetAsString("for" + std::to_string(i));
      t->Post();
    }
  }
  TDataSource source;
  source.SetDataSet(&master);
  TABSTable& detail = Named("words");
  detail.SetIndexFieldNames("Id");
  detail.SetMasterFields("Id");
  detail.SetMasterSource(&source);
  detail.Open();
  master.First();
  EXPECT_EQ(Words(detail), (std::vector<std::string>{"for1", "for1"}));
  master.Next();
  EXPECT_EQ(Words(detail), (std::vector<std::string>{"for2"}));
  detail.Append();
  EXPECT_EQ(detail.FieldByName("Id")->AsInteger(), 2);
  detail.Cancel();
  // A master that depends on its detail is refused.
  TDataSource detail_source;
  detail_source.SetDataSet(&detail);
  TABSTable& loop = Named("words");
  loop.SetMasterSource(&detail_source);
  TDataSource loop_source;
  loop_source.SetDataSet(&loop);
  EXPECT_EQ(RaisedBy([&] { detail.SetMasterSource(&loop_source); }).second, "Circular datalinks are not allowed");
  EXPECT_EQ(detail.MasterSource(), &source);
  detail.Close();
  master.Close();
  master.DeleteTable();
}

TEST_P(TableMaintenanceTest, RepairKeepsBlobValues) {
  if (!OnDisk()) GTEST_SKIP() << "a file operation";
  {
    auto t = OpenWords();
    t->Append();
    t->FieldByName("Id")->SetAsInteger(1);
    t->FieldByName("Note")->SetAsString(std::string(50000, 'n'));
    t->FieldByName("Wide")->SetAsWideString(u"\u0645\u0639\u0646\u06cc");
    t->FieldByName("Data")->SetValue(std::string("\0\1\2", 3));
    t->Post();
  }
  db_->Disconnect();
  std::vector<double> progress;
  db_->OnRepairProgress = [&](TABSDatabase&, double p, bool&) { progress.push_back(p); };
  std::string error_text;
  ASSERT_TRUE(db_->RepairDatabase(error_text)) << error_text;
  EXPECT_EQ(error_text, "");
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(progress.back(), 100);
  db_->Connect();
  auto t = OpenWords();
  EXPECT_EQ(t->FieldByName("Note")->AsString(), std::string(50000, 'n'));
  EXPECT_EQ(t->FieldByName("Wide")->AsWideString(), u"\u0645\u0639\u0646\u06cc");
  EXPECT_EQ(t->FieldByName("Data")->AsString(), std::string("\0\1\2", 3));
}

INSTANTIATE_TEST_SUITE_P(DiskAndMemory, TableMaintenanceTest, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Disk" : "Memory"; });

}  // namespace
}  // namespace dadoveri::testing
