#include "analysis/row_store.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <deque>
#include <unordered_set>
#include <utility>

#include "analysis/connection_tracker.h"
#include "analysis/decoder.h"
#include "analysis/frame_source.h"
#include "analysis/process_owner.h"

// Layout. A row is one record inside a chunk; a record never spans two chunks, and a
// chunk is never reallocated, so appending never moves a stored row.
//
// A frame's row starts with the byte 0xFE and holds its fields (see PacketRecord below).
//
// A text row is one run of encoded cells. Each cell starts with a header byte:
//   0x00-0x7F  a text of that many bytes follows
//   0x80-0xBF  a text follows whose length is (h & 0x3F) << 8 | next byte (up to 16383)
//   0xC0-0xFD  a frequent text of the dictionary below, number h - 0xC0, no bytes follow
//   0xFF       a four-byte little-endian length follows, then the text
// The dictionary is the same for every store, so one store's rows copy into another
// byte for byte.

namespace {

// The texts that stand in most rows, taken from where the decoder and the tracker write
// them: the directions, the EtherType names, the upper-layer protocols, the socket calls.
constexpr auto kDictionary = [] {
  std::array<std::string_view, 2 + EtherTypeNames.size() + IpProtocolCount + socket_call::All.size() + 1> texts{};
  std::size_t n = 0;
  texts[n++] = DirectionText(Direction::Incoming);
  texts[n++] = DirectionText(Direction::Outgoing);
  for (const EtherTypeEntry& entry : EtherTypeNames) texts[n++] = entry.name;
  for (int i = 0; i < IpProtocolCount; ++i) texts[n++] = IpProtocolCellText[i];
  for (const std::string_view call : socket_call::All) texts[n++] = call;
  texts[n++] = Icmpv6CellText;
  return texts;
}();
constexpr std::uint8_t kDictionaryBase = 0xC0;
constexpr std::uint8_t kPacketRecord = 0xFE;
constexpr std::uint8_t kLongLength = 0xFF;
static_assert(kDictionary.size() <= kPacketRecord - kDictionaryBase);

// Hash buckets over the dictionary, so that a cell is compared with at most a few
// entries. Built at compile time; a bucket holds up to four entries.
constexpr std::size_t kBuckets = 128;
constexpr std::size_t kPerBucket = 4;

constexpr std::size_t BucketOf(std::string_view text) {
  return (text.size() * 7 + static_cast<unsigned char>(text.front()) * 3 +
          static_cast<unsigned char>(text.back())) %
         kBuckets;
}

struct DictionaryIndex {
  std::array<std::array<std::int8_t, kPerBucket>, kBuckets> ids{};
};

constexpr DictionaryIndex BuildIndex() {
  DictionaryIndex index{};
  for (auto& bucket : index.ids) bucket.fill(-1);
  for (std::size_t id = 0; id < kDictionary.size(); ++id) {
    auto& bucket = index.ids[BucketOf(kDictionary[id])];
    for (auto& slot : bucket) {
      if (slot < 0) {
        slot = static_cast<std::int8_t>(id);
        break;
      }
    }
  }
  return index;
}

constexpr DictionaryIndex kIndex = BuildIndex();

constexpr bool EveryEntryIndexed() {
  for (std::size_t id = 0; id < kDictionary.size(); ++id) {
    bool found = false;
    for (auto slot : kIndex.ids[BucketOf(kDictionary[id])]) found = found || slot == int(id);
    if (!found) return false;
  }
  return true;
}
static_assert(EveryEntryIndexed(), "a dictionary bucket overflowed");

// Most cells (numbers, addresses, payload) are no dictionary text; a table of the
// lengths and first characters the dictionary has turns them away before any hashing.
constexpr std::size_t kLongestEntry = 80;

struct DictionaryFilter {
  std::array<bool, kLongestEntry + 1> length{};
  std::array<bool, 256> first{};
};

constexpr DictionaryFilter BuildFilter() {
  DictionaryFilter filter{};
  for (std::string_view entry : kDictionary) {
    filter.length[entry.size()] = true;
    filter.first[static_cast<unsigned char>(entry.front())] = true;
  }
  return filter;
}

constexpr DictionaryFilter kFilter = BuildFilter();

constexpr bool EveryEntryFits() {
  for (std::string_view entry : kDictionary) {
    if (entry.size() < 2 || entry.size() > kLongestEntry) return false;
  }
  return true;
}
static_assert(EveryEntryFits(), "a dictionary entry is outside the lengths looked up");

int DictionaryId(std::string_view text) {
  if (text.size() < 2 || text.size() > kLongestEntry) return -1;
  if (!kFilter.length[text.size()] || !kFilter.first[static_cast<unsigned char>(text.front())]) return -1;
  for (auto slot : kIndex.ids[BucketOf(text)]) {
    if (slot < 0) return -1;
    if (kDictionary[slot] == text) return slot;
  }
  return -1;
}

std::size_t HeaderSize(std::size_t length) {
  if (length < 0x80) return 1;
  if (length < 0x4000) return 2;
  return 5;
}

std::size_t EncodedSize(std::string_view text) {
  if (DictionaryId(text) >= 0) return 1;
  return HeaderSize(text.size()) + text.size();
}

char* Encode(char* out, std::string_view text) {
  const int id = DictionaryId(text);
  if (id >= 0) {
    *out++ = static_cast<char>(kDictionaryBase + id);
    return out;
  }
  const std::size_t n = text.size();
  if (n < 0x80) {
    *out++ = static_cast<char>(n);
  } else if (n < 0x4000) {
    *out++ = static_cast<char>(0x80 | (n >> 8));
    *out++ = static_cast<char>(n & 0xFF);
  } else {
    *out++ = static_cast<char>(kLongLength);
    for (int i = 0; i < 4; ++i) *out++ = static_cast<char>((n >> (8 * i)) & 0xFF);
  }
  if (n != 0) std::memcpy(out, text.data(), n);
  return out + n;
}

// Reads the cell at p; returns its text and moves p past it.
std::string_view Decode(const char*& p) {
  const auto h = static_cast<std::uint8_t>(*p++);
  std::size_t n;
  if (h < 0x80) {
    n = h;
  } else if (h < kDictionaryBase) {
    n = (std::size_t{h & 0x3Fu} << 8) | static_cast<std::uint8_t>(*p++);
  } else if (h != kLongLength) {
    return kDictionary[h - kDictionaryBase];
  } else {
    n = 0;
    for (int i = 0; i < 4; ++i) n |= std::size_t{static_cast<std::uint8_t>(*p++)} << (8 * i);
  }
  std::string_view text(p, n);
  p += n;
  return text;
}


// A frame's record, after its 0xFE:
//   flags      bits 0-2 the RowKind, 3 outgoing, 4 time known, 5 MACs kept,
//              6 TCP details kept, 7 Data text kept
//   varint     packet number
//   varint     time since the origin, zigzag (when known)
//   varint     length
//   varint     the length on the wire less length
//   12 bytes   source and destination MAC (when kept)
//   2 bytes    EtherType
//   9 bytes    IPv4 source, destination, protocol (IPv4 kinds)
//   IPv6 rows (the kind bits read 7): 1 byte the RowKind, 32 bytes source and destination,
//              1 byte protocol, varint the IP header's bytes
//   UDP:       2 + 2 bytes ports
//   TCP:       varint connection, 2 + 2 bytes ports, 1 byte flags, then (when kept)
//              4 + 4 bytes sequence and acknowledgement, 2 + 2 bytes window and checksum
//   TCP, UDP:  varint the address of the socket's owner (0: none), which the store keeps alive
//   varint + bytes  the Data text (when kept)
//   varint + bytes  the interface's name (when the store shows the Interface column)
// Multi-byte fixed fields are little-endian. A record keeps the MACs, the TCP details and
// Data only when its store shows them; Data also not while a frame source can rebuild it.
namespace record {

constexpr std::uint8_t kKindMask = 0x07;
constexpr std::uint8_t kIpv6Kind = 0x07;  // an IPv6 row; its RowKind follows
constexpr std::uint8_t kOutgoing = 0x08;
constexpr std::uint8_t kTimeKnown = 0x10;
constexpr std::uint8_t kMacs = 0x20;
constexpr std::uint8_t kTcpDetails = 0x40;
constexpr std::uint8_t kData = 0x80;

// The most bytes a record takes besides its Data text (UDP's ports take less than TCP's part).
constexpr std::size_t kFixedMost = 2 + 10 + 10 + 5 + 5 + 12 + 2 + (1 + 32 + 1 + 3) + 10 + 5 + 12 + 10 + 5;
static_assert(static_cast<int>(RowKind::Tcp) < kIpv6Kind);

char* PutVarint(char* out, std::uint64_t v) {
  while (v >= 0x80) {
    *out++ = static_cast<char>((v & 0x7F) | 0x80);
    v >>= 7;
  }
  *out++ = static_cast<char>(v);
  return out;
}

std::size_t VarintSize(std::uint64_t v) {
  std::size_t n = 1;
  for (; v >= 0x80; v >>= 7) ++n;
  return n;
}

std::uint64_t GetVarint(const char*& p) {
  std::uint64_t v = 0;
  for (int shift = 0; shift < 64; shift += 7) {
    const auto b = static_cast<std::uint8_t>(*p++);
    v |= std::uint64_t{b & 0x7Fu} << shift;
    if ((b & 0x80) == 0) break;
  }
  return v;
}

std::uint64_t ZigZag(std::int64_t v) {
  return (static_cast<std::uint64_t>(v) << 1) ^ static_cast<std::uint64_t>(v >> 63);
}
std::int64_t UnZigZag(std::uint64_t v) {
  return static_cast<std::int64_t>(v >> 1) ^ -static_cast<std::int64_t>(v & 1);
}

template <typename Int>
char* PutFixed(char* out, Int v) {
  for (std::size_t i = 0; i < sizeof(Int); ++i) *out++ = static_cast<char>((v >> (8 * i)) & 0xFF);
  return out;
}

template <typename Int>
Int GetFixed(const char*& p) {
  Int v = 0;
  for (std::size_t i = 0; i < sizeof(Int); ++i) v = static_cast<Int>(v | (Int{static_cast<std::uint8_t>(*p++)} << (8 * i)));
  return v;
}

char* PutBytes(char* out, const std::uint8_t* bytes, std::size_t n) {
  std::memcpy(out, bytes, n);
  return out + n;
}

void GetBytes(const char*& p, std::uint8_t* bytes, std::size_t n) {
  std::memcpy(bytes, p, n);
  p += n;
}

bool IsIpv4(RowKind kind) { return kind >= RowKind::Ipv4Unlisted; }

// What a store keeps of a frame's row.
struct Keep {
  bool macs = false;
  bool tcpDetails = false;
  bool data = false;  // the Data column is shown
  bool interfaceName = false;  // the Interface column is shown
};

// Writes the record (with its 0xFE) at out, which has room for kFixedMost plus the Data
// text's size and its length; returns its end.
char* Encode(char* out, const PacketRow& row, const Keep& keep, bool keepData) {
  const bool dataKept = keep.data && keepData && CellApplies(row, ColumnId::Data);
  const bool ipv6 = row.ipv6 && IsIpv4(row.kind);
  std::uint8_t flags = ipv6 ? kIpv6Kind : static_cast<std::uint8_t>(row.kind);
  if (row.outgoing) flags |= kOutgoing;
  if (row.timeKnown) flags |= kTimeKnown;
  if (keep.macs) flags |= kMacs;
  if (keep.tcpDetails) flags |= kTcpDetails;
  if (dataKept) flags |= kData;
  *out++ = static_cast<char>(kPacketRecord);
  *out++ = static_cast<char>(flags);
  out = PutVarint(out, static_cast<std::uint64_t>(row.packetNumber));
  if (row.timeKnown) out = PutVarint(out, ZigZag(row.timeNs));
  out = PutVarint(out, row.length);
  out = PutVarint(out, row.wireLength > row.length ? row.wireLength - row.length : 0);
  if (keep.macs) {
    out = PutBytes(out, row.macSource.data(), 6);
    out = PutBytes(out, row.macDestination.data(), 6);
  }
  out = PutFixed(out, row.etherType);
  if (ipv6) {
    *out++ = static_cast<char>(row.kind);
    out = PutBytes(out, row.ipv6Source.data(), 16);
    out = PutBytes(out, row.ipv6Destination.data(), 16);
    *out++ = static_cast<char>(row.ipProtocol);
    out = PutVarint(out, row.ipHeaderBytes);
  } else if (IsIpv4(row.kind)) {
    out = PutBytes(out, row.ipSource.data(), 4);
    out = PutBytes(out, row.ipDestination.data(), 4);
    *out++ = static_cast<char>(row.ipProtocol);
  }
  if (row.kind == RowKind::Udp) {
    out = PutFixed(out, row.sourcePort);
    out = PutFixed(out, row.destinationPort);
  }
  if (row.kind == RowKind::Tcp) {
    out = PutVarint(out, static_cast<std::uint64_t>(row.connection));
    out = PutFixed(out, row.sourcePort);
    out = PutFixed(out, row.destinationPort);
    *out++ = static_cast<char>(row.tcpFlags);
    if (keep.tcpDetails) {
      out = PutFixed(out, row.sequence);
      out = PutFixed(out, row.acknowledgement);
      out = PutFixed(out, row.window);
      out = PutFixed(out, row.checksum);
    }
  }
  if (row.kind == RowKind::Udp || row.kind == RowKind::Tcp) out = PutVarint(out, reinterpret_cast<std::uintptr_t>(row.owner));
  if (dataKept) {
    out = PutVarint(out, row.data.size());
    if (!row.data.empty()) std::memcpy(out, row.data.data(), row.data.size());
    out += row.data.size();
  }
  if (keep.interfaceName) {
    out = PutVarint(out, row.interfaceName.size());
    if (!row.interfaceName.empty()) std::memcpy(out, row.interfaceName.data(), row.interfaceName.size());
    out += row.interfaceName.size();
  }
  return out;
}

// The room a record of row takes at most.
std::size_t MostBytes(const PacketRow& row) { return kFixedMost + row.data.size() + 10 + row.interfaceName.size(); }

// Reads the record at p (just past its 0xFE) of a store that keeps what keep says into
// row; returns its end. dataKept tells whether row.data is the record's own text.
const char* Decode(const char* p, const Keep& keep, PacketRow& row, bool& dataKept) {
  const auto flags = static_cast<std::uint8_t>(*p++);
  row = PacketRow{};
  row.kind = static_cast<RowKind>(flags & kKindMask);
  row.outgoing = (flags & kOutgoing) != 0;
  row.timeKnown = (flags & kTimeKnown) != 0;
  row.packetNumber = static_cast<std::int64_t>(GetVarint(p));
  if (row.timeKnown) row.timeNs = UnZigZag(GetVarint(p));
  row.length = static_cast<std::uint32_t>(GetVarint(p));
  row.wireLength = row.length + static_cast<std::uint32_t>(GetVarint(p));
  if (flags & kMacs) {
    GetBytes(p, row.macSource.data(), 6);
    GetBytes(p, row.macDestination.data(), 6);
  }
  row.etherType = GetFixed<std::uint16_t>(p);
  if ((flags & kKindMask) == kIpv6Kind) {
    row.ipv6 = true;
    row.kind = static_cast<RowKind>(*p++);
    GetBytes(p, row.ipv6Source.data(), 16);
    GetBytes(p, row.ipv6Destination.data(), 16);
    row.ipProtocol = static_cast<std::uint8_t>(*p++);
    row.ipHeaderBytes = static_cast<std::uint16_t>(GetVarint(p));
  } else if (IsIpv4(row.kind)) {
    GetBytes(p, row.ipSource.data(), 4);
    GetBytes(p, row.ipDestination.data(), 4);
    row.ipProtocol = static_cast<std::uint8_t>(*p++);
  }
  if (row.kind == RowKind::Udp) {
    row.sourcePort = GetFixed<std::uint16_t>(p);
    row.destinationPort = GetFixed<std::uint16_t>(p);
  }
  if (row.kind == RowKind::Tcp) {
    row.connection = static_cast<std::int64_t>(GetVarint(p));
    row.sourcePort = GetFixed<std::uint16_t>(p);
    row.destinationPort = GetFixed<std::uint16_t>(p);
    row.tcpFlags = static_cast<std::uint8_t>(*p++);
    if (flags & kTcpDetails) {
      row.sequence = GetFixed<std::uint32_t>(p);
      row.acknowledgement = GetFixed<std::uint32_t>(p);
      row.window = GetFixed<std::uint16_t>(p);
      row.checksum = GetFixed<std::uint16_t>(p);
    }
  }
  if (row.kind == RowKind::Udp || row.kind == RowKind::Tcp)
    row.owner = reinterpret_cast<const ProcessOwner*>(static_cast<std::uintptr_t>(GetVarint(p)));
  dataKept = (flags & kData) != 0;
  if (dataKept) {
    const std::size_t n = static_cast<std::size_t>(GetVarint(p));
    row.data = std::string_view(p, n);
    p += n;
  }
  if (keep.interfaceName) {
    const std::size_t n = static_cast<std::size_t>(GetVarint(p));
    row.interfaceName = std::string_view(p, n);
    p += n;
  }
  return p;
}

}  // namespace record

constexpr std::size_t kFirstChunk = 4 * 1024;
constexpr std::size_t kLargestChunk = 1024 * 1024;
constexpr std::size_t kRefsPerBlockShift = 13;
constexpr std::size_t kRefsPerBlock = std::size_t{1} << kRefsPerBlockShift;

}  // namespace

struct RowStore::Impl {
  struct Chunk {
    std::unique_ptr<char[]> data;
    std::size_t capacity = 0;
    std::size_t used = 0;
    std::int64_t records = 0;  // rows whose record lies here; at 0 an old chunk is freed
  };
  struct RowRef {
    std::uint32_t chunk;
    std::uint32_t offset;
  };

  explicit Impl(int columnCount) {
    columns = std::max(columnCount, 1);
    for (int c = 0; c < std::min(columns, ::ColumnCount); ++c) ids.push_back(ColumnListOrder[static_cast<std::size_t>(c)]);
    SetKeep();
  }
  explicit Impl(const ColumnSet& set) {
    for (const ColumnId id : ColumnListOrder) {
      if (set.IsShown(id)) ids.push_back(id);
    }
    // A store keeps at least one cell per row so that a row exists as a row.
    columns = std::max<int>(1, static_cast<int>(ids.size()));
    SetKeep();
  }

  void SetKeep() {
    const auto shows = [this](ColumnId id) { return std::find(ids.begin(), ids.end(), id) != ids.end(); };
    keep.macs = shows(ColumnId::MacSource) || shows(ColumnId::MacDestination);
    keep.tcpDetails = shows(ColumnId::TcpSequenceNumber) || shows(ColumnId::TcpAcknowledgementNumber) ||
                      shows(ColumnId::TcpWindow) || shows(ColumnId::TcpChecksum);
    keep.data = shows(ColumnId::Data);
    keep.interfaceName = shows(ColumnId::Interface);
  }

  int columns = 1;
  std::vector<ColumnId> ids;  // the column of each list column a frame's row fills
  record::Keep keep;
  std::int64_t rows = 0;
  std::int64_t first = 0;  // absolute index of row 0 (rows removed before it)
  std::vector<Chunk> chunks;
  // Row references in blocks of kRefsPerBlock, so a million rows never move one big
  // array; blocks whose rows have all left are dropped from the front.
  std::deque<std::vector<RowRef>> refBlocks;
  std::int64_t droppedBlocks = 0;
  // A record moved to the end of the chunks (KeepDataBelow): records no longer follow
  // each other in row order.
  bool moved = false;
  const FrameSource* source = nullptr;
  // Absolute index of the first row that may still rebuild its Data from the source.
  std::int64_t sourceFrom = 0;
  // The source's frames below this packet number are leaving: rows of them keep Data.
  std::int64_t keepBelow = INT64_MIN;

  bool KeepsData(const PacketRow& row) const { return source == nullptr || row.packetNumber < keepBelow; }

  // The owners the records point at. Few (one per process seen), so they stay until
  // the store is cleared even when their rows have left.
  std::vector<std::shared_ptr<const ProcessOwner>> owners;
  std::unordered_set<const ProcessOwner*> ownerSet;
  void KeepOwner(const ProcessOwner* owner) {
    if (owner == nullptr || (!owners.empty() && owners.back().get() == owner)) return;
    if (ownerSet.insert(owner).second) owners.push_back(owner->shared_from_this());
  }

  // Where frame rows' cell texts are built when read.
  mutable std::unique_ptr<char[]> texts;
  mutable DataTextRoom dataRoom;

  const RowRef& Ref(std::int64_t row) const {
    const auto a = static_cast<std::size_t>(first + row);
    return refBlocks[(a >> kRefsPerBlockShift) - static_cast<std::size_t>(droppedBlocks)][a & (kRefsPerBlock - 1)];
  }
  RowRef& Ref(std::int64_t row) { return const_cast<RowRef&>(std::as_const(*this).Ref(row)); }

  const char* At(std::int64_t row) const {
    const RowRef& ref = Ref(row);
    return chunks[ref.chunk].data.get() + ref.offset;
  }

  // Room for one record of at most n bytes, contiguous; returns where to write it.
  char* Reserve(std::size_t n, RowRef& ref) {
    if (chunks.empty() || chunks.back().capacity - chunks.back().used < n) {
      // (A chunk freed at the back counts as the first again.)
      std::size_t size = std::min(std::max(chunks.empty() ? 0 : chunks.back().capacity * 2, kFirstChunk), kLargestChunk);
      size = std::max(size, n);
      if (!chunks.empty() && chunks.back().records == 0) chunks.back() = Chunk{};  // its rows all left
      chunks.push_back(Chunk{std::make_unique_for_overwrite<char[]>(size), size, 0, 0});
    }
    Chunk& chunk = chunks.back();
    ref.chunk = static_cast<std::uint32_t>(chunks.size() - 1);
    ref.offset = static_cast<std::uint32_t>(chunk.used);
    return chunk.data.get() + chunk.used;
  }

  // Adds the reference of a row whose n bytes were written at Reserve's place.
  void Commit(const RowRef& ref, std::size_t n) {
    const std::int64_t a = first + rows;
    if (static_cast<std::int64_t>(refBlocks.size()) + droppedBlocks <= (a >> kRefsPerBlockShift)) {
      refBlocks.emplace_back();
      refBlocks.back().reserve(rows == 0 && droppedBlocks == 0 ? 64 : kRefsPerBlock);
    }
    auto& block = refBlocks.back();
    if (block.size() == block.capacity()) block.reserve(std::min(block.capacity() * 2, kRefsPerBlock));
    block.push_back(ref);
    chunks[ref.chunk].used += n;
    chunks[ref.chunk].records += 1;
    ++rows;
  }

  // A record leaves its chunk; an emptied chunk other than the one being filled is freed.
  void Release(const RowRef& ref) {
    Chunk& chunk = chunks[ref.chunk];
    if (--chunk.records == 0 && ref.chunk + 1 != chunks.size()) chunk = Chunk{};
  }

  // Bytes of a row's record. While no record has moved, each one ends where the next one
  // of its chunk starts, or where its chunk's used bytes end: no record is read.
  std::size_t RecordSize(std::int64_t row) const {
    const RowRef& ref = Ref(row);
    if (!moved) {
      const bool nextHere = row + 1 < rows && Ref(row + 1).chunk == ref.chunk;
      return (nextHere ? Ref(row + 1).offset : chunks[ref.chunk].used) - ref.offset;
    }
    return RecordSize(At(row));
  }

  // Bytes of the record at p.
  std::size_t RecordSize(const char* p) const {
    const char* end = p;
    if (static_cast<std::uint8_t>(*end) == kPacketRecord) {
      PacketRow row;
      bool kept = false;
      end = record::Decode(end + 1, keep, row, kept);
    } else {
      for (int c = 0; c < columns; ++c) ::Decode(end);
    }
    return static_cast<std::size_t>(end - p);
  }

  void AppendPacket(const PacketRow& row, bool keepData) {
    KeepOwner(row.owner);
    RowRef ref{};
    char* out = Reserve(record::MostBytes(row), ref);
    Commit(ref, static_cast<std::size_t>(record::Encode(out, row, keep, keepData) - out));
  }

  // Reads a frame's record; its Data text from the source when the record has none, the
  // frame and the text into the room given.
  bool Packet(std::int64_t row, PacketRow& out, DataTextRoom& room) const {
    const char* p = At(row);
    if (static_cast<std::uint8_t>(*p) != kPacketRecord) return false;
    bool dataKept = false;
    record::Decode(p + 1, keep, out, dataKept);
    room.frameRead = false;
    if (!dataKept && keep.data && source != nullptr && CellApplies(out, ColumnId::Data)) {
      StoredFrame& frame = room.frame;
      room.frameRead = source->ReadFrame(out.packetNumber, frame);
      out.data = room.frameRead
                     ? FrameDataText(frame.bytes.data(),
                                     static_cast<std::uint32_t>(std::min<std::size_t>(frame.bytes.size(), out.length)),
                                     out.ipv6, room.text)
                     : std::string_view{};
    }
    return true;
  }

  std::span<char> TextBuffer() const {
    const std::size_t size = static_cast<std::size_t>(columns) * CellTextCapacity;
    if (!texts) texts = std::make_unique_for_overwrite<char[]>(size);
    return {texts.get(), size};
  }
};

RowStore::RowStore(const ColumnSet& columns) : impl_(std::make_unique<Impl>(columns)) {}
RowStore::RowStore(int columnCount) : impl_(std::make_unique<Impl>(columnCount)) {}
RowStore::RowStore(RowStore&&) noexcept = default;
RowStore& RowStore::operator=(RowStore&&) noexcept = default;
RowStore::~RowStore() = default;

int RowStore::ColumnCount() const { return impl_ ? impl_->columns : 1; }
std::int64_t RowStore::RowCount() const { return impl_ ? impl_->rows : 0; }
std::span<const ColumnId> RowStore::FrameColumns() const {
  if (!impl_) return {};
  return impl_->ids;
}

void RowStore::AppendPacket(const PacketRow& row) {
  if (!impl_) impl_ = std::make_unique<Impl>(1);
  impl_->AppendPacket(row, impl_->KeepsData(row));
}

void RowStore::AppendRow(std::span<const std::string_view> cells) {
  if (!impl_) impl_ = std::make_unique<Impl>(1);
  Impl& s = *impl_;
  const std::size_t columns = static_cast<std::size_t>(s.columns);
  const std::size_t given = std::min(cells.size(), columns);
  std::size_t size = columns - given;  // one header byte per missing cell
  for (std::size_t i = 0; i < given; ++i) size += EncodedSize(cells[i]);

  Impl::RowRef ref{};
  char* out = s.Reserve(size, ref);
  for (std::size_t i = 0; i < given; ++i) out = Encode(out, cells[i]);
  for (std::size_t i = given; i < columns; ++i) *out++ = 0;
  s.Commit(ref, size);
}

void RowStore::Append(const RowStore& other, std::int64_t most) {
  if (!other.impl_ || other.impl_->rows == 0 || most <= 0) return;
  if (!impl_) impl_ = std::make_unique<Impl>(other.ColumnCount());
  const Impl& o = *other.impl_;
  Impl& s = *impl_;
  const std::int64_t count = std::min(o.rows, most);  // fixed first: other may be this store
  const bool sameLayout = o.columns == s.columns && o.ids == s.ids;
  if (&o != &s) {
    for (const auto& owner : o.owners) s.KeepOwner(owner.get());
  }
  PacketRow row;
  std::vector<std::string_view> cells;
  for (std::int64_t r = 0; r < count; ++r) {
    const char* src = o.At(r);
    const bool packet = static_cast<std::uint8_t>(*src) == kPacketRecord;
    if (packet && sameLayout && o.source == nullptr && s.source != nullptr &&
        (static_cast<std::uint8_t>(src[1]) & record::kData) != 0) {
      // The record as it is but for its Data text, which this store reads from its source
      // (the window's rows from the spool): the capture thread's rows keep theirs.
      bool dataKept = false;
      const char* const end = record::Decode(src + 1, o.keep, row, dataKept);
      if (!s.KeepsData(row)) {
        const char* const text = row.data.data();
        const char* const length = text - record::VarintSize(row.data.size());
        const char* const after = text + row.data.size();
        const auto head = static_cast<std::size_t>(length - src);
        const auto tail = static_cast<std::size_t>(end - after);
        Impl::RowRef ref{};
        char* out = s.Reserve(head + tail, ref);
        std::memcpy(out, src, head);
        out[1] = static_cast<char>(static_cast<std::uint8_t>(out[1]) & ~record::kData);
        std::memcpy(out + head, after, tail);
        s.Commit(ref, head + tail);
        continue;
      }
    }
    if (packet && (!sameLayout || (s.source != nullptr && o.source != nullptr))) {
      // Fields again, so that this store keeps what its own columns and source call for.
      o.Packet(r, row, o.dataRoom);
      s.AppendPacket(row, s.KeepsData(row));
      continue;
    }
    if (!sameLayout) {
      // A text row into other columns: missing cells empty, extra ones dropped.
      cells.resize(static_cast<std::size_t>(o.columns));
      for (int c = 0; c < o.columns; ++c) cells[static_cast<std::size_t>(c)] = other.Cell(r, c);
      AppendRow(cells);
      continue;
    }
    const std::size_t n = o.RecordSize(r);
    Impl::RowRef ref{};
    char* out = s.Reserve(n, ref);
    std::memcpy(out, o.At(r), n);  // read again: the reserve may have been in this store
    s.Commit(ref, n);
  }
}

std::string_view RowStore::Cell(std::int64_t row, int column) const {
  if (!impl_ || row < 0 || row >= impl_->rows || column < 0 || column >= impl_->columns) {
    return {};
  }
  const Impl& s = *impl_;
  const char* p = s.At(row);
  if (static_cast<std::uint8_t>(*p) == kPacketRecord) {
    if (static_cast<std::size_t>(column) >= s.ids.size()) return {};
    PacketRow fields;
    // Only the Data cell needs the frame read again from the source: a list paints a
    // row's cells one by one, and would otherwise read its frame for every one of them.
    if (s.ids[static_cast<std::size_t>(column)] == ColumnId::Data) {
      s.Packet(row, fields, s.dataRoom);
    } else {
      bool dataKept = false;
      record::Decode(p + 1, s.keep, fields, dataKept);
    }
    char* const text = s.TextBuffer().data();
    return {text, static_cast<std::size_t>(PutCellText(text, fields, s.ids[static_cast<std::size_t>(column)]) - text)};
  }
  for (int c = 0; c < column; ++c) Decode(p);
  return Decode(p);
}

std::size_t RowStore::RowCells(std::int64_t row, std::span<std::string_view> out) const {
  if (!impl_ || row < 0 || row >= impl_->rows) return 0;
  const Impl& s = *impl_;
  const std::size_t n = std::min(out.size(), static_cast<std::size_t>(s.columns));
  const char* p = s.At(row);
  if (static_cast<std::uint8_t>(*p) == kPacketRecord) {
    PacketRow fields;
    s.Packet(row, fields, s.dataRoom);
    char* text = s.TextBuffer().data();
    for (std::size_t c = 0; c < n; ++c) {
      if (c >= s.ids.size()) {
        out[c] = {};
        continue;
      }
      char* const end = PutCellText(text, fields, s.ids[c]);
      out[c] = std::string_view(text, static_cast<std::size_t>(end - text));
      text = end;
    }
    return n;
  }
  for (std::size_t c = 0; c < n; ++c) out[c] = Decode(p);
  return n;
}

bool RowStore::Packet(std::int64_t row, PacketRow& out) const {
  if (!impl_ || row < 0 || row >= impl_->rows) return false;
  return impl_->Packet(row, out, impl_->dataRoom);
}

bool RowStore::Packet(std::int64_t row, PacketRow& out, DataTextRoom& room) const {
  if (!impl_ || row < 0 || row >= impl_->rows) return false;
  return impl_->Packet(row, out, room);
}

bool RowStore::PacketFields(std::int64_t row, PacketRow& out) const {
  if (!impl_ || row < 0 || row >= impl_->rows) return false;
  const char* p = impl_->At(row);
  if (static_cast<std::uint8_t>(*p) != kPacketRecord) return false;
  bool dataKept = false;
  record::Decode(p + 1, impl_->keep, out, dataKept);
  return true;
}

std::int64_t RowStore::PacketNumber(std::int64_t row) const {
  if (!impl_ || row < 0 || row >= impl_->rows) return -1;
  const char* p = impl_->At(row);
  if (static_cast<std::uint8_t>(*p) != kPacketRecord) return -1;
  p += 2;
  return static_cast<std::int64_t>(record::GetVarint(p));
}

void RowStore::Prefetch(std::int64_t row) const {
  if (!impl_ || row < 0 || row >= impl_->rows) return;
  const char* p = impl_->At(row);
  __builtin_prefetch(p);
  __builtin_prefetch(p + 63);
}

void RowStore::SetFrameSource(const FrameSource* source) {
  if (!impl_) impl_ = std::make_unique<Impl>(1);
  // Rows that rebuild their Data from the old source keep it now, before it goes.
  if (impl_->source != nullptr && impl_->source != source) KeepDataBelow(INT64_MAX);
  if (impl_->source != source) impl_->keepBelow = INT64_MIN;
  impl_->source = source;
  impl_->sourceFrom = impl_->first + impl_->rows;
}

void RowStore::KeepDataBelow(std::int64_t packetNumber) {
  if (!impl_ || impl_->source == nullptr) return;
  Impl& s = *impl_;
  s.keepBelow = std::max(s.keepBelow, packetNumber);
  PacketRow row;
  bool dataKept = false;
  for (std::int64_t r = std::max<std::int64_t>(0, s.sourceFrom - s.first); r < s.rows; ++r) {
    const char* p = s.At(r);
    if (static_cast<std::uint8_t>(*p) != kPacketRecord) {
      s.sourceFrom = s.first + r + 1;
      continue;
    }
    record::Decode(p + 1, s.keep, row, dataKept);
    if (row.packetNumber >= packetNumber) break;
    s.sourceFrom = s.first + r + 1;
    if (dataKept || !s.keep.data || !CellApplies(row, ColumnId::Data)) continue;
    s.Packet(r, row, s.dataRoom);
    // The record grows by its text, so it moves to the end of the chunks.
    const Impl::RowRef old = s.Ref(r);
    Impl::RowRef ref{};
    char* out = s.Reserve(record::MostBytes(row), ref);
    const std::size_t n = static_cast<std::size_t>(record::Encode(out, row, s.keep, true) - out);
    s.chunks[ref.chunk].used += n;
    s.chunks[ref.chunk].records += 1;
    s.Ref(r) = ref;
    s.Release(old);
    s.moved = true;
  }
}

void RowStore::RemoveFirst(std::int64_t count) {
  if (!impl_ || count <= 0) return;
  Impl& s = *impl_;
  count = std::min(count, s.rows);
  for (std::int64_t r = 0; r < count; ++r) s.Release(s.Ref(r));
  s.first += count;
  s.rows -= count;
  while (!s.refBlocks.empty() && (s.droppedBlocks + 1) * static_cast<std::int64_t>(kRefsPerBlock) <= s.first) {
    s.refBlocks.pop_front();
    ++s.droppedBlocks;
  }
}

void RowStore::Clear() {
  const FrameSource* source = impl_ ? impl_->source : nullptr;
  auto fresh = std::make_unique<Impl>(1);
  if (impl_) {
    fresh->columns = impl_->columns;
    fresh->ids = impl_->ids;
    fresh->keep = impl_->keep;
  }
  impl_ = std::move(fresh);
  impl_->source = source;
}

void RowStore::Reset(int columnCount) {
  const FrameSource* source = impl_ ? impl_->source : nullptr;
  impl_ = std::make_unique<Impl>(columnCount);
  impl_->source = source;
}

void RowStore::Reset(const ColumnSet& columns) {
  const FrameSource* source = impl_ ? impl_->source : nullptr;
  impl_ = std::make_unique<Impl>(columns);
  impl_->source = source;
}

std::size_t RowStore::MemoryBytes() const {
  if (!impl_) return 0;
  const Impl& s = *impl_;
  std::size_t bytes = sizeof(Impl) + s.chunks.capacity() * sizeof(Impl::Chunk) +
                      s.refBlocks.size() * sizeof(std::vector<Impl::RowRef>);
  for (const auto& chunk : s.chunks) bytes += chunk.capacity;
  for (const auto& block : s.refBlocks) bytes += block.capacity() * sizeof(Impl::RowRef);
  if (s.texts) bytes += static_cast<std::size_t>(s.columns) * CellTextCapacity;
  return bytes;
}

void RowBuilder::AddRow(const PacketRow& row) {
  store_->AppendPacket(row);
  ++built_;
}

void RowBuilder::Retarget(RowStore& store) {
  store_ = &store;
  built_ = 0;
}
