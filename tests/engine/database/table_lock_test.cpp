// Sessions and locks: the compatibility matrix, re-entrant counts, record locks, the
// commit-time lock steps, and several processes sharing one file through byte locks.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "engine/database/local_cursor.h"
#include "engine/base/engine_error.h"
#include "engine/database/disk_database_data.h"
#include "engine/database/table_locks_file.h"
#include "engine/table/cursor.h"
#include "engine/table/session.h"
#include "engine/table/table_data.h"
#include "engine/table/table_metadata.h"
#include "tests/engine/test_support.h"

namespace dadoveri {
namespace {

using testing::CodeOf;
using testing::MessageOf;
using testing::TempFolder;

constexpr TABSLockAttempts kOnce{1, 0};
constexpr TABSLockAttempts kFew{3, 10};

// A database with one table "T", made in a temporary folder.
class LockFixture : public ::testing::Test {
 protected:
  void SetUp() override { Make(500); }
  void Make(int32_t max_connections) {
    name_ = folder_.File("locks.dat");
    TABSDiskDatabaseData db(name_);
    db.CreateSettings.MaxConnections = max_connections;
    db.CreateDatabase();
    const int32_t s = db.Connect({});
    TABSTableMetadata m;
    TABSFieldDef* f = m.Fields.AddFieldDef();
    f->Name = "A";
    f->SetType(ctInteger);
    db.CreateTable(s, "T", m);
    db.Disconnect(s);
  }
  // Opens the table's lock file on a database object.
  static std::unique_ptr<TABSTableLocksFile> LockFile(TABSDiskDatabaseData& db) {
    auto f = std::make_unique<TABSTableLocksFile>(db.DiskPageManager());
    f->OpenFile(db.TableList().Find("T").LocksStartPageNo);
    return f;
  }
  // Runs `child` in a forked process with a database object of its own; answers its exit
  // status (the child's return value, 100 + code for an engine error, 99 otherwise).
  int RunChild(const std::function<int(TABSDiskDatabaseData&)>& child, const std::function<void()>& while_running = {}) {
    const pid_t pid = fork();
    if (pid == 0) {
      int status = 99;
      try {
        TABSDiskDatabaseData db(name_);
        status = child(db);
      } catch (const VODIDivodavir& e) {
        status = 100 + e.NativeError % 100;
      } catch (...) {
      }
      _exit(status);
    }
    if (while_running) while_running();
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  TempFolder folder_;
  std::string name_;
};

TEST(LockMatrix, Values) {
  const bool expected[7][7] = {
      {1, 1, 1, 1, 1, 1, 0}, {1, 1, 1, 1, 0, 1, 0}, {1, 1, 1, 0, 1, 1, 0}, {1, 1, 0, 0, 0, 1, 0},
      {1, 0, 1, 0, 0, 1, 0}, {1, 1, 1, 1, 1, 1, 0}, {0, 0, 0, 0, 0, 0, 0},
  };
  for (int h = 0; h < 7; ++h)
    for (int r = 0; r < 7; ++r) EXPECT_EQ(LockTypesCompatible(h, r), expected[h][r]) << h << " " << r;
}

TEST_F(LockFixture, EveryPairOfTypesBetweenTwoSessions) {
  TABSDiskDatabaseData db(name_);
  const int32_t s0 = db.Connect({});
  const int32_t s1 = db.Connect({});
  auto file = LockFile(db);
  TABSDatabaseTableLockManager& m = db.LockManager();
  for (int held = 0; held < kLockTypeCount; ++held) {
    for (int requested = 0; requested < kLockTypeCount; ++requested) {
      ASSERT_TRUE(m.LockTable(s0, held, *file, kOnce)) << held;
      const bool granted = m.LockTable(s1, requested, *file, kOnce);
      EXPECT_EQ(granted, LockTypesCompatible(held, requested)) << "held " << held << " requested " << requested;
      if (granted) m.UnlockTable(s1, requested, *file);
      m.UnlockTable(s0, held, *file);
    }
  }
  EXPECT_EQ(CodeOf([&] { m.LockTable(file->SlotCount(), ltRead, *file, kOnce); }), 20200);
  // A transaction lock may ignore other sessions' edit locks.
  ASSERT_TRUE(m.LockTable(s0, ltEdit, *file, kOnce));
  EXPECT_FALSE(m.LockTable(s1, ltTransaction, *file, kOnce));
  EXPECT_TRUE(m.LockTable(s1, ltTransaction, *file, kOnce, true));
  m.UnlockTable(s1, ltTransaction, *file);
  m.UnlockTable(s0, ltEdit, *file);
  m.CheckNoLocks();
  db.Disconnect(s1);
  db.Disconnect(s0);
}

TEST_F(LockFixture, ReentrantCountsAndCoveredLocks) {
  TABSDiskDatabaseData db(name_);
  const int32_t s0 = db.Connect({});
  const int32_t s1 = db.Connect({});
  auto file = LockFile(db);
  TABSDatabaseTableLockManager& m = db.LockManager();
  ASSERT_TRUE(m.LockTable(s0, ltRead, *file, kOnce));
  ASSERT_TRUE(m.LockTable(s0, ltRead, *file, kOnce));
  EXPECT_EQ(m.LockCount(s0, ltRead, *file), 2);
  m.UnlockTable(s0, ltRead, *file);
  EXPECT_FALSE(m.LockTable(s1, ltWrite, *file, kOnce)) << "one read lock is still held";
  m.UnlockTable(s0, ltRead, *file);
  EXPECT_TRUE(m.LockTable(s1, ltWrite, *file, kOnce));
  m.UnlockTable(s1, ltWrite, *file);
  // An edit lock is not re-entrant.
  ASSERT_TRUE(m.LockTable(s0, ltEdit, *file, kOnce));
  EXPECT_FALSE(m.LockTable(s0, ltEdit, *file, kOnce));
  m.UnlockTable(s0, ltEdit, *file);
  EXPECT_EQ(CodeOf([&] { m.UnlockTable(s0, ltEdit, *file); }), 20202);
  // Under its exclusive lock a session takes any other type; after the exclusive lock goes
  // the others keep real bytes.
  ASSERT_TRUE(m.LockTable(s0, ltTableOpen, *file, kOnce));
  ASSERT_TRUE(m.LockTable(s0, ltExclusive, *file, kOnce));
  EXPECT_TRUE(m.LockTable(s0, ltWrite, *file, kOnce));
  EXPECT_FALSE(m.LockTable(s1, ltTableOpen, *file, kOnce));
  m.UnlockTable(s0, ltExclusive, *file);
  EXPECT_TRUE(m.LockTable(s1, ltTableOpen, *file, kOnce));
  EXPECT_FALSE(m.LockTable(s1, ltRead, *file, kOnce)) << "s0's write lock now has its byte";
  m.UnlockTable(s0, ltWrite, *file);
  m.UnlockTable(s0, ltTableOpen, *file);
  m.UnlockTable(s1, ltTableOpen, *file);
  // A session left holding locks is cleaned up and told so.
  ASSERT_TRUE(m.LockTable(s1, ltRead, *file, kOnce));
  EXPECT_EQ(CodeOf([&] { db.Disconnect(s1); }), 20234);
  EXPECT_TRUE(m.LockTable(s0, ltWrite, *file, kOnce));
  m.UnlockTable(s0, ltWrite, *file);
  db.Disconnect(s0);
}

TEST_F(LockFixture, RecordLocksCompareTheStoredRecordID) {
  TABSDiskDatabaseData db(name_);
  const int32_t s0 = db.Connect({});
  const int32_t s1 = db.Connect({});
  auto file = LockFile(db);
  TABSDatabaseTableLockManager& m = db.LockManager();
  EXPECT_FALSE(m.IsRecordLocked(s1, *file, 12, 3));
  ASSERT_TRUE(m.LockRecord(s0, *file, 12, 3));
  EXPECT_TRUE(m.IsRecordLocked(s1, *file, 12, 3));
  EXPECT_FALSE(m.IsRecordLocked(s1, *file, 12, 4));
  EXPECT_FALSE(m.IsRecordLocked(s0, *file, 12, 3)) << "a session's own lock does not count";
  EXPECT_EQ(CodeOf([&] { m.LockRecord(s0, *file, 12, 4); }), 20205) << "one record per session and table";
  EXPECT_EQ(RunChild([&](TABSDiskDatabaseData& other) {
              const int32_t s = other.Connect({});
              auto f = LockFile(other);
              const int r = (other.LockManager().IsRecordLocked(s, *f, 12, 3) ? 1 : 0) +
                            (other.LockManager().IsRecordLocked(s, *f, 13, 3) ? 2 : 0);
              f->CloseFile();
              other.Disconnect(s);
              return r;
            }),
            1);
  m.UnlockRecord(s0, *file);
  EXPECT_FALSE(m.IsRecordLocked(s1, *file, 12, 3));
  EXPECT_EQ(CodeOf([&] { m.UnlockRecord(s0, *file); }), 20206);
  db.Disconnect(s1);
  db.Disconnect(s0);
}

TEST_F(LockFixture, CommitTakesWriteLocksOfChangedTables) {
  TABSDiskDatabaseData db(name_);
  const int32_t s0 = db.Connect({});
  const int32_t s1 = db.Connect({});
  auto file = LockFile(db);
  TABSDatabaseTableLockManager& m = db.LockManager();
  m.CommitAttempts = kFew;
  ASSERT_TRUE(m.LockTable(s0, ltTransaction, *file, kOnce));
  ASSERT_TRUE(m.LockTable(s1, ltRead, *file, kOnce));
  EXPECT_EQ(CodeOf([&] { db.CommitSession(s0); }), 20233);
  EXPECT_FALSE(m.HoldsLock(s0, ltWrite, *file));
  EXPECT_TRUE(m.HoldsLock(s0, ltTransaction, *file));
  m.UnlockTable(s1, ltRead, *file);
  // With a record lock held, the commit leaves an edit lock in place of the others.
  ASSERT_TRUE(m.LockRecord(s0, *file, 1, 1));
  db.CommitSession(s0);
  EXPECT_FALSE(m.HoldsLock(s0, ltTransaction, *file));
  EXPECT_FALSE(m.HoldsLock(s0, ltWrite, *file));
  EXPECT_TRUE(m.HoldsLock(s0, ltEdit, *file));
  m.UnlockRecord(s0, *file);
  m.UnlockTable(s0, ltEdit, *file);
  m.CheckNoLocks();
  db.Disconnect(s1);
  db.Disconnect(s0);
}

TEST_F(LockFixture, AFailedCommitReleasesTheWriteLocksItTook) {
  TABSDiskDatabaseData db(name_);
  const int32_t s0 = db.Connect({});
  const int32_t s1 = db.Connect({});
  auto file = LockFile(db);
  TABSDatabaseTableLockManager& m = db.LockManager();
  ASSERT_TRUE(m.LockTable(s0, ltTransaction, *file, kOnce));
  // A page still in use makes the page commit refuse.
  TABSPageHandle page = db.DiskPageManager().AddPage(s0, ptTableRecord);
  const int32_t refused = CodeOf([&] { db.CommitSession(s0); });
  EXPECT_NE(refused, 0);
  EXPECT_NE(refused, 20233) << "the write lock was granted; the page commit refused";
  EXPECT_FALSE(m.HoldsLock(s0, ltWrite, *file));
  EXPECT_TRUE(m.HoldsLock(s0, ltTransaction, *file)) << "the changes are still pending";
  EXPECT_TRUE(m.LockTable(s1, ltRead, *file, kOnce)) << "no write lock is left in the way";
  m.UnlockTable(s1, ltRead, *file);
  page.Release();
  db.CommitSession(s0);
  EXPECT_FALSE(m.HoldsLock(s0, ltTransaction, *file));
  EXPECT_FALSE(m.HoldsLock(s0, ltWrite, *file));
  m.CheckNoLocks();
  db.Disconnect(s1);
  db.Disconnect(s0);
}

TEST_F(LockFixture, AMissingEditLockStillReleasesTheTransactionAndWriteLocks) {
  TABSDiskDatabaseData db(name_);
  const int32_t s0 = db.Connect({});
  auto file = LockFile(db);
  TABSDatabaseTableLockManager& m = db.LockManager();
  m.CommitAttempts = kFew;
  ASSERT_TRUE(m.LockTable(s0, ltTransaction, *file, kOnce));
  ASSERT_TRUE(m.LockTable(s0, ltWrite, *file, kOnce));
  ASSERT_TRUE(m.LockRecord(s0, *file, 5, 1));
  // Another handle's transaction byte keeps the edit lock out after the commit.
  TABSDiskDatabaseData other(name_);
  const int32_t s = other.Connect({});
  auto other_file = LockFile(other);
  ASSERT_TRUE(other_file->LockTypeByte(ltTransaction, s));
  EXPECT_EQ(CodeOf([&] { db.CommitSession(s0); }), 20203);
  EXPECT_FALSE(m.HoldsLock(s0, ltTransaction, *file));
  EXPECT_FALSE(m.HoldsLock(s0, ltWrite, *file));
  EXPECT_FALSE(m.HoldsLock(s0, ltEdit, *file));
  EXPECT_TRUE(m.HoldsLock(s0, ltRecord, *file));
  EXPECT_FALSE(file->IsTypeByteLocked(ltWrite, s0));
  EXPECT_FALSE(file->IsTypeByteLocked(ltTransaction, s0));
  ASSERT_TRUE(other_file->UnlockTypeByte(ltTransaction, s));
  m.UnlockRecord(s0, *file);
  m.CheckNoLocks();
  other_file->CloseFile();
  other.Disconnect(s);
  db.Disconnect(s0);
}

TEST_F(LockFixture, AnUnlockFailingAfterCommitDoesNotKeepTheOtherLocks) {
  TABSDiskDatabaseData db(name_);
  const int32_t s0 = db.Connect({});
  {
    TABSTableMetadata m;
    TABSFieldDef* f = m.Fields.AddFieldDef();
    f->Name = "B";
    f->SetType(ctInteger);
    db.CreateTable(s0, "U", m);
  }
  auto t = LockFile(db);
  TABSTableLocksFile u(db.DiskPageManager());
  u.OpenFile(db.TableList().Find("U").LocksStartPageNo);
  TABSDatabaseTableLockManager& m = db.LockManager();
  m.UnlockRetry = {3, 1};
  for (TABSTableLocksFile* file : {t.get(), &u})
    for (int32_t type : {ltTransaction, ltWrite}) ASSERT_TRUE(m.LockTable(s0, type, *file, kOnce));
  // Another handle keeps T's lock file locked: T's locks cannot be released for now.
  TABSDiskDatabaseData other(name_);
  const int32_t s = other.Connect({});
  auto other_t = LockFile(other);
  ASSERT_TRUE(other_t->TryLockFile());
  EXPECT_EQ(CodeOf([&] { db.CommitSession(s0); }), 20204);
  for (int32_t type : {ltTransaction, ltWrite}) {
    EXPECT_FALSE(m.HoldsLock(s0, type, u)) << type;
    EXPECT_FALSE(u.IsTypeByteLocked(type, s0)) << type;
    EXPECT_TRUE(m.HoldsLock(s0, type, *t)) << "still locked in the file, so still listed";
  }
  ASSERT_TRUE(other_t->UnlockFile());
  db.CommitSession(s0);
  for (int32_t type : {ltTransaction, ltWrite}) EXPECT_FALSE(m.HoldsLock(s0, type, *t));
  m.CheckNoLocks();
  other_t->CloseFile();
  other.Disconnect(s);
  u.CloseFile();
  db.Disconnect(s0);
}

// A read lock, let go after every read, does not wait for the lock file's own lock that
// another process holds for a moment to test the bytes; the other types do. Once the read
// lock is gone, the other process's writer gets in.
TEST_F(LockFixture, AReadLockIsLetGoWithoutTheFileLock) {
  TABSDiskDatabaseData db(name_);
  const int32_t s0 = db.Connect({});
  auto file = LockFile(db);
  TABSDatabaseTableLockManager& m = db.LockManager();
  m.UnlockRetry = {2, 1};
  TABSDiskDatabaseData other(name_);
  const int32_t s = other.Connect({});
  auto other_file = LockFile(other);
  ASSERT_TRUE(m.LockTable(s0, ltRead, *file, kOnce));
  ASSERT_TRUE(m.LockTable(s0, ltEdit, *file, kOnce));
  ASSERT_TRUE(other_file->TryLockFile());
  EXPECT_TRUE(m.UnlockTable(s0, ltRead, *file));
  EXPECT_FALSE(m.HoldsLock(s0, ltRead, *file));
  EXPECT_FALSE(file->IsTypeByteLocked(ltRead, s0));
  EXPECT_EQ(CodeOf([&] { m.UnlockTable(s0, ltEdit, *file); }), 20204);
  EXPECT_TRUE(m.HoldsLock(s0, ltEdit, *file)) << "still locked in the file, so still listed";
  ASSERT_TRUE(other_file->UnlockFile());
  m.UnlockTable(s0, ltEdit, *file);
  EXPECT_TRUE(other.LockManager().LockTable(s, ltWrite, *other_file, kOnce));
  other.LockManager().UnlockTable(s, ltWrite, *other_file);
  m.CheckNoLocks();
  other_file->CloseFile();
  other.Disconnect(s);
  file->CloseFile();
  db.Disconnect(s0);
}

// Two sessions of one process on two threads: one commits while the other holds a read
// lock in its way; the other lets go of it under the database lock, as a reader does,
// and then commits a change of its own. The waiting commit must leave the database lock
// and the lock manager free for the other session, and both commits go through.
TEST_F(LockFixture, CommitWaitsForAnotherSessionOfTheProcessWithoutBlockingIt) {
  TABSDiskDatabaseData db(name_);
  const int32_t s0 = db.Connect({});
  const int32_t s1 = db.Connect({});
  {
    TABSTableMetadata m;
    TABSFieldDef* f = m.Fields.AddFieldDef();
    f->Name = "B";
    f->SetType(ctInteger);
    db.CreateTable(s1, "U", m);
  }
  auto t = LockFile(db);
  auto u = std::make_unique<TABSTableLocksFile>(db.DiskPageManager());
  u->OpenFile(db.TableList().Find("U").LocksStartPageNo);
  TABSDatabaseTableLockManager& m = db.LockManager();
  m.CommitAttempts = {400, 20};  // several seconds at most
  ASSERT_TRUE(m.LockTable(s0, ltTransaction, *t, kOnce));
  ASSERT_TRUE(m.LockTable(s1, ltRead, *t, kOnce));
  ASSERT_TRUE(m.LockTable(s1, ltTransaction, *u, kOnce));

  std::atomic<bool> waiting{false};
  int32_t first = -1, second = -1;
  std::thread committer([&] {
    waiting = true;
    first = CodeOf([&] { db.CommitSession(s0); });
  });
  std::thread reader([&] {
    while (!waiting) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(150));  // the commit is waiting now
    {
      std::lock_guard database(db.Lock());
      m.UnlockTable(s1, ltRead, *t);
    }
    second = CodeOf([&] { db.CommitSession(s1); });
  });
  reader.join();
  committer.join();
  EXPECT_EQ(first, 0);
  EXPECT_EQ(second, 0);
  for (int32_t s : {s0, s1})
    for (auto* file : {t.get(), u.get()})
      for (int32_t type : {ltTransaction, ltWrite}) EXPECT_FALSE(m.HoldsLock(s, type, *file));
  m.CheckNoLocks();
  u->CloseFile();
  db.Disconnect(s1);
  db.Disconnect(s0);
}

// A database whose file handle drops (as with a network share) while a session holds
// its slot and a table lock: the reconnect takes both back, or, when another connection
// took one meanwhile, leaves the database refusing every operation with a clear error
// instead of going on without them.
TEST_F(LockFixture, ALostConnectionTakesItsLocksBackOrMakesTheDatabaseUnusable) {
  TABSDiskDatabaseData db(name_);
  const int32_t s = db.Connect({});
  ASSERT_EQ(s, 0);
  db.DiskPageManager().File().SetReconnectPause(1);
  auto file = LockFile(db);
  TABSDatabaseTableLockManager& m = db.LockManager();
  ASSERT_TRUE(m.LockTable(s, ltTableOpen, *file, kOnce));
  db.DiskPageManager().File().Platform().DropConnection();
  ASSERT_TRUE(m.LockTable(s, ltRead, *file, kOnce));  // reconnects first
  {
    TABSDiskDatabaseData other(name_);
    const int32_t o = other.Connect({});
    EXPECT_EQ(o, 1) << "slot 0 was taken back";
    auto f = LockFile(other);
    EXPECT_FALSE(other.LockManager().LockTable(o, ltExclusive, *f, kOnce)) << "so was the open lock";
    f->CloseFile();
    other.Disconnect(o);
  }
  m.UnlockTable(s, ltRead, *file);

  // Dropped again; this time another connection takes slot 0 before the reconnect.
  db.DiskPageManager().File().Platform().DropConnection();
  TABSDiskDatabaseData other(name_);
  const int32_t o = other.Connect({});
  EXPECT_EQ(o, 0);
  const std::string lost = "Connection to database file '" + name_ +
                           "' was lost together with its locks. Close the database and open it "
                           "again - Native error: 40207";
  EXPECT_EQ(MessageOf([&] { m.LockTable(s, ltRead, *file, kOnce); }), lost);
  EXPECT_EQ(CodeOf([&] { db.GetNextObjectID(); }), 40207);
  // The other connection works on; the lost one can still be disconnected and closed.
  auto f = LockFile(other);
  EXPECT_TRUE(other.LockManager().LockTable(o, ltExclusive, *f, kOnce));
  other.LockManager().UnlockTable(o, ltExclusive, *f);
  f->CloseFile();
  EXPECT_EQ(CodeOf([&] { db.Disconnect(s); }), 40207);
  EXPECT_FALSE(db.IsOpened());
  other.Disconnect(o);
}

TEST_F(LockFixture, ExclusiveDatabaseLocksNothing) {
  TABSDiskDatabaseData db(name_);
  TABSConnectOptions exclusive;
  exclusive.Exclusive = true;
  const int32_t s0 = db.Connect(exclusive);
  const int32_t s1 = db.Connect(exclusive);
  EXPECT_NE(s0, s1);
  auto file = LockFile(db);
  EXPECT_TRUE(db.LockManager().LockTable(s0, ltExclusive, *file, kOnce));
  EXPECT_TRUE(db.LockManager().LockTable(s1, ltExclusive, *file, kOnce));
  EXPECT_FALSE(file->IsTypeByteLocked(ltTableOpen, s0));
  EXPECT_FALSE(db.SessionsFile().IsSlotLocked(s0));
  db.Disconnect(s1);
  db.Disconnect(s0);
}

TEST_F(LockFixture, ExclusiveOpenKeepsOtherProcessesOut) {
  TABSDiskDatabaseData db(name_);
  TABSConnectOptions exclusive;
  exclusive.Exclusive = true;
  const int32_t s = db.Connect(exclusive);
  const auto connect = [](TABSDiskDatabaseData& other) {
    try {
      other.Disconnect(other.Connect({}));
    } catch (const VODIDivodavir&) {
      return other.IsOpened() ? 2 : 1;
    }
    return 0;
  };
  EXPECT_EQ(RunChild(connect), 1);
  db.Disconnect(s);
  EXPECT_EQ(RunChild(connect), 0);
}

TEST_F(LockFixture, TwoProcessesGetDifferentSessionNumbers) {
  TABSDiskDatabaseData db(name_);
  const int32_t s = db.Connect({});
  EXPECT_EQ(s, 0);
  EXPECT_EQ(RunChild([](TABSDiskDatabaseData& other) {
              const int32_t n = other.Connect({});
              other.Disconnect(n);
              return n;
            }),
            1);
  db.Disconnect(s);
}

TEST_F(LockFixture, SingleUserHolderMakesOthersReadOnly) {
  TABSDiskDatabaseData db(name_);
  TABSConnectOptions single;
  single.MultiUser = false;
  const int32_t s = db.Connect(single);
  EXPECT_FALSE(db.ReadOnly());
  EXPECT_EQ(RunChild([&](TABSDiskDatabaseData& other) {
              const int32_t n = other.Connect(single);
              const int r = (other.ReadOnly() ? 1 : 0) + (n == 0 ? 2 : 0);
              other.Disconnect(n);
              TABSDiskDatabaseData multi(name_);
              try {
                multi.Connect({});
              } catch (const VODIDivodavir& e) {
                return e.NativeError == 20094 ? r + 4 : r;
              }
              return r;
            }),
            7);
  db.Disconnect(s);
  // Released: another process can take every slot now.
  EXPECT_EQ(RunChild([&](TABSDiskDatabaseData& other) {
              const int32_t n = other.Connect(single);
              const int r = other.ReadOnly() ? 1 : 0;
              other.Disconnect(n);
              return r;
            }),
            0);
}

TEST_F(LockFixture, ExclusiveTableLockBlocksEveryOtherSession) {
  TABSDiskDatabaseData db(name_);
  const int32_t s0 = db.Connect({});
  const int32_t s1 = db.Connect({});
  auto file = LockFile(db);
  ASSERT_TRUE(db.LockManager().LockTable(s0, ltExclusive, *file, kOnce));
  for (int type = 0; type < kLockTypeCount; ++type)
    EXPECT_FALSE(db.LockManager().LockTable(s1, type, *file, kOnce)) << type;
  const auto try_every_type = [&](TABSDiskDatabaseData& other) {
    const int32_t s = other.Connect({});
    auto f = LockFile(other);
    int granted = 0;
    for (int type = 0; type < kLockTypeCount; ++type) {
      if (other.LockManager().LockTable(s, type, *f, kFew)) {
        ++granted;
        other.LockManager().UnlockTable(s, type, *f);
      }
    }
    f->CloseFile();
    other.Disconnect(s);
    return granted;
  };
  EXPECT_EQ(RunChild(try_every_type), 0);
  db.LockManager().UnlockTable(s0, ltExclusive, *file);
  EXPECT_EQ(RunChild(try_every_type), kLockTypeCount);
  db.Disconnect(s1);
  db.Disconnect(s0);
}

TEST_F(LockFixture, ConnectionLimitRefusesTheNextConnection) {
  Make(3);
  TABSDiskDatabaseData db(name_);
  const int32_t a = db.Connect({});
  const int32_t b = db.Connect({});
  EXPECT_EQ(RunChild([](TABSDiskDatabaseData& other) {
              const int32_t n = other.Connect({});
              try {
                other.Connect({});
              } catch (const VODIDivodavir& e) {
                other.Disconnect(n);
                return e.NativeError == 20094 ? n : 50;
              }
              return 51;
            }),
            2);
  db.Disconnect(b);
  db.Disconnect(a);
}

TEST_F(LockFixture, KilledProcessLeavesItsLocksReleased) {
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t pid = fork();
  if (pid == 0) {
    close(ready[0]);
    char c = 'x';
    try {
      TABSDiskDatabaseData db(name_);
      const int32_t s = db.Connect({});
      auto file = LockFile(db);
      if (!db.LockManager().LockTable(s, ltExclusive, *file, kOnce)) c = 'e';
      if (!db.LockManager().LockRecord(s, *file, 4, 4)) c = 'r';
      if (c == 'x') c = static_cast<char>('0' + s);
      if (write(ready[1], &c, 1) != 1) _exit(98);
      for (;;) pause();  // holding everything until killed
    } catch (...) {
      c = 'f';
    }
    if (write(ready[1], &c, 1) != 1) _exit(98);
    _exit(97);
  }
  close(ready[1]);
  struct Reaper {
    pid_t pid;
    ~Reaper() {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  };
  std::optional<Reaper> reaper;
  reaper.emplace(pid);
  char c = 0;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  close(ready[0]);
  ASSERT_EQ(c, '0');
  {
    // While the child lives, its slot and its exclusive lock hold.
    TABSDiskDatabaseData db(name_);
    const int32_t s = db.Connect({});
    EXPECT_EQ(s, 1);
    auto file = LockFile(db);
    EXPECT_FALSE(db.LockManager().LockTable(s, ltTableOpen, *file, kOnce));
    EXPECT_TRUE(db.LockManager().IsRecordLocked(s, *file, 4, 4));
    db.Disconnect(s);
  }
  reaper.reset();  // SIGKILL: the process ends without closing anything
  TABSDiskDatabaseData db(name_);
  const int32_t s = db.Connect({});
  EXPECT_EQ(s, 0);
  auto file = LockFile(db);
  EXPECT_TRUE(db.LockManager().LockTable(s, ltExclusive, *file, kOnce));
  EXPECT_FALSE(db.LockManager().IsRecordLocked(s, *file, 4, 4));
  db.LockManager().UnlockTable(s, ltExclusive, *file);
  db.Disconnect(s);
}

// A connection with a cursor on "T" for the change-lock tests.
struct Writer {
  Writer(TABSDiskDatabaseData& db) : db(db), session(db.Connect({})), cursor(&session, "T") { cursor.Open(db); }
  ~Writer() {
    cursor.Close();
    db.Disconnect(session.SessionID);
  }
  int32_t Insert(int32_t a) {
    cursor.NewRecord();
    TABSVariant v;
    v.SetAsInteger(a);
    cursor.TableData()->FieldManager().Layout().SetFieldValue(0, v, cursor.CurrentRecord);
    return cursor.PostInsert();
  }
  int32_t s() const { return session.SessionID; }
  TABSDiskDatabaseData& db;
  TABSBaseSession session;
  TABSLocalCursor cursor;
};

TEST_F(LockFixture, AChangeOutsideATransactionTakesAndReleasesTheWriteLock) {
  TABSDiskDatabaseData db(name_);
  db.WriteLockAttempts = kOnce;
  Writer a(db), b(db);
  auto file = LockFile(db);
  TABSDatabaseTableLockManager& m = db.LockManager();
  ASSERT_EQ(a.Insert(1), roOK);
  EXPECT_FALSE(m.HoldsLock(a.s(), ltWrite, *file)) << "the commit let the write lock go";
  // Another session's pending transaction keeps every post out (types 3 and 4 clash).
  ASSERT_TRUE(m.LockTable(b.s(), ltTransaction, *file, kOnce));
  EXPECT_EQ(CodeOf([&] { a.Insert(2); }), 20217);
  EXPECT_FALSE(m.HoldsLock(a.s(), ltWrite, *file));
  m.UnlockTable(b.s(), ltTransaction, *file);
  // So does a read of another process in progress.
  int held[2], done[2];
  ASSERT_EQ(pipe(held), 0);
  ASSERT_EQ(pipe(done), 0);
  int refused = 0;
  const int status = RunChild(
      [&](TABSDiskDatabaseData& other) {
        const int32_t s = other.Connect({});
        auto f = LockFile(other);
        const char c = other.LockManager().LockTable(s, ltRead, *f, kOnce) ? '1' : '0';
        if (write(held[1], &c, 1) != 1 || c != '1') return 1;
        char go = 0;
        if (read(done[0], &go, 1) != 1) return 2;
        other.LockManager().UnlockTable(s, ltRead, *f);
        f->CloseFile();
        other.Disconnect(s);
        return 0;
      },
      [&] {
        char c = 0;
        if (read(held[0], &c, 1) == 1 && c == '1') refused = CodeOf([&] { a.Insert(3); });
        const char go = 'g';
        (void)!write(done[1], &go, 1);
      });
  for (int fd : {held[0], held[1], done[0], done[1]}) close(fd);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(refused, 20217);
  ASSERT_EQ(a.Insert(4), roOK);
  EXPECT_EQ(a.cursor.TableData()->GetRecordCount(a.s()), 2);
  for (const int32_t s : {a.s(), b.s()})
    for (const int32_t type : {ltRead, ltTransaction, ltWrite}) EXPECT_FALSE(m.HoldsLock(s, type, *file)) << s << type;
}

TEST_F(LockFixture, ATransactionKeepsItsLockUntilCommitOrRollback) {
  TABSDiskDatabaseData db(name_);
  db.WriteLockAttempts = kOnce;
  const int32_t keeper = db.Connect({});
  auto file = LockFile(db);
  TABSDatabaseTableLockManager& m = db.LockManager();
  for (const bool commit : {true, false}) {
    SCOPED_TRACE(commit ? "commit" : "rollback");
    Writer a(db), b(db);
    a.session.InTransaction = true;
    ASSERT_EQ(a.Insert(10), roOK);
    ASSERT_EQ(a.Insert(11), roOK);
    EXPECT_EQ(m.LockCount(a.s(), ltTransaction, *file), 1);
    EXPECT_FALSE(m.HoldsLock(a.s(), ltWrite, *file));
    // Another session's post waits for the transaction.
    EXPECT_EQ(CodeOf([&] { b.Insert(20); }), 20217);
    b.session.InTransaction = true;
    EXPECT_EQ(CodeOf([&] { b.Insert(21); }), 20217);
    b.session.InTransaction = false;
    a.session.InTransaction = false;
    if (commit)
      db.CommitSession(a.s());
    else
      db.RollbackSession(a.s());
    EXPECT_FALSE(m.HoldsLock(a.s(), ltTransaction, *file));
    EXPECT_FALSE(m.HoldsLock(a.s(), ltWrite, *file));
    ASSERT_EQ(b.Insert(22), roOK);
    for (const int32_t s : {a.s(), b.s()})
      for (const int32_t type : {ltRead, ltTransaction, ltWrite}) EXPECT_FALSE(m.HoldsLock(s, type, *file));
  }
  {
    Writer c(db);
    EXPECT_EQ(c.cursor.TableData()->GetRecordCount(c.s()), 4) << "two committed, two posts alone";
  }
  file->CloseFile();
  file.reset();
  m.CheckNoLocks();
  db.Disconnect(keeper);
}

TEST_F(LockFixture, ATransactionLockOutlivesTheCursorThatTookIt) {
  TABSDiskDatabaseData db(name_);
  const int32_t s = db.Connect({});
  TABSBaseSession session(s);
  {
    TABSLocalCursor cursor(&session, "T");
    cursor.Open(db);
    session.InTransaction = true;
    cursor.NewRecord();
    ASSERT_EQ(cursor.PostInsert(), roOK);
    cursor.Close();
    // The table object goes with its last cursor; the lock stays with the session.
    db.CloseTableData(db.FindTableData("T"));
  }
  session.InTransaction = false;
  db.CommitSession(s);
  db.LockManager().CheckNoLocks();
  db.Disconnect(s);
}

}  // namespace
}  // namespace dadoveri
