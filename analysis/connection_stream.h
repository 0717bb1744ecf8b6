#pragma once
// The payload of one TCP connection as its two sides sent it: the segments of the
// connection's frames in capture order, each repeated segment kept once. Following a
// connection in the window shows and saves it.

#include <array>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <span>
#include <tuple>
#include <utility>
#include <vector>

class FrameSource;
class RowStore;

struct TcpEndpoint {
  std::array<std::uint8_t, 16> ip{};  // an IPv4 address in the first four bytes
  std::uint16_t port = 0;
  bool ipv6 = false;
  friend bool operator==(const TcpEndpoint&, const TcpEndpoint&) = default;
};

// Which endpoint sent a segment.
enum class StreamSide : std::uint8_t { First, Second };

struct StreamSegment {
  StreamSide side = StreamSide::First;
  std::uint32_t sequence = 0;
  std::int64_t packetNumber = 0;
  std::vector<std::uint8_t> payload;
};

// The source and destination of an IPv4 or IPv6 TCP frame; nothing for any other frame.
std::optional<std::pair<TcpEndpoint, TcpEndpoint>> TcpEndpointsOf(std::span<const std::uint8_t> frame);

class ConnectionStream {
 public:
  ConnectionStream(TcpEndpoint first, TcpEndpoint second) : first_(first), second_(second) {}

  // Takes the next frame in capture order. Its payload becomes a segment unless the frame
  // is no TCP segment between the two endpoints, carries no payload, or repeats a segment
  // already taken (same side, sequence number and payload length: a retransmission).
  void Add(std::int64_t packetNumber, std::span<const std::uint8_t> frame);

  const TcpEndpoint& First() const { return first_; }
  const TcpEndpoint& Second() const { return second_; }
  const std::vector<StreamSegment>& Segments() const { return segments_; }
  std::int64_t Retransmissions() const { return retransmissions_; }
  // One side's payload bytes: its segments joined in capture order.
  std::vector<std::uint8_t> Bytes(StreamSide side) const;

 private:
  TcpEndpoint first_;
  TcpEndpoint second_;
  std::vector<StreamSegment> segments_;
  std::set<std::tuple<StreamSide, std::uint32_t, std::size_t>> taken_;
  std::int64_t retransmissions_ = 0;
};

struct FollowedConnection {
  // Nothing when no frame of the connection is kept (its endpoints come from its first).
  std::optional<ConnectionStream> stream;
  std::int64_t rows = 0;           // rows of the connection in the store
  std::set<std::int64_t> connections;  // the connection numbers of those rows
  std::int64_t framesMissing = 0;  // of those, rows whose frames are no longer kept
  // The Process cell of each endpoint (the first row's source, then its destination), from
  // the first row whose local end it is; empty when no row names its process.
  std::string firstProcess;
  std::string secondProcess;
};

// The rows between the two endpoints of TCP connection number connection (the column
// must be in the store), in both directions whatever their numbers, and the stream of
// their frames, read from frames (null: none kept).
FollowedConnection FollowConnection(const RowStore& rows, std::int64_t connection, const FrameSource* frames);
