#include "engine/storage/page.h"

#include <sys/mman.h>

#include <bit>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <unordered_map>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

#include "engine/base/engine_error.h"
#include "engine/storage/page_manager.h"

namespace dadoveri {

namespace {

constexpr std::string_view kPageTypeNames[] = {
    "Unknown Page",       "Empty Page",           "EAM Page",
    "PFS Page",           "FileSystemDirectory Page", "ActiveSessionList Page",
    "TableList Page",     "TableLocks Page",      "TableMetaData Page",
    "TableMostUpdated Page", "TableRecord Page",  "TableBlob Page",
    "TableIndex Page",
};

// Page buffers come from blocks of kBuffersPerBlock buffers of one size, kept apart from
// the general heap. A bulk load allocates a buffer for every new page; taking each from
// the heap's bins, among the many small blocks that building the rows leaves there,
// costs more than filling the page. A freed buffer goes back to its block, and a block
// whose buffers are all free goes back to the heap unless it is the last one with room.
// Sizes other than a power of two from kSmallestPooled to kLargestPooled come from the
// heap. Under AddressSanitizer a free buffer is poisoned, so a use after free is caught.
class BufferPool {
 public:
  static constexpr uint32_t kSmallestPooled = 1024;
  static constexpr uint32_t kLargestPooled = 65536;
  static constexpr uint32_t kBuffersPerBlock = 256;
  static constexpr size_t kIdleBytes = size_t{32} << 20;

  static bool Pooled(uint32_t size) {
    return size >= kSmallestPooled && size <= kLargestPooled && (size & (size - 1)) == 0;
  }

  // A zero-filled buffer of `size` bytes.
  static uint8_t* Allocate(uint32_t size) {
    if (!Pooled(size)) return new uint8_t[size]();
    uint8_t* buffer = instance().take(size);
    unpoison(buffer, size);
    std::memset(buffer, 0, size);
    return buffer;
  }

  static void Release(uint8_t* buffer, uint32_t size) {
    if (!buffer) return;
    if (!Pooled(size)) {
      delete[] buffer;
      return;
    }
    poison(buffer, size);
    instance().give_back(buffer, size);
  }

 private:
  struct Block {
    uint8_t* base;
    std::vector<uint8_t*> free;
    size_t slot;  // position in the size's list of blocks with room
  };
  struct SizeClass {
    std::vector<Block*> with_room;
    size_t idle_blocks = 0;  // blocks with every buffer free
  };

  static BufferPool& instance() {
    static BufferPool* pool = new BufferPool;  // never destroyed: pages may outlive statics
    return *pool;
  }

  static size_t class_of(uint32_t size) { return static_cast<size_t>(std::countr_zero(size)); }

  uint8_t* take(uint32_t size) {
    std::lock_guard<std::mutex> lock(mutex_);
    SizeClass& c = classes_[class_of(size)];
    if (c.with_room.empty()) {
      const size_t bytes = static_cast<size_t>(size) * kBuffersPerBlock;
      uint8_t* base = map_block(bytes);
      auto block = std::make_unique<Block>();
      block->base = base;
      block->free.reserve(kBuffersPerBlock);
      for (uint32_t i = kBuffersPerBlock; i > 0; --i) block->free.push_back(base + static_cast<size_t>(i - 1) * size);
      block->slot = c.with_room.size();
      poison(base, bytes);
      try {
        c.with_room.push_back(block.get());
        blocks_.emplace(reinterpret_cast<uintptr_t>(base), std::move(block));
      } catch (...) {
        if (!c.with_room.empty() && c.with_room.back()->base == base) c.with_room.pop_back();
        unmap_block(base, bytes);
        throw;
      }
    }
    Block* block = c.with_room.back();
    if (block->free.size() == kBuffersPerBlock) --c.idle_blocks;
    uint8_t* buffer = block->free.back();
    block->free.pop_back();
    if (block->free.empty()) drop_from_room(c, block);
    return buffer;
  }

  void give_back(uint8_t* buffer, uint32_t size) {
    std::lock_guard<std::mutex> lock(mutex_);
    SizeClass& c = classes_[class_of(size)];
    const size_t bytes = static_cast<size_t>(size) * kBuffersPerBlock;
    const auto key = reinterpret_cast<uintptr_t>(buffer) & ~static_cast<uintptr_t>(bytes - 1);
    const auto found = blocks_.find(key);
    Block* block = found->second.get();
    if (block->free.empty()) {
      block->slot = c.with_room.size();
      c.with_room.push_back(block);
    }
    block->free.push_back(buffer);
    if (block->free.size() < kBuffersPerBlock) return;
    // Up to kIdleBytes of idle blocks stay for the next pages: memory the process has
    // not touched yet costs a fault per page.
    if ((c.idle_blocks + 1) * bytes <= kIdleBytes || c.with_room.size() == 1) {
      ++c.idle_blocks;
    } else {
      drop_from_room(c, block);
      unpoison(block->base, bytes);
      unmap_block(block->base, bytes);
      blocks_.erase(found);
    }
  }

  // A block aligned to its size, so a buffer finds its block by masking its address. Its
  // pages are mapped in at once: a bulk load touches every one of them, and a fault per
  // page costs more than the kernel filling them in one call.
  static uint8_t* map_block(size_t bytes) {
    void* p = ::mmap(nullptr, 2 * bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    auto* start = static_cast<uint8_t*>(p);
    const auto address = reinterpret_cast<uintptr_t>(start);
    auto* base = start + ((bytes - address % bytes) % bytes);
    if (base > start) ::munmap(start, static_cast<size_t>(base - start));
    uint8_t* end = start + 2 * bytes;
    if (end > base + bytes) ::munmap(base + bytes, static_cast<size_t>(end - (base + bytes)));
#if defined(MADV_POPULATE_WRITE)
    ::madvise(base, bytes, MADV_POPULATE_WRITE);
#endif
    return base;
  }
  static void unmap_block(uint8_t* base, size_t bytes) { ::munmap(base, bytes); }

  static void drop_from_room(SizeClass& c, Block* block) {
    Block* last = c.with_room.back();
    c.with_room[block->slot] = last;
    last->slot = block->slot;
    c.with_room.pop_back();
  }

  static void poison(uint8_t* p, size_t n) {
#if defined(__SANITIZE_ADDRESS__)
    ASAN_POISON_MEMORY_REGION(p, n);
#else
    (void)p, (void)n;
#endif
  }
  static void unpoison(uint8_t* p, size_t n) {
#if defined(__SANITIZE_ADDRESS__)
    ASAN_UNPOISON_MEMORY_REGION(p, n);
#else
    (void)p, (void)n;
#endif
  }

  std::mutex mutex_;
  SizeClass classes_[32];
  std::unordered_map<uintptr_t, std::unique_ptr<Block>> blocks_;
};

}  // namespace

std::string_view PageTypeName(uint16_t code) {
  if (code > ptTableIndex) RaiseError(30382, code);
  return kPageTypeNames[code];
}

void CheckPageType(uint16_t found, uint16_t wanted, int32_t error_code) {
  if (found == wanted) return;
  // An unknown code in the found page names itself through the unknown-type error.
  RaiseError(error_code, PageTypeName(found), PageTypeName(wanted));
}

namespace page_header {

void Initialize(uint8_t* p) {
  std::memset(p, 0, kPageHeaderSize);
  std::memcpy(p, "ABSP", 4);
  SetNextPageNo(p, -1);
  SetOwnerObjectID(p, -1);
  StoreLE<int32_t>(p + 26, -1);
}

}  // namespace page_header

TABSPage::TABSPage(TABSPageManager* manager, int32_t page_no) : page_no_(page_no), manager_(manager) {}

TABSPage::~TABSPage() {
  if (owns_buffer_) BufferPool::Release(buffer_, buffer_size_);
}

void TABSPage::AllocBuffer() {
  const uint32_t size = manager_->PageSize();
  if (owns_buffer_) BufferPool::Release(buffer_, buffer_size_);
  buffer_ = nullptr;
  buffer_ = BufferPool::Allocate(size);
  buffer_size_ = size;
  owns_buffer_ = true;
  if (manager_->HeaderSize() >= kPageHeaderSize) page_header::Initialize(buffer_);
}

void TABSPage::SetExternalBuffer(uint8_t* buffer, uint32_t size) {
  if (owns_buffer_) BufferPool::Release(buffer_, buffer_size_);
  buffer_ = buffer;
  buffer_size_ = size;
  owns_buffer_ = false;
}

void TABSPage::EnlargeBuffer(uint32_t size) {
  if (size < manager_->PageSize()) RaiseError(20039);
  if (!buffer_) RaiseError(20038);
  if (size <= buffer_size_) return;
  uint8_t* bigger = BufferPool::Allocate(size);
  std::memcpy(bigger, buffer_, buffer_size_);
  if (owns_buffer_) BufferPool::Release(buffer_, buffer_size_);
  buffer_ = bigger;
  buffer_size_ = size;
  owns_buffer_ = true;
}

uint8_t* TABSPage::Data() { return buffer_ + manager_->HeaderSize(); }
const uint8_t* TABSPage::Data() const { return buffer_ + manager_->HeaderSize(); }
uint32_t TABSPage::DataSize() const { return manager_->DataSize(); }
uint32_t TABSPage::PageSize() const { return manager_->PageSize(); }
uint32_t TABSPage::HeaderSize() const { return manager_->HeaderSize(); }

TABSPageValidation& TABSPage::Validation(int32_t session) {
  const size_t index = static_cast<size_t>(session + 2);
  if (validations_.size() <= index) validations_.resize(index + 1);
  return validations_[index];
}

}  // namespace dadoveri
