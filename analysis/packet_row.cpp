#include "analysis/packet_row.h"

#include <algorithm>
#include <charconv>
#include <iterator>
#include <cstring>

#include "analysis/connection_tracker.h"
#include "analysis/decoder.h"
#include "analysis/ip_address.h"
#include "analysis/ip_layout.h"
#include "analysis/mac_text.h"
#include "analysis/process_owner.h"

namespace {

char* Put(char* out, std::string_view text) {
  if (!text.empty()) std::memcpy(out, text.data(), text.size());
  return out + text.size();
}

// "%u", "%d", "%lld": a decimal never needs more than 20 characters.
template <typename Int>
char* PutDecimal(char* out, Int value) {
  return std::to_chars(out, out + 20, value).ptr;
}

// The record of the protocol table, or -1 when the protocol is not listed.
int ProtocolRecord(std::uint8_t protocol) {
  for (int i = 0; i < IpProtocolCount; ++i) {
    if (IpProtocolTable[i].number == protocol) return i;
  }
  return -1;
}

bool IsIpv4(RowKind kind) { return kind >= RowKind::Ipv4Unlisted; }

// Whether every character of text is one of the alphabet's.
bool MadeOf(std::string_view text, std::string_view alphabet) {
  return std::all_of(text.begin(), text.end(), [&](char c) { return alphabet.find(c) != std::string_view::npos; });
}

template <typename Texts>
bool InAnyOf(const Texts& texts, std::string_view text) {
  return std::any_of(std::begin(texts), std::end(texts),
                     [&](std::string_view t) { return t.find(text) != std::string_view::npos; });
}

// What CellHoldsOutsideText promises of the table texts a cell shows.
constexpr bool PlainTableText(std::string_view text) {
  return std::none_of(text.begin(), text.end(),
                      [](char c) { return c < 0x20 || c > 0x7E || c == '\\' || c == ',' || c == '"'; });
}

constexpr bool EveryTableTextPlain() {
  bool plain = PlainTableText(Icmpv6CellText) && PlainTableText(DirectionText(Direction::Incoming)) &&
               PlainTableText(DirectionText(Direction::Outgoing));
  for (const EtherTypeEntry& entry : EtherTypeNames) plain = plain && PlainTableText(entry.name);
  for (int i = 0; i < IpProtocolCount; ++i) plain = plain && PlainTableText(IpProtocolCellText[i]);
  for (const std::string_view call : socket_call::All) plain = plain && PlainTableText(call);
  return plain;
}
static_assert(EveryTableTextPlain());

}  // namespace

// The decimal text of every byte value, its length in the last of four bytes: an address
// is four copies and no division.
constexpr std::array<std::array<char, 4>, 256> kByteDecimals = [] {
  std::array<std::array<char, 4>, 256> texts{};
  for (int v = 0; v < 256; ++v) {
    auto& text = texts[static_cast<std::size_t>(v)];
    int n = 0;
    if (v >= 100) text[n++] = static_cast<char>('0' + v / 100);
    if (v >= 10) text[n++] = static_cast<char>('0' + v / 10 % 10);
    text[n++] = static_cast<char>('0' + v % 10);
    text[3] = static_cast<char>(n);
  }
  return texts;
}();

// "%u.%u.%u.%u"
char* PutIpv4(char* out, const std::array<std::uint8_t, 4>& ip) {
  for (std::size_t i = 0; i < 4; ++i) {
    if (i != 0) *out++ = '.';
    const auto& text = kByteDecimals[ip[i]];
    std::memcpy(out, text.data(), 3);
    out += text[3];
  }
  return out;
}

// Seconds with six decimals, cut (not rounded) to the microsecond; a frame that came
// before the origin (capture files may hold such) counts below zero.
char* PutSeconds(char* out, std::int64_t ns) {
  const bool negative = ns < 0;
  const std::uint64_t magnitude = negative ? 0 - static_cast<std::uint64_t>(ns) : static_cast<std::uint64_t>(ns);
  const std::uint64_t micros = magnitude / 1000;
  if (negative && micros != 0) *out++ = '-';
  out = PutDecimal(out, micros / 1000000);
  *out++ = '.';
  std::uint64_t fraction = micros % 1000000;
  for (int i = 5; i >= 0; --i, fraction /= 10) out[i] = static_cast<char>('0' + fraction % 10);
  return out + 6;
}

bool CellApplies(const PacketRow& row, ColumnId id) {
  switch (id) {
    case ColumnId::PacketNumber:
    case ColumnId::Bytes:
    case ColumnId::InOut:
    case ColumnId::MacSource:
    case ColumnId::MacDestination:
      return true;
    case ColumnId::Time:
      return row.timeKnown;
    case ColumnId::Interface:
      return !row.interfaceName.empty();
    case ColumnId::Ieee8023Length:
      return row.etherType <= 1500;
    case ColumnId::Protocol:
      return row.etherType > 1500;
    case ColumnId::IpSource:
    case ColumnId::IpDestination:
    case ColumnId::UpperLayerProtocol:
      return IsIpv4(row.kind);
    case ColumnId::Data:
      return row.kind == RowKind::Arp || row.kind == RowKind::Udp || row.kind == RowKind::Tcp;
    case ColumnId::TcpConnectionNumber:
    case ColumnId::TcpSourcePort:
    case ColumnId::TcpDestinationPort:
    case ColumnId::TcpSequenceNumber:
    case ColumnId::TcpAcknowledgementNumber:
    case ColumnId::TcpFlags:
    case ColumnId::TcpWindow:
    case ColumnId::TcpChecksum:
    case ColumnId::WinsockFunction:
      return row.kind == RowKind::Tcp;
    case ColumnId::Process:
      return row.owner != nullptr;
  }
  return false;
}

char* PutCellText(char* out, const PacketRow& row, ColumnId id) {
  if (!CellApplies(row, id)) return out;
  switch (id) {
    case ColumnId::PacketNumber:
      return PutDecimal(out, row.packetNumber);
    case ColumnId::Time:
      return PutSeconds(out, row.timeNs);
    case ColumnId::Bytes:
      return PutDecimal(out, row.length);
    case ColumnId::InOut:
      return Put(out, DirectionText(row.outgoing ? Direction::Outgoing : Direction::Incoming));
    case ColumnId::MacSource:
      return PutMacText(out, row.macSource.data());
    case ColumnId::MacDestination:
      return PutMacText(out, row.macDestination.data());
    case ColumnId::Ieee8023Length:
      return PutDecimal(out, unsigned{row.etherType});
    case ColumnId::Protocol: {
      char name[8];
      return Put(out, EtherTypeName(row.etherType, name));
    }
    case ColumnId::IpSource:
      return row.ipv6 ? PutIpv6Text(out, row.ipv6Source) : PutIpv4(out, row.ipSource);
    case ColumnId::IpDestination:
      return row.ipv6 ? PutIpv6Text(out, row.ipv6Destination) : PutIpv4(out, row.ipDestination);
    case ColumnId::UpperLayerProtocol: {
      if (row.ipv6 && row.ipProtocol == ProtocolIcmpv6) return Put(out, Icmpv6CellText);
      const int record = ProtocolRecord(row.ipProtocol);
      return record < 0 ? PutDecimal(out, unsigned{row.ipProtocol}) : Put(out, IpProtocolCellText[record]);
    }
    case ColumnId::TcpConnectionNumber:
      return PutDecimal(out, row.connection);
    case ColumnId::TcpSourcePort:
      return PutDecimal(out, unsigned{row.sourcePort});
    case ColumnId::TcpDestinationPort:
      return PutDecimal(out, unsigned{row.destinationPort});
    case ColumnId::TcpSequenceNumber:
      return PutDecimal(out, row.sequence);
    case ColumnId::TcpAcknowledgementNumber:
      return PutDecimal(out, row.acknowledgement);
    case ColumnId::TcpFlags:
      out = Put(out, "0x");
      return std::to_chars(out, out + 8, unsigned{row.tcpFlags & 0x3Fu}, 16).ptr;
    case ColumnId::TcpWindow:
      return PutDecimal(out, unsigned{row.window});
    case ColumnId::TcpChecksum:
      return PutDecimal(out, unsigned{row.checksum});
    case ColumnId::WinsockFunction:
      return Put(out, InferSocketCall(row.tcpFlags, row.outgoing ? Direction::Outgoing : Direction::Incoming,
                                      row.length, NoPayloadFrameLength(row.ipHeaderBytes)));
    case ColumnId::Process:
      return PutProcessCell(out, *row.owner);
    case ColumnId::Data:
      return Put(out, row.data.substr(0, CellTextCapacity));
    case ColumnId::Interface:
      return Put(out, row.interfaceName.substr(0, CellTextCapacity));
  }
  return out;
}

bool CellTextMayContain(ColumnId id, std::string_view text) {
  constexpr std::string_view decimal = "0123456789";
  switch (id) {
    case ColumnId::PacketNumber:
    case ColumnId::TcpConnectionNumber:
      return MadeOf(text, "-0123456789");  // signed
    case ColumnId::Time:
      return MadeOf(text, "-.0123456789");
    case ColumnId::Bytes:
    case ColumnId::Ieee8023Length:
    case ColumnId::TcpSourcePort:
    case ColumnId::TcpDestinationPort:
    case ColumnId::TcpSequenceNumber:
    case ColumnId::TcpAcknowledgementNumber:
    case ColumnId::TcpWindow:
    case ColumnId::TcpChecksum:
      return MadeOf(text, decimal);
    case ColumnId::InOut:
      return InAnyOf(std::array{DirectionText(Direction::Incoming), DirectionText(Direction::Outgoing)}, text);
    case ColumnId::MacSource:
    case ColumnId::MacDestination:
      return MadeOf(text, "0123456789ABCDEF:");
    case ColumnId::Protocol: {
      // A named EtherType, or "0x" and four upper-case hex digits.
      std::array<std::string_view, EtherTypeNames.size()> names{};
      std::transform(EtherTypeNames.begin(), EtherTypeNames.end(), names.begin(),
                     [](const EtherTypeEntry& entry) { return entry.name; });
      return InAnyOf(names, text) || MadeOf(text, "0x123456789ABCDEF");
    }
    case ColumnId::IpSource:
    case ColumnId::IpDestination:
      return MadeOf(text, "0123456789.abcdef:");
    case ColumnId::UpperLayerProtocol:
      for (int i = 0; i < IpProtocolCount; ++i) {
        if (IpProtocolCellText[i].find(text) != std::string_view::npos) return true;
      }
      if (Icmpv6CellText.find(text) != std::string_view::npos) return true;
      return MadeOf(text, decimal);
    case ColumnId::TcpFlags:
      return MadeOf(text, "0x123456789abcdef");
    case ColumnId::WinsockFunction:
      return InAnyOf(socket_call::All, text);
    case ColumnId::Process:
    case ColumnId::Data:
    case ColumnId::Interface:
      return true;
  }
  return true;
}
