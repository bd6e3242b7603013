#include "engine/platform/locale.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace dadoveri {
namespace {

TEST(Locale, EnvironmentSelectsTheLocale) {
  const char* saved[3];
  const char* names[] = {"LC_ALL", "LC_COLLATE", "LANG"};
  std::string copies[3];
  for (int i = 0; i < 3; ++i) {
    saved[i] = std::getenv(names[i]);
    if (saved[i]) copies[i] = saved[i];
  }
  setenv("LC_ALL", "", 1);
  setenv("LC_COLLATE", "fa_IR.UTF-8", 1);
  setenv("LANG", "de_DE.UTF-8", 1);
  EXPECT_EQ(LocaleFromEnvironment(), "fa_IR");
  setenv("LC_ALL", "sv_SE.ISO-8859-1@euro", 1);
  EXPECT_EQ(LocaleFromEnvironment(), "sv_SE");
  setenv("LC_ALL", "C.UTF-8", 1);
  EXPECT_EQ(LocaleFromEnvironment(), "");
  for (int i = 0; i < 3; ++i) {
    if (saved[i])
      setenv(names[i], copies[i].c_str(), 1);
    else
      unsetenv(names[i]);
  }
}

TEST(Locale, CollationFollowsTheLocale) {
  // Swedish sorts a-ring after z; the root order puts it beside a.
  const TUserLocale root(""), swedish("sv_SE");
  EXPECT_LT(root.Compare(u"\u00e5", u"z", false), 0);
  EXPECT_GT(swedish.Compare(u"\u00e5", u"z", false), 0);
  // Letters before case, case before identity.
  EXPECT_LT(root.Compare(u"a", u"B", false), 0);
  EXPECT_LT(root.Compare(u"ab", u"Ab", false), 0);
  EXPECT_EQ(root.Compare(u"Ab", u"aB", true), 0);
  EXPECT_NE(root.Compare(u"e", u"\u00e9", true), 0);  // accents still count without case
  EXPECT_EQ(root.Compare(u"stra\u00dfe", u"STRASSE", true), 0);  // full case folding
  // Texts the collation ranks equal are still told apart, by their code units.
  const std::u16string composed = u"\u00e9", decomposed = u"e\u0301";
  EXPECT_NE(root.Compare(composed, decomposed, false), 0);
  EXPECT_EQ(root.Compare(composed, decomposed, false), -root.Compare(decomposed, composed, false));
}

TEST(Locale, CaseMapping) {
  const TUserLocale root(""), turkish("tr_TR");
  EXPECT_EQ(root.UpperCase(u"abc \u0641 \u00e9"), u"ABC \u0641 \u00c9");
  EXPECT_EQ(root.LowerCase(u"ABC\u00c9"), u"abc\u00e9");
  EXPECT_EQ(root.UpperCase(u"stra\u00dfe"), u"STRASSE");
  EXPECT_EQ(turkish.UpperCase(u"i"), u"\u0130");
  EXPECT_EQ(root.UpperCase(u""), u"");
}

}  // namespace
}  // namespace dadoveri
