#include "engine/database/memory_page_manager.h"

#include <cstring>
#include <istream>
#include <ostream>

#include "engine/base/engine_error.h"
#include "engine/base/little_endian.h"

namespace dadoveri {

namespace {

// Pages keep the common page header: index pages are recognised by their page type.
constexpr uint16_t kMemoryPageHeaderSize = kPageHeaderSize;
constexpr int32_t kMemoryCacheCapacity = 256;

template <typename T>
void put(std::ostream& out, T v) {
  uint8_t bytes[sizeof(T)];
  StoreLE(bytes, v);
  out.write(reinterpret_cast<const char*>(bytes), sizeof(T));
}

template <typename T>
T get(std::istream& in) {
  uint8_t bytes[sizeof(T)];
  in.read(reinterpret_cast<char*>(bytes), sizeof(T));
  if (in.gcount() != static_cast<std::streamsize>(sizeof(T)))
    RaiseError(10086, static_cast<int32_t>(in.tellg()), -1, static_cast<int32_t>(sizeof(T)),
               static_cast<int32_t>(in.gcount()));
  return LoadLE<T>(bytes);
}

}  // namespace

TABSMemoryPageManager::TABSMemoryPageManager()
    : TABSPageManager(kMemoryPageSize, kMemoryPageHeaderSize, kMemoryCacheCapacity) {}

TABSMemoryPageManager::~TABSMemoryPageManager() = default;

bool TABSMemoryPageManager::IsAllocated(int32_t page_no) const {
  return page_no >= 0 && page_no < allocated_.Size() && allocated_.GetBit(page_no);
}

void TABSMemoryPageManager::grow_to(int32_t page_no) {
  while (page_no >= static_cast<int32_t>(blocks_.size())) {
    const size_t from = blocks_.size();
    blocks_.resize(from + kMemoryPageTableGrowth);
    for (size_t i = from; i < blocks_.size(); ++i) blocks_[i] = std::make_unique<uint8_t[]>(PageSize());
    allocated_.SetSize(static_cast<int64_t>(blocks_.size()));
  }
}

int32_t TABSMemoryPageManager::NextFreePageNo() const {
  int32_t page_no = lowest_free_;
  while (page_no <= highest_ && allocated_.GetBit(page_no)) ++page_no;
  return page_no;
}

void TABSMemoryPageManager::AllocatePageNo(TABSPage* page) {
  const int32_t page_no = NextFreePageNo();
  grow_to(page_no);
  if (allocated_.GetBit(page_no)) RaiseError(20037);
  allocated_.SetBit(page_no, true);
  std::memset(blocks_[static_cast<size_t>(page_no)].get(), 0, PageSize());
  if (page_no > highest_) highest_ = page_no;
  lowest_free_ = page_no + 1;
  page_count_ = highest_ + 1;
  AssignPageNo(page, page_no);
  page->AllocBuffer();
}

void TABSMemoryPageManager::ReleasePageNo(int32_t page_no) {
  if (!IsAllocated(page_no)) return;
  allocated_.SetBit(page_no, false);
  if (page_no < lowest_free_) lowest_free_ = page_no;
}

bool TABSMemoryPageManager::ReadPage(TABSPage* page) {
  if (!IsAllocated(page->PageNo())) RaiseError(10392);
  if (!page->HasBuffer()) page->AllocBuffer();
  std::memcpy(page->Buffer(), blocks_[static_cast<size_t>(page->PageNo())].get(), PageSize());
  MarkLoaded(page);
  return true;
}

void TABSMemoryPageManager::WritePage(TABSPage* page) {
  if (!IsAllocated(page->PageNo())) RaiseError(10393);
  std::memcpy(blocks_[static_cast<size_t>(page->PageNo())].get(), page->Buffer(), PageSize());
}

void TABSMemoryPageManager::SaveToStream(std::ostream& stream) {
  put<int32_t>(stream, PageTableCapacity());
  put<int32_t>(stream, highest_);
  put<int32_t>(stream, kMemoryPageTableGrowth);
  put<uint16_t>(stream, PageSize());
  put<uint16_t>(stream, HeaderSize());
  put<int32_t>(stream, AllocatedPageCount());
  // The allocation bitmap: its bit count, then the bits, eight to a byte.
  put<int32_t>(stream, static_cast<int32_t>(allocated_.Size()));
  for (int64_t byte = 0; byte < (allocated_.Size() + 7) / 8; ++byte) {
    uint8_t v = 0;
    for (int b = 0; b < 8 && byte * 8 + b < allocated_.Size(); ++b)
      if (allocated_.GetBit(byte * 8 + b)) v |= static_cast<uint8_t>(1 << b);
    stream.put(static_cast<char>(v));
  }
  for (int32_t page_no = 0; page_no <= highest_; ++page_no)
    stream.write(reinterpret_cast<const char*>(blocks_[static_cast<size_t>(page_no)].get()), PageSize());
}

void TABSMemoryPageManager::LoadFromStream(std::istream& stream) {
  const int32_t capacity = get<int32_t>(stream);
  const int32_t highest = get<int32_t>(stream);
  get<int32_t>(stream);  // growth step: ours is fixed
  const uint16_t page_size = get<uint16_t>(stream);
  const uint16_t header_size = get<uint16_t>(stream);
  const int32_t allocated = get<int32_t>(stream);
  const int32_t bits = get<int32_t>(stream);
  if (page_size != PageSize() || header_size != HeaderSize() || capacity < 0 || highest < -1 ||
      highest >= capacity || bits != capacity || allocated < 0 || allocated > capacity)
    RaiseError(40601, static_cast<int32_t>(page_size), capacity);
  // Everything is read before anything changes: a refused image leaves the pages as they were.
  TABSBitsArray loaded_bits;
  loaded_bits.SetSize(bits);
  for (int64_t byte = 0; byte < (bits + 7) / 8; ++byte) {
    const uint8_t v = get<uint8_t>(stream);
    for (int b = 0; b < 8 && byte * 8 + b < bits; ++b)
      if (v & (1 << b)) loaded_bits.SetBit(byte * 8 + b, true);
  }
  if (loaded_bits.SetBitCount() != allocated) RaiseError(40601, static_cast<int32_t>(page_size), capacity);
  std::vector<std::unique_ptr<uint8_t[]>> loaded_blocks(static_cast<size_t>(capacity));
  for (int32_t page_no = 0; page_no < capacity; ++page_no) {
    auto& block = loaded_blocks[static_cast<size_t>(page_no)];
    block = std::make_unique<uint8_t[]>(PageSize());
    if (page_no > highest) continue;
    stream.read(reinterpret_cast<char*>(block.get()), PageSize());
    if (stream.gcount() != PageSize())
      RaiseError(10086, page_no * PageSize(), -1, PageSize(), static_cast<int32_t>(stream.gcount()));
  }
  FreeAllPages();
  blocks_ = std::move(loaded_blocks);
  allocated_ = std::move(loaded_bits);
  highest_ = highest;
  lowest_free_ = 0;
  page_count_ = highest_ + 1;
}

}  // namespace dadoveri
