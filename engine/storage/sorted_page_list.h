// TABSSortedPageList: the pages of one list (the shared cache or a session's dirty list)
// sorted by PageNo for binary search. The list owns its pages. Every insertion and every
// touch renews an entry's use stamp, so the entry with the lowest stamp is the one used
// longest ago; the entries are also kept in stamp order, which makes finding that entry
// and renewing a stamp constant-time.
#pragma once

#include <cstdint>
#include <list>
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
    std::list<int32_t>::iterator stamp;  // position in stamp order
    std::unique_ptr<TABSPage> page;
  };
  size_t lower_bound(int32_t page_no) const;

  std::vector<Entry> entries_;
  std::list<int32_t> by_stamp_;  // page numbers, lowest stamp first
  size_t growth_step_ = 1000;
};

}  // namespace dadoveri
