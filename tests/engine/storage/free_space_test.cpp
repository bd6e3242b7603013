#include "engine/storage/free_space.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <set>

#include "engine/storage/disk_page_manager.h"
#include "tests/engine/storage/storage_fixture.h"

namespace dadoveri {
namespace {

using testing::CodeOf;
using testing::CreateDatabase;
using testing::FillPage;
using testing::kSession;
using testing::MessageOf;
using testing::PageHolds;
using testing::ReadWholeFile;
using testing::TempFolder;
using Bytes = std::vector<uint8_t>;

TEST(MapGeometry, FixedPositions) {
  const TABSMapGeometry g(4096, 8);
  EXPECT_EQ(g.DS, 4056);
  EXPECT_EQ(g.P, 32448);
  EXPECT_EQ(g.M, 129792);
  EXPECT_EQ(g.EamPageNo(0), 1);
  EXPECT_EQ(g.EamPageNo(1), 129793);
  struct Case {
    int64_t page;
    bool map;
  };
  const Case cases[] = {{0, true},      {1, true},       {2, false},      {32447, false},
                        {32448, true},  {32449, false},  {64896, true},   {129792, true},
                        {129793, true}, {129794, false}, {259584, true},  {259585, true}};
  for (const Case& c : cases) EXPECT_EQ(g.IsMapPage(c.page), c.map) << c.page;
  // An odd extent size puts EAM pages between PFS positions: DS 24, P 192, M 96.
  const TABSMapGeometry odd(64, 1);
  EXPECT_EQ(odd.EamPageNo(1), 96);
  EXPECT_EQ(odd.EamPageNo(2), 193);
  for (int64_t n : {0, 1, 96, 192, 193, 288}) EXPECT_TRUE(odd.IsMapPage(n)) << n;
  for (int64_t n : {2, 95, 97, 191, 194}) EXPECT_FALSE(odd.IsMapPage(n)) << n;
}

// Map positions against their definition, across page and extent sizes and past the
// first EAM and PFS pages: the quick test by the data size must agree everywhere.
TEST(MapGeometry, QuickTestAgreesWithTheDefinition) {
  for (const uint16_t page_size : {64, 80, 128, 4096}) {
    for (uint16_t extent = 1; extent <= 17; ++extent) {
      const TABSMapGeometry g(page_size, extent);
      const auto defined = [&](int64_t n) {
        return n % g.P == 0 || n % g.M == 0 || ((n - 1) % g.P == 0 && (n - 1) % g.M == 0);
      };
      const int64_t end = std::min<int64_t>(3 * std::max(g.M, g.P) + 3, 400000);
      for (int64_t n = 0; n < end; ++n)
        ASSERT_EQ(g.IsMapPage(n), defined(n)) << "page size " << page_size << ", extent " << extent << ", page " << n;
      for (const int64_t n : {int64_t{INT32_MAX} - 1, int64_t{INT32_MAX}, int64_t{INT32_MAX} + 1, 5 * g.M, 5 * g.M + 1})
        ASSERT_EQ(g.IsMapPage(n), defined(n)) << "page size " << page_size << ", extent " << extent << ", page " << n;
    }
  }
}

int32_t header_int(const Bytes& f, size_t at) {
  int32_t v;
  std::memcpy(&v, &f[at], 4);
  return v;
}

class FreeSpaceTest : public ::testing::Test {
 protected:
  void SetUp() override { pm_ = CreateDatabase(dir_.File("fs.dat")); }
  int32_t allocate() { return pm_->FreeSpace().AllocatePage(); }
  int32_t total() { return pm_->GetTotalPageCount(); }
  int32_t highest() { return pm_->MainHeader().HighestUsedPageNo(); }
  TempFolder dir_;
  std::unique_ptr<TABSDiskPageManager> pm_;
};

TEST_F(FreeSpaceTest, GrowthFromAnEmptyFile) {
  EXPECT_EQ(allocate(), 2);
  EXPECT_EQ(total(), 6);
  EXPECT_EQ(highest(), 2);
  EXPECT_EQ(allocate(), 3);
  EXPECT_EQ(allocate(), 4);
  EXPECT_EQ(allocate(), 5);
  EXPECT_EQ(total(), 6);
  EXPECT_EQ(allocate(), 6);  // grows by max(6 div 10, 8) = 8
  EXPECT_EQ(total(), 14);
  EXPECT_EQ(pm_->File().GetSize(), 380 + 14 * 4096);
}

TEST_F(FreeSpaceTest, ReleaseLowersTheHighWaterMarkAndShrinksInWholeSteps) {
  for (int i = 0; i < 13; ++i) allocate();  // pages 2 … 14, total 22
  EXPECT_EQ(total(), 22);
  pm_->FreeSpace().ReleasePage(14);
  EXPECT_EQ(highest(), 13);
  EXPECT_EQ(total(), 14);  // spare 22 - 13 - 1 = 8 reaches the step max(22 div 10, 8)
  EXPECT_EQ(pm_->File().GetSize(), 380 + static_cast<int64_t>(total()) * 4096);
  for (int32_t no : {13, 12, 11, 10, 9, 8, 7}) pm_->FreeSpace().ReleasePage(no);
  EXPECT_EQ(highest(), 6);
  EXPECT_EQ(total(), 14);
  pm_->FreeSpace().ReleasePage(3);  // a hole below the mark changes nothing else
  EXPECT_EQ(highest(), 6);
  EXPECT_EQ(allocate(), 3);  // holes are filled first
  EXPECT_EQ(MessageOf([&] { pm_->FreeSpace().ReleasePage(9); }), "Page: 9 already free - Native error: 30427");
  EXPECT_EQ(MessageOf([&] { pm_->FreeSpace().ReleasePage(14); }),
            "Page: 14 cannot be addressed. TotalPageCount=14 - Native error: 30430");
  EXPECT_EQ(pm_->MainHeader().TotalPageCount(), 14);  // header rewritten from memory
}

TEST_F(FreeSpaceTest, ReleasingEverythingNeverCutsAMapPageOff) {
  // With a growth step of 8 a file of 9 pages would shrink to 1, keeping the PFS page
  // but not the EAM page after it; the cut stops short instead.
  for (int i = 0; i < 4; ++i) allocate();  // 2 … 5
  allocate();                              // 6, total 14
  for (int32_t no : {6, 5, 4, 3, 2}) pm_->FreeSpace().ReleasePage(no);
  EXPECT_EQ(highest(), -1);
  EXPECT_EQ(total(), 6);
  EXPECT_EQ(allocate(), 2);  // rebuilt without touching the intact maps
  EXPECT_EQ(allocate(), 3);
}

TEST(FreeSpace, AFileShrunkPastAnEamPageBetweenPfsPagesGrowsAgain) {
  // With one page per extent and 64-byte pages the EAM page 96 lies inside the range of
  // PFS page 0: shrinking cuts it off while its bit in page 0 stays, and growing again
  // must not take that bit for a page in use.
  TempFolder dir;
  auto pm = CreateDatabase(dir.File("odd.dat"), {}, 64, 1);
  TABSDatabaseFreeSpaceManager& fs = pm->FreeSpace();
  std::vector<int32_t> pages;
  for (int i = 0; i < 110; ++i) pages.push_back(fs.AllocatePage());
  ASSERT_GT(pm->GetTotalPageCount(), 96);
  while (pages.size() > 10) {
    fs.ReleasePage(pages.back());
    pages.pop_back();
  }
  ASSERT_LT(pm->GetTotalPageCount(), 96);
  for (int i = 0; i < 110; ++i) {
    const int32_t no = fs.AllocatePage();
    EXPECT_FALSE(fs.IsMapPage(no)) << no;
  }
  EXPECT_TRUE(fs.IsPageUsed(96));
}

// The randomized run: allocate, free, commit and roll back against a model of the pages
// in use, checking maps, header and file size after every commit.
struct Geometry {
  uint16_t page_size;
  uint16_t pages_per_extent;
};

class FreeSpaceModel : public ::testing::TestWithParam<Geometry> {};

void check_file(const std::string& name, const Geometry& geo, const std::set<int32_t>& used) {
  const Bytes f = ReadWholeFile(name);
  const TABSMapGeometry g(geo.page_size, geo.pages_per_extent);
  const int32_t total = header_int(f, 30);
  const int32_t highest = header_int(f, 34);
  ASSERT_EQ(f.size(), 380u + static_cast<size_t>(total) * geo.page_size);
  ASSERT_EQ(f[42], 2);
  ASSERT_EQ(highest, used.empty() ? -1 : *used.rbegin());
  ASSERT_FALSE(g.IsMapPage(total - 1)) << "the last page is a map page";
  auto page = [&](int64_t n) { return &f[380 + static_cast<size_t>(n) * geo.page_size]; };
  auto pfs_bit = [&](int64_t n) {
    const int64_t index = n % g.P;
    return (page(g.PfsPageOf(n))[40 + index / 8] >> (index % 8)) & 1;
  };
  for (int64_t n = 0; n < total; ++n) {
    const bool map = g.IsMapPage(n);
    if (map) {
      const bool pfs = n % g.P == 0;
      ASSERT_EQ(page(n)[8], pfs ? ptPFS : ptEAM) << "map page " << n;
    }
    ASSERT_EQ(pfs_bit(n), map || used.count(static_cast<int32_t>(n)) ? 1 : 0) << "page " << n;
  }
  // The last PFS page describes no page beyond the end of the file as used: a map page
  // cut off by a shrink must not leave its bit behind.
  for (int64_t n = total; total > 0 && n < g.PfsPageOf(total - 1) + g.P; ++n)
    ASSERT_EQ(pfs_bit(n), 0) << "page " << n << " beyond the end (" << total << ") marked used";
  // An extent coded full has no free page; an extent wholly beyond the end of the file
  // was never computed, as in a new EAM page.
  for (int64_t k = 0; g.EamPageNo(k) < total; ++k) {
    const uint8_t* eam = page(g.EamPageNo(k)) + 40;
    for (int64_t e = 0; e < g.X; ++e) {
      const int code = (eam[e / 4] >> (2 * (e % 4))) & 3;
      const int64_t first = (k * g.X + e) * g.E;
      if (first >= total) {
        ASSERT_EQ(code, 0) << "extent of page " << first << " beyond the end (" << total << ")";
        continue;
      }
      if (code != 3) continue;
      for (int64_t n = first; n < first + g.E; ++n)
        ASSERT_TRUE(n < total && pfs_bit(n)) << "extent of page " << n << " coded full";
    }
  }
}

// Allocation and release straight through the free-space manager, across every small
// extent size: the file grows past its second EAM page (with an odd extent size inside
// the first PFS page's range) and its second PFS page, shrinks back below them, and must
// grow past them again. Each state is checked against the pages handed out.
TEST(FreeSpaceShrink, GrowthAfterShrinkingPastMapPages) {
  for (const uint16_t page_size : {64, 80, 128}) {
    for (uint16_t extent = 1; extent <= 17; ++extent) {
      SCOPED_TRACE("page size " + std::to_string(page_size) + ", extent " + std::to_string(extent));
      const TABSMapGeometry g(page_size, extent);
      TempFolder dir;
      const std::string name = dir.File("shrink.dat");
      auto pm = CreateDatabase(name, {}, page_size, extent);
      TABSDatabaseFreeSpaceManager& fs = pm->FreeSpace();
      std::set<int32_t> used;
      const int64_t target = std::max(g.EamPageNo(1), g.P) + 2 * g.E + 4;
      const auto grow = [&] {
        while (pm->MainHeader().TotalPageCount() <= target) {
          const int32_t no = fs.AllocatePage();
          ASSERT_FALSE(g.IsMapPage(no)) << no;
          ASSERT_TRUE(used.insert(no).second) << "page " << no << " handed out twice";
        }
      };
      grow();
      check_file(name, {page_size, extent}, used);
      if (::testing::Test::HasFatalFailure()) return;
      // Release from the top: the file shrinks step by step below every map page but the
      // first two.
      while (used.size() > 1) {
        fs.ReleasePage(*used.rbegin());
        used.erase(*used.rbegin());
      }
      ASSERT_LT(pm->MainHeader().TotalPageCount(), std::min(g.EamPageNo(1), g.P));
      check_file(name, {page_size, extent}, used);
      if (::testing::Test::HasFatalFailure()) return;
      grow();
      check_file(name, {page_size, extent}, used);
      if (::testing::Test::HasFatalFailure()) return;
      // Release in a scattered order, then grow once more.
      std::mt19937 rng(page_size * 100 + extent);
      std::vector<int32_t> order(used.begin(), used.end());
      std::shuffle(order.begin(), order.end(), rng);
      for (const int32_t no : order) {
        fs.ReleasePage(no);
        used.erase(no);
      }
      check_file(name, {page_size, extent}, used);
      if (::testing::Test::HasFatalFailure()) return;
      grow();
      check_file(name, {page_size, extent}, used);
      if (::testing::Test::HasFatalFailure()) return;
    }
  }
}

// Random allocation, release, commit and rollback, with the maps on disk checked after
// every commit; run on a file open shared and on one open exclusively (which keeps its
// map changes in memory until a barrier).
void random_allocate_free_commit_rollback(const Geometry& geo, bool exclusive) {
  TempFolder dir;
  const std::string name = dir.File("model.dat");
  auto pm = CreateDatabase(name, {}, geo.page_size, geo.pages_per_extent, 50);
  if (exclusive) {
    pm->CloseDatabase();
    pm = std::make_unique<TABSDiskPageManager>(50);
    bool read_only = false, repair = false;
    pm->OpenDatabase(name, {}, read_only, true, false, repair);
    ASSERT_TRUE(pm->Exclusive());
  }
  std::mt19937 rng(geo.page_size * 31 + geo.pages_per_extent);
  std::set<int32_t> committed;          // pages in use on disk after the last commit
  std::map<int32_t, uint32_t> content;  // committed page -> seed of its bytes
  std::set<int32_t> added, freed;       // pending in the session
  std::map<int32_t, uint32_t> changed;  // committed page changed in the session -> old seed
  uint32_t seed = 1;
  // Large pages make large files: fewer steps keep the run short.
  const int steps = geo.page_size >= 1024 ? 800 : 3000;
  for (int step = 0; step < steps; ++step) {
    const int op = static_cast<int>(rng() % 100);
    // Drift the population up and down so that the file both grows and shrinks.
    const bool growing = (step * 4 / steps) % 2 == 0;
    const int add = growing ? 60 : 15;
    const int free = growing ? 5 : 50;
    if (op < add) {
      TABSPageHandle page = pm->AddPage(kSession, ptTableRecord);
      ASSERT_FALSE(committed.count(page.PageNo()) || added.count(page.PageNo()));
      ASSERT_FALSE(pm->FreeSpace().IsMapPage(page.PageNo()));
      FillPage(page, seed);
      added.insert(page.PageNo());
      content[page.PageNo()] = seed++;
    } else if (op < add + free && !committed.empty()) {
      auto it = committed.begin();
      std::advance(it, static_cast<long>(rng() % committed.size()));
      if (!freed.count(*it)) {
        pm->FreePage(kSession, *it);
        freed.insert(*it);
      }
    } else if (op < add + free + 5 && !committed.empty()) {
      // Change a committed page.
      auto it = committed.begin();
      std::advance(it, static_cast<long>(rng() % committed.size()));
      if (!freed.count(*it)) {
        TABSPageHandle page = pm->GetPage(kSession, *it, false, ptTableRecord);
        ASSERT_TRUE(PageHolds(page, content[*it]));
        FillPage(page, seed);
        changed.emplace(*it, content[*it]);
        content[*it] = seed++;
      }
    } else if (op < add + free + 5 + 15) {
      pm->CommitPages(kSession);
      committed.insert(added.begin(), added.end());
      for (int32_t no : freed) {
        committed.erase(no);
        content.erase(no);
      }
      added.clear();
      freed.clear();
      changed.clear();
      check_file(name, geo, committed);
      if (::testing::Test::HasFatalFailure()) return;
    } else {
      pm->RollbackPages(kSession);
      for (int32_t no : added) content.erase(no);
      for (const auto& [no, old_seed] : changed) content[no] = old_seed;
      changed.clear();
      added.clear();
      freed.clear();
      // Rolled-back changes of committed pages vanish: reread what is on disk.
      pm->FreeAllPages();
    }
  }
  pm->CommitPages(kSession);
  committed.insert(added.begin(), added.end());
  for (int32_t no : freed) committed.erase(no);
  check_file(name, geo, committed);
  // Every committed page holds what was last committed into it, read back from disk.
  pm->FreeAllPages();
  for (int32_t no : committed) {
    TABSPageHandle page = pm->GetPage(kSession, no, false, ptTableRecord);
    ASSERT_TRUE(PageHolds(page, content[no])) << no;
    page.Release();
  }
  // Pages added and rolled back after the last commit leave the maps as committed once
  // the file is closed.
  for (int i = 0; i < 20; ++i) pm->AddPage(kSession, ptTableRecord).MarkDirty();
  pm->RollbackPages(kSession);
  pm->CloseDatabase();
  check_file(name, geo, committed);
}

TEST_P(FreeSpaceModel, RandomAllocateFreeCommitRollback) {
  for (const bool exclusive : {false, true}) {
    SCOPED_TRACE(exclusive ? "exclusive" : "shared");
    random_allocate_free_commit_rollback(GetParam(), exclusive);
    if (::testing::Test::HasFatalFailure()) return;
  }
}

// Tiny pages put PFS and EAM pages a few hundred pages apart, so a short run crosses them.
INSTANTIATE_TEST_SUITE_P(Geometries, FreeSpaceModel,
                         ::testing::Values(Geometry{64, 1}, Geometry{64, 2}, Geometry{80, 3},
                                           Geometry{128, 5}, Geometry{4096, 8}),
                         [](const auto& info) {
                           return "page" + std::to_string(info.param.page_size) + "_extent" +
                                  std::to_string(info.param.pages_per_extent);
                         });

}  // namespace
}  // namespace dadoveri
