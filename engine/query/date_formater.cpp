#include "engine/query/date_formater.h"

#include <algorithm>
#include <array>
#include <span>

#include "engine/base/engine_error.h"
#include "engine/platform/locale.h"
#include "engine/table/date_time.h"

namespace dadoveri {

namespace {

// Element names by code; the longest is five characters.
constexpr std::array<std::u16string_view, dfLiteral> kElementNames = {
    u"YYYY", u"YY", u"YEAR", u"Q",    u"MONTH", u"MON", u"MM",  u"M",   u"RM", u"DDD", u"DD", u"DAY", u"DY",
    u"DW",   u"D",  u"HH12", u"HH24", u"HH",    u"H12", u"H24", u"H",   u"NN", u"N",   u"SS", u"S",   u"AMPM"};
constexpr size_t kLongestName = 5;

constexpr std::array<std::u16string_view, 12> kRomanMonths = {u"I",   u"II", u"III", u"IV", u"V",  u"VI",
                                                              u"VII", u"VIII", u"IX", u"X",  u"XI", u"XII"};

bool is_digit(char16_t c) { return c >= u'0' && c <= u'9'; }

char16_t ascii_upper(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c; }

bool is_date_element(TDateFormatType type) { return type <= dfD; }

void check_type(TDateFormatType type) {
  if (type > dfLiteral) RaiseError(40400);
}

std::u16string digits(int value, size_t width) {
  std::u16string out;
  do {
    out.insert(out.begin(), static_cast<char16_t>(u'0' + value % 10));
    value /= 10;
  } while (value > 0);
  if (out.size() < width) out.insert(0, width - out.size(), u'0');
  return out;
}

size_t longest(std::span<const std::u16string> names) {
  size_t n = 0;
  for (const std::u16string& name : names) n = std::max(n, name.size());
  return n;
}

// Reads a text element by element; each Read… either answers or raises.
class TDateTextReader {
 public:
  explicit TDateTextReader(std::u16string_view text) : text_(text) {}

  // Exactly `count` digits.
  int ReadFixed(size_t count, TDateFormatType element) {
    require_text(element);
    const std::u16string_view field = text_.substr(pos_, count);
    if (field.size() < count || !std::all_of(field.begin(), field.end(), is_digit))
      RaiseError(40401, std::u16string(TDateFormater::ElementName(element)), std::u16string(field));
    pos_ += count;
    return to_int(field);
  }

  // One digit, then more while they are digits, up to `most`.
  int ReadVariable(size_t most, TDateFormatType element) {
    require_text(element);
    size_t n = 0;
    while (n < most && pos_ + n < text_.size() && is_digit(text_[pos_ + n])) ++n;
    if (n == 0) RaiseError(40401, std::u16string(TDateFormater::ElementName(element)), std::u16string(text_.substr(pos_, most)));
    const std::u16string_view field = text_.substr(pos_, n);
    pos_ += n;
    return to_int(field);
  }

  // The index of the longest of `names` the text continues with, letter case aside; -1
  // when none.
  template <typename Names>
  int ReadName(const Names& names, TDateFormatType element) {
    require_text(element);
    int found = -1;
    size_t found_length = 0;
    for (size_t i = 0; i < names.size(); ++i) {
      const std::u16string_view name = names[i];
      if (name.empty() || name.size() <= found_length || pos_ + name.size() > text_.size()) continue;
      if (TUserLocale::FoldCase(text_.substr(pos_, name.size())) == TUserLocale::FoldCase(name)) {
        found = static_cast<int>(i);
        found_length = name.size();
      }
    }
    pos_ += found_length;
    return found;
  }

  // The text from the current position, at most `count` characters (for messages).
  std::u16string Ahead(size_t count) const { return std::u16string(text_.substr(std::min(pos_, text_.size()), count)); }

  void Skip(size_t count) { pos_ = std::min(text_.size(), pos_ + count); }

 private:
  void require_text(TDateFormatType element) const {
    if (pos_ >= text_.size()) RaiseError(40402, std::u16string(TDateFormater::ElementName(element)));
  }
  static int to_int(std::u16string_view field) {
    int value = 0;
    for (char16_t c : field) value = value * 10 + (c - u'0');
    return value;
  }

  std::u16string_view text_;
  size_t pos_ = 0;
};

void check_range(int value, int low, int high, TDateFormatType element) {
  if (value < low || value > high) RaiseError(40408, value, std::u16string(TDateFormater::ElementName(element)));
}

}  // namespace

std::u16string_view TDateFormater::ElementName(TDateFormatType type) {
  return type < dfLiteral ? kElementNames[type] : std::u16string_view();
}

TDateFormater::TDateFormater(std::u16string_view format) : TDateFormater(format, UserCalendarNames()) {}

TDateFormater::TDateFormater(std::u16string_view format, const TCalendarNames& names) : names_(names) {
  compile(format);
}

TDateFormater::TDateFormater(std::vector<TDateFormatElement> elements, const TCalendarNames& names)
    : elements_(std::move(elements)), names_(names) {
  for (const TDateFormatElement& element : elements_) check_type(element.Type);
}

void TDateFormater::compile(std::u16string_view format) {
  std::u16string pending;
  auto flush = [&] {
    if (!pending.empty()) elements_.push_back({dfLiteral, std::move(pending)});
    pending.clear();
  };
  size_t i = 0;
  while (i < format.size()) {
    const char16_t c = format[i];
    if (c == u'\'' || c == u'"') {
      const size_t close = format.find(c, i + 1);
      if (close == std::u16string_view::npos) RaiseError(40409, std::u16string(format));
      flush();
      pending = format.substr(i + 1, close - i - 1);
      flush();
      i = close + 1;
      continue;
    }
    // The longest name first, so MONTH is not read as MON followed by "TH".
    bool matched = false;
    for (size_t length = std::min(kLongestName, format.size() - i); length > 0 && !matched; --length) {
      std::u16string upper(format.substr(i, length));
      std::transform(upper.begin(), upper.end(), upper.begin(), ascii_upper);
      for (size_t code = 0; code < kElementNames.size(); ++code) {
        if (kElementNames[code] != upper) continue;
        flush();
        elements_.push_back({static_cast<TDateFormatType>(code), {}});
        i += length;
        matched = true;
        break;
      }
    }
    if (!matched) pending += format[i++];
  }
  flush();
}

std::u16string TDateFormater::FormatValue(double value) const {
  // The calendar runs from 0001-01-01 to 9999-12-31; the bounds are checked on the number
  // first, since a value far outside (or not a number) has no day number at all.
  const int32_t last_day = *EncodeDayNumber(9999, 12, 31);
  if (!(value > DayNumberToCalendar(1) - 1 && value < DayNumberToCalendar(last_day) + 1)) RaiseError(40410, value);
  const TABSDateTime date_time = CalendarToDateTime(value);
  if (date_time.Date < 1 || date_time.Date > last_day) RaiseError(40410, value);
  int year, month, day;
  DecodeDayNumber(date_time.Date, year, month, day);
  const int hour = date_time.Time / 3600000;
  const int minute = date_time.Time / 60000 % 60;
  const int second = date_time.Time / 1000 % 60;
  const int day_of_week = (date_time.Date - 1) % 7;  // day 1 (0001-01-01) was a Monday
  const int day_of_year = date_time.Date - *EncodeDayNumber(year, 1, 1) + 1;

  std::u16string out;
  for (const TDateFormatElement& element : elements_) {
    switch (element.Type) {
      case dfYYYY:
      case dfYEAR: out += digits(year, 4); break;
      case dfYY: out += digits(year % 100, 2); break;
      case dfQ: out += digits((month - 1) / 3 + 1, 1); break;
      case dfMONTH: out += names_.LongMonths[month - 1]; break;
      case dfMON: out += names_.ShortMonths[month - 1]; break;
      case dfMM: out += digits(month, 2); break;
      case dfM: out += digits(month, 1); break;
      case dfRM: out += kRomanMonths[month - 1]; break;
      case dfDDD: out += names_.ShortDays[day_of_week]; break;
      case dfDAY: out += names_.LongDays[day_of_week]; break;
      case dfDD: out += digits(day, 2); break;
      case dfD: out += digits(day, 1); break;
      case dfDY: out += digits(day_of_year, 1); break;
      case dfDW: out += digits(day_of_week + 1, 1); break;
      // The twelve-hour forms write 12 o'clock as 0.
      case dfHH12:
      case dfHH: out += digits(hour % 12, 2); break;
      case dfH12:
      case dfH: out += digits(hour % 12, 1); break;
      case dfHH24: out += digits(hour, 2); break;
      case dfH24: out += digits(hour, 1); break;
      case dfNN: out += digits(minute, 2); break;
      case dfN: out += digits(minute, 1); break;
      case dfSS: out += digits(second, 2); break;
      case dfS: out += digits(second, 1); break;
      case dfAMPM: out += hour >= 12 ? u"PM" : u"AM"; break;
      case dfLiteral: out += element.Text; break;
      default: RaiseError(40400);
    }
  }
  return out;
}

double TDateFormater::ParseText(std::u16string_view text) const {
  TDateTextReader reader(text);
  int year = 0, month = 0, day = 0, day_of_year = 0;
  int hour = 0, minute = 0, second = 0;
  TDateFormatType hour_element = dfLiteral;  // the element that set the hour, if any
  int pm = -1;                               // -1 no AM/PM word, 0 AM, 1 PM

  for (const TDateFormatElement& element : elements_) {
    const TDateFormatType type = element.Type;
    switch (type) {
      case dfYYYY:
      case dfYEAR: year = reader.ReadFixed(4, type); break;
      case dfYY: {
        const int yy = reader.ReadFixed(2, type);
        year = yy < 30 ? 2000 + yy : 1900 + yy;
        break;
      }
      case dfQ: {
        const int quarter = reader.ReadFixed(1, type);
        check_range(quarter, 1, 4, type);
        month = 3 * quarter - 2;
        break;
      }
      case dfMONTH:
      case dfMON: {
        const auto& names = type == dfMONTH ? names_.LongMonths : names_.ShortMonths;
        const int index = reader.ReadName(names, type);
        if (index < 0) RaiseError(40403, reader.Ahead(longest(names)));
        month = index + 1;
        break;
      }
      case dfRM: {
        const int index = reader.ReadName(kRomanMonths, type);
        if (index < 0) RaiseError(40404, reader.Ahead(4));
        month = index + 1;
        break;
      }
      case dfMM:
      case dfM:
        month = type == dfMM ? reader.ReadFixed(2, type) : reader.ReadVariable(2, type);
        check_range(month, 1, 12, type);
        break;
      case dfDD:
      case dfD:
        day = type == dfDD ? reader.ReadFixed(2, type) : reader.ReadVariable(2, type);
        check_range(day, 1, 31, type);
        break;
      case dfDDD:
      case dfDAY: {
        // The weekday name is read past; the date comes from the other elements.
        const auto& names = type == dfDAY ? names_.LongDays : names_.ShortDays;
        if (reader.ReadName(names, type) < 0) RaiseError(40405, reader.Ahead(longest(names)));
        break;
      }
      case dfDY:
        day_of_year = reader.ReadVariable(3, type);
        check_range(day_of_year, 1, 366, type);
        break;
      case dfDW: check_range(reader.ReadFixed(1, type), 1, 7, type); break;
      case dfHH12:
      case dfHH:
      case dfH12:
      case dfH:
      case dfH24:
        hour = reader.ReadVariable(2, type);
        hour_element = type;
        break;
      case dfHH24:
        hour = reader.ReadFixed(2, type);
        hour_element = type;
        break;
      case dfNN: minute = reader.ReadFixed(2, type); break;
      case dfN: minute = reader.ReadVariable(2, type); break;
      case dfSS: second = reader.ReadFixed(2, type); break;
      case dfS: second = reader.ReadVariable(2, type); break;
      case dfAMPM: {
        const std::u16string word = reader.Ahead(2);
        const std::u16string upper = {word.size() > 0 ? ascii_upper(word[0]) : u'\0',
                                      word.size() > 1 ? ascii_upper(word[1]) : u'\0'};
        if (upper == u"AM") pm = 0;
        else if (upper == u"PM") pm = 1;
        else RaiseError(30129, word);
        reader.Skip(2);
        break;
      }
      case dfLiteral: reader.Skip(element.Text.size()); break;
      default: RaiseError(40400);
    }
  }

  if (pm >= 0) {
    // A twelve-hour clock runs 12, 1 … 11: its 12 is the hour 0 of the half day.
    const bool twelve_hour = hour_element == dfHH12 || hour_element == dfHH || hour_element == dfH12 || hour_element == dfH;
    if (twelve_hour) {
      check_range(hour, 0, 12, hour_element);
      if (hour == 12) hour = 0;
    }
    if (pm == 1) hour += 12;
  }
  if (hour > 23 || minute > 59 || second > 59) RaiseError(40407, hour, minute, second);

  int32_t day_number = kDateDelta;
  if (year != 0 && day_of_year != 0) {
    const int32_t first = *EncodeDayNumber(year, 1, 1);
    const int32_t days_in_year = *EncodeDayNumber(year + 1, 1, 1) - first;
    check_range(day_of_year, 1, days_in_year, dfDY);
    DecodeDayNumber(first + day_of_year - 1, year, month, day);
  }
  if (year != 0 && month != 0 && day != 0) {
    const std::optional<int32_t> encoded = EncodeDayNumber(year, month, day);
    if (!encoded) RaiseError(40406, year, month, day);
    day_number = *encoded;
  }
  return DateTimeToCalendar({day_number, ((hour * 60 + minute) * 60 + second) * 1000});
}

int32_t TDateFormater::GetDataSize() const {
  size_t size = 0;
  for (const TDateFormatElement& element : elements_) {
    switch (element.Type) {
      case dfYYYY:
      case dfYEAR:
      case dfRM: size += 4; break;
      case dfQ: size += 1; break;
      case dfDY: size += 3; break;
      case dfMONTH: size += longest(names_.LongMonths); break;
      case dfMON: size += longest(names_.ShortMonths); break;
      case dfDAY: size += longest(names_.LongDays); break;
      case dfDDD: size += longest(names_.ShortDays); break;
      case dfLiteral: size += element.Text.size(); break;
      default:
        check_type(element.Type);
        size += 2;
    }
  }
  return static_cast<int32_t>(size);
}

TABSColumnType TDateFormater::GetDataType() const {
  bool date = false, time = false;
  for (const TDateFormatElement& element : elements_) {
    check_type(element.Type);
    if (element.Type == dfLiteral) continue;
    (is_date_element(element.Type) ? date : time) = true;
  }
  if (date && !time) return ctDate;
  if (time && !date) return ctTime;
  return ctDateTime;
}

}  // namespace dadoveri
