#include "engine/platform/code_page.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace dadoveri {
namespace {

TEST(CodePage, Windows1252) {
  const TCodePage page(1252);
  EXPECT_EQ(page.ToWide("caf\xE9 \x80"), u"caf\u00e9 \u20ac");
  EXPECT_EQ(page.ToAnsi(u"caf\u00e9 \u20ac"), "caf\xE9 \x80");
  EXPECT_EQ(page.ToAnsi(u"\u0641x"), "?x");
  EXPECT_EQ(page.ToAnsi(u"\U0001F600"), "?");  // one character, one '?'
  // Every byte survives a round trip, undefined ones included.
  for (int b = 0; b < 256; ++b) {
    const std::string one(1, static_cast<char>(b));
    EXPECT_EQ(page.ToAnsi(page.ToWide(one)), one) << b;
  }
  EXPECT_EQ(page.ToWide(static_cast<uint8_t>(0x81)), u'\u0081');
  EXPECT_EQ(page.UpperCase("caf\xE9"), "CAF\xC9");
}

TEST(CodePage, Windows1256HoldsPersian) {
  const TCodePage page(1256);
  // Persian keheh and peh and the Arabic kaf and yeh have bytes of their own.
  const std::u16string persian = u"\u06a9\u067e\u0643\u064a";
  const std::string bytes = page.ToAnsi(persian);
  EXPECT_EQ(bytes.find('?'), std::string::npos);
  EXPECT_EQ(page.ToWide(bytes), persian);
  EXPECT_EQ(page.Number(), 1256);
  // The Farsi yeh has none: it takes the best fit, the Arabic yeh, never '?'.
  EXPECT_FALSE(page.Contains(u'\u06cc'));
  EXPECT_EQ(page.ToAnsi(u"\u06cc"), page.ToAnsi(u"\u064a"));
}

TEST(CodePage, UnknownOrMultiByteRefused) {
  EXPECT_THROW(TCodePage(12345), std::invalid_argument);
  EXPECT_THROW(TCodePage(932), std::invalid_argument);
}

TEST(CodePage, ProcessDefault) {
  const char* env = std::getenv("DADOVERI_CODEPAGE");
  const int want = env && *env ? std::atoi(env) : 1252;
  EXPECT_EQ(AnsiCodePage().Number(), want);
}

}  // namespace
}  // namespace dadoveri
