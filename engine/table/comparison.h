// The engine's single comparison of two raw values, used alike by B-tree keys, check
// constraints, sorting and the expression engine; and the common type two values are
// brought to before they are compared or combined.
#pragma once

#include <cstdint>

#include "engine/table/column_type.h"

namespace dadoveri {

// Comparison result codes.
enum TABSCompareResult : int {
  cmpEqual = 0,
  cmpLess = 1,         // the first value is lower
  cmpGreater = 2,      // the first value is higher
  cmpFirstNull = 3,    // only the first value is NULL
  cmpSecondNull = 4,   // only the second value is NULL
  cmpBothNull = 5,
};

// The ordering of a result code: NULL sorts below every value and equals NULL.
constexpr int CompareResultOrder(int code) {
  return code == cmpLess || code == cmpFirstNull ? -1 : code == cmpGreater || code == cmpSecondNull ? 1 : 0;
}

// The common type of two base types; btNone when they are incompatible. The arithmetic
// use differs where text meets a date or time: the result is then the text type.
TABSBaseType CommonBaseType(TABSBaseType a, TABSBaseType b, bool arithmetic = false);
// For the SQL layer: the common base type turned back into a column type (that of a if its
// base type is the common one, else that of b, else the first column type of the common
// base type).
TABSColumnType CommonColumnType(TABSColumnType a, TABSColumnType b, bool arithmetic = false);

// Compares two values given by pointers to their base-type encodings. Text compares with
// the user locale's collation (letter case ignored when `case_insensitive`); a
// `prefix_length` other than -1 limits both texts to that many characters. `a_size` and
// `b_size` give the byte counts of the values when known (-1: text up to its terminator);
// text is never read beyond them. Returns a
// TABSCompareResult code. Raises 30044 for incompatible types, 30047 for types without an
// order, the cast messages when a side cannot be brought to the common type.
int CompareValues(const void* a, TABSBaseType a_type, bool a_null, const void* b, TABSBaseType b_type,
                  bool b_null, bool case_insensitive = false, int32_t prefix_length = -1,
                  int32_t a_size = -1, int32_t b_size = -1);

// Zero-terminated single-byte text of the ANSI code page and zero-terminated UTF-16 text
// (which may sit at any byte address, as in a record); -1, 0 or 1.
int CompareAnsiText(const char* a, const char* b, bool case_insensitive, int32_t prefix_length = -1);
int CompareWideText(const void* a, const void* b, bool case_insensitive, int32_t prefix_length = -1);
// Two single-byte text values as CompareValues compares them (never read beyond `a_size`
// and `b_size` bytes; -1: up to the terminator), for callers that already know both are
// non-NULL text; -1, 0 or 1.
int CompareAnsiValues(const char* a, int32_t a_size, const char* b, int32_t b_size, bool case_insensitive,
                      int32_t prefix_length = -1);

}  // namespace dadoveri
