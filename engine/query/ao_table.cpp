// The table operator.
#include "engine/query/ao_table.h"

#include "engine/base/engine_error.h"
#include "engine/database/local_cursor.h"
#include "engine/table/database_data.h"
#include "engine/database/table_lock_manager.h"
#include "engine/query/expr_text.h"

namespace dadoveri {

TABSAOTable::TABSAOTable(TABSAOContext& context, TABSDatabaseData& database, TABSBaseSession* session,
                         const std::string& table_name, const std::string& name, bool in_memory)
    : TABSAO(context), name_(name) {
  if (!database.TableExists(table_name)) {
    std::string inner;
    try {
      RaiseError(40804, table_name);
    } catch (const VODIDivodavir& e) {
      inner = e.what();
    }
    RaiseError(10303, table_name, in_memory ? 1 : 0, inner);
  }
  owned_ = std::make_unique<TABSLocalCursor>(session, table_name);
  owned_->InMemory = in_memory;
  owned_->SetFilterFactory(&CursorExpressionFilterFactory());
  owned_->Open(database);
  cursor_ = owned_.get();
  bind_columns();
}

void TABSAOTable::bind_columns() {
  source_ = std::make_unique<TABSCursorRecordSource>(*cursor_);
  source_->SetAlias(name_);
  for (int32_t i = 0; i < cursor_->TableFields.Count(); ++i) {
    const TABSFieldDef* f = cursor_->TableFields.Item(i);
    TABSFieldLink c;
    c.Name = f->Name;
    c.TableName = name_;
    c.ColumnType = f->ColumnType;
    c.Size = f->Size;
    Columns.push_back(std::move(c));
  }
}

TABSAOTable::TABSAOTable(TABSAOContext& context, TABSLocalCursor& cursor, const std::string& name)
    : TABSAO(context), cursor_(&cursor), name_(name) {
  bind_columns();
}

TABSAOTable::~TABSAOTable() {
  Unlock();
  source_.reset();
  if (owned_) {
    try {
      owned_->Close();
    } catch (const VODIDivodavir&) {
    }
  }
}

std::unique_ptr<TABSLocalCursor> TABSAOTable::TakeCursor() {
  source_.reset();
  cursor_ = nullptr;
  return std::move(owned_);
}

void TABSAOTable::LockForReading() {
  if (!owned_ || locked_) return;
  if (!owned_->LockTable(ltRead, kReadLockAttempts.attempts, false, kReadLockAttempts.base_pause_ms)) RaiseError(20214);
  locked_ = true;
}

void TABSAOTable::Unlock() {
  if (!locked_ || !owned_) return;
  locked_ = false;
  try {
    owned_->UnlockTable(ltRead, false);
  } catch (const VODIDivodavir&) {
  }
}

void TABSAOTable::CollectTables(std::vector<TABSAO*>& tables) { tables.push_back(this); }

void TABSAOTable::Execute(bool, TABSAO*, const void*) {
  // The pushed-down conditions become the cursor's filter, which also offers them to
  // the cursor's choice of an index range.
  if (Condition && !Condition->IsEmpty() && !filtered_) {
    auto filter = std::make_unique<TABSExpressionCursorFilter>(*cursor_);
    filter->Source().SetAlias(name_);
    filter->Expression().AddExpression(*Condition);
    filter->Expression().BindToCursor(&filter->Source());
    cursor_->SetFilterExpression(std::move(filter));
    filtered_ = true;
  }
  apply_sort();
  cursor_->GoToBegin();
  eof_ = true;
}

int64_t TABSAOTable::DoRecordCount() {
  if (!cursor_->IsRestricted()) return cursor_->GetRecordCount();
  int64_t n = 0;
  for (bool more = StepFirst(); more; more = StepNext()) ++n;
  return n;
}

bool TABSAOTable::FindField(std::string_view table_name, std::string_view field_name,
                            TABSExprFieldInfo& info) const {
  if (!table_name.empty() && !ExprSameName(table_name, name_)) return false;
  if (!source_) return false;
  if (!source_->FindField({}, field_name, info)) return false;
  info.TableName = name_;
  return true;
}

const TABSRecordLayout& TABSAOTable::RecordLayout() const { return source_->RecordLayout(); }

const void* TABSAOTable::CurrentRecord() const {
  if (null_row_ || !source_) return nullptr;
  return source_->CurrentRecord();
}

bool TABSAOTable::ReadMemo(int32_t field_no, const void* record, std::string& bytes) const {
  return source_ && source_->ReadMemo(field_no, record, bytes);
}

const TABSIndexDefs* TABSAOTable::IndexDefs() const { return nullptr; }

}  // namespace dadoveri
