// TABSAOSQLTopRowCount: the TOP window over its input — `TOP n, m` gives n rows starting
// with row m (counting from 1) of the input in its order.
#pragma once

#include "engine/query/ao.h"

namespace dadoveri {

class TABSAOSQLTopRowCount : public TABSAO {
 public:
  TABSAOSQLTopRowCount(TABSAOContext& context, std::unique_ptr<TABSAO> input, int64_t count, int64_t first_row);
  void Execute(bool live, TABSAO* outer, const void* outer_row) override;
  // The order is the input's, before the window is taken.
  void SetSortOrder(const TABSFields& fields, const std::vector<bool>& descending,
                    const std::vector<bool>& case_insensitive) override;
};

}  // namespace dadoveri
