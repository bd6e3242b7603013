#include "engine/storage/page_manager.h"

#include <gtest/gtest.h>

#include <cstring>

#include "engine/storage/disk_page_manager.h"
#include "tests/engine/storage/storage_fixture.h"

namespace dadoveri {
namespace {

using testing::AddFilledPages;
using testing::CodeOf;
using testing::CreateDatabase;
using testing::FillPage;
using testing::kSession;
using testing::MessageOf;
using testing::OpenDatabase;
using testing::PageHolds;
using testing::ReadWholeFile;
using testing::TempFolder;
using Bytes = std::vector<uint8_t>;

int32_t header_field(const std::string& name, size_t at) {
  const Bytes f = ReadWholeFile(name);
  int32_t v;
  std::memcpy(&v, &f[at], 4);
  return v;
}

class PageManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    name_ = dir_.File("pm.dat");
    pm_ = CreateDatabase(name_);
    first_ = AddFilledPages(*pm_, 4, 0);  // pages 2 … 5
  }
  TABSPageHandle get(int32_t no, int32_t session = kSession) {
    return pm_->GetPage(session, no, false, ptTableRecord);
  }
  TempFolder dir_;
  std::string name_;
  std::unique_ptr<TABSDiskPageManager> pm_;
  int32_t first_ = -1;
};

TEST_F(PageManagerTest, SessionErrors) {
  EXPECT_EQ(first_, 2);
  EXPECT_EQ(MessageOf([&] { pm_->GetPage(-1, 2); }), "Invalid Session ID - Native error: 20186");
  EXPECT_EQ(MessageOf([&] { pm_->GetPage(kSession, 0); }),
            "Cannot delete PFS or EAM page. PageNo=0 - Native error: 30434");
  EXPECT_EQ(CodeOf([&] { pm_->FreePage(kSession, 1); }), 30434);
  TABSPageHandle page = get(2, 0);
  EXPECT_EQ(CodeOf([&] { get(2, 1); }), 20090);  // held by session 0
  TABSPageHandle again = get(2, 0);                // the same session may take it twice
  EXPECT_EQ(page.Data(), again.Data());
  const TABSPage* cached = pm_->SharedCache().Find(2);
  EXPECT_EQ(cached->UseCount(), 2);
  EXPECT_EQ(pm_->HeldPageCount(0), 2);
  again.Release();
  EXPECT_FALSE(again);
  page = TABSPageHandle();  // moving an empty handle in gives the page back
  EXPECT_EQ(cached->UseCount(), 0);
  EXPECT_FALSE(cached->Loaded());
  EXPECT_EQ(pm_->HeldPageCount(0), 0);
  get(2, 1);
}

TEST_F(PageManagerTest, ExpectedTypeIsCheckedOnReadUnless255) {
  const int32_t no = pm_->AddPage(kSession, ptTableIndex).PageNo();
  pm_->CommitPages(kSession);
  pm_->FreeAllPages();  // empty the cache so the next GetPage reads the disk
  EXPECT_EQ(MessageOf([&] { pm_->GetPage(kSession, no, false, ptTableRecord); }),
            "Invalid page type. Possibly data is corrupted. Expected type 10, but found 12 - Native error: 20153");
  EXPECT_EQ(pm_->GetPage(kSession, no, false, kAnyPageType).PageType(), ptTableIndex);
}

TEST_F(PageManagerTest, ChangesAreVisibleOnlyToTheirSessionUntilCommit) {
  {
    TABSPageHandle page = get(3, 0);
    FillPage(page, 777);
  }
  // Session 1 still reads the committed bytes from disk.
  EXPECT_TRUE(PageHolds(get(3, 1), 3));
  EXPECT_TRUE(PageHolds(get(3, 0), 777));
  const int32_t commits = header_field(name_, 38);
  pm_->CommitPages(0);
  EXPECT_EQ(header_field(name_, 38), commits + 1);
  EXPECT_EQ(ReadWholeFile(name_)[42], 2);
  EXPECT_TRUE(PageHolds(get(3, 1), 777));
}

TEST_F(PageManagerTest, CommitWithoutChangesWritesNothing) {
  get(2);
  const Bytes before = ReadWholeFile(name_);
  pm_->CommitPages(kSession);
  pm_->CommitPages(5);  // a session never seen
  EXPECT_EQ(ReadWholeFile(name_), before);
}

TEST_F(PageManagerTest, CommitWithAHeldPageFailsBeforeWritingAnything) {
  TABSPageHandle held = get(2);
  {
    TABSPageHandle changed = get(3);
    FillPage(changed, 1);
  }
  const Bytes before = ReadWholeFile(name_);
  EXPECT_EQ(MessageOf([&] { pm_->CommitPages(kSession); }),
            "Some session pages are not released - Native error: 20152");
  EXPECT_EQ(ReadWholeFile(name_), before);
  // A new page still held is refused as well, also before anything is written; so is a
  // changed page held again.
  held.Release();
  TABSPageHandle fresh = pm_->AddPage(kSession, ptTableRecord);
  const Bytes with_new = ReadWholeFile(name_);
  EXPECT_EQ(CodeOf([&] { pm_->CommitPages(kSession); }), 20152);
  EXPECT_EQ(ReadWholeFile(name_), with_new);
  fresh.Release();
  TABSPageHandle again = get(3);
  EXPECT_EQ(CodeOf([&] { pm_->CommitPages(kSession); }), 20152);
  again.Release();
  pm_->CommitPages(kSession);
  EXPECT_EQ(ReadWholeFile(name_)[42], 2);
}

TEST_F(PageManagerTest, RollbackOfANewPageReturnsItsNumberAndRereadsTheDisk) {
  int32_t no = -1;
  {
    TABSPageHandle page = pm_->AddPage(kSession, ptTableRecord);
    no = page.PageNo();
    FillPage(page, 5);
  }
  EXPECT_EQ(no, 6);
  EXPECT_TRUE(pm_->FreeSpace().IsPageUsed(no));
  pm_->RollbackPages(kSession);
  EXPECT_FALSE(pm_->FreeSpace().IsPageUsed(no));
  EXPECT_FALSE(pm_->SessionHasChanges(kSession));
  // The next GetPage of that number goes to the disk: the page was never written, and
  // the file has shrunk back before it.
  EXPECT_EQ(CodeOf([&] { pm_->GetPage(kSession, no, false, kAnyPageType); }), 40101);
  EXPECT_EQ(pm_->AddPage(kSession, ptTableRecord).PageNo(), no);
  pm_->RollbackPages(kSession);
}

TEST_F(PageManagerTest, RollbackOfAFreedPageKeepsItAllocatedWithItsContents) {
  pm_->FreePage(kSession, 4);
  {
    TABSPageHandle changed = get(5);
    FillPage(changed, 99);
  }
  pm_->RollbackPages(kSession);
  EXPECT_TRUE(pm_->FreeSpace().IsPageUsed(4));
  for (int32_t no : {4, 5}) EXPECT_TRUE(PageHolds(get(no), static_cast<uint32_t>(no)));
  // Freed and committed, the page goes back to the maps and is marked freed on disk.
  pm_->FreePage(kSession, 4);
  pm_->CommitPages(kSession);
  EXPECT_FALSE(pm_->FreeSpace().IsPageUsed(4));
  const Bytes f = ReadWholeFile(name_);
  int32_t counter;
  std::memcpy(&counter, &f[380 + 4 * 4096 + 4], 4);
  EXPECT_EQ(counter, kFreedPageCounter);
}

TEST_F(PageManagerTest, RollbackRefusesWhileAHandleOfTheSessionIsAlive) {
  // A held page taken from the cache and changed would otherwise reach the session's
  // dirty list after the rollback, carrying the rolled-back change into the next
  // transaction.
  TABSPageHandle page = get(3);
  FillPage(page, 42);
  TABSPageHandle fresh = pm_->AddPage(kSession, ptTableRecord);
  EXPECT_EQ(MessageOf([&] { pm_->RollbackPages(kSession); }), "Cannot remove used page - Native error: 20088");
  fresh.Release();
  EXPECT_EQ(CodeOf([&] { pm_->RollbackPages(kSession); }), 20088);
  EXPECT_EQ(CodeOf([&] { pm_->FreeAllPages(); }), 20152);
  // Another session's handle does not stand in the way of the rollback.
  TABSPageHandle other = get(2, 1);
  page.Release();
  pm_->RollbackPages(kSession);
  EXPECT_FALSE(pm_->SessionHasChanges(kSession));
  EXPECT_EQ(CodeOf([&] { pm_->FreeAllPages(); }), 20152);
  other.Release();
  EXPECT_TRUE(PageHolds(get(3), 3));
  pm_->FreeAllPages();
}

TEST_F(PageManagerTest, ModificationCounterWrapsBeforeTheFreedMark) {
  struct Case {
    int32_t before;
    int32_t after;
  };
  const Case cases[] = {{0, 1}, {0x7FFFFFFB, 0x7FFFFFFC}, {0x7FFFFFFC, 0}, {kFreedPageCounter, 0}};
  for (const Case& c : cases) {
    {
      TABSPageHandle page = get(2);
      page_header::SetModificationCounter(page.MutableBuffer(), c.before);
    }
    pm_->CommitPages(kSession);
    EXPECT_EQ(header_field(name_, 380 + 2 * 4096 + 4), c.after) << c.before;
  }
}

TEST(PageCache, EvictsTheLeastRecentlyUsedPageBeyondCapacity) {
  TempFolder dir;
  const std::string name = dir.File("lru.dat");
  auto pm = CreateDatabase(name, {}, 4096, 8, 2);
  AddFilledPages(*pm, 3, 0);  // pages 2, 3, 4
  pm->FreeAllPages();
  for (int32_t no : {2, 3, 4}) pm->GetPage(kSession, no, false, ptTableRecord);
  EXPECT_EQ(pm->CachedPageCount(), 2u);
  EXPECT_EQ(pm->SharedCache().Find(2), nullptr);
  EXPECT_NE(pm->SharedCache().Find(3), nullptr);
  // Touching 3 makes 4 the oldest.
  pm->GetPage(kSession, 3, false, ptTableRecord);
  pm->GetPage(kSession, 2, false, ptTableRecord);
  EXPECT_EQ(pm->SharedCache().Find(4), nullptr);
  EXPECT_NE(pm->SharedCache().Find(3), nullptr);
  // A least-recently-used page that is in use stays; the cache may exceed its capacity.
  TABSPageHandle held = pm->GetPage(kSession, 3, false, ptTableRecord);
  TABSPageHandle held2 = pm->GetPage(kSession, 2, false, ptTableRecord);
  pm->GetPage(kSession, 4, false, ptTableRecord);
  EXPECT_EQ(pm->CachedPageCount(), 3u);  // the oldest, 3, is held
  held.Release();                         // now 2 is the oldest, and held
  EXPECT_EQ(pm->CachedPageCount(), 3u);
  held2.Release();                        // 4 is the oldest idle page and goes
  EXPECT_EQ(pm->CachedPageCount(), 2u);
  EXPECT_EQ(pm->SharedCache().Find(4), nullptr);
}

TEST(PageBuffer, EnlargingAndExternalBuffers) {
  TempFolder dir;
  auto pm = CreateDatabase(dir.File("b.dat"));
  TABSPage page(pm.get());
  EXPECT_EQ(CodeOf([&] { page.EnlargeBuffer(8192); }), 20038);
  page.AllocBuffer();
  EXPECT_EQ(CodeOf([&] { page.EnlargeBuffer(100); }), 20039);
  FillPage(&page, 3);
  page.EnlargeBuffer(8192);
  EXPECT_EQ(page.BufferSize(), 8192u);
  EXPECT_TRUE(PageHolds(&page, 3));
  std::vector<uint8_t> external(4096, 0);
  page.SetExternalBuffer(external.data(), 4096);
  EXPECT_FALSE(page.OwnsBuffer());
  EXPECT_EQ(page.Buffer(), external.data());
  {
    TABSPageHandle fresh = pm->AddPage(kSession, ptTableBlob);
    EXPECT_EQ(std::memcmp(fresh.Buffer(), "ABSP", 4), 0);
    EXPECT_EQ(fresh.NextPageNo(), -1);
    EXPECT_EQ(fresh.PageType(), ptTableBlob);
    EXPECT_TRUE(fresh.Dirty());
  }
  pm->RollbackPages(kSession);
}

TEST(SortedPageList, LookupOrderAndErrors) {
  TempFolder dir;
  auto pm = CreateDatabase(dir.File("l.dat"));
  TABSSortedPageList list;
  EXPECT_EQ(MessageOf([&] { list.Delete(1); }), "TSortedPageList.Delete - no elements in array! - Native error: 20165");
  for (int32_t no : {40, 3, 17, 8}) {
    list.Insert(std::make_unique<TABSPage>(pm.get(), no));
  }
  EXPECT_EQ(list.First()->PageNo(), 3);
  std::vector<int32_t> order;
  list.ForEach([&](const TABSPage* page) { order.push_back(page->PageNo()); });
  EXPECT_EQ(order, (std::vector<int32_t>{3, 8, 17, 40}));
  EXPECT_EQ(list.Find(17)->List(), &list);
  EXPECT_EQ(list.Find(18), nullptr);
  EXPECT_EQ(list.LeastRecentlyUsed()->PageNo(), 40);
  list.Touch(40);
  list.Touch(3);
  EXPECT_EQ(list.LeastRecentlyUsed()->PageNo(), 17);
  EXPECT_EQ(MessageOf([&] { list.Delete(5); }),
            "TSortedPageList.Delete - element not found, key = 5, itemCount = 4 - Native error: 20166");
  EXPECT_EQ(CodeOf([&] { list.Touch(5); }), 20167);
  EXPECT_EQ(list.Delete(17)->PageNo(), 17);
  EXPECT_EQ(list.Count(), 3u);
}

TEST(MultiUserCache, CachedPagesAreRereadWhenTheTableCounterChanges) {
  TempFolder dir;
  const std::string name = dir.File("mu.dat");
  {
    auto pm = CreateDatabase(name);
    AddFilledPages(*pm, 2, 0);  // pages 2, 3
    pm->CloseDatabase();
  }
  auto a = OpenDatabase(name, {}, nullptr, true);
  auto b = OpenDatabase(name, {}, nullptr, true);
  ASSERT_TRUE(a->MultiUser());
  const int32_t table = 77;
  TABSDiskTablePagesCacheManager& cache = b->TablePagesCache();
  auto b_reads = [&](int32_t no) {
    return PageHolds(b->GetPage(kSession, no, true, ptTableRecord), static_cast<uint32_t>(no));
  };
  cache.LockTable(kSession, table, false);
  cache.SetTableCounter(kSession, table, 1);
  cache.PushCurrentTable(kSession, table);
  EXPECT_TRUE(b_reads(2));
  EXPECT_TRUE(b_reads(3));
  cache.PopCurrentTable(kSession);
  cache.UnlockTable(kSession, table, false);

  // Another process changes page 2.
  {
    TABSPageHandle page = a->GetPage(kSession, 2, true, ptTableRecord);
    FillPage(page, 500);
  }
  a->CommitPages(kSession);

  // Under the same table counter the cached copy is trusted without a disk read.
  cache.LockTable(kSession, table, false);
  cache.SetTableCounter(kSession, table, 1);
  cache.PushCurrentTable(kSession, table);
  EXPECT_TRUE(b_reads(2));
  cache.PopCurrentTable(kSession);
  cache.UnlockTable(kSession, table, false);

  // A new counter makes the page doubtful: its modification counter on disk differs,
  // so it is reread; page 3 is unchanged on disk and keeps its cached bytes.
  cache.LockTable(kSession, table, false);
  cache.SetTableCounter(kSession, table, 2);
  cache.SetTableCounter(kSession, table, 3);  // only the first counter while locked counts
  cache.PushCurrentTable(kSession, table);
  EXPECT_FALSE(b_reads(2));
  EXPECT_TRUE(b_reads(3));
  cache.PopCurrentTable(kSession);
  cache.UnlockTable(kSession, table, false);

  // Without a current table nothing is trusted: every validated GetPage checks the disk.
  EXPECT_TRUE(PageHolds(b->GetPage(kSession, 2, true, ptTableRecord), 500));
  int32_t counter = 0;
  EXPECT_FALSE(cache.CurrentTableCounter(kSession, &counter));
}

}  // namespace
}  // namespace dadoveri
