#include "engine/table/variant.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "engine/platform/code_page.h"
#include "engine/platform/locale.h"
#include "engine/base/engine_error.h"
#include "engine/table/comparison.h"
#include "engine/base/memory_manager.h"

namespace dadoveri {

namespace {

enum class CastOutcome { kDone, kNoRule, kFailed };

template <typename T>
T load(const void* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

template <typename T>
void put(std::string& out, T v) {
  // resize + memcpy rather than assign: GCC 12 reports a false -Wrestrict on a 1-byte assign.
  out.resize(sizeof v);
  std::memcpy(out.data(), &v, sizeof v);
}

// Bytes of a zero-terminated single-byte text, bounded by `size` when it is known.
std::string_view ansi_text(const void* data, int32_t size) {
  const char* p = static_cast<const char*>(data);
  const size_t n = size >= 0 ? strnlen(p, static_cast<size_t>(size)) : std::strlen(p);
  return {p, n};
}

// Units of a zero-terminated UTF-16 text at any byte address, bounded by `size` bytes.
std::u16string wide_text(const void* data, int32_t size) {
  const char* p = static_cast<const char*>(data);
  const int32_t max_units = size >= 0 ? size / 2 : std::numeric_limits<int32_t>::max();
  int32_t n = 0;
  while (n < max_units && load<char16_t>(p + 2 * n) != 0) ++n;
  // One allocation for the whole text (this runs for every wide field a record read
  // hands out).
  std::u16string out(static_cast<size_t>(n), u'\0');
  for (int32_t i = 0; i < n; ++i) out[static_cast<size_t>(i)] = load<char16_t>(p + 2 * i);
  return out;
}

void put_ansi(std::string& out, std::string_view text) {
  out.assign(text);
  out.push_back('\0');
}

void put_wide(std::string& out, std::u16string_view text) {
  out.assign(reinterpret_cast<const char*>(text.data()), text.size() * 2);
  out.append(2, '\0');
}

std::string_view trim_blanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// Decimal integer text within [lo, hi].
bool parse_integer(std::string_view s, int64_t lo, int64_t hi, int64_t& value) {
  s = trim_blanks(s);
  bool negative = false;
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
    negative = s[0] == '-';
    s.remove_prefix(1);
  }
  if (s.empty()) return false;
  uint64_t magnitude = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    if (magnitude > (UINT64_MAX - 9) / 10) return false;
    magnitude = magnitude * 10 + static_cast<uint64_t>(c - '0');
  }
  if (negative) {
    if (magnitude > uint64_t{1} << 63) return false;
    value = magnitude == uint64_t{1} << 63 ? std::numeric_limits<int64_t>::min() : -static_cast<int64_t>(magnitude);
  } else {
    if (magnitude > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return false;
    value = static_cast<int64_t>(magnitude);
  }
  return value >= lo && value <= hi;
}

// Decimal number text with `separator` as the decimal separator: [sign] digits [sep digits]
// [E [sign] digits], at least one digit before the exponent.
bool parse_real(std::string_view s, char separator, long double& value) {
  s = trim_blanks(s);
  std::string t;
  size_t i = 0;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
    if (s[i] == '-') t += '-';
    ++i;
  }
  int digits = 0;
  while (i < s.size() && s[i] >= '0' && s[i] <= '9') t += s[i++], ++digits;
  if (i < s.size() && s[i] == separator) {
    t += '.';
    ++i;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') t += s[i++], ++digits;
  }
  if (digits == 0) return false;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    t += 'e';
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) t += s[i++];
    int exp_digits = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') t += s[i++], ++exp_digits;
    if (exp_digits == 0) return false;
  }
  if (i != s.size()) return false;
  const auto r = std::from_chars(t.data(), t.data() + t.size(), value);
  if (r.ec == std::errc::result_out_of_range) {
    // Overflow gives an infinity, underflow zero, as the host's conversion does.
    const bool tiny = t.find("e-") != std::string::npos;
    value = tiny ? 0.0L : std::numeric_limits<long double>::infinity();
    if (t[0] == '-') value = -value;
    return true;
  }
  return r.ec == std::errc() && r.ptr == t.data() + t.size();
}

// Shortest text that reads back as the same value, written with the locale's separator
// and an upper-case exponent without '+' or leading zeros ("1E20", "2.5E-5").
std::string format_real(TABSBaseType type, long double v) {
  if (std::isnan(v)) return "NAN";
  if (std::isinf(v)) return v < 0 ? "-INF" : "INF";
  char buf[128];
  std::to_chars_result r;
  if (type == btSingle)
    r = std::to_chars(buf, buf + sizeof buf, static_cast<float>(v));
  else if (type == btExtended)
    r = std::to_chars(buf, buf + sizeof buf, v);
  else
    r = std::to_chars(buf, buf + sizeof buf, static_cast<double>(v));
  std::string raw(buf, r.ptr);
  std::string out;
  const char sep = UserLocale().DecimalSeparator();
  for (size_t i = 0; i < raw.size(); ++i) {
    const char c = raw[i];
    if (c == '.') {
      out += sep;
    } else if (c == 'e') {
      out += 'E';
      size_t j = i + 1;
      if (j < raw.size() && raw[j] == '-') out += raw[j++];
      if (j < raw.size() && raw[j] == '+') ++j;
      while (j + 1 < raw.size() && raw[j] == '0') ++j;
      out.append(raw, j, std::string::npos);
      break;
    } else {
      out += c;
    }
  }
  return out;
}

// Integer value of an integer, date, time or logical encoding (unsigned ones zero-extended;
// logical true is -1).
int64_t read_integer(TABSBaseType t, const void* p) {
  switch (t) {
    case btShortint: return load<int8_t>(p);
    case btSmallint: return load<int16_t>(p);
    case btInteger:
    case btDate:
    case btTime: return load<int32_t>(p);
    case btLargeint: return load<int64_t>(p);
    case btByte: return load<uint8_t>(p);
    case btWord: return load<uint16_t>(p);
    case btCardinal: return load<uint32_t>(p);
    case btLogical: return load<int16_t>(p) != 0 ? -1 : 0;
    default: return 0;
  }
}

// The low bytes of `v` in the width of `t`.
void write_integer(TABSBaseType t, int64_t v, std::string& out) {
  switch (t) {
    case btShortint: put(out, static_cast<int8_t>(v)); break;
    case btSmallint: put(out, static_cast<int16_t>(v)); break;
    case btInteger:
    case btDate:
    case btTime: put(out, static_cast<int32_t>(v)); break;
    case btLargeint: put(out, v); break;
    case btByte: put(out, static_cast<uint8_t>(v)); break;
    case btWord: put(out, static_cast<uint16_t>(v)); break;
    case btCardinal: put(out, static_cast<uint32_t>(v)); break;
    case btLogical: put(out, static_cast<int16_t>(v != 0 ? -1 : 0)); break;
    default: break;
  }
}

long double read_real(TABSBaseType t, const void* p) {
  switch (t) {
    case btSingle: return load<float>(p);
    case btFloat:
    case btCurrency: return load<double>(p);
    case btExtended: return ExtendedToLongDouble(load<Extended80>(p));
    default: return 0;
  }
}

void write_real(TABSBaseType t, long double v, std::string& out) {
  switch (t) {
    case btSingle: put(out, static_cast<float>(v)); break;
    case btFloat:
    case btCurrency: put(out, static_cast<double>(v)); break;
    case btExtended: {
      const Extended80 e = LongDoubleToExtended(v);
      out.assign(reinterpret_cast<const char*>(e.bytes), 10);
      break;
    }
    default: break;
  }
}

bool is_real(TABSBaseType t) { return IsFloatBaseType(t) || t == btCurrency; }

// Whole part of a real as a 64-bit integer; false when it does not fit.
bool truncate_real(long double v, int64_t& out) {
  const long double whole = std::trunc(v);
  if (!(whole >= -9223372036854775808.0L && whole < 9223372036854775808.0L)) return false;
  out = static_cast<int64_t>(whole);
  return true;
}

void put_datetime(std::string& out, const TABSDateTime& v) {
  out.assign(reinterpret_cast<const char*>(&v.Date), 4);
  out.append(reinterpret_cast<const char*>(&v.Time), 4);
}

TABSDateTime read_datetime(const void* p) {
  return {load<int32_t>(p), load<int32_t>(static_cast<const char*>(p) + 4)};
}

// Number (integer or real, given as a long double) into a date, time or date-time.
CastOutcome number_to_date_time(long double v, TABSBaseType to, std::string& out) {
  int64_t whole;
  if (!truncate_real(v, whole)) return CastOutcome::kFailed;
  switch (to) {
    case btDate:
      put(out, static_cast<int32_t>(whole));
      return CastOutcome::kDone;
    case btTime: {
      int64_t ms = whole % kMSecsPerDay;
      if (ms < 0) ms += kMSecsPerDay;
      put(out, static_cast<int32_t>(ms));
      return CastOutcome::kDone;
    }
    default: {
      int64_t ms = std::llround(std::fabs(v - std::trunc(v)) * kMSecsPerDay);
      if (ms >= kMSecsPerDay) ms = kMSecsPerDay - 1;
      put_datetime(out, {static_cast<int32_t>(whole), static_cast<int32_t>(ms)});
      return CastOutcome::kDone;
    }
  }
}

CastOutcome cast_text(std::string_view ansi, const std::u16string* wide, TABSBaseType to, std::string& out) {
  switch (to) {
    case btChar:
    case btString:
      put_ansi(out, wide ? AnsiCodePage().ToAnsi(*wide) : std::string(ansi));
      return CastOutcome::kDone;
    case btWideChar:
    case btWideString:
      put_wide(out, wide ? *wide : AnsiCodePage().ToWide(ansi));
      return CastOutcome::kDone;
    case btMemo: {
      const std::string bytes = wide ? AnsiCodePage().ToAnsi(*wide) : std::string(ansi);
      out.assign(bytes);
      return CastOutcome::kDone;
    }
    case btWideMemo: {
      const std::u16string units = wide ? *wide : AnsiCodePage().ToWide(ansi);
      out.assign(reinterpret_cast<const char*>(units.data()), units.size() * 2);
      return CastOutcome::kDone;
    }
    case btBlob:
      if (wide)
        put_wide(out, *wide);
      else
        put_ansi(out, ansi);
      return CastOutcome::kDone;
    default:
      break;
  }
  // The other targets read the text as single-byte characters.
  std::string converted;
  if (wide) {
    converted = AnsiCodePage().ToAnsi(*wide);
    ansi = converted;
  }
  switch (to) {
    case btShortint:
    case btSmallint:
    case btInteger:
    case btByte:
    case btWord: {
      int64_t v;
      if (!parse_integer(ansi, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max(), v))
        return CastOutcome::kFailed;
      write_integer(to, v, out);
      return CastOutcome::kDone;
    }
    case btCardinal: {
      // The whole unsigned range is accepted, so that every Cardinal reads back from its text.
      int64_t v;
      if (!parse_integer(ansi, std::numeric_limits<int32_t>::min(), std::numeric_limits<uint32_t>::max(), v))
        return CastOutcome::kFailed;
      write_integer(to, v, out);
      return CastOutcome::kDone;
    }
    case btLargeint: {
      int64_t v;
      if (!parse_integer(ansi, std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max(), v))
        return CastOutcome::kFailed;
      write_integer(to, v, out);
      return CastOutcome::kDone;
    }
    case btSingle:
    case btFloat:
    case btExtended:
    case btCurrency: {
      long double v;
      if (!parse_real(ansi, to == btCurrency ? UserLocale().DecimalSeparator() : '.', v)) return CastOutcome::kFailed;
      write_real(to, v, out);
      return CastOutcome::kDone;
    }
    case btDate: {
      std::optional<int32_t> d;
      if (auto dt = ParseEngineDateTime(ansi))
        d = dt->Date;
      else
        d = ParseLocaleDate(ansi);
      if (!d) return CastOutcome::kFailed;
      put(out, *d);
      return CastOutcome::kDone;
    }
    case btTime: {
      std::optional<int32_t> t = ParseEngineTime(ansi);
      if (!t) t = ParseLocaleTime(ansi);
      if (!t) return CastOutcome::kFailed;
      put(out, *t);
      return CastOutcome::kDone;
    }
    case btDateTime: {
      std::optional<TABSDateTime> dt = ParseEngineDateTime(ansi);
      if (!dt) dt = ParseLocaleDateTime(ansi);
      if (!dt) return CastOutcome::kFailed;
      put_datetime(out, *dt);
      return CastOutcome::kDone;
    }
    case btLogical: {
      const std::string upper = AnsiCodePage().UpperCase(ansi);
      put(out, static_cast<int16_t>(upper == "1" || upper == "TRUE" ? -1 : 0));
      return CastOutcome::kDone;
    }
    default:
      return CastOutcome::kNoRule;
  }
}

CastOutcome cast_value(TABSBaseType from, const void* data, int32_t size, TABSBaseType to, std::string& out) {
  if (data == nullptr) return CastOutcome::kFailed;
  const char* p = static_cast<const char*>(data);
  if (from == btMemo) {
    const size_t n = size >= 0 ? static_cast<size_t>(size) : std::strlen(p);
    if (to == btChar || to == btString) {
      out.assign(p, n);
      out.push_back('\0');
      return CastOutcome::kDone;
    }
    if (to == btMemo) {
      out.assign(p, n);
      return CastOutcome::kDone;
    }
    return cast_text(std::string_view(p, strnlen(p, n)), nullptr, to, out);
  }
  if (from == btWideMemo) {
    const std::u16string units = wide_text(data, size);
    if (to == btWideMemo) {
      out.assign(p, size >= 0 ? static_cast<size_t>(size) : units.size() * 2);
      return CastOutcome::kDone;
    }
    return cast_text({}, &units, to, out);
  }
  if (IsAnsiStringBaseType(from)) {
    const std::string_view text = ansi_text(data, size);
    if (from == to) {
      put_ansi(out, text);
      return CastOutcome::kDone;
    }
    return cast_text(text, nullptr, to, out);
  }
  if (IsWideStringBaseType(from)) {
    const std::u16string text = wide_text(data, size);
    if (from == to) {
      put_wide(out, text);
      return CastOutcome::kDone;
    }
    return cast_text({}, &text, to, out);
  }
  if (from == to) {
    const int32_t n = size >= 0 ? size : MemoryDataSize(from, 0);
    out.assign(p, static_cast<size_t>(n));
    return CastOutcome::kDone;
  }
  if (IsIntegerBaseType(from) || from == btLogical) {
    const int64_t v = read_integer(from, data);
    if (IsStringBaseType(to)) {
      const std::string text = from == btLogical ? (v ? "TRUE" : "FALSE") : std::to_string(v);
      return cast_text(text, nullptr, to, out);
    }
    if (IsIntegerBaseType(to) || to == btLogical) {
      write_integer(to, v, out);
      return CastOutcome::kDone;
    }
    if (is_real(to)) {
      write_real(to, static_cast<long double>(v), out);
      return CastOutcome::kDone;
    }
    if (IsDateTimeBaseType(to) && from != btLogical) return number_to_date_time(static_cast<long double>(v), to, out);
    return CastOutcome::kNoRule;
  }
  if (is_real(from)) {
    const long double v = read_real(from, data);
    if (IsStringBaseType(to)) return cast_text(format_real(from, v), nullptr, to, out);
    if (IsIntegerBaseType(to)) {
      int64_t whole;
      if (!truncate_real(v, whole)) return CastOutcome::kFailed;
      write_integer(to, whole, out);
      return CastOutcome::kDone;
    }
    if (to == btLogical) {
      write_integer(to, v != 0 ? -1 : 0, out);
      return CastOutcome::kDone;
    }
    if (is_real(to)) {
      write_real(to, v, out);
      return CastOutcome::kDone;
    }
    if (IsDateTimeBaseType(to)) return number_to_date_time(v, to, out);
    return CastOutcome::kNoRule;
  }
  if (from == btDate) {
    const int32_t d = load<int32_t>(data);
    if (IsStringBaseType(to)) return cast_text(FormatLocaleDate(d), nullptr, to, out);
    if (to == btDateTime) {
      put_datetime(out, {d, 0});
      return CastOutcome::kDone;
    }
    return CastOutcome::kNoRule;
  }
  if (from == btTime) {
    const int32_t t = load<int32_t>(data);
    if (IsStringBaseType(to)) return cast_text(FormatLocaleTime(t), nullptr, to, out);
    if (to == btDateTime) {
      // A time alone lies on the calendar's day 0, as its calendar value does.
      put_datetime(out, {kDateDelta, t});
      return CastOutcome::kDone;
    }
    return CastOutcome::kNoRule;
  }
  if (from == btDateTime) {
    const TABSDateTime v = read_datetime(data);
    if (IsStringBaseType(to)) return cast_text(FormatLocaleDateTime(v), nullptr, to, out);
    if (to == btDate) {
      put(out, v.Date);
      return CastOutcome::kDone;
    }
    if (to == btTime) {
      put(out, v.Time);
      return CastOutcome::kDone;
    }
    return CastOutcome::kNoRule;
  }
  return CastOutcome::kNoRule;
}

[[noreturn]] void raise_cast(CastOutcome outcome, TABSBaseType from, TABSBaseType to) {
  RaiseError(outcome == CastOutcome::kNoRule ? 30052 : 30051, BaseTypeName(from), BaseTypeName(to));
}

}  // namespace

bool CastValue(TABSBaseType from, const void* data, int32_t size, TABSBaseType to, std::string& out) {
  return cast_value(from, data, size, to, out) == CastOutcome::kDone;
}

void CastValueOrRaise(TABSBaseType from, const void* data, int32_t size, TABSBaseType to, std::string& out) {
  const CastOutcome outcome = cast_value(from, data, size, to, out);
  if (outcome != CastOutcome::kDone) raise_cast(outcome, from, to);
}

// ---------------------------------------------------------------------------------------
// TABSVariant

TABSVariant::TABSVariant(const TABSVariant& other) : type_(other.type_) {
  if (!other.IsNull()) set_data(other.type_, other.data_, other.size_);
}

TABSVariant& TABSVariant::operator=(const TABSVariant& other) {
  if (this != &other) Assign(other, true);
  return *this;
}

TABSVariant::TABSVariant(TABSVariant&& other) noexcept
    : type_(other.type_), null_(other.null_), size_(other.size_), data_(other.data_), borrowed_(other.borrowed_) {
  if (other.data_ == other.inline_) {
    std::memcpy(inline_, other.inline_, static_cast<size_t>(other.size_));
    data_ = inline_;
  }
  other.data_ = nullptr;
  other.size_ = 0;
  other.null_ = 1;
  other.borrowed_ = false;
}

TABSVariant& TABSVariant::operator=(TABSVariant&& other) noexcept {
  if (this != &other) {
    release();
    type_ = other.type_;
    null_ = other.null_;
    size_ = other.size_;
    data_ = other.data_;
    borrowed_ = other.borrowed_;
    if (other.data_ == other.inline_) {
      std::memcpy(inline_, other.inline_, static_cast<size_t>(other.size_));
      data_ = inline_;
    }
    other.data_ = nullptr;
    other.size_ = 0;
    other.null_ = 1;
    other.borrowed_ = false;
  }
  return *this;
}

TABSVariant::~TABSVariant() {
  try {
    release();
  } catch (...) {
    // A damaged block cannot be reported from a destructor; it has been released anyway.
  }
}

void TABSVariant::release() {
  if (on_heap()) MemoryManager().FreeAndNillMem(data_);
  data_ = nullptr;
  borrowed_ = false;
}

void TABSVariant::Clear(TABSBaseType new_type) {
  release();
  type_ = new_type;
  size_ = 0;
  null_ = 1;
}

void TABSVariant::set_data(TABSBaseType type, const void* bytes, int32_t size) {
  if (size <= 0) {
    Clear(type);
    return;
  }
  // `bytes` may lie inside the block being replaced: it is copied before that goes.
  if (size <= kInlineSize) {
    if (data_ != inline_) {
      std::memmove(inline_, bytes, static_cast<size_t>(size));
      release();
      data_ = inline_;
    } else {
      std::memmove(inline_, bytes, static_cast<size_t>(size));
    }
  } else if (!on_heap() || MemoryManager().GetMemSize(data_) != size) {
    void* block = MemoryManager().GetMem(size);
    std::memmove(block, bytes, static_cast<size_t>(size));
    release();
    data_ = block;
  } else {
    std::memmove(data_, bytes, static_cast<size_t>(size));
  }
  type_ = type;
  size_ = size;
  null_ = 0;
  borrowed_ = false;
}

void TABSVariant::Assign(const TABSVariant& other, bool copy) {
  if (this == &other) return;
  if (other.data_ == nullptr) {
    Clear(other.type_);
    null_ = other.null_;
    return;
  }
  if (copy) {
    set_data(other.type_, other.data_, other.size_);
  } else {
    release();
    type_ = other.type_;
    size_ = other.size_;
    data_ = other.data_;
    borrowed_ = true;
  }
  null_ = other.null_;
}

void TABSVariant::SetFromBuffer(const void* data, int32_t size, bool copy, TABSBaseType type) {
  if (copy || data == nullptr || size <= 0) {
    set_data(type, data, data ? size : 0);
    return;
  }
  release();
  type_ = type;
  size_ = size;
  data_ = const_cast<void*>(data);
  borrowed_ = true;
  null_ = 0;
}

bool TABSVariant::WriteToBuffer(void* destination, int32_t room) const {
  if (IsNull()) return false;
  if (IsStringBaseType(type_) && size_ <= 1) return false;
  if (room != -1 && room < size_) RaiseError(20056);
  std::memcpy(destination, data_, static_cast<size_t>(size_));
  return true;
}

void TABSVariant::set_typed(TABSBaseType type, const void* bytes, int32_t size) {
  if (type_ == btNone || type_ == type) {
    set_data(type, bytes, size);
    return;
  }
  std::string out;
  CastValueOrRaise(type, bytes, size, type_, out);
  set_data(type_, out.data(), static_cast<int32_t>(out.size()));
}

void TABSVariant::SetAsShortint(int8_t v) { set_typed(btShortint, &v, 1); }
void TABSVariant::SetAsSmallint(int16_t v) { set_typed(btSmallint, &v, 2); }
void TABSVariant::SetAsInteger(int32_t v) { set_typed(btInteger, &v, 4); }
void TABSVariant::SetAsLargeint(int64_t v) { set_typed(btLargeint, &v, 8); }
void TABSVariant::SetAsByte(uint8_t v) { set_typed(btByte, &v, 1); }
void TABSVariant::SetAsWord(uint16_t v) { set_typed(btWord, &v, 2); }
void TABSVariant::SetAsCardinal(uint32_t v) { set_typed(btCardinal, &v, 4); }
void TABSVariant::SetAsSingle(float v) { set_typed(btSingle, &v, 4); }
void TABSVariant::SetAsFloat(double v) { set_typed(btFloat, &v, 8); }
void TABSVariant::SetAsExtended(const Extended80& v) { set_typed(btExtended, v.bytes, 10); }
void TABSVariant::SetAsLogical(bool v) {
  const int16_t w = v ? -1 : 0;
  set_typed(btLogical, &w, 2);
}
void TABSVariant::SetAsCurrency(double v) { set_typed(btCurrency, &v, 8); }
void TABSVariant::SetAsDate(int32_t day_number) { set_typed(btDate, &day_number, 4); }
void TABSVariant::SetAsTime(int32_t msecs) { set_typed(btTime, &msecs, 4); }
void TABSVariant::SetAsDateTime(const TABSDateTime& v) {
  std::string bytes;
  put_datetime(bytes, v);
  set_typed(btDateTime, bytes.data(), 8);
}
void TABSVariant::SetAsTDate(double calendar) { SetAsDate(CalendarToDayNumber(calendar)); }
void TABSVariant::SetAsTTime(double calendar) { SetAsTime(CalendarToTime(calendar)); }
void TABSVariant::SetAsTDateTime(double calendar) { SetAsDateTime(CalendarToDateTime(calendar)); }

void TABSVariant::SetAsString(std::string_view text) {
  if (text.empty()) {
    Clear(type_ == btNone ? btString : type_);
    return;
  }
  std::string bytes(text);
  bytes.push_back('\0');
  set_typed(btString, bytes.data(), static_cast<int32_t>(bytes.size()));
}

void TABSVariant::SetAsWideString(std::u16string_view text) {
  if (text.empty()) {
    Clear(type_ == btNone ? btWideString : type_);
    return;
  }
  std::string bytes;
  put_wide(bytes, text);
  set_typed(btWideString, bytes.data(), static_cast<int32_t>(bytes.size()));
}

void TABSVariant::require_not_null() const {
  if (IsNull()) RaiseError(30016);
}

std::string TABSVariant::cast_copy(TABSBaseType t) const {
  std::string out;
  CastValueOrRaise(type_, data_, size_, t, out);
  return out;
}

#define DADOVERI_GETTER(Name, T, bt)                        \
  T TABSVariant::GetAs##Name() const {                      \
    require_not_null();                                     \
    if (type_ == bt) return load<T>(data_);                 \
    const std::string bytes = cast_copy(bt);                \
    return load<T>(bytes.data());                           \
  }
DADOVERI_GETTER(Shortint, int8_t, btShortint)
DADOVERI_GETTER(Smallint, int16_t, btSmallint)
DADOVERI_GETTER(Integer, int32_t, btInteger)
DADOVERI_GETTER(Largeint, int64_t, btLargeint)
DADOVERI_GETTER(Byte, uint8_t, btByte)
DADOVERI_GETTER(Word, uint16_t, btWord)
DADOVERI_GETTER(Cardinal, uint32_t, btCardinal)
DADOVERI_GETTER(Single, float, btSingle)
DADOVERI_GETTER(Float, double, btFloat)
DADOVERI_GETTER(Extended, Extended80, btExtended)
DADOVERI_GETTER(Currency, double, btCurrency)
DADOVERI_GETTER(Date, int32_t, btDate)
DADOVERI_GETTER(Time, int32_t, btTime)
#undef DADOVERI_GETTER

bool TABSVariant::GetAsLogical() const {
  require_not_null();
  if (type_ == btLogical) return load<int16_t>(data_) != 0;
  return load<int16_t>(cast_copy(btLogical).data()) != 0;
}

TABSDateTime TABSVariant::GetAsDateTime() const {
  require_not_null();
  if (type_ == btDateTime) return read_datetime(data_);
  return read_datetime(cast_copy(btDateTime).data());
}

double TABSVariant::GetAsTDate() const { return DayNumberToCalendar(GetAsDate()); }
double TABSVariant::GetAsTTime() const { return TimeToCalendar(GetAsTime()); }
double TABSVariant::GetAsTDateTime() const { return DateTimeToCalendar(GetAsDateTime()); }

std::string TABSVariant::GetAsString() const {
  if (IsNull()) return std::string();
  if (IsAnsiStringBaseType(type_)) return std::string(ansi_text(data_, size_));
  const std::string bytes = cast_copy(btString);
  return std::string(ansi_text(bytes.data(), static_cast<int32_t>(bytes.size())));
}

std::u16string TABSVariant::GetAsWideString() const {
  if (IsNull()) return std::u16string();
  if (IsWideStringBaseType(type_)) return wide_text(data_, size_);
  const std::string bytes = cast_copy(btWideString);
  return wide_text(bytes.data(), static_cast<int32_t>(bytes.size()));
}

void TABSVariant::ConvertTo(TABSBaseType t) {
  if (t == type_) return;
  if (IsNull()) {
    Clear(t);
    return;
  }
  const std::string bytes = cast_copy(t);
  set_data(t, bytes.data(), static_cast<int32_t>(bytes.size()));
}

int32_t TABSVariant::StringLength() const {
  if (IsNull()) return -1;
  if (IsAnsiStringBaseType(type_)) return size_ - 1;
  if (IsWideStringBaseType(type_)) return size_ / 2 - 1;
  return -1;
}

// ---------------------------------------------------------------------------------------
// Arithmetic

namespace {

// Negating the lowest value of a signed type, or a nonzero unsigned value, has no result
// in the type.
[[noreturn]] void raise_overflow(TABSBaseType type) { RaiseError(30122, BaseTypeName(type)); }

[[noreturn]] void raise_division(const char* what) { RaiseError(30128, what); }

int64_t wrap_add(int64_t a, int64_t b) { return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b)); }
int64_t wrap_mul(int64_t a, int64_t b) { return static_cast<int64_t>(static_cast<uint64_t>(a) * static_cast<uint64_t>(b)); }

// Day number and milliseconds with the millisecond part carried into whole days.
TABSDateTime carry_days(int64_t days, int64_t ms) {
  if (ms > kMSecsPerDay - 1 || ms < 0) {
    int64_t carry = ms / kMSecsPerDay;
    ms %= kMSecsPerDay;
    if (ms < 0) {
      ms += kMSecsPerDay;
      --carry;
    }
    days += carry;
  }
  return {static_cast<int32_t>(days), static_cast<int32_t>(ms)};
}

}  // namespace

void TABSVariant::Negate() {
  if (IsNull()) return;
  std::string out;
  switch (type_) {
    case btShortint:
    case btSmallint:
    case btByte:
    case btWord:
      write_integer(type_, -read_integer(type_, data_), out);
      break;
    case btInteger:
    case btDate: {
      const int32_t v = load<int32_t>(data_);
      if (v == std::numeric_limits<int32_t>::min()) raise_overflow(type_);
      put(out, static_cast<int32_t>(-v));
      break;
    }
    case btLargeint: {
      const int64_t v = load<int64_t>(data_);
      if (v == std::numeric_limits<int64_t>::min()) raise_overflow(type_);
      put(out, -v);
      break;
    }
    case btCardinal: {
      if (load<uint32_t>(data_) != 0) raise_overflow(type_);
      put(out, uint32_t{0});
      break;
    }
    case btSingle:
    case btFloat:
    case btExtended:
    case btCurrency:
      write_real(type_, -read_real(type_, data_), out);
      break;
    case btLogical:
      put(out, static_cast<int16_t>(load<int16_t>(data_) != 0 ? 0 : -1));
      break;
    default:
      RaiseError(30123, BaseTypeName(type_));
  }
  set_data(type_, out.data(), static_cast<int32_t>(out.size()));
}

namespace {

enum class Op { kAdd, kMultiply, kDivide };

int32_t op_code(Op op) { return op == Op::kAdd ? 30124 : op == Op::kMultiply ? 30126 : 30127; }
const char* op_text(Op op) { return op == Op::kAdd ? "+" : op == Op::kMultiply ? "*" : "/"; }

// Combines two non-null values of the same type `t`; the result bytes go to `out`.
void combine(Op op, TABSBaseType t, const void* a, int32_t a_size, const void* b, int32_t b_size, std::string& out) {
  if (IsStringBaseType(t)) {
    if (op != Op::kAdd) RaiseError(op_code(op), op_text(op));
    if (IsAnsiStringBaseType(t)) {
      std::string s(ansi_text(a, a_size));
      s += ansi_text(b, b_size);
      put_ansi(out, s);
    } else {
      std::u16string s = wide_text(a, a_size);
      s += wide_text(b, b_size);
      put_wide(out, s);
    }
    return;
  }
  if (IsIntegerBaseType(t) || t == btDate || t == btTime) {
    const int64_t x = read_integer(t, a), y = read_integer(t, b);
    int64_t r;
    if (op == Op::kAdd) {
      r = wrap_add(x, y);
    } else if (op == Op::kMultiply) {
      r = wrap_mul(x, y);
    } else {
      if (y == 0) raise_division("Division by zero");
      const bool wide32 = t == btInteger || t == btDate || t == btTime;
      if (y == -1 && ((t == btLargeint && x == std::numeric_limits<int64_t>::min()) ||
                      (wide32 && x == std::numeric_limits<int32_t>::min())))
        raise_division("Integer overflow");
      r = x / y;
    }
    write_integer(t, r, out);
    return;
  }
  if (is_real(t)) {
    const long double x = read_real(t, a), y = read_real(t, b);
    long double r;
    if (op == Op::kAdd) {
      r = x + y;
    } else if (op == Op::kMultiply) {
      r = x * y;
    } else {
      if (y == 0) raise_division(x == 0 || std::isnan(x) ? "Invalid floating point operation" : "Floating point division by zero");
      r = x / y;
    }
    write_real(t, r, out);
    return;
  }
  if (t == btDateTime) {
    const TABSDateTime x = read_datetime(a), y = read_datetime(b);
    int64_t days, ms;
    if (op == Op::kAdd) {
      days = static_cast<int64_t>(x.Date) + y.Date;
      ms = static_cast<int64_t>(x.Time) + y.Time;
    } else if (op == Op::kMultiply) {
      days = static_cast<int64_t>(x.Date) * y.Date;
      ms = static_cast<int64_t>(x.Time) * y.Time;
    } else {
      if (y.Date == 0 || y.Time == 0) raise_division("Division by zero");
      days = static_cast<int64_t>(x.Date) / y.Date;
      ms = static_cast<int64_t>(x.Time) / y.Time;
    }
    put_datetime(out, carry_days(days, ms));
    return;
  }
  if (t == btLogical) {
    put(out, static_cast<int16_t>(load<int16_t>(a) != 0 || load<int16_t>(b) != 0 ? -1 : 0));
    return;
  }
  RaiseError(op_code(op), op_text(op));
}

void arithmetic(TABSVariant& left, const TABSVariant& right, Op op) {
  const TABSBaseType common = CommonBaseType(left.ValueType(), right.ValueType(), true);
  if (left.IsNull() || right.IsNull()) {
    if (op == Op::kAdd) {
      if (right.IsNull()) {
        if (!left.IsString()) left.Clear(common != btNone ? common : left.ValueType());
      } else if (left.IsString()) {
        TABSVariant copy(right);
        if (common != btNone) copy.ConvertTo(common);
        left = std::move(copy);
      } else if (common != btNone) {
        left.Clear(common);
      }
    } else {
      left.SetNull();
    }
    return;
  }
  if (common == btNone) RaiseError(op_code(op), op_text(op));
  // Two integers of one type (the common case of filters): combined in place, with the
  // same wrapping as below.
  if (op != Op::kDivide && common == left.ValueType() && common == right.ValueType() &&
      (common == btInteger || common == btLargeint)) {
    const int64_t x = read_integer(common, left.Data()), y = read_integer(common, right.Data());
    const int64_t r = op == Op::kAdd ? wrap_add(x, y) : wrap_mul(x, y);
    if (common == btInteger) {
      const int32_t narrow = static_cast<int32_t>(r);
      left.SetFromBuffer(&narrow, 4, true, btInteger);
    } else {
      left.SetFromBuffer(&r, 8, true, btLargeint);
    }
    return;
  }
  TABSVariant converted;
  const TABSVariant* r = &right;
  if (right.ValueType() != common) {
    converted = right;
    converted.ConvertTo(common);
    r = &converted;
  }
  TABSVariant converted_left;
  const TABSVariant* l = &left;
  if (left.ValueType() != common) {
    converted_left = left;
    converted_left.ConvertTo(common);
    l = &converted_left;
  }
  std::string out;  // a fixed-size result fits the string's own buffer
  combine(op, common, l->Data(), l->DataSize(), r->Data(), r->DataSize(), out);
  left.SetFromBuffer(out.data(), static_cast<int32_t>(out.size()), true, common);
}

}  // namespace

void TABSVariant::Add(const TABSVariant& right) { arithmetic(*this, right, Op::kAdd); }
void TABSVariant::Multiply(const TABSVariant& right) { arithmetic(*this, right, Op::kMultiply); }
void TABSVariant::Divide(const TABSVariant& right) { arithmetic(*this, right, Op::kDivide); }

// ---------------------------------------------------------------------------------------
// Comparison

int TABSVariant::CompareRaw(const TABSVariant& other, bool prefix, bool case_insensitive) const {
  int32_t prefix_length = -1;
  if (prefix && IsString() && other.IsString() && !IsNull() && !other.IsNull()) {
    const int32_t a = StringLength(), b = other.StringLength();
    prefix_length = a < b ? a : b;
  }
  return CompareValues(data_, type_, IsNull(), other.data_, other.type_, other.IsNull(), case_insensitive,
                       prefix_length, size_, other.size_);
}

int TABSVariant::Compare(const TABSVariant& other, bool prefix, bool case_insensitive) const {
  return CompareResultOrder(CompareRaw(other, prefix, case_insensitive));
}

// ---------------------------------------------------------------------------------------
// Stored form

void TABSVariant::AppendStoredForm(std::string& out) const {
  out.push_back(static_cast<char>(type_));
  out.push_back(IsNull() ? 1 : 0);
  if (IsNull()) return;
  const int32_t size = size_;
  out.append(reinterpret_cast<const char*>(&size), 4);
  out.append(static_cast<const char*>(data_), static_cast<size_t>(size_));
}

bool TABSVariant::ReadStoredForm(const uint8_t* data, size_t size, size_t& pos) {
  if (pos + 2 > size) return false;
  const TABSBaseType type = static_cast<TABSBaseType>(data[pos]);
  if (data[pos + 1] != 0) {
    Clear(type);
    pos += 2;
    return true;
  }
  if (pos + 6 > size) return false;
  int32_t n;
  std::memcpy(&n, data + pos + 2, 4);
  if (n < 0 || pos + 6 + static_cast<size_t>(n) > size) return false;
  set_data(type, data + pos + 6, n);  // a size of 0 gives a value without data: null
  pos += 6 + static_cast<size_t>(n);
  return true;
}

// ---------------------------------------------------------------------------------------
// Host variants

void TABSVariant::SetFromHostVariant(const THostVariant& value) {
  std::visit(
      [this](const auto& v) {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, THostEmpty> || std::is_same_v<T, THostNull>) {
          Clear(type_);
        } else if constexpr (std::is_same_v<T, int16_t>) {
          SetAsSmallint(v);
        } else if constexpr (std::is_same_v<T, int32_t>) {
          SetAsInteger(v);
        } else if constexpr (std::is_same_v<T, float>) {
          SetAsSingle(v);
        } else if constexpr (std::is_same_v<T, double>) {
          SetAsFloat(v);
        } else if constexpr (std::is_same_v<T, THostCurrency>) {
          SetAsCurrency(v.Value);
        } else if constexpr (std::is_same_v<T, THostDate>) {
          SetAsTDateTime(v.Value);
        } else if constexpr (std::is_same_v<T, std::u16string>) {
          SetAsWideString(v);
        } else if constexpr (std::is_same_v<T, bool>) {
          SetAsLogical(v);
        } else if constexpr (std::is_same_v<T, int8_t>) {
          SetAsShortint(v);
        } else if constexpr (std::is_same_v<T, uint8_t>) {
          SetAsByte(v);
        } else if constexpr (std::is_same_v<T, uint16_t>) {
          SetAsWord(v);
        } else if constexpr (std::is_same_v<T, uint32_t>) {
          SetAsCardinal(v);
        } else if constexpr (std::is_same_v<T, int64_t>) {
          SetAsLargeint(v);
        } else if constexpr (std::is_same_v<T, std::string>) {
          SetAsString(v);
        } else {
          RaiseError(30113, v.TypeName);
        }
      },
      value);
}

THostVariant TABSVariant::ToHostVariant() const {
  if (IsNull()) return THostNull{};
  switch (type_) {
    case btChar:
    case btString:
    case btMemo:
      return GetAsString();
    case btWideChar:
    case btWideString:
    case btWideMemo:
      return GetAsWideString();
    case btShortint: return GetAsShortint();
    case btSmallint: return GetAsSmallint();
    case btInteger: return GetAsInteger();
    case btLargeint: return GetAsLargeint();
    case btByte: return GetAsByte();
    case btWord: return GetAsWord();
    case btCardinal: return GetAsCardinal();
    case btSingle: return GetAsSingle();
    case btFloat: return GetAsFloat();
    case btExtended: return ExtendedToDouble(GetAsExtended());
    case btCurrency: return THostCurrency{GetAsCurrency()};
    case btDate: return THostDate{GetAsTDate()};
    case btTime: return THostDate{GetAsTTime()};
    case btDateTime: return THostDate{GetAsTDateTime()};
    case btBlob: return std::string(static_cast<const char*>(data_), static_cast<size_t>(size_));
    case btLogical: return GetAsLogical();
    default: RaiseError(30114, BaseTypeName(type_));
  }
}

}  // namespace dadoveri
