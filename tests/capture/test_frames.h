#pragma once
// Frames for the capture tests, built from their fields, and a small pcap file writer
// (global header and records) so tests make their own capture files.

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace test_frames {

using Bytes = std::vector<std::uint8_t>;
using Mac = std::array<std::uint8_t, 6>;

inline constexpr Mac LocalMac{0x00, 0xA0, 0xC9, 0x12, 0x34, 0x56};
inline constexpr Mac RemoteMac{0x00, 0x10, 0x5A, 0x01, 0x02, 0x03};

inline void PutBe16(Bytes& out, std::uint16_t v) {
  out.push_back(static_cast<std::uint8_t>(v >> 8));
  out.push_back(static_cast<std::uint8_t>(v));
}
inline void PutBe32(Bytes& out, std::uint32_t v) {
  PutBe16(out, static_cast<std::uint16_t>(v >> 16));
  PutBe16(out, static_cast<std::uint16_t>(v));
}
inline void PutLe16(Bytes& out, std::uint16_t v) {
  out.push_back(static_cast<std::uint8_t>(v));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}
inline void PutLe32(Bytes& out, std::uint32_t v) {
  PutLe16(out, static_cast<std::uint16_t>(v));
  PutLe16(out, static_cast<std::uint16_t>(v >> 16));
}

inline constexpr std::uint32_t Ip(int a, int b, int c, int d) {
  return static_cast<std::uint32_t>(a) << 24 | static_cast<std::uint32_t>(b) << 16 |
         static_cast<std::uint32_t>(c) << 8 | static_cast<std::uint32_t>(d);
}

// Ethernet II + IPv4 (20-byte header) + the given upper-layer header and payload.
inline Bytes Ipv4Frame(const Mac& destination, const Mac& source, std::uint8_t protocol, std::uint32_t ipSource,
                       std::uint32_t ipDestination, const Bytes& upper) {
  Bytes f(destination.begin(), destination.end());
  f.insert(f.end(), source.begin(), source.end());
  PutBe16(f, 0x0800);
  f.push_back(0x45);
  f.push_back(0);
  PutBe16(f, static_cast<std::uint16_t>(20 + upper.size()));
  PutBe32(f, 0);  // identification, flags, fragment offset
  f.push_back(64);
  f.push_back(protocol);
  PutBe16(f, 0);  // checksum: not examined
  PutBe32(f, ipSource);
  PutBe32(f, ipDestination);
  f.insert(f.end(), upper.begin(), upper.end());
  return f;
}

inline Bytes UdpFrame(const Mac& destination, const Mac& source, std::uint16_t sourcePort,
                      std::uint16_t destinationPort, std::string_view payload) {
  Bytes udp;
  PutBe16(udp, sourcePort);
  PutBe16(udp, destinationPort);
  PutBe16(udp, static_cast<std::uint16_t>(8 + payload.size()));
  PutBe16(udp, 0);
  udp.insert(udp.end(), payload.begin(), payload.end());
  return Ipv4Frame(destination, source, 17, Ip(10, 0, 0, 2), Ip(10, 0, 0, 1), udp);
}

inline Bytes TcpFrame(const Mac& destination, const Mac& source, std::uint16_t sourcePort,
                      std::uint16_t destinationPort, std::uint8_t flags) {
  Bytes tcp;
  PutBe16(tcp, sourcePort);
  PutBe16(tcp, destinationPort);
  PutBe32(tcp, 1000);  // sequence
  PutBe32(tcp, 0);     // acknowledgement
  tcp.push_back(0x50);
  tcp.push_back(flags);
  PutBe16(tcp, 8192);
  PutBe16(tcp, 0);
  PutBe16(tcp, 0);
  return Ipv4Frame(destination, source, 6, Ip(10, 0, 0, 2), Ip(10, 0, 0, 1), tcp);
}

// A classic pcap file: the global header, then one record per frame.
class PcapWriter {
 public:
  explicit PcapWriter(std::uint32_t linkType = 1) {
    PutLe32(bytes_, 0xA1B2C3D4);
    PutLe16(bytes_, 2);
    PutLe16(bytes_, 4);
    PutLe32(bytes_, 0);      // time zone
    PutLe32(bytes_, 0);      // accuracy
    PutLe32(bytes_, 65535);  // snap length
    PutLe32(bytes_, linkType);
  }
  // originalLength 0 means the frame's own length.
  void Add(const Bytes& frame, std::uint32_t originalLength = 0) {
    PutLe32(bytes_, ++seconds_);
    PutLe32(bytes_, 0);
    PutLe32(bytes_, static_cast<std::uint32_t>(frame.size()));
    PutLe32(bytes_, originalLength ? originalLength : static_cast<std::uint32_t>(frame.size()));
    bytes_.insert(bytes_.end(), frame.begin(), frame.end());
  }
  // Drops the last n bytes, as a capture cut short would.
  void Truncate(std::size_t n) { bytes_.resize(bytes_.size() - n); }
  bool Write(const std::string& path) const {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = std::fwrite(bytes_.data(), 1, bytes_.size(), f) == bytes_.size();
    return std::fclose(f) == 0 && ok;
  }

 private:
  Bytes bytes_;
  std::uint32_t seconds_ = 0;
};

}  // namespace test_frames
