#include "engine/database/disk_blob_manager.h"

#include <algorithm>
#include <cstring>

#include "engine/base/engine_error.h"
#include "engine/base/little_endian.h"
#include "engine/storage/page.h"
#include "engine/storage/page_manager.h"

namespace dadoveri {

// ---- reference and header ----

TABSBlobReference TABSBlobReference::Load(const uint8_t* field) {
  return TABSBlobReference{LoadLE<int32_t>(field), LoadLE<int16_t>(field + 4)};
}

void TABSBlobReference::Store(uint8_t* field) const {
  StoreLE(field, PageNo);
  StoreLE(field + 4, BlobID);
}

TABSBlobHeader TABSBlobHeader::Load(const uint8_t* bytes) {
  TABSBlobHeader h;
  h.BlobID = LoadLE<int16_t>(bytes);
  h.BlockCount = LoadLE<int32_t>(bytes + 2);
  h.StoredSize = LoadLE<int64_t>(bytes + 6);
  h.UncompressedSize = LoadLE<int64_t>(bytes + 14);
  return h;
}

void TABSBlobHeader::Store(uint8_t* bytes) const {
  StoreLE(bytes, BlobID);
  StoreLE(bytes + 2, BlockCount);
  StoreLE(bytes + 6, StoredSize);
  StoreLE(bytes + 14, UncompressedSize);
}

namespace {

TABSPageListDescriptor load_descriptor(const uint8_t* bytes) {
  return TABSPageListDescriptor{LoadLE<int32_t>(bytes), LoadLE<uint16_t>(bytes + 4), LoadLE<int32_t>(bytes + 6)};
}

void store_descriptor(const TABSPageListDescriptor& d, uint8_t* bytes) {
  StoreLE(bytes, d.PageNo);
  StoreLE(bytes + 4, d.Offset);
  StoreLE(bytes + 6, d.Count);
}

}  // namespace

// ---- small-value page ----

TABSSmallBlobPage::TABSSmallBlobPage(TABSPageHandle& page)
    : page_(page), data_size_(static_cast<int32_t>(page.DataSize())) {
  const uint8_t* data = page.Data();
  const int32_t count = LoadLE<uint16_t>(data);
  int64_t offset = 2;
  entries_.reserve(static_cast<size_t>(std::min(count, data_size_ / kBlobHeaderSize)));
  for (int32_t i = 0; i < count; ++i) {
    const TABSBlobHeader h =
        offset + kBlobHeaderSize <= data_size_ ? TABSBlobHeader::Load(data + offset) : TABSBlobHeader{0, 0, -1, 0};
    if (h.StoredSize < 0 || h.StoredSize > data_size_ - offset - kBlobHeaderSize) {
      damaged_ = true;
      break;
    }
    entries_.push_back(Entry{static_cast<int32_t>(offset), h.BlobID, h.StoredSize});
    offset += kBlobHeaderSize + h.StoredSize;
  }
}

int32_t TABSSmallBlobPage::EndOffset() const {
  if (entries_.empty()) return 2;
  const Entry& last = entries_.back();
  return last.Offset + kBlobHeaderSize + static_cast<int32_t>(last.StoredSize);
}

const TABSSmallBlobPage::Entry* TABSSmallBlobPage::Find(int16_t id) const {
  for (const Entry& e : entries_)
    if (e.BlobID == id) return &e;
  return nullptr;
}

int16_t TABSSmallBlobPage::Add(const TABSBlobHeader& header, const uint8_t* bytes, int32_t size_in_index) {
  if (damaged_) RaiseError(20162);
  const int32_t offset = EndOffset();
  const int64_t size = kBlobHeaderSize + header.StoredSize;
  if (offset + size > data_size_) RaiseError(20290, Count(), offset, size, data_size_, size_in_index);
  // The smallest id from the count upwards that no value on the page has; -1 names large
  // values and is never given.
  auto id = static_cast<int16_t>(Count());
  while (Find(id)) {
    id = static_cast<int16_t>(id == -2 ? 0 : id + 1);
    if (id == -1 || id == static_cast<int16_t>(Count())) RaiseError(20172);
  }
  TABSBlobHeader h = header;
  h.BlobID = id;
  uint8_t* data = page_.MutableData();
  h.Store(data + offset);
  if (header.StoredSize > 0) std::memcpy(data + offset + kBlobHeaderSize, bytes, static_cast<size_t>(header.StoredSize));
  StoreLE(data, static_cast<uint16_t>(Count() + 1));
  entries_.push_back(Entry{offset, id, header.StoredSize});
  return id;
}

void TABSSmallBlobPage::Remove(int16_t id) {
  if (damaged_) RaiseError(20162);
  const auto it = std::find_if(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.BlobID == id; });
  if (it == entries_.end()) RaiseError(20171);
  const int32_t size = kBlobHeaderSize + static_cast<int32_t>(it->StoredSize);
  const int32_t end = EndOffset();
  uint8_t* data = page_.MutableData();
  const int32_t from = it->Offset + size;
  std::memmove(data + it->Offset, data + from, static_cast<size_t>(end - from));
  std::memset(data + end - size, 0, static_cast<size_t>(size));
  for (auto later = it + 1; later != entries_.end(); ++later) later->Offset -= size;
  entries_.erase(it);
  StoreLE(data, static_cast<uint16_t>(entries_.size()));
}

// ---- manager ----

TABSDiskBlobManager::TABSDiskBlobManager(TABSPageManager* pages, int32_t table_object_id, bool repairing)
    : pages_(pages), object_id_(table_object_id), repairing_(repairing), data_size_(pages->DataSize()),
      index_(std::make_unique<TABSBTreeBlobPageIndex>(pages)) {}

bool TABSDiskBlobManager::IsTableBlobPage(const TABSPageHandle& page) const {
  if (page.PageType() != ptTableBlob) return repairing_;
  if (repairing_) return true;
  return page.ModificationCounter() <= 0x7FFFFFFD && page_header::OwnerObjectID(page.Buffer()) == object_id_;
}

TABSPageHandle TABSDiskBlobManager::BlobPage(int32_t session, int32_t page_no) {
  if (page_no <= 0) RaiseError(20162);
  TABSPageHandle page = pages_->GetPage(session, page_no, pages_->MultiUser(), kAnyPageType);
  if (!IsTableBlobPage(page)) RaiseError(20162);
  return page;
}

TABSPageHandle TABSDiskBlobManager::new_page(int32_t session) {
  TABSPageHandle page = pages_->AddPage(session, ptTableBlob);
  uint8_t* buffer = page.MutableBuffer();
  page_header::SetOwnerObjectID(buffer, object_id_);
  page.SetNextPageNo(-1);
  std::memset(page.MutableData(), 0, page.DataSize());
  return page;
}

int64_t TABSDiskBlobManager::expected_page_count(int64_t stored_size) const {
  const int64_t first = data_size_ - kLargeBlobDataOffset;
  if (stored_size <= first) return 1;
  return 1 + (stored_size - first + data_size_ - 1) / data_size_;
}

void TABSDiskBlobManager::DropIndex(int32_t session) {
  if (index_->RootPageNo() < 0) return;
  index_->Drop(session);
  index_->SetRoot(-1);
}

void TABSDiskBlobManager::EmptyIndex(int32_t session) {
  if (index_->RootPageNo() >= 0) index_->Empty(session);
}

TABSBlobReference TABSDiskBlobManager::Store(int32_t session, const TABSBlobValue& value) {
  if (value.UncompressedSize <= 0 || value.BlockCount < 0 || value.BlockCount > INT32_MAX) RaiseError(20248);
  return IsSmall(static_cast<int64_t>(value.Stored.size())) ? store_small(session, value) : store_large(session, value);
}

TABSBlobReference TABSDiskBlobManager::store_small(int32_t session, const TABSBlobValue& value) {
  if (index_->RootPageNo() < 0) RaiseError(20162);
  const auto size = static_cast<int32_t>(value.Stored.size());
  const int32_t need = size + kBlobHeaderSize;
  const int32_t found = index_->FindPageWithRoom(session, need);
  TABSPageHandle page = found >= 0 ? BlobPage(session, found) : new_page(session);
  TABSSmallBlobPage view(page);
  TABSBlobHeader h;
  h.BlockCount = static_cast<int32_t>(value.BlockCount);
  h.StoredSize = size;
  h.UncompressedSize = value.UncompressedSize;
  const int16_t id = view.Add(h, value.Stored.data(), found >= 0 ? index_->Find(session, found) : 0);
  const int32_t page_no = page.PageNo();
  page.Release();
  index_->Add(session, page_no, need);
  return TABSBlobReference{page_no, id};
}

TABSBlobReference TABSDiskBlobManager::store_large(int32_t session, const TABSBlobValue& value) {
  const int64_t size = static_cast<int64_t>(value.Stored.size());
  const uint8_t* bytes = value.Stored.data();
  TABSPageHandle first = new_page(session);
  const int32_t first_no = first.PageNo();
  std::vector<int32_t> data_pages{first_no};
  TABSBlobHeader h;
  h.BlobID = -1;
  h.BlockCount = static_cast<int32_t>(value.BlockCount);
  h.StoredSize = size;
  h.UncompressedSize = value.UncompressedSize;
  h.Store(first.MutableData());
  // The value: from offset 32 of the first page, then from offset 0 of each new page.
  int64_t done = std::min<int64_t>(size, data_size_ - kLargeBlobDataOffset);
  std::memcpy(first.MutableData() + kLargeBlobDataOffset, bytes, static_cast<size_t>(done));
  int32_t end = kLargeBlobDataOffset + static_cast<int32_t>(done);
  first.Release();
  TABSPageHandle last;
  while (done < size) {
    last = new_page(session);
    const int64_t piece = std::min<int64_t>(size - done, data_size_);
    std::memcpy(last.MutableData(), bytes + done, static_cast<size_t>(piece));
    data_pages.push_back(last.PageNo());
    done += piece;
    end = static_cast<int32_t>(piece);
    if (done < size) last.Release();
  }
  // The page list: right after the last byte, or on a new page when the value ended at
  // the end of its page; going on at offset 0 of new pages chained through NextPageNo.
  std::vector<uint8_t> list(data_pages.size() * 4);
  for (size_t i = 0; i < data_pages.size(); ++i) StoreLE(list.data() + i * 4, data_pages[i]);
  if (!last) last = BlobPage(session, first_no);
  if (end >= data_size_) {
    TABSPageHandle next = new_page(session);
    last.SetNextPageNo(next.PageNo());
    last = std::move(next);
    end = 0;
  }
  TABSPageListDescriptor descriptor{last.PageNo(), static_cast<uint16_t>(end), static_cast<int32_t>(data_pages.size())};
  size_t written = 0;
  for (;;) {
    const size_t piece = std::min(list.size() - written, static_cast<size_t>(data_size_ - end));
    std::memcpy(last.MutableData() + end, list.data() + written, piece);
    written += piece;
    if (written == list.size()) break;
    TABSPageHandle next = new_page(session);
    last.SetNextPageNo(next.PageNo());
    last = std::move(next);
    end = 0;
  }
  const bool first_is_last = last.PageNo() == first_no;
  if (first_is_last) {
    store_descriptor(descriptor, last.MutableData() + kPageListDescriptorOffset);
    last.Release();
  } else {
    last.Release();
    TABSPageHandle head = BlobPage(session, first_no);
    store_descriptor(descriptor, head.MutableData() + kPageListDescriptorOffset);
  }
  return TABSBlobReference{first_no, -1};
}

TABSDiskBlobManager::LargeLayout TABSDiskBlobManager::ReadLargeLayout(int32_t session, int32_t first_page) {
  LargeLayout layout;
  {
    TABSPageHandle first = BlobPage(session, first_page);
    layout.Header = TABSBlobHeader::Load(first.Data());
    layout.List = load_descriptor(first.Data() + kPageListDescriptorOffset);
  }
  const int64_t size = layout.Header.StoredSize;
  const TABSPageListDescriptor& list = layout.List;
  // The sizes must describe a large value that the file can hold: the count of pages
  // follows from L, and no more pages than the file has.
  if (size < 0 || size > (int64_t{1} << 56) || IsSmall(size) || list.Count != expected_page_count(size) ||
      list.Count > pages_->GetTotalPageCount() || list.Offset >= data_size_ || list.PageNo <= 0 ||
      layout.Header.UncompressedSize < 0 || layout.Header.BlockCount < 0)
    RaiseError(20162);
  std::vector<uint8_t> bytes(static_cast<size_t>(list.Count) * 4);
  size_t read = 0;
  int32_t page_no = list.PageNo;
  int32_t offset = list.Offset;
  while (read < bytes.size()) {
    // A chain longer than the list needs is a loop or a damaged link.
    if (page_no <= 0 || layout.ListPages.size() > bytes.size() / static_cast<size_t>(data_size_) + 2) RaiseError(20162);
    TABSPageHandle page = BlobPage(session, page_no);
    layout.ListPages.push_back(page_no);
    const size_t piece = std::min(bytes.size() - read, static_cast<size_t>(data_size_ - offset));
    std::memcpy(bytes.data() + read, page.Data() + offset, piece);
    read += piece;
    page_no = page.NextPageNo();
    offset = 0;
  }
  layout.DataPages.resize(static_cast<size_t>(list.Count));
  for (size_t i = 0; i < layout.DataPages.size(); ++i) layout.DataPages[i] = LoadLE<int32_t>(bytes.data() + i * 4);
  if (layout.DataPages.front() != first_page) RaiseError(20162);
  return layout;
}

void TABSDiskBlobManager::read_large(int32_t session, int32_t first_page, TABSBlobValue& value) {
  const LargeLayout layout = ReadLargeLayout(session, first_page);
  const int64_t size = layout.Header.StoredSize;
  value.BlockCount = layout.Header.BlockCount;
  value.UncompressedSize = layout.Header.UncompressedSize;
  value.Stored.resize(static_cast<size_t>(size));
  int64_t done = 0;
  for (size_t i = 0; i < layout.DataPages.size() && done < size; ++i) {
    TABSPageHandle page = BlobPage(session, layout.DataPages[i]);
    const int32_t from = i == 0 ? kLargeBlobDataOffset : 0;
    const int64_t piece = std::min<int64_t>(size - done, data_size_ - from);
    std::memcpy(value.Stored.data() + done, page.Data() + from, static_cast<size_t>(piece));
    done += piece;
  }
  if (done != size) RaiseError(20162);
}

void TABSDiskBlobManager::read_small(int32_t session, const TABSBlobReference& ref, TABSBlobValue& value) {
  TABSPageHandle page = BlobPage(session, ref.PageNo);
  TABSSmallBlobPage view(page);
  const TABSSmallBlobPage::Entry* entry = view.Find(ref.BlobID);
  if (!entry) RaiseError(view.Damaged() ? 20162 : 20171);
  const TABSBlobHeader h = TABSBlobHeader::Load(page.Data() + entry->Offset);
  if (h.UncompressedSize < 0 || h.BlockCount < 0) RaiseError(20162);
  value.BlockCount = h.BlockCount;
  value.UncompressedSize = h.UncompressedSize;
  const uint8_t* from = page.Data() + entry->Offset + kBlobHeaderSize;
  value.Stored.assign(from, from + entry->StoredSize);
}

bool TABSDiskBlobManager::large_first(int32_t session, int32_t page_no) {
  TABSPageHandle page = BlobPage(session, page_no);
  const int64_t size = LoadLE<int64_t>(page.Data() + 6);
  const int64_t n = LoadLE<int32_t>(page.Data() + kPageListDescriptorOffset + 6);
  return (n - 2) * data_size_ < size && size < n * data_size_;
}

bool TABSDiskBlobManager::IsLarge(int32_t session, const TABSBlobReference& ref) {
  if (ref.BlobID == -1) return true;
  if (ref.BlobID != kAmbiguousBlobID) return false;
  // Stored either way: the reading that succeeds decides, the likelier one first.
  const bool large = large_first(session, ref.PageNo);
  try {
    if (large) ReadLargeLayout(session, ref.PageNo);
    else {
      TABSPageHandle page = BlobPage(session, ref.PageNo);
      if (!TABSSmallBlobPage(page).Find(ref.BlobID)) RaiseError(20171);
    }
    return large;
  } catch (const VODIDivodavir&) {
    return !large;
  }
}

void TABSDiskBlobManager::Read(int32_t session, const TABSBlobReference& ref, TABSBlobValue& value) {
  if (!ref.HasValue() || ref.PageNo < 0) RaiseError(20162);
  value = TABSBlobValue{};
  if (ref.BlobID == kAmbiguousBlobID) {
    const bool large = large_first(session, ref.PageNo);
    try {
      if (large) read_large(session, ref.PageNo, value);
      else read_small(session, ref, value);
    } catch (const VODIDivodavir&) {
      value = TABSBlobValue{};
      if (large) read_small(session, ref, value);
      else read_large(session, ref.PageNo, value);
    }
    return;
  }
  if (ref.BlobID == -1) read_large(session, ref.PageNo, value);
  else read_small(session, ref, value);
}

void TABSDiskBlobManager::delete_small(int32_t session, const TABSBlobReference& ref) {
  TABSPageHandle page = BlobPage(session, ref.PageNo);
  TABSSmallBlobPage view(page);
  const TABSSmallBlobPage::Entry* entry = view.Find(ref.BlobID);
  if (!entry) RaiseError(20171);
  const auto amount = static_cast<int32_t>(entry->StoredSize + kBlobHeaderSize);
  view.Remove(ref.BlobID);
  const bool empty = view.Count() == 0;
  page.Release();
  if (empty) pages_->FreePage(session, ref.PageNo);
  index_->Decrease(session, ref.PageNo, amount);
}

void TABSDiskBlobManager::delete_large(int32_t session, int32_t first_page) {
  const LargeLayout layout = ReadLargeLayout(session, first_page);
  for (int32_t page : layout.DataPages) pages_->FreePage(session, page);
  for (int32_t page : layout.ListPages)
    if (page != layout.DataPages.back()) pages_->FreePage(session, page);
}

void TABSDiskBlobManager::Delete(int32_t session, const TABSBlobReference& ref) {
  if (!ref.HasValue() || ref.PageNo < 0) RaiseError(20162);
  if (IsLarge(session, ref)) delete_large(session, ref.PageNo);
  else delete_small(session, ref);
}

}  // namespace dadoveri
