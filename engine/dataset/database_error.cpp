#include "engine/dataset/database_error.h"

#include <span>

#include "engine/dataset/component.h"

namespace dadoveri {

std::string DatabaseErrorText(int32_t code, const TComponent* component, std::initializer_list<ErrorArg> args) {
  std::string text = MessageText(code, std::span<const ErrorArg>(args.begin(), args.size()));
  if (component && !component->Name().empty()) text = component->Name() + ": " + text;
  return text;
}

void DatabaseErrorArgs(int32_t code, const TComponent* component, std::initializer_list<ErrorArg> args) {
  throw EDatabaseError(DatabaseErrorText(code, component, args), code);
}

}  // namespace dadoveri
