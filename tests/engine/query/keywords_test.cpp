#include "engine/query/keywords.h"

#include <gtest/gtest.h>

#include <string>

#include "engine/query/lexer.h"

namespace dadoveri {
namespace {

std::u16string Widen(std::string_view text) { return std::u16string(text.begin(), text.end()); }

TEST(KeywordTest, NumbersMatchTheKeywordTable) {
  const std::pair<int, const char*> spots[] = {
      {0, "ABSOLUTE"}, {9, "AS"},          {44, "COUNT"},     {74, "END-EXEC"},  {90, "FROM"},
      {123, "LIKE"},   {141, "NULL"},      {179, "SELECT"},   {202, "TOP"},      {224, "WHERE"},
      {229, "ZONE"},   {230, "PASSWORD"},  {233, "BLOBCOMPRESSIONALGORITHM"},    {264, "ROWNUM"},
      {267, "DOD"},    {283, "HALFEVEN"},  {291, "RNDUP"},
  };
  for (const auto& [number, word] : spots) {
    EXPECT_EQ(KeywordText(number), word);
    EXPECT_EQ(FindKeyword(Widen(word)), number) << word;
  }
  EXPECT_EQ(KeywordText(-1), "");
  EXPECT_EQ(KeywordText(kKeywordCount), "");
}

TEST(KeywordTest, EveryKeywordRoundTripsInAnyCase) {
  for (int n = 0; n < kKeywordCount; ++n) {
    const std::string word(KeywordText(n));
    ASSERT_FALSE(word.empty()) << n;
    std::string lower = word;
    for (char& c : lower) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    EXPECT_EQ(FindKeyword(Widen(word)), n) << word;
    EXPECT_EQ(FindKeyword(Widen(lower)), n) << word;
    if (word.find('-') == std::string::npos) {  // '-' always ends a word
      TABSLexer lexer(Widen(lower));
      TToken token;
      ASSERT_TRUE(lexer.NextCommand());
      ASSERT_TRUE(lexer.CurrentToken(token));
      EXPECT_TRUE(TABSLexer::IsKeyword(token, n)) << word;
      EXPECT_EQ(token.text, Widen(lower));
    }
  }
}

TEST(KeywordTest, OtherWordsAreNoKeywords) {
  for (const std::u16string& word :
       {std::u16string(), std::u16string(u"SELECTX"), std::u16string(u"SELEC"), std::u16string(u"per2en"),
        std::u16string(u"S\u0415LECT"), std::u16string(u"BLOBCOMPRESSIONALGORITHMS"), std::u16string(25, u'A'),
        std::u16string(u"AAAAAAAA"), std::u16string(u"ZZZZ")}) {
    EXPECT_EQ(FindKeyword(word), kNoKeyword);
  }
}

}  // namespace
}  // namespace dadoveri
