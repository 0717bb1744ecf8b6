#include "capture/formats/frame_file.h"

#include <algorithm>
#include <cstring>

#include "analysis/frame_source.h"
#include "capture/formats/pcap_format.h"
#include "capture/formats/pcapng_format.h"

namespace frame_file {
namespace {

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

// The spool keeps a time not known apart from the epoch under a stamp no clock gives.
constexpr std::uint64_t NotKnownStamp = UINT64_MAX;

}  // namespace

void AppendPcapngHeader(std::vector<std::uint8_t>& out) { WritePcapngHeader(Grow(out, PcapngHeaderBytes)); }

void AppendPcapngHeader(std::vector<std::uint8_t>& out, std::span<const FileInterface> interfaces) {
  if (interfaces.empty()) return AppendPcapngHeader(out);
  pcapng::Writer writer;
  writer.SectionHeader({});
  for (const FileInterface& interface : interfaces)
    writer.NanosecondInterfaceDescription({interface.name, interface.description, interface.mac, SnapLength});
  out.insert(out.end(), writer.Data(), writer.Data() + writer.Size());
}

void WritePcapngHeader(std::uint8_t* at) { pcapng::WriteNanosecondFileHeader(at, SnapLength); }

void AppendPcapngPacket(std::vector<std::uint8_t>& out, std::int64_t timestampNs, std::uint32_t originalLength,
                        std::span<const std::uint8_t> bytes, std::uint32_t interfaceId, std::uint32_t ownerNumber) {
  // A file others read has no way to say "not known": it says the epoch.
  const auto captured = static_cast<std::uint32_t>(bytes.size());
  pcapng::WritePacketBlock(Grow(out, pcapng::PacketBlockBytes(captured, ownerNumber)),
                           NonNegative(timestampNs == TimeNotKnown ? 0 : timestampNs), captured,
                           originalLength ? originalLength : captured, bytes.data(), interfaceId, ownerNumber);
}

std::uint32_t PcapngOwners::Number(std::vector<std::uint8_t>& out, const ProcessOwner* owner) {
  if (owner == nullptr) return 0;
  const auto [at, added] = numbers_.try_emplace(owner, static_cast<std::uint32_t>(numbers_.size() + 1));
  if (added) pcapng::WriteOwnerBlock(Grow(out, pcapng::OwnerBlockBytes(*owner)), at->second, *owner);
  return at->second;
}

void WritePcapngPacket(std::uint8_t* at, std::int64_t timestampNs, std::uint32_t originalLength,
                       std::span<const std::uint8_t> bytes, std::uint32_t interfaceId) {
  const auto captured = static_cast<std::uint32_t>(bytes.size());
  const std::uint64_t ts = timestampNs == TimeNotKnown ? NotKnownStamp : NonNegative(timestampNs);
  pcapng::WritePacketBlock(at, ts, captured, originalLength ? originalLength : captured, bytes.data(), interfaceId);
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
  if (Get32(start.data()) != pcapng::EnhancedPacketBlock || length < pcapng::EnhancedPacketMinimum || length % 4 != 0 ||
      length > PcapngPacketBytes(SnapLength))
    return std::nullopt;
  return length;
}

std::optional<PacketBlock> ParsePacketBlock(std::span<const std::uint8_t> block) {
  if (block.size() < pcapng::EnhancedPacketMinimum) return std::nullopt;
  const std::uint8_t* at = block.data();
  PacketBlock packet;
  const std::uint64_t ts = std::uint64_t{Get32(at + 12)} << 32 | Get32(at + 16);
  packet.interfaceId = Get32(at + 8);
  packet.timestampNs = ts == NotKnownStamp ? TimeNotKnown : static_cast<std::int64_t>(std::min<std::uint64_t>(ts, INT64_MAX));
  packet.capturedLength = Get32(at + 20);
  packet.originalLength = Get32(at + 24);
  packet.dataOffset = pcapng::EnhancedPacketData;
  if (PcapngPacketBytes(packet.capturedLength) > block.size()) return std::nullopt;
  return packet;
}

}  // namespace frame_file
