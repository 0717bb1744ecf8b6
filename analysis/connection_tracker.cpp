#include "analysis/connection_tracker.h"

#include <algorithm>
#include <new>
#include <stdexcept>

#include "analysis/capture_state.h"
#include "analysis/frame_bytes.h"

ConnectionTable::ConnectionTable() = default;
ConnectionTable::~ConnectionTable() { Clear(); }

std::size_t ConnectionTable::KeyHash::operator()(const Key& k) const {
  std::uint64_t h = (std::uint64_t{k.remoteAddress} << 32) | k.localAddress;
  h ^= ((std::uint64_t{k.remotePort} << 16) | k.localPort) * 0x9E3779B97F4A7C15ull;
  h ^= h >> 29;
  h *= 0xBF58476D1CE4E5B9ull;
  h ^= h >> 32;
  return static_cast<std::size_t>(h);
}

ConnectionTable::Key ConnectionTable::KeyOf(const TcpConnection& record) {
  return Key{record.remoteAddress, record.localAddress, record.remotePort, record.localPort};
}

TcpConnection* ConnectionTable::Find(std::uint32_t remoteAddress, std::uint32_t localAddress,
                                     std::uint16_t remotePort, std::uint16_t localPort) {
  const auto it = index_.find(Key{remoteAddress, localAddress, remotePort, localPort});
  return it == index_.end() ? nullptr : it->second;
}

TcpConnection& ConnectionTable::Append(std::unique_ptr<TcpConnection> record) {
  TcpConnection& ref = *record;
  const Key key = KeyOf(ref);
  if (index_.contains(key)) {
    // One record per key: a second one could never be found again.
    throw std::logic_error("connection key already in the table");
  }
  records_.push_back(std::move(record));
  try {
    index_.emplace(key, &ref);
  } catch (...) {
    records_.pop_back();
    throw;
  }
  return ref;
}

void ConnectionTable::Remove(TcpConnection& record) {
  const auto it = std::find_if(records_.begin(), records_.end(),
                               [&](const auto& p) { return p.get() == &record; });
  if (it == records_.end()) return;
  index_.erase(KeyOf(record));
  records_.erase(it);
}

void ConnectionTable::Clear() {
  index_.clear();
  // Destroy in table order, then empty the table.
  for (auto& record : records_) record.reset();
  records_.clear();
}

namespace {
constexpr std::uint8_t kFin = 0x01;
constexpr std::uint8_t kAck = 0x10;
}  // namespace

std::int64_t TrackTcpSegment(std::span<const std::uint8_t> frame, Direction direction,
                             CaptureState& state) {
  namespace off = frame_offset;
  const FrameBytes bytes(frame);
  const bool incoming = direction == Direction::Incoming;
  const std::uint32_t source = bytes.Raw32(off::IpSource);
  const std::uint32_t destination = bytes.Raw32(off::IpDestination);
  const std::uint16_t sourcePort = bytes.Raw16(off::TcpSourcePort);
  const std::uint16_t destinationPort = bytes.Raw16(off::TcpDestinationPort);

  const std::uint32_t remoteAddress = incoming ? source : destination;
  const std::uint32_t localAddress = incoming ? destination : source;
  const std::uint16_t remotePort = incoming ? sourcePort : destinationPort;
  const std::uint16_t localPort = incoming ? destinationPort : sourcePort;

  ConnectionTable& table = state.connections;
  TcpConnection* record = table.Find(remoteAddress, localAddress, remotePort, localPort);
  if (record == nullptr) {
    // The frame that opens a record is not applied to it, whatever its flags.
    try {
      auto created = std::make_unique<TcpConnection>();
      created->remoteAddress = remoteAddress;
      created->localAddress = localAddress;
      created->remotePort = remotePort;
      created->localPort = localPort;
      created->number = state.lastConnectionNumber + 1;
      table.Append(std::move(created));
    } catch (const std::bad_alloc&) {
      // Out of memory: the segment stays untracked and no number is used up; the trace
      // goes on and the next segment of the connection tries again.
      return 0;
    }
    state.lastConnectionNumber += 1;
    state.liveConnections = static_cast<std::int64_t>(table.Size());
    return state.lastConnectionNumber;
  }

  const std::uint8_t flags = bytes.U8(off::TcpFlags);
  if (flags & kFin) {
    if (incoming) {
      record->remoteFin = 1;
    } else {
      record->localFin = 1;
    }
  }
  if (record->localFin && incoming && (flags & kAck)) record->localFinAcked = 1;
  if (record->remoteFin && !incoming && (flags & kAck)) record->remoteFinAcked = 1;
  if (record->remoteFinAcked && record->localFinAcked) record->closed = 1;

  const std::int64_t number = record->number;
  if (record->closed) {
    table.Remove(*record);
    state.liveConnections = static_cast<std::int64_t>(table.Size());
  }
  return number;
}

void ClearConnections(CaptureState& state) {
  state.connections.Clear();
  state.liveConnections = 0;
}

std::string_view InferSocketCall(std::uint8_t flags, Direction direction,
                                 std::uint32_t frameLength) {
  const bool incoming = direction == Direction::Incoming;
  std::string_view text = "";
  if (flags & kAck) text = frameLength == 54 ? socket_call::Acknowledge : socket_call::Receive;
  switch (flags & 0x3F) {
    case 0x18:
      if (frameLength <= 54) {
        text = "";
      } else {
        text = incoming ? socket_call::Receive : socket_call::Send;
      }
      break;
    case 0x02:
      text = incoming ? socket_call::Accept : socket_call::Connect;
      break;
    case 0x01:
    case 0x11:
      text = incoming ? socket_call::RemoteClose : socket_call::Close;
      break;
    default:
      break;
  }
  return text;
}
