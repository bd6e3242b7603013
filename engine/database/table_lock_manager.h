// TABSDatabaseTableLockManager: one per open database. Connects and disconnects sessions
// through the active-sessions file and takes and releases table and record locks in the
// tables' lock files, with re-entrant counts, the compatibility matrix and retries with
// randomized pauses. Across processes only the byte locks count; within the process a
// recursive mutex serialises the bookkeeping and is released during pauses.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

#include "engine/storage/retry.h"

namespace dadoveri {

class TABSActiveSessionsFile;
class TABSTableLocksFile;

enum TABSLockType : int32_t {
  ltTableOpen = 0,     // a cursor has the table open (shared)
  ltRead = 1,          // a read or navigation is in progress
  ltEdit = 2,          // edit outside a transaction
  ltTransaction = 3,   // a change pending in a transaction
  ltWrite = 4,         // write
  ltRecord = 5,        // the session has a record locked
  ltExclusive = 6,     // the table is open exclusively
};
inline constexpr int32_t kLockTypeCount = 7;

// Whether a request of type `requested` is allowed while another session holds `held`.
bool LockTypesCompatible(int32_t held, int32_t requested);

// Attempts and base pauses of the engine's table locks.
struct TABSLockAttempts {
  int32_t attempts;
  int32_t base_pause_ms;
};
inline constexpr TABSLockAttempts kOpenLockAttempts{50, 100};
inline constexpr TABSLockAttempts kReadLockAttempts{2250, 40};
inline constexpr TABSLockAttempts kCommitLockAttempts{900, 100};

// One held lock of a session.
struct TABSTableLock {
  int32_t LockType;
  int32_t Table;  // start page of the table's lock file
  int32_t Count;
  TABSTableLocksFile* File;
  // Granted because the session holds the exclusive lock: no byte of its own.
  bool Covered;
};

class TABSTableLockList {
 public:
  ~TABSTableLockList() = default;
  TABSTableLock* Find(int32_t type, int32_t table);
  void Add(const TABSTableLock& lock) { locks_.push_back(lock); }
  // "Cannot remove table lock. Lock not found" (20202) when absent.
  void Remove(int32_t type, int32_t table);
  bool Empty() const { return locks_.empty(); }
  std::vector<TABSTableLock>& Locks() { return locks_; }

 private:
  std::vector<TABSTableLock> locks_;
};

class TABSDatabaseTableLockManager {
 public:
  TABSDatabaseTableLockManager(TABSActiveSessionsFile& sessions, bool exclusive);
  // Never raises; call CheckNoLocks first to learn of locks left behind.
  ~TABSDatabaseTableLockManager() = default;

  // "Some table locks still exist" (20234) while any session holds a lock.
  void CheckNoLocks();

  bool Exclusive() const { return exclusive_; }

  // Sessions. In an exclusive database no byte is locked: numbers are handed out here.
  int32_t ConnectSession();
  // Releases every lock the session still holds; raises 20234 when there were some.
  void DisconnectSession(int32_t session);
  bool TakeAllSlots();
  void ReleaseAllSlots();

  // Takes a table lock of `type` for `session` in `file`. Answers false when another
  // session's lock stayed incompatible through every attempt. "Cannot set table lock. Try to
  // repair database or to increase number of allowed connections" (20200) for a session
  // number beyond the file's slots; "Cannot set table lock" (20203) when the byte cannot be
  // locked after the check passed. The mutex is let go during the pauses between
  // attempts, unless the caller holds it already (`inside_lock`, or any outer lock of the
  // same thread): such a caller waits with it held, so it should ask for one attempt.
  bool LockTable(int32_t session, int32_t type, TABSTableLocksFile& file, TABSLockAttempts attempts = kOpenLockAttempts,
                 bool ignore_edit_locks = false, bool inside_lock = false);
  // Decreases the count; at 0 (or when forced) releases the byte ("Cannot unlock table",
  // 20204) and removes the entry (20202 when there is none).
  bool UnlockTable(int32_t session, int32_t type, TABSTableLocksFile& file, bool force = false);
  bool HoldsLock(int32_t session, int32_t type, const TABSTableLocksFile& file);
  int32_t LockCount(int32_t session, int32_t type, const TABSTableLocksFile& file);
  // How many times a lock of `type` was newly taken (its byte locked) by any session of
  // this connection; nested takes of a held lock do not count.
  int64_t LocksTaken(int32_t type);

  // Record locks: the type-5 byte of the session, with the RecordID beside it. A session
  // holds one record lock per table: "Cannot lock record" (20205) when the byte cannot be
  // had; "Cannot unlock record" (20206) when there is no record lock to release.
  bool LockRecord(int32_t session, TABSTableLocksFile& file, int32_t page_no, uint16_t slot_no);
  bool UnlockRecord(int32_t session, TABSTableLocksFile& file);
  // Whether another session holds a record lock on this record.
  bool IsRecordLocked(int32_t session, TABSTableLocksFile& file, int32_t page_no, uint16_t slot_no);

  // Commit steps. None of them holds the mutex while it waits: call them without the
  // database lock too, so that the sessions whose locks are in the way can release them.
  //
  // Before the pages are written: type 4 on every table where the session holds type 3;
  // a failure releases the type-4 locks taken here and answers false ("Some table locks
  // still exist", 20234, when one of them cannot be released). `taken_here` receives the
  // lock files whose type-4 lock this call took.
  bool LockTablesForCommit(int32_t session, std::vector<TABSTableLocksFile*>* taken_here = nullptr);
  // Releases type-4 locks that LockTablesForCommit took, as when the commit failed;
  // answers whether every one was released.
  bool ReleaseCommitLocks(int32_t session, const std::vector<TABSTableLocksFile*>& taken);
  // After: on every table where the session holds a record lock, type 2 (unless held);
  // then the session's type-3 and type-4 locks are released, all of them, also when an
  // edit lock or an unlock on the way failed (its failure is raised afterwards; a lock
  // whose byte could not be unlocked stays listed). Answers false when an edit lock
  // could not be had.
  bool UnlockTablesAfterCommit(int32_t session);
  // After a rollback: the session's type-3 and type-4 locks go, all of them (the first
  // failure is raised after the others were released).
  void ReleaseTransactionLocks(int32_t session);
  // Whether any session's lock refers to this lock-file object.
  bool AnyLockOn(const TABSTableLocksFile& file);

  std::recursive_mutex& Mutex() { return mutex_; }

  // Attempts of the commit-time locks (900 × 100 ms).
  TABSLockAttempts CommitAttempts = kCommitLockAttempts;
  // Attempts at the lock file's own lock when a table lock is released (4500 × 20 ms).
  TABSRetryPolicy UnlockRetry{4500, 20};

 private:
  TABSTableLockList& list(int32_t session) { return lists_[session]; }
  bool try_lock(int32_t session, int32_t type, TABSTableLocksFile& file, bool ignore_edit_locks);
  void release_byte(int32_t session, TABSTableLock& lock);

  std::recursive_mutex mutex_;
  TABSActiveSessionsFile& sessions_;
  bool exclusive_;
  std::map<int32_t, TABSTableLockList> lists_;
  std::vector<bool> exclusive_sessions_;
  std::array<int64_t, kLockTypeCount> taken_{};
};

}  // namespace dadoveri
