#include "engine/query/sql_params.h"

#include "engine/platform/locale.h"

namespace dadoveri {

TABSSQLParam& TABSSQLParams::Add() {
  items_.push_back(std::make_unique<TABSSQLParam>());
  return *items_.back();
}

const TABSSQLParam* TABSSQLParams::FindParam(std::u16string_view name) const {
  const TUserLocale& locale = UserLocale();
  const std::u16string wanted = locale.UpperCase(name);
  for (const auto& item : items_) {
    if (locale.UpperCase(item->Name) == wanted) return item.get();
  }
  return nullptr;
}

}  // namespace dadoveri
