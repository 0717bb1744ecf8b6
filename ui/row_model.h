#pragma once
// The rows of the report list as a table model over a compact row store. Cells are 8-bit
// texts, built from a row's fields only for the one cell a view asks for.
//
// The model shows either every stored row in capture order, or, while a filter is set or
// the rows are sorted, the rows a list of store rows names (the view's rows). That list
// holds absolute row numbers (rows that left count too), so rows leaving at the front
// change no entry; it is kept only while it is needed, as it costs 8 bytes a shown row.
//
// A new filter or sort is a view change. Over a small list it is made at once; over a
// large one it runs as a job while the list goes on showing (and taking batches into) the
// current view: a ViewBuilder reads the rows in short slices, between which the event loop
// runs, and sorts them off this thread, and the new view then takes the current one's
// place with one reset.

#include <QAbstractTableModel>
#include <QTimer>
#include <algorithm>
#include <climits>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/columns.h"
#include "analysis/row_filter.h"
#include "analysis/row_store.h"
#include "analysis/view_builder.h"

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
  void SetFrameSource(const FrameSource* source) {
    rows_.SetFrameSource(source);
    readsFrames_ = source != nullptr;
  }
  // The source is about to let the frames below packetNumber go.
  void FramesLeaving(std::int64_t packetNumber) { rows_.KeepDataBelow(packetNumber); }
  // Removes every row and every column.
  void RemoveAll();

  // Shows only the rows the filter keeps (nothing: every row), the new rows of each batch
  // included. A view change: the rows shown are replaced with one reset.
  void SetFilter(std::optional<RowFilter> filter);
  // Whether the view shown has a filter.
  bool HasFilter() const { return filter_.has_value(); }
  // Sorts the shown rows by a list column (-1: capture order): numbers and addresses by
  // value, other cells by text, cells not set first; descending reverses. Rows with the
  // same cell stay in capture order. New rows go to their sorted places. A view change,
  // which keeps the filter of a change still running.
  void SortBy(int column, bool descending);
  // The sort of the view shown.
  int SortColumn() const { return sortColumn_; }
  bool SortDescending() const { return descending_; }
  // The sort asked for last: the running change's, or else the view's.
  int RequestedSortColumn() const;
  bool RequestedSortDescending() const;

  // A view change is running (the view shown is still the former one). A new change
  // replaces it; Clear, SetColumns and RemoveAll cancel it.
  bool ViewChanging() const { return builder_.Running(); }
  // Drops the running change (if any); the view shown stays.
  void CancelViewChange();
  // The most rows one slice of a change reads; a list of no more rows is changed at once.
  // Slices also end after about 8 ms of work. The sort scales with it: more keys than a
  // quarter of it are sorted off this thread, in runs of four times it, then merged.
  void SetViewSliceRows(std::int64_t rows) { sliceRows_ = std::max<std::int64_t>(rows, 1); }
  // The view row that shows a store row (-1: none).
  std::int64_t ViewRow(std::int64_t storeRow) const;
  // Rows shown and rows in the list.
  std::int64_t ShownRows() const;
  std::int64_t TotalRows() const { return rows_.RowCount(); }
  // The store row a view row shows (-1 outside the view).
  std::int64_t StoreRow(std::int64_t viewRow) const;

  // The stored rows (for saving, the log and the details dialog).
  const RowStore& Rows() const { return rows_; }
  // The header text of a list column; empty past the last column.
  std::string_view HeaderText(int column) const;
  // The text of one cell of a view row; empty for a cell never set or outside the table.
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
  // The shown or the total rows changed.
  void shownChanged(qint64 shown, qint64 total);
  // How far a running view change is: reading and keeping rows for a new filter
  // (filtering), or reading sort values and sorting (sorting).
  void viewChangeProgress(int percent, bool sorting);
  // A view change ended: applied (its view is shown), or cancelled.
  void viewChangeEnded(bool applied);

 private:
  void ForgetRowsLeft();
  bool Mapped() const { return filter_.has_value() || sortColumn_ >= 0; }
  // Absolute numbers of the store rows from first on that the filter keeps.
  std::vector<std::int64_t> Select(std::int64_t first) const;
  void StartViewChange(ViewRequest request);
  void StepViewChange();
  void FinishViewChange();
  void ReportProgress(int percent, bool sorting);
  void DropJob();
  void InsertShown(std::vector<std::int64_t> added);
  void RemoveShownBelow(std::int64_t absolute);
  void EmitShown();

  ColumnSet columns_;
  std::optional<RowFilter> filter_;
  int sortColumn_ = -1;
  bool descending_ = false;
  std::vector<std::int64_t> shown_;
  bool readsFrames_ = false;  // rows may rebuild their Data from a frame source
  ViewBuilder builder_;
  QTimer jobTimer_;
  int progressPercent_ = -1;  // the progress last reported
  bool progressSorting_ = false;
  std::int64_t sliceRows_ = std::int64_t{1} << 18;

  RowStore rows_;
  int columnCount_ = 0;
  std::int64_t rowLimit_ = INT_MAX / 2;
  std::int64_t rowsLeft_ = 0;
  std::vector<std::string> headers_;
};
