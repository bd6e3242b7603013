// TABSAOJoin: a join of two inputs. With key pairs the inputs are read in key order and
// merged, a run of equal right keys read again from a bookmark for each left row of the
// same key; without keys every left row meets every right row.
#pragma once

#include "engine/query/ao.h"

namespace dadoveri {

enum TABSAOJoinKind : int32_t { akCross = 0, akInner = 1, akLeft = 2, akRight = 3, akFull = 4 };

class TABSAOJoin : public TABSAO {
 public:
  // The output columns are the left input's followed by the right input's. Key pairs
  // whose first field is the right input's are turned round.
  TABSAOJoin(TABSAOContext& context, std::unique_ptr<TABSAO> left, std::unique_ptr<TABSAO> right,
             TABSAOJoinKind kind, bool natural, const TABSFields& left_keys, const TABSFields& right_keys,
             std::unique_ptr<TABSExpression> on);

  void Execute(bool live, TABSAO* outer, const void* outer_row) override;

  TABSAOJoinKind Kind;
  bool Natural;
  TABSFields LeftKeys;
  TABSFields RightKeys;
  // The ON condition a pair of rows must meet (besides equal keys).
  std::unique_ptr<TABSExpression> On;
  // Whether the inputs changed places for the merge (the smaller one outer).
  bool Swapped = false;

 protected:
  void Produce(const std::function<bool()>& emit) override;

 private:
  void merge(const std::function<bool()>& emit);
  void nested(const std::function<bool()>& emit);
  // Compares the key values of the two sides' current rows: <0, 0, >0; `has_null` set
  // when either side has a NULL key.
  int compare_keys(const std::vector<TABSVariant>& a, const std::vector<TABSVariant>& b) const;
  void read_keys(TABSAO& op, const std::vector<int32_t>& columns, std::vector<TABSVariant>& values) const;

  std::vector<int32_t> left_columns_, right_columns_;
};

}  // namespace dadoveri
