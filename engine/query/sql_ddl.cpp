// The data-definition statements: CREATE / DROP / TRUNCATE / RENAME / ALTER TABLE and
// CREATE / DROP INDEX, parsed and carried out on the query's databases through a local
// cursor. ALTER TABLE builds the changed table beside the old one under a name of its own,
// copies the rows, and only then puts it in the old one's place: a failure on the way
// drops the new table and leaves the old one whole.
#include <algorithm>

#include "engine/base/engine_error.h"
#include "engine/database/local_cursor.h"
#include "engine/query/cursor_filter_expression.h"
#include "engine/query/expr_text.h"
#include "engine/query/sql_query.h"
#include "engine/query/sql_statement.h"
#include "engine/table/database_data.h"
#include "engine/table/session.h"
#include "engine/table/table_data.h"

namespace dadoveri {

namespace {

// A cursor on a table of a statement, closed when it goes.
struct OpenTable {
  OpenTable(TABSDatabaseData& database, TABSBaseSession* session, const std::string& name, bool in_memory)
      : cursor(session, name) {
    cursor.InMemory = in_memory;
    cursor.SetFilterFactory(&CursorExpressionFilterFactory());
    cursor.Open(database);
  }
  ~OpenTable() { cursor.Close(); }
  TABSLocalCursor cursor;
};

// The autoincrement column type over an integer type; ctNone for any other.
TABSColumnType autoinc_over(TABSColumnType type) {
  switch (type) {
    case ctShortint: return ctAutoincShortint;
    case ctSmallint: return ctAutoincSmallint;
    case ctInteger: return ctAutoincInteger;
    case ctLargeint: return ctAutoincLargeint;
    case ctByte: return ctAutoincByte;
    case ctWord: return ctAutoincWord;
    case ctCardinal: return ctAutoincCardinal;
    default: return ctNone;
  }
}

// Runs a table operation, reporting its failure as `code` around the underlying message.
template <typename Fn>
void wrapped(int32_t code, Fn&& fn) {
  try {
    fn();
  } catch (const VODIDivodavir& e) {
    RaiseError(code, std::string(e.what()));
  }
}

// The engine definition of a parsed column.
void fill_field(TABSFieldDefs& fields, TABSConstraintDefs& constraints, const TSQLFieldDef& f) {
  TABSFieldDef* d = fields.AddFieldDef();
  d->Name = f.Name;
  d->SetType(f.ColumnType, f.Size);
  if (f.HasDefault) {
    d->DefaultValue = f.DefaultValue;
    d->RebuildDefaultExpression();
  }
  if (f.BlobBlockSize > 0) d->BlobBlockSize = f.BlobBlockSize;
  if (f.BlobCompressionMode >= 0) d->BlobCompressionMode = static_cast<uint8_t>(f.BlobCompressionMode);
  if (IsAutoincColumnType(f.ColumnType)) {
    d->Increment = f.Increment;
    if (f.HasInitialValue) d->InitialValue = f.InitialValue;
    if (f.HasMinValue && !f.MinValue.IsNull()) d->MinValue = f.MinValue.GetAsLargeint();
    if (f.HasMaxValue && !f.MaxValue.IsNull()) d->MaxValue = f.MaxValue.GetAsLargeint();
    d->Cycled = f.Cycled;
  } else if ((f.HasMinValue && !f.MinValue.IsNull()) || (f.HasMaxValue && !f.MaxValue.IsNull())) {
    constraints.AddCheck("", f.Name, f.HasMinValue ? f.MinValue : TABSVariant(),
                         f.HasMaxValue ? f.MaxValue : TABSVariant());
  }
  if (f.NotNull || f.PrimaryKey) constraints.AddNotNull("", f.Name);
  fields.RecomputeOffsets();
}

// A name no table of `database` has: `base` followed by a number.
std::string free_table_name(TABSDatabaseData& database, const std::string& base) {
  for (int32_t n = 1;; ++n) {
    std::string name = base + std::to_string(n);
    if (!database.TableExists(name)) return name;
  }
}

}  // namespace

// ---- shared parts ----

void TABSDDLTableManipulation::read_table(int32_t code) {
  if (IsKeyword(u"MEMORY")) {
    InMemory = true;
    Expect();
  }
  TableName = ReadName(code);
  if (Current().kind == tkDot) {
    Expect();
    DatabaseName = std::move(TableName);
    TableName = ReadName(code);
  }
}

void TABSDDLTableManipulation::read_password(int32_t code) {
  if (!IsKeyword(u"PASSWORD")) return;
  Expect();
  if (Current().kind != tkString && Current().kind != tkParameter) RaiseFound(code);
  Password = NameText();
  Next();
}

TSQLFieldDef TABSDDLTableManipulation::parse_field_definition() {
  TSQLFieldDef f;
  f.Name = ReadName(30163, true);
  RequireToken();
  const TToken type_token = Current();
  if (type_token.kind != tkWord && type_token.kind != tkKeyword) RaiseError(30232, type_token.text, type_token.line,
                                                                            type_token.column);
  f.TypeName = ExprUtf8(type_token.text);
  const TSQLFieldType* type = FindSQLFieldType(f.TypeName);
  if (!type) RaiseError(30232, type_token.text, type_token.line, type_token.column);
  f.ColumnType = type->ColumnType;
  Next();
  if (IsKeyword(u"PRECISION") && f.ColumnType == ctFloat) Next();
  if (Current().kind == tkOpenParen) {
    Expect();
    if (f.ColumnType == ctAutoinc && (Current().kind == tkWord || Current().kind == tkKeyword) &&
        Current().kind != tkInteger) {
      // AUTOINC(type)
      const TToken inner = Current();
      const TSQLFieldType* over = FindSQLFieldType(ExprUtf8(inner.text));
      const TABSColumnType autoinc = over ? autoinc_over(over->ColumnType) : ctNone;
      if (autoinc == ctNone) RaiseError(30295, inner.text, inner.line, inner.column);
      f.ColumnType = autoinc;
      Expect();
    } else {
      f.Size = static_cast<int32_t>(ReadInteger(30291));
      if (Current().kind == tkComma) {
        Expect();
        f.Scale = static_cast<int32_t>(ReadInteger(30292));
      }
    }
    if (Current().kind != tkCloseParen) RaiseFound(30236);
    Next();
  }
  auto constant = [&](int32_t code) {
    std::unique_ptr<TABSExpression> e = ParseValueExpression(code);
    const TABSVariant* v = e->GetValue();
    return v ? *v : TABSVariant();
  };
  for (;;) {
    if (IsKeyword(u"NOT")) {
      Expect();
      if (!IsKeyword(u"NULL")) RaiseFound(2011);
      f.NotNull = true;
      Next();
    } else if (IsKeyword(u"NULL")) {
      f.NotNull = false;
      Next();
    } else if (IsKeyword(u"DEFAULT")) {
      if (f.HasDefault) RaiseError(30299, f.Name);
      Expect();
      const int32_t start = Position();
      std::unique_ptr<TABSExpression> e = ParseValueExpression(30160);
      const int32_t stop = Position();
      f.HasDefault = true;
      if (dynamic_cast<TABSExprNodeConst*>(e->Root()) != nullptr) {
        f.DefaultValue = *e->GetValue();
      } else {
        // An expression default keeps its text and is evaluated for each new record.
        std::u16string text;
        TToken t;
        for (int32_t i = start; i < stop; ++i) {
          lexer_.SetPositionAndRead(i, t);
          if (!text.empty()) text += u' ';
          if (t.kind == tkString) {
            text += u'\'';
            for (char16_t ch : t.text) text += ch == u'\'' ? std::u16string(u"''") : std::u16string(1, ch);
            text += u'\'';
          } else if (t.kind == tkBracketedName) {
            text += u'[' + t.text + u']';
          } else {
            text += t.text;
          }
        }
        SetPosition(stop);
        f.DefaultValue = TABSVariant(btWideString);
        f.DefaultValue.SetAsWideString(text);
      }
    } else if (IsKeyword(u"MINVALUE")) {
      Expect();
      f.MinValue = constant(30160);
      f.HasMinValue = true;
    } else if (IsKeyword(u"NOMINVALUE")) {
      f.HasMinValue = false;
      Next();
    } else if (IsKeyword(u"MAXVALUE")) {
      Expect();
      f.MaxValue = constant(30160);
      f.HasMaxValue = true;
    } else if (IsKeyword(u"NOMAXVALUE")) {
      f.HasMaxValue = false;
      Next();
    } else if (IsKeyword(u"BLOBBLOCKSIZE")) {
      Expect();
      f.BlobBlockSize = static_cast<int32_t>(ReadInteger(30291));
    } else if (IsKeyword(u"BLOBCOMPRESSIONMODE")) {
      Expect();
      f.BlobCompressionMode = static_cast<int32_t>(ReadInteger(30291));
    } else if (IsKeyword(u"BLOBCOMPRESSIONALGORITHM")) {
      Expect();
      f.BlobCompressionAlgorithm = ReadName(30163, true);
    } else if (IsKeyword(u"INCREMENT")) {
      Expect();
      f.Increment = ReadInteger(30291);
    } else if (IsKeyword(u"INITIALVALUE") || IsKeyword(u"STARTVALUE") || IsKeyword(u"LASTVALUE")) {
      Expect();
      f.InitialValue = ReadInteger(30291);
      f.HasInitialValue = true;
    } else if (IsKeyword(u"CYCLED")) {
      f.Cycled = true;
      Next();
    } else if (IsKeyword(u"NOCYCLED")) {
      f.Cycled = false;
      Next();
    } else if (IsKeyword(u"PRIMARY")) {
      Expect();
      ExpectKeyword(u"KEY", 30188);
      f.PrimaryKey = true;
    } else if (IsKeyword(u"UNIQUE")) {
      f.Unique = true;
      Next();
    } else {
      break;
    }
  }
  return f;
}

TABSDatabaseData& TABSDDLTableManipulation::database(TABSSQLQuery& query, TABSBaseSession*& session) {
  return TargetDatabase(query, InMemory, DatabaseName, Password, session);
}

void TABSDDLTableManipulation::refuse_in_transaction(TABSSQLQuery& query, const char* operation,
                                                     int32_t code) const {
  if (query.Session().InTransaction) RaiseError(code, operation);
}

// ---- CREATE TABLE ----

void TABSDDLCreateTable::Parse() {
  Expect();  // CREATE
  Expect();  // TABLE
  if (IsKeyword(u"IF")) {
    Expect();
    ExpectKeyword(u"NOT", 20261);
    ExpectKeyword(u"EXISTS", 20261);
    IfNotExists = true;
  }
  read_table(30182);
  read_password(30238);
  if (Current().kind != tkOpenParen) RaiseFound(30233);
  Expect();
  for (;;) {
    RequireToken();
    if (IsKeyword(u"PRIMARY") || IsKeyword(u"UNIQUE") || IsKeyword(u"CONSTRAINT")) {
      TSQLTableConstraint c;
      if (IsKeyword(u"CONSTRAINT")) {
        Expect();
        c.Name = ReadName(30163);
      }
      if (IsKeyword(u"PRIMARY")) {
        Expect();
        ExpectKeyword(u"KEY", 30188);
        c.Primary = true;
      } else {
        ExpectKeyword(u"UNIQUE", 20261);
      }
      if (Current().kind != tkOpenParen) RaiseFound(30233);
      Expect();
      for (;;) {
        c.Fields.push_back(ReadName(30163, true));
        RequireToken();
        if (Current().kind == tkCloseParen) break;
        if (Current().kind != tkComma) RaiseFound(30236);
        Expect();
      }
      Next();
      Constraints.push_back(std::move(c));
    } else {
      FieldDefs.push_back(parse_field_definition());
    }
    RequireToken();
    if (Current().kind == tkCloseParen) break;
    if (Current().kind != tkComma) RaiseFound(30236);
    Expect();
  }
  Next();
  ExpectStatementEnd();
}

void TABSDDLCreateTable::Execute(TABSSQLQuery& query, bool, int64_t& rows_affected, bool& read_only) {
  rows_affected = 0;
  read_only = true;
  refuse_in_transaction(query, "CreateTable", 20175);
  TABSBaseSession* session = nullptr;
  TABSDatabaseData& db = database(query, session);
  if (db.TableExists(TableName)) {
    if (IfNotExists) return;
    RaiseError(30247, TableName);
  }
  TABSFieldDefs fields;
  TABSIndexDefs indexes;
  TABSConstraintDefs constraints;
  for (const TSQLFieldDef& f : FieldDefs) {
    if (fields.Find(f.Name)) RaiseError(30351, f.Name);
    fill_field(fields, constraints, f);
  }
  // Keys: the table constraints, then the column ones.
  std::vector<TSQLTableConstraint> keys = Constraints;
  for (const TSQLFieldDef& f : FieldDefs) {
    if (f.PrimaryKey) keys.push_back({"", true, {f.Name}});
    if (f.Unique) keys.push_back({"", false, {f.Name}});
  }
  for (const TSQLTableConstraint& key : keys) {
    std::string name = key.Name;
    if (name.empty()) {
      const std::string base = key.Primary ? "C_PK" : "C_Unique";
      name = base;
      for (int32_t n = 2; indexes.Find(name); ++n) name = base + "_" + std::to_string(n);
    }
    TABSIndexDef* index = indexes.AddIndexDef();
    index->Name = name;
    index->Unique = true;
    index->Primary = key.Primary;
    for (const std::string& field : key.Fields) {
      if (!fields.Find(field)) RaiseError(30259, field);
      TABSIndexColumn column;
      column.FieldName = field;
      index->Columns.push_back(column);
      if (key.Primary && constraints.Find("$C_NotNull$" + TableName + "$" + field) == nullptr) {
        bool has = false;
        for (int32_t i = 0; i < constraints.Count(); ++i) {
          TABSConstraintDef* c = constraints.Item(i);
          if (c->ConstraintType == ctNotNull && ExprSameName(c->TargetName().Name, field)) has = true;
        }
        if (!has) constraints.AddNotNull("", field);
      }
    }
  }
  constraints.SetTableName(TableName);
  constraints.GenerateNames();
  wrapped(30248, [&] {
    OpenTable t(db, session, TableName, InMemory || query.InMemory());
    t.cursor.CreateTable(fields, indexes, constraints);
  });
}

// ---- DROP TABLE ----

void TABSDDLDropTable::Parse() {
  Expect();  // DROP
  Expect();  // TABLE
  if (IsKeyword(u"IF")) {
    Expect();
    ExpectKeyword(u"EXISTS", 20261);
    IfExists = true;
  }
  read_table(30183);
  read_password(30238);
  ExpectStatementEnd();
}

void TABSDDLDropTable::Execute(TABSSQLQuery& query, bool, int64_t& rows_affected, bool& read_only) {
  rows_affected = 0;
  read_only = true;
  refuse_in_transaction(query, "DeleteTable", 20177);
  TABSBaseSession* session = nullptr;
  TABSDatabaseData& db = database(query, session);
  if (!db.TableExists(TableName)) {
    if (IfExists) return;
    wrapped(30250, [&] { RaiseError(40804, TableName); });
  }
  wrapped(30250, [&] {
    OpenTable t(db, session, TableName, InMemory || query.InMemory());
    t.cursor.DeleteTable();
  });
}

// ---- TRUNCATE ----

void TABSDDLTruncateTable::Parse() {
  Expect();  // TRUNCATE
  if (IsKeyword(u"TABLE")) Expect();
  read_table(30493);
  read_password(30238);
  ExpectStatementEnd();
}

void TABSDDLTruncateTable::Execute(TABSSQLQuery& query, bool, int64_t& rows_affected, bool& read_only) {
  rows_affected = 0;
  read_only = true;
  TABSBaseSession* session = nullptr;
  TABSDatabaseData& db = database(query, session);
  wrapped(30491, [&] {
    if (!db.TableExists(TableName)) RaiseError(40804, TableName);
    OpenTable t(db, session, TableName, InMemory || query.InMemory());
    t.cursor.EmptyTable();
  });
}

// ---- RENAME TABLE ----

void TABSDDLRenameTable::Parse() {
  Expect();  // RENAME
  if (IsKeyword(u"TABLE")) Expect();
  read_table(30498);
  ExpectKeyword(u"TO", 30334);
  NewName = ReadName(30498);
  ExpectStatementEnd();
}

void TABSDDLRenameTable::Execute(TABSSQLQuery& query, bool, int64_t& rows_affected, bool& read_only) {
  rows_affected = 0;
  read_only = true;
  refuse_in_transaction(query, "RenameTable", 20179);
  TABSBaseSession* session = nullptr;
  TABSDatabaseData& db = database(query, session);
  if (!db.TableExists(TableName)) RaiseError(40804, TableName);
  if (db.TableExists(NewName)) RaiseError(30451, NewName);
  OpenTable t(db, session, TableName, InMemory || query.InMemory());
  t.cursor.RenameTable(NewName);
}

// ---- ALTER TABLE ----

void TABSDDLAlterTable::Parse() {
  Expect();  // ALTER
  Expect();  // TABLE
  read_table(30217);
  read_password(30238);
  for (;;) {
    RequireToken();
    TABSAlterAction action;
    if (IsKeyword(u"ADD") || IsKeyword(u"MODIFY")) {
      action.Kind = IsKeyword(u"ADD") ? akAdd : akModify;
      Expect();
      if (IsKeyword(u"COLUMN")) Expect();
      action.Field = parse_field_definition();
      action.FieldName = action.Field.Name;
    } else if (IsKeyword(u"DROP")) {
      action.Kind = akDrop;
      Expect();
      if (IsKeyword(u"COLUMN")) Expect();
      action.FieldName = ReadName(30163, true);
    } else if (IsKeyword(u"RENAME")) {
      action.Kind = akRenameColumn;
      Expect();
      if (IsKeyword(u"COLUMN")) Expect();
      action.FieldName = ReadName(30163, true);
      ExpectKeyword(u"TO", 30334);
      action.NewName = ReadName(30163, true);
    } else {
      RaiseFound(30252);
    }
    Actions.push_back(std::move(action));
    if (Current().kind != tkComma) break;
    Expect();
  }
  ExpectStatementEnd();
}

void TABSDDLAlterTable::Execute(TABSSQLQuery& query, bool, int64_t& rows_affected, bool& read_only) {
  rows_affected = 0;
  read_only = true;
  refuse_in_transaction(query, "RestructureTable", 20183);
  TABSBaseSession* session = nullptr;
  TABSDatabaseData& db = database(query, session);
  const bool in_memory = InMemory || query.InMemory();
  if (!db.TableExists(TableName)) RaiseError(40804, TableName);

  // The new definition: fields (each with the name it had, empty for added ones), indexes
  // and constraints that survive.
  TABSFieldDefs fields;
  TABSIndexDefs indexes;
  TABSConstraintDefs constraints;
  std::vector<std::string> source_names;
  std::string new_table;
  {
    OpenTable old(db, session, TableName, in_memory);
    TABSLocalCursor& c = old.cursor;
    struct Column {
      std::string source;     // the old field it is copied from ("" for an added one)
      TABSFieldDef* old_def;  // its old definition, null when (re)defined by the statement
      const TSQLFieldDef* def;
      std::string name;
    };
    std::vector<Column> columns;
    for (int32_t i = 0; i < c.TableFields.Count(); ++i) {
      TABSFieldDef* f = c.TableFields.Item(i);
      columns.push_back({f->Name, f, nullptr, f->Name});
    }
    auto find = [&](const std::string& name) {
      return std::find_if(columns.begin(), columns.end(),
                          [&](const Column& col) { return ExprSameName(col.name, name); });
    };
    std::vector<std::pair<std::string, std::string>> renames;  // old → new names of kept fields
    bool only_renames = true;
    for (const TABSAlterAction& a : Actions) {
      auto it = find(a.FieldName);
      switch (a.Kind) {
        case akAdd:
          if (it != columns.end()) RaiseError(30351, a.FieldName);
          columns.push_back({"", nullptr, &a.Field, a.Field.Name});
          only_renames = false;
          break;
        case akDrop:
          if (it == columns.end()) RaiseError(30259, a.FieldName);
          columns.erase(it);
          only_renames = false;
          break;
        case akModify:
          if (it == columns.end()) RaiseError(30259, a.FieldName);
          it->old_def = nullptr;
          it->def = &a.Field;
          it->name = a.Field.Name;
          only_renames = false;
          break;
        case akRenameColumn: {
          if (it == columns.end()) RaiseError(30259, a.FieldName);
          auto taken = find(a.NewName);
          if (taken != columns.end() && taken != it) RaiseError(30351, a.NewName);
          renames.emplace_back(it->name, a.NewName);
          it->name = a.NewName;
          break;
        }
      }
    }
    if (columns.empty()) RaiseError(30265, "no fields left");
    if (only_renames) {
      // Renaming fields keeps the table and its rows.
      wrapped(30265, [&] {
        for (const auto& [from, to] : renames) c.RenameField(from, to);
      });
      return;
    }
    // The new name of an old field (empty when it is gone).
    auto renamed = [&](const std::string& old_name) -> std::string {
      for (const Column& col : columns)
        if (ExprSameName(col.source, old_name)) return col.name;
      return std::string();
    };
    for (const Column& col : columns) {
      if (col.old_def) {
        TABSFieldDef* d = fields.AddFieldDef();
        d->Assign(*col.old_def);
        d->Name = col.name;
        d->ObjectID = -1;
        fields.RecomputeOffsets();
      } else {
        TSQLFieldDef def = *col.def;
        def.Name = col.name;
        fill_field(fields, constraints, def);
      }
      source_names.push_back(col.source);
    }
    // Indexes whose fields all remain, under their new names.
    for (int32_t i = 0; i < c.IndexDefs.Count(); ++i) {
      const TABSIndexDef* index = c.IndexDefs.Item(i);
      if (index->Temporary) continue;
      TABSIndexDef copy;
      copy.Assign(*index);
      bool kept = true;
      for (TABSIndexColumn& column : copy.Columns) {
        column.FieldName = renamed(column.FieldName);
        if (column.FieldName.empty()) kept = false;
      }
      if (!kept) continue;
      TABSIndexDef* added = indexes.AddIndexDef();
      added->Assign(copy);
      added->ObjectID = -1;
      added->RootPageNo = -1;
    }
    // NOT NULL and check constraints of the fields that remain unchanged.
    for (int32_t i = 0; i < c.ConstraintDefs.Count(); ++i) {
      const TABSConstraintDef* cd = c.ConstraintDefs.Item(i);
      if (cd->ConstraintType != ctNotNull && cd->ConstraintType != ctCheck) continue;
      const std::string field = renamed(cd->TargetName().Name);
      if (field.empty()) continue;
      const bool redefined = std::any_of(columns.begin(), columns.end(), [&](const Column& col) {
        return ExprSameName(col.name, field) && !col.old_def;
      });
      if (redefined) continue;
      if (cd->ConstraintType == ctNotNull) {
        constraints.AddNotNull("", field);
      } else {
        const auto* check = static_cast<const TABSConstraintDefCheck*>(cd);
        constraints.AddCheck("", field, check->MinValue, check->MaxValue);
      }
    }
    new_table = free_table_name(db, TableName + "$restructure");
    constraints.SetTableName(new_table);
    constraints.GenerateNames();
  }

  // Build the new table and copy the rows; the old table is untouched until this is done.
  try {
    OpenTable source(db, session, TableName, in_memory);
    OpenTable target(db, session, new_table, in_memory);
    target.cursor.CreateTable(fields, indexes, constraints);
    std::vector<int32_t> from;
    for (const std::string& name : source_names) from.push_back(name.empty() ? -1 : source.cursor.TableFields.IndexOf(name));
    TABSLocalCursor& s = source.cursor;
    TABSLocalCursor& t = target.cursor;
    s.GoToBegin();
    TABSVariant value;
    while (s.GetRecord(grmNext) == grrFound) {
      t.NewRecord();
      for (size_t i = 0; i < from.size(); ++i) {
        if (from[i] < 0) continue;
        s.GetFieldValue(from[i], true, value);
        t.SetFieldValue(static_cast<int32_t>(i), true, value);
      }
      const int32_t outcome = t.PostInsert();
      if (outcome == roConstraintFailed) throw VODIDivodavir(t.LastNativeError, t.LastMessage);
      if (outcome != roOK) throw EABSEngineError(outcome);
    }
  } catch (const std::exception& e) {
    const std::string message = e.what();
    try {
      if (db.TableExists(new_table)) {
        OpenTable drop(db, session, new_table, in_memory);
        drop.cursor.DeleteTable();
      }
    } catch (...) {
      // the restructure's own failure is the one reported
    }
    RaiseError(30265, message);
  }
  // Put the new table in the old one's place: the old one steps aside first and comes
  // back when the new one cannot take its name.
  const std::string old_aside = free_table_name(db, TableName + "$old");
  {
    OpenTable old(db, session, TableName, in_memory);
    wrapped(30265, [&] { old.cursor.RenameTable(old_aside); });
  }
  try {
    OpenTable replacement(db, session, new_table, in_memory);
    replacement.cursor.RenameTable(TableName);
  } catch (const VODIDivodavir& e) {
    const std::string message = e.what();
    OpenTable old(db, session, old_aside, in_memory);
    old.cursor.RenameTable(TableName);
    RaiseError(30265, message);
  }
  OpenTable old(db, session, old_aside, in_memory);
  old.cursor.DeleteTable();
}

// ---- CREATE INDEX / DROP INDEX ----

void TABSDDLCreateIndex::Parse() {
  Expect();  // CREATE
  if (IsKeyword(u"UNIQUE")) {
    Unique = true;
    Expect();
  } else if (IsKeyword(u"PRIMARY")) {
    Primary = Unique = true;
    Expect();
  }
  if (!IsKeyword(u"INDEX")) RaiseFound(30267);
  Expect();
  if (!IsName()) RaiseFound(30269);
  IndexName = ReadName(30269);
  if (!IsKeyword(u"ON")) RaiseFound(30270);
  Expect();
  read_table(30230);
  if (Current().kind != tkOpenParen) RaiseFound(30273);
  Expect();
  for (;;) {
    RequireToken();
    if (!IsName(true)) RaiseFound(30274);
    TABSSQLIndexColumn column;
    column.FieldName = ReadName(30274, true);
    if (IsKeyword(u"ASC")) {
      Next();
    } else if (IsKeyword(u"DESC")) {
      column.Descending = true;
      Next();
    }
    if (IsKeyword(u"NOCASE")) {
      column.CaseInsensitive = true;
      Next();
    }
    Columns.push_back(std::move(column));
    RequireToken();
    if (Current().kind == tkCloseParen) break;
    if (Current().kind != tkComma) RaiseFound(30276);
    Expect();
  }
  Next();
  read_password(30275);
  ExpectStatementEnd();
}

void TABSDDLCreateIndex::Execute(TABSSQLQuery& query, bool, int64_t& rows_affected, bool& read_only) {
  rows_affected = 0;
  read_only = true;
  refuse_in_transaction(query, "AddIndex", 20181);
  TABSBaseSession* session = nullptr;
  TABSDatabaseData& db = database(query, session);
  if (!db.TableExists(TableName)) RaiseError(40804, TableName);
  OpenTable t(db, session, TableName, InMemory || query.InMemory());
  TABSIndexDef index;
  index.Name = IndexName;
  index.Unique = Unique;
  index.Primary = Primary;
  for (const TABSSQLIndexColumn& c : Columns) {
    if (t.cursor.TableFields.IndexOf(c.FieldName) < 0) RaiseError(30259, c.FieldName);
    TABSIndexColumn column;
    column.FieldName = c.FieldName;
    column.Descending = c.Descending;
    column.CaseInsensitive = c.CaseInsensitive;
    index.Columns.push_back(column);
  }
  t.cursor.AddIndex(index);
}

void TABSDDLDropIndex::Parse() {
  Expect();  // DROP
  Expect();  // INDEX
  if (IsKeyword(u"MEMORY")) {
    InMemory = true;
    Expect();
  }
  TableName = ReadName(30231);
  if (Current().kind != tkDot) RaiseTokenExpected(20261, ".");
  Expect();
  IndexName = ReadName(30269);
  read_password(30275);
  ExpectStatementEnd();
}

void TABSDDLDropIndex::Execute(TABSSQLQuery& query, bool, int64_t& rows_affected, bool& read_only) {
  rows_affected = 0;
  read_only = true;
  refuse_in_transaction(query, "DeleteIndex", 20182);
  TABSBaseSession* session = nullptr;
  TABSDatabaseData& db = database(query, session);
  if (!db.TableExists(TableName)) RaiseError(40804, TableName);
  OpenTable t(db, session, TableName, InMemory || query.InMemory());
  t.cursor.DeleteIndex(IndexName);
}

// ---- transactions ----

void TABSSQLStartTransaction::Parse() {
  Expect();
  ExpectKeyword(u"TRANSACTION", 30458);
  ExpectStatementEnd();
}

void TABSSQLStartTransaction::Execute(TABSSQLQuery& query, bool, int64_t& rows_affected, bool& read_only) {
  rows_affected = 0;
  read_only = true;
  query.StartTransaction();
}

void TABSSQLCommit::Parse() {
  if (!IsKeyword(u"COMMIT")) RaiseTokenExpected(30460, "COMMIT");
  Next();
  if (IsKeyword(u"FLUSH")) {
    Flush = true;
    Next();
  } else if (IsKeyword(u"WORK") || IsKeyword(u"TRANSACTION")) {
    Next();
  }
  ExpectStatementEnd();
}

void TABSSQLCommit::Execute(TABSSQLQuery& query, bool, int64_t& rows_affected, bool& read_only) {
  rows_affected = 0;
  read_only = true;
  query.Commit(Flush);
}

void TABSSQLRollback::Parse() {
  if (!IsKeyword(u"ROLLBACK")) RaiseTokenExpected(30462, "ROLLBACK");
  Next();
  if (IsKeyword(u"WORK") || IsKeyword(u"TRANSACTION")) Next();
  ExpectStatementEnd();
}

void TABSSQLRollback::Execute(TABSSQLQuery& query, bool, int64_t& rows_affected, bool& read_only) {
  rows_affected = 0;
  read_only = true;
  query.Rollback();
}

}  // namespace dadoveri
