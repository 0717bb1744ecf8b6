#pragma once
// Frames built from their fields and written as pcap or pcapng files: for the dump tests
// and for the benchmark captures. Only what those need: Ethernet II, IPv4 with a 20-byte
// header, TCP without options, UDP and ARP for IPv4 over Ethernet.

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace capture_writer {

using Bytes = std::vector<std::uint8_t>;
using Mac = std::array<std::uint8_t, 6>;

inline constexpr std::uint16_t EtherTypeIpv4 = 0x0800;
inline constexpr std::uint16_t EtherTypeArp = 0x0806;
inline constexpr std::uint32_t LinkTypeEthernet = 1;
inline constexpr std::uint32_t LinkTypeRaw = 101;

inline constexpr std::uint8_t Fin = 0x01, Syn = 0x02, Rst = 0x04, Psh = 0x08, Ack = 0x10;

// An IPv4 address from its four dotted parts, as a host-order number.
constexpr std::uint32_t Ip(int a, int b, int c, int d) {
  return static_cast<std::uint32_t>(a) << 24 | static_cast<std::uint32_t>(b) << 16 |
         static_cast<std::uint32_t>(c) << 8 | static_cast<std::uint32_t>(d);
}

inline void Put16(Bytes& out, std::uint16_t v) {
  out.push_back(static_cast<std::uint8_t>(v >> 8));
  out.push_back(static_cast<std::uint8_t>(v));
}
inline void Put32(Bytes& out, std::uint32_t v) {
  Put16(out, static_cast<std::uint16_t>(v >> 16));
  Put16(out, static_cast<std::uint16_t>(v));
}
inline void PutMac(Bytes& out, const Mac& mac) { out.insert(out.end(), mac.begin(), mac.end()); }
inline void PutBytes(Bytes& out, std::span<const std::uint8_t> bytes) { out.insert(out.end(), bytes.begin(), bytes.end()); }

inline Bytes Text(std::string_view text) { return Bytes(text.begin(), text.end()); }

inline Bytes Ethernet(const Mac& destination, const Mac& source, std::uint16_t type,
                      std::span<const std::uint8_t> payload) {
  Bytes out;
  out.reserve(14 + payload.size());
  PutMac(out, destination);
  PutMac(out, source);
  Put16(out, type);
  PutBytes(out, payload);
  return out;
}

// Pads a frame with zero bytes to the given length (60: the Ethernet minimum without FCS).
inline Bytes Pad(Bytes frame, std::size_t length) {
  if (frame.size() < length) frame.resize(length, 0);
  return frame;
}

inline Bytes Ipv4(std::uint8_t protocol, std::uint32_t source, std::uint32_t destination,
                  std::span<const std::uint8_t> payload, std::uint16_t id = 1) {
  Bytes out;
  out.reserve(20 + payload.size());
  out.push_back(0x45);
  out.push_back(0);
  Put16(out, static_cast<std::uint16_t>(20 + payload.size()));
  Put16(out, id);
  Put16(out, 0x4000);  // don't fragment
  out.push_back(64);
  out.push_back(protocol);
  Put16(out, 0);
  Put32(out, source);
  Put32(out, destination);
  std::uint32_t sum = 0;
  for (int i = 0; i < 20; i += 2) sum += static_cast<std::uint32_t>(out[i] << 8 | out[i + 1]);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  out[10] = static_cast<std::uint8_t>(~sum >> 8);
  out[11] = static_cast<std::uint8_t>(~sum);
  PutBytes(out, payload);
  return out;
}

struct TcpFields {
  std::uint16_t sourcePort = 0;
  std::uint16_t destinationPort = 0;
  std::uint32_t sequence = 0;
  std::uint32_t acknowledgement = 0;
  std::uint8_t flags = 0;
  std::uint16_t window = 65535;
  std::uint16_t checksum = 0;  // written as given; nothing here checks it
};

inline Bytes Tcp(const TcpFields& f, std::span<const std::uint8_t> payload = {}) {
  Bytes out;
  out.reserve(20 + payload.size());
  Put16(out, f.sourcePort);
  Put16(out, f.destinationPort);
  Put32(out, f.sequence);
  Put32(out, f.acknowledgement);
  out.push_back(5 << 4);
  out.push_back(f.flags);
  Put16(out, f.window);
  Put16(out, f.checksum);
  Put16(out, 0);
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
  PutMac(out, senderMac);
  Put32(out, senderIp);
  PutMac(out, targetMac);
  Put32(out, targetIp);
  return out;
}

// Writes a classic pcap file (microsecond timestamps, host byte order).
class PcapWriter {
 public:
  PcapWriter(const std::string& path, std::uint32_t linkType = LinkTypeEthernet, std::uint32_t snapLength = 65535)
      : file_(std::fopen(path.c_str(), "wb")) {
    if (!file_) throw std::runtime_error("cannot create " + path);
    const std::uint32_t magic = 0xa1b2c3d4;
    const std::uint16_t major = 2, minor = 4;
    const std::uint32_t zero = 0;
    Raw(&magic, 4);
    Raw(&major, 2);
    Raw(&minor, 2);
    Raw(&zero, 4);
    Raw(&zero, 4);
    Raw(&snapLength, 4);
    Raw(&linkType, 4);
  }
  ~PcapWriter() {
    if (file_) std::fclose(file_);
  }
  PcapWriter(const PcapWriter&) = delete;
  PcapWriter& operator=(const PcapWriter&) = delete;

  // A frame at the given time since the epoch; originalLength 0 means the frame's size.
  void Frame(std::span<const std::uint8_t> frame, std::uint64_t microseconds = 0, std::uint32_t originalLength = 0) {
    const std::uint32_t header[4] = {static_cast<std::uint32_t>(microseconds / 1000000),
                                     static_cast<std::uint32_t>(microseconds % 1000000),
                                     static_cast<std::uint32_t>(frame.size()),
                                     originalLength ? originalLength : static_cast<std::uint32_t>(frame.size())};
    Raw(header, sizeof header);
    Raw(frame.data(), frame.size());
  }

  void Close() {
    if (!file_) return;
    std::FILE* file = file_;
    file_ = nullptr;
    if (std::fclose(file) != 0) throw std::runtime_error("cannot write capture");
  }

 private:
  void Raw(const void* data, std::size_t size) {
    if (size && std::fwrite(data, 1, size, file_) != size) throw std::runtime_error("cannot write capture");
  }
  std::FILE* file_;
};

// pcapng: one section, one Ethernet interface, enhanced packet blocks.
class PcapngWriter {
 public:
  explicit PcapngWriter(const std::string& path) : file_(std::fopen(path.c_str(), "wb")) {
    if (!file_) throw std::runtime_error("cannot create " + path);
    Block(0x0A0D0D0A, {0x1A2B3C4D, 0x00000001, 0xFFFFFFFF, 0xFFFFFFFF});  // byte order, 1.0, length unknown
    Block(0x00000001, {LinkTypeEthernet, 65535});                         // link type, reserved; snap length
  }
  ~PcapngWriter() {
    if (file_) std::fclose(file_);
  }
  void Close() {
    if (!file_) return;
    std::FILE* file = file_;
    file_ = nullptr;
    if (std::fclose(file) != 0) throw std::runtime_error("cannot write capture");
  }
  PcapngWriter(const PcapngWriter&) = delete;
  PcapngWriter& operator=(const PcapngWriter&) = delete;

  void Frame(std::span<const std::uint8_t> frame, std::uint64_t microseconds = 0) {
    std::vector<std::uint32_t> body = {0, static_cast<std::uint32_t>(microseconds >> 32),
                                       static_cast<std::uint32_t>(microseconds),
                                       static_cast<std::uint32_t>(frame.size()),
                                       static_cast<std::uint32_t>(frame.size())};
    std::vector<std::uint32_t> data((frame.size() + 3) / 4, 0);
    if (!frame.empty()) std::memcpy(data.data(), frame.data(), frame.size());
    body.insert(body.end(), data.begin(), data.end());
    Block(0x00000006, body);
  }

 private:
  void Block(std::uint32_t type, std::vector<std::uint32_t> body) {
    const std::uint32_t length = static_cast<std::uint32_t>(12 + body.size() * 4);
    std::vector<std::uint32_t> words = {type, length};
    words.insert(words.end(), body.begin(), body.end());
    words.push_back(length);
    if (std::fwrite(words.data(), 4, words.size(), file_) != words.size()) throw std::runtime_error("cannot write capture");
  }
  std::FILE* file_;
};

}  // namespace capture_writer
