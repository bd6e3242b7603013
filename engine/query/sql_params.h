// TABSSQLParams: the named values a query binds to its ':name' and '?' placeholders.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/table/variant.h"

namespace dadoveri {

// One parameter: a value with a name.
class TABSSQLParam : public TABSVariant {
 public:
  std::u16string Name;
};

// An ordered list of parameters; it owns them.
class TABSSQLParams {
 public:
  int32_t Count() const { return static_cast<int32_t>(items_.size()); }
  // The parameter at `index` (0 … Count() - 1).
  TABSSQLParam& Item(int32_t index) { return *items_.at(static_cast<size_t>(index)); }
  const TABSSQLParam& Item(int32_t index) const { return *items_.at(static_cast<size_t>(index)); }
  // Appends a new NULL parameter and returns it; the reference stays valid until Clear.
  TABSSQLParam& Add();
  void Clear() { items_.clear(); }
  // The first parameter whose name equals `name` after locale upper-casing of both;
  // nullptr when there is none.
  const TABSSQLParam* FindParam(std::u16string_view name) const;

 private:
  std::vector<std::unique_ptr<TABSSQLParam>> items_;
};

}  // namespace dadoveri
