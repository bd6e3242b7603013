// TABSPageManager: the page cache shared by all sessions of one database, and for every
// session the pages it changed, created and freed, which become permanent together at
// commit or vanish together at rollback. Storage variants (database file, temporary and
// in-memory tables) supply the four storage operations.
//
// Pages are held through TABSPageHandle, which gives the page back when it goes; a holder
// that changed a page marks it dirty through the handle. Commit and rollback of a session
// refuse while a handle of that session is alive.
// Sessions: 0, 1, 2 … engine sessions, -2 the database's system session, -1 invalid.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <map>
#include <memory>
#include <vector>

#include "engine/storage/page.h"
#include "engine/storage/page_handle.h"
#include "engine/storage/sorted_page_list.h"

namespace dadoveri {

inline constexpr int32_t kSystemSession = -2;
inline constexpr int32_t kInvalidSession = -1;

// What one session has in a page manager. Kept until the manager goes, so pages may point
// at the record of the session holding them.
struct TABSSessionPages {
  TABSSortedPageList dirty;
  std::vector<int32_t> new_pages;
  // The first entry of new_pages not yet looked at for writing ahead of the commit.
  size_t written_ahead = 0;
  std::vector<int32_t> freed_pages;
  // Handles of this session that are alive.
  int32_t held = 0;
  // A page this session changed on top of bytes that another session's commit has since
  // replaced; -1 when none. Its commit is refused (40102) until it rolls back.
  int32_t conflict_page = -1;
};

// min(1000, available memory ÷ 65536), as the engine memory manager reports it.
int32_t DefaultPageCacheCapacity();

class TABSPageManager {
 public:
  TABSPageManager(uint16_t page_size, uint16_t header_size, int32_t capacity);
  virtual ~TABSPageManager();
  TABSPageManager(const TABSPageManager&) = delete;
  TABSPageManager& operator=(const TABSPageManager&) = delete;

  // Virtual operations, in slot order.
  virtual int32_t GetTotalPageCount();                                    // 0
  virtual bool IsCachedPageValid(int32_t session, TABSPage* page);        // 1
  virtual void RememberPageValidity(int32_t session, TABSPage* page);     // 2
  virtual void LoadFromStream(std::istream& stream);                      // 3
  virtual void SaveToStream(std::ostream& stream);                        // 4
  virtual void AllocatePageNo(TABSPage* page) = 0;                        // 5
  virtual void ReleasePageNo(int32_t page_no) = 0;                        // 6
  virtual bool ReadPage(TABSPage* page) = 0;                              // 7
  virtual void WritePage(TABSPage* page) = 0;                             // 8
  virtual void FreePage(int32_t session, int32_t page_no);                // 9
  virtual TABSPageHandle GetPage(int32_t session, int32_t page_no, bool validate = false,
                                 uint16_t expected_type = kAnyPageType);   // 10
  virtual void CommitPages(int32_t session);                              // 11

  TABSPageHandle AddPage(int32_t session, uint16_t page_type);
  // Drops the session's changed, new and freed pages; raises 20088 while a handle of the
  // session is alive.
  void RollbackPages(int32_t session);
  // Destroys every cached page; raises 20097 while a session still has dirty pages and
  // 20152 while a handle is alive. Call before destroying the manager (the destructor
  // itself never raises).
  void FreeAllPages();

  uint16_t PageSize() const { return page_size_; }
  uint16_t HeaderSize() const { return header_size_; }
  uint16_t DataSize() const { return static_cast<uint16_t>(page_size_ - header_size_); }
  int32_t Capacity() const { return capacity_; }
  void SetCapacity(int32_t capacity) { capacity_ = capacity; }
  bool MultiUser() const { return multi_user_; }
  int32_t PageCount() const { return page_count_; }
  size_t CachedPageCount() const { return cache_.Count(); }
  const TABSSortedPageList& SharedCache() const { return cache_; }
  // Whether the session has dirty, new or freed pages.
  bool SessionHasChanges(int32_t session) const;
  // Handles of the session that are alive.
  int32_t HeldPageCount(int32_t session) const;
  // Moves on with every rollback of any session: what a caller learnt about page
  // contents under one value may be stale under another.
  uint64_t RollbackCount() const { return rollback_count_; }

  // Marks a page in use in the variant's free-space bookkeeping when it is not (a repair
  // keeps a page it found); not a slot of the table above. Variants without such
  // bookkeeping have nothing to do.
  virtual void MarkPageUsed(int32_t page_no) { (void)page_no; }
  // Writes the pages of a commit, in ascending PageNo order; not a slot of the table
  // above. The base writes each with WritePage; the disk manager writes runs of
  // consecutive pages with one call.
  virtual void WritePages(TABSPage* const* pages, size_t count) {
    for (size_t i = 0; i < count; ++i) WritePage(pages[i]);
  }
  // Whether pages a transaction added may be written to their place before its commit
  // (see AddPage); not a slot of the table above. Only a manager with a file can.
  virtual bool WritesNewPagesAhead() const { return false; }

 protected:
  using SessionPages = TABSSessionPages;

  // Brings a cached page up to date when validation found it doubtful (raising when it
  // cannot be read). Not a slot of the table above: the base rereads the page, the disk
  // manager first compares its modification counter on disk. The caller removes the page
  // from the cache when this raises.
  virtual void RevalidatePage(TABSPage* page);
  // The checks a commit makes before it changes anything: no handle of the session is
  // alive, no page of it was overtaken by another session's commit, every page of its
  // dirty list is dirty (20152, 40102, 20085, 20086).
  void CheckCommit(int32_t session);
  // Writes the oldest table pages the session added, and no handle holds, to their place
  // in the file and lets their buffers go, until the session's dirty pages number
  // 2 × capacity; a later use reads them back.
  void write_ahead(SessionPages& record);
  // Page bookkeeping for the storage variants.
  static void AssignPageNo(TABSPage* page, int32_t page_no) { page->page_no_ = page_no; }
  static void MarkLoaded(TABSPage* page) { page->loaded_ = true; }
  // ReadPage, raising "Cannot read page %d" (40101) when it reports failure.
  void ReadPageOrRaise(TABSPage* page);
  SessionPages* FindSession(int32_t session);
  SessionPages& SessionRecord(int32_t session);
  void SetPageSize(uint16_t page_size, uint16_t header_size);

  bool multi_user_ = false;
  int32_t page_count_ = 0;

 private:
  friend class TABSPageHandle;
  // Gives a page back (the handle's side of GetPage/AddPage).
  void PutPage(TABSPage* page) noexcept;
  void insert_committed(int32_t session, std::unique_ptr<TABSPage> page);
  void supersede(std::unique_ptr<TABSPage> page);

  uint16_t page_size_;
  uint16_t header_size_;
  int32_t capacity_;
  TABSSortedPageList cache_;
  std::map<int32_t, std::unique_ptr<SessionPages>> sessions_;
  uint64_t rollback_count_ = 0;
  int32_t last_session_ = kInvalidSession;
  SessionPages* last_record_ = nullptr;
  // Held copies that a commit replaced in the cache; each goes when given back.
  std::vector<std::unique_ptr<TABSPage>> superseded_;
};

inline void TABSPageHandle::Release() noexcept {
  if (page_) {
    TABSPage* page = page_;
    page_ = nullptr;
    page->Manager()->PutPage(page);
  }
}

}  // namespace dadoveri
