#include "engine/database/local_cursor.h"

#include <cstring>
#include <mutex>

#include "engine/base/engine_error.h"
#include "engine/table/database_data.h"
#include "engine/table/session.h"
#include "engine/table/table_data.h"

namespace dadoveri {

TABSLocalCursor::~TABSLocalCursor() = default;

TABSTableData& TABSLocalCursor::table() const {
  if (!TableData()) RaiseError(10380);
  return *TableData();
}

void TABSLocalCursor::refresh_index_copies() {
  if (!table().HasManagers()) return;
  IndexDefs.Assign(table().IndexManager().IndexDefs);
  ConstraintDefs.Assign(table().ConstraintManager().ConstraintDefs);
  // The active index may be gone.
  if (IsIndexActive() && !IndexDefs.FindByObjectID(ActiveIndexID)) SetIndexName("");
}

void TABSLocalCursor::CreateTable(const TABSFieldDefs& fields, const TABSIndexDefs& indexes,
                                  const TABSConstraintDefs& constraints) {
  TABSDatabaseData* database = Database();
  if (!database) RaiseError(10380);
  if (table().FieldDefs().Count() > 0) {
    // A table of this name exists: it goes first, and the cursor takes the new object.
    table().DropTable(this, false);
    Close();
    Open(*database);
  }
  table().CreateTable(this, fields, indexes, constraints);
  RefreshDefinitions();
  refresh_index_copies();
}

void TABSLocalCursor::DeleteTable() { table().DropTable(this, false); }

void TABSLocalCursor::EmptyTable() { table().EmptyTable(this); }

void TABSLocalCursor::RenameTable(const std::string& new_name) {
  table().RenameTable(this, new_name);
  TableName = new_name;
}

void TABSLocalCursor::RefreshDefinitions() { refresh_definitions(); }

void TABSLocalCursor::Open(TABSDatabaseData& database) { open_on(database); }

void TABSLocalCursor::Close() {
  FreeBlobStreams(false);
  close_cursor();
}

void TABSLocalCursor::Lock() {
  if (!Database()) RaiseError(10380);
  Database()->Lock().lock();
}

void TABSLocalCursor::Unlock() {
  if (!Database()) RaiseError(10380);
  Database()->Lock().unlock();
}

bool TABSLocalCursor::LockTable(int32_t, int32_t, bool, int32_t) { return true; }

void TABSLocalCursor::UnlockTable(int32_t, bool) {}

void TABSLocalCursor::RenameField(const std::string& old_name, const std::string& new_name) {
  table().RenameField(old_name, new_name);
  RefreshDefinitions();
}

TABSIndexDefs& TABSLocalCursor::GetIndexDefs() {
  if (TableData()) {
    std::lock_guard guard(Database()->Lock());
    refresh_index_copies();
  }
  return IndexDefs;
}

void TABSLocalCursor::AddIndex(TABSIndexDef& definition) {
  std::lock_guard guard(Database()->Lock());
  if (table().IndexManager().IndexDefs.Find(definition.Name)) RaiseError(20022, definition.Name);
  table().AddIndex(this, definition);
  refresh_index_copies();
}

void TABSLocalCursor::DeleteIndex(const std::string& name) {
  std::lock_guard guard(Database()->Lock());
  const TABSIndexDef* definition = table().IndexManager().IndexDefs.Find(name);
  if (!definition) RaiseError(20021, name);
  table().DropIndex(this, definition->ObjectID);
  refresh_index_copies();
}

void TABSLocalCursor::DeleteAllIndexes() {
  std::lock_guard guard(Database()->Lock());
  while (table().IndexManager().IndexDefs.Count() > 0)
    table().DropIndex(this, table().IndexManager().IndexDefs.Item(0)->ObjectID);
  refresh_index_copies();
}

namespace {

// Visible names become table field names (a projection may rename fields).
std::vector<std::string> table_names(const TABSCursor& cursor, const std::vector<std::string>& names) {
  std::vector<std::string> result;
  for (const std::string& name : names) {
    const TABSFieldDef* visible = cursor.VisibleFields.Find(name);
    if (visible && visible->TableFieldNo >= 0 && visible->TableFieldNo < cursor.TableFields.Count())
      result.push_back(cursor.TableFields.Item(visible->TableFieldNo)->Name);
    else
      result.push_back(name);
  }
  return result;
}

}  // namespace

std::string TABSLocalCursor::FindOrBuildIndexForFields(const std::vector<std::string>& field_names,
                                                       const std::vector<std::string>& directions,
                                                       const std::vector<std::string>& cases) {
  std::lock_guard guard(Database()->Lock());
  const int32_t id = table().FindOrBuildIndex(this, table_names(*this, field_names), directions, cases);
  refresh_index_copies();
  const TABSIndexDef* definition = IndexDefs.FindByObjectID(id);
  if (!definition) RaiseError(20018);
  return definition->Name;
}

bool TABSLocalCursor::HasIndexForFields(const std::vector<std::string>& field_names,
                                        const std::vector<std::string>& directions,
                                        const std::vector<std::string>& cases) {
  std::lock_guard guard(Database()->Lock());
  const std::vector<std::string> names = table_names(*this, field_names);
  return table().IndexManager().IndexDefs.FindMatchingIndex(table().FieldDefs(), &names, &directions, &cases,
                                                            session_id()) != -1;
}

void TABSLocalCursor::CopyField(int32_t field_no, bool table_numbering, TABSCursor& other, int32_t other_field_no) {
  const int32_t from = table_field_no(field_no, table_numbering, 10501);
  if (other_field_no < 0 || other_field_no >= other.TableFields.Count())
    RaiseError(10502, other_field_no, other.TableFields.Count());
  if (!CurrentRecord || !other.CurrentRecord || !other.TableData()) RaiseError(10011);
  const TABSRecordLayout& mine = table().FieldManager().Layout();
  const TABSRecordLayout& theirs = other.TableData()->FieldManager().Layout();
  if (mine.IsNull(from, CurrentRecord)) {
    theirs.SetNull(other_field_no, other.CurrentRecord);
    return;
  }
  const TABSFieldLayout& a = mine.Field(from);
  const TABSFieldLayout& b = theirs.Field(other_field_no);
  if (IsBlobBaseType(a.BaseType) && IsBlobBaseType(b.BaseType)) {
    // The whole value, read from this table's BLOB store and written as the other
    // record's change (stored with its post).
    std::vector<uint8_t> data;
    if (!table().GetBlobValue(session_id(), from, CurrentRecord, data)) {
      theirs.SetNull(other_field_no, other.CurrentRecord);
      return;
    }
    other.TableData()->SetBlobValue(other.Session->SessionID, other_field_no, other.CurrentRecord, data.data(),
                                    static_cast<int64_t>(data.size()));
    return;
  }
  if (a.BaseType == b.BaseType && a.MemoryDataSize == b.MemoryDataSize) {
    std::memcpy(other.CurrentRecord + b.MemoryOffset, CurrentRecord + a.MemoryOffset,
                static_cast<size_t>(a.MemoryDataSize));
    theirs.ClearNull(other_field_no, other.CurrentRecord);
    return;
  }
  TABSVariant value;
  mine.GetFieldValue(from, CurrentRecord, value);
  theirs.SetFieldValue(other_field_no, value, other.CurrentRecord);
}

void TABSLocalCursor::InitRecordBuffer(void* buffer, bool apply_defaults) {
  if (!buffer) RaiseError(10011);
  std::lock_guard guard(Database()->Lock());
  if (apply_defaults && !Temporary)
    table().FieldManager().NewRecord(Session, buffer);
  else
    table().FieldManager().Layout().InitRecord(buffer);
}

void TABSLocalCursor::ReleaseRecordBuffer(void*& buffer) {
  if (buffer && TableData()) TableData()->ReleaseRecordExtras(buffer);
  TABSCursor::ReleaseRecordBuffer(buffer);
}

int64_t TABSLocalCursor::GetRecordCount() { return table().CursorRecordCount(this); }

int32_t TABSLocalCursor::GetRecord(int32_t mode) { return table().GetRecord(this, mode); }

void TABSLocalCursor::SetRecordNo(int64_t n) { table().SetRecordNo(this, n); }

int64_t TABSLocalCursor::GetRecordNo() { return table().GetRecordNo(this); }

void TABSLocalCursor::Cancel(bool) { FreeBlobStreams(true); }

void TABSLocalCursor::SetKeyFields(const std::vector<std::string>& field_names,
                                   const std::vector<std::string>& directions,
                                   const std::vector<std::string>& cases) {
  const std::string name = FindOrBuildIndexForFields(field_names, directions, cases);
  SetIndexName(name);
  KeyFieldCount = static_cast<int32_t>(field_names.size());
  InvalidateBitmap();
}

void TABSLocalCursor::SetFilter(std::u16string_view text, bool case_insensitive, bool partial) {
  SetFilterExpression(FilterFactory()->CompileFilter(*this, text, case_insensitive, partial));
}

void TABSLocalCursor::ClearFilter() { SetFilterExpression(nullptr); }

bool TABSLocalCursor::Locate(std::string_view field_names, std::span<const TABSVariant> values, bool partial,
                             bool case_insensitive) {
  std::unique_ptr<TABSCursorFilter> condition =
      FilterFactory()->CompileLocate(*this, field_names, values, partial, case_insensitive);
  return table().Locate(this, condition.get());
}

bool TABSLocalCursor::FindKey(int32_t kind) { return table().FindKey(this, kind); }

bool TABSLocalCursor::LocateByComparison(std::string_view field_name, uint8_t op, const TABSVariant& value) {
  std::unique_ptr<TABSCursorFilter> condition = FilterFactory()->CompileComparison(*this, field_name, op, value);
  return table().Locate(this, condition.get());
}

void TABSLocalCursor::OpenBlobStream(int32_t field_no, int32_t mode) {
  if (field_no < 0 || field_no >= VisibleFields.Count()) RaiseError(10118, field_no, VisibleFields.Count());
  const int32_t no = table_field_no(field_no, false, 10118);
  if (blob_streams_.count(field_no)) RaiseError(10115, field_no, VisibleFields.Item(field_no)->Name);
  if (!CurrentRecord) RaiseError(10011);
  if (!table().IsBlobField(no)) RaiseError(10118, field_no, VisibleFields.Count());
  std::lock_guard guard(Database()->Lock());
  auto open_mode = static_cast<TABSBlobOpenMode>(mode);
  std::unique_ptr<TABSBlobFieldStream> field =
      table().OpenBlobStream(session_id(), no, CurrentRecord, open_mode == bomWrite);
  blob_streams_[field_no] = std::make_unique<TABSLocalBLOBStream>(no, open_mode, std::move(field));
}

void TABSLocalCursor::CloseBlobStream(int32_t field_no) {
  auto it = blob_streams_.find(field_no);
  if (it == blob_streams_.end()) return;
  std::unique_ptr<TABSLocalBLOBStream> stream = std::move(it->second);
  blob_streams_.erase(it);
  if (stream->Writing() && stream->Modified() && CurrentRecord && TableData()) {
    std::lock_guard guard(Database()->Lock());
    table().StoreBlob(session_id(), CurrentRecord, stream->FieldStream());
  }
}

void TABSLocalCursor::FreeBlobStreams(bool only_writing) {
  std::erase_if(blob_streams_, [only_writing](const auto& entry) { return !only_writing || entry.second->Writing(); });
}

TABSLocalBLOBStream* TABSLocalCursor::BlobStream(int32_t field_no) const {
  auto it = blob_streams_.find(field_no);
  return it == blob_streams_.end() ? nullptr : it->second.get();
}

int64_t TABSLocalCursor::LastAutoincValue(int32_t field_no) { return table().LastAutoincValue(this, field_no); }

void TABSLocalCursor::NotePendingChanges() {
  if (!Session->InTransaction) PendingChanges = true;
}

void TABSLocalCursor::CommitPendingChanges() {
  if (Session->InTransaction || !PendingChanges) return;
  PendingChanges = false;
  table().CommitChanges(session_id(), false);
}

void TABSLocalCursor::RollbackPendingChanges() {
  if (Session->InTransaction || !PendingChanges) return;
  PendingChanges = false;
  table().RollbackChanges(session_id(), false);
}

bool TABSLocalCursor::CheckConstraints(const void* record, const void* old_record, std::string* message,
                                       int32_t* code) {
  return table().CheckConstraints(this, record, old_record, false, message, code);
}

}  // namespace dadoveri
