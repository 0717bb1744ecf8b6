#include <gtest/gtest.h>

#include <array>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "analysis/capture_state.h"
#include "analysis/connection_stream.h"
#include "analysis/decoder.h"
#include "analysis/frame_source.h"
#include "analysis/row_store.h"
#include "tests/support/frames.h"

using namespace frames;

namespace {

constexpr const Link& kLink = DecoderLink;
// The remote station's side: frames from it (incoming) carry these ports as they stand.
constexpr std::uint16_t kRemotePort = 80, kLocalPort = 40000;

TcpFields Segment(std::uint32_t sequence, std::uint8_t flags = Ack | Psh) {
  TcpFields f;
  f.sourcePort = kRemotePort;
  f.destinationPort = kLocalPort;
  f.sequence = sequence;
  f.flags = flags;
  return f;
}

// A frame whose IPv4 total length is set to a value of the test's choosing.
Bytes WithTotalLength(Bytes frame, std::uint16_t total) {
  frame[16] = static_cast<std::uint8_t>(total >> 8);
  frame[17] = static_cast<std::uint8_t>(total);
  return frame;
}

// The first bytes of a frame, as a short capture length keeps them.
Bytes Cut(Bytes frame, std::size_t length) {
  frame.resize(length);
  return frame;
}

struct Expected {
  StreamSide side;
  std::uint32_t sequence;
  std::string payload;
};

struct StreamCase {
  const char* name;
  std::vector<Bytes> frames;  // in capture order; the first outgoing frame names the first side
  std::vector<Expected> segments;
  std::int64_t retransmissions = 0;
};

std::string AsString(const std::vector<std::uint8_t>& bytes) { return {bytes.begin(), bytes.end()}; }

ConnectionStream StreamOf(const std::vector<Bytes>& frames) {
  // The local station (outgoing frames' source) is the first side in every case.
  ConnectionStream stream({{10, 0, 0, 2}, kLocalPort}, {{192, 168, 1, 200}, kRemotePort});
  for (std::size_t i = 0; i < frames.size(); ++i) stream.Add(static_cast<std::int64_t>(i), frames[i]);
  return stream;
}

TEST(ConnectionStream, SegmentsInCaptureOrderWithRepeatsOnce) {
  Bytes options = kLink.TcpFrame(true, [] { auto f = Segment(300); f.headerWords = 8; return f; }(), "opt");
  Bytes overlong = WithTotalLength(kLink.TcpFrame(false, Segment(500), "tail"), 1400);
  Bytes offsetPastEnd = kLink.TcpFrame(false, Segment(600), "x");
  offsetPastEnd[46] = 0xF0;  // a 60-byte header in a frame that ends before it
  Bytes totalZero = WithTotalLength(kLink.TcpFrame(true, Segment(700), "tso"), 0);
  Bytes shortTotal = WithTotalLength(kLink.TcpFrame(true, Segment(800), "abcdef"), 20 + 20 + 2);
  const std::vector<StreamCase> cases = {
      {"two sides in capture order",
       {kLink.TcpFrame(true, Segment(100, Syn), ""), kLink.TcpFrame(false, Segment(9000, Syn | Ack), ""),
        kLink.TcpFrame(true, Segment(101), "GET /"), kLink.TcpFrame(false, Segment(9001), "200 OK"),
        kLink.TcpFrame(true, Segment(106), "bye")},
       {{StreamSide::First, 101, "GET /"}, {StreamSide::Second, 9001, "200 OK"}, {StreamSide::First, 106, "bye"}}},
      {"a retransmission is shown once",
       {kLink.TcpFrame(true, Segment(101), "GET /"), kLink.TcpFrame(true, Segment(101), "GET /"),
        kLink.TcpFrame(false, Segment(9001), "ok")},
       {{StreamSide::First, 101, "GET /"}, {StreamSide::Second, 9001, "ok"}},
       1},
      {"same sequence number: other length or other side is no repeat",
       {kLink.TcpFrame(true, Segment(101), "GET"), kLink.TcpFrame(true, Segment(101), "GET /"),
        kLink.TcpFrame(false, Segment(101), "GET")},
       {{StreamSide::First, 101, "GET"}, {StreamSide::First, 101, "GET /"}, {StreamSide::Second, 101, "GET"}}},
      {"padding of a short frame is not payload",
       {Pad(kLink.TcpFrame(true, Segment(101), "hi"), 60)},
       {{StreamSide::First, 101, "hi"}}},
      {"payload bounds from the data offset and total length",
       {options, overlong, offsetPastEnd, totalZero, shortTotal},
       {{StreamSide::First, 300, "opt"}, {StreamSide::Second, 500, "tail"}, {StreamSide::First, 700, "tso"},
        {StreamSide::First, 800, "ab"}}},
      {"frames of other endpoints and other protocols are left out",
       {kLink.TcpFrame(true, [] { auto f = Segment(1); f.sourcePort = 81; return f; }(), "other port"),
        kLink.UdpFrame(true, kRemotePort, kLocalPort, "udp"),
        Ethernet(kLink.localMac, OtherMac, EtherTypeIpv4, Ipv4(6, Ip(10, 0, 0, 9), kLink.localIp,
                                                                 Tcp(Segment(5), Text("third station")))),
        Cut(kLink.TcpFrame(true, Segment(101), "cut"), 36)},
       {}},
  };
  for (const StreamCase& c : cases) {
    SCOPED_TRACE(c.name);
    const ConnectionStream stream = StreamOf(c.frames);
    ASSERT_EQ(stream.Segments().size(), c.segments.size());
    for (std::size_t i = 0; i < c.segments.size(); ++i) {
      EXPECT_EQ(stream.Segments()[i].side, c.segments[i].side) << i;
      EXPECT_EQ(stream.Segments()[i].sequence, c.segments[i].sequence) << i;
      EXPECT_EQ(AsString(stream.Segments()[i].payload), c.segments[i].payload) << i;
    }
    EXPECT_EQ(stream.Retransmissions(), c.retransmissions);
  }
}

TEST(ConnectionStream, BytesJoinOneSide) {
  const ConnectionStream stream =
      StreamOf({kLink.TcpFrame(true, Segment(1), "ab"), kLink.TcpFrame(false, Segment(50), "XY"),
                kLink.TcpFrame(true, Segment(3), std::string_view("c\0d", 3)), kLink.TcpFrame(true, Segment(1), "ab")});
  EXPECT_EQ(AsString(stream.Bytes(StreamSide::First)), std::string("abc\0d", 5));
  EXPECT_EQ(AsString(stream.Bytes(StreamSide::Second)), "XY");
}

class MapFrames : public FrameSource {
 public:
  bool ReadFrame(std::int64_t packetNumber, StoredFrame& out) const override {
    const auto it = frames.find(packetNumber);
    if (it == frames.end()) return false;
    out.bytes = it->second;
    return true;
  }
  std::map<std::int64_t, Bytes> frames;
};

// A capture decoded into rows with the connection column, its frames kept by number.
struct DecodedCapture {
  DecodedCapture(std::span<const Bytes> capture, const std::array<std::uint8_t, 6>& adapterMac)
      : rows(ConnectionColumns()) {
    state.adapterMac = adapterMac;
    state.columns = ConnectionColumns();
    RowBuilder builder(rows);
    for (const Bytes& frame : capture) {
      const auto number = static_cast<std::int64_t>(frames.frames.size());
      frames.frames[number] = frame;
      Bytes buffer = frame;
      DecodeFrame(number, buffer.data(), static_cast<std::uint32_t>(buffer.size()), builder, state);
    }
  }
  static ColumnSet ConnectionColumns() {
    ColumnSet columns = ColumnSet::Startup();
    columns.shown[static_cast<int>(ColumnId::TcpConnectionNumber)] = 1;
    columns.AssignColumnPositions();
    return columns;
  }
  CaptureState state;
  RowStore rows;
  MapFrames frames;
};

TEST(FollowConnection, TakesTheRowsOfTheConnectionAndCountsFramesNotKept) {
  // Connection 1 (port 40000) and connection 2 (port 40001), interleaved.
  auto other = [](std::uint32_t sequence, std::uint8_t flags = Ack | Psh) {
    TcpFields f = Segment(sequence, flags);
    f.destinationPort = 40001;
    return f;
  };
  const std::vector<Bytes> capture = {
      kLink.TcpFrame(true, Segment(100, Syn), ""),   kLink.TcpFrame(true, other(7, Syn), ""),
      kLink.TcpFrame(false, Segment(900, Syn | Ack), ""), kLink.TcpFrame(true, Segment(101), "one"),
      kLink.TcpFrame(true, other(8), "not this"),    kLink.UdpFrame(true, 53, 5353, "dns"),
      kLink.TcpFrame(false, Segment(901), "two"),    kLink.TcpFrame(true, Segment(104), "three"),
  };
  DecodedCapture decoded(capture, kLink.localMac);
  RowStore& rows = decoded.rows;
  MapFrames& frames = decoded.frames;
  frames.frames.erase(6);  // "two" has left the spool

  const FollowedConnection followed = FollowConnection(rows, 1, &frames);
  EXPECT_EQ(followed.rows, 5);
  EXPECT_EQ(followed.framesMissing, 1);
  ASSERT_TRUE(followed.stream.has_value());
  EXPECT_EQ(followed.stream->First(), (TcpEndpoint{{10, 0, 0, 2}, kLocalPort}));
  ASSERT_EQ(followed.stream->Segments().size(), 2u);
  EXPECT_EQ(followed.stream->Segments()[0].packetNumber, 3);
  EXPECT_EQ(AsString(followed.stream->Bytes(StreamSide::First)), "onethree");

  const FollowedConnection none = FollowConnection(rows, 1, nullptr);
  EXPECT_EQ(none.framesMissing, 5);
  EXPECT_FALSE(none.stream.has_value());
}

TEST(FollowConnection, FollowsBothDirectionsWhereEachHasANumberOfItsOwn) {
  // On loopback every frame counts as sent, so each direction is a connection of its own.
  const Link loopback = {{}, {}, Ip(127, 0, 0, 1), Ip(127, 0, 0, 1)};
  const Bytes capture[] = {loopback.TcpFrame(true, Segment(101), "GET"), loopback.TcpFrame(false, Segment(901), "OK")};
  DecodedCapture decoded(capture, {});
  RowStore& rows = decoded.rows;
  MapFrames& frames = decoded.frames;
  const FollowedConnection followed = FollowConnection(rows, 2, &frames);
  EXPECT_EQ(followed.connections, (std::set<std::int64_t>{1, 2}));
  ASSERT_TRUE(followed.stream.has_value());
  EXPECT_EQ(AsString(followed.stream->Bytes(StreamSide::First)), "GET");
  EXPECT_EQ(AsString(followed.stream->Bytes(StreamSide::Second)), "OK");
}

}  // namespace
