#include "engine/platform/locale.h"

#include <unicode/ucol.h>
#include <unicode/uiter.h>
#include <unicode/udat.h>
#include <unicode/unum.h>
#include <unicode/uset.h>
#include <unicode/uchar.h>
#include <unicode/ustring.h>
#include <unicode/utf16.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace dadoveri {

namespace {

// A stack buffer for short texts, the heap for long ones.
class UnitBuffer {
 public:
  char16_t* reserve(int32_t n) {
    if (n <= static_cast<int32_t>(sizeof small_ / sizeof small_[0])) return small_;
    large_.resize(static_cast<size_t>(n));
    return large_.data();
  }

 private:
  char16_t small_[128];
  std::vector<char16_t> large_;
};

// Case-folds into `buffer`; returns the folded length.
// Characters whose case folding is at most the ASCII one: ASCII and the (caseless)
// Arabic blocks, so that Persian and Arabic text folds without a call into ICU.
bool folds_simply(const char16_t* s, int32_t n) {
  for (int32_t i = 0; i < n; ++i) {
    const char16_t c = s[i];
    if (c < 0x80 || (c >= 0x0600 && c <= 0x06FF) || (c >= 0xFB50 && c <= 0xFDFF) || (c >= 0xFE70 && c <= 0xFEFF))
      continue;
    return false;
  }
  return true;
}

int32_t fold_into(const char16_t* s, int32_t n, UnitBuffer& buffer, const char16_t*& out) {
  if (folds_simply(s, n)) {
    char16_t* d = buffer.reserve(n);
    for (int32_t i = 0; i < n; ++i) d[i] = (s[i] >= 'A' && s[i] <= 'Z') ? static_cast<char16_t>(s[i] + 32) : s[i];
    out = d;
    return n;
  }
  // Full folding may grow a text up to three times.
  char16_t* d = buffer.reserve(3 * n + 1);
  UErrorCode status = U_ZERO_ERROR;
  const int32_t len = u_strFoldCase(d, 3 * n + 1, s, n, U_FOLD_CASE_DEFAULT, &status);
  out = d;
  return U_SUCCESS(status) ? len : 0;
}

int compare_units(const char16_t* a, int32_t an, const char16_t* b, int32_t bn) {
  const int32_t n = an < bn ? an : bn;
  for (int32_t i = 0; i < n; ++i)
    if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
  return an == bn ? 0 : (an < bn ? -1 : 1);
}

std::string strip_posix_locale(const char* value) {
  std::string s = value;
  const size_t cut = s.find_first_of(".@");
  if (cut != std::string::npos) s.resize(cut);
  if (s == "C" || s == "POSIX") return "";
  return s;
}

std::u16string map_case(std::u16string_view text, const std::string& locale, bool upper) {
  std::u16string out(text.size() + 8, u'\0');
  for (int attempt = 0; attempt < 2; ++attempt) {
    UErrorCode status = U_ZERO_ERROR;
    const int32_t n = upper ? u_strToUpper(out.data(), static_cast<int32_t>(out.size()), text.data(),
                                           static_cast<int32_t>(text.size()), locale.c_str(), &status)
                            : u_strToLower(out.data(), static_cast<int32_t>(out.size()), text.data(),
                                           static_cast<int32_t>(text.size()), locale.c_str(), &status);
    if (status == U_BUFFER_OVERFLOW_ERROR) {
      out.assign(static_cast<size_t>(n), u'\0');
      continue;
    }
    if (U_FAILURE(status)) return std::u16string(text);
    out.resize(static_cast<size_t>(n));
    return out;
  }
  return std::u16string(text);
}

}  // namespace

std::string LocaleFromEnvironment() {
  for (const char* name : {"LC_ALL", "LC_COLLATE", "LANG"}) {
    const char* value = std::getenv(name);
    if (value && *value) return strip_posix_locale(value);
  }
  return "";
}

void UseRootCollationAndCodePage1252() {
  for (const char* name : {"LC_ALL", "LC_COLLATE", "LANG"}) unsetenv(name);
  setenv("DADOVERI_CODEPAGE", "1252", 1);
}

TUserLocale::TUserLocale(const std::string& icu_locale) : name_(icu_locale) {
  UErrorCode status = U_ZERO_ERROR;
  collator_ = ucol_open(name_.c_str(), &status);
  if (U_FAILURE(status)) {
    status = U_ZERO_ERROR;
    collator_ = ucol_open("", &status);
  }
  if (U_FAILURE(status) || collator_ == nullptr) throw std::runtime_error("ICU collator unavailable");
  ucol_setStrength(collator_, UCOL_TERTIARY);

  // Formats are taken with Western digits and the Gregorian calendar, whatever the locale's
  // defaults, since the engine reads them back as numbers.
  const std::string format_locale = name_ + "@calendar=gregorian;numbers=latn";
  status = U_ZERO_ERROR;
  UNumberFormat* number = unum_open(UNUM_DECIMAL, nullptr, 0, format_locale.c_str(), nullptr, &status);
  if (U_SUCCESS(status)) {
    UChar symbol[8];
    const int32_t n = unum_getSymbol(number, UNUM_DECIMAL_SEPARATOR_SYMBOL, symbol, 8, &status);
    if (U_SUCCESS(status) && n == 1 && symbol[0] > 0x20 && symbol[0] < 0x7F) decimal_separator_ = static_cast<char>(symbol[0]);
    unum_close(number);
  }
  status = U_ZERO_ERROR;
  UDateFormat* date = udat_open(UDAT_NONE, UDAT_SHORT, format_locale.c_str(), nullptr, 0, nullptr, 0, &status);
  if (U_SUCCESS(status)) {
    UChar pattern[64];
    const int32_t n = udat_toPattern(date, false, pattern, 64, &status);
    if (U_SUCCESS(status))
      for (int32_t i = 0; i < n && i < 64; ++i) short_date_pattern_ += pattern[i] < 0x80 ? static_cast<char>(pattern[i]) : '?';
    udat_close(date);
  }
  if (short_date_pattern_.empty()) short_date_pattern_ = "y-MM-dd";
  build_ascii_ranks();

  // The incremental sort key is used for bound tests only where it gives the same bytes as
  // the whole key on texts of several scripts, cases, accents and contractions.
  incremental_keys_ = true;
  static const char16_t* const kSamples[] = {u"a", u"abc", u"ABC", u"\u00e1bc", u"aBa", u"cha", u"hz", u"ch",
                                             u"\u0643\u062a\u0627\u0628", u"\u06a9\u062a\u0627\u0628 \u06cc",
                                             u"\u0622\u0628", u"zz top's", u"e\u0301t\u00e9", u"\u00df\u0130I"};
  for (const char16_t* sample : kSamples) {
    const std::string whole = SortKey(sample, false);
    for (size_t bytes = 1; bytes < whole.size(); ++bytes)
      if (const std::string head = SortKeyHead(sample, false, bytes); head != whole && head != whole.substr(0, bytes)) {
        incremental_keys_ = false;
        return;
      }
  }
}

std::string TUserLocale::SortKeyHead(std::u16string_view text, bool case_insensitive, size_t bytes) const {
  if (!incremental_keys_ || bytes == 0 || bytes > 256) return SortKey(text, case_insensitive);
  std::u16string folded;
  if (case_insensitive) {
    folded = FoldCase(text);
    text = folded;
  }
  UCharIterator iter;
  uiter_setString(&iter, text.data(), static_cast<int32_t>(text.size()));
  uint32_t state[2] = {0, 0};
  UErrorCode status = U_ZERO_ERROR;
  uint8_t head[256];
  const int32_t n = ucol_nextSortKeyPart(collator_, &iter, state, head, static_cast<int32_t>(bytes), &status);
  // A shorter answer means the collator's key ended: the whole key (with its tie-breaking
  // code units) is then needed.
  if (U_FAILURE(status) || n != static_cast<int32_t>(bytes)) return SortKey(text, false);
  return std::string(reinterpret_cast<const char*>(head), bytes);
}

void TUserLocale::build_ascii_ranks() {
  // Each printable ASCII character must be a contraction-free, expansion-free character of
  // its own with a non-ignorable primary weight.
  UErrorCode status = U_ZERO_ERROR;
  USet* contractions = uset_openEmpty();
  USet* expansions = uset_openEmpty();
  ucol_getContractionsAndExpansions(collator_, contractions, expansions, true, &status);
  bool ok = U_SUCCESS(status);
  for (int c = 0x20; ok && c < 0x7F; ++c) ok = !uset_contains(expansions, c);
  UChar text[64];
  for (int32_t i = 0; U_SUCCESS(status) && i < uset_getItemCount(contractions); ++i) {
    UChar32 start, end;
    UErrorCode item_status = U_ZERO_ERROR;
    const int32_t len = uset_getItem(contractions, i, &start, &end, text, 64, &item_status);
    if (len >= 2 && U_SUCCESS(item_status)) contractions_.emplace_back(reinterpret_cast<const char16_t*>(text), len);
  }
  for (int32_t i = 0; ok && i < uset_getItemCount(contractions); ++i) {
    UChar32 start, end;
    status = U_ZERO_ERROR;
    const int32_t len = uset_getItem(contractions, i, &start, &end, text, 64, &status);
    if (len == 0) continue;  // a range of single code points, not a contraction
    bool all_ascii = U_SUCCESS(status);
    for (int32_t k = 0; k < len; ++k) all_ascii = all_ascii && text[k] < 0x80;
    if (all_ascii) ok = false;
  }
  uset_close(contractions);
  uset_close(expansions);
  if (!ok) return;

  status = U_ZERO_ERROR;
  UCollator* primary = ucol_clone(collator_, &status);
  UCollator* secondary = ucol_clone(collator_, &status);
  if (U_FAILURE(status)) {
    ucol_close(primary);
    ucol_close(secondary);
    return;
  }
  ucol_setStrength(primary, UCOL_PRIMARY);
  ucol_setStrength(secondary, UCOL_SECONDARY);
  std::vector<UChar> chars;
  for (UChar c = 0x20; c < 0x7F; ++c) {
    const UChar empty = 0;
    if (ucol_strcoll(primary, &c, 1, &empty, 0) == UCOL_EQUAL) ok = false;  // ignorable
    chars.push_back(c);
  }
  auto rank = [&](UCollator* coll, uint8_t* out) {
    std::vector<UChar> sorted = chars;
    std::stable_sort(sorted.begin(), sorted.end(),
                     [&](UChar x, UChar y) { return ucol_strcoll(coll, &x, 1, &y, 1) == UCOL_LESS; });
    uint8_t r = 1;
    for (size_t i = 0; i < sorted.size(); ++i) {
      if (i > 0 && ucol_strcoll(coll, &sorted[i - 1], 1, &sorted[i], 1) != UCOL_EQUAL) ++r;
      out[sorted[i]] = r;
    }
  };
  rank(primary, primary_rank_);
  rank(collator_, tertiary_rank_);
  // Characters of one primary weight must not differ at the secondary level (accents).
  for (UChar x : chars)
    for (UChar y : chars)
      if (primary_rank_[x] == primary_rank_[y] && ucol_strcoll(secondary, &x, 1, &y, 1) != UCOL_EQUAL) ok = false;
  ucol_close(primary);
  ucol_close(secondary);
  ascii_fast_path_ = ok;
}

TUserLocale::~TUserLocale() { ucol_close(collator_); }

int TUserLocale::Compare(const char16_t* a, int32_t an, const char16_t* b, int32_t bn, bool case_insensitive) const {
  if (an == bn && std::memcmp(a, b, static_cast<size_t>(an) * 2) == 0) return 0;
  if (ascii_fast_path_) {
    const int r = case_insensitive ? ascii_order<char16_t, true>(a, an, b, bn) : ascii_order<char16_t, false>(a, an, b, bn);
    if (r != -2) return r;
  }
  UnitBuffer fa, fb;
  if (case_insensitive) {
    const char16_t *pa, *pb;
    an = fold_into(a, an, fa, pa);
    bn = fold_into(b, bn, fb, pb);
    a = pa;
    b = pb;
    if (an == bn && std::memcmp(a, b, static_cast<size_t>(an) * 2) == 0) return 0;
  }
  const UCollationResult c = ucol_strcoll(collator_, a, an, b, bn);
  if (c != UCOL_EQUAL) return c == UCOL_LESS ? -1 : 1;
  return compare_units(a, an, b, bn);
}

int TUserLocale::CompareWithCollator(const char16_t* a, int32_t an, const char16_t* b, int32_t bn,
                                     bool case_insensitive) const {
  std::u16string fa, fb;
  if (case_insensitive) {
    // ICU's full folding throughout, independent of the shortcuts Compare takes.
    auto icu_fold = [](const char16_t* s, int32_t n) {
      std::u16string out(static_cast<size_t>(3 * n + 1), u'\0');
      UErrorCode status = U_ZERO_ERROR;
      const int32_t len = u_strFoldCase(out.data(), 3 * n + 1, s, n, U_FOLD_CASE_DEFAULT, &status);
      out.resize(U_SUCCESS(status) ? static_cast<size_t>(len) : 0);
      return out;
    };
    fa = icu_fold(a, an);
    fb = icu_fold(b, bn);
    a = fa.data();
    b = fb.data();
    an = static_cast<int32_t>(fa.size());
    bn = static_cast<int32_t>(fb.size());
  }
  const UCollationResult c = ucol_strcoll(collator_, a, an, b, bn);
  if (c != UCOL_EQUAL) return c == UCOL_LESS ? -1 : 1;
  return compare_units(a, an, b, bn);
}

std::string TUserLocale::SortKey(std::u16string_view text, bool case_insensitive) const {
  std::u16string folded;
  if (case_insensitive) {
    folded = FoldCase(text);
    text = folded;
  }
  std::string key(64 + 4 * text.size(), '\0');
  int32_t n = ucol_getSortKey(collator_, text.data(), static_cast<int32_t>(text.size()),
                              reinterpret_cast<uint8_t*>(key.data()), static_cast<int32_t>(key.size()));
  if (n > static_cast<int32_t>(key.size())) {
    key.assign(static_cast<size_t>(n), '\0');
    n = ucol_getSortKey(collator_, text.data(), static_cast<int32_t>(text.size()),
                        reinterpret_cast<uint8_t*>(key.data()), n);
  }
  key.resize(static_cast<size_t>(n));  // ends with its zero byte, below every weight byte
  // The code units, big-endian, break ties exactly as Compare does.
  for (char16_t unit : text) {
    key += static_cast<char>(unit >> 8);
    key += static_cast<char>(unit & 0xFF);
  }
  return key;
}

int32_t TUserLocale::contraction_tail(std::u16string_view text) const {
  int32_t longest = 0;
  for (const std::u16string& c : contractions_) {
    // A proper beginning of the contraction that ends the text.
    for (size_t j = std::min(c.size() - 1, text.size()); j > static_cast<size_t>(longest); --j)
      if (text.substr(text.size() - j) == std::u16string_view(c).substr(0, j)) {
        longest = static_cast<int32_t>(j);
        break;
      }
  }
  return longest;
}

namespace {

// The primary-level bounds of one text's sort key: below and above every sort key that
// begins with the text's primary weights.
bool primary_bounds(const UCollator* collator, const std::u16string& text, std::string& lower, std::string& upper) {
  std::vector<uint8_t> key(64 + 4 * text.size());
  int32_t n = ucol_getSortKey(collator, text.data(), static_cast<int32_t>(text.size()), key.data(),
                              static_cast<int32_t>(key.size()));
  if (n > static_cast<int32_t>(key.size())) {
    key.resize(static_cast<size_t>(n));
    n = ucol_getSortKey(collator, text.data(), static_cast<int32_t>(text.size()), key.data(), n);
  }
  auto bound = [&](UColBoundMode mode, std::string& out) {
    std::vector<uint8_t> b(static_cast<size_t>(n) + 8);
    UErrorCode status = U_ZERO_ERROR;
    int32_t m = ucol_getBound(key.data(), n, mode, 1, b.data(), static_cast<int32_t>(b.size()), &status);
    if (status == U_BUFFER_OVERFLOW_ERROR || m > static_cast<int32_t>(b.size())) {
      b.resize(static_cast<size_t>(m));
      status = U_ZERO_ERROR;
      m = ucol_getBound(key.data(), n, mode, 1, b.data(), m, &status);
    }
    if (U_FAILURE(status)) return false;
    // The bound's own terminating zero byte stays out: a bound that is a beginning of a
    // sort key is below it.
    if (m > 0 && b[static_cast<size_t>(m) - 1] == 0) --m;
    out.assign(reinterpret_cast<const char*>(b.data()), static_cast<size_t>(m));
    return true;
  };
  return bound(UCOL_BOUND_LOWER, lower) && bound(UCOL_BOUND_UPPER_LONG, upper);
}

// Most completions of a prefix's last characters to a contraction that the bounds follow
// one by one; a prefix with more falls back to leaving those characters out.
constexpr size_t kMaxCompletions = 64;

}  // namespace

int32_t TUserLocale::PrefixSortKeyBounds(std::u16string_view prefix, bool case_insensitive, std::string& lower,
                                         std::string& upper) const {
  std::vector<SortKeyRange> ranges;
  const int32_t used = PrefixSortKeyRanges(prefix, case_insensitive, ranges);
  lower.clear();
  upper.clear();
  if (!ranges.empty()) {
    lower = std::move(ranges.front().Lower);
    upper = std::move(ranges.back().Upper);
  }
  return used;
}

int32_t TUserLocale::PrefixSortKeyRanges(std::u16string_view prefix, bool case_insensitive,
                                         std::vector<SortKeyRange>& ranges) const {
  ranges.clear();
  std::string lower, upper;
  std::u16string text(prefix);
  if (case_insensitive) text = FoldCase(text);
  if (!text.empty()) {
    // A prefix whose last characters begin a contraction, but that ends in a character of
    // its own (no combining mark): a text with the prefix either goes on to complete one
    // such contraction at its last characters, and then begins with the primary weights of
    // the prefix so completed, or it does not, and then it begins with those of the prefix
    // itself. The bounds enclose each of these. (Arabic alef and waw begin contractions
    // with a combining hamza or madda, so a Persian prefix of one letter keeps a range.)
    size_t start = text.size() - 1;
    if (U16_IS_TRAIL(text[start]) && start > 0 && U16_IS_LEAD(text[start - 1])) --start;
    const UChar32 last = start + 1 < text.size() ? U16_GET_SUPPLEMENTARY(text[start], text[start + 1]) : text[start];
    if (u_getCombiningClass(last) == 0 && contraction_tail(text) > 0) {
      std::vector<std::u16string> candidates{text};
      for (const std::u16string& c : contractions_) {
        for (size_t j = std::min(c.size() - 1, text.size()); j > 0; --j)
          if (std::u16string_view(text).substr(text.size() - j) == std::u16string_view(c).substr(0, j))
            candidates.push_back(text.substr(0, text.size() - j) + c);
        if (candidates.size() > kMaxCompletions + 1) break;
      }
      if (candidates.size() <= kMaxCompletions + 1) {
        bool ok = true;
        for (const std::u16string& candidate : candidates) {
          SortKeyRange range;
          if (!primary_bounds(collator_, candidate, range.Lower, range.Upper)) {
            ok = false;
            break;
          }
          ranges.push_back(std::move(range));
        }
        if (ok) {
          // In key order, each interval joined with those it overlaps.
          std::sort(ranges.begin(), ranges.end(),
                    [](const SortKeyRange& a, const SortKeyRange& b) { return a.Lower < b.Lower; });
          size_t kept = 0;
          for (size_t i = 1; i < ranges.size(); ++i) {
            if (ranges[i].Lower <= ranges[kept].Upper) {
              if (ranges[i].Upper > ranges[kept].Upper) ranges[kept].Upper = std::move(ranges[i].Upper);
            } else if (++kept != i) {
              ranges[kept] = std::move(ranges[i]);
            }
          }
          ranges.resize(kept + 1);
          return static_cast<int32_t>(prefix.size());
        }
        ranges.clear();
      }
    }
  }
  int32_t used = static_cast<int32_t>(prefix.size());
  // Leave out the characters whose weights may depend on what follows them: the start of
  // a contraction that could go on past the prefix, and trailing combining marks (which
  // can join a contraction with a starter before them or be reordered with marks after).
  for (;;) {
    if (text.empty()) break;
    const size_t before = text.size();
    while (!text.empty()) {
      UChar32 last;
      size_t start = text.size() - 1;
      if (U16_IS_TRAIL(text[start]) && start > 0 && U16_IS_LEAD(text[start - 1])) --start;
      last = start + 1 < text.size() ? U16_GET_SUPPLEMENTARY(text[start], text[start + 1]) : text[start];
      if (u_getCombiningClass(last) == 0) break;
      text.resize(start);
    }
    if (const int32_t tail = contraction_tail(text); tail > 0) text.resize(text.size() - static_cast<size_t>(tail));
    if (text.size() == before) break;
  }
  if (text.empty()) return 0;
  if (text.size() != (case_insensitive ? FoldCase(prefix).size() : prefix.size())) {
    // Some characters were left out: count the prefix characters still in (folding keeps
    // whole characters, so the folded text of the first k characters is a prefix of it).
    used = 0;
    for (int32_t k = 1; k <= static_cast<int32_t>(prefix.size()); ++k) {
      const std::u16string part = case_insensitive ? FoldCase(prefix.substr(0, static_cast<size_t>(k)))
                                                   : std::u16string(prefix.substr(0, static_cast<size_t>(k)));
      if (part.size() > text.size()) break;
      used = k;
    }
    if (used == 0) return 0;
  }
  if (!primary_bounds(collator_, text, lower, upper)) return 0;
  ranges.push_back({std::move(lower), std::move(upper)});
  return used;
}

std::u16string TUserLocale::UpperCase(std::u16string_view text) const { return map_case(text, name_, true); }
std::u16string TUserLocale::LowerCase(std::u16string_view text) const { return map_case(text, name_, false); }

std::u16string TUserLocale::FoldCase(std::u16string_view text) {
  UnitBuffer buffer;
  const char16_t* out;
  const int32_t n = fold_into(text.data(), static_cast<int32_t>(text.size()), buffer, out);
  return std::u16string(out, static_cast<size_t>(n));
}

const TUserLocale& UserLocale() {
  static const TUserLocale* locale = new TUserLocale(LocaleFromEnvironment());
  return *locale;
}

}  // namespace dadoveri
