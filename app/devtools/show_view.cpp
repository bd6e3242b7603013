// The dictionary window as scripts/screenshot shows it with a search typed: show_view
// english|persian TEXT opens the window as the program does, switches to the
// English–Persian or the Persian–English view and types TEXT into its search box key by key.
#include <QApplication>
#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QTimer>
#include <cstdio>

#include "app/application.h"
#include "app/database_prompts.h"
#include "app/main_window.h"
#include "engine/platform/locale.h"

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  const QString view = argc == 3 ? QString::fromLocal8Bit(argv[1]) : QString();
  if (view != QStringLiteral("english") && view != QStringLiteral("persian")) {
    std::fprintf(stderr, "usage: show_view english|persian TEXT\n");
    return 2;
  }
  const QString text = QString::fromLocal8Bit(argv[2]);
  nilvar::InitializeApplication(app);
  dadoveri::UseRootCollationAndCodePage1252();
  nilvar::InstallDatabasePrompts();

  nilvar::TForm1 Form1;
  Form1.show();
  QTimer::singleShot(300, &app, [&] {
    const bool persian = view == QStringLiteral("persian");
    persian ? Form1.Image3Click() : Form1.Image2Click();
    QWidget* box = persian ? Form1.TntEdit3 : Form1.Tntedit2;
    for (QChar c : text) {
      QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
      QApplication::sendEvent(box, &press);
      QKeyEvent release(QEvent::KeyRelease, 0, Qt::NoModifier, QString(c));
      QApplication::sendEvent(box, &release);
    }
  });
  return app.exec();
}
