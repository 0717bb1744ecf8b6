#pragma once
// Builds test frames field by field: Ethernet II, ARP, IPv4 (20-byte header), UDP, TCP.

#include <algorithm>
#include <array>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "analysis/row_sink.h"

namespace testframes {

using Bytes = std::vector<std::uint8_t>;
using Mac = std::array<std::uint8_t, 6>;
using Ip = std::array<std::uint8_t, 4>;

inline constexpr Mac kLocalMac = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
inline constexpr Mac kRemoteMac = {0x0A, 0xBB, 0xCC, 0xDD, 0xEE, 0xF1};
inline constexpr Mac kOtherMac = {0x02, 0x00, 0x00, 0x00, 0x00, 0x09};
inline constexpr Ip kLocalIp = {10, 0, 0, 2};
inline constexpr Ip kRemoteIp = {192, 168, 1, 200};

inline void Put8(Bytes& b, std::size_t at, std::uint8_t v) {
  if (b.size() <= at) b.resize(at + 1);
  b[at] = v;
}
inline void Put16(Bytes& b, std::size_t at, std::uint16_t v) {
  Put8(b, at, static_cast<std::uint8_t>(v >> 8));
  Put8(b, at + 1, static_cast<std::uint8_t>(v));
}
inline void Put32(Bytes& b, std::size_t at, std::uint32_t v) {
  Put16(b, at, static_cast<std::uint16_t>(v >> 16));
  Put16(b, at + 2, static_cast<std::uint16_t>(v));
}
inline void PutBytes(Bytes& b, std::size_t at, const std::uint8_t* p, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) Put8(b, at + i, p[i]);
}
inline void PutText(Bytes& b, std::size_t at, std::string_view text) {
  PutBytes(b, at, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

inline Bytes Ethernet(const Mac& dst, const Mac& src, std::uint16_t type, const Bytes& body) {
  Bytes f;
  PutBytes(f, 0, dst.data(), 6);
  PutBytes(f, 6, src.data(), 6);
  Put16(f, 12, type);
  f.insert(f.end(), body.begin(), body.end());
  return f;
}

// An IPv4 header of 20 bytes (plus options when given) and the payload.
inline Bytes Ipv4(const Ip& src, const Ip& dst, std::uint8_t protocol, const Bytes& payload,
                  const Bytes& options = {}) {
  Bytes p;
  Put8(p, 0, static_cast<std::uint8_t>(0x40 | ((20 + options.size()) / 4)));
  Put16(p, 2, static_cast<std::uint16_t>(20 + options.size() + payload.size()));
  Put8(p, 8, 64);
  Put8(p, 9, protocol);
  PutBytes(p, 12, src.data(), 4);
  PutBytes(p, 16, dst.data(), 4);
  p.insert(p.end(), options.begin(), options.end());
  p.insert(p.end(), payload.begin(), payload.end());
  return p;
}

struct Tcp {
  std::uint16_t srcPort = 1025;
  std::uint16_t dstPort = 80;
  std::uint32_t seq = 1000;
  std::uint32_t ack = 0;
  std::uint8_t flags = 0x10;
  std::uint16_t window = 8192;
  std::uint16_t checksum = 0xBEEF;
  std::uint8_t headerWords = 5;
  std::string payload = {};
};

inline Bytes TcpSegment(const Tcp& t) {
  Bytes s;
  Put16(s, 0, t.srcPort);
  Put16(s, 2, t.dstPort);
  Put32(s, 4, t.seq);
  Put32(s, 8, t.ack);
  Put8(s, 12, static_cast<std::uint8_t>(t.headerWords << 4));
  Put8(s, 13, t.flags);
  Put16(s, 14, t.window);
  Put16(s, 16, t.checksum);
  s.resize(20, 0);
  if (t.headerWords > 5) s.resize(t.headerWords * 4u, 0x01);  // options: NOPs
  PutText(s, s.size(), t.payload);
  return s;
}

inline Bytes UdpDatagram(std::uint16_t srcPort, std::uint16_t dstPort, std::string_view payload) {
  Bytes s;
  Put16(s, 0, srcPort);
  Put16(s, 2, dstPort);
  Put16(s, 4, static_cast<std::uint16_t>(8 + payload.size()));
  Put16(s, 6, 0);
  PutText(s, 8, payload);
  return s;
}

inline Bytes ArpBody(std::uint16_t operation, const Mac& senderMac, const Ip& senderIp,
                     const Mac& targetMac, const Ip& targetIp) {
  Bytes a;
  Put16(a, 0, 1);
  Put16(a, 2, 0x0800);
  Put8(a, 4, 6);
  Put8(a, 5, 4);
  Put16(a, 6, operation);
  PutBytes(a, 8, senderMac.data(), 6);
  PutBytes(a, 14, senderIp.data(), 4);
  PutBytes(a, 18, targetMac.data(), 6);
  PutBytes(a, 24, targetIp.data(), 4);
  return a;
}

// An incoming (remote to local) or outgoing (local to remote) TCP frame.
inline Bytes TcpFrame(bool outgoing, Tcp t) {
  if (outgoing) std::swap(t.srcPort, t.dstPort);
  return outgoing ? Ethernet(kRemoteMac, kLocalMac, 0x0800, Ipv4(kLocalIp, kRemoteIp, 6, TcpSegment(t)))
                  : Ethernet(kLocalMac, kRemoteMac, 0x0800, Ipv4(kRemoteIp, kLocalIp, 6, TcpSegment(t)));
}

inline Bytes PadTo(Bytes f, std::size_t n) {
  if (f.size() < n) f.resize(n, 0);
  return f;
}

// Remembers every row operation, copying the texts as a real sink must.
class RecordingSink : public RowSink {
 public:
  std::int64_t RowCount() override { return rows; }
  void InsertRow(std::string_view text) override { cells[{rows++, 0}] = std::string(text); }
  void SetCellText(std::int64_t row, int column, std::string_view text) override {
    cells[{row, column}] = std::string(text);
    columnsSet[row].insert(column);
  }
  std::string Cell(std::int64_t row, int column) const {
    auto it = cells.find({row, column});
    return it == cells.end() ? std::string("<unset>") : it->second;
  }

  std::int64_t rows = 0;
  std::map<std::pair<std::int64_t, int>, std::string> cells;
  std::map<std::int64_t, std::set<int>> columnsSet;
};

}  // namespace testframes
