// Fuzz target: a sequence of arbitrary frames through DecodeFrame and the connection
// tracker, into the row store the capture thread uses, then written out as TSV and CSV.
//
// Input layout (everything past the end reads as zero):
//   bytes 0-2   column flags, bit i = column i shown (Packet Number is always shown);
//               bit 23 decodes IPv6
//   byte  3     rows already listed when the trace starts (the first packet number)
//   bytes 4-9   the adapter's MAC address
//   then frames, each a 2-byte header and its bytes: header bits 0-10 are the length
//   (taken modulo 1521, cut to what is left of the input), bit 15 stamps the adapter's
//   MAC as the frame's source so that outgoing frames are easy to reach.
// Frames go through one reused 1520-byte buffer, as in the capture thread, so a short
// frame follows the bytes of a longer one.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "analysis/capture_state.h"
#include "analysis/connection_tracker.h"
#include "analysis/decoder.h"
#include "analysis/row_store.h"
#include "analysis/row_text.h"

namespace {

[[noreturn]] void Broken(const char* what) {
  std::fprintf(stderr, "decode_fuzz: %s\n", what);
  std::abort();
}

void Check(bool condition, const char* what) {
  if (!condition) Broken(what);
}

class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  std::size_t Left() const { return size_ - std::min(at_, size_); }
  const std::uint8_t* Take(std::size_t n) {
    const std::uint8_t* p = data_ + at_;
    at_ += n;
    return p;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

bool PlainCell(std::string_view cell) {
  return std::all_of(cell.begin(), cell.end(), [](char c) { return c >= 0x20 && c <= 0x7E; });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in(data, size);
  CaptureState state;
  const std::uint32_t flags = in.Byte() | (in.Byte() << 8) | (in.Byte() << 16);
  for (int i = 0; i < ColumnCount; ++i) state.columns.shown[i] = (flags >> i) & 1;
  state.columns.shown[static_cast<int>(ColumnId::PacketNumber)] = 1;
  state.columns.AssignColumnPositions();
  state.columns.decodeIpv6 = (flags >> 23) & 1;
  const std::int64_t firstRow = in.Byte();
  for (auto& b : state.adapterMac) b = in.Byte();

  const int columns = state.columns.ShownCount();
  RowStore rows(state.columns);
  RowBuilder builder(rows);
  std::array<std::uint8_t, FrameBufferSize> buffer{};
  std::int64_t packetNumber = firstRow;
  std::int64_t frames = 0, bytes = 0;

  while (in.Left() >= 2) {
    const std::uint16_t header = static_cast<std::uint16_t>(in.Byte() << 8 | in.Byte());
    std::size_t length = (header & 0x7FF) % (FrameBufferSize + 1);
    length = std::min(length, in.Left());
    std::copy_n(in.Take(length), length, buffer.begin());
    if ((header & 0x8000) && length > 6)
      std::copy_n(state.adapterMac.begin(), std::min<std::size_t>(6, length - 6), buffer.begin() + 6);
    if (length < FrameBufferSize) buffer[length] = 0;
    DecodeFrame(packetNumber, buffer.data(), static_cast<std::uint32_t>(length), builder, state);
    if (length > 0) {
      ++packetNumber;
      ++frames;
      bytes += static_cast<std::int64_t>(length);
    }
    Check(state.liveConnections == static_cast<std::int64_t>(state.connections.Size()),
          "liveConnections differs from the table's size");
    Check(state.lastConnectionNumber >= state.liveConnections, "a live connection without its number");
  }
  Check(rows.RowCount() == frames, "not one row per non-empty frame");
  Check(state.packetsReceived + state.packetsSent == frames, "packet counters differ from the frames");
  Check(state.bytesReceived + state.bytesSent == bytes, "byte counters differ from the frames");

  std::string line;
  for (std::int64_t row = 0; row < rows.RowCount(); ++row) {
    Check(rows.Cell(row, 0) == std::to_string(firstRow + row), "packet number cell out of step");
    for (int column = 0; column < columns; ++column) {
      const std::string_view cell = rows.Cell(row, column);
      Check(PlainCell(cell), "a cell holds a control or non-ASCII character");
      Check(cell.size() <= 300, "an over-long cell");
    }
    line.clear();
    AppendRowLine(line, rows, row, RowFormat::Tsv);
    Check(std::count(line.begin(), line.end(), '\t') == columns - 1, "TSV line with a stray TAB");
    Check(std::count(line.begin(), line.end(), '\n') == 1 && line.back() == '\n', "TSV row not one line");
    // Read back, the line gives the stored cells again.
    std::string cell;
    int column = 0;
    for (std::size_t i = 0; i + 1 < line.size(); ++i) {
      if (line[i] == '\t') {
        Check(cell == rows.Cell(row, column++), "a TSV cell reads back otherwise");
        cell.clear();
      } else if (line[i] == '\\') {
        const char letter = line[++i];
        cell += letter == 't' ? '\t' : letter == 'n' ? '\n' : letter == 'r' ? '\r' : letter;
      } else {
        cell += line[i];
      }
    }
    Check(column == columns - 1 && cell == rows.Cell(row, column), "a TSV cell reads back otherwise");
    line.clear();
    AppendRowLine(line, rows, row, RowFormat::Csv);
    Check(line.size() >= 2 && line.compare(line.size() - 2, 2, "\r\n") == 0, "CSV row without CR LF");
  }

  ClearConnections(state);
  Check(state.connections.Empty() && state.liveConnections == 0, "connections left after clearing");
  return 0;
}
