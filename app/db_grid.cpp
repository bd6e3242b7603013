#include "app/db_grid.h"

#include <QHeaderView>
#include <QItemSelectionModel>

#include <exception>
#include <mutex>

#include "app/dataset_lock.h"
#include "engine/dataset/dataset.h"

namespace nilvar {
namespace {

// Rows kept in the cache; a grid shows a few dozen, so this only bounds a long scroll.
constexpr int kCachedRows = 2048;

class OptionalLock {
 public:
  explicit OptionalLock(TDatasetLock* lock) : lock_(lock) {
    if (lock_) lock_->lock();
  }
  ~OptionalLock() {
    if (lock_) lock_->unlock();
  }
  OptionalLock(const OptionalLock&) = delete;
  OptionalLock& operator=(const OptionalLock&) = delete;

 private:
  TDatasetLock* lock_;
};

}  // namespace

TDBGrid::TDBGrid(QTableView* view, std::vector<Column> columns, int row_height)
    : QAbstractTableModel(view), view_(view), columns_(std::move(columns)),
      link_(this, [this] { Refresh(); }) {
  link_.OnScrolled = [this] { FollowCurrent(); };
  for (const Column& c : columns_) field_names_.push_back(c.FieldName);
  view->setModel(this);
  QHeaderView* rows = view->verticalHeader();
  rows->setSectionResizeMode(QHeaderView::Fixed);
  rows->setDefaultSectionSize(row_height);
  rows->setMinimumSectionSize(row_height);
  for (size_t i = 0; i < columns_.size(); ++i)
    view->setColumnWidth(static_cast<int>(i), columns_[i].Width);
  connect(view->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
          [this](const QModelIndex& current) { RowChosen(current); });
}

TDBGrid::~TDBGrid() = default;

void TDBGrid::SetDataSource(dadoveri::TDataSource* source, RowReader reader, TDatasetLock* lock) {
  link_.Lock = lock;
  reader_ = std::move(reader);
  {
    OptionalLock guard(lock);
    link_.SetDataSource(source);
  }
  Refresh();
}

int TDBGrid::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : rows_; }

int TDBGrid::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(columns_.size());
}

QVariant TDBGrid::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rows_) return {};
  const Column& column = columns_[static_cast<size_t>(index.column())];
  if (role == Qt::TextAlignmentRole) return QVariant::fromValue(column.Alignment);
  if (role != Qt::DisplayRole && role != Qt::ToolTipRole) return {};
  auto cached = cache_.constFind(index.row());
  if (cached == cache_.constEnd()) {
    QStringList values;
    {
      OptionalLock guard(link_.Lock);
      dadoveri::TDataSet* dataset = link_.DataSet();
      if (!dataset || !dataset->Active() || !reader_) return {};
      try {
        if (!reader_(*dataset, index.row() + 1, field_names_, values)) values.clear();
      } catch (const std::exception&) {
        values.clear();  // a row that cannot be read shows empty
      }
    }
    ++rows_read_;
    if (cache_.size() >= kCachedRows) cache_.clear();
    cached = cache_.insert(index.row(), values);
  }
  return index.column() < cached->size() ? QVariant(cached->at(index.column())) : QVariant();
}

QVariant TDBGrid::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || section < 0 || section >= static_cast<int>(columns_.size()))
    return QAbstractTableModel::headerData(section, orientation, role);
  const Column& column = columns_[static_cast<size_t>(section)];
  if (role == Qt::DisplayRole) return column.Title;
  if (role == Qt::TextAlignmentRole) return QVariant::fromValue(column.Alignment);
  return {};
}

void TDBGrid::Refresh() {
  int64_t count = 0;
  int64_t current = 0;
  {
    OptionalLock guard(link_.Lock);
    dadoveri::TDataSet* dataset = link_.DataSet();
    if (link_.Active() && dataset) {
      count = std::max<int64_t>(dataset->RecordCount(), 0);
      current = dataset->IsEmpty() ? 0 : dataset->RecNo();
    }
  }
  if (count > INT32_MAX) count = INT32_MAX;
  beginResetModel();
  cache_.clear();
  rows_ = static_cast<int>(count);
  endResetModel();
  SelectCurrent(current);
}

void TDBGrid::FollowCurrent() {
  int64_t current = 0;
  {
    OptionalLock guard(link_.Lock);
    dadoveri::TDataSet* dataset = link_.DataSet();
    if (link_.Active() && dataset && !dataset->IsEmpty()) current = dataset->RecNo();
  }
  SelectCurrent(current);
}

void TDBGrid::SelectCurrent(int64_t recno) {
  if (!view_ || !view_->selectionModel()) return;
  following_ = true;
  if (recno >= 1 && recno <= rows_) {
    const QModelIndex at = index(static_cast<int>(recno - 1), 0);
    view_->selectionModel()->setCurrentIndex(
        at, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    view_->scrollTo(at);
  } else {
    view_->selectionModel()->clearSelection();
    view_->selectionModel()->setCurrentIndex(QModelIndex(), QItemSelectionModel::NoUpdate);
  }
  following_ = false;
}

void TDBGrid::RowChosen(const QModelIndex& current) {
  if (following_ || !current.isValid()) return;
  OptionalLock guard(link_.Lock);
  dadoveri::TDataSet* dataset = link_.DataSet();
  if (!link_.Active() || !dataset) return;
  try {
    if (dataset->RecNo() != current.row() + 1) dataset->SetRecNo(current.row() + 1);
  } catch (const std::exception&) {
    // The record went away meanwhile; the next notification puts the selection right.
  }
}

}  // namespace nilvar
