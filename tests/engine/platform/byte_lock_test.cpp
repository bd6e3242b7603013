#include "engine/platform/byte_lock.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "engine/platform/file.h"
#include "tests/engine/test_support.h"

namespace dadoveri {
namespace {

using testing::TempFolder;

class ByteLockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    name_ = dir_.File("locks");
    ASSERT_TRUE(a_.Create(name_, FileAccess::ReadWrite, FileShare::ReadWrite));
    ASSERT_TRUE(b_.Open(name_, FileAccess::ReadWrite, FileShare::ReadWrite));
  }
  TempFolder dir_;
  std::string name_;
  PlatformFile a_, b_;
};

TEST_F(ByteLockTest, LocksBelongToTheHandle) {
  ASSERT_TRUE(a_.LockRange(360, 1));
  EXPECT_FALSE(b_.LockRange(360, 1));  // another handle of the same process conflicts
  EXPECT_EQ(b_.LastError(), EAGAIN);
  EXPECT_FALSE(b_.LockRange(350, 20));  // an overlapping range too
  EXPECT_TRUE(b_.LockRange(361, 1));    // the neighbour byte is free
  EXPECT_FALSE(a_.LockRange(360, 1));   // the same handle cannot lock it twice
  EXPECT_TRUE(a_.UnlockRange(360, 1));
  EXPECT_TRUE(b_.LockRange(360, 1));
}

TEST_F(ByteLockTest, UnlockNeedsTheExactRange) {
  ASSERT_TRUE(a_.LockRange(100, 10));
  EXPECT_FALSE(a_.UnlockRange(100, 5));
  EXPECT_EQ(a_.LastError(), ENOENT);
  EXPECT_FALSE(b_.UnlockRange(100, 10));  // not this handle's lock
  EXPECT_TRUE(a_.UnlockRange(100, 10));
  EXPECT_FALSE(a_.UnlockRange(100, 10));
}

TEST_F(ByteLockTest, ClosingTheHandleReleasesItsLocks) {
  ASSERT_TRUE(a_.LockRange(5, 1));
  ASSERT_TRUE(a_.Close());
  EXPECT_TRUE(b_.LockRange(5, 1));
}

TEST_F(ByteLockTest, ReadOnlyHandlesStillConflictWithWriters) {
  PlatformFile reader;
  ASSERT_TRUE(reader.Open(name_, FileAccess::Read, FileShare::ReadWrite));
  ASSERT_TRUE(reader.LockRange(20, 1));
  EXPECT_FALSE(a_.LockRange(20, 1));
  EXPECT_FALSE(reader.LockRange(20, 1));
  // Two handles opened for reading exclude each other as well.
  PlatformFile second_reader;
  ASSERT_TRUE(second_reader.Open(name_, FileAccess::Read, FileShare::ReadWrite));
  EXPECT_FALSE(second_reader.LockRange(20, 1));
  ASSERT_TRUE(reader.Close());
  EXPECT_TRUE(second_reader.LockRange(20, 1));
}

TEST(ByteLock, FailureClassification) {
  for (int e : {EBADF, EIO, ESTALE, ENETDOWN, ECONNRESET, EPERM}) {
    EXPECT_TRUE(IsLostConnectionError(e)) << e;
    EXPECT_FALSE(IsLockConflictError(e)) << e;
  }
  for (int e : {EAGAIN, EACCES}) {
    EXPECT_TRUE(IsLockConflictError(e)) << e;
    EXPECT_FALSE(IsLostConnectionError(e)) << e;
  }
  for (int e : {ENOENT, EDEADLK, EINVAL, ENOLCK}) {
    EXPECT_FALSE(IsLostConnectionError(e)) << e;
    EXPECT_FALSE(IsLockConflictError(e)) << e;
  }
}

TEST_F(ByteLockTest, FailuresTellAConflictFromABrokenHandle) {
  ASSERT_TRUE(a_.LockRange(360, 1));
  EXPECT_FALSE(b_.LockRange(360, 1));
  EXPECT_TRUE(IsLockConflictError(b_.LastError()));
  EXPECT_FALSE(a_.LockRange(360, 1));  // the handle's own lock conflicts too
  EXPECT_TRUE(IsLockConflictError(a_.LastError()));
  EXPECT_FALSE(a_.LockRange(10, 0));
  EXPECT_FALSE(IsLockConflictError(a_.LastError()));
  EXPECT_FALSE(a_.UnlockRange(400, 1));  // never locked
  EXPECT_FALSE(IsLockConflictError(a_.LastError()));
}

TEST_F(ByteLockTest, ADroppedConnectionLosesItsLocksButRemembersThem) {
  ASSERT_TRUE(a_.LockRange(360, 1));
  ASSERT_TRUE(a_.LockRange(100, 10));
  a_.DropConnection();
  EXPECT_TRUE(a_.IsOpen());
  // The locks went with the descriptor: another handle takes them.
  EXPECT_TRUE(b_.LockRange(360, 1));
  EXPECT_TRUE(b_.LockRange(100, 10));
  // Every call on the dropped handle fails as on a dead handle.
  EXPECT_FALSE(a_.LockRange(500, 1));
  EXPECT_TRUE(IsLostConnectionError(a_.LastError()));
  int64_t size = 0;
  EXPECT_FALSE(a_.GetSize(&size));
  EXPECT_TRUE(IsLostConnectionError(a_.LastError()));
  char c;
  EXPECT_FALSE(a_.Read(&c, 1, 0));
  ASSERT_EQ(a_.HeldLocks().size(), 2u);
  EXPECT_EQ(a_.HeldLocks()[0].offset, 360);
  EXPECT_EQ(a_.HeldLocks()[1].count, 10);
  EXPECT_TRUE(a_.Close());
  EXPECT_FALSE(a_.IsOpen());
  EXPECT_TRUE(a_.HeldLocks().empty());
}

}  // namespace
}  // namespace dadoveri
