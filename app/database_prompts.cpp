#include "app/database_prompts.h"

#include <algorithm>

#include <QApplication>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <QTimer>

#include "app/application.h"
#include "engine/platform/code_page.h"

namespace nilvar {

namespace {

void centre_on_screen(QWidget* w) {
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect area = screen->availableGeometry();
    w->move(area.center() - QPoint(w->width() / 2, w->height() / 2));
  }
}

QString from_engine(const std::string& text) {
  return QString::fromStdU16String(dadoveri::AnsiCodePage().ToWide(text));
}

}  // namespace

// ---- TABSPassDialog ----

TABSPassDialog::TABSPassDialog(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("ABSPassDialog"));
  setWindowTitle(QStringLiteral("Database authentication"));
  setFont(UiPixelFont(11));
  setFixedSize(216, 118);
  setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
  lbName = new QLabel(this);
  lbName->setObjectName(QStringLiteral("lbName"));
  lbName->setGeometry(8, 8, 193, 13);
  lbName->setAlignment(Qt::AlignCenter);
  Label1 = new QLabel(QStringLiteral("Password:"), this);
  Label1->setObjectName(QStringLiteral("Label1"));
  Label1->move(8, 36);
  Label1->adjustSize();
  Pass = new QLineEdit(this);
  Pass->setObjectName(QStringLiteral("Pass"));
  Pass->setGeometry(72, 32, 130, 21);
  Pass->setEchoMode(QLineEdit::Password);
  cbOk = new QPushButton(QStringLiteral("OK"), this);
  cbOk->setObjectName(QStringLiteral("cbOk"));
  cbOk->setGeometry(8, 72, 75, 25);
  cbOk->setDefault(true);
  cbCancel = new QPushButton(QStringLiteral("Cancel"), this);
  cbCancel->setObjectName(QStringLiteral("cbCancel"));
  cbCancel->setGeometry(128, 72, 75, 25);
  connect(cbOk, &QPushButton::clicked, this, [this] { cbOkClick(); });
  connect(cbCancel, &QPushButton::clicked, this, &QDialog::reject);
  centre_on_screen(this);
}

void TABSPassDialog::cbOkClick() {
  password_ = Pass->text();
  accept();
}

// ---- TfrmWait ----

TfrmWait::TfrmWait(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("frmWait"));
  setWindowTitle(QStringLiteral("Please Wait..."));
  setWindowFlags(Qt::Dialog | Qt::WindowStaysOnTopHint | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint);
  setFixedSize(312, 118);
  setCursor(Qt::WaitCursor);
  lMessage = new QLabel(QStringLiteral("Wait..."), this);
  lMessage->setObjectName(QStringLiteral("lMessage"));
  lMessage->setGeometry(0, 0, 312, 49);
  lMessage->setAlignment(Qt::AlignCenter);
  lMessage->setWordWrap(true);
  pb = new QProgressBar(this);
  pb->setObjectName(QStringLiteral("pb"));
  pb->setGeometry(16, 64, 281, 16);
  pb->setRange(0, 100);
  pb->setValue(0);
  pb->setTextVisible(false);
  btnCancel = new QPushButton(QStringLiteral("Abort"), this);
  btnCancel->setObjectName(QStringLiteral("btnCancel"));
  btnCancel->setGeometry(104, 89, 75, 25);
  btnCancel->setDefault(true);
  btnBgMode = new QPushButton(QStringLiteral("Background Mode"), this);
  btnBgMode->setObjectName(QStringLiteral("btnBgMode"));
  btnBgMode->setGeometry(192, 88, 105, 25);
  ShowTimer = new QTimer(this);
  ShowTimer->setObjectName(QStringLiteral("ShowTimer"));
  ShowTimer->setInterval(500);
  ShowTimer->setSingleShot(false);
  connect(ShowTimer, &QTimer::timeout, this, [this] { ShowFormOnTimer(); });
  connect(btnCancel, &QPushButton::clicked, this, [this] { btnCancelClick(); });
  connect(btnBgMode, &QPushButton::clicked, this, [this] { btnBgModeClick(); });
  centre_on_screen(this);
}

TfrmWait::~TfrmWait() { QObject::disconnect(restore_handler_); }

void TfrmWait::Start(const QString& message) {
  lMessage->setText(message);
  aborted_ = false;
  btnCancel->setFocus();
  QObject::disconnect(restore_handler_);
  ShowTimer->start();
}

void TfrmWait::SetProgress(int percent) { pb->setValue(std::clamp(percent, 0, 100)); }

void TfrmWait::ShowFormOnTimer() {
  ShowTimer->stop();
  // A short operation finishes before the window would flash up.
  if (!closed_ && pb->value() <= 50) show();
  QApplication::processEvents();
}

void TfrmWait::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  ShowTimer->stop();
  remembered_active_ = QApplication::activeWindow();
  disabled_.clear();
  for (QWidget* w : QApplication::topLevelWidgets()) {
    if (w == this || !w->isVisible() || !w->isEnabled()) continue;
    w->setEnabled(false);
    disabled_.push_back(w);
  }
}

void TfrmWait::hideEvent(QHideEvent* event) {
  for (QWidget* w : disabled_) w->setEnabled(true);
  disabled_.clear();
  if (remembered_active_) remembered_active_->activateWindow();
  remembered_active_ = nullptr;
  QDialog::hideEvent(event);
}

void TfrmWait::btnBgModeClick() {
  // Restoring the application starts the window again with its message.
  QObject::disconnect(restore_handler_);
  restore_handler_ = connect(qApp, &QGuiApplication::applicationStateChanged, this, [this](Qt::ApplicationState s) {
    if (s == Qt::ApplicationActive && !closed_) Start(lMessage->text());
  });
  hide();
  for (QWidget* w : QApplication::topLevelWidgets())
    if (w != this && w->isVisible()) w->showMinimized();
}

void TfrmWait::Finish() {
  QObject::disconnect(restore_handler_);
  ShowTimer->stop();
  hide();
  for (QWidget* w : QApplication::topLevelWidgets())
    if (w != this && w->isMinimized()) w->showNormal();
  closed_ = true;
  close();
}

// ---- DatabasePrompts ----

namespace {

class WaitWindow : public dadoveri::TABSWaitWindow {
 public:
  explicit WaitWindow(const QString& message) : form_(new TfrmWait) {
    form_->setAttribute(Qt::WA_DeleteOnClose, false);
    form_->Start(message);
  }
  ~WaitWindow() override {
    if (!form_->Closed()) form_->Finish();
  }
  void SetProgress(int32_t percent) override { form_->SetProgress(percent); }
  void ProcessMessages() override { QApplication::processEvents(); }
  bool Aborted() const override { return form_->Aborted(); }
  void Finish() override { form_->Finish(); }

 private:
  std::unique_ptr<TfrmWait> form_;
};

}  // namespace

bool DatabasePrompts::AskPassword(const std::string&, std::string& password) {
  TABSPassDialog dialog(QApplication::activeWindow());
  dialog.Pass->clear();
  if (dialog.exec() != QDialog::Accepted) return false;
  password = dadoveri::AnsiCodePage().ToAnsi(dialog.Password().toStdU16String());
  return true;
}

bool DatabasePrompts::AskYesNo(const std::string& question) {
  return QMessageBox::question(QApplication::activeWindow(), QString::fromUtf8(kApplicationTitle),
                               from_engine(question), QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
}

void DatabasePrompts::ShowInformation(const std::string& text) {
  QMessageBox::information(QApplication::activeWindow(), QString::fromUtf8(kApplicationTitle), from_engine(text),
                           QMessageBox::Ok);
}

void DatabasePrompts::ShowWarning(const std::string& text) {
  QMessageBox::warning(QApplication::activeWindow(), QString::fromUtf8(kApplicationTitle), from_engine(text),
                       QMessageBox::Ok);
}

std::unique_ptr<dadoveri::TABSWaitWindow> DatabasePrompts::StartWait(const std::string& message) {
  return std::make_unique<WaitWindow>(from_engine(message));
}

void InstallDatabasePrompts() {
  static DatabasePrompts prompts;
  dadoveri::InstallUserPrompts(&prompts);
}

}  // namespace nilvar
