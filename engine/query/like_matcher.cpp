#include "engine/query/like_matcher.h"

#include "engine/platform/locale.h"

namespace dadoveri {

bool LikeMatchWide(std::u16string_view text, std::u16string_view pattern, int32_t escape, bool case_insensitive) {
  return LikeMatch<char16_t>(text, pattern, escape, [case_insensitive](char16_t a, char16_t b) {
    if (a == b) return true;
    if (!case_insensitive) return false;
    const unsigned ua = a, ub = b;
    if (ua < 0x80 && ub < 0x80) return (ua | 0x20u) == (ub | 0x20u) && (ua | 0x20u) - 'a' < 26u;
    return UserLocale().Compare(&a, 1, &b, 1, true) == 0;
  });
}

}  // namespace dadoveri
