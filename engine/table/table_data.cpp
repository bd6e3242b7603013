#include "engine/table/table_data.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "engine/base/engine_error.h"
#include "engine/platform/sleep.h"
#include "engine/storage/page_manager.h"
#include "engine/table/comparison.h"
#include "engine/table/cursor.h"
#include "engine/table/database_data.h"
#include "engine/table/session.h"

namespace dadoveri {

namespace {

int32_t session_of(const TABSCursor* cursor) {
  if (!cursor || !cursor->Session) RaiseError(10009);
  return cursor->Session->SessionID;
}

bool in_transaction(const TABSCursor* cursor) { return cursor->Session->InTransaction; }

// The steps of a record operation that a failure may interrupt.
enum Step { kInsertStep, kUpdateStep, kDeleteStep };

}  // namespace

// ---- index manager ----

TABSBaseIndexManager::TABSBaseIndexManager(TABSTableData* table, TABSPageManager* pages,
                                           TABSPageManager* temporary_pages)
    : table_(table), pages_(pages), temporary_pages_(temporary_pages) {}

TABSBaseIndexManager::~TABSBaseIndexManager() = default;

void TABSBaseIndexManager::LoadFromStream(TABSMetaReader& stream) {
  CloseAll();
  IndexDefs.LoadFromStream(stream);
}

void TABSBaseIndexManager::SaveToStream(TABSMetaWriter& stream) const {
  const_cast<TABSBaseIndexManager*>(this)->SyncDefinitions();
  IndexDefs.SaveToStream(stream);
}

void TABSBaseIndexManager::Assign(const TABSIndexDefs& source) {
  CloseAll();
  IndexDefs.Assign(source);
}

TABSBTreeRecordIndex* TABSBaseIndexManager::OpenIndex(int32_t object_id) {
  for (OpenEntry& entry : open_)
    if (entry.object_id == object_id) return entry.index.get();
  TABSIndexDef* definition = IndexDefs.FindByObjectID(object_id);
  if (!definition) RaiseError(20018);
  auto index = std::make_unique<TABSBTreeRecordIndex>(PagesOf(*definition), &table_->FieldDefs(), table_);
  index->Open(*definition);
  index->Tree().TrustRightEnd(trust_right_ends_);
  open_.push_back({object_id, std::move(index)});
  return open_.back().index.get();
}

void TABSBaseIndexManager::CreateAllIndexes(int32_t session) {
  CloseAll();
  for (int32_t i = 0; i < IndexDefs.Count(); ++i) {
    TABSIndexDef* definition = IndexDefs.Item(i);
    auto index = std::make_unique<TABSBTreeRecordIndex>(PagesOf(*definition), &table_->FieldDefs(), table_);
    index->Create(session, true, *definition);
    index->Tree().TrustRightEnd(trust_right_ends_);
    definition->ChangeStamp = table_->TableChangeCounter();
    open_.push_back({definition->ObjectID, std::move(index)});
  }
}

void TABSBaseIndexManager::InsertRecord(int32_t session, const void* record, const TABSRecordID& id) {
  for (int32_t i = 0; i < IndexDefs.Count(); ++i) {
    TABSIndexDef* definition = IndexDefs.Item(i);
    if (definition->Temporary) continue;
    OpenIndex(definition->ObjectID)->Insert(session, record, id);
    ++definition->ChangeStamp;
  }
}

void TABSBaseIndexManager::UpdateRecord(int32_t session, const void* old_record, const void* new_record,
                                        const TABSRecordID& id, bool second_call) {
  for (int32_t i = 0; i < IndexDefs.Count(); ++i) {
    TABSIndexDef* definition = IndexDefs.Item(i);
    if (definition->Temporary) continue;
    OpenIndex(definition->ObjectID)->Update(session, old_record, new_record, id, second_call);
    if (second_call) ++definition->ChangeStamp;
  }
}

void TABSBaseIndexManager::DeleteRecord(int32_t session, const void* record, const TABSRecordID& id) {
  for (int32_t i = 0; i < IndexDefs.Count(); ++i) {
    TABSIndexDef* definition = IndexDefs.Item(i);
    if (definition->Temporary) continue;
    OpenIndex(definition->ObjectID)->Delete(session, record, id);
    ++definition->ChangeStamp;
  }
}

void TABSBaseIndexManager::EmptyAll(int32_t session) {
  for (int32_t i = 0; i < IndexDefs.Count(); ++i) {
    TABSIndexDef* definition = IndexDefs.Item(i);
    OpenIndex(definition->ObjectID)->Empty(session);
    ++definition->ChangeStamp;
  }
}

void TABSBaseIndexManager::DropIndex(int32_t session, int32_t object_id) {
  TABSBTreeRecordIndex* index = OpenIndex(object_id);
  index->Drop(session);
  open_.erase(std::find_if(open_.begin(), open_.end(), [&](const OpenEntry& e) { return e.object_id == object_id; }));
  IndexDefs.Delete(IndexDefs.IndexOfObjectID(object_id));
}

void TABSBaseIndexManager::CloseAll() { open_.clear(); }

void TABSBaseIndexManager::RenameField(const std::string& old_name, const std::string& new_name) {
  for (int32_t i = 0; i < IndexDefs.Count(); ++i)
    for (TABSIndexColumn& column : IndexDefs.Item(i)->Columns)
      if (SameName(column.FieldName, old_name)) column.FieldName = new_name;
  // The open indexes built their keys from the old names.
  CloseAll();
}

void TABSBaseIndexManager::RefreshTemporaryIndex(int32_t session, int32_t object_id) {
  TABSIndexDef* definition = IndexDefs.FindByObjectID(object_id);
  if (!definition || !definition->Temporary || rebuilding_) return;
  if (definition->ChangeStamp == table_->TableChangeCounter()) return;
  // Rebuilding reads the table, and reading may ask for the index again.
  rebuilding_ = true;
  try {
    TABSBTreeRecordIndex* index = OpenIndex(object_id);
    index->Rebuild(session, true);
    definition->RootPageNo = index->RootPageNo();
    definition->ChangeStamp = table_->TableChangeCounter();
    // Temporary indexes are never undone by a rollback: their pages are made permanent
    // at once, so a later rollback cannot release pages the tree still uses.
    temporary_pages_->CommitPages(session);
  } catch (...) {
    rebuilding_ = false;
    CloseAll();
    temporary_pages_->RollbackPages(session);
    throw;
  }
  rebuilding_ = false;
}

void TABSBaseIndexManager::SyncDefinitions() {
  for (OpenEntry& entry : open_) {
    TABSIndexDef* definition = IndexDefs.FindByObjectID(entry.object_id);
    if (definition) definition->RootPageNo = entry.index->RootPageNo();
  }
}

// ---- table data ----

TABSTableData::TABSTableData(TABSDatabaseData* database, std::string table_name, TABSPageManager* pages)
    : database_(database),
      table_name_(std::move(table_name)),
      pages_(pages),
      field_manager_(std::make_unique<TABSBaseFieldManager>()),
      constraint_manager_(std::make_unique<TABSBaseConstraintManager>()) {
  if (!database_) RaiseError(10010);
  if (!pages_) RaiseError(10013);
}

TABSTableData::~TABSTableData() {
  // Cursors still open on a table whose registry goes must not reach back into it.
  for (TABSCursor* cursor : cursors_) cursor->DetachFromTable();
}

void TABSTableData::require_managers() const {
  if (!record_manager_) RaiseError(10014);
  if (!index_manager_) RaiseError(10015);
  if (!field_manager_) RaiseError(10016);
  if (!constraint_manager_) RaiseError(10017);
}

void TABSTableData::SetFieldDefs(const TABSFieldDefs& fields) {
  std::lock_guard guard(database_->Lock());
  field_defs_.Assign(fields);
  for (int32_t i = 0; i < field_defs_.Count(); ++i) field_defs_.Item(i)->ObjectID = database_->GetNextObjectID();
  field_defs_.RecomputeOffsets();
  field_manager_ = std::make_unique<TABSBaseFieldManager>(field_defs_.RecordLayout());
  field_manager_->ResetAutoincCounters();
}

void TABSTableData::SetIndexDefs(const TABSIndexDefs& indexes) {
  std::lock_guard guard(database_->Lock());
  if (!index_manager_) index_manager_ = std::make_unique<TABSBaseIndexManager>(this, pages_, TemporaryPages());
  index_manager_->Assign(indexes);
  for (int32_t i = 0; i < index_manager_->IndexDefs.Count(); ++i)
    index_manager_->IndexDefs.Item(i)->ObjectID = database_->GetNextObjectID();
}

void TABSTableData::SetConstraintDefs(const TABSConstraintDefs& constraints) {
  std::lock_guard guard(database_->Lock());
  for (int32_t i = 0; i < constraints.Count(); ++i) {
    const uint8_t type = constraints.Item(i)->ConstraintType;
    if (type != ctPrimaryKey && type != ctUnique && type != ctNotNull && type != ctCheck) RaiseError(30058);
  }
  auto manager = std::make_unique<TABSBaseConstraintManager>();
  manager->ConstraintDefs.Assign(constraints);
  for (int32_t i = 0; i < manager->ConstraintDefs.Count(); ++i)
    manager->ConstraintDefs.Item(i)->ObjectID = database_->GetNextObjectID();
  manager->ConstraintDefs.SetTableName(table_name_);
  if (index_manager_) manager->ConstraintDefs.ResolveReferences(field_defs_, index_manager_->IndexDefs);
  manager->ConstraintDefs.GenerateNames();
  constraint_manager_ = std::move(manager);
}

int32_t TABSTableData::RecordLayout() {
  if (field_defs_.Count() == 0) RaiseError(10131);
  return field_defs_.MemoryRecordSize();
}

void TABSTableData::CommitChanges(int32_t session, bool in_transaction) {
  if (in_transaction) return;
  pages_->CommitPages(session);
}

void TABSTableData::RollbackChanges(int32_t session, bool in_transaction) {
  if (in_transaction) return;
  pages_->RollbackPages(session);
}

void TABSTableData::DropTable(TABSCursor* cursor, bool forced) {
  std::lock_guard guard(database_->Lock());
  if (!forced) {
    for (TABSCursor* other : cursors_)
      if (other != cursor) RaiseError(20017, table_name_);
  }
}

void TABSTableData::RenameTable(TABSCursor* cursor, const std::string& new_name) {
  std::lock_guard guard(database_->Lock());
  for (TABSCursor* other : cursors_)
    if (other != cursor) RaiseError(10150, table_name_);
  table_name_ = new_name;
  if (index_manager_) {
    TABSConstraintDefs& constraints = constraint_manager_->ConstraintDefs;
    constraints.SetTableName(new_name);
  }
}

void TABSTableData::AddCursor(TABSCursor* cursor) {
  std::lock_guard guard(database_->Lock());
  if (!cursor) RaiseError(10018);
  cursors_.push_back(cursor);
}

void TABSTableData::RemoveCursor(TABSCursor* cursor) {
  std::lock_guard guard(database_->Lock());
  const auto it = std::find(cursors_.begin(), cursors_.end(), cursor);
  if (it != cursors_.end()) cursors_.erase(it);
}

void TABSTableData::RenameField(const std::string& old_name, const std::string& new_name) {
  std::lock_guard guard(database_->Lock());
  require_managers();
  TABSFieldDef* field = field_defs_.Find(old_name);
  if (!field) RaiseError(30343, old_name);
  TABSFieldDef* taken = field_defs_.Find(new_name);
  if (taken && taken != field) RaiseError(30344, old_name, new_name);
  field->Name = new_name;
  field_manager_->Layout().Fields()[static_cast<size_t>(field_defs_.IndexOf(new_name))].Name = new_name;
  index_manager_->RenameField(old_name, new_name);
  TABSConstraintDefs& constraints = constraint_manager_->ConstraintDefs;
  for (int32_t i = 0; i < constraints.Count(); ++i) {
    TABSConstraintDef* c = constraints.Item(i);
    if (c->ConstraintType == ctNotNull || c->ConstraintType == ctCheck) {
      if (SameName(c->TargetName().Name, old_name)) c->TargetName().Name = new_name;
    } else {
      for (TABSConstraintColumn& column : static_cast<TABSConstraintDefUnique*>(c)->Columns)
        if (SameName(column.FieldName, old_name)) column.FieldName = new_name;
    }
  }
}

int32_t TABSTableData::AddIndex(TABSCursor* cursor, TABSIndexDef& definition) {
  std::lock_guard guard(database_->Lock());
  require_managers();
  const int32_t session = session_of(cursor);
  TABSIndexDefs& defs = index_manager_->IndexDefs;
  if (defs.Find(definition.Name)) RaiseError(20022, definition.Name);
  definition.ObjectID = database_->GetNextObjectID();
  TABSIndexDef* added = defs.AddIndexDef();
  added->Assign(definition);
  TABSPageManager* pages = index_manager_->PagesOf(*added);
  try {
    TABSBTreeRecordIndex* index = index_manager_->OpenIndex(added->ObjectID);
    index->Create(session, true, *added);
    added->ChangeStamp = TableChangeCounter();
  } catch (...) {
    defs.Delete(defs.IndexOfObjectID(definition.ObjectID));
    index_manager_->CloseAll();
    if (pages != pages_) pages->RollbackPages(session);
    RollbackChanges(session, in_transaction(cursor));
    throw;
  }
  definition.RootPageNo = added->RootPageNo;
  if (!added->Temporary && !cursor->Temporary) {
    if (auto derived = DeriveConstraintFromIndex(*added)) {
      derived->ObjectID = database_->GetNextObjectID();
      derived->TableName().Name = table_name_;
      TABSConstraintDefs& constraints = constraint_manager_->ConstraintDefs;
      constraints.AddConstraint(std::move(derived));
      constraints.ResolveReferences(field_defs_, defs);
    }
  }
  if (pages != pages_) pages->CommitPages(session);
  CommitChanges(session, in_transaction(cursor));
  return definition.ObjectID;
}

void TABSTableData::DropIndex(TABSCursor* cursor, int32_t object_id) {
  std::lock_guard guard(database_->Lock());
  require_managers();
  const int32_t session = session_of(cursor);
  TABSIndexDef* definition = index_manager_->IndexDefs.FindByObjectID(object_id);
  if (!definition) RaiseError(20018);
  TABSPageManager* pages = index_manager_->PagesOf(*definition);
  TABSConstraintDefs& constraints = constraint_manager_->ConstraintDefs;
  const int32_t derived = constraints.IndexOfDerived(object_id);
  if (derived >= 0) constraints.Delete(derived);
  index_manager_->DropIndex(session, object_id);
  for (TABSCursor* c : cursors_) {
    if (c->ActiveIndexID == object_id) {
      c->ActiveIndexID = -1;
      c->IndexName.clear();
      c->Bitmap.Invalidate();
    }
  }
  if (pages != pages_) pages->CommitPages(session);
  CommitChanges(session, in_transaction(cursor));
}

void TABSTableData::FreeBlobs(int32_t session, void* memory_record) {
  if (!field_manager_->CheckBlobFields()) return;
  for (int32_t i = 0; i < field_defs_.Count(); ++i)
    if (IsBlobBaseType(field_defs_.Item(i)->BaseType)) FreeBlob(session, i, memory_record);
}

// ---- BLOB fields ----

bool TABSTableData::IsBlobField(int32_t field_no) const {
  return field_no >= 0 && field_no < field_defs_.Count() && IsBlobBaseType(field_defs_.Item(field_no)->BaseType);
}

uint8_t* TABSTableData::blob_field(int32_t field_no, void* record) const {
  if (!field_manager_ || !IsBlobField(field_no)) RaiseError(20162);
  return static_cast<uint8_t*>(record) + field_manager_->Layout().Field(field_no).MemoryOffset;
}

const uint8_t* TABSTableData::blob_field(int32_t field_no, const void* record) const {
  return blob_field(field_no, const_cast<void*>(record));
}

bool TABSTableData::load_blob(int32_t, int32_t, const uint8_t*, TABSBlobValue&) { return false; }

void TABSTableData::save_blob(int32_t, int32_t, const TABSBlobValue&, uint8_t*) { RaiseError(30036); }

void TABSTableData::delete_blob(int32_t, int32_t, uint8_t* field) { clear_blob_reference(field); }

bool TABSTableData::has_stored_blob(const uint8_t*) const { return false; }

void TABSTableData::clear_blob_reference(uint8_t* field) const { std::memset(field, 0, kBlobReferenceSize); }

void TABSTableData::ReleaseRecordExtras(void* memory_record) {
  if (!memory_record || !field_manager_) return;
  for (int32_t i = 0; i < field_defs_.Count(); ++i) {
    if (!IsBlobField(i)) continue;
    uint8_t* field = blob_field(i, memory_record);
    blob_cache_.Release(BlobHandleOf(field));
    SetBlobHandle(field, 0);
  }
}

void TABSTableData::FreeBlob(int32_t session, int32_t field_no, void* memory_record) {
  std::lock_guard guard(database_->Lock());
  require_managers();
  uint8_t* field = blob_field(field_no, memory_record);
  const TABSRecordLayout& layout = field_manager_->Layout();
  if (!layout.IsNull(field_no, memory_record) && has_stored_blob(field)) delete_blob(session, field_no, field);
  clear_blob_reference(field);
  layout.SetNull(field_no, memory_record);
}

bool TABSTableData::ReadBlobData(int32_t session, int32_t field_no, const void* memory_record,
                                 TABSBlobValue& value) {
  std::lock_guard guard(database_->Lock());
  require_managers();
  const uint8_t* field = blob_field(field_no, memory_record);
  if (const TABSBlobCache::Entry* entry = blob_cache_.Find(BlobHandleOf(field)); entry && entry->Changed) {
    value = entry->Value;
    return value.UncompressedSize != 0;
  }
  value = TABSBlobValue{};
  if (field_manager_->Layout().IsNull(field_no, memory_record) || !has_stored_blob(field)) return false;
  return load_blob(session, field_no, field, value);
}

void TABSTableData::WriteBlobData(int32_t, int32_t field_no, void* memory_record, TABSBlobValue value) {
  std::lock_guard guard(database_->Lock());
  require_managers();
  uint8_t* field = blob_field(field_no, memory_record);
  const TABSRecordLayout& layout = field_manager_->Layout();
  if (value.UncompressedSize < 0 || value.BlockCount < 0) RaiseError(20248);
  const bool empty = value.UncompressedSize == 0;
  if (TABSBlobCache::Entry* entry = blob_cache_.Find(BlobHandleOf(field))) {
    entry->Value = std::move(value);
    entry->Changed = true;
  } else {
    SetBlobHandle(field, blob_cache_.Add(std::move(value), true));
  }
  if (empty) layout.SetNull(field_no, memory_record);
  else layout.ClearNull(field_no, memory_record);
}

void TABSTableData::FreeBlobData(int32_t field_no, void* memory_record) {
  std::lock_guard guard(database_->Lock());
  require_managers();
  uint8_t* field = blob_field(field_no, memory_record);
  blob_cache_.Release(BlobHandleOf(field));
  SetBlobHandle(field, 0);
}

void TABSTableData::StoreBlob(int32_t session, void* memory_record, TABSBlobFieldStream& stream) {
  WriteBlobData(session, stream.FieldNo(), memory_record, stream.StoredValue());
}

TABSCompressedStreamParams TABSTableData::blob_params(int32_t field_no) const {
  const TABSFieldDef& def = *field_defs_.Item(field_no);
  if (def.BlobBlockSize == 0) RaiseError(zero_block_size_code());
  TABSCompressedStreamParams params;
  params.BlockSize = def.BlobBlockSize;
  params.CompressionAlgorithm = def.BlobCompressionAlgorithm;
  params.CompressionMode = def.BlobCompressionMode;
  return params;
}

std::unique_ptr<TABSBlobFieldStream> TABSTableData::OpenBlobStream(int32_t session, int32_t field_no,
                                                                   const void* memory_record, bool new_value) {
  std::lock_guard guard(database_->Lock());
  require_managers();
  blob_field(field_no, memory_record);
  const TABSCompressedStreamParams params = blob_params(field_no);
  TABSBlobValue value;
  const bool present = !new_value && ReadBlobData(session, field_no, memory_record, value);
  return std::make_unique<TABSBlobFieldStream>(field_no, params, present ? &value : nullptr, false);
}

bool TABSTableData::GetBlobValue(int32_t session, int32_t field_no, const void* memory_record,
                                 std::vector<uint8_t>& value) {
  std::lock_guard guard(database_->Lock());
  require_managers();
  value.clear();
  TABSBlobValue stored;
  if (!ReadBlobData(session, field_no, memory_record, stored)) return false;
  TABSBlobFieldStream stream(field_no, blob_params(field_no), &stored, false);
  value = stream.ReadAll();
  return true;
}

void TABSTableData::SetBlobValue(int32_t session, int32_t field_no, void* memory_record, const void* data,
                                 int64_t size) {
  std::unique_ptr<TABSBlobFieldStream> stream = OpenBlobStream(session, field_no, memory_record, true);
  if (size > 0 && stream->Value().Write(data, size) != size) RaiseError(10097, 0, 0, 0, size);
  StoreBlob(session, memory_record, *stream);
}

void TABSTableData::write_blobs(int32_t session, uint8_t* record, const uint8_t* old_record,
                                std::vector<int32_t>& stored, std::vector<uint32_t>& handles) {
  const TABSRecordLayout& layout = field_manager_->Layout();
  for (int32_t i = 0; i < field_defs_.Count(); ++i) {
    if (!IsBlobField(i)) continue;
    uint8_t* field = blob_field(i, record);
    const uint32_t handle = BlobHandleOf(field);
    if (handle != 0) handles.push_back(handle);
    SetBlobHandle(field, 0);
    const TABSBlobCache::Entry* entry = blob_cache_.Find(handle);
    if (entry && entry->Changed) {
      if (entry->Value.UncompressedSize == 0) {
        clear_blob_reference(field);
        layout.SetNull(i, record);
      } else {
        save_blob(session, i, entry->Value, field);
        layout.ClearNull(i, record);
        stored.push_back(i);
      }
      continue;
    }
    if (layout.IsNull(i, record) || !has_stored_blob(field)) {
      clear_blob_reference(field);
      layout.SetNull(i, record);
      continue;
    }
    // A reference this record does not own already (a copied buffer) would leave one value
    // referenced twice, and the first delete would pull it from under the other record:
    // such a value is stored again as the record's own copy.
    if (old_record && !layout.IsNull(i, old_record) &&
        std::memcmp(blob_field(i, old_record), field, kBlobReferenceSize) == 0)
      continue;
    TABSBlobValue value;
    if (!load_blob(session, i, field, value) || value.UncompressedSize == 0) {
      clear_blob_reference(field);
      layout.SetNull(i, record);
      continue;
    }
    save_blob(session, i, value, field);
    stored.push_back(i);
  }
}

void TABSTableData::undo_blobs(int32_t session, uint8_t* record, const std::vector<int32_t>& stored) {
  for (int32_t i : stored) {
    try {
      delete_blob(session, i, blob_field(i, record));
    } catch (...) {
      // The session's rollback, where there is one, takes the value back with the pages.
    }
  }
}

void TABSTableData::free_replaced_blobs(int32_t session, const uint8_t* old_record, const uint8_t* new_record) {
  const TABSRecordLayout& layout = field_manager_->Layout();
  std::vector<uint8_t> old_field(10);
  for (int32_t i = 0; i < field_defs_.Count(); ++i) {
    if (!IsBlobField(i) || layout.IsNull(i, old_record)) continue;
    const uint8_t* before = blob_field(i, old_record);
    if (!has_stored_blob(before)) continue;
    if (!layout.IsNull(i, new_record) && std::memcmp(before, blob_field(i, new_record), kBlobReferenceSize) == 0)
      continue;
    std::memcpy(old_field.data(), before, old_field.size());
    delete_blob(session, i, old_field.data());
  }
}

void TABSTableData::free_all_blobs(int32_t session) {
  std::vector<uint8_t> record(static_cast<size_t>(MemoryRecordSize()));
  TABSRecordID id;
  for (bool first = true; ReadNextRecord(session, id, first, record.data()); first = false)
    FreeBlobs(session, record.data());
}

void TABSTableData::EmptyTable(TABSCursor* cursor) {
  std::lock_guard guard(database_->Lock());
  require_managers();
  const int32_t session = session_of(cursor);
  field_manager_->ResetAutoincCounters();
  index_manager_->EmptyAll(session);
  if (field_manager_->CheckBlobFields()) free_all_blobs(session);
  record_manager_->Empty(session);
  for (TABSCursor* c : cursors_) {
    c->Bitmap.Invalidate();
    c->GoToBegin();
  }
  CommitChanges(session, in_transaction(cursor));
}

namespace {

// A cursor whose filter bitmap a key may name: restricted by one expression alone (in
// either slot: both restrict alike), in storage order, and that expression answers from
// the record by itself.
bool bitmap_may_be_kept(TABSCursor* cursor) {
  TABSCursorFilter* only = cursor->Filter ? cursor->Filter.get() : cursor->SecondFilter.get();
  return cursor->Session && only && !(cursor->Filter && cursor->SecondFilter) && !cursor->FilterCallback &&
         !cursor->HasRange() && !cursor->HasDistinctNavigation() && !cursor->IsIndexActive() &&
         only->DependsOnRecordOnly();
}

// The key with the table's fields (name, type, size in order) appended: a statement's
// text names fields, and the same text means other columns once fields are renamed.
std::string with_fields(const std::string& key, const TABSFieldDefs& fields) {
  std::string full = key;
  for (int32_t i = 0; i < fields.Count(); ++i) {
    const TABSFieldDef* f = fields.Item(i);
    const int32_t type = static_cast<int32_t>(f->ColumnType);
    const uint64_t length = f->Name.size();
    full.append(reinterpret_cast<const char*>(&length), sizeof length);
    full += f->Name;
    full.append(reinterpret_cast<const char*>(&type), sizeof type);
    full.append(reinterpret_cast<const char*>(&f->Size), sizeof f->Size);
  }
  return full;
}

}  // namespace

void TABSTableData::RememberBitmap(TABSCursor* cursor, const std::string& key) {
  std::lock_guard guard(database_->Lock());
  if (!record_manager_ || !bitmap_may_be_kept(cursor)) return;
  const TABSRecordBitmap& bitmap = cursor->Bitmap;
  if (bitmap.IndexOrder || !bitmap.IsCurrent(record_manager_->ChangeCounter)) return;
  bitmap_memo_.Remember(with_fields(key, field_defs_), cursor->Session->SessionID, bitmap);
}

bool TABSTableData::RecallBitmap(TABSCursor* cursor, const std::string& key) {
  std::lock_guard guard(database_->Lock());
  if (!record_manager_ || !bitmap_may_be_kept(cursor)) return false;
  return bitmap_memo_.Recall(with_fields(key, field_defs_), cursor->Session->SessionID, record_manager_->ChangeCounter,
                             cursor->Bitmap);
}

void TABSTableData::keep_bitmap(TABSCursor* cursor, const TABSRecordID& id, const void* record,
                               bool was_current) {
  TABSRecordBitmap& bitmap = cursor->Bitmap;
  if (!bitmap.Built) return;
  if (bitmap.IndexOrder || cursor->HasDistinctNavigation()) {
    // Index ordinals of other records move with the change, and a run's first record may
    // change: only a rebuild is right.
    bitmap.Invalidate();
    return;
  }
  bitmap.Bits.SetBit(RecordOrdinal(id), cursor->RecordPassesRestrictions(record));
  if (was_current) bitmap.ChangeCounter = record_manager_->ChangeCounter;
}

void TABSTableData::abandon(TABSCursor* cursor, int step, const TABSRecordID& id, const void* old_record) {
  const int32_t session = session_of(cursor);
  // The open indexes may hold state of pages that the rollback drops.
  index_manager_->CloseAll();
  RollbackChanges(session, in_transaction(cursor));
  if (record_manager_->RecordsInPages()) return;
  // The record store is not pages: undo its step by hand, so that records and indexes
  // stay in step.
  if (step == kInsertStep) {
    record_manager_->DeleteRecord(session, id);
  } else if (step == kUpdateStep && old_record) {
    record_manager_->UpdateRecord(session, old_record, id);
  }
}

bool TABSTableData::InsertRecord(TABSCursor* cursor) {
  std::lock_guard guard(database_->Lock());
  require_managers();
  const int32_t session = session_of(cursor);
  if (!cursor->CurrentRecord) RaiseError(10011);
  TABSRecordID id;
  // The BLOB values go first so that the record is stored with their references. On a
  // failure they are freed and the buffer gets its pending changes back for another try.
  const bool blobs = field_manager_->CheckBlobFields();
  std::vector<uint8_t> before;
  std::vector<int32_t> stored;
  std::vector<uint32_t> handles;
  // `written`: the record step was done. A record kept in pages inside a transaction then
  // stays as it is until the session rolls back, and so do the values it references.
  auto undo = [&](bool written) {
    if (!blobs || (written && record_manager_->RecordsInPages() && in_transaction(cursor))) return;
    undo_blobs(session, cursor->CurrentRecord, stored);
    std::memcpy(cursor->CurrentRecord, before.data(), before.size());
  };
  if (blobs) {
    before.assign(cursor->CurrentRecord, cursor->CurrentRecord + MemoryRecordSize());
    try {
      write_blobs(session, cursor->CurrentRecord, nullptr, stored, handles);
    } catch (...) {
      undo(false);
      RollbackChanges(session, in_transaction(cursor));
      throw;
    }
  }
  const bool bitmap_was_current = cursor->Bitmap.IsCurrent(record_manager_->ChangeCounter);
  if (!record_manager_->InsertRecord(session, cursor->CurrentRecord, id)) {
    undo(false);
    RollbackChanges(session, in_transaction(cursor));
    return false;
  }
  try {
    index_manager_->InsertRecord(session, cursor->CurrentRecord, id);
  } catch (...) {
    undo(true);
    abandon(cursor, kInsertStep, id, nullptr);
    throw;
  }
  for (uint32_t handle : handles) blob_cache_.Release(handle);
  land(cursor, id, cursor->CurrentRecord);
  keep_bitmap(cursor, id, cursor->CurrentRecord, bitmap_was_current);
  CommitChanges(session, in_transaction(cursor));
  return true;
}

bool TABSTableData::UpdateRecord(TABSCursor* cursor) {
  std::lock_guard guard(database_->Lock());
  require_managers();
  const int32_t session = session_of(cursor);
  if (!cursor->CurrentRecord) RaiseError(10012);
  const TABSRecordID id = cursor->Position;
  std::vector<uint8_t> old_record(static_cast<size_t>(MemoryRecordSize()));
  if (!ReadRecord(session, id, old_record.data())) return false;
  // New BLOB values are stored before the record; the old ones it no longer references
  // are freed only once the record is overwritten, so a failed update leaves the stored
  // record with every value it references. A failure frees the new values and gives the
  // buffer its pending changes back.
  const bool blobs = field_manager_->CheckBlobFields();
  std::vector<uint8_t> before;
  std::vector<int32_t> new_blobs;
  std::vector<uint32_t> handles;
  // `written`: the record step was done. A record kept in pages inside a transaction then
  // stays as it is until the session rolls back, and so do the values it references.
  auto undo = [&](bool written) {
    if (!blobs || (written && record_manager_->RecordsInPages() && in_transaction(cursor))) return;
    undo_blobs(session, cursor->CurrentRecord, new_blobs);
    std::memcpy(cursor->CurrentRecord, before.data(), before.size());
  };
  const bool bitmap_was_current = cursor->Bitmap.IsCurrent(record_manager_->ChangeCounter);
  bool stored = false;
  try {
    if (blobs) {
      before.assign(cursor->CurrentRecord, cursor->CurrentRecord + MemoryRecordSize());
      write_blobs(session, cursor->CurrentRecord, old_record.data(), new_blobs, handles);
    }
    index_manager_->UpdateRecord(session, old_record.data(), cursor->CurrentRecord, id, false);
    if (!record_manager_->UpdateRecord(session, cursor->CurrentRecord, id)) {
      undo(false);
      abandon(cursor, kUpdateStep, id, nullptr);
      return false;
    }
    stored = true;
    index_manager_->UpdateRecord(session, old_record.data(), cursor->CurrentRecord, id, true);
    if (blobs) free_replaced_blobs(session, old_record.data(), cursor->CurrentRecord);
  } catch (...) {
    undo(stored);
    abandon(cursor, kUpdateStep, id, stored ? old_record.data() : nullptr);
    throw;
  }
  for (uint32_t handle : handles) blob_cache_.Release(handle);
  land(cursor, id, cursor->CurrentRecord);
  keep_bitmap(cursor, id, cursor->CurrentRecord, bitmap_was_current);
  CommitChanges(session, in_transaction(cursor));
  return true;
}

void TABSTableData::PlainStep(TABSCursor* cursor, TABSRecordGetRequest& request) {
  std::lock_guard guard(database_->Lock());
  require_managers();
  const int32_t session = session_of(cursor);
  request.RecordID = cursor->Position;
  request.GoToFirst = cursor->AtBegin;
  request.GoToLast = cursor->AtEnd;
  if (record_manager_->RecordCount == 0) {
    // Every request on an empty table reaches the end, whichever order the cursor has.
    request.Result = grrEndReached;
    return;
  }
  if (cursor->IsIndexActive() && request.Mode != grmCurrent) {
    index_manager_->RefreshTemporaryIndex(session, cursor->ActiveIndexID);
    request.PositionCache = &cursor->PositionCache;
    index_manager_->OpenIndex(cursor->ActiveIndexID)->GetRecord(session, request);
  } else {
    record_manager_->GetRecord(session, request);
  }
}

bool TABSTableData::DeleteRecord(TABSCursor* cursor) {
  std::lock_guard guard(database_->Lock());
  require_managers();
  const int32_t session = session_of(cursor);
  if (cursor->AtBegin || cursor->AtEnd) return false;
  const TABSRecordID id = cursor->Position;
  std::vector<uint8_t> record(static_cast<size_t>(MemoryRecordSize()));
  if (!ReadRecord(session, id, record.data())) return false;
  // Where the cursor goes: the next record in its order, else the prior one, else the
  // beginning.
  std::vector<uint8_t> scratch(record.size());
  TABSRecordGetRequest step;
  step.Mode = grmNext;
  step.RecordBuffer = scratch.data();
  PlainStep(cursor, step);
  if (step.Result != grrFound) {
    step = TABSRecordGetRequest{};
    step.Mode = grmPrior;
    step.RecordBuffer = scratch.data();
    PlainStep(cursor, step);
  }
  // Only a storage-order bitmap survives a delete: index ordinals of the entries after
  // the deleted one shift, so an index-order bitmap must be rebuilt.
  const bool bitmap_was_current = cursor->Bitmap.IsCurrent(record_manager_->ChangeCounter) &&
                                  !cursor->Bitmap.IndexOrder && !cursor->HasDistinctNavigation();
  try {
    index_manager_->DeleteRecord(session, record.data(), id);
    if (!record_manager_->DeleteRecord(session, id)) {
      abandon(cursor, kDeleteStep, id, nullptr);
      return false;
    }
    // The record's BLOB values go once the record is gone: freed before, a refused delete
    // would leave a record whose references name freed values.
    FreeBlobs(session, record.data());
  } catch (...) {
    abandon(cursor, kDeleteStep, id, nullptr);
    throw;
  }
  TABSRecordBitmap& bitmap = cursor->Bitmap;
  if (bitmap.Built) {
    if (bitmap.IndexOrder) {
      bitmap.Invalidate();
    } else {
      const int64_t ordinal = RecordOrdinal(id);
      if (ordinal >= 0) bitmap.Bits.SetBit(ordinal, false);
      if (bitmap_was_current) bitmap.ChangeCounter = record_manager_->ChangeCounter;
    }
  }
  if (step.Result == grrFound) {
    land(cursor, step.RecordID, scratch.data());
  } else {
    cursor->GoToBegin();
  }
  CommitChanges(session, in_transaction(cursor));
  return true;
}

int64_t TABSTableData::LastAutoincValue(TABSCursor*, int32_t) { return 0; }

void TABSTableData::AfterRollback(int32_t session) {
  std::lock_guard guard(database_->Lock());
  if (!index_manager_) return;
  // Open index objects may hold state from pages the rollback dropped.
  index_manager_->CloseAll();
  for (TABSCursor* c : cursors_) {
    if (!c->Session || c->Session->SessionID != session || !c->IsIndexActive()) continue;
    TABSIndexDef* definition = index_manager_->IndexDefs.FindByObjectID(c->ActiveIndexID);
    if (!definition || !definition->Temporary) continue;
    // Rolled-back records left the table without moving its change counter.
    definition->ChangeStamp = TableChangeCounter() - 1;
    index_manager_->RefreshTemporaryIndex(session, c->ActiveIndexID);
  }
}

bool TABSTableData::ReadRecord(int32_t session, const TABSRecordID& id, void* memory_record) {
  std::lock_guard guard(database_->Lock());
  require_managers();
  TABSRecordGetRequest request;
  request.Mode = grmCurrent;
  request.RecordID = id;
  request.RecordBuffer = memory_record;
  record_manager_->GetRecord(session, request);
  return request.Result == grrFound;
}

bool TABSTableData::ReadNextRecord(int32_t session, TABSRecordID& id, bool from_first, void* memory_record) {
  std::lock_guard guard(database_->Lock());
  require_managers();
  TABSRecordGetRequest request;
  request.Mode = grmNext;
  request.GoToFirst = from_first;
  request.RecordID = id;
  request.RecordBuffer = memory_record;
  record_manager_->GetRecord(session, request);
  if (request.Result != grrFound) return false;
  id = request.RecordID;
  return true;
}

int32_t TABSTableData::TableChangeCounter() const { return record_manager_ ? record_manager_->ChangeCounter : 0; }

int32_t TABSTableData::FindOrBuildIndex(TABSCursor* cursor, const std::vector<std::string>& field_names,
                                        const std::vector<std::string>& directions,
                                        const std::vector<std::string>& cases) {
  std::lock_guard guard(database_->Lock());
  require_managers();
  const int32_t session = session_of(cursor);
  TABSIndexDefs& defs = index_manager_->IndexDefs;
  const int32_t found = defs.FindMatchingIndex(field_defs_, &field_names, &directions, &cases, session);
  if (found >= 0) return found;
  TABSIndexDef definition;
  do {
    definition.Name = "TEMPORARY_INDEX_" + std::to_string(RandomNumber(1000000));
  } while (defs.Find(definition.Name));
  definition.Temporary = true;
  definition.OwnerSession = session;
  TABSIndexDefs::BuildColumns(definition, field_names, directions, cases);
  try {
    const int32_t id = AddIndex(cursor, definition);
    if (!defs.FindByObjectID(id)) RaiseError(10324, id);
    return id;
  } catch (...) {
    RollbackChanges(session, in_transaction(cursor));
    throw;
  }
}

// ---- constraints ----

void TABSTableData::check_one(int32_t session, const TABSConstraintDef& constraint, const void* record,
                              const void* old_record) {
  const TABSRecordLayout& layout = field_manager_->Layout();
  auto field_no_of = [&](int32_t object_id, int32_t code) {
    const int32_t at = field_defs_.IndexOfObjectID(object_id);
    if (at < 0) RaiseError(code, object_id);
    return at;
  };
  switch (constraint.ConstraintType) {
    case ctPrimaryKey:
    case ctUnique: {
      const auto& unique = static_cast<const TABSConstraintDefUnique&>(constraint);
      const bool primary = constraint.ConstraintType == ctPrimaryKey;
      bool all_null = true;
      std::string names;
      for (const TABSConstraintColumn& column : unique.Columns) {
        const int32_t f = field_no_of(column.FieldObjectID, 30329);
        if (!layout.IsNull(f, record)) all_null = false;
        if (!names.empty()) names += ",";
        names += field_defs_.Item(f)->Name;
      }
      if (primary && all_null) RaiseError(30330, constraint.Name, names);
      // No duplicate is possible in an empty table.
      if (record_manager_->RecordCount == 0) return;
      TABSBTreeRecordIndex* index = index_manager_->OpenIndex(constraint.TargetName().ID);
      const bool unique_key = old_record ? index->UniqueAfterChange(session, old_record, record)
                                         : index->IsUnique(session, record);
      if (!unique_key) RaiseError(primary ? 30319 : 30320, constraint.Name);
      return;
    }
    case ctNotNull: {
      const int32_t f = field_no_of(constraint.TargetName().ID, 30024);
      if (layout.IsNull(f, record)) RaiseError(30026, constraint.Name, field_defs_.Item(f)->Name);
      return;
    }
    case ctCheck: {
      const auto& check = static_cast<const TABSConstraintDefCheck&>(constraint);
      const int32_t f = field_no_of(constraint.TargetName().ID, 30028);
      if (layout.IsNull(f, record)) return;
      TABSVariant value;
      layout.GetFieldValue(f, record, value);
      if (!check.MinValue.IsNull() && value.CompareRaw(check.MinValue) == cmpLess)
        RaiseError(30029, constraint.Name, field_defs_.Item(f)->Name, check.MinValue.GetAsString());
      if (!check.MaxValue.IsNull() && value.CompareRaw(check.MaxValue) == cmpGreater)
        RaiseError(30030, constraint.Name, field_defs_.Item(f)->Name, check.MaxValue.GetAsString());
      return;
    }
    default:
      RaiseError(30036);
  }
}

bool TABSTableData::CheckConstraints(TABSCursor* cursor, const void* record, const void* old_record, bool raise,
                                     std::string* message, int32_t* code) {
  std::lock_guard guard(database_->Lock());
  require_managers();
  const int32_t session = session_of(cursor);
  const TABSConstraintDefs& constraints = constraint_manager_->ConstraintDefs;
  for (int32_t i = 0; i < constraints.Count(); ++i) {
    try {
      check_one(session, *constraints.Item(i), record, old_record);
    } catch (const VODIDivodavir& e) {
      if (raise) throw;
      if (message) *message = e.what();
      if (code) *code = e.NativeError;
      return false;
    }
  }
  return true;
}

void TABSTableData::build_indexes_and_commit(int32_t session) {
  try {
    index_manager_->CreateAllIndexes(session);
  } catch (...) {
    index_manager_->CloseAll();
    RollbackChanges(session, false);
    throw;
  }
  CommitChanges(session, false);
}

int64_t TABSTableData::GetRecordCount(int32_t) {
  std::lock_guard guard(database_->Lock());
  return record_manager_ ? record_manager_->RecordCount : 0;
}

void TABSTableData::mark_dropped() {
  dropped_ = true;
  for (TABSCursor* c : cursors_) c->GoToBegin();
}

void TABSTableData::drop_all_indexes(int32_t session) {
  if (!index_manager_) return;
  while (index_manager_->IndexDefs.Count() > 0)
    index_manager_->DropIndex(session, index_manager_->IndexDefs.Item(0)->ObjectID);
}

}  // namespace dadoveri
