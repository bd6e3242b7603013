// Project1: the entry of the dictionary program. Sets the application title, creates the
// dictionary window and runs the message loop until the window closes.
//
// NILVAR_STARTUP_PROBE=print prints, once the window is on the screen, how many
// milliseconds passed since the process started; NILVAR_STARTUP_PROBE=quit also ends the
// program there (for start-up time measurements). Both also print the first headword the
// English–Persian grid shows.
#include <unistd.h>

#include <QApplication>
#include <QByteArray>
#include <QTableView>
#include <QTimer>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>

#include "app/application.h"
#include "app/database_prompts.h"
#include "app/main_window.h"
#include "engine/platform/locale.h"

namespace {

// Milliseconds since the process was started by the kernel (start time from /proc, in
// clock ticks since boot, against the boot-time clock).
double MillisecondsSinceProcessStart() {
  std::ifstream stat("/proc/self/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const auto close = text.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  // Fields after the command name start at field 3; the start time is field 22.
  for (int i = 3; i < 22 && fields >> field; ++i) {
  }
  unsigned long long start_ticks = 0;
  if (!(fields >> start_ticks)) return -1;
  timespec now{};
  clock_gettime(CLOCK_BOOTTIME, &now);
  const double now_ms = now.tv_sec * 1000.0 + now.tv_nsec / 1e6;
  return now_ms - start_ticks * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

}  // namespace

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  nilvar::InitializeApplication(app);
  // data.dat is written by mkdict under the root collation and Windows-1252; the engine
  // reads it the same way whatever the user's environment says.
  dadoveri::UseRootCollationAndCodePage1252();
  // The database components ask the user through the window's dialogs.
  nilvar::InstallDatabasePrompts();

  nilvar::TForm1 Form1;
  Form1.show();

  const QByteArray probe = qgetenv("NILVAR_STARTUP_PROBE");
  if (!probe.isEmpty()) {
    // Runs once the events queued by showing the window (its first paint) are handled.
    QTimer::singleShot(0, &app, [&] {
      std::fprintf(stderr, "nilvar: window shown %.0f ms after process start\n",
                   MillisecondsSinceProcessStart());
      const QAbstractItemModel* rows = Form1.TntDBGrid1->model();
      const QString first = rows->rowCount() > 0 ? rows->index(0, 0).data().toString() : QString();
      std::fprintf(stderr, "nilvar: first headword shown: %s\n", first.toUtf8().constData());
      if (probe == "quit") app.quit();
    });
  }
  return app.exec();
}
