// Tables in a database file: record pages and their slots, the RecordPageIndex, navigation
// in storage order, the header block across commits, rollbacks and reopens, repair, and
// dropping a table whose storage is damaged.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "engine/database/local_cursor.h"
#include "engine/base/engine_error.h"
#include "engine/database/disk_database_data.h"
#include "engine/database/disk_table_data.h"
#include "engine/database/table_lock_manager.h"
#include "engine/database/table_locks_file.h"
#include "engine/database/table_storage_check.h"
#include "engine/storage/internal_file.h"
#include "engine/table/session.h"
#include "engine/table/table_metadata.h"
#include "tests/engine/database/memory_table_schema.h"
#include "tests/engine/test_support.h"

namespace dadoveri {
namespace {

using testing::CodeOf;
using testing::Fields;
using testing::Row;
using testing::StandardTable;
using testing::TempFolder;
using testing::WalkInts;

// A database file with one connection and its engine session.
class DiskTable {
 public:
  explicit DiskTable(uint16_t page_size = 4096, TABSPassword password = {}, bool exclusive = false)
      : password_(std::move(password)), exclusive_(exclusive) {
    name_ = folder_.File("t.dat");
    TABSDiskDatabaseData maker(name_);
    maker.CreateSettings.PageSize = page_size;
    maker.CreateSettings.Password = password_;
    maker.CreateDatabase();
    Connect();
  }
  ~DiskTable() { Disconnect(); }

  void Connect() {
    db_ = std::make_unique<TABSDiskDatabaseData>(name_);
    TABSConnectOptions options;
    options.Password = password_;
    options.DurableCommits = false;
    options.Exclusive = exclusive_;
    session_ = std::make_unique<TABSBaseSession>(db_->Connect(options));
  }
  void Disconnect() {
    cursor_.reset();
    if (db_ && session_) db_->Disconnect(session_->SessionID);
    session_.reset();
    db_.reset();
  }
  void Reopen() {
    Disconnect();
    Connect();
    Open();
  }
  TABSCursor& Create() {
    table_ = std::make_unique<StandardTable>(*db_, *session_);
    cursor_ = std::move(table_->cursor);
    return *cursor_;
  }
  TABSCursor& Open(const std::string& name = "T") {
    cursor_ = std::make_unique<TABSLocalCursor>(session_.get(), name);
    cursor_->Open(*db_);
    return *cursor_;
  }
  void CloseCursor() { cursor_.reset(); }

  TABSDiskDatabaseData& db() { return *db_; }
  const std::string& file() const { return name_; }
  TABSBaseSession& session() { return *session_; }
  int32_t s() const { return session_->SessionID; }
  TABSCursor& cursor() { return *cursor_; }
  TABSDiskTableData& data() { return static_cast<TABSDiskTableData&>(*cursor_->TableData()); }

  // DeleteCurrent's outcome for the record `id`.
  int32_t DeleteAt(const TABSRecordID& id) {
    cursor_->Position = id;
    cursor_->AtBegin = cursor_->AtEnd = false;
    if (cursor_->ReadCurrent() != grrFound) return roDeleteDeleted;
    return cursor_->DeleteCurrent();
  }
  int32_t Insert(int32_t code) {
    return StandardTable::Insert(*cursor_, Row{code, "n" + std::to_string(code), code % 7, "b", 10 + code % 900});
  }

 private:
  TempFolder folder_;
  std::string name_;
  TABSPassword password_;
  bool exclusive_ = false;
  std::unique_ptr<TABSDiskDatabaseData> db_;
  std::unique_ptr<TABSBaseSession> session_;
  std::unique_ptr<StandardTable> table_;
  std::unique_ptr<TABSCursor> cursor_;
};

// Rewrites a page of the file in the system session (damage made on purpose).
template <typename Fn>
void DamagePage(TABSDiskDatabaseData& db, int32_t page_no, Fn&& change) {
  TABSPageHandle page = db.DiskPageManager().GetPage(kSystemSession, page_no);
  change(page.MutableBuffer());
  page.Release();
  db.DiskPageManager().CommitPages(kSystemSession);
}

TEST(RecordsPerPage, FollowsTheSlotAndBitmapFormula) {
  struct Case {
    int32_t data_size, record_size, expected;
  } cases[] = {
      {4056, 100, 40},     // 4096-byte pages
      {4056, 1, 3604},     // (4055 / 1.125)
      {984, 100, 9},       // 1024-byte pages
      {8152, 100, 81},     // 8192-byte pages
      {4056, 4055, 0},     // the bitmap byte leaves no room
      {4056, 4056, 0},     // a record as large as the data area
      {4056, 10000, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(RecordsPerPage(c.data_size, c.record_size), c.expected) << c.data_size << "/" << c.record_size;
    if (c.expected == 0) {
      EXPECT_EQ(CodeOf([&] { CheckedRecordsPerPage(c.data_size, c.record_size); }), 20174);
    }
  }
}

TEST(DiskTableData, RecordTooLargeForAPageIsRefusedAndLeavesNoTable) {
  DiskTable t;
  TABSCursor& c = t.Open("Big");
  TABSFieldDefs fields;
  testing::AddField(fields, "Text", ctString, 4100);
  EXPECT_EQ(CodeOf([&] { c.TableData()->CreateTable(&c, fields, {}, {}); }), 20174);
  EXPECT_FALSE(t.db().TableExists("Big"));
  EXPECT_EQ(CodeOf([&] { c.TableData()->CreateTable(&c, TABSFieldDefs(), {}, {}); }), 20128);
}

TEST(DiskTableData, PagesFillSlotByNumberAndEmptyPagesAreFreed) {
  DiskTable t;
  TABSCursor& c = t.Create();
  TABSDiskRecordManager& records = t.data().Records();
  const int32_t n = records.RecordsPerPage();
  ASSERT_EQ(n, RecordsPerPage(4056, t.data().FieldManager().Layout().StoredRecordSize()));
  std::vector<TABSRecordID> ids;
  for (int32_t i = 0; i <= n; ++i) {
    ASSERT_EQ(t.Insert(i), roOK);
    ids.push_back(c.Position);
  }
  // The (n + 1)-th record opens a second page at slot 0.
  EXPECT_EQ(ids[0].SlotNo, 0);
  EXPECT_EQ(ids[n - 1].PageNo, ids[0].PageNo);
  EXPECT_EQ(ids[n - 1].SlotNo, n - 1);
  EXPECT_NE(ids[n].PageNo, ids[0].PageNo);
  EXPECT_EQ(ids[n].SlotNo, 0);
  EXPECT_EQ(records.PageIndex().PageCount(t.s()), 2);
  EXPECT_EQ(t.data().HighestPhysicalRecordNo(t.s()),
            (int64_t{std::max(ids[0].PageNo, ids[n].PageNo)} + 1) * n);

  // Record numbers and identifiers map both ways through the index.
  for (int64_t k : {int64_t{1}, int64_t{n}, int64_t{n + 1}}) {
    TABSRecordID id;
    ASSERT_TRUE(records.RecordIDOfRecordNo(t.s(), k, id));
    EXPECT_EQ(records.RecordNoOfRecordID(t.s(), id), k);
  }
  EXPECT_EQ(t.data().RecordIDOfOrdinal(t.data().RecordOrdinal(ids[n])).PageNo, ids[n].PageNo);
  EXPECT_EQ(records.GetApproximateRecordNo(t.s(), ids[3]), (n + 1) / 2);

  // Deleting the only record of the second page frees it.
  ASSERT_EQ(t.DeleteAt(ids[n]), roOK);
  EXPECT_EQ(records.PageIndex().PageCount(t.s()), 1);
  EXPECT_EQ(records.PageIndex().Find(t.s(), ids[n].PageNo), -1);

  // A freed slot is taken again before a new page; a deleted record reads as not found.
  ASSERT_EQ(t.DeleteAt(ids[5]), roOK);
  c.Position = ids[5];
  EXPECT_EQ(c.ReadCurrent(), grrNotFound);
  ASSERT_EQ(t.Insert(1000), roOK);
  EXPECT_EQ(c.Position.PageNo, ids[5].PageNo);
  EXPECT_EQ(c.Position.SlotNo, ids[5].SlotNo);
  EXPECT_EQ(records.PageIndex().PageCount(t.s()), 1);
}

TEST(DiskTableData, NavigationReachesBothEnds) {
  DiskTable t;
  TABSCursor& c = t.Create();
  TABSRecordGetRequest request;
  for (auto mode : {grmNext, grmPrior, grmCurrent}) {
    request = {};
    request.Mode = mode;
    request.GoToFirst = true;
    t.data().RecordManager().GetRecord(t.s(), request);
    EXPECT_EQ(request.Result, grrEndReached) << "empty table, mode " << int(mode);
  }
  for (int32_t i = 1; i <= 7; ++i) ASSERT_EQ(t.Insert(i), roOK);
  EXPECT_EQ(WalkInts(c, "Code"), (std::vector<int64_t>{1, 2, 3, 4, 5, 6, 7}));
  EXPECT_EQ(WalkInts(c, "Code", true), (std::vector<int64_t>{7, 6, 5, 4, 3, 2, 1}));
  EXPECT_EQ(t.data().RecordManager().GetApproximateRecordNo(t.s(), c.Position), 3);

  struct Case {
    TABSGetRecordMode mode;
    bool first, last;
    TABSGetRecordResult expected;
  } cases[] = {
      {grmNext, true, false, grrFound},     {grmPrior, true, false, grrBeginReached},
      {grmCurrent, true, false, grrNotFound}, {grmPrior, false, true, grrFound},
      {grmNext, false, true, grrEndReached}, {grmCurrent, false, true, grrNotFound},
  };
  for (const Case& k : cases) {
    request = {};
    request.Mode = k.mode;
    request.GoToFirst = k.first;
    request.GoToLast = k.last;
    t.data().RecordManager().GetRecord(t.s(), request);
    EXPECT_EQ(request.Result, k.expected) << int(k.mode) << k.first << k.last;
  }
  // From the last record forward is the end; from the first backward the beginning.
  request = {};
  request.Mode = grmPrior;
  request.GoToLast = true;
  t.data().RecordManager().GetRecord(t.s(), request);
  request.Mode = grmNext;
  t.data().RecordManager().GetRecord(t.s(), request);
  EXPECT_EQ(request.Result, grrEndReached);
  request = {};
  request.Mode = grmNext;
  request.GoToFirst = true;
  t.data().RecordManager().GetRecord(t.s(), request);
  request.Mode = grmPrior;
  t.data().RecordManager().GetRecord(t.s(), request);
  EXPECT_EQ(request.Result, grrBeginReached);
}

// A record page is taken for the table only while its type and owner say so; a repair
// takes any page.
TEST(DiskTableData, PageOfAnotherOwnerOrTypeIsNotARecordPageOfTheTable) {
  struct Case {
    const char* what;
    void (*damage)(uint8_t*);
  } cases[] = {
      {"owner", [](uint8_t* p) { page_header::SetOwnerObjectID(p, page_header::OwnerObjectID(p) + 1000); }},
      {"type", [](uint8_t* p) { page_header::SetPageType(p, ptTableBlob); }},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    DiskTable t;
    TABSCursor& c = t.Create();
    ASSERT_EQ(t.Insert(1), roOK);
    ASSERT_EQ(t.Insert(2), roOK);
    const TABSRecordID id = c.Position;
    DamagePage(t.db(), id.PageNo, k.damage);
    TABSDiskRecordManager& records = t.data().Records();
    std::vector<uint8_t> record(static_cast<size_t>(t.data().MemoryRecordSize()));
    EXPECT_FALSE(t.data().ReadRecord(t.s(), id, record.data()));
    EXPECT_FALSE(records.UpdateRecord(t.s(), record.data(), id));
    EXPECT_FALSE(records.DeleteRecord(t.s(), id));
    TABSRecordGetRequest request;
    request.Mode = grmNext;
    request.RecordID = TABSRecordID{id.PageNo, 0};
    request.RecordBuffer = record.data();
    records.GetRecord(t.s(), request);
    EXPECT_EQ(request.Result, grrEndReached);
    records.Repairing = true;
    EXPECT_TRUE(t.data().ReadRecord(t.s(), id, record.data()));
  }
}

TEST(DiskTableData, RecordsAndCountersSurviveReopen) {
  DiskTable t(1024, {"secret", 4});
  t.Create();
  for (int32_t i = 0; i < 40; ++i) ASSERT_EQ(t.Insert(i * 3), roOK);
  Fields f(t.cursor());
  const int64_t last_id = f.Int("ID").value();
  t.Reopen();
  EXPECT_EQ(t.data().GetRecordCount(t.s()), 40);
  t.cursor().SetIndexName("PK");
  const std::vector<int64_t> codes = WalkInts(t.cursor(), "Code");
  ASSERT_EQ(codes.size(), 40u);
  for (size_t i = 0; i < codes.size(); ++i) EXPECT_EQ(codes[i], static_cast<int64_t>(i) * 3);
  ASSERT_EQ(t.Insert(1000), roOK);
  EXPECT_EQ(Fields(t.cursor()).Int("ID").value(), last_id + 1);
}

// A rollback leaves the counters the table had before the transaction; the in-memory
// change counter still moves on, so that no bitmap built inside the transaction passes
// for current.
TEST(DiskTableData, RollbackRestoresRecordCountAndCountersFromTheHeader) {
  DiskTable t;
  TABSCursor& c = t.Create();
  for (int32_t i = 0; i < 3; ++i) ASSERT_EQ(t.Insert(i), roOK);
  TABSDiskRecordManager& records = t.data().Records();
  const int32_t table_counter = records.TableCounter;
  const int64_t autoinc = t.data().FieldManager().LastAutoinc()[0];
  t.session().InTransaction = true;
  for (int32_t i = 10; i < 15; ++i) ASSERT_EQ(t.Insert(i), roOK);
  const int32_t change_counter = records.ChangeCounter;
  t.session().InTransaction = false;
  t.db().RollbackSession(t.s());
  EXPECT_EQ(t.data().GetRecordCount(t.s()), 3);
  EXPECT_EQ(records.TableCounter, table_counter);
  EXPECT_EQ(t.data().FieldManager().LastAutoinc()[0], autoinc);
  EXPECT_GT(records.ChangeCounter, change_counter);
  EXPECT_EQ(WalkInts(c, "Code"), (std::vector<int64_t>{0, 1, 2}));
  ASSERT_EQ(t.Insert(20), roOK);
  t.Reopen();
  EXPECT_EQ(t.data().GetRecordCount(t.s()), 4);
  EXPECT_EQ(WalkInts(t.cursor(), "Code"), (std::vector<int64_t>{0, 1, 2, 20}));
}

// In a file no other process changes, a table stays open when its last cursor closes (the
// next use reads no metadata again); in a multi-user file another process may change it
// meanwhile, so it closes. Kept tables follow rollbacks and stay bounded in number.
TEST(DiskTableData, AnUnusedTableStaysOpenOnlyInAFileNoOtherProcessChanges) {
  for (const bool exclusive : {false, true}) {
    SCOPED_TRACE(exclusive ? "exclusive" : "multi-user");
    DiskTable t(4096, {}, exclusive);
    t.Create();
    for (int32_t i = 0; i < 3; ++i) ASSERT_EQ(t.Insert(i), roOK);
    t.CloseCursor();
    EXPECT_EQ(t.db().OpenTableCount(), exclusive ? 1 : 0);
    // Rows inserted in a transaction through a cursor closed before the rollback.
    t.Open();
    t.session().InTransaction = true;
    for (int32_t i = 10; i < 15; ++i) ASSERT_EQ(t.Insert(i), roOK);
    t.CloseCursor();
    t.session().InTransaction = false;
    t.db().RollbackSession(t.s());
    t.Open();
    EXPECT_EQ(t.data().GetRecordCount(t.s()), 3);
    EXPECT_EQ(WalkInts(t.cursor(), "Code"), (std::vector<int64_t>{0, 1, 2}));
    ASSERT_EQ(t.Insert(20), roOK);
    t.CloseCursor();
    // A dropped table is closed whatever the file.
    t.Open();
    t.data().DropTable(&t.cursor(), false);
    t.CloseCursor();
    EXPECT_EQ(t.db().OpenTableCount(), 0);
    EXPECT_FALSE(t.db().TableExists("T"));
  }
  // Many tables used in turn: the ones used first are closed again, and each still reads.
  DiskTable t(4096, {}, true);
  for (int32_t n = 0; n < 24; ++n) {
    StandardTable table(t.db(), t.session(), "T" + std::to_string(n));
    ASSERT_EQ(table.Insert(Row{n, "x", 1, "b", 10}), roOK);
  }
  EXPECT_LE(t.db().OpenTableCount(), 16);
  for (int32_t n = 0; n < 24; ++n) {
    TABSCursor& c = t.Open("T" + std::to_string(n));
    EXPECT_EQ(WalkInts(c, "Code"), (std::vector<int64_t>{n}));
    t.CloseCursor();
  }
  EXPECT_LE(t.db().OpenTableCount(), 16);
}

TEST(DiskTableData, RepairRebuildsTheIndexFromLivePagesOnly) {
  DiskTable t(1024);
  t.Create();
  for (int32_t i = 0; i < 60; ++i) ASSERT_EQ(t.Insert(i), roOK);
  // Emptying frees the pages, which keep their type and owner.
  t.data().EmptyTable(&t.cursor());
  for (int32_t i = 100; i < 105; ++i) ASSERT_EQ(t.Insert(i), roOK);
  // The header now lies about the count: a repair open must notice and rebuild.
  t.data().Records().RecordCount = 50;
  t.data().CommitChanges(t.s(), false);
  t.CloseCursor();

  TABSDiskTableData repaired(&t.db(), "T");
  repaired.OpenTable(t.s(), true);
  EXPECT_EQ(repaired.GetRecordCount(t.s()), 5);
  EXPECT_EQ(repaired.Records().PageIndex().TotalCount(t.s()), 5);
  // The rebuild was stored: a plain open agrees.
  t.Open();
  EXPECT_EQ(t.data().GetRecordCount(t.s()), 5);
  EXPECT_EQ(WalkInts(t.cursor(), "Code"), (std::vector<int64_t>{100, 101, 102, 103, 104}));

  t.data().Records().RebuildPageIndex(t.s(), "T");
  EXPECT_EQ(t.data().GetRecordCount(t.s()), 5);
  t.data().CommitChanges(t.s(), false);
}

TEST(DiskTableData, RepairMarksTheRecordPagesItKeepsAsUsed) {
  DiskTable t(1024);
  t.Create();
  for (int32_t i = 0; i < 40; ++i) ASSERT_EQ(t.Insert(i), roOK);
  const int32_t first = t.data().Records().PageIndex().First(t.s());
  ASSERT_GE(first, 0);
  ASSERT_GE(t.data().Records().PageIndex().Next(t.s(), first), 0) << "the table needs more than one record page";
  // A map that lost the page (as after a crash between the page and its map bit): the
  // header disagrees too, so that the repair open rebuilds the index.
  t.db().DiskPageManager().FreeSpace().ReleasePage(first);
  ASSERT_FALSE(t.db().DiskPageManager().FreeSpace().IsPageUsed(first));
  t.data().Records().RecordCount = 7;
  t.data().CommitChanges(t.s(), false);
  t.CloseCursor();

  TABSDiskTableData repaired(&t.db(), "T");
  repaired.OpenTable(t.s(), true);
  EXPECT_EQ(repaired.GetRecordCount(t.s()), 40);
  EXPECT_TRUE(t.db().DiskPageManager().FreeSpace().IsPageUsed(first));
  // New pages no longer land on the kept one.
  t.Open();
  for (int32_t i = 40; i < 80; ++i) ASSERT_EQ(t.Insert(i), roOK);
  std::vector<int64_t> expected(80);
  for (int32_t i = 0; i < 80; ++i) expected[static_cast<size_t>(i)] = i;
  std::vector<int64_t> codes = WalkInts(t.cursor(), "Code");
  std::sort(codes.begin(), codes.end());
  EXPECT_EQ(codes, expected);
}

TEST(DiskTableData, DropOfADamagedTableStillRemovesIt) {
  DiskTable t;
  t.Create();
  for (int32_t i = 0; i < 5; ++i) ASSERT_EQ(t.Insert(i), roOK);
  t.CloseCursor();
  const TABSTableListEntry entry = t.db().TableList().Find("T");
  DamagePage(t.db(), entry.MetadataStartPageNo, [](uint8_t* p) { std::memset(p + kPageHeaderSize, 0x5A, 64); });
  EXPECT_NE(CodeOf([&] { t.Open(); }), 0);
  t.CloseCursor();
  EXPECT_NE(CodeOf([&] { t.db().DropTable(t.s(), "T"); }), 0);
  EXPECT_FALSE(t.db().TableExists("T"));
  // The name is free again, also after reopening the file.
  t.Disconnect();
  t.Connect();
  EXPECT_FALSE(t.db().TableExists("T"));
  t.Create();
  ASSERT_EQ(t.Insert(1), roOK);
}

TEST(DiskTableData, DropEmptyAndRenameThroughTheTable) {
  DiskTable t;
  TABSCursor& c = t.Create();
  for (int32_t i = 0; i < 30; ++i) ASSERT_EQ(t.Insert(i), roOK);
  t.data().EmptyTable(&c);
  EXPECT_EQ(t.data().GetRecordCount(t.s()), 0);
  EXPECT_EQ(t.data().Records().PageIndex().PageCount(t.s()), 0);
  ASSERT_EQ(t.Insert(7), roOK);
  t.data().RenameTable(&c, "U");
  EXPECT_TRUE(t.db().TableExists("U"));
  EXPECT_FALSE(t.db().TableExists("T"));
  t.CloseCursor();
  t.Disconnect();
  t.Connect();
  TABSCursor& u = t.Open("U");
  EXPECT_EQ(WalkInts(u, "Code"), (std::vector<int64_t>{7}));
  const int32_t pages_before = t.db().DiskPageManager().GetTotalPageCount();
  t.data().DropTable(&u, false);
  EXPECT_FALSE(t.db().TableExists("U"));
  EXPECT_TRUE(t.data().Dropped());
  // A new table of the same size reuses the freed pages.
  t.CloseCursor();
  t.Create();
  ASSERT_EQ(t.Insert(1), roOK);
  EXPECT_LE(t.db().DiskPageManager().GetTotalPageCount(), pages_before);
}

TEST(DiskTableData, IndexesAddedAndDroppedAreStoredWithTheTable) {
  DiskTable t;
  t.Create();
  for (int32_t i : {5, 1, 9, 3}) ASSERT_EQ(t.Insert(i), roOK);
  TABSIndexDef by_q;
  by_q.Name = "ByQ";
  by_q.Columns = {{"Q", true}};
  const int32_t id = t.data().AddIndex(&t.cursor(), by_q);
  t.Reopen();
  t.cursor().SetIndexName("ByQ");
  ASSERT_EQ(t.cursor().ActiveIndexID, id);
  EXPECT_EQ(WalkInts(t.cursor(), "Code"), (std::vector<int64_t>{9, 5, 3, 1}));
  ASSERT_EQ(t.Insert(7), roOK);
  EXPECT_EQ(WalkInts(t.cursor(), "Code"), (std::vector<int64_t>{9, 7, 5, 3, 1}));
  t.data().DropIndex(&t.cursor(), id);
  t.data().RenameField("A", "Alpha");
  t.Reopen();
  EXPECT_EQ(t.data().IndexManager().IndexDefs.Find("ByQ"), nullptr);
  EXPECT_EQ(t.data().GetRecordCount(t.s()), 5);
  EXPECT_GE(t.data().FieldDefs().IndexOf("Alpha"), 0);
  EXPECT_LT(t.data().FieldDefs().IndexOf("A"), 0);
  t.cursor().SetIndexName("AB");
  EXPECT_EQ(WalkInts(t.cursor(), "Alpha").size(), 5u);
}

TEST(DiskTableData, OversizedHeaderBlockIsRefusedUnlessRepairing) {
  DiskTable t;
  t.Create();
  for (int32_t i = 0; i < 3; ++i) ASSERT_EQ(t.Insert(i), roOK);
  t.CloseCursor();
  const TABSTableListEntry entry = t.db().TableList().Find("T");
  {
    TABSInternalDBTransactedAccessFile most_updated(t.db().DiskPageManager());
    most_updated.OpenFile(entry.MostUpdatedStartPageNo, ptTableMostUpdated);
    const std::vector<uint8_t> junk(2000, 1);
    most_updated.WriteFile(kSystemSession, junk.data(), static_cast<int32_t>(junk.size()));
    t.db().DiskPageManager().CommitPages(kSystemSession);
  }
  EXPECT_EQ(CodeOf([&] { t.Open(); }), 20164);
  t.CloseCursor();
  TABSDiskTableData repaired(&t.db(), "T");
  repaired.OpenTable(t.s(), true);
  EXPECT_EQ(repaired.GetRecordCount(t.s()), 3);
  t.Open();
  EXPECT_EQ(WalkInts(t.cursor(), "Code"), (std::vector<int64_t>{0, 1, 2}));
  // The lost autoincrement counter restarts above the values in the table.
  const std::vector<int64_t> ids = WalkInts(t.cursor(), "ID");
  ASSERT_EQ(t.Insert(3), roOK);
  EXPECT_EQ(Fields(t.cursor()).Int("ID").value(), *std::max_element(ids.begin(), ids.end()) + 1);
}

// Two registries of one file stand for two processes: their byte locks conflict.
TEST(DiskTableData, ExclusiveAndSharedOpensTakeTableLocks) {
  DiskTable t;
  t.Create();
  TABSDiskDatabaseData other(t.file());
  const int32_t other_session_id = other.Connect({});
  other.OpenLockAttempts = {2, 1};
  t.db().OpenLockAttempts = {2, 1};
  TABSBaseSession other_session(other_session_id);
  auto open = [](TABSBaseSession& session, TABSDatabaseData& db, bool exclusive) {
    auto c = std::make_unique<TABSLocalCursor>(&session, "T");
    c->Exclusive = exclusive;
    c->Open(db);
    return c;
  };
  {
    // This process has the table open: an exclusive cursor of its own is refused, and
    // so is one of the other process; shared opens are not.
    EXPECT_EQ(CodeOf([&] { open(t.session(), t.db(), true); }), 20242);
    EXPECT_EQ(CodeOf([&] { open(other_session, other, true); }), 20208);
    auto shared = open(other_session, other, false);
    EXPECT_EQ(shared->TableData()->GetRecordCount(other_session_id), 0);
  }
  t.CloseCursor();
  {
    auto exclusive = open(t.session(), t.db(), true);
    EXPECT_EQ(CodeOf([&] { open(other_session, other, false); }), 20209);
  }
  // Closing the exclusive cursor released its lock.
  auto shared = open(other_session, other, false);
  shared.reset();
  other.Disconnect(other_session_id);
}

// A record page cached by one process is checked against the file before it is read again.
TEST(DiskTableData, RecordChangedByAnotherProcessIsReadAfresh) {
  DiskTable t;
  TABSCursor& c = t.Create();
  ASSERT_EQ(t.Insert(1), roOK);
  const TABSRecordID id = c.Position;
  TABSDiskDatabaseData other(t.file());
  const int32_t other_session_id = other.Connect({});
  {
    TABSBaseSession other_session(other_session_id);
    TABSLocalCursor reader(&other_session, "T");
    reader.Open(other);
    Fields f(reader);
    reader.Position = id;
    reader.AtBegin = false;
    ASSERT_EQ(reader.ReadCurrent(), grrFound);
    EXPECT_EQ(f.Int("Q"), 11);
    ASSERT_EQ(c.ReadCurrent(), grrFound);
    ASSERT_EQ(c.BeginEdit(), roOK);
    Fields(c).SetInt("Q", 500);
    ASSERT_EQ(c.PostEdit(), roOK);
    ASSERT_EQ(reader.ReadCurrent(), grrFound);
    EXPECT_EQ(f.Int("Q"), 500);
  }
  other.Disconnect(other_session_id);
}

// Two processes on one table: each sees what the other committed (counts, storage order,
// the primary-key index), neither overwrites the other's counters, and a write lock of
// one refuses the other's reads.
TEST(DiskTableData, ProcessesSeeEachOthersCommittedChanges) {
  DiskTable t(1024);
  t.Create();
  TABSDiskDatabaseData other(t.file());
  const int32_t other_session_id = other.Connect({});
  other.ReadLockAttempts = {2, 1};
  {
    TABSBaseSession other_session(other_session_id);
    TABSLocalCursor b(&other_session, "T");
    b.Open(other);
    TABSTableData& b_data = *b.TableData();
    EXPECT_EQ(b_data.GetRecordCount(other_session_id), 0);
    std::vector<int64_t> codes;
    for (int32_t i = 0; i < 50; ++i) {
      ASSERT_EQ(t.Insert(i * 2), roOK);
      codes.push_back(i * 2);
    }
    EXPECT_EQ(b_data.GetRecordCount(other_session_id), 50);
    EXPECT_EQ(WalkInts(b, "Code"), codes);
    b.SetIndexName("PK");
    EXPECT_EQ(WalkInts(b, "Code"), codes);
    b.SetIndexName("");

    // The other process changes the table; this one sees it and keeps counting on top.
    ASSERT_EQ(StandardTable::Insert(b, Row{1, "b1", 1, "b", 20}), roOK);
    const int64_t b_id = Fields(b).Int("ID").value();
    EXPECT_EQ(t.data().GetRecordCount(t.s()), 51);
    ASSERT_EQ(t.Insert(3), roOK);
    EXPECT_GT(Fields(t.cursor()).Int("ID").value(), b_id);
    EXPECT_EQ(b_data.GetRecordCount(other_session_id), 52);
    t.cursor().SetIndexName("PK");
    const std::vector<int64_t> seen = WalkInts(t.cursor(), "Code");
    ASSERT_EQ(seen.size(), 52u);
    EXPECT_EQ(seen[0], 0);
    EXPECT_EQ(seen[1], 1);
    EXPECT_EQ(seen[2], 2);
    EXPECT_EQ(seen[3], 3);
    t.cursor().SetIndexName("");

    // While this process holds the table's write lock, the other's reads are refused.
    TABSTableLocksFile locks(t.db().DiskPageManager());
    locks.OpenFile(t.db().TableList().Find("T").LocksStartPageNo);
    ASSERT_TRUE(t.db().LockManager().LockTable(t.s(), ltWrite, locks));
    EXPECT_EQ(CodeOf([&] { b_data.GetRecordCount(other_session_id); }), 20214);
    b.GoToBegin();
    EXPECT_EQ(b.Step(grmNext), grrNotFound);
    ASSERT_TRUE(t.db().LockManager().UnlockTable(t.s(), ltWrite, locks));
    EXPECT_EQ(b_data.GetRecordCount(other_session_id), 52);
  }
  other.Disconnect(other_session_id);
}

// Two processes appending to one table in turn, on small pages so that the trees split
// often: each keeps its place at the end of the indexes and of the record page index
// between its own inserts, and must drop it once the other has appended. Every index
// stays whole and ordered, and both see every row in key order.
TEST(DiskTableData, ProcessesAppendingInTurnKeepTheIndexesWhole) {
  DiskTable t(1024);
  t.Create();
  TABSDiskDatabaseData other(t.file());
  const int32_t other_session_id = other.Connect({});
  std::vector<int64_t> codes;
  {
    TABSBaseSession other_session(other_session_id);
    TABSLocalCursor b(&other_session, "T");
    b.Open(other);
    int32_t code = 0;
    for (int32_t round = 0; round < 8; ++round) {
      // This process in a transaction in odd rounds, each insert committed in even ones.
      t.session().InTransaction = round % 2 == 1;
      for (int32_t i = 0; i < 25; ++i, ++code) {
        ASSERT_EQ(t.Insert(code), roOK);
        codes.push_back(code);
      }
      if (round % 2 == 1) {
        t.session().InTransaction = false;
        t.db().CommitSession(t.s(), false);
      }
      for (int32_t i = 0; i < 25; ++i, ++code) {
        ASSERT_EQ(StandardTable::Insert(b, Row{code, "n" + std::to_string(code), code % 7, "b", 10}), roOK);
        codes.push_back(code);
      }
    }
    b.SetIndexName("PK");
    EXPECT_EQ(WalkInts(b, "Code"), codes);
  }
  other.Disconnect(other_session_id);
  t.cursor().SetIndexName("PK");
  EXPECT_EQ(WalkInts(t.cursor(), "Code"), codes);
  t.cursor().SetIndexName("UName");
  EXPECT_EQ(WalkInts(t.cursor(), "Code").size(), codes.size());
  t.CloseCursor();
  TABSTableMetadata m;
  t.db().ReadTableMetadata(kSystemSession, "T", m);
  const TABSTableStorageReport report =
      CheckTableStorage(*t.db().PageManager(), kSystemSession, t.db().TableList().Find("T"), m);
  EXPECT_TRUE(report.Problems.empty()) << (report.Problems.empty() ? "" : report.Problems.front());
  EXPECT_EQ(report.RecordsFound, static_cast<int64_t>(codes.size()));
}

// A change waiting for the table's write lock while another process reads must not hold
// a read lock of its own meanwhile: the reader would then wait for it in turn as soon as
// it wants to write, and the two would block each other until one ran out of attempts.
// Here the other process reads, the change waits, and the reader then writes: both get
// through.
TEST(DiskTableData, AWaitingChangeHoldsNoReadLockThatBlocksAnotherWriter) {
  struct Case {
    const char* name;
    std::function<int32_t(DiskTable&, const TABSRecordID&)> change;
  };
  const Case cases[] = {
      {"insert", [](DiskTable& t, const TABSRecordID&) { return t.Insert(2); }},
      {"delete", [](DiskTable& t, const TABSRecordID& id) { return t.DeleteAt(id); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DiskTable t;
    t.Create();
    ASSERT_EQ(t.Insert(1), roOK);
    const TABSRecordID id = t.cursor().Position;
    // Enough attempts that the change outlasts the pause below on a slow machine.
    t.db().WriteLockAttempts = {250, 20};

    TABSDiskDatabaseData other(t.file());
    const int32_t o = other.Connect({});
    {
      TABSTableLocksFile locks(other.DiskPageManager());
      locks.OpenFile(other.TableList().Find("T").LocksStartPageNo);
      TABSDatabaseTableLockManager& m = other.LockManager();
      ASSERT_TRUE(m.LockTable(o, ltRead, locks, {1, 0}));

      int32_t result = -1;
      int32_t code = -1;
      std::thread changer([&] { code = CodeOf([&] { result = c.change(t, id); }); });
      // Lets the change start waiting; the outcome does not depend on it.
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      const bool written = m.LockTable(o, ltWrite, locks, {500, 20});
      if (written) m.UnlockTable(o, ltWrite, locks);
      m.UnlockTable(o, ltRead, locks);
      changer.join();
      EXPECT_TRUE(written);
      EXPECT_EQ(code, 0);
      EXPECT_EQ(result, roOK);
      locks.CloseFile();
    }
    other.Disconnect(o);
  }
}

// A read scope: the cursor's operations inside it share one read lock of the session,
// taken at the start and let go at the end, so that another process's change waits for
// the scope and goes through as soon as it ends. The shapes of call chains a scope may
// span (steps in storage and index order, a filtered search, counts and record numbers,
// nested scopes) all hold exactly that one lock.
TEST(DiskTableReadScope, OneReadLockForTheWholeScopeAndNoneAfter) {
  DiskTable t;
  t.Create();
  for (int32_t i = 0; i < 30; ++i) ASSERT_EQ(t.Insert(i), roOK);
  TABSDiskDatabaseData other(t.file());
  const int32_t o = other.Connect({});
  TABSTableLocksFile mine(t.db().DiskPageManager()), theirs(other.DiskPageManager());
  mine.OpenFile(t.db().TableList().Find("T").LocksStartPageNo);
  theirs.OpenFile(other.TableList().Find("T").LocksStartPageNo);
  TABSDatabaseTableLockManager& m = t.db().LockManager();
  struct Case {
    const char* name;
    std::function<void(TABSCursor&)> chain;
  };
  const Case cases[] = {
      {"storage order", [](TABSCursor& c) { EXPECT_EQ(WalkInts(c, "Code").size(), 30u); }},
      {"index order",
       [](TABSCursor& c) {
         c.SetIndexName("PK");
         EXPECT_EQ(WalkInts(c, "Code", true).front(), 29);
         c.SetIndexName("");
       }},
      {"filtered search",
       [](TABSCursor& c) {
         Fields f(c);
         c.SetFilterCallback([f](const void* r) { return f.Int("Code", r).value_or(0) % 3 == 0; });
         EXPECT_EQ(WalkInts(c, "Code").size(), 10u);
         EXPECT_EQ(c.GetRecordCount(), 10);
         c.SetFilterCallback(nullptr);
       }},
      {"counts and record numbers",
       [](TABSCursor& c) {
         EXPECT_EQ(c.GetRecordCount(), 30);
         c.SetRecordNo(7);
         EXPECT_EQ(c.GetRecordNo(), 7);
         EXPECT_EQ(c.GetRecord(grmCurrent), grrFound);
       }},
      {"nested scopes",
       [](TABSCursor& c) {
         {
           TABSTableReadScope inner(c);
           EXPECT_EQ(c.GetRecordCount(), 30);
         }
         EXPECT_EQ(WalkInts(c, "Code").size(), 30u);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    {
      TABSTableReadScope scope(t.cursor());
      EXPECT_EQ(m.LockCount(t.s(), ltRead, mine), 1);
      c.chain(t.cursor());
      EXPECT_EQ(m.LockCount(t.s(), ltRead, mine), 1) << "the operations inside took no lock of their own";
      EXPECT_FALSE(other.LockManager().LockTable(o, ltWrite, theirs, {1, 0})) << "a writer waits for the scope";
    }
    EXPECT_FALSE(m.HoldsLock(t.s(), ltRead, mine));
    ASSERT_TRUE(other.LockManager().LockTable(o, ltWrite, theirs, {1, 0})) << "and goes through once it ended";
    other.LockManager().UnlockTable(o, ltWrite, theirs);
  }
  // A cursor that is not open gets no scope.
  TABSLocalCursor closed(&t.session(), "T");
  { TABSTableReadScope none(closed); }
  mine.CloseFile();
  theirs.CloseFile();
  other.Disconnect(o);
}

// What another process commits while a scope lasts is refused; what it commits between
// two scopes is seen by the next one: the counters, new records in both orders, and a
// changed record whose page this process has cached.
TEST(DiskTableReadScope, AnotherProcessesCommitIsSeenAtTheNextScope) {
  DiskTable t;
  TABSCursor& c = t.Create();
  for (int32_t i = 0; i < 20; ++i) ASSERT_EQ(t.Insert(i * 2), roOK);
  TABSDiskDatabaseData other(t.file());
  other.WriteLockAttempts = {1, 0};
  const int32_t o = other.Connect({});
  {
    TABSBaseSession other_session(o);
    TABSLocalCursor writer(&other_session, "T");
    writer.Open(other);
    Fields f(c);
    c.SetIndexName("PK");
    std::vector<int64_t> before;
    {
      TABSTableReadScope scope(c);
      before = WalkInts(c, "Code");
      EXPECT_EQ(c.GetRecordCount(), 20);
      EXPECT_EQ(CodeOf([&] { StandardTable::Insert(writer, Row{5, "w5", 1, "b", 20}); }), 20217);
      EXPECT_EQ(WalkInts(c, "Code"), before) << "nothing of the refused change";
    }
    ASSERT_EQ(StandardTable::Insert(writer, Row{5, "w5", 1, "b", 20}), roOK);
    // The other process changes a record this one has read (its page is in the cache).
    writer.SetIndexName("PK");
    ASSERT_EQ(WalkInts(writer, "Code").size(), 21u);
    writer.GoToBegin();
    ASSERT_EQ(writer.Step(grmNext), grrFound);
    ASSERT_EQ(writer.BeginEdit(), roOK);
    Fields(writer).SetInt("Q", 777);
    ASSERT_EQ(writer.PostEdit(), roOK);
    {
      TABSTableReadScope scope(c);
      EXPECT_EQ(c.GetRecordCount(), 21);
      std::vector<int64_t> expected = before;
      expected.insert(expected.begin() + 3, 5);
      EXPECT_EQ(WalkInts(c, "Code"), expected);
      c.GoToBegin();
      ASSERT_EQ(c.Step(grmNext), grrFound);
      EXPECT_EQ(f.Int("Q"), 777);
      c.SetIndexName("");
      EXPECT_EQ(WalkInts(c, "Code").size(), 21u);
    }
  }
  other.Disconnect(o);
}

// A scope whose read lock is refused holds nothing: each operation inside asks for its
// own lock as it would outside a scope, and works once the other process let go.
TEST(DiskTableReadScope, ARefusedScopeLeavesEachOperationItsOwnLock) {
  DiskTable t;
  TABSCursor& c = t.Create();
  for (int32_t i = 0; i < 5; ++i) ASSERT_EQ(t.Insert(i), roOK);
  t.db().ReadLockAttempts = {2, 1};
  TABSDiskDatabaseData other(t.file());
  const int32_t o = other.Connect({});
  TABSTableLocksFile theirs(other.DiskPageManager()), mine(t.db().DiskPageManager());
  theirs.OpenFile(other.TableList().Find("T").LocksStartPageNo);
  mine.OpenFile(t.db().TableList().Find("T").LocksStartPageNo);
  ASSERT_TRUE(other.LockManager().LockTable(o, ltWrite, theirs, {1, 0}));
  {
    TABSTableReadScope scope(c);
    EXPECT_FALSE(t.db().LockManager().HoldsLock(t.s(), ltRead, mine));
    c.GoToBegin();
    EXPECT_EQ(c.Step(grmNext), grrNotFound);
    EXPECT_EQ(CodeOf([&] { c.GetRecordCount(); }), 20216);
    other.LockManager().UnlockTable(o, ltWrite, theirs);
    EXPECT_EQ(WalkInts(c, "Code").size(), 5u);
    EXPECT_FALSE(t.db().LockManager().HoldsLock(t.s(), ltRead, mine));
  }
  EXPECT_FALSE(t.db().LockManager().HoldsLock(t.s(), ltRead, mine));
  theirs.CloseFile();
  mine.CloseFile();
  other.Disconnect(o);
}

}  // namespace
}  // namespace dadoveri
