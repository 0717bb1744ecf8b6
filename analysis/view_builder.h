#pragma once
// Builds a list's view of a row store: the rows a filter keeps, sorted by a column. The
// list goes on showing (and taking rows into) its current view meanwhile, so the build
// reads the store in slices the caller runs between its other work: each slice is read on
// the caller's thread and the builder's worker, then the keys are sorted on the worker
// while the caller polls. The worker lives as long as the builder.
//
// A view holds absolute row numbers (rows removed from the store's front count too), so rows
// removed during a build change no entry already read.

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "analysis/columns.h"
#include "analysis/packet_filter_row.h"
#include "analysis/row_filter.h"
#include "analysis/row_store.h"
#include "analysis/stored_filter_row.h"

// The view asked for.
struct ViewRequest {
  bool changesFilter = false;
  std::optional<RowFilter> filter;  // the new filter, when the request changes it
  int sortColumn = -1;              // a list column; -1: capture order
  bool descending = false;
};

// The rows a build reads: the store, its columns, the rows removed from its front, and
// whether its rows may rebuild their Data from a frame source.
struct ViewRows {
  const RowStore& rows;
  const ColumnSet& columns;
  std::int64_t rowsLeft = 0;
  bool readsFrames = false;
};

// A finished build.
struct BuiltView {
  ViewRequest request;
  std::vector<std::int64_t> rows;  // absolute rows, in the view's order
  std::int64_t begin = 0;          // the first absolute row the build could read
  std::int64_t next = 0;           // the first absolute row it did not read
};

// The list column at a position among the shown columns (the packet number past the last).
ColumnId ColumnAt(const ColumnSet& columns, int position);

// Reads one stored row for a filter, whether it is a frame's row or a row of texts.
class ViewRowReader {
 public:
  explicit ViewRowReader(const ColumnSet& columns) : packet_(columns), stored_(columns) {}
  const FilterRow& Read(const RowStore& rows, std::int64_t row) {
    if (packet_.Read(rows, row)) return packet_;
    stored_.Read(rows, row);
    return stored_;
  }

 private:
  PacketFilterRow packet_;
  StoredFilterRow stored_;
};

// The order of a sorted view, for placing new rows without keys: numbers and addresses by
// value, other cells by text, cells not set first; descending reverses; rows with the same
// cell stay in capture order.
class RowOrder {
 public:
  RowOrder(const ColumnSet& columns, int column, bool descending);
  // Whether absolute row a sorts before b (their cells read now).
  bool Before(const RowStore& rows, std::int64_t rowsLeft, std::int64_t a, std::int64_t b);

 private:
  ColumnId id_;
  bool descending_;
  ViewRowReader x_, y_;
};

// The absolute numbers of the store rows from first on that the filter keeps.
std::vector<std::int64_t> KeptRows(const ViewRows& source, const RowFilter* filter, std::int64_t first);

class ViewBuilder {
 public:
  ViewBuilder();
  ~ViewBuilder();
  ViewBuilder(const ViewBuilder&) = delete;
  ViewBuilder& operator=(const ViewBuilder&) = delete;

  // Starts a build from absolute row begin, dropping the running one. viewFilter is the
  // filter of the view shown, which rows are kept by when the request does not change it;
  // it must stay until the build ends. rowCount: the rows now in the store.
  void Start(ViewRequest request, const RowFilter* viewFilter, const ColumnSet& columns, std::int64_t begin,
             std::int64_t rowCount);
  bool Running() const { return job_ != nullptr; }
  // The running build's request (Running() only).
  ViewRequest& Request();
  const ViewRequest& Request() const;
  // Whether the view needs a list of rows at all (a filter or a sort).
  bool Maps() const;
  bool Sorts() const;
  bool Filtering() const;

  // Reads the next rows, up to maxRows of them and, with deadlineNs above 0, for about
  // that long. Rows removed meanwhile are skipped.
  void ReadSlice(const ViewRows& source, std::int64_t maxRows, std::int64_t deadlineNs);
  std::int64_t Begin() const;
  std::int64_t Next() const;
  // Sort keys read so far.
  std::size_t KeyCount() const;

  // Sorts the keys read, on this thread or on the worker.
  void Sort();
  void StartSort();
  bool SortStarted() const;
  bool Sorted() const;
  int SortPercent() const;

  // Ends the build (waiting for its sort) and hands its view over.
  BuiltView Finish();
  // Drops the running build, if any.
  void Cancel();

 private:
  friend class RowOrder;  // compares as the sort keys do
  struct SortKey;
  struct TextRanks;
  struct Chunk;
  struct Job;
  class Worker;
  void ReadRows(Job& job, const ViewRows& source, int thread, std::int64_t from, std::int64_t to, Chunk& out) const;
  static bool ReadsOnTwoThreads(const Job& job, const ViewRows& source);
  static void SortKeys(Job& job);

  std::unique_ptr<Job> job_;
  std::unique_ptr<Worker> worker_;
};
