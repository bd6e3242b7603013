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

void TABSPageManager::RevalidatePage(TABSPage* page) { ReadPage(page); }

TABSPageManager::SessionPages* TABSPageManager::FindSession(int32_t session) {
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

void TABSPageManager::FreePage(int32_t session, int32_t page_no) {
  SessionRecord(session).freed_pages.push_back(page_no);
}

TABSPage* TABSPageManager::GetPage(int32_t session, int32_t page_no, bool validate,
                                   uint16_t expected_type) {
  if (session == kInvalidSession) RaiseError(20186);
  SessionPages& record = SessionRecord(session);
  TABSPage* page = record.dirty.Find(page_no);
  if (!page) {
    page = cache_.Find(page_no);
    if (page) {
      if (validate && !IsCachedPageValid(session, page)) {
        RevalidatePage(page);
        RememberPageValidity(session, page);
      }
      if (page->UseCount > 0 && page->Session != session) RaiseError(20090);
    } else {
      auto fresh = std::make_unique<TABSPage>(this);
      fresh->PageNo = page_no;
      page = fresh.get();
      cache_.Insert(std::move(fresh));
      try {
        ReadPage(page);
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
  page->Session = session;
  ++page->UseCount;
  return page;
}

TABSPage* TABSPageManager::AddPage(int32_t session, uint16_t page_type) {
  SessionPages& record = SessionRecord(session);
  auto page = std::make_unique<TABSPage>(this);
  AllocatePageNo(page.get());
  if (page->PageNo == -1) RaiseError(20064);
  if (!page->HasBuffer()) page->AllocBuffer();
  page->UseCount = 1;
  page->Dirty = true;
  page->Loaded = false;
  page->Session = session;
  if (header_size_ >= kPageHeaderSize) {
    page->SetPageType(page_type);
    page->SetModificationCounter(RandomNumber(0x3FFFFFFF));  // 0 … 0x3FFFFFFE
  }
  if (TABSPage* stale = cache_.Find(page->PageNo); stale && stale->UseCount == 0)
    cache_.Delete(page->PageNo);
  const int32_t page_no = page->PageNo;
  TABSPage* result = page.get();
  record.dirty.Insert(std::move(page));
  record.new_pages.push_back(page_no);
  return result;
}

void TABSPageManager::PutPage(TABSPage* page) {
  if (--page->UseCount <= 0) {
    page->UseCount = 0;
    page->Loaded = false;
  }
  if (page->UseCount == 0 && page->List == &cache_) {
    if (page->Dirty) {
      SessionRecord(page->Session).dirty.Insert(cache_.Delete(page->PageNo));
    } else {
      cache_.Touch(page->PageNo);
    }
  }
  if (page->List == &cache_ && static_cast<int64_t>(cache_.Count()) > capacity_) {
    TABSPage* oldest = cache_.LeastRecentlyUsed();
    if (oldest && oldest->UseCount == 0) cache_.Delete(oldest->PageNo);
  }
}

void TABSPageManager::CheckCommit(int32_t session) {
  cache_.ForEachByUse([&](const TABSPage* page) {
    if (page->Session == session && page->UseCount > 0) RaiseError(20152);
  });
  if (SessionPages* record = FindSession(session)) {
    record->dirty.ForEachByUse([](const TABSPage* page) {
      if (!page->Dirty) RaiseError(20085);
      if (page->UseCount > 0) RaiseError(20086);
    });
  }
}

void TABSPageManager::insert_committed(std::unique_ptr<TABSPage> page) {
  // Another session may have read the page from disk meanwhile: the committed bytes are
  // newer, so they replace an idle copy; a copy in use stays and this one goes.
  if (TABSPage* other = cache_.Find(page->PageNo)) {
    if (other->UseCount > 0) return;
    cache_.Delete(page->PageNo);
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
    if (TABSPage* cached = cache_.Find(page_no); cached && cached->UseCount == 0)
      cache_.Delete(page_no);
  }
  record->freed_pages.clear();
  record->new_pages.clear();
  // Written in PageNo order.
  std::vector<TABSPage*> dirty;
  dirty.reserve(record->dirty.Count());
  record->dirty.ForEach([&](TABSPage* page) { dirty.push_back(page); });
  for (TABSPage* page : dirty) {
    WritePage(page);
    page->Dirty = false;
    insert_committed(record->dirty.Delete(page->PageNo));
  }
}

void TABSPageManager::RollbackPages(int32_t session) {
  SessionPages* record = FindSession(session);
  if (!record) return;
  record->dirty.ForEachByUse([](const TABSPage* page) {
    if (!page->Dirty) RaiseError(20087);
    if (page->UseCount > 0) RaiseError(20088);
  });
  record->dirty.Clear();
  std::vector<int32_t> new_pages;
  new_pages.swap(record->new_pages);
  record->freed_pages.clear();
  for (int32_t page_no : new_pages) ReleasePageNo(page_no);
}

void TABSPageManager::FreeAllPages() {
  for (const auto& [number, record] : sessions_)
    if (record->dirty.Count() > 0) RaiseError(20097);
  cache_.Clear();
}

}  // namespace dadoveri
