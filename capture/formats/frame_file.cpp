#include "capture/formats/frame_file.h"

#include <cstring>

#include "capture/formats/pcap_format.h"
#include "capture/formats/pcapng_format.h"

namespace frame_file {
namespace {

// The interface's timestamps count nanoseconds (if_tsresol 9).
constexpr std::uint8_t NanosecondResolution = 9;
constexpr std::size_t SectionHeaderBytes = 28;
constexpr std::size_t InterfaceBytes = 32;

std::uint8_t* Grow(std::vector<std::uint8_t>& out, std::size_t n) {
  const std::size_t at = out.size();
  out.resize(at + n);
  return out.data() + at;
}

void Put16(std::uint8_t* at, std::uint16_t v) {
  at[0] = static_cast<std::uint8_t>(v);
  at[1] = static_cast<std::uint8_t>(v >> 8);
}

void Put32(std::uint8_t* at, std::uint32_t v) {
  Put16(at, static_cast<std::uint16_t>(v));
  Put16(at + 2, static_cast<std::uint16_t>(v >> 16));
}

std::uint32_t Get32(const std::uint8_t* at) {
  return std::uint32_t{at[0]} | std::uint32_t{at[1]} << 8 | std::uint32_t{at[2]} << 16 | std::uint32_t{at[3]} << 24;
}

std::uint64_t NonNegative(std::int64_t timestampNs) { return timestampNs < 0 ? 0 : static_cast<std::uint64_t>(timestampNs); }

}  // namespace

static_assert(PcapngHeaderBytes == SectionHeaderBytes + InterfaceBytes);

void AppendPcapngHeader(std::vector<std::uint8_t>& out) { WritePcapngHeader(Grow(out, PcapngHeaderBytes)); }

void WritePcapngHeader(std::uint8_t* at) {
  Put32(at, pcapng::SectionHeaderBlock);
  Put32(at + 4, SectionHeaderBytes);
  Put32(at + 8, pcapng::ByteOrderMagic);
  Put16(at + 12, 1);  // version 1.0
  Put16(at + 14, 0);
  Put32(at + 16, 0xFFFFFFFFu);  // section length not given
  Put32(at + 20, 0xFFFFFFFFu);
  Put32(at + 24, SectionHeaderBytes);

  at += SectionHeaderBytes;
  Put32(at, pcapng::InterfaceDescriptionBlock);
  Put32(at + 4, InterfaceBytes);
  Put16(at + 8, pcapng::LinkTypeEthernet);
  Put16(at + 10, 0);
  Put32(at + 12, SnapLength);
  Put16(at + 16, pcapng::InterfaceTimestampResolution);
  Put16(at + 18, 1);
  at[20] = NanosecondResolution;
  at[21] = at[22] = at[23] = 0;
  Put32(at + 24, 0);  // end of options
  Put32(at + 28, InterfaceBytes);
}

void AppendPcapngPacket(std::vector<std::uint8_t>& out, std::int64_t timestampNs, std::uint32_t originalLength,
                        std::span<const std::uint8_t> bytes) {
  WritePcapngPacket(Grow(out, PcapngPacketBytes(static_cast<std::uint32_t>(bytes.size()))), timestampNs,
                    originalLength, bytes);
}

void WritePcapngPacket(std::uint8_t* at, std::int64_t timestampNs, std::uint32_t originalLength,
                       std::span<const std::uint8_t> bytes) {
  const auto captured = static_cast<std::uint32_t>(bytes.size());
  const auto length = static_cast<std::uint32_t>(PcapngPacketBytes(captured));
  const std::uint64_t ts = NonNegative(timestampNs);
  Put32(at, pcapng::EnhancedPacketBlock);
  Put32(at + 4, length);
  Put32(at + 8, 0);  // interface 0
  Put32(at + 12, static_cast<std::uint32_t>(ts >> 32));
  Put32(at + 16, static_cast<std::uint32_t>(ts));
  Put32(at + 20, captured);
  Put32(at + 24, originalLength ? originalLength : captured);
  if (captured > 0) std::memcpy(at + 28, bytes.data(), captured);
  std::memset(at + 28 + captured, 0, length - 32 - captured);
  Put32(at + length - 4, length);
}

void AppendPcapHeader(std::vector<std::uint8_t>& out) {
  std::uint8_t* at = Grow(out, classic_pcap::FileHeaderBytes);
  Put32(at, classic_pcap::MicrosecondMagic);
  Put16(at + 4, classic_pcap::VersionMajor);
  Put16(at + 6, classic_pcap::VersionMinor);
  Put32(at + 8, 0);
  Put32(at + 12, 0);
  Put32(at + 16, SnapLength);
  Put32(at + 20, pcapng::LinkTypeEthernet);
}

void AppendPcapPacket(std::vector<std::uint8_t>& out, std::int64_t timestampNs, std::uint32_t originalLength,
                      std::span<const std::uint8_t> bytes) {
  const auto captured = static_cast<std::uint32_t>(bytes.size());
  std::uint8_t* at = Grow(out, classic_pcap::RecordHeaderBytes + captured);
  const std::uint64_t ts = NonNegative(timestampNs);
  Put32(at, static_cast<std::uint32_t>(ts / 1'000'000'000));
  Put32(at + 4, static_cast<std::uint32_t>(ts % 1'000'000'000 / 1000));
  Put32(at + 8, captured);
  Put32(at + 12, originalLength ? originalLength : captured);
  if (captured > 0) std::memcpy(at + classic_pcap::RecordHeaderBytes, bytes.data(), captured);
}

std::optional<std::uint32_t> PacketBlockLength(std::span<const std::uint8_t, 8> start) {
  const std::uint32_t length = Get32(start.data() + 4);
  if (Get32(start.data()) != pcapng::EnhancedPacketBlock || length < 32 || length % 4 != 0 ||
      length > PcapngPacketBytes(SnapLength))
    return std::nullopt;
  return length;
}

std::optional<PacketBlock> ParsePacketBlock(std::span<const std::uint8_t> block) {
  if (block.size() < 32) return std::nullopt;
  const std::uint8_t* at = block.data();
  PacketBlock packet;
  const std::uint64_t ts = std::uint64_t{Get32(at + 12)} << 32 | Get32(at + 16);
  packet.timestampNs = static_cast<std::int64_t>(ts & 0x7FFFFFFFFFFFFFFFull);
  packet.capturedLength = Get32(at + 20);
  packet.originalLength = Get32(at + 24);
  packet.dataOffset = 28;
  if (PcapngPacketBytes(packet.capturedLength) > block.size()) return std::nullopt;
  return packet;
}

}  // namespace frame_file
