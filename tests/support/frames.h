#pragma once
// Frames built from their fields, for the tests, the fuzz seeds and the benchmark captures:
// Ethernet II, IPv4, IPv6, TCP, UDP, and ARP for IPv4 over Ethernet. Checksums are written as
// given (the IPv4 header's is computed on request); nothing the decoder reads depends on
// them.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

namespace frames {

using Bytes = std::vector<std::uint8_t>;
using Mac = std::array<std::uint8_t, 6>;

inline constexpr std::uint16_t EtherTypeIpv4 = 0x0800;
inline constexpr std::uint16_t EtherTypeArp = 0x0806;
inline constexpr std::uint8_t Fin = 0x01, Syn = 0x02, Rst = 0x04, Psh = 0x08, Ack = 0x10;
inline constexpr Mac Broadcast = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

// An IPv4 address from its four dotted parts, as a host-order number.
constexpr std::uint32_t Ip(int a, int b, int c, int d) {
  return static_cast<std::uint32_t>(a) << 24 | static_cast<std::uint32_t>(b) << 16 |
         static_cast<std::uint32_t>(c) << 8 | static_cast<std::uint32_t>(d);
}

// Network byte order, appended.
inline void Put16(Bytes& out, std::uint16_t v) {
  out.push_back(static_cast<std::uint8_t>(v >> 8));
  out.push_back(static_cast<std::uint8_t>(v));
}
inline void Put32(Bytes& out, std::uint32_t v) {
  Put16(out, static_cast<std::uint16_t>(v >> 16));
  Put16(out, static_cast<std::uint16_t>(v));
}
// Appended by resize and copy: GCC 12's optimiser warns, wrongly, of an overflow in
// vector::insert of a span here.
inline void PutBytes(Bytes& out, std::span<const std::uint8_t> bytes) {
  const std::size_t at = out.size();
  out.resize(at + bytes.size());
  std::copy(bytes.begin(), bytes.end(), out.begin() + static_cast<std::ptrdiff_t>(at));
}

inline Bytes Text(std::string_view text) { return Bytes(text.begin(), text.end()); }

inline Bytes Ethernet(const Mac& destination, const Mac& source, std::uint16_t type,
                      std::span<const std::uint8_t> payload) {
  Bytes out;
  out.reserve(14 + payload.size());
  PutBytes(out, destination);
  PutBytes(out, source);
  Put16(out, type);
  PutBytes(out, payload);
  return out;
}

// Pads a frame with zero bytes to the given length (60: the Ethernet minimum without FCS).
inline Bytes Pad(Bytes frame, std::size_t length) {
  if (frame.size() < length) frame.resize(length, 0);
  return frame;
}

// The IPv4 header fields that differ between the frames built here; the rest is fixed
// (version 4, TTL 64).
struct Ipv4Header {
  std::uint16_t id = 0;
  bool dontFragment = false;
  bool checksum = false;  // the header checksum computed, or left 0
  Bytes options = {};     // a whole number of 4-byte words
};

inline Bytes Ipv4(std::uint8_t protocol, std::uint32_t source, std::uint32_t destination,
                  std::span<const std::uint8_t> payload, const Ipv4Header& header = {}) {
  const std::size_t headerLength = 20 + header.options.size();
  Bytes out;
  out.reserve(headerLength + payload.size());
  out.push_back(static_cast<std::uint8_t>(0x40 | headerLength / 4));
  out.push_back(0);
  Put16(out, static_cast<std::uint16_t>(headerLength + payload.size()));
  Put16(out, header.id);
  Put16(out, header.dontFragment ? 0x4000 : 0);
  out.push_back(64);
  out.push_back(protocol);
  Put16(out, 0);
  Put32(out, source);
  Put32(out, destination);
  PutBytes(out, header.options);
  if (header.checksum) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < headerLength; i += 2) sum += static_cast<std::uint32_t>(out[i] << 8 | out[i + 1]);
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    out[10] = static_cast<std::uint8_t>(~sum >> 8);
    out[11] = static_cast<std::uint8_t>(~sum);
  }
  PutBytes(out, payload);
  return out;
}

struct TcpFields {
  std::uint16_t sourcePort = 1025;
  std::uint16_t destinationPort = 80;
  std::uint32_t sequence = 1000;
  std::uint32_t acknowledgement = 0;
  std::uint8_t flags = Ack;
  std::uint16_t window = 8192;
  std::uint16_t checksum = 0xBEEF;
  std::uint8_t headerWords = 5;  // the data offset field; words past the fifth are NOP options
};

inline Bytes Tcp(const TcpFields& f, std::span<const std::uint8_t> payload = {}) {
  Bytes out;
  out.reserve(20 + payload.size());
  Put16(out, f.sourcePort);
  Put16(out, f.destinationPort);
  Put32(out, f.sequence);
  Put32(out, f.acknowledgement);
  out.push_back(static_cast<std::uint8_t>(f.headerWords << 4));
  out.push_back(f.flags);
  Put16(out, f.window);
  Put16(out, f.checksum);
  Put16(out, 0);
  if (f.headerWords > 5) out.resize(f.headerWords * 4u, 0x01);
  PutBytes(out, payload);
  return out;
}

inline Bytes Udp(std::uint16_t sourcePort, std::uint16_t destinationPort, std::span<const std::uint8_t> payload) {
  Bytes out;
  out.reserve(8 + payload.size());
  Put16(out, sourcePort);
  Put16(out, destinationPort);
  Put16(out, static_cast<std::uint16_t>(8 + payload.size()));
  Put16(out, 0);
  PutBytes(out, payload);
  return out;
}

// ARP for IPv4 over Ethernet; operation 1 is a request, 2 a reply.
inline Bytes Arp(std::uint16_t operation, const Mac& senderMac, std::uint32_t senderIp, const Mac& targetMac,
                 std::uint32_t targetIp) {
  Bytes out;
  out.reserve(28);
  Put16(out, 1);
  Put16(out, EtherTypeIpv4);
  out.push_back(6);
  out.push_back(4);
  Put16(out, operation);
  PutBytes(out, senderMac);
  Put32(out, senderIp);
  PutBytes(out, targetMac);
  Put32(out, targetIp);
  return out;
}

inline constexpr std::uint16_t EtherTypeIpv6 = 0x86DD;
using Ip6 = std::array<std::uint8_t, 16>;

// An IPv6 extension header: its type and the bytes after its Next Header and length bytes
// (a Fragment header's six: offset and flags, identification), padded with zeros to a unit.
struct Ipv6Extension {
  std::uint8_t type;
  Bytes body;
};

// An IPv6 header (hop limit 64), its extension headers in order, then the payload.
inline Bytes Ipv6(std::uint8_t protocol, const Ip6& source, const Ip6& destination, std::span<const std::uint8_t> payload,
                  const std::vector<Ipv6Extension>& extensions = {}) {
  Bytes chain;
  for (std::size_t i = 0; i < extensions.size(); ++i) {
    const Ipv6Extension& e = extensions[i];
    const std::size_t unit = e.type == 51 ? 4 : 8;
    const std::size_t total = std::max<std::size_t>(8, (2 + e.body.size() + unit - 1) / unit * unit);
    chain.push_back(i + 1 < extensions.size() ? extensions[i + 1].type : protocol);
    chain.push_back(static_cast<std::uint8_t>(e.type == 44 ? 0 : e.type == 51 ? total / 4 - 2 : total / 8 - 1));
    PutBytes(chain, e.body);
    chain.resize(chain.size() + total - 2 - e.body.size(), 0);
  }
  Bytes out = {0x60, 0, 0, 0, 0, 0, extensions.empty() ? protocol : extensions.front().type, 64};
  out[4] = static_cast<std::uint8_t>((chain.size() + payload.size()) >> 8);
  out[5] = static_cast<std::uint8_t>(chain.size() + payload.size());
  PutBytes(out, source);
  PutBytes(out, destination);
  PutBytes(out, chain);
  PutBytes(out, payload);
  return out;
}

// The adapter's station and a remote one. Ports are given as a frame from the remote
// station carries them; an outgoing frame (from the adapter's station) has them the
// other way round, so one set of fields serves both directions of a conversation.
struct Link {
  Mac localMac;
  Mac remoteMac;
  std::uint32_t localIp;
  std::uint32_t remoteIp;

  Bytes Ipv4Frame(bool outgoing, std::uint8_t protocol, std::span<const std::uint8_t> payload) const {
    return outgoing ? Ethernet(remoteMac, localMac, EtherTypeIpv4, Ipv4(protocol, localIp, remoteIp, payload))
                    : Ethernet(localMac, remoteMac, EtherTypeIpv4, Ipv4(protocol, remoteIp, localIp, payload));
  }
  Bytes TcpFrame(bool outgoing, TcpFields tcp, std::string_view payload = {}) const {
    if (outgoing) std::swap(tcp.sourcePort, tcp.destinationPort);
    return Ipv4Frame(outgoing, 6, Tcp(tcp, Text(payload)));
  }
  Bytes UdpFrame(bool outgoing, std::uint16_t sourcePort, std::uint16_t destinationPort,
                 std::string_view payload) const {
    if (outgoing) std::swap(sourcePort, destinationPort);
    return Ipv4Frame(outgoing, 17, Udp(sourcePort, destinationPort, Text(payload)));
  }
};

// The same over IPv6.
struct Link6 {
  Mac localMac, remoteMac;
  Ip6 localIp, remoteIp;

  Bytes Ipv6Frame(bool outgoing, std::uint8_t protocol, std::span<const std::uint8_t> payload,
                  const std::vector<Ipv6Extension>& extensions = {}) const {
    return outgoing ? Ethernet(remoteMac, localMac, EtherTypeIpv6, Ipv6(protocol, localIp, remoteIp, payload, extensions))
                    : Ethernet(localMac, remoteMac, EtherTypeIpv6, Ipv6(protocol, remoteIp, localIp, payload, extensions));
  }
  Bytes TcpFrame(bool outgoing, TcpFields tcp, std::string_view payload = {},
                 const std::vector<Ipv6Extension>& extensions = {}) const {
    if (outgoing) std::swap(tcp.sourcePort, tcp.destinationPort);
    return Ipv6Frame(outgoing, 6, Tcp(tcp, Text(payload)), extensions);
  }
  Bytes UdpFrame(bool outgoing, std::uint16_t sourcePort, std::uint16_t destinationPort, std::string_view payload) const {
    if (outgoing) std::swap(sourcePort, destinationPort);
    return Ipv6Frame(outgoing, 17, Udp(sourcePort, destinationPort, Text(payload)));
  }
};

// The link of the decoder's and the tracker's tests, their benchmarks and the fuzz seeds,
// and a third station for frames between two others.
inline constexpr Link DecoderLink = {{0x00, 0x11, 0x22, 0x33, 0x44, 0x55},
                                     {0x0A, 0xBB, 0xCC, 0xDD, 0xEE, 0xF1},
                                     Ip(10, 0, 0, 2),
                                     Ip(192, 168, 1, 200)};
inline constexpr Mac OtherMac = {0x02, 0x00, 0x00, 0x00, 0x00, 0x09};
// DecoderLink's stations over IPv6: 2001:db8::2 and 2001:db8:0:1::c8.
inline constexpr Link6 DecoderLink6 = {DecoderLink.localMac, DecoderLink.remoteMac,
                                       {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x02},
                                       {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0xc8}};

// The link of the capture and dump tests: the local station has the scripted device's
// address.
inline constexpr Link DeviceLink = {{0x00, 0xA0, 0xC9, 0x12, 0x34, 0x56},
                                    {0x00, 0x11, 0x22, 0x33, 0x44, 0x55},
                                    Ip(10, 0, 0, 2),
                                    Ip(10, 0, 0, 1)};

}  // namespace frames
