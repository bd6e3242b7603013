// The seed files of the file-open fuzzer: sample databases small enough to mutate quickly.
#pragma once

#include <cstdint>

namespace dadoveri::fuzz {

inline constexpr int32_t kDictionaryRows = 60;
inline constexpr int32_t kFlashcardRows = 12;

}  // namespace dadoveri::fuzz
