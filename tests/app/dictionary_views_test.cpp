// The dictionary window end to end on a small data.dat made by mkdict: start-up, the
// incremental English search (on the worker and the finish step), navigation, copying to
// the flashcards and deleting them, the missing and the wrongly protected file, and the
// search worker racing the user's keystrokes.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTableView>
#include <QTest>
#include <QTimer>

#include <functional>
#include <random>
#include <string>
#include <vector>

#include "app/database_prompts.h"
#include "app/image.h"
#include "app/main_window.h"
#include "engine/base/engine_error.h"
#include "engine/dataset/table.h"
#include "engine/dataset/user_prompts.h"
#include "engine/platform/code_page.h"
#include "tests/app/dictionary_fixture.h"
#include "tests/app/test_application.h"
#include "tests/app/view_test_support.h"

namespace nilvar {
namespace {

const QDateTime kNow(QDate(2011, 7, 31), QTime(14, 5, 9));

using test::PumpUntil;

QStringList Column(QTableView* grid, int column = 0) {
  QStringList texts;
  const QAbstractItemModel* rows = grid->model();
  for (int r = 0; r < rows->rowCount(); ++r) texts << rows->index(r, column).data().toString();
  return texts;
}

// Types `text` into `box` one key press at a time (any character, as a keyboard layout
// would deliver it).
void TypeKeys(QWidget* box, const QString& text) {
  for (QChar c : text) {
    QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
    QApplication::sendEvent(box, &press);
    QKeyEvent release(QEvent::KeyRelease, 0, Qt::NoModifier, QString(c));
    QApplication::sendEvent(box, &release);
  }
}

int SelectedRow(QTableView* grid) {
  const QModelIndexList selected = grid->selectionModel()->selectedRows();
  return selected.size() == 1 ? selected[0].row() : -1;
}

QString Text(const std::string& code_page_bytes) {
  return QString::fromStdU16String(dadoveri::AnsiCodePage().ToWide(code_page_bytes));
}

// The plain model of the English search: the headwords of eng2per that start with `typed`
// (case-sensitive), in the table's order, each with its meaning.
struct Entry {
  QString Eng, Far;
};
std::vector<Entry> Matches(const QString& typed) {
  std::vector<Entry> entries;
  for (const auto& record : test::FixtureDictionary().Eng2Per) {
    const QString eng = Text(record.Eng);
    if (eng.startsWith(typed, Qt::CaseSensitive)) entries.push_back({eng, QString::fromStdU16String(record.Far)});
  }
  return entries;
}
QStringList Headwords(const std::vector<Entry>& entries) {
  QStringList list;
  for (const Entry& e : entries) list << e.Eng;
  return list;
}

class DictionaryViewsTest : public ::testing::Test {
 protected:
  void SetUp() override { test::Application(); }

  TForm1& Open(const QString& folder) {
    window.reset();
    auto form = std::make_unique<TForm1>();
    form->ProgramFolder = folder;
    form->SetClock([] { return kNow; });
    form->SetErrorPresenter([this](QMessageBox& box) { errors.push_back(box.text()); });
    form->show();
    window = std::move(form);
    return *window;
  }
  TForm1& Open() { return Open(test::FolderPath(*data_folder)); }

  // Waits until the search worker has finished and its changes reached the widgets.
  void Settle() {
    EXPECT_TRUE(PumpUntil([&] {
      return !window->JvThread1->OneThreadIsRunning() && !window->DatasetLock->DeliveryPending();
    }));
  }
  void Type(const QString& text) {
    window->Tntedit2->clear();
    Settle();
    TypeKeys(window->Tntedit2, text);
    Settle();
  }
  // The English view shows exactly `entries`, the first selected with its meaning.
  void ExpectShows(const std::vector<Entry>& entries) {
    EXPECT_EQ(Column(window->TntDBGrid1), Headwords(entries));
    if (entries.empty()) {
      EXPECT_EQ(SelectedRow(window->TntDBGrid1), -1);
      EXPECT_EQ(window->TntDBMemo1->toPlainText(), QString());
      return;
    }
    EXPECT_EQ(SelectedRow(window->TntDBGrid1), 0);
    EXPECT_EQ(window->TntDBMemo1->toPlainText(), entries[0].Far);
    EXPECT_EQ(window->TntDBEdit3->text(), entries[0].Eng);
  }

  std::unique_ptr<QTemporaryDir> data_folder = test::DictionaryFolder();
  std::vector<QString> errors;
  std::unique_ptr<TForm1> window;
};

TEST_F(DictionaryViewsTest, StartShowsTheFirstHeadwordSelectedWithItsMeaning) {
  TForm1& form = Open();
  EXPECT_TRUE(errors.empty()) << errors[0].toStdString();
  ASSERT_TRUE(form.ABSDatabase1->Connected());
  for (dadoveri::TABSTable* table : {form.ABSTable1, form.ABSTable2, form.ABSTable3}) EXPECT_TRUE(table->Active());
  ExpectShows(Matches(QString()));
  // The fixture's "ab…"/"Ab…" headwords and its accented and apostrophed ones are all there;
  // the headword the code page cannot hold is not.
  const QStringList all = Column(form.TntDBGrid1);
  for (const char* word : {"ab", "Abba", "abbé", "ab's", "Abu Dhabi"}) EXPECT_TRUE(all.contains(QString::fromUtf8(word))) << word;
  EXPECT_FALSE(all.contains(QString::fromUtf8("Diyarbakır")));
  // The Persian meanings are stored with the Persian letter forms.
  EXPECT_EQ(Column(form.TntDBGrid2).size(), static_cast<int>(test::FixtureDictionary().Per2En.size()));
  for (const QString& per : Column(form.TntDBGrid2)) {
    EXPECT_FALSE(per.contains(QChar(0x064A)) || per.contains(QChar(0x0643))) << per.toStdString();
  }
  EXPECT_EQ(form.TntDBGrid3->model()->rowCount(), 0);
}

TEST_F(DictionaryViewsTest, TypingNarrowsToHeadwordsStartingWithTheTextCaseSensitively) {
  Open();
  struct Case {
    const char* typed;
    int at_least;  // the fixture's matches, so a wrong model cannot pass with none
  };
  const Case cases[] = {
      {"ab", 7}, {"Ab", 4}, {"abb", 2}, {"abbé", 1}, {"Abu D", 1}, {"abz", 0}, {"zebra", 1}, {"a", 10},
      // A typed quote is searched for, not taken as the end of the filter's text.
      {"ab'", 1}, {"ab's", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.typed);
    const QString typed = QString::fromUtf8(c.typed);
    Type(typed);
    EXPECT_EQ(window->SearchPattern, typed + u'*');
    const std::vector<Entry> want = Matches(typed);
    EXPECT_GE(static_cast<int>(want.size()), c.at_least);
    ExpectShows(want);
    EXPECT_EQ(window->ABSTable1->RecordCount(), static_cast<int64_t>(want.size()));
  }
  // Clearing the box shows the whole list again from its first record.
  window->Tntedit2->clear();
  Settle();
  EXPECT_FALSE(window->ABSTable1->Filtered());
  ExpectShows(Matches(QString()));
  // A quote that breaks the filter text fails silently.
  Type(QStringLiteral("ab'c'"));
  EXPECT_TRUE(errors.empty());
}

TEST_F(DictionaryViewsTest, NavigationButtonsMoveWithinTheSearchResult) {
  TForm1& form = Open();
  Type(QStringLiteral("ab"));
  const std::vector<Entry> want = Matches(QStringLiteral("ab"));
  ASSERT_GE(want.size(), 4u);
  const int last = static_cast<int>(want.size()) - 1;
  struct Step {
    TImage* button;
    int row;
  };
  const Step steps[] = {{form.TntImage18, 1}, {form.TntImage18, 2}, {form.TntImage16, 1},
                        {form.TntImage17, last}, {form.TntImage18, last}, {form.TntImage19, 0},
                        {form.TntImage16, 0}};
  for (const Step& s : steps) {
    SCOPED_TRACE(s.button->objectName().toStdString() + " to " + std::to_string(s.row));
    QTest::mouseClick(s.button, Qt::LeftButton, {}, s.button->rect().center());
    EXPECT_TRUE(form.TntDBGrid1->hasFocus());
    EXPECT_EQ(SelectedRow(form.TntDBGrid1), s.row);
    EXPECT_EQ(form.TntDBMemo1->toPlainText(), want[static_cast<size_t>(s.row)].Far);
    EXPECT_EQ(form.TntDBEdit3->text(), want[static_cast<size_t>(s.row)].Eng);
  }
  // Choosing a row in the grid makes it current too.
  form.TntDBGrid1->selectionModel()->setCurrentIndex(form.TntDBGrid1->model()->index(3, 0),
                                                     QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  EXPECT_EQ(form.TntDBMemo1->toPlainText(), want[3].Far);
  EXPECT_EQ(form.ABSTable1->RecNo(), 4);
  EXPECT_TRUE(errors.empty());
}

TEST_F(DictionaryViewsTest, CopiedCardsStayInTheFileAndCanBeDeleted) {
  {
    TForm1& form = Open();
    Type(QStringLiteral("ab"));
    QTest::mouseClick(form.TntImage18, Qt::LeftButton);
    const Entry entry = Matches(QStringLiteral("ab"))[1];
    QTest::mouseClick(form.TntImage20, Qt::LeftButton);
    form.TntPopupMenu1->findChild<QAction*>(QStringLiteral("N1"))->trigger();
    EXPECT_TRUE(errors.empty());
    // Two identical cards; the flashcard view shows them at once.
    EXPECT_EQ(Column(form.TntDBGrid3, 1), QStringList({entry.Eng, entry.Eng}));
    EXPECT_EQ(Column(form.TntDBGrid3, 0), QStringList({entry.Far, entry.Far}));
    EXPECT_EQ(form.TntDBEdit1->text(), entry.Eng);
    EXPECT_EQ(form.TntDBMemo3->toPlainText(), entry.Far);
    // The English view did not move.
    EXPECT_EQ(form.TntDBEdit3->text(), entry.Eng);
    form.close();
  }
  // A new window on the same file finds the cards.
  TForm1& form = Open();
  EXPECT_TRUE(errors.empty());
  const Entry entry = Matches(QStringLiteral("ab"))[1];
  QTest::mouseClick(form.TntImage3, Qt::LeftButton);
  EXPECT_EQ(Column(form.TntDBGrid3, 1), QStringList({entry.Eng, entry.Eng}));
  EXPECT_EQ(form.TntDBEdit1->text(), entry.Eng);
  // Another card, then delete from the end: the previous card becomes current.
  Type(QStringLiteral("zebra"));
  QTest::mouseClick(form.TntImage20, Qt::LeftButton);
  ASSERT_EQ(form.TntDBGrid3->model()->rowCount(), 3);
  QTest::mouseClick(form.TntImage7, Qt::LeftButton);
  EXPECT_EQ(form.TntDBEdit1->text(), QStringLiteral("zebra"));
  QTest::mouseClick(form.TntImage10, Qt::LeftButton);
  EXPECT_EQ(Column(form.TntDBGrid3, 1), QStringList({entry.Eng, entry.Eng}));
  EXPECT_EQ(SelectedRow(form.TntDBGrid3), 1);
  QTest::mouseClick(form.TntImage9, Qt::LeftButton);
  EXPECT_EQ(SelectedRow(form.TntDBGrid3), 0);
  QTest::mouseClick(form.TntImage10, Qt::LeftButton);
  QTest::mouseClick(form.TntImage10, Qt::LeftButton);
  EXPECT_EQ(form.TntDBGrid3->model()->rowCount(), 0);
  EXPECT_EQ(form.TntDBEdit1->text(), QString());
  // With no cards "delete from list" does nothing.
  QTest::mouseClick(form.TntImage10, Qt::LeftButton);
  EXPECT_TRUE(errors.empty());
  EXPECT_EQ(form.ABSTable3->RecordCount(), 0);
}

TEST_F(DictionaryViewsTest, MissingFileIsOneBoxWithTheFullPathFromAnyWorkingFolder) {
  QTemporaryDir empty, elsewhere;
  const QString saved = QDir::currentPath();
  QDir::setCurrent(elsewhere.path());
  TForm1& form = Open(test::FolderPath(empty));
  QDir::setCurrent(saved);
  const QString path = test::FolderPath(empty) + QStringLiteral("data.dat");
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0], QStringLiteral("ABSDatabase1: Database file '") + path + QStringLiteral("' does not exist."));
  EXPECT_TRUE(form.isVisible());
  EXPECT_EQ(form.TntDBGrid1->model()->rowCount(), 0);
  // The views stay empty and their buttons fail quietly or with a box, never a crash.
  TypeKeys(form.Tntedit2, QStringLiteral("ab"));
  Settle();
  EXPECT_EQ(form.TntDBGrid1->model()->rowCount(), 0);
}

// Two windows of one process on one file: each has its own database component and datasets,
// searches on its own, copies cards the other finds, and goes on when the other closes.
TEST_F(DictionaryViewsTest, TwoWindowsAtOnceEachWorkAndOutliveEachOther) {
  TForm1& first = Open();
  auto second = std::make_unique<TForm1>();
  second->ProgramFolder = test::FolderPath(*data_folder);
  second->SetClock([] { return kNow; });
  second->SetErrorPresenter([this](QMessageBox& box) { errors.push_back(box.text()); });
  second->show();
  EXPECT_TRUE(errors.empty()) << (errors.empty() ? std::string() : errors[0].toStdString());
  ASSERT_TRUE(second->ABSDatabase1->Connected());
  EXPECT_NE(second->ABSDatabase1->DatabaseName(), first.ABSDatabase1->DatabaseName());
  EXPECT_EQ(Column(second->TntDBGrid1), Headwords(Matches(QString())));
  // A search in one window leaves the other alone.
  Type(QStringLiteral("ab"));
  ExpectShows(Matches(QStringLiteral("ab")));
  EXPECT_EQ(Column(second->TntDBGrid1), Headwords(Matches(QString())));
  // A card copied in the second window; the first, once its table is read again, has it.
  QTest::mouseClick(second->TntImage17, Qt::LeftButton);
  const Entry last = Matches(QString()).back();
  QTest::mouseClick(second->TntImage20, Qt::LeftButton);
  EXPECT_EQ(Column(second->TntDBGrid3, 1), QStringList{last.Eng});
  {
    std::lock_guard guard(*first.DatasetLock);
    first.ABSTable3->Refresh();
  }
  EXPECT_EQ(Column(first.TntDBGrid3, 1), QStringList{last.Eng});
  // Closing the first window leaves the second connected and working.
  window.reset();
  ASSERT_TRUE(second->ABSDatabase1->Connected());
  QTest::mouseClick(second->TntImage19, Qt::LeftButton);
  EXPECT_EQ(second->TntDBEdit3->text(), Matches(QString())[0].Eng);
  QTest::mouseClick(second->TntImage15, Qt::LeftButton);
  EXPECT_EQ(second->ABSTable3->RecordCount(), 2);
  second.reset();
  // A window opened afterwards takes the first name again and finds both cards.
  TForm1& third = Open();
  EXPECT_EQ(third.ABSDatabase1->DatabaseName(), "data.dat");
  EXPECT_EQ(third.ABSTable3->RecordCount(), 2);
  EXPECT_TRUE(errors.empty());
}

// Shows `act` the next modal dialog.
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

TEST_F(DictionaryViewsTest, RefusedPasswordAsksAndCancelShowsTheWrongPasswordBox) {
  QTemporaryDir folder;
  dadoveri::mkdict::WriteDictionaryFile(folder.filePath(QStringLiteral("data.dat")).toStdString(), "another",
                                        test::FixtureDictionary(), {});
  InstallDatabasePrompts();
  for (bool ok : {true, false}) {
    SCOPED_TRACE(ok ? "OK" : "Cancel");
    errors.clear();
    bool asked = false;
    WhenModal([&](QWidget* w) {
      auto* dialog = qobject_cast<TABSPassDialog*>(w);
      ASSERT_NE(dialog, nullptr);
      asked = true;
      dialog->Pass->setText(QStringLiteral("another"));
      (ok ? dialog->cbOk : dialog->cbCancel)->click();
    });
    TForm1& form = Open(test::FolderPath(folder));
    EXPECT_TRUE(asked);
    if (ok) {
      EXPECT_TRUE(errors.empty());
      EXPECT_EQ(Column(form.TntDBGrid1), Headwords(Matches(QString())));
    } else {
      ASSERT_EQ(errors.size(), 1u);
      EXPECT_EQ(errors[0], QString::fromUtf8(dadoveri::MakeError(30445).what()) + u'.');
      EXPECT_FALSE(form.ABSDatabase1->Connected());
    }
  }
  window.reset();
  dadoveri::InstallUserPrompts(nullptr);
}

// Random keystrokes a few milliseconds apart, with backspaces, clicks on the navigation
// buttons and scrolling, while the worker searches: the controls are only ever reached on
// the main thread, and the grid ends equal to the model of the final text.
TEST_F(DictionaryViewsTest, SearchWorkerRacingTheKeystrokesEndsOnTheModel) {
  std::mt19937 random(20260101);
  const QString letters = QStringLiteral("abAB'ezuo ");
  const int stray_before = TControlDataLink::StrayCalls();
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    TForm1& form = Open();
    form.Tntedit2->setFocus();
    const int keys = round < 2 ? 300 : 150;
    for (int k = 0; k < keys; ++k) {
      const int what = static_cast<int>(random() % 10);
      if (what < 6) {
        TypeKeys(form.Tntedit2, QString(letters[static_cast<int>(random() % letters.size())]));
      } else if (what < 8) {
        QTest::keyClick(form.Tntedit2, Qt::Key_Backspace);
      } else if (what == 8) {
        QTest::mouseClick(random() % 2 ? form.TntImage18 : form.TntImage16, Qt::LeftButton);
        form.Tntedit2->setFocus();
      } else {
        form.TntDBGrid1->scrollToBottom();
        for (int r = 0; r < form.TntDBGrid1->model()->rowCount(); ++r) form.TntDBGrid1->model()->index(r, 0).data();
      }
      const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(random() % 4);
      while (std::chrono::steady_clock::now() < until) QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
    }
    if (round == 2) {
      // Closing while a run is in progress neither hangs nor touches the freed datasets.
      TypeKeys(form.Tntedit2, QStringLiteral("a"));
      window.reset();
      continue;
    }
    Settle();
    const QString typed = form.Tntedit2->toPlainText();
    SCOPED_TRACE(typed.toStdString());
    EXPECT_EQ(Column(form.TntDBGrid1), Headwords(Matches(typed)));
    EXPECT_EQ(form.ABSTable1->RecordCount(), form.TntDBGrid1->model()->rowCount());
    const int selected = SelectedRow(form.TntDBGrid1);
    if (form.ABSTable1->IsEmpty()) {
      EXPECT_EQ(selected, -1);
    } else {
      EXPECT_EQ(selected + 1, form.ABSTable1->RecNo());
      EXPECT_EQ(form.TntDBEdit3->text(), Column(form.TntDBGrid1)[selected]);
    }
  }
  EXPECT_EQ(TControlDataLink::StrayCalls(), stray_before);
  EXPECT_TRUE(errors.empty());
}

}  // namespace
}  // namespace nilvar
