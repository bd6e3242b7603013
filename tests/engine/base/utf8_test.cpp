#include "engine/base/utf8.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace dadoveri {
namespace {

// Checked decoding: what is well formed comes through whole; what is not either stops the
// strict form or becomes one replacement per offending lead byte.
TEST(Utf8Decode, CheckedSequencesStrictAndReplaced) {
  struct Case {
    const char* name;
    std::string text;
    bool strict_ok;
    std::u16string replaced;
  };
  const Case cases[] = {
      {"ascii", "ab", true, u"ab"},
      {"persian", "\xDA\xA9\xD8\xAA\xD8\xA7\xD8\xA8", true, u"\u06A9\u062A\u0627\u0628"},
      {"astral", "\xF0\x9F\x98\x80", true, u"\U0001F600"},
      {"stray continuation", "a\x80" "b", false, u"a\uFFFDb"},
      {"cut at the end", "a\xD8", false, u"a\uFFFD"},
      {"overlong slash", "\xC0\xAF", false, u"\uFFFD\uFFFD"},
      {"surrogate", "\xED\xA0\x80", false, u"\uFFFD\uFFFD\uFFFD"},
      {"past unicode", "\xF4\x90\x80\x80", false, u"\uFFFD\uFFFD\uFFFD\uFFFD"},
      {"bad lead", "\xFFx", false, u"\uFFFDx"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::u16string out = u"left over";
    EXPECT_EQ(DecodeUtf8(c.text, out), c.strict_ok);
    if (c.strict_ok) {
      EXPECT_EQ(out, c.replaced);
    }
    EXPECT_TRUE(DecodeUtf8(c.text, out, u'\xFFFD'));
    EXPECT_EQ(out, c.replaced);
    EXPECT_EQ(Utf16ToUtf8(out), Utf16ToUtf8(c.replaced));
  }
}

}  // namespace
}  // namespace dadoveri
