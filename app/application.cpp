#include "app/application.h"

#include <QApplication>
#include <QFontDatabase>
#include <QStringList>

static void InitNilvarResources() { Q_INIT_RESOURCE(nilvar); }

namespace nilvar {
namespace {

QString& FontFamily() {
  static QString family;
  return family;
}

}  // namespace

void InitializeApplication(QApplication& app) {
  InitNilvarResources();
  app.setApplicationName(QStringLiteral("nilvar"));
  app.setApplicationDisplayName(QString::fromUtf8(kApplicationTitle));
  if (FontFamily().isEmpty()) {
    for (const char* file : {":/fonts/Vazirmatn-Regular.ttf", ":/fonts/Vazirmatn-Bold.ttf"}) {
      const int id = QFontDatabase::addApplicationFont(QString::fromLatin1(file));
      const QStringList families = QFontDatabase::applicationFontFamilies(id);
      if (FontFamily().isEmpty() && !families.isEmpty()) FontFamily() = families.front();
    }
    // Without the bundled font (a damaged resource) Qt's default still renders Persian.
    if (FontFamily().isEmpty()) FontFamily() = QApplication::font().family();
  }
  app.setFont(UiPixelFont(12));
}

QString UiFontFamily() { return FontFamily(); }

QFont UiPixelFont(int pixels, bool bold) {
  QFont font(UiFontFamily());
  font.setPixelSize(pixels);
  font.setBold(bold);
  return font;
}

QFont UiPointFont(int points) {
  QFont font(UiFontFamily());
  font.setPointSize(points);
  return font;
}

}  // namespace nilvar
