#include "app/locale_text.h"

#include <QLocale>

namespace nilvar {
namespace {

// Removes the time-zone fields ('t') from a Qt time format, with the blanks before them.
// A desktop clock shows the time alone.
QString WithoutTimeZone(const QString& format) {
  QString out;
  bool quoted = false;
  for (qsizetype i = 0; i < format.size(); ++i) {
    const QChar c = format[i];
    if (c == u'\'') quoted = !quoted;
    if (!quoted && c == u't') {
      while (!out.isEmpty() && out.back().isSpace()) out.chop(1);
      continue;
    }
    out += c;
  }
  return out.trimmed();
}

}  // namespace

QString ShortDateText(const QDate& date) {
  return QLocale::system().toString(date, QLocale::ShortFormat);
}

QString LongTimeText(const QTime& time) {
  const QLocale locale = QLocale::system();
  return locale.toString(time, WithoutTimeZone(locale.timeFormat(QLocale::LongFormat)));
}

QString SolarDateText(int year, int month, int day) {
  return QStringLiteral("%1/%2/%3").arg(year).arg(month).arg(day);
}

}  // namespace nilvar
