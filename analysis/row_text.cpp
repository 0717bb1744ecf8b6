#include "analysis/row_text.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace {

// For every byte value: the letter after the backslash of its escape in the tab-separated
// layout (0 where the byte stands as it is), and whether it makes a CSV cell quoted.
struct ByteClasses {
  std::array<char, 256> tsvEscape{};
  std::array<bool, 256> csvQuoted{};
};

constexpr ByteClasses BuildByteClasses() {
  ByteClasses classes{};
  classes.tsvEscape['\\'] = '\\';
  classes.tsvEscape['\t'] = 't';
  classes.tsvEscape['\n'] = 'n';
  classes.tsvEscape['\r'] = 'r';
  for (const char c : {',', '"', '\r', '\n'}) classes.csvQuoted[static_cast<unsigned char>(c)] = true;
  return classes;
}

constexpr ByteClasses kBytes = BuildByteClasses();

// An empty cell may have no storage at all; memcpy must not see its null pointer.
char* Copy(char* out, const char* from, std::size_t n) {
  if (n != 0) std::memcpy(out, from, n);
  return out + n;
}

// Whether any of the eight bytes of a word lies below 0x20 or is a backslash: only those
// can need an escape in the tab-separated layout. (A byte below n turns its high bit on in
// word - n*ones where the byte's own high bit is off; any such byte, and only then, leaves
// a bit set.)
bool MayNeedTsvEscape(std::uint64_t word) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
  constexpr std::uint64_t kHighs = 0x8080808080808080ULL;
  const std::uint64_t control = (word - kOnes * 0x20) & ~word & kHighs;
  const std::uint64_t backslashes = word ^ (kOnes * '\\');
  const std::uint64_t backslash = (backslashes - kOnes) & ~backslashes & kHighs;
  return (control | backslash) != 0;
}

// One byte as the tab-separated layout writes it.
char* PutTsvByte(char* out, char c) {
  const char letter = kBytes.tsvEscape[static_cast<unsigned char>(c)];
  if (letter == 0) [[likely]] {
    *out = c;
    return out + 1;
  }
  out[0] = '\\';
  out[1] = letter;
  return out + 2;
}

// Sixteen bytes as one vector (the compiler's, whatever the processor's width).
using Bytes16 = std::uint8_t __attribute__((vector_size(16)));

// Whether any of sixteen bytes lies below 0x20 or is a backslash.
bool MayNeedTsvEscape(const Bytes16& bytes) {
  const auto flagged = (bytes < 0x20) | (bytes == '\\');
  std::uint64_t halves[2];
  std::memcpy(halves, &flagged, sizeof halves);
  return (halves[0] | halves[1]) != 0;
}

// At most 2 * cell.size() bytes. Cells are mostly plain text: it is looked through and
// copied sixteen bytes, then eight, at a time, and only a piece with a byte that may need
// an escape goes byte by byte.
char* PutTsvCell(char* out, std::string_view cell) {
  const char* p = cell.data();
  const char* const end = p + cell.size();
  while (end - p >= 16) {
    Bytes16 bytes;
    std::memcpy(&bytes, p, sizeof bytes);
    if (!MayNeedTsvEscape(bytes)) {
      std::memcpy(out, p, sizeof bytes);
      out += sizeof bytes;
      p += sizeof bytes;
      continue;
    }
    for (const char* const stop = p + 16; p != stop; ++p) out = PutTsvByte(out, *p);
  }
  if (end - p >= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    if (!MayNeedTsvEscape(word)) {
      std::memcpy(out, p, sizeof word);
      out += sizeof word;
      p += sizeof word;
    }
  }
  for (; p != end; ++p) out = PutTsvByte(out, *p);
  return out;
}

// At most 2 * cell.size() + 2 bytes.
char* PutCsvCell(char* out, std::string_view cell) {
  const bool quoted = std::any_of(cell.begin(), cell.end(),
                                  [](char c) { return kBytes.csvQuoted[static_cast<unsigned char>(c)]; });
  if (!quoted) return Copy(out, cell.data(), cell.size());
  *out++ = '"';
  for (const char c : cell) {
    if (c == '"') *out++ = '"';
    *out++ = c;
  }
  *out++ = '"';
  return out;
}

// Appends what a Put function writes, given the most bytes it can take.
template <typename PutFn>
void AppendPut(std::string& out, std::size_t bound, PutFn put) {
  const std::size_t old = out.size();
  out.resize(old + bound);
  char* const end = put(out.data() + old);
  out.resize(static_cast<std::size_t>(end - out.data()));
}

char Separator(RowFormat format) { return format == RowFormat::Csv ? ',' : '\t'; }
std::string_view LineEnd(RowFormat format) { return format == RowFormat::Csv ? "\r\n" : "\n"; }

}  // namespace

void AppendTsvCell(std::string& out, std::string_view cell) {
  AppendPut(out, 2 * cell.size(), [&](char* at) { return PutTsvCell(at, cell); });
}

std::string TerminalText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  const auto escape = [&out](unsigned char c) {
    static constexpr char Digits[] = "0123456789abcdef";
    out += "\\x";
    out += Digits[c >> 4];
    out += Digits[c & 15];
  };
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0x7F) {
        escape(c);
      } else {
        out += static_cast<char>(c);
      }
      ++i;
      continue;
    }
    // A whole UTF-8 sequence is text, unless it is one of the C1 controls (U+0080 to
    // U+009F), which terminals obey as they do ESC.
    const std::size_t length = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
    bool whole = length != 0 && i + length <= text.size();
    for (std::size_t k = 1; whole && k < length; ++k) whole = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
    if (whole && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0) whole = false;
    if (!whole) {
      escape(c);
      ++i;
      continue;
    }
    out.append(text.substr(i, length));
    i += length;
  }
  return out;
}

void AppendCsvCell(std::string& out, std::string_view cell) {
  AppendPut(out, 2 * cell.size() + 2, [&](char* at) { return PutCsvCell(at, cell); });
}

void AppendHeaderLine(std::string& out, const ColumnSet& columns, RowFormat format) {
  bool first = true;
  for (const ColumnId id : ColumnListOrder) {
    if (!columns.IsShown(id)) continue;
    if (!first) out += Separator(format);
    first = false;
    if (format == RowFormat::Csv) {
      AppendCsvCell(out, ColumnHeader(id));
    } else {
      AppendTsvCell(out, ColumnHeader(id));
    }
  }
  out += LineEnd(format);
}

std::size_t RowLine::Read(const RowStore& rows, std::int64_t row) {
  rows_ = &rows;
  row_ = row;
  columns_ = rows.ColumnCount();
  frame_ = rows.Packet(row, fields_);
  // A separator per cell and the longer line end.
  std::size_t bound = static_cast<std::size_t>(columns_) + 2;
  if (frame_) {
    ids_ = rows.FrameColumns();
    // No cell of a frame's row is longer than CellTextCapacity: every byte escaped or
    // doubled, and a CSV cell's two quotes. (Bounding it cell by cell cost more than a
    // larger room does.)
    return bound + static_cast<std::size_t>(columns_) * (2 * CellTextCapacity + 2);
  }
  read_ = rows.RowCells(row, cells_);
  std::size_t bytes = 0;
  for (std::size_t c = 0; c < read_; ++c) bytes += cells_[c].size();
  for (int c = static_cast<int>(read_); c < columns_; ++c) bytes += rows.Cell(row, c).size();
  return bound + 2 * bytes + 2 * static_cast<std::size_t>(columns_);
}

std::string_view RowLine::CellAt(int column) const {
  const auto c = static_cast<std::size_t>(column);
  return c < read_ ? cells_[c] : rows_->Cell(row_, column);
}

template <RowFormat format>
char* RowLine::PutLine(char* out) const {
  for (int c = 0; c < columns_; ++c) {
    if constexpr (format == RowFormat::Csv) {
      if (c != 0) *out++ = ',';
      out = PutCsvCell(out, CellAt(c));
    } else {
      if (c != 0) *out++ = '\t';
      out = PutTsvCell(out, CellAt(c));
    }
  }
  if constexpr (format == RowFormat::Csv) *out++ = '\r';
  *out++ = '\n';
  return out;
}

// This runs for every row orrisvane-dump writes: the plain cells, most of the line, are
// written in place with nothing to look for.
template <RowFormat format>
char* RowLine::PutFrameLine(char* out) const {
  const std::size_t ids = ids_.size();
  for (std::size_t c = 0; c < static_cast<std::size_t>(columns_); ++c) {
    if (c != 0) *out++ = format == RowFormat::Csv ? ',' : '\t';
    if (c >= ids) continue;
    const ColumnId id = ids_[c];
    if (!CellHoldsOutsideText(id)) {
      out = PutCellText(out, fields_, id);
      continue;
    }
    // Data and Interface are texts of the row already; Process is put together.
    char text[CellTextCapacity];
    std::string_view cell;
    if (id == ColumnId::Data || id == ColumnId::Interface) {
      if (CellApplies(fields_, id))
        cell = (id == ColumnId::Data ? fields_.data : fields_.interfaceName).substr(0, CellTextCapacity);
    } else {
      cell = std::string_view(text, static_cast<std::size_t>(PutCellText(text, fields_, id) - text));
    }
    out = format == RowFormat::Csv ? PutCsvCell(out, cell) : PutTsvCell(out, cell);
  }
  if constexpr (format == RowFormat::Csv) *out++ = '\r';
  *out++ = '\n';
  return out;
}

char* RowLine::Put(char* out, RowFormat format) const {
  if (frame_) return format == RowFormat::Csv ? PutFrameLine<RowFormat::Csv>(out) : PutFrameLine<RowFormat::Tsv>(out);
  return format == RowFormat::Csv ? PutLine<RowFormat::Csv>(out) : PutLine<RowFormat::Tsv>(out);
}

void AppendRowLine(std::string& out, const RowStore& rows, std::int64_t row, RowFormat format) {
  RowLine line;
  const std::size_t bound = line.Read(rows, row);
  // A frame's line is short, but its bound many times its length: it is put together
  // here rather than in a string grown (and filled) by the whole bound.
  constexpr std::size_t kShortLine = ColumnCount * (2 * CellTextCapacity + 3) + 2;
  if (bound <= kShortLine) {
    char text[kShortLine];
    out.append(text, static_cast<std::size_t>(line.Put(text, format) - text));
    return;
  }
  AppendPut(out, bound, [&](char* at) { return line.Put(at, format); });
}

RowFormat FormatForFileName(std::string_view fileName) {
  constexpr std::string_view kCsv = ".csv";
  if (fileName.size() < kCsv.size()) return RowFormat::Tsv;
  const std::string_view tail = fileName.substr(fileName.size() - kCsv.size());
  const bool csv = std::equal(tail.begin(), tail.end(), kCsv.begin(), [](char a, char b) {
    return (a >= 'A' && a <= 'Z' ? static_cast<char>(a - 'A' + 'a') : a) == b;
  });
  return csv ? RowFormat::Csv : RowFormat::Tsv;
}
