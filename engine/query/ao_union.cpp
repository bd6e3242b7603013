// The set operators.
#include "engine/query/ao_union.h"

#include <algorithm>
#include <map>

#include "engine/base/engine_error.h"
#include "engine/query/expr_text.h"

namespace dadoveri {

namespace {

// Rows as keys: NULL below every value, two NULLs equal.
struct RowLess {
  bool operator()(const std::vector<TABSVariant>& a, const std::vector<TABSVariant>& b) const {
    for (size_t i = 0; i < a.size() && i < b.size(); ++i) {
      if (a[i].IsNull() || b[i].IsNull()) {
        if (a[i].IsNull() == b[i].IsNull()) continue;
        return a[i].IsNull();
      }
      const int c = a[i].Compare(b[i]);
      if (c != 0) return c < 0;
    }
    return a.size() < b.size();
  }
};

}  // namespace

TABSAOUnion::TABSAOUnion(TABSAOContext& context, std::unique_ptr<TABSAO> left, std::unique_ptr<TABSAO> right,
                         TABSAOUnionKind kind, bool all, bool corresponding,
                         const std::vector<std::string>& corresponding_by)
    : TABSAO(context), Kind(kind), All(all) {
  if (kind < auUnion || kind > auIntersect) RaiseError(10336, static_cast<int32_t>(kind));
  Left = std::move(left);
  Right = std::move(right);
  const auto visible = [](const TABSAO& op) {
    std::vector<int32_t> v;
    for (size_t i = 0; i < op.Columns.size(); ++i)
      if (op.Columns[i].Visible) v.push_back(static_cast<int32_t>(i));
    return v;
  };
  const std::vector<int32_t> lv = visible(*Left), rv = visible(*Right);
  Left->AssignColumnNames();
  Right->AssignColumnNames();
  if (!corresponding) {
    if (lv.size() != rv.size())
      RaiseError(10338, static_cast<int32_t>(lv.size()), static_cast<int32_t>(rv.size()));
    left_columns_ = lv;
    right_columns_ = rv;
  } else {
    // The columns both sides name (those of the BY list only), in the left side's order.
    for (int32_t l : lv) {
      const std::string& name = Left->OutputNames[static_cast<size_t>(l)];
      if (!corresponding_by.empty()) {
        bool listed = false;
        for (const std::string& n : corresponding_by) listed = listed || ExprSameName(n, name);
        if (!listed) continue;
      }
      for (int32_t r : rv) {
        if (!ExprSameName(Right->OutputNames[static_cast<size_t>(r)], name)) continue;
        left_columns_.push_back(l);
        right_columns_.push_back(r);
        break;
      }
    }
    if (left_columns_.empty()) RaiseError(10337, static_cast<int32_t>(lv.size()));
  }
  for (size_t i = 0; i < left_columns_.size(); ++i) {
    TABSFieldLink c;
    c.Name = Left->OutputNames[static_cast<size_t>(left_columns_[i])];
    Columns.push_back(std::move(c));
  }
  combine_types();
}

void TABSAOUnion::combine_types() {
  for (size_t i = 0; i < left_columns_.size(); ++i) {
    const TABSFieldLink& l = Left->Columns[static_cast<size_t>(left_columns_[i])];
    const TABSFieldLink& r = Right->Columns[static_cast<size_t>(right_columns_[i])];
    TABSFieldLink& c = Columns[i];
    c.ColumnType = l.ColumnType;
    c.Size = std::max(l.Size, r.Size);
    // A wider type of the two sides keeps the values of both.
    if (l.ColumnType != r.ColumnType) {
      const bool l_text = l.ColumnType == ctString || l.ColumnType == ctChar;
      const bool r_wide = r.ColumnType == ctWideString || r.ColumnType == ctWideChar;
      if (l_text && r_wide) c.ColumnType = ctWideString;
      const bool l_int = l.ColumnType >= ctShortint && l.ColumnType <= ctAutoincCardinal;
      const bool r_float = r.ColumnType == ctFloat || r.ColumnType == ctSingle || r.ColumnType == ctExtended;
      const bool r_int = r.ColumnType >= ctShortint && r.ColumnType <= ctAutoincCardinal;
      if (l_int && r_float) c.ColumnType = ctFloat;
      if (l_int && r_int) c.ColumnType = ctLargeint;
    }
  }
}

void TABSAOUnion::Execute(bool live, TABSAO* outer, const void* outer_row) {
  Left->Execute(live, outer, outer_row);
  Right->Execute(live, outer, outer_row);
  // The types of computed columns are known once the sides have run.
  combine_types();
  // UNION, EXCEPT and INTERSECT without ALL give each row once.
  if (!All) Distinct = true;
  for (size_t i = 0; i < Columns.size(); ++i) {
    Columns[i].Input = nullptr;
    Columns[i].Expression = nullptr;
  }
  Materialise();
}

void TABSAOUnion::Produce(const std::function<bool()>& emit) {
  // The values are written through the column links of the side the row comes from.
  const auto emit_from = [&](TABSAO& side, const std::vector<int32_t>& columns) {
    for (size_t i = 0; i < Columns.size(); ++i) {
      Columns[i].Input = &side;
      Columns[i].InputColumn = columns[i];
    }
    return emit();
  };
  const auto read = [&](TABSAO& side, const std::vector<int32_t>& columns, std::vector<TABSVariant>& row) {
    row.resize(columns.size());
    for (size_t i = 0; i < columns.size(); ++i) side.GetColumnValue(columns[i], row[i]);
  };
  if (Kind == auUnion) {
    for (bool more = Left->StepFirst(); more; more = Left->StepNext())
      if (!emit_from(*Left, left_columns_)) return;
    for (bool more = Right->StepFirst(); more; more = Right->StepNext())
      if (!emit_from(*Right, right_columns_)) return;
    return;
  }
  // EXCEPT and INTERSECT: the right side's rows with their counts.
  std::map<std::vector<TABSVariant>, int64_t, RowLess> right_rows;
  std::vector<TABSVariant> row;
  for (bool more = Right->StepFirst(); more; more = Right->StepNext()) {
    read(*Right, right_columns_, row);
    ++right_rows[row];
  }
  for (bool more = Left->StepFirst(); more; more = Left->StepNext()) {
    read(*Left, left_columns_, row);
    auto at = right_rows.find(row);
    const bool in_right = at != right_rows.end() && at->second > 0;
    // With ALL each right row cancels (EXCEPT) or meets (INTERSECT) one left row.
    if (All && in_right) --at->second;
    const bool keep = Kind == auExcept ? !in_right : in_right;
    if (keep && !emit_from(*Left, left_columns_)) return;
  }
}

}  // namespace dadoveri
