// The engine's date and time values: a day number (0001-01-01 of the proleptic Gregorian
// calendar is day 1) and milliseconds since midnight; their calendar form (days since
// 1899-12-30 with the time as the fraction); the dataset layer's native date-time; and the
// texts dates and times are written as and read from.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace dadoveri {

// Day number of 1899-12-30, the calendar's day 0.
inline constexpr int32_t kDateDelta = 693594;
inline constexpr int32_t kMSecsPerDay = 86400000;

// A btDateTime: day number first, then milliseconds (the record's byte order).
struct TABSDateTime {
  int32_t Date = 0;
  int32_t Time = 0;
  bool operator==(const TABSDateTime&) const = default;
};

// Day number of a Gregorian date; nullopt when the date does not exist (year 1..9999).
std::optional<int32_t> EncodeDayNumber(int year, int month, int day);
// Gregorian date of a day number (any day number >= 1).
void DecodeDayNumber(int32_t day_number, int& year, int& month, int& day);

// Calendar value (days since 1899-12-30, time as fraction) and back.
int32_t CalendarToDayNumber(double calendar);
int32_t CalendarToTime(double calendar);
TABSDateTime CalendarToDateTime(double calendar);
double DayNumberToCalendar(int32_t day_number);
double TimeToCalendar(int32_t msecs);
double DateTimeToCalendar(const TABSDateTime& value);

// The dataset layer's native date-time: milliseconds since the start of 0001-01-01, as a
// double. Dates and times are native already (a day number and a millisecond count).
double DateTimeToNative(const TABSDateTime& value);
TABSDateTime NativeToDateTime(double native);

// Texts. The engine's own forms are "YYYY-MM-DD", "HH:MM:SS" (optionally ".ZZZ") and the
// two joined by a blank; one-digit parts and surrounding blanks are accepted. The locale
// forms follow the user locale's short date (field order and separator, four-digit year)
// and a 24-hour time with milliseconds when there are any.
std::optional<int32_t> ParseEngineDate(std::string_view text);
std::optional<int32_t> ParseEngineTime(std::string_view text);
std::optional<TABSDateTime> ParseEngineDateTime(std::string_view text);
std::optional<int32_t> ParseLocaleDate(std::string_view text);
std::optional<int32_t> ParseLocaleTime(std::string_view text);
std::optional<TABSDateTime> ParseLocaleDateTime(std::string_view text);
std::string FormatLocaleDate(int32_t day_number);
std::string FormatLocaleTime(int32_t msecs);
std::string FormatLocaleDateTime(const TABSDateTime& value);

}  // namespace dadoveri
