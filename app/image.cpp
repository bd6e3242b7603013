#include "app/image.h"

#include <QMouseEvent>

namespace nilvar {

TImage::TImage(QWidget* parent) : QLabel(parent) { setAlignment(Qt::AlignLeft | Qt::AlignTop); }

void TImage::SetPicture(const QPixmap& picture) {
  picture_ = picture;
  setPixmap(picture);
}

void TImage::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) left_pressed_ = true;
  emit MouseDown(event);
  event->accept();
}

void TImage::mouseMoveEvent(QMouseEvent* event) {
  emit MouseMove(event);
  event->accept();
}

void TImage::mouseReleaseEvent(QMouseEvent* event) {
  const bool click = left_pressed_ && event->button() == Qt::LeftButton &&
                     rect().contains(event->position().toPoint());
  if (event->button() == Qt::LeftButton) left_pressed_ = false;
  emit MouseUp(event);
  event->accept();
  if (click) emit Click();
}

}  // namespace nilvar
