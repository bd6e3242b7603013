// TABSExpression: one expression of the engine's expression language, compiled from the
// text of a filter, from the key search of Locate, or from a clause of an SQL statement,
// as a tree of TABSExprNode it owns. The tree is bound to a cursor (filters, Locate) or to
// the relational operators of a query, prepared once, and then evaluated any number of
// times against the current record; each evaluation overwrites the values the nodes hold,
// so one expression is evaluated by one thread at a time.
//
// Besides evaluation, the expression hands out the conditions an index can answer as scan
// search conditions (AddSearchConditions), and forgets the nodes a chosen plan covers.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/query/expr_node.h"
#include "engine/query/expr_query_context.h"
#include "engine/query/expr_record_source.h"
#include "engine/query/lexer.h"
#include "engine/table/index_def.h"
#include "engine/table/scan_search_condition.h"
#include "engine/table/variant.h"

namespace dadoveri {

class TABSExpressionParser;

class TABSExpression : public TABSScanExpression {
 public:
  TABSExpression();
  ~TABSExpression() override;
  TABSExpression(const TABSExpression&) = delete;
  TABSExpression& operator=(const TABSExpression&) = delete;

  // A filter: lexes `text` without parameters and parses one condition bound to `cursor`,
  // consuming the whole text. "Blank SQL command" when the text has no command.
  void ParseFilter(TABSExprRecordSource* cursor, std::u16string_view text, bool case_insensitive,
                   bool partial_compare);
  // Locate: `field = value` for each `;`-separated name, ANDed, strict-null off. A count
  // mismatch is "Count of FieldNames (%d) not equal counts of KeyValues (%d)".
  void ParseLocateCondition(TABSExprRecordSource* cursor, std::string_view field_names,
                            std::span<const TABSVariant> key_values, bool partial, bool case_insensitive);
  // One comparison `field op value`, strict-null off.
  void ParseFieldCondition(TABSExprRecordSource* cursor, std::string_view field_name, const TABSVariant& value,
                           uint8_t op);
  // SQL: a condition at the lexer's position (the lexer is left after it). `query` may be
  // null: then subqueries, LASTAUTOINC and ROWNUM are not accepted.
  void ParseCondition(TABSExprQueryContext* query, TABSLexer& lexer);
  // SQL: a value expression at the lexer's position; false (position unchanged) when none
  // starts there.
  bool ParseValue(TABSExprQueryContext* query, TABSLexer& lexer);
  // SQL: a parenthesised SELECT at the lexer's position; false when none starts there.
  bool ParseSubquery(TABSExprQueryContext* query, TABSLexer& lexer);
  // Whether `text` is one value expression without field references that reads to its
  // end (default values); any failure answers false.
  static bool IsConstantExpression(std::u16string_view text);

  // The root's value; null for an empty tree.
  const TABSVariant* GetValue();
  // The root as a condition, NULL counting as false; "Value is Null" for an empty tree.
  bool GetBooleanValue();
  // TABSScanExpression: the root as a condition on the current record.
  bool IsSatisfied() override { return GetBooleanValue(); }
  // Field references read `record` from now on (outer references when `outer`), then the
  // tree is prepared again.
  void BindRecordBuffer(const void* record, bool outer = false);
  // ANDs `other`'s tree into this one; `other` is left empty.
  void AddExpression(TABSExpression& other);
  // Removes from the top-level AND the conjuncts every field of which `sources` supply
  // and answers them as an expression of their own (empty when there are none).
  std::unique_ptr<TABSExpression> SplitForOperator(TABSExprSources sources);

  // Appends, for each index of the cursor's table in index order and each candidate
  // condition (the root, or the children of a root AND), the index conditions it
  // qualifies for, each extended over further index columns where it can be.
  void AddSearchConditions(const TABSIndexDefs& index_defs, TABSScanSearchConditionArray& conditions);
  // Extends `condition` by the next column of `index` with a candidate comparing that
  // column by `=` (when every earlier column was matched by `=`); false when none does.
  bool ExtendSearchCondition(const TABSIndexDef& index, TABSScanSearchCondition& condition);
  // Takes the nodes a chosen condition covers out of the tree: they count as true from now
  // on (a covered root leaves an empty AND, which is true).
  void RemoveCoveredNodes(const TABSScanSearchCondition& condition);

  // Tree absent, or an AND without children.
  bool IsEmpty() const;
  // Whether the root is a single field reference.
  bool IsField() const;
  // The root field reference's qualifier and name ("Node is not field" otherwise).
  void GetFieldName(std::string& table_name, std::string& field_name) const;

  // SQL on one table: the tree reads `cursor` from now on and, as a cursor filter's
  // expression, hands that cursor's indexes conditions (AddSearchConditions); prepared again.
  void BindToCursor(TABSExprRecordSource* cursor);
  // The SQL binding operations, applied to the whole tree.
  void BindToOperators(TABSExprSources sources, TABSExprSources outer = {});
  bool CanEvaluateIn(TABSExprSources sources) const;
  bool IsJoinEquality(TABSExprRecordSource* left, TABSExprRecordSource* right) const;
  void ResolveAliases(std::span<const TABSExprSelectItem> items);
  bool UsesOnlyFields(std::string_view field_list) const;

  // Aggregates over the whole tree.
  bool HasAggregate() const;
  void StartGroup();
  void Accumulate();

  TABSColumnType GetDataType();
  int32_t GetDataSize();
  // Calls Prepare on the tree (done by the parse entries and BindRecordBuffer).
  void Prepare();

  bool CaseInsensitive() const { return case_insensitive_; }
  bool PartialCompare() const { return partial_compare_; }
  void SetStrictNull(bool strict) { strict_null_ = strict; }
  bool StrictNull() const { return strict_null_; }
  const std::string& DatabaseName() const { return database_name_; }

  TABSExprNode* Root() const { return root_.get(); }
  // Replaces the tree (taking ownership).
  void SetRoot(std::unique_ptr<TABSExprNode> root) { root_ = std::move(root); }
  // Takes the tree out (the expression is empty afterwards).
  std::unique_ptr<TABSExprNode> TakeRoot() { return std::move(root_); }

 private:
  friend class TABSExpressionParser;

  void reset(TABSExprRecordSource* cursor, TABSExprQueryContext* query);
  // Nested ANDs under a root AND become its children.
  void flatten_and();
  std::vector<TABSExprNode*> candidates() const;
  void add_and(std::unique_ptr<TABSExprNode> node);

  TABSExprRecordSource* cursor_ = nullptr;
  TABSExprQueryContext* query_ = nullptr;
  std::unique_ptr<TABSExprNode> root_;
  bool case_insensitive_ = false;
  bool partial_compare_ = false;
  bool strict_null_ = true;
  std::string database_name_;
};

}  // namespace dadoveri
