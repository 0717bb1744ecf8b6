#pragma once
// The rows of the report list as a table model over a compact row store. Cells are 8-bit
// texts, built from a row's fields only for the one cell a view asks for.

#include <QAbstractTableModel>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/columns.h"
#include "analysis/row_store.h"

class RowModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  explicit RowModel(QObject* parent = nullptr);
  ~RowModel() override;

  // One list column per shown column of the set, in list order, headed by its header
  // text. Every row is removed.
  void SetColumns(const ColumnSet& columns);
  // Appends every row of the batch with one insertion. A batch with another column count
  // than the list is fitted to it: missing cells read as empty, surplus cells are dropped.
  void AppendBatch(const RowStore& batch);
  // Removes every row; the columns stay.
  void Clear();
  // Removes every row and every column.
  void RemoveAll();

  // The stored rows (for saving, the log and the details dialog).
  const RowStore& Rows() const { return rows_; }
  // The header text of a list column; empty past the last column.
  std::string_view HeaderText(int column) const;
  // The text of one cell; empty for a cell never set or outside the table.
  std::string_view CellText(std::int64_t row, int column) const;

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;

 private:
  RowStore rows_;
  int columnCount_ = 0;
  std::vector<std::string> headers_;
};
