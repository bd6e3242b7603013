// The dataset layer's loosely typed value (the host framework's variant): what field values
// are read and written as through the dataset model.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

namespace dadoveri {

struct THostEmpty {
  bool operator==(const THostEmpty&) const = default;
};
struct THostNull {
  bool operator==(const THostNull&) const = default;
};
// A calendar date-time: days since 1899-12-30, time of day as the fraction.
struct THostDate {
  double Value = 0;
  bool operator==(const THostDate&) const = default;
};
// A currency amount.
struct THostCurrency {
  double Value = 0;
  bool operator==(const THostCurrency&) const = default;
};
// A variant type the engine does not take (the name is for the message).
struct THostUnsupported {
  std::string TypeName;
  bool operator==(const THostUnsupported&) const = default;
};

// std::u16string is the OLE string, std::string any other (single-byte) string.
using THostVariant = std::variant<THostEmpty, THostNull, int16_t, int32_t, float, double, THostCurrency,
                                  THostDate, std::u16string, bool, int8_t, uint8_t, uint16_t, uint32_t,
                                  int64_t, std::string, THostUnsupported>;

}  // namespace dadoveri
