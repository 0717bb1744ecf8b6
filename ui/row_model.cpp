#include "ui/row_model.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <climits>
#include <functional>
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
  // The key as two words that order as the view does when compared as unsigned numbers,
  // first word first: the value, turned over when descending, then the row with a flag
  // above it that puts a cell not set before (ascending) or after (descending) the set
  // cells sharing the first word. So cells not set come first (last when descending),
  // then the others by value, then rows in capture order either way.
  SortKey Folded(bool descending) const {
    const bool set = IsSet();
    const std::uint64_t first = descending ? (set ? ~value : UINT64_MAX) : (set ? value : 0);
    return SortKey{first, Row() | (set != descending ? Set : 0)};
  }
  // For folded keys.
  bool operator<(const SortKey& other) const {
    return value != other.value ? value < other.value : order < other.order;
  }
};

// The distinct texts one thread met while reading a text sort's cells, numbered in the
// order met; the sort later replaces the numbers by ranks.
struct RowModel::TextRanks {
  std::map<std::string, std::uint64_t, std::less<>> ids;
  std::uint64_t Id(std::string_view text) {
    auto found = ids.find(text);
    if (found == ids.end()) found = ids.emplace(std::string(text), ids.size()).first;
    return found->second;
  }
};

// What one thread read of a slice's rows.
struct RowModel::Chunk {
  std::vector<std::int64_t> rows;
  std::vector<SortKey> keys;
};

// A view change under way: the view asked for and what has been read for it so far. The
// keys hold no reference into the store, so the sort can run while the store changes.
struct RowModel::ViewJob {
  bool changesFilter = false;
  std::optional<RowFilter> filter;  // the new filter, when the job changes it
  const RowFilter* reads = nullptr;  // the filter rows are kept by (null: every row)
  int sortColumn = -1;
  bool descending = false;
  ColumnId sortId = ColumnId::PacketNumber;
  bool byValue = false;
  std::int64_t begin = 0;  // absolute rows: where the job started and the next to read
  std::int64_t next = 0;
  std::vector<std::int64_t> rows;  // kept rows: in capture order, or sorted once the keys are
  std::vector<SortKey> keys;       // kept rows' sort keys, when sorted
  TextRanks texts[2];              // one per reading thread
  std::thread sorter;
  std::atomic<bool> cancel{false};
  std::atomic<bool> sorted{false};
  std::atomic<int> sortPercent{0};
  int percent = -1;  // last progress reported
  bool sorting = false;

  bool Sorts() const { return sortColumn >= 0; }
  bool Filtering() const { return changesFilter && filter.has_value(); }
  ~ViewJob() {
    cancel = true;
    if (sorter.joinable()) sorter.join();
  }
};

namespace {

// How a list column is sorted: by value for the fields that compare as numbers or addresses.
bool SortsByValue(ColumnId id) {
  for (const FilterField& field : FilterFields) {
    if (field.column == id) return field.kind != FilterFieldKind::Name && field.kind != FilterFieldKind::Text;
  }
  return false;
}

// Whether a column holds IPv4 and IPv6 addresses: an IPv6 one is too wide for a sort
// key's value, so its key is its rank among the IPv6 addresses met, above every IPv4 one.
bool SortsByAddress(ColumnId id) { return id == ColumnId::IpSource || id == ColumnId::IpDestination; }

// A sort key value that is an IPv6 address's rank (bit 63), before the ranks are known
// the number the reading thread (bit 62) gave it.
constexpr std::uint64_t kRanked = std::uint64_t{1} << 63;
constexpr std::uint64_t kRankThread = std::uint64_t{1} << 62;

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
  const std::int64_t end = rows_.RowCount();
  if (!filter_) {
    std::vector<std::int64_t> kept;
    kept.reserve(static_cast<std::size_t>(end - first));
    for (std::int64_t r = first; r < end; ++r) kept.push_back(rowsLeft_ + r);
    return kept;
  }
  ViewJob job;
  job.reads = &*filter_;
  Chunk out;
  ReadRows(job, 0, first, end, out);
  return std::move(out.rows);
}

void RowModel::ReadRows(ViewJob& job, int thread, std::int64_t from, std::int64_t to, Chunk& out) const {
  RowModelFilterRow reader(columns_);
  TextRanks& texts = job.texts[thread];
  const std::uint64_t tag = static_cast<std::uint64_t>(thread) << 63;
  for (std::int64_t r = from; r < to; ++r) {
    const FilterRow& row = reader.Read(rows_, r);
    if (job.reads && !job.reads->Matches(row)) continue;
    const std::int64_t absolute = rowsLeft_ + r;
    if (!job.Sorts()) {
      out.rows.push_back(absolute);
    } else if (job.byValue && SortsByAddress(job.sortId)) {
      const std::optional<IpAddress> a = row.Address(job.sortId);
      std::uint64_t v = 0;
      if (a && a->family == IpAddress::Family::V6) {
        v = kRanked | (thread != 0 ? kRankThread : 0) |
            texts.Id(std::string_view(reinterpret_cast<const char*>(a->bytes.data()), a->bytes.size()));
      } else if (a) {
        for (std::size_t i = 0; i < 4; ++i) v = v << 8 | a->bytes[i];
      }
      out.keys.push_back(SortKey{v, absolute | (a ? SortKey::Set : 0)});
    } else if (job.byValue) {
      const std::optional<std::uint64_t> v = row.Value(job.sortId);
      out.keys.push_back(SortKey{v.value_or(0), absolute | (v ? SortKey::Set : 0)});
    } else {
      const std::string_view text = row.Cell(job.sortId);
      out.keys.push_back(SortKey{texts.Id(text) | tag, absolute | (text.empty() ? 0 : SortKey::Set)});
    }
  }
}

bool RowModel::ReadsOnTwoThreads(const ViewJob& job) const {
  if (std::thread::hardware_concurrency() < 2) return false;
  // Rows read without a frame source touch nothing shared; a Data text rebuilt from the
  // frames is read on this thread only.
  constexpr std::uint32_t data = 1u << static_cast<int>(ColumnId::Data);
  const bool readsData = (job.reads && (job.reads->ColumnsRead() & data) != 0) ||
                         (job.Sorts() && !job.byValue && job.sortId == ColumnId::Data);
  return !(readsFrames_ && readsData);
}

void RowModel::SortKeys(ViewJob& job) {
  std::vector<SortKey>& keys = job.keys;
  auto& [one, two] = job.texts;
  if (!job.byValue || !one.ids.empty() || !two.ids.empty()) {
    // Each thread numbered its own texts; both tables are in text order, so one pass over
    // the two gives every text its rank among all.
    std::vector<std::uint64_t> ranks[2];
    ranks[0].resize(one.ids.size());
    ranks[1].resize(two.ids.size());
    auto a = one.ids.begin(), b = two.ids.begin();
    std::uint64_t rank = 0;
    while (a != one.ids.end() || b != two.ids.end()) {
      if (b == two.ids.end() || (a != one.ids.end() && a->first < b->first)) {
        ranks[0][(a++)->second] = rank++;
      } else if (a == one.ids.end() || b->first < a->first) {
        ranks[1][(b++)->second] = rank++;
      } else {
        ranks[0][(a++)->second] = rank;
        ranks[1][(b++)->second] = rank++;
      }
    }
    if (!job.byValue) {
      for (SortKey& key : keys) key.value = ranks[key.value >> 63][key.value & ~(std::uint64_t{1} << 63)];
    } else {
      // Addresses: an IPv6 one's rank goes above every IPv4 address.
      for (SortKey& key : keys) {
        if ((key.value & kRanked) == 0) continue;
        key.value = kRanked | ranks[(key.value & kRankThread) != 0][key.value & (kRankThread - 1)];
      }
    }
    one.ids.clear();
    two.ids.clear();
  }
  for (SortKey& key : keys) key = key.Folded(job.descending);
  // A stable sort by bytes, least significant first, of the bytes the keys do not all
  // share; a cancelled job stops between two passes.
  const auto byteOf = [](const SortKey& key, int b) {
    return static_cast<std::uint8_t>(b < 8 ? static_cast<std::uint64_t>(key.order) >> (8 * b) : key.value >> (8 * (b - 8)));
  };
  std::uint64_t allValue = ~std::uint64_t{0}, anyValue = 0, allOrder = ~std::uint64_t{0}, anyOrder = 0;
  for (const SortKey& key : keys) {
    allValue &= key.value;
    anyValue |= key.value;
    allOrder &= static_cast<std::uint64_t>(key.order);
    anyOrder |= static_cast<std::uint64_t>(key.order);
  }
  std::vector<int> passes;
  for (int b = 0; b < 16; ++b) {
    const std::uint64_t differ = b < 8 ? (allOrder ^ anyOrder) >> (8 * b) : (allValue ^ anyValue) >> (8 * (b - 8));
    if ((differ & 0xff) != 0) passes.push_back(b);
  }
  std::vector<std::array<std::size_t, 256>> counts(passes.size());
  for (const SortKey& key : keys)
    for (std::size_t p = 0; p < passes.size(); ++p) ++counts[p][byteOf(key, passes[p])];
  std::vector<SortKey> other(passes.empty() ? 0 : keys.size());
  for (std::size_t p = 0; p < passes.size() && !job.cancel; ++p) {
    const int b = passes[p];
    std::array<std::size_t, 256> at{};
    std::size_t sum = 0;
    for (std::size_t v = 0; v < 256; ++v) {
      at[v] = sum;
      sum += counts[p][v];
    }
    for (const SortKey& key : keys) other[at[byteOf(key, b)]++] = key;
    keys.swap(other);
    job.sortPercent = static_cast<int>((p + 1) * 100 / passes.size());
  }
  std::vector<SortKey>().swap(other);
  // The view's rows, made here rather than on the window's thread.
  job.rows.clear();
  job.rows.reserve(keys.size());
  for (const SortKey& key : keys) job.rows.push_back(key.Row());
  std::vector<SortKey>().swap(keys);
}

bool RowModel::RowBefore(std::int64_t a, std::int64_t b) const {
  const ColumnId id = ColumnAt(columns_, sortColumn_);
  if (!scratch_) scratch_ = std::make_unique<std::pair<RowModelFilterRow, RowModelFilterRow>>(columns_, columns_);
  const FilterRow& x = scratch_->first.Read(rows_, a - rowsLeft_);
  const FilterRow& y = scratch_->second.Read(rows_, b - rowsLeft_);
  SortKey kx{0, a}, ky{0, b};
  if (SortsByAddress(id)) {
    const std::optional<IpAddress> ax = x.Address(id), ay = y.Address(id);
    if (ax && ay && *ax != *ay) return descending_ ? *ay < *ax : *ax < *ay;
    kx.order |= ax ? SortKey::Set : 0;
    ky.order |= ay ? SortKey::Set : 0;
    return kx.Folded(descending_) < ky.Folded(descending_);
  }
  if (SortsByValue(id)) {
    const std::optional<std::uint64_t> vx = x.Value(id), vy = y.Value(id);
    kx = SortKey{vx.value_or(0), a | (vx ? SortKey::Set : 0)};
    ky = SortKey{vy.value_or(0), b | (vy ? SortKey::Set : 0)};
    return kx.Folded(descending_) < ky.Folded(descending_);
  }
  const std::string_view tx = x.Cell(id), ty = y.Cell(id);
  if (!tx.empty()) kx.order |= SortKey::Set;
  if (!ty.empty()) ky.order |= SortKey::Set;
  if (tx != ty && kx.IsSet() && ky.IsSet()) return descending_ ? tx > ty : tx < ty;
  return kx.Folded(descending_) < ky.Folded(descending_);
}

void RowModel::StartViewChange(bool changesFilter, std::optional<RowFilter> filter, int column, bool descending) {
  DropJob();
  auto job = std::make_unique<ViewJob>();
  job->changesFilter = changesFilter;
  job->filter = std::move(filter);
  job->sortColumn = column;
  job->descending = column >= 0 && descending;
  if (column >= 0) {
    job->sortId = ColumnAt(columns_, column);
    job->byValue = SortsByValue(job->sortId);
  }
  if (changesFilter) {
    job->reads = job->filter ? &*job->filter : nullptr;
  } else {
    job->reads = filter_ ? &*filter_ : nullptr;  // the view's filter stays until the job ends
  }
  job->begin = job->next = rowsLeft_;
  // Room for every row now in the list: growing a vector of millions while the window
  // waits would copy it all at once. Pages not written are never taken.
  const bool mapped = job->reads != nullptr || job->Sorts();
  if (job->Sorts()) {
    job->keys.reserve(static_cast<std::size_t>(rows_.RowCount()));
  } else if (mapped) {
    job->rows.reserve(static_cast<std::size_t>(rows_.RowCount()));
  }
  job_ = std::move(job);
  if (mapped && rows_.RowCount() > sliceRows_) {
    jobTimer_.setInterval(0);
    jobTimer_.start();
    ReportProgress(0, !job_->Filtering());
    return;
  }
  if (mapped) {
    RunSlice(0);
    if (job_->Sorts()) SortKeys(*job_);
  }
  FinishViewChange();
}

void RowModel::RunSlice(std::int64_t deadlineNs) {
  ViewJob& job = *job_;
  job.next = std::max(job.next, rowsLeft_);  // rows that left meanwhile are not read
  const std::int64_t first = job.next - rowsLeft_;
  const std::int64_t count = std::min(rows_.RowCount() - first, deadlineNs > 0 ? sliceRows_ : INT64_MAX);
  if (count <= 0) return;
  // Each thread reads the chunk of its number, then both take chunks in turn until the
  // rows or the time are used up; every chunk taken is read, so the chunks read are the
  // first ones.
  const std::int64_t chunkRows = std::clamp<std::int64_t>(sliceRows_ / 2, 1, 2048);
  const std::int64_t chunks = (count + chunkRows - 1) / chunkRows;
  std::vector<Chunk> out(static_cast<std::size_t>(chunks));
  const int threads = ReadsOnTwoThreads(job) ? 2 : 1;
  std::atomic<std::int64_t> taken{threads};
  const auto started = std::chrono::steady_clock::now();
  const auto read = [&](int thread, std::int64_t c) {
    ReadRows(job, thread, first + c * chunkRows, std::min(first + (c + 1) * chunkRows, first + count),
             out[static_cast<std::size_t>(c)]);
  };
  const auto work = [&](int thread) {
    if (thread < chunks) read(thread, thread);
    for (;;) {
      if (deadlineNs > 0 && std::chrono::steady_clock::now() - started >= std::chrono::nanoseconds(deadlineNs)) return;
      const std::int64_t c = taken++;
      if (c >= chunks) return;
      read(thread, c);
    }
  };
  if (threads == 2) {
    std::thread other(work, 1);
    work(0);
    other.join();
  } else {
    work(0);
  }
  const std::int64_t done = std::min(taken.load(), chunks);
  for (std::int64_t c = 0; c < done; ++c) {
    Chunk& chunk = out[static_cast<std::size_t>(c)];
    job.rows.insert(job.rows.end(), chunk.rows.begin(), chunk.rows.end());
    job.keys.insert(job.keys.end(), chunk.keys.begin(), chunk.keys.end());
  }
  job.next += std::min(done * chunkRows, count);
}

void RowModel::StepViewChange() {
  if (!job_) {
    jobTimer_.stop();
    return;
  }
  ViewJob& job = *job_;
  const bool filtering = job.Filtering();
  if (!job.sorter.joinable()) {
    // Short enough that a worker waited for at the end, on a busy machine, still leaves the
    // pause well below what a user notices.
    constexpr std::int64_t kSliceNs = 8'000'000;
    RunSlice(kSliceNs);
    const std::int64_t end = rowsLeft_ + rows_.RowCount();
    if (job.next < end) {
      const auto percent = static_cast<int>((job.next - job.begin) * 100 / std::max<std::int64_t>(end - job.begin, 1));
      ReportProgress(filtering || !job.Sorts() ? percent : percent / 2, !filtering);
      return;
    }
    // Few keys are sorted at once; many off this thread, polled.
    if (!job.Sorts() || job.keys.size() <= static_cast<std::size_t>(sliceRows_ / 4)) {
      if (job.Sorts()) SortKeys(job);
      FinishViewChange();
      return;
    }
    job.sorter = std::thread([&job] {
      SortKeys(job);
      job.sorted = true;
    });
    // Polled; set first, as a handler of the progress may already start another job.
    jobTimer_.setInterval(20);
    ReportProgress(filtering ? 0 : 50, true);
    return;
  }
  if (!job.sorted) {
    const int percent = job.sortPercent;
    ReportProgress(filtering ? percent : 50 + percent / 2, true);
    return;
  }
  FinishViewChange();
}

void RowModel::FinishViewChange() {
  jobTimer_.stop();
  std::unique_ptr<ViewJob> job = std::move(job_);
  if (job->sorter.joinable()) job->sorter.join();
  beginResetModel();
  if (job->changesFilter) filter_ = std::move(job->filter);
  sortColumn_ = job->sortColumn;
  descending_ = job->descending;
  shown_.clear();
  shown_.shrink_to_fit();
  if (Mapped()) {
    shown_ = std::move(job->rows);
    // Rows that left during the job are not shown.
    if (rowsLeft_ > job->begin) {
      std::erase_if(shown_, [this](std::int64_t row) { return row < rowsLeft_; });
    }
  }
  endResetModel();
  // Rows that came after the job read its last go to their places as a batch's do.
  const std::int64_t first = std::max(job->next, rowsLeft_) - rowsLeft_;
  job.reset();
  if (Mapped() && first < rows_.RowCount()) InsertShown(Select(first));
  EmitShown();
  emit viewChangeEnded(true);
}

void RowModel::ReportProgress(int percent, bool sorting) {
  if (job_->percent == percent && job_->sorting == sorting) return;
  job_->percent = percent;
  job_->sorting = sorting;
  emit viewChangeProgress(percent, sorting);
}

void RowModel::DropJob() {
  jobTimer_.stop();
  job_.reset();
}

void RowModel::CancelViewChange() {
  if (!job_) return;
  DropJob();
  emit viewChangeEnded(false);
}

int RowModel::RequestedSortColumn() const { return job_ ? job_->sortColumn : sortColumn_; }

bool RowModel::RequestedSortDescending() const { return job_ ? job_->descending : descending_; }

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
  StartViewChange(true, std::move(filter), RequestedSortColumn(), RequestedSortDescending());
}

void RowModel::SortBy(int column, bool descending) {
  if (column < 0 || column >= columnCount_) column = -1;
  // A filter still being applied is carried over to the new job.
  const bool changesFilter = job_ && job_->changesFilter;
  std::optional<RowFilter> filter = changesFilter ? std::move(job_->filter) : std::nullopt;
  StartViewChange(changesFilter, std::move(filter), column, descending);
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
