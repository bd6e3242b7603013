// The nodes of an expression tree. TABSExprNode is the base: an operator code, an owned
// ordered list of children, an owned result value that every evaluation overwrites and
// returns, and the case-insensitive and partial flags fixed at construction. The
// subclasses are the node kinds of the expression language; TABSExpression builds and
// owns the tree.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/query/date_formater.h"
#include "engine/query/expr_query_context.h"
#include "engine/query/expr_record_source.h"
#include "engine/query/scalar_functions.h"
#include "engine/table/column_type.h"
#include "engine/table/index_def.h"
#include "engine/table/scan_search_condition.h"
#include "engine/table/variant.h"

namespace dadoveri {

// Operator codes (the byte every node carries).
enum TABSExprOperator : uint8_t {
  opNone = 0,
  opEqual = 1,
  opNotEqual = 2,
  opGreater = 3,
  opLess = 4,
  opGreaterOrEqual = 5,
  opLessOrEqual = 6,
  opNot = 7,
  opAnd = 8,
  opOr = 9,
  opIn = 10,
  opNotIn = 11,
  opExists = 12,
  opBetween = 13,
  opNotBetween = 14,
  opLike = 15,
  opNotLike = 16,
  opIsNull = 17,
  opIsNotNull = 18,
  opSum = 21,
  opNegate = 22,
  opMultiply = 23,
  opDivide = 24,
  opConcat = 25,
  opUpper = 26,
  opLower = 27,
  opTrim = 28,
  opLTrim = 29,
  opRTrim = 30,
  opLength = 31,
  opPosition = 32,
  opSubstring = 33,
  opAggSum = 34,
  opAggAvg = 35,
  opAggMin = 36,
  opAggMax = 37,
  opAggCount = 38,
  opAggCountAll = 39,
  opCurrentTimestamp = 40,
  opCurrentDate = 41,
  opCurrentTime = 42,
  opToDate = 43,
  opToString = 44,
  opExtract = 45,
  opLastAutoinc = 47,
  opMimeToBin = 48,
  opRowNum = 49,
  opDod = 50,
  opAcos = 51,
  opAsin = 52,
  opAtan = 53,
  opCeil = 54,
  opCos = 55,
  opExp = 56,
  opFloor = 57,
  opLog = 58,
  opPower = 59,
  opRand = 60,
  opRound = 61,
  opSign = 62,
  opSin = 63,
  opSqr = 64,
  opSqrt = 65,
};

// The printable name of an operator code as "Unknown operator: '%s'" shows it ("=", "AND",
// "SUM", …); "unknown" for the codes without one.
const char* OperatorName(uint8_t op);

// One item of a query's select list, for alias resolution.
struct TABSExprSelectItem {
  std::string Alias;
  // For an item that is a plain field: its table qualifier and field name.
  bool IsField = false;
  std::string TableName;
  std::string FieldName;
};

// The record sources a query's conditions may be evaluated against.
using TABSExprSources = std::span<TABSExprRecordSource* const>;

// The highest tree an expression may build. Evaluation, binding and freeing walk the tree
// recursively, so its height is bounded: a longer chain of products fails instead of
// overflowing the stack.
inline constexpr int32_t kMaxExprTreeHeight = 1000;

class TABSExprNode {
 public:
  explicit TABSExprNode(uint8_t op, bool case_insensitive = false, bool partial = false)
      : op_(op), case_insensitive_(case_insensitive), partial_(partial) {}
  virtual ~TABSExprNode() = default;
  TABSExprNode(const TABSExprNode&) = delete;
  TABSExprNode& operator=(const TABSExprNode&) = delete;

  uint8_t Operator() const { return op_; }
  bool CaseInsensitive() const { return case_insensitive_; }
  bool Partial() const { return partial_; }
  int32_t ChildCount() const { return static_cast<int32_t>(children_.size()); }
  TABSExprNode* Child(int32_t i) const { return children_[static_cast<size_t>(i)].get(); }
  std::vector<std::unique_ptr<TABSExprNode>>& Children() { return children_; }
  // Appends a child; one that would make the tree higher than kMaxExprTreeHeight is
  // refused with "Expression tree higher than %d levels" (30006).
  void AddChild(std::unique_ptr<TABSExprNode> child);
  // Levels of the tree below and including this node.
  int32_t Height() const { return height_; }
  // The value of the last evaluation.
  const TABSVariant& Value() const { return value_; }

  // The operations, in slot order.
  virtual void Prepare();                                                            // 1
  virtual const TABSVariant& GetValue() = 0;                                         // 2
  virtual void FetchRow() {}                                                         // 3
  virtual const TABSVariant* GetRowValue(int32_t /*i*/) { return nullptr; }          // 4
  virtual bool HasAggregate() const;                                                 // 5
  virtual bool IsCountAll() const { return false; }                                  // 6
  virtual void StartGroup();                                                         // 7
  virtual void Accumulate();                                                         // 8
  virtual void SetCount(int64_t /*count*/) {}                                        // 9
  virtual void BindToOperators(TABSExprSources sources, TABSExprSources outer);       // 10
  virtual void BindToCursor(TABSExprRecordSource* cursor);                           // 11
  virtual void SetRecordBuffer(const void* record, bool outer);                      // 12
  virtual TABSColumnType GetDataType();                                              // 13
  virtual int32_t GetDataSize();                                                     // 14
  virtual int32_t GetPrecision() { return 0; }                                       // 15
  virtual bool CanEvaluateIn(TABSExprSources sources) const;                         // 16
  // Whether this condition can restrict a scan through column `column` of `index` of
  // the table `cursor` reads.
  virtual bool CanUseIndex(const TABSExprRecordSource* /*cursor*/, const TABSIndexDef& /*index*/,
                           int32_t /*column*/) const {                               // 17
    return false;
  }
  virtual void AddSearchCondition(const TABSExprRecordSource* /*cursor*/, const TABSIndexDef& /*index*/,
                                  TABSScanSearchCondition& /*condition*/) {}          // 18
  // Appends this condition's value for column `column` of the index to the key.
  virtual void ExtendSearchCondition(const TABSExprRecordSource* /*cursor*/, const TABSIndexDef& /*index*/,
                                     int32_t /*column*/, TABSScanSearchCondition& /*condition*/) {}  // 19
  virtual bool IsJoinEquality(TABSExprRecordSource* /*left*/, TABSExprRecordSource* /*right*/) const {
    return false;
  }                                                                                  // 20
  virtual void ResolveAliases(std::span<const TABSExprSelectItem> items);            // 21
  virtual bool UsesOnlyFields(std::string_view field_list) const;                    // 22

 protected:
  // The children's common column type (Cannot determine expression type when none).
  TABSColumnType common_child_type();

  uint8_t op_;
  bool case_insensitive_;
  bool partial_;
  int32_t height_ = 1;
  std::vector<std::unique_ptr<TABSExprNode>> children_;
  TABSVariant value_;
};

// A literal or parameter value.
class TABSExprNodeConst : public TABSExprNode {
 public:
  explicit TABSExprNodeConst(const TABSVariant& value);
  const TABSVariant& GetValue() override { return value_; }
  TABSColumnType GetDataType() override;
  int32_t GetDataSize() override;
  bool CanEvaluateIn(TABSExprSources) const override { return true; }
  // The constant, for the rewrites done while parsing and preparing.
  TABSVariant& Constant() { return value_; }
};

// A field reference.
class TABSExprNodeField : public TABSExprNode {
 public:
  TABSExprNodeField(std::string table_name, std::string field_name);
  const TABSVariant& GetValue() override;
  void BindToOperators(TABSExprSources sources, TABSExprSources outer) override;
  void BindToCursor(TABSExprRecordSource* cursor) override;
  void SetRecordBuffer(const void* record, bool outer) override;
  TABSColumnType GetDataType() override;
  int32_t GetDataSize() override;
  bool CanEvaluateIn(TABSExprSources sources) const override;
  void ResolveAliases(std::span<const TABSExprSelectItem> items) override;
  bool UsesOnlyFields(std::string_view field_list) const override;

  const std::string& TableName() const { return table_name_; }
  const std::string& FieldName() const { return field_name_; }
  const std::string& DisplayName() const { return display_name_; }
  int32_t FieldNo() const { return info_.FieldNo; }
  const TABSExprFieldInfo& Info() const { return info_; }
  bool IsOuter() const { return outer_; }
  // The source bound to (a cursor or an operator); null until bound.
  TABSExprRecordSource* Source() const { return source_; }
  bool IsBoundToCursor() const { return bound_to_cursor_; }

 private:
  void bind(TABSExprRecordSource* source, const TABSExprFieldInfo& info);

  std::string table_name_;
  std::string field_name_;
  std::string display_name_;
  TABSExprFieldInfo info_;
  bool outer_ = false;
  bool bound_to_cursor_ = false;
  TABSExprRecordSource* source_ = nullptr;
  const TABSRecordLayout* layout_ = nullptr;
  // A record given by SetRecordBuffer; null: the source's current record.
  const void* record_ = nullptr;
  std::string memo_;  // reused for memo fields
};

class TABSExprNodeSubquery;

// = <> > < >= <=, also quantified against a subquery.
class TABSExprNodeComparison : public TABSExprNode {
 public:
  enum Quantifier : uint8_t { qNone = 0, qAll = 1, qAny = 2 };
  TABSExprNodeComparison(uint8_t op, std::unique_ptr<TABSExprNode> left, std::unique_ptr<TABSExprNode> right,
                         bool strict_null, bool case_insensitive, bool partial, uint8_t quantifier = qNone);
  void Prepare() override;
  const TABSVariant& GetValue() override;
  TABSColumnType GetDataType() override { return ctLogical; }
  int32_t GetDataSize() override { return 0; }
  bool CanUseIndex(const TABSExprRecordSource* cursor, const TABSIndexDef& index, int32_t column) const override;
  void AddSearchCondition(const TABSExprRecordSource* cursor, const TABSIndexDef& index,
                          TABSScanSearchCondition& condition) override;
  void ExtendSearchCondition(const TABSExprRecordSource* cursor, const TABSIndexDef& index, int32_t column,
                             TABSScanSearchCondition& condition) override;
  bool IsJoinEquality(TABSExprRecordSource* left, TABSExprRecordSource* right) const override;

  bool StrictNull() const { return strict_null_; }
  uint8_t GetQuantifier() const { return quantifier_; }
  // With the partial flag: the child whose text is the prefix (its length is the length
  // compared); -1 when neither side is a constant.
  void SetPrefixSide(int32_t side) { prefix_side_ = side; }
  // Whether a scan through the index range answers this node exactly (it need not be
  // evaluated again per record).
  bool IndexCoversNode() const;

 private:
  // The field side usable for an index (perhaps under UPPER or LOWER, `mapping`), the
  // side giving the key and the operator as `field op key`; false when there is none.
  struct IndexSides {
    const TABSExprNodeField* field = nullptr;
    const TABSExprNode* value = nullptr;
    uint8_t mapping = opNone;
    uint8_t op = opNone;
  };
  bool index_sides(IndexSides& sides) const;
  bool compare(const TABSVariant& left, const TABSVariant& right, uint8_t op);
  const TABSVariant& quantified();

  bool strict_null_;
  uint8_t quantifier_;
  int32_t prefix_side_ = -1;
  // Set by Prepare when the constant side cannot be narrowed to the field's ANSI type
  // without loss: the comparison then runs on wide text and offers no index.
  bool wide_only_ = false;
};

// NOT, AND, OR, IN, EXISTS, BETWEEN, LIKE, IS NULL and their negations.
class TABSExprNodeBoolean : public TABSExprNode {
 public:
  TABSExprNodeBoolean(uint8_t op, bool case_insensitive = false);
  const TABSVariant& GetValue() override;
  TABSColumnType GetDataType() override { return ctLogical; }
  int32_t GetDataSize() override { return 0; }
  bool CanUseIndex(const TABSExprRecordSource* cursor, const TABSIndexDef& index, int32_t column) const override;
  void AddSearchCondition(const TABSExprRecordSource* cursor, const TABSIndexDef& index,
                          TABSScanSearchCondition& condition) override;

  void SetEscape(std::u16string escape) {
    escape_ = std::move(escape);
    has_escape_ = true;
  }
  bool HasEscape() const { return has_escape_; }

 private:
  const TABSVariant& like();
  const TABSVariant& in_list();
  const TABSExprNodeField* index_field(const TABSExprRecordSource* cursor) const;

  std::u16string escape_;
  bool has_escape_ = false;
  TABSVariant scratch_;
};

// Sum, unary minus, product, quotient and the numeric functions.
class TABSExprNodeArithmetic : public TABSExprNode {
 public:
  explicit TABSExprNodeArithmetic(uint8_t op) : TABSExprNode(op) {}
  const TABSVariant& GetValue() override;
  TABSColumnType GetDataType() override;
  int32_t GetDataSize() override;
  void SetRoundMode(TRoundMode mode) { round_mode_ = mode; }

 private:
  TRoundMode round_mode_ = kDefaultRoundMode;
  std::vector<const TABSVariant*> operands_;  // reused by every evaluation
};

// Concatenation and the string functions.
class TABSExprNodeStringFunction : public TABSExprNode {
 public:
  explicit TABSExprNodeStringFunction(uint8_t op) : TABSExprNode(op) {}
  void Prepare() override;
  const TABSVariant& GetValue() override;
  TABSColumnType GetDataType() override;
  int32_t GetDataSize() override;

 private:
  TABSColumnType type_ = ctNone;
  std::vector<const TABSVariant*> operands_;  // reused by every evaluation
};

// Date and time functions.
class TABSExprNodeDateFunction : public TABSExprNode {
 public:
  explicit TABSExprNodeDateFunction(uint8_t op) : TABSExprNode(op) {}
  const TABSVariant& GetValue() override;
  TABSColumnType GetDataType() override;
  int32_t GetDataSize() override;
  void SetExtractPart(TExtractPart part) { part_ = part; }
  void SetFormat(std::u16string_view format) { format_.emplace(format); }

 private:
  TExtractPart part_ = TExtractPart::Year;
  std::optional<TDateFormater> format_;
};

// SUM, AVG, MIN, MAX, COUNT, COUNT(*).
class TABSExprNodeAggregated : public TABSExprNode {
 public:
  TABSExprNodeAggregated(uint8_t op, bool distinct) : TABSExprNode(op), distinct_(distinct) {}
  const TABSVariant& GetValue() override;
  bool HasAggregate() const override { return true; }
  bool IsCountAll() const override { return op_ == opAggCountAll; }
  void StartGroup() override;
  void Accumulate() override;
  void SetCount(int64_t count) override { state_->count = count; }
  TABSColumnType GetDataType() override;
  int32_t GetDataSize() override;
  bool UsesOnlyFields(std::string_view) const override { return true; }
  bool Distinct() const { return distinct_; }
  // Several groups accumulated side by side: StartGroup, Accumulate and GetValue work on
  // the state of group `slot` (a number from 0, states made as needed) until the next
  // call. Without a call the node has a single state of its own.
  void SelectGroup(size_t slot);
  // Back to the single state, the per-group ones dropped.
  void ClearGroups();

 private:
  struct State {
    int64_t count = 0;
    TABSVariant sum;
    TABSVariant extreme;
    std::vector<TABSVariant> seen;  // DISTINCT: the values counted, in order
  };
  State own_;
  std::deque<State> groups_;
  State* state_ = &own_;
  bool distinct_;
};

// CAST.
class TABSExprNodeCast : public TABSExprNode {
 public:
  TABSExprNodeCast(TABSColumnType target, int32_t size) : TABSExprNode(opNone), target_(target), size_(size) {}
  const TABSVariant& GetValue() override;
  TABSColumnType GetDataType() override { return target_; }
  int32_t GetDataSize() override;

 private:
  TABSColumnType target_;
  int32_t size_;
};

// CASE and COALESCE. The children are, in order: the input expression (simple CASE),
// then each WHEN and its THEN, then the ELSE expression when there is one; COALESCE's
// children are its arguments.
class TABSExprNodeCase : public TABSExprNode {
 public:
  enum Kind : uint8_t { ckSimple, ckSearched, ckCoalesce };
  TABSExprNodeCase(Kind kind, bool has_else) : TABSExprNode(opNone), kind_(kind), has_else_(has_else) {}
  void Prepare() override;
  const TABSVariant& GetValue() override;
  TABSColumnType GetDataType() override;
  int32_t GetDataSize() override;

 private:
  // The results (THENs and ELSE, or COALESCE's arguments).
  bool is_result(int32_t child) const;
  const TABSVariant& result_of(int32_t child);
  // `r` brought to the common type of the results.
  const TABSVariant& result(const TABSVariant& r);

  Kind kind_;
  bool has_else_;
  TABSColumnType type_ = ctNone;
};

// LASTAUTOINC and ROWNUM.
class TABSExprNodeSystem : public TABSExprNode {
 public:
  TABSExprNodeSystem(uint8_t op, TABSExprQueryContext* context, std::string table_name = {},
                     std::string field_name = {}, bool in_memory = false);
  const TABSVariant& GetValue() override;
  TABSColumnType GetDataType() override;
  int32_t GetDataSize() override { return 0; }
  bool CanEvaluateIn(TABSExprSources) const override { return true; }

 private:
  TABSExprQueryContext* context_;
  std::string table_name_;
  std::string field_name_;
  std::string database_name_;
  bool in_memory_;
};

// MIMETOBIN.
class TABSExprNodeBlob : public TABSExprNode {
 public:
  TABSExprNodeBlob() : TABSExprNode(opMimeToBin) {}
  const TABSVariant& GetValue() override;
  TABSColumnType GetDataType() override { return ctBlob; }
  int32_t GetDataSize() override { return 0; }
};

// A subquery: a scalar value, the rows of IN, EXISTS and quantified comparisons.
class TABSExprNodeSubquery : public TABSExprNode {
 public:
  TABSExprNodeSubquery(std::unique_ptr<TABSExprSubquery> query) : TABSExprNode(opNone), query_(std::move(query)) {}
  const TABSVariant& GetValue() override;
  void FetchRow() override;
  const TABSVariant* GetRowValue(int32_t i) override;
  TABSColumnType GetDataType() override;
  int32_t GetDataSize() override;
  bool CanEvaluateIn(TABSExprSources sources) const override { return query_->CanEvaluateIn(sources); }
  // The sources the expression is bound to are the enclosing query's row for a
  // correlated subquery.
  void BindToOperators(TABSExprSources sources, TABSExprSources outer) override;
  void BindToCursor(TABSExprRecordSource* cursor) override;

  // The first column of every result row (run once for an uncorrelated subquery, at
  // every call for a correlated one).
  const std::vector<TABSVariant>& Column();
  // Whether the subquery yields a row.
  bool HasRows();
  // Whether the first column holds `value` (equal, case-sensitive); remembers the last
  // answer for an uncorrelated subquery.
  bool Contains(const TABSVariant& value);

 private:
  void run();

  std::unique_ptr<TABSExprSubquery> query_;
  bool executed_ = false;
  std::vector<std::vector<TABSVariant>> rows_;
  std::vector<TABSVariant> column_;
  std::vector<TABSVariant> row_;
  TABSVariant last_tested_;
  bool last_answer_ = false;
  bool have_last_ = false;
};

}  // namespace dadoveri
