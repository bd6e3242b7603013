// Power cuts during and between commits. A process killed outright proves nothing here
// (the system's file cache outlives it), so the tests record every write, size change
// and barrier a workload makes, and rebuild from that record the files a power cut at
// many random moments could have left: each must open as a committed state, byte for
// byte, or report that it needs repair.
#include <gtest/gtest.h>

#include <cerrno>
#include <map>
#include <memory>
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
  TABSPageHandle page = pm.AddPage(kSession, ptTableRecord);
  FillPage(page, seed);
  return page.PageNo();
}

void RewritePage(TABSDiskPageManager& pm, int32_t no, uint32_t seed) {
  TABSPageHandle page = pm.GetPage(kSession, no, false, ptTableRecord);
  FillPage(page, seed);
}

bool PageHoldsSeed(TABSDiskPageManager& pm, int32_t no, uint32_t seed) {
  return PageHolds(pm.GetPage(kSession, no, false, ptTableRecord), seed);
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
  std::vector<uint8_t> before;  // the file when recording began
  std::vector<RecordedWrite> ops;
  std::map<int32_t, State> states;  // by CommitCounter
  // For every commit: the number of recorded calls when it began and when it had
  // returned, and the CommitCounter it left.
  struct Span {
    size_t begin;
    size_t end;
    int32_t counter;
  };
  std::vector<Span> commits;
};

// Runs changes on a database file of `initial` filled pages and records every write
// they make, with the live pages of each committed state.
class Workload {
 public:
  Workload(const std::string& name, uint16_t page_size, int initial, const TABSPassword& password) {
    {
      auto pm = testing::CreateDatabase(name, password, page_size);
      for (int i = 0; i < initial; ++i, ++seed_) live_[AddPage(*pm, seed_)] = seed_;
      pm->CommitPages(kSession);
      pm->CloseDatabase();
    }
    r_.before = ReadWholeFile(name);
    bool repair = false;
    pm_ = Open(name, password, &repair);
    r_.states[pm_->MainHeader().CommitCounter()] = live_;
    recorder_ = std::make_unique<RecordingWriter>(pm_->File().Platform());
    pm_->File().SetWriter(recorder_.get());
  }

  void Commit() {
    const size_t begin = recorder_->Count();
    pm_->CommitPages(kSession);
    const int32_t counter = pm_->MainHeader().CommitCounter();
    r_.states[counter] = live_;
    r_.commits.push_back({begin, recorder_->Count(), counter});
  }
  void Rewrite(int32_t no) {
    RewritePage(*pm_, no, ++seed_);
    live_[no] = seed_;
  }
  void Add(int count) {
    for (int i = 0; i < count; ++i, ++seed_) live_[AddPage(*pm_, seed_)] = seed_;
  }
  void Free(int32_t no) {
    pm_->FreePage(kSession, no);
    live_.erase(no);
  }
  // Allocates pages and rolls them back: writes outside any commit.
  void AddAndRollBack(int count) {
    for (int i = 0; i < count; ++i) AddPage(*pm_, 999999);
    pm_->RollbackPages(kSession);
  }
  int32_t Live(int index) const { return std::next(live_.begin(), index)->first; }
  int32_t HighestLive() const { return live_.rbegin()->first; }

  Recording Finish() {
    pm_->File().SetWriter(nullptr);
    pm_->CloseDatabase();
    r_.ops = recorder_->Ops();
    return std::move(r_);
  }

 private:
  Recording r_;
  State live_;
  uint32_t seed_ = 1;
  std::unique_ptr<TABSDiskPageManager> pm_;
  std::unique_ptr<RecordingWriter> recorder_;
};

// Opens a replayed file. When the cut fell inside a commit, the file may report that it
// needs repair; otherwise, and always when it does not, it must hold the state of the
// last commit that had returned, or of the one under way, page for page, with every
// live page marked used; and it must take further commits without harm. Returns
// whether it needed repair.
bool CheckReplayedFile(const std::string& name, const TABSPassword& password,
                       const Recording& r, size_t cut) {
  int32_t returned = r.states.begin()->first;
  int32_t under_way = -1;
  for (const Recording::Span& commit : r.commits) {
    if (commit.end <= cut) returned = commit.counter;
    if (commit.begin < cut && cut < commit.end) under_way = commit.counter;
  }

  bool repair = false;
  auto pm = Open(name, password, &repair);
  if (repair) {
    EXPECT_EQ(pm->MainHeader().WriteState(), kWriteStateWriting);
    EXPECT_NE(under_way, -1) << "needs repair though no commit was under way";
    return true;
  }
  const int32_t counter = pm->MainHeader().CommitCounter();
  EXPECT_TRUE(counter == returned || counter == under_way)
      << "CommitCounter " << counter << ", last commit returned " << returned;
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

  // Further commits: allocation and release must neither fail nor hand out a live page.
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

// A moment of the power cut and the chance that each write in flight arrived.
struct Cut {
  size_t at;
  double arrives;
};

// Replays every cut; stops at the first that shows a fault. Both outcomes must occur.
void CheckCuts(const std::string& name, const TABSPassword& password, const Recording& r,
               const std::vector<Cut>& cuts, std::mt19937& rng) {
  int needed_repair = 0;
  int committed = 0;
  for (const Cut& cut : cuts) {
    SCOPED_TRACE("cut after " + std::to_string(cut.at) + " of " + std::to_string(r.ops.size()) +
                 " recorded calls, writes in flight arriving with chance " + std::to_string(cut.arrives));
    WriteWholeFile(name, ReplayCut(r.before, r.ops, cut.at, cut.arrives, rng));
    try {
      if (CheckReplayedFile(name, password, r, cut.at))
        ++needed_repair;
      else
        ++committed;
    } catch (const std::exception& e) {
      ADD_FAILURE() << e.what();
    }
    if (::testing::Test::HasFailure()) return;
  }
  EXPECT_GT(needed_repair, 0);
  EXPECT_GT(committed, 0);
}

// Cuts just before each barrier, where the most writes are in flight, `per_barrier` times
// each, and at `anywhere` random moments; some of the latter keep every write in flight.
std::vector<Cut> RandomCuts(const Recording& r, int per_barrier, int anywhere, std::mt19937& rng) {
  const double chances[] = {0.25, 0.5, 0.75, 1.0};
  std::vector<Cut> cuts;
  for (size_t i = 0; i < r.ops.size(); ++i)
    if (r.ops[i].kind == RecordedWrite::kBarrier)
      for (int k = 0; k < per_barrier; ++k) cuts.push_back({i, chances[rng() % 3]});
  std::uniform_int_distribution<size_t> position(0, r.ops.size());
  for (int k = 0; k < anywhere; ++k) cuts.push_back({position(rng), chances[rng() % 4]});
  return cuts;
}

TEST(Durability, APowerCutLeavesACommittedStateOrAFileThatNeedsRepair) {
  struct Case {
    const char* name;
    uint16_t page_size;
    int initial_pages;
    TABSPassword password;
    int per_barrier;
    int anywhere;
  };
  // Small pages put map pages (every 192 pages) within the workload's reach; large ones
  // tear inside a page; encrypted ones check their pages' checksums too.
  const Case cases[] = {
      {"64-byte pages", 64, 170, {}, 3, 200},
      {"4096-byte pages", 4096, 40, {}, 3, 100},
      {"4096-byte encrypted pages", 4096, 30, {"41736285", caBlowfish}, 2, 50},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempFolder dir;
    Workload w(dir.File("db.dat"), c.page_size, c.initial_pages, c.password);
    w.Rewrite(w.Live(0));  // one page
    w.Commit();
    w.Add(1);
    w.Commit();
    for (int i = 0; i < 10; ++i) w.Rewrite(w.Live(3 * i));
    w.Add(c.initial_pages / 2 + 20);  // many pages; the file grows past a map page
    w.Commit();
    w.AddAndRollBack(10);
    w.Free(w.Live(2));
    w.Free(w.Live(7));
    w.Free(w.HighestLive());
    w.Commit();
    for (int i = 0; i < c.initial_pages / 2 + 10; ++i) w.Free(w.HighestLive());
    w.Commit();  // the file shrinks
    w.Add(c.initial_pages / 3 + 15);  // reuses freed pages, then grows
    w.Commit();
    w.Rewrite(w.HighestLive());
    w.Commit();
    const Recording r = w.Finish();
    std::mt19937 rng(20240611);
    CheckCuts(dir.File("replayed.dat"), c.password, r, RandomCuts(r, c.per_barrier, c.anywhere, rng), rng);
    if (HasFailure()) return;
  }
}

TEST(Durability, WritesBetweenCommitsNeverHarmTheCommittedState) {
  // Page allocation and the releases of a rollback write map pages, grow and shrink the
  // file and rewrite header fields outside any commit. With 64-byte pages a map page
  // sits every 192 pages: the file grows past page 192 and shrinks back below it. Every
  // moment is cut with the writes in order, and the moments before barriers with writes
  // in flight arriving or not.
  TempFolder dir;
  Workload w(dir.File("db.dat"), 64, 175, {});
  w.AddAndRollBack(40);
  w.Add(40);
  w.Commit();
  w.AddAndRollBack(8);
  for (int i = 0; i < 40; ++i) w.Free(w.HighestLive());
  w.Commit();
  w.AddAndRollBack(30);
  const Recording r = w.Finish();
  std::mt19937 rng(7);
  std::vector<Cut> cuts = RandomCuts(r, 6, 0, rng);
  for (size_t at = 0; at <= r.ops.size(); ++at) cuts.push_back({at, 1.0});
  CheckCuts(dir.File("replayed.dat"), {}, r, cuts, rng);
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
