// The operator base: result tables, the row window, DISTINCT and sorting.
#include "engine/query/ao.h"

#include <atomic>

#include "engine/base/engine_error.h"
#include "engine/database/local_cursor.h"
#include "engine/table/database_data.h"
#include "engine/database/temporary_database_data.h"
#include "engine/query/expr_text.h"
#include "engine/table/constraint_def.h"
#include "engine/table/field_def.h"
#include "engine/table/index_def.h"
#include "engine/table/scan_search_condition.h"
#include "engine/table/table_data.h"

namespace dadoveri {

namespace {

// The column type a result table stores a value of `type` in: autoincrement columns
// become their plain integer types, so that copied values are kept.
TABSColumnType result_type(TABSColumnType type) {
  switch (type) {
    case ctAutoinc:
    case ctAutoincInteger: return ctInteger;
    case ctAutoincShortint: return ctShortint;
    case ctAutoincSmallint: return ctSmallint;
    case ctAutoincLargeint: return ctLargeint;
    case ctAutoincByte: return ctByte;
    case ctAutoincWord: return ctWord;
    case ctAutoincCardinal: return ctCardinal;
    case ctNone: return ctWideString;
    default: return type;
  }
}

bool is_text_type(TABSColumnType type) {
  return type == ctChar || type == ctString || type == ctWideChar || type == ctWideString || type == ctBytes ||
         type == ctVarBytes;
}

std::atomic<int64_t> next_temporary_number{1};

}  // namespace

TABSDatabaseData& QueryTemporaryDatabase() {
  static TABSTemporaryDatabaseData database;
  return database;
}

bool AOConditionHolds(TABSExpression* expression) {
  return expression == nullptr || expression->IsEmpty() || expression->GetBooleanValue();
}

int32_t AOColumnOf(const TABSAO& op, const std::string& table_name, const std::string& field_name) {
  const std::vector<int32_t> found = op.FindColumns(field_name, table_name);
  if (found.empty()) RaiseError(10305, table_name.empty() ? field_name : table_name + "." + field_name);
  if (found.size() > 1) RaiseError(10404, field_name);
  return found[0];
}

TABSAO::~TABSAO() { drop_result(); }

void TABSAO::drop_result() {
  result_source_.reset();
  if (!result_) return;
  try {
    result_->DeleteTable();
  } catch (const VODIDivodavir&) {
    // The table goes with the registry at the latest.
  }
  result_.reset();
}

// ---- iteration ----

void TABSAO::DoFirst() {
  TABSLocalCursor* c = Cursor();
  if (!c) RaiseError(40803);
  c->GoToBegin();
  eof_ = c->GetRecord(grmNext) != grrFound;
}

void TABSAO::DoNext() {
  TABSLocalCursor* c = Cursor();
  if (!c) RaiseError(40803);
  eof_ = c->GetRecord(grmNext) != grrFound;
}

bool TABSAO::DoEof() { return eof_; }

int64_t TABSAO::DoRecordCount() {
  TABSLocalCursor* c = Cursor();
  return c ? c->GetRecordCount() : 0;
}

void TABSAO::First() { DoFirst(); }
void TABSAO::Next() { DoNext(); }
bool TABSAO::Eof() { return DoEof(); }
int64_t TABSAO::RecordCount() { return DoRecordCount(); }

bool TABSAO::StepFirst() {
  First();
  return !Eof();
}

bool TABSAO::StepNext() {
  Next();
  return !Eof();
}

void* TABSAO::Bookmark() const { return Cursor()->GetBookmark(); }

void TABSAO::GoToBookmark(void* bookmark) {
  Cursor()->SetBookmark(bookmark);
  eof_ = Cursor()->GetRecord(grmCurrent) != grrFound;
}

void TABSAO::FreeBookmark(void*& bookmark) const {
  if (bookmark) Cursor()->FreeBookmark(bookmark);
}

bool TABSAO::SeekAtLeast(const std::vector<int32_t>& columns, const std::vector<TABSVariant>& values) {
  TABSLocalCursor* c = Cursor();
  if (seek_refused_ || c == nullptr || c->TableData() == nullptr || !c->IsIndexActive() || null_row_ ||
      columns.empty() || values.size() != columns.size() || SortFields.size() < columns.size())
    return false;
  for (size_t i = 0; i < columns.size(); ++i) {
    if (SortDescending[i] || SortCaseInsensitive[i]) return false;
    const std::vector<int32_t> found = FindColumns(SortFields[i].second, SortFields[i].first);
    if (found.size() != 1 || found[0] != columns[i]) return false;
  }
  const TABSRecordLayout& layout = c->TableData()->FieldManager().Layout();
  seek_key_.assign(static_cast<size_t>(layout.MemoryRecordSize()), 0);
  layout.InitRecord(seek_key_.data());
  TABSVariant back;
  for (size_t i = 0; i < columns.size(); ++i) {
    if (values[i].IsNull()) return false;
    const int32_t field = FieldOfColumn(columns[i]);
    try {
      layout.SetFieldValue(field, values[i], seek_key_.data());
      layout.GetFieldValue(field, seek_key_.data(), back);
      if (back.IsNull() || back.Compare(values[i]) != 0) return false;
    } catch (const VODIDivodavir&) {
      return false;
    }
  }
  if (c->CurrentRecord == nullptr) return false;
  c->SetSearchKey(seek_key_.data(), static_cast<int32_t>(columns.size()));
  eof_ = !c->FindKey(sckAfterOrEqual);
  const TABSSearchPlanInfo& plan = c->LastSearchPlan;
  if (plan.Plan != TABSSearchPlanInfo::spIndexRange || plan.IndexID != c->ActiveIndexID) seek_refused_ = true;
  return true;
}

void TABSAO::CollectTables(std::vector<TABSAO*>& tables) {
  if (Left) Left->CollectTables(tables);
  if (Right) Right->CollectTables(tables);
}

// ---- columns ----

void TABSAO::AssignColumnNames() {
  OutputNames.clear();
  for (const TABSFieldLink& c : Columns) OutputNames.push_back(c.Name.empty() ? std::string("EXPR") : c.Name);
  for (size_t i = 0; i < OutputNames.size(); ++i) {
    const auto taken = [&](const std::string& name, size_t except) {
      for (size_t j = 0; j < OutputNames.size(); ++j)
        if (j != except && ExprSameName(OutputNames[j], name)) return true;
      return false;
    };
    bool earlier = false;
    for (size_t j = 0; j < i; ++j) earlier = earlier || ExprSameName(OutputNames[j], OutputNames[i]);
    if (!earlier) continue;
    const std::string base = OutputNames[i];
    for (int32_t n = 1;; ++n) {
      std::string name = base + "_" + std::to_string(n);
      if (taken(name, i)) continue;
      OutputNames[i] = std::move(name);
      break;
    }
  }
}

std::vector<int32_t> TABSAO::FindColumns(std::string_view field_name, std::string_view table_name) const {
  std::vector<int32_t> found;
  for (size_t i = 0; i < Columns.size(); ++i) {
    const TABSFieldLink& c = Columns[i];
    if (!ExprSameName(c.Name, field_name)) continue;
    if (!table_name.empty() && !ExprSameName(c.TableName, table_name)) continue;
    found.push_back(static_cast<int32_t>(i));
  }
  return found;
}

bool TABSAO::FindField(std::string_view table_name, std::string_view field_name, TABSExprFieldInfo& info) const {
  const std::vector<int32_t> found = FindColumns(field_name, table_name);
  if (found.empty()) return false;
  if (found.size() > 1) RaiseError(10404, std::string(field_name));
  const TABSFieldLink& c = Columns[static_cast<size_t>(found[0])];
  TABSLocalCursor* cursor = Cursor();
  if (cursor == nullptr || !result_source_) {
    // Not executed yet: enough for deciding where a condition can be evaluated.
    info = TABSExprFieldInfo();
    info.TableName = c.TableName;
    info.FieldName = c.Name;
    info.DisplayName = c.Name;
    info.ColumnType = c.ColumnType;
    info.Size = c.Size;
    return true;
  }
  const int32_t field_no = FieldOfColumn(found[0]);
  if (!result_source_->FindField("", cursor->TableFields.Item(field_no)->Name, info)) return false;
  info.TableName = c.TableName;
  info.FieldName = c.Name;
  info.DisplayName = c.Name;
  return true;
}

const TABSRecordLayout& TABSAO::RecordLayout() const {
  if (!result_source_) RaiseError(40803);
  return result_source_->RecordLayout();
}

const void* TABSAO::CurrentRecord() const {
  if (null_row_ || !result_source_) return nullptr;
  return result_source_->CurrentRecord();
}

bool TABSAO::ReadMemo(int32_t field_no, const void* record, std::string& bytes) const {
  if (!result_source_) return false;
  return result_source_->ReadMemo(field_no, record, bytes);
}

void TABSAO::GetColumnValue(int32_t column, TABSVariant& value) const {
  if (Streamed) {
    const TABSFieldLink& link = Columns[static_cast<size_t>(column)];
    if (null_row_ || link.Input == nullptr) {
      value.SetNull();
    } else {
      link.Input->GetColumnValue(link.InputColumn, value);
    }
    return;
  }
  TABSLocalCursor* c = Cursor();
  if (null_row_ || c == nullptr || c->CurrentRecord == nullptr) {
    value.SetNull();
    return;
  }
  c->GetFieldValue(FieldOfColumn(column), true, value);
}

// ---- settings ----

void TABSAO::SetRowWindow(int64_t first_row, int64_t row_count) {
  FirstRow = first_row < 1 ? 1 : first_row;
  RowCount = row_count;
}

void TABSAO::SetSelectList(bool distinct) { Distinct = distinct; }

void TABSAO::SetSortOrder(const TABSFields& fields, const std::vector<bool>& descending,
                          const std::vector<bool>& case_insensitive) {
  SortFields = fields;
  SortDescending = descending;
  SortCaseInsensitive = case_insensitive;
  SortDescending.resize(SortFields.size(), false);
  SortCaseInsensitive.resize(SortFields.size(), false);
  if (Cursor() != nullptr) apply_sort();
}

void TABSAO::apply_sort() {
  TABSLocalCursor* c = Cursor();
  if (c == nullptr || SortFields.empty()) return;
  std::vector<std::string> names, directions, cases;
  for (size_t i = 0; i < SortFields.size(); ++i) {
    const int32_t column = AOColumnOf(*this, SortFields[i].first, SortFields[i].second);
    names.push_back(c->TableFields.Item(FieldOfColumn(column))->Name);
    directions.push_back(SortDescending[i] ? "DESC" : "ASC");
    cases.push_back(SortCaseInsensitive[i] ? "NOCASE" : "CASE");
  }
  c->SetKeyFields(names, directions, cases);
}

// ---- execution ----

void TABSAO::Execute(bool live, TABSAO* outer, const void* outer_row) {
  if (Left) Left->Execute(live, outer, outer_row);
  if (Right) Right->Execute(live, outer, outer_row);
  if (Condition) {
    std::vector<TABSExprRecordSource*> sources;
    if (Left) sources.push_back(Left.get());
    if (Right) sources.push_back(Right.get());
    Condition->BindToOperators(sources, context_.Outer);
  }
  Materialise();
}

void TABSAO::Stream(const std::function<bool()>& emit) {
  Produce([&]() -> bool { return !AOConditionHolds(Condition.get()) || emit(); });
}

void TABSAO::Produce(const std::function<bool()>& emit) {
  if (!Left) return;
  if (Left->Streamed) {
    Left->Stream(emit);
    return;
  }
  for (bool more = Left->StepFirst(); more; more = Left->StepNext())
    if (!emit()) return;
}

std::unique_ptr<TABSLocalCursor> TABSAO::create_result_table() {
  TABSDatabaseData& database = QueryTemporaryDatabase();
  std::string name;
  do {
    name = "TEMPORARY_TABLE_" + std::to_string(next_temporary_number++);
  } while (database.TableExists(name));
  TABSFieldDefs fields;
  if (OutputNames.size() != Columns.size()) AssignColumnNames();
  for (size_t column = 0; column < Columns.size(); ++column) {
    TABSFieldLink& c = Columns[column];
    if (c.Expression != nullptr) {
      c.ColumnType = c.Expression->GetDataType();
      c.Size = c.Expression->GetDataSize();
    }
    TABSFieldDef* d = fields.AddFieldDef();
    d->Name = OutputNames[column];
    const TABSColumnType type = result_type(c.ColumnType);
    int32_t size = c.Size;
    if (is_text_type(type) && size <= 0) size = 255;
    if (!is_text_type(type) && type != ctFloat && type != ctCurrency) size = 0;
    if (type == ctFloat || type == ctCurrency) size = c.Size;
    d->SetType(type, size);
  }
  auto cursor = std::make_unique<TABSLocalCursor>(&context_.TempSession, name);
  cursor->SetFilterFactory(&CursorExpressionFilterFactory());
  TABSIndexDefs indexes;
  TABSConstraintDefs constraints;
  cursor->Open(database);
  cursor->CreateTable(fields, indexes, constraints);
  return cursor;
}

void TABSAO::Materialise() {
  drop_result();
  AssignColumnNames();
  std::unique_ptr<TABSLocalCursor> out = create_result_table();
  struct DropOnFailure {
    std::unique_ptr<TABSLocalCursor>& cursor;
    bool done = false;
    ~DropOnFailure() {
      if (done || !cursor) return;
      try {
        cursor->DeleteTable();
      } catch (const VODIDivodavir&) {
      }
    }
  } guard{out};
  int64_t seen = 0, kept = 0;
  std::vector<TABSVariant> values(Columns.size());
  const std::vector<int32_t> copied = copied_fields(*out);
  const TABSRecordLayout& out_layout = out->TableData()->FieldManager().Layout();
  context_.RowNum = 1;
  if (RowCount != 0) Produce([&]() -> bool {
    if (!AOConditionHolds(Condition.get())) return true;
    ++seen;
    if (seen < FirstRow) return true;
    for (size_t i = 0; i < Columns.size(); ++i) {
      const TABSFieldLink& c = Columns[i];
      if (copied[i] >= 0) continue;
      if (c.Expression != nullptr) {
        values[i] = *c.Expression->GetValue();
      } else if (c.Input != nullptr) {
        c.Input->GetColumnValue(c.InputColumn, values[i]);
      } else {
        values[i].SetNull();
      }
    }
    out->NewRecord();
    for (size_t i = 0; i < values.size(); ++i) {
      if (copied[i] >= 0) {
        const TABSAO& in = *Columns[i].Input;
        const TABSLocalCursor* from = in.Cursor();
        if (!in.null_row_ && from->CurrentRecord != nullptr)
          out_layout.CopyField(static_cast<int32_t>(i), out->CurrentRecord, from->TableData()->FieldManager().Layout(),
                               copied[i], from->CurrentRecord);
      } else if (!values[i].IsNull()) {
        out->SetFieldValue(static_cast<int32_t>(i), true, values[i]);
      }
    }
    if (const int32_t outcome = out->PostInsert(); outcome != roOK) RaiseError(40806, out->TableName, outcome);
    ++kept;
    context_.RowNum = kept + 1;
    return RowCount < 0 || kept < RowCount;
  });
  guard.done = true;
  result_ = std::move(out);
  result_source_ = std::make_unique<TABSCursorRecordSource>(*result_);
  if (Distinct) remove_duplicates();
  apply_sort();
  Materialised = true;
  eof_ = true;
}

std::vector<int32_t> TABSAO::copied_fields(const TABSLocalCursor& out) const {
  std::vector<int32_t> fields(Columns.size(), -1);
  const TABSRecordLayout& to = out.TableData()->FieldManager().Layout();
  for (size_t i = 0; i < Columns.size(); ++i) {
    const TABSFieldLink& c = Columns[i];
    if (c.Expression != nullptr || c.Input == nullptr || c.Input->Streamed) continue;
    const TABSLocalCursor* from = c.Input->Cursor();
    if (from == nullptr || from->TableData() == nullptr) continue;
    const TABSRecordLayout& layout = from->TableData()->FieldManager().Layout();
    const int32_t field = c.Input->FieldOfColumn(c.InputColumn);
    if (field < 0 || field >= layout.FieldCount()) continue;
    const TABSBaseType type = layout.Field(field).BaseType;
    if (type == to.Field(static_cast<int32_t>(i)).BaseType && !IsBlobBaseType(type)) fields[i] = field;
  }
  return fields;
}

// DISTINCT: the rows in the order of a temporary index on every column; a row equal to
// the one before it is left out of the copy that replaces the result.
void TABSAO::remove_duplicates() {
  TABSLocalCursor& in = *result_;
  std::vector<std::string> names, directions, cases;
  for (int32_t i = 0; i < in.TableFields.Count(); ++i) {
    names.push_back(in.TableFields.Item(i)->Name);
    directions.push_back("ASC");
    cases.push_back("CASE");
  }
  if (names.empty()) return;
  in.SetKeyFields(names, directions, cases);
  std::unique_ptr<TABSLocalCursor> out = create_result_table();
  std::vector<TABSVariant> previous(names.size()), current(names.size());
  bool first = true;
  in.GoToBegin();
  while (in.GetRecord(grmNext) == grrFound) {
    bool same = !first;
    for (size_t i = 0; i < names.size(); ++i) {
      in.GetFieldValue(static_cast<int32_t>(i), true, current[i]);
      if (same) {
        const bool both_null = current[i].IsNull() && previous[i].IsNull();
        if (!both_null && (current[i].IsNull() || previous[i].IsNull() || current[i].Compare(previous[i]) != 0))
          same = false;
      }
    }
    if (same) continue;
    first = false;
    out->NewRecord();
    for (size_t i = 0; i < current.size(); ++i)
      if (!current[i].IsNull()) out->SetFieldValue(static_cast<int32_t>(i), true, current[i]);
    if (const int32_t outcome = out->PostInsert(); outcome != roOK) RaiseError(40806, out->TableName, outcome);
    previous.swap(current);
  }
  drop_result();
  result_ = std::move(out);
  result_source_ = std::make_unique<TABSCursorRecordSource>(*result_);
}

}  // namespace dadoveri
