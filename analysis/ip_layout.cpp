#include "analysis/ip_layout.h"

#include <algorithm>

#include "analysis/decoder.h"

namespace {

constexpr std::size_t kIpv6PayloadLength = 18;
constexpr std::size_t kIpv6NextHeader = 20;
constexpr std::size_t kIpv6Source = 22;
constexpr std::size_t kIpv6Destination = 38;
constexpr std::size_t kIpv6Payload = 54;

}  // namespace

IpLayout Ipv4Layout(const FrameBytes& frame) {
  namespace off = frame_offset;
  IpLayout ip;
  ip.source = off::IpSource;
  ip.destination = off::IpDestination;
  ip.protocol = frame.U8(off::IpProtocol);
  ip.upper = off::TcpHeader;
  ip.end = IpDatagramEnd(frame);
  return ip;
}

namespace {

IpLayout Ipv6Layout(const FrameBytes& frame) {
  IpLayout ip;
  ip.ipv6 = true;
  ip.source = kIpv6Source;
  ip.destination = kIpv6Destination;
  // A payload length of 0 (a jumbogram, or segmentation offload on a locally sent frame)
  // says nothing, so the frame bounds the datagram.
  const std::size_t payload = frame.Be16(kIpv6PayloadLength);
  ip.end = payload == 0 ? frame.Length() : std::min(frame.Length(), kIpv6Payload + payload);

  std::uint8_t next = frame.U8(kIpv6NextHeader);
  std::size_t at = kIpv6Payload;
  for (;;) {
    std::size_t length = 0;
    switch (next) {
      case 0:   // Hop-by-Hop Options
      case 43:  // Routing
      case 60:  // Destination Options
        length = (std::size_t{frame.U8(at + 1)} + 1) * 8;
        break;
      case 44:  // Fragment
        length = 8;
        break;
      case 51:  // Authentication: its length counts 4-byte units, less two
        length = (std::size_t{frame.U8(at + 1)} + 2) * 4;
        break;
      default:
        break;
    }
    // Any other header ends the chain (ESP and No Next Header among them), and so does a
    // header that runs past the frame: its Next Header cannot be read.
    if (length == 0 || at + length > frame.Length()) break;
    if (next == 44 && (frame.Be16(at + 2) & 0xFFF8) != 0) {
      // A later fragment: the upper-layer header came in the first one.
      ip.protocol = frame.U8(at);
      ip.upperHeader = false;
      ip.upper = at + length;
      return ip;
    }
    next = frame.U8(at);
    at += length;
  }
  ip.protocol = next;
  ip.upper = at;
  return ip;
}

}  // namespace

std::optional<IpLayout> ReadIpLayout(const FrameBytes& frame, bool decodeIpv6) {
  const std::uint16_t type = frame.Be16(frame_offset::EtherType);
  if (type == EtherTypeIpv4) return Ipv4Layout(frame);
  if (type == EtherTypeIpv6 && decodeIpv6) return Ipv6Layout(frame);
  return std::nullopt;
}
