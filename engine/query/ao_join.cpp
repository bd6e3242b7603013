// The join operator.
#include "engine/query/ao_join.h"

#include "engine/base/engine_error.h"
#include "engine/database/local_cursor.h"
#include "engine/query/expr_text.h"

namespace dadoveri {

namespace {

bool any_null(const std::vector<TABSVariant>& values) {
  for (const TABSVariant& v : values)
    if (v.IsNull()) return true;
  return false;
}

// Whether `op` has an output column of that name.
bool has_column(const TABSAO& op, const std::pair<std::string, std::string>& field) {
  return !op.FindColumns(field.second, field.first).empty();
}

}  // namespace

TABSAOJoin::TABSAOJoin(TABSAOContext& context, std::unique_ptr<TABSAO> left, std::unique_ptr<TABSAO> right,
                       TABSAOJoinKind kind, bool natural, const TABSFields& left_keys, const TABSFields& right_keys,
                       std::unique_ptr<TABSExpression> on)
    : TABSAO(context), Kind(kind), Natural(natural), On(std::move(on)) {
  Left = std::move(left);
  Right = std::move(right);
  if (left_keys.size() != right_keys.size())
    RaiseError(10330, static_cast<int32_t>(left_keys.size()), static_cast<int32_t>(right_keys.size()));
  for (size_t i = 0; i < left_keys.size(); ++i) {
    auto a = left_keys[i], b = right_keys[i];
    const bool a_left = has_column(*Left, a), a_right = has_column(*Right, a);
    const bool b_left = has_column(*Left, b), b_right = has_column(*Right, b);
    if (!a_left && a_right && b_left) std::swap(a, b);
    const bool left_ok = has_column(*Left, a), right_ok = has_column(*Right, b);
    if (!left_ok && !has_column(*Right, a)) RaiseError(10331, a.first, a.second, static_cast<int32_t>(i), 0);
    if (!right_ok && !has_column(*Left, b)) RaiseError(10331, b.first, b.second, static_cast<int32_t>(i), 0);
    if (!left_ok || !right_ok) {
      const bool same_left = a_left && b_left && !a_right && !b_right;
      RaiseError(10334, a.second, b.second, same_left ? 1 : 2, same_left ? 1 : 2);
    }
    LeftKeys.push_back(a);
    RightKeys.push_back(b);
  }
  if (Kind == akInner && LeftKeys.empty() && (!On || On->IsEmpty())) Kind = akCross;
  for (int32_t side = 0; side < 2; ++side) {
    TABSAO& input = side == 0 ? *Left : *Right;
    for (size_t i = 0; i < input.Columns.size(); ++i) {
      TABSFieldLink c;
      c.Name = input.Columns[i].Name;
      c.TableName = input.Columns[i].TableName;
      c.ColumnType = input.Columns[i].ColumnType;
      c.Size = input.Columns[i].Size;
      c.Input = &input;
      c.InputColumn = static_cast<int32_t>(i);
      Columns.push_back(std::move(c));
    }
  }
}

void TABSAOJoin::Execute(bool live, TABSAO* outer, const void* outer_row) {
  Left->Execute(live, outer, outer_row);
  Right->Execute(live, outer, outer_row);
  left_columns_.clear();
  right_columns_.clear();
  for (size_t i = 0; i < LeftKeys.size(); ++i) {
    left_columns_.push_back(AOColumnOf(*Left, LeftKeys[i].first, LeftKeys[i].second));
    right_columns_.push_back(AOColumnOf(*Right, RightKeys[i].first, RightKeys[i].second));
  }
  // Each keyed input delivers its rows in key order through an index on the keys.
  if (!LeftKeys.empty()) {
    const std::vector<bool> flags(LeftKeys.size(), false);
    Left->SetSortOrder(LeftKeys, flags, flags);
    Right->SetSortOrder(RightKeys, flags, flags);
  }
  TABSExprRecordSource* sources[] = {Left.get(), Right.get()};
  if (On) On->BindToOperators(sources, context_.Outer);
  if (Condition) Condition->BindToOperators(sources, context_.Outer);
  // The input with fewer rows goes outside (only the roles change, never the columns).
  Swapped = false;
  if ((Kind == akInner || Kind == akFull) && !LeftKeys.empty() && Right->RecordCount() < Left->RecordCount())
    Swapped = true;
  if (Streamed) {
    drop_result();
    return;
  }
  Materialise();
}

void TABSAOJoin::read_keys(TABSAO& op, const std::vector<int32_t>& columns, std::vector<TABSVariant>& values) const {
  values.resize(columns.size());
  for (size_t i = 0; i < columns.size(); ++i) op.GetColumnValue(columns[i], values[i]);
}

int TABSAOJoin::compare_keys(const std::vector<TABSVariant>& a, const std::vector<TABSVariant>& b) const {
  for (size_t i = 0; i < a.size(); ++i) {
    int c = 0;
    try {
      c = a[i].Compare(b[i]);
    } catch (const VODIDivodavir& e) {
      RaiseError(10328, LeftKeys[i].second, RightKeys[i].second, std::string(e.what()));
    }
    if (c != 0) return c;
  }
  return 0;
}

void TABSAOJoin::Produce(const std::function<bool()>& emit) {
  Left->SetNullRow(false);
  Right->SetNullRow(false);
  if (LeftKeys.empty()) {
    nested(emit);
  } else {
    merge(emit);
  }
  Left->SetNullRow(false);
  Right->SetNullRow(false);
}

// Without keys: every left row meets every right row (the right input restarts at its
// first row after its last); the ON condition, if any, decides which pairs are rows.
void TABSAOJoin::nested(const std::function<bool()>& emit) {
  const bool pad_left = Kind == akLeft || Kind == akFull;
  const bool pad_right = Kind == akRight || Kind == akFull;
  std::vector<bool> right_matched;
  for (bool l = Left->StepFirst(); l; l = Left->StepNext()) {
    bool matched = false;
    size_t r_no = 0;
    for (bool r = Right->StepFirst(); r; r = Right->StepNext(), ++r_no) {
      if (right_matched.size() <= r_no) right_matched.push_back(false);
      if (Kind != akCross && !AOConditionHolds(On.get())) continue;
      matched = true;
      right_matched[r_no] = true;
      if (!emit()) return;
    }
    if (!matched && pad_left) {
      Right->SetNullRow(true);
      const bool more = emit();
      Right->SetNullRow(false);
      if (!more) return;
    }
  }
  if (!pad_right) return;
  size_t r_no = 0;
  Left->SetNullRow(true);
  for (bool r = Right->StepFirst(); r; r = Right->StepNext(), ++r_no) {
    if (r_no < right_matched.size() && right_matched[r_no]) continue;
    if (!emit()) break;
  }
  Left->SetNullRow(false);
}

// With keys: both inputs in key order. A is the outer input, B the inner one; a run of
// B rows with equal keys is remembered by bookmarks and read again for every A row of
// those keys.
void TABSAOJoin::merge(const std::function<bool()>& emit) {
  TABSAO& a = Swapped ? *Right : *Left;
  TABSAO& b = Swapped ? *Left : *Right;
  const std::vector<int32_t>& a_columns = Swapped ? right_columns_ : left_columns_;
  const std::vector<int32_t>& b_columns = Swapped ? left_columns_ : right_columns_;
  const bool left_outer = Kind == akLeft || Kind == akFull;
  const bool right_outer = Kind == akRight || Kind == akFull;
  const bool pad_a = Swapped ? right_outer : left_outer;
  const bool pad_b = Swapped ? left_outer : right_outer;
  // Emits the current row of one side with the other side NULL.
  const auto emit_alone = [&](TABSAO& missing) {
    missing.SetNullRow(true);
    const bool more = emit();
    missing.SetNullRow(false);
    return more;
  };
  std::vector<TABSVariant> a_keys, b_keys, run_keys;
  // A side that stays behind the other for more than a few rows is moved to the other's
  // key through its index instead of stepping over every key in between (not a side
  // whose unmatched rows are output, which must all be read).
  constexpr int32_t kStepsBeforeSeek = 4;
  int32_t a_behind = 0, b_behind = 0;
  a.AllowSeeks();
  b.AllowSeeks();
  bool a_ok = a.StepFirst(), b_ok = b.StepFirst();
  while (a_ok || b_ok) {
    if (a_ok) read_keys(a, a_columns, a_keys);
    if (b_ok) read_keys(b, b_columns, b_keys);
    // A NULL key meets nothing.
    if (a_ok && any_null(a_keys)) {
      if (pad_a && !emit_alone(b)) return;
      a_ok = a.StepNext();
      continue;
    }
    if (b_ok && any_null(b_keys)) {
      if (pad_b && !emit_alone(a)) return;
      b_ok = b.StepNext();
      continue;
    }
    if (!a_ok && !pad_b) return;
    if (!b_ok && !pad_a) return;
    const int c = !a_ok ? 1 : !b_ok ? -1 : compare_keys(a_keys, b_keys);
    if (c < 0) {
      b_behind = 0;
      if (pad_a && !emit_alone(b)) return;
      if (!pad_a && b_ok && ++a_behind > kStepsBeforeSeek && a.SeekAtLeast(a_columns, b_keys)) {
        a_behind = 0;
        a_ok = !a.Eof();
        continue;
      }
      a_ok = a.StepNext();
      continue;
    }
    if (c > 0) {
      a_behind = 0;
      if (pad_b && !emit_alone(a)) return;
      if (!pad_b && a_ok && ++b_behind > kStepsBeforeSeek && b.SeekAtLeast(b_columns, a_keys)) {
        b_behind = 0;
        b_ok = !b.Eof();
        continue;
      }
      b_ok = b.StepNext();
      continue;
    }
    a_behind = b_behind = 0;
    // Equal keys: the run of B rows with these keys.
    run_keys = a_keys;
    std::vector<void*> run;
    struct FreeRun {
      TABSAO& b;
      std::vector<void*>& run;
      ~FreeRun() {
        for (void*& m : run) b.FreeBookmark(m);
      }
    } free_run{b, run};
    while (b_ok) {
      read_keys(b, b_columns, b_keys);
      if (any_null(b_keys) || compare_keys(run_keys, b_keys) != 0) break;
      run.push_back(b.Bookmark());
      b_ok = b.StepNext();
    }
    void* after = b_ok ? b.Bookmark() : nullptr;
    struct FreeAfter {
      TABSAO& b;
      void*& mark;
      ~FreeAfter() { b.FreeBookmark(mark); }
    } free_after{b, after};
    std::vector<bool> matched(run.size(), false);
    while (a_ok) {
      read_keys(a, a_columns, a_keys);
      if (any_null(a_keys) || compare_keys(a_keys, run_keys) != 0) break;
      bool any = false;
      for (size_t i = 0; i < run.size(); ++i) {
        b.GoToBookmark(run[i]);
        if (!AOConditionHolds(On.get())) continue;
        any = true;
        matched[i] = true;
        if (!emit()) return;
      }
      if (!any && pad_a) {
        if (!emit_alone(b)) return;
      }
      a_ok = a.StepNext();
    }
    if (pad_b) {
      for (size_t i = 0; i < run.size(); ++i) {
        if (matched[i]) continue;
        b.GoToBookmark(run[i]);
        if (!emit_alone(a)) return;
      }
    }
    if (b_ok) b.GoToBookmark(after);
  }
}

}  // namespace dadoveri
