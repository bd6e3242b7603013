// Dates and times as the user's locale writes them, for the window's labels.
#pragma once

#include <QDate>
#include <QString>
#include <QTime>

namespace nilvar {

// The locale's short date format (e.g. "7/31/11").
QString ShortDateText(const QDate& date);
// The locale's long time format without a time-zone name (e.g. "3:15:24 PM").
QString LongTimeText(const QTime& time);
// A Solar Hijri date as year/month/day, plain decimal numbers without leading zeros.
QString SolarDateText(int year, int month, int day);

}  // namespace nilvar
