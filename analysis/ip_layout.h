#pragma once
// Where the IP layer of a frame puts its parts: the addresses, the upper-layer protocol and
// header, and the end of the datagram. IPv4 is read at its fixed offsets (a 20-byte
// header, whatever the header says); IPv6 from its fixed header and its chain of
// extension headers. The decoder, the tracker and Follow Connection read a frame's IP
// layer through this one place.

#include <cstddef>
#include <cstdint>
#include <optional>

#include "analysis/frame_bytes.h"

struct IpLayout {
  bool ipv6 = false;
  std::size_t source = 0;       // offsets of the two addresses (4 or 16 bytes)
  std::size_t destination = 0;
  std::uint8_t protocol = 0;    // the upper-layer protocol: IPv4's, or the last Next Header
  // Whether the upper-layer header starts at upper: false for a later fragment, whose
  // datagram holds none.
  bool upperHeader = true;
  std::size_t upper = 0;
  std::size_t end = 0;          // where the datagram ends within the frame

  // The bytes of the IP header (IPv6: with its extension headers) as the no-payload rule
  // of the socket call counts them.
  std::size_t HeaderBytes() const { return upper - frame_offset::IpHeader; }
};

inline constexpr std::uint16_t EtherTypeIpv4 = 0x0800;
inline constexpr std::uint16_t EtherTypeIpv6 = 0x86DD;
// The upper-layer protocol number that only IPv6 rows name.
inline constexpr std::uint8_t ProtocolIcmpv6 = 58;

// The IP layer of a frame read as IPv4, whatever its EtherType.
IpLayout Ipv4Layout(const FrameBytes& frame);
// The IP layer of an IPv4 frame, or of an IPv6 frame when decodeIpv6; nothing for any
// other frame.
std::optional<IpLayout> ReadIpLayout(const FrameBytes& frame, bool decodeIpv6);
