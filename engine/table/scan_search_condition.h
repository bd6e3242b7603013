// TABSScanSearchCondition: one condition that restricts a scan, either an expression to
// evaluate per record or an index condition (a key range of one index); and
// TABSScanSearchConditionArray, the ordered list a restricted scan gathers.
//
// The table layer knows nothing of expression trees: an expression condition is reached
// through TABSScanExpression, and the nodes an index condition stands for are kept as
// opaque identities that only the expression that handed them out interprets.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "engine/table/btree_record_index.h"

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
  // Nodes that hold for an index entry whenever the condition's test on the entry's
  // stored key answers yes (a text prefix the stored key holds whole), though the range's
  // bounds do not decide them.
  std::vector<const void*> KeyTestedNodes;
  // Nodes the condition stands for only where the range holds no NULL key (a comparison
  // that is false for NULL, whose bound reaches down to the NULL keys at the index's start):
  // answered when the range's lower bound is a value, which leaves the NULL keys below it.
  std::vector<const void*> NonNullCoveredNodes;

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

// ---------------------------------------------------------------------------------------
// Merging two index conditions of one index.
//
// The table's search routine and the helpers below rely on these declarations; change
// them only together with their callers.

// What survives a merge of two index conditions of one index: one of them (it stands for
// both), both (they stay as an interval) or none (no key can satisfy both).
enum TABSScanMergeResult : uint8_t { smrFirst, smrSecond, smrBoth, smrNone };

// Compares the keys of two conditions over their first `field_count` key fields in the
// index's order: negative, zero or positive as the first key is before, equal to or after
// the second. Whole values only (no prefixes).
using TABSScanKeyCompare =
    std::function<int(const TABSScanSearchCondition&, const TABSScanSearchCondition&, int32_t field_count)>;

// Merges `second` (a new condition) into `first` (one kept for the same index). The
// survivor may be changed in place: a "before or equal" and an "after or equal" with one
// key become an equality. An equality merges with a strict inequality only when the
// equality uses at least as many key fields (otherwise: both).
//
// A partial condition accepts every key that begins with its text: an interval of keys,
// not one point, and in a collation not even a contiguous one. So a merge that involves a
// partial condition whose prefix part is compared (the shorter condition, or either one
// when both use the same field count) keeps both, never answers none and never keeps a
// survivor that does not imply the other, except for two identical conditions (one stays)
// and a partial "before or equal" with the identical partial "after or equal" (one
// partial equality).
TABSScanMergeResult MergeScanSearchConditions(TABSScanSearchCondition& first, TABSScanSearchCondition& second,
                                              const TABSScanKeyCompare& compare);

// Compares the keys of two conditions of `index` over their first `field_count` fields in
// the index's order (descending columns reversed, case-insensitive columns without case,
// NULL first): a TABSScanKeyCompare for that index.
int CompareScanConditionKeys(TABSBTreeRecordIndex& index, const TABSScanSearchCondition& a,
                             const TABSScanSearchCondition& b, int32_t field_count);
// The same over a key reference (the index's KeyRef()).
int CompareScanConditionKeys(const TABSRecordKeyRef& keys, const TABSScanSearchCondition& a,
                             const TABSScanSearchCondition& b, int32_t field_count);

// The index's view of an index condition: kind, key record, field count and partial flag.
// The key record is borrowed from the condition's key buffer.
TABSIndexKeyCondition ToIndexKeyCondition(const TABSScanSearchCondition& condition);

}  // namespace dadoveri
