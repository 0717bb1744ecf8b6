#pragma once
// Read-only view of one delivered frame. Every field of a frame is read through these
// accessors: a byte at or past the delivered length reads as zero, so a short frame never
// shows what an earlier, longer frame left in the buffer.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>

class FrameBytes {
 public:
  explicit FrameBytes(std::span<const std::uint8_t> frame) : frame_(frame) {}

  std::size_t Length() const { return frame_.size(); }

  // The delivered bytes in [begin, end), clipped to the frame.
  std::span<const std::uint8_t> Range(std::size_t begin, std::size_t end) const {
    end = end < frame_.size() ? end : frame_.size();
    if (begin >= end) return {};
    return frame_.subspan(begin, end - begin);
  }

  std::uint8_t U8(std::size_t offset) const {
    return offset < frame_.size() ? frame_[offset] : std::uint8_t{0};
  }

  // Big-endian (wire order) values.
  std::uint16_t Be16(std::size_t offset) const {
    return static_cast<std::uint16_t>((U8(offset) << 8) | U8(offset + 1));
  }
  std::uint32_t Be32(std::size_t offset) const {
    return (std::uint32_t{U8(offset)} << 24) | (std::uint32_t{U8(offset + 1)} << 16) |
           (std::uint32_t{U8(offset + 2)} << 8) | std::uint32_t{U8(offset + 3)};
  }

  // Values kept exactly as the bytes stand in the frame (what copying them into an
  // integer would give), for keys compared as raw network-order values.
  std::uint16_t Raw16(std::size_t offset) const {
    if constexpr (std::endian::native == std::endian::big) return Be16(offset);
    return static_cast<std::uint16_t>(U8(offset) | (U8(offset + 1) << 8));
  }
  std::uint32_t Raw32(std::size_t offset) const {
    if constexpr (std::endian::native == std::endian::big) return Be32(offset);
    return std::uint32_t{U8(offset)} | (std::uint32_t{U8(offset + 1)} << 8) |
           (std::uint32_t{U8(offset + 2)} << 16) | (std::uint32_t{U8(offset + 3)} << 24);
  }

 private:
  std::span<const std::uint8_t> frame_;
};

// Fixed offsets of the fields the decoder and the tracker read. The IPv4 header is taken
// to be 20 bytes long, so the TCP header (tcp_offset below) sits at a fixed place whatever
// the header says.
namespace frame_offset {
inline constexpr std::size_t MacDestination = 0;
inline constexpr std::size_t MacSource = 6;
inline constexpr std::size_t EtherType = 12;
inline constexpr std::size_t IpTotalLength = 16;
inline constexpr std::size_t IpProtocol = 23;
inline constexpr std::size_t IpSource = 26;
inline constexpr std::size_t IpDestination = 30;
inline constexpr std::size_t IpHeader = 14;
inline constexpr std::size_t TcpHeader = 34;
// ARP over Ethernet for IPv4.
inline constexpr std::size_t ArpHardwareLength = 18;
inline constexpr std::size_t ArpProtocolLength = 19;
inline constexpr std::size_t ArpOperation = 20;
inline constexpr std::size_t ArpSenderMac = 22;
inline constexpr std::size_t ArpSenderIp = 28;
inline constexpr std::size_t ArpTargetMac = 32;
inline constexpr std::size_t ArpTargetIp = 38;
}  // namespace frame_offset

// Fields of a TCP header, from its start.
namespace tcp_offset {
inline constexpr std::size_t SourcePort = 0;
inline constexpr std::size_t DestinationPort = 2;
inline constexpr std::size_t Sequence = 4;
inline constexpr std::size_t Acknowledgement = 8;
inline constexpr std::size_t DataOffset = 12;
inline constexpr std::size_t Flags = 13;
inline constexpr std::size_t Window = 14;
inline constexpr std::size_t Checksum = 16;
}  // namespace tcp_offset
