// Page-number indexes: B-trees keyed by a page number whose leaf entries carry a 16-bit
// count. Record storage keeps one of its record pages (TABSBTreeRecordPageIndex, the
// count being the page's records) and BLOB storage one of its small-BLOB pages
// (TABSBTreeBlobPageIndex, the count being the bytes in use), to find a page with room
// and to turn record numbers into pages.
#pragma once

#include <cstdint>

#include "engine/table/btree.h"

namespace dadoveri {

// A single 4-byte part: a signed 32-bit page number, compared numerically.
class TABSPageKeyRef final : public TABSBTreeKeyRef {
 public:
  void SetKeyPartCount(int32_t) override {}
  int ComparePageKeys(int32_t session, const TABSBTreeTarget& target, const uint8_t* entry_key,
                      const TABSRecordID* entry_id) override;
  int CompareFullKeys(const uint8_t* a, const uint8_t* b) override;
  uint16_t PageKeySize() const override { return 4; }
};

class TABSBTreePageIndex {
 public:
  explicit TABSBTreePageIndex(TABSPageManager* pages);
  virtual ~TABSBTreePageIndex() = default;

  // The room test: whether a page with `count` can take `amount` more.
  virtual bool HasRoom(int32_t count, int32_t amount) const = 0;

  void Create(int32_t session);
  void Drop(int32_t session);
  void Empty(int32_t session);
  void SetRoot(int32_t root_page_no) { tree_.SetRootPageNo(root_page_no); }
  int32_t RootPageNo() const { return tree_.RootPageNo(); }

  // Navigation over the pages in page-number order; -1 when there is none.
  int32_t First(int32_t session);
  int32_t Last(int32_t session);
  int32_t Next(int32_t session, int32_t page_no);
  int32_t Prior(int32_t session, int32_t page_no);
  // The count of a page; -1 when the page is not in the index.
  int32_t Find(int32_t session, int32_t page_no);

  // A page whose count passes the room test: the last leaf's entries from the end, then
  // the first leaf's entries from the start; -1 when neither holds one.
  int32_t FindPageWithRoom(int32_t session, int32_t amount);
  // Adds `amount` to a page's count, inserting the page when absent ("Cannot add data item
  // to page. Page is full", 20106, when a present page fails the room test).
  void Add(int32_t session, int32_t page_no, int32_t amount);
  // Sets a page's count; 0 removes the page ("Invalid page number", 20111, when absent).
  void SetCount(int32_t session, int32_t page_no, int32_t count);
  // Lowers a page's count ("Index error: page is empty", 20112, when it is 0 already);
  // reaching 0 removes the page.
  void Decrease(int32_t session, int32_t page_no, int32_t amount);

  // The page holding the n-th item (1-based) and the item's 0-based position among the
  // page's items ("Cannot set RecNo greater than RecordCount", 20113, past the end).
  void ItemAt(int32_t session, int64_t n, int32_t& page_no, int32_t& position);
  // The number of the item at `position` (0-based) of a page: the counts of the pages
  // before it plus position + 1.
  int64_t ItemNumber(int32_t session, int32_t page_no, int32_t position);
  // Sum of all counts.
  int64_t TotalCount(int32_t session);
  // Refuses a total that differs from `expected` (20292).
  void CheckTotal(int32_t session, int64_t expected);
  // Number of pages in the index.
  int64_t PageCount(int32_t session) { return tree_.Count(session); }

  TABSBTree& Tree() { return tree_; }

 private:
  bool find(int32_t session, int32_t page_no, TABSKeyPath& path);
  int32_t count_at(int32_t session, const TABSKeyPath& path, int32_t* page_no = nullptr);
  void write_count(int32_t session, const TABSKeyPath& path, int32_t count);

  TABSPageKeyRef key_ref_;
  TABSBTree tree_;
};

// Record pages: room while the count stays within the records a page holds.
class TABSBTreeRecordPageIndex final : public TABSBTreePageIndex {
 public:
  TABSBTreeRecordPageIndex(TABSPageManager* pages, int32_t records_per_page)
      : TABSBTreePageIndex(pages), records_per_page_(records_per_page) {}
  bool HasRoom(int32_t count, int32_t amount) const override { return count + amount <= records_per_page_; }
  int32_t RecordsPerPage() const { return records_per_page_; }

 private:
  int32_t records_per_page_;
};

// Small-BLOB pages: room while count + requested bytes < page data size - 2.
class TABSBTreeBlobPageIndex final : public TABSBTreePageIndex {
 public:
  explicit TABSBTreeBlobPageIndex(TABSPageManager* pages) : TABSBTreePageIndex(pages), data_size_(pages->DataSize()) {}
  bool HasRoom(int32_t count, int32_t amount) const override { return count + amount < data_size_ - 2; }

 private:
  int32_t data_size_;
};

}  // namespace dadoveri
