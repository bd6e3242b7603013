// TABSCursor: one reader's view of one table — its record buffers, its position, its
// order (an active index or storage order), its restrictions (range, filter expressions,
// filter callback, distinct navigation) and the fields it shows. The cursor is abstract:
// TABSLocalCursor binds it to a table of a registry and implements the 46 operation slots;
// the table data object provides the navigation services (get record, locate, find key,
// counts, record numbers) and keeps the cursor's filter bitmap in step.
//
// The record outcomes that the dataset layer reports are decided here: PostInsert,
// BeginEdit, PostEdit and DeleteCurrent answer 0 or the outcome code (-1 … -10).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "engine/table/btree_record_index.h"
#include "engine/table/constraint_def.h"
#include "engine/table/cursor_filter.h"
#include "engine/table/field_def.h"
#include "engine/table/index_def.h"
#include "engine/table/record_bitmap.h"
#include "engine/table/variant.h"

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

// One end of a cursor's range: a key buffer (a memory record with the key values in the
// active index's fields), its number of key fields and whether the end is exclusive.
struct TABSCursorRangeKey {
  std::vector<uint8_t> Buffer;
  int32_t FieldCount = 0;
  bool Exclusive = false;
  bool IsSet() const { return !Buffer.empty(); }
};

// What the last search of a cursor did: the access path chosen, its bounds and costs, and
// how many records it read. Tests and the explain output of the command-line tool read it.
struct TABSSearchPlanInfo {
  enum Path : uint8_t {
    spNone = 0,          // no search ran
    spContradiction,     // merged conditions exclude every record: nothing was read
    spFullScan,          // the records in the cursor's order
    spIndexRange,        // a key range of one index
    spBitmap,            // a step taken from the built filter bitmap
  };
  Path Plan = spNone;
  // The index of an index range, with its bounds in the search's direction (kinds and
  // key field counts; kind 0 when a side is open).
  int32_t IndexID = -1;
  uint8_t LowerKind = 0, UpperKind = 0;
  int32_t LowerFieldCount = 0, UpperFieldCount = 0;
  // 1: a unique one-column equality, 2: the one condition on the active index; 0: costed.
  int32_t Shortcut = 0;
  // Index conditions left after merging and reduction.
  int32_t IndexConditionCount = 0;
  double IndexCost = -1;     // the candidate's cost; -1 when no index was a candidate
  double FullScanCost = -1;  // -1 when not costed (a shortcut)
  int64_t RecordsRead = 0;
  int64_t EntriesVisited = 0;
};

class TABSCursor {
 public:
  TABSCursor(TABSBaseSession* session, std::string table_name);
  virtual ~TABSCursor();
  TABSCursor(const TABSCursor&) = delete;
  TABSCursor& operator=(const TABSCursor&) = delete;

  // ---- operation slots, in order ----
  // Deletes an existing table of the cursor's name first.
  virtual void CreateTable(const TABSFieldDefs& fields, const TABSIndexDefs& indexes,
                           const TABSConstraintDefs& constraints) = 0;                              // 0
  virtual void DeleteTable() = 0;                                                                   // 1
  virtual void EmptyTable() = 0;                                                                    // 2
  virtual void RenameTable(const std::string& new_name) = 0;                                        // 3
  // Copies the table's field and constraint definitions, recomputes the buffer sizes and,
  // without a projection, numbers the visible fields 0, 1, 2 …
  virtual void RefreshDefinitions() = 0;                                                            // 4
  // Finds or opens the table on `database`, registers with it, copies the index
  // definitions; the position starts at the beginning.
  virtual void Open(TABSDatabaseData& database) = 0;                                                // 5
  // Unregisters; the table object is freed with its last cursor. Never raises.
  virtual void Close() = 0;                                                                         // 6
  virtual void Lock() = 0;                                                                          // 7
  virtual void Unlock() = 0;                                                                        // 8
  virtual bool LockTable(int32_t kind, int32_t tries, bool flag, int32_t pause_ms) = 0;             // 9
  virtual void UnlockTable(int32_t kind, bool flag) = 0;                                            // 10
  // Base: renames a visible field ("Field '%s' not found", 30345; "Cannot rename field
  // '%s'. Field '%s' already exists", 30346).
  virtual void RenameField(const std::string& old_name, const std::string& new_name);               // 11
  // Base: the cursor's copy of the index definitions.
  virtual TABSIndexDefs& GetIndexDefs();                                                           // 12
  virtual void AddIndex(TABSIndexDef& definition) = 0;                                              // 13
  virtual void DeleteIndex(const std::string& name) = 0;                                            // 14
  virtual void DeleteAllIndexes() = 0;                                                              // 15
  virtual std::string FindOrBuildIndexForFields(const std::vector<std::string>& field_names,
                                                const std::vector<std::string>& directions,
                                                const std::vector<std::string>& cases) = 0;        // 16
  virtual bool HasIndexForFields(const std::vector<std::string>& field_names,
                                 const std::vector<std::string>& directions,
                                 const std::vector<std::string>& cases) = 0;                       // 17
  // Field i of this cursor (visible numbering unless `table_numbering`) into field j of
  // `other`'s current record ("Invalid field number", 10501 here, 10502 there).
  virtual void CopyField(int32_t field_no, bool table_numbering, TABSCursor& other, int32_t other_field_no) = 0;  // 18
  virtual void InitRecordBuffer(void* buffer, bool apply_defaults) = 0;                            // 19
  // Base: returns the buffer to the memory manager.
  virtual void ReleaseRecordBuffer(void*& buffer);                                                 // 20
  virtual int64_t GetRecordCount() = 0;                                                             // 21
  // Mode 0 current, 1 next, 2 prior: 0 found, 1 beginning reached, 2 end reached, 3 the
  // current record is gone or fails the restrictions.
  virtual int32_t GetRecord(int32_t mode) = 0;                                                      // 22
  virtual void SetRecordNo(int64_t n) = 0;                                                          // 23
  virtual int64_t GetRecordNo() = 0;                                                                // 24
  virtual void GoToBegin() {                                                                        // 25
    AtBegin = true;
    AtEnd = false;
  }
  virtual void GoToEnd() {                                                                          // 26
    AtBegin = false;
    AtEnd = true;
  }
  virtual void BeginInsert() = 0;                                                                   // 27
  virtual int32_t BeginEditRecord() = 0;                                                            // 28
  virtual void Cancel(bool inserting) = 0;                                                          // 29
  virtual int32_t Post(bool inserting) = 0;                                                         // 30
  virtual int32_t DeleteRecord() = 0;                                                               // 31
  virtual void SetKeyFields(const std::vector<std::string>& field_names, const std::vector<std::string>& directions,
                            const std::vector<std::string>& cases) = 0;                            // 32
  virtual void SetFilter(std::u16string_view text, bool case_insensitive, bool partial) = 0;        // 33
  virtual void ClearFilter() = 0;                                                                   // 34
  // True when a record qualifies; the cursor is then on it.
  virtual bool Locate(std::string_view field_names, std::span<const TABSVariant> values, bool partial,
                      bool case_insensitive) = 0;                                                  // 35
  // Kind 1 equal, 2 before, 3 after, 4 before or equal, 5 after or equal (index order).
  virtual bool FindKey(int32_t kind) = 0;                                                           // 36
  virtual bool LocateByComparison(std::string_view field_name, uint8_t op, const TABSVariant& value) = 0;  // 37
  virtual void OpenBlobStream(int32_t field_no, int32_t mode) = 0;                                  // 38
  virtual void CloseBlobStream(int32_t field_no) = 0;                                               // 39
  virtual void FreeBlobStreams(bool only_writing) = 0;                                              // 40
  virtual int64_t LastAutoincValue(int32_t field_no) = 0;                                           // 41
  virtual void NotePendingChanges() = 0;                                                            // 42
  virtual void CommitPendingChanges() = 0;                                                          // 43
  virtual void RollbackPendingChanges() = 0;                                                        // 44
  virtual bool CheckConstraints(const void* record, const void* old_record, std::string* message,
                                int32_t* code) = 0;                                                // 45

  // ---- the base's own operations ----
  bool IsOpen() const { return table_ != nullptr; }
  // The table object is going (its registry is destroyed): the cursor closes without
  // touching it.
  void DetachFromTable();
  TABSTableData* TableData() const { return table_; }
  TABSDatabaseData* Database() const { return database_; }

  // The active index by name (letter case ignored); none when the name is empty or unknown.
  void SetIndexName(const std::string& name);
  bool IsIndexActive() const { return ActiveIndexID != -1; }
  bool HasDistinctNavigation() const { return DistinctKeyFieldCount > 0; }
  bool HasFilter() const { return Filter || SecondFilter || FilterCallback; }
  bool HasRange() const { return RangeStart.IsSet() || RangeEnd.IsSet(); }
  bool IsRestricted() const { return HasFilter() || HasRange() || HasDistinctNavigation(); }

  // The range on the active index: key buffers (memory records; null for an open end).
  void SetRange(const void* start, const void* end, int32_t start_fields, int32_t end_fields, bool start_exclusive,
                bool end_exclusive);
  void CancelRange();
  // Stores the filter (null clears it); the bitmap is invalidated.
  void SetFilterExpression(std::unique_ptr<TABSCursorFilter> filter);
  void SetSecondExpression(std::unique_ptr<TABSCursorFilter> filter);
  // The dataset's record filter: called with a private copy of each candidate record.
  void SetFilterCallback(std::function<bool(const void* record)> callback);
  // Distinct navigation over the first `k` key fields of the active index (0: off).
  void SetDistinctKeyFieldCount(int32_t k);
  void InvalidateBitmap() { Bitmap.Invalidate(); }
  // The search key of find key: a memory record with the values in the active index's
  // fields and the number of key fields used.
  void SetSearchKey(const void* key_record, int32_t field_count);

  // Whether a record passes the range, the filter, the second expression and the
  // callback, in that order.
  bool RecordPassesRestrictions(const void* memory_record);
  // The range test alone (true without a range).
  bool RecordInRange(const void* memory_record);
  // The filters and the callback alone; the top-level conjuncts in `covered` are taken as
  // true. The callback sees a private copy of the record.
  bool RecordPassesFilters(const void* memory_record, std::span<const void* const> covered = {});

  // Buffers from the engine memory manager.
  void* AllocateRecordBuffer() const;
  void* AllocateKeyBuffer() const { return AllocateRecordBuffer(); }
  void FreeRecordBuffer(void*& buffer) const;
  void* GetBookmark() const;
  void SetBookmark(const void* bookmark);
  void FreeBookmark(void*& bookmark) const;

  // Visible fields: read and write in the dataset's buffer form (10005, 10006 for a
  // number outside), as TABSVariant (table or visible numbering; 10317, 20191-20193).
  bool ReadField(int32_t visible_no, void* destination, bool native_date_time = false) const;
  void WriteField(int32_t visible_no, const void* source, bool native_date_time = false);
  void GetFieldValue(int32_t field_no, bool table_numbering, TABSVariant& value) const;
  void SetFieldValue(int32_t field_no, bool table_numbering, const TABSVariant& value);
  void NormalizeRecord(void* memory_record) const;
  // The visible fields become the named table fields, under their aliases where given.
  void SetProjection(const std::vector<std::string>& field_names, const std::vector<std::string>& aliases);
  bool HasProjection() const { return projection_; }

  // A new record in CurrentRecord: every field NULL, then the defaults (not for a
  // temporary cursor).
  void NewRecord();
  // Reads the record at the position into CurrentRecord: 0 found, 3 gone.
  int32_t ReadCurrent();
  // A step (mode 1 next, 2 prior) in the cursor's order under its restrictions: the
  // navigation service of the table data object. 0 found, 1 beginning, 2 end reached.
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

  // The factory that compiles filter texts: the one given, else the process default.
  TABSCursorFilterFactory* FilterFactory() const;
  void SetFilterFactory(TABSCursorFilterFactory* factory) { filter_factory_ = factory; }

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
  // The key a distinct step continues from (the current record read before the step).
  std::vector<uint8_t> ContinuationKey;
  uint8_t* RecordBeforeEdit = nullptr;
  TABSFieldDefs TableFields;
  TABSFieldDefs VisibleFields;
  TABSIndexDefs IndexDefs;
  TABSConstraintDefs ConstraintDefs;
  int32_t RecordSize = 0;
  int32_t KeyBufferSize = 0;
  std::vector<uint8_t> SearchKey;
  int32_t SearchKeyFieldCount = 0;
  std::unique_ptr<TABSCursorFilter> Filter;
  std::unique_ptr<TABSCursorFilter> SecondFilter;
  std::function<bool(const void* record)> FilterCallback;
  TABSCursorRangeKey RangeStart;
  TABSCursorRangeKey RangeEnd;
  TABSRecordBitmap Bitmap;
  TABSIndexPositionCache PositionCache;
  int32_t DistinctKeyFieldCount = 0;
  TABSRecordID Position;
  // A copy of the record at Position as last read, so that a step continues from its key
  // and identifier even when another cursor deleted or changed it. Valid while
  // PositionKeyID equals Position.
  std::vector<uint8_t> PositionKey;
  TABSRecordID PositionKeyID;
  bool PositionKeyValid = false;
  bool AtBegin = true;
  bool AtEnd = false;
  std::string LastMessage;
  int32_t LastNativeError = 0;
  TABSSearchPlanInfo LastSearchPlan;

 protected:
  // The common work of slots 4, 5 and 6 for the cursors that derive from this one.
  void refresh_definitions();
  void open_on(TABSDatabaseData& database);
  void close_cursor();
  // The table field number of a field (visible numbering unless `table_numbering`), or
  // `code` raised for a number outside.
  int32_t table_field_no(int32_t field_no, bool table_numbering, int32_t code) const;
  int32_t session_id() const;
  // A copy of a filter's record for the callback (the callback may not change the
  // record a search is reading).
  std::vector<uint8_t> callback_copy_;

 private:
  void free_buffers();
  TABSTableData* table_ = nullptr;
  TABSDatabaseData* database_ = nullptr;
  TABSCursorFilterFactory* filter_factory_ = nullptr;
  bool projection_ = false;
};

}  // namespace dadoveri
