// Per-interval and per-connection totals, fed rows as the decoder makes them.

#include <gtest/gtest.h>

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
  TrafficStats stats;
  for (const PacketRow& row : {tcp(1, true, Syn, 5), tcp(1, false, Syn | Ack, 3), tcp(1, true, Fin | Ack, 9),
                               tcp(2, false, Ack, 4), udp(false, 5353, 6), tcp(1, false, Fin | Ack, 8),
                               udp(true, 5353, 7), udp(true, 5354, 8), tcp(3, true, Fin | Ack, 9), tcp(4, true, Rst, 9)})
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
  };
  std::vector<Expected> got;
  for (const ConnectionTotals& c : stats.Connections())
    got.emplace_back(c.connection, c.portA, int(c.framesAToB), int(c.bytesAToB), int(c.framesBToA),
                     int(c.bytesBToA), c.firstNs, c.lastNs, c.closed);
  EXPECT_EQ(got, expected);
}

}  // namespace
