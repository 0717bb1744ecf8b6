#include "analysis/packet_filter_row.h"

#include <algorithm>

#include "analysis/decoder.h"

namespace {

std::uint64_t BigEndian(const std::uint8_t* bytes, int n) {
  std::uint64_t v = 0;
  for (int i = 0; i < n; ++i) v = (v << 8) | bytes[i];
  return v;
}

// How many rows ahead of the one read the next ones are asked for: enough to cover a
// memory load's latency at the time a row takes.
constexpr std::int64_t kReadAhead = 32;

}  // namespace

PacketFilterRow::PacketFilterRow(const ColumnSet& columns) {
  const auto shown = [&](ColumnId id) { return columns.IsShown(id); };
  const bool macs = shown(ColumnId::MacSource) || shown(ColumnId::MacDestination);
  const bool tcpDetails = shown(ColumnId::TcpSequenceNumber) || shown(ColumnId::TcpAcknowledgementNumber) ||
                          shown(ColumnId::TcpWindow) || shown(ColumnId::TcpChecksum);
  kept_.set();
  const auto keepIf = [this](ColumnId id, bool kept) { kept_[static_cast<std::size_t>(id)] = kept; };
  keepIf(ColumnId::MacSource, macs);
  keepIf(ColumnId::MacDestination, macs);
  for (const ColumnId id : {ColumnId::TcpSequenceNumber, ColumnId::TcpAcknowledgementNumber, ColumnId::TcpWindow,
                            ColumnId::TcpChecksum}) {
    keepIf(id, tcpDetails);
  }
  keepIf(ColumnId::Data, shown(ColumnId::Data));
  keepIf(ColumnId::Interface, shown(ColumnId::Interface));
}

bool PacketFilterRow::Read(const RowStore& rows, std::int64_t row) {
  built_.reset();
  dataRead_ = false;
  payloadBuilt_ = false;
  rows_ = &rows;
  row_ = row;
  rows.Prefetch(row + kReadAhead);
  return rows.PacketFields(row, fields_);
}

bool PacketFilterRow::Kept(ColumnId id) const {
  return kept_[static_cast<std::size_t>(id)] && CellApplies(fields_, id);
}

const PacketRow& PacketFilterRow::Fields(ColumnId id) const {
  if (id != ColumnId::Data || !fields_.data.empty()) return fields_;  // kept in the record
  if (!dataRead_) {
    dataRead_ = true;
    if (!rows_->Packet(row_, withData_, dataRoom_)) {
      withData_ = fields_;
      dataRoom_.frameRead = false;
    }
  }
  return withData_;
}

std::string_view PacketFilterRow::Cell(ColumnId id) const {
  const auto c = static_cast<std::size_t>(id);
  if (c >= static_cast<std::size_t>(ColumnCount) || !Kept(id)) return {};
  // The Data text is read where it lies: in the record, or in this row's room.
  if (id == ColumnId::Data) return Fields(id).data.substr(0, CellTextCapacity);
  char* text = texts_[c].data();
  if (!built_[c]) {
    lengths_[c] = static_cast<std::uint16_t>(PutCellText(text, Fields(id), id) - text);
    built_[c] = true;
  }
  return {text, lengths_[c]};
}

std::string_view PacketFilterRow::SearchText(ColumnId id) const {
  if (id != ColumnId::Data || !Kept(id)) return Cell(id);
  const PacketRow& row = Fields(id);
  if (&row != &withData_ || !dataRoom_.frameRead) return Cell(id);
  if (!payloadBuilt_) {
    const StoredFrame& frame = dataRoom_.frame;
    FramePayloadText(frame.bytes.data(),
                     static_cast<std::uint32_t>(std::min<std::size_t>(frame.bytes.size(), withData_.length)),
                     withData_.ipv6, payload_);
    payloadBuilt_ = true;
  }
  return payload_;
}

std::optional<std::uint64_t> PacketFilterRow::Value(ColumnId id) const {
  if (static_cast<std::size_t>(id) >= static_cast<std::size_t>(ColumnCount) || !Kept(id)) return std::nullopt;
  const PacketRow& r = fields_;
  switch (id) {
    case ColumnId::PacketNumber:
      return static_cast<std::uint64_t>(r.packetNumber);
    case ColumnId::Bytes:
      return r.length;
    case ColumnId::MacSource:
      return BigEndian(r.macSource.data(), 6);
    case ColumnId::MacDestination:
      return BigEndian(r.macDestination.data(), 6);
    case ColumnId::Ieee8023Length:
      return r.etherType;
    case ColumnId::IpSource:
    case ColumnId::IpDestination:
      // An IPv6 address is no 64-bit number: it is read as an address only.
      if (r.ipv6) return std::nullopt;
      return BigEndian((id == ColumnId::IpSource ? r.ipSource : r.ipDestination).data(), 4);
    case ColumnId::TcpConnectionNumber:
      return static_cast<std::uint64_t>(r.connection);
    case ColumnId::TcpSourcePort:
      return r.sourcePort;
    case ColumnId::TcpDestinationPort:
      return r.destinationPort;
    case ColumnId::TcpSequenceNumber:
      return r.sequence;
    case ColumnId::TcpAcknowledgementNumber:
      return r.acknowledgement;
    case ColumnId::TcpFlags:
      return r.tcpFlags;
    case ColumnId::TcpWindow:
      return r.window;
    case ColumnId::TcpChecksum:
      return r.checksum;
    case ColumnId::Time:
      // The cell shows the time cut to the microsecond; a time before the origin is
      // read from its text as any other row's would be.
      if (r.timeNs >= 0) return static_cast<std::uint64_t>(r.timeNs / 1000);
      break;
    default:
      break;
  }
  // Names and texts: as their cell text reads.
  return FilterRow::Value(id);
}

std::optional<IpAddress> PacketFilterRow::Address(ColumnId id) const {
  if ((id != ColumnId::IpSource && id != ColumnId::IpDestination) || !Kept(id)) return std::nullopt;
  const PacketRow& r = fields_;
  const bool source = id == ColumnId::IpSource;
  if (r.ipv6) return IpAddress::V6(source ? r.ipv6Source : r.ipv6Destination);
  return IpAddress::V4(source ? r.ipSource : r.ipDestination);
}

std::uint32_t PacketFilterRow::ColumnsThatMayContain(const FilterNeedle& needle) const { return needle.fieldColumns; }
