// TABSPage: one page buffer of a page manager and its bookkeeping; the page header
// layout and the page types.
//
// Page header (first 40 bytes of every database page):
//   0 "ABSP" | 4 ModificationCounter int32 | 8 PageType uint16 | 10 NextPageNo int32 |
//   14 DataCRC uint32 | 18,19 zero | 20 PageCipher | 21 zero | 22 OwnerObjectID int32 |
//   26 int32 -1 | 30 uint16 0 | 32 8 zero bytes
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "engine/base/little_endian.h"

namespace dadoveri {

class TABSPageManager;
class TABSSortedPageList;
struct TABSSessionPages;

inline constexpr int kPageHeaderSize = 40;
inline constexpr int32_t kFreedPageCounter = 0x7FFFFFFF;
inline constexpr uint8_t kAnyPageType = 255;

enum TABSPageType : uint16_t {
  ptUnknown = 0,
  ptEmpty = 1,
  ptEAM = 2,
  ptPFS = 3,
  ptFileSystemDirectory = 4,
  ptActiveSessionList = 5,
  ptTableList = 6,
  ptTableLocks = 7,
  ptTableMetaData = 8,
  ptTableMostUpdated = 9,
  ptTableRecord = 10,
  ptTableBlob = 11,
  ptTableIndex = 12,
};

// "Unknown Page" … "TableIndex Page"; a code above 12 raises 30382.
std::string_view PageTypeName(uint16_t code);
// Raises "Wrong page type. Found '%s', but wanted: '%s'" with `error_code` when the
// types differ.
void CheckPageType(uint16_t found, uint16_t wanted, int32_t error_code);

// Page header access on a raw page buffer.
namespace page_header {
inline bool HasSignature(const uint8_t* p) { return p[0] == 'A' && p[1] == 'B' && p[2] == 'S' && p[3] == 'P'; }
inline int32_t ModificationCounter(const uint8_t* p) { return LoadLE<int32_t>(p + 4); }
inline void SetModificationCounter(uint8_t* p, int32_t v) { StoreLE(p + 4, v); }
inline uint16_t PageType(const uint8_t* p) { return LoadLE<uint16_t>(p + 8); }
inline void SetPageType(uint8_t* p, uint16_t v) { StoreLE(p + 8, v); }
inline int32_t NextPageNo(const uint8_t* p) { return LoadLE<int32_t>(p + 10); }
inline void SetNextPageNo(uint8_t* p, int32_t v) { StoreLE(p + 10, v); }
inline uint32_t DataCRC(const uint8_t* p) { return LoadLE<uint32_t>(p + 14); }
inline void SetDataCRC(uint8_t* p, uint32_t v) { StoreLE(p + 14, v); }
inline uint8_t PageCipher(const uint8_t* p) { return p[20]; }
inline void SetPageCipher(uint8_t* p, uint8_t v) { p[20] = v; }
inline int32_t OwnerObjectID(const uint8_t* p) { return LoadLE<int32_t>(p + 22); }
inline void SetOwnerObjectID(uint8_t* p, int32_t v) { StoreLE(p + 22, v); }
// Fills the 40 header bytes of a fresh page.
void Initialize(uint8_t* p);
}  // namespace page_header

// Multi-user cache validation entry of one session.
struct TABSPageValidation {
  int32_t TableCounter = -1;
  bool Known = false;
};

// One page buffer of a page manager. Its bookkeeping (number, dirty flag, use count, the
// list that holds it, holder, validation entries) belongs to the cache: only the page
// manager changes it. Users reach pages through a TABSPageHandle.
class TABSPage {
 public:
  explicit TABSPage(TABSPageManager* manager, int32_t page_no = -1);
  ~TABSPage();
  TABSPage(const TABSPage&) = delete;
  TABSPage& operator=(const TABSPage&) = delete;

  TABSPageManager* Manager() const { return manager_; }

  // Allocates a fresh buffer of the manager's page size, header initialised.
  void AllocBuffer();
  bool HasBuffer() const { return buffer_ != nullptr; }
  // Uses a buffer owned by someone else (at least the page size long).
  void SetExternalBuffer(uint8_t* buffer, uint32_t size);
  // Enlarges the buffer to `size` bytes, keeping its content (index pages).
  void EnlargeBuffer(uint32_t size);
  bool OwnsBuffer() const { return owns_buffer_; }
  uint32_t BufferSize() const { return buffer_size_; }

  uint8_t* Buffer() { return buffer_; }
  const uint8_t* Buffer() const { return buffer_; }
  uint8_t* Header() { return buffer_; }
  uint8_t* Data();
  const uint8_t* Data() const;
  uint32_t DataSize() const;
  uint32_t PageSize() const;
  uint32_t HeaderSize() const;

  // Header fields (pages of managers with headers).
  uint16_t PageType() const { return page_header::PageType(buffer_); }
  void SetPageType(uint16_t v) { page_header::SetPageType(buffer_, v); }
  int32_t NextPageNo() const { return page_header::NextPageNo(buffer_); }
  void SetNextPageNo(int32_t v) { page_header::SetNextPageNo(buffer_, v); }
  int32_t ModificationCounter() const { return page_header::ModificationCounter(buffer_); }
  void SetModificationCounter(int32_t v) { page_header::SetModificationCounter(buffer_, v); }

  int32_t PageNo() const { return page_no_; }
  bool Dirty() const { return dirty_; }
  int32_t UseCount() const { return use_count_; }
  bool Loaded() const { return loaded_; }
  bool EncryptOnWrite() const { return encrypt_on_write_; }
  // The list that holds the page: the shared cache, a session's dirty list or none.
  const TABSSortedPageList* List() const { return list_; }

  TABSPageValidation& Validation(int32_t session);

 private:
  friend class TABSPageManager;
  friend class TABSPageHandle;
  friend class TABSSortedPageList;

  int32_t page_no_ = -1;
  bool dirty_ = false;
  int32_t use_count_ = 0;
  TABSSortedPageList* list_ = nullptr;
  // The record of the session that last obtained the page: its holder while the use
  // count is above zero.
  TABSSessionPages* holder_ = nullptr;
  bool loaded_ = false;
  bool encrypt_on_write_ = true;
  // Set when a commit of another session replaced this copy in the cache while it was
  // held: it is no longer in any list and goes when its holder gives it back.
  bool superseded_ = false;

  TABSPageManager* manager_;
  uint8_t* buffer_ = nullptr;
  uint32_t buffer_size_ = 0;
  bool owns_buffer_ = true;
  std::vector<TABSPageValidation> validations_;
};

}  // namespace dadoveri
