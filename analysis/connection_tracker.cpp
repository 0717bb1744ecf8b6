#include "analysis/connection_tracker.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>
#include <stdexcept>
#include <tuple>
#include <utility>

#include "analysis/capture_state.h"
#include "analysis/frame_bytes.h"
#include "analysis/ip_layout.h"

ConnectionTable::ConnectionTable() = default;
ConnectionTable::~ConnectionTable() { Clear(); }

std::size_t ConnectionTable::KeyHash::operator()(const Key& k) const {
  // Eight key bytes as one word, in whatever order the machine loads them: only equal
  // keys need equal hashes.
  const auto word = [](const std::array<std::uint8_t, 16>& a, std::size_t at) {
    std::uint64_t w;
    std::memcpy(&w, a.data() + at, sizeof w);
    return w;
  };
  std::uint64_t h = word(k.remoteAddress, 0) ^ std::rotl(word(k.remoteAddress, 8), 21) ^
                    std::rotl(word(k.localAddress, 0), 32) ^
                    std::rotl(word(k.localAddress, 8) * 0xC2B2AE3D27D4EB4Full, 43) ^ std::uint64_t{k.ipv6} ^
                    (std::uint64_t{k.host} << 1);
  h ^= ((std::uint64_t{k.remotePort} << 16) | k.localPort) * 0x9E3779B97F4A7C15ull;
  h ^= h >> 29;
  h *= 0xBF58476D1CE4E5B9ull;
  h ^= h >> 32;
  return static_cast<std::size_t>(h);
}

ConnectionTable::Key ConnectionTable::KeyOf(const TcpConnection& record) {
  return Key{record.ipv6, record.host, record.remotePort, record.localPort, record.remoteAddress, record.localAddress};
}

std::size_t ConnectionTable::SlotOf(const Key& key, std::size_t hash) const {
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
    const Slot& slot = slots_[i];
    if (slot.record == nullptr || (slot.hash == hash && KeyOf(*slot.record) == key)) return i;
  }
}

void ConnectionTable::IndexKey(const Key& key, TcpConnection* record) {
  if (2 * (records_.size() + 1) > slots_.size()) {
    std::vector<Slot> old = std::exchange(slots_, std::vector<Slot>(std::max<std::size_t>(64, 2 * slots_.size())));
    for (const Slot& slot : old)
      if (slot.record != nullptr) slots_[SlotOf(KeyOf(*slot.record), slot.hash)] = slot;
  }
  const std::size_t hash = KeyHash{}(key);
  slots_[SlotOf(key, hash)] = Slot{hash, record};
}

void ConnectionTable::UnindexKey(const Key& key) {
  if (slots_.empty()) return;
  const std::size_t mask = slots_.size() - 1;
  std::size_t hole = SlotOf(key, KeyHash{}(key));
  if (slots_[hole].record == nullptr) return;
  // Later keys of the run move back into the hole wherever their own slot does not lie
  // between it and them, so that every key stays reachable from its own slot.
  for (std::size_t i = (hole + 1) & mask; slots_[i].record != nullptr; i = (i + 1) & mask) {
    const std::size_t home = slots_[i].hash & mask;
    if (((i - home) & mask) >= ((i - hole) & mask)) {
      slots_[hole] = slots_[i];
      hole = i;
    }
  }
  slots_[hole] = Slot{};
}

TcpConnection* ConnectionTable::Find(const TcpConnection& key) {
  if (slots_.empty()) return nullptr;
  const Key k = KeyOf(key);
  return slots_[SlotOf(k, KeyHash{}(k))].record;
}

TcpConnection& ConnectionTable::Append(std::unique_ptr<TcpConnection> record, std::uint32_t adapter) {
  TcpConnection& ref = *record;
  const Key key = KeyOf(ref);
  if (Find(ref) != nullptr) {
    // One record per key: a second one could never be found again.
    throw std::logic_error("connection key already in the table");
  }
  IndexKey(key, &ref);
  try {
    records_.push_back(std::move(record));
  } catch (...) {
    UnindexKey(key);
    throw;
  }
  try {
    Shared& shared = shared_.try_emplace(EndpointsOf(ref), Shared{ref.number, ref.host, adapter, 0}).first->second;
    shared.records += 1;
  } catch (...) {
    UnindexKey(key);
    records_.pop_back();
    throw;
  }
  return ref;
}

ConnectionTable::Endpoints ConnectionTable::EndpointsOf(const TcpConnection& record) {
  const bool localLow = std::tie(record.localAddress, record.localPort) < std::tie(record.remoteAddress, record.remotePort);
  const TcpConnection& r = record;
  return localLow ? Endpoints{r.ipv6, r.localAddress, r.remoteAddress, r.localPort, r.remotePort}
                  : Endpoints{r.ipv6, r.remoteAddress, r.localAddress, r.remotePort, r.localPort};
}

std::size_t ConnectionTable::EndpointsHash::operator()(const Endpoints& e) const {
  return KeyHash{}(Key{e.ipv6, 0, e.lowPort, e.highPort, e.lowAddress, e.highAddress});
}

std::int64_t ConnectionTable::NumberSeenElsewhere(const TcpConnection& key, std::uint32_t adapter) const {
  const auto it = shared_.find(EndpointsOf(key));
  if (it == shared_.end()) return 0;
  return it->second.host != key.host || it->second.adapter != adapter ? it->second.number : 0;
}

void ConnectionTable::Remove(TcpConnection& record) {
  const auto it = std::find_if(records_.begin(), records_.end(),
                               [&](const auto& p) { return p.get() == &record; });
  if (it == records_.end()) return;
  UnindexKey(KeyOf(record));
  if (const auto shared = shared_.find(EndpointsOf(record)); shared != shared_.end() && --shared->second.records == 0)
    shared_.erase(shared);
  records_.erase(it);
}

void ConnectionTable::Clear() {
  slots_.clear();
  shared_.clear();
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
  const FrameBytes bytes(frame);
  return TrackTcpSegment(bytes, Ipv4Layout(bytes), direction, state);
}

std::int64_t TrackTcpSegment(const FrameBytes& bytes, const IpLayout& ip, Direction direction, CaptureState& state) {
  const bool incoming = direction == Direction::Incoming;
  const std::size_t addressBytes = ip.ipv6 ? 16 : 4;
  TcpConnection key;
  key.ipv6 = ip.ipv6;
  if (const TraceInterface* adapter = state.FrameInterface()) key.host = adapter->host;
  for (std::size_t i = 0; i < addressBytes; ++i) {
    key.remoteAddress[i] = bytes.U8((incoming ? ip.source : ip.destination) + i);
    key.localAddress[i] = bytes.U8((incoming ? ip.destination : ip.source) + i);
  }
  const std::uint16_t sourcePort = bytes.Raw16(ip.upper + tcp_offset::SourcePort);
  const std::uint16_t destinationPort = bytes.Raw16(ip.upper + tcp_offset::DestinationPort);
  key.remotePort = incoming ? sourcePort : destinationPort;
  key.localPort = incoming ? destinationPort : sourcePort;

  ConnectionTable& table = state.connections;
  TcpConnection* record = table.Find(key);
  if (record == nullptr) {
    // The frame that opens a record is not applied to it, whatever its flags.
    try {
      auto created = std::make_unique<TcpConnection>();
      created->ipv6 = key.ipv6;
      created->remoteAddress = key.remoteAddress;
      created->localAddress = key.localAddress;
      created->remotePort = key.remotePort;
      created->localPort = key.localPort;
      created->host = key.host;
      const std::uint32_t adapter = state.FrameInterface() ? state.frameInterface : 0;
      const std::int64_t seenElsewhere = table.NumberSeenElsewhere(key, adapter);
      created->number = seenElsewhere != 0 ? seenElsewhere : state.lastConnectionNumber + 1;
      table.Append(std::move(created), adapter);
    } catch (const std::bad_alloc&) {
      // Out of memory: the segment stays untracked and no number is used up; the trace
      // goes on and the next segment of the connection tries again.
      return 0;
    }
    const std::int64_t number = table.At(table.Size() - 1).number;
    if (number > state.lastConnectionNumber) state.lastConnectionNumber = number;
    state.liveConnections = static_cast<std::int64_t>(table.Size());
    return number;
  }

  const std::uint8_t flags = bytes.U8(ip.upper + tcp_offset::Flags);
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

std::string_view InferSocketCall(std::uint8_t flags, Direction direction, std::uint32_t frameLength,
                                 std::uint32_t noPayloadLength) {
  const bool incoming = direction == Direction::Incoming;
  std::string_view text = "";
  if (flags & kAck) text = frameLength == noPayloadLength ? socket_call::Acknowledge : socket_call::Receive;
  switch (flags & 0x3F) {
    case 0x18:
      if (frameLength <= noPayloadLength) {
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
