#include "engine/table/cursor.h"

#include <cstring>
#include <mutex>
#include <vector>

#include "engine/base/engine_error.h"
#include "engine/base/little_endian.h"
#include "engine/base/memory_manager.h"
#include "engine/table/database_data.h"
#include "engine/table/meta_object_def.h"
#include "engine/table/session.h"
#include "engine/table/table_data.h"

namespace dadoveri {

namespace {

// Unused tables of a file kept open for their next use (see KeepWhenUnused).
constexpr size_t kUnusedTablesKeptOpen = 16;

TABSCursorFilterFactory* g_default_factory = nullptr;
}  // namespace

TABSCursorFilterFactory* TABSCursorFilterFactory::Default() { return g_default_factory; }
void TABSCursorFilterFactory::SetDefault(TABSCursorFilterFactory* factory) { g_default_factory = factory; }

TABSCursor::TABSCursor(TABSBaseSession* session, std::string table_name)
    : TableName(std::move(table_name)), Session(session) {
  if (!Session) RaiseError(10009);
}

TABSCursor::~TABSCursor() { close_cursor(); }

int32_t TABSCursor::session_id() const { return Session->SessionID; }

TABSCursorFilterFactory* TABSCursor::FilterFactory() const {
  TABSCursorFilterFactory* factory = filter_factory_ ? filter_factory_ : TABSCursorFilterFactory::Default();
  if (!factory) RaiseError(40701);
  return factory;
}

void TABSCursor::open_on(TABSDatabaseData& database) {
  std::lock_guard guard(database.Lock());
  if (table_) return;
  TABSTableData* table = database.FindOrOpenTableData(TableName);
  if (!table) RaiseError(10151, TableName);
  table->AddCursor(this);
  table_ = table;
  database_ = &database;
  refresh_definitions();
  if (table_->HasManagers()) IndexDefs.Assign(table_->IndexManager().IndexDefs);
  if (!IndexName.empty()) SetIndexName(IndexName);
  GoToBegin();
}

void TABSCursor::close_cursor() {
  if (!table_) return;
  std::lock_guard guard(database_->Lock());
  TABSTableData* table = std::exchange(table_, nullptr);
  table->RemoveCursor(this);
  if (table->Cursors().empty()) {
    if (table->Dropped() || !table->KeepWhenUnused())
      database_->CloseTableData(table);
    else
      database_->CloseUnusedTables(kUnusedTablesKeptOpen);
  }
  free_buffers();
  Bitmap.Invalidate();
  PositionCache.Valid = false;
  Filter.reset();
  SecondFilter.reset();
}

void TABSCursor::DetachFromTable() {
  table_ = nullptr;
  database_ = nullptr;
  free_buffers();
  Bitmap.Invalidate();
  PositionCache.Valid = false;
}

void TABSCursor::free_buffers() {
  void* current = CurrentRecord;
  void* before = RecordBeforeEdit;
  CurrentRecord = RecordBeforeEdit = nullptr;
  // The guards were checked on every release; a damaged one cannot be reported from here.
  try {
    FreeRecordBuffer(current);
    FreeRecordBuffer(before);
  } catch (...) {
  }
}

void TABSCursor::refresh_definitions() {
  if (!table_) RaiseError(10380);
  std::lock_guard guard(database_->Lock());
  TableFields.Assign(table_->FieldDefs());
  TableFields.RecomputeOffsets();
  if (table_->HasManagers()) ConstraintDefs.Assign(table_->ConstraintManager().ConstraintDefs);
  if (!projection_) {
    VisibleFields.Assign(table_->FieldDefs());
    for (int32_t i = 0; i < VisibleFields.Count(); ++i) VisibleFields.Item(i)->TableFieldNo = i;
  }
  const int32_t size = table_->FieldDefs().Count() > 0 ? table_->MemoryRecordSize() : 0;
  KeyBufferSize = size;
  if (size == RecordSize && CurrentRecord) return;
  free_buffers();
  RecordSize = size;
  ContinuationKey.assign(static_cast<size_t>(RecordSize), 0);
  if (RecordSize > 0) {
    CurrentRecord = static_cast<uint8_t*>(AllocateRecordBuffer());
    RecordBeforeEdit = static_cast<uint8_t*>(AllocateRecordBuffer());
  }
}

void TABSCursor::RenameField(const std::string& old_name, const std::string& new_name) {
  TABSFieldDef* field = VisibleFields.Find(old_name);
  if (!field) RaiseError(30345, old_name);
  const TABSFieldDef* other = VisibleFields.Find(new_name);
  if (other && other != field) RaiseError(30346, old_name, new_name);
  field->Name = new_name;
}

TABSIndexDefs& TABSCursor::GetIndexDefs() { return IndexDefs; }

void TABSCursor::ReleaseRecordBuffer(void*& buffer) { FreeRecordBuffer(buffer); }

void TABSCursor::SetIndexName(const std::string& name) {
  IndexName = name;
  ActiveIndexID = -1;
  if (table_ && !name.empty()) {
    std::lock_guard guard(database_->Lock());
    if (const TABSIndexDef* definition = table_->IndexManager().IndexDefs.Find(name))
      ActiveIndexID = definition->ObjectID;
  }
  PositionCache.Valid = false;
  Bitmap.Invalidate();
}

void TABSCursor::SetRange(const void* start, const void* end, int32_t start_fields, int32_t end_fields,
                          bool start_exclusive, bool end_exclusive) {
  auto store = [&](TABSCursorRangeKey& key, const void* buffer, int32_t fields, bool exclusive) {
    key = TABSCursorRangeKey{};
    if (!buffer) return;
    if (RecordSize <= 0) RaiseError(10011);
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    key.Buffer.assign(bytes, bytes + RecordSize);
    key.FieldCount = fields;
    key.Exclusive = exclusive;
  };
  store(RangeStart, start, start_fields, start_exclusive);
  store(RangeEnd, end, end_fields, end_exclusive);
  Bitmap.Invalidate();
}

void TABSCursor::CancelRange() {
  RangeStart = TABSCursorRangeKey{};
  RangeEnd = TABSCursorRangeKey{};
  Bitmap.Invalidate();
}

void TABSCursor::SetFilterExpression(std::unique_ptr<TABSCursorFilter> filter) {
  Filter = std::move(filter);
  Bitmap.Invalidate();
}

void TABSCursor::SetSecondExpression(std::unique_ptr<TABSCursorFilter> filter) {
  SecondFilter = std::move(filter);
  Bitmap.Invalidate();
}

void TABSCursor::SetFilterCallback(std::function<bool(const void* record)> callback) {
  FilterCallback = std::move(callback);
  Bitmap.Invalidate();
}

void TABSCursor::SetDistinctKeyFieldCount(int32_t k) {
  DistinctKeyFieldCount = k < 0 ? 0 : k;
  Bitmap.Invalidate();
}

void TABSCursor::SetSearchKey(const void* key_record, int32_t field_count) {
  if (!key_record) RaiseError(10074);
  if (RecordSize <= 0) RaiseError(10011);
  const auto* bytes = static_cast<const uint8_t*>(key_record);
  SearchKey.assign(bytes, bytes + RecordSize);
  SearchKeyFieldCount = field_count;
}

bool TABSCursor::RecordInRange(const void* memory_record) {
  if (!HasRange()) return true;
  // A range belongs to the active index; without one nothing limits the records.
  if (!table_ || !IsIndexActive()) return true;
  TABSBTreeRecordIndex* index = table_->IndexManager().OpenIndex(ActiveIndexID);
  if (RangeStart.IsSet()) {
    const int c = index->CompareRecords(memory_record, RangeStart.Buffer.data(), RangeStart.FieldCount);
    if (RangeStart.Exclusive ? c <= 0 : c < 0) return false;
  }
  if (RangeEnd.IsSet()) {
    const int c = index->CompareRecords(memory_record, RangeEnd.Buffer.data(), RangeEnd.FieldCount);
    if (RangeEnd.Exclusive ? c >= 0 : c > 0) return false;
  }
  return true;
}

bool TABSCursor::RecordPassesFilters(const void* memory_record, std::span<const void* const> covered) {
  if (Filter && !Filter->Evaluate(memory_record, covered)) return false;
  if (SecondFilter && !SecondFilter->Evaluate(memory_record, covered)) return false;
  if (FilterCallback) {
    const auto* bytes = static_cast<const uint8_t*>(memory_record);
    callback_copy_.assign(bytes, bytes + RecordSize);
    if (!FilterCallback(callback_copy_.data())) return false;
  }
  return true;
}

bool TABSCursor::RecordPassesRestrictions(const void* memory_record) {
  return RecordInRange(memory_record) && RecordPassesFilters(memory_record);
}

void* TABSCursor::AllocateRecordBuffer() const {
  if (RecordSize <= 0) RaiseError(10011);
  return MemoryManager().GetMemZero(RecordSize);
}

void TABSCursor::FreeRecordBuffer(void*& buffer) const { MemoryManager().FreeAndNillMem(buffer); }

void* TABSCursor::GetBookmark() const {
  auto* bookmark = static_cast<uint8_t*>(MemoryManager().GetMemZero(kBookmarkSize));
  bookmark[0] = AtBegin ? 1 : 0;
  bookmark[1] = AtEnd ? 1 : 0;
  StoreLE(bookmark + 2, Position.PageNo);
  StoreLE(bookmark + 6, static_cast<int16_t>(Position.SlotNo));
  return bookmark;
}

void TABSCursor::SetBookmark(const void* bookmark) {
  if (!bookmark) RaiseError(10074);
  const auto* b = static_cast<const uint8_t*>(bookmark);
  AtBegin = b[0] != 0;
  AtEnd = b[1] != 0;
  Position.PageNo = LoadLE<int32_t>(b + 2);
  Position.SlotNo = static_cast<uint16_t>(LoadLE<int16_t>(b + 6));
  PositionCache.Valid = false;
}

void TABSCursor::FreeBookmark(void*& bookmark) const { MemoryManager().FreeAndNillMem(bookmark); }

int32_t TABSCursor::table_field_no(int32_t field_no, bool table_numbering, int32_t code) const {
  if (table_numbering) {
    if (field_no < 0 || field_no >= TableFields.Count()) RaiseError(code, field_no, TableFields.Count());
    return field_no;
  }
  if (field_no < 0 || field_no >= VisibleFields.Count()) RaiseError(code, field_no, VisibleFields.Count());
  const int32_t no = VisibleFields.Item(field_no)->TableFieldNo;
  if (no < 0 || no >= TableFields.Count()) RaiseError(code, no, TableFields.Count());
  return no;
}

bool TABSCursor::ReadField(int32_t visible_no, void* destination, bool native_date_time) const {
  const int32_t no = table_field_no(visible_no, false, 10005);
  if (!table_ || !CurrentRecord) RaiseError(10011);
  return table_->FieldManager().Layout().GetFieldData(no, CurrentRecord, destination, native_date_time);
}

void TABSCursor::WriteField(int32_t visible_no, const void* source, bool native_date_time) {
  const int32_t no = table_field_no(visible_no, false, 10006);
  if (!table_ || !CurrentRecord) RaiseError(10011);
  table_->FieldManager().Layout().SetFieldData(no, source, CurrentRecord, native_date_time);
}

void TABSCursor::GetFieldValue(int32_t field_no, bool table_numbering, TABSVariant& value) const {
  const int32_t no = table_field_no(field_no, table_numbering, table_numbering ? 10317 : 20191);
  if (!table_ || !CurrentRecord) RaiseError(10011);
  table_->FieldManager().Layout().GetFieldValue(no, CurrentRecord, value);
}

void TABSCursor::SetFieldValue(int32_t field_no, bool table_numbering, const TABSVariant& value) {
  const int32_t no = table_field_no(field_no, table_numbering, table_numbering ? 20192 : 20193);
  if (!table_ || !CurrentRecord) RaiseError(10011);
  table_->FieldManager().Layout().SetFieldValue(no, value, CurrentRecord);
}

void TABSCursor::NormalizeRecord(void* memory_record) const {
  if (!table_ || !memory_record) RaiseError(10011);
  table_->FieldManager().Layout().NormalizeRecord(memory_record);
}

void TABSCursor::SetProjection(const std::vector<std::string>& field_names, const std::vector<std::string>& aliases) {
  if (field_names.size() != aliases.size())
    RaiseError(10321, static_cast<int32_t>(field_names.size()), static_cast<int32_t>(aliases.size()));
  if (field_names.empty()) RaiseError(10322);
  // Built aside, so that a refused name leaves the visible fields as they were.
  TABSFieldDefs visible;
  for (size_t i = 0; i < field_names.size(); ++i) {
    const int32_t no = TableFields.IndexOf(field_names[i]);
    if (no < 0) RaiseError(10323, field_names[i]);
    TABSFieldDef* copy = visible.AddFieldDef();
    copy->Assign(*TableFields.Item(no));
    copy->TableFieldNo = no;
    std::string name = aliases[i].empty() ? TableFields.Item(no)->Name : aliases[i];
    if (!aliases[i].empty()) {
      for (int32_t counter = 1; visible.IndexOf(name) >= 0 && visible.Find(name) != copy; ++counter)
        name = aliases[i] + "_" + std::to_string(counter);
    }
    copy->Name = name;
  }
  VisibleFields.Clear();
  for (int32_t i = 0; i < visible.Count(); ++i) {
    TABSFieldDef* copy = VisibleFields.AddFieldDef();
    copy->Assign(*visible.Item(i));
    copy->TableFieldNo = visible.Item(i)->TableFieldNo;
  }
  projection_ = true;
}

void TABSCursor::NewRecord() {
  if (!table_ || !CurrentRecord) RaiseError(10011);
  std::lock_guard guard(database_->Lock());
  if (Temporary)
    table_->FieldManager().Layout().InitRecord(CurrentRecord);
  else
    table_->FieldManager().NewRecord(Session, CurrentRecord);
}

int32_t TABSCursor::ReadCurrent() {
  if (!table_ || !CurrentRecord) RaiseError(10011);
  if (AtBegin || AtEnd) return grrNotFound;
  std::lock_guard guard(database_->Lock());
  return table_->ReadRecord(session_id(), Position, CurrentRecord) ? grrFound : grrNotFound;
}

int32_t TABSCursor::Step(int32_t mode) {
  if (!table_ || !CurrentRecord) RaiseError(10011);
  return table_->GetRecord(this, mode);
}

int32_t TABSCursor::PostInsert() {
  if (!table_ || !CurrentRecord) RaiseError(10011);
  std::lock_guard guard(database_->Lock());
  table_->FieldManager().ApplyAutoincValues(Session, CurrentRecord);
  if (!table_->IsTemporary() &&
      !table_->CheckConstraints(this, CurrentRecord, nullptr, false, &LastMessage, &LastNativeError))
    return roConstraintFailed;
  return table_->InsertRecord(this) ? roOK : roInsertFailed;
}

int32_t TABSCursor::BeginEdit() {
  if (!table_ || !CurrentRecord) RaiseError(10011);
  if (table_->IsTemporary()) return roTemporaryUpdate;
  std::lock_guard guard(database_->Lock());
  if (AtBegin || AtEnd || !table_->ReadRecord(session_id(), Position, RecordBeforeEdit)) return roUpdateDeleted;
  std::memcpy(CurrentRecord, RecordBeforeEdit, static_cast<size_t>(RecordSize));
  return roOK;
}

int32_t TABSCursor::PostEdit() {
  if (!table_ || !CurrentRecord) RaiseError(10011);
  if (table_->IsTemporary()) return roTemporaryUpdate;
  std::lock_guard guard(database_->Lock());
  const TABSRecordLayout& layout = table_->FieldManager().Layout();
  std::vector<uint8_t> stored(static_cast<size_t>(RecordSize));
  if (AtBegin || AtEnd || !table_->ReadRecord(session_id(), Position, stored.data())) return roUpdateDeleted;
  if (!layout.CompareRecordImages(stored.data(), RecordBeforeEdit)) return roUpdateModified;
  if (!table_->CheckConstraints(this, CurrentRecord, RecordBeforeEdit, false, &LastMessage, &LastNativeError))
    return roConstraintFailed;
  return table_->UpdateRecord(this) ? roOK : roUpdateFailed;
}

int32_t TABSCursor::DeleteCurrent() {
  if (!table_ || !CurrentRecord) RaiseError(10011);
  if (table_->IsTemporary()) return roTemporaryDelete;
  std::lock_guard guard(database_->Lock());
  const TABSRecordLayout& layout = table_->FieldManager().Layout();
  std::vector<uint8_t> stored(static_cast<size_t>(RecordSize));
  if (AtBegin || AtEnd || !table_->ReadRecord(session_id(), Position, stored.data())) return roDeleteDeleted;
  if (!layout.CompareRecordImages(stored.data(), CurrentRecord)) return roDeleteModified;
  if (!table_->DeleteRecord(this)) return roDeleteFailed;
  if (!AtBegin && !AtEnd) table_->ReadRecord(session_id(), Position, CurrentRecord);
  return roOK;
}

}  // namespace dadoveri
