// The database components' questions on the screen: the password dialog TABSPassDialog,
// the wait window TfrmWait, and message boxes for the repair question, the old-format
// notice and the repair warning. InstallDatabasePrompts puts them behind the engine's
// question interface at start-up.
#pragma once

#include <QDialog>
#include <QMetaObject>
#include <QString>
#include <memory>
#include <string>
#include <vector>

#include "engine/dataset/user_prompts.h"

class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTimer;

namespace nilvar {

class TABSPassDialog : public QDialog {
  Q_OBJECT
 public:
  explicit TABSPassDialog(QWidget* parent = nullptr);

  QLabel* lbName;
  QLabel* Label1;
  QLineEdit* Pass;
  QPushButton* cbOk;
  QPushButton* cbCancel;
  // The text the OK button took from the box.
  QString Password() const { return password_; }

 private:
  void cbOkClick();
  QString password_;
};

class TfrmWait : public QDialog {
  Q_OBJECT
 public:
  explicit TfrmWait(QWidget* parent = nullptr);
  ~TfrmWait() override;

  QLabel* lMessage;
  QProgressBar* pb;
  QPushButton* btnCancel;
  QPushButton* btnBgMode;
  QTimer* ShowTimer;

  void Start(const QString& message);
  void Finish();
  void SetProgress(int percent);
  bool Aborted() const { return aborted_; }
  bool Closed() const { return closed_; }

 protected:
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  void ShowFormOnTimer();
  void btnCancelClick() { aborted_ = true; }
  void btnBgModeClick();
  bool aborted_ = false;
  bool closed_ = false;
  QMetaObject::Connection restore_handler_;
  QWidget* remembered_active_ = nullptr;
  std::vector<QWidget*> disabled_;
};

// The Qt answers to the engine's questions.
class DatabasePrompts : public dadoveri::TABSUserPrompts {
 public:
  bool AskPassword(const std::string& component_name, std::string& password) override;
  bool AskYesNo(const std::string& question) override;
  void ShowInformation(const std::string& text) override;
  void ShowWarning(const std::string& text) override;
  std::unique_ptr<dadoveri::TABSWaitWindow> StartWait(const std::string& message) override;
};

// Installs one process-wide DatabasePrompts into the engine.
void InstallDatabasePrompts();

}  // namespace nilvar
