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

TABSCursor::TABSCursor(TABSBaseSession* session, std::string table_name)
    : TableName(std::move(table_name)), Session(session) {
  if (!Session) RaiseError(10009);
}

TABSCursor::~TABSCursor() { Close(); }

int32_t TABSCursor::session_id() const { return Session->SessionID; }

void TABSCursor::Open(TABSDatabaseData& database) {
  std::lock_guard guard(database.Lock());
  if (table_) return;
  TABSTableData* table = database.FindOrOpenTableData(TableName);
  if (!table) RaiseError(10151, TableName);
  table->AddCursor(this);
  table_ = table;
  database_ = &database;
  RefreshDefinitions();
  GoToBegin();
}

void TABSCursor::Close() {
  if (!table_) return;
  std::lock_guard guard(database_->Lock());
  TABSTableData* table = std::exchange(table_, nullptr);
  table->RemoveCursor(this);
  if (table->Cursors().empty() && (table->Dropped() || !table->KeepWhenUnused())) database_->CloseTableData(table);
  free_buffers();
  Bitmap.Invalidate();
  PositionCache.Valid = false;
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

void TABSCursor::RefreshDefinitions() {
  if (!table_) RaiseError(10380);
  std::lock_guard guard(database_->Lock());
  const int32_t size = table_->FieldDefs().Count() > 0 ? table_->MemoryRecordSize() : 0;
  if (size == RecordSize && CurrentRecord) return;
  free_buffers();
  RecordSize = size;
  if (RecordSize > 0) {
    CurrentRecord = static_cast<uint8_t*>(AllocateRecordBuffer());
    RecordBeforeEdit = static_cast<uint8_t*>(AllocateRecordBuffer());
  }
}

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
}

void TABSCursor::FreeBookmark(void*& bookmark) const { MemoryManager().FreeAndNillMem(bookmark); }

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
  std::lock_guard guard(database_->Lock());
  TABSIndexGetRecordRequest request;
  request.Mode = static_cast<TABSGetRecordMode>(mode);
  request.RecordBuffer = CurrentRecord;
  table_->PlainStep(this, request);
  switch (request.Result) {
    case grrFound:
      Position = request.RecordID;
      AtBegin = AtEnd = false;
      break;
    case grrBeginReached: GoToBegin(); break;
    case grrEndReached: GoToEnd(); break;
    default: break;
  }
  return request.Result;
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
