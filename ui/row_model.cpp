#include "ui/row_model.h"

#include <algorithm>
#include <climits>

RowModel::RowModel(QObject* parent) : QAbstractTableModel(parent), rows_(1) {}

RowModel::~RowModel() = default;

void RowModel::SetColumns(const ColumnSet& columns) {
  ForgetRowsLeft();
  beginResetModel();
  headers_.clear();
  for (const ColumnId id : ColumnListOrder) {
    if (columns.IsShown(id)) headers_.emplace_back(ColumnHeader(id));
  }
  columnCount_ = static_cast<int>(headers_.size());
  rows_.Reset(columns);
  endResetModel();
}

void RowModel::AppendBatch(const RowStore& batch) {
  const std::int64_t have = rows_.RowCount();
  // A QAbstractItemModel counts rows in int; rows past that could not be shown.
  const std::int64_t room = static_cast<std::int64_t>(INT_MAX) - have;
  const std::int64_t add = std::min(batch.RowCount(), room);
  if (add <= 0) return;

  beginInsertRows(QModelIndex(), static_cast<int>(have), static_cast<int>(have + add - 1));
  rows_.Append(batch, add);
  endInsertRows();

  const std::int64_t rows = rows_.RowCount();
  if (rows <= rowLimit_) return;
  const std::int64_t margin = std::min<std::int64_t>(rowLimit_ / 32, 65536);
  const std::int64_t leave = rows - (rowLimit_ - margin);
  beginRemoveRows(QModelIndex(), 0, static_cast<int>(leave - 1));
  rows_.RemoveFirst(leave);
  rowsLeft_ += leave;
  endRemoveRows();
  emit rowsLeft(rowsLeft_);
}

void RowModel::SetRowLimit(std::int64_t limit) { rowLimit_ = std::clamp<std::int64_t>(limit, 1, INT_MAX / 2); }

void RowModel::ForgetRowsLeft() {
  if (rowsLeft_ == 0) return;
  rowsLeft_ = 0;
  emit rowsLeft(0);
}

void RowModel::Clear() {
  ForgetRowsLeft();
  if (rows_.RowCount() == 0) return;
  beginRemoveRows(QModelIndex(), 0, rowCount() - 1);
  rows_.Clear();
  endRemoveRows();
}

void RowModel::RemoveAll() {
  ForgetRowsLeft();
  beginResetModel();
  headers_.clear();
  columnCount_ = 0;
  rows_.Reset(1);
  endResetModel();
}

std::string_view RowModel::HeaderText(int column) const {
  if (column < 0 || column >= columnCount_) return {};
  return headers_[static_cast<std::size_t>(column)];
}

std::string_view RowModel::CellText(std::int64_t row, int column) const {
  if (row < 0 || row >= rows_.RowCount() || column < 0 || column >= columnCount_) return {};
  return rows_.Cell(row, column);
}

int RowModel::rowCount(const QModelIndex& parent) const {
  if (parent.isValid()) return 0;
  return static_cast<int>(std::min<std::int64_t>(rows_.RowCount(), INT_MAX));
}

int RowModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : columnCount_;
}

QVariant RowModel::data(const QModelIndex& index, int role) const {
  if (role != Qt::DisplayRole || !checkIndex(index, CheckIndexOption::IndexIsValid)) return {};
  const std::string_view cell = CellText(index.row(), index.column());
  // Cell texts are 8-bit; Latin-1 shows every byte as one character.
  return QString::fromLatin1(cell.data(), static_cast<qsizetype>(cell.size()));
}

QVariant RowModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || section < 0 || section >= columnCount_) return {};
  if (role == Qt::DisplayRole) {
    const std::string& h = headers_[static_cast<std::size_t>(section)];
    return QString::fromLatin1(h.data(), static_cast<qsizetype>(h.size()));
  }
  if (role == Qt::TextAlignmentRole) {
    return QVariant::fromValue(Qt::Alignment(Qt::AlignLeft | Qt::AlignVCenter));
  }
  return {};
}

Qt::ItemFlags RowModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
}
