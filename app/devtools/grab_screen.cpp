// Screen grabber for scripts/screenshot. Shows a plain desktop backdrop on the X display,
// waits while the dictionary window (started by the script) comes up over it, then saves
// the part of the screen around the window as a PNG.
//
// Usage: grab_screen <output.png> <delay ms> <left> <top> <width> <height>
#include <QApplication>
#include <QLinearGradient>
#include <QPainter>
#include <QPixmap>
#include <QScreen>
#include <QTimer>
#include <QWidget>
#include <cstdio>
#include <cstdlib>

namespace {

class Backdrop : public QWidget {
 public:
  Backdrop() : QWidget(nullptr, Qt::FramelessWindowHint | Qt::WindowStaysOnBottomHint) {}

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    QLinearGradient g(0, 0, 0, height());
    g.setColorAt(0, QColor(58, 92, 128));
    g.setColorAt(1, QColor(22, 38, 58));
    p.fillRect(rect(), g);
  }
};

}  // namespace

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  if (argc != 7) {
    std::fprintf(stderr, "usage: grab_screen <out.png> <delay ms> <left> <top> <width> <height>\n");
    return 2;
  }
  const QString out = QString::fromLocal8Bit(argv[1]);
  const int delay = std::atoi(argv[2]);
  const QRect area(std::atoi(argv[3]), std::atoi(argv[4]), std::atoi(argv[5]), std::atoi(argv[6]));
  Backdrop backdrop;
  backdrop.setGeometry(app.primaryScreen()->geometry());
  backdrop.show();
  int rc = 1;
  QTimer::singleShot(delay, &app, [&] {
    const QPixmap shot =
        app.primaryScreen()->grabWindow(0, area.x(), area.y(), area.width(), area.height());
    rc = shot.save(out, "PNG") ? 0 : 1;
    app.quit();
  });
  app.exec();
  return rc;
}
