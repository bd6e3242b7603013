#include "engine/base/utf8.h"

#include <cstdint>

namespace dadoveri {

std::string Utf16ToUtf8(std::u16string_view v) {
  std::string out;
  out.reserve(v.size());
  for (size_t i = 0; i < v.size(); ++i) {
    char32_t c = v[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < v.size() && v[i + 1] >= 0xDC00 && v[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (v[i + 1] - 0xDC00);
      ++i;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::u16string Utf8ToUtf16(std::string_view s) {
  std::u16string out;
  for (size_t i = 0; i < s.size();) {
    const auto b = static_cast<unsigned char>(s[i]);
    uint32_t c = b;
    size_t n = 1;
    if (b >= 0xF0 && i + 3 < s.size()) {
      c = ((b & 0x07u) << 18) | ((s[i + 1] & 0x3Fu) << 12) | ((s[i + 2] & 0x3Fu) << 6) | (s[i + 3] & 0x3Fu);
      n = 4;
    } else if (b >= 0xE0 && i + 2 < s.size()) {
      c = ((b & 0x0Fu) << 12) | ((s[i + 1] & 0x3Fu) << 6) | (s[i + 2] & 0x3Fu);
      n = 3;
    } else if (b >= 0xC0 && i + 1 < s.size()) {
      c = ((b & 0x1Fu) << 6) | (s[i + 1] & 0x3Fu);
      n = 2;
    }
    if (c >= 0x10000) {
      c -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (c >> 10));
      out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
    i += n;
  }
  return out;
}

}  // namespace dadoveri
