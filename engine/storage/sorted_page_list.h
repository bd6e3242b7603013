// TABSSortedPageList: the pages of one list (the shared cache or a session's dirty list)
// ordered by PageNo and found by binary search. The list owns its pages. Every insertion
// and every touch renews an entry's use stamp, so the entry with the lowest stamp is the
// one used longest ago; the entries are also kept in stamp order, which makes finding
// that entry and renewing a stamp constant-time.
//
// The entries sit in a balanced search tree rather than a sorted array: a cache that
// evicts its lowest page numbers while reading forward would otherwise move the whole
// array on every eviction.
#pragma once

#include <cstdint>
#include <list>
#include <map>
#include <memory>

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
  // The page with the lowest PageNo; nullptr when empty.
  TABSPage* First() const;
  // Calls fn(TABSPage*) for every page in PageNo order; fn must not change the list.
  template <typename Fn>
  void ForEach(Fn&& fn) const {
    for (const auto& [page_no, entry] : entries_) fn(entry.page.get());
  }

 private:
  struct Entry {
    std::list<TABSPage*>::iterator stamp;  // position in stamp order
    std::unique_ptr<TABSPage> page;
  };

  std::map<int32_t, Entry> entries_;
  std::list<TABSPage*> by_stamp_;  // lowest stamp first
};

}  // namespace dadoveri
