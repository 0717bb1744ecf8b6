#pragma once
// The rows of the report list as a table model over a compact row store. Cells are 8-bit
// texts, built from a row's fields only for the one cell a view asks for.

#include <QAbstractTableModel>
#include <climits>
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
  // Appends every row of the batch with one insertion. A batch with other columns than
  // the list is fitted to it: missing cells read as empty, surplus cells are dropped. Past
  // the row limit the oldest rows then leave the list, with one removal.
  void AppendBatch(const RowStore& batch);
  // Removes every row; the columns stay. Rows that left count from 0 again.
  void Clear();

  // The most rows the list keeps (at least 1). When rows exceed it, the oldest leave
  // together down to the limit less a margin of a 32nd of it (at most 65,536), so that
  // rows leave in batches rather than a few with every new batch.
  void SetRowLimit(std::int64_t limit);
  std::int64_t RowLimit() const { return rowLimit_; }
  // Rows that left the list at the front since it was last emptied.
  std::int64_t RowsLeft() const { return rowsLeft_; }
  // The packet number the next row gets: numbers go on while older rows leave.
  std::int64_t NextPacketNumber() const { return rowsLeft_ + rows_.RowCount(); }
  // Where the frames of the rows can be read again (see RowStore::SetFrameSource).
  void SetFrameSource(const FrameSource* source) { rows_.SetFrameSource(source); }
  // The source is about to let the frames below packetNumber go.
  void FramesLeaving(std::int64_t packetNumber) { rows_.KeepDataBelow(packetNumber); }
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

 signals:
  // Older rows left the list past its limit; total counts them since it was last emptied
  // (0 when it was emptied after rows had left).
  void rowsLeft(qint64 total);

 private:
  void ForgetRowsLeft();

  RowStore rows_;
  int columnCount_ = 0;
  std::int64_t rowLimit_ = INT_MAX / 2;
  std::int64_t rowsLeft_ = 0;
  std::vector<std::string> headers_;
};
