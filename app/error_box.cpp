#include "app/error_box.h"

#include <QMessageBox>

#include "app/application.h"

namespace nilvar {

QString ErrorBoxText(const QString& message) {
  // Ordinal comparison of the last UTF-16 unit with '.'.
  if (!message.isEmpty() && message.back() > QChar(u'.')) return message + u'.';
  return message;
}

std::unique_ptr<QMessageBox> MakeErrorBox(QWidget* parent, const QString& message) {
  auto box =
      std::make_unique<QMessageBox>(QMessageBox::Critical, QString::fromUtf8(kApplicationTitle),
                                    ErrorBoxText(message), QMessageBox::Ok, parent);
  box->setTextFormat(Qt::PlainText);
  return box;
}

}  // namespace nilvar
