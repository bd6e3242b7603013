#include "engine/platform/file_mapping.h"

#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <cstring>
#include <mutex>

namespace dadoveri {

namespace {

// The copy of this thread that a bus error (a page of the mapping no longer backed by
// the file) returns from, if one is under way.
thread_local sigjmp_buf* t_copy_guard = nullptr;
struct sigaction g_previous_bus_action;

void on_bus_error(int signal, siginfo_t* info, void* context) {
  if (sigjmp_buf* guard = t_copy_guard) {
    t_copy_guard = nullptr;
    siglongjmp(*guard, 1);
  }
  // Not a copy of ours: whatever handled the signal before does.
  const struct sigaction& previous = g_previous_bus_action;
  if ((previous.sa_flags & SA_SIGINFO) != 0 && previous.sa_sigaction != nullptr) {
    previous.sa_sigaction(signal, info, context);
    return;
  }
  if ((previous.sa_flags & SA_SIGINFO) == 0 && previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
    previous.sa_handler(signal);
    return;
  }
  ::signal(SIGBUS, SIG_DFL);
  ::raise(SIGBUS);
}

void install_bus_error_handler() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction action {};
    action.sa_sigaction = on_bus_error;
    action.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGBUS, &action, &g_previous_bus_action);
  });
}

// memcpy that answers false instead of faulting when a source page has no file behind it.
bool guarded_copy(void* to, const uint8_t* from, size_t count) {
  sigjmp_buf guard;
  if (sigsetjmp(guard, 0) != 0) return false;
  t_copy_guard = &guard;
  std::memcpy(to, from, count);
  t_copy_guard = nullptr;
  return true;
}

constexpr uint32_t kMissesBetweenSizeChecks = 256;

}  // namespace

void FileMapping::Attach(int fd, int64_t size) {
  std::unique_lock lock(lock_);
  unmap_locked();
  fd_ = fd;
  known_size_ = size;
  misses_ = 0;
}

void FileMapping::Reset() {
  std::unique_lock lock(lock_);
  unmap_locked();
  fd_ = -1;
  known_size_ = 0;
}

void FileMapping::Grew(int64_t size) {
  int64_t known = known_size_.load(std::memory_order_relaxed);
  while (size > known && !known_size_.compare_exchange_weak(known, size, std::memory_order_relaxed)) {
  }
}

void FileMapping::Shrunk(int64_t size) {
  std::unique_lock lock(lock_);
  known_size_ = size;
  if (size < map_size_) unmap_locked();
}

bool FileMapping::Read(void* buffer, size_t count, int64_t position) {
  if (position < 0) return false;
  const int64_t end = position + static_cast<int64_t>(count);
  {
    std::shared_lock lock(lock_);
    if (end <= map_size_) {
      if (guarded_copy(buffer, map_ + position, count)) return true;
    } else if (fd_ < 0) {
      return false;
    } else {
      // Beyond the mapping: map again only when the file has grown enough for it.
      int64_t known = known_size_.load(std::memory_order_relaxed);
      if (known < kSmallestMapping || known < 2 * map_size_) {
        if (misses_.fetch_add(1, std::memory_order_relaxed) + 1 < kMissesBetweenSizeChecks) return false;
        misses_ = 0;
        struct stat st;
        if (::fstat(fd_, &st) != 0) return false;
        Grew(st.st_size);
        known = known_size_.load(std::memory_order_relaxed);
        if (known < kSmallestMapping || known < 2 * map_size_) return false;
      }
    }
  }
  std::unique_lock lock(lock_);
  if (end <= map_size_) {
    // Another thread mapped the file meanwhile, or the copy above faulted.
    if (guarded_copy(buffer, map_ + position, count)) return true;
    unmap_locked();
    return false;
  }
  if (!remap_locked() || end > map_size_) return false;
  if (guarded_copy(buffer, map_ + position, count)) return true;
  unmap_locked();
  return false;
}

bool FileMapping::remap_locked() {
  if (fd_ < 0) return false;
  struct stat st;
  if (::fstat(fd_, &st) != 0) return false;
  known_size_ = st.st_size;
  misses_ = 0;
  if (st.st_size < kSmallestMapping || st.st_size <= map_size_) return map_size_ > 0;
  unmap_locked();
  void* m = ::mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_SHARED, fd_, 0);
  if (m == MAP_FAILED) return false;
  install_bus_error_handler();
  map_ = static_cast<const uint8_t*>(m);
  map_size_ = st.st_size;
  return true;
}

void FileMapping::unmap_locked() {
  if (map_ != nullptr) ::munmap(const_cast<uint8_t*>(map_), static_cast<size_t>(map_size_));
  map_ = nullptr;
  map_size_ = 0;
}

}  // namespace dadoveri
