// The grouping operator.
#include "engine/query/ao_group_by.h"

#include "engine/base/engine_error.h"
#include "engine/query/expr_node.h"

namespace dadoveri {

namespace {

// Whether every aggregate of `node`'s tree is COUNT(*) (and there is at least one).
bool only_count_all(TABSExprNode* node, bool& any) {
  if (node == nullptr) return true;
  if (dynamic_cast<TABSExprNodeAggregated*>(node) != nullptr) {
    if (!node->IsCountAll()) return false;
    any = true;
    return true;
  }
  for (int32_t i = 0; i < node->ChildCount(); ++i)
    if (!only_count_all(node->Child(i), any)) return false;
  return true;
}

}  // namespace

TABSAOGroupBy::TABSAOGroupBy(TABSAOContext& context, std::unique_ptr<TABSAO> input,
                             const std::vector<TABSAOSelectItem>& items, const TABSFields& group_by)
    : TABSAO(context), GroupBy(group_by) {
  Left = std::move(input);
  AOSelectColumns(*Left, items, Columns);
}

void TABSAOGroupBy::Execute(bool live, TABSAO* outer, const void* outer_row) {
  Left->Execute(live, outer, outer_row);
  group_columns_.clear();
  for (size_t i = 0; i < GroupBy.size(); ++i) {
    const std::vector<int32_t> found = Left->FindColumns(GroupBy[i].second, GroupBy[i].first);
    if (found.size() != 1)
      RaiseError(20245, GroupBy[i].first, GroupBy[i].second, static_cast<int32_t>(i), found.empty() ? 0 : 1);
    group_columns_.push_back(found[0]);
  }
  // The rows of one group arrive one after another.
  if (!GroupBy.empty()) {
    const std::vector<bool> flags(GroupBy.size(), false);
    Left->SetSortOrder(GroupBy, flags, flags);
  }
  TABSExprRecordSource* sources[] = {Left.get()};
  for (TABSFieldLink& c : Columns)
    if (c.Expression != nullptr) c.Expression->BindToOperators(sources, context_.Outer);
  if (Condition) Condition->BindToOperators(sources, context_.Outer);
  Materialise();
}

void TABSAOGroupBy::start_group() {
  for (TABSFieldLink& c : Columns)
    if (c.Expression != nullptr) c.Expression->StartGroup();
  if (Condition) Condition->StartGroup();
}

void TABSAOGroupBy::accumulate() {
  for (TABSFieldLink& c : Columns)
    if (c.Expression != nullptr) c.Expression->Accumulate();
  if (Condition) Condition->Accumulate();
}

void TABSAOGroupBy::Produce(const std::function<bool()>& emit) {
  TABSAO& in = *Left;
  if (GroupBy.empty()) {
    // The whole input is one group: exactly one row, also over no rows.
    start_group();
    bool any_count = false, counts_only = true;
    for (TABSFieldLink& c : Columns)
      if (c.Expression != nullptr && !only_count_all(c.Expression->Root(), any_count)) counts_only = false;
    if (Condition && !only_count_all(Condition->Root(), any_count)) counts_only = false;
    bool has_row = false;
    if (counts_only && any_count && !Condition) {
      // Every aggregate is COUNT(*): the input's record count answers it.
      const int64_t count = in.RecordCount();
      std::vector<TABSExprNode*> pending;
      for (TABSFieldLink& c : Columns)
        if (c.Expression != nullptr && c.Expression->Root()) pending.push_back(c.Expression->Root());
      while (!pending.empty()) {
        TABSExprNode* n = pending.back();
        pending.pop_back();
        if (n->IsCountAll()) n->SetCount(count);
        for (int32_t i = 0; i < n->ChildCount(); ++i) pending.push_back(n->Child(i));
      }
      has_row = in.StepFirst();
    } else {
      for (bool more = in.StepFirst(); more; more = in.StepNext()) accumulate();
      has_row = in.StepFirst();
    }
    in.SetNullRow(!has_row);
    emit();
    in.SetNullRow(false);
    return;
  }
  std::vector<TABSVariant> first(group_columns_.size()), current(group_columns_.size());
  const auto read = [&](std::vector<TABSVariant>& values) {
    for (size_t i = 0; i < group_columns_.size(); ++i) in.GetColumnValue(group_columns_[i], values[i]);
  };
  const auto same = [&]() {
    for (size_t i = 0; i < first.size(); ++i) {
      if (first[i].IsNull() || current[i].IsNull()) {
        if (first[i].IsNull() != current[i].IsNull()) return false;
        continue;
      }
      int c = 0;
      try {
        c = first[i].Compare(current[i]);
      } catch (const VODIDivodavir& e) {
        RaiseError(10340, GroupBy[i].second, GroupBy[i].second, std::string(e.what()));
      }
      if (c != 0) return false;
    }
    return true;
  };
  bool ok = in.StepFirst();
  while (ok) {
    read(first);
    void* group_start = in.Bookmark();
    void* look_ahead = nullptr;
    struct Free {
      TABSAO& in;
      void*& a;
      void*& b;
      ~Free() {
        in.FreeBookmark(a);
        in.FreeBookmark(b);
      }
    } free_marks{in, group_start, look_ahead};
    start_group();
    for (;;) {
      accumulate();
      ok = in.StepNext();
      if (!ok) break;
      read(current);
      if (!same()) break;
    }
    if (ok) look_ahead = in.Bookmark();
    // The group's row: its first row's fields and the aggregate results.
    in.GoToBookmark(group_start);
    if (!emit()) return;
    if (ok) in.GoToBookmark(look_ahead);
  }
}

}  // namespace dadoveri
