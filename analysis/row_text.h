#pragma once
// Rows as text files: tab-separated (inside a cell backslash is \\, TAB \t, LF \n,
// CR \r) or CSV with RFC 4180 quoting. One code path for Save, the log file and
// orrisvane-dump.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "analysis/columns.h"
#include "analysis/packet_row.h"
#include "analysis/row_store.h"

enum class RowFormat { Tsv, Csv };

void AppendTsvCell(std::string& out, std::string_view cell);
void AppendCsvCell(std::string& out, std::string_view cell);

// Text from outside (a remote host's descriptions and messages) as a terminal may be
// given it: every control character but tab and the line ends, and every byte that is not
// part of UTF-8 text, written as \xHH; the rest as it is.
std::string TerminalText(std::string_view text);

// The header texts of the shown columns in list order, one line ending in '\n'.
void AppendHeaderLine(std::string& out, const ColumnSet& columns, RowFormat format);
// One stored row, its cells in list order, one line ending in '\n' (CSV: "\r\n").
void AppendRowLine(std::string& out, const RowStore& rows, std::int64_t row, RowFormat format);

// The line of one stored row, for a writer that keeps its own output buffer: Read takes
// the row from the store and says how much room the line can need; Put writes it there.
// A frame's row is written from its fields straight into the line, escaping only the
// cells that carry text from outside. AppendRowLine is the same on a std::string.
class RowLine {
 public:
  // Reads the row and returns the most bytes its line can take in either layout. What it
  // read stays valid while the store keeps its rows and is not read otherwise (a frame's
  // Data text may live in the store's buffer).
  std::size_t Read(const RowStore& rows, std::int64_t row);
  // Writes the line at out, which has room for the bound Read returned; returns its end.
  char* Put(char* out, RowFormat format) const;

 private:
  template <RowFormat format>
  char* PutLine(char* out) const;
  template <RowFormat format>
  char* PutFrameLine(char* out) const;
  std::string_view CellAt(int column) const;

  const RowStore* rows_ = nullptr;
  std::int64_t row_ = 0;
  int columns_ = 0;
  // A frame's row: its fields and the column of each list column.
  bool frame_ = false;
  PacketRow fields_;
  std::span<const ColumnId> ids_;
  // A row of texts holds at most ColumnCount columns; a wider store's further cells are
  // looked up one by one.
  std::array<std::string_view, ColumnCount> cells_{};
  std::size_t read_ = 0;
};

// Picks the layout a file name asks for: CSV when it ends in ".csv" (any case).
RowFormat FormatForFileName(std::string_view fileName);
