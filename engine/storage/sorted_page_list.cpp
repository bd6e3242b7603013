#include "engine/storage/sorted_page_list.h"

#include "engine/base/engine_error.h"

namespace dadoveri {

TABSSortedPageList::~TABSSortedPageList() { Clear(); }

void TABSSortedPageList::unlink(uint32_t i) {
  Slot& s = slots_[i];
  if (s.older != kNone) slots_[s.older].newer = s.newer;
  else oldest_ = s.newer;
  if (s.newer != kNone) slots_[s.newer].older = s.older;
  else newest_ = s.older;
  s.older = s.newer = kNone;
}

void TABSSortedPageList::link_newest(uint32_t i) {
  Slot& s = slots_[i];
  s.older = newest_;
  s.newer = kNone;
  if (newest_ != kNone) slots_[newest_].newer = i;
  else oldest_ = i;
  newest_ = i;
}

void TABSSortedPageList::place(TABSPage* page) {
  const uint32_t mask = static_cast<uint32_t>(slots_.size()) - 1;
  uint32_t i = home_of(page->page_no_);
  while (slots_[i].page != nullptr) i = (i + 1) & mask;
  slots_[i].page = page;
  slots_[i].page_no = page->page_no_;
  link_newest(i);
  ++count_;
}

void TABSSortedPageList::grow() {
  std::vector<Slot> old;
  old.swap(slots_);
  const uint32_t old_oldest = oldest_;
  const size_t size = old.empty() ? kMinSlots : old.size() * 2;
  slots_.assign(size, Slot{});
  uint32_t bits = 0;
  while ((size_t{1} << bits) < size) ++bits;
  shift_ = 64 - bits;
  count_ = 0;
  oldest_ = newest_ = kNone;
  // Re-placed oldest first, the stamp order stays.
  for (uint32_t i = old_oldest; i != kNone; i = old[i].newer) place(old[i].page);
}

void TABSSortedPageList::Insert(std::unique_ptr<TABSPage> page) {
  if ((count_ + 1) * 2 > slots_.size()) grow();
  page->list_ = this;
  place(page.release());
}

void TABSSortedPageList::remove_slot(uint32_t i) {
  const uint32_t mask = static_cast<uint32_t>(slots_.size()) - 1;
  for (uint32_t j = (i + 1) & mask; slots_[j].page != nullptr; j = (j + 1) & mask) {
    // The entry at j may move to the hole at i unless its home lies cyclically in (i, j].
    const uint32_t home = home_of(slots_[j].page_no);
    const bool stays = i <= j ? (i < home && home <= j) : (i < home || home <= j);
    if (stays) continue;
    Slot& s = slots_[i];
    s = slots_[j];
    if (s.older != kNone) slots_[s.older].newer = i;
    else oldest_ = i;
    if (s.newer != kNone) slots_[s.newer].older = i;
    else newest_ = i;
    i = j;
  }
  slots_[i] = Slot{};
  --count_;
}

std::unique_ptr<TABSPage> TABSSortedPageList::Delete(int32_t page_no) {
  if (count_ == 0) RaiseError(20165);
  const uint32_t i = slot_of(page_no);
  if (i == kNone) RaiseError(20166, page_no, count_);
  std::unique_ptr<TABSPage> page(slots_[i].page);
  unlink(i);
  remove_slot(i);
  page->list_ = nullptr;
  return page;
}

void TABSSortedPageList::Touch(int32_t page_no) {
  const uint32_t i = slot_of(page_no);
  if (i == kNone) RaiseError(20167);
  if (i == newest_) return;
  unlink(i);
  link_newest(i);
}

TABSPage* TABSSortedPageList::First() const {
  TABSPage* first = nullptr;
  ForEachByUse([&](TABSPage* page) {
    if (!first || page->page_no_ < first->page_no_) first = page;
  });
  return first;
}

void TABSSortedPageList::Clear() {
  for (Slot& s : slots_) delete s.page;
  std::vector<Slot>().swap(slots_);
  shift_ = 64;
  count_ = 0;
  oldest_ = newest_ = kNone;
}

}  // namespace dadoveri
