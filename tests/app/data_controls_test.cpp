// The data-aware controls over a dataset kept in memory: the grid's rows, its selection as
// the current record both ways, reading rows without moving the current record, the memo
// and edit following the current record, the edit handing its text to the field on post,
// and notifications raised by a worker reaching the controls only on the main thread.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QItemSelectionModel>
#include <QTableView>
#include <QTest>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "app/dataset_lock.h"
#include "app/db_edit.h"
#include "app/db_grid.h"
#include "engine/dataset/data_source.h"
#include "tests/app/test_application.h"
#include "tests/engine/dataset/rows_dataset.h"

namespace nilvar {
namespace {

using dadoveri::TDataSource;
using dadoveri::TFieldValue;
using dadoveri::testing::RowsDataSet;

// The in-memory rows with record numbers (the rows are never filtered here) and a reader
// that reads a row by its number straight from the rows.
class NumberedRows : public RowsDataSet {
 public:
  NumberedRows() : RowsDataSet({{"word", dadoveri::ftWideString, 40}, {"meaning", dadoveri::ftWideString, 80}}) {}
  int64_t RecNo() override {
    CheckActive();
    if (IsEmpty() || State() == dadoveri::TDataSetState::dsInsert) return -1;
    return index_of(buf(ActiveBuffer()).Id) + 1;
  }
  void SetRecNo(int64_t value) override {
    CheckActive();
    const int64_t at = RecNo();
    if (at > 0 && value != at) MoveBy(static_cast<int32_t>(value - at));
  }
  TDBGrid::RowReader Reader() {
    return [this](dadoveri::TDataSet&, int64_t recno, const std::vector<std::string>& fields,
                  QStringList& values) {
      ++rows_read;
      if (recno < 1 || recno > static_cast<int64_t>(Rows().size())) return false;
      const Row& row = Rows()[static_cast<size_t>(recno - 1)];
      for (const std::string& name : fields) values << ValueText(row.Values.at(name == "word" ? 0 : 1));
      return true;
    };
  }
  int rows_read = 0;
};

std::u16string W(const char* utf8) { return QString::fromUtf8(utf8).toStdU16String(); }

class DataControlsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int i = 1; i <= 50; ++i)
      rows.AddRow({W(("word" + std::to_string(i)).c_str()), W(("معنی " + std::to_string(i)).c_str())});
    source.SetDataSet(&rows);
    view.resize(300, 120);
    grid = new TDBGrid(&view, {{"word", QStringLiteral("word"), 100}, {"meaning", QStringLiteral("meaning"), 150}}, 18);
    memo.SetDataField("meaning");
    edit.SetDataField("word");
    rows.AfterScroll = [this](dadoveri::TDataSet&) { ++scrolls; };
  }
  void Bind() {
    grid->SetDataSource(&source, rows.Reader(), &lock);
    memo.SetDataSource(&source, &lock);
    edit.SetDataSource(&source, &lock);
  }
  int SelectedRow() {
    const QModelIndexList selected = view.selectionModel()->selectedRows();
    return selected.size() == 1 ? selected[0].row() : -1;
  }

  // The application exists before the widgets below.
  struct ApplicationFirst {
    ApplicationFirst() { test::Application(); }
  } application_first;
  TDatasetLock lock;
  NumberedRows rows;
  TDataSource source;
  QTableView view;
  TDBGrid* grid = nullptr;
  TDBMemo memo;
  TDBEdit edit;
  int scrolls = 0;
};

TEST_F(DataControlsTest, GridRowsFollowTheDatasetAndItsCurrentRecord) {
  Bind();
  EXPECT_EQ(grid->rowCount(), 0);  // closed: no rows
  rows.Open();
  EXPECT_EQ(grid->rowCount(), 50);
  EXPECT_EQ(SelectedRow(), 0);
  EXPECT_EQ(memo.toPlainText(), QStringLiteral("معنی 1"));
  EXPECT_EQ(edit.text(), QStringLiteral("word1"));

  // Moving the dataset moves the selection and the bound controls.
  struct Move {
    const char* what;
    std::function<void()> move;
    int row;
  };
  const Move moves[] = {
      {"next", [&] { rows.Next(); }, 1},       {"last", [&] { rows.Last(); }, 49},
      {"prior", [&] { rows.Prior(); }, 48},    {"first", [&] { rows.First(); }, 0},
      {"by 20", [&] { rows.MoveBy(20); }, 20},
  };
  for (const Move& m : moves) {
    SCOPED_TRACE(m.what);
    m.move();
    EXPECT_EQ(SelectedRow(), m.row);
    EXPECT_EQ(edit.text(), QStringLiteral("word%1").arg(m.row + 1));
    EXPECT_EQ(memo.toPlainText(), QStringLiteral("معنی %1").arg(m.row + 1));
  }

  // Choosing a row in the grid (click, keys) makes its record current.
  view.selectionModel()->setCurrentIndex(grid->index(7, 0),
                                         QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  EXPECT_EQ(rows.RecNo(), 8);
  EXPECT_EQ(edit.text(), QStringLiteral("word8"));
  view.setFocus();
  QTest::keyClick(&view, Qt::Key_Down);
  EXPECT_EQ(rows.RecNo(), 9);
  EXPECT_EQ(memo.toPlainText(), QStringLiteral("معنی 9"));

  // Adding and deleting records changes the row count.
  rows.Append();
  rows.FieldByName("word")->SetAsWideString(u"zebra");
  rows.Post();
  EXPECT_EQ(grid->rowCount(), 51);
  EXPECT_EQ(grid->data(grid->index(50, 0)).toString(), QStringLiteral("zebra"));
  EXPECT_EQ(SelectedRow(), 50);
  rows.Delete();
  EXPECT_EQ(grid->rowCount(), 50);
  EXPECT_EQ(SelectedRow(), 49);
  rows.Close();
  EXPECT_EQ(grid->rowCount(), 0);
  EXPECT_EQ(SelectedRow(), -1);
  EXPECT_TRUE(memo.toPlainText().isEmpty());
}

TEST_F(DataControlsTest, PaintingReadsRowsByNumberWithoutMovingTheCurrentRecord) {
  Bind();
  rows.Open();
  rows.MoveBy(3);
  const int scrolls_before = scrolls;
  for (int row : {0, 49, 10, 0, 49}) {
    EXPECT_EQ(grid->data(grid->index(row, 0)).toString(), QStringLiteral("word%1").arg(row + 1));
    EXPECT_EQ(grid->data(grid->index(row, 1)).toString(), QStringLiteral("معنی %1").arg(row + 1));
  }
  EXPECT_EQ(rows.RecNo(), 4);
  EXPECT_EQ(scrolls, scrolls_before);
  // Each row is read once while it is cached.
  EXPECT_EQ(rows.rows_read, 3);
  // A change of the data drops the cache.
  rows.Edit();
  rows.FieldByName("word")->SetAsWideString(u"changed");
  rows.Post();
  EXPECT_EQ(grid->data(grid->index(3, 0)).toString(), QStringLiteral("changed"));
}

TEST_F(DataControlsTest, EditWritesOnlyTextPutIntoItWhenTheRecordIsPosted) {
  TDBEdit meaning;
  meaning.SetDataField("meaning");
  Bind();
  meaning.SetDataSource(&source, &lock);
  rows.Open();
  rows.Last();

  rows.Append();
  EXPECT_TRUE(edit.text().isEmpty());  // the new record shows its empty fields
  edit.setText(QStringLiteral("copied"));
  EXPECT_TRUE(edit.TextChanged());
  rows.Post();
  ASSERT_EQ(rows.Rows().size(), 51u);
  EXPECT_EQ(rows.Rows().back().Values[0], TFieldValue(std::u16string(u"copied")));
  EXPECT_EQ(rows.Rows().back().Values[1], TFieldValue());  // untouched edit: field stays NULL
  EXPECT_FALSE(edit.TextChanged());

  // Showing another record is not a change of the text.
  rows.First();
  EXPECT_EQ(meaning.text(), QStringLiteral("معنی 1"));
  EXPECT_FALSE(meaning.TextChanged());
  rows.Edit();
  rows.Post();
  EXPECT_EQ(rows.Rows()[0].Values[1], TFieldValue(W("معنی 1")));
}

// Processes main-thread events until `done` holds or five seconds pass.
template <typename Pred>
bool PumpUntil(Pred done) {
  QElapsedTimer timer;
  timer.start();
  while (!done()) {
    if (timer.elapsed() > 5000) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  return true;
}

TEST_F(DataControlsTest, WorkerChangesReachTheControlsOnlyOnTheMainThread) {
  Bind();
  rows.Open();
  const int stray_before = TControlDataLink::StrayCalls();
  std::atomic<bool> done{false};
  std::thread worker([&] {
    for (int i = 0; i < 40; ++i) {
      std::lock_guard guard(lock);
      lock.DeferControls(rows);
      if (i % 2) rows.Next();
      else rows.Last();
    }
    {
      std::lock_guard guard(lock);
      lock.DeferControls(rows);
      rows.First();
      rows.MoveBy(5);
    }
    done = true;
  });
  // Meanwhile the main thread paints and reads under the same lock.
  while (!done) {
    for (int row = 0; row < grid->rowCount(); row += 7) grid->data(grid->index(row, 0));
    QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
  }
  worker.join();
  EXPECT_TRUE(PumpUntil([&] { return !lock.DeliveryPending(); }));
  EXPECT_EQ(TControlDataLink::StrayCalls(), stray_before);
  EXPECT_FALSE(rows.ControlsDisabled());
  EXPECT_EQ(SelectedRow(), 5);
  EXPECT_EQ(edit.text(), QStringLiteral("word6"));
  EXPECT_EQ(memo.toPlainText(), QStringLiteral("معنی 6"));
}

}  // namespace
}  // namespace nilvar
