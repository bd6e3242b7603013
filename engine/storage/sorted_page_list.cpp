#include "engine/storage/sorted_page_list.h"

#include <algorithm>

#include "engine/query/engine_error.h"

namespace dadoveri {

size_t TABSSortedPageList::lower_bound(int32_t page_no) const {
  size_t lo = 0;
  size_t hi = entries_.size();
  while (lo < hi) {
    const size_t mid = (lo + hi) / 2;
    if (entries_[mid].page_no < page_no)
      lo = mid + 1;
    else
      hi = mid;
  }
  return lo;
}

TABSPage* TABSSortedPageList::Find(int32_t page_no) const {
  const size_t i = lower_bound(page_no);
  if (i < entries_.size() && entries_[i].page_no == page_no) return entries_[i].page.get();
  return nullptr;
}

void TABSSortedPageList::Insert(std::unique_ptr<TABSPage> page) {
  if (entries_.size() == entries_.capacity()) {
    entries_.reserve(entries_.capacity() + growth_step_);
    if (growth_step_ < 10000) growth_step_ = std::min<size_t>(growth_step_ * 2, 10000);
  }
  const int32_t page_no = page->PageNo;
  page->List = this;
  by_stamp_.push_back(page_no);
  entries_.insert(entries_.begin() + static_cast<std::ptrdiff_t>(lower_bound(page_no)),
                  Entry{page_no, std::prev(by_stamp_.end()), std::move(page)});
}

std::unique_ptr<TABSPage> TABSSortedPageList::Delete(int32_t page_no) {
  if (entries_.empty()) RaiseError(20165);
  const size_t i = lower_bound(page_no);
  if (i >= entries_.size() || entries_[i].page_no != page_no)
    RaiseError(20166, page_no, entries_.size());
  std::unique_ptr<TABSPage> page = std::move(entries_[i].page);
  by_stamp_.erase(entries_[i].stamp);
  entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(i));
  page->List = nullptr;
  return page;
}

void TABSSortedPageList::Touch(int32_t page_no) {
  const size_t i = lower_bound(page_no);
  if (i >= entries_.size() || entries_[i].page_no != page_no) RaiseError(20167);
  by_stamp_.splice(by_stamp_.end(), by_stamp_, entries_[i].stamp);
}

TABSPage* TABSSortedPageList::LeastRecentlyUsed() const {
  return by_stamp_.empty() ? nullptr : Find(by_stamp_.front());
}

void TABSSortedPageList::Clear() {
  entries_.clear();
  by_stamp_.clear();
}

}  // namespace dadoveri
