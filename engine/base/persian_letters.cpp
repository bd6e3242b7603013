#include "engine/base/persian_letters.h"

namespace dadoveri {

std::u16string NormalisePersianLetters(std::u16string_view text) {
  std::u16string out(text);
  for (char16_t& c : out) c = NormalisePersianLetter(c);
  return out;
}

}  // namespace dadoveri
