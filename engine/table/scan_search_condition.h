// TABSScanSearchCondition: one condition that restricts a scan, either an expression to
// evaluate per record or an index condition (a key range of one index); and
// TABSScanSearchConditionArray, the ordered list a restricted scan gathers.
//
// The table layer knows nothing of expression trees: an expression condition is reached
// through TABSScanExpression, and the nodes an index condition stands for are kept as
// opaque identities that only the expression that handed them out interprets.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace dadoveri {

// A compiled condition the scan evaluates on the current record.
class TABSScanExpression {
 public:
  virtual ~TABSScanExpression() = default;
  // True when the current record satisfies the condition (NULL counts as false).
  virtual bool IsSatisfied() = 0;
};

// Kind codes of an index condition, in the index's order.
enum TABSScanConditionKind : uint8_t {
  sckExpression = 0,     // an expression condition
  sckEqual = 1,          // keys equal to the key
  sckBefore = 2,         // keys before it
  sckAfter = 3,          // keys after it
  sckBeforeOrEqual = 4,  // keys before it or equal
  sckAfterOrEqual = 5,   // keys after it or equal
};

struct TABSScanSearchCondition {
  // An expression condition: the expression, not owned. None for an index condition.
  TABSScanExpression* Expression = nullptr;
  uint8_t Kind = sckExpression;
  // A memory record of the table's layout holding the key values in the index fields
  // (the other fields NULL). Owned by the condition.
  std::vector<uint8_t> KeyBuffer;
  // Leading index columns the condition uses.
  int32_t KeyFieldCount = 0;
  // The index's ObjectID; -1 for an expression condition.
  int32_t IndexID = -1;
  // Set when the condition needs no evaluation per record.
  bool Covered = false;
  // String key values are prefixes of the keys they select (each as long as its key text).
  bool Partial = false;
  // String key values compare without letter case.
  bool CaseInsensitive = false;
  // The expression nodes the condition stands for (identities only).
  std::vector<const void*> CoveredNodes;

  int32_t KeyBufferSize() const { return static_cast<int32_t>(KeyBuffer.size()); }
  bool IsIndexCondition() const { return IndexID != -1; }
};

class TABSScanSearchConditionArray {
 public:
  int32_t Count() const { return static_cast<int32_t>(items_.size()); }
  TABSScanSearchCondition& Item(int32_t index) { return items_.at(static_cast<size_t>(index)); }
  const TABSScanSearchCondition& Item(int32_t index) const { return items_.at(static_cast<size_t>(index)); }

  // Appends a copy of an index condition (key buffer included). A condition without an
  // index or without key columns is refused with "Invalid scan condition - indexID = %d,
  // count = %d" (10388). Answers the new item's number.
  int32_t AddIndexCondition(const TABSScanSearchCondition& condition);
  // Appends an expression condition for `expression` (not owned).
  int32_t AddExpressionCondition(TABSScanExpression* expression);
  // Removes item `index`; a number outside the list is refused with "Invalid item number
  // - ItemNo = %d, ItemCount = %d" (10413).
  void Delete(int32_t index);
  void Clear() { items_.clear(); }

 private:
  std::vector<TABSScanSearchCondition> items_;
};

}  // namespace dadoveri
