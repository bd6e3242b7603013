#include "calendar/solar_utl.h"

#include <ctime>
#include <mutex>

namespace nilvar {

namespace {

constexpr uint16_t kLeapMonth[2] = {12, 2};
constexpr uint16_t kDaysInMonth[2][12] = {
    {31, 31, 31, 31, 31, 31, 30, 30, 30, 30, 30, 29},
    {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31},
};
// Days before month 1..13 of a common year; entry 13 is the year length.
constexpr uint16_t kDaysBefore[2][13] = {
    {0, 31, 62, 93, 124, 155, 186, 216, 246, 276, 306, 336, 365},
    {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334, 365},
};

// The letter yeh is the Arabic yeh U+064A throughout, kaf in Sunday is U+0643.
const char16_t* const kMonthNames[12] = {
    u"\u0641\u0631\u0648\u0631\u062F\u064A\u0646",        // Farvardin
    u"\u0627\u0631\u062F\u064A\u0628\u0647\u0634\u062A",  // Ordibehesht
    u"\u062E\u0631\u062F\u0627\u062F",                    // Khordad
    u"\u062A\u064A\u0631",                                // Tir
    u"\u0645\u0631\u062F\u0627\u062F",                    // Mordad
    u"\u0634\u0647\u0631\u064A\u0648\u0631",              // Shahrivar
    u"\u0645\u0647\u0631",                                // Mehr
    u"\u0622\u0628\u0627\u0646",                          // Aban
    u"\u0622\u0630\u0631",                                // Azar
    u"\u062F\u064A",                                      // Dey
    u"\u0628\u0647\u0645\u0646",                          // Bahman
    u"\u0627\u0633\u0641\u0646\u062F",                    // Esfand
};
const char16_t* const kWeekdayNames[7] = {
    u"\u062F\u0648\u0634\u0646\u0628\u0647",                    // Monday
    u"\u0633\u0647 \u0634\u0646\u0628\u0647",                   // Tuesday
    u"\u0686\u0647\u0627\u0631\u0634\u0646\u0628\u0647",        // Wednesday
    u"\u067E\u0646\u062C\u200C\u0634\u0646\u0628\u0647",        // Thursday
    u"\u062C\u0645\u0639\u0647",                                // Friday
    u"\u0634\u0646\u0628\u0647",                                // Saturday
    u"\u064A\u0643\u0634\u0646\u0628\u0647",                    // Sunday
};

std::mutex published_mutex;
SolarTexts published;

std::u16string decimal(uint16_t v) {
  std::u16string out;
  for (char c : std::to_string(v)) out += static_cast<char16_t>(c);
  return out;
}

// Day of the week of the current system date, Monday = 1 … Sunday = 7.
int today_weekday() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return local.tm_wday == 0 ? 7 : local.tm_wday;
}

}  // namespace

bool IsLeapYear(uint8_t calendar, uint16_t year) {
  if (calendar == kSolarCalendar) return ((static_cast<uint32_t>(year) + 38) * 31) % 128 <= 30;
  return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

uint16_t DaysInMonth(uint8_t calendar, uint16_t year, uint16_t month) {
  if (calendar > kGregorianCalendar || year == 0 || month < 1 || month > 12) return 0;
  uint16_t days = kDaysInMonth[calendar][month - 1];
  if (month == kLeapMonth[calendar] && IsLeapYear(calendar, year)) ++days;
  return days;
}

bool IsValidDate(uint8_t calendar, uint16_t year, uint16_t month, uint16_t day) {
  return year != 0 && month >= 1 && month <= 12 && day >= 1 && day <= DaysInMonth(calendar, year, month);
}

uint16_t DayOfYear(uint8_t calendar, uint16_t year, uint16_t month, uint16_t day) {
  if (!IsValidDate(calendar, year, month, day)) return 0;
  uint16_t n = static_cast<uint16_t>(kDaysBefore[calendar][month - 1] + day);
  if (month > kLeapMonth[calendar] && IsLeapYear(calendar, year)) ++n;
  return n;
}

bool DayOfYearToDate(uint8_t calendar, uint16_t day_of_year, uint16_t year, uint16_t& month, uint16_t& day) {
  month = 0;
  day = 0;
  if (calendar > kGregorianCalendar) return false;
  const bool leap = IsLeapYear(calendar, year);
  uint16_t shift = 0;
  for (uint16_t m = 2; m <= 13; ++m) {
    if (m > kLeapMonth[calendar] && leap) shift = 1;
    if (day_of_year <= kDaysBefore[calendar][m - 1] + shift) {
      month = m - 1;
      if (month <= kLeapMonth[calendar]) shift = 0;
      day = static_cast<uint16_t>(day_of_year - (kDaysBefore[calendar][month - 1] + shift));
      break;
    }
  }
  return IsValidDate(calendar, year, month, day);
}

namespace {

// Days from 1 January of the year 1 (day 0) in the proleptic Gregorian calendar.
int64_t gregorian_day_number(uint16_t year, uint16_t month, uint16_t day) {
  const int64_t y = year - 1;
  return y * 365 + y / 4 - y / 100 + y / 400 + DayOfYear(kGregorianCalendar, year, month, day) - 1;
}

// Solar leap years before the given year. The leap rule repeats every 128 years with
// exactly 31 leap years in each cycle.
int64_t solar_leap_years_before(uint16_t year) {
  const int64_t cycles = (year - 1) / 128;
  int64_t leaps = cycles * 31;
  for (int64_t y = cycles * 128 + 1; y < year; ++y) leaps += IsLeapYear(kSolarCalendar, static_cast<uint16_t>(y));
  return leaps;
}

// Day number of 1 Farvardin of a Solar year. The calendar is anchored at
// 1 Farvardin 1390 = 21 March 2011 (so 31 July 2011 is 9 Mordad 1390) and counts whole
// Solar years of 365 or 366 days from there.
int64_t solar_new_year_day_number(uint16_t year) {
  static const int64_t anchor = gregorian_day_number(2011, 3, 21);
  const int64_t years = static_cast<int64_t>(year) - 1390;
  return anchor + years * 365 + solar_leap_years_before(year) - solar_leap_years_before(1390);
}

}  // namespace

bool GregorianToSolar(uint16_t& year, uint16_t& month, uint16_t& day) {
  // Meant for the Common Era from 623 on; earlier years would fall below the Solar year 1.
  if (!IsValidDate(kGregorianCalendar, year, month, day) || year < 623) return false;
  // Count days continuously: find the Solar year whose first day (1 Farvardin) is the last
  // one on or before the date, so that consecutive Gregorian days always give consecutive
  // Solar days, across every Gregorian New Year.
  const int64_t target = gregorian_day_number(year, month, day);
  uint16_t y = static_cast<uint16_t>(year - 621);
  while (solar_new_year_day_number(y) > target) --y;
  const uint16_t n = static_cast<uint16_t>(target - solar_new_year_day_number(y) + 1);
  uint16_t m = 0, d = 0;
  const bool ok = DayOfYearToDate(kSolarCalendar, n, y, m, d);
  year = y;
  month = m;
  day = d;

  std::lock_guard lock(published_mutex);
  published.SolarDateText = decimal(y) + u"-" + decimal(m) + u"-" + decimal(d);
  published.SolarMonthName = SolarMonthNameOf(m);
  published.SolarDayText = decimal(d);
  published.SolarYearText = decimal(y);
  published.SolarWeekdayName = SolarWeekdayNameOf(today_weekday());
  return ok;
}

std::u16string SolarMonthNameOf(uint16_t month) {
  return month >= 1 && month <= 12 ? kMonthNames[month - 1] : u"";
}

std::u16string SolarWeekdayNameOf(int weekday) {
  return weekday >= 1 && weekday <= 7 ? kWeekdayNames[weekday - 1] : u"";
}

const SolarTexts& PublishedSolarTexts() { return published; }

}  // namespace nilvar
