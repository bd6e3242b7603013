// TABSTableData: the shared object of one open table. Every cursor that opens the table
// works through the same instance, which owns the table's field, index, constraint and
// record managers and carries out the table-level operations: create, empty, drop,
// rename; insert, update and delete of records with index, bitmap and constraint
// maintenance. The storage variants (database file, in-memory, temporary) derive from it
// and from TABSBaseRecordManager, the abstract record store.
//
// Every entry point runs under the recursive lock of the table's database registry.
//
// BLOB fields: a cursor opens a field's stream (slot 26), reads or writes the value, and
// hands a changed value back (slot 23); the change waits in the table's BLOB cache (see
// blob_field.h) and is stored with the record by insert and update, which also free the
// values a record no longer references once the record itself is written. Storage
// variants keep the values through load_blob, save_blob and delete_blob.
//
// The navigation services of cursors (get record, locate, find key, record counts and
// numbers) and the one search routine that restricted cursors go through live here too
// (table_search.cpp).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/table/bitmap_memo.h"
#include "engine/table/blob_field.h"
#include "engine/table/btree_record_index.h"
#include "engine/table/btree_record_source.h"
#include "engine/table/constraint_def.h"
#include "engine/table/field_def.h"
#include "engine/table/field_manager.h"
#include "engine/table/index_def.h"
#include "engine/table/scan_search_condition.h"

namespace dadoveri {

class TABSCursor;
class TABSCursorFilter;
class TABSDatabaseData;
class TABSPageManager;
class TABSTableData;

// The get request of record managers is the one of indexes: mode, start identifier, begin
// and end flags, destination buffer, result.
using TABSRecordGetRequest = TABSIndexGetRecordRequest;

// One call of the search routine: what restricts it besides the cursor, its direction and
// start, and the record found.
struct TABSSearchRequest {
  // A locate condition, evaluated with the cursor's restrictions.
  TABSCursorFilter* Extra = nullptr;
  // The key condition of a find key (on the active index).
  const TABSScanSearchCondition* KeyCondition = nullptr;
  // Further index conditions of the caller (the run start of a distinct prior step).
  std::vector<TABSScanSearchCondition> ExtraIndexConditions;
  // Fill: every qualifying record's bit is set in the cursor's bitmap, which is then built.
  bool Fill = false;
  bool Forward = true;
  // From the beginning (forward) or the end (backward) instead of the cursor's position.
  bool FromEnd = false;
  // The record found and where it is read to (a memory record; may be null).
  TABSRecordID Found;
  void* RecordBuffer = nullptr;
};

class TABSBaseRecordManager {
 public:
  explicit TABSBaseRecordManager(int32_t memory_record_size) : MemoryRecordSize(memory_record_size) {}
  virtual ~TABSBaseRecordManager() = default;
  TABSBaseRecordManager(const TABSBaseRecordManager&) = delete;
  TABSBaseRecordManager& operator=(const TABSBaseRecordManager&) = delete;

  // Slots, in order.
  virtual void Empty(int32_t session) = 0;                                                       // 0
  // Stores a copy; the new identifier comes back in `id`. False on failure.
  virtual bool InsertRecord(int32_t session, const void* memory_record, TABSRecordID& id) = 0;   // 1
  virtual bool UpdateRecord(int32_t session, const void* memory_record, const TABSRecordID& id) = 0;  // 2
  // False when there is no such record.
  virtual bool DeleteRecord(int32_t session, const TABSRecordID& id) = 0;                        // 3
  // Result 0 found, 1 beginning reached, 2 end reached, 3 no such record.
  virtual void GetRecord(int32_t session, TABSRecordGetRequest& request) = 0;                   // 4
  virtual int CompareRecordPositions(const TABSRecordID& a, const TABSRecordID& b) = 0;          // 5
  // 1-based; -1 when unknown.
  virtual int64_t GetApproximateRecordNo(int32_t session, const TABSRecordID& id) = 0;          // 6

  // Whether the records live in the page manager's pages, so that a rollback of the
  // session's pages also undoes the record step of a failed operation. Record managers
  // that keep records elsewhere undo that step themselves.
  virtual bool RecordsInPages() const { return false; }

  int64_t RecordCount = 0;
  int32_t ChangeCounter = 0;
  int32_t MemoryRecordSize;
};

class TABSBaseConstraintManager {
 public:
  TABSConstraintDefs ConstraintDefs;
};

// The open indexes of a table and their definitions.
class TABSBaseIndexManager {
 public:
  // `pages`: the table's page manager; `temporary_pages`: where temporary indexes go.
  TABSBaseIndexManager(TABSTableData* table, TABSPageManager* pages, TABSPageManager* temporary_pages);
  virtual ~TABSBaseIndexManager();
  TABSBaseIndexManager(const TABSBaseIndexManager&) = delete;
  TABSBaseIndexManager& operator=(const TABSBaseIndexManager&) = delete;

  // Slots, in order.
  virtual void LoadFromStream(TABSMetaReader& stream);        // 0
  virtual void SaveToStream(TABSMetaWriter& stream) const;    // 1
  virtual void Assign(const TABSIndexDefs& source);            // 2

  // The open index of a definition, opened on first use ("Index not found", 20018, when
  // no definition has the ID).
  TABSBTreeRecordIndex* OpenIndex(int32_t object_id);
  // Builds every index (after create table).
  void CreateAllIndexes(int32_t session);
  // Index maintenance, in definition order; temporary indexes are rebuilt when read.
  void InsertRecord(int32_t session, const void* record, const TABSRecordID& id);
  void UpdateRecord(int32_t session, const void* old_record, const void* new_record, const TABSRecordID& id,
                    bool second_call);
  void DeleteRecord(int32_t session, const void* record, const TABSRecordID& id);
  void EmptyAll(int32_t session);
  // Drops the pages and the definition of an index.
  void DropIndex(int32_t session, int32_t object_id);
  // Drops and forgets every open index without touching pages (the table goes).
  void CloseAll();
  // Lets the open indexes keep their append position between steps in a multi-user file;
  // for a table that closes them all whenever another process has changed it.
  void TrustRightEnds(bool trust) { trust_right_ends_ = trust; }
  void RenameField(const std::string& old_name, const std::string& new_name);
  // Rebuilds a temporary index whose stamp lags behind the table's change counter.
  void RefreshTemporaryIndex(int32_t session, int32_t object_id);
  // Copies each open index's root page and change stamp into its definition.
  void SyncDefinitions();

  TABSIndexDefs IndexDefs;
  TABSPageManager* Pages() const { return pages_; }
  TABSPageManager* TemporaryPages() const { return temporary_pages_; }
  TABSPageManager* PagesOf(const TABSIndexDef& definition) const {
    return definition.Temporary ? temporary_pages_ : pages_;
  }

 private:
  struct OpenEntry {
    int32_t object_id;
    std::unique_ptr<TABSBTreeRecordIndex> index;
  };
  TABSTableData* table_;
  TABSPageManager* pages_;
  TABSPageManager* temporary_pages_;
  bool trust_right_ends_ = false;
  std::vector<OpenEntry> open_;
  bool rebuilding_ = false;
};

class TABSTableData : public TABSIndexRecordSource {
 public:
  TABSTableData(TABSDatabaseData* database, std::string table_name, TABSPageManager* pages);
  ~TABSTableData() override;
  TABSTableData(const TABSTableData&) = delete;
  TABSTableData& operator=(const TABSTableData&) = delete;

  // Virtual operations, in slot order.
  virtual void CreateRecordManager() = 0;                                                    // 0
  virtual void SetFieldDefs(const TABSFieldDefs& fields);                                    // 1
  virtual void SetIndexDefs(const TABSIndexDefs& indexes);                                   // 2
  virtual void SetConstraintDefs(const TABSConstraintDefs& constraints);                     // 3
  // The memory record size ("Error creating table - no fields were specified", 10131).
  virtual int32_t RecordLayout();                                                            // 4
  virtual void CommitChanges(int32_t session, bool in_transaction);                          // 5
  virtual void RollbackChanges(int32_t session, bool in_transaction);                        // 6
  virtual void CreateTable(TABSCursor* cursor, const TABSFieldDefs& fields, const TABSIndexDefs& indexes,
                           const TABSConstraintDefs& constraints) = 0;                       // 7
  // Refused while another cursor has the table open, unless forced (20017).
  virtual void DropTable(TABSCursor* cursor, bool forced);                                   // 8
  virtual void EmptyTable(TABSCursor* cursor);                                               // 9
  // Refused while another cursor has the table open (10150).
  virtual void RenameTable(TABSCursor* cursor, const std::string& new_name);                 // 10
  virtual void AddCursor(TABSCursor* cursor);                                                // 11
  virtual void RemoveCursor(TABSCursor* cursor);                                             // 12
  virtual void RenameField(const std::string& old_name, const std::string& new_name);        // 13
  // Gives the definition an ObjectID (written back), adds and builds it, derives its
  // constraint; returns the index's ObjectID.
  virtual int32_t AddIndex(TABSCursor* cursor, TABSIndexDef& definition);                    // 14
  virtual void DropIndex(TABSCursor* cursor, int32_t object_id);                             // 15
  // The record manager's count (0 before it exists), under the registry's lock.
  virtual int64_t GetRecordCount(int32_t session);                                           // 16
  virtual int64_t RecordOrdinal(const TABSRecordID& id) = 0;                                 // 17
  virtual TABSRecordID RecordIDOfOrdinal(int64_t ordinal) = 0;                               // 18
  // Releases the BLOB cache entries of a record buffer whose changes are abandoned.
  virtual void ReleaseRecordExtras(void* memory_record);                                     // 19
  // Mode 0 current, 1 next, 2 prior: 0 found, 1 beginning reached, 2 end reached, 3 the
  // current record is gone or fails the restrictions. The cursor moves and its current
  // record is read.
  virtual int32_t GetRecord(TABSCursor* cursor, int32_t mode);                               // 20
  // The first record in the cursor's order that satisfies `condition` and the cursor's
  // restrictions ("Nil pointer occured", 10272, without a condition). The cursor moves
  // there; on failure it stays where it was.
  virtual bool Locate(TABSCursor* cursor, TABSCursorFilter* condition);                      // 21
  // The first record whose first k active-index fields compare to the cursor's search key
  // as `kind` demands (20258 without an active index).
  virtual bool FindKey(TABSCursor* cursor, int32_t kind);                                    // 22
  // The value of an open field stream becomes the record buffer's change of that field,
  // stored when the record is inserted or updated; an empty value makes the field NULL.
  virtual void StoreBlob(int32_t session, void* memory_record, TABSBlobFieldStream& stream);  // 23
  // Deletes the stored value of one field of a record; the field becomes NULL. For records
  // that are going: a record being edited clears a field by writing an empty value, which
  // frees the old one only once the record is written.
  virtual void FreeBlob(int32_t session, int32_t field_no, void* memory_record);              // 24
  // Every BLOB field of a record, through slot 24.
  virtual void FreeBlobs(int32_t session, void* memory_record);                              // 25
  // Opens a field's stream over its value (the buffer's change when there is one), or
  // over a new empty value. A BlobBlockSize of 0 is refused (20149; 10420 in memory).
  virtual std::unique_ptr<TABSBlobFieldStream> OpenBlobStream(int32_t session, int32_t field_no,
                                                              const void* memory_record, bool new_value);  // 26
  // The field's value in stored form; false when the field is NULL.
  virtual bool ReadBlobData(int32_t session, int32_t field_no, const void* memory_record, TABSBlobValue& value);  // 27
  // A value in stored form becomes the buffer's change of the field.
  virtual void WriteBlobData(int32_t session, int32_t field_no, void* memory_record, TABSBlobValue value);  // 28
  // Drops the buffer's change of one field (the stored value stays).
  virtual void FreeBlobData(int32_t field_no, void* memory_record);                          // 29
  // The common algorithms; answer false when the record manager refuses.
  virtual bool InsertRecord(TABSCursor* cursor);                                             // 30
  virtual bool DeleteRecord(TABSCursor* cursor);                                             // 31
  virtual bool UpdateRecord(TABSCursor* cursor);                                             // 32
  // Record numbers in the cursor's order under its restrictions, 1-based; get answers -1
  // at an end or on an empty table. Set clamps `n` to the count (below 1: the first).
  virtual void SetRecordNo(TABSCursor* cursor, int64_t n);                                   // 33
  virtual int64_t GetRecordNo(TABSCursor* cursor);                                           // 34
  // Storage-order record numbers, 1-based.
  virtual bool SetRecordNoInStorageOrder(TABSCursor* cursor, int64_t n) = 0;                 // 35
  virtual int64_t GetRecordNoInStorageOrder(TABSCursor* cursor) = 0;                         // 36
  virtual int64_t RecordCountInStorageOrder(int32_t session) = 0;                            // 37
  virtual int64_t LastAutoincValue(TABSCursor* cursor, int32_t field_no);                    // 38
  // Brings the temporary indexes of the session's cursors up to date.
  virtual void AfterRollback(int32_t session);                                               // 39

  // The record source of the indexes.
  bool ReadRecord(int32_t session, const TABSRecordID& id, void* memory_record) override;
  bool ReadNextRecord(int32_t session, TABSRecordID& id, bool from_first, void* memory_record) override;
  int32_t TableChangeCounter() const override;

  // The constraint check of one record about to be written: `old_record` is the record
  // as read before editing (null for an insert). Raises the first violation, or with
  // `raise` false answers false and gives the message and code.
  bool CheckConstraints(TABSCursor* cursor, const void* record, const void* old_record, bool raise,
                        std::string* message = nullptr, int32_t* code = nullptr);

  // Finds an index serving the key for the cursor's session, or builds a temporary one.
  // Returns its ObjectID. Outside a transaction a failure rolls the session's changes back.
  int32_t FindOrBuildIndex(TABSCursor* cursor, const std::vector<std::string>& field_names,
                           const std::vector<std::string>& directions, const std::vector<std::string>& cases);

  // The whole uncompressed value of a BLOB field (false when NULL), and a new value for
  // it in a record buffer, compressed as the field says and stored with the record.
  bool GetBlobValue(int32_t session, int32_t field_no, const void* memory_record, std::vector<uint8_t>& value);
  void SetBlobValue(int32_t session, int32_t field_no, void* memory_record, const void* data, int64_t size);
  TABSBlobCache& BlobCache() { return blob_cache_; }
  bool IsBlobField(int32_t field_no) const;
  // The records a cursor sees: the bitmap's count when restricted, else the table's.
  virtual int64_t CursorRecordCount(TABSCursor* cursor);
  // The one search of restricted cursors (see table_search.cpp). True when a record was
  // found (not in fill mode); the plan is left in the cursor's LastSearchPlan.
  bool Search(TABSCursor* cursor, TABSSearchRequest& request);
  // Brings the cursor's filter bitmap up to date (a fill search when it is stale).
  void EnsureBitmap(TABSCursor* cursor);
  // Keeps the cursor's filter bitmap under `key`, a name of its restrictions that the
  // caller vouches for, for a later cursor of the same session with the same restrictions
  // (RecallBitmap). Only a current storage-order bitmap of a cursor restricted by one
  // expression alone (in either slot), one that depends on nothing but the record, is kept.
  void RememberBitmap(TABSCursor* cursor, const std::string& key);
  // Gives the cursor the bitmap kept under `key` when the table has not changed since it
  // was built; the cursor must be restricted as RememberBitmap requires. True when given.
  bool RecallBitmap(TABSCursor* cursor, const std::string& key);

  // A plain step from the cursor's position: through the active index when there is one,
  // else through the record manager. The cursor does not move; the record found (result
  // 0) and its identifier come back in `request`.
  virtual void PlainStep(TABSCursor* cursor, TABSRecordGetRequest& request);

  TABSDatabaseData* Database() const { return database_; }
  const std::string& TableName() const { return table_name_; }
  TABSPageManager* Pages() const { return pages_; }
  TABSFieldDefs& FieldDefs() { return field_defs_; }
  TABSBaseFieldManager& FieldManager() { return *field_manager_; }
  TABSBaseIndexManager& IndexManager() { return *index_manager_; }
  // The managers exist once the table has its definitions.
  bool HasManagers() const { return index_manager_ && constraint_manager_; }
  TABSBaseConstraintManager& ConstraintManager() { return *constraint_manager_; }
  TABSBaseRecordManager& RecordManager() { return *record_manager_; }
  const std::vector<TABSCursor*>& Cursors() const { return cursors_; }
  int32_t MemoryRecordSize() const { return field_defs_.MemoryRecordSize(); }
  // Temporary tables: constraints are not checked, records only appended.
  virtual bool IsTemporary() const { return false; }
  // Whether the object stays open when its last cursor closes (tables that live only in
  // the object: in-memory and temporary ones, until dropped).
  virtual bool KeepWhenUnused() const { return false; }
  // Whether an object kept open while unused may still be closed then, to bound how many
  // stay open: one that only caches what a file holds, not one whose table lives in it.
  virtual bool ClosableWhenUnused() const { return false; }
  // Dropped: no longer found by name; freed when its last cursor closes.
  bool Dropped() const { return dropped_; }

 protected:
  // The index manager's temporary page manager; the variant's own by default.
  virtual TABSPageManager* TemporaryPages() { return pages_; }
  // Undoes the record step of a failed operation when the record manager keeps records
  // outside the pages (see RecordsInPages).
  void abandon(TABSCursor* cursor, int step, const TABSRecordID& id, const void* old_record);
  void require_managers() const;
  // Builds every index of the definitions and commits; a failure closes them and rolls the
  // pages back before it is passed on.
  void build_indexes_and_commit(int32_t session);
  // Drops every index of the table with its pages.
  void drop_all_indexes(int32_t session);
  // After the storage of a dropped table is freed: marks it dropped and moves every
  // cursor still on it to the beginning.
  void mark_dropped();
  // Sets a valid bitmap bit of the cursor for a record; `was_current`: the bitmap was
  // current before the change, and stays so.
  void keep_bitmap(TABSCursor* cursor, const TABSRecordID& id, const void* record, bool was_current);
  // Navigation helpers (table_search.cpp).
  bool position_key(TABSCursor* cursor, int32_t session);
  void land(TABSCursor* cursor, const TABSRecordID& id, const void* record);
  int32_t plain_step(TABSCursor* cursor, int32_t session, bool forward);
  int32_t bitmap_step(TABSCursor* cursor, int32_t session, bool forward);
  int32_t search_step(TABSCursor* cursor, int32_t session, bool forward);
  int64_t bitmap_bit_of_position(TABSCursor* cursor, int32_t session, bool* exact = nullptr);
  bool record_of_bit(TABSCursor* cursor, int32_t session, int64_t bit, TABSRecordID& id, void* record);

  // The storage variant's BLOB store. `field` points at the field's ten bytes in a memory
  // record; the first six are the variant's reference. load_blob answers false when the
  // reference names no value; save_blob stores a value (its size is not 0) and writes the
  // reference; delete_blob frees the value and empties the reference.
  virtual bool load_blob(int32_t session, int32_t field_no, const uint8_t* field, TABSBlobValue& value);
  virtual void save_blob(int32_t session, int32_t field_no, const TABSBlobValue& value, uint8_t* field);
  virtual void delete_blob(int32_t session, int32_t field_no, uint8_t* field);
  // Whether the reference names a stored value, and the reference of none.
  virtual bool has_stored_blob(const uint8_t* field) const;
  virtual void clear_blob_reference(uint8_t* field) const;
  // The code that refuses a BlobBlockSize of 0 when a stream is opened.
  virtual int32_t zero_block_size_code() const { return 20149; }
  // Frees the BLOB data of every record (empty table): by default record by record.
  virtual void free_all_blobs(int32_t session);
  // Stores the changed BLOB fields of a record about to be written and copies values it
  // shares with another record (`old_record`: the record's stored image on update, null on
  // insert); the fields stored here come back in `stored` for undo_blobs. Cache handles
  // are cleared in the record and collected in `handles`.
  void write_blobs(int32_t session, uint8_t* record, const uint8_t* old_record, std::vector<int32_t>& stored,
                   std::vector<uint32_t>& handles);
  // Frees the values write_blobs stored after the operation failed; never raises.
  void undo_blobs(int32_t session, uint8_t* record, const std::vector<int32_t>& stored);
  // After an update: frees the old record's values the new record no longer references.
  void free_replaced_blobs(int32_t session, const uint8_t* old_record, const uint8_t* new_record);
  uint8_t* blob_field(int32_t field_no, void* record) const;
  // The stream parameters of a field (the variant's code for a BlobBlockSize of 0).
  TABSCompressedStreamParams blob_params(int32_t field_no) const;
  const uint8_t* blob_field(int32_t field_no, const void* record) const;

  TABSBlobCache blob_cache_;
  TABSBitmapMemo bitmap_memo_;

  TABSDatabaseData* database_;
  std::string table_name_;
  TABSPageManager* pages_;
  TABSFieldDefs field_defs_;
  std::unique_ptr<TABSBaseFieldManager> field_manager_;
  std::unique_ptr<TABSBaseConstraintManager> constraint_manager_;
  std::unique_ptr<TABSBaseIndexManager> index_manager_;
  std::unique_ptr<TABSBaseRecordManager> record_manager_;
  std::vector<TABSCursor*> cursors_;
  bool dropped_ = false;

 private:
  // Raises the violation of one constraint.
  void check_one(int32_t session, const TABSConstraintDef& constraint, const void* record, const void* old_record);
};

}  // namespace dadoveri
