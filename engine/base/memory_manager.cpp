#include "engine/base/memory_manager.h"

#include <chrono>
#include <cstdlib>
#include <cstring>

#include "engine/platform/system_memory.h"
#include "engine/base/engine_error.h"

namespace dadoveri {

namespace {

// The 9-byte header is placed at the end of a 16-byte prefix so that the caller's bytes
// keep the system allocator's 16-byte alignment.
constexpr size_t kPrefix = 16;
constexpr size_t kSizeAt = kPrefix - TABSMemoryManager::kHeaderSize;  // offset of the size
constexpr size_t kAllocatorAt = kSizeAt + 4;
constexpr size_t kSignatureAt = kAllocatorAt + 1;

uint8_t* raw_of(const void* p) { return const_cast<uint8_t*>(static_cast<const uint8_t*>(p)) - kPrefix; }

uint32_t read32(const uint8_t* at) {
  uint32_t v;
  std::memcpy(&v, at, 4);
  return v;
}

void write32(uint8_t* at, uint32_t v) { std::memcpy(at, &v, 4); }

}  // namespace

bool TABSMemoryManager::has_signature(const void* p) {
  const uint8_t* raw = raw_of(p);
  return read32(raw + kSignatureAt) == kSignature && raw[kAllocatorAt] == kSystemAllocator;
}

void* TABSMemoryManager::GetMem(int32_t size) {
  if (size == 0) RaiseError(30286);
  if (size < 0) RaiseError(30015, "Invalid block size " + std::to_string(size));
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (limit_ != 0 && in_use_ + size > limit_) RaiseError(30004, limit_);
    in_use_ += size;
  }
  uint8_t* raw = static_cast<uint8_t*>(std::malloc(kPrefix + static_cast<size_t>(size) + 4));
  if (raw == nullptr) {
    std::lock_guard<std::mutex> hold(lock_);
    in_use_ -= size;
    RaiseError(30015, "Out of memory");
  }
  const int32_t s = size;
  std::memset(raw, 0, kSizeAt);
  std::memcpy(raw + kSizeAt, &s, 4);
  raw[kAllocatorAt] = kSystemAllocator;
  write32(raw + kSignatureAt, kSignature);
  write32(raw + kPrefix + size, kGuard);
  return raw + kPrefix;
}

void* TABSMemoryManager::GetMemZero(int32_t size) {
  void* p = GetMem(size);
  std::memset(p, 0, static_cast<size_t>(size));
  return p;
}

void TABSMemoryManager::FreeAndNillMem(void*& p) {
  if (p == nullptr) return;
  if (!has_signature(p)) RaiseError(30001);
  uint8_t* raw = raw_of(p);
  int32_t size;
  std::memcpy(&size, raw + kSizeAt, 4);
  const bool overrun = read32(raw + kPrefix + size) != kGuard;
  {
    std::lock_guard<std::mutex> hold(lock_);
    in_use_ -= size;
  }
  // Wipe the signature so that a second release of the same block is refused.
  write32(raw + kSignatureAt, 0);
  std::free(raw);
  p = nullptr;
  if (overrun) RaiseError(30137);
}

void TABSMemoryManager::ReallocMem(void*& p, int32_t new_size, bool zero_tail) {
  if (p != nullptr && !has_signature(p)) RaiseError(30002);
  void* fresh = nullptr;
  try {
    fresh = GetMem(new_size);
  } catch (const VODIDivodavir& e) {
    RaiseError(30014, e.Message());
  }
  const int32_t old_size = GetMemSize(p);
  const int32_t kept = old_size < new_size ? old_size : new_size;
  if (kept > 0) std::memcpy(fresh, p, static_cast<size_t>(kept));
  if (zero_tail && new_size > kept) std::memset(static_cast<uint8_t*>(fresh) + kept, 0, static_cast<size_t>(new_size - kept));
  try {
    FreeAndNillMem(p);
  } catch (const VODIDivodavir& e) {
    p = fresh;
    RaiseError(30014, e.Message());
  }
  p = fresh;
}

int32_t TABSMemoryManager::GetMemSize(const void* p) const {
  if (p == nullptr) return 0;
  if (!has_signature(p)) RaiseError(30005);
  int32_t size;
  std::memcpy(&size, raw_of(p) + kSizeAt, 4);
  return size;
}

namespace {

// The system's free memory as last read, and when (steady clock, nanoseconds; 0 never).
// Each temporary table asks on creation, and reading the system's figures costs several
// file opens: the answer is reused for a tenth of a second.
std::mutex physical_lock;
uint64_t physical_memory = 0;
int64_t physical_read_at_ns = 0;

uint64_t recent_physical_memory() {
  constexpr int64_t kRereadAfterNs = 100'000'000;
  const int64_t now =
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count();
  {
    std::lock_guard<std::mutex> hold(physical_lock);
    if (physical_read_at_ns != 0 && now - physical_read_at_ns < kRereadAfterNs) return physical_memory;
  }
  const uint64_t physical = AvailablePhysicalMemory();
  std::lock_guard<std::mutex> hold(physical_lock);
  physical_memory = physical;
  physical_read_at_ns = now;
  return physical;
}

}  // namespace

uint64_t TABSMemoryManager::GetAvailableMemory() const {
  const uint64_t physical = recent_physical_memory();
  std::lock_guard<std::mutex> hold(lock_);
  if (limit_ == 0) return physical;
  return static_cast<uint64_t>(limit_) < physical ? static_cast<uint64_t>(limit_) : physical;
}

void TABSMemoryManager::SetMemoryLimit(int64_t limit) {
  std::lock_guard<std::mutex> hold(lock_);
  limit_ = limit < 0 ? 0 : limit;
}

int64_t TABSMemoryManager::GetMemoryLimit() const {
  std::lock_guard<std::mutex> hold(lock_);
  return limit_;
}

int64_t TABSMemoryManager::BytesInUse() const {
  std::lock_guard<std::mutex> hold(lock_);
  return in_use_;
}

TABSMemoryManager& MemoryManager() {
  // Never destroyed: blocks may still be released by static objects at process exit.
  static TABSMemoryManager* manager = new TABSMemoryManager();
  return *manager;
}

}  // namespace dadoveri
