// SELECT: the query expression (UNION, EXCEPT/MINUS, INTERSECT over SELECT
// blocks) and one SELECT block with its select list, table references,
// joins, WHERE, GROUP BY and HAVING; ORDER BY after the whole query.
#include <algorithm>

#include "engine/base/engine_error.h"
#include "engine/database/local_cursor.h"
#include "engine/query/ao_table.h"
#include "engine/query/cursor_filter_expression.h"
#include "engine/query/operator_tree.h"
#include "engine/query/expr_text.h"
#include "engine/query/sql_query.h"
#include "engine/query/sql_statement.h"
#include "engine/table/constraint_def.h"
#include "engine/table/database_data.h"
#include "engine/table/field_def.h"
#include "engine/table/index_def.h"

namespace dadoveri {

std::string TABSSelectListItem::ColumnName() const {
  if (!Alias.empty()) return Alias;
  if (!IsExpression) return FieldName;
  return std::string();
}

// ---- query expression ----

void TABSSQLUnion::Parse() {
  NestingGuard guard(*this);
  Root = parse_query();
  parse_order_by();
  if (SelectCount() > 1) {
    // INTO belongs to a single SELECT block.
    std::vector<const TABSQueryExprNode*> pending{Root.get()};
    while (!pending.empty()) {
      const TABSQueryExprNode* n = pending.back();
      pending.pop_back();
      if (n->Select && n->Select->HasInto) RaiseError(20272);
      if (n->Left) pending.push_back(n->Left.get());
      if (n->Right) pending.push_back(n->Right.get());
    }
  }
  ExpectStatementEnd();
}

int32_t TABSSQLUnion::SelectCount() const {
  int32_t count = 0;
  std::vector<const TABSQueryExprNode*> pending{Root.get()};
  while (!pending.empty()) {
    const TABSQueryExprNode* n = pending.back();
    pending.pop_back();
    if (!n) continue;
    if (n->Select) ++count;
    pending.push_back(n->Left.get());
    pending.push_back(n->Right.get());
  }
  return count;
}

std::unique_ptr<TABSQueryExprNode> TABSSQLUnion::parse_query() {
  std::unique_ptr<TABSQueryExprNode> left = parse_term();
  for (;;) {
    TABSQueryExprKind kind;
    if (IsKeyword(u"UNION")) {
      kind = qeUnion;
    } else if (IsKeyword(u"EXCEPT") || IsKeyword(u"MINUS")) {
      kind = qeExcept;
    } else {
      return left;
    }
    Expect();
    auto node = std::make_unique<TABSQueryExprNode>();
    node->Kind = kind;
    parse_set_options(*node);
    node->Left = std::move(left);
    node->Right = parse_term();
    left = std::move(node);
  }
}

std::unique_ptr<TABSQueryExprNode> TABSSQLUnion::parse_term() {
  std::unique_ptr<TABSQueryExprNode> left = parse_primary();
  while (IsKeyword(u"INTERSECT")) {
    Expect();
    auto node = std::make_unique<TABSQueryExprNode>();
    node->Kind = qeIntersect;
    parse_set_options(*node);
    node->Left = std::move(left);
    node->Right = parse_primary();
    left = std::move(node);
  }
  return left;
}

void TABSSQLUnion::parse_set_options(TABSQueryExprNode& node) {
  if (IsKeyword(u"ALL")) {
    node.All = true;
    Expect();
  }
  if (IsKeyword(u"CORRESPONDING")) {
    node.Corresponding = true;
    Expect();
    if (IsKeyword(u"BY")) {
      Expect();
      ExpectKind(tkOpenParen, "(", 20261);
      for (;;) {
        node.CorrespondingBy.push_back(ReadName(30163));
        RequireToken();
        if (Current().kind == tkCloseParen) break;
        if (Current().kind != tkComma) RaiseFound(30212);
        Next();
      }
      Expect();
    }
  }
}

std::unique_ptr<TABSQueryExprNode> TABSSQLUnion::parse_primary() {
  RequireToken();
  if (Current().kind == tkOpenParen) {
    NestingGuard guard(*this);
    Expect();
    std::unique_ptr<TABSQueryExprNode> inner = parse_query();
    ExpectKind(tkCloseParen, ")", 20261);
    return inner;
  }
  if (!IsKeyword(u"SELECT")) RaiseTokenExpected(20263, "SELECT");
  auto node = std::make_unique<TABSQueryExprNode>();
  node->Kind = qeSelect;
  node->Select = std::make_unique<TABSSQLSelect>(state_, End());
  node->Select->Parse();
  Sync();
  return node;
}

void TABSSQLUnion::parse_order_by() {
  if (!IsKeyword(u"ORDER")) return;
  Expect();
  ExpectKeyword(u"BY", 30185);
  for (;;) {
    RequireToken();
    TABSOrderByItem sort;
    const TToken& t = Current();
    if (t.kind == tkInteger) {
      sort.ColumnNumber = static_cast<int32_t>(ReadInteger(30190));
    } else if (t.kind == tkParameter) {
      if (!t.value || t.value->IsNull()) RaiseFound(30190);
      if (IsIntegerBaseType(t.value->ValueType())) {
        sort.ColumnNumber = t.value->GetAsInteger();
      } else {
        sort.FieldName = NameText();
      }
      Next();
    } else if (IsName()) {
      sort.FieldName = ReadName(30190);
      if (Current().kind == tkDot) {
        Expect();
        sort.TableName = std::move(sort.FieldName);
        sort.FieldName = ReadName(30190);
      }
    } else {
      RaiseFound(30190);
    }
    if (IsKeyword(u"ASC")) {
      Next();
    } else if (IsKeyword(u"DESC")) {
      sort.Descending = true;
      Next();
    }
    OrderBy.push_back(std::move(sort));
    if (Current().kind != tkComma) break;
    Expect();
  }
}

TABSSQLCursorCommand::~TABSSQLCursorCommand() {
  if (result_) result_->Close();
  tree_.reset();
  context_.reset();
}

TABSCursor* TABSSQLCursorCommand::GetResultCursor() {
  if (result_) return result_.get();
  return tree_ ? tree_->Cursor() : nullptr;
}

namespace {

// Read locks on the base tables a tree reads, for the duration of its execution.
struct ReadLocks {
  std::vector<TABSAO*> tables;
  explicit ReadLocks(TABSAO& root) {
    root.CollectTables(tables);
    for (TABSAO* t : tables) static_cast<TABSAOTable*>(t)->LockForReading();
  }
  ~ReadLocks() {
    for (TABSAO* t : tables) static_cast<TABSAOTable*>(t)->Unlock();
  }
  ReadLocks(const ReadLocks&) = delete;
  ReadLocks& operator=(const ReadLocks&) = delete;
};

}  // namespace

// The query runs as a tree of relational operators. A query of one base table with
// nothing to compute, asked for live, keeps the table's own cursor as its result; every
// other result is a read-only copy in a temporary table.
void TABSSQLUnion::Execute(TABSSQLQuery& query, bool live, int64_t& rows_affected, bool& read_only) {
  rows_affected = 0;
  read_only = true;
  if (!Root) RaiseError(40802);
  if (result_) {
    // A live result again: the same cursor from its first row.
    result_->GoToBegin();
    read_only = !live;
    return;
  }
  build(query, live);
  context_->Outer = outer_;
  auto* table = dynamic_cast<TABSAOTable*>(tree_.get());
  if (table != nullptr && table->IsBaseTable() && Root->Select) {
    execute_live(*table, *Root->Select);
    read_only = !live;
    return;
  }
  {
    ReadLocks locks(*tree_);
    tree_->Execute(live, nullptr, nullptr);
  }
  if (Root->Select && Root->Select->HasInto) rows_affected = copy_into(query, *Root->Select);
  tree_->Cursor()->GoToBegin();
}

void TABSSQLUnion::build(TABSSQLQuery& query, bool live) {
  if (tree_) return;
  context_ = std::make_unique<TABSAOContext>();
  context_->Query = &query;
  context_->AllowOuter = allow_outer_;
  tree_ = BuildQueryTree(*context_, *Root, query, live, &OrderBy);
}

void TABSSQLUnion::AllowOuter() { allow_outer_ = true; }

void TABSSQLUnion::Prepare(TABSSQLQuery& query) {
  if (!Root) RaiseError(40802);
  if (!result_) build(query, false);
}

const std::vector<std::pair<std::string, std::string>>& TABSSQLUnion::OuterReferences() const {
  static const std::vector<std::pair<std::string, std::string>> kNone;
  return context_ ? context_->OuterReferences : kNone;
}

void TABSSQLUnion::SetOuterSources(std::vector<TABSExprRecordSource*> sources) {
  outer_ = std::move(sources);
  if (context_) context_->Outer = outer_;
}

// The live result: the table's cursor with the WHERE as its filter, the select list as
// its projection and ORDER BY through an index.
void TABSSQLUnion::execute_live(TABSAOTable& table, TABSSQLSelect& s) {
  {
    ReadLocks locks(table);
    table.Execute(true, nullptr, nullptr);
  }
  std::unique_ptr<TABSLocalCursor> cursor = table.TakeCursor();
  tree_.reset();
  struct CloseOnFailure {
    std::unique_ptr<TABSLocalCursor>& cursor;
    ~CloseOnFailure() {
      if (cursor) cursor->Close();
    }
  } guard{cursor};
  if (!s.AllColumns) {
    std::vector<std::string> names, aliases;
    for (const TABSSelectListItem& item : s.SelectList) {
      if (!item.TableName.empty() && !ExprSameName(item.TableName, table.Name()))
        RaiseError(10341, item.TableName + "." + (item.AllFields ? std::string("*") : item.FieldName), table.Name());
      if (item.AllFields) {
        for (int32_t i = 0; i < cursor->TableFields.Count(); ++i) {
          names.push_back(cursor->TableFields.Item(i)->Name);
          aliases.push_back(names.back());
        }
        continue;
      }
      if (cursor->TableFields.IndexOf(item.FieldName) < 0) RaiseError(10305, item.FieldName);
      names.push_back(item.FieldName);
      aliases.push_back(item.ColumnName());
    }
    cursor->SetProjection(names, aliases);
  }
  if (!OrderBy.empty()) {
    std::vector<std::string> names, directions, cases;
    for (const TABSOrderByItem& sort : OrderBy) {
      std::string name;
      if (sort.ColumnNumber != 0) {
        if (sort.ColumnNumber < 1 || sort.ColumnNumber > cursor->VisibleFields.Count())
          RaiseError(20243, sort.ColumnNumber);
        name = cursor->VisibleFields.Item(sort.ColumnNumber - 1)->Name;
      } else {
        const TABSFieldDef* visible = cursor->VisibleFields.Find(sort.FieldName);
        if (!visible || (!sort.TableName.empty() && !ExprSameName(sort.TableName, table.Name())))
          RaiseError(30195, sort.FieldName);
        name = visible->Name;
      }
      names.push_back(name);
      directions.push_back(sort.Descending ? "DESC" : "ASC");
      cases.push_back("CASE");
    }
    cursor->SetKeyFields(names, directions, cases);
  }
  cursor->GoToBegin();
  result_ = std::move(cursor);
}

// INTO: the result copied into a new table of the query's database (or in memory).
int64_t TABSSQLUnion::copy_into(TABSSQLQuery& query, TABSSQLSelect& s) {
  TABSLocalCursor& from = *tree_->Cursor();
  TABSBaseSession* session = nullptr;
  TABSDatabaseData& database = TargetDatabase(query, s.IntoInMemory, s.IntoDatabase, {}, session);
  int64_t rows = 0;
  TABSLocalCursor to(session, s.IntoTable);
  to.InMemory = s.IntoInMemory || query.InMemory();
  // An existing table is never replaced.
  if (database.TableExists(s.IntoTable)) RaiseError(30247, s.IntoTable);
  try {
    TABSFieldDefs fields;
    for (int32_t i = 0; i < from.TableFields.Count(); ++i) {
      const TABSFieldDef* f = from.TableFields.Item(i);
      TABSFieldDef* d = fields.AddFieldDef();
      d->Name = f->Name;
      d->SetType(f->ColumnType, f->Size);
    }
    TABSIndexDefs indexes;
    TABSConstraintDefs constraints;
    to.Open(database);
    to.CreateTable(fields, indexes, constraints);
    TABSVariant v;
    from.GoToBegin();
    while (from.GetRecord(grmNext) == grrFound) {
      to.NewRecord();
      for (int32_t i = 0; i < from.TableFields.Count(); ++i) {
        from.GetFieldValue(i, true, v);
        if (!v.IsNull()) to.SetFieldValue(i, true, v);
      }
      if (const int32_t outcome = to.PostInsert(); outcome != roOK) RaiseError(40806, s.IntoTable, outcome);
      ++rows;
    }
    to.Close();
  } catch (const VODIDivodavir& e) {
    if (to.IsOpen()) to.Close();
    RaiseError(40807, std::string(e.what()));
  }
  return rows;
}

// ---- SELECT block ----

void TABSSQLSelect::Parse() {
  if (!IsKeyword(u"SELECT")) RaiseTokenExpected(20263, "SELECT");
  Expect();
  if (IsKeyword(u"ALL")) {
    Expect();
  } else if (IsKeyword(u"DISTINCT")) {
    Distinct = true;
    Expect();
  }
  if (IsKeyword(u"TOP")) {
    Expect();
    TopCount = ReadInteger(30158);
    if (Current().kind == tkComma) {
      Expect();
      TopStart = ReadInteger(30159);
    }
  }
  parse_select_list();
  if (IsKeyword(u"INTO")) {
    HasInto = true;
    IntoLine = Current().line;
    IntoColumn = Current().column;
    Expect();
    if (IsKeyword(u"MEMORY")) {
      IntoInMemory = true;
      Expect();
      if (IsKeyword(u"IMMEDIATE")) Expect();
    }
    IntoTable = ReadName(30207);
    if (Current().kind == tkDot) {
      Expect();
      IntoDatabase = std::move(IntoTable);
      IntoTable = ReadName(30208);
    }
  }
  ExpectKeyword(u"FROM", 30167);
  for (;;) {
    From.push_back(parse_table_reference());
    if (Current().kind != tkComma) break;
    Expect();
  }
  if (IsKeyword(u"WHERE")) {
    Expect();
    Where = ParseConditionExpression();
  }
  if (IsKeyword(u"GROUP")) {
    Expect();
    ExpectKeyword(u"BY", 30184);
    for (;;) {
      RequireToken();
      if (!IsName()) RaiseFound(30179);
      std::string table, field = ReadName(30179);
      if (Current().kind == tkDot) {
        Expect();
        table = std::move(field);
        field = ReadName(30179);
      }
      // A plain field ends at a comma or at the next clause.
      const bool ends = AtEnd() || Current().kind == tkComma || Current().kind == tkCloseParen ||
                        IsKeyword(u"HAVING") || IsKeyword(u"ORDER") || IsKeyword(u"UNION") ||
                        IsKeyword(u"EXCEPT") || IsKeyword(u"MINUS") || IsKeyword(u"INTERSECT");
      if (!ends) RaiseError(10407, field, Current().line, Current().column);
      GroupBy.emplace_back(std::move(table), std::move(field));
      if (Current().kind != tkComma) break;
      Expect();
    }
  }
  if (IsKeyword(u"HAVING")) {
    Expect();
    Having = ParseConditionExpression();
  }
  resolve_aliases();
}

void TABSSQLSelect::parse_select_list() {
  RequireToken();
  if (IsSymbol(u"*")) {
    AllColumns = true;
    Next();
    return;
  }
  if (IsKeyword(u"FROM") || IsKeyword(u"INTO")) RaiseFound(30164);
  parse_item();
  while (Current().kind == tkComma) {
    Expect();
    if (IsKeyword(u"FROM") || IsKeyword(u"INTO")) RaiseFound(30163);
    parse_item();
  }
  // Repeated fields without an alias: the first free name field_1, field_2 …
  for (TABSSelectListItem& item : SelectList) {
    if (!item.DuplicateName || !item.Alias.empty()) continue;
    for (int32_t n = 1;; ++n) {
      const std::string name = item.FieldName + "_" + std::to_string(n);
      const bool taken = std::any_of(SelectList.begin(), SelectList.end(), [&](const TABSSelectListItem& other) {
        return ExprSameName(other.ColumnName(), name);
      });
      if (!taken) {
        item.Alias = name;
        break;
      }
    }
  }
}

void TABSSQLSelect::parse_item() {
  RequireToken();
  TABSSelectListItem item;
  // t.*
  if (IsName(false, false)) {
    const int32_t start = Position();
    const std::string table = NameText();
    Next();
    if (Current().kind == tkDot) {
      Next();
      if (IsSymbol(u"*")) {
        item.TableName = table;
        item.AllFields = true;
        Next();
        SelectList.push_back(std::move(item));
        return;
      }
    }
    SetPosition(start);
  }
  std::unique_ptr<TABSExpression> expression = ParseValueExpression(30160);
  if (expression->IsField()) {
    expression->GetFieldName(item.TableName, item.FieldName);
    const bool repeated = std::any_of(SelectList.begin(), SelectList.end(), [&](const TABSSelectListItem& other) {
      return !other.IsExpression && !other.AllFields && ExprSameName(other.FieldName, item.FieldName) &&
             ExprSameName(other.TableName, item.TableName);
    });
    if (repeated) {
      item.IsExpression = true;
      item.DuplicateName = true;
      item.Expression = std::move(expression);
    }
  } else {
    item.IsExpression = true;
    item.Expression = std::move(expression);
  }
  if (IsKeyword(u"AS")) {
    Expect();
    if (!IsName(false, false)) RaiseFound(30162);
    item.Alias = NameText();
    Next();
  } else if (IsName(false, false)) {
    item.Alias = NameText();
    Next();
  }
  SelectList.push_back(std::move(item));
}

void TABSSQLSelect::read_table_name(TABSTableReference& reference, int32_t code) {
  RequireToken();
  if (!IsName()) RaiseFound(code);
  reference.TableName = ReadName(code);
  if (Current().kind == tkDot) {
    Expect();
    reference.DatabaseName = std::move(reference.TableName);
    reference.TableName = ReadName(code);
  }
}

void TABSSQLSelect::read_optional_alias(TABSTableReference& reference) {
  if (IsKeyword(u"AS")) {
    Expect();
    if (!IsName(false, false)) RaiseFound(30162);
    reference.Alias = NameText();
    Next();
  } else if (IsName(false, false)) {
    reference.Alias = NameText();
    Next();
  }
}

std::unique_ptr<TABSTableReference> TABSSQLSelect::parse_table_reference() {
  NestingGuard guard(*this);
  std::unique_ptr<TABSTableReference> reference = parse_table_primary();
  while (parse_join(*reference)) {
  }
  return reference;
}

std::unique_ptr<TABSTableReference> TABSSQLSelect::parse_table_primary() {
  RequireToken();
  auto reference = std::make_unique<TABSTableReference>();
  if (Current().kind == tkOpenParen) {
    // A derived table when the parentheses open a query, else a parenthesised reference.
    const int32_t open = Position();
    int32_t first = open;
    TToken t;
    while (lexer_.SetPositionAndRead(first, t) && t.kind == tkOpenParen && first < End()) ++first;
    const bool query = first < End() && t.kind == tkKeyword && t.keyword == FindKeyword(u"SELECT");
    SetPosition(open);
    if (query) {
      const int32_t close = MatchingParen(open);
      if (close < 0) RaiseUnexpectedEnd();
      reference->Subquery = ParseQuery(open + 1, close);
      SetPosition(close + 1);
    } else {
      Expect();
      reference->Nested = parse_table_reference();
      ExpectKind(tkCloseParen, ")", 20261);
    }
    read_optional_alias(*reference);
    return reference;
  }
  if (IsKeyword(u"MEMORY")) {
    reference->InMemory = true;
    Expect();
  }
  read_table_name(*reference, 30165);
  read_optional_alias(*reference);
  if (IsKeyword(u"PASSWORD")) {
    Expect();
    if (Current().kind != tkString && Current().kind != tkParameter) RaiseFound(30178);
    reference->Password = NameText();
    Next();
  }
  return reference;
}

bool TABSSQLSelect::parse_join(TABSTableReference& reference) {
  TABSJoinedReference join;
  bool words = false;
  if (IsKeyword(u"CROSS")) {
    join.Kind = jkCross;
    words = true;
    Expect();
  } else {
    if (IsKeyword(u"NATURAL")) {
      join.Natural = true;
      words = true;
      Expect();
    }
    if (IsKeyword(u"INNER")) {
      words = true;
      Expect();
    } else if (IsKeyword(u"LEFT") || IsKeyword(u"RIGHT") || IsKeyword(u"FULL")) {
      join.Kind = IsKeyword(u"LEFT") ? jkLeft : IsKeyword(u"RIGHT") ? jkRight : jkFull;
      words = true;
      Expect();
      if (IsKeyword(u"OUTER")) Expect();
    }
  }
  if (!IsKeyword(u"JOIN")) {
    if (words) RaiseTokenExpected(30175, "JOIN");
    return false;
  }
  Expect();
  if (Current().kind != tkOpenParen && !IsName() && !IsKeyword(u"MEMORY")) RaiseFound(30166);
  join.Reference = parse_table_primary();
  if (IsKeyword(u"ON")) {
    Expect();
    join.On = ParseConditionExpression();
  } else if (IsKeyword(u"USING")) {
    Expect();
    ExpectKind(tkOpenParen, "(", 20261);
    for (;;) {
      join.Using.push_back(ReadName(30187));
      RequireToken();
      if (Current().kind == tkCloseParen) break;
      if (Current().kind != tkComma) RaiseFound(30212);
      Expect();
    }
    Next();
  }
  reference.Joins.push_back(std::move(join));
  return true;
}

void TABSSQLSelect::resolve_aliases() {
  std::vector<TABSExprSelectItem> items;
  for (const TABSSelectListItem& item : SelectList) {
    TABSExprSelectItem e;
    e.Alias = item.Alias;
    e.IsField = !item.IsExpression && !item.AllFields;
    e.TableName = item.TableName;
    e.FieldName = item.FieldName;
    items.push_back(std::move(e));
  }
  if (items.empty()) return;
  if (Where) Where->ResolveAliases(items);
  if (Having) Having->ResolveAliases(items);
  std::vector<TABSTableReference*> pending;
  for (auto& r : From) pending.push_back(r.get());
  while (!pending.empty()) {
    TABSTableReference* r = pending.back();
    pending.pop_back();
    if (r->Nested) pending.push_back(r->Nested.get());
    for (TABSJoinedReference& j : r->Joins) {
      if (j.On) j.On->ResolveAliases(items);
      pending.push_back(j.Reference.get());
    }
  }
}

void TABSSQLSelect::Execute(TABSSQLQuery&, bool, int64_t&, bool&) { RaiseError(40802); }

}  // namespace dadoveri
