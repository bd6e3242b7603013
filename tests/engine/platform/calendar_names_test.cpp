#include "engine/platform/calendar_names.h"

#include <gtest/gtest.h>

namespace dadoveri {
namespace {

TEST(CalendarNames, EnglishWithoutALocale) {
  for (const char* locale : {"", "xx_YY"}) {
    const TCalendarNames names = CalendarNamesOf(locale);
    EXPECT_EQ(names.LongMonths[0], u"January") << locale;
    EXPECT_EQ(names.LongMonths[8], u"September") << locale;
    EXPECT_EQ(names.ShortMonths[11], u"Dec") << locale;
    EXPECT_EQ(names.LongDays[0], u"Monday") << locale;
    EXPECT_EQ(names.ShortDays[6], u"Sun") << locale;
  }
}

TEST(CalendarNames, LocaleNamesRunFromMonday) {
  const TCalendarNames german = CalendarNamesOf("de_DE");
  EXPECT_EQ(german.LongMonths[2], u"März");
  EXPECT_EQ(german.LongDays[0], u"Montag");
  EXPECT_EQ(german.LongDays[3], u"Donnerstag");
  EXPECT_EQ(german.LongDays[6], u"Sonntag");
  const TCalendarNames persian = CalendarNamesOf("fa_IR");
  EXPECT_EQ(persian.LongMonths[0], u"ژانویه");
  for (const std::u16string& name : persian.LongDays) EXPECT_FALSE(name.empty());
}

}  // namespace
}  // namespace dadoveri
