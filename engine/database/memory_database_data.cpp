#include "engine/database/memory_database_data.h"

#include <cmath>
#include <cstring>
#include <mutex>

#include "engine/base/engine_error.h"
#include "engine/base/little_endian.h"
#include "engine/table/cursor.h"
#include "engine/table/session.h"

namespace dadoveri {

// ---- records ----

TABSMemoryRecordManager::TABSMemoryRecordManager(int32_t memory_record_size)
    : TABSBaseRecordManager(memory_record_size) {
  if (memory_record_size <= 0) RaiseError(10011);
}

uint8_t* TABSMemoryRecordManager::slot_bytes(int64_t slot) {
  return blocks_[static_cast<size_t>(slot / kMemoryRecordGrowth)].get() +
         static_cast<size_t>(slot % kMemoryRecordGrowth) * static_cast<size_t>(MemoryRecordSize);
}

void TABSMemoryRecordManager::Empty(int32_t) {
  blocks_.clear();
  live_ = TABSBitsArray();
  lowest_ = highest_ = 0;
  RecordCount = 0;
  ++ChangeCounter;
}

bool TABSMemoryRecordManager::InsertRecord(int32_t, const void* memory_record, TABSRecordID& id) {
  if (!memory_record) return false;
  const int64_t slot = RecordCount == 0 ? 0 : highest_ + 1;
  if (slot > INT32_MAX) return false;
  while (slot >= SlotCapacity()) {
    blocks_.push_back(std::make_unique<uint8_t[]>(static_cast<size_t>(kMemoryRecordGrowth) *
                                                  static_cast<size_t>(MemoryRecordSize)));
    live_.SetSize(SlotCapacity());
  }
  std::memcpy(slot_bytes(slot), memory_record, static_cast<size_t>(MemoryRecordSize));
  live_.SetBit(slot, true);
  if (RecordCount == 0) lowest_ = slot;
  highest_ = slot;
  ++RecordCount;
  ++ChangeCounter;
  id = TABSRecordID{static_cast<int32_t>(slot), 0};
  return true;
}

bool TABSMemoryRecordManager::UpdateRecord(int32_t, const void* memory_record, const TABSRecordID& id) {
  // A deleted slot in the live range holds no record to overwrite.
  if (!memory_record || !live(id.PageNo)) return false;
  std::memcpy(slot_bytes(id.PageNo), memory_record, static_cast<size_t>(MemoryRecordSize));
  ++ChangeCounter;
  return true;
}

bool TABSMemoryRecordManager::DeleteRecord(int32_t, const TABSRecordID& id) {
  const int64_t slot = id.PageNo;
  if (RecordCount == 0 || slot < lowest_ || slot > highest_ || !live(slot)) return false;
  live_.SetBit(slot, false);
  --RecordCount;
  if (RecordCount == 0) {
    lowest_ = highest_ = 0;
  } else {
    if (slot == lowest_) lowest_ = live_.NextSetBit(slot);
    if (slot == highest_) highest_ = live_.PriorSetBit(slot);
  }
  ++ChangeCounter;
  return true;
}

void TABSMemoryRecordManager::copy_out(int64_t slot, TABSRecordGetRequest& request) {
  if (!request.RecordBuffer) RaiseError(10019);
  std::memcpy(request.RecordBuffer, slot_bytes(slot), static_cast<size_t>(MemoryRecordSize));
  request.RecordID = TABSRecordID{static_cast<int32_t>(slot), 0};
  request.GoToFirst = request.GoToLast = false;
  request.Result = grrFound;
}

void TABSMemoryRecordManager::GetRecord(int32_t, TABSRecordGetRequest& request) {
  if (RecordCount == 0) {
    request.Result = grrEndReached;
    return;
  }
  const int64_t slot = request.RecordID.PageNo;
  switch (request.Mode) {
    case grmCurrent:
      if (slot < lowest_ || slot > highest_ || !live(slot)) {
        request.Result = grrNotFound;
        return;
      }
      copy_out(slot, request);
      return;
    case grmNext: {
      if (request.GoToLast) {
        request.Result = grrEndReached;
        return;
      }
      const int64_t next = request.GoToFirst ? lowest_ : live_.NextSetBit(std::max<int64_t>(slot + 1, lowest_));
      if (next < 0 || next > highest_) {
        request.Result = grrEndReached;
        return;
      }
      copy_out(next, request);
      return;
    }
    case grmPrior: {
      if (request.GoToFirst) {
        request.Result = grrBeginReached;
        return;
      }
      const int64_t prior = request.GoToLast ? highest_ : live_.PriorSetBit(std::min<int64_t>(slot - 1, highest_));
      if (prior < lowest_) {
        request.Result = grrBeginReached;
        return;
      }
      copy_out(prior, request);
      return;
    }
  }
  request.Result = grrNotFound;
}

int TABSMemoryRecordManager::CompareRecordPositions(const TABSRecordID& a, const TABSRecordID& b) {
  return a.PageNo < b.PageNo ? -1 : a.PageNo > b.PageNo ? 1 : 0;
}

int64_t TABSMemoryRecordManager::GetApproximateRecordNo(int32_t, const TABSRecordID& id) {
  const int64_t slot = id.PageNo;
  if (RecordCount == 0 || slot < lowest_ || slot > highest_) return -1;
  if (RecordCount == 1 || highest_ == lowest_) return 1;
  const double share = static_cast<double>(slot - lowest_) / static_cast<double>(highest_ - lowest_);
  return std::llround(share * static_cast<double>(RecordCount - 1)) + 1;
}

int64_t TABSMemoryRecordManager::SlotOfRecordNo(int64_t n) const { return live_.NthSetBit(n); }

int64_t TABSMemoryRecordManager::RecordNoOfSlot(int64_t slot) const {
  if (!live(slot)) return -1;
  return live_.RankOf(slot) + 1;
}

// ---- tables ----

TABSMemoryTableData::TABSMemoryTableData(TABSDatabaseData* database, std::string table_name, TABSPageManager* pages)
    : TABSTableData(database, std::move(table_name), pages) {}

TABSMemoryTableData::~TABSMemoryTableData() {
  // The registry frees the page manager after its tables; the pages of a table freed
  // without a drop go with it.
}

void TABSMemoryTableData::CreateRecordManager() {
  record_manager_ = std::make_unique<TABSMemoryRecordManager>(RecordLayout());
}

void TABSMemoryTableData::CommitChanges(int32_t session, bool) { pages_->CommitPages(session); }

void TABSMemoryTableData::RollbackChanges(int32_t session, bool) { pages_->RollbackPages(session); }

void TABSMemoryTableData::free_storage(int32_t session) {
  drop_all_indexes(session);
  if (record_manager_) record_manager_->Empty(session);
  blocks_.clear();
  blob_cache_.Clear();
  pages_->CommitPages(session);
}

bool TABSMemoryTableData::has_stored_blob(const uint8_t* field) const { return LoadLE<int32_t>(field) > 0; }

bool TABSMemoryTableData::load_blob(int32_t, int32_t, const uint8_t* field, TABSBlobValue& value) {
  const auto it = blocks_.find(LoadLE<int32_t>(field));
  if (it == blocks_.end()) RaiseError(20162);
  value = it->second;
  return true;
}

void TABSMemoryTableData::save_blob(int32_t, int32_t, const TABSBlobValue& value, uint8_t* field) {
  do {
    next_block_ = next_block_ == INT32_MAX ? 1 : next_block_ + 1;
  } while (blocks_.count(next_block_));
  blocks_[next_block_] = value;
  clear_blob_reference(field);
  StoreLE(field, next_block_);
}

void TABSMemoryTableData::delete_blob(int32_t, int32_t, uint8_t* field) {
  blocks_.erase(LoadLE<int32_t>(field));
  clear_blob_reference(field);
}

void TABSMemoryTableData::CreateTable(TABSCursor* cursor, const TABSFieldDefs& fields, const TABSIndexDefs& indexes,
                                      const TABSConstraintDefs& constraints) {
  std::lock_guard guard(database_->Lock());
  if (!cursor || !cursor->Session) RaiseError(10009);
  const int32_t session = cursor->Session->SessionID;
  if (record_manager_) free_storage(session);
  SetFieldDefs(fields);
  SetIndexDefs(indexes);
  SetConstraintDefs(constraints);
  TABSConstraintDefs& list = constraint_manager_->ConstraintDefs;
  if (!cursor->Temporary) {
    const TABSIndexDefs& defs = index_manager_->IndexDefs;
    for (int32_t i = 0; i < defs.Count(); ++i) {
      const TABSIndexDef* index = defs.Item(i);
      if (list.IndexOfDerived(index->ObjectID) >= 0) continue;
      if (auto derived = DeriveConstraintFromIndex(*index)) {
        derived->ObjectID = database_->GetNextObjectID();
        derived->TableName().Name = table_name_;
        list.AddConstraint(std::move(derived));
      }
    }
    list.ResolveReferences(field_defs_, defs);
  }
  CreateRecordManager();
  RecordLayout();
  build_indexes_and_commit(session);
}

void TABSMemoryTableData::DropTable(TABSCursor* cursor, bool forced) {
  std::lock_guard guard(database_->Lock());
  TABSTableData::DropTable(cursor, forced);
  if (!cursor || !cursor->Session) RaiseError(10009);
  free_storage(cursor->Session->SessionID);
  mark_dropped();
}

int64_t TABSMemoryTableData::RecordOrdinal(const TABSRecordID& id) { return id.PageNo; }

TABSRecordID TABSMemoryTableData::RecordIDOfOrdinal(int64_t ordinal) {
  return TABSRecordID{static_cast<int32_t>(ordinal), 0};
}

bool TABSMemoryTableData::SetRecordNoInStorageOrder(TABSCursor* cursor, int64_t n) {
  std::lock_guard guard(database_->Lock());
  require_managers();
  const int64_t count = record_manager_->RecordCount;
  if (count == 0) return false;
  n = std::clamp<int64_t>(n, 1, count);
  const int64_t slot = Records().SlotOfRecordNo(n);
  if (slot < 0) return false;
  cursor->Position = TABSRecordID{static_cast<int32_t>(slot), 0};
  cursor->AtBegin = cursor->AtEnd = false;
  return true;
}

int64_t TABSMemoryTableData::GetRecordNoInStorageOrder(TABSCursor* cursor) {
  std::lock_guard guard(database_->Lock());
  require_managers();
  if (cursor->AtBegin || cursor->AtEnd) return -1;
  return Records().RecordNoOfSlot(cursor->Position.PageNo);
}

int64_t TABSMemoryTableData::RecordCountInStorageOrder(int32_t session) { return GetRecordCount(session); }

int64_t TABSMemoryTableData::LastAutoincValue(TABSCursor* cursor, int32_t field_no) {
  std::lock_guard guard(database_->Lock());
  return field_manager_->GetLastAutoincValueInSession(cursor->Session, field_no);
}

// ---- registry ----

TABSMemoryDatabaseData::TABSMemoryDatabaseData() : pages_(std::make_unique<TABSMemoryPageManager>()) {}

TABSMemoryDatabaseData::~TABSMemoryDatabaseData() {
  // The tables go before the page manager that holds their indexes; their pages go with it.
  CloseAllTables();
}

TABSTableData* TABSMemoryDatabaseData::OpenTableData(const std::string& table_name) {
  std::lock_guard guard(lock_);
  return AddTableData(std::make_unique<TABSMemoryTableData>(this, table_name, pages_.get()));
}

int32_t TABSMemoryDatabaseData::GetNextObjectID() {
  std::lock_guard guard(lock_);
  return ++next_object_id_;
}

}  // namespace dadoveri
