#pragma once
// Capture files written block by block into memory, little-endian: pcapng (one section,
// one Ethernet interface, timestamps in nanoseconds, its blocks written by
// pcapng_writer.h) for the spool and for saving, and classic pcap (microseconds) for
// saving. The caller writes the bytes out.

#include <cstddef>
#include <array>
#include <cstdint>
#include <string>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

#include "capture/formats/pcapng_writer.h"

namespace frame_file {

// Frames are kept whole up to this length (the longest any device here delivers).
inline constexpr std::uint32_t SnapLength = 262144;

// An adapter of a trace of several, as a file describes it.
struct FileInterface {
  std::string name;
  std::string description;
  std::array<std::uint8_t, 6> mac{};
  bool operator==(const FileInterface&) const = default;
};

// The section header and the interface description that start a pcapng file.
void AppendPcapngHeader(std::vector<std::uint8_t>& out);
// The same for a trace of several adapters: one interface description each (its name,
// description and MAC address), in interface id order. None: as above.
void AppendPcapngHeader(std::vector<std::uint8_t>& out, std::span<const FileInterface> interfaces);
// The bytes AppendPcapngHeader adds.
inline constexpr std::size_t PcapngHeaderBytes = pcapng::NanosecondFileHeaderBytes;
// The bytes AppendPcapngPacket adds for a frame of capturedLength bytes.
constexpr std::size_t PcapngPacketBytes(std::uint32_t capturedLength) { return pcapng::PacketBlockBytes(capturedLength); }
// An enhanced packet block of that interface. originalLength 0: the captured length. A time
// not known is written as the epoch (the spool's own files, WritePcapngPacket, keep it apart).
void AppendPcapngPacket(std::vector<std::uint8_t>& out, std::int64_t timestampNs, std::uint32_t originalLength,
                        std::span<const std::uint8_t> bytes, std::uint32_t interfaceId = 0,
                        std::uint32_t ownerNumber = 0);

// The owners of one pcapng file's frames: each gets a number, and its block goes out
// before the first frame that names it.
class PcapngOwners {
 public:
  // The owner's number in this file, 0 for none; a new owner's block is appended to out.
  std::uint32_t Number(std::vector<std::uint8_t>& out, const ProcessOwner* owner);

 private:
  std::unordered_map<const ProcessOwner*, std::uint32_t> numbers_;
};
// The same blocks written at `at`, which has room for them, for buffers of other kinds.
void WritePcapngHeader(std::uint8_t* at);
void WritePcapngPacket(std::uint8_t* at, std::int64_t timestampNs, std::uint32_t originalLength,
                       std::span<const std::uint8_t> bytes, std::uint32_t interfaceId = 0);

// A classic pcap file's header (Ethernet, microsecond timestamps).
void AppendPcapHeader(std::vector<std::uint8_t>& out);
void AppendPcapPacket(std::vector<std::uint8_t>& out, std::int64_t timestampNs, std::uint32_t originalLength,
                      std::span<const std::uint8_t> bytes);

// What a block that AppendPcapngPacket wrote holds; block starts at the block.
struct PacketBlock {
  std::int64_t timestampNs = 0;
  std::uint32_t originalLength = 0;
  std::uint32_t capturedLength = 0;
  std::uint32_t interfaceId = 0;
  std::size_t dataOffset = 0;   // from the block's start
};
// The total length of the block that starts with these 8 bytes, when it is a packet
// block; nothing for another block type or a length that cannot be right.
std::optional<std::uint32_t> PacketBlockLength(std::span<const std::uint8_t, 8> start);
// The fields of a whole packet block; nothing when they do not fit in it.
std::optional<PacketBlock> ParsePacketBlock(std::span<const std::uint8_t> block);

}  // namespace frame_file
