// The process's ANSI code page: single-byte text of the engine is stored in it. Chosen once
// per process: Windows-1252 unless DADOVERI_CODEPAGE names another (e.g. 1256).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace dadoveri {

class TCodePage {
 public:
  // A Windows single-byte code page by number; throws std::invalid_argument when ICU has
  // no converter for it or it is not single-byte.
  explicit TCodePage(int number);

  int Number() const { return number_; }

  // Byte to UTF-16. Bytes the code page leaves undefined map to the code point of the same
  // value, as Windows does, so every byte survives a round trip.
  char16_t ToWide(uint8_t byte) const { return to_wide_[byte]; }
  // UTF-16 to byte: the character's own byte, else the code page's best fit, else '?'.
  uint8_t ToAnsi(char16_t unit) const {
    const uint16_t v = to_ansi_[unit];
    return v ? static_cast<uint8_t>(v - 1) : static_cast<uint8_t>('?');
  }
  // True when the character has a byte that reads back as the same character.
  bool Contains(char16_t unit) const {
    const uint16_t v = to_ansi_[unit];
    return v != 0 && to_wide_[v - 1] == unit;
  }

  std::u16string ToWide(std::string_view text) const;
  std::string ToAnsi(std::u16string_view text) const;

  // Upper- and lower-case through the user locale's case mapping.
  std::string UpperCase(std::string_view text) const;
  std::string LowerCase(std::string_view text) const;

 private:
  int number_;
  std::array<char16_t, 256> to_wide_{};
  // Byte + 1 for every UTF-16 unit the code page holds, 0 for the others.
  std::unique_ptr<std::array<uint16_t, 65536>> to_ansi_holder_;
  const uint16_t* to_ansi_ = nullptr;
};

// The process's code page (DADOVERI_CODEPAGE, else 1252; an unusable value falls back
// to 1252).
const TCodePage& AnsiCodePage();

}  // namespace dadoveri
