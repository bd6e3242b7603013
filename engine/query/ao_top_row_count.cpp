// The TOP window.
#include "engine/query/ao_top_row_count.h"

namespace dadoveri {

TABSAOSQLTopRowCount::TABSAOSQLTopRowCount(TABSAOContext& context, std::unique_ptr<TABSAO> input, int64_t count,
                                           int64_t first_row)
    : TABSAO(context) {
  Left = std::move(input);
  for (size_t i = 0; i < Left->Columns.size(); ++i) {
    TABSFieldLink c = Left->Columns[i];
    c.Input = Left.get();
    c.InputColumn = static_cast<int32_t>(i);
    c.Expression = nullptr;
    Columns.push_back(std::move(c));
  }
  SetRowWindow(first_row < 1 ? 1 : first_row, count < 0 ? 0 : count);
}

void TABSAOSQLTopRowCount::SetSortOrder(const TABSFields& fields, const std::vector<bool>& descending,
                                        const std::vector<bool>& case_insensitive) {
  Left->SetSortOrder(fields, descending, case_insensitive);
}

void TABSAOSQLTopRowCount::Execute(bool live, TABSAO* outer, const void* outer_row) {
  Left->Execute(live, outer, outer_row);
  Materialise();
}

}  // namespace dadoveri
