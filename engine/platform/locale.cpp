#include "engine/platform/locale.h"

#include <unicode/ucol.h>
#include <unicode/udat.h>
#include <unicode/unum.h>
#include <unicode/ustring.h>

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

bool is_ascii(const char16_t* s, int32_t n) {
  char16_t any = 0;
  for (int32_t i = 0; i < n; ++i) any |= s[i];
  return any < 0x80;
}

// Case-folds into `buffer`; returns the folded length.
int32_t fold_into(const char16_t* s, int32_t n, UnitBuffer& buffer, const char16_t*& out) {
  if (is_ascii(s, n)) {
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
}

TUserLocale::~TUserLocale() { ucol_close(collator_); }

int TUserLocale::Compare(const char16_t* a, int32_t an, const char16_t* b, int32_t bn, bool case_insensitive) const {
  if (an == bn && std::memcmp(a, b, static_cast<size_t>(an) * 2) == 0) return 0;
  if (case_insensitive) {
    UnitBuffer fa, fb;
    const char16_t *pa, *pb;
    const int32_t la = fold_into(a, an, fa, pa);
    const int32_t lb = fold_into(b, bn, fb, pb);
    if (la == lb && std::memcmp(pa, pb, static_cast<size_t>(la) * 2) == 0) return 0;
    const UCollationResult r = ucol_strcoll(collator_, pa, la, pb, lb);
    if (r != UCOL_EQUAL) return r == UCOL_LESS ? -1 : 1;
    return compare_units(pa, la, pb, lb);
  }
  const UCollationResult r = ucol_strcoll(collator_, a, an, b, bn);
  if (r != UCOL_EQUAL) return r == UCOL_LESS ? -1 : 1;
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
