#include "analysis/traffic_stats.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <tuple>

#include "analysis/connection_tracker.h"
#include "analysis/ip_address.h"
#include "analysis/mac_text.h"
#include "analysis/row_store.h"

namespace {

// The marked entries of one table into the copy's, noted there for its readers; the marks
// are then cleared.
template <typename Entry, typename ChangeList>
void CopyChanged(const std::vector<Entry>& from, std::vector<std::uint8_t>& marks, std::vector<std::uint32_t>& changed,
                 std::vector<Entry>& to, ChangeList& copied) {
  to.resize(from.size());
  for (const std::uint32_t entry : changed) {
    to[entry] = from[entry];
    marks[entry] = 0;
  }
  copied.Note(changed, from.size());
  changed.clear();
}

constexpr std::uint8_t TcpFin = 0x01;
constexpr std::uint8_t TcpReset = 0x04;

std::array<std::uint8_t, 16> SourceOf(const PacketRow& row) {
  std::array<std::uint8_t, 16> out{};
  if (row.ipv6) return row.ipv6Source;
  std::memcpy(out.data(), row.ipSource.data(), 4);
  return out;
}

std::array<std::uint8_t, 16> DestinationOf(const PacketRow& row) {
  std::array<std::uint8_t, 16> out{};
  if (row.ipv6) return row.ipv6Destination;
  std::memcpy(out.data(), row.ipDestination.data(), 4);
  return out;
}

std::uint64_t Word(const std::uint8_t* bytes) {
  std::uint64_t v = 0;
  std::memcpy(&v, bytes, sizeof v);
  return v;
}

// A hash of an address (and a port or a kind), eight bytes at a time: looked up for
// every UDP frame and every new connection.
std::uint64_t AddressHash(const std::array<std::uint8_t, 16>& address, std::uint64_t extra) {
  std::uint64_t h = (extra + 1) * 0x9e3779b97f4a7c15ull;
  for (const std::uint64_t v : {Word(address.data()), Word(address.data() + 8)}) {
    h = (h ^ v) * 0xff51afd7ed558ccdull;
    h ^= h >> 32;
  }
  return h;
}

void AppendAddress(std::string& out, const std::array<std::uint8_t, 16>& address, bool ipv6) {
  out += AddressText(address, ipv6);
}

bool IsIp(RowKind kind) { return kind >= RowKind::Ipv4Unlisted; }

// Whether two arrays hold the same bytes. std::array's == calls memcmp with a length it
// works out at run time; a constant one lets the compiler compare in a few loads, and
// these comparisons are made for every frame.
template <std::size_t N>
bool Same(const std::array<std::uint8_t, N>& a, const std::array<std::uint8_t, N>& b) {
  return std::memcmp(a.data(), b.data(), N) == 0;
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

TrafficStats::TrafficStats(std::int64_t intervalNs, bool intervalsOnly)
    : intervalNs_(std::max<std::int64_t>(intervalNs, 1)), intervalsOnly_(intervalsOnly) {}

std::size_t TrafficStats::EntryFor(const PacketRow& row, bool tcp) {
  const std::size_t next = connections_.size();
  std::size_t index = 0;
  if (tcp && row.connection < DenseConnections) {
    // Connection numbers count up from 1: a plain table finds them without hashing.
    const auto number = static_cast<std::size_t>(row.connection);
    if (number >= tcpByNumber_.size()) tcpByNumber_.resize(std::max(number + 1, tcpByNumber_.size() * 2), 0);
    if (tcpByNumber_[number] == 0) tcpByNumber_[number] = static_cast<std::uint32_t>(next + 1);
    index = tcpByNumber_[number] - 1;
  } else if (tcp) {
    index = tcpIndex_.FindOrAdd(
        static_cast<std::uint64_t>(row.connection) * 0x9e3779b97f4a7c15ull >> 32,
        [&](std::uint32_t entry) { return connections_[entry].connection == row.connection; },
        [&] { return static_cast<std::uint32_t>(next); });
  } else {
    const std::array<std::uint8_t, 16> source = SourceOf(row), destination = DestinationOf(row);
    index = udpIndex_.FindOrAdd(
        UdpHash(source, row.sourcePort, destination, row.destinationPort, row.ipv6),
        [&](std::uint32_t entry) { return SamePair(connections_[entry], row, source, destination); },
        [&] { return static_cast<std::uint32_t>(next); });
  }
  if (index == next) {
    ConnectionTotals& entry = connections_.emplace_back();
    connectionMarks_.push_back(0);
    entry.connection = tcp ? row.connection : 0;
    entry.tcp = tcp;
    entry.ipv6 = row.ipv6;
    entry.addressA = SourceOf(row);
    entry.addressB = DestinationOf(row);
    entry.portA = row.sourcePort;
    entry.portB = row.destinationPort;
    const EndpointKind kind = row.ipv6 ? EndpointKind::Ipv6 : EndpointKind::Ipv4;
    const std::size_t a = EndpointIndex(entry.addressA, kind);
    const std::size_t b = EndpointIndex(entry.addressB, kind);
    ends_.emplace_back(static_cast<std::uint32_t>(a), static_cast<std::uint32_t>(b));
    ++endpoints_[a].connections;
    // A connection of an address with itself counts once for it.
    if (b != a) ++endpoints_[b].connections;
  }
  return index;
}

void TrafficStats::Add(const PacketRow& row) {
  const std::int64_t bytes = std::max(row.wireLength, row.length);
  ++frames_;
  bytes_ += bytes;
  AddInterval(row, bytes);
  if (intervalsOnly_) return;
  AddProtocol(row, bytes);
  const bool tcp = row.kind == RowKind::Tcp && row.connection > 0;
  if (!tcp && row.kind != RowKind::Udp) {
    AddMacEndpoints(row, bytes, false);
    if (IsIp(row.kind)) {
      const EndpointKind kind = row.ipv6 ? EndpointKind::Ipv6 : EndpointKind::Ipv4;
      CountEndpoints(EndpointIndex(SourceOf(row), kind), EndpointIndex(DestinationOf(row), kind), bytes);
    }
    return;
  }
  const std::size_t before = connections_.size();
  const std::size_t index = EntryFor(row, tcp);
  AddMacEndpoints(row, bytes, connections_.size() != before);
  MarkChanged(index, connectionMarks_, changedConnections_);
  ConnectionTotals& entry = connections_[index];
  // The row's ports are the entry's two: unless they are equal, its source port tells
  // the way without comparing addresses. A frame from A to itself (a loopback pair with
  // equal ports) counts as A to B.
  const bool fromA =
      entry.portA == row.sourcePort && (entry.portA != entry.portB || Same(entry.addressA, SourceOf(row)));
  const auto [a, b] = ends_[index];
  CountEndpoints(fromA ? a : b, fromA ? b : a, bytes);
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

void TrafficStats::AddRows(const RowStore& rows) {
  PacketRow row;
  for (std::int64_t r = 0, n = rows.RowCount(); r < n; ++r) {
    if (rows.PacketFields(r, row)) Add(row);
  }
}

void TrafficStats::AddKernelDrops(std::uint64_t totalDrops) {
  // A new trace starts its count again from 0.
  if (totalDrops < dropsSeen_) dropsSeen_ = 0;
  if (totalDrops == dropsSeen_) return;
  drops_.push_back(DropMark{std::max<std::int64_t>(lastKnownNs_, 0), totalDrops - dropsSeen_});
  dropsSeen_ = totalDrops;
}

bool TrafficStats::SamePair(const ConnectionTotals& c, const PacketRow& row, const std::array<std::uint8_t, 16>& source,
                            const std::array<std::uint8_t, 16>& destination) {
  return !c.tcp && c.ipv6 == row.ipv6 &&
         ((c.portA == row.sourcePort && c.portB == row.destinationPort && Same(c.addressA, source) &&
           Same(c.addressB, destination)) ||
          (c.portA == row.destinationPort && c.portB == row.sourcePort && Same(c.addressA, destination) &&
           Same(c.addressB, source)));
}

std::uint64_t TrafficStats::UdpHash(const std::array<std::uint8_t, 16>& a, std::uint16_t portA,
                                    const std::array<std::uint8_t, 16>& b, std::uint16_t portB, bool ipv6) {
  // The same both ways: either end may send first.
  const std::uint64_t h = AddressHash(a, portA) + AddressHash(b, portB) + ipv6;
  return h ^ (h >> 29);
}

void TrafficStats::Clear() { *this = TrafficStats(intervalNs_, intervalsOnly_); }

void TrafficStats::CopyChangesTo(TrafficStats& copy) {
  // An entry is marked as changed when it is made, so the marked entries are all the
  // copy lacks.
  CopyChanged(connections_, connectionMarks_, changedConnections_, copy.connections_, copy.copiedConnections_);
  CopyChanged(endpoints_, endpointMarks_, changedEndpoints_, copy.endpoints_, copy.copiedEndpoints_);
  copy.protocols_ = protocols_;  // a few entries
  CopyIntervalsTo(copy);
}

void TrafficStats::ChangeList::Note(const std::vector<std::uint32_t>& changed, std::size_t entryCount) {
  copy = true;
  if (all) return;
  entries.insert(entries.end(), changed.begin(), changed.end());
  // A copy whose changes no one takes would otherwise grow without end.
  if (entries.size() > entryCount) {
    all = true;
    entries.clear();
  }
}

bool TrafficStats::ChangeList::Take(std::vector<std::uint32_t>& out) {
  out.clear();
  if (!copy) return true;
  out.swap(entries);
  entries.clear();
  const bool wasAll = all;
  all = false;
  return wasAll;
}

void TrafficStats::CopyIntervalsTo(TrafficStats& copy) {
  copy.intervals_.resize(intervals_.size());
  if (firstChangedInterval_ < intervals_.size()) {
    std::copy(intervals_.begin() + static_cast<std::ptrdiff_t>(firstChangedInterval_), intervals_.end(),
              copy.intervals_.begin() + static_cast<std::ptrdiff_t>(firstChangedInterval_));
  }
  firstChangedInterval_ = SIZE_MAX;
  // Marks are only ever added.
  const std::size_t dropsKnown = std::min(copy.drops_.size(), drops_.size());
  copy.drops_.insert(copy.drops_.end(), drops_.begin() + static_cast<std::ptrdiff_t>(dropsKnown), drops_.end());
  copy.frames_ = frames_;
  copy.bytes_ = bytes_;
}

std::optional<std::size_t> TrafficStats::ConnectionOf(const PacketRow& row) const {
  if (row.kind == RowKind::Tcp && row.connection > 0 && row.connection < DenseConnections) {
    const auto number = static_cast<std::size_t>(row.connection);
    if (number < tcpByNumber_.size() && tcpByNumber_[number] != 0) return tcpByNumber_[number] - 1;
  } else if (row.kind == RowKind::Tcp && row.connection > 0) {
    const auto entry =
        tcpIndex_.Find(static_cast<std::uint64_t>(row.connection) * 0x9e3779b97f4a7c15ull >> 32,
                       [&](std::uint32_t e) { return connections_[e].connection == row.connection; });
    if (entry) return *entry;
  } else if (row.kind == RowKind::Udp) {
    const std::array<std::uint8_t, 16> source = SourceOf(row), destination = DestinationOf(row);
    const auto entry = udpIndex_.Find(UdpHash(source, row.sourcePort, destination, row.destinationPort, row.ipv6),
                                      [&](std::uint32_t e) { return SamePair(connections_[e], row, source, destination); });
    if (entry) return *entry;
  }
  return std::nullopt;
}

std::size_t TrafficStats::EndpointIndex(const std::array<std::uint8_t, 16>& address, EndpointKind kind) {
  const bool mac = kind == EndpointKind::Mac, ipv6 = kind == EndpointKind::Ipv6;
  return endpointIndex_.FindOrAdd(
      AddressHash(address, static_cast<std::uint64_t>(kind)),
      [&](std::uint32_t entry) {
        const EndpointTotals& e = endpoints_[entry];
        return e.mac == mac && e.ipv6 == ipv6 && Same(e.address, address);
      },
      [&] {
        EndpointTotals& entry = endpoints_.emplace_back();
        endpointMarks_.push_back(0);
        entry.mac = mac;
        entry.ipv6 = ipv6;
        entry.address = address;
        return static_cast<std::uint32_t>(endpoints_.size() - 1);
      });
}

void TrafficStats::CountEndpoints(std::size_t from, std::size_t to, std::int64_t bytes) {
  MarkChanged(from, endpointMarks_, changedEndpoints_);
  MarkChanged(to, endpointMarks_, changedEndpoints_);
  EndpointTotals& sender = endpoints_[from];
  ++sender.framesSent;
  sender.bytesSent += bytes;
  EndpointTotals& receiver = endpoints_[to];
  ++receiver.framesReceived;
  receiver.bytesReceived += bytes;
}

void TrafficStats::AddMacEndpoints(const PacketRow& row, std::int64_t bytes, bool newConnection) {
  constexpr std::array<std::uint8_t, 6> noMac{};
  if (Same(row.macSource, noMac) && Same(row.macDestination, noMac)) return;
  std::size_t a = 0, b = 0;
  if (lastMacEnds_.first != SIZE_MAX && Same(row.macSource, lastMacSource_) && Same(row.macDestination, lastMacDestination_)) {
    std::tie(a, b) = lastMacEnds_;
  } else if (lastMacEnds_.first != SIZE_MAX && Same(row.macSource, lastMacDestination_) &&
             Same(row.macDestination, lastMacSource_)) {
    std::tie(b, a) = lastMacEnds_;
  } else {
    std::array<std::uint8_t, 16> from{}, to{};
    std::copy(row.macSource.begin(), row.macSource.end(), from.begin());
    std::copy(row.macDestination.begin(), row.macDestination.end(), to.begin());
    a = EndpointIndex(from, EndpointKind::Mac);
    b = EndpointIndex(to, EndpointKind::Mac);
    lastMacSource_ = row.macSource;
    lastMacDestination_ = row.macDestination;
    lastMacEnds_ = {a, b};
  }
  CountEndpoints(a, b, bytes);
  if (!newConnection) return;
  ++endpoints_[a].connections;
  if (b != a) ++endpoints_[b].connections;
}

void TrafficStats::AddProtocol(const PacketRow& row, std::int64_t bytes) {
  const std::uint16_t type = row.etherType > 1500 ? row.etherType : 0;
  const auto find = [&](std::uint32_t key, bool upper) {
    const auto index = static_cast<std::uint32_t>(protocolIndex_.try_emplace(key, protocols_.size()).first->second);
    if (index == protocols_.size()) {
      protocols_.push_back(ProtocolTotals{type, upper, row.ipv6, upper ? row.ipProtocol : std::uint8_t{0}, 0, 0});
    }
    return index;
  };
  // Protocols are looked up in the table only when they differ from what a small cache
  // holds: the last frame's EtherType, and an entry per upper-layer protocol number.
  if (lastEtherType_.second == UINT32_MAX || lastEtherType_.first != type) lastEtherType_ = {type, find(type, false)};
  ProtocolTotals& ether = protocols_[lastEtherType_.second];
  ++ether.frames;
  ether.bytes += bytes;
  if (!IsIp(row.kind)) return;
  // The upper-layer rows carry bit 16 so that they never meet an EtherType's key.
  const std::uint32_t key = 0x10000u | (std::uint32_t{type} << 8) | row.ipProtocol;
  std::pair<std::uint32_t, std::uint32_t>& cached = lastUpper_[row.ipProtocol];
  if (cached.second == UINT32_MAX || cached.first != key) cached = {key, find(key, true)};
  ProtocolTotals& upper = protocols_[cached.second];
  ++upper.frames;
  upper.bytes += bytes;
}

void TrafficStats::AddInterval(const PacketRow& row, std::int64_t bytes) {
  // A frame without a time goes with the last frame that had one; a frame before the
  // time origin (time went backwards in the file) into the first interval.
  if (row.timeKnown) lastKnownNs_ = row.timeNs;
  const std::int64_t at = std::max<std::int64_t>(lastKnownNs_, 0);
  // Frames come in time order almost always, mostly many to an interval: the last
  // interval hit is tried before dividing.
  if (at < lastIntervalStart_ || at - lastIntervalStart_ >= intervalNs_) {
    lastInterval_ = std::min(static_cast<std::size_t>(at / intervalNs_), MaxIntervals - 1);
    lastIntervalStart_ = lastInterval_ == MaxIntervals - 1 ? at : static_cast<std::int64_t>(lastInterval_) * intervalNs_;
    if (lastInterval_ >= intervals_.size()) intervals_.resize(lastInterval_ + 1);
  }
  const std::size_t index = lastInterval_;
  firstChangedInterval_ = std::min(firstChangedInterval_, index);
  IoInterval& interval = intervals_[index];
  if (row.outgoing) {
    ++interval.framesOut;
    interval.bytesOut += bytes;
  } else {
    ++interval.framesIn;
    interval.bytesIn += bytes;
  }
}

std::string AddressText(const std::array<std::uint8_t, 16>& address, bool ipv6) {
  char text[Ipv6TextMost + 1];
  const char* end = ipv6 ? PutIpv6Text(text, address) : PutIpv4(text, {address[0], address[1], address[2], address[3]});
  return std::string(text, static_cast<std::size_t>(end - text));
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

namespace {

PacketRow FamilyRow(bool ipv6) {
  PacketRow row;
  row.ipv6 = ipv6;
  row.etherType = ipv6 ? 0x86DD : 0x0800;
  return row;
}

void PutAddress(PacketRow& row, const std::array<std::uint8_t, 16>& a, const std::array<std::uint8_t, 16>& b) {
  row.ipv6Source = a;
  row.ipv6Destination = b;
  std::copy_n(a.begin(), 4, row.ipSource.begin());
  std::copy_n(b.begin(), 4, row.ipDestination.begin());
}

std::uint32_t Clamped(std::int64_t bytes) {
  return static_cast<std::uint32_t>(std::clamp<std::int64_t>(bytes, 0, UINT32_MAX));
}

}  // namespace

StatsFilterRow::StatsFilterRow(const ConnectionTotals& c) : row_(FamilyRow(c.ipv6)) {
  row_.kind = c.tcp ? RowKind::Tcp : RowKind::Udp;
  row_.ipProtocol = c.tcp ? 6 : 17;
  PutAddress(row_, c.addressA, c.addressB);
  row_.sourcePort = c.portA;
  row_.destinationPort = c.portB;
  row_.connection = c.connection;
  row_.length = row_.wireLength = Clamped(c.bytesAToB + c.bytesBToA);
  row_.timeKnown = c.timeKnown;
  row_.timeNs = c.firstNs;
  lengths_.fill(-1);
}

StatsFilterRow::StatsFilterRow(const EndpointTotals& e) {
  if (e.mac) {
    std::copy_n(e.address.begin(), 6, row_.macSource.begin());
    row_.macDestination = row_.macSource;
  } else {
    row_ = FamilyRow(e.ipv6);
    row_.kind = RowKind::Ipv4;
    PutAddress(row_, e.address, e.address);
  }
  row_.length = row_.wireLength = Clamped(e.bytesSent + e.bytesReceived);
  lengths_.fill(-1);
}

StatsFilterRow::StatsFilterRow(const ProtocolTotals& p) {
  row_.etherType = p.etherType;
  row_.ipv6 = p.ipv6;
  if (p.upperLayer) {
    row_.kind = p.ipProtocol == 6 ? RowKind::Tcp : p.ipProtocol == 17 ? RowKind::Udp : RowKind::Ipv4;
    row_.ipProtocol = p.ipProtocol;
  }
  row_.length = row_.wireLength = Clamped(p.bytes);
  lengths_.fill(-1);
}

std::string_view StatsFilterRow::Cell(ColumnId id) const {
  const auto c = static_cast<std::size_t>(id);
  if (c >= texts_.size()) return {};
  // A UDP pair's ports are matched as a TCP connection's are (port 53 finds it), though
  // a frame's row shows ports for TCP only.
  const bool udpPort = row_.kind == RowKind::Udp && (id == ColumnId::TcpSourcePort || id == ColumnId::TcpDestinationPort);
  if (udpPort && lengths_[c] < 0) {
    const std::uint16_t port = id == ColumnId::TcpSourcePort ? row_.sourcePort : row_.destinationPort;
    lengths_[c] = static_cast<std::int16_t>(std::to_chars(texts_[c].data(), texts_[c].data() + 8, port).ptr - texts_[c].data());
  }
  if (!udpPort && !CellApplies(row_, id)) return {};
  // Only the fields a table row has: a connection has no sequence numbers or Data.
  switch (id) {
    case ColumnId::PacketNumber:
    case ColumnId::InOut:
    case ColumnId::TcpSequenceNumber:
    case ColumnId::TcpAcknowledgementNumber:
    case ColumnId::TcpFlags:
    case ColumnId::TcpWindow:
    case ColumnId::TcpChecksum:
    case ColumnId::WinsockFunction:
    case ColumnId::Data:
      return {};
    case ColumnId::MacSource:
    case ColumnId::MacDestination:
      if (row_.macSource == std::array<std::uint8_t, 6>{}) return {};
      break;
    case ColumnId::TcpConnectionNumber:
      if (row_.connection <= 0) return {};
      break;
    default:
      break;
  }
  if (lengths_[c] < 0) lengths_[c] = static_cast<std::int16_t>(PutCellText(texts_[c].data(), row_, id) - texts_[c].data());
  return {texts_[c].data(), static_cast<std::size_t>(lengths_[c])};
}
