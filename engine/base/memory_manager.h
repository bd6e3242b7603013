// TABSMemoryManager: the engine's one allocator for record, key, bookmark and value
// buffers. Every block carries a signature in front of the caller's bytes and a guard
// right behind them, so a stray pointer or a write past either end is caught when the
// block is released.
#pragma once

#include <cstdint>
#include <mutex>

namespace dadoveri {

class TABSMemoryManager {
 public:
  // Block header, directly in front of the caller's bytes: signed 32-bit user size, one
  // byte naming the allocator, 32-bit signature. The guard follows the user bytes.
  static constexpr int kHeaderSize = 9;
  static constexpr uint32_t kSignature = 0xACCACCAC;
  static constexpr uint32_t kGuard = 0xACCEACCE;
  // Allocator codes kept in the header.
  static constexpr uint8_t kSystemAllocator = 1;

  TABSMemoryManager() = default;
  TABSMemoryManager(const TABSMemoryManager&) = delete;
  TABSMemoryManager& operator=(const TABSMemoryManager&) = delete;

  // A block of `size` bytes (uninitialised). Raises 30286 for size 0, 30004 over the
  // limit, 30015 when the system allocator fails.
  void* GetMem(int32_t size);
  // As GetMem, the bytes set to 0.
  void* GetMemZero(int32_t size);
  // Releases a block and sets `p` to null (null is left alone). Raises 30001 for a pointer
  // without the signature (nothing is released then) and 30137 after releasing a block
  // whose guard was overwritten.
  void FreeAndNillMem(void*& p);
  template <typename T>
  void FreeAndNil(T*& p) {
    void* v = p;
    p = nullptr;
    try {
      FreeAndNillMem(v);
    } catch (...) {
      p = static_cast<T*>(v);
      throw;
    }
  }
  // Moves the block into one of `new_size` bytes, keeping min(old, new) bytes and zeroing
  // the grown part when `zero_tail`. A null `p` simply allocates. Raises 30002 for a
  // pointer without the signature, 30014 for other failures.
  void ReallocMem(void*& p, int32_t new_size, bool zero_tail = true);
  // User size of a block; 0 for null. Raises 30005 for a pointer without the signature.
  int32_t GetMemSize(const void* p) const;

  // Free physical memory, capped at the limit when one is set.
  uint64_t GetAvailableMemory() const;

  // 0 means no limit.
  void SetMemoryLimit(int64_t limit);
  int64_t GetMemoryLimit() const;
  int64_t BytesInUse() const;

 private:
  static bool has_signature(const void* p);

  mutable std::mutex lock_;
  int64_t in_use_ = 0;
  int64_t limit_ = 0;
};

// The process's memory manager, created on first use and kept until the process ends.
TABSMemoryManager& MemoryManager();

}  // namespace dadoveri
