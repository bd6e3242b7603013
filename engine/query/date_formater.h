// Date format strings of TODATE and TOSTRING: a format such as 'DD.MM.YYYY HH24:NN' is
// compiled once into a list of elements, then reads text into a date-time value, writes a
// date-time value as text, and tells the result type and the longest text it writes.
// Date-time values are the calendar form: days since 1899-12-30, the time as the fraction.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/platform/calendar_names.h"
#include "engine/table/column_type.h"

namespace dadoveri {

enum TDateFormatType : uint8_t {
  dfYYYY = 0,
  dfYY = 1,
  dfYEAR = 2,
  dfQ = 3,
  dfMONTH = 4,
  dfMON = 5,
  dfMM = 6,
  dfM = 7,
  dfRM = 8,
  dfDDD = 9,
  dfDD = 10,
  dfDAY = 11,
  dfDY = 12,
  dfDW = 13,
  dfD = 14,
  dfHH12 = 15,
  dfHH24 = 16,
  dfHH = 17,
  dfH12 = 18,
  dfH24 = 19,
  dfH = 20,
  dfNN = 21,
  dfN = 22,
  dfSS = 23,
  dfS = 24,
  dfAMPM = 25,
  dfLiteral = 26,
};

struct TDateFormatElement {
  TDateFormatType Type = dfLiteral;
  std::u16string Text;  // literal text only
  bool operator==(const TDateFormatElement&) const = default;
};

class TDateFormater {
 public:
  // Compiles `format` with the user locale's month and day names.
  explicit TDateFormater(std::u16string_view format);
  TDateFormater(std::u16string_view format, const TCalendarNames& names);
  // An already compiled element list.
  TDateFormater(std::vector<TDateFormatElement> elements, const TCalendarNames& names);

  // The date-time the text denotes. A missing year, month or day gives the date 1899-12-30.
  double ParseText(std::u16string_view text) const;
  // The text of a date-time value.
  std::u16string FormatValue(double value) const;
  // The longest text FormatValue writes, in UTF-16 code units.
  int32_t GetDataSize() const;
  // ctDate for date elements only, ctTime for time elements only, ctDateTime otherwise.
  TABSColumnType GetDataType() const;

  const std::vector<TDateFormatElement>& Elements() const { return elements_; }

  // The element's name as written in formats ("YYYY" …); "" for literal text.
  static std::u16string_view ElementName(TDateFormatType type);

 private:
  void compile(std::u16string_view format);

  std::vector<TDateFormatElement> elements_;
  TCalendarNames names_;
};

}  // namespace dadoveri
