// TABSDiskPageManager: the page manager of a database file. Page numbers come from the
// free-space maps, pages are read and written at their file offsets and encrypted when
// the database is, commits are bracketed by the header's WriteState, and in multi-user
// mode cached pages are checked against the disk before use.
//
// Durable commits. A commit writes WriteState 1, waits at a write barrier (fdatasync),
// writes its freed-page marks, map changes and pages, waits at a second barrier, writes
// WriteState 2 with the next CommitCounter and waits at a third. A power cut therefore
// leaves either the last committed state or a file that reports it needs repair, never
// a file that looks consistent with part of a commit in it. Writes made between
// commits (map pages, file growth and header fields of page allocation, the releases of
// a rollback, NextObjectID) leave the committed pages alone and are ordered, where a
// lost write could mislead a later allocation, by barriers of their own (see the
// free-space manager, ShrinkFile).
//
// SetCommitBarriers(false) drops every barrier, for bulk loads: commits cost no wait,
// but a power cut or system crash during or soon after one can leave a file that opens
// without a repair report and holds a half-written commit. Closing a file after such
// commits waits at one barrier.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "engine/storage/database_file.h"
#include "engine/storage/encryption.h"
#include "engine/storage/free_space.h"
#include "engine/storage/page_manager.h"
#include "engine/storage/prologue.h"
#include "engine/storage/retry.h"
#include "engine/storage/table_pages_cache.h"

namespace dadoveri {

class TABSDiskPageManager : public TABSPageManager {
 public:
  explicit TABSDiskPageManager(int32_t capacity = DefaultPageCacheCapacity());
  ~TABSDiskPageManager() override;

  // Creates (replacing) a database file; it stays open, not shared.
  void CreateDatabase(const std::string& file_name, uint16_t page_size,
                      uint16_t pages_per_extent, const TABSPassword& password);
  // Opens a database file. `read_only` goes in as the caller's wish and comes back as
  // what was used; `needs_repair` reports a file left in the middle of a commit or of
  // an old format. `exclusive` opens without sharing and switches multi-user off.
  void OpenDatabase(const std::string& file_name, const TABSPassword& password,
                    bool& read_only, bool exclusive, bool multi_user, bool& needs_repair);
  // Raises "Cannot open database because incorrect password" (30445) unless `password`
  // passes the check block of the open database; an unencrypted one takes any. Every
  // connection to an open database proves its password this way.
  void VerifyPassword(const std::string& password) const;
  // Closes the file and drops the free-space manager and every cached page.
  void CloseDatabase();
  bool IsOpened() const { return file_.IsOpened(); }

  // Virtual operations (slot order of TABSPageManager).
  int32_t GetTotalPageCount() override;
  bool IsCachedPageValid(int32_t session, TABSPage* page) override;
  void RememberPageValidity(int32_t session, TABSPage* page) override;
  void AllocatePageNo(TABSPage* page) override;
  void ReleasePageNo(int32_t page_no) override;
  bool ReadPage(TABSPage* page) override;
  void WritePage(TABSPage* page) override;
  void FreePage(int32_t session, int32_t page_no) override;
  TABSPageHandle GetPage(int32_t session, int32_t page_no, bool validate = false,
                         uint16_t expected_type = kAnyPageType) override;
  void CommitPages(int32_t session) override;
  // Through the free-space manager.
  void MarkPageUsed(int32_t page_no) override;
  // Runs of consecutive page numbers go to the file with one write each.
  void WritePages(TABSPage* const* pages, size_t count) override;
  // Not in a file other processes share: one of them could take a page's bytes on disk
  // for its own before the commit.
  bool WritesNewPagesAhead() const override { return !MultiUser(); }

  // Write barriers of commits, growth and shrinking; on by default. Off is unsafe on
  // power loss (see above).
  void SetCommitBarriers(bool on) { commit_barriers_ = on; }
  bool CommitBarriers() const { return commit_barriers_; }
  // Returns once every earlier write to the file is on the medium, when barriers are on.
  void WriteBarrier();

  // The prologue.
  TABSMainHeader& MainHeader() { return header_; }
  const TABSCheckBlock& CheckBlock() const { return check_block_; }
  void ReadMainHeader();
  void WriteMainHeader();
  int32_t GetNextObjectID();

  // Locks. The header lock is re-entrant within the process.
  bool LockHeader();
  void UnlockHeader();
  int32_t HeaderLockDepth() const { return header_lock_depth_; }
  void LockTables();    // 20210 when not obtained
  void UnlockTables();  // 20211 when the unlock fails

  // Offsets and geometry.
  int64_t BaseOffset() const { return base_offset_; }
  int64_t PageOffset(int32_t page_no) const;
  bool IsMapPage(int32_t page_no) const;
  bool Encrypted() const { return header_.Encrypted(); }
  const TABSPassword& Password() const { return password_; }
  bool Exclusive() const { return exclusive_; }
  bool ReadOnly() const { return file_.AccessMode() == 0; }

  // Map pages and file size, for the free-space manager.
  void ReadMapPage(int32_t page_no, uint8_t* buffer);
  void WriteMapPage(int32_t page_no, const uint8_t* buffer);
  void GrowFile(int32_t pages);
  void ShrinkFile(int32_t pages);

  // Direct byte access within a page, bypassing the cache (direct internal files).
  void ReadPageBytes(int32_t page_no, int32_t offset, void* buffer, int32_t count);
  void WritePageBytes(int32_t page_no, int32_t offset, const void* buffer, int32_t count);
  bool LockPageBytes(int32_t page_no, int32_t offset, int32_t count);
  bool UnlockPageBytes(int32_t page_no, int32_t offset, int32_t count);
  bool IsPageByteLocked(int32_t page_no, int32_t offset);
  bool IsPageRegionLocked(int32_t page_no, int32_t offset, int32_t count);

  TABSDatabaseFile& File() { return file_; }
  TABSDatabaseFreeSpaceManager& FreeSpace() { return *free_space_; }
  TABSDiskTablePagesCacheManager& TablePagesCache() { return table_pages_cache_; }

  // Retry policy of the header, tables and NextObjectID locks (4500 × 20 ms).
  TABSRetryPolicy LockRetry;

 protected:
  void RevalidatePage(TABSPage* page) override;

 private:
  int64_t find_base_offset();
  void read_prologue_after_header();
  void close_quietly();
  // Moves the page's modification counter on and answers the bytes that go to disk: the
  // page's own buffer, or for an encrypted page an encrypted copy made in `sealed`
  // (PageSize bytes), so the cached page stays plain and a failed encryption can never
  // put plain data into the file.
  const uint8_t* prepare_write(TABSPage* page, uint8_t* sealed);

  TABSDatabaseFile file_;
  std::unique_ptr<TABSDatabaseFreeSpaceManager> free_space_;
  TABSMainHeader header_;
  TABSCheckBlock check_block_;
  TABSLockArea lock_area_;
  TABSPassword password_;
  TABSDiskTablePagesCacheManager table_pages_cache_;
  int32_t header_lock_depth_ = 0;
  bool commit_barriers_ = true;
  // Writes were made without a barrier since the last one.
  bool unsynced_writes_ = false;
  bool exclusive_ = false;
  int64_t base_offset_ = 0;
  int64_t check_block_offset_ = kMainHeaderSize;
  int64_t lock_area_offset_ = kMainHeaderSize + kCheckBlockSize;
  int64_t next_object_id_offset_ = kNextObjectIDOffset;
  int64_t page0_offset_ = kPrologueSize;
};

}  // namespace dadoveri
