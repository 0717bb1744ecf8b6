#pragma once
// The classic pcap format: the magic numbers that start a file, its header and the header
// of each record. Every reader and writer of classic files takes the layout from here.

#include <cstddef>
#include <cstdint>
#include <optional>

namespace classic_pcap {

// The first four bytes of a file, in the file's byte order, say whether the second
// fraction of each record counts microseconds or nanoseconds.
enum Magic : std::uint32_t { MicrosecondMagic = 0xA1B2C3D4, NanosecondMagic = 0xA1B23C4D };
// Then the version, two unused words, the snapshot length and the link type.
inline constexpr std::uint16_t VersionMajor = 2, VersionMinor = 4;
inline constexpr std::size_t FileHeaderBytes = 24;
// Each record: seconds, second fraction, captured length, length on the wire, the bytes.
inline constexpr std::size_t RecordHeaderBytes = 16;

// How a file's record headers read.
struct Layout {
  bool bigEndian = false;    // written most significant byte first
  bool nanoseconds = false;  // the second fraction counts nanoseconds, not microseconds
};

// The layout a file's first four bytes (read as a little-endian word) announce; nothing
// when they are not a classic pcap magic number.
constexpr std::optional<Layout> LayoutOf(std::uint32_t magic) {
  if (magic == MicrosecondMagic) return Layout{false, false};
  if (magic == NanosecondMagic) return Layout{false, true};
  if (magic == __builtin_bswap32(MicrosecondMagic)) return Layout{true, false};
  if (magic == __builtin_bswap32(NanosecondMagic)) return Layout{true, true};
  return std::nullopt;
}

struct RecordHeader {
  std::int64_t timestampNs = 0;
  std::uint32_t capturedLength = 0;
  std::uint32_t originalLength = 0;
};

// The record header in the RecordHeaderBytes at `at`.
constexpr RecordHeader ReadRecordHeader(const std::uint8_t* at, Layout layout) {
  const auto word = [&](std::size_t offset) {
    const std::uint32_t little = std::uint32_t{at[offset]} | std::uint32_t{at[offset + 1]} << 8 |
                                 std::uint32_t{at[offset + 2]} << 16 | std::uint32_t{at[offset + 3]} << 24;
    return layout.bigEndian ? __builtin_bswap32(little) : little;
  };
  RecordHeader header;
  header.timestampNs = std::int64_t{word(0)} * 1'000'000'000 + std::int64_t{word(4)} * (layout.nanoseconds ? 1 : 1000);
  header.capturedLength = word(8);
  header.originalLength = word(12);
  return header;
}

}  // namespace classic_pcap
