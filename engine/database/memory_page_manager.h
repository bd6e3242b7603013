// TABSMemoryPageManager: the pages of in-memory tables' indexes (and of temporary indexes),
// each kept in its own block, with an allocation bitmap; the page table grows 50 pages at a
// time. The page cache, FreePage, GetPage and CommitPages are the base's.
//
// Pages read from here are copies of their stored blocks, and only a commit writes a page
// back: a change that a session has not committed never touches a stored block, so a
// rollback leaves the pages exactly as they were. (Lending the stored block itself to the
// page would let changes land in place and survive the rollback, while the rollback still
// released the session's new pages that the changed pages point to.) Table data commits
// the pages of these managers after every change, so in-memory tables and temporary
// indexes are not undone by a session's rollback.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <vector>

#include "engine/storage/page_manager.h"
#include "engine/table/record_bitmap.h"

namespace dadoveri {

inline constexpr uint16_t kMemoryPageSize = 4096;
inline constexpr int32_t kMemoryPageTableGrowth = 50;

class TABSMemoryPageManager : public TABSPageManager {
 public:
  TABSMemoryPageManager();
  ~TABSMemoryPageManager() override;

  void LoadFromStream(std::istream& stream) override;   // 3
  void SaveToStream(std::ostream& stream) override;     // 4
  void AllocatePageNo(TABSPage* page) override;         // 5
  void ReleasePageNo(int32_t page_no) override;         // 6
  bool ReadPage(TABSPage* page) override;               // 7
  void WritePage(TABSPage* page) override;              // 8

  int32_t AllocatedPageCount() const { return static_cast<int32_t>(allocated_.SetBitCount()); }
  int32_t PageTableCapacity() const { return static_cast<int32_t>(blocks_.size()); }
  bool IsAllocated(int32_t page_no) const;
  // The number the next allocation takes.
  int32_t NextFreePageNo() const;

 private:
  void grow_to(int32_t page_no);

  std::vector<std::unique_ptr<uint8_t[]>> blocks_;
  TABSBitsArray allocated_;
  int32_t highest_ = -1;
  // No page below this number is free.
  int32_t lowest_free_ = 0;
};

}  // namespace dadoveri
