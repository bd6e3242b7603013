// Default values that are expressions. A field's default counts as an expression when its
// text is one value expression that reads to its end, is not a bare field reference,
// evaluates without a record, and whose result reads differently from the text itself:
// so NOW and quoted literals are evaluated for each new record, while a bare word (which
// parses as a field name) and a plain number stay constants.
//
// The builder is installed when this file's object is linked, which every program linking
// the engine does: the engine's link options name `dadoveri_default_expressions_anchor` as
// undefined, so the linker cannot leave this object out.
#include <memory>
#include <mutex>
#include <string>

#include "engine/base/engine_error.h"
#include "engine/query/expression.h"
#include "engine/table/field_manager.h"

namespace dadoveri {

namespace {

class TABSExprDefaultExpression : public TABSDefaultExpression {
 public:
  explicit TABSExprDefaultExpression(std::unique_ptr<TABSExpression> expression)
      : expression_(std::move(expression)) {}

  // Several cursors of one table may apply defaults at once; an expression is evaluated by
  // one thread at a time.
  void Evaluate(TABSVariant& result) override {
    const std::lock_guard<std::mutex> hold(lock_);
    const TABSVariant* value = expression_->GetValue();
    if (value == nullptr)
      result.SetNull();
    else
      result = *value;
  }

 private:
  std::mutex lock_;
  std::unique_ptr<TABSExpression> expression_;
};

std::shared_ptr<TABSDefaultExpression> BuildExpressionDefault(const TABSVariant& default_value) {
  if (default_value.IsNull() || !default_value.IsString()) return nullptr;
  const std::u16string text = default_value.GetAsWideString();
  try {
    TABSLexer lexer(text);
    if (lexer.CommandCount() != 1 || !lexer.NextCommand()) return nullptr;
    auto expression = std::make_unique<TABSExpression>();
    if (!expression->ParseValue(nullptr, lexer)) return nullptr;
    TToken left_over;
    if (lexer.CurrentToken(left_over)) return nullptr;  // the text goes on after the value
    if (expression->IsField()) return nullptr;
    const TABSVariant* value = expression->GetValue();
    if (value == nullptr) return nullptr;
    if (!value->IsNull() && value->GetAsWideString() == text) return nullptr;
    return std::make_shared<TABSExprDefaultExpression>(std::move(expression));
  } catch (const VODIDivodavir&) {
    return nullptr;  // not an expression: the default stays the text it is
  }
}

const bool g_installed = [] {
  SetDefaultExpressionBuilder(&BuildExpressionDefault);
  return true;
}();

}  // namespace

extern "C" bool dadoveri_default_expressions_anchor() { return g_installed; }

}  // namespace dadoveri
