// The password dialog, the wait window and the Qt answers to the database components'
// questions, on Qt's offscreen platform.
#include "app/database_prompts.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <functional>

#include "engine/dataset/database.h"
#include "tests/app/test_application.h"
#include "tests/engine/test_support.h"

namespace nilvar {
namespace {

// Runs `act` on the modal widget once one is up (the caller then enters its loop).
void WhenModal(std::function<void(QWidget*)> act) {
  auto* timer = new QTimer;
  timer->setInterval(10);
  QObject::connect(timer, &QTimer::timeout, [timer, act] {
    if (QWidget* w = QApplication::activeModalWidget()) {
      timer->stop();
      timer->deleteLater();
      act(w);
    }
  });
  timer->start();
}

TEST(PassDialog, HasItsWidgetsTextsAndGeometry) {
  test::Application();
  TABSPassDialog d;
  EXPECT_EQ(d.windowTitle(), QStringLiteral("Database authentication"));
  EXPECT_EQ(d.size(), QSize(216, 118));
  EXPECT_EQ(d.lbName->geometry(), QRect(8, 8, 193, 13));
  EXPECT_EQ(d.lbName->text(), QString());
  EXPECT_EQ(d.Label1->text(), QStringLiteral("Password:"));
  EXPECT_EQ(d.Label1->pos(), QPoint(8, 36));
  EXPECT_EQ(d.Pass->geometry(), QRect(72, 32, 130, 21));
  EXPECT_EQ(d.Pass->echoMode(), QLineEdit::Password);
  EXPECT_EQ(d.cbOk->geometry(), QRect(8, 72, 75, 25));
  EXPECT_TRUE(d.cbOk->isDefault());
  EXPECT_EQ(d.cbCancel->text(), QStringLiteral("Cancel"));
  EXPECT_EQ(d.cbCancel->geometry(), QRect(128, 72, 75, 25));
}

TEST(WaitWindow, HasItsWidgetsAndFollowsItsButtons) {
  test::Application();
  TfrmWait w;
  EXPECT_EQ(w.windowTitle(), QStringLiteral("Please Wait..."));
  EXPECT_EQ(w.size(), QSize(312, 118));
  EXPECT_TRUE(w.windowFlags() & Qt::WindowStaysOnTopHint);
  EXPECT_EQ(w.lMessage->text(), QStringLiteral("Wait..."));
  EXPECT_EQ(w.lMessage->geometry(), QRect(0, 0, 312, 49));
  EXPECT_EQ(w.pb->geometry(), QRect(16, 64, 281, 16));
  EXPECT_EQ(w.pb->maximum(), 100);
  EXPECT_EQ(w.btnCancel->text(), QStringLiteral("Abort"));
  EXPECT_EQ(w.btnBgMode->text(), QStringLiteral("Background Mode"));
  EXPECT_EQ(w.ShowTimer->interval(), 500);
  w.Start(QStringLiteral("Repairing Database..."));
  EXPECT_EQ(w.lMessage->text(), QStringLiteral("Repairing Database..."));
  EXPECT_TRUE(w.ShowTimer->isActive());
  // Past half-way the window does not show any more.
  w.SetProgress(60);
  while (w.ShowTimer->isActive()) QApplication::processEvents(QEventLoop::AllEvents, 20);
  EXPECT_FALSE(w.isVisible());
  EXPECT_FALSE(w.ShowTimer->isActive());
  w.SetProgress(10);
  w.Start(QStringLiteral("again"));
  while (w.ShowTimer->isActive()) QApplication::processEvents(QEventLoop::AllEvents, 20);
  EXPECT_TRUE(w.isVisible());
  EXPECT_FALSE(w.Aborted());
  w.btnCancel->click();
  EXPECT_TRUE(w.Aborted());
  w.Finish();
  EXPECT_FALSE(w.isVisible());
  EXPECT_TRUE(w.Closed());
}

// Connecting with a wrong password opens the dialog; OK with the right one connects,
// Cancel ends in the wrong-password failure.
TEST(DatabasePrompts, PasswordDialogDecidesTheConnect) {
  test::Application();
  dadoveri::testing::TempFolder folder;
  const std::string file = folder.File("p.dat");
  {
    dadoveri::TABSDatabase maker;
    maker.SetDatabaseName("maker");
    maker.SetDatabaseFileName(file);
    maker.Password = "41736285";
    maker.CreateDatabase();
  }
  InstallDatabasePrompts();
  for (bool ok : {true, false}) {
    SCOPED_TRACE(ok ? "OK" : "Cancel");
    dadoveri::TABSDatabase db;
    db.SetName("ABSDatabase1");
    db.SetDatabaseName("data.dat");
    db.SetDatabaseFileName(file);
    db.Password = "wrong";
    QString shown_name = QStringLiteral("<not shown>");
    WhenModal([&](QWidget* w) {
      auto* d = qobject_cast<TABSPassDialog*>(w);
      ASSERT_NE(d, nullptr);
      shown_name = d->lbName->text();
      EXPECT_EQ(d->Pass->text(), QString());
      d->Pass->setText(QStringLiteral("41736285"));
      (ok ? d->cbOk : d->cbCancel)->click();
    });
    int32_t code = 0;
    try {
      db.Connect();
    } catch (const dadoveri::VODIDivodavir& e) {
      code = e.NativeError;
    }
    EXPECT_EQ(shown_name, QString());
    EXPECT_EQ(db.Connected(), ok);
    EXPECT_EQ(code, ok ? 0 : 30445);
    if (ok) {
      EXPECT_EQ(db.Password, "41736285");
    }
  }
  dadoveri::InstallUserPrompts(nullptr);
}

TEST(DatabasePrompts, QuestionsAreMessageBoxes) {
  test::Application();
  DatabasePrompts prompts;
  for (auto answer : {QMessageBox::Yes, QMessageBox::No}) {
    QString title, text;
    WhenModal([&](QWidget* w) {
      auto* box = qobject_cast<QMessageBox*>(w);
      ASSERT_NE(box, nullptr);
      title = box->windowTitle();
      text = box->text();
      box->button(answer)->click();
    });
    EXPECT_EQ(prompts.AskYesNo("Do you want to repair it?"), answer == QMessageBox::Yes);
    EXPECT_EQ(title, QStringLiteral("Nilvar Dic V2.0.0.1"));
    EXPECT_EQ(text, QStringLiteral("Do you want to repair it?"));
  }
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  WhenModal([&](QWidget* w) {
    auto* box = qobject_cast<QMessageBox*>(w);
    icon = box->icon();
    box->button(QMessageBox::Ok)->click();
  });
  prompts.ShowWarning("repair report");
  EXPECT_EQ(icon, QMessageBox::Warning);
}

}  // namespace
}  // namespace nilvar
