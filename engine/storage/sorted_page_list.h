// TABSSortedPageList: the pages of one list (the shared cache or a session's dirty list),
// found by PageNo. The list owns its pages. Every insertion and every touch renews an
// entry's use stamp, so the entry with the lowest stamp is the one used longest ago.
//
// The entries sit in an open-addressing hash table (linear probing, page numbers spread by
// a multiplicative hash), each slot also a link of a doubly linked list in stamp order, so
// that finding a page, renewing its stamp, finding the page used longest ago, inserting and
// deleting all take constant time. Deleting shifts the following entries of a probe run
// back into the hole (no tombstones), fixing their list links as they move.
//
// Visiting the pages in PageNo order (First, ForEach) sorts them when asked; callers that
// do not need that order use ForEachByUse.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "engine/storage/page.h"

namespace dadoveri {

class TABSSortedPageList {
 public:
  TABSSortedPageList() = default;
  ~TABSSortedPageList();
  TABSSortedPageList(const TABSSortedPageList&) = delete;
  TABSSortedPageList& operator=(const TABSSortedPageList&) = delete;

  TABSPage* Find(int32_t page_no) const {
    const uint32_t i = slot_of(page_no);
    return i == kNone ? nullptr : slots_[i].page;
  }
  // Takes the page; its List becomes this list. A page number must not be present twice.
  void Insert(std::unique_ptr<TABSPage> page);
  // Removes the page and hands it back (20165 on an empty list, 20166 if absent).
  std::unique_ptr<TABSPage> Delete(int32_t page_no);
  // Renews the page's use stamp (20167 if absent).
  void Touch(int32_t page_no);
  // The page with the lowest use stamp; nullptr when empty.
  TABSPage* LeastRecentlyUsed() const { return oldest_ == kNone ? nullptr : slots_[oldest_].page; }
  // Destroys every page.
  void Clear();

  size_t Count() const { return count_; }
  // The page with the lowest PageNo; nullptr when empty. Looks at every entry.
  TABSPage* First() const;
  // Calls fn(TABSPage*) for every page in PageNo order; fn must not change the list.
  template <typename Fn>
  void ForEach(Fn&& fn) const {
    std::vector<TABSPage*> pages;
    pages.reserve(count_);
    ForEachByUse([&](TABSPage* page) { pages.push_back(page); });
    std::sort(pages.begin(), pages.end(), [](const TABSPage* a, const TABSPage* b) { return a->PageNo() < b->PageNo(); });
    for (TABSPage* page : pages) fn(page);
  }
  // Calls fn(TABSPage*) for every page, the one used longest ago first; fn must not change
  // the list.
  template <typename Fn>
  void ForEachByUse(Fn&& fn) const {
    for (uint32_t i = oldest_; i != kNone; i = slots_[i].newer) fn(slots_[i].page);
  }

 private:
  static constexpr uint32_t kNone = 0xFFFFFFFFu;
  static constexpr uint32_t kMinSlots = 16;

  struct Slot {
    TABSPage* page = nullptr;  // owned; null in a free slot
    int32_t page_no = 0;
    uint32_t older = kNone;    // neighbours in stamp order
    uint32_t newer = kNone;
  };

  // The slot a page number's probe run starts at.
  uint32_t home_of(int32_t page_no) const {
    return static_cast<uint32_t>((static_cast<uint64_t>(static_cast<uint32_t>(page_no)) * 0x9E3779B97F4A7C15ull) >>
                                 shift_);
  }
  // The slot holding the page number; kNone when absent.
  uint32_t slot_of(int32_t page_no) const {
    if (count_ == 0) return kNone;
    const uint32_t mask = static_cast<uint32_t>(slots_.size()) - 1;
    for (uint32_t i = home_of(page_no);; i = (i + 1) & mask) {
      const Slot& s = slots_[i];
      if (s.page == nullptr) return kNone;
      if (s.page_no == page_no) return i;
    }
  }
  // Places a page in a free slot of its probe run and makes it the most recently used.
  void place(TABSPage* page);
  void grow();
  void unlink(uint32_t i);
  void link_newest(uint32_t i);
  // Empties slot i, moving later entries of its probe run back.
  void remove_slot(uint32_t i);

  std::vector<Slot> slots_;  // a power of two long, at most half full
  uint32_t shift_ = 64;      // 64 - log2(slot count)
  size_t count_ = 0;
  uint32_t oldest_ = kNone;
  uint32_t newest_ = kNone;
};

}  // namespace dadoveri
