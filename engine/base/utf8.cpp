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

bool DecodeUtf8(std::string_view text, std::u16string& out, std::optional<char16_t> replacement) {
  out.clear();
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    uint32_t cp = 0;
    int more = 0;
    if (c < 0x80) {
      cp = c;
    } else if ((c & 0xE0) == 0xC0) {
      cp = c & 0x1F;
      more = 1;
    } else if ((c & 0xF0) == 0xE0) {
      cp = c & 0x0F;
      more = 2;
    } else if ((c & 0xF8) == 0xF0) {
      cp = c & 0x07;
      more = 3;
    } else {
      more = -1;
    }
    bool ok = more >= 0 && i + static_cast<size_t>(more) < text.size();
    for (int k = 1; ok && k <= more; ++k) {
      const auto d = static_cast<unsigned char>(text[i + static_cast<size_t>(k)]);
      if ((d & 0xC0) != 0x80) ok = false;
      cp = (cp << 6) | (d & 0x3F);
    }
    static constexpr uint32_t kLowest[] = {0, 0x80, 0x800, 0x10000};
    if (ok && (cp < kLowest[more] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))) ok = false;
    if (!ok) {
      if (!replacement) return false;
      out += *replacement;
      ++i;
      continue;
    }
    i += static_cast<size_t>(more) + 1;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (cp >> 10));
      out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
  }
  return true;
}

}  // namespace dadoveri
