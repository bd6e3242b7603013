// Comparisons and the boolean nodes: their evaluation and the index conditions they hand
// out.
#include <cstring>
#include <string_view>

#include "engine/base/engine_error.h"
#include "engine/platform/code_page.h"
#include "engine/platform/locale.h"
#include "engine/query/expr_node.h"
#include "engine/query/expr_text.h"
#include "engine/query/like_matcher.h"
#include "engine/table/comparison.h"

namespace dadoveri {

namespace {

void set_logical(TABSVariant& v, bool b) {
  if (v.ValueType() != btLogical) v.Clear(btLogical);
  v.SetAsLogical(b);
}

void set_null_logical(TABSVariant& v) {
  if (v.ValueType() != btLogical) v.Clear(btLogical);
  v.SetNull();
}

// `a op b` as `b op' a`.
uint8_t swapped(uint8_t op) {
  switch (op) {
    case opGreater: return opLess;
    case opLess: return opGreater;
    case opGreaterOrEqual: return opLessOrEqual;
    case opLessOrEqual: return opGreaterOrEqual;
    default: return op;
  }
}

uint8_t negated(uint8_t op) {
  switch (op) {
    case opEqual: return opNotEqual;
    case opNotEqual: return opEqual;
    case opGreater: return opLessOrEqual;
    case opLessOrEqual: return opGreater;
    case opLess: return opGreaterOrEqual;
    case opGreaterOrEqual: return opLess;
    default: return op;
  }
}

// Whether result code `code` satisfies `op`.
bool code_satisfies(int code, uint8_t op, bool strict_null) {
  if (!strict_null) {
    if (code == cmpFirstNull) code = cmpLess;
    else if (code == cmpSecondNull) code = cmpGreater;
    else if (code == cmpBothNull) code = cmpEqual;
  }
  switch (op) {
    case opEqual: return code == cmpEqual;
    case opNotEqual: return code == cmpLess || code == cmpGreater;
    case opGreater: return code == cmpGreater;
    case opLess: return code == cmpLess;
    case opGreaterOrEqual: return code == cmpEqual || code == cmpGreater;
    case opLessOrEqual: return code == cmpEqual || code == cmpLess;
    default: RaiseError(30116, OperatorName(op));
  }
}

// The kind code of an index condition for a field compared by `op` with the key.
uint8_t kind_for(uint8_t op, bool descending) {
  switch (op) {
    case opEqual: case opIsNull: return sckEqual;
    case opLess: return descending ? sckAfter : sckBefore;
    case opGreater: case opIsNotNull: return descending ? sckBefore : sckAfter;
    case opLessOrEqual: return descending ? sckAfterOrEqual : sckBeforeOrEqual;
    case opGreaterOrEqual: return descending ? sckBeforeOrEqual : sckAfterOrEqual;
    default: RaiseError(30121, OperatorName(op));
  }
}

const TABSExprNodeField* cursor_field(const TABSExprNode* n, const TABSExprRecordSource* cursor) {
  auto f = dynamic_cast<const TABSExprNodeField*>(n);
  if (f == nullptr || f->Source() == nullptr || !f->IsBoundToCursor()) return nullptr;
  if (cursor != nullptr && f->Source() != cursor) return nullptr;
  return f;
}

// Whether a field of `cursor` can be searched through column `column` of `index`.
bool field_fits_column(const TABSExprNodeField* f, const TABSExprRecordSource* cursor, const TABSIndexDef& index,
                       int32_t column) {
  if (column < 0 || column >= index.ColumnCount()) return false;
  if (!ExprSameName(f->Info().FieldName, index.Columns[static_cast<size_t>(column)].FieldName)) return false;
  if (index.Temporary && (cursor == nullptr || index.OwnerSession != cursor->OwnerSession())) return false;
  return !IsBlobBaseType(f->Info().BaseType);
}

void fill_key(const TABSExprNodeField* f, const TABSExprRecordSource* cursor, const TABSVariant& key,
              TABSScanSearchCondition& condition) {
  const TABSRecordLayout& layout = cursor->RecordLayout();
  if (condition.KeyBuffer.empty()) {
    condition.KeyBuffer.assign(static_cast<size_t>(layout.MemoryRecordSize()), 0);
    layout.InitRecord(condition.KeyBuffer.data());
  }
  layout.SetFieldValue(f->FieldNo(), key, condition.KeyBuffer.data());
}

// ANSI text of a value: borrowed bytes up to the terminator.
std::string_view ansi_view(const TABSVariant& v) {
  const char* p = static_cast<const char*>(v.Data());
  const size_t n = v.DataSize() > 0 ? strnlen(p, static_cast<size_t>(v.DataSize())) : 0;
  return {p, n};
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Comparison

TABSExprNodeComparison::TABSExprNodeComparison(uint8_t op, std::unique_ptr<TABSExprNode> left,
                                               std::unique_ptr<TABSExprNode> right, bool strict_null,
                                               bool case_insensitive, bool partial, uint8_t quantifier)
    : TABSExprNode(op, case_insensitive, partial), strict_null_(strict_null), quantifier_(quantifier) {
  AddChild(std::move(left));
  AddChild(std::move(right));
}

void TABSExprNodeComparison::Prepare() {
  TABSExprNode::Prepare();
  wide_only_ = false;
  if (quantifier_ != qNone) return;
  for (int side = 0; side < 2; ++side) {
    auto f = dynamic_cast<TABSExprNodeField*>(Child(side));
    auto c = dynamic_cast<TABSExprNodeConst*>(Child(1 - side));
    if (f == nullptr || c == nullptr || f->Source() == nullptr || c->Value().IsNull()) continue;
    TABSVariant& k = c->Constant();
    const TABSColumnType ft = f->Info().ColumnType;
    const TABSBaseType fb = f->Info().BaseType;
    if ((ft == ctChar || ft == ctString || ft == ctGuid) && k.IsWideString()) {
      // Narrowed once when no character is lost; else the field is compared as wide text.
      if (ExprNarrowsLosslessly(k.GetAsWideString())) {
        k.ConvertTo(btString);
      } else {
        wide_only_ = true;
      }
      continue;
    }
    // Any other constant is brought to the field's type once, when that loses nothing.
    if (k.ValueType() == fb || IsBlobBaseType(fb) || CommonBaseType(fb, k.ValueType()) != fb) continue;
    try {
      TABSVariant converted = k;
      converted.ConvertTo(fb);
      if (converted.CompareRaw(k) == cmpEqual && k.CompareRaw(converted) == cmpEqual) k = converted;
    } catch (const VODIDivodavir&) {
      // Left as it is: the comparison reports the mismatch when it runs.
    }
  }
}

bool TABSExprNodeComparison::compare(const TABSVariant& l, const TABSVariant& r, uint8_t op) {
  int32_t prefix = -1;
  if (partial_ && !l.IsNull() && !r.IsNull() && l.IsString() && r.IsString()) {
    // The prefix is as long as the constant that asked for it.
    if (prefix_side_ == 0) prefix = l.StringLength();
    else if (prefix_side_ == 1) prefix = r.StringLength();
    else prefix = std::min(l.StringLength(), r.StringLength());
  }
  const int code = CompareValues(l.Data(), l.ValueType(), l.IsNull(), r.Data(), r.ValueType(), r.IsNull(),
                                 case_insensitive_, prefix, l.DataSize(), r.DataSize());
  return code_satisfies(code, op, strict_null_);
}

const TABSVariant& TABSExprNodeComparison::quantified() {
  const TABSVariant& v = Child(0)->GetValue();
  auto sub = dynamic_cast<TABSExprNodeSubquery*>(Child(1));
  if (sub == nullptr) RaiseError(30130, OperatorName(op_));
  const std::vector<TABSVariant>& column = sub->Column();
  // Searched as `c op' v` over the first column. NULL satisfies no comparison here: a
  // NULL value is in no relation to the rows, and a NULL row neither qualifies for ANY
  // nor breaks ALL.
  const uint8_t op = swapped(op_);
  bool result = false;
  if (!column.empty() && !v.IsNull()) {
    const bool saved = strict_null_;
    strict_null_ = true;
    if (quantifier_ == qAny) {
      for (const TABSVariant& c : column)
        if (compare(c, v, op)) {
          result = true;
          break;
        }
    } else {
      result = true;
      for (const TABSVariant& c : column)
        if (!c.IsNull() && compare(c, v, negated(op))) {
          result = false;
          break;
        }
    }
    strict_null_ = saved;
  }
  set_logical(value_, result);
  return value_;
}

const TABSVariant& TABSExprNodeComparison::GetValue() {
  if (quantifier_ != qNone) return quantified();
  const TABSVariant& l = Child(0)->GetValue();
  const TABSVariant& r = Child(1)->GetValue();
  set_logical(value_, compare(l, r, op_));
  return value_;
}

bool TABSExprNodeComparison::index_sides(IndexSides& sides) const {
  for (int side = 0; side < 2; ++side) {
    const TABSExprNode* f = Child(side);
    const TABSExprNode* other = Child(1 - side);
    uint8_t mapping = opNone;
    if (f->Operator() == opUpper || f->Operator() == opLower) {
      if (f->ChildCount() != 1) continue;
      mapping = f->Operator();
      f = f->Child(0);
    }
    const TABSExprNodeField* fr = cursor_field(f, nullptr);
    if (fr == nullptr) continue;
    const bool constant = dynamic_cast<const TABSExprNodeConst*>(other) != nullptr;
    auto of = dynamic_cast<const TABSExprNodeField*>(other);
    if (!constant && !(of != nullptr && of->IsOuter())) continue;
    sides.field = fr;
    sides.value = other;
    sides.mapping = mapping;
    // The operator as `field op key`.
    sides.op = side == 0 ? op_ : swapped(op_);
    return true;
  }
  return false;
}

bool TABSExprNodeComparison::CanUseIndex(const TABSExprRecordSource* cursor, const TABSIndexDef& index,
                                         int32_t column) const {
  if (quantifier_ != qNone || op_ == opNotEqual || op_ < opEqual || op_ > opLessOrEqual || wide_only_) return false;
  if (column > 0 && op_ != opEqual) return false;
  IndexSides sides;
  if (!index_sides(sides) || sides.field->Source() != cursor) return false;
  const TABSExprNodeField* f = sides.field;
  const bool mapped = sides.mapping != opNone;
  if (!field_fits_column(f, cursor, index, column)) return false;
  const TABSIndexColumn& col = index.Columns[static_cast<size_t>(column)];
  const TABSBaseType fb = f->Info().BaseType;
  const bool text = IsStringBaseType(fb);
  if (mapped && !text) return false;
  if (text && col.CaseInsensitive != (case_insensitive_ || mapped)) return false;
  if (partial_ && !text) return false;
  auto c = dynamic_cast<const TABSExprNodeConst*>(sides.value);
  if (c == nullptr) return !partial_ && !mapped;  // an outer field: its value is the key
  const TABSVariant& k = c->Value();
  if (k.IsNull()) return !mapped;
  if (text) {
    if (!k.IsString()) return false;
    if (f->Info().Size < k.StringLength()) return false;
    if (mapped) {
      // Only a constant the mapping leaves unchanged: UPPER(f) = 'abc' holds for no f.
      const TABSVariant m = sides.mapping == opUpper ? ScalarUpper(k) : ScalarLower(k);
      if (m.CompareRaw(k) != cmpEqual) return false;
    }
    if (k.IsWideString() && !IsWideStringBaseType(fb) && !ExprNarrowsLosslessly(k.GetAsWideString())) return false;
    return true;
  }
  // The key must be the constant itself in the field's type.
  if (k.ValueType() == fb) return true;
  try {
    TABSVariant converted = k;
    converted.ConvertTo(fb);
    return converted.CompareRaw(k) == cmpEqual && k.CompareRaw(converted) == cmpEqual;
  } catch (const VODIDivodavir&) {
    return false;
  }
}

bool TABSExprNodeComparison::IndexCoversNode() const {
  IndexSides sides;
  if (!index_sides(sides) || sides.mapping != opNone) return false;
  const uint8_t op = sides.op;
  auto c = dynamic_cast<const TABSExprNodeConst*>(sides.value);
  // An outer value may be NULL, and a strict comparison is false for NULL keys, which lie
  // at the start of every index and so inside every range that reaches below the key.
  if (c == nullptr || c->Value().IsNull()) return !strict_null_;
  if (strict_null_ && (op == opLess || op == opLessOrEqual)) return false;
  return true;
}

void TABSExprNodeComparison::AddSearchCondition(const TABSExprRecordSource* cursor, const TABSIndexDef& index,
                                                TABSScanSearchCondition& condition) {
  IndexSides sides;
  if (!index_sides(sides) || cursor == nullptr || sides.field->Source() != cursor) RaiseError(20044);
  if (index.ColumnCount() == 0) RaiseError(20057);
  const TABSExprNodeField* f = sides.field;
  const TABSExprNode* v = sides.value;
  const bool mapped = sides.mapping != opNone;
  condition.Kind = kind_for(sides.op, index.Columns[0].Descending);
  condition.IndexID = index.ObjectID;
  condition.KeyFieldCount = 1;
  condition.Partial = partial_;
  condition.CaseInsensitive = case_insensitive_ || mapped;
  condition.KeyBuffer.clear();
  fill_key(f, cursor, const_cast<TABSExprNode*>(v)->GetValue(), condition);
  // A prefix of text is bounded in the index by the collation's primary-level bounds of
  // the prefix (TABSIndexRange), which also enclose texts that merely sort alike: such a
  // range is never exact, so the comparison is still evaluated on each record it yields.
  const bool text = IsStringBaseType(f->Info().BaseType);
  const bool covers = IndexCoversNode() && !(partial_ && text) && (!text || [&] {
    auto c = dynamic_cast<const TABSExprNodeConst*>(v);
    return c == nullptr || c->Value().IsNull() || c->Value().StringLength() < index.Columns[0].MaxIndexedSize;
  }());
  if (covers) condition.CoveredNodes.push_back(this);
  // An upper bound by a value is answered too where a lower bound by a value leaves the
  // NULL keys out of the range.
  if (!covers && strict_null_ && (sides.op == opLess || sides.op == opLessOrEqual) && !mapped && !partial_ &&
      [&] {
        auto c = dynamic_cast<const TABSExprNodeConst*>(v);
        return c != nullptr && !c->Value().IsNull() &&
               (!text || c->Value().StringLength() < index.Columns[0].MaxIndexedSize);
      }())
    condition.NonNullCoveredNodes.push_back(this);
  // A prefix equality holds for each entry whose stored key passes the range's prefix test.
  if (IndexCoversNode() && partial_ && text && sides.op == opEqual) condition.KeyTestedNodes.push_back(this);
}

void TABSExprNodeComparison::ExtendSearchCondition(const TABSExprRecordSource* cursor, const TABSIndexDef& index,
                                                   int32_t column, TABSScanSearchCondition& condition) {
  IndexSides sides;
  if (!index_sides(sides) || cursor == nullptr || sides.field->Source() != cursor) RaiseError(20045);
  const TABSExprNodeField* f = sides.field;
  const TABSExprNode* v = sides.value;
  fill_key(f, cursor, const_cast<TABSExprNode*>(v)->GetValue(), condition);
  ++condition.KeyFieldCount;
  const auto c = dynamic_cast<const TABSExprNodeConst*>(v);
  const bool short_key = !IsStringBaseType(f->Info().BaseType) || c == nullptr || c->Value().IsNull() ||
                         c->Value().StringLength() < index.Columns[static_cast<size_t>(column)].MaxIndexedSize;
  // A prefix never extends a condition (TABSExpression::ExtendSearchCondition); were it to,
  // its range would not be exact.
  if (IndexCoversNode() && short_key && !(partial_ && IsStringBaseType(f->Info().BaseType)))
    condition.CoveredNodes.push_back(this);
}

bool TABSExprNodeComparison::IsJoinEquality(TABSExprRecordSource* left, TABSExprRecordSource* right) const {
  if (op_ != opEqual || quantifier_ != qNone) return false;
  const TABSExprNodeField* fields[2];
  for (int side = 0; side < 2; ++side) {
    const TABSExprNode* n = Child(side);
    if ((n->Operator() == opUpper || n->Operator() == opLower) && n->ChildCount() == 1) n = n->Child(0);
    fields[side] = dynamic_cast<const TABSExprNodeField*>(n);
    if (fields[side] == nullptr) return false;
  }
  const auto resolves = [](const TABSExprNodeField* f, TABSExprRecordSource* s) {
    TABSExprFieldInfo info;
    return s != nullptr && s->FindField(f->TableName(), f->FieldName(), info);
  };
  for (const TABSExprNodeField* f : fields)
    if (resolves(f, left) && resolves(f, right)) RaiseError(10404, f->FieldName());
  return (resolves(fields[0], left) && resolves(fields[1], right)) ||
         (resolves(fields[0], right) && resolves(fields[1], left));
}

// ---------------------------------------------------------------------------------------
// Boolean

TABSExprNodeBoolean::TABSExprNodeBoolean(uint8_t op, bool case_insensitive) : TABSExprNode(op, case_insensitive) {}

const TABSVariant& TABSExprNodeBoolean::like() {
  const TABSVariant& v = Child(0)->GetValue();
  const TABSVariant& p = Child(1)->GetValue();
  if (v.IsNull() || p.IsNull()) {
    set_null_logical(value_);
    return value_;
  }
  const TABSBaseType common = CommonBaseType(v.ValueType(), p.ValueType());
  if (!IsStringBaseType(common)) RaiseError(30120, "LIKE");
  bool match;
  if (!IsAnsiStringBaseType(v.ValueType()) || !IsAnsiStringBaseType(p.ValueType()) ||
      IsWideStringBaseType(common)) {
    // Wide text, or a value of another type brought to text first.
    const int32_t escape = has_escape_ ? static_cast<int32_t>(escape_[0]) : kNoLikeEscape;
    match = LikeMatchWide(v.GetAsWideString(), p.GetAsWideString(), escape, case_insensitive_);
  } else {
    int32_t escape = kNoLikeEscape;
    if (has_escape_) escape = static_cast<uint8_t>(AnsiCodePage().ToAnsi(escape_[0]));
    const TCodePage& cp = AnsiCodePage();
    const bool ci = case_insensitive_;
    match = LikeMatch<char>(ansi_view(v), ansi_view(p), escape, [&cp, ci](char a, char b) {
      if (a == b) return true;
      if (!ci) return false;
      const unsigned ua = static_cast<uint8_t>(a), ub = static_cast<uint8_t>(b);
      if (ua < 0x80 && ub < 0x80) return (ua | 0x20u) == (ub | 0x20u) && (ua | 0x20u) - 'a' < 26u;
      const char16_t wa = cp.ToWide(static_cast<uint8_t>(a)), wb = cp.ToWide(static_cast<uint8_t>(b));
      return UserLocale().Compare(&wa, 1, &wb, 1, true) == 0;
    });
  }
  set_logical(value_, op_ == opLike ? match : !match);
  return value_;
}

const TABSVariant& TABSExprNodeBoolean::in_list() {
  const TABSVariant& v = Child(0)->GetValue();
  if (v.IsNull()) {
    set_null_logical(value_);
    return value_;
  }
  bool found = false;
  if (auto sub = dynamic_cast<TABSExprNodeSubquery*>(Child(1)); sub != nullptr && ChildCount() == 2) {
    found = sub->Contains(v);
  } else {
    for (int32_t i = 1; i < ChildCount() && !found; ++i) {
      const TABSVariant& e = Child(i)->GetValue();
      found = CompareValues(v.Data(), v.ValueType(), v.IsNull(), e.Data(), e.ValueType(), e.IsNull(), true, -1,
                            v.DataSize(), e.DataSize()) == cmpEqual;
    }
  }
  set_logical(value_, op_ == opIn ? found : !found);
  return value_;
}

const TABSVariant& TABSExprNodeBoolean::GetValue() {
  switch (op_) {
    case opNot: {
      const TABSVariant& v = Child(0)->GetValue();
      if (v.IsNull()) {
        set_null_logical(value_);
      } else {
        set_logical(value_, !v.GetAsLogical());
      }
      return value_;
    }
    case opAnd:
    case opOr: {
      const bool stop_on = op_ == opOr;  // OR stops at the first true, AND at the first false
      bool saw_null = false;
      for (auto& c : children_) {
        const TABSVariant& v = c->GetValue();
        if (v.IsNull()) {
          saw_null = true;
        } else if (v.GetAsLogical() == stop_on) {
          set_logical(value_, stop_on);
          return value_;
        }
      }
      if (saw_null) {
        set_null_logical(value_);
      } else {
        set_logical(value_, !stop_on);
      }
      return value_;
    }
    case opIn:
    case opNotIn:
      return in_list();
    case opExists: {
      auto sub = dynamic_cast<TABSExprNodeSubquery*>(Child(0));
      if (sub == nullptr) RaiseError(30130, "EXISTS");
      set_logical(value_, sub->HasRows());
      return value_;
    }
    case opBetween:
    case opNotBetween: {
      const TABSVariant& v = Child(0)->GetValue();
      const TABSVariant& a = Child(1)->GetValue();
      const TABSVariant& b = Child(2)->GetValue();
      if (v.IsNull() || a.IsNull() || b.IsNull()) {
        set_null_logical(value_);
        return value_;
      }
      const bool in = v.Compare(a, false, true) >= 0 && v.Compare(b, false, true) <= 0;
      set_logical(value_, op_ == opBetween ? in : !in);
      return value_;
    }
    case opLike:
    case opNotLike:
      return like();
    case opIsNull:
    case opIsNotNull: {
      const bool null = Child(0)->GetValue().IsNull();
      set_logical(value_, op_ == opIsNull ? null : !null);
      return value_;
    }
    default:
      RaiseError(30116, OperatorName(op_));
  }
}

const TABSExprNodeField* TABSExprNodeBoolean::index_field(const TABSExprRecordSource* cursor) const {
  if ((op_ != opIsNull && op_ != opIsNotNull) || ChildCount() != 1) return nullptr;
  return cursor_field(Child(0), cursor);
}

bool TABSExprNodeBoolean::CanUseIndex(const TABSExprRecordSource* cursor, const TABSIndexDef& index,
                                      int32_t column) const {
  if (column != 0) return false;
  const TABSExprNodeField* f = index_field(cursor);
  return f != nullptr && cursor != nullptr && field_fits_column(f, cursor, index, column);
}

void TABSExprNodeBoolean::AddSearchCondition(const TABSExprRecordSource* cursor, const TABSIndexDef& index,
                                             TABSScanSearchCondition& condition) {
  const TABSExprNodeField* f = index_field(cursor);
  if (f == nullptr || cursor == nullptr) RaiseError(20054);
  if (index.ColumnCount() == 0) RaiseError(20255);
  condition.Kind = kind_for(op_, index.Columns[0].Descending);
  condition.IndexID = index.ObjectID;
  condition.KeyFieldCount = 1;
  condition.Partial = false;
  condition.CaseInsensitive = index.Columns[0].CaseInsensitive;
  condition.KeyBuffer.clear();
  fill_key(f, cursor, TABSVariant(f->Info().BaseType), condition);
  condition.CoveredNodes.push_back(this);
}

}  // namespace dadoveri
