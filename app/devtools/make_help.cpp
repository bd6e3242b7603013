// Writes the window's help document: make_help <page.html> <output.mht> <picture folder>...
// The build runs it to place "nilvar dic help.mht" beside the executable.
#include <QCoreApplication>
#include <QFile>
#include <QSaveFile>
#include <QStringList>

#include <cstdio>
#include <exception>

#include "app/help_document.h"

int main(int argc, char* argv[]) {
  QCoreApplication app(argc, argv);
  const QStringList args = app.arguments();
  if (args.size() < 4) {
    std::fprintf(stderr, "usage: make_help <page.html> <output.mht> <picture folder>...\n");
    return 2;
  }
  QFile page(args[1]);
  if (!page.open(QIODevice::ReadOnly)) {
    std::fprintf(stderr, "make_help: cannot read %s\n", qPrintable(args[1]));
    return 1;
  }
  try {
    const QByteArray document = nilvar::MimeHtmlDocument(QString::fromUtf8(page.readAll()), args.mid(3));
    QSaveFile out(args[2]);
    if (!out.open(QIODevice::WriteOnly) || out.write(document) != document.size() || !out.commit()) {
      std::fprintf(stderr, "make_help: cannot write %s\n", qPrintable(args[2]));
      return 1;
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "make_help: %s\n", e.what());
    return 1;
  }
  return 0;
}
