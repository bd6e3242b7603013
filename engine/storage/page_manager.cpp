#include "engine/storage/page_manager.h"

#include <algorithm>

#include "engine/platform/sleep.h"
#include "engine/base/engine_error.h"
#include "engine/base/memory_manager.h"

namespace dadoveri {

int32_t DefaultPageCacheCapacity() {
  const uint64_t pages = MemoryManager().GetAvailableMemory() / 65536;
  return static_cast<int32_t>(std::min<uint64_t>(1000, pages));
}

TABSPageManager::TABSPageManager(uint16_t page_size, uint16_t header_size, int32_t capacity)
    : page_size_(page_size), header_size_(header_size), capacity_(capacity) {}

TABSPageManager::~TABSPageManager() = default;

void TABSPageManager::SetPageSize(uint16_t page_size, uint16_t header_size) {
  page_size_ = page_size;
  header_size_ = header_size;
}

int32_t TABSPageManager::GetTotalPageCount() { return page_count_; }
bool TABSPageManager::IsCachedPageValid(int32_t, TABSPage*) { return false; }
void TABSPageManager::RememberPageValidity(int32_t, TABSPage*) {}
void TABSPageManager::LoadFromStream(std::istream&) {}
void TABSPageManager::SaveToStream(std::ostream&) {}

void TABSPageManager::RevalidatePage(TABSPage* page) { ReadPageOrRaise(page); }

void TABSPageManager::ReadPageOrRaise(TABSPage* page) {
  if (!ReadPage(page)) RaiseError(40101, page->PageNo());
}

TABSPageManager::SessionPages* TABSPageManager::FindSession(int32_t session) {
  if (last_record_ && last_session_ == session) return last_record_;
  auto it = sessions_.find(session);
  return it == sessions_.end() ? nullptr : it->second.get();
}

TABSPageManager::SessionPages& TABSPageManager::SessionRecord(int32_t session) {
  // Records are never removed, so the one used last stays valid.
  if (last_record_ && last_session_ == session) return *last_record_;
  std::unique_ptr<SessionPages>& record = sessions_[session];
  if (!record) record = std::make_unique<SessionPages>();
  last_session_ = session;
  last_record_ = record.get();
  return *record;
}

bool TABSPageManager::SessionHasChanges(int32_t session) const {
  auto it = sessions_.find(session);
  if (it == sessions_.end()) return false;
  const SessionPages& s = *it->second;
  return s.dirty.Count() > 0 || !s.new_pages.empty() || !s.freed_pages.empty();
}

int32_t TABSPageManager::HeldPageCount(int32_t session) const {
  auto it = sessions_.find(session);
  return it == sessions_.end() ? 0 : it->second->held;
}

void TABSPageManager::FreePage(int32_t session, int32_t page_no) {
  SessionRecord(session).freed_pages.push_back(page_no);
}

TABSPageHandle TABSPageManager::GetPage(int32_t session, int32_t page_no, bool validate,
                                        uint16_t expected_type) {
  if (session == kInvalidSession) RaiseError(20186);
  SessionPages& record = SessionRecord(session);
  TABSPage* page = record.dirty.Find(page_no);
  if (!page) {
    page = cache_.Find(page_no);
    if (page) {
      // The holder is checked before anything may touch the bytes it is reading.
      if (page->use_count_ > 0 && page->holder_ != &record) RaiseError(20090);
      // A copy the session itself holds was validated when it took it.
      if (validate && page->use_count_ == 0 && !IsCachedPageValid(session, page)) {
        try {
          RevalidatePage(page);
        } catch (...) {
          // Its bytes are no longer what any reader may see.
          cache_.Delete(page_no);
          throw;
        }
        RememberPageValidity(session, page);
      }
    } else {
      auto fresh = std::make_unique<TABSPage>(this, page_no);
      page = fresh.get();
      cache_.Insert(std::move(fresh));
      try {
        ReadPageOrRaise(page);
        const bool headers = header_size_ >= kPageHeaderSize;
        if (headers && expected_type != kAnyPageType && expected_type != page->PageType())
          RaiseError(20153, expected_type, page->PageType());
        RememberPageValidity(session, page);
      } catch (...) {
        // A page that could not be used must not be served from the cache later.
        cache_.Delete(page_no);
        throw;
      }
    }
  }
  page->holder_ = &record;
  ++page->use_count_;
  ++record.held;
  return TABSPageHandle(page);
}

TABSPageHandle TABSPageManager::AddPage(int32_t session, uint16_t page_type) {
  SessionPages& record = SessionRecord(session);
  // A long transaction would otherwise keep every page it added in memory until its
  // commit: past 4 × capacity dirty pages the oldest added ones go to the file ahead.
  if (static_cast<int64_t>(record.dirty.Count()) > 4 * static_cast<int64_t>(std::max(capacity_, 16)) &&
      WritesNewPagesAhead())
    write_ahead(record);
  auto page = std::make_unique<TABSPage>(this);
  AllocatePageNo(page.get());
  if (page->page_no_ == -1) RaiseError(20064);
  if (!page->HasBuffer()) page->AllocBuffer();
  page->use_count_ = 1;
  page->dirty_ = true;
  page->loaded_ = false;
  page->holder_ = &record;
  if (header_size_ >= kPageHeaderSize) {
    page->SetPageType(page_type);
    page->SetModificationCounter(RandomNumber(0x3FFFFFFF));  // 0 … 0x3FFFFFFE
  }
  const int32_t page_no = page->page_no_;
  // A copy of an earlier page of that number is out of date.
  if (cache_.Find(page_no)) supersede(cache_.Delete(page_no));
  TABSPage* result = page.get();
  record.dirty.Insert(std::move(page));
  record.new_pages.push_back(page_no);
  ++record.held;
  return TABSPageHandle(result);
}

void TABSPageManager::supersede(std::unique_ptr<TABSPage> page) {
  if (page->use_count_ == 0) return;  // destroyed here
  page->superseded_ = true;
  superseded_.push_back(std::move(page));
}

void TABSPageManager::PutPage(TABSPage* page) noexcept {
  SessionPages* holder = page->holder_;
  --holder->held;
  if (--page->use_count_ > 0) return;
  page->loaded_ = false;
  if (page->superseded_) {
    // Its bytes were replaced by another session's commit while it was held: a change
    // made on top of them cannot be kept.
    if (page->dirty_ && holder->conflict_page < 0) holder->conflict_page = page->page_no_;
    for (auto it = superseded_.begin(); it != superseded_.end(); ++it) {
      if (it->get() == page) {
        superseded_.erase(it);
        break;
      }
    }
    return;
  }
  if (page->list_ == &cache_) {
    if (page->dirty_) {
      holder->dirty.Insert(cache_.Delete(page->page_no_));
    } else {
      cache_.Touch(page->page_no_);
    }
  }
  if (page->list_ == &cache_ && static_cast<int64_t>(cache_.Count()) > capacity_) {
    TABSPage* oldest = cache_.LeastRecentlyUsed();
    if (oldest && oldest->use_count_ == 0) cache_.Delete(oldest->page_no_);
  }
}

// A page the transaction added is referenced by no committed page, so its bytes may reach
// the file before the commit: a power cut before the commit leaves it unreferenced, and
// the commit's barrier after its pages covers it as well. Only table pages written
// through the cache (record, BLOB and index pages) go, each at most once per
// transaction; an added page that is used again is read back from the file and, when
// changed, stays in memory until the commit.
void TABSPageManager::write_ahead(SessionPages& record) {
  const size_t keep = 2 * static_cast<size_t>(std::max(capacity_, 16));
  std::vector<TABSPage*> pages;
  size_t& next = record.written_ahead;
  while (next < record.new_pages.size() && record.dirty.Count() - pages.size() > keep) {
    TABSPage* page = record.dirty.Find(record.new_pages[next++]);
    if (!page || page->use_count_ > 0 || !page->dirty_ || !page->encrypt_on_write_) continue;
    const uint16_t type = page->PageType();
    if (type != ptTableRecord && type != ptTableBlob && type != ptTableIndex) continue;
    pages.push_back(page);
  }
  if (pages.empty()) return;
  std::sort(pages.begin(), pages.end(), [](const TABSPage* a, const TABSPage* b) { return a->page_no_ < b->page_no_; });
  WritePages(pages.data(), pages.size());
  // Out of the session's dirty list and destroyed: its buffer serves the next page.
  for (TABSPage* page : pages) record.dirty.Delete(page->page_no_);
}

void TABSPageManager::CheckCommit(int32_t session) {
  SessionPages* record = FindSession(session);
  if (!record) return;
  if (record->held > 0) RaiseError(20152);
  if (record->conflict_page >= 0) RaiseError(40102, record->conflict_page);
  record->dirty.ForEachByUse([](const TABSPage* page) {
    if (!page->dirty_) RaiseError(20085);
    if (page->use_count_ > 0) RaiseError(20086);
  });
}

void TABSPageManager::insert_committed(int32_t session, std::unique_ptr<TABSPage> page) {
  const int32_t page_no = page->page_no_;
  // A copy another session read meanwhile holds the bytes from before this commit: it
  // leaves the cache (a held one stays with its holder until given back), and a change
  // another session made on top of it can no longer be committed.
  if (cache_.Find(page_no)) supersede(cache_.Delete(page_no));
  for (auto& [number, other] : sessions_) {
    if (number != session && other->conflict_page < 0 && other->dirty.Find(page_no))
      other->conflict_page = page_no;
  }
  if (static_cast<int64_t>(cache_.Count()) < capacity_) cache_.Insert(std::move(page));
}

void TABSPageManager::CommitPages(int32_t session) {
  CheckCommit(session);
  SessionPages* record = FindSession(session);
  if (!record) return;
  for (int32_t page_no : record->freed_pages) {
    ReleasePageNo(page_no);
    if (record->dirty.Find(page_no)) record->dirty.Delete(page_no);
    if (cache_.Find(page_no)) supersede(cache_.Delete(page_no));
  }
  record->freed_pages.clear();
  record->new_pages.clear();
  record->written_ahead = 0;
  // Written in PageNo order.
  std::vector<TABSPage*> dirty;
  dirty.reserve(record->dirty.Count());
  record->dirty.ForEach([&](TABSPage* page) { dirty.push_back(page); });
  // In slices, each written before its pages count as committed.
  constexpr size_t kSlice = 256;
  for (size_t first = 0; first < dirty.size(); first += kSlice) {
    const size_t count = std::min(kSlice, dirty.size() - first);
    WritePages(dirty.data() + first, count);
    for (size_t i = first; i < first + count; ++i) {
      TABSPage* page = dirty[i];
      page->dirty_ = false;
      insert_committed(session, record->dirty.Delete(page->page_no_));
    }
  }
}

void TABSPageManager::RollbackPages(int32_t session) {
  ++rollback_count_;
  SessionPages* record = FindSession(session);
  if (!record) return;
  if (record->held > 0) RaiseError(20088);
  record->dirty.ForEachByUse([](const TABSPage* page) {
    if (!page->dirty_) RaiseError(20087);
    if (page->use_count_ > 0) RaiseError(20088);
  });
  record->dirty.Clear();
  record->conflict_page = -1;
  std::vector<int32_t> new_pages;
  new_pages.swap(record->new_pages);
  record->written_ahead = 0;
  record->freed_pages.clear();
  for (int32_t page_no : new_pages) ReleasePageNo(page_no);
}

void TABSPageManager::FreeAllPages() {
  for (const auto& [number, record] : sessions_)
    if (record->held > 0) RaiseError(20152);
  for (const auto& [number, record] : sessions_)
    if (record->dirty.Count() > 0) RaiseError(20097);
  cache_.Clear();
}

}  // namespace dadoveri
