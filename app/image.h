// A picture on the window: shows an image at its natural size and reports mouse presses,
// moves, releases and clicks (a press and a release of the left button over it).
#pragma once

#include <QLabel>
#include <QPixmap>

class QMouseEvent;

namespace nilvar {

class TImage : public QLabel {
  Q_OBJECT
 public:
  explicit TImage(QWidget* parent = nullptr);

  void SetPicture(const QPixmap& picture);
  const QPixmap& Picture() const { return picture_; }

 signals:
  void Click();
  void MouseDown(QMouseEvent* event);
  void MouseMove(QMouseEvent* event);
  void MouseUp(QMouseEvent* event);

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  QPixmap picture_;
  bool left_pressed_ = false;
};

}  // namespace nilvar
