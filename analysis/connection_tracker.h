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
  // Key fields, raw network byte order as they stand in the frame; an IPv4 address in
  // the first four bytes.
  bool ipv6 = false;
  // The machine whose adapter saw the segment (TraceInterface::host): adapters of one
  // machine see one connection, two machines each their own.
  std::uint32_t host = 0;
  std::uint16_t remotePort = 0;
  std::uint16_t localPort = 0;
  std::array<std::uint8_t, 16> remoteAddress{};
  std::array<std::uint8_t, 16> localAddress{};
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
  // The record with the key of this one (family, addresses, ports), or nullptr.
  TcpConnection* Find(const TcpConnection& key);
  // adapter: the interface id of the trace's adapter that saw its first segment.
  TcpConnection& Append(std::unique_ptr<TcpConnection> record, std::uint32_t adapter = 0);
  void Remove(TcpConnection& record);
  void Clear();

 private:
  struct Key {
    bool ipv6;
    std::uint32_t host;
    std::uint16_t remotePort;
    std::uint16_t localPort;
    std::array<std::uint8_t, 16> remoteAddress;
    std::array<std::uint8_t, 16> localAddress;
    bool operator==(const Key& o) const = default;
  };
  struct KeyHash {
    std::size_t operator()(const Key& k) const;
  };
  static Key KeyOf(const TcpConnection& record);

  // The slot of the index that holds the key, or the empty slot where it would go.
  std::size_t SlotOf(const Key& key, std::size_t hash) const;
  // Adds a key that is not in the index; may throw std::bad_alloc, leaving it as it was.
  void IndexKey(const Key& key, TcpConnection* record);
  void UnindexKey(const Key& key);

  std::vector<std::unique_ptr<TcpConnection>> records_;
  // Index over records_ so a lookup does not scan a table of hundreds of connections:
  // open addressing, a power of two of slots at most half full, each with its key's hash,
  // so that a frame's lookup costs no division and reads a record only where hashes agree.
  struct Slot {
    std::size_t hash = 0;
    TcpConnection* record = nullptr;  // nullptr: empty
  };
  std::vector<Slot> slots_;

 public:
  // The number a live record carries for the same two endpoints (in either direction)
  // when it came from another machine or another adapter, so that a connection captured
  // at both ends, or on two adapters of a machine, has one number; 0 when none does. One
  // adapter's two directions (loopback) keep a number each.
  std::int64_t NumberSeenElsewhere(const TcpConnection& key, std::uint32_t adapter) const;

 private:
  // The two endpoints of a record in a fixed order, without the machine.
  struct Endpoints {
    bool ipv6;
    std::array<std::uint8_t, 16> lowAddress, highAddress;
    std::uint16_t lowPort, highPort;
    bool operator==(const Endpoints& o) const = default;
  };
  struct EndpointsHash {
    std::size_t operator()(const Endpoints& e) const;
  };
  struct Shared {
    std::int64_t number;
    std::uint32_t host;  // the machine and adapter whose record came first
    std::uint32_t adapter;
    std::size_t records;
  };
  static Endpoints EndpointsOf(const TcpConnection& record);
  std::unordered_map<Endpoints, Shared, EndpointsHash> shared_;
};

// Finds or creates the record of a TCP frame with that IP layer, applies the close rules
// and yields the connection number. Bytes past the frame's end read as zero.
struct IpLayout;
class FrameBytes;
std::int64_t TrackTcpSegment(const FrameBytes& frame, const IpLayout& ip, Direction direction, CaptureState& state);
// The same for an IPv4 TCP frame.
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

// The length of a frame whose TCP segment carries no payload, for an IP header (with any
// extension headers) of that many bytes: 54 for IPv4.
constexpr std::uint32_t NoPayloadFrameLength(std::uint32_t ipHeaderBytes) { return 14 + ipHeaderBytes + 20; }

// One of socket_call's texts, or "" when none fits, for a TCP flags byte, direction and
// whole frame length; a frame of noPayloadLength bytes carries no payload.
std::string_view InferSocketCall(std::uint8_t flags, Direction direction, std::uint32_t frameLength,
                                 std::uint32_t noPayloadLength = NoPayloadFrameLength(20));
