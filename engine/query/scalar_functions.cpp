#include "engine/query/scalar_functions.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <type_traits>

#include "engine/base/engine_error.h"
#include "engine/platform/code_page.h"
#include "engine/platform/locale.h"
#include "engine/table/extended.h"

namespace dadoveri {

namespace {

constexpr int32_t kOverflowCode = 40501;
constexpr int32_t kNotNumericCode = 40502;
constexpr int32_t kBadBase64Code = 40503;

// ---------------------------------------------------------------------------------------
// Text

// The result type of the text functions: the argument's string type, a memo's string
// counterpart, btString for everything else.
TABSBaseType text_result_type(TABSBaseType t) {
  if (t == btMemo) return btString;
  if (t == btWideMemo) return btWideString;
  if (IsStringBaseType(t)) return t;
  return btString;
}

TABSVariant ansi_result(TABSBaseType type, const std::string& text) {
  TABSVariant r(type);
  r.SetAsString(text);
  return r;
}

TABSVariant wide_result(TABSBaseType type, const std::u16string& text) {
  TABSVariant r(type);
  r.SetAsWideString(text);
  return r;
}

// Applies `ansi` or `wide` to the text of s, giving a value of the text result type.
template <typename AnsiOp, typename WideOp>
TABSVariant map_text(const TABSVariant& s, AnsiOp&& ansi, WideOp&& wide) {
  const TABSBaseType type = text_result_type(s.ValueType());
  if (s.IsNull()) return TABSVariant(type);
  if (IsWideStringBaseType(type)) return wide_result(type, wide(s.GetAsWideString()));
  return ansi_result(type, ansi(s.GetAsString()));
}

template <typename Char>
bool is_trimmed(Char c) {
  return static_cast<std::make_unsigned_t<Char>>(c) <= 0x20;
}

template <typename Text>
Text trim_text(const Text& text, bool left, bool right) {
  size_t begin = 0, end = text.size();
  if (left)
    while (begin < end && is_trimmed(text[begin])) ++begin;
  if (right)
    while (end > begin && is_trimmed(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

// ---------------------------------------------------------------------------------------
// Numbers

void require_numeric(const TABSVariant& x, const char* function) {
  if (!x.IsNumeric()) RaiseError(kNotNumericCode, function);
}

// The numeric value x in the widest real type.
long double real_value(const TABSVariant& x) {
  switch (x.ValueType()) {
    case btSingle: return x.GetAsSingle();
    case btFloat: return x.GetAsFloat();
    case btCurrency: return x.GetAsCurrency();
    case btExtended: return ExtendedToLongDouble(x.GetAsExtended());
    default: return static_cast<long double>(x.GetAsLargeint());
  }
}

// A btFloat result; NULL when it is not a finite double.
TABSVariant float_result(long double v) {
  TABSVariant r(btFloat);
  const double d = static_cast<double>(v);
  if (std::isfinite(d)) r.SetAsFloat(d);
  return r;
}

// A result of the real type t; NULL when it is not finite in that type.
TABSVariant real_result(TABSBaseType t, long double v) {
  TABSVariant r(t);
  switch (t) {
    case btSingle: {
      const float f = static_cast<float>(v);
      if (std::isfinite(f)) r.SetAsSingle(f);
      break;
    }
    case btCurrency: {
      const double d = static_cast<double>(v);
      if (std::isfinite(d)) r.SetAsCurrency(d);
      break;
    }
    case btExtended:
      if (std::isfinite(v)) r.SetAsExtended(v);
      break;
    default: {
      const double d = static_cast<double>(v);
      if (std::isfinite(d)) r.SetAsFloat(d);
      break;
    }
  }
  return r;
}

void integer_range(TABSBaseType t, int64_t& low, int64_t& high) {
  switch (t) {
    case btShortint: low = INT8_MIN, high = INT8_MAX; break;
    case btSmallint: low = INT16_MIN, high = INT16_MAX; break;
    case btInteger: low = INT32_MIN, high = INT32_MAX; break;
    case btByte: low = 0, high = UINT8_MAX; break;
    case btWord: low = 0, high = UINT16_MAX; break;
    case btCardinal: low = 0, high = UINT32_MAX; break;
    default: low = INT64_MIN, high = INT64_MAX; break;
  }
}

// An integer result of type t; raises the overflow message naming `function` when v does
// not fit.
TABSVariant integer_result(TABSBaseType t, int64_t v, const char* function) {
  int64_t low, high;
  integer_range(t, low, high);
  if (v < low || v > high) RaiseError(kOverflowCode, function);
  TABSVariant r(t);
  r.SetAsLargeint(v);
  return r;
}

// A btInteger result from a whole real number.
TABSVariant whole_result(long double v, const char* function) {
  if (!(v >= INT32_MIN && v <= INT32_MAX)) RaiseError(kOverflowCode, function);
  return integer_result(btInteger, static_cast<int64_t>(v), function);
}

// ---------------------------------------------------------------------------------------
// Decimal rounding

// A finite number as sign, significant digits (no leading or trailing zeros; empty for
// zero) and the count of digits before the decimal point.
struct Decimal {
  bool negative = false;
  std::string digits;
  int point = 0;
};

template <typename T>
Decimal shortest_decimal(T v) {
  char buffer[128];
  const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, v, std::chars_format::scientific);
  Decimal d;
  if (ec != std::errc()) return d;
  const std::string text(buffer, end);
  size_t i = 0;
  if (text[i] == '-') {
    d.negative = true;
    ++i;
  }
  const size_t e = text.find('e');
  for (; i < e; ++i)
    if (text[i] != '.') d.digits.push_back(text[i]);
  d.point = std::atoi(text.c_str() + e + 1) + 1;
  return d;
}

Decimal decimal_of(const TABSVariant& x) {
  Decimal d;
  switch (x.ValueType()) {
    case btSingle: d = shortest_decimal(x.GetAsSingle()); break;
    case btFloat: d = shortest_decimal(x.GetAsFloat()); break;
    case btCurrency: d = shortest_decimal(x.GetAsCurrency()); break;
    case btExtended: d = shortest_decimal(ExtendedToLongDouble(x.GetAsExtended())); break;
    default: {
      const int64_t v = x.GetAsLargeint();
      d.negative = v < 0;
      const uint64_t magnitude = d.negative ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
      d.digits = std::to_string(magnitude);
      d.point = static_cast<int>(d.digits.size());
      break;
    }
  }
  while (!d.digits.empty() && d.digits.back() == '0') d.digits.pop_back();
  size_t lead = 0;
  while (lead < d.digits.size() && d.digits[lead] == '0') ++lead;
  d.digits.erase(0, lead);
  d.point -= static_cast<int>(lead);
  return d;
}

// Whether dropping digits (the dropped part being nonzero) moves the magnitude up.
bool rounds_up(TRoundMode mode, bool negative, int versus_half, bool last_kept_odd) {
  switch (mode) {
    case TRoundMode::RndNeg: return negative;
    case TRoundMode::RndPos: return !negative;
    case TRoundMode::RndDown: return false;
    case TRoundMode::RndUp: return true;
    default: break;
  }
  if (versus_half != 0) return versus_half > 0;
  switch (mode) {
    case TRoundMode::HalfEven: return last_kept_odd;
    case TRoundMode::HalfPos: return !negative;
    case TRoundMode::HalfNeg: return negative;
    case TRoundMode::HalfDown: return false;
    default: return true;
  }
}

// x rounded to `places` decimals: the digits of an integer K, the result being
// K × 10^-places with x's sign (K has no sign; "0" for zero).
std::string round_digits(const Decimal& d, int places, TRoundMode mode) {
  if (d.digits.empty()) return "0";
  const int length = static_cast<int>(d.digits.size());
  const int keep = d.point + places;
  if (keep >= length) return d.digits + std::string(static_cast<size_t>(keep - length), '0');
  std::string kept = keep > 0 ? d.digits.substr(0, static_cast<size_t>(keep)) : std::string();
  int versus_half = -1;
  if (keep >= 0) {
    const char first = d.digits[static_cast<size_t>(keep)];
    versus_half = first > '5' ? 1 : first < '5' ? -1 : (keep + 1 < length ? 1 : 0);
  }
  const bool odd = !kept.empty() && ((kept.back() - '0') & 1) != 0;
  if (kept.empty()) kept.push_back('0');
  if (rounds_up(mode, d.negative, versus_half, odd)) {
    size_t i = kept.size();
    while (i > 0 && kept[i - 1] == '9') kept[--i] = '0';
    if (i == 0)
      kept.insert(kept.begin(), '1');
    else
      ++kept[i - 1];
  }
  const size_t nonzero = kept.find_first_not_of('0');
  return nonzero == std::string::npos ? "0" : kept.substr(nonzero);
}

// ---------------------------------------------------------------------------------------
// Base64

int base64_value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

bool is_base64_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

}  // namespace

// ---------------------------------------------------------------------------------------

TABSVariant ScalarUpper(const TABSVariant& s) {
  return map_text(
      s, [](const std::string& t) { return AnsiCodePage().UpperCase(t); },
      [](const std::u16string& t) { return UserLocale().UpperCase(t); });
}

TABSVariant ScalarLower(const TABSVariant& s) {
  return map_text(
      s, [](const std::string& t) { return AnsiCodePage().LowerCase(t); },
      [](const std::u16string& t) { return UserLocale().LowerCase(t); });
}

TABSVariant ScalarTrim(const TABSVariant& s) {
  return map_text(
      s, [](const std::string& t) { return trim_text(t, true, true); },
      [](const std::u16string& t) { return trim_text(t, true, true); });
}

TABSVariant ScalarLTrim(const TABSVariant& s) {
  return map_text(
      s, [](const std::string& t) { return trim_text(t, true, false); },
      [](const std::u16string& t) { return trim_text(t, true, false); });
}

TABSVariant ScalarRTrim(const TABSVariant& s) {
  return map_text(
      s, [](const std::string& t) { return trim_text(t, false, true); },
      [](const std::u16string& t) { return trim_text(t, false, true); });
}

namespace {

// SUBSTRING with an optional length (null pointer: to the end).
TABSVariant substring(const TABSVariant& s, const TABSVariant& start, const TABSVariant* length) {
  const TABSBaseType type = text_result_type(s.ValueType());
  const bool has_length = length != nullptr;
  if (s.IsNull() || start.IsNull() || (has_length && length->IsNull())) return TABSVariant(type);
  // Positions are counted in 64 bits so that start + length cannot overflow.
  const int64_t first = std::max<int64_t>(start.GetAsLargeint(), 1);
  const int64_t count = has_length ? length->GetAsLargeint() : std::numeric_limits<int32_t>::max();
  auto cut = [&](const auto& text) {
    using Text = std::decay_t<decltype(text)>;
    const int64_t size = static_cast<int64_t>(text.size());
    if (count <= 0 || first > size) return Text();
    return text.substr(static_cast<size_t>(first - 1), static_cast<size_t>(std::min(count, size - first + 1)));
  };
  return map_text(s, cut, cut);
}

}  // namespace

TABSVariant ScalarSubstring(const TABSVariant& s, const TABSVariant& start) { return substring(s, start, nullptr); }

TABSVariant ScalarSubstring(const TABSVariant& s, const TABSVariant& start, const TABSVariant& length) {
  return substring(s, start, &length);
}

TABSVariant ScalarLength(const TABSVariant& s) {
  TABSVariant r(btInteger);
  if (s.IsNull()) {
    r.SetAsInteger(0);
  } else if (IsWideStringBaseType(text_result_type(s.ValueType()))) {
    r.SetAsInteger(static_cast<int32_t>(s.GetAsWideString().size()));
  } else {
    r.SetAsInteger(static_cast<int32_t>(s.GetAsString().size()));
  }
  return r;
}

TABSVariant ScalarPosition(const TABSVariant& sub, const TABSVariant& s) {
  TABSVariant r(btInteger);
  if (sub.IsNull() || s.IsNull()) return r;
  size_t at;
  if (IsWideStringBaseType(text_result_type(sub.ValueType())) || IsWideStringBaseType(text_result_type(s.ValueType())))
    at = s.GetAsWideString().find(sub.GetAsWideString());
  else
    at = s.GetAsString().find(sub.GetAsString());
  r.SetAsInteger(at == std::string::npos ? 0 : static_cast<int32_t>(at) + 1);
  return r;
}

TABSVariant ScalarAbs(const TABSVariant& x) {
  const TABSBaseType t = x.ValueType();
  if (x.IsNull()) return TABSVariant(t);
  require_numeric(x, "DOD");
  if (IsIntegerBaseType(t)) {
    const int64_t v = x.GetAsLargeint();
    if (v == INT64_MIN) RaiseError(kOverflowCode, "DOD");
    return integer_result(t, v < 0 ? -v : v, "DOD");
  }
  return real_result(t, std::fabs(real_value(x)));
}

TABSVariant ScalarSqr(const TABSVariant& x) {
  const TABSBaseType t = x.ValueType();
  if (x.IsNull()) return TABSVariant(t);
  require_numeric(x, "SQR");
  if (IsIntegerBaseType(t)) {
    const int64_t v = x.GetAsLargeint();
    int64_t square;
    if (__builtin_mul_overflow(v, v, &square)) RaiseError(kOverflowCode, "SQR");
    return integer_result(t, square, "SQR");
  }
  const long double v = real_value(x);
  return real_result(t, v * v);
}

TABSVariant ScalarMath(TMathFunction f, const TABSVariant& x) {
  static const char* const kNames[] = {"ACOS", "ASIN", "ATAN", "COS", "SIN", "EXP", "LOG", "SQRT"};
  if (x.IsNull()) return TABSVariant(btFloat);
  require_numeric(x, kNames[static_cast<int>(f)]);
  const long double v = real_value(x);
  switch (f) {
    case TMathFunction::Acos: return float_result(std::acos(v));
    case TMathFunction::Asin: return float_result(std::asin(v));
    case TMathFunction::Atan: return float_result(std::atan(v));
    case TMathFunction::Cos: return float_result(std::cos(v));
    case TMathFunction::Sin: return float_result(std::sin(v));
    case TMathFunction::Exp: return float_result(std::exp(v));
    case TMathFunction::Log: return float_result(std::log(v));
    case TMathFunction::Sqrt: return float_result(std::sqrt(v));
  }
  return TABSVariant(btFloat);
}

TABSVariant ScalarCeil(const TABSVariant& x) {
  if (x.IsNull()) return TABSVariant(btInteger);
  require_numeric(x, "CEIL");
  return whole_result(std::ceil(real_value(x)), "CEIL");
}

TABSVariant ScalarFloor(const TABSVariant& x) {
  if (x.IsNull()) return TABSVariant(btInteger);
  require_numeric(x, "FLOOR");
  return whole_result(std::floor(real_value(x)), "FLOOR");
}

TABSVariant ScalarSign(const TABSVariant& x) {
  TABSVariant r(btInteger);
  if (x.IsNull()) return r;
  require_numeric(x, "SIGN");
  const long double v = real_value(x);
  r.SetAsInteger(v > 0 ? 1 : v < 0 ? -1 : 0);
  return r;
}

TABSVariant ScalarRand(const TABSVariant& n) {
  TABSVariant r(btInteger);
  if (n.IsNull()) return r;
  require_numeric(n, "RAND");
  const long double limit = std::floor(real_value(n));
  if (limit < 1) return r;
  if (limit > 2147483648.0L) RaiseError(kOverflowCode, "RAND");
  thread_local std::mt19937_64 generator{std::random_device{}()};
  std::uniform_int_distribution<int64_t> pick(0, static_cast<int64_t>(limit) - 1);
  r.SetAsInteger(static_cast<int32_t>(pick(generator)));
  return r;
}

TABSVariant ScalarPower(const TABSVariant& x, const TABSVariant& y) {
  if (x.IsNull() || y.IsNull()) return TABSVariant(btFloat);
  require_numeric(x, "POWER");
  require_numeric(y, "POWER");
  return float_result(std::pow(real_value(x), real_value(y)));
}

TABSVariant ScalarRound(const TABSVariant& x) {
  if (x.IsNull()) return TABSVariant(btInteger);
  require_numeric(x, "ROUND");
  const Decimal d = decimal_of(x);
  const std::string k = round_digits(d, 0, kDefaultRoundMode);
  if (k.size() > 10) RaiseError(kOverflowCode, "ROUND");
  const int64_t magnitude = std::stoll(k);
  return whole_result(static_cast<long double>(d.negative ? -magnitude : magnitude), "ROUND");
}

TABSVariant ScalarRound(const TABSVariant& x, const TABSVariant& digits, TRoundMode mode) {
  if (x.IsNull() || digits.IsNull()) return TABSVariant(btFloat);
  require_numeric(x, "ROUND");
  require_numeric(digits, "ROUND");
  // Beyond ±400 decimals a double is unchanged, or rounds to zero or to one step.
  const int64_t wanted = digits.GetAsLargeint();
  const int places = static_cast<int>(std::clamp<int64_t>(wanted, -400, 400));
  const Decimal d = decimal_of(x);
  const std::string k = round_digits(d, places, mode);
  const std::string text = (d.negative && k != "0" ? "-" : "") + k + "e" + std::to_string(-places);
  double v = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  (void)end;
  if (ec != std::errc()) return TABSVariant(btFloat);  // out of the double range
  return float_result(v);
}

TABSVariant ScalarExtract(TExtractPart part, const TABSVariant& x) {
  TABSVariant r(btWord);
  if (x.IsNull()) return r;
  TABSVariant moment(x);
  moment.ConvertTo(btDateTime);
  const TABSDateTime v = moment.GetAsDateTime();
  int year = 0, month = 0, day = 0;
  DecodeDayNumber(v.Date, year, month, day);
  int value = 0;
  switch (part) {
    case TExtractPart::Year: value = year; break;
    case TExtractPart::Month: value = month; break;
    case TExtractPart::Day: value = day; break;
    case TExtractPart::Hour: value = v.Time / 3600000; break;
    case TExtractPart::Minute: value = v.Time / 60000 % 60; break;
    case TExtractPart::Second: value = v.Time / 1000 % 60; break;
  }
  r.SetAsWord(static_cast<uint16_t>(value));
  return r;
}

TABSVariant ScalarMimeToBin(const TABSVariant& text) {
  TABSVariant r(btBlob);
  if (text.IsNull()) return r;
  const std::string source = text.GetAsString();
  std::string bytes;
  uint32_t bits = 0;
  int count = 0;    // alphabet characters read
  int padding = 0;  // '=' read
  for (const char c : source) {
    if (is_base64_space(c)) continue;
    if (c == '=') {
      ++padding;
      continue;
    }
    const int value = base64_value(c);
    if (value < 0 || padding > 0) RaiseError(kBadBase64Code);
    bits = (bits << 6) | static_cast<uint32_t>(value);
    if (++count % 4 == 0) {
      bytes.push_back(static_cast<char>(bits >> 16));
      bytes.push_back(static_cast<char>(bits >> 8));
      bytes.push_back(static_cast<char>(bits));
      bits = 0;
    }
  }
  const int rest = count % 4;
  // The last group holds two or three characters (one or two bytes), padded with '=' to
  // four or not padded at all.
  if (rest == 1 || padding > 2 || (padding > 0 && rest + padding != 4)) RaiseError(kBadBase64Code);
  if (rest == 2) {
    bytes.push_back(static_cast<char>(bits >> 4));
  } else if (rest == 3) {
    bytes.push_back(static_cast<char>(bits >> 10));
    bytes.push_back(static_cast<char>(bits >> 2));
  }
  if (!bytes.empty()) r.SetFromBuffer(bytes.data(), static_cast<int32_t>(bytes.size()), true, btBlob);
  return r;
}

}  // namespace dadoveri
