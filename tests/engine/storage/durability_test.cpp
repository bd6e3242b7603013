#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "engine/storage/disk_page_manager.h"
#include "tests/engine/storage/storage_fixture.h"

namespace dadoveri {
namespace {

using testing::AddFilledPages;
using testing::FillPage;
using testing::kSession;
using testing::OpenDatabase;
using testing::PageHolds;
using testing::TempFolder;

// A disk page manager whose process is killed outright after a number of page writes of
// a commit, as a power cut or a crash would stop it.
class DyingPageManager : public TABSDiskPageManager {
 public:
  explicit DyingPageManager(int writes_before_death) : left_(writes_before_death) {}
  void WritePage(TABSPage* page) override {
    TABSDiskPageManager::WritePage(page);
    if (--left_ == 0) raise(SIGKILL);
  }

 private:
  int left_;
};

TEST(Durability, AProcessKilledInsideACommitLeavesAFileThatNeedsRepair) {
  TempFolder dir;
  const std::string name = dir.File("crash.dat");
  const TABSPassword password{"41736285", caBlowfish};
  {
    auto pm = testing::CreateDatabase(name, password);
    ASSERT_EQ(AddFilledPages(*pm, 40, 1000), 2);  // pages 2 … 41 hold version 1
    pm->CloseDatabase();
  }
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Change pages 22 … 41 to version 2 and die after the fifth page is written.
    DyingPageManager pm(5);
    bool read_only = false, repair = false;
    pm.OpenDatabase(name, password, read_only, false, false, repair);
    for (int32_t no = 22; no <= 41; ++no) {
      TABSPageHandle page = pm.GetPage(kSession, no, false, ptTableRecord);
      FillPage(page, 2000 + static_cast<uint32_t>(no));
      page.MarkDirty();
      page.Release();
    }
    pm.CommitPages(kSession);
    _exit(0);  // not reached
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status));
  ASSERT_EQ(WTERMSIG(status), SIGKILL);

  bool needs_repair = false;
  auto pm = OpenDatabase(name, password, &needs_repair);
  EXPECT_TRUE(needs_repair);
  EXPECT_EQ(pm->MainHeader().WriteState(), kWriteStateWriting);
  EXPECT_EQ(pm->MainHeader().CommitCounter(), 1);
  // Pages the commit did not reach hold the last committed version; the five it wrote
  // hold the new one, whole, and every page passes its checksum.
  for (int32_t no = 2; no <= 41; ++no) {
    TABSPageHandle page = pm->GetPage(kSession, no, false, ptTableRecord);
    const bool rewritten = no >= 22 && no <= 26;
    EXPECT_TRUE(PageHolds(page, (rewritten ? 2000u : 1000u) + static_cast<uint32_t>(no))) << no;
    page.Release();
  }
}

}  // namespace
}  // namespace dadoveri
