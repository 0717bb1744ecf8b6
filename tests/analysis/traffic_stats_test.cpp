// Per-interval and per-connection totals, fed rows as the decoder makes them.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "analysis/traffic_stats.h"

namespace {

constexpr std::int64_t Second = 1'000'000'000;

struct Frame { std::int64_t timeNs; bool outgoing; std::uint32_t wireLength; };  // a time of -1: not known

PacketRow TimedRow(const Frame& f) {
  return {.timeNs = f.timeNs == -1 ? 0 : f.timeNs, .timeKnown = f.timeNs != -1, .length = 60,
          .wireLength = f.wireLength, .outgoing = f.outgoing};
}

TEST(TrafficStatsTest, FramesFallIntoTheIntervalOfTheirTime) {
  struct Case {
    const char* name;
    std::vector<Frame> frames;
    std::vector<std::tuple<int, int, int, int>> expected;  // frames and bytes in, out
  };
  const std::vector<Case> cases = {
      {"edges", {{0, false, 60}, {Second - 1, false, 70}, {Second, true, 80}}, {{2, 130, 0, 0}, {0, 0, 1, 80}}},
      {"idle gap", {{0, true, 60}, {3 * Second + 5, false, 60}}, {{0, 0, 1, 60}, {}, {}, {1, 60, 0, 0}}},
      {"backwards", {{2 * Second, false, 60}, {Second / 2, false, 60}, {-Second, false, 60}}, {{2, 120, 0, 0}, {}, {1, 60, 0, 0}}},
      {"no time joins the last", {{Second, false, 60}, {-1, true, 60}}, {{}, {1, 60, 1, 60}}},
      {"back and forth", {{Second + 5, false, 60}, {Second / 2, false, 60}, {Second + 7, false, 60}}, {{1, 60, 0, 0}, {2, 120, 0, 0}}},
      {"cut frame counts its wire length", {{0, false, 1514}}, {{1, 1514, 0, 0}}},
  };
  for (const Case& c : cases) {
    TrafficStats stats(Second);
    for (const Frame& f : c.frames) stats.Add(TimedRow(f));
    std::vector<std::tuple<int, int, int, int>> got;
    for (const IoInterval& i : stats.Intervals())
      got.emplace_back(int(i.framesIn), int(i.bytesIn), int(i.framesOut), int(i.bytesOut));
    EXPECT_EQ(got, c.expected) << c.name;
  }
}

TEST(TrafficStatsTest, ConnectionsCountEachWayFromTheFirstSender) {
  const auto tcp = [](std::int64_t conn, bool fromLow, std::uint8_t flags, std::int64_t t) {
    PacketRow row = TimedRow({t, fromLow, 100});
    row.kind = RowKind::Tcp;
    row.connection = conn;
    row.tcpFlags = flags;
    row.ipSource = fromLow ? std::array<std::uint8_t, 4>{10, 0, 0, 1} : std::array<std::uint8_t, 4>{10, 0, 0, 2};
    row.ipDestination = fromLow ? std::array<std::uint8_t, 4>{10, 0, 0, 2} : std::array<std::uint8_t, 4>{10, 0, 0, 1};
    row.sourcePort = fromLow ? 40000 : 80;
    row.destinationPort = fromLow ? 80 : 40000;
    return row;
  };
  const auto udp = [&](bool fromLow, std::uint16_t lowPort, std::int64_t t) {
    PacketRow row = tcp(0, fromLow, 0, t);
    row.kind = RowKind::Udp;
    (fromLow ? row.sourcePort : row.destinationPort) = lowPort;
    return row;
  };
  constexpr std::uint8_t Syn = 0x02, Fin = 0x01, Rst = 0x04, Ack = 0x10;
  // Both ends on one port: only the addresses tell the way.
  const auto samePort = [&](bool fromLow, std::int64_t t) {
    PacketRow row = udp(fromLow, 123, t);
    row.sourcePort = row.destinationPort = 123;
    return row;
  };
  TrafficStats stats;
  for (const PacketRow& row : {tcp(1, true, Syn, 5), tcp(1, false, Syn | Ack, 3), tcp(1, true, Fin | Ack, 9),
                               tcp(2, false, Ack, 4), udp(false, 5353, 6), tcp(1, false, Fin | Ack, 8),
                               udp(true, 5353, 7), udp(true, 5354, 8), tcp(3, true, Fin | Ack, 9), tcp(4, true, Rst, 9),
                               samePort(true, 10), samePort(false, 11), samePort(false, 12)})
    stats.Add(row);
  // connection, A's port, frames and bytes A to B, B to A, first, last, closed
  using Expected = std::tuple<std::int64_t, int, int, int, int, int, std::int64_t, std::int64_t, bool>;
  const std::vector<Expected> expected = {
      {1, 40000, 2, 200, 2, 200, 3, 9, true},   // a FIN from each end; time went back to 3
      {2, 80, 1, 100, 0, 0, 4, 4, false},
      {0, 80, 1, 100, 1, 100, 6, 7, false},     // one UDP pair whichever end sends
      {0, 5354, 1, 100, 0, 0, 8, 8, false},     // another port, another pair
      {3, 40000, 1, 100, 0, 0, 9, 9, false},    // a FIN from one end only
      {4, 40000, 1, 100, 0, 0, 9, 9, true},     // a reset
      {0, 123, 1, 100, 2, 200, 10, 12, false},
  };
  std::vector<Expected> got;
  for (const ConnectionTotals& c : stats.Connections())
    got.emplace_back(c.connection, c.portA, int(c.framesAToB), int(c.bytesAToB), int(c.framesBToA),
                     int(c.bytesBToA), c.firstNs, c.lastNs, c.closed);
  EXPECT_EQ(got, expected);
}

TEST(TrafficStatsTest, EndpointsAndProtocolsCountEveryFrameUntilCleared) {
  const auto ip = [](std::uint8_t from, std::uint8_t to, RowKind kind, std::uint8_t protocol) {
    PacketRow row = TimedRow({0, false, 100});
    row.kind = kind;
    row.etherType = 0x0800;
    row.ipProtocol = protocol;
    row.ipSource = {10, 0, 0, from};
    row.ipDestination = {10, 0, 0, to};
    row.macSource = {2, 0, 0, 0, 0, from};
    row.macDestination = {2, 0, 0, 0, 0, to};
    row.connection = kind == RowKind::Tcp ? 1 : 0;
    return row;
  };
  PacketRow hidden = ip(1, 3, RowKind::Ipv4, 1);  // MACs not kept: no MAC endpoint
  hidden.macSource = hidden.macDestination = {};
  PacketRow ieee = TimedRow({0, false, 64});
  ieee.etherType = 100;
  TrafficStats stats;
  for (const PacketRow& row : {ip(1, 2, RowKind::Tcp, 6), ip(2, 1, RowKind::Tcp, 6), ip(1, 2, RowKind::Udp, 17), hidden, ieee})
    stats.Add(row);
  stats.AddKernelDrops(4);
  stats.AddKernelDrops(4);
  stats.AddKernelDrops(9);

  // address's last byte (MACs +100), frames and bytes sent and received, connections
  using Endpoint = std::tuple<int, int, int, int, int, int>;
  std::vector<Endpoint> endpoints;
  for (const EndpointTotals& e : stats.Endpoints())
    endpoints.emplace_back(e.address[e.mac ? 5 : 3] + (e.mac ? 100 : 0), int(e.framesSent), int(e.bytesSent),
                           int(e.framesReceived), int(e.bytesReceived), int(e.connections));
  EXPECT_EQ(endpoints, (std::vector<Endpoint>{{1, 3, 300, 1, 100, 2}, {2, 1, 100, 2, 200, 2}, {101, 2, 200, 1, 100, 2},
                                              {102, 1, 100, 2, 200, 2}, {3, 0, 0, 1, 100, 0}}));
  using Protocol = std::tuple<int, bool, int, int, int>;  // EtherType, upper layer, protocol, frames, bytes
  std::vector<Protocol> protocols;
  for (const ProtocolTotals& p : stats.Protocols())
    protocols.emplace_back(p.etherType, p.upperLayer, p.ipProtocol, int(p.frames), int(p.bytes));
  EXPECT_EQ(protocols, (std::vector<Protocol>{{0x0800, false, 0, 4, 400}, {0x0800, true, 6, 2, 200},
                                              {0x0800, true, 17, 1, 100}, {0x0800, true, 1, 1, 100}, {0, false, 0, 1, 64}}));
  ASSERT_EQ(stats.Drops().size(), 2u);
  EXPECT_EQ(stats.Drops()[1].drops, 5u);
  EXPECT_EQ(stats.Frames(), 5);

  stats.Clear();
  EXPECT_EQ(stats.Frames(), 0);
  EXPECT_TRUE(stats.Connections().empty() && stats.Endpoints().empty() && stats.Protocols().empty() &&
              stats.Intervals().empty() && stats.Drops().empty());
}

TEST(TrafficStatsTest, EveryConnectionIsFoundAgainAmongMany) {
  // Enough UDP pairs to grow their table several times, and TCP numbers small and huge.
  TrafficStats stats;
  const auto udp = [](int i, bool reply) {
    PacketRow row = TimedRow({0, reply, 60});
    row.kind = RowKind::Udp;
    row.ipSource = {10, 1, static_cast<std::uint8_t>(i >> 8), static_cast<std::uint8_t>(i)};
    row.ipDestination = {10, 0, 0, 53};
    row.sourcePort = static_cast<std::uint16_t>(1024 + i % 7);
    row.destinationPort = 53;
    if (reply) {
      std::swap(row.ipSource, row.ipDestination);
      std::swap(row.sourcePort, row.destinationPort);
    }
    return row;
  };
  PacketRow tcp = TimedRow({0, false, 60});
  tcp.kind = RowKind::Tcp;
  for (const std::int64_t number : {std::int64_t{3}, std::int64_t{1} << 40}) {
    tcp.connection = number;
    stats.Add(tcp);
  }
  for (int i = 0; i < 3000; ++i) stats.Add(udp(i, false));
  for (int i = 2999; i >= 0; --i) stats.Add(udp(i, true));
  ASSERT_EQ(stats.Connections().size(), 3002u);
  for (int i = 0; i < 3000; i += 997) {
    const std::optional<std::size_t> entry = stats.ConnectionOf(udp(i, true));
    ASSERT_TRUE(entry);
    EXPECT_EQ(stats.Connections()[*entry].framesBToA, 1) << i;
  }
  tcp.connection = std::int64_t{1} << 40;
  EXPECT_EQ(stats.ConnectionOf(tcp), std::optional<std::size_t>(1));
  tcp.connection = 4;
  EXPECT_EQ(stats.ConnectionOf(tcp), std::nullopt);
}

TEST(TrafficStatsTest, TableRowsMatchTheDisplayFilterOnTheirOwnFields) {
  ConnectionTotals tcp{.connection = 7, .tcp = true, .addressA = {10, 0, 0, 1}, .addressB = {10, 0, 0, 2},
                       .portA = 40000, .portB = 443, .bytesAToB = 900, .bytesBToA = 300,
                       .firstNs = 2'500'000'000, .timeKnown = true};
  ConnectionTotals udp{.addressA = {10, 0, 0, 1}, .addressB = {10, 0, 0, 53}, .portA = 5000, .portB = 53};
  EndpointTotals mac{.mac = true, .address = {2, 0, 0, 0, 0, 9}};
  EndpointTotals v6{.ipv6 = true, .address = {0xfe, 0x80, 15, 1}};
  v6.address[15] = 1;
  ProtocolTotals arp{.etherType = 0x0806};
  ProtocolTotals tcpUnderIp{.etherType = 0x0800, .upperLayer = true, .ipProtocol = 6};
  const StatsFilterRow rows[] = {StatsFilterRow(tcp), StatsFilterRow(udp), StatsFilterRow(mac), StatsFilterRow(v6),
                                 StatsFilterRow(arp), StatsFilterRow(tcpUnderIp)};
  struct Case {
    const char* expression;
    std::vector<bool> kept;  // by the rows above, in order
  };
  const std::vector<Case> cases = {
      {"ip.src == 10.0.0.1", {true, true, false, false, false, false}},
      {"ip == 10.0.0.2", {true, false, false, false, false, false}},
      {"port 53", {false, true, false, false, false, false}},
      {"conn == 7 and bytes == 1200", {true, false, false, false, false, false}},
      {"time >= 2.5 and time < 2.6", {true, false, false, false, false, false}},
      {"tcp", {true, false, false, false, false, true}},
      {"udp", {false, true, false, false, false, false}},
      {"mac == 02:00:00:00:00:09", {false, false, true, false, false, false}},
      {"ip == fe80:f01::1", {false, false, false, true, false, false}},
      {"arp", {false, false, false, false, true, false}},
      {"winsock contains \"r\" or data contains \"x\" or seq > 0", {false, false, false, false, false, false}},
  };
  for (const Case& c : cases) {
    FilterError error;
    const std::optional<RowFilter> filter = RowFilter::Compile(c.expression, &error);
    ASSERT_TRUE(filter) << c.expression << ": " << error.Message(0);
    std::vector<bool> kept;
    for (const StatsFilterRow& row : rows) kept.push_back(filter->Matches(row));
    EXPECT_EQ(kept, c.kept) << c.expression;
  }
}


// Everything a copy shows, as text.
std::string Described(const TrafficStats& s) {
  std::string out = ConnectionsTsv(s, false) + IntervalsTsv(s);
  for (const EndpointTotals& e : s.Endpoints())
    out += AddressText(e.address, e.ipv6) + " " + std::to_string(e.framesSent) + " " + std::to_string(e.bytesReceived) + "\n";
  for (const ProtocolTotals& p : s.Protocols()) out += std::to_string(p.frames) + " " + std::to_string(p.bytes) + "\n";
  for (const DropMark& d : s.Drops()) out += std::to_string(d.timeNs) + " " + std::to_string(d.drops) + "\n";
  return out + std::to_string(s.Frames()) + " " + std::to_string(s.Bytes());
}

TEST(TrafficStatsTest, ACopyTakesEveryChangeSinceItsLastCopy) {
  const auto tcp = [](std::int64_t conn, bool fromA, std::int64_t t) {
    PacketRow row = TimedRow({t, fromA, 100});
    row.kind = RowKind::Tcp;
    row.etherType = 0x0800;
    row.connection = conn;
    row.ipSource = {10, 0, static_cast<std::uint8_t>(fromA ? 1 : conn + 1), 1};
    row.ipDestination = {10, 0, static_cast<std::uint8_t>(fromA ? conn + 1 : 1), 1};
    row.sourcePort = fromA ? 40000 : 80;
    row.destinationPort = fromA ? 80 : 40000;
    return row;
  };
  struct Step {
    const char* name;
    bool clear;
    std::vector<PacketRow> rows;
    std::uint64_t drops;
    bool intervalsOnly;
  };
  const std::vector<Step> steps = {
      {"new connections", false, {tcp(1, true, Second / 2), tcp(2, true, 3 * Second / 2)}, 0, false},
      {"an old one again, a drop: intervals only", false, {tcp(1, false, 5 * Second / 2)}, 3, true},
      {"an earlier interval, and what the last step left", false, {tcp(3, true, Second / 5)}, 3, false},
      {"after Clear", true, {tcp(4, true, Second)}, 0, false},
  };
  TrafficStats counted(Second), copy(Second);
  for (const Step& step : steps) {
    if (step.clear) {
      counted.Clear();
      copy.Clear();
    }
    const std::size_t connectionsBefore = copy.Connections().size();
    for (const PacketRow& row : step.rows) counted.Add(row);
    counted.AddKernelDrops(step.drops);
    if (!step.intervalsOnly) {
      counted.CopyChangesTo(copy);
      EXPECT_EQ(Described(copy), Described(counted)) << step.name;
      continue;
    }
    counted.CopyIntervalsTo(copy);
    EXPECT_EQ(IntervalsTsv(copy), IntervalsTsv(counted)) << step.name;
    EXPECT_EQ(copy.Drops().size(), counted.Drops().size()) << step.name;
    EXPECT_EQ(copy.Connections().size(), connectionsBefore) << step.name;
  }
}

TEST(TrafficStatsTest, ACopyListsTheEntriesItsCopiesChangedUntilTaken) {
  const auto udp = [](std::uint8_t host) {
    PacketRow row = TimedRow({0, false, 60});
    row.kind = RowKind::Udp;
    row.ipSource = {10, 0, 0, host};
    row.ipDestination = {10, 0, 0, 1};
    return row;
  };
  TrafficStats counted, copy;
  std::vector<std::uint32_t> entries;
  for (std::uint8_t host = 2; host < 6; ++host) counted.Add(udp(host));
  EXPECT_TRUE(copy.TakeChangedConnections(entries)) << "not a copy yet: anything may have changed";
  counted.CopyChangesTo(copy);
  EXPECT_TRUE(copy.TakeChangedConnections(entries)) << "the first copy";
  // Changes of two copies are kept together until taken; endpoints have their own list.
  counted.Add(udp(4));
  counted.CopyChangesTo(copy);
  counted.Add(udp(2));
  counted.CopyChangesTo(copy);
  EXPECT_FALSE(copy.TakeChangedConnections(entries));
  std::sort(entries.begin(), entries.end());
  EXPECT_EQ(entries, (std::vector<std::uint32_t>{0, 2}));
  EXPECT_FALSE(copy.TakeChangedConnections(entries));
  EXPECT_TRUE(entries.empty());
  EXPECT_TRUE(copy.TakeChangedEndpoints(entries)) << "never taken before";
  // More changes than entries, as when no one takes them: every entry.
  for (int round = 0; round < 3; ++round) {
    for (std::uint8_t host = 2; host < 6; ++host) counted.Add(udp(host));
    counted.CopyChangesTo(copy);
  }
  EXPECT_TRUE(copy.TakeChangedConnections(entries));
}

}  // namespace
