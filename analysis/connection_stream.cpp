#include "analysis/connection_stream.h"

#include "analysis/decoder.h"
#include "analysis/frame_bytes.h"
#include "analysis/frame_source.h"
#include "analysis/ip_layout.h"
#include "analysis/row_store.h"

namespace {

constexpr std::uint8_t kProtocolTcp = 6;

// The IP layer of a TCP frame whose ports were delivered; nothing for any other frame.
// IPv6 frames are read whatever the setting: only frames of rows that were decoded as
// TCP are followed.
std::optional<IpLayout> TcpLayoutOf(const FrameBytes& bytes) {
  const std::optional<IpLayout> ip = ReadIpLayout(bytes, true);
  if (!ip || ip->protocol != kProtocolTcp || !ip->upperHeader ||
      bytes.Length() < ip->upper + tcp_offset::Sequence) {
    return std::nullopt;
  }
  return ip;
}

TcpEndpoint EndpointAt(const FrameBytes& bytes, const IpLayout& ip, std::size_t address, std::size_t port) {
  TcpEndpoint end;
  for (std::size_t i = 0; i < (ip.ipv6 ? 16u : 4u); ++i) end.ip[i] = bytes.U8(address + i);
  end.port = bytes.Be16(ip.upper + port);
  end.ipv6 = ip.ipv6;
  return end;
}

// A row's source or destination as a TcpEndpoint.
TcpEndpoint RowEndpoint(const PacketRow& row, bool source) {
  TcpEndpoint end;
  end.ipv6 = row.ipv6;
  if (row.ipv6) {
    end.ip = source ? row.ipv6Source : row.ipv6Destination;
  } else {
    const auto& v4 = source ? row.ipSource : row.ipDestination;
    std::copy(v4.begin(), v4.end(), end.ip.begin());
  }
  end.port = source ? row.sourcePort : row.destinationPort;
  return end;
}

}  // namespace

std::optional<std::pair<TcpEndpoint, TcpEndpoint>> TcpEndpointsOf(std::span<const std::uint8_t> frame) {
  const FrameBytes bytes(frame);
  const std::optional<IpLayout> ip = TcpLayoutOf(bytes);
  if (!ip) return std::nullopt;
  return std::pair{EndpointAt(bytes, *ip, ip->source, tcp_offset::SourcePort),
                   EndpointAt(bytes, *ip, ip->destination, tcp_offset::DestinationPort)};
}

void ConnectionStream::Add(std::int64_t packetNumber, std::span<const std::uint8_t> frame) {
  const auto ends = TcpEndpointsOf(frame);
  if (!ends) return;
  StreamSide side;
  if (ends->first == first_ && ends->second == second_) {
    side = StreamSide::First;
  } else if (ends->first == second_ && ends->second == first_) {
    side = StreamSide::Second;
  } else {
    return;
  }
  const FrameBytes bytes(frame);
  const IpLayout ip = *TcpLayoutOf(bytes);
  const PayloadBounds bounds = TcpPayloadBounds(bytes, ip);
  const auto payload = bytes.Range(bounds.begin, bounds.end);
  if (payload.empty()) return;
  const std::uint32_t sequence = bytes.Be32(ip.upper + tcp_offset::Sequence);
  if (!taken_.emplace(side, sequence, payload.size()).second) {
    retransmissions_ += 1;
    return;
  }
  segments_.push_back({side, sequence, packetNumber, {payload.begin(), payload.end()}});
}

std::vector<std::uint8_t> ConnectionStream::Bytes(StreamSide side) const {
  std::vector<std::uint8_t> out;
  for (const StreamSegment& segment : segments_) {
    if (segment.side == side) out.insert(out.end(), segment.payload.begin(), segment.payload.end());
  }
  return out;
}

FollowedConnection FollowConnection(const RowStore& rows, std::int64_t connection, const FrameSource* frames) {
  FollowedConnection out;
  PacketRow row;
  // The connection's endpoints come from its first row. Its rows are those between the
  // two, either way: where every frame counts as sent (loopback, a file taken on another
  // adapter) the tracker numbers each direction on its own.
  std::optional<std::pair<TcpEndpoint, TcpEndpoint>> ends;
  for (std::int64_t r = 0; r < rows.RowCount() && !ends; ++r) {
    if (rows.PacketFields(r, row) && row.kind == RowKind::Tcp && row.connection == connection)
      ends.emplace(RowEndpoint(row, true), RowEndpoint(row, false));
  }
  if (!ends) return out;
  StoredFrame frame;
  for (std::int64_t r = 0; r < rows.RowCount(); ++r) {
    if (!rows.PacketFields(r, row) || row.kind != RowKind::Tcp) continue;
    const TcpEndpoint from = RowEndpoint(row, true), to = RowEndpoint(row, false);
    if (!(from == ends->first && to == ends->second) && !(from == ends->second && to == ends->first)) continue;
    out.rows += 1;
    out.connections.insert(row.connection);
    if (row.owner != nullptr) {
      // The owner is that of the frame's local end.
      const TcpEndpoint& local = row.outgoing ? from : to;
      std::string& process = local == ends->first ? out.firstProcess : out.secondProcess;
      if (process.empty()) {
        char text[CellTextCapacity];
        process.assign(text, PutCellText(text, row, ColumnId::Process));
      }
    }
    if (frames == nullptr || !frames->ReadFrame(row.packetNumber, frame)) {
      out.framesMissing += 1;
      continue;
    }
    if (!out.stream) {
      const auto frameEnds = TcpEndpointsOf(frame.bytes);
      if (!frameEnds) continue;
      out.stream.emplace(frameEnds->first, frameEnds->second);
    }
    out.stream->Add(row.packetNumber, frame.bytes);
  }
  return out;
}
