// In-memory tables through table data: record slots, constraints and their two forms,
// record outcomes with two cursors, delete positioning, indexes added and dropped,
// temporary indexes, drop and rename while open, rollbacks and failures half-way.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <thread>

#include "engine/database/local_cursor.h"
#include "engine/base/engine_error.h"
#include "engine/database/memory_database_data.h"
#include "engine/storage/page_manager.h"
#include "engine/table/session.h"
#include "tests/engine/database/memory_table_schema.h"
#include "tests/engine/test_support.h"

namespace dadoveri {
namespace {

using testing::CodeOf;
using testing::Fields;
using testing::Row;
using testing::StandardTable;
using testing::WalkInts;

class MemoryTable : public ::testing::Test {
 protected:
  TABSMemoryDatabaseData db;
  TABSBaseSession session{0};
  StandardTable table{db, session};
  TABSCursor& c = *table.cursor;
  TABSTableData& data = *c.TableData();

  // Inserts codes with distinct names and Q = 10 + code.
  void InsertCodes(std::initializer_list<int32_t> codes) {
    for (int32_t code : codes)
      ASSERT_EQ(table.Insert({code, "n" + std::to_string(code), code % 3, "b", 10 + code}), roOK) << c.LastMessage;
  }
  // Positions the cursor on the record with this code (storage order).
  void Seek(int32_t code) {
    c.GoToBegin();
    while (c.Step(grmNext) == grrFound)
      if (Fields(c).Int("Code") == code) return;
    FAIL() << "no record with code " << code;
  }
  void CheckIndexesAgree() {
    std::vector<int64_t> storage = WalkInts(c, "ID");
    std::sort(storage.begin(), storage.end());
    for (const char* index : {"PK", "UName", "AB"}) {
      c.SetIndexName(index);
      std::vector<int64_t> walked = WalkInts(c, "ID");
      std::sort(walked.begin(), walked.end());
      EXPECT_EQ(walked, storage) << index;
      EXPECT_EQ(data.IndexManager().OpenIndex(c.ActiveIndexID)->CheckIntegrity(session.SessionID),
                static_cast<int64_t>(storage.size()));
    }
    c.SetIndexName("");
  }
};

TEST(MemoryRecords, SlotsAreNotReusedWhileRecordsRemain) {
  TABSMemoryRecordManager records(8);
  uint8_t r[8] = {};
  TABSRecordID id;
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(records.InsertRecord(0, r, id));
  ASSERT_TRUE(records.DeleteRecord(0, {0, 0}));
  ASSERT_TRUE(records.DeleteRecord(0, {1, 0}));
  EXPECT_FALSE(records.DeleteRecord(0, {1, 0}));
  EXPECT_FALSE(records.UpdateRecord(0, r, {1, 0}));
  ASSERT_TRUE(records.InsertRecord(0, r, id));
  EXPECT_EQ(id.PageNo, 3);
  ASSERT_TRUE(records.DeleteRecord(0, {2, 0}));
  ASSERT_TRUE(records.DeleteRecord(0, {3, 0}));
  EXPECT_EQ(records.RecordCount, 0);
  ASSERT_TRUE(records.InsertRecord(0, r, id));
  EXPECT_EQ(id.PageNo, 0);
}

TEST(MemoryRecords, GetRequestsAtTheEnds) {
  TABSMemoryRecordManager records(4);
  uint8_t r[4] = {};
  struct Case {
    TABSGetRecordMode mode;
    bool first, last;
    int32_t from;
    TABSGetRecordResult empty, filled;
    int32_t slot;
  };
  const Case cases[] = {
      {grmNext, true, false, 0, grrEndReached, grrFound, 1},
      {grmPrior, true, false, 0, grrEndReached, grrBeginReached, -1},
      {grmPrior, false, true, 0, grrEndReached, grrFound, 3},
      {grmNext, false, true, 0, grrEndReached, grrEndReached, -1},
      {grmNext, false, false, 1, grrEndReached, grrFound, 3},
      {grmPrior, false, false, 3, grrEndReached, grrFound, 1},
      {grmPrior, false, false, 1, grrEndReached, grrBeginReached, -1},
      {grmNext, false, false, 3, grrEndReached, grrEndReached, -1},
      {grmCurrent, false, false, 2, grrEndReached, grrNotFound, -1},
      {grmCurrent, false, false, 9, grrEndReached, grrNotFound, -1},
      {grmCurrent, false, false, 3, grrEndReached, grrFound, 3},
  };
  auto run = [&](const Case& k) {
    TABSRecordGetRequest q;
    q.Mode = k.mode;
    q.GoToFirst = k.first;
    q.GoToLast = k.last;
    q.RecordID = {k.from, 0};
    q.RecordBuffer = r;
    records.GetRecord(0, q);
    return q;
  };
  for (const Case& k : cases) EXPECT_EQ(run(k).Result, k.empty);
  TABSRecordID id;
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(records.InsertRecord(0, r, id));
  ASSERT_TRUE(records.DeleteRecord(0, {0, 0}));
  ASSERT_TRUE(records.DeleteRecord(0, {2, 0}));
  for (const Case& k : cases) {
    const TABSRecordGetRequest q = run(k);
    EXPECT_EQ(q.Result, k.filled) << k.mode << " from " << k.from;
    if (k.slot >= 0) {
      EXPECT_EQ(q.RecordID.PageNo, k.slot);
    }
  }
  // Without a buffer the record cannot be handed out.
  TABSRecordGetRequest q;
  q.Mode = grmNext;
  q.GoToFirst = true;
  EXPECT_EQ(CodeOf([&] { records.GetRecord(0, q); }), 10019);
}

TEST(MemoryRecords, ApproximateNumberStaysWithinTheCount) {
  TABSMemoryRecordManager records(4);
  uint8_t r[4] = {};
  TABSRecordID id;
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(records.InsertRecord(0, r, id));
  for (int32_t s : {1, 2, 3, 4, 5, 6, 7}) ASSERT_TRUE(records.DeleteRecord(0, {s, 0}));
  // Live slots 0, 8, 9: three records.
  EXPECT_EQ(records.GetApproximateRecordNo(0, {0, 0}), 1);
  EXPECT_EQ(records.GetApproximateRecordNo(0, {9, 0}), 3);
  EXPECT_LE(records.GetApproximateRecordNo(0, {8, 0}), 3);
  EXPECT_EQ(records.GetApproximateRecordNo(0, {10, 0}), -1);
  EXPECT_EQ(records.RecordNoOfSlot(8), 2);
  EXPECT_EQ(records.SlotOfRecordNo(3), 9);
}

TEST_F(MemoryTable, ConstraintsRefuseBeforeAnythingIsWritten) {
  InsertCodes({1, 2});
  struct Case {
    const char* what;
    Row row;
    int32_t code;
  };
  const Case cases[] = {
      {"Q missing", {5, "x", 1, "b", std::nullopt}, 30026},
      {"Q below", {5, "x", 1, "b", 9}, 30029},
      {"Q above", {5, "x", 1, "b", 1001}, 30030},
      {"key missing", {std::nullopt, "x", 1, "b", 20}, 30330},
      {"key taken", {2, "x", 1, "b", 20}, 30319},
      {"name taken in other case", {5, "N1", 1, "b", 20}, 30320},
      {"Q at the bounds passes", {5, "x", 1, "b", 10}, 0},
      {"Q upper bound passes", {6, "y", 1, "b", 1000}, 0},
  };
  for (const Case& k : cases) {
    const int64_t before = data.GetRecordCount(0);
    const int32_t outcome = table.Insert(k.row);
    if (k.code == 0) {
      EXPECT_EQ(outcome, roOK) << k.what << ": " << c.LastMessage;
      continue;
    }
    EXPECT_EQ(outcome, roConstraintFailed) << k.what;
    EXPECT_EQ(c.LastNativeError, k.code) << k.what;
    EXPECT_EQ(data.GetRecordCount(0), before) << k.what;
    // The raising form raises the same.
    StandardTable::Fill(c, k.row);
    EXPECT_EQ(CodeOf([&] { data.CheckConstraints(&c, c.CurrentRecord, nullptr, true); }), k.code) << k.what;
  }
  CheckIndexesAgree();
  StandardTable::Fill(c, {7, "z", 1, "b", 5});
  EXPECT_EQ(testing::MessageOf([&] { data.CheckConstraints(&c, c.CurrentRecord, nullptr, true); }),
            "Constraint 'CK_Q' violated. Value in field 'Q' cannot be lower than '10' - Native error: 30029");
}

TEST_F(MemoryTable, NullKeysAndTwoFieldPrimaryKeys) {
  // A unique index takes one record with a NULL key and refuses a second.
  EXPECT_EQ(table.Insert({1, std::nullopt, 1, "b", 20}), roOK);
  EXPECT_EQ(table.Insert({2, std::nullopt, 1, "b", 20}), roConstraintFailed);
  EXPECT_EQ(c.LastNativeError, 30320);

  TABSBaseSession s2(0);
  TABSLocalCursor two(&s2, "Pair");
  two.Open(db);
  TABSFieldDefs fields;
  TABSIndexDefs indexes;
  TABSConstraintDefs constraints;
  testing::AddField(fields, "X", ctInteger);
  testing::AddField(fields, "Y", ctInteger);
  testing::AddIndex(indexes, "PK2", {{"X"}, {"Y"}}, true, true);
  two.TableData()->CreateTable(&two, fields, indexes, constraints);
  two.RefreshDefinitions();
  Fields f(two);
  auto insert = [&](std::optional<int32_t> x, std::optional<int32_t> y) {
    two.NewRecord();
    f.SetInt("X", x);
    f.SetInt("Y", y);
    return two.PostInsert();
  };
  EXPECT_EQ(insert(std::nullopt, std::nullopt), roConstraintFailed);
  EXPECT_EQ(two.LastMessage,
            "Constraint 'C_PK$X$Y' violated. Value in field 'X,Y' cannot be null - Native error: 30330");
  EXPECT_EQ(insert(1, std::nullopt), roOK);
  EXPECT_EQ(insert(std::nullopt, 1), roOK);
  EXPECT_EQ(insert(1, std::nullopt), roConstraintFailed);
  EXPECT_EQ(two.LastNativeError, 30319);
}

TEST_F(MemoryTable, UpdatesTestOnlyChangedKeys) {
  InsertCodes({1, 2, 3});
  Seek(2);
  ASSERT_EQ(c.BeginEdit(), roOK);
  Fields(c).SetInt("Q", 500);
  EXPECT_EQ(c.PostEdit(), roOK) << c.LastMessage;
  // The same name in other letters is the same key of the case-insensitive index.
  ASSERT_EQ(c.BeginEdit(), roOK);
  Fields(c).SetText("Name", "N2");
  EXPECT_EQ(c.PostEdit(), roOK) << c.LastMessage;
  ASSERT_EQ(c.BeginEdit(), roOK);
  Fields(c).SetInt("Code", 3);
  EXPECT_EQ(c.PostEdit(), roConstraintFailed);
  EXPECT_EQ(c.LastNativeError, 30319);
  Fields(c).SetInt("Code", 30);
  EXPECT_EQ(c.PostEdit(), roOK) << c.LastMessage;
  c.SetIndexName("PK");
  EXPECT_EQ(WalkInts(c, "Code"), (std::vector<int64_t>{1, 3, 30}));
  CheckIndexesAgree();
}

TEST_F(MemoryTable, VanishedFieldsAndUnknownConstraintTypes) {
  InsertCodes({1});
  TABSConstraintDefs& list = data.ConstraintManager().ConstraintDefs;
  struct Case {
    const char* name;
    int32_t code;
  };
  const Case cases[] = {{"NN_Q", 30024}, {"CK_Q", 30028}, {"C_PK$Code", 30329}};
  for (const Case& k : cases) {
    TABSConstraintDef* constraint = list.Find(k.name);
    ASSERT_NE(constraint, nullptr) << k.name;
    int32_t* id = constraint->ConstraintType == ctPrimaryKey
                      ? &static_cast<TABSConstraintDefUnique*>(constraint)->Columns[0].FieldObjectID
                      : &constraint->TargetName().ID;
    const int32_t kept = *id;
    *id = 99999;
    StandardTable::Fill(c, {5, "x", 1, "b", 20});
    EXPECT_EQ(CodeOf([&] { data.CheckConstraints(&c, c.CurrentRecord, nullptr, true); }), k.code) << k.name;
    *id = kept;
  }
  class OtherType : public TABSConstraintDef {
   public:
    OtherType() : TABSConstraintDef(static_cast<TABSConstraintType>(1)) {}
    std::unique_ptr<TABSConstraintDef> CreateSame() const override { return std::make_unique<OtherType>(); }
  };
  auto other = std::make_unique<OtherType>();
  other->Name = "Odd";
  list.AddConstraint(std::move(other));
  StandardTable::Fill(c, {5, "x", 1, "b", 20});
  EXPECT_EQ(CodeOf([&] { data.CheckConstraints(&c, c.CurrentRecord, nullptr, true); }), 30036);
}

TEST_F(MemoryTable, OutcomesWhenAnotherCursorGotThereFirst) {
  InsertCodes({1, 2, 3});
  TABSBaseSession s1(1);
  TABSLocalCursor other(&s1, "t");  // names compare without regard to case
  other.Open(db);
  ASSERT_EQ(other.TableData(), &data);
  auto seek_other = [&](int32_t code) {
    other.GoToBegin();
    while (other.Step(grmNext) == grrFound)
      if (Fields(other).Int("Code") == code) return;
  };
  // Changed by the other cursor after this one began editing.
  Seek(1);
  ASSERT_EQ(c.BeginEdit(), roOK);
  seek_other(1);
  ASSERT_EQ(other.BeginEdit(), roOK);
  Fields(other).SetInt("Q", 77);
  ASSERT_EQ(other.PostEdit(), roOK);
  Fields(c).SetInt("Q", 88);
  EXPECT_EQ(c.PostEdit(), roUpdateModified);
  // Changed after this one read it: delete refuses too.
  Seek(2);
  seek_other(2);
  ASSERT_EQ(other.BeginEdit(), roOK);
  Fields(other).SetInt("A", 9);
  ASSERT_EQ(other.PostEdit(), roOK);
  EXPECT_EQ(c.DeleteCurrent(), roDeleteModified);
  // Deleted by the other cursor.
  Seek(3);
  ASSERT_EQ(c.BeginEdit(), roOK);
  seek_other(3);
  ASSERT_EQ(other.DeleteCurrent(), roOK);
  EXPECT_EQ(c.PostEdit(), roUpdateDeleted);
  EXPECT_EQ(c.DeleteCurrent(), roDeleteDeleted);
  EXPECT_EQ(c.BeginEdit(), roUpdateDeleted);
  EXPECT_EQ(data.GetRecordCount(0), 2);
  CheckIndexesAgree();
}

TEST_F(MemoryTable, DeleteLeavesTheCursorOnTheNextOrPrior) {
  InsertCodes({5, 1, 3});
  struct Case {
    const char* index;
    int32_t remove;
    std::optional<int64_t> lands_on;  // none: at the beginning
  };
  // Storage order 5, 1, 3; key order 1, 3, 5.
  const Case cases[] = {
      {"", 1, 3}, {"", 3, 5}, {"", 5, std::nullopt},
  };
  for (const Case& k : cases) {
    c.SetIndexName(k.index);
    Seek(k.remove);
    ASSERT_EQ(c.DeleteCurrent(), roOK);
    if (k.lands_on) {
      EXPECT_FALSE(c.AtBegin);
      EXPECT_EQ(Fields(c).Int("Code"), *k.lands_on);
    } else {
      EXPECT_TRUE(c.AtBegin);
    }
  }
  InsertCodes({5, 1, 3});
  c.SetIndexName("PK");
  Seek(3);
  ASSERT_EQ(c.DeleteCurrent(), roOK);
  EXPECT_EQ(Fields(c).Int("Code"), 5);
  ASSERT_EQ(c.DeleteCurrent(), roOK);
  EXPECT_EQ(Fields(c).Int("Code"), 1);
  ASSERT_EQ(c.DeleteCurrent(), roOK);
  EXPECT_TRUE(c.AtBegin);
  EXPECT_EQ(c.Step(grmNext), grrEndReached);
  EXPECT_EQ(c.Step(grmPrior), grrEndReached);
  EXPECT_EQ(data.GetRecordCount(0), 0);
}

TEST_F(MemoryTable, IndexesAddedAndDroppedWithTheirConstraints) {
  InsertCodes({1, 2, 3});
  TABSIndexDef unique_q;
  unique_q.Name = "UQ";
  unique_q.Unique = true;
  unique_q.Columns = {{"Q", true}};
  const int32_t id = data.AddIndex(&c, unique_q);
  EXPECT_GE(data.ConstraintManager().ConstraintDefs.IndexOfDerived(id), 0);
  c.SetIndexName("uq");
  EXPECT_EQ(WalkInts(c, "Q"), (std::vector<int64_t>{13, 12, 11}));
  EXPECT_EQ(table.Insert({4, "n4", 0, "b", 12}), roConstraintFailed);
  EXPECT_EQ(c.LastNativeError, 30320);
  EXPECT_EQ(CodeOf([&] { data.AddIndex(&c, unique_q); }), 20022);
  data.DropIndex(&c, id);
  EXPECT_EQ(c.ActiveIndexID, -1);
  EXPECT_LT(data.ConstraintManager().ConstraintDefs.IndexOfDerived(id), 0);
  EXPECT_EQ(table.Insert({4, "n4", 0, "b", 12}), roOK);
  EXPECT_EQ(CodeOf([&] { data.DropIndex(&c, id); }), 20018);
  EXPECT_EQ(CodeOf([&] { data.IndexManager().OpenIndex(id); }), 20018);
  CheckIndexesAgree();
}

TEST_F(MemoryTable, EmptyResetsCountersAndIndexes) {
  InsertCodes({1, 2, 3});
  data.EmptyTable(&c);
  EXPECT_EQ(data.GetRecordCount(0), 0);
  InsertCodes({7});
  EXPECT_EQ(WalkInts(c, "ID"), (std::vector<int64_t>{1}));
  EXPECT_EQ(data.LastAutoincValue(&c, 0), 1);
  CheckIndexesAgree();
}

TEST_F(MemoryTable, TemporaryIndexesFollowTheTable) {
  InsertCodes({4, 2, 9});
  const int32_t id = data.FindOrBuildIndex(&c, {"Q"}, {"DESC"}, {""});
  const TABSIndexDef* temporary = data.IndexManager().IndexDefs.FindByObjectID(id);
  ASSERT_NE(temporary, nullptr);
  EXPECT_TRUE(temporary->Temporary);
  EXPECT_EQ(temporary->Name.rfind("TEMPORARY_INDEX_", 0), 0u);
  EXPECT_LT(std::stoi(temporary->Name.substr(16)), 1000000);
  EXPECT_LT(data.ConstraintManager().ConstraintDefs.IndexOfDerived(id), 0);
  // The same key finds it again; an existing index serves its own key.
  EXPECT_EQ(data.FindOrBuildIndex(&c, {"Q"}, {"DESC"}, {""}), id);
  EXPECT_EQ(data.FindOrBuildIndex(&c, {"Code"}, {"ASC"}, {""}),
            data.IndexManager().IndexDefs.Find("PK")->ObjectID);
  c.SetIndexName(temporary->Name);
  EXPECT_EQ(WalkInts(c, "Q"), (std::vector<int64_t>{19, 14, 12}));
  InsertCodes({6});
  Seek(2);
  ASSERT_EQ(c.DeleteCurrent(), roOK);
  c.SetIndexName(data.IndexManager().IndexDefs.FindByObjectID(id)->Name);
  EXPECT_EQ(WalkInts(c, "Q"), (std::vector<int64_t>{19, 16, 14}));
  // Another session does not see it.
  TABSBaseSession s1(1);
  TABSLocalCursor other(&s1, "T");
  other.Open(db);
  EXPECT_NE(data.FindOrBuildIndex(&other, {"Q"}, {"DESC"}, {""}), id);
}

TEST_F(MemoryTable, DropAndRenameAreRefusedWhileAnotherCursorHasTheTable) {
  TABSLocalCursor other(&session, "T");
  other.Open(db);
  EXPECT_EQ(CodeOf([&] { data.DropTable(&c, false); }), 20017);
  EXPECT_EQ(CodeOf([&] { data.RenameTable(&c, "U"); }), 10150);
  other.Close();
  data.RenameTable(&c, "U");
  EXPECT_EQ(db.FindTableData("u"), &data);
  EXPECT_EQ(db.FindTableData("T"), nullptr);
  InsertCodes({1});
  TABSLocalCursor third(&session, "U");
  third.Open(db);
  data.DropTable(&c, true);
  EXPECT_EQ(db.FindTableData("U"), nullptr);
  third.Close();
  c.Close();
  EXPECT_EQ(db.OpenTableCount(), 0);
  EXPECT_EQ(db.MemoryPages().AllocatedPageCount(), 0);
}

TEST_F(MemoryTable, RollbackAfterIndexSplitsLeavesTheTableWhole) {
  InsertCodes({1, 2, 3});
  session.InTransaction = true;
  for (int32_t code = 100; code < 1100; ++code)
    ASSERT_EQ(table.Insert({code, "name" + std::to_string(code), code % 7, "b" + std::to_string(code % 5), 500}),
              roOK);
  db.RollbackSession(session.SessionID);
  session.InTransaction = false;
  // In-memory tables are not undone by a rollback: records and indexes stay in step.
  EXPECT_EQ(data.GetRecordCount(0), 1003);
  CheckIndexesAgree();
  for (int32_t code = 2000; code < 2100; ++code) ASSERT_EQ(table.Insert({code, std::nullopt, 1, "b", 10}), code == 2000 ? roOK : roConstraintFailed);
  CheckIndexesAgree();
}

TEST_F(MemoryTable, TemporaryIndexesComeBackAfterARollback) {
  InsertCodes({3, 1, 2});
  const int32_t id = data.FindOrBuildIndex(&c, {"Q"}, {"ASC"}, {""});
  c.SetIndexName(data.IndexManager().IndexDefs.FindByObjectID(id)->Name);
  session.InTransaction = true;
  InsertCodes({40, 5});
  db.RollbackSession(session.SessionID);
  session.InTransaction = false;
  EXPECT_EQ(data.IndexManager().IndexDefs.FindByObjectID(id)->ChangeStamp, data.TableChangeCounter());
  EXPECT_EQ(WalkInts(c, "Code"), (std::vector<int64_t>{1, 2, 3, 5, 40}));
}

TEST_F(MemoryTable, PagesSaveAndLoadThroughAStream) {
  for (int32_t code = 0; code < 600; ++code)
    ASSERT_EQ(table.Insert({code, "stream" + std::to_string(code), code % 5, "b", 10 + code}), roOK);
  TABSMemoryPageManager& pages = db.MemoryPages();
  std::stringstream saved;
  pages.SaveToStream(saved);
  const std::string image = saved.str();
  TABSMemoryPageManager loaded;
  std::stringstream in(image);
  loaded.LoadFromStream(in);
  EXPECT_EQ(loaded.AllocatedPageCount(), pages.AllocatedPageCount());
  for (int32_t page_no = 0; page_no < pages.PageTableCapacity(); ++page_no) {
    ASSERT_EQ(loaded.IsAllocated(page_no), pages.IsAllocated(page_no));
    if (!pages.IsAllocated(page_no)) continue;
    TABSPageHandle a = pages.GetPage(7, page_no);
    TABSPageHandle b = loaded.GetPage(7, page_no);
    ASSERT_TRUE(std::equal(a.Buffer(), a.Buffer() + a.PageSize(), b.Buffer())) << page_no;
  }
  std::stringstream again;
  loaded.SaveToStream(again);
  EXPECT_EQ(again.str(), image);
  // A cut image and one of another page size are refused.
  std::stringstream cut(image.substr(0, image.size() / 2));
  TABSMemoryPageManager refused;
  EXPECT_EQ(CodeOf([&] { refused.LoadFromStream(cut); }), 10086);
  std::string other = image;
  other[13] = 0x20;  // 8192-byte pages
  std::stringstream wrong(other);
  EXPECT_EQ(CodeOf([&] { refused.LoadFromStream(wrong); }), 40601);
  EXPECT_EQ(refused.AllocatedPageCount(), 0);
  // Pages that were never allocated are refused.
  TABSPage page(&loaded, loaded.PageTableCapacity() - 1);
  EXPECT_EQ(CodeOf([&] { loaded.ReadPage(&page); }), 10392);
}

// A memory page manager that refuses to allocate once armed: a failure half-way through an
// operation, after the record step and some index work.
class FailingPages : public TABSMemoryPageManager {
 public:
  void AllocatePageNo(TABSPage* page) override {
    if (armed) RaiseError(20064);
    TABSMemoryPageManager::AllocatePageNo(page);
  }
  bool armed = false;
};

class FailingMemoryDatabase : public TABSMemoryDatabaseData {
 public:
  TABSTableData* OpenTableData(const std::string& table_name) override {
    std::lock_guard guard(lock_);
    return AddTableData(std::make_unique<TABSMemoryTableData>(this, table_name, &pages));
  }
  ~FailingMemoryDatabase() override { CloseAllTables(); }
  FailingPages pages;
};

TEST(MemoryTableFailure, AHalfDoneInsertOrUpdateLeavesNothingBehind) {
  for (bool in_transaction : {false, true}) {
    FailingMemoryDatabase db;
    TABSBaseSession session(0);
    StandardTable table(db, session);
    TABSCursor& c = *table.cursor;
    TABSTableData& data = *c.TableData();
    session.InTransaction = in_transaction;
    std::vector<int64_t> ids;  // the records the table must hold
    auto check_whole = [&](const std::string& where) {
      std::vector<int64_t> want = ids;
      std::sort(want.begin(), want.end());
      std::vector<int64_t> walked = WalkInts(c, "ID");
      std::sort(walked.begin(), walked.end());
      EXPECT_EQ(walked, want) << where;
      for (const char* index : {"PK", "UName", "AB"}) {
        c.SetIndexName(index);
        walked = WalkInts(c, "ID");
        std::sort(walked.begin(), walked.end());
        EXPECT_EQ(walked, want) << where << " " << index;
        EXPECT_EQ(data.IndexManager().OpenIndex(c.ActiveIndexID)->CheckIntegrity(0),
                  static_cast<int64_t>(want.size()));
      }
      c.SetIndexName("");
      EXPECT_EQ(data.GetRecordCount(0), static_cast<int64_t>(want.size()));
    };
    int failures = 0;
    for (int32_t code = 0; code < 3000 && failures < 3; ++code) {
      db.pages.armed = code % 3 == 0;
      const std::string name = std::string(15, static_cast<char>('a' + code % 26)) + std::to_string(code);
      const int32_t code_of = CodeOf([&] { ASSERT_EQ(table.Insert({code, name, code % 11, "bb", 50}), roOK); });
      db.pages.armed = false;
      if (code_of == 0) {
        ids.push_back(*Fields(c).Int("ID"));
        continue;
      }
      ASSERT_EQ(code_of, 20064);
      ++failures;
      check_whole("insert " + std::to_string(code));
    }
    EXPECT_EQ(failures, 3);
    failures = 0;
    for (int round = 0; round < 3000 && failures < 3; ++round) {
      ASSERT_TRUE(data.SetRecordNoInStorageOrder(&c, 1 + (round * 7919) % static_cast<int64_t>(ids.size())));
      ASSERT_EQ(c.BeginEdit(), roOK);
      const std::string name = std::string(14, static_cast<char>('A' + round % 26)) + "#" + std::to_string(round);
      Fields(c).SetText("Name", name);
      Fields(c).SetInt("Code", 5000 + round);
      db.pages.armed = round % 2 == 1;
      const int32_t code_of = CodeOf([&] { ASSERT_EQ(c.PostEdit(), roOK) << c.LastMessage << name; });
      db.pages.armed = false;
      if (code_of == 0) continue;
      ASSERT_EQ(code_of, 20064);
      ++failures;
      ASSERT_EQ(c.ReadCurrent(), grrFound);
      EXPECT_TRUE(data.FieldManager().Layout().CompareRecordImages(c.CurrentRecord, c.RecordBeforeEdit));
      check_whole("update " + std::to_string(round));
    }
    EXPECT_EQ(failures, 3);
    check_whole("end");
    session.InTransaction = false;
    EXPECT_FALSE(db.pages.SessionHasChanges(0));
    c.Close();
  }
}

TEST(MemoryTableRegistry, CursorsOutliveTheirRegistry) {
  TABSBaseSession session(0);
  auto db = std::make_unique<TABSMemoryDatabaseData>();
  auto table = std::make_unique<StandardTable>(*db, session);
  ASSERT_EQ(table->Insert({1, "a", 1, "b", 10}), roOK);
  const int32_t id = db->GetNextObjectID();
  EXPECT_EQ(db->GetNextObjectID(), id + 1);
  db.reset();
  EXPECT_FALSE(table->cursor->IsOpen());
  EXPECT_EQ(table->cursor->CurrentRecord, nullptr);
  table->cursor->Close();
}

TEST(MemoryTableThreads, TwoSessionsInsertAndReadOneTable) {
  TABSMemoryDatabaseData db;
  TABSBaseSession first(0);
  StandardTable table(db, first);
  constexpr int kEach = 300;
  auto work = [&](int32_t session_id) {
    TABSBaseSession session(session_id);
    TABSLocalCursor c(&session, "T");
    c.Open(db);
    for (int i = 0; i < kEach; ++i) {
      const int32_t code = session_id * 100000 + i;
      ASSERT_EQ(StandardTable::Insert(c, {code, "s" + std::to_string(code), i % 13, "t", 10 + i}), roOK);
      if (i % 50 == 0) {
        c.SetIndexName("PK");
        (void)WalkInts(c, "Code");
        c.SetIndexName("");
      }
    }
  };
  std::thread a(work, 1), b(work, 2);
  a.join();
  b.join();
  TABSCursor& c = *table.cursor;
  EXPECT_EQ(c.TableData()->GetRecordCount(0), 2 * kEach);
  for (const char* index : {"PK", "UName", "AB"}) {
    c.SetIndexName(index);
    EXPECT_EQ(WalkInts(c, "Code").size(), static_cast<size_t>(2 * kEach)) << index;
  }
  c.SetIndexName("PK");
  const std::vector<int64_t> codes = WalkInts(c, "Code");
  EXPECT_TRUE(std::is_sorted(codes.begin(), codes.end()));
}

}  // namespace
}  // namespace dadoveri
