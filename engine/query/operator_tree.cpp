// Building the operator tree of a query.
#include "engine/query/operator_tree.h"

#include "engine/base/engine_error.h"
#include "engine/database/local_cursor.h"
#include "engine/query/ao_group_by.h"
#include "engine/query/ao_join.h"
#include "engine/query/ao_table.h"
#include "engine/query/ao_table_expr.h"
#include "engine/query/ao_top_row_count.h"
#include "engine/query/ao_union.h"
#include "engine/query/expr_node.h"
#include "engine/query/expr_text.h"
#include "engine/query/sql_query.h"
#include "engine/query/sql_statement.h"

namespace dadoveri {

namespace {

using Conjuncts = std::vector<std::unique_ptr<TABSExprNode>>;

bool is_and(TABSExprNode* n) { return n->Operator() == opAnd && dynamic_cast<TABSExprNodeBoolean*>(n) != nullptr; }

// The conjuncts of an expression, taken out of it.
Conjuncts take_conjuncts(TABSExpression* e) {
  Conjuncts out;
  if (e == nullptr) return out;
  std::unique_ptr<TABSExprNode> root = e->TakeRoot();
  if (!root) return out;
  if (is_and(root.get())) {
    for (auto& c : root->Children())
      if (c && !(is_and(c.get()) && c->ChildCount() == 0)) out.push_back(std::move(c));
  } else {
    out.push_back(std::move(root));
  }
  return out;
}

// Adds conjuncts to an expression (made when there is none).
void add_conjuncts(std::unique_ptr<TABSExpression>& e, Conjuncts& parts) {
  for (auto& p : parts) {
    if (!p) continue;
    if (!e) e = std::make_unique<TABSExpression>();
    if (e->Root() == nullptr) {
      e->SetRoot(std::move(p));
      continue;
    }
    TABSExpression other;
    other.SetRoot(std::move(p));
    e->AddExpression(other);
  }
  parts.clear();
}

// A conjunct `a = b` of a field of each side (compared with case), as a key pair.
bool key_pair(TABSExprNode* node, TABSAO& left, TABSAO& right, TABSFields& left_keys, TABSFields& right_keys) {
  auto* cmp = dynamic_cast<TABSExprNodeComparison*>(node);
  if (cmp == nullptr || cmp->CaseInsensitive() || cmp->Partial()) return false;
  auto* a = dynamic_cast<TABSExprNodeField*>(node->Child(0));
  auto* b = dynamic_cast<TABSExprNodeField*>(node->Child(1));
  if (a == nullptr || b == nullptr) return false;
  if (!node->IsJoinEquality(&left, &right)) return false;
  TABSExprFieldInfo info;
  if (!left.FindField(a->TableName(), a->FieldName(), info)) std::swap(a, b);
  left_keys.emplace_back(a->TableName(), a->FieldName());
  right_keys.emplace_back(b->TableName(), b->FieldName());
  return true;
}

// The field references of `node` that none of `sources` has: in a subquery, the columns
// of the enclosing query it names.
void collect_outer_references(TABSExprNode* node, TABSExprSources sources,
                              std::vector<std::pair<std::string, std::string>>& out) {
  if (node == nullptr) return;
  if (auto* field = dynamic_cast<TABSExprNodeField*>(node)) {
    if (field->CanEvaluateIn(sources)) return;
    for (const auto& [table, name] : out)
      if (ExprSameName(table, field->TableName()) && ExprSameName(name, field->FieldName())) return;
    out.emplace_back(field->TableName(), field->FieldName());
    return;
  }
  for (auto& child : node->Children()) collect_outer_references(child.get(), sources, out);
}

TABSAOJoinKind join_kind(TABSJoinKind kind) {
  switch (kind) {
    case jkCross: return akCross;
    case jkLeft: return akLeft;
    case jkRight: return akRight;
    case jkFull: return akFull;
    default: return akInner;
  }
}

class Builder {
 public:
  Builder(TABSAOContext& context, TABSSQLQuery& query) : context_(context), query_(query) {}

  std::unique_ptr<TABSAO> reference(TABSTableReference& ref) {
    std::unique_ptr<TABSAO> left = primary(ref);
    for (TABSJoinedReference& join : ref.Joins) {
      std::unique_ptr<TABSAO> right = reference(*join.Reference);
      TABSFields left_keys, right_keys;
      for (const std::string& name : join.Using) {
        left_keys.emplace_back(std::string(), name);
        right_keys.emplace_back(std::string(), name);
      }
      if (join.Natural && join.Using.empty()) {
        for (const TABSFieldLink& c : left->Columns) {
          if (!c.Visible || right->FindColumns(c.Name, {}).empty()) continue;
          bool listed = false;
          for (const auto& k : left_keys) listed = listed || ExprSameName(k.second, c.Name);
          if (listed) continue;
          left_keys.emplace_back(c.TableName, c.Name);
          right_keys.emplace_back(std::string(), c.Name);
        }
      }
      std::unique_ptr<TABSExpression> on;
      if (join.On) {
        Conjuncts parts = take_conjuncts(join.On.get()), rest;
        for (auto& p : parts) {
          if (join.Kind != jkCross && key_pair(p.get(), *left, *right, left_keys, right_keys)) continue;
          rest.push_back(std::move(p));
        }
        add_conjuncts(on, rest);
      }
      left = std::make_unique<TABSAOJoin>(context_, std::move(left), std::move(right), join_kind(join.Kind),
                                          join.Natural, left_keys, right_keys, std::move(on));
    }
    return left;
  }

  // Each WHERE conjunct goes to the lowest operator that can evaluate it; never below the
  // side of an outer join that supplies NULLs (there it would remove rows before the join
  // instead of after it).
  void push_down(TABSAO& op, Conjuncts& conjuncts) {
    if (conjuncts.empty()) return;
    if (auto* join = dynamic_cast<TABSAOJoin*>(&op)) {
      const bool into_left = join->Kind == akInner || join->Kind == akCross || join->Kind == akLeft;
      const bool into_right = join->Kind == akInner || join->Kind == akCross || join->Kind == akRight;
      for (int side = 0; side < 2; ++side) {
        TABSAO* input = side == 0 ? join->Left.get() : join->Right.get();
        if (!(side == 0 ? into_left : into_right)) continue;
        TABSExprRecordSource* sources[] = {input};
        Conjuncts mine, rest;
        for (auto& c : conjuncts) (c->CanEvaluateIn(sources) ? mine : rest).push_back(std::move(c));
        conjuncts = std::move(rest);
        push_down(*input, mine);
        for (auto& c : mine) conjuncts.push_back(std::move(c));
      }
    }
    TABSExprRecordSource* self[] = {&op};
    Conjuncts mine, rest;
    for (auto& c : conjuncts) (c->CanEvaluateIn(self) ? mine : rest).push_back(std::move(c));
    conjuncts = std::move(rest);
    add_conjuncts(op.Condition, mine);
  }

 private:
  std::unique_ptr<TABSAO> primary(TABSTableReference& ref) {
    if (ref.Nested) return reference(*ref.Nested);
    if (ref.Subquery) {
      int64_t rows = 0;
      bool read_only = true;
      ref.Subquery->Execute(query_, false, rows, read_only);
      auto* cursor = dynamic_cast<TABSLocalCursor*>(ref.Subquery->GetResultCursor());
      if (cursor == nullptr) RaiseError(40803);
      return std::make_unique<TABSAOTable>(context_, *cursor, ref.Alias);
    }
    TABSBaseSession* session = &query_.Session();
    const bool in_memory = ref.InMemory || query_.InMemory();
    TABSDatabaseData* database = nullptr;
    if (in_memory) {
      database = &query_.MemoryDatabase();
    } else if (!ref.DatabaseName.empty()) {
      database = &query_.OtherDatabase(ref.DatabaseName, ref.Password, session);
    } else {
      database = &query_.Database();
    }
    return std::make_unique<TABSAOTable>(context_, *database, session, ref.TableName, ref.Name(), in_memory);
  }

  TABSAOContext& context_;
  TABSSQLQuery& query_;
};

}  // namespace

namespace {

// ORDER BY items as columns of `op`: -1 for an item that names none of them.
std::vector<int32_t> sort_columns(const TABSAO& op, const std::vector<TABSOrderByItem>& order_by) {
  std::vector<int32_t> visible, columns;
  for (size_t i = 0; i < op.Columns.size(); ++i)
    if (op.Columns[i].Visible) visible.push_back(static_cast<int32_t>(i));
  for (const TABSOrderByItem& sort : order_by) {
    if (sort.ColumnNumber != 0) {
      if (sort.ColumnNumber < 1 || sort.ColumnNumber > static_cast<int32_t>(visible.size()))
        RaiseError(20243, sort.ColumnNumber);
      columns.push_back(visible[static_cast<size_t>(sort.ColumnNumber - 1)]);
      continue;
    }
    const std::vector<int32_t> found = op.FindColumns(sort.FieldName, sort.TableName);
    if (found.size() > 1) RaiseError(10404, sort.FieldName);
    columns.push_back(found.empty() ? -1 : found[0]);
  }
  return columns;
}

void set_sort(TABSAO& op, const std::vector<int32_t>& columns, const std::vector<TABSOrderByItem>& order_by) {
  TABSFields fields;
  std::vector<bool> descending, case_insensitive;
  for (size_t i = 0; i < columns.size(); ++i) {
    TABSFieldLink& c = op.Columns[static_cast<size_t>(columns[i])];
    // The sort names its columns; a column its name does not single out (computed items
    // without an alias, which have none) takes the name the result shows for it.
    if (op.FindColumns(c.Name, c.TableName).size() != 1) {
      op.AssignColumnNames();
      c.Name = op.OutputNames[static_cast<size_t>(columns[i])];
    }
    fields.emplace_back(c.TableName, c.Name);
    descending.push_back(order_by[i].Descending);
    case_insensitive.push_back(false);
  }
  op.SetSortOrder(fields, descending, case_insensitive);
}

}  // namespace

void ApplyOrderBy(TABSAO& root, const std::vector<TABSOrderByItem>& order_by) {
  if (order_by.empty()) return;
  const std::vector<int32_t> columns = sort_columns(root, order_by);
  for (size_t i = 0; i < columns.size(); ++i) {
    if (columns[i] >= 0) continue;
    // A column the projection leaves out: the projection's input is sorted instead, and
    // the projection copies its rows in that order.
    auto* projection = dynamic_cast<TABSAOTableExpr*>(&root);
    if (projection == nullptr || projection->Distinct || !projection->Left) RaiseError(30195, order_by[i].FieldName);
    TABSAO& input = *projection->Left;
    std::vector<int32_t> input_columns;
    for (size_t k = 0; k < columns.size(); ++k) {
      int32_t column = -1;
      if (columns[k] >= 0) {
        const TABSFieldLink& c = root.Columns[static_cast<size_t>(columns[k])];
        if (c.Input == &input) column = c.InputColumn;
      } else {
        const std::vector<int32_t> found = input.FindColumns(order_by[k].FieldName, order_by[k].TableName);
        if (found.size() == 1) column = found[0];
      }
      if (column < 0) RaiseError(30195, order_by[k].FieldName.empty() ? std::to_string(order_by[k].ColumnNumber)
                                                                       : order_by[k].FieldName);
      input_columns.push_back(column);
    }
    set_sort(input, input_columns, order_by);
    return;
  }
  set_sort(root, columns, order_by);
}

std::unique_ptr<TABSAO> BuildOperatorTree(TABSAOContext& context, TABSSQLSelect& s, TABSSQLQuery& query, bool live,
                                          const std::vector<TABSOrderByItem>* order_by) {
  s.RowNumber = &context.RowNum;
  Builder builder(context, query);
  // Inputs: a comma list joins left to right; WHERE equalities between the two sides
  // become the join's keys.
  Conjuncts where = take_conjuncts(s.Where.get());
  std::unique_ptr<TABSAO> root = builder.reference(*s.From[0]);
  for (size_t i = 1; i < s.From.size(); ++i) {
    std::unique_ptr<TABSAO> next = builder.reference(*s.From[i]);
    TABSFields left_keys, right_keys;
    Conjuncts rest;
    for (auto& c : where)
      if (!key_pair(c.get(), *root, *next, left_keys, right_keys)) rest.push_back(std::move(c));
    where = std::move(rest);
    root = std::make_unique<TABSAOJoin>(context, std::move(root), std::move(next), akInner, false, left_keys,
                                        right_keys, nullptr);
  }
  builder.push_down(*root, where);
  if (!where.empty()) {
    // In a subquery, conditions naming columns of the enclosing query stay above the
    // inputs, where they are evaluated at each run against that query's current row;
    // the inputs' own conditions (and so their index ranges) do not change from run to
    // run.
    if (!context.AllowOuter) RaiseError(30144);
    TABSExprRecordSource* inputs[] = {root.get()};
    for (auto& c : where) collect_outer_references(c.get(), inputs, context.OuterReferences);
    TABSAOSelectItem all;
    all.AllFields = true;
    root = std::make_unique<TABSAOTableExpr>(context, std::move(root), std::vector<TABSAOSelectItem>{all});
    add_conjuncts(root->Condition, where);
  }
  if (context.AllowOuter) {
    TABSExprRecordSource* inputs[] = {root.get()};
    for (TABSSelectListItem& item : s.SelectList)
      if (item.IsExpression && item.Expression && item.Expression->Root() != nullptr)
        collect_outer_references(item.Expression->Root(), inputs, context.OuterReferences);
  }

  // The select list as the operators take it.
  std::vector<TABSAOSelectItem> items;
  bool has_aggregate = false, plain = true;
  if (s.AllColumns) {
    TABSAOSelectItem all;
    all.AllFields = true;
    items.push_back(all);
  }
  for (TABSSelectListItem& item : s.SelectList) {
    TABSAOSelectItem a;
    a.AllFields = item.AllFields;
    a.TableName = item.TableName;
    a.FieldName = item.FieldName;
    a.Name = item.ColumnName();
    if (item.IsExpression) {
      a.Expression = item.Expression.get();
      plain = false;
      if (a.Expression->HasAggregate()) has_aggregate = true;
    }
    items.push_back(std::move(a));
  }
  const bool grouping = !s.GroupBy.empty() || (!s.AllColumns && has_aggregate);
  if (grouping) {
    TABSFields group_by(s.GroupBy.begin(), s.GroupBy.end());
    // A GROUP BY name that is no column of the input but the alias of a select-list
    // expression groups by that expression's value: a projection below the grouping
    // computes it as a column of that name, which the select list then shows.
    std::vector<TABSAOSelectItem> below;
    for (const auto& [table, name] : group_by) {
      if (!table.empty() || !root->FindColumns(name, {}).empty()) continue;
      for (TABSAOSelectItem& a : items) {
        if (a.Expression == nullptr || !ExprSameName(a.Name, name) || a.Expression->HasAggregate()) continue;
        if (below.empty()) {
          TABSAOSelectItem all;
          all.AllFields = true;
          below.push_back(all);
        }
        TABSAOSelectItem computed;
        computed.Expression = a.Expression;
        computed.Name = a.Name;
        below.push_back(computed);
        a.Expression = nullptr;
        a.FieldName = a.Name;
        a.TableName.clear();
        break;
      }
    }
    if (!below.empty()) root = std::make_unique<TABSAOTableExpr>(context, std::move(root), below);
    root = std::make_unique<TABSAOGroupBy>(context, std::move(root), items, group_by);
    if (s.Having) root->Condition = std::move(s.Having);
  } else {
    if (s.Having && !s.Having->IsEmpty()) RaiseError(20244);
    auto* table = dynamic_cast<TABSAOTable*>(root.get());
    const bool live_table = live && table != nullptr && table->IsBaseTable() && !s.Distinct && !s.HasInto &&
                            s.TopCount < 0 && plain;
    // A live result is the table's own cursor (the caller sets its projection and order).
    if (live_table) return root;
    if (!s.AllColumns || table != nullptr || s.Distinct)
      root = std::make_unique<TABSAOTableExpr>(context, std::move(root), items);
  }
  root->SetSelectList(s.Distinct);
  if (order_by) ApplyOrderBy(*root, *order_by);
  if (s.TopCount >= 0)
    root = std::make_unique<TABSAOSQLTopRowCount>(context, std::move(root), s.TopCount, s.TopStart < 0 ? 1 : s.TopStart);
  return root;
}

std::unique_ptr<TABSAO> BuildQueryTree(TABSAOContext& context, TABSQueryExprNode& node, TABSSQLQuery& query,
                                       bool live, const std::vector<TABSOrderByItem>* order_by) {
  if (node.Select) return BuildOperatorTree(context, *node.Select, query, live, order_by);
  if (!node.Left || !node.Right) RaiseError(10336, static_cast<int32_t>(node.Kind));
  std::unique_ptr<TABSAO> left = BuildQueryTree(context, *node.Left, query, false, nullptr);
  std::unique_ptr<TABSAO> right = BuildQueryTree(context, *node.Right, query, false, nullptr);
  TABSAOUnionKind kind;
  switch (node.Kind) {
    case qeUnion: kind = auUnion; break;
    case qeExcept: kind = auExcept; break;
    case qeIntersect: kind = auIntersect; break;
    default: RaiseError(10336, static_cast<int32_t>(node.Kind));
  }
  auto root = std::make_unique<TABSAOUnion>(context, std::move(left), std::move(right), kind, node.All,
                                            node.Corresponding, node.CorrespondingBy);
  if (order_by) ApplyOrderBy(*root, *order_by);
  return root;
}

}  // namespace dadoveri
