// The temporary database "TEMP": TABSTemporaryDatabaseData (its registry),
// TABSTemporaryTableData (append-only tables for query results and other intermediate
// sets), TABSTemporaryRecordManager and TABSTemporaryPageManager. Records and pages stay
// in memory up to a tenth of the memory available to the engine and go to temporary files
// beyond it; with the memory-only flag everything stays in memory and no file is made.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/database/memory_page_manager.h"
#include "engine/platform/temporary_file.h"
#include "engine/table/database_data.h"
#include "engine/storage/stream.h"
#include "engine/table/table_data.h"

namespace dadoveri {

inline constexpr int32_t kTemporaryRecordGrowth = 1000;
inline constexpr int32_t kTemporaryWriteBufferRecords = 10;
// Records beyond the limit are read back from the file in blocks of about this many bytes.
inline constexpr int64_t kTemporaryReadBlockBytes = 65536;

// Records by sequence number (0, 1, 2 …), held little-endian in the identifier's 6 bytes.
TABSRecordID TemporaryRecordID(int64_t sequence);
int64_t TemporarySequence(const TABSRecordID& id);

// The first records in memory, up to the limit; beyond it each record waits in the write
// buffer until the next one arrives (or a record beyond the limit is read) and then goes to
// the table's temporary file.
class TABSTemporaryRecordManager : public TABSBaseRecordManager {
 public:
  TABSTemporaryRecordManager(int32_t memory_record_size, bool memory_only);

  void Empty(int32_t session) override;
  bool InsertRecord(int32_t session, const void* memory_record, TABSRecordID& id) override;
  // Temporary tables are append-only: update and delete answer false.
  bool UpdateRecord(int32_t, const void*, const TABSRecordID&) override { return false; }
  bool DeleteRecord(int32_t, const TABSRecordID&) override { return false; }
  void GetRecord(int32_t session, TABSRecordGetRequest& request) override;
  int CompareRecordPositions(const TABSRecordID& a, const TABSRecordID& b) override;
  int64_t GetApproximateRecordNo(int32_t session, const TABSRecordID& id) override;

  // Records kept in memory at most: (available memory ÷ 10) ÷ record size; none with the
  // memory-only flag.
  int64_t MemoryLimit() const { return limit_; }
  bool HasFile() const { return file_ != nullptr; }

 private:
  uint8_t* memory_record(int64_t sequence);
  void flush_buffer();
  void read_from_file(int64_t sequence, void* destination);

  bool memory_only_;
  int64_t limit_;
  std::vector<std::unique_ptr<uint8_t[]>> blocks_;
  int64_t capacity_ = 0;
  // The write buffer: records beyond the limit not yet in the file.
  std::vector<uint8_t> buffer_;
  int32_t buffered_ = 0;
  int64_t buffered_first_ = 0;
  std::unique_ptr<TemporaryFile> file_;
  // The block of file records read last: records cache_first_ … cache_first_ + cache_count_ − 1.
  std::vector<uint8_t> read_cache_;
  int64_t cache_first_ = -1;
  int64_t cache_count_ = 0;
};

// Pages below (available memory ÷ 10) ÷ 4096 in an inner memory page manager, the others
// in a temporary file at page number × 4096.
class TABSTemporaryPageManager : public TABSPageManager {
 public:
  explicit TABSTemporaryPageManager(bool memory_only);
  ~TABSTemporaryPageManager() override;

  void AllocatePageNo(TABSPage* page) override;
  void ReleasePageNo(int32_t page_no) override;
  bool ReadPage(TABSPage* page) override;
  void WritePage(TABSPage* page) override;

  int32_t MemoryPageLimit() const { return limit_; }
  bool HasFile() const { return file_ != nullptr; }

 private:
  bool in_file(int32_t page_no) const { return !memory_only_ && page_no >= limit_; }
  bool file_page_allocated(int32_t page_no) const;

  bool memory_only_;
  int32_t limit_;
  TABSMemoryPageManager inner_;
  TABSBitsArray file_pages_;  // bit (page number − limit)
  int64_t lowest_free_file_page_ = 0;
  std::unique_ptr<TemporaryFile> file_;
};

class TABSTemporaryTableData : public TABSTableData {
 public:
  TABSTemporaryTableData(TABSDatabaseData* database, std::string table_name, TABSPageManager* pages);

  void CreateRecordManager() override;
  // The table's pages commit after every change, as for in-memory tables.
  void CommitChanges(int32_t session, bool in_transaction) override;
  void RollbackChanges(int32_t session, bool in_transaction) override;
  void CreateTable(TABSCursor* cursor, const TABSFieldDefs& fields, const TABSIndexDefs& indexes,
                   const TABSConstraintDefs& constraints) override;
  void DropTable(TABSCursor* cursor, bool forced) override;
  bool DeleteRecord(TABSCursor*) override { return false; }
  bool UpdateRecord(TABSCursor*) override { return false; }
  int64_t RecordOrdinal(const TABSRecordID& id) override { return TemporarySequence(id); }
  TABSRecordID RecordIDOfOrdinal(int64_t ordinal) override { return TemporaryRecordID(ordinal); }
  bool SetRecordNoInStorageOrder(TABSCursor* cursor, int64_t n) override;
  int64_t GetRecordNoInStorageOrder(TABSCursor* cursor) override;
  int64_t RecordCountInStorageOrder(int32_t session) override { return GetRecordCount(session); }
  int64_t LastAutoincValue(TABSCursor* cursor, int32_t field_no) override;
  bool IsTemporary() const override { return true; }
  bool KeepWhenUnused() const override { return true; }

  // Set before the table is created: records, BLOB data and the table's stream stay in
  // memory, however large the table grows.
  bool MemoryOnly = false;
  // Bytes of the table's BLOB stream.
  int64_t BlobStreamSize() const { return blobs_ ? blobs_->GetSize() : 0; }

 protected:
  // Every BLOB value of the table is appended to one stream (in memory while memory-only,
  // else moving to a temporary file once it outgrows 1 MB): a 24-byte header (block count,
  // uncompressed size, stored byte count; signed 64-bit each) and the stored bytes. A
  // field's reference is the header's position + 1 in 48 bits (0: none). Values are
  // never freed one by one: the table only grows; emptying or dropping it drops them all.
  bool load_blob(int32_t session, int32_t field_no, const uint8_t* field, TABSBlobValue& value) override;
  void save_blob(int32_t session, int32_t field_no, const TABSBlobValue& value, uint8_t* field) override;
  bool has_stored_blob(const uint8_t* field) const override;
  void free_all_blobs(int32_t) override { blobs_.reset(); }

 public:
  TABSTemporaryRecordManager& Records() { return static_cast<TABSTemporaryRecordManager&>(*record_manager_); }

 private:
  void free_storage(int32_t session);

  std::unique_ptr<TABSStream> blobs_;
};

class TABSTemporaryDatabaseData : public TABSDatabaseData {
 public:
  // `memory_only`: the page manager keeps every page in memory and new tables are
  // memory-only.
  explicit TABSTemporaryDatabaseData(bool memory_only = false);
  ~TABSTemporaryDatabaseData() override;

  TABSTableData* OpenTableData(const std::string& table_name) override;
  int32_t GetNextObjectID() override;
  TABSPageManager* PageManager() override { return pages_.get(); }
  TABSTemporaryPageManager& TemporaryPages() { return *pages_; }

 private:
  bool memory_only_;
  std::unique_ptr<TABSTemporaryPageManager> pages_;
  int32_t next_object_id_ = 0;
};

}  // namespace dadoveri
