#include "engine/query/like_matcher.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace dadoveri {
namespace {

// The matcher as defined, step by step and recursive: the reference for small inputs.
bool Reference(std::u16string_view s, std::u16string_view p, int32_t escape, bool ci) {
  auto same = [ci](char16_t a, char16_t b) {
    if (a == b) return true;
    return ci && a < 0x80 && b < 0x80 && (a | 0x20) == (b | 0x20) && (a | 0x20) - u'a' < 26;
  };
  if (p.empty()) return s.empty();
  const bool escaped = escape != kNoLikeEscape && p[0] == escape && p.size() > 1;
  if (!escaped && !(escape != kNoLikeEscape && p[0] == escape) && p[0] == u'%') {
    for (size_t k = 0; k <= s.size(); ++k)
      if (Reference(s.substr(k), p.substr(1), escape, ci)) return true;
    return false;
  }
  if (s.empty()) return false;
  if (!escaped && !(escape != kNoLikeEscape && p[0] == escape) && p[0] == u'_')
    return Reference(s.substr(1), p.substr(1), escape, ci);
  const size_t skip = escaped ? 1 : 0;
  if (!same(s[0], p[skip])) return false;
  return Reference(s.substr(1), p.substr(skip + 1), escape, ci);
}

TEST(LikeMatcher, Cases) {
  struct Case {
    std::u16string text, pattern;
    int32_t escape;
    bool case_insensitive;
    bool match;
  };
  const Case cases[] = {
      {u"abc", u"abc%%", kNoLikeEscape, false, true},
      {u"", u"%", kNoLikeEscape, false, true},
      {u"", u"_", kNoLikeEscape, false, false},
      {u"", u"", kNoLikeEscape, false, true},
      {u"a", u"", kNoLikeEscape, false, false},
      {u"a%", u"a\\%", u'\\', false, true},
      {u"ab", u"a\\%", u'\\', false, false},
      {u"a_", u"a\\_", u'\\', false, true},
      {u"ab", u"a\\_", u'\\', false, false},
      {u"a\\", u"a\\\\", u'\\', false, true},
      // An escape character with nothing after it matches itself.
      {u"a\\", u"a\\", u'\\', false, true},
      {u"a", u"a\\", u'\\', false, false},
      {u"sam", u"sa_%", kNoLikeEscape, false, true},
      {u"sa", u"sa_%", kNoLikeEscape, false, false},
      {u"walking", u"%ing", kNoLikeEscape, false, true},
      {u"cat", u"c_t%", kNoLikeEscape, false, true},
      {u"CAT", u"c_t%", kNoLikeEscape, false, false},
      {u"CAT", u"c_t%", kNoLikeEscape, true, true},
      {u"xyz", u"%y%", kNoLikeEscape, false, true},
      {u"mississippi", u"%iss%ppi", kNoLikeEscape, false, true},
      {u"mississippi", u"%iss%ppix", kNoLikeEscape, false, false},
      {u"سلام", u"س%م", kNoLikeEscape, false, true},
      {u"سلام", u"_لا_", kNoLikeEscape, false, true},
      {u"ÄBC", u"äb%", kNoLikeEscape, true, true},
      {u"ÄBC", u"äb%", kNoLikeEscape, false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(LikeMatchWide(c.text, c.pattern, c.escape, c.case_insensitive), c.match)
        << std::string(c.text.begin(), c.text.end()) << " LIKE " << std::string(c.pattern.begin(), c.pattern.end());
  }
}

TEST(LikeMatcher, AgreesWithTheDefinitionOnRandomInputs) {
  std::mt19937 rng(515);
  const std::u16string text_chars = u"abA";
  const std::u16string pattern_chars = u"ab%_\\A";
  auto random_text = [&](const std::u16string& alphabet, size_t max) {
    std::u16string s(rng() % (max + 1), u' ');
    for (char16_t& c : s) c = alphabet[rng() % alphabet.size()];
    return s;
  };
  for (int round = 0; round < 20000; ++round) {
    const std::u16string s = random_text(text_chars, 7);
    const std::u16string p = random_text(pattern_chars, 6);
    const int32_t escape = round % 2 ? u'\\' : kNoLikeEscape;
    const bool ci = round % 3 == 0;
    ASSERT_EQ(LikeMatchWide(s, p, escape, ci), Reference(s, p, escape, ci))
        << std::string(s.begin(), s.end()) << " LIKE " << std::string(p.begin(), p.end()) << " escape " << escape
        << " ci " << ci;
  }
}

TEST(LikeMatcher, ManyRunsAgainstALongTextStayPolynomial) {
  // A backtracking matcher takes exponential time here; this one at most text × pattern.
  const std::u16string text(20000, u'a');
  EXPECT_FALSE(LikeMatchWide(text, u"%a%a%a%a%a%a%a%b", kNoLikeEscape, false));
  EXPECT_TRUE(LikeMatchWide(text + u"b", u"%a%a%a%a%a%a%a%b", kNoLikeEscape, false));
  EXPECT_TRUE(LikeMatchWide(text, u"%%%%%%%%a", kNoLikeEscape, true));
}

}  // namespace
}  // namespace dadoveri
