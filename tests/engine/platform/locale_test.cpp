#include "engine/platform/locale.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

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

namespace dadoveri {
namespace {

// Random texts over printable ASCII (punctuation, blanks, digits, both cases), with some
// accented and Persian letters and control characters mixed into a share of them.
std::vector<std::u16string> mixed_texts(uint32_t seed, size_t count) {
  std::mt19937 random(seed);
  const std::u16string extra = u"\u00e9\u00c9\u00df\u0130\u0131\u06a9\u0643\u06cc\u064a\u0627\t\u0001";
  std::vector<std::u16string> out;
  for (size_t i = 0; i < count; ++i) {
    std::u16string s;
    const size_t n = random() % 7;
    for (size_t k = 0; k < n; ++k) {
      // A small alphabet makes shared prefixes and case-only differences frequent.
      const uint32_t pick = random() % 20;
      if (pick < 16)
        s += static_cast<char16_t>(u"aAbBcC-' .,09zZ_~"[pick]);
      else if (pick < 18)
        s += static_cast<char16_t>(0x20 + random() % 95);
      else if (i % 3 == 0)
        s += extra[random() % extra.size()];
    }
    out.push_back(s);
  }
  return out;
}

TEST(Locale, AsciiFastPathGivesTheCollatorsAnswers) {
  // Root and English take the fast path; Czech ("ch") and Danish ("aa") have ASCII
  // contractions and must not.
  for (const char* name : {"", "en_US", "de_DE", "fr_CA", "sv_SE", "fa_IR", "cs_CZ", "da_DK"}) {
    SCOPED_TRACE(name);
    const TUserLocale locale(name);
    const std::string n = name;
    if (n == "" || n == "en_US") {
      EXPECT_TRUE(locale.HasAsciiFastPath());
    }
    if (n == "cs_CZ" || n == "da_DK") {
      EXPECT_FALSE(locale.HasAsciiFastPath());
    }
    const std::vector<std::u16string> texts = mixed_texts(5, 1500);
    std::mt19937 random(6);
    for (int k = 0; k < 30000; ++k) {
      const std::u16string& a = texts[random() % texts.size()];
      const std::u16string& b = texts[random() % texts.size()];
      for (bool ci : {false, true}) {
        ASSERT_EQ(locale.Compare(a, b, ci),
                  locale.CompareWithCollator(a.data(), static_cast<int32_t>(a.size()), b.data(),
                                             static_cast<int32_t>(b.size()), ci))
            << "case-insensitive " << ci;
      }
    }
  }
}

TEST(Locale, SortKeyHeadIsTheWholeKeysBeginning) {
  // Bound tests compare only a sort key's first bytes; those must be the whole key's, in
  // every locale the dictionary and the tests use, for mixed and non-Latin texts.
  for (const char* name : {"", "fa_IR", "cs_CZ", "da_DK", "tr_TR"}) {
    SCOPED_TRACE(name);
    const TUserLocale locale(name);
    std::vector<std::u16string> texts = mixed_texts(5, 300);
    texts.push_back(u"\u06a9\u062a\u0627\u0628 \u0627\u0644\u06a9\u062a\u0631\u0648\u0646\u06cc\u06a9\u06cc");
    texts.push_back(u"chchch a long text with several words");
    bool took_head = false;
    for (const std::u16string& text : texts)
      for (bool ci : {false, true}) {
        const std::string whole = locale.SortKey(text, ci);
        for (size_t bytes = 1; bytes <= whole.size() + 2; ++bytes) {
          const std::string head = locale.SortKeyHead(text, ci, bytes);
          if (head.size() == bytes && head != whole) took_head = true;
          ASSERT_TRUE(head == whole || head == whole.substr(0, bytes)) << "bytes " << bytes;
        }
      }
    // On this machine's ICU the incremental key agrees, so heads are really taken.
    EXPECT_TRUE(took_head);
  }
}

TEST(Locale, PrefixBoundsEncloseTextsThatCompleteAContraction) {
  // Alef and waw begin contractions with a following combining hamza or madda, which sort
  // as letters of their own (alef with madda, waw with hamza); Czech "c" begins "ch". A
  // prefix ending in such a letter keeps bounds, and they enclose every text beginning
  // with it, whether or not the text completes the contraction.
  struct Case {
    const char* locale;
    std::u16string prefix;
    std::vector<std::u16string> texts;
  };
  const std::vector<Case> cases = {
      {"", u"\u0627", {u"\u0627", u"\u0627\u0628", u"\u0627\u0653\u0628", u"\u0627\u0654", u"\u0627\u0655\u0644"}},
      {"fa_IR", u"\u0627", {u"\u0627\u0633\u0628", u"\u0627\u0653\u0628", u"\u0627\u064b\u0654"}},
      {"fa_IR", u"\u0648", {u"\u0648", u"\u0648\u0627\u0698\u0647", u"\u0648\u0654\u0645"}},
      {"", u"\u0628\u0648", {u"\u0628\u0648\u062f", u"\u0628\u0648\u0654"}},
      {"cs_CZ", u"c", {u"c", u"ca", u"ch", u"chz", u"cz"}},
      {"cs_CZ", u"Ac", {u"Aci", u"ACH", u"achy"}},
  };
  for (const Case& c : cases) {
    const TUserLocale locale(c.locale);
    for (bool ci : {false, true}) {
      SCOPED_TRACE(std::string(c.locale) + (ci ? " without case" : ""));
      std::string lower, upper;
      ASSERT_EQ(locale.PrefixSortKeyBounds(c.prefix, ci, lower, upper), static_cast<int32_t>(c.prefix.size()));
      for (const std::u16string& text : c.texts) {
        if (ci ? TUserLocale::FoldCase(text).rfind(TUserLocale::FoldCase(c.prefix), 0) != 0
               : text.rfind(c.prefix, 0) != 0)
          continue;
        const std::string key = locale.SortKey(text, ci);
        EXPECT_LT(lower, key) << text.size();
        EXPECT_GT(upper, key) << text.size();
      }
      // The same bounds as disjoint intervals, ascending: the prefix's and those of its
      // completions, which sort elsewhere. Each text lies in one of them.
      std::vector<TUserLocale::SortKeyRange> ranges;
      ASSERT_EQ(locale.PrefixSortKeyRanges(c.prefix, ci, ranges), static_cast<int32_t>(c.prefix.size()));
      ASSERT_GT(ranges.size(), 1u);
      EXPECT_EQ(ranges.front().Lower, lower);
      EXPECT_EQ(ranges.back().Upper, upper);
      for (size_t i = 0; i < ranges.size(); ++i) {
        EXPECT_LT(ranges[i].Lower, ranges[i].Upper) << i;
        if (i > 0) {
          EXPECT_LT(ranges[i - 1].Upper, ranges[i].Lower) << i;
        }
      }
      for (const std::u16string& text : c.texts) {
        if (ci ? TUserLocale::FoldCase(text).rfind(TUserLocale::FoldCase(c.prefix), 0) != 0
               : text.rfind(c.prefix, 0) != 0)
          continue;
        const std::string key = locale.SortKey(text, ci);
        EXPECT_EQ(std::count_if(ranges.begin(), ranges.end(),
                                [&](const TUserLocale::SortKeyRange& r) { return r.Lower < key && key < r.Upper; }),
                  1)
            << text.size();
      }
    }
  }
}

}  // namespace
}  // namespace dadoveri
