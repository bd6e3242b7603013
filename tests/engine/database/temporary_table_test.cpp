// Temporary tables: append-only records that spill to a temporary file beyond a tenth of
// the available memory, temporary indexes whose pages spill likewise, the memory-only
// flag, and the refusals of update and delete.
#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <cmath>
#include <string>
#include <vector>

#include "engine/database/local_cursor.h"
#include "engine/base/memory_manager.h"
#include "engine/database/temporary_database_data.h"
#include "engine/table/session.h"
#include "tests/engine/database/table_fixture.h"

namespace dadoveri {
namespace {

using testing::Fields;

// Descriptors of this process open on our temporary files (unlinked, so their link names
// end in " (deleted)").
int TemporaryFileDescriptors() {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  if (!dir) return -1;
  while (dirent* entry = readdir(dir)) {
    const std::string path = std::string("/proc/self/fd/") + entry->d_name;
    char target[4096];
    const ssize_t n = readlink(path.c_str(), target, sizeof(target) - 1);
    if (n <= 0) continue;
    target[n] = 0;
    const std::string link(target);
    if (link.find("/DOD") != std::string::npos) ++count;
  }
  closedir(dir);
  return count;
}

class TemporaryTable : public ::testing::Test {
 protected:
  void SetUp() override { MemoryManager().SetMemoryLimit(4 << 20); }
  void TearDown() override { MemoryManager().SetMemoryLimit(0); }

  // Creates table "R" (N INTEGER, T STRING(12), F FLOAT) on `db` through `c`.
  static void Create(TABSCursor& c, TABSDatabaseData& db) {
    c.Temporary = true;
    c.Open(db);
    TABSFieldDefs fields;
    TABSIndexDefs indexes;
    TABSConstraintDefs constraints;
    testing::AddField(fields, "N", ctInteger);
    testing::AddField(fields, "T", ctString, 12);
    testing::AddField(fields, "F", ctFloat);
    c.TableData()->CreateTable(&c, fields, indexes, constraints);
    c.RefreshDefinitions();
  }
  static std::string text_of(int32_t i) { return "t" + std::to_string(i * 7919 % 100003); }
  static void Append(TABSCursor& c, int32_t count) {
    Fields f(c);
    for (int32_t i = 0; i < count; ++i) {
      c.NewRecord();
      f.SetInt("N", i);
      f.SetText("T", text_of(i));
      TABSVariant x;
      x.SetAsFloat(i * 0.5);
      f.layout().SetFieldValue(f.no("F"), x, c.CurrentRecord);
      ASSERT_EQ(c.PostInsert(), roOK);
    }
  }
  // Reads the table through `c` in its order and checks every record against its N.
  static void ReadBack(TABSCursor& c, int32_t count, bool backwards, bool descending_n) {
    Fields f(c);
    if (backwards) c.GoToEnd();
    else c.GoToBegin();
    int32_t seen = 0;
    while (c.Step(backwards ? grmPrior : grmNext) == grrFound) {
      const int32_t at = backwards != descending_n ? count - 1 - seen : seen;
      ASSERT_EQ(f.Int("N"), at);
      ASSERT_EQ(f.Text("T"), text_of(at));
      TABSVariant x;
      f.layout().GetFieldValue(f.no("F"), c.CurrentRecord, x);
      ASSERT_EQ(x.GetAsFloat(), at * 0.5);
      ++seen;
    }
    EXPECT_EQ(seen, count);
  }
};

TEST_F(TemporaryTable, SpillsToAFileThatGoesWithTheTable) {
  constexpr int32_t kRecords = 100000;
  {
    TABSTemporaryDatabaseData db;
    TABSBaseSession session(0);
    TABSLocalCursor c(&session, "R");
    Create(c, db);
    Append(c, kRecords);
    auto& data = static_cast<TABSTemporaryTableData&>(*c.TableData());
    ASSERT_LT(data.Records().MemoryLimit(), kRecords / 2);
    EXPECT_TRUE(data.Records().HasFile());
    EXPECT_EQ(data.GetRecordCount(0), kRecords);
    ReadBack(c, kRecords, false, false);
    ReadBack(c, kRecords, true, false);
    // A temporary index over the spilled records, its own pages spilled too.
    const int32_t id = data.FindOrBuildIndex(&c, {"N"}, {"DESC"}, {""});
    c.SetIndexName(data.IndexManager().IndexDefs.FindByObjectID(id)->Name);
    ReadBack(c, kRecords, false, true);
    ReadBack(c, kRecords, true, true);
    EXPECT_TRUE(db.TemporaryPages().HasFile());
    EXPECT_EQ(TemporaryFileDescriptors(), 2);
    data.DropTable(&c, false);
    EXPECT_FALSE(data.Records().HasFile());
  }
  EXPECT_EQ(TemporaryFileDescriptors(), 0);
}

TEST_F(TemporaryTable, MemoryOnlyNeverMakesAFile) {
  TABSTemporaryDatabaseData db(true);
  TABSBaseSession session(0);
  TABSLocalCursor c(&session, "R");
  Create(c, db);
  constexpr int32_t kRecords = 30000;
  Append(c, kRecords);
  auto& data = *c.TableData();
  const int32_t id = data.FindOrBuildIndex(&c, {"N"}, {"DESC"}, {""});
  c.SetIndexName(data.IndexManager().IndexDefs.FindByObjectID(id)->Name);
  ReadBack(c, kRecords, false, true);
  c.SetIndexName("");
  ReadBack(c, kRecords, true, false);
  // Records appended after the index was built reach it when it is next read.
  c.GoToEnd();
  Fields f(c);
  c.NewRecord();
  f.SetInt("N", kRecords + 5);
  ASSERT_EQ(c.PostInsert(), roOK);
  c.SetIndexName(data.IndexManager().IndexDefs.FindByObjectID(id)->Name);
  const std::vector<int64_t> first_two = [&] {
    std::vector<int64_t> v;
    c.GoToBegin();
    for (int i = 0; i < 2 && c.Step(grmNext) == grrFound; ++i) v.push_back(*f.Int("N"));
    return v;
  }();
  EXPECT_EQ(first_two, (std::vector<int64_t>{kRecords + 5, kRecords - 1}));
  EXPECT_EQ(TemporaryFileDescriptors(), 0);
}

TEST_F(TemporaryTable, RecordsAreOnlyAppended) {
  TABSTemporaryDatabaseData db;
  TABSBaseSession session(0);
  TABSLocalCursor c(&session, "R");
  Create(c, db);
  Append(c, 3);
  c.GoToBegin();
  ASSERT_EQ(c.Step(grmNext), grrFound);
  EXPECT_EQ(c.BeginEdit(), roTemporaryUpdate);
  EXPECT_EQ(c.PostEdit(), roTemporaryUpdate);
  EXPECT_EQ(c.DeleteCurrent(), roTemporaryDelete);
  EXPECT_FALSE(c.TableData()->UpdateRecord(&c));
  EXPECT_FALSE(c.TableData()->DeleteRecord(&c));
  TABSTemporaryRecordManager records(8, false);
  uint8_t r[8] = {};
  TABSRecordID rid;
  ASSERT_TRUE(records.InsertRecord(0, r, rid));
  EXPECT_FALSE(records.UpdateRecord(0, r, rid));
  EXPECT_FALSE(records.DeleteRecord(0, rid));
  EXPECT_EQ(c.TableData()->GetRecordCount(0), 3);
  EXPECT_EQ(TemporarySequence(TemporaryRecordID(0x123456789AB)), 0x123456789AB);
}

}  // namespace
}  // namespace dadoveri
