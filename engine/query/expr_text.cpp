#include "engine/query/expr_text.h"

#include "engine/base/utf8.h"
#include "engine/platform/code_page.h"

namespace dadoveri {

std::string ExprUtf8(std::u16string_view v) { return Utf16ToUtf8(v); }

bool ExprSameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
    if (x != y) return false;
  }
  return true;
}

bool ExprNarrowsLosslessly(std::u16string_view text) {
  const TCodePage& cp = AnsiCodePage();
  for (char16_t c : text)
    if (c == 0 || !cp.Contains(c)) return false;
  return true;
}

TABSVariant ExprTextConstant(std::u16string_view text) {
  if (ExprNarrowsLosslessly(text)) {
    TABSVariant v(btString);
    v.SetAsString(AnsiCodePage().ToAnsi(text));
    return v;
  }
  TABSVariant v(btWideString);
  v.SetAsWideString(text);
  return v;
}

}  // namespace dadoveri
