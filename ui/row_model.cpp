#include "ui/row_model.h"

#include <algorithm>
#include <climits>
#include <map>
#include <thread>

#include "analysis/packet_filter_row.h"
#include "analysis/stored_filter_row.h"

// A shown row's place in a sort: whether its cell is set (bit 62 of order), the cell's
// value (a text's rank among the texts sorted), then its absolute row.
struct RowModel::SortKey {
  std::uint64_t value;
  std::int64_t order;
  static constexpr std::int64_t Set = std::int64_t{1} << 62;
  std::int64_t Row() const { return order & (Set - 1); }
  bool IsSet() const { return (order & Set) != 0; }
};

namespace {

// How a list column is sorted: by value for the fields that compare as numbers or addresses.
bool SortsByValue(ColumnId id) {
  for (const FilterField& field : FilterFields) {
    if (field.column == id) return field.kind != FilterFieldKind::Name && field.kind != FilterFieldKind::Text;
  }
  return false;
}

ColumnId ColumnAt(const ColumnSet& columns, int position) {
  int p = 0;
  for (const ColumnId id : ColumnListOrder) {
    if (!columns.IsShown(id)) continue;
    if (p++ == position) return id;
  }
  return ColumnId::PacketNumber;
}

}  // namespace

// Reads one stored row for the filter, whether it is a frame's row or a row of texts.
class RowModelFilterRow {
 public:
  explicit RowModelFilterRow(const ColumnSet& columns) : packet_(columns), stored_(columns) {}
  const FilterRow& Read(const RowStore& rows, std::int64_t row) {
    if (packet_.Read(rows, row)) return packet_;
    stored_.Read(rows, row);
    return stored_;
  }

 private:
  PacketFilterRow packet_;
  StoredFilterRow stored_;
};

RowModel::RowModel(QObject* parent) : QAbstractTableModel(parent), rows_(1) {}

RowModel::~RowModel() = default;

void RowModel::SetColumns(const ColumnSet& columns) {
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
  std::vector<std::int64_t> kept;
  const std::int64_t end = rows_.RowCount();
  if (!filter_) {
    kept.reserve(static_cast<std::size_t>(end - first));
    for (std::int64_t r = first; r < end; ++r) kept.push_back(rowsLeft_ + r);
    return kept;
  }
  // Frame rows read without a frame source touch nothing shared, so two threads can
  // share a long run; a run that may read frames again stays on this thread.
  const bool readsFrames =
      readsFrames_ && (filter_->ColumnsRead() & (1u << static_cast<int>(ColumnId::Data))) != 0;
  const auto run = [&](std::int64_t from, std::int64_t to, std::vector<std::int64_t>& out) {
    RowModelFilterRow row(columns_);
    for (std::int64_t r = from; r < to; ++r) {
      if (filter_->Matches(row.Read(rows_, r))) out.push_back(rowsLeft_ + r);
    }
  };
  constexpr std::int64_t kSplitAbove = 1 << 16;
  if (readsFrames || end - first < kSplitAbove || std::thread::hardware_concurrency() < 2) {
    run(first, end, kept);
    return kept;
  }
  const std::int64_t middle = first + (end - first) / 2;
  std::vector<std::int64_t> upper;
  std::thread other([&] { run(middle, end, upper); });
  run(first, middle, kept);
  other.join();
  kept.insert(kept.end(), upper.begin(), upper.end());
  return kept;
}

std::vector<RowModel::SortKey> RowModel::Keys(const std::vector<std::int64_t>& absolute) const {
  std::vector<SortKey> keys(absolute.size());
  const ColumnId id = ColumnAt(columns_, sortColumn_);
  RowModelFilterRow row(columns_);
  if (SortsByValue(id)) {
    // No value column reads the Data text, so the rows are read on two threads.
    const auto run = [&](std::size_t from, std::size_t to) {
      RowModelFilterRow reader(columns_);
      for (std::size_t i = from; i < to; ++i) {
        const std::optional<std::uint64_t> v = reader.Read(rows_, absolute[i] - rowsLeft_).Value(id);
        keys[i] = SortKey{v.value_or(0), absolute[i] | (v ? SortKey::Set : 0)};
      }
    };
    if (absolute.size() < (1u << 16) || std::thread::hardware_concurrency() < 2) {
      run(0, absolute.size());
    } else {
      std::thread other([&] { run(absolute.size() / 2, absolute.size()); });
      run(0, absolute.size() / 2);
      other.join();
    }
    return keys;
  }
  // Texts: each distinct text once, then its rank stands for it.
  std::map<std::string, std::uint64_t, std::less<>> ranks;
  std::vector<std::map<std::string, std::uint64_t, std::less<>>::iterator> at(absolute.size());
  for (std::size_t i = 0; i < absolute.size(); ++i) {
    const std::string_view text = row.Read(rows_, absolute[i] - rowsLeft_).Cell(id);
    auto found = ranks.find(text);
    if (found == ranks.end()) found = ranks.emplace(std::string(text), 0).first;
    at[i] = found;
    keys[i].order = absolute[i] | (text.empty() ? 0 : SortKey::Set);
  }
  std::uint64_t rank = 0;
  for (auto& entry : ranks) entry.second = rank++;
  for (std::size_t i = 0; i < absolute.size(); ++i) keys[i].value = at[i]->second;
  return keys;
}

bool RowModel::RowBefore(std::int64_t a, std::int64_t b) const {
  const ColumnId id = ColumnAt(columns_, sortColumn_);
  if (!scratch_) scratch_ = std::make_unique<std::pair<RowModelFilterRow, RowModelFilterRow>>(columns_, columns_);
  const FilterRow& x = scratch_->first.Read(rows_, a - rowsLeft_);
  const FilterRow& y = scratch_->second.Read(rows_, b - rowsLeft_);
  SortKey kx{0, a}, ky{0, b};
  if (SortsByValue(id)) {
    const std::optional<std::uint64_t> vx = x.Value(id), vy = y.Value(id);
    kx = SortKey{vx.value_or(0), a | (vx ? SortKey::Set : 0)};
    ky = SortKey{vy.value_or(0), b | (vy ? SortKey::Set : 0)};
    return Before(kx, ky);
  }
  const std::string_view tx = x.Cell(id), ty = y.Cell(id);
  if (!tx.empty()) kx.order |= SortKey::Set;
  if (!ty.empty()) ky.order |= SortKey::Set;
  if (tx != ty && kx.IsSet() && ky.IsSet()) return descending_ ? tx > ty : tx < ty;
  return Before(kx, ky);
}

bool RowModel::Before(const SortKey& a, const SortKey& b) const {
  if (a.IsSet() != b.IsSet()) return descending_ ? a.IsSet() : b.IsSet();
  if (a.value != b.value) return descending_ ? a.value > b.value : a.value < b.value;
  return a.Row() < b.Row();
}

void RowModel::Rebuild() {
  beginResetModel();
  shown_.clear();
  shown_.shrink_to_fit();
  if (Mapped()) shown_ = Select(0);
  if (sortColumn_ >= 0 && !shown_.empty()) {
    std::vector<SortKey> keys = Keys(shown_);
    const auto before = [this](const SortKey& a, const SortKey& b) { return Before(a, b); };
    const auto middle = keys.begin() + static_cast<std::ptrdiff_t>(keys.size() / 2);
    if (keys.size() >= (1u << 16) && std::thread::hardware_concurrency() >= 2) {
      std::thread other([&] { std::sort(middle, keys.end(), before); });
      std::sort(keys.begin(), middle, before);
      other.join();
      std::inplace_merge(keys.begin(), middle, keys.end(), before);
    } else {
      std::sort(keys.begin(), keys.end(), before);
    }
    for (std::size_t i = 0; i < keys.size(); ++i) shown_[i] = keys[i].Row();
  }
  endResetModel();
  EmitShown();
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
  const auto before = [this](std::int64_t x, std::int64_t y) { return RowBefore(x, y); };
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
  filter_ = std::move(filter);
  Rebuild();
}

void RowModel::SortBy(int column, bool descending) {
  sortColumn_ = column >= 0 && column < columnCount_ ? column : -1;
  descending_ = sortColumn_ >= 0 && descending;
  Rebuild();
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
