// BLOB values of a table in the database file: TABSDiskBlobManager stores, reads and
// deletes them on the table's BLOB pages (type 11, owned by the table's ObjectID);
// TABSSmallBlobPage is the view of a page that holds several small values.
//
// A BLOB field keeps a 6-byte reference in the stored record: PageNo (int32) and BLOB id
// (int16). Id -1: a large value whose first page is PageNo; another id: a small value with
// that id on page PageNo; PageNo 0 or -1: no value. Every stored value starts with a
// 22-byte header:
//   0 int16 BLOB id (small values) | 2 int32 block count | 6 int64 stored byte count L |
//   14 int64 uncompressed size
// Small (L + 24 < DS, DS the page data size): a page holds a uint16 count, then its values
// packed one after another, each a header and its L bytes. The table's BLOB index
// (TABSBTreeBlobPageIndex) lists the small-value pages with the bytes in use on each.
// Large: the first page holds the header at 0, the page-list descriptor at 22 (int32
// PageNo, uint16 offset, int32 count n) and the first DS − 32 bytes of the value from 32;
// the value goes on from offset 0 of further pages. The page list (n int32 PageNos of the
// value's pages, the first included) is written as a run of bytes right after the value's
// last byte (on a new page when the value ends at a page end) and goes on at offset 0 of
// new pages chained through NextPageNo; an entry may straddle two list pages.
//
// Every size read from a page is checked against the page and the file before it is used:
// a value that claims more bytes than its pages hold is "Cannot read BLOB field value"
// (20162), never an allocation of what it claims.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "engine/storage/page_handle.h"
#include "engine/table/blob_field.h"
#include "engine/table/btree_page_index.h"

namespace dadoveri {

class TABSPageManager;

struct TABSBlobReference {
  int32_t PageNo = -1;
  int16_t BlobID = -1;

  static TABSBlobReference Load(const uint8_t* field);
  void Store(uint8_t* field) const;
  bool HasValue() const { return PageNo != 0 && PageNo != -1; }
};

inline constexpr int kBlobHeaderSize = 22;
inline constexpr int kPageListDescriptorOffset = 22;
inline constexpr int kLargeBlobDataOffset = 32;
// The id that a stored reference may carry for either kind of value.
inline constexpr int16_t kAmbiguousBlobID = 255;

struct TABSBlobHeader {
  int16_t BlobID = 0;
  int32_t BlockCount = 0;
  int64_t StoredSize = 0;
  int64_t UncompressedSize = 0;

  static TABSBlobHeader Load(const uint8_t* bytes);
  void Store(uint8_t* bytes) const;
};

struct TABSPageListDescriptor {
  int32_t PageNo = -1;
  uint16_t Offset = 0;
  int32_t Count = 0;
};

// The view of a small-value page held through a handle. Construction walks the values up
// to the first one that overruns the data area: the values before it stay readable, the
// page is marked damaged, and changing it is refused (20162).
class TABSSmallBlobPage {
 public:
  struct Entry {
    int32_t Offset;  // of the header in the data area
    int16_t BlobID;
    int64_t StoredSize;
  };

  explicit TABSSmallBlobPage(TABSPageHandle& page);

  int32_t Count() const { return static_cast<int32_t>(entries_.size()); }
  // Whether the stored count or a value's size does not fit the page.
  bool Damaged() const { return damaged_; }
  const std::vector<Entry>& Entries() const { return entries_; }
  // Offset past the last value.
  int32_t EndOffset() const;
  // Bytes in use by the values: L + 22 each.
  int32_t UsedBytes() const { return EndOffset() - 2; }
  // The entry of an id; null when there is none.
  const Entry* Find(int16_t id) const;
  // Appends a value and gives its id ("Cannot add blob. Page is full …", 20290, when it
  // does not fit; "Invalid blob field ID", 20172, when no id is left).
  int16_t Add(const TABSBlobHeader& header, const uint8_t* bytes, int32_t size_in_index);
  // Removes a value, moving the ones after it down.
  void Remove(int16_t id);

 private:
  TABSPageHandle& page_;
  int32_t data_size_;
  std::vector<Entry> entries_;
  bool damaged_ = false;
};

class TABSDiskBlobManager {
 public:
  // `repairing`: pages of any type and owner are taken as the table's.
  TABSDiskBlobManager(TABSPageManager* pages, int32_t table_object_id, bool repairing = false);

  int32_t DataSize() const { return data_size_; }
  bool IsSmall(int64_t stored_size) const { return stored_size + 24 < data_size_; }

  // Stores a value (its uncompressed size is not 0) and gives its reference.
  TABSBlobReference Store(int32_t session, const TABSBlobValue& value);
  // Reads a value ("Cannot find blob field", 20171, for a small id not on its page;
  // 20162 for pages that cannot hold what they claim).
  void Read(int32_t session, const TABSBlobReference& ref, TABSBlobValue& value);
  // Deletes a value: a small one leaves its page (freed when it was the last), a large one
  // frees its pages.
  void Delete(int32_t session, const TABSBlobReference& ref);

  // The table's BLOB index: its root is the BLOB store's metadata section.
  void CreateIndex(int32_t session) { index_->Create(session); }
  void DropIndex(int32_t session);
  void EmptyIndex(int32_t session);
  int32_t IndexRoot() const { return index_->RootPageNo(); }
  void SetIndexRoot(int32_t root) { index_->SetRoot(root); }
  TABSBTreeBlobPageIndex& Index() { return *index_; }

  // The pages of a large value, read and checked: its header, the data pages in order and
  // the pages holding its list.
  struct LargeLayout {
    TABSBlobHeader Header;
    TABSPageListDescriptor List;
    std::vector<int32_t> DataPages;
    std::vector<int32_t> ListPages;
  };
  LargeLayout ReadLargeLayout(int32_t session, int32_t first_page);
  // Whether a reference names a large value (id -1, or an id of 255 whose first page
  // reads as a large value's).
  bool IsLarge(int32_t session, const TABSBlobReference& ref);

  // A BLOB page of the table ("Cannot read BLOB field value", 20162, for another page).
  TABSPageHandle BlobPage(int32_t session, int32_t page_no);
  bool IsTableBlobPage(const TABSPageHandle& page) const;

 private:
  TABSBlobReference store_small(int32_t session, const TABSBlobValue& value);
  TABSBlobReference store_large(int32_t session, const TABSBlobValue& value);
  void read_small(int32_t session, const TABSBlobReference& ref, TABSBlobValue& value);
  void read_large(int32_t session, int32_t first_page, TABSBlobValue& value);
  void delete_small(int32_t session, const TABSBlobReference& ref);
  void delete_large(int32_t session, int32_t first_page);
  TABSPageHandle new_page(int32_t session);
  // Whether an id-255 reference reads as large first: the first page's descriptor count n
  // and header L satisfy (n − 2) × DS < L < n × DS.
  bool large_first(int32_t session, int32_t page_no);
  int64_t expected_page_count(int64_t stored_size) const;

  TABSPageManager* pages_;
  int32_t object_id_;
  bool repairing_;
  int32_t data_size_;
  std::unique_ptr<TABSBTreeBlobPageIndex> index_;
};

}  // namespace dadoveri
