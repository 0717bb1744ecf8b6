#include "capture/formats/pcapng_stream.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "capture/formats/pcap_format.h"

// The bytes of one block (or of what has arrived of it), read at explicit offsets in the
// section's byte order. A field reaching past the bytes reads as zero: lengths are
// checked before fields are read, and a missed check still reads nothing outside.
class PcapngStreamReader::Fields {
 public:
  Fields(const std::uint8_t* bytes, std::size_t size, bool bigEndian)
      : bytes_(bytes), size_(size), bigEndian_(bigEndian) {}

  std::size_t Size() const { return size_; }
  const std::uint8_t* At(std::size_t offset) const { return bytes_ + offset; }

  std::uint8_t U8(std::size_t offset) const { return offset < size_ ? bytes_[offset] : std::uint8_t{0}; }
  std::uint16_t U16(std::size_t offset) const { return static_cast<std::uint16_t>(Read(offset, 2)); }
  std::uint32_t U32(std::size_t offset) const { return static_cast<std::uint32_t>(Read(offset, 4)); }
  std::uint64_t U64(std::size_t offset) const { return Read(offset, 8); }

 private:
  std::uint64_t Read(std::size_t offset, std::size_t width) const {
    if (offset > size_ || size_ - offset < width) return 0;
    std::uint64_t value = 0;
    if (bigEndian_) {
      for (std::size_t i = 0; i < width; ++i) value = value << 8 | bytes_[offset + i];
    } else {
      for (std::size_t i = width; i-- > 0;) value = value << 8 | bytes_[offset + i];
    }
    return value;
  }

  const std::uint8_t* bytes_;
  std::size_t size_;
  bool bigEndian_;
};

namespace {

// Whether the first `seen` bytes (at most 4) start the word in either byte order. The
// section header's type reads the same in both.
bool StartsWith(const std::uint8_t* start, std::size_t seen, std::uint32_t word) {
  bool little = true, big = true;
  for (std::size_t i = 0; i < seen; ++i) {
    little = little && start[i] == static_cast<std::uint8_t>(word >> (8 * i));
    big = big && start[i] == static_cast<std::uint8_t>(word >> (8 * (3 - i)));
  }
  return little || big;
}

std::uint32_t Padded(std::uint32_t length) { return (length + 3u) & ~3u; }

// The option value as text: up to its first zero byte (some writers count a terminator).
std::string OptionText(const std::uint8_t* value, std::uint16_t length) {
  const auto* end = static_cast<const std::uint8_t*>(std::memchr(value, 0, length));
  return std::string(reinterpret_cast<const char*>(value), end ? static_cast<std::size_t>(end - value) : length);
}

std::uint64_t Saturated(unsigned __int128 value) {
  constexpr auto most = std::numeric_limits<std::uint64_t>::max();
  return value > most ? most : static_cast<std::uint64_t>(value);
}

// A timestamp in units of the interface's resolution as nanoseconds.
std::uint64_t Nanoseconds(std::uint64_t units, std::uint8_t resolution) {
  if (resolution == pcapng::MicrosecondResolution) return Saturated(static_cast<unsigned __int128>(units) * 1000u);
  const unsigned exponent = resolution & 0x7Fu;
  if (resolution & 0x80u) {
    if (exponent >= 64) return 0;
    return Saturated((static_cast<unsigned __int128>(units) * 1'000'000'000u) >> exponent);
  }
  std::uint64_t scale = 1;
  if (exponent <= 9) {
    for (unsigned i = exponent; i < 9; ++i) scale *= 10;
    return Saturated(static_cast<unsigned __int128>(units) * scale);
  }
  if (exponent > 28) return 0;  // a unit of 10^-29 s or finer: under a nanosecond for any 64-bit count
  for (unsigned i = 9; i < exponent; ++i) scale *= 10;
  return units / scale;
}

// Walks the options from offset to end (the block without its trailing length), calling
// visit(code, length, value offset) for each. False when one runs past the end.
template <typename Visit>
bool WalkOptions(const auto& block, std::size_t offset, std::size_t end, Visit visit) {
  while (end - offset >= 4) {
    const std::uint16_t code = block.U16(offset);
    const std::uint16_t length = block.U16(offset + 2);
    if (code == pcapng::OptionEnd) return true;
    if (Padded(length) > end - offset - 4) return false;
    visit(code, length, offset + 4);
    offset += 4 + Padded(length);
  }
  return true;
}

}  // namespace

PcapngStreamReader::PcapngStreamReader(std::size_t bufferBytes)
    : capacity_(std::max<std::size_t>(bufferBytes, 2 * std::size_t{pcapng::MaxBlockLength})) {
  buffer_ = std::make_unique_for_overwrite<std::uint8_t[]>(capacity_);
}

std::span<std::uint8_t> PcapngStreamReader::Space() {
  if (Failed()) return {buffer_.get(), capacity_};  // taken and thrown away
  if (begin_ == end_) {
    begin_ = end_ = 0;
  } else if (begin_ > 0 && (capacity_ - end_ < capacity_ / 4 || begin_ > capacity_ - pcapng::MaxBlockLength)) {
    // What is left is part of one block (less than the longest): cheap to move, and it
    // leaves room for large reads and for the block to complete.
    std::memmove(buffer_.get(), buffer_.get() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
  }
  return {buffer_.get() + end_, capacity_ - end_};
}

void PcapngStreamReader::Commit(std::size_t count) {
  if (Failed()) return;
  end_ += std::min(count, capacity_ - end_);
}

std::size_t PcapngStreamReader::Feed(std::span<const std::uint8_t> bytes) {
  const std::span<std::uint8_t> room = Space();
  const std::size_t n = std::min(room.size(), bytes.size());
  if (n > 0) std::memcpy(room.data(), bytes.data(), n);
  Commit(n);
  return Failed() ? bytes.size() : n;
}

PcapngStreamReader::Item PcapngStreamReader::Fail(std::string reason) {
  failure_ = std::move(reason);
  begin_ = end_ = 0;
  return Item::Failed;
}

std::string PcapngStreamReader::Where() const { return "at byte " + std::to_string(consumed_); }

PcapngStreamReader::Item PcapngStreamReader::Next() {
  if (Failed()) return Item::Failed;
  for (;;) {
    const std::size_t available = end_ - begin_;
    const std::uint8_t* start = buffer_.get() + begin_;
    if (!inSection_) {
      // Bytes that are not pcapng show in the first four: say so without waiting for more.
      const std::size_t seen = std::min<std::size_t>(available, 4);
      if (!StartsWith(start, seen, pcapng::SectionHeaderBlock)) {
        const bool classic =
            StartsWith(start, seen, classic_pcap::MicrosecondMagic) || StartsWith(start, seen, classic_pcap::NanosecondMagic);
        if (classic && seen < 4) return Item::NeedMore;  // the rest tells
        if (classic) return Fail("the stream is a classic pcap capture, not pcapng");
        return Fail("the stream does not start with a pcapng section header");
      }
    }
    if (available < 8) return Item::NeedMore;

    // A section header's type reads the same in either byte order; its byte-order mark
    // says how to read everything from its length on.
    if (Fields(start, available, false).U32(0) == pcapng::SectionHeaderBlock) {
      if (available < 12) return Item::NeedMore;
      const std::uint32_t mark = Fields(start, available, false).U32(8);
      if (mark == pcapng::ByteOrderMagic) {
        bigEndian_ = false;
      } else if (mark == __builtin_bswap32(pcapng::ByteOrderMagic)) {
        bigEndian_ = true;
      } else {
        return Fail("the section header " + Where() + " has no valid byte-order mark");
      }
    }

    const Fields head(start, available, bigEndian_);
    const std::uint32_t type = head.U32(0);
    const std::uint32_t length = head.U32(4);
    if (length < pcapng::BlockOverhead || length % 4 != 0)
      return Fail("the block " + Where() + " has an invalid length of " + std::to_string(length) + " bytes");
    if (length > pcapng::MaxBlockLength)
      return Fail("the block " + Where() + " claims " + std::to_string(length) +
                  " bytes, more than the largest accepted (" + std::to_string(pcapng::MaxBlockLength) + ")");
    if (available < length) return Item::NeedMore;

    const Fields block(start, length, bigEndian_);
    const std::uint32_t trailing = block.U32(length - 4);
    if (trailing != length)
      return Fail("the block " + Where() + " is " + std::to_string(length) + " bytes long but ends with the length " +
                  std::to_string(trailing));

    Item item = Item::NeedMore;
    switch (type) {
      case pcapng::SectionHeaderBlock:
        item = StartSection(block, length);
        break;
      case pcapng::InterfaceDescriptionBlock:
        item = DescribeInterface(block, length);
        break;
      case pcapng::EnhancedPacketBlock:
        item = EnhancedPacket(block, length);
        break;
      case pcapng::SimplePacketBlock:
        item = SimplePacket(block, length);
        break;
      case pcapng::InterfaceStatisticsBlock:
        item = InterfaceStatistics(block, length);
        break;
      case pcapng::CustomBlock:
      case pcapng::CustomBlockNoCopy:
        DefineOwner(block, length);
        break;
      default:
        break;  // blocks of other types carry nothing a capture needs
    }
    if (item == Item::Failed) return item;
    itemOffset_ = consumed_;
    itemBlock_ = {start, length};
    begin_ += length;
    consumed_ += length;
    if (item != Item::NeedMore) return item;
  }
}

bool PcapngStreamReader::Finish() {
  if (Failed()) return false;
  const std::size_t left = end_ - begin_;
  if (left > 0) {
    const Fields head(buffer_.get() + begin_, left, bigEndian_);
    if (left < 8) {
      Fail("the stream ended inside the header of the block " + Where());
    } else {
      Fail("the stream ended inside the block " + Where() + " (" + std::to_string(left) + " of its " +
           std::to_string(head.U32(4)) + " bytes came)");
    }
    return false;
  }
  if (!inSection_) {
    Fail("the stream ended before a pcapng section header");
    return false;
  }
  return true;
}

PcapngStreamReader::Item PcapngStreamReader::StartSection(const Fields& block, std::uint32_t length) {
  if (length < pcapng::SectionHeaderMinimum)
    return Fail("the section header " + Where() + " is too short (" + std::to_string(length) + " bytes)");
  const std::uint16_t major = block.U16(12);
  const std::uint16_t minor = block.U16(14);
  if (major != 1)
    return Fail("the section " + Where() + " is pcapng version " + std::to_string(major) + "." +
                std::to_string(minor) + ", which cannot be read");
  // A new section starts its own interface and owner numbering.
  interfaces_.clear();
  owners_.clear();
  inSection_ = true;
  return Item::NeedMore;
}

PcapngStreamReader::Item PcapngStreamReader::DescribeInterface(const Fields& block, std::uint32_t length) {
  if (length < pcapng::InterfaceMinimum)
    return Fail("the interface description " + Where() + " is too short (" + std::to_string(length) + " bytes)");
  if (interfaces_.size() >= pcapng::MaxInterfaces)
    return Fail("the stream describes more than " + std::to_string(pcapng::MaxInterfaces) + " interfaces");
  PcapngInterface interface;
  interface.linkType = block.U16(8);
  interface.snapLength = block.U32(12);
  const bool whole = WalkOptions(block, pcapng::InterfaceOptions, length - 4, [&](std::uint16_t code, std::uint16_t size,
                                                                         std::size_t value) {
    switch (code) {
      case pcapng::InterfaceName:
        interface.name = OptionText(block.At(value), size);
        break;
      case pcapng::InterfaceDescription:
        interface.description = OptionText(block.At(value), size);
        break;
      case pcapng::InterfaceMacAddress:
        if (size == 6) {
          std::array<std::uint8_t, 6> mac{};
          for (std::size_t i = 0; i < mac.size(); ++i) mac[i] = block.U8(value + i);
          interface.macAddress = mac;
        }
        break;
      case pcapng::InterfaceTimestampResolution:
        if (size >= 1) interface.timestampResolution = block.U8(value);
        break;
      default:
        break;
    }
  });
  if (!whole) return Fail("an option of the interface description " + Where() + " runs past the end of its block");
  const std::size_t id = interfaces_.size();
  if (interface.linkType != pcapng::LinkTypeEthernet)
    return Fail("interface " + std::to_string(id) + (interface.name.empty() ? "" : " (" + interface.name + ")") +
                " carries link type " + std::to_string(interface.linkType) + ", not Ethernet");
  interfaces_.push_back(std::move(interface));
  return Item::Interface;
}

PcapngStreamReader::Item PcapngStreamReader::EnhancedPacket(const Fields& block, std::uint32_t length) {
  if (length < pcapng::EnhancedPacketMinimum)
    return Fail("the packet " + Where() + " is too short (" + std::to_string(length) + " bytes)");
  const std::uint32_t id = block.U32(8);
  if (id >= interfaces_.size())
    return Fail("the packet " + Where() + " names interface " + std::to_string(id) + ", but " +
                std::to_string(interfaces_.size()) + " are described");
  const std::uint32_t captured = block.U32(20);
  if (captured > length - pcapng::EnhancedPacketMinimum)
    return Fail("the packet " + Where() + " claims " + std::to_string(captured) +
                " captured bytes, more than its block holds");
  const std::uint64_t units = std::uint64_t{block.U32(12)} << 32 | block.U32(16);
  packet_.interfaceId = id;
  packet_.timestampNanoseconds = Nanoseconds(units, interfaces_[id].timestampResolution);
  packet_.originalLength = block.U32(24);
  packet_.data = {block.At(pcapng::EnhancedPacketData), captured};
  packet_.owner = nullptr;
  // Options of other writers are skipped, and so are damaged ones: a frame's bytes are
  // worth more than what an option says of them.
  if (!owners_.empty()) {
    WalkOptions(block, pcapng::EnhancedPacketData + Padded(captured), length - 4,
                [&](std::uint16_t code, std::uint16_t size, std::size_t value) {
                  if (code != pcapng::OwnerOption || size != 8 || block.U32(value) != pcapng::OwnerEnterprise) return;
                  const auto found = owners_.find(block.U32(value + 4));
                  if (found != owners_.end()) packet_.owner = found->second;
                });
  }
  return Item::Packet;
}

void PcapngStreamReader::DefineOwner(const Fields& block, std::uint32_t length) {
  // Another writer's custom block, or one that does not hold what it says, defines nothing.
  if (length < pcapng::OwnerBlockFields + 4 || block.U32(8) != pcapng::OwnerEnterprise) return;
  const std::uint32_t number = block.U32(12);
  const std::size_t nameBytes = block.U16(20), userBytes = block.U16(22), commandBytes = block.U16(24);
  if (number == 0 || pcapng::OwnerBlockFields + nameBytes + userBytes + commandBytes > length - 4) return;
  if (owners_.size() >= pcapng::MaxOwners && !owners_.contains(number)) return;
  auto owner = std::make_shared<ProcessOwner>();
  owner->pid = block.U32(16);
  const auto text = [&](std::size_t at, std::size_t bytes, std::size_t most) {
    return OwnerText(std::string_view(reinterpret_cast<const char*>(block.At(at)), bytes), most);
  };
  std::size_t at = pcapng::OwnerBlockFields;
  owner->name = text(at, nameBytes, OwnerNameMost);
  at += nameBytes;
  owner->user = text(at, userBytes, OwnerUserMost);
  at += userBytes;
  owner->commandLine = text(at, commandBytes, OwnerCommandLineMost);
  owners_[number] = std::move(owner);
}

PcapngStreamReader::Item PcapngStreamReader::SimplePacket(const Fields& block, std::uint32_t length) {
  if (length < pcapng::SimplePacketMinimum)
    return Fail("the packet " + Where() + " is too short (" + std::to_string(length) + " bytes)");
  if (interfaces_.empty()) return Fail("the packet " + Where() + " comes before any interface is described");
  // The block holds the frame cut to the interface's snap length, padded to 4 bytes.
  const std::uint32_t original = block.U32(8);
  std::uint32_t captured = std::min(original, length - pcapng::SimplePacketMinimum);
  if (interfaces_[0].snapLength != 0) captured = std::min(captured, interfaces_[0].snapLength);
  packet_.interfaceId = 0;
  packet_.timestampNanoseconds = 0;
  packet_.originalLength = original;
  packet_.data = {block.At(pcapng::SimplePacketData), captured};
  packet_.owner = nullptr;
  return Item::Packet;
}

PcapngStreamReader::Item PcapngStreamReader::InterfaceStatistics(const Fields& block, std::uint32_t length) {
  if (length < pcapng::StatisticsMinimum)
    return Fail("the interface statistics " + Where() + " are too short (" + std::to_string(length) + " bytes)");
  const std::uint32_t id = block.U32(8);
  if (id >= interfaces_.size())
    return Fail("the interface statistics " + Where() + " name interface " + std::to_string(id) + ", but " +
                std::to_string(interfaces_.size()) + " are described");
  PcapngStatistics statistics;
  statistics.interfaceId = id;
  const bool whole = WalkOptions(block, pcapng::StatisticsOptions, length - 4, [&](std::uint16_t code, std::uint16_t size,
                                                                          std::size_t value) {
    if (size != 8) return;
    if (code == pcapng::StatisticsReceived) statistics.received = block.U64(value);
    if (code == pcapng::StatisticsDropped) statistics.dropped = block.U64(value);
  });
  if (!whole) return Fail("an option of the interface statistics " + Where() + " runs past the end of its block");
  statistics_ = statistics;
  return Item::Statistics;
}
