#include "engine/storage/sorted_page_list.h"

#include "engine/query/engine_error.h"

namespace dadoveri {

TABSPage* TABSSortedPageList::Find(int32_t page_no) const {
  auto it = entries_.find(page_no);
  return it == entries_.end() ? nullptr : it->second.page.get();
}

void TABSSortedPageList::Insert(std::unique_ptr<TABSPage> page) {
  const int32_t page_no = page->PageNo;
  page->List = this;
  by_stamp_.push_back(page.get());
  entries_[page_no] = Entry{std::prev(by_stamp_.end()), std::move(page)};
}

std::unique_ptr<TABSPage> TABSSortedPageList::Delete(int32_t page_no) {
  if (entries_.empty()) RaiseError(20165);
  auto it = entries_.find(page_no);
  if (it == entries_.end()) RaiseError(20166, page_no, entries_.size());
  std::unique_ptr<TABSPage> page = std::move(it->second.page);
  by_stamp_.erase(it->second.stamp);
  entries_.erase(it);
  page->List = nullptr;
  return page;
}

void TABSSortedPageList::Touch(int32_t page_no) {
  auto it = entries_.find(page_no);
  if (it == entries_.end()) RaiseError(20167);
  by_stamp_.splice(by_stamp_.end(), by_stamp_, it->second.stamp);
}

TABSPage* TABSSortedPageList::LeastRecentlyUsed() const {
  return by_stamp_.empty() ? nullptr : by_stamp_.front();
}

TABSPage* TABSSortedPageList::First() const {
  return entries_.empty() ? nullptr : entries_.begin()->second.page.get();
}

void TABSSortedPageList::Clear() {
  entries_.clear();
  by_stamp_.clear();
}

}  // namespace dadoveri
