// Helpers of the index tests: a database file in a temporary folder and a record source
// over in-memory records standing in for table data operations.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/storage/disk_page_manager.h"
#include "engine/table/btree_record_source.h"
#include "engine/table/field_def.h"
#include "tests/engine/test_support.h"

namespace dadoveri::testing {

inline constexpr int32_t kIndexSession = 0;

inline std::unique_ptr<TABSDiskPageManager> CreateIndexDatabase(const std::string& file, uint16_t page_size,
                                                                int32_t capacity = 1000) {
  auto pm = std::make_unique<TABSDiskPageManager>(capacity);
  pm->CreateDatabase(file, page_size, 8, {});
  return pm;
}

inline std::unique_ptr<TABSDiskPageManager> OpenIndexDatabase(const std::string& file) {
  auto pm = std::make_unique<TABSDiskPageManager>(1000);
  bool read_only = false, needs_repair = false;
  pm->OpenDatabase(file, {}, read_only, false, false, needs_repair);
  return pm;
}

inline void CloseIndexDatabase(std::unique_ptr<TABSDiskPageManager>& pm) {
  pm->FreeAllPages();
  pm->CloseDatabase();
  pm.reset();
}

struct RecordIDLess {
  bool operator()(const TABSRecordID& a, const TABSRecordID& b) const { return CompareRecordIDs(a, b) < 0; }
};

// Records kept in memory by record identifier; a change counter like a table's.
class MemoryRecords final : public TABSIndexRecordSource {
 public:
  explicit MemoryRecords(int32_t record_size) : record_size_(record_size) {}

  bool ReadRecord(int32_t, const TABSRecordID& id, void* memory_record) override {
    ++reads;
    auto it = records_.find(id);
    if (it == records_.end()) return false;
    std::memcpy(memory_record, it->second.data(), it->second.size());
    return true;
  }
  bool ReadNextRecord(int32_t, TABSRecordID& id, bool from_first, void* memory_record) override {
    auto it = from_first ? records_.begin() : records_.upper_bound(id);
    if (it == records_.end()) return false;
    id = it->first;
    std::memcpy(memory_record, it->second.data(), it->second.size());
    return true;
  }
  int32_t TableChangeCounter() const override { return counter_; }

  TABSRecordID Add(const std::vector<uint8_t>& record) {
    const TABSRecordID id{static_cast<int32_t>(next_ / 40 + 1), static_cast<uint16_t>(next_ % 40)};
    ++next_;
    records_[id] = record;
    ++counter_;
    return id;
  }
  void Put(const TABSRecordID& id, const std::vector<uint8_t>& record) {
    records_[id] = record;
    ++counter_;
  }
  void Remove(const TABSRecordID& id) {
    records_.erase(id);
    ++counter_;
  }
  const std::vector<uint8_t>& Get(const TABSRecordID& id) const { return records_.at(id); }
  const std::map<TABSRecordID, std::vector<uint8_t>, RecordIDLess>& All() const { return records_; }
  void Restore(const std::map<TABSRecordID, std::vector<uint8_t>, RecordIDLess>& records) {
    records_ = records;
    ++counter_;
  }
  int32_t RecordSize() const { return record_size_; }

  int64_t reads = 0;

 private:
  int32_t record_size_;
  int32_t next_ = 0;
  int32_t counter_ = 0;
  std::map<TABSRecordID, std::vector<uint8_t>, RecordIDLess> records_;
};

inline void AddField(TABSFieldDefs& fields, const std::string& name, TABSColumnType type, int32_t size = 0) {
  TABSFieldDef* f = fields.AddFieldDef();
  f->Name = name;
  f->SetType(type, size);
  fields.RecomputeOffsets();
}

}  // namespace dadoveri::testing
