// The grouping operator.
#include "engine/query/ao_group_by.h"

#include <algorithm>
#include <map>
#include <unordered_map>

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

// The aggregate nodes of `node`'s tree.
void collect_aggregates(TABSExprNode* node, std::vector<TABSExprNodeAggregated*>& out) {
  if (node == nullptr) return;
  if (auto* aggregate = dynamic_cast<TABSExprNodeAggregated*>(node)) out.push_back(aggregate);
  for (int32_t i = 0; i < node->ChildCount(); ++i) collect_aggregates(node->Child(i), out);
}

bool is_integer_type(TABSBaseType type) {
  switch (type) {
    case btShortint:
    case btSmallint:
    case btInteger:
    case btLargeint:
    case btByte:
    case btWord:
    case btCardinal: return true;
    default: return false;
  }
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
  TABSExprRecordSource* sources[] = {Left.get()};
  for (TABSFieldLink& c : Columns)
    if (c.Expression != nullptr) c.Expression->BindToOperators(sources, context_.Outer);
  if (Condition) Condition->BindToOperators(sources, context_.Outer);
  aggregates_.clear();
  for (TABSFieldLink& c : Columns)
    if (c.Expression != nullptr) collect_aggregates(c.Expression->Root(), aggregates_);
  if (Condition) collect_aggregates(Condition->Root(), aggregates_);
  std::sort(aggregates_.begin(), aggregates_.end());
  aggregates_.erase(std::unique(aggregates_.begin(), aggregates_.end()), aggregates_.end());
  struct Single {
    std::vector<TABSExprNodeAggregated*>& nodes;
    ~Single() {
      for (TABSExprNodeAggregated* n : nodes) n->ClearGroups();
    }
  } single{aggregates_};
  Materialise();
}

void TABSAOGroupBy::select_group(size_t slot) {
  for (TABSExprNodeAggregated* n : aggregates_) n->SelectGroup(slot);
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
  // Key order: NULL first, then by value (as the grouping fields' index would give).
  const auto compare = [&](const std::vector<TABSVariant>& a, const std::vector<TABSVariant>& b) {
    for (size_t i = 0; i < a.size(); ++i) {
      if (a[i].IsNull() || b[i].IsNull()) {
        if (a[i].IsNull() != b[i].IsNull()) return a[i].IsNull() ? -1 : 1;
        continue;
      }
      int c = 0;
      try {
        c = a[i].Compare(b[i]);
      } catch (const VODIDivodavir& e) {
        RaiseError(10340, GroupBy[i].second, GroupBy[i].second, std::string(e.what()));
      }
      if (c != 0) return c;
    }
    return 0;
  };
  const auto less = [&](const std::vector<TABSVariant>& a, const std::vector<TABSVariant>& b) {
    return compare(a, b) < 0;
  };
  struct Group {
    std::vector<TABSVariant> key;
    void* first_row = nullptr;
  };
  std::vector<Group> groups;
  struct FreeMarks {
    TABSAO& in;
    std::vector<Group>& groups;
    ~FreeMarks() {
      for (Group& g : groups) in.FreeBookmark(g.first_row);
    }
  } free_marks{in, groups};
  // A single integer field finds its group by hashing; other keys through an ordered map.
  std::unordered_map<int64_t, size_t> by_integer;
  std::map<std::vector<TABSVariant>, size_t, decltype(less)> by_key(less);
  std::vector<TABSVariant> current(group_columns_.size());
  const bool single = group_columns_.size() == 1;
  for (bool more = in.StepFirst(); more; more = in.StepNext()) {
    for (size_t i = 0; i < group_columns_.size(); ++i) in.GetColumnValue(group_columns_[i], current[i]);
    size_t slot = groups.size();
    bool found = false;
    if (single && !current[0].IsNull() && is_integer_type(current[0].ValueType())) {
      const auto [at, added] = by_integer.try_emplace(current[0].GetAsLargeint(), slot);
      found = !added;
      slot = at->second;
    } else {
      const auto at = by_key.find(current);
      if (at != by_key.end()) {
        found = true;
        slot = at->second;
      } else {
        by_key.emplace(current, slot);
      }
    }
    for (TABSExprNodeAggregated* n : aggregates_) {
      n->SelectGroup(slot);
      if (!found) n->StartGroup();
      n->Accumulate();
    }
    if (!found) groups.push_back(Group{current, in.Bookmark()});
  }
  // The groups' rows in key order, each read with the input on the group's first row.
  std::vector<size_t> order(groups.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return compare(groups[a].key, groups[b].key) < 0; });
  for (size_t slot : order) {
    select_group(slot);
    in.GoToBookmark(groups[slot].first_row);
    if (!emit()) return;
  }
}

}  // namespace dadoveri
