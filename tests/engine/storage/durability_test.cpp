// Power cuts during and between commits. A process killed outright proves nothing here
// (the system's file cache outlives it), so the tests record every write, size change
// and barrier a workload makes, and rebuild from that record the files a power cut at
// many random moments could have left: each must open as a committed state, byte for
// byte, or report that it needs repair.
#include <gtest/gtest.h>

#include <cerrno>
#include <map>
#include <random>

#include "engine/storage/disk_page_manager.h"
#include "tests/engine/storage/storage_fixture.h"
#include "tests/engine/storage/write_recorder.h"

namespace dadoveri {
namespace {

using testing::CodeOf;
using testing::FillPage;
using testing::kSession;
using testing::PageHolds;
using testing::ReadWholeFile;
using testing::RecordedWrite;
using testing::RecordingWriter;
using testing::ReplayCut;
using testing::TempFolder;
using testing::WriteWholeFile;

// The page-cache calls of these tests, kept together.
int32_t AddPage(TABSDiskPageManager& pm, uint32_t seed) {
  TABSPage* page = pm.AddPage(kSession, ptTableRecord);
  const int32_t no = page->PageNo;
  FillPage(page, seed);
  page->Dirty = true;
  pm.PutPage(page);
  return no;
}

void RewritePage(TABSDiskPageManager& pm, int32_t no, uint32_t seed) {
  TABSPage* page = pm.GetPage(kSession, no, false, ptTableRecord);
  FillPage(page, seed);
  page->Dirty = true;
  pm.PutPage(page);
}

bool PageHoldsSeed(TABSDiskPageManager& pm, int32_t no, uint32_t seed) {
  TABSPage* page = pm.GetPage(kSession, no, false, ptTableRecord);
  const bool holds = PageHolds(page, seed);
  pm.PutPage(page);
  return holds;
}

// Live pages of a committed state and the seeds of their contents.
using State = std::map<int32_t, uint32_t>;

std::unique_ptr<TABSDiskPageManager> Open(const std::string& name, const TABSPassword& password,
                                          bool* needs_repair) {
  auto pm = std::make_unique<TABSDiskPageManager>(1000);
  bool read_only = false;
  pm->OpenDatabase(name, password, read_only, false, false, *needs_repair);
  return pm;
}

struct Recording {
  std::vector<uint8_t> before;        // the file when recording began
  std::vector<RecordedWrite> ops;
  std::map<int32_t, State> states;    // by CommitCounter
  // For every commit: the number of recorded calls when it had returned, its counter.
  std::vector<std::pair<size_t, int32_t>> commit_ends;
};

// Runs commits of one and of many pages with allocation, growth, freeing, shrinking and
// a rollback on a file of `initial` pages, recording every write.
Recording RecordWorkload(const std::string& name, uint16_t page_size, int initial,
                         const TABSPassword& password) {
  Recording r;
  State live;
  uint32_t seed = 1;
  {
    auto pm = testing::CreateDatabase(name, password, page_size);
    for (int i = 0; i < initial; ++i, ++seed) live[AddPage(*pm, seed)] = seed;
    pm->CommitPages(kSession);
    pm->CloseDatabase();
  }
  r.before = ReadWholeFile(name);
  bool repair = false;
  auto pm = Open(name, password, &repair);
  r.states[pm->MainHeader().CommitCounter()] = live;
  RecordingWriter recorder(pm->File().Platform());
  pm->File().SetWriter(&recorder);

  auto commit = [&] {
    pm->CommitPages(kSession);
    const int32_t counter = pm->MainHeader().CommitCounter();
    r.states[counter] = live;
    r.commit_ends.emplace_back(recorder.Count(), counter);
  };
  auto rewrite = [&](int32_t no) {
    RewritePage(*pm, no, ++seed);
    live[no] = seed;
  };
  auto add = [&](int count) {
    for (int i = 0; i < count; ++i, ++seed) live[AddPage(*pm, seed)] = seed;
  };
  auto free_page = [&](int32_t no) {
    pm->FreePage(kSession, no);
    live.erase(no);
  };
  auto highest_live = [&] { return live.rbegin()->first; };

  rewrite(live.begin()->first);
  commit();
  add(1);
  commit();
  for (int i = 0; i < 10; ++i) rewrite(std::next(live.begin(), 3 * i)->first);
  add(initial / 2 + 20);  // grows the file, past a map page where pages are small
  commit();
  for (int i = 0; i < 5; ++i) AddPage(*pm, 999999);
  pm->RollbackPages(kSession);  // allocates and releases outside any commit
  free_page(std::next(live.begin(), 2)->first);
  free_page(std::next(live.begin(), 7)->first);
  free_page(highest_live());
  commit();
  for (int i = 0; i < initial / 2 + 10; ++i) free_page(highest_live());  // the file shrinks
  commit();
  add(initial / 3 + 15);  // reuses freed pages, then grows
  commit();
  rewrite(highest_live());
  commit();

  pm->File().SetWriter(nullptr);
  pm->CloseDatabase();
  r.ops = recorder.Ops();
  return r;
}

// Opens a replayed file: it must report that it needs repair, or hold a committed state
// between the last one made durable before the cut and the one under way, page for page,
// with every live page marked used; and it must take further commits without harm.
// Returns whether it needed repair.
bool CheckReplayedFile(const std::string& name, const TABSPassword& password,
                       const Recording& r, size_t cut) {
  size_t durable = 0;
  for (size_t i = 0; i < cut; ++i)
    if (r.ops[i].kind == RecordedWrite::kBarrier) durable = i + 1;
  int32_t oldest = r.states.begin()->first;
  int32_t newest = oldest;
  for (const auto& [end, counter] : r.commit_ends) {
    if (end <= durable) oldest = counter;
    newest = counter;
    if (end >= cut) break;
  }

  bool repair = false;
  auto pm = Open(name, password, &repair);
  if (repair) {
    EXPECT_EQ(pm->MainHeader().WriteState(), kWriteStateWriting);
    return true;
  }
  const int32_t counter = pm->MainHeader().CommitCounter();
  EXPECT_GE(counter, oldest) << "a durable commit was lost";
  EXPECT_LE(counter, newest);
  const auto found = r.states.find(counter);
  if (found == r.states.end()) {
    ADD_FAILURE() << "no commit left CommitCounter " << counter;
    return false;
  }
  State state = found->second;
  for (const auto& [no, seed] : state) {
    EXPECT_TRUE(PageHoldsSeed(*pm, no, seed)) << "page " << no << " of commit " << counter;
    EXPECT_TRUE(pm->FreeSpace().IsPageUsed(no)) << "page " << no << " is marked free";
  }
  if (::testing::Test::HasFailure()) return false;

  // Further commits: allocation must neither fail nor hand out a live page.
  pm->SetCommitBarriers(false);  // nothing here is about power cuts
  uint32_t seed = 7000000;
  for (int i = 0; i < 25; ++i, ++seed) state[AddPage(*pm, seed)] = seed;
  RewritePage(*pm, state.begin()->first, ++seed);
  state[state.begin()->first] = seed;
  for (int i = 0; i < 2; ++i) {
    const int32_t no = std::next(state.begin(), 4)->first;
    pm->FreePage(kSession, no);
    state.erase(no);
  }
  pm->CommitPages(kSession);
  for (int i = 0; i < 10; ++i, ++seed) state[AddPage(*pm, seed)] = seed;
  pm->CommitPages(kSession);
  for (const auto& [no, seed] : state)
    EXPECT_TRUE(PageHoldsSeed(*pm, no, seed)) << "page " << no << " after further commits";
  pm->CloseDatabase();
  return false;
}

TEST(Durability, APowerCutLeavesACommittedStateOrAFileThatNeedsRepair) {
  struct Case {
    const char* name;
    uint16_t page_size;
    int initial_pages;
    TABSPassword password;
    int cuts;
  };
  // Small pages put map pages (every 192 pages) within the workload's reach; large ones
  // tear inside a page; encrypted ones check their pages' checksums too.
  const Case cases[] = {
      {"64-byte pages", 64, 170, {}, 400},
      {"4096-byte pages", 4096, 40, {}, 200},
      {"4096-byte encrypted pages", 4096, 30, {"41736285", caBlowfish}, 100},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempFolder dir;
    const Recording r = RecordWorkload(dir.File("db.dat"), c.page_size, c.initial_pages, c.password);
    ASSERT_GT(r.commit_ends.size(), 5u);
    std::mt19937 rng(20240611);
    std::uniform_int_distribution<size_t> pick(0, r.ops.size());
    int needed_repair = 0;
    int committed = 0;
    for (int trial = 0; trial < c.cuts && !HasFailure(); ++trial) {
      const size_t cut = pick(rng);
      SCOPED_TRACE("cut after " + std::to_string(cut) + " of " + std::to_string(r.ops.size()) +
                   " recorded calls, trial " + std::to_string(trial));
      const std::string replayed = dir.File("replayed.dat");
      WriteWholeFile(replayed, ReplayCut(r.before, r.ops, cut, rng));
      if (CheckReplayedFile(replayed, c.password, r, cut))
        ++needed_repair;
      else
        ++committed;
    }
    // Both outcomes occur: the cuts fall inside and between commits.
    EXPECT_GT(needed_repair, 0);
    EXPECT_GT(committed, 0);
  }
}

// Passes calls on to the platform file, failing from the chosen write or barrier on, as
// a failed disk would.
class FailingWriter : public FileWriter {
 public:
  FailingWriter(PlatformFile& next, int fail_write, int fail_barrier)
      : next_(next), fail_write_(fail_write), fail_barrier_(fail_barrier) {}
  bool Write(const void* buffer, size_t count, int64_t position) override {
    if (fail_write_ > 0 && ++writes_ >= fail_write_) return fail();
    return next_.Write(buffer, count, position);
  }
  bool SetSize(int64_t size) override { return next_.SetSize(size); }
  bool SyncData() override {
    if (fail_barrier_ > 0 && ++barriers_ >= fail_barrier_) return fail();
    return next_.SyncData();
  }
  bool Flush() override { return SyncData(); }

 private:
  bool fail() {
    next_.SetLastError(EIO);
    return false;
  }
  PlatformFile& next_;
  int fail_write_;
  int fail_barrier_;
  int writes_ = 0;
  int barriers_ = 0;
};

TEST(Durability, AFailedWriteOrBarrierInsideACommitLeavesAFileThatNeedsRepair) {
  struct Case {
    const char* name;
    int fail_write;  // counted from the commit's first write, the header's
    int fail_barrier;
    int32_t code;
  };
  const Case cases[] = {
      {"first page write", 2, 0, 10469},
      {"fifth page write", 6, 0, 10469},
      {"barrier after WriteState 1", 0, 1, 30379},
      {"barrier after the pages", 0, 2, 30379},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempFolder dir;
    const std::string name = dir.File("db.dat");
    {
      auto pm = testing::CreateDatabase(name);
      for (uint32_t i = 0; i < 10; ++i) AddPage(*pm, 100 + i);
      pm->CommitPages(kSession);
      for (int32_t no = 2; no < 12; ++no) RewritePage(*pm, no, 200 + static_cast<uint32_t>(no));
      FailingWriter failing(pm->File().Platform(), c.fail_write, c.fail_barrier);
      pm->File().SetWriter(&failing);
      EXPECT_EQ(CodeOf([&] { pm->CommitPages(kSession); }), c.code);
      pm->File().SetWriter(nullptr);
      pm->RollbackPages(kSession);
      pm->CloseDatabase();
    }
    bool repair = false;
    Open(name, {}, &repair);
    EXPECT_TRUE(repair);
  }
}

TEST(Durability, CommitsWithoutBarriersWaitOnceWhenTheFileCloses) {
  TempFolder dir;
  auto pm = testing::CreateDatabase(dir.File("db.dat"));
  RecordingWriter recorder(pm->File().Platform());
  pm->File().SetWriter(&recorder);
  pm->SetCommitBarriers(false);
  for (int commit = 0; commit < 3; ++commit) {
    for (uint32_t i = 0; i < 20; ++i) AddPage(*pm, i);  // grows the file, too
    pm->CommitPages(kSession);
  }
  EXPECT_EQ(recorder.Barriers(), 0u);
  pm->CloseDatabase();
  EXPECT_EQ(recorder.Barriers(), 1u);
  EXPECT_EQ(recorder.Ops().back().kind, RecordedWrite::kBarrier);
}

}  // namespace
}  // namespace dadoveri
