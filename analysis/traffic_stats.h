#pragma once
// Running totals of a trace or file: one entry per connection (a TCP connection number, or
// a UDP address-and-port pair) and frames and bytes each way per time interval. Fed every
// decoded row once; keeps counters per connection and per interval, nothing per row, so
// that the totals still cover rows that have left the list.

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "analysis/packet_row.h"

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
  std::string_view lastSocketCall;  // one of socket_call's texts, or empty
};

struct IoInterval {
  std::int64_t framesIn = 0;
  std::int64_t bytesIn = 0;
  std::int64_t framesOut = 0;
  std::int64_t bytesOut = 0;
};

class TrafficStats {
 public:
  // intervalNs: the length of one interval of Intervals() (above 0).
  explicit TrafficStats(std::int64_t intervalNs = 1'000'000'000);

  // Counts one row; bytes are its length on the wire.
  void Add(const PacketRow& row);

  // In the order their first frames came.
  const std::vector<ConnectionTotals>& Connections() const { return connections_; }
  // Interval i covers [i, i + 1) times the interval length from the time origin, up to
  // the last one that holds a frame; idle intervals in between are zero.
  std::span<const IoInterval> Intervals() const { return intervals_; }
  std::int64_t IntervalNs() const { return intervalNs_; }

  // An interval index past this is counted in the last interval: a damaged time stamp
  // years ahead would otherwise take gigabytes of empty intervals.
  static constexpr std::size_t MaxIntervals = 10'000'000;

 private:
  struct UdpKey {
    std::array<std::uint8_t, 16> low{};
    std::array<std::uint8_t, 16> high{};
    std::uint16_t lowPort = 0;
    std::uint16_t highPort = 0;
    bool ipv6 = false;
    bool operator==(const UdpKey&) const = default;
  };
  struct UdpKeyHash {
    std::size_t operator()(const UdpKey& key) const;
  };

  ConnectionTotals& EntryFor(const PacketRow& row, bool tcp);
  void AddInterval(const PacketRow& row);

  std::int64_t intervalNs_;
  std::vector<ConnectionTotals> connections_;
  std::unordered_map<std::int64_t, std::size_t> tcpIndex_;
  std::unordered_map<UdpKey, std::size_t, UdpKeyHash> udpIndex_;
  std::vector<IoInterval> intervals_;
  std::int64_t lastKnownNs_ = 0;
};

// The connections as tab-separated text with a header line, one line each in the order of
// Connections(). State reads "open" or "closed" for TCP ("still open" once atEnd: the trace
// or file is over), empty for UDP, which has no close.
std::string ConnectionsTsv(const TrafficStats& stats, bool atEnd);

// The intervals as tab-separated text with a header line: start and end in seconds, then
// frames and bytes in and out.
std::string IntervalsTsv(const TrafficStats& stats);
