#include "analysis/decoder.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <span>

#include "analysis/frame_bytes.h"
#include "analysis/ip_layout.h"
#include "analysis/mac_text.h"

namespace {

constexpr char kUpperHex[] = "0123456789ABCDEF";

// Where the Data cell's text is put together: a fixed buffer, never overrun.
class CellText {
 public:
  explicit CellText(std::span<char> buffer) : buf_(buffer.data()), capacity_(buffer.size()) {}

  std::string_view View() const { return {buf_, size_}; }

  void Append(std::string_view text) {
    const std::size_t n = std::min(text.size(), Room());
    if (n == 0) return;
    std::memcpy(buf_ + size_, text.data(), n);
    size_ += n;
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
  // "%u"
  void Decimal(unsigned value) {
    auto [end, ec] = std::to_chars(buf_ + size_, buf_ + capacity_, value);
    if (ec == std::errc{}) size_ = static_cast<std::size_t>(end - buf_);
  }
  void Mac(const FrameBytes& frame, std::size_t offset) {
    std::uint8_t mac[6];
    for (std::size_t i = 0; i < 6; ++i) mac[i] = frame.U8(offset + i);
    if (Room() >= MacTextLength) size_ = static_cast<std::size_t>(PutMacText(buf_ + size_, mac) - buf_);
  }
  // "%u.%u.%u.%u"
  void Ipv4(const FrameBytes& frame, std::size_t offset) {
    for (std::size_t i = 0; i < 4; ++i) {
      if (i != 0) Append(".");
      Decimal(unsigned{frame.U8(offset + i)});
    }
  }

 private:
  std::size_t Room() const { return capacity_ - size_; }

  char* buf_;
  std::size_t capacity_;
  std::size_t size_ = 0;
};

constexpr std::size_t kDataCellMax = 256;

// Payload bytes as one line, at most `most` of them: printable ASCII as it is, '.' for
// anything else.
void AppendPayload(CellText& text, const FrameBytes& frame, std::size_t begin, std::size_t end, std::size_t most) {
  const auto payload = frame.Range(begin, std::min(end, begin + most));
  text.AppendPrintable(payload);
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

// How far a frame is decoded, from its EtherType and IP layer.
RowKind KindOf(const FrameBytes& bytes, const std::optional<IpLayout>& ip) {
  if (!ip) return bytes.Be16(frame_offset::EtherType) == 0x0806 ? RowKind::Arp : RowKind::Ethernet;
  if (ip->upperHeader && ip->protocol == 6) return RowKind::Tcp;
  if (ip->upperHeader && ip->protocol == 17) return RowKind::Udp;
  if (ip->ipv6 && ip->protocol == ProtocolIcmpv6) return RowKind::Ipv4;
  for (const IpProtocolEntry& entry : IpProtocolTable) {
    if (entry.number == ip->protocol) return RowKind::Ipv4;
  }
  return RowKind::Ipv4Unlisted;
}

// The UDP header before the payload.
constexpr std::size_t kUdpHeader = 8;

// The Data cell of a frame of that kind, with at most `most` payload characters.
void PutData(CellText& text, const FrameBytes& bytes, RowKind kind, const std::optional<IpLayout>& ip,
             std::size_t most = kDataCellMax) {
  switch (kind) {
    case RowKind::Arp:
      ArpSummary(text, bytes);
      return;
    case RowKind::Udp:
      AppendPayload(text, bytes, ip->upper + kUdpHeader, ip->end, most);
      return;
    case RowKind::Tcp: {
      const PayloadBounds payload = TcpPayloadBounds(bytes, *ip);
      AppendPayload(text, bytes, payload.begin, payload.end, most);
      return;
    }
    default:
      return;
  }
}

std::array<std::uint8_t, 4> Ipv4At(const FrameBytes& bytes, std::size_t offset) {
  return {bytes.U8(offset), bytes.U8(offset + 1), bytes.U8(offset + 2), bytes.U8(offset + 3)};
}

}  // namespace

std::size_t IpDatagramEnd(const FrameBytes& frame) {
  const std::size_t total = frame.Be16(frame_offset::IpTotalLength);
  if (total == 0) return frame.Length();
  return std::min(frame.Length(), frame_offset::IpHeader + total);
}

PayloadBounds TcpPayloadBounds(const FrameBytes& frame, const IpLayout& ip) {
  // The header length comes from the data-offset field; a value below the minimum header
  // cannot be right, so the payload then starts after a plain 20-byte header.
  const std::size_t headerLength = std::max<std::size_t>(20, (frame.U8(ip.upper + tcp_offset::DataOffset) >> 4) * 4u);
  const std::size_t begin = ip.upper + headerLength;
  return {begin, std::max(begin, ip.end)};
}

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

std::string_view FrameDataText(const std::uint8_t* frame, std::uint32_t length, bool decodeIpv6,
                               std::array<char, DataTextCapacity>& buffer) {
  if (frame == nullptr || length == 0) return {};
  const FrameBytes bytes(std::span<const std::uint8_t>(frame, std::min<std::uint32_t>(length, FrameBufferSize)));
  CellText text(buffer);
  const std::optional<IpLayout> ip = ReadIpLayout(bytes, decodeIpv6);
  PutData(text, bytes, KindOf(bytes, ip), ip);
  return text.View();
}

void FramePayloadText(const std::uint8_t* frame, std::uint32_t length, bool decodeIpv6, std::string& out) {
  out.clear();
  if (frame == nullptr || length == 0) return;
  const FrameBytes bytes(std::span<const std::uint8_t>(frame, std::min<std::uint32_t>(length, FrameBufferSize)));
  // A payload never exceeds the frame; an ARP summary fits the cell's room.
  out.resize(FrameBufferSize + DataTextCapacity);
  CellText text(out);
  const std::optional<IpLayout> ip = ReadIpLayout(bytes, decodeIpv6);
  PutData(text, bytes, KindOf(bytes, ip), ip, FrameBufferSize);
  out.resize(text.View().size());
}

void DecodeFrame(std::int64_t packetNumber, const std::uint8_t* frame, std::uint32_t length,
                 RowSink& sink, CaptureState& state) {
  namespace off = frame_offset;
  if (length == 0 || frame == nullptr) return;
  length = std::min<std::uint32_t>(length, FrameBufferSize);
  // Nothing past the delivered length is read: the accessor gives zero there, which also
  // stands for the terminating zero byte after the frame.
  const FrameBytes bytes(std::span<const std::uint8_t>(frame, length));

  PacketRow row;
  row.packetNumber = packetNumber;
  row.length = length;
  row.wireLength = std::max(length, state.frameOriginalLength);
  row.owner = state.frameOwner.get();
  // Each adapter of several decides direction by its own address.
  const TraceInterface* adapter = state.FrameInterface();
  const std::array<std::uint8_t, 6>& mac = adapter ? adapter->mac : state.adapterMac;
  bool outgoing = true;
  for (std::size_t i = 0; i < mac.size(); ++i) outgoing = outgoing && bytes.U8(off::MacSource + i) == mac[i];
  if (adapter && state.columns.IsShown(ColumnId::Interface)) row.interfaceName = adapter->name;
  row.outgoing = outgoing;
  if (outgoing) {
    state.packetsSent += 1;
    state.bytesSent += length;
  } else {
    state.packetsReceived += 1;
    state.bytesReceived += length;
  }

  // The first frame of a list starts a new time origin, taken from the first known time.
  if (packetNumber == 0) state.timeOriginNs = TimeNotKnown;
  const std::int64_t timestamp = state.frameTimestampNs;
  if (timestamp != TimeNotKnown) {
    if (state.timeOriginNs == TimeNotKnown) state.timeOriginNs = timestamp;
    // Differences are taken modulo 2^64, so no pair of stamps can overflow.
    row.timeNs = static_cast<std::int64_t>(static_cast<std::uint64_t>(timestamp) -
                                           static_cast<std::uint64_t>(state.timeOriginNs));
    row.timeKnown = true;
  }

  for (std::size_t i = 0; i < 6; ++i) {
    row.macSource[i] = bytes.U8(off::MacSource + i);
    row.macDestination[i] = bytes.U8(off::MacDestination + i);
  }
  row.etherType = bytes.Be16(off::EtherType);
  const std::optional<IpLayout> ip = ReadIpLayout(bytes, state.columns.decodeIpv6);
  row.kind = KindOf(bytes, ip);
  if (ip) {
    row.ipv6 = ip->ipv6;
    if (ip->ipv6) {
      for (std::size_t i = 0; i < 16; ++i) {
        row.ipv6Source[i] = bytes.U8(ip->source + i);
        row.ipv6Destination[i] = bytes.U8(ip->destination + i);
      }
      row.ipHeaderBytes = static_cast<std::uint16_t>(ip->HeaderBytes());
    } else {
      row.ipSource = Ipv4At(bytes, ip->source);
      row.ipDestination = Ipv4At(bytes, ip->destination);
    }
    row.ipProtocol = ip->protocol;
  }
  if (row.kind == RowKind::Udp) {
    // UDP's ports sit where TCP's do.
    row.sourcePort = bytes.Be16(ip->upper + tcp_offset::SourcePort);
    row.destinationPort = bytes.Be16(ip->upper + tcp_offset::DestinationPort);
  }
  if (row.kind == RowKind::Tcp) {
    namespace tcp = tcp_offset;
    const std::size_t at = ip->upper;
    row.connection = TrackTcpSegment(bytes, *ip, outgoing ? Direction::Outgoing : Direction::Incoming, state);
    row.sourcePort = bytes.Be16(at + tcp::SourcePort);
    row.destinationPort = bytes.Be16(at + tcp::DestinationPort);
    row.sequence = bytes.Be32(at + tcp::Sequence);
    row.acknowledgement = bytes.Be32(at + tcp::Acknowledgement);
    row.tcpFlags = bytes.U8(at + tcp::Flags);
    row.window = bytes.Be16(at + tcp::Window);
    row.checksum = bytes.Be16(at + tcp::Checksum);
  }
  // The Data text is made only when the column is shown: the payload copy is the costliest
  // cell of a row.
  std::array<char, DataTextCapacity> data;
  if (state.columns.IsShown(ColumnId::Data)) {
    CellText text(data);
    PutData(text, bytes, row.kind, ip);
    row.data = text.View();
  }
  sink.AddRow(row);
}
