#include "engine/table/scan_search_condition.h"

#include "engine/base/engine_error.h"

namespace dadoveri {

int32_t TABSScanSearchConditionArray::AddIndexCondition(const TABSScanSearchCondition& condition) {
  if (condition.IndexID == -1 || condition.KeyFieldCount < 1 || condition.Kind == sckExpression)
    RaiseError(10388, condition.IndexID, condition.KeyFieldCount);
  items_.push_back(condition);
  return Count() - 1;
}

int32_t TABSScanSearchConditionArray::AddExpressionCondition(TABSScanExpression* expression) {
  TABSScanSearchCondition condition;
  condition.Expression = expression;
  items_.push_back(std::move(condition));
  return Count() - 1;
}

void TABSScanSearchConditionArray::Delete(int32_t index) {
  if (index < 0 || index >= Count()) RaiseError(10413, index, Count());
  items_.erase(items_.begin() + index);
}

}  // namespace dadoveri
