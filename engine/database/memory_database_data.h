// The in-memory database "MEMORY": TABSMemoryDatabaseData (its registry), TABSMemoryTableData
// (a table that lives in the process's memory and supports every record operation) and
// TABSMemoryRecordManager (fixed-size record slots). The tables' indexes live in the
// registry's TABSMemoryPageManager.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/database/memory_page_manager.h"
#include "engine/table/database_data.h"
#include "engine/table/record_bitmap.h"
#include "engine/table/table_data.h"

namespace dadoveri {

inline constexpr int32_t kMemoryRecordGrowth = 1000;

// Records in fixed-size slots; a record identifier is (slot number, 0). The slots are kept
// in blocks of the growth step, so growing never moves the records already stored. Slots
// freed in the middle are not reused while records remain.
class TABSMemoryRecordManager : public TABSBaseRecordManager {
 public:
  explicit TABSMemoryRecordManager(int32_t memory_record_size);

  void Empty(int32_t session) override;
  bool InsertRecord(int32_t session, const void* memory_record, TABSRecordID& id) override;
  bool UpdateRecord(int32_t session, const void* memory_record, const TABSRecordID& id) override;
  bool DeleteRecord(int32_t session, const TABSRecordID& id) override;
  void GetRecord(int32_t session, TABSRecordGetRequest& request) override;
  int CompareRecordPositions(const TABSRecordID& a, const TABSRecordID& b) override;
  // round((s − lowest) ÷ (highest − lowest) × (count − 1)) + 1: with gaps between the
  // live slots, the slot's share of the live range scaled to the records there are, so
  // the answer never exceeds the count.
  int64_t GetApproximateRecordNo(int32_t session, const TABSRecordID& id) override;

  // The slot of the n-th live record (1-based); -1 when there is none.
  int64_t SlotOfRecordNo(int64_t n) const;
  // The 1-based number of a live slot in storage order; -1 for another slot.
  int64_t RecordNoOfSlot(int64_t slot) const;
  int64_t LowestSlot() const { return lowest_; }
  int64_t HighestSlot() const { return highest_; }
  int64_t SlotCapacity() const { return static_cast<int64_t>(blocks_.size()) * kMemoryRecordGrowth; }

 private:
  bool live(int64_t slot) const { return slot >= 0 && slot < live_.Size() && live_.GetBit(slot); }
  uint8_t* slot_bytes(int64_t slot);
  void copy_out(int64_t slot, TABSRecordGetRequest& request);

  std::vector<std::unique_ptr<uint8_t[]>> blocks_;
  // One bit per slot, set while the slot holds a record.
  TABSBitsArray live_;
  int64_t lowest_ = 0;
  int64_t highest_ = 0;
};

class TABSMemoryTableData : public TABSTableData {
 public:
  TABSMemoryTableData(TABSDatabaseData* database, std::string table_name, TABSPageManager* pages);
  ~TABSMemoryTableData() override;

  void CreateRecordManager() override;
  // Pages of this table commit after every change and roll back at once on failure,
  // whether or not the session is in a transaction.
  void CommitChanges(int32_t session, bool in_transaction) override;
  void RollbackChanges(int32_t session, bool in_transaction) override;
  void CreateTable(TABSCursor* cursor, const TABSFieldDefs& fields, const TABSIndexDefs& indexes,
                   const TABSConstraintDefs& constraints) override;
  void DropTable(TABSCursor* cursor, bool forced) override;
  int64_t RecordOrdinal(const TABSRecordID& id) override;
  TABSRecordID RecordIDOfOrdinal(int64_t ordinal) override;
  bool SetRecordNoInStorageOrder(TABSCursor* cursor, int64_t n) override;
  int64_t GetRecordNoInStorageOrder(TABSCursor* cursor) override;
  int64_t RecordCountInStorageOrder(int32_t session) override;
  int64_t LastAutoincValue(TABSCursor* cursor, int32_t field_no) override;
  bool KeepWhenUnused() const override { return true; }

  bool MemoryOnly() const { return true; }
  TABSMemoryRecordManager& Records() { return static_cast<TABSMemoryRecordManager&>(*record_manager_); }
  // BLOB values held for the table's records.
  size_t BlobBlockCount() const { return blocks_.size(); }

 protected:
  // Frees the table's storage: the index pages, the records and their BLOB values.
  void free_storage(int32_t session);

  // A BLOB field's reference is the number of its value's block (signed 32-bit, 0 for
  // none) in the table's block list rather than the block's address: a reference that
  // outlives its block then names nothing instead of freed memory.
  bool load_blob(int32_t session, int32_t field_no, const uint8_t* field, TABSBlobValue& value) override;
  void save_blob(int32_t session, int32_t field_no, const TABSBlobValue& value, uint8_t* field) override;
  void delete_blob(int32_t session, int32_t field_no, uint8_t* field) override;
  bool has_stored_blob(const uint8_t* field) const override;
  int32_t zero_block_size_code() const override { return 10420; }
  void free_all_blobs(int32_t) override { blocks_.clear(); }

 private:
  std::map<int32_t, TABSBlobValue> blocks_;
  int32_t next_block_ = 0;
};

class TABSMemoryDatabaseData : public TABSDatabaseData {
 public:
  TABSMemoryDatabaseData();
  // Drops every table it holds.
  ~TABSMemoryDatabaseData() override;

  TABSTableData* OpenTableData(const std::string& table_name) override;
  int32_t GetNextObjectID() override;
  TABSPageManager* PageManager() override { return pages_.get(); }
  TABSMemoryPageManager& MemoryPages() { return *pages_; }

 private:
  std::unique_ptr<TABSMemoryPageManager> pages_;
  int32_t next_object_id_ = 0;
};

}  // namespace dadoveri
