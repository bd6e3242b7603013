#include "engine/platform/calendar_names.h"

#include <unicode/udat.h>

#include <cstring>

#include "engine/platform/locale.h"

namespace dadoveri {

namespace {

const char16_t* const kEnglishLongMonths[12] = {u"January", u"February", u"March",     u"April",   u"May",      u"June",
                                                 u"July",    u"August",   u"September", u"October", u"November", u"December"};
const char16_t* const kEnglishShortMonths[12] = {u"Jan", u"Feb", u"Mar", u"Apr", u"May", u"Jun",
                                                  u"Jul", u"Aug", u"Sep", u"Oct", u"Nov", u"Dec"};
const char16_t* const kEnglishLongDays[7] = {u"Monday", u"Tuesday", u"Wednesday", u"Thursday",
                                              u"Friday", u"Saturday", u"Sunday"};
const char16_t* const kEnglishShortDays[7] = {u"Mon", u"Tue", u"Wed", u"Thu", u"Fri", u"Sat", u"Sun"};

TCalendarNames english() {
  TCalendarNames names;
  for (int i = 0; i < 12; ++i) {
    names.LongMonths[i] = kEnglishLongMonths[i];
    names.ShortMonths[i] = kEnglishShortMonths[i];
  }
  for (int i = 0; i < 7; ++i) {
    names.LongDays[i] = kEnglishLongDays[i];
    names.ShortDays[i] = kEnglishShortDays[i];
  }
  return names;
}

// One symbol of the formatter into `out`; `out` stays as it was when ICU has none.
void read_symbol(UDateFormat* format, UDateFormatSymbolType type, int32_t index, std::u16string& out) {
  UErrorCode status = U_ZERO_ERROR;
  UChar buffer[64];
  const int32_t n = udat_getSymbols(format, type, index, buffer, 64, &status);
  if (U_SUCCESS(status) && n > 0 && n <= 64) out.assign(reinterpret_cast<const char16_t*>(buffer), static_cast<size_t>(n));
}

}  // namespace

TCalendarNames CalendarNamesOf(const std::string& icu_locale) {
  TCalendarNames names = english();
  if (icu_locale.empty()) return names;
  const std::string format_locale = icu_locale + "@calendar=gregorian";
  UErrorCode status = U_ZERO_ERROR;
  UDateFormat* format = udat_open(UDAT_NONE, UDAT_SHORT, format_locale.c_str(), nullptr, 0, nullptr, 0, &status);
  if (U_FAILURE(status) || format == nullptr) return names;
  // A locale ICU knows nothing of falls back to the root locale, whose names are mere
  // numbers ("M01"); English stands in for it.
  status = U_ZERO_ERROR;
  const char* actual = udat_getLocaleByType(format, ULOC_ACTUAL_LOCALE, &status);
  if (U_FAILURE(status) || actual == nullptr || *actual == 0 || std::strcmp(actual, "root") == 0) {
    udat_close(format);
    return names;
  }
  for (int32_t m = 0; m < 12; ++m) {
    read_symbol(format, UDAT_STANDALONE_MONTHS, m, names.LongMonths[m]);
    read_symbol(format, UDAT_STANDALONE_SHORT_MONTHS, m, names.ShortMonths[m]);
  }
  // ICU numbers weekdays from 1 for Sunday; ours run from Monday.
  for (int32_t d = 0; d < 7; ++d) {
    const int32_t icu_day = d == 6 ? 1 : d + 2;
    read_symbol(format, UDAT_STANDALONE_WEEKDAYS, icu_day, names.LongDays[d]);
    read_symbol(format, UDAT_STANDALONE_SHORT_WEEKDAYS, icu_day, names.ShortDays[d]);
  }
  udat_close(format);
  return names;
}

const TCalendarNames& UserCalendarNames() {
  static const TCalendarNames names = CalendarNamesOf(UserLocale().Name());
  return names;
}

}  // namespace dadoveri
