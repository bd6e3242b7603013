#include "calendar/solar_utl.h"

#include <gtest/gtest.h>

#include <tuple>

namespace nilvar {
namespace {

using Date = std::tuple<uint16_t, uint16_t, uint16_t>;

Date convert(Date g) {
  auto [y, m, d] = g;
  EXPECT_TRUE(GregorianToSolar(y, m, d)) << std::get<0>(g) << "-" << std::get<1>(g) << "-" << std::get<2>(g);
  return {y, m, d};
}

TEST(SolarUtl, KnownConversions) {
  const std::pair<Date, Date> cases[] = {
      {{2011, 7, 31}, {1390, 5, 9}},   {{2021, 3, 20}, {1399, 12, 30}}, {{2021, 3, 21}, {1400, 1, 1}},
      {{2024, 3, 19}, {1402, 12, 29}}, {{2024, 3, 20}, {1403, 1, 1}},   {{2000, 1, 1}, {1378, 10, 11}},
      {{2012, 2, 29}, {1390, 12, 10}},
      // 1403 is a common year under the leap rule: its 365 days run from 20 March 2024 to
      // 19 March 2025, and the leap year 1404 starts the next day.
      {{2025, 3, 19}, {1403, 12, 29}}, {{2025, 3, 20}, {1404, 1, 1}},  {{2026, 3, 20}, {1404, 12, 30}},
      // Across the Gregorian New Year the Solar days run on without a repeat or a gap.
      {{2024, 12, 31}, {1403, 10, 11}}, {{2025, 1, 1}, {1403, 10, 12}},
  };
  for (const auto& [gregorian, solar] : cases) EXPECT_EQ(convert(gregorian), solar);
}

TEST(SolarUtl, PublishedTexts) {
  uint16_t y = 2011, m = 7, d = 31;
  ASSERT_TRUE(GregorianToSolar(y, m, d));
  const SolarTexts& t = PublishedSolarTexts();
  EXPECT_EQ(t.SolarDateText, u"1390-5-9");
  EXPECT_EQ(t.SolarMonthName, u"\u0645\u0631\u062F\u0627\u062F");
  EXPECT_EQ(t.SolarDayText, u"9");
  EXPECT_EQ(t.SolarYearText, u"1390");
  EXPECT_FALSE(t.SolarWeekdayName.empty());

  // A rejected date leaves the texts as they were.
  uint16_t by = 2011, bm = 2, bd = 30;
  EXPECT_FALSE(GregorianToSolar(by, bm, bd));
  EXPECT_EQ(PublishedSolarTexts().SolarDateText, u"1390-5-9");
}

TEST(SolarUtl, WeekdayNames) {
  EXPECT_EQ(SolarWeekdayNameOf(7), u"\u064A\u0643\u0634\u0646\u0628\u0647");
  EXPECT_EQ(SolarWeekdayNameOf(6), u"\u0634\u0646\u0628\u0647");
  EXPECT_EQ(SolarWeekdayNameOf(2), u"\u0633\u0647 \u0634\u0646\u0628\u0647");
  EXPECT_EQ(SolarWeekdayNameOf(4), u"\u067E\u0646\u062C\u200C\u0634\u0646\u0628\u0647");
  EXPECT_EQ(SolarWeekdayNameOf(0), u"");
  EXPECT_EQ(SolarWeekdayNameOf(8), u"");
}

TEST(SolarUtl, InvalidDatesAreRejectedUnchanged) {
  const Date cases[] = {{2011, 2, 30}, {2011, 13, 1}, {2011, 0, 1}, {2011, 4, 31}, {0, 1, 1},
                        {2011, 1, 0},  {2023, 2, 29}, {622, 6, 1}};
  for (const Date& c : cases) {
    auto [y, m, d] = c;
    EXPECT_FALSE(GregorianToSolar(y, m, d));
    EXPECT_EQ(Date(y, m, d), c);
  }
}

TEST(SolarUtl, TablesAndLeapRules) {
  EXPECT_TRUE(IsLeapYear(kSolarCalendar, 1399));
  EXPECT_FALSE(IsLeapYear(kSolarCalendar, 1403));
  EXPECT_TRUE(IsLeapYear(kSolarCalendar, 1404));
  EXPECT_TRUE(IsLeapYear(kGregorianCalendar, 2000));
  EXPECT_FALSE(IsLeapYear(kGregorianCalendar, 1900));
  EXPECT_EQ(DaysInMonth(kSolarCalendar, 1399, 12), 30);
  EXPECT_EQ(DaysInMonth(kSolarCalendar, 1400, 12), 29);
  EXPECT_EQ(DaysInMonth(kGregorianCalendar, 2012, 2), 29);
  EXPECT_EQ(DaysInMonth(kGregorianCalendar, 0, 2), 0);
  EXPECT_EQ(DaysInMonth(kGregorianCalendar, 2012, 13), 0);
  EXPECT_EQ(DayOfYear(kGregorianCalendar, 2012, 3, 1), 61);
  EXPECT_EQ(DayOfYear(kGregorianCalendar, 2011, 3, 1), 60);
  EXPECT_EQ(DayOfYear(kSolarCalendar, 1399, 12, 30), 366);
  EXPECT_EQ(DayOfYear(kSolarCalendar, 1400, 12, 30), 0);
  uint16_t m, d;
  EXPECT_FALSE(DayOfYearToDate(kSolarCalendar, 366, 1400, m, d));
  EXPECT_TRUE(DayOfYearToDate(kSolarCalendar, 366, 1399, m, d));
  EXPECT_EQ(std::make_pair(m, d), std::make_pair(uint16_t(12), uint16_t(30)));
}

// Every day from 623 to 3000 CE: consecutive Gregorian days give consecutive Solar days,
// and DayOfYear and DayOfYearToDate agree in both calendars.
TEST(SolarUtl, EveryDayFrom623To3000IsConsecutive) {
  Date previous{0, 0, 0};
  int mismatches = 0;
  for (uint16_t gy = 623; gy <= 3000; ++gy) {
    for (uint16_t gm = 1; gm <= 12; ++gm) {
      for (uint16_t gd = 1; gd <= DaysInMonth(kGregorianCalendar, gy, gm); ++gd) {
        uint16_t n = DayOfYear(kGregorianCalendar, gy, gm, gd);
        uint16_t rm, rd;
        ASSERT_TRUE(DayOfYearToDate(kGregorianCalendar, n, gy, rm, rd));
        ASSERT_EQ(Date(gy, rm, rd), Date(gy, gm, gd));

        uint16_t y = gy, m = gm, d = gd;
        ASSERT_TRUE(GregorianToSolar(y, m, d)) << gy << "-" << gm << "-" << gd;
        const uint16_t sn = DayOfYear(kSolarCalendar, y, m, d);
        ASSERT_NE(sn, 0);
        ASSERT_TRUE(DayOfYearToDate(kSolarCalendar, sn, y, rm, rd));
        ASSERT_EQ(Date(y, rm, rd), Date(y, m, d));

        if (std::get<0>(previous) != 0) {
          auto [py, pm, pd] = previous;
          Date expected = pd < DaysInMonth(kSolarCalendar, py, pm) ? Date(py, pm, pd + 1)
                          : pm < 12                                ? Date(py, pm + 1, 1)
                                                                   : Date(py + 1, 1, 1);
          if (expected != Date(y, m, d) && ++mismatches <= 10)
            ADD_FAILURE() << "Gregorian " << gy << "-" << gm << "-" << gd << " gives " << y << "-" << m << "-" << d
                          << " after " << py << "-" << pm << "-" << pd;
        }
        previous = {y, m, d};
      }
    }
  }
  EXPECT_EQ(mismatches, 0);
}

}  // namespace
}  // namespace nilvar
