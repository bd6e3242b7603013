// The reserved words of the SQL and filter languages, numbered 0-291 in a fixed order; the
// parsers test the numbers.
#pragma once

#include <cstdint>
#include <string_view>

namespace dadoveri {

inline constexpr int kKeywordCount = 292;
// The keyword number of a token that is no keyword; as an argument of IsKeyword, any keyword.
inline constexpr uint16_t kNoKeyword = 292;

// The word with number `number` (upper case); empty for a number outside 0-291.
std::string_view KeywordText(int number);

// The number of the keyword spelt `word` in any letter case (plain ASCII upper-casing);
// kNoKeyword when it is none.
uint16_t FindKeyword(std::u16string_view word);

}  // namespace dadoveri
