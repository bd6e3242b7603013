// TABSSortedPageList: the pages of one list (the shared cache or a session's dirty list)
// sorted by PageNo for binary search. The list owns its pages. Every entry carries a
// use stamp from a list-wide counter that grows on every insertion and every touch, so
// the entry with the lowest stamp is the one used longest ago.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "engine/storage/page.h"

namespace dadoveri {

class TABSSortedPageList {
 public:
  TABSSortedPageList() = default;
  TABSSortedPageList(const TABSSortedPageList&) = delete;
  TABSSortedPageList& operator=(const TABSSortedPageList&) = delete;

  TABSPage* Find(int32_t page_no) const;
  // Takes the page; its List becomes this list. A page number must not be present twice.
  void Insert(std::unique_ptr<TABSPage> page);
  // Removes the page and hands it back (20165 on an empty list, 20166 if absent).
  std::unique_ptr<TABSPage> Delete(int32_t page_no);
  // Renews the page's use stamp (20167 if absent).
  void Touch(int32_t page_no);
  // The page with the lowest use stamp; nullptr when empty.
  TABSPage* LeastRecentlyUsed() const;
  // Destroys every page.
  void Clear();

  size_t Count() const { return entries_.size(); }
  // The i-th page in PageNo order.
  TABSPage* Item(size_t i) const { return entries_[i].page.get(); }

 private:
  struct Entry {
    int32_t page_no;
    uint64_t stamp;
    std::unique_ptr<TABSPage> page;
  };
  size_t lower_bound(int32_t page_no) const;

  std::vector<Entry> entries_;
  uint64_t counter_ = 0;
  size_t growth_step_ = 1000;
};

}  // namespace dadoveri
