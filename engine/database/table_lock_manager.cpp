#include "engine/database/table_lock_manager.h"

#include <algorithm>
#include <exception>

#include "engine/platform/sleep.h"
#include "engine/base/engine_error.h"
#include "engine/storage/retry.h"
#include "engine/database/sessions_file.h"
#include "engine/database/table_locks_file.h"

namespace dadoveri {

namespace {

// Row: the type another session holds; column: the type requested.
constexpr bool kCompatible[kLockTypeCount][kLockTypeCount] = {
    {1, 1, 1, 1, 1, 1, 0},  //
    {1, 1, 1, 1, 0, 1, 0},  //
    {1, 1, 1, 0, 1, 1, 0},  //
    {1, 1, 0, 0, 0, 1, 0},  //
    {1, 0, 1, 0, 0, 1, 0},  //
    {1, 1, 1, 1, 1, 1, 0},  //
    {0, 0, 0, 0, 0, 0, 0},  //
};

}  // namespace

bool LockTypesCompatible(int32_t held, int32_t requested) {
  if (held < 0 || held >= kLockTypeCount || requested < 0 || requested >= kLockTypeCount) return false;
  return kCompatible[held][requested];
}

TABSTableLock* TABSTableLockList::Find(int32_t type, int32_t table) {
  for (TABSTableLock& l : locks_)
    if (l.LockType == type && l.Table == table) return &l;
  return nullptr;
}

void TABSTableLockList::Remove(int32_t type, int32_t table) {
  const auto it = std::find_if(locks_.begin(), locks_.end(),
                               [&](const TABSTableLock& l) { return l.LockType == type && l.Table == table; });
  if (it == locks_.end()) RaiseError(20202);
  locks_.erase(it);
}

TABSDatabaseTableLockManager::TABSDatabaseTableLockManager(TABSActiveSessionsFile& sessions, bool exclusive)
    : sessions_(sessions), exclusive_(exclusive) {}

void TABSDatabaseTableLockManager::CheckNoLocks() {
  std::lock_guard guard(mutex_);
  for (auto& [session, l] : lists_)
    if (!l.Empty()) RaiseError(20234);
}

int32_t TABSDatabaseTableLockManager::ConnectSession() {
  std::lock_guard guard(mutex_);
  if (!exclusive_) return sessions_.ConnectSession();
  // No byte is locked in an exclusive database: the lowest number not in use.
  const auto it = std::find(exclusive_sessions_.begin(), exclusive_sessions_.end(), false);
  const auto n = static_cast<int32_t>(it - exclusive_sessions_.begin());
  if (n >= sessions_.SlotCount()) RaiseError(20094);
  if (it == exclusive_sessions_.end())
    exclusive_sessions_.push_back(true);
  else
    *it = true;
  return n;
}

void TABSDatabaseTableLockManager::DisconnectSession(int32_t session) {
  std::lock_guard guard(mutex_);
  bool leftover = false;
  // Every lock is released and the slot given back even when a release fails on the
  // way; the first failure is reported afterwards.
  std::exception_ptr failure;
  const auto it = lists_.find(session);
  if (it != lists_.end()) {
    leftover = !it->second.Empty();
    for (TABSTableLock& lock : it->second.Locks()) {
      try {
        release_byte(session, lock);
      } catch (...) {
        if (!failure) failure = std::current_exception();
      }
    }
    lists_.erase(it);
  }
  if (exclusive_) {
    if (session >= 0 && static_cast<size_t>(session) < exclusive_sessions_.size())
      exclusive_sessions_[static_cast<size_t>(session)] = false;
  } else {
    try {
      sessions_.DisconnectSession(session);
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
  }
  if (failure) std::rethrow_exception(failure);
  if (leftover) RaiseError(20234);
}

bool TABSDatabaseTableLockManager::TakeAllSlots() {
  std::lock_guard guard(mutex_);
  return exclusive_ || sessions_.TakeAllSlots();
}

void TABSDatabaseTableLockManager::ReleaseAllSlots() {
  std::lock_guard guard(mutex_);
  if (!exclusive_) sessions_.ReleaseAllSlots();
}

bool TABSDatabaseTableLockManager::try_lock(int32_t session, int32_t type, TABSTableLocksFile& file,
                                            bool ignore_edit_locks) {
  if (!file.TryLockFile()) return false;
  bool compatible = true;
  try {
    for (int32_t held = 0; held < ltExclusive && compatible; ++held) {
      if (kCompatible[held][type]) continue;
      if (held == ltEdit && type == ltTransaction && ignore_edit_locks) continue;
      if (file.OthersHold(held, session)) compatible = false;
    }
    if (compatible && type != ltExclusive && !file.LockTypeByte(type, session)) {
      file.UnlockFile();
      RaiseError(20203);
    }
  } catch (...) {
    file.UnlockFile();
    throw;
  }
  // The exclusive lock is the file lock itself.
  if (!compatible || type != ltExclusive) file.UnlockFile();
  return compatible;
}

bool TABSDatabaseTableLockManager::LockTable(int32_t session, int32_t type, TABSTableLocksFile& file,
                                             TABSLockAttempts attempts, bool ignore_edit_locks, bool inside_lock) {
  if (exclusive_) return true;
  if (type < 0 || type >= kLockTypeCount) RaiseError(20203);
  std::unique_lock guard(mutex_, std::defer_lock);
  if (!inside_lock) guard.lock();
  TABSTableLockList& locks = list(session);
  const int32_t table = file.StartPageNo();
  if (TABSTableLock* held = locks.Find(type, table)) {
    if (type == ltEdit) return false;
    ++held->Count;
    return true;
  }
  if (type != ltExclusive && locks.Find(ltExclusive, table) != nullptr) {
    locks.Add({type, table, 1, &file, true});
    return true;
  }
  if (session < 0 || session >= file.SlotCount()) RaiseError(20200);
  for (int32_t attempt = 0; attempt < attempts.attempts; ++attempt) {
    if (try_lock(session, type, file, ignore_edit_locks)) {
      list(session).Add({type, table, 1, &file, false});
      ++taken_[static_cast<size_t>(type)];
      return true;
    }
    if (attempt + 1 == attempts.attempts) break;
    const int32_t half = attempts.base_pause_ms / 2;
    if (!inside_lock) guard.unlock();
    SleepMilliseconds(half + RandomNumber(half));
    if (!inside_lock) guard.lock();
  }
  return false;
}

void TABSDatabaseTableLockManager::release_byte(int32_t session, TABSTableLock& lock) {
  if (lock.Covered) return;
  TABSTableLocksFile& file = *lock.File;
  if (lock.LockType == ltExclusive) {
    if (!file.UnlockFile()) RaiseError(20204);
    return;
  }
  // A read lock, taken and let go around every read, goes without the file lock: letting
  // a byte go only removes a conflict, so a session testing the bytes under the file lock
  // meanwhile sees either the read still in progress (and tries again) or none, as it
  // would just before or just after. That saves two of the three calls of the release.
  if (lock.LockType == ltRead) {
    if (!file.UnlockTypeByte(ltRead, session)) RaiseError(20204);
    return;
  }
  // Under the file lock, unless this session holds it as its exclusive lock.
  const bool own_file_lock = list(session).Find(ltExclusive, lock.Table) != nullptr;
  if (!own_file_lock && !RetryAttempts(UnlockRetry, [&] { return file.TryLockFile(); })) RaiseError(20204);
  const bool ok = file.UnlockTypeByte(lock.LockType, session);
  if (!own_file_lock) file.UnlockFile();
  if (!ok) RaiseError(20204);
}

int64_t TABSDatabaseTableLockManager::LocksTaken(int32_t type) {
  std::lock_guard guard(mutex_);
  return type >= 0 && type < kLockTypeCount ? taken_[static_cast<size_t>(type)] : 0;
}

bool TABSDatabaseTableLockManager::UnlockTable(int32_t session, int32_t type, TABSTableLocksFile& file, bool force) {
  if (exclusive_) return true;
  std::lock_guard guard(mutex_);
  TABSTableLockList& locks = list(session);
  TABSTableLock* held = locks.Find(type, file.StartPageNo());
  if (held == nullptr) RaiseError(20202);
  if (--held->Count > 0 && !force) return true;
  TABSTableLock lock = *held;
  locks.Remove(type, lock.Table);
  // Should the byte stay locked, the entry goes back as it was, so that the list keeps
  // mirroring the file and a later unlock or disconnect can release it.
  lock.Count = std::max(lock.Count + 1, 1);
  if (type == ltExclusive) {
    // Locks granted under the exclusive lock now need bytes of their own.
    for (TABSTableLock& other : locks.Locks()) {
      if (other.Table != lock.Table || !other.Covered) continue;
      if (!file.LockTypeByte(other.LockType, session)) {
        locks.Add(lock);
        RaiseError(20204);
      }
      other.Covered = false;
    }
  }
  try {
    release_byte(session, lock);
  } catch (...) {
    locks.Add(lock);
    throw;
  }
  return true;
}

bool TABSDatabaseTableLockManager::HoldsLock(int32_t session, int32_t type, const TABSTableLocksFile& file) {
  std::lock_guard guard(mutex_);
  return list(session).Find(type, file.StartPageNo()) != nullptr;
}

int32_t TABSDatabaseTableLockManager::LockCount(int32_t session, int32_t type, const TABSTableLocksFile& file) {
  std::lock_guard guard(mutex_);
  const TABSTableLock* l = list(session).Find(type, file.StartPageNo());
  return l ? l->Count : 0;
}

bool TABSDatabaseTableLockManager::LockRecord(int32_t session, TABSTableLocksFile& file, int32_t page_no,
                                              uint16_t slot_no) {
  if (exclusive_) return true;
  std::lock_guard guard(mutex_);
  if (session < 0 || session >= file.SlotCount()) RaiseError(20200);
  TABSTableLockList& locks = list(session);
  // One record per session and table: the session's byte is already taken otherwise.
  if (locks.Find(ltRecord, file.StartPageNo()) != nullptr || !file.LockTypeByte(ltRecord, session))
    RaiseError(20205);
  file.WriteRecordID(session, page_no, slot_no);
  locks.Add({ltRecord, file.StartPageNo(), 1, &file, false});
  return true;
}

bool TABSDatabaseTableLockManager::UnlockRecord(int32_t session, TABSTableLocksFile& file) {
  if (exclusive_) return true;
  std::lock_guard guard(mutex_);
  TABSTableLockList& locks = list(session);
  if (locks.Find(ltRecord, file.StartPageNo()) == nullptr) RaiseError(20206);
  if (!file.UnlockTypeByte(ltRecord, session)) RaiseError(20206);
  locks.Remove(ltRecord, file.StartPageNo());
  return true;
}

bool TABSDatabaseTableLockManager::IsRecordLocked(int32_t session, TABSTableLocksFile& file, int32_t page_no,
                                                  uint16_t slot_no) {
  if (exclusive_) return false;
  std::lock_guard guard(mutex_);
  if (!file.OthersHold(ltRecord, session)) return false;
  for (int32_t other = 0; other < file.SlotCount(); ++other) {
    if (other == session || !file.IsTypeByteLocked(ltRecord, other)) continue;
    int32_t p;
    uint16_t s;
    file.ReadRecordID(other, p, s);
    if (p == page_no && s == slot_no) return true;
  }
  return false;
}

bool TABSDatabaseTableLockManager::LockTablesForCommit(int32_t session,
                                                       std::vector<TABSTableLocksFile*>* taken_here) {
  if (taken_here) taken_here->clear();
  if (exclusive_) return true;
  // The mutex is held only to read the list: LockTable releases it while it waits, so
  // that other sessions of the process can let go of what this one waits for.
  std::vector<TABSTableLocksFile*> pending;
  {
    std::lock_guard guard(mutex_);
    for (const TABSTableLock& l : list(session).Locks())
      if (l.LockType == ltTransaction && list(session).Find(ltWrite, l.Table) == nullptr) pending.push_back(l.File);
  }
  std::vector<TABSTableLocksFile*> taken;
  for (TABSTableLocksFile* file : pending) {
    bool granted = false;
    try {
      granted = LockTable(session, ltWrite, *file, CommitAttempts);
    } catch (...) {
      ReleaseCommitLocks(session, taken);
      throw;
    }
    if (granted) {
      taken.push_back(file);
      continue;
    }
    if (!ReleaseCommitLocks(session, taken)) RaiseError(20234);
    return false;
  }
  if (taken_here) *taken_here = std::move(taken);
  return true;
}

bool TABSDatabaseTableLockManager::ReleaseCommitLocks(int32_t session,
                                                      const std::vector<TABSTableLocksFile*>& taken) {
  bool released = true;
  for (TABSTableLocksFile* file : taken) {
    try {
      UnlockTable(session, ltWrite, *file, true);
    } catch (const VODIDivodavir&) {
      released = false;
    }
  }
  return released;
}

bool TABSDatabaseTableLockManager::UnlockTablesAfterCommit(int32_t session) {
  if (exclusive_) return true;
  std::vector<TABSTableLocksFile*> with_records;
  {
    std::lock_guard guard(mutex_);
    for (const TABSTableLock& l : list(session).Locks())
      if (l.LockType == ltRecord) with_records.push_back(l.File);
  }
  // A failure on the way does not stop the release below: the transaction and write
  // locks go in every case, and the first failure is raised afterwards.
  std::exception_ptr failure;
  bool edits_taken = true;
  for (TABSTableLocksFile* file : with_records) {
    try {
      if (!HoldsLock(session, ltEdit, *file) && !LockTable(session, ltEdit, *file, CommitAttempts))
        edits_taken = false;
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
  }
  std::vector<std::pair<int32_t, TABSTableLocksFile*>> release;
  {
    std::lock_guard guard(mutex_);
    for (const TABSTableLock& l : list(session).Locks())
      if (l.LockType == ltTransaction || l.LockType == ltWrite) release.emplace_back(l.LockType, l.File);
  }
  for (auto& [type, file] : release) {
    try {
      UnlockTable(session, type, *file, true);
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
  }
  if (failure) std::rethrow_exception(failure);
  return edits_taken;
}

void TABSDatabaseTableLockManager::ReleaseTransactionLocks(int32_t session) {
  if (exclusive_) return;
  std::vector<std::pair<int32_t, TABSTableLocksFile*>> release;
  {
    std::lock_guard guard(mutex_);
    for (const TABSTableLock& l : list(session).Locks())
      if (l.LockType == ltTransaction || l.LockType == ltWrite) release.emplace_back(l.LockType, l.File);
  }
  std::exception_ptr failure;
  for (auto& [type, file] : release) {
    try {
      UnlockTable(session, type, *file, true);
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
  }
  if (failure) std::rethrow_exception(failure);
}

bool TABSDatabaseTableLockManager::AnyLockOn(const TABSTableLocksFile& file) {
  std::lock_guard guard(mutex_);
  for (auto& [session, l] : lists_)
    for (const TABSTableLock& lock : l.Locks())
      if (lock.File == &file) return true;
  return false;
}

}  // namespace dadoveri
