// Helpers of the view tests: pumping the main thread's events, reading a grid's column and
// selection, and typing into a box key by key.
#pragma once

#include <QApplication>
#include <QElapsedTimer>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QStringList>
#include <QTableView>

#include <functional>

namespace nilvar::test {

// Processes main-thread events until `done` holds or ten seconds pass.
inline bool PumpUntil(const std::function<bool()>& done) {
  QElapsedTimer timer;
  timer.start();
  while (!done()) {
    if (timer.elapsed() > 10000) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  }
  return true;
}

inline QStringList GridColumn(QTableView* grid, int column = 0) {
  QStringList texts;
  const QAbstractItemModel* rows = grid->model();
  for (int r = 0; r < rows->rowCount(); ++r) texts << rows->index(r, column).data().toString();
  return texts;
}

inline int SelectedRow(QTableView* grid) {
  const QModelIndexList selected = grid->selectionModel()->selectedRows();
  return selected.size() == 1 ? selected[0].row() : -1;
}

// Makes row `row` of `grid` current, as a click on it does.
inline void ChooseRow(QTableView* grid, int row) {
  grid->selectionModel()->setCurrentIndex(grid->model()->index(row, 0),
                                          QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

// Types `text` into `box` one key press at a time (any character, as a keyboard layout
// would deliver it).
inline void TypeKeys(QWidget* box, const QString& text) {
  for (QChar c : text) {
    QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
    QApplication::sendEvent(box, &press);
    QKeyEvent release(QEvent::KeyRelease, 0, Qt::NoModifier, QString(c));
    QApplication::sendEvent(box, &release);
  }
}

// Presses and releases a key that gives no character (an arrow key).
inline void PressKey(QWidget* box, Qt::Key key) {
  QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
  QApplication::sendEvent(box, &press);
  QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier);
  QApplication::sendEvent(box, &release);
}

}  // namespace nilvar::test
