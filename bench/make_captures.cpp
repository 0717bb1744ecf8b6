// Writes the benchmark captures, the same bytes on every run:
//   mix-1M.pcap     one million frames: TCP connections (set-up, data of many sizes, pure
//                   ACKs, close) a few hundred at a time, UDP, ICMP, ARP, IPv6, IPX and
//                   IEEE 802.3 frames
//   small-60B.pcap  one million frames of exactly 60 bytes (padded ACKs, UDP, ARP)
//   ipv6-tcp-1M.pcap  one million IPv6 TCP frames: the TCP connections of mix-1M over IPv6
// Usage: make-captures [FOLDER]   (default bench/captures)

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "tests/support/capture_files.h"
#include "tests/support/frames.h"

namespace {

using namespace frames;

constexpr int FrameCount = 1'000'000;
constexpr int ConcurrentConnections = 300;

constexpr Mac LocalMac = {0x02, 0x00, 0x5E, 0x10, 0x00, 0x01};
constexpr Mac GatewayMac = {0x02, 0x00, 0x5E, 0x10, 0x00, 0xFE};
constexpr std::uint32_t LocalIp = Ip(192, 168, 1, 10);

// IPv4 as a host sends it: an identification, don't fragment, the header checksum.
Bytes Ipv4Packet(std::uint8_t protocol, std::uint32_t source, std::uint32_t destination,
                 std::span<const std::uint8_t> payload, std::uint16_t id = 1) {
  return Ipv4(protocol, source, destination, payload, {.id = id, .dontFragment = true, .checksum = true});
}

// A fixed-seed generator and plain arithmetic on its output, so that the files do not
// depend on how a standard library implements its distributions.
class Random {
 public:
  explicit Random(std::uint32_t seed) : engine_(seed) {}
  // 0 <= n < bound
  std::uint32_t Below(std::uint32_t bound) { return static_cast<std::uint32_t>(engine_() % bound); }
  std::uint32_t Between(std::uint32_t low, std::uint32_t high) { return low + Below(high - low + 1); }
  bool Percent(std::uint32_t p) { return Below(100) < p; }

 private:
  std::mt19937 engine_;
};

// A payload of printable text with some control bytes, as application data looks.
Bytes Payload(Random& random, std::size_t size) {
  static const char Alphabet[] = "GET /index.html HTTP/1.1\r\nHost: example\r\nAccept: */*\r\n\tabc\\xyz0123456789";
  Bytes out(size);
  std::size_t start = random.Below(sizeof Alphabet - 1);
  for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<std::uint8_t>(Alphabet[(start + i) % (sizeof Alphabet - 1)]);
  return out;
}

std::size_t DataSize(Random& random) {
  const std::uint32_t kind = random.Below(100);
  if (kind < 35) return random.Between(1, 100);     // requests, small messages
  if (kind < 75) return random.Between(101, 600);   // medium
  if (kind < 85) return random.Between(601, 1459);  // tails of transfers
  return 1460;                                      // full segments
}

struct Connection {
  std::uint32_t remoteIp = 0;
  std::uint16_t remotePort = 0;
  std::uint16_t localPort = 0;
  std::uint32_t localSeq = 0;
  std::uint32_t remoteSeq = 0;
  int step = 0;       // 0..2 set-up, 3 data, 4..7 close
  int remaining = 0;  // data segments before the close
  bool localOpens = true;
};

class MixGenerator {
 public:
  // ipv6Tcp: TCP frames only, over IPv6 (the remote stations' IPv4 addresses inside
  // 2001:db8:2::/48).
  explicit MixGenerator(bool ipv6Tcp = false) : ipv6Tcp_(ipv6Tcp), random_(20240601) {
    connections_.resize(ConcurrentConnections);
    for (Connection& c : connections_) Open(c);
  }

  Bytes Next() {
    const std::uint32_t kind = ipv6Tcp_ ? 0 : random_.Below(1000);
    if (kind < 860) return NextTcp(connections_[random_.Below(ConcurrentConnections)]);
    if (kind < 950) return NextUdp();
    if (kind < 960) return NextIcmp();
    if (kind < 975) return NextArp();
    return NextOther();
  }

 private:
  void Open(Connection& c) {
    c.remoteIp = Ip(10, static_cast<int>(random_.Below(4)), static_cast<int>(random_.Below(256)),
                    static_cast<int>(random_.Between(1, 254)));
    c.remotePort = static_cast<std::uint16_t>(random_.Percent(70) ? 443 : random_.Percent(50) ? 80 : 5432);
    c.localPort = static_cast<std::uint16_t>(nextPort_++);
    if (nextPort_ > 60999) nextPort_ = 32768;
    c.localSeq = random_.Below(0xFFFFFFFFu);
    c.remoteSeq = random_.Below(0xFFFFFFFFu);
    c.step = 0;
    c.remaining = static_cast<int>(random_.Between(20, 6000));
    c.localOpens = random_.Percent(85);
  }

  Bytes Segment(const Connection& c, bool fromLocal, std::uint8_t flags, std::size_t payloadSize) {
    TcpFields f;
    f.flags = flags;
    f.window = static_cast<std::uint16_t>(random_.Between(1024, 65535));
    f.checksum = static_cast<std::uint16_t>(random_.Below(65536));
    if (fromLocal) {
      f.sourcePort = c.localPort;
      f.destinationPort = c.remotePort;
      f.sequence = c.localSeq;
      f.acknowledgement = (flags & Ack) ? c.remoteSeq : 0;
    } else {
      f.sourcePort = c.remotePort;
      f.destinationPort = c.localPort;
      f.sequence = c.remoteSeq;
      f.acknowledgement = (flags & Ack) ? c.localSeq : 0;
    }
    const Bytes tcp = Tcp(f, Payload(random_, payloadSize));
    if (ipv6Tcp_) {
      constexpr Ip6 local = {0x20, 0x01, 0x0d, 0xb8, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x10};
      const Ip6 remote = {0x20, 0x01, 0x0d, 0xb8, 0, 2, static_cast<std::uint8_t>(c.remoteIp >> 16), 0, 0, 0, 0, 0,
                          0, 0, static_cast<std::uint8_t>(c.remoteIp >> 8), static_cast<std::uint8_t>(c.remoteIp)};
      return fromLocal ? Ethernet(GatewayMac, LocalMac, EtherTypeIpv6, Ipv6(6, local, remote, tcp))
                       : Ethernet(LocalMac, GatewayMac, EtherTypeIpv6, Ipv6(6, remote, local, tcp));
    }
    const std::uint16_t id = static_cast<std::uint16_t>(ipId_++);
    return fromLocal ? Ethernet(GatewayMac, LocalMac, EtherTypeIpv4, Ipv4Packet(6, LocalIp, c.remoteIp, tcp, id))
                     : Ethernet(LocalMac, GatewayMac, EtherTypeIpv4, Ipv4Packet(6, c.remoteIp, LocalIp, tcp, id));
  }

  Bytes NextTcp(Connection& c) {
    const bool opener = c.localOpens;
    switch (c.step++) {
      case 0: return Segment(c, opener, Syn, 0);
      case 1: return Segment(c, !opener, Syn | Ack, 0);
      case 2: return Segment(c, opener, Ack, 0);
      case 3: {
        if (--c.remaining > 0) c.step = 3;
        const bool fromLocal = random_.Percent(40);
        if (random_.Percent(35)) return Segment(c, fromLocal, Ack, 0);  // pure ACK
        const std::size_t size = DataSize(random_);
        Bytes frame = Segment(c, fromLocal, Psh | Ack, size);
        (fromLocal ? c.localSeq : c.remoteSeq) += static_cast<std::uint32_t>(size);
        return frame;
      }
      // Orderly close, started by either side.
      case 4: return Segment(c, opener, Fin | Ack, 0);
      case 5: return Segment(c, !opener, Ack, 0);
      case 6: return Segment(c, !opener, Fin | Ack, 0);
      default: {
        Bytes frame = Segment(c, opener, Ack, 0);
        Open(c);
        return frame;
      }
    }
  }

  Bytes NextUdp() {
    const bool fromLocal = random_.Percent(50);
    const std::uint32_t server = Ip(10, 0, 0, static_cast<int>(random_.Between(1, 8)));
    const std::uint16_t port = random_.Percent(60) ? 53 : random_.Percent(50) ? 123 : 5353;
    const std::uint16_t client = static_cast<std::uint16_t>(random_.Between(1024, 65535));
    const Bytes payload = Payload(random_, random_.Percent(80) ? random_.Between(20, 120) : random_.Between(121, 1400));
    return fromLocal ? Ethernet(GatewayMac, LocalMac, EtherTypeIpv4, Ipv4Packet(17, LocalIp, server, Udp(client, port, payload)))
                     : Ethernet(LocalMac, GatewayMac, EtherTypeIpv4, Ipv4Packet(17, server, LocalIp, Udp(port, client, payload)));
  }

  Bytes NextIcmp() {
    Bytes echo = {8, 0, 0, 0, 0, 1, 0, static_cast<std::uint8_t>(random_.Below(256))};
    const Bytes data = Payload(random_, 56);
    echo.insert(echo.end(), data.begin(), data.end());
    return Ethernet(GatewayMac, LocalMac, EtherTypeIpv4, Ipv4Packet(1, LocalIp, Ip(10, 0, 0, 1), echo));
  }

  Bytes NextArp() {
    const std::uint32_t asked = Ip(192, 168, 1, static_cast<int>(random_.Between(1, 254)));
    if (random_.Percent(50)) return Pad(Ethernet(Broadcast, LocalMac, EtherTypeArp, Arp(1, LocalMac, LocalIp, Mac{}, asked)), 60);
    return Pad(Ethernet(LocalMac, GatewayMac, EtherTypeArp, Arp(2, GatewayMac, asked, LocalMac, LocalIp)), 60);
  }

  Bytes NextOther() {
    const std::uint32_t kind = random_.Below(3);
    if (kind == 0) return Ethernet(Broadcast, GatewayMac, 0x86DD, Payload(random_, random_.Between(40, 200)));
    if (kind == 1) return Pad(Ethernet(Broadcast, GatewayMac, 0x8137, Payload(random_, 30)), 60);
    // IEEE 802.3 with an LLC header: the type field is the length.
    const Bytes llc = Payload(random_, random_.Between(38, 120));
    return Ethernet(Broadcast, GatewayMac, static_cast<std::uint16_t>(llc.size()), llc);
  }

  bool ipv6Tcp_;
  Random random_;
  std::vector<Connection> connections_;
  int nextPort_ = 32768;
  int ipId_ = 1;
};

class Ipv6TcpGenerator : public MixGenerator {
 public:
  Ipv6TcpGenerator() : MixGenerator(true) {}
};

// 60-byte frames: the smallest an Ethernet card delivers, so the most per second. Pure
// ACKs (padded) of a few hundred long-lived connections, small UDP datagrams and ARP.
class SmallGenerator {
 public:
  SmallGenerator() : random_(60) {
    for (std::uint32_t& seq : sequence_) seq = random_.Below(0xFFFFFFFFu);
  }

  Bytes Next() {
    const std::uint32_t kind = random_.Below(10);
    const std::uint32_t connection = random_.Below(ConcurrentConnections);
    const std::uint32_t remote = Ip(10, 0, static_cast<int>(connection / 200), static_cast<int>(1 + connection % 200));
    Bytes frame;
    if (kind < 7) {
      const bool fromLocal = random_.Percent(50);
      const std::uint16_t localPort = static_cast<std::uint16_t>(33000 + connection);
      const std::uint32_t seq = sequence_[connection] += random_.Between(1, 1460);
      TcpFields f{fromLocal ? localPort : std::uint16_t{443}, fromLocal ? std::uint16_t{443} : localPort, seq, seq ^ 0x5A5A5A5Au,
                  Ack, 4096, static_cast<std::uint16_t>(random_.Below(65536))};
      frame = fromLocal ? Ethernet(GatewayMac, LocalMac, EtherTypeIpv4, Ipv4Packet(6, LocalIp, remote, Tcp(f)))
                        : Ethernet(LocalMac, GatewayMac, EtherTypeIpv4, Ipv4Packet(6, remote, LocalIp, Tcp(f)));
    } else if (kind < 9) {
      frame = Ethernet(LocalMac, GatewayMac, EtherTypeIpv4, Ipv4Packet(17, remote, LocalIp, Udp(53, 40000, Payload(random_, 18))));
    } else {
      frame = Ethernet(Broadcast, LocalMac, EtherTypeArp, Arp(1, LocalMac, LocalIp, Mac{}, remote));
    }
    frame.resize(60, 0);
    return frame;
  }

 private:
  Random random_;
  std::uint32_t sequence_[ConcurrentConnections];
};

template <typename Generator>
void Write(const std::filesystem::path& path, std::uint64_t frameSpacingMicros) {
  // Written under a temporary name and renamed at the end: an interrupted run leaves no
  // half capture that a later benchmark would take for a whole one.
  const std::filesystem::path temporary = path.string() + ".tmp";
  {
    PcapWriter writer(temporary.string());
    Generator generator;
    std::uint64_t t = 1'717'200'000ull * 1'000'000ull;
    for (int i = 0; i < FrameCount; ++i) writer.Frame(generator.Next(), t += frameSpacingMicros);
    writer.Close();
  }
  std::filesystem::rename(temporary, path);
  std::printf("%s: %d frames, %ju bytes\n", path.c_str(), FrameCount,
              static_cast<std::uintmax_t>(std::filesystem::file_size(path)));
}

}  // namespace

int main(int argc, char** argv) {
  const std::filesystem::path folder = argc > 1 ? argv[1] : "bench/captures";
  try {
    std::filesystem::create_directories(folder);
    Write<MixGenerator>(folder / "mix-1M.pcap", 7);
    Write<SmallGenerator>(folder / "small-60B.pcap", 1);
    Write<Ipv6TcpGenerator>(folder / "ipv6-tcp-1M.pcap", 7);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "make-captures: %s\n", e.what());
    return 1;
  }
  return 0;
}
