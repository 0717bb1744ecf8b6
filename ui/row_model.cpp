#include "ui/row_model.h"

#include <algorithm>
#include <climits>

RowModel::RowModel(QObject* parent) : QAbstractTableModel(parent), rows_(1) {
  connect(&jobTimer_, &QTimer::timeout, this, [this] { StepViewChange(); });
}

RowModel::~RowModel() { DropJob(); }

void RowModel::SetColumns(const ColumnSet& columns) {
  CancelViewChange();
  ForgetRowsLeft();
  beginResetModel();
  columns_ = columns;
  shown_.clear();
  sortColumn_ = -1;
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

  if (Mapped()) {
    rows_.Append(batch, add);
    InsertShown(Select(have));
  } else {
    beginInsertRows(QModelIndex(), static_cast<int>(have), static_cast<int>(have + add - 1));
    rows_.Append(batch, add);
    endInsertRows();
  }

  const std::int64_t rows = rows_.RowCount();
  if (rows > rowLimit_) {
    const std::int64_t margin = std::min<std::int64_t>(rowLimit_ / 32, 65536);
    const std::int64_t leave = rows - (rowLimit_ - margin);
    if (Mapped()) {
      RemoveShownBelow(rowsLeft_ + leave);
      rows_.RemoveFirst(leave);
      rowsLeft_ += leave;
    } else {
      beginRemoveRows(QModelIndex(), 0, static_cast<int>(leave - 1));
      rows_.RemoveFirst(leave);
      rowsLeft_ += leave;
      endRemoveRows();
    }
    emit rowsLeft(rowsLeft_);
  }
  EmitShown();
}

std::vector<std::int64_t> RowModel::Select(std::int64_t first) const {
  return KeptRows(ViewRows{rows_, columns_, rowsLeft_, readsFrames_}, filter_ ? &*filter_ : nullptr, first);
}

void RowModel::StartViewChange(ViewRequest request) {
  DropJob();
  builder_.Start(std::move(request), filter_ ? &*filter_ : nullptr, columns_, rowsLeft_, rows_.RowCount());
  progressPercent_ = -1;
  const bool mapped = builder_.Maps();
  if (mapped && rows_.RowCount() > sliceRows_) {
    jobTimer_.setInterval(0);
    jobTimer_.start();
    ReportProgress(0, !builder_.Filtering());
    return;
  }
  if (mapped) {
    builder_.ReadSlice(ViewRows{rows_, columns_, rowsLeft_, readsFrames_}, sliceRows_, 0);
    if (builder_.Sorts()) builder_.Sort();
  }
  FinishViewChange();
}

void RowModel::StepViewChange() {
  if (!builder_.Running()) {
    jobTimer_.stop();
    return;
  }
  const bool filtering = builder_.Filtering();
  if (!builder_.SortStarted()) {
    // Short enough that a worker waited for at the end, on a busy machine, still leaves the
    // pause well below what a user notices.
    constexpr std::int64_t kSliceNs = 8'000'000;
    builder_.ReadSlice(ViewRows{rows_, columns_, rowsLeft_, readsFrames_}, sliceRows_, kSliceNs);
    const std::int64_t end = rowsLeft_ + rows_.RowCount();
    const std::int64_t begin = builder_.Begin();
    if (builder_.Next() < end) {
      const auto percent = static_cast<int>((builder_.Next() - begin) * 100 / std::max<std::int64_t>(end - begin, 1));
      ReportProgress(filtering || !builder_.Sorts() ? percent : percent / 2, !filtering);
      return;
    }
    // Few keys are sorted at once; many off this thread, polled.
    if (!builder_.Sorts() || builder_.KeyCount() <= static_cast<std::size_t>(sliceRows_ / 4)) {
      if (builder_.Sorts()) builder_.Sort();
      FinishViewChange();
      return;
    }
    builder_.StartSort();
    // Polled; set first, as a handler of the progress may already start another job.
    jobTimer_.setInterval(20);
    ReportProgress(filtering ? 0 : 50, true);
    return;
  }
  if (!builder_.Sorted()) {
    const int percent = builder_.SortPercent();
    ReportProgress(filtering ? percent : 50 + percent / 2, true);
    return;
  }
  FinishViewChange();
}

void RowModel::FinishViewChange() {
  jobTimer_.stop();
  BuiltView view = builder_.Finish();
  beginResetModel();
  if (view.request.changesFilter) filter_ = std::move(view.request.filter);
  sortColumn_ = view.request.sortColumn;
  descending_ = view.request.descending;
  shown_.clear();
  shown_.shrink_to_fit();
  if (Mapped()) {
    shown_ = std::move(view.rows);
    // Rows that left during the job are not shown.
    if (rowsLeft_ > view.begin) {
      std::erase_if(shown_, [this](std::int64_t row) { return row < rowsLeft_; });
    }
  }
  endResetModel();
  // Rows that came after the job read its last go to their places as a batch's do.
  const std::int64_t first = std::max(view.next, rowsLeft_) - rowsLeft_;
  view = BuiltView{};
  if (Mapped() && first < rows_.RowCount()) InsertShown(Select(first));
  EmitShown();
  emit viewChangeEnded(true);
}

void RowModel::ReportProgress(int percent, bool sorting) {
  if (progressPercent_ == percent && progressSorting_ == sorting) return;
  progressPercent_ = percent;
  progressSorting_ = sorting;
  emit viewChangeProgress(percent, sorting);
}

void RowModel::DropJob() {
  jobTimer_.stop();
  builder_.Cancel();
}

void RowModel::CancelViewChange() {
  if (!builder_.Running()) return;
  DropJob();
  emit viewChangeEnded(false);
}

int RowModel::RequestedSortColumn() const { return builder_.Running() ? builder_.Request().sortColumn : sortColumn_; }

bool RowModel::RequestedSortDescending() const {
  return builder_.Running() ? builder_.Request().descending : descending_;
}

std::int64_t RowModel::ViewRow(std::int64_t storeRow) const {
  if (storeRow < 0 || storeRow >= rows_.RowCount()) return -1;
  if (!Mapped()) return storeRow;
  const std::int64_t absolute = rowsLeft_ + storeRow;
  if (sortColumn_ < 0) {
    const auto at = std::lower_bound(shown_.begin(), shown_.end(), absolute);
    return at != shown_.end() && *at == absolute ? at - shown_.begin() : -1;
  }
  const auto at = std::find(shown_.begin(), shown_.end(), absolute);
  return at != shown_.end() ? at - shown_.begin() : -1;
}

void RowModel::InsertShown(std::vector<std::int64_t> added) {
  if (added.empty()) return;
  const auto n = static_cast<std::int64_t>(shown_.size());
  if (sortColumn_ < 0) {
    beginInsertRows(QModelIndex(), static_cast<int>(n), static_cast<int>(n + static_cast<std::int64_t>(added.size()) - 1));
    shown_.insert(shown_.end(), added.begin(), added.end());
    endInsertRows();
    return;
  }
  // Sorted: the new rows go to their places, found by binary search over the shown
  // rows (whose keys are not kept, so a row is compared by its cell read again), and the
  // rows the view holds on to move along.
  RowOrder order(columns_, sortColumn_, descending_);
  const auto before = [&](std::int64_t x, std::int64_t y) { return order.Before(rows_, rowsLeft_, x, y); };
  std::sort(added.begin(), added.end(), before);
  emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
  const QModelIndexList persistent = persistentIndexList();
  std::vector<std::int64_t> places(added.size());
  for (std::size_t k = 0; k < added.size(); ++k) {
    const auto from = shown_.begin() + (k == 0 ? 0 : places[k - 1]);
    places[k] = std::lower_bound(from, shown_.end(), added[k], before) - shown_.begin();
  }
  std::vector<std::int64_t> merged;
  merged.reserve(shown_.size() + added.size());
  std::size_t k = 0;
  for (std::int64_t i = 0; i <= n; ++i) {
    while (k < added.size() && places[k] == i) merged.push_back(added[k++]);
    if (i < n) merged.push_back(shown_[static_cast<std::size_t>(i)]);
  }
  QModelIndexList moved;
  moved.reserve(persistent.size());
  for (const QModelIndex& index : persistent) {
    const std::int64_t row = index.row();
    const auto ahead = std::upper_bound(places.begin(), places.end(), row) - places.begin();
    moved.append(createIndex(static_cast<int>(row + ahead), index.column()));
  }
  shown_ = std::move(merged);
  changePersistentIndexList(persistent, moved);
  emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

void RowModel::RemoveShownBelow(std::int64_t absolute) {
  if (sortColumn_ < 0) {
    const auto end = std::lower_bound(shown_.begin(), shown_.end(), absolute);
    const auto count = end - shown_.begin();
    if (count == 0) return;
    beginRemoveRows(QModelIndex(), 0, static_cast<int>(count - 1));
    shown_.erase(shown_.begin(), end);
    endRemoveRows();
    return;
  }
  if (std::none_of(shown_.begin(), shown_.end(), [&](std::int64_t r) { return r < absolute; })) return;
  emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
  const QModelIndexList persistent = persistentIndexList();
  // New place of each old row (-1: it leaves).
  std::vector<std::int32_t> place(shown_.size(), -1);
  std::size_t kept = 0;
  for (std::size_t i = 0; i < shown_.size(); ++i) {
    if (shown_[i] < absolute) continue;
    place[i] = static_cast<std::int32_t>(kept);
    shown_[kept++] = shown_[i];
  }
  shown_.resize(kept);
  QModelIndexList moved;
  for (const QModelIndex& index : persistent) {
    const std::int32_t to = place[static_cast<std::size_t>(index.row())];
    moved.append(to < 0 ? QModelIndex() : createIndex(to, index.column()));
  }
  changePersistentIndexList(persistent, moved);
  emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

void RowModel::SetFilter(std::optional<RowFilter> filter) {
  StartViewChange(ViewRequest{true, std::move(filter), RequestedSortColumn(), RequestedSortDescending()});
}

void RowModel::SortBy(int column, bool descending) {
  if (column < 0 || column >= columnCount_) column = -1;
  // A filter still being applied is carried over to the new job.
  const bool changesFilter = builder_.Running() && builder_.Request().changesFilter;
  std::optional<RowFilter> filter = changesFilter ? std::move(builder_.Request().filter) : std::nullopt;
  StartViewChange(ViewRequest{changesFilter, std::move(filter), column, descending});
}

std::int64_t RowModel::ShownRows() const {
  return Mapped() ? static_cast<std::int64_t>(shown_.size()) : rows_.RowCount();
}

std::int64_t RowModel::StoreRow(std::int64_t viewRow) const {
  if (viewRow < 0 || viewRow >= ShownRows()) return -1;
  return Mapped() ? shown_[static_cast<std::size_t>(viewRow)] - rowsLeft_ : viewRow;
}

void RowModel::EmitShown() { emit shownChanged(ShownRows(), rows_.RowCount()); }

void RowModel::SetRowLimit(std::int64_t limit) { rowLimit_ = std::clamp<std::int64_t>(limit, 1, INT_MAX / 2); }

void RowModel::ForgetRowsLeft() {
  if (rowsLeft_ == 0) return;
  rowsLeft_ = 0;
  emit rowsLeft(0);
}

void RowModel::Clear() {
  CancelViewChange();
  ForgetRowsLeft();
  if (rows_.RowCount() == 0) return;
  const int shown = rowCount();
  if (shown > 0) beginRemoveRows(QModelIndex(), 0, shown - 1);
  rows_.Clear();
  shown_.clear();
  if (shown > 0) endRemoveRows();
  EmitShown();
}

void RowModel::RemoveAll() {
  CancelViewChange();
  ForgetRowsLeft();
  beginResetModel();
  headers_.clear();
  columnCount_ = 0;
  rows_.Reset(1);
  shown_.clear();
  sortColumn_ = -1;
  endResetModel();
}

std::string_view RowModel::HeaderText(int column) const {
  if (column < 0 || column >= columnCount_) return {};
  return headers_[static_cast<std::size_t>(column)];
}

std::string_view RowModel::CellText(std::int64_t row, int column) const {
  const std::int64_t stored = StoreRow(row);
  if (stored < 0 || column < 0 || column >= columnCount_) return {};
  return rows_.Cell(stored, column);
}

int RowModel::rowCount(const QModelIndex& parent) const {
  if (parent.isValid()) return 0;
  return static_cast<int>(std::min<std::int64_t>(ShownRows(), INT_MAX));
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
