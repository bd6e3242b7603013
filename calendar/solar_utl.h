// Solar Hijri (Persian) calendar: conversion of a Gregorian date with integer arithmetic,
// and the published texts of the last conversion (date, month name, day, year, weekday).
#pragma once

#include <cstdint>
#include <string>

namespace nilvar {

// Calendar selector of the operations below.
enum : uint8_t { kSolarCalendar = 0, kGregorianCalendar = 1 };

bool IsLeapYear(uint8_t calendar, uint16_t year);
// Days of the month; 0 for year 0 or a month outside 1..12.
uint16_t DaysInMonth(uint8_t calendar, uint16_t year, uint16_t month);
bool IsValidDate(uint8_t calendar, uint16_t year, uint16_t month, uint16_t day);
// 1-based day of the year; 0 for an invalid date.
uint16_t DayOfYear(uint8_t calendar, uint16_t year, uint16_t month, uint16_t day);
// Month and day of the n-th day of a year; true when the resulting date is valid.
bool DayOfYearToDate(uint8_t calendar, uint16_t day_of_year, uint16_t year, uint16_t& month,
                     uint16_t& day);
// Converts a Gregorian date in place. Returns false and changes nothing (the published
// texts included) when the date is invalid or lies before the year 623.
bool GregorianToSolar(uint16_t& year, uint16_t& month, uint16_t& day);

// Month name 1..12 and weekday name (Monday = 1 … Sunday = 7); empty outside the range.
std::u16string SolarMonthNameOf(uint16_t month);
std::u16string SolarWeekdayNameOf(int weekday);

// Texts published by the last successful conversion; empty before the first one.
struct SolarTexts {
  std::u16string SolarDateText;     // "1390-5-9"
  std::u16string SolarMonthName;    // name of the converted month
  std::u16string SolarDayText;      // "9"
  std::u16string SolarYearText;     // "1390"
  std::u16string SolarWeekdayName;  // weekday of the current system date
};
const SolarTexts& PublishedSolarTexts();

}  // namespace nilvar
