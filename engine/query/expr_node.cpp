#include "engine/query/expr_node.h"

#include <algorithm>

#include "engine/base/engine_error.h"
#include "engine/query/expr_text.h"
#include "engine/table/comparison.h"

namespace dadoveri {

const char* OperatorName(uint8_t op) {
  switch (op) {
    case opEqual: return "=";
    case opNotEqual: return "<>";
    case opGreater: return ">";
    case opLess: return "<";
    case opGreaterOrEqual: return ">=";
    case opLessOrEqual: return "<=";
    case opNot: return "NOT";
    case opAnd: return "AND";
    case opOr: return "OR";
    case opLike: return "LIKE";
    case opNotLike: return "NOT LIKE";
    case opIsNull: return "IS NULL";
    case opIsNotNull: return "IS NOT NULL";
    case opSum: return "+";
    case opNegate: return "-";
    case opMultiply: return "*";
    case opDivide: return "/";
    case opConcat: return "||";
    case opUpper: return "UPPER";
    case opLower: return "LOWER";
    case opTrim: return "TRIM";
    case opLTrim: return "LTRIM";
    case opRTrim: return "RTRIM";
    case opAggSum: return "SUM";
    case opAggAvg: return "AVG";
    case opAggMin: return "MIN";
    case opAggMax: return "MAX";
    case opAggCount: return "COUNT";
    case opAggCountAll: return "COUNT(*)";
    default: return "unknown";
  }
}

// ---------------------------------------------------------------------------------------
// Base

void TABSExprNode::AddChild(std::unique_ptr<TABSExprNode> child) {
  if (!child) return;
  if (child->height_ + 1 > kMaxExprTreeHeight) RaiseError(30006, kMaxExprTreeHeight);
  height_ = std::max(height_, child->height_ + 1);
  children_.push_back(std::move(child));
}

void TABSExprNode::Prepare() {
  for (auto& c : children_) c->Prepare();
}

bool TABSExprNode::HasAggregate() const {
  return std::any_of(children_.begin(), children_.end(), [](const auto& c) { return c->HasAggregate(); });
}

void TABSExprNode::StartGroup() {
  for (auto& c : children_) c->StartGroup();
}

void TABSExprNode::Accumulate() {
  for (auto& c : children_) c->Accumulate();
}

void TABSExprNode::BindToOperators(TABSExprSources sources, TABSExprSources outer) {
  for (auto& c : children_) c->BindToOperators(sources, outer);
}

void TABSExprNode::BindToCursor(TABSExprRecordSource* cursor) {
  for (auto& c : children_) c->BindToCursor(cursor);
}

void TABSExprNode::SetRecordBuffer(const void* record, bool outer) {
  for (auto& c : children_) c->SetRecordBuffer(record, outer);
}

TABSColumnType TABSExprNode::common_child_type() {
  TABSColumnType type = ctNone;
  for (size_t i = 0; i < children_.size(); ++i) {
    const TABSColumnType t = children_[i]->GetDataType();
    type = i == 0 ? t : CommonColumnType(type, t, op_ == opSum);
    if (type == ctNone) break;
  }
  if (type == ctNone) RaiseError(30283);
  return type;
}

TABSColumnType TABSExprNode::GetDataType() { return common_child_type(); }

int32_t TABSExprNode::GetDataSize() {
  if (op_ != opConcat && op_ != opSum && op_ != opRound) return 0;
  if (!IsStringColumnType(GetDataType())) return 0;
  int32_t size = 0;
  for (auto& c : children_) size += c->GetDataSize();
  return size;
}

bool TABSExprNode::CanEvaluateIn(TABSExprSources sources) const {
  return std::all_of(children_.begin(), children_.end(), [&](const auto& c) { return c->CanEvaluateIn(sources); });
}

void TABSExprNode::ResolveAliases(std::span<const TABSExprSelectItem> items) {
  for (auto& c : children_) c->ResolveAliases(items);
}

bool TABSExprNode::UsesOnlyFields(std::string_view list) const {
  return std::all_of(children_.begin(), children_.end(), [&](const auto& c) { return c->UsesOnlyFields(list); });
}

// ---------------------------------------------------------------------------------------
// Constant

TABSExprNodeConst::TABSExprNodeConst(const TABSVariant& value) : TABSExprNode(opNone) { value_ = value; }

TABSColumnType TABSExprNodeConst::GetDataType() {
  if (value_.ValueType() == btNone) return ctNone;
  return BaseTypeToColumnType(value_.ValueType());
}

int32_t TABSExprNodeConst::GetDataSize() { return value_.IsString() && !value_.IsNull() ? value_.StringLength() : 0; }

// ---------------------------------------------------------------------------------------
// Field reference

TABSExprNodeField::TABSExprNodeField(std::string table_name, std::string field_name)
    : TABSExprNode(opNone), table_name_(std::move(table_name)), field_name_(std::move(field_name)) {}

void TABSExprNodeField::bind(TABSExprRecordSource* source, const TABSExprFieldInfo& info) {
  source_ = source;
  info_ = info;
  display_name_ = info.DisplayName.empty() ? info.FieldName : info.DisplayName;
  layout_ = &source->RecordLayout();
  record_ = nullptr;
  value_.Clear(info.BaseType);
}

void TABSExprNodeField::BindToCursor(TABSExprRecordSource* cursor) {
  if (cursor == nullptr) RaiseError(30196);
  TABSExprFieldInfo info;
  if (!cursor->FindField(table_name_, field_name_, info)) RaiseError(30115, field_name_);
  bind(cursor, info);
  bound_to_cursor_ = true;
  outer_ = false;
}

void TABSExprNodeField::BindToOperators(TABSExprSources sources, TABSExprSources outer) {
  TABSExprRecordSource* found = nullptr;
  TABSExprFieldInfo found_info;
  for (TABSExprRecordSource* s : sources) {
    TABSExprFieldInfo info;
    if (s == nullptr || !s->FindField(table_name_, field_name_, info)) continue;
    if (found != nullptr) RaiseError(10404, field_name_);
    found = s;
    found_info = info;
  }
  outer_ = false;
  if (found == nullptr) {
    for (TABSExprRecordSource* s : outer) {
      TABSExprFieldInfo info;
      if (s == nullptr || !s->FindField(table_name_, field_name_, info)) continue;
      if (found != nullptr) RaiseError(10405, field_name_);
      found = s;
      found_info = info;
      outer_ = true;
    }
  }
  if (found == nullptr) RaiseError(30197, field_name_);
  bind(found, found_info);
  bound_to_cursor_ = false;
}

void TABSExprNodeField::SetRecordBuffer(const void* record, bool outer) {
  if (outer == outer_) record_ = record;
}

const TABSVariant& TABSExprNodeField::GetValue() {
  if (source_ == nullptr) RaiseError(30196);
  const void* record = record_ != nullptr ? record_ : source_->CurrentRecord();
  const int32_t no = info_.FieldNo;
  const TABSBaseType base = info_.BaseType;
  if (record == nullptr || layout_->IsNull(no, record)) {
    value_.Clear(base == btMemo ? btString : base == btWideMemo ? btWideString : base);
    return value_;
  }
  if (IsBlobBaseType(base)) {
    // Memo fields are read whole from their BLOB stream into a reused buffer.
    if (!source_->ReadMemo(no, record, memo_) || memo_.empty()) {
      value_.Clear(base == btMemo ? btString : base == btWideMemo ? btWideString : base);
      return value_;
    }
    TABSBaseType type = base;
    if (base == btMemo) {
      memo_.push_back('\0');
      type = btString;
    } else if (base == btWideMemo) {
      if (memo_.size() % 2) memo_.pop_back();
      memo_.append(2, '\0');
      type = btWideString;
    }
    value_.SetFromBuffer(memo_.data(), static_cast<int32_t>(memo_.size()), false, type);
    return value_;
  }
  value_.SetFromBuffer(static_cast<const uint8_t*>(record) + info_.MemoryOffset, info_.MemoryDataSize, false, base);
  return value_;
}

TABSColumnType TABSExprNodeField::GetDataType() {
  if (source_ == nullptr) RaiseError(30196);
  return info_.ColumnType;
}

int32_t TABSExprNodeField::GetDataSize() {
  if (source_ == nullptr) RaiseError(30196);
  return info_.Size;
}

bool TABSExprNodeField::CanEvaluateIn(TABSExprSources sources) const {
  if (outer_) return true;
  for (TABSExprRecordSource* s : sources) {
    TABSExprFieldInfo info;
    if (s != nullptr && s->FindField(table_name_, field_name_, info)) return true;
  }
  return false;
}

void TABSExprNodeField::ResolveAliases(std::span<const TABSExprSelectItem> items) {
  for (const TABSExprSelectItem& item : items) {
    if (!item.IsField || !ExprSameName(item.Alias, field_name_)) continue;
    if (!table_name_.empty() && !ExprSameName(table_name_, item.TableName)) continue;
    table_name_ = item.TableName;
    field_name_ = item.FieldName;
    return;
  }
}

bool TABSExprNodeField::UsesOnlyFields(std::string_view list) const {
  size_t from = 0;
  while (from <= list.size()) {
    size_t to = list.find(';', from);
    if (to == std::string_view::npos) to = list.size();
    std::string_view name = list.substr(from, to - from);
    while (!name.empty() && name.front() == ' ') name.remove_prefix(1);
    while (!name.empty() && name.back() == ' ') name.remove_suffix(1);
    if (ExprSameName(name, field_name_)) return true;
    if (!table_name_.empty() && ExprSameName(name, table_name_ + "." + field_name_)) return true;
    from = to + 1;
  }
  return false;
}

// ---------------------------------------------------------------------------------------
// Aggregates

void TABSExprNodeAggregated::SelectGroup(size_t slot) {
  while (groups_.size() <= slot) groups_.emplace_back();
  state_ = &groups_[slot];
}

void TABSExprNodeAggregated::ClearGroups() {
  state_ = &own_;
  groups_.clear();
}

void TABSExprNodeAggregated::StartGroup() {
  State& s = *state_;
  s.count = 0;
  s.sum.Clear();
  s.extreme.Clear();
  s.seen.clear();
  value_.Clear(value_.ValueType());
}

void TABSExprNodeAggregated::Accumulate() {
  int64_t& count = state_->count;
  TABSVariant& sum = state_->sum;
  TABSVariant& extreme = state_->extreme;
  std::vector<TABSVariant>& seen = state_->seen;
  if (op_ == opAggCountAll) {
    ++count;
    return;
  }
  const TABSVariant& v = Child(0)->GetValue();
  if (v.IsNull()) return;
  if (distinct_) {
    // Each distinct value counts once, whoever feeds the rows.
    const auto less = [](const TABSVariant& a, const TABSVariant& b) { return a.Compare(b) < 0; };
    const auto at = std::lower_bound(seen.begin(), seen.end(), v, less);
    if (at != seen.end() && at->Compare(v) == 0) return;
    seen.insert(at, v);
  }
  switch (op_) {
    case opAggCount:
      break;
    case opAggSum:
      if (!v.IsNumeric()) RaiseError(30124, "SUM");
      if (count == 0) {
        sum.Assign(v, true);
        sum.ConvertTo(IsFloatBaseType(v.ValueType()) || v.ValueType() == btCurrency ? v.ValueType() : btLargeint);
      } else {
        sum.Add(v);
      }
      break;
    case opAggAvg:
      if (!v.IsNumeric()) RaiseError(30126, "AVG");
      if (count == 0) {
        sum.Clear(btFloat);
        sum.SetAsFloat(v.GetAsFloat());
      } else {
        sum.SetAsFloat(sum.GetAsFloat() + v.GetAsFloat());
      }
      break;
    case opAggMin:
    case opAggMax: {
      const int order = count == 0 ? 0 : v.Compare(extreme, false, true);
      if (count == 0 || (op_ == opAggMin ? order < 0 : order > 0)) extreme.Assign(v, true);
      break;
    }
    default:
      RaiseError(30117, OperatorName(op_));
  }
  ++count;
}

const TABSVariant& TABSExprNodeAggregated::GetValue() {
  const int64_t count = state_->count;
  const TABSVariant& sum = state_->sum;
  const TABSVariant& extreme = state_->extreme;
  switch (op_) {
    case opAggCount:
    case opAggCountAll:
      value_.Clear(btInteger);
      value_.SetAsInteger(static_cast<int32_t>(count));
      break;
    case opAggSum:
      if (count == 0) {
        value_.Clear(sum.ValueType() == btNone ? btLargeint : sum.ValueType());
      } else {
        value_.Assign(sum, true);
      }
      break;
    case opAggAvg:
      value_.Clear(btFloat);
      if (count > 0) value_.SetAsFloat(sum.GetAsFloat() / static_cast<double>(count));
      break;
    case opAggMin:
    case opAggMax:
      if (count == 0) {
        value_.Clear(extreme.ValueType());
      } else {
        value_.Assign(extreme, true);
      }
      break;
    default:
      RaiseError(30117, OperatorName(op_));
  }
  return value_;
}

TABSColumnType TABSExprNodeAggregated::GetDataType() {
  switch (op_) {
    case opAggCount:
    case opAggCountAll:
      return ctInteger;
    case opAggAvg:
      return ctFloat;
    case opAggSum: {
      const TABSColumnType t = Child(0)->GetDataType();
      return t == ctSingle || t == ctFloat || t == ctExtended || t == ctCurrency ? t : ctLargeint;
    }
    default:
      return Child(0)->GetDataType();
  }
}

int32_t TABSExprNodeAggregated::GetDataSize() {
  return op_ == opAggMin || op_ == opAggMax ? Child(0)->GetDataSize() : 0;
}

// ---------------------------------------------------------------------------------------
// CAST

namespace {

// The base type a value of column type `t` is held in while computing (memos as text).
TABSBaseType value_base_type(TABSColumnType t) {
  const TABSBaseType b = ColumnTypeToBaseType(t);
  return b == btMemo ? btString : b == btWideMemo ? btWideString : b;
}

}  // namespace

const TABSVariant& TABSExprNodeCast::GetValue() {
  const TABSVariant& v = Child(0)->GetValue();
  const TABSBaseType base = value_base_type(target_);
  if (v.IsNull()) {
    value_.Clear(base);
    return value_;
  }
  value_.Assign(v, true);
  value_.ConvertTo(base);
  if (IsStringColumnType(target_) || target_ == ctMemo || target_ == ctFormattedMemo || target_ == ctWideMemo) {
    const int32_t limit = size_ > 0 ? size_ : 4096;
    if (value_.StringLength() > limit) {
      if (value_.IsWideString()) {
        const std::u16string s = value_.GetAsWideString().substr(0, static_cast<size_t>(limit));
        value_.Clear(base);
        value_.SetAsWideString(s);
      } else {
        const std::string s = value_.GetAsString().substr(0, static_cast<size_t>(limit));
        value_.Clear(base);
        value_.SetAsString(s);
      }
    }
  }
  return value_;
}

int32_t TABSExprNodeCast::GetDataSize() {
  if (!IsStringColumnType(target_)) return 0;
  return size_ > 0 ? size_ : 4096;
}

// ---------------------------------------------------------------------------------------
// CASE and COALESCE

bool TABSExprNodeCase::is_result(int32_t child) const {
  if (kind_ == ckCoalesce) return true;
  const int32_t first_pair = kind_ == ckSimple ? 1 : 0;
  if (has_else_ && child == ChildCount() - 1) return true;
  return child >= first_pair && (child - first_pair) % 2 == 1;
}

void TABSExprNodeCase::Prepare() {
  TABSExprNode::Prepare();
  type_ = ctNone;
}

TABSColumnType TABSExprNodeCase::GetDataType() {
  TABSColumnType type = ctNone;
  bool first = true;
  for (int32_t i = 0; i < ChildCount(); ++i) {
    if (!is_result(i)) continue;
    const TABSColumnType t = Child(i)->GetDataType();
    type = first ? t : CommonColumnType(type, t);
    first = false;
    if (type == ctNone) break;
  }
  if (type == ctNone) RaiseError(30284);
  return type;
}

int32_t TABSExprNodeCase::GetDataSize() {
  int32_t size = 0;
  for (int32_t i = 0; i < ChildCount(); ++i)
    if (is_result(i)) size = std::max(size, Child(i)->GetDataSize());
  return size;
}

const TABSVariant& TABSExprNodeCase::result_of(int32_t child) { return result(Child(child)->GetValue()); }

const TABSVariant& TABSExprNodeCase::result(const TABSVariant& r) {
  if (type_ == ctNone) type_ = GetDataType();
  const TABSBaseType base = value_base_type(type_);
  if (r.IsNull()) {
    value_.Clear(base);
    return value_;
  }
  value_.Assign(r, true);
  value_.ConvertTo(base);
  return value_;
}

const TABSVariant& TABSExprNodeCase::GetValue() {
  const int32_t n = ChildCount();
  const int32_t pairs_end = has_else_ ? n - 1 : n;
  switch (kind_) {
    case ckCoalesce:
      for (int32_t i = 0; i < n; ++i) {
        // Each argument is evaluated once: nested COALESCEs stay linear.
        const TABSVariant& r = Child(i)->GetValue();
        if (!r.IsNull()) return result(r);
      }
      break;
    case ckSimple: {
      const TABSVariant& x = Child(0)->GetValue();
      for (int32_t i = 1; i + 1 < pairs_end; i += 2) {
        const TABSVariant& w = Child(i)->GetValue();
        const bool match = (x.IsNull() && w.IsNull()) ||
                           (!x.IsNull() && !w.IsNull() && x.CompareRaw(w, false, true) == cmpEqual);
        if (match) return result_of(i + 1);
      }
      if (has_else_) return result_of(n - 1);
      break;
    }
    case ckSearched:
      for (int32_t i = 0; i + 1 < pairs_end; i += 2) {
        const TABSVariant& w = Child(i)->GetValue();
        if (!w.IsNull() && w.GetAsLogical()) return result_of(i + 1);
      }
      if (has_else_) return result_of(n - 1);
      break;
  }
  if (type_ == ctNone) type_ = GetDataType();
  value_.Clear(value_base_type(type_));
  return value_;
}

// ---------------------------------------------------------------------------------------
// LASTAUTOINC, ROWNUM

TABSExprNodeSystem::TABSExprNodeSystem(uint8_t op, TABSExprQueryContext* context, std::string table_name,
                                       std::string field_name, bool in_memory)
    : TABSExprNode(op),
      context_(context),
      table_name_(std::move(table_name)),
      field_name_(std::move(field_name)),
      in_memory_(in_memory) {
  if (context_ != nullptr) {
    database_name_ = context_->DatabaseName();
    in_memory_ = in_memory_ || context_->InMemory();
  }
}

const TABSVariant& TABSExprNodeSystem::GetValue() {
  if (context_ == nullptr) RaiseError(30196);
  if (op_ == opRowNum) {
    value_.Clear(btInteger);
    value_.SetAsInteger(static_cast<int32_t>(context_->RowNum()));
  } else {
    context_->LastAutoinc(table_name_, field_name_, in_memory_, value_);
  }
  return value_;
}

TABSColumnType TABSExprNodeSystem::GetDataType() {
  if (op_ == opRowNum) return ctInteger;
  if (context_ == nullptr) RaiseError(30196);
  return context_->LastAutoincType(table_name_, field_name_, in_memory_);
}

// ---------------------------------------------------------------------------------------
// MIMETOBIN

const TABSVariant& TABSExprNodeBlob::GetValue() {
  value_ = ScalarMimeToBin(Child(0)->GetValue());
  return value_;
}

// ---------------------------------------------------------------------------------------
// Subqueries

void TABSExprNodeSubquery::run() {
  if (executed_ && !query_->IsCorrelated()) return;
  query_->Execute();
  rows_.clear();
  const int32_t fields = query_->FieldCount();
  while (query_->NextRow()) {
    std::vector<TABSVariant> row(static_cast<size_t>(fields));
    for (int32_t i = 0; i < fields; ++i) query_->GetFieldValue(i, row[static_cast<size_t>(i)]);
    rows_.push_back(std::move(row));
  }
  column_.clear();
  for (const auto& row : rows_) column_.push_back(row.empty() ? TABSVariant() : row[0]);
  executed_ = true;
  have_last_ = false;
}

void TABSExprNodeSubquery::BindToOperators(TABSExprSources sources, TABSExprSources outer) {
  std::vector<TABSExprRecordSource*> all(sources.begin(), sources.end());
  all.insert(all.end(), outer.begin(), outer.end());
  query_->SetOuterSources(all);
}

void TABSExprNodeSubquery::BindToCursor(TABSExprRecordSource* cursor) {
  TABSExprRecordSource* sources[] = {cursor};
  query_->SetOuterSources(sources);
}

const TABSVariant& TABSExprNodeSubquery::GetValue() {
  if (query_->FieldCount() != 1) RaiseError(20246, query_->FieldCount());
  run();
  if (rows_.empty()) RaiseError(20249);
  if (rows_.size() > 1) RaiseError(20247);
  value_.Assign(rows_[0][0], true);
  return value_;
}

void TABSExprNodeSubquery::FetchRow() {
  run();
  row_.assign(static_cast<size_t>(query_->FieldCount()), TABSVariant());
  if (!rows_.empty()) row_ = rows_[0];
}

const TABSVariant* TABSExprNodeSubquery::GetRowValue(int32_t i) {
  if (i < 0 || i >= static_cast<int32_t>(row_.size())) return nullptr;
  return &row_[static_cast<size_t>(i)];
}

TABSColumnType TABSExprNodeSubquery::GetDataType() { return query_->FieldType(0); }

int32_t TABSExprNodeSubquery::GetDataSize() { return query_->FieldSize(0); }

const std::vector<TABSVariant>& TABSExprNodeSubquery::Column() {
  run();
  return column_;
}

bool TABSExprNodeSubquery::HasRows() {
  run();
  return !rows_.empty();
}

bool TABSExprNodeSubquery::Contains(const TABSVariant& value) {
  run();
  if (have_last_ && !query_->IsCorrelated() && last_tested_.CompareRaw(value) == cmpEqual) return last_answer_;
  bool found = false;
  for (const TABSVariant& c : column_) {
    if (value.CompareRaw(c) == cmpEqual) {
      found = true;
      break;
    }
  }
  last_tested_.Assign(value, true);
  last_answer_ = found;
  have_last_ = true;
  return found;
}

}  // namespace dadoveri
