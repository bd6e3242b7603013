#include "engine/base/persian_letters.h"

#include <gtest/gtest.h>

namespace dadoveri {
namespace {

TEST(PersianLetters, ArabicFormsBecomePersianAndNothingElseChanges) {
  struct Case {
    std::u16string in, out;
  };
  const Case cases[] = {
      {u"\u0639\u0644\u064A", u"\u0639\u0644\u06CC"},   // final Arabic yeh
      {u"\u0645\u0648\u0633\u0649", u"\u0645\u0648\u0633\u06CC"},  // alef maksura
      {u"\u0643\u062A\u0627\u0628", u"\u06A9\u062A\u0627\u0628"},  // Arabic kaf
      {u"\u06CC\u06A9", u"\u06CC\u06A9"},                // already Persian
      {u"\u0626\u0624\u0629 abc \u064B", u"\u0626\u0624\u0629 abc \u064B"},  // hamza forms, Latin, marks
      {u"", u""},
  };
  for (const Case& c : cases) EXPECT_EQ(NormalisePersianLetters(c.in), c.out);
}

}  // namespace
}  // namespace dadoveri
