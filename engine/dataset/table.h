// TABSTable: the dataset over one stored table. Opening attaches to the database named by
// DatabaseName in the session, builds a TABSLocalCursor from the table's settings and
// selects the index named by IndexName or found for IndexFieldNames. It also carries the
// table maintenance operations (create, delete, empty, rename, indexes, restructure, copy)
// and the master-detail link (MasterSource, MasterFields).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "engine/dataset/data_source.h"
#include "engine/dataset/table_dataset.h"
#include "engine/table/constraint_def.h"
#include "engine/table/field_def.h"
#include "engine/table/index_def.h"

namespace dadoveri {

class TABSMasterLink;
class TABSWaitWindow;

struct TExportToSqlOptions {
  bool Structure = true;
  bool AddDropTable = true;
  bool BlobSettings = false;
  bool Data = false;
  bool FieldNamesInInserts = false;
};

// Options of AddIndex.
struct TIndexOptions {
  bool Unique = false;
  bool Primary = false;
  bool Descending = false;
  bool CaseInsensitive = false;
};

class TABSTable : public TABSDataSet {
 public:
  using TTableNotifyEvent = std::function<void(TABSTable&)>;
  // `percent` 0 … 100; clearing `continue_` stops the operation ("Terminated by User.").
  using TTableProgressEvent = std::function<void(TABSTable&, double percent, bool& continue_)>;

  explicit TABSTable(TComponent* owner = nullptr);
  ~TABSTable() override;

  // ---- published properties ----
  bool StoreDefs = false;
  const std::string& TableName() const { return table_name_; }
  void SetTableName(const std::string& value);
  // Empty: the table's physical order.
  const std::string& IndexName() const { return index_name_; }
  void SetIndexName(const std::string& value);
  // ";"-separated field names: selects the index whose leading fields match.
  const std::string& IndexFieldNames() const { return index_field_names_; }
  void SetIndexFieldNames(const std::string& value);
  bool Exclusive() const { return exclusive_; }
  void SetExclusive(bool value);
  // Whether the table exists in the database (false when the database cannot be reached).
  bool Exists();
  TDataSource* MasterSource() const;
  void SetMasterSource(TDataSource* source);
  const std::string& MasterFields() const { return master_fields_; }
  void SetMasterFields(const std::string& value);
  TExportToSqlOptions ExportToSqlOptions;

  // The definitions CreateTable and RestructureTable use; refreshed from the table when it
  // is open (TableFieldDefs, TableIndexDefs).
  TABSFieldDefs TableFieldDefs;
  TABSIndexDefs TableIndexDefs;
  TABSConstraintDefs TableConstraintDefs;
  // The table's current index definitions (from the engine when open).
  const TABSIndexDefs& IndexDefs();

  TTableNotifyEvent BeforeCopy, AfterCopy, BeforeImport, AfterImport, BeforeExport, AfterExport, BeforeRestructure,
      AfterRestructure, BeforeBatchMove, AfterBatchMove;
  TTableProgressEvent OnCopyProgress, OnImportProgress, OnExportProgress, OnRestructureProgress,
      OnBatchMoveProgress;

  // ---- maintenance ----
  // Creates the table from TableFieldDefs / TableIndexDefs / TableConstraintDefs (an
  // existing table of the name is replaced). The dataset must be closed.
  void CreateTable();
  void DeleteTable();
  void EmptyTable();
  void RenameTable(const std::string& new_name);
  void RenameField(const std::string& old_name, const std::string& new_name);
  // `fields`: ";"-separated field names.
  void AddIndex(const std::string& name, const std::string& fields, TIndexOptions options = {});
  void DeleteIndex(const std::string& name);
  // Rebuilds the table with TableFieldDefs / TableIndexDefs, carrying the records over by
  // field name.
  void RestructureTable();
  // Copies definitions and records to `new_table_name` in the database file
  // `database_file` (empty: this table's database) opened with `password`. In
  // error-collecting mode per-record failures are appended to `report` (each line ending
  // in a line break) instead of raised.
  void CopyTable(const std::string& new_table_name, const std::string& database_file = {},
                 const std::string& password = {}, bool collect_errors = false, std::string* report = nullptr);
  // The same onto an already connected database component.
  void CopyTableTo(TABSDatabase& target, const std::string& new_table_name, bool collect_errors = false,
                   std::string* report = nullptr);

  bool IsLinkedTo(TDataSource* source) override;

  // Key searches on the current index. SetKey starts an empty search key and EditKey goes
  // on with the last one: the dataset is then in set-key state, where only the fields of
  // the current index can be written, and they go into the key, not into a record. Post
  // or Cancel ends the key editing. GotoKey moves to the first record whose key equals the
  // search key (false, and no move, when there is none); GotoNearest to the first record
  // whose key is not before it (the last record when every key is before it). FindKey and
  // FindNearest do the same with the key made of `values`, given in the order of the
  // index's fields (fewer values search on the leading fields).
  void SetKey();
  void EditKey();
  bool GotoKey();
  void GotoNearest();
  bool FindKey(std::span<const TFieldValue> values);
  void FindNearest(std::span<const TFieldValue> values);
  // How many leading fields of the index the key compares (0: all of them).
  int32_t KeyFieldCount = 0;

 protected:
  TRecordBuffer KeyBuffer() override { return key_buffer_; }
  std::unique_ptr<TABSCursor> CreateCursor() override;
  void AfterCursorOpened() override;
  void InternalInitRecord(TRecordBuffer buffer) override;
  void InternalClose() override;
  void Notification(TComponent* component, TOperation operation) override;

 private:
  friend class TABSMasterLink;
  // A cursor on the table, not opened through the dataset (maintenance operations).
  std::unique_ptr<TABSCursor> make_cursor(TABSDatabase& database, const std::string& table_name) const;
  // The same for a table that must exist: null when it does not.
  std::unique_ptr<TABSCursor> open_existing(TABSDatabase& database, const std::string& table_name) const;
  // Copies every record of `from` into `to` (by field position, or by name), inside a
  // transaction of its own when the target is in none. Returns the records read.
  int64_t copy_records(TABSCursor& from, TABSCursor& to, TABSLocalSession& target_handle, const std::string& table_label,
                       bool by_name, bool collect_errors, std::string* report, const TTableProgressEvent& event,
                       TABSWaitWindow* wait);
  // Attaches to the database for a maintenance operation; released by the guard's end.
  TABSDatabase& attach_database();
  void release_database(TABSDatabase& database);
  void check_not_in_transaction(TABSDatabase& database, int32_t code, const char* operation);
  void select_index();
  void master_changed();
  // The detail's key fields matched with the master fields (at most `count`).
  std::vector<std::string> detail_key_names(size_t count);
  bool progress(const TTableProgressEvent& event, double percent);
  void start_key(bool clear);
  // Runs the cursor's key search of `kind` (equal, after or equal) with the search key.
  bool goto_key(int32_t kind);
  // Fills a fresh search key with `values` for the leading fields of the current index.
  void set_key_values(std::span<const TFieldValue> values);
  // Searches with the given values as the key (FindKey and FindNearest).
  bool find_by_values(std::span<const TFieldValue> values, int32_t kind);

  TRecordBuffer key_buffer_ = nullptr;

  std::string table_name_;
  std::string index_name_;
  std::string index_field_names_;
  std::string master_fields_;
  bool exclusive_ = false;
  bool in_master_change_ = false;
  std::unique_ptr<TABSMasterLink> master_link_;
};

}  // namespace dadoveri
