// Text helpers shared by the expression engine's files: names as UTF-8, names compared
// without letter case, and the constant a quoted literal stands for.
#pragma once

#include <string>
#include <string_view>

#include "engine/table/variant.h"

namespace dadoveri {

// UTF-16 to UTF-8 (names travel as UTF-8).
std::string ExprUtf8(std::u16string_view text);
// Whether two names are equal, ASCII letters compared without case.
bool ExprSameName(std::string_view a, std::string_view b);
// The constant of a quoted literal: ANSI text when every character has a byte in the ANSI
// code page, else wide text; the empty text is NULL.
TABSVariant ExprTextConstant(std::u16string_view text);
// Whether a wide text converts to the ANSI code page and back unchanged.
bool ExprNarrowsLosslessly(std::u16string_view text);

}  // namespace dadoveri
