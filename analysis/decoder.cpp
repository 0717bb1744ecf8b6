#include "analysis/decoder.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <span>

#include "analysis/frame_bytes.h"
#include "analysis/mac_text.h"

namespace {

constexpr char kUpperHex[] = "0123456789ABCDEF";

// The one buffer every cell text of a frame is formatted into; the sink copies the text
// before the next cell reuses it.
class CellText {
 public:
  static constexpr std::size_t Capacity = 1024;

  void Clear() { size_ = 0; }
  std::string_view View() const { return {buf_, size_}; }

  void Append(std::string_view text) {
    const std::size_t n = std::min(text.size(), Room());
    if (n == 0) return;
    std::memcpy(buf_ + size_, text.data(), n);
    size_ += n;
  }
  void Append(char c) {
    if (Room() > 0) buf_[size_++] = c;
  }
  // One character per byte: printable ASCII as it is, '.' for anything else.
  void AppendPrintable(std::span<const std::uint8_t> bytes) {
    const std::size_t n = std::min(bytes.size(), Room());
    char* out = buf_ + size_;
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint8_t b = bytes[i];
      out[i] = b >= 0x20 && b <= 0x7E ? static_cast<char>(b) : '.';
    }
    size_ += n;
  }
  // "%u", "%d", "%ld"
  template <typename Int>
  void Decimal(Int value) {
    auto [end, ec] = std::to_chars(buf_ + size_, buf_ + Capacity - 1, value);
    if (ec == std::errc{}) size_ = static_cast<std::size_t>(end - buf_);
  }
  // "%x"
  void LowerHex(unsigned value) {
    auto [end, ec] = std::to_chars(buf_ + size_, buf_ + Capacity - 1, value, 16);
    if (ec == std::errc{}) size_ = static_cast<std::size_t>(end - buf_);
  }
  // "%s%lld.%06lld": seconds with six decimals, cut (not rounded) to the microsecond; a
  // frame that came before the origin (capture files may hold such) counts below zero.
  void Seconds(std::int64_t ns) {
    const bool negative = ns < 0;
    const std::uint64_t magnitude = negative ? 0 - static_cast<std::uint64_t>(ns) : static_cast<std::uint64_t>(ns);
    const std::uint64_t micros = magnitude / 1000;
    if (negative && micros != 0) Append('-');
    Decimal(micros / 1000000);
    Append('.');
    char digits[6];
    std::uint64_t fraction = micros % 1000000;
    for (int i = 5; i >= 0; --i, fraction /= 10) digits[i] = static_cast<char>('0' + fraction % 10);
    Append(std::string_view(digits, 6));
  }
  void Mac(const FrameBytes& frame, std::size_t offset) {
    std::uint8_t mac[6];
    for (std::size_t i = 0; i < 6; ++i) mac[i] = frame.U8(offset + i);
    if (Room() >= MacTextLength) size_ = static_cast<std::size_t>(PutMacText(buf_ + size_, mac) - buf_);
  }
  // "%u.%u.%u.%u"
  void Ipv4(const FrameBytes& frame, std::size_t offset) {
    for (std::size_t i = 0; i < 4; ++i) {
      if (i != 0) Append('.');
      Decimal(unsigned{frame.U8(offset + i)});
    }
  }

 private:
  // One byte is always kept free, so the text could still be terminated by a reader
  // that needs it.
  std::size_t Room() const { return Capacity - 1 - size_; }

  char buf_[Capacity];
  std::size_t size_ = 0;
};

constexpr std::size_t kDataCellMax = 256;

// Payload bytes as one line: printable ASCII as it is, '.' for anything else.
void AppendPayload(CellText& text, const FrameBytes& frame, std::size_t begin, std::size_t end) {
  const auto payload = frame.Range(begin, std::min(end, begin + kDataCellMax));
  text.AppendPrintable(payload);
}

// Where the IPv4 datagram ends within the frame: the total length bounds it so that the
// padding of a short Ethernet frame is not taken for payload. A total length of 0 (set by
// segmentation offload on locally sent frames) says nothing, so the frame bounds it.
std::size_t IpDatagramEnd(const FrameBytes& frame) {
  const std::size_t total = frame.Be16(frame_offset::IpTotalLength);
  if (total == 0) return frame.Length();
  return std::min(frame.Length(), frame_offset::IpHeader + total);
}

void ArpSummary(CellText& text, const FrameBytes& frame) {
  namespace off = frame_offset;
  const std::uint16_t operation = frame.Be16(off::ArpOperation);
  const bool ethernetIpv4 =
      frame.U8(off::ArpHardwareLength) == 6 && frame.U8(off::ArpProtocolLength) == 4;
  if (ethernetIpv4) {
    switch (operation) {
      case 1:
        text.Append("who-has ");
        text.Ipv4(frame, off::ArpTargetIp);
        text.Append(" tell ");
        text.Ipv4(frame, off::ArpSenderIp);
        return;
      case 2:
        text.Ipv4(frame, off::ArpSenderIp);
        text.Append(" is-at ");
        text.Mac(frame, off::ArpSenderMac);
        return;
      case 3:
        text.Append("rarp who-is ");
        text.Mac(frame, off::ArpTargetMac);
        text.Append(" tell ");
        text.Mac(frame, off::ArpSenderMac);
        return;
      case 4:
        text.Append("rarp ");
        text.Mac(frame, off::ArpTargetMac);
        text.Append(" is-at ");
        text.Ipv4(frame, off::ArpTargetIp);
        return;
      default:
        break;
    }
  }
  text.Append("ARP operation ");
  text.Decimal(unsigned{operation});
}

class RowWriter {
 public:
  RowWriter(std::int64_t row, RowSink& sink, const ColumnSet& columns)
      : row_(row), sink_(sink), columns_(columns) {}

  // Formats and sets a cell only when its column is shown.
  template <typename Format>
  void Cell(ColumnId id, Format&& format) {
    if (!columns_.IsShown(id)) return;
    text_.Clear();
    format(text_);
    sink_.SetCellText(row_, columns_.Position(id), text_.View());
  }
  // Sets a cell to a text that is already written out (a table's text), without a copy.
  void Text(ColumnId id, std::string_view text) {
    if (columns_.IsShown(id)) sink_.SetCellText(row_, columns_.Position(id), text);
  }

  void Insert(std::int64_t packetNumber) {
    if (!columns_.IsShown(ColumnId::PacketNumber)) return;
    text_.Clear();
    text_.Decimal(packetNumber);
    sink_.InsertRow(text_.View());
  }

 private:
  std::int64_t row_;
  RowSink& sink_;
  const ColumnSet& columns_;
  CellText text_;
};

}  // namespace

std::string_view EtherTypeName(std::uint16_t type, char (&buf)[8]) {
  for (const EtherTypeEntry& entry : EtherTypeNames) {
    if (entry.type == type) return entry.name;
  }
  buf[0] = '0';
  buf[1] = 'x';
  buf[2] = kUpperHex[(type >> 12) & 0x0F];
  buf[3] = kUpperHex[(type >> 8) & 0x0F];
  buf[4] = kUpperHex[(type >> 4) & 0x0F];
  buf[5] = kUpperHex[type & 0x0F];
  buf[6] = '\0';
  return {buf, 6};
}

void DecodeFrame(std::int64_t packetNumber, const std::uint8_t* frame, std::uint32_t length,
                 RowSink& sink, CaptureState& state) {
  namespace off = frame_offset;
  if (length == 0 || frame == nullptr) return;
  length = std::min<std::uint32_t>(length, FrameBufferSize);
  // Nothing past the delivered length is read: the accessor gives zero there, which also
  // stands for the terminating zero byte after the frame.
  const FrameBytes bytes(std::span<const std::uint8_t>(frame, length));

  bool outgoing = true;
  for (std::size_t i = 0; i < state.adapterMac.size(); ++i) {
    outgoing = outgoing && bytes.U8(off::MacSource + i) == state.adapterMac[i];
  }
  const Direction direction = outgoing ? Direction::Outgoing : Direction::Incoming;
  const ColumnSet& columns = state.columns;
  RowWriter row(packetNumber, sink, columns);

  row.Insert(packetNumber);
  // The first frame of a list starts a new time origin, taken from the first known time.
  if (packetNumber == 0) state.timeOriginNs = 0;
  const std::int64_t timestamp = state.frameTimestampNs;
  if (timestamp != 0) {
    if (state.timeOriginNs == 0) state.timeOriginNs = timestamp;
    // Differences are taken modulo 2^64, so no pair of stamps can overflow.
    const auto sinceOrigin = static_cast<std::int64_t>(static_cast<std::uint64_t>(timestamp) -
                                                       static_cast<std::uint64_t>(state.timeOriginNs));
    row.Cell(ColumnId::Time, [&](CellText& t) { t.Seconds(sinceOrigin); });
  }
  row.Cell(ColumnId::Bytes, [&](CellText& t) { t.Decimal(length); });

  if (outgoing) {
    state.packetsSent += 1;
    state.bytesSent += length;
  } else {
    state.packetsReceived += 1;
    state.bytesReceived += length;
  }

  row.Text(ColumnId::InOut, DirectionText(direction));
  row.Cell(ColumnId::MacSource, [&](CellText& t) { t.Mac(bytes, off::MacSource); });
  row.Cell(ColumnId::MacDestination, [&](CellText& t) { t.Mac(bytes, off::MacDestination); });

  const std::uint16_t type = bytes.Be16(off::EtherType);
  if (type <= 1500) {
    row.Cell(ColumnId::Ieee8023Length, [&](CellText& t) { t.Decimal(unsigned{type}); });
  } else {
    char name[8];
    row.Text(ColumnId::Protocol, EtherTypeName(type, name));
  }

  if (type == 0x0806) {
    row.Cell(ColumnId::Data, [&](CellText& t) { ArpSummary(t, bytes); });
    return;
  }
  if (type != 0x0800) return;

  row.Cell(ColumnId::IpSource, [&](CellText& t) { t.Ipv4(bytes, off::IpSource); });
  row.Cell(ColumnId::IpDestination, [&](CellText& t) { t.Ipv4(bytes, off::IpDestination); });

  const std::uint8_t protocol = bytes.U8(off::IpProtocol);
  int record = 0;
  while (record < IpProtocolCount && IpProtocolTable[record].number != protocol) ++record;
  if (record == IpProtocolCount) {
    row.Cell(ColumnId::UpperLayerProtocol, [&](CellText& t) { t.Decimal(unsigned{protocol}); });
    return;
  }
  row.Text(ColumnId::UpperLayerProtocol, IpProtocolCellText[record]);

  if (protocol == 17) {
    row.Cell(ColumnId::Data, [&](CellText& t) {
      AppendPayload(t, bytes, off::UdpPayload, IpDatagramEnd(bytes));
    });
    return;
  }
  if (protocol != 6) return;

  const std::int64_t connection =
      TrackTcpSegment(std::span<const std::uint8_t>(frame, length), direction, state);
  const std::uint8_t flags = bytes.U8(off::TcpFlags);

  // The cells go in ascending column order, which lets the row store take the row in
  // one piece.
  row.Cell(ColumnId::TcpConnectionNumber, [&](CellText& t) { t.Decimal(connection); });
  row.Cell(ColumnId::TcpSourcePort,
           [&](CellText& t) { t.Decimal(unsigned{bytes.Be16(off::TcpSourcePort)}); });
  row.Cell(ColumnId::TcpDestinationPort,
           [&](CellText& t) { t.Decimal(unsigned{bytes.Be16(off::TcpDestinationPort)}); });
  row.Cell(ColumnId::TcpSequenceNumber,
           [&](CellText& t) { t.Decimal(bytes.Be32(off::TcpSequence)); });
  row.Cell(ColumnId::TcpAcknowledgementNumber,
           [&](CellText& t) { t.Decimal(bytes.Be32(off::TcpAcknowledgement)); });
  row.Cell(ColumnId::TcpFlags, [&](CellText& t) {
    t.Append("0x");
    t.LowerHex(flags & 0x3Fu);
  });
  row.Cell(ColumnId::TcpWindow, [&](CellText& t) { t.Decimal(unsigned{bytes.Be16(off::TcpWindow)}); });
  row.Cell(ColumnId::TcpChecksum,
           [&](CellText& t) { t.Decimal(unsigned{bytes.Be16(off::TcpChecksum)}); });
  row.Text(ColumnId::WinsockFunction, InferSocketCall(flags, direction, length));
  row.Cell(ColumnId::Data, [&](CellText& t) {
    // The header length comes from the data-offset field; a value below the minimum
    // header cannot be right, so the payload then starts after a plain 20-byte header.
    const std::size_t headerLength = std::max<std::size_t>(20, (bytes.U8(off::TcpDataOffset) >> 4) * 4u);
    AppendPayload(t, bytes, off::TcpHeader + headerLength, IpDatagramEnd(bytes));
  });
}
