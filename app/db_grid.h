// TDBGrid: the rows of a data source as a table model for a grid view. There is one row per
// record (`RecordCount`), one column per listed field. Rows are read by record number into
// the model's own cache, so painting never moves the dataset's current record; the grid's
// selection is the current record, both ways: moving the dataset selects its row, and
// selecting a row (click, arrow and page keys) makes its record current. Every row has the
// same height, so the view never measures rows it does not show.
#pragma once

#include <QAbstractTableModel>
#include <QHash>
#include <QPointer>
#include <QStringList>
#include <QTableView>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "app/db_link.h"

namespace nilvar {

class TDBGrid : public QAbstractTableModel {
  Q_OBJECT
 public:
  struct Column {
    std::string FieldName;
    QString Title;
    int Width = 64;
    Qt::Alignment Alignment = Qt::AlignLeft | Qt::AlignVCenter;
  };
  // Reads the listed fields of record `recno` (1-based, in the dataset's current order and
  // filter) without moving the current record; false when there is no such record.
  using RowReader = std::function<bool(dadoveri::TDataSet& dataset, int64_t recno,
                                       const std::vector<std::string>& fields, QStringList& values)>;

  TDBGrid(QTableView* view, std::vector<Column> columns, int row_height);
  ~TDBGrid() override;

  dadoveri::TDataSource* DataSource() const { return link_.DataSource(); }
  void SetDataSource(dadoveri::TDataSource* source, RowReader reader, TDatasetLock* lock = nullptr);
  QTableView* View() const { return view_; }
  const std::vector<Column>& Columns() const { return columns_; }

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

  // Rows read from the dataset since the model was made (each row read once while cached).
  int64_t RowsRead() const { return rows_read_; }

 private:
  void Refresh();          // the data changed: count, cache, selection
  void FollowCurrent();    // only the current record moved
  void SelectCurrent(int64_t recno);
  void RowChosen(const QModelIndex& current);

  QPointer<QTableView> view_;
  std::vector<Column> columns_;
  std::vector<std::string> field_names_;
  TControlDataLink link_;
  RowReader reader_;
  int rows_ = 0;
  bool following_ = false;  // the grid is selecting the dataset's record itself
  mutable QHash<int, QStringList> cache_;
  mutable int64_t rows_read_ = 0;
};

}  // namespace nilvar
