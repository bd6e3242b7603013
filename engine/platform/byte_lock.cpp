#include "engine/platform/byte_lock.h"

#include <fcntl.h>

#include <cerrno>

namespace dadoveri {

bool OfdSetLock(int fd, short type, int64_t offset, int64_t count, int* error) {
  struct flock fl {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = offset;
  fl.l_len = count;
  fl.l_pid = 0;
  if (fcntl(fd, F_OFD_SETLK, &fl) == 0) return true;
  if (error) *error = errno;
  return false;
}

bool OfdConflicts(int fd, short type, int64_t offset, int64_t count) {
  struct flock fl {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = offset;
  fl.l_len = count;
  fl.l_pid = 0;
  if (fcntl(fd, F_OFD_GETLK, &fl) != 0) return true;
  return fl.l_type != F_UNLCK;
}

bool ByteLockTable::Lock(int fd, short type, int64_t offset, int64_t count, int* error) {
  if (count <= 0 || offset < 0) {
    if (error) *error = EINVAL;
    return false;
  }
  std::lock_guard<std::mutex> guard(mutex_);
  for (const Range& r : held_) {
    if (offset < r.offset + r.count && r.offset < offset + count) {
      if (error) *error = EAGAIN;
      return false;
    }
  }
  if (!OfdSetLock(fd, type, offset, count, error)) return false;
  held_.push_back({offset, count});
  return true;
}

bool ByteLockTable::Unlock(int fd, int64_t offset, int64_t count, int* error) {
  std::lock_guard<std::mutex> guard(mutex_);
  for (size_t i = 0; i < held_.size(); ++i) {
    if (held_[i].offset != offset || held_[i].count != count) continue;
    if (!OfdSetLock(fd, F_UNLCK, offset, count, error)) return false;
    held_.erase(held_.begin() + static_cast<std::ptrdiff_t>(i));
    return true;
  }
  if (error) *error = ENOENT;
  return false;
}

void ByteLockTable::Clear() {
  std::lock_guard<std::mutex> guard(mutex_);
  held_.clear();
}

size_t ByteLockTable::HeldCount() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return held_.size();
}

std::vector<ByteLockTable::Range> ByteLockTable::Held() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return held_;
}

bool IsLockConflictError(int error) { return error == EAGAIN || error == EACCES; }

bool IsLostConnectionError(int error) {
  switch (error) {
    case EBADF:         // invalid handle
    case EIO:           // read or write fault, general failure
    case ENXIO:
    case ENODEV:
    case ESTALE:        // the file's share went away
    case ENOLINK:
    case ECOMM:
    case EREMOTEIO:
    case ENETDOWN:
    case ENETUNREACH:
    case ENETRESET:
    case ECONNABORTED:
    case ECONNRESET:
    case EHOSTDOWN:
    case EHOSTUNREACH:
    case EPERM:         // access denied
      return true;
    default:
      return false;
  }
}

}  // namespace dadoveri
