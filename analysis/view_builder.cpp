#include "analysis/view_builder.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

// A shown row's place in a sort: whether its cell is set (bit 62 of order), the cell's
// value (a text's rank among the texts sorted), then its absolute row.
struct ViewBuilder::SortKey {
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
struct ViewBuilder::TextRanks {
  std::map<std::string, std::uint64_t, std::less<>> ids;
  std::uint64_t Id(std::string_view text) {
    auto found = ids.find(text);
    if (found == ids.end()) found = ids.emplace(std::string(text), ids.size()).first;
    return found->second;
  }
};

// What one thread read of a slice's rows.
struct ViewBuilder::Chunk {
  std::vector<std::int64_t> rows;
  std::vector<SortKey> keys;
};

// A build under way: the view asked for and what has been read for it so far. The keys
// hold no reference into the store, so the sort can run while the store changes.
struct ViewBuilder::Job {
  ViewRequest request;
  const RowFilter* reads = nullptr;  // the filter rows are kept by (null: every row)
  ColumnId sortId = ColumnId::PacketNumber;
  bool byValue = false;
  std::int64_t begin = 0;  // absolute rows: where the build started and the next to read
  std::int64_t next = 0;
  std::vector<std::int64_t> rows;  // kept rows: in capture order, or sorted once the keys are
  std::vector<SortKey> keys;       // kept rows' sort keys, when sorted
  TextRanks texts[2];              // one per reading thread
  bool sortStarted = false;
  std::atomic<bool> cancel{false};
  std::atomic<bool> sorted{false};
  std::atomic<int> sortPercent{0};

  bool Sorts() const { return request.sortColumn >= 0; }
};

// The builder's second thread: runs one task at a time, handed over and waited for by the
// builder's thread.
class ViewBuilder::Worker {
 public:
  Worker() : thread_([this] { Loop(); }) {}
  ~Worker() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }
  // Hands a task over; the worker must be idle.
  void Run(std::function<void()> task) {
    {
      std::lock_guard lock(mutex_);
      task_ = std::move(task);
      busy_ = true;
    }
    wake_.notify_all();
  }
  // Waits until the task handed over has run.
  void Wait() {
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [this] { return !busy_; });
  }

 private:
  void Loop() {
    std::unique_lock lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return stop_ || busy_; });
      if (!busy_) return;
      std::function<void()> task = std::move(task_);
      lock.unlock();
      task();
      lock.lock();
      busy_ = false;
      idle_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_, idle_;
  std::function<void()> task_;
  bool busy_ = false;
  bool stop_ = false;
  std::thread thread_;  // last: started once the rest is made
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

}  // namespace

ColumnId ColumnAt(const ColumnSet& columns, int position) {
  int p = 0;
  for (const ColumnId id : ColumnListOrder) {
    if (!columns.IsShown(id)) continue;
    if (p++ == position) return id;
  }
  return ColumnId::PacketNumber;
}

RowOrder::RowOrder(const ColumnSet& columns, int column, bool descending)
    : id_(ColumnAt(columns, column)), descending_(descending), x_(columns), y_(columns) {}

bool RowOrder::Before(const RowStore& rows, std::int64_t rowsLeft, std::int64_t a, std::int64_t b) {
  using SortKey = ViewBuilder::SortKey;
  const ColumnId id = id_;
  const FilterRow& x = x_.Read(rows, a - rowsLeft);
  const FilterRow& y = y_.Read(rows, b - rowsLeft);
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

std::vector<std::int64_t> KeptRows(const ViewRows& source, const RowFilter* filter, std::int64_t first) {
  // Inline rather than a build, so that no worker is needed.
  const std::int64_t end = source.rows.RowCount();
  std::vector<std::int64_t> kept;
  if (!filter) {
    kept.reserve(static_cast<std::size_t>(end - first));
    for (std::int64_t r = first; r < end; ++r) kept.push_back(source.rowsLeft + r);
    return kept;
  }
  ViewRowReader reader(source.columns);
  for (std::int64_t r = first; r < end; ++r) {
    if (filter->Matches(reader.Read(source.rows, r))) kept.push_back(source.rowsLeft + r);
  }
  return kept;
}

ViewBuilder::ViewBuilder() : worker_(std::make_unique<Worker>()) {}

ViewBuilder::~ViewBuilder() { Cancel(); }

void ViewBuilder::Start(ViewRequest request, const RowFilter* viewFilter, const ColumnSet& columns,
                        std::int64_t begin, std::int64_t rowCount) {
  Cancel();
  auto job = std::make_unique<Job>();
  job->request = std::move(request);
  if (!job->Sorts()) job->request.descending = false;
  if (job->Sorts()) {
    job->sortId = ColumnAt(columns, job->request.sortColumn);
    job->byValue = SortsByValue(job->sortId);
  }
  if (job->request.changesFilter) {
    job->reads = job->request.filter ? &*job->request.filter : nullptr;
  } else {
    job->reads = viewFilter;  // the view's filter stays until the build ends
  }
  job->begin = job->next = begin;
  // Space for every row now in the store: growing a vector of millions while the window
  // waits would copy it all at once. Pages not written are never taken.
  if (job->Sorts()) {
    job->keys.reserve(static_cast<std::size_t>(rowCount));
  } else if (job->reads) {
    job->rows.reserve(static_cast<std::size_t>(rowCount));
  }
  job_ = std::move(job);
}

ViewRequest& ViewBuilder::Request() { return job_->request; }
const ViewRequest& ViewBuilder::Request() const { return job_->request; }
bool ViewBuilder::Maps() const { return job_->reads != nullptr || job_->Sorts(); }
bool ViewBuilder::Sorts() const { return job_->Sorts(); }
bool ViewBuilder::Filtering() const { return job_->request.changesFilter && job_->request.filter.has_value(); }
std::int64_t ViewBuilder::Begin() const { return job_->begin; }
std::int64_t ViewBuilder::Next() const { return job_->next; }
std::size_t ViewBuilder::KeyCount() const { return job_->keys.size(); }
void ViewBuilder::Sort() { SortKeys(*job_); }
bool ViewBuilder::SortStarted() const { return job_->sortStarted; }
bool ViewBuilder::Sorted() const { return job_->sorted; }
int ViewBuilder::SortPercent() const { return job_->sortPercent; }

void ViewBuilder::StartSort() {
  Job& job = *job_;
  job.sortStarted = true;
  worker_->Run([&job] {
    SortKeys(job);
    job.sorted = true;
  });
}

BuiltView ViewBuilder::Finish() {
  worker_->Wait();
  std::unique_ptr<Job> job = std::move(job_);
  return BuiltView{std::move(job->request), std::move(job->rows), job->begin, job->next};
}

void ViewBuilder::Cancel() {
  if (!job_) return;
  job_->cancel = true;
  worker_->Wait();
  job_.reset();
}

void ViewBuilder::ReadRows(Job& job, const ViewRows& source, int thread, std::int64_t from, std::int64_t to, Chunk& out) const {
  ViewRowReader reader(source.columns);
  TextRanks& texts = job.texts[thread];
  const std::uint64_t tag = static_cast<std::uint64_t>(thread) << 63;
  for (std::int64_t r = from; r < to; ++r) {
    const FilterRow& row = reader.Read(source.rows, r);
    if (job.reads && !job.reads->Matches(row)) continue;
    const std::int64_t absolute = source.rowsLeft + r;
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

bool ViewBuilder::ReadsOnTwoThreads(const Job& job, const ViewRows& source) {
  if (std::thread::hardware_concurrency() < 2) return false;
  // Rows read without a frame source touch nothing shared; a Data text rebuilt from the
  // frames is read on this thread only.
  constexpr std::uint32_t data = 1u << static_cast<int>(ColumnId::Data);
  const bool readsData = (job.reads && (job.reads->ColumnsRead() & data) != 0) ||
                         (job.Sorts() && !job.byValue && job.sortId == ColumnId::Data);
  return !(source.readsFrames && readsData);
}

void ViewBuilder::SortKeys(Job& job) {
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
  for (SortKey& key : keys) key = key.Folded(job.request.descending);
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

void ViewBuilder::ReadSlice(const ViewRows& source, std::int64_t sliceRows, std::int64_t deadlineNs) {
  Job& job = *job_;
  job.next = std::max(job.next, source.rowsLeft);  // rows removed meanwhile are not read
  const std::int64_t first = job.next - source.rowsLeft;
  const std::int64_t count = std::min(source.rows.RowCount() - first, deadlineNs > 0 ? sliceRows : INT64_MAX);
  if (count <= 0) return;
  // Each thread reads the chunk of its number, then both take chunks in turn until the
  // rows or the time are used up; every chunk taken is read, so the chunks read are the
  // first ones.
  const std::int64_t chunkRows = std::clamp<std::int64_t>(sliceRows / 2, 1, 2048);
  const std::int64_t chunks = (count + chunkRows - 1) / chunkRows;
  std::vector<Chunk> out(static_cast<std::size_t>(chunks));
  const int threads = ReadsOnTwoThreads(job, source) ? 2 : 1;
  std::atomic<std::int64_t> taken{threads};
  const auto started = std::chrono::steady_clock::now();
  const auto read = [&](int thread, std::int64_t c) {
    ReadRows(job, source, thread, first + c * chunkRows, std::min(first + (c + 1) * chunkRows, first + count),
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
    worker_->Run([&] { work(1); });
    work(0);
    worker_->Wait();
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

