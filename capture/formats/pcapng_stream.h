#pragma once
// A pcapng stream read as it arrives: bytes come in chunks of any size (as a pipe hands
// them over) and each complete block is parsed in place, where it lies in the reader's
// buffer. The reader yields the interfaces described, the frames and the statistics;
// anything that is not a well-formed pcapng stream of Ethernet interfaces ends it with a
// reason a user can read, and nothing past the bytes given is ever read.
//
// Use: read straight into Space() and Commit() what was read (or Feed() bytes held
// elsewhere), then call Next() until it answers NeedMore; at the end of the source call
// Finish(). A frame's bytes stay valid until the next Space() or Feed(): Next() moves no
// bytes, so the frames of several Next() calls can be used together.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "analysis/process_owner.h"
#include "capture/formats/pcapng_format.h"

namespace pcapng {
// The longest block accepted: a frame of 256 KiB with its headers and some options. A
// longer length is taken for damage rather than waited for.
inline constexpr std::uint32_t MaxBlockLength = 256 * 1024 + 1024;
// More interfaces than any capture describes; a stream that keeps describing new ones is
// refused before it grows the table without end.
inline constexpr std::size_t MaxInterfaces = 256;
// Owner numbers a section may define; past them further owner blocks are skipped and
// their frames show no owner.
inline constexpr std::size_t MaxOwners = 65536;
// The default timestamp resolution: microseconds (10^-6 s).
inline constexpr std::uint8_t MicrosecondResolution = 6;
}  // namespace pcapng

struct PcapngInterface {
  std::uint16_t linkType = 0;
  std::uint32_t snapLength = 0;
  std::string name;         // if_name, empty when absent
  std::string description;  // if_description, empty when absent
  std::optional<std::array<std::uint8_t, 6>> macAddress;  // if_MACaddr
  // if_tsresol: 10^-n seconds, or 2^-n with the top bit set.
  std::uint8_t timestampResolution = pcapng::MicrosecondResolution;
};

struct PcapngPacket {
  std::uint32_t interfaceId = 0;
  // Since the epoch; 0 for a simple packet block, which carries no time. Times past
  // what 64 bits of nanoseconds hold read as the largest value.
  std::uint64_t timestampNanoseconds = 0;
  std::uint32_t originalLength = 0;
  std::span<const std::uint8_t> data;  // the captured bytes, in the reader's buffer
  // The process owning the frame's socket, when an owner block of the section named it.
  std::shared_ptr<const ProcessOwner> owner;
};

struct PcapngStatistics {
  std::uint32_t interfaceId = 0;
  std::optional<std::uint64_t> received;  // isb_ifrecv
  std::optional<std::uint64_t> dropped;   // isb_ifdrop
};

class PcapngStreamReader {
 public:
  enum class Item { NeedMore, Interface, Packet, Statistics, Failed };

  static constexpr std::size_t DefaultBufferBytes = 1 << 20;

  // bufferBytes is raised to twice the longest block where it is smaller, so a block
  // that has begun always has room to complete.
  explicit PcapngStreamReader(std::size_t bufferBytes = DefaultBufferBytes);

  // Room for the next bytes of the stream. Never empty while the stream has not failed.
  std::span<std::uint8_t> Space();
  // count bytes written at the start of Space() are part of the stream now.
  void Commit(std::size_t count);
  // Copies as many of bytes as there is room for; returns how many. Call Next() until
  // NeedMore before feeding the rest.
  std::size_t Feed(std::span<const std::uint8_t> bytes);

  // The next item of the stream: NeedMore when the bytes so far end before a complete
  // block, Failed (and ever after) when the stream is damaged.
  Item Next();
  // The source has ended. True when it ended after a whole section's blocks; otherwise
  // the stream has failed with the reason.
  bool Finish();

  // What the last Interface, Packet or Statistics item carried.
  const PcapngInterface& LastInterface() const { return interfaces_.back(); }
  const PcapngPacket& Packet() const { return packet_; }
  const PcapngStatistics& Statistics() const { return statistics_; }
  // Where in the stream the block of the last item starts, and its bytes (valid as long
  // as a packet's): a frame can be found again by its offset.
  std::uint64_t ItemOffset() const { return itemOffset_; }
  std::span<const std::uint8_t> ItemBlock() const { return itemBlock_; }

  // The interfaces of the current section, by interface id.
  const std::vector<PcapngInterface>& Interfaces() const { return interfaces_; }
  bool Failed() const { return !failure_.empty(); }
  const std::string& Failure() const { return failure_; }
  // Bytes received and not yet parsed.
  std::size_t Pending() const { return end_ - begin_; }

 private:
  class Fields;
  Item Fail(std::string reason);
  // Each takes a whole block of its type; NeedMore means the block yields no item.
  Item StartSection(const Fields& block, std::uint32_t length);
  Item DescribeInterface(const Fields& block, std::uint32_t length);
  Item EnhancedPacket(const Fields& block, std::uint32_t length);
  Item SimplePacket(const Fields& block, std::uint32_t length);
  Item InterfaceStatistics(const Fields& block, std::uint32_t length);
  void DefineOwner(const Fields& block, std::uint32_t length);
  std::string Where() const;

  std::unique_ptr<std::uint8_t[]> buffer_;
  std::size_t capacity_ = 0;
  std::size_t begin_ = 0;  // the first byte not yet parsed
  std::size_t end_ = 0;    // one past the last byte received
  bool bigEndian_ = false;
  bool inSection_ = false;
  std::uint64_t consumed_ = 0;  // stream bytes before begin_: where a block starts
  std::uint64_t itemOffset_ = 0;
  std::span<const std::uint8_t> itemBlock_;
  std::vector<PcapngInterface> interfaces_;
  std::unordered_map<std::uint32_t, std::shared_ptr<const ProcessOwner>> owners_;  // by owner number
  PcapngPacket packet_;
  PcapngStatistics statistics_;
  std::string failure_;
};
