// Several sessions on one page cache, and two processes on one file: what each session
// sees across commit, rollback and revalidation, and the copies a commit replaces.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <set>

#include "engine/storage/disk_page_manager.h"
#include "tests/engine/storage/storage_fixture.h"

namespace dadoveri {
namespace {

using testing::AddFilledPages;
using testing::CodeOf;
using testing::CreateDatabase;
using testing::FillPage;
using testing::OpenDatabase;
using testing::PageHolds;
using testing::TempFolder;

constexpr int32_t kTable = 41;

// Patches bytes of a page on disk behind the managers' backs.
void PatchFile(const std::string& name, int64_t offset, const std::vector<uint8_t>& bytes) {
  std::fstream f(name, std::ios::in | std::ios::out | std::ios::binary);
  f.seekp(offset);
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// Runs `fn` as a table operation of `session` under table counter `counter`, the way the
// table layer brackets its page reads in multi-user mode.
template <typename Fn>
auto InTable(TABSDiskPageManager& pm, int32_t session, int32_t counter, Fn&& fn) {
  TABSDiskTablePagesCacheManager& cache = pm.TablePagesCache();
  cache.LockTable(session, kTable, false);
  cache.SetTableCounter(session, kTable, counter);
  cache.PushCurrentTable(session, kTable);
  struct Done {
    TABSDiskTablePagesCacheManager& cache;
    int32_t session;
    ~Done() {
      cache.PopCurrentTable(session);
      cache.UnlockTable(session, kTable, false);
    }
  } done{cache, session};
  return fn();
}

class SharedCache : public ::testing::Test {
 protected:
  void SetUp() override {
    name_ = dir_.File("s.dat");
    pm_ = CreateDatabase(name_);
    AddFilledPages(*pm_, 3, 0);  // pages 2, 3, 4 hold their own numbers
  }
  TABSPageHandle get(int32_t session, int32_t no) { return pm_->GetPage(session, no, true, ptTableRecord); }
  void change(int32_t session, int32_t no, uint32_t seed) {
    TABSPageHandle page = get(session, no);
    FillPage(page, seed);
  }
  TempFolder dir_;
  std::string name_;
  std::unique_ptr<TABSDiskPageManager> pm_;
};

TEST_F(SharedCache, ACommitReplacesACopyAnotherSessionHeldMeanwhile) {
  change(0, 3, 70);
  // Session 1 reads the committed bytes from disk and keeps them while session 0 commits.
  TABSPageHandle stale = get(1, 3);
  EXPECT_TRUE(PageHolds(stale, 3));
  pm_->CommitPages(0);
  EXPECT_TRUE(PageHolds(stale, 3)) << "bytes changed under their holder";
  // Everyone else, the holder's own session included, sees the commit at once.
  EXPECT_TRUE(PageHolds(get(2, 3), 70));
  stale.Release();
  EXPECT_TRUE(PageHolds(get(1, 3), 70));
  EXPECT_TRUE(PageHolds(get(2, 3), 70));
  EXPECT_EQ(pm_->HeldPageCount(1), 0);
}

TEST_F(SharedCache, AChangeMadeOnReplacedBytesCannotBeCommitted) {
  struct Case {
    const char* name;
    bool held;  // changed through a handle still alive at the other commit, or already given back
  };
  for (const Case& c : {Case{"held", true}, Case{"given back", false}}) {
    SCOPED_TRACE(c.name);
    change(0, 4, 80);
    TABSPageHandle mine = get(1, 4);
    FillPage(mine, 90);
    if (!c.held) mine.Release();
    pm_->CommitPages(0);
    mine.Release();
    EXPECT_EQ(CodeOf([&] { pm_->CommitPages(1); }), 40102);
    EXPECT_TRUE(PageHolds(get(2, 4), 80));
    pm_->RollbackPages(1);
    // After the rollback the session starts from the committed bytes and may commit.
    change(1, 4, 91);
    pm_->CommitPages(1);
    EXPECT_TRUE(PageHolds(get(0, 4), 91));
  }
}

TEST(MultiUserRevalidation, AHeldPageIsNeitherRereadNorServedToAnotherSession) {
  TempFolder dir;
  const std::string name = dir.File("mu.dat");
  CreateDatabase(name)->CloseDatabase();
  {
    auto pm = OpenDatabase(name);
    AddFilledPages(*pm, 2, 0);  // pages 2, 3
    pm->CloseDatabase();
  }
  auto a = OpenDatabase(name, {}, nullptr, true);
  auto b = OpenDatabase(name, {}, nullptr, true);
  TABSPageHandle held = InTable(*a, 0, 1, [&] { return a->GetPage(0, 2, true, ptTableRecord); });
  InTable(*b, 0, 1, [&] {
    TABSPageHandle page = b->GetPage(0, 2, true, ptTableRecord);
    FillPage(page, 60);
  });
  b->CommitPages(0);
  // The table counter moved: session 1 of the first process finds the page held by
  // session 0 and is refused before any byte of it changes.
  EXPECT_EQ(CodeOf([&] { InTable(*a, 1, 2, [&] { return a->GetPage(1, 2, true, ptTableRecord); }); }), 20090);
  EXPECT_TRUE(PageHolds(held, 2));
  // Session 0 keeps reading its own copy within its operation.
  EXPECT_TRUE(InTable(*a, 0, 2, [&] { return PageHolds(a->GetPage(0, 2, true, ptTableRecord), 2); }));
  held.Release();
  EXPECT_TRUE(InTable(*a, 1, 2, [&] { return PageHolds(a->GetPage(1, 2, true, ptTableRecord), 60); }));
}

TEST(MultiUserRevalidation, APageThatFailsItsChecksumOnRevalidationLeavesTheCache) {
  TempFolder dir;
  const std::string name = dir.File("enc.dat");
  {
    auto pm = CreateDatabase(name, {"pw", caRijndael_128});
    AddFilledPages(*pm, 2, 0);
    pm->CloseDatabase();
  }
  auto a = OpenDatabase(name, {"pw", 0}, nullptr, true);
  EXPECT_TRUE(InTable(*a, 0, 1, [&] { return PageHolds(a->GetPage(0, 3, true, ptTableRecord), 3); }));
  // Damage page 3 on disk as a failed write of another process might: a new counter and
  // bytes that no longer decrypt to their checksum.
  const int64_t at = a->PageOffset(3);
  PatchFile(name, at + 4, {9, 9, 9, 9});
  PatchFile(name, at + 200, {1, 2, 3, 4, 5, 6, 7, 8});
  for (int32_t counter : {2, 3}) {
    EXPECT_EQ(CodeOf([&] { InTable(*a, 0, counter, [&] { return a->GetPage(0, 3, true, ptTableRecord); }); }), 30446)
        << "counter " << counter;
  }
  EXPECT_EQ(a->SharedCache().Find(3), nullptr);
  EXPECT_EQ(CodeOf([&] { a->GetPage(0, 3, false, ptTableRecord); }), 30446);
  // The undamaged page is still served.
  EXPECT_TRUE(InTable(*a, 0, 4, [&] { return PageHolds(a->GetPage(0, 2, true, ptTableRecord), 2); }));
}

// Two sessions of one process (sharing one cache) and a second process interleave reads,
// changes, held pages, commits and rollbacks on a handful of pages. A model says what each
// session must see: its own uncommitted change, else the bytes of the copy it holds, else
// the last committed bytes; and which calls must be refused. The second process changes
// only pages of its own (table locks keep two processes off one table's pages), but every
// page is read by everyone.
TEST(PageSessionsModel, RandomInterleavingMatchesTheModel) {
  TempFolder dir;
  const std::string name = dir.File("model.dat");
  constexpr int32_t kFirst = 2, kCount = 6;
  constexpr int32_t kSecondsPages = 2;  // the last two pages belong to the second process
  {
    auto pm = CreateDatabase(name);
    AddFilledPages(*pm, kCount, 0);
    pm->CloseDatabase();
  }
  auto a = OpenDatabase(name, {}, nullptr, true);
  auto b = OpenDatabase(name, {}, nullptr, true);

  struct Actor {
    TABSDiskPageManager* pm;
    int32_t session;
    bool own_pages_only;  // the second process
    std::map<int32_t, uint32_t> pending;
    struct Held {
      TABSPageHandle page;
      uint32_t seen;
      bool replaced = false;  // a commit of this process replaced the cached copy since
    };
    std::map<int32_t, Held> held;
    bool conflict = false;
  };
  std::vector<Actor> actors;
  actors.push_back({a.get(), 0, false, {}, {}});
  actors.push_back({a.get(), 1, false, {}, {}});
  actors.push_back({b.get(), 0, true, {}, {}});
  std::map<int32_t, uint32_t> committed;
  for (int32_t no = kFirst; no < kFirst + kCount; ++no) committed[no] = static_cast<uint32_t>(no);
  int32_t counter = 1;  // the table counter: moves with every commit
  uint32_t next_seed = 1000;
  std::mt19937 rng(20261210);

  auto expected = [&](const Actor& actor, int32_t no) -> uint32_t {
    if (auto it = actor.pending.find(no); it != actor.pending.end()) return it->second;
    if (auto it = actor.held.find(no); it != actor.held.end()) return it->second.seen;
    return committed[no];
  };
  // Whether another session of the same process holds the cached copy of `no`.
  auto blocked = [&](const Actor& actor, int32_t no) {
    if (actor.pending.count(no)) return false;
    for (const Actor& other : actors)
      if (&other != &actor && other.pm == actor.pm && other.held.count(no) && !other.pending.count(no) &&
          !other.held.at(no).replaced)
        return true;
    return false;
  };
  auto changeable = [&](const Actor& actor, int32_t no) {
    return actor.own_pages_only ? no >= kFirst + kCount - kSecondsPages : no < kFirst + kCount - kSecondsPages;
  };

  for (int step = 0; step < 20000; ++step) {
    Actor& actor = actors[rng() % actors.size()];
    const int32_t no = kFirst + static_cast<int32_t>(rng() % kCount);
    const int op = static_cast<int>(rng() % 100);
    SCOPED_TRACE("step " + std::to_string(step) + " session " + std::to_string(actor.session) + " page " +
                 std::to_string(no) + " op " + std::to_string(op));
    TABSDiskPageManager& pm = *actor.pm;
    if (op < 35) {  // read
      if (actor.held.count(no)) {
        ASSERT_TRUE(PageHolds(actor.held.at(no).page, expected(actor, no)));
        continue;
      }
      if (blocked(actor, no)) {
        ASSERT_EQ(CodeOf([&] { InTable(pm, actor.session, counter, [&] { return pm.GetPage(actor.session, no, true, ptTableRecord); }); }), 20090);
        continue;
      }
      const uint32_t want = expected(actor, no);
      ASSERT_TRUE(InTable(pm, actor.session, counter, [&] {
        return PageHolds(pm.GetPage(actor.session, no, true, ptTableRecord), want);
      }));
    } else if (op < 55) {  // change
      if (!changeable(actor, no) || actor.held.count(no)) continue;
      if (blocked(actor, no)) continue;
      const uint32_t seed = next_seed++;
      InTable(pm, actor.session, counter, [&] {
        TABSPageHandle page = pm.GetPage(actor.session, no, true, ptTableRecord);
        ASSERT_TRUE(PageHolds(page, expected(actor, no)));
        FillPage(page, seed);
      });
      actor.pending[no] = seed;
    } else if (op < 68) {  // take and keep a page
      if (actor.held.count(no) || blocked(actor, no)) continue;
      const uint32_t want = expected(actor, no);
      TABSPageHandle page =
          InTable(pm, actor.session, counter, [&] { return pm.GetPage(actor.session, no, true, ptTableRecord); });
      ASSERT_TRUE(PageHolds(page, want));
      actor.held.emplace(no, Actor::Held{std::move(page), want});
    } else if (op < 80) {  // give a kept page back
      if (actor.held.empty()) continue;
      actor.held.erase(actor.held.begin());
    } else if (op < 92) {  // commit
      if (!actor.held.empty()) {
        ASSERT_EQ(CodeOf([&] { pm.CommitPages(actor.session); }), 20152);
        continue;
      }
      if (actor.conflict) {
        ASSERT_EQ(CodeOf([&] { pm.CommitPages(actor.session); }), 40102);
        continue;
      }
      ASSERT_EQ(CodeOf([&] { pm.CommitPages(actor.session); }), 0);
      if (actor.pending.empty()) continue;
      for (Actor& other : actors) {
        if (&other == &actor || other.pm != actor.pm) continue;
        for (const auto& [page, seed] : actor.pending) {
          if (other.pending.count(page)) other.conflict = true;
          if (auto it = other.held.find(page); it != other.held.end()) it->second.replaced = true;
        }
      }
      for (const auto& [page, seed] : actor.pending) committed[page] = seed;
      actor.pending.clear();
      ++counter;
    } else {  // rollback
      if (!actor.held.empty()) {
        ASSERT_EQ(CodeOf([&] { pm.RollbackPages(actor.session); }), 20088);
        continue;
      }
      pm.RollbackPages(actor.session);
      actor.pending.clear();
      actor.conflict = false;
    }
  }
  for (Actor& actor : actors) {
    actor.held.clear();
    actor.pm->RollbackPages(actor.session);
  }
}

}  // namespace
}  // namespace dadoveri
