// TABSAOTableExpr: the projection — computes the select list over its input, one result
// row per input row.
#pragma once

#include "engine/query/ao.h"

namespace dadoveri {

// A select-list item as the operators see it.
struct TABSAOSelectItem {
  // `t.*` or `*` (TableName empty): every column of the input (of that table).
  bool AllFields = false;
  std::string TableName;
  std::string FieldName;
  // The computed value (not owned) of an expression item; null for a plain field.
  TABSExpression* Expression = nullptr;
  // The result name.
  std::string Name;
};

class TABSAOTableExpr : public TABSAO {
 public:
  TABSAOTableExpr(TABSAOContext& context, std::unique_ptr<TABSAO> input, const std::vector<TABSAOSelectItem>& items);
  void Execute(bool live, TABSAO* outer, const void* outer_row) override;
};

// The output columns a select list gives over `input` (shared with the grouping
// operator): a plain field links to its input column, an expression is computed.
void AOSelectColumns(TABSAO& input, const std::vector<TABSAOSelectItem>& items, std::vector<TABSFieldLink>& columns);

}  // namespace dadoveri
