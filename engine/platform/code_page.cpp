#include "engine/platform/code_page.h"

#include <unicode/ucnv.h>

#include <cstdlib>
#include <stdexcept>

#include "engine/platform/locale.h"

namespace dadoveri {

TCodePage::TCodePage(int number) : number_(number) {
  const std::string name = "windows-" + std::to_string(number);
  UErrorCode status = U_ZERO_ERROR;
  UConverter* converter = ucnv_open(name.c_str(), &status);
  if (U_FAILURE(status) || converter == nullptr) throw std::invalid_argument("Unknown code page " + name);
  if (ucnv_getMaxCharSize(converter) != 1) {
    ucnv_close(converter);
    throw std::invalid_argument("Not a single-byte code page " + name);
  }
  to_ansi_holder_ = std::make_unique<std::array<uint16_t, 65536>>();
  to_ansi_holder_->fill(0);
  // Stop at undefined bytes instead of substituting, so they can be told apart.
  status = U_ZERO_ERROR;
  ucnv_setToUCallBack(converter, UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
  for (int byte = 0; byte < 256; ++byte) {
    const char in = static_cast<char>(byte);
    UChar out[4];
    status = U_ZERO_ERROR;
    ucnv_reset(converter);
    const int32_t n = ucnv_toUChars(converter, out, 4, &in, 1, &status);
    char16_t unit = static_cast<char16_t>(byte);
    if (U_SUCCESS(status) && n == 1 && out[0] != 0xFFFD && out[0] != 0x1A) unit = out[0];
    if (byte == 0x1A) unit = 0x1A;
    to_wide_[byte] = unit;
  }
  // Reverse map; where two bytes give one character the first wins.
  for (int byte = 255; byte >= 0; --byte) (*to_ansi_holder_)[to_wide_[byte]] = static_cast<uint16_t>(byte + 1);
  // Characters without a byte of their own take the code page's best fit where it has one
  // (as Windows does), e.g. the Farsi yeh U+06CC becomes the Arabic yeh of Windows-1256.
  status = U_ZERO_ERROR;
  ucnv_setFallback(converter, true);
  ucnv_setFromUCallBack(converter, UCNV_FROM_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
  for (uint32_t unit = 0x80; unit < 0x10000; ++unit) {
    if ((*to_ansi_holder_)[unit] != 0 || (unit >= 0xD800 && unit <= 0xDFFF)) continue;
    const UChar in = static_cast<UChar>(unit);
    char out[4];
    status = U_ZERO_ERROR;
    ucnv_resetFromUnicode(converter);
    const int32_t n = ucnv_fromUChars(converter, out, 4, &in, 1, &status);
    if (U_SUCCESS(status) && n == 1) (*to_ansi_holder_)[unit] = static_cast<uint16_t>(static_cast<uint8_t>(out[0]) + 1);
  }
  ucnv_close(converter);
  to_ansi_ = to_ansi_holder_->data();
}

std::u16string TCodePage::ToWide(std::string_view text) const {
  std::u16string out(text.size(), u'\0');
  for (size_t i = 0; i < text.size(); ++i) out[i] = to_wide_[static_cast<uint8_t>(text[i])];
  return out;
}

std::string TCodePage::ToAnsi(std::u16string_view text) const {
  std::string out(text.size(), '\0');
  size_t n = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t u = text[i];
    // A surrogate pair is one character: one '?'.
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) ++i;
    out[n++] = static_cast<char>(ToAnsi(u));
  }
  out.resize(n);
  return out;
}

std::string TCodePage::UpperCase(std::string_view text) const { return ToAnsi(UserLocale().UpperCase(ToWide(text))); }
std::string TCodePage::LowerCase(std::string_view text) const { return ToAnsi(UserLocale().LowerCase(ToWide(text))); }

const TCodePage& AnsiCodePage() {
  static const TCodePage* page = [] {
    const char* value = std::getenv("DADOVERI_CODEPAGE");
    if (value && *value) {
      try {
        return new TCodePage(std::atoi(value));
      } catch (const std::invalid_argument&) {
      }
    }
    return new TCodePage(1252);
  }();
  return *page;
}

}  // namespace dadoveri
