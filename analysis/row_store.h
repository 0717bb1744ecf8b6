#pragma once
// Compact, append-only storage of report rows, with a fixed number of list columns. A
// frame's row is kept in binary form (PacketRow, packed into a few dozen bytes: only what
// the shown columns need), and its cell texts are built when they are read. Rows may also
// be plain texts, each cell a short 8-bit text. No std::string per cell: rows live in
// large shared chunks. Used for the capture thread's batches, the window's row model,
// saving and orrisvane-dump.

#include <climits>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/columns.h"
#include "analysis/decoder.h"
#include "analysis/frame_source.h"
#include "analysis/packet_row.h"
#include "analysis/row_sink.h"

// Where a Data text rebuilt from its frame is made: the frame read from the source and the
// text written from it.
struct DataTextRoom {
  StoredFrame frame;
  bool frameRead = false;  // frame holds the row's frame (the text was rebuilt from it)
  std::array<char, DataTextCapacity> text{};
};

class RowStore {
 public:
  // A store whose list columns are the shown columns of the set, in list order.
  explicit RowStore(const ColumnSet& columns);
  // A store of that many list columns: the first ones of the list order.
  explicit RowStore(int columnCount = 1);
  RowStore(RowStore&&) noexcept;
  RowStore& operator=(RowStore&&) noexcept;
  ~RowStore();
  RowStore(const RowStore&) = delete;
  RowStore& operator=(const RowStore&) = delete;

  int ColumnCount() const;
  std::int64_t RowCount() const;
  // The column each list column of a frame's row shows, in list order; list columns past
  // its end are empty in a frame's row.
  std::span<const ColumnId> FrameColumns() const;

  // Appends a frame's row; only what the store's columns need is kept.
  void AppendPacket(const PacketRow& row);
  // Appends a row of texts; cells are in list column order, missing trailing cells are
  // empty and cells past ColumnCount are ignored.
  void AppendRow(std::span<const std::string_view> cells);
  // Appends the rows of another store (its first most rows): byte for byte when the
  // columns agree, otherwise cell by cell (a frame's row as its fields, a text row as
  // AppendRow takes it).
  void Append(const RowStore& other, std::int64_t most = INT64_MAX);

  // The text of one cell; empty for a cell never set or outside the store. A text row's
  // cell stays valid until the store removes that row; a frame row's cell text is built
  // into the store's buffer and stays valid until the next Cell or RowCells call.
  std::string_view Cell(std::int64_t row, int column) const;
  // The texts of a row's first cells, read in one pass (Cell walks the row from its start
  // every time): fills out with min(out.size(), ColumnCount()) cells and returns how
  // many; 0 for a row out of range. Valid as Cell's texts are.
  std::size_t RowCells(std::int64_t row, std::span<std::string_view> out) const;

  // A frame's row as its fields (the typed view a filter compares); false for a text row
  // or a row out of range. Fields of hidden columns may read as zero; data is valid as
  // Cell's texts are.
  bool Packet(std::int64_t row, PacketRow& out) const;
  // As Packet, with a rebuilt Data text made in the caller's room, where it stays valid
  // until the room's next use: touches nothing shared, so several threads may read a
  // store that nobody changes, each with a room of its own.
  bool Packet(std::int64_t row, PacketRow& out, DataTextRoom& room) const;
  // As Packet, but a Data text the row does not keep itself is left empty rather than
  // rebuilt from the frame source: no frame is read. Touches nothing shared, so several
  // threads may read a store that nobody changes.
  bool PacketFields(std::int64_t row, PacketRow& out) const;
  // The packet number of a frame's row; -1 for a text row or a row out of range. Rows
  // stand in ascending packet numbers, but once older rows have left, row and packet
  // number differ.
  std::int64_t PacketNumber(std::int64_t row) const;
  // Asks the processor to start loading the row's first bytes, for a reader that goes
  // through the rows in order: a row's record lies far from the last one's cache lines
  // once Data texts are kept, and waiting for each in turn costs more than reading it.
  // Does nothing for a row out of range.
  void Prefetch(std::int64_t row) const;

  // Where the frames of the rows can be read again (or nullptr): frame rows appended from
  // now on keep no Data text of their own but rebuild it from the frame when read. The
  // source must outlive the store or be replaced first.
  void SetFrameSource(const FrameSource* source);
  // The source is about to let the frames with packet numbers below packetNumber go:
  // rows that rebuild their Data from those frames read them now and keep the text, and
  // rows of such frames appended later keep theirs.
  void KeepDataBelow(std::int64_t packetNumber);

  // Removes the first count rows (all when count exceeds the rows); the memory of whole
  // chunks they leave goes back.
  void RemoveFirst(std::int64_t count);
  // Removes every row; the columns stay.
  void Clear();
  // Removes every row and sets new columns.
  void Reset(int columnCount);
  void Reset(const ColumnSet& columns);

  // Bytes the store holds on the heap (allocated capacity), for measuring cost per row.
  std::size_t MemoryBytes() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The decoder's sink for batches: every row goes into the current store.
class RowBuilder : public RowSink {
 public:
  explicit RowBuilder(RowStore& store) : store_(&store) {}
  void AddRow(const PacketRow& row) override;
  // Rows added since construction (or the last Retarget).
  std::int64_t RowsBuilt() const { return built_; }
  // Goes on into another store (for the next batch).
  void Retarget(RowStore& store);

 private:
  RowStore* store_;
  std::int64_t built_ = 0;
};
