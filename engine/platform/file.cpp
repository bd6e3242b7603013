#include "engine/platform/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace dadoveri {

namespace {

// Marker bytes of the share-mode emulation: far beyond any database, never read.
constexpr int64_t kMarkerBase = INT64_C(0x7FFFFFFF00000000);
constexpr int64_t kHasRead = kMarkerBase + 0;
constexpr int64_t kHasWrite = kMarkerBase + 1;
constexpr int64_t kDeniesRead = kMarkerBase + 2;
constexpr int64_t kDeniesWrite = kMarkerBase + 3;

bool others_hold(int fd, int64_t marker) { return OfdConflicts(fd, F_WRLCK, marker, 1); }

// The descriptor of a handle whose connection was lost: no descriptor has this number
// (it lies beyond every limit of open files), so each call on it fails with EBADF.
constexpr int kLostDescriptor = INT32_MAX;

}  // namespace

PlatformFile::~PlatformFile() { Close(); }

bool PlatformFile::fail() {
  last_error_ = errno;
  return false;
}

bool PlatformFile::OpenWith(const std::string& name, int flags, FileAccess access,
                            FileShare share) {
  const int fd = ::open(name.c_str(), flags | O_CLOEXEC, 0666);
  if (fd < 0) return fail();
  const bool writes = access == FileAccess::ReadWrite;
  const bool deny_read = share == FileShare::None;
  const bool deny_write = share != FileShare::ReadWrite;
  // Refuse what a sharing violation would refuse: our access against others' denials,
  // our denials against others' access.
  const bool violation = others_hold(fd, kDeniesRead) ||
                         (writes && others_hold(fd, kDeniesWrite)) ||
                         (deny_read && others_hold(fd, kHasRead)) ||
                         (deny_write && others_hold(fd, kHasWrite));
  int error = 0;
  bool ok = !violation;
  if (ok) ok = OfdSetLock(fd, F_RDLCK, kHasRead, 1, &error);
  if (ok && writes) ok = OfdSetLock(fd, F_RDLCK, kHasWrite, 1, &error);
  if (ok && deny_read) ok = OfdSetLock(fd, F_RDLCK, kDeniesRead, 1, &error);
  if (ok && deny_write) ok = OfdSetLock(fd, F_RDLCK, kDeniesWrite, 1, &error);
  if (!ok) {
    ::close(fd);
    last_error_ = violation ? EBUSY : error;
    return false;
  }
  fd_ = fd;
  lock_fd_ = fd;
  lock_type_ = F_WRLCK;
  struct stat st;
  mapping_.Attach(fd, ::fstat(fd, &st) == 0 ? st.st_size : 0);
  if (!writes) {
    const int for_locks = ::open(name.c_str(), O_RDWR | O_CLOEXEC);
    if (for_locks >= 0)
      lock_fd_ = for_locks;
    else
      lock_type_ = F_RDLCK;
  }
  locks_.Clear();
  return true;
}

bool PlatformFile::Create(const std::string& name, FileAccess access, FileShare share) {
  const int flags = O_CREAT | O_EXCL | (access == FileAccess::ReadWrite ? O_RDWR : O_RDONLY);
  return OpenWith(name, flags, access, share);
}

bool PlatformFile::Open(const std::string& name, FileAccess access, FileShare share) {
  return OpenWith(name, access == FileAccess::ReadWrite ? O_RDWR : O_RDONLY, access, share);
}

bool PlatformFile::Close() {
  mapping_.Reset();
  if (fd_ < 0) return true;
  const int fd = fd_;
  if (lock_fd_ >= 0 && lock_fd_ != fd && lock_fd_ != kLostDescriptor) ::close(lock_fd_);
  fd_ = -1;
  lock_fd_ = -1;
  locks_.Clear();
  if (fd == kLostDescriptor) return true;
  if (::close(fd) != 0) return fail();
  return true;
}

void PlatformFile::DropConnection() {
  if (fd_ < 0 || fd_ == kLostDescriptor) return;
  mapping_.Reset();
  if (lock_fd_ >= 0 && lock_fd_ != fd_) ::close(lock_fd_);
  ::close(fd_);
  fd_ = kLostDescriptor;
  lock_fd_ = kLostDescriptor;
}

bool PlatformFile::Read(void* buffer, size_t count, int64_t position) {
  if (mapping_.Read(buffer, count, position)) return true;
  auto* p = static_cast<uint8_t*>(buffer);
  while (count > 0) {
    const ssize_t n = ::pread(fd_, p, count, position);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail();
    }
    if (n == 0) {
      last_error_ = ENODATA;  // reading past the end of the file
      return false;
    }
    p += n;
    count -= static_cast<size_t>(n);
    position += n;
  }
  return true;
}

bool PlatformFile::Write(const void* buffer, size_t count, int64_t position) {
  const auto* p = static_cast<const uint8_t*>(buffer);
  while (count > 0) {
    const ssize_t n = ::pwrite(fd_, p, count, position);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail();
    }
    p += n;
    count -= static_cast<size_t>(n);
    position += n;
  }
  mapping_.Grew(position);
  return true;
}

bool PlatformFile::WriteRun(const uint8_t* const* blocks, size_t count, size_t block_size, int64_t position) {
  constexpr size_t kMaxVectors = 1024;  // IOV_MAX on Linux
  iovec vectors[kMaxVectors];
  size_t done = 0;     // whole blocks written
  size_t partial = 0;  // bytes of block `done` written
  while (done < count) {
    const size_t n = std::min(count - done, kMaxVectors);
    for (size_t i = 0; i < n; ++i) {
      vectors[i].iov_base = const_cast<uint8_t*>(blocks[done + i]);
      vectors[i].iov_len = block_size;
    }
    vectors[0].iov_base = const_cast<uint8_t*>(blocks[done]) + partial;
    vectors[0].iov_len = block_size - partial;
    const ssize_t written =
        ::pwritev(fd_, vectors, static_cast<int>(n), position + static_cast<int64_t>(done * block_size + partial));
    if (written < 0) {
      if (errno == EINTR) continue;
      return fail();
    }
    const size_t total = partial + static_cast<size_t>(written);
    done += total / block_size;
    partial = total % block_size;
  }
  mapping_.Grew(position + static_cast<int64_t>(count * block_size));
  return true;
}

bool PlatformFile::Seek(int64_t position) {
  if (::lseek(fd_, position, SEEK_SET) < 0) return fail();
  return true;
}

bool PlatformFile::GetPosition(int64_t* position) {
  const off_t p = ::lseek(fd_, 0, SEEK_CUR);
  if (p < 0) return fail();
  *position = p;
  return true;
}

bool PlatformFile::GetSize(int64_t* size) {
  struct stat st {};
  if (::fstat(fd_, &st) != 0) return fail();
  *size = st.st_size;
  return true;
}

bool PlatformFile::SetSize(int64_t size) {
  // The mapping goes first: pages beyond the new end must not be read through it.
  mapping_.Shrunk(size);
  if (::ftruncate(fd_, size) != 0) return fail();
  mapping_.Grew(size);
  return true;
}

bool PlatformFile::SyncData() {
  if (::fdatasync(fd_) != 0) return fail();
  return true;
}

bool PlatformFile::Flush() {
  if (::fsync(fd_) != 0) return fail();
  return true;
}

bool PlatformFile::LockRange(int64_t offset, int64_t count) {
  int error = 0;
  if (locks_.Lock(lock_fd_, lock_type_, offset, count, &error)) return true;
  last_error_ = error;
  return false;
}

bool PlatformFile::UnlockRange(int64_t offset, int64_t count) {
  int error = 0;
  if (locks_.Unlock(lock_fd_, offset, count, &error)) return true;
  last_error_ = error;
  return false;
}

std::string PlatformFile::LastErrorText() const { return PlatformErrorText(last_error_); }

std::string PlatformErrorText(int error) {
  char buf[256];
  // GNU strerror_r returns the text, which may or may not live in buf.
  const char* text = strerror_r(error, buf, sizeof buf);
  return text ? text : "";
}

bool PlatformFileExists(const std::string& name) {
  struct stat st {};
  return ::stat(name.c_str(), &st) == 0;
}

bool PlatformFileIsReadOnly(const std::string& name) {
  struct stat st {};
  if (::stat(name.c_str(), &st) != 0) return false;
  return (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
}

bool PlatformClearReadOnly(const std::string& name) {
  struct stat st {};
  if (::stat(name.c_str(), &st) != 0) return false;
  return ::chmod(name.c_str(), (st.st_mode & 07777) | S_IRUSR | S_IWUSR) == 0;
}

bool PlatformDeleteFile(const std::string& name) { return ::unlink(name.c_str()) == 0; }

}  // namespace dadoveri
