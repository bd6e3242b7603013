// The application's error message box: error icon, the application title as caption and
// the failure's message as text.
#pragma once

#include <QString>
#include <memory>

class QMessageBox;
class QWidget;

namespace nilvar {

// The box text of a failure message: a full stop is appended when the message's last
// character sorts after "." (so "Done!" and "Failed." stay as they are, "Not found" gets
// one); an empty message stays empty.
QString ErrorBoxText(const QString& message);

// Builds the box for a failure message; the caller shows it.
std::unique_ptr<QMessageBox> MakeErrorBox(QWidget* parent, const QString& message);

}  // namespace nilvar
