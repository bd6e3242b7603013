// INSERT, UPDATE and DELETE: their grammar, and their execution on one table through a
// local cursor, the WHERE condition being the cursor's filter (so that an index can
// answer it).
//
// A statement is one unit: it changes every row it means to or none. Outside a
// transaction, on a database file, the statement runs as the session's own transaction,
// committed once at its end or rolled back whole. Inside a transaction, and on tables
// that store each change at once (in-memory tables), the statement keeps a log of what it
// did and undoes it, last change first, when it fails; an open transaction stays open.
//
// UPDATE and DELETE first collect the qualifying rows, then change them: a change never
// moves a row into or out of the rows still to visit, and every SET value is computed from
// the row as it was before the statement (so `SET a = b, b = a` swaps).
#include <cstring>

#include "engine/base/engine_error.h"
#include "engine/database/disk_database_data.h"
#include "engine/database/local_cursor.h"
#include "engine/query/cursor_filter_expression.h"
#include "engine/query/expr_text.h"
#include "engine/query/sql_query.h"
#include "engine/query/sql_statement.h"
#include "engine/table/session.h"
#include "engine/table/table_data.h"

namespace dadoveri {

namespace {

// One open target table of a statement, and the unit of work around the statement.
class TABSStatementTarget {
 public:
  TABSStatementTarget(TABSSQLQuery& query, const TABSSQLTarget& target) {
    TABSBaseSession* session = nullptr;
    TABSDatabaseData& database =
        target.InMemory || query.InMemory()
            ? query.MemoryDatabase()
            : !target.DatabaseName.empty() ? query.OtherDatabase(target.DatabaseName, target.Password, session)
                                           : query.Database();
    if (!session) session = &query.Session();
    if (!database.TableExists(target.TableName)) RaiseError(40804, target.TableName);
    session_ = session;
    database_ = &database;
    cursor_ = std::make_unique<TABSLocalCursor>(session, target.TableName);
    cursor_->InMemory = target.InMemory || query.InMemory();
    cursor_->SetFilterFactory(&CursorExpressionFilterFactory());
    cursor_->Open(database);
    // A database file outside a transaction: the statement is the session's transaction.
    own_transaction_ = !session->InTransaction && dynamic_cast<TABSDiskDatabaseData*>(&database) != nullptr;
    if (own_transaction_) session->InTransaction = true;
  }

  ~TABSStatementTarget() {
    if (!finished_) {
      try {
        Abandon();
      } catch (...) {
        // the failure that brought us here is the one reported
      }
    }
    if (cursor_) cursor_->Close();
  }

  TABSLocalCursor& Cursor() { return *cursor_; }

  // The log of what the statement did, for undoing it by hand.
  void Inserted() {
    if (!own_transaction_) log_.push_back({kInserted, cursor_->Position, {}});
  }
  void Changed(const TABSRecordID& id, std::vector<uint8_t> old_record, bool deleted) {
    if (!own_transaction_) log_.push_back({deleted ? kDeleted : kUpdated, id, std::move(old_record)});
  }

  void Finish() {
    finished_ = true;
    if (!own_transaction_) return;
    session_->InTransaction = false;
    try {
      database_->CommitSession(session_->SessionID);
    } catch (...) {
      database_->RollbackSession(session_->SessionID);
      throw;
    }
  }

  // Undoes the statement.
  void Abandon() {
    finished_ = true;
    if (own_transaction_) {
      session_->InTransaction = false;
      database_->RollbackSession(session_->SessionID);
      return;
    }
    TABSCursor& c = *cursor_;
    c.SetFilterExpression(nullptr);
    TABSTableData& table = *c.TableData();
    for (auto it = log_.rbegin(); it != log_.rend(); ++it) {
      c.AtBegin = false;
      c.AtEnd = false;
      c.Position = it->id;
      switch (it->kind) {
        case kInserted:
          table.DeleteRecord(&c);
          break;
        case kUpdated:
          std::memcpy(c.CurrentRecord, it->record.data(), it->record.size());
          table.UpdateRecord(&c);
          break;
        case kDeleted:
          std::memcpy(c.CurrentRecord, it->record.data(), it->record.size());
          table.InsertRecord(&c);
          break;
      }
    }
    log_.clear();
  }

  // Raises the failure a record operation reported.
  [[noreturn]] void RaiseOutcome(int32_t outcome) const {
    if (outcome == roConstraintFailed) throw VODIDivodavir(cursor_->LastNativeError, cursor_->LastMessage);
    throw EABSEngineError(outcome);
  }

  // Installs WHERE as the cursor's filter; `alias` may qualify the fields.
  void SetWhere(TABSExpression& where, const std::string& alias) {
    if (where.IsEmpty()) return;
    auto filter = std::make_unique<TABSExpressionCursorFilter>(*cursor_);
    filter->Source().SetAlias(alias);
    filter->Expression().AddExpression(where);
    filter->Expression().BindToCursor(&filter->Source());
    cursor_->SetFilterExpression(std::move(filter));
  }

  // The qualifying rows: identifiers and record images.
  std::vector<std::pair<TABSRecordID, std::vector<uint8_t>>> CollectRows() {
    std::vector<std::pair<TABSRecordID, std::vector<uint8_t>>> rows;
    TABSCursor& c = *cursor_;
    c.GoToBegin();
    while (c.GetRecord(grmNext) == grrFound)
      rows.emplace_back(c.Position, std::vector<uint8_t>(c.CurrentRecord, c.CurrentRecord + c.RecordSize));
    c.SetFilterExpression(nullptr);
    return rows;
  }

  // Moves the cursor to a collected row; false when it is gone.
  bool MoveTo(const TABSRecordID& id) {
    TABSCursor& c = *cursor_;
    c.AtBegin = false;
    c.AtEnd = false;
    c.Position = id;
    return c.ReadCurrent() == grrFound;
  }

 private:
  enum Kind { kInserted, kUpdated, kDeleted };
  struct Entry {
    Kind kind;
    TABSRecordID id;
    std::vector<uint8_t> record;
  };

  TABSBaseSession* session_ = nullptr;
  TABSDatabaseData* database_ = nullptr;
  std::unique_ptr<TABSLocalCursor> cursor_;
  bool own_transaction_ = false;
  bool finished_ = false;
  std::vector<Entry> log_;
};

}  // namespace

// ---- INSERT ----

void TABSSQLInsert::Parse() {
  Expect();
  ExpectKeyword(u"INTO", 20261);
  if (IsKeyword(u"MEMORY")) {
    Target.InMemory = true;
    Expect();
  }
  Target.TableName = ReadName(30176);
  if (Current().kind == tkDot) {
    Expect();
    Target.DatabaseName = std::move(Target.TableName);
    Target.TableName = ReadName(30176);
  }
  if (IsKeyword(u"PASSWORD")) {
    Expect();
    if (Current().kind != tkString && Current().kind != tkParameter) RaiseFound(30210);
    Target.Password = NameText();
    Next();
  }
  RequireToken();
  if (Current().kind == tkOpenParen) {
    TToken after;
    const int32_t open = Position();
    lexer_.SetPositionAndRead(open + 1, after);
    SetPosition(open);
    if (!(after.kind == tkKeyword && after.keyword == FindKeyword(u"SELECT"))) {
      Expect();
      for (;;) {
        RequireToken();
        if (!IsName(true)) RaiseFound(2156);
        Fields.push_back(NameText());
        Expect();
        if (Current().kind == tkCloseParen) break;
        if (Current().kind != tkComma) RaiseFound(30212);
        Expect();
      }
      Expect();
    }
  }
  if (IsKeyword(u"VALUES")) {
    Expect();
    for (;;) {
      if (Current().kind != tkOpenParen) RaiseFound(30214);
      const TToken row_start = Current();
      Expect();
      std::vector<std::unique_ptr<TABSExpression>> row;
      for (;;) {
        RequireToken();
        if (Current().kind == tkComma || Current().kind == tkCloseParen) RaiseFound(30357);
        auto value = std::make_unique<TABSExpression>();
        if (!value->ParseValue(this, lexer_)) RaiseFound(30357);
        Sync();
        row.push_back(std::move(value));
        RequireToken();
        if (Current().kind == tkCloseParen) break;
        if (Current().kind != tkComma) RaiseFound(30229);
        Expect();
      }
      const size_t expected = !Fields.empty() ? Fields.size() : Rows.empty() ? row.size() : Rows[0].size();
      if (row.size() != expected)
        RaiseError(20259, static_cast<int32_t>(expected), static_cast<int32_t>(row.size()), row_start.line,
                   row_start.column);
      Rows.push_back(std::move(row));
      Next();
      if (Current().kind != tkComma) break;
      Expect();
    }
  } else if (IsKeyword(u"SELECT") || Current().kind == tkOpenParen) {
    QueryLine = Current().line;
    QueryColumn = Current().column;
    Query = ParseQuery(Position(), End());
  } else {
    RaiseTokenExpected(20261, "VALUES");
  }
  ExpectStatementEnd();
}

void TABSSQLInsert::Execute(TABSSQLQuery& query, bool, int64_t& rows_affected, bool& read_only) {
  read_only = true;
  rows_affected = 0;
  // INSERT … SELECT: the query's rows are read whole first, so that a query of the target
  // table never sees the rows being added.
  std::vector<std::vector<TABSVariant>> query_rows;
  if (Query) {
    int64_t ignored = 0;
    bool query_read_only = true;
    Query->Execute(query, false, ignored, query_read_only);
    TABSCursor* result = Query->GetResultCursor();
    if (!result) RaiseError(40803);
    result->GoToBegin();
    while (result->GetRecord(grmNext) == grrFound) {
      std::vector<TABSVariant> row(static_cast<size_t>(result->VisibleFields.Count()));
      for (int32_t i = 0; i < result->VisibleFields.Count(); ++i) result->GetFieldValue(i, false, row[static_cast<size_t>(i)]);
      query_rows.push_back(std::move(row));
    }
  }
  TABSStatementTarget target(query, Target);
  TABSLocalCursor& c = target.Cursor();
  std::vector<int32_t> field_nos;
  if (Fields.empty()) {
    for (int32_t i = 0; i < c.TableFields.Count(); ++i) field_nos.push_back(i);
    if (!Rows.empty() && Rows[0].size() > field_nos.size())
      RaiseError(20259, static_cast<int32_t>(field_nos.size()), static_cast<int32_t>(Rows[0].size()), 1, 1);
    if (!Rows.empty()) field_nos.resize(Rows[0].size());
    if (!query_rows.empty() && query_rows[0].size() < field_nos.size()) field_nos.resize(query_rows[0].size());
  } else {
    for (const std::string& name : Fields) {
      const int32_t no = c.TableFields.IndexOf(name);
      if (no < 0) RaiseError(30197, name);
      field_nos.push_back(no);
    }
  }
  for (const auto& row : query_rows) {
    if (row.size() != field_nos.size())
      RaiseError(20259, static_cast<int32_t>(field_nos.size()), static_cast<int32_t>(row.size()), QueryLine,
                 QueryColumn);
    c.NewRecord();
    for (size_t i = 0; i < row.size(); ++i) c.SetFieldValue(field_nos[i], true, row[i]);
    const int32_t outcome = c.PostInsert();
    if (outcome != roOK) target.RaiseOutcome(outcome);
    target.Inserted();
    ++rows_affected;
  }
  for (auto& row : Rows) {
    c.NewRecord();
    for (size_t i = 0; i < row.size(); ++i) {
      const TABSFieldDef* field = c.TableFields.Item(field_nos[i]);
      const TABSVariant* value = row[i]->GetValue();
      if (!value) RaiseError(30356, field->Name, ColumnTypeName(field->ColumnType));
      c.SetFieldValue(field_nos[i], true, *value);
    }
    const int32_t outcome = c.PostInsert();
    if (outcome != roOK) target.RaiseOutcome(outcome);
    target.Inserted();
    ++rows_affected;
  }
  target.Finish();
}

// ---- UPDATE ----

void TABSSQLUpdate::Parse() {
  Expect();
  if (IsKeyword(u"MEMORY")) {
    Target.InMemory = true;
    Expect();
  }
  Target.TableName = ReadName(30180);
  if (Current().kind == tkDot) {
    Expect();
    Target.DatabaseName = std::move(Target.TableName);
    Target.TableName = ReadName(30180);
  }
  if (IsName(false, false)) {
    Target.Alias = NameText();
    Expect();
  }
  if (IsKeyword(u"PASSWORD")) {
    Expect();
    if (Current().kind != tkString && Current().kind != tkParameter) RaiseFound(30282);
    Target.Password = NameText();
    Expect();
  }
  ExpectKeyword(u"SET", 30220);
  RequireToken();
  if (Current().kind == tkOpenParen) {
    Expect();
    for (;;) {
      QueryFields.push_back(ReadName(30227, true));
      RequireToken();
      if (Current().kind == tkCloseParen) break;
      if (Current().kind != tkComma) RaiseTokenExpected(30226, ")");
      Expect();
    }
    Expect();
    ExpectSymbol(u"=", 30221);
    if (Current().kind != tkOpenParen) RaiseTokenExpected(30222, "(");
    const int32_t open = Position();
    QueryLine = Current().line;
    QueryColumn = Current().column;
    const int32_t close = MatchingParen(open);
    if (close < 0) RaiseUnexpectedEnd();
    Query = ParseQuery(open + 1, close);
    // The query may name the row being changed (a correlated query).
    Query->AllowOuter();
    SetPosition(close + 1);
  } else {
    for (;;) {
      TABSSQLAssignment assignment;
      assignment.FieldName = ReadName(30227, true);
      // A qualified field: alias.field.
      if (Current().kind == tkDot) {
        Expect();
        assignment.FieldName = ReadName(30227, true);
      }
      ExpectSymbol(u"=", 30221);
      assignment.Value = ParseValueExpression(30160);
      Assignments.push_back(std::move(assignment));
      if (Current().kind != tkComma) break;
      Expect();
    }
  }
  if (IsKeyword(u"WHERE")) {
    Expect();
    Where = ParseConditionExpression();
  }
  ExpectStatementEnd();
}

void TABSSQLUpdate::Execute(TABSSQLQuery& query, bool, int64_t& rows_affected, bool& read_only) {
  read_only = true;
  rows_affected = 0;
  TABSStatementTarget target(query, Target);
  TABSLocalCursor& c = target.Cursor();
  // The SET values read the row as it was.
  TABSCursorRecordSource old_row(c);
  old_row.SetAlias(Target.Alias);
  std::vector<int32_t> field_nos;
  // SET (a, b) = (SELECT …): the query gives one row, whose columns are the values. A
  // query that names columns of the row being changed runs again for each row; any
  // other runs once.
  bool correlated = false;
  if (Query) {
    for (const std::string& name : QueryFields) {
      const int32_t no = c.TableFields.IndexOf(name);
      if (no < 0) RaiseError(30197, name);
      field_nos.push_back(no);
    }
    Query->SetOuterSources({&old_row});
    Query->Prepare(query);
    correlated = !Query->OuterReferences().empty();
  }
  bool have_query_row = false;
  std::vector<TABSVariant> query_row;
  auto run_query = [&] {
    int64_t ignored = 0;
    bool query_read_only = true;
    Query->Execute(query, false, ignored, query_read_only);
    TABSCursor* result = Query->GetResultCursor();
    if (!result) RaiseError(40803);
    const int32_t fields = result->VisibleFields.Count();
    if (fields != static_cast<int32_t>(QueryFields.size()))
      RaiseError(20259, static_cast<int32_t>(QueryFields.size()), fields, QueryLine, QueryColumn);
    result->GoToBegin();
    if (result->GetRecord(grmNext) != grrFound) RaiseError(20249);
    query_row.assign(static_cast<size_t>(fields), TABSVariant());
    for (int32_t i = 0; i < fields; ++i) result->GetFieldValue(i, false, query_row[static_cast<size_t>(i)]);
    if (result->GetRecord(grmNext) == grrFound) RaiseError(20247);
    have_query_row = true;
  };
  for (TABSSQLAssignment& a : Assignments) {
    const int32_t no = c.TableFields.IndexOf(a.FieldName);
    if (no < 0) RaiseError(30197, a.FieldName);
    field_nos.push_back(no);
    a.Value->BindToCursor(&old_row);
  }
  if (Where) target.SetWhere(*Where, Target.Alias);
  auto rows = target.CollectRows();
  std::vector<TABSVariant> values(Assignments.size());
  for (auto& [id, image] : rows) {
    if (!target.MoveTo(id)) continue;
    int32_t outcome = c.BeginEdit();
    if (outcome != roOK) target.RaiseOutcome(outcome);
    old_row.SetRecord(c.RecordBeforeEdit);
    if (Query) {
      if (correlated || !have_query_row) run_query();
      for (size_t i = 0; i < query_row.size(); ++i) c.SetFieldValue(field_nos[i], true, query_row[i]);
    }
    for (size_t i = 0; i < Assignments.size(); ++i) {
      const TABSVariant* value = Assignments[i].Value->GetValue();
      if (!value) {
        const TABSFieldDef* field = c.TableFields.Item(field_nos[i]);
        RaiseError(30356, field->Name, ColumnTypeName(field->ColumnType));
      }
      values[i] = *value;
    }
    for (size_t i = 0; i < Assignments.size(); ++i) c.SetFieldValue(field_nos[i], true, values[i]);
    std::vector<uint8_t> before(c.RecordBeforeEdit, c.RecordBeforeEdit + c.RecordSize);
    outcome = c.PostEdit();
    if (outcome != roOK) target.RaiseOutcome(outcome);
    target.Changed(id, std::move(before), false);
    ++rows_affected;
  }
  target.Finish();
}

// ---- DELETE ----

void TABSSQLDelete::Parse() {
  Expect();
  ExpectKeyword(u"FROM", 30193);
  if (IsKeyword(u"MEMORY")) {
    Target.InMemory = true;
    Expect();
  }
  Target.TableName = ReadName(30181);
  if (Current().kind == tkDot) {
    Expect();
    Target.DatabaseName = std::move(Target.TableName);
    Target.TableName = ReadName(30181);
  }
  if (IsName(false, false)) {
    Target.Alias = NameText();
    Next();
  }
  if (IsKeyword(u"PASSWORD")) {
    Expect();
    if (Current().kind != tkString && Current().kind != tkParameter) RaiseFound(30282);
    Target.Password = NameText();
    Next();
  }
  if (IsKeyword(u"WHERE")) {
    Expect();
    Where = ParseConditionExpression();
  }
  ExpectStatementEnd();
}

void TABSSQLDelete::Execute(TABSSQLQuery& query, bool, int64_t& rows_affected, bool& read_only) {
  read_only = true;
  rows_affected = 0;
  TABSStatementTarget target(query, Target);
  TABSLocalCursor& c = target.Cursor();
  if (Where) target.SetWhere(*Where, Target.Alias);
  auto rows = target.CollectRows();
  for (auto& [id, image] : rows) {
    if (!target.MoveTo(id)) continue;
    std::vector<uint8_t> before(c.CurrentRecord, c.CurrentRecord + c.RecordSize);
    const int32_t outcome = c.DeleteCurrent();
    if (outcome != roOK) target.RaiseOutcome(outcome);
    target.Changed(id, std::move(before), true);
    ++rows_affected;
  }
  target.Finish();
}

}  // namespace dadoveri
