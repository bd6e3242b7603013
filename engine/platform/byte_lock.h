// Byte-range locks on an open file, with the semantics the engine was designed for:
// locks belong to the handle (an open-file description), a range locked through one
// handle cannot be locked again through any handle (the same one included), and an
// unlock must name exactly a range that was locked.
//
// Linux open-file-description locks (F_OFD_SETLK) give the handle ownership and the
// conflicts between handles; the table of ranges kept here adds the refusal of a second
// lock through the same handle, which OFD locks would silently merge.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

namespace dadoveri {

class ByteLockTable {
 public:
  // Locks `count` bytes at `offset`. On failure returns false and sets *error to an errno
  // value: EAGAIN for a conflict with any lock (this handle's too). `type` is F_WRLCK for
  // handles open for writing; a handle open only for reading can hold only F_RDLCK
  // locks, which still conflict with every writer's lock.
  bool Lock(int fd, short type, int64_t offset, int64_t count, int* error);
  // Unlocks a range locked before with exactly this offset and count; ENOENT when no
  // such lock is held.
  bool Unlock(int fd, int64_t offset, int64_t count, int* error);
  // Forgets every range (the handle was closed, which released them).
  void Clear();
  size_t HeldCount() const;

  struct Range {
    int64_t offset;
    int64_t count;
  };
  // The ranges this table believes held, in the order they were locked.
  std::vector<Range> Held() const;

 private:
  mutable std::mutex mutex_;
  std::vector<Range> held_;
};

// True when a lock error means the range is held by someone else (another handle, or
// this one): the one failure that waiting may cure.
bool IsLockConflictError(int error);
// True when a lock or unlock error means the handle itself is unusable (as after a
// dropped network share), as opposed to a conflict with another holder.
bool IsLostConnectionError(int error);

// Raw OFD calls. `type` is F_RDLCK, F_WRLCK or F_UNLCK.
bool OfdSetLock(int fd, short type, int64_t offset, int64_t count, int* error);
// True when another open-file description holds a lock that conflicts with `type`.
bool OfdConflicts(int fd, short type, int64_t offset, int64_t count);

}  // namespace dadoveri
