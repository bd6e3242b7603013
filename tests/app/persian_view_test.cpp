// The Persian–English view end to end on a small data.dat made by mkdict: the incremental
// search through the query over per2en (prefixes, both letter forms of yeh and kaf, a LIKE
// pattern typed by the user), table and query mode, navigation that moves per2en, copying
// the entry shown to the flashcards, and both search workers driven together.
#include <gtest/gtest.h>

#include <QAction>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QTableView>
#include <QTest>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/image.h"
#include "app/main_window.h"
#include "engine/dataset/data_source.h"
#include "engine/dataset/query.h"
#include "engine/dataset/table.h"
#include "engine/table/cursor.h"
#include "engine/platform/code_page.h"
#include "tests/app/dictionary_fixture.h"
#include "tests/app/test_application.h"
#include "tests/app/view_test_support.h"

namespace nilvar {
namespace {

using test::ChooseRow;
using test::GridColumn;
using test::PressKey;
using test::SelectedRow;
using test::TypeKeys;

const QDateTime kNow(QDate(2011, 7, 31), QTime(14, 5, 9));

struct Entry {
  QString Per, En;
};

// SQL LIKE on whole texts: '%' any run of characters, '_' any one, case-sensitive.
bool Like(const QString& text, const QString& pattern) {
  QString expression = QStringLiteral("^");
  for (QChar c : pattern) {
    if (c == u'%') expression += QStringLiteral(".*");
    else if (c == u'_') expression += u'.';
    else expression += QRegularExpression::escape(QString(c));
  }
  expression += u'$';
  return QRegularExpression(expression, QRegularExpression::DotMatchesEverythingOption).match(text).hasMatch();
}

// The plain model of the Persian search: the per2en records LIKE the typed text (letters
// in their Persian form) followed by '%', sorted by headword.
std::vector<Entry> Matches(const QString& typed) {
  QString persian = typed;
  persian.replace(QChar(0x064A), QChar(0x06CC)).replace(QChar(0x0643), QChar(0x06A9));
  std::vector<Entry> entries;
  for (const auto& record : test::FixtureDictionary().Per2En) {
    const QString per = QString::fromStdU16String(record.Per);
    if (Like(per, persian + u'%')) entries.push_back({per, QString::fromStdU16String(record.En)});
  }
  std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.Per < b.Per; });
  return entries;
}
QStringList Headwords(const std::vector<Entry>& entries) {
  QStringList list;
  for (const Entry& e : entries) list << e.Per;
  return list;
}
// The fixture's meaning of a Persian headword.
QString MeaningOf(const QString& per) {
  for (const auto& record : test::FixtureDictionary().Per2En)
    if (QString::fromStdU16String(record.Per) == per) return QString::fromStdU16String(record.En);
  ADD_FAILURE() << "no headword " << per.toStdString();
  return {};
}
// The position of a headword in per2en's default order (1-based).
int TablePosition(const QString& per) {
  int n = 0;
  for (const auto& record : test::FixtureDictionary().Per2En) {
    ++n;
    if (QString::fromStdU16String(record.Per) == per) return n;
  }
  return -1;
}
QStringList Sorted(QStringList list) {
  list.sort();
  return list;
}
QString U(const char* utf8) { return QString::fromUtf8(utf8); }

class PersianViewTest : public ::testing::Test {
 protected:
  void SetUp() override { test::Application(); }

  TForm1& Open() {
    window.reset();
    auto form = std::make_unique<TForm1>();
    form->ProgramFolder = test::FolderPath(*data_folder);
    form->SetClock([] { return kNow; });
    form->SetErrorPresenter([this](QMessageBox& box) { errors.push_back(box.text()); });
    form->show();
    window = std::move(form);
    QTest::mouseClick(window->Image3, Qt::LeftButton);  // the Persian–English view
    return *window;
  }

  // Waits until both search workers have finished and their changes reached the widgets.
  void Settle() {
    EXPECT_TRUE(test::PumpUntil([&] {
      return !window->JvThread1->OneThreadIsRunning() && !window->JvThread2->OneThreadIsRunning() &&
             !window->DatasetLock->DeliveryPending();
    }));
  }
  void Type(const QString& text) {
    window->TntEdit3->clear();
    Settle();
    TypeKeys(window->TntEdit3, text);
    Settle();
  }
  bool QueryMode() const { return window->Grid2->DataSource() == window->DataSource3; }

  // The Persian view shows exactly `entries` (in the query's order), the first selected
  // with its meaning, and the hidden headword edit on the same row.
  void ExpectShows(const std::vector<Entry>& entries) {
    const QStringList shown = GridColumn(window->TntDBGrid2);
    EXPECT_EQ(Sorted(shown), Headwords(entries));
    EXPECT_TRUE(QueryMode());
    EXPECT_EQ(window->TntDBMemo2->DataSource(), window->DataSource3);
    EXPECT_EQ(window->TntDBEdit4->DataSource(), window->DataSource3);
    if (entries.empty()) {
      EXPECT_EQ(SelectedRow(window->TntDBGrid2), -1);
      EXPECT_EQ(window->TntDBMemo2->toPlainText(), QString());
      return;
    }
    EXPECT_EQ(SelectedRow(window->TntDBGrid2), 0);
    EXPECT_EQ(window->TntDBEdit4->text(), shown[0]);
    EXPECT_EQ(window->TntDBMemo2->toPlainText(), MeaningOf(shown[0]));
  }

  std::unique_ptr<QTemporaryDir> data_folder = test::DictionaryFolder();
  std::vector<QString> errors;
  std::unique_ptr<TForm1> window;
};

TEST_F(PersianViewTest, TypingListsTheHeadwordsThatBeginWithTheTextInEitherLetterForm) {
  TForm1& form = Open();
  ASSERT_TRUE(errors.empty()) << errors[0].toStdString();
  // Table mode at start: the whole of per2en.
  EXPECT_FALSE(QueryMode());
  EXPECT_EQ(GridColumn(form.TntDBGrid2).size(), static_cast<int>(test::FixtureDictionary().Per2En.size()));
  struct Case {
    const char* typed;
    int count;  // the fixture's matches, so a wrong model cannot pass with none
  };
  const Case cases[] = {
      {"كتاب", 3},    // Arabic kaf: کتاب, کتابخانه, کتابفروش
      {"کتاب", 3},    // Persian kaf, the same three
      {"کتابخ", 1},
      {"نويس", 1},    // Arabic yeh
      {"نویس", 1},    // Persian yeh
      {"خط", 3},      // خط, خط زیر, خط_زیر
      {"خط ز", 1},
      {"خود", 2},     // خود, خودرو
      {"علامت %", 1}, // a headword holding '%'
      {"مجلد", 1},    // listed as مُجَلَّد: typed without the vowel marks
      {"كتابي", 0},
      {"x", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.typed);
    const QString typed = U(c.typed);
    Type(typed);
    EXPECT_EQ(form.SearchPattern, typed + u'%');
    const std::vector<Entry> want = Matches(typed);
    EXPECT_EQ(static_cast<int>(want.size()), c.count);
    ExpectShows(want);
    // Text without pattern characters keeps the statement a prefix comparison on Per: the
    // query reads a range of per2en's index on Per rather than every record.
    // The last run may take the bitmap an earlier run of the same text left to per2en, so
    // the count is searched afresh to see the plan.
    if (!typed.contains(u'%') && !typed.contains(u'_')) {
      dadoveri::TABSCursor* cursor = form.ABSQuery1->Cursor();
      cursor->InvalidateBitmap();
      EXPECT_EQ(form.ABSQuery1->RecordCount(), c.count);
      EXPECT_EQ(cursor->LastSearchPlan.Plan, dadoveri::TABSSearchPlanInfo::spIndexRange);
    }
  }
  EXPECT_TRUE(errors.empty());
}

TEST_F(PersianViewTest, PercentAndUnderscoreTypedInsideTheTextArePatternCharacters) {
  Open();
  struct Case {
    const char* typed;
    std::vector<const char*> want;
  };
  const Case cases[] = {
      {"خط_", {"خط زیر", "خط_زیر"}},  // '_' is any one character, the blank included
      {"خط%ر", {"خط زیر", "خط_زیر"}},
      {"%تاب", {"کتاب", "کتابخانه", "کتابفروش"}},
      {"ك%فروش", {"کتابفروش"}},
      {"%رو", {"خودرو", "کتابفروش"}},
      {"_ب", {"ابا", "ابی", "آبی", "ابوظبی"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.typed);
    Type(U(c.typed));
    QStringList want;
    for (const char* w : c.want) want << U(w);
    EXPECT_EQ(Headwords(Matches(U(c.typed))), Sorted(want));  // the model agrees
    ExpectShows(Matches(U(c.typed)));
  }
  EXPECT_TRUE(errors.empty());
}

TEST_F(PersianViewTest, ClearingReturnsToTheTableWhereItWas) {
  TForm1& form = Open();
  // Move per2en to its third record in table mode.
  for (int i = 0; i < 2; ++i) QTest::mouseClick(form.TntImage13, Qt::LeftButton);
  ASSERT_EQ(form.ABSTable2->RecNo(), 3);
  const QString third = GridColumn(form.TntDBGrid2)[2];
  Type(U("کتاب"));
  ExpectShows(Matches(U("کتاب")));
  // Switching views keeps the text and the mode.
  QTest::mouseClick(form.Image2, Qt::LeftButton);
  QTest::mouseClick(form.TntImage3, Qt::LeftButton);
  QTest::mouseClick(form.Image3, Qt::LeftButton);
  EXPECT_EQ(form.TntEdit3->toPlainText(), U("کتاب"));
  ExpectShows(Matches(U("کتاب")));
  form.TntEdit3->clear();
  Settle();
  EXPECT_FALSE(QueryMode());
  for (QObject* bound : {static_cast<QObject*>(form.TntDBMemo2), static_cast<QObject*>(form.TntDBEdit4)}) {
    auto* memo = qobject_cast<TDBMemo*>(bound);
    auto* edit = qobject_cast<TDBEdit*>(bound);
    EXPECT_EQ(memo ? memo->DataSource() : edit->DataSource(), form.DataSource2);
  }
  EXPECT_EQ(SelectedRow(form.TntDBGrid2), 2);
  EXPECT_EQ(form.TntDBEdit4->text(), third);
  EXPECT_EQ(form.TntDBMemo2->toPlainText(), MeaningOf(third));
  EXPECT_EQ(GridColumn(form.TntDBGrid2).size(), static_cast<int>(test::FixtureDictionary().Per2En.size()));
  EXPECT_TRUE(errors.empty());
}

TEST_F(PersianViewTest, KeyThatChangesNoTextAfterAnEnglishSearchKeepsThePersianList) {
  TForm1& form = Open();
  Type(U("کتاب"));
  const std::vector<Entry> want = Matches(U("کتاب"));
  // A search in the English box sets the shared pattern to its own text and '*'.
  QTest::mouseClick(form.Image2, Qt::LeftButton);
  TypeKeys(form.Tntedit2, QStringLiteral("book"));
  Settle();
  ASSERT_EQ(form.SearchPattern, QStringLiteral("book*"));
  QTest::mouseClick(form.Image3, Qt::LeftButton);
  for (Qt::Key key : {Qt::Key_Left, Qt::Key_Right, Qt::Key_End}) {
    SCOPED_TRACE(key);
    PressKey(form.TntEdit3, key);
    Settle();
    EXPECT_EQ(form.SearchPattern, QStringLiteral("book*"));
    ExpectShows(want);
  }
  EXPECT_TRUE(errors.empty());
}

TEST_F(PersianViewTest, EnglishMovesRunTheQueryAgainAndItStillShowsItsRows) {
  TForm1& form = Open();
  Type(U("خط"));
  const std::vector<Entry> want = Matches(U("خط"));
  // Each move of eng2per (its grid's buttons, an English search) runs ABSQuery1 again
  // through its master link; the Persian view ends where it was.
  QTest::mouseClick(form.TntImage18, Qt::LeftButton);
  QTest::mouseClick(form.TntImage17, Qt::LeftButton);
  TypeKeys(form.Tntedit2, QStringLiteral("ab"));
  Settle();
  ExpectShows(want);
  EXPECT_TRUE(form.ABSQuery1->Active());
  EXPECT_TRUE(errors.empty());
}

TEST_F(PersianViewTest, CopyInQueryModeAddsTheRowShownFromButtonAndPopup) {
  TForm1& form = Open();
  // per2en on اتومبیل ("automobile"); the search's first match خودرو has the same meaning,
  // so the memo does not change when the grid turns to the query.
  const QString automobile = U("اتومبیل");
  const int at = TablePosition(automobile);
  ASSERT_GT(at, 0);
  ChooseRow(form.TntDBGrid2, at - 1);
  ASSERT_EQ(form.TntDBEdit4->text(), automobile);
  // The whole text at once, as a paste gives it: the memo sees no other meaning meanwhile.
  form.TntEdit3->setPlainText(U("خودر"));
  Settle();
  ExpectShows(Matches(U("خودر")));
  ASSERT_EQ(form.TntDBMemo2->toPlainText(), MeaningOf(automobile));
  QTest::mouseClick(form.TntImage15, Qt::LeftButton);
  // Another row of the result, through the popup item.
  Type(U("کتاب"));
  ChooseRow(form.TntDBGrid2, 1);
  const QString second = GridColumn(form.TntDBGrid2)[1];
  EXPECT_EQ(form.TntDBEdit4->text(), second);
  form.TntPopupMenu2->findChild<QAction*>(QStringLiteral("N2"))->trigger();
  // The same from table mode.
  form.TntEdit3->clear();
  Settle();
  form.TntPopupMenu2->findChild<QAction*>(QStringLiteral("N2"))->trigger();
  EXPECT_TRUE(errors.empty());
  EXPECT_EQ(GridColumn(form.TntDBGrid3, 1), QStringList({U("خودرو"), second, automobile}));
  EXPECT_EQ(GridColumn(form.TntDBGrid3, 0),
            QStringList({MeaningOf(U("خودرو")), MeaningOf(second), MeaningOf(automobile)}));
}

TEST_F(PersianViewTest, FailingCopyShowsTheErrorAndLeavesTheCardBeingInserted) {
  TForm1& form = Open();
  Type(U("کتاب"));
  form.ABSTable3->BeforePost = [](dadoveri::TDataSet&) { throw std::runtime_error("The card cannot be kept"); };
  QTest::mouseClick(form.TntImage15, Qt::LeftButton);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0], QStringLiteral("The card cannot be kept."));
  EXPECT_EQ(form.ABSTable3->State(), dadoveri::TDataSetState::dsInsert);
  // The next copy goes through.
  form.ABSTable3->BeforePost = nullptr;
  form.TntPopupMenu2->findChild<QAction*>(QStringLiteral("N2"))->trigger();
  EXPECT_EQ(errors.size(), 1u);
  EXPECT_EQ(form.ABSTable3->State(), dadoveri::TDataSetState::dsBrowse);
  const QStringList cards = GridColumn(form.TntDBGrid3, 1);
  ASSERT_FALSE(cards.isEmpty());
  for (const QString& word : cards) EXPECT_EQ(word, GridColumn(form.TntDBGrid2)[0]);
}

TEST_F(PersianViewTest, NavigationInQueryModeMovesPer2enWhileTheGridStays) {
  TForm1& form = Open();
  Type(U("خط"));
  const std::vector<Entry> want = Matches(U("خط"));
  const QString first_shown = form.TntDBEdit4->text();
  struct Step {
    TImage* button;
    int recno;
  };
  const int last = static_cast<int>(test::FixtureDictionary().Per2En.size());
  const Step steps[] = {{form.TntImage13, 2}, {form.TntImage13, 3}, {form.TntImage11, 2},
                        {form.TntImage12, last}, {form.TntImage14, 1}};
  for (const Step& s : steps) {
    SCOPED_TRACE(s.button->objectName().toStdString());
    QTest::mouseClick(s.button, Qt::LeftButton);
    EXPECT_TRUE(form.TntDBGrid2->hasFocus());
    EXPECT_EQ(form.ABSTable2->RecNo(), s.recno);
    ExpectShows(want);
    EXPECT_EQ(form.TntDBEdit4->text(), first_shown);
  }
  EXPECT_TRUE(errors.empty());
}

// A data link that records, for every notification its data source sends, whether it came
// on the main thread.
class ThreadRecordingLink : public dadoveri::TDataLink {
 public:
  std::atomic<int> Total{0}, OffMain{0};

 protected:
  void Record() {
    ++Total;
    if (QThread::currentThread() != QCoreApplication::instance()->thread()) ++OffMain;
  }
  void ActiveChanged() override { Record(); }
  void DataSetChanged() override { Record(); }
  void DataSetScrolled(int32_t) override { Record(); }
  void RecordChanged(dadoveri::TField*) override { Record(); }
  void LayoutChanged() override { Record(); }
  void EditingChanged() override { Record(); }
  void UpdateData() override { Record(); }
};

TEST_F(PersianViewTest, BothSearchesTypedTogetherNotifyOnlyOnTheMainThreadAndEndOnTheNewestText) {
  TForm1& form = Open();
  ThreadRecordingLink links[3];
  {
    std::lock_guard guard(*form.DatasetLock);
    links[0].SetDataSource(form.DataSource1);
    links[1].SetDataSource(form.DataSource2);
    links[2].SetDataSource(form.DataSource3);
  }
  const int stray_before = TControlDataLink::StrayCalls();
  std::mt19937 random(20261211);
  const QString english = QStringLiteral("abAB ");
  const QString persian = U("كکتابخطيی_% ");
  for (int k = 0; k < 240; ++k) {
    const int what = static_cast<int>(random() % 10);
    if (what < 4) {
      TypeKeys(form.Tntedit2, QString(english[static_cast<int>(random() % english.size())]));
    } else if (what < 8) {
      TypeKeys(form.TntEdit3, QString(persian[static_cast<int>(random() % persian.size())]));
    } else if (what == 8) {
      QTest::keyClick(random() % 2 ? static_cast<QWidget*>(form.Tntedit2) : form.TntEdit3, Qt::Key_Backspace);
    } else {
      PressKey(form.TntEdit3, Qt::Key_Left);
    }
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(random() % 3);
    while (std::chrono::steady_clock::now() < until) QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
  }
  Settle();
  // Each view shows what its box holds now.
  const QString english_text = form.Tntedit2->toPlainText();
  const QString persian_text = form.TntEdit3->toPlainText();
  SCOPED_TRACE(english_text.toStdString() + " | " + persian_text.toStdString());
  QStringList english_want;
  for (const auto& record : test::FixtureDictionary().Eng2Per) {
    const QString eng = QString::fromStdU16String(dadoveri::AnsiCodePage().ToWide(record.Eng));
    if (eng.startsWith(english_text)) english_want << eng;
  }
  EXPECT_EQ(GridColumn(form.TntDBGrid1), english_want);
  if (persian_text.isEmpty()) {
    EXPECT_FALSE(QueryMode());
  } else {
    ExpectShows(Matches(persian_text));
  }
  {
    std::lock_guard guard(*form.DatasetLock);
    for (ThreadRecordingLink& link : links) link.SetDataSource(nullptr);
  }
  // The English and the query side were notified many times; per2en itself does not move.
  EXPECT_GT(links[0].Total.load(), 0);
  EXPECT_GT(links[2].Total.load(), 0);
  for (const ThreadRecordingLink& link : links) EXPECT_EQ(link.OffMain.load(), 0);
  EXPECT_EQ(TControlDataLink::StrayCalls(), stray_before);
  EXPECT_TRUE(errors.empty());
}

}  // namespace
}  // namespace nilvar
