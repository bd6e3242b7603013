#include "tools/mkdict/word_list.h"

#include <gtest/gtest.h>

#include <cctype>
#include <set>
#include <sstream>

#include "tools/mkdict/dictionary_file.h"

namespace dadoveri::mkdict {
namespace {

// The engine's code page and collation are fixed before anything asks for them.
const bool kFixed = (UseFixedCollationAndCodePage(), true);

TEST(ParseTranslations, DropsNotesQualifiersAndTransliterations) {
  struct Case {
    const char16_t* text;
    std::vector<std::u16string> want;
  };
  const Case cases[] = {
      {u"دست کشیدن /dast kashidan/, رها کردن /rahâ kardan/", {u"دست کشیدن", u"رها کردن"}},
      // Leading qualifiers in parentheses and as "word:".
      {u"(paternal) عمه /'amme/, (maternal) خاله /xâle/", {u"عمه", u"خاله"}},
      {u"سلام /salâm/; religious: سلام علیکم /salâmo aleykom/; literary: درود", {u"سلام", u"سلام علیکم", u"درود"}},
      // Bracketed notes before and after, and part-of-speech marks.
      {u"شکم /šekam/, کم /kom/ [dialectal], [colloquial] یه کمی /ye kami/", {u"شکم", u"کم", u"یه کمی"}},
      {u"پا /pâ/; فوت {s} {p} /fut/, فیت {p} /fit/", {u"پا", u"فوت", u"فیت"}},
      // A comma inside a transliteration separates nothing.
      {u"یونجه, اسپست /espest, aspest/, شبدر", {u"یونجه", u"اسپست", u"شبدر"}},
      // Broken transliterations: unclosed, or running into Persian text.
      {u"خاندان /xandanخاندان /khândân/, فامیل /famil/", {u"خاندان", u"فامیل"}},
      {u"کله /kalla/kalle/ /abusive/", {u"کله"}},
      {u"سر /sar, تن /tan/", {u"سر", u"تن"}},
      // Arabic commas separate; Arabic letter forms become Persian; duplicates go.
      {u"پيش مرگ شدن، كار، کار", {u"پیش مرگ شدن", u"کار"}},
      // Nothing Persian is no translation.
      {u"/only latin/, [note]", {}},
      {u"", {}},
  };
  for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(ParseTranslations(cases[i].text), cases[i].want) << "case " << i;
}

TEST(ParseWordList, ReadsGoodLinesAndReportsBadOnesByNumber) {
  std::istringstream in(
      "# comment :: not a line\n"
      "\n"
      "abandon {v} (to give up) :: دست کشیدن /dast kashidan/, رها کردن /rahâ kardan/\r\n"
      "a headword without the separator {n} (x) دست\n"
      "ejaculate {v} :: (of a man) انزال /enzâl/\n"
      " {n} (empty headword) :: دست\n"
      "latin {n} (only Latin) :: /latin/\n"
      "bad \xC3\x28 utf8 {n} :: دست\n"
      "aunt {n} (a parent’s sister (by blood)) :: (paternal) عمه\n"
      "plain :: کتاب\n");
  const WordList list = ParseWordList(in);
  ASSERT_EQ(list.Senses.size(), 4u);
  EXPECT_EQ(list.Senses[0].Headword, "abandon");
  EXPECT_EQ(list.Senses[0].Gloss, "to give up");
  EXPECT_EQ(list.Senses[0].Line, 3);
  EXPECT_EQ(list.Senses[0].Translations, (std::vector<std::u16string>{u"دست کشیدن", u"رها کردن"}));
  EXPECT_EQ(list.Senses[1].Headword, "ejaculate");
  EXPECT_EQ(list.Senses[1].Gloss, "");
  EXPECT_EQ(list.Senses[2].Gloss, "a parent’s sister (by blood)");
  EXPECT_EQ(list.Senses[3].Headword, "plain");
  std::vector<int64_t> bad;
  for (const BadLine& b : list.Bad) bad.push_back(b.Line);
  EXPECT_EQ(bad, (std::vector<int64_t>{4, 6, 7, 8}));
}

TEST(BuildDictionary, GroupsBothWaysAndSortsAlphabetically) {
  std::istringstream in(
      "abandon {n} (a giving up) :: بی‌قیدی\n"
      "abandon {v} (to give up) :: دست کشیدن /dast kashidan/, رها کردن\n"
      "Abadan {prop} (city in Iran) :: آبادان\n"
      "zebra {n} (animal) :: گورخر\n"
      "Diyarbakır {prop} (city) :: دیاربکر\n"
      "apple {n} (fruit) :: سیب\n"
      "leave {v} (to abandon) :: رها کردن, ترک کردن\n"
      "Apple {prop} (company) :: اپل\n");
  const Dictionary d = BuildDictionary(ParseWordList(in).Senses);
  std::vector<std::string> eng;
  for (const auto& r : d.Eng2Per) eng.push_back(r.Eng);
  // ICU English order: letters before case, lower case first.
  EXPECT_EQ(eng, (std::vector<std::string>{"Abadan", "abandon", "apple", "Apple", "leave", "zebra"}));
  EXPECT_EQ(d.Eng2Per[1].Far, u"بی‌قیدی؛ دست کشیدن، رها کردن");
  EXPECT_EQ(d.LeftOut, (std::vector<std::string>{"Diyarbakır"}));

  std::vector<std::u16string> per;
  for (const auto& r : d.Per2En) per.push_back(r.Per);
  // Persian alphabetical order: آ ا ب پ ت ... ; the left-out headword's translation stays.
  EXPECT_EQ(per, (std::vector<std::u16string>{u"آبادان", u"اپل", u"بی‌قیدی", u"ترک کردن", u"دست کشیدن",
                                              u"دیاربکر", u"رها کردن", u"سیب", u"گورخر"}));
  for (const auto& r : d.Per2En)
    if (r.Per == u"رها کردن") {
      EXPECT_EQ(r.En, u"abandon (to give up); leave (to abandon)");
    }
}

TEST(BuildDictionary, PersianHeadwordsLoseTheirVowelMarksAndMeaningsKeepThem) {
  const struct {
    std::u16string in, out;
  } cases[] = {
      {u"کِتاب", u"کتاب"},
      {u"هَمِه", u"همه"},
      {u"طبیعتاّ", u"طبیعتا"},
      {u"مُجَلَّد", u"مجلد"},
      {u"ـکتاب", u"کتاب"},
      {u"تَر و فرز", u"تر و فرز"},
      {u"بی‌قیدی", u"بی‌قیدی"},  // the zero-width non-joiner stays
  };
  for (const auto& c : cases) EXPECT_EQ(WithoutVowelMarks(c.in), c.out);

  std::istringstream in(
      "book {n} :: کِتاب\n"
      "volume {n} (book) :: کتاب, مُجَلَّد\n");
  const Dictionary d = BuildDictionary(ParseWordList(in).Senses);
  ASSERT_EQ(d.Per2En.size(), 2u);
  EXPECT_EQ(d.Per2En[0].Per, u"کتاب");
  EXPECT_EQ(d.Per2En[0].En, u"book; volume (book)");
  EXPECT_EQ(d.Per2En[1].Per, u"مجلد");
  EXPECT_EQ(d.Eng2Per[0].Far, u"کِتاب");
}

TEST(SyntheticSenses, AreDistinctDeterministicAndVaried) {
  const auto a = SyntheticSenses(3000, 7), b = SyntheticSenses(3000, 7), c = SyntheticSenses(3000, 8);
  ASSERT_EQ(a.size(), 3000u);
  std::set<std::string> words;
  bool upper = false, lower = false, apostrophe = false;
  for (size_t i = 0; i < a.size(); ++i) {
    EXPECT_EQ(a[i].Headword, b[i].Headword);
    EXPECT_EQ(a[i].Translations, b[i].Translations);
    words.insert(a[i].Headword);
    upper |= std::isupper(static_cast<unsigned char>(a[i].Headword[0])) != 0;
    lower |= std::islower(static_cast<unsigned char>(a[i].Headword[0])) != 0;
    apostrophe |= a[i].Headword.find('\'') != std::string::npos;
    EXPECT_FALSE(a[i].Translations.empty());
  }
  EXPECT_EQ(words.size(), a.size());
  EXPECT_TRUE(upper && lower && apostrophe);
  bool differs = false;
  for (size_t i = 0; i < a.size(); ++i) differs |= a[i].Headword != c[i].Headword;
  EXPECT_TRUE(differs);
}

}  // namespace
}  // namespace dadoveri::mkdict
