// The user locale: one collation for every string comparison of the engine (comparisons,
// sorting and index keys alike), case mapping, and the few locale formats the engine uses.
// The locale comes from LC_ALL, LC_COLLATE or LANG, in that order; "C", "POSIX" or none
// selects the root locale.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

struct UCollator;

namespace dadoveri {

class TUserLocale {
 public:
  // Uses the named ICU locale ("" for root); the process-wide instance reads the
  // environment (UserLocale()).
  explicit TUserLocale(const std::string& icu_locale);
  ~TUserLocale();
  TUserLocale(const TUserLocale&) = delete;
  TUserLocale& operator=(const TUserLocale&) = delete;

  const std::string& Name() const { return name_; }

  // Total order on UTF-16 text: the locale's collation (tertiary strength, so letter case
  // and accents count); texts it ranks equal are ordered by their code units, so only
  // identical texts compare equal. With `case_insensitive` both texts are case-folded
  // first: texts that differ only in letter case are equal, everything else is ordered as
  // above. Answers -1, 0 or 1.
  int Compare(const char16_t* a, int32_t a_length, const char16_t* b, int32_t b_length,
              bool case_insensitive) const;
  int Compare(std::u16string_view a, std::u16string_view b, bool case_insensitive) const {
    return Compare(a.data(), static_cast<int32_t>(a.size()), b.data(), static_cast<int32_t>(b.size()),
                   case_insensitive);
  }

  // The same order computed by the collator alone, without the plain-ASCII fast path
  // (which must give the same answers; tests hold the two together).
  int CompareWithCollator(const char16_t* a, int32_t a_length, const char16_t* b, int32_t b_length,
                          bool case_insensitive) const;
  // True when texts of printable ASCII characters are compared by the fast path: the
  // locale's collation gives each such character exactly one collation element and has no
  // contraction made of them, so comparing per-character weight ranks level by level gives
  // exactly the collator's order.
  bool HasAsciiFastPath() const { return ascii_fast_path_; }
  // Compare's answer for two single-byte texts when both are plain printable ASCII and the
  // fast path is on; -2 otherwise (the caller converts the texts and calls Compare).
  int CompareAscii(const char* a, int32_t a_length, const char* b, int32_t b_length, bool case_insensitive) const {
    if (!ascii_fast_path_) return -2;
    return case_insensitive ? ascii_order<char, true>(a, a_length, b, b_length)
                            : ascii_order<char, false>(a, a_length, b, b_length);
  }

  // A byte string whose memcmp order is exactly Compare's order (equal keys for equal
  // texts), for keys that are compared many times.
  std::string SortKey(std::u16string_view text, bool case_insensitive) const;

  std::u16string UpperCase(std::u16string_view text) const;
  std::u16string LowerCase(std::u16string_view text) const;
  // Full case folding (locale-independent), as used by case-insensitive comparison.
  static std::u16string FoldCase(std::u16string_view text);

  // The decimal separator of numbers ('.' when the locale's is not ASCII).
  char DecimalSeparator() const { return decimal_separator_; }
  // The locale's short date pattern in ICU syntax for the Gregorian calendar, e.g. "M/d/yy".
  const std::string& ShortDatePattern() const { return short_date_pattern_; }

 private:
  void build_ascii_ranks();
  // Compare's answer for plain printable ASCII texts, letter case folded when `Fold`; -2
  // when either text holds another character.
  template <typename Char, bool Fold>
  int ascii_order(const Char* a, int32_t an, const Char* b, int32_t bn) const {
    auto unit = [](Char c) -> unsigned {
      const unsigned u = static_cast<unsigned>(static_cast<std::make_unsigned_t<Char>>(c));
      return Fold && u - 'A' < 26u ? u + 32 : u;
    };
    const int32_t n = an < bn ? an : bn;
    int primary = 0;
    for (int32_t i = 0; i < n; ++i) {
      const unsigned x = unit(a[i]), y = unit(b[i]);
      if (x - 0x20u > 0x5Eu || y - 0x20u > 0x5Eu) return -2;
      if (primary == 0 && primary_rank_[x] != primary_rank_[y]) primary = primary_rank_[x] < primary_rank_[y] ? -1 : 1;
    }
    for (int32_t i = n; i < an; ++i)
      if (unit(a[i]) - 0x20u > 0x5Eu) return -2;
    for (int32_t i = n; i < bn; ++i)
      if (unit(b[i]) - 0x20u > 0x5Eu) return -2;
    // Level 1: primary weights, a text that is a prefix of the other first.
    if (primary != 0) return primary;
    if (an != bn) return an < bn ? -1 : 1;
    // Level 2 is equal: no printable ASCII character carries a secondary difference.
    // Level 3: tertiary weights; then the code units.
    for (int32_t i = 0; i < n; ++i) {
      const unsigned x = unit(a[i]), y = unit(b[i]);
      if (tertiary_rank_[x] != tertiary_rank_[y]) return tertiary_rank_[x] < tertiary_rank_[y] ? -1 : 1;
    }
    for (int32_t i = 0; i < n; ++i) {
      const unsigned x = unit(a[i]), y = unit(b[i]);
      if (x != y) return x < y ? -1 : 1;
    }
    return 0;
  }

  std::string name_;
  UCollator* collator_ = nullptr;
  bool ascii_fast_path_ = false;
  // Primary and tertiary weight ranks of the printable ASCII characters (0 elsewhere).
  uint8_t primary_rank_[128] = {};
  uint8_t tertiary_rank_[128] = {};
  char decimal_separator_ = '.';
  std::string short_date_pattern_;
};

// The process's user locale, read from the environment on first use.
const TUserLocale& UserLocale();
// The ICU locale name the environment selects ("" for root).
std::string LocaleFromEnvironment();

}  // namespace dadoveri
