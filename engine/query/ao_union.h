// TABSAOUnion: UNION, EXCEPT (MINUS) or INTERSECT of two inputs, with ALL and
// CORRESPONDING [BY]. Columns are matched by position, or by name under CORRESPONDING.
#pragma once

#include "engine/query/ao.h"

namespace dadoveri {

enum TABSAOUnionKind : int32_t { auUnion = 0, auExcept = 1, auIntersect = 2 };

class TABSAOUnion : public TABSAO {
 public:
  TABSAOUnion(TABSAOContext& context, std::unique_ptr<TABSAO> left, std::unique_ptr<TABSAO> right,
              TABSAOUnionKind kind, bool all, bool corresponding, const std::vector<std::string>& corresponding_by);
  void Execute(bool live, TABSAO* outer, const void* outer_row) override;

  TABSAOUnionKind Kind;
  bool All;

 protected:
  void Produce(const std::function<bool()>& emit) override;

 private:
  // The result type of each column from the types of the two sides.
  void combine_types();
  std::vector<int32_t> left_columns_, right_columns_;
};

}  // namespace dadoveri
