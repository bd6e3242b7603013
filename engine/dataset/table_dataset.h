// TABSDataSet: the dataset model over an engine cursor. It owns the cursor while open,
// keeps the record buffers (the table's memory record, then the calculated-field area,
// then a 7-byte bookmark), and answers navigation, filtering, record changes and field
// values by calling the cursor. TABSTable (table.h) is the dataset over one stored table.
//
// Record buffer layout:
//   [0, RecordSize)                 the cursor's memory record (null flags, field values)
//   [RecordSize, +CalcAreaSize)     per calculated or lookup field: a presence byte, then
//                                   its value (a wide text is kept as a pointer to a
//                                   separately allocated std::u16string)
//   [.., +7)                        bookmark: 32-bit page, 16-bit slot, 1-byte flag
//                                   (0 current, 3 inserted; the model's own BOF/EOF flags
//                                   use 1 and 2)
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "engine/dataset/database.h"
#include "engine/dataset/dataset.h"
#include "engine/dataset/session.h"
#include "engine/table/cursor.h"

namespace dadoveri {

class TABSBLOBStream;
class TABSTableReadScope;

inline constexpr int32_t kDataSetBookmarkSize = 7;

struct TFilterOptions {
  bool foCaseInsensitive = false;
  bool foNoPartialCompare = false;
  bool operator==(const TFilterOptions&) const = default;
};

enum class TBlobStreamMode { bmRead, bmWrite, bmReadWrite };

class TABSDataSet : public TDataSet, public TABSSessionBound {
 public:
  explicit TABSDataSet(TComponent* owner = nullptr);
  ~TABSDataSet() override;

  // ---- published properties ----
  std::string CurrentVersion() const { return kCurrentVersion; }
  void SetCurrentVersion(const std::string&) {}
  const std::string& DatabaseName() const { return database_name_; }
  // Closed datasets only; "MEMORY" (any letter case) also sets InMemory.
  void SetDatabaseName(const std::string& value);
  const std::string& SessionName() const override { return session_name_; }
  void SetSessionName(const std::string& value) override;
  bool InMemory() const { return in_memory_; }
  void SetInMemory(bool value);
  bool ReadOnly() const { return read_only_; }
  void SetReadOnly(bool value);
  TFilterOptions FilterOptions() const { return filter_options_; }
  void SetFilterOptions(TFilterOptions value);
  void SetFiltered(bool value) override;
  void SetFilterText(const std::u16string& value) override;
  // The filter text given in UTF-8.
  void SetFilter(const std::string& utf8_text);
  void SetOnFilterRecord(TFilterRecordEvent handler) override;

  // ---- record source answers ----
  // Raise the dataset's own messages for a closed, browsing or read-only dataset.
  void Post() override;
  void Delete() override;

  int64_t RecordCount() override;
  int64_t RecNo() override;
  void SetRecNo(int64_t value) override;
  bool Locate(const std::string& key_fields, std::span<const TFieldValue> key_values,
              TLocateOptions options) override;
  std::vector<TFieldValue> Lookup(const std::string& key_fields, std::span<const TFieldValue> key_values,
                                  const std::string& result_fields) override;
  TBookmark GetBookmark() override;
  void GotoBookmark(const TBookmark& bookmark) override;
  bool BookmarkValid(const TBookmark& bookmark) override;
  int32_t CompareBookmarks(const TBookmark& a, const TBookmark& b) override;

  // Filter searches: the filter applies even when Filtered is off. True when found (the
  // record becomes current).
  bool FindFirst();
  bool FindLast();
  bool FindNext();
  bool FindPrior();

  // The values of every field (in Fields() order) of record number `rec_no` (1-based,
  // among the accepted records) without moving the current record or touching the ring.
  // False when there is no such record.
  bool ReadRecordValues(int64_t rec_no, std::vector<TFieldValue>& values);

  // A stream over a memo, wide memo or BLOB field of the current record. Writing needs
  // the edit or insert state; the value is written into the record with the post.
  std::unique_ptr<TABSBLOBStream> CreateBlobStream(TField& field, TBlobStreamMode mode);

  // ---- for tables, streams and tests ----
  TABSDatabase* Database() const { return database_; }
  TABSCursor* Cursor() const { return cursor_.get(); }
  bool GetFieldData(const TField& field, TFieldValue& value) override;

 protected:
  // The concrete dataset's cursor, opened; null when none could be made.
  virtual std::unique_ptr<TABSCursor> CreateCursor() = 0;
  // Whether the rows are an SQL statement's result (the database closes those first when
  // it disconnects).
  virtual bool IsSQLResult() const { return false; }
  // Called after the fields are made, before the filter and the first read.
  virtual void AfterCursorOpened() {}
  // Gives up the cursor at close: the dataset owns it and closes it; a dataset whose
  // cursor belongs to something else lets go of it instead.
  virtual void ReleaseCursor(std::unique_ptr<TABSCursor>& cursor);
  // Connects to the dataset's database in its session for a while (the database
  // component counts the use); ReleaseDatabase ends the use.
  TABSDatabase& AttachDatabase();
  void ReleaseDatabase(TABSDatabase& database);
  // The record's value of a data field (the buffer's memory record).
  bool read_data_field(const TField& field, const uint8_t* record, TFieldValue& value);
  // Writes a data field's value into a record buffer (no state checks).
  void write_data_field(const TField& field, TRecordBuffer buffer, const TFieldValue& value);
  // Ends a Locate or Find: back to the bookmark `saved` when nothing was found, else onto
  // the cursor's record; frees `saved`.
  bool land_search(bool found, void* saved);
  // Values for the named fields in the engine's form (Locate, master links).
  std::vector<TABSVariant> key_values(const std::vector<std::string>& names, std::span<const TFieldValue> values);

  // ---- model hooks ----
  TRecordBuffer AllocRecordBuffer() override;
  void FreeRecordBuffer(TRecordBuffer& buffer) override;
  TGetResult GetRecord(TRecordBuffer buffer, TGetMode mode, bool do_check) override;
  void InternalOpen() override;
  void InternalClose() override;
  bool IsCursorOpen() const override { return cursor_ != nullptr; }
  void InternalFirst() override;
  void InternalLast() override;
  void InternalSetToRecord(TRecordBuffer buffer) override;
  void InternalInitRecord(TRecordBuffer buffer) override;
  void InternalAddRecord(TRecordBuffer buffer, bool append) override;
  void InternalEdit() override;
  void InternalPost() override;
  void InternalCancel() override;
  void InternalDelete() override;
  void InternalRefresh() override;
  void SetFieldData(TField& field, const TFieldValue& value) override;
  bool GetCanModify() const override { return !read_only_; }
  TBookmarkFlag GetBookmarkFlag(TRecordBuffer buffer) override;
  void SetBookmarkFlag(TRecordBuffer buffer, TBookmarkFlag flag) override;
  TBookmark GetBookmarkData(TRecordBuffer buffer) override;
  void InternalGotoBookmark(const TBookmark& bookmark) override;
  void ClearCalcFields(TRecordBuffer buffer) override;
  // One read scope of the cursor's table for a filling of the ring: in a file shared with
  // other processes its reads share one read lock instead of one each.
  void BeginBufferFill() override;
  void EndBufferFill() override;

  // Gives the cursor the filter state of the properties (compiled text, callback).
  void apply_filter_state();
  // Raises 10029-style "Dataset is not opened" with `code` when closed.
  void check_open(int32_t code) const;

  bool read_only_ = false;
  bool user_read_only_ = false;

 private:
  int32_t calc_offset(const TField& field) const;
  int32_t calc_size(const TField& field) const;
  uint8_t* bookmark_of(TRecordBuffer buffer) const;
  void free_calc_values(TRecordBuffer buffer);
  void load_buffer(TRecordBuffer buffer);
  bool cursor_accepts_callback(const void* record);
  int32_t field_no_of(const TField& field) const;
  void position_cursor(const uint8_t* bookmark);
  bool find_record(bool restart, bool forward);

  std::string database_name_;
  std::string session_name_;
  bool in_memory_ = false;
  TFilterOptions filter_options_;
  TABSDatabase* database_ = nullptr;
  std::unique_ptr<TABSCursor> cursor_;
  int32_t record_size_ = 0;
  int32_t calc_area_size_ = 0;
  int32_t buffer_size_ = 0;
  std::vector<int32_t> calc_offsets_;  // per field index: its offset in the calculated area, -1 for data fields
  std::vector<uint8_t> edit_copy_;
  // The read scope of the outermost buffer fill under way, and how deep the fills nest.
  std::unique_ptr<TABSTableReadScope> fill_scope_;
  int32_t fill_depth_ = 0;
  // The applied filter: re-applying the same text and options does not rebuild it.
  bool filter_applied_ = false;
  std::u16string applied_text_;
  TFilterOptions applied_options_;
};

}  // namespace dadoveri
