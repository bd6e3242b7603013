// BLOB values of file, in-memory and temporary tables: where a file table puts a value of
// each size, small pages shared and freed, empty and drop leaving no BLOB page behind,
// damaged pages failing the one value they hold (and found by the BLOB page checker),
// and values of in-memory tables surviving failed updates and deletes.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/database/local_cursor.h"
#include "engine/base/engine_error.h"
#include "engine/base/little_endian.h"
#include "engine/database/blob_storage_check.h"
#include "engine/database/disk_database_data.h"
#include "engine/database/disk_table_data.h"
#include "engine/database/memory_database_data.h"
#include "engine/database/temporary_database_data.h"
#include "engine/storage/page.h"
#include "engine/table/session.h"
#include "tests/engine/database/blob_table_schema.h"
#include "tests/engine/test_support.h"

namespace dadoveri {
namespace {

using testing::BlobBytes;
using testing::Fields;
using testing::GetBlob;
using testing::SetBlob;
using testing::TempFolder;

// Creates table "M" (Code INTEGER primary key, a raw BLOB "Raw" and a ZLIB memo "Z" of
// 1000-byte blocks) through `c`.
void CreateBlobTable(TABSCursor& c, TABSDatabaseData& db) {
  c.Open(db);
  TABSFieldDefs fields;
  TABSIndexDefs indexes;
  TABSConstraintDefs constraints;
  testing::AddField(fields, "Code", ctInteger);
  testing::AddBlobField(fields, testing::BlobColumns()[0]);
  testing::AddBlobField(fields, testing::BlobColumns()[1]);
  testing::AddIndex(indexes, "PK", {{"Code"}}, true, true);
  c.TableData()->CreateTable(&c, fields, indexes, constraints);
  c.RefreshDefinitions();
}

void Insert(TABSCursor& c, int32_t session, int32_t code, const std::string& raw, const std::string& z = {}) {
  c.NewRecord();
  Fields(c).SetInt("Code", code);
  SetBlob(c, session, "Raw", raw);
  SetBlob(c, session, "Z", z);
  ASSERT_EQ(c.PostInsert(), roOK) << c.LastMessage;
}

// Positions the cursor on the record with this code (storage order).
bool Seek(TABSCursor& c, int32_t code) {
  c.SetIndexName("");
  c.GoToBegin();
  while (c.Step(grmNext) == grrFound)
    if (Fields(c).Int("Code") == code) return true;
  return false;
}

// The code of the engine failure `f` raises; 0 when it raises none.
int32_t CodeOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const VODIDivodavir& e) {
    return e.NativeError;
  }
  return 0;
}

class BlobFile : public ::testing::Test {
 protected:
  void SetUp() override {
    name_ = folder_.File("b.dat");
    TABSDiskDatabaseData maker(name_);
    maker.CreateSettings.PageSize = 1024;
    maker.CreateDatabase();
    Connect();
    cursor_ = std::make_unique<TABSLocalCursor>(session_.get(), "M");
    CreateBlobTable(*cursor_, *db_);
  }
  void TearDown() override { Disconnect(); }

  void Connect() {
    db_ = std::make_unique<TABSDiskDatabaseData>(name_);
    TABSConnectOptions options;
    options.DurableCommits = false;
    session_ = std::make_unique<TABSBaseSession>(db_->Connect(options));
  }
  void Disconnect() {
    cursor_.reset();
    if (db_) db_->Disconnect(session_->SessionID);
    db_.reset();
  }
  int32_t s() const { return session_->SessionID; }
  TABSCursor& c() { return *cursor_; }
  TABSDiskTableData& data() { return static_cast<TABSDiskTableData&>(*cursor_->TableData()); }
  int32_t ds() { return db_->DiskPageManager().DataSize(); }

  TABSBlobReference ref_of(int32_t code, const char* field = "Raw") {
    EXPECT_TRUE(Seek(c(), code));
    const TABSRecordLayout& layout = data().FieldManager().Layout();
    return TABSBlobReference::Load(c().CurrentRecord + layout.Field(data().FieldDefs().IndexOf(field)).MemoryOffset);
  }
  // Changes the data area of a page and commits the change.
  void Patch(int32_t page_no, const std::function<void(uint8_t*)>& change) {
    TABSPageManager& pages = db_->DiskPageManager();
    {
      TABSPageHandle page = pages.GetPage(s(), page_no);
      change(page.MutableData());
    }
    pages.CommitPages(s());
  }
  std::vector<std::string> Check() {
    std::vector<std::string> problems;
    CheckBlobStorage(data(), s(), problems);
    return problems;
  }
  // Pages of the file that are live BLOB pages of the table with this ObjectID.
  int32_t BlobPagesOf(int32_t object_id) {
    TABSPageManager& pages = db_->DiskPageManager();
    int32_t count = 0;
    for (int32_t p = 1; p < pages.GetTotalPageCount(); ++p) {
      if (db_->DiskPageManager().IsMapPage(p)) continue;
      TABSPageHandle page = pages.GetPage(s(), p);
      if (page.PageType() == ptTableBlob && page.ModificationCounter() != kFreedPageCounter &&
          page_header::OwnerObjectID(page.Buffer()) == object_id)
        ++count;
    }
    return count;
  }

  TempFolder folder_;
  std::string name_;
  std::unique_ptr<TABSDiskDatabaseData> db_;
  std::unique_ptr<TABSBaseSession> session_;
  std::unique_ptr<TABSCursor> cursor_;
};

TEST_F(BlobFile, StoredLayoutFollowsTheSize) {
  const int32_t DS = ds();
  struct Case {
    const char* what;
    int32_t size;
    bool large;
    int32_t data_pages;
    bool list_on_own_page;
  };
  const Case cases[] = {
      {"one byte", 1, false, 0, false},
      {"L + 24 = DS - 1", DS - 25, false, 0, false},
      {"L + 24 = DS", DS - 24, true, 2, false},
      {"ends at the end of its second page", DS - 32 + DS, true, 2, true},
      {"one byte short of the page end", DS - 32 + DS - 1, true, 2, false},
      {"several pages", DS - 32 + 4 * DS + 17, true, 6, false},
  };
  std::mt19937 rng(7);
  std::vector<std::string> values;
  for (size_t i = 0; i < std::size(cases); ++i) {
    values.push_back(BlobBytes(rng, static_cast<size_t>(cases[i].size), true));
    Insert(c(), s(), static_cast<int32_t>(i), values.back());
  }
  for (size_t i = 0; i < std::size(cases); ++i) {
    const Case& k = cases[i];
    SCOPED_TRACE(k.what);
    const TABSBlobReference ref = ref_of(static_cast<int32_t>(i));
    EXPECT_EQ(ref.BlobID == -1, k.large);
    EXPECT_TRUE(GetBlob(c(), s(), "Raw") == values[i]);
    if (!k.large) continue;
    const TABSDiskBlobManager::LargeLayout layout = data().Blobs()->ReadLargeLayout(s(), ref.PageNo);
    EXPECT_EQ(static_cast<int32_t>(layout.DataPages.size()), k.data_pages);
    ASSERT_FALSE(layout.ListPages.empty());
    EXPECT_EQ(layout.ListPages.front() != layout.DataPages.back(), k.list_on_own_page);
  }
  // An empty value stores nothing: the field is NULL.
  Insert(c(), s(), 100, "");
  EXPECT_FALSE(ref_of(100).HasValue());
  EXPECT_EQ(GetBlob(c(), s(), "Raw"), "<null>");
  EXPECT_TRUE(Check().empty());
}

TEST_F(BlobFile, SmallValuesSharePagesAndTheLastOneFreesIt) {
  Insert(c(), s(), 1, std::string(100, 'a'));
  Insert(c(), s(), 2, std::string(200, 'b'));
  Insert(c(), s(), 3, std::string(300, 'c'));
  const int32_t page = ref_of(1).PageNo;
  EXPECT_EQ(ref_of(3).PageNo, page);
  TABSBTreeBlobPageIndex& index = data().Blobs()->Index();
  EXPECT_EQ(index.Find(s(), page), 600 + 3 * kBlobHeaderSize);
  // Removing the middle value moves the last one down; both others still read.
  ASSERT_TRUE(Seek(c(), 2));
  ASSERT_EQ(c().DeleteCurrent(), roOK);
  EXPECT_EQ(index.Find(s(), page), 400 + 2 * kBlobHeaderSize);
  ASSERT_TRUE(Seek(c(), 3));
  EXPECT_EQ(GetBlob(c(), s(), "Raw"), std::string(300, 'c'));
  EXPECT_TRUE(Check().empty());
  // Replacing the values frees the page once its last value is gone.
  for (int32_t code : {1, 3}) {
    ASSERT_TRUE(Seek(c(), code));
    ASSERT_EQ(c().BeginEdit(), roOK);
    SetBlob(c(), s(), "Raw", "");
    ASSERT_EQ(c().PostEdit(), roOK);
  }
  EXPECT_EQ(index.First(s()), -1);
  EXPECT_EQ(BlobPagesOf(data().ObjectID()), 0);
  EXPECT_TRUE(Check().empty());
}

TEST_F(BlobFile, EmptyAndDropLeaveNoBlobPage) {
  std::mt19937 rng(3);
  for (int32_t i = 0; i < 12; ++i)
    Insert(c(), s(), i, BlobBytes(rng, 1 + rng() % (3 * ds()), i % 2), BlobBytes(rng, rng() % 3000, false));
  const int32_t id = data().ObjectID();
  EXPECT_GT(BlobPagesOf(id), 0);
  data().EmptyTable(&c());
  EXPECT_EQ(BlobPagesOf(id), 0);
  EXPECT_TRUE(Check().empty());
  for (int32_t i = 0; i < 12; ++i) Insert(c(), s(), i, BlobBytes(rng, 1 + rng() % (3 * ds()), true), "memo");
  // The values stay across a reopen and are freed by the drop.
  Disconnect();
  Connect();
  cursor_ = std::make_unique<TABSLocalCursor>(session_.get(), "M");
  cursor_->Open(*db_);
  ASSERT_TRUE(Seek(c(), 5));
  EXPECT_EQ(GetBlob(c(), s(), "Z"), "memo");
  EXPECT_GT(BlobPagesOf(id), 0);
  EXPECT_TRUE(Check().empty());
  data().DropTable(&c(), false);
  EXPECT_EQ(BlobPagesOf(id), 0);
}

TEST_F(BlobFile, IdOf255ReadsEitherWay) {
  Insert(c(), s(), 1, std::string(100, 's'));
  Insert(c(), s(), 2, std::string(static_cast<size_t>(3 * ds()), 'L'));
  const TABSBlobReference small = ref_of(1), large = ref_of(2);
  int32_t offset = 0;
  {
    TABSPageHandle page = data().Blobs()->BlobPage(s(), small.PageNo);
    offset = TABSSmallBlobPage(page).Find(small.BlobID)->Offset;
  }
  Patch(small.PageNo, [&](uint8_t* d) { StoreLE<int16_t>(d + offset, kAmbiguousBlobID); });
  TABSDiskBlobManager& blobs = *data().Blobs();
  const TABSBlobReference refs[] = {{small.PageNo, kAmbiguousBlobID}, {large.PageNo, kAmbiguousBlobID}};
  const std::string values[] = {std::string(100, 's'), std::string(static_cast<size_t>(3 * ds()), 'L')};
  for (int i = 0; i < 2; ++i) {
    TABSBlobValue value;
    blobs.Read(s(), refs[i], value);
    EXPECT_TRUE(std::string(value.Stored.begin(), value.Stored.end()) == values[i]) << i;
    EXPECT_EQ(blobs.IsLarge(s(), refs[i]), i == 1);
  }
  for (const TABSBlobReference& ref : refs) blobs.Delete(s(), ref);
  db_->DiskPageManager().CommitPages(s());
  EXPECT_EQ(BlobPagesOf(data().ObjectID()), 0);
}

TEST_F(BlobFile, RestructureKeepsTheBlobIndex) {
  Insert(c(), s(), 1, "raw 1", "memo 1");
  const int32_t page = ref_of(1, "Z").PageNo;
  data().RenameField("Z", "Memo");
  TABSIndexDef index;
  index.Name = "ByRaw";
  index.Columns = {{"Code", true}};
  data().AddIndex(&c(), index);
  Disconnect();
  Connect();
  cursor_ = std::make_unique<TABSLocalCursor>(session_.get(), "M");
  cursor_->Open(*db_);
  c().NewRecord();
  Fields(c()).SetInt("Code", 2);
  SetBlob(c(), s(), "Memo", "memo 2");
  ASSERT_EQ(c().PostInsert(), roOK);
  // The BLOB index still knows the page with room.
  EXPECT_EQ(ref_of(2, "Memo").PageNo, page);
  ASSERT_TRUE(Seek(c(), 1));
  EXPECT_EQ(GetBlob(c(), s(), "Memo"), "memo 1");
  EXPECT_TRUE(Check().empty());
}

TEST_F(BlobFile, FieldStreamEditsTheStoredValue) {
  Insert(c(), s(), 1, "", "head ");
  ASSERT_TRUE(Seek(c(), 1));
  ASSERT_EQ(c().BeginEdit(), roOK);
  const int32_t z = data().FieldDefs().IndexOf("Z");
  std::unique_ptr<TABSBlobFieldStream> stream = data().OpenBlobStream(s(), z, c().CurrentRecord, false);
  stream->Value().Seek(0, TABSSeekOrigin::End);
  const std::string tail(2500, 't');
  stream->Value().Write(tail.data(), static_cast<int64_t>(tail.size()));
  data().StoreBlob(s(), c().CurrentRecord, *stream);
  // Until the record is posted the buffer reads its change, the stored record the old value.
  EXPECT_EQ(GetBlob(c(), s(), "Z"), "head " + tail);
  EXPECT_EQ(GetBlob(c(), s(), "Z", c().RecordBeforeEdit), "head ");
  ASSERT_EQ(c().PostEdit(), roOK);
  EXPECT_EQ(data().BlobCache().Count(), 0u);
  ASSERT_TRUE(Seek(c(), 1));
  EXPECT_EQ(GetBlob(c(), s(), "Z"), "head " + tail);
  EXPECT_TRUE(Check().empty());
}

TEST_F(BlobFile, BlockSizeZeroIsRefused) {
  data().FieldDefs().Item(2)->BlobBlockSize = 0;
  c().NewRecord();
  EXPECT_EQ(CodeOf([&] { data().OpenBlobStream(s(), 2, c().CurrentRecord, true); }), 20149);
}

TEST_F(BlobFile, CopiedRecordGetsItsOwnValue) {
  Insert(c(), s(), 1, std::string(3000, 'x'), "shared memo");
  ASSERT_TRUE(Seek(c(), 1));
  // A record built from another's buffer carries the other's references.
  std::vector<uint8_t> copy(c().CurrentRecord, c().CurrentRecord + data().MemoryRecordSize());
  c().NewRecord();
  std::copy(copy.begin(), copy.end(), c().CurrentRecord);
  Fields(c()).SetInt("Code", 2);
  ASSERT_EQ(c().PostInsert(), roOK);
  EXPECT_NE(ref_of(2).PageNo, ref_of(1).PageNo);
  ASSERT_TRUE(Seek(c(), 1));
  ASSERT_EQ(c().DeleteCurrent(), roOK);
  ASSERT_TRUE(Seek(c(), 2));
  EXPECT_EQ(GetBlob(c(), s(), "Raw"), std::string(3000, 'x'));
  EXPECT_EQ(GetBlob(c(), s(), "Z"), "shared memo");
  EXPECT_TRUE(Check().empty());
}

// Damage to one value fails that value alone, cleanly, and the checker names it.
TEST_F(BlobFile, DamagedValuesFailAlone) {
  const std::string text = BlobBytes(*std::make_unique<std::mt19937>(1), 3000, false);
  const int32_t DS = ds();
  struct Case {
    const char* what;
    std::vector<int32_t> codes;  // the failure codes accepted
    bool large;
    std::function<void(uint8_t* data, int32_t offset)> damage;  // offset: of the value's header
  };
  const Case cases[] = {
      {"a flipped byte in a compressed block", {10087, 10088, 10089}, false,
       [](uint8_t* d, int32_t at) { d[at + kBlobHeaderSize + 20 + 9] ^= 0x5A; }},
      {"a flipped checksum", {10089}, false, [](uint8_t* d, int32_t at) { d[at + kBlobHeaderSize + 8] ^= 1; }},
      {"a block header cut short", {10082}, false, [](uint8_t* d, int32_t at) { StoreLE<int64_t>(d + at + 6, 10); }},
      {"a small value longer than its page", {20162}, false,
       [DS](uint8_t* d, int32_t at) { StoreLE<int64_t>(d + at + 6, DS); }},
      {"a large value claiming 2^50 bytes", {20162}, true,
       [](uint8_t* d, int32_t) { StoreLE<int64_t>(d + 6, int64_t{1} << 50); }},
      {"a page list cut by one entry", {20162}, true,
       [](uint8_t* d, int32_t) { StoreLE<int32_t>(d + kPageListDescriptorOffset + 6, LoadLE<int32_t>(d + 28) - 1); }},
  };
  int32_t code = 0;
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    // A table of its own: the damaged value's record after a neighbour on the same page
    // (small) or of the same kind (large).
    cursor_ = std::make_unique<TABSLocalCursor>(session_.get(), "D" + std::to_string(++code));
    CreateBlobTable(*cursor_, *db_);
    const int32_t victim = 2, neighbour = 1;
    const std::string noise = BlobBytes(*std::make_unique<std::mt19937>(code), 3 * DS, true);
    if (k.large) {
      Insert(c(), s(), neighbour, noise);
      Insert(c(), s(), victim, noise);
    } else {
      Insert(c(), s(), neighbour, "", text);
      Insert(c(), s(), victim, "", text);
    }
    const char* field = k.large ? "Raw" : "Z";
    const TABSBlobReference ref = ref_of(victim, field);
    int32_t offset = 0;
    if (!k.large) {
      TABSPageHandle page = data().Blobs()->BlobPage(s(), ref.PageNo);
      offset = TABSSmallBlobPage(page).Find(ref.BlobID)->Offset;
    }
    Patch(ref.PageNo, [&](uint8_t* d) { k.damage(d, offset); });
    ASSERT_TRUE(Seek(c(), victim));
    const int32_t raised = CodeOf([&] { GetBlob(c(), s(), field); });
    EXPECT_NE(std::find(k.codes.begin(), k.codes.end(), raised), k.codes.end()) << "raised " << raised;
    ASSERT_TRUE(Seek(c(), neighbour));
    EXPECT_TRUE(GetBlob(c(), s(), field) == (k.large ? noise : text));
    const std::vector<std::string> problems = Check();
    const std::string page = "BLOB page " + std::to_string(ref.PageNo) + ",";
    EXPECT_TRUE(std::any_of(problems.begin(), problems.end(), [&](const std::string& p) {
      return p.find("table 'D" + std::to_string(code) + "'") != std::string::npos && p.find(page) != std::string::npos &&
             p.find("record (page") != std::string::npos;
    })) << (problems.empty() ? "no problem found" : problems.front());
  }
}

TEST_F(BlobFile, CheckerFindsOrphanedValues) {
  Insert(c(), s(), 1, std::string(50, 'a'));
  EXPECT_TRUE(Check().empty());
  TABSBlobValue small{0, 40, std::vector<uint8_t>(40, 'o')};
  TABSBlobValue large{0, 3000, std::vector<uint8_t>(3000, 'L')};
  const TABSBlobReference a = data().Blobs()->Store(s(), small);
  const TABSBlobReference b = data().Blobs()->Store(s(), large);
  db_->DiskPageManager().CommitPages(s());
  // In the session of the table's cursor.
  std::vector<std::string> problems;
  CheckBlobStorage(data(), problems);
  auto names = [&](int32_t page, const char* text) {
    return std::any_of(problems.begin(), problems.end(), [&](const std::string& p) {
      return p.find("BLOB page " + std::to_string(page) + ":") != std::string::npos && p.find(text) != std::string::npos;
    });
  };
  EXPECT_TRUE(names(a.PageNo, "referenced by no record"));
  EXPECT_TRUE(names(b.PageNo, "belongs to no value"));
}

// ---- in-memory and temporary tables ----

class MemoryBlobs : public ::testing::Test {
 protected:
  void SetUp() override { CreateBlobTable(c, db); }
  TABSMemoryTableData& data() { return static_cast<TABSMemoryTableData&>(*c.TableData()); }
  int32_t s() const { return session.SessionID; }

  TABSMemoryDatabaseData db;
  TABSBaseSession session{0};
  TABSLocalCursor c{&session, "M"};
};

TEST_F(MemoryBlobs, ValuesFollowInsertUpdateDeleteAndEmpty) {
  const std::string big(250000, 'q');
  Insert(c, s(), 1, big, "one");
  Insert(c, s(), 2, "two", "");
  EXPECT_EQ(data().BlobBlockCount(), 3u);
  EXPECT_EQ(data().BlobCache().Count(), 0u);
  ASSERT_TRUE(Seek(c, 1));
  EXPECT_TRUE(GetBlob(c, s(), "Raw") == big);
  EXPECT_EQ(GetBlob(c, s(), "Z"), "one");
  // An update replaces a value: the old block goes, an untouched one stays.
  ASSERT_EQ(c.BeginEdit(), roOK);
  SetBlob(c, s(), "Z", "uno");
  ASSERT_EQ(c.PostEdit(), roOK);
  EXPECT_EQ(data().BlobBlockCount(), 3u);
  ASSERT_TRUE(Seek(c, 1));
  EXPECT_EQ(GetBlob(c, s(), "Z"), "uno");
  EXPECT_TRUE(GetBlob(c, s(), "Raw") == big);
  ASSERT_EQ(c.DeleteCurrent(), roOK);
  EXPECT_EQ(data().BlobBlockCount(), 1u);
  ASSERT_TRUE(Seek(c, 2));
  EXPECT_EQ(GetBlob(c, s(), "Raw"), "two");
  EXPECT_EQ(GetBlob(c, s(), "Z"), "<null>");
  data().EmptyTable(&c);
  EXPECT_EQ(data().BlobBlockCount(), 0u);
}

// A failed update or delete leaves the record with every value it references; the
// buffer of a failed update keeps its change for another try.
TEST_F(MemoryBlobs, FailedUpdateAndDeleteKeepTheValues) {
  Insert(c, s(), 1, "first", "memo 1");
  Insert(c, s(), 2, "second", "memo 2");
  // Record 1 loses its index entries: updating its key and deleting it fail half-way.
  ASSERT_TRUE(Seek(c, 1));
  data().IndexManager().DeleteRecord(s(), c.CurrentRecord, c.Position);
  data().CommitChanges(s(), false);
  Fields(c).SetInt("Code", 5);
  SetBlob(c, s(), "Raw", "changed");
  EXPECT_NE(CodeOf([&] { data().UpdateRecord(&c); }), 0);
  // The new value is gone again, the buffer still holds it as its change.
  EXPECT_EQ(data().BlobBlockCount(), 4u);
  EXPECT_EQ(GetBlob(c, s(), "Raw"), "changed");
  data().ReleaseRecordExtras(c.CurrentRecord);
  EXPECT_EQ(data().BlobCache().Count(), 0u);
  ASSERT_TRUE(Seek(c, 1));
  EXPECT_EQ(GetBlob(c, s(), "Raw"), "first");
  EXPECT_NE(CodeOf([&] { data().DeleteRecord(&c); }), 0);
  EXPECT_EQ(data().BlobBlockCount(), 4u);
  ASSERT_TRUE(Seek(c, 1));
  EXPECT_EQ(GetBlob(c, s(), "Raw"), "first");
  EXPECT_EQ(GetBlob(c, s(), "Z"), "memo 1");
}

TEST_F(MemoryBlobs, BlockSizeZeroIsRefused) {
  data().FieldDefs().Item(2)->BlobBlockSize = 0;
  c.NewRecord();
  EXPECT_EQ(CodeOf([&] { data().OpenBlobStream(s(), 2, c.CurrentRecord, true); }), 10420);
}

TEST(TemporaryBlobs, ValuesComeBackInOrder) {
  for (const bool memory_only : {true, false}) {
    SCOPED_TRACE(memory_only ? "memory only" : "with files");
    TABSTemporaryDatabaseData db(memory_only);
    TABSBaseSession session{0};
    TABSLocalCursor c{&session, "M"};
    c.Temporary = true;
    CreateBlobTable(c, db);
    std::mt19937 rng(11);
    std::vector<std::string> raw, memo;
    for (int32_t i = 0; i < 40; ++i) {
      raw.push_back(i % 5 == 0 ? "" : BlobBytes(rng, rng() % 100000, true));
      memo.push_back(BlobBytes(rng, rng() % 5000, false));
      Insert(c, 0, i, raw.back(), memo.back());
    }
    EXPECT_GT(static_cast<TABSTemporaryTableData*>(c.TableData())->BlobStreamSize(), 1 << 20);
    c.GoToBegin();
    for (size_t i = 0; i < raw.size(); ++i) {
      ASSERT_EQ(c.Step(grmNext), grrFound);
      EXPECT_TRUE(GetBlob(c, 0, "Raw") == (raw[i].empty() ? "<null>" : raw[i])) << i;
      EXPECT_TRUE(GetBlob(c, 0, "Z") == (memo[i].empty() ? "<null>" : memo[i])) << i;
    }
  }
}

}  // namespace
}  // namespace dadoveri
