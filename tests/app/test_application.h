// The QApplication of the window tests: created once per test process (on Qt's offscreen
// platform under CTest), with the program's own set-up (title, bundled fonts).
#pragma once

#include <QApplication>

#include "app/application.h"
#include "engine/platform/locale.h"

namespace nilvar::test {

inline QApplication& Application() {
  if (!QCoreApplication::instance()) {
    static int argc = 1;
    static char name[] = "test_app";
    static char* argv[] = {name, nullptr};
    new QApplication(argc, argv);  // lives until the process ends
  }
  auto* app = qobject_cast<QApplication*>(QCoreApplication::instance());
  static bool initialized = false;
  if (app && !initialized) {
    InitializeApplication(*app);
    // As the program does: the dictionary file's collation and code page.
    dadoveri::UseRootCollationAndCodePage1252();
    initialized = true;
  }
  return *app;
}

}  // namespace nilvar::test
