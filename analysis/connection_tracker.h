#pragma once
// Live TCP connections seen in the frames, their orderly FIN/ACK close, rising numbers,
// and the socket call that a segment most likely reflects.

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <vector>

class CaptureState;

enum class Direction { Incoming, Outgoing };

// The "In/Out" cell text of a frame.
constexpr std::string_view DirectionText(Direction direction) {
  return direction == Direction::Outgoing ? "out" : "in";
}

class TcpConnection {
 public:
  virtual ~TcpConnection() = default;

  std::int32_t closed = 0;
  std::int64_t number = 0;
  std::int32_t remoteFin = 0;
  std::int32_t localFin = 0;
  std::int32_t remoteFinAcked = 0;
  std::int32_t localFinAcked = 0;
  // Key fields, raw network byte order as they stand in the frame.
  std::uint16_t remotePort = 0;
  std::uint16_t localPort = 0;
  std::uint32_t remoteAddress = 0;
  std::uint32_t localAddress = 0;

  auto Key() const { return std::tie(remoteAddress, localAddress, remotePort, localPort); }
};

// Owns its records, in insertion order; at most one record per key.
class ConnectionTable {
 public:
  ConnectionTable();
  ~ConnectionTable();
  ConnectionTable(const ConnectionTable&) = delete;
  ConnectionTable& operator=(const ConnectionTable&) = delete;

  std::size_t Size() const { return records_.size(); }
  bool Empty() const { return records_.empty(); }
  // Record i in insertion order (for tests and diagnostics).
  const TcpConnection& At(std::size_t i) const { return *records_[i]; }
  // The record with this key, or nullptr.
  TcpConnection* Find(std::uint32_t remoteAddress, std::uint32_t localAddress,
                      std::uint16_t remotePort, std::uint16_t localPort);
  TcpConnection& Append(std::unique_ptr<TcpConnection> record);
  void Remove(TcpConnection& record);
  void Clear();

 private:
  struct Key {
    std::uint32_t remoteAddress;
    std::uint32_t localAddress;
    std::uint16_t remotePort;
    std::uint16_t localPort;
    bool operator==(const Key& o) const {
      return std::tie(remoteAddress, localAddress, remotePort, localPort) ==
             std::tie(o.remoteAddress, o.localAddress, o.remotePort, o.localPort);
    }
  };
  struct KeyHash {
    std::size_t operator()(const Key& k) const;
  };
  static Key KeyOf(const TcpConnection& record);

  std::vector<std::unique_ptr<TcpConnection>> records_;
  // Index over records_ so a lookup does not scan a table of hundreds of connections.
  std::unordered_map<Key, TcpConnection*, KeyHash> index_;
};

// Finds or creates the record of an IPv4 TCP frame, applies the close rules and yields
// the connection number. frame is the delivered frame (bytes past its end read as zero).
std::int64_t TrackTcpSegment(std::span<const std::uint8_t> frame, Direction direction,
                             CaptureState& state);

// Destroys every record; liveConnections becomes 0, lastConnectionNumber stays.
void ClearConnections(CaptureState& state);

// The texts of the socket calls a segment can reflect.
namespace socket_call {
inline constexpr std::string_view Acknowledge = "[acknowledge]";
inline constexpr std::string_view Receive = "recv()";
inline constexpr std::string_view Send = "send()";
inline constexpr std::string_view Connect = "connect()";
inline constexpr std::string_view Accept = "accept()";
inline constexpr std::string_view Close = "close()";
inline constexpr std::string_view RemoteClose = "remote close()";
inline constexpr std::array<std::string_view, 7> All = {Acknowledge, Receive, Send, Connect, Accept, Close, RemoteClose};
}  // namespace socket_call

// One of socket_call's texts, or "" when none fits, for a TCP flags byte, direction and
// whole frame length.
std::string_view InferSocketCall(std::uint8_t flags, Direction direction, std::uint32_t frameLength);
