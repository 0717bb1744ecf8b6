#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "analysis/capture_state.h"
#include "analysis/connection_tracker.h"
#include "analysis/decoder.h"
#include "analysis/ip_layout.h"
#include "analysis/row_store.h"
#include "tests/support/frames.h"

using namespace frames;

namespace {

constexpr std::uint8_t FIN = 0x01, SYN = 0x02, RST = 0x04, PSH = 0x08, ACK = 0x10;

struct Step {
  bool outgoing;
  std::uint8_t flags;
  std::int64_t number;  // expected connection number
  std::int64_t live;    // expected liveConnections afterwards
};

std::int64_t Track(CaptureState& state, bool outgoing, std::uint8_t flags, std::uint16_t remotePort = 80) {
  const Bytes f = DecoderLink.TcpFrame(outgoing, {.sourcePort = remotePort, .destinationPort = 1025, .flags = flags});
  return TrackTcpSegment(f, outgoing ? Direction::Outgoing : Direction::Incoming, state);
}

struct CloseCase {
  const char* name;
  std::vector<Step> steps;
  friend void PrintTo(const CloseCase& c, std::ostream* os) { *os << c.name; }
};

class CloseSequence : public ::testing::TestWithParam<CloseCase> {};

TEST_P(CloseSequence, NumbersAndLiveCountFollowTheCloseRules) {
  CaptureState state;
  state.lastConnectionNumber = 6;  // numbers go on from wherever they stand
  int i = 0;
  for (const Step& s : GetParam().steps) {
    SCOPED_TRACE("step " + std::to_string(i++));
    EXPECT_EQ(Track(state, s.outgoing, s.flags), s.number);
    EXPECT_EQ(state.liveConnections, s.live);
    EXPECT_EQ(state.liveConnections, static_cast<std::int64_t>(state.connections.Size()));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Tracker, CloseSequence,
    ::testing::Values(
        CloseCase{"LocalActiveClose",
                  {{true, SYN, 7, 1}, {false, SYN | ACK, 7, 1}, {true, FIN | ACK, 7, 1},
                   {false, ACK, 7, 1}, {false, FIN | ACK, 7, 1}, {true, ACK, 7, 0},
                   // a late retransmission opens a new record with a new number
                   {false, FIN | ACK, 8, 1}}},
        CloseCase{"RemoteActiveClose",
                  {{false, SYN, 7, 1}, {false, FIN | ACK, 7, 1}, {true, ACK, 7, 1},
                   {true, FIN | ACK, 7, 1}, {false, ACK, 7, 0}}},
        CloseCase{"SimultaneousClose",
                  {{true, ACK, 7, 1}, {true, FIN | ACK, 7, 1}, {false, FIN | ACK, 7, 1},
                   {true, ACK, 7, 0}}},
        CloseCase{"FirstFrameFinIsNotRecorded",
                  {{true, FIN | ACK, 7, 1}, {false, ACK, 7, 1}, {false, FIN | ACK, 7, 1},
                   {true, ACK, 7, 1}, {true, FIN | ACK, 7, 1}, {false, ACK, 7, 0}}},
        CloseCase{"AckBeforeAnyFinRecordsNothing",
                  {{true, ACK, 7, 1}, {false, ACK, 7, 1}, {true, ACK, 7, 1}, {false, FIN, 7, 1},
                   {true, FIN, 7, 1}, {false, PSH | ACK, 7, 1}, {true, ACK, 7, 0}}},
        CloseCase{"ResetStaysUntilCleared",
                  {{true, SYN, 7, 1}, {false, RST | ACK, 7, 1}, {true, SYN, 7, 1}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Tracker, KeyIsTheSameForBothDirectionsAndKeptInWireOrder) {
  CaptureState state;
  Track(state, true, SYN);
  Track(state, false, SYN | ACK);
  ASSERT_EQ(state.connections.Size(), 1u);
  const TcpConnection& c = state.connections.At(0);
  const std::uint8_t* remotePort = reinterpret_cast<const std::uint8_t*>(&c.remotePort);
  const std::uint8_t* remoteAddress = reinterpret_cast<const std::uint8_t*>(&c.remoteAddress);
  const std::uint8_t* localAddress = reinterpret_cast<const std::uint8_t*>(&c.localAddress);
  EXPECT_EQ(remotePort[0], 0);
  EXPECT_EQ(remotePort[1], 80);
  EXPECT_EQ(std::vector<int>(remoteAddress, remoteAddress + 4), (std::vector<int>{192, 168, 1, 200}));
  EXPECT_EQ(std::vector<int>(localAddress, localAddress + 4), (std::vector<int>{10, 0, 0, 2}));
  EXPECT_EQ(c.closed + c.remoteFin + c.localFin + c.remoteFinAcked + c.localFinAcked, 0);
}

TEST(Tracker, Ipv6ConnectionsTakeTheNextNumberAndCloseByTheSameRules) {
  CaptureState state;
  // The same ports over IPv4, over IPv6, and over IPv6 between addresses that begin with
  // the IPv4 stations' four bytes (a:0:2:: and c0a8:1c8::): three connections.
  Link6 mapped = DecoderLink6;
  mapped.localIp = {10, 0, 0, 2};
  mapped.remoteIp = {192, 168, 1, 200};
  const auto track6 = [&](const Link6& link, bool outgoing, std::uint8_t flags) {
    const Bytes f = link.TcpFrame(outgoing, {.sourcePort = 80, .destinationPort = 1025, .flags = flags}, "",
                                  {{60, {}}});
    const FrameBytes bytes(f);
    return TrackTcpSegment(bytes, *ReadIpLayout(bytes, true), outgoing ? Direction::Outgoing : Direction::Incoming,
                           state);
  };
  EXPECT_EQ(Track(state, true, SYN), 1);
  EXPECT_EQ(track6(DecoderLink6, true, SYN), 2);
  EXPECT_EQ(track6(mapped, true, SYN), 3);
  const std::vector<std::pair<bool, std::uint8_t>> close = {{true, FIN | ACK}, {false, FIN | ACK}, {true, ACK}};
  for (const auto& [outgoing, flags] : close) EXPECT_EQ(track6(DecoderLink6, outgoing, flags), 2);
  EXPECT_EQ(state.liveConnections, 2);
  EXPECT_EQ(Track(state, false, ACK), 1);
  EXPECT_EQ(track6(mapped, false, ACK), 3);
  EXPECT_EQ(track6(DecoderLink6, false, ACK), 4);  // closed: a new record
}

TEST(Tracker, ConversationBetweenTwoOtherStationsGivesTwoRecordsThatNeverClose) {
  CaptureState state;
  const std::uint32_t a = Ip(10, 1, 1, 1), b = Ip(10, 1, 1, 2);
  auto frame = [&](std::uint32_t src, std::uint32_t dst, std::uint16_t sp, std::uint16_t dp, std::uint8_t flags) {
    return Ethernet(DecoderLink.remoteMac, OtherMac, 0x0800,
                    Ipv4(6, src, dst, Tcp({.sourcePort = sp, .destinationPort = dp, .flags = flags})));
  };
  const std::vector<std::pair<Bytes, std::int64_t>> sequence = {
      {frame(a, b, 5000, 80, FIN | ACK), 1}, {frame(b, a, 80, 5000, ACK), 2},
      {frame(b, a, 80, 5000, FIN | ACK), 2}, {frame(a, b, 5000, 80, ACK), 1}};
  for (const auto& [f, number] : sequence) {
    EXPECT_EQ(TrackTcpSegment(f, Direction::Incoming, state), number);
  }
  EXPECT_EQ(state.liveConnections, 2);
}

TEST(Tracker, NumbersContinueAcrossClearsAndTraces) {
  CaptureState state;
  EXPECT_EQ(Track(state, true, SYN, 80), 1);
  EXPECT_EQ(Track(state, true, SYN, 81), 2);
  ClearConnections(state);
  EXPECT_EQ(state.liveConnections, 0);
  EXPECT_TRUE(state.connections.Empty());
  EXPECT_EQ(state.lastConnectionNumber, 2);
  // The same key again after the clear is a new connection.
  EXPECT_EQ(Track(state, true, SYN, 80), 3);
  ClearConnections(state);
  EXPECT_EQ(Track(state, false, ACK, 82), 4);
  EXPECT_EQ(state.liveConnections, 1);
}

TEST(Tracker, ManyConnectionsAreFoundAgainAndRemovedFromTheMiddle) {
  CaptureState state;
  for (int port = 1; port <= 600; ++port) Track(state, true, SYN, static_cast<std::uint16_t>(port));
  // Close connection 300 (remote port 300) in the middle of the table.
  EXPECT_EQ(Track(state, true, FIN | ACK, 300), 300);
  EXPECT_EQ(Track(state, false, FIN | ACK, 300), 300);
  EXPECT_EQ(Track(state, true, ACK, 300), 300);
  EXPECT_EQ(state.liveConnections, 599);
  for (int port = 1; port <= 600; port += 37) {
    if (port == 300) continue;
    EXPECT_EQ(Track(state, false, ACK, static_cast<std::uint16_t>(port)), port);
  }
  EXPECT_EQ(state.connections.At(298).number, 299);
  EXPECT_EQ(state.connections.At(299).number, 301);  // table order kept
  EXPECT_EQ(state.liveConnections, 599);
}

TEST(ConnectionTable, RecordsRemovedInAnyOrderLeaveEveryOtherOneFound) {
  // Keys that differ in a port and an address byte; two of every three leave, scattered.
  const auto keyOf = [](int i) {
    TcpConnection key;
    key.remotePort = static_cast<std::uint16_t>(i * 7919);
    key.localAddress[0] = static_cast<std::uint8_t>(i % 3);
    return key;
  };
  ConnectionTable table;
  for (int i = 0; i < 1000; ++i) table.Append(std::make_unique<TcpConnection>(keyOf(i)));
  std::vector<bool> removed(1000);
  for (int i = 0; i < 1000; ++i) {
    const int k = i * 389 % 1000;
    if (k % 3 == 0) continue;
    table.Remove(*table.Find(keyOf(k)));
    removed[static_cast<std::size_t>(k)] = true;
  }
  for (int k = 0; k < 1000; ++k) EXPECT_EQ(table.Find(keyOf(k)) == nullptr, removed[static_cast<std::size_t>(k)]) << k;
  EXPECT_EQ(table.Size(), 334u);
  // Back in, into the slots the others left: every key is found again.
  for (int k = 0; k < 1000; ++k)
    if (removed[static_cast<std::size_t>(k)]) table.Append(std::make_unique<TcpConnection>(keyOf(k)));
  for (int k = 0; k < 1000; ++k) EXPECT_NE(table.Find(keyOf(k)), nullptr) << k;
}

TEST(Tracker, ClearDestroysRecordsInTableOrder) {
  static std::vector<std::int64_t> destroyed;
  struct Logged : TcpConnection {
    ~Logged() override { destroyed.push_back(number); }
  };
  CaptureState state;
  for (int i = 1; i <= 3; ++i) {
    auto r = std::make_unique<Logged>();
    r->number = i;
    r->remotePort = static_cast<std::uint16_t>(i);
    state.connections.Append(std::move(r));
  }
  destroyed.clear();
  ClearConnections(state);
  EXPECT_EQ(destroyed, (std::vector<std::int64_t>{1, 2, 3}));
}

TEST(Tracker, ShortFrameReadsMissingFieldsAsZero) {
  CaptureState state;
  Bytes f = DecoderLink.TcpFrame(false, {.sourcePort = 80, .flags = FIN});
  f.resize(36);  // ends after the source port
  EXPECT_EQ(TrackTcpSegment(f, Direction::Incoming, state), 1);
  EXPECT_EQ(state.connections.At(0).localPort, 0);
  // The cut-off FIN flag of a second short frame is not seen.
  EXPECT_EQ(TrackTcpSegment(f, Direction::Incoming, state), 1);
  EXPECT_EQ(state.connections.At(0).remoteFin, 0);
}

struct CallCase {
  std::uint8_t flags;
  std::uint32_t length;
  const char* incoming;
  const char* outgoing;
};

TEST(InferSocketCall, TextsForTheUsualSegments) {
  const std::vector<CallCase> cases = {
      {SYN, 60, "accept()", "connect()"},
      {SYN | ACK, 54, "[acknowledge]", "[acknowledge]"},
      {SYN | ACK, 58, "recv()", "recv()"},
      {ACK, 54, "[acknowledge]", "[acknowledge]"},
      {ACK, 60, "recv()", "recv()"},  // padded to the Ethernet minimum
      {PSH | ACK, 54, "", ""},
      {PSH | ACK, 40, "", ""},
      {PSH | ACK, 55, "recv()", "send()"},
      {FIN, 54, "remote close()", "close()"},
      {FIN | ACK, 60, "remote close()", "close()"},
      {FIN | PSH | ACK, 54, "[acknowledge]", "[acknowledge]"},
      {FIN | PSH | ACK, 100, "recv()", "recv()"},
      {RST, 60, "", ""},
      {PSH, 60, "", ""},
      {0x00, 54, "", ""},
      {RST | ACK, 54, "[acknowledge]", "[acknowledge]"},
      {RST | ACK, 60, "recv()", "recv()"},
      {0xC0 | PSH | ACK, 100, "recv()", "send()"},  // the two top bits are ignored
      {0xC0 | SYN, 60, "accept()", "connect()"},
  };
  for (const CallCase& c : cases) {
    SCOPED_TRACE(::testing::Message() << "flags " << int(c.flags) << " length " << c.length);
    EXPECT_EQ(InferSocketCall(c.flags, Direction::Incoming, c.length), c.incoming);
    EXPECT_EQ(InferSocketCall(c.flags, Direction::Outgoing, c.length), c.outgoing);
  }
}

}  // namespace

// A trace of several adapters: each adapter decides In/Out by its own address and names
// itself in the Interface cell; a connection keeps one number across the adapters of a
// machine and across machines. The client 10.0.0.2 is captured on its eth0 and on a
// bridge that forwards its frames, the server 192.168.1.200 on host web1.
TEST(SeveralAdapters, DirectionPerAdapterAndOneNumberPerConnection) {
  CaptureState state;
  for (const ColumnId id : {ColumnId::PacketNumber, ColumnId::InOut, ColumnId::TcpConnectionNumber, ColumnId::Interface})
    state.columns.shown[static_cast<int>(id)] = 1;
  state.columns.AssignColumnPositions();
  state.interfaces = {{.name = "eth0", .description = "", .mac = DecoderLink.localMac, .host = 0},
                      {.name = "br0", .description = "", .mac = OtherMac, .host = 0},
                      {.name = "web1: eth0", .description = "", .mac = DecoderLink.remoteMac, .host = 1}};
  RowStore rows(state.columns);
  RowBuilder builder(rows);
  const auto toServer = [](std::uint16_t clientPort, std::uint8_t flags) {
    return DecoderLink.TcpFrame(true, {.sourcePort = 80, .destinationPort = clientPort, .flags = flags});
  };
  const auto toClient = [](std::uint16_t clientPort, std::uint8_t flags) {
    return DecoderLink.TcpFrame(false, {.sourcePort = 80, .destinationPort = clientPort, .flags = flags});
  };
  struct Step {
    std::uint32_t adapter;
    Bytes frame;
    const char* direction;
    const char* connection;
  };
  const std::vector<Step> steps = {
      {0, toServer(1025, SYN), "out", "1"},
      {2, toServer(1025, SYN), "in", "1"},   // the server's view of it
      {1, toServer(1025, SYN), "in", "1"},   // the bridge forwarding it
      {2, toClient(1025, SYN | ACK), "out", "1"},
      {0, toClient(1025, SYN | ACK), "in", "1"},
      {2, toServer(1026, SYN), "in", "2"},   // another connection, first seen at the server
      {0, toServer(1026, SYN), "out", "2"},
  };
  const int inOut = state.columns.Position(ColumnId::InOut);
  const int connection = state.columns.Position(ColumnId::TcpConnectionNumber);
  const int adapterName = state.columns.Position(ColumnId::Interface);
  for (std::size_t i = 0; i < steps.size(); ++i) {
    SCOPED_TRACE("step " + std::to_string(i));
    const Step& step = steps[i];
    state.frameInterface = step.adapter;
    DecodeFrame(static_cast<std::int64_t>(i), step.frame.data(), static_cast<std::uint32_t>(step.frame.size()), builder,
                state);
    const auto row = static_cast<std::int64_t>(i);
    EXPECT_EQ(rows.Cell(row, inOut), step.direction);
    EXPECT_EQ(rows.Cell(row, connection), step.connection);
    EXPECT_EQ(rows.Cell(row, adapterName), state.interfaces[step.adapter].name);
  }
}
