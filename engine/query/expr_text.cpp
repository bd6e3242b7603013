#include "engine/query/expr_text.h"

#include "engine/platform/code_page.h"

namespace dadoveri {

std::string ExprUtf8(std::u16string_view v) {
  std::string out;
  out.reserve(v.size());
  for (size_t i = 0; i < v.size(); ++i) {
    char32_t c = v[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < v.size() && v[i + 1] >= 0xDC00 && v[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (v[i + 1] - 0xDC00);
      ++i;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

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
