// The projection operator.
#include "engine/query/ao_table_expr.h"

#include "engine/base/engine_error.h"
#include "engine/query/ao_join.h"
#include "engine/query/expr_text.h"

namespace dadoveri {

void AOSelectColumns(TABSAO& input, const std::vector<TABSAOSelectItem>& items, std::vector<TABSFieldLink>& columns) {
  for (const TABSAOSelectItem& item : items) {
    if (item.AllFields) {
      bool any = false;
      for (size_t i = 0; i < input.Columns.size(); ++i) {
        const TABSFieldLink& in = input.Columns[i];
        if (!in.Visible) continue;
        if (!item.TableName.empty() && !ExprSameName(in.TableName, item.TableName)) continue;
        TABSFieldLink c;
        c.Name = in.Name;
        c.TableName = in.TableName;
        c.ColumnType = in.ColumnType;
        c.Size = in.Size;
        c.Input = &input;
        c.InputColumn = static_cast<int32_t>(i);
        columns.push_back(std::move(c));
        any = true;
      }
      if (!any) RaiseError(10341, item.TableName + ".*", item.TableName);
      continue;
    }
    TABSFieldLink c;
    c.Name = item.Name;
    if (item.Expression != nullptr) {
      c.Expression = item.Expression;
    } else {
      if (!item.TableName.empty()) {
        bool known = false;
        for (const TABSFieldLink& in : input.Columns) known = known || ExprSameName(in.TableName, item.TableName);
        if (!known) RaiseError(10341, item.TableName + "." + item.FieldName, item.TableName);
      }
      const int32_t column = AOColumnOf(input, item.TableName, item.FieldName);
      const TABSFieldLink& in = input.Columns[static_cast<size_t>(column)];
      c.TableName = in.TableName;
      c.ColumnType = in.ColumnType;
      c.Size = in.Size;
      c.Input = &input;
      c.InputColumn = column;
      if (c.Name.empty()) c.Name = in.Name;
    }
    columns.push_back(std::move(c));
  }
}

TABSAOTableExpr::TABSAOTableExpr(TABSAOContext& context, std::unique_ptr<TABSAO> input,
                                 const std::vector<TABSAOSelectItem>& items)
    : TABSAO(context) {
  Left = std::move(input);
  AOSelectColumns(*Left, items, Columns);
}

void TABSAOTableExpr::Execute(bool live, TABSAO* outer, const void* outer_row) {
  // A projection of plain columns over a join takes the join's rows as they are made,
  // instead of from a result table the join would fill first.
  bool plain = !Condition && FirstRow == 1 && RowCount < 0;
  for (const TABSFieldLink& c : Columns) plain = plain && c.Expression == nullptr;
  Left->Streamed = plain && dynamic_cast<TABSAOJoin*>(Left.get()) != nullptr && Left->SortFields.empty() &&
                   !Left->Distinct && Left->FirstRow == 1 && Left->RowCount < 0;
  Left->Execute(live, outer, outer_row);
  TABSExprRecordSource* sources[] = {Left.get()};
  for (TABSFieldLink& c : Columns)
    if (c.Expression != nullptr) c.Expression->BindToOperators(sources, context_.Outer);
  if (Condition) Condition->BindToOperators(sources, context_.Outer);
  Materialise();
}

}  // namespace dadoveri
