// TDataSet: the dataset model that data-bound controls are written against. A dataset has
// fields, a current record with beginning-of-data and end-of-data flags, a state, and a ring
// of record buffers holding the rows its data links show around the current one (as many
// as the largest BufferCount among the links). It notifies its data sources, which pass the
// notifications to their data links.
//
// The model does the bookkeeping: states, the ring, events, notifications, the order of
// steps around each operation. A concrete dataset supplies the records through the
// protected hooks (Internal…, GetRecord, the buffer and bookmark hooks, GetFieldData and
// SetFieldData); the public operations that depend on the record source (RecordCount,
// RecNo, Locate, Lookup, bookmarks) are virtual, with the model's answer for a dataset that
// does not know better.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "engine/dataset/component.h"
#include "engine/dataset/database_error.h"
#include "engine/dataset/field.h"

namespace dadoveri {

class TDataSource;

enum class TDataSetState {
  dsInactive, dsBrowse, dsEdit, dsInsert, dsSetKey, dsCalcFields, dsFilter, dsNewValue, dsOldValue,
  dsCurValue, dsBlockRead, dsInternalCalc, dsOpening
};

enum class TDataEvent {
  deFieldChange, deRecordChange, deDataSetChange, deDataSetScroll, deLayoutChange, deUpdateRecord,
  deUpdateState, deCheckBrowseMode, dePropertyChange, deFieldListChange, deFocusControl, deParentScroll,
  deConnectChange, deReconcileError, deDisabledStateChange
};

enum class TGetMode { gmCurrent, gmNext, gmPrior };
enum class TGetResult { grOK, grBOF, grEOF, grError };
enum class TDataAction { daFail, daAbort, daRetry };
enum class TBookmarkFlag { bfCurrent, bfBOF, bfEOF, bfInserted };

// Options of Locate and Lookup.
struct TLocateOptions {
  bool loCaseInsensitive = false;
  bool loPartialKey = false;
};

// A column as the record source describes it; the dataset makes its default fields from
// these when it has no persistent ones.
struct TFieldDef {
  std::string Name;
  TFieldType DataType = ftUnknown;
  int32_t Size = 0;
  bool Required = false;
  int32_t FieldNo = 0;  // 1-based
  // The value is wide text whatever the type says (a wide memo).
  bool WideText = false;
};

// A bookmark: the bytes the dataset hands out for a record.
using TBookmark = std::vector<uint8_t>;

using TRecordBuffer = uint8_t*;

class TDataSet : public TComponent {
 public:
  using TDataSetNotifyEvent = std::function<void(TDataSet&)>;
  using TDataSetErrorEvent = std::function<void(TDataSet&, const std::exception&, TDataAction&)>;
  using TFilterRecordEvent = std::function<void(TDataSet&, bool& accept)>;

  explicit TDataSet(TComponent* owner = nullptr);
  ~TDataSet() override;

  // ---- state ----
  bool Active() const { return state_ != TDataSetState::dsInactive && state_ != TDataSetState::dsOpening; }
  void SetActive(bool value);
  void Open() { SetActive(true); }
  void Close() { SetActive(false); }
  TDataSetState State() const { return state_; }
  bool Bof() const { return bof_; }
  bool Eof() const { return eof_; }
  bool IsEmpty() const;
  bool Modified() const { return modified_; }
  bool CanModify() const { return GetCanModify(); }

  // ---- navigation ----
  void First();
  void Last();
  void Next() { MoveBy(1); }
  void Prior() { MoveBy(-1); }
  // The number of records actually moved (negative backwards).
  int32_t MoveBy(int32_t distance);
  // Re-reads the records around the current one.
  virtual void Refresh();
  // The number of records, -1 when the dataset cannot tell.
  virtual int64_t RecordCount();
  // The 1-based number of the current record, -1 when the dataset cannot tell.
  virtual int64_t RecNo();
  virtual void SetRecNo(int64_t value);

  // ---- changes ----
  void Append();
  void Insert();
  void Edit();
  virtual void Post();
  void Cancel();
  virtual void Delete();
  // Asks the data links to write their pending edits into the fields.
  void UpdateRecord();
  // Posts a pending edit or insert; in browse state the data links are told to finish.
  void CheckBrowseMode();

  // ---- controls ----
  void DisableControls();
  void EnableControls();
  bool ControlsDisabled() const { return disable_count_ > 0; }

  // ---- fields ----
  std::vector<TFieldDef> FieldDefs;
  TFields& Fields() { return fields_; }
  const TFields& Fields() const { return fields_; }
  int FieldCount() const { return fields_.Count(); }
  TField* FindField(const std::string& name) const { return fields_.FindField(name); }
  TField* FieldByName(const std::string& name) const { return fields_.FieldByName(name); }

  // ---- searching ----
  // Field names separated by ";", one value per name. True when found (it becomes current).
  virtual bool Locate(const std::string& key_fields, std::span<const TFieldValue> key_values,
                      TLocateOptions options);
  // The values of `result_fields` (";"-separated) of the first record matching the keys;
  // the current record stays. Empty when nothing matches.
  virtual std::vector<TFieldValue> Lookup(const std::string& key_fields, std::span<const TFieldValue> key_values,
                                          const std::string& result_fields);

  // ---- bookmarks ----
  virtual TBookmark GetBookmark();
  virtual void GotoBookmark(const TBookmark& bookmark);
  virtual bool BookmarkValid(const TBookmark& bookmark);
  // -1, 0, 1.
  virtual int32_t CompareBookmarks(const TBookmark& a, const TBookmark& b);

  // ---- filter ----
  bool Filtered() const { return filtered_; }
  virtual void SetFiltered(bool value) { filtered_ = value; }
  const std::u16string& Filter() const { return filter_text_; }
  virtual void SetFilterText(const std::u16string& value) { filter_text_ = value; }

  // ---- events ----
  TDataSetNotifyEvent BeforeOpen, AfterOpen, BeforeClose, AfterClose, BeforeInsert, AfterInsert, BeforeEdit,
      AfterEdit, BeforePost, AfterPost, BeforeCancel, AfterCancel, BeforeDelete, AfterDelete, BeforeScroll,
      AfterScroll, BeforeRefresh, AfterRefresh, OnCalcFields, OnNewRecord;
  TDataSetErrorEvent OnEditError, OnPostError, OnDeleteError;
  const TFilterRecordEvent& OnFilterRecord() const { return on_filter_record_; }
  virtual void SetOnFilterRecord(TFilterRecordEvent handler) { on_filter_record_ = std::move(handler); }
  bool AutoCalcFields = true;

  // ---- model internals shared with fields, data sources and data links ----
  // The value of a field in the buffer of the current state; false when NULL or no record.
  virtual bool GetFieldData(const TField& field, TFieldValue& value) = 0;
  // Writes a value into the buffer of the current state; the model then notifies.
  void WriteFieldValue(TField& field, const TFieldValue& value);
  // The buffer that fields of the current state read (null when there is none).
  TRecordBuffer ActiveRecordBuffer();
  void DataEvent(TDataEvent event, intptr_t info = 0);
  int32_t BufferCount() const { return buffer_count_; }
  // Rows held in the ring (at most BufferCount) and the index of the current one.
  int32_t BufferedRecordCount() const { return record_count_; }
  int32_t ActiveRecord() const { return active_record_; }
  // Points the fields at ring row `index` (data links painting their rows); the caller
  // restores the old index after.
  void SetActiveRecord(int32_t index);
  void AddDataSource(TDataSource* source);
  void RemoveDataSource(TDataSource* source);
  // Recomputes the ring size from the data links' buffer counts.
  void UpdateBufferCount();
  // Whether `source` is among the sources whose datasets this one depends on (circular
  // master-detail links are refused with it).
  virtual bool IsLinkedTo(TDataSource* source);
  // Raises "Cannot perform this operation on a closed dataset" when not active.
  void CheckActive() const;
  void CheckInactive() const;

 protected:
  // ---- hooks a concrete dataset fills in ----
  virtual TRecordBuffer AllocRecordBuffer() = 0;
  virtual void FreeRecordBuffer(TRecordBuffer& buffer) = 0;
  virtual TGetResult GetRecord(TRecordBuffer buffer, TGetMode mode, bool do_check) = 0;
  virtual void InternalOpen() = 0;
  virtual void InternalClose() = 0;
  virtual bool IsCursorOpen() const = 0;
  virtual void InternalFirst() = 0;
  virtual void InternalLast() = 0;
  // Positions the record source at the record of `buffer`.
  virtual void InternalSetToRecord(TRecordBuffer buffer) = 0;
  virtual void InternalInitRecord(TRecordBuffer buffer) = 0;
  virtual void InternalAddRecord(TRecordBuffer buffer, bool append) = 0;
  // Bracket one filling of the ring (the reads one call of the model makes: opening,
  // First, Last, a move, a resync): a dataset whose record source can share one read
  // lock among those reads takes it in Begin and lets it go in End. They nest; End must
  // not raise. Nothing is changed between them.
  virtual void BeginBufferFill() {}
  virtual void EndBufferFill() {}
  virtual void InternalEdit() {}
  virtual void InternalInsert() {}
  virtual void InternalPost() = 0;
  virtual void InternalCancel() {}
  virtual void InternalDelete() = 0;
  virtual void InternalRefresh() {}
  virtual void InternalHandleException(const std::exception&) {}
  virtual void SetFieldData(TField& field, const TFieldValue& value) = 0;
  virtual bool GetCanModify() const { return true; }
  virtual TBookmarkFlag GetBookmarkFlag(TRecordBuffer) { return TBookmarkFlag::bfCurrent; }
  virtual void SetBookmarkFlag(TRecordBuffer, TBookmarkFlag) {}
  virtual TBookmark GetBookmarkData(TRecordBuffer) { return {}; }
  virtual void InternalGotoBookmark(const TBookmark&) { DatabaseError(kMsgOperationNotSupported, this); }
  // Clears the calculated-field area of a buffer.
  virtual void ClearCalcFields(TRecordBuffer) {}
  // The key buffer in set-key state (null when the dataset has none).
  virtual TRecordBuffer KeyBuffer() { return nullptr; }

  // ---- services for concrete datasets ----
  void SetState(TDataSetState value);
  // Drops every row of the ring (the buffers stay allocated).
  void ClearBuffers();
  // Re-reads the ring around the current record after the record source changed.
  void Resync();
  // Re-reads the ring around the record the record source is now on (after a move the
  // concrete dataset made itself: a record number, a search).
  void ResyncAtCursor();
  // Fills the calculated fields of a buffer (calculated-fields state while OnCalcFields runs).
  void CalculateFields(TRecordBuffer buffer);
  // Runs OnFilterRecord for `buffer` in filter state; true when accepted (or no handler).
  bool FilterRecord(TRecordBuffer buffer);
  // The cursor's position is no longer that of any ring row.
  void CursorPosChanged() { current_record_ = -1; }
  // The scroll events around a move a concrete dataset makes itself.
  void DoBeforeScroll() { do_event(BeforeScroll); }
  void DoAfterScroll() { do_event(AfterScroll); }
  // Puts the record source at the current ring row when it is not there.
  void UpdateCursorPos();
  TRecordBuffer ActiveBuffer() const;
  TRecordBuffer CalcBuffer() const { return calc_buffer_; }
  TRecordBuffer FilterBuffer() const { return filter_buffer_; }
  void SetModified(bool value) { modified_ = value; }
  // Creates a field object for each definition that has none yet (a persistent field of
  // that name is bound to the definition instead); called by InternalOpen.
  void CreateFields();
  // Frees the field objects the dataset created for itself.
  void DestroyFields();
  // Runs an operation, letting an error event retry or abort it.
  void CheckOperation(const std::function<void()>& operation, const TDataSetErrorEvent& error_event);
  void Notification(TComponent* component, TOperation operation) override;

 private:
  // One filling of the ring, from construction to destruction.
  class buffer_fill {
   public:
    explicit buffer_fill(TDataSet& dataset) : dataset_(dataset) { dataset_.BeginBufferFill(); }
    ~buffer_fill() { dataset_.EndBufferFill(); }
    buffer_fill(const buffer_fill&) = delete;
    buffer_fill& operator=(const buffer_fill&) = delete;

   private:
    TDataSet& dataset_;
  };
  void open_cursor();
  void close_cursor();
  void set_buffer_list_size(int32_t count);
  bool get_next_record();
  bool get_prior_record();
  void get_next_records();
  void get_prior_records();
  void begin_insert_append();
  void end_insert_append();
  void init_record(TRecordBuffer buffer);
  void do_event(const TDataSetNotifyEvent& event) {
    if (event) event(*this);
  }

  TDataSetState state_ = TDataSetState::dsInactive;
  TFields fields_;
  std::vector<TDataSource*> data_sources_;
  // ring_[0 .. buffer_count_-1]: the rows; calc_buffer_ and filter_buffer_ are extra.
  std::vector<TRecordBuffer> ring_;
  TRecordBuffer calc_buffer_ = nullptr;
  TRecordBuffer filter_buffer_ = nullptr;
  int32_t buffer_count_ = 0;
  int32_t record_count_ = 0;
  int32_t active_record_ = 0;
  int32_t current_record_ = -1;
  bool bof_ = true;
  bool eof_ = true;
  bool modified_ = false;
  bool filtered_ = false;
  std::u16string filter_text_;
  TFilterRecordEvent on_filter_record_;
  int32_t disable_count_ = 0;
  TDataSetState disable_state_ = TDataSetState::dsInactive;
  bool enable_event_pending_ = false;
  // The state before a temporary calculation or filter state.
  TDataSetState saved_state_ = TDataSetState::dsInactive;
  bool calculating_ = false;
  friend class TField;
};

}  // namespace dadoveri
