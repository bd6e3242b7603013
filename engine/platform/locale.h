// The user locale: one collation for every string comparison of the engine (comparisons,
// sorting and index keys alike), case mapping, and the few locale formats the engine uses.
// The locale comes from LC_ALL, LC_COLLATE or LANG, in that order; "C", "POSIX" or none
// selects the root locale.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

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
  // Whether a character (code unit) is plain printable ASCII (0x20 … 0x7E).
  static bool IsPrintableAscii(unsigned unit) { return unit - 0x20u <= 0x5Eu; }
  // Compare's answer for two texts the caller has found to be all plain printable ASCII and
  // identical in their first `same` characters (`same` at most the shorter length), with
  // the fast path on (HasAsciiFastPath). Only the characters from `same` on are looked at.
  template <typename Char>
  int ComparePrintableAscii(const Char* a, int32_t a_length, const Char* b, int32_t b_length, int32_t same,
                            bool case_insensitive) const {
    return case_insensitive ? printable_order<Char, true>(a, a_length, b, b_length, same)
                            : printable_order<Char, false>(a, a_length, b, b_length, same);
  }

  // A byte string whose memcmp order is exactly Compare's order (equal keys for equal
  // texts), for keys that are compared many times.
  std::string SortKey(std::u16string_view text, bool case_insensitive) const;
  // The first `bytes` bytes of SortKey(text, case_insensitive), or the whole key (where the
  // collator's part of it is not longer). Either orders as the whole key does against a key
  // of fewer than `bytes` bytes that is not equal to it. Only as much of the text is weighed as those bytes need, so a bound test on
  // a long text costs about what the bound's length does.
  std::string SortKeyHead(std::u16string_view text, bool case_insensitive, size_t bytes) const;

  // Bounds in SortKey's order that enclose every text beginning with `prefix` (identical
  // characters; with `case_insensitive`, characters equal after case folding): `lower` is
  // below and `upper` above the sort key of each such text. The bounds hold the primary
  // weights of the prefix only, so they also enclose texts that merely sort alike (other
  // case, accents), which the caller tests itself. Where a contraction of the locale can
  // join the prefix's last characters with what follows them (Czech "ch" after a prefix
  // ending in "c", Arabic alef and a combining hamza), the bounds enclose those of the
  // prefix and of the prefix completed by each such contraction; where there are too many,
  // or the prefix ends in a combining mark, those characters are left out of the bounds,
  // which only widens them. Answers the number of prefix characters the bounds use; 0
  // means no bound (every text qualifies), `lower` and `upper` then empty.
  int32_t PrefixSortKeyBounds(std::u16string_view prefix, bool case_insensitive, std::string& lower,
                              std::string& upper) const;
  // The same texts as PrefixSortKeyBounds encloses, in one interval for the prefix and one
  // for each completion by a contraction, overlapping ones joined: disjoint intervals
  // [Lower, Upper] in ascending SortKey order. The first one's Lower and the last one's
  // Upper are PrefixSortKeyBounds' bounds; the keys between two intervals belong to no
  // text with the prefix (a completion can sort far from the prefix, Persian waw with
  // hamza before the letters that follow alef). Answers as PrefixSortKeyBounds does;
  // `ranges` is empty when it answers 0.
  struct SortKeyRange {
    std::string Lower, Upper;
  };
  int32_t PrefixSortKeyRanges(std::u16string_view prefix, bool case_insensitive,
                              std::vector<SortKeyRange>& ranges) const;

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
  // Whether some contraction of the locale begins with the last characters of `text` and
  // goes on past its end (answers how many of its characters it takes, 0 when none).
  int32_t contraction_tail(std::u16string_view text) const;
  template <typename Char>
  static unsigned raw_unit(Char c) {
    return static_cast<unsigned>(static_cast<std::make_unsigned_t<Char>>(c));
  }
  template <typename Char, bool Fold>
  static unsigned unit(Char c) {
    const unsigned u = raw_unit(c);
    return Fold && u - 'A' < 26u ? u + 32 : u;
  }
  // Compare's answer for plain printable ASCII texts, letter case folded when `Fold`; -2
  // when either text holds another character.
  template <typename Char, bool Fold>
  int ascii_order(const Char* a, int32_t an, const Char* b, int32_t bn) const {
    const int32_t n = an < bn ? an : bn;
    int32_t same = 0;
    for (; same < n && a[same] == b[same]; ++same)
      if (!IsPrintableAscii(raw_unit(a[same]))) return -2;
    for (int32_t i = same; i < an; ++i)
      if (!IsPrintableAscii(raw_unit(a[i]))) return -2;
    for (int32_t i = same; i < bn; ++i)
      if (!IsPrintableAscii(raw_unit(b[i]))) return -2;
    return printable_order<Char, Fold>(a, an, b, bn, same);
  }
  // The order of plain printable ASCII texts whose first `same` characters are identical
  // (so they have equal weights and folded units there).
  template <typename Char, bool Fold>
  int printable_order(const Char* a, int32_t an, const Char* b, int32_t bn, int32_t same) const {
    const int32_t n = an < bn ? an : bn;
    // Level 1: primary weights, a text that is a prefix of the other first.
    for (int32_t i = same; i < n; ++i) {
      const uint8_t x = primary_rank_[unit<Char, Fold>(a[i])], y = primary_rank_[unit<Char, Fold>(b[i])];
      if (x != y) return x < y ? -1 : 1;
    }
    if (an != bn) return an < bn ? -1 : 1;
    // Level 2 is equal: no printable ASCII character carries a secondary difference.
    // Level 3: tertiary weights; then the code units.
    for (int32_t i = same; i < n; ++i) {
      const uint8_t x = tertiary_rank_[unit<Char, Fold>(a[i])], y = tertiary_rank_[unit<Char, Fold>(b[i])];
      if (x != y) return x < y ? -1 : 1;
    }
    for (int32_t i = same; i < n; ++i) {
      const unsigned x = unit<Char, Fold>(a[i]), y = unit<Char, Fold>(b[i]);
      if (x != y) return x < y ? -1 : 1;
    }
    return 0;
  }

  std::string name_;
  UCollator* collator_ = nullptr;
  bool ascii_fast_path_ = false;
  // Whether the collator's incremental sort key parts match its whole sort keys (checked
  // once on sample texts); SortKeyHead falls back to the whole key otherwise.
  bool incremental_keys_ = false;
  // Primary and tertiary weight ranks of the printable ASCII characters (0 elsewhere).
  uint8_t primary_rank_[128] = {};
  uint8_t tertiary_rank_[128] = {};
  char decimal_separator_ = '.';
  std::string short_date_pattern_;
  // The locale's contractions (strings of two or more code units that collate as one).
  std::vector<std::u16string> contractions_;
};

// Fixes this process's collation to the root locale and its code page to Windows-1252,
// whatever the environment says, so that files written and read by the process do not
// depend on the user's environment (index order, single-byte text). Must run before the
// engine first asks for either; the environment is changed for the rest of the process.
void UseRootCollationAndCodePage1252();

// The process's user locale, read from the environment on first use.
const TUserLocale& UserLocale();
// The ICU locale name the environment selects ("" for root).
std::string LocaleFromEnvironment();

}  // namespace dadoveri
