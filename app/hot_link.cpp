#include "app/hot_link.h"

#include <QDesktopServices>
#include <QMouseEvent>

namespace nilvar {

UrlOpener DesktopUrlOpener() {
  return [](const QUrl& url) { return QDesktopServices::openUrl(url); };
}

TJvHotLink::TJvHotLink(QWidget* parent) : QLabel(parent), opener_(DesktopUrlOpener()) {
  setCursor(Qt::PointingHandCursor);
}

void TJvHotLink::SetUrl(const QString& url) {
  url_ = url;
  setText(url);
  setToolTip(url);
}

void TJvHotLink::Click() {
  if (!url_.isEmpty() && opener_) opener_(QUrl(url_));
}

void TJvHotLink::mouseReleaseEvent(QMouseEvent* event) {
  QLabel::mouseReleaseEvent(event);
  if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) Click();
}

}  // namespace nilvar
