// Persian letters typed and stored in one form. Arabic keyboards and older Persian text give
// ARABIC LETTER YEH (U+064A) and ALEF MAKSURA (U+0649) where Persian writes FARSI YEH
// (U+06CC), and ARABIC LETTER KAF (U+0643) where Persian writes KEHEH (U+06A9). The
// dictionary stores the Persian forms and a search text is mapped the same way, so that
// either spelling finds the word.
#pragma once

#include <string>
#include <string_view>

namespace dadoveri {

constexpr char16_t NormalisePersianLetter(char16_t c) {
  switch (c) {
    case u'\u064A':
    case u'\u0649': return u'\u06CC';
    case u'\u0643': return u'\u06A9';
    default: return c;
  }
}

std::u16string NormalisePersianLetters(std::u16string_view text);

}  // namespace dadoveri
