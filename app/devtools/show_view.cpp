// The dictionary window as scripts/screenshot shows it in a view other than the start view:
// show_view persian TEXT opens the window as the program does, switches to the
// Persian–English view and types TEXT into its search box key by key.
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
  if (argc != 3 || QString::fromLocal8Bit(argv[1]) != QStringLiteral("persian")) {
    std::fprintf(stderr, "usage: show_view persian TEXT\n");
    return 2;
  }
  const QString text = QString::fromLocal8Bit(argv[2]);
  nilvar::InitializeApplication(app);
  dadoveri::UseRootCollationAndCodePage1252();
  nilvar::InstallDatabasePrompts();

  nilvar::TForm1 Form1;
  Form1.show();
  QTimer::singleShot(300, &app, [&] {
    Form1.Image3Click();
    for (QChar c : text) {
      QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
      QApplication::sendEvent(Form1.TntEdit3, &press);
      QKeyEvent release(QEvent::KeyRelease, 0, Qt::NoModifier, QString(c));
      QApplication::sendEvent(Form1.TntEdit3, &release);
    }
  });
  return app.exec();
}
