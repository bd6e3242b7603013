// Tables stored in a database file: TABSSmallRecordPage (the view of one record page),
// TABSDiskRecordManager (the record store on the table's record pages, found through its
// RecordPageIndex) and TABSDiskTableData (the table object that wires the managers to
// the table's metadata, most-updated and lock internal files).
//
// A record page (type 10, owned by the table's ObjectID) holds RecordsPerPage fixed-size
// slots: a presence bitmap of ceil(n / 8) bytes, then n stored records. A record's
// identifier is (page number, slot) for its whole life.
//
// BLOB values of the table's records live on its BLOB pages through TABSDiskBlobManager;
// the BLOB store's metadata section (the BLOB index root) follows the record store's in
// tables that have BLOB fields.
//
// In a multi-user file every change (insert, update, delete, empty) takes the table's
// write lock (type 4) outside a transaction, or its transaction lock (type 3) inside one,
// which the transaction keeps until the registry's CommitSession or RollbackSession
// releases it. A change outside a transaction is committed through CommitSession too.
// The cursor layer holds the database lock around a change, so the lock is waited for
// with that lock held: another session of the same process cannot let go meanwhile.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "engine/database/disk_blob_manager.h"
#include "engine/storage/page_handle.h"
#include "engine/table/btree_page_index.h"
#include "engine/table/table_data.h"

namespace dadoveri {

class TABSDiskDatabaseData;
class TABSMemoryPageManager;
struct TABSTableListEntry;
class TABSTableMetadata;
class TABSTableLocksFile;

// trunc((data_size − 1) ÷ (record_size + 0.125)) in floating point; 0 when not even one
// record fits.
int32_t RecordsPerPage(int32_t page_data_size, int32_t stored_record_size);
// The same, refusing 0 with "Cannot create table. Record is too large …" (20174).
int32_t CheckedRecordsPerPage(int32_t page_data_size, int32_t stored_record_size);

// The view of one record page held through a handle.
class TABSSmallRecordPage {
 public:
  // "Invalid number of records on page" (20140) when bitmap and slots overrun the data area.
  TABSSmallRecordPage(TABSPageHandle& page, int32_t records_per_page, int32_t record_size);

  bool Present(int32_t slot) const;
  int32_t RecordCount() const;
  // Slot searches; -1 when there is none.
  int32_t FirstSlot() const { return NextSlot(-1); }
  int32_t LastSlot() const { return PriorSlot(records_per_page_); }
  int32_t NextSlot(int32_t after) const;
  int32_t PriorSlot(int32_t before) const;
  // The slot of the (position + 1)-th record.
  int32_t NthSlot(int32_t position) const;
  // Records in slots below `slot`.
  int32_t CountBefore(int32_t slot) const;

  // Takes the lowest free slot ("Cannot add record to page. Page is full", 20141).
  int32_t AddRecord(const uint8_t* stored_record);
  void WriteRecord(int32_t slot, const uint8_t* stored_record);
  void ReadRecord(int32_t slot, uint8_t* stored_record) const;
  void RemoveRecord(int32_t slot);

 private:
  uint8_t* slot_bytes(int32_t slot) const;

  TABSPageHandle& page_;
  int32_t records_per_page_;
  int32_t record_size_;
  int32_t bitmap_size_;
};

class TABSDiskRecordManager : public TABSBaseRecordManager {
 public:
  TABSDiskRecordManager(TABSPageManager* pages, const TABSRecordLayout* layout, int32_t table_object_id);
  ~TABSDiskRecordManager() override;

  // Record-store slots.
  void Empty(int32_t session) override;
  bool InsertRecord(int32_t session, const void* memory_record, TABSRecordID& id) override;
  bool UpdateRecord(int32_t session, const void* memory_record, const TABSRecordID& id) override;
  bool DeleteRecord(int32_t session, const TABSRecordID& id) override;
  void GetRecord(int32_t session, TABSRecordGetRequest& request) override;
  int CompareRecordPositions(const TABSRecordID& a, const TABSRecordID& b) override;
  // RecordCount div 2, whatever the record.
  int64_t GetApproximateRecordNo(int32_t session, const TABSRecordID& id) override;
  bool RecordsInPages() const override { return true; }

  // RecordsPerPage from the layout's stored record size (20174).
  void Setup();
  int32_t RecordsPerPage() const { return records_per_page_; }
  int32_t StoredRecordSize() const { return stored_size_; }

  // The metadata section: the RecordPageIndex root.
  void SaveSection(TABSMetaWriter& stream) const;
  void LoadSection(TABSMetaReader& stream);
  // The header section: table counter, RecordCount (32-bit each). Loading leaves the
  // in-memory change counter to the caller.
  void SaveHeader(TABSMetaWriter& stream) const;
  void LoadHeader(TABSMetaReader& stream);

  void CreatePageIndex(int32_t session);
  // Frees the record pages and the index's own pages.
  void DropPageIndex(int32_t session);
  TABSBTreeRecordPageIndex& PageIndex() { return *page_index_; }

  // The identifier of the k-th record (1-based) in storage order; false past the end.
  bool RecordIDOfRecordNo(int32_t session, int64_t k, TABSRecordID& id);
  // The 1-based storage-order number of a record; -1 when there is no such record.
  int64_t RecordNoOfRecordID(int32_t session, const TABSRecordID& id);

  // Rebuilds the RecordPageIndex from the record pages in the file: every readable type-10
  // page owned by the table that still holds a record. Pages freed since they held the
  // table's records keep their type and owner, marked with the freed counter; taking them
  // back would return an emptied table's rows, so they are left out.
  // "Cannot repair table pages index for larg records table" (10512) when a stored record
  // is not below the page data size.
  void RebuildPageIndex(int32_t session, const std::string& table_name);
  // "Invalid table RecordPageIndex or MostUpdated …" (20292) when the index total differs
  // from RecordCount, or an indexed page is not a live record page of the table holding
  // the count the index gives it.
  void CheckPageIndex(int32_t session);

  // Whether a fetched page may be used as a record page of this table. With `Repairing`
  // or a file older than the owner marks, any page passes.
  bool PageValid(const TABSPageHandle& page) const;
  bool Repairing = false;
  bool OldFormat = false;
  // Set before Setup when the owner rereads the table header before each step in a
  // multi-user file and calls ForgetCachedPositions when another process has changed the
  // table: the page index may then keep its append position between steps.
  bool TrustCachedPositions = false;
  // Drops the remembered insert page and the page index's append position.
  void ForgetCachedPositions();

  // Stored in the header block; rolled back with it. Every insert, update, delete and
  // empty adds 1.
  int32_t TableCounter = 0;

 private:
  // Counts a change: the stored table counter and the in-memory change counter.
  void changed();
  TABSPageHandle record_page(int32_t session, int32_t page_no, uint16_t expected_type);
  void copy_out(TABSSmallRecordPage& view, int32_t page_no, int32_t slot, TABSRecordGetRequest& request);

  TABSPageManager* pages_;
  const TABSRecordLayout* layout_;
  int32_t object_id_;
  int32_t records_per_page_ = 0;
  int32_t stored_size_ = 0;
  std::vector<uint8_t> stored_;
  std::unique_ptr<TABSBTreeRecordPageIndex> page_index_;
  // The page the last insert went to, while nothing else has touched the table since:
  // the next insert tries it before searching the page index for room, and goes
  // straight to a new page when it is full and the search behind it had found none.
  struct InsertHint {
    int32_t session = kInvalidSession;
    int32_t page_no = -1;
    int32_t change_counter = 0;
    uint64_t rollback_count = 0;
    int32_t root = -1;
    bool others_full = false;
  } insert_hint_;
  int32_t hinted_page(int32_t session) const;
};

class TABSDiskTableData : public TABSTableData {
 public:
  TABSDiskTableData(TABSDiskDatabaseData* database, std::string table_name);
  ~TABSDiskTableData() override;

  void CreateRecordManager() override;
  // Writes the header block (and the metadata block after a change of structure) in the
  // session, then commits outside a transaction.
  void CommitChanges(int32_t session, bool in_transaction) override;
  // Outside a transaction: the rollback, then the header block read again.
  void RollbackChanges(int32_t session, bool in_transaction) override;
  // Under the tables lock: the table's files, RecordPageIndex, indexes, metadata and
  // table-list entry in the system session, committed together.
  void CreateTable(TABSCursor* cursor, const TABSFieldDefs& fields, const TABSIndexDefs& indexes,
                   const TABSConstraintDefs& constraints) override;
  void DropTable(TABSCursor* cursor, bool forced) override;
  void RenameTable(TABSCursor* cursor, const std::string& new_name) override;
  // The first cursor opens the table from the file when it exists there. In a multi-user
  // file every cursor takes its session's table lock: exclusive cursors the exclusive
  // lock ("Cannot access table '%s' in exclusive mode. Probably the table is open by
  // another user", 20208), others the shared open lock ("Cannot open table '%s'. Table is
  // locked", 20209). An exclusive cursor is refused while other cursors of the process
  // have the table open (20242).
  void AddCursor(TABSCursor* cursor) override;
  // Releases the cursor's table lock; the last cursor closes the lock file.
  void RemoveCursor(TABSCursor* cursor) override;
  // The metadata block is rewritten and committed in the system session.
  void RenameField(const std::string& old_name, const std::string& new_name) override;
  int32_t AddIndex(TABSCursor* cursor, TABSIndexDef& definition) override;
  void DropIndex(TABSCursor* cursor, int32_t object_id) override;
  int64_t GetRecordCount(int32_t session) override;
  // The multi-user wrapper around reads, navigation and changes (see Access).
  bool ReadRecord(int32_t session, const TABSRecordID& id, void* memory_record) override;
  bool ReadNextRecord(int32_t session, TABSRecordID& id, bool from_first, void* memory_record) override;
  void PlainStep(TABSCursor* cursor, TABSRecordGetRequest& request) override;
  // Navigation reports a refused read lock as no record found; the other services raise
  // "Table is locked".
  int32_t GetRecord(TABSCursor* cursor, int32_t mode) override;
  bool Locate(TABSCursor* cursor, TABSCursorFilter* condition) override;
  bool FindKey(TABSCursor* cursor, int32_t kind) override;
  void SetRecordNo(TABSCursor* cursor, int64_t n) override;
  int64_t GetRecordNo(TABSCursor* cursor) override;
  int64_t CursorRecordCount(TABSCursor* cursor) override;
  bool InsertRecord(TABSCursor* cursor) override;
  bool UpdateRecord(TABSCursor* cursor) override;
  bool DeleteRecord(TABSCursor* cursor) override;
  void EmptyTable(TABSCursor* cursor) override;
  // Physical record numbers: PageNo × RecordsPerPage + SlotNo.
  int64_t RecordOrdinal(const TABSRecordID& id) override;
  TABSRecordID RecordIDOfOrdinal(int64_t ordinal) override;
  bool SetRecordNoInStorageOrder(TABSCursor* cursor, int64_t n) override;
  int64_t GetRecordNoInStorageOrder(TABSCursor* cursor) override;
  int64_t RecordCountInStorageOrder(int32_t session) override { return GetRecordCount(session); }
  int64_t LastAutoincValue(TABSCursor* cursor, int32_t field_no) override;
  // The header block again: what a rollback left on disk replaces the counters kept in
  // memory, which would otherwise be stored by the next commit.
  void AfterRollback(int32_t session) override;

  // Opens the table from the file; `repair` checks the RecordPageIndex against the
  // header's RecordCount and the record pages and rebuilds it when reading or checking
  // fails, then builds the indexes again from the records.
  void OpenTable(int32_t session, bool repair = false);
  // The storage half of creating the table, in `session` under the tables lock: every
  // definition gets a new ObjectID, the constraints their table name, resolved references
  // and generated names (written back into `metadata`); then the lock, metadata and
  // most-updated files, the RecordPageIndex and the indexes are made, the entry added to
  // the table list and the session committed. Nothing stays on failure.
  TABSTableListEntry CreateInFile(int32_t session, TABSTableMetadata& metadata);
  bool Opened() const { return static_cast<bool>(record_manager_); }
  // In a file no other process changes (not multi-user), an opened table stays open when
  // its last cursor closes: the next statement or dataset on it then finds its definitions,
  // counters and index roots in memory instead of reading the metadata and header blocks
  // again. Not while it has a temporary index, which every change would have to maintain
  // (it goes with the table as before).
  bool KeepWhenUnused() const override;
  bool ClosableWhenUnused() const override { return true; }
  // Rewrites the metadata block (structure changed).
  void Restructure(int32_t session);
  // (last page + 1) × RecordsPerPage; 1 for a table without pages.
  int64_t HighestPhysicalRecordNo(int32_t session);

  int32_t ObjectID() const { return object_id_; }
  TABSDiskRecordManager& Records() { return static_cast<TABSDiskRecordManager&>(*record_manager_); }
  // The BLOB store; null before the table is opened.
  TABSDiskBlobManager* Blobs() { return blobs_.get(); }
  // A read scope of `session` (see TABSTableReadScope): one Access held from Begin to
  // End, so that in a multi-user file the operations between share its read lock and the
  // counters read at its start. Scopes nest, innermost ended first.
  void BeginReadScope(int32_t session);
  void EndReadScope();
  // Reads a BLOB value under the multi-user wrapper.
  bool ReadBlobData(int32_t session, int32_t field_no, const void* memory_record, TABSBlobValue& value) override;

  // The header block of a table: autoincrement counters, then the record store's header.
  static std::string SaveHeaderBlock(const TABSBaseFieldManager& fields, const TABSDiskRecordManager& records);

 protected:
  TABSPageManager* TemporaryPages() override;

  // The reference is the stored one: (PageNo, id), (-1, -1) for none.
  bool load_blob(int32_t session, int32_t field_no, const uint8_t* field, TABSBlobValue& value) override;
  void save_blob(int32_t session, int32_t field_no, const TABSBlobValue& value, uint8_t* field) override;
  void delete_blob(int32_t session, int32_t field_no, uint8_t* field) override;
  bool has_stored_blob(const uint8_t* field) const override;
  void clear_blob_reference(uint8_t* field) const override;
  // Record by record, then the BLOB index is emptied.
  void free_all_blobs(int32_t session) override;

 private:
  void load(int32_t session, const TABSTableListEntry& entry, bool repair);
  void write_header(int32_t session);
  // Answers whether the record store's counters read differ from the ones in memory.
  // `keep_higher_counters`: an autoincrement counter in memory above the stored one stays.
  bool read_header(int32_t session, bool keep_higher_counters = false);
  void write_metadata(int32_t session);
  void build_managers();
  // Builds every stored index again from the table's records (repair).
  void rebuild_indexes(int32_t session);
  // Raises each autoincrement counter to the highest value found in the table.
  void raise_autoinc_counters(int32_t session);
  // Takes the cursor's table lock in a multi-user file (20208, 20209).
  void lock_for(TABSCursor* cursor);
  // Whether the trees of the table may keep their append positions between steps in a
  // multi-user file: with a locks file every step first rereads the header, and a header
  // another process has changed drops them (the indexes are closed, the record manager
  // forgets its positions).
  bool trusts_cached_positions() const { return locks_page_ >= 0; }

  TABSDiskDatabaseData* disk_;
  int32_t object_id_ = -1;
  int32_t metadata_page_ = -1;
  int32_t most_updated_page_ = -1;
  int32_t locks_page_ = -1;
  bool structure_changed_ = false;
  // What follows the BLOB index root in the BLOB store's section (all of the section in a
  // table without BLOB fields), carried as it was.
  std::string blob_section_;
  // The header block as last laid out (reused so that a change allocates nothing for it).
  std::string header_block_;
  std::unique_ptr<TABSDiskBlobManager> blobs_;
  // In a multi-user file, an operation on the table runs under the session's shared read
  // lock, with the header block read again (the counters other processes committed) and
  // the table pushed as the session's current table, so that cached pages are trusted
  // only while the table counter they were read under holds. Nested operations share the
  // outermost one's scope. Elsewhere it does nothing.
  class Access {
   public:
    Access(TABSDiskTableData& table, int32_t session);
    ~Access();
    Access(const Access&) = delete;
    Access& operator=(const Access&) = delete;
    // False when the read lock was refused.
    bool Granted() const { return granted_; }
    // Raises "Table is locked" with `code` when the lock was refused.
    void Require(int32_t code) const;

   private:
    TABSDiskTableData& table_;
    int32_t session_;
    bool outermost_ = false;
    bool granted_ = true;
    bool read_locked_ = false;
  };
  // The session that read the header while holding the table's write or transaction
  // lock, which it has held since (see Access).
  int32_t header_trusted_session_ = kInvalidSession;
  int32_t access_depth_ = 0;

  // The lock of one change in a multi-user file (see the top of this file); raises
  // "Table is locked" with `refused_code` when it cannot be had. Elsewhere it does nothing.
  class WriteLock {
   public:
    WriteLock(TABSDiskTableData& table, int32_t session, bool in_transaction, int32_t refused_code);
    ~WriteLock();
    WriteLock(const WriteLock&) = delete;
    WriteLock& operator=(const WriteLock&) = delete;

   private:
    TABSDiskTableData& table_;
    int32_t session_;
    int32_t type_ = -1;
    bool taken_ = false;
  };
  // Hands the lock file to the database while locks still refer to it.
  void keep_locks_file();

  struct CursorLock {
    TABSCursor* cursor;
    int32_t session;
    int32_t type;
  };
  std::vector<CursorLock> cursor_locks_;
  std::unique_ptr<TABSTableLocksFile> locks_file_;
  // Temporary indexes: pages that never reach the file.
  std::unique_ptr<TABSMemoryPageManager> temporary_pages_;
  // The read scopes open, innermost last (destroyed first: they use the lock file).
  std::vector<std::unique_ptr<Access>> read_scopes_;
};

// One read scope of a cursor's table for the life of the object: in a file shared with
// other processes, the steps, reads, searches and counts of the cursor made meanwhile
// share one read lock of the session and one reread of the table's counters, instead of
// taking them around each operation. The database lock is held as long, so no other
// thread's operation falls inside the scope. Take it around one call chain (a screen of
// steps, the filling of a buffer of rows), never across calls from the user: another
// process's change waits while it lasts. No change is made inside it. Tables of other
// kinds, and cursors that are not open, get no scope. The cursor stays open meanwhile.
class TABSTableReadScope {
 public:
  explicit TABSTableReadScope(TABSCursor& cursor);
  ~TABSTableReadScope();
  TABSTableReadScope(const TABSTableReadScope&) = delete;
  TABSTableReadScope& operator=(const TABSTableReadScope&) = delete;

 private:
  std::unique_lock<std::recursive_mutex> guard_;
  TABSDiskTableData* table_ = nullptr;
};

}  // namespace dadoveri
