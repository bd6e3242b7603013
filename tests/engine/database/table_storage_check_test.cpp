// The storage walk of a file table: a sound table reports its counts and no problem; each
// kind of damage to record pages, the header block or an index is named with its table,
// page and record.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/base/little_endian.h"
#include "engine/database/disk_database_data.h"
#include "engine/database/disk_table_data.h"
#include "engine/database/table_storage_check.h"
#include "engine/storage/internal_file.h"
#include "engine/table/btree_record_index.h"
#include "engine/table/session.h"
#include "engine/table/table_metadata.h"
#include "tests/engine/database/memory_table_schema.h"
#include "tests/engine/test_support.h"

namespace dadoveri {
namespace {

using testing::Row;
using testing::StandardTable;
using testing::TempFolder;

constexpr int32_t kRows = 150;

// A file with the standard table "T" holding kRows rows on 1024-byte pages (several
// record pages and index levels).
class StorageCheck : public ::testing::Test {
 protected:
  void SetUp() override {
    name_ = folder_.File("check.dat");
    TABSDiskDatabaseData maker(name_);
    maker.CreateSettings.PageSize = 1024;
    maker.CreateDatabase();
    db_ = std::make_unique<TABSDiskDatabaseData>(name_);
    TABSConnectOptions options;
    options.DurableCommits = false;
    session_ = std::make_unique<TABSBaseSession>(db_->Connect(options));
    StandardTable table(*db_, *session_);
    for (int32_t i = 0; i < kRows; ++i)
      ASSERT_EQ(table.Insert(Row{i, "name" + std::to_string(i), i % 5, "b", 10 + i}), roOK);
  }
  void TearDown() override { db_->Disconnect(session_->SessionID); }

  TABSTableStorageReport Check() {
    TABSTableMetadata m;
    db_->ReadTableMetadata(kSystemSession, "T", m);
    return CheckTableStorage(*db_->PageManager(), kSystemSession, db_->TableList().Find("T"), m);
  }
  // The record pages of T in page order.
  std::vector<int32_t> RecordPages() {
    TABSTableMetadata m;
    db_->ReadTableMetadata(kSystemSession, "T", m);
    TABSBTreeRecordPageIndex index(db_->PageManager(),
                                   RecordsPerPage(db_->PageManager()->DataSize(), m.Fields.StoredRecordSize()));
    index.SetRoot(LoadLE<int32_t>(reinterpret_cast<const uint8_t*>(m.StorageSections.data())));
    std::vector<int32_t> pages;
    for (int32_t p = index.First(kSystemSession); p >= 0; p = index.Next(kSystemSession, p)) pages.push_back(p);
    return pages;
  }
  void Damage(int32_t page_no, const std::function<void(uint8_t*)>& change) {
    TABSPageHandle page = db_->DiskPageManager().GetPage(kSystemSession, page_no);
    change(page.MutableBuffer());
    page.Release();
    db_->DiskPageManager().CommitPages(kSystemSession);
  }

  TempFolder folder_;
  std::string name_;
  std::unique_ptr<TABSDiskDatabaseData> db_;
  std::unique_ptr<TABSBaseSession> session_;
};

bool Mentions(const std::vector<std::string>& problems, const std::vector<std::string>& parts) {
  for (const std::string& p : problems) {
    bool all = true;
    for (const std::string& part : parts) all = all && p.find(part) != std::string::npos;
    if (all) return true;
  }
  return false;
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string s;
  for (const auto& l : lines) s += l + "\n";
  return s;
}

TEST_F(StorageCheck, ASoundTableHasNoProblemAndItsCounts) {
  const TABSTableStorageReport r = Check();
  EXPECT_TRUE(r.Problems.empty()) << Joined(r.Problems);
  EXPECT_EQ(r.RecordCount, kRows);
  EXPECT_EQ(r.RecordsFound, kRows);
  EXPECT_EQ(r.RecordPages, static_cast<int64_t>(RecordPages().size()));
  EXPECT_GT(r.RecordPages, 1);
  EXPECT_GE(r.IndexPages, 3) << "three indexes, one root each at least";
  EXPECT_GE(r.PageIndexPages, 1);
  EXPECT_EQ(r.BlobPages, 0);
  EXPECT_EQ(static_cast<int64_t>(r.PagesReached.size()), r.RecordPages + r.IndexPages + r.PageIndexPages);
}

TEST_F(StorageCheck, DamageIsNamedWithTableAndPage) {
  const std::vector<int32_t> pages = RecordPages();
  ASSERT_GE(pages.size(), 2u);
  const int32_t page = pages[1];
  const std::string page_text = "record page " + std::to_string(page);
  struct Case {
    const char* what;
    std::function<void()> damage;
    std::vector<std::string> expected;
  } cases[] = {
      {"a record's presence bit cleared",
       [&] { Damage(page, [](uint8_t* p) { p[kPageHeaderSize] &= 0xFE; }); },
       {"table 'T'", page_text, "the RecordPageIndex says"}},
      {"the page's owner changed",
       [&] { Damage(page, [](uint8_t* p) { page_header::SetOwnerObjectID(p, 9999); }); },
       {"table 'T'", page_text, "belongs to object 9999"}},
      {"the page's type changed",
       [&] { Damage(page, [](uint8_t* p) { StoreLE<uint16_t>(p + 8, ptTableBlob); }); },
       {"table 'T'", page_text, "type 11"}},
      {"the header block's RecordCount lies",
       [&] {
         const TABSTableListEntry e = db_->TableList().Find("T");
         TABSInternalDBTransactedAccessFile f(*db_->PageManager());
         f.OpenFile(e.MostUpdatedStartPageNo, ptTableMostUpdated);
         std::vector<uint8_t> bytes = f.ReadAll(kSystemSession);
         StoreLE<int32_t>(bytes.data() + bytes.size() - 4, kRows + 3);
         f.WriteFile(kSystemSession, bytes.data(), static_cast<int32_t>(bytes.size()));
         db_->PageManager()->CommitPages(kSystemSession);
       },
       {"table 'T'", "the header block counts 153"}},
      {"an index entry removed",
       [&] {
         TABSTableMetadata m;
         db_->ReadTableMetadata(kSystemSession, "T", m);
         TABSBTreeRecordIndex index(db_->PageManager(), &m.Fields, nullptr);
         index.Open(*m.Indexes.Find("PK"));
         // The record in slot 0 of the page: Code is the second field.
         TABSRecordLayout layout = m.Fields.RecordLayout();
         std::vector<uint8_t> record(static_cast<size_t>(layout.MemoryRecordSize()));
         std::vector<uint8_t> stored(static_cast<size_t>(layout.StoredRecordSize()));
         {
           TABSPageHandle h = db_->DiskPageManager().GetPage(kSystemSession, page);
           TABSSmallRecordPage view(h, RecordsPerPage(db_->PageManager()->DataSize(), layout.StoredRecordSize()),
                                    layout.StoredRecordSize());
           view.ReadRecord(0, stored.data());
         }
         layout.StoredToMemory(stored.data(), record.data());
         index.Delete(kSystemSession, record.data(), TABSRecordID{page, 0});
         db_->PageManager()->CommitPages(kSystemSession);
       },
       {"table 'T'", "index 'PK'", "(page " + std::to_string(page) + ", slot 0)"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TearDown();
    db_.reset();
    SetUp();
    c.damage();
    const TABSTableStorageReport r = Check();
    EXPECT_TRUE(Mentions(r.Problems, c.expected)) << Joined(r.Problems);
  }
}

}  // namespace
}  // namespace dadoveri
