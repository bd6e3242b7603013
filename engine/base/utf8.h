// UTF-16 text (the engine's wide text and the lexer's input) to UTF-8 for messages and
// names, and back. A lone surrogate is written as the code point it stands for.
#pragma once

#include <string>
#include <string_view>

namespace dadoveri {

std::string Utf16ToUtf8(std::u16string_view text);
// UTF-8 to UTF-16; a truncated sequence at the end is taken byte by byte.
std::u16string Utf8ToUtf16(std::string_view text);

}  // namespace dadoveri
