// TABSCursor: one reader's view of one table — its record buffers, its position, its
// order (an active index or storage order) and the restrictions that table data keeps in
// step. This holds the members and helpers that table data operations use; the cursor's
// virtual operations (navigation, locate, find key, filters, ranges, projection) arrive
// with the cursor itself and the dataset layer's table cursor derives from it.
//
// The record outcomes that the dataset layer reports are decided here: PostInsert,
// BeginEdit, PostEdit and DeleteCurrent answer 0 or the outcome code (-1 … -10).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/table/btree_record_index.h"
#include "engine/table/record_bitmap.h"

namespace dadoveri {

class TABSBaseSession;
class TABSDatabaseData;
class TABSTableData;

// Outcome codes of record operations, as the dataset layer raises them.
enum TABSRecordOutcome : int32_t {
  roOK = 0,
  roInsertFailed = -1,
  roUpdateFailed = -2,
  roDeleteFailed = -3,
  roUpdateModified = -4,
  roDeleteModified = -5,
  roUpdateDeleted = -6,
  roDeleteDeleted = -7,
  roConstraintFailed = -8,
  roTemporaryUpdate = -9,
  roTemporaryDelete = -10,
  roTemporaryCancel = -11,
};

// A bookmark: at-begin flag, at-end flag, page number, slot number (8 bytes).
inline constexpr int32_t kBookmarkSize = 8;

class TABSCursor {
 public:
  TABSCursor(TABSBaseSession* session, std::string table_name);
  virtual ~TABSCursor();
  TABSCursor(const TABSCursor&) = delete;
  TABSCursor& operator=(const TABSCursor&) = delete;

  // Finds or opens the table on `database`, registers with it and takes the record buffers;
  // the position starts at the beginning.
  void Open(TABSDatabaseData& database);
  // Unregisters; the table object is freed with its last cursor. Never raises.
  void Close();
  bool IsOpen() const { return table_ != nullptr; }
  // The table object is going (its registry is destroyed): the cursor closes without
  // touching it.
  void DetachFromTable();
  TABSTableData* TableData() const { return table_; }
  // Rebuffers after the table's fields changed (create table).
  void RefreshDefinitions();

  // The active index by name (letter case ignored); none when the name is empty or unknown.
  void SetIndexName(const std::string& name);
  bool IsIndexActive() const { return ActiveIndexID != -1; }
  bool HasDistinctNavigation() const { return DistinctKeyFieldCount > 0; }

  // Whether a record passes the cursor's restrictions (range, filters, filter callback).
  // The restrictions arrive with the cursor's filter and range operations; until then a
  // cursor has none and every record passes.
  virtual bool RecordPassesRestrictions(const void* /*memory_record*/) { return true; }
  bool IsRestricted() const { return false; }

  // Buffers from the engine memory manager.
  void* AllocateRecordBuffer() const;
  void FreeRecordBuffer(void*& buffer) const;
  void* GetBookmark() const;
  void SetBookmark(const void* bookmark);
  void FreeBookmark(void*& bookmark) const;
  void GoToBegin() {
    AtBegin = true;
    AtEnd = false;
  }
  void GoToEnd() {
    AtBegin = false;
    AtEnd = true;
  }

  // A new record in CurrentRecord: every field NULL, then the defaults (not for a
  // temporary cursor).
  void NewRecord();
  // Reads the record at the position into CurrentRecord: 0 found, 3 gone.
  int32_t ReadCurrent();
  // A plain step (mode 1 next, 2 prior) in the cursor's order; moves the cursor and reads
  // the record. 0 found, 1 beginning reached, 2 end reached.
  int32_t Step(int32_t mode);

  // Record outcomes. Insert: autoincrement values, constraints (-8 with the message in
  // LastMessage and the code in LastNativeError), then the insert (-1 on refusal).
  int32_t PostInsert();
  // Re-reads the current record into RecordBeforeEdit (-6 gone; -9 on temporary tables).
  int32_t BeginEdit();
  // Update of the current record with CurrentRecord: the stored record is re-read (-6
  // gone, -4 changed since BeginEdit), constraints checked (-8), then updated (-2).
  int32_t PostEdit();
  // Delete of the current record: -10 on temporary tables, -7 gone, -5 changed since read,
  // -3 refused.
  int32_t DeleteCurrent();

  std::string TableName;
  std::string IndexName;
  int32_t ActiveIndexID = -1;
  TABSBaseSession* Session;
  bool InMemory = false;
  bool Temporary = false;
  // Opens the table for this cursor alone: no other cursor of the process, and in a
  // shared database file no other session, may have it open.
  bool Exclusive = false;
  uint8_t* CurrentRecord = nullptr;
  uint8_t* RecordBeforeEdit = nullptr;
  int32_t RecordSize = 0;
  TABSRecordBitmap Bitmap;
  TABSIndexPositionCache PositionCache;
  int32_t DistinctKeyFieldCount = 0;
  TABSRecordID Position;
  bool AtBegin = true;
  bool AtEnd = false;
  std::string LastMessage;
  int32_t LastNativeError = 0;

 private:
  void free_buffers();
  int32_t session_id() const;
  TABSTableData* table_ = nullptr;
  TABSDatabaseData* database_ = nullptr;
};

}  // namespace dadoveri
