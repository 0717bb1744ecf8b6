#pragma once
// Compact, append-only storage of report rows: a fixed number of cells per row, each a
// short 8-bit text. No std::string per cell: texts live in large shared chunks so that a
// million rows cost little more than their characters. Used for the capture thread's
// batches, the window's row model, saving and orrisvane-dump.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/row_sink.h"

class RowStore {
 public:
  explicit RowStore(int columnCount = 1);
  RowStore(RowStore&&) noexcept;
  RowStore& operator=(RowStore&&) noexcept;
  ~RowStore();
  RowStore(const RowStore&) = delete;
  RowStore& operator=(const RowStore&) = delete;

  int ColumnCount() const;
  std::int64_t RowCount() const;

  // Appends a row; cells are in list column order, missing trailing cells are empty and
  // cells past ColumnCount are ignored.
  void AppendRow(std::span<const std::string_view> cells);
  // Appends every row of another store: byte for byte when the column counts agree,
  // otherwise cell by cell as AppendRow takes them.
  void Append(const RowStore& other);

  // The text of one cell; empty for a cell never set. Valid until the store changes
  // its rows (Clear, destruction); appending never moves stored text.
  std::string_view Cell(std::int64_t row, int column) const;
  // The texts of a row's first cells, read in one pass (Cell walks the row from its start
  // every time): fills out with min(out.size(), ColumnCount()) cells and returns how
  // many; 0 for a row out of range.
  std::size_t RowCells(std::int64_t row, std::span<std::string_view> out) const;

  // Removes every row; the column count stays.
  void Clear();
  // Removes every row and sets a new column count.
  void Reset(int columnCount);

  // Bytes the store holds on the heap (allocated capacity), for measuring cost per row.
  std::size_t MemoryBytes() const;

 private:
  friend class RowBuilder;
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// A RowSink that builds rows into a RowStore. InsertRow starts a row; SetCellText may
// fill its cells in any order; the row is committed to the store at the next InsertRow
// or at Flush(). RowCount() counts the first row number given at construction plus every
// row started so far.
class RowBuilder : public RowSink {
 public:
  RowBuilder(RowStore& store, std::int64_t firstRow);
  std::int64_t RowCount() override;
  void InsertRow(std::string_view text) override;
  void SetCellText(std::int64_t row, int column, std::string_view text) override;
  // Commits the row being built, if any.
  void Flush();
  // Rows committed or started since construction (or the last Retarget).
  std::int64_t RowsBuilt() const;
  // Commits the row being built and goes on into another store (for the next batch).
  void Retarget(RowStore& store);

 private:
  RowStore* store_;
  std::int64_t nextRow_;
  std::int64_t built_ = 0;
  bool open_ = false;
  int columns_;
  // Cells of the row being built, already in the store's encoding, so that each text
  // is looked up in the dictionary once and the row goes into the store in one copy.
  std::vector<char> scratch_;
  std::size_t scratchUsed_ = 0;
  std::vector<std::uint32_t> begin_, length_;       // per column, into scratch_; 0: unset
  // While every cell came in a higher column than the one before (as the decoder sets
  // them), scratch_ already holds the row in column order, short of its unset cells.
  bool inOrder_ = true;
  int lastColumn_ = -1;
  int cellsSet_ = 0;
};
