#include "analysis/traffic_stats.h"

#include <algorithm>
#include <tuple>

#include "analysis/connection_tracker.h"
#include "analysis/ip_address.h"

namespace {

constexpr std::uint8_t TcpFin = 0x01;
constexpr std::uint8_t TcpReset = 0x04;

std::array<std::uint8_t, 16> SourceOf(const PacketRow& row) {
  std::array<std::uint8_t, 16> out{};
  if (row.ipv6) return row.ipv6Source;
  std::copy(row.ipSource.begin(), row.ipSource.end(), out.begin());
  return out;
}

std::array<std::uint8_t, 16> DestinationOf(const PacketRow& row) {
  std::array<std::uint8_t, 16> out{};
  if (row.ipv6) return row.ipv6Destination;
  std::copy(row.ipDestination.begin(), row.ipDestination.end(), out.begin());
  return out;
}

void AppendAddress(std::string& out, const std::array<std::uint8_t, 16>& address, bool ipv6) {
  char text[Ipv6TextMost + 1];
  const char* end = ipv6 ? PutIpv6Text(text, address) : PutIpv4(text, {address[0], address[1], address[2], address[3]});
  out.append(text, static_cast<std::size_t>(end - text));
}

void AppendSeconds(std::string& out, std::int64_t ns) {
  char text[32];
  out.append(text, static_cast<std::size_t>(PutSeconds(text, ns) - text));
}

template <typename... Numbers>
void AppendNumbers(std::string& out, Numbers... numbers) {
  ((out += '\t', out += std::to_string(numbers)), ...);
}

}  // namespace

std::size_t TrafficStats::UdpKeyHash::operator()(const UdpKey& key) const {
  std::uint64_t h = 1469598103934665603ull;
  const auto mix = [&h](std::uint8_t byte) { h = (h ^ byte) * 1099511628211ull; };
  for (std::uint8_t b : key.low) mix(b);
  for (std::uint8_t b : key.high) mix(b);
  mix(static_cast<std::uint8_t>(key.lowPort));
  mix(static_cast<std::uint8_t>(key.lowPort >> 8));
  mix(static_cast<std::uint8_t>(key.highPort));
  mix(static_cast<std::uint8_t>(key.highPort >> 8));
  mix(key.ipv6 ? 1 : 0);
  return static_cast<std::size_t>(h);
}

TrafficStats::TrafficStats(std::int64_t intervalNs) : intervalNs_(std::max<std::int64_t>(intervalNs, 1)) {}

ConnectionTotals& TrafficStats::EntryFor(const PacketRow& row, bool tcp) {
  const std::size_t next = connections_.size();
  std::size_t index = 0;
  if (tcp) {
    index = tcpIndex_.try_emplace(row.connection, next).first->second;
  } else {
    // Either end may send first; the key is the same both ways.
    UdpKey key{SourceOf(row), DestinationOf(row), row.sourcePort, row.destinationPort, row.ipv6};
    if (std::tie(key.high, key.highPort) < std::tie(key.low, key.lowPort)) {
      std::swap(key.low, key.high);
      std::swap(key.lowPort, key.highPort);
    }
    index = udpIndex_.try_emplace(key, next).first->second;
  }
  if (index == next) {
    ConnectionTotals& entry = connections_.emplace_back();
    entry.connection = tcp ? row.connection : 0;
    entry.tcp = tcp;
    entry.ipv6 = row.ipv6;
    entry.addressA = SourceOf(row);
    entry.addressB = DestinationOf(row);
    entry.portA = row.sourcePort;
    entry.portB = row.destinationPort;
  }
  return connections_[index];
}

void TrafficStats::Add(const PacketRow& row) {
  AddInterval(row);
  const bool tcp = row.kind == RowKind::Tcp && row.connection > 0;
  if (!tcp && row.kind != RowKind::Udp) return;
  ConnectionTotals& entry = EntryFor(row, tcp);
  // A frame from A to itself (a loopback pair with equal ports) counts as A to B.
  const bool fromA = entry.addressA == SourceOf(row) && entry.portA == row.sourcePort;
  const std::int64_t bytes = std::max(row.wireLength, row.length);
  if (fromA) {
    ++entry.framesAToB;
    entry.bytesAToB += bytes;
  } else {
    ++entry.framesBToA;
    entry.bytesBToA += bytes;
  }
  if (row.timeKnown) {
    // Within a file time may go backwards: first and last are the extremes, not the ends.
    if (!entry.timeKnown) {
      entry.firstNs = entry.lastNs = row.timeNs;
      entry.timeKnown = true;
    }
    entry.firstNs = std::min(entry.firstNs, row.timeNs);
    entry.lastNs = std::max(entry.lastNs, row.timeNs);
  }
  if (!tcp) return;
  if (row.tcpFlags & TcpFin) entry.finSeen |= fromA ? 1 : 2;
  if ((row.tcpFlags & TcpReset) || entry.finSeen == 3) entry.closed = true;
  const std::string_view call =
      InferSocketCall(row.tcpFlags, row.outgoing ? Direction::Outgoing : Direction::Incoming, row.length,
                      NoPayloadFrameLength(row.ipHeaderBytes));
  if (!call.empty()) entry.lastSocketCall = call;
}

void TrafficStats::AddInterval(const PacketRow& row) {
  // A frame without a time goes with the last frame that had one; a frame before the
  // time origin (time went backwards in the file) into the first interval.
  if (row.timeKnown) lastKnownNs_ = row.timeNs;
  const std::int64_t at = std::max<std::int64_t>(lastKnownNs_, 0);
  const std::size_t index = std::min(static_cast<std::size_t>(at / intervalNs_), MaxIntervals - 1);
  if (index >= intervals_.size()) intervals_.resize(index + 1);
  IoInterval& interval = intervals_[index];
  const std::int64_t bytes = std::max(row.wireLength, row.length);
  if (row.outgoing) {
    ++interval.framesOut;
    interval.bytesOut += bytes;
  } else {
    ++interval.framesIn;
    interval.bytesIn += bytes;
  }
}

std::string ConnectionsTsv(const TrafficStats& stats, bool atEnd) {
  std::string out =
      "Connection\tProtocol\tAddress A\tPort A\tAddress B\tPort B\tFrames A to B\tBytes A to B\tFrames B to A\t"
      "Bytes B to A\tFirst\tLast\tDuration\tState\tLast Socket Call\n";
  for (const ConnectionTotals& c : stats.Connections()) {
    if (c.tcp) out += std::to_string(c.connection);
    out += c.tcp ? "\tTCP\t" : "\tUDP\t";
    AppendAddress(out, c.addressA, c.ipv6);
    AppendNumbers(out, c.portA);
    out += '\t';
    AppendAddress(out, c.addressB, c.ipv6);
    AppendNumbers(out, c.portB, c.framesAToB, c.bytesAToB, c.framesBToA, c.bytesBToA);
    out += '\t';
    if (c.timeKnown) AppendSeconds(out, c.firstNs);
    out += '\t';
    if (c.timeKnown) AppendSeconds(out, c.lastNs);
    out += '\t';
    if (c.timeKnown) AppendSeconds(out, c.lastNs - c.firstNs);
    out += '\t';
    if (c.tcp) out += c.closed ? "closed" : atEnd ? "still open" : "open";
    out += '\t';
    out += c.lastSocketCall;
    out += '\n';
  }
  return out;
}

std::string IntervalsTsv(const TrafficStats& stats) {
  std::string out = "Start\tEnd\tFrames In\tBytes In\tFrames Out\tBytes Out\n";
  std::int64_t start = 0;
  for (const IoInterval& interval : stats.Intervals()) {
    AppendSeconds(out, start);
    start += stats.IntervalNs();
    out += '\t';
    AppendSeconds(out, start);
    AppendNumbers(out, interval.framesIn, interval.bytesIn, interval.framesOut, interval.bytesOut);
    out += '\n';
  }
  return out;
}
