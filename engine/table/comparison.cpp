#include "engine/table/comparison.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "engine/platform/code_page.h"
#include "engine/platform/locale.h"
#include "engine/base/engine_error.h"
#include "engine/table/date_time.h"
#include "engine/table/extended.h"
#include "engine/table/variant.h"

namespace dadoveri {

namespace {

// Common type in comparison use: row A, column B (0 = incompatible).
constexpr uint8_t kCommon[kBaseTypeCount][kBaseTypeCount] = {
    /* 1 */ {1, 2, 3, 4, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 15, 16, 17, 0, 1, 2, 1, 1, 0, 0},
    /* 2 */ {2, 2, 2, 4, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 15, 16, 17, 0, 2, 2, 2, 2, 0, 0},
    /* 3 */ {3, 2, 3, 4, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 15, 16, 17, 0, 3, 4, 3, 3, 0, 0},
    /* 4 */ {4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 15, 16, 17, 0, 4, 4, 4, 4, 0, 0},
    /* 5 */ {1, 2, 3, 4, 5, 6, 7, 8, 6, 10, 11, 12, 13, 14, 15, 16, 17, 0, 0, 0, 5, 22, 0, 0},
    /* 6 */ {1, 2, 3, 4, 6, 6, 7, 8, 6, 10, 11, 12, 13, 14, 15, 16, 17, 0, 0, 0, 6, 22, 0, 0},
    /* 7 */ {1, 2, 3, 4, 7, 7, 7, 8, 7, 7, 8, 12, 13, 14, 15, 16, 17, 0, 0, 0, 7, 22, 0, 0},
    /* 8 */ {1, 2, 3, 4, 8, 8, 8, 8, 8, 8, 8, 12, 13, 14, 15, 16, 17, 0, 0, 0, 8, 22, 0, 0},
    /* 9 */ {1, 2, 3, 4, 6, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 0, 0, 0, 9, 22, 0, 0},
    /* 10 */ {1, 2, 3, 4, 7, 7, 7, 8, 10, 10, 11, 12, 13, 14, 15, 16, 17, 0, 0, 0, 10, 22, 0, 0},
    /* 11 */ {1, 2, 3, 4, 8, 8, 8, 8, 11, 11, 11, 12, 13, 14, 15, 16, 17, 0, 0, 0, 11, 22, 0, 0},
    /* 12 */ {1, 2, 3, 4, 12, 12, 12, 12, 12, 12, 12, 12, 13, 14, 15, 16, 17, 0, 0, 0, 12, 22, 0, 0},
    /* 13 */ {1, 2, 3, 4, 13, 13, 13, 13, 13, 13, 13, 13, 13, 14, 15, 16, 17, 0, 0, 0, 13, 22, 0, 0},
    /* 14 */ {1, 2, 3, 4, 14, 14, 14, 14, 14, 14, 14, 14, 14, 14, 15, 16, 17, 0, 0, 0, 14, 22, 0, 0},
    /* 15 */ {15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 17, 17, 0, 0, 0, 0, 0, 0, 0},
    /* 16 */ {16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 17, 16, 17, 0, 0, 0, 0, 0, 0, 0},
    /* 17 */ {17, 17, 17, 17, 17, 17, 17, 17, 17, 17, 17, 17, 17, 17, 17, 17, 17, 0, 0, 0, 0, 0, 0, 0},
    /* 18 */ {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
    /* 19 */ {1, 2, 3, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 0, 0, 0, 0},
    /* 20 */ {2, 2, 4, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 2, 0, 0, 0, 0},
    /* 21 */ {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 0, 0, 0, 0, 0, 0, 21, 0, 0, 0},
    /* 22 */ {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 0, 0, 0, 0, 0, 0, 0, 22, 0, 0},
    /* 23 */ {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
    /* 24 */ {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
};

template <typename T>
T load(const void* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

template <typename T>
int order(T a, T b) {
  return a < b ? cmpLess : b < a ? cmpGreater : cmpEqual;
}

int code_of(int sign) { return sign < 0 ? cmpLess : sign > 0 ? cmpGreater : cmpEqual; }

// UTF-16 units in a buffer of their own: short texts on the stack.
class Units {
 public:
  char16_t* reserve(size_t n) {
    if (n <= sizeof small_ / sizeof small_[0]) return small_;
    large_.resize(n);
    return large_.data();
  }

 private:
  char16_t small_[128];
  std::vector<char16_t> large_;
};

// Copies a zero-terminated UTF-16 text from any byte address, reading at most `size`
// bytes when that is known (not -1); answers its length.
int32_t read_wide(const void* p, int32_t size, int32_t prefix_length, Units& buffer, const char16_t*& out) {
  const char* bytes = static_cast<const char*>(p);
  size_t n = 0;
  for (;; ++n) {
    if (prefix_length >= 0 && n == static_cast<size_t>(prefix_length)) break;
    if (size >= 0 && 2 * n + 2 > static_cast<size_t>(size)) break;
    char16_t unit;
    std::memcpy(&unit, bytes + 2 * n, 2);
    if (unit == 0) break;
  }
  if ((reinterpret_cast<uintptr_t>(p) & 1) == 0) {
    out = static_cast<const char16_t*>(p);  // aligned: read in place
  } else {
    char16_t* d = buffer.reserve(n);
    std::memcpy(d, p, n * 2);
    out = d;
  }
  return static_cast<int32_t>(n);
}

}  // namespace

TABSBaseType CommonBaseType(TABSBaseType a, TABSBaseType b, bool arithmetic) {
  if (a < 1 || a > kBaseTypeCount || b < 1 || b > kBaseTypeCount) return btNone;
  if (arithmetic) {
    if (IsStringBaseType(a) && IsDateTimeBaseType(b)) return a;
    if (IsDateTimeBaseType(a) && IsStringBaseType(b)) return b;
  }
  return static_cast<TABSBaseType>(kCommon[a - 1][b - 1]);
}

TABSColumnType CommonColumnType(TABSColumnType a, TABSColumnType b, bool arithmetic) {
  const TABSBaseType common = CommonBaseType(ColumnTypeToBaseType(a), ColumnTypeToBaseType(b), arithmetic);
  if (common == btNone) return ctNone;
  if (ColumnTypeToBaseType(a) == common) return a;
  if (ColumnTypeToBaseType(b) == common) return b;
  return BaseTypeToColumnType(common);
}

namespace {

// Eight bytes at a time: a word's zero bytes and its bytes outside plain printable ASCII
// (0x20 … 0x7E), each marked by its high bit. Only the lowest zero byte is marked exactly,
// which is the only one used.
constexpr uint64_t kOnes = 0x0101010101010101ull;
constexpr uint64_t kHighs = 0x8080808080808080ull;

uint64_t load_word(const unsigned char* p) {
  uint64_t w;
  std::memcpy(&w, p, sizeof w);
  return w;
}
uint64_t zero_bytes(uint64_t w) { return (w - kOnes) & ~w & kHighs; }
uint64_t unprintable_bytes(uint64_t w) {
  const uint64_t below_blank = ~((w | kHighs) - 0x20 * kOnes) & kHighs;  // (b & 0x7F) < 0x20
  const uint64_t delete_char = ((w & ~kHighs) + kOnes) & kHighs;        // (b & 0x7F) == 0x7F
  return (w & kHighs) | below_blank | delete_char;
}
// Bytes of a little-endian word below byte `n` (n < 8).
uint64_t low_bytes(size_t n) { return n == 0 ? 0 : ~0ull >> (64 - 8 * n); }

bool little_endian_host() {
  const uint16_t probe = 1;
  unsigned char first;
  std::memcpy(&first, &probe, 1);
  return first == 1;
}

// The end of a text from `i` on: its terminator or `max`; clears `printable` when a
// character before the end is not plain printable ASCII. Whole words are read only within
// a known size (`bounded`).
inline size_t text_end(const unsigned char* p, size_t i, size_t max, bool bounded, bool& printable) {
  if (bounded && max >= 8 && little_endian_host()) {
    for (; i + 8 <= max; i += 8) {
      const uint64_t w = load_word(p + i);
      const uint64_t zeros = zero_bytes(w);
      if (zeros != 0) {
        const size_t k = static_cast<size_t>(__builtin_ctzll(zeros)) / 8;
        if ((unprintable_bytes(w) & low_bytes(k)) != 0) printable = false;
        return i + k;
      }
      if (unprintable_bytes(w) != 0) printable = false;
    }
    if (i < max) {
      // The last word of the value, shifted so that its bytes from i come first; the zero
      // bytes shifted in stand for the end at max.
      const uint64_t w = load_word(p + max - 8) >> (8 * (i - (max - 8)));
      const size_t k = static_cast<size_t>(__builtin_ctzll(zero_bytes(w))) / 8;
      if ((unprintable_bytes(w) & low_bytes(k)) != 0) printable = false;
      return i + k;
    }
    return i;
  }
  for (; i < max && p[i] != 0; ++i)
    if (!TUserLocale::IsPrintableAscii(p[i])) printable = false;
  return i;
}

int compare_ansi(const char* a, int32_t a_size, const char* b, int32_t b_size, bool case_insensitive,
                 int32_t prefix_length) {
  // Finds both lengths (the terminator, the size when known, the prefix when given), the
  // first difference and whether every character is plain printable ASCII, reading each
  // byte once.
  size_t a_max = a_size >= 0 ? static_cast<size_t>(a_size) : SIZE_MAX;
  size_t b_max = b_size >= 0 ? static_cast<size_t>(b_size) : SIZE_MAX;
  if (prefix_length >= 0) {
    a_max = std::min(a_max, static_cast<size_t>(prefix_length));
    b_max = std::min(b_max, static_cast<size_t>(prefix_length));
  }
  const auto* ua = reinterpret_cast<const unsigned char*>(a);
  const auto* ub = reinterpret_cast<const unsigned char*>(b);
  const size_t common = std::min(a_max, b_max);
  bool printable = true;
  size_t same = 0;
  if (a_size >= 0 && b_size >= 0 && little_endian_host()) {
    for (; same + 8 <= common; same += 8) {
      const uint64_t x = load_word(ua + same);
      const uint64_t differ = x ^ load_word(ub + same);
      const uint64_t zeros = zero_bytes(x);
      if ((differ | zeros) == 0) {
        if (unprintable_bytes(x) != 0) printable = false;
        continue;
      }
      const size_t first_difference = differ ? static_cast<size_t>(__builtin_ctzll(differ)) / 8 : 8;
      const size_t first_zero = zeros ? static_cast<size_t>(__builtin_ctzll(zeros)) / 8 : 8;
      if (first_zero < first_difference) return 0;  // both end there
      if ((unprintable_bytes(x) & low_bytes(first_difference)) != 0) printable = false;
      same += first_difference;
      break;
    }
  }
  for (; same < common; ++same) {
    const unsigned char x = ua[same];
    if (x != ub[same]) break;
    if (x == 0) return 0;  // both end here
    if (!TUserLocale::IsPrintableAscii(x)) printable = false;
  }
  const size_t an = text_end(ua, same, a_max, a_size >= 0, printable);
  const size_t bn = text_end(ub, same, b_max, b_size >= 0, printable);
  if (an == same && bn == same) return 0;  // identical
  static const TUserLocale& locale = UserLocale();  // the process's, fixed once read
  if (printable && locale.HasAsciiFastPath())
    return locale.ComparePrintableAscii(a, static_cast<int32_t>(an), b, static_cast<int32_t>(bn),
                                        static_cast<int32_t>(same), case_insensitive);
  const TCodePage& page = AnsiCodePage();
  Units ua16, ub16;
  char16_t* wa = ua16.reserve(an);
  char16_t* wb = ub16.reserve(bn);
  for (size_t i = 0; i < an; ++i) wa[i] = page.ToWide(ua[i]);
  for (size_t i = 0; i < bn; ++i) wb[i] = page.ToWide(ub[i]);
  return locale.Compare(wa, static_cast<int32_t>(an), wb, static_cast<int32_t>(bn), case_insensitive);
}

int compare_wide(const void* a, int32_t a_size, const void* b, int32_t b_size, bool case_insensitive,
                 int32_t prefix_length) {
  Units ua, ub;
  const char16_t *wa, *wb;
  const int32_t an = read_wide(a, a_size, prefix_length, ua, wa);
  const int32_t bn = read_wide(b, b_size, prefix_length, ub, wb);
  return UserLocale().Compare(wa, an, wb, bn, case_insensitive);
}

}  // namespace

int CompareAnsiText(const char* a, const char* b, bool case_insensitive, int32_t prefix_length) {
  return compare_ansi(a, -1, b, -1, case_insensitive, prefix_length);
}

int CompareAnsiValues(const char* a, int32_t a_size, const char* b, int32_t b_size, bool case_insensitive,
                      int32_t prefix_length) {
  return compare_ansi(a, a_size, b, b_size, case_insensitive, prefix_length);
}

int CompareWideText(const void* a, const void* b, bool case_insensitive, int32_t prefix_length) {
  return compare_wide(a, -1, b, -1, case_insensitive, prefix_length);
}

namespace {

// Compares two values of one type; text is read up to its terminator, never beyond its size
// when the size is known.
int compare_same(const void* a, int32_t a_size, const void* b, int32_t b_size, TABSBaseType t,
                 bool case_insensitive, int32_t prefix_length) {
  switch (t) {
    case btChar:
    case btString:
      return code_of(compare_ansi(static_cast<const char*>(a), a_size, static_cast<const char*>(b), b_size,
                                  case_insensitive, prefix_length));
    case btWideChar:
    case btWideString:
      return code_of(compare_wide(a, a_size, b, b_size, case_insensitive, prefix_length));
    case btShortint: return order(load<int8_t>(a), load<int8_t>(b));
    case btSmallint: return order(load<int16_t>(a), load<int16_t>(b));
    case btInteger:
    case btDate:
    case btTime: return order(load<int32_t>(a), load<int32_t>(b));
    case btLargeint: return order(load<int64_t>(a), load<int64_t>(b));
    case btByte: return order(load<uint8_t>(a), load<uint8_t>(b));
    case btWord: return order(load<uint16_t>(a), load<uint16_t>(b));
    case btCardinal: return order(load<uint32_t>(a), load<uint32_t>(b));
    case btDateTime: {
      const int r = order(load<int32_t>(a), load<int32_t>(b));
      if (r != cmpEqual) return r;
      return order(load<int32_t>(static_cast<const char*>(a) + 4), load<int32_t>(static_cast<const char*>(b) + 4));
    }
    case btSingle: return order(load<float>(a), load<float>(b));
    case btFloat:
    case btCurrency: return order(load<double>(a), load<double>(b));
    case btExtended:
      return order(ExtendedToLongDouble(load<Extended80>(a)), ExtendedToLongDouble(load<Extended80>(b)));
    case btLogical: return order(load<int16_t>(a) != 0, load<int16_t>(b) != 0);
    default:
      RaiseError(30047, BaseTypeName(t));
  }
}

}  // namespace

int CompareValues(const void* a, TABSBaseType a_type, bool a_null, const void* b, TABSBaseType b_type, bool b_null,
                  bool case_insensitive, int32_t prefix_length, int32_t a_size, int32_t b_size) {
  a_null = a_null || a == nullptr;
  b_null = b_null || b == nullptr;
  if (a_null || b_null) return a_null && b_null ? cmpBothNull : a_null ? cmpFirstNull : cmpSecondNull;
  if (a_type == b_type && !IsBlobBaseType(a_type))
    return compare_same(a, a_size, b, b_size, a_type, case_insensitive, prefix_length);
  const TABSBaseType common = CommonBaseType(a_type, b_type);
  if (common == btNone) RaiseError(30044, BaseTypeName(a_type), BaseTypeName(b_type));
  std::string ta, tb;
  if (a_type != common) {
    CastValueOrRaise(a_type, a, a_size, common, ta);
    a = ta.data();
    a_size = static_cast<int32_t>(ta.size());
  }
  if (b_type != common) {
    CastValueOrRaise(b_type, b, b_size, common, tb);
    b = tb.data();
    b_size = static_cast<int32_t>(tb.size());
  }
  return compare_same(a, a_size, b, b_size, common, case_insensitive, prefix_length);
}

}  // namespace dadoveri
