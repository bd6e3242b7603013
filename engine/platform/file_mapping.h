// Reads of a file served from a read-only shared mapping of it: a copy from memory
// instead of a pread system call for each page. Writes still go through the descriptor;
// the mapping shares the system's cache of the file, so it sees them at once, ours and
// other processes'.
//
// The mapping covers the file as it was when it was made. Reads beyond it answer false
// (the caller reads with pread); the file is mapped again once it has grown to twice the
// mapping. A file cut short under the mapping (by another program) would make a copy
// from the lost pages fault: that copy answers false instead of ending the process, and
// the mapping is dropped. Small files are not mapped.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <shared_mutex>

namespace dadoveri {

class FileMapping {
 public:
  FileMapping() = default;
  ~FileMapping() { Reset(); }
  FileMapping(const FileMapping&) = delete;
  FileMapping& operator=(const FileMapping&) = delete;

  // Starts serving the descriptor `fd` (whose size is `size`); no mapping is made yet.
  void Attach(int fd, int64_t size);
  // Drops the mapping and the descriptor: every later Read answers false.
  void Reset();
  // The file has at least `size` bytes (a write of ours reached that far).
  void Grew(int64_t size);
  // The file is cut to `size` bytes: a mapping beyond it goes.
  void Shrunk(int64_t size);

  // Copies `count` bytes at `position` from the mapping; false when the range is not
  // mapped (or its pages are gone), so that the caller reads it from the descriptor.
  bool Read(void* buffer, size_t count, int64_t position);

  // Files below this size are read with pread only.
  static constexpr int64_t kSmallestMapping = int64_t{4} << 20;

 private:
  bool remap_locked();
  void unmap_locked();

  std::shared_mutex lock_;
  int fd_ = -1;
  const uint8_t* map_ = nullptr;
  int64_t map_size_ = 0;
  // The file's size as far as this process knows it (its own writes, the last fstat).
  std::atomic<int64_t> known_size_{0};
  // Reads that fell beyond the mapping since the last fstat: every so many, the size is
  // looked up again, to learn of growth by other processes.
  std::atomic<uint32_t> misses_{0};
};

}  // namespace dadoveri
