// UTF-16 text (the engine's wide text and the lexer's input) to UTF-8 for messages and
// names, and back. A lone surrogate is written as the code point it stands for.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace dadoveri {

std::string Utf16ToUtf8(std::u16string_view text);
// UTF-8 to UTF-16; a truncated sequence at the end is taken byte by byte.
std::u16string Utf8ToUtf16(std::string_view text);
// UTF-8 to UTF-16 with every sequence checked: overlong forms, surrogates, values past
// Unicode and sequences cut short are malformed. With a `replacement`, each malformed lead
// byte becomes it and the answer is true; without one, the answer is false at the first
// malformed sequence. `out` is cleared first.
bool DecodeUtf8(std::string_view text, std::u16string& out, std::optional<char16_t> replacement = std::nullopt);

}  // namespace dadoveri
