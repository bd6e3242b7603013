#include "engine/table/date_time.h"

#include <cmath>
#include <cstdio>

#include "engine/platform/locale.h"

namespace dadoveri {

namespace {

// Days since 1970-01-01 of a proleptic Gregorian date.
int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

constexpr int64_t kUnixEpochDayNumber = 719163;

bool leap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int days_in_month(int y, int m) {
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && leap(y) ? 29 : days[m - 1];
}

// A small reader over text: blanks, unsigned numbers and single characters.
struct Reader {
  std::string_view s;
  size_t i = 0;
  void blanks() {
    while (i < s.size() && s[i] == ' ') ++i;
  }
  bool number(int& out, int max_digits) {
    int digits = 0;
    out = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9' && digits < max_digits) {
      out = out * 10 + (s[i++] - '0');
      ++digits;
    }
    return digits > 0;
  }
  bool is(char c) {
    if (i < s.size() && s[i] == c) {
      ++i;
      return true;
    }
    return false;
  }
  bool done() {
    blanks();
    return i == s.size();
  }
};

std::optional<int32_t> read_iso_date(Reader& r) {
  int y, m, d;
  r.blanks();
  if (!r.number(y, 4) || !r.is('-') || !r.number(m, 2) || !r.is('-') || !r.number(d, 2)) return std::nullopt;
  return EncodeDayNumber(y, m, d);
}

std::optional<int32_t> read_time(Reader& r, bool seconds_required) {
  int h, n, s = 0, ms = 0;
  r.blanks();
  if (!r.number(h, 2) || !r.is(':') || !r.number(n, 2)) return std::nullopt;
  if (r.is(':')) {
    if (!r.number(s, 2)) return std::nullopt;
    if (r.is('.')) {
      const size_t start = r.i;
      if (!r.number(ms, 3)) return std::nullopt;
      for (size_t k = r.i - start; k < 3; ++k) ms *= 10;
    }
  } else if (seconds_required) {
    return std::nullopt;
  }
  r.blanks();
  // A 12-hour suffix, as some locales write times.
  const std::string_view rest = r.s.substr(r.i);
  if (rest.size() >= 2 && (rest[1] == 'M' || rest[1] == 'm') && (rest[0] == 'A' || rest[0] == 'a' || rest[0] == 'P' || rest[0] == 'p')) {
    if (h < 1 || h > 12) return std::nullopt;
    const bool pm = rest[0] == 'P' || rest[0] == 'p';
    h = h % 12 + (pm ? 12 : 0);
    r.i += 2;
  }
  if (h > 23 || n > 59 || s > 59) return std::nullopt;
  return ((h * 60 + n) * 60 + s) * 1000 + ms;
}

// Field order ('y', 'M', 'd') and separator of the locale's short date.
struct DateShape {
  char order[3] = {'y', 'M', 'd'};
  std::string separator = "-";
  bool pad_day = true, pad_month = true;
};

const DateShape& date_shape() {
  static const DateShape shape = [] {
    DateShape s;
    const std::string& p = UserLocale().ShortDatePattern();
    int found = 0;
    bool quoted = false;
    std::string sep;
    for (size_t i = 0; i < p.size(); ++i) {
      const char c = p[i];
      if (c == '\'') {
        quoted = !quoted;
        continue;
      }
      if (!quoted && (c == 'y' || c == 'M' || c == 'L' || c == 'd')) {
        const char field = c == 'L' ? 'M' : c;
        size_t run = 1;
        while (i + 1 < p.size() && p[i + 1] == c) ++i, ++run;
        if (found < 3) {
          if (found == 1) s.separator = sep.empty() ? "-" : sep;
          s.order[found++] = field;
          if (field == 'd') s.pad_day = run >= 2;
          if (field == 'M') s.pad_month = run >= 2;
        }
        sep.clear();
      } else if (found == 1) {
        sep += c;
      }
    }
    const bool complete = found == 3 && s.order[0] != s.order[1] && s.order[1] != s.order[2] && s.order[0] != s.order[2];
    if (!complete) s = DateShape();
    return s;
  }();
  return shape;
}

}  // namespace

std::optional<int32_t> EncodeDayNumber(int year, int month, int day) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 || day > days_in_month(year, month))
    return std::nullopt;
  return static_cast<int32_t>(days_from_civil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) +
                              kUnixEpochDayNumber);
}

void DecodeDayNumber(int32_t day_number, int& year, int& month, int& day) {
  int64_t z = static_cast<int64_t>(day_number) - kUnixEpochDayNumber + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t y = static_cast<int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(y + (month <= 2));
}

TABSDateTime CalendarToDateTime(double calendar) {
  const double whole = std::trunc(calendar);
  int64_t ms = std::llround(std::fabs(calendar - whole) * kMSecsPerDay);
  int64_t day = static_cast<int64_t>(whole) + kDateDelta;
  if (ms >= kMSecsPerDay) {
    ms -= kMSecsPerDay;
    day += calendar < 0 ? -1 : 1;
  }
  return {static_cast<int32_t>(day), static_cast<int32_t>(ms)};
}

int32_t CalendarToDayNumber(double calendar) { return CalendarToDateTime(calendar).Date; }
int32_t CalendarToTime(double calendar) { return CalendarToDateTime(calendar).Time; }
double DayNumberToCalendar(int32_t day_number) { return static_cast<double>(day_number) - kDateDelta; }
double TimeToCalendar(int32_t msecs) { return static_cast<double>(msecs) / kMSecsPerDay; }
double DateTimeToCalendar(const TABSDateTime& v) {
  // Before day 0 the calendar counts whole days down and the time of day up from them
  // (-1.25 is 1899-12-29 06:00), as CalendarToDateTime reads it.
  const double days = static_cast<double>(v.Date) - kDateDelta;
  const double fraction = static_cast<double>(v.Time) / kMSecsPerDay;
  return days < 0 ? days - fraction : days + fraction;
}

double DateTimeToNative(const TABSDateTime& v) {
  return (static_cast<double>(v.Date) - 1) * kMSecsPerDay + static_cast<double>(v.Time);
}

TABSDateTime NativeToDateTime(double native) {
  const double days = std::floor(native / kMSecsPerDay);
  const double ms = native - days * kMSecsPerDay;
  return {static_cast<int32_t>(days + 1), static_cast<int32_t>(ms)};
}

std::optional<int32_t> ParseEngineDate(std::string_view text) {
  Reader r{text};
  auto d = read_iso_date(r);
  return d && r.done() ? d : std::nullopt;
}

std::optional<int32_t> ParseEngineTime(std::string_view text) {
  Reader r{text};
  auto t = read_time(r, true);
  return t && r.done() ? t : std::nullopt;
}

std::optional<TABSDateTime> ParseEngineDateTime(std::string_view text) {
  Reader r{text};
  auto d = read_iso_date(r);
  if (!d) return std::nullopt;
  const size_t date_end = r.i;
  if (r.done()) return TABSDateTime{*d, 0};
  if (r.i == date_end && !r.is('T')) return std::nullopt;
  auto t = read_time(r, true);
  if (!t || !r.done()) return std::nullopt;
  return TABSDateTime{*d, *t};
}

std::optional<int32_t> ParseLocaleDate(std::string_view text) {
  Reader r{text};
  const DateShape& shape = date_shape();
  int parts[3];
  r.blanks();
  for (int k = 0; k < 3; ++k) {
    if (k > 0) {
      // Any run of separator characters between the numbers.
      const size_t start = r.i;
      while (r.i < text.size() && !(text[r.i] >= '0' && text[r.i] <= '9')) ++r.i;
      if (r.i == start) return std::nullopt;
    }
    if (!r.number(parts[k], shape.order[k] == 'y' ? 4 : 2)) return std::nullopt;
  }
  if (!r.done()) return std::nullopt;
  int y = 0, m = 0, d = 0;
  for (int k = 0; k < 3; ++k) (shape.order[k] == 'y' ? y : shape.order[k] == 'M' ? m : d) = parts[k];
  return EncodeDayNumber(y, m, d);
}

std::optional<int32_t> ParseLocaleTime(std::string_view text) {
  Reader r{text};
  auto t = read_time(r, false);
  return t && r.done() ? t : std::nullopt;
}

std::optional<TABSDateTime> ParseLocaleDateTime(std::string_view text) {
  // The date ends at the first blank that follows a digit.
  size_t cut = text.find_first_not_of(' ');
  if (cut == std::string_view::npos) return std::nullopt;
  cut = text.find(' ', cut);
  if (cut == std::string_view::npos) {
    auto d = ParseLocaleDate(text);
    if (!d) return std::nullopt;
    return TABSDateTime{*d, 0};
  }
  auto d = ParseLocaleDate(text.substr(0, cut));
  auto t = ParseLocaleTime(text.substr(cut));
  if (!d || !t) return std::nullopt;
  return TABSDateTime{*d, *t};
}

std::string FormatLocaleDate(int32_t day_number) {
  if (day_number < 1) return std::string();
  int y, m, d;
  DecodeDayNumber(day_number, y, m, d);
  const DateShape& shape = date_shape();
  std::string out;
  for (int k = 0; k < 3; ++k) {
    if (k > 0) out += shape.separator;
    char buf[16];
    switch (shape.order[k]) {
      case 'y':
        std::snprintf(buf, sizeof buf, "%04d", y);
        break;
      case 'M':
        std::snprintf(buf, sizeof buf, shape.pad_month ? "%02d" : "%d", m);
        break;
      default:
        std::snprintf(buf, sizeof buf, shape.pad_day ? "%02d" : "%d", d);
        break;
    }
    out += buf;
  }
  return out;
}

std::string FormatLocaleTime(int32_t msecs) {
  if (msecs < 0) msecs = 0;
  const int ms = msecs % 1000;
  const int s = msecs / 1000 % 60;
  const int n = msecs / 60000 % 60;
  const int h = msecs / 3600000 % 24;
  char buf[32];
  if (ms)
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03d", h, n, s, ms);
  else
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", h, n, s);
  return buf;
}

std::string FormatLocaleDateTime(const TABSDateTime& v) {
  if (v.Time == 0) return FormatLocaleDate(v.Date);
  return FormatLocaleDate(v.Date) + " " + FormatLocaleTime(v.Time);
}

}  // namespace dadoveri
