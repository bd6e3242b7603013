// BuildOperatorTree: the operator tree of a query — table references and joins, the WHERE
// conjuncts pushed down to the lowest operator that can evaluate them (join equalities
// becoming join keys), grouping, the select list, DISTINCT, HAVING, the TOP window — and
// the set operators over such trees.
#pragma once

#include <memory>

#include "engine/query/ao.h"

namespace dadoveri {

class TABSSQLSelect;
class TABSSQLQuery;
struct TABSQueryExprNode;
struct TABSOrderByItem;

// The tree of one SELECT block; `live` asks for a live result where one is possible, and
// `order_by` (may be null) is the ORDER BY of a query of this block alone (it goes below
// the TOP window).
std::unique_ptr<TABSAO> BuildOperatorTree(TABSAOContext& context, TABSSQLSelect& select, TABSSQLQuery& query,
                                          bool live, const std::vector<TABSOrderByItem>* order_by);
// The tree of a query expression (set operators over SELECT blocks).
std::unique_ptr<TABSAO> BuildQueryTree(TABSAOContext& context, TABSQueryExprNode& node, TABSSQLQuery& query,
                                       bool live, const std::vector<TABSOrderByItem>* order_by);
// Gives `root` the sort order of ORDER BY items: names among its output columns, or
// column numbers counting from 1.
void ApplyOrderBy(TABSAO& root, const std::vector<TABSOrderByItem>& order_by);

}  // namespace dadoveri
