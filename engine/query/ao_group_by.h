// TABSAOGroupBy: grouping and aggregates. The input is read once in its own order, the
// groups gathered in memory (each with its own aggregate states and a bookmark of its
// first row); each group is then one output row, in the order of the grouping fields (the
// fields of its first row and the aggregate results), kept when the HAVING condition
// holds.
#pragma once

#include "engine/query/ao_table_expr.h"
#include "engine/query/expr_node.h"

namespace dadoveri {

class TABSAOGroupBy : public TABSAO {
 public:
  TABSAOGroupBy(TABSAOContext& context, std::unique_ptr<TABSAO> input, const std::vector<TABSAOSelectItem>& items,
                const TABSFields& group_by);
  void Execute(bool live, TABSAO* outer, const void* outer_row) override;

  TABSFields GroupBy;

 protected:
  void Produce(const std::function<bool()>& emit) override;

 private:
  void start_group();
  void accumulate();
  // Every aggregate of the select list and HAVING works on the state of group `slot`.
  void select_group(size_t slot);
  std::vector<int32_t> group_columns_;
  std::vector<TABSExprNodeAggregated*> aggregates_;
};

}  // namespace dadoveri
