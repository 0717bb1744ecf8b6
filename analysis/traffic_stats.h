#pragma once
// Running totals of a trace or file: one entry per connection (a TCP connection number, or
// a UDP address-and-port pair) and frames and bytes each way per time interval. Fed every
// decoded row once; keeps counters per connection and per interval, nothing per row, so
// that the totals still cover rows that have left the list.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "analysis/packet_row.h"
#include "analysis/row_filter.h"
#include "analysis/traffic_index.h"

class RowStore;

struct ConnectionTotals {
  std::int64_t connection = 0;  // the TCP connection number; 0 for UDP
  bool tcp = false;
  bool ipv6 = false;
  // A is the end that sent the first frame seen. IPv4 addresses use the first 4 bytes.
  std::array<std::uint8_t, 16> addressA{};
  std::array<std::uint8_t, 16> addressB{};
  std::uint16_t portA = 0;
  std::uint16_t portB = 0;
  std::int64_t framesAToB = 0;
  std::int64_t bytesAToB = 0;
  std::int64_t framesBToA = 0;
  std::int64_t bytesBToA = 0;
  // Nanoseconds since the list's time origin; equal to each other while no time is known.
  std::int64_t firstNs = 0;
  std::int64_t lastNs = 0;
  bool timeKnown = false;
  bool closed = false;          // TCP: a reset, or a FIN from each end
  std::uint8_t finSeen = 0;     // bit 0: A sent a FIN, bit 1: B did
  std::string_view lastSocketCall{};  // one of socket_call's texts, or empty
};

// One IP address (either family) or one MAC address and what it sent and received.
struct EndpointTotals {
  bool mac = false;
  bool ipv6 = false;
  std::array<std::uint8_t, 16> address{};  // IPv4 and MAC addresses use the first 4 or 6 bytes
  std::int64_t framesSent = 0;
  std::int64_t bytesSent = 0;
  std::int64_t framesReceived = 0;
  std::int64_t bytesReceived = 0;
  std::int64_t connections = 0;  // connections (as in Connections()) it is an end of
};

// Frames and bytes of one EtherType, or of one upper-layer protocol under IPv4 or IPv6.
struct ProtocolTotals {
  std::uint16_t etherType = 0;  // 0: an IEEE 802.3 frame (a length in place of the type)
  bool upperLayer = false;      // a row of ipProtocol under etherType
  bool ipv6 = false;
  std::uint8_t ipProtocol = 0;
  std::int64_t frames = 0;
  std::int64_t bytes = 0;
};

// A rise of the kernel's drop count, at the time of the last frame counted before it.
struct DropMark {
  std::int64_t timeNs = 0;
  std::uint64_t drops = 0;
};

struct IoInterval {
  std::int64_t framesIn = 0;
  std::int64_t bytesIn = 0;
  std::int64_t framesOut = 0;
  std::int64_t bytesOut = 0;
};

class TrafficStats {
 public:
  // intervalNs: the length of one interval of Intervals() (above 0). intervalsOnly counts
  // the intervals and nothing else (a graph's second series needs no more).
  explicit TrafficStats(std::int64_t intervalNs = 1'000'000'000, bool intervalsOnly = false);

  // Counts one row; bytes are its length on the wire.
  void Add(const PacketRow& row);
  // Counts every frame's row of a store (text rows are not frames). The MAC addresses count
  // only where the store keeps them: it does while a MAC column is shown.
  void AddRows(const RowStore& rows);
  // The kernel's drop count of the trace so far: a rise is marked at the latest frame.
  void AddKernelDrops(std::uint64_t totalDrops);
  // Forgets everything counted; the interval length stays.
  void Clear();

  // Brings copy up to these totals, copying only what changed since the last call: the
  // entries counted since, the intervals from the first one changed. copy must take its
  // totals from these calls alone and be cleared with this one; it is only read (its
  // ConnectionOf finds nothing). A reader on another thread keeps a copy this way.
  void CopyChangesTo(TrafficStats& copy);
  // The same for the intervals, drop marks and the frame and byte totals alone (what a
  // graph needs); the entries' changes wait for the next CopyChangesTo.
  void CopyIntervalsTo(TrafficStats& copy);
  // On a copy: the entries of Connections() (Endpoints()) that CopyChangesTo brought up to
  // date since the last call, into entries. True instead when that is not known (totals
  // counted here rather than copied, the first call, or more changes than entries): then
  // take every entry as changed.
  bool TakeChangedConnections(std::vector<std::uint32_t>& entries) { return copiedConnections_.Take(entries); }
  bool TakeChangedEndpoints(std::vector<std::uint32_t>& entries) { return copiedEndpoints_.Take(entries); }

  // The entry of Connections() a row counts in, if it counts in one.
  std::optional<std::size_t> ConnectionOf(const PacketRow& row) const;

  // In the order their first frames came.
  const std::vector<ConnectionTotals>& Connections() const { return connections_; }
  // Interval i covers [i, i + 1) times the interval length from the time origin, up to
  // the last one that holds a frame; idle intervals in between are zero.
  std::span<const IoInterval> Intervals() const { return intervals_; }
  std::int64_t IntervalNs() const { return intervalNs_; }
  // In the order their first frames came. MAC addresses 00:00:00:00:00:00 are not counted.
  const std::vector<EndpointTotals>& Endpoints() const { return endpoints_; }
  const std::vector<ProtocolTotals>& Protocols() const { return protocols_; }
  const std::vector<DropMark>& Drops() const { return drops_; }
  std::int64_t Frames() const { return frames_; }
  std::int64_t Bytes() const { return bytes_; }

  // An interval index past this is counted in the last interval: a damaged time stamp
  // years ahead would otherwise take gigabytes of empty intervals.
  static constexpr std::size_t MaxIntervals = 10'000'000;

 private:
  enum class EndpointKind : std::uint8_t { Ipv4, Ipv6, Mac };
  // The same for a pair whichever end is a.
  static std::uint64_t UdpHash(const std::array<std::uint8_t, 16>& a, std::uint16_t portA,
                               const std::array<std::uint8_t, 16>& b, std::uint16_t portB, bool ipv6);
  // Whether a UDP row (its addresses given as 16 bytes) is of the pair c, either way.
  static bool SamePair(const ConnectionTotals& c, const PacketRow& row, const std::array<std::uint8_t, 16>& source,
                       const std::array<std::uint8_t, 16>& destination);
  // What calls of CopyChangesTo changed in a copy, for TakeChanged….
  struct ChangeList {
    std::vector<std::uint32_t> entries;
    bool all = true;
    bool copy = false;  // Note was called: these totals are a copy
    void Note(const std::vector<std::uint32_t>& changed, std::size_t entryCount);
    bool Take(std::vector<std::uint32_t>& out);
  };

  // Connection numbers below this are found in a table, the others by hashing.
  static constexpr std::int64_t DenseConnections = 1 << 24;
  // Notes an entry changed for CopyChangesTo, once until then.
  static void MarkChanged(std::size_t entry, std::vector<std::uint8_t>& marks, std::vector<std::uint32_t>& changed) {
    if (marks[entry]) return;
    marks[entry] = 1;
    changed.push_back(static_cast<std::uint32_t>(entry));
  }

  // The entry of Connections() the row counts in, made when new (with its two IP endpoints).
  std::size_t EntryFor(const PacketRow& row, bool tcp);
  void AddInterval(const PacketRow& row, std::int64_t bytes);
  std::size_t EndpointIndex(const std::array<std::uint8_t, 16>& address, EndpointKind kind);
  void CountEndpoints(std::size_t from, std::size_t to, std::int64_t bytes);
  void AddMacEndpoints(const PacketRow& row, std::int64_t bytes, bool newConnection);
  void AddProtocol(const PacketRow& row, std::int64_t bytes);

  std::int64_t intervalNs_;
  bool intervalsOnly_ = false;
  std::vector<ConnectionTotals> connections_;
  TrafficIndex tcpIndex_;  // connection numbers from DenseConnections on
  std::vector<std::uint32_t> tcpByNumber_;  // entry + 1 by connection number; 0: none yet
  // The IP endpoints of each connection: A's and B's index in endpoints_.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> ends_;
  TrafficIndex udpIndex_;
  std::vector<IoInterval> intervals_;
  std::int64_t lastKnownNs_ = 0;
  // The interval the last frame went into and where it starts (past the last interval
  // there is: where that frame was).
  std::size_t lastInterval_ = 0;
  std::int64_t lastIntervalStart_ = INT64_MAX;
  std::vector<EndpointTotals> endpoints_;
  TrafficIndex endpointIndex_;
  // The MAC endpoints of the last frame counted: most frames pass between the same two
  // stations, so their entries are seldom looked up.
  std::array<std::uint8_t, 6> lastMacSource_{};
  std::array<std::uint8_t, 6> lastMacDestination_{};
  std::pair<std::size_t, std::size_t> lastMacEnds_{SIZE_MAX, SIZE_MAX};
  std::vector<ProtocolTotals> protocols_;
  std::unordered_map<std::uint32_t, std::size_t> protocolIndex_;
  // Key and entry of the last EtherType, and of the last upper layer of each protocol
  // number (entry UINT32_MAX: none yet).
  std::pair<std::uint32_t, std::uint32_t> lastEtherType_{0, UINT32_MAX};
  std::array<std::pair<std::uint32_t, std::uint32_t>, 256> lastUpper_ = [] {
    std::array<std::pair<std::uint32_t, std::uint32_t>, 256> none;
    none.fill({0, UINT32_MAX});
    return none;
  }();
  std::vector<DropMark> drops_;
  std::uint64_t dropsSeen_ = 0;
  // What changed since the last CopyChangesTo: entries of connections_ and endpoints_ (a
  // mark per entry, so that each is listed once), and the first interval.
  std::vector<std::uint8_t> connectionMarks_;
  std::vector<std::uint32_t> changedConnections_;
  std::vector<std::uint8_t> endpointMarks_;
  std::vector<std::uint32_t> changedEndpoints_;
  std::size_t firstChangedInterval_ = SIZE_MAX;
  ChangeList copiedConnections_;
  ChangeList copiedEndpoints_;
  std::int64_t frames_ = 0;
  std::int64_t bytes_ = 0;
};

// The text of an IP address of Connections() or Endpoints(), as the list shows it.
std::string AddressText(const std::array<std::uint8_t, 16>& address, bool ipv6);

// A table row seen by the display filter as a frame's row with the fields that make sense
// for it. A connection: ip.src and sport are end A, ip.dst and dport end B (ip and port
// match either end), conn its number, proto and ulp its protocols (so tcp and udp work),
// bytes both ways together, time its first frame. An endpoint: its address as source and
// destination (ip == X, mac == X), proto its family. A protocol: proto and ulp.
class StatsFilterRow : public FilterRow {
 public:
  explicit StatsFilterRow(const ConnectionTotals& connection);
  explicit StatsFilterRow(const EndpointTotals& endpoint);
  explicit StatsFilterRow(const ProtocolTotals& protocol);
  std::string_view Cell(ColumnId id) const override;

 private:
  PacketRow row_;
  mutable std::array<std::array<char, CellTextCapacity>, ColumnCount> texts_;
  mutable std::array<std::int16_t, ColumnCount> lengths_{};  // -1: not built yet
};

// The connections as tab-separated text with a header line, one line each in the order of
// Connections(). State reads "open" or "closed" for TCP ("still open" once atEnd: the trace
// or file is over), empty for UDP, which has no close.
std::string ConnectionsTsv(const TrafficStats& stats, bool atEnd);

// The intervals as tab-separated text with a header line: start and end in seconds, then
// frames and bytes in and out.
std::string IntervalsTsv(const TrafficStats& stats);
