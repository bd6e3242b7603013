// TABSAOGroupBy: grouping and aggregates. The input is read in the order of the grouping
// fields; each group is one output row (the grouping fields of its first row and the
// aggregate results), kept when the HAVING condition holds.
#pragma once

#include "engine/query/ao_table_expr.h"

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
  std::vector<int32_t> group_columns_;
};

}  // namespace dadoveri
