// Month and weekday names of a locale for the Gregorian calendar, as ICU gives them in their
// stand-alone form. The root locale (no locale at all) uses the English names.
#pragma once

#include <array>
#include <string>

namespace dadoveri {

struct TCalendarNames {
  std::array<std::u16string, 12> LongMonths;   // January first
  std::array<std::u16string, 12> ShortMonths;
  std::array<std::u16string, 7> LongDays;      // Monday first
  std::array<std::u16string, 7> ShortDays;
};

// The names of the named ICU locale ("" for English).
TCalendarNames CalendarNamesOf(const std::string& icu_locale);

// The names of the process's user locale, read once.
const TCalendarNames& UserCalendarNames();

}  // namespace dadoveri
