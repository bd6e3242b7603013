#include "engine/query/date_formater.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "engine/table/date_time.h"
#include "tests/engine/test_support.h"

namespace dadoveri {
namespace {

using testing::CodeOf;
using testing::MessageOf;

const TCalendarNames& English() {
  static const TCalendarNames names = CalendarNamesOf("");
  return names;
}

double At(int year, int month, int day, int hour = 0, int minute = 0, int second = 0) {
  return DateTimeToCalendar({*EncodeDayNumber(year, month, day), ((hour * 60 + minute) * 60 + second) * 1000});
}

std::u16string Format(std::u16string_view format, double value) { return TDateFormater(format, English()).FormatValue(value); }
double Parse(std::u16string_view format, std::u16string_view text) { return TDateFormater(format, English()).ParseText(text); }

std::string Utf8(const std::u16string& text) {
  std::string out;
  for (char16_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
  return out;
}

TEST(DateFormater, CompilesLongestNameFirst) {
  struct Case {
    std::u16string_view format;
    std::vector<TDateFormatElement> elements;
  };
  const Case cases[] = {
      {u"MONTH", {{dfMONTH, {}}}},
      {u"Month mon Mm m", {{dfMONTH, {}}, {dfLiteral, u" "}, {dfMON, {}}, {dfLiteral, u" "}, {dfMM, {}},
                           {dfLiteral, u" "}, {dfM, {}}}},
      {u"HH12HH24HHH12H24H", {{dfHH12, {}}, {dfHH24, {}}, {dfHH, {}}, {dfH12, {}}, {dfH24, {}}, {dfH, {}}}},
      {u"YYYYYYYEAR", {{dfYYYY, {}}, {dfYY, {}}, {dfYEAR, {}}}},
      {u"day,dd,Dy,Dw,D", {{dfDAY, {}}, {dfLiteral, u","}, {dfDD, {}}, {dfLiteral, u","}, {dfDY, {}},
                            {dfLiteral, u","}, {dfDW, {}}, {dfLiteral, u","}, {dfD, {}}}},
      // Characters that start no name gather into one literal.
      {u"DDDDDDAYDY", {{dfDDD, {}}, {dfDDD, {}}, {dfLiteral, u"AY"}, {dfDY, {}}}},
      {u"Q RM NN N SS S AMPM", {{dfQ, {}}, {dfLiteral, u" "}, {dfRM, {}}, {dfLiteral, u" "}, {dfNN, {}}, {dfLiteral, u" "},
                                {dfN, {}}, {dfLiteral, u" "}, {dfSS, {}}, {dfLiteral, u" "}, {dfS, {}}, {dfLiteral, u" "},
                                {dfAMPM, {}}}},
      // Quoted text is literal, quotes dropped, the other quote character ordinary.
      {u"\"Year:\" YYYY", {{dfLiteral, u"Year:"}, {dfLiteral, u" "}, {dfYYYY, {}}}},
      {u"'it\"s' \"it's\"", {{dfLiteral, u"it\"s"}, {dfLiteral, u" "}, {dfLiteral, u"it's"}}},
      {u"''YY", {{dfYY, {}}}},
      {u"at: ", {{dfLiteral, u"at: "}}},
      {u"", {}},
  };
  for (const Case& c : cases) {
    // Letter case does not matter, apart from the literals' own text.
    EXPECT_EQ(TDateFormater(c.format, English()).Elements(), c.elements) << Utf8(std::u16string(c.format));
  }
}

TEST(DateFormater, FormatsEveryElement) {
  // 2024-12-31 was a Tuesday, day 366 of a leap year.
  const double evening = At(2024, 12, 31, 23, 5, 9);
  const double noon = At(2008, 3, 7, 12, 30, 0);
  const double midnight = At(1999, 9, 5, 0, 7, 3);  // a Sunday
  struct Case {
    std::u16string_view format;
    double value;
    std::u16string_view text;
  };
  const Case cases[] = {
      {u"YYYY-MM-DD", At(2008, 3, 7), u"2008-03-07"},
      {u"DD.MM.YY", At(2008, 3, 7), u"07.03.08"},
      {u"YYYY YEAR YY Q", evening, u"2024 2024 24 4"},
      {u"MONTH MON MM M RM", evening, u"December Dec 12 12 XII"},
      {u"MONTH MON MM M RM", noon, u"March Mar 03 3 III"},
      {u"RM", At(2008, 8, 1), u"VIII"},
      {u"DAY DDD DD D DY DW", evening, u"Tuesday Tue 31 31 366 2"},
      {u"DAY DDD DD D DY DW", midnight, u"Sunday Sun 05 5 248 7"},
      {u"HH12 HH H12 H HH24 H24 NN N SS S AMPM", evening, u"11 11 11 11 23 23 05 5 09 9 PM"},
      {u"HH12 HH H12 H HH24 H24 NN N SS S AMPM", noon, u"00 00 0 0 12 12 30 30 00 0 PM"},
      {u"HH12 HH H12 H HH24 H24 NN N SS S AMPM", midnight, u"00 00 0 0 00 0 07 7 03 3 AM"},
      {u"\"Year:\" YYYY", noon, u"Year: 2008"},
      {u"YYYY", At(5, 1, 1), u"0005"},
  };
  for (const Case& c : cases) {
    const TDateFormater formater(c.format, English());
    EXPECT_EQ(formater.FormatValue(c.value), c.text) << Utf8(std::u16string(c.format));
    EXPECT_LE(static_cast<int32_t>(c.text.size()), formater.GetDataSize()) << Utf8(std::u16string(c.format));
  }
}

TEST(DateFormater, ReadsTheSpecifiedExamples) {
  EXPECT_EQ(Parse(u"DD/MM/YYYY", u"07/03/2008"), At(2008, 3, 7));
  EXPECT_EQ(TDateFormater(u"DD/MM/YYYY", English()).GetDataType(), ctDate);
  EXPECT_EQ(Parse(u"HH24:NN", u"14:05"), TimeToCalendar((14 * 60 + 5) * 60000));
  EXPECT_EQ(TDateFormater(u"HH24:NN", English()).GetDataType(), ctTime);
  EXPECT_EQ(TDateFormater(u"YYYY HH", English()).GetDataType(), ctDateTime);
  EXPECT_EQ(TDateFormater(u"'at'", English()).GetDataType(), ctDateTime);
  // A year without month and day leaves the date at day 0.
  EXPECT_EQ(Parse(u"YY", u"08"), 0.0);
  EXPECT_EQ(Parse(u"MM/DD", u"03/07"), 0.0);
  // YY splits the century at 30.
  EXPECT_EQ(Parse(u"YY-MM-DD", u"29-01-02"), At(2029, 1, 2));
  EXPECT_EQ(Parse(u"YY-MM-DD", u"30-01-02"), At(1930, 1, 2));
  // Q sets the first month of the quarter; DY sets month and day within the year.
  EXPECT_EQ(Parse(u"YYYY Q D", u"2010 3 9"), At(2010, 7, 9));
  EXPECT_EQ(Parse(u"YYYY-DY", u"2024-366"), At(2024, 12, 31));
  EXPECT_EQ(Parse(u"YYYY-DY", u"2023-60"), At(2023, 3, 1));
  // Names in any letter case; the longest name that fits wins.
  EXPECT_EQ(Parse(u"DD MONTH YYYY", u"07 march 2008"), At(2008, 3, 7));
  EXPECT_EQ(Parse(u"DD-MON-YYYY", u"07-MAR-2008"), At(2008, 3, 7));
  EXPECT_EQ(Parse(u"RM/YYYY/DD", u"viii/2008/01"), At(2008, 8, 1));
  EXPECT_EQ(Parse(u"RM/YYYY/DD", u"III/2008/01"), At(2008, 3, 1));
  EXPECT_EQ(Parse(u"DAY, DD.MM.YYYY", u"friday, 07.03.2008"), At(2008, 3, 7));
  // One- or two-digit fields.
  EXPECT_EQ(Parse(u"D.M.YYYY H:N:S", u"7.3.2008 9:5:1"), At(2008, 3, 7, 9, 5, 1));
  EXPECT_EQ(Parse(u"D.M.YYYY H24:N:S", u"17.12.2008 19:45:31"), At(2008, 12, 17, 19, 45, 31));
  // Literal text is skipped by its length, whatever it holds.
  EXPECT_EQ(Parse(u"\"Year:\" YYYY-MM-DD", u"Jahr: 2008-03-07"), At(2008, 3, 7));
}

TEST(DateFormater, TwelveHourClock) {
  struct Case {
    std::u16string_view format;
    std::u16string_view text;
    int hour;
  };
  const Case cases[] = {
      {u"HH12:NN AMPM", u"12:30 AM", 0},  {u"HH12:NN AMPM", u"12:30 PM", 12}, {u"HH12:NN AMPM", u"00:30 PM", 12},
      {u"HH12:NN AMPM", u"00:30 am", 0},  {u"H:NN AMPM", u"1:30 pm", 13},     {u"H12:NN AMPM", u"11:30 PM", 23},
      {u"AMPM HH:NN", u"PM 12:30", 12},   {u"AMPM HH:NN", u"AM 12:30", 0},    {u"HH12:NN", u"12:30", 12},
      {u"HH24:NN AMPM", u"01:30 PM", 13}, {u"AMPM", u"PM", 12},
  };
  for (const Case& c : cases)
    EXPECT_EQ(Parse(c.format, c.text), TimeToCalendar((c.hour * 60 + 30 * (c.format != u"AMPM")) * 60000))
        << Utf8(std::u16string(c.text));
}

// Every element written and read back: every day of 1999-2032 at a time that walks round
// the clock, and every minute of a few days, with the text never longer than GetDataSize.
void ExpectRoundTrip(const TDateFormater& formater, double value, const char* what) {
  const std::u16string text = formater.FormatValue(value);
  ASSERT_LE(static_cast<int32_t>(text.size()), formater.GetDataSize()) << what << " " << Utf8(text);
  ASSERT_EQ(CalendarToDateTime(formater.ParseText(text)), CalendarToDateTime(value)) << what << " " << Utf8(text);
}

TEST(DateFormater, WritesAndReadsBackEveryDay) {
  const TDateFormater formats[] = {
      TDateFormater(u"YYYY-MM-DD HH24:NN:SS DAY DDD DY DW Q", English()),
      TDateFormater(u"DAY, D MONTH YEAR, H12.N.S AMPM", English()),
      TDateFormater(u"DDD DD-MON-YYYY HH:NN:SS AMPM", English()),
      TDateFormater(u"'rm' RM/D/YYYY H24 N S", English()),
      TDateFormater(u"YYYY/DY HH12:NN:SS AMPM", English()),
  };
  const TDateFormater two_digit_year(u"YY/M/D H:NN:SS AMPM", English());
  const int32_t first = *EncodeDayNumber(1999, 1, 1), last = *EncodeDayNumber(2032, 12, 31);
  for (int32_t day = first; day <= last; ++day) {
    // Midnight, noon, and a time that moves by 1h 7m 13s a day, so the hours, minutes and
    // seconds all come round.
    for (const int32_t seconds : {0, 12 * 3600, (day - first) * 4033 % 86400}) {
      const double value = DateTimeToCalendar({day, seconds * 1000});
      for (const TDateFormater& formater : formats) ExpectRoundTrip(formater, value, "day");
      if (day < *EncodeDayNumber(2030, 1, 1)) ExpectRoundTrip(two_digit_year, value, "two-digit year");
    }
  }
}

TEST(DateFormater, WritesAndReadsBackEveryMinute) {
  const TDateFormater formats[] = {
      TDateFormater(u"HH12:NN AMPM YYYY-MM-DD", English()),
      TDateFormater(u"AMPM H.N D.M.YYYY", English()),
      TDateFormater(u"HH24NN", English()),
  };
  const int32_t days[] = {*EncodeDayNumber(1999, 12, 31), *EncodeDayNumber(2024, 2, 29), *EncodeDayNumber(2032, 12, 31)};
  for (int32_t day : days)
    for (int32_t minute = 0; minute < 24 * 60; ++minute)
      for (const TDateFormater& formater : formats) {
        const bool has_date = formater.GetDataType() != ctTime;
        ExpectRoundTrip(formater, DateTimeToCalendar({has_date ? day : kDateDelta, minute * 60000}), "minute");
      }
}

TEST(DateFormater, LocaleNamesFitTheSize) {
  // Every month and weekday name of a few locales, written and read back; the size counts
  // the locale's longest names.
  for (const char* locale : {"", "en_US", "de_DE", "fa_IR", "ru_RU", "pt_BR"}) {
    const TCalendarNames names = CalendarNamesOf(locale);
    const TDateFormater formater(u"DAY DDD DD MONTH MON YYYY", names);
    size_t longest_written = 0;
    for (int month = 1; month <= 12; ++month)
      for (int day = 1; day <= 7; ++day) {
        const double value = At(2024, month, day);
        longest_written = std::max(longest_written, formater.FormatValue(value).size());
        ExpectRoundTrip(formater, value, locale);
      }
    EXPECT_EQ(static_cast<size_t>(formater.GetDataSize()), longest_written) << locale;
  }
}

TEST(DateFormater, BadFormats) {
  EXPECT_EQ(MessageOf([] { TDateFormater(u"'DD", English()); }),
            "Unterminated quoted text in date format ''DD' - Native error: 40409");
  EXPECT_EQ(CodeOf([] { TDateFormater(u"YYYY \"x", English()); }), 40409);
  const auto unknown = static_cast<TDateFormatType>(27);
  EXPECT_EQ(MessageOf([&] { TDateFormater({{dfYYYY, {}}, {unknown, {}}}, English()); }),
            "Unknown DateFormatType - Native error: 40400");
}

TEST(DateFormater, BadTexts) {
  struct Case {
    std::u16string_view format;
    std::u16string_view text;
    const char* message;
  };
  const Case cases[] = {
      {u"DD/MM/YYYY", u"07/03/20x8", "Number expected for date format element 'YYYY', but '20x8' found - Native error: 40401"},
      {u"DD/MM/YYYY", u"7/03/2008", "Number expected for date format element 'DD', but '7/' found - Native error: 40401"},
      {u"DD/MM/YYYY", u"07/03/208", "Number expected for date format element 'YYYY', but '208' found - Native error: 40401"},
      {u"D.M.YYYY", u"x.3.2008", "Number expected for date format element 'D', but 'x.' found - Native error: 40401"},
      {u"HH24:NN", u"-1:05", "Number expected for date format element 'HH24', but '-1' found - Native error: 40401"},
      {u"DD/MM/YYYY", u"07/03/", "Date text ends before date format element 'YYYY' - Native error: 40402"},
      {u"DD/MM/YYYY", u"", "Date text ends before date format element 'DD' - Native error: 40402"},
      {u"MONTH YYYY", u"Mars 2008", "Month name expected, but 'Mars 2008' found - Native error: 40403"},
      {u"MON YYYY", u"Ma 2008", "Month name expected, but 'Ma ' found - Native error: 40403"},
      {u"RM YYYY", u"Q 2008", "Roman month numeral expected, but 'Q 20' found - Native error: 40404"},
      {u"DAY", u"Someday", "Day name expected, but 'Someday' found - Native error: 40405"},
      {u"DDD", u"xyz", "Day name expected, but 'xyz' found - Native error: 40405"},
      {u"DD/MM/YYYY", u"30/02/2008", "Invalid date: year 2008, month 2, day 30 - Native error: 40406"},
      {u"DD/MM/YYYY", u"29/02/2100", "Invalid date: year 2100, month 2, day 29 - Native error: 40406"},
      {u"DD/MM/YYYY", u"01/13/2008", "Value 13 out of range for date format element 'MM' - Native error: 40408"},
      {u"DD/MM/YYYY", u"00/12/2008", "Value 0 out of range for date format element 'DD' - Native error: 40408"},
      {u"D/M/YYYY", u"32/1/2008", "Value 32 out of range for date format element 'D' - Native error: 40408"},
      {u"Q YYYY", u"5 2008", "Value 5 out of range for date format element 'Q' - Native error: 40408"},
      {u"YYYY DY", u"2023 366", "Value 366 out of range for date format element 'DY' - Native error: 40408"},
      {u"DY", u"0", "Value 0 out of range for date format element 'DY' - Native error: 40408"},
      {u"DW", u"8", "Value 8 out of range for date format element 'DW' - Native error: 40408"},
      {u"HH12 AMPM", u"13 PM", "Value 13 out of range for date format element 'HH12' - Native error: 40408"},
      {u"HH24:NN", u"24:00", "Invalid time: hour 24, minute 0, second 0 - Native error: 40407"},
      {u"HH24:NN:SS", u"23:60:00", "Invalid time: hour 23, minute 60, second 0 - Native error: 40407"},
      {u"H:N:S", u"1:2:75", "Invalid time: hour 1, minute 2, second 75 - Native error: 40407"},
      {u"HH24 AMPM", u"13 PM", "Invalid time: hour 25, minute 0, second 0 - Native error: 40407"},
      {u"HH12:NN AMPM", u"11:30 XM", "AM/PM word expected, but 'XM' found - Native error: 30129"},
      {u"HH12:NN AMPM", u"11:30 P", "AM/PM word expected, but 'P' found - Native error: 30129"},
      {u"HH12:NN AMPM", u"11:30", "AM/PM word expected, but '' found - Native error: 30129"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(MessageOf([&] { Parse(c.format, c.text); }), c.message) << Utf8(std::u16string(c.text));
}

TEST(DateFormater, ValuesOutsideTheCalendar) {
  EXPECT_EQ(Format(u"YYYY-MM-DD", At(1, 1, 1)), u"0001-01-01");
  EXPECT_EQ(Format(u"YYYY-MM-DD", At(9999, 12, 31)), u"9999-12-31");
  EXPECT_EQ(Format(u"YYYY-MM-DD HH24:NN", -1.25), u"1899-12-29 06:00");
  EXPECT_EQ(CodeOf([] { Format(u"YYYY", At(1, 1, 1) - 1); }), 40410);
  EXPECT_EQ(CodeOf([] { Format(u"YYYY", At(9999, 12, 31) + 1); }), 40410);
  EXPECT_EQ(CodeOf([] { Format(u"YYYY", At(9999, 12, 31) + 0.9999999999999); }), 40410);
  EXPECT_EQ(CodeOf([] { Format(u"YYYY", 1e300); }), 40410);
  EXPECT_EQ(CodeOf([] { Format(u"YYYY", std::nan("")); }), 40410);
  EXPECT_EQ(MessageOf([] { Format(u"YYYY", -1e6); }), "Date-time value -1000000 out of range - Native error: 40410");
}

}  // namespace
}  // namespace dadoveri
