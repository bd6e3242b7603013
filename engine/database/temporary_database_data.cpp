#include "engine/database/temporary_database_data.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <mutex>

#include "engine/base/engine_error.h"
#include "engine/base/little_endian.h"
#include "engine/base/memory_manager.h"
#include "engine/table/cursor.h"
#include "engine/table/session.h"

namespace dadoveri {

namespace {

constexpr int32_t kTemporaryPageSize = kMemoryPageSize;

std::unique_ptr<TemporaryFile> create_file() {
  auto file = std::make_unique<TemporaryFile>();
  if (!file->Create()) RaiseError(30361, TemporaryFile::Folder(), file->LastError(), std::strerror(file->LastError()));
  return file;
}

int32_t narrow(int64_t v) { return static_cast<int32_t>(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX)); }

}  // namespace

TABSRecordID TemporaryRecordID(int64_t sequence) {
  return TABSRecordID{static_cast<int32_t>(static_cast<uint32_t>(sequence & 0xFFFFFFFF)),
                      static_cast<uint16_t>((sequence >> 32) & 0xFFFF)};
}

int64_t TemporarySequence(const TABSRecordID& id) {
  return static_cast<int64_t>(static_cast<uint32_t>(id.PageNo)) | (static_cast<int64_t>(id.SlotNo) << 32);
}

// ---- records ----

TABSTemporaryRecordManager::TABSTemporaryRecordManager(int32_t memory_record_size, bool memory_only)
    : TABSBaseRecordManager(memory_record_size), memory_only_(memory_only) {
  if (memory_record_size <= 0) RaiseError(10011);
  limit_ = memory_only_ ? std::numeric_limits<int64_t>::max()
                        : static_cast<int64_t>(MemoryManager().GetAvailableMemory() / 10 /
                                               static_cast<uint64_t>(memory_record_size));
  buffer_.resize(static_cast<size_t>(kTemporaryWriteBufferRecords) * static_cast<size_t>(memory_record_size));
}

uint8_t* TABSTemporaryRecordManager::memory_record(int64_t sequence) {
  return blocks_[static_cast<size_t>(sequence / kTemporaryRecordGrowth)].get() +
         static_cast<size_t>(sequence % kTemporaryRecordGrowth) * static_cast<size_t>(MemoryRecordSize);
}

void TABSTemporaryRecordManager::Empty(int32_t) {
  blocks_.clear();
  capacity_ = 0;
  buffered_ = 0;
  cache_first_ = -1;
  cache_count_ = 0;
  file_.reset();
  RecordCount = 0;
  ++ChangeCounter;
}

void TABSTemporaryRecordManager::flush_buffer() {
  if (buffered_ == 0) return;
  if (!file_) file_ = create_file();
  const int64_t position = (buffered_first_ - limit_) * MemoryRecordSize;
  const int64_t bytes = static_cast<int64_t>(buffered_) * MemoryRecordSize;
  if (!file_->Write(buffer_.data(), static_cast<size_t>(bytes), position)) RaiseError(10125);
  buffered_ = 0;
}

bool TABSTemporaryRecordManager::InsertRecord(int32_t, const void* record, TABSRecordID& id) {
  if (!record) return false;
  const int64_t sequence = RecordCount;
  if (sequence < limit_) {
    if (sequence >= capacity_) {
      blocks_.push_back(std::make_unique<uint8_t[]>(static_cast<size_t>(kTemporaryRecordGrowth) *
                                                    static_cast<size_t>(MemoryRecordSize)));
      capacity_ = std::min<int64_t>(capacity_ + kTemporaryRecordGrowth, limit_);
    }
    std::memcpy(memory_record(sequence), record, static_cast<size_t>(MemoryRecordSize));
  } else {
    // Records beyond the limit gather in the write buffer and go to the file together when
    // it is full (or before a record beyond the limit is read): one write per ten records.
    if (buffered_ >= kTemporaryWriteBufferRecords) flush_buffer();
    if (buffered_ == 0) buffered_first_ = sequence;
    std::memcpy(buffer_.data() + static_cast<size_t>(buffered_) * static_cast<size_t>(MemoryRecordSize), record,
                static_cast<size_t>(MemoryRecordSize));
    ++buffered_;
  }
  ++RecordCount;
  ++ChangeCounter;
  id = TemporaryRecordID(sequence);
  return true;
}

void TABSTemporaryRecordManager::read_from_file(int64_t sequence, void* destination) {
  const size_t record_size = static_cast<size_t>(MemoryRecordSize);
  // Records on the file never change once written (the table only grows), so a block read
  // once serves every later read of its records, in either direction.
  if (sequence >= cache_first_ && sequence < cache_first_ + cache_count_) {
    std::memcpy(destination, read_cache_.data() + static_cast<size_t>(sequence - cache_first_) * record_size,
                record_size);
    return;
  }
  flush_buffer();
  if (!file_) RaiseError(10127);
  int64_t size = 0;
  file_->GetSize(&size);
  const int64_t per_block = std::max<int64_t>(1, kTemporaryReadBlockBytes / MemoryRecordSize);
  const int64_t first = limit_ + (sequence - limit_) / per_block * per_block;
  const int64_t position = (first - limit_) * MemoryRecordSize;
  if (sequence < limit_ || position > size) RaiseError(10129, narrow(position), narrow(position), narrow(size));
  const int64_t on_file = (size - position) / MemoryRecordSize;
  const int64_t count = std::min(per_block, on_file);
  if (sequence - first >= count)
    RaiseError(10130, narrow(position), narrow(size), MemoryRecordSize, narrow(std::max<int64_t>(0, size - position)));
  read_cache_.resize(static_cast<size_t>(count) * record_size);
  cache_first_ = -1;
  cache_count_ = 0;
  const int64_t wanted = count * MemoryRecordSize;
  const int64_t got = file_->Read(read_cache_.data(), static_cast<size_t>(wanted), position);
  if (got != wanted) RaiseError(10130, narrow(position), narrow(size), narrow(wanted), narrow(std::max<int64_t>(0, got)));
  cache_first_ = first;
  cache_count_ = count;
  std::memcpy(destination, read_cache_.data() + static_cast<size_t>(sequence - first) * record_size, record_size);
}

void TABSTemporaryRecordManager::GetRecord(int32_t, TABSRecordGetRequest& request) {
  if (RecordCount == 0) {
    request.Result = grrEndReached;
    return;
  }
  int64_t sequence = TemporarySequence(request.RecordID);
  switch (request.Mode) {
    case grmCurrent:
      if (sequence < 0 || sequence >= RecordCount) {
        request.Result = grrNotFound;
        return;
      }
      break;
    case grmNext:
      if (request.GoToLast) {
        request.Result = grrEndReached;
        return;
      }
      sequence = request.GoToFirst ? 0 : sequence + 1;
      if (sequence >= RecordCount) {
        request.Result = grrEndReached;
        return;
      }
      break;
    case grmPrior:
      if (request.GoToFirst) {
        request.Result = grrBeginReached;
        return;
      }
      sequence = request.GoToLast ? RecordCount - 1 : sequence - 1;
      if (sequence < 0) {
        request.Result = grrBeginReached;
        return;
      }
      break;
  }
  if (!request.RecordBuffer) RaiseError(10127);
  if (sequence < limit_)
    std::memcpy(request.RecordBuffer, memory_record(sequence), static_cast<size_t>(MemoryRecordSize));
  else
    read_from_file(sequence, request.RecordBuffer);
  request.RecordID = TemporaryRecordID(sequence);
  request.GoToFirst = request.GoToLast = false;
  request.Result = grrFound;
}

int TABSTemporaryRecordManager::CompareRecordPositions(const TABSRecordID& a, const TABSRecordID& b) {
  const int64_t x = TemporarySequence(a), y = TemporarySequence(b);
  return x < y ? -1 : x > y ? 1 : 0;
}

int64_t TABSTemporaryRecordManager::GetApproximateRecordNo(int32_t, const TABSRecordID& id) {
  const int64_t sequence = TemporarySequence(id);
  return sequence < RecordCount ? sequence + 1 : -1;
}

// ---- pages ----

TABSTemporaryPageManager::TABSTemporaryPageManager(bool memory_only)
    : TABSPageManager(kMemoryPageSize, kPageHeaderSize, 256), memory_only_(memory_only) {
  const uint64_t pages = MemoryManager().GetAvailableMemory() / 10 / kTemporaryPageSize;
  limit_ = memory_only_ ? INT32_MAX : static_cast<int32_t>(std::min<uint64_t>(pages, INT32_MAX / 2));
}

TABSTemporaryPageManager::~TABSTemporaryPageManager() = default;

bool TABSTemporaryPageManager::file_page_allocated(int32_t page_no) const {
  const int64_t bit = static_cast<int64_t>(page_no) - limit_;
  return bit >= 0 && bit < file_pages_.Size() && file_pages_.GetBit(bit);
}

void TABSTemporaryPageManager::AllocatePageNo(TABSPage* page) {
  if (memory_only_ || inner_.NextFreePageNo() < limit_) {
    inner_.AllocatePageNo(page);
    page_count_ = std::max(page_count_, page->PageNo() + 1);
    return;
  }
  int64_t bit = lowest_free_file_page_;
  while (bit < file_pages_.Size() && file_pages_.GetBit(bit)) ++bit;
  const int32_t page_no = static_cast<int32_t>(limit_ + bit);
  if (!file_) file_ = create_file();
  int64_t size = 0;
  file_->GetSize(&size);
  const int64_t needed = (static_cast<int64_t>(page_no) + 1) * kTemporaryPageSize;
  if (size < needed && !file_->SetSize(needed + needed / 2)) RaiseError(10125);
  file_pages_.SetBit(bit, true);
  lowest_free_file_page_ = bit + 1;
  AssignPageNo(page, page_no);
  page->AllocBuffer();
  page_count_ = std::max(page_count_, page_no + 1);
}

void TABSTemporaryPageManager::ReleasePageNo(int32_t page_no) {
  if (!in_file(page_no)) {
    inner_.ReleasePageNo(page_no);
    return;
  }
  if (!file_page_allocated(page_no)) return;
  const int64_t bit = static_cast<int64_t>(page_no) - limit_;
  file_pages_.SetBit(bit, false);
  lowest_free_file_page_ = std::min(lowest_free_file_page_, bit);
}

bool TABSTemporaryPageManager::ReadPage(TABSPage* page) {
  const int32_t page_no = page->PageNo();
  if (!in_file(page_no)) {
    if (!inner_.IsAllocated(page_no)) RaiseError(10396);
    return inner_.ReadPage(page);
  }
  if (!file_page_allocated(page_no)) RaiseError(10396);
  if (!file_) RaiseError(30482);
  if (!page->HasBuffer()) page->AllocBuffer();
  if (file_->Read(page->Buffer(), kTemporaryPageSize, static_cast<int64_t>(page_no) * kTemporaryPageSize) !=
      kTemporaryPageSize)
    return false;
  MarkLoaded(page);
  return true;
}

void TABSTemporaryPageManager::WritePage(TABSPage* page) {
  const int32_t page_no = page->PageNo();
  if (!in_file(page_no)) {
    if (!inner_.IsAllocated(page_no)) RaiseError(10397);
    inner_.WritePage(page);
    return;
  }
  if (!file_page_allocated(page_no)) RaiseError(10397);
  if (!file_) RaiseError(30482);
  if (!file_->Write(page->Buffer(), kTemporaryPageSize, static_cast<int64_t>(page_no) * kTemporaryPageSize))
    RaiseError(10125);
}

// ---- tables ----

TABSTemporaryTableData::TABSTemporaryTableData(TABSDatabaseData* database, std::string table_name,
                                               TABSPageManager* pages)
    : TABSTableData(database, std::move(table_name), pages) {}

void TABSTemporaryTableData::CreateRecordManager() {
  record_manager_ = std::make_unique<TABSTemporaryRecordManager>(RecordLayout(), MemoryOnly);
}

void TABSTemporaryTableData::CommitChanges(int32_t session, bool) { pages_->CommitPages(session); }
void TABSTemporaryTableData::RollbackChanges(int32_t session, bool) { pages_->RollbackPages(session); }

void TABSTemporaryTableData::free_storage(int32_t session) {
  drop_all_indexes(session);
  if (record_manager_) record_manager_->Empty(session);
  blobs_.reset();
  blob_cache_.Clear();
  pages_->CommitPages(session);
}

namespace {
constexpr int kTemporaryBlobHeaderSize = 24;
int64_t temporary_blob_position(const uint8_t* field) {
  return static_cast<int64_t>(LoadLE<uint32_t>(field)) + (static_cast<int64_t>(LoadLE<uint16_t>(field + 4)) << 32) - 1;
}
}  // namespace

bool TABSTemporaryTableData::has_stored_blob(const uint8_t* field) const { return temporary_blob_position(field) >= 0; }

bool TABSTemporaryTableData::load_blob(int32_t, int32_t, const uint8_t* field, TABSBlobValue& value) {
  const int64_t position = temporary_blob_position(field);
  const int64_t size = blobs_ ? blobs_->GetSize() : 0;
  uint8_t header[kTemporaryBlobHeaderSize];
  // Every size read back is checked against the stream before it is used.
  if (position < 0 || position + kTemporaryBlobHeaderSize > size || !blobs_->SetPosition(position) ||
      blobs_->Read(header, kTemporaryBlobHeaderSize) != kTemporaryBlobHeaderSize)
    RaiseError(20162);
  value.BlockCount = LoadLE<int64_t>(header);
  value.UncompressedSize = LoadLE<int64_t>(header + 8);
  const int64_t stored = LoadLE<int64_t>(header + 16);
  if (value.BlockCount < 0 || value.UncompressedSize < 0 || stored < 0 ||
      stored > size - position - kTemporaryBlobHeaderSize)
    RaiseError(20162);
  value.Stored.resize(static_cast<size_t>(stored));
  if (blobs_->Read(value.Stored.data(), stored) != stored) RaiseError(10117, position, size, stored, 0);
  return true;
}

void TABSTemporaryTableData::save_blob(int32_t, int32_t, const TABSBlobValue& value, uint8_t* field) {
  if (!blobs_) {
    if (MemoryOnly) blobs_ = std::make_unique<TABSMemoryStream>();
    else blobs_ = std::make_unique<TABSTemporaryStream>(false);
  }
  const int64_t position = blobs_->GetSize();
  if (position + 1 >= (int64_t{1} << 48)) RaiseError(10125);
  uint8_t header[kTemporaryBlobHeaderSize];
  StoreLE(header, value.BlockCount);
  StoreLE(header + 8, value.UncompressedSize);
  StoreLE(header + 16, static_cast<int64_t>(value.Stored.size()));
  const auto stored = static_cast<int64_t>(value.Stored.size());
  if (!blobs_->SetPosition(position) || blobs_->Write(header, kTemporaryBlobHeaderSize) != kTemporaryBlobHeaderSize ||
      (stored > 0 && blobs_->Write(value.Stored.data(), stored) != stored))
    RaiseError(10125);
  const int64_t reference = position + 1;
  clear_blob_reference(field);
  StoreLE(field, static_cast<uint32_t>(reference & 0xFFFFFFFF));
  StoreLE(field + 4, static_cast<uint16_t>(reference >> 32));
}

void TABSTemporaryTableData::CreateTable(TABSCursor* cursor, const TABSFieldDefs& fields, const TABSIndexDefs& indexes,
                                         const TABSConstraintDefs& constraints) {
  std::lock_guard guard(database_->Lock());
  if (!cursor || !cursor->Session) RaiseError(10009);
  const int32_t session = cursor->Session->SessionID;
  if (record_manager_) free_storage(session);
  SetFieldDefs(fields);
  SetIndexDefs(indexes);
  SetConstraintDefs(constraints);
  CreateRecordManager();
  build_indexes_and_commit(session);
}

void TABSTemporaryTableData::DropTable(TABSCursor* cursor, bool forced) {
  std::lock_guard guard(database_->Lock());
  TABSTableData::DropTable(cursor, forced);
  if (!cursor || !cursor->Session) RaiseError(10009);
  free_storage(cursor->Session->SessionID);
  mark_dropped();
}

bool TABSTemporaryTableData::SetRecordNoInStorageOrder(TABSCursor* cursor, int64_t n) {
  std::lock_guard guard(database_->Lock());
  require_managers();
  const int64_t count = record_manager_->RecordCount;
  if (count == 0) return false;
  cursor->Position = TemporaryRecordID(std::clamp<int64_t>(n, 1, count) - 1);
  cursor->AtBegin = cursor->AtEnd = false;
  return true;
}

int64_t TABSTemporaryTableData::GetRecordNoInStorageOrder(TABSCursor* cursor) {
  if (cursor->AtBegin || cursor->AtEnd) return -1;
  return TemporarySequence(cursor->Position) + 1;
}

int64_t TABSTemporaryTableData::LastAutoincValue(TABSCursor* cursor, int32_t field_no) {
  std::lock_guard guard(database_->Lock());
  return field_manager_->GetLastAutoincValueInSession(cursor->Session, field_no);
}

// ---- registry ----

TABSTemporaryDatabaseData::TABSTemporaryDatabaseData(bool memory_only)
    : memory_only_(memory_only), pages_(std::make_unique<TABSTemporaryPageManager>(memory_only)) {}

TABSTemporaryDatabaseData::~TABSTemporaryDatabaseData() { CloseAllTables(); }

TABSTableData* TABSTemporaryDatabaseData::OpenTableData(const std::string& table_name) {
  std::lock_guard guard(lock_);
  auto table = std::make_unique<TABSTemporaryTableData>(this, table_name, pages_.get());
  table->MemoryOnly = memory_only_;
  return AddTableData(std::move(table));
}

int32_t TABSTemporaryDatabaseData::GetNextObjectID() {
  std::lock_guard guard(lock_);
  return ++next_object_id_;
}

}  // namespace dadoveri
