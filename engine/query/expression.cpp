#include "engine/query/expression.h"

#include <algorithm>

#include "engine/base/engine_error.h"
#include "engine/query/expr_parser.h"
#include "engine/query/expr_text.h"

namespace dadoveri {

namespace {

bool is_empty_and(const TABSExprNode* n) { return n->Operator() == opAnd && n->ChildCount() == 0; }

}  // namespace

TABSExpression::TABSExpression() = default;
TABSExpression::~TABSExpression() = default;

void TABSExpression::reset(TABSExprRecordSource* cursor, TABSExprQueryContext* query) {
  root_.reset();
  cursor_ = cursor;
  query_ = query;
  database_name_ = query != nullptr ? query->DatabaseName() : std::string();
}

void TABSExpression::flatten_and() {
  if (!root_ || root_->Operator() != opAnd) return;
  std::vector<std::unique_ptr<TABSExprNode>> flat;
  std::vector<std::unique_ptr<TABSExprNode>> pending;
  pending.swap(root_->Children());
  // Depth-first, keeping the order of the conjuncts.
  std::vector<std::unique_ptr<TABSExprNode>> stack;
  for (auto it = pending.rbegin(); it != pending.rend(); ++it) stack.push_back(std::move(*it));
  while (!stack.empty()) {
    std::unique_ptr<TABSExprNode> n = std::move(stack.back());
    stack.pop_back();
    if (n->Operator() == opAnd && dynamic_cast<TABSExprNodeBoolean*>(n.get()) != nullptr) {
      auto& kids = n->Children();
      for (auto it = kids.rbegin(); it != kids.rend(); ++it) stack.push_back(std::move(*it));
    } else {
      flat.push_back(std::move(n));
    }
  }
  root_->Children() = std::move(flat);
}

void TABSExpression::ParseFilter(TABSExprRecordSource* cursor, std::u16string_view text, bool case_insensitive,
                                 bool partial_compare) {
  reset(cursor, nullptr);
  case_insensitive_ = case_insensitive;
  partial_compare_ = partial_compare;
  TABSLexer lexer{std::u16string(text)};
  if (!lexer.NextCommand()) RaiseError(30119);
  TABSExpressionParser parser(*this, lexer);
  std::unique_ptr<TABSExprNode> root = parser.ParseCondition();
  parser.ExpectEnd();
  // A second command (`a = 1; b = 2`) is no part of one filter.
  if (lexer.NextCommand()) {
    TToken t;
    lexer.CurrentToken(t);
    RaiseError(30064, t.text, t.line, t.column);
  }
  root_ = std::move(root);
  flatten_and();
  Prepare();
}

void TABSExpression::ParseLocateCondition(TABSExprRecordSource* cursor, std::string_view field_names,
                                          std::span<const TABSVariant> key_values, bool partial,
                                          bool case_insensitive) {
  reset(cursor, nullptr);
  case_insensitive_ = case_insensitive;
  partial_compare_ = partial;
  std::vector<std::string> names;
  size_t from = 0;
  for (;;) {
    size_t to = field_names.find(';', from);
    if (to == std::string_view::npos) to = field_names.size();
    std::string_view name = field_names.substr(from, to - from);
    while (!name.empty() && name.front() == ' ') name.remove_prefix(1);
    while (!name.empty() && name.back() == ' ') name.remove_suffix(1);
    if (!name.empty()) names.emplace_back(name);
    if (to == field_names.size()) break;
    from = to + 1;
  }
  if (names.size() != key_values.size())
    RaiseError(30112, static_cast<int32_t>(names.size()), static_cast<int32_t>(key_values.size()));
  auto conjunction = std::make_unique<TABSExprNodeBoolean>(opAnd);
  for (size_t i = 0; i < names.size(); ++i) {
    auto field = std::make_unique<TABSExprNodeField>(std::string(), names[i]);
    field->BindToCursor(cursor);
    TABSVariant key = key_values[i];
    // A number given for a date/time field is a calendar date-time.
    if (IsDateTimeBaseType(field->Info().BaseType) && !key.IsNull() && key.IsNumeric()) {
      const double calendar = key.GetAsFloat();
      key = TABSVariant(btDateTime);
      key.SetAsTDateTime(calendar);
    }
    auto cmp = std::make_unique<TABSExprNodeComparison>(opEqual, std::move(field),
                                                        std::make_unique<TABSExprNodeConst>(key), false,
                                                        case_insensitive, partial && key.IsString());
    if (partial && key.IsString()) cmp->SetPrefixSide(1);
    conjunction->AddChild(std::move(cmp));
  }
  if (conjunction->ChildCount() == 1) {
    root_ = std::move(conjunction->Children()[0]);
  } else {
    root_ = std::move(conjunction);
  }
  Prepare();
}

void TABSExpression::ParseFieldCondition(TABSExprRecordSource* cursor, std::string_view field_name,
                                         const TABSVariant& value, uint8_t op) {
  reset(cursor, nullptr);
  if (op < opEqual || op > opLessOrEqual) RaiseError(30338, OperatorName(op));
  auto field = std::make_unique<TABSExprNodeField>(std::string(), std::string(field_name));
  field->BindToCursor(cursor);
  root_ = std::make_unique<TABSExprNodeComparison>(op, std::move(field), std::make_unique<TABSExprNodeConst>(value),
                                                   false, case_insensitive_, false);
  Prepare();
}

void TABSExpression::ParseCondition(TABSExprQueryContext* query, TABSLexer& lexer) {
  reset(nullptr, query);
  case_insensitive_ = false;
  partial_compare_ = false;
  TABSExpressionParser parser(*this, lexer);
  root_ = parser.ParseCondition();
  parser.SyncLexer();
  flatten_and();
}

bool TABSExpression::ParseValue(TABSExprQueryContext* query, TABSLexer& lexer) {
  reset(nullptr, query);
  case_insensitive_ = false;
  partial_compare_ = false;
  TABSExpressionParser parser(*this, lexer);
  root_ = parser.ParseValue();
  parser.SyncLexer();
  return root_ != nullptr;
}

bool TABSExpression::ParseSubquery(TABSExprQueryContext* query, TABSLexer& lexer) {
  reset(nullptr, query);
  TABSExpressionParser parser(*this, lexer);
  root_ = parser.ParseSubquery();
  parser.SyncLexer();
  return root_ != nullptr;
}

namespace {

bool has_field_reference(const TABSExprNode* n) {
  if (dynamic_cast<const TABSExprNodeField*>(n) != nullptr) return true;
  for (int32_t i = 0; i < n->ChildCount(); ++i)
    if (has_field_reference(n->Child(i))) return true;
  return false;
}

}  // namespace

bool TABSExpression::IsConstantExpression(std::u16string_view text) {
  try {
    TABSLexer lexer{std::u16string(text)};
    if (lexer.CommandCount() != 1 || !lexer.NextCommand()) return false;
    TABSExpression e;
    TABSExpressionParser parser(e, lexer);
    std::unique_ptr<TABSExprNode> root = parser.ParseValue();
    if (!root) return false;
    parser.ExpectEnd();
    return !has_field_reference(root.get());
  } catch (const VODIDivodavir&) {
    return false;
  }
}

const TABSVariant* TABSExpression::GetValue() {
  if (!root_) return nullptr;
  return &root_->GetValue();
}

bool TABSExpression::GetBooleanValue() {
  if (!root_) RaiseError(30110);
  const TABSVariant& v = root_->GetValue();
  return !v.IsNull() && v.GetAsLogical();
}

void TABSExpression::BindRecordBuffer(const void* record, bool outer) {
  if (!root_) return;
  root_->SetRecordBuffer(record, outer);
  root_->Prepare();
}

namespace {

// `field LIKE 'text%'` over a text field: the prefix comparison an index can answer, as
// the parser makes it when it knows the field's type. SQL conditions learn their fields'
// types only when they are bound, so binding makes it then.
void rewrite_prefix_likes(std::unique_ptr<TABSExprNode>& n, bool case_insensitive) {
  for (auto& child : n->Children()) rewrite_prefix_likes(child, case_insensitive);
  const auto* like = dynamic_cast<const TABSExprNodeBoolean*>(n.get());
  if (!like || (n->Operator() != opLike && n->Operator() != opNotLike) || like->HasEscape() || n->ChildCount() != 2)
    return;
  const auto* field = dynamic_cast<const TABSExprNodeField*>(n->Child(0));
  auto* pattern = dynamic_cast<TABSExprNodeConst*>(n->Child(1));
  if (!field || !field->Source() || !IsStringBaseType(field->Info().BaseType)) return;
  if (!pattern || pattern->Value().IsNull() || !pattern->Value().IsString()) return;
  const std::u16string text = pattern->Value().GetAsWideString();
  if (text.size() < 2 || text.back() != u'%' || text.find(u'%') != text.size() - 1 ||
      text.find(u'_') != std::u16string::npos)
    return;
  TABSVariant prefix = ExprTextConstant(std::u16string_view(text).substr(0, text.size() - 1));
  if (pattern->Value().IsWideString() && !prefix.IsWideString()) prefix.ConvertTo(btWideString);
  pattern->Constant() = prefix;
  const bool negated = n->Operator() == opNotLike;
  std::vector<std::unique_ptr<TABSExprNode>> kids = std::move(n->Children());
  auto comparison = std::make_unique<TABSExprNodeComparison>(negated ? opNotEqual : opEqual, std::move(kids[0]),
                                                             std::move(kids[1]), negated, case_insensitive, true);
  comparison->SetPrefixSide(1);
  n = std::move(comparison);
}

}  // namespace

void TABSExpression::BindToCursor(TABSExprRecordSource* cursor) {
  cursor_ = cursor;
  if (!root_) return;
  root_->BindToCursor(cursor);
  rewrite_prefix_likes(root_, case_insensitive_);
  root_->Prepare();
}

void TABSExpression::add_and(std::unique_ptr<TABSExprNode> node) {
  if (!node) return;
  if (!root_ || is_empty_and(root_.get())) {
    root_ = std::move(node);
    return;
  }
  if (root_->Operator() != opAnd) {
    auto conjunction = std::make_unique<TABSExprNodeBoolean>(opAnd);
    conjunction->AddChild(std::move(root_));
    root_ = std::move(conjunction);
  }
  root_->AddChild(std::move(node));
  flatten_and();
}

void TABSExpression::AddExpression(TABSExpression& other) {
  if (&other == this) return;
  add_and(std::move(other.root_));
}

std::unique_ptr<TABSExpression> TABSExpression::SplitForOperator(TABSExprSources sources) {
  auto part = std::make_unique<TABSExpression>();
  part->query_ = query_;
  part->database_name_ = database_name_;
  if (!root_) return part;
  if (root_->Operator() != opAnd) {
    if (root_->CanEvaluateIn(sources)) part->root_ = std::move(root_);
    return part;
  }
  auto& kids = root_->Children();
  std::vector<std::unique_ptr<TABSExprNode>> kept;
  for (auto& k : kids) {
    if (k->CanEvaluateIn(sources)) {
      part->add_and(std::move(k));
    } else {
      kept.push_back(std::move(k));
    }
  }
  kids = std::move(kept);
  if (kids.size() == 1) root_ = std::move(kids[0]);
  return part;
}

std::vector<TABSExprNode*> TABSExpression::candidates() const {
  std::vector<TABSExprNode*> out;
  if (!root_) return out;
  const auto qualifies = [](TABSExprNode* n) {
    return dynamic_cast<TABSExprNodeComparison*>(n) != nullptr || n->Operator() == opIsNull ||
           n->Operator() == opIsNotNull;
  };
  if (root_->Operator() == opAnd && dynamic_cast<TABSExprNodeBoolean*>(root_.get()) != nullptr) {
    for (int32_t i = 0; i < root_->ChildCount(); ++i)
      if (qualifies(root_->Child(i))) out.push_back(root_->Child(i));
  } else if (qualifies(root_.get())) {
    out.push_back(root_.get());
  }
  return out;
}

void TABSExpression::AddSearchConditions(const TABSIndexDefs& index_defs, TABSScanSearchConditionArray& conditions) {
  if (cursor_ == nullptr) return;
  const std::vector<TABSExprNode*> nodes = candidates();
  for (int32_t i = 0; i < index_defs.Count(); ++i) {
    const TABSIndexDef* index = index_defs.GetItem(i);
    if (index == nullptr) continue;
    for (TABSExprNode* n : nodes) {
      if (!n->CanUseIndex(cursor_, *index, 0)) continue;
      TABSScanSearchCondition condition;
      n->AddSearchCondition(cursor_, *index, condition);
      while (ExtendSearchCondition(*index, condition)) {
      }
      conditions.AddIndexCondition(condition);
    }
  }
}

bool TABSExpression::ExtendSearchCondition(const TABSIndexDef& index, TABSScanSearchCondition& condition) {
  const int32_t column = condition.KeyFieldCount;
  if (cursor_ == nullptr || column < 1 || column >= index.ColumnCount()) return false;
  // Only a run of whole-valued equalities extends: a range or a prefix on an earlier
  // column leaves no single key range for the later ones, and a partial condition's prefix
  // must stay on its last column.
  if (condition.Kind != sckEqual || condition.Partial) return false;
  for (TABSExprNode* n : candidates()) {
    auto cmp = dynamic_cast<TABSExprNodeComparison*>(n);
    if (cmp == nullptr || cmp->Partial() || !cmp->CanUseIndex(cursor_, index, column)) continue;
    n->ExtendSearchCondition(cursor_, index, column, condition);
    return true;
  }
  return false;
}

void TABSExpression::RemoveCoveredNodes(const TABSScanSearchCondition& condition) {
  if (!root_) return;
  for (const void* covered : condition.CoveredNodes) {
    if (root_.get() == covered) {
      root_ = std::make_unique<TABSExprNodeBoolean>(opAnd);
      return;
    }
    if (root_->Operator() != opAnd) continue;
    auto& kids = root_->Children();
    kids.erase(std::remove_if(kids.begin(), kids.end(), [&](const auto& k) { return k.get() == covered; }),
               kids.end());
  }
}

bool TABSExpression::IsEmpty() const { return !root_ || is_empty_and(root_.get()); }

bool TABSExpression::IsField() const { return root_ && dynamic_cast<TABSExprNodeField*>(root_.get()) != nullptr; }

void TABSExpression::GetFieldName(std::string& table_name, std::string& field_name) const {
  auto f = root_ ? dynamic_cast<TABSExprNodeField*>(root_.get()) : nullptr;
  if (f == nullptr) RaiseError(30198);
  table_name = f->TableName();
  field_name = f->FieldName();
}

void TABSExpression::BindToOperators(TABSExprSources sources, TABSExprSources outer) {
  if (!root_) return;
  root_->BindToOperators(sources, outer);
  root_->Prepare();
}

bool TABSExpression::CanEvaluateIn(TABSExprSources sources) const { return !root_ || root_->CanEvaluateIn(sources); }

bool TABSExpression::IsJoinEquality(TABSExprRecordSource* left, TABSExprRecordSource* right) const {
  return root_ && root_->IsJoinEquality(left, right);
}

void TABSExpression::ResolveAliases(std::span<const TABSExprSelectItem> items) {
  if (root_) root_->ResolveAliases(items);
}

bool TABSExpression::UsesOnlyFields(std::string_view field_list) const {
  return !root_ || root_->UsesOnlyFields(field_list);
}

bool TABSExpression::HasAggregate() const { return root_ && root_->HasAggregate(); }

void TABSExpression::StartGroup() {
  if (root_) root_->StartGroup();
}

void TABSExpression::Accumulate() {
  if (root_) root_->Accumulate();
}

TABSColumnType TABSExpression::GetDataType() {
  if (!root_) RaiseError(30283);
  return root_->GetDataType();
}

int32_t TABSExpression::GetDataSize() { return root_ ? root_->GetDataSize() : 0; }

void TABSExpression::Prepare() {
  if (root_) root_->Prepare();
}

}  // namespace dadoveri
